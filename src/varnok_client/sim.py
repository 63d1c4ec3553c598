"""The simulated device: every experiment runs without hardware.

Each qubit ``qNN`` is a two-level system seen in the frame rotating at
``qNN.freq``.  Its drive channel ``qNN.xy`` carries complex samples
``s(t) = a(t) * exp(i*(2*pi*f*t + phi))`` on the circuit clock; demodulating
at ``qNN.freq`` leaves ``a(t) * exp(i*(phi + 2*pi*(f - qNN.freq)*t))``, which
drives the Hamiltonian

    H(t) = 1/2 * Omega(t) * (cos(phi(t)) * sigma_x + sin(phi(t)) * sigma_y),
    Omega = 2*pi * qNN.drive_strength * |a|.

The drive is held constant over each sample, so every sample is an exact
SU(2) rotation; a small compiled kernel (:mod:`varnok_client._kernels`) walks
the samples once, multiplying out the rotations of each pulse as they come and
touching the density matrix only where a pulse ends or a readout starts (a
step's few thousand samples cost microseconds, where each numpy pass over them
costs a fixed few).  :func:`sample_rotations` and :func:`rotation_product` are
the same algebra vectorised over numpy arrays.  Between pulses the qubit relaxes:
populations decay with ``qNN.t1`` and coherences with ``qNN.t2`` (seconds; a
missing key means no decay of that kind).  A pulse on the readout channel
``qNN.ro`` measures the qubit at its start: P(|1>) is reported as ``"qNN.p1"``
(later readouts of the same qubit in one step as ``"qNN.p1_2"``, ...), after
the optional assignment errors ``qNN.ro_f0`` / ``qNN.ro_f1`` (probability of
reading 0 in |0> and 1 in |1>), with binomial shot noise over ``shots``.

The device's physics (frequency, drive strength, lifetimes, readout
fidelities) is its own when it is given a :class:`DevicePhysics` — the truth
a calibration has to find, as on hardware (:func:`demo_physics` is the demo
device's, deliberately off from :func:`demo_calibration`).  Without one it is
read from the group's *space*, a device exactly as calibrated; either way
never through the temporary parameters: a sweep that overrides ``q01.freq``
changes the pulses the gate compiler makes, not the qubit itself.
"""

from __future__ import annotations

import math
import numbers
import os
import threading
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _kernels
from .experiment.result import Result
from .group import Group
from .waveform.shapes import Drag

__all__ = [
    "DEFAULT_SHOTS",
    "DevicePhysics",
    "QubitModel",
    "SimulatedDevice",
    "SimulationError",
    "carrier_frame",
    "demo_calibration",
    "demo_group",
    "demo_physics",
    "rotation_product",
    "sample_rotations",
]

#: Shots per step when neither the run options nor the experiment set them.
DEFAULT_SHOTS = 1024

_DRIVE_SUFFIX = ".xy"
_READOUT_SUFFIX = ".ro"

#: Scaled carriers a device keeps between steps, and their longest (16 bytes a sample).
_CARRIER_CACHE_ENTRIES = 8
_CARRIER_CACHE_SAMPLES = 1 << 18


class SimulationError(ValueError):
    """The device cannot simulate a step: a missing or unusable device parameter or option."""


# -- SU(2) algebra ------------------------------------------------------------
#
# A rotation is held as the pair (a, b) of U = [[a, -conj(b)], [b, conj(a)]],
# |a|^2 + |b|^2 = 1.  Pairs compose without ever forming the matrices, which
# keeps every numpy pass on plain one-dimensional arrays: on long pulses that
# is several times faster than broadcasting over 2x2 blocks.

#: Smallest normal double: keeps sin(x)/x finite for an undriven sample (x = 0).
_TINY = np.finfo(float).tiny


def _half_angle_rotations(
    w: NDArray[np.complex128],
) -> tuple[NDArray[np.float64], NDArray[np.complex128]]:
    """Per-sample rotations ``(a, b)`` for ``w = -i * z / 2``, ``a`` real.

    With ``z = Omega * exp(i*phi) * dt`` the sample's rotation is
    ``a = cos(|w|)`` and ``b = sin(|w|) / |w| * w``; ``w = 0`` (no drive, or
    padding) is exactly the identity.
    """
    half = np.abs(w)
    return np.cos(half), np.sin(half) / np.maximum(half, _TINY) * w


def _pair_products(
    a: NDArray[Any], b: NDArray[Any], passes: int
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """Compose neighbouring rotations ``passes`` times along a 1-D axis, later on the left.

    The length must be divisible by ``2**passes``.
    """
    for _ in range(passes):
        a1, a2, b1, b2 = a[0::2], a[1::2], b[0::2], b[1::2]
        a, b = a2 * a1 - b2.conj() * b1, b2 * a1 + a2.conj() * b1
    return a, b


def sample_rotations(
    rabi_angle: NDArray[np.complex128],
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """Per-sample rotations for complex Rabi angles ``z = Omega * exp(i*phi) * dt``.

    ``exp(-i * |z|/2 * (cos(phi) sigma_x + sin(phi) sigma_y))`` gives
    ``a = cos(|z|/2)`` and ``b = -i * sin(|z|/2) * z / |z|``; a sample without
    drive (``z = 0``) is the identity.
    """
    a, b = _half_angle_rotations(-0.5j * np.asarray(rabi_angle, dtype=complex))
    return a.astype(complex), b


def _carrier_turns(indices: NDArray[np.intp], cycles_per_sample: float) -> NDArray[np.float64]:
    """``cycles_per_sample * k`` for each index ``k``, less a whole number of turns.

    The carrier runs for thousands of turns in a microsecond, so the product
    is split: ``hi`` keeps the top 24 bits of the rate, which makes ``k * hi``
    exact (and its whole turns exactly removable) for every index a wave
    package can have; the small rest ``k * lo`` is added afterwards.
    """
    mantissa, exponent = math.frexp(cycles_per_sample)
    hi = math.ldexp(round(math.ldexp(mantissa, 24)), exponent - 24)
    lo = cycles_per_sample - hi
    coarse = indices * hi
    turns = coarse - np.rint(coarse)
    if lo:
        turns += indices * lo
    return turns


def carrier_frame(count: int, cycles_per_sample: float) -> NDArray[np.complex128]:
    """``exp(-2*pi*i * cycles_per_sample * k)`` for ``k = 0 .. count-1``.

    Each phase is reduced to within a turn before the exponential (see
    :func:`_carrier_turns`), so the frame stays accurate to rounding however
    long the package.
    """
    return np.exp(_carrier_turns(np.arange(count), cycles_per_sample) * (-2j * np.pi))


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
    passes = (count - 1).bit_length()
    # Identities at the latest end, so that every pass pairs up evenly; the
    # stacks then lie side by side on one axis, and as each one's length is a
    # power of two no pair ever straddles two of them.
    shape = a.shape[:-1] + (1 << passes,)
    pa, pb = np.ones(shape, dtype=complex), np.zeros(shape, dtype=complex)
    pa[..., :count], pb[..., :count] = a, b
    pa, pb = _pair_products(pa.reshape(-1), pb.reshape(-1), passes)
    return pa.reshape(a.shape[:-1]), pb.reshape(a.shape[:-1])


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


def _samples(values: Any) -> NDArray[np.complex128]:
    """A channel's samples as the contiguous complex array the kernel reads (which checks the rest)."""
    return np.ascontiguousarray(values, dtype=complex)


def _scaled_carrier(count: int, model: QubitModel, sample_rate: float) -> NDArray[np.complex128]:
    """Per-sample factor from a drive sample to ``w = -i * z / 2`` (see :func:`_half_angle_rotations`)."""
    scale = -1j * math.pi * model.drive_strength / sample_rate
    return carrier_frame(count, model.freq / sample_rate) * scale


def _evolve(
    model: QubitModel,
    drive: NDArray[np.complex128] | None,
    readout: NDArray[np.complex128],
    sample_rate: float,
    carrier: NDArray[np.complex128] | None = None,
) -> list[float]:
    """P(|1>) at each readout start, starting from |0>; ``carrier`` as from :func:`_scaled_carrier`.

    ``drive`` and ``readout`` are as from :func:`_samples`, of one length.
    Driven samples are rotations; a readout starting where a pulse starts
    measures before it, one starting inside a pulse cuts it in two; between
    pulses the populations decay with ``t1`` and the coherences with ``t2`` (as
    :meth:`QubitModel.relax`); a readout leaves the qubit in the mixture of its
    outcomes.
    """
    if drive is not None and (carrier is None or carrier.size < drive.size):
        carrier = _scaled_carrier(drive.size, model, sample_rate)
    try:
        return _kernels.evolve(drive, carrier, readout, sample_rate, model.t1, model.t2)
    except (TypeError, ValueError) as exc:
        raise SimulationError(f"cannot simulate {model.name}: {exc}") from None


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
    readout = _samples(readout)
    if drive is not None:
        drive = _samples(drive)
        if drive.size != readout.size:
            raise SimulationError(
                f"drive and readout of {model.name} differ in length: {drive.size} and {readout.size}"
            )
    return _evolve(model, drive, readout, float(sample_rate))


# -- the device ----------------------------------------------------------------


def _seed_material(seed: int, steps: int) -> list[int]:
    # One independent stream per step: a resumed or interrupted run draws the
    # same noise for a step as an uninterrupted run with the same seed.
    return [int(seed) & (2**64 - 1), int(steps)]


def _kernel_seeding_agrees() -> bool:
    """Whether the kernel's seeding gives numpy's own PCG64 states (checked once, at import)."""
    for entropy in ([0, 0], [1, 5], [2**64 - 1, 12345], [2**32, 2**40 + 7], [987654321, 2**63]):
        expected = np.random.default_rng(entropy).bit_generator.state
        state = _kernels.pcg64_state(entropy)
        if expected.get("bit_generator") != "PCG64" or state is None:
            return False
        if (expected["state"]["state"], expected["state"]["inc"]) != state or expected.get("has_uint32"):
            return False
    return True


_KERNEL_SEEDING = _kernel_seeding_agrees()


class _Generators(threading.local):
    """Each thread's reusable generators: one that seeded runs reseed, one for unseeded runs."""

    seeded: np.random.Generator | None = None
    unseeded: np.random.Generator | None = None


_GENERATORS = _Generators()


def _forget_generators() -> None:
    # A forked child must not draw the same "fresh" noise as its parent.
    _GENERATORS.seeded = _GENERATORS.unseeded = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_generators)


def _noise_generator(seed: int | None, steps: int) -> np.random.Generator:
    """The generator of a step's shot noise: ``default_rng(_seed_material(seed, steps))``.

    Seeding a numpy generator costs several times the draws of a step, so a
    thread keeps one and installs the state numpy's seeding would give it
    (computed by the kernel); its draws are then the very same.  Unseeded
    steps draw on from one generator seeded once from the system.
    """
    if seed is None:
        generator = _GENERATORS.unseeded
        if generator is None:
            generator = _GENERATORS.unseeded = np.random.default_rng()
        return generator
    entropy = _seed_material(seed, steps)
    state = _kernels.pcg64_state(entropy) if _KERNEL_SEEDING else None
    if state is None:
        return np.random.default_rng(entropy)
    generator = _GENERATORS.seeded
    if generator is None:
        generator = _GENERATORS.seeded = np.random.Generator(np.random.PCG64(0))
    generator.bit_generator.state = {
        "bit_generator": "PCG64",
        "state": {"state": state[0], "inc": state[1]},
        "has_uint32": 0,
        "uinteger": 0,
    }
    return generator


class SimulatedDevice:
    """Turns each step's wave package into measured data.

    ``physics`` is the device's truth (a :class:`DevicePhysics`); None reads
    it from the group's space, a device that is exactly as calibrated.
    ``timestamp`` (ms since the epoch, None: newest) is the moment whose
    device parameters are read from the space when the run options carry no
    ``space_timestamp``.  Pass :meth:`callback` to ``Experiment.run_exp``.
    """

    def __init__(self, group: Any, physics: DevicePhysics | None = None, timestamp: int | None = None) -> None:
        if physics is not None and not isinstance(physics, DevicePhysics):
            raise TypeError(f"physics must be a DevicePhysics or None, got {type(physics).__name__}")
        self.group = group
        self.physics = physics
        self.timestamp = timestamp
        self._models: dict[tuple[str, int | None], QubitModel] = {}
        # Scaled carriers (see _scaled_carrier) by (model, sample rate): the
        # same few for every step of a run, only the drive changes.
        self._carriers: dict[tuple[QubitModel, float], NDArray[np.complex128]] = {}

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
        """The physics of ``qubit``: the device's own, or read from the group at ``timestamp`` (cached per run)."""
        if self.physics is not None:
            return self.physics.qubit(qubit)
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
        self._carriers.clear()

    def _carrier(self, model: QubitModel, sample_rate: float, count: int) -> NDArray[np.complex128]:
        key = (model, sample_rate)
        carrier = self._carriers.get(key)
        if carrier is None or carrier.size < count:
            if count > _CARRIER_CACHE_SAMPLES:
                return _scaled_carrier(count, model, sample_rate)
            if len(self._carriers) >= _CARRIER_CACHE_ENTRIES:
                self._carriers.clear()
            # Room to grow: a sweep of the circuit length asks for a little more each step.
            size = min(_CARRIER_CACHE_SAMPLES, max(count, 2 * (0 if carrier is None else carrier.size)))
            carrier = _scaled_carrier(size, model, sample_rate)
            carrier.flags.writeable = False
            self._carriers[key] = carrier
        return carrier

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
            readout = _samples(channels[qubit + _READOUT_SUFFIX])
            try:
                if not _kernels.read_starts(readout):
                    continue
            except (TypeError, ValueError) as exc:
                raise SimulationError(f"cannot simulate {qubit}: {exc}") from None
            model = self.qubit_model(qubit, timestamp)
            drive = channels.get(qubit + _DRIVE_SUFFIX)
            carrier = None
            if drive is not None:
                drive = _samples(drive)
                if drive.size != readout.size:
                    raise SimulationError(
                        f"drive and readout of {qubit} differ in length: {drive.size} and {readout.size}"
                    )
                carrier = self._carrier(model, sample_rate, drive.size)
            for number, p1 in enumerate(_evolve(model, drive, readout, sample_rate, carrier), 1):
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
        rng = _noise_generator(seed, steps)
        return {
            name: rng.binomial(shots, min(1.0, max(0.0, p))) / shots for name, p in probabilities.items()
        }

    @staticmethod
    def run_settings(exp_obj: Any, options: Mapping[str, Any] | None) -> tuple[int, int | None]:
        """``(shots, seed)``: the run options first, then the experiment's options, then defaults."""
        run = options or {}
        theirs = getattr(exp_obj, "options", None) or {}
        shots = run.get("shots")
        if shots is None:
            shots = theirs.get("shots")
            if shots is None:
                shots = DEFAULT_SHOTS
        seed = run.get("seed")
        if seed is None:
            seed = theirs.get("seed")
        # Plain ints pass at once; anything else is checked (and converted) the long way.
        if type(shots) is not int or shots < 0:
            if isinstance(shots, bool) or not isinstance(shots, numbers.Integral) or shots < 0:
                raise SimulationError(f"shots must be a non-negative integer, got {shots!r}")
            shots = int(shots)
        if seed is not None and type(seed) is not int:
            if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
                raise SimulationError(f"seed must be an integer or None, got {seed!r}")
            seed = int(seed)
        return shots, seed

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
            # A new run: pick up calibration changes made since the last one. Carriers stay: they
            # are kept by the physics they were made for, so a changed qubit finds none.
            self._models.clear()
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
        physics = "" if self.physics is None else f", physics={self.physics!r}"
        return f"SimulatedDevice({self.group!r}{physics})"


# -- the built-in demo device ----------------------------------------------------

#: Qubits of the demo device with their own frequencies: (drive, readout) in Hz.
_DEMO_QUBITS = {"q01": (5.00e9, 6.50e9), "q02": (5.32e9, 6.62e9)}
_DEMO_PULSE_WIDTH = 40.0
_DEMO_X_AMP = 0.5
_DEMO_SAMPLE_RATE = 2e9


def _x_pulse_area(width: float, sample_rate: float) -> float:
    """Unit-amplitude seconds of the sampled gate-compiler X pulse (a DRAG of ``width`` ns, no derivative)."""
    pulse = Drag("x", amp=1.0, width=width)
    times = np.arange(int(round(width * 1e-9 * sample_rate))) * (1e9 / sample_rate)
    return float(np.sum(pulse.sample(times).real)) / sample_rate


def _pi_pulse_drive_strength(amp: float, width: float, sample_rate: float) -> float:
    """Hz per unit amplitude that makes the sampled gate-compiler X pulse a rotation of pi."""
    return 1.0 / (2.0 * amp * _x_pulse_area(width, sample_rate))


class DevicePhysics:
    """The truth of a simulated device: one :class:`QubitModel` per qubit.

    A device built on it behaves as these models say, whatever its group's
    space (the calibration) believes; :meth:`ideal_calibration` is what a
    perfect calibration of it would hold.
    """

    def __init__(self, qubits: Mapping[str, QubitModel] | Iterable[QubitModel]) -> None:
        models = list(qubits.values()) if isinstance(qubits, Mapping) else list(qubits)
        for model in models:
            if not isinstance(model, QubitModel):
                raise TypeError(f"device physics holds QubitModel objects, got {type(model).__name__}")
        self._qubits = {model.name: model for model in models}
        if len(self._qubits) != len(models):
            raise ValueError("device physics names each qubit once")

    @property
    def qubits(self) -> Mapping[str, QubitModel]:
        """Qubit name -> its model (read-only)."""
        return MappingProxyType(self._qubits)

    def qubit(self, name: str) -> QubitModel:
        """The model of qubit ``name``."""
        try:
            return self._qubits[name]
        except KeyError:
            known = ", ".join(sorted(self._qubits)) or "none"
            raise SimulationError(f"the simulated device has no qubit {name!r} (it has {known})") from None

    def ideal_calibration(self, x_width: float = _DEMO_PULSE_WIDTH, sample_rate: float = _DEMO_SAMPLE_RATE) -> dict[str, float]:
        """The space values exactly right for this device.

        Per qubit: its frequency, the amplitude that makes the gate compiler's
        X pulse (``x_width`` ns, sampled at ``sample_rate``) a pi rotation, and
        its lifetimes where it has them.
        """
        area = _x_pulse_area(x_width, sample_rate)
        out: dict[str, float] = {}
        for name, model in sorted(self._qubits.items()):
            out[f"{name}.freq"] = model.freq
            if model.drive_strength > 0:
                out[f"{name}.x_amp"] = 1.0 / (2.0 * model.drive_strength * area)
            if model.t1 is not None:
                out[f"{name}.t1"] = model.t1
            if model.t2 is not None:
                out[f"{name}.t2"] = model.t2
        return out

    def __eq__(self, other: object) -> bool:
        return isinstance(other, DevicePhysics) and self._qubits == other._qubits

    def __hash__(self) -> int:
        return hash(tuple(sorted(self._qubits.items())))

    def __repr__(self) -> str:
        return f"DevicePhysics({', '.join(sorted(self._qubits))})"


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


#: How the demo device's truth departs from its calibration, per qubit: frequency offset (Hz),
#: true pi amplitude relative to x_amp, T1 and T2 (s), readout fidelities f0 and f1.
_DEMO_TRUTH = {
    "q01": (+310e3, 1.07, 31e-6, 8.5e-6, 0.97, 0.93),
    "q02": (-420e3, 0.95, 34e-6, 19e-6, 0.98, 0.95),
}


def demo_physics() -> DevicePhysics:
    """The truth of the demo device: near its calibration (:func:`demo_calibration`) but off by realistic amounts.

    q01's frequency is 310 kHz above ``q01.freq``, its pi pulse needs 7 %
    more amplitude than ``q01.x_amp``, it lives longer than the space says
    and reads out with a 3 % and 7 % error; q02 is off the other way.
    """
    calibration = demo_calibration()
    area = _x_pulse_area(calibration["q01.x_width"], _DEMO_SAMPLE_RATE)
    models = []
    for qubit, (offset, pi_scale, t1, t2, f0, f1) in _DEMO_TRUTH.items():
        pi_amp = pi_scale * calibration[f"{qubit}.x_amp"]
        models.append(
            QubitModel(
                name=qubit,
                freq=calibration[f"{qubit}.freq"] + offset,
                drive_strength=1.0 / (2.0 * pi_amp * area),
                t1=t1,
                t2=t2,
                readout_f0=f0,
                readout_f1=f1,
            )
        )
    return DevicePhysics(models)


def demo_group(name: str = "demo") -> Group:
    """A group on the demo device (qubits q01 and q02), in a fresh in-memory space."""
    return Group(name, demo_calibration(), entities=tuple(_DEMO_QUBITS))
