"""Compiling space-parameter scripts: the driver's preconditions and order, the
sizing pass and the compile pass, fixed values, space-parameter sweeps and
their length rules."""

import fractions

import numpy as np
import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate
from varnok_client.waveform.waveform_register import waveform_register

BATCH_SPACE_MESSAGE = "Current experiment is set as `batch_circuit` mode, hence cannot set space parameter script."


class FakeEvaluator:
    """Answers each script from a table and records every call with the group in force.

    An answer is a result mapping, an exception to raise, or a list of those
    handed out one per call.
    """

    def __init__(self, answers):
        self.group = None
        self.answers = answers
        self.calls = []

    def evaluate(self, *args, **kwargs):
        self.calls.append((args, kwargs, self.group))
        answer = self.answers[args[0]]
        if isinstance(answer, list):
            answer = answer.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def scripts(self):
        return [args[0] for args, _, _ in self.calls]


def val(value, dim=0, use_space=()):
    return {"type": "val", "dim": dim, "val": value, "seq": None, "use_space": list(use_space)}


def seq(values, dim, use_space=()):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": list(use_space)}


def install(exp, answers):
    evaluator = FakeEvaluator(answers)
    exp._Experiment__script_evaluator = evaluator
    return evaluator


def private(exp, name):
    return vars(exp)["_Experiment__" + name]


class SpyGroup(Group):
    """A group that records how its temporary parameters are set."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.temporary_calls = []

    def set_temporary_parameter(self, *args, **kwargs):
        self.temporary_calls.append((args, kwargs))
        super().set_temporary_parameter(*args, **kwargs)


@pytest.fixture
def spy_group():
    return SpyGroup("demo", {"q01.freq": 5.0e9})


def space_scripts(exp, mapping):
    for key, script in mapping.items():
        exp.set_space_parameter_script(key, script)


# ---------------------------------------------------------------------------
# Driver: group, evaluator, timestamp
# ---------------------------------------------------------------------------


def test_without_a_group_compilation_is_refused_before_anything_changes(exp):
    evaluator = install(exp, {"s": val(1)})
    exp.set_space_parameter_script("a", "s")
    sweep_len = private(exp, "compiled_sweep_len")
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(None, 5)
    assert str(info.value) == lang.msg("exp_group_not_set")
    assert evaluator.calls == [] and evaluator.group is None
    assert private(exp, "compile_space_timestamp") is None
    assert exp.is_compiled is False
    assert private(exp, "compiled_sweep_len") is sweep_len


def test_a_compiled_experiment_whose_group_was_removed_keeps_its_compiled_state(exp, group):
    install(exp, {})
    exp.compile_scripts(group, 7)
    exp.group = None
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(space_timestamp=9)
    assert str(info.value) == lang.msg("exp_group_not_set")
    assert exp.is_compiled is True
    assert private(exp, "compile_space_timestamp") == 7


@pytest.mark.parametrize("by_keyword", [False, True])
def test_a_group_argument_becomes_the_experiments_group_before_evaluation(exp, spy_registers, by_keyword):
    new_group = Group("other", {})
    evaluator = install(exp, {"s": val(1)})
    exp.set_space_parameter_script("a", "s")
    if by_keyword:
        exp.compile_scripts(group=new_group)
    else:
        exp.compile_scripts(new_group)
    assert exp.group is new_group and evaluator.group is new_group
    assert [group for _, _, group in evaluator.calls] == [new_group, new_group]
    # the group setter ran with all of its effects
    assert spy_registers.calls == [("get_gate_compiler", new_group), ("load_waveforms_for_group", new_group)]
    assert exp.gate_compiler.group is new_group


def test_without_a_group_argument_the_experiments_group_is_used(group):
    exp = Experiment("title", "description", group)
    evaluator = install(exp, {"s": val(1)})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts()
    assert exp.group is group and evaluator.group is group
    assert [g for _, _, g in evaluator.calls] == [group, group]


def test_a_new_group_replaces_the_old_one_for_the_evaluator(group):
    exp = Experiment("title", "description", group)
    evaluator = install(exp, {})
    other = Group("other", {})
    exp.compile_scripts(other)
    assert exp.group is other and evaluator.group is other


def test_a_group_argument_stays_adopted_when_compilation_fails(exp, group):
    evaluator = install(exp, {"bad": RuntimeError("evaluation failed")})
    exp.set_space_parameter_script("a", "bad")
    with pytest.raises(RuntimeError, match="evaluation failed"):
        exp.compile_scripts(group=group)
    assert exp.group is group and evaluator.group is group
    assert exp.is_compiled is False


class RecordingGateCompiler:
    compiler_name = "recording"

    def __init__(self):
        self.calls = []

    def compile(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        circuit = WaveCircuit()
        circuit.add_gate(args[0], 0, [waveform_register.create("square", "q01.xy", width=10.0)])
        return circuit.export_wave_package()


@pytest.mark.parametrize(
    ("given", "stored"),
    [
        (12.7, 12),
        (12, 12),
        (-3.9, -3),
        (0, 0),
        (None, None),
        (np.float64(12.7), 12),
        (np.int64(5), 5),
        (fractions.Fraction(25, 2), 12),
    ],
)
def test_space_timestamp_is_stored_as_an_integer_and_handed_on(exp, group, given, stored):
    evaluator = install(exp, {"s": val(1), "w": val(2)})
    exp.circuit.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 0)
    exp.set_space_parameter_script("a", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.group = group
    gate_compiler = RecordingGateCompiler()
    exp._Experiment__gate_compiler = gate_compiler
    exp.compile_scripts(space_timestamp=given)
    timestamp = private(exp, "compile_space_timestamp")
    assert timestamp == stored and type(timestamp) is type(stored)
    assert [(args, kwargs) for args, kwargs, _ in evaluator.calls] == [
        (("s",), {"timestamp": stored}),
        (("s",), {"timestamp": stored}),
        (("w",), {"timestamp": stored}),
    ]
    assert all(type(kwargs["timestamp"]) is type(stored) for _, kwargs, _ in evaluator.calls)
    # empty gates are filled with the same snapshot time
    assert gate_compiler.calls == [((("X", "q01"),), {"timestamp": stored})]


@pytest.mark.parametrize(("given", "type_name"), [("12", "str"), ([12], "list"), (b"1", "bytes")])
def test_a_space_timestamp_that_is_not_a_number_is_refused_first(exp, group, given, type_name):
    evaluator = install(exp, {"s": val(1)})
    exp.set_space_parameter_script("a", "s")
    with pytest.raises(TypeError) as info:
        exp.compile_scripts(group, given)
    assert str(info.value) == (
        f"Argument 'space_timestamp' has incorrect type (expected int, got {type_name})"
    )
    assert exp.group is None and evaluator.group is None and evaluator.calls == []
    assert private(exp, "compile_space_timestamp") is None and exp.is_compiled is False


def test_documentation_text():
    doc = Experiment.compile_scripts.__doc__
    assert doc.startswith("Experiment.compile_scripts(self, ")
    assert doc.split("\n\n", 1)[1] == (
        "Compile the user scripts\nArgs:\n    group: the Group instance\n"
        "    space_timestamp: optional space snapshot time; passed to space()/gate compile"
    )


def test_empty_gates_are_filled_between_space_and_waveform_scripts(exp, group):
    evaluator = install(exp, {"s": val(1), "w": val(2)})
    exp.circuit.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 0)
    exp.circuit.add_gate(("Y", "q01"), 1, [waveform_register.create("square", "q01.xy", width=10.0)])
    exp.set_space_parameter_script("a", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.group = group
    gate_compiler = RecordingGateCompiler()
    seen = []
    original = gate_compiler.compile

    def compile_gate(*args, **kwargs):
        seen.append(evaluator.scripts())
        return original(*args, **kwargs)

    gate_compiler.compile = compile_gate
    exp._Experiment__gate_compiler = gate_compiler
    exp.compile_scripts()
    assert seen == [["s", "s"]]
    assert evaluator.scripts() == ["s", "s", "w"]
    assert len(exp.circuit.gates[0].waves) == 1


def test_no_scripts_compile_to_the_empty_sweep(exp, group):
    install(exp, {})
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [1, 1, 1]
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: []}
    assert exp.compiled_space_parameter_dict == {} and exp.compiled_waveform_parameter_list == []
    assert exp.total_sweep_steps == 1 and exp.is_compiled is True


# ---------------------------------------------------------------------------
# Sizing pass and compile pass
# ---------------------------------------------------------------------------


def test_each_space_script_is_evaluated_twice_in_two_passes_then_the_waveform_scripts(exp, group):
    evaluator = install(
        exp,
        {"sa": val(1), "sb": seq([1, 2], 0), "sc": val(3), "w1": val(4), "w2": val(5)},
    )
    exp.circuit.add_gate(("X", "q01"), 0, [waveform_register.create("square", "q01.xy", width=10.0)])
    space_scripts(exp, {"a": "sa", "b": "sb", "c": "sc"})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w1")
    exp.set_waveform_script_by_ids("q01", 0, 0, "phase", "w2")
    exp.compile_scripts(group)
    assert evaluator.scripts() == ["sa", "sb", "sc", "sa", "sb", "sc", "w1", "w2"]


def test_space_scripts_are_read_in_store_order_with_replaced_keys_in_place(exp, group):
    evaluator = install(exp, {"first": val(1), "second": val(2), "third": val(3)})
    exp.set_space_parameter_script("a", "first")
    exp.set_space_parameter_script("b", "second")
    exp.set_space_parameter_script(" a ", "third")
    exp.compile_scripts(group)
    assert evaluator.scripts() == ["third", "second", "third", "second"]
    assert list(exp.compiled_space_parameter_dict.items()) == [("a", 3), ("b", 2)]


def test_the_sizing_pass_reads_only_type_and_dim(exp, group):
    install(exp, {"s": [{"type": "seq", "dim": 1}, seq([1, 2, 3], 0)]})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [3, 1, 1]


@pytest.mark.parametrize("missing", ["type", "dim"])
def test_the_sizing_pass_needs_type_and_dim(exp, group, missing):
    first = seq([1, 2], 0)
    del first[missing]
    evaluator = install(exp, {"s": [first, seq([1, 2], 0)]})
    exp.set_space_parameter_script("a", "s")
    with pytest.raises(KeyError):
        exp.compile_scripts(group)
    assert evaluator.scripts() == ["s"]


def test_the_compile_pass_uses_only_the_second_answer(exp, spy_group):
    # sized by a sequence on dimension 4, then recorded as a fixed value
    install(exp, {"s": [seq([1, 2], 4), val(9)]})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(spy_group)
    assert exp.compiled_sweep_len == [1, 1, 1, 1, 1]
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: [], 3: [], 4: []}
    assert exp.compiled_space_parameter_dict == {"a": 9}
    assert spy_group.temporary_calls == [(("a", 9), {})]


def test_a_value_in_the_sizing_pass_does_not_size_the_sweep(exp, group):
    # a fixed value with a high dim, then a sequence on dimension 0
    install(exp, {"s": [val(1, dim=6), seq([1, 2, 3], 0)]})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [3, 1, 1]
    assert list(exp.compiled_sweep_dict) == [0, 1, 2]


@pytest.mark.parametrize(
    ("answers", "length"),
    [
        ([], 3),
        ([seq([1, 2], 0)], 3),
        ([seq([1, 2], 2), seq([1, 2], 1), seq([1, 2], 0)], 3),
        ([seq([1, 2], 3)], 4),
        ([seq([1, 2], 4)], 5),
        ([seq([1, 2], 4), seq([1, 2], 0)], 5),
        ([val(1, dim=9)], 3),
        ([seq([1, 2], 31)], 32),
    ],
)
def test_the_sweep_is_sized_by_the_highest_sequence_dimension(exp, group, answers, length):
    table = {f"s{i}": answer for i, answer in enumerate(answers)}
    install(exp, table)
    space_scripts(exp, {f"k{i}": f"s{i}" for i in range(len(answers))})
    exp.compile_scripts(group)
    sweep_len = private(exp, "compiled_sweep_len")
    sweep_dict = private(exp, "compiled_sweep_dict")
    expected = [1] * length
    for answer in answers:
        if answer["type"] == "seq":
            expected[answer["dim"]] = 2
    assert sweep_len == expected
    assert list(sweep_dict) == list(range(length))
    for dim, entries in sweep_dict.items():
        assert [entry["key"] for entry in entries] == [
            f"k{i}" for i, answer in enumerate(answers) if answer["type"] == "seq" and answer["dim"] == dim
        ]
    assert len({id(entries) for entries in sweep_dict.values()}) == length


@pytest.mark.parametrize("dim", [32, 33, 1000])
def test_a_space_sweep_dimension_of_32_or_more_is_refused_while_sizing(exp, group, dim):
    evaluator = install(exp, {"s": seq([1, 2], dim), "t": val(1)})
    space_scripts(exp, {"a": "s", "b": "t"})
    sweep_len = private(exp, "compiled_sweep_len")
    sweep_dict = private(exp, "compiled_sweep_dict")
    with pytest.raises(RuntimeError):
        exp.compile_scripts(group)
    # the compile pass never started
    assert evaluator.scripts() in (["s"], ["s", "t"])
    assert private(exp, "compiled_sweep_len") is sweep_len and sweep_len == [1, 1, 1]
    assert private(exp, "compiled_sweep_dict") is sweep_dict
    assert dict(group.temporary_parameters) == {} and exp.is_compiled is False


@pytest.mark.parametrize(
    "answers",
    [
        [seq([1, 2], -1)],
        [seq([1, 2], -3)],
        [val(1), seq([1, 2], 3)],  # the second answer names a dimension the sizing did not see
        [val(1), seq([1, 2], -1)],
    ],
)
def test_a_space_sweep_dimension_outside_the_sweep_raises_index_error(exp, group, answers):
    install(exp, {"s": answers})
    exp.set_space_parameter_script("a", "s")
    with pytest.raises(IndexError):
        exp.compile_scripts(group)
    assert private(exp, "compiled_sweep_len") == [1, 1, 1]
    assert private(exp, "compiled_sweep_dict") == {0: [], 1: [], 2: []}
    assert private(exp, "compiled_space_parameter_dict") == {}
    assert exp.is_compiled is False


def test_an_outside_dimension_leaves_earlier_scripts_recorded(exp, group):
    install(exp, {"s1": seq([1, 2], 0), "s2": [val(1), seq([5, 6], 3)]})
    space_scripts(exp, {"a": "s1", "b": "s2"})
    with pytest.raises(IndexError):
        exp.compile_scripts(group)
    assert private(exp, "compiled_sweep_len") == [2, 1, 1]
    assert [entry["key"] for entry in private(exp, "compiled_sweep_dict")[0]] == ["a"]
    assert all(entries == [] for d, entries in private(exp, "compiled_sweep_dict").items() if d)


# ---------------------------------------------------------------------------
# Fixed values
# ---------------------------------------------------------------------------


def test_a_fixed_value_is_recorded_unconverted_and_set_on_the_group(exp, spy_group):
    array = np.array([1.0, 2.0])
    install(exp, {"s1": val(array), "s2": val("text")})
    space_scripts(exp, {"  amp ": "s1", "mode": "s2"})
    exp.compile_scripts(spy_group)
    compiled = exp.compiled_space_parameter_dict
    assert list(compiled) == ["amp", "mode"]
    assert compiled["amp"] is array and compiled["mode"] == "text"
    assert [args for args, _ in spy_group.temporary_calls] == [("amp", array), ("mode", "text")]
    assert all(kwargs == {} for _, kwargs in spy_group.temporary_calls)
    assert spy_group.temporary_parameters["amp"] is array
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: []} and exp.compiled_sweep_len == [1, 1, 1]


def test_fixed_values_are_accepted_in_batch_mode(exp, spy_group):
    install(exp, {"s": val(0.5)})
    exp.set_space_parameter_script("amp", "s")
    exp.clear_batch_circuits()
    exp.compile_scripts(spy_group)
    assert exp.compiled_space_parameter_dict == {"amp": 0.5}
    assert spy_group.temporary_calls == [(("amp", 0.5), {})]
    assert exp.is_compiled is True


def test_fixed_values_accumulate_over_compilations(exp, group):
    evaluator = install(exp, {"s": val(1), "t": val(2)})
    space_scripts(exp, {"a": "s", "b": "t"})
    exp.compile_scripts(group)
    evaluator.answers.update({"s": val(10), "t": seq([1, 2], 0)})
    exp.compile_scripts(group)
    # a is overwritten by key; b keeps the value of the first compilation
    assert exp.compiled_space_parameter_dict == {"a": 10, "b": 2}
    assert [entry["key"] for entry in exp.compiled_sweep_dict[0]] == ["b"]


def test_fixed_values_set_before_a_failure_stay_on_the_group(exp, spy_group):
    install(exp, {"s": val(1), "bad": {"type": "other", "dim": 0, "val": None, "seq": None}})
    space_scripts(exp, {"a": "s", "b": "bad"})
    with pytest.raises(RuntimeError):
        exp.compile_scripts(spy_group)
    assert dict(spy_group.temporary_parameters) == {"a": 1}
    assert private(exp, "compiled_space_parameter_dict") == {"a": 1}


# ---------------------------------------------------------------------------
# Sweeps
# ---------------------------------------------------------------------------


def test_a_sweep_entry_records_key_values_length_and_dimension(exp, group):
    values = [0.1, 0.2, 0.3]
    install(exp, {"s": seq(values, 1), "t": seq([1, 2], 0)})
    space_scripts(exp, {" amp\t": "s", "freq": "t"})
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[1]
    assert list(entry.items()) == [("t", "p"), ("key", "amp"), ("value", values), ("len", 3), ("dim", 1)]
    assert entry["value"] is values
    assert exp.compiled_sweep_len == [2, 3, 1]
    assert exp.compiled_space_parameter_dict == {}


@pytest.mark.parametrize(
    ("given", "stored", "length"),
    [
        (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]], 2),
        (np.linspace(0, 1, 3), [0.0, 0.5, 1.0], 3),
        (np.array([], dtype=float), [], 0),
    ],
)
def test_numpy_sweep_values_are_stored_as_nested_lists(exp, group, given, stored, length):
    install(exp, {"s": seq(given, 0)})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[0]
    assert entry["value"] == stored and type(entry["value"]) is list
    if length:
        assert type(entry["value"][0]) is type(stored[0])
    assert entry["len"] == length and exp.compiled_sweep_len == [length, 1, 1]


@pytest.mark.parametrize("given", [(1, 2, 3), range(3), "abc"])
def test_other_sequences_are_stored_as_returned(exp, group, given):
    install(exp, {"s": seq(given, 0)})
    exp.set_space_parameter_script("a", "s")
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[0]
    assert entry["value"] is given and entry["len"] == 3


def test_two_sweeps_on_one_dimension_are_kept_in_store_order(exp, group):
    install(exp, {"s1": seq([1, 2, 3, 4, 5], 0), "s2": seq([5, 4, 3, 2, 1], 0)})
    space_scripts(exp, {"b": "s1", "a": "s2"})
    exp.compile_scripts(group)
    assert [entry["key"] for entry in exp.compiled_sweep_dict[0]] == ["b", "a"]
    assert exp.compiled_sweep_len == [5, 1, 1] and exp.total_sweep_steps == 5


@pytest.mark.parametrize(
    ("sweeps", "sweep_len"),
    [
        ([(0, 5), (0, 5)], [5, 1, 1]),
        ([(0, 1), (0, 5)], [5, 1, 1]),  # a single value leaves the dimension open
        ([(0, 1), (0, 1)], [1, 1, 1]),
        ([(0, 1), (0, 4), (0, 4)], [4, 1, 1]),
        ([(1, 0), (1, 0)], [1, 0, 1]),  # an empty sweep sets the length 0
        ([(0, 0)], [0, 1, 1]),
        ([(0, 2), (1, 3)], [2, 3, 1]),
    ],
)
def test_sweep_lengths_that_agree(exp, group, sweeps, sweep_len):
    install(exp, {f"s{i}": seq(list(range(n)), d) for i, (d, n) in enumerate(sweeps)})
    space_scripts(exp, {f"k{i}": f"s{i}" for i in range(len(sweeps))})
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == sweep_len
    recorded = {d: [(e["key"], e["len"]) for e in entries] for d, entries in exp.compiled_sweep_dict.items()}
    assert recorded == {d: [(f"k{i}", n) for i, (dd, n) in enumerate(sweeps) if dd == d] for d in range(3)}


@pytest.mark.parametrize(
    ("sweeps", "failing_dim", "sweep_len"),
    [
        ([(0, 5), (0, 1)], 0, [5, 1, 1]),  # a set length is not reopened by a single value
        ([(0, 5), (0, 4)], 0, [5, 1, 1]),
        ([(1, 0), (1, 3)], 1, [1, 0, 1]),
        ([(0, 3), (0, 0)], 0, [3, 1, 1]),
        ([(0, 2), (2, 3), (2, 4)], 2, [2, 1, 3]),
    ],
)
def test_sweep_lengths_that_disagree(exp, group, sweeps, failing_dim, sweep_len):
    install(exp, {f"s{i}": seq(list(range(n)), d) for i, (d, n) in enumerate(sweeps)})
    space_scripts(exp, {f"k{i}": f"s{i}" for i in range(len(sweeps))})
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == lang.msg("exp_wave_sweep_length_wrong").format(failing_dim)
    assert private(exp, "compiled_sweep_len") == sweep_len
    recorded = [e["key"] for entries in private(exp, "compiled_sweep_dict").values() for e in entries]
    assert recorded == [f"k{i}" for i in range(len(sweeps) - 1)]
    assert exp.is_compiled is False


def test_a_sweep_is_refused_in_batch_mode_after_sizing(exp, spy_group):
    evaluator = install(exp, {"s": val(1), "t": seq(np.array([1, 2]), 4)})
    space_scripts(exp, {"a": "s", "b": "t"})
    exp.clear_batch_circuits()
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(spy_group)
    assert str(info.value) == BATCH_SPACE_MESSAGE
    assert evaluator.scripts() == ["s", "t", "s", "t"]
    assert private(exp, "compiled_sweep_len") == [1, 1, 1, 1, 1]
    assert all(entries == [] for entries in private(exp, "compiled_sweep_dict").values())
    assert dict(spy_group.temporary_parameters) == {"a": 1}
    assert exp.is_compiled is False


@pytest.mark.parametrize("kind", ["value", "sequence", None, 1, "VAL"])
def test_a_result_of_another_type_is_refused_naming_the_script(exp, group, kind):
    script = "\n  make(1)  \n"
    stored = "  make(1)  "
    install(exp, {stored: {"type": kind, "dim": 8, "val": 1, "seq": [1, 2]}, "ok": seq([1, 2], 0)})
    exp.set_space_parameter_script("ok", "ok")
    exp.set_space_parameter_script("odd", script)
    with pytest.raises(RuntimeError) as info:
        exp.compile_scripts(group)
    assert str(info.value) == lang.msg("exp_space_param_wrong").format(stored)
    # the sizing pass ignored the unknown type: dimension 8 was not added
    assert private(exp, "compiled_sweep_len") == [2, 1, 1]
    assert [e["key"] for e in private(exp, "compiled_sweep_dict")[0]] == ["ok"]


@pytest.mark.parametrize("missing", ["type", "dim", "val", "seq"])
def test_the_compile_pass_reads_type_dim_val_and_seq_whatever_the_type(exp, group, missing):
    second = val(1)
    del second[missing]
    install(exp, {"s": [val(1), second]})
    exp.set_space_parameter_script("a", "s")
    with pytest.raises(KeyError):
        exp.compile_scripts(group)
    assert private(exp, "compiled_space_parameter_dict") == {}


def test_space_results_need_no_use_space(exp, group):
    install(exp, {"s": {"type": "val", "dim": 0, "val": 3, "seq": None},
                  "t": {"type": "seq", "dim": 0, "val": None, "seq": [1, 2]}})
    space_scripts(exp, {"a": "s", "b": "t"})
    exp.compile_scripts(group)
    assert exp.compiled_space_parameter_dict == {"a": 3}
    assert exp.compiled_sweep_len == [2, 1, 1]


# ---------------------------------------------------------------------------
# With the real evaluator and group
# ---------------------------------------------------------------------------


def test_real_scripts_give_a_sweep_and_a_fixed_value(exp):
    group = Group("demo", {"q01.freq": 5.0e9})
    exp.set_space_parameter_script("amp", "sweep(linspace(0, 1, 5), dim=0)")
    exp.set_space_parameter_script("freq", '\nspace("q01.freq")\n')
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[0]
    assert list(entry.items()) == [
        ("t", "p"), ("key", "amp"), ("value", [0.0, 0.25, 0.5, 0.75, 1.0]), ("len", 5), ("dim", 0),
    ]
    assert type(entry["value"]) is list and all(type(v) is float for v in entry["value"])
    assert exp.compiled_space_parameter_dict == {"freq": 5.0e9}
    assert dict(group.temporary_parameters) == {"freq": 5.0e9}
    assert exp.compiled_sweep_len == [5, 1, 1] and exp.total_sweep_steps == 5


@pytest.mark.parametrize(("timestamp", "expected"), [(50.9, 5.0e9), (100, 6.0e9), (None, 6.0e9), (-1, None)])
def test_real_scripts_read_the_space_at_the_compilation_timestamp(exp, timestamp, expected):
    group = Group("demo", {"q01.freq": 5.0e9})
    group.space.set("q01.freq", 6.0e9, timestamp=100)
    exp.set_space_parameter_script("freq", 'space("q01.freq")')
    if expected is None:
        with pytest.raises(Exception, match="q01.freq"):
            exp.compile_scripts(group, timestamp)
        assert exp.is_compiled is False
    else:
        exp.compile_scripts(group, timestamp)
        assert exp.compiled_space_parameter_dict == {"freq": expected}


def test_real_sweeps_on_two_dimensions(exp):
    group = Group("demo", {})
    exp.set_space_parameter_script("a", "sweep(arange(3), dim=1)")
    exp.set_space_parameter_script("b", "sweep([10, 20], dim=0)")
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [2, 3, 1] and exp.total_sweep_steps == 6
    assert exp.compiled_sweep_dict[1][0]["value"] == [0, 1, 2]
    assert exp.compiled_sweep_dict[0][0]["value"] == [10, 20]


def test_fixed_values_are_seen_by_the_scripts_compiled_after_them(exp):
    group = Group("demo", {"a": 1})
    exp.set_space_parameter_script("a", "3")
    exp.set_space_parameter_script("b", 'space("a") * 2')
    exp.compile_scripts(group)
    assert exp.compiled_space_parameter_dict == {"a": 3, "b": 6}
    assert dict(group.temporary_parameters) == {"a": 3, "b": 6}
