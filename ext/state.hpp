// Module state: the interned names the engine uses and the collaborator objects it imported.
//
// Both tables are X-macros so that each name is spelled once. Collaborators are imported once,
// when the module is executed; their methods are looked up at every call, so a patched method on
// a shared register or on the message catalogue is seen immediately.
#pragma once

#include <Python.h>

namespace varnok {

class DictWatcher;

// Class-private attributes, stored under the class-mangled name as a Python class would store them.
#define VARNOK_PRIVATE_NAMES(X)                                                          \
  X(p_group, "_Experiment__group")                                                       \
  X(p_gate_compiler, "_Experiment__gate_compiler")                                       \
  X(p_wave_circuit, "_Experiment__wave_circuit")                                         \
  X(p_waveform_script, "_Experiment__waveform_script")                                   \
  X(p_space_parameter_script, "_Experiment__space_parameter_script")                     \
  X(p_script_evaluator, "_Experiment__script_evaluator")                                 \
  X(p_compiled, "_Experiment__compiled")                                                 \
  X(p_compiled_sweep_dict, "_Experiment__compiled_sweep_dict")                           \
  X(p_compiled_space_parameter_dict, "_Experiment__compiled_space_parameter_dict")       \
  X(p_compiled_waveform_parameter_list, "_Experiment__compiled_waveform_parameter_list") \
  X(p_compiled_sweep_len, "_Experiment__compiled_sweep_len")                             \
  X(p_total_sweep_steps, "_Experiment__total_sweep_steps")                               \
  X(p_compile_space_timestamp, "_Experiment__compile_space_timestamp")                   \
  X(p_batch_circuits, "_Experiment__batch_circuits")                                     \
  X(p_options_config_manager, "_Experiment__options_config_manager")                     \
  X(p_options, "_Experiment__options")                                                   \
  X(p_update_config_manager, "_Experiment__update_config_manager")

// Public attributes and properties of the experiment, parameter names, collaborator members,
// record keys and fixed texts.
#define VARNOK_PUBLIC_NAMES(X)                                        \
  X(title, "title")                                                   \
  X(desc, "desc")                                                     \
  X(template_, "template")                                            \
  X(template_data, "template_data")                                   \
  X(info, "info")                                                     \
  X(attachment, "attachment")                                         \
  X(space, "space")                                                   \
  X(group, "group")                                                   \
  X(exp_mode, "exp_mode")                                             \
  X(batch_circuits, "batch_circuits")                                 \
  X(circuit, "circuit")                                               \
  X(gate_compiler, "gate_compiler")                                   \
  X(is_compiled, "is_compiled")                                       \
  X(options, "options")                                               \
  X(options_config_manager, "options_config_manager")                 \
  X(normal, "normal")                                                 \
  X(batch_circuit, "batch_circuit")                                   \
  X(get_gate_compiler, "get_gate_compiler")                           \
  X(load_waveforms_for_group, "load_waveforms_for_group")             \
  X(get_plugins_by_hook, "get_plugins_by_hook")                       \
  X(experiment_options, "experiment_options")                         \
  X(input, "input")                                                   \
  X(validate, "validate")                                             \
  X(user_input, "user_input")                                         \
  X(config_items, "config_items")                                     \
  X(msg, "msg")                                                       \
  X(format, "format")                                                 \
  X(exp_not_compiled, "exp_not_compiled")                             \
  X(exp_gate_not_found, "exp_gate_not_found")                         \
  X(exp_gate_no_wave_no_comp, "exp_gate_no_wave_no_comp")             \
  X(exp_gate_cannot_comp, "exp_gate_cannot_comp")                     \
  X(strip, "strip")                                                   \
  X(newline, "\n")                                                    \
  X(append, "append")                                                 \
  X(ids, "ids")                                                       \
  X(name, "name")                                                     \
  X(channel, "channel")                                               \
  X(search_type, "search_type")                                       \
  X(gate_name, "gate_name")                                           \
  X(entity, "entity")                                                 \
  X(layer, "layer")                                                   \
  X(channels, "channels")                                             \
  X(wave_names, "wave_names")                                         \
  X(wave_ids, "wave_ids")                                             \
  X(parameter, "parameter")                                           \
  X(script, "script")                                                 \
  X(search_gates, "search_gates")                                     \
  X(add_wave_gate_obj, "add_wave_gate_obj")                           \
  X(gates, "gates")                                                   \
  X(items, "items")                                                   \
  X(waves, "waves")                                                   \
  X(compile, "compile")                                               \
  X(timestamp, "timestamp")                                           \
  X(compiler_name, "compiler_name")                                   \
  X(type, "type")                                                     \
  X(dim, "dim")                                                       \
  X(val, "val")                                                       \
  X(seq, "seq")                                                       \
  X(use_space, "use_space")                                           \
  X(t, "t")                                                           \
  X(key, "key")                                                       \
  X(value, "value")                                                   \
  X(len, "len")                                                       \
  X(re_compile, "re_compile")                                         \
  X(set_temporary_parameter, "set_temporary_parameter")               \
  X(evaluate, "evaluate")                                             \
  X(tolist, "tolist")                                                 \
  X(shape, "shape")                                                   \
  X(search_wave, "search_wave")                                       \
  X(wave_name, "wave_name")                                           \
  X(fill_empty_wave_gates, "fill_empty_wave_gates")                   \
  X(space_timestamp, "space_timestamp")                               \
  X(p, "p")                                                           \
  X(w, "w")                                                           \
  X(c, "c")                                                           \
  X(exp_group_not_set, "exp_group_not_set")                           \
  X(exp_wave_sweep_length_wrong, "exp_wave_sweep_length_wrong")       \
  X(exp_space_param_wrong, "exp_space_param_wrong")                   \
  X(exp_step_len_wrong, "exp_step_len_wrong")                         \
  X(exp_wave_param_wrong, "exp_wave_param_wrong")                     \
  X(exp_sweep_dim_wrong, "exp_sweep_dim_wrong")                       \
  X(result, "result")                                                 \
  X(interrupt, "interrupt")                                           \
  X(wave_parameters, "wave_parameters")                               \
  X(waveform_compiler_config, "waveform_compiler_config")             \
  X(t0, "t0")                                                         \
  X(ratio, "ratio")                                                   \
  X(exp_wave_para_invalid, "exp_wave_para_invalid")                   \
  X(exp_sweep_failed, "exp_sweep_failed")                             \
  X(concatenate, "concatenate")                                       \
  X(export_wave_package, "export_wave_package")                       \
  X(compile_scripts, "compile_scripts")                               \
  X(run_exp_batch_circuit, "run_exp_batch_circuit")                   \
  X(run_exp_normal, "run_exp_normal")                                 \
  X(compiled_sweep_len, "compiled_sweep_len")                         \
  X(compiled_space_parameter_dict, "compiled_space_parameter_dict")   \
  X(serialize, "serialize")                                           \
  X(deserialize, "deserialize")                                       \
  X(clone, "clone")                                                   \
  X(set_options, "set_options")                                       \
  X(set_circuit, "set_circuit")                                       \
  X(append_circuit, "append_circuit")                                 \
  X(set_space_parameter_script, "set_space_parameter_script")         \
  X(set_waveform_script_by_channel, "set_waveform_script_by_channel") \
  X(set_waveform_script_by_name, "set_waveform_script_by_name")       \
  X(set_waveform_script_by_ids, "set_waveform_script_by_ids")         \
  X(wave_circuit, "wave_circuit")                                     \
  X(clear_temporary_parameters, "clear_temporary_parameters")         \
  X(batch_circuit_key, "batch_circuit")                               \
  X(space_parameter_script, "space_parameter_script")                 \
  X(waveform_script, "waveform_script")                               \
  X(circuit_id, "Circuit ID")

struct State {
#define VARNOK_DECLARE_NAME(id, text) PyObject* id;
  VARNOK_PRIVATE_NAMES(VARNOK_DECLARE_NAME)
  VARNOK_PUBLIC_NAMES(VARNOK_DECLARE_NAME)
#undef VARNOK_DECLARE_NAME

// The collaborators: (field, module, attribute).
#define VARNOK_COLLABORATORS(X)                                                         \
  X(WaveCircuit, "varnok_client.waveform", "WaveCircuit")                               \
  X(WaveGate, "varnok_client.waveform", "WaveGate")                                     \
  X(gate_compiler_register, "varnok_client.compiler.gate_compiler_register",            \
    "gate_compiler_register")                                                           \
  X(waveform_register, "varnok_client.waveform.waveform_register", "waveform_register") \
  X(ScriptEvaluator, "varnok_client.utils.script_evaluator", "ScriptEvaluator")         \
  X(ConfigManager, "varnok_client.utils.config_manager", "ConfigManager")               \
  X(Result, "varnok_client.experiment.result", "Result")                                \
  X(plugin_register, "varnok_client.plugin.plugin_register", "plugin_register")         \
  X(lang, "varnok_client.languages", "lang")                                            \
  X(deepcopy, "copy", "deepcopy")                                                       \
  X(ndarray, "numpy", "ndarray")                                                        \
  X(np_array, "numpy", "array")
#define VARNOK_DECLARE_COLLABORATOR(field, module, attr) PyObject* field;
  VARNOK_COLLABORATORS(VARNOK_DECLARE_COLLABORATOR)
#undef VARNOK_DECLARE_COLLABORATOR

  PyObject* experiment_type;
  // The class's version tag once it was built; while the class keeps it, nothing replaced its
  // properties, so its own instances may have their state read straight from their dictionary.
  unsigned int experiment_type_version;
  // Keyword names of the run callback's contract and of a run's Result, in call order.
  PyObject* callback_kwnames;
  PyObject* result_kwnames;
  // Keyword-name tuples of the collaborator calls made with keywords.
  PyObject* kw_timestamp;
  PyObject* kw_space_timestamp;
  PyObject* kw_group;
  PyObject* kw_group_space_timestamp;
  PyObject* kw_entity_layer;
  PyObject* kw_wave_name;
  PyObject* kw_channel;
  // Watches the dicts a run remembers reads from (null until the module is executed).
  DictWatcher* dict_watcher;
};

// The state of the module that defined `cls` (the class a method was looked up on).
State& state_of_class(PyTypeObject* defining_class);
// The state of the module an instance's class (or one of its bases) comes from.
State& state_of_instance(PyObject* self);
// The state of the module object itself (module-level functions get it as `self`).
State& state_of_module(PyObject* module);

}  // namespace varnok
