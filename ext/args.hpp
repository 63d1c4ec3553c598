// Argument binding for the vectorcall entry points and the typed-parameter rules.
#pragma once

#include <Python.h>

#include <cstddef>

#include "refs.hpp"

namespace varnok {

// The parameters of one method, after `self`. The first `required` ones have no default.
struct Signature {
  const char* qualname;      // "Experiment.set_circuit", used in binding errors
  const char* const* names;  // parameter names, in declaration order
  Py_ssize_t count;          // number of parameters
  Py_ssize_t required;       // leading parameters that must be given
};

// Binds positional and keyword arguments to `sig`'s parameters the way a Python function does,
// with the interpreter's own error texts. `out[i]` receives a borrowed pointer, or nullptr for an
// optional parameter that was not given.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// A parameter declared as a string: exactly `str`, never None or a subclass.
void check_str_param(const char* name, PyObject* value);

// A parameter declared as an integer: an int is kept, any other number is truncated to an int,
// None passes only when `allow_none`. Returns a new reference to the integer (or None).
Ref int_param(const char* name, PyObject* value, bool allow_none);

// A parameter declared as a dictionary: exactly `dict`, or None.
void check_dict_param(const char* name, PyObject* value);

// Result-type checks of the properties: the stored value itself, or TypeError.
PyObject* expect_list_or_none(PyObject* value);
PyObject* expect_dict_or_none(PyObject* value);
// An integer or None unchanged, any other number converted; a new reference.
Ref expect_int_or_none(PyObject* value);

// True for objects the host can turn into an integer (int, float, Fraction, numpy scalars, ...),
// but never for text, which the integer conversion would otherwise parse.
bool is_number(PyObject* value);

}  // namespace varnok
