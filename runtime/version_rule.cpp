#include "runtime/version_rule.h"

#include <cstdio>

namespace addongate {

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool version_matches(const char* compiled, const char* runtime) {
  for (int i = 0; i <= 3; ++i) {
    if (compiled[i] == '\0') return !is_digit(runtime[i]);
    if (runtime[i] != compiled[i]) return false;
  }
  return true;  // a 4-character "X.YY" matched in full
}

void runtime_version_for_message(const char* runtime, char* out, std::size_t size) {
  std::size_t n = 0;
  bool seen_dot = false;
  while (n < 4 && n + 1 < size) {
    char c = runtime[n];
    if (c == '.') {
      if (seen_dot) break;
      seen_dot = true;
    } else if (!is_digit(c)) {
      break;
    }
    out[n] = c;
    ++n;
  }
  if (size > 0) out[n] = '\0';
}

bool legacy_version_matches(const char* compiled3, const char* runtime3) {
  return compiled3[0] == runtime3[0] && compiled3[2] == runtime3[2];
}

void version_mismatch_message(const char* compiled, const char* module, const char* runtime_shown,
                              char* out, std::size_t size) {
  std::size_t limit = size < 200 ? size : 200;
  std::snprintf(out, limit,
                "compiletime version %s of module '%.100s' does not match runtime "
                "version %s",
                compiled, module, runtime_shown);
}

}  // namespace addongate
