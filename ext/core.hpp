// The experiment core: construction, the state properties, the group, options and the two
// resets. Plain functions over an experiment object; the type's entry points call them.
#pragma once

#include <Python.h>

#include "calls.hpp"
#include "refs.hpp"
#include "state.hpp"

namespace varnok::core {

void construct(State& st, PyObject* self, PyObject* title, PyObject* desc, PyObject* group);
void update_config_manager(State& st, PyObject* self);

Ref exp_mode(State& st, PyObject* self);
Ref group(State& st, PyObject* self);
void set_group(State& st, PyObject* self, PyObject* group);
Ref batch_circuits(State& st, PyObject* self);
Ref circuit(State& st, PyObject* self);
Ref gate_compiler(State& st, PyObject* self);
Ref is_compiled(State& st, PyObject* self);
Ref compiled_sweep_dict(State& st, PyObject* self);
Ref compiled_waveform_parameter_list(State& st, PyObject* self);
Ref compiled_space_parameter_dict(State& st, PyObject* self);
Ref compiled_sweep_len(State& st, PyObject* self);
Ref total_sweep_steps(State& st, PyObject* self);

void clear_batch_circuits(State& st, PyObject* self);
void reset_compiled_data(State& st, PyObject* self);

Ref options(State& st, PyObject* self);
Ref options_config_manager(State& st, PyObject* self);
Ref options_setup(State& st, PyObject* self);
// `values` holds the keyword values in the order of `kwnames` (which may be null).
void set_options(State& st, PyObject* self, PyObject* const* values, PyObject* kwnames);

// Reads a property of the experiment as `self.name` would: directly for a plain instance,
// through attribute lookup when a subclass or a patched class may have replaced it.
inline Ref read_property(State& st, PyObject* self, PyObject* name,
                         Ref (*getter)(State&, PyObject*)) {
  if (plain_instance_dict(st, self) != nullptr) {
    return getter(st, self);
  }
  return get_attr(self, name);
}

inline Ref group_of(State& st, PyObject* self) {
  return read_property(st, self, st.group, group);
}
inline Ref circuit_of(State& st, PyObject* self) {
  return read_property(st, self, st.circuit, circuit);
}
inline Ref batch_circuits_of(State& st, PyObject* self) {
  return read_property(st, self, st.batch_circuits, batch_circuits);
}
inline Ref exp_mode_of(State& st, PyObject* self) {
  return read_property(st, self, st.exp_mode, exp_mode);
}
inline Ref gate_compiler_of(State& st, PyObject* self) {
  return read_property(st, self, st.gate_compiler, gate_compiler);
}

// The empty compiled containers, shared with compilation which rebuilds them the same way.
Ref new_sweep_dict(Py_ssize_t dimensions);
Ref new_sweep_len(Py_ssize_t dimensions);

}  // namespace varnok::core
