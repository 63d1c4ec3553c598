"""The end of a compilation: the order of swept dimensions, the step count, the
batch-circuit sweep, the compiled flag, and what a failed or repeated
compilation leaves behind."""

import types

import pytest
from support_compile import compile_error, install, private, seq, space_sweeps, three_waves, val

from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate


@pytest.fixture
def setup(exp):
    """An experiment with a fake evaluator and gate X (three waves) on q01 in layer 0."""
    exp.circuit.add_gate(("X", "q01"), 0, three_waves())
    return exp, install(exp)


@pytest.mark.parametrize(
    ("lengths", "steps"),
    [([1, 1, 1], 1), ([5, 3, 2], 30), ([0, 3, 1], 3), ([0, 0, 0], 1), ([1, 0, 4], 4), ([2, 1, 1, 7], 2),
     ([2, 3, 4, 5, 6], 24), ([1, 1, 4], None), ([5, 1, 4], None), ([1, 3, 1], None), ([1, 3, 4], None),
     ([1, 1, 2, 7], None), ([0, 1, 2], None)],
)
def test_swept_dimensions_must_come_first_and_give_the_product_of_their_lengths(setup, group, lengths, steps):
    exp, evaluator = setup
    space_sweeps(exp, evaluator, lengths)
    if steps is None:
        assert compile_error(exp, RuntimeError, group) == lang.msg("exp_sweep_dim_wrong")
        assert private(exp, "total_sweep_steps") == 1 and exp.is_compiled is False
    else:
        exp.compile_scripts(group)
        assert exp.total_sweep_steps == steps and type(exp.total_sweep_steps) is int and exp.is_compiled is True
        assert list(exp.compiled_sweep_dict) == list(range(len(lengths)))
    assert private(exp, "compiled_sweep_len") == lengths


@pytest.mark.parametrize("count", [0, 3])
def test_batch_circuits_become_the_sweep_of_dimension_zero(exp, group, count):
    # sized by a sequence on dimension 3, recorded as a fixed value: batch mode accepts it
    install(exp, {"s": [seq([1, 2], 3), val(2)]})
    exp.set_space_parameter_script("a", "s")
    exp.clear_batch_circuits()
    for _ in range(count):
        exp.append_circuit(WaveCircuit())
        exp.batch_circuits[-1].add_gate(("X", "q01"), 0, three_waves()[:1])
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [count, 1, 1, 1] and exp.total_sweep_steps == count
    assert [list(e.items()) for e in exp.compiled_sweep_dict[0]] == [
        [("t", "c"), ("len", count), ("dim", 0), ("value", list(range(count))), ("key", "Circuit ID")]]
    assert list(exp.compiled_sweep_dict) == [0, 1, 2, 3] and exp.compiled_sweep_dict[1] == []
    assert exp.compiled_space_parameter_dict == {"a": 2} and exp.is_compiled is True


ERROR = ZeroDivisionError("in the script")


def add_failure(exp, evaluator, stage):
    """Scripts that make a compilation fail at ``stage``."""
    if stage == "space":
        evaluator.answers["bad space"] = {"type": "x", "dim": 0, "val": 0, "seq": None}
        exp.set_space_parameter_script("c", "bad space")
    elif stage == "fill":  # an empty gate that the group's gate compiler has no calibration for
        exp.circuit.add_wave_gate_obj(WaveGate(("Y", "q02"), 1), 1)
    elif stage in ("waveform", "evaluation"):
        evaluator.answers["bad wave"] = val(1) if stage == "waveform" else ERROR
        exp.set_waveform_script_by_ids("q01", 0, 9 if stage == "waveform" else 0, "phase", "bad wave")
    else:  # a waveform sweep on dimension 2 while dimension 1 is not swept
        evaluator.answers["late"] = seq([1, 2, 3], 2)
        exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "late")


@pytest.mark.parametrize("again", [False, True])
@pytest.mark.parametrize("stage", ["space", "fill", "waveform", "evaluation", "order"])
def test_a_failed_compilation_keeps_the_flag_the_total_and_everything_done_before_the_failure(setup, stage, again):
    exp, evaluator = setup
    group = Group("demo", {})
    evaluator.answers.update({"fixed space": val(3), "swept space": seq([1, 2], 0), "w": val(0.5)})
    exp.set_space_parameter_script("a", "fixed space")
    exp.set_space_parameter_script("b", "swept space")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    if again:
        exp.compile_scripts(group)
    add_failure(exp, evaluator, stage)
    with pytest.raises(ZeroDivisionError if stage == "evaluation" else RuntimeError) as info:
        exp.compile_scripts(group, 4.5)
    assert stage != "evaluation" or info.value is ERROR  # evaluator errors propagate unchanged
    assert exp.is_compiled is again and private(exp, "total_sweep_steps") == (2 if again else 1)
    assert exp.group is group and evaluator.group is group and private(exp, "compile_space_timestamp") == 4
    assert dict(group.temporary_parameters) == private(exp, "compiled_space_parameter_dict") == {"a": 3}
    assert [e["key"] for e in private(exp, "compiled_sweep_dict")[0]] == ["b"]
    assert private(exp, "compiled_sweep_len")[0] == 2
    fixed = [e["parameter"] for e in private(exp, "compiled_waveform_parameter_list")]
    assert fixed == ["amp"] * again + ([] if stage in ("space", "fill") else ["amp"])
    if stage == "order":  # everything was recorded before the order was checked
        assert [e["t"] for e in private(exp, "compiled_sweep_dict")[2]] == ["w"]
    if not again:
        with pytest.raises(RuntimeError, match=lang.msg("exp_not_compiled")):
            exp.compiled_sweep_len


def test_compiling_again_adds_fixed_entries_and_rebuilds_the_sweep_until_reset(setup, group):
    exp, evaluator = setup
    evaluator.answers.update({"s": val(1), "t": seq([1, 2], 0), "w1": val(0.1), "w2": seq([5, 6], 0), "w3": val(0.3)})
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "t")
    for ids, parameter, script in [(0, "amp", "w1"), (0, "phase", "w2"), (1, "amp", "w3")]:
        exp.set_waveform_script_by_ids("q01", 0, ids, parameter, script)
    exp.compile_scripts(group)
    fixed, sweep_len, sweep_dict = exp.compiled_waveform_parameter_list, exp.compiled_sweep_len, exp.compiled_sweep_dict
    for name in ["compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict"]:
        assert getattr(exp, name) is private(exp, name)  # users see the stored data
    evaluator.answers.update({"w1": val(0.9), "s": seq([3, 4], 0), "t": val(5), "u": seq([1, 2, 3], 1)})
    exp.set_space_parameter_script("c", "u")
    assert exp.compiled_sweep_len is sweep_len and exp.total_sweep_steps == 2  # edits need a compilation
    exp.compile_scripts(group)
    assert exp.compiled_waveform_parameter_list is fixed
    assert [(e["parameter"], e["value"]) for e in fixed] == [("amp", 0.1), ("amp", 0.3), ("amp", 0.9), ("amp", 0.3)]
    assert exp.compiled_sweep_len is not sweep_len and exp.compiled_sweep_dict is not sweep_dict
    assert exp.compiled_sweep_len == [2, 3, 1] and exp.total_sweep_steps == 6
    assert [e["t"] for e in exp.compiled_sweep_dict[0]] == ["p", "w"]
    assert exp.compiled_space_parameter_dict == {"a": 1, "b": 5}  # overwritten by key, never removed
    exp.reset_compiled_data()
    exp.compile_scripts(group)
    assert [e["value"] for e in exp.compiled_waveform_parameter_list] == [0.9, 0.3]


def test_results_may_be_any_mapping(setup, group):
    exp, evaluator = setup
    for name, answer in [("s", seq([1, 2], 0)), ("t", val(3)), ("w", val(0.5, use_space=["a"]))]:
        evaluator.answers[name] = types.MappingProxyType(answer)
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "t")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [2, 1, 1] and exp.compiled_space_parameter_dict == {"b": 3}
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] == "w"
