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
# What help() shows a user beyond the call signatures (whose names the keyword calls elsewhere use): when to call what.
USAGE = [
    (E.fill_empty_wave_gates, "Experiment.fill_empty_wave_gates(self, group: Group = None, int space_timestamp: int = "
     "None)\n\nUse gate_compiler to fill WaveGate instances that have no waveforms.\nMust run before "
     "export_wave_package(), otherwise empty gates have\nduration 0 and later layers (e.g. M) get absolute t0 = 0."),
    (E.compile_scripts, "Compile the user scripts\nArgs:\n    group: the Group instance\n"
     "    space_timestamp: optional space snapshot time; passed to space()/gate compile"),  # after the binding's line
]


@pytest.mark.parametrize(("member", "doc"), USAGE)
def test_documentation_a_user_relies_on(member, doc):
    assert (member.__doc__.partition("\n\n")[2] if member is E.compile_scripts else member.__doc__) == doc


@pytest.mark.parametrize("name", COMPILED)
def test_compiled_views_need_a_compilation_then_return_the_stored_object(exp, name):
    assert str(raised(RuntimeError, getattr, exp, name)) == lang.msg("exp_not_compiled")
    exp._Experiment__compiled = 1  # any true flag counts
    assert getattr(exp, name) is vars(exp)["_Experiment__" + name]


@pytest.mark.parametrize(("name", "stored", "expected"), [
    ("compiled_sweep_dict", [], "Expected dict, got list"), ("compiled_space_parameter_dict", set(), "Expected dict, got set"),
    ("compiled_waveform_parameter_list", (), "Expected list, got tuple"), ("compiled_sweep_len", "1", "Expected list, got str"),
    ("total_sweep_steps", "5", "Expected int, got str"), ("batch_circuits", (), "Expected list, got tuple"),
    ("options", [], "Expected dict, got list"), ("total_sweep_steps", None, None),
    ("total_sweep_steps", fractions.Fraction(9, 2), 4),  # numbers are converted
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
