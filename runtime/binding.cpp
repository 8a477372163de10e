#include "runtime/binding.h"

#include <cstddef>

#include "runtime/compat.h"
#include "runtime/traceback.h"

namespace addongate {

namespace {

// An ASCII message assembled in place.
class MessageBuffer {
 public:
  void append(const char* text, std::size_t limit = sizeof(buffer_)) {
    for (std::size_t i = 0; i < limit && text[i] != '\0' && length_ < sizeof(buffer_); ++i)
      buffer_[length_++] = text[i];
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
  PyObject* to_str() const {
    return PyUnicode_FromStringAndSize(buffer_, static_cast<Py_ssize_t>(length_));
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

// Places every keyword of `kwargs` on a parameter not filled by position.
bool match_keywords(const MethodRecord& method, PyObject* kwargs, Py_ssize_t filled,
                    BoundArguments& out) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  const int first_free = static_cast<int>(filled);
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
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
    out.own(found, value);
  }
  return true;
}

bool bind(const MethodRecord& method, const Positional& args, PyObject* kwargs,
          BoundArguments& out) {
  const Py_ssize_t given = args.size();
  const int required = required_count(method);
  if (method.optional_default != nullptr) out.borrow(required, method.optional_default);

  if (kwargs == nullptr) {
    if (given < required || given > param_count(method)) {
      positional_count_error(method, given);
      return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out.borrow(static_cast<int>(i), args.at(i));
    return true;
  }

  if (given > param_count(method)) {
    positional_count_error(method, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out.borrow(static_cast<int>(i), args.at(i));
  Py_ssize_t unclaimed = compat::dict_size(kwargs);
  for (int i = static_cast<int>(given); i < required; ++i) {
    PyObject* value = PyDict_GetItemWithError(kwargs, param_name(method, i));
    if (value == nullptr) {
      if (!PyErr_Occurred()) positional_count_error(method, i == 0 ? given : i);
      return false;
    }
    out.own(i, value);
    --unclaimed;
  }
  if (method.optional_default != nullptr && required >= given && unclaimed > 0) {
    PyObject* value = PyDict_GetItemWithError(kwargs, param_name(method, required));
    if (value != nullptr) {
      out.own(required, value);
      --unclaimed;
    } else if (PyErr_Occurred()) {
      return false;
    }
  }
  if (unclaimed > 0) return match_keywords(method, kwargs, given, out);
  return true;
}

}  // namespace

PyObject* call_with_binding(const MethodRecord& method, const Positional& args, PyObject* kwargs) {
  BoundArguments bound;
  if (bind(method, args, kwargs, bound)) return method.body.run(bound);
  add_traceback_entry(method.entry, method.def_line);
  return nullptr;
}

}  // namespace addongate
