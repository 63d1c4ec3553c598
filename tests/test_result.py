"""Run results: filling, merging step results, layout, files and plots."""

import copy
import json
import pickle

import numpy as np
import pytest

from varnok_client.experiment.result import Result


def step(item_id, **values):
    r = Result(item_id_start=item_id)
    for name, value in values.items():
        r.add(name, value)
    return r


@pytest.mark.parametrize(
    "dims, run_steps",
    [([5, 1, 1], range(5)), ([3, 2, 1], range(6)), ([2, 2, 2], [0, 3, 7]), ([0, 1, 1], [0]), ([4], [1, 2])],
)
def test_one_step_results_merge_into_the_sweep_shape(dims, run_steps):
    run = Result(complete=False, final=False, chunk_id=0, item_id_start=0, dims=dims)
    for counter in run_steps:
        assert run.concatenate(step(counter, p1=counter / 10)) is run
    expected = np.full(int(np.prod([max(d, 1) for d in dims])), np.nan)
    expected[list(run_steps)] = [c / 10 for c in run_steps]
    data = run.data["p1"]
    assert data.shape == tuple(max(d, 1) for d in dims)
    np.testing.assert_array_equal(data.reshape(-1), expected)
    assert run.item_ids == list(run_steps)


def test_position_order_matches_the_run_loop():
    run = Result(dims=[3, 2, 1])
    counter = 0
    for i in range(3):
        for j in range(2):
            run.concatenate(step(counter, pos=10 * i + j))
            counter += 1
    np.testing.assert_array_equal(run.data["pos"][:, :, 0], [[0, 1], [10, 11], [20, 21]])


def test_complex_and_array_values_keep_their_kind_and_shape():
    run = Result(dims=[2, 1, 1])
    run.concatenate(step(0, iq=1 + 2j, trace=[1.0, 2.0, 3.0]))
    data = run.data
    assert data["iq"].dtype.kind == "c" and data["iq"][0, 0, 0] == 1 + 2j
    assert np.isnan(data["iq"][1, 0, 0])
    assert data["trace"].shape == (2, 1, 1, 3)
    assert np.isnan(data["trace"][1]).all()


def test_add_writes_to_the_current_item_and_add_item_starts_the_next():
    r = Result(item_id_start=4)
    r.add("a", 1)
    r.add("b", 2)
    assert r.item_ids == [4]
    assert r.add_item({"a": 3}) == 5
    r.add("b", 4)
    assert r.items == [(4, {"a": 1, "b": 2}), (5, {"a": 3, "b": 4})]
    r.add("a", 9, item_id=4)
    assert np.isnan(r.data["a"][:4]).all()
    np.testing.assert_array_equal(r.data["a"][4:], [9.0, 3.0])


def test_concatenate_overwrites_a_repeated_step_name_by_name():
    run = Result(dims=[2])
    run.concatenate(step(0, a=1, b=2))
    run.concatenate(step(0, a=5))
    assert run.items == [(0, {"a": 5, "b": 2})]


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda r: r.add("a", "text"), TypeError),
        (lambda r: r.add("a", {"x": 1}), TypeError),
        (lambda r: r.add(3, 1.0), TypeError),
        (lambda r: r.add("a", 1.0, item_id=6), IndexError),
        (lambda r: r.add("a", 1.0, item_id=-1), ValueError),
        (lambda r: r.add("m", [1.0, 2.0]), ValueError),
        (lambda r: r.concatenate(step(9, a=1.0)), IndexError),
        (lambda r: r.concatenate({"a": 1}), TypeError),
    ],
)
def test_bad_values_and_positions_are_refused_without_change(action, error):
    r = Result(dims=[3, 2, 1])
    r.add("m", [[1.0]])
    with pytest.raises(error):
        action(r)
    assert r.items == [(0, {"m": np.array([[1.0]])})]


def test_dims_are_checked_and_copied():
    dims = [2, 1, 1]
    r = Result(dims=dims)
    dims[0] = 7
    assert r.dims == [2, 1, 1]
    with pytest.raises(ValueError):
        Result(dims=[2, -1])
    with pytest.raises(TypeError):
        Result(dims=[2.5])


def filled():
    run = Result(complete=True, final=True, chunk_id=3, item_id_start=1, dims=[2, 3, 1])
    run.concatenate(step(1, p1=0.25, iq=1 - 1j, n=7, ok=True))
    run.concatenate(step(4, p1=float("nan"), iq=complex(float("inf"), 2), n=-2, ok=False))
    run.add("trace", [1.5, -2.5], item_id=4)
    return run


def assert_same(a, b):
    assert (a.complete, a.final, a.chunk_id, a.item_id_start, a.dims) == (
        b.complete, b.final, b.chunk_id, b.item_id_start, b.dims)
    assert a.names == b.names and a.item_ids == b.item_ids
    for name in a.names:
        np.testing.assert_array_equal(a.data[name], b.data[name])


@pytest.mark.parametrize("suffix", [".npz", ".json"])
def test_save_and_load_round_trip(tmp_path, suffix):
    run = filled()
    path = tmp_path / f"data{suffix}"
    run.save(path)
    assert_same(Result.load(path), run)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_results_copy_and_pickle(clone):
    run = filled()
    other = clone(run)
    assert_same(other, run)
    other.add("p1", 1.0, item_id=0)
    assert 0 not in run.item_ids


def test_json_is_strict_json(tmp_path):
    path = tmp_path / "data.json"
    filled().save(path)
    json.loads(path.read_text(), parse_constant=lambda name: pytest.fail(f"non-standard constant {name}"))


def test_npz_with_pickled_objects_is_refused(tmp_path):
    path = tmp_path / "evil.npz"
    np.savez(path, meta=np.array(json.dumps({"format": "x"})), ids_0=np.array([{"a": 1}], dtype=object))
    with pytest.raises(ValueError):
        Result.load(path)


@pytest.mark.parametrize(
    "mutate",
    [
        lambda d: d.update(format="something else"),
        lambda d: d.update(version=99),
        lambda d: d["items"][0]["values"]["n"].update(dtype="O"),
        lambda d: d["items"][0]["values"]["n"].update(dtype="|V8"),
        lambda d: d["items"][0]["values"]["n"].update(shape=[2]),
        lambda d: d["items"][0]["values"]["n"].update(real=["import os"]),
        lambda d: d["items"][0].update(id=99),
        lambda d: d.update(names=["p1", "p1"]),
        lambda d: d.update(dims=[2, "x"]),
    ],
)
def test_malformed_json_is_refused(tmp_path, mutate):
    path = tmp_path / "data.json"
    filled().save(path)
    document = json.loads(path.read_text())
    mutate(document)
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError):
        Result.load(path)


def test_unknown_suffix_is_refused(tmp_path):
    with pytest.raises(ValueError):
        filled().save(tmp_path / "data.csv")
    with pytest.raises(ValueError):
        Result.load(tmp_path / "data.pkl")


@pytest.mark.parametrize(
    "dims, values",
    [([5, 1, 1], {"p1": 0.5}), ([3, 4, 1], {"p1": 0.5, "iq": 1j}), ([1, 1, 1], {"p1": 0.5}), (None, {"iq": 1 + 1j})],
)
def test_plot_writes_a_png(tmp_path, dims, values):
    run = Result(dims=dims)
    steps = 3 if dims is None else min(3, int(np.prod(dims)))
    for counter in range(steps):
        run.concatenate(step(counter, **values))
    path = tmp_path / "plot.png"
    run.plot(path, title="demo")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "dims, values",
    [([2, 2, 2], {"p1": 0.5}), ([3, 1, 1], {"trace": [1.0, 2.0]})],
)
def test_plot_refuses_what_it_cannot_draw(tmp_path, dims, values):
    run = Result(dims=dims)
    run.concatenate(step(0, **values))
    with pytest.raises(ValueError):
        run.plot(tmp_path / "plot.png")


def test_plot_axis_values_must_match_the_dimension(tmp_path):
    run = Result(dims=[3, 1, 1])
    run.concatenate(step(0, p1=0.5))
    run.plot(tmp_path / "ok.png", axis_values={0: [0.0, 0.5, 1.0]})
    with pytest.raises(ValueError):
        run.plot(tmp_path / "bad.png", axis_values={0: [0.0, 1.0]})


@pytest.mark.parametrize("chunk_id, error", [("5", TypeError), (2.7, TypeError), (True, TypeError), (-1, ValueError)])
def test_chunk_id_must_be_a_non_negative_integer(chunk_id, error):
    with pytest.raises(error, match="chunk id"):
        Result(chunk_id=chunk_id)


def test_missing_complex_steps_are_nan_in_both_parts():
    result = Result(dims=[3, 1, 1])
    result.add_item({"iq": 1 + 2j, "p": 0.5})
    data = result.data
    assert data["iq"][0, 0, 0] == 1 + 2j
    assert np.isnan(data["iq"].real[1:]).all() and np.isnan(data["iq"].imag[1:]).all()
    assert np.isnan(data["p"][1:]).all()
