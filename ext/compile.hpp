// Compilation of the user scripts into fixed values and a sweep of up to three dimensions.
#pragma once

#include <Python.h>

#include "state.hpp"

namespace varnok::compilation {

// Sweeps of more dimensions than this are refused: every dimension costs a list in the compiled
// data, so an unchecked script result could otherwise exhaust memory.
constexpr Py_ssize_t kMaxSweepDimensions = 32;

void compile_scripts(State& st, PyObject* self, PyObject* group, PyObject* space_timestamp);

}  // namespace varnok::compilation
