// The process-wide start-up state: one copy per process, written only by
// the module's create and execution steps.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat.h"

namespace addongate {

struct StartupState {
  // The interpreter that first created the module: its ID (3.8 rules, -1
  // under the 3.6 ones) and its mark (runtime/compat.h).
  bool interpreter_recorded = false;
  int64_t interpreter_id = -1;
  compat::InterpreterMark interpreter_mark;

  PyObject* module = nullptr;       // strong; dropped again by a failed execution
  PyObject* value_error = nullptr;  // `ValueError` as builtins held it at start-up
  bool release_arranged = false;    // the release of remembered reads at exit
};

extern StartupState startup_state;

}  // namespace addongate
