#include "runtime/binding.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "runtime/compat.h"
#include "runtime/ops.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace addongate {

namespace {

// An ASCII message assembled in place. It copies with memmove, not memcpy,
// to need no glibc newer than 2.2.5 on x86-64 (see CMakeLists.txt).
class MessageBuffer {
 public:
  void append(const char* text, std::size_t limit = sizeof(buffer_)) {
    std::size_t n = strnlen(text, std::min(limit, sizeof(buffer_) - length_));
    std::memmove(buffer_ + length_, text, n);
    length_ += n;
  }
  // Counts are never negative.
  void append_number(Py_ssize_t n) {
    char digits[24];
    std::size_t count = 0;
    std::size_t magnitude = static_cast<std::size_t>(n);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0 && length_ < sizeof(buffer_)) buffer_[length_++] = digits[--count];
  }
  // The text is ASCII, so it is copied in without decoding.
  PyObject* to_str() const {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length_), 127);
    if (str != nullptr) std::memmove(PyUnicode_1BYTE_DATA(str), buffer_, length_);
    return str;
  }

 private:
  char buffer_[320];
  std::size_t length_ = 0;
};

int param_count(const MethodRecord& method) { return method.body.param_count; }

int required_count(const MethodRecord& method) {
  return method.optional_default != nullptr ? param_count(method) - 1 : param_count(method);
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void positional_count_error(const MethodRecord& method, Py_ssize_t given) {
  const int required = required_count(method);
  const char* word;
  Py_ssize_t count;
  if (method.optional_default == nullptr) {
    word = "exactly";
    count = required;
  } else if (given < required) {
    word = "at least";
    count = required;
  } else {
    word = "at most";
    count = param_count(method);
  }
  // Written out here rather than by PyErr_Format, whose general formatter
  // costs more than the rest of a failed call together.
  MessageBuffer text;
  text.append(method.name, 200);
  text.append("() takes ");
  text.append(word);
  text.append(" ");
  text.append_number(count);
  text.append(count == 1 ? " positional argument (" : " positional arguments (");
  text.append_number(given);
  text.append(" given)");
  PyObject* message = text.to_str();
  if (message == nullptr) return;
  PyErr_SetObject(PyExc_TypeError, message);
  Py_DECREF(message);
}

PyObject* param_name(const MethodRecord& method, int i) { return *method.locals[i]; }

// Index of the parameter in [from, to) whose name has the text of `key`, or
// -1; -2 when comparing raised. Lengths are compared before texts.
int find_by_text(const MethodRecord& method, PyObject* key, int from, int to) {
  const Py_ssize_t key_length = PyUnicode_GetLength(key);
  if (key_length < 0) return -2;
  for (int i = from; i < to; ++i) {
    PyObject* name = param_name(method, i);
    if (PyUnicode_GET_LENGTH(name) != key_length) continue;
    int cmp = PyUnicode_Compare(key, name);
    if (cmp == 0) return i;
    if (cmp == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

// The keywords of an ordinary call: a dict. A lookup in it can run a key's
// __eq__, which may change the dict, so bound values get references.
class DictKeywords {
 public:
  explicit DictKeywords(PyObject* dict) : dict_(dict) {}
  static constexpr bool kHoldValues = true;
  Py_ssize_t size() const { return compat::dict_size(dict_); }
  // The value under `name`, borrowed; null when absent or (error set) when
  // the lookup raised.
  PyObject* find(PyObject* name) const { return PyDict_GetItemWithError(dict_, name); }
  template <class F>
  bool each(F&& f) const {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict_, &pos, &key, &value))
      if (!f(key, value)) return false;
    return true;
  }

 private:
  PyObject* dict_;
};

// The keywords of a vectorcall whose names are all exact strings. Their
// equality is their text, so the search below finds what a dict lookup
// would, and runs no code of the caller's; the caller keeps the values alive.
class ExactNameKeywords {
 public:
  ExactNameKeywords(PyObject* names, PyObject* const* values) : names_(names), values_(values) {}
  static constexpr bool kHoldValues = false;
  Py_ssize_t size() const { return PyTuple_GET_SIZE(names_); }
  PyObject* find(PyObject* name) const {
    const Py_ssize_t n = size();
    for (Py_ssize_t i = 0; i < n; ++i)
      if (PyTuple_GET_ITEM(names_, i) == name) return values_[i];
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* key = PyTuple_GET_ITEM(names_, i);
      if (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
          PyUnicode_Compare(key, name) == 0)
        return values_[i];
    }
    return nullptr;
  }
  template <class F>
  bool each(F&& f) const {
    const Py_ssize_t n = size();
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!f(PyTuple_GET_ITEM(names_, i), values_[i])) return false;
    return true;
  }

 private:
  PyObject* names_;
  PyObject* const* values_;
};

template <class Keywords>
void place(BoundArguments& out, int i, PyObject* value) {
  if (Keywords::kHoldValues)
    out.own(i, value);
  else
    out.borrow(i, value);
}

// Places every keyword on a parameter not filled by position.
template <class Keywords>
bool match_keywords(const MethodRecord& method, const Keywords& keywords, Py_ssize_t filled,
                    BoundArguments& out) {
  const int first_free = static_cast<int>(filled);
  return keywords.each([&](PyObject* key, PyObject* value) {
    int found = -1;
    for (int i = first_free; i < param_count(method); ++i) {
      if (key == param_name(method, i)) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method.name);
        return false;
      }
      found = find_by_text(method, key, first_free, param_count(method));
      if (found == -2) return false;
      if (found < 0) {
        int taken = find_by_text(method, key, 0, first_free);
        if (taken == -2) return false;
        if (taken >= 0)
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                       method.name, key);
        else
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method.name,
                       key);
        return false;
      }
    }
    place<Keywords>(out, found, value);
    return true;
  });
}

// A call without keywords: the body runs with the positional arguments,
// and the last parameter's default where only it is missing.
PyObject* call_positional(const MethodRecord& method, const Positional& args) {
  const Py_ssize_t given = args.size();
  const int params = param_count(method);
  if (given == params) return method.body.run_positional(args);
  // Only the last parameter has a default.
  if (method.optional_default != nullptr && given == params - 1) {
    PyObject* values[BoundArguments::kMax];
    for (Py_ssize_t i = 0; i < given; ++i) values[i] = args.at(i);
    values[given] = method.optional_default;
    return method.body.run_positional(Positional{nullptr, values, params});
  }
  positional_count_error(method, given);
  add_traceback_entry(method.entry, method.def_line);
  return nullptr;
}

template <class Keywords>
bool bind(const MethodRecord& method, const Positional& args, const Keywords& keywords,
          BoundArguments& out) {
  const Py_ssize_t given = args.size();
  const int required = required_count(method);
  if (method.optional_default != nullptr) out.borrow(required, method.optional_default);
  if (given > param_count(method)) {
    positional_count_error(method, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out.borrow(static_cast<int>(i), args.at(i));
  Py_ssize_t unclaimed = keywords.size();
  for (int i = static_cast<int>(given); i < required; ++i) {
    PyObject* value = keywords.find(param_name(method, i));
    if (value == nullptr) {
      if (!PyErr_Occurred()) positional_count_error(method, i == 0 ? given : i);
      return false;
    }
    place<Keywords>(out, i, value);
    --unclaimed;
  }
  if (method.optional_default != nullptr && required >= given && unclaimed > 0) {
    PyObject* value = keywords.find(param_name(method, required));
    if (value != nullptr) {
      place<Keywords>(out, required, value);
      --unclaimed;
    } else if (PyErr_Occurred()) {
      return false;
    }
  }
  if (unclaimed > 0) return match_keywords(method, keywords, given, out);
  return true;
}

PyObject* run_bound(const MethodRecord& method, bool bound_ok, const BoundArguments& bound) {
  if (bound_ok) return method.body.run(bound);
  add_traceback_entry(method.entry, method.def_line);
  return nullptr;
}

bool all_exact_strings(PyObject* names) {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(names, i))) return false;
  return true;
}

}  // namespace

PyObject* call_with_binding(const MethodRecord& method, const Positional& args, PyObject* kwargs) {
  if (kwargs == nullptr) return call_positional(method, args);
  BoundArguments bound;
  return run_bound(method, bind(method, args, DictKeywords(kwargs), bound), bound);
}

PyObject* vectorcall_with_binding(const MethodRecord& method, const Positional& args,
                                  PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return call_positional(method, args);
  PyObject* const* values = args.items + args.count;
  if (all_exact_strings(kwnames)) {
    BoundArguments bound;
    return run_bound(method, bind(method, args, ExactNameKeywords(kwnames, values), bound), bound);
  }
  // Only here is a dict made: the ordinary slot's binding then sees the
  // names as it would have (each name's __hash__ runs once more, here).
  Ref kwargs = Ref::steal(keywords_dict(kwnames, values));
  if (!kwargs) return nullptr;
  return call_with_binding(method, args, kwargs.get());
}

}  // namespace addongate
