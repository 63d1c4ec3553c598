#include "args.hpp"

#include <string>
#include <vector>

namespace varnok {
namespace {

bool same_name(PyObject* keyword, const char* name) {
  return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing parameters.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t nargs) {
  // Counts include `self`, as for a method defined in Python.
  Py_ssize_t most = sig.count + 1;
  Py_ssize_t least = sig.required + 1;
  if (least == most) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 sig.qualname, most, most == 1 ? "" : "s", nargs + 1,
                 nargs + 1 == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.qualname,
                 least, most, nargs + 1, nargs + 1 == 1 ? "was" : "were");
  }
  throw_error_set();
}

const char* type_name(PyObject* value) {
  return Py_TYPE(value)->tp_name;
}

[[noreturn]] void incorrect_type(const char* name, const char* expected, PyObject* value,
                                 bool five) {
  if (five) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", name, expected,
                 type_name(value));
  } else {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, type_name(value));
  }
  throw_error_set();
}

// Refusing a subclass of a built-in type surprises users who pass e.g. a `str` enum member, so
// the error says why in a note.
[[noreturn]] void incorrect_subclass(const char* name, const char* expected, PyObject* value) {
  Ref note = Ref::steal(PyUnicode_FromFormat(
      "subclasses of built-in types are refused: pass an exact %s, e.g. %s(value)", expected,
      expected));
  PyErr_Clear();  // without the note, the type error below still goes out
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               type_name(value));
  add_note_to_pending(note.get());
  throw_error_set();
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  if (nargs > sig.count) {
    too_many_positional(sig, nargs);
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
  }
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (same_name(keyword, sig.names[i])) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.qualname,
                   keyword);
      throw_error_set();
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                   sig.names[index]);
      throw_error_set();
    }
    out[index] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      missing.push_back(sig.names[i]);
    }
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 sig.qualname, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    throw_error_set();
  }
}

void check_str_param(const char* name, PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    return;
  }
  if (PyUnicode_Check(value)) {
    incorrect_subclass(name, "str", value);
  }
  incorrect_type(name, "str", value, false);
}

bool is_number(PyObject* value) {
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr);
}

Ref int_param(const char* name, PyObject* value, bool allow_none) {
  if (PyLong_CheckExact(value)) {
    return Ref::borrow(value);
  }
  if (value == Py_None && allow_none) {
    return Ref::borrow(value);
  }
  if (is_number(value)) {
    return require(PyNumber_Long(value));
  }
  incorrect_type(name, "int", value, true);
}

void check_dict_param(const char* name, PyObject* value) {
  if (value == Py_None || PyDict_CheckExact(value)) {
    return;
  }
  incorrect_type(name, "dict", value, false);
}

namespace {
[[noreturn]] void expected(const char* kind, PyObject* value, bool five) {
  if (five) {
    PyErr_Format(PyExc_TypeError, "Expected %.5s, got %.200s", kind, type_name(value));
  } else {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", kind, type_name(value));
  }
  throw_error_set();
}
}  // namespace

PyObject* expect_list_or_none(PyObject* value) {
  if (value != Py_None && !PyList_CheckExact(value)) {
    expected("list", value, false);
  }
  return value;
}

PyObject* expect_dict_or_none(PyObject* value) {
  if (value != Py_None && !PyDict_CheckExact(value)) {
    expected("dict", value, false);
  }
  return value;
}

Ref expect_int_or_none(PyObject* value) {
  if (value == Py_None || PyLong_CheckExact(value)) {
    return Ref::borrow(value);
  }
  if (is_number(value)) {
    return require(PyNumber_Long(value));
  }
  expected("int", value, true);
}

}  // namespace varnok
