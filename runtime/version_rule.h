// The start-up check of the interpreter version against the one the module
// was compiled for. Pure text rules, no interpreter needed.
#pragma once

#include <cstddef>

namespace addongate {

// Rule of builds for 3.7 and later. `compiled` is "X.Y" (at most 4
// characters); `runtime` is the interpreter's version text. Positions are
// compared from 0 up to 3; where `compiled` has ended, `runtime` must hold a
// non-digit (its end counts as one).
bool version_matches(const char* compiled, const char* runtime);

// The runtime version the mismatch message names: at most 4 characters of
// `runtime`, stopping before a second '.' or a character that is neither a
// digit nor '.'. Writes a terminated text into `out` (at least 5 bytes).
void runtime_version_for_message(const char* runtime, char* out, std::size_t size);

// Rule of the build for 3.6: only the first and third characters of the
// two 3-character texts are compared.
bool legacy_version_matches(const char* compiled3, const char* runtime3);

// "compiletime version %s of module '%.100s' does not match runtime version
// %s", cut to at most 199 characters. `out` holds at least 200 bytes.
void version_mismatch_message(const char* compiled, const char* module, const char* runtime_shown,
                              char* out, std::size_t size);

}  // namespace addongate
