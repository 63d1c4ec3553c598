"""A sweep reads its entries and the experiment's state afresh at every use: whatever a collaborator
changes, between steps or in the middle of one, the next read sees it, exactly as a plain Python loop
over the same calls would."""

import itertools

import pytest

from support_run import FakeCircuit, Run, space_sweep, wave_sweep


def build():
    run = Run((3, 2, 1))
    run.sweep(0, space_sweep("a", [1, 2, 3]), wave_sweep("amp", [0.1, 0.2, 0.3]))
    run.sweep(1, space_sweep("b", [10, 20, 30], dim=1), wave_sweep("phase", [5, 6, 7], dim=1, wave_ids=(1,)))
    return run


def python_loop(run, callback):
    """The run loop's contract written as plain Python, reading everything at every use."""
    exp = run.exp
    for steps, pos in enumerate(itertools.product(*(range(n) for n in exp._Experiment__compiled_sweep_len))):
        pos = list(pos)
        for entries in exp._Experiment__compiled_sweep_dict.values():
            for entry in entries:
                value = entry["value"][pos[entry["dim"]]]
                if entry["t"] == "p":
                    exp._Experiment__group.set_temporary_parameter(entry["key"], value)
                    continue
                gate = exp._Experiment__wave_circuit.search_gates(entry["entity"], int(entry["layer"]))[0]
                for wave_id in entry["wave_ids"]:
                    wave = gate.waves[wave_id]
                    where = wave.wave_parameters if entry["parameter"] in wave.wave_parameters else \
                        wave.waveform_compiler_config
                    where[entry["parameter"]] = value
        package = exp._Experiment__wave_circuit.export_wave_package()
        callback(wave_package=package, exp_obj=exp, pos=pos, steps=steps, options=None)


def entry(run, dim, index):
    return run.exp._Experiment__compiled_sweep_dict[dim][index]


def other_group(run):
    return type(run.group)(set_temporary_parameter=lambda key, value: run.log.append(("other", key, value)))


class Collider:
    """A key that every lookup of "value" in its dict compares itself with."""

    def __init__(self, log):
        self.log = log

    def __hash__(self):
        return hash("value")

    def __eq__(self, other):
        self.log.append(("compared", other))
        return False


def add_collider(run):
    value = entry(run, 0, 0).pop("value")
    entry(run, 0, 0)[Collider(run.log)] = 0
    entry(run, 0, 0)["value"] = value


CHANGES = {
    "value list replaced": lambda run: entry(run, 0, 0).update(value=[7, 8, 9]),
    "value list edited in place": lambda run: entry(run, 1, 1)["value"].reverse(),
    "key renamed": lambda run: entry(run, 1, 0).update(key="renamed"),
    "dim moved": lambda run: entry(run, 1, 0).update(dim=0),
    "wave ids replaced": lambda run: entry(run, 0, 1).update(wave_ids=[1, 0]),
    "parameter renamed": lambda run: entry(run, 0, 1).update(parameter="detuning"),
    "non-str key added": lambda run: entry(run, 0, 0).__setitem__(1, "one"),
    "key compared by its own __eq__": add_collider,
    "key deleted": lambda run: entry(run, 1, 0).pop("key"),
    "entry replaced in its list": lambda run: run.exp._Experiment__compiled_sweep_dict[0].__setitem__(
        0, space_sweep("new", [4, 5, 6])),
    "group replaced": lambda run: setattr(run.exp, "_Experiment__group", other_group(run)),
    "circuit replaced": lambda run: setattr(run.exp, "_Experiment__wave_circuit", FakeCircuit(run.log, "new")),
    "instance dict replaced": lambda run: setattr(
        run.exp, "__dict__", {**vars(run.exp), "_Experiment__group": other_group(run)}),
}


@pytest.mark.parametrize("when", ["between steps", "within a step"])
@pytest.mark.parametrize("change", CHANGES)
def test_a_change_made_during_the_run_is_seen_at_the_next_read(change, when):
    logs = []
    for loop in ("engine", "python"):
        run = build()
        searches = []
        search = run.circuits[0].search_gates

        def searching(*args, run=run):  # the fourth search comes in the middle of the second step
            searches.append(args)
            if when == "within a step" and len(searches) == 4:
                CHANGES[change](run)
            return search(*args)

        def callback(**kwargs):
            run.log.append(("callback", kwargs["steps"], list(kwargs["pos"])))
            if when == "between steps" and kwargs["steps"] == 1:
                CHANGES[change](run)

        run.circuits[0].search_gates = searching
        try:
            run.exp.run_exp_normal(callback) if loop == "engine" else python_loop(run, callback)
        except Exception as error:  # a change that breaks an entry ends both loops the same way
            run.log.append(("raised", type(error)))
        logs.append(run.log)
    assert logs[0] == logs[1] and len(logs[0]) > 10
