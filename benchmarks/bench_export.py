"""Speed of sampling a circuit into a wave package.

The circuit: 100 gates over 8 channels (4 qubits, each with a drive channel ``qN.xy`` and a readout
channel ``qN.ro``): 24 layers of 40 ns ``drag`` pulses cycling through the standard drive gates, then a
2 µs ``square`` readout on every qubit. At 2 GS/s that is 8 channels of 5,920 samples each. A second
row stretches one layer with a 20 µs ``cosine`` flux-style pulse, to show that the cost follows the
number of samples, not the number of gates.

The floor is the same channels computed one sample at a time in plain Python (every sample asks
every waveform of its channel) from the already placed waveforms, i.e. only the sampling part of an
export, without layout or copies; it is what a non-vectorised export would cost at the least. It is
checked to agree with the export and timed once, since it is slow.

Exports keep the carriers and envelopes they compute, and the samples of every waveform they
placed, since a running experiment exports the same circuit at every step with only a few values
changed: only the waveforms a step changed are sampled again. ``ms/export`` is such a repeated
export; ``cold ms`` empties those caches before every export, which is what the first export
costs, or every export of a sweep that moves every pulse's frequency or timing.

The last table is the main job's export: the Rabi example's circuit (a 40 ns DRAG and a 400 ns
readout, 880 samples per channel) with the DRAG's amplitude changed before every export, as the
sweep does, against the target of 15 µs a step; and the same circuit exported unchanged.

    python benchmarks/bench_export.py
"""

from __future__ import annotations

import cmath
import json
import math
import time
from pathlib import Path

import numpy as np

from varnok_client.waveform import WaveCircuit
from varnok_client.waveform.shapes import clear_sample_cache
from varnok_client.waveform.waveform_register import waveform_register

QUBITS = 4
DRIVE_LAYERS = 24
SAMPLE_RATE = 2e9
PHASES = {"X": 0.0, "Y": math.pi / 2, "X/2": 0.0, "Y/2": math.pi / 2, "-X/2": math.pi, "-Y/2": -math.pi / 2}


def build_circuit(long_pulse: bool = False) -> WaveCircuit:
    circuit = WaveCircuit()
    names = list(PHASES)
    for layer in range(DRIVE_LAYERS):
        for q in range(QUBITS):
            name = names[(layer + q) % len(names)]
            amp = 0.5 if "/" not in name else 0.25
            wave = waveform_register.create(
                "drag", f"q{q}.xy", name="drive", amp=amp, width=40.0, sigma=10.0, beta=0.3,
                freq=5.0e9 + 0.1e9 * q, phase=PHASES[name],
            )
            circuit.add_gate((name, f"q{q}"), layer, [wave])
    if long_pulse:
        # Swap one drive gate's pulse for a long flat-top pulse on the same channel.
        gate = circuit.search_gates("q0", DRIVE_LAYERS // 2)[0]
        gate.waves = [waveform_register.create("cosine", "q0.xy", amp=0.1, width=20_000.0, edge=50.0)]
    for q in range(QUBITS):
        readout = waveform_register.create(
            "square", f"q{q}.ro", name="readout", amp=0.1, width=2000.0, freq=6.5e9 + 0.05e9 * q
        )
        circuit.add_gate(("M", f"q{q}"), DRIVE_LAYERS, [readout])
    return circuit


def per_sample_floor(package) -> dict[str, list[complex]]:
    """The package's channels recomputed sample by sample, in plain Python, from its placed waves."""
    step = 1e9 / package.sample_rate
    count = package.times.size
    by_channel: dict[str, list] = {}
    for wave in package.waves:
        by_channel.setdefault(wave.channel, []).append(wave)
    out = {}
    for channel, waves in by_channel.items():
        params = []
        for w in waves:
            p = w.wave_parameters
            sigma = p.get("sigma") or p["width"] / 4
            edge = p.get("edge")
            edge = p["width"] / 4 if edge is None else min(edge, p["width"] / 2)
            params.append((w.shape, w.t0, p["width"], p["amp"] * w.ratio, p["freq"], p["phase"], sigma,
                           p.get("beta", 0.0), edge))
        samples = []
        for k in range(count):
            t = k * step
            total = 0j
            for shape, t0, width, amp, freq, phase, sigma, beta, edge in params:
                tau = t - t0
                if not 0.0 <= tau < width:
                    continue
                if shape == "square":
                    env = 1.0
                elif shape == "cosine":
                    if tau < edge:
                        env = 0.5 * (1 - math.cos(math.pi * tau / edge))
                    elif tau > width - edge:
                        env = 0.5 * (1 - math.cos(math.pi * (width - tau) / edge))
                    else:
                        env = 1.0
                else:
                    off = tau - width / 2
                    g = math.exp(-0.5 * (off / sigma) ** 2)
                    env = g * (1 - 1j * beta * off / sigma**2) if shape == "drag" else g
                total += amp * env * cmath.exp(1j * (2 * math.pi * freq * 1e-9 * t + phase))
            samples.append(total)
        out[channel] = samples
    return out


def best_of(function, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


RABI_TARGET_US = 15.0
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "rabi.json"


def rabi_step_export(repeat: int = 40) -> tuple[float, float]:
    """Best µs per export of the Rabi circuit: amplitude changed before each export, and unchanged."""
    from varnok_client.experiment.experiment import Experiment
    from varnok_client.sim import demo_group

    group = demo_group()
    exp = Experiment.deserialize(json.loads(EXAMPLE.read_text()), group)
    exp.fill_empty_wave_gates()
    circuit = exp.circuit
    drive = circuit.gates[0].waves[0]
    amps = [0.025 * i for i in range(61)]
    changing, unchanged = float("inf"), float("inf")
    for _ in range(repeat):
        start = time.process_time()
        for amp in amps:
            drive.wave_parameters["amp"] = amp
            circuit.export_wave_package()
        changing = min(changing, (time.process_time() - start) / len(amps))
        start = time.process_time()
        for _ in amps:
            circuit.export_wave_package()
        unchanged = min(unchanged, (time.process_time() - start) / len(amps))
    group.space.close()
    return changing * 1e6, unchanged * 1e6


def main() -> None:
    print(f"{'circuit':<34}{'gates':>6}{'chans':>6}{'samples':>10}{'ms/export':>11}"
          f"{'Msamples/s':>12}{'cold ms':>9}{'floor ms':>10}{'speed-up':>10}")
    for label, long_pulse in (("24 drive layers + 2 µs readout", False), ("... with one 20 µs pulse", True)):
        circuit = build_circuit(long_pulse)
        package = circuit.export_wave_package(SAMPLE_RATE)
        samples = sum(a.size for a in package.channels.values())
        floor_channels = per_sample_floor(package)
        for channel, values in floor_channels.items():  # the floor must compute the same thing
            np.testing.assert_allclose(package.channels[channel], values, atol=1e-9)
        per_export = best_of(lambda: circuit.export_wave_package(SAMPLE_RATE), 20)

        def cold_export():
            clear_sample_cache()
            circuit.export_wave_package(SAMPLE_RATE)

        cold = best_of(cold_export, 20)
        floor = best_of(lambda: per_sample_floor(package), 1)
        print(f"{label:<34}{len(circuit.gates):>6}{len(package.channels):>6}{samples:>10,}"
              f"{per_export * 1e3:>11.2f}{samples / per_export / 1e6:>12.1f}{cold * 1e3:>9.2f}"
              f"{floor * 1e3:>10.0f}{floor / per_export:>9.0f}x")
    changing, unchanged = rabi_step_export()
    verdict = "within" if changing <= RABI_TARGET_US else "OVER"
    print(f"\n{'Rabi step export (amplitude changed)':<40}{changing:>8.1f} µs  {verdict} the {RABI_TARGET_US:.0f} µs target")
    print(f"{'Rabi circuit exported unchanged':<40}{unchanged:>8.1f} µs")


if __name__ == "__main__":
    main()
