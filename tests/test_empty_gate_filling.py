"""Filling gates without waveforms from the experiment's gate compiler."""

import fractions
from types import SimpleNamespace

import pytest

from support_collaborators import raised
from support_editing import Falsy, Package, SpyCompiler, circuit_of, fresh, wave
from varnok_client.languages import lang


@pytest.fixture
def compiler():
    return SpyCompiler()


@pytest.fixture
def cexp(exp, compiler):
    """Normal mode; gate 0: empty X, gate 1: Y with a waveform, gate 2: empty M, gate 3: empty two-entity CZ."""
    exp.set_circuit(circuit_of(("X", "q01", 0), ("Y", "q01", 1, [wave("q01")]), ("M", "q01", 2), ("CZ", ["q01", "q02"], 3)))
    exp._Experiment__gate_compiler = compiler
    return exp


def gates(exp):
    return list(exp.circuit.gates.values())


def test_empty_gates_are_filled_once_in_circuit_order_with_the_packages_waves(cexp, compiler):
    packages, full = [], gates(cexp)[1].waves
    compiler.answer = lambda pair: packages.append(fresh(pair)) or packages[-1]
    cexp.fill_empty_wave_gates()
    found = gates(cexp)
    cexp._Experiment__gate_compiler = None  # a circuit without empty gates needs no compiler
    assert cexp.fill_empty_wave_gates() is None
    assert compiler.calls == [((p,), {"timestamp": None}) for p in [("X", "q01"), ("M", "q01"), ("CZ", ["q01", "q02"])]]
    assert all(type(args[0]) is tuple for args, _ in compiler.calls) and compiler.calls[2][0][0][1] is found[3].entity
    expected = [packages[0].waves, full, packages[1].waves, packages[2].waves]  # the filled gates are left alone
    assert all(g.waves is waves for g, waves in zip(found, expected, strict=True))


@pytest.mark.parametrize(("args", "kwargs", "expected"), [
    ((), {"space_timestamp": -0.5}, 0), ((), {"space_timestamp": fractions.Fraction(7, 2)}, 3), ((None, 42), {}, 42),
    ((), {"group": None}, None), ((), {"group": Falsy()}, None),  # only a None group is left out
])
def test_timestamp_reaches_the_compiler_as_an_integer_keyword_and_a_false_group_is_kept(cexp, compiler, spy_registers,
                                                                                         args, kwargs, expected):
    cexp.fill_empty_wave_gates(*args, **kwargs)
    assert [kw for _, kw in compiler.calls] == [{"timestamp": expected}] * 3
    assert all(type(kw["timestamp"]) is type(expected) for _, kw in compiler.calls)
    group = kwargs.get("group")
    assert cexp.group is group and cexp.gate_compiler is compiler and spy_registers.calls == []
    assert getattr(compiler, "group", "unset") is (group if group is not None else "unset")


@pytest.mark.parametrize("failure", [None, Package([], truth=True), Package(()), Package([]), KeyError("no data")])
def test_failing_gate_stops_the_walk_without_rollback(cexp, compiler, failure):
    def answer(pair):
        if isinstance(failure, Exception) and pair[0] == "M":
            raise failure
        return failure if pair[0] == "M" else fresh(pair)

    compiler.answer, found = answer, gates(cexp)
    error = raised(type(failure) if isinstance(failure, Exception) else RuntimeError, cexp.fill_empty_wave_gates)
    assert error is failure or str(error) == lang.msg("exp_gate_cannot_comp").format(2, found[2], "spy")
    assert compiler.names() == ["X", "M"] and len(found[0].waves) == 1 and found[2].waves == found[3].waves == []


def test_gates_items_must_be_pairs(cexp, compiler):
    triples = type("Triples", (dict,), {"items": lambda self: [(*pair, "extra") for pair in dict.items(self)]})
    cexp._Experiment__wave_circuit = SimpleNamespace(gates=triples(cexp.circuit.gates))
    failure = raised(ValueError, cexp.fill_empty_wave_gates)
    assert str(failure) == "expected (gate id, gate) pairs from gates.items(), got 3 items" and compiler.calls == []


def test_batch_mode_fills_the_callers_circuits_in_list_order_even_when_the_list_is_dropped(exp, compiler):
    first, second = circuit_of(("X", "b1", 0)), circuit_of(("M", "b2", 0), ("Y", "b2", 1, [wave("b2")]))
    exp.add_wave_gate(("X", "own"), 0)
    for circuit in (second, first, second):
        exp.append_circuit(circuit)
    exp._Experiment__gate_compiler, compiler.answer = compiler, lambda pair: exp.clear_batch_circuits() or fresh(pair)
    exp.fill_empty_wave_gates(space_timestamp=3)
    assert compiler.calls == [((("M", "b2"),), {"timestamp": 3}), ((("X", "b1"),), {"timestamp": 3})]
    assert [len(g.waves) for c in (first, second, exp.circuit) for g in c.gates.values()] == [1, 1, 1, 0]
    exp._Experiment__gate_compiler = None  # the own circuit is not walked, an empty list needs no compiler
    assert exp.batch_circuits == [] and exp.fill_empty_wave_gates() is None
    exp.append_circuit(None)
    raised(AttributeError, exp.fill_empty_wave_gates)
