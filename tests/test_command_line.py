"""The ``varnok`` command line: outputs, exit statuses, user errors, Ctrl-C and atomic files."""

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from varnok_client import cli
from varnok_client.demos import build_batch, build_rabi
from varnok_client.experiment.result import Result
from varnok_client.group import Space
from varnok_client.sim import SimulatedDevice, demo_calibration

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
RABI_POINTS = 61  # build_rabi(): 0 to 3 * x_amp, so index 20 is a pi pulse and 40 a full turn


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def save(exp, path):
    cli.save_experiment(exp, path)
    return path


def listing(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def test_demo_writes_experiment_data_and_plot(workdir, capsys):
    assert cli.main(["demo", "rabi", "--out-dir", "out", "--quiet", "--shots", "0"]) == 0
    out = workdir / "out"
    assert listing(out) == ["rabi.json", "rabi.npz", "rabi.png"]
    assert json.loads((out / "rabi.json").read_text()) == json.loads(json.dumps(build_rabi().serialize()))
    assert (out / "rabi.png").read_bytes()[:8] == PNG_MAGIC
    p1 = Result.load(out / "rabi.npz").data["q01.p1"].reshape(-1)
    assert p1.shape == (RABI_POINTS,)
    assert (p1[0], p1[20], p1[40]) == pytest.approx((0.0, 1.0, 0.0), abs=1e-9)
    assert capsys.readouterr().out == ""


def test_run_shows_progress_and_summary(workdir, capsys):
    source = save(build_rabi(points=11), workdir / "sweep.json")
    assert cli.main(["run", str(source), "--seed", "3"]) == 0
    captured = capsys.readouterr()
    assert "11/11" in captured.err  # the progress bar
    assert "Rabi: 11 of 11 steps" in captured.out
    assert "q01.p1: min" in captured.out
    assert listing(workdir) == ["sweep.json", "sweep.npz", "sweep.png"]
    counts = Result.load(workdir / "sweep.npz").data["q01.p1"] * 1024
    assert np.allclose(counts, np.round(counts))  # default shots, binomial counts


def test_run_honours_out_and_plot_paths(workdir):
    source = save(build_batch(), workdir / "exp.json")
    (workdir / "results").mkdir()
    args = ["run", str(source), "--out", "results/d.npz", "--plot", "results/p.png", "--quiet", "--shots", "0"]
    assert cli.main(args) == 0
    assert listing(workdir / "results") == ["d.npz", "p.png"]
    p1 = Result.load(workdir / "results" / "d.npz").data["q01.p1"].reshape(-1)
    assert p1.size == len(build_batch().batch_circuits)


def write_space(path, **changes):
    values = demo_calibration()
    values.update(changes)
    path.write_text(json.dumps(values))
    return path


def test_run_uses_the_given_space_file(workdir):
    source = save(build_rabi(), workdir / "rabi.json")
    strength = demo_calibration()["q01.drive_strength"]
    space = write_space(workdir / "strong.json", **{"q01.drive_strength": 2 * strength})
    assert cli.main(["run", str(source), "--space", str(space), "--quiet", "--shots", "0"]) == 0
    p1 = Result.load(workdir / "rabi.npz").data["q01.p1"].reshape(-1)
    # Twice the drive strength: the calibrated pi pulse is now a full turn.
    assert (p1[10], p1[20]) == pytest.approx((1.0, 0.0), abs=1e-9)


def test_timestamp_selects_the_calibration_in_force(workdir):
    source = save(build_rabi(), workdir / "rabi.json")
    database = workdir / "device.sqlite"
    space = Space(database)
    space.update(demo_calibration(), timestamp=1_000)
    space.update({"q01.drive_strength": 2 * demo_calibration()["q01.drive_strength"]}, timestamp=5_000)
    space.close()
    for timestamp, expected in (("2000", 1.0), (None, 0.0)):
        args = ["run", str(source), "--space", str(database), "--quiet", "--shots", "0"]
        args += ["--timestamp", timestamp] if timestamp else []
        assert cli.main(args) == 0
        assert Result.load(workdir / "rabi.npz").data["q01.p1"].reshape(-1)[20] == pytest.approx(expected, abs=1e-9)


def test_validate_describes_the_compiled_sweep(workdir, capsys):
    source = save(build_rabi(points=7), workdir / "rabi.json")
    assert cli.main(["validate", str(source)]) == 0
    out = capsys.readouterr().out
    assert "compiles" in out
    assert "7 steps, sweep lengths [7, 1, 1]" in out
    assert "dimension 0: waveform parameter amp of q01 layer 0, 7 points" in out
    assert listing(workdir) == ["rabi.json"]


def experiment_with(edit):
    data = json.loads(json.dumps(build_rabi(points=5).serialize()))
    edit(data)
    return data


def unknown_gate(data):
    data["wave_circuit"]["gates"][0]["gate_name"] = "H"


def refused_script(data):
    data["waveform_script"][0]["script"] = "__import__('os').system('echo owned')"


def failing_script(data):
    data["waveform_script"][0]["script"] = "1 / 0"


def missing_gate(data):
    data["waveform_script"][0]["layer"] = 7


def missing_field(data):
    del data["options"]


USER_ERRORS = {
    "missing file": (None, "does not exist"),
    "not json": ("{nope", "not valid JSON"),
    "json array": ("[1, 2]", "does not hold a saved experiment"),
    "missing field": (experiment_with(missing_field), "missing field 'options'"),
    "unknown gate": (experiment_with(unknown_gate), "does not compile"),
    "refused script": (experiment_with(refused_script), "script refused"),
    "failing script": (experiment_with(failing_script), "script refused"),
    "gate not in circuit": (experiment_with(missing_gate), "not a valid saved experiment"),
}


@pytest.mark.parametrize("command", ["run", "validate"])
@pytest.mark.parametrize("case", list(USER_ERRORS))
def test_user_errors_print_one_line_and_exit_2_writing_nothing(workdir, capsys, command, case):
    content, message = USER_ERRORS[case]
    source = workdir / "exp.json"
    if content is not None:
        source.write_text(content if isinstance(content, str) else json.dumps(content))
    before = listing(workdir)
    assert cli.main([command, str(source)]) == 2
    captured = capsys.readouterr()
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1, captured.err
    assert lines[0].startswith("varnok: error: ")
    assert message in lines[0]
    assert "owned" not in captured.out
    assert listing(workdir) == before


def bad_json_space(path):
    path.write_text("{not json")
    return path


def list_space(path):
    path.write_text("[1, 2, 3]")
    return path


def foreign_database(path):
    import sqlite3

    connection = sqlite3.connect(path)
    with connection:
        connection.execute("CREATE TABLE other (x)")
    connection.close()
    return path


def uncalibrated_space(path):
    values = demo_calibration()
    del values["q01.x_width"]
    path.write_text(json.dumps(values))
    return path


def no_drive_strength(path):
    values = demo_calibration()
    del values["q01.drive_strength"]
    path.write_text(json.dumps(values))
    return path


@pytest.mark.parametrize(
    "make_space, message",
    [
        (lambda path: path, "does not exist"),
        (bad_json_space, "neither JSON nor a space database"),
        (list_space, "is not a space"),
        (foreign_database, "not a parameter space"),
        (uncalibrated_space, "does not compile"),
        (no_drive_strength, "'q01.drive_strength' is not set"),
    ],
    ids=["missing", "bad-json", "json-list", "foreign-sqlite", "missing-calibration", "missing-device-key"],
)
def test_space_errors_exit_2(workdir, capsys, make_space, message):
    source = save(build_rabi(points=3), workdir / "exp.json")
    space = make_space(workdir / "space.db")
    before = listing(workdir)
    assert cli.main(["run", str(source), "--space", str(space), "--quiet"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]
    assert listing(workdir) == before


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--out", "data.csv"], "must end in .npz"),
        (["--plot", "plot.pdf"], "must end in .png"),
        (["--out", "missing/data.npz"], "does not exist"),
    ],
)
def test_bad_output_paths_exit_2_before_running(workdir, capsys, extra, message):
    source = save(build_rabi(points=3), workdir / "exp.json")
    assert cli.main(["run", str(source), "--quiet", *extra]) == 2
    assert message in capsys.readouterr().err
    assert listing(workdir) == ["exp.json"]


def test_bad_usage_exits_2(capsys):
    assert cli.main(["demo", "nonsense"]) == 2
    assert "invalid choice" in capsys.readouterr().err


def test_ctrl_c_stops_at_the_step_end_and_keeps_the_data(workdir, monkeypatch, capsys):
    source = save(build_rabi(points=21), workdir / "rabi.json")
    simulate = SimulatedDevice.callback

    def interrupted_at_step_3(self, wave_package, exp_obj, pos, steps, options):
        if steps == 3:
            signal.raise_signal(signal.SIGINT)  # as if the user pressed Ctrl-C during this step
        return simulate(self, wave_package, exp_obj, pos, steps, options)

    monkeypatch.setattr(SimulatedDevice, "callback", interrupted_at_step_3)
    previous_handler = signal.getsignal(signal.SIGINT)
    assert cli.main(["run", str(source), "--shots", "0"]) == 130
    assert signal.getsignal(signal.SIGINT) is previous_handler
    captured = capsys.readouterr()
    assert "interrupted" in captured.err
    assert "4 of 21 steps" in captured.out
    result = Result.load(workdir / "rabi.npz")
    p1 = result.data["q01.p1"].reshape(-1)
    assert np.isfinite(p1[:4]).all() and np.isnan(p1[4:]).all()
    assert result.complete is False
    assert (workdir / "rabi.png").exists()


def test_failed_plot_leaves_no_partial_file(workdir, monkeypatch, capsys):
    from matplotlib.figure import Figure

    def broken_savefig(self, target, **kwargs):
        Path(target).write_bytes(b"half a png")
        raise OSError("disk full")

    monkeypatch.setattr(Figure, "savefig", broken_savefig)
    source = save(build_rabi(points=3), workdir / "exp.json")
    with pytest.raises(OSError, match="disk full"):
        cli.main(["run", str(source), "--quiet"])
    assert listing(workdir) == ["exp.json", "exp.npz"]


@pytest.mark.parametrize("name, points", [("ramsey", 81), ("chevron", 31 * 41), ("batch", 10)])
def test_each_demo_runs_and_plots(workdir, name, points):
    assert cli.main(["demo", name, "--quiet", "--seed", "1"]) == 0
    assert listing(workdir) == sorted(f"{name}.{suffix}" for suffix in ("json", "npz", "png"))
    values = Result.load(workdir / f"{name}.npz").data["q01.p1"]
    assert values.size == points and np.isfinite(values).all()
    assert (workdir / f"{name}.png").read_bytes()[:8] == PNG_MAGIC


def test_module_entry_point(workdir):
    source = save(build_rabi(points=3), workdir / "exp.json")
    done = subprocess.run(
        [sys.executable, "-m", "varnok_client", "validate", str(source)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "3 steps" in done.stdout
    done = subprocess.run(
        [sys.executable, "-m", "varnok_client", "run", "nowhere.json"], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
