"""Ramsey: X/2, a free evolution, X/2, readout, with the delay swept and the drive detuned.

The delay is the start time ``t0`` of the second X/2 pulse within its gate:
its layer stretches, and the readout follows.  Both X/2 pulses are driven
1.5 MHz above the qubit, so their relative phase turns at 1.5 MHz with the
delay and the fringes decay with the qubit's ``t2``.
"""

from _common import save_and_run

from varnok_client.experiment.experiment import Experiment


def build():
    exp = Experiment("Ramsey", "X/2 - delay - X/2 on q01, drive detuned by 1.5 MHz, delay 0 to 4000 ns.")
    exp.add_wave_gate(("X/2", "q01"), 0)
    exp.add_wave_gate(("X/2", "q01"), 1)
    exp.add_wave_gate(("M", "q01"), 2)
    for layer in (0, 1):
        # A fixed value (no sweep): the carrier offset of both pulses, in Hz.
        exp.set_waveform_script_by_channel("q01", layer, "q01.xy", "detuning", "1.5e6")
    exp.set_waveform_script_by_channel("q01", 1, "q01.xy", "t0", "sweep(linspace(0, 4000, 81), dim=0)")
    return exp


if __name__ == "__main__":
    save_and_run("ramsey", build())
