// The Experiment type: its slots, method table and properties.
#pragma once

#include <Python.h>

#include "refs.hpp"

namespace varnok {

// Creates the class for `module` (whose state must already hold the names and collaborators).
Ref create_experiment_type(PyObject* module);

}  // namespace varnok
