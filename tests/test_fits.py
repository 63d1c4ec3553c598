"""Calibration fits: recovery on noisy data in the hard cases, refusals instead of exceptions, curves and summaries."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varnok_client.analysis import fit_rabi, fit_ramsey, fit_resonance, fit_t1, format_value

FITS = {"rabi": fit_rabi, "ramsey": fit_ramsey, "t1": fit_t1, "resonance": fit_resonance}


def measured(p_true, seed, shots=200, offset=0.08, contrast=0.8):
    """P(1) as a readout with an offset and reduced contrast reports it, with binomial shot noise."""
    return np.random.default_rng(seed).binomial(shots, offset + contrast * p_true) / shots


def rabi(lo, hi, pi_amp, n=41):
    a = np.linspace(lo, hi, n)
    return a, np.sin(np.pi * a / (2 * pi_amp)) ** 2


def ramsey(t0, window, detuning, t2, phase, n=61):
    t = np.linspace(t0, t0 + window, n)
    return t, 0.5 + 0.5 * np.exp(-t / t2) * np.cos(2 * np.pi * detuning * t + phase)


def t1(t0, window, t1_s, n=31):
    t = np.linspace(t0, t0 + window, n)
    return t, np.exp(-t / t1_s)


def resonance(centre, width, span, n=51, shape="lorentzian"):
    f = np.linspace(centre - 0.4 * span, centre + 0.6 * span, n)
    z = 2 * (f - centre) / width
    return f, (0.9 / (1 + z**2) if shape == "lorentzian" else 0.9 * np.exp(-np.log(2) * z**2))


# What measured() makes of each model's amplitude and offset.
READOUT_TRUTH = {"rabi": {"contrast": 0.8, "offset": 0.08}, "ramsey": {"amplitude": 0.4, "offset": 0.48},
                 "t1": {"amplitude": 0.8, "offset": 0.08}, "resonance": {"height": 0.72, "offset": 0.08}}


def formula(kind, model, v, x):
    """The documented model, evaluated from the reported values alone."""
    if kind == "rabi":
        return v["offset"] + v["contrast"] * np.sin(np.pi * x / (2 * v["pi_amp"])) ** 2
    if kind == "ramsey":
        envelope = v["amplitude"] * np.exp(-x / v["t2_star_s"])
        return v["offset"] + envelope * np.cos(2 * np.pi * v["detuning_hz"] * x + v["phase"])
    if kind == "t1":
        return v["offset"] + v["amplitude"] * np.exp(-x / v["t1_s"])
    z = 2 * (x - v["freq_hz"]) / v["width_hz"]
    return v["offset"] + v["height"] * (np.exp(-np.log(2) * z**2) if "exp" in model else 1 / (1 + z**2))


@pytest.mark.parametrize("kind, data, name, truth", [  # the main value first in the values and the summary
    ("rabi", rabi(0, 3.0, 0.5351), "pi_amp", 0.5351),
    ("rabi", rabi(0, 0.56, 0.5351, n=21), "pi_amp", 0.5351),  # about half a period
    ("rabi", rabi(-2.4, 0, 0.3), "pi_amp", -0.3),  # all amplitudes <= 0
    ("rabi", rabi(-0.04, 0.02, 0.013, n=61), "pi_amp", 0.013),  # across zero, lopsided
    ("ramsey", ramsey(0, 4e-6, 1.7e6, 3e-6, 0.0), "detuning_hz", 1.7e6),
    ("ramsey", ramsey(2e-7, 1e-5, 6.5e4, 2e-5, 2.5, n=31), "detuning_hz", 6.5e4),  # 0.65 fringe, late start
    ("t1", t1(0, 4e-5, 5e-5, n=61), "t1_s", 5e-5),  # window shorter than T1
    ("t1", t1(1e-6, 1e-4, 1.7e-5), "t1_s", 1.7e-5),  # decayed long before the end
    ("resonance", resonance(5.1e9, 2e5, 3e6), "freq_hz", 5.1e9),
    ("resonance", resonance(5.1e9, 2e5, 4e5, n=21), "freq_hz", 5.1e9),  # two line widths
    ("resonance", resonance(6.2e9, 3e6, 2e7, shape="gaussian"), "freq_hz", 6.2e9),
    # Sweeps away from zero: the values are referred to x = 0.
    ("rabi", rabi(-1.1, -0.2, 0.37), "pi_amp", -0.37), ("ramsey", ramsey(3e-6, 8e-6, 4.1e5, 6e-6, -2.0), "detuning_hz",
                                                                   4.1e5),
])
def test_fits_recover_the_truth_from_noisy_data_in_the_hard_cases(kind, data, name, truth):
    x, p_true = data
    for seed in range(3):
        fit = FITS[kind](x, measured(p_true, seed))
        assert fit.ok, fit.reason
        truths = {name: truth, **READOUT_TRUTH[kind]}
        assert all(abs(fit.values[k] - v) <= 4 * fit.errors[k] for k, v in truths.items())
        scale = fit.values["width_hz"] if name == "freq_hz" else abs(truth)
        assert 0 < fit.errors[name] < 0.5 * scale  # an error, not one that lets any value fit
        assert fit.kind == kind and fit.reason == "" and list(fit.values) == list(fit.errors)
        summary = fit.summary()
        assert summary.startswith(f"{kind}: {name} = ")
        assert all(f"{k} = {format_value(v, fit.errors[k])}" in summary for k, v in fit.values.items())
    # The values, converted back from the fit's internal scaling, give its curve through the documented model;
    # the order of the points and non-finite points do not matter.
    grid, y = np.linspace(x[0], x[-1], 12).reshape(3, 4), measured(p_true, 2)
    curve = fit.best_fit(grid)
    assert curve.shape == (3, 4) and fit.best_fit(float(x[0])).shape == ()
    assert np.allclose(curve, formula(kind, fit.model, fit.values, grid), rtol=1e-9, atol=1e-9)
    order = np.random.default_rng(1).permutation(len(x))
    xs, ys = np.append(x[order], [np.nan, x[0]]), np.append(y[order], [0.5, np.inf])
    assert FITS[kind](xs, ys).values == pytest.approx(fit.values, rel=1e-6, abs=1e-9)


@pytest.mark.parametrize("kind", FITS)
@pytest.mark.parametrize("x, y, words", [
    (np.arange(10.0), np.arange(9.0) / 9, "10 "), (np.arange(3.0), [0.1, 0.9, 0.2], "too few points"),
    ([1.0, 2, 3, np.nan, 5, 6, 7, 8], [0.1, np.nan, 0.3, 0.4, np.inf, 0.2, 0.1, np.nan], "too few points"),
    ([2.0] * 12, np.linspace(0, 1, 12), "too few points"), ([], [], "too few points"),
    (np.arange(12.0), np.full(12, 0.3), "flat"),
    (np.linspace(1e-6, 3e-5, 60), np.random.default_rng(3).binomial(300, 0.4, 60) / 300, "no significant"),
    ("0123456789", list(range(10)), "not real numbers"), (np.arange(12.0), ["a"] * 12, "not real numbers"),
    (np.arange(12.0), [None, {}] * 6, "not all numbers"), (np.arange(12.0), np.arange(12.0) * 1j, "not real numbers"),
    (np.zeros((3, 4)), np.zeros((3, 4)), "one-dimensional"), (5.0, 0.5, "one-dimensional"),
    ([[1, 2], [3]], [1, 2], "not a sequence"),
])
def test_bad_data_is_refused_with_a_reason_never_an_exception(kind, x, y, words):
    fit = FITS[kind](x, y)
    assert not fit.ok and words in fit.reason
    assert fit.summary() == f"{kind} fit refused: {fit.reason}" and fit.reason in repr(fit)
    if words != "no significant":  # no model to show
        assert fit.values == fit.errors == {}
        assert np.isnan(fit.best_fit([1.0, 2.0])).all()


FLOATS = st.floats() | st.floats(-2, 2) | st.sampled_from([0.0, 1.0, 5e-324, 1e308, -1e308])


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(list(FITS)), st.lists(st.tuples(FLOATS, FLOATS), max_size=30))
def test_no_data_makes_a_fit_raise_and_an_ok_fit_has_finite_main_value(kind, points):
    fit = FITS[kind]([x for x, _ in points], [y for _, y in points])
    assert fit.summary() and fit.best_fit([0.0, 1.0]).shape == (2,)
    if fit.ok:
        main = next(iter(fit.values))
        assert math.isfinite(fit.values[main]) and 0 <= fit.errors[main] < abs(fit.values[main])


@pytest.mark.parametrize("kind, data, words", [  # noise-free: it is the extrapolation that is refused
    ("rabi", rabi(0, 0.05, 1.0), "far beyond the amplitudes swept"),
    ("rabi", rabi(0, 0.4, 1.0), "far beyond the amplitudes swept"),
    ("t1", t1(0, 1e-6, 1e-4), "far longer than the time window"),
    ("resonance", (np.linspace(5e9, 5.01e9, 41), 1 / (1 + (2 * (np.linspace(5e9, 5.01e9, 41) - 5.02e9) / 4e6) ** 2)),
     "outside the sweep"),
])
def test_values_the_data_do_not_determine_are_refused(kind, data, words):
    fit = FITS[kind](data[0], 0.05 + 0.9 * data[1])
    assert not fit.ok and words in fit.reason, fit.summary()


def test_fringes_that_hardly_decay_keep_the_detuning_but_leave_t2_open():
    x, p_true = ramsey(0, 1e-6, 3e6, 1e-3, 0.4)
    fit = fit_ramsey(x, measured(p_true, 2))
    assert fit.ok and fit.determined("detuning_hz") and not fit.determined("t2_star_s")
    assert fit.undetermined == ("t2_star_s",) and "t2_star_s = inf ± inf (not determined)" in fit.summary()


@pytest.mark.parametrize("value, error, text", [
    (0.53512, 0.00081, "0.5351 ± 0.0008"), (0.9123, 0.0061, "0.912 ± 0.006"), (0.5, 0.14, "0.50 ± 0.14"),
    (-1234.5, 20.0, "-1234 ± 20"), (5.1234567e9, 2.1e4, "5.12346e+09 ± 2e+04"), (0.3, 0.0, "0.3 ± 0"),
    (2.31e-5, 1.2e-7, "2.310e-05 ± 1.2e-07"), (math.inf, math.inf, "inf ± inf"),
])
def test_values_are_shown_to_the_precision_of_their_errors(value, error, text):
    assert format_value(value, error) == text
