"""Option definitions and the values a user gives for them.

Plug-ins define options on an experiment's :class:`ConfigManager`
(``add_item``); users then ``input`` values, which are checked against the
definition at once, and ``validate`` checks the whole set (required options,
cross checks).  The manager holds only plain data, so it deep-copies and
pickles with the experiment that owns it.
"""

from __future__ import annotations

import copy
import math
import numbers
from collections.abc import Iterable
from typing import Any, Callable, Mapping

import numpy as np

__all__ = ["ConfigManager"]

_MISSING = object()
# ``add_item`` takes a parameter named ``type``; keep the builtin reachable.
_type_of = type


def _is_integer(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _normalise_types(type_: Any) -> tuple[type | None, ...]:
    """The accepted types of an item as a tuple; None stands for the value None."""
    entries = tuple(type_) if isinstance(type_, (tuple, list)) else (type_,)
    if not entries:
        raise ValueError("an option needs at least one accepted type")
    result: list[type | None] = []
    for entry in entries:
        if entry is None or entry is type(None):
            result.append(None)
        elif isinstance(entry, type):
            result.append(entry)
        else:
            raise TypeError(f"option type must be a type, None or a tuple of them, got {entry!r}")
    return tuple(result)


def _type_names(types: tuple[type | None, ...]) -> str:
    return " or ".join("None" if entry is None else entry.__name__ for entry in types)


def _coerce(value: Any, types: tuple[type | None, ...]) -> Any:
    """``value`` as one of ``types``, or _MISSING when it is none of them.

    Booleans are not taken for numbers, integers are taken for floats, and
    numpy scalars are turned into the matching Python numbers so that stored
    options stay plain data.
    """
    if value is None:
        return None if None in types else _MISSING
    for entry in types:
        if entry is None:
            continue
        if entry is bool:
            if isinstance(value, (bool, np.bool_)):
                return bool(value)
            continue
        if entry is int:
            if _is_integer(value):
                return int(value)
            continue
        if entry is float:
            if _is_integer(value) or (isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))):
                return float(value)
            continue
        if isinstance(value, entry):
            return value
    return _MISSING


class ConfigManager:
    """Option definitions (``config_items``) and accepted user values (``user_input``).

    A definition is a dictionary with the keys ``name``, ``type`` (a tuple of
    accepted types, None standing for the value None), ``default``,
    ``description``, ``choices``, ``minimum``, ``maximum`` and ``required``.
    """

    def __init__(self) -> None:
        self._items: dict[str, dict[str, Any]] = {}
        self._values: dict[str, Any] = {}
        self._checks: list[Callable[[dict[str, Any]], None]] = []

    # -- definitions -------------------------------------------------------

    def add_item(
        self,
        name: str,
        type: Any,
        default: Any = None,
        description: str = "",
        choices: Iterable[Any] | None = None,
        minimum: Any = None,
        maximum: Any = None,
        required: bool = False,
    ) -> None:
        """Define the option ``name``.

        ``type`` is a type, None, or a tuple of them (``(int, None)`` for an
        integer that may be left unset).  A default other than None must pass
        the option's own checks.

        Raises:
            ValueError: ``name`` is already defined, the bounds are crossed or
                the default breaks the definition.
            TypeError: ``name`` is not a non-empty string or ``type`` is not a type.
        """
        if not isinstance(name, str) or not name:
            raise TypeError(f"option name must be a non-empty string, got {name!r}")
        if name in self._items:
            raise ValueError(f"option {name!r} is already defined")
        types = _normalise_types(type)
        for bound_name, bound in (("minimum", minimum), ("maximum", maximum)):
            if bound is None:
                continue
            if isinstance(bound, (bool, np.bool_)) or not isinstance(bound, numbers.Real):
                raise TypeError(f"option {name!r}: {bound_name} must be a number, got {bound!r}")
            if isinstance(bound, float) and math.isnan(bound):
                raise ValueError(f"option {name!r}: {bound_name} must not be NaN")
            if not all(entry in (None, int, float) for entry in types):
                raise TypeError(
                    f"option {name!r}: a {bound_name} needs a numeric type (int or float), "
                    f"not {_type_names(types)}"
                )
        if isinstance(choices, (str, bytes)) or (
            choices is not None and not isinstance(choices, Iterable)
        ):
            raise TypeError(f"option {name!r}: choices must be a list of values, got {choices!r}")
        if not isinstance(required, (bool, np.bool_)):
            raise TypeError(f"option {name!r}: required must be True or False, got {required!r}")
        if minimum is not None and maximum is not None and minimum > maximum:
            raise ValueError(f"option {name!r}: minimum {minimum!r} is above maximum {maximum!r}")
        item = {
            "name": name,
            "type": types,
            "default": None,
            "description": str(description),
            "choices": None if choices is None else list(choices),
            "minimum": minimum,
            "maximum": maximum,
            "required": bool(required),
        }
        if default is not None:
            item["default"] = self._check_value(item, default)
        self._items[name] = item

    @property
    def config_items(self) -> dict[str, dict[str, Any]]:
        """Option name → definition dictionary, in definition order (a copy)."""
        return copy.deepcopy(self._items)

    def add_check(self, check: Callable[[dict[str, Any]], None]) -> None:
        """Add a cross check run by :meth:`validate`.

        ``check`` receives the effective values (:attr:`values`) and raises
        (preferably ``ValueError``) to refuse them.  It must be picklable for
        the manager to stay picklable.
        """
        if not callable(check):
            raise TypeError("a check must be callable")
        self._checks.append(check)

    # -- values ------------------------------------------------------------

    def _check_value(self, item: Mapping[str, Any], value: Any) -> Any:
        key = item["name"]
        types = item["type"]
        coerced = _coerce(value, types)
        if coerced is _MISSING:
            raise TypeError(
                f"option {key!r}: expected {_type_names(types)}, got {value!r} ({_type_of(value).__name__})"
            )
        if coerced is None:
            return None
        choices = item["choices"]
        if choices is not None and coerced not in choices:
            raise ValueError(f"option {key!r}: {value!r} is not one of {choices!r}")
        minimum, maximum = item["minimum"], item["maximum"]
        if minimum is not None or maximum is not None:
            if isinstance(coerced, float) and math.isnan(coerced):
                raise ValueError(f"option {key!r}: {value!r} is not a number")
            if minimum is not None and coerced < minimum:
                raise ValueError(f"option {key!r}: {value!r} is below the minimum {minimum!r}")
            if maximum is not None and coerced > maximum:
                raise ValueError(f"option {key!r}: {value!r} is above the maximum {maximum!r}")
        return copy.deepcopy(coerced)

    def input(self, key: str, value: Any) -> None:
        """Accept ``value`` for option ``key``; a later input replaces an earlier one.

        Raises:
            KeyError: ``key`` is not a defined option.
            TypeError: ``value`` has the wrong type.
            ValueError: ``value`` is outside the choices or bounds.
        """
        if not isinstance(key, str) or key not in self._items:
            raise KeyError(f"unknown option {key!r}")
        self._values[key] = self._check_value(self._items[key], value)

    def clear_input(self) -> None:
        """Forget every value input so far."""
        self._values.clear()

    @property
    def user_input(self) -> dict[str, Any]:
        """The accepted user values, option name → value, in input order.

        A new dictionary (with copied values) on every read, so callers can
        keep or edit it without affecting the manager.
        """
        return copy.deepcopy(self._values)

    @property
    def values(self) -> dict[str, Any]:
        """Every option's effective value: the user's if given, else its default."""
        result = {name: item["default"] for name, item in self._items.items()}
        result.update(self._values)
        return copy.deepcopy(result)

    def validate(self) -> None:
        """Check that every required option was input, then run the cross checks.

        Raises:
            ValueError: required options are missing (all are named).
            Exception: whatever a cross check raises.
        """
        missing = [name for name, item in self._items.items() if item["required"] and name not in self._values]
        if missing:
            raise ValueError("missing required option(s): " + ", ".join(repr(name) for name in missing))
        values = self.values
        for check in self._checks:
            check(values)

    def __repr__(self) -> str:
        return f"ConfigManager(items={list(self._items)!r}, user_input={self._values!r})"

