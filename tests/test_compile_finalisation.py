"""The end of a compilation: the order of swept dimensions, the step count, the
batch-circuit sweep, the compiled flag, and what a failed or repeated
compilation leaves behind."""

import types

import numpy as np
import pytest

from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate
from varnok_client.waveform.waveform_register import waveform_register


class FakeEvaluator:
    """Answers each script from a table and records every call.

    An answer is a result mapping (or any object), an exception to raise, or a
    list of those handed out one per call.
    """

    def __init__(self, answers):
        self.group = None
        self.answers = answers
        self.calls = []

    def evaluate(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        answer = self.answers[args[0]]
        if isinstance(answer, list):
            answer = answer.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def scripts(self):
        return [args[0] for args, _ in self.calls]


def val(value, use_space=()):
    return {"type": "val", "dim": 0, "val": value, "seq": None, "use_space": list(use_space)}


def seq(values, dim, use_space=()):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": list(use_space)}


def private(exp, name):
    return vars(exp)["_Experiment__" + name]


def wave(channel="q01.xy", name="drive"):
    return waveform_register.create("square", channel, name=name, width=20.0)


@pytest.fixture
def setup(exp):
    """An experiment with a fake evaluator and gate X (two waves) on q01 in layer 0."""
    evaluator = FakeEvaluator({})
    exp._Experiment__script_evaluator = evaluator
    exp.circuit.add_gate(("X", "q01"), 0, [wave(), wave("q01.z", "flux")])
    return exp, evaluator


def sweep_lengths(exp, evaluator, lengths):
    """One space-parameter sweep per dimension whose length is not 1."""
    for dim, n in enumerate(lengths):
        if n != 1:
            evaluator.answers[f"space{dim}"] = seq(list(range(n)), dim)
            exp.set_space_parameter_script(f"p{dim}", f"space{dim}")


def batch_circuit():
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0, [wave()])
    return circuit


# ---------------------------------------------------------------------------
# Order rule and step count
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("lengths", "steps"),
    [
        ([1, 1, 1], 1),
        ([5, 1, 1], 5),
        ([5, 3, 1], 15),
        ([5, 3, 2], 30),
        ([0, 3, 1], 3),
        ([0, 1, 1], 1),
        ([0, 0, 0], 1),
        ([1, 0, 4], 4),
        ([0, 3, 4], 12),
        ([2, 1, 1, 7], 2),
        ([1, 1, 1, 7], 1),
        ([2, 3, 4, 5, 6], 24),
    ],
)
def test_swept_dimensions_in_order_give_the_product_of_their_lengths(setup, group, lengths, steps):
    exp, evaluator = setup
    sweep_lengths(exp, evaluator, lengths)
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == lengths
    assert exp.total_sweep_steps == steps and type(exp.total_sweep_steps) is int
    assert exp.is_compiled is True


@pytest.mark.parametrize("lengths", [[1, 1, 4], [5, 1, 4], [1, 3, 1], [1, 3, 4], [1, 1, 2, 7], [0, 1, 2]])
def test_a_swept_dimension_after_an_unswept_one_is_refused(setup, group, lengths):
    exp, evaluator = setup
    sweep_lengths(exp, evaluator, lengths)
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == lang.msg("exp_sweep_dim_wrong")
    assert private(exp, "compiled_sweep_len") == lengths
    assert private(exp, "total_sweep_steps") == 1
    assert exp.is_compiled is False


def test_waveform_sweeps_take_part_in_the_order_rule(setup, group):
    exp, evaluator = setup
    evaluator.answers.update({"w": seq([1, 2, 3], 1), "fixed": val(0.1)})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "fixed")
    exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "w")
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == lang.msg("exp_sweep_dim_wrong")
    # everything was recorded before the rule was applied
    assert [e["value"] for e in private(exp, "compiled_waveform_parameter_list")] == [0.1]
    assert [e["t"] for e in private(exp, "compiled_sweep_dict")[1]] == ["w"]


def test_a_refused_order_keeps_the_total_of_the_last_compilation(setup, group):
    exp, evaluator = setup
    sweep_lengths(exp, evaluator, [2, 3])
    exp.compile_scripts(group)
    assert exp.total_sweep_steps == 6
    evaluator.answers["space0"] = seq([7], 0)
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == lang.msg("exp_sweep_dim_wrong")
    assert exp.is_compiled is True and exp.total_sweep_steps == 6
    assert exp.compiled_sweep_len == [1, 3, 1]


def test_the_sweep_dictionary_is_left_as_recorded(setup, group):
    exp, evaluator = setup
    sweep_lengths(exp, evaluator, [2, 1, 1, 3])
    exp.compile_scripts(group)
    assert list(exp.compiled_sweep_dict) == [0, 1, 2, 3]
    assert [e["key"] for e in exp.compiled_sweep_dict[3]] == ["p3"]
    assert exp.compiled_sweep_dict[1] == [] and exp.compiled_sweep_dict[2] == []


# ---------------------------------------------------------------------------
# Batch circuits
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 3])
def test_batch_circuits_become_the_sweep_of_dimension_zero(exp, group, count):
    exp._Experiment__script_evaluator = FakeEvaluator({"s": val(2)})
    exp.set_space_parameter_script("a", "s")
    circuits = [batch_circuit() for _ in range(count)]
    if count:
        for circuit in circuits:
            exp.append_circuit(circuit)
    else:
        exp.clear_batch_circuits()
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [count, 1, 1]
    assert exp.total_sweep_steps == count
    (entry,) = exp.compiled_sweep_dict[0]
    assert list(entry.items()) == [
        ("t", "c"), ("len", count), ("dim", 0), ("value", list(range(count))), ("key", "Circuit ID"),
    ]
    assert type(entry["value"]) is list
    assert exp.compiled_sweep_dict[1] == [] and exp.compiled_sweep_dict[2] == []
    assert exp.compiled_space_parameter_dict == {"a": 2}
    assert exp.is_compiled is True


def test_batch_mode_keeps_the_higher_dimensions_sized_by_space_scripts(exp, group):
    # sized by a sequence on dimension 3, recorded as a fixed value: batch mode accepts it
    exp._Experiment__script_evaluator = FakeEvaluator({"s": [seq([1, 2], 3), val(1)]})
    exp.set_space_parameter_script("a", "s")
    exp.append_circuit(batch_circuit())
    exp.append_circuit(batch_circuit())
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [2, 1, 1, 1]
    assert list(exp.compiled_sweep_dict) == [0, 1, 2, 3]
    assert [e["t"] for e in exp.compiled_sweep_dict[0]] == ["c"]
    assert exp.total_sweep_steps == 2


def test_batch_circuits_are_counted_at_the_end_of_compilation(exp, group):
    first = batch_circuit()
    exp.append_circuit(first)
    grows = FakeEvaluator({"s": val(1)})

    def evaluate(*args, **kwargs):
        # a circuit added while the scripts run is counted too
        exp.batch_circuits.append(batch_circuit())
        return FakeEvaluator.evaluate(grows, *args, **kwargs)

    grows.evaluate = evaluate
    exp._Experiment__script_evaluator = grows
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    assert exp.total_sweep_steps == 3
    assert exp.compiled_sweep_dict[0][0]["value"] == [0, 1, 2]


# ---------------------------------------------------------------------------
# The compiled flag and the state a failure leaves
# ---------------------------------------------------------------------------


STAGES = ["space", "fill", "waveform", "order"]


def arrange_failure(exp, evaluator, stage):
    """Scripts that compile up to ``stage`` and fail there."""
    evaluator.answers.update({"fixed space": val(3), "swept space": seq([1, 2], 0), "w": val(0.5)})
    exp.set_space_parameter_script("a", "fixed space")
    exp.set_space_parameter_script("b", "swept space")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    if stage == "space":
        evaluator.answers["bad space"] = {"type": "x", "dim": 0, "val": 0, "seq": None}
        exp.set_space_parameter_script("c", "bad space")
    elif stage == "fill":
        # an empty gate that the group's gate compiler has no calibration for
        exp.circuit.add_wave_gate_obj(WaveGate(("Y", "q02"), 1), 1)
    elif stage == "waveform":
        exp.set_waveform_script_by_ids("q01", 0, 0, "phase", "bad wave")
        evaluator.answers["bad wave"] = val(1)
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
        vars(exp)["_Experiment__waveform_script"][1]["wave_ids"] = [9]
    else:
        evaluator.answers["late"] = seq([1, 2, 3], 2)
        exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "late")


@pytest.mark.parametrize("stage", STAGES)
def test_a_failed_first_compilation_leaves_the_experiment_uncompiled(setup, stage):
    exp, evaluator = setup
    group = Group("demo", {})
    arrange_failure(exp, evaluator, stage)
    with pytest.raises(RuntimeError):
        exp.compile_scripts(group, 4.5)
    assert exp.is_compiled is False
    assert exp.group is group and evaluator.group is group
    assert private(exp, "compile_space_timestamp") == 4
    assert dict(group.temporary_parameters) == {"a": 3}
    assert private(exp, "compiled_space_parameter_dict") == {"a": 3}
    assert [e["key"] for e in private(exp, "compiled_sweep_dict")[0]] == ["b"]
    assert private(exp, "compiled_sweep_len")[0] == 2
    fixed = [e["parameter"] for e in private(exp, "compiled_waveform_parameter_list")]
    assert fixed == {"space": [], "fill": [], "waveform": ["amp"], "order": ["amp"]}[stage]
    assert private(exp, "total_sweep_steps") == 1
    with pytest.raises(RuntimeError) as info:
        exp.compiled_sweep_len
    assert str(info.value) == lang.msg("exp_not_compiled")


@pytest.mark.parametrize("stage", STAGES)
def test_a_failed_recompilation_leaves_the_experiment_compiled(setup, group, stage):
    exp, evaluator = setup
    exp.compile_scripts(group)
    arrange_failure(exp, evaluator, stage)
    with pytest.raises(RuntimeError):
        exp.compile_scripts(group)
    assert exp.is_compiled is True


def test_the_flag_is_set_only_after_finalisation(setup, group):
    exp, evaluator = setup
    seen = []

    def evaluate(*args, **kwargs):
        seen.append(exp.is_compiled)
        return FakeEvaluator.evaluate(evaluator, *args, **kwargs)

    evaluator.evaluate = evaluate
    evaluator.answers.update({"s": val(1), "w": val(2)})
    exp.set_space_parameter_script("a", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts(group)
    assert seen == [False, False, False] and exp.is_compiled is True


def test_a_failed_compilation_is_redone_from_the_start(setup, group):
    exp, evaluator = setup
    evaluator.answers.update({"s": [RuntimeError("first time"), val(1), val(1)], "w": val(2)})
    exp.set_space_parameter_script("a", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    with pytest.raises(RuntimeError, match="first time"):
        exp.compile_scripts(group)
    exp.compile_scripts(group)
    assert exp.is_compiled is True
    assert evaluator.scripts() == ["s", "s", "s", "w"]
    assert len(exp.compiled_waveform_parameter_list) == 1


# ---------------------------------------------------------------------------
# Compiling again
# ---------------------------------------------------------------------------


def arrange_mixed(exp, evaluator):
    evaluator.answers.update(
        {"s": val(1), "t": seq([1, 2], 0), "w1": val(0.1), "w2": seq([5, 6], 0), "w3": val(0.3)}
    )
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "t")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w1")
    exp.set_waveform_script_by_ids("q01", 0, 0, "phase", "w2")
    exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "w3")


def test_compiling_again_doubles_the_fixed_entries_and_rebuilds_the_sweep(setup, group):
    exp, evaluator = setup
    arrange_mixed(exp, evaluator)
    exp.compile_scripts(group)
    fixed = exp.compiled_waveform_parameter_list
    first_entries = list(fixed)
    first_sweep_len = exp.compiled_sweep_len
    first_sweep_dict = exp.compiled_sweep_dict
    evaluator.answers["w1"] = val(0.9)
    exp.compile_scripts(group)
    assert exp.compiled_waveform_parameter_list is fixed
    assert [(e["parameter"], e["value"]) for e in fixed] == [("amp", 0.1), ("amp", 0.3), ("amp", 0.9), ("amp", 0.3)]
    assert fixed[:2] == first_entries
    assert exp.compiled_sweep_len is not first_sweep_len and exp.compiled_sweep_len == [2, 1, 1]
    assert exp.compiled_sweep_dict is not first_sweep_dict
    assert [e["t"] for e in exp.compiled_sweep_dict[0]] == ["p", "w"]
    assert exp.compiled_space_parameter_dict == {"a": 1}
    assert exp.total_sweep_steps == 2


def test_resetting_between_compilations_keeps_one_set_of_entries(setup, group):
    exp, evaluator = setup
    arrange_mixed(exp, evaluator)
    exp.compile_scripts(group)
    exp.reset_compiled_data()
    exp.compile_scripts(group)
    assert [e["value"] for e in exp.compiled_waveform_parameter_list] == [0.1, 0.3]
    assert exp.compiled_space_parameter_dict == {"a": 1}


def test_editing_after_compilation_reaches_the_data_only_by_compiling(setup, group):
    exp, evaluator = setup
    evaluator.answers.update({"s": seq([1, 2, 3], 0), "t": seq([1, 2], 1)})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    exp.set_space_parameter_script("b", "t")
    assert exp.compiled_sweep_len == [3, 1, 1] and exp.total_sweep_steps == 3
    exp.compile_scripts()
    assert exp.compiled_sweep_len == [3, 2, 1] and exp.total_sweep_steps == 6


def test_the_compiled_views_are_the_stored_data(setup, group):
    exp, evaluator = setup
    arrange_mixed(exp, evaluator)
    exp.compile_scripts(group)
    for name in ("compiled_sweep_dict", "compiled_waveform_parameter_list",
                 "compiled_space_parameter_dict", "compiled_sweep_len"):
        assert getattr(exp, name) is private(exp, name), name
    assert exp.total_sweep_steps == private(exp, "total_sweep_steps") == 2
    exp.compiled_sweep_len.append(9)
    assert private(exp, "compiled_sweep_len") == [2, 1, 1, 9]


# ---------------------------------------------------------------------------
# Unusual evaluator results
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("missing", ["type", "dim", "val", "seq", "use_space"])
@pytest.mark.parametrize("kind", ["val", "seq"])
def test_a_waveform_result_lacking_a_key_raises_key_error(setup, group, missing, kind):
    exp, evaluator = setup
    result = val(1) if kind == "val" else seq([1, 2], 0)
    del result[missing]
    evaluator.answers.update({"ok": val(0.5), "w": result})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "ok")
    exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "w")
    with pytest.raises(KeyError) as info:
        exp.compile_scripts(group)
    assert info.value.args == (missing,)
    assert [e["value"] for e in private(exp, "compiled_waveform_parameter_list")] == [0.5]
    assert exp.is_compiled is False


def test_results_may_be_any_mapping(setup, group):
    exp, evaluator = setup
    evaluator.answers.update({
        "s": types.MappingProxyType(seq([1, 2], 0)),
        "t": types.MappingProxyType(val(3)),
        "w": types.MappingProxyType(val(0.5, use_space=["a"])),
    })
    exp.set_space_parameter_script("a", "s")
    exp.set_space_parameter_script("b", "t")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [2, 1, 1]
    assert exp.compiled_space_parameter_dict == {"b": 3}
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] == "w"


@pytest.mark.parametrize("answer", [None, 5, ["type", "dim"]])
def test_a_space_result_that_is_no_mapping_fails(setup, group, answer):
    exp, evaluator = setup
    evaluator.answers["s"] = answer
    exp.set_space_parameter_script("a", "s")
    with pytest.raises(TypeError):
        exp.compile_scripts(group)
    assert exp.is_compiled is False


@pytest.mark.parametrize("values", [5, None, 2.5])
@pytest.mark.parametrize("where", ["space", "waveform"])
def test_a_sequence_without_length_fails_with_type_error(setup, group, values, where):
    exp, evaluator = setup
    evaluator.answers["s"] = seq(values, 0)
    if where == "space":
        exp.set_space_parameter_script("a", "s")
    else:
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    with pytest.raises(TypeError):
        exp.compile_scripts(group)
    assert private(exp, "compiled_sweep_len") == [1, 1, 1]
    assert all(entries == [] for entries in private(exp, "compiled_sweep_dict").values())


@pytest.mark.parametrize("where", ["space sizing", "space compile", "waveform"])
def test_an_evaluator_error_propagates_unchanged(setup, where):
    exp, evaluator = setup
    group = Group("demo", {})
    error = ZeroDivisionError("in the script")
    answers = {"space sizing": [error], "space compile": [val(1), error], "waveform": [error]}[where]
    evaluator.answers.update({"s0": val(7), "s": answers, "w": answers})
    exp.set_space_parameter_script("first", "s0")
    if where == "waveform":
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    else:
        exp.set_space_parameter_script("a", "s")
    with pytest.raises(ZeroDivisionError) as info:
        exp.compile_scripts(group, 8)
    assert info.value is error
    assert exp.is_compiled is False and private(exp, "compile_space_timestamp") == 8
    temporary = {} if where == "space sizing" else {"first": 7}
    assert dict(group.temporary_parameters) == temporary


def test_a_result_with_unusual_value_types_is_stored_unconverted(setup, group):
    exp, evaluator = setup
    marker = object()
    array = np.array([[1, 2], [3, 4]])
    evaluator.answers.update({"s": val(marker), "w": val(array), "q": seq((9, 8), 0)})
    exp.set_space_parameter_script("a", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.set_waveform_script_by_ids("q01", 0, 1, "amp", "q")
    exp.compile_scripts(group)
    assert exp.compiled_space_parameter_dict["a"] is marker
    assert exp.compiled_waveform_parameter_list[0]["value"] is array
    assert exp.compiled_sweep_dict[0][0]["value"] == (9, 8) and exp.compiled_sweep_dict[0][0]["len"] == 2


# ---------------------------------------------------------------------------
# Waveform script records edited by hand
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("change", "error"),
    [
        ({"script": KeyError}, KeyError),
        ({"entity": KeyError}, KeyError),
        ({"layer": KeyError}, KeyError),
        ({"wave_ids": KeyError}, KeyError),
        ({"parameter": KeyError}, KeyError),
        ({"wave_ids": [], "search_type": KeyError}, KeyError),
        ({"layer": "first"}, ValueError),
        ({"layer": None}, TypeError),
        ({"layer": [0]}, TypeError),
    ],
)
def test_a_broken_record_fails_with_the_hosts_error(setup, group, change, error):
    exp, evaluator = setup
    evaluator.answers.update({"ok": val(1), "w": val(2)})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "ok")
    exp.set_waveform_script_by_ids("q01", 0, 0, "phase", "w")
    record = private(exp, "waveform_script")[1]
    for key, value in change.items():
        if value is KeyError:
            del record[key]
        else:
            record[key] = value
    with pytest.raises(error):
        exp.compile_scripts(group)
    assert [e["parameter"] for e in private(exp, "compiled_waveform_parameter_list")] == ["amp"]
    assert exp.is_compiled is False


def test_a_record_with_explicit_ids_needs_no_search_fields(setup, group):
    exp, evaluator = setup
    evaluator.answers["w"] = seq([1, 2], 0)
    exp.set_waveform_script_by_ids("q01", 0, [1], "amp", "w")
    record = private(exp, "waveform_script")[0]
    for key in ("search_type", "wave_names", "channels", "gate_name"):
        del record[key]
    exp.compile_scripts(group)
    assert exp.compiled_sweep_dict[0][0]["wave_ids"] == [1]


def test_a_record_entity_of_another_type_is_used_as_stored(setup, group):
    exp, evaluator = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    private(exp, "waveform_script")[0]["entity"] = ("q01",)
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == "Cannot find gate on ('q01',) layer 0."
