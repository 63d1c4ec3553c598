"""The serialized form of an experiment: what `serialize` writes and how `deserialize` reads it."""

from types import MappingProxyType

import pytest
from support_collaborators import raised
from support_persistence import Logged, build_normal, minimal, one_gate_circuit, record

from varnok_client.experiment.experiment import Experiment
from varnok_client.languages import lang
from varnok_client.waveform import WaveCircuit

KEYS = ["title", "desc", "exp_mode", "template", "template_data", "space", "wave_circuit", "batch_circuit",
        "waveform_script", "space_parameter_script", "options", "info", "attachment"]
NO_SELECTION = "Waveform script of {} on layer {} does not indicate wave_names, channels or wave_ids."
UNKNOWN_IDS = "Unknown type for wave_ids of script on layer {}, {}."


def without(data, key):
    return {k: v for k, v in data.items() if k != key}


# ---- serialize -----------------------------------------------------------------------------


def test_serialize_of_a_normal_experiment_hands_out_the_experiments_own_objects():
    exp = build_normal()
    exp.space = {"snapshot": 1}
    data = exp.serialize()
    assert type(data) is dict and list(data) == KEYS and (data["exp_mode"], data["batch_circuit"]) == ("normal", None)
    # (that the pass-through values are handed out as they are: the clone test, which shares them)
    assert data["wave_circuit"] == exp.circuit.serialize() and data["space"] is exp.space
    for key in ("waveform_script", "space_parameter_script", "options"):
        assert data[key] is getattr(exp, "_Experiment__" + key), key
    data["options"]["shots"] = 5
    assert exp.options == {"shots": 5, "seed": 3}


# ---- deserialize: optional keys, reading order, modes ------------------------------------------


def test_optional_values_are_found_by_membership_test_and_stored_as_given_or_take_fresh_defaults():
    log, hidden = [], ("template", "template_data", "info", "attachment", "exp_mode")
    data = minimal(template="t", template_data=1, info={"x": 1}, attachment={"y": 2}, exp_mode="batch_circuit")
    first = Experiment.deserialize(Logged(data, lambda *entry: log.append(entry), hide=hidden))
    second = type("Special", (Experiment,), {})("t", "d").deserialize(minimal())  # an instance of a subclass
    assert (first.template, first.template_data, first.info, first.attachment) == ("", None, {}, {})
    assert first.exp_mode == "normal"
    assert all(("has", key) in log and ("get", key) not in log for key in hidden)
    assert first.info is not first.attachment and first.info is not second.info
    assert type(second) is Experiment and (second.is_compiled, second.group) == (False, None)
    assert second.circuit.serialize() == one_gate_circuit()
    given = {"template": None, "template_data": [1, 2], "info": {"a": 1}, "attachment": {"b": []}}
    exp = Experiment.deserialize(minimal(space=7, **given))
    assert [getattr(exp, key) is value for key, value in given.items()] == [True] * 4 and exp.space is None


def emptied_batch():
    exp = build_normal()
    exp.clear_batch_circuits()
    data = exp.serialize()
    assert (data["exp_mode"], data["batch_circuit"]) == ("batch_circuit", [])  # an emptied batch is saved as one
    return data


M = WaveCircuit()
M.add_gate(("M", "q01"), 2)
BATCH = dict(exp_mode="batch_circuit", batch_circuit=[M.serialize(), WaveCircuit().serialize()])


@pytest.mark.parametrize(("make", "batch", "own"), [
    # anything but "batch_circuit" (or an empty batch) restores normal mode; the batch circuits are not read then
    *[(lambda mode=mode: minimal(exp_mode=mode, batch_circuit="not read"), None, one_gate_circuit())
      for mode in ["normal", "Batch_circuit", "batch_circuit ", None, 1, ["batch_circuit"]]],
    (emptied_batch, None, "as saved"),
    (lambda: minimal(**BATCH, waveform_script=[record(wave_ids=[0])]), BATCH["batch_circuit"], one_gate_circuit()),
    # without an own circuit the empty one stays
    (lambda: without(minimal(**BATCH), "wave_circuit"), BATCH["batch_circuit"], WaveCircuit().serialize()),
    (lambda: minimal(**BATCH, wave_circuit=None), BATCH["batch_circuit"], WaveCircuit().serialize()),
])
def test_the_mode_the_own_circuit_and_each_batch_circuit_are_restored(make, batch, own):
    data = make()
    exp = Experiment.deserialize(data)
    assert exp.exp_mode == ("normal" if batch is None else "batch_circuit")
    assert exp.circuit.serialize() == (data["wave_circuit"] if own == "as saved" else own)
    assert batch is None and exp.batch_circuits is None or [c.serialize() for c in exp.batch_circuits] == batch
    assert [r["gate_name"] for r in exp.serialize()["waveform_script"]] == [
        r.get("gate_name", "X") for r in data["waveform_script"]]


# ---- deserialize: failures ---------------------------------------------------------------------


def bad_record(**fields):
    return minimal(waveform_script=[record(**fields)])


FAILURES = [
    *[(without(minimal(), key), KeyError, repr(key))
      for key in ("title", "desc", "options", "space_parameter_script", "waveform_script", "wave_circuit")],
    (minimal(exp_mode="batch_circuit"), KeyError, "'batch_circuit'"),
    *[(minimal(waveform_script=[without(record(wave_ids=[0]), key)]), KeyError, repr(key))
      for key in ("entity", "layer", "parameter", "script", "search_type")],
    (minimal(desc=None), TypeError, "Argument 'desc' has incorrect type (expected str, got NoneType)"),
    (minimal(options=None), TypeError, "argument after ** must be a mapping, not NoneType"),
    (minimal(space_parameter_script=None), AttributeError, "'NoneType' object has no attribute 'items'"),
    (minimal(space_parameter_script={1: "2"}), TypeError, "Argument 'key' has incorrect type (expected str, got int)"),
    (bad_record(entity="q09", layer=4, wave_ids=[0]), RuntimeError, lang.msg("exp_gate_not_found").format("q09", 4)),
    (bad_record(wave_ids={5}, entity=" q01 ", layer="3"), RuntimeError, UNKNOWN_IDS.format(3, " q01 ")),
    *[(bad_record(search_type=kind, **{"channels": ["q01.xy"], "wave_names": ["drive"], "wave_ids": [0], key: None}),
       RuntimeError, NO_SELECTION.format("q01", 0))
      for kind, key in [("channel", "channels"), ("name", "wave_names"), ("ids", "wave_ids"), (None, "-")]],
    (bad_record(search_type="x", entity=" q01 ", layer=0.5), RuntimeError, NO_SELECTION.format(" q01 ", 0)),
    *[(bad_record(wave_ids=ids, layer=layer), error, None) for ids, layer, error in [
        (["x"], 0, ValueError), ([[1]], 0, TypeError), ([0], None, TypeError), ([0], float("inf"), OverflowError)]],
    ("{}", TypeError, None),
]


@pytest.mark.parametrize(("data", "error", "message"), FAILURES)
def test_deserialize_refuses_bad_input_with_the_documented_error(data, error, message):
    failure = raised(error, Experiment.deserialize, data)
    assert message is None or str(failure) == message


# ---- deserialize: replaying scripts, options and the group -------------------------------------


def test_records_are_replayed_through_the_setters_in_order():
    exp = Experiment.deserialize(minimal(waveform_script=[
        record("channel", entity=" q01 ", layer="0", channels="q01.xy", gate_name="BOGUS", script="\n  0.2 \n"),
        record("name", layer=0.9, wave_names=["drive", "other"], parameter=" amp ", extra="ignored"),
        record("ids", wave_ids=0, channels=["unused"])]))
    direct = Experiment.deserialize(minimal())
    direct.set_waveform_script_by_channel(" q01 ", 0, "q01.xy", "amp", "\n  0.2 \n")
    direct.set_waveform_script_by_name("q01", 0, ["drive", "other"], " amp ", "0.1")
    direct.set_waveform_script_by_ids("q01", 0, [0], "amp", "0.1")
    # the gate name comes from the circuit, as the setters find it
    assert exp.serialize()["waveform_script"] == direct.serialize()["waveform_script"]


@pytest.mark.parametrize("make", [dict, MappingProxyType], ids=["dict", "other-mapping"])
def test_space_parameter_scripts_and_options_are_replayed_in_order_through_the_setters(make):
    scripts, options = {" b ": "\n  1\n", "a": "2"}, make({"shots": 7, "seed": None})
    exp = Experiment.deserialize(minimal(space_parameter_script=scripts, options=options))
    stored = exp.serialize()["space_parameter_script"]
    assert list(stored.items()) == [("b", "  1"), ("a", "2")] and stored is not scripts
    assert exp.options == {"shots": 7, "seed": None} and exp.options is not options
    assert exp.options_config_manager.user_input == {"shots": 7, "seed": None}  # the configuration manager's
