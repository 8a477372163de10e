#include "runtime/compat.h"

#include "runtime/ref.h"

namespace addongate {
namespace compat {

namespace detail {
uint64_t namespace_epoch = 1;
uint64_t host_namespace_epoch = 1;
}  // namespace detail

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// The module's own namespace and the host dicts have a watcher and a counter
// each, so that a host module writing its globals does not make the module's
// own global reads miss.
int watcher_id = -1;
int host_watcher_id = -1;

// Runs before the change; must not run Python code or touch the dict.
template <uint64_t* epoch>
int bump_epoch(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++*epoch;
  return 0;
}

int watch_with(int* id, PyDict_WatchCallback callback, PyObject* dict) {
  if (*id < 0) {
    *id = PyDict_AddWatcher(callback);
    if (*id < 0) return -1;
  }
  return PyDict_Watch(*id, dict);
}

}  // namespace
#endif

int watch_namespace(PyObject* ns) {
#if PY_VERSION_HEX >= 0x030C0000
  // A namespace seen for the first time: forget what was remembered of any
  // earlier one.
  ++detail::namespace_epoch;
  return watch_with(&watcher_id, bump_epoch<&detail::namespace_epoch>, ns);
#else
  (void)ns;  // the dictionary's own version tag needs no set-up
  return 0;
#endif
}

int watch_host_namespace(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
  return watch_with(&host_watcher_id, bump_epoch<&detail::host_namespace_epoch>, dict);
#else
  (void)dict;
  return 0;
#endif
}

void forget_namespace_watcher() {
#if PY_VERSION_HEX >= 0x030C0000
  watcher_id = -1;
  host_watcher_id = -1;
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
