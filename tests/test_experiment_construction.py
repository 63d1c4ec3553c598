"""Construction and initial state, the argument checks of every operation, the group, the option plug-ins and
plain-class behaviour."""

import copy
import pickle
import weakref
from types import SimpleNamespace

import pytest

from support_collaborators import raised
from support_compile import install
from support_editing import SpyCircuit, Text
from support_persistence import quiet as callback
from varnok_client.experiment.experiment import Experiment
from varnok_client.plugin.plugin_register import plugin_register
from varnok_client.utils.config_manager import ConfigManager
from varnok_client.utils.script_evaluator import ScriptEvaluator
from varnok_client.waveform import WaveCircuit

P = "_Experiment__"
TIMESTAMP_STR, TIMESTAMP_LIST = ("space_timestamp", "int", "str"), ("space_timestamp", "int", "list")
# Every attribute of a new experiment, in creation order; a class stands for "a new instance of it".
INITIAL = {
    "title": "title", "desc": "description", "template": None, "template_data": None, "info": {}, "attachment": {},
    P + "group": None, P + "gate_compiler": None, "space": None, P + "wave_circuit": WaveCircuit,
    P + "waveform_script": [], P + "space_parameter_script": {}, P + "script_evaluator": ScriptEvaluator,
    P + "compiled": False, P + "compiled_sweep_dict": {0: [], 1: [], 2: []}, P + "compiled_space_parameter_dict": {},
    P + "compiled_waveform_parameter_list": [], P + "compiled_sweep_len": [1, 1, 1], P + "total_sweep_steps": 1,
    P + "compile_space_timestamp": None, P + "batch_circuits": None, P + "options_config_manager": ConfigManager,
    P + "options": {},
}


def test_new_experiment_is_a_plain_object_owning_its_state(exp):
    assert Experiment.__mro__ == (Experiment, object) and Experiment.__module__ == "varnok_client.experiment.experiment"
    state, other = vars(exp), vars(Experiment("title", "description"))
    assert list(state) == list(INITIAL)
    for name, want in INITIAL.items():
        assert type(state[name]) is (want if isinstance(want, type) else type(want)), name
        assert isinstance(want, type) or state[name] == want, name
        assert not isinstance(want, (type, list, dict)) or state[name] is not other[name], name
    assert len({id(entries) for entries in state[P + "compiled_sweep_dict"].values()}) == 3
    assert exp.exp_mode == "normal" and exp.circuit is state[P + "wave_circuit"]  # the views read this state
    assert {"shots", "seed"} <= set(exp.options_setup), "the built-in plug-in defines its options"


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ((None, "d"), {}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
    (("t", None), {}, "Argument 'desc' has incorrect type (expected str, got NoneType)"),
    ((None, None), {}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
    ((Text("t"), "d"), {}, "Argument 'title' has incorrect type (expected str, got Text)"),
    ((), {}, "Experiment.__init__() missing 2 required positional arguments: 'title' and 'desc'"),
    (("t", "d"), {"colour": 1}, "Experiment.__init__() got an unexpected keyword argument 'colour'"),
    (("t", "d", None), {}, "Experiment.__init__() got multiple values for argument 'group'"),
    (("t", "d", "x", "y"), {}, "Experiment.__init__() takes from 3 to 4 positional arguments but 5 were given"),
])
def test_constructor_argument_errors_come_before_any_collaborator(spy_registers, group, args, kwargs, message):
    failure = raised(TypeError, Experiment, *args, group=group, **kwargs)
    assert str(failure) == message and spy_registers.calls == []
    assert ("Text" in message) == any("subclasses of built-in" in n for n in getattr(failure, "__notes__", []))


class OwnDict(dict):
    pass


def wave_args(**wrong):
    given = {"entity": "q01", "layer": 0, "selection": (1, 2), "parameter": "amp", "script": "x = 1", **wrong}
    return tuple(given.values())


ARGUMENT_ERRORS = [  # (method, arguments with "group" for a group, in batch mode, the argument named, expected, got)
    ("run_exp", (callback, [], "group"), False, "options", "dict", "list"),
    *[(loop, args, loop.endswith("circuit"), name, want, got)
      for loop in ("run_exp_normal", "run_exp_batch_circuit") for args, name, want, got in [
          ((callback, OwnDict()), "options", "dict", "OwnDict"), ((callback, None, "group", "5"), *TIMESTAMP_STR)]],
    ("compile_scripts", ("group", "12"), False, *TIMESTAMP_STR),
    ("fill_empty_wave_gates", ("group", [5]), False, *TIMESTAMP_LIST),
    *[(method, (object(), layer), True, "layer_in_circuit", "int", type(layer).__name__)  # before the batch refusal
      for method in ("add_wave_gate_obj", "add_wave_gate") for layer in (None, "2")],
    *[("set_space_parameter_script", args, False, name, "str", got) for args, name, got in [
        (("amp", 1), "script", "int"), ((None, None), "key", "NoneType"), ((Text("amp"), "x = 1"), "key", "Text")]],
    *[(method, wave_args(**wrong), False, name, want, got)  # in parameter order, before the selection is looked at
      for method in ("set_waveform_script_by_ids", "set_waveform_script_by_name", "set_waveform_script_by_channel")
      for wrong, name, want, got in [
          ({"parameter": b"amp", "script": None}, "parameter", "str", "bytes"),
          ({"layer": "0"}, "layer", "int", "str"), ({"entity": None, "layer": None}, "entity", "str", "NoneType")]],
]


@pytest.mark.parametrize(("method", "args", "batch", "name", "want", "got"), ARGUMENT_ERRORS)
def test_argument_types_are_checked_before_anything_changes(exp, spy_registers, group, method, args, batch, name,
                                                           want, got):
    if batch:
        exp.append_circuit(SpyCircuit())
    exp.set_space_parameter_script("kept", "x = 0")
    spy, evaluator = SpyCircuit(), install(exp)
    exp._Experiment__wave_circuit = spy
    before = {key: id(value) for key, value in vars(exp).items()}
    failure = raised(TypeError, getattr(exp, method), *[group if a == "group" else a for a in args])
    assert str(failure) == f"Argument '{name}' has incorrect type (expected {want}, got {got})"
    # no attribute is rebound (so the flag and the group stay) and no container changes
    assert {key: id(value) for key, value in vars(exp).items()} == before
    assert spy.calls == evaluator.calls == spy_registers.calls == vars(exp)[P + "waveform_script"] == []
    assert vars(exp)[P + "space_parameter_script"] == {"kept": "x = 0"}


def test_option_plugins_fill_the_new_manager_in_order_until_one_fails(monkeypatch):
    seen = []
    plugins = [SimpleNamespace(experiment_options=lambda manager, i=i: seen.append((i, manager))) for i in range(2)]
    hooks = {"experiment_options": plugins}  # any other hook asked for fails
    monkeypatch.setattr(plugin_register, "get_plugins_by_hook", lambda hook: iter(hooks[hook]))
    manager = Experiment("t", "d").options_config_manager
    assert seen == [(0, manager), (1, manager)]
    plugins[:] = [SimpleNamespace(experiment_options=lambda manager: {}["bad"]), plugins[0]]
    with pytest.raises(KeyError, match="bad"):
        Experiment("t", "d")
    assert len(seen) == 2


@pytest.mark.parametrize(
    "clone", [copy.deepcopy] + [lambda e, p=p: pickle.loads(pickle.dumps(e, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
)
def test_clones_share_no_state_and_weak_references_die_with_the_experiment(clone):
    exp = Experiment("t", "d")
    exp.info["nested"] = {"a": [1]}
    restored = clone(exp)
    assert type(restored) is Experiment and restored.title == "t" and restored.info == exp.info
    assert restored.info["nested"] is not exp.info["nested"] and restored.circuit is not exp.circuit
    ref = weakref.ref(restored)
    del restored  # no reference cycle: freed at once, without the cyclic collector
    assert ref() is None
