#include "class/constants.h"

#include "class/build_rules.h"
#include "runtime/ref.h"

namespace addongate {

Constants constants;

namespace {

struct NameEntry {
  PyObject* Constants::*slot;
  const char* text;
  bool intern;
};

const NameEntry kNames[] = {
    {&Constants::module_name, "addonGate", true},
    {&Constants::class_name, "Plugin", true},
    {&Constants::commons, "commons", true},
    {&Constants::runner_core, "RunnerCore", true},
    {&Constants::test_global, "__test__", true},
    {&Constants::value_error, "ValueError", true},
    {&Constants::module_attr, "__module__", true},
    {&Constants::qualname_attr, "__qualname__", true},
    {&Constants::plugin_name_attr, "_Plugin__plugin_name", true},
    {&Constants::is_php_attr, "_Plugin__is_php", true},
    {&Constants::dict_attr, "__dict__", true},
    {&Constants::obj_dict_attr, "_Plugin__obj_dict", true},
    {&Constants::self, "self", true},
    {&Constants::init_plugin_name, "init_plugin_name", true},
    {&Constants::upgrade_force, "upgrade_force", true},
    {&Constants::force, "force", true},
    {&Constants::get_args, "get_args", true},
    {&Constants::def_name, "def_name", true},
    {&Constants::res, "res", true},
    {&Constants::get_plugin_list, "get_plugin_list", true},
    {&Constants::get_fun, "get_fun", true},
    {&Constants::plugin_run, "plugin_run", true},
    {&Constants::dict_obj, "dict_obj", true},
    {&Constants::plugin_get_object, "plugin_get_object", true},
    {&Constants::corvel_error, "CorvelError", true},
    {&Constants::keys, "keys", true},
    {&Constants::get, "get", true},
    {&Constants::find, "find", true},
    {&Constants::status, "status", true},
    {&Constants::msg, "msg", true},
    {&Constants::s, "s", true},
    {&Constants::bad_name_text, "参数错误,plugin_name少需要一个有效参数", false},
    {&Constants::load_failure_marker, "加载失败", false},
    {&Constants::traceback_marker, "Traceback ", false},
};

// A failed start-up is followed by a fresh one that makes every constant
// anew; the earlier ones are no longer used by anything.
void store(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
}

}  // namespace

int make_empty_constants() {
  PyObject* tuple = PyTuple_New(0);
  if (tuple == nullptr) return -1;
  store(&constants.empty_tuple, tuple);
  PyObject* bytes = PyBytes_FromStringAndSize("", 0);
  if (bytes == nullptr) return -1;
  store(&constants.empty_bytes, bytes);
  PyObject* str = PyUnicode_FromStringAndSize("", 0);
  if (str == nullptr) return -1;
  store(&constants.empty_str, str);
  return 0;
}

PyObject* new_name_constant(const char* text, bool intern) {
  Ref value = Ref::steal(intern ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text));
  if (!value || PyObject_Hash(value.get()) == -1) return nullptr;
  return value.release();
}

int make_name_constants() {
  for (const NameEntry& entry : kNames) {
    PyObject* value = new_name_constant(entry.text, entry.intern);
    if (value == nullptr) return -1;
    store(&(constants.*entry.slot), value);
  }
  PyObject* const ints[] = {PyLong_FromLong(0), PyLong_FromLong(1), PyLong_FromLong(-1)};
  PyObject** const int_slots[] = {&constants.int_0, &constants.int_1, &constants.int_minus_1};
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    if (ints[i] == nullptr)
      ok = false;
    else
      store(int_slots[i], ints[i]);
  }
  return ok ? 0 : -1;
}

int make_argument_constants() {
  PyObject* bad_name_args = PyTuple_Pack(1, constants.bad_name_text);
  if (bad_name_args == nullptr) return rules::kLineValueErrorArgs;
  store(&constants.bad_name_args, bad_name_args);
  // Unread (exec_fun passes "s" and "" directly); made as start-up's rules have it.
  PyObject* request_args = PyTuple_Pack(2, constants.s, constants.empty_str);
  if (request_args == nullptr) return rules::kLineRequestLookupArgs;
  store(&constants.request_lookup_args, request_args);
  return 0;
}

void forget_constants() { constants = Constants{}; }

}  // namespace addongate
