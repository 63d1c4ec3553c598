"""The example experiments: saved files in step with their code, and the physics they show."""

import json
import math
import runpy
import sys
from pathlib import Path

import numpy as np
import pytest

from varnok_client.demos import DEMOS, build_batch, build_chevron, build_demo, build_rabi, build_ramsey
from varnok_client.experiment.experiment import Experiment
from varnok_client.sim import SimulatedDevice, demo_calibration, demo_group

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def normalised(exp):
    return json.loads(json.dumps(exp.serialize()))


@pytest.fixture
def group():
    group = demo_group()
    yield group
    group.space.close()


def run_exact(exp, group):
    return exp.run_exp(SimulatedDevice(group).callback, options={"shots": 0}, group=group)


@pytest.mark.parametrize("name", list(DEMOS))
def test_saved_example_matches_the_demo_builder(name):
    saved = json.loads((EXAMPLES / f"{name}.json").read_text())
    assert saved == normalised(build_demo(name))


@pytest.mark.parametrize("name", list(DEMOS))
def test_example_script_builds_the_demo_and_restores_from_its_file(name, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.setattr(sys, "argv", [f"{name}.py", str(tmp_path)])
    namespace = runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name="__main__")
    assert normalised(namespace["build"]()) == normalised(build_demo(name))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{name}.{s}" for s in ("json", "npz", "png"))
    restored = Experiment.deserialize(json.loads((tmp_path / f"{name}.json").read_text()))
    assert normalised(restored) == normalised(build_demo(name))


@pytest.mark.parametrize(
    "exp, lengths",
    [
        (build_rabi(points=9), [9, 1, 1]),
        (build_ramsey(points=12), [12, 1, 1]),
        (build_chevron(amp_points=4, detuning_points=6), [4, 6, 1]),
        (build_batch(sequences=(("X",), ("Y",), ("I",))), [3, 1, 1]),
    ],
    ids=["rabi", "ramsey", "chevron", "batch"],
)
def test_demo_sweep_shapes(group, exp, lengths):
    exp.compile_scripts(group=group)
    assert exp.compiled_sweep_len == lengths
    assert exp.total_sweep_steps == math.prod(lengths)


def test_rabi_peaks_at_the_calibrated_amplitude(group):
    p1 = run_exact(build_rabi(points=61, turns=1.5), group).data["q01.p1"].reshape(-1)
    amps = np.linspace(0, 3 * demo_calibration()["q01.x_amp"], 61)
    assert amps[np.argmax(p1[:40])] == pytest.approx(demo_calibration()["q01.x_amp"])
    assert p1.min() == pytest.approx(0.0, abs=1e-9) and p1.max() == pytest.approx(1.0, abs=1e-9)


def test_ramsey_fringes_oscillate_at_the_detuning_and_decay(group):
    detuning, max_delay, points = 1.5e6, 4000.0, 201
    exp = build_ramsey(points=points, max_delay=max_delay, detuning=detuning)
    p1 = run_exact(exp, group).data["q01.p1"].reshape(-1)
    step = max_delay / (points - 1) * 1e-9
    spectrum = np.abs(np.fft.rfft(p1 - p1.mean(), n=8 * points))
    frequencies = np.fft.rfftfreq(8 * points, step)
    assert frequencies[np.argmax(spectrum)] == pytest.approx(detuning, rel=0.03)
    first, last = np.ptp(p1[:50]), np.ptp(p1[-50:])
    assert last < first * 0.8  # the fringes lose contrast with the coherence


def test_chevron_is_symmetric_in_detuning_and_resonant_at_its_centre(group):
    exp = build_chevron(amp_points=9, detuning_points=11, span=60e6)
    p1 = run_exact(exp, group).data["q01.p1"][:, :, 0]
    assert np.allclose(p1, p1[:, ::-1], atol=1e-9)
    resonant = run_exact(build_rabi(points=9, turns=2.0), group).data["q01.p1"].reshape(-1)
    assert np.allclose(p1[:, 5], resonant, atol=1e-9)
    # 30 MHz off resonance the 40 ns pulse never reaches a full flip.
    assert p1[:, 0].max() < 0.5 * p1[:, 5].max()


GATE_AXES = {
    "I": (0.0, 0.0),
    "X": (0.0, math.pi),
    "Y": (math.pi / 2, math.pi),
    "X/2": (0.0, math.pi / 2),
    "Y/2": (math.pi / 2, math.pi / 2),
    "-X/2": (math.pi, math.pi / 2),
    "-Y/2": (-math.pi / 2, math.pi / 2),
}


def ideal_p1(sequence):
    state = np.array([1.0, 0.0], dtype=complex)
    for gate in sequence:
        phi, angle = GATE_AXES[gate]
        axis = np.array([[0, np.exp(-1j * phi)], [np.exp(1j * phi), 0]])
        state = (math.cos(angle / 2) * np.eye(2) - 1j * math.sin(angle / 2) * axis) @ state
    return abs(state[1]) ** 2


def test_batch_circuits_agree_with_ideal_gates(group):
    exp = build_batch()
    p1 = run_exact(exp, group).data["q01.p1"].reshape(-1)
    sequences = [
        [gate.gate_name for gate in sorted(c.gates.values(), key=lambda g: g.layer) if gate.gate_name != "M"]
        for c in exp.batch_circuits
    ]
    assert p1 == pytest.approx([ideal_p1(s) for s in sequences], abs=1e-9)


def test_unknown_demo_is_refused():
    with pytest.raises(ValueError, match="unknown demo"):
        build_demo("spectroscopy")
