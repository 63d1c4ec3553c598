"""Builders shared by the persistence and reliability tests (also imported by their child interpreters)."""

from collections.abc import Mapping

from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.waveform import WaveCircuit

PROPERTIES = ["exp_mode", "group", "batch_circuits", "circuit", "gate_compiler", "is_compiled", "compiled_sweep_dict",
              "compiled_waveform_parameter_list", "compiled_space_parameter_dict", "compiled_sweep_len",
              "total_sweep_steps", "options", "options_config_manager", "options_setup"]  # every property
CALIBRATION = {"q01.freq": 5e9, "q01.x_amp": 0.5, "q01.x_width": 40.0, "q01.ro_amp": 0.2,
               "q01.ro_width": 400.0, "q01.ro_freq": 6.5e9}


def make_group():
    return Group("g", dict(CALIBRATION))


def build_normal(group=None):
    """X then M on q01, a five-point amplitude sweep re-evaluated at each step, one script of each kind,
    options and extras."""
    exp = Experiment("Rabi", "amplitude sweep", make_group() if group is None else group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.fill_empty_wave_gates()
    exp.set_space_parameter_script("fixed", "0.7")
    exp.set_space_parameter_script("q01.x_amp", "sweep(linspace(0, 1, 5), dim=0)")
    exp.set_waveform_script_by_ids("q01", 0, 0, "amp", "space('q01.x_amp') * 0.5")
    exp.set_waveform_script_by_name("q01", 1, "readout", "amp", "0.3")
    exp.set_waveform_script_by_channel("q01", 0, "q01.xy", "phase", "0.1")
    exp.set_options(shots=100, seed=3)
    exp.template, exp.template_data = "rabi-template", {"points": [1, 2, 3]}
    exp.info, exp.attachment = {"owner": "lab"}, {"notes": ["first"]}
    return exp


def build_batch(group=None):
    """An own circuit carrying waveform scripts, then two batch circuits (the second with an M gate)."""
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
    return exp


def quiet(**kwargs):  # a run callback that answers nothing
    return None


def patched(owner, name, value, action):
    """Runs action() with owner.name replaced by value."""
    original = getattr(owner, name)
    setattr(owner, name, value)
    try:
        return action()
    finally:
        setattr(owner, name, original)


def one_gate_circuit():
    circuit = WaveCircuit()
    circuit.add_gate(("X", "q01"), 0)
    return circuit.serialize()


def minimal(**extra):
    """The smallest serialized form that restores: the required keys and a one-gate circuit."""
    data = {"title": "t", "desc": "d", "wave_circuit": one_gate_circuit(), "waveform_script": [],
            "space_parameter_script": {}, "options": {}}
    data.update(extra)
    return data


def record(search_type="ids", **fields):
    """A waveform script record for the X gate of `minimal`."""
    return {"search_type": search_type, "entity": "q01", "layer": 0, "parameter": "amp", "script": "0.1", **fields}


class Logged(Mapping):
    """A read-only mapping that reports each item read ("get") and membership test ("has") to `log`;
    keys in `hide` deny membership."""

    def __init__(self, data, log, hide=()):
        self.data, self.log, self.hide = data, log, hide

    def __getitem__(self, key):
        self.log("get", key)
        return self.data[key]

    def __contains__(self, key):
        self.log("has", key)
        return key in self.data and key not in self.hide

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)
