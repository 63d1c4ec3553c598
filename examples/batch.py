"""A batch of circuits: ten short gate sequences on q01, each read out, one step per circuit.

``append_circuit`` switches the experiment to batch mode: the run exports the
circuits one after another instead of sweeping values through one circuit.
"""

from _common import save_and_run

from varnok_client.experiment.experiment import Experiment
from varnok_client.waveform import WaveCircuit

SEQUENCES = [
    ["I"],
    ["X/2"],
    ["X"],
    ["Y/2"],
    ["Y"],
    ["X/2", "X/2"],
    ["X", "X"],
    ["X/2", "-X/2"],
    ["Y/2", "X"],
    ["X/2", "Y/2", "X/2"],
]


def build():
    exp = Experiment("Gate sequences", "10 short gate sequences on q01, one circuit each, each ending in M.")
    for sequence in SEQUENCES:
        circuit = WaveCircuit()
        for layer, gate in enumerate(sequence):
            circuit.add_gate((gate, "q01"), layer)  # no waveforms yet: the run fills them
        circuit.add_gate(("M", "q01"), len(sequence))
        exp.append_circuit(circuit)
    return exp


if __name__ == "__main__":
    save_and_run("batch", build())
