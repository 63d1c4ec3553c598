"""Fits of the calibration experiments: Rabi, Ramsey, T1 and resonance.

Each fit takes the swept values and the measured P(1) and returns a :class:`Fit`
that either holds the fitted values with one-standard-deviation errors
(``ok``) or says why the data do not determine them (``ok`` false, ``reason``).
A fit never raises on data: non-finite points are dropped, and too few points,
flat data, noise without a signal, values the data leave open and input that is
not numbers all become refusals.

The models (x is the swept value as given, P the measured P(1)):

- rabi: ``P = offset + contrast * sin(pi * a / (2 * pi_amp))**2``. The model is
  even in the amplitude ``a``; ``pi_amp`` is the first maximum away from zero,
  positive unless every amplitude swept is <= 0.
- ramsey: ``P = offset + amplitude * exp(-t / t2_star_s) * cos(2 pi detuning_hz t + phase)``,
  ``detuning_hz >= 0`` (its sign is not in the data) and ``amplitude >= 0``.
- t1: ``P = offset + amplitude * exp(-t / t1_s)``.
- resonance: a peak of full width at half maximum ``width_hz`` at ``freq_hz``
  over ``offset``: Lorentzian, ``height / (1 + (2 (f - freq_hz) / width_hz)**2)``,
  or Gaussian, whichever suits the data better (``Fit.model`` says which). Both
  put the centre of a symmetric line in the same place; a line sampled by only
  a few points per width is centred correctly only by a shape close to its own.

Amplitudes and phases are those of the formula at x = 0, wherever the sweep
starts.

How a fit is found. Initial guesses are where fits of such data usually fail,
so none is guessed: each model is linear in its amplitudes and offset, and
nonlinear only in one or two parameters (a frequency, a decay rate, a centre
and width). Those are scanned on a dense grid covering everything the sampling
can resolve; at every grid point the linear parameters are solved exactly by
least squares, offset included (which removes the mean before any spectral
comparison, and also whatever part of the mean the oscillation itself
carries). The best grid point then starts a bounded least-squares refinement
of all parameters (scipy's ``curve_fit``). A second refinement weights each
point by the binomial variance ``p (1 - p)`` the first one predicts, since shot
noise is much smaller near P = 0 or 1 than near 1/2 and unweighted errors would
then be wrong in both directions. Errors come from the covariance of that
weighted fit, scaled by its residuals (the number of shots is not known here).

Every fit works on the swept values shifted and scaled to about [0, 1] and
converts back at the end, so that seconds, hertz and drive amplitudes of any
size are all the same problem.
"""

from __future__ import annotations

import functools
import math
import warnings
from collections.abc import Callable, Sequence

import numpy as np
from scipy import optimize, stats

__all__ = ["Fit", "fit_rabi", "fit_ramsey", "fit_resonance", "fit_t1", "format_value"]

# Chance that pure noise passes as a signal (after allowing for every frequency,
# decay or position the grid tried).
_FALSE_SIGNAL = 1e-3

# A determined value must lie inside these many swept ranges: beyond, the data
# extrapolate rather than measure it.
_FARTHEST_PI_AMP = 2.0  # times the largest |amplitude| swept
_LONGEST_DECAY = 10.0  # times the time window
_WIDEST_PEAK = 2.0  # times the frequency span

# Grid points in a frequency scan, and peak centres in a resonance scan, are
# held to these many: a scan costs their number times the number of points.
_MOST_GRID_ROWS = 16384
_MOST_CENTRES = 1024
# Frequency grid points are computed in blocks of about this many matrix
# entries, so that long sweeps do not need gigabytes.
_BLOCK = 1 << 21


class Fit:
    """The result of one fit.

    ``kind``: ``"rabi"``, ``"ramsey"``, ``"t1"`` or ``"resonance"``. ``ok``: the
    data determine the values. ``reason``: why not, when not ok (``""`` when
    ok). ``values`` / ``errors``: the fitted values and their standard
    deviations, under the same names, main value first. ``model``: the
    formula fitted, in the values' names. A refused fit that got as far as a
    model keeps its values and curve, for looking at, never for use; one
    refused before has empty dicts.

    ``ok`` vouches for the main value (pi_amp, detuning_hz, t1_s, freq_hz).
    A secondary physical value the data leave open (t2_star_s of fringes
    that hardly decay within the window, width_hz of a peak barely inside
    the sweep) does not refuse the fit, whose main value is good; it is
    listed in ``undetermined``, marked in the summary, and
    ``determined(name)`` is false for it.
    """

    def __init__(
        self,
        kind: str,
        ok: bool,
        reason: str = "",
        values: dict[str, float] | None = None,
        errors: dict[str, float] | None = None,
        curve: Callable[[np.ndarray], np.ndarray] | None = None,
        undetermined: Sequence[str] = (),
        model: str = "",
    ):
        self.kind = kind
        self.ok = bool(ok)
        self.reason = "" if ok else reason
        self.values: dict[str, float] = dict(values or {})
        self.errors: dict[str, float] = dict(errors or {})
        self.undetermined = tuple(undetermined)
        self.model = model
        self._curve = curve

    def value(self, name: str) -> float:
        return self.values[name]

    def error(self, name: str) -> float:
        return self.errors[name]

    def determined(self, name: str) -> bool:
        """Whether the fit is ok and the data determine the value ``name``."""
        return self.ok and name in self.values and name not in self.undetermined

    def best_fit(self, x) -> np.ndarray:
        """The fitted model at ``x`` (same shape); NaN when no model was fitted."""
        x = np.asarray(x, dtype=float)
        if self._curve is None:
            return np.full(x.shape, np.nan)
        with np.errstate(all="ignore"):
            return np.asarray(self._curve(x), dtype=float).reshape(x.shape)

    def summary(self) -> str:
        """One line: the values with their errors, or why the fit was refused."""
        if not self.ok:
            return f"{self.kind} fit refused: {self.reason}"
        parts = [
            f"{name} = {format_value(value, self.errors.get(name, math.nan))}"
            + (" (not determined)" if name in self.undetermined else "")
            for name, value in self.values.items()
        ]
        return f"{self.kind}: " + ", ".join(parts)

    def __repr__(self) -> str:
        return f"<Fit {self.summary()}>"


def format_value(value: float, error: float) -> str:
    """``value ± error`` with the value rounded to the error's precision.

    The error keeps one significant digit, two when it starts with a 1 (a
    rounded 0.14 is not 0.1). Values far from 1 are written with exponents.
    """
    if not (math.isfinite(value) and math.isfinite(error) and error > 0):
        return f"{value:.6g} ± {error:.2g}"
    lead = math.floor(math.log10(error))
    digits = 2 if error / 10.0**lead < 2.0 else 1
    last = lead - digits + 1  # decimal exponent of the error's last digit shown
    if value != 0 and not 1e-3 <= abs(value) < 1e5:
        exponent = math.floor(math.log10(abs(value)))
        decimals = max(exponent - last, 0)
        return f"{value:.{decimals}e} ± {error:.{digits - 1}e}"
    decimals = max(-last, 0)
    return f"{value:.{decimals}f} ± {error:.{decimals}f}"


class _Refused(Exception):
    """Raised inside a fit to return a refusal (optionally with what it got)."""

    def __init__(self, reason: str, values=None, errors=None, curve=None, model=""):
        super().__init__(reason)
        self.reason = reason
        self.values = values
        self.errors = errors
        self.curve = curve
        self.model = model


def _fit_kind(kind: str):
    """Turn a fit body into a public fit: refusals become ``ok=False`` results.

    Floating-point overflow in trial models is expected (decay rates and widths
    are tried far from the truth) and handled by the comparisons that follow,
    so numpy's and scipy's warnings about it are silenced inside a fit.
    """

    def wrap(body):
        @functools.wraps(body)
        def fit(x, p1) -> Fit:
            try:
                with np.errstate(all="ignore"), warnings.catch_warnings():
                    warnings.simplefilter("ignore", optimize.OptimizeWarning)
                    warnings.simplefilter("ignore", RuntimeWarning)
                    values, errors, curve, undetermined, model = body(x, p1)
            except _Refused as r:
                return Fit(kind, False, r.reason, r.values, r.errors, r.curve, model=r.model)
            return Fit(kind, True, "", values, errors, curve, undetermined, model)

        return fit

    return wrap


# ----------------------------------------------------------------------------- input


def _numbers(data, what: str) -> np.ndarray:
    try:
        array = np.asarray(data)
    except (TypeError, ValueError):
        raise _Refused(f"the {what} are not a sequence of numbers") from None
    if array.dtype.kind in "biuf":
        array = array.astype(float)
    elif array.dtype.kind == "O":
        try:
            array = array.astype(float)  # None becomes NaN, dropped below like any missing point
        except (TypeError, ValueError):
            raise _Refused(f"the {what} are not all numbers") from None
    else:
        raise _Refused(f"the {what} are not real numbers (dtype {array.dtype})")
    if array.ndim != 1:
        raise _Refused(f"the {what} must be one-dimensional, not of shape {array.shape}")
    return array


def _series(x, y, what: str, fewest: int) -> tuple[np.ndarray, np.ndarray]:
    """Finite points sorted by x, refusing data that no model could be fitted to."""
    xs = _numbers(x, what)
    ys = _numbers(y, "P(1) values")
    if xs.shape != ys.shape:
        raise _Refused(f"{len(xs)} {what} but {len(ys)} P(1) values")
    finite = np.isfinite(xs) & np.isfinite(ys)
    xs, ys = xs[finite], ys[finite]
    order = np.argsort(xs, kind="stable")
    xs, ys = xs[order], ys[order]
    distinct = len(np.unique(xs))
    if distinct < fewest:
        usable = f"{distinct} distinct finite {what}" if distinct != len(xs) else f"{len(xs)} finite points"
        raise _Refused(f"too few points: {usable}, at least {fewest} needed")
    if not math.isfinite(float(xs[-1]) - float(xs[0])):
        raise _Refused(f"the {what} span more than floating point holds")
    if np.ptp(ys) <= 1e-12 * max(1.0, float(np.max(np.abs(ys)))):
        raise _Refused("flat data: P(1) does not vary")
    return xs, ys


def _grid(lo: float, hi: float, step: float) -> np.ndarray:
    """``lo``, ``lo + step``, ... up to ``hi`` (at least two points, at most the
    most a scan may have: points crowded far closer than the rest cannot ask
    for more)."""
    count = int(min(max((hi - lo) / step, 1.0), _MOST_GRID_ROWS - 1)) + 1
    return lo + step * np.arange(count)


def _step(u: np.ndarray) -> float:
    """The typical spacing of the (sorted) scaled swept values."""
    gaps = np.diff(np.unique(u))
    return float(np.median(gaps))


# ----------------------------------------------------------------------------- refinement


def _curve_fit(model, x, y, p0, lower, upper, sigma=None):
    p0 = np.clip(np.asarray(p0, dtype=float), lower, upper)
    # Nudge a start on a bound inside, as the trust-region method requires.
    inside = np.where(np.isfinite(upper - lower), 1e-9 * (upper - lower), 0.0)
    p0 = np.minimum(np.maximum(p0, lower + inside), upper - inside)
    try:
        popt, pcov = optimize.curve_fit(
            model, x, y, p0=p0, sigma=sigma, absolute_sigma=False, bounds=(lower, upper), method="trf"
        )
    except (RuntimeError, ValueError, np.linalg.LinAlgError):
        raise _Refused("the least-squares refinement did not converge") from None
    return popt, pcov


def _refine(model, x, y, p0, lower, upper, edges=None):
    """Unweighted, then binomially weighted least squares; returns (popt, pcov).

    A result on a finite bound is refused: with ``edges[i]`` as the reason
    when parameter ``i`` ran there, else as not converged.
    """
    lower = np.asarray(lower, dtype=float)
    upper = np.asarray(upper, dtype=float)
    popt, pcov = _curve_fit(model, x, y, p0, lower, upper)
    if np.all((y >= -0.05) & (y <= 1.05)):
        # Shot noise: variance p (1 - p) / shots. The floor (as if no point
        # were closer to P = 0 or 1 than about 0.003) keeps points the first
        # fit puts at P = 0 or 1 from taking all the weight when that fit is
        # slightly off there.
        p = np.clip(model(x, *popt), 0.0, 1.0)
        sigma = np.sqrt(p * (1.0 - p) + 0.003)
        popt, pcov = _curve_fit(model, x, y, popt, lower, upper, sigma=sigma)
    for i, (value, lo, hi) in enumerate(zip(popt, lower, upper)):
        for bound in (lo, hi):
            if math.isfinite(bound) and abs(value - bound) <= 1e-7 * max(abs(bound), 1e-12):
                reason = (edges or {}).get((i, "lower" if bound == lo else "upper"))
                raise _Refused(reason or "the least-squares refinement left the range the scan found")
    return popt, pcov


def _propagate(physical, popt, pcov) -> tuple[np.ndarray, np.ndarray]:
    """Values ``physical(popt)`` and their standard deviations, to first order."""
    values = np.asarray(physical(popt), dtype=float)
    sd = np.sqrt(np.abs(np.diag(pcov)))
    jac = np.empty((len(values), len(popt)))
    for i in range(len(popt)):
        # Small against the error, yet not so small against the value that
        # rounding swamps the difference.
        h = max(1e-4 * sd[i] if np.isfinite(sd[i]) else 0.0, 1e-7 * abs(popt[i]), 1e-12)
        up, down = popt.copy(), popt.copy()
        up[i] += h
        down[i] -= h
        jac[:, i] = (np.asarray(physical(up)) - np.asarray(physical(down))) / (2 * h)
    if not np.all(np.isfinite(pcov)):
        return values, np.full(len(values), math.inf)
    cov = jac @ pcov @ jac.T
    return values, np.sqrt(np.abs(np.diag(cov)))


def _require_signal(model, x, y, popt, extra: int, trials: float, what: str, partial) -> None:
    """Refuse unless the model explains significantly more than a constant.

    An F test of the fit against the flat model, its chance multiplied by the
    number of independent alternatives the grid scanned (the best of many
    frequencies fits noise better than any one would).
    """
    rss_model = float(np.sum((y - model(x, *popt)) ** 2))
    rss_flat = float(np.sum((y - y.mean()) ** 2))
    dof = len(y) - len(popt)
    if rss_model <= 0.0:
        return
    statistic = ((rss_flat - rss_model) / extra) / (rss_model / dof)
    chance = float(stats.f.sf(statistic, extra, dof)) * trials if statistic > 0 else 1.0
    if not chance < _FALSE_SIGNAL:
        raise _Refused(f"no significant {what} in the data", *partial)


def _require_determined(values: dict, errors: dict, names: Sequence[str], partial) -> None:
    for name in names:
        value, error = values[name], errors[name]
        if not math.isfinite(error):
            raise _Refused(f"{name} is not determined by the data (infinite error)", *partial)
        if error >= abs(value):
            raise _Refused(
                f"{name} is not determined by the data ({format_value(value, error)})", *partial
            )


def _open_values(values: dict, errors: dict, names: Sequence[str], longest: float = math.inf):
    """The secondary values among ``names`` that the data do not determine."""
    return tuple(
        name
        for name in names
        if not (math.isfinite(errors[name]) and errors[name] < abs(values[name]) <= longest)
    )


def _best(gain: np.ndarray, what: str) -> tuple[int, ...]:
    gain = np.where(np.isfinite(gain), gain, -np.inf)
    index = np.unravel_index(int(np.argmax(gain)), gain.shape)
    if not gain[index] > 0:
        raise _Refused(f"no {what} in the data")
    return tuple(int(i) for i in index)


def _two_term(basis: np.ndarray, yc: np.ndarray):
    """Least squares of centred data on ``offset + b * basis`` for each row of ``basis``.

    Returns (b, the offset on top of the data's mean, the reduction of the
    residual sum of squares); rows where the basis is (nearly) constant get
    no reduction.
    """
    n = basis.shape[-1]
    s = basis.sum(-1)
    ss = np.einsum("...i,...i->...", basis, basis)
    sy = basis @ yc
    det = n * ss - s * s
    good = det > 1e-9 * n * np.maximum(ss, 1e-300)
    b = np.where(good, n * sy / np.where(good, det, 1.0), 0.0)
    gain = np.where(good, b * sy, -np.inf)
    return b, -b * s / n, gain


# ----------------------------------------------------------------------------- rabi


_RABI_FORMULA = "offset + contrast * sin(pi a / (2 pi_amp))**2"


def _rabi_model(u, pi_amp, contrast, offset):
    return offset + contrast * np.sin(0.5 * np.pi * u / pi_amp) ** 2


@_fit_kind("rabi")
def fit_rabi(amplitudes, p1):
    """Fit a Rabi oscillation of P(1) against drive amplitude; see the module doc."""
    a, y = _series(amplitudes, p1, "amplitudes", 5)
    scale = float(np.max(np.abs(a)))
    u = a / scale  # within [-1, 1]
    sign = -1.0 if a[-1] <= 0 else 1.0
    # Scan k = pi / pi_amp. Its phase at the farthest amplitude is k, so steps
    # of pi/16 in k leave every point within pi/32 of a grid point's phase;
    # from a first maximum twice beyond the sweep up to the sampling's limit.
    dk = np.pi / 16
    k_lo = np.pi / 3
    k_hi = max(np.pi / _step(u), k_lo + dk)
    yc = y - y.mean()

    def rising(result):
        # P rises from a = 0: cos's coefficient is -contrast/2 < 0.
        b, _, gain = result
        return np.where(b < 0, gain, -np.inf)

    k, result = _scan(lambda rows: _two_term(np.cos(np.outer(rows, u)), yc), rising, k_lo, k_hi, dk, len(u))
    b, b0, _ = result
    (i,) = _best(rising(result), "Rabi oscillation")
    contrast = -2.0 * b[i]
    offset = y.mean() + b0[i] + b[i]
    lower = [np.pi / (k[i] + 4 * dk), 0.0, -np.inf]
    upper = [np.pi / (k[i] - 4 * dk), np.inf, np.inf]
    edges = {(1, "lower"): "no Rabi oscillation in the data"}
    if k[i] < k_lo + dk / 2:  # the slowest oscillation scanned
        edges[(0, "upper")] = "the first maximum lies far beyond the amplitudes swept"
    popt, pcov = _refine(_rabi_model, u, y, [np.pi / k[i], contrast, offset], lower, upper, edges)

    def physical(p):
        return [sign * scale * p[0], p[1], p[2]]

    values, errors = _named(("pi_amp", "contrast", "offset"), *_propagate(physical, popt, pcov))
    curve = _curve_of(_rabi_model, 0.0, scale, popt)
    partial = (values, errors, curve, _RABI_FORMULA)
    _require_signal(_rabi_model, u, y, popt, 2, (k_hi - k_lo) / np.pi + 1, "Rabi oscillation", partial)
    _require_determined(values, errors, ("pi_amp",), partial)
    if abs(values["pi_amp"]) > _FARTHEST_PI_AMP * scale:
        raise _Refused(
            f"pi_amp = {values['pi_amp']:.4g} lies far beyond the amplitudes swept (up to {sign * scale:.4g})",
            *partial,
        )
    return values, errors, curve, (), _RABI_FORMULA


def _blocks(solve, rows: np.ndarray, n: int):
    """Apply ``solve`` to slices of the grid ``rows`` small enough to fit in memory."""
    size = max(1, _BLOCK // max(n, 1))
    parts = [solve(rows[start : start + size]) for start in range(0, len(rows), size)]
    return tuple(np.concatenate(column) for column in zip(*parts))


def _scan(solve, score, lo: float, hi: float, step: float, cost: int, coarse: int = 4, keep: int = 3):
    """Scan ``solve`` over rows ``lo, lo + step, ... hi``; returns (rows, results).

    Coarse first, at ``coarse`` steps: a signal's basin in the scan is several
    coarse steps wide, so the coarse scan finds it; then the ``keep`` best
    coarse maxima (``score`` ranks the rows of a result) again at the full
    resolution around them. The scan costs about ``coarse`` times less than
    one at full resolution throughout.
    """
    rows = _grid(lo, hi, coarse * step)
    results = _blocks(solve, rows, cost)
    gain = score(results)
    gain = np.where(np.isfinite(gain), gain, -np.inf)
    padded = np.concatenate(([-np.inf], gain, [-np.inf]))
    peaks = np.flatnonzero((gain >= padded[:-2]) & (gain >= padded[2:]) & (gain > 0))
    if len(peaks) == 0:
        return rows, results
    best = peaks[np.argsort(-gain[peaks], kind="stable")[:keep]]
    offsets = step * np.arange(-coarse, coarse + 1)
    fine = np.unique(np.clip((rows[best][:, None] + offsets[None, :]).ravel(), lo, max(hi, rows[-1])))
    return fine, _blocks(solve, fine, cost)


def _named(names, values, errors):
    return (
        {name: float(v) for name, v in zip(names, values)},
        {name: float(e) for name, e in zip(names, errors)},
    )


def _curve_of(model, origin: float, scale: float, popt):
    popt = tuple(float(p) for p in popt)

    def curve(x):
        return model((np.asarray(x, dtype=float) - origin) / scale, *popt)

    return curve


# ----------------------------------------------------------------------------- ramsey


_RAMSEY_FORMULA = "offset + amplitude * exp(-t / t2_star_s) * cos(2 pi detuning_hz t + phase)"


def _ramsey_model(u, nu, gamma, offset, amplitude, phase):
    return offset + amplitude * np.exp(-gamma * u) * np.cos(2 * np.pi * nu * u + phase)


# Decay rates (per time window) the Ramsey scan tries; 0 is no decay at all.
_RAMSEY_RATES = np.concatenate(([0.0], np.geomspace(0.1, 20.0, 12)))


def _ramsey_scan(nu: np.ndarray, u: np.ndarray, yc: np.ndarray):
    """For each frequency (rows) and decay rate (columns): the least-squares
    coefficients (offset, cos, sin) of centred data and the reduction of the
    residual sum of squares they give.

    The normal equations need only sums over the points of products of
    ``exp(-g u)``, ``cos`` and ``sin``; the squares and the product of cos and
    sin are written with the doubled phase, so that every sum is a matrix
    product of a (frequency x point) matrix with a (point x rate) one.
    """
    n = len(u)
    theta = 2 * np.pi * np.outer(nu, u)
    c, s = np.cos(theta), np.sin(theta)
    c2, s2 = 2.0 * c * c - 1.0, 2.0 * c * s
    e = np.exp(-np.outer(u, _RAMSEY_RATES))  # points x rates
    e2 = e * e
    ec, es = c @ e, s @ e
    e2sum = e2.sum(0)
    cc = 0.5 * (e2sum + c2 @ e2)
    ss = 0.5 * (e2sum - c2 @ e2)
    cs = 0.5 * (s2 @ e2)
    yc_e = yc[:, None] * e
    rhs = np.stack([np.zeros_like(ec), c @ yc_e, s @ yc_e], axis=-1)
    normal = np.empty(ec.shape + (3, 3))
    normal[..., 0, 0] = n
    normal[..., 0, 1] = normal[..., 1, 0] = ec
    normal[..., 0, 2] = normal[..., 2, 0] = es
    normal[..., 1, 1] = cc
    normal[..., 1, 2] = normal[..., 2, 1] = cs
    normal[..., 2, 2] = ss
    # At zero frequency (and at the sampling limit) sin vanishes at every
    # point; a tiny ridge keeps those systems solvable, giving sin no weight.
    normal += 1e-9 * n * np.eye(3)
    coef = np.linalg.solve(normal, rhs[..., None])[..., 0]
    gain = np.sum(coef * rhs, axis=-1)
    return coef, gain


@_fit_kind("ramsey")
def fit_ramsey(times_s, p1):
    """Fit damped Ramsey fringes of P(1) against the free-evolution time; see the module doc."""
    t, y = _series(times_s, p1, "times", 8)
    t0, span = float(t[0]), float(t[-1] - t[0])
    u = (t - t0) / span  # within [0, 1]
    # Frequencies in cycles per window, from none up to the sampling's limit,
    # in steps that leave every point within pi/16 of a grid point's phase.
    dnu = 1.0 / 16
    nu_hi = 0.5 / _step(u)
    yc = y - y.mean()

    def solve(rows):
        return _ramsey_scan(rows, u, yc)

    nu, (coef, gain) = _scan(solve, lambda result: result[1].max(axis=1), 0.0, nu_hi, dnu, 4 * len(u))
    i, j = _best(gain, "Ramsey fringes")
    b0, bc, bs = coef[i, j]
    p0 = [nu[i], _RAMSEY_RATES[j], y.mean() + b0, math.hypot(bc, bs), math.atan2(-bs, bc)]
    # The frequency stays near its grid point (the scan found the basin); a
    # slightly negative decay rate is allowed so that an undamped signal gets
    # an honest error rather than one stuck at zero.
    lower = [nu[i] - 4 * dnu, -1.0, -np.inf, -np.inf, -np.inf]
    upper = [nu[i] + 4 * dnu, 100.0, np.inf, np.inf, np.inf]
    edges = {
        (1, "lower"): "the fringes grow instead of decaying",
        (1, "upper"): "the fringes decay within the first points",
    }
    popt, pcov = _refine(_ramsey_model, u, y, p0, lower, upper, edges)
    nu_sign = -1.0 if popt[0] < 0 else 1.0
    flip = np.pi if popt[3] < 0 else 0.0

    def physical(p):
        nu, gamma, offset, amplitude, phase = p
        detuning = nu_sign * nu / span
        # Refer amplitude and phase to t = 0 rather than to the first point.
        phase = nu_sign * (phase + flip) - 2 * np.pi * detuning * t0
        return [detuning, span / gamma, abs(amplitude) * np.exp(gamma * t0 / span), phase, offset]

    names = ("detuning_hz", "t2_star_s", "amplitude", "phase", "offset")
    values, errors = _named(names, *_propagate(physical, popt, pcov))
    values["phase"] = float(math.remainder(values["phase"], 2 * math.pi))
    if popt[1] <= 0:
        # Fringes that grow, within their error, say only that T2* is long.
        values["t2_star_s"] = errors["t2_star_s"] = math.inf
    curve = _curve_of(_ramsey_model, t0, span, popt)
    partial = (values, errors, curve, _RAMSEY_FORMULA)
    _require_signal(_ramsey_model, u, y, popt, 4, 2 * (nu_hi + 1), "Ramsey fringes", partial)
    _require_determined(values, errors, ("detuning_hz",), partial)
    undetermined = _open_values(values, errors, ("t2_star_s",), _LONGEST_DECAY * span)
    return values, errors, curve, undetermined, _RAMSEY_FORMULA


# ----------------------------------------------------------------------------- t1


_T1_FORMULA = "offset + amplitude * exp(-t / t1_s)"


def _t1_model(u, gamma, amplitude, offset):
    return offset + amplitude * np.exp(-gamma * u)


@_fit_kind("t1")
def fit_t1(times_s, p1):
    """Fit an exponential decay of P(1) against the delay; see the module doc."""
    t, y = _series(times_s, p1, "times", 5)
    t0, span = float(t[0]), float(t[-1] - t[0])
    u = (t - t0) / span
    # Decay rates per window, from far too slow to see up to decays within a
    # fraction of one step.
    rates = np.geomspace(0.02, max(3.0 / _step(u), 1.0), 256)
    yc = y - y.mean()
    b, b0, gain = _two_term(np.exp(-np.outer(rates, u)), yc)
    (i,) = _best(gain, "decay")
    p0 = [rates[i], b[i], y.mean() + b0[i]]
    lower = [rates[i] / 10, -np.inf, -np.inf]
    upper = [rates[i] * 10, np.inf, np.inf]
    edges = {(0, "lower"): "t1_s is far longer than the time window"} if i == 0 else {}
    popt, pcov = _refine(_t1_model, u, y, p0, lower, upper, edges)

    def physical(p):
        gamma, amplitude, offset = p
        return [span / gamma, amplitude * np.exp(gamma * t0 / span), offset]

    values, errors = _named(("t1_s", "amplitude", "offset"), *_propagate(physical, popt, pcov))
    curve = _curve_of(_t1_model, t0, span, popt)
    partial = (values, errors, curve, _T1_FORMULA)
    _require_signal(_t1_model, u, y, popt, 2, 3.0, "decay", partial)
    _require_determined(values, errors, ("t1_s",), partial)
    if values["t1_s"] > _LONGEST_DECAY * span:
        raise _Refused(
            f"t1_s = {values['t1_s']:.3g} s is far longer than the time window ({span:.3g} s)", *partial
        )
    return values, errors, curve, (), _T1_FORMULA


# ----------------------------------------------------------------------------- resonance


def _lorentzian_model(u, centre, width, height, offset):
    return offset + height / (1.0 + (2.0 * (u - centre) / width) ** 2)


def _gaussian_model(u, centre, width, height, offset):
    return offset + height * np.exp(-_LN2 * (2.0 * (u - centre) / width) ** 2)


_LN2 = math.log(2.0)
# Line shapes of one full width at half maximum, as functions of 2 (f - centre) / width.
_LINES = {
    "lorentzian": (_lorentzian_model, lambda z: 1.0 / (1.0 + z * z)),
    "gaussian": (_gaussian_model, lambda z: np.exp(-_LN2 * z * z)),
}
_LINE_FORMULAS = {
    "lorentzian": "offset + height / (1 + (2 (f - freq_hz) / width_hz)**2)",
    "gaussian": "offset + height * exp(-ln 2 (2 (f - freq_hz) / width_hz)**2)",
}


@_fit_kind("resonance")
def fit_resonance(freqs_hz, p1):
    """Fit a resonance peak of P(1) against drive frequency; see the module doc."""
    f, y = _series(freqs_hz, p1, "frequencies", 6)
    middle, span = 0.5 * float(f[0] + f[-1]), float(f[-1] - f[0])
    u = (f - middle) / span  # within [-0.5, 0.5]
    step = _step(u)
    # Centres a third of a step apart across the sweep (scanned a step apart
    # first); widths from half a step (a peak on one point) to twice the
    # sweep. Long sweeps get fewer centres, and no widths too narrow for
    # them: the cost of the scan would otherwise grow with the square of the
    # number of points.
    centre_step = max(step / 3, 1.0 / _MOST_CENTRES)
    widths = np.geomspace(max(step / 2, 1.5 * centre_step), 2.0, 24)
    yc = y - y.mean()

    def peaks(result):
        b, _, gain = result
        return np.where(b > 0, gain, -np.inf)  # a peak, not a dip

    starts = []
    for line, (model, profile) in _LINES.items():

        def solve(rows, profile=profile):
            z = (u[None, None, :] - rows[:, None, None]) * (2.0 / widths[None, :, None])
            return _two_term(profile(z), yc)

        centres, result = _scan(
            solve, lambda result: peaks(result).max(axis=1), -0.5, 0.5, centre_step, len(widths) * len(u), 3
        )
        b, b0, _ = result
        gain = peaks(result)
        i, j = _best(gain, "resonance peak")
        starts.append((gain[i, j], line, [centres[i], widths[j], b[i, j], y.mean() + b0[i, j]]))
    lower = [-0.75, step / 20, 0.0, -np.inf]
    upper = [0.75, 20.0, np.inf, np.inf]
    edges = {
        (0, "lower"): "the peak's centre lies outside the sweep",
        (0, "upper"): "the peak's centre lies outside the sweep",
        (1, "lower"): "the peak is not resolved: it is narrower than the frequency step",
        (1, "upper"): "the peak is much wider than the sweep",
        (2, "lower"): "no resonance peak in the data",
    }
    # The line shape that suits the data better: either has its centre where
    # the peak is symmetric, but a Lorentzian's tails pull the centre of a
    # Gaussian-like line sampled by few points (and the other way round).
    # Should the better one's refinement fail, the other is tried.
    starts.sort(key=lambda start: -start[0])
    first_refusal = None
    for _, line, p0 in starts:
        model = _LINES[line][0]
        try:
            popt, pcov = _refine(model, u, y, p0, lower, upper, edges)
            break
        except _Refused as refusal:
            first_refusal = first_refusal or refusal
    else:
        raise first_refusal

    def physical(p):
        centre, width, height, offset = p
        return [middle + centre * span, width * span, height, offset]

    values, errors = _named(("freq_hz", "width_hz", "height", "offset"), *_propagate(physical, popt, pcov))
    curve = _curve_of(model, middle, span, popt)
    partial = (values, errors, curve, _LINE_FORMULAS[line])
    _require_signal(model, u, y, popt, 3, 2.0 / (3 * centre_step) + 1, "resonance peak", partial)
    if not abs(popt[0]) <= 0.5:
        raise _Refused(f"the peak's centre ({values['freq_hz']:.9g} Hz) lies outside the sweep", *partial)
    width = values["width_hz"]
    if not (math.isfinite(errors["freq_hz"]) and errors["freq_hz"] < width):
        raise _Refused(
            f"freq_hz is not determined to within a line width ({format_value(values['freq_hz'], errors['freq_hz'])})",
            *partial,
        )
    if width > _WIDEST_PEAK * span:
        raise _Refused(f"the peak ({width:.3g} Hz wide) is much wider than the sweep ({span:.3g} Hz)", *partial)
    return values, errors, curve, _open_values(values, errors, ("width_hz",)), _LINE_FORMULAS[line]
