"""The properties over the experiment's state (also as a subclass overrides them), the group setter, options
and the two resets."""

import fractions
from contextlib import nullcontext

import pytest

from support_collaborators import raised
from support_editing import Falsy, SpyCompiler, circuit_of, wave
from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment as E
from varnok_client.languages import lang
from varnok_client.waveform.waveform_register import waveform_register

COMPILED = ["compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict",
            "compiled_sweep_len", "total_sweep_steps"]


@pytest.mark.parametrize("name", COMPILED)
def test_compiled_views_need_a_compilation_then_return_the_stored_object(exp, name):
    assert str(raised(RuntimeError, getattr, exp, name)) == lang.msg("exp_not_compiled")
    exp._Experiment__compiled = 1  # any true flag counts
    assert getattr(exp, name) is vars(exp)["_Experiment__" + name]


@pytest.mark.parametrize(("name", "stored", "expected"), [
    ("compiled_sweep_dict", [], "Expected dict, got list"), ("total_sweep_steps", "5", "Expected int, got str"),
    ("compiled_space_parameter_dict", set(), "Expected dict, got set"),
    ("compiled_waveform_parameter_list", (), "Expected list, got tuple"), ("total_sweep_steps", None, None),
    ("total_sweep_steps", fractions.Fraction(9, 2), 4),  # numbers are converted
])
def test_views_check_or_convert_their_result_type(exp, name, stored, expected):
    exp._Experiment__compiled = True
    setattr(exp, "_Experiment__" + name, stored)
    if isinstance(expected, str):
        assert str(raised(TypeError, getattr, exp, name)) == expected
    else:
        assert getattr(exp, name) == expected and type(getattr(exp, name)) is type(expected)


def test_reset_renews_the_compiled_containers_and_keeps_the_flag_the_total_and_the_timestamp(exp):
    exp._Experiment__compiled, exp._Experiment__total_sweep_steps, exp._Experiment__compile_space_timestamp = 1, 12, 99
    old = {name: getattr(exp, name) for name in COMPILED[:-1]}
    assert exp.reset_compiled_data() is None
    assert exp.is_compiled == 1 and exp.total_sweep_steps == 12 and exp._Experiment__compile_space_timestamp == 99
    assert [getattr(exp, name) for name in COMPILED[:-1]] == [{0: [], 1: [], 2: []}, [], {}, [1, 1, 1]]
    assert all(getattr(exp, name) is not value for name, value in old.items())


def test_group_setter_repoints_then_replaces_the_compiler_and_a_failure_keeps_earlier_steps(monkeypatch, spy_registers,
                                                                                             group):
    exp = E("t", "d", group)
    old, other = exp.gate_compiler, type(group)("other", {})
    exp.group = other
    assert old.group is other and exp.group is other and exp.gate_compiler.group is other
    assert spy_registers.calls[1:] == [("get_gate_compiler", other), ("load_waveforms_for_group", other)]
    compiler = exp.gate_compiler
    exp.group = None  # no compiler is looked up for no group
    assert (exp.group, exp.gate_compiler, compiler.group, len(spy_registers.calls)) == (None, compiler, None, 3)
    for register, method, given in [(gate_compiler_register, "get_gate_compiler", other),
                                    (waveform_register, "load_waveforms_for_group", group)]:
        monkeypatch.setattr(register, method, lambda g: {}[g])
        raised(KeyError, setattr, exp, "group", given)
        assert exp.group is given and compiler.group is given  # the waveforms are loaded after the replacement
        assert (exp.gate_compiler is compiler) == (method == "get_gate_compiler")
        monkeypatch.undo()


class SpyManager:
    """A configuration manager that logs what it is asked; `refuse` names the input or step that fails."""

    def __init__(self, refuse=None):
        self.log, self.user_input, self.refuse = [], {}, refuse

    def input(self, key, value):
        self.validate(key)
        self.user_input = {**self.user_input, key: value}

    def validate(self, step="validate"):
        self.log.append(step)
        if step == self.refuse:
            raise ValueError(step)


@pytest.mark.parametrize(("refuse", "log"), [(None, ["zeta", "alpha", "validate"]), ("alpha", ["zeta", "alpha"]),
                                             ("validate", ["zeta", "alpha", "validate"])])
def test_set_options_inputs_in_order_validates_then_stores_user_input_or_keeps_the_previous(exp, refuse, log):
    manager = exp._Experiment__options_config_manager = SpyManager(refuse)
    before = exp.options
    with pytest.raises(ValueError) if refuse else nullcontext():
        assert exp.set_options(1, "ignored", zeta=2, alpha=1) is None
    assert manager.log == log and exp.options is (before if refuse else manager.user_input)
    if not refuse:
        exp.set_options()
        assert manager.log[-1] == "validate" and exp.options == {"zeta": 2, "alpha": 1}


def overriding(**views):
    """An experiment of a subclass overriding the named properties, each given as a getter or (getter, setter)."""
    members = {name: property(*view) if isinstance(view, tuple) else property(view) for name, view in views.items()}
    return type("Overriding", (E,), members)("t", "d")


def test_a_subclass_mode_is_read_through_its_batch_circuits():
    assert overriding(batch_circuits=lambda self: ["overridden"]).exp_mode == "batch_circuit"


def test_a_subclass_circuit_view_is_not_what_scripts_search():  # the stored circuit is, also in batch mode
    exp = overriding(circuit=lambda self: circuit_of(("X", "q01", 0)))
    exp.append_circuit(circuit_of(("X", "q01", 0, [wave("q01")])))
    for method, selection in [("by_ids", 0), ("by_name", "drive"), ("by_channel", "q01.xy")]:
        failure = raised(RuntimeError, getattr(exp, f"set_waveform_script_{method}"), " q01\t", 0.5, selection, "a", "")
        assert str(failure) == lang.msg("exp_gate_not_found").format("q01", 0)
    exp.set_space_parameter_script("amp", "x = 1")
    assert (vars(exp)["_Experiment__space_parameter_script"], vars(exp)["_Experiment__waveform_script"]) == (
        {"amp": "x = 1"}, [])


def test_the_walk_reads_a_subclass_circuit_group_and_compiler_through_its_views():
    viewed, seen, compiler = circuit_of(("X", "view", 0)), [], SpyCompiler()
    exp = overriding(circuit=lambda self: viewed, gate_compiler=lambda self: compiler,
                     group=(E.group.fget, lambda self, value: seen.append(value)))
    exp._Experiment__wave_circuit.add_gate(("X", "hidden"), 0)
    failure = raised(RuntimeError, exp.fill_empty_wave_gates, Falsy())
    assert str(failure) == lang.msg("exp_gate_no_wave_no_comp").format(0, viewed.gates[0]), "no stored compiler"
    assert compiler.calls == [] and len(seen) == 1 and exp.group is None
    exp._Experiment__gate_compiler = SpyCompiler()
    exp.fill_empty_wave_gates()
    assert compiler.calls == [((("X", "view"),), {"timestamp": None})]
