"""Generated-input properties: restoring arbitrary data never crashes or changes it, the JSON round trip
of generated experiments is stable, and the evaluator answers any text with a result or a ScriptError."""

import copy
import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support_persistence import build_normal, make_group

from varnok_client.experiment.experiment import Experiment
from varnok_client.qc.gates import STANDARD_GATES
from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator
from varnok_client.waveform import WaveCircuit

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
BASE = json.loads(json.dumps(build_normal().serialize()))
WORDS = ["normal", "batch_circuit", "ids", "name", "channel", "q01", "X", "drive", "readout", "q01.xy", "amp", "0",
         "1", "sweep([1, 2], dim=0)", "1 +", *BASE, *BASE["waveform_script"][0], "gates", "waves", "shots", "seed"]
scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8) | st.sampled_from(WORDS)
json_like = st.recursive(scalars, lambda children: st.lists(children, max_size=4) | st.dictionaries(
    st.sampled_from(WORDS) | st.text(max_size=4), children, max_size=6), max_leaves=30)


def with_overrides(overrides, record_overrides):
    data = copy.deepcopy(BASE)
    for record, extra in zip(data["waveform_script"], record_overrides):
        record.update(extra)
    return {**data, **overrides}


near_valid = st.builds(with_overrides, st.dictionaries(st.sampled_from(list(BASE)), json_like, max_size=3),
                       st.lists(st.dictionaries(st.sampled_from(list(BASE["waveform_script"][0])), json_like,
                                                max_size=3), max_size=3))


@SETTINGS
@given(json_like | near_valid)
def test_restoring_arbitrary_data_never_changes_it_and_yields_a_usable_experiment(data):
    snapshot = copy.deepcopy(data)
    try:
        exp = Experiment.deserialize(data)
    except Exception:
        exp = None
    assert data == snapshot
    if exp is not None:
        assert type(exp) is Experiment and not exp.is_compiled
        assert exp.clone().serialize() == exp.serialize()


json_values = st.recursive(st.none() | st.booleans() | st.integers(-(2**53), 2**53) | st.text(max_size=6)
                           | st.floats(allow_nan=False, allow_infinity=False), lambda children: st.lists(
                               children, max_size=3) | st.dictionaries(st.text(max_size=4), children, max_size=3),
                           max_leaves=10)
numbers = st.integers(-100, 100) | st.floats(-10, 10, allow_nan=False).map(lambda x: round(x, 3))
scripts = numbers.map(repr) | st.lists(numbers, min_size=1, max_size=4).map(lambda v: f"sweep({v!r}, dim=0)")


@st.composite
def experiments(draw):
    exp = Experiment(draw(st.text(max_size=10)), draw(st.text(max_size=10)))
    gates = draw(st.lists(st.tuples(st.sampled_from(STANDARD_GATES), st.integers(0, 3)), min_size=1, max_size=4,
                          unique_by=lambda gate: gate[1]))
    for name, layer in gates:
        exp.add_wave_gate((name, "q01"), layer)
    for key, script in draw(st.dictionaries(st.sampled_from(["a", "b", "q01.x_amp"]), scripts, max_size=3)).items():
        exp.set_space_parameter_script(key, script)
    for _ in range(draw(st.integers(0, 3))):
        layer, parameter, script = draw(st.sampled_from(gates))[1], draw(st.sampled_from(["amp", "t0"])), draw(scripts)
        how = draw(st.sampled_from(["ids", "name", "channel"]))
        select = {"ids": st.lists(st.integers(0, 2), max_size=2), "name": st.sampled_from(["drive", ["readout"]]),
                  "channel": st.sampled_from(["q01.xy", ["q01.ro"]])}[how]
        getattr(exp, f"set_waveform_script_by_{how}")("q01", layer, draw(select), parameter, script)
    exp.set_options(**draw(st.fixed_dictionaries({}, optional={"shots": st.integers(0, 10_000_000),
                                                               "seed": st.none() | st.integers(0, 2**31)})))
    exp.template, exp.template_data = draw(st.none() | st.text(max_size=5)), draw(json_values)
    exp.info, exp.attachment = (draw(st.dictionaries(st.text(max_size=4), json_values, max_size=3)) for _ in "ab")
    if draw(st.booleans()):
        exp._Experiment__waveform_script.clear()
        for layer in range(draw(st.integers(1, 3))):
            circuit = WaveCircuit()
            circuit.add_gate((draw(st.sampled_from(STANDARD_GATES)), "q01"), layer)
            exp.append_circuit(circuit)
    return exp


@SETTINGS
@given(experiments())
def test_json_round_trip_is_stable(exp):
    text = json.dumps(exp.serialize(), allow_nan=False)
    again = json.dumps(Experiment.deserialize(json.loads(text)).serialize(), allow_nan=False)
    assert json.loads(again) == json.loads(text)
    assert json.dumps(Experiment.deserialize(json.loads(again)).serialize(), allow_nan=False) == again


TOKENS = ("sweep( linspace( arange( zeros( array( concatenate( repeat( clip( sqrt( log( abs( min( len( range( sum( "
          "int( complex( sorted( space( 'q01.freq' 'nope' dim= num= axis= 0 1 -1 0.5 1e308 10**9 2**64 1j True None x "
          "x= ; , ) ( [ ] { } : + * / // % ** @ << < == and not if else for in lambda .real .shape [0] [::-1]").split()
EVALUATOR = ScriptEvaluator()
EVALUATOR.group = make_group()


@SETTINGS
@given(st.text(max_size=200) | st.lists(st.sampled_from([*TOKENS, " ", "\n"]), max_size=40).map("".join))
def test_the_evaluator_only_raises_script_errors(text):
    try:
        result = EVALUATOR.evaluate(text)
    except ScriptError:
        return
    assert set(result) == {"type", "dim", "val", "seq", "use_space"}
