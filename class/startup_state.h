// The process-wide start-up state: one copy per process, written only by
// the module's create and execution steps.
#pragma once

#include <Python.h>

#include <cstdint>

namespace addongate {

struct StartupState {
  // The interpreter that first created the module: its ID (3.8 rules) or,
  // strong, its module table (3.6 rules).
  bool interpreter_recorded = false;
  int64_t interpreter_id = -1;
  PyObject* interpreter_modules = nullptr;

  PyObject* module = nullptr;       // strong; dropped again by a failed execution
  PyObject* value_error = nullptr;  // `ValueError` as builtins held it at start-up
};

extern StartupState startup_state;

}  // namespace addongate
