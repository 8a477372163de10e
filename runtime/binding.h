// Argument binding for methods that take a positional tuple and a keyword
// dict: the interpreter's rules and wording, with every count including
// `self`.
#pragma once

#include <Python.h>

#include "runtime/method_record.h"

namespace addongate {

// The positional arguments of a call: those the call brought (a tuple's
// items or a vectorcall's array), after an optional first argument (the new
// object, when the class itself runs the initialiser).
struct Positional {
  PyObject* first;  // or null
  PyObject* const* items;
  Py_ssize_t count;
  static Positional of_tuple(PyObject* first, PyObject* tuple) {
    return {first, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple)};
  }
  Py_ssize_t size() const { return (first != nullptr ? 1 : 0) + count; }
  PyObject* at(Py_ssize_t i) const {
    if (first != nullptr) {
      if (i == 0) return first;
      --i;
    }
    return items[i];
  }
};

// Binds `args`/`kwargs` to the parameters of `method` and runs its body.
// A refused call raises TypeError (or the lookup's own error) with one
// traceback entry at the def line, and the body does not run. Binding
// allocates nothing.
PyObject* call_with_binding(const MethodRecord& method, const Positional& args, PyObject* kwargs);

// The same for a vectorcall: `kwnames` (null or a tuple) names the values
// after the positional ones. Names that are all exact strings are bound from
// the array directly, which gives what a dict lookup gives for them; any
// other name (a str subclass, whose __eq__ and __hash__ a dict would run, or
// on 3.8 a non-string) has the call's keywords put in a dict and bound from
// that, as the ordinary call slot binds them.
PyObject* vectorcall_with_binding(const MethodRecord& method, const Positional& args,
                                  PyObject* kwnames);

}  // namespace addongate
