// The few places where CPython 3.6 to 3.15 differ underneath the module.
//
// Each helper names what it does; the rest of the code calls these and never
// tests PY_VERSION_HEX itself.
//
// Every attribute read, method call and global read goes through CPython's
// public API. What the module still touches beyond it, with what needs it
// and what guards it, is listed in CONTRIBUTING.md ("CPython beyond its
// public API"); a helper here that reaches past the API belongs there too.

#pragma once

#include <Python.h>
#include <frameobject.h>   // PyFrame_New: not pulled in by Python.h
#include <structmember.h>  // T_OBJECT: reads None where the field is empty

#include <cstdint>

namespace addongate {
namespace compat {

// ---- member descriptors -----------------------------------------------------
// An object field that reads None while empty. 3.12 renamed the public codes
// and kept only this old name for that behaviour.
constexpr int kMemberObject = T_OBJECT;
constexpr int kMemberReadOnly = READONLY;

// ---- the type flag that lets `obj.meth(...)` skip the bound method ----------
// Added in 3.8; older interpreters always bind through tp_descr_get.
#ifdef Py_TPFLAGS_METHOD_DESCRIPTOR
constexpr unsigned long kMethodDescriptorFlag = Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
constexpr unsigned long kMethodDescriptorFlag = 0;
#endif

// ---- dicts -------------------------------------------------------------------
// The version of a dict: up to 3.11 the dict's own tag, which a change to it
// replaces and no other dict state ever carries again in the same
// interpreter; from 3.12 that field is deprecated and this gives 0 (nothing
// can be remembered by it).
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)dict;
  return 0;
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// The length of an exact str whose length can be read in place, else -1.
// Up to 3.11 a str made by the deprecated wide-character calls may not be
// ready until something asks for its length.
inline Py_ssize_t ready_str_length(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return -1;
#endif
  return PyUnicode_GET_LENGTH(str);
}

// `d[key]` as a new reference, or null: `*failed` tells a raised lookup from
// a miss. From 3.13 that needs no look at the thread's exception state.
inline PyObject* dict_find(PyObject* d, PyObject* key, bool* failed) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value;
  *failed = PyDict_GetItemRef(d, key, &value) < 0;
  return value;
#else
  PyObject* value = PyDict_GetItemWithError(d, key);
  *failed = value == nullptr && PyErr_Occurred() != nullptr;
  Py_XINCREF(value);
  return value;
#endif
}

// ---- dict size without a call ------------------------------------------------
// The macro arrived in 3.7.
inline Py_ssize_t dict_size(PyObject* dict) {
#ifdef PyDict_GET_SIZE
  return PyDict_GET_SIZE(dict);
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_used;
#endif
}

// ---- calls without an argument tuple ----------------------------------------
// 3.8 has the vectorcall protocol under a private name, 3.9 made it public;
// 3.6 and 3.7 have the "fast call" that still skips the tuple for functions.
// From 3.9 a plain Python function is entered through its own entry point:
// PyObject_Vectorcall would add a thread-state look-up and a check of the
// result that only a faulty C callee can fail.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
  if (PyFunction_Check(callable))
    return PyVectorcall_Function(callable)(callable, args, static_cast<size_t>(nargs), nullptr);
  return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr);
#elif PY_VERSION_HEX >= 0x03080000
  return _PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr);
#else
  return _PyObject_FastCallDict(callable, const_cast<PyObject**>(args), nargs, nullptr);
#endif
}

// ---- the vectorcall entry of our own type -----------------------------------
// 3.8 has the protocol with a private flag name, 3.9 made it public; before
// 3.8 the type has only its ordinary call slot, and the entry is never read.
using VectorcallFunction = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);
#if PY_VERSION_HEX >= 0x03080000
using VectorcallEntry = vectorcallfunc;
#ifdef Py_TPFLAGS_HAVE_VECTORCALL
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
inline VectorcallEntry vectorcall_entry(VectorcallFunction f) { return f; }
inline void set_vectorcall_offset(PyTypeObject* type, size_t offset) {
  type->tp_vectorcall_offset = static_cast<Py_ssize_t>(offset);
}
inline Py_ssize_t vectorcall_nargs(size_t nargsf) { return PyVectorcall_NARGS(nargsf); }
#else
using VectorcallEntry = void*;
constexpr unsigned long kVectorcallFlag = 0;
inline VectorcallEntry vectorcall_entry(VectorcallFunction) { return nullptr; }
inline void set_vectorcall_offset(PyTypeObject*, size_t) {}
inline Py_ssize_t vectorcall_nargs(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf); }
#endif

// The entry the interpreter takes when it calls a class object itself
// (`Plugin(...)`), in place of the metatype's call slot. It is read from
// 3.9; before, a class is always called through its metatype's slot.
inline void set_class_vectorcall(PyTypeObject* type, VectorcallFunction f) {
#if PY_VERSION_HEX >= 0x03090000
  type->tp_vectorcall = f;
#else
  (void)type;
  (void)f;
#endif
}

// `args[0].name(*args[1:])` (one to three arguments), the interpreter's
// method call: from 3.9 through the vectorcall method API; 3.7 and 3.8 do
// the same lookup inside PyObject_CallMethodObjArgs, 3.6 binds and calls.
inline PyObject* call_method(PyObject* name, PyObject* const* args, Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
  return PyObject_VectorcallMethod(name, args, static_cast<size_t>(nargs), nullptr);
#else
  if (nargs == 1) return PyObject_CallMethodObjArgs(args[0], name, nullptr);
  if (nargs == 2) return PyObject_CallMethodObjArgs(args[0], name, args[1], nullptr);
  return PyObject_CallMethodObjArgs(args[0], name, args[1], args[2], nullptr);
#endif
}

// ---- the recursion guard around a call from C ---------------------------
// Py_EnterRecursiveCall and Py_LeaveRecursiveCall. Up to 3.8 they are
// macros that look the thread state up at each use (up to three times a
// call); the guard looks it up once. 3.11 to 3.13 count down a public field
// of the thread state, which the guard does itself after one look-up, leaving
// only the call that runs out (and raises, or not) to the interpreter. 3.9
// and 3.10 compare with a limit the headers do not show, and from 3.14 the
// interpreter measures the C stack, so there the guard calls the functions.
#if PY_VERSION_HEX < 0x03090000
#define ADDONGATE_RECURSION_MACROS 1
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define ADDONGATE_RECURSION_COUNTDOWN 1
#endif
class RecursionGuard {
 public:
  // False, with RecursionError set, when the call would go too deep; the
  // guard must then not be left.
  bool enter() {
#if defined(ADDONGATE_RECURSION_MACROS)
    tstate_ = PyThreadState_GET();
    return !(_Py_MakeRecCheck(tstate_->recursion_depth) && _Py_CheckRecursiveCall(kWhere));
#else
#if defined(ADDONGATE_RECURSION_COUNTDOWN)
    tstate_ = PyThreadState_GET();
    if (remaining()-- > 0) return true;
    ++remaining();  // the interpreter counts this call and decides
#endif
    return Py_EnterRecursiveCall(kWhere) == 0;
#endif
  }
  void leave() {
#if defined(ADDONGATE_RECURSION_MACROS)
    if (_Py_MakeEndRecCheck(tstate_->recursion_depth)) tstate_->overflowed = 0;
#elif defined(ADDONGATE_RECURSION_COUNTDOWN)
    ++remaining();
#else
    Py_LeaveRecursiveCall();
#endif
  }

 private:
  // The end of RecursionError's message, as the interpreter's own calls give it.
  static constexpr const char* kWhere = " while calling a Python object";
#if defined(ADDONGATE_RECURSION_MACROS) || defined(ADDONGATE_RECURSION_COUNTDOWN)
  PyThreadState* tstate_ = nullptr;
#endif
#if defined(ADDONGATE_RECURSION_COUNTDOWN)
  // What Py_EnterRecursiveCall counts down: 3.12 split it from the count of
  // Python frames.
  int& remaining() {
#if PY_VERSION_HEX >= 0x030C0000
    return tstate_->c_recursion_remaining;
#else
    return tstate_->recursion_remaining;
#endif
  }
#endif
};

// ---- the pending exception, set aside and put back --------------------------
// 3.12 keeps a single exception object; PyErr_Fetch still works there but is
// the old, three-part interface.
class PendingException {
 public:
  PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &tb_);
#endif
  }
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;
  ~PendingException() { discard(); }

  // Makes the set-aside exception pending again (replacing any other).
  void restore() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
#else
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
#endif
  }
  void discard() {
#if PY_VERSION_HEX >= 0x030C0000
    Py_CLEAR(exc_);
#else
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_ = nullptr;
#else
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

// ---- synthetic frames ---------------------------------------------------------
inline PyFrameObject* new_frame(PyCodeObject* code, PyObject* globals) {
  return PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
}

// Up to 3.10 a fresh frame reports its f_lineno field when it is set (3.10
// prefers it over the code's first line); from 3.11 frames are opaque and the
// line comes from the code object, whose first line already is `line`.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
  frame->f_lineno = line;
#else
  (void)frame;
  (void)line;
#endif
}

// ---- interpreter identity -----------------------------------------------------
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_Get();
#else
  return PyThreadState_Get()->interp;
#endif
}

// The 64-bit ID of the current interpreter (3.7+), or -1 with an exception.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03070000
  return PyInterpreterState_GetID(current_interpreter());
#else
  PyErr_SetString(PyExc_SystemError, "interpreter IDs need CPython 3.7");
  return -1;
#endif
}

// ---- the recording interpreter's own mark -----------------------------------
// After a restart the main interpreter has ID 0 again. The module forgets
// its record when an interpreter ends (Py_AtExit), but an embedding program
// may have filled that table, and the record then outlives its interpreter:
// a mark that ends with the interpreter tells the two apart. From 3.8 it is
// a key in the interpreter's own dict; before, the interpreter's module
// table, held so that no later table can have its address.
struct InterpreterMark {
  PyObject* modules = nullptr;  // up to 3.7: strong, never released
};

// Marks the running interpreter: 0, or -1 with an exception.
inline int mark_interpreter(InterpreterMark* mark, const char* key) {
#if PY_VERSION_HEX >= 0x03080000
  PyObject* dict = PyInterpreterState_GetDict(current_interpreter());
  if (dict == nullptr) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return -1;
  }
  (void)mark;
  return PyDict_SetItemString(dict, key, Py_True);
#else
  (void)key;
  PyObject* modules = PyImport_GetModuleDict();
  Py_INCREF(modules);
  mark->modules = modules;
  return 0;
#endif
}

// Whether the running interpreter carries the mark: 1, 0, or -1 with an
// exception.
inline int carries_mark(const InterpreterMark& mark, const char* key) {
#if PY_VERSION_HEX >= 0x03080000
  (void)mark;
  PyObject* dict = PyInterpreterState_GetDict(current_interpreter());
  if (dict == nullptr) return PyErr_Occurred() ? -1 : 0;
  return PyDict_GetItemString(dict, key) != nullptr;  // only compared
#else
  (void)key;
  return mark.modules == PyImport_GetModuleDict();
#endif
}

// ---- the versions reads are remembered by ------------------------------------
// Up to 3.11 a dict's own version tag (dict_version above). From 3.12 that
// field is deprecated (3.14 removes it): a dict watcher advances a counter
// of ours on every change to a watched dict, and on its deallocation. The
// module namespace and the host modules' dicts have a watcher and a counter
// each, so that a host module writing its globals does not make the
// module's own global reads miss. Watcher ids are few (8 on 3.12, 6 left on
// 3.13); where another extension took them all, the version reads 0 and
// nothing is remembered. A counter keeps to one interpreter: each start-up
// and each interpreter's end advance it.
namespace detail {
extern uint64_t namespace_epoch;
extern uint64_t host_namespace_epoch;
extern bool namespace_watched;
extern bool host_watcher_added;
}  // namespace detail

// Starts following changes of the module namespace `ns`; where they cannot
// be followed (no exception), its version reads 0.
void watch_namespace(PyObject* ns);
// The same for a host module's dict (watching one again is harmless).
bool watch_host_namespace(PyObject* dict);
// At the interpreter's exit, while it lives: gives the watcher ids back.
void stop_watching();
// After the interpreter ended: its watchers went with it.
void forget_namespace_watcher();

// Whether a read of a module global is remembered at all. Up to 3.10 a
// call costs enough besides it that remembering saves under a tenth of any
// call measured; from 3.11 it saves up to a sixth (bench/README.md).
constexpr bool kRememberGlobalReads = PY_VERSION_HEX >= 0x030B0000;

// The version of `dict` where it is watched (`watched`, 3.12+: `epoch`);
// else 0.
inline uint64_t watched_version(PyObject* dict, bool watched, uint64_t epoch) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)dict;
  return watched ? epoch : 0;
#else
  (void)watched;
  (void)epoch;
  return dict_version(dict);
#endif
}

// The module namespace's version; 0 where it cannot be known.
inline uint64_t namespace_version(PyObject* ns) {
  return watched_version(ns, detail::namespace_watched, detail::namespace_epoch);
}

// A host module dict's version, valid for a dict watch_host_namespace took.
inline uint64_t host_namespace_version(PyObject* dict) {
  return watched_version(dict, detail::host_watcher_added, detail::host_namespace_epoch);
}

// ---- code objects that describe a method for introspection ------------------
// Makes a code object with `argcount` parameters and the local names
// `varnames`, flags CO_OPTIMIZED | CO_NEWLOCALS and no instructions. PyCode_New
// changed its signature in 3.8 and 3.11 and is deprecated from 3.12, so from
// 3.8 an empty code object is made and then `replace`d.
PyObject* new_method_code(const char* file, const char* name, int first_line, int argcount,
                          PyObject* varnames, PyObject* empty_bytes, PyObject* empty_tuple);

// ---- the one exported symbol -------------------------------------------------
// 3.6 to 3.8 give PyMODINIT_FUNC no visibility of its own on ELF, where every
// other symbol is hidden by the build. A PE file exports nothing unless asked,
// whatever the visibility, so there the entry point is marked for export.
#ifdef _WIN32
#define ADDONGATE_EXPORT __declspec(dllexport)
#else
#define ADDONGATE_EXPORT __attribute__((visibility("default")))
#endif

// ---- a static type across interpreter restarts -----------------------------------
// PyType_Ready fills a static type with objects of the running interpreter
// (its dict, bases and MRO) and a version tag from that interpreter's
// counter. Once the interpreter has ended, this drops them without release,
// so that the next interpreter readies the type afresh.
inline void forget_ready_type(PyTypeObject* type) {
  type->tp_dict = nullptr;
  type->tp_bases = nullptr;
  type->tp_mro = nullptr;
  type->tp_cache = nullptr;
  type->tp_subclasses = nullptr;
  type->tp_version_tag = 0;
  type->tp_flags &= ~(Py_TPFLAGS_READY | Py_TPFLAGS_READYING | Py_TPFLAGS_VALID_VERSION_TAG);
#if PY_VERSION_HEX >= 0x030C0000
  type->tp_watched = 0;
#endif
}

// ---- module slots -------------------------------------------------------------
// 3.13 asks whether a module runs without the GIL; this one relies on it.
#ifdef Py_mod_gil
#define ADDONGATE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define ADDONGATE_GIL_SLOT
#endif

}  // namespace compat
}  // namespace addongate
