"""The example experiments: saved files in step with their code, and the physics they show."""

import json
import math
import runpy
import sys
from pathlib import Path

import numpy as np
import pytest
from support_collaborators import listing, normalised

from varnok_client.demos import DEMOS, build_batch, build_chevron, build_demo, build_rabi
from varnok_client.experiment.experiment import Experiment
from varnok_client.sim import SimulatedDevice, demo_group

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def run_exact():
    group = demo_group()
    yield lambda exp: exp.run_exp(SimulatedDevice(group).callback, options={"shots": 0}, group=group).data["q01.p1"]
    group.space.close()


@pytest.mark.parametrize("name", list(DEMOS))
def test_example_file_and_script_build_the_demo_and_restore_from_its_file(name, tmp_path, monkeypatch):
    assert json.loads((EXAMPLES / f"{name}.json").read_text()) == normalised(build_demo(name))
    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.setattr(sys, "argv", [f"{name}.py", str(tmp_path)])
    namespace = runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name="__main__")
    assert normalised(namespace["build"]()) == normalised(build_demo(name))
    assert listing(tmp_path) == sorted(f"{name}.{suffix}" for suffix in ("json", "nc", "npz", "png"))
    restored = Experiment.deserialize(json.loads((tmp_path / f"{name}.json").read_text()))
    assert normalised(restored) == normalised(build_demo(name))
    with pytest.raises(ValueError, match="unknown demo"):
        build_demo("spectroscopy")


def test_chevron_is_symmetric_in_detuning_and_a_rabi_sweep_at_its_centre(run_exact):
    p1 = run_exact(build_chevron(amp_points=9, detuning_points=11, span=60e6))
    assert p1.shape == (9, 11, 1) and np.allclose(p1, p1[:, ::-1], atol=1e-9)
    assert np.allclose(p1[:, 5, 0], run_exact(build_rabi(points=9, turns=2.0)).reshape(-1), atol=1e-9)
    assert p1[:, 0].max() < 0.5 * p1[:, 5].max()  # 30 MHz off resonance the 40 ns pulse never fully flips


# Rotation axis angle and turn of each standard gate.
GATE_AXES = {"I": (0.0, 0.0), "X": (0.0, math.pi), "Y": (math.pi / 2, math.pi), "X/2": (0.0, math.pi / 2),
             "Y/2": (math.pi / 2, math.pi / 2), "-X/2": (math.pi, math.pi / 2), "-Y/2": (-math.pi / 2, math.pi / 2)}


def ideal_p1(sequence):
    state = np.array([1.0, 0.0], dtype=complex)
    for phi, angle in (GATE_AXES[gate] for gate in sequence):
        axis = np.array([[0, np.exp(-1j * phi)], [np.exp(1j * phi), 0]])
        state = (math.cos(angle / 2) * np.eye(2) - 1j * math.sin(angle / 2) * axis) @ state
    return abs(state[1]) ** 2


def test_batch_circuits_on_the_demo_device_agree_with_ideal_gates(run_exact):
    exp = build_batch()
    layers = [sorted(c.gates.values(), key=lambda g: g.layer) for c in exp.batch_circuits]
    sequences = [[g.gate_name for g in gates if g.gate_name != "M"] for gates in layers]
    assert run_exact(exp).reshape(-1) == pytest.approx([ideal_p1(s) for s in sequences], abs=1e-9)
