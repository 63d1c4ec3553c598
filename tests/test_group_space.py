"""The versioned parameter space and the device group over it."""

import copy
import gc
import json
import pickle
from functools import reduce

import numpy as np
import pytest

from varnok_client.group import Group, Space


@pytest.fixture
def versioned() -> Space:
    space = Space()
    for value, timestamp in [(5.0e9, 1000), (5.1e9, 2000), (5.2e9, 3000)]:
        space.set("q01.freq", value, timestamp=timestamp)
    space.set("q01.x_amp", 0.4, timestamp=1500)
    return space


@pytest.mark.parametrize("key, timestamp, expected", [
    ("q01.freq", 1000, 5.0e9), ("q01.freq", 1999, 5.0e9), ("q01.freq", 2000, 5.1e9), ("q01.freq", 10**13, 5.2e9),
    ("q01.freq", None, 5.2e9), ("q01.freq", 999, KeyError), ("q01.x_amp", 1499, KeyError), ("nope", None, KeyError),
])
def test_get_returns_the_newest_version_at_or_before_the_timestamp(versioned, key, timestamp, expected):
    if expected is KeyError:
        with pytest.raises(KeyError, match=key.replace(".", r"\.")):
            versioned.get(key, timestamp)
    else:
        assert versioned.get(key, timestamp) == expected


def test_later_write_at_the_same_timestamp_wins_and_values_are_stored_as_plain_json():
    space = Space()
    for value, timestamp in [(1, 5), (2, 3), (3, 5)]:
        space.set("a", value, timestamp=timestamp)
    assert space.get("a", 5) == 3 and space.history("a") == [(3, 2), (5, 1), (5, 3)] and space.history("x") == []
    space.update({"c": {"f": np.float32(0.5), "v": np.arange(3), "t": (1, (2, 3))}, "b": "text"}, 7)
    assert space.keys() == ["a", "b", "c"] and space.history("b") == [(7, "text")] and "zz" not in space
    got = space.get("c")
    assert got == {"f": 0.5, "v": [0, 1, 2], "t": [1, [2, 3]]} and type(got["f"]) is float


@pytest.mark.parametrize("call, error, fragment", [
    (lambda s: Space(5), TypeError, "space path"), (lambda s: s.set("", 1), TypeError, "non-empty strings"),
    (lambda s: s.set("a", 1, timestamp=1.5), TypeError, "timestamp"),
    (lambda s: s.set("a", 1, timestamp=np.bool_(True)), TypeError, "timestamp"),
    (lambda s: s.set("a", 1, timestamp=2**63), ValueError, "64-bit"),
    (lambda s: s.set("a", [1, {2.5: 0}]), TypeError, "dictionary key 2.5"),
    (lambda s: s.set("a", np.array([1 + 2j])), TypeError, "complex"),
    (lambda s: s.set("a", [1, [2, [{"nested": {1, 2}}]]]), TypeError, "set"),
    (lambda s: s.set("a", reduce(lambda v, _: [v], range(10**5), 0)), TypeError, "nested deeper"),
    (lambda s: s.update({"a": 1, "": 2}), TypeError, "non-empty strings"),
])
def test_refusals_name_what_is_wrong_and_write_nothing(call, error, fragment):
    space = Space()
    with pytest.raises(error, match=fragment):
        call(space)
    assert space.keys() == []


def test_file_space_keeps_versions_across_reopen_while_memory_spaces_stay_private(tmp_path):
    path = tmp_path / "calibration.db"
    with Space(str(path)) as space:
        space.update({"q01.freq": 5.0e9, "q01.x_amp": 0.3}, timestamp=100)
        space.set("q01.freq", 5.05e9, timestamp=200)
    with Space(path) as space:
        space.set("q01.x_amp", 0.35, timestamp=300)
    with Space(path) as reopened:
        assert reopened.keys() == ["q01.freq", "q01.x_amp"]
        assert (reopened.get("q01.freq", 150), reopened.get("q01.freq")) == (5.0e9, 5.05e9)
        assert reopened.history("q01.x_amp") == [(100, 0.3), (300, 0.35)]
    with Space() as a, Space(":memory:") as b:
        a.set("x", 1, timestamp=1)
        assert "x" not in b
    (tmp_path / "notes.db").write_bytes(b"these are lab notes, not a database" * 20)
    with pytest.raises(ValueError, match="notes.db"):
        Space(tmp_path / "notes.db")
    assert (tmp_path / "notes.db").read_bytes().startswith(b"these are lab notes")


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_in_memory_space_copies_all_versions_independently(versioned, clone):
    other = clone(versioned)
    assert other.history("q01.freq") == versioned.history("q01.freq")
    other.set("q01.freq", 1.0, timestamp=4000)
    assert versioned.get("q01.freq") == 5.2e9


def test_json_file_round_trip_holds_at_every_timestamp(tmp_path, versioned):
    versioned.to_json(tmp_path / "space.json", timestamp=2500)
    assert json.loads((tmp_path / "space.json").read_text()) == {"q01.freq": 5.1e9, "q01.x_amp": 0.4}
    assert Space.from_json(tmp_path / "space.json").get("q01.freq", 0) == 5.1e9  # a replay at an old time


# The loader only ever parses JSON: whatever the text holds comes back as plain data or is refused.
@pytest.mark.parametrize("text, error, fragment", [
    ("[" * 50_000 + "]" * 50_000, ValueError, "nested too deeply"),
    ('{"a": ' + "9" * 5000 + "}", ValueError, "space file"),
    ('"__import__(\'os\').system(\'touch pwned\')"', ValueError, "JSON object"),
    ('{"": 1}', TypeError, "non-empty strings"),
    ("{'a': 1}", json.JSONDecodeError, "is not JSON"),
    (json.dumps({"q01.freq": {"__reduce__": ["os.system", ["touch pwned"]]}, "__import__('os')": "eval('1')"}),
     None, None),
], ids=range(6))
def test_hostile_space_files_are_refused_naming_the_file_or_read_as_inert_data(tmp_path, monkeypatch, text, error,
                                                                               fragment):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "hostile.json").write_text(text)
    if error is None:
        assert Space.from_json(tmp_path / "hostile.json").snapshot() == json.loads(text)
    else:
        with pytest.raises(error, match=fragment) as info:
            Space.from_json(tmp_path / "hostile.json")
        assert "hostile.json" in str(info.value)
    assert not (tmp_path / "pwned").exists()


def test_temporary_parameters_win_until_cleared_and_survive_pickling(versioned):
    group = Group("chip", versioned, ["q01"])
    assert group.entities == ("q01",) and bool(Group("empty")) is True
    assert Group("m", {"q01.freq": 5e9}).space.get("q01.freq", 0) == 5e9
    group.set_temporary_parameter("q01.freq", 4.0e9)
    assert (group.get_parameter("q01.freq", 1000), group.get_parameter("q01.x_amp")) == (4.0e9, 0.4)
    with pytest.raises(TypeError):
        group.temporary_parameters["q01.freq"] = 1.0
    restored = pickle.loads(pickle.dumps(group))
    assert (restored.name, restored.get_parameter("q01.freq"), restored.space.get("q01.freq", 2000)) == (
        "chip", 4.0e9, 5.1e9)
    view = group.temporary_parameters
    group.clear_temporary_parameters()
    assert dict(view) == {} and group.get_parameter("q01.freq", 2500) == 5.1e9
    assert restored.get_parameter("q01.freq") == 4.0e9
    for entities in [[1], ["q01", ""], 5]:
        with pytest.raises(TypeError, match="entit"):
            Group("g", entities=entities)


def test_closing_is_deterministic_and_a_dropped_space_releases_its_connection(tmp_path):
    with Group("g", Space(tmp_path / "s.sqlite")) as group:
        space = group.space
        space.set("a", 1, timestamp=0)
    assert space.closed and "closed" in repr(space)
    space.close()  # closing twice is harmless
    with pytest.raises(Exception, match="closed"):
        space.get("a")
    # Dropped unclosed: its connection is closed on collection, so nothing warns (warnings are errors here).
    dropped = Space(tmp_path / "s.sqlite")
    finalizer = dropped._finalizer
    del dropped
    gc.collect()
    assert not finalizer.alive
