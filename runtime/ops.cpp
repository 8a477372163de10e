#include "runtime/ops.h"

#include <cstddef>

#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/ref.h"

namespace addongate {

void raise_object(PyObject* x) {
  if (PyExceptionInstance_Check(x)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(x)), x);
    return;
  }
  if (!PyExceptionClass_Check(x)) {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return;
  }
  Ref value = Ref::steal(PyObject_CallObject(x, nullptr));
  if (!value) return;
  if (PyExceptionInstance_Check(value.get())) {
    PyErr_SetObject(x, value.get());
    return;
  }
  PyErr_Format(PyExc_TypeError,
               "calling %R should have returned an instance of BaseException, not %R", x,
               reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
}

namespace {

// A call that came back empty-handed without saying why is the callee's bug;
// report it rather than pass on a bare null.
PyObject* checked_result(PyObject* result) {
  if (result == nullptr && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// `call()` under the interpreter's recursion guard, its result checked.
template <typename Call>
PyObject* guarded(Call call) {
  compat::RecursionGuard guard;
  if (!guard.enter()) return nullptr;
  PyObject* result = call();
  guard.leave();
  return checked_result(result);
}

// `f(*args, **kwargs)` through f's type's call slot.
PyObject* call_object_with(PyObject* f, PyObject* args, PyObject* kwargs) {
  ternaryfunc call = Py_TYPE(f)->tp_call;
  if (call == nullptr) return PyObject_Call(f, args, kwargs);  // its own "not callable"
  return guarded([&] { return call(f, args, kwargs); });
}

}  // namespace

PyObject* call_object(PyObject* f, PyObject* args) { return call_object_with(f, args, nullptr); }

PyObject* keywords_dict(PyObject* kwnames, PyObject* const* values) {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
    if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0) return nullptr;
  return kwargs.release();
}

PyObject* call_through_slot(PyObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t n = compat::vectorcall_nargs(nargsf);
  Ref tuple = Ref::steal(PyTuple_New(n));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
  Ref kwargs;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    kwargs = Ref::steal(keywords_dict(kwnames, args + n));
    if (!kwargs) return nullptr;
  }
  return call_object_with(f, tuple.get(), kwargs.get());
}

PyObject* call_vector(PyObject* f, PyObject* const* args, Py_ssize_t n) {
  return guarded([&] { return compat::vectorcall(f, args, n); });
}

PyObject* get_attribute(PyObject* obj, PyObject* name) { return PyObject_GetAttr(obj, name); }

int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
  // PyObject_SetAttr would only intern the name before the type's own slot.
  setattrofunc set = Py_TYPE(obj)->tp_setattro;
  if (set != nullptr && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
    return set(obj, name, value);
  return PyObject_SetAttr(obj, name, value);
}

PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t n) {
  return guarded([&] { return compat::call_method(name, args, n); });
}

// ---- remembered reads -----------------------------------------------------------

namespace {

bool remembering = false;

// Whether finding an exact str key in `dict` compares text alone: every key
// is an exact str. Larger dicts are not checked (nor remembered): the check
// reads every key.
bool has_only_exact_str_keys(PyObject* dict) {
  constexpr Py_ssize_t kMostChecked = 1024;
  if (compat::dict_size(dict) > kMostChecked) return false;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

// The dictionary of an exact module, or null: up to 3.10 a module made by
// `ModuleType.__new__` alone has none (and PyModule_GetDict gives null,
// without an exception) until `__init__` runs.
PyObject* plain_module_dict(PyObject* obj) {
  return Py_TYPE(obj) == &PyModule_Type ? PyModule_GetDict(obj) : nullptr;
}

// What `slot` holds for `owner`'s attribute, borrowed, while the exact
// module's dict is the one it was read from and unchanged since; else null.
PyObject* remembered_attribute(PyObject* owner, const ModuleAttributeSlot& slot) {
  PyObject* dict = plain_module_dict(owner);
  if (dict == nullptr || dict != slot.dict) return nullptr;
  const uint64_t version = compat::host_namespace_version(dict);
  return version != 0 && version == slot.version ? slot.value : nullptr;
}

// The module namespace's version where its reads are remembered, else 0.
uint64_t remembered_namespace_version() {
  if (!compat::kRememberGlobalReads || !remembering) return 0;
  return compat::namespace_version(runtime_context().globals);
}

// Whether what `slot` holds is still the namespace's finding.
bool global_is_current(const GlobalSlot& slot) {
  const uint64_t version = remembered_namespace_version();
  return version != 0 && slot.version == version;
}

}  // namespace

void start_remembering() { remembering = true; }
void stop_remembering() { remembering = false; }

PyObject* lookup_global(PyObject* name, GlobalSlot* slot) {
  PyObject* ns = runtime_context().globals;
  const uint64_t version = remembered_namespace_version();
  if (version != 0 && slot->version == version) {
    if (slot->value != nullptr) return new_ref(slot->value);
    return lookup_builtin(name);
  }
  bool failed;
  Ref found = Ref::steal(compat::dict_find(ns, name, &failed));  // uses the name's cached hash
  if (failed) return nullptr;
  // Unchanged by the lookup, and no key's own __eq__ ran: the finding stands
  // for as long as the version does.
  if (version != 0 && compat::namespace_version(ns) == version && has_only_exact_str_keys(ns)) {
    slot->version = version;
    PyObject* old = slot->value;
    slot->value = found ? new_ref(found.get()) : nullptr;
    Py_XDECREF(old);  // last: its release may run code that reads here again
  }
  if (found) return found.release();
  return lookup_builtin(name);
}

PyObject* lookup_global_attribute(PyObject* name, GlobalSlot* global, PyObject* attr,
                                  ModuleAttributeSlot* slot) {
  // The global as remembered, with the namespace unchanged (the slot holds
  // it): its attribute may be remembered too.
  if (global_is_current(*global) && global->value != nullptr) {
    if (PyObject* remembered = remembered_attribute(global->value, *slot))
      return new_ref(remembered);
  }
  Ref owner = Ref::steal(lookup_global(name, global));
  if (!owner) return nullptr;
  if (PyObject* remembered = remembered_attribute(owner.get(), *slot)) return new_ref(remembered);
  Ref dict = Ref::borrow(remembering ? plain_module_dict(owner.get()) : nullptr);
  // Watched before the read, so that a change during it is seen.
  const uint64_t version = dict && compat::watch_host_namespace(dict.get())
                               ? compat::host_namespace_version(dict.get())
                               : 0;
  Ref value = Ref::steal(PyObject_GetAttr(owner.get(), attr));
  if (!value || version == 0) return value.release();
  // An exact module gives an attribute its dict holds, as neither the module
  // type nor `object` defines one of that name. When the interpreter found
  // just the value the dict holds, and nothing changed the dict meanwhile,
  // that value stays the answer while the dict is unchanged. (A missing name
  // is never remembered: the module's own __getattr__ answers it each time.)
  if (compat::host_namespace_version(dict.get()) != version || !has_only_exact_str_keys(dict.get()))
    return value.release();
  bool failed;
  Ref held = Ref::steal(compat::dict_find(dict.get(), attr, &failed));  // compares text alone
  if (failed) {
    PyErr_Clear();  // only a memory error: the attribute was read, it is not remembered
  } else if (held.get() == value.get()) {
    slot->version = version;
    slot->dict = dict.get();
    PyObject* old = slot->value;
    slot->value = new_ref(value.get());
    Py_XDECREF(old);  // last: its release may run code that reads here again
  }
  return value.release();
}

PyObject* get_item(PyObject* o, PyObject* key) {
  PyMappingMethods* mapping = Py_TYPE(o)->tp_as_mapping;
  if (mapping != nullptr && mapping->mp_subscript != nullptr) return mapping->mp_subscript(o, key);
  PySequenceMethods* sequence = Py_TYPE(o)->tp_as_sequence;
  if (sequence == nullptr || sequence->sq_item == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  Py_ssize_t index;
  if (PyLong_CheckExact(key)) {
    index = PyLong_AsSsize_t(key);
  } else {
    Ref as_index = Ref::steal(PyNumber_Index(key));
    index = as_index ? PyLong_AsSsize_t(as_index.get()) : -1;
  }
  if (index == -1 && PyErr_Occurred()) {
    // Kept by the item-read rule, though the bodies' keys (tuples) never get here.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer",
                   Py_TYPE(key)->tp_name);
    }
    return nullptr;
  }
  if (index < 0 && sequence->sq_length != nullptr) {
    Py_ssize_t length = sequence->sq_length(o);
    if (length >= 0) {
      index += length;
    } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();  // keep the index as given
    } else {
      return nullptr;
    }
  }
  return sequence->sq_item(o, index);
}

namespace {

// KeyError((1, 2)), not KeyError(1, 2): a tuple key is shown whole.
void set_key_error(PyObject* key) {
  if (PyTuple_Check(key)) {
    Ref wrapped = Ref::steal(PyTuple_Pack(1, key));
    if (wrapped) PyErr_SetObject(PyExc_KeyError, wrapped.get());
  } else {
    PyErr_SetObject(PyExc_KeyError, key);
  }
}

}  // namespace

PyObject* dict_get_item(PyObject* d, PyObject* key) {
  bool failed;
  PyObject* value = compat::dict_find(d, key, &failed);
  if (value == nullptr && !failed) set_key_error(key);
  return value;
}

PyObject* lookup_builtin(PyObject* name) {
  PyObject* value = PyObject_GetAttr(runtime_context().builtins, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return value;
}

}  // namespace addongate
