"""Steps per second of the main job (the Rabi example on the simulated device) and where the
time of a step goes: the engine's own work, exporting the circuit, and the simulator.

    python benchmarks/bench_main_job.py
"""

from __future__ import annotations

import json
import time
from pathlib import Path

from varnok_client.experiment.experiment import Experiment
from varnok_client.sim import SimulatedDevice, demo_group
from varnok_client.waveform import WaveCircuit

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "rabi.json"


class Clock:
    """Accumulates the time spent inside wrapped calls."""

    def __init__(self):
        self.seconds = 0.0

    def wrap(self, function):
        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start

        return timed


def measure(repeat=20):
    data = json.loads(EXAMPLE.read_text())
    best = None
    for _ in range(repeat):
        group = demo_group()
        exp = Experiment.deserialize(data, group)
        device = SimulatedDevice(group)
        export_clock, sim_clock = Clock(), Clock()
        original_export = WaveCircuit.export_wave_package
        WaveCircuit.export_wave_package = export_clock.wrap(original_export)
        try:
            callback = sim_clock.wrap(device.callback)
            exp.compile_scripts()
            start = time.perf_counter()
            exp.run_exp(callback, options={"shots": 1024, "seed": 1})
            total = time.perf_counter() - start
        finally:
            WaveCircuit.export_wave_package = original_export
        steps = exp.total_sweep_steps
        sample = (total, export_clock.seconds, sim_clock.seconds, steps)
        if best is None or sample[0] < best[0]:
            best = sample
    return best


def main():
    total, export, simulate, steps = measure()
    engine = total - export - simulate
    print(f"Rabi example: {steps} steps, {steps / total:,.0f} steps/s, {total / steps * 1e6:,.0f} µs per step")
    print(f"{'share of a step':<20}{'µs':>10}{'%':>8}")
    for name, seconds in [("engine", engine), ("export", export), ("simulator", simulate)]:
        print(f"{name:<20}{seconds / steps * 1e6:>10.1f}{seconds / total * 100:>8.1f}")


if __name__ == "__main__":
    main()
