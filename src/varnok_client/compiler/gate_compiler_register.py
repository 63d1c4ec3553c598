"""The registry of gate compilers, shared as :data:`gate_compiler_register`."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .gate_compiler import GateCompiler

__all__ = ["GateCompilerRegister", "gate_compiler_register"]

#: The space key naming a group's compiler, and the name used when it is absent.
COMPILER_KEY = "compiler"
DEFAULT_COMPILER = "default"


class GateCompilerRegister:
    """Maps compiler names to factories ``factory(group) -> gate compiler``."""

    def __init__(self) -> None:
        self._factories: dict[str, Callable[[Any], Any]] = {
            DEFAULT_COMPILER: GateCompiler
        }

    def register(self, name: str, factory: Callable[[Any], Any]) -> None:
        """Register ``factory`` under ``name``, replacing any earlier one."""
        if not isinstance(name, str) or not name:
            raise TypeError(f"compiler name must be a non-empty string, got {name!r}")
        if not callable(factory):
            raise TypeError(f"compiler factory must be callable, got {factory!r}")
        self._factories[name] = factory

    def names(self) -> list[str]:
        """Registered compiler names."""
        return list(self._factories)

    def compiler_name_for(self, group: Any) -> str:
        """The compiler ``group`` asks for under its ``compiler`` key (default when absent)."""
        getter = getattr(group, "get_parameter", None)
        if getter is None:
            return DEFAULT_COMPILER
        try:
            name = getter(COMPILER_KEY)
        except KeyError:
            return DEFAULT_COMPILER
        if not isinstance(name, str):
            raise TypeError(
                f"space key {COMPILER_KEY!r} must name a compiler, got {name!r}"
            )
        return name

    def get_gate_compiler(self, group: Any) -> Any:
        """A new gate compiler for ``group`` (None allowed: the default compiler without a group)."""
        name = self.compiler_name_for(group)
        try:
            factory = self._factories[name]
        except KeyError:
            raise KeyError(
                f"unknown gate compiler {name!r}; registered: {', '.join(self._factories)}"
            ) from None
        return factory(group)


gate_compiler_register = GateCompilerRegister()
