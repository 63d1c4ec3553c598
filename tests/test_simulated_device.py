"""The simulated device against closed-form two-level physics, its noise, its parameters and its kernel's input checks."""

import contextlib
import math
import mmap
from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest

from varnok_client.experiment.result import Result
from varnok_client.group import Group, Space
from varnok_client import _kernels
from varnok_client.sim import (
    DEFAULT_SHOTS,
    SimulatedDevice,
    SimulationError,
    rotation_product,
    sample_rotations,
)
from varnok_client.waveform import WaveCircuit
from varnok_client.waveform.waveform_register import waveform_register

QUBIT_FREQ = 5.0e9
DRIVE_STRENGTH = 20e6  # Hz of Rabi frequency per unit amplitude
PI_WIDTH = 0.5 / DRIVE_STRENGTH * 1e9  # ns at amplitude 1
HALF_PI_WIDTH = PI_WIDTH / 2


def make_group(**overrides):
    values = {"q01.freq": QUBIT_FREQ, "q01.drive_strength": DRIVE_STRENGTH, **overrides}
    return Group("sim", {k: v for k, v in values.items() if v is not None})


def square(channel, amp, width, freq=QUBIT_FREQ, phase=0.0, t0=0.0):
    return waveform_register.create("square", channel, t0=t0, amp=amp, width=width, freq=freq, phase=phase)


def package(*layers):
    # A wave package of drive pulses (one layer each) on q01 followed by one readout.
    circuit = WaveCircuit()
    for layer, wave in enumerate(layers):
        circuit.add_gate(("X", "q01"), layer, [wave])
    circuit.add_gate(("M", "q01"), len(layers), [square("q01.ro", 0.2, 100.0, 6.5e9)])
    return circuit.export_wave_package()


def p1_of(group, *layers):
    return SimulatedDevice(group).probabilities(package(*layers))["q01.p1"]


def test_a_detuning_in_the_export_settings_acts_like_the_same_carrier_offset():
    offset = square("q01.xy", 0.5, 100.0)
    offset.waveform_compiler_config["detuning"] = -15e6
    assert p1_of(make_group(), offset) == pytest.approx(
        p1_of(make_group(), square("q01.xy", 0.5, 100.0, QUBIT_FREQ - 15e6)), abs=1e-12)


def test_readouts_collapse_and_only_read_qubits_report():
    group = make_group(**{"q02.freq": 5.3e9, "q02.drive_strength": DRIVE_STRENGTH})
    circuit = WaveCircuit()
    for layer in (0, 2):  # X/2, M, X/2, M: without the collapse the second read would see P = 1
        circuit.add_gate(("X/2", "q01"), layer, [square("q01.xy", 1.0, HALF_PI_WIDTH)])
        circuit.add_gate(("M", "q01"), layer + 1, [square("q01.ro", 0.2, 100.0, 6.5e9)])
    circuit.add_gate(("X", "q03"), 0, [square("q03.xy", 1.0, PI_WIDTH)])  # driven, never read
    circuit.add_gate(("M", "q02"), 1, [square("q02.ro", 0.2, 100.0, 6.6e9)])
    p = SimulatedDevice(group).probabilities(circuit.export_wave_package())
    assert p == pytest.approx({"q01.p1": 0.5, "q02.p1": 0.0, "q01.p1_2": 0.5}, abs=1e-9)


def test_physics_is_read_from_the_space_at_the_timestamp_ignoring_temporaries():
    group, pulses = Group("g", Space()), package(square("q01.xy", 1.0, PI_WIDTH))
    group.space.update({"q01.freq": QUBIT_FREQ, "q01.drive_strength": DRIVE_STRENGTH}, timestamp=1000)
    group.space.update({"q01.drive_strength": 2 * DRIVE_STRENGTH}, timestamp=2000)
    group.set_temporary_parameter("q01.drive_strength", 3 * DRIVE_STRENGTH)
    device = SimulatedDevice(group)
    assert device.probabilities(pulses, timestamp=1500)["q01.p1"] == pytest.approx(1.0, abs=1e-9)
    assert device.probabilities(pulses)["q01.p1"] == pytest.approx(0.0, abs=1e-9)
    answer = device.callback(pulses, None, [4, 0, 0], 4, {"shots": 0, "space_timestamp": 1500})
    assert set(answer) == {"result"} and isinstance(answer["result"], Result) and answer["result"].items == [
        (4, {"q01.p1": pytest.approx(1.0, abs=1e-9)})]


@pytest.mark.parametrize("overrides, key", [
    ({"q01.freq": None}, "q01.freq"), ({"q01.drive_strength": "strong"}, "q01.drive_strength"),
    ({"q01.t1": 1e-6, "q01.t2": 3e-6}, "q01.t2"), ({"q01.ro_f1": 1.2}, "q01.ro_f1"),
])
def test_unusable_device_parameters_are_refused_by_name(overrides, key):
    with pytest.raises(SimulationError, match=key.replace(".", r"\.")):
        p1_of(make_group(**overrides), square("q01.xy", 0.5, 100.0))


@pytest.mark.parametrize("run_options, exp_options, expected", [
    (None, {}, (DEFAULT_SHOTS, None)), ({"shots": 10}, {"shots": 99, "seed": 3}, (10, 3)),
    ({"shots": None, "seed": 5}, {"shots": 99}, (99, 5)), ({"shots": -1}, {}, None), ({"shots": True}, {}, None),
    ({"seed": "x"}, {}, None),
])
def test_shots_and_seed_come_from_run_options_then_experiment_options(run_options, exp_options, expected):
    exp = SimpleNamespace(options=exp_options)
    with pytest.raises(SimulationError) if expected is None else contextlib.nullcontext():
        assert SimulatedDevice.run_settings(exp, run_options) == expected


def test_shot_noise_is_drawn_from_the_exact_probabilities_by_seed_and_step():
    device, pulses = SimulatedDevice(make_group()), package(square("q01.xy", 0.3, PI_WIDTH))
    for seed, step in [(11, 0), (11, 5), (12, 5)]:
        drawn = device.callback(pulses, steps=step, options={"shots": 400, "seed": seed})["result"].data["q01.p1"]
        assert drawn[step] == SimulatedDevice.measure(device.probabilities(pulses), 400, seed, step)["q01.p1"]


def reference_readouts(drive, readout, strength, sample_rate, t1=None, t2=None):
    # P(|1>) at each readout start, stepping the density matrix one sample at a time: every
    # driven sample is its own rotation, every undriven one a relaxation of one sample period,
    # and a readout measures before its first sample acts.
    dt, rho, out, reading = 1.0 / sample_rate, np.diag([1.0, 0.0]).astype(complex), [], False
    for k in range(drive.size):
        if readout[k] != 0 and not reading:
            out.append(min(1.0, max(0.0, rho[1, 1].real)))
            rho = np.diag([1.0 - out[-1], out[-1]]).astype(complex)
        reading = readout[k] != 0
        if drive[k] != 0:
            phase = float((Fraction(QUBIT_FREQ) * k / Fraction(sample_rate)) % 1)
            z = 2 * math.pi * strength * dt * drive[k] * np.exp(-2j * math.pi * phase)
            axis = np.array([[0, np.exp(-1j * np.angle(z))], [np.exp(1j * np.angle(z)), 0]])
            u = math.cos(abs(z) / 2) * np.eye(2) - 1j * math.sin(abs(z) / 2) * axis
            rho = u @ rho @ u.conj().T
        else:
            decay = math.exp(-dt / t1) if t1 else 1.0
            coherence = math.exp(-dt / t2) if t2 else math.exp(-dt / (2 * t1)) if t1 else 1.0
            p1 = rho[1, 1] * decay
            rho = np.array([[1 - p1, rho[0, 1] * coherence], [rho[1, 0] * coherence, p1]])
    return out


def pulse_train(count, pulses, reads, sample_rate=2e9):
    # Drive and readout channels: ``pulses`` as (start, length, detuning), ``reads`` as (start, length).
    rng, k = np.random.default_rng(0), np.arange(count)
    drive, readout = np.zeros(count, dtype=complex), np.zeros(count, dtype=complex)
    for start, length, detuning in pulses:
        amp = rng.uniform(0.2, 1.0, min(length, count - start)) * np.exp(1j * rng.uniform(0, 2 * np.pi))
        drive[start : start + length] += amp * np.exp(2j * np.pi * (QUBIT_FREQ + detuning) / sample_rate
                                                      * k[start : start + length])
    for start, length in reads:
        readout[start : start + length] = 0.2
    return SimpleNamespace(channels={"q01.xy": drive, "q01.ro": readout}, sample_rate=sample_rate)


TRAINS = {
    "odd-length pulse": (700, [(3, 77, 2e6)], [(200, 40)]),
    "very different lengths": (2400, [(0, 5, 0.0), (40, 1203, 3e6), (1400, 1, 0.0)], [(2300, 60)]),
    "drive to the last sample": (500, [(100, 400, 0.0)], [(50, 10), (300, 100)]),
    "readout inside a pulse": (900, [(100, 300, 1e6)], [(250, 100), (700, 50)]),
    "thirty short pulses": (2000, [(20 + 60 * i, 7 + (i * 5) % 31, 1e6 * (i % 3)) for i in range(30)],
                            [(700, 20), (1900, 50)]),
}


# Relaxation alone, dephasing alone (a Ramsey-like gap between pulses shows it) and both together.
@pytest.mark.parametrize("t1, t2", [(None, None), (3e-6, 1e-6), (4e-6, None), (None, 2e-6)],
                         ids=["closed", "open", "t1-only", "t2-only"])
@pytest.mark.parametrize("count, pulses, reads", list(TRAINS.values()), ids=list(TRAINS))
def test_pulse_trains_match_the_sample_by_sample_evolution(count, pulses, reads, t1, t2):
    wave_package = pulse_train(count, pulses, reads)
    group = make_group(**{"q01.drive_strength": 3e7, "q01.t1": t1, "q01.t2": t2})
    got = SimulatedDevice(group).probabilities(wave_package)
    expected = reference_readouts(*wave_package.channels.values(), 3e7, 2e9, t1, t2)
    assert len(got) == len(reads) == len(expected)
    assert list(got.values()) == pytest.approx(expected, abs=1e-10)


def test_a_reused_device_answers_like_a_fresh_one_and_follows_calibration_changes():
    # Packages of growing and shrinking length at two sample rates, then a changed calibration.
    group = make_group(**{"q01.t1": 20e-6})
    device = SimulatedDevice(group)
    for step, (count, rate) in enumerate([(400, 2e9), (3000, 2e9), (900, 2e9), (3000, 1e9), (700, 1e9),
                                          (5000, 2e9)]):
        wave_package = pulse_train(count, [(count // 3, count // 2, 1e6)], [(count - 30, 30)], rate)
        reused = device.callback(wave_package, steps=step, options={"shots": 0})["result"].data["q01.p1"][step]
        assert reused == SimulatedDevice(group).probabilities(wave_package)["q01.p1"]
    pulses = package(square("q01.xy", 1.0, PI_WIDTH))
    for key, value in [("q01.freq", QUBIT_FREQ + 7e6), ("q01.drive_strength", 0.5 * DRIVE_STRENGTH)]:
        group.space.set(key, value)
        changed = SimulatedDevice(group).probabilities(pulses)["q01.p1"]
        assert changed < 0.99 and device.callback(pulses, steps=0, options={"shots": 0})["result"].data[
            "q01.p1"][0] == changed


@pytest.mark.parametrize("peak", [0.01, 0.3, 1.5, 4.0])  # radians a sample: series, and beyond it
@pytest.mark.parametrize("seed", [1, 2])
def test_kernel_equals_the_vectorised_closed_form_on_random_pulses(seed, peak):
    # One pulse of random complex half angles w, then a readout: P(|1>) = |b|^2 of the product.
    rng = np.random.default_rng(seed)
    count = int(rng.integers(50, 3000))
    w = rng.uniform(0, peak, count) * np.exp(2j * np.pi * rng.uniform(size=count))
    drive, readout = np.append(w, 0), np.append(np.zeros(count), 1.0).astype(complex)
    _, b = rotation_product(*sample_rotations(2j * w))
    carrier = np.ones(count + 1, dtype=complex)
    assert _kernels.evolve(drive, carrier, readout, 2e9, None, None) == pytest.approx([abs(b) ** 2], abs=1e-12)


GOOD = np.ones(8, dtype=complex)


@pytest.mark.parametrize("drive, carrier, readout, error", [
    (None, None, GOOD.reshape(2, 4), ValueError), (None, None, GOOD.real, TypeError),
    (None, None, np.ones(16, dtype=complex)[::2], ValueError), (None, None, [1j, 0j], TypeError),
    (None, None, np.append(GOOD, np.inf), ValueError), (GOOD, GOOD[:4], GOOD, ValueError),
    (GOOD, None, GOOD, TypeError), (GOOD[:4], GOOD, GOOD, ValueError),
    (np.append(GOOD[:7], np.nan), GOOD, GOOD, ValueError), (GOOD * 1e200, GOOD, GOOD, ValueError),
    (None, None, "oversized", ValueError),
])
def test_kernel_refuses_buffers_it_cannot_read_safely(drive, carrier, readout, error):
    if isinstance(readout, str):  # 2**24 + 1 samples of never-touched anonymous memory
        readout = np.frombuffer(mmap.mmap(-1, ((1 << 24) + 1) * 16), dtype=complex)
    with pytest.raises(error):
        _kernels.evolve(drive, carrier, readout, 2e9, None, None)


@pytest.mark.parametrize("seed, step", [(0, 0), (11, 299), (-5, 7), (2**64 + 3, 2**40), (7, 2**70)])
def test_shot_noise_is_numpys_default_generator_seeded_per_step(seed, step):
    # Binomial counts of the exact probabilities, reproducible from the seed and the step alone.
    probabilities = {"q01.p1": 0.3, "q02.p1": 0.71}
    rng = np.random.default_rng([seed & (2**64 - 1), step])
    expected = {name: rng.binomial(1000, p) / 1000 for name, p in probabilities.items()}
    assert SimulatedDevice.measure(probabilities, 1000, seed, step) == expected
