// Argument binding for methods that take a positional tuple and a keyword
// dict: the interpreter's rules and wording, with every count including
// `self`.
#pragma once

#include <Python.h>

#include "runtime/method_record.h"

namespace addongate {

// The positional arguments of a call: the tuple the call brought, after an
// optional first argument (the new object, when the class itself runs the
// initialiser).
struct Positional {
  PyObject* first;  // or null
  PyObject* tuple;
  Py_ssize_t size() const { return (first != nullptr ? 1 : 0) + PyTuple_GET_SIZE(tuple); }
  PyObject* at(Py_ssize_t i) const {
    if (first != nullptr) {
      if (i == 0) return first;
      --i;
    }
    return PyTuple_GET_ITEM(tuple, i);
  }
};

// Binds `args`/`kwargs` to the parameters of `method` and runs its body.
// A refused call raises TypeError (or the lookup's own error) with one
// traceback entry at the def line, and the body does not run. Binding
// allocates nothing.
PyObject* call_with_binding(const MethodRecord& method, const Positional& args, PyObject* kwargs);

}  // namespace addongate
