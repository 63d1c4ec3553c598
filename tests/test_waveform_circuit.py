import copy
import json

import numpy as np
import pytest

from varnok_client.qc.gates import QuantumGate
from varnok_client.waveform import Drag, WaveCircuit, WaveGate, WavePackage
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
