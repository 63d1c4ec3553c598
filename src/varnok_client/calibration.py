"""The calibration loop: measure on the simulated device, fit, write the new value back to the space.

Each routine runs one kind of experiment on a qubit against the calibration
in force now, fits what it measured and, only when the fit is good and the
new value plausible, records the new value in the space as a new version
(the old one stays readable at earlier timestamps, so any earlier run can be
replayed against the calibration it used).  Whatever the verdict, the
datasets and plots of the runs are saved, with the fit in them.

- ``resonance``: a long, weak pulse swept in frequency around ``qNN.freq``;
  the centre of the line is the new ``qNN.freq``.
- ``rabi``: the X amplitude swept over one and a half turns; the first
  maximum is the new ``qNN.x_amp``.
- ``ramsey``: X/2 - delay - X/2, twice, driven ``RAMSEY_DETUNING`` above and
  below ``qNN.freq``; the two fringe frequencies are ``|d + e|`` and
  ``|d - e|`` for the frequency error ``e``, which gives its sign too.  The
  new ``qNN.freq`` is corrected by ``e``, and the fringes' decay is ``qNN.t2``.
- ``t1``: X, then the readout delayed; the decay is the new ``qNN.t1``.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import xarray as xr

from . import analysis
from .data import add_fit, save_dataset, to_dataset
from .demos import build_rabi, build_ramsey
from .experiment.experiment import Experiment
from .plots import Overlay, plot_dataset
from .runner import RunOutcome, UserError, run_on_simulator

__all__ = [
    "ALL_SEQUENCE",
    "KINDS",
    "RAMSEY_DETUNING",
    "CalibrationRefused",
    "Change",
    "StepReport",
    "build_resonance",
    "build_t1",
    "calibrate",
    "fit_dataset",
    "fit_note",
    "format_measurement",
    "required_keys",
]

#: The calibrations one can ask for, and the order ``all`` runs them in.
KINDS = ("resonance", "rabi", "ramsey", "t1")
ALL_SEQUENCE = ("resonance", "rabi", "ramsey", "rabi", "t1")
#: Deliberate drive detuning of the two Ramsey runs (Hz).
RAMSEY_DETUNING = 1.5e6
#: The resonance scan: pulse length (ns), half span (Hz) and points.
RESONANCE_PULSE_NS = 2000.0
RESONANCE_HALF_SPAN = 2.0e6
RESONANCE_POINTS = 81

# The fit of each kind, the quantity of the sweep axis it takes and the factor from that
# axis's unit to the fit's (ns -> s for delays).
_FITS: dict[str, tuple[Callable[..., Any], float]] = {
    "resonance": (analysis.fit_resonance, 1.0),
    "rabi": (analysis.fit_rabi, 1.0),
    "ramsey": (analysis.fit_ramsey, 1e-9),
    "t1": (analysis.fit_t1, 1e-9),
}
_KEYS = {
    "resonance": ("freq", "x_amp", "x_width"),
    "rabi": ("freq", "x_amp", "x_width"),
    "ramsey": ("freq", "x_amp", "x_width"),
    "t1": ("freq", "x_amp", "x_width", "t1"),
}
_READOUT_KEYS = ("ro_amp", "ro_width", "ro_freq")


class CalibrationRefused(Exception):
    """A calibration measured but wrote nothing: its fit failed or gave an implausible value."""


@dataclass
class Change:
    """One space value a calibration found: the value before, the new one and its error."""

    key: str
    old: float
    new: float
    error: float

    def line(self) -> str:
        unit = {"freq": "Hz", "t1": "s", "t2": "s"}.get(self.key.rsplit(".", 1)[-1], "")
        digits = f"{self.new:.10g}" if not unit else format_measurement(self.new, self.error, unit)
        if unit:
            return f"{self.key}: {format_measurement(self.old, self.error, unit).split(' ± ')[0]} -> {digits}"
        decimals = max(0, 1 - int(math.floor(math.log10(self.error)))) if self.error > 0 else 6
        return f"{self.key}: {self.old:.{decimals}f} -> {self.new:.{decimals}f} ± {self.error:.{decimals}f}"


@dataclass
class StepReport:
    """What one calibration did: its changes (written or not), fits, files and verdict."""

    kind: str
    qubit: str
    changes: list[Change] = field(default_factory=list)
    fits: list[Any] = field(default_factory=list)
    files: list[Path] = field(default_factory=list)
    written: bool = False
    refused: str = ""
    interrupted: bool = False


def required_keys(kind: str, qubit: str) -> list[str]:
    """The space keys a calibration of ``kind`` on ``qubit`` reads."""
    return [f"{qubit}.{name}" for name in (*_KEYS[kind], *_READOUT_KEYS)]


def _number(script_value: float) -> str:
    return repr(float(script_value))


# -- experiments -------------------------------------------------------------------


def build_resonance(qubit: str, half_span: float = RESONANCE_HALF_SPAN, points: int = RESONANCE_POINTS,
                    pulse_ns: float = RESONANCE_PULSE_NS) -> Experiment:
    """A long X pulse of the same turn, swept in frequency around ``qubit.freq``, then M."""
    exp = Experiment(
        "Resonance",
        f"A {pulse_ns:g} ns X pulse on {qubit} swept over ±{half_span / 1e6:g} MHz around {qubit}.freq.",
    )
    exp.add_wave_gate(("X", qubit), 0)
    exp.add_wave_gate(("M", qubit), 1)
    channel = f"{qubit}.xy"
    # The same envelope stretched in time: the same area, so still about a half turn.
    exp.set_waveform_script_by_channel(qubit, 0, channel, "width", _number(pulse_ns))
    exp.set_waveform_script_by_channel(
        qubit, 0, channel, "amp", f'space("{qubit}.x_amp") * space("{qubit}.x_width") / {_number(pulse_ns)}'
    )
    exp.set_waveform_script_by_channel(
        qubit, 0, channel, "freq",
        f'sweep(space("{qubit}.freq") + linspace({_number(-half_span)}, {_number(half_span)}, {points}), dim=0)',
    )
    return exp


def build_t1(qubit: str, window_ns: float, points: int = 41) -> Experiment:
    """X, then the readout delayed from 0 to ``window_ns``."""
    exp = Experiment("T1", f"X on {qubit}, readout delayed 0 to {window_ns / 1000:g} us.")
    exp.add_wave_gate(("X", qubit), 0)
    exp.add_wave_gate(("M", qubit), 1)
    exp.set_waveform_script_by_channel(
        qubit, 1, f"{qubit}.ro", "t0", f"sweep(linspace(0, {_number(window_ns)}, {points}), dim=0)"
    )
    return exp


def _ramsey_window_ns(t2: float | None) -> float:
    """Delays long enough to see the fringes decay, at most 12 us."""
    seconds = 6e-6 if t2 is None else 1.5 * t2
    return float(np.clip(seconds, 2e-6, 12e-6)) * 1e9


# -- fits on datasets ----------------------------------------------------------------


def _sweep_axis(dataset: xr.Dataset) -> tuple[str, np.ndarray]:
    """Name and values of the quantity swept along the dataset's one dimension."""
    dims = [d for d in dataset.sizes if d.startswith("dim")]
    if len(dims) != 1:
        raise ValueError(f"a fit needs a sweep of one dimension, this dataset has {len(dims) or 'no'} swept")
    for name, coord in dataset.coords.items():
        if coord.dims == (dims[0],) and coord.dtype.kind in "biuf":
            return str(name), np.asarray(coord.values, dtype=float)
    raise ValueError(f"nothing swept along {dims[0]} is numeric")


def fit_dataset(dataset: xr.Dataset, kind: str, variable: str) -> tuple[Any, Overlay, str]:
    """Fit ``variable`` of ``dataset`` with the ``kind`` fit; record the fit in the dataset's attributes.

    Returns the fit, the fitted curve to draw over the data and a one-line
    note of the fitted values with their errors.
    """
    fit_function, scale = _FITS[kind]
    _, x = _sweep_axis(dataset)
    y = np.real(np.asarray(dataset[variable].values, dtype=complex)).astype(float)
    fit = fit_function(x * scale, y)
    add_fit(dataset, fit, variable, kind)
    dense = np.linspace(np.nanmin(x), np.nanmax(x), 400) if x.size else x
    curve = fit.best_fit(dense * scale)
    return fit, Overlay(variable, dense, curve, f"{kind} fit"), fit_note(fit, kind)


#: The values a note shows for each kind of fit, with their units.
_NOTED = {
    "resonance": (("freq_hz", "freq", "Hz"), ("width_hz", "width", "Hz")),
    "rabi": (("pi_amp", "pi amplitude", ""), ("contrast", "contrast", "")),
    "ramsey": (("detuning_hz", "detuning", "Hz"), ("t2_star_s", "T2*", "s")),
    "t1": (("t1_s", "T1", "s"),),
}
_PREFIXES = ((1e6, "M"), (1e3, "k"), (1.0, ""), (1e-3, "m"), (1e-6, "µ"), (1e-9, "n"))


def format_measurement(value: float, error: float, unit: str = "") -> str:
    """``value ± error`` with the error's two leading digits and an SI prefix: ``5000.310 ± 0.006 MHz``."""
    if not (math.isfinite(value) and math.isfinite(error)) or error <= 0:
        return f"{value:.6g} {unit}".rstrip()
    factor, prefix = 1.0, ""
    if unit:
        magnitude = abs(value) if value else error
        factor, prefix = next(((f, p) for f, p in _PREFIXES if magnitude >= f), _PREFIXES[-1])
    scaled, scaled_error = value / factor, error / factor
    decimals = max(0, 1 - int(math.floor(math.log10(scaled_error))))
    return f"{scaled:.{decimals}f} ± {scaled_error:.{decimals}f} {prefix}{unit}".rstrip()


def fit_note(fit: Any, kind: str) -> str:
    """One short line of a fit's main values with their errors, or why there is no fit."""
    if not fit.ok:
        return f"{kind} fit refused: {fit.reason}"
    parts = [
        f"{label} = {format_measurement(float(fit.values[name]), float(fit.errors[name]), unit)}"
        for name, label, unit in _NOTED.get(kind, ())
        if name in fit.values
    ]
    return ", ".join(parts)


# -- the routines ---------------------------------------------------------------------


@dataclass
class _Session:
    """What every calibration of one command shares: the space, the device, the settings, the files."""

    group: Any
    physics: Any
    shots: int | None
    seed: int | None
    out_dir: Path
    quiet: bool
    runs: int = 0
    names: set = field(default_factory=set)

    def value(self, key: str) -> float:
        try:
            value = self.group.space.get(key)
        except KeyError:
            raise UserError(f"the space has no value for {key!r}") from None
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise UserError(f"the space value of {key!r} is not a number: {value!r}")
        return float(value)

    def optional(self, key: str) -> float | None:
        try:
            return self.value(key)
        except UserError:
            return None

    def measure(self, exp: Experiment, name: str, kind: str, qubit: str,
                report: StepReport) -> tuple[RunOutcome, Any]:
        """Run ``exp``, save its dataset and plot with the fit, and return the outcome and the fit."""
        # Each run gets seeds of its own, so repeated runs of one command do not share their noise.
        seed = None if self.seed is None else self.seed + 7919 * self.runs
        self.runs += 1
        outcome = run_on_simulator(exp, self.group, shots=self.shots, seed=seed, quiet=self.quiet,
                                   physics=self.physics)
        dataset = to_dataset(outcome.result, exp, **outcome.run_info())
        fit, overlay, note = fit_dataset(dataset, kind, f"{qubit}.p1")
        # A step run twice in one command (rabi in "all") keeps both files: the second is name_2.
        unique, again = name, 1
        while unique in self.names:
            again += 1
            unique = f"{name}_{again}"
        self.names.add(unique)
        stem = self.out_dir / unique
        save_dataset(dataset, stem.with_suffix(".nc"))
        plot_dataset(dataset, stem.with_suffix(".png"), overlays=[overlay], notes={f"{qubit}.p1": note})
        report.files += [stem.with_suffix(".nc"), stem.with_suffix(".png")]
        report.fits.append(fit)
        if outcome.interrupted:
            report.interrupted = True
        return outcome, fit


def _check(condition: bool, reason: str) -> None:
    if not condition:
        raise CalibrationRefused(reason)


def _fit_value(fit: Any, name: str) -> tuple[float, float]:
    _check(fit.ok, f"the {fit.kind} fit failed: {fit.reason}")
    value, error = float(fit.values[name]), float(fit.errors[name])
    _check(math.isfinite(value) and math.isfinite(error), f"the {fit.kind} fit gave no finite {name}")
    return value, error


def _resonance(session: _Session, qubit: str, report: StepReport) -> list[Change]:
    old = session.value(f"{qubit}.freq")
    _, fit = session.measure(build_resonance(qubit), f"{qubit}_resonance", "resonance", qubit, report)
    if report.interrupted:
        return []
    new, error = _fit_value(fit, "freq_hz")
    _check(abs(new - old) <= 0.8 * RESONANCE_HALF_SPAN,
           f"the line centre {new:.7g} Hz lies at the edge of the scan or outside it ({old:.7g} Hz "
           f"± {RESONANCE_HALF_SPAN:g} Hz)")
    _check(error < 0.1 * RESONANCE_HALF_SPAN, f"the line centre is not determined (± {error:.2g} Hz)")
    return [Change(f"{qubit}.freq", old, new, error)]


def _rabi(session: _Session, qubit: str, report: StepReport) -> list[Change]:
    old = session.value(f"{qubit}.x_amp")
    _check(old > 0, f"{qubit}.x_amp must be positive to scale the sweep, it is {old!r}")
    turns = 1.5
    _, fit = session.measure(build_rabi(qubit, points=61, turns=turns), f"{qubit}_rabi", "rabi", qubit, report)
    if report.interrupted:
        return []
    new, error = _fit_value(fit, "pi_amp")
    _check(0.5 * old <= new <= 2.0 * old,
           f"the pi amplitude {new:.5g} is implausible next to {qubit}.x_amp = {old:.5g} (half to twice it)")
    _check(error < 0.05 * new, f"the pi amplitude is not determined (± {error:.2g})")
    return [Change(f"{qubit}.x_amp", old, new, error)]


def _ramsey(session: _Session, qubit: str, report: StepReport) -> list[Change]:
    old = session.value(f"{qubit}.freq")
    old_t2 = session.optional(f"{qubit}.t2")
    window = _ramsey_window_ns(old_t2)
    points = min(201, int(math.ceil(window * 1e-9 * RAMSEY_DETUNING * 6)) + 1)
    found = []
    for sign, label in ((+1, "above"), (-1, "below")):
        exp = build_ramsey(qubit, points=points, max_delay=window, detuning=sign * RAMSEY_DETUNING)
        _, fit = session.measure(exp, f"{qubit}_ramsey_{label}", "ramsey", qubit, report)
        if report.interrupted:
            return []
        found.append((fit, *_fit_value(fit, "detuning_hz")))
    (fit_up, up, up_error), (fit_down, down, down_error) = found
    for fringe in (up, down):
        _check(0.0 < fringe < 2.0 * RAMSEY_DETUNING,
               f"a fringe frequency of {fringe:.5g} Hz is implausible for a detuning of {RAMSEY_DETUNING:g} Hz")
    # Fringes at |d + e| and |d - e|, with e = calibrated minus true frequency, and |e| < d.
    offset = (up - down) / 2.0
    _check(abs(offset) < 0.5 * RAMSEY_DETUNING,
           f"the frequency error {offset:.5g} Hz is too large for Ramsey (calibrate resonance first)")
    changes = [Change(f"{qubit}.freq", old, old - offset, 0.5 * math.hypot(up_error, down_error))]
    t2s = [(float(f.values["t2_star_s"]), float(f.errors["t2_star_s"])) for f in (fit_up, fit_down)]
    weights = [1.0 / e**2 for _, e in t2s if math.isfinite(e) and e > 0]
    if old_t2 is not None and len(weights) == 2:
        t2 = sum(w * v for w, (v, _) in zip(weights, t2s)) / sum(weights)
        t2_error = 1.0 / math.sqrt(sum(weights))
        t1 = session.optional(f"{qubit}.t1")
        # Only a lifetime the fringes actually pin down, and one the qubit can have (t2 <= 2 t1).
        if 0.2 * old_t2 <= t2 <= 5 * old_t2 and t2_error < 0.3 * t2 and (t1 is None or t2 <= 2 * t1):
            changes.append(Change(f"{qubit}.t2", old_t2, t2, t2_error))
    return changes


def _t1(session: _Session, qubit: str, report: StepReport) -> list[Change]:
    old = session.value(f"{qubit}.t1")
    _check(old > 0, f"{qubit}.t1 must be positive to scale the delays, it is {old!r}")
    window_s = 3.0 * old
    _, fit = session.measure(build_t1(qubit, window_s * 1e9), f"{qubit}_t1", "t1", qubit, report)
    if report.interrupted:
        return []
    new, error = _fit_value(fit, "t1_s")
    _check(0.2 * old <= new <= 5.0 * old and new <= 2.0 * window_s,
           f"a T1 of {new:.4g} s is implausible next to {qubit}.t1 = {old:.4g} s and delays up to {window_s:.3g} s")
    _check(error < 0.3 * new, f"T1 is not determined (± {error:.2g} s)")
    return [Change(f"{qubit}.t1", old, new, error)]


_ROUTINES: dict[str, Callable[[_Session, str, StepReport], list[Change]]] = {
    "resonance": _resonance,
    "rabi": _rabi,
    "ramsey": _ramsey,
    "t1": _t1,
}


def calibrate(
    kinds: Sequence[str],
    group: Any,
    qubit: str,
    physics: Any = None,
    shots: int | None = None,
    seed: int | None = None,
    out_dir: str | Path = ".",
    quiet: bool = True,
    on_step: Callable[[StepReport], None] | None = None,
) -> list[StepReport]:
    """Run the calibrations ``kinds`` in order on ``qubit`` of ``group``, each against what the ones before wrote.

    A good, plausible result is written into the group's space at once, as a
    new version; the sequence stops at the first refused or interrupted step
    (its report says why).  ``on_step`` is called with each report as it is
    done.  Space keys the routines need and cannot find raise
    :class:`~varnok_client.runner.UserError`.
    """
    for kind in kinds:
        if kind not in _ROUTINES:
            raise UserError(f"unknown calibration {kind!r}; choose one of {', '.join(KINDS)}")
    missing = sorted({key for kind in kinds for key in required_keys(kind, qubit)} - set(group.space.keys()))
    if missing:
        raise UserError(f"the space lacks what the calibration needs: {', '.join(missing)}")
    session = _Session(group, physics, shots, seed, Path(out_dir), quiet)
    reports = []
    for kind in kinds:
        report = StepReport(kind, qubit)
        reports.append(report)
        try:
            report.changes = _ROUTINES[kind](session, qubit, report)
        except CalibrationRefused as exc:
            report.refused = str(exc)
        if report.changes and not report.refused and not report.interrupted:
            _write(group.space, {change.key: change.new for change in report.changes})
            report.written = True
        if on_step is not None:
            on_step(report)
        if report.refused or report.interrupted:
            break
    return reports


def _write(space: Any, values: Mapping[str, float]) -> None:
    try:
        space.update(dict(values))
    except Exception as exc:  # the store's own errors: locked, read-only, unreachable, ...
        detail = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise UserError(f"cannot write the new calibration into the space: {detail}") from None
