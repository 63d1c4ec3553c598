"""Documentation, the properties over the experiment's state, the group setter, options and the two resets."""

import fractions

import pytest

from support_collaborators import raised
from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment as E
from varnok_client.languages import lang
from varnok_client.waveform.waveform_register import waveform_register

COMPILED = ["compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict",
            "compiled_sweep_len", "total_sweep_steps"]
_SET = "(self, wave_circuit: WaveCircuit)\n\nSet the WaveCircuit object\nArgs:\n    wave_circuit: WaveCircuit object"
_ADD = "\n\nSet the WaveCircuit object.\nArgs:\n    {}\n    layer_in_circuit: the layer of the gate in circuit\nReturns:\n" \
       "    WaveGate object"
_WSIG = "(self, str entity: str, int layer: int, {}: Union[{}, List[{}]], str parameter: str, str script: str)\n\n" \
        "Set the user script for a waveform parameter by wave id.\nArgs:\n    entity: the entity of the gate\n    layer: " \
        "the layer where is gate in the circuit\n    {}: the {} of the Waveform object in the WaveGate\n" \
        "    parameter: the parameter name of the waveform\n    script: script str"
DOCS = [
    (E, "\n    Experiment class\n    "),
    (E.__init__, "Experiment.__init__(self, str title: str, str desc: str, group: Group = None)\n\n"
     "Initialize a Experiment object\nArgs:\n    title: experiment title\n    desc: experiment description"),
    (E.exp_mode, "Experiment.exp_mode(self)"), (E.group, "Experiment.group(self) -> Group"),
    (E.group.fset, "Experiment.group(self, group: Group)"), (E.options_setup, "Experiment.options_setup(self)"),
    (E.batch_circuits, "Experiment.batch_circuits(self) -> Optional[List[WaveCircuit]]"),
    (E.circuit, "Experiment.circuit(self) -> WaveCircuit\n\nWaveCircuit object "),
    (E.gate_compiler, "Experiment.gate_compiler(self) -> GateCompiler\n\nGateCompiler object "),
    (E.is_compiled, "Experiment.is_compiled(self) -> bool\n\nIs this experiment compiled "),
    (E.compiled_sweep_dict, "Experiment.compiled_sweep_dict(self) -> Dict\n\n"
     "Sweeping configuration dict compiled from user script "),
    (E.compiled_waveform_parameter_list, "Experiment.compiled_waveform_parameter_list(self) -> List\n\n"
     "Waveform parameter configuration list compiled from user script "),
    (E.compiled_space_parameter_dict, "Experiment.compiled_space_parameter_dict(self) -> Dict\n\n"
     "Space parameter configuration list compiled from user script "),
    (E.compiled_sweep_len, "Experiment.compiled_sweep_len(self) -> List[int]\n\n"
     "Sweeping length list of different dims compiled from user script "),
    (E.total_sweep_steps, "Experiment.total_sweep_steps(self) -> int\n\nTotal sweep steps "),
    (E.clear_batch_circuits, "Experiment.clear_batch_circuits(self)"),
    (E.reset_compiled_data, "Experiment.reset_compiled_data(self)\n\nClear compiled data "),
    (E._Experiment__update_config_manager, "Experiment.__update_config_manager(self) -> None"),
    (E.options, "Experiment.options(self) -> Dict[str, Any]\n\nOptions "),
    (E.options_config_manager, "Experiment.options_config_manager(self) -> ConfigManager\n\n"
     "Configuration manager for experiment manager "),
    (E.set_options, "Experiment.set_options(self, *args, **kwargs) -> None"),
    (E.set_circuit, "Experiment.set_circuit" + _SET), (E.append_circuit, "Experiment.append_circuit" + _SET),
    (E.add_wave_gate_obj, "Experiment.add_wave_gate_obj(self, wave_gate_obj: WaveGate, int layer_in_circuit: int)"
     + _ADD.format("wave_gate_obj: WaveGate instance")),
    (E.add_wave_gate, "Experiment.add_wave_gate(self, gate_on_entity: Union[Tuple[str, Union[str, List[str]]], "
     "QuantumGate], int layer_in_circuit: int) -> WaveGate" + _ADD.format("gate_on_entity: gate name and entities it "
     "is on, you can input a Tuple like `(\"X\", \"q01\")` or a\n        `QuantumGate` instance")),
    (E.set_space_parameter_script, "Experiment.set_space_parameter_script(self, str key: str, str script: str)\n\n"
     "Set the user script for space parameter.\nArgs:\n    key: key of a space parameter\n    script: script str"),
    (E.set_waveform_script_by_ids, "Experiment.set_waveform_script_by_ids"
     + _WSIG.format("wave_ids", "int", "int", "wave_ids", "waveform id (or the id list)")),
    (E.set_waveform_script_by_name, "Experiment.set_waveform_script_by_name"
     + _WSIG.format("wave_names", "str", "str", "wave_names", "waveform name")),
    (E.set_waveform_script_by_channel, "Experiment.set_waveform_script_by_channel"
     + _WSIG.format("channels", "str", "str", "channels", "channel name")),
    (E.fill_empty_wave_gates, "Experiment.fill_empty_wave_gates(self, group: Group = None, int space_timestamp: int = "
     "None)\n\nUse gate_compiler to fill WaveGate instances that have no waveforms.\nMust run before "
     "export_wave_package(), otherwise empty gates have\nduration 0 and later layers (e.g. M) get absolute t0 = 0."),
    (E.serialize, "Experiment.serialize(self) -> dict\n\nSerialize Experiment object.\nReturns:\n    dictionary"),
    (E.deserialize, "Experiment.deserialize(json_str, group: Group = None) -> 'Experiment'\n\nDeserialize "
     "wave_circuit object.\nArgs:\n    json_str: json string\n    group: Group instance, default is None\nReturns:\n"
     "    Experiment object"),
    (E.clone, "Experiment.clone(self) -> 'Experiment'"), (E.valid, "Experiment.valid(self)"),
]


@pytest.mark.parametrize(("member", "doc"), DOCS)
def test_documentation_strings(member, doc):
    assert member.__doc__ == doc


def test_compile_scripts_documentation_text():  # its signature line is the binding's own
    assert E.compile_scripts.__doc__.split("\n\n", 1)[1] == (
        "Compile the user scripts\nArgs:\n    group: the Group instance\n"
        "    space_timestamp: optional space snapshot time; passed to space()/gate compile")


@pytest.mark.parametrize("name", COMPILED)
def test_compiled_views_need_a_compilation_then_return_the_stored_object(exp, name):
    assert str(raised(RuntimeError, getattr, exp, name)) == lang.msg("exp_not_compiled")
    exp._Experiment__compiled = 1  # any true flag counts
    assert getattr(exp, name) is vars(exp)["_Experiment__" + name]


@pytest.mark.parametrize(("name", "stored", "expected"), [
    ("compiled_sweep_dict", [], "Expected dict, got list"), ("compiled_space_parameter_dict", set(), "Expected dict, got set"),
    ("compiled_waveform_parameter_list", (), "Expected list, got tuple"), ("compiled_sweep_len", "1", "Expected list, got str"),
    ("total_sweep_steps", "5", "Expected int, got str"), ("batch_circuits", (), "Expected list, got tuple"),
    ("options", [], "Expected dict, got list"), *[("total_sweep_steps", stored, expected) for stored, expected in [
        (None, None), (2.9, 2), (-2.9, -2), (True, 1), (fractions.Fraction(9, 2), 4)]],  # numbers are converted
])
def test_views_check_or_convert_their_result_type(exp, name, stored, expected):
    exp._Experiment__compiled = True
    setattr(exp, "_Experiment__" + name, stored)
    if isinstance(expected, str):
        assert str(raised(TypeError, getattr, exp, name)) == expected
    else:
        assert getattr(exp, name) == expected and type(getattr(exp, name)) is type(expected)


def test_clear_batch_circuits_replaces_the_list_and_reset_renews_the_compiled_containers(exp):
    exp.clear_batch_circuits()
    first = exp.batch_circuits
    first.append("kept")
    assert exp.clear_batch_circuits() is None and exp.batch_circuits == [] and first == ["kept"]
    exp._Experiment__compiled, exp._Experiment__total_sweep_steps, exp._Experiment__compile_space_timestamp = 1, 12, 99
    old = {name: getattr(exp, name) for name in COMPILED[:-1]}
    old["compiled_sweep_dict"][0].append({"t": "p"})
    old["compiled_sweep_len"].append(4)
    assert exp.reset_compiled_data() is None
    assert exp.is_compiled == 1 and exp.total_sweep_steps == 12 and exp._Experiment__compile_space_timestamp == 99
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: []} and exp.compiled_sweep_len == [1, 1, 1]
    assert exp.compiled_space_parameter_dict == {} and exp.compiled_waveform_parameter_list == []
    assert all(getattr(exp, name) is not value for name, value in old.items())


def test_group_setter_repoints_then_replaces_the_compiler_and_a_failure_keeps_earlier_steps(monkeypatch, spy_registers,
                                                                                             group):
    exp = E("t", "d", group)
    old, other = exp.gate_compiler, type(group)("other", {})
    exp.group = other
    assert old.group is other and exp.group is other and exp.gate_compiler.group is other
    assert spy_registers.calls[1:] == [("get_gate_compiler", other), ("load_waveforms_for_group", other)]
    compiler = exp.gate_compiler
    exp.group = None
    assert exp.group is None and exp.gate_compiler is compiler and compiler.group is None
    assert len(spy_registers.calls) == 3
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", lambda g: {}[g])
    raised(KeyError, setattr, exp, "group", other)
    assert exp.group is other and compiler.group is other and exp.gate_compiler is compiler
    monkeypatch.undo()
    monkeypatch.setattr(waveform_register, "load_waveforms_for_group", lambda g: {}[g])
    raised(KeyError, setattr, exp, "group", group)
    assert exp.group is group and exp.gate_compiler is not compiler


class SpyManager:
    """A configuration manager that logs what it is asked; `refuse` names the input or step that fails."""

    config_items = {"defined": True}

    def __init__(self, refuse=None):
        self.log, self.user_input, self.refuse = [], {}, refuse

    def input(self, key, value):
        self.log.append(key)
        if key == self.refuse:
            raise ValueError(key)
        self.user_input = {**self.user_input, key: value}

    def validate(self):
        self.log.append("validate")
        if self.refuse == "validate":
            raise ValueError("invalid")


@pytest.mark.parametrize(("refuse", "log"), [(None, ["zeta", "alpha", "validate"]), ("alpha", ["zeta", "alpha"]),
                                             ("validate", ["zeta", "alpha", "validate"])])
def test_set_options_inputs_in_order_validates_then_stores_user_input_or_keeps_the_previous(exp, refuse, log):
    manager = exp._Experiment__options_config_manager = SpyManager(refuse)
    before = exp.options
    if refuse:
        raised(ValueError, exp.set_options, 1, "ignored", zeta=2, alpha=1)
        assert exp.options is before and manager.log == log
    else:
        assert exp.set_options(1, "ignored", zeta=2, alpha=1) is None
        assert manager.log == log and exp.options is manager.user_input
        exp.set_options()
        assert manager.log[-1] == "validate" and exp.options == {"zeta": 2, "alpha": 1}
        assert exp.options_setup is SpyManager.config_items
