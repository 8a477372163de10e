// Every name and text the module uses, made once at start-up. Names are
// interned and their hashes computed then, so lookups never hash them again.
#pragma once

#include <Python.h>

namespace addongate {

struct Constants {
  // Made first, before the module is recorded.
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyObject* empty_str;

  // Module and class.
  PyObject* module_name;      // "addonGate"
  PyObject* class_name;       // "Plugin"
  PyObject* builtins_module;  // "builtins"
  PyObject* builtins_global;  // "__builtins__"
  PyObject* commons;
  PyObject* runner_core;       // "RunnerCore"
  PyObject* test_global;       // "__test__"
  PyObject* value_error;       // "ValueError"
  PyObject* module_attr;       // "__module__"
  PyObject* qualname_attr;     // "__qualname__"
  PyObject* plugin_name_attr;  // "_Plugin__plugin_name"
  PyObject* is_php_attr;       // "_Plugin__is_php"
  PyObject* dict_attr;         // "__dict__"
  PyObject* obj_dict_attr;     // "_Plugin__obj_dict"

  // Methods: short and qualified names.
  PyObject* init;
  PyObject* get_plugin_list;
  PyObject* exec_fun;
  PyObject* get_fun;
  PyObject* isdef;
  PyObject* dir;
  PyObject* qual_init;
  PyObject* qual_get_plugin_list;
  PyObject* qual_exec_fun;
  PyObject* qual_get_fun;
  PyObject* qual_isdef;
  PyObject* qual_dir;

  // Parameters and locals.
  PyObject* self;
  PyObject* init_plugin_name;
  PyObject* upgrade_force;
  PyObject* force;
  PyObject* get_args;
  PyObject* def_name;
  PyObject* res;

  // What the bodies call and read.
  PyObject* plugin_run;
  PyObject* dict_obj;
  PyObject* plugin_get_object;
  PyObject* corvel_error;  // "CorvelError"
  PyObject* keys;
  PyObject* get;
  PyObject* find;
  PyObject* status;
  PyObject* msg;
  PyObject* s;

  // Import-spec attributes and the module attributes they become.
  PyObject* spec_name;
  PyObject* spec_loader;
  PyObject* spec_origin;
  PyObject* spec_parent;
  PyObject* spec_search_locations;
  PyObject* loader_attr;
  PyObject* file_attr;
  PyObject* package_attr;
  PyObject* path_attr;

  // Texts.
  PyObject* bad_name_text;        // the constructor's ValueError message
  PyObject* load_failure_marker;  // "加载失败"
  PyObject* traceback_marker;     // "Traceback "

  PyObject* int_0;
  PyObject* int_1;
  PyObject* int_minus_1;

  // Argument tuples.
  PyObject* bad_name_args;        // (bad_name_text,)
  PyObject* request_lookup_args;  // ("s", "")
};

extern Constants constants;

// Start-up steps; each returns 0, or -1 with an exception.
int make_empty_constants();
int make_name_constants();

}  // namespace addongate
