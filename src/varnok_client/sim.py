"""The simulated device: every experiment runs without hardware.

Each qubit ``qNN`` is a two-level system seen in the frame rotating at
``qNN.freq``.  Its drive channel ``qNN.xy`` carries complex samples
``s(t) = a(t) * exp(i*(2*pi*f*t + phi))`` on the circuit clock; demodulating
at ``qNN.freq`` leaves ``a(t) * exp(i*(phi + 2*pi*(f - qNN.freq)*t))``, which
drives the Hamiltonian

    H(t) = 1/2 * Omega(t) * (cos(phi(t)) * sigma_x + sin(phi(t)) * sigma_y),
    Omega = 2*pi * qNN.drive_strength * |a|.

The drive is held constant over each sample, so every sample is an exact
SU(2) rotation; the rotations of one pulse are composed by a pairwise tree
reduction over numpy arrays (about log2(samples) vectorised passes instead of
one Python-level product per sample).  Between pulses the qubit relaxes:
populations decay with ``qNN.t1`` and coherences with ``qNN.t2`` (seconds; a
missing key means no decay of that kind).  A pulse on the readout channel
``qNN.ro`` measures the qubit at its start: P(|1>) is reported as ``"qNN.p1"``
(later readouts of the same qubit in one step as ``"qNN.p1_2"``, ...), after
the optional assignment errors ``qNN.ro_f0`` / ``qNN.ro_f1`` (probability of
reading 0 in |0> and 1 in |1>), with binomial shot noise over ``shots``.

The device's physics (frequency, drive strength, lifetimes, readout
fidelities) is read from the group's *space*, not through its temporary
parameters: a sweep that overrides ``q01.freq`` changes the pulses the gate
compiler makes, the way it would on hardware, not the qubit itself.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .experiment.result import Result
from .group import Group
from .waveform.shapes import Drag

__all__ = [
    "DEFAULT_SHOTS",
    "QubitModel",
    "SimulatedDevice",
    "SimulationError",
    "carrier_frame",
    "demo_calibration",
    "demo_group",
    "rotation_product",
    "sample_rotations",
]

#: Shots per step when neither the run options nor the experiment set them.
DEFAULT_SHOTS = 1024

_DRIVE_SUFFIX = ".xy"
_READOUT_SUFFIX = ".ro"


class SimulationError(ValueError):
    """The device cannot simulate a step: a missing or unusable device parameter or option."""


# -- SU(2) algebra ------------------------------------------------------------
#
# A rotation is held as the pair (a, b) of U = [[a, -conj(b)], [b, conj(a)]],
# |a|^2 + |b|^2 = 1.  Pairs compose without ever forming the matrices.


def sample_rotations(
    rabi_angle: NDArray[np.complex128],
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """Per-sample rotations for complex Rabi angles ``z = Omega * exp(i*phi) * dt``.

    ``exp(-i * |z|/2 * (cos(phi) sigma_x + sin(phi) sigma_y))`` gives
    ``a = cos(|z|/2)`` and ``b = -i * sin(|z|/2) * z / |z|``; a sample without
    drive (``z = 0``) is the identity.
    """
    z = np.asarray(rabi_angle, dtype=complex)
    theta = np.abs(z)
    half = 0.5 * theta
    a = np.cos(half).astype(complex)
    scale = np.divide(np.sin(half), theta, out=np.full(theta.shape, 0.5), where=theta > 0)
    return a, -1j * scale * z


def carrier_frame(count: int, cycles_per_sample: float) -> NDArray[np.complex128]:
    """``exp(-2*pi*i * cycles_per_sample * k)`` for ``k = 0 .. count-1``.

    Built as an outer product of a short run of phases and a coarse run of
    block phases, so only about ``2*sqrt(count)`` complex exponentials are
    evaluated, each on an argument reduced to one turn (the carrier runs for
    thousands of turns in a microsecond).
    """
    if count == 0:
        return np.zeros(0, dtype=complex)
    block = max(1, math.isqrt(count))
    blocks = -(-count // block)

    def turns(step: float, n: int) -> NDArray[np.complex128]:
        cycles = np.arange(n) * step
        return np.exp(-2j * np.pi * (cycles - np.rint(cycles)))

    fine = turns(cycles_per_sample, block)
    coarse = turns(cycles_per_sample * block, blocks)
    return (coarse[:, None] * fine[None, :]).reshape(-1)[:count]


def rotation_product(
    a: NDArray[np.complex128], b: NDArray[np.complex128]
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """Compose rotations along the last axis, earliest first: ``U[n-1] @ ... @ U[0]``.

    Works on stacks: for arrays of shape ``(..., n)`` it returns arrays of
    shape ``(...)``.  An empty last axis composes to the identity.
    """
    a = np.asarray(a, dtype=complex)
    b = np.asarray(b, dtype=complex)
    if a.shape != b.shape:
        raise ValueError(f"rotation arrays differ in shape: {a.shape} and {b.shape}")
    count = a.shape[-1]
    if count == 0:
        return np.ones(a.shape[:-1], dtype=complex), np.zeros(a.shape[:-1], dtype=complex)
    padded = 1 << (count - 1).bit_length()
    if padded != count:
        # Identities at the latest end, once, so that every pass pairs up evenly.
        a = np.concatenate((a, np.ones(a.shape[:-1] + (padded - count,), dtype=complex)), axis=-1)
        b = np.concatenate((b, np.zeros(b.shape[:-1] + (padded - count,), dtype=complex)), axis=-1)
    while a.shape[-1] > 1:
        a1, a2 = a[..., 0::2], a[..., 1::2]
        b1, b2 = b[..., 0::2], b[..., 1::2]
        a, b = a2 * a1 - np.conj(b2) * b1, b2 * a1 + np.conj(a2) * b1
    return a[..., 0], b[..., 0]


def _segment_rotations(
    a: NDArray[np.complex128],
    b: NDArray[np.complex128],
    starts: NDArray[np.intp],
    ends: NDArray[np.intp],
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """The composed rotation of every sample range ``[start, end)``, all in one reduction."""
    lengths = ends - starts
    offsets = np.arange(int(lengths.max()))
    inside = offsets < lengths[:, None]
    index = np.minimum(starts[:, None] + offsets, a.size - 1)
    return rotation_product(np.where(inside, a[index], 1.0), np.where(inside, b[index], 0.0))


# -- the qubit model -----------------------------------------------------------


def _number(key: str, value: Any, minimum: float | None = None, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise SimulationError(f"device parameter {key!r} must be a number, got {value!r}")
    out = float(value)
    if not math.isfinite(out):
        raise SimulationError(f"device parameter {key!r} must be finite, got {value!r}")
    if positive and out <= 0:
        raise SimulationError(f"device parameter {key!r} must be positive, got {value!r}")
    if minimum is not None and out < minimum:
        raise SimulationError(f"device parameter {key!r} must be at least {minimum:g}, got {value!r}")
    return out


@dataclass(frozen=True)
class QubitModel:
    """The physics of one simulated qubit.

    ``freq`` (Hz) is the frame the drive is demodulated in; ``drive_strength``
    (Hz per unit amplitude) turns a sample amplitude into a Rabi frequency;
    ``t1`` and ``t2`` (s, None: no decay) are the energy and coherence
    lifetimes; ``readout_f0`` / ``readout_f1`` the probabilities of reading
    the state the qubit is in.
    """

    name: str
    freq: float
    drive_strength: float
    t1: float | None = None
    t2: float | None = None
    readout_f0: float = 1.0
    readout_f1: float = 1.0

    def __post_init__(self) -> None:
        if self.t1 is not None and self.t2 is not None and self.t2 > 2.0 * self.t1:
            # Coherences cannot outlive twice the energy lifetime; a larger t2
            # would make the density matrix lose positivity.
            raise SimulationError(
                f"{self.name}.t2 = {self.t2:g} s exceeds 2 * {self.name}.t1 = {2.0 * self.t1:g} s"
            )

    def relax(self, rho: NDArray[np.complex128], seconds: float) -> NDArray[np.complex128]:
        """The density matrix after ``seconds`` without drive (in the rotating frame)."""
        if seconds <= 0:
            return rho
        out = rho.copy()
        if self.t1 is not None:
            kept = math.exp(-seconds / self.t1)
            out[1, 1] = rho[1, 1] * kept
            out[0, 0] = 1.0 - out[1, 1]
        if self.t2 is not None:
            coherence = math.exp(-seconds / self.t2)
        elif self.t1 is not None:
            coherence = math.exp(-seconds / (2.0 * self.t1))
        else:
            coherence = 1.0
        out[0, 1] = rho[0, 1] * coherence
        out[1, 0] = rho[1, 0] * coherence
        return out

    def read(self, p1: float) -> float:
        """Probability of reading 1 when the qubit is in |1> with probability ``p1``."""
        return (1.0 - self.readout_f0) * (1.0 - p1) + self.readout_f1 * p1


def _runs(mask: NDArray[np.bool_], breaks: NDArray[np.bool_]) -> tuple[NDArray[np.intp], NDArray[np.intp]]:
    """Starts and ends of the runs of ``mask``; a run is also cut where ``breaks`` is set."""
    previous = np.concatenate(([False], mask[:-1]))
    start = mask & (~previous | breaks)
    following = np.concatenate((mask[1:] & ~start[1:], [False]))
    return np.flatnonzero(start), np.flatnonzero(mask & ~following) + 1


def evolve_qubit(
    model: QubitModel,
    drive: NDArray[np.complex128] | None,
    readout: NDArray[np.complex128],
    sample_rate: float,
) -> list[float]:
    """P(|1>) of one qubit at the start of each readout pulse, starting from |0>.

    Sample ``k`` of both channels is at ``k / sample_rate`` seconds, the wave
    package grid; the drive carries the carrier on that clock.
    """
    count = readout.size
    dt = 1.0 / sample_rate
    if drive is not None and drive.size != count:
        raise SimulationError(f"drive and readout of {model.name} differ in length: {drive.size} and {count}")
    reads = np.abs(readout) > 0
    read_starts = _runs(reads, np.zeros(count, dtype=bool))[0]
    if read_starts.size == 0:
        return []
    events: list[tuple[int, int, Any]] = [(int(r), 0, None) for r in read_starts]
    if drive is not None:
        driven = np.abs(drive) > 0
        if driven.any():
            cut = np.zeros(count, dtype=bool)
            cut[read_starts] = True
            starts, ends = _runs(driven, cut)
            # Only driven samples need their rotation; the rest are identities.
            where = np.flatnonzero(driven)
            frame = carrier_frame(count, model.freq / sample_rate)
            a = np.ones(count, dtype=complex)
            b = np.zeros(count, dtype=complex)
            a[where], b[where] = sample_rotations(
                (2.0 * np.pi * model.drive_strength * dt) * drive[where] * frame[where]
            )
            seg_a, seg_b = _segment_rotations(a, b, starts, ends)
            events.extend(
                (int(s), 1, (int(e), seg_a[i], seg_b[i])) for i, (s, e) in enumerate(zip(starts, ends))
            )
    # A readout that starts where a pulse starts measures before that pulse.
    events.sort(key=lambda event: (event[0], event[1]))
    rho = np.array([[1.0, 0.0], [0.0, 0.0]], dtype=complex)
    clock = 0
    out: list[float] = []
    for index, kind, payload in events:
        rho = model.relax(rho, (index - clock) * dt)
        clock = index
        if kind == 0:
            p1 = min(1.0, max(0.0, float(rho[1, 1].real)))
            out.append(p1)
            # The measurement leaves the qubit in a mixture of its outcomes.
            rho = np.diag([1.0 - p1, p1]).astype(complex)
        else:
            end, ua, ub = payload
            unitary = np.array([[ua, -np.conj(ub)], [ub, np.conj(ua)]])
            rho = unitary @ rho @ unitary.conj().T
            clock = end
    return out


# -- the device ----------------------------------------------------------------


def _seed_material(seed: int, steps: int) -> list[int]:
    # One independent stream per step: a resumed or interrupted run draws the
    # same noise for a step as an uninterrupted run with the same seed.
    return [int(seed) & (2**64 - 1), int(steps)]


class SimulatedDevice:
    """Turns each step's wave package into measured data.

    ``timestamp`` (ms since the epoch, None: newest) is the moment whose
    device parameters are simulated when the run options carry no
    ``space_timestamp``.  Pass :meth:`callback` to ``Experiment.run_exp``.
    """

    def __init__(self, group: Any, timestamp: int | None = None) -> None:
        self.group = group
        self.timestamp = timestamp
        self._models: dict[tuple[str, int | None], QubitModel] = {}

    # -- device parameters ---------------------------------------------------
    def _read(self, key: str, timestamp: int | None) -> Any:
        space = getattr(self.group, "space", None)
        try:
            if space is not None and hasattr(space, "get"):
                return space.get(key, timestamp)
            return self.group.get_parameter(key, timestamp)
        except KeyError:
            return None

    def qubit_model(self, qubit: str, timestamp: int | None = None) -> QubitModel:
        """The physics of ``qubit`` at ``timestamp``, read from the group (cached per run)."""
        cached = self._models.get((qubit, timestamp))
        if cached is not None:
            return cached

        def required(name: str, **checks: Any) -> float:
            key = f"{qubit}.{name}"
            value = self._read(key, timestamp)
            if value is None:
                raise SimulationError(f"device parameter {key!r} is not set")
            return _number(key, value, **checks)

        def optional(name: str, default: float | None, **checks: Any) -> float | None:
            key = f"{qubit}.{name}"
            value = self._read(key, timestamp)
            return default if value is None else _number(key, value, **checks)

        fidelity = {"minimum": 0.0}
        model = QubitModel(
            name=qubit,
            freq=required("freq"),
            drive_strength=required("drive_strength", minimum=0.0),
            t1=optional("t1", None, positive=True),
            t2=optional("t2", None, positive=True),
            readout_f0=optional("ro_f0", 1.0, **fidelity),
            readout_f1=optional("ro_f1", 1.0, **fidelity),
        )
        for name, value in (("ro_f0", model.readout_f0), ("ro_f1", model.readout_f1)):
            if value > 1.0:
                raise SimulationError(f"device parameter '{qubit}.{name}' must be at most 1, got {value!r}")
        self._models[(qubit, timestamp)] = model
        return model

    def clear_cache(self) -> None:
        """Forget the device parameters read so far (they are re-read on next use)."""
        self._models.clear()

    # -- simulation ------------------------------------------------------------
    def probabilities(self, wave_package: Any, timestamp: int | None = None) -> dict[str, float]:
        """Exact readout probabilities of one wave package: ``{"qNN.p1": p, ...}``.

        Qubits are visited in name order; a qubit without readout reports nothing.
        """
        channels: Mapping[str, Any] = wave_package.channels
        sample_rate = float(wave_package.sample_rate)
        qubits = sorted(
            {ch[: -len(_READOUT_SUFFIX)] for ch in channels if ch.endswith(_READOUT_SUFFIX)}
        )
        out: dict[str, float] = {}
        for qubit in qubits:
            readout = np.asarray(channels[qubit + _READOUT_SUFFIX])
            if not np.any(readout):
                continue
            model = self.qubit_model(qubit, timestamp)
            drive = channels.get(qubit + _DRIVE_SUFFIX)
            drive = None if drive is None else np.asarray(drive, dtype=complex)
            for number, p1 in enumerate(evolve_qubit(model, drive, readout, sample_rate), 1):
                name = f"{qubit}.p1" if number == 1 else f"{qubit}.p1_{number}"
                out[name] = model.read(p1)
        return out

    @staticmethod
    def measure(
        probabilities: Mapping[str, float], shots: int, seed: int | None = None, steps: int = 0
    ) -> dict[str, float]:
        """Estimates of ``probabilities`` from ``shots`` binomial draws each (0: exact)."""
        if shots == 0:
            return dict(probabilities)
        rng = np.random.default_rng(None if seed is None else _seed_material(seed, steps))
        return {
            name: rng.binomial(shots, min(1.0, max(0.0, p))) / shots for name, p in probabilities.items()
        }

    @staticmethod
    def run_settings(exp_obj: Any, options: Mapping[str, Any] | None) -> tuple[int, int | None]:
        """``(shots, seed)``: the run options first, then the experiment's options, then defaults."""
        sources = [options or {}, getattr(exp_obj, "options", None) or {}]

        def pick(key: str, default: Any) -> Any:
            for source in sources:
                if source.get(key) is not None:
                    return source[key]
            return default

        shots, seed = pick("shots", DEFAULT_SHOTS), pick("seed", None)
        if isinstance(shots, bool) or not isinstance(shots, numbers.Integral) or shots < 0:
            raise SimulationError(f"shots must be a non-negative integer, got {shots!r}")
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)):
            raise SimulationError(f"seed must be an integer or None, got {seed!r}")
        return int(shots), None if seed is None else int(seed)

    def callback(
        self,
        wave_package: Any,
        exp_obj: Any = None,
        pos: Any = None,
        steps: int = 0,
        options: Mapping[str, Any] | None = None,
    ) -> dict[str, Result]:
        """The run callback: ``{"result": Result}`` holding this step's readouts."""
        if steps == 0:
            # A new run: pick up calibration changes made since the last one.
            self.clear_cache()
        shots, seed = self.run_settings(exp_obj, options)
        timestamp = self.timestamp
        if options and options.get("space_timestamp") is not None:
            timestamp = int(options["space_timestamp"])
        exact = self.probabilities(wave_package, timestamp)
        result = Result(item_id_start=steps)
        for name, value in self.measure(exact, shots, seed, steps).items():
            result.add(name, value)
        return {"result": result}

    def __repr__(self) -> str:
        return f"SimulatedDevice({self.group!r})"


# -- the built-in demo device ----------------------------------------------------

#: Qubits of the demo device with their own frequencies: (drive, readout) in Hz.
_DEMO_QUBITS = {"q01": (5.00e9, 6.50e9), "q02": (5.32e9, 6.62e9)}
_DEMO_PULSE_WIDTH = 40.0
_DEMO_X_AMP = 0.5
_DEMO_SAMPLE_RATE = 2e9


def _pi_pulse_drive_strength(amp: float, width: float, sample_rate: float) -> float:
    """Hz per unit amplitude that makes the sampled gate-compiler X pulse a rotation of pi."""
    pulse = Drag("x", amp=1.0, width=width)
    times = np.arange(int(round(width * 1e-9 * sample_rate))) * (1e9 / sample_rate)
    area = float(np.sum(pulse.sample(times).real)) / sample_rate  # unit-amplitude seconds
    return 1.0 / (2.0 * amp * area)


def demo_calibration() -> dict[str, Any]:
    """The space of the built-in demo device: two qubits, every key the gate compiler reads.

    The drive strength is set so that the compiled X pulse (a 40 ns DRAG of
    amplitude 0.5 sampled at 2 GS/s) is a pi rotation on the simulator.
    """
    strength = _pi_pulse_drive_strength(_DEMO_X_AMP, _DEMO_PULSE_WIDTH, _DEMO_SAMPLE_RATE)
    space: dict[str, Any] = {"compiler": "default"}
    lifetimes = {"q01": (25e-6, 6e-6), "q02": (40e-6, 15e-6)}
    for qubit, (freq, ro_freq) in _DEMO_QUBITS.items():
        t1, t2 = lifetimes[qubit]
        space.update(
            {
                f"{qubit}.freq": freq,
                f"{qubit}.x_amp": _DEMO_X_AMP,
                f"{qubit}.x_width": _DEMO_PULSE_WIDTH,
                f"{qubit}.drag_beta": 0.0,
                f"{qubit}.ro_amp": 0.2,
                f"{qubit}.ro_width": 400.0,
                f"{qubit}.ro_freq": ro_freq,
                f"{qubit}.drive_strength": strength,
                f"{qubit}.t1": t1,
                f"{qubit}.t2": t2,
            }
        )
    return space


def demo_group(name: str = "demo") -> Group:
    """A group on the demo device (qubits q01 and q02), in a fresh in-memory space."""
    return Group(name, demo_calibration(), entities=tuple(_DEMO_QUBITS))
