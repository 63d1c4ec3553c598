"""Hostile callers: state tampered with through the instance dictionary, collaborators that fail
or fight back, and callbacks that tear the experiment down while it runs.

Whatever happens, the engine must end every operation with a Python exception or a normal return.
Each case runs in an interpreter of its own, so a crash fails only that case and names it: the
child prints "start <operation>" before and "outcome <operation> ..." after every attempt.
"""

import subprocess
import sys

import pytest

CHILD = r'''
import copy
import gc
import sys

from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.plugin.plugin_register import plugin_register
from varnok_client.utils.config_manager import ConfigManager
from varnok_client.utils.script_evaluator import ScriptEvaluator
from varnok_client.waveform import WaveCircuit, WaveGate
from varnok_client.waveform.waveform_register import waveform_register

CALIBRATION = {"q01.freq": 5e9, "q01.x_amp": 0.5, "q01.x_width": 40.0, "q01.ro_amp": 0.2,
               "q01.ro_width": 400.0, "q01.ro_freq": 6.5e9}
GROUP = Group("g", dict(CALIBRATION))
CURRENT = []  # the experiment under attack, for the saboteurs


class Boom(Exception):
    pass


def build(batch=False, compiled=True):
    exp = Experiment("t", "d", GROUP)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates()
    exp.set_space_parameter_script("fixed", "0.7")
    if batch:
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "0.3")
        exp.append_circuit(copy.deepcopy(exp.circuit))
        exp.append_circuit(copy.deepcopy(exp.circuit))
    else:
        exp.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 3), dim=0)")
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('q01.x_amp') * 0.5")
        exp.set_waveform_script_by_name("q01", 1, "readout", "amp", "0.3")
        exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "0.1")
    exp.set_options(shots=10)
    if compiled:
        exp.compile_scripts()
    return exp


TEMPLATES = {}


def fresh(batch=False):
    """A copy of a built and compiled experiment, much cheaper than building one."""
    if batch not in TEMPLATES:
        TEMPLATES[batch] = build(batch)
    template = TEMPLATES[batch]
    memo = {id(GROUP): GROUP, id(template.gate_compiler): template.gate_compiler}
    exp = Experiment.__new__(Experiment)
    exp.__dict__.update(copy.deepcopy(template.__dict__, memo))
    return exp


def quiet(**kwargs):
    return None


def attempt(label, action):
    print("start", label, flush=True)
    try:
        value = action()
    except BaseException as exc:
        print("outcome", label, "raised", type(exc).__name__, flush=True)
    else:
        print("outcome", label, "returned", type(value).__name__, flush=True)


def set_group(exp, value):
    exp.group = value


OPERATIONS = {
    **{name: (lambda name: lambda e: getattr(e, name))(name) for name in (
        "exp_mode", "group", "batch_circuits", "circuit", "gate_compiler", "is_compiled",
        "compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict",
        "compiled_sweep_len", "total_sweep_steps", "options", "options_config_manager", "options_setup")},
    "group=group": lambda e: set_group(e, GROUP),
    "group=None": lambda e: set_group(e, None),
    "set_options": lambda e: e.set_options(shots=3),
    "clear_batch_circuits": lambda e: e.clear_batch_circuits(),
    "reset_compiled_data": lambda e: e.reset_compiled_data(),
    "set_circuit": lambda e: e.set_circuit(WaveCircuit()),
    "append_circuit": lambda e: e.append_circuit(WaveCircuit()),
    "add_wave_gate_obj": lambda e: e.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 2),
    "add_wave_gate": lambda e: e.add_wave_gate(("Y", "q01"), 2),
    "set_space_parameter_script": lambda e: e.set_space_parameter_script("k", "1"),
    "set_waveform_script_by_ids": lambda e: e.set_waveform_script_by_ids("q01", 0, [0], "amp", "0.2"),
    "set_waveform_script_by_name": lambda e: e.set_waveform_script_by_name("q01", 0, "drive", "amp", "0.2"),
    "set_waveform_script_by_channel": lambda e: e.set_waveform_script_by_channel("q01", 0, "q01.xy", "amp", "0.2"),
    "fill_empty_wave_gates": lambda e: e.fill_empty_wave_gates(),
    "compile_scripts": lambda e: e.compile_scripts(),
    "compile_scripts(group)": lambda e: e.compile_scripts(group=GROUP, space_timestamp=1),
    "run_exp": lambda e: e.run_exp(quiet),
    "run_exp_normal": lambda e: e.run_exp_normal(quiet, group=GROUP),
    "run_exp_batch_circuit": lambda e: e.run_exp_batch_circuit(quiet),
    "valid": lambda e: e.valid(),
    "clone": lambda e: e.clone(),
    "serialize": lambda e: e.serialize(),
    "deserialize(serialize)": lambda e: Experiment.deserialize(e.serialize()),
    "init again": lambda e: e.__init__("t", "d"),
    "repr": lambda e: repr(e),
}

PRIVATE = [
    "group", "gate_compiler", "wave_circuit", "waveform_script", "space_parameter_script",
    "script_evaluator", "compiled", "compiled_sweep_dict", "compiled_space_parameter_dict",
    "compiled_waveform_parameter_list", "compiled_sweep_len", "total_sweep_steps",
    "compile_space_timestamp", "batch_circuits", "options_config_manager", "options",
]


def wipe():
    """Tears down the experiment under attack: every attribute it has goes."""
    for exp in CURRENT:
        exp.__dict__.clear()


class Trap:
    """Raises from every protocol the engine might use on it."""

    def _raise(self, *args, **kwargs):
        raise Boom("trap")

    __eq__ = __ne__ = __lt__ = __gt__ = __hash__ = __bool__ = __index__ = __int__ = __float__ = _raise
    __len__ = __iter__ = __getitem__ = __setitem__ = __contains__ = __call__ = __deepcopy__ = _raise
    __str__ = __repr__ = __format__ = _raise

    def __getattr__(self, name):
        raise Boom(name)


class Saboteur:
    """Answers every protocol plausibly, but tears the experiment down first."""

    def __eq__(self, other):
        wipe()
        return False

    def __hash__(self):
        wipe()
        return 0

    def __bool__(self):
        wipe()
        return True

    def __index__(self):
        wipe()
        return 1

    __int__ = __index__

    def __float__(self):
        wipe()
        return 1.0

    def __len__(self):
        wipe()
        return 3

    def __iter__(self):
        wipe()
        return iter([0, 1])

    def __getitem__(self, key):
        wipe()
        return 1

    def __contains__(self, key):
        wipe()
        return True

    def __call__(self, *args, **kwargs):
        wipe()
        return self

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        wipe()
        return self


class HostileDict(dict):
    def _raise(self, *args, **kwargs):
        raise Boom("dict")

    __getitem__ = __iter__ = __len__ = __contains__ = keys = items = values = get = _raise
    __setitem__ = __eq__ = __bool__ = __deepcopy__ = _raise


class HostileList(list):
    def _raise(self, *args, **kwargs):
        raise Boom("list")

    __getitem__ = __iter__ = __len__ = __contains__ = __setitem__ = append = __eq__ = _raise
    __bool__ = __deepcopy__ = index = _raise


class SabotageDict(dict):
    def __getitem__(self, key):
        wipe()
        return super().__getitem__(key)

    def __iter__(self):
        wipe()
        return super().__iter__()

    def __len__(self):
        wipe()
        return super().__len__()

    def items(self):
        wipe()
        return list(super().items())

    def __contains__(self, key):
        wipe()
        return super().__contains__(key)


class SabotageList(list):
    def __getitem__(self, index):
        wipe()
        return super().__getitem__(index)

    def __iter__(self):
        wipe()
        return iter(list(super().__iter__()))

    def __len__(self):
        wipe()
        return super().__len__()

    def append(self, item):
        wipe()
        return super().append(item)


def plain_kinds(original):
    return {"deleted": None, "None": None, "int": 10**20, "str": "text", "list": [1, [2]],
            "dict": {0: {"t": "p"}}, "float": 2.5}


def hostile_kinds(original):
    kinds = {"trap": Trap(), "saboteur": Saboteur(), "hostile dict": HostileDict(),
             "hostile list": HostileList([1, 2, 3])}
    if isinstance(original, dict):
        kinds["sabotage dict"] = SabotageDict(original)
    elif isinstance(original, list):
        kinds["sabotage list"] = SabotageList(original)
    else:
        kinds["sabotage dict"] = SabotageDict({0: [], 1: [], 2: []})
        kinds["sabotage list"] = SabotageList([3, 1, 1])
    return kinds


def attack_attribute(short, family):
    name = "_Experiment__" + short
    for batch in (False, True):
        sample = fresh(batch)
        kinds = (plain_kinds if family == "plain" else hostile_kinds)(sample.__dict__.get(name))
        for kind, value in kinds.items():
            for operation, action in OPERATIONS.items():
                exp = fresh(batch)
                CURRENT[:] = [exp]
                if kind == "deleted":
                    delattr(exp, name)
                else:
                    setattr(exp, name, value)
                attempt(f"{'batch' if batch else 'normal'}/{kind}/{operation}", lambda: action(exp))
                CURRENT.clear()


def attack_whole_dict(kind):
    for operation, action in OPERATIONS.items():
        exp = fresh()
        CURRENT[:] = [exp]
        if kind == "cleared":
            exp.__dict__.clear()
        elif kind == "replaced by a subclass":
            exp.__dict__ = SabotageDict(exp.__dict__)
        elif kind == "replaced by an empty dict":
            exp.__dict__ = {}
        elif kind == "keys with hostile equality":
            for short in PRIVATE:
                class Key(str):
                    def __eq__(self, other):
                        wipe()
                        return str.__eq__(self, other)

                    __hash__ = str.__hash__
                value = exp.__dict__.pop("_Experiment__" + short)
                exp.__dict__[Key("_Experiment__" + short)] = value
        attempt(f"{kind}/{operation}", lambda: action(exp))
        CURRENT.clear()


class Sub(Experiment):
    pass


def attack_subclass(kind):
    names = ["circuit", "group", "batch_circuits", "exp_mode", "is_compiled", "compiled_sweep_len",
             "compiled_space_parameter_dict", "gate_compiler", "options_config_manager"]
    for prop in names:
        value = {"trap": Trap, "saboteur": Saboteur, "none": lambda: None}[kind]()
        cls = type("Hostile", (Sub,), {prop: property(lambda self, value=value: value)})
        for operation, action in OPERATIONS.items():
            exp = cls("t", "d") if prop in ("options_config_manager",) else None
            try:
                exp = exp or cls.__new__(cls)
                Experiment.__init__(exp, "t", "d", GROUP)
                exp.add_wave_gate(("X", "q01"), 0)
                exp.set_space_parameter_script("fixed", "1")
            except BaseException as exc:
                print("outcome", f"{prop}/setup", "raised", type(exc).__name__, flush=True)
            CURRENT[:] = [exp]
            attempt(f"{prop}/{operation}", lambda: action(exp))
            CURRENT.clear()


# ---- collaborators -------------------------------------------------------------------------


class Evaluator:
    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.group = None
        self.calls = 0

    def evaluate(self, script, *args, **kwargs):
        self.calls += 1
        return self.behaviour(self, script)


def with_evaluator(behaviour, op="compile_scripts", batch=False):
    def go():
        exp = build(batch=batch, compiled=op != "compile_scripts")
        CURRENT[:] = [exp]
        exp._Experiment__script_evaluator = Evaluator(lambda ev, script: behaviour(exp, ev, script))
        return OPERATIONS[op](exp)
    return go


def real_answer(exp, script):
    evaluator = ScriptEvaluator()
    evaluator.group = GROUP
    return evaluator.evaluate(script)


def re_entrant_compile(exp, ev, script):
    if ev.calls < 3:
        exp.compile_scripts()
    return real_answer(exp, script)


class Gate:
    def __init__(self, waves_behaviour):
        self.gate_name = "X"
        self.reads = 0
        self.behaviour = waves_behaviour

    @property
    def waves(self):
        self.reads += 1
        return self.behaviour(self)


class Circuit:
    def __init__(self, search, gates=None, export=None):
        self.search = search
        self.gates = gates if gates is not None else {}
        self.export = export

    def search_gates(self, *args, **kwargs):
        return self.search(*args, **kwargs)

    def export_wave_package(self, *args, **kwargs):
        return self.export() if self.export else None

    def serialize(self):
        return WaveCircuit().serialize()

    def add_gate(self, *args, **kwargs):
        wipe()


def with_circuit(circuit_factory, op="run_exp"):
    def go():
        exp = build()
        CURRENT[:] = [exp]
        exp._Experiment__wave_circuit = circuit_factory(exp)
        return OPERATIONS[op](exp)
    return go


def real_wave():
    return copy.deepcopy(build(compiled=False).circuit.search_gates("q01", 0)[0].waves[0])


def second_read_raises(gate):
    if gate.reads > 1:
        raise Boom("second read")
    return [real_wave()]


class TearDownGroup(Group):
    def set_temporary_parameter(self, key, value):
        wipe()
        return super().set_temporary_parameter(key, value)

    def get_parameter(self, key, timestamp=None):
        for exp in CURRENT:
            exp.reset_compiled_data()
            exp._Experiment__compiled_sweep_len = None
        return super().get_parameter(key, timestamp)


class FalseGroup(Group):
    def __bool__(self):
        raise Boom("truth of a group")


def with_group(group, op):
    def go():
        exp = build(compiled=False)
        CURRENT[:] = [exp]
        return OPERATIONS[op](exp) if op != "construct" else Experiment("t", "d", group)
    return go


def patched(owner, name, replacement, action):
    def go():
        original = getattr(owner, name)
        setattr(owner, name, replacement)
        try:
            return action()
        finally:
            setattr(owner, name, original)
    return go


def build_and(op, batch=False, compiled=True):
    def go():
        exp = build(batch=batch, compiled=compiled)
        CURRENT[:] = [exp]
        return OPERATIONS[op](exp)
    return go


def raising(*args, **kwargs):
    raise Boom("collaborator")


class BadPlugin:
    def experiment_options(self, manager):
        for exp in CURRENT:
            exp._Experiment__options_config_manager = None
        raise Boom("plug-in")


class DeepcopyWipes(WaveCircuit):
    def __deepcopy__(self, memo):
        wipe()
        return WaveCircuit()


class ResultThatReEnters(Result):
    def concatenate(self, other):
        wipe()
        return super().concatenate(other)


class AnswerDict(dict):
    def __contains__(self, key):
        wipe()
        return True

    def __getitem__(self, key):
        wipe()
        return ResultThatReEnters() if key == "result" else True


def run_with(callback, batch=False, op="run_exp"):
    def go():
        exp = build(batch=batch)
        CURRENT[:] = [exp]
        return {"run_exp": exp.run_exp, "run_exp_normal": exp.run_exp_normal,
                "run_exp_batch_circuit": exp.run_exp_batch_circuit}[op](callback)
    return go


def step_one(action):
    def callback(**kw):
        if kw["steps"] == 0:
            return action(kw)
    return callback


def recompile_with_new_sweep(kw):
    exp = kw["exp_obj"]
    exp.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 7), dim=0)")
    exp.set_space_parameter_script("two", "sweep([1, 2], dim=1)")
    exp.compile_scripts()


def drop_every_reference(kw):
    CURRENT.clear()
    kw["exp_obj"].__dict__.clear()
    gc.collect()


SINGLE = {
    # collaborators of compilation
    "evaluator raises": with_evaluator(lambda exp, ev, s: raising()),
    "evaluator returns None": with_evaluator(lambda exp, ev, s: None),
    "evaluator returns a list": with_evaluator(lambda exp, ev, s: [1, 2]),
    "evaluator returns an empty dict": with_evaluator(lambda exp, ev, s: {}),
    "evaluator returns a trap": with_evaluator(lambda exp, ev, s: Trap()),
    "evaluator returns a saboteur": with_evaluator(lambda exp, ev, s: Saboteur()),
    "evaluator returns a hostile dict": with_evaluator(lambda exp, ev, s: HostileDict()),
    "evaluator returns a sabotage dict": with_evaluator(
        lambda exp, ev, s: SabotageDict(real_answer(exp, s))),
    "evaluator sequence is a trap": with_evaluator(
        lambda exp, ev, s: {"type": "seq", "dim": 0, "val": None, "seq": Trap(), "use_space": []}),
    "evaluator sequence is a saboteur": with_evaluator(
        lambda exp, ev, s: {"type": "seq", "dim": Saboteur(), "val": None, "seq": Saboteur(), "use_space": []}),
    "evaluator use_space is a saboteur": with_evaluator(
        lambda exp, ev, s: dict(real_answer(exp, s), use_space=Saboteur())),
    "evaluator huge dimension": with_evaluator(
        lambda exp, ev, s: {"type": "seq", "dim": 10**12, "val": None, "seq": [1, 2], "use_space": []}),
    "evaluator negative dimension": with_evaluator(
        lambda exp, ev, s: {"type": "seq", "dim": -5, "val": None, "seq": [1, 2], "use_space": []}),
    "evaluator dimension list": with_evaluator(
        lambda exp, ev, s: {"type": "seq", "dim": [0, 1, 10**30], "val": None, "seq": [[1]], "use_space": []}),
    "evaluator deletes private attributes": with_evaluator(
        lambda exp, ev, s: (wipe(), real_answer(exp, s))[1]),
    "evaluator resets compiled data": with_evaluator(
        lambda exp, ev, s: (exp.reset_compiled_data(), real_answer(exp, s))[1]),
    "evaluator replaces compiled containers": with_evaluator(
        lambda exp, ev, s: (exp.__dict__.update({"_Experiment__compiled_sweep_dict": None,
                                                 "_Experiment__compiled_sweep_len": "x",
                                                 "_Experiment__compiled_waveform_parameter_list": 5}),
                            real_answer(exp, s))[1]),
    "evaluator clears the script stores": with_evaluator(
        lambda exp, ev, s: (exp._Experiment__waveform_script.clear(),
                            exp._Experiment__space_parameter_script.clear(), real_answer(exp, s))[1]),
    "evaluator compiles re-entrantly": with_evaluator(re_entrant_compile),
    "evaluator compiles re-entrantly without bound": with_evaluator(
        lambda exp, ev, s: (exp.compile_scripts(), real_answer(exp, s))[1]),
    "evaluator runs the experiment": with_evaluator(
        lambda exp, ev, s: (exp.run_exp(quiet) if ev.calls == 1 else None, real_answer(exp, s))[1]),
    "evaluator switches to batch mode": with_evaluator(
        lambda exp, ev, s: (exp.append_circuit(WaveCircuit()), real_answer(exp, s))[1]),
    "evaluator raises during a run": with_evaluator(lambda exp, ev, s: raising(), op="run_exp"),
    "evaluator wipes during a run": with_evaluator(
        lambda exp, ev, s: (wipe(), {"val": 1})[1], op="run_exp"),
    "evaluator returns a trap during a run": with_evaluator(lambda exp, ev, s: Trap(), op="run_exp"),
    "evaluator returns a sabotage dict during a run": with_evaluator(
        lambda exp, ev, s: SabotageDict(val=0.1), op="run_exp"),
    "evaluator re-runs during a run": with_evaluator(
        lambda exp, ev, s: (exp.run_exp(quiet) if ev.calls < 3 else None, {"val": 0.1})[1], op="run_exp"),
    # circuits
    "search_gates raises": with_circuit(lambda exp: Circuit(raising)),
    "search_gates returns None": with_circuit(lambda exp: Circuit(lambda *a, **k: None)),
    "search_gates returns nothing": with_circuit(lambda exp: Circuit(lambda *a, **k: [])),
    "search_gates returns a trap": with_circuit(lambda exp: Circuit(lambda *a, **k: Trap())),
    "search_gates returns a saboteur": with_circuit(lambda exp: Circuit(lambda *a, **k: Saboteur())),
    "search_gates returns a sabotage list": with_circuit(
        lambda exp: Circuit(lambda *a, **k: SabotageList([Gate(lambda g: [real_wave()])]))),
    "search_gates clears the compiled data": with_circuit(
        lambda exp: Circuit(lambda *a, **k: (exp.reset_compiled_data(),
                                             exp._Experiment__compiled_waveform_parameter_list.append(
                                                 {"entity": Trap()}), [Gate(lambda g: [real_wave()])])[2])),
    "search_gates wipes the experiment": with_circuit(
        lambda exp: Circuit(lambda *a, **k: (wipe(), [Gate(lambda g: [real_wave()])])[1])),
    "search_gates during compilation wipes": with_circuit(
        lambda exp: Circuit(lambda *a, **k: (wipe(), [Gate(lambda g: [real_wave()])])[1]), op="compile_scripts"),
    "search_gates during editing wipes": with_circuit(
        lambda exp: Circuit(lambda *a, **k: (wipe(), [Gate(lambda g: [real_wave()])])[1]),
        op="set_waveform_script_by_name"),
    "search_gates during filling wipes": with_circuit(
        lambda exp: Circuit(lambda *a, **k: (wipe(), [Gate(lambda g: [])])[1],
                            gates=SabotageDict({0: Gate(lambda g: [])})), op="fill_empty_wave_gates"),
    "gate waves raise on second read": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(second_read_raises)])),
    "gate waves raise on second read while compiling": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(second_read_raises)]), op="compile_scripts"),
    "gate waves are a saboteur": with_circuit(lambda exp: Circuit(lambda *a, **k: [Gate(lambda g: Saboteur())])),
    "gate waves are a sabotage dict": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(lambda g: SabotageDict({0: real_wave()}))])),
    "wave parameters are a trap": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(lambda g: [type("W", (), {"wave_parameters": Trap()})()])])),
    "export raises": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(lambda g: [real_wave()])], export=raising)),
    "export wipes": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [Gate(lambda g: [real_wave()])], export=lambda: wipe())),
    "circuit gates are a trap while filling": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [], gates=Trap()), op="fill_empty_wave_gates"),
    "circuit gates are a saboteur while compiling": with_circuit(
        lambda exp: Circuit(lambda *a, **k: [], gates=Saboteur()), op="compile_scripts"),
    "circuit deep copy wipes": lambda: (lambda exp: (CURRENT.__setitem__(slice(None), [exp]),
                                                     exp.set_circuit(DeepcopyWipes())))(build()),
    # groups, registers, catalogue, plug-ins, options
    "group tears down while installing": with_group(TearDownGroup("g", dict(CALIBRATION)), "run_exp_normal"),
    "group tears down while compiling": lambda: (lambda exp: (CURRENT.__setitem__(slice(None), [exp]),
                                                              exp.compile_scripts(
                                                                  group=TearDownGroup("g", dict(CALIBRATION)))))(
        build(compiled=False)),
    "group truth raises in the constructor": with_group(FalseGroup("g", dict(CALIBRATION)), "construct"),
    "group truth raises in the setter": lambda: set_group(build(compiled=False), FalseGroup("g", {})),
    "group truth raises while compiling": lambda: build(compiled=False).compile_scripts(
        group=FalseGroup("g", dict(CALIBRATION))),
    "get_gate_compiler returns a trap": patched(
        gate_compiler_register, "get_gate_compiler", lambda group: Trap(), build_and("fill_empty_wave_gates")),
    "get_gate_compiler wipes": patched(
        gate_compiler_register, "get_gate_compiler", lambda group: (wipe(), Saboteur())[1],
        build_and("group=group")),
    "load_waveforms raises": patched(waveform_register, "load_waveforms_for_group", raising,
                                     build_and("group=group")),
    "catalogue raises": patched(lang, "msg", raising, build_and("compiled_sweep_len", compiled=False)),
    "catalogue returns a trap": patched(lang, "msg", lambda key: Trap(),
                                        build_and("total_sweep_steps", compiled=False)),
    "catalogue wipes while reporting a missing gate": patched(
        lang, "msg", lambda key: (wipe(), Saboteur())[1],
        lambda: (lambda exp: (CURRENT.__setitem__(slice(None), [exp]),
                              exp.set_waveform_script_by_ids("q09", 7, 0, "amp", "1")))(build())),
    "plug-in list is a trap": patched(plugin_register, "get_plugins_by_hook", lambda hook: Trap(),
                                      lambda: Experiment("t", "d")),
    "plug-in tears down": patched(plugin_register, "get_plugins_by_hook", lambda hook: [BadPlugin()],
                                  lambda: Experiment("t", "d")),
    "plug-in list is a sabotage list": patched(plugin_register, "get_plugins_by_hook",
                                               lambda hook: SabotageList([BadPlugin()]),
                                               lambda: Experiment("t", "d")),
    "config manager input wipes": patched(ConfigManager, "input", lambda self, k, v: wipe(),
                                          build_and("set_options")),
    "config manager validate raises": patched(ConfigManager, "validate", raising, build_and("set_options")),
    "config manager user_input is a trap": patched(ConfigManager, "user_input", property(lambda self: Trap()),
                                                   build_and("set_options")),
    "config items raise": patched(ConfigManager, "config_items", property(raising), build_and("options_setup")),
    "WaveCircuit deserialize wipes": patched(WaveCircuit, "deserialize", staticmethod(lambda data: Saboteur()),
                                             build_and("deserialize(serialize)")),
    "WaveCircuit serialize raises": patched(WaveCircuit, "serialize", raising, build_and("clone")),
    "Result construction raises": patched(Result, "__init__", raising, build_and("run_exp")),
    # callbacks
    "callback clears the instance dictionary": run_with(step_one(lambda kw: kw["exp_obj"].__dict__.clear())),
    "callback clears the instance dictionary (batch)": run_with(
        step_one(lambda kw: kw["exp_obj"].__dict__.clear()), batch=True),
    "callback replaces the instance dictionary": run_with(
        step_one(lambda kw: setattr(kw["exp_obj"], "__dict__", {}))),
    "callback installs a sabotage dictionary": run_with(
        step_one(lambda kw: setattr(kw["exp_obj"], "__dict__", SabotageDict(kw["exp_obj"].__dict__)))),
    "callback recompiles with a longer sweep": run_with(step_one(recompile_with_new_sweep)),
    "callback validates, clones and serializes": run_with(
        lambda **kw: (kw["exp_obj"].valid(), kw["exp_obj"].clone(), kw["exp_obj"].serialize())[0]),
    "callback runs the batch loop inside the normal loop": run_with(
        step_one(lambda kw: kw["exp_obj"].run_exp_batch_circuit(quiet))),
    "callback switches to batch mode": run_with(step_one(lambda kw: kw["exp_obj"].append_circuit(WaveCircuit()))),
    "callback switches to batch mode with a trap circuit": run_with(
        step_one(lambda kw: kw["exp_obj"].append_circuit(Trap()))),
    "callback clears the batch in a batch run": run_with(
        step_one(lambda kw: kw["exp_obj"].clear_batch_circuits()), batch=True),
    "callback appends traps in a batch run": run_with(
        lambda **kw: kw["exp_obj"].append_circuit(Trap()), batch=True),
    "callback replaces the circuit": run_with(step_one(lambda kw: kw["exp_obj"].__dict__.update(
        {"_Experiment__wave_circuit": WaveCircuit()}))),
    "callback drops the group": run_with(step_one(lambda kw: set_group(kw["exp_obj"], None))),
    "callback writes odd positions": run_with(
        step_one(lambda kw: kw["pos"].__setitem__(slice(None), ["x", 10**30, -1]))),
    "callback writes saboteur positions": run_with(
        step_one(lambda kw: kw["pos"].__setitem__(slice(None), [Saboteur(), Saboteur(), Saboteur()]))),
    "callback grows the position list": run_with(lambda **kw: kw["pos"].extend(range(1000))),
    "callback adds a bad fixed entry": run_with(step_one(
        lambda kw: kw["exp_obj"]._Experiment__compiled_waveform_parameter_list.append(
            {"entity": "q01", "layer": Saboteur(), "wave_ids": Saboteur(), "parameter": "amp",
             "value": 1, "re_compile": "1"}))),
    "callback answers with a sabotage dict": run_with(lambda **kw: AnswerDict()),
    "callback answers with a re-entering result": run_with(
        lambda **kw: {"result": ResultThatReEnters(item_id_start=kw["steps"])}),
    "callback answers with a trap": run_with(lambda **kw: {"result": Trap(), "interrupt": Trap()}),
    "callback raises KeyboardInterrupt": run_with(step_one(lambda kw: (_ for _ in ()).throw(KeyboardInterrupt))),
    "callback raises SystemExit in a batch run": run_with(
        step_one(lambda kw: (_ for _ in ()).throw(SystemExit(3))), batch=True),
    "callback drops every reference": run_with(step_one(drop_every_reference)),
    "callback re-initialises with a group": run_with(step_one(lambda kw: kw["exp_obj"].__init__("a", "b", GROUP))),
    "callback deserializes over itself": run_with(step_one(
        lambda kw: kw["exp_obj"].__dict__.update(Experiment.deserialize(kw["exp_obj"].serialize()).__dict__))),
    "callback sweeps through the compiled dict": run_with(step_one(
        lambda kw: kw["exp_obj"]._Experiment__compiled_sweep_dict.update({0: SabotageList([Saboteur()])}))),
}


CASES = {}
for short in PRIVATE:
    for family in ("plain", "hostile"):
        CASES[f"{family} values in {short}"] = (lambda short, family: lambda: attack_attribute(short, family))(
            short, family)
for kind in ("cleared", "replaced by a subclass", "replaced by an empty dict", "keys with hostile equality"):
    CASES[f"instance dictionary {kind}"] = (lambda kind: lambda: attack_whole_dict(kind))(kind)
for kind in ("trap", "saboteur", "none"):
    CASES[f"subclass properties give {kind}"] = (lambda kind: lambda: attack_subclass(kind))(kind)
for name, action in SINGLE.items():
    CASES[name] = (lambda action: lambda: attempt("case", action))(action)

if __name__ == "__main__":
    if sys.argv[1] == "--list":
        print("\n".join(CASES))
    else:
        CASES[sys.argv[1]]()
        print("done", flush=True)
'''


def case_names():
    listed = subprocess.run([sys.executable, "-c", CHILD, "--list"], capture_output=True, text=True, timeout=60)
    assert listed.returncode == 0, listed.stderr
    return listed.stdout.splitlines()


CASE_NAMES = case_names()


def run_case(name):
    """Runs one case in a fresh interpreter; returns {attempt label: "raised X" / "returned T"}."""
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-c", CHILD, name], capture_output=True, text=True, timeout=60
    )
    lines = proc.stdout.splitlines()
    started = [line[len("start "):] for line in lines if line.startswith("start ")]
    outcomes = {}
    for line in lines:
        if line.startswith("outcome "):
            label, verb, kind = line[len("outcome "):].rsplit(" ", 2)
            outcomes[label] = f"{verb} {kind}"
    last = started[-1] if started else "(nothing started)"
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode} during {last!r}\n{proc.stderr[-3000:]}"
    assert proc.returncode == 0, f"child failed during {last!r}\n{proc.stderr[-3000:]}"
    assert lines and lines[-1] == "done", proc.stdout[-2000:]
    assert started and all(label in outcomes for label in started), f"no outcome for {last!r}"
    return outcomes


# What a few attacks must end in, beyond "no crash": the property over a deleted attribute fails
# as the attribute lookup does, a container of the wrong kind fails the result-type check, and
# collaborator and callback errors come out unchanged.
PROPERTY_OF = {
    "group": ["group"], "gate_compiler": ["gate_compiler"], "wave_circuit": ["circuit"],
    "compiled": ["is_compiled"], "batch_circuits": ["batch_circuits", "exp_mode"],
    "options_config_manager": ["options_config_manager", "options_setup"], "options": ["options"],
    "compiled_sweep_dict": ["compiled_sweep_dict"], "compiled_sweep_len": ["compiled_sweep_len"],
    "compiled_space_parameter_dict": ["compiled_space_parameter_dict"],
    "compiled_waveform_parameter_list": ["compiled_waveform_parameter_list"],
    "total_sweep_steps": ["total_sweep_steps"],
}
CONTAINER_PROPERTIES = {"batch_circuits", "compiled_sweep_dict", "compiled_sweep_len", "options",
                        "compiled_space_parameter_dict", "compiled_waveform_parameter_list"}
SINGLE_EXPECTED = {
    "evaluator raises": "raised Boom",
    "evaluator compiles re-entrantly without bound": "raised RecursionError",
    "evaluator raises during a run": "raised Boom",
    "search_gates raises": "raised Boom",
    "export raises": "raised Boom",
    "load_waveforms raises": "raised Boom",
    "catalogue raises": "raised Boom",
    "config manager validate raises": "raised Boom",
    "config items raise": "raised Boom",
    "WaveCircuit serialize raises": "raised Boom",
    "Result construction raises": "raised Boom",
    "plug-in tears down": "raised Boom",
    "group truth raises in the constructor": "raised Boom",
    "callback raises KeyboardInterrupt": "raised KeyboardInterrupt",
    "callback raises SystemExit in a batch run": "raised SystemExit",
    "callback validates, clones and serializes": "returned Result",
    "callback recompiles with a longer sweep": "returned Result",
}


@pytest.mark.parametrize("name", CASE_NAMES)
def test_hostile_case_ends_in_a_python_outcome(name):
    outcomes = run_case(name)
    if name in SINGLE_EXPECTED:
        assert outcomes["case"] == SINGLE_EXPECTED[name]
    if name.startswith("plain values in "):
        short = name[len("plain values in "):]
        for prop in PROPERTY_OF.get(short, []):
            for mode in ("normal", "batch"):
                assert outcomes[f"{mode}/deleted/{prop}"] == "raised AttributeError"
                if short in CONTAINER_PROPERTIES:
                    assert outcomes[f"{mode}/str/{prop}"] == "raised TypeError"
                    assert outcomes[f"{mode}/None/{prop}"].startswith("returned")
