import math

import numpy as np

import pytest

from varnok_client.compiler.gate_compiler import GateCompiler
from varnok_client.compiler.gate_compiler_register import (
    GateCompilerRegister,
    gate_compiler_register,
)
from varnok_client.group import Group, Space
from varnok_client.waveform import Drag, Square

CALIBRATION = {
    "q01.freq": 5.0e9,
    "q01.x_amp": 0.6,
    "q01.x_width": 40,
    "q01.drag_beta": 0.5,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 1000,
    "q01.ro_freq": 7.1e9,
}


@pytest.fixture
def group() -> Group:
    return Group("chip", CALIBRATION, ["q01"])


@pytest.mark.parametrize(
    "name, amp, phase",
    [
        ("X", 0.6, 0.0),
        ("Y", 0.6, math.pi / 2),
        ("X/2", 0.3, 0.0),
        ("-X/2", 0.3, math.pi),
        ("Y/2", 0.3, math.pi / 2),
        ("-Y/2", 0.3, -math.pi / 2),
        ("I", 0.0, 0.0),
    ],
)
def test_drive_gates_are_drag_pulses_from_calibration(group, name, amp, phase):
    pkg = GateCompiler(group).compile((name, "q01"), timestamp=None)
    (wave,) = pkg.waves
    assert isinstance(wave, Drag) and wave.channel == "q01.xy"
    p = wave.wave_parameters
    assert (p["amp"], p["width"], p["beta"], p["freq"]) == (
        pytest.approx(amp),
        40,
        0.5,
        5.0e9,
    )
    assert p["phase"] == pytest.approx(phase)
    assert pkg.times.size == 80 and list(pkg.channels) == ["q01.xy"]


def test_measure_is_square_readout(group):
    pkg = GateCompiler(group).compile(("M", "q01"))
    (wave,) = pkg.waves
    assert isinstance(wave, Square) and wave.channel == "q01.ro"
    assert {k: wave.wave_parameters[k] for k in ("amp", "width", "freq")} == {
        "amp": 0.2,
        "width": 1000,
        "freq": 7.1e9,
    }


def test_reads_calibration_at_timestamp_and_temporaries_win():
    space = Space()
    space.update(CALIBRATION, timestamp=100)
    space.set("q01.x_amp", 0.9, timestamp=200)
    group = Group("chip", space)
    compiler = GateCompiler(group)
    assert (
        compiler.compile(("X", "q01"), timestamp=150).waves[0].wave_parameters["amp"]
        == 0.6
    )
    assert (
        compiler.compile(("X", "q01"), timestamp=250).waves[0].wave_parameters["amp"]
        == 0.9
    )
    group.set_temporary_parameter("q01.x_amp", 0.1)
    assert (
        compiler.compile(("X", "q01"), timestamp=150).waves[0].wave_parameters["amp"]
        == 0.1
    )
    # Before any calibration was recorded only the temporary amplitude exists.
    assert compiler.compile(("X", "q01"), timestamp=50) is None


@pytest.mark.parametrize(
    "gate, drop",
    [
        (("CZ", "q01"), None),
        (("X", "q02"), None),
        (("X", ["q01", "q02"]), None),
        (("X", "q01"), "q01.x_amp"),
        (("M", "q01"), "q01.ro_freq"),
    ],
)
def test_none_when_gate_cannot_be_realised(gate, drop):
    values = {k: v for k, v in CALIBRATION.items() if k != drop}
    assert GateCompiler(Group("chip", values)).compile(gate, timestamp=None) is None


def test_group_none_and_reassignment(group):
    compiler = GateCompiler(group)
    compiler.group = None
    assert compiler.compile(("X", "q01")) is None
    compiler.group = group
    assert compiler.compile(("X", "q01")) is not None


def test_non_numeric_calibration_is_an_error():
    with pytest.raises(TypeError, match="q01.x_amp"):
        GateCompiler(Group("g", {**CALIBRATION, "q01.x_amp": "big"})).compile(
            ("X", "q01")
        )


def test_register_picks_factory_by_space_key(group):
    assert gate_compiler_register.get_gate_compiler(group).compiler_name == "default"
    assert gate_compiler_register.get_gate_compiler(None).group is None

    class Loud(GateCompiler):
        compiler_name = "loud"

    register = GateCompilerRegister()
    register.register("loud", Loud)
    chosen = register.get_gate_compiler(Group("g", {"compiler": "loud"}))
    assert isinstance(chosen, Loud) and chosen.group.name == "g"
    with pytest.raises(KeyError, match="quiet"):
        register.get_gate_compiler(Group("g", {"compiler": "quiet"}))
    with pytest.raises(TypeError):
        register.register("x", 3)


@pytest.mark.parametrize(
    "gate, kwargs, fragment",
    [
        ("X", {}, "pair"),
        (("X", "q01", "q02"), {}, "pair"),
        ((1, "q01"), {}, "gate name"),
        (("X", "q01"), {"timestamp": "now"}, "timestamp"),
        (("X", "q01"), {"timestamp": 1.5}, "timestamp"),
        (("X", "q01"), {"timestamp": True}, "timestamp"),
    ],
)
def test_compile_refuses_malformed_requests(group, gate, kwargs, fragment):
    with pytest.raises(TypeError, match=fragment):
        GateCompiler(group).compile(gate, **kwargs)


def test_compiled_waves_are_fresh_objects_each_time(group):
    compiler = GateCompiler(group)
    first, second = (compiler.compile(("X", "q01")) for _ in range(2))
    assert first.waves == second.waves
    first.waves[0].wave_parameters["amp"] = 0.0
    assert second.waves[0].wave_parameters["amp"] == pytest.approx(0.6)


@pytest.mark.parametrize("name", ["X", "Y/2", "M"])
def test_compiled_package_samples_the_realised_pulse(group, name):
    package = GateCompiler(group).compile((name, "q01"), timestamp=None)
    (wave,) = package.waves
    assert set(package.channels) == {wave.channel}
    np.testing.assert_allclose(package.channels[wave.channel], wave.sample(package.times), atol=1e-12)
    assert package.duration == wave.duration
