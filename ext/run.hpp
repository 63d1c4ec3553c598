// Running an experiment: the run entry and the two loops that export one wave package per step
// and hand it to the user's callback.
#pragma once

#include <Python.h>

#include "refs.hpp"
#include "state.hpp"

namespace varnok::run {

Ref run_exp(State& st, PyObject* self, PyObject* callback, PyObject* options, PyObject* group);
Ref run_exp_normal(State& st, PyObject* self, PyObject* callback, PyObject* options,
                   PyObject* group, PyObject* space_timestamp);
Ref run_exp_batch_circuit(State& st, PyObject* self, PyObject* callback, PyObject* options,
                          PyObject* group, PyObject* space_timestamp);

}  // namespace varnok::run
