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

// `f(*args, **kwargs)` through f's type's call slot.
PyObject* call_object_with(PyObject* f, PyObject* args, PyObject* kwargs) {
  ternaryfunc call = Py_TYPE(f)->tp_call;
  if (call == nullptr) return PyObject_Call(f, args, kwargs);  // its own "not callable"
  compat::RecursionGuard guard;
  if (!guard.enter()) return nullptr;
  PyObject* result = call(f, args, kwargs);
  guard.leave();
  return checked_result(result);
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
  compat::RecursionGuard guard;
  if (!guard.enter()) return nullptr;
  PyObject* result = compat::vectorcall(f, args, n);
  guard.leave();
  return checked_result(result);
}

namespace {

// Remembered lookups of `Entry` (with `type` and `name` members), two for
// each set of names. The bodies read a handful of names, so that two of them
// rarely share a set and evict each other (as they could with one).
//
// What makes a remembered lookup valid, per version. Every entry holds
// references of its own to what it found, released when it is replaced, so
// a hit never reads an object that has since been freed; after the
// interpreter has ended the entries are forgotten. A dict is known by its
// version (up to 3.11), which no other dict state in the interpreter
// carries: every change to a dict gives it a new one.
// - 3.6 to 3.10: a type's version tag comes from a counter that
//   sys._clear_type_cache() restarts and that wraps around after 2**32 tags,
//   so a changed type can carry its old tag again: no tag is trusted.
//   Class-level lookups are not remembered; the interpreter's own method
//   cache, which the same restart clears, serves them. An instance lookup is
//   keyed by the versions of the dicts along the type's MRO (up to four),
//   which name everything a class-level lookup reads, and by the instance
//   dict's.
// - From 3.11: an entry is keyed by the type's version tag, which the
//   interpreter never hands out twice (the counter stops instead of
//   wrapping, and clearing the type cache does not restart it): every change
//   to the type gives a new key.
template <typename Entry>
class LookupMemo {
 public:
  // The entries that may hold (type, name), the last one stored first.
  const Entry* ways(PyObject* name) const { return sets_[set_of(name)]; }
  // Takes references of its own to what `entry` found.
  void store(Entry entry) {
    Entry* way = sets_[set_of(entry.name)];
    Entry evicted;
    if (way[0].name != entry.name || way[0].type != entry.type) {
      evicted = way[1];
      way[1] = way[0];
    } else {
      evicted = way[0];
    }
    entry.hold();
    way[0] = entry;
    evicted.drop();  // last: a release may run code that looks things up again
  }
  // After the interpreter ended: its objects are gone, so nothing is released.
  void forget() {
    for (auto& set : sets_) set[0] = set[1] = Entry{};
  }

 private:
  static constexpr int kSetBits = 5;
  static std::size_t set_of(PyObject* name) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(name) >> 4;
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits));
  }
  Entry sets_[1 << kSetBits][2];
};

// What a class-level lookup found, remembered per (type, name) for as long
// as the type's version tag stands (from 3.11 only).
struct ClassLookup {
  PyTypeObject* type = nullptr;  // only compared
  PyObject* name = nullptr;      // only compared
  unsigned version = 0;          // 0: nothing remembered
  PyObject* found = nullptr;     // owned once stored; null when no class has it
  void hold() { Py_XINCREF(found); }
  void drop() { Py_XDECREF(found); }
};
LookupMemo<ClassLookup> class_lookups;

// `_PyType_Lookup(type, name)`: new reference, null when no class on the MRO
// has it.
Ref class_attribute(PyTypeObject* type, PyObject* name) {
  const unsigned version = compat::type_version(type);
  if (version != 0) {
    const ClassLookup* way = class_lookups.ways(name);
    for (int i = 0; i < 2; ++i)
      if (way[i].version == version && way[i].type == type && way[i].name == name)
        return Ref::borrow(way[i].found);
  }
  Ref found = Ref::borrow(_PyType_Lookup(type, name));
  // The lookup gives the type a tag when it has none; remember under that one.
  const unsigned tagged = compat::type_version(type);
  if (tagged != 0) class_lookups.store(ClassLookup{type, name, tagged, found.get()});
  return found;
}

// The type of `obj` when its attributes are read by the generic lookup over
// an instance dict that can be read as it is; else null.
PyTypeObject* plain_generic_type(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dict == nullptr ||
      !compat::has_plain_instance_dict(type))
    return nullptr;
  return type;
}

// Whether every key of `dict` is an exact str. Only then does a look-up of
// an exact str key compare by text alone: another key's own `__eq__` could
// run (with effects, or a different answer) at every read otherwise, so such
// a dict is read afresh each time.
bool has_only_exact_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

// The dict `obj` keeps its attributes in, borrowed, or null.
PyObject* instance_dict(PyObject* obj) {
  PyObject** dict = _PyObject_GetDictPtr(obj);
  return dict != nullptr ? *dict : nullptr;
}

// What the two halves of a generic lookup found for (type, name, instance
// dict), remembered while the type's key (see LookupMemo) and the dict's
// version stand: unchanged, they find the same again. Only a dict whose keys
// are all exact str is remembered, where finding a name runs no code of its
// keys.
struct InstanceLookup {
  static constexpr int kMroKept = 4;
  PyTypeObject* type = nullptr;  // only compared
  PyObject* name = nullptr;      // only compared
  PyObject* dict = nullptr;      // only compared; null for an instance without one
  uint64_t dict_version = 0;
  unsigned type_version = 0;             // from 3.11
  int classes = 0;                       // up to 3.10: the MRO's length,
  uint64_t mro_versions[kMroKept] = {};  // and the versions of its classes' dicts
  PyObject* descr = nullptr;             // owned once stored: the class attribute, or null
  PyObject* value = nullptr;             // owned once stored: the instance dict's value, or null

  // Takes `type`'s key as it is now; false when it cannot be remembered now
  // (no valid tag; up to 3.10 no MRO yet, or a longer one than kept).
  bool key_type(PyTypeObject* t) {
    if (compat::kTypeTagsNeverReused) {
      type_version = compat::type_version(t);
      return type_version != 0;
    }
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || PyTuple_GET_SIZE(mro) > kMroKept) return false;
    classes = static_cast<int>(PyTuple_GET_SIZE(mro));
    for (int i = 0; i < classes; ++i) {
      mro_versions[i] = class_dict_version(mro, i);
      if (mro_versions[i] == 0) return false;
    }
    return true;
  }
  // Whether `type`'s key is still the one taken.
  bool same_type(PyTypeObject* t) const {
    if (compat::kTypeTagsNeverReused) return type_version == compat::type_version(t);
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || PyTuple_GET_SIZE(mro) != classes) return false;
    for (int i = 0; i < classes; ++i)
      if (class_dict_version(mro, i) != mro_versions[i]) return false;
    return true;
  }
  void hold() {
    Py_XINCREF(descr);
    Py_XINCREF(value);
  }
  void drop() {
    Py_XDECREF(descr);
    Py_XDECREF(value);
  }

 private:
  static uint64_t class_dict_version(PyObject* mro, int i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    return dict != nullptr ? compat::dict_version(dict) : 0;
  }
};
LookupMemo<InstanceLookup> instance_lookups;

const InstanceLookup* remembered_lookup(PyTypeObject* type, PyObject* name, PyObject* dict) {
  const InstanceLookup* way = instance_lookups.ways(name);
  for (int i = 0; i < 2; ++i)
    if (way[i].type == type && way[i].name == name && way[i].dict == dict &&
        (dict == nullptr || way[i].dict_version == compat::dict_version(dict)) &&
        way[i].same_type(type))
      return &way[i];
  return nullptr;
}

// Small dicts only: the check reads every key.
bool can_remember_dict(PyObject* dict) {
  return PyDict_Size(dict) <= 16 && has_only_exact_str_keys(dict);
}

// `name` in the instance dict `dict` (null for an instance without one): new
// reference, or null when absent (or, with `*failed` set, when the lookup
// raised). What it found is remembered beside the class attribute `descr`
// when the lookup ran no code: the type and the dict are as they were before
// it, and the dict's keys are all exact str.
PyObject* instance_dict_value(PyTypeObject* type, PyObject* dict, PyObject* name, PyObject* descr,
                              bool* failed) {
  InstanceLookup seen;
  seen.type = type;
  seen.name = name;
  seen.descr = descr;
  const bool rememberable = seen.key_type(type);
  if (dict == nullptr) {
    if (rememberable) instance_lookups.store(seen);
    return nullptr;
  }
  seen.dict = dict;
  seen.dict_version = compat::dict_version(dict);
  Ref instance_dict = Ref::borrow(dict);  // a key's __eq__ could replace it
  PyObject* value = compat::dict_find(dict, name, failed);
  if (!*failed && rememberable && seen.dict_version != 0 && seen.same_type(type) &&
      compat::dict_version(dict) == seen.dict_version && can_remember_dict(dict)) {
    seen.value = value;
    instance_lookups.store(seen);
  }
  return value;
}

// The generic lookup for an instance attribute that no data descriptor of
// the class claims: the instance dict, then a plain class attribute. Null
// where the generic route must decide (a descriptor with __get__, or nothing
// found, for its error), or with `*failed` set when a dict lookup raised.
PyObject* instance_attribute(PyObject* obj, PyObject* name, bool* failed) {
  PyTypeObject* type = plain_generic_type(obj);
  if (type == nullptr) return nullptr;
  PyObject* dict = instance_dict(obj);
  if (const InstanceLookup* seen = remembered_lookup(type, name, dict)) {
    // The descriptor's own type may have gained a __get__ since.
    if (seen->descr != nullptr && Py_TYPE(seen->descr)->tp_descr_get != nullptr) return nullptr;
    PyObject* found = seen->value != nullptr ? seen->value : seen->descr;
    return found != nullptr ? new_ref(found) : nullptr;
  }
  Ref descr = class_attribute(type, name);  // the dict lookup may drop the class's reference
  if (descr && Py_TYPE(descr.get())->tp_descr_get != nullptr) return nullptr;
  PyObject* value = instance_dict_value(type, dict, name, descr.get(), failed);
  if (value != nullptr || *failed) return value;
  return descr.release();
}

// Whether calling `descr` bound to an instance equals calling it with the
// instance in front, and no __set__ puts it before the instance dict.
bool is_plain_method(PyObject* descr) {
  return descr != nullptr && (Py_TYPE(descr)->tp_flags & compat::kMethodDescriptorFlag) &&
         Py_TYPE(descr)->tp_descr_set == nullptr;
}

// What `obj.name(...)` calls, found the way the interpreter's method call
// finds it but without making a bound method: a class attribute whose type
// promises that binding then calling equals calling with `obj` in front
// (`*with_self` set), or the instance's own value. Null where the
// interpreter's route must decide, or with `*failed` set when a dict lookup
// raised.
PyObject* find_method(PyObject* obj, PyObject* name, bool* with_self, bool* failed) {
  if (compat::kMethodDescriptorFlag == 0) return nullptr;
  PyTypeObject* type = plain_generic_type(obj);
  if (type == nullptr) return nullptr;
  PyObject* dict = instance_dict(obj);
  if (const InstanceLookup* seen = remembered_lookup(type, name, dict)) {
    if (!is_plain_method(seen->descr)) return nullptr;
    *with_self = seen->value == nullptr;
    return new_ref(*with_self ? seen->descr : seen->value);
  }
  Ref descr = class_attribute(type, name);
  if (!is_plain_method(descr.get())) return nullptr;
  // Without a __set__ the instance's own value comes first.
  PyObject* value = instance_dict_value(type, dict, name, descr.get(), failed);
  *with_self = value == nullptr;
  if (value != nullptr || *failed) return value;
  return descr.release();
}

// The dictionary of an exact module, or null: up to 3.10 a module made by
// `ModuleType.__new__` alone has none (and PyModule_GetDict gives null,
// without an exception) until `__init__` runs.
PyObject* plain_module_dict(PyObject* obj) {
  return Py_TYPE(obj) == &PyModule_Type ? PyModule_GetDict(obj) : nullptr;
}

// Whether what `slot` remembers still stands: the module namespace is
// unchanged since it was read.
bool global_is_current(const GlobalSlot& slot) {
  const uint64_t version = compat::namespace_version(runtime_context().globals);
  return version != 0 && slot.version == version;
}

// What `slot` remembers of an attribute read from the module dict `dict`,
// borrowed, while that dict is unchanged; else null.
PyObject* remembered_attribute(PyObject* dict, const ModuleAttributeSlot& slot) {
  return slot.dict == dict && slot.version == compat::host_namespace_version(dict) ? slot.value
                                                                                   : nullptr;
}

}  // namespace

PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t n) {
  compat::RecursionGuard guard;
  if (!guard.enter()) return nullptr;
  bool with_self = false;
  bool failed = false;
  PyObject* result = nullptr;
  Ref method = Ref::steal(find_method(args[0], name, &with_self, &failed));
  if (method)
    result = with_self ? compat::vectorcall(method.get(), args, n)
                       : compat::vectorcall(method.get(), args + 1, n - 1);
  else if (!failed)
    result = compat::call_method(name, args, n);
  guard.leave();
  return failed ? nullptr : checked_result(result);
}

PyObject* get_attribute(PyObject* obj, PyObject* name) {
  PyObject* dict = plain_module_dict(obj);
  bool failed = false;
  PyObject* value = dict != nullptr ? compat::dict_find(dict, name, &failed)
                                    : instance_attribute(obj, name, &failed);
  if (value != nullptr || failed) return value;
  return PyObject_GetAttr(obj, name);
}

int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_setattro == PyObject_GenericSetAttr && type->tp_dictoffset != 0 &&
      type->tp_dict != nullptr && compat::has_plain_instance_dict(type)) {
    Ref descr = class_attribute(type, name);
    if (!descr || Py_TYPE(descr.get())->tp_descr_set == nullptr) {
      Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
      if (!dict) return -1;
      return PyDict_SetItem(dict.get(), name, value);
    }
  }
  // PyObject_SetAttr would only intern the name before the type's own slot.
  if (type->tp_setattro != nullptr && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
    return type->tp_setattro(obj, name, value);
  return PyObject_SetAttr(obj, name, value);
}

void forget_class_lookups() {
  class_lookups.forget();
  instance_lookups.forget();
}

PyObject* lookup_global_attribute(PyObject* name, GlobalSlot* global, PyObject* attr,
                                  ModuleAttributeSlot* slot) {
  // With the namespace unchanged the global is the one remembered (the slot
  // holds it), so its attribute may be the one remembered too.
  if (global_is_current(*global) && global->value != nullptr) {
    PyObject* dict = plain_module_dict(global->value);
    PyObject* value = dict != nullptr ? remembered_attribute(dict, *slot) : nullptr;
    if (value != nullptr) return new_ref(value);
  }
  Ref owner = Ref::steal(lookup_global(name, global));
  if (!owner) return nullptr;
  PyObject* dict = plain_module_dict(owner.get());
  if (dict == nullptr) return get_attribute(owner.get(), attr);
  // An exact module reads `attr` from its dict first, as the module type and
  // `object` have no descriptor of that name; so while the dict is unchanged
  // (and has only exact str keys) the value found in it is still the answer
  // (ModuleAttributeSlot says how "unchanged" is known).
  if (PyObject* remembered = remembered_attribute(dict, *slot)) return new_ref(remembered);
  PyObject* value = PyDict_GetItemWithError(dict, attr);  // uses the name's cached hash
  if (value == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    // A missing name is never remembered: the module's own __getattr__ and
    // the error message come from the interpreter's route, every time.
    return PyObject_GetAttr(owner.get(), attr);
  }
  Ref found = Ref::borrow(value);
  if (!has_only_exact_str_keys(dict)) return found.release();
  // Without a watcher the value is still right; it is only not remembered.
  if (compat::watch_host_namespace(dict) < 0) {
    PyErr_Clear();
    return found.release();
  }
  slot->version = compat::host_namespace_version(dict);
  slot->dict = dict;
  Py_XSETREF(slot->value, new_ref(value));  // the old value is released last
  return found.release();
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

// `d[key]` of an exact dict by a known hash: borrowed, or null (with an
// exception only when the lookup raised).
PyObject* find_hashed(PyObject* d, PyObject* key, Py_hash_t hash) {
  return _PyDict_GetItem_KnownHash(d, key, hash);
}

}  // namespace

PyObject* dict_get_item(PyObject* d, PyObject* key) {
  bool failed;
  PyObject* value = compat::dict_find(d, key, &failed);
  if (value == nullptr && !failed) set_key_error(key);
  return value;
}

Py_hash_t pure_hash(PyObject* key) {
  if (!PyTuple_CheckExact(key)) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
    PyObject* item = PyTuple_GET_ITEM(key, i);
    if (!PyUnicode_CheckExact(item) && item != Py_None) return -1;
  }
  return PyObject_Hash(key);  // cannot fail for such items
}

int dict_contains_hashed(PyObject* d, PyObject* key, Py_hash_t hash) {
  if (hash == -1 || !PyDict_CheckExact(d)) return PyDict_Contains(d, key);
  if (find_hashed(d, key, hash) != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_item_hashed(PyObject* o, PyObject* key, Py_hash_t hash) {
  if (hash == -1 || !PyDict_CheckExact(o)) return get_item(o, key);
  PyObject* value = find_hashed(o, key, hash);
  if (value != nullptr) return new_ref(value);
  if (!PyErr_Occurred()) set_key_error(key);
  return nullptr;
}

PyObject* lookup_global(PyObject* name, GlobalSlot* slot) {
  if (!global_is_current(*slot)) {
    PyObject* ns = runtime_context().globals;
    // Taken before the lookup, which could run a key's __eq__ that changes it.
    const uint64_t version = compat::namespace_version(ns);
    PyObject* found = PyDict_GetItemWithError(ns, name);  // uses the name's cached hash
    if (found == nullptr && PyErr_Occurred()) return nullptr;
    Ref global = Ref::borrow(found);
    slot->version = version;
    Py_XINCREF(found);
    Py_XSETREF(slot->value, found);  // the old value is released last, and may run code
    if (global) return global.release();
  } else if (slot->value != nullptr) {
    return new_ref(slot->value);
  }
  return lookup_builtin(name);
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
