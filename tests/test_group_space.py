import copy
import json
import pickle

import numpy as np
import pytest

from varnok_client.group import Group, Space


@pytest.fixture
def versioned() -> Space:
    space = Space()
    space.set("q01.freq", 5.0e9, timestamp=1000)
    space.set("q01.freq", 5.1e9, timestamp=2000)
    space.set("q01.freq", 5.2e9, timestamp=3000)
    space.set("q01.x_amp", 0.4, timestamp=1500)
    return space


@pytest.mark.parametrize(
    "timestamp, expected",
    [
        (1000, 5.0e9),
        (1999, 5.0e9),
        (2000, 5.1e9),
        (2999, 5.1e9),
        (10**13, 5.2e9),
        (None, 5.2e9),
    ],
)
def test_get_returns_newest_version_at_or_before_timestamp(
    versioned, timestamp, expected
):
    assert versioned.get("q01.freq", timestamp) == expected


@pytest.mark.parametrize(
    "key, timestamp", [("q01.freq", 999), ("q01.x_amp", 1499), ("nope", None)]
)
def test_get_without_version_raises_keyerror_naming_key(versioned, key, timestamp):
    with pytest.raises(KeyError, match=key.replace(".", r"\.")):
        versioned.get(key, timestamp)


def test_same_timestamp_later_write_wins_and_history_is_chronological():
    space = Space()
    space.set("a", 1, timestamp=5)
    space.set("a", 2, timestamp=3)
    space.set("a", 3, timestamp=5)
    assert space.get("a", 5) == 3
    assert space.history("a") == [(3, 2), (5, 1), (5, 3)]
    assert space.history("missing") == []


def test_update_keys_and_json_values():
    space = Space()
    space.update(
        {"b": [1, 2.5], "a": {"x": "y"}, "c": np.float64(0.25), "d": np.arange(3)}, 7
    )
    assert space.keys() == ["a", "b", "c", "d"]
    assert [space.history(k)[0][0] for k in "abcd"] == [7, 7, 7, 7]
    assert space.get("a") == {"x": "y"} and space.get("d") == [0, 1, 2]
    assert "b" in space and "zz" not in space


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.set("k", object()), TypeError),
        (lambda s: s.set("k", 1, timestamp=1.5), TypeError),
        (lambda s: s.set("", 1), TypeError),
        (lambda s: s.get("k", timestamp="x"), TypeError),
    ],
)
def test_bad_input_is_refused(call, error):
    with pytest.raises(error):
        call(Space())


def test_json_file_round_trip(tmp_path, versioned):
    path = tmp_path / "space.json"
    versioned.to_json(path, timestamp=2500)
    assert json.loads(path.read_text()) == {"q01.freq": 5.1e9, "q01.x_amp": 0.4}
    loaded = Space.from_json(path)
    # Loaded values hold at every timestamp, so a replay at an old time still finds them.
    assert loaded.get("q01.freq", 0) == 5.1e9


def test_file_backed_space_persists(tmp_path):
    path = tmp_path / "space.sqlite"
    with Space(path) as space:
        space.set("q01.freq", 4.9e9, timestamp=10)
    with Space(path) as reopened:
        assert reopened.history("q01.freq") == [(10, 4.9e9)]


@pytest.mark.parametrize(
    "clone", [copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))]
)
def test_in_memory_space_copies_all_versions_independently(versioned, clone):
    other = clone(versioned)
    assert other.history("q01.freq") == versioned.history("q01.freq")
    other.set("q01.freq", 1.0, timestamp=4000)
    assert versioned.get("q01.freq") == 5.2e9


def test_group_from_mapping_and_truth():
    group = Group("chip", {"q01.freq": 5e9}, entities=["q01", "q02"])
    assert group.space.get("q01.freq", 0) == 5e9
    assert group.entities == ("q01", "q02")
    assert bool(Group("empty")) is True


def test_temporary_parameter_wins_until_cleared(versioned):
    group = Group("chip", versioned)
    group.set_temporary_parameter("q01.freq", 4.0e9)
    assert group.get_parameter("q01.freq", 1000) == 4.0e9
    assert group.get_parameter("q01.x_amp") == 0.4
    view = group.temporary_parameters
    with pytest.raises(TypeError):
        view["q01.freq"] = 1.0  # type: ignore[index]
    group.clear_temporary_parameters()
    assert dict(view) == {}
    assert group.get_parameter("q01.freq", 2500) == 5.1e9


def test_group_pickle_round_trip_keeps_space_and_temporaries(versioned):
    group = Group("chip", versioned, ["q01"])
    group.set_temporary_parameter("q01.x_amp", 0.1)
    restored = pickle.loads(pickle.dumps(group))
    assert (restored.name, restored.entities) == ("chip", ("q01",))
    assert restored.get_parameter("q01.x_amp") == 0.1
    assert restored.space.get("q01.freq", 2000) == 5.1e9
    restored.clear_temporary_parameters()
    assert group.get_parameter("q01.x_amp") == 0.1
