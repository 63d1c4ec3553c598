"""Compiling space-parameter scripts: the driver's preconditions and order, the
sizing pass and the compile pass, fixed values and space-parameter sweeps."""

import fractions

import numpy as np
import pytest
from support_compile import compile_error, install, lacking, private, seq, three_waves, val

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate


def space_scripts(exp, answers):
    """Space parameter k<i> with script s<i> answering answers[i]."""
    evaluator = install(exp, {f"s{i}": answer for i, answer in enumerate(answers)})
    for i in range(len(answers)):
        exp.set_space_parameter_script(f"k{i}", f"s{i}")
    return evaluator


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [((None, 5), RuntimeError, lang.msg("exp_group_not_set")),
     (("group", "12"), TypeError, "Argument 'space_timestamp' has incorrect type (expected int, got str)"),
     (("group", [12]), TypeError, "Argument 'space_timestamp' has incorrect type (expected int, got list)")],
)
def test_a_missing_group_or_a_timestamp_that_is_no_number_is_refused_before_anything_changes(
        exp, group, args, error, message):
    evaluator = space_scripts(exp, [val(1)])
    sweep_len = private(exp, "compiled_sweep_len")
    args = tuple(group if a == "group" else a for a in args)
    assert compile_error(exp, error, *args) == message
    assert exp.group is None and evaluator.calls == [] and evaluator.group is None
    assert private(exp, "compile_space_timestamp") is None and exp.is_compiled is False
    assert private(exp, "compiled_sweep_len") is sweep_len


@pytest.mark.parametrize("by_keyword", [False, True])
def test_a_group_argument_replaces_the_experiments_group_before_evaluation(group, spy_registers, by_keyword):
    exp = Experiment("title", "description", group)
    new_group = Group("other", {})
    evaluator = install(exp, {"s": val(1), "bad": RuntimeError("evaluation failed")})
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "bad")
    spy_registers.calls.clear()
    with pytest.raises(RuntimeError, match="evaluation failed"):
        exp.compile_scripts(group=new_group) if by_keyword else exp.compile_scripts(new_group)
    # the group setter ran with all of its effects, and the group stays after the failure
    assert exp.group is new_group and [g for _, _, g in evaluator.calls] == [new_group, new_group]
    assert spy_registers.calls == [("get_gate_compiler", new_group), ("load_waveforms_for_group", new_group)]


class RecordingGateCompiler:
    compiler_name = "recording"

    def __init__(self, evaluator):
        self.evaluator, self.calls = evaluator, []

    def compile(self, *args, **kwargs):
        self.calls.append((args, kwargs, self.evaluator.scripts()))
        circuit = WaveCircuit()
        circuit.add_gate(args[0], 0, three_waves()[:1])
        return circuit.export_wave_package()


@pytest.mark.parametrize(
    ("given", "stored"),
    [(12.7, 12), (-3.9, -3), (None, None), (np.float64(12.7), 12), (np.int64(5), 5), (fractions.Fraction(25, 2), 12)],
)
def test_the_timestamp_is_truncated_and_handed_to_every_evaluation_and_the_gate_filling(exp, group, given, stored):
    evaluator = install(exp, {"s": val(1), "t": val(2), "w": val(3)})
    exp.circuit.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 0)
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "t")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.group = group
    exp._Experiment__gate_compiler = gate_compiler = RecordingGateCompiler(evaluator)
    exp.compile_scripts(space_timestamp=given)
    timestamp = private(exp, "compile_space_timestamp")
    assert timestamp == stored and type(timestamp) is type(stored)
    # a sizing pass and a compile pass over the space scripts, then the waveform scripts
    assert evaluator.calls == [((script,), {"timestamp": stored}, group) for script in ["s", "t", "s", "t", "w"]]
    assert all(type(kwargs["timestamp"]) is type(stored) for _, kwargs, _ in evaluator.calls)
    # empty gates are filled after the space scripts and before the waveform scripts
    assert gate_compiler.calls == [((("X", "q01"),), {"timestamp": stored}, ["s", "t", "s", "t"])]
    assert len(exp.circuit.gates[0].waves) == 1


def test_documentation_text():
    assert Experiment.compile_scripts.__doc__.split("\n\n", 1)[1] == (
        "Compile the user scripts\nArgs:\n    group: the Group instance\n"
        "    space_timestamp: optional space snapshot time; passed to space()/gate compile"
    )


@pytest.mark.parametrize(
    ("answers", "sweep_len"),
    [
        ([], [1, 1, 1]),
        ([seq([1, 2], 2), seq([1, 2], 1), seq([1, 2], 0)], [2, 2, 2]),
        ([seq([1, 2], 4), seq([1, 2], 0)], [2, 1, 1, 1, 2]),
        ([seq([1, 2], 31)], [1] * 31 + [2]),
        ([[{"type": "seq", "dim": 1}, seq([1, 2, 3], 0)]], [3, 1, 1]),  # the sizing pass reads only type and dim
        ([[seq([1, 2], 4), {"type": "val", "dim": 0, "val": 9, "seq": None}]], [1] * 5),  # the second answer is used
        ([[val(1, dim=6), seq([1, 2, 3], 0)]], [3, 1, 1]),  # a value does not size the sweep
        ([seq([1, 2], 32)], None),  # 32 dimensions or more are refused while sizing
        ([seq([1, 2], 1000)], None),
    ],
)
def test_the_sweep_is_sized_by_the_highest_sequence_dimension_of_the_first_answers(exp, group, answers, sweep_len):
    evaluator = space_scripts(exp, answers)
    if sweep_len is None:
        initial = private(exp, "compiled_sweep_len")
        compile_error(exp, RuntimeError, group)
        assert private(exp, "compiled_sweep_len") is initial and evaluator.scripts() == ["s0"]
        return
    exp.compile_scripts(group)
    final = [a[-1] if isinstance(a, list) else a for a in answers]
    sweep_dict = exp.compiled_sweep_dict
    assert exp.compiled_sweep_len == sweep_len and list(sweep_dict) == list(range(len(sweep_len)))
    assert len({id(entries) for entries in sweep_dict.values()}) == len(sweep_len)
    assert all(e["dim"] == d for d, entries in sweep_dict.items() for e in entries)
    assert sum(map(len, sweep_dict.values())) == sum(a["type"] == "seq" for a in final)
    assert exp.compiled_space_parameter_dict == {f"k{i}": a["val"] for i, a in enumerate(final) if a["type"] == "val"}


@pytest.mark.parametrize(
    ("answers", "error", "sized"),
    [
        (seq([1, 2], -1), IndexError, True),
        ([val(1), seq([1, 2], 3)], IndexError, True),  # a dimension that the sizing pass did not see
        ([val(1), seq([1, 2], -1)], IndexError, True),
        (lacking("type", val(1)), KeyError, False),  # the sizing pass reads type and dim
        (lacking("dim", val(1)), KeyError, False),
        ([val(1), lacking("val", seq([1], 0))], KeyError, True),  # the compile pass reads all four keys
        ([val(1), lacking("seq", val(1))], KeyError, True),
    ],
)
def test_a_bad_dimension_or_missing_key_fails_with_the_hosts_error_before_recording(exp, group, answers, error, sized):
    space_scripts(exp, [seq([1, 2], 0), answers])
    compile_error(exp, error, group)
    assert private(exp, "compiled_sweep_len") == ([2, 1, 1] if sized else [1, 1, 1])
    recorded = [[e["key"] for e in v] for v in private(exp, "compiled_sweep_dict").values()]
    assert recorded == [["k0"] if sized else [], [], []] and private(exp, "compiled_space_parameter_dict") == {}


@pytest.mark.parametrize("batch", [False, True])
def test_a_fixed_value_is_recorded_unconverted_and_set_on_the_group_also_in_batch_mode(exp, group, batch):
    array = np.array([1.0, 2.0])
    evaluator = space_scripts(exp, [val(array), val("text")])
    if batch:
        exp.clear_batch_circuits()
    exp.compile_scripts(group)
    assert list(exp.compiled_space_parameter_dict) == ["k0", "k1"] and group.temporary_parameters["k1"] == "text"
    assert exp.compiled_space_parameter_dict["k0"] is array and group.temporary_parameters["k0"] is array
    assert [e["t"] for entries in exp.compiled_sweep_dict.values() for e in entries] == (["c"] if batch else [])
    assert exp.compiled_sweep_len == [0 if batch else 1, 1, 1]
    if batch:  # a sweep is refused after the sizing pass
        evaluator.answers["s2"] = seq(np.array([1, 2]), 4)
        exp.set_space_parameter_script("k2", "s2")
        assert compile_error(exp, RuntimeError, group) == (
            "Current experiment is set as `batch_circuit` mode, hence cannot set space parameter script.")
        assert private(exp, "compiled_sweep_len") == [1, 1, 1, 1, 1]
        assert all(entries == [] for entries in private(exp, "compiled_sweep_dict").values())


@pytest.mark.parametrize(
    ("given", "stored"),
    [([0.1, 0.2, 0.3], None), ((1, 2, 3), None), ("abc", None), (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]]),
     (np.linspace(0, 1, 3), [0.0, 0.5, 1.0]), (np.array([], dtype=float), [])],
)
def test_a_sweep_entry_holds_key_values_length_and_dimension(exp, group, given, stored):
    space_scripts(exp, [seq(given, 0)])
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[0]
    n, expected = len(given), given if stored is None else stored
    assert list(entry.items()) == [("t", "p"), ("key", "k0"), ("value", expected), ("len", n), ("dim", 0)]
    if stored is None:  # other sequences are kept as returned, numpy arrays become nested lists
        assert entry["value"] is given
    else:
        assert type(entry["value"]) is list and [type(v) for v in entry["value"]] == [type(v) for v in stored]
    assert exp.compiled_sweep_len == [n, 1, 1] and exp.compiled_space_parameter_dict == {}


@pytest.mark.parametrize(
    ("sweeps", "sweep_len", "failing_dim"),
    [
        ([(0, 5), (0, 5)], [5, 1, 1], None),
        ([(0, 1), (0, 5)], [5, 1, 1], None),  # a single value leaves the dimension open
        ([(1, 0), (1, 0)], [1, 0, 1], None),  # an empty sweep sets the length 0
        ([(0, 5), (0, 1)], [5, 1, 1], 0),  # a set length is not reopened by a single value
        ([(1, 0), (1, 3)], [1, 0, 1], 1),
        ([(0, 2), (2, 3), (2, 4)], [2, 1, 3], 2),
    ],
)
def test_sweeps_on_one_dimension_must_agree_in_length(exp, group, sweeps, sweep_len, failing_dim):
    space_scripts(exp, [seq(list(range(n)), d) for d, n in sweeps])
    if failing_dim is None:
        exp.compile_scripts(group)
    else:
        message = compile_error(exp, RuntimeError, group)
        assert message == lang.msg("exp_wave_sweep_length_wrong").format(failing_dim)
        sweeps = sweeps[:-1]
    assert private(exp, "compiled_sweep_len") == sweep_len
    recorded = {d: [(e["key"], e["len"]) for e in entries] for d, entries in private(exp, "compiled_sweep_dict").items()}
    assert recorded == {d: [(f"k{i}", n) for i, (dd, n) in enumerate(sweeps) if dd == d] for d in range(3)}


@pytest.mark.parametrize("kind", ["value", None, "VAL"])
def test_a_result_of_another_type_is_refused_naming_the_script(exp, group, kind):
    install(exp, {"  make(1)  ": {"type": kind, "dim": 8, "val": 1, "seq": [1, 2]}, "ok": seq([1, 2], 0)})
    exp.set_space_parameter_script("ok", "ok")
    exp.set_space_parameter_script("odd", "\n  make(1)  \n")
    assert compile_error(exp, RuntimeError, group) == lang.msg("exp_space_param_wrong").format("  make(1)  ")
    assert private(exp, "compiled_sweep_len") == [2, 1, 1]  # the sizing pass ignored dimension 8
