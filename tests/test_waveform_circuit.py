"""Waveform shapes, wave gates and circuits: closed forms, export timing and sampling, copies, serialisation."""

import copy
import json
from functools import reduce

import numpy as np
import pytest
from support_collaborators import is_png

from varnok_client.waveform import Drag, WaveCircuit, WaveGate, WavePackage
from varnok_client.waveform.shapes import clear_sample_cache
from varnok_client.waveform.waveform_register import waveform_register as reg


@pytest.fixture
def circuit() -> WaveCircuit:
    c = WaveCircuit()
    c.add_gate(("X", "q01"), 0, [reg.create("drag", "q01.xy", "drive", amp=0.5, width=40, beta=0.2)])
    c.add_gate(("Y/2", "q02"), 0, [reg.create("gaussian", "q02.xy", t0=10, amp=0.3, width=20)])
    c.add_gate(("M", ["q01", "q02"]), 1, [reg.create("square", "q01.ro", "readout", amp=0.1, width=100, freq=1e8),
                                          reg.create("cosine", "q02.ro", "readout", amp=0.2, width=60, edge=10)])
    return c


def sampled_one_by_one(pkg):
    # Every channel of ``pkg`` recomputed from its placed waves, one waveform at a time.
    return {channel: sum(w.sample(pkg.times) for w in pkg.channel_waves(channel)) for channel in pkg.channels}


def assert_export_equals_sampling(pkg):
    expected = sampled_one_by_one(pkg)
    for channel, samples in pkg.channels.items():
        np.testing.assert_allclose(samples, expected[channel], rtol=0, atol=1e-12)


def test_square_is_flat_with_carrier_phase_ratio_and_detuning():
    w = reg.create("square", "c", t0=5, ratio=0.5, amp=0.8, width=10, freq=2.5e8, phase=0.3)
    w.waveform_compiler_config["detuning"] = 0.5e8
    t = np.arange(0, 20, 0.5)
    s, inside = w.sample(t), (t >= 5) & (t < 15)
    np.testing.assert_allclose(s[inside], 0.4 * np.exp(1j * (2 * np.pi * 3e8 * t[inside] * 1e-9 + 0.3)))
    assert not s[~inside].any()


@pytest.mark.parametrize("sigma", [None, 3.0])
def test_gaussian_and_drag_match_closed_forms(sigma):
    t, s_eff = np.linspace(0, 39.5, 80), 10.0 if sigma is None else sigma
    g = np.exp(-0.5 * ((t - 20) / s_eff) ** 2)
    np.testing.assert_allclose(reg.create("gaussian", "c", amp=0.7, width=40, sigma=sigma).sample(t), 0.7 * g,
                               atol=1e-12)
    drag = reg.create("drag", "c", amp=0.7, width=40, sigma=sigma, beta=2.0).sample(t)
    np.testing.assert_allclose(drag, 0.7 * (g - 2.0j * (t - 20) / s_eff**2 * g), atol=1e-12)


@pytest.mark.parametrize("edge, expected", [
    (10, [0.0, 0.5, 1.0, 1.0, 1.0, 0.5]),
    (50, [0.0, 0.5 * (1 - np.cos(np.pi / 4)), 0.5, 1.0, 0.5, 0.5 * (1 - np.cos(np.pi / 4))]),  # full raised cosine
])
def test_cosine_edges_and_flat_top(edge, expected):
    w = reg.create("cosine", "c", amp=1.0, width=40, edge=edge)
    np.testing.assert_allclose(w.sample(np.array([0.0, 5.0, 10.0, 20.0, 30.0, 35.0])).real, expected, atol=1e-12)


def test_export_runs_layers_in_sequence_on_one_grid(circuit):
    # Layer 0 lasts 40 ns (the drag; the gaussian ends at 10 + 20); layer 1 lasts 100 ns.
    assert circuit.layer_starts() == {0: 0.0, 1: 40.0}
    pkg = circuit.export_wave_package(sample_rate=1e9)
    assert isinstance(pkg, WavePackage) and pkg.sample_rate == 1e9 and pkg.times.tolist() == list(range(140))
    assert {w.channel: w.t0 for w in pkg.waves} == {"q01.xy": 0.0, "q02.xy": 10.0, "q01.ro": 40.0, "q02.ro": 40.0}
    assert not pkg.channels["q01.ro"][:40].any()
    np.testing.assert_allclose(np.abs(pkg.channels["q01.ro"][40:]), 0.1)
    assert circuit.gates[2].waves[0].t0 == 0.0  # placing copies leaves the circuit's waveforms alone
    assert_export_equals_sampling(circuit.export_wave_package(2.4e9))


@pytest.mark.parametrize("shape", ["square", "gaussian", "drag", "cosine"])
@pytest.mark.parametrize("sample_rate", [1.7e9, 2.4e9, 3e9])
def test_export_of_pulses_off_the_grid_equals_sampling_them(shape, sample_rate):
    for t0, width in [(0.0, 0.3), (0.1, 7.7), (1 / 3, 1.0), (7.05, 40.0)]:
        c = WaveCircuit()
        c.add_gate(("X", "q01"), 0, [reg.create("square", "q01.ro", amp=0.1, width=3.0)])
        c.add_gate(("X", "q01"), 1, [reg.create(shape, "q01.xy", t0=t0, amp=0.8, width=width, freq=3e8, phase=0.4)])
        c.add_gate(("M", "q01"), 2, [reg.create("square", "q01.ro", amp=0.1, width=5.0)])
        pkg = c.export_wave_package(sample_rate)
        assert pkg.times.size == int(np.ceil(c.duration * sample_rate / 1e9 - 1e-9))
        assert_export_equals_sampling(pkg)


@pytest.mark.parametrize("shape", ["square", "gaussian", "drag"])
def test_grid_point_a_rounded_full_width_into_the_pulse_stays_silent(shape):
    # At 3 GS/s point 2852 lies before t0 + width, yet its offset from t0 rounds to exactly the width.
    t0, width = 80.68, 869.9866666666667
    c, wave = WaveCircuit(), reg.create(shape, "q01.xy", t0=t0, amp=0.5, width=width, freq=1e8)
    c.add_gate(("X", "q01"), 0, [wave, reg.create("square", "q01.ro", width=1000.0)])
    pkg = c.export_wave_package(3e9)
    samples = pkg.channels["q01.xy"]
    assert pkg.times[2852] < t0 + width and pkg.times[2852] - t0 == width and samples[2851] != 0 == samples[2852]
    np.testing.assert_array_equal(samples, wave.sample(pkg.times))


def waves_of(circuit):
    return [w for g in circuit.gates.values() for w in g.waves]


def update_parameter(key, value):
    return lambda c: [w.wave_parameters.update({key: value}) for w in waves_of(c) if key in w.wave_parameters]


def outcome(export):
    try:
        pkg = export()
    except (TypeError, ValueError) as exc:
        return type(exc)
    return {c: s.tobytes() for c, s in pkg.channels.items()}, [w.to_dict() for w in pkg.waves]


@pytest.mark.parametrize("change", [
    update_parameter("amp", -0.35), update_parameter("freq", 2.5e8), update_parameter("width", 13.0),
    update_parameter("sigma", 2.5), update_parameter("beta", -1.5), update_parameter("edge", 2.0),
    # Within one sample step: the same grid points under each pulse, the envelope evaluated elsewhere.
    lambda c: [setattr(w, "t0", w.t0 + 0.3) for w in waves_of(c)],
    lambda c: [w.waveform_compiler_config.update(detuning=4e7) for w in waves_of(c)],
    update_parameter("amp", True), update_parameter("amp", np.float32(0.3)), update_parameter("amp", 1),
    update_parameter("amp", float("nan")), update_parameter("width", 13), update_parameter("sigma", 2),
    # True equals 1.0 yet is refused: an export that just placed 1.0 must not take it for the same.
    lambda c: (update_parameter("amp", 1.0)(c), c.export_wave_package(), update_parameter("amp", True)(c)),
    lambda c: c.gates[0].waves[0].waveform_compiler_config.update(detuning=True),
    lambda c: c.gates[0].waves[0].wave_parameters.update(trim=[1.0]),
    lambda c: setattr(c.gates[0].waves[0], "ratio", 0.4),
    lambda c: setattr(c.gates[2].waves[0], "channel", "q03.ro"),
    lambda c: c.gates[2].waves.reverse(),
    lambda c: c.gates[1].waves.append(reg.create("cosine", "q02.xy", amp=0.2, width=30)),
    lambda c: c.gates[1].waves.__setitem__(0, reg.create("gaussian", "q02.xy", t0=10, amp=0.35, width=20)),
    lambda c: setattr(c.gates[1], "layer", 2),
])
def test_an_export_after_any_change_is_a_fresh_export(circuit, change):
    # The engine exports the same circuit at every step with a few values changed; exports reuse what
    # the export before placed, yet the result (or the refusal) is that of a fresh copy exported with
    # every cache emptied, and differs from the export before.
    circuit.export_wave_package()
    before = outcome(circuit.export_wave_package)
    change(circuit)
    fresh = copy.deepcopy(circuit)
    clear_sample_cache()
    assert outcome(circuit.export_wave_package) == outcome(fresh.export_wave_package) != before


class HalfDrag(Drag):
    # A user's shape derived from a built-in one, overriding only the envelope.
    def envelope(self, tau):
        return 0.5 * super().envelope(tau)


@pytest.mark.parametrize("cls", [Drag, HalfDrag])
def test_exports_share_nothing_with_the_circuit_or_each_other(circuit, cls):
    source = cls("q01.xy", "drive", amp=0.5, width=40.0, beta=0.2, waveform_compiler_config={"trim": [1.0]})
    circuit.gates[0].waves = [source]
    first = circuit.export_wave_package()
    placed, kept = first.waves[0], {c: s.copy() for c, s in first.channels.items()}
    assert placed == source and placed is not source and type(placed) is cls
    assert_export_equals_sampling(first)  # a user's shape is sampled through its own envelope
    placed.wave_parameters["amp"] = 7.0
    placed.waveform_compiler_config["trim"].append(3.0)
    for samples in first.channels.values():
        samples[:] = 9.0
    assert (source.wave_parameters["amp"], source.waveform_compiler_config["trim"]) == (0.5, [1.0])
    second = circuit.export_wave_package()
    assert {c: s.tobytes() for c, s in second.channels.items()} == {c: s.tobytes() for c, s in kept.items()}


def test_deepcopy_and_the_json_round_trip_give_equal_circuits_sharing_nothing(circuit):
    circuit.gates[1].waves[0].wave_parameters["amp"] = np.float64(0.25)
    circuit.add_wave_gate_obj(WaveGate(("I", "q03"), 4), 4)
    dup, back = copy.deepcopy(circuit), WaveCircuit.deserialize(json.loads(json.dumps(circuit.serialize())))
    assert dup == circuit == back and list(back.gates) == list(circuit.gates)
    assert isinstance(back.gates[0].waves[0], Drag) and dup.gates[0].waves[0] is not circuit.gates[0].waves[0]
    dup.gates[0].waves[0].wave_parameters["amp"] = 9
    dup.gates[2].entity.append("q03")
    assert circuit.gates[0].waves[0].wave_parameters["amp"] == 0.5 and circuit.gates[2].entity == ["q01", "q02"]
    assert dup != circuit


def hostile_circuit_data(mutate):
    c = WaveCircuit()
    c.add_gate(("X", "q01"), 0, [reg.create("drag", "q01.xy", name="drive", amp=0.5, width=40.0)])
    c.add_gate(("M", "q01"), 1, [])
    data = json.loads(json.dumps(c.serialize()))
    mutate(data["gates"][0]["waves"][0], data["gates"][0], data)
    return data


HOSTILE_CIRCUITS = {
    "version": (lambda w, g, d: d.update(version=99), ValueError),
    "gate id text": (lambda w, g, d: g.update(id="0"), TypeError),
    "gate id repeated": (lambda w, g, d: d["gates"][1].update(id=0), ValueError),
    "layer text": (lambda w, g, d: g.update(layer="0; rm -rf"), TypeError),
    "code as amplitude": (lambda w, g, d: w["wave_parameters"].update(amp="__import__('os').system('touch pwned')"),
                          TypeError),
    "unknown parameter": (lambda w, g, d: w["wave_parameters"].update(evil=1), TypeError),
    "nan width": (lambda w, g, d: w["wave_parameters"].update(width=float("nan")), ValueError),
    "deep config": (lambda w, g, d: w["waveform_compiler_config"].update(x=reduce(lambda v, _: [v], range(10**5), 0)),
                    TypeError),
    "dunder shape": (lambda w, g, d: w.update(shape="__import__"), KeyError),
    "channel object": (lambda w, g, d: w.update(channel={"__reduce__": "os.system"}), TypeError),
    "extra field": (lambda w, g, d: w.update(__class__="Waveform"), ValueError),
}


@pytest.mark.parametrize("case", list(HOSTILE_CIRCUITS))
def test_deserialize_refuses_bad_or_hostile_content_and_runs_nothing(tmp_path, monkeypatch, case):
    monkeypatch.chdir(tmp_path)
    mutate, error = HOSTILE_CIRCUITS[case]
    with pytest.raises(error):
        WaveCircuit.deserialize(hostile_circuit_data(mutate))
    assert not (tmp_path / "pwned").exists()


def create(shape, **kwargs):
    return lambda c: reg.create(shape, "q01.xy", **kwargs)


def exported(mutate, sample_rate=2e9):  # a value written after creation is only looked at when exporting
    return lambda c: (mutate(c), c.export_wave_package(sample_rate))


def write(gate_id, key, value):
    return lambda c: c.gates[gate_id].waves[0].wave_parameters.__setitem__(key, value)


@pytest.mark.parametrize("action, error, fragment", [
    (create("triangle"), KeyError, "triangle"), (create("gaussian", sigmaa=3), TypeError, "sigmaa"),
    (create("square", amp=True), TypeError, "'amp'"), (create("square", freq=float("nan")), ValueError, "'freq'"),
    (create("square", ratio=None), TypeError, "ratio"), (create("gaussian", sigma=0.0), ValueError, "'sigma'"),
    (exported(write(0, "amp", "0.5")), TypeError, "'amp'"), (exported(write(2, "width", -1.0)), ValueError, "width"),
    (exported(lambda c: setattr(c.gates[1].waves[0], "t0", -1.0)), ValueError, "starts before its gate"),
    (exported(lambda c: setattr(c.gates[2].waves[1], "channel", 5)), TypeError, "channel names"),
    (exported(lambda c: c.gates[0].waves[0].waveform_compiler_config.update(detuning="1e6")), TypeError, "detuning"),
    # One second written as ns: refused before 2e18 samples are allocated.
    (exported(write(2, "width", 1e18)), ValueError, "samples per channel"),
    *[(exported(lambda c: None, rate), error, "sample_rate") for rate, error in [
        ("2e9", TypeError), (0, ValueError), (float("inf"), ValueError)]],
])
def test_unknown_shapes_and_unsamplable_values_or_sample_rates_are_refused(circuit, action, error, fragment):
    circuit.export_wave_package()
    with pytest.raises(error, match=fragment):
        action(circuit)


def test_plot_draws_every_channel_headless(circuit, tmp_path):
    import matplotlib

    backend, fig = matplotlib.get_backend(), circuit.export_wave_package().plot(dt=0.25, path=tmp_path / "wave.png")
    assert is_png(tmp_path / "wave.png") and len(fig.axes) == 4 and matplotlib.get_backend() == backend
