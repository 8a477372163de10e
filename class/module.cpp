// The module definition and its start-up: the create step makes (or hands
// back) the module object, the execution step fills it once per process.
#include <Python.h>

#include <cstdio>

#include "class/build_rules.h"
#include "class/constants.h"
#include "class/plugin.h"
#include "class/startup_state.h"
#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/method_object.h"
#include "runtime/ops.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "runtime/version_rule.h"

namespace addongate {

StartupState startup_state;

namespace {

const char kInitEntry[] = "init addonGate";
const Constants& k = constants;

// ---- the end of the recording interpreter ------------------------------------------

// Runs at the very end of the interpreter's finalisation, when every object
// start-up made belongs to an interpreter that no longer exists: the record
// is forgotten, not released, so that an interpreter started afterwards in
// this process imports the module afresh instead of getting the emptied one.
void forget_startup() {
  startup_state = StartupState{};
  forget_constants();
  forget_runtime_context();
  stop_remembering();
  forget_plugin_state();
  forget_traceback_entries();
  method_type_forget();
  compat::forget_namespace_watcher();
}

// The key of the mark in the interpreter's own dict (compat.h).
const char kMarkKey[] = "addonGate.recorded";

// Records the first interpreter, and arranges for the record to end with it:
// true, or false with an exception.
bool record_interpreter(int64_t id) {
  StartupState& s = startup_state;
  if (compat::mark_interpreter(&s.interpreter_mark, kMarkKey) < 0) return false;
  s.interpreter_recorded = true;
  s.interpreter_id = id;
  // Only a full table (32 functions) refuses. The record then outlives the
  // interpreter, and the mark tells a later one from it.
  (void)Py_AtExit(forget_startup);
  return true;
}

// ---- what the bodies remember, released at the interpreter's exit ------------------

// Runs as the interpreter's finalisation begins (an `atexit` function), while
// everything still lives: what the reading places hold is released, so that
// finalisers run, and nothing is remembered from then on.
PyObject* release_reads(PyObject* /*self*/, PyObject* /*unused*/) {
  stop_remembering();
  compat::stop_watching();
  release_plugin_reads();
  Py_RETURN_NONE;
}

PyMethodDef release_reads_def = {"release_reads", release_reads, METH_NOARGS, nullptr};

// Registers release_reads with `atexit`, once per interpreter: true when it
// is (or was) arranged. Where it cannot be, nothing is remembered.
bool arrange_release_at_exit() {
  StartupState& s = startup_state;
  if (s.release_arranged) return true;
  Ref atexit = Ref::steal(PyImport_ImportModuleLevel("atexit", nullptr, nullptr, nullptr, 0));
  Ref release = Ref::steal(atexit ? PyCFunction_New(&release_reads_def, nullptr) : nullptr);
  Ref done = Ref::steal(release ? PyObject_CallMethod(atexit.get(), "register", "O", release.get())
                                : nullptr);
  if (!done) PyErr_Clear();
  s.release_arranged = static_cast<bool>(done);
  return s.release_arranged;
}

// ---- create step ---------------------------------------------------------------

// Records the first interpreter; refuses any other.
bool check_interpreter() {
  StartupState& s = startup_state;
  if (rules::kRecordInterpreterId) {
    int64_t id = compat::current_interpreter_id();
    if (id == -1) return false;
    if (s.interpreter_recorded && s.interpreter_id == id) {
      const int same = compat::carries_mark(s.interpreter_mark, kMarkKey);
      if (same != 0) return same > 0;
      // A later interpreter with the recorded one's ID: that one has ended
      // without the record being forgotten.
      forget_startup();
    }
    if (!s.interpreter_recorded) return record_interpreter(id);
  } else {
    // The mark, the interpreter's module table, stands for it: as a later
    // interpreter's state can have an ended one's address, its table cannot.
    if (!s.interpreter_recorded) return record_interpreter(-1);
    const int same = compat::carries_mark(s.interpreter_mark, kMarkKey);
    if (same != 0) return same > 0;
  }
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return false;
}

// Copies spec.<attr> to module.<name>; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, const char* attr, PyObject* dict, const char* name,
                         bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(dict, name, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) {
  if (!check_interpreter()) return nullptr;
  if (startup_state.module != nullptr) return new_ref(startup_state.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attribute(spec, "loader", dict, "__loader__", false) ||
      !copy_spec_attribute(spec, "origin", dict, "__file__", false) ||
      !copy_spec_attribute(spec, "parent", dict, "__package__", false) ||
      !copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true))
    return nullptr;
  return module.release();
}

// ---- version check ----------------------------------------------------------------

// 0, or -1 when the mismatch warning was turned into an error.
int check_version() {
  char compiled[16];
  std::snprintf(compiled, sizeof compiled, "%d.%d", rules::kCompileMajor, rules::kCompileMinor);
  const char* runtime = Py_GetVersion();
  char shown[8];
  if (rules::kLegacy) {
    std::snprintf(shown, sizeof shown, "%.3s", runtime);
    if (legacy_version_matches(compiled, shown)) return 0;
  } else {
    if (version_matches(compiled, runtime)) return 0;
    runtime_version_for_message(runtime, shown, sizeof shown);
  }
  char message[200];
  version_mismatch_message(compiled, "addonGate", shown, message, sizeof message);
  return PyErr_WarnEx(nullptr, message, 1);
}

// ---- execution step ----------------------------------------------------------------

// Drops the recorded module so the next import starts afresh.
int drop_record() {
  Py_CLEAR(startup_state.module);
  drop_runtime_namespace();
  return -1;
}

// Failure before the module and its namespace are recorded: no entry.
int fail_early() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init addonGate");
  return drop_record();
}

// Failure after: one "init addonGate" entry at `line`.
int fail_at(int line) {
  add_traceback_entry(kInitEntry, line);
  return drop_record();
}

// Imports `name` absolutely through the import machinery (not through
// builtins.__import__) and binds it in the namespace.
int import_and_bind(PyObject* ns, PyObject* name) {
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return -1;
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return -1;
  Ref module =
      Ref::steal(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist.get(), 0));
  if (!module) return -1;
  return PyDict_SetItem(ns, name, module.get());
}

int exec_module(PyObject* module) {
  StartupState& s = startup_state;
  if (s.module != nullptr) {
    if (s.module == module) return 0;  // importlib.reload: nothing to do
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'addonGate' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (check_version() < 0) return fail_early();
  if (make_empty_constants() < 0) return fail_early();
  if (method_type_ready() < 0) return fail_early();

  s.module = new_ref(module);
  PyObject* ns = PyModule_GetDict(module);
  if (ns == nullptr) return fail_early();
  PyObject* builtins = PyDict_GetItemString(PyImport_GetModuleDict(), "builtins");
  start_runtime(rules::kRuntimeRules, ns, builtins);
  if (builtins == nullptr) {
    PyErr_SetString(PyExc_ImportError, "builtins module not found");
    return fail_at(1);
  }
  if (PyDict_SetItemString(ns, "__builtins__", builtins) < 0) return fail_at(1);
  if (make_name_constants() < 0 || make_method_names() < 0) return fail_at(1);
  // Without a watcher for the namespace (3.12+: none left) its globals are
  // read afresh at every use.
  compat::watch_namespace(ns);
  if (arrange_release_at_exit()) start_remembering();
  {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, k.module_name);
    if (entry == nullptr &&
        (PyErr_Occurred() || PyDict_SetItem(modules, k.module_name, module) < 0))
      return fail_at(1);
  }
  {
    PyObject* value_error = lookup_builtin(k.value_error);
    if (value_error == nullptr) return fail_at(rules::kLineValueErrorCapture);
    Py_XSETREF(s.value_error, value_error);
  }
  if (int line = make_argument_constants()) return fail_at(line);
  if (int line = make_method_constants()) return fail_at(line);
  if (import_and_bind(ns, k.commons) < 0) return fail_at(15);
  if (import_and_bind(ns, k.runner_core) < 0) return fail_at(16);
  if (int line = build_plugin_class(ns)) return fail_at(line);
  {
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(ns, k.test_global, test.get()) < 0) return fail_at(1);
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    ADDONGATE_GIL_SLOT{0, nullptr},
};

PyMethodDef module_functions[] = {{nullptr, nullptr, 0, nullptr}};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "addonGate",
    nullptr,  // no documentation: __doc__ stays None
    0,        // everything lives in the process-wide state
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};
#pragma GCC diagnostic pop

}  // namespace
}  // namespace addongate

extern "C" ADDONGATE_EXPORT PyObject* PyInit_addonGate() {
  return PyModuleDef_Init(&addongate::module_def);
}
