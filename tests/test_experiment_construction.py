"""Construction, the class's shape as a plain class, and typed-argument checks."""

import copy
import pickle
import weakref

import pytest

from varnok_client.experiment.experiment import Experiment
from varnok_client.plugin.plugin_register import plugin_register
from varnok_client.utils.config_manager import ConfigManager
from varnok_client.utils.script_evaluator import ScriptEvaluator
from varnok_client.waveform import WaveCircuit

PRIVATE_DEFAULTS = {
    "_Experiment__group": None,
    "_Experiment__gate_compiler": None,
    "_Experiment__waveform_script": [],
    "_Experiment__space_parameter_script": {},
    "_Experiment__compiled": False,
    "_Experiment__compiled_sweep_dict": {0: [], 1: [], 2: []},
    "_Experiment__compiled_space_parameter_dict": {},
    "_Experiment__compiled_waveform_parameter_list": [],
    "_Experiment__compiled_sweep_len": [1, 1, 1],
    "_Experiment__total_sweep_steps": 1,
    "_Experiment__compile_space_timestamp": None,
    "_Experiment__batch_circuits": None,
    "_Experiment__options": {},
}


def test_is_a_plain_class():
    assert Experiment.__mro__ == (Experiment, object)
    assert type(Experiment) is type
    assert Experiment.__module__ == "varnok_client.experiment.experiment"
    assert Experiment.__qualname__ == "Experiment"
    assert Experiment.__doc__ == "\n    Experiment class\n    "


def test_new_experiment_state_lives_in_its_dict(exp):
    state = vars(exp)
    assert list(state)[:7] == ["title", "desc", "template", "template_data", "info", "attachment",
                               "_Experiment__group"]
    assert (exp.title, exp.desc, exp.template, exp.template_data) == ("title", "description", None, None)
    assert exp.info == {} and exp.attachment == {} and exp.space is None
    for name, value in PRIVATE_DEFAULTS.items():
        assert state[name] == value and type(state[name]) is type(value), name
    assert type(state["_Experiment__wave_circuit"]) is WaveCircuit
    assert type(state["_Experiment__script_evaluator"]) is ScriptEvaluator
    assert type(state["_Experiment__options_config_manager"]) is ConfigManager


def test_new_experiments_share_no_containers():
    first, second = Experiment("a", "b"), Experiment("a", "b")
    for name, value in vars(first).items():
        if isinstance(value, (list, dict)) or name.endswith(("circuit", "evaluator", "manager")):
            assert value is not vars(second)[name], name
    sweep_lists = list(first._Experiment__compiled_sweep_dict.values())
    assert len({id(entries) for entries in sweep_lists}) == 3


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((None, "d"), {}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
        (("t", None), {}, "Argument 'desc' has incorrect type (expected str, got NoneType)"),
        ((None, None), {}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
        ((1, "d"), {}, "Argument 'title' has incorrect type (expected str, got int)"),
        ((), {"title": "t", "desc": b"d"}, "Argument 'desc' has incorrect type (expected str, got bytes)"),
        (("t",), {}, "Experiment.__init__() missing 1 required positional argument: 'desc'"),
        ((), {}, "Experiment.__init__() missing 2 required positional arguments: 'title' and 'desc'"),
        (("t", "d", None, None), {}, "Experiment.__init__() takes from 3 to 4 positional arguments but 5 were given"),
        (("t", "d"), {"colour": 1}, "Experiment.__init__() got an unexpected keyword argument 'colour'"),
        (("t", "d"), {"title": "x"}, "Experiment.__init__() got multiple values for argument 'title'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Experiment(*args, **kwargs)
    assert str(info.value) == message


def test_string_subclass_is_refused_with_a_note():
    class Title(str):
        pass

    with pytest.raises(TypeError) as info:
        Experiment(Title("t"), "d")
    assert str(info.value) == "Argument 'title' has incorrect type (expected str, got Title)"
    assert any("subclasses of built-in types" in note for note in info.value.__notes__)


def test_failed_construction_calls_no_collaborator(spy_registers, group):
    with pytest.raises(TypeError):
        Experiment("t", None, group)
    assert spy_registers.calls == []


def test_group_brings_a_gate_compiler_but_loads_no_waveforms(spy_registers, group):
    exp = Experiment("t", "d", group)
    assert spy_registers.calls == [("get_gate_compiler", group)]
    assert exp.group is group and exp.gate_compiler.group is group


def test_false_group_gets_no_compiler(spy_registers):
    class Falsy:
        def __bool__(self):
            return False

    falsy = Falsy()
    exp = Experiment("t", "d", group=falsy)
    assert exp.group is falsy and exp.gate_compiler is None and spy_registers.calls == []


def test_reinitialising_resets_the_state(exp):
    exp.info["k"] = 1
    exp._Experiment__compiled = True
    Experiment.__init__(exp, "new", "d")
    assert exp.title == "new" and exp.info == {} and exp.is_compiled is False


def test_collaborator_failure_propagates(monkeypatch):
    def broken(hook):
        raise LookupError(hook)

    monkeypatch.setattr(plugin_register, "get_plugins_by_hook", broken)
    with pytest.raises(LookupError, match="experiment_options"):
        Experiment("t", "d")


def test_plugins_fill_the_new_manager_in_order(monkeypatch):
    seen = []

    class Plugin:
        def __init__(self, name):
            self.name = name

        def experiment_options(self, manager):
            seen.append((self.name, manager))
            return "ignored"

    monkeypatch.setattr(plugin_register, "get_plugins_by_hook",
                        lambda hook: (plugin for plugin in [Plugin("a"), Plugin("b")]))
    exp = Experiment("t", "d")
    assert [name for name, _ in seen] == ["a", "b"]
    assert all(manager is exp.options_config_manager for _, manager in seen)


def test_plugin_failure_stops_later_plugins(monkeypatch):
    seen = []

    class Bad:
        def experiment_options(self, manager):
            raise ValueError("bad plug-in")

    class Good:
        def experiment_options(self, manager):
            seen.append(manager)

    monkeypatch.setattr(plugin_register, "get_plugins_by_hook", lambda hook: [Bad(), Good()])
    with pytest.raises(ValueError, match="bad plug-in"):
        Experiment("t", "d")
    assert seen == []


def test_subclass_behaves_like_a_python_subclass():
    class Tagged(Experiment):
        def __init__(self, title, desc, tag):
            super().__init__(title, desc)
            self.tag = tag

        @property
        def batch_circuits(self):
            return ["overridden"]

    exp = Tagged("t", "d", tag=3)
    assert exp.tag == 3 and exp.title == "t"
    # The mode is derived through the (overridden) property, as in a class written in Python.
    assert exp.exp_mode == "batch_circuit"
    assert isinstance(exp, Experiment)


def test_weak_references():
    exp = Experiment("t", "d")
    ref = weakref.ref(exp)
    assert ref() is exp
    del exp  # no reference cycle: freed at once, without the cyclic collector
    assert ref() is None


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(exp, protocol):
    exp.info["note"] = [1, 2]
    restored = pickle.loads(pickle.dumps(exp, protocol))
    assert type(restored) is Experiment
    assert restored.info == {"note": [1, 2]} and restored.title == "title"
    assert restored._Experiment__compiled_sweep_dict == {0: [], 1: [], 2: []}
    assert restored.circuit is not exp.circuit


def test_deepcopy_shares_no_state(exp):
    exp.info["nested"] = {"a": [1]}
    clone = copy.deepcopy(exp)
    assert clone is not exp and clone.info == exp.info
    assert clone.info is not exp.info and clone.info["nested"] is not exp.info["nested"]
    assert clone.circuit is not exp.circuit


def test_replaced_private_state_is_read_at_each_use(exp):
    marker = object()
    exp._Experiment__wave_circuit = marker
    assert exp.circuit is marker
    vars(exp)["_Experiment__batch_circuits"] = []
    assert exp.exp_mode == "batch_circuit"
