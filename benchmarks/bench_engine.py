"""Speed of the engine's run loop and compilation against plain-Python floors.

The collaborators do nearly nothing, so what is measured is the engine's own work per step (or per
script). Each "floor" is a plain Python loop making exactly the same collaborator calls and wave
writes; the ratio engine / floor is what matters, measured in one process run since absolute times
on a shared machine are noisy.

    python benchmarks/bench_engine.py
"""

from __future__ import annotations

import time

import numpy as np

from varnok_client.experiment.experiment import Experiment


class Wave:
    def __init__(self):
        self.wave_parameters = {"amp": 0.0, "freq": 0.0, "phase": 0.0}
        self.waveform_compiler_config = {"detuning": 0.0}
        self.t0 = 0.0
        self.ratio = 1.0


class Gate:
    def __init__(self):
        self.waves = [Wave(), Wave()]
        self.gate_name = "X"


class Circuit:
    def __init__(self):
        self.found = [Gate()]
        self.gates = {0: self.found[0]}
        self.package = object()

    def search_gates(self, entity=None, layer=None):
        return self.found

    def export_wave_package(self):
        return self.package


class Group:
    def set_temporary_parameter(self, key, value):
        pass


class Evaluator:
    group = None
    prepared = {"type": "val", "dim": 0, "val": 0.25, "seq": None, "use_space": ["a"]}

    def evaluate(self, script, timestamp=None):
        return self.prepared


def callback(wave_package, exp_obj, pos, steps, options):
    return None


SHAPE = (100, 10, 10)


def run_fixture():
    exp = Experiment("bench", "run loop")
    circuit = Circuit()
    exp._Experiment__wave_circuit = circuit
    exp._Experiment__group = Group()
    exp._Experiment__script_evaluator = Evaluator()
    exp._Experiment__compiled = True
    exp._Experiment__compiled_sweep_len = list(SHAPE)
    sweep = {0: [], 1: [], 2: []}
    for dim, key in enumerate(["a", "b", "c"]):
        sweep[dim].append({"t": "p", "key": key, "value": list(range(SHAPE[dim])), "len": SHAPE[dim], "dim": dim})
    for dim, parameter in [(0, "amp"), (1, "freq")]:
        sweep[dim].append({"t": "w", "entity": "q01", "layer": 0, "wave_ids": [0], "parameter": parameter,
                           "value": [0.1 * i for i in range(SHAPE[dim])], "len": SHAPE[dim],
                           "re_compile": False, "dim": dim})
    exp._Experiment__compiled_sweep_dict = sweep
    exp._Experiment__compiled_waveform_parameter_list = [
        {"entity": "q01", "layer": 0, "wave_ids": [1], "parameter": "phase", "value": 0.0, "re_compile": "a * 2"}
    ]
    exp._Experiment__compiled_space_parameter_dict = {}
    return exp


def apply(gate, wave_ids, parameter, value):
    for wave_id in wave_ids:
        wave = gate.waves[wave_id]
        if parameter in wave.wave_parameters:
            wave.wave_parameters[parameter] = value
        elif parameter in wave.waveform_compiler_config:
            wave.waveform_compiler_config[parameter] = value
        elif parameter == "t0":
            wave.t0 = value
        elif parameter == "ratio":
            wave.ratio = value
        else:
            raise RuntimeError(parameter)


def floor_run(exp):
    """The same calls and writes as the engine's loop, written in Python."""
    circuit = exp._Experiment__wave_circuit
    group = exp._Experiment__group
    evaluator = exp._Experiment__script_evaluator
    re_compile_list = []
    for entry in exp._Experiment__compiled_waveform_parameter_list:
        if entry["re_compile"]:
            re_compile_list.append(entry)
        gate = circuit.search_gates(entry["entity"], int(entry["layer"]))[0]
        apply(gate, entry["wave_ids"], entry["parameter"], entry["value"])
    pos = [0, 0, 0]
    steps = 0
    lengths = exp._Experiment__compiled_sweep_len
    for i in range(max(lengths[0], 1)):
        pos[0] = i
        for j in range(max(lengths[1], 1)):
            pos[1] = j
            for k in range(max(lengths[2], 1)):
                pos[2] = k
                for _, entries in exp._Experiment__compiled_sweep_dict.items():
                    for entry in entries:
                        value = entry["value"][pos[entry["dim"]]]
                        kind = entry["t"]
                        if kind == "p":
                            group.set_temporary_parameter(entry["key"], value)
                        elif kind == "w":
                            gate = circuit.search_gates(entry["entity"], int(entry["layer"]))[0]
                            apply(gate, entry["wave_ids"], entry["parameter"], value)
                for entry in re_compile_list:
                    value = evaluator.evaluate(entry["re_compile"], timestamp=None)["val"]
                    gate = circuit.search_gates(entry["entity"], int(entry["layer"]))[0]
                    apply(gate, entry["wave_ids"], entry["parameter"], value)
                package = circuit.export_wave_package()
                answer = callback(wave_package=package, exp_obj=exp, pos=pos, steps=steps, options=None)
                steps += 1
                if isinstance(answer, dict):
                    pass
    return steps


def engine_run(exp):
    exp.run_exp_normal(callback)


class CompileEvaluator:
    """Returns prepared results: swept space parameters as arrays, waveform scripts as values."""

    group = None

    def __init__(self):
        self.space = {"type": "seq", "dim": 0, "val": None, "seq": np.linspace(0, 1, 100), "use_space": []}
        self.wave = {"type": "val", "dim": 0, "val": 0.5, "seq": None, "use_space": ["k0"]}

    def evaluate(self, script, timestamp=None):
        if script.startswith("space"):
            result = dict(self.space)
            result["dim"] = int(script[-1])
            result["seq"] = np.linspace(0, 1, 100)
            return result
        return self.wave


def compile_fixture():
    exp = Experiment("bench", "compile")
    exp._Experiment__wave_circuit = Circuit()
    exp._Experiment__group = Group()
    exp._Experiment__script_evaluator = CompileEvaluator()
    exp._Experiment__space_parameter_script = {f"k{d}": f"space{d}" for d in range(3)}
    exp._Experiment__waveform_script = [
        {"search_type": "ids", "gate_name": "X", "entity": "q01", "layer": 0, "channels": None,
         "wave_names": None, "wave_ids": [0], "parameter": "amp", "script": f"wave{i}"}
        for i in range(50)
    ]
    return exp


def floor_compile(exp):
    evaluator = exp._Experiment__script_evaluator
    for _ in range(2):  # the sizing pass and the compile pass
        for script in exp._Experiment__space_parameter_script.values():
            result = evaluator.evaluate(script, timestamp=None)
            seq = result["seq"]
            if isinstance(seq, np.ndarray):
                seq = seq.tolist()
    for record in exp._Experiment__waveform_script:
        evaluator.evaluate(record["script"], timestamp=None)


def engine_compile(exp):
    exp.reset_compiled_data()
    exp.compile_scripts()


def best_of(function, argument, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function(argument)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    steps = SHAPE[0] * SHAPE[1] * SHAPE[2]
    exp = run_fixture()
    assert floor_run(exp) == steps
    engine = best_of(engine_run, exp, 5) / steps
    floor = best_of(floor_run, exp, 5) / steps
    cexp = compile_fixture()
    engine_compile(cexp)
    assert cexp.compiled_sweep_len == [100, 100, 100]
    compile_engine = best_of(engine_compile, cexp, 20)
    compile_floor = best_of(floor_compile, cexp, 20)
    rows = [
        ("run loop, per step", engine * 1e6, floor * 1e6, engine / floor, 0.7),
        ("compilation, per call", compile_engine * 1e6, compile_floor * 1e6, compile_engine / compile_floor, 1.2),
    ]
    print(f"{'benchmark':<24}{'engine µs':>12}{'floor µs':>12}{'ratio':>8}{'target':>8}")
    for name, ours, theirs, ratio, target in rows:
        print(f"{name:<24}{ours:>12.2f}{theirs:>12.2f}{ratio:>8.2f}{'<=' + str(target):>8}")


if __name__ == "__main__":
    main()
