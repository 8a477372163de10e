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
  PyObject* module_name;  // "addonGate"
  PyObject* class_name;   // "Plugin"
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

  // Parameters and locals.
  PyObject* self;
  PyObject* init_plugin_name;
  PyObject* upgrade_force;
  PyObject* force;
  PyObject* get_args;
  PyObject* def_name;
  PyObject* res;

  // What the bodies call and read.
  PyObject* get_plugin_list;
  PyObject* get_fun;
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

  // Texts.
  PyObject* bad_name_text;        // the constructor's ValueError message
  PyObject* load_failure_marker;  // "加载失败"
  PyObject* traceback_marker;     // "Traceback "

  PyObject* int_0;
  PyObject* int_1;
  PyObject* int_minus_1;

  // Argument tuples.
  PyObject* bad_name_args;        // (bad_name_text,)
  PyObject* request_lookup_args;  // ("s", ""), made but not read
};

extern Constants constants;

// A name or text as start-up makes it: interned where asked, its hash made.
// New reference, or null with an exception.
PyObject* new_name_constant(const char* text, bool intern);

// Start-up steps; each returns 0, or -1 with an exception.
int make_empty_constants();
int make_name_constants();
// The argument tuples: 0, or the line a failure reports.
int make_argument_constants();

// After the interpreter ended: forgets, without releasing, every constant.
void forget_constants();

}  // namespace addongate
