"""Wave gates and circuits of them laid out in layers.

Timing: layers run one after another in increasing layer number; a layer
lasts as long as its longest gate; a gate lasts until the latest end
(``t0 + duration``) of its waveforms, ``t0`` being counted from the start of
the gate's layer.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from ..qc.gates import QuantumGate, check_entities, check_gate_name
from . import waveform_register as _register_module
from .package import MAX_EXPORT_SAMPLES, WavePackage
from .shapes import (
    _PLAIN_SHAPES,
    _PLAIN_VALUES,
    Waveform,
    _placed_copy,
    next_export,
    place_samples,
    real_value,
    scaled_samples,
)

__all__ = ["WaveCircuit", "WaveGate"]

_FORMAT = "varnok.wave_circuit"
_VERSION = 1
_GATE_FIELDS = {"id", "gate_name", "entity", "layer", "waves"}


def _layer(value: Any) -> int:
    if isinstance(value, bool):
        raise TypeError(f"layer must be an integer, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"layer must be an integer, got {value!r}") from None


_isfinite = math.isfinite


def _grid_index(value: float, step: float, count: int) -> int:
    """Index of the first of ``count`` grid points ``k * step`` at or after ``value``.

    ``count`` when there is none.  It is the index a sorted search of the grid
    array finds, without building the array of values to search for: start
    from the quotient and settle the rounding with the grid points themselves.
    """
    if count == 0:
        return 0
    quotient = value / step
    if not quotient < count:
        index = count
    elif quotient > 0:
        index = math.ceil(quotient)
    else:
        index = 0
    while index > 0 and (index - 1) * step >= value:
        index -= 1
    while index < count and index * step < value:
        index += 1
    return index


#: Export grids by (count, step): the same one or two for every step of a run.
_GRIDS: dict[tuple[int, float], np.ndarray] = {}


def _grid(count: int, step: float) -> np.ndarray:
    """``np.arange(count) * step``, a new array each call (callers own the package's grid)."""
    key = (count, step)
    grid = _GRIDS.get(key)
    if grid is None:
        if len(_GRIDS) >= 4 or count > 1 << 20:
            _GRIDS.clear()
        grid = np.arange(count) * step
        if count > 1 << 20:
            return grid
        grid.flags.writeable = False
        _GRIDS[key] = grid
    return grid.copy()


#: What an export recorded of one placed waveform: itself, copies of its parameters and compiler
#: settings with their value types, its own start, ratio and channel, its placed start and width,
#: its grid span before and after trimming, the samples it added and their carrier and envelope.
_Placed = tuple[Any, ...]


def _record(wave: Waveform, *placement: Any) -> _Placed | None:
    """What the plan of the next export keeps of a placed waveform (see ``_export_again``), or
    None when it holds a value that is not plain and immutable (such a value could change in
    place, and only plain types tell 1.0 from True)."""
    params = wave.wave_parameters
    config = wave.waveform_compiler_config
    start, ratio = wave.t0, wave.ratio
    if type(params) is not dict or type(config) is not dict:
        return None
    kinds = (*map(type, params.values()), *map(type, config.values()))
    if not _PLAIN_VALUES.issuperset(kinds) or type(start) not in _PLAIN_VALUES or type(ratio) not in _PLAIN_VALUES:
        return None
    return (wave, params.copy(), config.copy(), kinds, start, ratio, wave.channel, *placement)


def _parse_gate(gate_on_entity: Any) -> tuple[str, str | list[str]]:
    if isinstance(gate_on_entity, QuantumGate):
        return gate_on_entity.name, check_entities(gate_on_entity.entities)
    if isinstance(gate_on_entity, (tuple, list)) and len(gate_on_entity) == 2:
        name, entity = gate_on_entity
        return check_gate_name(name), check_entities(entity)
    raise TypeError(
        "a gate is given as (name, entity), (name, [entities]) or a QuantumGate, "
        f"got {gate_on_entity!r}"
    )


class WaveGate:
    """One gate on one or more entities, in one layer, carrying its waveforms."""

    def __init__(
        self, gate_on_entity: tuple[str, Any] | QuantumGate, layer: int = 0
    ) -> None:
        self.gate_name, self.entity = _parse_gate(gate_on_entity)
        self.layer = _layer(layer)
        self._waves: list[Waveform] = []

    @property
    def waves(self) -> list[Waveform]:
        """The gate's waveforms; wave ids are their positions in this list."""
        return self._waves

    @waves.setter
    def waves(self, waves: Iterable[Waveform]) -> None:
        # A list is kept as the very object given (a compiler's package shares its waves with
        # the gate it fills); other iterables are collected into a new list.
        if not isinstance(waves, list):
            waves = list(waves)
        for wave in waves:
            if not isinstance(wave, Waveform):
                raise TypeError(f"waves of {self} must be waveforms, got {wave!r}")
        self._waves = waves

    @property
    def entities(self) -> list[str]:
        """The gate's entities as a list, whether it has one or several."""
        return [self.entity] if isinstance(self.entity, str) else list(self.entity)

    @property
    def duration(self) -> float:
        """Time from the gate's start to the end of its latest waveform, in ns."""
        return max((w.end for w in self._waves), default=0.0)

    def search_wave(
        self, wave_name: str | None = None, channel: str | None = None
    ) -> list[int]:
        """Ids of the waveforms with that name and/or on that channel (all when neither is given)."""
        return [
            i
            for i, w in enumerate(self._waves)
            if (wave_name is None or w.name == wave_name)
            and (channel is None or w.channel == channel)
        ]

    def to_dict(self) -> dict[str, Any]:
        """JSON-compatible description (the gate id is added by the circuit)."""
        entity = self.entity if isinstance(self.entity, str) else list(self.entity)
        return {
            "gate_name": self.gate_name,
            "entity": entity,
            "layer": self.layer,
            "waves": [w.to_dict() for w in self._waves],
        }

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, WaveGate):
            return NotImplemented
        return (
            self.gate_name == other.gate_name
            and self.entity == other.entity
            and self.layer == other.layer
            and self._waves == other._waves
        )

    __hash__ = None  # type: ignore[assignment]  # gates are mutable

    def __str__(self) -> str:
        return f"{self.gate_name} on {self.entity} in layer {self.layer}"

    def __repr__(self) -> str:
        return f"WaveGate(({self.gate_name!r}, {self.entity!r}), {self.layer!r}, waves={self._waves!r})"


class WaveCircuit:
    """Wave gates by id (ints in insertion order), laid out in layers."""

    def __init__(self) -> None:
        self._gates: dict[int, WaveGate] = {}
        self._next_id = 0

    def __getstate__(self) -> dict[str, Any]:
        # The plan of the next export refers to this circuit's own objects: copies and pickles
        # start without one.
        state = self.__dict__.copy()
        state.pop("_export_plan", None)
        return state

    @property
    def gates(self) -> dict[int, WaveGate]:
        """The circuit's gates by id, in insertion order."""
        return self._gates

    def add_wave_gate_obj(self, wave_gate: WaveGate, layer: int) -> int:
        """Place ``wave_gate`` itself (not a copy) in ``layer``; return its gate id."""
        if not isinstance(wave_gate, WaveGate):
            raise TypeError(f"expected a WaveGate, got {wave_gate!r}")
        if any(g is wave_gate for g in self._gates.values()):
            raise ValueError(f"gate {wave_gate} is already in this circuit")
        wave_gate.layer = _layer(layer)
        gate_id = self._next_id
        self._gates[gate_id] = wave_gate
        self._next_id += 1
        return gate_id

    def add_gate(
        self,
        gate_on_entity: tuple[str, Any] | QuantumGate,
        layer: int,
        waves: Iterable[Waveform] = (),
    ) -> WaveGate:
        """Build a gate from its description and waveforms, place it and return it."""
        gate = WaveGate(gate_on_entity, layer)
        gate.waves = waves
        self.add_wave_gate_obj(gate, layer)
        return gate

    def search_gates(
        self, entity: str | None = None, layer: int | None = None
    ) -> list[WaveGate]:
        """Gates on ``entity`` (a multi-entity gate lies on each of its entities) in ``layer``.

        Either filter may be left out; results keep insertion order.  An
        entity or layer of another type (the engine passes on what a stored
        script record holds) matches no gate rather than raising, so that the
        caller reports the gate as not found.
        """
        return [
            g
            for g in self._gates.values()
            if (entity is None or entity in g.entities)
            and (layer is None or g.layer == layer)
        ]

    # -- timing --------------------------------------------------------------
    def _measure(
        self,
    ) -> tuple[list[tuple[WaveGate, Waveform, float, float | None]], dict[int, float], float]:
        """Every waveform with its gate, start and width, the layer starts and the circuit's length.

        The built-in shapes have their ``t0`` and ``width`` read (and refused)
        here once, so that an export can place and sample them without reading
        them again; other shapes are timed through their own ``end`` property
        and get ``None`` as their width.
        """
        lengths: dict[int, float] = {}
        found: list[tuple[WaveGate, Waveform, float, float | None]] = []
        for gate in self._gates.values():
            longest = None
            for wave in gate.waves:
                if type(wave) in _PLAIN_SHAPES:
                    start = wave.t0
                    if type(start) is not float or not _isfinite(start):
                        start = wave._real(start, "t0")
                    width = wave.wave_parameters["width"]
                    if type(width) is not float or not _isfinite(width):
                        width = wave._real(width, "wave parameter 'width'")
                    if width < 0:
                        raise ValueError(f"width of {wave!r} must not be negative")
                    end = start + width
                else:
                    start, width, end = 0.0, None, wave.end
                if longest is None or end > longest:
                    longest = end
                found.append((gate, wave, start, width))
            layer = gate.layer
            duration = 0.0 if longest is None else longest  # the gate's duration
            previous = lengths.get(layer, 0.0)
            lengths[layer] = duration if duration > previous else previous
        starts: dict[int, float] = {}
        clock = 0.0
        for layer in sorted(lengths):
            starts[layer] = clock
            clock += lengths[layer]
        return found, starts, clock

    def _layout(self) -> tuple[dict[int, float], float]:
        _, starts, total = self._measure()
        return starts, total

    def layer_starts(self) -> dict[int, float]:
        """Start time in ns of every occupied layer, in layer order."""
        return self._layout()[0]

    @property
    def duration(self) -> float:
        """Length of the whole circuit in ns."""
        return self._layout()[1]

    def export_wave_package(self, sample_rate: float = 2e9) -> WavePackage:
        """Sample the circuit in its current state at ``sample_rate`` samples per second.

        A waveform placed exactly as in the export before, with the same
        parameters, is not sampled again (see ``shapes._RecentSamples``): a
        step of a sweep pays only for the waveforms the step changed.
        """
        if type(sample_rate) is float and _isfinite(sample_rate):
            rate = sample_rate
        else:
            rate = real_value(sample_rate, "sample_rate")
        if rate <= 0:
            raise ValueError(f"sample_rate must be positive, got {sample_rate!r}")
        plan = self.__dict__.get("_export_plan")
        if plan is not None:
            package = self._export_again(plan, rate)
            if package is not None:
                return package
        # A plan for the next export, kept only when every waveform is of a built-in shape.
        self._export_plan = None
        records: list[_Placed] | None = []
        found, starts, total = self._measure()
        for gate, wave, start, width in found:
            if width is None:
                start = wave.start
            if start < 0:
                raise ValueError(
                    f"waveform {wave!r} of gate {gate} starts before its gate"
                )
        step = 1e9 / rate
        # Tolerate rounding so a duration of exactly n samples gives n, not n + 1.
        exact = total / step - 1e-9
        if not exact <= MAX_EXPORT_SAMPLES:
            raise ValueError(
                f"circuit of {total:g} ns at {rate:g} samples/s needs more than "
                f"{MAX_EXPORT_SAMPLES} samples per channel"
            )
        count = max(0, math.ceil(exact))
        times = _grid(count, step)
        next_export()
        # Below the last grid point, the first at or after a time is near the quotient.
        last = (count - 1) * step
        channels: dict[str, np.ndarray] = {}
        placed: list[Waveform] = []
        for gate, wave, start, width in found:
            layer_start = starts[gate.layer]
            if width is None:
                # A shape of its own: copied and sampled through its own methods.
                records = None
                copy = wave.copy()
                copy.t0 = layer_start + wave.start
                placed.append(copy)
                samples = channels.get(copy.channel)
                if samples is None:
                    samples = channels[copy.channel] = np.zeros(count, dtype=complex)
                lo, hi = np.searchsorted(times, [copy.start, copy.end], side="left")
                samples[lo:hi] += copy.sample(times[lo:hi])
                continue
            t0 = layer_start + start
            channel = wave.channel
            samples = channels.get(channel)
            if samples is None:
                samples = channels[channel] = np.zeros(count, dtype=complex)
            # _grid_index of both ends, inline: its first guess is nearly always right.
            end = t0 + width
            lo = math.ceil(t0 / step) if 0.0 < t0 < last else _grid_index(t0, step, count)
            if lo and (lo - 1) * step >= t0 or lo < count and lo * step < t0:
                lo = _grid_index(t0, step, count)
            hi = math.ceil(end / step) if 0.0 < end < last else _grid_index(end, step, count)
            if hi and (hi - 1) * step >= end or hi < count and hi * step < end:
                hi = _grid_index(end, step, count)
            copy, added, first, end, carrier, envelope = place_samples(
                wave, t0, width, samples, times, step, lo, hi
            )
            placed.append(copy)
            if records is not None:
                record = _record(wave, t0, width, lo, hi, added, first, end, carrier, envelope)
                if record is None:
                    records = None
                else:
                    records.append(record)
        package = WavePackage._from_export(channels, times, rate, placed, total)
        if records is not None:
            gates = tuple((gate, gate.layer, gate.waves, len(gate.waves)) for gate in self._gates.values())
            self._export_plan = (rate, gates, count, step, total, tuple(channels), records)
        return package

    def _export_again(self, plan: tuple[Any, ...], rate: float) -> WavePackage | None:
        """The export of a circuit laid out as at its last export, or None when the layout changed.

        The plan records every gate and waveform of the last export with copies of the
        waveform's parameters and compiler settings (all plain values), its start, ratio and
        channel, and where its samples went. When the same gates hold the same waveforms with
        the same starts, widths and channels, the layout is the same: a waveform with every
        value equal and of the same type adds its recorded samples; one whose amplitude alone
        changed scales its recorded carrier and envelope again; any other is sampled afresh.
        """
        p_rate, p_gates, count, step, total, p_channels, records = plan
        gates = self._gates
        if rate != p_rate or len(gates) != len(p_gates):
            return None
        position = 0
        for gate, (p_gate, layer, waves, size) in zip(gates.values(), p_gates):
            if gate is not p_gate or gate.layer != layer or gate.waves is not waves or len(waves) != size:
                return None
            # The records follow the gates and each gate's waves in order.
            for wave in waves:
                if wave is not records[position][0] or type(wave) not in _PLAIN_SHAPES:
                    return None
                position += 1
        times = _grid(count, step)
        next_export()
        channels = {channel: np.zeros(count, dtype=complex) for channel in p_channels}
        placed: list[Waveform] = []
        renewed = records
        for index, record in enumerate(records):
            wave, params, config, kinds, start, ratio, channel, t0, width, lo, hi, added, first, end, carrier, envelope = record
            now_params = wave.wave_parameters
            now_config = wave.waveform_compiler_config
            now_start, now_ratio = wave.t0, wave.ratio
            if (
                type(now_params) is not dict
                or type(now_config) is not dict
                or now_start != start
                or type(now_start) is not type(start)
                or wave.channel != channel
            ):
                return None
            samples = channels[channel]
            same_kinds = (*map(type, now_params.values()), *map(type, now_config.values())) == kinds
            if (
                same_kinds
                and now_config == config
                and now_ratio == ratio
                and type(now_ratio) is type(ratio)
            ):
                if now_params == params:
                    if added is not None:
                        samples[first:end] += added
                    placed.append(_placed_copy(wave, t0))
                    continue
                amp = now_params.get("amp")
                rest = now_params.copy()
                rest["amp"] = params.get("amp")
                if rest == params and carrier is not None and type(ratio) is float and _isfinite(amp):
                    # Only the amplitude changed (a float still, as every kind is unchanged).
                    added = scaled_samples(carrier, envelope, amp * ratio)
                    samples[first:end] += added
                    placed.append(_placed_copy(wave, t0))
                    if renewed is records:
                        renewed = list(records)
                    renewed[index] = (wave, now_params.copy(), *record[2:11], added, *record[12:])
                    continue
            if now_params.get("width") != params.get("width") or type(now_params.get("width")) is not type(
                params.get("width")
            ):
                return None
            now_kinds = (*map(type, now_params.values()), *map(type, now_config.values()))
            if not _PLAIN_VALUES.issuperset(now_kinds) or type(now_ratio) not in _PLAIN_VALUES:
                return None
            copy, added, first, end, carrier, envelope = place_samples(
                wave, t0, width, samples, times, step, lo, hi
            )
            placed.append(copy)
            if renewed is records:
                renewed = list(records)
            renewed[index] = (wave, now_params.copy(), now_config.copy(), now_kinds, now_start, now_ratio,
                              channel, t0, width, lo, hi, added, first, end, carrier, envelope)
        if renewed is not records:
            self._export_plan = (p_rate, p_gates, count, step, total, p_channels, renewed)
        return WavePackage._from_export(channels, times, rate, placed, total)

    # -- serialization -------------------------------------------------------
    def serialize(self) -> dict[str, Any]:
        """A JSON-compatible description that :meth:`deserialize` rebuilds."""
        return {
            "format": _FORMAT,
            "version": _VERSION,
            "gates": [
                {"id": gid, **gate.to_dict()} for gid, gate in self._gates.items()
            ],
        }

    @classmethod
    def deserialize(cls, data: Any) -> WaveCircuit:
        """Rebuild a circuit from :meth:`serialize` output, checking every field."""
        if not isinstance(data, Mapping):
            raise TypeError(
                f"a serialized circuit must be a mapping, got {type(data).__name__}"
            )
        if data.get("format") != _FORMAT or data.get("version") != _VERSION:
            raise ValueError(
                f"not a serialized circuit of format {_FORMAT!r} version {_VERSION}: "
                f"format={data.get('format')!r}, version={data.get('version')!r}"
            )
        gates = data.get("gates")
        if not isinstance(gates, list):
            raise TypeError("serialized circuit 'gates' must be a list")
        circuit = cls()
        for entry in gates:
            if not isinstance(entry, Mapping) or set(entry) != _GATE_FIELDS:
                raise ValueError(
                    f"serialized gate must have exactly the fields {sorted(_GATE_FIELDS)}"
                )
            gate_id = entry["id"]
            if isinstance(gate_id, bool) or not isinstance(gate_id, int) or gate_id < 0:
                raise TypeError(
                    f"gate id must be a non-negative integer, got {gate_id!r}"
                )
            if gate_id in circuit._gates:
                raise ValueError(f"duplicate gate id {gate_id}")
            if not isinstance(entry["waves"], list):
                raise TypeError(f"waves of gate {gate_id} must be a list")
            gate = WaveGate((entry["gate_name"], entry["entity"]), entry["layer"])
            gate.waves = [
                _register_module.waveform_register.from_dict(w) for w in entry["waves"]
            ]
            circuit._gates[gate_id] = gate
            circuit._next_id = max(circuit._next_id, gate_id + 1)
        return circuit

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, WaveCircuit):
            return NotImplemented
        return list(self._gates.items()) == list(other._gates.items())

    __hash__ = None  # type: ignore[assignment]  # circuits are mutable

    def __repr__(self) -> str:
        layers = len({g.layer for g in self._gates.values()})
        return f"WaveCircuit({len(self._gates)} gates in {layers} layers)"
