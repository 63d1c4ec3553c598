"""The option manager: definitions, checked input, required items, copies."""

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


@pytest.mark.parametrize("key, value, outcome", [
    ("shots", 10_000_000, 10_000_000), ("shots", np.int64(7), 7), ("seed", None, None), ("amp", 1, 1.0),
    ("amp", np.float32(0.25), 0.25), ("mode", "slow", "slow"), ("flag", np.bool_(True), True),
    ("shots", "10", TypeError), ("shots", 1.5, TypeError), ("shots", True, TypeError), ("shots", None, TypeError),
    ("seed", 1.0, TypeError), ("flag", 1, TypeError), ("shots", -1, ValueError), ("shots", 10_000_001, ValueError),
    ("amp", float("nan"), ValueError), ("mode", "medium", ValueError), ("nshots", 1, KeyError),
    (["shots"], 1, KeyError),
])
def test_input_is_stored_as_plain_values_or_refused_naming_key_and_value(manager, key, value, outcome):
    manager.input("seed", 5)
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome) as info:
            manager.input(key, value)
        assert repr(key) in str(info.value) and (outcome is KeyError or repr(value) in str(info.value))
        assert manager.user_input == {"seed": 5}
    else:
        manager.input(key, value)
        assert manager.user_input[key] == outcome and type(manager.user_input[key]) is type(outcome)


def test_definitions_keep_order_and_later_input_replaces_earlier_over_defaults(manager):
    assert list(manager.config_items) == ["shots", "seed", "amp", "mode", "flag"]
    assert manager.config_items["shots"] == {"name": "shots", "type": (int,), "default": 1024, "description": "shots",
                                             "choices": None, "minimum": 0, "maximum": 10_000_000, "required": False}
    manager.config_items["shots"]["maximum"] = 1  # reads are copies: the definition stays intact
    for key, value in [("shots", 10), ("seed", 3), ("shots", 20)]:
        manager.input(key, value)
    assert manager.user_input == {"shots": 20, "seed": 3}
    assert manager.values == {"shots": 20, "seed": 3, "amp": 0.5, "mode": "fast", "flag": False}
    manager.user_input["shots"] = 1
    assert manager.user_input["shots"] == 20


def test_validate_requires_required_items():
    m = ConfigManager()
    m.add_item("low", float, required=True)
    with pytest.raises(ValueError, match="'low'"):
        m.validate()
    m.input("low", 2.0)
    assert m.validate() is None


@pytest.mark.parametrize("name, kwargs, error", [
    ("shots", {"type": int}, ValueError), ("", {"type": int}, TypeError), ("x", {"type": "int"}, TypeError),
    ("x", {"type": int, "default": "a"}, TypeError), ("x", {"type": int, "default": 5, "maximum": 4}, ValueError),
    ("x", {"type": int, "minimum": 5, "maximum": 4}, ValueError), ("x", {"type": str, "minimum": 0}, TypeError),
    ("x", {"type": int, "maximum": True}, TypeError), ("x", {"type": float, "minimum": float("nan")}, ValueError),
    ("x", {"type": str, "choices": "abc"}, TypeError), ("x", {"type": int, "required": "yes"}, TypeError),
])
def test_definitions_that_could_not_check_input_are_refused(manager, name, kwargs, error):
    with pytest.raises(error):
        manager.add_item(name, **kwargs)
    assert list(manager.config_items) == ["shots", "seed", "amp", "mode", "flag"]
