import copy
import json

import numpy as np
import pytest

from varnok_client.qc.gates import QuantumGate
from varnok_client.waveform import Drag, Square, WaveCircuit, WaveGate, WavePackage
from varnok_client.waveform.waveform_register import waveform_register as reg


def gate(name, entity, layer, *waves):
    g = WaveGate((name, entity), layer)
    g.waves = list(waves)
    return g


@pytest.fixture
def circuit() -> WaveCircuit:
    c = WaveCircuit()
    c.add_wave_gate_obj(
        gate(
            "X",
            "q01",
            0,
            reg.create("drag", "q01.xy", "drive", amp=0.5, width=40, beta=0.2),
        ),
        0,
    )
    c.add_wave_gate_obj(
        gate(
            "Y/2", "q02", 0, reg.create("gaussian", "q02.xy", t0=10, amp=0.3, width=20)
        ),
        0,
    )
    c.add_wave_gate_obj(
        gate(
            "M",
            ["q01", "q02"],
            1,
            reg.create("square", "q01.ro", "readout", amp=0.1, width=100, freq=1e8),
            reg.create("cosine", "q02.ro", "readout", amp=0.2, width=60, edge=10),
        ),
        1,
    )
    return c


def test_register_lists_and_refuses_unknowns():
    assert {"square", "gaussian", "drag", "cosine"} <= set(reg.shapes())
    with pytest.raises(KeyError, match="triangle"):
        reg.create("triangle", "c")
    with pytest.raises(TypeError, match="sigmaa"):
        reg.create("gaussian", "c", sigmaa=3)


def test_square_is_flat_with_carrier_and_phase():
    w = reg.create(
        "square", "c", t0=5, ratio=0.5, amp=0.8, width=10, freq=2.5e8, phase=0.3
    )
    w.waveform_compiler_config["detuning"] = 0.5e8
    t = np.arange(0, 20, 0.5)
    s = w.sample(t)
    inside = (t >= 5) & (t < 15)
    np.testing.assert_allclose(np.abs(s[inside]), 0.4)
    np.testing.assert_allclose(
        s[inside], 0.4 * np.exp(1j * (2 * np.pi * 3e8 * t[inside] * 1e-9 + 0.3))
    )
    assert not s[~inside].any()


@pytest.mark.parametrize("sigma", [None, 3.0])
def test_gaussian_and_drag_match_closed_forms(sigma):
    t = np.linspace(0, 39.5, 80)
    s_eff = 10.0 if sigma is None else sigma
    g = np.exp(-0.5 * ((t - 20) / s_eff) ** 2)
    gauss = reg.create("gaussian", "c", amp=0.7, width=40, sigma=sigma).sample(t)
    np.testing.assert_allclose(gauss, 0.7 * g, atol=1e-12)
    assert gauss[t == 20][0] == pytest.approx(0.7)
    drag = reg.create("drag", "c", amp=0.7, width=40, sigma=sigma, beta=2.0).sample(t)
    dg = -(t - 20) / s_eff**2 * g
    np.testing.assert_allclose(drag, 0.7 * (g + 2.0j * dg), atol=1e-12)


@pytest.mark.parametrize(
    "edge, expected",
    [
        (10, [0.0, 0.5, 1.0, 1.0, 1.0, 0.5]),
        # An edge longer than half the pulse becomes a full raised cosine.
        (
            50,
            [
                0.0,
                0.5 * (1 - np.cos(np.pi / 4)),
                0.5,
                1.0,
                0.5,
                0.5 * (1 - np.cos(np.pi / 4)),
            ],
        ),
    ],
)
def test_cosine_edges_and_flat_top(edge, expected):
    w = reg.create("cosine", "c", amp=1.0, width=40, edge=edge)
    t = np.array([0.0, 5.0, 10.0, 20.0, 30.0, 35.0])
    np.testing.assert_allclose(w.sample(t).real, expected, atol=1e-12)


def test_wave_gate_from_forms_and_search_wave():
    g = WaveGate(QuantumGate("M", ["q01", "q02"]), 3)
    assert (g.gate_name, g.entity, g.layer) == ("M", ["q01", "q02"], 3)
    g.waves = [
        reg.create("square", "a.ro", "r", width=1),
        reg.create("square", "b.ro", "r", width=1),
        reg.create("square", "a.ro", "x", width=1),
    ]
    assert g.search_wave(wave_name="r") == [0, 1]
    assert g.search_wave(channel="a.ro") == [0, 2]
    assert g.search_wave(wave_name="none") == []
    assert g.waves is g.waves and g.waves[1] is g.waves[1]
    for bad in [("X",), ("X", 3), (1, "q01"), "X"]:
        with pytest.raises(TypeError):
            WaveGate(bad, 0)
    assert "M" in repr(g) and "q02" in str(g)


def test_add_keeps_object_and_search_gates_both_forms(circuit):
    g = WaveGate(("X/2", "q01"), 9)
    gid = circuit.add_wave_gate_obj(g, 2)
    assert circuit.gates[gid] is g and g.layer == 2
    assert list(circuit.gates) == [0, 1, 2, 3]
    assert (
        circuit.search_gates(entity="q01", layer=1)
        == circuit.search_gates("q01", 1)
        == [circuit.gates[2]]
    )
    assert circuit.search_gates("q02", 0)[0] is circuit.gates[1]
    assert [x.gate_name for x in circuit.search_gates(entity="q01")] == [
        "X",
        "M",
        "X/2",
    ]
    assert circuit.search_gates("q03", 0) == []
    with pytest.raises(ValueError):
        circuit.add_wave_gate_obj(g, 2)


def test_export_timing_layers_run_in_sequence(circuit):
    # Layer 0 lasts 40 ns (the drag; the gaussian ends at 10 + 20); layer 1 lasts 100 ns.
    assert circuit.layer_starts() == {0: 0.0, 1: 40.0}
    pkg = circuit.export_wave_package(sample_rate=1e9)
    assert isinstance(pkg, WavePackage) and pkg.sample_rate == 1e9
    np.testing.assert_array_equal(pkg.times, np.arange(140.0))
    assert set(pkg.channels) == {"q01.xy", "q02.xy", "q01.ro", "q02.ro"}
    starts = {w.channel: w.t0 for w in pkg.waves}
    assert starts == {"q01.xy": 0.0, "q02.xy": 10.0, "q01.ro": 40.0, "q02.ro": 40.0}
    ro = pkg.channels["q01.ro"]
    assert not ro[:40].any()
    np.testing.assert_allclose(np.abs(ro[40:]), 0.1)
    # Placed copies are independent of the circuit's waveforms.
    assert pkg.waves[0] is not circuit.gates[0].waves[0]
    assert circuit.gates[2].waves[0].t0 == 0.0


def test_export_reflects_values_written_into_waveforms(circuit):
    wave = circuit.gates[0].waves[0]
    wave.wave_parameters["width"] = 80
    wave.t0 = 4
    wave.ratio = 0.0
    pkg = circuit.export_wave_package()
    assert circuit.layer_starts()[1] == 84.0
    assert not pkg.channels["q01.xy"].any()
    assert pkg.times.size == int((84 + 100) * 2)


def test_deepcopy_shares_nothing(circuit):
    dup = copy.deepcopy(circuit)
    assert dup == circuit
    for gid, g in circuit.gates.items():
        assert dup.gates[gid] is not g
        for a, b in zip(g.waves, dup.gates[gid].waves, strict=True):
            assert a is not b and a.wave_parameters is not b.wave_parameters
    dup.gates[0].waves[0].wave_parameters["amp"] = 9
    dup.gates[2].entity.append("q03")
    assert circuit.gates[0].waves[0].wave_parameters["amp"] == 0.5
    assert circuit.gates[2].entity == ["q01", "q02"]
    assert dup != circuit


def test_serialize_json_round_trip(circuit):
    circuit.gates[1].waves[0].wave_parameters["amp"] = np.float64(0.25)
    circuit.add_wave_gate_obj(WaveGate(("I", "q03"), 4), 4)
    data = json.loads(json.dumps(circuit.serialize()))
    back = WaveCircuit.deserialize(data)
    assert back == circuit
    assert isinstance(back.gates[0].waves[0], Drag)
    assert list(back.gates) == list(circuit.gates)
    np.testing.assert_allclose(
        back.export_wave_package().channels["q02.xy"],
        circuit.export_wave_package().channels["q02.xy"],
    )


@pytest.mark.parametrize(
    "mutate, error",
    [
        (lambda d: d.update(version=99), ValueError),
        (lambda d: d.update(gates="x"), TypeError),
        (lambda d: d["gates"][0].update(id="0"), TypeError),
        (lambda d: d["gates"][1].update(id=0), ValueError),
        (lambda d: d["gates"][0].pop("layer"), ValueError),
        (lambda d: d["gates"][0]["waves"][0].update(shape="__import__"), KeyError),
        (
            lambda d: d["gates"][0]["waves"][0]["wave_parameters"].update(
                amp={"x": object()}
            ),
            TypeError,
        ),
        (
            lambda d: d["gates"][0]["waves"][0]["wave_parameters"].update(evil=1),
            TypeError,
        ),
        (lambda d: d["gates"][0]["waves"][0].update(t0="1"), TypeError),
    ],
)
def test_deserialize_rejects_bad_data(circuit, mutate, error):
    data = circuit.serialize()
    mutate(data)
    with pytest.raises(error):
        WaveCircuit.deserialize(data)


def test_plot_writes_png_without_touching_backend(circuit, tmp_path):
    import matplotlib

    backend = matplotlib.get_backend()
    pkg = circuit.export_wave_package()
    fig = pkg.plot(dt=0.25, path=tmp_path / "wave.png")
    assert (tmp_path / "wave.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert len(fig.axes) == 4
    assert matplotlib.get_backend() == backend
    times, chans = pkg.resample(0.5)
    np.testing.assert_allclose(chans["q02.ro"], pkg.channels["q02.ro"], atol=1e-12)


@pytest.mark.parametrize(
    "shape, kwargs, error, fragment",
    [
        ("square", {"amp": "0.5"}, TypeError, "'amp'"),
        ("square", {"amp": True}, TypeError, "'amp'"),
        ("square", {"freq": float("nan")}, ValueError, "'freq'"),
        ("square", {"width": -1.0}, ValueError, "'width'"),
        ("square", {"phase": 10**400}, ValueError, "'phase'"),
        ("square", {"t0": "later"}, TypeError, "t0"),
        ("square", {"ratio": None}, TypeError, "ratio"),
        ("square", {"sigma": 3.0}, TypeError, "no parameter 'sigma'"),
        ("gaussian", {"sigma": 0.0}, ValueError, "'sigma'"),
        ("drag", {"beta": [0.1]}, TypeError, "'beta'"),
        ("cosine", {"edge": -2.0}, ValueError, "'edge'"),
        ("square", {"waveform_compiler_config": [("detuning", 1.0)]}, TypeError, "waveform_compiler_config"),
    ],
)
def test_waveforms_refuse_unsamplable_values_when_created(shape, kwargs, error, fragment):
    with pytest.raises(error, match=fragment):
        reg.create(shape, "q01.xy", **kwargs)


@pytest.mark.parametrize("shape, optional", [("gaussian", "sigma"), ("drag", "sigma"), ("cosine", "edge")])
def test_optional_shape_parameters_accept_none(shape, optional):
    wave = reg.create(shape, "q01.xy", amp=1.0, width=40.0, **{optional: None})
    assert np.abs(wave.sample(np.arange(0.0, 40.0))).max() > 0.9


@pytest.mark.parametrize("sample_rate", [1e9, 2e9, 2.4e9, 3e9])
def test_export_equals_each_placed_waveform_sampled_on_the_grid(circuit, sample_rate):
    pkg = circuit.export_wave_package(sample_rate)
    step = 1e9 / sample_rate
    np.testing.assert_allclose(pkg.times, np.arange(pkg.times.size) * step)
    assert pkg.times.size == int(np.ceil(circuit.duration / step - 1e-9))
    for channel, samples in pkg.channels.items():
        expected = sum(w.sample(pkg.times) for w in pkg.channel_waves(channel))
        np.testing.assert_allclose(samples, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "sample_rate, error",
    [("2e9", TypeError), (True, TypeError), (0, ValueError), (-1e9, ValueError), (float("inf"), ValueError)],
)
def test_export_refuses_bad_sample_rates(circuit, sample_rate, error):
    with pytest.raises(error, match="sample_rate"):
        circuit.export_wave_package(sample_rate)


def test_export_refuses_a_circuit_too_long_to_sample_before_allocating():
    c = WaveCircuit()
    # One second written as ns by mistake: 2e18 samples.
    c.add_gate(("X", "q01"), 0, [reg.create("square", "q01.xy", width=1e18)])
    with pytest.raises(ValueError, match="samples per channel"):
        c.export_wave_package()


class HalfDrag(Drag):
    """A user's shape derived from a built-in one, overriding only the envelope."""

    def envelope(self, tau):
        return 0.5 * super().envelope(tau)


class PaddedSquare(Square):
    """A user's shape that lasts (and is sampled) 10 ns longer than its width."""

    @property
    def duration(self):
        return super().duration + 10.0


@pytest.mark.parametrize("cls", [Drag, HalfDrag])
def test_placed_waveforms_share_nothing_with_the_circuit(circuit, cls):
    source = cls("q01.xy", "drive", amp=0.5, width=40.0, beta=0.2)
    circuit.gates[0].waves = [source]
    source.waveform_compiler_config["trim"] = [1.0, 2.0]
    source.tags = ["calibrated"]
    placed = circuit.export_wave_package().waves[0]
    assert placed == source and placed is not source  # gate 0 starts the circuit
    assert type(placed) is cls and placed.tags == ["calibrated"]
    placed.wave_parameters["amp"] = 7.0
    placed.waveform_compiler_config["trim"].append(3.0)
    placed.tags.append("changed")
    assert source.wave_parameters["amp"] != 7.0
    assert source.waveform_compiler_config["trim"] == [1.0, 2.0]
    assert source.tags == ["calibrated"]


def sampled_one_by_one(pkg):
    """Every channel of ``pkg`` recomputed from its placed waves, one waveform at a time."""
    return {
        channel: sum(w.sample(pkg.times) for w in pkg.channel_waves(channel))
        for channel in pkg.channels
    }


def set_parameter(key, value, shapes=None):
    def mutate(circuit):
        for g in circuit.gates.values():
            for w in g.waves:
                if shapes is None or w.shape in shapes:
                    w.wave_parameters[key] = value

    return mutate


def set_attribute(name, value):
    def mutate(circuit):
        for g in circuit.gates.values():
            for w in g.waves:
                setattr(w, name, value)

    return mutate


def set_detuning(circuit):
    for g in circuit.gates.values():
        for w in g.waves:
            w.waveform_compiler_config["detuning"] = 4e7


@pytest.mark.parametrize(
    "mutate",
    [
        set_parameter("amp", -0.35),
        set_parameter("freq", 2.5e8),
        set_parameter("phase", 1.1),
        set_parameter("width", 13.0),
        set_parameter("sigma", 2.5, {"gaussian", "drag"}),
        set_parameter("beta", -1.5, {"drag"}),
        set_parameter("edge", 2.0, {"cosine"}),
        set_attribute("t0", 3.25),
        set_attribute("ratio", 0.4),
        set_detuning,
    ],
)
@pytest.mark.parametrize("sample_rate", [2e9, 2.4e9])
def test_export_follows_values_changed_between_exports(circuit, mutate, sample_rate):
    # The engine exports the same circuit at every step with a few values
    # changed; nothing of an earlier export may leak into a later one.
    before = circuit.export_wave_package(sample_rate)
    mutate(circuit)
    after = circuit.export_wave_package(sample_rate)
    expected = sampled_one_by_one(after)
    for channel, samples in after.channels.items():
        np.testing.assert_allclose(samples, expected[channel], rtol=0, atol=1e-12)
    assert any(
        a.shape != b.shape or not np.allclose(a, b)
        for a, b in zip(before.channels.values(), after.channels.values(), strict=True)
    )


@pytest.mark.parametrize("shape", ["gaussian", "drag", "cosine"])
def test_export_follows_shifts_smaller_than_a_sample(shape):
    # Shifts within one sample step leave the same grid points under the pulse
    # and change only where the envelope is evaluated.
    c = WaveCircuit()
    wave = reg.create(shape, "q01.xy", amp=0.8, width=40.0, freq=3e8)
    c.add_gate(("X", "q01"), 0, [wave])
    exports = []
    for t0 in [0.1, 0.3, 0.45, 0.3]:
        wave.t0 = t0
        pkg = c.export_wave_package(2e9)
        np.testing.assert_allclose(
            pkg.channels["q01.xy"], sampled_one_by_one(pkg)["q01.xy"], rtol=0, atol=1e-12
        )
        exports.append(pkg.channels["q01.xy"])
    assert not np.allclose(exports[0], exports[1]) and not np.allclose(exports[1], exports[2])


def test_repeated_exports_are_equal_and_independent(circuit):
    first = circuit.export_wave_package()
    kept = {channel: samples.copy() for channel, samples in first.channels.items()}
    for samples in first.channels.values():
        samples[:] = 9.0
    first.times[:] = -1.0
    second = circuit.export_wave_package()
    assert second.channels.keys() == kept.keys()
    for channel, samples in second.channels.items():
        np.testing.assert_array_equal(samples, kept[channel])
        assert samples.flags.writeable
    np.testing.assert_array_equal(second.times, np.arange(second.times.size) * 0.5)


@pytest.mark.parametrize("shape", ["square", "gaussian", "drag", "cosine"])
@pytest.mark.parametrize("t0", [0.0, 0.1, 1 / 3, 0.25, 7.05])
@pytest.mark.parametrize("width", [0.3, 1.0, 7.7, 40.0])
@pytest.mark.parametrize("sample_rate", [1e9, 1.7e9, 2.4e9, 3e9])
def test_export_of_pulses_off_the_grid_equals_sampling_them(shape, t0, width, sample_rate):
    c = WaveCircuit()
    c.add_gate(("X", "q01"), 0, [reg.create("square", "q01.ro", amp=0.1, width=3.0)])
    c.add_gate(
        ("X", "q01"), 1, [reg.create(shape, "q01.xy", t0=t0, amp=0.8, width=width, freq=3e8, phase=0.4)]
    )
    c.add_gate(("M", "q01"), 2, [reg.create("square", "q01.ro", amp=0.1, width=5.0)])
    pkg = c.export_wave_package(sample_rate)
    expected = sampled_one_by_one(pkg)
    for channel, samples in pkg.channels.items():
        np.testing.assert_allclose(samples, expected[channel], rtol=0, atol=1e-12)


@pytest.mark.parametrize("shape", ["square", "gaussian", "drag"])
def test_grid_point_a_rounded_full_width_into_the_pulse_stays_silent(shape):
    # At 3 GS/s point 2852 lies before t0 + width, yet its offset from t0
    # rounds to exactly the width: the pulse does not cover it.
    t0, width = 80.68, 869.9866666666667
    c = WaveCircuit()
    wave = reg.create(shape, "q01.xy", t0=t0, amp=0.5, width=width, freq=1e8)
    c.add_gate(("X", "q01"), 0, [wave, reg.create("square", "q01.ro", width=1000.0)])
    pkg = c.export_wave_package(3e9)
    assert pkg.times[2852] < t0 + width and pkg.times[2852] - t0 == width
    samples = pkg.channels["q01.xy"]
    assert samples[2851] != 0 and samples[2852] == 0
    np.testing.assert_array_equal(samples, wave.sample(pkg.times))


def test_export_samples_and_times_shapes_of_users_through_their_own_methods(circuit):
    circuit.gates[0].waves = [HalfDrag("q01.xy", amp=0.5, width=40.0, beta=0.2)]
    half = circuit.export_wave_package().channels["q01.xy"]
    circuit.gates[0].waves = [Drag("q01.xy", amp=0.5, width=40.0, beta=0.2)]
    full = circuit.export_wave_package().channels["q01.xy"]
    np.testing.assert_allclose(half, 0.5 * full, rtol=0, atol=1e-15)
    assert np.abs(full).max() > 0.4

    circuit.gates[1].waves = [PaddedSquare("q02.xy", amp=0.3, width=40.0)]
    assert circuit.layer_starts() == {0: 0.0, 1: 50.0}
    pkg = circuit.export_wave_package(1e9)
    assert pkg.channels["q02.xy"][:50].all() and not pkg.channels["q02.xy"][50:].any()


def write_parameter(gate_id, key, value):
    return lambda c: c.gates[gate_id].waves[0].wave_parameters.__setitem__(key, value)


def write_attribute(gate_id, name, value, wave_id=0):
    return lambda c: setattr(c.gates[gate_id].waves[wave_id], name, value)


@pytest.mark.parametrize(
    "mutate, error, fragment",
    [
        (write_parameter(0, "amp", "0.5"), TypeError, "'amp'"),
        (write_attribute(0, "ratio", None), TypeError, "ratio"),
        (write_parameter(2, "freq", float("nan")), ValueError, "'freq'"),
        (lambda c: c.gates[0].waves[0].waveform_compiler_config.update(detuning="1e6"), TypeError, "detuning"),
        (write_parameter(1, "phase", float("inf")), ValueError, "'phase'"),
        (write_parameter(2, "width", -1.0), ValueError, "width"),
        (write_parameter(2, "width", "wide"), TypeError, "'width'"),
        (write_attribute(1, "t0", "later"), TypeError, "t0"),
        (write_attribute(1, "t0", -1.0), ValueError, "starts before its gate"),
        (write_parameter(1, "sigma", -1.0), ValueError, "sigma"),
        (write_parameter(0, "beta", [0.1]), TypeError, "'beta'"),
        (write_attribute(2, "channel", 5, wave_id=1), TypeError, "channel names"),
        (lambda c: c.gates[2].waves[1].wave_parameters.__setitem__("edge", -2.0), ValueError, "edge"),
        # A zero-width gaussian has no default sigma to derive.
        (lambda c: c.gates[1].waves[0].wave_parameters.update(width=0.0, sigma=None), ValueError, "sigma"),
    ],
)
def test_export_refuses_values_written_into_waveforms_after_creation(circuit, mutate, error, fragment):
    circuit.export_wave_package()
    mutate(circuit)
    with pytest.raises(error, match=fragment):
        circuit.export_wave_package()


def hostile_circuit_data(mutate):
    c = WaveCircuit()
    c.add_gate(("X", "q01"), 0, [reg.create("drag", "q01.xy", name="drive", amp=0.5, width=40.0)])
    data = json.loads(json.dumps(c.serialize()))
    mutate(data["gates"][0]["waves"][0], data["gates"][0], data)
    return data


def _deep(levels):
    value = 0
    for _ in range(levels):
        value = [value]
    return value


HOSTILE_CIRCUITS = {
    "code as amplitude": (lambda w, g, d: w["wave_parameters"].update(amp="__import__('os').system('touch pwned')"), TypeError),
    "nan width": (lambda w, g, d: w["wave_parameters"].update(width=float("nan")), ValueError),
    "negative width": (lambda w, g, d: w["wave_parameters"].update(width=-40.0), ValueError),
    "deep config": (lambda w, g, d: w["waveform_compiler_config"].update(x=_deep(100_000)), TypeError),
    "shape is a list": (lambda w, g, d: w.update(shape=["drag"]), KeyError),
    "dunder shape": (lambda w, g, d: w.update(shape="__class__"), KeyError),
    "channel object": (lambda w, g, d: w.update(channel={"__reduce__": "os.system"}), TypeError),
    "extra field": (lambda w, g, d: w.update(__class__="Waveform"), ValueError),
    "gate id bool": (lambda w, g, d: g.update(id=True), TypeError),
    "layer text": (lambda w, g, d: g.update(layer="0; rm -rf"), TypeError),
    "entity list empty": (lambda w, g, d: g.update(entity=[]), TypeError),
    "gate name number": (lambda w, g, d: g.update(gate_name=1), TypeError),
    "waves not a list": (lambda w, g, d: g.update(waves={"0": w}), TypeError),
    "not a mapping": (lambda w, g, d: d.clear() or d.update({"format": "x"}), ValueError),
}


@pytest.mark.parametrize("case", list(HOSTILE_CIRCUITS))
def test_deserialize_refuses_hostile_content_and_runs_nothing(tmp_path, monkeypatch, case):
    monkeypatch.chdir(tmp_path)
    mutate, error = HOSTILE_CIRCUITS[case]
    with pytest.raises(error):
        WaveCircuit.deserialize(hostile_circuit_data(mutate))
    assert not (tmp_path / "pwned").exists()


def test_code_like_names_survive_a_round_trip_as_plain_text(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = "__import__('os').system('touch pwned')"
    data = hostile_circuit_data(lambda w, g, d: (w.update(name=text, channel=text), g.update(entity=text)))
    back = WaveCircuit.deserialize(data)
    assert back.gates[0].waves[0].name == text and back.gates[0].entity == text
    assert back.serialize() == data
    assert not (tmp_path / "pwned").exists()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"channels": {"a": np.zeros(3)}, "times": np.arange(4.0)}, ValueError),
        ({"channels": {1: np.zeros(2)}, "times": np.arange(2.0)}, TypeError),
        ({"times": np.zeros((2, 2))}, ValueError),
        ({"waves": ["not a wave"]}, TypeError),
        ({"sample_rate": "fast"}, TypeError),
    ],
)
def test_wave_package_refuses_inconsistent_contents(kwargs, error):
    with pytest.raises(error):
        WavePackage(**kwargs)


@pytest.mark.parametrize("dt, error", [("0.5", TypeError), (0, ValueError), (1e-12, ValueError)])
def test_redraw_step_is_checked(circuit, dt, error):
    with pytest.raises(error, match="dt"):
        circuit.export_wave_package().plot(dt=dt)
