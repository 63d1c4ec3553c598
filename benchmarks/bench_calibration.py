"""Calibrate the demo device from its demo calibration, over many seeds, and compare with its truth.

    python benchmarks/bench_calibration.py [--seeds N] [--shots S]

Runs the whole sequence of ``varnok calibrate all`` (resonance, rabi,
ramsey, rabi, t1) on each qubit of the demo device, once per seed, each time
from a fresh space holding the demo calibration, and reports the worst
distance of the calibrated values from the device's truth, next to the
targets: x_amp within 1 %, freq within 20 kHz, T1 within 15 %.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import tempfile
import time
from pathlib import Path

from varnok_client.calibration import ALL_SEQUENCE, calibrate
from varnok_client.group import Group, Space
from varnok_client.sim import demo_calibration, demo_physics

TARGETS = {"x_amp": ("rel", 0.01), "freq": ("abs", 20e3), "t1": ("rel", 0.15), "t2": ("rel", None)}


def run(qubit: str, seed: int, shots: int, directory: Path) -> tuple[dict[str, float], bool]:
    path = directory / f"{qubit}-{seed}.sqlite"
    with Space(path) as space:
        space.update(demo_calibration())
        group = Group("bench", space, entities=("q01", "q02"))
        with contextlib.redirect_stderr(io.StringIO()):
            reports = calibrate(ALL_SEQUENCE, group, qubit, physics=demo_physics(), shots=shots, seed=seed,
                                out_dir=directory, quiet=True)
        ideal = demo_physics().ideal_calibration()
        errors = {}
        for name, (kind, _) in TARGETS.items():
            key = f"{qubit}.{name}"
            value, truth = space.get(key), ideal[key]
            errors[name] = abs(value - truth) / truth if kind == "rel" else abs(value - truth)
    return errors, all(report.written for report in reports)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--shots", type=int, default=1000)
    args = parser.parse_args()
    print(f"{'qubit':6} {'runs':>4} {'all written':>11} {'x_amp worst':>12} {'freq worst':>11} "
          f"{'T1 worst':>9} {'T2 worst':>9} {'s per run':>9}")
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        for qubit in ("q01", "q02"):
            worst = dict.fromkeys(TARGETS, 0.0)
            written = 0
            started = time.process_time()
            for seed in range(args.seeds):
                errors, ok = run(qubit, seed, args.shots, directory)
                written += ok
                worst = {k: max(worst[k], errors[k]) for k in worst}
            per_run = (time.process_time() - started) / args.seeds
            print(f"{qubit:6} {args.seeds:4d} {written:11d} {100 * worst['x_amp']:11.3f}% "
                  f"{worst['freq'] / 1e3:8.2f} kHz {100 * worst['t1']:8.2f}% {100 * worst['t2']:8.2f}% {per_run:9.2f}")
    print("targets: x_amp <= 1 %, freq <= 20 kHz, T1 <= 15 % (T2 for information)")


if __name__ == "__main__":
    main()
