// An application that embeds the interpreter and restarts it: each round
// initialises, runs the round script (which imports the module, calls it and
// leaves a text of what it saw in `__main__.round_result`) and finalises.
// Every round must see what the first saw.
//
// After ROUNDS rounds come two more. The first takes every free Py_AtExit
// place before its script runs, as an application or another library may
// have done, so that a Py_AtExit call of the module's in that round is
// refused. The round after it must still see what round 1 saw; only where
// the interpreter is older than 3.7 (which has no interpreter IDs) must its
// import be refused instead (round.py then leaves kRefused).
//   restart ROUND_SCRIPT [ROUNDS]
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char kRefused[] =
    "import refused: Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";
constexpr bool kRefusesAfterFullAtExit = PY_VERSION_HEX < 0x03070000;

void do_nothing() {}

// Py_AtExit returns -1 once its table is full (32 places); the bound only
// keeps a faulty one from looping.
void fill_atexit_table() {
  for (int i = 0; i < 1000 && Py_AtExit(do_nothing) == 0; ++i) {
  }
}

bool read_file(const char* path, std::string* text) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text->append(buffer, got);
  std::fclose(f);
  return true;
}

// One round; false when the script failed or left no result.
bool run_round(const std::string& script, bool fill_atexit, std::string* result) {
  Py_Initialize();
  if (fill_atexit) fill_atexit_table();
  bool ok = PyRun_SimpleString(script.c_str()) == 0;
  if (ok) {
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    PyObject* text = main ? PyObject_GetAttrString(main, "round_result") : nullptr;
    const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (utf8 != nullptr) {
      *result = utf8;
    } else {
      PyErr_Print();
      ok = false;
    }
    Py_XDECREF(text);
  }
  if (Py_FinalizeEx() < 0) ok = false;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string script;
  if (argc < 2 || !read_file(argv[1], &script)) {
    std::fprintf(stderr, "usage: %s ROUND_SCRIPT [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int filled_round = rounds + 1;
  std::string first;
  for (int round = 1; round <= filled_round + 1; ++round) {
    std::string result;
    if (!run_round(script, round == filled_round, &result)) {
      std::printf("round %d: the script failed\n", round);
      return 1;
    }
    std::printf("round %d: %s\n", round, result.c_str());
    std::fflush(stdout);  // kept should a later round crash
    if (round == filled_round + 1 && kRefusesAfterFullAtExit) {
      if (result != kRefused) {
        std::printf("round %d: the import was not refused\n", round);
        return 1;
      }
    } else if (round == 1) {
      if (result == kRefused) {
        std::printf("round 1: the import was refused\n");
        return 1;
      }
      first = result;
    } else if (result != first) {
      std::printf("round %d differs from round 1\n", round);
      return 1;
    }
  }
  return 0;
}
