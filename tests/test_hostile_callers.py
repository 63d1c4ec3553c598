"""Hostile callers (private state deleted or replaced, collaborators that fail or fight back, callbacks
that edit, re-enter or tear down the experiment, input nested too deeply) get a Python exception or a normal
return, never a crash."""

# Each case runs in an interpreter of its own that prints "start <label>" before and "outcome <label> ..."
# after every attempt, so a crash fails only that case and names the attempt it died in.

import os
import subprocess
import sys

import pytest

from varnok_client.experiment.experiment import Experiment

CHILD = r'''
import copy, gc, sys
from types import SimpleNamespace
from itertools import chain
from support_persistence import CALIBRATION, PROPERTIES, Logged, build_batch, build_normal, make_group, minimal, patched, quiet, record
from support_run import Run
from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.languages import lang
from varnok_client.plugin.plugin_register import plugin_register
from varnok_client.utils.config_manager import ConfigManager
from varnok_client.utils.script_evaluator import ScriptEvaluator
from varnok_client.waveform import WaveCircuit, WaveGate
from varnok_client.waveform.waveform_register import waveform_register

GROUP, CURRENT, TEMPLATES, READS = make_group(), [], {}, iter(range(10**6))
class Boom(Exception): pass
def wipe():  # tears down the experiment under attack
    for exp in CURRENT: exp.__dict__.clear()
def raising(*a, **k): raise Boom("collaborator")
def throw(exc): raise exc
def build(batch=False, compiled=True):
    exp = (build_batch if batch else build_normal)(GROUP)
    if compiled: exp.compile_scripts()
    CURRENT[:] = [exp]
    return exp
def fresh(batch=False):  # a copy of a built and compiled experiment, cheaper than building one
    template = TEMPLATES.setdefault(batch, build(batch))
    exp = Experiment.__new__(Experiment)
    exp.__dict__.update(copy.deepcopy(template.__dict__, {id(GROUP): GROUP, id(template.gate_compiler): template.gate_compiler}))
    CURRENT[:] = [exp]
    return exp
def attempt(label, action):
    print("start", label, flush=True)
    try: value = action()
    except BaseException as exc: print("outcome", label, "raised", type(exc).__name__, flush=True)
    else: print("outcome", label, "returned", type(value).__name__, flush=True)
def each(action, variants):
    for i, variant in enumerate(variants): attempt(f"variant {i}", lambda: action(variant))

class Trap:  # raises from every protocol the engine might use on it
    def _raise(self, *a, **k): raise Boom("trap")
    def __getattr__(self, name): raise Boom(name)
class Saboteur:  # answers every protocol plausibly, but tears the experiment down first
    def __getattr__(self, name):
        if name.startswith("__"): raise AttributeError(name)
        return (wipe(), self)[1]
for name in ["__eq__", "__lt__", "__hash__", "__bool__", "__index__", "__int__", "__float__", "__len__", "__iter__",
             "__getitem__", "__setitem__", "__contains__", "__call__", "__deepcopy__", "__str__", "__repr__"]:
    setattr(Trap, name, Trap._raise)
for name, answer in {"__eq__": False, "__hash__": 0, "__bool__": True, "__index__": 1, "__int__": 1, "__float__": 1.0,
                     "__len__": 3, "__getitem__": 1, "__contains__": True}.items():
    setattr(Saboteur, name, lambda self, *a, answer=answer: (wipe(), answer)[1])
Saboteur.__iter__ = lambda self: (wipe(), iter([0, 1]))[1]
Saboteur.__call__ = lambda self, *a, **k: (wipe(), self)[1]
def subclass(base, names, wrap):
    return type("Hostile" + base.__name__, (base,), {n: wrap(getattr(base, n)) for n in names})
TRAPPED = lambda original: Trap._raise
SABOTAGED = lambda original: lambda self, *a, **k: (wipe(), original(self, *a, **k))[1]
HostileDict = subclass(dict, ["__getitem__", "__iter__", "__len__", "__contains__", "keys", "items", "get"], TRAPPED)
HostileList = subclass(list, ["__getitem__", "__iter__", "__len__", "__contains__", "append", "index"], TRAPPED)
SabotageDict = subclass(dict, ["__getitem__", "__iter__", "__len__", "__contains__", "items"], SABOTAGED)
SabotageList = subclass(list, ["__getitem__", "__iter__", "__len__", "append"], SABOTAGED)

OPERATIONS = {
    **{name: (lambda name: lambda e: getattr(e, name))(name) for name in PROPERTIES},
    "group=": lambda e: setattr(e, "group", GROUP), "set_options": lambda e: e.set_options(shots=3),
    "clear_batch_circuits": lambda e: e.clear_batch_circuits(), "reset_compiled_data": lambda e: e.reset_compiled_data(),
    "set_circuit": lambda e: e.set_circuit(WaveCircuit()), "append_circuit": lambda e: e.append_circuit(WaveCircuit()),
    "add_wave_gate_obj": lambda e: e.add_wave_gate_obj(WaveGate(("X", "q01"), 0), 2),
    "set_space_parameter_script": lambda e: e.set_space_parameter_script("k", "1"),
    "by_ids": lambda e: e.set_waveform_script_by_ids("q01", 0, [0], "amp", "0.2"),
    "by_name": lambda e: e.set_waveform_script_by_name("q01", 0, "drive", "amp", "0.2"),
    "fill_empty_wave_gates": lambda e: e.fill_empty_wave_gates(), "compile_scripts": lambda e: e.compile_scripts(),
    "run_exp": lambda e: e.run_exp(quiet), "run_exp_normal": lambda e: e.run_exp_normal(quiet, group=GROUP),
    "run_exp_batch_circuit": lambda e: e.run_exp_batch_circuit(quiet), "valid": lambda e: e.valid(),
    "clone": lambda e: e.clone(), "deserialize(serialize)": lambda e: Experiment.deserialize(e.serialize()),
    "init again": lambda e: e.__init__("t", "d"),
}
def attack_attribute(short):
    name = "_Experiment__" + short
    for batch in (False, True):
        original = fresh(batch).__dict__[name]
        kinds = {"deleted": None, "None": None, "str": "text", "int": 10**20, "trap": Trap(), "saboteur": Saboteur(),
                 "hostile dict": HostileDict(), "hostile list": HostileList([1, 2]),
                 "sabotage": SabotageDict(original) if isinstance(original, dict) else SabotageList(
                     original if isinstance(original, list) else [3, 1, 1])}
        for kind, value in kinds.items():
            for operation, action in OPERATIONS.items():
                exp = fresh(batch)
                delattr(exp, name) if kind == "deleted" else setattr(exp, name, value)
                attempt(f"{'batch' if batch else 'normal'}/{kind}/{operation}", lambda: action(exp))
def attack_instance_dictionary(replace):
    for operation, action in OPERATIONS.items():
        exp = fresh()
        exp.__dict__ = replace(exp.__dict__)
        attempt(operation, lambda: action(exp))

def ev(behaviour, op="compile_scripts"):  # runs `op` with an evaluator answering behaviour(exp, call number, script)
    exp, calls = build(compiled=op != "compile_scripts"), []
    exp._Experiment__script_evaluator = SimpleNamespace(group=None, evaluate=lambda script, *a, **k: (
        calls.append(script), behaviour(exp, len(calls), script))[1])
    return OPERATIONS[op](exp)
def real(script):
    evaluator = ScriptEvaluator()
    evaluator.group = GROUP
    return evaluator.evaluate(script)
def seq(dim, values=(1, 2)):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": []}
def circ(search, op="run_exp", gates=None, export=lambda: None):  # runs `op` on a circuit answering search(exp)
    exp = build()
    exp._Experiment__wave_circuit = SimpleNamespace(gates=gates or {}, add_gate=lambda *a: wipe(),
        search_gates=lambda *a: search(exp), export_wave_package=lambda *a, **k: export(),
        serialize=lambda: WaveCircuit().serialize())
    return OPERATIONS[op](exp)
def gate(waves=None):
    real_gate = copy.deepcopy(build_normal(GROUP).circuit.search_gates("q01", 0)[0])
    return type("Gate", (), {"gate_name": "X", "waves": property(waves or (lambda self: real_gate.waves))})()
def run(callback, batch=False):
    return build(batch).run_exp(callback)
def first(action):  # a callback doing action(experiment, keywords) at the first step only
    return lambda **kw: action(kw["exp_obj"], kw) if kw["steps"] == 0 else None
def longer_sweep(e, kw):
    e.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 7), dim=0)")
    e.set_space_parameter_script("two", "sweep([1, 2], dim=1)")
    e.compile_scripts()
def nest(leaf):
    for _ in range(200_000): leaf = {"k": leaf}
    return leaf
def refused(data):  # restoring it raises, whatever the exception
    try: Experiment.deserialize(data)
    except Exception: return True
    raise AssertionError("restored")
def nested_inputs():
    return [nest(1), minimal(wave_circuit=nest(None)), minimal(exp_mode="batch_circuit", batch_circuit=[nest(1)]),
            minimal(options={"shots": nest(1)}), minimal(waveform_script=[record("none", entity=nest("q"))]),
            *[minimal(waveform_script=[record(**fields)]) for fields in (
                dict(entity=nest("q"), wave_ids=(1,)), dict(wave_ids=[nest(1)]), dict(layer=nest(1)))]]
def hostile_data_refused():  # the data's own protocols raise: the restore raises and leaves the data as it was
    data = minimal()
    cases = [Logged(data, raising), {**data, "waveform_script": chain([record(wave_ids=0)], map(raising, "x"))},
             {**data, "exp_mode": type("BadEq", (), {"__eq__": raising, "__hash__": id})()},
             {**data, "space_parameter_script": type("D", (dict,), {"items": lambda s: [7]})()}]
    return all(map(refused, cases)) and data == minimal()
def kept(value):
    return Experiment.deserialize(minimal(info=value, template_data=value)).serialize()["template_data"] is value
def unbounded(**kw): return kw["exp_obj"].run_exp(unbounded)
class TearDownGroup(type(GROUP)):
    def set_temporary_parameter(self, key, value): return (wipe(), super().set_temporary_parameter(key, value))[1]
class ReEnteringResult(Result):
    def concatenate(self, other): return (wipe(), super().concatenate(other))[1]

attempt("case", lambda: eval(compile(sys.argv[1], "<case>", "eval")))  # (text would mark KeyboardInterrupt unhandled)
print("done", flush=True)
'''
# name | the outcome the case must end in (blank: any Python outcome) | the attack, run in the child
SINGLE = """
evaluator raises | raised Boom | ev(lambda e, n, s: raising())
evaluator answers junk | | each(lambda v: ev(lambda e, n, s: v), (None, [1], {}, Trap(), Saboteur(), HostileDict()))
evaluator answers a sabotage dict | | ev(lambda e, n, s: SabotageDict(real(s)))
evaluator answers odd sequences | | each(lambda v: ev(lambda e, n, s: v), (seq(Saboteur(), Saboteur()), seq(10**12), seq(-5), seq([0, 10**30])))
evaluator tears down | | ev(lambda e, n, s: (wipe(), real(s))[1])
evaluator resets the compiled data | | ev(lambda e, n, s: (e.reset_compiled_data(), e.__dict__.update(_Experiment__compiled_sweep_len="x"), real(s))[1])
evaluator clears the scripts | | ev(lambda e, n, s: (e.__dict__["_Experiment__space_parameter_script"].clear(), real(s))[1])
evaluator compiles re-entrantly | | ev(lambda e, n, s: (n < 3 and e.compile_scripts(), real(s))[1])
evaluator compiles without bound | raised RecursionError | ev(lambda e, n, s: (e.compile_scripts(), real(s))[1])
evaluator runs and switches mode | | ev(lambda e, n, s: (n == 1 and e.run_exp(quiet), e.append_circuit(WaveCircuit()), real(s))[2])
evaluator tears down during a run | | ev(lambda e, n, s: (wipe(), {"val": 1})[1], "run_exp")
evaluator re-runs during a run | | ev(lambda e, n, s: (n < 3 and e.run_exp(quiet), {"val": 0.1})[1], "run_exp")
search_gates answers junk | | each(lambda v: circ(lambda e: v), (None, [], Trap(), Saboteur(), SabotageList([gate()])))
search_gates tears down | | each(lambda op: circ(lambda e: (wipe(), [gate()])[1], op), ("run_exp", "compile_scripts", "by_name"))
gate waves fail on a second read | | each(lambda op: circ(lambda e: [gate(lambda g: [] if next(READS) % 2 else raising())], op), ("run_exp", "compile_scripts"))
gate waves are hostile | | each(lambda w: circ(lambda e: [gate(lambda g: w)]), (Saboteur(), SabotageDict({0: 1}), [SimpleNamespace(wave_parameters=Trap())]))
export tears down | | circ(lambda e: [gate()], export=wipe)
gates are hostile while filling | | each(lambda g: circ(lambda e: (wipe(), [])[1], "fill_empty_wave_gates", g), (Trap(), Saboteur(), SabotageDict({0: gate()})))
group tears down while compiling | | build(compiled=False).compile_scripts(group=TearDownGroup("g", dict(CALIBRATION)))
group truth raises | raised Boom | Experiment("t", "d", type("G", (), {"__bool__": raising})())
gate compiler is a trap | | patched(gate_compiler_register, "get_gate_compiler", lambda g: Trap(), lambda: build().fill_empty_wave_gates())
waveform loading raises | raised Boom | patched(waveform_register, "load_waveforms_for_group", raising, lambda: setattr(build(), "group", GROUP))
catalogue raises | raised Boom | patched(lang, "msg", raising, lambda: build(compiled=False).total_sweep_steps)
catalogue tears down | | patched(lang, "msg", lambda k: (wipe(), Saboteur())[1], lambda: build().set_waveform_script_by_ids("q09", 7, 0, "a", "1"))
plug-in list is hostile | | each(lambda v: patched(plugin_register, "get_plugins_by_hook", lambda h: v, lambda: Experiment("t", "d")), (Trap(), SabotageList([])))
option validation raises | raised Boom | patched(ConfigManager, "validate", raising, lambda: build().set_options(shots=1))
option input tears down | | patched(ConfigManager, "input", lambda self, k, v: wipe(), lambda: build().set_options(shots=1))
circuit restore answers a saboteur | | patched(WaveCircuit, "deserialize", staticmethod(lambda d: Saboteur()), lambda: build().clone())
circuit serialize raises | raised Boom | patched(WaveCircuit, "serialize", raising, lambda: build().clone())
result construction raises | raised Boom | patched(Result, "__init__", raising, lambda: build().run_exp(quiet))
callback installs a sabotage dictionary | | run(first(lambda e, kw: setattr(e, "__dict__", SabotageDict(e.__dict__))))
callback recompiles a longer sweep | returned Result | run(first(longer_sweep))
callback validates, clones and serializes | returned Result | run(lambda exp_obj, **kw: (exp_obj.valid(), exp_obj.clone(), exp_obj.serialize()) and None)
callback runs the batch loop | | run(first(lambda e, kw: e.run_exp_batch_circuit(quiet)))
callback switches mode | | each(lambda c: run(first(lambda e, kw: e.append_circuit(c))), (WaveCircuit(), Trap()))
callback clears the batch | | run(first(lambda e, kw: e.clear_batch_circuits()), True)
callback drops the group | | run(first(lambda e, kw: setattr(e, "group", None)))
callback writes odd positions | | each(lambda p: run(first(lambda e, kw: kw["pos"].__setitem__(slice(None), p))), (["x", 10**30, -1], [Saboteur()] * 3, [0] * 999))
callback adds a hostile fixed entry | | run(first(lambda e, kw: e.compiled_waveform_parameter_list.append(dict(e.compiled_waveform_parameter_list[0], layer=Saboteur(), wave_ids=Saboteur()))))
callback answers hostile values | | each(lambda a: run(lambda **kw: a), (SabotageDict(result=ReEnteringResult(), interrupt=True), {"result": Trap(), "interrupt": Trap()}))
callback re-runs without bound, high limit | raised RecursionError | (sys.setrecursionlimit(20000), Run((2, 1, 1)).exp.run_exp(unbounded))
deeply nested input is refused | returned bool | all(map(refused, nested_inputs()))
hostile data is refused and left unchanged | returned bool | hostile_data_refused() or throw(AssertionError("changed"))
deeply nested pass-through values are kept | returned bool | kept(nest(1)) or throw(AssertionError("not kept"))
callback raises KeyboardInterrupt | raised KeyboardInterrupt | run(first(lambda e, kw: throw(KeyboardInterrupt)))
callback drops every reference | | each(lambda batch: run(first(lambda e, kw: (CURRENT.clear(), e.__dict__.clear(), gc.collect())), batch), (False, True))
callback re-initialises or restores itself | | each(lambda f: run(first(f)), (lambda e, kw: e.__init__("a", "b", GROUP), lambda e, kw: e.__dict__.update(Experiment.deserialize(e.serialize()).__dict__)))
"""  # noqa: E501
PRIVATE = [name.removeprefix("_Experiment__") for name in vars(Experiment("t", "d")) if name.startswith("_Experiment__")]
CASES = {**{f"attribute {short}": ("", f"attack_attribute({short!r})") for short in PRIVATE},
         "instance dictionary sabotaged": ("", "attack_instance_dictionary(SabotageDict)"),
         **{name: (expected, code) for name, expected, code in (
             [part.strip() for part in line.split("|", 2)] for line in SINGLE.strip().splitlines())}}


@pytest.mark.parametrize("name", CASES)
def test_hostile_case_ends_in_a_python_outcome(name):
    expected, code = CASES[name]
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", CHILD, code], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(os.path.abspath(__file__)))
    lines = proc.stdout.splitlines()
    last = ([line[len("start "):] for line in lines if line.startswith("start ")] or ["(nothing started)"])[-1]
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode} during {last!r}\n{proc.stderr[-3000:]}"
    assert proc.returncode == 0 and lines[-1:] == ["done"], f"child failed during {last!r}\n{proc.stderr[-3000:]}"
    assert not expected or f"outcome case {expected}" in lines
