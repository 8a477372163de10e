// Method objects: the callable type of the methods of `Plugin`.
//
// Towards the interpreter a method object behaves like a function: fetched
// through an instance it binds, fetched through the class it is itself, and
// it carries the attributes function introspection reads. A call goes
// through a small dispatcher to the method's entry point.
#pragma once

#include <Python.h>

namespace addongate {

// Entry point of a method that binds its own arguments (positional tuple,
// keyword dict or null).
using KeywordsEntry = PyObject* (*)(PyObject* method, PyObject* args, PyObject* kwargs);
// Entry point of a method taking exactly one argument, the instance.
using SingleEntry = PyObject* (*)(PyObject* method, PyObject* arg);

// The static description of one method.
struct MethodRecord {
  const char* name;  // short name
  int flags;         // METH_VARARGS | METH_KEYWORDS, or METH_O
  KeywordsEntry keywords_entry;
  SingleEntry single_entry;
  const char* doc;  // UTF-8, or null
};

// Prepares the type once per interpreter; 0 or -1 with an exception.
int method_type_ready();
// After the interpreter ended: the next one prepares the type again.
void method_type_forget();

// A new method object (new reference), or null with MemoryError.
PyObject* method_object_new(const MethodRecord* record, PyObject* qualname, PyObject* module_name,
                            PyObject* globals, PyObject* code);

// Attaches the defaults tuple start-up gives three of the methods.
void method_object_set_defaults(PyObject* method, PyObject* defaults);

}  // namespace addongate
