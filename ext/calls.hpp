// Small helpers over the C API for the operations every concern repeats: reading and writing
// the experiment's attributes, calling collaborators, and raising the engine's own errors.
#pragma once

#include <Python.h>

#include "refs.hpp"
#include "state.hpp"

namespace varnok {

// Attribute access goes through the normal lookup, as a plain class's `self.__x` does, so a
// subclass property or a value replaced in the instance dictionary is always what is read.
inline Ref get_attr(PyObject* obj, PyObject* name) {
  return require(PyObject_GetAttr(obj, name));
}

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  require_status(PyObject_SetAttr(obj, name, value));
}

// Calls `obj.name(*args)`, looking the method up at the moment of the call.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
  PyObject* stack[] = {obj, args...};
  return require(PyObject_VectorcallMethod(name, stack, sizeof...(Args) + 1, nullptr));
}

// Calls `obj.name(*args, **{kwname: kwvalue})` with a single keyword argument.
template <typename... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwname, PyObject* kwvalue,
                   Args... args) {
  PyObject* stack[] = {obj, args..., kwvalue};
  Ref kwnames = require(PyTuple_Pack(1, kwname));
  return require(PyObject_VectorcallMethod(name, stack, sizeof...(Args) + 1, kwnames.get()));
}

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
  PyObject* stack[] = {nullptr, args...};
  return require(PyObject_Vectorcall(callable, stack + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Py_ssize_t size_of(PyObject* obj) {
  Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) {
    throw_error_set();
  }
  return size;
}

// `mapping[key]`, with a fast path for plain dictionaries (the records the engine builds).
inline Ref get_item(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, key);
      }
      throw_error_set();
    }
    return Ref::borrow(value);
  }
  return require(PyObject_GetItem(mapping, key));
}

inline bool equals(PyObject* a, PyObject* b) {
  return a == b || require_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

inline bool is_true(PyObject* obj) {
  return require_status(PyObject_IsTrue(obj)) != 0;
}

// Raises RuntimeError with the catalogue text `lang.msg(key)`, formatted with `args` when any
// are given.
template <typename... Args>
[[noreturn]] void raise_catalogue(State& st, PyObject* key, Args... args) {
  Ref text = call_method(st.lang, st.msg, key);
  if constexpr (sizeof...(Args) > 0) {
    text = call_method(text.get(), st.format, args...);
  }
  raise_object(PyExc_RuntimeError, text.get());
}

}  // namespace varnok
