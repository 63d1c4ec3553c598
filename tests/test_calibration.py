"""The calibration loop on the demo device: its truth, calibrate commands, versions written, refusals."""

import json
import sqlite3
import urllib.parse

import numpy as np
import pytest
from support_stores import postgres_url, store_url  # noqa: F401  (fixtures)

from varnok_client import cli, sim
from varnok_client.experiment.result import Result
from varnok_client.group import Group, Space
from varnok_client.sim import DevicePhysics, QubitModel, SimulatedDevice, demo_calibration, demo_physics
from varnok_client.demos import build_rabi
from varnok_client.experiment.experiment import Experiment


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("qubit", ["q01", "q02"])
def test_the_ideal_calibration_of_the_demo_device_makes_x_a_pi_pulse(qubit):
    physics = demo_physics()
    ideal = physics.ideal_calibration()
    calibration = {**demo_calibration(), **ideal}
    assert calibration != demo_calibration()  # the demo device is not calibrated to begin with
    exp = Experiment("X", "a pi pulse")
    exp.add_wave_gate(("X", qubit), 0)
    exp.add_wave_gate(("M", qubit), 1)
    with Group("ideal", calibration, entities=("q01", "q02")) as group:
        device = SimulatedDevice(group, physics=physics)
        p1 = exp.run_exp(device.callback, options={"shots": 0}, group=group).data[f"{qubit}.p1"].item()
    model = physics.qubit(qubit)
    assert p1 == pytest.approx(model.readout_f1, abs=1e-6)  # a full flip, seen through the readout error


def values(path, keys):
    with Space(path) as space:
        return {key: space.get(key) for key in keys}


@pytest.mark.parametrize("qubit, seed", [("q01", 1), ("q02", 2)])
def test_calibrate_all_brings_the_space_to_the_device_truth(workdir, capsys, qubit, seed):
    assert cli.main(["space", "init", "device.sqlite"]) == 0
    keys = [f"{qubit}.{name}" for name in ("freq", "x_amp", "t1", "t2")]
    before = values("device.sqlite", keys)
    assert cli.main(["calibrate", "all", "--space", "device.sqlite", "--qubit", qubit, "--shots", "1000",
                     "--seed", str(seed), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert out.count(" -> ") >= 5 and "before" in out and "after" in out
    ideal = demo_physics().ideal_calibration()
    after = values("device.sqlite", keys)
    assert after[f"{qubit}.x_amp"] == pytest.approx(ideal[f"{qubit}.x_amp"], rel=0.01)
    assert after[f"{qubit}.freq"] == pytest.approx(ideal[f"{qubit}.freq"], abs=20e3)
    assert after[f"{qubit}.t1"] == pytest.approx(ideal[f"{qubit}.t1"], rel=0.15)
    # Every change is a new version: the calibration before stays readable at its time.
    with Space("device.sqlite") as space:
        for key in keys:
            history = space.history(key)
            assert len(history) >= 2 and space.get(key, history[0][0]) == before[key]
    assert cli.main(["history", f"{qubit}.freq", "--space", "device.sqlite", "--plot", "h.png"]) == 0
    assert capsys.readouterr().out.count(" ms)") == 3  # the initial value, the resonance and the Ramsey
    # A Rabi run afterwards, on the same device, peaks at the calibrated amplitude.
    cli.save_experiment(build_rabi(qubit, points=121, turns=1.5), workdir / "rabi.json")
    assert cli.main(["run", "rabi.json", "--space", "device.sqlite", "--shots", "0", "--quiet"]) == 0
    p1 = Result.load(workdir / "rabi.npz").data[f"{qubit}.p1"].reshape(-1)
    amplitudes = np.linspace(0, 3 * after[f"{qubit}.x_amp"], 121)
    assert abs(amplitudes[np.argmax(p1[:80])] - after[f"{qubit}.x_amp"]) <= amplitudes[1]


def flat_device():
    models = [QubitModel(name=m.name, freq=m.freq, drive_strength=0.0) for m in demo_physics().qubits.values()]
    return DevicePhysics(models)


def lock(path):
    holder = sqlite3.connect(path, isolation_level=None, timeout=0)
    holder.execute("BEGIN EXCLUSIVE")
    return holder


@pytest.mark.parametrize("case, args, status, message", [
    ("unknown qubit", ["rabi", "--qubit", "q07"], 2, "qubit 'q07' is not in the space"),
    ("missing keys", ["t1"], 2, "lacks what the calibration needs: q01.t1"),
    ("a JSON space", ["rabi", "--space", "values.json"], 2, "is a JSON file of values"),
    ("a missing space", ["rabi", "--space", "nowhere.sqlite"], 2, "does not exist"),
    ("locked", ["rabi"], 2, "locked"),
    ("no response", ["rabi"], 1, "fit"),
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
    holder = lock(workdir / "device.sqlite") if case == "locked" else None
    try:
        command = ["calibrate", *args]
        if "--space" not in args:
            command += ["--space", "device.sqlite"]
        assert cli.main([*command, "--shots", "200", "--seed", "1", "--quiet"]) == status
    finally:
        if holder is not None:
            holder.close()
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err
    assert (workdir / "device.sqlite").read_bytes() == before
    assert cli.main(["space", "init", "device.sqlite"]) == 2


@pytest.mark.parametrize("qubit", ["q01", "q02"])  # the demo device is off upwards on q01, downwards on q02
def test_ramsey_alone_finds_the_sign_of_the_frequency_error(workdir, qubit):
    assert cli.main(["space", "init", "device.sqlite"]) == 0
    assert cli.main(["calibrate", "ramsey", "--space", "device.sqlite", "--qubit", qubit, "--shots", "1000",
                     "--seed", "4", "--quiet"]) == 0
    freq = values("device.sqlite", [f"{qubit}.freq"])[f"{qubit}.freq"]
    assert freq == pytest.approx(demo_physics().ideal_calibration()[f"{qubit}.freq"], abs=20e3)


def test_a_shared_space_is_initialised_and_calibrated_by_url(workdir, capsys, store_url):
    assert cli.main(["space", "init", store_url]) == 0
    assert cli.main(["calibrate", "rabi", "--space", store_url, "--shots", "500", "--seed", "3", "--quiet"]) == 0
    assert cli.main(["history", "q01.x_amp", "--space", store_url]) == 0
    assert cli.main(["space", "init", store_url]) == 2  # never over an existing space
    captured = capsys.readouterr()
    assert "2 versions" in captured.out and "already" in captured.err
    password = urllib.parse.urlsplit(store_url).password
    assert not password or password not in captured.out + captured.err
    with Space(store_url) as space:
        assert space.get("q01.x_amp") == pytest.approx(demo_physics().ideal_calibration()["q01.x_amp"], rel=0.01)
