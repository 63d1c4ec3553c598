"""Round trips through the serialized form and JSON text, cloning and trial validation (hostile and deeply
nested input to deserialize: test_hostile_callers; arbitrary data: test_fuzz_properties)."""

import copy
import json

import pytest
from support_collaborators import raised
from support_persistence import CALIBRATION, build_batch, build_normal, make_group

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.utils.script_evaluator import ScriptError


class SpyGroup(Group):
    """A real group that logs what a trial compilation writes to it, and can be made to fail."""

    def __init__(self, fail=None, clear_error=None):
        super().__init__("spy", dict(CALIBRATION))
        self.log, self.fail, self.clear_error = [], fail or {}, clear_error

    def set_temporary_parameter(self, key, value):
        self.log.append(("set", key, value))
        if key in self.fail:
            raise self.fail[key]
        super().set_temporary_parameter(key, value)

    def clear_temporary_parameters(self, *args, **kwargs):
        self.log.append(("clear", args, kwargs))
        if self.clear_error is not None:
            raise self.clear_error
        super().clear_temporary_parameters()


# ---- round trips and clones ------------------------------------------------------------------


@pytest.mark.parametrize("builder", [build_normal, build_batch])
def test_json_round_trip_rebuilds_an_equal_experiment_without_compiled_state_or_space(builder):
    exp, group = builder(make_group()), make_group()
    exp.compile_scripts()
    text = json.dumps(exp.serialize(), allow_nan=False)
    assert json.loads(text)["waveform_script"], "the experiment carries waveform scripts"
    back = Experiment.deserialize(json.loads(text), group)
    assert type(back) is Experiment and json.dumps(back.serialize(), allow_nan=False) == text
    # (that the restored circuits and options are the copy's own: the clone test, clone restores the same way)
    assert (back.exp_mode, back.group, back.is_compiled) == (exp.exp_mode, group, False)
    assert back.gate_compiler is not None
    exp.space = {"snapshot": "now"}  # a space snapshot is not restored; without a group no compiler is made
    back = Experiment.deserialize(exp.serialize())
    assert back.serialize() == {**exp.serialize(), "space": None} and back.gate_compiler is None
    exp.options["shots"] = -5  # the option definitions refuse it when it is replayed
    raised(ValueError, Experiment.deserialize, exp.serialize())


@pytest.mark.parametrize("builder", [build_normal, build_batch])
def test_clone_is_independent_but_shares_the_pass_through_values(builder):
    exp = builder()
    exp.template = ["shared"]
    before = copy.deepcopy(exp.serialize())
    twin = exp.clone()
    assert type(twin) is Experiment and twin.serialize() == before
    assert (twin.group, twin.gate_compiler, twin.is_compiled) == (None, None, False)
    for circuit in [exp.circuit, *(exp.batch_circuits or [])]:  # a shared object would show the edits in the twin
        circuit.add_gate(("Y", "q01"), 4)
    exp.circuit.gates[0].waves[0].t0 = 99.0
    exp.set_space_parameter_script("fixed", "0.1")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "0.9")
    exp.set_options(shots=2)
    assert twin.serialize() == before
    assert all(getattr(twin, key) is getattr(exp, key) for key in ("template", "template_data", "info", "attachment"))


def test_clone_and_valid_go_through_the_experiments_own_methods_and_valid_needs_a_group():
    seen = []
    traced = type("Traced", (Experiment,), {
        "serialize": lambda self: seen.append("serialize") or {**Experiment.serialize(self), "title": "traced"},
        "deserialize": staticmethod(lambda data, group=None: (seen.append((data["title"], group)),
                                                               Experiment.deserialize(data, group))[1]),
        "compile_scripts": lambda self, **kw: seen.append("compile")})
    twin = traced("t", "d", make_group()).clone()  # restored without a group
    assert seen == ["serialize", ("traced", None)] and type(twin) is Experiment and twin.title == "traced"
    seen.clear()
    assert str(raised(RuntimeError, traced("t", "d").valid)) == "Group is not set." and seen == []  # before anything


# ---- valid -------------------------------------------------------------------------------------


@pytest.mark.parametrize(("fails_in", "clear_error", "notes"), [
    (None, None, 0), ("space", None, 0), ("waveform", None, 0), ("space", KeyError("clearing broke"), 1),
    (None, LookupError("clearing broke"), 0)])
def test_valid_compiles_a_trial_copy_clears_the_group_and_raises_the_first_error(fails_in, clear_error, notes):
    failure = ArithmeticError("no late value")
    exp = build_normal(group := SpyGroup({"late": failure} if fails_in == "space" else {}, clear_error))
    exp.set_space_parameter_script("late", "0.2")  # set after "fixed", so the trial leaves "fixed" on the group
    if fails_in == "waveform":
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "no_such_name")
    if fails_in is None:
        exp.compile_scripts()  # the experiment's own compiled state must survive the trial
    state = lambda: (exp.serialize(), exp.is_compiled, exp.is_compiled and list(exp.compiled_sweep_len))  # noqa: E731
    before, expected = copy.deepcopy(state()), {"space": failure, "waveform": ScriptError, None: clear_error}[fails_in]
    group.log.clear()
    if expected is None:
        assert exp.valid() is None
    else:
        failure = raised(Exception, exp.valid)
        assert failure is expected if isinstance(expected, BaseException) else type(failure) is expected
        assert len(getattr(failure, "__notes__", [])) == notes
    assert ("set", "fixed", 0.7) in group.log and group.log[-1] == ("clear", (), {})
    assert [entry[0] for entry in group.log].count("clear") == 1 and exp.group is group and state() == before
    if clear_error is None:
        assert dict(group.temporary_parameters) == {}
