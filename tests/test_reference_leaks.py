"""Reference and memory hygiene of the experiment engine.

Every public operation, on its success path and on each of its failure paths, is repeated many
times after a warm-up.  Afterwards the reference counts of the objects the operation was handed,
of the shared singletons and of the collaborator classes must be where they were, and neither the
number of objects the cyclic collector tracks nor the number of memory blocks the interpreter has
allocated may have grown with the number of repetitions.  Two long runs check the resident size.
"""

import gc
import os
import sys

import pytest

from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group
from varnok_client.languages import lang
from varnok_client.utils.config_manager import ConfigManager
from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator
from varnok_client.waveform import WaveCircuit, WaveGate

WARM_UP = 30
REPEAT = 200

CALIBRATION = {
    "q01.freq": 5e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 40.0,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 400.0,
    "q01.ro_freq": 6.5e9,
}


def fresh(text):
    """A string that is equal to ``text`` but is a new object of its own (not interned)."""
    return "".join(list(text))


def make_group():
    return Group("g", dict(CALIBRATION))


def real_exp(group=None, scripts=True, batch=False):
    """A tiny experiment on the real collaborators: one X gate, a swept amplitude."""
    group = make_group() if group is None else group
    exp = Experiment("t", "d", group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.fill_empty_wave_gates()
    if scripts:
        sweep = "0.25" if batch else "sweep(linspace(0, 1, 3), dim=0)"
        exp.set_space_parameter_script("q01.x_amp", sweep)
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('q01.x_amp') * 0.5")
    if batch:
        second = WaveCircuit()
        second.add_gate(("X", "q01"), 0)
        exp.append_circuit(second)
        exp.fill_empty_wave_gates()
    return exp


# ---- fake collaborators: cheap, with no state that grows ------------------------------------


class FakeWave:
    def __init__(self):
        self.wave_parameters = {"amp": 0.0}
        self.waveform_compiler_config = {"detuning": 0.0}
        self.t0 = 0.0
        self.ratio = 1.0


class FakeGate:
    def __init__(self):
        self.waves = [FakeWave()]


class FakeCircuit:
    def __init__(self):
        self.gate = FakeGate()

        self.gates = {0: self.gate}

    def search_gates(self, entity, layer):
        return [self.gate]

    def export_wave_package(self, *args, **kwargs):
        return None


class FakeGroup:
    def __init__(self):
        self.temporary = {}

    def set_temporary_parameter(self, key, value):
        self.temporary[key] = value


class FakeEvaluator:
    def __init__(self):
        self.group = None

    def evaluate(self, script, *args, **kwargs):
        return {"val": 0.5}


def fake_exp(steps, re_compile=True):
    """An experiment compiled by hand onto the fakes, sweeping one space and one wave value."""
    exp = Experiment("t", "d")
    exp._Experiment__wave_circuit = FakeCircuit()
    exp._Experiment__group = FakeGroup()
    exp._Experiment__script_evaluator = FakeEvaluator()
    exp._Experiment__compiled = True
    exp._Experiment__compiled_sweep_len = [steps, 1, 1]
    sweep = range(steps)
    exp._Experiment__compiled_sweep_dict = {
        0: [
            {"t": "p", "key": "a", "value": sweep, "len": steps, "dim": 0},
            {"t": "w", "entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "detuning",
             "value": sweep, "len": steps, "dim": 0},
        ],
        1: [],
        2: [],
    }
    exp._Experiment__compiled_space_parameter_dict = {"b": 1}
    exp._Experiment__compiled_waveform_parameter_list = [
        {"entity": "q01", "layer": 0, "wave_ids": [0], "parameter": "amp", "value": 0.1,
         "re_compile": "space('a')" if re_compile else False},
    ]
    exp._Experiment__compile_space_timestamp = None
    return exp


# ---- the measurement ------------------------------------------------------------------------

# Objects every operation touches through the engine's own references: a reference the engine
# takes and never gives back shows up on one of these.
SENTINELS = {
    "None": None,
    "True": True,
    "False": False,
    "Experiment": Experiment,
    "WaveCircuit": WaveCircuit,
    "WaveGate": WaveGate,
    "Result": Result,
    "ScriptEvaluator": ScriptEvaluator,
    "ConfigManager": ConfigManager,
    "lang": lang,
    "gate_compiler_register": gate_compiler_register,
    "name _Experiment__group": sys.intern("_Experiment__group"),
    "name _Experiment__wave_circuit": sys.intern("_Experiment__wave_circuit"),
    "name _Experiment__compiled": sys.intern("_Experiment__compiled"),
    "name _Experiment__compiled_sweep_dict": sys.intern("_Experiment__compiled_sweep_dict"),
    "name entity": sys.intern("entity"),
    "name wave_ids": sys.intern("wave_ids"),
    "name search_gates": sys.intern("search_gates"),
}

# A genuine per-call leak grows by at least REPEAT; a one-off cache fill stays far below these.
REFCOUNT_TOLERANCE = {"None": 20, "True": 20, "False": 20}
OBJECT_TOLERANCE = REPEAT // 10
BLOCK_TOLERANCE = REPEAT // 2


def refcounts(objects):
    return {name: sys.getrefcount(obj) for name, obj in objects.items()}


def assert_no_growth(operation, given=()):
    """Runs ``operation`` WARM_UP + REPEAT times; fails when anything grew with the repetitions."""
    given = {f"argument {i} ({type(obj).__name__})": obj for i, obj in enumerate(given)}
    for _ in range(WARM_UP):
        operation()
    gc.collect()
    counts = refcounts({**SENTINELS, **given})
    tracked = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    for _ in range(REPEAT):
        operation()
    gc.collect()
    blocks_after = sys.getallocatedblocks()
    tracked_after = len(gc.get_objects())
    counts_after = refcounts({**SENTINELS, **given})
    changed = {
        name: (counts[name], counts_after[name])
        for name in counts
        if abs(counts_after[name] - counts[name]) > REFCOUNT_TOLERANCE.get(name, 0)
    }
    assert not changed, f"reference counts moved over {REPEAT} calls: {changed}"
    assert tracked_after - tracked <= OBJECT_TOLERANCE, f"{tracked_after - tracked} more tracked objects"
    assert blocks_after - blocks <= BLOCK_TOLERANCE, f"{blocks_after - blocks} more allocated blocks"


def expect(error, function, *args, **kwargs):
    """Calls ``function`` and returns its result, or checks that it raised exactly ``error``."""
    if error is None:
        return function(*args, **kwargs)
    try:
        function(*args, **kwargs)
    except error:
        return None
    raise AssertionError(f"{function!r} did not raise {error.__name__}")


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("collaborator failed")


class StrSub(str):
    pass


# ---- constructor, properties and resets --------------------------------------------------


def construction_cases():
    title, desc = fresh("title"), fresh("description")
    group = make_group()
    sub = StrSub("x")
    return {
        "construct": (lambda: Experiment(title, desc), (title, desc), None),
        "construct with group": (lambda: Experiment(title, desc, group), (title, desc, group), None),
        "construct title None": (lambda: Experiment(None, desc), (desc,), TypeError),
        "construct desc int": (lambda: Experiment(title, 12345678901234567890), (title,), TypeError),
        "construct str subclass": (lambda: Experiment(sub, desc), (sub, desc), TypeError),
        "construct no arguments": (lambda: Experiment(), (), TypeError),
        "construct unknown keyword": (lambda: Experiment(title, desc, colour=group), (title, desc, group), TypeError),
    }


@pytest.mark.parametrize("case", list(construction_cases()))
def test_construction_leaves_no_trace(case):
    operation, given, error = construction_cases()[case]
    assert_no_growth(lambda: expect(error, operation), given)


def test_construction_with_a_failing_gate_compiler_leaves_no_trace(monkeypatch):
    group, title = make_group(), fresh("title")
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", boom)
    assert_no_growth(lambda: expect(Boom, Experiment, title, "d", group), (group, title))


PROPERTIES = [
    "exp_mode", "group", "batch_circuits", "circuit", "gate_compiler", "is_compiled",
    "compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict",
    "compiled_sweep_len", "total_sweep_steps", "options", "options_config_manager", "options_setup",
]
COMPILED_ONLY = {"compiled_sweep_dict", "compiled_waveform_parameter_list", "compiled_space_parameter_dict",
                 "compiled_sweep_len", "total_sweep_steps"}


@pytest.mark.parametrize("compiled", [False, True], ids=["new", "compiled"])
@pytest.mark.parametrize("name", PROPERTIES)
def test_property_reads_leave_no_trace(name, compiled):
    exp = real_exp()
    if compiled:
        exp.compile_scripts()
    error = RuntimeError if name in COMPILED_ONLY and not compiled else None
    assert_no_growth(lambda: expect(error, getattr, exp, name), (exp,))


WRONG_KINDS = {
    "batch_circuits": ("_Experiment__batch_circuits", (1, 2), "batch_circuits"),
    "compiled_sweep_dict": ("_Experiment__compiled_sweep_dict", [1], "compiled_sweep_dict"),
    "compiled_sweep_len": ("_Experiment__compiled_sweep_len", {"a": 1}, "compiled_sweep_len"),
    "total_sweep_steps": ("_Experiment__total_sweep_steps", "many", "total_sweep_steps"),
    "options": ("_Experiment__options", ["shots"], "options"),
    "exp_mode": ("_Experiment__batch_circuits", "not a list", "exp_mode"),
}


@pytest.mark.parametrize("case", list(WRONG_KINDS))
def test_property_type_errors_leave_no_trace(case):
    attribute, value, name = WRONG_KINDS[case]
    exp = Experiment("t", "d")
    exp._Experiment__compiled = True
    setattr(exp, attribute, value)
    assert_no_growth(lambda: expect(TypeError, getattr, exp, name), (exp, value))


def editing_cases():
    """name -> (setup, operation(exp), objects handed over, expected error)."""
    group = make_group()
    other_group = make_group()
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0)
    gate = WaveGate(("X", "q01"), 0)
    key, script = fresh("q01.x_amp"), fresh("sweep(linspace(0, 1, 3), dim=0)")
    entity, parameter, wscript = fresh("q01"), fresh("amp"), fresh("0.25")
    names, channels = [fresh("drive")], [fresh("q01.xy")]
    options = {"shots": 10**6}

    def new():
        return Experiment("t", "d")

    def with_group():
        return real_exp(group, scripts=False)

    def set_group(exp, value):
        exp.group = value

    return {
        "group setter": (new, lambda e: set_group(e, group), (group,), None),
        "group setter None": (with_group, lambda e: set_group(e, None), (group,), None),
        "group setter replaces": (with_group, lambda e: set_group(e, other_group), (group, other_group), None),
        "set_options": (new, lambda e: e.set_options(shots=options["shots"], seed=None), (options["shots"],), None),
        "set_options unknown": (new, lambda e: e.set_options(bogus=options), (options,), KeyError),
        "set_options bad value": (new, lambda e: e.set_options(shots=options), (options,), TypeError),
        "set_options positional": (new, lambda e: e.set_options(options, entity), (options, entity), None),
        "clear_batch_circuits": (new, lambda e: e.clear_batch_circuits(), (), None),
        "reset_compiled_data": (new, lambda e: e.reset_compiled_data(), (), None),
        "set_circuit": (new, lambda e: e.set_circuit(circuit), (circuit,), None),
        "set_circuit in batch mode": (
            lambda: (lambda e: (e.clear_batch_circuits(), e)[1])(new()),
            lambda e: e.set_circuit(circuit), (circuit,), RuntimeError,
        ),
        "append_circuit": (new, lambda e: e.append_circuit(circuit), (circuit,), None),
        "add_wave_gate": (new, lambda e: e.add_wave_gate(("X", entity), 3), (entity,), None),
        "add_wave_gate short tuple": (new, lambda e: e.add_wave_gate((entity,), 3), (entity,), TypeError),
        "add_wave_gate_obj not a gate": (new, lambda e: e.add_wave_gate_obj(names, 2), (names,), TypeError),
        "add_wave_gate bad layer": (new, lambda e: e.add_wave_gate(("X", entity), entity), (entity,), TypeError),
        "add_wave_gate in batch mode": (
            lambda: (lambda e: (e.clear_batch_circuits(), e)[1])(new()),
            lambda e: e.add_wave_gate(("X", entity), 0), (entity,), RuntimeError,
        ),
        "add_wave_gate_obj": (new, lambda e: e.add_wave_gate_obj(gate, 2), (gate,), None),
        "add_wave_gate_obj bad layer": (new, lambda e: e.add_wave_gate_obj(gate, []), (gate,), TypeError),
        "set_space_parameter_script": (new, lambda e: e.set_space_parameter_script(key, script), (key, script), None),
        "set_space_parameter_script bad key": (new, lambda e: e.set_space_parameter_script(None, script), (script,), TypeError),
        "set_waveform_script_by_ids": (
            with_group, lambda e: e.set_waveform_script_by_ids(entity, 0, [0], parameter, wscript),
            (entity, parameter, wscript), None,
        ),
        "set_waveform_script_by_ids missing gate": (
            new, lambda e: e.set_waveform_script_by_ids(entity, 0, 0, parameter, wscript),
            (entity, parameter, wscript), RuntimeError,
        ),
        "set_waveform_script_by_ids bad id text": (
            with_group, lambda e: e.set_waveform_script_by_ids(entity, 0, [fresh("zz")], parameter, wscript),
            (entity, parameter, wscript), ValueError,
        ),
        "set_waveform_script_by_ids bad id type": (
            with_group, lambda e: e.set_waveform_script_by_ids(entity, 0, (0,), parameter, wscript),
            (entity, parameter, wscript), RuntimeError,
        ),
        "set_waveform_script_by_ids list of lists": (
            with_group, lambda e: e.set_waveform_script_by_ids(entity, 0, [names], parameter, wscript),
            (entity, parameter, wscript, names), TypeError,
        ),
        "set_waveform_script_by_ids bad layer": (
            with_group, lambda e: e.set_waveform_script_by_ids(entity, "zero", 0, parameter, wscript),
            (entity, parameter, wscript), TypeError,
        ),
        "set_waveform_script_by_name": (
            with_group, lambda e: e.set_waveform_script_by_name(entity, 0, names, parameter, wscript),
            (entity, parameter, wscript, names), None,
        ),
        "set_waveform_script_by_name missing gate": (
            new, lambda e: e.set_waveform_script_by_name(entity, 0, names, parameter, wscript),
            (entity, parameter, wscript, names), RuntimeError,
        ),
        "set_waveform_script_by_channel": (
            with_group, lambda e: e.set_waveform_script_by_channel(entity, 0, channels, parameter, wscript),
            (entity, parameter, wscript, channels), None,
        ),
        "set_waveform_script_by_channel bad layer": (
            with_group, lambda e: e.set_waveform_script_by_channel(entity, None, channels, parameter, wscript),
            (entity, parameter, wscript, channels), TypeError,
        ),
        "set_waveform_script_by_channel missing gate": (
            new, lambda e: e.set_waveform_script_by_channel(entity, 4, channels, parameter, wscript),
            (entity, parameter, wscript, channels), RuntimeError,
        ),
        "fill_empty_wave_gates": (
            lambda: (lambda e: (e.add_wave_gate(("X", "q01"), 0), e)[1])(Experiment("t", "d", group)),
            lambda e: e.fill_empty_wave_gates(), (group,), None,
        ),
        "fill_empty_wave_gates with group argument": (
            lambda: (lambda e: (e.add_wave_gate(("X", "q01"), 0), e)[1])(new()),
            lambda e: e.fill_empty_wave_gates(group=group, space_timestamp=None), (group,), None,
        ),
        "fill_empty_wave_gates without group": (
            lambda: (lambda e: (e.add_wave_gate(("X", "q01"), 0), e)[1])(new()),
            lambda e: e.fill_empty_wave_gates(), (), RuntimeError,
        ),
        "fill_empty_wave_gates bad timestamp": (
            with_group, lambda e: e.fill_empty_wave_gates(space_timestamp=entity), (entity,), TypeError,
        ),
    }


@pytest.mark.parametrize("case", list(editing_cases()))
def test_editing_operations_leave_no_trace(case):
    setup, operation, given, error = editing_cases()[case]
    assert_no_growth(lambda: expect(error, operation, setup()), given)


# ---- compilation -----------------------------------------------------------------------------


def compile_cases():
    group = make_group()

    def scripted(space=None, wave=None, gate=True, batch=False, name=None, channel=None):
        exp = Experiment("t", "d", group)
        if gate:
            exp.add_wave_gate(("X", "q01"), 0)
            exp.fill_empty_wave_gates()
        for key, script in (space or {}).items():
            exp.set_space_parameter_script(key, script)
        for parameter, script in (wave or {}).items():
            exp.set_waveform_script_by_ids("q01", 0, 0, parameter, script)
        if name is not None:
            exp.set_waveform_script_by_name("q01", 0, name, "amp", "0.1")
        if channel is not None:
            exp.set_waveform_script_by_channel("q01", 0, channel, "amp", "0.1")
        if batch:
            exp.append_circuit(exp.circuit)
        return exp

    swept = {"q01.x_amp": "sweep(linspace(0, 1, 3), dim=0)", "fixed": "0.5",
             "two": "sweep([1, 2], dim=1)"}
    return {
        "sweeps": (lambda: scripted(swept, {"amp": "space('q01.x_amp') * 0.5", "phase": "0.1"}), {}, None),
        "waveform sweep": (lambda: scripted({}, {"amp": "sweep([0.1, 0.2], dim=0)"}), {}, None),
        "by name and channel": (lambda: scripted(name="drive", channel=["q01.xy"]), {}, None),
        "unknown wave name": (lambda: scripted(name="nope"), {}, RuntimeError),
        "unknown channel": (lambda: scripted(channel="q09.z"), {}, RuntimeError),
        "unknown wave id": (lambda: _unknown_id(scripted), {}, RuntimeError),
        "batch": (lambda: scripted({"fixed": "0.5"}, {}, batch=True), {}, None),
        "with group argument": (lambda: scripted(swept), {"group": group, "space_timestamp": 5}, None),
        "syntax error": (lambda: scripted({"a": "1 +"}), {}, ScriptError),
        "runtime error": (lambda: scripted({"a": "1 / 0"}), {}, ScriptError),
        "unknown space key": (lambda: scripted({}, {"amp": "space('nowhere')"}), {}, ScriptError),
        "sweep in batch mode": (lambda: scripted({"a": "sweep([1, 2], dim=0)"}, batch=True), {}, RuntimeError),
        "mismatched sweep lengths": (
            lambda: scripted({"a": "sweep([1, 2], dim=0)", "b": "sweep([1, 2, 3], dim=0)"}), {}, RuntimeError,
        ),
        "sweep dimension with a gap": (lambda: scripted({"a": "sweep([1, 2], dim=1)"}), {}, RuntimeError),
        "high sweep dimension": (lambda: scripted({"a": "sweep([1, 2], dim=7)"}), {}, None),
        "no group": (lambda: Experiment("t", "d"), {}, RuntimeError),
        "bad timestamp": (lambda: scripted(swept), {"space_timestamp": "now"}, TypeError),
    }


def _unknown_id(scripted):
    exp = scripted()
    exp.set_waveform_script_by_ids("q01", 0, [99], "amp", "1")
    return exp


@pytest.mark.parametrize("case", list(compile_cases()))
def test_compilation_leaves_no_trace(case):
    setup, kwargs, error = compile_cases()[case]
    given = tuple(value for value in kwargs.values() if not isinstance(value, int))
    assert_no_growth(lambda: expect(error, setup().compile_scripts, **kwargs), given)


# ---- runs ------------------------------------------------------------------------------------


def quiet(**kwargs):
    return None


def run_cases():
    group = make_group()
    options = {"shots": 5}

    def answering(**kwargs):
        result = Result(item_id_start=kwargs["steps"])
        return {"result": result, "interrupt": kwargs["steps"] == 1}

    def raising(**kwargs):
        raise Boom("callback failed")

    def positional_only(wave_package):
        return None

    def editing(**kwargs):
        kwargs["exp_obj"].set_space_parameter_script("late", "1")
        kwargs["pos"][0] = 0
        return {"result": "not a result", "interrupt": 1}

    def compiled_real(batch=False):
        exp = real_exp(group, batch=batch)
        exp.compile_scripts()
        return exp

    return {
        "run_exp": (lambda: compiled_real(), "run_exp", (quiet,), {"options": options}, None),
        "run_exp compiling": (lambda: real_exp(group), "run_exp", (quiet,), {"group": group}, None),
        "run_exp batch": (lambda: compiled_real(batch=True), "run_exp", (quiet,), {}, None),
        "run_exp answering": (lambda: compiled_real(), "run_exp", (answering,), {}, None),
        "run_exp editing callback": (lambda: compiled_real(), "run_exp", (editing,), {}, None),
        "run_exp callback raising": (lambda: compiled_real(), "run_exp", (raising,), {}, Boom),
        "run_exp callback signature": (lambda: compiled_real(), "run_exp", (positional_only,), {}, TypeError),
        "run_exp callback not callable": (lambda: compiled_real(), "run_exp", (options,), {}, TypeError),
        "run_exp bad options": (lambda: compiled_real(), "run_exp", (quiet,), {"options": [1]}, TypeError),
        "run_exp compile fails": (
            lambda: (lambda e: (e.set_space_parameter_script("x", "1 +"), e)[1])(real_exp(group)),
            "run_exp", (quiet,), {}, ScriptError,
        ),
        "run_exp_normal": (lambda: compiled_real(), "run_exp_normal", (quiet,), {"options": options}, None),
        "run_exp_normal with timestamp": (
            lambda: real_exp(group), "run_exp_normal", (quiet,), {"group": group, "space_timestamp": 3.5}, None,
        ),
        "run_exp_normal bad timestamp": (lambda: real_exp(group), "run_exp_normal", (quiet,),
                                         {"space_timestamp": "x"}, TypeError),
        "run_exp_batch_circuit": (lambda: compiled_real(batch=True), "run_exp_batch_circuit", (quiet,), {}, None),
        "run_exp_batch_circuit callback raising": (
            lambda: compiled_real(batch=True), "run_exp_batch_circuit", (raising,), {}, Boom,
        ),
        "run_exp_batch_circuit empty": (
            lambda: (lambda e: (e.clear_batch_circuits(), e)[1])(compiled_real()),
            "run_exp_batch_circuit", (quiet,), {}, Exception,
        ),
        "fake run with re-evaluation": (lambda: fake_exp(4), "run_exp", (answering,), {}, None),
        "fake run with a bad wave id": (
            lambda: (lambda e: (e._Experiment__compiled_waveform_parameter_list[0].update(wave_ids=[5]), e)[1])(
                fake_exp(3)),
            "run_exp", (quiet,), {}, IndexError,
        ),
        "fake run with an unknown parameter": (
            lambda: (lambda e: (e._Experiment__compiled_waveform_parameter_list[0].update(parameter="x"), e)[1])(
                fake_exp(3)),
            "run_exp", (quiet,), {}, RuntimeError,
        ),
    }


@pytest.mark.parametrize("case", list(run_cases()))
def test_runs_leave_no_trace(case):
    setup, method, args, kwargs, error = run_cases()[case]
    given = args + tuple(value for value in kwargs.values() if isinstance(value, (dict, list, Group)))
    assert_no_growth(lambda: expect(error, getattr(setup(), method), *args, **kwargs), given)


# ---- validation, cloning and the serialized form -------------------------------------------


def persistence_cases():
    group = make_group()
    normal = real_exp(group)
    normal.info = {"owner": [1, 2]}
    normal.template_data = {"points": (1, 2)}
    batch = real_exp(group, batch=True)
    batch._Experiment__waveform_script.clear()
    data = normal.serialize()
    batch_data = batch.serialize()
    tuple_ids = dict(data, waveform_script=[dict(data["waveform_script"][0], wave_ids=(0,))])
    no_target = dict(data, waveform_script=[dict(data["waveform_script"][0], search_type="?")])
    bad_layer = dict(data, waveform_script=[dict(data["waveform_script"][0], layer="zero")])
    missing_gate = dict(data, waveform_script=[dict(data["waveform_script"][0], layer=9)])
    bad_script = dict(data, space_parameter_script={"k": 5})
    missing = {key: value for key, value in data.items() if key != "options"}
    broken = Experiment("t", "d", group)
    broken.set_space_parameter_script("x", "1 +")
    return {
        "serialize": (lambda: normal.serialize(), (normal,), None),
        "serialize batch": (lambda: batch.serialize(), (batch,), None),
        "clone": (lambda: normal.clone(), (normal,), None),
        "clone batch": (lambda: batch.clone(), (batch,), None),
        "valid": (lambda: normal.valid(), (normal,), None),
        "valid failing": (lambda: broken.valid(), (broken,), ScriptError),
        "valid without group": (lambda: Experiment("t", "d").valid(), (), RuntimeError),
        "deserialize": (lambda: Experiment.deserialize(data), (data,), None),
        "deserialize with group": (lambda: Experiment.deserialize(data, group), (data, group), None),
        "deserialize batch": (lambda: Experiment.deserialize(batch_data), (batch_data,), None),
        "deserialize text": (lambda: Experiment.deserialize("{}"), (), TypeError),
        "deserialize None": (lambda: Experiment.deserialize(None), (), TypeError),
        "deserialize missing key": (lambda: Experiment.deserialize(missing), (missing,), KeyError),
        "deserialize tuple ids": (lambda: Experiment.deserialize(tuple_ids), (tuple_ids,), RuntimeError),
        "deserialize no target": (lambda: Experiment.deserialize(no_target), (no_target,), RuntimeError),
        "deserialize bad layer": (lambda: Experiment.deserialize(bad_layer), (bad_layer,), ValueError),
        "deserialize missing gate": (lambda: Experiment.deserialize(missing_gate), (missing_gate,), RuntimeError),
        "deserialize bad script": (lambda: Experiment.deserialize(bad_script), (bad_script,), TypeError),
        "deserialize bad batch list": (
            lambda: Experiment.deserialize(dict(batch_data, batch_circuit=5)), (batch_data,), TypeError,
        ),
        "deserialize bad circuit": (
            lambda: Experiment.deserialize(dict(data, wave_circuit={"gates": 5})), (data,), Exception,
        ),
    }


@pytest.mark.parametrize("case", list(persistence_cases()))
def test_persistence_leaves_no_trace(case):
    operation, given, error = persistence_cases()[case]
    assert_no_growth(lambda: expect(error, operation), given)


# ---- resident size over long runs -----------------------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_LIMIT = 4 * 1024 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def test_a_long_run_keeps_resident_memory_flat():
    steps = 100_000
    exp = fake_exp(steps)
    marks = {}

    def callback(**kwargs):
        step = kwargs["steps"]
        if step == 5_000:
            gc.collect()
            marks["warm"] = resident_bytes()
        return {"interrupt": False} if step % 2 else None

    result = exp.run_exp(callback)
    gc.collect()
    end = resident_bytes()
    assert isinstance(result, Result)
    assert exp._Experiment__group.temporary["a"] == steps - 1
    assert end - marks["warm"] < RSS_LIMIT, f"resident size grew by {(end - marks['warm']) >> 10} KiB"


def test_many_build_compile_run_cycles_keep_resident_memory_flat():
    cycles = 10_000
    warm = None
    group = make_group()
    for cycle in range(cycles):
        exp = Experiment("t", "d", group)
        exp.add_wave_gate(("X", "q01"), 0)
        exp.set_space_parameter_script("q01.x_amp", "sweep([0.1, 0.2], dim=0)")
        exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "0.25")
        exp.compile_scripts()
        result = exp.run_exp(quiet)
        data = exp.serialize()
        twin = exp.clone()
        if cycle == 1_000:
            gc.collect()
            warm = resident_bytes()
    gc.collect()
    end = resident_bytes()
    assert result.dims == [2, 1, 1] and twin.serialize() == data
    assert end - warm < RSS_LIMIT, f"resident size grew by {(end - warm) >> 10} KiB"


def test_the_measurement_notices_a_leak():
    kept = []
    given = fresh("kept value")
    with pytest.raises(AssertionError, match="reference counts moved"):
        assert_no_growth(lambda: kept.append(given), (given,))
    with pytest.raises(AssertionError, match="more"):
        assert_no_growth(lambda: kept.append([object()]))
