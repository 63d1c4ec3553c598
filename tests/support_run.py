"""Fakes for the run tests: an experiment with hand-compiled state on recording collaborators."""

from types import SimpleNamespace

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result


class FakeWave:
    def __init__(self, params, config):
        self.wave_parameters, self.waveform_compiler_config, self.t0, self.ratio = params, config, 0.0, 1.0

    def state(self):
        return (dict(self.wave_parameters), dict(self.waveform_compiler_config), self.t0, self.ratio)


class FakeCircuit:
    """One gate at ("q01", 0) with two waves; logs searches and exports; a package is (name, wave states)."""

    def __init__(self, log, name):
        self.log, self.name = log, name
        self.waves = [FakeWave({"amp": 0.0}, {"detuning": 0.0}), FakeWave({"amp": 0.0}, {"phase": 0.0})]
        self.places = {("q01", 0): [SimpleNamespace(waves=self.waves)]}
        self.gates = {0: self.places[("q01", 0)][0]}

    def search_gates(self, entity, layer):
        self.log.append(("search", self.name, entity, layer, type(layer)))
        return list(self.places.get((entity, layer), []))

    def snapshot(self):
        return [w.state() for w in self.waves]

    def export_wave_package(self, *args, **kwargs):
        self.log.append(("export", self.name, args, kwargs))
        return (self.name, self.snapshot())


class Callback:
    """Records each call (positional args, keyword names, keywords, a copy of pos); `answers(steps)` replies."""

    def __init__(self, log=None, answers=None):
        self.log, self.calls, self.answers = log, [], answers or (lambda steps: None)

    def __call__(self, *args, **kwargs):
        self.calls.append({"args": args, "keys": list(kwargs), "kw": kwargs, "pos": list(kwargs["pos"])})
        if self.log is not None:
            self.log.append(("callback", kwargs["steps"]))
        return self.answers(kwargs["steps"])

    def positions(self):
        return [call["pos"] for call in self.calls]

    def kw(self, key):  # one keyword's value at every call
        return [call["kw"][key] for call in self.calls]


class Run:
    """An experiment compiled by hand on one circuit "own" or on `batch` circuits 0, 1, ...; its group and
    script evaluator log ("temp", key, value, wave states) and ("evaluate", args, kwargs, temporary values)."""

    def __init__(self, lengths=(1, 1, 1), batch=None, exp_cls=Experiment, compiled=True, fixed=(), space=(), log=None):
        self.log, self.batch, self.temporary = [] if log is None else log, batch, {}
        self.exp = exp = exp_cls("title", "description")
        self.circuits = [FakeCircuit(self.log, name) for name in (["own"] if batch is None else range(batch))]
        if batch is None:
            exp._Experiment__wave_circuit = self.circuits[0]
        else:
            exp._Experiment__batch_circuits, lengths = list(self.circuits), (batch, 1, 1)
        self.rule = lambda script, temps: (script, temps.get("amp"))
        self.group = SimpleNamespace(set_temporary_parameter=self.set_temporary, temporary=self.temporary)
        private = {"group": self.group, "script_evaluator": SimpleNamespace(evaluate=self.evaluate),
                   "compiled": compiled, "compiled_sweep_len": list(lengths),
                   "compiled_sweep_dict": {0: [], 1: [], 2: []},
                   "compiled_space_parameter_dict": dict(space), "compiled_waveform_parameter_list": list(fixed),
                   "compile_space_timestamp": None}
        for name, value in private.items():
            setattr(exp, "_Experiment__" + name, value)

    def set_temporary(self, key, value):
        self.log.append(("temp", key, value, [circuit.snapshot() for circuit in self.circuits]))
        self.temporary[key] = value

    def evaluate(self, *args, **kwargs):
        self.log.append(("evaluate", args, kwargs, dict(self.temporary)))
        return {"val": self.rule(args[0], self.temporary)}

    def go(self, callback=None, *args, **kwargs):  # the loop of this experiment's mode; a logging callback by default
        self.callback = Callback(self.log) if callback is None else callback
        loop = self.exp.run_exp_normal if self.batch is None else self.exp.run_exp_batch_circuit
        return loop(self.callback, *args, **kwargs)

    @property
    def wave(self):
        return self.circuits[0].waves[0]

    def sweep(self, dim, *entries):
        self.exp._Experiment__compiled_sweep_dict[dim].extend(entries)

    def events(self, kind):
        return [entry[1:] for entry in self.log if entry[0] == kind]

    def temps(self):
        return [(key, value) for key, value, _ in self.events("temp")]


def three_steps(mode, exp_cls=Experiment, **kwargs):  # lengths [3, 1, 1], or three batch circuits
    return Run((3, 1, 1), batch=3 if mode == "batch" else None, exp_cls=exp_cls, **kwargs)


def fixed(parameter, value, wave_ids=(0,), layer=0, re_compile=False):
    return {"entity": "q01", "layer": layer, "wave_ids": list(wave_ids), "parameter": parameter,
            "value": value, "re_compile": re_compile}


def space_sweep(key, values, dim=0):
    return {"t": "p", "key": key, "value": values, "len": len(values), "dim": dim}


def wave_sweep(parameter, values, dim=0, wave_ids=(0,)):
    return {"t": "w", "entity": "q01", "layer": 0, "wave_ids": list(wave_ids), "parameter": parameter,
            "value": values, "len": len(values), "re_compile": False, "dim": dim}


def step_result(steps, value):
    result = Result(item_id_start=steps)
    result.add("v", value)
    return result
