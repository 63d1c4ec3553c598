// Seeding of the shot-noise generator without numpy's per-seed overhead.
#pragma once

#include <Python.h>

#include "refs.hpp"

namespace varnok::kernels {

// The (state, inc) pair of the PCG64 generator numpy's default_rng(entropy) starts from, for a
// sequence of integers each in [0, 2**64); None when an integer is outside that range.
Ref pcg64_state(PyObject* entropy);

}  // namespace varnok::kernels
