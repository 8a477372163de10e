// The class `Plugin`: its methods, and the start-up steps that make them.
#pragma once

#include <Python.h>

namespace addongate {

// Start-up steps, in this order.
// The methods' short names (interned) and qualified names: 0, or -1 with an
// exception.
int make_method_names();
// Each method's code object and, where it has one, its defaults tuple: 0, or
// the source line the failure reports, with an exception.
int make_method_constants();
// The class, bound in the module namespace `ns`: 0, or the source line the
// failure reports, with an exception.
int build_plugin_class(PyObject* ns);

// At the interpreter's exit, while it lives: releases what the bodies
// remembered of their global reads.
void release_plugin_reads();

// After the interpreter ended: drops, without releasing, what the methods
// were made of and what the bodies remembered of their global reads.
void forget_plugin_state();

}  // namespace addongate
