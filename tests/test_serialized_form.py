"""The serialized form of an experiment: what `serialize` writes and how `deserialize` reads it."""

import copy
import functools
import inspect
import subprocess
import sys
from collections.abc import Mapping

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit

KEYS = [
    "title",
    "desc",
    "exp_mode",
    "template",
    "template_data",
    "space",
    "wave_circuit",
    "batch_circuit",
    "waveform_script",
    "space_parameter_script",
    "options",
    "info",
    "attachment",
]
SHARED_KEYS = ["title", "desc", "template", "template_data", "space", "info", "attachment"]
PRIVATE_STORES = {
    "waveform_script": "_Experiment__waveform_script",
    "space_parameter_script": "_Experiment__space_parameter_script",
    "options": "_Experiment__options",
}
CALIBRATION = {
    "q01.freq": 5e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 40.0,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 400.0,
    "q01.ro_freq": 6.5e9,
}
DOES_NOT_INDICATE = "Waveform script of {} on layer {} does not indicate wave_names, channels or wave_ids."
UNKNOWN_WAVE_IDS = "Unknown type for wave_ids of script on layer {}, {}."

# ---- guard: a crash of the restoring path must fail tests, not end the whole run -------------

_PROBE = (
    "from varnok_client.experiment.experiment import Experiment\n"
    "Experiment.deserialize(Experiment('t', 'd').serialize())\n"
)


@functools.cache
def _probe_returncode():
    return subprocess.run([sys.executable, "-c", _PROBE], capture_output=True, timeout=300).returncode


def require_surviving_deserialize():
    code = _probe_returncode()
    if code < 0:
        pytest.fail(
            f"Experiment.deserialize of a new experiment's serialized form kills the interpreter "
            f"(signal {-code})",
            pytrace=False,
        )


def restore(*args, **kwargs):
    require_surviving_deserialize()
    return Experiment.deserialize(*args, **kwargs)


# ---- builders ------------------------------------------------------------------------------


def make_group():
    return Group("g", dict(CALIBRATION))


def build_normal(group=None):
    exp = Experiment("Rabi", "amplitude sweep", make_group() if group is None else group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates()
    exp.set_space_parameter_script("fixed", "0.7")
    exp.set_space_parameter_script("amp", "sweep(linspace(0, 1, 5), dim=0)")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('fixed') * 0.5")
    exp.set_waveform_script_by_name("q01", 1, "readout", "amp", "0.3")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "0.1")
    exp.set_options(shots=100)
    exp.template = "rabi-template"
    exp.template_data = {"points": [1, 2, 3]}
    exp.info = {"owner": "lab"}
    exp.attachment = {"notes": ["first"]}
    return exp


def build_batch(group=None):
    exp = Experiment("Batch", "two circuits", make_group() if group is None else group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.fill_empty_wave_gates()
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "0.25")
    exp.set_space_parameter_script("fixed", "0.7")
    exp.append_circuit(WaveCircuit())
    second = WaveCircuit()
    second.add_gate(("M", "q01"), 0)
    exp.append_circuit(second)
    exp.fill_empty_wave_gates()
    return exp


def one_gate_circuit():
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0)
    return circuit.serialize()


def minimal(**extra):
    data = {
        "title": "t",
        "desc": "d",
        "wave_circuit": one_gate_circuit(),
        "waveform_script": [],
        "space_parameter_script": {},
        "options": {},
    }
    data.update(extra)
    return data


def record(search_type="ids", **fields):
    base = {"search_type": search_type, "entity": "q01", "layer": 0, "parameter": "amp", "script": "0.1"}
    base.update(fields)
    return base


def restored_records(exp):
    return exp.serialize()["waveform_script"]


class LoggingMapping(Mapping):
    """A read-only mapping that logs every membership test and item access."""

    def __init__(self, data, log, name=""):
        self._data = data
        self._log = log
        self._name = name

    def __getitem__(self, key):
        self._log(f"{self._name}get", key)
        return self._data[key]

    def __contains__(self, key):
        self._log(f"{self._name}has", key)
        return key in self._data

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


# ---- serialize -----------------------------------------------------------------------------


@pytest.mark.parametrize("builder", [build_normal, build_batch, lambda: Experiment("t", "d")])
def test_serialize_writes_the_thirteen_keys_in_order(builder):
    data = builder().serialize()
    assert type(data) is dict
    assert list(data) == KEYS


def test_serialize_of_a_normal_experiment():
    exp = build_normal()
    exp.space = {"snapshot": 1}
    data = exp.serialize()
    assert data["exp_mode"] == "normal"
    assert data["batch_circuit"] is None
    assert data["wave_circuit"] == exp.circuit.serialize()
    for key in SHARED_KEYS:
        assert data[key] is getattr(exp, key), key
    for key, attribute in PRIVATE_STORES.items():
        assert data[key] is getattr(exp, attribute), key
    assert data["options"] == {"shots": 100}
    assert data["space_parameter_script"] == {"fixed": "0.7", "amp": "sweep(linspace(0, 1, 5), dim=0)"}
    assert [r["search_type"] for r in data["waveform_script"]] == ["ids", "name", "channel"]


@pytest.mark.parametrize(("template", "written"), [(None, ""), ("", ""), (0, 0), (False, False), ([], [])])
def test_serialize_replaces_only_a_none_template(template, written):
    exp = Experiment("t", "d")
    exp.template = template
    value = exp.serialize()["template"]
    assert value == written and type(value) is type(written)
    if template is not None:
        assert value is template


def test_serialize_of_a_batch_experiment_lists_each_circuit_in_order():
    exp = build_batch()
    circuits = exp.batch_circuits
    data = exp.serialize()
    assert data["exp_mode"] == "batch_circuit"
    assert type(data["batch_circuit"]) is list
    assert data["batch_circuit"] is not circuits
    assert data["batch_circuit"] == [circuit.serialize() for circuit in circuits]
    assert data["batch_circuit"][0] != data["batch_circuit"][1]
    assert data["wave_circuit"] == exp.circuit.serialize()
    assert data["wave_circuit"]["gates"], "the single circuit is written in batch mode too"


def test_serialize_after_clearing_the_batch_writes_an_empty_list():
    exp = build_normal()
    exp.clear_batch_circuits()
    data = exp.serialize()
    assert data["exp_mode"] == "batch_circuit"
    assert data["batch_circuit"] == [] and data["batch_circuit"] is not exp.batch_circuits


class _OrderSpyCircuit:
    def __init__(self, label, log, on_serialize=None):
        self.label, self.log, self.on_serialize = label, log, on_serialize

    def serialize(self):
        self.log.append(self.label)
        if self.on_serialize is not None:
            self.on_serialize()
        return {"circuit": self.label}


def test_serialize_visits_batch_circuits_first_and_reads_values_afterwards():
    log = []
    exp = Experiment("before", "d")
    exp._Experiment__wave_circuit = _OrderSpyCircuit("own", log)
    exp.append_circuit(_OrderSpyCircuit("b1", log))
    exp.append_circuit(_OrderSpyCircuit("b2", log, on_serialize=lambda: setattr(exp, "title", "after")))
    data = exp.serialize()
    assert log == ["b1", "b2", "own"]
    assert data["title"] == "after"
    assert data["wave_circuit"] == {"circuit": "own"}
    assert data["batch_circuit"] == [{"circuit": "b1"}, {"circuit": "b2"}]


def test_serialize_reads_the_circuit_and_mode_through_the_properties():
    replacement = WaveCircuit()
    replacement.add_gate(("Y", "q02"), 3)

    class Custom(Experiment):
        @property
        def circuit(self):
            return replacement

        @property
        def exp_mode(self):
            return "custom-mode"

    data = Custom("t", "d").serialize()
    assert data["wave_circuit"] == replacement.serialize()
    assert data["exp_mode"] == "custom-mode"
    assert data["batch_circuit"] is None


def test_changes_to_the_serialized_dictionary_reach_the_experiment():
    exp = build_normal()
    data = exp.serialize()
    data["info"]["changed"] = True
    data["waveform_script"].pop()
    data["space_parameter_script"]["extra"] = "1"
    data["options"]["shots"] = 5
    assert exp.info == {"owner": "lab", "changed": True}
    again = exp.serialize()
    assert len(again["waveform_script"]) == 2
    assert again["space_parameter_script"]["extra"] == "1"
    assert exp.options == {"shots": 5}


def test_serialize_does_not_change_the_experiment():
    exp = build_batch()
    before = copy.deepcopy(exp.serialize())
    exp.serialize()
    assert exp.serialize() == before
    assert exp.is_compiled is False


# ---- deserialize: defaults and reading order -------------------------------------------------


def test_missing_optional_keys_take_their_defaults():
    first = restore(minimal())
    second = restore(minimal())
    assert first.template == "" and first.template_data is None
    assert first.info == {} and first.attachment == {}
    assert first.info is not first.attachment
    assert first.info is not second.info and first.attachment is not second.attachment
    assert first.exp_mode == "normal" and first.batch_circuits is None
    assert first.space is None and first.is_compiled is False
    assert first.group is None and first.gate_compiler is None
    assert first.circuit.serialize() == one_gate_circuit()


def test_present_optional_values_are_stored_as_given():
    template, template_data, info, attachment = object(), [1, 2], {"a": 1}, {"b": []}
    exp = restore(
        minimal(template=template, template_data=template_data, info=info, attachment=attachment, space=7)
    )
    assert exp.template is template
    assert exp.template_data is template_data
    assert exp.info is info
    assert exp.attachment is attachment
    assert exp.space is None


@pytest.mark.parametrize("key", ["template", "template_data", "info", "attachment"])
def test_a_present_none_is_kept(key):
    exp = restore(minimal(**{key: None}))
    assert getattr(exp, key) is None


def test_deserialize_reads_the_keys_in_order_and_assigns_the_group_before_circuits(spy_registers, group):
    data = minimal(
        template="x",
        template_data=1,
        attachment={},
        info={},
        exp_mode="normal",
        batch_circuit=None,
        space_parameter_script={"p": "1"},
        waveform_script=[record(wave_ids=[0])],
    )
    restore(LoggingMapping(data, spy_registers), group)
    first_reads = []
    for entry in spy_registers.calls:
        name = entry[0] if entry[0].startswith(("get_gate", "load_")) else f"{entry[0]} {entry[1]}"
        if name.startswith("get ") and name in first_reads:
            continue
        if name.startswith(("get ", "get_gate", "load_")):
            first_reads.append(name)
    assert first_reads == [
        "get title",
        "get desc",
        "get template",
        "get template_data",
        "get attachment",
        "get info",
        "get options",
        "get_gate_compiler",
        "load_waveforms_for_group",
        "get exp_mode",
        "get wave_circuit",
        "get space_parameter_script",
        "get waveform_script",
    ]


def test_optional_keys_are_found_by_membership():
    log = []

    class Hiding(LoggingMapping):
        def __contains__(self, key):
            super().__contains__(key)
            return key not in ("template", "template_data", "info", "attachment", "exp_mode")

    data = minimal(template="t", template_data=1, info={"x": 1}, attachment={"y": 2}, exp_mode="batch_circuit")
    exp = restore(Hiding(data, lambda *entry: log.append(entry)))
    assert (exp.template, exp.template_data, exp.info, exp.attachment) == ("", None, {}, {})
    assert exp.exp_mode == "normal"
    assert ("get", "template") not in log and ("get", "exp_mode") not in log
    for key in ("template", "template_data", "info", "attachment", "exp_mode"):
        assert ("has", key) in log


# ---- deserialize: modes ----------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["normal", "Batch_circuit", "batch_circuit ", "batch", None, 1, ["batch_circuit"]])
def test_anything_but_batch_circuit_restores_normal_mode(mode):
    data = minimal(exp_mode=mode, batch_circuit="not read in normal mode")
    exp = restore(data)
    assert exp.exp_mode == "normal"
    assert exp.circuit.serialize() == one_gate_circuit()


def test_batch_mode_restores_each_batch_circuit_in_order():
    first, second = WaveCircuit(), WaveCircuit()
    second.add_gate(("M", "q01"), 2)
    data = minimal(exp_mode="batch_circuit", batch_circuit=[second.serialize(), first.serialize()])
    exp = restore(data)
    assert exp.exp_mode == "batch_circuit"
    assert [c.serialize() for c in exp.batch_circuits] == [second.serialize(), first.serialize()]
    assert all(type(c) is WaveCircuit for c in exp.batch_circuits)


@pytest.mark.parametrize("own", ["absent", None])
def test_batch_mode_without_an_own_circuit_keeps_the_empty_one(own):
    data = minimal(exp_mode="batch_circuit", batch_circuit=[WaveCircuit().serialize()])
    if own == "absent":
        del data["wave_circuit"]
    else:
        data["wave_circuit"] = None
    exp = restore(data)
    assert exp.exp_mode == "batch_circuit"
    assert exp.circuit.serialize() == WaveCircuit().serialize()


def test_batch_mode_restores_the_own_circuit_before_the_batch():
    data = minimal(exp_mode="batch_circuit", batch_circuit=[WaveCircuit().serialize()])
    exp = restore(data)
    assert exp.circuit.serialize() == one_gate_circuit()
    assert len(exp.batch_circuits) == 1


def test_batch_mode_with_waveform_scripts_resolves_them_on_the_own_circuit():
    data = minimal(
        exp_mode="batch_circuit",
        batch_circuit=[WaveCircuit().serialize()],
        waveform_script=[record(wave_ids=[0])],
    )
    exp = restore(data)
    assert exp.exp_mode == "batch_circuit"
    assert restored_records(exp)[0]["gate_name"] == "X"


def test_an_empty_batch_list_restores_a_normal_experiment():
    data = minimal(exp_mode="batch_circuit", batch_circuit=[])
    exp = restore(data)
    assert exp.exp_mode == "normal" and exp.batch_circuits is None
    assert exp.circuit.serialize() == one_gate_circuit()


# ---- deserialize: required keys and bad values ----------------------------------------------


@pytest.mark.parametrize(
    "key", ["title", "desc", "options", "space_parameter_script", "waveform_script", "wave_circuit"]
)
def test_a_missing_required_key_raises_key_error(key):
    data = minimal()
    del data[key]
    with pytest.raises(KeyError) as info:
        restore(data)
    assert info.value.args == (key,)


def test_batch_mode_requires_the_batch_list():
    data = minimal(exp_mode="batch_circuit")
    with pytest.raises(KeyError) as info:
        restore(data)
    assert info.value.args == ("batch_circuit",)


def test_normal_mode_does_not_need_the_batch_list():
    exp = restore(minimal(exp_mode="normal"))
    assert exp.exp_mode == "normal"


@pytest.mark.parametrize("key", ["entity", "layer", "parameter", "script", "search_type"])
def test_a_record_without_a_required_key_raises_key_error(key):
    bad = record(wave_ids=[0])
    del bad[key]
    with pytest.raises(KeyError) as info:
        restore(minimal(waveform_script=[bad]))
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    ("key", "value", "message"),
    [
        ("title", 3, "Argument 'title' has incorrect type (expected str, got int)"),
        ("title", None, "Argument 'title' has incorrect type (expected str, got NoneType)"),
        ("desc", b"d", "Argument 'desc' has incorrect type (expected str, got bytes)"),
    ],
)
def test_title_and_desc_must_be_strings(key, value, message):
    with pytest.raises(TypeError) as info:
        restore(minimal(**{key: value}))
    assert str(info.value) == message


def test_none_options_raise_the_mapping_type_error():
    with pytest.raises(TypeError) as info:
        restore(minimal(options=None))
    assert str(info.value) == "argument after ** must be a mapping, not NoneType"


@pytest.mark.parametrize("options", [[("shots", 1)], 5, "shots"])
def test_options_that_are_not_a_mapping_raise_type_error(options):
    with pytest.raises(TypeError) as info:
        restore(minimal(options=options))
    assert str(info.value) == f"argument after ** must be a mapping, not {type(options).__name__}"


def test_option_names_must_be_strings():
    with pytest.raises(TypeError):
        restore(minimal(options={1: 2}))


def test_none_space_parameter_scripts_raise_attribute_error():
    with pytest.raises(AttributeError) as info:
        restore(minimal(space_parameter_script=None))
    assert str(info.value) == "'NoneType' object has no attribute 'items'"


@pytest.mark.parametrize(
    "data",
    [
        minimal(waveform_script=None),
        minimal(waveform_script=5),
        minimal(exp_mode="batch_circuit", batch_circuit=None),
        minimal(exp_mode="batch_circuit", batch_circuit=3.5),
    ],
    ids=["scripts-none", "scripts-int", "batch-none", "batch-float"],
)
def test_values_that_cannot_be_iterated_raise_type_error(data):
    with pytest.raises(TypeError):
        restore(data)


def test_a_gate_missing_from_the_circuit_fails_the_replay():
    data = minimal(waveform_script=[record(entity="q09", layer=4, wave_ids=[0])])
    with pytest.raises(RuntimeError) as info:
        restore(data)
    assert str(info.value) == lang.msg("exp_gate_not_found").format("q09", 4)


# ---- deserialize: replaying waveform scripts -------------------------------------------------


@pytest.mark.parametrize("wave_ids", [5, "5", " 5 ", [5], ["5"], [5.9]])
def test_wave_ids_are_normalised_to_a_list_of_integers(wave_ids):
    exp = restore(minimal(waveform_script=[record(wave_ids=wave_ids)]))
    (restored,) = restored_records(exp)
    assert restored["search_type"] == "ids"
    assert restored["wave_ids"] == [5] and all(type(i) is int for i in restored["wave_ids"])


def test_a_wave_id_list_is_not_shared_with_the_input():
    ids = [0, 1]
    exp = restore(minimal(waveform_script=[record(wave_ids=ids)]))
    stored = restored_records(exp)[0]["wave_ids"]
    assert stored == [0, 1] and stored is not ids


@pytest.mark.parametrize(
    ("wave_ids", "entity", "layer", "text_entity", "text_layer"),
    [
        ((5,), "q01", 0, "q01", 0),
        (5.0, "q01", 0, "q01", 0),
        ({5}, " q01 ", 0.9, " q01 ", 0),
        ((0,), "q09", "3", "q09", 3),
    ],
)
def test_wave_ids_of_another_type_raise_runtime_error(wave_ids, entity, layer, text_entity, text_layer):
    data = minimal(waveform_script=[record(wave_ids=wave_ids, entity=entity, layer=layer)])
    with pytest.raises(RuntimeError) as info:
        restore(data)
    assert str(info.value) == UNKNOWN_WAVE_IDS.format(text_layer, text_entity)


@pytest.mark.parametrize("wave_ids", [["x"], "five", [[1]]])
def test_wave_ids_that_are_not_integers_raise_the_conversion_error(wave_ids):
    item = wave_ids[0] if isinstance(wave_ids, list) else wave_ids
    with pytest.raises(Exception) as expected:
        int(item)
    with pytest.raises(type(expected.value)):
        restore(minimal(waveform_script=[record(wave_ids=wave_ids)]))


@pytest.mark.parametrize(
    ("search_type", "fields"),
    [
        ("channel", {"channels": None, "wave_names": ["drive"], "wave_ids": [0]}),
        ("channel", {"wave_names": ["drive"]}),
        ("name", {"channels": ["q01.xy"], "wave_ids": [0]}),
        ("name", {"wave_names": None}),
        ("ids", {"wave_ids": None, "channels": ["q01.xy"]}),
        ("ids", {}),
        ("wave_ids", {"wave_ids": [0]}),
        (None, {"channels": ["q01.xy"], "wave_names": ["drive"], "wave_ids": [0]}),
    ],
)
def test_a_record_without_a_matching_selection_is_refused(search_type, fields):
    data = minimal(waveform_script=[record(search_type, **fields)])
    with pytest.raises(RuntimeError) as info:
        restore(data)
    assert str(info.value) == DOES_NOT_INDICATE.format("q01", 0)


@pytest.mark.parametrize(("entity", "layer", "text_layer"), [(" q01 ", 0, 0), ("q01", 0.5, 0), ("q01", "0", 0)])
def test_the_unmatched_record_message_shows_the_raw_entity_and_converted_layer(entity, layer, text_layer):
    data = minimal(waveform_script=[record("other", entity=entity, layer=layer)])
    with pytest.raises(RuntimeError) as info:
        restore(data)
    assert str(info.value) == DOES_NOT_INDICATE.format(entity, text_layer)


@pytest.mark.parametrize("layer", ["zero", None, [0], float("inf"), float("nan")])
def test_a_layer_the_host_cannot_convert_raises_its_error(layer):
    with pytest.raises(Exception) as expected:
        int(layer)
    with pytest.raises(type(expected.value)):
        restore(minimal(waveform_script=[record(wave_ids=[0], layer=layer)]))


def test_records_are_replayed_through_the_setters_in_order():
    records = [
        record("channel", entity=" q01 ", layer="0", channels="q01.xy", gate_name="BOGUS", script="\n  0.2 \n"),
        record("name", layer=0.0, wave_names=["drive", "other"], parameter=" amp ", extra="ignored"),
        record("ids", wave_ids=0),
    ]
    exp = restore(minimal(waveform_script=records))
    assert restored_records(exp) == [
        {
            "search_type": "channel",
            "gate_name": "X",
            "entity": "q01",
            "layer": 0,
            "channels": ["q01.xy"],
            "wave_ids": None,
            "wave_names": None,
            "parameter": "amp",
            "script": "0.2",
        },
        {
            "search_type": "name",
            "gate_name": "X",
            "entity": "q01",
            "layer": 0,
            "channels": None,
            "wave_names": ["drive", "other"],
            "wave_ids": None,
            "parameter": "amp",
            "script": "0.1",
        },
        {
            "search_type": "ids",
            "gate_name": "X",
            "entity": "q01",
            "layer": 0,
            "channels": None,
            "wave_names": None,
            "wave_ids": [0],
            "parameter": "amp",
            "script": "0.1",
        },
    ]
    assert [list(r) for r in restored_records(exp)][0][4:7] == ["channels", "wave_ids", "wave_names"]


def test_name_and_channel_lists_are_stored_as_given():
    names, channels = ["drive"], ["q01.xy"]
    exp = restore(minimal(waveform_script=[record("name", wave_names=names), record("channel", channels=channels)]))
    first, second = restored_records(exp)
    assert first["wave_names"] is names
    assert second["channels"] is channels


@pytest.mark.parametrize(
    ("kind", "selection_key", "value", "type_reads"),
    [("channel", "channels", ["q01.xy"], 1), ("name", "wave_names", ["drive"], 2), ("ids", "wave_ids", [0], 3)],
)
def test_record_fields_are_read_in_order(kind, selection_key, value, type_reads):
    log = []
    fields = record(kind, **{selection_key: value})
    exp = restore(minimal(waveform_script=[LoggingMapping(fields, lambda *entry: log.append(entry))]))
    assert log == (
        [("get", "entity"), ("get", "layer"), ("get", "parameter"), ("get", "script")]
        + [("get", "search_type")] * type_reads
        + [("has", selection_key), ("get", selection_key), ("get", selection_key)]
    )
    assert restored_records(exp)[0]["search_type"] == kind


def test_the_search_type_is_looked_up_for_each_test():
    answers = iter(["nothing", "name", "ids"])

    class Shifting(dict):
        def __getitem__(self, key):
            if key == "search_type":
                return next(answers)
            return super().__getitem__(key)

    fields = Shifting(record("x", wave_names=["drive"], wave_ids=[0], channels=["q01.xy"]))
    exp = restore(minimal(waveform_script=[fields]))
    assert restored_records(exp)[0]["search_type"] == "name"


def test_space_parameter_scripts_are_replayed_in_order():
    scripts = {" b ": "\n  1\n", "a": "2", "c": "3 \n\n"}
    exp = restore(minimal(space_parameter_script=scripts))
    stored = exp.serialize()["space_parameter_script"]
    assert list(stored.items()) == [("b", "  1"), ("a", "2"), ("c", "3 ")]
    assert stored is not scripts


def test_space_parameter_script_keys_must_be_strings():
    with pytest.raises(TypeError) as info:
        restore(minimal(space_parameter_script={1: "2"}))
    assert str(info.value) == "Argument 'key' has incorrect type (expected str, got int)"


# ---- deserialize: options and group ----------------------------------------------------------


def test_options_are_restored_through_the_configuration_manager():
    options = {"shots": 7, "seed": None}
    exp = restore(minimal(options=options))
    assert exp.options == {"shots": 7, "seed": None}
    assert exp.options is not options
    assert exp.options_config_manager.user_input == {"shots": 7, "seed": None}


@pytest.mark.parametrize(
    ("options", "error"),
    [({"colour": 1}, KeyError), ({"shots": "many"}, TypeError), ({"shots": -1}, ValueError)],
)
def test_options_the_manager_refuses_fail_the_restore(options, error):
    with pytest.raises(error):
        restore(minimal(options=options))


def test_an_options_mapping_that_is_not_a_dict_is_accepted():
    class Options(Mapping):
        def __getitem__(self, key):
            return {"shots": 11}[key]

        def __iter__(self):
            return iter(["shots"])

        def __len__(self):
            return 1

    exp = restore(minimal(options=Options()))
    assert exp.options == {"shots": 11}


def test_a_given_group_is_assigned_through_the_setter(spy_registers, group):
    exp = restore(minimal(), group)
    assert exp.group is group
    assert exp.gate_compiler.group is group
    assert spy_registers.calls == [("get_gate_compiler", group), ("load_waveforms_for_group", group)]


def test_a_real_group_brings_a_gate_compiler():
    group = make_group()
    exp = restore(minimal(), group=group)
    assert exp.group is group and exp.gate_compiler is not None
    assert exp.gate_compiler.group is group


def test_a_false_group_is_still_assigned(spy_registers):
    class EmptyGroup:
        def __bool__(self):
            return False

    empty = EmptyGroup()
    exp = restore(minimal(), empty)
    assert exp.group is empty
    assert exp.gate_compiler is None
    assert spy_registers.calls == []


def test_no_group_means_no_group_and_no_compiler(spy_registers):
    exp = restore(minimal(), None)
    assert exp.group is None and exp.gate_compiler is None
    assert spy_registers.calls == []


# ---- deserialize: the method itself ----------------------------------------------------------


def test_deserialize_is_a_static_method():
    assert isinstance(inspect.getattr_static(Experiment, "deserialize"), staticmethod)


def test_deserialize_always_builds_an_experiment():
    class Special(Experiment):
        pass

    source = Special("t", "d")
    require_surviving_deserialize()
    through_class = Special.deserialize(minimal())
    through_instance = source.deserialize(minimal())
    assert type(through_class) is Experiment
    assert type(through_instance) is Experiment and through_instance is not source


def test_deserialize_takes_its_arguments_by_keyword():
    group = make_group()
    exp = restore(json_str=minimal(), group=group)
    assert exp.group is group


@pytest.mark.parametrize("json_str", ["{}", None, 5, [("title", "t")], b"title"])
def test_deserialize_of_something_other_than_a_mapping_raises_type_error(json_str):
    with pytest.raises(TypeError):
        restore(json_str)


def test_deserialize_does_not_change_its_input():
    data = build_normal().serialize()
    before = copy.deepcopy(data)
    restore(data)
    assert data == before


# ---- documentation -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("member", "doc"),
    [
        ("serialize", "Experiment.serialize(self) -> dict\n\nSerialize Experiment object.\nReturns:\n    dictionary"),
        (
            "deserialize",
            "Experiment.deserialize(json_str, group: Group = None) -> 'Experiment'\n\n"
            "Deserialize wave_circuit object.\nArgs:\n    json_str: json string\n"
            "    group: Group instance, default is None\nReturns:\n    Experiment object",
        ),
        ("clone", "Experiment.clone(self) -> 'Experiment'"),
        ("valid", "Experiment.valid(self)"),
    ],
)
def test_documentation_strings(member, doc):
    assert getattr(Experiment, member).__doc__ == doc
