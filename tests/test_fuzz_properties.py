"""Generated-input properties of the serialized form and of the script evaluator.

- Restoring arbitrary nested data ends in an experiment or a Python exception, and never changes
  the data it was given.
- For generated valid experiments, serialize -> JSON text -> deserialize -> serialize gives the
  same serialized form, and a second round trip changes nothing further.
- The evaluator answers any text with a result or a ScriptError, never another exception.
"""

import copy
import json
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.qc.gates import STANDARD_GATES
from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator
from varnok_client.waveform import WaveCircuit

CALIBRATION = {
    "q01.freq": 5e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 40.0,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 400.0,
    "q01.ro_freq": 6.5e9,
}

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

KEYS = ["title", "desc", "exp_mode", "template", "template_data", "space", "wave_circuit", "batch_circuit",
        "waveform_script", "space_parameter_script", "options", "info", "attachment", "entity", "layer",
        "parameter", "script", "search_type", "channels", "wave_names", "wave_ids", "gates", "waves",
        "format", "version", "shots", "seed"]
WORDS = ["normal", "batch_circuit", "ids", "name", "channel", "q01", "X", "M", "drive", "readout",
         "q01.xy", "amp", "phase", "0", "1", "varnok.wave_circuit", "sweep([1, 2], dim=0)", "1 +"]

scalars = (
    st.none()
    | st.booleans()
    | st.integers(-3, 12)
    | st.integers()
    | st.floats(allow_nan=False)
    | st.text(max_size=8)
    | st.sampled_from(WORDS)
)
json_like = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=4), children, max_size=6),
    max_leaves=30,
)


def valid_base():
    exp = Experiment("Rabi", "amplitude", Group("g", dict(CALIBRATION)))
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates()
    exp.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 3), dim=0)")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('q01.x_amp') * 0.5")
    exp.set_waveform_script_by_name("q01", 1, "readout", "amp", "0.3")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "0.1")
    return json.loads(json.dumps(exp.serialize()))


BASE = valid_base()
RECORD_KEYS = list(BASE["waveform_script"][0])


def with_overrides(overrides, record_overrides):
    data = copy.deepcopy(BASE)
    data.update(overrides)
    if isinstance(data.get("waveform_script"), list):
        for record, extra in zip(data["waveform_script"], record_overrides):
            if isinstance(record, dict):
                record.update(extra)
    return data


near_valid = st.builds(
    with_overrides,
    st.dictionaries(st.sampled_from(list(BASE)), json_like, max_size=3),
    st.lists(st.dictionaries(st.sampled_from(RECORD_KEYS), json_like, max_size=3), max_size=3),
)


def restore_or_fail(data):
    try:
        return Experiment.deserialize(data)
    except Exception:
        return None


@SETTINGS
@given(json_like | near_valid)
def test_restoring_arbitrary_data_never_changes_it(data):
    snapshot = copy.deepcopy(data)
    exp = restore_or_fail(data)
    assert data == snapshot
    if exp is not None:
        assert type(exp) is Experiment and not exp.is_compiled
        exp.serialize()


@SETTINGS
@given(near_valid)
def test_a_restored_experiment_can_be_cloned_compiled_and_run(data):
    exp = restore_or_fail(data)
    if exp is None:
        return
    form = exp.serialize()
    twin = exp.clone()
    assert twin.serialize() == form
    try:
        exp.compile_scripts(group=Group("g", dict(CALIBRATION)))
    except Exception:
        return
    steps = []
    try:
        exp.run_exp(lambda **kw: steps.append(kw["steps"]) or ({"interrupt": True} if kw["steps"] >= 20 else None))
    except Exception:  # a value the waves do not know is refused only when the run writes it
        return
    assert steps == list(range(len(steps))) and 1 <= len(steps) <= 21


# ---- valid experiments -----------------------------------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**53), 2**53) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=6),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=4), children, max_size=3),
    max_leaves=10,
)
numbers = st.one_of(st.integers(-100, 100), st.floats(-10, 10, allow_nan=False).map(lambda x: round(x, 3)))
simple_scripts = st.one_of(
    numbers.map(repr),
    st.lists(numbers, min_size=1, max_size=4).map(lambda values: f"sweep({values!r}, dim=0)"),
    st.tuples(numbers, numbers).map(lambda pair: f"{pair[0]!r} * 2 + {pair[1]!r}"),
)


@st.composite
def experiments(draw):
    exp = Experiment(draw(st.text(max_size=10)), draw(st.text(max_size=10)))
    gates = draw(st.lists(st.tuples(st.sampled_from(STANDARD_GATES), st.integers(0, 3)), min_size=1, max_size=4,
                          unique_by=lambda gate: gate[1]))
    for name, layer in gates:
        exp.add_wave_gate((name, "q01"), layer)
    for key, script in draw(st.dictionaries(st.sampled_from(["a", "b", "q01.x_amp"]), simple_scripts, max_size=3)).items():
        exp.set_space_parameter_script(key, script)
    for _ in range(draw(st.integers(0, 3))):
        _, layer = draw(st.sampled_from(gates))
        how = draw(st.sampled_from(["ids", "name", "channel"]))
        parameter, script = draw(st.sampled_from(["amp", "phase", "t0"])), draw(simple_scripts)
        if how == "ids":
            exp.set_waveform_script_by_ids("q01", layer, draw(st.lists(st.integers(0, 2), max_size=2)), parameter, script)
        elif how == "name":
            exp.set_waveform_script_by_name("q01", layer, draw(st.sampled_from(["drive", ["readout"]])), parameter, script)
        else:
            exp.set_waveform_script_by_channel("q01", layer, draw(st.sampled_from(["q01.xy", ["q01.ro"]])), parameter,
                                               script)
    exp.set_options(**draw(st.fixed_dictionaries({}, optional={"shots": st.integers(0, 10_000_000),
                                                               "seed": st.none() | st.integers(0, 2**31)})))
    exp.template = draw(st.none() | st.text(max_size=5))
    exp.template_data = draw(json_values)
    exp.info = draw(st.dictionaries(st.text(max_size=4), json_values, max_size=3))
    exp.attachment = draw(st.dictionaries(st.text(max_size=4), json_values, max_size=3))
    if draw(st.booleans()):
        exp._Experiment__waveform_script.clear()
        for count in range(draw(st.integers(1, 3))):
            circuit = WaveCircuit()
            circuit.add_gate((draw(st.sampled_from(STANDARD_GATES)), "q01"), count)
            exp.append_circuit(circuit)
    return exp


@SETTINGS
@given(experiments())
def test_json_round_trip_is_stable(exp):
    text = json.dumps(exp.serialize(), allow_nan=False)
    back = Experiment.deserialize(json.loads(text))
    again = json.dumps(back.serialize(), allow_nan=False)
    assert json.loads(again) == json.loads(text)
    assert json.dumps(Experiment.deserialize(json.loads(again)).serialize(), allow_nan=False) == again


# ---- the script evaluator --------------------------------------------------------------------

TOKENS = [
    "sweep(", "linspace(", "arange(", "zeros(", "ones(", "full(", "array(", "concatenate(", "repeat(",
    "tile(", "clip(", "mean(", "cumsum(", "diff(", "power(", "sqrt(", "log(", "exp(", "abs(", "min(",
    "max(", "round(", "len(", "range(", "sum(", "int(", "float(", "complex(", "list(", "sorted(", "zip(",
    "space(", "'q01.freq'", "'nope'", "dim=", "num=", "axis=", "dtype=", "0", "1", "2", "-1", "0.5",
    "1e308", "10**9", "2**64", "1j", "True", "None", "'s'", "x", "x = ", "\n", "; ", ", ", ")", "(", "[",
    "]", "{", "}", ": ", " + ", " - ", " * ", " / ", " // ", " % ", " ** ", " @ ", " << ", " < ", " == ",
    " and ", "not ", " if ", " else ", " for ", " in ", "lambda ", ".real", ".shape", "[0]", "[::-1]", "*",
]


def evaluator():
    ev = ScriptEvaluator()
    ev.group = Group("g", dict(CALIBRATION))
    return ev


EVALUATOR = evaluator()


@SETTINGS
@given(st.text(max_size=200) | st.lists(st.sampled_from(TOKENS), max_size=30).map("".join))
def test_the_evaluator_only_raises_script_errors(text):
    try:
        result = EVALUATOR.evaluate(text)
    except ScriptError:
        return
    assert set(result) == {"type", "dim", "val", "seq", "use_space"}


@pytest.mark.parametrize(
    "script",
    [
        "sweep(linspace(0, 1, 3), dim=0)",
        "x = arange(0, 4)\nsweep(x * 0.5, dim=1)",
        "space('q01.freq') + 1",
        "sum([1, 2, 3]) / 4",
    ],
)
def test_the_evaluator_answers_the_seed_scripts(script):
    result = EVALUATOR.evaluate(script)
    assert result["type"] in ("val", "seq")
    value = result["seq"] if result["type"] == "seq" else result["val"]
    assert value is not None and not (isinstance(value, float) and math.isnan(value))
