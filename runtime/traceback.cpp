#include "runtime/traceback.h"

#include <cstring>

#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/line_cache.h"
#include "runtime/ref.h"

namespace addongate {

namespace {

// One code object per reported line, shared by all threads for the life of
// the process. A hit must also match the entry name, so a line reported by
// two different functions never shows the other one's name.
LineCache<PyObject*> code_cache;

}  // namespace

void forget_traceback_entries() { code_cache.forget(); }

void add_traceback_entry(const char* name, int line) {
  const RuntimeContext& context = runtime_context();
  Ref code;
  const LineCache<PyObject*>::Entry* hit = code_cache.find(line);
  if (hit != nullptr && std::strcmp(hit->name, name) == 0) {
    code = Ref::borrow(hit->code);
  } else {
    compat::PendingException pending;
    code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(context.rules.source_file, name, line)));
    if (!code) return;  // its error replaces the set-aside one
    pending.restore();
    // A name mismatch on a cached line: this code object serves this entry alone.
    if (hit == nullptr && code_cache.insert(line, code.get(), name)) Py_INCREF(code.get());
  }

  // The frame cannot be made while an exception is pending (3.8+ checks).
  compat::PendingException pending;
  PyFrameObject* frame =
      compat::new_frame(reinterpret_cast<PyCodeObject*>(code.get()), context.globals);
  if (frame == nullptr) {
    pending.restore();  // no entry; the original failure stands
    return;
  }
  compat::set_frame_line(frame, line);
  pending.restore();
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace addongate
