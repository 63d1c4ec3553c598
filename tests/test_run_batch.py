"""The batch-circuit loop, and callbacks that change the experiment while a run is going on."""

import pytest

from support_collaborators import raised
from support_run import Callback, FakeCircuit, Run, fixed, space_sweep, wave_sweep
from varnok_client.languages import lang


def test_compiled_values_go_into_every_circuit_before_any_step_and_nothing_is_swept():
    # The value rule (shared by fixed, swept and re-evaluated values): a wave parameter, else a compiler
    # configuration key, else the t0 or ratio attribute; circuit 1 has "ratio" and "t0" keys of its own.
    run = Run(batch=2, space={"a": 1, "b": 2}, fixed=[fixed("amp", 0.4, re_compile="not evaluated in this mode"),
                                                       fixed("detuning", 7.0, layer="0"), fixed("ratio", 0.5),
                                                       fixed("t0", 2.0)])
    run.circuits[1].waves[0].wave_parameters["ratio"] = run.circuits[1].waves[0].waveform_compiler_config["t0"] = 0
    run.sweep(0, space_sweep("s", [1, 2]), {"t": "not a type"})
    run.go()
    assert [entry[:2] for entry in run.log] == [("search", 0)] * 4 + [("search", 1)] * 4 + [
        ("temp", "a"), ("temp", "b"), ("export", 0), ("callback", 0), ("export", 1), ("callback", 1)]
    first, second = (circuit.waves[0] for circuit in run.circuits)
    assert first.state() == ({"amp": 0.4}, {"detuning": 7.0}, 2.0, 0.5)
    assert second.state() == ({"amp": 0.4, "ratio": 0.5}, {"detuning": 7.0, "t0": 2.0}, 0.0, 1.0)


@pytest.mark.parametrize(("breakage", "error"), [
    ("unknown parameter", RuntimeError), ("gate missing", IndexError), ("no circuits", IndexError)])
def test_a_failing_circuit_leaves_the_earlier_ones_written_and_runs_no_step(breakage, error):
    run = Run(batch=0 if breakage == "no circuits" else 2, space={"a": 1},
              fixed=[fixed("amp", 9), fixed("only_here", 1)])
    if breakage == "gate missing":
        run.circuits[1].places = {}
    if run.circuits:
        run.circuits[0].waves[0].wave_parameters["only_here"] = 0
    failure = raised(error, run.go)
    assert error is not RuntimeError or str(failure) == lang.msg("exp_wave_para_invalid").format("only_here")
    assert not run.circuits or run.circuits[0].waves[0].wave_parameters == {"amp": 9, "only_here": 1}
    # Without circuits the space parameters go in, then circuit 0 is missing.
    assert run.callback.calls == [] and run.group.temporary == ({"a": 1} if breakage == "no circuits" else {})


# ---------------------------------------------------------------------------
# What a callback changes is seen by the following steps


def test_circuit_and_sweep_data_changed_by_the_callback_are_used_from_the_next_step_on():
    run = Run((3, 1, 1))
    run.sweep(0, space_sweep("a", [1, 2, 3]), wave_sweep("amp", [1, 2, 3]))
    replacement = FakeCircuit(run.log, "replacement")

    def answers(steps):
        if steps == 0:
            run.exp._Experiment__wave_circuit = replacement
            run.exp._Experiment__compiled_sweep_dict = {0: [space_sweep("b", [10, 20, 30]),
                                                            wave_sweep("amp", [4, 5, 6])]}
        elif steps == 1:
            run.exp._Experiment__compiled_sweep_dict[0][0]["value"] = [-1, -2, -3]

    run.go(Callback(answers=answers))
    assert [(name, states[0][0]["amp"]) for name, states in run.callback.kw("wave_package")] == [
        ("own", 1), ("replacement", 5), ("replacement", 6)]
    assert run.temps() == [("a", 1), ("b", 20), ("b", -3)] and run.wave.wave_parameters["amp"] == 1
