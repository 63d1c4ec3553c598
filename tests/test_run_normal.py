"""The normal-mode run loop: compiled values, sweep steps, re-evaluated scripts and the callback."""

import copy

import numpy as np
import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.languages import lang


class FakeWave:
    def __init__(self, params=None, config=None, t0=0.0, ratio=1.0):
        self.wave_parameters = dict(params or {})
        self.waveform_compiler_config = dict(config or {})
        self.t0 = t0
        self.ratio = ratio

    def state(self):
        return (dict(self.wave_parameters), dict(self.waveform_compiler_config), self.t0, self.ratio)


class FakeGate:
    def __init__(self, waves):
        self.waves = waves


class FakeCircuit:
    """Gates placed by (entity, layer); records searches and exports with a snapshot of every wave."""

    def __init__(self, log, places):
        self.log = log
        self.places = places
        self.gates = {i: gate for i, gates in enumerate(places.values()) for gate in gates[:1]}

    def search_gates(self, entity, layer):
        self.log.append(("search", entity, layer, type(layer)))
        return list(self.places.get((entity, layer), []))

    def snapshot(self):
        def waves(gate):
            return gate.waves.values() if isinstance(gate.waves, dict) else gate.waves

        return {place: [w.state() for w in waves(gates[0])] for place, gates in self.places.items() if gates}

    def export_wave_package(self, *args, **kwargs):
        package = {"args": args, "kwargs": kwargs, "state": self.snapshot()}
        self.log.append(("export", package))
        return package


class FakeGroup:
    def __init__(self, log, circuit=None):
        self.log = log
        self.circuit = circuit
        self.temporary = {}

    def set_temporary_parameter(self, key, value):
        snapshot = self.circuit.snapshot() if self.circuit is not None else None
        self.log.append(("temp", key, value, snapshot))
        self.temporary[key] = value


class FakeEvaluator:
    """Re-evaluation spy: the value is computed from the group's current temporary parameters."""

    def __init__(self, log, group, rule):
        self.log = log
        self.group = group
        self.rule = rule

    def evaluate(self, *args, **kwargs):
        self.log.append(("evaluate", args, kwargs, dict(self.group.temporary)))
        return {"val": self.rule(args[0], self.group.temporary)}


class Callback:
    def __init__(self, log=None, answers=None):
        self.log = log if log is not None else []
        self.calls = []
        self.answers = answers or (lambda steps: None)

    def __call__(self, *args, **kwargs):
        self.calls.append(
            {
                "args": args,
                "keys": list(kwargs),
                "kwargs": kwargs,
                "pos": list(kwargs.get("pos", [])),
                "steps": kwargs.get("steps"),
            }
        )
        self.log.append(("callback", kwargs.get("steps")))
        return self.answers(kwargs.get("steps"))


class Setup:
    """An experiment with a hand-compiled state on fake collaborators."""

    def __init__(self, lengths=(1, 1, 1), exp_cls=Experiment):
        self.log = []
        self.wave_a = FakeWave({"amp": 0.0, "t0": -1.0}, {"detuning": 0.0, "ratio": 9.0}, t0=1.0, ratio=1.0)
        self.wave_b = FakeWave({"amp": 0.0}, {"phase": 0.0}, t0=2.0, ratio=2.0)
        self.gate = FakeGate([self.wave_a, self.wave_b])
        self.other = FakeGate([FakeWave({"width": 10.0})])
        self.circuit = FakeCircuit(self.log, {("q01", 0): [self.gate], ("q02", 1): [self.other]})
        self.group = FakeGroup(self.log, self.circuit)
        self.evaluator = FakeEvaluator(self.log, self.group, lambda script, temps: (script, temps.get("amp")))
        self.exp = exp_cls("title", "description")
        exp = self.exp
        exp._Experiment__wave_circuit = self.circuit
        exp._Experiment__group = self.group
        exp._Experiment__script_evaluator = self.evaluator
        exp._Experiment__compiled = True
        exp._Experiment__compiled_sweep_len = list(lengths)
        exp._Experiment__compiled_sweep_dict = {0: [], 1: [], 2: []}
        exp._Experiment__compiled_space_parameter_dict = {}
        exp._Experiment__compiled_waveform_parameter_list = []
        exp._Experiment__compile_space_timestamp = None

    def events(self, kind):
        return [entry for entry in self.log if entry[0] == kind]


def fixed(parameter, value, wave_ids=(0,), entity="q01", layer=0, re_compile=False):
    return {
        "entity": entity,
        "layer": layer,
        "wave_ids": list(wave_ids),
        "parameter": parameter,
        "value": value,
        "re_compile": re_compile,
    }


def space_sweep(key, values, dim=0):
    return {"t": "p", "key": key, "value": values, "len": len(values), "dim": dim}


def wave_sweep(parameter, values, dim=0, wave_ids=(0,), entity="q01", layer=0):
    return {
        "t": "w",
        "entity": entity,
        "layer": layer,
        "wave_ids": list(wave_ids),
        "parameter": parameter,
        "value": values,
        "len": len(values),
        "re_compile": False,
        "dim": dim,
    }


def positions(callback):
    return [call["pos"] for call in callback.calls]


# ---------------------------------------------------------------------------
# Documentation and argument checks


def test_documentation_string():
    assert Experiment.run_exp_normal.__doc__ == (
        "Experiment.run_exp_normal(self, callback: Callable, dict options: Optional[Dict] = None, "
        "group: Group = None, int space_timestamp: int = None)"
    )


class OwnDict(dict):
    pass


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"options": OwnDict()}, "Argument 'options' has incorrect type (expected dict, got OwnDict)"),
        ({"options": []}, "Argument 'options' has incorrect type (expected dict, got list)"),
        ({"space_timestamp": "5"}, "Argument 'space_timestamp' has incorrect type (expected int, got str)"),
        ({"space_timestamp": [5]}, "Argument 'space_timestamp' has incorrect type (expected int, got list)"),
    ],
)
def test_argument_checks_come_first(kwargs, message):
    setup = Setup()
    setup.exp._Experiment__compiled = False
    callback = Callback()
    with pytest.raises(TypeError) as info:
        setup.exp.run_exp_normal(callback, **kwargs)
    assert str(info.value) == message
    assert callback.calls == [] and setup.log == []


# ---------------------------------------------------------------------------
# Compilation on demand


class CompileSpy(Experiment):
    def compile_scripts(self, *args, **kwargs):
        self.compile_calls.append((args, kwargs))
        self._Experiment__compiled = True


def compile_spy_setup(flag):
    setup = Setup(exp_cls=CompileSpy)
    setup.exp.compile_calls = []
    setup.exp._Experiment__compiled = flag
    return setup


@pytest.mark.parametrize(
    ("given", "timestamp", "passed"),
    [(None, None, None), (None, 7, 7), ("argument", 12.9, 12), ("argument", None, None)],
)
def test_uncompiled_experiment_compiles_first(given, timestamp, passed):
    setup = compile_spy_setup(False)
    argument = FakeGroup([]) if given else None
    callback = Callback()
    setup.exp.run_exp_normal(callback, None, argument, timestamp)
    expected_group = argument if given else setup.group
    assert len(setup.exp.compile_calls) == 1
    args, kwargs = setup.exp.compile_calls[0]
    assert args == () and kwargs == {"group": expected_group, "space_timestamp": passed}
    assert kwargs["group"] is expected_group and type(kwargs["space_timestamp"]) is type(passed)
    assert len(callback.calls) == 1


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_compiled_experiment_is_not_compiled_again(flag):
    setup = compile_spy_setup(flag)
    callback = Callback()
    setup.exp.run_exp_normal(callback, None, FakeGroup([]), 5)
    assert setup.exp.compile_calls == [] and len(callback.calls) == 1


@pytest.mark.parametrize("flag", [0, None, ""])
def test_only_the_value_false_triggers_compilation(flag):
    # A false flag that is not False itself counts as compiled; the compiled views then refuse.
    setup = compile_spy_setup(flag)
    with pytest.raises(RuntimeError) as info:
        setup.exp.run_exp_normal(Callback())
    assert str(info.value) == lang.msg("exp_not_compiled")
    assert setup.exp.compile_calls == []


def test_compile_failure_propagates_and_nothing_runs():
    class Failing(Experiment):
        def compile_scripts(self, *args, **kwargs):
            raise ZeroDivisionError("compile failed")

    setup = Setup(exp_cls=Failing)
    setup.exp._Experiment__compiled = False
    callback = Callback()
    with pytest.raises(ZeroDivisionError, match="compile failed"):
        setup.exp.run_exp_normal(callback)
    assert callback.calls == [] and setup.log == []


def test_uncompiled_experiment_without_group_is_refused():
    exp = Experiment("t", "d")
    callback = Callback()
    with pytest.raises(RuntimeError) as info:
        exp.run_exp_normal(callback)
    assert str(info.value) == lang.msg("exp_group_not_set")
    assert callback.calls == []


# ---------------------------------------------------------------------------
# Fixed values and space parameters


@pytest.mark.parametrize("lengths", [(1, 1, 1), (2, 1, 1)])
def test_fixed_values_are_written_then_space_parameters_installed(lengths):
    setup = Setup(lengths)
    exp = setup.exp
    exp._Experiment__compiled_waveform_parameter_list = [
        fixed("amp", 0.5, wave_ids=(1, 0)),
        fixed("width", 30.0, entity="q02", layer="1"),
        fixed("amp", 0.7, wave_ids=(0,), layer=0.9),
    ]
    exp._Experiment__compiled_space_parameter_dict = {"q01.freq": 5.1e9, "amp": 0.25}
    exp.run_exp_normal(Callback())
    searches = setup.events("search")
    assert searches[:3] == [("search", "q01", 0, int), ("search", "q02", 1, int), ("search", "q01", 0, int)]
    temps = setup.events("temp")[:2]
    assert [(key, value) for _, key, value, _ in temps] == [("q01.freq", 5.1e9), ("amp", 0.25)]
    # Every fixed value is already in place when the first space parameter is installed.
    state = temps[0][3]
    assert state[("q01", 0)][0][0]["amp"] == 0.7 and state[("q01", 0)][1][0]["amp"] == 0.5
    assert state[("q02", 1)][0][0]["width"] == 30.0
    assert setup.wave_a.wave_parameters["amp"] == 0.7


def test_space_parameters_go_to_the_experiments_group_not_the_argument():
    setup = Setup()
    setup.exp._Experiment__compiled_space_parameter_dict = {"k": 1}
    other = FakeGroup([])
    setup.exp.run_exp_normal(Callback(), None, other)
    assert setup.group.temporary == {"k": 1} and other.temporary == {}
    assert setup.exp.group is setup.group


WAVE_RULE_CASES = [
    # parameter, wave parameters, compiler config, where the value must land
    ("amp", {"amp": 0}, {"amp": 0}, "params"),
    ("detuning", {"amp": 0}, {"detuning": 0}, "config"),
    ("t0", {"t0": 0}, {"t0": 0}, "params"),
    ("t0", {}, {"t0": 0}, "config"),
    ("t0", {}, {}, "t0"),
    ("ratio", {}, {"ratio": 0}, "config"),
    ("ratio", {"ratio": 0}, {}, "params"),
    ("ratio", {}, {}, "ratio"),
]


@pytest.mark.parametrize(("parameter", "params", "config", "where"), WAVE_RULE_CASES)
@pytest.mark.parametrize("kind", ["fixed", "swept", "re-evaluated"])
def test_wave_value_rule(parameter, params, config, where, kind):
    setup = Setup((2, 1, 1))
    wave = FakeWave(params, config, t0="t0 before", ratio="ratio before")
    setup.gate.waves[0] = wave
    value = ("written", parameter)
    if kind == "fixed":
        setup.exp._Experiment__compiled_waveform_parameter_list = [fixed(parameter, value)]
    elif kind == "swept":
        setup.exp._Experiment__compiled_sweep_dict[0].append(wave_sweep(parameter, [0, value]))
    else:
        setup.exp._Experiment__compiled_waveform_parameter_list = [fixed(parameter, None, re_compile="script")]
        setup.evaluator.rule = lambda script, temps: value
    setup.exp.run_exp_normal(Callback())
    expected_params = dict(params)
    expected_config = dict(config)
    expected_t0, expected_ratio = "t0 before", "ratio before"
    if where == "params":
        expected_params[parameter] = value
    elif where == "config":
        expected_config[parameter] = value
    elif where == "t0":
        expected_t0 = value
    else:
        expected_ratio = value
    assert wave.state() == (expected_params, expected_config, expected_t0, expected_ratio)


@pytest.mark.parametrize("kind", ["fixed", "swept"])
def test_unknown_wave_parameter_is_refused_after_earlier_waves(kind):
    setup = Setup((2, 1, 1))
    first = FakeWave({"bad": 0})
    second = FakeWave({"amp": 0}, {"detuning": 0})
    setup.gate.waves[:] = [first, second]
    if kind == "fixed":
        setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("bad", 5, wave_ids=(0, 1))]
    else:
        setup.exp._Experiment__compiled_sweep_dict[0].append(wave_sweep("bad", [5, 6], wave_ids=(0, 1)))
    callback = Callback()
    with pytest.raises(RuntimeError) as info:
        setup.exp.run_exp_normal(callback)
    assert str(info.value) == lang.msg("exp_wave_para_invalid").format("bad")
    assert first.wave_parameters["bad"] == 5
    assert second.state() == ({"amp": 0}, {"detuning": 0}, 0.0, 1.0)
    assert callback.calls == []


def test_re_evaluated_value_with_unknown_parameter_is_refused():
    setup = Setup((2, 1, 1))
    setup.gate.waves[:] = [FakeWave({"amp": 0})]
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 1, re_compile="s")]
    # After the compiled value was written, the parameter disappears from the wave.
    setup.exp._Experiment__compiled_space_parameter_dict = {"k": 1}
    original = setup.group.set_temporary_parameter

    def drop(key, value):
        original(key, value)
        setup.gate.waves[0] = FakeWave({"width": 1})

    setup.group.set_temporary_parameter = drop
    callback = Callback()
    with pytest.raises(RuntimeError) as info:
        setup.exp.run_exp_normal(callback)
    assert str(info.value) == lang.msg("exp_wave_para_invalid").format("amp")
    assert callback.calls == []


@pytest.mark.parametrize(
    ("layer", "error"),
    [("one", ValueError), (None, TypeError), ([0], TypeError)],
)
def test_unconvertible_layer_propagates(layer, error):
    setup = Setup()
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 1, layer=layer)]
    with pytest.raises(error):
        setup.exp.run_exp_normal(Callback())
    assert setup.events("search") == []


@pytest.mark.parametrize("missing", ["entity", "layer", "parameter", "wave_ids", "value", "re_compile"])
def test_fixed_entry_without_a_needed_key(missing):
    setup = Setup()
    entry = fixed("amp", 1)
    del entry[missing]
    setup.exp._Experiment__compiled_waveform_parameter_list = [entry]
    with pytest.raises(KeyError):
        setup.exp.run_exp_normal(Callback())


def test_gate_not_found_raises_index_error():
    setup = Setup()
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 1, entity="q09")]
    callback = Callback()
    with pytest.raises(IndexError):
        setup.exp.run_exp_normal(callback)
    assert callback.calls == []


def test_wave_ids_are_keys_into_any_wave_collection():
    setup = Setup()
    wave = FakeWave({"amp": 0})
    setup.gate.waves = {"drive": wave}
    setup.exp._Experiment__compiled_waveform_parameter_list = [
        {**fixed("amp", 3), "wave_ids": ("drive",)},
        {**fixed("amp", 4), "wave_ids": iter(["drive"])},
    ]
    setup.exp.run_exp_normal(Callback())
    assert wave.wave_parameters["amp"] == 4


# ---------------------------------------------------------------------------
# Steps, positions and the callback contract


def test_three_by_two_sweep_walks_dimension_two_fastest():
    setup = Setup((3, 2, 1))
    callback = Callback()
    options = {"o": 1}
    result = setup.exp.run_exp_normal(callback, options)
    assert positions(callback) == [[0, 0, 0], [0, 1, 0], [1, 0, 0], [1, 1, 0], [2, 0, 0], [2, 1, 0]]
    assert [call["steps"] for call in callback.calls] == [0, 1, 2, 3, 4, 5]
    pos_objects = {id(call["kwargs"]["pos"]) for call in callback.calls}
    assert len(pos_objects) == 1
    pos = callback.calls[0]["kwargs"]["pos"]
    assert type(pos) is list and pos == [2, 1, 0]
    for call in callback.calls:
        assert call["args"] == ()
        assert call["keys"] == ["wave_package", "exp_obj", "pos", "steps", "options"]
        assert call["kwargs"]["exp_obj"] is setup.exp and call["kwargs"]["options"] is options
    packages = [entry[1] for entry in setup.events("export")]
    assert [call["kwargs"]["wave_package"] for call in callback.calls] == packages
    assert all(package["args"] == () and package["kwargs"] == {} for package in packages)
    assert isinstance(result, Result) and len(result) == 0 and result.dims == [3, 2, 1]


@pytest.mark.parametrize(
    ("lengths", "expected"),
    [
        ((2, 1, 3), [[0, 0, 0], [0, 0, 1], [0, 0, 2], [1, 0, 0], [1, 0, 1], [1, 0, 2]]),
        ((2, 0, 2), [[0, 0, 0], [0, 0, 1], [1, 0, 0], [1, 0, 1]]),
        ((2, 2, 2, 7), [[i, j, k] for i in range(2) for j in range(2) for k in range(2)]),
    ],
)
def test_every_combination_is_one_step(lengths, expected):
    setup = Setup(lengths)
    callback = Callback()
    setup.exp.run_exp_normal(callback)
    assert positions(callback) == expected
    assert [call["steps"] for call in callback.calls] == list(range(len(expected)))


def test_inner_bounds_are_read_again_for_each_outer_pass():
    setup = Setup((3, 2, 1))

    def answers(steps):
        if steps == 0:
            setup.exp.reset_compiled_data()
        return None

    callback = Callback(answers=answers)
    setup.exp.run_exp_normal(callback)
    # Dimension 1's loop had started with bound 2; the later passes see the new lengths [1, 1, 1].
    assert positions(callback) == [[0, 0, 0], [0, 1, 0], [1, 0, 0], [2, 0, 0]]


def test_callback_needs_all_five_keywords():
    setup = Setup((2, 1, 1))

    def two(wave_package, exp_obj):
        return None

    with pytest.raises(TypeError, match="unexpected keyword argument"):
        setup.exp.run_exp_normal(two)


@pytest.mark.parametrize("lengths", [(1, 1, 1), (2, 1, 1)])
def test_callback_options_default_to_none(lengths):
    setup = Setup(lengths)
    callback = Callback()
    setup.exp.run_exp_normal(callback)
    assert all(call["kwargs"]["options"] is None for call in callback.calls)


# ---------------------------------------------------------------------------
# Results and interrupts


def step_result(steps, value):
    result = Result(item_id_start=steps)
    result.add("v", value)
    return result


def test_results_are_concatenated_in_step_order(monkeypatch):
    created = []
    concatenated = []
    original_init = Result.__init__
    original_concatenate = Result.concatenate

    def init(self, *args, **kwargs):
        created.append((self, args, kwargs))
        original_init(self, *args, **kwargs)

    def concatenate(self, other):
        concatenated.append((self, other))
        return original_concatenate(self, other)

    monkeypatch.setattr(Result, "__init__", init)
    monkeypatch.setattr(Result, "concatenate", concatenate)
    setup = Setup((3, 2, 1))
    returned = {}

    def answers(steps):
        returned[steps] = step_result(steps, 10 * steps)
        return {"result": returned[steps]}

    result = setup.exp.run_exp_normal(Callback(answers=answers))
    run_result = created[0][0]
    assert created[0][1:] == ((), {"complete": False, "final": False, "chunk_id": 0, "item_id_start": 0,
                                   "dims": [3, 2, 1]})
    assert result is run_result
    assert [(a, b) for a, b in concatenated] == [(run_result, returned[i]) for i in range(6)]
    assert result.item_ids == [0, 1, 2, 3, 4, 5]
    assert result.data["v"].tolist() == [[[0.0], [10.0]], [[20.0], [30.0]], [[40.0], [50.0]]]


@pytest.mark.parametrize(
    "answer",
    [None, [], "result", ("result",), {"result": "not a Result"}, {"other": 1}, {"result": None}],
)
def test_answers_without_a_result_leave_the_fresh_result(answer):
    setup = Setup((2, 1, 1))
    result = setup.exp.run_exp_normal(Callback(answers=lambda steps: answer))
    assert isinstance(result, Result) and len(result) == 0 and result.dims == [2, 1, 1]


def test_a_result_returned_directly_is_ignored():
    setup = Setup((2, 1, 1))
    result = setup.exp.run_exp_normal(Callback(answers=lambda steps: step_result(steps, 1)))
    assert len(result) == 0


class AnswerDict(dict):
    pass


@pytest.mark.parametrize(
    ("interrupt", "calls", "stops"),
    [(True, 1, True), (1, 4, False), (1.0, 4, False), (np.True_, 4, False), ("yes", 4, False), (False, 4, False)],
)
@pytest.mark.parametrize("answer_type", [dict, AnswerDict])
def test_only_true_itself_interrupts(interrupt, calls, stops, answer_type):
    setup = Setup((2, 2, 1))
    callback = Callback(answers=lambda steps: answer_type(interrupt=interrupt))
    result = setup.exp.run_exp_normal(callback)
    assert len(callback.calls) == calls
    if stops:
        assert result is True
    else:
        assert isinstance(result, Result)


def test_interrupt_after_merging_the_result(monkeypatch):
    merged = []
    original = Result.concatenate
    monkeypatch.setattr(Result, "concatenate", lambda self, other: merged.append(other) or original(self, other))
    setup = Setup((3, 1, 1))
    answers = {0: {"result": step_result(0, 1)}, 1: {"result": step_result(1, 2), "interrupt": True}}
    callback = Callback(answers=lambda steps: answers.get(steps))
    assert setup.exp.run_exp_normal(callback) is True
    assert merged == [answers[0]["result"], answers[1]["result"]]
    assert len(callback.calls) == 2 and len(setup.events("export")) == 2


def test_concatenate_failure_propagates():
    setup = Setup((2, 1, 1))
    # Item 5 lies outside a sweep of two steps.
    with pytest.raises(IndexError, match="outside a sweep"):
        setup.exp.run_exp_normal(Callback(answers=lambda steps: {"result": step_result(5, 1)}))


# ---------------------------------------------------------------------------
# Single-step runs


@pytest.mark.parametrize("lengths", [(1, 1, 1), (0, 5, 1), (1, 4, 3), (0, 1, 1), (-2, 3, 1)])
def test_single_step_run(monkeypatch, lengths):
    created = []
    original = Result.__init__
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: created.append(k) or original(self, *a, **k))
    setup = Setup(lengths)
    setup.exp._Experiment__compiled_sweep_dict[0].append(space_sweep("amp", [1.5]))
    setup.exp._Experiment__compiled_sweep_dict[1].append(wave_sweep("amp", [7, 8, 9, 10, 11]))
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 0.5, re_compile="script")]
    setup.exp._Experiment__compiled_space_parameter_dict = {"fixed": 2}
    mine = step_result(0, 3)
    created.clear()
    callback = Callback(answers=lambda steps: {"result": mine, "interrupt": True})
    assert setup.exp.run_exp_normal(callback) is mine
    assert created == []
    assert positions(callback) == [[0, 0, 0]] and callback.calls[0]["steps"] == 0
    # Neither the sweep nor the re-evaluation ran; the compiled value stays in the wave.
    assert setup.group.temporary == {"fixed": 2}
    assert setup.events("evaluate") == []
    assert setup.wave_a.wave_parameters["amp"] == 0.5
    assert len(setup.events("export")) == 1


@pytest.mark.parametrize("answer", [None, {"result": "x"}, {"interrupt": True}, ["result"]])
def test_single_step_run_without_result_returns_none(answer):
    setup = Setup()
    assert setup.exp.run_exp_normal(Callback(answers=lambda steps: answer)) is None


# ---------------------------------------------------------------------------
# The sweep


def test_space_and_wave_sweeps_per_step():
    setup = Setup((3, 2, 1))
    sweep = setup.exp._Experiment__compiled_sweep_dict
    sweep[0].append(space_sweep("amp", [0.1, 0.2, 0.3]))
    sweep[0].append(wave_sweep("amp", ["a0", "a1", "a2"]))
    sweep[1].append(wave_sweep("detuning", [-1, 1], dim=1))
    sweep[1].append(space_sweep("freq", [5, 6], dim=1))
    setup.exp.run_exp_normal(Callback())
    exports = [entry[1]["state"][("q01", 0)][0] for entry in setup.events("export")]
    assert [(s[0]["amp"], s[1]["detuning"]) for s in exports] == [
        ("a0", -1), ("a0", 1), ("a1", -1), ("a1", 1), ("a2", -1), ("a2", 1)
    ]
    temps = [(key, value) for _, key, value, _ in setup.events("temp")]
    assert temps == [
        ("amp", 0.1), ("freq", 5), ("amp", 0.1), ("freq", 6),
        ("amp", 0.2), ("freq", 5), ("amp", 0.2), ("freq", 6),
        ("amp", 0.3), ("freq", 5), ("amp", 0.3), ("freq", 6),
    ]
    assert setup.group.temporary == {"amp": 0.3, "freq": 6}


def test_sweep_dictionary_is_walked_in_its_own_order():
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict = {
        "later": [space_sweep("x", [1, 2]), space_sweep("y", [3, 4])],
        0: [space_sweep("z", [5, 6])],
    }
    setup.exp.run_exp_normal(Callback())
    assert [(key, value) for _, key, value, _ in setup.events("temp")] == [
        ("x", 1), ("y", 3), ("z", 5), ("x", 2), ("y", 4), ("z", 6)
    ]


@pytest.mark.parametrize(
    ("dim", "values", "expected"),
    [
        ((0, 1), [[1, 2], [3, 4], [5, 6]], [1, 2, 3, 4, 5, 6]),
        ([0, 1], [[1, 2], [3, 4], [5, 6]], [1, 2, 3, 4, 5, 6]),
        ([1, 0], [[1, 2, 3], [4, 5, 6]], [1, 4, 2, 5, 3, 6]),
        ((0,), [7, 8, 9], [7, 7, 8, 8, 9, 9]),
        (np.array([0, 1]).tolist(), np.arange(6).reshape(3, 2), [0, 1, 2, 3, 4, 5]),
    ],
)
@pytest.mark.parametrize("t", ["p", "w"])
def test_multi_dimension_entries_index_by_the_listed_positions(dim, values, expected, t):
    setup = Setup((3, 2, 1))
    entry = space_sweep("amp", values, dim) if t == "p" else wave_sweep("amp", values, dim)
    setup.exp._Experiment__compiled_sweep_dict[1].append(entry)
    setup.exp.run_exp_normal(Callback())
    if t == "p":
        got = [value for _, _, value, _ in setup.events("temp")]
    else:
        got = [entry[1]["state"][("q01", 0)][0][0]["amp"] for entry in setup.events("export")]
    assert got == expected
    assert all(isinstance(value, np.generic) for value in got)


class DimList(list):
    pass


def test_list_subclass_dim_counts_as_several_dimensions():
    setup = Setup((2, 2, 1))
    setup.exp._Experiment__compiled_sweep_dict[1].append(space_sweep("a", [[1, 2], [3, 4]], DimList([0, 1])))
    setup.exp.run_exp_normal(Callback())
    assert [value for _, _, value, _ in setup.events("temp")] == [1, 2, 3, 4]


def test_three_dimension_entry():
    setup = Setup((2, 2, 2))
    values = np.arange(8).reshape(2, 2, 2).tolist()
    setup.exp._Experiment__compiled_sweep_dict[2].append(space_sweep("a", values, (0, 1, 2)))
    setup.exp.run_exp_normal(Callback())
    assert [value for _, _, value, _ in setup.events("temp")] == list(range(8))


@pytest.mark.parametrize("t", ["c", "x", None, "P"])
def test_unknown_entry_type_stops_the_sweep(t):
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict[0] += [space_sweep("first", [1, 2]), {"t": t, "value": [0, 1], "dim": 0}]
    callback = Callback()
    with pytest.raises(RuntimeError) as info:
        setup.exp.run_exp_normal(callback)
    assert str(info.value) == lang.msg("exp_sweep_failed")
    assert setup.group.temporary == {"first": 1} and callback.calls == []


def test_step_value_is_taken_before_the_type_is_checked():
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict[0].append({"t": "c", "value": [], "dim": 0})
    with pytest.raises(IndexError):
        setup.exp.run_exp_normal(Callback())


@pytest.mark.parametrize(
    ("entry", "error"),
    [
        ({"t": "p", "value": [], "dim": 0, "key": "k"}, IndexError),
        ({"t": "p", "value": [1, 2], "dim": 3, "key": "k"}, IndexError),
        ({"t": "p", "value": [1, 2], "dim": "0", "key": "k"}, TypeError),
        ({"t": "p", "value": [1, 2], "key": "k"}, KeyError),
        ({"t": "p", "dim": 0, "key": "k"}, KeyError),
        ({"value": [1, 2], "dim": 0, "key": "k"}, KeyError),
        ({"t": "p", "value": [1, 2], "dim": 0}, KeyError),
        ({"t": "w", "value": [1, 2], "dim": 0, "entity": "q01", "layer": 0, "wave_ids": [0]}, KeyError),
        ({"t": "w", "value": [1, 2], "dim": 0, "entity": "q05", "layer": 0, "wave_ids": [0], "parameter": "amp"},
         IndexError),
        ({"t": "p", "value": [[]], "dim": (0, 1), "key": "k"}, IndexError),
    ],
)
def test_broken_sweep_entries_raise_host_errors(entry, error):
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict[0].append(entry)
    callback = Callback()
    with pytest.raises(error):
        setup.exp.run_exp_normal(callback)
    assert callback.calls == []


def test_len_and_re_compile_of_sweep_entries_are_not_read():
    setup = Setup((2, 1, 1))
    entry = wave_sweep("amp", [3, 4])
    entry["len"] = 99
    entry["re_compile"] = "not evaluated"
    setup.exp._Experiment__compiled_sweep_dict[0].append(entry)
    setup.exp.run_exp_normal(Callback())
    assert setup.events("evaluate") == [] and setup.wave_a.wave_parameters["amp"] == 4


# ---------------------------------------------------------------------------
# Re-evaluated scripts


def test_re_compile_entries_are_evaluated_after_the_sweep_of_each_step():
    setup = Setup((3, 1, 1))
    exp = setup.exp
    exp._Experiment__compile_space_timestamp = 77
    exp._Experiment__compiled_sweep_dict[0] += [space_sweep("amp", [1, 2, 3]), wave_sweep("amp", ["s0", "s1", "s2"])]
    exp._Experiment__compiled_waveform_parameter_list = [
        fixed("amp", "compiled-a", re_compile="script-a"),
        fixed("phase", "compiled-b", wave_ids=(1,), re_compile=""),
        fixed("detuning", "compiled-c", re_compile="script-c"),
    ]
    setup.evaluator.rule = lambda script, temps: (script, temps["amp"])
    exp.run_exp_normal(Callback(setup.log))
    evaluations = setup.events("evaluate")
    assert [(args, kwargs) for _, args, kwargs, _ in evaluations] == [
        (("script-a",), {"timestamp": 77}), (("script-c",), {"timestamp": 77})
    ] * 3
    assert [temps["amp"] for *_, temps in evaluations] == [1, 1, 2, 2, 3, 3]
    exports = [entry[1]["state"][("q01", 0)] for entry in setup.events("export")]
    for step, state in enumerate(exports):
        params, config, _, _ = state[0]
        assert params["amp"] == ("script-a", step + 1)  # the re-evaluated value wins over the swept one
        assert config["detuning"] == ("script-c", step + 1)
        assert state[1][1]["phase"] == "compiled-b"  # false re_compile: written once only
    kinds = [entry[0] for entry in setup.log if entry[0] in ("temp", "evaluate", "export", "callback")]
    assert kinds == ["temp", "evaluate", "evaluate", "export", "callback"] * 3


def test_compiled_value_of_a_re_compile_entry_is_written_before_the_first_step():
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", "compiled", re_compile="s")]
    setup.exp._Experiment__compiled_space_parameter_dict = {"k": 0}
    setup.exp.run_exp_normal(Callback())
    first_temp = setup.events("temp")[0]
    assert first_temp[3][("q01", 0)][0][0]["amp"] == "compiled"


def test_evaluation_result_without_val_raises_key_error():
    setup = Setup((2, 1, 1))
    setup.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 1, re_compile="s")]
    setup.evaluator.evaluate = lambda script, timestamp=None: {"value": 1}
    with pytest.raises(KeyError):
        setup.exp.run_exp_normal(Callback())


# ---------------------------------------------------------------------------
# Effects stay in place


def test_failure_in_a_later_step_keeps_earlier_effects():
    setup = Setup((3, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict[0] += [space_sweep("amp", [1, 2, 3]), wave_sweep("amp", [4, 5, 6])]
    problem = ArithmeticError("device lost")

    def answers(steps):
        if steps == 1:
            raise problem
        return None

    callback = Callback(answers=answers)
    with pytest.raises(ArithmeticError) as info:
        setup.exp.run_exp_normal(callback)
    assert info.value is problem
    seen = callback.calls[0]["kwargs"]["pos"]
    assert seen == [1, 0, 0]
    assert setup.group.temporary == {"amp": 2} and setup.wave_a.wave_parameters["amp"] == 5


def test_interrupted_run_keeps_its_effects():
    setup = Setup((3, 1, 1))
    setup.exp._Experiment__compiled_sweep_dict[0].append(wave_sweep("amp", [4, 5, 6]))
    callback = Callback(answers=lambda steps: {"interrupt": steps == 1})
    assert setup.exp.run_exp_normal(callback) is True
    assert setup.wave_a.wave_parameters["amp"] == 5 and callback.calls[0]["kwargs"]["pos"] == [1, 0, 0]


def test_each_run_starts_from_the_first_position():
    setup = Setup((2, 1, 1))
    first, second = Callback(), Callback()
    setup.exp.run_exp_normal(first)
    setup.exp.run_exp_normal(second)
    assert positions(second) == [[0, 0, 0], [1, 0, 0]]
    assert first.calls[0]["kwargs"]["pos"] is not second.calls[0]["kwargs"]["pos"]


# ---------------------------------------------------------------------------
# End to end with the real collaborators


CALIBRATION = {
    "q01.freq": 5.0e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 20.0,
    "q01.ro_amp": 0.1,
    "q01.ro_width": 100.0,
    "q01.ro_freq": 6.5e9,
}


def real_experiment(**extra):
    exp = Experiment("rabi", "amplitude sweep", Group("device", {**CALIBRATION, **extra}))
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    return exp


def test_waveform_sweep_end_to_end():
    exp = real_experiment()
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "sweep(linspace(0, 1, 5), dim=0)")
    amps = []

    def callback(wave_package, exp_obj, pos, steps, options):
        drive = [w for w in wave_package.waves if w.channel == "q01.xy"][0]
        amps.append(drive.wave_parameters["amp"])
        result = Result(item_id_start=steps)
        result.add("amp", drive.wave_parameters["amp"])
        result.add("pos0", pos[0])
        return {"result": result}

    result = exp.run_exp(callback)
    assert amps == pytest.approx([0.0, 0.25, 0.5, 0.75, 1.0])
    assert isinstance(result, Result) and result.dims == [5, 1, 1]
    assert result.data["amp"].ravel().tolist() == pytest.approx([0.0, 0.25, 0.5, 0.75, 1.0])
    assert result.data["pos0"].ravel().tolist() == [0, 1, 2, 3, 4]
    assert exp.is_compiled and exp.circuit.search_gates("q01", 0)[0].waves[0].wave_parameters["amp"] == 1.0


def test_space_parameter_sweep_with_dependent_waveform_end_to_end():
    exp = real_experiment(scale=0)
    exp.set_space_parameter_script("scale", "sweep([1, 2, 3], dim=0)")
    exp.set_space_parameter_script("fixed_key", "42")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "0.1 * space('scale')")
    seen = []

    def callback(wave_package, exp_obj, pos, steps, options):
        drive = [w for w in wave_package.waves if w.channel == "q01.xy"][0]
        seen.append((list(pos), steps, drive.wave_parameters["amp"], exp_obj.group.temporary_parameters["scale"]))
        return {"interrupt": steps == 1}

    assert exp.run_exp(callback) is True
    assert [(p, s, sc) for p, s, _, sc in seen] == [([0, 0, 0], 0, 1), ([1, 0, 0], 1, 2)]
    assert [amp for _, _, amp, _ in seen] == pytest.approx([0.1, 0.2])
    assert exp.group.temporary_parameters["fixed_key"] == 42


def test_single_step_end_to_end_returns_the_callbacks_result():
    exp = real_experiment()
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "0.3")

    def callback(wave_package, exp_obj, pos, steps, options):
        result = Result(item_id_start=steps)
        result.add("amp", [w for w in wave_package.waves if w.channel == "q01.xy"][0].wave_parameters["amp"])
        return {"result": result}

    result = exp.run_exp(callback)
    assert isinstance(result, Result) and result.dims is None
    assert result.data["amp"].tolist() == [0.3]


def test_compiled_values_are_kept_across_runs_end_to_end():
    exp = real_experiment()
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "sweep([0.2, 0.4], dim=0)")
    exp.run_exp(lambda **kwargs: None)
    snapshot = copy.deepcopy(exp.compiled_sweep_dict)
    # Editing after compilation does not reach the next run.
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "sweep([0.9, 0.8, 0.7], dim=0)")
    counted = []
    exp.run_exp(lambda **kwargs: counted.append(kwargs["steps"]))
    assert counted == [0, 1] and exp.compiled_sweep_dict == snapshot
