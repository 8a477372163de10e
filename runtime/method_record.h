// The static description of one method: what its method object shows, how
// a call binds, and the body that runs with the bound values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

namespace addongate {

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
    if (owned_ == 0) return;  // only borrowed values
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

// The positional arguments of a call: those the call brought (a tuple's
// items or a vectorcall's array), after an optional first argument (the new
// object, when the class itself runs the initialiser).
struct Positional {
  PyObject* first;  // or null
  PyObject* const* items;
  Py_ssize_t count;
  static Positional of_tuple(PyObject* first, PyObject* tuple) {
    return {first, &PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple)};
  }
  Py_ssize_t size() const { return (first != nullptr ? 1 : 0) + count; }
  PyObject* at(Py_ssize_t i) const {
    if (first != nullptr) {
      if (i == 0) return first;
      --i;
    }
    return items[i];
  }
};

// A method body, run with the bound values of its parameters, or with a
// call's positional arguments when they are exactly its parameters.
struct Body {
  PyObject* (*run)(const BoundArguments& bound);
  PyObject* (*run_positional)(const Positional& args);
  int param_count;  // `self` included
};

namespace detail {
template <class... Params>
constexpr int param_count(PyObject* (*)(Params...)) {
  return static_cast<int>(sizeof...(Params));
}
template <auto body, std::size_t... i>
PyObject* run_with(const BoundArguments& bound, std::index_sequence<i...>) {
  return body(bound[static_cast<int>(i)]...);
}
template <auto body>
PyObject* run(const BoundArguments& bound) {
  return run_with<body>(bound, std::make_index_sequence<param_count(body)>());
}
template <auto body, std::size_t... i>
PyObject* run_positional_with(const Positional& args, std::index_sequence<i...>) {
  return body(args.at(static_cast<Py_ssize_t>(i))...);
}
template <auto body>
PyObject* run_positional(const Positional& args) {
  return run_positional_with<body>(args, std::make_index_sequence<param_count(body)>());
}
template <auto body>
constexpr Body make_body() {
  static_assert(param_count(body) >= 1 && param_count(body) <= BoundArguments::kMax,
                "a body takes `self` and fits the bound arguments");
  return {run<body>, run_positional<body>, param_count(body)};
}
}  // namespace detail

// The Body of `PyObject* f(PyObject* self, ...)`: its parameters are the
// bound values in order, their count taken from the signature.
template <auto body>
constexpr Body body_of = detail::make_body<body>();

constexpr int kMaxLocals = BoundArguments::kMax + 1;

struct MethodRecord {
  const char* name;      // short name: messages, __name__, the code object's name
  const char* qualname;  // __qualname__
  const char* entry;     // the traceback entry of a failed binding
  int flags;             // METH_VARARGS | METH_KEYWORDS (binds its own), or METH_O
  int def_line;          // the `def` line: the code object's first line, binding failures
  // Addresses of the interned names made at start-up: the parameters, then
  // further locals, for the code object and for keyword matching.
  PyObject* const* locals[kMaxLocals];
  PyObject* optional_default;  // the last parameter's default, or null: all required
  const char* doc;             // UTF-8, or null
  Body body;
};

}  // namespace addongate
