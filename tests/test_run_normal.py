"""The run loops: checks, compilation on demand, compiled values, the sweep, the callback, results, interrupts."""

import itertools
import signal
from types import SimpleNamespace

import numpy as np
import pytest

from support_collaborators import raised
from support_run import Callback, Run, fixed, space_sweep, step_result, three_steps, wave_sweep
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.languages import lang

MODES = ["normal", "batch"]
INVALID = lang.msg("exp_wave_para_invalid").format("bad")


class CompileSpy(Experiment):
    def compile_scripts(self, *args, **kwargs):
        vars(self).setdefault("compile_calls", []).append((args, kwargs))
        self._Experiment__compiled = True


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("flag", "given", "timestamp", "passed"), [
    (False, False, None, None), (False, True, 12.9, 12), (True, True, 5, "no call"), (1, False, 5, "no call"),
    (0, True, 5, "refused"), (None, False, 5, "refused"),  # a false flag other than False counts as compiled
])
def test_only_the_value_false_makes_the_loop_compile_first(mode, flag, given, timestamp, passed):
    run, argument = three_steps(mode, CompileSpy, compiled=flag), object() if given else None
    if passed == "refused":  # the compiled views refuse an experiment that is not compiled
        assert str(raised(RuntimeError, run.go, None, None, argument, timestamp)) == lang.msg("exp_not_compiled")
    else:
        run.go(None, None, argument, timestamp)
        assert len(run.callback.calls) == 3
    calls, kwargs = vars(run.exp).get("compile_calls", []), {"group": argument if given else run.group,
                                                             "space_timestamp": passed}
    assert calls == ([] if passed in ("no call", "refused") else [((), kwargs)])
    assert not calls or type(calls[0][1]["space_timestamp"]) is type(passed)


def test_fixed_values_go_in_before_the_space_parameters_and_marked_scripts_are_re_evaluated_after_each_sweep():
    run = Run((3, 1, 1), space={"q01.freq": 5.1e9}, fixed=[
        fixed("amp", 0.5, wave_ids=(1, 0)), fixed("phase", 3.0, wave_ids=(1,), layer="0"),
        fixed("amp", "compiled-a", layer=0.9, re_compile="script-a"),
        fixed("t0", "compiled-b", wave_ids=(1,), re_compile=""), fixed("detuning", "compiled-c", re_compile="s-c")])
    run.exp._Experiment__compile_space_timestamp = 77
    run.sweep(0, space_sweep("amp", [1, 2, 3]), wave_sweep("amp", ["s0", "s1", "s2"]))
    run.go(None, None, object())  # the group argument is not used when compiled
    assert [entry[1:] for entry in run.events("search")[:5]] == [("q01", 0, int)] * 5
    assert run.temps() == [("q01.freq", 5.1e9), ("amp", 1), ("amp", 2), ("amp", 3)]
    (first, second), = run.events("temp")[0][2]  # wave states when the first space parameter came in
    assert (first[0]["amp"], first[1]["detuning"]) == ("compiled-a", "compiled-c")
    assert (second[0]["amp"], second[1]["phase"], second[2]) == (0.5, 3.0, "compiled-b")
    assert [entry[:2] for entry in run.events("evaluate")] == [
        (("script-a",), {"timestamp": 77}), (("s-c",), {"timestamp": 77})] * 3
    for step, (_, (first, second)) in enumerate(run.callback.kw("wave_package")):
        assert first[0]["amp"] == ("script-a", step + 1)  # this step's space value; wins over the swept value
        assert first[1]["detuning"] == ("s-c", step + 1) and second[2] == "compiled-b"
    assert [entry[0] for entry in run.log if entry[0] != "search"] == ["temp"] + [
        "temp", "evaluate", "evaluate", "export", "callback"] * 3


BROKEN = [  # a compiled entry, or a sweep entry after one that takes effect, and the error that ends the run
    (fixed("bad", 5, wave_ids=(0, 1)), None, RuntimeError, INVALID),  # wave 0 takes the value, wave 1 refuses it
    ({**fixed("amp", 1), "entity": "q09"}, None, IndexError, None),
    (None, {"t": "c", "value": [0, 1], "dim": 0}, RuntimeError, lang.msg("exp_sweep_failed")),
    # an empty value list: the step position equals the list's size, the edge of the bound check
    (None, {"t": None, "value": [], "dim": 0}, IndexError, None),
    (None, {"t": "p", "value": [1, 2], "dim": 0}, KeyError, None),
]


@pytest.mark.parametrize(("entry", "sweep", "error", "message"), BROKEN)
def test_a_broken_entry_stops_the_run_after_earlier_entries_took_effect(entry, sweep, error, message):
    run = Run((2, 1, 1), fixed=[entry] if entry else [])
    run.wave.wave_parameters["bad"] = 0
    if sweep:
        run.sweep(0, space_sweep("first", [1, 2]), sweep)
    failure = raised(error, run.go)
    assert message is None or str(failure) == message
    assert run.wave.wave_parameters["bad"] == (5 if message == INVALID else 0) and run.callback.calls == []
    assert run.temporary == ({"first": 1} if sweep else {})


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("interrupt", [False, True])
def test_callback_contract_and_results_merged_in_step_order_with_an_interrupt_after_merging(monkeypatch, mode,
                                                                                            interrupt):
    merged, concatenate = [], Result.concatenate
    monkeypatch.setattr(Result, "concatenate", lambda self, o: merged.append((self, o)) or concatenate(self, o))
    run, returned, options = three_steps(mode), {s: step_result(s, 10 * s) for s in range(3)}, {"o": 1}
    run.sweep(0, wave_sweep("amp", [4, 5, 6]))
    result = run.go(Callback(run.log, lambda s: {"result": returned[s], "interrupt": interrupt and s == 1}), options)
    steps, run_result, pos = 2 if interrupt else 3, merged[0][0], run.callback.calls[0]["kw"]["pos"]
    assert type(pos) is list and pos == [steps - 1, 0, 0]  # an interrupted run stops where it is
    assert all(call["args"] == () and call["keys"] == ["wave_package", "exp_obj", "pos", "steps", "options"]
               and call["kw"]["exp_obj"] is run.exp and call["kw"]["options"] is options
               and call["kw"]["pos"] is pos for call in run.callback.calls)  # the same pos list at every call
    names = (["own"] * 3 if mode == "normal" else [0, 1, 2])[:steps]
    assert [name for name, _ in run.callback.kw("wave_package")] == names
    assert [entry for entry in run.log if entry[0] in ("export", "callback")] == [
        entry for step, name in enumerate(names) for entry in (("export", name, (), {}), ("callback", step))]
    assert merged == [(run_result, returned[step]) for step in range(steps)] and run_result.dims == [3, 1, 1]
    if interrupt:  # and keeps its effects
        assert result is True and run.wave.wave_parameters["amp"] == (5 if mode == "normal" else 0.0)
    else:
        assert result is run_result and result.data["v"].ravel().tolist() == [0, 10, 20]


class AnswerDict(dict):
    pass


@pytest.mark.parametrize(("lengths", "answer", "calls"), [
    ((3, 2, 1), None, 6), ((2, 0, 2), None, 4), ((2, 2, 2, 7), None, 8),  # an empty dimension runs once
    *[((2, 2, 1), answer, calls) for answer, calls in [
        ({"result": "not a Result"}, 4), ("a Result itself", 4), ({"interrupt": np.True_}, 4),
        ({"interrupt": True}, 1), (AnswerDict(interrupt=True), 1)]],
])
def test_each_combination_is_a_step_with_dimension_two_fastest_and_only_true_itself_interrupts(lengths, answer,
                                                                                               calls):
    run = Run(lengths)
    result = run.go(Callback(answers=lambda steps: step_result(steps, 1) if answer == "a Result itself" else answer))
    every = [list(pos) for pos in itertools.product(*(range(max(n, 1)) for n in lengths[:3]))]
    assert run.callback.positions() == every[:calls] and run.callback.kw("steps") == list(range(calls))
    # only a Result under the key is merged
    assert result is True if calls == 1 else (isinstance(result, Result) and len(result) == 0)
    assert calls == 1 or result.dims == list(lengths)


@pytest.mark.parametrize(("lengths", "batch"), [((1, 1, 1), None), ((0, 5, 1), None), ((1, 4, 3), None),
                                               ((1, 1, 1), 1), ((0, 1, 1), 2)])
@pytest.mark.parametrize("gives_result", [True, False])
def test_single_step_run(lengths, batch, gives_result):
    run = Run(lengths, batch=batch, fixed=[fixed("amp", 0.5, re_compile="script")], space={"fixed": 2})
    run.exp._Experiment__compiled_sweep_len = list(lengths)
    run.sweep(0, space_sweep("amp", [1.5]))
    run.sweep(1, wave_sweep("amp", [7, 8, 9, 10, 11], dim=1))
    mine = step_result(0, 3)
    recorder = Callback(answers=lambda steps: {"result": mine if gives_result else "x", "interrupt": True})
    assert run.go(recorder) is (mine if gives_result else None)  # the callback's own Result, not a merged one
    assert (recorder.positions(), recorder.kw("steps"), recorder.kw("options")) == ([[0, 0, 0]], [0], [None])
    # Neither the sweep nor the re-evaluation ran; the compiled value stays; only circuit 0 is exported.
    assert run.temporary == {"fixed": 2} and run.events("evaluate") == []
    assert run.wave.wave_parameters["amp"] == 0.5 and run.events("export") == [(run.circuits[0].name, (), {})]


class DimList(list):
    pass


@pytest.mark.parametrize(("dim", "values", "expected"), [
    ((0, 1), [[1, 2], [3, 4], [5, 6]], [1, 2, 3, 4, 5, 6]),
    ([1, 0], [[1, 2, 3], [4, 5, 6]], [1, 4, 2, 5, 3, 6]),
    (DimList([0]), [7, 8, 9], [7, 7, 8, 8, 9, 9]),
    ((0, 1, 2), np.arange(6).reshape(3, 2, 1).tolist(), [0, 1, 2, 3, 4, 5]),
    (1, [5, 6], [5, 6] * 3),  # an integer dim indexes the values themselves
])
@pytest.mark.parametrize("t", ["p", "w"])
def test_a_sweep_entry_is_indexed_by_the_position_of_its_dims(dim, values, expected, t):
    run = Run((3, 2, 1))  # "len" and "re_compile" of a sweep entry are not read
    entry = space_sweep("amp", values, dim) if t == "p" else {**wave_sweep("amp", values, dim), "re_compile": "s"}
    run.sweep(1, {**entry, "len": 99})
    run.go()
    got = [v for _, v in run.temps()] if t == "p" else [s[0][0]["amp"] for _, s in run.callback.kw("wave_package")]
    assert got == expected and all(isinstance(value, np.generic) != (type(dim) is int) for value in got)
    assert run.events("evaluate") == []


GROWTHS = {  # what a group's set_temporary_parameter adds to the container the run is walking
    "space dict, new key": lambda exp: exp.compiled_space_parameter_dict.__setitem__(object(), 1),
    "sweep entries": lambda exp: exp._Experiment__compiled_sweep_dict[0].append(space_sweep("k", [1, 2, 3])),
    "sweep dict": lambda exp: exp._Experiment__compiled_sweep_dict.__setitem__(3, []),
}


@pytest.mark.parametrize(("mode", "growth"), [
    (mode, growth) for growth in GROWTHS for mode in MODES if mode == "normal" or growth.startswith("space")])
def test_a_container_grown_while_the_run_walks_it_ends_the_run(mode, growth):
    run, swept, added = three_steps(mode, space={"a": 1, "b": 2}), not growth.startswith("space"), []
    run.sweep(0, space_sweep("amp", [1, 2, 3]))

    def set_temporary(key, value):
        if swept == (key in ("amp", "k")):
            assert len(added) < 1000, "the walk never ends"
            added.append(key)
            GROWTHS[growth](run.exp)

    run.group.set_temporary_parameter = set_temporary
    with pytest.raises(RuntimeError, match="^(dictionary|list) changed size during iteration$"):
        run.go()
    assert len(added) == 1


def interrupt(*_):
    raise KeyboardInterrupt


def test_a_long_sweep_of_c_collaborators_stops_at_ctrl_c():
    # Nothing but the engine runs between steps (builtin group, circuit and callback), so the
    # pending signal is noticed by the engine's own check or not at all until the sweep ends.
    run, held = Run((100, 100, 100)), {}
    run.exp._Experiment__group = SimpleNamespace(set_temporary_parameter=held.__setitem__)
    run.exp._Experiment__wave_circuit = SimpleNamespace(export_wave_package=object)
    run.sweep(0, space_sweep("a", list(range(100))))
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            run.exp.run_exp_normal(dict)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert held["a"] < 99
