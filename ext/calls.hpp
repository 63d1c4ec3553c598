// Small helpers over the C API for the operations every concern repeats: reading and writing
// the experiment's attributes, calling collaborators, and raising the engine's own errors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "object.hpp"
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

// Whether `type` still carries the version tag `version` it was given when it was built. Any
// change to a class drops its tag, and a new tag is never one handed out before.
inline bool class_unmodified(PyTypeObject* type, unsigned int version) {
#if PY_VERSION_HEX < 0x030C0000
  // Before 3.12 a dropped tag is marked by a flag, not always by clearing the tag itself.
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
    return false;
  }
#endif
  return version != 0 && type->tp_version_tag == version;
}

// The instance dictionary of an experiment whose class is exactly Experiment, unmodified since
// it was built; null otherwise. Such an instance's state can be read without attribute lookup.
inline PyObject* plain_instance_dict(State& st, PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type != reinterpret_cast<PyTypeObject*>(st.experiment_type) ||
      !class_unmodified(type, st.experiment_type_version)) {
    return nullptr;
  }
  return reinterpret_cast<ExperimentObject*>(self)->dict;
}

// Reads a private attribute of the experiment, as `self.__name` would.
inline Ref read_private(State& st, PyObject* self, PyObject* name) {
  if (PyObject* dict = plain_instance_dict(st, self)) {
    if (PyObject* value = PyDict_GetItemWithError(dict, name)) {
      return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
      throw_error_set();
    }
  }
  return get_attr(self, name);
}

// Calls `obj.name(*args)`, looking the method up at the moment of the call.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
  PyObject* stack[] = {obj, args...};
  return require(PyObject_VectorcallMethod(name, stack, sizeof...(Args) + 1, nullptr));
}

// Calls `obj.name(*positional, **dict(zip(kwnames, keyword)))`; `kwnames` is one of the
// prebuilt keyword-name tuples of the module state.
inline Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames,
                          std::initializer_list<PyObject*> positional,
                          std::initializer_list<PyObject*> keyword) {
  PyObject* stack[8];
  std::size_t count = 0;
  stack[count++] = obj;
  for (PyObject* arg : positional) {
    stack[count++] = arg;
  }
  for (PyObject* arg : keyword) {
    stack[count++] = arg;
  }
  return require(PyObject_VectorcallMethod(name, stack, positional.size() + 1, kwnames));
}

// `container.append(item)`: the engine's own lists directly, anything else through its method.
inline void append_to(State& st, PyObject* container, PyObject* item) {
  if (PyList_CheckExact(container)) {
    require_status(PyList_Append(container, item));
    return;
  }
  call_method(container, st.append, item);
}

// Raised, as Python's own iterators do, when a container changes size while it is walked: the
// body calls out to Python, and code that grows the container at every step would otherwise
// keep the walk going for ever.
[[noreturn]] inline void raise_changed_during_walk(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
  throw_error_set();
}

// Calls `body(element)` for every element of the list `list`, in order, refusing a change of
// its size made meanwhile.
template <typename Body>
void for_each_in_list(PyObject* list, Body&& body) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
    body(element.get());
    if (PyList_GET_SIZE(list) != size) {
      raise_changed_during_walk("list");
    }
  }
}

// Calls `body(element)` for every element of `iterable`, in order: plain lists directly,
// anything else through the iteration protocol (whose iterators guard themselves).
template <typename Body>
void for_each(PyObject* iterable, Body&& body) {
  if (PyList_CheckExact(iterable)) {
    for_each_in_list(iterable, body);
    return;
  }
  Ref iterator = require(PyObject_GetIter(iterable));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
    body(element.get());
  }
  if (PyErr_Occurred()) {
    throw_error_set();
  }
}

// Calls `body(key, value)` for every pair of `mapping.items()`, in order.
template <typename Body>
void for_each_item(PyObject* mapping, PyObject* items_name, Body&& body) {
  if (PyDict_CheckExact(mapping)) {
    // Both references are owned before `body` runs. As with Python's own dict iterator, a size
    // change is refused after the step that made it, and a walk that finds more entries than
    // the dictionary had (keys replaced at the same size) is refused too.
    const Py_ssize_t size = PyDict_GET_SIZE(mapping);
    Py_ssize_t remaining = size;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(mapping, &position, &key, &value)) {
      if (remaining-- == 0) {
        raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
      }
      Ref owned_key = Ref::borrow(key);
      Ref owned_value = Ref::borrow(value);
      body(owned_key.get(), owned_value.get());
      if (PyDict_GET_SIZE(mapping) != size) {
        raise_changed_during_walk("dictionary");
      }
    }
    return;
  }
  Ref items = require(PyObject_CallMethodNoArgs(mapping, items_name));
  for_each(items.get(), [&](PyObject* pair) {
    Ref tuple = require(PySequence_Tuple(pair));
    if (PyTuple_GET_SIZE(tuple.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "items() must give (key, value) pairs, got %zd values",
                   PyTuple_GET_SIZE(tuple.get()));
      throw_error_set();
    }
    body(PyTuple_GET_ITEM(tuple.get(), 0), PyTuple_GET_ITEM(tuple.get(), 1));
  });
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
