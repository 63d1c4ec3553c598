"""Waveform shapes.

Every waveform samples to complex IQ values on a time axis in ns::

    s(t) = amp * ratio * envelope(t - t0) * exp(i * (2*pi*(freq + detuning)*t*1e-9 + phase))

for ``t0 <= t < t0 + width`` and 0 elsewhere.  The envelope peaks at 1.  The
carrier runs on the same clock as the time axis (not restarted at each
pulse), so pulses at one frequency keep a fixed phase relation across a
circuit: a device demodulating a channel at its own frequency ``f_q`` sees
``amp*ratio*envelope * exp(i*(phase + 2*pi*(freq + detuning - f_q)*t))``.
``detuning`` comes from ``waveform_compiler_config`` (default 0 Hz).
"""

from __future__ import annotations

import copy
import math
import numbers
from collections.abc import Mapping
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Waveform", "Square", "Gaussian", "Drag", "Cosine", "JSON_SCALARS", "clear_sample_cache"]

#: Parameters every shape has: amplitude, width (ns), carrier (Hz) and phase (rad).
COMMON_PARAMETERS: dict[str, Any] = {
    "amp": 0.0,
    "width": 0.0,
    "freq": 0.0,
    "phase": 0.0,
}
DEFAULT_COMPILER_CONFIG: dict[str, Any] = {"detuning": 0.0}
JSON_SCALARS = (str, int, float, bool, type(None))
_isfinite = math.isfinite


def real_value(value: Any, what: str) -> float:
    """``value`` as a finite float; TypeError/ValueError naming ``what`` otherwise."""
    if type(value) is float and math.isfinite(value):  # the common case, kept cheap
        return value
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {value!r}")
    try:
        out = float(value)
    except OverflowError:
        raise ValueError(f"{what} is too large, got {value!r}") from None
    if not math.isfinite(out):
        raise ValueError(f"{what} must be finite, got {value!r}")
    return out


class Waveform:
    """Base of all waveform shapes; subclasses set ``shape``, ``PARAMETERS`` and ``envelope``."""

    #: The name the shape is registered under (also its name in serialized circuits).
    shape: ClassVar[str] = ""
    #: Shape-specific parameters with their defaults (besides the common ones).
    PARAMETERS: ClassVar[dict[str, Any]] = {}
    #: Parameters that may be None (meaning "derive from the width").
    OPTIONAL: ClassVar[frozenset[str]] = frozenset()
    #: Parameters that must not be negative / must be positive when given.
    NON_NEGATIVE: ClassVar[frozenset[str]] = frozenset({"width"})
    POSITIVE: ClassVar[frozenset[str]] = frozenset()

    def __init__(
        self,
        channel: str,
        name: str | None = None,
        t0: float = 0.0,
        ratio: float = 1.0,
        waveform_compiler_config: Mapping[str, Any] | None = None,
        **wave_parameters: Any,
    ) -> None:
        if type(self) is Waveform:
            raise TypeError("Waveform is abstract; create a registered shape instead")
        if not isinstance(channel, str) or not channel:
            raise TypeError(f"channel must be a non-empty string, got {channel!r}")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"waveform name must be a string or None, got {name!r}")
        params = {**COMMON_PARAMETERS, **self.PARAMETERS}
        unknown = sorted(set(wave_parameters) - set(params))
        if unknown:
            raise TypeError(
                f"{self.shape} waveform has no parameter {', '.join(map(repr, unknown))}; "
                f"its parameters are {', '.join(params)}"
            )
        params.update(wave_parameters)
        for key, value in wave_parameters.items():
            self._check_parameter(key, value)
        real_value(t0, f"t0 of the {self.shape} waveform on {channel!r}")
        real_value(ratio, f"ratio of the {self.shape} waveform on {channel!r}")
        if waveform_compiler_config is not None and not isinstance(
            waveform_compiler_config, Mapping
        ):
            raise TypeError(
                "waveform_compiler_config must be a mapping, got "
                f"{type(waveform_compiler_config).__name__}"
            )
        self.channel = channel
        self.name = name
        self.t0 = t0
        self.ratio = ratio
        self.wave_parameters: dict[str, Any] = params
        self.waveform_compiler_config: dict[str, Any] = {
            **DEFAULT_COMPILER_CONFIG,
            **(waveform_compiler_config or {}),
        }

    # -- parameters --------------------------------------------------------
    def _check_parameter(self, key: str, value: Any) -> None:
        """Refuse a constructor value that could never be sampled."""
        if value is None and key in self.OPTIONAL:
            return
        what = f"wave parameter {key!r} of the {self.shape} waveform"
        number = real_value(value, what)
        if key in self.NON_NEGATIVE and number < 0:
            raise ValueError(f"{what} must not be negative, got {value!r}")
        if key in self.POSITIVE and number <= 0:
            raise ValueError(f"{what} must be positive, got {value!r}")

    def _real(self, value: Any, label: str) -> float:
        # Exports read every parameter of every waveform, so the description of
        # the waveform is only formatted when a value is actually refused.
        if type(value) is float and math.isfinite(value):
            return value
        return real_value(value, f"{label} of {self!r}")

    def parameter(self, key: str) -> float:
        """The wave parameter ``key`` as a finite float."""
        return self._real(self.wave_parameters[key], f"wave parameter {key!r}")

    @property
    def duration(self) -> float:
        """Length of the pulse in ns (its ``width``)."""
        width = self.parameter("width")
        if width < 0:
            raise ValueError(f"width of {self!r} must not be negative")
        return width

    @property
    def start(self) -> float:
        """``t0`` as a float (validated)."""
        return self._real(self.t0, "t0")

    @property
    def end(self) -> float:
        """``t0 + duration`` in ns."""
        return self.start + self.duration

    # -- sampling ----------------------------------------------------------
    def envelope(self, tau: NDArray[np.float64]) -> NDArray[Any]:
        """Unit-peak envelope at ``tau`` ns into the pulse, each within ``[0, width)``."""
        raise NotImplementedError

    def sample(self, times_ns: ArrayLike) -> NDArray[np.complex128]:
        """Complex samples at ``times_ns``; see the module docstring for the formula."""
        t = np.asarray(times_ns, dtype=float)
        out = np.zeros(t.shape, dtype=complex)
        t0, width = self.start, self.duration
        scale = self.parameter("amp") * self._real(self.ratio, "ratio")
        freq = self.parameter("freq") + self._real(
            self.waveform_compiler_config.get("detuning", 0.0), "detuning"
        )
        phase = self.parameter("phase")
        tau = t - t0
        inside = (tau >= 0.0) & (tau < width)
        if t.ndim == 1 and inside.all():
            # Exports hand over exactly the grid points inside the pulse.
            carrier = np.exp(1j * (2.0 * np.pi * freq * 1e-9 * t + phase))
            return scale * self.envelope(tau).astype(complex, copy=False) * carrier
        if inside.any():
            carrier = np.exp(1j * (2.0 * np.pi * freq * 1e-9 * t[inside] + phase))
            out[inside] = scale * self.envelope(tau[inside]) * carrier
        return out

    # -- copying and serialization -------------------------------------------
    def copy(self) -> Waveform:
        """An independent copy (shares no mutable value with this waveform)."""
        # Exports copy every waveform; parameters are nearly always plain
        # numbers, so only containers go through the (slow) deep copy.
        cls = type(self)
        if cls in _PLAIN_SHAPES:
            # The built-in shapes keep all their state in ``__dict__`` and do
            # not customise copying, so a new instance with a copied ``__dict__``
            # is what ``copy.copy`` would build, without its generic dispatch.
            new = object.__new__(cls)
            state = self.__dict__.copy()
            for name, value in state.items():
                if type(value) not in _PLAIN_VALUES and name not in _COPIED_DICTS and not isinstance(
                    value, _IMMUTABLE
                ):
                    state[name] = copy.deepcopy(value)
            state["wave_parameters"] = _copy_dict(self.wave_parameters)
            state["waveform_compiler_config"] = _copy_dict(self.waveform_compiler_config)
            new.__dict__ = state
            return new
        new = copy.copy(self)
        state = vars(self)
        new.wave_parameters = _copy_dict(self.wave_parameters)
        new.waveform_compiler_config = _copy_dict(self.waveform_compiler_config)
        for name, value in state.items():
            if type(value) not in _PLAIN_VALUES and name not in _COPIED_DICTS and not isinstance(
                value, _IMMUTABLE
            ):
                setattr(new, name, copy.deepcopy(value))
        return new

    def to_dict(self) -> dict[str, Any]:
        """A JSON-compatible description, rebuilt by the register's ``from_dict``."""
        return {
            "shape": self.shape,
            "channel": self.channel,
            "name": self.name,
            "t0": _plain(self.t0),
            "ratio": _plain(self.ratio),
            "wave_parameters": {k: _plain(v) for k, v in self.wave_parameters.items()},
            "waveform_compiler_config": {
                k: _plain(v) for k, v in self.waveform_compiler_config.items()
            },
        }

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Waveform):
            return NotImplemented
        return type(self) is type(other) and self._key() == other._key()

    __hash__ = None  # type: ignore[assignment]  # waveforms are mutable

    def _key(self) -> tuple[Any, ...]:
        return (
            self.channel,
            self.name,
            self.t0,
            self.ratio,
            self.wave_parameters,
            self.waveform_compiler_config,
        )

    def __repr__(self) -> str:
        params = ", ".join(f"{k}={v!r}" for k, v in self.wave_parameters.items())
        name = f", name={self.name!r}" if self.name is not None else ""
        return f"{self.shape}({self.channel!r}{name}, t0={self.t0!r}, ratio={self.ratio!r}, {params})"


_IMMUTABLE = (str, int, float, complex, bool, type(None), np.generic)
#: The exact types almost every attribute and parameter has; checked before the isinstance test.
_PLAIN_VALUES = frozenset({float, str, int, bool, type(None)})
_COPIED_DICTS = frozenset({"wave_parameters", "waveform_compiler_config"})


def _copy_dict(mapping: dict[str, Any]) -> dict[str, Any]:
    if type(mapping) is not dict:
        return copy.deepcopy(mapping)
    out = mapping.copy()
    for v in mapping.values():
        if type(v) not in _PLAIN_VALUES:
            # Rare: a container (or numpy value) among the parameters.
            for k, v in mapping.items():
                if type(v) not in _PLAIN_VALUES and not isinstance(v, _IMMUTABLE):
                    out[k] = copy.deepcopy(v)
            break
    return out


def _plain(value: Any) -> Any:
    """Numpy scalars and arrays as plain Python numbers and lists."""
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


class Square(Waveform):
    """Constant amplitude over the whole width."""

    shape = "square"

    def envelope(self, tau: NDArray[np.float64]) -> NDArray[Any]:
        return np.ones_like(tau)

    def _shape_parameters(self, width: float) -> tuple[float, ...]:
        return ()


class Gaussian(Waveform):
    """Gaussian centred in the pulse; ``sigma`` in ns (None: width / 4)."""

    shape = "gaussian"
    PARAMETERS = {"sigma": None}
    OPTIONAL = frozenset({"sigma"})
    POSITIVE = frozenset({"sigma"})

    def sigma(self) -> float:
        """The standard deviation in ns."""
        if self.wave_parameters.get("sigma") is None:
            sigma = self.duration / 4.0
        else:
            sigma = self.parameter("sigma")
        if sigma <= 0:
            raise ValueError(f"sigma of {self!r} must be positive")
        return sigma

    def envelope(self, tau: NDArray[np.float64]) -> NDArray[Any]:
        sigma = self.sigma()
        return self._envelope_at(tau, self.duration, sigma)

    def _shape_parameters(self, width: float) -> tuple[float, ...]:
        return (self.sigma(),)

    @staticmethod
    def _envelope_at(tau: NDArray[np.float64], width: float, sigma: float) -> NDArray[Any]:
        return np.exp(-0.5 * ((tau - width / 2.0) / sigma) ** 2)


class Drag(Gaussian):
    """Gaussian with a derivative quadrature: ``g(tau) + i * beta * g'(tau)``, ``beta`` in ns."""

    shape = "drag"
    PARAMETERS = {"sigma": None, "beta": 0.0}

    def envelope(self, tau: NDArray[np.float64]) -> NDArray[Any]:
        sigma, beta = self.sigma(), self.parameter("beta")
        return self._envelope_at(tau, self.duration, sigma, beta)

    def _shape_parameters(self, width: float) -> tuple[float, ...]:
        return self.sigma(), self.parameter("beta")

    @staticmethod
    def _envelope_at(  # type: ignore[override]
        tau: NDArray[np.float64], width: float, sigma: float, beta: float
    ) -> NDArray[Any]:
        offset = tau - width / 2.0
        gauss = np.exp(-0.5 * (offset / sigma) ** 2)
        return gauss * (1.0 - 1j * beta * offset / sigma**2)


class Cosine(Waveform):
    """Flat top with raised-cosine edges of ``edge`` ns each (None: width / 4).

    An edge longer than half the width is shortened to half the width, which
    gives a full raised-cosine pulse.
    """

    shape = "cosine"
    PARAMETERS = {"edge": None}
    OPTIONAL = frozenset({"edge"})
    NON_NEGATIVE = frozenset({"width", "edge"})

    def envelope(self, tau: NDArray[np.float64]) -> NDArray[Any]:
        width = self.duration
        return self._envelope_at(tau, width, *self._shape_parameters(width))

    def _shape_parameters(self, width: float) -> tuple[float, ...]:
        if self.wave_parameters.get("edge") is None:
            edge = width / 4.0
        else:
            edge = self.parameter("edge")
        if edge < 0:
            raise ValueError(f"edge of {self!r} must not be negative")
        return (min(edge, width / 2.0),)

    @staticmethod
    def _envelope_at(tau: NDArray[np.float64], width: float, edge: float) -> NDArray[Any]:
        env = np.ones_like(tau)
        if edge > 0:
            rise = tau < edge
            env[rise] = 0.5 * (1.0 - np.cos(np.pi * tau[rise] / edge))
            fall = tau > width - edge
            env[fall] = 0.5 * (1.0 - np.cos(np.pi * (width - tau[fall]) / edge))
        return env


#: The built-in shapes, whose sampling exports may do inline (a registered
#: subclass may override any part of it and is sampled through its own methods).
_PLAIN_SHAPES = frozenset({Square, Gaussian, Drag, Cosine})


class _SampleCache:
    """Carriers and envelopes of recent exports, by everything that determines their samples.

    A running experiment exports the same circuit at every step with only a
    few values changed (an amplitude sweep changes neither carrier nor
    envelope), so most pulses find their arrays here.  The cache holds at most
    ``limit`` samples (16 bytes each at most) and is emptied when full; the
    arrays are read-only and never leave the module.
    """

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._entries: dict[tuple[Any, ...], NDArray[Any]] = {}
        self._size = 0
        self.get = self._entries.get

    def put(self, key: tuple[Any, ...], array: NDArray[Any]) -> None:
        size = array.size
        if size > self._limit // 4:
            return
        if self._size + size > self._limit:
            self._entries.clear()
            self._size = 0
        array.flags.writeable = False
        self._entries[key] = array
        self._size += size

    def clear(self) -> None:
        self._entries.clear()
        self._size = 0


_SAMPLES = _SampleCache(1 << 19)


class _RecentSamples:
    """The placed samples of the waveforms of the latest exports, by everything that determines them.

    A running experiment exports its circuit at every step with a few values
    changed; a waveform whose values and place on the grid are those of a
    waveform of the export before is not sampled again, its samples are added
    as they were.  Two generations are kept, what this export placed and what
    the one before placed, and every export drops the older one, so only
    waveforms of the last export are ever found.  A generation holds at most
    ``limit`` samples; the arrays are only ever read, and never leave the module.
    """

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._previous: dict[tuple[Any, ...], NDArray[np.complex128]] = {}
        self._current: dict[tuple[Any, ...], NDArray[np.complex128]] = {}
        self._size = 0

    def next_export(self) -> None:
        self._previous, self._current, self._size = self._current, {}, 0

    def get(self, key: tuple[Any, ...]) -> NDArray[np.complex128] | None:
        """The samples of ``key`` as placed by this export or the one before (kept for the next)."""
        found = self._previous.get(key)
        if found is None:
            return self._current.get(key)
        size = found.size
        if self._size + size <= self._limit:
            self._current[key] = found
            self._size += size
        return found

    def keep(self, key: tuple[Any, ...], found: NDArray[np.complex128]) -> None:
        size = found.size
        if self._size + size <= self._limit:
            self._current[key] = found
            self._size += size

    def clear(self) -> None:
        self._previous, self._current, self._size = {}, {}, 0


_RECENT = _RecentSamples(1 << 19)
next_export = _RECENT.next_export


def clear_sample_cache() -> None:
    """Forget the carriers, envelopes and placed samples kept from earlier exports (frees their memory)."""
    _SAMPLES.clear()
    _RECENT.clear()


def _raw_shape_values(cls: type[Waveform], params: dict[str, Any]) -> tuple[Any, ...] | None:
    """The shape parameters of a built-in shape as given, when all are plain finite floats or None.

    Such values determine the sampled shape exactly as its validated form does
    (a bool, an int or a numpy number equal to a float is not the float), so
    they can stand for it in a cache key.
    """
    names = _SHAPE_PARAMETERS[cls]
    if not names:
        return ()
    out = []
    for name in names:
        value = params.get(name, _MISSING)
        if value is not None and (type(value) is not float or not _isfinite(value)):
            return None
        out.append(value)
    return tuple(out)


_MISSING = object()
#: The attributes of an instance of a built-in shape.
_BASE_ATTRIBUTES = frozenset({"channel", "name", "t0", "ratio", "wave_parameters", "waveform_compiler_config"})
_SHAPE_PARAMETERS = {cls: tuple(cls.PARAMETERS) for cls in _PLAIN_SHAPES}
#: Validated shape parameters (``_shape_parameters``) by shape, given values and width.
_SHAPE_VALUES: dict[tuple[Any, ...], tuple[float, ...]] = {}


def _placed_copy(wave: Waveform, t0: float) -> Waveform:
    """``wave.copy()`` placed at ``t0``, for a built-in shape whose parameters, compiler
    settings, start, ratio and channel are known to be plain immutable values."""
    state = wave.__dict__
    if state.keys() != _BASE_ATTRIBUTES or type(state["name"]) not in _PLAIN_VALUES:
        placed = wave.copy()
        placed.t0 = t0
        return placed
    placed = object.__new__(type(wave))
    state = state.copy()
    state["wave_parameters"] = state["wave_parameters"].copy()
    state["waveform_compiler_config"] = state["waveform_compiler_config"].copy()
    state["t0"] = t0
    placed.__dict__ = state
    return placed


def place_samples(
    wave: Waveform,
    t0: float,
    width: float,
    samples: NDArray[np.complex128],
    times: NDArray[np.float64],
    step: float,
    lo: int,
    hi: int,
) -> tuple[Any, ...]:
    """``samples[lo:hi] += wave.sample(times[lo:hi])`` for a waveform of a built-in shape placed at ``t0``.

    Returns the placed copy (``wave.copy()`` with ``t0`` moved), the samples added (None when
    there are none) with the grid span they cover, and the carrier and envelope they were made
    of (None when they were found made already; the envelope is None for a square pulse).  ``times`` is
    the export grid (point ``k`` at ``k * step``), ``[lo, hi)`` the grid points
    in ``[t0, t0 + width)`` as found by a sorted search, and ``t0``/``width``
    the wave's already checked start and width.  Parameters are read and
    refused in the order :meth:`Waveform.sample` reads them, and the samples
    come from the same floating-point operations on the same values (the
    cosine and sine of the phase are the parts of its complex exponential).

    The samples of a waveform placed as a waveform of the export before, with
    the same values, are added as they were (see :class:`_RecentSamples`);
    carriers and envelopes, which depend only on the grid span and their own
    parameters, are looked up in the cache first.
    """
    params = wave.wave_parameters
    config = wave.waveform_compiler_config
    # Whether every value checked on the way is a plain float, so that (with the few more
    # checks below) the copy needs no deep copies.
    plain = True
    amp = params["amp"]
    if type(amp) is not float or not _isfinite(amp):
        amp = wave._real(amp, "wave parameter 'amp'")
        plain = False
    ratio = wave.ratio
    if type(ratio) is not float or not _isfinite(ratio):
        ratio = wave._real(ratio, "ratio")
        plain = False
    freq = params["freq"]
    if type(freq) is not float or not _isfinite(freq):
        freq = wave._real(freq, "wave parameter 'freq'")
        plain = False
    detuning = config.get("detuning", 0.0)
    if type(detuning) is not float or not _isfinite(detuning):
        detuning = wave._real(detuning, "detuning")
        plain = False
    phase = params["phase"]
    if type(phase) is not float or not _isfinite(phase):
        phase = wave._real(phase, "wave parameter 'phase'")
        plain = False
    cls = type(wave)
    raw = _raw_shape_values(cls, params)
    state = wave.__dict__
    if (
        plain
        and raw is not None
        and type(params) is dict
        and type(config) is dict
        and len(params) == len(raw) + 4
        and (not config or (len(config) == 1 and "detuning" in config))
        and type(params["width"]) is float
        and state.keys() == _BASE_ATTRIBUTES
        and type(state["t0"]) in _PLAIN_VALUES
        and type(state["name"]) in _PLAIN_VALUES
        and type(state["channel"]) is str
    ):
        # Plain numbers, strings and None only, under the keys a built-in shape has: the copy is
        # three dictionary copies.
        placed_wave = object.__new__(cls)
        state = state.copy()
        state["wave_parameters"] = params.copy()
        state["waveform_compiler_config"] = config.copy()
        state["t0"] = t0
        placed_wave.__dict__ = state
    else:
        placed_wave = wave.copy()
        placed_wave.t0 = t0
    scale = amp * ratio
    freq = freq + detuning
    if hi > lo:
        # A grid point before t0 + width can still sit a full width after t0 once
        # the offset is rounded; sampling leaves such points (only ever the last
        # ones) at zero, and when that leaves none the envelope is not evaluated.
        while hi > lo and (hi - 1) * step - t0 >= width:
            hi -= 1
        if hi == lo:
            return placed_wave, None, lo, hi, None, None
    count = hi - lo
    if raw is not None and count:
        # Placed as in the export before: the same samples again.
        placed_key = (cls, raw, t0, width, scale, freq, phase, step, lo, count)
        placed = _RECENT.get(placed_key)
        if placed is not None:
            samples[lo:hi] += placed
            return placed_wave, placed, lo, hi, None, None
    if raw is None:
        shape_parameters = wave._shape_parameters(width)  # type: ignore[attr-defined]
    else:
        # The shape's own parameters from its given ones (and the width) once per new value.
        shape_key = (cls, raw, width)
        shape_parameters = _SHAPE_VALUES.get(shape_key)
        if shape_parameters is None:
            shape_parameters = wave._shape_parameters(width)  # type: ignore[attr-defined]
            if len(_SHAPE_VALUES) >= 1024:
                _SHAPE_VALUES.clear()
            _SHAPE_VALUES[shape_key] = shape_parameters
    if count == 0:
        return placed_wave, None, lo, hi, None, None
    k = 2.0 * np.pi * freq * 1e-9
    key = (None, k, phase, step, lo, count)
    carrier = _SAMPLES.get(key)
    if carrier is None:
        arg = k * times[lo:hi]
        arg += phase
        carrier = np.empty(count, dtype=complex)
        np.cos(arg, out=carrier.real)
        np.sin(arg, out=carrier.imag)
        _SAMPLES.put(key, carrier)
    envelope = None
    if cls is not Square:
        key = (cls, width, shape_parameters, t0, step, lo, count)
        envelope = _SAMPLES.get(key)
        if envelope is None:
            tau = times[lo:hi] - t0
            envelope = cls._envelope_at(tau, width, *shape_parameters)  # type: ignore[attr-defined]
            _SAMPLES.put(key, envelope)
    placed = scaled_samples(carrier, envelope, scale)
    samples[lo:hi] += placed
    if raw is not None:
        _RECENT.keep(placed_key, placed)
    return placed_wave, placed, lo, hi, carrier, envelope


def scaled_samples(
    carrier: NDArray[np.complex128], envelope: NDArray[Any] | None, scale: float
) -> NDArray[np.complex128]:
    """``(scale * envelope) * carrier`` (``scale * carrier`` without an envelope), the products of
    :meth:`Waveform.sample`, in one new array."""
    if envelope is None:
        return carrier * scale
    placed = envelope * scale
    if placed.dtype != carrier.dtype:
        placed = placed.astype(carrier.dtype)
    placed *= carrier
    return placed
