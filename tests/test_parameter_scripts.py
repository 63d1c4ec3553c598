"""Recording space-parameter scripts and waveform scripts on an experiment."""

import fractions

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.languages import lang
from varnok_client.waveform import Square, WaveCircuit

WAVE_SETTERS = ["set_waveform_script_by_ids", "set_waveform_script_by_name", "set_waveform_script_by_channel"]
SELECTION = {
    "set_waveform_script_by_ids": ("ids", "wave_ids"),
    "set_waveform_script_by_name": ("name", "wave_names"),
    "set_waveform_script_by_channel": ("channel", "channels"),
}
# A harmless selection for each setter.
GOOD_SELECTION = {
    "set_waveform_script_by_ids": 0,
    "set_waveform_script_by_name": "drive",
    "set_waveform_script_by_channel": "q01.xy",
}

_ARGS = "Args:\n    entity: the entity of the gate\n    layer: the layer where is gate in the circuit\n"
_TAIL = "    parameter: the parameter name of the waveform\n    script: script str"
_FIRST = "Set the user script for a waveform parameter by wave id.\n"
DOCS = {
    "set_space_parameter_script": "Experiment.set_space_parameter_script(self, str key: str, str script: str)\n\n"
    "Set the user script for space parameter.\nArgs:\n    key: key of a space parameter\n    script: script str",
    "set_waveform_script_by_ids": "Experiment.set_waveform_script_by_ids(self, str entity: str, int layer: int, "
    "wave_ids: Union[int, List[int]], str parameter: str, str script: str)\n\n" + _FIRST + _ARGS
    + "    wave_ids: the waveform id (or the id list) of the Waveform object in the WaveGate\n" + _TAIL,
    "set_waveform_script_by_name": "Experiment.set_waveform_script_by_name(self, str entity: str, int layer: int, "
    "wave_names: Union[str, List[str]], str parameter: str, str script: str)\n\n" + _FIRST + _ARGS
    + "    wave_names: the waveform name of the Waveform object in the WaveGate\n" + _TAIL,
    "set_waveform_script_by_channel": "Experiment.set_waveform_script_by_channel(self, str entity: str, "
    "int layer: int, channels: Union[str, List[str]], str parameter: str, str script: str)\n\n" + _FIRST + _ARGS
    + "    channels: the channel name of the Waveform object in the WaveGate\n" + _TAIL,
}


class Text(str):
    """A string subclass, which typed string parameters refuse."""


class SpyCircuit:
    """Stands in for the experiment's circuit: records searches and answers with the given gates."""

    def __init__(self, found=(), error=None):
        self.found = found
        self.error = error
        self.searches = []

    def search_gates(self, *args, **kwargs):
        self.searches.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.found


class Found:
    """A minimal search result: only length and indexing."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class NamedGate:
    def __init__(self, gate_name):
        self.gate_name = gate_name


class NamelessGate:
    @property
    def gate_name(self):
        raise AttributeError("gate_name")


def make_circuit():
    """q01 carries X then Y in layer 0 and M in layer 1; a two-entity CZ sits in layer 2."""
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0, [Square("q01.xy", name="drive", amp=0.5, width=20)])
    circuit.add_gate(("Y", "q01"), 0, [Square("q01.xy", name="drive", amp=0.5, width=20)])
    circuit.add_gate(("M", "q01"), 1, [Square("q01.ro", name="readout", amp=0.1, width=500)])
    circuit.add_gate(("CZ", ["q01", "q02"]), 2, [Square("q02.z", name="flux", amp=0.2, width=40)])
    return circuit


@pytest.fixture
def wexp(exp):
    exp.set_circuit(make_circuit())
    return exp


def space_store(exp):
    return exp._Experiment__space_parameter_script


def wave_store(exp):
    return exp._Experiment__waveform_script


def call(exp, method, selection, entity="q01", layer=0, parameter="amp", script="x = 1"):
    return getattr(exp, method)(entity, layer, selection, parameter, script)


@pytest.mark.parametrize(("member", "doc"), DOCS.items())
def test_documentation_strings(member, doc):
    assert getattr(Experiment, member).__doc__ == doc


# -- space-parameter scripts -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("key", "script", "stored_key", "stored_script"),
    [
        ("  amp ", "\n  x = linspace(0, 1, 5)\n", "amp", "  x = linspace(0, 1, 5)"),
        ("\tq01.freq\n", "\n\nx = 1\n\n\n", "q01.freq", "x = 1"),
        ("amp", "\r\n x = 1\t\n", "amp", "\r\n x = 1\t"),
        ("amp", " \nx = 1\n ", "amp", " \nx = 1\n "),
        ("\x0b\x0camp\r", "\n\n", "amp", ""),
        ("\u3000amp\xa0", "x = 1", "amp", "x = 1"),
        ("   ", "", "", ""),
    ],
)
def test_space_parameter_script_stripping(exp, key, script, stored_key, stored_script):
    assert exp.set_space_parameter_script(key, script) is None
    assert space_store(exp) == {stored_key: stored_script}


def test_space_parameter_key_set_again_keeps_its_place(exp):
    store = space_store(exp)
    exp.set_space_parameter_script("amp", "x = 1")
    exp.set_space_parameter_script(key="freq", script="x = 2")
    exp.set_space_parameter_script(" amp\t", "x = 3")
    assert space_store(exp) is store
    assert list(store.items()) == [("amp", "x = 3"), ("freq", "x = 2")]


@pytest.mark.parametrize(
    ("args", "name", "type_name"),
    [
        ((None, "x = 1"), "key", "NoneType"),
        (("amp", None), "script", "NoneType"),
        ((b"amp", "x = 1"), "key", "bytes"),
        (("amp", 1), "script", "int"),
        ((None, None), "key", "NoneType"),
        ((Text("amp"), "x = 1"), "key", "Text"),
        (("amp", Text("x = 1")), "script", "Text"),
    ],
)
def test_space_parameter_script_refuses_non_strings(exp, args, name, type_name):
    exp.set_space_parameter_script("kept", "x = 0")
    with pytest.raises(TypeError) as info:
        exp.set_space_parameter_script(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {type_name})"
    if type_name == "Text":
        assert any("subclasses of built-in types" in note for note in info.value.__notes__)
    assert space_store(exp) == {"kept": "x = 0"}


def test_space_parameter_script_ignores_mode_and_compilation(exp):
    exp.append_circuit(WaveCircuit())
    exp._Experiment__compiled = True
    exp.set_space_parameter_script("not.in.any.space", "x = 1")
    assert space_store(exp) == {"not.in.any.space": "x = 1"} and exp.is_compiled is True


# -- waveform scripts: records -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("method", "selection", "fields"),
    [
        ("set_waveform_script_by_ids", 0,
         [("search_type", "ids"), ("gate_name", "X"), ("entity", "q01"), ("layer", 0), ("channels", None),
          ("wave_names", None), ("wave_ids", [0]), ("parameter", "amp"), ("script", "x = 1")]),
        ("set_waveform_script_by_name", "drive",
         [("search_type", "name"), ("gate_name", "X"), ("entity", "q01"), ("layer", 0), ("channels", None),
          ("wave_names", ["drive"]), ("wave_ids", None), ("parameter", "amp"), ("script", "x = 1")]),
        ("set_waveform_script_by_channel", "q01.xy",
         [("search_type", "channel"), ("gate_name", "X"), ("entity", "q01"), ("layer", 0),
          ("channels", ["q01.xy"]), ("wave_ids", None), ("wave_names", None), ("parameter", "amp"),
          ("script", "x = 1")]),
    ],
)
def test_record_fields_in_order(wexp, method, selection, fields):
    assert call(wexp, method, selection) is None
    [record] = wave_store(wexp)
    assert type(record) is dict
    assert list(record.items()) == fields


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize(
    ("entity", "parameter", "script", "stored"),
    [
        (" q01\t", "\namp ", "\n  amp = 0.3  \n", ("q01", "amp", "amp = 0.3")),
        ("\nq01\n", "amp", " \n x = 1 \n ", ("q01", "amp", "x = 1")),
        ("q01", "\u3000amp", "\r\nx = 1\r\n", ("q01", "amp", "x = 1")),
        ("q01", " ", "\n\n", ("q01", "", "")),
    ],
)
def test_waveform_script_stripping(wexp, method, entity, parameter, script, stored):
    call(wexp, method, GOOD_SELECTION[method], entity=entity, parameter=parameter, script=script)
    [record] = wave_store(wexp)
    assert (record["entity"], record["parameter"], record["script"]) == stored


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize(
    ("entity", "layer", "gate_name", "stored_layer"),
    [("q01", 0, "X", 0), ("q01", 1.0, "M", 1), ("q01", 1.7, "M", 1), ("q02", 2, "CZ", 2),
     ("q01", fractions.Fraction(5, 2), "CZ", 2)],
)
def test_record_names_the_first_gate_found(wexp, method, entity, layer, gate_name, stored_layer):
    call(wexp, method, GOOD_SELECTION[method], entity=entity, layer=layer)
    [record] = wave_store(wexp)
    assert record["gate_name"] == gate_name
    assert record["layer"] == stored_layer and type(record["layer"]) is int


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_search_uses_keywords_with_stripped_entity_and_integer_layer(exp, method):
    spy = exp._Experiment__wave_circuit = SpyCircuit(Found(NamedGate("first"), NamedGate("second")))
    call(exp, method, GOOD_SELECTION[method], entity="  q07 ", layer=3.9)
    [(args, kwargs)] = spy.searches
    assert args == () and kwargs == {"entity": "q07", "layer": 3}
    assert type(kwargs["layer"]) is int
    [record] = wave_store(exp)
    assert record["gate_name"] == "first"


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_gate_name_is_stored_as_the_gate_gives_it(exp, method):
    name = ("not", "a", "string")
    exp._Experiment__wave_circuit = SpyCircuit([NamedGate(name)])
    call(exp, method, GOOD_SELECTION[method])
    assert wave_store(exp)[0]["gate_name"] is name


def test_records_append_in_call_order(wexp):
    store = wave_store(wexp)
    wexp.set_waveform_script_by_ids("q01", 0, 0, "amp", "x = 1")
    wexp.set_waveform_script_by_ids(entity="q01", layer=0, wave_ids=0, parameter="amp", script="x = 2")
    wexp.set_waveform_script_by_name("q01", 1, "readout", "width", "x = 3")
    wexp.set_waveform_script_by_channel(entity="q02", layer=2, channels="q02.z", parameter="amp", script="x = 4")
    assert wave_store(wexp) is store
    assert [(r["search_type"], r["script"]) for r in store] == [
        ("ids", "x = 1"), ("ids", "x = 2"), ("name", "x = 3"), ("channel", "x = 4")
    ]
    assert store[0] == {**store[1], "script": "x = 1"} and store[0] is not store[1]


# -- waveform scripts: wave selections ---------------------------------------------------------


@pytest.mark.parametrize(
    ("wave_ids", "stored"),
    [
        (3, [3]),
        (0, [0]),
        ("3", [3]),
        (" 12\n", [12]),
        (" +7_0 ", [70]),
        ("\u0663", [3]),
        ("-1", [-1]),
        ([1, "2", 3.0], [1, 2, 3]),
        ([3.9, -3.9, " 7 "], [3, -3, 7]),
        ([fractions.Fraction(9, 2)], [4]),
        ([], []),
    ],
)
def test_wave_ids_are_normalised_to_a_list_of_integers(wexp, wave_ids, stored):
    wexp.set_waveform_script_by_ids("q01", 0, wave_ids, "amp", "x = 1")
    result = wave_store(wexp)[0]["wave_ids"]
    assert type(result) is list and result == stored
    assert all(type(value) is int for value in result)


class Count(int):
    """An integer subclass, which counts as an integer."""


@pytest.mark.parametrize("wave_id", [True, Count(4)])
def test_a_single_integer_wave_id_is_kept_as_given(wexp, wave_id):
    wexp.set_waveform_script_by_ids("q01", 0, wave_id, "amp", "x = 1")
    result = wave_store(wexp)[0]["wave_ids"]
    assert result == [wave_id] and result[0] is wave_id


def test_wave_id_list_is_always_a_new_list(wexp):
    given = [0, 1]
    wexp.set_waveform_script_by_ids("q01", 0, given, "amp", "x = 1")
    stored = wave_store(wexp)[0]["wave_ids"]
    assert stored == [0, 1] and stored is not given
    given.append(2)
    mixed = ["0", 1.0]
    wexp.set_waveform_script_by_ids("q01", 0, mixed, "amp", "x = 1")
    assert stored == [0, 1] and mixed == ["0", 1.0]


@pytest.mark.parametrize(
    ("wave_ids", "type_name"),
    [((0, 1), "tuple"), (None, "NoneType"), (1.0, "float"), ({0}, "set"), (b"1", "bytes"), ({0: 1}, "dict")],
)
def test_wave_ids_of_other_types_are_refused(wexp, wave_ids, type_name):
    with pytest.raises(RuntimeError) as info:
        wexp.set_waveform_script_by_ids(" q01 ", 1.5, wave_ids, "amp", "x = 1")
    assert str(info.value) == "Unknown type for wave_ids of script on layer 1, q01."
    assert wave_store(wexp) == []


@pytest.mark.parametrize("wave_ids", ["one", "1.5", "", [0, "x"], [0, None], [0, [1]], ["0x1"]])
def test_unconvertible_wave_ids_raise_the_integer_conversion_error(wexp, wave_ids):
    bad = wave_ids if isinstance(wave_ids, str) else wave_ids[-1]
    with pytest.raises(Exception) as expected:
        int(bad)
    with pytest.raises(Exception) as info:
        wexp.set_waveform_script_by_ids("q01", 0, wave_ids, "amp", "x = 1")
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    assert wave_store(wexp) == []


@pytest.mark.parametrize("method", ["set_waveform_script_by_name", "set_waveform_script_by_channel"])
def test_one_name_becomes_a_list(wexp, method):
    _, field = SELECTION[method]
    call(wexp, method, "drive")
    assert wave_store(wexp)[0][field] == ["drive"]


@pytest.mark.parametrize("method", ["set_waveform_script_by_name", "set_waveform_script_by_channel"])
@pytest.mark.parametrize("selection", [["drive", "other"], ("drive",), None, 5, {"drive": 1}, []])
def test_other_name_selections_are_stored_as_given(wexp, method, selection):
    _, field = SELECTION[method]
    call(wexp, method, selection)
    assert wave_store(wexp)[0][field] is selection


@pytest.mark.parametrize("method", ["set_waveform_script_by_name", "set_waveform_script_by_channel"])
def test_name_lists_stay_shared_with_the_caller(wexp, method):
    _, field = SELECTION[method]
    given = ["drive"]
    call(wexp, method, given)
    given.append("later")
    assert wave_store(wexp)[0][field] == ["drive", "later"]


# -- waveform scripts: failures ----------------------------------------------------------------


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize(("entity", "layer"), [("q03", 0), ("q01", 5), (" q02\n", 0.0)])
def test_missing_gate_is_reported(wexp, method, entity, layer):
    with pytest.raises(RuntimeError) as info:
        call(wexp, method, GOOD_SELECTION[method], entity=entity, layer=layer)
    assert str(info.value) == lang.msg("exp_gate_not_found").format(entity.strip(), int(layer))
    assert wave_store(wexp) == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_missing_gate_message_gets_entity_and_integer_layer(exp, method, monkeypatch):
    asked = []

    def msg(key):
        asked.append(key)
        return "{!r}|{!r}"

    monkeypatch.setattr(lang, "msg", msg)
    with pytest.raises(RuntimeError) as info:
        call(exp, method, GOOD_SELECTION[method], entity=" q01 ", layer=4.5)
    assert asked == ["exp_gate_not_found"]
    assert str(info.value) == "'q01'|4"


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_missing_gate_message_follows_the_current_language(exp, method):
    lang.set_language("zh")
    try:
        with pytest.raises(RuntimeError) as info:
            call(exp, method, GOOD_SELECTION[method], entity="q01", layer=2)
        expected = lang.msg("exp_gate_not_found").format("q01", 2)
    finally:
        lang.set_language("en")
    assert str(info.value) == expected


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize(
    ("overrides", "name", "type_name"),
    [
        ({"entity": None}, "entity", "NoneType"),
        ({"entity": Text("q01")}, "entity", "Text"),
        ({"parameter": None}, "parameter", "NoneType"),
        ({"parameter": b"amp"}, "parameter", "bytes"),
        ({"script": None}, "script", "NoneType"),
        ({"script": 3}, "script", "int"),
        ({"parameter": None, "script": None}, "parameter", "NoneType"),
        ({"entity": 1, "parameter": None}, "entity", "int"),
    ],
)
def test_string_parameters_are_checked_before_the_search(exp, method, overrides, name, type_name):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    arguments = {"entity": "q01", "layer": 0, "parameter": "amp", "script": "x = 1", **overrides}
    with pytest.raises(TypeError) as info:
        call(exp, method, GOOD_SELECTION[method], **arguments)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {type_name})"
    assert spy.searches == [] and wave_store(exp) == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize(
    ("overrides", "name", "type_name"),
    [
        ({"layer": None}, "layer", "int"),
        ({"layer": "0"}, "layer", "int"),
        ({"layer": [0]}, "layer", "int"),
        ({"layer": None, "parameter": None}, "layer", "int"),
        ({"entity": None, "layer": None}, "entity", "str"),
    ],
)
def test_layer_is_checked_in_parameter_order(exp, method, overrides, name, type_name):
    spy = exp._Experiment__wave_circuit = SpyCircuit()
    arguments = {"entity": "q01", "layer": 0, "parameter": "amp", "script": "x = 1", **overrides}
    with pytest.raises(TypeError) as info:
        call(exp, method, GOOD_SELECTION[method], **arguments)
    given = type(arguments[name]).__name__
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {type_name}, got {given})"
    assert spy.searches == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_typed_errors_come_before_a_missing_gate(exp, method):
    with pytest.raises(TypeError, match="Argument 'script'"):
        call(exp, method, (1, 2), entity="nowhere", script=None)


@pytest.mark.parametrize("wave_ids", [(0, 1), None, "not a number", [0, "x"]])
def test_missing_gate_comes_before_the_wave_id_checks(exp, wave_ids):
    with pytest.raises(RuntimeError) as info:
        exp.set_waveform_script_by_ids("q01", 0, wave_ids, "amp", "x = 1")
    assert str(info.value) == lang.msg("exp_gate_not_found").format("q01", 0)


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_search_errors_propagate(exp, method):
    error = LookupError("search failed")
    exp._Experiment__wave_circuit = SpyCircuit(error=error)
    with pytest.raises(LookupError) as info:
        call(exp, method, GOOD_SELECTION[method])
    assert info.value is error and wave_store(exp) == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_gate_name_errors_propagate(exp, method):
    exp._Experiment__wave_circuit = SpyCircuit([NamelessGate()])
    with pytest.raises(AttributeError, match="gate_name"):
        call(exp, method, GOOD_SELECTION[method])
    assert wave_store(exp) == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
@pytest.mark.parametrize("found", [None, 5])
def test_unusable_search_results_raise(exp, method, found):
    exp._Experiment__wave_circuit = SpyCircuit(found)
    with pytest.raises(TypeError):
        call(exp, method, GOOD_SELECTION[method])
    assert wave_store(exp) == []


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_all_parameters_are_required(wexp, method):
    with pytest.raises(TypeError, match="script"):
        getattr(wexp, method)("q01", 0, GOOD_SELECTION[method], "amp")
    assert wave_store(wexp) == []


# -- waveform scripts: mode and compiled state -------------------------------------------------


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_batch_mode_still_searches_the_experiments_own_circuit(exp, method):
    exp.append_circuit(make_circuit())
    with pytest.raises(RuntimeError) as info:
        call(exp, method, GOOD_SELECTION[method])
    assert str(info.value) == lang.msg("exp_gate_not_found").format("q01", 0)
    exp.set_space_parameter_script("amp", "x = 1")
    assert space_store(exp) == {"amp": "x = 1"}


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_batch_mode_records_scripts_for_gates_of_the_own_circuit(wexp, method):
    wexp.append_circuit(WaveCircuit())
    call(wexp, method, GOOD_SELECTION[method])
    assert wave_store(wexp)[0]["gate_name"] == "X"


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_search_bypasses_an_overridden_circuit_property(method):
    class OtherView(Experiment):
        @property
        def circuit(self):
            return make_circuit()

    exp = OtherView("t", "d")
    with pytest.raises(RuntimeError, match="q01"):
        call(exp, method, GOOD_SELECTION[method])


@pytest.mark.parametrize("method", WAVE_SETTERS)
def test_setters_keep_the_compiled_state(wexp, method):
    wexp._Experiment__compiled = True
    before = {name: value for name, value in vars(wexp).items() if name.startswith("_Experiment__compiled_")}
    call(wexp, method, GOOD_SELECTION[method])
    wexp.set_space_parameter_script("amp", "x = 1")
    assert wexp.is_compiled is True
    for name, value in before.items():
        assert vars(wexp)[name] is value, name


class Shrinking:
    """A wave id whose integer conversion empties the list it sits in."""

    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        self.owner.clear()
        return 6


def test_wave_id_list_emptied_during_conversion(wexp):
    given = []
    given.extend([Shrinking(given), 1, 2])
    wexp.set_waveform_script_by_ids("q01", 0, given, "amp", "x = 1")
    assert wave_store(wexp)[0]["wave_ids"] == [6] and given == []
