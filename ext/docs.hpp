// Documentation strings of the Experiment class: each starts with the member's signature line,
// followed by an empty line and the text where the member has one.
#pragma once

namespace varnok::docs {

inline constexpr const char* klass = "\n    Experiment class\n    ";

inline constexpr const char* init =
    "Experiment.__init__(self, str title: str, str desc: str, group: Group = None)\n\n"
    "Initialize a Experiment object\nArgs:\n    title: experiment title\n"
    "    desc: experiment description";
inline constexpr const char* update_config_manager =
    "Experiment.__update_config_manager(self) -> None";

inline constexpr const char* exp_mode = "Experiment.exp_mode(self)";
inline constexpr const char* group_get = "Experiment.group(self) -> Group";
inline constexpr const char* group_set = "Experiment.group(self, group: Group)";
inline constexpr const char* batch_circuits =
    "Experiment.batch_circuits(self) -> Optional[List[WaveCircuit]]";
inline constexpr const char* circuit =
    "Experiment.circuit(self) -> WaveCircuit\n\nWaveCircuit object ";
inline constexpr const char* gate_compiler =
    "Experiment.gate_compiler(self) -> GateCompiler\n\nGateCompiler object ";
inline constexpr const char* is_compiled =
    "Experiment.is_compiled(self) -> bool\n\nIs this experiment compiled ";
inline constexpr const char* compiled_sweep_dict =
    "Experiment.compiled_sweep_dict(self) -> Dict\n\n"
    "Sweeping configuration dict compiled from user script ";
inline constexpr const char* compiled_waveform_parameter_list =
    "Experiment.compiled_waveform_parameter_list(self) -> List\n\n"
    "Waveform parameter configuration list compiled from user script ";
inline constexpr const char* compiled_space_parameter_dict =
    "Experiment.compiled_space_parameter_dict(self) -> Dict\n\n"
    "Space parameter configuration list compiled from user script ";
inline constexpr const char* compiled_sweep_len =
    "Experiment.compiled_sweep_len(self) -> List[int]\n\n"
    "Sweeping length list of different dims compiled from user script ";
inline constexpr const char* total_sweep_steps =
    "Experiment.total_sweep_steps(self) -> int\n\nTotal sweep steps ";
inline constexpr const char* clear_batch_circuits = "Experiment.clear_batch_circuits(self)";
inline constexpr const char* reset_compiled_data =
    "Experiment.reset_compiled_data(self)\n\nClear compiled data ";

inline constexpr const char* options = "Experiment.options(self) -> Dict[str, Any]\n\nOptions ";
inline constexpr const char* options_config_manager =
    "Experiment.options_config_manager(self) -> ConfigManager\n\n"
    "Configuration manager for experiment manager ";
inline constexpr const char* options_setup = "Experiment.options_setup(self)";
inline constexpr const char* set_options = "Experiment.set_options(self, *args, **kwargs) -> None";

inline constexpr const char* set_circuit =
    "Experiment.set_circuit(self, wave_circuit: WaveCircuit)\n\n"
    "Set the WaveCircuit object\nArgs:\n    wave_circuit: WaveCircuit object";
inline constexpr const char* append_circuit =
    "Experiment.append_circuit(self, wave_circuit: WaveCircuit)\n\n"
    "Set the WaveCircuit object\nArgs:\n    wave_circuit: WaveCircuit object";
inline constexpr const char* add_wave_gate_obj =
    "Experiment.add_wave_gate_obj(self, wave_gate_obj: WaveGate, int layer_in_circuit: int)\n\n"
    "Set the WaveCircuit object.\nArgs:\n    wave_gate_obj: WaveGate instance\n"
    "    layer_in_circuit: the layer of the gate in circuit\nReturns:\n    WaveGate object";
inline constexpr const char* add_wave_gate =
    "Experiment.add_wave_gate(self, gate_on_entity: Union[Tuple[str, Union[str, List[str]]], "
    "QuantumGate], int layer_in_circuit: int) -> WaveGate\n\n"
    "Set the WaveCircuit object.\nArgs:\n    gate_on_entity: gate name and entities it is on, you "
    "can input a Tuple like `(\"X\", \"q01\")` or a\n        `QuantumGate` instance\n"
    "    layer_in_circuit: the layer of the gate in circuit\nReturns:\n    WaveGate object";
inline constexpr const char* set_space_parameter_script =
    "Experiment.set_space_parameter_script(self, str key: str, str script: str)\n\n"
    "Set the user script for space parameter.\nArgs:\n    key: key of a space parameter\n"
    "    script: script str";

#define VARNOK_WAVEFORM_SCRIPT_DOC(selector, annotation, selector_text)                     \
  "Experiment.set_waveform_script_by_" selector                                             \
  "(self, str entity: str, int layer: int, " annotation                                     \
  ", str parameter: str, str script: str)\n\n"                                              \
  "Set the user script for a waveform parameter by wave id.\nArgs:\n"                       \
  "    entity: the entity of the gate\n    layer: the layer where is gate in the circuit\n" \
  "    " selector_text                                                                      \
  "\n    parameter: the parameter name of the waveform\n"                                   \
  "    script: script str"
inline constexpr const char* set_waveform_script_by_ids = VARNOK_WAVEFORM_SCRIPT_DOC(
    "ids", "wave_ids: Union[int, List[int]]",
    "wave_ids: the waveform id (or the id list) of the Waveform object in the WaveGate");
inline constexpr const char* set_waveform_script_by_name = VARNOK_WAVEFORM_SCRIPT_DOC(
    "name", "wave_names: Union[str, List[str]]",
    "wave_names: the waveform name of the Waveform object in the WaveGate");
inline constexpr const char* set_waveform_script_by_channel =
    VARNOK_WAVEFORM_SCRIPT_DOC("channel", "channels: Union[str, List[str]]",
                               "channels: the channel name of the Waveform object in the WaveGate");
#undef VARNOK_WAVEFORM_SCRIPT_DOC

inline constexpr const char* fill_empty_wave_gates =
    "Experiment.fill_empty_wave_gates(self, group: Group = None, int space_timestamp: int = "
    "None)\n\n"
    "Use gate_compiler to fill WaveGate instances that have no waveforms.\n"
    "Must run before export_wave_package(), otherwise empty gates have\n"
    "duration 0 and later layers (e.g. M) get absolute t0 = 0.";

inline constexpr const char* compile_scripts =
    "Experiment.compile_scripts(self, group: Group = None, int space_timestamp: int = None)\n\n"
    "Compile the user scripts\nArgs:\n    group: the Group instance\n"
    "    space_timestamp: optional space snapshot time; passed to space()/gate compile";

inline constexpr const char* run_exp =
    "Experiment.run_exp(self, callback: Callable, dict options: Optional[Dict] = None, group: "
    "Group = None)\n\n"
    "Run the experiment iteratively.\n"
    "\n"
    "The callback function can be defined as:\n"
    "\n"
    "```\n"
    "def run_exp_callback(wave_package: WavePackage, exp_obj: Experiment):\n"
    "    wave_package.plot(dt=0.2)\n"
    "```\n"
    "\n"
    "Args:\n"
    "    callback: the callback function to pass the WavePackage instances for every step of the "
    "experiment.\n"
    "    options: Host/transfer options；可含 space_timestamp（复制实验钉死空间参数时刻）\n"
    "    group: the Group instance";
inline constexpr const char* run_exp_normal =
    "Experiment.run_exp_normal(self, callback: Callable, dict options: Optional[Dict] = None, "
    "group: Group = None, int space_timestamp: int = None)";
inline constexpr const char* run_exp_batch_circuit =
    "Experiment.run_exp_batch_circuit(self, callback: Callable, dict options: Optional[Dict] = "
    "None, group: Group = None, int space_timestamp: int = None)";

inline constexpr const char* valid = "Experiment.valid(self)";
inline constexpr const char* clone = "Experiment.clone(self) -> 'Experiment'";
inline constexpr const char* serialize =
    "Experiment.serialize(self) -> dict\n\nSerialize Experiment object.\nReturns:\n    dictionary";
inline constexpr const char* deserialize =
    "Experiment.deserialize(json_str, group: Group = None) -> 'Experiment'\n\n"
    "Deserialize wave_circuit object.\nArgs:\n    json_str: json string\n"
    "    group: Group instance, default is None\nReturns:\n    Experiment object";

}  // namespace varnok::docs
