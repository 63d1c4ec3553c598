"""The run loops: checks, compilation on demand, compiled values, the sweep, the callback, results, interrupts."""

import re

import numpy as np
import pytest

from support_run import Callback, FakeWave, Run, fixed, space_sweep, step_result, three_steps, wave_sweep
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.languages import lang

MODES = ["normal", "batch"]


class OwnDict(dict):
    pass


class CompileSpy(Experiment):
    def compile_scripts(self, *args, **kwargs):
        self.compile_calls.append((args, kwargs))
        self._Experiment__compiled = True


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("kwargs", "message"), [
    ({"options": OwnDict()}, "Argument 'options' has incorrect type (expected dict, got OwnDict)"),
    ({"space_timestamp": "5"}, "Argument 'space_timestamp' has incorrect type (expected int, got str)"),
])
def test_argument_checks_come_before_anything(mode, kwargs, message):
    run = three_steps(mode, CompileSpy)
    run.exp.compile_calls, run.exp._Experiment__compiled = [], False
    with pytest.raises(TypeError) as info:
        run.go(Callback(), **kwargs)
    assert str(info.value) == message and run.exp.compile_calls == [] and run.log == []


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("flag", "given", "timestamp", "passed"), [
    (False, False, None, None), (False, True, 12.9, 12), (True, True, 5, "no call"), (1, False, 5, "no call"),
    (0, True, 5, "refused"), (None, False, 5, "refused"),  # a false flag other than False counts as compiled
])
def test_only_the_value_false_makes_the_loop_compile_first(mode, flag, given, timestamp, passed):
    run = three_steps(mode, CompileSpy)
    run.exp.compile_calls, run.exp._Experiment__compiled = [], flag
    argument, recorder = object() if given else None, Callback()
    if passed == "refused":  # the compiled views refuse an experiment that is not compiled
        with pytest.raises(RuntimeError, match=f"^{re.escape(lang.msg('exp_not_compiled'))}$"):
            run.go(recorder, None, argument, timestamp)
    else:
        run.go(recorder, None, argument, timestamp)
        assert len(recorder.calls) == 3
    if passed in ("no call", "refused"):
        assert run.exp.compile_calls == []
    else:
        (args, kwargs), = run.exp.compile_calls
        assert args == () and kwargs.keys() == {"group", "space_timestamp"}
        assert kwargs["group"] is (argument if given else run.group)
        assert kwargs["space_timestamp"] == passed and type(kwargs["space_timestamp"]) is type(passed)


@pytest.mark.parametrize("lengths", [(1, 1, 1), (2, 1, 1)])
def test_fixed_values_are_written_before_space_parameters_go_to_the_experiments_group(lengths):
    run = Run(lengths)
    run.exp._Experiment__compiled_waveform_parameter_list = [
        fixed("amp", 0.5, wave_ids=(1, 0)), fixed("phase", 3.0, wave_ids=(1,), layer="0"),
        fixed("amp", 0.7, layer=0.9), fixed("detuning", "compiled", re_compile="script")]
    run.exp._Experiment__compiled_space_parameter_dict = {"q01.freq": 5.1e9, "amp": 0.25}
    run.exp.run_exp_normal(Callback(), None, object())  # the group argument is not used when compiled
    assert [entry[1:] for entry in run.events("search")[:4]] == [("q01", 0, int)] * 4
    assert run.temps()[:2] == [("q01.freq", 5.1e9), ("amp", 0.25)]
    (first, second), = run.events("temp")[0][2]  # wave states when the first space parameter came in
    assert first[0]["amp"] == 0.7 and first[1]["detuning"] == "compiled"
    assert second[0]["amp"] == 0.5 and second[1]["phase"] == 3.0


@pytest.mark.parametrize("kind", ["fixed", "swept", "re-evaluated"])
@pytest.mark.parametrize(("parameter", "params", "config", "where"), [
    ("amp", {"amp": 0}, {"amp": 0}, 0), ("detuning", {"amp": 0}, {"detuning": 0}, 1),
    ("t0", {"t0": 0}, {"t0": 0}, 0), ("t0", {}, {"t0": 0}, 1), ("t0", {}, {}, 2),
    ("ratio", {}, {"ratio": 0}, 1), ("ratio", {"ratio": 0}, {}, 0), ("ratio", {}, {}, 3),
])
def test_wave_value_rule(parameter, params, config, where, kind):
    run = Run((2, 1, 1))
    wave = run.circuits[0].waves[0] = FakeWave(params, config, t0="t0 before", ratio="ratio before")
    value = ("written", parameter)
    if kind == "swept":
        run.sweep(0, wave_sweep(parameter, [0, value]))
    else:
        script = "script" if kind == "re-evaluated" else False
        run.exp._Experiment__compiled_waveform_parameter_list = [fixed(parameter, value, re_compile=script)]
        run.rule = lambda script, temps: value
    run.exp.run_exp_normal(Callback())
    expected = [dict(params), dict(config), "t0 before", "ratio before"]
    if where < 2:
        expected[where][parameter] = value
    else:
        expected[where] = value
    assert wave.state() == tuple(expected)


@pytest.mark.parametrize("kind", ["fixed", "swept"])
def test_unknown_wave_parameter_is_refused_after_earlier_waves_took_it(kind):
    run = Run((2, 1, 1))
    run.wave.wave_parameters["bad"] = 0
    if kind == "fixed":
        run.exp._Experiment__compiled_waveform_parameter_list = [fixed("bad", 5, wave_ids=(0, 1))]
    else:
        run.sweep(0, wave_sweep("bad", [5, 6], wave_ids=(0, 1)))
    recorder = Callback()
    with pytest.raises(RuntimeError) as info:
        run.exp.run_exp_normal(recorder)
    assert str(info.value) == lang.msg("exp_wave_para_invalid").format("bad")
    assert run.wave.wave_parameters["bad"] == 5 and recorder.calls == []


@pytest.mark.parametrize(("change", "error"), [
    ({"layer": "one"}, ValueError), ({"entity": "q09"}, IndexError), ({"wave_ids": [5]}, IndexError),
    ("value", KeyError)])
def test_broken_fixed_entries_raise_host_errors(change, error):
    run = Run()
    entry = fixed("amp", 1)
    entry.update(change) if isinstance(change, dict) else entry.pop(change)
    run.exp._Experiment__compiled_waveform_parameter_list = [entry]
    recorder = Callback()
    with pytest.raises(error):
        run.exp.run_exp_normal(recorder)
    assert recorder.calls == []


@pytest.mark.parametrize(("lengths", "expected"), [
    ((3, 2, 1), [[i, j, 0] for i in range(3) for j in range(2)]),
    ((2, 0, 2), [[i, 0, k] for i in range(2) for k in range(2)]),
    ((2, 2, 2, 7), [[i, j, k] for i in range(2) for j in range(2) for k in range(2)]),
])
def test_every_combination_is_one_step_with_dimension_two_fastest(lengths, expected):
    recorder = Callback()
    result = Run(lengths).exp.run_exp_normal(recorder)
    assert recorder.positions() == expected
    assert [call["kw"]["steps"] for call in recorder.calls] == list(range(len(expected)))
    assert isinstance(result, Result) and len(result) == 0 and result.dims == list(lengths)


@pytest.mark.parametrize("mode", MODES)
def test_callback_contract(mode):
    run = three_steps(mode)
    recorder, options = Callback(run.log), {"o": 1}
    run.go(recorder, options)
    pos = recorder.calls[0]["kw"]["pos"]
    assert type(pos) is list and pos == [2, 0, 0]
    for call in recorder.calls:
        assert call["args"] == () and call["keys"] == ["wave_package", "exp_obj", "pos", "steps", "options"]
        assert call["kw"]["exp_obj"] is run.exp and call["kw"]["options"] is options
        assert call["kw"]["pos"] is pos  # the same list object at every call
    names = ["own"] * 3 if mode == "normal" else [0, 1, 2]
    assert [call["kw"]["wave_package"][0] for call in recorder.calls] == names
    assert [entry for entry in run.log if entry[0] in ("export", "callback")] == [
        entry for step, name in enumerate(names) for entry in (("export", name, (), {}), ("callback", step))]
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        run.go(lambda wave_package, exp_obj: None)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("interrupt", [False, True])
def test_results_are_merged_in_step_order_and_an_interrupt_comes_after_merging(monkeypatch, mode, interrupt):
    created, merged, init, concatenate = [], [], Result.__init__, Result.concatenate
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: created.append((self, a, k)) or init(self, *a, **k))
    monkeypatch.setattr(Result, "concatenate", lambda self, o: merged.append((self, o)) or concatenate(self, o))
    run, returned = three_steps(mode), {}
    run.sweep(0, wave_sweep("amp", [4, 5, 6]))

    def answers(steps):
        returned[steps] = step_result(steps, 10 * steps)
        return {"result": returned[steps], "interrupt": interrupt and steps == 1}

    recorder = Callback(answers=answers)
    result = run.go(recorder)
    run_result = created[0][0]
    assert created[0][1:] == ((), {"complete": False, "final": False, "chunk_id": 0, "item_id_start": 0,
                                   "dims": [3, 1, 1]})
    assert merged == [(run_result, returned[step]) for step in range(2 if interrupt else 3)]
    if interrupt:  # the run stops where it is and keeps its effects
        assert result is True and len(run.events("export")) == 2 and recorder.calls[0]["kw"]["pos"] == [1, 0, 0]
        assert run.wave.wave_parameters["amp"] == (5 if mode == "normal" else 0.0)
    else:
        assert result is run_result and result.data["v"].ravel().tolist() == [0, 10, 20]


class AnswerDict(dict):
    pass


@pytest.mark.parametrize(("answer", "calls"), [
    (None, 4), (["result"], 4), ({"result": "not a Result"}, 4), ("a Result itself", 4), ({"interrupt": 1}, 4),
    ({"interrupt": np.True_}, 4), ({"interrupt": "yes"}, 4), ({"interrupt": True}, 1), (AnswerDict(interrupt=True), 1),
])
def test_only_a_result_under_the_key_is_merged_and_only_true_itself_interrupts(answer, calls):
    recorder = Callback(answers=lambda steps: step_result(steps, 1) if answer == "a Result itself" else answer)
    result = Run((2, 2, 1)).exp.run_exp_normal(recorder)
    assert len(recorder.calls) == calls
    assert result is True if calls == 1 else (isinstance(result, Result) and len(result) == 0)


@pytest.mark.parametrize(("lengths", "batch"), [((1, 1, 1), None), ((0, 5, 1), None), ((1, 4, 3), None),
                                               ((1, 1, 1), 1), ((0, 1, 1), 2)])
@pytest.mark.parametrize("gives_result", [True, False])
def test_single_step_run(monkeypatch, lengths, batch, gives_result):
    run = Run(lengths, batch=batch)
    run.exp._Experiment__compiled_sweep_len = list(lengths)
    run.sweep(0, space_sweep("amp", [1.5]))
    run.sweep(1, wave_sweep("amp", [7, 8, 9, 10, 11], dim=1))
    run.exp._Experiment__compiled_waveform_parameter_list = [fixed("amp", 0.5, re_compile="script")]
    run.exp._Experiment__compiled_space_parameter_dict = {"fixed": 2}
    mine, created, init = step_result(0, 3), [], Result.__init__
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: created.append(k) or init(self, *a, **k))
    recorder = Callback(answers=lambda steps: {"result": mine if gives_result else "x", "interrupt": True})
    assert run.go(recorder) is (mine if gives_result else None)
    assert created == [] and recorder.positions() == [[0, 0, 0]]
    assert recorder.calls[0]["kw"]["steps"] == 0 and recorder.calls[0]["kw"]["options"] is None
    # Neither the sweep nor the re-evaluation ran; the compiled value stays; only circuit 0 is exported.
    assert run.temporary == {"fixed": 2} and run.events("evaluate") == []
    assert run.wave.wave_parameters["amp"] == 0.5 and run.events("export") == [(run.circuits[0].name, (), {})]


def test_sweep_entries_are_applied_per_step_in_the_dictionarys_order():
    run = Run((3, 2, 1))
    run.exp._Experiment__compiled_sweep_dict = {
        1: [{**wave_sweep("detuning", [-1, 1], 1), "len": 99, "re_compile": "s"}, space_sweep("freq", [5, 6], 1)],
        0: [space_sweep("amp", [0.1, 0.2, 0.3]), wave_sweep("amp", ["a0", "a1", "a2"])]}
    recorder = Callback()
    run.exp.run_exp_normal(recorder)
    states = [call["kw"]["wave_package"][1][0] for call in recorder.calls]
    assert [(state[0]["amp"], state[1]["detuning"]) for state in states] == [
        (amp, detuning) for amp in ("a0", "a1", "a2") for detuning in (-1, 1)]
    assert run.temps() == [pair for amp in (0.1, 0.2, 0.3) for freq in (5, 6)
                           for pair in (("freq", freq), ("amp", amp))]
    assert run.events("evaluate") == []  # "len" and "re_compile" of sweep entries are not read


class DimList(list):
    pass


@pytest.mark.parametrize(("dim", "values", "expected"), [
    ((0, 1), [[1, 2], [3, 4], [5, 6]], [1, 2, 3, 4, 5, 6]),
    ([1, 0], [[1, 2, 3], [4, 5, 6]], [1, 4, 2, 5, 3, 6]),
    (DimList([0]), [7, 8, 9], [7, 7, 8, 8, 9, 9]),
    ((0, 1, 2), np.arange(6).reshape(3, 2, 1).tolist(), [0, 1, 2, 3, 4, 5]),
])
@pytest.mark.parametrize("t", ["p", "w"])
def test_list_or_tuple_dims_index_a_numpy_array_by_the_listed_positions(dim, values, expected, t):
    run = Run((3, 2, 1))
    run.sweep(1, space_sweep("amp", values, dim) if t == "p" else wave_sweep("amp", values, dim))
    recorder = Callback()
    run.exp.run_exp_normal(recorder)
    got = [v for _, v in run.temps()] if t == "p" else [c["kw"]["wave_package"][1][0][0]["amp"] for c in recorder.calls]
    assert got == expected and all(isinstance(value, np.generic) for value in got)


@pytest.mark.parametrize(("entry", "error"), [
    ({"t": "c", "value": [0, 1], "dim": 0}, RuntimeError),
    ({"t": None, "value": [], "dim": 0}, IndexError),  # the step value is taken before the type is looked at
    ({"t": "p", "value": [1, 2], "dim": "0", "key": "k"}, TypeError),
    ({"t": "p", "value": [1, 2], "dim": 0}, KeyError),
    ({**wave_sweep("amp", [1, 2]), "entity": "q05"}, IndexError),
])
def test_broken_sweep_entries_stop_the_run_after_earlier_entries(entry, error):
    run = Run((2, 1, 1))
    run.sweep(0, space_sweep("first", [1, 2]), entry)
    recorder = Callback()
    with pytest.raises(error) as info:
        run.exp.run_exp_normal(recorder)
    assert error is not RuntimeError or str(info.value) == lang.msg("exp_sweep_failed")
    assert run.temporary == {"first": 1} and recorder.calls == []


def test_scripts_are_re_evaluated_after_the_sweep_of_each_step():
    run = Run((3, 1, 1))
    run.exp._Experiment__compile_space_timestamp = 77
    run.sweep(0, space_sweep("amp", [1, 2, 3]), wave_sweep("amp", ["s0", "s1", "s2"]))
    run.exp._Experiment__compiled_waveform_parameter_list = [
        fixed("amp", "compiled-a", re_compile="script-a"), fixed("phase", "compiled-b", wave_ids=(1,), re_compile=""),
        fixed("detuning", "compiled-c", re_compile="script-c")]
    recorder = Callback(run.log)
    run.exp.run_exp_normal(recorder)
    assert [entry[:2] for entry in run.events("evaluate")] == [
        (("script-a",), {"timestamp": 77}), (("script-c",), {"timestamp": 77})] * 3
    for step, call in enumerate(recorder.calls):
        first, second = call["kw"]["wave_package"][1]
        assert first[0]["amp"] == ("script-a", step + 1)  # this step's space value; wins over the swept value
        assert first[1]["detuning"] == ("script-c", step + 1) and second[1]["phase"] == "compiled-b"
    assert [entry[0] for entry in run.log if entry[0] != "search"] == ["temp", "evaluate", "evaluate", "export",
                                                                        "callback"] * 3


def test_callback_error_propagates_and_effects_stay_and_the_next_run_starts_afresh():
    run = Run((3, 1, 1))
    run.sweep(0, space_sweep("amp", [1, 2, 3]), wave_sweep("amp", [4, 5, 6]))
    problem = ArithmeticError("device lost")

    def fail_at_step_one(steps):
        if steps == 1:
            raise problem

    first = Callback(answers=fail_at_step_one)
    with pytest.raises(ArithmeticError) as info:
        run.exp.run_exp_normal(first)
    assert info.value is problem and run.temporary == {"amp": 2} and run.wave.wave_parameters["amp"] == 5
    second = Callback()
    run.exp.run_exp_normal(second)
    assert second.positions() == [[0, 0, 0], [1, 0, 0], [2, 0, 0]]
    assert first.calls[0]["kw"]["pos"] is not second.calls[0]["kw"]["pos"]


def test_space_sweep_with_a_dependent_waveform_and_real_collaborators():
    calibration = {"q01.freq": 5.0e9, "q01.x_amp": 0.5, "q01.x_width": 20.0,
                   "q01.ro_amp": 0.1, "q01.ro_width": 100.0, "q01.ro_freq": 6.5e9, "scale": 0}
    exp = Experiment("rabi", "amplitude sweep", Group("device", calibration))
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.set_space_parameter_script("scale", "sweep([1, 2, 3], dim=0)")
    exp.set_space_parameter_script("fixed_key", "42")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "0.1 * space('scale')")

    def callback(wave_package, exp_obj, pos, steps, options):
        result = Result(item_id_start=steps)
        result.add("amp", [w for w in wave_package.waves if w.channel == "q01.xy"][0].wave_parameters["amp"])
        result.add("scale", exp_obj.group.temporary_parameters["scale"])
        return {"result": result}

    result = exp.run_exp(callback)
    assert isinstance(result, Result) and result.dims == [3, 1, 1] and exp.is_compiled
    assert result.data["amp"].ravel().tolist() == pytest.approx([0.1, 0.2, 0.3])
    assert result.data["scale"].ravel().tolist() == [1, 2, 3]
    assert exp.group.temporary_parameters["fixed_key"] == 42


GROWTHS = {  # what a group's set_temporary_parameter adds to the container the run is walking
    "space dict, new key": (lambda run: run.exp.compiled_space_parameter_dict, lambda d: d.__setitem__(object(), 1)),
    "space dict, update": (lambda run: run.exp.compiled_space_parameter_dict, lambda d: d.update({f"n{len(d)}": 1})),
    "sweep entries": (lambda run: run.exp._Experiment__compiled_sweep_dict[0], lambda e: e.append(space_sweep("k", [1, 2, 3]))),
    "sweep dict": (lambda run: run.exp._Experiment__compiled_sweep_dict, lambda d: d.__setitem__(len(d), [])),
}


@pytest.mark.parametrize(("mode", "growth"), [
    (mode, growth) for growth in GROWTHS for mode in MODES if mode == "normal" or growth.startswith("space")])
def test_a_container_grown_while_the_run_walks_it_ends_the_run(mode, growth):
    run = three_steps(mode)
    container, grow = GROWTHS[growth]
    swept = not growth.startswith("space")
    run.exp._Experiment__compiled_space_parameter_dict.update({"a": 1, "b": 2})
    run.sweep(0, space_sweep("amp", [1, 2, 3]))
    added = []

    def set_temporary(key, value):
        if swept == (key in ("amp", "k")):
            assert len(added) < 1000, "the walk never ends"
            added.append(key)
            grow(container(run))

    run.group.set_temporary_parameter = set_temporary
    message = "changed size during iteration"
    with pytest.raises(RuntimeError, match=f"^(dictionary|list) {message}$"):
        run.go(Callback())
    assert len(added) == 1
