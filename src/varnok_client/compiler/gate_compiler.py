"""The default gate compiler: standard gates from a group's calibration.

Calibration keys per entity ``E`` (read through ``group.get_parameter`` at the
requested timestamp, so temporary parameters take part):

- drive gates (``I``, ``X``, ``Y``, ``X/2``, ``Y/2``, ``-X/2``, ``-Y/2``): a
  ``drag`` pulse on channel ``E.xy`` from ``E.x_amp``, ``E.x_width``,
  ``E.freq`` (required) and ``E.x_sigma``, ``E.drag_beta`` (optional: width/4
  and no derivative term).  Half-turns take half the amplitude; the rotation
  axis sets the pulse phase (X 0, Y π/2, -X π, -Y -π/2); ``I`` is an idle of
  one pulse width (amplitude 0).
- ``M``: a ``square`` pulse on ``E.ro`` from ``E.ro_amp``, ``E.ro_width`` and
  ``E.ro_freq``.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..waveform import WaveCircuit, Waveform, WavePackage
from ..waveform.shapes import real_value
from ..waveform.waveform_register import waveform_register

__all__ = ["GateCompiler", "DRIVE_GATES"]

#: Drive gate -> (phase of the rotation axis in rad, fraction of the pi-pulse amplitude).
DRIVE_GATES: dict[str, tuple[float, float]] = {
    "I": (0.0, 0.0),
    "X": (0.0, 1.0),
    "Y": (math.pi / 2, 1.0),
    "X/2": (0.0, 0.5),
    "Y/2": (math.pi / 2, 0.5),
    "-X/2": (math.pi, 0.5),
    "-Y/2": (-math.pi / 2, 0.5),
}


class _Missing(Exception):
    """A required calibration key has no value."""


_REQUIRED: Any = object()


class GateCompiler:
    """Turns ``(gate_name, entity)`` into waveforms using ``group``'s calibration."""

    compiler_name = "default"

    def __init__(self, group: Any = None) -> None:
        self.group = group

    def compile(
        self, gate_on_entity: tuple[str, Any], timestamp: int | None = None
    ) -> WavePackage | None:
        """A wave package realising the gate, or None when this compiler cannot realise it.

        Raises:
            TypeError: ``gate_on_entity`` is not a ``(gate name, entity)`` pair
                or ``timestamp`` is neither an integer nor None.
        """
        if not isinstance(gate_on_entity, (tuple, list)) or len(gate_on_entity) != 2:
            raise TypeError(
                f"a gate to compile is a (gate name, entity) pair, got {gate_on_entity!r}"
            )
        gate_name, entity = gate_on_entity
        if not isinstance(gate_name, str):
            raise TypeError(f"gate name must be a string, got {gate_name!r}")
        if timestamp is not None and (
            isinstance(timestamp, bool) or not isinstance(timestamp, (int, np.integer))
        ):
            raise TypeError(f"timestamp must be integer milliseconds or None, got {timestamp!r}")
        waves = self.gate_waves(gate_name, entity, timestamp)
        if not waves:
            return None
        circuit = WaveCircuit()
        circuit.add_gate((gate_name, entity), 0, waves)
        return circuit.export_wave_package()

    def gate_waves(
        self, gate_name: str, entity: Any, timestamp: int | None = None
    ) -> list[Waveform] | None:
        """The waveforms of one gate, or None (no group, unknown gate, multi-entity, missing key)."""
        if self.group is None or not isinstance(entity, str):
            return None
        try:
            if gate_name in DRIVE_GATES:
                return [self._drive(gate_name, entity, timestamp)]
            if gate_name == "M":
                return [self._measure(entity, timestamp)]
        except _Missing:
            return None
        return None

    def _read(self, key: str, timestamp: int | None, default: Any = _REQUIRED) -> Any:
        try:
            value = self.group.get_parameter(key, timestamp)
        except KeyError:
            if default is _REQUIRED:
                raise _Missing(key) from None
            return default
        if value is None:
            return None
        return real_value(value, f"calibration value {key!r}")

    def _drive(self, gate_name: str, entity: str, timestamp: int | None) -> Waveform:
        axis, fraction = DRIVE_GATES[gate_name]
        return waveform_register.create(
            "drag",
            f"{entity}.xy",
            name="drive",
            amp=fraction * self._read(f"{entity}.x_amp", timestamp),
            width=self._read(f"{entity}.x_width", timestamp),
            freq=self._read(f"{entity}.freq", timestamp),
            phase=axis,
            sigma=self._read(f"{entity}.x_sigma", timestamp, None),
            beta=self._read(f"{entity}.drag_beta", timestamp, 0.0),
        )

    def _measure(self, entity: str, timestamp: int | None) -> Waveform:
        return waveform_register.create(
            "square",
            f"{entity}.ro",
            name="readout",
            amp=self._read(f"{entity}.ro_amp", timestamp),
            width=self._read(f"{entity}.ro_width", timestamp),
            freq=self._read(f"{entity}.ro_freq", timestamp),
        )

    def __repr__(self) -> str:
        return f"{type(self).__name__}(group={self.group!r})"
