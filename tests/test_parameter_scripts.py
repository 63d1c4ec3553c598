"""Recording space-parameter scripts and waveform scripts on an experiment."""

import fractions

import pytest

from support_collaborators import raised
from support_editing import circuit_of, wave
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit

SETTERS = {"set_waveform_script_by_ids": 0, "set_waveform_script_by_name": "drive",
           "set_waveform_script_by_channel": "q01.xy"}  # each with a selection that fits the circuit below


@pytest.fixture
def wexp(exp):
    """q01 carries X then Y in layer 0 and M in layer 1; a two-entity CZ sits in layer 2."""
    exp.set_circuit(circuit_of(("X", "q01", 0, [wave("q01")]), ("Y", "q01", 0, [wave("q01")]),
                               ("M", "q01", 1, [wave("q01", "readout")]), ("CZ", ["q01", "q02"], 2, [wave("q02")])))
    return exp


def records(exp):
    return exp._Experiment__waveform_script


def call(exp, method, entity="q01", layer=0, parameter="amp", script="x = 1"):  # by keyword
    keyword = {"ids": "wave_ids", "name": "wave_names", "channel": "channels"}[method.rsplit("_", 1)[1]]
    return getattr(exp, method)(entity=entity, layer=layer, parameter=parameter, script=script,
                                **{keyword: SETTERS[method]})


@pytest.mark.parametrize(("key", "script", "stored"), [
    ("  amp ", "\n  x = linspace(0, 1, 5)\n", "  x = linspace(0, 1, 5)"), ("amp", " \nx = 1\n ", " \nx = 1\n "),
    ("\u3000amp\xa0", "\n\n", ""),
])
def test_space_parameter_script_stripping_and_a_key_set_again_keeps_its_place(exp, key, script, stored):
    store = exp._Experiment__space_parameter_script
    exp.set_space_parameter_script("amp", "x = 0")
    assert exp.set_space_parameter_script(key="freq", script="x = 2") is None
    exp.set_space_parameter_script(key, script)
    assert exp._Experiment__space_parameter_script is store
    assert list(store.items()) == [("amp", stored), ("freq", "x = 2")]


@pytest.mark.parametrize(("method", "fields"), [
    ("set_waveform_script_by_ids", {"channels": None, "wave_names": None, "wave_ids": [0]}),
    ("set_waveform_script_by_name", {"channels": None, "wave_names": ["drive"], "wave_ids": None}),
    ("set_waveform_script_by_channel", {"channels": ["q01.xy"], "wave_ids": None, "wave_names": None}),
])
def test_record_fields_in_order_with_newlines_then_whitespace_stripped(wexp, method, fields):
    assert call(wexp, method, entity=" q01\t", parameter="\namp ", script="\n  amp = 0.3  \n") is None
    call(wexp, method, parameter="\u3000amp", script="\r\n x = 1 \r\n ")
    call(wexp, method, parameter=" ", script="\n\n")
    first, *others = records(wexp)
    assert type(first) is dict and list(first.items()) == [
        ("search_type", method.rsplit("_", 1)[1]), ("gate_name", "X"), ("entity", "q01"), ("layer", 0),
        *fields.items(), ("parameter", "amp"), ("script", "amp = 0.3")]
    assert [(r["parameter"], r["script"]) for r in others] == [("amp", "x = 1"), ("", "")]


@pytest.mark.parametrize(("wave_ids", "stored"), [
    (True, [True]), (" +7_0 ", [70]), ([3.9, -3.9, " 7 ", True], [3, -3, 7, 1]), ([fractions.Fraction(9, 2)], [4]),
    ([], []),
])
def test_wave_ids_become_a_new_list_of_integers(wexp, wave_ids, stored):
    given = [(type(v), v) for v in wave_ids] if isinstance(wave_ids, list) else None
    wexp.set_waveform_script_by_ids("q01", 0, wave_ids, "amp", "x = 1")
    result = records(wexp)[0]["wave_ids"]
    assert type(result) is list and result is not wave_ids
    assert [(type(v), v) for v in result] == [(type(v), v) for v in stored]
    assert given is None or [(type(v), v) for v in wave_ids] == given, "the given list is not converted in place"


@pytest.mark.parametrize("wave_ids", [(0, 1), None, 1.0, "one", "1.5", [0, "x"], [0, None], ["0x1"]])
def test_bad_wave_ids_are_refused_after_the_gate_search(wexp, wave_ids):
    expected = RuntimeError("Unknown type for wave_ids of script on layer 1, q01.")
    if isinstance(wave_ids, (str, list)):  # the host's own conversion error
        expected = raised(Exception, int, wave_ids if isinstance(wave_ids, str) else wave_ids[-1])
    failure = raised(Exception, wexp.set_waveform_script_by_ids, " q01 ", 1.5, wave_ids, "amp", "x = 1")
    assert (type(failure), str(failure)) == (type(expected), str(expected)) and records(wexp) == []
    wexp.set_circuit(WaveCircuit())
    failure = raised(RuntimeError, wexp.set_waveform_script_by_ids, "q01", 0, wave_ids, "amp", "x = 1")
    assert str(failure) == lang.msg("exp_gate_not_found").format("q01", 0)


class Resizing:
    """A wave id whose integer conversion empties, or grows, the list it sits in."""

    def __init__(self, owner, grow):
        self.owner, self.grow = owner, grow

    def __index__(self):
        self.owner.append(Resizing(self.owner, True)) if self.grow else self.owner.clear()
        return 6


@pytest.mark.parametrize("grow", [False, True])
def test_wave_id_list_resized_during_conversion_is_refused(wexp, grow):
    given = []
    given.extend([Resizing(given, grow), 1, 2])
    with pytest.raises(RuntimeError, match="list changed size during iteration"):
        wexp.set_waveform_script_by_ids("q01", 0, given, "amp", "x = 1")
    assert records(wexp) == []
