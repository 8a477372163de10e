// Traceback entries: failures leave the module the way interpreted code
// would, with a frame naming the method and the source line.
#pragma once

#include <Python.h>

namespace addongate {

// Adds one entry `name` at `line` of the runtime's source file to the
// pending exception's traceback, its frame on the module namespace. Called
// with an exception pending; it stays pending (or is replaced by the
// interpreter's memory error when no entry can be made). `name` must outlive
// the process's use of the module: the per-line cache keeps the pointer.
void add_traceback_entry(const char* name, int line);

// Forgets the cached code objects once their interpreter has ended.
void forget_traceback_entries();

}  // namespace addongate
