// Owned references.
//
// Ref holds one strong reference and drops it when it goes out of scope, so
// an early `return nullptr` on a failure path releases everything a function
// had made so far.
#pragma once

#include <Python.h>

namespace addongate {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this == &other) return *this;
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);  // last: the old value's release may run arbitrary code
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (or null, for a failed call).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Takes a reference of its own to a borrowed object.
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  // Gives the reference away to the caller.
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference to `p`, for returning a borrowed object.
inline PyObject* new_ref(PyObject* p) {
  Py_INCREF(p);
  return p;
}

}  // namespace addongate
