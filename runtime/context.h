// What start-up hands the runtime: the choices the product makes, and the
// module namespace that global reads and traceback frames use. The runtime
// only reads it; the calls below are the only writers.
#pragma once

#include <Python.h>

namespace addongate {

struct RuntimeRules {
  const char* source_file;           // the file every traceback entry names
  bool reduce_to_qualified_name;     // a method's __reduce__: qualified, else short name
  bool none_instance_yields_method;  // binding a method to None gives the method itself
};

struct RuntimeContext {
  RuntimeRules rules = {"", true, false};
  PyObject* globals = nullptr;   // the module namespace, borrowed from the recorded module
  PyObject* builtins = nullptr;  // the builtins module, owned; may be null until found
};

namespace detail {
inline RuntimeContext runtime_context;
}

inline const RuntimeContext& runtime_context() { return detail::runtime_context; }

// Start-up, once it has the module namespace; a later start-up (after a
// failed one) replaces everything.
inline void start_runtime(const RuntimeRules& rules, PyObject* globals, PyObject* builtins) {
  RuntimeContext& c = detail::runtime_context;
  c.rules = rules;
  c.globals = globals;
  Py_XINCREF(builtins);
  Py_XSETREF(c.builtins, builtins);
}

// A failed start-up dropped its module: nothing may use its namespace.
inline void drop_runtime_namespace() { detail::runtime_context.globals = nullptr; }

// After the interpreter ended: forgets, without releasing, what it held.
inline void forget_runtime_context() { detail::runtime_context = RuntimeContext{}; }

}  // namespace addongate
