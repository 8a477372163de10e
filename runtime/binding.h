// Argument binding for methods that take a positional tuple and a keyword
// dict: the interpreter's rules and wording, with every count including
// `self`.
#pragma once

#include <Python.h>

#include "runtime/method_record.h"

namespace addongate {

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
