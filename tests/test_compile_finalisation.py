"""The end of a compilation: the order of swept dimensions, the step count, the
batch-circuit sweep, the compiled flag, and what a failed or repeated
compilation leaves behind."""

import pytest
from support_collaborators import raised
from support_compile import compile_error, install, private, scripts, seq, space_sweeps, three_waves, val

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
    [([1, 1, 1], 1), ([5, 3, 2], 30), ([0, 3, 1], 3), ([1, 0, 4], 4), ([2, 3, 4, 5, 6], 24), ([1, 1, 4], None),
     ([5, 1, 4], None), ([1, 3, 1], None), ([0, 1, 2], None)],
)
def test_swept_dimensions_must_come_first_and_give_the_product_of_their_lengths(setup, group, lengths, steps):
    exp, evaluator = setup
    space_sweeps(exp, evaluator, lengths)
    if steps is None:
        assert compile_error(exp, RuntimeError, group) == lang.msg("exp_sweep_dim_wrong")
    else:
        exp.compile_scripts(group)
        assert list(exp.compiled_sweep_dict) == list(range(len(lengths)))
    total, sweep_len = private(exp, "total_sweep_steps"), private(exp, "compiled_sweep_len")
    assert (total, type(total), exp.is_compiled, sweep_len) == (steps or 1, int, steps is not None, lengths)


@pytest.mark.parametrize("count", [0, 3])
def test_batch_circuits_become_the_sweep_of_dimension_zero(exp, group, count):
    # sized by a sequence on dimension 3, recorded as a fixed value: batch mode accepts it
    scripts(exp, install(exp), {"a": [seq([1, 2], 3), val(2)]})
    exp.clear_batch_circuits()
    for _ in range(count):
        exp.append_circuit(WaveCircuit())
        exp.batch_circuits[-1].add_gate(("X", "q01"), 0, three_waves()[:1])
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [count, 1, 1, 1] and exp.total_sweep_steps == count and exp.is_compiled is True
    assert {d: [list(e.items()) for e in es] for d, es in exp.compiled_sweep_dict.items()} == {
        0: [[("t", "c"), ("len", count), ("dim", 0), ("value", list(range(count))), ("key", "Circuit ID")]],
        1: [], 2: [], 3: []}
    assert exp.compiled_space_parameter_dict == {"a": 2}


ERROR = ZeroDivisionError("in the script")


def add_failure(exp, evaluator, stage):
    if stage == "fill":  # an empty gate that the group's gate compiler has no calibration for
        exp.circuit.add_wave_gate_obj(WaveGate(("Y", "q02"), 1), 1)
    else:  # a result of no known type, a missing wave, a failing evaluation, or a sweep on 2 while 1 is not swept
        scripts(exp, evaluator, *{"space": ({"c": {"type": "x", "dim": 0, "val": 0, "seq": None}}, []),
                                  "waveform": ({}, [(9, "phase", val(1))]), "evaluation": ({}, [(0, "phase", ERROR)]),
                                  "order": ({}, [(1, "amp", seq([1, 2, 3], 2))])}[stage])


@pytest.mark.parametrize("again", [False, True])
@pytest.mark.parametrize("stage", ["space", "fill", "waveform", "evaluation", "order"])
def test_a_failed_compilation_keeps_the_flag_the_total_and_everything_done_before_the_failure(setup, stage, again):
    exp, evaluator = setup
    group = Group("demo", {})
    scripts(exp, evaluator, {"a": val(3), "b": seq([1, 2], 0)}, [(0, "amp", val(0.5))])
    if again:
        exp.compile_scripts(group)
    add_failure(exp, evaluator, stage)
    failure = raised(ZeroDivisionError if stage == "evaluation" else RuntimeError, exp.compile_scripts, group, 4.5)
    assert stage != "evaluation" or failure is ERROR  # evaluator errors propagate unchanged
    assert exp.is_compiled is again and private(exp, "total_sweep_steps") == (2 if again else 1)
    assert exp.group is group is evaluator.group is exp.gate_compiler.group  # adopted through the setter
    assert dict(group.temporary_parameters) == private(exp, "compiled_space_parameter_dict") == {"a": 3}
    sweep_dict, sweep_len = private(exp, "compiled_sweep_dict"), private(exp, "compiled_sweep_len")
    timestamp = private(exp, "compile_space_timestamp")
    assert (timestamp, [e["key"] for e in sweep_dict[0]], sweep_len[0]) == (4, ["b"], 2)
    fixed = [e["parameter"] for e in private(exp, "compiled_waveform_parameter_list")]
    assert fixed == ["amp"] * again + ([] if stage in ("space", "fill") else ["amp"])
    assert [e["t"] for e in sweep_dict[2]] == ["w"] * (stage == "order")  # recorded before the order was checked


def test_compiling_again_adds_fixed_entries_and_rebuilds_the_sweep(setup, group):
    exp, evaluator = setup
    scripts(exp, evaluator, {"a": val(1), "b": seq([1, 2], 0)},
            [(0, "amp", val(0.1)), (0, "phase", seq([5, 6], 0)), (1, "amp", val(0.3))])
    exp.compile_scripts(group)
    fixed, sweep_len, sweep_dict = exp.compiled_waveform_parameter_list, exp.compiled_sweep_len, exp.compiled_sweep_dict
    evaluator.answers.update({"amp 0": val(0.9), "a": seq([3, 4], 0), "b": val(5)})
    scripts(exp, evaluator, {"c": seq([1, 2, 3], 1)})
    assert exp.compiled_sweep_len is sweep_len and exp.total_sweep_steps == 2  # edits need a compilation
    exp.compile_scripts(group)
    assert exp.compiled_waveform_parameter_list is fixed
    assert [(e["parameter"], e["value"]) for e in fixed] == [("amp", 0.1), ("amp", 0.3), ("amp", 0.9), ("amp", 0.3)]
    assert exp.compiled_sweep_len is not sweep_len and exp.compiled_sweep_dict is not sweep_dict
    assert (exp.compiled_sweep_len, exp.total_sweep_steps, [e["t"] for e in exp.compiled_sweep_dict[0]]) == (
        [2, 3, 1], 6, ["p", "w"])
    assert exp.compiled_space_parameter_dict == {"a": 1, "b": 5}  # overwritten by key, never removed
