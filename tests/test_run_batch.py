"""The batch-circuit run loop, and callbacks that tamper with the experiment while a run is going on."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit

FAKES = '''
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result


class FakeWave:
    def __init__(self, params=None, config=None, t0=0.0, ratio=1.0):
        self.wave_parameters = dict(params or {})
        self.waveform_compiler_config = dict(config or {})
        self.t0 = t0
        self.ratio = ratio


class FakeGate:
    def __init__(self, waves):
        self.waves = waves


class FakeCircuit:
    def __init__(self, log, name, places):
        self.log = log
        self.name = name
        self.places = places
        self.gates = {i: gates[0] for i, gates in enumerate(places.values()) if gates}

    def search_gates(self, entity, layer):
        self.log.append(("search", self.name, entity, layer))
        return list(self.places.get((entity, layer), []))

    def export_wave_package(self, *args, **kwargs):
        self.log.append(("export", self.name, args, kwargs))
        return ("package", self.name)


class FakeGroup:
    def __init__(self, log):
        self.log = log
        self.temporary = {}

    def set_temporary_parameter(self, key, value):
        self.log.append(("temp", key, value))
        self.temporary[key] = value


class FakeEvaluator:
    def __init__(self, log):
        self.log = log

    def evaluate(self, *args, **kwargs):
        self.log.append(("evaluate", args, kwargs))
        return {"val": "evaluated"}


def make_circuit(log, name):
    wave = FakeWave({"amp": 0.0}, {"detuning": 0.0})
    return FakeCircuit(log, name, {("q01", 0): [FakeGate([wave])]}), wave


def compiled(exp, lengths, log):
    exp._Experiment__group = FakeGroup(log)
    exp._Experiment__script_evaluator = FakeEvaluator(log)
    exp._Experiment__compiled = True
    exp._Experiment__compiled_sweep_len = list(lengths)
    exp._Experiment__compiled_sweep_dict = {0: [], 1: [], 2: []}
    exp._Experiment__compiled_space_parameter_dict = {}
    exp._Experiment__compiled_waveform_parameter_list = []
    exp._Experiment__compile_space_timestamp = None


def normal_setup(lengths=(3, 2, 1)):
    log = []
    exp = Experiment("t", "d")
    circuit, wave = make_circuit(log, "own")
    exp._Experiment__wave_circuit = circuit
    compiled(exp, lengths, log)
    return exp, log, wave


def batch_setup(count=3):
    log = []
    exp = Experiment("t", "d")
    made = [make_circuit(log, i) for i in range(count)]
    exp._Experiment__batch_circuits = [circuit for circuit, _ in made]
    compiled(exp, (count, 1, 1), log)
    exp._Experiment__compiled_sweep_dict = {0: [{"t": "c", "len": count, "dim": 0,
                                                  "value": list(range(count)), "key": "Circuit ID"}], 1: [], 2: []}
    return exp, log, [wave for _, wave in made]


def space_entry(key, values, dim=0):
    return {"t": "p", "key": key, "value": values, "len": len(values), "dim": dim}


def fixed(parameter, value, entity="q01", layer=0, wave_ids=(0,), re_compile=False):
    return {"entity": entity, "layer": layer, "wave_ids": list(wave_ids), "parameter": parameter,
            "value": value, "re_compile": re_compile}
'''

exec(FAKES)  # the same fakes serve the in-process tests and the subprocess scripts


def recorder(log=None, answers=None):
    calls = []

    def callback(*args, **kwargs):
        calls.append({"args": args, "keys": list(kwargs), "kwargs": kwargs, "pos": list(kwargs["pos"])})
        if log is not None:
            log.append(("callback", kwargs["steps"]))
        return answers(kwargs["steps"], kwargs) if answers else None

    callback.calls = calls
    return callback


# ---------------------------------------------------------------------------
# The batch loop


def test_documentation_string():
    assert Experiment.run_exp_batch_circuit.__doc__ == (
        "Experiment.run_exp_batch_circuit(self, callback: Callable, dict options: Optional[Dict] = None, "
        "group: Group = None, int space_timestamp: int = None)"
    )


def test_three_circuits_are_three_steps(monkeypatch):
    created, merged = [], []
    original_init, original_concatenate = Result.__init__, Result.concatenate
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: created.append((self, a, k)) or original_init(self, *a, **k))
    monkeypatch.setattr(Result, "concatenate", lambda self, o: merged.append((self, o)) or original_concatenate(self, o))
    exp, log, waves = batch_setup(3)
    created.clear()
    answers = {}

    def answer(steps, kwargs):
        answers[steps] = Result(item_id_start=steps)
        answers[steps].add("circuit", kwargs["wave_package"][1])
        return {"result": answers[steps]}

    callback = recorder(log, answer)
    options = {"shots": 100}
    result = exp.run_exp_batch_circuit(callback, options)
    run_result = created[0][0]
    assert created[0][1:] == ((), {"complete": False, "final": False, "chunk_id": 0, "item_id_start": 0,
                                   "dims": [3, 1, 1]})
    assert result is run_result
    assert [call["pos"] for call in callback.calls] == [[0, 0, 0], [1, 0, 0], [2, 0, 0]]
    assert [call["kwargs"]["steps"] for call in callback.calls] == [0, 1, 2]
    assert [call["kwargs"]["wave_package"] for call in callback.calls] == [("package", i) for i in range(3)]
    for call in callback.calls:
        assert call["args"] == () and call["keys"] == ["wave_package", "exp_obj", "pos", "steps", "options"]
        assert call["kwargs"]["exp_obj"] is exp and call["kwargs"]["options"] is options
    assert len({id(call["kwargs"]["pos"]) for call in callback.calls}) == 1
    assert callback.calls[0]["kwargs"]["pos"] == [2, 0, 0]
    assert [o for s, o in merged if s is run_result] == [answers[0], answers[1], answers[2]]
    assert result.data["circuit"].ravel().tolist() == [0, 1, 2]
    exports = [entry for entry in log if entry[0] == "export"]
    assert exports == [("export", i, (), {}) for i in range(3)]


def test_compiled_values_go_into_every_circuit_circuit_by_circuit():
    exp, log, waves = batch_setup(2)
    exp._Experiment__compiled_waveform_parameter_list = [
        fixed("amp", 0.4, re_compile="not evaluated in this mode"),
        fixed("detuning", 7.0, layer="0"),
        fixed("t0", 3.0),
    ]
    exp._Experiment__compiled_space_parameter_dict = {"a": 1, "b": 2}
    exp.run_exp_batch_circuit(recorder(log))
    kinds = [entry[:2] for entry in log]
    assert kinds == [("search", 0)] * 3 + [("search", 1)] * 3 + [("temp", "a"), ("temp", "b")] + [
        ("export", 0), ("callback", 0), ("export", 1), ("callback", 1)
    ]
    for wave in waves:
        assert wave.wave_parameters == {"amp": 0.4} and wave.waveform_compiler_config == {"detuning": 7.0}
        assert wave.t0 == 3.0
    assert not any(entry[0] == "evaluate" for entry in log)


def test_no_sweep_is_applied_in_batch_mode():
    exp, log, waves = batch_setup(2)
    exp._Experiment__compiled_sweep_dict = {0: [space_entry("a", [1, 2]), {"t": "zzz"}], 1: [], 2: []}
    result = exp.run_exp_batch_circuit(recorder(log))
    assert isinstance(result, Result)
    assert not any(entry[0] in ("temp", "evaluate") for entry in log)


@pytest.mark.parametrize(
    "name", ["_Experiment__compiled_sweep_dict", "_Experiment__script_evaluator", "_Experiment__compile_space_timestamp",
             "_Experiment__wave_circuit"],
)
def test_batch_mode_does_not_need_the_sweep_state(name):
    exp, log, waves = batch_setup(2)
    delattr(exp, name)
    callback = recorder(log)
    assert isinstance(exp.run_exp_batch_circuit(callback), Result)
    assert len(callback.calls) == 2


def test_wave_value_rule_in_batch_mode():
    exp, log, waves = batch_setup(2)
    waves[1].wave_parameters["ratio"] = 0
    exp._Experiment__compiled_waveform_parameter_list = [fixed("ratio", 0.5)]
    exp.run_exp_batch_circuit(recorder(log))
    assert waves[0].ratio == 0.5 and "ratio" not in waves[0].wave_parameters
    assert waves[1].ratio == 1.0 and waves[1].wave_parameters["ratio"] == 0.5


def test_unknown_parameter_in_second_circuit_keeps_first_circuit_values():
    exp, log, waves = batch_setup(2)
    waves[0].wave_parameters["only_here"] = 0
    exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 9), fixed("only_here", 1)]
    callback = recorder(log)
    with pytest.raises(RuntimeError) as info:
        exp.run_exp_batch_circuit(callback)
    assert str(info.value) == lang.msg("exp_wave_para_invalid").format("only_here")
    assert waves[0].wave_parameters == {"amp": 9, "only_here": 1}
    assert waves[1].wave_parameters == {"amp": 9}
    assert callback.calls == []


def test_gate_missing_in_second_circuit_fails_before_any_step():
    exp, log, waves = batch_setup(2)
    exp._Experiment__batch_circuits[1].places = {}
    exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 9), fixed("detuning", 2)]
    exp._Experiment__compiled_space_parameter_dict = {"a": 1}
    callback = recorder(log)
    with pytest.raises(IndexError):
        exp.run_exp_batch_circuit(callback)
    assert waves[0].wave_parameters == {"amp": 9} and waves[0].waveform_compiler_config == {"detuning": 2}
    assert callback.calls == [] and exp.group.temporary == {}


def test_interrupt_at_second_circuit():
    exp, log, waves = batch_setup(3)
    callback = recorder(log, lambda steps, kw: {"interrupt": True} if steps == 1 else {"interrupt": 1})
    assert exp.run_exp_batch_circuit(callback) is True
    assert [entry for entry in log if entry[0] == "export"] == [("export", 0, (), {}), ("export", 1, (), {})]


@pytest.mark.parametrize("answer", [None, {"result": None}, {"interrupt": True}])
def test_single_circuit_is_a_single_step(monkeypatch, answer):
    created = []
    original = Result.__init__
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: created.append(k) or original(self, *a, **k))
    exp, log, waves = batch_setup(1)
    callback = recorder(log, lambda steps, kw: answer)
    assert exp.run_exp_batch_circuit(callback) is None
    assert created == [] and [call["pos"] for call in callback.calls] == [[0, 0, 0]]
    assert callback.calls[0]["kwargs"]["wave_package"] == ("package", 0)


def test_single_circuit_returns_the_callbacks_result():
    exp, log, waves = batch_setup(1)
    mine = Result()
    assert exp.run_exp_batch_circuit(recorder(log, lambda steps, kw: {"result": mine})) is mine


def test_zero_length_single_step_takes_circuit_zero():
    exp, log, waves = batch_setup(2)
    exp._Experiment__compiled_sweep_len = [0, 1, 1]
    callback = recorder(log)
    assert exp.run_exp_batch_circuit(callback) is None
    assert [entry for entry in log if entry[0] == "export"] == [("export", 0, (), {})]


def test_empty_batch_list_installs_space_parameters_then_fails():
    exp, log, waves = batch_setup(0)
    exp._Experiment__compiled_sweep_len = [0, 1, 1]
    exp._Experiment__compiled_space_parameter_dict = {"a": 1}
    exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 1)]
    callback = recorder(log)
    with pytest.raises(IndexError):
        exp.run_exp_batch_circuit(callback)
    assert exp.group.temporary == {"a": 1} and callback.calls == []


def test_batch_list_is_read_again_at_every_step():
    exp, log, waves = batch_setup(3)
    replacement, _ = make_circuit(log, "replacement")

    def answer(steps, kw):
        if steps == 0:
            exp.batch_circuits[2] = replacement
        return None

    callback = recorder(log, answer)
    exp.run_exp_batch_circuit(callback)
    assert [call["kwargs"]["wave_package"] for call in callback.calls] == [
        ("package", 0), ("package", 1), ("package", "replacement")
    ]


class CompileSpy(Experiment):
    def compile_scripts(self, *args, **kwargs):
        self.compile_calls.append((args, kwargs))
        self._Experiment__compiled = True


@pytest.mark.parametrize(("flag", "compiles"), [(False, True), (True, False), (1, False)])
def test_batch_loop_compiles_only_when_not_compiled(flag, compiles):
    exp = CompileSpy("t", "d")
    exp.compile_calls = []
    log = []
    circuit, _ = make_circuit(log, 0)
    exp._Experiment__batch_circuits = [circuit]
    compiled(exp, (1, 1, 1), log)
    exp._Experiment__compiled = flag
    own = exp.group
    argument = FakeGroup([])
    exp.run_exp_batch_circuit(recorder(log), None, argument, 3.9)
    assert exp.compile_calls == ([((), {"group": argument, "space_timestamp": 3})] if compiles else [])


def test_batch_loop_compiles_with_its_own_group_without_argument():
    exp = CompileSpy("t", "d")
    exp.compile_calls = []
    log = []
    circuit, _ = make_circuit(log, 0)
    exp._Experiment__batch_circuits = [circuit]
    compiled(exp, (1, 1, 1), log)
    exp._Experiment__compiled = False
    exp.run_exp_batch_circuit(recorder(log))
    assert exp.compile_calls == [((), {"group": exp.group, "space_timestamp": None})]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"options": ()}, "Argument 'options' has incorrect type (expected dict, got tuple)"),
        ({"space_timestamp": "1"}, "Argument 'space_timestamp' has incorrect type (expected int, got str)"),
    ],
)
def test_batch_argument_checks(kwargs, message):
    exp, log, waves = batch_setup(2)
    exp._Experiment__compiled = False
    with pytest.raises(TypeError) as info:
        exp.run_exp_batch_circuit(recorder(log), **kwargs)
    assert str(info.value) == message and log == []


CALIBRATION = {
    "q01.freq": 5.0e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 20.0,
    "q01.ro_amp": 0.1,
    "q01.ro_width": 100.0,
    "q01.ro_freq": 6.5e9,
}


def test_batch_run_end_to_end():
    exp = Experiment("batch", "three circuits", Group("device", dict(CALIBRATION)))
    exp.set_space_parameter_script("shots", "128")
    circuits = []
    for count in range(1, 4):
        circuit = WaveCircuit()
        for layer in range(count):
            circuit.add_gate(("X", "q01"), layer)
        circuit.add_gate(("M", "q01"), count)
        circuits.append(circuit)
        exp.append_circuit(circuit)

    def callback(wave_package, exp_obj, pos, steps, options):
        result = Result(item_id_start=steps)
        result.add("drives", len(wave_package.channel_waves("q01.xy")))
        result.add("circuit", pos[0])
        return {"result": result}

    result = exp.run_exp(callback)
    assert exp.batch_circuits == circuits and all(len(g.waves) == 1 for c in circuits for g in c.gates.values())
    assert isinstance(result, Result) and result.dims == [3, 1, 1]
    assert result.data["drives"].ravel().tolist() == [1, 2, 3]
    assert result.data["circuit"].ravel().tolist() == [0, 1, 2]
    assert exp.group.temporary_parameters["shots"] == 128


# ---------------------------------------------------------------------------
# Callbacks that tamper with the experiment between steps


def test_callback_exception_propagates_unchanged():
    for exp, log in (normal_setup()[:2], batch_setup()[:2]):
        problem = LookupError("callback failed")

        def answer(steps, kw):
            if steps == 1:
                raise problem

        with pytest.raises(LookupError) as info:
            exp.run_exp(recorder(log, answer))
        assert info.value is problem


def test_callback_raising_system_exit_propagates():
    exp, log, _ = normal_setup()

    def answer(steps, kw):
        raise SystemExit(3)

    with pytest.raises(SystemExit):
        exp.run_exp_normal(recorder(log, answer))


def test_changes_to_the_circuit_reach_the_next_step():
    exp, log, wave = normal_setup((3, 1, 1))
    exp._Experiment__compiled_sweep_dict[0].append(
        {"t": "w", "entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "amp", "value": [1, 2, 3], "dim": 0})
    replacement, new_wave = make_circuit(log, "replacement")

    def answer(steps, kw):
        if steps == 0:
            kw["exp_obj"]._Experiment__wave_circuit = replacement

    callback = recorder(log, answer)
    exp.run_exp_normal(callback)
    assert [call["kwargs"]["wave_package"] for call in callback.calls] == [
        ("package", "own"), ("package", "replacement"), ("package", "replacement")]
    assert wave.wave_parameters["amp"] == 1 and new_wave.wave_parameters["amp"] == 3


def test_changes_to_the_compiled_data_reach_the_next_step():
    exp, log, wave = normal_setup((3, 1, 1))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3]))

    def answer(steps, kw):
        if steps == 0:
            exp._Experiment__compiled_sweep_dict = {0: [space_entry("b", [10, 20, 30])]}
        if steps == 1:
            exp._Experiment__compiled_sweep_dict[0][0]["value"] = [-1, -2, -3]

    exp.run_exp_normal(recorder(log, answer))
    assert [entry[1:] for entry in log if entry[0] == "temp"] == [("a", 1), ("b", 20), ("b", -3)]


def test_position_entries_written_by_the_callback_are_used_until_overwritten():
    exp, log, wave = normal_setup((2, 3, 1))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [10, 20, 30]))

    def answer(steps, kw):
        if steps == 0:
            kw["pos"][0] = -1

    callback = recorder(log, answer)
    exp.run_exp_normal(callback)
    assert [call["pos"] for call in callback.calls] == [
        [0, 0, 0], [-1, 1, 0], [-1, 2, 0], [1, 0, 0], [1, 1, 0], [1, 2, 0]]
    assert [entry[2] for entry in log if entry[0] == "temp"] == [10, 30, 30, 20, 20, 20]


@pytest.mark.parametrize("mode", ["normal", "batch"])
def test_callback_emptying_the_position_list(mode):
    exp, log, _ = normal_setup((3, 2, 1)) if mode == "normal" else batch_setup(3)
    calls = []

    def answer(steps, kw):
        calls.append(steps)
        kw["pos"].clear()

    with pytest.raises(IndexError):
        exp.run_exp(recorder(log, answer))
    assert calls == [0]


def test_callback_replacing_the_sweep_dictionary_with_none():
    exp, log, _ = normal_setup((3, 1, 1))

    def answer(steps, kw):
        exp._Experiment__compiled_sweep_dict = None

    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'items'$"):
        exp.run_exp_normal(recorder(log, answer))


def test_batch_callback_replacing_the_sweep_dictionary_with_none():
    exp, log, _ = batch_setup(3)
    callback = recorder(log, lambda steps, kw: setattr(exp, "_Experiment__compiled_sweep_dict", None))
    assert isinstance(exp.run_exp_batch_circuit(callback), Result)
    assert len(callback.calls) == 3


NORMAL_DELETIONS = [
    ("_Experiment__compiled_sweep_dict", AttributeError),
    ("_Experiment__compiled_sweep_len", AttributeError),
    ("_Experiment__wave_circuit", AttributeError),
    ("_Experiment__group", AttributeError),
    ("_Experiment__script_evaluator", AttributeError),
    ("_Experiment__compile_space_timestamp", AttributeError),
    ("_Experiment__compiled_waveform_parameter_list", None),
    ("_Experiment__compiled_space_parameter_dict", None),
    ("_Experiment__compiled", None),
    ("_Experiment__batch_circuits", None),
    ("title", None),
]


@pytest.mark.parametrize(("name", "error"), NORMAL_DELETIONS)
def test_normal_callback_deleting_private_state(name, error):
    exp, log, wave = normal_setup((3, 1, 1))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3]))
    exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 0, re_compile="script")]
    callback = recorder(log, lambda steps, kw: delattr(exp, name) if steps == 0 else None)
    if error is None:
        assert isinstance(exp.run_exp_normal(callback), Result)
        assert len(callback.calls) == 3
    else:
        with pytest.raises(error, match=name):
            exp.run_exp_normal(callback)
        assert len(callback.calls) == 1


@pytest.mark.parametrize(
    ("name", "error"),
    [("_Experiment__batch_circuits", AttributeError), ("_Experiment__compiled_sweep_len", None),
     ("_Experiment__group", None), ("_Experiment__compiled_waveform_parameter_list", None)],
)
def test_batch_callback_deleting_private_state(name, error):
    exp, log, waves = batch_setup(3)
    callback = recorder(log, lambda steps, kw: delattr(exp, name) if steps == 0 else None)
    if error is None:
        assert isinstance(exp.run_exp_batch_circuit(callback), Result)
        assert len(callback.calls) == 3
    else:
        with pytest.raises(error, match=name):
            exp.run_exp_batch_circuit(callback)
        assert len(callback.calls) == 1


@pytest.mark.parametrize(
    ("replacement", "error", "message"),
    [
        (None, TypeError, "NoneType"),
        ((), TypeError, "^Expected list, got tuple$"),
        ("circuits", TypeError, "^Expected list, got str$"),
    ],
)
def test_batch_callback_replacing_the_batch_list(replacement, error, message):
    exp, log, waves = batch_setup(3)
    callback = recorder(log, lambda steps, kw: setattr(exp, "_Experiment__batch_circuits", replacement))
    with pytest.raises(error, match=message):
        exp.run_exp_batch_circuit(callback)
    assert len(callback.calls) == 1


def test_batch_callback_emptying_the_batch_list():
    exp, log, waves = batch_setup(3)
    callback = recorder(log, lambda steps, kw: exp.batch_circuits.clear())
    with pytest.raises(IndexError):
        exp.run_exp_batch_circuit(callback)


@pytest.mark.parametrize("mode", ["normal", "batch"])
def test_re_entrant_run_from_the_callback(mode):
    exp, log, _ = normal_setup((3, 1, 1)) if mode == "normal" else batch_setup(3)
    seen = []
    inner_results = []

    def answer(steps, kw):
        depth = len(seen)
        seen.append((id(kw["pos"]), list(kw["pos"]), steps))
        if depth == 0:
            inner_results.append(exp.run_exp(callback))
        result = Result(item_id_start=steps)
        result.add("step", steps)
        return {"result": result}

    callback = recorder(log, answer)
    outer = exp.run_exp(callback)
    # Outer step 0 runs a whole inner run (3 steps); outer steps 1 and 2 follow.
    assert [entry[2] for entry in seen] == [0, 0, 1, 2, 1, 2]
    outer_pos = {entry[0] for index, entry in enumerate(seen) if index in (0, 4, 5)}
    inner_pos = {entry[0] for index, entry in enumerate(seen) if index in (1, 2, 3)}
    assert len(outer_pos) == 1 and len(inner_pos) == 1 and outer_pos != inner_pos
    assert [entry[1] for entry in seen] == [[0, 0, 0], [0, 0, 0], [1, 0, 0], [2, 0, 0], [1, 0, 0], [2, 0, 0]]
    assert isinstance(outer, Result) and outer.data["step"].ravel().tolist() == [0, 1, 2]
    assert len(inner_results) == 1 and inner_results[0] is not outer
    assert inner_results[0].data["step"].ravel().tolist() == [0, 1, 2]


def test_callback_resetting_compiled_data_mid_run():
    exp, log, _ = normal_setup((3, 2, 1))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3]))
    callback = recorder(log, lambda steps, kw: kw["exp_obj"].reset_compiled_data() if steps == 0 else None)
    result = exp.run_exp_normal(callback)
    assert [call["pos"] for call in callback.calls] == [[0, 0, 0], [0, 1, 0], [1, 0, 0], [2, 0, 0]]
    assert [entry[2] for entry in log if entry[0] == "temp"] == [1]
    assert isinstance(result, Result) and result.dims == [3, 2, 1]


# ---------------------------------------------------------------------------
# The most dangerous cases, each in a process of its own


def run_isolated(body):
    """Runs the fakes plus ``body`` (which must define ``go()``) in a new interpreter; returns its outcome line."""
    code = FAKES + textwrap.dedent(body) + textwrap.dedent(
        """
        try:
            outcome = go()
        except BaseException as exc:
            print("raised", type(exc).__name__, str(exc)[:200])
        else:
            print("returned", type(outcome).__name__)
        """
    )
    completed = subprocess.run(
        [sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode >= 0, f"killed by signal {-completed.returncode}: {completed.stderr[-2000:]}"
    assert completed.returncode == 0, completed.stderr[-2000:]
    return completed.stdout.strip().splitlines()[-1]


DANGEROUS = {
    "clear the position list (normal)": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            exp._Experiment__compiled_sweep_dict[1].append(space_entry("a", [[1, 2]] * 3, (0, 1)))
            return exp.run_exp(lambda **kw: kw["pos"].clear())
        """,
        "raised IndexError",
    ),
    "clear the position list (batch)": (
        """
        def go():
            exp, log, _ = batch_setup(3)
            return exp.run_exp(lambda **kw: kw["pos"].clear())
        """,
        "raised IndexError",
    ),
    "sweep dictionary replaced by None": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            return exp.run_exp(lambda **kw: setattr(kw["exp_obj"], "_Experiment__compiled_sweep_dict", None))
        """,
        "raised AttributeError 'NoneType' object has no attribute 'items'",
    ),
    "sweep lengths replaced by None": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            return exp.run_exp(lambda **kw: setattr(kw["exp_obj"], "_Experiment__compiled_sweep_len", None))
        """,
        "raised TypeError",
    ),
    "sweep lengths shortened to one element": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            return exp.run_exp(lambda **kw: setattr(kw["exp_obj"], "_Experiment__compiled_sweep_len", [3]))
        """,
        "raised IndexError",
    ),
    "sweep lengths list emptied in place": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            return exp.run_exp(lambda **kw: kw["exp_obj"]._Experiment__compiled_sweep_len.clear())
        """,
        "raised IndexError",
    ),
    "private state deleted": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 2))
            def callback(**kw):
                for name in list(vars(exp)):
                    if name.startswith("_Experiment__"):
                        delattr(exp, name)
            return exp.run_exp(callback)
        """,
        "raised AttributeError",
    ),
    "experiment re-initialised by the callback": (
        """
        def go():
            exp, log, _ = normal_setup((3, 2, 1))
            exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3]))
            return exp.run_exp(lambda **kw: kw["exp_obj"].__init__("again", "d"))
        """,
        "returned Result",
    ),
    "unbounded re-entrant runs": (
        """
        def go():
            exp, log, _ = normal_setup((2, 1, 1))
            def callback(**kw):
                return exp.run_exp(callback)
            return exp.run_exp(callback)
        """,
        "raised RecursionError",
    ),
    "unbounded re-entrant runs under a raised recursion limit": (
        """
        import sys
        sys.setrecursionlimit(20000)
        def go():
            exp, log, _ = normal_setup((2, 1, 1))
            def callback(**kw):
                return exp.run_exp(callback)
            return exp.run_exp(callback)
        """,
        "raised RecursionError",
    ),
    "entry list emptied while it is applied": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            entries = [space_entry("a", [1, 2, 3]), space_entry("b", [4, 5, 6]), space_entry("c", [7, 8, 9])]
            exp._Experiment__compiled_sweep_dict[0] = entries
            def set_temporary_parameter(key, value):
                log.append((key, value))
                entries.clear()
            exp._Experiment__group.set_temporary_parameter = set_temporary_parameter
            result = exp.run_exp(lambda **kw: None)
            print("applied", log[:3])
            return result
        """,
        "returned Result",
    ),
    "sweep dictionary grows while it is walked": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            sweep = exp._Experiment__compiled_sweep_dict
            sweep[0].append(space_entry("a", [1, 2, 3]))
            def set_temporary_parameter(key, value):
                for extra in range(100):
                    sweep[("extra", len(sweep), extra)] = []
            exp._Experiment__group.set_temporary_parameter = set_temporary_parameter
            return exp.run_exp(lambda **kw: None)
        """,
        ("raised RuntimeError dictionary changed size during iteration", "returned Result"),
    ),
    "position lists far outside the dimensions": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3], dim=3))
            return exp.run_exp(lambda **kw: None)
        """,
        "raised IndexError",
    ),
    "huge dimension index": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [1, 2, 3], dim=(0, 10**30)))
            return exp.run_exp(lambda **kw: None)
        """,
        "raised IndexError",
    ),
    "sweep entry that is not a dictionary": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            exp._Experiment__compiled_sweep_dict[0].append(["t", "p"])
            return exp.run_exp(lambda **kw: None)
        """,
        "raised TypeError",
    ),
    "fixed entry that is not a dictionary": (
        """
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            exp._Experiment__compiled_waveform_parameter_list = [("entity", "q01")]
            return exp.run_exp(lambda **kw: None)
        """,
        "raised TypeError",
    ),
    "answer whose key comparison fails": (
        """
        class Trap:
            def __hash__(self):
                return hash("result")
            def __eq__(self, other):
                raise ZeroDivisionError("compared")
        def go():
            exp, log, _ = normal_setup((3, 1, 1))
            return exp.run_exp(lambda **kw: {Trap(): 1})
        """,
        "raised ZeroDivisionError compared",
    ),
    "batch list emptied by the callback": (
        """
        def go():
            exp, log, _ = batch_setup(3)
            return exp.run_exp(lambda **kw: kw["exp_obj"].batch_circuits.clear())
        """,
        "raised IndexError",
    ),
}


@pytest.mark.parametrize("case", list(DANGEROUS))
def test_hostile_run_ends_with_a_python_outcome(case):
    body, expected = DANGEROUS[case]
    assert run_isolated(body).startswith(expected if isinstance(expected, tuple) else (expected,))


GENERIC_CONTAINERS = {
    "sweep dictionary that is only a mapping": (
        """
        class Sweep:
            def __init__(self, entries):
                self.entries = entries
            def items(self):
                return list(self.entries.items())
        def go():
            exp, log, _ = normal_setup((2, 1, 1))
            exp._Experiment__compiled_sweep_dict = Sweep({0: [space_entry("a", [1, 2])]})
            exp.run_exp(lambda **kw: None)
            return [entry[1:] for entry in log if entry[0] == "temp"]
        """,
    ),
    "fixed entries in a tuple": (
        """
        def go():
            exp, log, wave = normal_setup((2, 1, 1))
            exp._Experiment__compiled_waveform_parameter_list = (fixed("amp", 0.25),)
            exp.run_exp(lambda **kw: None)
            return wave.wave_parameters["amp"]
        """,
    ),
    "wave parameters in a mapping that is not a dictionary": (
        """
        import collections
        class Params(collections.abc.MutableMapping):
            def __init__(self, **items):
                self.items_ = dict(items)
            def __getitem__(self, key):
                return self.items_[key]
            def __setitem__(self, key, value):
                self.items_[key] = value
            def __delitem__(self, key):
                del self.items_[key]
            def __iter__(self):
                return iter(self.items_)
            def __len__(self):
                return len(self.items_)
        def go():
            exp, log, wave = normal_setup((2, 1, 1))
            wave.wave_parameters = Params(amp=0)
            wave.waveform_compiler_config = Params(detuning=0)
            exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 0.5), fixed("detuning", 2)]
            exp.run_exp(lambda **kw: None)
            return wave.wave_parameters.items_, wave.waveform_compiler_config.items_
        """,
    ),
}


@pytest.mark.parametrize(
    ("case", "expected"),
    [
        ("sweep dictionary that is only a mapping", "returned list"),
        ("fixed entries in a tuple", "returned float"),
        ("wave parameters in a mapping that is not a dictionary", "returned tuple"),
    ],
)
def test_generic_containers_are_walked_like_python_containers(case, expected):
    (body,) = GENERIC_CONTAINERS[case]
    assert run_isolated(body) == expected


def test_negative_dimension_index_counts_from_the_end():
    exp, log, _ = normal_setup((2, 1, 2))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", [10, 20], dim=-1))
    exp.run_exp_normal(recorder(log))
    assert [entry[2] for entry in log if entry[0] == "temp"] == [10, 20, 10, 20]


def test_numpy_values_in_a_one_dimension_entry():
    exp, log, _ = normal_setup((3, 1, 1))
    exp._Experiment__compiled_sweep_dict[0].append(space_entry("a", np.array([1.5, 2.5, 3.5])))
    exp.run_exp_normal(recorder(log))
    assert [entry[2] for entry in log if entry[0] == "temp"] == [1.5, 2.5, 3.5]
