"""The calibration loop on the demo device: its truth, calibrate commands, versions written, refusals."""

import json
import sqlite3
import urllib.parse

import numpy as np
import pytest

from varnok_client import cli, sim
from varnok_client.demos import build_rabi
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group, Space
from varnok_client.sim import DevicePhysics, QubitModel, SimulatedDevice, demo_calibration, demo_physics

IDEAL = demo_physics().ideal_calibration()


@pytest.mark.parametrize("qubit", ["q01", "q02"])
def test_the_ideal_calibration_of_the_demo_device_makes_x_a_pi_pulse(qubit):
    calibration = {**demo_calibration(), **IDEAL}
    assert calibration != demo_calibration()  # the demo device is not calibrated to begin with
    exp = Experiment("X", "a pi pulse")
    exp.add_wave_gate(("X", qubit), 0)
    exp.add_wave_gate(("M", qubit), 1)
    with Group("ideal", calibration, entities=("q01", "q02")) as group:
        device = SimulatedDevice(group, physics=demo_physics())
        p1 = exp.run_exp(device.callback, options={"shots": 0}, group=group).data[f"{qubit}.p1"].item()
    assert p1 == pytest.approx(demo_physics().qubit(qubit).readout_f1, abs=1e-6)  # a full flip, through the readout


def values(space, keys):
    with Space(space) as opened:
        return {key: opened.get(key) for key in keys}


@pytest.mark.parametrize("qubit, seed, store", [("q01", 1, "file"), ("q02", 2, "file"), ("q01", 3, "postgresql")])
def test_calibrate_all_brings_the_space_to_the_device_truth(workdir, capsys, request, qubit, seed, store):
    space = "device.sqlite" if store == "file" else request.getfixturevalue("postgres_url")
    assert cli.main(["space", "init", space]) == 0
    keys = [f"{qubit}.{name}" for name in ("freq", "x_amp", "t1", "t2")]
    before = values(space, keys)
    assert cli.main(["calibrate", "all", "--space", space, "--qubit", qubit, "--shots", "1000", "--seed", str(seed),
                     "--quiet"]) == 0
    out = capsys.readouterr().out
    assert out.count(" -> ") >= 5 and "before" in out and "after" in out
    after = values(space, keys)
    assert after[f"{qubit}.x_amp"] == pytest.approx(IDEAL[f"{qubit}.x_amp"], rel=0.01)
    assert after[f"{qubit}.freq"] == pytest.approx(IDEAL[f"{qubit}.freq"], abs=20e3)
    assert after[f"{qubit}.t1"] == pytest.approx(IDEAL[f"{qubit}.t1"], rel=0.15)
    # Every change is a new version: the calibration before stays readable at its time.
    with Space(space) as opened:
        for key in keys:
            history = opened.history(key)
            assert len(history) >= 2 and opened.get(key, history[0][0]) == before[key]
    assert cli.main(["history", f"{qubit}.freq", "--space", space, "--plot", "h.png"]) == 0
    out += capsys.readouterr().out
    assert out.count(" ms)") == 3 and f"{qubit}.freq: 3 versions" in out  # the initial value, resonance, Ramsey
    # A Rabi run afterwards, on the same device, peaks at the calibrated amplitude.
    cli.save_experiment(build_rabi(qubit, points=121, turns=1.5), workdir / "rabi.json")
    assert cli.main(["run", "rabi.json", "--space", space, "--shots", "0", "--quiet"]) == 0
    p1 = Result.load(workdir / "rabi.npz").data[f"{qubit}.p1"].reshape(-1)
    amplitudes = np.linspace(0, 3 * after[f"{qubit}.x_amp"], 121)
    assert abs(amplitudes[np.argmax(p1[:80])] - after[f"{qubit}.x_amp"]) <= amplitudes[1]
    assert cli.main(["space", "init", space]) == 2  # never over an existing space
    err = capsys.readouterr().err
    password = urllib.parse.urlsplit(space).password
    assert "already" in err and not (password and password in out + err)


def flat_device():
    return DevicePhysics([QubitModel(name=m.name, freq=m.freq, drive_strength=0.0)
                          for m in demo_physics().qubits.values()])


@pytest.mark.parametrize("case, args, status, message", [
    ("unknown qubit", ["rabi", "--qubit", "q07"], 2, "qubit 'q07' is not in the space"),
    ("missing keys", ["t1"], 2, "lacks what the calibration needs: q01.t1"),
    ("a JSON space", ["rabi", "--space", "values.json"], 2, "is a JSON file of values"),
    ("a missing space", ["rabi", "--space", "nowhere.sqlite"], 2, "does not exist"),
    ("locked", ["ramsey"], 2, "locked"), ("no response", ["rabi"], 1, "fit"),
])
def test_calibrations_that_cannot_run_or_fit_say_so_in_one_line_and_leave_the_space(
        workdir, capsys, monkeypatch, case, args, status, message):
    with Space(workdir / "device.sqlite") as space:
        space.update({k: v for k, v in demo_calibration().items() if case != "missing keys" or k != "q01.t1"},
                     timestamp=0)
    (workdir / "values.json").write_text(json.dumps(demo_calibration()))
    before = (workdir / "device.sqlite").read_bytes()
    if case == "no response":
        monkeypatch.setattr(sim, "demo_physics", flat_device)
    holder = sqlite3.connect(workdir / "device.sqlite", isolation_level=None, timeout=0)
    try:
        if case == "locked":
            holder.execute("BEGIN EXCLUSIVE")
        command = ["calibrate", *args] + ([] if "--space" in args else ["--space", "device.sqlite"])
        assert cli.main([*command, "--shots", "200", "--seed", "1", "--quiet"]) == status
    finally:
        holder.close()
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err
    assert (workdir / "device.sqlite").read_bytes() == before
