"""Gate descriptions: a gate name applied to one or more entities."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

__all__ = ["QuantumGate", "STANDARD_GATES", "check_gate_name", "check_entities"]

#: Gate names every device is expected to realise through its gate compiler.
STANDARD_GATES: tuple[str, ...] = ("I", "X", "Y", "X/2", "Y/2", "-X/2", "-Y/2", "M")


def check_gate_name(name: Any) -> str:
    """Return ``name`` if it is a usable gate name, else raise TypeError/ValueError."""
    if not isinstance(name, str):
        raise TypeError(f"gate name must be a string, got {name!r}")
    if not name:
        raise ValueError("gate name must not be empty")
    return name


def check_entities(entities: Any) -> str | list[str]:
    """Normalise an entity argument: a string stays a string, a sequence becomes a list."""
    if isinstance(entities, str):
        if not entities:
            raise ValueError("entity name must not be empty")
        return entities
    if isinstance(entities, Sequence) and entities:
        out = list(entities)
        for entity in out:
            if not isinstance(entity, str) or not entity:
                raise TypeError(
                    f"entity names must be non-empty strings, got {entity!r}"
                )
        return out
    raise TypeError(
        f"entities must be a string or a non-empty list of strings, got {entities!r}"
    )


class QuantumGate:
    """A gate ``name`` on ``entities`` (one entity name or a list of them)."""

    def __init__(self, name: str, entities: str | Sequence[str]) -> None:
        self.name = check_gate_name(name)
        self.entities = check_entities(entities)

    @property
    def is_standard(self) -> bool:
        """Whether the gate is one of :data:`STANDARD_GATES`."""
        return self.name in STANDARD_GATES

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, QuantumGate):
            return NotImplemented
        return self.name == other.name and self.entities == other.entities

    __hash__ = None  # type: ignore[assignment]  # entities may be a mutable list

    def __repr__(self) -> str:
        return f"QuantumGate({self.name!r}, {self.entities!r})"
