"""The ``varnok`` command line: run, validate and demonstrate experiments on the simulated device.

Every file is written whole or not at all (a temporary file beside the
target, then an atomic rename).  A user error (a missing or malformed file,
a refused script, an experiment that does not compile or cannot run on the
device) is reported in one line on stderr with exit status 2.  Ctrl-C during
a run stops it at the end of the current step; the data gathered so far is
still saved and the exit status is 130.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import os
import sqlite3
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__
from .data import DatasetError, circuit_label, describe_dataset, open_dataset, to_dataset
from .experiment.result import Result
from .plots import plot_dataset
from .runner import (
    EXIT_INTERRUPTED,
    EXIT_OK,
    RunOutcome,
    UserError,
    build_group,
    close_group,
    compile_experiment,
    finish_run,
    load_experiment,
    load_space,
    read_experiment_data,
    run_on_simulator,
    save_experiment,
    write_output,
)
from .group import Space, SpaceError
from .space_store import redact_url

__all__ = [
    "main",
    "UserError",
    "RunOutcome",
    "build_group",
    "load_experiment",
    "load_space",
    "read_experiment_data",
    "run_on_simulator",
    "save_experiment",
    "plot_result",
]

EXIT_USER_ERROR = 2
#: A calibration whose fit failed or gave an implausible value: nothing was written.
EXIT_REFUSED = 1

# -- compiling and describing ------------------------------------------------------

_UNITS = {"t0": "ns", "width": "ns", "sigma": "ns", "beta": "ns", "phase": "rad"}
_FREQUENCIES = {"freq", "detuning"}


def _axis_label_and_scale(entry: dict[str, Any]) -> tuple[str, float]:
    kind = entry.get("t")
    if kind == "c":
        return "circuit", 1.0
    if kind == "p":
        name = str(entry.get("key"))
        quantity = name.rsplit(".", 1)[-1]
    else:
        quantity = str(entry.get("parameter"))
        name = f"{quantity} of {entry.get('entity')} layer {entry.get('layer')}"
    if quantity in _FREQUENCIES or quantity.endswith("freq"):
        return f"{name} (MHz)", 1e-6
    unit = _UNITS.get(quantity)
    return (f"{name} ({unit})" if unit else name), 1.0


def describe_sweep(exp: Any) -> list[str]:
    """Lines describing a compiled experiment's sweep, for ``varnok validate``."""
    lengths = [int(n) for n in exp.compiled_sweep_len]
    lines = [f"mode {exp.exp_mode}, {exp.total_sweep_steps} steps, sweep lengths {lengths}"]
    if exp.exp_mode == "batch_circuit":
        for index, circuit in enumerate(exp.batch_circuits):
            lines.append(f"  circuit {index}: {circuit_label(circuit)}")
    else:
        for entries in exp.compiled_sweep_dict.values():
            for entry in entries:
                label, _ = _axis_label_and_scale(entry)
                label = label.rsplit(" (", 1)[0] if label.endswith(")") else label
                kind = {"p": "space parameter", "w": "waveform parameter"}.get(entry.get("t"), "sweep")
                try:
                    values = np.asarray(entry.get("value"), dtype=float)
                    span = f"{values.min():g} .. {values.max():g}" if values.size else "no values"
                except (TypeError, ValueError):
                    span = "non-numeric values"
                lines.append(f"  dimension {entry.get('dim')}: {kind} {label}, {entry.get('len')} points, {span}")
    fixed = exp.compiled_space_parameter_dict
    for key, value in fixed.items():
        lines.append(f"  fixed space parameter {key} = {value!r}")
    if len(lines) == 1:
        lines.append("  nothing is swept: one step")
    return lines


# -- plotting --------------------------------------------------------------------


def plot_result(result: Result, exp: Any, path: str | os.PathLike[str], **run_info: Any) -> None:
    """Draw every readout of ``result`` against the experiment's sweep into ``path`` (PNG).

    The plot is drawn from the run's dataset, exactly as ``varnok plot`` redraws a saved one.
    """
    plot_dataset(to_dataset(result, exp, **run_info), path)

# -- commands --------------------------------------------------------------------


def physics_of(args: argparse.Namespace) -> Any:
    """The simulated device's truth the command line asked for."""
    from .sim import demo_physics

    return demo_physics() if getattr(args, "device", "demo") == "demo" else None


def _check_suffix(path: Path, suffix: str, what: str) -> Path:
    if path.suffix.lower() != suffix:
        raise UserError(f"the {what} file must end in {suffix}: {str(path)!r}")
    return path


def _command_run(args: argparse.Namespace) -> int:
    source = Path(args.experiment)
    data_path = _check_suffix(Path(args.out) if args.out else Path(source.stem + ".npz"), ".npz", "data")
    plot_path = _check_suffix(Path(args.plot) if args.plot else Path(source.stem + ".png"), ".png", "plot")
    for path in (data_path, plot_path):
        if not (path.parent if str(path.parent) else Path(".")).is_dir():
            raise UserError(f"output directory {str(path.parent)!r} does not exist")
    group = build_group(args.space)
    try:
        exp = load_experiment(source, group)
        outcome = run_on_simulator(exp, group, args.timestamp, args.shots, args.seed, args.quiet, physics_of(args))
        return finish_run(exp, outcome, data_path, plot_path, args.quiet)
    finally:
        close_group(group)


def _command_validate(args: argparse.Namespace) -> int:
    group = build_group(args.space)
    try:
        exp = load_experiment(args.experiment, group)
        compile_experiment(exp, group, args.timestamp)
        print(f"{args.experiment}: {exp.title!r} compiles")
        print("\n".join(describe_sweep(exp)))
        return EXIT_OK
    finally:
        close_group(group)


def _command_demo(args: argparse.Namespace) -> int:
    from .demos import build_demo
    from .sim import demo_group

    out_dir = Path(args.out_dir)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UserError(f"cannot create output directory {str(out_dir)!r}: {exc.strerror or exc}") from None
    exp = build_demo(args.name)
    experiment_path = out_dir / f"{args.name}.json"
    # Saved before running: the file holds the circuit and scripts only,
    # with gates left for the device calibration to fill.
    save_experiment(exp, experiment_path)
    group = demo_group()
    try:
        outcome = run_on_simulator(exp, group, shots=args.shots, seed=args.seed, quiet=args.quiet,
                                   physics=physics_of(args))
        return finish_run(
            exp,
            outcome,
            out_dir / f"{args.name}.npz",
            out_dir / f"{args.name}.png",
            args.quiet,
            extra=[("experiment", experiment_path)],
        )
    finally:
        close_group(group)


def _read_dataset(path: str) -> Any:
    try:
        return open_dataset(path)
    except DatasetError as exc:
        raise UserError(str(exc)) from None


def _command_plot(args: argparse.Namespace) -> int:
    dataset = _read_dataset(args.dataset)
    target = _check_suffix(Path(args.output) if args.output else Path(args.dataset).with_suffix(".png"), ".png", "plot")
    if not (target.parent if str(target.parent) else Path(".")).is_dir():
        raise UserError(f"output directory {str(target.parent)!r} does not exist")
    overlays, notes = [], {}
    if dataset.attrs.get("fit_kind") in ("resonance", "rabi", "ramsey", "t1"):
        # A calibration's dataset is redrawn with its fit, made again from the data alone.
        from .calibration import fit_dataset

        variable = str(dataset.attrs.get("fit_variable", ""))
        if variable in dataset.data_vars:
            with contextlib.suppress(ValueError):
                _, overlay, note = fit_dataset(dataset, str(dataset.attrs["fit_kind"]), variable)
                overlays, notes = [overlay], {variable: note}
    plot_dataset(dataset, target, overlays=overlays, notes=notes)
    print(f"plot: {target}")
    return EXIT_OK


def _command_show(args: argparse.Namespace) -> int:
    dataset = _read_dataset(args.dataset)
    print(f"{args.dataset}:")
    print("\n".join(describe_dataset(dataset)))
    return EXIT_OK


# -- spaces and calibration ----------------------------------------------------------


def _moment(timestamp: int) -> str:
    when = datetime.datetime.fromtimestamp(timestamp / 1000, tz=datetime.timezone.utc)
    return when.isoformat(timespec="milliseconds")


def _format_value(value: Any) -> str:
    return f"{value:.10g}" if isinstance(value, float) else json.dumps(value)


def _space_errors() -> tuple[type[BaseException], ...]:
    """What a space's store raises when it cannot be read or written (locked, read-only, gone)."""
    return (SpaceError, sqlite3.Error, PermissionError, FileNotFoundError, IsADirectoryError)


def _shown(target: str) -> str:
    """A space's name fit to print: a URL without its password."""
    return redact_url(target) if "://" in target else target


def _command_space_init(args: argparse.Namespace) -> int:
    from .sim import demo_calibration

    target = args.target
    shown = _shown(target)
    if "://" not in target:
        path = Path(target)
        if path.exists():
            raise UserError(f"{target!r} already exists; a new space needs a new file")
        if not (path.parent if str(path.parent) else Path(".")).is_dir():
            raise UserError(f"directory {str(path.parent)!r} does not exist")
    try:
        with Space(target) as space:
            if space.keys():
                raise UserError(f"the space at {shown!r} already holds values; a new space must be empty")
            space.update(demo_calibration())
            count = len(space.keys())
    except (ValueError, TypeError) + _space_errors() as exc:
        raise UserError(f"cannot create a space at {shown!r}: {exc}") from None
    print(f"{shown}: a new space with the demo device's calibration ({count} keys)")
    return EXIT_OK


def _command_space_show(args: argparse.Namespace) -> int:
    group = build_group(args.space)
    try:
        space = group.space
        keys = space.keys()
        when = "now" if args.at is None else f"at {_moment(args.at)} ({args.at} ms)"
        print(f"{_shown(args.space)}: {len(keys)} keys, values in force {when}")
        width = max((len(key) for key in keys), default=0)
        for key in keys:
            versions = [(ts, value) for ts, value in space.history(key) if args.at is None or ts <= args.at]
            if not versions:
                print(f"  {key:{width}}  (no value yet)")
                continue
            ts, value = versions[-1]
            print(f"  {key:{width}}  {_format_value(value):>16}  since {_moment(ts)}, version {len(versions)}")
        return EXIT_OK
    except _space_errors() as exc:
        raise UserError(f"cannot read the space {_shown(args.space)!r}: {exc}") from None
    finally:
        close_group(group)


def _command_history(args: argparse.Namespace) -> int:
    group = build_group(args.space)
    try:
        versions = group.space.history(args.key)
    except _space_errors() as exc:
        raise UserError(f"cannot read the space {_shown(args.space)!r}: {exc}") from None
    except (KeyError, TypeError) as exc:
        raise UserError(str(exc.args[0] if exc.args else exc)) from None
    finally:
        close_group(group)
    if not versions:
        raise UserError(f"the space {_shown(args.space)!r} has no value for {args.key!r}")
    print(f"{args.key}: {len(versions)} versions")
    for ts, value in versions:
        print(f"  {_moment(ts)}  ({ts} ms)  {_format_value(value)}")
    if args.plot:
        target = _check_suffix(Path(args.plot), ".png", "plot")
        numeric = [(ts, v) for ts, v in versions if isinstance(v, (int, float)) and not isinstance(v, bool)]
        if not numeric:
            raise UserError(f"the values of {args.key!r} are not numbers: nothing to plot")
        write_output(target, lambda temporary: _plot_history(args.key, numeric, temporary))
        print(f"plot: {target}")
    return EXIT_OK


def _plot_history(key: str, versions: Sequence[tuple[int, float]], path: str) -> None:
    import matplotlib.dates as mdates
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.0, 3.5), layout="constrained")
    FigureCanvasAgg(figure)
    panel = figure.subplots()
    times = [datetime.datetime.fromtimestamp(ts / 1000, tz=datetime.timezone.utc) for ts, _ in versions]
    values = [value for _, value in versions]
    panel.step(times, values, where="post", marker="o")
    panel.set_title(f"{key}: {len(values)} versions")
    panel.set_xlabel("recorded (UTC)")
    panel.set_ylabel(key)
    panel.grid(True, alpha=0.3)
    locator = mdates.AutoDateLocator()
    panel.xaxis.set_major_locator(locator)
    panel.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    figure.savefig(path, format="png", dpi=110)


def _check_writable_space(target: str) -> None:
    if "://" in target and not target.startswith("sqlite:"):
        return
    path = Path(target.split("sqlite:///", 1)[-1])
    if path.suffix.lower() == ".json":
        raise UserError(f"{target!r} is a JSON file of values; calibrations are written to a space database "
                        "(make one with 'varnok space init')")
    directory = path.parent if str(path.parent) else Path(".")
    if path.is_file() and (not os.access(path, os.W_OK) or not os.access(directory, os.W_OK)):
        raise UserError(f"the space file {target!r} is read-only: nothing was measured")


def _command_calibrate(args: argparse.Namespace) -> int:
    from .calibration import ALL_SEQUENCE, calibrate
    from .sim import demo_physics

    _check_writable_space(args.space)
    out_dir = Path(args.out_dir)
    if not out_dir.is_dir():
        raise UserError(f"output directory {str(out_dir)!r} does not exist")
    group = build_group(args.space)
    kinds = ALL_SEQUENCE if args.kind == "all" else (args.kind,)

    def show(report: Any) -> None:
        verdict = "written" if report.written else ("interrupted" if report.interrupted else "not written")
        print(f"{report.kind} on {report.qubit}: {verdict}")
        for change in report.changes:
            print(f"  {change.line()}")
        if report.refused:
            print(f"  refused: {report.refused}")
        for path in report.files:
            print(f"  {'dataset' if path.suffix == '.nc' else 'plot'}: {path}")

    try:
        if args.qubit not in group.entities:
            known = ", ".join(group.entities) or "none"
            raise UserError(f"qubit {args.qubit!r} is not in the space {_shown(args.space)!r} (it has {known})")
        before = dict(group.space.snapshot())
        reports = calibrate(kinds, group, args.qubit, physics=demo_physics(), shots=args.shots, seed=args.seed,
                            out_dir=out_dir, quiet=args.quiet, on_step=show)
        after = dict(group.space.snapshot())
    except _space_errors() as exc:
        raise UserError(f"cannot use the space {_shown(args.space)!r}: {exc}") from None
    finally:
        close_group(group)
    if len(kinds) > 1:
        keys = sorted({change.key for report in reports for change in report.changes if report.written})
        if keys:
            width = max(len(key) for key in keys)
            print(f"{'key':{width}}  {'before':>16}  {'after':>16}")
            for key in keys:
                print(f"{key:{width}}  {_format_value(before.get(key)):>16}  {_format_value(after.get(key)):>16}")
    if any(report.interrupted for report in reports):
        print("varnok: interrupted; nothing of the interrupted step was written", file=sys.stderr)
        return EXIT_INTERRUPTED
    refused = [report for report in reports if report.refused]
    if refused:
        print(f"varnok: calibration refused: {refused[0].refused}", file=sys.stderr)
        return EXIT_REFUSED
    return EXIT_OK


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``varnok``."""
    from .demos import DEMOS

    parser = argparse.ArgumentParser(
        prog="varnok", description="Run pulse-level experiments on the simulated device."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def device_options(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--space", metavar="SPACE", help="device space: JSON {key: value}, a space SQLite database, or a postgresql:// URL (default: the built-in demo device)")
        sub.add_argument("--timestamp", type=_non_negative, metavar="T", help="read the space as it was at T (ms since the epoch)")

    def physics_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--device", choices=["demo", "calibrated"], default="demo",
            help="the simulated device's physics: the demo device, whose truth is off from its calibration "
            "(default), or a device exactly as the space is calibrated")

    def run_options(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--shots", type=_non_negative, help="measurements per step (0: exact probabilities)")
        sub.add_argument("--seed", type=int, help="seed of the measurement noise")
        sub.add_argument("--quiet", action="store_true", help="no progress bar and no summary")

    run = commands.add_parser("run", help="run a saved experiment on the simulated device")
    run.add_argument("experiment", metavar="EXPERIMENT.json")
    device_options(run)
    run.add_argument("--out", metavar="DATA.npz", help="data file (default: EXPERIMENT.npz in the current directory)")
    run.add_argument("--plot", metavar="PLOT.png", help="plot file (default: EXPERIMENT.png in the current directory)")
    physics_option(run)
    run_options(run)
    run.set_defaults(handler=_command_run)

    validate = commands.add_parser("validate", help="trial-compile a saved experiment and show its sweep")
    validate.add_argument("experiment", metavar="EXPERIMENT.json")
    device_options(validate)
    validate.set_defaults(handler=_command_validate)

    demo = commands.add_parser("demo", help="build, save, run and plot an example experiment")
    demo.add_argument("name", nargs="?", default="rabi", choices=list(DEMOS), help="which example (default: rabi)")
    demo.add_argument("--out-dir", default=".", metavar="DIR", help="where its files go (default: the current directory)")
    physics_option(demo)
    run_options(demo)
    demo.set_defaults(handler=_command_demo)

    plot = commands.add_parser("plot", help="redraw the plot of a saved dataset (.nc)")
    plot.add_argument("dataset", metavar="DATA.nc")
    plot.add_argument("-o", "--output", metavar="PLOT.png", help="plot file (default: DATA.png beside the dataset)")
    plot.set_defaults(handler=_command_plot)

    show = commands.add_parser("show", help="summarise a saved dataset (.nc)")
    show.add_argument("dataset", metavar="DATA.nc")
    show.set_defaults(handler=_command_show)

    space = commands.add_parser("space", help="make or inspect a parameter space")
    space_commands = space.add_subparsers(dest="space_command", required=True, metavar="ACTION")
    init = space_commands.add_parser("init", help="a new space holding the demo device's calibration")
    init.add_argument("target", metavar="PATH", help="a new SQLite file (or a database URL)")
    init.set_defaults(handler=_command_space_init)
    space_show = space_commands.add_parser("show", help="every key with its value in force")
    space_show.add_argument("space", metavar="PATH")
    space_show.add_argument("--at", type=_non_negative, metavar="T", help="as it was at T (ms since the epoch)")
    space_show.set_defaults(handler=_command_space_show)

    calibrate = commands.add_parser("calibrate", help="measure, fit and write a calibration into a space")
    calibrate.add_argument("kind", choices=["resonance", "rabi", "ramsey", "t1", "all"])
    calibrate.add_argument("--space", required=True, metavar="PATH", help="the space database to calibrate")
    calibrate.add_argument("--qubit", default="q01", help="the qubit (default: q01)")
    calibrate.add_argument("--out-dir", default=".", metavar="DIR", help="where datasets and plots go (default: .)")
    run_options(calibrate)
    calibrate.set_defaults(handler=_command_calibrate)

    history = commands.add_parser("history", help="every version of a space key with its time")
    history.add_argument("key")
    history.add_argument("--space", required=True, metavar="PATH")
    history.add_argument("--plot", metavar="PNG", help="also plot the versions over time")
    history.set_defaults(handler=_command_history)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``varnok``; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        # argparse has printed its usage message; its status for bad usage is 2 as well.
        return int(exc.code) if isinstance(exc.code, int) else EXIT_USER_ERROR
    try:
        return int(args.handler(args))
    except UserError as exc:
        print(f"varnok: error: {exc}", file=sys.stderr)
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        print("varnok: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`varnok ... | head`): not an error of ours.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - replaces the broken stream for good
        return EXIT_OK


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
