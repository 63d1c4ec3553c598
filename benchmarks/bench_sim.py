"""Time the simulated device per step, alone and inside a full engine run.

    python benchmarks/bench_sim.py [--repeat N]

The first columns of times are the device alone (one wave package in, the
readout probabilities out), then its whole callback (probabilities, seeded shot
noise over 1000 shots, the step's Result); the last row is a whole engine step
of a sweep (applying the sweep value, exporting the wave package, simulating,
merging the result).  A one-qubit step of 1 us at 2 GS/s, driven throughout,
should take at most 50 us: the compiled kernel walks the samples once (a few
nanoseconds per driven sample), and seeding the noise generator costs about a
microsecond.
"""

from __future__ import annotations

import argparse
import statistics
import time

from varnok_client.experiment.experiment import Experiment
from varnok_client.sim import SimulatedDevice, demo_calibration, demo_group
from varnok_client.waveform import WaveCircuit
from varnok_client.waveform.waveform_register import waveform_register

TARGET_US = 50.0


def square(channel, amp, width, freq, t0=0.0):
    return waveform_register.create("square", channel, t0=t0, amp=amp, width=width, freq=freq)


def drag(channel, amp, t0=0.0):
    calibration = demo_calibration()
    return waveform_register.create(
        "drag", channel, t0=t0, amp=amp, width=calibration["q01.x_width"], freq=calibration["q01.freq"]
    )


def ramsey_package(qubits=("q01",), length_ns=1000.0):
    """X/2, idle, X/2, then a 400 ns readout: ``length_ns`` in all, mostly undriven."""
    cal = demo_calibration()
    circuit = WaveCircuit()
    idle = length_ns - 400.0 - 2 * cal["q01.x_width"]
    for q in qubits:
        circuit.add_gate(("X/2", q), 0, [drag(f"{q}.xy", 0.25)])
        circuit.add_gate(("X/2", q), 1, [drag(f"{q}.xy", 0.25, t0=idle)])
        circuit.add_gate(("M", q), 2, [square(f"{q}.ro", 0.2, 400.0, cal[f"{q}.ro_freq"])])
    return circuit.export_wave_package()


def driven_package(length_ns=1000.0):
    """A detuned drive over the whole circuit but its last 10 ns, where the readout starts."""
    cal = demo_calibration()
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0, [square("q01.xy", 0.3, length_ns - 10.0, cal["q01.freq"] + 3e6)])
    circuit.add_gate(("M", "q01"), 1, [square("q01.ro", 0.2, 10.0, cal["q01.ro_freq"])])
    return circuit.export_wave_package()


def gate_train_package(gates=("X/2", "Y", "X/2", "-X/2", "Y/2")):
    """Several short pulses with a readout in the middle and one at the end: many runs per step."""
    cal = demo_calibration()
    circuit = WaveCircuit()
    for layer, gate in enumerate(gates):
        circuit.add_gate((gate, "q01"), 2 * layer, [drag("q01.xy", 0.25 if "/2" in gate else 0.5)])
        if layer == len(gates) // 2:
            circuit.add_gate(("M", "q01"), 2 * layer + 1, [square("q01.ro", 0.2, 100.0, cal["q01.ro_freq"])])
    circuit.add_gate(("M", "q01"), 2 * len(gates), [square("q01.ro", 0.2, 400.0, cal["q01.ro_freq"])])
    return circuit.export_wave_package()


def time_device(function, repeat):
    function()  # warm the parameter cache
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1e6, min(samples) * 1e6


def time_engine_step(group, steps=200):
    exp = Experiment("bench", "engine step with the simulated device")
    exp.add_wave_gate(("X/2", "q01"), 0)
    exp.add_wave_gate(("X/2", "q01"), 1)
    exp.add_wave_gate(("M", "q01"), 2)
    exp.set_waveform_script_by_channel("q01", 1, "q01.xy", "t0", f"sweep(linspace(0, 520, {steps}), dim=0)")
    device = SimulatedDevice(group)
    exp.compile_scripts(group=group)
    start = time.perf_counter()
    exp.run_exp(device.callback, options={"shots": 1000, "seed": 1})
    return (time.perf_counter() - start) / steps * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=300)
    args = parser.parse_args()
    group = demo_group()
    device = SimulatedDevice(group)
    cases = [
        ("1 qubit, 1 us Ramsey (X/2 idle X/2 M)", ramsey_package()),
        ("1 qubit, 1 us driven throughout", driven_package()),
        ("2 qubits, 1 us Ramsey", ramsey_package(("q01", "q02"))),
        ("1 qubit, 5 pulses, 2 readouts", gate_train_package()),
        ("1 qubit, 10 us Ramsey", ramsey_package(length_ns=10_000.0)),
        ("1 qubit, 10 us driven throughout", driven_package(10_000.0)),
    ]
    options = {"shots": 1000, "seed": 1}
    print(f"{'case':40s} {'samples':>8s} {'median us':>10s} {'best us':>9s} {'callback med':>13s} {'best':>7s}")
    worst_one_us = 0.0
    for label, package in cases:
        median, best = time_device(lambda: device.probabilities(package), args.repeat)
        whole, whole_best = time_device(lambda: device.callback(package, None, None, 1, options), args.repeat)
        if "1 qubit, 1 us" in label:
            worst_one_us = max(worst_one_us, median)
        print(f"{label:40s} {package.times.size:8d} {median:10.1f} {best:9.1f} {whole:13.1f} {whole_best:7.1f}")
    engine = time_engine_step(group)
    print(f"{'engine step (sweep, export, device, merge)':40s} {'':8s} {engine:10.1f}")
    verdict = "within" if worst_one_us <= TARGET_US else "OVER"
    print(f"\n1 us one-qubit step: {worst_one_us:.1f} us median, {verdict} the {TARGET_US:.0f} us budget")
    group.space.close()


if __name__ == "__main__":
    main()
