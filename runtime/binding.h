// Argument binding for methods that take a positional tuple and a keyword
// dict: the interpreter's rules and wording, with every count including
// `self`.
#pragma once

#include <Python.h>

namespace addongate {

// What one method's entry point binds. The last parameter is optional when
// `optional_default` is set; all others are required. Names are interned
// strings made at start-up (their hashes computed then).
struct BindingSpec {
  const char* name;               // short name, for messages
  int count;                      // parameters, `self` included (at most 3)
  PyObject* const* const* names;  // address of each name's constant
  PyObject* optional_default;     // fixed here, never read from __defaults__
  const char* entry_name;         // traceback entry of a failed binding
  int def_line;                   // the line of the method's `def`
  const char* file;               // the build's source file name
};

// Binds `args`/`kwargs` into `out` (borrowed references, `count` slots).
// On failure: TypeError (or the lookup's own error) with one traceback entry
// at the def line, and false. Allocates nothing when it succeeds.
bool bind_arguments(const BindingSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace addongate
