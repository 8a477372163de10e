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

// The values bound to a method's parameters. Positional values stay borrowed
// from the call's tuple, which the caller keeps alive; a keyword value gets a
// reference of its own, since a later lookup in the keyword dict can run a
// key's __eq__, which may empty it.
class BoundArguments {
 public:
  static constexpr int kMax = 3;
  BoundArguments() = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    for (int i = 0; i < kMax; ++i)
      if (owned_ & (1u << i)) Py_DECREF(values_[i]);
  }
  void borrow(int i, PyObject* value) {
    release(i);
    values_[i] = value;
  }
  void own(int i, PyObject* value) {
    Py_INCREF(value);
    release(i);
    values_[i] = value;
    owned_ |= 1u << i;
  }
  PyObject* operator[](int i) const { return values_[i]; }

 private:
  void release(int i) {
    if (owned_ & (1u << i)) {
      owned_ &= ~(1u << i);
      Py_DECREF(values_[i]);
    }
  }
  PyObject* values_[kMax] = {nullptr, nullptr, nullptr};
  unsigned owned_ = 0;
};

// The positional arguments of a call: the tuple the call brought, after an
// optional first argument (the new object, when the class itself runs the
// initialiser).
struct Positional {
  PyObject* first;  // or null
  PyObject* tuple;
  Py_ssize_t size() const { return (first != nullptr ? 1 : 0) + PyTuple_GET_SIZE(tuple); }
  PyObject* at(Py_ssize_t i) const {
    if (first != nullptr) {
      if (i == 0) return first;
      --i;
    }
    return PyTuple_GET_ITEM(tuple, i);
  }
};

// Binds `args`/`kwargs` into `out`. On failure: TypeError (or the lookup's
// own error) with one traceback entry at the def line, and false. Allocates
// nothing.
bool bind_arguments(const BindingSpec& spec, const Positional& args, PyObject* kwargs,
                    BoundArguments& out);

}  // namespace addongate
