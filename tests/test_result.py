"""Run results: filling, merging step results, layout, files and plots."""

import copy
import json
import pickle

import numpy as np
import pytest
from support_collaborators import is_png

from varnok_client.experiment.result import Result


def step(item_id, **values):
    r = Result(item_id_start=item_id)
    for name, value in values.items():
        r.add(name, value)
    return r


@pytest.mark.parametrize("dims, run_steps", [([3, 2, 1], range(6)), ([2, 2, 2], [0, 3, 7]), ([0, 1, 1], [0]),
                                             ([4], [1, 2])])
def test_one_step_results_merge_into_the_sweep_shape_with_nan_for_steps_not_run(dims, run_steps):
    # The order of steps is the run loop's, dimension 0 outermost; complex values stay complex and
    # per-step arrays gain a trailing axis, NaN in every part for the steps not run.
    run = Result(complete=False, final=False, chunk_id=0, item_id_start=0, dims=dims)
    for counter in run_steps:
        assert run.concatenate(step(counter, p1=counter / 10, iq=1 + 2j * counter, trace=[counter] * 3)) is run
    shape = tuple(max(d, 1) for d in dims)
    expected = np.full(int(np.prod(shape)), np.nan)
    expected[list(run_steps)] = [c / 10 for c in run_steps]
    assert run.data["p1"].shape == shape and run.item_ids == list(run_steps) and run.data["iq"].dtype.kind == "c"
    np.testing.assert_array_equal(run.data["p1"].reshape(-1), expected)
    iq = run.data["iq"].reshape(-1)
    np.testing.assert_array_equal([iq.real, iq.imag], [expected * 0 + 1, expected * 20])
    np.testing.assert_array_equal(run.data["trace"].reshape(-1, 3), np.repeat(expected[:, None] * 10, 3, axis=1))


def test_add_writes_the_current_item_add_item_starts_the_next_and_repeats_overwrite_by_name():
    r = Result(item_id_start=4)
    r.add("a", 1)
    r.add("b", 2)
    assert r.add_item({"a": 3}) == 5
    r.add("b", 4)
    assert r.items == [(4, {"a": 1, "b": 2}), (5, {"a": 3, "b": 4})]
    r.add("a", 9, item_id=4)
    np.testing.assert_array_equal(r.data["a"], [np.nan] * 4 + [9.0, 3.0])
    run = Result(dims=[2])
    run.concatenate(step(0, a=1, b=2))
    run.concatenate(step(0, a=5))
    assert run.items == [(0, {"a": 5, "b": 2})]


@pytest.mark.parametrize("action, error", [
    (lambda r: r.add("a", "text"), TypeError),
    (lambda r: r.add(3, 1.0), TypeError),
    (lambda r: r.add("a", 1.0, item_id=6), IndexError),
    (lambda r: r.add("m", [1.0, 2.0]), ValueError),
    (lambda r: r.concatenate(step(9, a=1.0)), IndexError),
    (lambda r: r.concatenate({"a": 1}), TypeError),
    (lambda r: Result(dims=[2, -1]), ValueError),
    (lambda r: Result(chunk_id=True), TypeError),
    (lambda r: r.save("data.csv"), ValueError),
    (lambda r: Result.load("data.pkl"), ValueError),
])
def test_bad_values_positions_and_suffixes_are_refused_without_change(action, error):
    r = Result(dims=[3, 2, 1])
    r.add("m", [[1.0]])
    with pytest.raises(error):
        action(r)
    assert r.items == [(0, {"m": np.array([[1.0]])})]


def filled():
    run = Result(complete=True, final=True, chunk_id=3, item_id_start=1, dims=[2, 3, 1])
    run.concatenate(step(1, p1=0.25, iq=1 - 1j, n=7, ok=True))
    run.concatenate(step(4, p1=float("nan"), iq=complex(float("inf"), 2), n=-2, ok=False))
    run.add("trace", [1.5, -2.5], item_id=4)
    return run


@pytest.mark.parametrize("clone", ["data.npz", "data.json", copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_save_load_copy_and_pickle_keep_everything(tmp_path, clone):
    run = filled()
    if isinstance(clone, str):
        run.save(tmp_path / clone)
        other = Result.load(tmp_path / clone)
    else:
        other = clone(run)
    assert (other.complete, other.final, other.chunk_id, other.item_id_start, other.dims, other.names,
            other.item_ids) == (True, True, 3, 1, [2, 3, 1], run.names, run.item_ids)
    for name in run.names:
        np.testing.assert_array_equal(other.data[name], run.data[name])
    other.add("p1", 1.0, item_id=0)
    assert 0 not in run.item_ids


def test_json_is_strict_and_malformed_files_are_refused(tmp_path):
    filled().save(tmp_path / "data.json")
    text = (tmp_path / "data.json").read_text()
    json.loads(text, parse_constant=lambda name: pytest.fail(f"non-standard constant {name}"))
    for mutate in [lambda d: d.update(version=99), lambda d: d["items"][0]["values"]["n"].update(dtype="O"),
                   lambda d: d["items"][0].update(id=99), lambda d: d.update(dims=[2, "x"])]:
        document = json.loads(text)
        mutate(document)
        (tmp_path / "bad.json").write_text(json.dumps(document))
        with pytest.raises(ValueError):
            Result.load(tmp_path / "bad.json")
    np.savez(tmp_path / "evil.npz", meta=np.array(json.dumps({"format": "x"})), ids_0=np.array([{"a": 1}], dtype=object))
    with pytest.raises(ValueError):
        Result.load(tmp_path / "evil.npz")


def test_plot_draws_one_and_two_dimensional_sweeps_only(tmp_path):
    for dims, values in [([5, 1, 1], {"p1": 0.5}), ([3, 4, 1], {"p1": 0.5, "iq": 1j})]:
        Result(dims=dims).concatenate(step(0, **values)).plot(tmp_path / f"{len(values)}.png", title="demo")
        assert is_png(tmp_path / f"{len(values)}.png")
    with pytest.raises(ValueError):
        Result(dims=[2, 2, 2]).concatenate(step(0, p1=0.5)).plot(tmp_path / "plot.png")
