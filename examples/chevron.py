"""Chevron: X amplitude (sweep dimension 0) against drive detuning (dimension 1).

Two scripts on the same pulse sweep two dimensions; the run visits every
pair, the last dimension fastest, and the plot is a colour map.
"""

from _common import save_and_run

from varnok_client.experiment.experiment import Experiment


def build():
    exp = Experiment("Chevron", "X on q01: amplitude 0 to 2 turns against drive detuning -60 to +60 MHz.")
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.set_waveform_script_by_channel(
        "q01", 0, "q01.xy", "amp", 'sweep(linspace(0, 4 * space("q01.x_amp"), 31), dim=0)'
    )
    exp.set_waveform_script_by_channel(
        "q01", 0, "q01.xy", "detuning", "sweep(linspace(-6e7, 6e7, 41), dim=1)"
    )
    return exp


if __name__ == "__main__":
    save_and_run("chevron", build())
