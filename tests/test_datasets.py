"""Run datasets: what a demo's netCDF file holds, how it reopens, and how bad files are refused."""

import json
import re
from pathlib import Path

import numpy as np
import pytest
import xarray
from support_collaborators import is_png, listing, normalised

from varnok_client import cli
from varnok_client.data import DatasetError, open_dataset, save_dataset, to_dataset
from varnok_client.demos import DEMOS, build_demo
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.sim import demo_calibration, demo_group


@pytest.mark.parametrize("name", list(DEMOS))
def test_demo_writes_its_files_quietly_and_a_dataset_that_replays_it(workdir, capsys, name):
    assert cli.main(["demo", name, "--out-dir", "out", "--quiet", "--shots", "0", "--seed", "5"]) == 0
    assert capsys.readouterr().out == "" and is_png(workdir / "out" / f"{name}.png")
    assert listing(workdir / "out") == [f"{name}.{suffix}" for suffix in ("json", "nc", "npz", "png")]
    assert json.loads((workdir / "out" / f"{name}.json").read_text()) == normalised(build_demo(name))
    with xarray.open_dataset(workdir / "out" / f"{name}.nc") as dataset:
        dataset.load()
    attrs = dataset.attrs
    # The saved experiment, recompiled against the saved calibration at the saved time, sweeps
    # exactly the coordinates the file holds.
    assert json.loads(attrs["calibration"]) == demo_calibration()
    with demo_group() as group:
        exp = Experiment.deserialize(json.loads(attrs["experiment"]), group)
        exp.compile_scripts(space_timestamp=int(attrs["timestamp"]))
    entries = [entry for entries in exp.compiled_sweep_dict.values() for entry in entries]
    assert entries and len(dataset.sizes) == len([n for n in exp.compiled_sweep_len if n > 1])
    for entry in entries:
        if entry["t"] == "c":
            assert dataset["circuit"].values.tolist() == entry["value"]
            continue
        name_of = entry["key"] if entry["t"] == "p" else f"{entry['entity']}.L{entry['layer']}.{entry['parameter']}"
        coordinate = dataset.coords[name_of]
        assert coordinate.dims == (f"dim{entry['dim']}",) and coordinate.attrs["units"] in ("a.u.", "Hz", "ns")
        assert np.array_equal(coordinate.values, np.asarray(entry["value"], dtype=float))
    stored = Result.load(workdir / "out" / f"{name}.npz").data["q01.p1"]
    assert np.array_equal(dataset["q01.p1"].values, stored.reshape(dataset["q01.p1"].shape))
    assert (attrs["steps_done"], attrs["steps_total"], attrs["interrupted"]) == (exp.total_sweep_steps,) * 2 + (0,)
    assert (attrs["shots"], attrs["seed"], attrs["mode"]) == (0, 5, exp.exp_mode)
    assert attrs["started"] <= attrs["finished"] and attrs["finished"].endswith("+00:00")
    # The plot is redrawn from the file alone.
    assert cli.main(["plot", f"out/{name}.nc", "-o", "again.png"]) == 0 and is_png(workdir / "again.png")
    if name == "rabi":
        # 0 to 3 * x_amp in 61 points: on the demo device the true pi pulse is 7 % above x_amp (point 21.4),
        # and the readout errs 3 % in |0> and 7 % in |1>.
        p1 = stored.reshape(-1)
        assert p1.shape == (61,) and p1[0] == pytest.approx(0.03, abs=1e-9) and np.argmax(p1[:40]) in (21, 22)
        assert 0.9 < p1.max() <= 0.93 + 1e-9


def test_complex_and_per_step_array_readouts_round_trip(workdir):
    exp, result = DEMOS["rabi"](points=4), Result(dims=[4, 1, 1])
    for step in range(3):  # the last step never ran
        result.add_item({"iq": 1 + 2j * step, "trace": np.arange(5.0) * step}, item_id=step)
    with demo_group() as group:
        exp.compile_scripts(group=group)
        save_dataset(to_dataset(result, exp, seed=None, timestamp=0), workdir / "d.nc")
    reopened = open_dataset(workdir / "d.nc")
    assert np.array_equal(reopened["iq"].values, [1, 1 + 2j, 1 + 4j, np.nan], equal_nan=True)
    assert reopened["trace"].shape == (4, 5) and np.isnan(reopened["trace"].values[3]).all()


def newer_dataset(path):
    dataset = open_dataset("rabi.nc")
    dataset.attrs["format_version"] = 99
    save_dataset(dataset, path)


@pytest.mark.parametrize("make, target, message", [
    (None, "missing.nc", "does not exist"), (lambda p: p.mkdir(), "folder.nc", "is a directory"),
    (lambda p: p.write_bytes(b""), "empty.nc", "not a netCDF-4 file (it is empty)"),
    (lambda p: p.write_bytes(b"CDF\x01" + bytes(40)), "old.nc", "netCDF-3"),
    (lambda p: p.write_bytes(Path("rabi.npz").read_bytes()), "data.nc", "not a netCDF-4 file"),
    (lambda p: p.write_bytes(Path("rabi.nc").read_bytes()[:3000]), "cut.nc", "truncated or damaged"),
    (lambda p: xarray.Dataset({"x": ("t", [1.0, 2.0])}).to_netcdf(p, engine="h5netcdf"), "other.nc",
     "not a dataset of this package"),
    (newer_dataset, "newer.nc", "newer version"),
])
def test_bad_dataset_files_are_refused_in_one_line_naming_the_file(workdir, capsys, make, target, message):
    assert cli.main(["demo", "rabi", "--quiet", "--shots", "0"]) == 0
    if make:
        make(workdir / target)
    with pytest.raises(DatasetError, match=re.escape(message)):
        open_dataset(target)
    for command in (["show", target], ["plot", target]):
        assert cli.main(command) == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and repr(target) in err[0] and message in err[0]
