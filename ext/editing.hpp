// Editing an experiment: its circuit or batch circuits, gates, scripts, and filling gates that
// carry no waveforms from the gate compiler.
#pragma once

#include <Python.h>

#include "refs.hpp"
#include "state.hpp"

namespace varnok::editing {

void set_circuit(State& st, PyObject* self, PyObject* wave_circuit);
void append_circuit(State& st, PyObject* self, PyObject* wave_circuit);

void add_wave_gate_obj(State& st, PyObject* self, PyObject* wave_gate_obj, PyObject* layer);
Ref add_wave_gate(State& st, PyObject* self, PyObject* gate_on_entity, PyObject* layer);

void set_space_parameter_script(State& st, PyObject* self, PyObject* key, PyObject* script);

// How a waveform script selects the waves of its gate.
enum class WaveSelection { ids, name, channel };
void set_waveform_script(State& st, PyObject* self, WaveSelection selection, PyObject* entity,
                         PyObject* layer, PyObject* waves, PyObject* parameter, PyObject* script);

// Wave ids as a script record stores them: a new list of integers made from an integer, a text
// holding one, or a list of such values; anything else is refused naming the layer and entity.
Ref normalise_wave_ids(PyObject* wave_ids, PyObject* layer, PyObject* entity);

void fill_empty_wave_gates(State& st, PyObject* self, PyObject* group, PyObject* space_timestamp);

}  // namespace varnok::editing
