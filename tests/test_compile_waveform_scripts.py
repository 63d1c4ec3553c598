"""Compiling waveform scripts: re-evaluation marks, gate and wave resolution,
fixed waveform-parameter entries and sweeps on one, two or three dimensions."""

from types import MappingProxyType

import numpy as np
import pytest
from support_compile import (FakeEvaluator, compile_error, grid, lacking, private, scripts, seq, space_sweeps,
                             three_waves, val)

from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit, WaveGate

ORDER = "Lower sweeping dimensions should be at the front of the tuple, e.g. {}, instead of {}."
SIZE = "Dimension of sweep len must be 1, 2 or 3."
NO_SELECTION = "Cannot set waveform script for {}, because no wave_id, channel or wave_name is specified."
NO_WAVE = "Cannot find wave with ID {} in gate X (layer {} @ q01)."
STEPS = lang.msg("exp_step_len_wrong").format
OUT_OF_RANGE = "sweep dimension {} is out of range for a sweep of 3 dimensions"


class SpyGate(WaveGate):
    def search_wave(self, *args, **kwargs):
        vars(self).setdefault("searches", []).append((args, kwargs))
        return super().search_wave(*args, **kwargs)


class SpyCircuit(WaveCircuit):
    """Records gate searches; ``answer`` replaces the search result when set."""

    searches, answer = None, "search"

    def search_gates(self, *args, **kwargs):
        self.searches = (self.searches or []) + [(args, kwargs)]
        return super().search_gates(*args, **kwargs) if self.answer == "search" else self.answer


@pytest.fixture
def setup(exp):
    """A group, a fake evaluator and gate X (waves drive@xy, flux@z, drive@xy) on q01, layer 0."""
    circuit, gate = SpyCircuit(), SpyGate(("X", "q01"), 0)
    gate.waves = three_waves()
    circuit.add_wave_gate_obj(gate, 0)
    exp._Experiment__wave_circuit = circuit
    exp._Experiment__script_evaluator = evaluator = FakeEvaluator()
    exp.group = Group("demo", {})
    return exp, evaluator, gate


def one_record(exp, evaluator, answer, select=0, how="ids", **change):
    """One record of script w for amp on gate X, selecting waves by ids, name or channel."""
    evaluator.answers["w"] = answer
    getattr(exp, f"set_waveform_script_by_{how}")("q01", 0, select, "amp", "w")
    record = private(exp, "waveform_script")[-1]
    for key, value in change.items():
        record.pop(key) if value is KeyError else record.__setitem__(key, value)
    exp.circuit.searches = None
    return record


@pytest.mark.parametrize(
    ("amp", "use_space", "marked", "wrap"),
    [(seq([1, 2, 3], 0), ["amp", "freq"], True, dict), (seq([1, 2, 3], 0), ["freq"], False, dict),
     (seq([1, 2, 3], 0), [], False, dict),  # freq is a fixed value
     (seq([7], 0), ["amp"], True, dict),  # a sweep of one value is still a sweep
     (seq([1, 2, 3], 0), ["amp"], True, MappingProxyType),  # results may be any mapping
     ([seq([1, 2], 0), val(1.0)], ["amp"], False, dict)],  # the compile pass answer decides
)
def test_scripts_using_a_swept_space_parameter_are_marked_for_re_evaluation(setup, amp, use_space, marked, wrap):
    exp, evaluator, _ = setup
    amp = [wrap(a) for a in amp] if isinstance(amp, list) else wrap(amp)
    scripts(exp, evaluator, {"amp": amp, "freq": wrap(val(5.0))})
    one_record(exp, evaluator, wrap(val(0.5, use_space=use_space)))
    exp.compile_scripts()
    assert exp.compiled_waveform_parameter_list[0]["re_compile"] == ("w" if marked else False)


def bad(answer, message, select=0, how="ids", space=(), mode=None, sweep_len=None, **change):
    return pytest.param(answer, message, select, how, space, mode, sweep_len, change)


GATE, BATCH = "Cannot find gate on q01 layer 0.", "Current experiment is set as `batch_circuit` mode, hence cannot set "
WRONG = lang.msg("exp_wave_param_wrong").format


@pytest.mark.parametrize(
    ("answer", "message", "select", "how", "space", "mode", "sweep_len", "change"),
    [
        bad(val(1), GATE, mode="none"), bad(val(1), GATE, mode="empty circuit"),  # batch circuits are not searched
        bad(val(1), NO_WAVE.format(-2, " 0"), [0, -2, 9], layer=" 0"),  # the first bad id, the stored layer
        bad(val(1), NO_WAVE.format(3, 0), [0, 3]),  # one past the last wave
        bad(val(1), "No wave found by wave_names ['nowhere'] on gate X (q01 layer 0).", ["nowhere"], "name"),
        bad(val(1), "No wave found by channels [] on gate X(q01 layer 0).", "q01.z", "channel", channels=[], layer="0"),
        bad(val(1), NO_SELECTION, [0], wave_ids=[]),
        bad(val(1), NO_SELECTION, "flux", "name", wave_ids=None, wave_names=KeyError, channels=["q01.z"]),
        bad(seq([1, 2, 3], (1, 0)), BATCH + "waveform script.", mode="batch"),  # the mode is tested before the dim
        bad(seq(list(range(5)), 0), STEPS(0, 5, 4), space=[4], sweep_len=[4, 1, 1]),
        bad(seq(grid(3, 4), (0, 1)), STEPS("(0, 1)", 3, 5), space=[1, 5], sweep_len=[3, 5, 1]),  # 0 stays set
        bad(seq(grid(3, 4), (1, 1)), STEPS("(1, 1)", 3, 3), sweep_len=[1, 3, 1]),  # equal neighbours are in order
        bad(seq([1, 2, 3], [2, 0]), ORDER.format("(0, 2)", "[2, 0]"), sweep_len=[1, 1, 1]),
        bad(seq([1, 2, 3], (1, 0, 2)), ORDER.format("[0, 1, 2]", "(1, 0, 2)")),
        bad(seq([1, 2, 3], (0, 1, 0)), ORDER.format("[0, 0, 1]", "(0, 1, 0)")),
        bad(seq([1, 2, 3], (3, 2, 1, 0)), SIZE),  # four dimensions are not put in order first
        bad(seq([1, 2, 3], 1.5), "Unknown dimension type (<class 'float'>): 1.5"),
        bad(dict(val(1), type="vals", dim=1.5), WRONG("2, 0, 1", " 0", "q01"), [2, 0, 1], layer=" 0"),
        bad(seq([1, 2], 3), IndexError(OUT_OF_RANGE.format(3)), sweep_len=[1, 1, 1]),  # the host's errors
        bad(seq([1, 2], -1), IndexError(OUT_OF_RANGE.format(-1)), sweep_len=[1, 1, 1]),
        bad(seq(grid(2, 3), (0, 1, 2)), IndexError, sweep_len=[2, 3, 1]),  # fewer axes than dimensions
        bad(lacking("use_space", val(1)), KeyError),  # every key is read whatever the type
        bad(val(1), ValueError, layer="zero"), bad(val(1), TypeError, layer=None),  # before the gate lookup
    ],
)
def test_a_record_that_cannot_be_compiled_fails_with_its_message(
        setup, answer, message, select, how, space, mode, sweep_len, change):
    exp, evaluator, gate = setup
    space_sweeps(exp, evaluator, space)
    record = one_record(exp, evaluator, answer, select, how, **change)
    if mode == "none":
        exp.circuit.answer = None
    elif mode == "empty circuit":
        exp._Experiment__wave_circuit, batch = WaveCircuit(), WaveCircuit()
        batch.add_gate(("X", "q01"), 0, three_waves())
        exp.append_circuit(batch)
    elif mode == "batch":
        exp.clear_batch_circuits()
    error = type(message) if isinstance(message, Exception) else message
    error = RuntimeError if isinstance(error, str) else error
    text = compile_error(exp, error)  # a bare exception type is checked by type only
    assert error is message or text == (message.format(record) if isinstance(message, str) else str(message))
    assert evaluator.scripts()[-1] == "w"  # the script was evaluated first
    assert private(exp, "compiled_waveform_parameter_list") == []
    assert all(e["t"] == "p" for entries in private(exp, "compiled_sweep_dict").values() for e in entries)
    assert sweep_len is None or private(exp, "compiled_sweep_len") == sweep_len
    assert message != NO_SELECTION or "searches" not in vars(gate)  # refused before any wave search
    assert error is RuntimeError or "layer" not in change or exp.circuit.searches is None  # or any gate search


@pytest.mark.parametrize(
    ("how", "selection", "expected"),
    [("ids", [2, 1, 1], [2, 1, 1]), ("name", ["flux", "flux"], [1]), ("name", ["nowhere", "drive"], [0, 2]),
     ("channel", ["q01.z", "q01.xy"], [0, 1, 2])],
)
def test_wave_ids_are_the_records_own_list_or_each_id_found_once(setup, how, selection, expected):
    exp, evaluator, gate = setup
    unread = dict.fromkeys(["search_type", "wave_names", "channels", "gate_name"], KeyError) if how == "ids" else {}
    fixed = one_record(exp, evaluator, val(1), selection, how, **unread)
    evaluator.answers["s"] = seq([1, 2], 0)
    getattr(exp, f"set_waveform_script_by_{how}")("q01", 0, selection, "phase", "s")
    exp.compile_scripts()
    fixed_ids, swept_ids = exp.compiled_waveform_parameter_list[0]["wave_ids"], exp.compiled_sweep_dict[0][0]["wave_ids"]
    assert type(fixed_ids) is list and type(swept_ids) is list and sorted(swept_ids) == sorted(fixed_ids)
    if how == "ids":  # nothing is searched
        assert fixed_ids is fixed["wave_ids"] == expected and "searches" not in vars(gate)
        assert swept_ids is private(exp, "waveform_script")[1]["wave_ids"]
    else:
        assert sorted(fixed_ids) == expected
        assert gate.searches == [((), {"wave_name" if how == "name" else how: target}) for target in selection] * 2


@pytest.mark.parametrize(("layer", "looked_up"), [("0", 0), (0.9, 0), (True, 1)])
def test_a_fixed_entry_records_the_value_unconverted_and_leaves_the_sweep_alone(setup, layer, looked_up):
    exp, evaluator, _ = setup
    exp.circuit.add_gate(("X", "q01"), 1, three_waves())
    array = np.array([0.1, 0.2])
    one_record(exp, evaluator, val(array, dim="ignored"), [2, 0], layer=layer)
    exp.compile_scripts()
    assert exp.circuit.searches == [(("q01", looked_up), {})]  # the stored entity and the integer layer
    (entry,) = exp.compiled_waveform_parameter_list
    assert list(entry.items()) == [("entity", "q01"), ("layer", looked_up), ("wave_ids", [2, 0]),
                                   ("parameter", "amp"), ("value", array), ("re_compile", False)]
    assert entry["value"] is array and type(entry["layer"]) is int and exp.compiled_sweep_len == [1, 1, 1]
    assert exp.compiled_sweep_dict == {0: [], 1: [], 2: []}


@pytest.mark.parametrize(
    ("lengths", "args", "sweep_len"),
    [([1, 4], None, [4, 1, 1]), ([5, 4], (0, 4, 5), [5, 1, 1]), ([0, 3], (0, 3, 0), [0, 1, 1])],
)
def test_sweeps_of_several_records_on_one_dimension_must_agree_in_length(setup, lengths, args, sweep_len):
    exp, evaluator, _ = setup
    for i, n in enumerate(lengths):
        evaluator.answers[f"s{i}"] = seq(list(range(n)), 0)
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", f"s{i}")
    assert compile_error(exp) == STEPS(*args) if args else exp.compile_scripts() is None
    assert private(exp, "compiled_sweep_len") == sweep_len
    assert [e["len"] for e in private(exp, "compiled_sweep_dict")[0]] == lengths[: len(lengths) - bool(args)]


@pytest.mark.parametrize(
    ("space", "dim", "values", "sweep_len", "filed"),
    [
        ([], 0, [0.1, 0.2, 0.3, 0.4], [4, 1, 1], 0),
        ([4], [0], np.array([0.1, 0.2, 0.3, 0.4]), [4, 1, 1], 0),  # a one-element dimension is unwrapped
        ([], (0, 1), grid(3, 4), [3, 4, 1], 1),
        ([], [0, 1, 2], grid(2, 3, 4), [2, 3, 4], 2),
        ([2], (1, 2), grid(3, 4), [2, 3, 4], 2),  # axes belong to the listed dimensions by position
    ],
)
def test_a_sweep_entry_on_one_or_several_dimensions(setup, space, dim, values, sweep_len, filed):
    exp, evaluator, _ = setup
    space_sweeps(exp, evaluator, space)
    one_record(exp, evaluator, seq(values, dim, use_space=["p0"]), [0, 2], layer=0.0)
    exp.compile_scripts()
    assert exp.compiled_sweep_len == sweep_len and exp.compiled_waveform_parameter_list == []
    entry = exp.compiled_sweep_dict[filed][-1]
    stored_dim = dim[0] if isinstance(dim, (list, tuple)) and len(dim) == 1 else dim
    assert list(entry.items()) == [
        ("t", "w"), ("entity", "q01"), ("layer", 0), ("wave_ids", [0, 2]), ("parameter", "amp"),
        ("value", np.asarray(values).tolist()), ("len", len(values)),
        ("re_compile", "w" if space[:1] not in ([], [1]) else False), ("dim", stored_dim)]  # marked when p0 sweeps
    assert type(entry["layer"]) is int and type(entry["dim"]) is type(stored_dim) and type(entry["value"]) is list
    assert [type(v) for v in entry["value"]] == [type(v) for v in np.asarray(values).tolist()]
    assert [d for d, es in exp.compiled_sweep_dict.items() for e in es if e["t"] == "w"] == [filed]
