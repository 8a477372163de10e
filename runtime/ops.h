// The small operations every method body uses for its raises, calls, item
// reads and global reads, with the messages interpreted code would give.
// Results are new references; failure is null with an exception pending.
#pragma once

#include <Python.h>

#include <cstdint>

namespace addongate {

// `raise x`: leaves an exception pending, always.
void raise_object(PyObject* x);

// `f(*args)` with a tuple, under the interpreter's recursion guard.
PyObject* call_object(PyObject* f, PyObject* args);
// `f(args[0], ..., args[n-1])` without making a tuple where the interpreter
// lets us avoid it; same results as call_object.
PyObject* call_vector(PyObject* f, PyObject* const* args, Py_ssize_t n);
// `args[0].name(args[1], ..., args[n-1])`, the same way.
PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t n);

// `obj.name`. For a plain module the attribute is read straight from its
// dictionary: the module type and `object` define none of the names the
// bodies read, so the result is the one generic lookup would give. For an
// object with the generic lookup, up to 3.10, the instance dict and the class
// are read the way that lookup reads them. Anything else (and a miss) takes
// the interpreter's own route.
PyObject* get_attribute(PyObject* obj, PyObject* name);

// `o[key]` for a container of any kind.
PyObject* get_item(PyObject* o, PyObject* key);
// `d[key]` for an exact dict; a missing key raises KeyError(key).
PyObject* dict_get_item(PyObject* d, PyObject* key);

// What one reading place remembers of its last global lookup.
struct GlobalSlot {
  uint64_t version = 0;       // 0: nothing remembered yet
  PyObject* value = nullptr;  // borrowed; valid while the version holds
};

// Reads the module global `name` (an interned string with its hash made):
// the module namespace first, then the builtins module.
PyObject* lookup_global(PyObject* name, GlobalSlot* slot);

}  // namespace addongate
