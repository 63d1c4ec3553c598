"""Filling gates without waveforms from the experiment's gate compiler."""

import fractions

import pytest

from varnok_client.compiler.gate_compiler import GateCompiler
from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import Square, WaveCircuit, WaveGate

DOC = (
    "Experiment.fill_empty_wave_gates(self, group: Group = None, int space_timestamp: int = None)\n\n"
    "Use gate_compiler to fill WaveGate instances that have no waveforms.\n"
    "Must run before export_wave_package(), otherwise empty gates have\n"
    "duration 0 and later layers (e.g. M) get absolute t0 = 0."
)


def wave(entity, name="drive"):
    return Square(f"{entity}.xy", name=name, amp=0.5, width=20)


class Package:
    """What a gate compiler answers: something carrying ``waves``."""

    def __init__(self, waves):
        self.waves = waves


class FalsyPackage(Package):
    def __bool__(self):
        return False


class SpyCompiler:
    """Records every compile call; answers with ``answer(gate_on_entity)`` (a fresh package by default)."""

    compiler_name = "spy"

    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer or (lambda pair: Package([wave(pair[0] if isinstance(pair, str) else pair[1])]))

    def compile(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        result = self.answer(args[0])
        return result

    def names(self):
        return [args[0][0] for args, _ in self.calls]


def pair_entity(pair):
    entity = pair[1]
    return entity if isinstance(entity, str) else entity[0]


def answer_fresh(pair):
    return Package([wave(pair_entity(pair))])


def make_circuit():
    """Gate 0: empty X; gate 1: Y with a waveform; gate 2: empty M; gate 3: empty two-entity CZ."""
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0)
    circuit.add_gate(("Y", "q01"), 1, [wave("q01")])
    circuit.add_gate(("M", "q01"), 2)
    circuit.add_gate(("CZ", ["q01", "q02"]), 3)
    return circuit


def gates_of(circuit):
    return list(circuit.gates.values())


@pytest.fixture
def compiler():
    return SpyCompiler(answer_fresh)


@pytest.fixture
def cexp(exp, compiler):
    """A normal-mode experiment with make_circuit() and the spy compiler."""
    exp.set_circuit(make_circuit())
    exp._Experiment__gate_compiler = compiler
    return exp


@pytest.fixture
def english():
    yield
    lang.set_language("en")


def test_documentation_string():
    assert Experiment.fill_empty_wave_gates.__doc__ == DOC


# -- the walk ----------------------------------------------------------------------------------


def test_circuit_without_empty_gates_needs_no_compiler(exp):
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0, [wave("q01")])
    circuit.add_gate(("M", "q01"), 1, [wave("q01", "readout")])
    exp.set_circuit(circuit)
    before = [gate.waves for gate in gates_of(exp.circuit)]
    assert exp.gate_compiler is None
    assert exp.fill_empty_wave_gates() is None
    assert [gate.waves for gate in gates_of(exp.circuit)] == before
    assert all(a is b for a, b in zip(before, [gate.waves for gate in gates_of(exp.circuit)]))


def test_empty_gates_are_filled_in_circuit_order(cexp, compiler):
    full_waves = gates_of(cexp.circuit)[1].waves
    packages = []

    def answer(pair):
        packages.append(answer_fresh(pair))
        return packages[-1]

    compiler.answer = answer
    cexp.fill_empty_wave_gates()
    gates = gates_of(cexp.circuit)
    assert compiler.calls == [
        ((("X", "q01"),), {"timestamp": None}),
        ((("M", "q01"),), {"timestamp": None}),
        ((("CZ", ["q01", "q02"]),), {"timestamp": None}),
    ]
    assert all(type(args[0]) is tuple for args, _ in compiler.calls)
    assert compiler.calls[2][0][0][1] is gates[3].entity
    assert gates[1].waves is full_waves
    for gate, package in zip([gates[0], gates[2], gates[3]], packages):
        assert gate.waves is package.waves


def test_filled_gates_are_not_compiled_again(cexp, compiler):
    cexp.fill_empty_wave_gates()
    cexp.fill_empty_wave_gates()
    assert compiler.names() == ["X", "M", "CZ"]


@pytest.mark.parametrize(
    ("kwargs", "args", "expected"),
    [
        ({}, (), None),
        ({"space_timestamp": None}, (), None),
        ({"space_timestamp": 1_700_000_000_123}, (), 1_700_000_000_123),
        ({"space_timestamp": 12.7}, (), 12),
        ({"space_timestamp": -0.5}, (), 0),
        ({"space_timestamp": fractions.Fraction(7, 2)}, (), 3),
        ({}, (None, 42), 42),
    ],
)
def test_timestamp_reaches_the_compiler_as_a_keyword(cexp, compiler, kwargs, args, expected):
    cexp.fill_empty_wave_gates(*args, **kwargs)
    assert len(compiler.calls) == 3
    for call_args, call_kwargs in compiler.calls:
        assert len(call_args) == 1 and list(call_kwargs) == ["timestamp"]
        assert call_kwargs["timestamp"] == expected and type(call_kwargs["timestamp"]) is type(expected)


@pytest.mark.parametrize(("timestamp", "type_name"), [("5", "str"), ([5], "list"), (b"5", "bytes")])
def test_non_numeric_timestamp_is_refused_before_anything(cexp, compiler, spy_registers, group,
                                                          timestamp, type_name):
    with pytest.raises(TypeError) as info:
        cexp.fill_empty_wave_gates(group, timestamp)
    assert str(info.value) == (
        f"Argument 'space_timestamp' has incorrect type (expected int, got {type_name})"
    )
    assert cexp.group is None and spy_registers.calls == [] and compiler.calls == []


def test_real_gate_compiler_fills_from_the_group():
    group = Group("demo", {"q01.x_amp": 0.4, "q01.x_width": 40.0, "q01.freq": 5.0e9,
                           "q01.ro_amp": 0.1, "q01.ro_width": 600.0, "q01.ro_freq": 6.5e9})
    exp = Experiment("t", "d", group)
    assert isinstance(exp.gate_compiler, GateCompiler)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates(space_timestamp=5)
    drive, readout = (gate.waves for gate in gates_of(exp.circuit))
    assert [w.channel for w in drive] == ["q01.xy"] and drive[0].wave_parameters["amp"] == 0.4
    assert [w.channel for w in readout] == ["q01.ro"] and readout[0].wave_parameters["width"] == 600.0


# -- failures ----------------------------------------------------------------------------------


def test_empty_gate_without_compiler_is_reported(exp):
    circuit = WaveCircuit()
    circuit.add_gate(("Y", "q01"), 0, [wave("q01")])
    circuit.add_gate(("X", "q02"), 1)
    exp.set_circuit(circuit)
    full, empty = gates_of(exp.circuit)
    kept = full.waves
    with pytest.raises(RuntimeError) as info:
        exp.fill_empty_wave_gates()
    assert str(info.value) == lang.msg("exp_gate_no_wave_no_comp").format(1, empty)
    assert full.waves is kept and empty.waves == []


def test_missing_compiler_message_gets_gate_id_and_gate(exp, monkeypatch):
    asked = []
    monkeypatch.setattr(lang, "msg", lambda key: asked.append(key) or "{!r}|{!r}")
    gate = WaveGate(("X", "q01"), 0)
    exp._Experiment__wave_circuit = FakeCircuit({"g-7": gate})
    with pytest.raises(RuntimeError) as info:
        exp.fill_empty_wave_gates()
    assert asked == ["exp_gate_no_wave_no_comp"]
    assert str(info.value) == f"'g-7'|{gate!r}"


@pytest.mark.parametrize(
    "failure", [None, Package([]), Package(()), FalsyPackage([])], ids=["none", "list", "tuple", "falsy"]
)
def test_compiler_that_cannot_compile_is_reported_without_rollback(cexp, compiler, failure):
    def answer(pair):
        return failure if pair[0] == "M" else answer_fresh(pair)

    compiler.answer = answer
    gates = gates_of(cexp.circuit)
    with pytest.raises(RuntimeError) as info:
        cexp.fill_empty_wave_gates()
    assert str(info.value) == lang.msg("exp_gate_cannot_comp").format(2, gates[2], "spy")
    assert compiler.names() == ["X", "M"]
    assert len(gates[0].waves) == 1, "gates filled before the failure stay filled"
    assert gates[2].waves == [] and gates[3].waves == []


def test_cannot_compile_message_gets_id_gate_and_compiler_name(exp, monkeypatch):
    class Name:
        def __repr__(self):
            return "<compiler name>"

    asked = []
    monkeypatch.setattr(lang, "msg", lambda key: asked.append(key) or "{!r}|{!r}|{!r}")
    gate = WaveGate(("X", "q01"), 0)
    exp._Experiment__wave_circuit = FakeCircuit({(1, 2): gate})
    exp._Experiment__gate_compiler = compiler = SpyCompiler(lambda pair: None)
    compiler.compiler_name = Name()
    with pytest.raises(RuntimeError) as info:
        exp.fill_empty_wave_gates()
    assert asked == ["exp_gate_cannot_comp"]
    assert str(info.value) == f"(1, 2)|{gate!r}|<compiler name>"


def test_messages_follow_the_current_language(cexp, compiler, english):
    compiler.answer = lambda pair: None
    lang.set_language("zh")
    with pytest.raises(RuntimeError) as info:
        cexp.fill_empty_wave_gates()
    assert str(info.value) == lang.msg("exp_gate_cannot_comp").format(0, gates_of(cexp.circuit)[0], "spy")
    cexp._Experiment__gate_compiler = None
    with pytest.raises(RuntimeError) as info:
        cexp.fill_empty_wave_gates()
    assert str(info.value) == lang.msg("exp_gate_no_wave_no_comp").format(0, gates_of(cexp.circuit)[0])


def test_compiler_name_is_read_only_on_failure(exp):
    class Nameless:
        def __init__(self, answer):
            self.answer = answer

        def compile(self, pair, timestamp=None):
            return self.answer

    exp.add_wave_gate(("X", "q01"), 0)
    exp._Experiment__gate_compiler = Nameless(Package([wave("q01")]))
    exp.fill_empty_wave_gates()
    exp.add_wave_gate(("M", "q01"), 1)
    exp._Experiment__gate_compiler = Nameless(None)
    with pytest.raises(AttributeError, match="compiler_name"):
        exp.fill_empty_wave_gates()


def test_compiler_errors_propagate_after_earlier_fills(cexp, compiler):
    error = KeyError("calibration missing")

    def answer(pair):
        if pair[0] == "M":
            raise error
        return answer_fresh(pair)

    compiler.answer = answer
    with pytest.raises(KeyError) as info:
        cexp.fill_empty_wave_gates()
    assert info.value is error
    gates = gates_of(cexp.circuit)
    assert len(gates[0].waves) == 1 and gates[2].waves == [] and gates[3].waves == []


class BadLength:
    def __len__(self):
        raise ZeroDivisionError("no length")


class Waveless:
    pass


@pytest.mark.parametrize(
    ("result", "error"),
    [
        (Waveless(), AttributeError),
        (False, AttributeError),
        (0, AttributeError),
        ("", AttributeError),
        (Package(None), TypeError),
        (Package(5), TypeError),
        (Package(iter([wave("q01")])), TypeError),
        (Package(BadLength()), ZeroDivisionError),
        (Package(["not a waveform"]), TypeError),
    ],
    ids=["no-waves", "false", "zero", "empty-text", "waves-none", "waves-int", "waves-iterator",
         "waves-len-raises", "waves-not-waveforms"],
)
def test_odd_compiler_results_raise_python_errors(cexp, compiler, result, error):
    compiler.answer = lambda pair: result
    with pytest.raises(error):
        cexp.fill_empty_wave_gates()
    assert len(compiler.calls) == 1 and gates_of(cexp.circuit)[0].waves == []


def test_falsy_package_with_waves_is_accepted(cexp, compiler):
    packages = []

    def answer(pair):
        packages.append(FalsyPackage([wave(pair_entity(pair))]))
        return packages[-1]

    compiler.answer = answer
    cexp.fill_empty_wave_gates()
    assert gates_of(cexp.circuit)[0].waves is packages[0].waves


# -- collaborator protocol ---------------------------------------------------------------------


class LoggedGate:
    """A gate that logs every attribute access the experiment makes."""

    def __init__(self, log, waves, name="X", entity="q01"):
        self._log, self._waves, self._name, self._entity = log, waves, name, entity

    @property
    def waves(self):
        self._log.append("gate.waves")
        return self._waves

    @waves.setter
    def waves(self, value):
        self._log.append("set gate.waves")
        self._waves = value

    @property
    def gate_name(self):
        self._log.append("gate.gate_name")
        return self._name

    @property
    def entity(self):
        self._log.append("gate.entity")
        return self._entity


class LoggedPackage:
    def __init__(self, log, waves):
        self._log, self._waves = log, waves

    @property
    def waves(self):
        self._log.append("package.waves")
        return self._waves


class FakeCircuit:
    def __init__(self, gates):
        self.gates = gates


def test_collaborator_calls_for_one_empty_gate(exp):
    log = []
    filled = [wave("q01")]
    full = LoggedGate(log, ["already"], name="Y")
    empty = LoggedGate(log, [])
    exp._Experiment__wave_circuit = FakeCircuit({0: full, 1: empty})

    class Compiler:
        compiler_name = "logged"

        def compile(self, pair, **kwargs):
            log.append("compile")
            return LoggedPackage(log, filled)

    exp._Experiment__gate_compiler = Compiler()
    exp.fill_empty_wave_gates()
    assert log[0] == "gate.waves", "a full gate is only asked for its waves"
    rest = log[1:]
    assert rest[0] == "gate.waves"
    names = rest[1:rest.index("compile")]
    assert sorted(names) == ["gate.entity", "gate.gate_name"]
    after = rest[rest.index("compile") + 1:]
    assert after[0] == "package.waves" and after[-1] == "set gate.waves"
    assert set(after[:-1]) == {"package.waves"}
    assert empty._waves is filled


def test_gates_mapping_growing_during_the_walk_raises(cexp, compiler):
    circuit = cexp.circuit

    def answer(pair):
        circuit.add_gate(("I", "q09"), 9, [wave("q09")])
        return answer_fresh(pair)

    compiler.answer = answer
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        cexp.fill_empty_wave_gates()
    assert compiler.names() == ["X"] and len(gates_of(circuit)[0].waves) == 1


def test_gates_mapping_shrinking_during_the_walk_raises(cexp, compiler):
    circuit = cexp.circuit

    def answer(pair):
        circuit.gates.clear()
        return answer_fresh(pair)

    compiler.answer = answer
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        cexp.fill_empty_wave_gates()
    assert compiler.names() == ["X"]


class ItemsOnly:
    """A gates mapping whose ``items()`` is whatever the test wants."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items()


def test_items_may_produce_fresh_gates_on_the_fly(exp, compiler):
    made = []

    def produce():
        for index, name in enumerate(["X", "M"]):
            gate = WaveGate((name, "q01"), index)
            made.append(gate)
            yield index, gate
            del gate

    exp._Experiment__wave_circuit = FakeCircuit(ItemsOnly(produce))
    exp._Experiment__gate_compiler = compiler
    exp.fill_empty_wave_gates()
    assert compiler.names() == ["X", "M"]
    assert [len(gate.waves) for gate in made] == [1, 1]


def test_items_that_change_the_circuit_while_walked(exp, compiler):
    backing = {0: WaveGate(("X", "q01"), 0), 1: WaveGate(("M", "q01"), 1)}

    def produce():
        for gate_id in list(backing):
            gate = backing.pop(gate_id)
            yield gate_id, gate
        backing["late"] = WaveGate(("Y", "q01"), 2)

    exp._Experiment__wave_circuit = FakeCircuit(ItemsOnly(produce))
    exp._Experiment__gate_compiler = compiler
    exp.fill_empty_wave_gates()
    assert compiler.names() == ["X", "M"] and list(backing) == ["late"]


def test_items_raising_midway_propagates(exp, compiler):
    error = OSError("walk broke")

    def produce():
        yield 0, WaveGate(("X", "q01"), 0)
        raise error

    exp._Experiment__wave_circuit = FakeCircuit(ItemsOnly(produce))
    exp._Experiment__gate_compiler = compiler
    with pytest.raises(OSError) as info:
        exp.fill_empty_wave_gates()
    assert info.value is error and compiler.names() == ["X"]


@pytest.mark.parametrize(
    ("items", "errors"),
    [
        (lambda: 5, TypeError),
        (lambda: [(0, WaveGate(("X", "q01"), 0), "extra")], (TypeError, ValueError)),
        (lambda: [(0,)], (TypeError, ValueError)),
        (lambda: [7], (TypeError, ValueError)),
        (lambda: [(0, None)], AttributeError),
        (lambda: [(0, Waveless())], AttributeError),
    ],
    ids=["not-iterable", "triple", "single", "not-a-pair", "gate-none", "gate-without-waves"],
)
def test_unusable_gate_walks_raise_python_errors(exp, compiler, items, errors):
    exp._Experiment__wave_circuit = FakeCircuit(ItemsOnly(items))
    exp._Experiment__gate_compiler = compiler
    with pytest.raises(errors):
        exp.fill_empty_wave_gates()
    assert compiler.calls == []


def test_circuit_without_gates_attribute_raises(exp):
    exp._Experiment__wave_circuit = object()
    with pytest.raises(AttributeError, match="gates"):
        exp.fill_empty_wave_gates()


# -- group argument ----------------------------------------------------------------------------


def test_group_is_assigned_even_when_nothing_needs_filling(exp, spy_registers, group):
    assert exp.fill_empty_wave_gates(group) is None
    assert exp.group is group and exp.gate_compiler.group is group
    assert spy_registers.calls == [("get_gate_compiler", group), ("load_waveforms_for_group", group)]


def test_group_brings_the_compiler_that_fills(exp, monkeypatch, group):
    fresh = SpyCompiler(answer_fresh)
    old = exp._Experiment__gate_compiler = SpyCompiler(answer_fresh)
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", lambda g: fresh)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.fill_empty_wave_gates(group=group, space_timestamp=7)
    assert old.calls == [] and old.group is group
    assert fresh.calls == [((("X", "q01"),), {"timestamp": 7})]


def test_group_stays_assigned_when_filling_fails(exp, monkeypatch, group):
    failing = SpyCompiler(lambda pair: None)
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", lambda g: failing)
    exp.add_wave_gate(("X", "q01"), 0)
    with pytest.raises(RuntimeError):
        exp.fill_empty_wave_gates(group)
    assert exp.group is group and exp.gate_compiler is failing


def test_group_none_leaves_group_and_compiler_alone(cexp, compiler, spy_registers):
    cexp.fill_empty_wave_gates(group=None)
    assert cexp.group is None and cexp.gate_compiler is compiler and spy_registers.calls == []
    assert not hasattr(compiler, "group")


def test_false_group_is_still_assigned(cexp, compiler, spy_registers):
    class Falsy:
        def __bool__(self):
            return False

    falsy = Falsy()
    cexp.fill_empty_wave_gates(falsy)
    assert cexp.group is falsy and compiler.group is falsy and cexp.gate_compiler is compiler
    assert spy_registers.calls == [] and compiler.names() == ["X", "M", "CZ"]


def test_group_setter_failure_stops_the_filling(cexp, compiler, monkeypatch, group):
    def refuse(g):
        raise LookupError("no compiler for the group")

    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", refuse)
    with pytest.raises(LookupError):
        cexp.fill_empty_wave_gates(group)
    assert compiler.calls == [] and cexp.group is group


def test_group_goes_through_the_group_property(compiler):
    seen = []

    class Watched(Experiment):
        @property
        def group(self):
            return Experiment.group.fget(self)

        @group.setter
        def group(self, value):
            seen.append(value)
            Experiment.group.fset(self, value)

    exp = Watched("t", "d")
    exp._Experiment__gate_compiler = compiler
    marker = type("Marker", (), {"__bool__": lambda self: False})()
    exp.fill_empty_wave_gates(marker)
    assert seen == [marker]


# -- batch mode --------------------------------------------------------------------------------


def test_batch_mode_fills_the_callers_circuits_in_list_order(exp, compiler):
    first, second = WaveCircuit(), WaveCircuit()
    first.add_gate(("X", "b1"), 0)
    second.add_gate(("M", "b2"), 0)
    second.add_gate(("Y", "b2"), 1, [wave("b2")])
    exp.add_wave_gate(("X", "own"), 0)
    for circuit in (second, first, second):
        exp.append_circuit(circuit)
    exp._Experiment__gate_compiler = compiler
    exp.fill_empty_wave_gates(space_timestamp=3)
    assert [args[0] for args, _ in compiler.calls] == [("M", "b2"), ("X", "b1")]
    assert all(kwargs == {"timestamp": 3} for _, kwargs in compiler.calls)
    assert all(len(gate.waves) == 1 for c in (first, second) for gate in gates_of(c))
    assert gates_of(exp.circuit)[0].waves == [], "the own circuit is not walked in batch mode"


@pytest.mark.parametrize("appended", [False, True])
def test_batch_mode_with_an_empty_list_does_nothing(exp, appended):
    exp.add_wave_gate(("X", "own"), 0)
    if appended:
        exp.append_circuit(WaveCircuit())
    exp.clear_batch_circuits()
    assert exp.gate_compiler is None
    exp.fill_empty_wave_gates()
    assert gates_of(exp.circuit)[0].waves == []


def test_batch_entry_without_gates_raises(exp, compiler):
    exp.append_circuit(None)
    exp._Experiment__gate_compiler = compiler
    with pytest.raises(AttributeError):
        exp.fill_empty_wave_gates()


def test_circuits_are_chosen_through_the_mode_and_circuit_properties(compiler):
    viewed = WaveCircuit()
    viewed.add_gate(("X", "view"), 0)

    class Viewed(Experiment):
        @property
        def circuit(self):
            return viewed

    exp = Viewed("t", "d")
    exp._Experiment__wave_circuit.add_gate(("X", "hidden"), 0)
    exp._Experiment__gate_compiler = compiler
    exp.fill_empty_wave_gates()
    assert compiler.calls == [((("X", "view"),), {"timestamp": None})]

    class ClaimsBatch(Experiment):
        @property
        def exp_mode(self):
            return "batch_circuit"

    # Its batch list is None, but the mode says batch: there is nothing to walk and no compiler is needed.
    other = ClaimsBatch("t", "d")
    other._Experiment__wave_circuit.add_gate(("X", "own"), 0)
    other.fill_empty_wave_gates()
    assert gates_of(other._Experiment__wave_circuit)[0].waves == []


def test_compile_goes_through_the_gate_compiler_property():
    stored, viewed = SpyCompiler(answer_fresh), SpyCompiler(answer_fresh)

    class Viewed(Experiment):
        @property
        def gate_compiler(self):
            return viewed

    exp = Viewed("t", "d")
    exp.add_wave_gate(("X", "q01"), 0)
    with pytest.raises(RuntimeError) as info:
        exp.fill_empty_wave_gates()
    assert str(info.value) == lang.msg("exp_gate_no_wave_no_comp").format(0, gates_of(exp.circuit)[0])
    assert viewed.calls == []
    exp._Experiment__gate_compiler = stored
    exp.fill_empty_wave_gates()
    assert stored.calls == [] and viewed.names() == ["X"]


def test_compiling_keeps_filled_gates_and_state(cexp, compiler):
    cexp._Experiment__compiled = True
    before = {name: value for name, value in vars(cexp).items() if name.startswith("_Experiment__compiled_")}
    cexp.fill_empty_wave_gates()
    assert cexp.is_compiled is True
    for name, value in before.items():
        assert vars(cexp)[name] is value


def test_walk_continues_over_a_circuit_replaced_while_filling(cexp, compiler):
    walked = cexp.circuit

    def answer(pair):
        if pair[0] == "X":
            cexp.set_circuit(WaveCircuit())
        return answer_fresh(pair)

    compiler.answer = answer
    cexp.fill_empty_wave_gates()
    assert compiler.names() == ["X", "M", "CZ"]
    assert all(len(gate.waves) == 1 for gate in gates_of(walked))
    assert cexp.circuit.gates == {}


def test_walk_continues_over_a_batch_list_cleared_while_filling(exp, compiler):
    circuits = []
    for entity in ("b1", "b2"):
        circuit = WaveCircuit()
        circuit.add_gate(("X", entity), 0)
        circuits.append(circuit)
        exp.append_circuit(circuit)

    def answer(pair):
        exp.clear_batch_circuits()
        return answer_fresh(pair)

    compiler.answer = answer
    exp._Experiment__gate_compiler = compiler
    exp.fill_empty_wave_gates()
    assert [args[0] for args, _ in compiler.calls] == [("X", "b1"), ("X", "b2")]
    assert exp.batch_circuits == []
