// The class `Plugin`: its methods, and what start-up needs to make them.
#pragma once

#include <Python.h>

#include "class/constants.h"
#include "runtime/method_object.h"

namespace addongate {

// One method as start-up builds it.
struct PluginMethod {
  const MethodRecord* record;
  PyObject* Constants::*name;
  PyObject* Constants::*qualname;
  PyObject* Constants::*const* local_names;  // parameters, then further locals
  int local_count;
  int argcount;
  int first_line;
  PyObject* default_value;  // the one default, or null
};

// What start-up makes for each method.
struct MethodConstants {
  PyObject* varnames = nullptr;
  PyObject* code = nullptr;
  PyObject* defaults = nullptr;
};

constexpr int kPluginMethodCount = 6;
extern const PluginMethod plugin_methods[kPluginMethodCount];
extern MethodConstants plugin_method_constants[kPluginMethodCount];

// Lets the freshly made class run `__init__` without the generic slot's
// lookup; the class must hold this module's `__init__`.
void install_plugin_initialiser(PyObject* plugin_class);

// After the interpreter ended: drops, without releasing, the method constants
// and what the bodies remembered of their global reads.
void forget_plugin_state();

}  // namespace addongate
