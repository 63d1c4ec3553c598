"""The simulated device against closed-form two-level physics, its noise and its parameters."""

import math
from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group, Space
from varnok_client.sim import (
    DEFAULT_SHOTS,
    SimulatedDevice,
    SimulationError,
    carrier_frame,
    demo_group,
    rotation_product,
    sample_rotations,
)
from varnok_client.waveform import WaveCircuit
from varnok_client.waveform.waveform_register import waveform_register

QUBIT_FREQ = 5.0e9
DRIVE_STRENGTH = 20e6  # Hz of Rabi frequency per unit amplitude


@pytest.fixture
def make_group():
    groups = []

    def make(**overrides):
        values = {"q01.freq": QUBIT_FREQ, "q01.drive_strength": DRIVE_STRENGTH}
        values.update(overrides)
        group = Group("sim", {k: v for k, v in values.items() if v is not None})
        groups.append(group)
        return group

    yield make
    for group in groups:
        group.space.close()


def square(channel, amp, width, freq=QUBIT_FREQ, phase=0.0, t0=0.0):
    return waveform_register.create("square", channel, t0=t0, amp=amp, width=width, freq=freq, phase=phase)


def package(*layers, readout_delay=0.0):
    """A wave package of drive pulses (one per layer) on q01 followed by one readout."""
    circuit = WaveCircuit()
    for layer, waves in enumerate(layers):
        circuit.add_gate(("X", "q01"), layer, waves if isinstance(waves, list) else [waves])
    circuit.add_gate(("M", "q01"), len(layers), [square("q01.ro", 0.2, 100.0, 6.5e9, t0=readout_delay)])
    return circuit.export_wave_package()


def rabi_rate(amp):
    return 2 * math.pi * DRIVE_STRENGTH * amp


@pytest.mark.parametrize(
    "amp, width", [(0.25, 50.0), (0.5, 100.0), (0.7, 123.5), (1.0, 37.5), (0.05, 1000.0), (0.002, 20000.0)]
)
def test_resonant_square_pulse_matches_sin_squared(make_group, amp, width):
    device = SimulatedDevice(make_group())
    p1 = device.probabilities(package(square("q01.xy", amp, width)))["q01.p1"]
    assert p1 == pytest.approx(math.sin(rabi_rate(amp) * width * 1e-9 / 2) ** 2, abs=1e-9)


@pytest.mark.parametrize(
    "amp, width, detuning",
    [(0.5, 100.0, 5e6), (0.5, 100.0, -15e6), (1.0, 300.0, 7e6), (0.2, 1000.0, 1e6), (1.0, 200.0, 40e6)],
)
def test_detuned_square_pulse_matches_generalised_rabi_formula(make_group, amp, width, detuning):
    device = SimulatedDevice(make_group())
    p1 = device.probabilities(package(square("q01.xy", amp, width, QUBIT_FREQ + detuning)))["q01.p1"]
    omega, delta = rabi_rate(amp), 2 * math.pi * detuning
    general = math.hypot(omega, delta)
    expected = omega**2 / general**2 * math.sin(general * width * 1e-9 / 2) ** 2
    # The drive is held constant over each 0.5 ns sample, so the detuned phase
    # steps rather than turns smoothly: agreement to second order in the step.
    assert p1 == pytest.approx(expected, abs=1e-3)


def test_detuning_from_compiler_config_acts_like_a_carrier_offset(make_group):
    device = SimulatedDevice(make_group())
    offset = square("q01.xy", 0.5, 100.0)
    offset.waveform_compiler_config["detuning"] = 8e6
    moved = square("q01.xy", 0.5, 100.0, QUBIT_FREQ + 8e6)
    assert device.probabilities(package(offset)) == pytest.approx(device.probabilities(package(moved)), abs=1e-12)


@pytest.mark.parametrize("phase", [0.0, math.pi / 3, math.pi / 2, math.pi, -math.pi / 2])
def test_phase_of_second_half_turn_sets_the_rotation_axis(make_group, phase):
    # Two resonant pi/2 pulses: the second about an axis turned by `phase`
    # gives P(|1>) = (1 + cos(phase)) / 2.
    device = SimulatedDevice(make_group())
    width = 0.25 / DRIVE_STRENGTH * 1e9  # amplitude 1: a quarter Rabi period
    p1 = device.probabilities(package(square("q01.xy", 1.0, width), square("q01.xy", 1.0, width, phase=phase)))
    assert p1["q01.p1"] == pytest.approx((1 + math.cos(phase)) / 2, abs=1e-9)


PI_WIDTH = 0.5 / DRIVE_STRENGTH * 1e9
HALF_PI_WIDTH = PI_WIDTH / 2


@pytest.mark.parametrize("delay", [0.0, 500.0, 2000.0, 10000.0])
def test_energy_relaxation_between_pi_pulse_and_readout(make_group, delay):
    device = SimulatedDevice(make_group(**{"q01.t1": 5e-6}))
    p1 = device.probabilities(package(square("q01.xy", 1.0, PI_WIDTH), readout_delay=delay))["q01.p1"]
    assert p1 == pytest.approx(math.exp(-delay * 1e-9 / 5e-6), abs=1e-9)


@pytest.mark.parametrize(
    "t1, t2, coherence_time",
    [(None, 3e-6, 3e-6), (4e-6, None, 8e-6)],
    ids=["pure-dephasing", "amplitude-damping-alone"],
)
@pytest.mark.parametrize("delay", [0.0, 1000.0, 3000.0])
def test_coherence_decays_during_free_evolution(make_group, t1, t2, coherence_time, delay):
    # X/2, wait, X/2: the second half turn maps the remaining coherence onto
    # the population, P(|1>) = (1 + exp(-delay / T2)) / 2.
    device = SimulatedDevice(make_group(**{"q01.t1": t1, "q01.t2": t2}))
    first = square("q01.xy", 1.0, HALF_PI_WIDTH)
    second = square("q01.xy", 1.0, HALF_PI_WIDTH, t0=delay)
    p1 = device.probabilities(package(first, second))["q01.p1"]
    assert p1 == pytest.approx((1 + math.exp(-delay * 1e-9 / coherence_time)) / 2, abs=1e-9)


@pytest.mark.parametrize("f0, f1", [(1.0, 1.0), (0.9, 1.0), (0.97, 0.92), (0.5, 0.5)])
@pytest.mark.parametrize("amp", [0.0, 0.5, 1.0])
def test_readout_assignment_errors(make_group, f0, f1, amp):
    device = SimulatedDevice(make_group(**{"q01.ro_f0": f0, "q01.ro_f1": f1}))
    true_p1 = math.sin(rabi_rate(amp) * PI_WIDTH * 1e-9 / 2) ** 2
    p1 = device.probabilities(package(square("q01.xy", amp, PI_WIDTH)))["q01.p1"]
    assert p1 == pytest.approx((1 - f0) * (1 - true_p1) + f1 * true_p1, abs=1e-9)


def test_each_readout_measures_and_collapses_the_state(make_group):
    # X/2, M, X/2, M: without the collapse the second readout would see a full turn (P = 1).
    device = SimulatedDevice(make_group())
    circuit = WaveCircuit()
    circuit.add_gate(("X/2", "q01"), 0, [square("q01.xy", 1.0, HALF_PI_WIDTH)])
    circuit.add_gate(("M", "q01"), 1, [square("q01.ro", 0.2, 100.0, 6.5e9)])
    circuit.add_gate(("X/2", "q01"), 2, [square("q01.xy", 1.0, HALF_PI_WIDTH)])
    circuit.add_gate(("M", "q01"), 3, [square("q01.ro", 0.2, 100.0, 6.5e9)])
    p = device.probabilities(circuit.export_wave_package())
    assert list(p) == ["q01.p1", "q01.p1_2"]
    assert p["q01.p1"] == pytest.approx(0.5, abs=1e-9)
    assert p["q01.p1_2"] == pytest.approx(0.5, abs=1e-9)


def test_qubits_are_independent_and_only_read_qubits_report(make_group):
    group = make_group(**{"q02.freq": 5.3e9, "q02.drive_strength": DRIVE_STRENGTH})
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0, [square("q01.xy", 1.0, PI_WIDTH)])
    circuit.add_gate(("X", "q03"), 0, [square("q03.xy", 1.0, PI_WIDTH)])  # driven, never read
    circuit.add_gate(("M", "q01"), 1, [square("q01.ro", 0.2, 100.0, 6.5e9)])
    circuit.add_gate(("M", "q02"), 1, [square("q02.ro", 0.2, 100.0, 6.6e9)])
    p = SimulatedDevice(group).probabilities(circuit.export_wave_package())
    assert p == pytest.approx({"q01.p1": 1.0, "q02.p1": 0.0}, abs=1e-9)


def test_physics_comes_from_the_space_not_from_temporary_overrides(make_group):
    group = make_group()
    device = SimulatedDevice(group)
    pulses = package(square("q01.xy", 0.5, 100.0))
    before = device.probabilities(pulses)
    group.set_temporary_parameter("q01.freq", QUBIT_FREQ + 30e6)
    group.set_temporary_parameter("q01.drive_strength", 3 * DRIVE_STRENGTH)
    device.clear_cache()
    assert device.probabilities(pulses) == before


def test_device_parameters_are_read_at_the_requested_timestamp():
    space = Space()
    space.update({"q01.freq": QUBIT_FREQ, "q01.drive_strength": DRIVE_STRENGTH}, timestamp=1000)
    space.update({"q01.drive_strength": 2 * DRIVE_STRENGTH}, timestamp=2000)
    try:
        pulses = package(square("q01.xy", 1.0, PI_WIDTH))
        device = SimulatedDevice(Group("g", space))
        assert device.probabilities(pulses, timestamp=1500)["q01.p1"] == pytest.approx(1.0, abs=1e-9)
        assert device.probabilities(pulses)["q01.p1"] == pytest.approx(0.0, abs=1e-9)
        answer = device.callback(pulses, steps=1, options={"shots": 0, "space_timestamp": 1500})
        assert answer["result"].data["q01.p1"][1] == pytest.approx(1.0, abs=1e-9)
    finally:
        space.close()


@pytest.mark.parametrize(
    "overrides, key",
    [
        ({"q01.freq": None}, "q01.freq"),
        ({"q01.drive_strength": None}, "q01.drive_strength"),
        ({"q01.drive_strength": "strong"}, "q01.drive_strength"),
        ({"q01.t1": -1e-6}, "q01.t1"),
        ({"q01.t1": 1e-6, "q01.t2": 3e-6}, "q01.t2"),
        ({"q01.ro_f1": 1.2}, "q01.ro_f1"),
    ],
)
def test_unusable_device_parameters_are_refused_by_name(make_group, overrides, key):
    device = SimulatedDevice(make_group(**overrides))
    with pytest.raises(SimulationError, match=key.replace(".", r"\.")):
        device.probabilities(package(square("q01.xy", 0.5, 100.0)))


def test_callback_answers_one_step_result_at_the_step_counter(make_group):
    device = SimulatedDevice(make_group())
    answer = device.callback(
        wave_package=package(square("q01.xy", 1.0, PI_WIDTH)), exp_obj=None, pos=[4, 0, 0], steps=4,
        options={"shots": 0},
    )
    assert set(answer) == {"result"}
    result = answer["result"]
    assert isinstance(result, Result)
    assert result.item_ids == [4]
    assert result.data["q01.p1"][4] == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize(
    "run_options, exp_options, expected",
    [
        (None, {}, (DEFAULT_SHOTS, None)),
        ({"shots": 10}, {"shots": 99, "seed": 3}, (10, 3)),
        ({"shots": None, "seed": 5}, {"shots": 99}, (99, 5)),
        ({}, {"shots": 0, "seed": None}, (0, None)),
    ],
)
def test_shots_and_seed_come_from_run_options_then_experiment_options(run_options, exp_options, expected):
    assert SimulatedDevice.run_settings(SimpleNamespace(options=exp_options), run_options) == expected


@pytest.mark.parametrize("options", [{"shots": -1}, {"shots": 2.5}, {"shots": True}, {"seed": "x"}])
def test_bad_shots_or_seed_are_refused(options):
    with pytest.raises(SimulationError):
        SimulatedDevice.run_settings(None, options)


def test_shot_noise_is_binomial_and_reproducible(make_group):
    device = SimulatedDevice(make_group())
    amp = 0.3
    pulses = package(square("q01.xy", amp, PI_WIDTH))
    exact = device.probabilities(pulses)["q01.p1"]
    shots = 400

    def measured(seed, step):
        answer = device.callback(pulses, steps=step, options={"shots": shots, "seed": seed})
        return float(answer["result"].data["q01.p1"][step])

    draws = np.array([measured(11, step) for step in range(300)])
    assert np.allclose(draws * shots, np.round(draws * shots))  # whole counts out of `shots`
    assert [measured(11, step) for step in range(5)] == list(draws[:5])
    assert [measured(12, step) for step in range(5)] != list(draws[:5])
    assert draws.mean() == pytest.approx(exact, abs=4 * math.sqrt(exact * (1 - exact) / shots / 300))
    assert draws.std() == pytest.approx(math.sqrt(exact * (1 - exact) / shots), rel=0.2)


@pytest.mark.parametrize(
    "gates, expected",
    [
        (["X"], 1.0),
        (["X/2"], 0.5),
        (["Y"], 1.0),
        (["-Y/2"], 0.5),
        (["X", "X"], 0.0),
        (["X/2", "X/2"], 1.0),
        (["X/2", "-X/2"], 0.0),
        (["I"], 0.0),
    ],
)
def test_demo_device_realises_the_standard_gates(gates, expected):
    group = demo_group()
    try:
        exp = Experiment("gates", "standard gates on the demo device", group)
        for layer, gate in enumerate(gates):
            exp.add_wave_gate((gate, "q01"), layer)
        exp.add_wave_gate(("M", "q01"), len(gates))
        result = exp.run_exp(SimulatedDevice(group).callback, options={"shots": 0})
        assert result.data["q01.p1"].item() == pytest.approx(expected, abs=1e-9)
    finally:
        group.space.close()


def random_rotations(rng, shape):
    z = (rng.normal(size=shape) + 1j * rng.normal(size=shape)) * 0.7
    return sample_rotations(z)


def as_matrices(a, b):
    return np.stack([np.stack([a, -np.conj(b)], -1), np.stack([b, np.conj(a)], -1)], -2)


@pytest.mark.parametrize("shape", [(1,), (2,), (3,), (7,), (64,), (100,), (5, 13)])
def test_rotation_product_equals_the_ordered_matrix_product(shape):
    a, b = random_rotations(np.random.default_rng(sum(shape)), shape)
    matrices = as_matrices(a, b)
    expected = np.broadcast_to(np.eye(2, dtype=complex), shape[:-1] + (2, 2)).copy()
    for k in range(shape[-1]):
        expected = matrices[..., k, :, :] @ expected
    got = as_matrices(*rotation_product(a, b))
    assert np.allclose(got, expected, atol=1e-12)


def test_sample_rotations_are_unitary_and_undriven_samples_are_identities():
    z = np.array([0.0, 1e-12, 0.3 - 0.2j, 3.0j, -6.0])
    a, b = sample_rotations(z)
    assert np.allclose(np.abs(a) ** 2 + np.abs(b) ** 2, 1.0)
    assert (a[0], b[0]) == (1.0, 0.0)
    # exp(-i |z|/2 (cos(phi) X + sin(phi) Y)) written out for one sample
    theta, phi = abs(z[2]), np.angle(z[2])
    assert b[2] == pytest.approx(-1j * math.sin(theta / 2) * np.exp(1j * phi))


@pytest.mark.parametrize("count, cycles", [(1, 2.5), (2000, 2.5), (1999, 0.123456789), (10007, 3.3e-3)])
def test_carrier_frame_matches_the_direct_phase(count, cycles):
    k = np.arange(count)
    assert np.allclose(carrier_frame(count, cycles), np.exp(-2j * np.pi * ((k * cycles) % 1.0)), atol=1e-12)


# -- composition of many pulses against a sample-by-sample reference ----------------


def reference_readouts(drive, readout, freq, strength, sample_rate, t1=None, t2=None):
    """P(|1>) at each readout start, stepping the density matrix one sample at a time.

    Every driven sample is its own rotation; every undriven one a relaxation of
    one sample period; a readout measures before its first sample acts.
    """
    dt = 1.0 / sample_rate
    rho = np.array([[1.0, 0.0], [0.0, 0.0]], dtype=complex)
    out = []
    reading = False
    for k in range(drive.size):
        if readout[k] != 0 and not reading:
            p1 = min(1.0, max(0.0, rho[1, 1].real))
            out.append(p1)
            rho = np.diag([1.0 - p1, p1]).astype(complex)
        reading = readout[k] != 0
        if drive[k] != 0:
            phase = float((Fraction(freq) * k / Fraction(sample_rate)) % 1)
            z = 2 * math.pi * strength * dt * drive[k] * np.exp(-2j * math.pi * phase)
            theta, phi = abs(z), np.angle(z)
            axis = math.cos(phi) * np.array([[0, 1], [1, 0]]) + math.sin(phi) * np.array([[0, -1j], [1j, 0]])
            u = math.cos(theta / 2) * np.eye(2) - 1j * math.sin(theta / 2) * axis
            rho = u @ rho @ u.conj().T
        else:
            decay = math.exp(-dt / t1) if t1 else 1.0
            coherence = math.exp(-dt / t2) if t2 else math.exp(-dt / (2 * t1)) if t1 else 1.0
            p1 = rho[1, 1] * decay
            rho = np.array([[1 - p1, rho[0, 1] * coherence], [rho[1, 0] * coherence, p1]])
    return out


def pulse_train(count, pulses, reads, sample_rate=2e9, freq=QUBIT_FREQ, seed=0):
    """Drive and readout channels: ``pulses`` as (start, length, detuning), ``reads`` as (start, length)."""
    rng = np.random.default_rng(seed)
    drive = np.zeros(count, dtype=complex)
    k = np.arange(count)
    for start, length, detuning in pulses:
        span = k[start : start + length]
        amp = rng.uniform(0.2, 1.0, span.size) * np.exp(1j * rng.uniform(0, 2 * np.pi))
        drive[start : start + length] += amp * np.exp(2j * np.pi * (freq + detuning) / sample_rate * span)
    readout = np.zeros(count, dtype=complex)
    for start, length in reads:
        readout[start : start + length] = 0.2
    return drive, readout


TRAINS = {
    "one pulse of a power-of-two length": (600, [(10, 64, 0.0)], [(100, 50)]),
    "one odd-length pulse": (700, [(3, 77, 2e6)], [(200, 40)]),
    "one long pulse padded to pair up": (3000, [(0, 2731, -1e6)], [(2900, 50)]),
    "pulses of very different lengths": (2400, [(0, 5, 0.0), (40, 1203, 3e6), (1400, 1, 0.0)], [(2300, 60)]),
    "a drive running to the last sample": (500, [(100, 400, 0.0)], [(50, 10), (300, 100)]),
    "a readout starting inside a pulse": (900, [(100, 300, 1e6)], [(250, 100), (700, 50)]),
    "thirty short pulses between readouts": (
        2000,
        [(20 + 60 * i, 7 + (i * 5) % 31, 1e6 * (i % 3)) for i in range(30)],
        [(700, 20), (1900, 50)],
    ),
}


@pytest.mark.parametrize("t1, t2", [(None, None), (3e-6, 1e-6)], ids=["closed", "open"])
@pytest.mark.parametrize("count, pulses, reads", list(TRAINS.values()), ids=list(TRAINS))
def test_pulse_trains_match_the_sample_by_sample_evolution(make_group, count, pulses, reads, t1, t2):
    drive, readout = pulse_train(count, pulses, reads)
    strength = 3e7
    group = make_group(**{"q01.drive_strength": strength, "q01.t1": t1, "q01.t2": t2})
    wave_package = SimpleNamespace(channels={"q01.xy": drive, "q01.ro": readout}, sample_rate=2e9)
    got = SimulatedDevice(group).probabilities(wave_package)
    expected = reference_readouts(drive, readout, QUBIT_FREQ, strength, 2e9, t1, t2)
    assert len(got) == len(reads) == len(expected)
    assert list(got.values()) == pytest.approx(expected, abs=1e-10)


def test_one_device_gives_every_package_the_answer_of_a_fresh_device(make_group):
    # A device keeps per-run state between steps (the qubit's parameters and
    # its carrier); packages of growing and shrinking length at two sample
    # rates must each simulate as they would on their own.
    group = make_group(**{"q01.t1": 20e-6})
    device = SimulatedDevice(group)
    cases = [(400, 2e9), (3000, 2e9), (900, 2e9), (3000, 1e9), (700, 1e9), (5000, 2e9)]
    for step, (count, rate) in enumerate(cases):
        pulses, reads = [(count // 3, count // 2, 1e6)], [(count - 30, 30)]
        drive, readout = pulse_train(count, pulses, reads, sample_rate=rate)
        wave_package = SimpleNamespace(channels={"q01.xy": drive, "q01.ro": readout}, sample_rate=rate)
        reused = device.callback(wave_package, steps=step + 1, options={"shots": 0})["result"].data["q01.p1"]
        fresh = SimulatedDevice(group).probabilities(wave_package)["q01.p1"]
        assert reused[step + 1] == fresh


@pytest.mark.parametrize(
    "key, value", [("q01.freq", QUBIT_FREQ + 7e6), ("q01.drive_strength", 0.5 * DRIVE_STRENGTH)]
)
def test_a_new_run_picks_up_calibration_changed_since_the_last(make_group, key, value):
    group = make_group()
    device = SimulatedDevice(group)
    pulses = package(square("q01.xy", 1.0, PI_WIDTH))

    def first_step():
        return device.callback(pulses, steps=0, options={"shots": 0})["result"].data["q01.p1"][0]

    assert first_step() == pytest.approx(1.0, abs=1e-9)
    group.space.set(key, value)
    changed = SimulatedDevice(group).probabilities(pulses)["q01.p1"]
    assert changed < 0.99
    assert first_step() == changed


@pytest.mark.parametrize("cycles", [2.5, 0.123456789, 2.4999999999, 7.3e-4, -1.7])
def test_carrier_phase_stays_exact_far_into_a_long_package(cycles):
    count = 1 << 20
    frame = carrier_frame(count, cycles)
    for k in (0, 1, 999_983, count - 1):
        turns = float((Fraction(cycles) * k) % 1)
        assert frame[k] == pytest.approx(np.exp(-2j * np.pi * turns), abs=1e-12)
