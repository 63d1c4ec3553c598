"""Shared fixtures: the engine class and spies on the shared collaborator objects."""

from types import SimpleNamespace

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


@pytest.fixture
def spy_registers(monkeypatch, calls):
    """Replaces the register methods the engine calls, recording each call; compilers only remember their group."""
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", lambda group: calls("get_gate_compiler", group)
                        or SimpleNamespace(group=group, compiler_name="fake"))
    monkeypatch.setattr(waveform_register, "load_waveforms_for_group",
                        lambda group: calls("load_waveforms_for_group", group) or "ignored")
    return calls


@pytest.fixture
def group():
    return Group("demo", {"q01.freq": 5.0e9})


@pytest.fixture
def exp():
    return Experiment("title", "description")
