// An application that embeds the interpreter and restarts it: each round
// initialises, runs the round script (which imports the module, calls it and
// leaves a text of what it saw in `__main__.round_result`) and finalises.
// Every round must see what the first saw.
//   restart ROUND_SCRIPT [ROUNDS]
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

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
bool run_round(const std::string& script, std::string* result) {
  Py_Initialize();
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
  std::string first;
  for (int round = 1; round <= rounds; ++round) {
    std::string result;
    if (!run_round(script, &result)) {
      std::printf("round %d: the script failed\n", round);
      return 1;
    }
    std::printf("round %d: %s\n", round, result.c_str());
    if (round == 1) {
      first = result;
    } else if (result != first) {
      std::printf("round %d differs from round 1\n", round);
      return 1;
    }
  }
  return 0;
}
