"""Shared fixtures: the engine class and spies on the shared collaborator objects."""

import pytest

from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.waveform.waveform_register import waveform_register


class Recorder:
    """Collects the calls that spies make, in order."""

    def __init__(self):
        self.calls = []

    def __call__(self, *entry):
        self.calls.append(entry)

    def names(self):
        return [entry[0] for entry in self.calls]


@pytest.fixture
def calls():
    return Recorder()


class FakeCompiler:
    """A gate compiler that only remembers the group it was made for."""

    compiler_name = "fake"

    def __init__(self, group):
        self.group = group


@pytest.fixture
def spy_registers(monkeypatch, calls):
    """Replaces the register methods the engine calls, recording each call."""

    def get_gate_compiler(group):
        calls("get_gate_compiler", group)
        return FakeCompiler(group)

    def load_waveforms_for_group(group):
        calls("load_waveforms_for_group", group)
        return "ignored"

    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", get_gate_compiler)
    monkeypatch.setattr(waveform_register, "load_waveforms_for_group", load_waveforms_for_group)
    return calls


@pytest.fixture
def group():
    return Group("demo", {"q01.freq": 5.0e9})


@pytest.fixture
def exp():
    return Experiment("title", "description")

