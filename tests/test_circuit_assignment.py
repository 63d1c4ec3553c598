"""Giving the experiment its circuit or batch circuits, and inserting wave gates in normal mode."""

import fractions

import numpy as np
import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.qc.gates import QuantumGate
from varnok_client.waveform import Square, WaveCircuit, WaveGate

SET_CIRCUIT_REFUSED = (
    "Experiment already set as batch circuit mode, cannot set circuit, please use "
    "`append_circuit()` function instead."
)
ADD_OBJ_REFUSED = (
    "Current experiment is set as `batch_circuit` mode, hence cannot use `add_wave_gate_obj()` method."
)
ADD_GATE_REFUSED = (
    "Current experiment is set as `batch_circuit` mode, hence cannot use `add_wave_gate()` method."
)

DOCS = {
    "set_circuit": "Experiment.set_circuit(self, wave_circuit: WaveCircuit)\n\n"
    "Set the WaveCircuit object\nArgs:\n    wave_circuit: WaveCircuit object",
    "append_circuit": "Experiment.append_circuit(self, wave_circuit: WaveCircuit)\n\n"
    "Set the WaveCircuit object\nArgs:\n    wave_circuit: WaveCircuit object",
    "add_wave_gate_obj": "Experiment.add_wave_gate_obj(self, wave_gate_obj: WaveGate, int layer_in_circuit: int)\n\n"
    "Set the WaveCircuit object.\nArgs:\n    wave_gate_obj: WaveGate instance\n"
    "    layer_in_circuit: the layer of the gate in circuit\nReturns:\n    WaveGate object",
    "add_wave_gate": "Experiment.add_wave_gate(self, gate_on_entity: Union[Tuple[str, Union[str, List[str]]], "
    "QuantumGate], int layer_in_circuit: int) -> WaveGate\n\n"
    "Set the WaveCircuit object.\nArgs:\n"
    "    gate_on_entity: gate name and entities it is on, you can input a Tuple like `(\"X\", \"q01\")` or a\n"
    "        `QuantumGate` instance\n"
    "    layer_in_circuit: the layer of the gate in circuit\nReturns:\n    WaveGate object",
}


def circuit_with(*gates):
    """A real circuit holding one driven gate per (name, entity, layer)."""
    circuit = WaveCircuit()
    for name, entity, layer in gates:
        circuit.add_gate((name, entity), layer, [Square(f"{entity}.xy", name="drive", amp=0.5, width=20)])
    return circuit


def to_batch_mode(exp, how):
    if how in ("append", "append_then_clear"):
        exp.append_circuit(WaveCircuit())
    if how in ("clear", "append_then_clear"):
        exp.clear_batch_circuits()


BATCH_ROUTES = ["append", "clear", "append_then_clear"]


class CopySpy:
    """An object whose deep copy is recorded and replaced by a chosen result."""

    def __init__(self, result=None, error=None):
        self.result = result
        self.error = error
        self.memos = []

    def __deepcopy__(self, memo):
        self.memos.append(memo)
        if self.error is not None:
            raise self.error
        return self.result


class SpyCircuit:
    """A circuit that records the insertions it is asked for and answers with a gate id."""

    def __init__(self):
        self.inserted = []

    def add_wave_gate_obj(self, *args, **kwargs):
        self.inserted.append((args, kwargs))
        return 41


def compiled(exp):
    """Marks the experiment compiled and returns its compiled containers."""
    exp._Experiment__compiled = True
    state = vars(exp)
    return {name: state[name] for name in state if name.startswith("_Experiment__compiled_")}


@pytest.mark.parametrize(("member", "doc"), DOCS.items())
def test_documentation_strings(member, doc):
    assert getattr(Experiment, member).__doc__ == doc


# -- set_circuit -------------------------------------------------------------------------------


def test_set_circuit_keeps_a_private_deep_copy(exp):
    given = circuit_with(("X", "q01", 0), ("M", "q01", 1))
    assert exp.set_circuit(given) is None
    own = exp.circuit
    assert own is not given and type(own) is WaveCircuit and own == given
    for gate_id, gate in given.gates.items():
        assert own.gates[gate_id] is not gate
        assert own.gates[gate_id].waves[0] is not gate.waves[0]
    given.add_gate(("Y", "q02"), 2)
    given.gates[0].waves[0].wave_parameters["amp"] = 0.9
    assert len(own.gates) == 2 and own.gates[0].waves[0].wave_parameters["amp"] == 0.5
    assert exp.exp_mode == "normal" and exp.batch_circuits is None


def test_set_circuit_stores_what_the_deep_copy_returns(exp):
    replacement = WaveCircuit()
    spy = CopySpy(result=replacement)
    exp.set_circuit(wave_circuit=spy)
    assert exp.circuit is replacement
    assert len(spy.memos) == 1 and isinstance(spy.memos[0], dict)


def test_second_set_circuit_replaces_the_first(exp):
    exp.set_circuit(circuit_with(("X", "q01", 0)))
    second = circuit_with(("Y", "q02", 3))
    exp.set_circuit(second)
    assert exp.circuit == second and [g.gate_name for g in exp.circuit.gates.values()] == ["Y"]


def test_failed_deep_copy_keeps_the_previous_circuit(exp):
    before = exp.circuit
    error = LookupError("cannot copy")
    with pytest.raises(LookupError) as info:
        exp.set_circuit(CopySpy(error=error))
    assert info.value is error
    assert exp.circuit is before


@pytest.mark.parametrize("how", BATCH_ROUTES)
def test_set_circuit_is_refused_in_batch_mode(exp, how):
    own = exp.circuit
    to_batch_mode(exp, how)
    batch = exp.batch_circuits
    spy = CopySpy(result=WaveCircuit())
    with pytest.raises(RuntimeError) as info:
        exp.set_circuit(spy)
    assert str(info.value) == SET_CIRCUIT_REFUSED
    assert spy.memos == [], "the refused circuit must not be copied"
    assert exp.circuit is own and exp.batch_circuits is batch and exp.exp_mode == "batch_circuit"


def test_set_circuit_keeps_scripts_and_compiled_state(exp):
    exp.set_circuit(circuit_with(("X", "q01", 0)))
    exp.set_space_parameter_script("amp", "x = 1")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "x = 1")
    records = list(exp._Experiment__waveform_script)
    containers = compiled(exp)
    exp.set_circuit(WaveCircuit())
    assert exp.is_compiled is True
    assert exp._Experiment__waveform_script == records
    assert exp._Experiment__space_parameter_script == {"amp": "x = 1"}
    for name, value in containers.items():
        assert vars(exp)[name] is value, name


def test_set_circuit_reads_the_mode_through_exp_mode():
    class AlwaysBatch(Experiment):
        @property
        def exp_mode(self):
            return "batch_circuit"

    class AlwaysNormal(Experiment):
        @property
        def exp_mode(self):
            return "normal"

    with pytest.raises(RuntimeError, match="already set as batch circuit mode"):
        AlwaysBatch("t", "d").set_circuit(WaveCircuit())
    exp = AlwaysNormal("t", "d")
    exp.append_circuit(WaveCircuit())
    given = circuit_with(("X", "q01", 0))
    exp.set_circuit(given)
    assert exp.circuit == given


@pytest.mark.parametrize("method", ["set_circuit", "append_circuit"])
def test_circuit_argument_is_required(exp, method):
    with pytest.raises(TypeError, match="wave_circuit"):
        getattr(exp, method)()
    with pytest.raises(TypeError):
        getattr(exp, method)(WaveCircuit(), WaveCircuit())
    assert exp.exp_mode == "normal"


# -- append_circuit ----------------------------------------------------------------------------


def test_append_circuit_stores_the_callers_objects_in_order(exp):
    own = exp.circuit
    first, second = WaveCircuit(), WaveCircuit()
    assert exp.append_circuit(first) is None
    batch = exp.batch_circuits
    assert exp.exp_mode == "batch_circuit" and type(batch) is list and batch == [first]
    exp.append_circuit(wave_circuit=second)
    exp.append_circuit(first)
    assert exp.batch_circuits is batch
    assert [id(c) for c in batch] == [id(first), id(second), id(first)]
    assert exp.circuit is own


def test_appended_circuit_is_shared_with_the_caller(exp):
    given = WaveCircuit()
    exp.append_circuit(given)
    given.add_gate(("X", "q01"), 0)
    assert [g.gate_name for g in exp.batch_circuits[0].gates.values()] == ["X"]


@pytest.mark.parametrize("value", [None, "not a circuit", 7])
def test_append_circuit_accepts_anything_without_copying(exp, value):
    spy = CopySpy(error=AssertionError("must not be copied"))
    exp.append_circuit(value)
    exp.append_circuit(spy)
    assert exp.batch_circuits[0] is value and exp.batch_circuits[1] is spy
    assert spy.memos == []


def test_append_after_clear_fills_the_new_list_only(exp):
    first = WaveCircuit()
    exp.append_circuit(first)
    old = exp.batch_circuits
    exp.clear_batch_circuits()
    second = WaveCircuit()
    exp.append_circuit(second)
    assert old == [first] and exp.batch_circuits == [second] and exp.batch_circuits is not old


def test_append_circuit_keeps_scripts_and_compiled_state(exp):
    exp.set_space_parameter_script("amp", "x = 1")
    containers = compiled(exp)
    exp.append_circuit(WaveCircuit())
    assert exp.is_compiled is True and exp._Experiment__space_parameter_script == {"amp": "x = 1"}
    for name, value in containers.items():
        assert vars(exp)[name] is value, name


# -- gate insertion ----------------------------------------------------------------------------


def test_add_wave_gate_obj_places_the_gate_itself(exp):
    gate = WaveGate(("X", "q01"), 0)
    assert exp.add_wave_gate_obj(gate, 3) is None
    assert list(exp.circuit.gates.values())[0] is gate and gate.layer == 3
    assert exp.circuit.search_gates("q01", 3)[0] is gate


@pytest.mark.parametrize(
    ("layer", "expected"),
    [(2, 2), (2.0, 2), (2.9, 2), (-1.5, -1), (fractions.Fraction(7, 2), 3), (np.int64(4), 4), (np.float64(5.5), 5)],
)
def test_add_wave_gate_obj_passes_an_integer_layer_positionally(exp, layer, expected):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    gate = WaveGate(("X", "q01"), 0)
    result = exp.add_wave_gate_obj(wave_gate_obj=gate, layer_in_circuit=layer)
    assert result is None, "the circuit's answer is not handed back"
    [(args, kwargs)] = spy.inserted
    assert kwargs == {} and len(args) == 2 and args[0] is gate
    assert args[1] == expected and type(args[1]) is int


@pytest.mark.parametrize(
    ("layer", "expected"),
    [(2.0, 2), (7.99, 7), (fractions.Fraction(-5, 2), -2)],
)
def test_add_wave_gate_builds_the_gate_with_an_integer_layer(exp, layer, expected):
    gate = exp.add_wave_gate(("X", "q01"), layer)
    assert type(gate) is WaveGate and (gate.gate_name, gate.entity) == ("X", "q01")
    assert gate.layer == expected and type(gate.layer) is int
    assert gate.waves == []
    assert [g for g in exp.circuit.gates.values()] == [gate]
    assert list(exp.circuit.gates.values())[0] is gate


def test_add_wave_gate_hands_the_new_gate_to_the_circuit(exp):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    gate = exp.add_wave_gate(gate_on_entity=QuantumGate("CZ", ["q01", "q02"]), layer_in_circuit=1.0)
    [(args, kwargs)] = spy.inserted
    assert kwargs == {} and len(args) == 2
    assert args[0] is gate and args[1] == 1 and type(args[1]) is int
    assert (gate.gate_name, gate.entity, gate.layer) == ("CZ", ["q01", "q02"], 1)


@pytest.mark.parametrize(
    "description",
    [("X", "q01"), ["Y/2", "q02"], ("CZ", ["q01", "q02"]), QuantumGate("M", "q03")],
)
def test_add_wave_gate_accepts_every_gate_description(exp, description):
    gate = exp.add_wave_gate(description, 0)
    name, entity = (
        (description.name, description.entities) if isinstance(description, QuantumGate) else description
    )
    assert (gate.gate_name, gate.entity) == (name, entity)
    assert exp.circuit.search_gates(gate.entities[0], 0) == [gate]


@pytest.mark.parametrize("method", ["add_wave_gate_obj", "add_wave_gate"])
@pytest.mark.parametrize(
    ("layer", "type_name"), [(None, "NoneType"), ("2", "str"), ([2], "list"), (b"2", "bytes")]
)
def test_non_numeric_layer_is_refused_first(exp, method, layer, type_name):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    # The gate argument is unusable too: the layer check must come before anything else.
    with pytest.raises(TypeError) as info:
        getattr(exp, method)(object(), layer)
    assert str(info.value) == (
        f"Argument 'layer_in_circuit' has incorrect type (expected int, got {type_name})"
    )
    assert spy.inserted == []


@pytest.mark.parametrize("method", ["add_wave_gate_obj", "add_wave_gate"])
def test_layer_check_comes_before_the_mode_check(exp, method):
    exp.append_circuit(WaveCircuit())
    with pytest.raises(TypeError, match="layer_in_circuit"):
        getattr(exp, method)(("X", "q01"), None)


@pytest.mark.parametrize("how", BATCH_ROUTES)
@pytest.mark.parametrize(("method", "message"), [("add_wave_gate_obj", ADD_OBJ_REFUSED),
                                                  ("add_wave_gate", ADD_GATE_REFUSED)])
def test_gate_insertion_is_refused_in_batch_mode(exp, how, method, message):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    to_batch_mode(exp, how)
    # An unusable gate description proves that no WaveGate is built before the refusal.
    argument = ("", "") if method == "add_wave_gate" else WaveGate(("X", "q01"), 0)
    with pytest.raises(RuntimeError) as info:
        getattr(exp, method)(argument, 0)
    assert str(info.value) == message
    assert spy.inserted == []


@pytest.mark.parametrize("method", ["add_wave_gate_obj", "add_wave_gate"])
def test_gate_insertion_reads_the_mode_through_exp_mode(method):
    class OddMode(Experiment):
        @property
        def exp_mode(self):
            return "Normal"

    exp = OddMode("t", "d")
    argument = ("X", "q01") if method == "add_wave_gate" else WaveGate(("X", "q01"), 0)
    with pytest.raises(RuntimeError, match=f"cannot use `{method}\\(\\)` method"):
        getattr(exp, method)(argument, 0)
    assert exp.circuit.gates == {}


@pytest.mark.parametrize(
    ("description", "error", "text"),
    [
        (("", "q01"), ValueError, "gate name must not be empty"),
        (("X", ""), ValueError, "entity name must not be empty"),
        ("X", TypeError, "a gate is given as"),
        (("X", "q01", 0), TypeError, "a gate is given as"),
    ],
)
def test_gate_construction_errors_propagate(exp, description, error, text):
    with pytest.raises(error, match=text):
        exp.add_wave_gate(description, 0)
    assert exp.circuit.gates == {}


def test_circuit_insertion_errors_propagate(exp):
    gate = exp.add_wave_gate(("X", "q01"), 0)
    with pytest.raises(ValueError, match="already in this circuit"):
        exp.add_wave_gate_obj(gate, 1)
    with pytest.raises(TypeError, match="expected a WaveGate"):
        exp.add_wave_gate_obj(("X", "q01"), 1)
    assert list(exp.circuit.gates.values()) == [gate]


def test_adding_gates_keeps_the_compiled_state(exp):
    containers = compiled(exp)
    exp._Experiment__total_sweep_steps = 6
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate_obj(WaveGate(("M", "q01"), 1), 1)
    assert exp.is_compiled is True and exp.total_sweep_steps == 6
    for name, value in containers.items():
        assert vars(exp)[name] is value, name


def test_gates_added_through_the_experiment_and_the_circuit_property_meet(exp):
    first = exp.add_wave_gate(("X", "q01"), 0)
    second = exp.circuit.add_gate(("M", "q01"), 1)
    third = exp.add_wave_gate(("Y", "q02"), 0)
    assert list(exp.circuit.gates.values()) == [first, second, third]
    assert exp.circuit.search_gates("q01", 1) == [second]


@pytest.mark.parametrize("method", ["add_wave_gate_obj", "add_wave_gate"])
def test_insertion_arguments_are_required(exp, method):
    with pytest.raises(TypeError, match="layer_in_circuit"):
        getattr(exp, method)(("X", "q01"))
    assert exp.circuit.gates == {}
