#include "runtime/compat.h"

#include "runtime/ref.h"

namespace addongate {
namespace compat {

namespace detail {
uint64_t namespace_epoch = 1;
uint64_t host_namespace_epoch = 1;
bool namespace_watched = false;
bool host_watcher_added = false;
}  // namespace detail

#if PY_VERSION_HEX >= 0x030C0000
namespace {

int watcher_id = -1;
int host_watcher_id = -1;

// Runs before the change; must not run Python code or touch the dict.
template <uint64_t* epoch>
int bump_epoch(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++*epoch;
  return 0;
}

// Watches `dict` with the watcher `*id`, added first if need be. False, and
// no exception, where no watcher id is left (or the watch fails).
bool watch_with(int* id, PyDict_WatchCallback callback, PyObject* dict) {
  if (*id < 0) *id = PyDict_AddWatcher(callback);
  if (*id < 0 || PyDict_Watch(*id, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

void clear_watcher(int* id) {
  if (*id >= 0 && PyDict_ClearWatcher(*id) < 0) PyErr_Clear();
  *id = -1;
}

}  // namespace
#endif

void watch_namespace(PyObject* ns) {
#if PY_VERSION_HEX >= 0x030C0000
  // A namespace seen for the first time: nothing read from an earlier one
  // may be taken for its.
  ++detail::namespace_epoch;
  detail::namespace_watched = watch_with(&watcher_id, bump_epoch<&detail::namespace_epoch>, ns);
#else
  (void)ns;  // the dictionary's own version tag needs no set-up
#endif
}

bool watch_host_namespace(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
  const bool watched =
      watch_with(&host_watcher_id, bump_epoch<&detail::host_namespace_epoch>, dict);
  detail::host_watcher_added = host_watcher_id >= 0;
  return watched;
#else
  (void)dict;
  return true;
#endif
}

void stop_watching() {
#if PY_VERSION_HEX >= 0x030C0000
  clear_watcher(&watcher_id);
  clear_watcher(&host_watcher_id);
#endif
  forget_namespace_watcher();
}

void forget_namespace_watcher() {
#if PY_VERSION_HEX >= 0x030C0000
  watcher_id = host_watcher_id = -1;
  detail::namespace_watched = detail::host_watcher_added = false;
#endif
  ++detail::namespace_epoch;
  ++detail::host_namespace_epoch;
}

PyObject* new_method_code(const char* file, const char* name, int first_line, int argcount,
                          PyObject* varnames, PyObject* empty_bytes, PyObject* empty_tuple) {
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x03080000
  (void)empty_bytes;
  (void)empty_tuple;
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, first_line)));
  if (!code) return nullptr;
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  if (!replace) return nullptr;
  Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:i}", "co_argcount", argcount, "co_nlocals",
                                        static_cast<int>(PyTuple_GET_SIZE(varnames)), "co_varnames",
                                        varnames, "co_flags", flags));
  if (!kwargs) return nullptr;
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return nullptr;
  return PyObject_Call(replace.get(), args.get(), kwargs.get());
#else
  Ref file_obj = Ref::steal(PyUnicode_FromString(file));
  Ref name_obj = Ref::steal(PyUnicode_InternFromString(name));
  if (!file_obj || !name_obj) return nullptr;
  return reinterpret_cast<PyObject*>(
      PyCode_New(argcount, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0, flags, empty_bytes,
                 empty_tuple, empty_tuple, varnames, empty_tuple, empty_tuple, file_obj.get(),
                 name_obj.get(), first_line, empty_bytes));
#endif
}

}  // namespace compat
}  // namespace addongate
