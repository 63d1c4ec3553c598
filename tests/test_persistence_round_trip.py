"""Round trips through the serialized form and JSON text, cloning, trial validation, and
deserializing hostile or oversized input without harm to the caller or the interpreter."""

import copy
import functools
import json
import subprocess
import sys
import textwrap
from collections.abc import Mapping

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.utils.script_evaluator import ScriptError
from varnok_client.waveform import WaveCircuit

CALIBRATION = {
    "q01.freq": 5e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 40.0,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 400.0,
    "q01.ro_freq": 6.5e9,
}

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


class SpyGroup(Group):
    """A real group that logs the calls a trial compilation makes on it and can be made to fail."""

    def __init__(self, fail_on_key=None, set_error=None, clear_error=None):
        super().__init__("spy", dict(CALIBRATION))
        self.log = []
        self.fail_on_key, self.set_error, self.clear_error = fail_on_key, set_error, clear_error

    def get_parameter(self, key, timestamp=None):
        self.log.append(("get", key))
        return super().get_parameter(key, timestamp)

    def set_temporary_parameter(self, key, value):
        self.log.append(("set", key, value))
        if key == self.fail_on_key:
            raise self.set_error
        super().set_temporary_parameter(key, value)

    def clear_temporary_parameters(self, *args, **kwargs):
        self.log.append(("clear", args, kwargs))
        if self.clear_error is not None:
            raise self.clear_error
        super().clear_temporary_parameters()

    def writes(self):
        return [entry for entry in self.log if entry[0] != "get"]


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
    exp.set_options(shots=100, seed=3)
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
    exp.set_waveform_script_by_name("q01", 0, ["drive"], "phase", "0.5")
    exp.set_space_parameter_script("fixed", "0.7")
    exp.append_circuit(WaveCircuit())
    second = WaveCircuit()
    second.add_gate(("M", "q01"), 0)
    exp.append_circuit(second)
    exp.fill_empty_wave_gates()
    exp.set_options(shots=8)
    exp.info = {"kind": "batch"}
    return exp


def json_round_trip(exp, group=None):
    text = json.dumps(exp.serialize(), allow_nan=False)
    return text, restore(json.loads(text), group)


def minimal(**extra):
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0)
    data = {
        "title": "t",
        "desc": "d",
        "wave_circuit": circuit.serialize(),
        "waveform_script": [],
        "space_parameter_script": {},
        "options": {},
    }
    data.update(extra)
    return data


def nested(depth, leaf=1, kind="list"):
    value = leaf
    for _ in range(depth):
        value = [value] if kind == "list" else {"k": value}
    return value


# ---- JSON round trips ----------------------------------------------------------------------


@pytest.mark.parametrize("builder", [build_normal, build_batch], ids=["normal", "batch"])
def test_json_round_trip_rebuilds_an_equal_experiment(builder):
    exp = builder()
    text, back = json_round_trip(exp)
    assert type(back) is Experiment and back is not exp
    assert back.serialize() == exp.serialize()
    assert json.dumps(back.serialize(), allow_nan=False) == text
    assert back.exp_mode == exp.exp_mode
    assert back.is_compiled is False and back.group is None and back.gate_compiler is None


def test_json_round_trip_of_a_batch_experiment_with_waveform_scripts():
    exp = build_batch()
    assert exp.serialize()["waveform_script"], "the batch experiment carries waveform scripts"
    _, back = json_round_trip(exp)
    assert back.exp_mode == "batch_circuit"
    assert len(back.batch_circuits) == 2
    assert all(a is not b for a, b in zip(back.batch_circuits, exp.batch_circuits))
    assert back.serialize()["waveform_script"] == exp.serialize()["waveform_script"]
    assert back.circuit.serialize() == exp.circuit.serialize()


def test_json_round_trip_with_a_group():
    group = make_group()
    _, back = json_round_trip(build_batch(), group)
    assert back.group is group and back.gate_compiler is not None


def test_round_trip_drops_compiled_state_space_and_group():
    group = make_group()
    exp = build_normal(group)
    exp.compile_scripts(group=group)
    exp.space = {"snapshot": "now"}
    exp.template = None
    assert exp.is_compiled
    back = restore(exp.serialize())
    assert back.is_compiled is False
    assert back.space is None and back.template == ""
    assert back.group is None and back.gate_compiler is None
    expected = exp.serialize()
    expected["space"] = None
    assert back.serialize() == expected


def test_round_trip_keeps_every_user_value():
    exp = build_normal()
    back = restore(exp.serialize())
    assert (back.title, back.desc, back.template) == (exp.title, exp.desc, exp.template)
    assert back.template_data == exp.template_data
    assert back.info == exp.info and back.attachment == exp.attachment
    assert back.options == {"shots": 100, "seed": 3}
    assert back.circuit.serialize() == exp.circuit.serialize()
    assert back.circuit is not exp.circuit


def test_options_are_restored_through_set_options():
    exp = build_normal()
    back = restore(exp.serialize())
    assert back.options is not exp.options
    assert back.options_config_manager is not exp.options_config_manager
    assert back.options_config_manager.user_input == {"shots": 100, "seed": 3}
    exp.options["shots"] = -5  # a value the option definitions refuse
    with pytest.raises(ValueError):
        restore(exp.serialize())


# ---- clone ---------------------------------------------------------------------------------


@pytest.mark.parametrize("builder", [build_normal, build_batch], ids=["normal", "batch"])
def test_clone_is_an_equal_independent_experiment(builder):
    exp = builder()
    before = copy.deepcopy(exp.serialize())
    require_surviving_deserialize()
    twin = exp.clone()
    assert type(twin) is Experiment and twin is not exp
    assert twin.serialize() == before
    assert exp.serialize() == before
    assert twin.circuit is not exp.circuit
    assert twin.group is None and twin.gate_compiler is None
    assert twin.is_compiled is False and twin.space is None


def test_clone_shares_the_pass_through_values():
    exp = build_normal()
    exp.template = ["shared"]
    require_surviving_deserialize()
    twin = exp.clone()
    for name in ("template", "template_data", "info", "attachment"):
        assert getattr(twin, name) is getattr(exp, name), name
    twin.info["added"] = 1
    assert exp.info["added"] == 1


def test_clone_turns_a_none_template_into_an_empty_string():
    exp = Experiment("t", "d")
    require_surviving_deserialize()
    assert exp.clone().template == ""
    assert exp.template is None


def test_editing_the_clone_leaves_the_source_alone():
    exp = build_normal()
    before = copy.deepcopy(exp.serialize())
    require_surviving_deserialize()
    twin = exp.clone()
    twin.add_wave_gate(("Y", "q01"), 2)
    twin.circuit.gates[0].waves[0].t0 = 99.0
    twin.set_space_parameter_script("fixed", "0.1")
    twin.set_waveform_script_by_ids("q01", 0, 0, "width", "10")
    twin.set_options(shots=1)
    assert exp.serialize() == before
    assert exp.options == {"shots": 100, "seed": 3}


def test_editing_the_source_leaves_the_clone_alone():
    exp = build_batch()
    require_surviving_deserialize()
    twin = exp.clone()
    before = copy.deepcopy(twin.serialize())
    exp.batch_circuits[1].add_gate(("Y", "q01"), 4)
    exp.append_circuit(WaveCircuit())
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "0.9")
    assert twin.serialize() == before
    assert len(twin.batch_circuits) == 2


def test_clone_of_an_emptied_batch_is_a_normal_experiment():
    exp = build_normal()
    exp.clear_batch_circuits()
    require_surviving_deserialize()
    twin = exp.clone()
    assert exp.exp_mode == "batch_circuit"
    assert twin.exp_mode == "normal" and twin.batch_circuits is None
    assert twin.circuit.serialize() == exp.circuit.serialize()


def test_clone_goes_through_the_experiments_own_serialize_and_deserialize():
    seen = []

    class Traced(Experiment):
        def serialize(self):
            data = super().serialize()
            data["title"] = "traced"
            return data

        @staticmethod
        def deserialize(json_str, group=None):
            seen.append((json_str["title"], group))
            return Experiment.deserialize(json_str, group)

    require_surviving_deserialize()
    twin = Traced("t", "d", make_group()).clone()
    assert seen == [("traced", None)]
    assert type(twin) is Experiment and twin.title == "traced"


def test_clone_through_a_subclass_builds_an_experiment():
    class Special(Experiment):
        pass

    require_surviving_deserialize()
    assert type(Special("t", "d").clone()) is Experiment


# ---- valid ---------------------------------------------------------------------------------


def test_valid_without_a_group_refuses_before_doing_anything():
    calls = []

    class Traced(Experiment):
        def serialize(self):
            calls.append("serialize")
            return super().serialize()

        def clone(self):
            calls.append("clone")
            return super().clone()

        def compile_scripts(self, *args, **kwargs):
            calls.append("compile_scripts")

    exp = Traced("t", "d")
    with pytest.raises(RuntimeError) as info:
        exp.valid()
    assert str(info.value) == "Group is not set."
    assert type(info.value) is RuntimeError
    assert calls == []


@pytest.mark.parametrize("builder", [build_normal, build_batch], ids=["normal", "batch"])
def test_valid_compiles_a_trial_copy_and_clears_the_group(builder):
    group = SpyGroup()
    exp = builder(group)
    group.set_temporary_parameter("manual", 1.0)
    group.log.clear()
    before = copy.deepcopy(exp.serialize())
    require_surviving_deserialize()
    assert exp.valid() is None
    writes = group.writes()
    assert ("set", "fixed", 0.7) in writes
    assert writes[-1] == ("clear", (), {})
    assert [entry[0] for entry in writes].count("clear") == 1
    assert dict(group.temporary_parameters) == {}
    assert exp.is_compiled is False
    assert exp.serialize() == before
    assert exp.group is group


def test_valid_leaves_a_compiled_experiment_as_it_was():
    group = make_group()
    exp = build_normal(group)
    exp.compile_scripts(group=group)
    sweep_len = list(exp.compiled_sweep_len)
    fixed = copy.deepcopy(exp.compiled_waveform_parameter_list)
    require_surviving_deserialize()
    exp.valid()
    assert exp.is_compiled is True
    assert exp.compiled_sweep_len == sweep_len
    assert exp.compiled_waveform_parameter_list == fixed


def test_valid_reads_the_group_anew_for_each_step():
    first, second, third = SpyGroup(), SpyGroup(), SpyGroup()
    reads = iter([first, second, third])

    class Rotating(Experiment):
        @property
        def group(self):
            return next(reads)

    exp = Rotating("t", "d")
    exp.set_space_parameter_script("fixed", "0.7")
    require_surviving_deserialize()
    exp.valid()
    assert first.writes() == []
    assert second.writes() == [("set", "fixed", 0.7)]
    assert third.writes() == [("clear", (), {})]


class Boom(Exception):
    pass


def _fail_in_space_parameters():
    group = SpyGroup(fail_on_key="second", set_error=Boom("no second"))
    exp = Experiment("t", "d", group)
    exp.set_space_parameter_script("first", "0.1")
    exp.set_space_parameter_script("second", "0.2")
    return exp, group, group.set_error


def _fail_in_waveform_scripts():
    group = SpyGroup()
    exp = build_normal(group)
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "no_such_name")
    return exp, group, ScriptError


@pytest.mark.parametrize("scenario", [_fail_in_space_parameters, _fail_in_waveform_scripts])
def test_failed_trial_clears_the_group_and_raises_the_compilation_error(scenario):
    exp, group, expected = scenario()
    before = copy.deepcopy(exp.serialize())
    require_surviving_deserialize()
    with pytest.raises(Exception) as info:
        exp.valid()
    if isinstance(expected, BaseException):
        assert info.value is expected
    else:
        assert type(info.value) is expected
    assert not getattr(info.value, "__notes__", None)
    writes = group.writes()
    assert any(entry[0] == "set" for entry in writes), "the trial set temporary parameters"
    assert writes[-1] == ("clear", (), {})
    assert dict(group.temporary_parameters) == {}
    assert exp.is_compiled is False and exp.serialize() == before


def test_failed_trial_whose_clearing_fails_still_raises_the_compilation_error():
    exp, group, boom = _fail_in_space_parameters()
    group.clear_error = KeyError("clearing broke")
    require_surviving_deserialize()
    with pytest.raises(Boom) as info:
        exp.valid()
    assert info.value is boom
    notes = getattr(boom, "__notes__", [])
    assert len(notes) == 1 and isinstance(notes[0], str) and notes[0]
    assert group.writes()[-1] == ("clear", (), {})


def test_successful_trial_whose_clearing_fails_raises_the_clearing_error():
    group = SpyGroup(clear_error=LookupError("clearing broke"))
    exp = build_normal(group)
    require_surviving_deserialize()
    with pytest.raises(LookupError) as info:
        exp.valid()
    assert info.value is group.clear_error


def test_valid_of_an_experiment_whose_scripts_refer_to_missing_gates_fails():
    group = make_group()
    exp = build_normal(group)
    exp.set_circuit(WaveCircuit())  # the scripts stay attached, their gates are gone
    require_surviving_deserialize()
    with pytest.raises(RuntimeError):
        exp.valid()


# ---- hostile input -------------------------------------------------------------------------


class Hostile(Mapping):
    """A mapping over `data` whose hooks can lie or raise."""

    def __init__(self, data, contains=None, getitem=None):
        self._data, self._contains, self._getitem = data, contains, getitem

    def __getitem__(self, key):
        if self._getitem is not None:
            return self._getitem(self._data, key)
        return self._data[key]

    def __contains__(self, key):
        if self._contains is not None:
            return self._contains(self._data, key)
        return key in self._data

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class Trouble(Exception):
    pass


TROUBLE = Trouble("hostile")


def _raise(*_):
    raise TROUBLE


class BadBool:
    def __bool__(self):
        raise TROUBLE


class BadEq:
    def __eq__(self, other):
        raise TROUBLE

    __hash__ = object.__hash__


class BadKeys(Hostile):
    def keys(self):
        raise TROUBLE


class BadItems(dict):
    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items() if callable(self._items) else self._items


def _failing_iterator():
    yield {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": "amp", "script": "1", "wave_ids": 0}
    raise TROUBLE


HOSTILE_CASES = {
    "contains-raises": (lambda d: Hostile(d, contains=_raise), Trouble),
    "contains-lies-present": (lambda d: Hostile(d, contains=lambda data, key: True), KeyError),
    "contains-answers-bad-bool": (lambda d: Hostile(d, contains=lambda data, key: BadBool()), Trouble),
    "getitem-raises": (lambda d: Hostile(d, getitem=_raise), Trouble),
    "getitem-raises-for-desc": (
        lambda d: Hostile(d, getitem=lambda data, key: _raise() if key == "desc" else data[key]),
        Trouble,
    ),
    "options-keys-raise": (lambda d: {**d, "options": BadKeys({"shots": 1})}, Trouble),
    "options-getitem-raises": (lambda d: {**d, "options": Hostile({"shots": 1}, getitem=_raise)}, Trouble),
    "space-items-raise": (lambda d: {**d, "space_parameter_script": BadItems(_raise)}, Trouble),
    "space-items-not-iterable": (lambda d: {**d, "space_parameter_script": BadItems(5)}, TypeError),
    "space-items-triples": (lambda d: {**d, "space_parameter_script": BadItems([("a", "1", "x")])}, ValueError),
    "space-items-not-pairs": (lambda d: {**d, "space_parameter_script": BadItems([7])}, TypeError),
    "scripts-iterator-raises": (lambda d: {**d, "waveform_script": _failing_iterator()}, Trouble),
    "record-not-a-mapping": (lambda d: {**d, "waveform_script": [["entity", "q01"]]}, TypeError),
    "record-search-type-eq-raises": (
        lambda d: {
            **d,
            "waveform_script": [
                {"search_type": BadEq(), "entity": "q01", "layer": 0, "parameter": "a", "script": "1", "channels": []}
            ],
        },
        Trouble,
    ),
    "exp-mode-eq-raises": (lambda d: {**d, "exp_mode": BadEq()}, Trouble),
    "record-contains-raises": (
        lambda d: {
            **d,
            "waveform_script": [
                Hostile(
                    {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": "a", "script": "1", "wave_ids": 0},
                    contains=_raise,
                )
            ],
        },
        Trouble,
    ),
}


@pytest.mark.parametrize("case", HOSTILE_CASES)
def test_hostile_input_raises_and_is_left_unchanged(case):
    make, error = HOSTILE_CASES[case]
    plain = minimal()
    snapshot = copy.deepcopy(plain)
    with pytest.raises(error) as info:
        restore(make(plain))
    if error is Trouble:
        assert info.value is TROUBLE
    assert plain == snapshot


def test_a_mapping_denying_its_optional_keys_gets_the_defaults():
    data = minimal(template="x", info={"a": 1}, attachment={"b": 2}, template_data=3, exp_mode="batch_circuit")
    snapshot = copy.deepcopy(data)
    exp = restore(Hostile(data, contains=lambda d, key: False))
    assert (exp.template, exp.template_data, exp.info, exp.attachment) == ("", None, {}, {})
    assert exp.exp_mode == "normal"
    assert data == snapshot


def test_a_script_list_emptied_during_the_replay():
    scripts = []

    class Emptying(dict):
        def __getitem__(self, key):
            scripts.clear()
            return super().__getitem__(key)

    base = {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": "amp", "script": "1", "wave_ids": [0]}
    scripts.extend([Emptying(base), dict(base), dict(base)])
    exp = restore(minimal(waveform_script=scripts))
    assert len(exp.serialize()["waveform_script"]) == 1


def test_a_wave_id_list_that_shrinks_while_converted():
    ids = []

    class Shrinking(int):
        def __index__(self):
            ids.clear()
            return int(self)

        def __int__(self):
            ids.clear()
            return int.__int__(self)

    ids.extend([Shrinking(1), 2, 3])
    data = minimal(
        waveform_script=[
            {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": "a", "script": "1", "wave_ids": ids}
        ]
    )
    exp = restore(data)
    (stored,) = exp.serialize()["waveform_script"]
    assert stored["wave_ids"][0] == 1 and all(type(i) is int for i in stored["wave_ids"])


@pytest.mark.parametrize("key", ["info", "template_data", "attachment", "template"])
def test_deeply_nested_pass_through_values_are_kept_as_they_are(key):
    value = nested(10_000, kind="dict")
    exp = restore(minimal(**{key: value}))
    assert getattr(exp, key) is value
    assert exp.serialize()[key] is value


def test_large_inputs_are_restored_completely():
    scripts = {f"p{i}": str(i) for i in range(20_000)}
    records = [
        {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": f"p{i}", "script": "1", "wave_ids": [i]}
        for i in range(2_000)
    ]
    title = "t" * 5_000_000
    data = minimal(title=title, space_parameter_script=scripts, waveform_script=records)
    snapshot = copy.deepcopy(data)
    exp = restore(data)
    out = exp.serialize()
    assert out["title"] is title
    assert out["space_parameter_script"] == scripts
    assert [r["wave_ids"] for r in out["waveform_script"]] == [[i] for i in range(2_000)]
    assert data == snapshot


# The riskiest inputs run in a child interpreter, so that a crash is seen as a crash.
_CHILD = textwrap.dedent(
    """
    import copy, sys
    from varnok_client.experiment.experiment import Experiment
    from varnok_client.waveform import WaveCircuit

    def nested(depth, leaf, kind):
        value = leaf
        for _ in range(depth):
            value = [value] if kind == "list" else {"k": value}
        return value

    def base(**extra):
        circuit = WaveCircuit()
        circuit.add_gate(("X", "q01"), 0)
        data = {"title": "t", "desc": "d", "wave_circuit": circuit.serialize(), "waveform_script": [],
                "space_parameter_script": {}, "options": {}}
        data.update(extra)
        return data

    def record(**fields):
        out = {"search_type": "ids", "entity": "q01", "layer": 0, "parameter": "a", "script": "1"}
        out.update(fields)
        return out

    def wave(**config):
        return {"shape": "square", "channel": "q01.xy", "name": "w", "t0": 0.0, "ratio": 1.0,
                "wave_parameters": {"amp": 0.1, "width": 10.0, "freq": 1.0, "phase": 0.0},
                "waveform_compiler_config": config}

    DEPTH = 200_000
    case = sys.argv[1]
    if case == "circuit-nested-format":
        data = base(wave_circuit={"format": nested(DEPTH, 1, "dict"), "version": 1, "gates": []})
    elif case == "circuit-nested-mapping":
        data = base(wave_circuit=nested(DEPTH, None, "dict"))
    elif case == "circuit-nested-gates":
        data = base(wave_circuit={"format": "varnok.wave_circuit", "version": 1, "gates": nested(DEPTH, 1, "list")})
    elif case == "circuit-nested-wave-config":
        circuit = base()["wave_circuit"]
        circuit["gates"][0]["waves"] = [wave(deep=nested(DEPTH, 1, "list"))]
        data = base(wave_circuit=circuit)
    elif case == "circuit-moderately-nested-wave-config":
        circuit = base()["wave_circuit"]
        circuit["gates"][0]["waves"] = [wave(deep=nested(sys.getrecursionlimit() - 100, 1, "list"))]
        data = base(wave_circuit=circuit)
    elif case == "batch-nested":
        data = base(exp_mode="batch_circuit", batch_circuit=[nested(DEPTH, None, "dict")])
    elif case == "entity-nested-with-bad-ids":
        data = base(waveform_script=[record(entity=nested(DEPTH, "q", "list"), wave_ids=(1,))])
    elif case == "entity-nested-unmatched":
        data = base(waveform_script=[record(search_type="none", entity=nested(DEPTH, "q", "dict"))])
    elif case == "options-nested-value":
        data = base(options={"shots": nested(DEPTH, 1, "list")})
    elif case == "whole-input-nested":
        data = nested(DEPTH, 1, "list")
    elif case == "wave-ids-nested":
        data = base(waveform_script=[record(wave_ids=nested(DEPTH, 1, "list"))])
    elif case == "layer-nested":
        data = base(waveform_script=[record(layer=nested(DEPTH, 1, "list"), wave_ids=[0])])
    else:
        raise SystemExit("unknown case " + case)
    top = {key: id(value) for key, value in data.items()} if isinstance(data, dict) else None
    try:
        Experiment.deserialize(data)
    except Exception as exc:
        print("raised", type(exc).__name__)
    else:
        print("restored")
    if top is not None and top != {key: id(value) for key, value in data.items()}:
        print("input changed")
    """
)

# case -> the outcome required of the child ("raised"), or None when restoring is acceptable too.
CHILD_CASES = {
    "circuit-nested-format": "raised",
    "circuit-nested-mapping": "raised",
    "circuit-nested-gates": "raised",
    "circuit-nested-wave-config": "raised",
    "circuit-moderately-nested-wave-config": None,
    "batch-nested": "raised",
    "entity-nested-with-bad-ids": "raised",
    "entity-nested-unmatched": "raised",
    "options-nested-value": "raised",
    "whole-input-nested": "raised",
    "wave-ids-nested": "raised",
    "layer-nested": "raised",
}


@pytest.mark.parametrize("case", CHILD_CASES)
def test_deeply_nested_input_ends_in_an_exception_not_a_crash(case):
    proc = subprocess.run(
        [sys.executable, "-c", _CHILD, case], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode >= 0, f"the interpreter died with signal {-proc.returncode}: {proc.stderr[-2000:]}"
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.split()
    assert lines and lines[0] in ("raised", "restored"), proc.stdout
    if CHILD_CASES[case] is not None:
        assert lines[0] == CHILD_CASES[case], proc.stdout
    assert "changed" not in lines
