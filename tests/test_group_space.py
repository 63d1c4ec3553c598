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


def test_file_space_keeps_versions_and_pinned_reads_across_reopen(tmp_path):
    path = tmp_path / "calibration.db"
    space = Space(str(path))
    space.update({"q01.freq": 5.0e9, "q01.x_amp": 0.3}, timestamp=100)
    space.set("q01.freq", 5.05e9, timestamp=200)
    space.close()
    space = Space(path)
    space.set("q01.x_amp", 0.35, timestamp=300)
    space.close()
    with Space(path) as reopened:
        assert reopened.keys() == ["q01.freq", "q01.x_amp"]
        assert reopened.get("q01.freq", 150) == 5.0e9
        assert reopened.get("q01.freq") == 5.05e9
        assert reopened.history("q01.x_amp") == [(100, 0.3), (300, 0.35)]
    # An in-memory space is private: a second one does not see the first one's data.
    with Space() as a, Space(":memory:") as b:
        a.set("x", 1, timestamp=1)
        assert "x" not in b


def test_a_file_that_is_not_a_database_is_refused_by_name(tmp_path):
    path = tmp_path / "notes.db"
    path.write_bytes(b"these are lab notes, not a database" * 20)
    with pytest.raises(ValueError, match="notes.db"):
        Space(path)
    assert path.read_bytes().startswith(b"these are lab notes")


@pytest.mark.parametrize(
    "call, error, fragment",
    [
        (lambda s: Space(5), TypeError, "space path"),
        (lambda s: Space(""), TypeError, "space path"),
        (lambda s: s.set("a", 1, timestamp=2**63), ValueError, "64-bit"),
        (lambda s: s.get("a", -(2**63) - 1), ValueError, "64-bit"),
        (lambda s: s.set("a", 1, timestamp=np.bool_(True)), TypeError, "timestamp"),
        (lambda s: s.set("a", {1: "one"}), TypeError, "dictionary key 1"),
        (lambda s: s.set("a", [1, {2.5: 0}]), TypeError, "dictionary key 2.5"),
        (lambda s: s.set("a", np.array([1 + 2j])), TypeError, "complex"),
        (lambda s: s.set("a", {"nested": {1, 2}}), TypeError, "set"),
        (lambda s: s.update([("a", 1)]), TypeError, "mapping"),
        (lambda s: s.update({"a": 1, "": 2}), TypeError, "non-empty strings"),
    ],
)
def test_refusals_name_what_is_wrong_and_write_nothing(call, error, fragment):
    space = Space()
    with pytest.raises(error, match=fragment):
        call(space)
    assert space.keys() == []


def test_deeply_nested_value_is_refused_without_overflowing_the_stack():
    value = [0]
    for _ in range(100_000):
        value = [value]
    space = Space()
    with pytest.raises(TypeError, match="nested deeper"):
        space.set("a", value)
    shallow = [[[1]]]
    space.set("b", shallow)
    assert space.get("b") == shallow


def test_numpy_and_tuple_values_are_stored_as_plain_json():
    space = Space()
    space.set("a", {"f": np.float32(0.5), "v": np.arange(3), "t": (1, (2, 3))}, timestamp=1)
    got = space.get("a")
    assert got == {"f": 0.5, "v": [0, 1, 2], "t": [1, [2, 3]]}
    assert type(got["f"]) is float and type(got["v"][0]) is int


# The loader only ever calls json.loads: whatever the text holds comes back as plain data.
HOSTILE_SPACE_FILES = [
    ("[" * 50_000 + "]" * 50_000, ValueError, "nested too deeply"),
    ('{"a": ' + "9" * 5000 + "}", ValueError, "space file"),
    ("[1, 2, 3]", ValueError, "JSON object"),
    ('"__import__(\'os\').system(\'touch pwned\')"', ValueError, "JSON object"),
    ('{"": 1}', TypeError, "non-empty strings"),
    ('{"a": 1', json.JSONDecodeError, "is not JSON"),
    ("{'a': 1}", json.JSONDecodeError, "is not JSON"),
]


@pytest.mark.parametrize("text, error, fragment", HOSTILE_SPACE_FILES, ids=range(len(HOSTILE_SPACE_FILES)))
def test_hostile_space_files_are_refused_naming_the_file(tmp_path, monkeypatch, text, error, fragment):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "hostile.json"
    path.write_text(text)
    with pytest.raises(error, match=fragment) as info:
        Space.from_json(path)
    assert "hostile.json" in str(info.value)
    assert not (tmp_path / "pwned").exists()


def test_code_like_content_stays_inert_data(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    payload = {
        "q01.freq": {"__reduce__": ["os.system", ["touch pwned"]], "__class__": "Space"},
        "__import__('os').system('touch pwned')": "eval('1+1')",
        "q01.x_amp": "!!python/object/apply:os.system ['touch pwned']",
    }
    path = tmp_path / "space.json"
    path.write_text(json.dumps(payload))
    space = Space.from_json(path)
    assert space.snapshot() == payload
    assert not (tmp_path / "pwned").exists()


@pytest.mark.parametrize("entities", [[1], ["q01", ""], 5, [None]])
def test_group_refuses_bad_entities(entities):
    with pytest.raises(TypeError, match="entit"):
        Group("g", entities=entities)
