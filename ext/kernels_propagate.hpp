// Propagation of one simulated qubit through the samples of a wave package.
#pragma once

#include <Python.h>

#include "refs.hpp"

namespace varnok::kernels {

// P(|1>) at every readout start (a list of floats), starting from |0>. `drive` (or None) and
// `readout` are complex128 arrays of one length; `carrier` (None exactly when `drive` is) holds
// at least as many samples and turns a drive sample into its half rotation angle w (the frame
// and the Rabi scale together); `t1` and `t2` are lifetimes in seconds, or None.
Ref evolve(PyObject* drive, PyObject* carrier, PyObject* readout, PyObject* sample_rate,
           PyObject* t1, PyObject* t2);

// The sample indices where a readout pulse starts (a list of ints).
Ref read_starts(PyObject* readout);

}  // namespace varnok::kernels
