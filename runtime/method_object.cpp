// The method-object type. Its attributes follow those of interpreted
// functions, with this module's own messages for refused writes.
#include "runtime/method_object.h"

#include <cstddef>

#include "runtime/binding.h"
#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/ref.h"

namespace addongate {

namespace {

struct MethodObject {
  PyObject ob_base;
  const MethodRecord* record;  // static, not owned
  compat::VectorcallEntry vectorcall;
  PyObject* module;  // __module__
  PyObject* weakrefs;
  PyObject* dict;         // __dict__, made on first need
  PyObject* name;         // __name__, made on first read
  PyObject* qualname;     // __qualname__
  PyObject* doc;          // __doc__, made on first read
  PyObject* globals;      // __globals__
  PyObject* code;         // __code__
  PyObject* closure;      // always null for these methods
  PyObject* defaults;     // __defaults__
  PyObject* kwdefaults;   // __kwdefaults__
  PyObject* annotations;  // __annotations__, made on first read
};

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

// Replaces an owned field; the old value goes last, as its release may run
// arbitrary code that reads the field.
void replace_field(PyObject** field, PyObject* value) {
  PyObject* old = *field;
  Py_XINCREF(value);
  *field = value;
  Py_XDECREF(old);
}

// ---- lifetime and garbage collection -----------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  MethodObject* m = as_method(self);
  Py_VISIT(m->module);
  Py_VISIT(m->dict);
  Py_VISIT(m->name);
  Py_VISIT(m->qualname);
  Py_VISIT(m->doc);
  Py_VISIT(m->globals);
  Py_VISIT(m->code);
  Py_VISIT(m->closure);
  Py_VISIT(m->defaults);
  Py_VISIT(m->kwdefaults);
  Py_VISIT(m->annotations);
  return 0;
}

// Breaks reference cycles. The code object and names that are exact strings
// cannot take part in one, so they stay until release, as an interpreted
// function's do: a finaliser that reaches a cleared method object (through a
// weak reference made late) still finds a repr, a qualified name and code.
int method_clear(PyObject* self) {
  MethodObject* m = as_method(self);
  Py_CLEAR(m->module);
  Py_CLEAR(m->dict);
  if (m->name != nullptr && !PyUnicode_CheckExact(m->name)) Py_CLEAR(m->name);
  if (m->qualname != nullptr && !PyUnicode_CheckExact(m->qualname)) Py_CLEAR(m->qualname);
  Py_CLEAR(m->doc);
  Py_CLEAR(m->globals);
  Py_CLEAR(m->closure);
  Py_CLEAR(m->defaults);
  Py_CLEAR(m->kwdefaults);
  Py_CLEAR(m->annotations);
  return 0;
}

void method_dealloc(PyObject* self) {
  // Untrack first: weak-reference callbacks below may trigger a collection
  // that must not see a half-cleared object.
  PyObject_GC_UnTrack(self);
  MethodObject* m = as_method(self);
  if (m->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  method_clear(self);
  Py_CLEAR(m->name);
  Py_CLEAR(m->qualname);
  Py_CLEAR(m->code);
  PyObject_GC_Del(self);
}

// The qualified name (new reference); empty once a collection dropped a
// string subclass that stood there.
PyObject* qualname_of(MethodObject* m) {
  if (m->qualname == nullptr) return PyUnicode_FromString("");
  return new_ref(m->qualname);
}

// ---- text form and reduction -------------------------------------------------

PyObject* method_repr(PyObject* self) {
  Ref qualname = Ref::steal(qualname_of(as_method(self)));
  if (!qualname) return nullptr;
  return PyUnicode_FromFormat("<plugin_method %U at %p>", qualname.get(), self);
}

PyObject* method_reduce(PyObject* self, PyObject* /*args*/) {
  MethodObject* m = as_method(self);
  if (runtime_context().rules.reduce_to_qualified_name) return qualname_of(m);
  return PyUnicode_FromString(m->record->name);
}

// ---- call dispatch -------------------------------------------------------------

// METH_O: exactly one positional argument; refused calls add no traceback
// entry.
PyObject* call_single(const MethodRecord& record, PyObject* const* args, Py_ssize_t given,
                      bool has_keywords) {
  if (has_keywords) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", record.name);
    return nullptr;
  }
  if (given != 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", record.name,
                 given);
    return nullptr;
  }
  BoundArguments bound;
  bound.borrow(0, args[0]);
  return record.body.run(bound);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  const MethodRecord* record = as_method(self)->record;
  if (record->flags != METH_O)
    return call_with_binding(*record, Positional::of_tuple(nullptr, args), kwargs);
  return call_single(*record, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                     kwargs != nullptr && compat::dict_size(kwargs) != 0);
}

// From 3.8 calls come here first, without an argument tuple; a call with
// keyword names that are not strings comes here on 3.8 only (later versions
// refuse it before any callee runs).
PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  const MethodRecord* record = as_method(self)->record;
  const Py_ssize_t given = compat::vectorcall_nargs(nargsf);
  if (record->flags != METH_O)
    return vectorcall_with_binding(*record, Positional{nullptr, args, given}, kwnames);
  return call_single(*record, args, given, kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0);
}

// ---- binding to an instance ------------------------------------------------------

PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
  // Only C callers pass None (`__get__` turns it into no instance); the 3.6 rule stays for them.
  if (instance == nullptr ||
      (instance == Py_None && runtime_context().rules.none_instance_yields_method))
    return new_ref(self);
  return PyMethod_New(self, instance);
}

// ---- attributes ------------------------------------------------------------------

PyObject* get_doc(PyObject* self, void*) {
  MethodObject* m = as_method(self);
  if (m->doc == nullptr) {
    if (m->record->doc == nullptr) Py_RETURN_NONE;  // nothing stored: read again next time
    m->doc = PyUnicode_FromString(m->record->doc);
    if (m->doc == nullptr) return nullptr;
  }
  return new_ref(m->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
  replace_field(&as_method(self)->doc, value == nullptr ? Py_None : value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) {
  MethodObject* m = as_method(self);
  if (m->name == nullptr) {
    m->name = PyUnicode_InternFromString(m->record->name);
    if (m->name == nullptr) return nullptr;
  }
  return new_ref(m->name);
}

int set_name(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  replace_field(&as_method(self)->name, value);
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return qualname_of(as_method(self)); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  replace_field(&as_method(self)->qualname, value);
  return 0;
}

PyObject* get_dict(PyObject* self, void*) {
  MethodObject* m = as_method(self);
  if (m->dict == nullptr) {
    m->dict = PyDict_New();
    if (m->dict == nullptr) return nullptr;
  }
  return new_ref(m->dict);
}

int set_dict(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  replace_field(&as_method(self)->dict, value);
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_method(self)->defaults;
  return new_ref(d != nullptr ? d : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  replace_field(&as_method(self)->defaults, value);
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  PyObject* d = as_method(self)->kwdefaults;
  return new_ref(d != nullptr ? d : Py_None);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  replace_field(&as_method(self)->kwdefaults, value);
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  MethodObject* m = as_method(self);
  if (m->annotations == nullptr) {
    m->annotations = PyDict_New();
    if (m->annotations == nullptr) return nullptr;
  }
  return new_ref(m->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  replace_field(&as_method(self)->annotations, value);
  return 0;
}

// 3.6 declares the name fields as plain `char*`.
#define ADDONGATE_GETSET(name, get, set) \
  { const_cast<char*>(name), get, set, nullptr, nullptr }

PyGetSetDef method_getset[] = {
    ADDONGATE_GETSET("__doc__", get_doc, set_doc),
    ADDONGATE_GETSET("func_doc", get_doc, set_doc),
    ADDONGATE_GETSET("__name__", get_name, set_name),
    ADDONGATE_GETSET("func_name", get_name, set_name),
    ADDONGATE_GETSET("__qualname__", get_qualname, set_qualname),
    ADDONGATE_GETSET("__dict__", get_dict, set_dict),
    ADDONGATE_GETSET("func_dict", get_dict, set_dict),
    ADDONGATE_GETSET("__defaults__", get_defaults, set_defaults),
    ADDONGATE_GETSET("func_defaults", get_defaults, set_defaults),
    ADDONGATE_GETSET("__kwdefaults__", get_kwdefaults, set_kwdefaults),
    ADDONGATE_GETSET("__annotations__", get_annotations, set_annotations),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef ADDONGATE_GETSET

// Read-only fields report the interpreter's own "readonly attribute"; an
// absent closure or code reads as None.
#define ADDONGATE_MEMBER(name, field, flags) \
  { const_cast<char*>(name), compat::kMemberObject, offsetof(MethodObject, field), flags, nullptr }

PyMemberDef method_members[] = {
    ADDONGATE_MEMBER("__module__", module, 0),
    ADDONGATE_MEMBER("__self__", closure, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("__globals__", globals, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("func_globals", globals, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("__closure__", closure, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("func_closure", closure, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("__code__", code, compat::kMemberReadOnly),
    ADDONGATE_MEMBER("func_code", code, compat::kMemberReadOnly),
    {nullptr, 0, 0, 0, nullptr},
};
#undef ADDONGATE_MEMBER

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The head macro gives the reference count each version expects of a static
// type; the slots are filled in by method_type_ready().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject method_type = {PyVarObject_HEAD_INIT(nullptr, 0) "addonGate.plugin_method"};
#pragma GCC diagnostic pop

}  // namespace

int method_type_ready() {
  if (method_type.tp_flags & Py_TPFLAGS_READY) return 0;
  method_type.tp_basicsize = sizeof(MethodObject);
  method_type.tp_dealloc = method_dealloc;
  method_type.tp_repr = method_repr;
  method_type.tp_call = method_call;
  method_type.tp_getattro = PyObject_GenericGetAttr;
  method_type.tp_setattro = PyObject_GenericSetAttr;
  // Not a base type and no tp_new: only start-up makes method objects. The
  // method-descriptor flag lets `p.m(...)` call with `p` in front instead of
  // making a bound method. From 3.8 calls take the vectorcall entry; the
  // ordinary call slot stays for every other route.
  method_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::kMethodDescriptorFlag |
                         compat::kVectorcallFlag;
  compat::set_vectorcall_offset(&method_type, offsetof(MethodObject, vectorcall));
  method_type.tp_traverse = method_traverse;
  method_type.tp_clear = method_clear;
  method_type.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
  method_type.tp_methods = method_methods;
  method_type.tp_members = method_members;
  method_type.tp_getset = method_getset;
  method_type.tp_descr_get = method_descr_get;
  method_type.tp_dictoffset = offsetof(MethodObject, dict);
  return PyType_Ready(&method_type);
}

void method_type_forget() { compat::forget_ready_type(&method_type); }

PyObject* method_object_new(const MethodRecord* record, PyObject* qualname, PyObject* module_name,
                            PyObject* globals, PyObject* code) {
  MethodObject* m = PyObject_GC_New(MethodObject, &method_type);
  if (m == nullptr) return nullptr;
  m->record = record;
  m->vectorcall = compat::vectorcall_entry(method_vectorcall);
  m->module = new_ref(module_name);
  m->weakrefs = nullptr;
  m->dict = nullptr;
  m->name = nullptr;
  m->qualname = new_ref(qualname);
  m->doc = nullptr;
  m->globals = new_ref(globals);
  m->code = new_ref(code);
  m->closure = nullptr;
  m->defaults = nullptr;
  m->kwdefaults = nullptr;
  m->annotations = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
  return reinterpret_cast<PyObject*>(m);
}

void method_object_set_defaults(PyObject* method, PyObject* defaults) {
  replace_field(&as_method(method)->defaults, defaults);
}

}  // namespace addongate
