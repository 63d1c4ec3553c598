"""What every example does after building its experiment: save it, run it on the simulator, plot it.

``python examples/<name>.py [OUT_DIR]`` writes ``<name>.json`` (the saved
experiment) beside the script, or into OUT_DIR when given, then runs it on
the built-in demo device and writes ``<name>.npz``, the labelled dataset
``<name>.nc`` and the plot ``<name>.png`` into OUT_DIR (default: the current
directory).
"""

import sys
from pathlib import Path

from varnok_client.cli import save_experiment
from varnok_client.data import save_dataset, to_dataset
from varnok_client.plots import plot_dataset
from varnok_client.sim import SimulatedDevice, demo_group

HERE = Path(__file__).resolve().parent


def save_and_run(name, exp, argv=None):
    argv = sys.argv[1:] if argv is None else argv
    out_dir = Path(argv[0]) if argv else None
    if out_dir is not None:
        out_dir.mkdir(parents=True, exist_ok=True)
    # Saved before running, so the file holds the circuit and the scripts
    # only; the gates get their waveforms from the device it is run on.
    save_experiment(exp, (out_dir or HERE) / f"{name}.json")

    group = demo_group()
    device = SimulatedDevice(group)
    result = exp.run_exp(device.callback, options={"shots": 2000, "seed": 7}, group=group)

    data_dir = out_dir or Path.cwd()
    result.save(data_dir / f"{name}.npz")
    dataset = to_dataset(result, exp, shots=2000, seed=7)
    save_dataset(dataset, data_dir / f"{name}.nc")
    plot_dataset(dataset, data_dir / f"{name}.png")
    for value_name, values in result.data.items():
        print(f"{exp.title}: {value_name} over {values.size} steps, mean {values.mean():.3f}")
    group.space.close()
    return result
