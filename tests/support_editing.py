"""Fakes and helpers shared by the tests of construction, properties, options and editing."""

from varnok_client.waveform import Square, WaveCircuit


class Text(str):
    """A string subclass, which typed string parameters refuse."""


class Falsy:
    def __bool__(self):
        return False


def wave(entity, name="drive"):
    return Square(f"{entity}.xy", name=name, amp=0.5, width=20)


def circuit_of(*gates):
    """A real circuit: one gate per (name, entity, layer[, waves])."""
    circuit = WaveCircuit()
    for name, entity, layer, *waves in gates:
        circuit.add_gate((name, entity), layer, *waves)
    return circuit


class Package:
    """What a gate compiler answers. False by default: the engine must look at its waves, not at its truth."""

    def __init__(self, waves, truth=False):
        self.waves, self.truth = waves, truth

    def __bool__(self):
        return self.truth


def fresh(pair):
    return Package([wave(pair[1] if isinstance(pair[1], str) else pair[1][0])])


class SpyCompiler:
    compiler_name = "spy"

    def __init__(self, answer=fresh):
        self.calls, self.answer = [], answer

    def compile(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer(args[0])

    def names(self):
        return [args[0][0] for args, _ in self.calls]


class SpyCircuit:
    """Stands in for the experiment's circuit: records insertions and searches, and finds no gate."""

    def __init__(self):
        self.calls = []

    def add_wave_gate_obj(self, *args, **kwargs):
        self.calls.append(("add", args, kwargs))
        return 41

    def search_gates(self, *args, **kwargs):
        self.calls.append(("search", args, kwargs))
        return ()
