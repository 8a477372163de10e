// The methods of `Plugin`.
//
// Each body is written as the statements of the method, in order; a failing
// statement adds its traceback entry at its own source line. The same
// Python runs as tests/model.py, against which the module is fuzzed; there
// lookup_global reads a module global (the namespace, then builtins),
// raise_object and get_item are the raise and item read of runtime/ops.h,
// VALUE_ERROR is `ValueError` as start-up found it, and calls bind by the
// rules of runtime/binding.cpp:
//
//   class Plugin(object):                                                 # 18
//       __plugin_name = None                                              # 19
//       __is_php = False                                                  # 20
//       __dict__ = None                                                   # 21
//       __obj_dict = {}                                                   # 22
//
//       def __init__(self, init_plugin_name=None):                        # 25
//           if init_plugin_name is not False and not init_plugin_name:    # 33
//               raise_object(VALUE_ERROR("参数错误,plugin_name少需要一个有效参数"))  # 34
//           self.__plugin_name = init_plugin_name                         # 35
//
//       def get_plugin_list(self, upgrade_force=False):                   # 37
//           force = 1 if upgrade_force else 0                             # 44
//           return lookup_global("RunnerCore").get_plugin_list(force)     # 45
//
//       def exec_fun(self, get_args, def_name=None):                      # 48
//           if not def_name:                                              # 56
//               def_name = get_args.get("s", "")                          # 57
//           run = lookup_global("RunnerCore").plugin_run                  # 59
//           res = run(self.__plugin_name, def_name, get_args)             # 59
//           if not (issubclass(type(res), dict) and "status" in res       # 61
//                   and res["status"] == False and "msg" in res):         # 61
//               return res
//           if res["msg"].find("加载失败") != -1 or res["msg"].find("Traceback ") == 0:  # 63
//               raise_object(lookup_global("commons").CorvelError(res["msg"]))  # 64
//           return res
//
//       def get_fun(self, def_name):                                      # 68
//           keys = self.__obj_dict.keys()                                 # 75
//           key = (self.__plugin_name, def_name)                          # 75
//           if key in keys:                                               # 75
//               return get_item(self.__obj_dict, key)                     # 76
//           get_args = lookup_global("commons").dict_obj()                # 77
//           get_args.plugin_get_object = 1                                # 78
//           run = lookup_global("RunnerCore").plugin_run                  # 80
//           return run(self.__plugin_name, def_name, get_args)            # 80
//
//       def isdef(self, def_name):                                        # 83
//           if self.__is_php:                                             # 90
//               return True
//           value = self.get_fun(def_name)                                # 91
//           cache = self.__obj_dict                                       # 91
//           key = (self.__plugin_name, def_name)                          # 91
//           cache[key] = value                                            # 91
//           return True if get_item(self.__obj_dict, key) else False      # 92
//
//       def __dir__(self):                                                # 94
//           return ""
//
// The object cache is keyed by plugin and method name together, so that one
// plugin's method is never handed out for another plugin.
#include "class/plugin.h"

#include <array>

#include "class/build_rules.h"
#include "class/constants.h"
#include "class/startup_state.h"
#include "runtime/binding.h"
#include "runtime/compat.h"
#include "runtime/method_object.h"
#include "runtime/ops.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace addongate {

namespace {

const char kInitEntry[] = "addonGate.Plugin.__init__";
const char kGetPluginListEntry[] = "addonGate.Plugin.get_plugin_list";
const char kExecFunEntry[] = "addonGate.Plugin.exec_fun";
const char kGetFunEntry[] = "addonGate.Plugin.get_fun";
const char kIsdefEntry[] = "addonGate.Plugin.isdef";

// Adds the entry for a failed statement; the method then returns failure.
PyObject* fail(const char* entry, int line) {
  add_traceback_entry(entry, line);
  return nullptr;
}

const Constants& k = constants;

// What each place that reads a global, and an attribute of it, remembers of
// its last lookup.
struct GlobalRead {
  GlobalSlot global;
  ModuleAttributeSlot attribute;
};
struct GlobalReads {
  GlobalRead runner_at_45;
  GlobalRead runner_at_59;
  GlobalRead commons_at_64;
  GlobalRead commons_at_77;
  GlobalRead runner_at_80;
  std::array<GlobalRead*, 5> all() {
    return {&runner_at_45, &runner_at_59, &commons_at_64, &commons_at_77, &runner_at_80};
  }
};
GlobalReads global_reads;

// `<global name>.<attr>` at the reading place `read`.
PyObject* read_global_attribute(PyObject* name, PyObject* attr, GlobalRead* read) {
  return lookup_global_attribute(name, &read->global, attr, &read->attribute);
}

// `RunnerCore.plugin_run(self.__plugin_name, def_name, get_args)`, the
// global read at `read_at`; the caller reports a failure at its line.
PyObject* run_plugin(GlobalRead* read_at, PyObject* self, PyObject* def_name, PyObject* get_args) {
  Ref plugin_run = Ref::steal(read_global_attribute(k.runner_core, k.plugin_run, read_at));
  if (!plugin_run) return nullptr;
  Ref plugin_name = Ref::steal(get_attribute(self, k.plugin_name_attr));
  if (!plugin_name) return nullptr;
  PyObject* call[] = {plugin_name.get(), def_name, get_args};
  return call_vector(plugin_run.get(), call, 3);
}

// ---- __init__ ---------------------------------------------------------------

PyObject* init_body(PyObject* self, PyObject* init_plugin_name) {
  if (init_plugin_name != Py_False) {
    int truth = is_true(init_plugin_name);
    if (truth < 0) return fail(kInitEntry, 33);
    if (!truth) {
      Ref error = Ref::steal(call_object(startup_state.value_error, k.bad_name_args));
      if (error) raise_object(error.get());
      return fail(kInitEntry, 34);
    }
  }
  if (set_attribute(self, k.plugin_name_attr, init_plugin_name) < 0) return fail(kInitEntry, 35);
  Py_RETURN_NONE;
}

// ---- get_plugin_list ----------------------------------------------------------

PyObject* get_plugin_list_body(PyObject* /*self*/, PyObject* upgrade_force) {
  int truth = is_true(upgrade_force);
  if (truth < 0) return fail(kGetPluginListEntry, 44);
  PyObject* force = truth ? k.int_1 : k.int_0;

  Ref get_plugin_list = Ref::steal(
      read_global_attribute(k.runner_core, k.get_plugin_list, &global_reads.runner_at_45));
  if (!get_plugin_list) return fail(kGetPluginListEntry, 45);
  PyObject* result = call_vector(get_plugin_list.get(), &force, 1);
  if (result == nullptr) return fail(kGetPluginListEntry, 45);
  return result;
}

// ---- exec_fun -------------------------------------------------------------------

// `res[key]`: an exact dict through dict_get_item, a subclass through its own
// item access.
PyObject* reply_item(PyObject* res, PyObject* key) {
  return PyDict_CheckExact(res) ? dict_get_item(res, key) : PyObject_GetItem(res, key);
}

// `key in res`; an exact dict needs no protocol dispatch.
int reply_contains(PyObject* res, PyObject* key) {
  return PyDict_CheckExact(res) ? PyDict_Contains(res, key) : PySequence_Contains(res, key);
}

// `res["msg"].find(marker) == expected` (op Py_EQ) or `!= expected` (Py_NE):
// 1, 0, or -1 with an exception. An exact str's `find` cannot be replaced, so
// it is computed in place without the method call and the integer objects.
int msg_find_compares(PyObject* res, PyObject* marker, int op, long expected) {
  Ref msg = Ref::steal(reply_item(res, k.msg));
  if (!msg) return -1;
  if (PyUnicode_CheckExact(msg.get())) {
    Py_ssize_t position = PyUnicode_Find(msg.get(), marker, 0, PY_SSIZE_T_MAX, 1);
    if (position == -2) return -1;
    return (position == expected) == (op == Py_EQ);
  }
  PyObject* call[] = {msg.get(), marker};
  Ref position = Ref::steal(call_method(k.find, call, 2));
  if (!position) return -1;
  Ref compared =
      Ref::steal(PyObject_RichCompare(position.get(), expected == 0 ? k.int_0 : k.int_minus_1, op));
  if (!compared) return -1;
  return PyObject_IsTrue(compared.get());
}

// Line 61: a dict reply with "status" equal to False and a "msg".
int is_failure_reply(PyObject* res) {
  int has = reply_contains(res, k.status);
  if (has <= 0) return has;
  Ref status = Ref::steal(reply_item(res, k.status));
  if (!status) return -1;
  if (PyBool_Check(status.get())) {
    if (status.get() != Py_False) return 0;  // True == False is false, without asking
  } else {
    Ref equal = Ref::steal(PyObject_RichCompare(status.get(), Py_False, Py_EQ));
    if (!equal) return -1;
    int truth = PyObject_IsTrue(equal.get());
    if (truth <= 0) return truth;
  }
  return reply_contains(res, k.msg);
}

PyObject* exec_fun_body(PyObject* self, PyObject* get_args, PyObject* def_name) {
  int truth = is_true(def_name);
  if (truth < 0) return fail(kExecFunEntry, 56);
  Ref requested;
  if (!truth) {
    PyObject* call[] = {get_args, k.s, k.empty_str};
    requested = Ref::steal(call_method(k.get, call, 3));
    if (!requested) return fail(kExecFunEntry, 57);
    def_name = requested.get();
  }

  Ref res = Ref::steal(run_plugin(&global_reads.runner_at_59, self, def_name, get_args));
  if (!res) return fail(kExecFunEntry, 59);

  if (!PyDict_Check(res.get())) return res.release();
  int failure = is_failure_reply(res.get());
  if (failure < 0) return fail(kExecFunEntry, 61);
  if (!failure) return res.release();

  int marked = msg_find_compares(res.get(), k.load_failure_marker, Py_NE, -1);
  if (marked == 0) marked = msg_find_compares(res.get(), k.traceback_marker, Py_EQ, 0);
  if (marked < 0) return fail(kExecFunEntry, 63);
  if (!marked) return res.release();

  Ref error_type =
      Ref::steal(read_global_attribute(k.commons, k.corvel_error, &global_reads.commons_at_64));
  if (!error_type) return fail(kExecFunEntry, 64);
  Ref msg = Ref::steal(reply_item(res.get(), k.msg));
  if (!msg) return fail(kExecFunEntry, 64);
  PyObject* call[] = {msg.get()};
  Ref error = Ref::steal(call_vector(error_type.get(), call, 1));
  if (error) raise_object(error.get());
  return fail(kExecFunEntry, 64);
}

// ---- get_fun ----------------------------------------------------------------------

// `(self.__plugin_name, def_name)`, the object cache's key.
PyObject* cache_key(PyObject* self, PyObject* def_name) {
  Ref plugin_name = Ref::steal(get_attribute(self, k.plugin_name_attr));
  if (!plugin_name) return nullptr;
  return PyTuple_Pack(2, plugin_name.get(), def_name);
}

// Line 75: 1 when the cache holds `key`, 0 when not, -1 on error.
int cache_has(PyObject* self, PyObject* def_name, Ref* key) {
  Ref cache = Ref::steal(get_attribute(self, k.obj_dict_attr));
  if (!cache) return -1;
  // An exact dict's keys() view answers `in` by a lookup in the dict itself.
  if (PyDict_CheckExact(cache.get())) {
    *key = Ref::steal(cache_key(self, def_name));
    if (!*key) return -1;
    return PyDict_Contains(cache.get(), key->get());
  }
  PyObject* call[] = {cache.get()};
  Ref keys = Ref::steal(call_method(k.keys, call, 1));
  if (!keys) return -1;
  *key = Ref::steal(cache_key(self, def_name));
  if (!*key) return -1;
  return PySequence_Contains(keys.get(), key->get());
}

PyObject* get_fun_body(PyObject* self, PyObject* def_name) {
  Ref key;
  int cached = cache_has(self, def_name, &key);
  if (cached < 0) return fail(kGetFunEntry, 75);
  if (cached) {
    Ref cache = Ref::steal(get_attribute(self, k.obj_dict_attr));
    PyObject* value = cache ? get_item(cache.get(), key.get()) : nullptr;
    if (value == nullptr) return fail(kGetFunEntry, 76);
    return value;
  }

  Ref get_args;
  {
    Ref dict_obj =
        Ref::steal(read_global_attribute(k.commons, k.dict_obj, &global_reads.commons_at_77));
    if (!dict_obj) return fail(kGetFunEntry, 77);
    get_args = Ref::steal(call_vector(dict_obj.get(), nullptr, 0));
    if (!get_args) return fail(kGetFunEntry, 77);
  }
  if (set_attribute(get_args.get(), k.plugin_get_object, k.int_1) < 0)
    return fail(kGetFunEntry, 78);

  PyObject* result = run_plugin(&global_reads.runner_at_80, self, def_name, get_args.get());
  if (result == nullptr) return fail(kGetFunEntry, 80);
  return result;
}

// ---- isdef ------------------------------------------------------------------------

PyObject* isdef_body(PyObject* self, PyObject* def_name) {
  {
    Ref is_php = Ref::steal(get_attribute(self, k.is_php_attr));
    int truth = is_php ? is_true(is_php.get()) : -1;
    if (truth < 0) return fail(kIsdefEntry, 90);
    if (truth) Py_RETURN_TRUE;
  }

  Ref key;
  {
    PyObject* call[] = {self, def_name};
    Ref value = Ref::steal(call_method(k.get_fun, call, 2));
    if (!value) return fail(kIsdefEntry, 91);
    Ref cache = Ref::steal(get_attribute(self, k.obj_dict_attr));
    if (!cache) return fail(kIsdefEntry, 91);
    key = Ref::steal(cache_key(self, def_name));
    if (!key || PyObject_SetItem(cache.get(), key.get(), value.get()) < 0)
      return fail(kIsdefEntry, 91);
  }

  Ref cache = Ref::steal(get_attribute(self, k.obj_dict_attr));
  if (!cache) return fail(kIsdefEntry, 92);
  Ref value = Ref::steal(get_item(cache.get(), key.get()));
  if (!value) return fail(kIsdefEntry, 92);
  int truth = is_true(value.get());
  if (truth < 0) return fail(kIsdefEntry, 92);
  return new_ref(truth ? Py_True : Py_False);
}

// ---- __dir__ ------------------------------------------------------------------------

PyObject* dir_body(PyObject* /*self*/) { return new_ref(k.empty_str); }

// ---- the method table ----------------------------------------------------------------

// Each documentation text: a line break, each line indented by 12 blanks and
// ended by a line break, then 8 blanks.
#define DOC_LINE(text) "            " text "\n"
#define DOC_END "        "

const char kInitDoc[] = "\n"                              //
    DOC_LINE("@name 实例化插件对像")                      //
    DOC_LINE("@author kvarn<2021-06-15>")                 //
    DOC_LINE("@param init_plugin_name<string> 插件名称")  //
    DOC_LINE("@return Plguin<object>") DOC_END;
const char kGetPluginListDoc[] = "\n"                            //
    DOC_LINE("@name 获取插件列表")                               //
    DOC_LINE("@author kvarn<2021-06-15>")                        //
    DOC_LINE("@param upgrade_force<bool> 是否强制重新获取列表")  //
    DOC_LINE("@return dict") DOC_END;
const char kExecFunDoc[] = "\n"                             //
    DOC_LINE("@name 执行指定方法")                          //
    DOC_LINE("@author kvarn<2021-06-16>")                   //
    DOC_LINE("@param def_name<string> 方法名称")            //
    DOC_LINE("@param get_args<dict_obj> POST/GET参数对像")  //
    DOC_LINE("@return mixed") DOC_END;
const char kGetFunDoc[] = "\n"                    //
    DOC_LINE("@name 获取函对像")                  //
    DOC_LINE("@author kvarn<2021-06-28>")         //
    DOC_LINE("@param def_name<string> 函数名称")  //
    DOC_LINE("@return func_object") DOC_END;
const char kIsdefDoc[] = "\n"                     //
    DOC_LINE("@name 指定方法是否存在")            //
    DOC_LINE("@author kvarn<2021-06-16>")         //
    DOC_LINE("@param def_name<string> 方法名称")  //
    DOC_LINE("@return bool") DOC_END;

#undef DOC_LINE
#undef DOC_END

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// One row per method: names, calling convention, `def` line, parameters and
// then further locals, the last parameter's default, documentation, body.
// Binding, the method objects and their code objects are made from it.
// clang-format off
const MethodRecord kMethods[] = {
    {"__init__", "Plugin.__init__", kInitEntry, kKeywords, 25,
     {&k.self, &k.init_plugin_name}, Py_None, kInitDoc, body_of<init_body>},
    {"get_plugin_list", "Plugin.get_plugin_list", kGetPluginListEntry, kKeywords, 37,
     {&k.self, &k.upgrade_force, &k.force}, Py_False, kGetPluginListDoc,
     body_of<get_plugin_list_body>},
    {"exec_fun", "Plugin.exec_fun", kExecFunEntry, kKeywords, 48,
     {&k.self, &k.get_args, &k.def_name, &k.res}, Py_None, kExecFunDoc, body_of<exec_fun_body>},
    {"get_fun", "Plugin.get_fun", kGetFunEntry, kKeywords, 68,
     {&k.self, &k.def_name, &k.get_args}, nullptr, kGetFunDoc, body_of<get_fun_body>},
    {"isdef", "Plugin.isdef", kIsdefEntry, kKeywords, 83,
     {&k.self, &k.def_name}, nullptr, kIsdefDoc, body_of<isdef_body>},
    {"__dir__", "Plugin.__dir__", nullptr, METH_O, 94,
     {&k.self}, nullptr, nullptr, body_of<dir_body>},
};
// clang-format on
constexpr int kMethodCount = sizeof kMethods / sizeof kMethods[0];
const MethodRecord& kInitMethod = kMethods[0];  // the class's initialiser slot runs it

// What start-up makes from each row.
struct MethodConstants {
  PyObject* name = nullptr;  // interned: the key in the class namespace
  PyObject* qualname = nullptr;
  PyObject* code = nullptr;
  PyObject* defaults = nullptr;
};
MethodConstants method_constants[kMethodCount];

// `(self, ...)`: the parameters, then the further locals.
PyObject* local_names(const MethodRecord& m) {
  int count = 0;
  while (count < kMaxLocals && m.locals[count] != nullptr) ++count;
  PyObject* names = PyTuple_New(count);
  if (names == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(names, i, new_ref(*m.locals[i]));
  return names;
}

// The class's own initialiser slot: what calling `Plugin.__init__` with the
// new object in front does, without looking the method up and building a
// second argument tuple. The class only keeps this slot while `__init__` is
// this method: assigning `Plugin.__init__` makes the interpreter put its
// generic slot back, and subclasses get the generic one.
int plugin_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref result = Ref::steal(call_with_binding(kInitMethod, Positional::of_tuple(self, args), kwargs));
  return result ? 0 : -1;
}

// `Plugin(...)` itself, from 3.9: what calling the class through its
// metatype does (the object from the inherited `__new__`, then this
// initialiser), without the argument tuple. `object.__new__` reads nothing
// of the arguments while `__init__` is not its own, so it is given none. A
// class whose `__new__` or `__init__` was replaced, or a subclass, takes the
// metatype's slot as before.
PyObject* plugin_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != plugin_tp_init ||
      Py_TYPE(cls) != &PyType_Type)
    return call_through_slot(cls, args, nargsf, kwnames);
  compat::RecursionGuard guard;
  if (!guard.enter()) return nullptr;
  Ref self = Ref::steal(type->tp_new(type, k.empty_tuple, nullptr));
  if (self) {
    const Positional positional{self.get(), args, compat::vectorcall_nargs(nargsf)};
    Ref result = Ref::steal(vectorcall_with_binding(kInitMethod, positional, kwnames));
    if (!result) self = Ref();
  }
  guard.leave();
  return self.release();
}

}  // namespace

int make_method_names() {
  for (int i = 0; i < kMethodCount; ++i) {
    MethodConstants& made = method_constants[i];
    PyObject* name = new_name_constant(kMethods[i].name, true);
    if (name == nullptr) return -1;
    Py_XSETREF(made.name, name);
    PyObject* qualname = new_name_constant(kMethods[i].qualname, false);
    if (qualname == nullptr) return -1;
    Py_XSETREF(made.qualname, qualname);
  }
  return 0;
}

int make_method_constants() {
  for (int i = 0; i < kMethodCount; ++i) {
    const MethodRecord& m = kMethods[i];
    MethodConstants& made = method_constants[i];
    const int line = rules::method_constant_line(m.def_line);
    Ref varnames = Ref::steal(local_names(m));
    if (!varnames) return line;
    Ref code = Ref::steal(compat::new_method_code(rules::kSourceFile, m.name, m.def_line,
                                                  m.body.param_count, varnames.get(), k.empty_bytes,
                                                  k.empty_tuple));
    if (!code) return line;
    Ref defaults;
    if (m.optional_default != nullptr) {
      defaults = Ref::steal(PyTuple_Pack(1, m.optional_default));
      if (!defaults) return line;
    }
    Py_XSETREF(made.code, code.release());
    Py_XSETREF(made.defaults, defaults.release());
  }
  return 0;
}

int build_plugin_class(PyObject* ns) {
  Ref class_ns = Ref::steal(PyDict_New());
  if (!class_ns || PyDict_SetItem(class_ns.get(), k.module_attr, k.module_name) < 0 ||
      PyDict_SetItem(class_ns.get(), k.qualname_attr, k.class_name) < 0)
    return 18;
  if (PyDict_SetItem(class_ns.get(), k.plugin_name_attr, Py_None) < 0) return 19;
  if (PyDict_SetItem(class_ns.get(), k.is_php_attr, Py_False) < 0) return 20;
  // With `__dict__` already in the namespace, the class keeps None there and
  // `obj.__dict__` (and vars(obj)) read None.
  if (PyDict_SetItem(class_ns.get(), k.dict_attr, Py_None) < 0) return 21;
  {
    Ref cache = Ref::steal(PyDict_New());
    if (!cache || PyDict_SetItem(class_ns.get(), k.obj_dict_attr, cache.get()) < 0) return 22;
  }
  for (int i = 0; i < kMethodCount; ++i) {
    const MethodRecord& m = kMethods[i];
    const MethodConstants& made = method_constants[i];
    Ref method = Ref::steal(method_object_new(&m, made.qualname, k.module_name, ns, made.code));
    if (!method) return m.def_line;
    if (made.defaults != nullptr) method_object_set_defaults(method.get(), made.defaults);
    if (PyDict_SetItem(class_ns.get(), made.name, method.get()) < 0) return m.def_line;
  }
  PyObject* call[] = {k.class_name, k.empty_tuple, class_ns.get()};
  Ref cls = Ref::steal(compat::vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), call, 3));
  if (!cls) return 18;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
  type->tp_init = plugin_tp_init;
  compat::set_class_vectorcall(type, plugin_vectorcall);
  if (PyDict_SetItem(ns, k.class_name, cls.get()) < 0) return 18;
  return 0;
}

void release_plugin_reads() {
  for (GlobalRead* read : global_reads.all()) {
    read->attribute.release();
    read->global.release();
  }
}

void forget_plugin_state() {
  for (GlobalRead* read : global_reads.all()) {
    read->attribute.forget();
    read->global.forget();
  }
  for (MethodConstants& made : method_constants) made = MethodConstants{};
}

}  // namespace addongate
