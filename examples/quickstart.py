"""Build, compile and run a small amplitude sweep against a callback.

A drive pulse X and a readout M on qubit q01; a waveform script sweeps the drive amplitude
over 11 points; the callback reads the peak drive amplitude out of each step's wave package.
"""

import numpy as np

from varnok_client.experiment.experiment import Experiment
from varnok_client.experiment.result import Result
from varnok_client.group import Group

CALIBRATION = {
    "q01.freq": 5.0e9,
    "q01.x_amp": 0.5,
    "q01.x_width": 40.0,
    "q01.drag_beta": 0.0,
    "q01.ro_amp": 0.2,
    "q01.ro_width": 400.0,
    "q01.ro_freq": 6.5e9,
}


def peak_drive(wave_package, exp_obj, pos, steps, options):
    """Records the largest drive amplitude of this step's package."""
    result = Result(item_id_start=steps)
    result.add("peak_amp", float(np.abs(wave_package.channels["q01.xy"]).max()))
    return {"result": result}


def main():
    group = Group("demo", CALIBRATION)
    exp = Experiment("Amplitude sweep", "Drive amplitude of X on q01", group)
    exp.add_wave_gate(("X", "q01"), 0)
    exp.add_wave_gate(("M", "q01"), 1)
    exp.set_waveform_script_by_channel(
        "q01", 0, "q01.xy", "amp", "sweep(linspace(0, 2 * space('q01.x_amp'), 11), dim=0)"
    )
    exp.compile_scripts()
    print(f"compiled: {exp.total_sweep_steps} steps, sweep lengths {exp.compiled_sweep_len}")
    result = exp.run_exp(peak_drive)
    for amp in result.data["peak_amp"].ravel():
        print(f"peak drive amplitude {amp:.3f}")


if __name__ == "__main__":
    main()
