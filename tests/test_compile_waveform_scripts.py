"""Compiling waveform scripts: re-evaluation marks, gate and wave resolution,
fixed waveform-parameter entries and waveform-parameter sweeps on one, two or
three dimensions."""

import numpy as np
import pytest

from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate
from varnok_client.waveform.waveform_register import waveform_register

BATCH_WAVE_MESSAGE = "Current experiment is set as `batch_circuit` mode, hence cannot set waveform script."
SIZE_MESSAGE = "Dimension of sweep len must be 1, 2 or 3."
FIXED_KEYS = ["entity", "layer", "wave_ids", "parameter", "value", "re_compile"]
SWEEP_KEYS = ["t", "entity", "layer", "wave_ids", "parameter", "value", "len", "re_compile", "dim"]


class FakeEvaluator:
    """Answers each script from a table and records every call.

    An answer is a result mapping, an exception to raise, or a list of those
    handed out one per call.
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


def val(value, use_space=(), dim=0):
    return {"type": "val", "dim": dim, "val": value, "seq": None, "use_space": list(use_space)}


def seq(values, dim, use_space=()):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": list(use_space)}


def grid(*shape):
    """A nested list of the given shape holding 0, 1, 2, ..."""
    return np.arange(int(np.prod(shape))).reshape(shape).tolist()


def private(exp, name):
    return vars(exp)["_Experiment__" + name]


class SpyGate(WaveGate):
    """A wave gate that records how it is searched."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.searches = []

    def search_wave(self, *args, **kwargs):
        self.searches.append((args, kwargs))
        return super().search_wave(*args, **kwargs)


class SpyCircuit(WaveCircuit):
    """A circuit that records gate searches; ``answer`` replaces the search result when set."""

    def __init__(self):
        super().__init__()
        self.searches = []
        self.answer = "search"

    def search_gates(self, *args, **kwargs):
        self.searches.append((args, kwargs))
        if self.answer != "search":
            return self.answer
        return super().search_gates(*args, **kwargs)


def three_waves():
    return [
        waveform_register.create("drag", "q01.xy", name="drive", width=40.0),
        waveform_register.create("square", "q01.z", name="flux", width=40.0),
        waveform_register.create("square", "q01.xy", name="drive", width=20.0),
    ]


@pytest.fixture
def setup(exp):
    """An experiment with a group, a spying circuit holding gate X (three waves) on
    q01 in layer 0 and a fake evaluator; returns (exp, evaluator, gate)."""
    circuit = SpyCircuit()
    gate = SpyGate(("X", "q01"), 0)
    gate.waves = three_waves()
    circuit.add_wave_gate_obj(gate, 0)
    exp._Experiment__wave_circuit = circuit
    evaluator = FakeEvaluator({})
    exp._Experiment__script_evaluator = evaluator
    exp.group = Group("demo", {})
    return exp, evaluator, gate


def records(exp):
    return private(exp, "waveform_script")


def compile_failure(exp, error=RuntimeError):
    with pytest.raises(error) as info:
        exp.compile_scripts()
    return str(info.value)


def add_space_sweeps(exp, evaluator, lengths):
    """Space-parameter sweeps of the given length on dimensions 0, 1, ..."""
    for dim, n in enumerate(lengths):
        evaluator.answers[f"space{dim}"] = seq(list(range(n)), dim)
        exp.set_space_parameter_script(f"p{dim}", f"space{dim}")


# ---------------------------------------------------------------------------
# Evaluation and re-evaluation marks
# ---------------------------------------------------------------------------


def test_each_record_is_evaluated_once_with_its_stored_script(setup):
    exp, evaluator, _ = setup
    evaluator.answers.update({"first": val(1), "second": val(2)})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "\n  first \n")
    exp.set_waveform_script_by_name("q01", 0, "flux", "amp", "second")
    exp.compile_scripts(space_timestamp=3)
    assert evaluator.calls == [(("first",), {"timestamp": 3}), (("second",), {"timestamp": 3})]


def test_records_are_finished_one_after_the_other(setup):
    exp, evaluator, _ = setup
    evaluator.answers.update({"good": val(1), "bad": val(2), "never": val(3)})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "good")
    exp.set_waveform_script_by_ids("q01", 0, 7, "amp", "bad")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "never")
    compile_failure(exp)
    assert evaluator.scripts() == ["good", "bad"]
    assert [entry["value"] for entry in private(exp, "compiled_waveform_parameter_list")] == [1]


@pytest.mark.parametrize(
    ("use_space", "marked"),
    [
        (["amp", "freq"], True),
        (["amp"], True),
        (("freq", "amp"), True),
        ({"amp"}, True),
        (["freq"], False),
        (["other"], False),
        ([], False),
        ((), False),
    ],
)
@pytest.mark.parametrize("kind", ["val", "seq"])
def test_scripts_using_a_swept_space_parameter_are_marked_for_re_evaluation(setup, use_space, marked, kind):
    exp, evaluator, _ = setup
    evaluator.answers.update({"sweep amp": seq([1, 2, 3], 0), "fix freq": val(5.0)})
    exp.set_space_parameter_script("amp", "sweep amp")
    exp.set_space_parameter_script("freq", "fix freq")
    result = val(0.5) if kind == "val" else seq([1, 2, 3], 0)
    result["use_space"] = use_space
    evaluator.answers["wave script"] = result
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "\n  wave script \n")
    exp.compile_scripts()
    if kind == "val":
        (entry,) = exp.compiled_waveform_parameter_list
    else:
        entry = exp.compiled_sweep_dict[0][-1]
    assert entry["re_compile"] == ("wave script" if marked else False)


@pytest.mark.parametrize("use_space", [["amp"], ["freq", "amp"]])
def test_without_swept_space_parameters_nothing_is_marked(setup, use_space):
    exp, evaluator, _ = setup
    evaluator.answers.update({"fix": val(1.0), "w": val(2.0, use_space=use_space)})
    exp.set_space_parameter_script("amp", "fix")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] is False


def test_the_mark_follows_the_compile_pass_answer(setup):
    exp, evaluator, _ = setup
    # sized as a sequence, recorded as a fixed value: amp is not swept
    evaluator.answers.update({"s": [seq([1, 2], 0), val(1.0)], "w": val(2.0, use_space=["amp"])})
    exp.set_space_parameter_script("amp", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] is False


def test_a_space_sweep_of_one_value_still_marks_its_users(setup):
    exp, evaluator, _ = setup
    evaluator.answers.update({"s": seq([7], 0), "w": val(2.0, use_space=["amp"])})
    exp.set_space_parameter_script("amp", "s")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] == "w"
    assert exp.compiled_sweep_len == [1, 1, 1]


# ---------------------------------------------------------------------------
# Gate lookup
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(("layer", "looked_up"), [(0, 0), ("0", 0), (" 0 ", 0), (0.9, 0), (True, 1)])
def test_gates_are_looked_up_by_stored_entity_and_integer_layer(setup, layer, looked_up):
    exp, evaluator, gate = setup
    other = SpyGate(("X", "q01"), 1)
    other.waves = three_waves()
    exp.circuit.add_wave_gate_obj(other, 1)
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    records(exp)[0]["layer"] = layer
    exp.circuit.searches.clear()
    exp.compile_scripts()
    assert exp.circuit.searches == [(("q01", looked_up), {})]
    (entry,) = exp.compiled_waveform_parameter_list
    assert entry["layer"] == looked_up and type(entry["layer"]) is int


@pytest.mark.parametrize(
    ("entity", "layer", "printed"),
    [
        ("q02", 0, "q02 layer 0"),
        ("q01", 3, "q01 layer 3"),
        ("q01", " 3", "q01 layer  3"),
        ("q01", 3.5, "q01 layer 3.5"),
        (" q01", 0, " q01 layer 0"),
    ],
)
def test_a_missing_gate_names_the_stored_entity_and_layer(setup, entity, layer, printed):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    records(exp)[0].update(entity=entity, layer=layer)
    assert compile_failure(exp) == f"Cannot find gate on {printed}."
    assert evaluator.scripts() == ["w"]
    assert private(exp, "compiled_waveform_parameter_list") == []


@pytest.mark.parametrize("answer", [None, []])
def test_a_search_without_gates_is_a_missing_gate(setup, answer):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp.circuit.answer = answer
    assert compile_failure(exp) == "Cannot find gate on q01 layer 0."


def test_a_layer_that_is_no_integer_fails_after_evaluation(setup):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    records(exp)[0]["layer"] = "zero"
    exp.circuit.searches.clear()
    compile_failure(exp, ValueError)
    assert evaluator.scripts() == ["w"] and exp.circuit.searches == []


def test_only_the_first_matching_gate_is_used(setup):
    exp, evaluator, _ = setup
    first = SpyGate(("Y", "q05"), 0)
    first.waves = three_waves()[:1]
    second = SpyGate(("Z", "q05"), 0)
    second.waves = three_waves()
    exp.circuit.add_wave_gate_obj(first, 0)
    exp.circuit.add_wave_gate_obj(second, 0)
    evaluator.answers.update({"w": val(1), "v": val(2)})
    exp.set_waveform_script_by_ids("q05", 0, [0], "amp", "v")
    exp.set_waveform_script_by_ids("q05", 0, [2], "amp", "w")
    assert records(exp)[0]["gate_name"] == "Y"
    assert compile_failure(exp) == "Cannot find wave with ID 2 in gate Y (layer 0 @ q05)."
    assert [e["value"] for e in private(exp, "compiled_waveform_parameter_list")] == [2]


def test_waves_are_resolved_against_the_own_circuit_in_batch_mode(setup):
    exp, evaluator, _ = setup
    evaluator.answers.update({"w": val(0.3)})
    exp.set_waveform_script_by_channel("q01", 0, "q01.z", "amp", "w")
    batch = WaveCircuit()
    batch.add_gate(("X", "q01"), 0, three_waves()[:1])
    exp.append_circuit(batch)
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list == [
        {"entity": "q01", "layer": 0, "wave_ids": [1], "parameter": "amp", "value": 0.3, "re_compile": False}
    ]


def test_an_empty_own_circuit_has_no_gates_in_batch_mode(exp):
    evaluator = FakeEvaluator({"w": val(1)})
    exp._Experiment__script_evaluator = evaluator
    exp.group = Group("demo", {})
    exp.circuit.add_gate(("X", "q01"), 0, three_waves())
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "w")
    exp._Experiment__wave_circuit = WaveCircuit()
    batch = WaveCircuit()
    batch.add_gate(("X", "q01"), 0, three_waves())
    exp.append_circuit(batch)
    assert compile_failure(exp) == "Cannot find gate on q01 layer 0."


# ---------------------------------------------------------------------------
# Target waves
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("ids", "failing"),
    [([0, 5], 5), ([3], 3), ([5, 7], 5), ([0, 2, 3, 9], 3), ([-1], -1), ([0, -2, 9], -2), ([-4], -4)],
)
def test_explicit_wave_ids_must_lie_in_the_gate(setup, ids, failing):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, ids, "amp", "w")
    assert compile_failure(exp) == f"Cannot find wave with ID {failing} in gate X (layer 0 @ q01)."


def test_a_bad_wave_id_message_prints_the_stored_layer(setup):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, 4, "amp", "w")
    records(exp)[0]["layer"] = " 0"
    assert compile_failure(exp) == "Cannot find wave with ID 4 in gate X (layer  0 @ q01)."


@pytest.mark.parametrize("ids", [[0, 2], [2], [1, 1], [2, 0, 1]])
def test_valid_wave_ids_are_the_records_own_list(setup, ids):
    exp, evaluator, gate = setup
    evaluator.answers.update({"w": val(1), "s": seq([1, 2], 0)})
    exp.set_waveform_script_by_ids("q01", 0, ids, "amp", "w")
    exp.set_waveform_script_by_ids("q01", 0, ids, "phase", "s")
    exp.compile_scripts()
    stored = [record["wave_ids"] for record in records(exp)]
    assert exp.compiled_waveform_parameter_list[0]["wave_ids"] is stored[0]
    assert exp.compiled_sweep_dict[0][0]["wave_ids"] is stored[1]
    assert stored[0] == ids
    assert gate.searches == []


def test_explicit_ids_ignore_the_search_fields(setup):
    exp, evaluator, gate = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_ids("q01", 0, [1], "amp", "w")
    record = records(exp)[0]
    record.update(search_type="name", wave_names=["nowhere"], channels=["nowhere"])
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list[0]["wave_ids"] == [1]
    assert gate.searches == []


@pytest.mark.parametrize(
    ("names", "expected"),
    [(["flux"], [1]), (["flux", "flux"], [1]), (["drive"], [0, 2]), (["drive", "flux"], [0, 1, 2]),
     (["nowhere", "flux"], [1])],
)
def test_a_name_search_collects_each_id_once(setup, names, expected):
    exp, evaluator, gate = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_name("q01", 0, names, "amp", "w")
    exp.compile_scripts()
    wave_ids = exp.compiled_waveform_parameter_list[0]["wave_ids"]
    assert type(wave_ids) is list and sorted(wave_ids) == expected
    assert gate.searches == [((), {"wave_name": name}) for name in names]


@pytest.mark.parametrize(
    ("channels", "expected"),
    [(["q01.z"], [1]), (["q01.xy"], [0, 2]), (["q01.xy", "q01.xy"], [0, 2]), (["q01.z", "q01.xy"], [0, 1, 2])],
)
def test_a_channel_search_collects_each_id_once(setup, channels, expected):
    exp, evaluator, gate = setup
    evaluator.answers["w"] = seq([1, 2, 3], 0)
    exp.set_waveform_script_by_channel("q01", 0, channels, "amp", "w")
    exp.compile_scripts()
    wave_ids = exp.compiled_sweep_dict[0][0]["wave_ids"]
    assert type(wave_ids) is list and sorted(wave_ids) == expected
    assert gate.searches == [((), {"channel": channel}) for channel in channels]


@pytest.mark.parametrize(("names", "printed"), [(["nowhere"], "['nowhere']"), ([], "[]"), (("a", "b"), "('a', 'b')")])
def test_a_name_search_without_result(setup, names, printed):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_name("q01", 0, "flux", "amp", "w")
    records(exp)[0]["wave_names"] = names
    assert compile_failure(exp) == f"No wave found by wave_names {printed} on gate X (q01 layer 0)."


@pytest.mark.parametrize(("channels", "printed"), [(["q09.xy"], "['q09.xy']"), ([], "[]")])
def test_a_channel_search_without_result(setup, channels, printed):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = val(1)
    exp.set_waveform_script_by_channel("q01", 0, "q01.z", "amp", "w")
    records(exp)[0].update(channels=channels, layer="0")
    assert compile_failure(exp) == f"No wave found by channels {printed} on gate X(q01 layer 0)."


def edit_record(record, change):
    for key, value in change.items():
        if value is KeyError:
            del record[key]
        else:
            record[key] = value


@pytest.mark.parametrize(
    ("setter", "change"),
    [
        ("ids", {"wave_ids": []}),
        ("ids", {"wave_ids": None}),
        ("ids", {"wave_ids": ()}),
        ("name", {"wave_names": None}),
        ("name", {"wave_names": KeyError}),
        ("name", {"wave_names": KeyError, "channels": ["q01.z"]}),  # falls through to the channel test
        ("channel", {"channels": None}),
        ("channel", {"channels": KeyError, "wave_names": ["flux"]}),
        ("name", {"search_type": "channel"}),  # channels is None
        ("channel", {"search_type": "ids"}),
        ("channel", {"search_type": "Channel"}),
    ],
)
def test_a_record_without_a_usable_selection(setup, setter, change):
    exp, evaluator, gate = setup
    evaluator.answers["w"] = val(1)
    select = {"ids": [0], "name": ["flux"], "channel": ["q01.z"]}[setter]
    getattr(exp, f"set_waveform_script_by_{setter}")("q01", 0, select, "amp", "w")
    record = records(exp)[0]
    edit_record(record, change)
    if setter != "ids":
        record["wave_ids"] = None
    assert compile_failure(exp) == (
        f"Cannot set waveform script for {record}, because no wave_id, channel or wave_name is specified."
    )
    assert gate.searches == []


# ---------------------------------------------------------------------------
# Fixed entries
# ---------------------------------------------------------------------------


def test_a_fixed_entry_records_the_value_unconverted(setup):
    exp, evaluator, _ = setup
    array = np.array([0.1, 0.2])
    evaluator.answers.update({"w1": val(array, dim="ignored"), "w2": val(None, dim=(5, 1))})
    exp.set_waveform_script_by_ids(" q01 ", 0, [2, 0], " amp ", "w1")
    exp.set_waveform_script_by_name("q01", 0, "flux", "phase", "w2")
    records(exp)[1]["layer"] = "0"
    exp.compile_scripts()
    first, second = exp.compiled_waveform_parameter_list
    assert list(first) == FIXED_KEYS and list(second) == FIXED_KEYS
    assert first["value"] is array and first["wave_ids"] == [2, 0] and first["parameter"] == "amp"
    assert (first["entity"], first["layer"], first["re_compile"]) == ("q01", 0, False)
    assert second == {"entity": "q01", "layer": 0, "wave_ids": [1], "parameter": "phase", "value": None,
                      "re_compile": False}
    assert type(second["layer"]) is int
    # fixed values leave the sweep alone
    assert exp.compiled_sweep_len == [1, 1, 1] and exp.compiled_sweep_dict == {0: [], 1: [], 2: []}
    assert exp.total_sweep_steps == 1


# ---------------------------------------------------------------------------
# Sweeps on one dimension
# ---------------------------------------------------------------------------


def test_a_sweep_entry_on_one_dimension(setup):
    exp, evaluator, _ = setup
    values = [0.1, 0.2, 0.3, 0.4]
    evaluator.answers.update({"s": seq(values, 0, use_space=["p0"]), "space0": seq([9, 8, 7, 6], 0)})
    exp.set_space_parameter_script("p0", "space0")
    exp.set_waveform_script_by_ids(" q01 ", 0, [1, 0], "amp ", "s")
    records(exp)[0]["layer"] = 0.0
    exp.compile_scripts()
    space_entry, entry = exp.compiled_sweep_dict[0]
    assert space_entry["t"] == "p"
    assert list(entry.items()) == [
        ("t", "w"), ("entity", "q01"), ("layer", 0), ("wave_ids", [1, 0]), ("parameter", "amp"),
        ("value", values), ("len", 4), ("re_compile", "s"), ("dim", 0),
    ]
    assert type(entry["layer"]) is int and entry["value"] is values
    assert exp.compiled_sweep_len == [4, 1, 1] and exp.total_sweep_steps == 4
    assert exp.compiled_waveform_parameter_list == []


@pytest.mark.parametrize("dim", [[2], (2,), 2])
def test_a_one_element_dimension_is_unwrapped(setup, dim):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, [2, 3])
    evaluator.answers["s"] = seq([1, 2, 3, 4], dim)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    exp.compile_scripts()
    (entry,) = exp.compiled_sweep_dict[2]
    assert entry["dim"] == 2 and type(entry["dim"]) is int and entry["len"] == 4
    assert exp.compiled_sweep_len == [2, 3, 4] and exp.total_sweep_steps == 24


@pytest.mark.parametrize(
    ("given", "stored"),
    [(np.array([1.5, 2.5]), [1.5, 2.5]), (np.array([[1, 2, 3], [4, 5, 6]]), [[1, 2, 3], [4, 5, 6]])],
)
def test_numpy_sweep_values_become_nested_lists(setup, given, stored):
    exp, evaluator, _ = setup
    evaluator.answers["s"] = seq(given, 0)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    exp.compile_scripts()
    (entry,) = exp.compiled_sweep_dict[0]
    assert entry["value"] == stored and type(entry["value"]) is list and entry["len"] == 2
    assert type(entry["value"][0]) is type(stored[0])


@pytest.mark.parametrize(
    ("lengths", "sweep_len"),
    [([4, 4], [4, 1, 1]), ([1, 4], [4, 1, 1]), ([1, 1], [1, 1, 1]), ([0, 0], [0, 1, 1]), ([1, 1, 4], [4, 1, 1])],
)
def test_waveform_sweep_lengths_that_agree(setup, lengths, sweep_len):
    exp, evaluator, _ = setup
    for i, n in enumerate(lengths):
        evaluator.answers[f"s{i}"] = seq(list(range(n)), 0)
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", f"s{i}")
    exp.compile_scripts()
    assert exp.compiled_sweep_len == sweep_len
    assert [entry["len"] for entry in exp.compiled_sweep_dict[0]] == lengths


@pytest.mark.parametrize(
    ("space", "lengths", "args", "sweep_len"),
    [
        ([4], [5], (0, 5, 4), [4, 1, 1]),
        ([], [5, 4], (0, 4, 5), [5, 1, 1]),
        ([], [5, 1], (0, 1, 5), [5, 1, 1]),
        ([], [0, 3], (0, 3, 0), [0, 1, 1]),
        ([0], [2], (0, 2, 0), [0, 1, 1]),
    ],
)
def test_waveform_sweep_lengths_that_disagree(setup, space, lengths, args, sweep_len):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, space)
    for i, n in enumerate(lengths):
        evaluator.answers[f"s{i}"] = seq(list(range(n)), 0)
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", f"s{i}")
    assert compile_failure(exp) == lang.msg("exp_step_len_wrong").format(*args)
    assert private(exp, "compiled_sweep_len") == sweep_len
    waves = [e for e in private(exp, "compiled_sweep_dict")[0] if e["t"] == "w"]
    assert len(waves) == len(lengths) - 1


@pytest.mark.parametrize("dim", [[0], (0,), 0])
def test_a_length_message_names_the_unwrapped_dimension(setup, dim):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, [4])
    evaluator.answers["s"] = seq([1, 2, 3, 4, 5], dim)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    assert compile_failure(exp) == lang.msg("exp_step_len_wrong").format(0, 5, 4)


def test_a_waveform_dimension_beyond_the_sweep_raises_index_error(setup):
    exp, evaluator, _ = setup
    evaluator.answers["s"] = seq([1, 2], 3)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    compile_failure(exp, IndexError)
    assert private(exp, "compiled_sweep_len") == [1, 1, 1]


@pytest.mark.parametrize(("dim", "values"), [(-1, [1, 2]), (-3, [1, 2]), ((-1, 0), grid(2, 2)), ((3, 4), grid(2, 1))])
def test_a_waveform_dimension_outside_the_sweep_records_nothing(setup, dim, values):
    exp, evaluator, _ = setup
    evaluator.answers["s"] = seq(values, dim)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    compile_failure(exp, IndexError)
    assert private(exp, "compiled_sweep_len") == [1, 1, 1]
    assert private(exp, "compiled_sweep_dict") == {0: [], 1: [], 2: []}


def test_a_ragged_grid_fails_in_numpy(setup):
    exp, evaluator, _ = setup
    evaluator.answers["s"] = seq([[1, 2], [3]], (0, 1))
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    compile_failure(exp, ValueError)
    assert private(exp, "compiled_sweep_dict") == {0: [], 1: [], 2: []}


def test_waveform_sweeps_reach_dimensions_sized_by_space_sweeps(setup):
    exp, evaluator, _ = setup
    evaluator.answers.update({"space": seq([1, 2], 4), "space0": seq([1, 2], 0), "s": seq([1, 2, 3], 4)})
    exp.set_space_parameter_script("far", "space")
    exp.set_space_parameter_script("near", "space0")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    assert compile_failure(exp) == lang.msg("exp_step_len_wrong").format(4, 3, 2)


# ---------------------------------------------------------------------------
# Sweeps on two or three dimensions
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("space", "dim", "shape", "sweep_len", "filed"),
    [
        ([], (0, 1), (3, 4), [3, 4, 1], 1),
        ([], [0, 1], (3, 4), [3, 4, 1], 1),
        ([], (0, 1, 2), (2, 3, 4), [2, 3, 4], 2),
        ([], [0, 1, 2], (2, 3, 4), [2, 3, 4], 2),
        ([2], (1, 2), (3, 4), [2, 3, 4], 2),
        ([1, 5], (0, 2), (3, 4), [3, 5, 4], 2),
        ([3, 4], (0, 1), (3, 4), [3, 4, 1], 1),
        ([1, 4], (0, 1), (3, 4), [3, 4, 1], 1),  # a space sweep of one value leaves dimension 0 open
        ([], (0, 1), (3, 1), [3, 1, 1], 1),
    ],
)
def test_a_sweep_on_several_dimensions(setup, space, dim, shape, sweep_len, filed):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, space)
    values = grid(*shape)
    evaluator.answers["s"] = seq(values, dim)
    exp.set_waveform_script_by_ids("q01", 0, [0, 2], "amp", "s")
    exp.compile_scripts()
    assert exp.compiled_sweep_len == sweep_len
    entry = exp.compiled_sweep_dict[filed][-1]
    assert list(entry) == SWEEP_KEYS
    assert entry["t"] == "w" and entry["value"] == values and entry["len"] == shape[0]
    assert entry["dim"] == dim and type(entry["dim"]) is type(dim)
    waves = [(d, e["t"]) for d, entries in exp.compiled_sweep_dict.items() for e in entries if e["t"] != "p"]
    assert waves == [(filed, "w")]


def test_a_numpy_grid_on_two_dimensions_becomes_nested_lists(setup):
    exp, evaluator, _ = setup
    evaluator.answers["s"] = seq(np.arange(12.0).reshape(3, 4), [0, 1])
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    exp.compile_scripts()
    (entry,) = exp.compiled_sweep_dict[1]
    assert entry["value"] == grid(3, 4) and type(entry["value"]) is list and type(entry["value"][0]) is list
    assert entry["len"] == 3 and entry["dim"] == [0, 1]


@pytest.mark.parametrize(
    ("dim", "shape"),
    [((0, 1, 2), (2, 3)), ((0, 1), (3,)), ([1, 2], (4,)), ((0, 1, 2), (2,)), ((0, 1), (0,))],
)
def test_a_sequence_with_fewer_axes_than_dimensions_raises_index_error(setup, dim, shape):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, [shape[0]])
    evaluator.answers["s"] = seq(grid(*shape), dim)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    compile_failure(exp, IndexError)
    assert [e["t"] for entries in private(exp, "compiled_sweep_dict").values() for e in entries] == ["p"]


@pytest.mark.parametrize(
    ("space", "dim", "shape", "args", "sweep_len"),
    [
        ([1, 5], (0, 1), (3, 4), ("(0, 1)", 3, 5), [3, 5, 1]),  # dimension 0 keeps the length it got
        ([1, 5], [0, 1], (3, 4), ("[0, 1]", 3, 5), [3, 5, 1]),
        ([2], (0, 1), (3, 4), ("(0, 1)", 3, 2), [2, 1, 1]),
        ([2, 3, 5], (0, 1, 2), (2, 3, 4), ("(0, 1, 2)", 2, 5), [2, 3, 5]),
        ([2, 3], (1, 2), (2, 4), ("(1, 2)", 2, 3), [2, 3, 1]),
        ([], (1, 1), (3, 4), ("(1, 1)", 3, 3), [1, 3, 1]),  # equal neighbours pass the order test
    ],
)
def test_axis_lengths_that_disagree_name_the_outer_length(setup, space, dim, shape, args, sweep_len):
    exp, evaluator, _ = setup
    add_space_sweeps(exp, evaluator, space)
    evaluator.answers["s"] = seq(grid(*shape), dim)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    assert compile_failure(exp) == lang.msg("exp_step_len_wrong").format(*args)
    assert private(exp, "compiled_sweep_len") == sweep_len
    assert all(e["t"] == "p" for entries in private(exp, "compiled_sweep_dict").values() for e in entries)


@pytest.mark.parametrize(
    ("dim", "message"),
    [
        ((1, 0), "Lower sweeping dimensions should be at the front of the tuple, e.g. (0, 1), instead of (1, 0)."),
        ([1, 0], "Lower sweeping dimensions should be at the front of the tuple, e.g. (0, 1), instead of [1, 0]."),
        ((2, 0), "Lower sweeping dimensions should be at the front of the tuple, e.g. (0, 2), instead of (2, 0)."),
        ((0, 2, 1), "Lower sweeping dimensions should be at the front of the tuple, e.g. [0, 1, 2], instead of (0, 2, 1)."),
        ((2, 1, 0), "Lower sweeping dimensions should be at the front of the tuple, e.g. [0, 1, 2], instead of (2, 1, 0)."),
        ([1, 0, 2], "Lower sweeping dimensions should be at the front of the tuple, e.g. [0, 1, 2], instead of [1, 0, 2]."),
        ((0, 1, 0), "Lower sweeping dimensions should be at the front of the tuple, e.g. [0, 0, 1], instead of (0, 1, 0)."),
        ((0, 1, 2, 3), SIZE_MESSAGE),
        ((3, 2, 1, 0), SIZE_MESSAGE),
        ((), SIZE_MESSAGE),
        ([], SIZE_MESSAGE),
        ([0, 0, 0, 0, 0], SIZE_MESSAGE),
        (1.5, "Unknown dimension type (<class 'float'>): 1.5"),
        ([1.5], "Unknown dimension type (<class 'float'>): 1.5"),
        ("0", "Unknown dimension type (<class 'str'>): 0"),
        (None, "Unknown dimension type (<class 'NoneType'>): None"),
        ({0: 1}, "Unknown dimension type (<class 'dict'>): {0: 1}"),
        ((None,), "Unknown dimension type (<class 'NoneType'>): None"),
    ],
)
def test_dimensions_of_a_wrong_form(setup, dim, message):
    exp, evaluator, _ = setup
    evaluator.answers.update({"space0": seq([1, 2, 3], 0), "s": seq([1, 2, 3], dim)})
    exp.set_space_parameter_script("p0", "space0")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "s")
    assert compile_failure(exp) == message
    assert private(exp, "compiled_sweep_len") == [3, 1, 1]
    assert [e["t"] for entries in private(exp, "compiled_sweep_dict").values() for e in entries] == ["p"]


@pytest.mark.parametrize("dim", [0, (1, 0), 1.5, (0, 1, 2, 3)])
def test_sequences_are_refused_in_batch_mode_before_their_dimension_is_examined(setup, dim):
    exp, evaluator, _ = setup
    evaluator.answers.update({"fixed": val(1), "s": seq([1, 2, 3], dim)})
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "fixed")
    exp.set_waveform_script_by_ids("q01", 0, 0, "phase", "s")
    exp.clear_batch_circuits()
    assert compile_failure(exp) == BATCH_WAVE_MESSAGE
    assert [e["parameter"] for e in private(exp, "compiled_waveform_parameter_list")] == ["amp"]
    assert private(exp, "compiled_sweep_len") == [1, 1, 1]


@pytest.mark.parametrize(
    ("kind", "ids", "layer", "joined"),
    [
        ("vals", [0, 1], 0, "0, 1"),
        ("sequence", [2], 0, "2"),
        (None, [2, 0, 1], " 0", "2, 0, 1"),
        ("VAL", [1], "0", "1"),
    ],
)
def test_a_waveform_result_of_another_type(setup, kind, ids, layer, joined):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = {"type": kind, "dim": 1.5, "val": 1, "seq": [1, 2], "use_space": []}
    exp.set_waveform_script_by_ids("q01", 0, ids, "amp", "w")
    records(exp)[0]["layer"] = layer
    assert compile_failure(exp) == lang.msg("exp_wave_param_wrong").format(joined, layer, "q01")
    assert private(exp, "compiled_waveform_parameter_list") == []


def test_a_waveform_result_of_another_type_joins_searched_ids(setup):
    exp, evaluator, _ = setup
    evaluator.answers["w"] = {"type": "other", "dim": 0, "val": 1, "seq": None, "use_space": []}
    exp.set_waveform_script_by_name("q01", 0, "flux", "amp", "w")
    assert compile_failure(exp) == lang.msg("exp_wave_param_wrong").format("1", 0, "q01")


# ---------------------------------------------------------------------------
# With the real evaluator, group and gate compiler
# ---------------------------------------------------------------------------


def test_real_scripts_on_a_gate_filled_by_the_gate_compiler(exp):
    group = Group(
        "demo",
        {"q01.x_amp": 0.5, "q01.x_width": 40.0, "q01.freq": 5.0e9, "amp": 0.0, "scale": 2.0},
    )
    exp.circuit.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 0)
    exp.set_space_parameter_script("amp", "sweep(linspace(0, 1, 5), dim=0)")
    exp.set_waveform_script_by_name("q01", 0, "drive", "amp", 'space("amp") + space("scale")')
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "sweep(linspace(0, 3, 4), dim=1)")
    exp.set_waveform_script_by_ids("q01", 0, 0, "beta", 'space("scale") * 2')
    exp.compile_scripts(group)
    assert exp.compiled_sweep_len == [5, 4, 1] and exp.total_sweep_steps == 20
    assert exp.compiled_waveform_parameter_list == [
        {"entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "amp", "value": 2.0,
         "re_compile": 'space("amp") + space("scale")'},
        {"entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "beta", "value": 4.0, "re_compile": False},
    ]
    (entry,) = exp.compiled_sweep_dict[1]
    assert entry == {"t": "w", "entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "phase",
                     "value": [0.0, 1.0, 2.0, 3.0], "len": 4, "re_compile": False, "dim": 1}
    assert type(entry["value"]) is list
    assert len(exp.circuit.gates[0].waves) == 1


def test_a_real_two_dimensional_waveform_sweep(exp):
    group = Group("demo", {})
    exp.circuit.add_gate(("X", "q01"), 0, three_waves())
    exp.set_waveform_script_by_ids("q01", 0, [0, 2], "amp", "sweep(zeros((2, 3)), dim=(0, 1))")
    exp.compile_scripts(group)
    (entry,) = exp.compiled_sweep_dict[1]
    assert entry["value"] == [[0.0] * 3] * 2 and entry["len"] == 2 and tuple(entry["dim"]) == (0, 1)
    assert exp.compiled_sweep_len == [2, 3, 1] and exp.total_sweep_steps == 6
