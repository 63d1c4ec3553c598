// Persistence: the serialized dictionary of an experiment, rebuilding from it, cloning and the
// trial compilation of `valid`.
#pragma once

#include <Python.h>

#include "refs.hpp"
#include "state.hpp"

namespace varnok::persist {

Ref serialize(State& st, PyObject* self);
Ref deserialize(State& st, PyObject* data, PyObject* group);
Ref clone(State& st, PyObject* self);
void valid(State& st, PyObject* self);

}  // namespace varnok::persist
