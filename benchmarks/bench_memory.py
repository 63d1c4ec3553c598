"""Resident memory over a long run: the Rabi main job swept over 100,000 steps on the simulated device.

    python benchmarks/bench_memory.py [--steps N]

Two runs of the same sweep. The first hands every step to the device and drops its answer, so
nothing is kept from step to step: the engine, the export and the simulator must not grow at all
(RSS flat once the first steps have warmed the caches). The second merges every step's result
into the run's Result, as a real run does; that Result holds each step's readout, so memory grows
by what it stores per step (measured with tracemalloc on a separate run of merges), and nothing
more should.
"""

from __future__ import annotations

import argparse
import json
import os
import tracemalloc
from pathlib import Path

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.sim import SimulatedDevice, demo_group

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "rabi.json"
PAGE = os.sysconf("SC_PAGE_SIZE")
WARM_UP = 10_000


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def run(steps: int, keep_results: bool) -> tuple[int, int]:
    """RSS after the warm-up steps and at the end of a run of ``steps`` steps."""
    data = json.loads(EXAMPLE.read_text())
    data["waveform_script"][0]["script"] = f'sweep(linspace(0, 3 * space("q01.x_amp"), {steps}), dim=0)'
    group = demo_group()
    exp = Experiment.deserialize(data, group)
    device = SimulatedDevice(group)
    marks = {}

    def callback(**kwargs):
        answer = device.callback(**kwargs)
        if kwargs["steps"] in (WARM_UP, steps - 1):
            marks[kwargs["steps"]] = rss_bytes()
        return answer if keep_results else None

    exp.run_exp(callback, options={"shots": 1024, "seed": 1})
    group.space.close()
    return marks[WARM_UP], marks[steps - 1]


def result_bytes_per_step(count: int = 20_000) -> float:
    """What a run's Result stores per merged one-value step."""
    merged = Result(dims=[count, 1, 1])
    tracemalloc.start()
    for step in range(count):
        answer = Result(item_id_start=step)
        answer.add("q01.p1", 0.5)
        merged.concatenate(answer)
    stored, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return stored / count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=100_000)
    args = parser.parse_args()
    span = args.steps - 1 - WARM_UP
    print(f"{'run':<36}{'RSS at 10^4 MiB':>16}{'at end MiB':>12}{'growth B/step':>15}")
    for label, keep in (("answers dropped (engine, export, sim)", False), ("results merged into the run", True)):
        start, end = run(args.steps, keep)
        print(f"{label:<36}{start / 2**20:>16.1f}{end / 2**20:>12.1f}{(end - start) / span:>15.1f}")
    print(f"\nthe run's Result stores {result_bytes_per_step():.0f} B per merged step (tracemalloc)")


if __name__ == "__main__":
    main()
