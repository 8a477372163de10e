// The small operations every method body uses for its raises, calls, item
// reads and global reads. Their failures read as interpreted code's would,
// except for two texts of the module's own: raise_object's "raise: exception
// class must be a subclass of BaseException" and call_object's "NULL result
// without error in PyObject_Call"; and get_item converts a key to an index
// where `o[key]` would refuse it in other words. Results are new references;
// failure is null with an exception pending.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat.h"

namespace addongate {

// `raise x`: leaves an exception pending, always.
void raise_object(PyObject* x);

// `f(*args)` with a tuple, under the interpreter's recursion guard.
PyObject* call_object(PyObject* f, PyObject* args);
// `f(args[0], ..., args[n-1])` without making a tuple where the interpreter
// lets us avoid it; same results as call_object.
PyObject* call_vector(PyObject* f, PyObject* const* args, Py_ssize_t n);
// A vectorcall's keywords as a dict: `kwnames[i]` mapped to `values[i]`.
PyObject* keywords_dict(PyObject* kwnames, PyObject* const* values);
// A vectorcall made through `f`'s own type's call slot (its ordinary
// route), the arguments put into a tuple and the keywords into a dict.
PyObject* call_through_slot(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// `args[0].name(args[1], ..., args[n-1])`, the same way.
PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t n);

// `obj.name`. For a plain module the attribute is read straight from its
// dictionary: the module type and `object` define none of the names the
// bodies read, so the result is the one generic lookup would give (a module
// made without `__init__`, which has no dictionary yet, takes the generic
// route). For an object with the generic lookup, the instance dict and the
// class are read the way that lookup reads them, what they found kept while
// neither the class nor the instance dict has changed. Anything else (and a
// miss) takes the interpreter's own route.
PyObject* get_attribute(PyObject* obj, PyObject* name);

// After the interpreter ended: forgets the remembered class and instance lookups.
void forget_class_lookups();

// `obj.name = value`. For an object with the generic lookup whose class
// has no data descriptor of that name, the value goes straight into the
// instance dict, which is made (sharing the class's keys) when the object
// has none yet; anything else takes the interpreter's own route.
int set_attribute(PyObject* obj, PyObject* name, PyObject* value);

// `bool(x)`: 1, 0, or -1 with an exception. The constants and an exact str
// are answered in place; anything else asks the object.
inline int is_true(PyObject* x) {
  if (x == Py_True) return 1;
  if (x == Py_False || x == Py_None) return 0;
  if (PyUnicode_CheckExact(x)) {
    const Py_ssize_t length = compat::ready_str_length(x);
    if (length >= 0) return length != 0;
  }
  return PyObject_IsTrue(x);
}

// `o[key]` for a container of any kind. Without mapping subscription the
// key goes through index conversion first: a key that is no integer fails
// with "'%.200s' object cannot be interpreted as an integer".
PyObject* get_item(PyObject* o, PyObject* key);
// `d[key]` for an exact dict; a missing key raises KeyError(key).
PyObject* dict_get_item(PyObject* d, PyObject* key);

// The hash of a tuple whose items are all exact str or None: computing it
// runs no code, so one computation serves every lookup of that key. Else -1:
// each lookup computes the hash itself, as the interpreter's would.
Py_hash_t pure_hash(PyObject* key);
// `key in d` and `o[key]` as above, given pure_hash(key); -1 takes the
// ordinary routes.
int dict_contains_hashed(PyObject* d, PyObject* key, Py_hash_t hash);
PyObject* get_item_hashed(PyObject* o, PyObject* key, Py_hash_t hash);

// What one reading place remembers of its last global lookup, valid while
// `version` is the namespace's: up to 3.11 the namespace dict's own version
// tag, from a 64-bit counter that every dict's creation and change advances,
// so that no other dict state in the interpreter carries it; from 3.12 a
// counter of ours that a watcher advances on every change to the namespace
// and that a namespace seen for the first time advances too. The slot owns
// `value`, released when replaced; after the interpreter has ended, whose
// objects are gone, it is forgotten.
struct GlobalSlot {
  uint64_t version = 0;       // 0: nothing remembered yet
  PyObject* value = nullptr;  // owned; null when the namespace lacked the name
};

// Reads the module global `name` (an interned string with its hash made):
// the module namespace first, then the builtins module.
PyObject* lookup_global(PyObject* name, GlobalSlot* slot);

// What one reading place remembers of an attribute read from a plain module,
// valid while the module dict is the one read and `version` its host
// namespace version: up to 3.11 the dict's own version tag, which no other
// dict state carries (so a new dict at a freed one's address has another);
// from 3.12 a counter of ours that a watcher advances on every change to any
// watched host dict and on its deallocation. Owned and forgotten as a
// GlobalSlot's.
struct ModuleAttributeSlot {
  uint64_t version = 0;       // 0: nothing remembered
  PyObject* dict = nullptr;   // only compared: the module dict it was read from
  PyObject* value = nullptr;  // owned
};

// `lookup_global(name).attr`, with the global read through `global` and, when
// the global names an exact module, the attribute remembered in `slot` for as
// long as that module's dict is unchanged. `attr` must be none of the names
// the module type or `object` define (such as `__dict__` or `__class__`).
PyObject* lookup_global_attribute(PyObject* name, GlobalSlot* global, PyObject* attr,
                                  ModuleAttributeSlot* slot);

// Reads `name` from the builtins module; NameError "name '%U' is not
// defined" when it has none.
PyObject* lookup_builtin(PyObject* name);

}  // namespace addongate
