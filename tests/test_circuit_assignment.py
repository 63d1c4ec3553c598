"""Giving the experiment its circuit or batch circuits, inserting wave gates, and what editing leaves alone."""

import fractions

import numpy as np
import pytest

from support_collaborators import raised
from support_editing import SpyCircuit, circuit_of, wave
from varnok_client.qc.gates import QuantumGate
from varnok_client.waveform import WaveCircuit, WaveGate

REFUSED = {
    "set_circuit": "Experiment already set as batch circuit mode, cannot set circuit, please use "
    "`append_circuit()` function instead.",
    "add_wave_gate_obj": "Current experiment is set as `batch_circuit` mode, hence cannot use `add_wave_gate_obj()` "
    "method.",
    "add_wave_gate": "Current experiment is set as `batch_circuit` mode, hence cannot use `add_wave_gate()` method.",
}


class CopySpy:
    """An object whose deep copy is recorded and answered with `result` or `error`."""

    def __init__(self, result=None, error=None):
        self.result, self.error, self.memos = result, error, []

    def __deepcopy__(self, memo):
        self.memos.append(memo)
        if self.error is not None:
            raise self.error
        return self.result


def test_set_circuit_keeps_a_private_deep_copy_of_the_last_circuit(exp):
    spy = CopySpy(error=LookupError("cannot copy"))
    assert raised(LookupError, exp.set_circuit, spy) is spy.error and exp.circuit.gates == {}, "the previous stays"
    spy = CopySpy(result=WaveCircuit())
    exp.set_circuit(wave_circuit=spy)
    assert exp.circuit is spy.result and len(spy.memos) == 1 and type(spy.memos[0]) is dict
    given = circuit_of(("X", "q01", 0, [wave("q01")]), ("M", "q01", 1))
    assert exp.set_circuit(given) is None and exp.exp_mode == "normal" and exp.batch_circuits is None
    own = exp.circuit
    assert own is not given and own == given and own.gates[0].waves[0] is not given.gates[0].waves[0]


@pytest.mark.parametrize("how", [["append_circuit"], ["clear_batch_circuits"], ["append_circuit", "clear_batch_circuits"]])
@pytest.mark.parametrize("method", REFUSED)
def test_batch_mode_refuses_set_circuit_and_gate_insertion(exp, how, method):
    for step in how:
        getattr(exp, step)(*([WaveCircuit()] if step == "append_circuit" else []))
    batch, spy = exp.batch_circuits, SpyCircuit()
    exp._Experiment__wave_circuit = spy
    argument = CopySpy(error=AssertionError("copied"))  # unusable as a gate: nothing may be built or copied
    failure = raised(RuntimeError, getattr(exp, method), argument, *([] if method == "set_circuit" else [0]))
    assert str(failure) == REFUSED[method]
    assert spy.calls == [] and argument.memos == [] and exp.batch_circuits is batch and exp.circuit is spy


def test_append_circuit_stores_the_callers_objects_in_order(exp):
    own, first, second, spy = exp.circuit, WaveCircuit(), WaveCircuit(), CopySpy(error=AssertionError("copied"))
    assert exp.append_circuit(first) is None
    batch = exp.batch_circuits
    for value in (second, first, None, spy):
        exp.append_circuit(wave_circuit=value)
    assert exp.exp_mode == "batch_circuit" and type(batch) is list and exp.batch_circuits is batch
    assert [id(c) for c in batch] == [id(v) for v in (first, second, first, None, spy)] and exp.circuit is own
    assert exp.clear_batch_circuits() is None  # a new list: the old one keeps its five circuits
    exp.append_circuit(second)
    assert exp.batch_circuits == [second] and len(batch) == 5


@pytest.mark.parametrize("layer", [2, 2.9, fractions.Fraction(5, 2), np.int64(2), np.float64(2.5)])
@pytest.mark.parametrize("method", ["add_wave_gate_obj", "add_wave_gate"])
def test_insertion_hands_the_gate_itself_and_an_integer_layer_to_the_circuit(exp, method, layer):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    pair = ("CZ", ["q01", "q02"])
    argument = WaveGate(pair, 0) if method == "add_wave_gate_obj" else QuantumGate(*pair)
    result = getattr(exp, method)(argument, layer_in_circuit=layer)
    [(_, (gate, given_layer), kwargs)] = spy.calls
    assert kwargs == {} and given_layer == 2 and type(given_layer) is int
    assert (gate is argument and result is None) if method == "add_wave_gate_obj" else result is gate  # not the 41
    assert (gate.gate_name, gate.entity, gate.layer, gate.waves) == (*pair, 2 if result else 0, [])
