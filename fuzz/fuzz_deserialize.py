"""Fuzzes Experiment.deserialize and everything a restored experiment can then do.

Inputs are either JSON text (the seed corpus holds real serialized experiments), which is
decoded and then mutated, or raw bytes from which a nested JSON-like value is built.  Any Python
exception is an acceptable answer to bad data; only a crash, a hang or a memory blow-up is a bug.
"""

import copy
import json
import sys

import atheris

with atheris.instrument_imports(include=["varnok_client"]):
    from varnok_client.experiment.experiment import Experiment
    from varnok_client.group import Group
    from varnok_client.waveform import WaveCircuit

CALIBRATION = {"q01.freq": 5e9, "q01.x_amp": 0.5, "q01.x_width": 40.0, "q01.ro_amp": 0.2,
               "q01.ro_width": 400.0, "q01.ro_freq": 6.5e9}
KEYS = ["title", "desc", "exp_mode", "template", "template_data", "space", "wave_circuit", "batch_circuit",
        "waveform_script", "space_parameter_script", "options", "info", "attachment", "entity", "layer",
        "parameter", "script", "search_type", "channels", "wave_names", "wave_ids", "gate_name", "gates",
        "waves", "format", "version", "shots", "seed", "id", "name", "channel", "shape", "wave_parameters"]
WORDS = ["normal", "batch_circuit", "ids", "name", "channel", "q01", "q02", "X", "Y", "M", "drive",
         "readout", "q01.xy", "q01.ro", "amp", "phase", "t0", "ratio", "varnok.wave_circuit", "0", "1",
         "sweep(linspace(0, 1, 3), dim=0)", "space('q01.x_amp') * 0.5", "sweep([1, 2], dim=1)", "1 +"]
MAX_STEPS = 50
# Exporting a wave package samples every wave over its whole time span, so the memory a run takes
# grows with the wave times; runs are only attempted for circuits of realistic duration.
MAX_TIME = 1e5
TIMED_KEYS = ("t0", "width", "sigma", "ratio")


def realistic(value):
    if isinstance(value, dict):
        for key, item in value.items():
            if key in TIMED_KEYS and isinstance(item, (int, float)) and not abs(item) <= MAX_TIME:
                return False
            if not realistic(item):
                return False
    elif isinstance(value, (list, tuple)):
        return all(realistic(item) for item in value)
    return True


def make_value(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 11 if depth < 6 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-3, 12)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if kind == 4:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind == 5:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 6:
        return fdp.PickValueInList(WORDS)
    if kind in (7, 8):
        return [make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 9:
        return tuple(make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return {make_key(fdp): make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))}


def make_key(fdp):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice == 0:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    if choice == 1:
        return fdp.ConsumeIntInRange(0, 3)
    return fdp.PickValueInList(KEYS)


def containers(value, found):
    if isinstance(value, dict):
        found.append(value)
        for item in value.values():
            containers(item, found)
    elif isinstance(value, list):
        found.append(value)
        for item in value:
            containers(item, found)
    return found


def mutate(fdp, data):
    """Replaces, adds or removes a few entries somewhere inside ``data``."""
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        places = containers(data, [])
        if not places:
            return make_value(fdp, 0)
        place = places[fdp.ConsumeIntInRange(0, len(places) - 1)]
        action = fdp.ConsumeIntInRange(0, 2)
        if isinstance(place, dict):
            keys = list(place)
            if action == 0 and keys:
                del place[keys[fdp.ConsumeIntInRange(0, len(keys) - 1)]]
            elif action == 1 and keys:
                place[keys[fdp.ConsumeIntInRange(0, len(keys) - 1)]] = make_value(fdp, 2)
            else:
                place[make_key(fdp)] = make_value(fdp, 2)
        else:
            if action == 0 and place:
                del place[fdp.ConsumeIntInRange(0, len(place) - 1)]
            elif action == 1 and place:
                place[fdp.ConsumeIntInRange(0, len(place) - 1)] = make_value(fdp, 2)
            else:
                place.append(make_value(fdp, 2))
    return data


def short_run(**kwargs):
    return {"interrupt": True} if kwargs["steps"] >= MAX_STEPS else None


def exercise(data):
    snapshot = copy.deepcopy(data)
    try:
        exp = Experiment.deserialize(data, Group("g", dict(CALIBRATION)) if isinstance(data, dict) and
                                     data.get("title") == "with group" else None)
    except Exception:
        return
    try:
        form = exp.serialize()
        exp.clone()
    except Exception:
        form = None
    try:
        exp.compile_scripts(group=Group("g", dict(CALIBRATION)))
        if exp.total_sweep_steps <= 10 * MAX_STEPS and form is not None and realistic(form):
            exp.run_exp(short_run)
    except Exception:
        pass
    del exp
    if type(snapshot) is dict and "wave_circuit" in snapshot:
        # The input belongs to the caller: a restore reads it and must leave it as it was.
        try:
            same = json.dumps(snapshot, sort_keys=True, default=repr) == json.dumps(data, sort_keys=True, default=repr)
        except Exception:  # keys of mixed types cannot be sorted; compare without sorting
            same = repr(snapshot) == repr(data)
        if not same:
            raise AssertionError("deserialize changed its input")


def TestOneInput(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    if raw[:1] == b"{":
        try:
            data = json.loads(raw.decode("utf-8", "replace"))
        except ValueError:
            data = None
        if data is not None:
            exercise(data)
            return
    base = fdp.ConsumeIntInRange(0, 2)
    if base == 0:
        data = make_value(fdp, 0)
    else:
        data = mutate(fdp, copy.deepcopy(SEEDS[base - 1]))
    exercise(data)


def seeds():
    group = Group("g", dict(CALIBRATION))
    exp = Experiment("Rabi", "amplitude", group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates()
    exp.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 3), dim=0)")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('q01.x_amp') * 0.5")
    exp.set_waveform_script_by_name("q01", 1, "readout", "amp", "0.3")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "0.1")
    batch = Experiment("Batch", "two", group)
    batch.append_circuit(WaveCircuit())
    second = WaveCircuit()
    second.add_gate(("M", "q01"), 0)
    batch.append_circuit(second)
    return [json.loads(json.dumps(exp.serialize())), json.loads(json.dumps(batch.serialize()))]


SEEDS = seeds()

if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
