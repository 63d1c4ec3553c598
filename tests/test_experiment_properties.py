"""Properties over the experiment's state, the group setter, options and the two resets."""

import fractions

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.languages import lang

COMPILED_PROPERTIES = [
    "compiled_sweep_dict",
    "compiled_waveform_parameter_list",
    "compiled_space_parameter_dict",
    "compiled_sweep_len",
    "total_sweep_steps",
]

DOCS = {
    "exp_mode": "Experiment.exp_mode(self)",
    "group": "Experiment.group(self) -> Group",
    "batch_circuits": "Experiment.batch_circuits(self) -> Optional[List[WaveCircuit]]",
    "circuit": "Experiment.circuit(self) -> WaveCircuit\n\nWaveCircuit object ",
    "gate_compiler": "Experiment.gate_compiler(self) -> GateCompiler\n\nGateCompiler object ",
    "is_compiled": "Experiment.is_compiled(self) -> bool\n\nIs this experiment compiled ",
    "compiled_sweep_dict": "Experiment.compiled_sweep_dict(self) -> Dict\n\n"
    "Sweeping configuration dict compiled from user script ",
    "compiled_waveform_parameter_list": "Experiment.compiled_waveform_parameter_list(self) -> List\n\n"
    "Waveform parameter configuration list compiled from user script ",
    "compiled_space_parameter_dict": "Experiment.compiled_space_parameter_dict(self) -> Dict\n\n"
    "Space parameter configuration list compiled from user script ",
    "compiled_sweep_len": "Experiment.compiled_sweep_len(self) -> List[int]\n\n"
    "Sweeping length list of different dims compiled from user script ",
    "total_sweep_steps": "Experiment.total_sweep_steps(self) -> int\n\nTotal sweep steps ",
    "clear_batch_circuits": "Experiment.clear_batch_circuits(self)",
    "reset_compiled_data": "Experiment.reset_compiled_data(self)\n\nClear compiled data ",
    "_Experiment__update_config_manager": "Experiment.__update_config_manager(self) -> None",
    "options": "Experiment.options(self) -> Dict[str, Any]\n\nOptions ",
    "options_config_manager": "Experiment.options_config_manager(self) -> ConfigManager\n\n"
    "Configuration manager for experiment manager ",
    "options_setup": "Experiment.options_setup(self)",
    "set_options": "Experiment.set_options(self, *args, **kwargs) -> None",
    "__init__": "Experiment.__init__(self, str title: str, str desc: str, group: Group = None)\n\n"
    "Initialize a Experiment object\nArgs:\n    title: experiment title\n    desc: experiment description",
}


@pytest.mark.parametrize(("member", "doc"), DOCS.items())
def test_documentation_strings(member, doc):
    assert getattr(Experiment, member).__doc__ == doc


def test_group_setter_documentation():
    assert Experiment.group.fset.__doc__ == "Experiment.group(self, group: Group)"


def test_new_experiment_views(exp):
    assert exp.exp_mode == "normal" and exp.batch_circuits is None
    assert exp.is_compiled is False and exp.gate_compiler is None and exp.group is None
    assert exp.circuit is exp._Experiment__wave_circuit and exp.circuit.gates == {}
    assert exp.options == {} and exp.options is exp._Experiment__options


@pytest.mark.parametrize("name", COMPILED_PROPERTIES)
def test_compiled_views_need_a_compilation(exp, name):
    with pytest.raises(RuntimeError) as info:
        getattr(exp, name)
    assert str(info.value) == lang.msg("exp_not_compiled")


@pytest.mark.parametrize("name", COMPILED_PROPERTIES[:-1])
def test_compiled_views_return_the_stored_objects(exp, name):
    exp._Experiment__compiled = True
    assert getattr(exp, name) is vars(exp)["_Experiment__" + name]


@pytest.mark.parametrize(
    ("name", "stored", "message"),
    [
        ("compiled_sweep_dict", [], "Expected dict, got list"),
        ("compiled_space_parameter_dict", set(), "Expected dict, got set"),
        ("compiled_waveform_parameter_list", (), "Expected list, got tuple"),
        ("compiled_sweep_len", "111", "Expected list, got str"),
        ("total_sweep_steps", "5", "Expected int, got str"),
        ("total_sweep_steps", [5], "Expected int, got list"),
    ],
)
def test_compiled_views_check_their_result_type(exp, name, stored, message):
    exp._Experiment__compiled = True
    setattr(exp, "_Experiment__" + name, stored)
    with pytest.raises(TypeError) as info:
        getattr(exp, name)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("stored", "expected"),
    [(7, 7), (None, None), (2.9, 2), (-2.9, -2), (True, 1), (fractions.Fraction(9, 2), 4)],
)
def test_total_sweep_steps_converts_numbers(exp, stored, expected):
    exp._Experiment__compiled = True
    exp._Experiment__total_sweep_steps = stored
    result = exp.total_sweep_steps
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(("name", "stored"), [("batch_circuits", ()), ("options", [])])
def test_state_views_check_their_result_type(exp, name, stored):
    setattr(exp, "_Experiment__" + name, stored)
    with pytest.raises(TypeError, match=f"Expected {'list' if name == 'batch_circuits' else 'dict'}, got"):
        getattr(exp, name)


def test_a_truthy_non_bool_compiled_flag_counts(exp):
    exp._Experiment__compiled = 1
    assert exp.compiled_sweep_len == [1, 1, 1]


def test_deleted_state_raises_attribute_error(exp):
    del exp._Experiment__batch_circuits
    with pytest.raises(AttributeError, match="_Experiment__batch_circuits"):
        exp.exp_mode
    del exp._Experiment__compiled
    with pytest.raises(AttributeError):
        exp.total_sweep_steps


def test_read_only_properties_refuse_assignment(exp):
    with pytest.raises(AttributeError):
        exp.circuit = None
    with pytest.raises(AttributeError):
        del exp.group


def test_clear_batch_circuits_switches_mode_for_good(exp):
    exp.clear_batch_circuits()
    first = exp.batch_circuits
    assert first == [] and exp.exp_mode == "batch_circuit"
    first.append("kept")
    assert exp.clear_batch_circuits() is None
    assert exp.batch_circuits == [] and first == ["kept"]


def test_reset_compiled_data_keeps_flag_total_and_timestamp(exp):
    exp._Experiment__compiled = True
    exp._Experiment__total_sweep_steps = 12
    exp._Experiment__compile_space_timestamp = 99
    old = {name: getattr(exp, name) for name in COMPILED_PROPERTIES[:-1]}
    old["compiled_sweep_dict"][0].append({"t": "p"})
    exp.reset_compiled_data()
    assert exp.is_compiled is True and exp.total_sweep_steps == 12
    assert exp._Experiment__compile_space_timestamp == 99
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: []}
    assert exp.compiled_sweep_len == [1, 1, 1]
    assert exp.compiled_space_parameter_dict == {} and exp.compiled_waveform_parameter_list == []
    for name, value in old.items():
        assert getattr(exp, name) is not value


@pytest.mark.parametrize("method", ["clear_batch_circuits", "reset_compiled_data"])
def test_methods_without_parameters_refuse_arguments(exp, method):
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        getattr(exp, method)(1)


def test_group_setter_repoints_then_replaces_the_compiler(spy_registers, group):
    exp = Experiment("t", "d", group)
    old = exp.gate_compiler
    spy_registers.calls.clear()
    other = type(group)("other", {})
    exp.group = other
    assert old.group is other
    assert exp.group is other and exp.gate_compiler is not old and exp.gate_compiler.group is other
    assert spy_registers.calls == [("get_gate_compiler", other), ("load_waveforms_for_group", other)]


def test_group_setter_with_none_keeps_the_compiler(spy_registers, group):
    exp = Experiment("t", "d", group)
    compiler = exp.gate_compiler
    spy_registers.calls.clear()
    exp.group = None
    assert exp.group is None and exp.gate_compiler is compiler and compiler.group is None
    assert spy_registers.calls == []


def test_same_group_through_setter_loads_waveforms(spy_registers, group):
    exp = Experiment("t", "d", group)
    exp.group = group
    assert spy_registers.names() == ["get_gate_compiler", "get_gate_compiler", "load_waveforms_for_group"]


def test_group_setter_failures_keep_earlier_steps(monkeypatch, spy_registers, group):
    from varnok_client.compiler.gate_compiler_register import gate_compiler_register
    from varnok_client.waveform.waveform_register import waveform_register

    exp = Experiment("t", "d", group)
    compiler = exp.gate_compiler
    other = type(group)("other", {})

    def refuse(group):
        raise KeyError("no compiler")

    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", refuse)
    with pytest.raises(KeyError):
        exp.group = other
    assert exp.group is other and compiler.group is other and exp.gate_compiler is compiler

    monkeypatch.undo()
    monkeypatch.setattr(waveform_register, "load_waveforms_for_group", refuse)
    with pytest.raises(KeyError):
        exp.group = group
    assert exp.group is group and exp.gate_compiler is not compiler


class SpyManager:
    """A configuration manager that records what the experiment asks of it."""

    def __init__(self, refuse=None, invalid=False):
        self.log = []
        self.values = {}
        self.refuse = refuse
        self.invalid = invalid
        self.config_items = {"defined": True}

    def input(self, key, value):
        self.log.append(("input", key, value))
        if key == self.refuse:
            raise ValueError(f"refused {key}")
        self.values[key] = value

    def validate(self):
        self.log.append(("validate",))
        if self.invalid:
            raise ValueError("invalid")
        return "ignored"

    @property
    def user_input(self):
        return dict(self.values)


def test_set_options_inputs_in_order_then_validates(exp):
    manager = exp._Experiment__options_config_manager = SpyManager()
    assert exp.set_options(1, "ignored", zeta=2, alpha=1) is None
    assert manager.log == [("input", "zeta", 2), ("input", "alpha", 1), ("validate",)]
    assert exp.options == {"zeta": 2, "alpha": 1}
    exp.set_options(beta=3)
    assert exp.options == {"zeta": 2, "alpha": 1, "beta": 3}
    exp.set_options()
    assert manager.log[-1] == ("validate",) and exp.options_setup == {"defined": True}


@pytest.mark.parametrize(("refuse", "invalid", "kept"), [("b", False, ["a"]), (None, True, ["a", "b", "c"])])
def test_set_options_failures_keep_previous_options(exp, refuse, invalid, kept):
    manager = exp._Experiment__options_config_manager = SpyManager(refuse=refuse, invalid=invalid)
    before = exp.options
    with pytest.raises(ValueError):
        exp.set_options(a=1, b=2, c=3)
    assert exp.options is before
    assert list(manager.values) == kept
    assert ("validate",) not in manager.log or invalid


def test_real_options_come_from_the_builtin_plugin(exp):
    assert {"shots", "seed"} <= set(exp.options_setup)
    exp.set_options(shots=100)
    assert exp.options["shots"] == 100
    with pytest.raises((TypeError, ValueError)):
        exp.set_options(shots="many")
    assert exp.options["shots"] == 100
