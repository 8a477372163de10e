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

// `obj.name`, `obj.name = value` and `args[0].name(*args[1:])`, each through
// the interpreter's own route: the module keeps no lookup of its own.
PyObject* get_attribute(PyObject* obj, PyObject* name);
int set_attribute(PyObject* obj, PyObject* name, PyObject* value);
PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t n);

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

// ---- remembered reads ----------------------------------------------------------
// A reading place of the method bodies may remember what the interpreter
// found for it, and give it again while the dict it was read from is
// unchanged: an attribute of a global that is an exact module and, from
// 3.11 (compat::kRememberGlobalReads), the global itself. Why that is the
// interpreter's answer still, per version:
// - 3.6 to 3.11: the dict's own version tag (compat::dict_version), which
//   every change to it replaces with a new one from a 64-bit counter; no
//   other dict state in the interpreter ever carries an old one again.
// - From 3.12: a counter of ours that a dict watcher advances on every
//   change to a watched dict and on its deallocation (compat.h). Where no
//   watcher id is left, nothing is remembered.
// Only a read that ran no code but the interpreter's is remembered: the
// dict's version was the same before and after it, and every key of the
// dict is an exact str, so that finding the name compares text alone. A
// dict with another key is read afresh each time, as interpreted code reads
// it, running that key's `__eq__` each time.
// A slot owns what it holds, so a hit never reads a freed object; it keeps
// an old value until its place reads again. At the interpreter's exit,
// stop_remembering() and each slot's release() give everything back while
// the interpreter still lives, so that finalisers run; nothing is remembered
// after that until the next start-up.

// Whether places may remember reads; start-up turns it on once the release
// at the interpreter's exit is arranged.
void start_remembering();
void stop_remembering();

// One place's read of a module global.
struct GlobalSlot {
  uint64_t version = 0;       // the namespace's at the read; 0: nothing remembered
  PyObject* value = nullptr;  // owned; null when the namespace lacked the name
  void release() {
    version = 0;  // first: the release may run code that reads here again
    Py_CLEAR(value);
  }
  // After the interpreter ended, whose objects are gone: dropped, not released.
  void forget() { *this = GlobalSlot{}; }
};

// One place's read of an attribute of a module global that is an exact module.
struct ModuleAttributeSlot {
  uint64_t version = 0;       // the module dict's at the read; 0: nothing remembered
  PyObject* dict = nullptr;   // only compared: the module dict it was read from
  PyObject* value = nullptr;  // owned
  void release() {
    version = 0;
    dict = nullptr;
    Py_CLEAR(value);
  }
  void forget() { *this = ModuleAttributeSlot{}; }
};

// Reads the module global `name` (an interned string with its hash made):
// the module namespace first, then the builtins module.
PyObject* lookup_global(PyObject* name, GlobalSlot* slot);

// `lookup_global(name).attr`. `attr` must be none of the names the module
// type or `object` define (such as `__dict__` or `__class__`).
PyObject* lookup_global_attribute(PyObject* name, GlobalSlot* global, PyObject* attr,
                                  ModuleAttributeSlot* slot);

// Reads `name` from the builtins module; NameError "name '%U' is not
// defined" when it has none.
PyObject* lookup_builtin(PyObject* name);

}  // namespace addongate
