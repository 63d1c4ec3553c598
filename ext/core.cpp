#include "core.hpp"

#include "args.hpp"
#include "calls.hpp"

namespace varnok::core {

Ref new_sweep_dict(Py_ssize_t dimensions) {
  Ref sweep = require(PyDict_New());
  for (Py_ssize_t dim = 0; dim < dimensions; ++dim) {
    Ref key = require(PyLong_FromSsize_t(dim));
    Ref entries = require(PyList_New(0));
    require_status(PyDict_SetItem(sweep.get(), key.get(), entries.get()));
  }
  return sweep;
}

Ref new_sweep_len(Py_ssize_t dimensions) {
  Ref lengths = require(PyList_New(dimensions));
  for (Py_ssize_t dim = 0; dim < dimensions; ++dim) {
    PyList_SET_ITEM(lengths.get(), dim, require(PyLong_FromLong(1)).release());
  }
  return lengths;
}

void construct(State& st, PyObject* self, PyObject* title, PyObject* desc, PyObject* group) {
  check_str_param("title", title);
  check_str_param("desc", desc);

  set_attr(self, st.title, title);
  set_attr(self, st.desc, desc);
  set_attr(self, st.template_, Py_None);
  set_attr(self, st.template_data, Py_None);
  set_attr(self, st.info, require(PyDict_New()).get());
  set_attr(self, st.attachment, require(PyDict_New()).get());

  set_attr(self, st.p_group, group);
  if (is_true(group)) {
    Ref compiler = call_method(st.gate_compiler_register, st.get_gate_compiler, group);
    set_attr(self, st.p_gate_compiler, compiler.get());
  } else {
    set_attr(self, st.p_gate_compiler, Py_None);
  }
  set_attr(self, st.space, Py_None);

  set_attr(self, st.p_wave_circuit, call(st.WaveCircuit).get());
  set_attr(self, st.p_waveform_script, require(PyList_New(0)).get());
  set_attr(self, st.p_space_parameter_script, require(PyDict_New()).get());
  set_attr(self, st.p_script_evaluator, call(st.ScriptEvaluator).get());

  set_attr(self, st.p_compiled, Py_False);
  reset_compiled_data(st, self);
  Ref one = require(PyLong_FromLong(1));
  set_attr(self, st.p_total_sweep_steps, one.get());
  set_attr(self, st.p_compile_space_timestamp, Py_None);

  set_attr(self, st.p_batch_circuits, Py_None);

  set_attr(self, st.p_options_config_manager, call(st.ConfigManager).get());
  set_attr(self, st.p_options, require(PyDict_New()).get());

  // Dispatched through the instance like any private method call, so a subclass may extend it.
  call_method(self, st.p_update_config_manager);
}

void update_config_manager(State& st, PyObject* self) {
  Ref plugins = call_method(st.plugin_register, st.get_plugins_by_hook, st.experiment_options);
  for_each(plugins.get(), [&](PyObject* plugin) {
    // Read afresh for every plug-in: a plug-in may replace the manager of the experiment.
    Ref manager = read_private(st, self, st.p_options_config_manager);
    call_method(plugin, st.experiment_options, manager.get());
  });
}

Ref exp_mode(State& st, PyObject* self) {
  Ref batch = batch_circuits_of(st, self);
  return Ref::borrow(batch.get() == Py_None ? st.normal : st.batch_circuit);
}

Ref group(State& st, PyObject* self) {
  return read_private(st, self, st.p_group);
}

void set_group(State& st, PyObject* self, PyObject* group) {
  set_attr(self, st.p_group, group);
  Ref current = gate_compiler_of(st, self);
  if (current.get() != Py_None) {
    Ref stored = read_private(st, self, st.p_group);
    set_attr(current.get(), st.group, stored.get());
  }
  if (is_true(group)) {
    Ref compiler = call_method(st.gate_compiler_register, st.get_gate_compiler, group);
    set_attr(self, st.p_gate_compiler, compiler.get());
    call_method(st.waveform_register, st.load_waveforms_for_group, group);
  }
}

Ref batch_circuits(State& st, PyObject* self) {
  Ref value = read_private(st, self, st.p_batch_circuits);
  expect_list_or_none(value.get());
  return value;
}

Ref circuit(State& st, PyObject* self) {
  return read_private(st, self, st.p_wave_circuit);
}

Ref gate_compiler(State& st, PyObject* self) {
  return read_private(st, self, st.p_gate_compiler);
}

Ref is_compiled(State& st, PyObject* self) {
  return read_private(st, self, st.p_compiled);
}

namespace {

// The compiled-data properties answer only once the scripts were compiled.
void require_compiled(State& st, PyObject* self) {
  Ref compiled = read_property(st, self, st.is_compiled, is_compiled);
  if (!is_true(compiled.get())) {
    raise_catalogue(st, st.exp_not_compiled);
  }
}

Ref compiled_dict(State& st, PyObject* self, PyObject* name) {
  require_compiled(st, self);
  Ref value = read_private(st, self, name);
  expect_dict_or_none(value.get());
  return value;
}

Ref compiled_list(State& st, PyObject* self, PyObject* name) {
  require_compiled(st, self);
  Ref value = read_private(st, self, name);
  expect_list_or_none(value.get());
  return value;
}

}  // namespace

Ref compiled_sweep_dict(State& st, PyObject* self) {
  return compiled_dict(st, self, st.p_compiled_sweep_dict);
}

Ref compiled_waveform_parameter_list(State& st, PyObject* self) {
  return compiled_list(st, self, st.p_compiled_waveform_parameter_list);
}

Ref compiled_space_parameter_dict(State& st, PyObject* self) {
  return compiled_dict(st, self, st.p_compiled_space_parameter_dict);
}

Ref compiled_sweep_len(State& st, PyObject* self) {
  return compiled_list(st, self, st.p_compiled_sweep_len);
}

Ref total_sweep_steps(State& st, PyObject* self) {
  require_compiled(st, self);
  Ref value = read_private(st, self, st.p_total_sweep_steps);
  return expect_int_or_none(value.get());
}

void clear_batch_circuits(State& st, PyObject* self) {
  set_attr(self, st.p_batch_circuits, require(PyList_New(0)).get());
}

void reset_compiled_data(State& st, PyObject* self) {
  set_attr(self, st.p_compiled_sweep_dict, new_sweep_dict(3).get());
  set_attr(self, st.p_compiled_space_parameter_dict, require(PyDict_New()).get());
  set_attr(self, st.p_compiled_waveform_parameter_list, require(PyList_New(0)).get());
  set_attr(self, st.p_compiled_sweep_len, new_sweep_len(3).get());
}

Ref options(State& st, PyObject* self) {
  Ref value = read_private(st, self, st.p_options);
  expect_dict_or_none(value.get());
  return value;
}

Ref options_config_manager(State& st, PyObject* self) {
  return read_private(st, self, st.p_options_config_manager);
}

Ref options_setup(State& st, PyObject* self) {
  Ref manager = read_property(st, self, st.options_config_manager, options_config_manager);
  return get_attr(manager.get(), st.config_items);
}

void set_options(State& st, PyObject* self, PyObject* const* values, PyObject* kwnames) {
  Ref manager = read_private(st, self, st.p_options_config_manager);
  Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    // The caller's argument array and keyword tuple stay alive for the whole call.
    call_method(manager.get(), st.input, PyTuple_GET_ITEM(kwnames, i), values[i]);
  }
  call_method(manager.get(), st.validate);
  Ref accepted = get_attr(manager.get(), st.user_input);
  set_attr(self, st.p_options, accepted.get());
}

}  // namespace varnok::core
