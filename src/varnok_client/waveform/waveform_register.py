"""The registry of waveform shapes, shared as :data:`waveform_register`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .shapes import JSON_SCALARS, Cosine, Drag, Gaussian, Square, Waveform

__all__ = ["WaveformRegister", "waveform_register"]

_WAVE_FIELDS = {
    "shape",
    "channel",
    "name",
    "t0",
    "ratio",
    "wave_parameters",
    "waveform_compiler_config",
}


class WaveformRegister:
    """Maps shape names to waveform classes and builds waveforms from them."""

    def __init__(self) -> None:
        self._shapes: dict[str, type[Waveform]] = {}
        #: The group whose waveforms were loaded last (None before any).
        self.group: Any = None

    def register(self, shape: str, cls: type[Waveform]) -> None:
        """Register ``cls`` under ``shape``, replacing any class of that name.

        The class's own ``shape`` attribute is what serialized circuits record,
        so it must be empty (it is then set) or equal ``shape``.
        """
        if not isinstance(shape, str) or not shape:
            raise TypeError(f"shape name must be a non-empty string, got {shape!r}")
        if not (isinstance(cls, type) and issubclass(cls, Waveform)) or cls is Waveform:
            raise TypeError(f"{cls!r} is not a Waveform subclass")
        if cls.shape and cls.shape != shape:
            raise ValueError(
                f"{cls.__name__} is the {cls.shape!r} shape, not {shape!r}"
            )
        cls.shape = shape
        self._shapes[shape] = cls

    def shapes(self) -> list[str]:
        """Names of the registered shapes, in registration order."""
        return list(self._shapes)

    def get(self, shape: str) -> type[Waveform]:
        """The class registered as ``shape``; KeyError naming it when there is none."""
        try:
            return self._shapes[shape]
        except (KeyError, TypeError):
            raise KeyError(
                f"unknown waveform shape {shape!r}; registered: {', '.join(self._shapes)}"
            ) from None

    def create(
        self,
        shape: str,
        channel: str,
        name: str | None = None,
        t0: float = 0.0,
        ratio: float = 1.0,
        **wave_parameters: Any,
    ) -> Waveform:
        """A new waveform of a registered shape."""
        return self.get(shape)(
            channel, name=name, t0=t0, ratio=ratio, **wave_parameters
        )

    def from_dict(self, data: Any) -> Waveform:
        """Rebuild a waveform from :meth:`Waveform.to_dict` output, checking every field."""
        if not isinstance(data, Mapping):
            raise TypeError(
                f"a serialized waveform must be a mapping, got {type(data).__name__}"
            )
        missing = _WAVE_FIELDS - set(data)
        extra = set(data) - _WAVE_FIELDS
        if missing or extra:
            raise ValueError(
                f"serialized waveform fields wrong: missing {sorted(missing)}, unexpected {sorted(extra)}"
            )
        for field in ("t0", "ratio"):
            value = data[field]
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"waveform {field} must be a number, got {value!r}")
        params = _json_mapping(data["wave_parameters"], "wave_parameters")
        config = _json_mapping(
            data["waveform_compiler_config"], "waveform_compiler_config"
        )
        return self.get(data["shape"])(
            data["channel"],
            name=data["name"],
            t0=data["t0"],
            ratio=data["ratio"],
            waveform_compiler_config=config,
            **params,
        )

    def load_waveforms_for_group(self, group: Any) -> list[str]:
        """Make the registry serve ``group`` and return the shapes available to it.

        The built-in shapes are device independent, so every group gets all of
        them; a device that brings its own shapes registers them here.
        """
        self.group = group
        return self.shapes()


def _json_mapping(value: Any, what: str) -> dict[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{what} must be a mapping, got {type(value).__name__}")
    out: dict[str, Any] = {}
    for key, item in value.items():
        if not isinstance(key, str):
            raise TypeError(f"{what} keys must be strings, got {key!r}")
        if not _is_json_value(item):
            # No repr of the value: it may be nested beyond what repr can walk.
            raise TypeError(
                f"{what}[{key!r}] is not plain JSON data nested at most "
                f"{MAX_JSON_DEPTH} levels (got a {type(item).__name__})"
            )
        out[key] = item
    return out


#: Deepest nesting accepted inside a serialized compiler configuration.
MAX_JSON_DEPTH = 100


def _is_json_value(value: Any) -> bool:
    """Whether ``value`` is plain JSON data (walked without recursion, depth-limited)."""
    stack = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, JSON_SCALARS):
            continue
        if depth >= MAX_JSON_DEPTH:
            return False
        if isinstance(item, list):
            stack.extend((v, depth + 1) for v in item)
        elif isinstance(item, dict):
            for k, v in item.items():
                if not isinstance(k, str):
                    return False
                stack.append((v, depth + 1))
        else:
            return False
    return True


waveform_register = WaveformRegister()
for _cls in (Square, Gaussian, Drag, Cosine):
    waveform_register.register(_cls.shape, _cls)
del _cls
