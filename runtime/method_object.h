// Method objects: the callable type of the methods of `Plugin`.
//
// Towards the interpreter a method object behaves like a function: fetched
// through an instance it binds, fetched through the class it is itself, and
// it carries the attributes function introspection reads. A call binds its
// arguments by the method record (a METH_O method takes exactly the
// instance) and runs the record's body.
#pragma once

#include <Python.h>

#include "runtime/method_record.h"

namespace addongate {

// Prepares the type once per interpreter; 0 or -1 with an exception.
int method_type_ready();
// After the interpreter ended: the next one prepares the type again.
void method_type_forget();

// A new method object for `record`, which must outlive it (new reference),
// or null with MemoryError.
PyObject* method_object_new(const MethodRecord* record, PyObject* qualname, PyObject* module_name,
                            PyObject* globals, PyObject* code);

// Attaches the defaults tuple start-up gives three of the methods.
void method_object_set_defaults(PyObject* method, PyObject* defaults);

}  // namespace addongate
