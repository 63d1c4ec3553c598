"""Compiling space-parameter scripts: the driver's preconditions and order, the
sizing pass and the compile pass, fixed values and space-parameter sweeps."""

import fractions

import numpy as np
import pytest
from support_compile import compile_error, install, lacking, private, scripts, seq, val
from support_editing import SpyCompiler, fresh

from varnok_client.languages import lang
from varnok_client.waveform import WaveGate


def space_scripts(exp, answers):
    """Space parameter k<i> with script s<i> answering answers[i]."""
    evaluator = install(exp, {f"s{i}": answer for i, answer in enumerate(answers)})
    for i in range(len(answers)):
        exp.set_space_parameter_script(f"k{i}", f"s{i}")
    return evaluator


def test_a_missing_group_is_refused_before_anything_changes(exp):
    evaluator, sweep_len = space_scripts(exp, [val(1)]), private(exp, "compiled_sweep_len")
    assert compile_error(exp, RuntimeError, None, 5) == lang.msg("exp_group_not_set")
    assert exp.group is None and evaluator.calls == [] and evaluator.group is None
    assert private(exp, "compile_space_timestamp") is None and private(exp, "compiled_sweep_len") is sweep_len


@pytest.mark.parametrize(
    ("given", "stored"),
    [(-3.9, -3), (None, None), (np.float64(12.7), 12), (fractions.Fraction(25, 2), 12)],
)
def test_the_timestamp_is_truncated_and_handed_to_every_evaluation_and_the_gate_filling(exp, group, given, stored):
    exp.circuit.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 0)
    evaluator = scripts(exp, install(exp), {"a": val(1), "b": val(2)}, [(0, "amp", val(3))])
    exp.group = group
    seen = []  # the scripts evaluated when the gate compiler is called
    gate_compiler = exp._Experiment__gate_compiler = SpyCompiler(lambda p: seen.append(evaluator.scripts()) or fresh(p))
    exp.compile_scripts(space_timestamp=given)
    stamps = [private(exp, "compile_space_timestamp")] + [kwargs["timestamp"] for _, kwargs, _ in evaluator.calls]
    assert [(type(t), t) for t in stamps] == [(type(stored), stored)] * 6
    # a sizing pass and a compile pass over the space scripts, then the waveform scripts
    assert evaluator.calls == [((script,), {"timestamp": stored}, group) for script in ["a", "b", "a", "b", "amp 0"]]
    # empty gates are filled after the space scripts and before the waveform scripts
    assert gate_compiler.calls == [((("X", "q01"),), {"timestamp": stored})] and seen == [["a", "b", "a", "b"]]


def ranges(*pairs):  # a sweep of range(n) on dimension d for each (d, n)
    return [seq(list(range(n)), d) for d, n in pairs]


def another_type(kind):
    return {"type": kind, "dim": 8, "val": 1, "seq": [1, 2]}  # a dimension the sizing pass does not look at


LENGTH = lang.msg("exp_wave_sweep_length_wrong").format
S0 = seq([1, 2], 0)


@pytest.mark.parametrize(
    ("answers", "sweep_len", "swept", "fixed", "error"),
    [  # the sweep is sized by the highest sequence dimension of the first (sizing) answers
        ([], [1, 1, 1], [], {}, None),
        (ranges((2, 2), (1, 2), (0, 2)), [2, 2, 2], [(0, "k2", 2), (1, "k1", 2), (2, "k0", 2)], {}, None),
        (ranges((4, 2), (0, 2)), [2, 1, 1, 1, 2], [(0, "k1", 2), (4, "k0", 2)], {}, None),
        (ranges((31, 2)), [1] * 31 + [2], [(31, "k0", 2)], {}, None),
        ([[{"type": "seq", "dim": 1}, seq([1, 2, 3], 0)]], [3, 1, 1], [(0, "k0", 3)], {}, None),  # reads type, dim
        ([[seq([1, 2], 4), {"type": "val", "dim": 0, "val": 9, "seq": None}]], [1] * 5, [], {"k0": 9}, None),
        ([[val(1, dim=6), seq([1, 2, 3], 0)]], [3, 1, 1], [(0, "k0", 3)], {}, None),  # a value does not size it
        (ranges((32, 2)), None, [], {}, RuntimeError),  # too many dimensions
        # a bad result fails with the host's error before it is recorded
        ([S0, seq([1, 2], -1)], [2, 1, 1], [(0, "k0", 2)], {}, IndexError),
        ([S0, [val(1), seq([1, 2], 3)]], [2, 1, 1], [(0, "k0", 2)], {}, IndexError),  # not seen by the sizing pass
        ([S0, lacking("dim", val(1))], [1, 1, 1], [], {}, KeyError),  # the sizing pass reads type and dim,
        ([S0, [val(1), lacking("seq", val(1))]], [2, 1, 1], [(0, "k0", 2)], {}, KeyError),  # the compile pass all four
        *[([S0, another_type(kind)], [2, 1, 1], [(0, "k0", 2)], {}, lang.msg("exp_space_param_wrong").format("s1"))
          for kind in ("value", None, "VAL")],  # the message names the script
        # sweeps on one dimension must agree in length
        (ranges((0, 5), (0, 5)), [5, 1, 1], [(0, "k0", 5), (0, "k1", 5)], {}, None),
        (ranges((0, 1), (0, 5)), [5, 1, 1], [(0, "k0", 1), (0, "k1", 5)], {}, None),  # one value leaves it open
        (ranges((1, 0), (1, 0)), [1, 0, 1], [(1, "k0", 0), (1, "k1", 0)], {}, None),  # an empty sweep sets 0
        (ranges((0, 5), (0, 1)), [5, 1, 1], [(0, "k0", 5)], {}, LENGTH(0)),  # a set length is not reopened
        (ranges((0, 2), (2, 3), (2, 4)), [2, 1, 3], [(0, "k0", 2), (2, "k1", 3)], {}, LENGTH(2)),
    ],
)
def test_the_sizing_and_compile_passes_record_sweeps_and_fixed_values_or_fail(exp, group, answers, sweep_len, swept,
                                                                               fixed, error):
    evaluator, initial = space_scripts(exp, answers), private(exp, "compiled_sweep_len")
    if error is None:
        exp.compile_scripts(group)
    else:
        message = compile_error(exp, RuntimeError if isinstance(error, str) else error, group)
        assert not isinstance(error, str) or message == error
    if sweep_len is None:  # refused while sizing
        assert private(exp, "compiled_sweep_len") is initial and evaluator.scripts() == ["s0"]
        return
    sweep_dict = private(exp, "compiled_sweep_dict")
    assert private(exp, "compiled_sweep_len") == sweep_len and list(sweep_dict) == list(range(len(sweep_len)))
    assert len({id(entries) for entries in sweep_dict.values()}) == len(sweep_len)
    assert [(d, e["t"], e["key"], e["len"], e["dim"]) for d, entries in sweep_dict.items() for e in entries] == [
        (d, "p", key, n, d) for d, key, n in swept] and private(exp, "compiled_space_parameter_dict") == fixed


@pytest.mark.parametrize("batch", [False, True])
def test_a_fixed_value_is_recorded_unconverted_and_set_on_the_group_also_in_batch_mode(exp, group, batch):
    array = np.array([1.0, 2.0])
    evaluator = space_scripts(exp, [val(array), val("text")])
    if batch:
        exp.clear_batch_circuits()
    exp.compile_scripts(group)
    assert list(exp.compiled_space_parameter_dict) == ["k0", "k1"] and group.temporary_parameters["k1"] == "text"
    assert exp.compiled_space_parameter_dict["k0"] is array and group.temporary_parameters["k0"] is array
    assert all(e["t"] == "c" for entries in exp.compiled_sweep_dict.values() for e in entries)  # fixed: no sweep
    if batch:  # a sweep is refused after the sizing pass
        evaluator.answers["s2"] = seq(np.array([1, 2]), 4)
        exp.set_space_parameter_script("k2", "s2")
        assert compile_error(exp, RuntimeError, group) == (
            "Current experiment is set as `batch_circuit` mode, hence cannot set space parameter script.")
        assert private(exp, "compiled_sweep_len") == [1, 1, 1, 1, 1]
        assert not any(private(exp, "compiled_sweep_dict").values())


@pytest.mark.parametrize(("given", "stored"), [((1, 2, 3), None), (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]])])
def test_a_sweep_entry_holds_key_values_length_and_dimension(exp, group, given, stored):
    space_scripts(exp, [seq(given, 0)])
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[0]
    assert list(entry.items()) == [
        ("t", "p"), ("key", "k0"), ("value", stored or given), ("len", len(given)), ("dim", 0)]
    # other sequences are kept as returned, numpy arrays become nested lists of plain numbers
    assert entry["value"] is given if stored is None else [type(v) for v in entry["value"][0]] == [int, int]
