// The memory layout of an Experiment instance.
#pragma once

#include <Python.h>

namespace varnok {

// All state lives in the instance dictionary; the object itself only carries the dictionary and
// the weak-reference list, which also keeps the default pickling protocol applicable.
struct ExperimentObject {
  PyObject_HEAD PyObject* dict;
  PyObject* weakreflist;
};

}  // namespace varnok
