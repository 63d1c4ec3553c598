"""Rabi: the amplitude of X on q01 swept over one and a half full turns, then a readout.

On the demo device the calibrated X amplitude is a half turn (a pi pulse),
so P(|1>) peaks at ``q01.x_amp`` and returns to 0 at twice that.
"""

from _common import save_and_run

from varnok_client.experiment.experiment import Experiment


def build():
    exp = Experiment(
        "Rabi", "Amplitude of X on q01 swept over 1.5 full turns (the X amplitude is half a turn)."
    )
    exp.add_wave_gate(("X", "q01"), 0)  # layer 0: the drive pulse, filled from the calibration
    exp.add_wave_gate(("M", "q01"), 1)  # layer 1: the readout
    # The amplitude of the pulse on channel q01.xy of the gate in layer 0,
    # 61 points along sweep dimension 0, scaled by the device's own X amplitude.
    exp.set_waveform_script_by_channel(
        "q01", 0, "q01.xy", "amp", 'sweep(linspace(0, 3 * space("q01.x_amp"), 61), dim=0)'
    )
    return exp


if __name__ == "__main__":
    save_and_run("rabi", build())
