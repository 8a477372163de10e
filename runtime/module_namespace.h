// The module namespace that traceback entries' frames use as their globals
// and that global reads look in first, with the builtins module they fall
// back to. Set by start-up.
#pragma once

#include <Python.h>

namespace addongate {

struct ModuleNamespace {
  PyObject* dict = nullptr;      // borrowed from the recorded module
  PyObject* builtins = nullptr;  // owned
};
extern ModuleNamespace module_namespace;

}  // namespace addongate
