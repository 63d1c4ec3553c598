"""The gate compiler: standard gates realised from a group's calibration, read at a timestamp, or refused."""

import contextlib
import math

import numpy as np
import pytest

from varnok_client.compiler.gate_compiler import GateCompiler
from varnok_client.group import Group, Space
from varnok_client.waveform import Drag, Square

CALIBRATION = {"q01.freq": 5.0e9, "q01.x_amp": 0.6, "q01.x_width": 40, "q01.drag_beta": 0.5, "q01.ro_amp": 0.2,
               "q01.ro_width": 1000, "q01.ro_freq": 7.1e9}


@pytest.fixture
def group() -> Group:
    return Group("chip", CALIBRATION, ["q01"])


@pytest.mark.parametrize("name, cls, channel, expected", [
    ("X", Drag, "q01.xy", {"amp": 0.6, "phase": 0.0, "width": 40, "beta": 0.5, "freq": 5.0e9}),
    ("Y", Drag, "q01.xy", {"amp": 0.6, "phase": math.pi / 2}), ("X/2", Drag, "q01.xy", {"amp": 0.3, "phase": 0.0}),
    ("-X/2", Drag, "q01.xy", {"amp": 0.3, "phase": math.pi}),
    ("Y/2", Drag, "q01.xy", {"amp": 0.3, "phase": math.pi / 2}),
    ("-Y/2", Drag, "q01.xy", {"amp": 0.3, "phase": -math.pi / 2}), ("I", Drag, "q01.xy", {"amp": 0.0, "width": 40}),
    ("M", Square, "q01.ro", {"amp": 0.2, "width": 1000, "freq": 7.1e9}),
])
def test_standard_gates_are_realised_from_calibration_and_sampled(group, name, cls, channel, expected):
    package = GateCompiler(group).compile((name, "q01"), timestamp=None)
    (wave,) = package.waves
    assert isinstance(wave, cls) and wave.channel == channel and list(package.channels) == [channel]
    assert {key: wave.wave_parameters[key] for key in expected} == pytest.approx(expected)
    np.testing.assert_allclose(package.channels[channel], wave.sample(package.times), atol=1e-12)
    assert package.duration == wave.duration and package.times.size == 2 * wave.duration


def test_calibration_is_read_at_the_timestamp_temporaries_win_and_waves_are_fresh():
    group = Group("chip", Space())
    group.space.update(CALIBRATION, timestamp=100)
    group.space.set("q01.x_amp", 0.9, timestamp=200)
    compiler = GateCompiler(group)

    def amp(timestamp):
        return compiler.compile(("X", "q01"), timestamp=timestamp).waves[0].wave_parameters["amp"]

    assert (amp(150), amp(250)) == (0.6, 0.9)
    compiler.compile(("X", "q01"), timestamp=150).waves[0].wave_parameters["amp"] = 0.0
    assert amp(150) == 0.6
    group.set_temporary_parameter("q01.x_amp", 0.1)
    assert amp(150) == 0.1
    assert compiler.compile(("X", "q01"), timestamp=50) is None  # before any calibration but the temporary one


# A gate the calibration cannot realise compiles to None (the engine then looks elsewhere); a malformed
# request or a non-numeric calibration value is a TypeError naming it.
@pytest.mark.parametrize("gate, kwargs, calibration, fragment", [
    (("CZ", "q01"), {}, {}, None), (("X", "q02"), {}, {}, None), (("X", ["q01", "q02"]), {}, {}, None),
    (("X", "q01"), {}, {"q01.x_amp": None}, None), (("M", "q01"), {}, {"q01.ro_freq": None}, None),
    ("X", {}, {}, "pair"), (("X", "q01", "q02"), {}, {}, "pair"), ((1, "q01"), {}, {}, "gate name"),
    (("X", "q01"), {"timestamp": 1.5}, {}, "timestamp"), (("X", "q01"), {"timestamp": True}, {}, "timestamp"),
    (("X", "q01"), {}, {"q01.x_amp": "big"}, "q01.x_amp"),
])
def test_unrealisable_gates_give_none_and_malformed_requests_are_type_errors(gate, kwargs, calibration, fragment):
    values = {k: v for k, v in {**CALIBRATION, **calibration}.items() if v is not None}
    with pytest.raises(TypeError, match=fragment) if fragment else contextlib.nullcontext():
        assert GateCompiler(Group("g", values)).compile(gate, **{"timestamp": None, **kwargs}) is None
    assert GateCompiler(None).compile(("X", "q01"), timestamp=None) is None  # no group, no calibration
