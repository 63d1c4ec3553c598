// The simulated device's numeric kernels, a module of their own (varnok_client._kernels) so that
// the experiment module keeps to its one class. Entry points only; the kernels live in the
// kernels_*.cpp files beside this one.
#include <Python.h>

#include "kernels_propagate.hpp"
#include "kernels_seed.hpp"
#include "refs.hpp"

namespace varnok::kernels {
namespace {

PyObject* py_evolve(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 6) {
      raise(PyExc_TypeError,
            "evolve(drive, carrier, readout, sample_rate, t1, t2) takes 6 arguments");
    }
    return evolve(args[0], args[1], args[2], args[3], args[4], args[5]).release();
  });
}

PyObject* py_read_starts(PyObject*, PyObject* readout) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return read_starts(readout).release(); });
}

PyObject* py_pcg64_state(PyObject*, PyObject* entropy) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return pcg64_state(entropy).release(); });
}

PyMethodDef methods[] = {
    {"evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_evolve)),
     METH_FASTCALL,
     "evolve(drive, carrier, readout, sample_rate, t1, t2) -> list of float\n\n"
     "P(|1>) of one qubit at each readout start, starting from |0>. `drive` (or None) and\n"
     "`readout` are complex128 arrays of one length; `carrier` (None without drive) turns a\n"
     "drive sample into its half rotation angle; t1 and t2 are lifetimes in seconds or None."},
    {"read_starts", py_read_starts, METH_O,
     "read_starts(readout) -> list of int\n\nIndices where a readout pulse starts."},
    {"pcg64_state", py_pcg64_state, METH_O,
     "pcg64_state(entropy) -> (state, inc) or None\n\n"
     "The PCG64 state numpy's default generator has when seeded with `entropy`, a sequence of\n"
     "integers in [0, 2**64); None when an integer is outside that range."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kernels",
    "Numeric kernels of the simulated device.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace varnok::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
  return PyModuleDef_Init(&varnok::kernels::module_def);
}
