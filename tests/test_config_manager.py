"""The option manager: definitions, checked input, validation, copies."""

import copy
import pickle

import numpy as np
import pytest

from varnok_client.utils.config_manager import ConfigManager


@pytest.fixture
def manager():
    m = ConfigManager()
    m.add_item("shots", int, default=1024, minimum=0, maximum=10_000_000, description="shots")
    m.add_item("seed", (int, None))
    m.add_item("amp", float, default=0.5, minimum=0.0, maximum=1.0)
    m.add_item("mode", str, default="fast", choices=["fast", "slow"])
    m.add_item("flag", bool, default=False)
    return m


def test_definitions_keep_their_order_and_fields(manager):
    items = manager.config_items
    assert list(items) == ["shots", "seed", "amp", "mode", "flag"]
    assert items["shots"] == {
        "name": "shots", "type": (int,), "default": 1024, "description": "shots", "choices": None,
        "minimum": 0, "maximum": 10_000_000, "required": False,
    }
    assert items["seed"]["type"] == (int, None)


@pytest.mark.parametrize(
    "key, value, stored",
    [
        ("shots", 0, 0),
        ("shots", 10_000_000, 10_000_000),
        ("shots", np.int64(7), 7),
        ("seed", None, None),
        ("seed", 42, 42),
        ("amp", 1, 1.0),
        ("amp", np.float32(0.25), 0.25),
        ("mode", "slow", "slow"),
        ("flag", np.bool_(True), True),
    ],
)
def test_accepted_input_is_stored_as_plain_values(manager, key, value, stored):
    manager.input(key, value)
    result = manager.user_input[key]
    assert result == stored and type(result) is type(stored)


@pytest.mark.parametrize(
    "key, value, error",
    [
        ("shots", "10", TypeError),
        ("shots", 1.5, TypeError),
        ("shots", True, TypeError),
        ("shots", None, TypeError),
        ("seed", 1.0, TypeError),
        ("flag", 1, TypeError),
        ("shots", -1, ValueError),
        ("shots", 10_000_001, ValueError),
        ("amp", 1.5, ValueError),
        ("amp", float("nan"), ValueError),
        ("mode", "medium", ValueError),
    ],
)
def test_refused_input_names_key_and_value_and_keeps_the_old_value(manager, key, value, error):
    manager.input("shots", 5)
    with pytest.raises(error) as info:
        manager.input(key, value)
    assert repr(key) in str(info.value) and repr(value) in str(info.value)
    assert manager.user_input == {"shots": 5}


def test_unknown_key_is_a_key_error_naming_it(manager):
    with pytest.raises(KeyError, match="'nshots'"):
        manager.input("nshots", 1)


def test_later_input_replaces_earlier_and_values_merge_defaults(manager):
    manager.input("shots", 10)
    manager.input("seed", 3)
    manager.input("shots", 20)
    assert manager.user_input == {"shots": 20, "seed": 3}
    assert manager.values == {"shots": 20, "seed": 3, "amp": 0.5, "mode": "fast", "flag": False}


def test_user_input_is_a_fresh_copy_each_read():
    m = ConfigManager()
    m.add_item("levels", list)
    m.input("levels", [1, 2])
    first = m.user_input
    first["levels"].append(3)
    first["other"] = 1
    assert m.user_input == {"levels": [1, 2]}
    assert m.user_input is not m.user_input


def test_validate_requires_required_items_and_runs_cross_checks():
    m = ConfigManager()
    m.add_item("low", float, required=True)
    m.add_item("high", float, default=1.0)

    with pytest.raises(ValueError, match="'low'"):
        m.validate()

    def ordered(values):
        if values["low"] > values["high"]:
            raise ValueError("low must not exceed high")

    m.add_check(ordered)
    m.input("low", 2.0)
    with pytest.raises(ValueError, match="must not exceed"):
        m.validate()
    m.input("high", 3.0)
    assert m.validate() is None


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"name": "shots", "type": int}, ValueError),
        ({"name": "", "type": int}, TypeError),
        ({"name": "x", "type": "int"}, TypeError),
        ({"name": "x", "type": int, "default": "a"}, TypeError),
        ({"name": "x", "type": int, "default": 5, "maximum": 4}, ValueError),
        ({"name": "x", "type": int, "minimum": 5, "maximum": 4}, ValueError),
    ],
)
def test_bad_definitions_are_refused(manager, kwargs, error):
    with pytest.raises(error):
        manager.add_item(**kwargs)


def test_config_items_cannot_be_corrupted_through_a_read(manager):
    manager.config_items["shots"]["maximum"] = 1
    manager.input("shots", 100)
    assert manager.user_input["shots"] == 100


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))])
def test_manager_copies_and_pickles_independently(manager, clone):
    manager.input("seed", 7)
    other = clone(manager)
    assert other.config_items == manager.config_items
    assert other.user_input == {"seed": 7}
    other.input("seed", 8)
    assert manager.user_input == {"seed": 7}


@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        ({"type": str, "minimum": 0}, TypeError, "numeric type"),
        ({"type": (int, str), "maximum": 3}, TypeError, "numeric type"),
        ({"type": int, "minimum": "0"}, TypeError, "minimum must be a number"),
        ({"type": int, "maximum": True}, TypeError, "maximum must be a number"),
        ({"type": float, "minimum": float("nan")}, ValueError, "NaN"),
        ({"type": str, "choices": "abc"}, TypeError, "choices"),
        ({"type": str, "choices": 5}, TypeError, "choices"),
        ({"type": int, "required": "yes"}, TypeError, "required"),
    ],
)
def test_definitions_that_could_not_check_input_are_refused(kwargs, error, fragment):
    manager = ConfigManager()
    with pytest.raises(error, match=fragment) as info:
        manager.add_item("opt", **kwargs)
    assert "'opt'" in str(info.value)
    assert manager.config_items == {}


@pytest.mark.parametrize("key", [["shots"], None, 3])
def test_non_string_keys_are_unknown_options(manager, key):
    with pytest.raises(KeyError, match="unknown option"):
        manager.input(key, 1)
    assert manager.user_input == {}
