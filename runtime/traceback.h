// Traceback entries: failures leave the module the way interpreted code
// would, with a frame naming the method and the source line.
#pragma once

#include <Python.h>

namespace addongate {

// The module namespace every entry's frame and every global read uses, and
// the builtins module global reads fall back to. Set by start-up.
struct ModuleNamespace {
  PyObject* dict = nullptr;      // borrowed from the recorded module
  PyObject* builtins = nullptr;  // owned
};
extern ModuleNamespace module_namespace;

// Adds one entry `name` at `line` of `file` to the pending exception's
// traceback. Called with an exception pending; it stays pending (or is
// replaced by the interpreter's memory error when no entry can be made).
void add_traceback_entry(const char* name, int line, const char* file);

// Number of code objects the per-line cache holds (for tests and checks).
int traceback_cache_size();

}  // namespace addongate
