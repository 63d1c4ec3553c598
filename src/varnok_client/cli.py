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
import signal
import sqlite3
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import numpy as np

from . import __version__
from .data import DatasetError, circuit_label, describe_dataset, experiment_json, open_dataset, save_dataset, to_dataset
from .experiment.result import Result
from .group import Group, Space, SpaceError, now_ms
from .plots import plot_dataset
from .utils.files import write_atomically
from .utils.script_evaluator import ScriptError

__all__ = ["main", "UserError", "RunOutcome", "run_on_simulator", "plot_result"]

EXIT_OK = 0
EXIT_USER_ERROR = 2
EXIT_INTERRUPTED = 130

_SQLITE_MAGIC = b"SQLite format 3\x00"
# What user data can make the engine and its collaborators raise while
# loading, compiling or running an experiment.
_DATA_ERRORS = (RuntimeError, TypeError, ValueError, KeyError, IndexError, AttributeError, RecursionError)


class UserError(Exception):
    """A problem with the user's input, reported in one line without a traceback."""


def _describe(exc: BaseException) -> str:
    # KeyError quotes its message; other errors read better with their kind
    # unless they are the engine's own RuntimeError messages.
    text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
    if isinstance(exc, (RuntimeError, ScriptError, UserError)):
        return str(text)
    return f"{type(exc).__name__}: {text}"


# -- files -----------------------------------------------------------------------


def _write_atomically(path: Path, write: Callable[[str], None]) -> None:
    """Write ``path`` whole or not at all (see :func:`~varnok_client.utils.files.write_atomically`)."""
    try:
        write_atomically(path, write)
    except FileNotFoundError as exc:
        if not (path.parent if str(path.parent) else Path(".")).is_dir():
            raise UserError(str(exc)) from None
        raise


def save_experiment(exp: Any, path: str | os.PathLike[str]) -> None:
    """Write ``exp.serialize()`` as JSON text (numpy values as plain numbers and lists)."""
    text = experiment_json(exp, indent=2) + "\n"

    def write(temporary: str) -> None:
        Path(temporary).write_text(text, encoding="utf-8")

    _write_atomically(Path(path), write)


def read_experiment_data(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The JSON object of a saved experiment file (no code from the file runs)."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        raise UserError(f"experiment file {str(path)!r} does not exist") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise UserError(f"cannot read experiment file {str(path)!r}: {exc}") from None
    try:
        data = json.loads(text)
    except (json.JSONDecodeError, RecursionError) as exc:
        raise UserError(f"experiment file {str(path)!r} is not valid JSON: {exc}") from None
    if not isinstance(data, dict):
        raise UserError(f"experiment file {str(path)!r} does not hold a saved experiment (a JSON object)")
    return data


def load_experiment(path: str | os.PathLike[str], group: Any) -> Any:
    """Rebuild the experiment saved in ``path`` on ``group``."""
    from .experiment.experiment import Experiment

    data = read_experiment_data(path)
    try:
        return Experiment.deserialize(data, group)
    except KeyError as exc:
        raise UserError(
            f"experiment file {str(path)!r} is not a saved experiment: missing field {exc.args[0]!r}"
        ) from None
    except _DATA_ERRORS as exc:
        raise UserError(f"experiment file {str(path)!r} is not a valid saved experiment: {_describe(exc)}") from None


def _space_file(path: str | os.PathLike[str]) -> str | os.PathLike[str]:
    """The file a ``--space`` value names (``sqlite:///PATH`` names PATH); a server URL as it is."""
    if isinstance(path, str) and path[:9].lower() == "sqlite://":
        return path[10:] if path[9:10] == "/" else path
    return path


def load_space(path: str | os.PathLike[str]) -> Space:
    """A space from a JSON file ``{"key": value}``, a space SQLite database or a PostgreSQL URL."""
    path = _space_file(path)
    if isinstance(path, str) and "://" in path:
        # A server's database without a space is refused rather than given tables.
        try:
            return Space(path, create=False)
        except SpaceError as exc:
            raise UserError(str(exc)) from None
    file = Path(path)
    if not file.is_file():
        raise UserError(f"space file {str(path)!r} does not exist")
    try:
        with open(file, "rb") as handle:
            head = handle.read(len(_SQLITE_MAGIC))
    except OSError as exc:
        raise UserError(f"cannot read space file {str(path)!r}: {exc}") from None
    if head == _SQLITE_MAGIC:
        # Look before opening it as a space, which would add its table to any
        # SQLite file it were handed.
        try:
            probe = sqlite3.connect(f"{file.resolve().as_uri()}?mode=ro", uri=True)
            try:
                found = probe.execute(
                    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'parameter_versions'"
                ).fetchone()
            finally:
                probe.close()
        except sqlite3.Error as exc:
            raise UserError(f"cannot read space database {str(path)!r}: {exc}") from None
        if not found:
            raise UserError(f"{str(path)!r} is a SQLite database but not a parameter space")
        return Space(file)
    try:
        return Space.from_json(file)
    except (json.JSONDecodeError, UnicodeDecodeError, RecursionError) as exc:
        raise UserError(f"space file {str(path)!r} is neither JSON nor a space database: {exc}") from None
    except (TypeError, ValueError) as exc:
        raise UserError(f"space file {str(path)!r} is not a space: {exc}") from None


def build_group(space_path: str | None) -> Group:
    """The device group: the built-in demo device, or the space in ``space_path``."""
    from .sim import demo_group

    if space_path is None:
        return demo_group()
    space = load_space(space_path)
    entities = sorted({key.split(".", 1)[0] for key in space.keys() if "." in key})
    # A server's space is named after its database, a file's after the file.
    source = str(_space_file(space_path))
    name = urlsplit(source).path.strip("/") if "://" in source else Path(source).stem
    return Group(name, space, entities=entities)


def _close_group(group: Any) -> None:
    if isinstance(group, Group):
        group.close()


# -- compiling and describing ------------------------------------------------------


def compile_experiment(exp: Any, group: Any, timestamp: int | None) -> None:
    """Compile ``exp`` on ``group``, turning every failure into a :class:`UserError`."""
    try:
        exp.compile_scripts(group=group, space_timestamp=timestamp)
    except ScriptError as exc:
        raise UserError(f"script refused: {exc}") from None
    except _DATA_ERRORS as exc:
        raise UserError(f"experiment does not compile: {_describe(exc)}") from None


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


# -- running ---------------------------------------------------------------------


class RunOutcome:
    """What a run produced: the merged result, how far it got, and what it ran against.

    ``timestamp`` is the space time the run read (ms), ``started`` and
    ``finished`` its wall-clock span, ``shots`` and ``seed`` the measurement
    settings the device used.
    """

    def __init__(
        self,
        result: Result,
        steps_run: int,
        total: int,
        interrupted: bool,
        seconds: float,
        timestamp: int | None = None,
        started: datetime.datetime | None = None,
        finished: datetime.datetime | None = None,
        shots: int | None = None,
        seed: int | None = None,
    ) -> None:
        self.result = result
        self.steps_run = steps_run
        self.total = total
        self.interrupted = interrupted
        self.seconds = seconds
        self.timestamp = timestamp
        self.started = started
        self.finished = finished
        self.shots = shots
        self.seed = seed

    def run_info(self) -> dict[str, Any]:
        """The run information a dataset records (see :func:`varnok_client.data.to_dataset`)."""
        info: dict[str, Any] = {
            "steps_done": self.steps_run,
            "steps_total": self.total,
            "interrupted": self.interrupted,
            "started": self.started,
            "finished": self.finished,
            "timestamp": self.timestamp,
            "shots": self.shots,
            "seed": self.seed,
        }
        return {key: value for key, value in info.items() if value is not None or key == "seed"}


class _StepRecorder:
    """The callback handed to the engine: simulates a step, keeps the merged result, honours Ctrl-C.

    The run's result is kept here rather than taken from the engine, because
    an interrupted run returns only ``True``.
    """

    def __init__(self, device: Any, dims: Sequence[int], progress: Any) -> None:
        self.device = device
        self.result = Result(dims=list(dims))
        self.progress = progress
        self.steps_run = 0
        self.stop_requested = False

    def __call__(self, wave_package: Any, exp_obj: Any, pos: Any, steps: int, options: Any) -> dict[str, Any]:
        answer = self.device.callback(
            wave_package=wave_package, exp_obj=exp_obj, pos=pos, steps=steps, options=options
        )
        step_result = answer.get("result") if isinstance(answer, dict) else None
        if isinstance(step_result, Result):
            self.result.concatenate(step_result)
        self.steps_run += 1
        self.progress.update(1)
        if self.stop_requested:
            return {"result": step_result, "interrupt": True}
        return answer


@contextlib.contextmanager
def _stop_at_step_end(recorder: _StepRecorder) -> Iterator[None]:
    """While active, a first Ctrl-C asks the run to stop after the current step; a second stops it at once."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def request_stop(signum: int, frame: Any) -> None:
        if recorder.stop_requested:
            raise KeyboardInterrupt
        recorder.stop_requested = True

    previous = signal.signal(signal.SIGINT, request_stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _step_count(exp: Any) -> int:
    lengths = list(exp.compiled_sweep_len)
    first = lengths[0] if lengths else 1
    return int(exp.total_sweep_steps) if first > 1 else 1


def run_on_simulator(
    exp: Any,
    group: Any,
    timestamp: int | None = None,
    shots: int | None = None,
    seed: int | None = None,
    quiet: bool = False,
) -> RunOutcome:
    """Compile ``exp`` on ``group`` and run it on the simulated device with a progress bar."""
    from tqdm import tqdm

    from .sim import SimulatedDevice, SimulationError

    # The run reads the space at one pinned moment, so that its dataset can
    # name the exact calibration it ran against and the run can be replayed.
    if timestamp is None:
        timestamp = now_ms()
    compile_experiment(exp, group, timestamp)
    total = _step_count(exp)
    options: dict[str, Any] = {"space_timestamp": timestamp}
    if shots is not None:
        options["shots"] = shots
    if seed is not None:
        options["seed"] = seed
    device = SimulatedDevice(group, timestamp=timestamp)
    try:
        shots_used, seed_used = SimulatedDevice.run_settings(exp, options)
    except SimulationError as exc:
        raise UserError(f"the simulated device cannot run this experiment: {exc}") from None
    dims = [int(n) for n in list(exp.compiled_sweep_len)[:3]]
    started_at = datetime.datetime.now(datetime.timezone.utc)
    with tqdm(total=total, disable=quiet, unit="step", desc=exp.title, file=sys.stderr) as progress:
        recorder = _StepRecorder(device, dims, progress)
        started = time.perf_counter()
        interrupted = False
        try:
            with _stop_at_step_end(recorder):
                outcome = exp.run_exp(recorder, options=options)
            interrupted = outcome is True or recorder.stop_requested
        except KeyboardInterrupt:
            interrupted = True
        except SimulationError as exc:
            raise UserError(f"the simulated device cannot run this experiment: {exc}") from None
        except ScriptError as exc:
            raise UserError(f"script refused: {exc}") from None
        except _DATA_ERRORS as exc:
            raise UserError(f"the run failed: {_describe(exc)}") from None
        seconds = time.perf_counter() - started
    finished_at = datetime.datetime.now(datetime.timezone.utc)
    return RunOutcome(recorder.result, recorder.steps_run, total, interrupted, seconds,
                      timestamp=timestamp, started=started_at, finished=finished_at,
                      shots=shots_used, seed=seed_used)


def _summary(exp: Any, outcome: RunOutcome, files: Sequence[tuple[str, Path]]) -> list[str]:
    state = "interrupted: " if outcome.interrupted else ""
    lines = [
        f"{exp.title}: {state}{outcome.steps_run} of {outcome.total} steps in {outcome.seconds:.2f} s"
    ]
    data = outcome.result.data
    if not data:
        lines.append("  no readout in this experiment")
    for name, values in data.items():
        real = np.real(values)
        finite = real[np.isfinite(real)]
        if finite.size:
            lines.append(
                f"  {name}: min {finite.min():.3f}  max {finite.max():.3f}  mean {finite.mean():.3f}"
            )
    lines.extend(f"{kind}: {path}" for kind, path in files)
    return lines


def _finish_run(
    exp: Any,
    outcome: RunOutcome,
    data_path: Path,
    plot_path: Path | None,
    quiet: bool,
    extra: Sequence[tuple[str, Path]] = (),
    dataset_path: Path | None = None,
) -> int:
    """Save what a run produced (data, dataset, plot), print the summary; the exit status."""
    outcome.result.complete = not outcome.interrupted
    outcome.result.final = True
    _write_atomically(data_path, lambda temporary: outcome.result.save(temporary))
    files = [*extra, ("data", data_path)]
    dataset = to_dataset(outcome.result, exp, **outcome.run_info())
    dataset_path = data_path.with_suffix(".nc") if dataset_path is None else dataset_path
    save_dataset(dataset, dataset_path)
    files.append(("dataset", dataset_path))
    if plot_path is not None:
        plot_dataset(dataset, plot_path)
        files.append(("plot", plot_path))
    if not quiet:
        print("\n".join(_summary(exp, outcome, files)))
    if outcome.interrupted:
        print(f"varnok: interrupted; the {outcome.steps_run} steps run were saved", file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_OK


# -- commands --------------------------------------------------------------------


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
        outcome = run_on_simulator(exp, group, args.timestamp, args.shots, args.seed, args.quiet)
        return _finish_run(exp, outcome, data_path, plot_path, args.quiet)
    finally:
        _close_group(group)


def _command_validate(args: argparse.Namespace) -> int:
    group = build_group(args.space)
    try:
        exp = load_experiment(args.experiment, group)
        compile_experiment(exp, group, args.timestamp)
        print(f"{args.experiment}: {exp.title!r} compiles")
        print("\n".join(describe_sweep(exp)))
        return EXIT_OK
    finally:
        _close_group(group)


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
        outcome = run_on_simulator(exp, group, shots=args.shots, seed=args.seed, quiet=args.quiet)
        return _finish_run(
            exp,
            outcome,
            out_dir / f"{args.name}.npz",
            out_dir / f"{args.name}.png",
            args.quiet,
            extra=[("experiment", experiment_path)],
        )
    finally:
        _close_group(group)


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
    plot_dataset(dataset, target)
    print(f"plot: {target}")
    return EXIT_OK


def _command_show(args: argparse.Namespace) -> int:
    dataset = _read_dataset(args.dataset)
    print(f"{args.dataset}:")
    print("\n".join(describe_dataset(dataset)))
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

    def run_options(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--shots", type=_non_negative, help="measurements per step (0: exact probabilities)")
        sub.add_argument("--seed", type=int, help="seed of the measurement noise")
        sub.add_argument("--quiet", action="store_true", help="no progress bar and no summary")

    run = commands.add_parser("run", help="run a saved experiment on the simulated device")
    run.add_argument("experiment", metavar="EXPERIMENT.json")
    device_options(run)
    run.add_argument("--out", metavar="DATA.npz", help="data file (default: EXPERIMENT.npz in the current directory)")
    run.add_argument("--plot", metavar="PLOT.png", help="plot file (default: EXPERIMENT.png in the current directory)")
    run_options(run)
    run.set_defaults(handler=_command_run)

    validate = commands.add_parser("validate", help="trial-compile a saved experiment and show its sweep")
    validate.add_argument("experiment", metavar="EXPERIMENT.json")
    device_options(validate)
    validate.set_defaults(handler=_command_validate)

    demo = commands.add_parser("demo", help="build, save, run and plot an example experiment")
    demo.add_argument("name", nargs="?", default="rabi", choices=list(DEMOS), help="which example (default: rabi)")
    demo.add_argument("--out-dir", default=".", metavar="DIR", help="where its files go (default: the current directory)")
    run_options(demo)
    demo.set_defaults(handler=_command_demo)

    plot = commands.add_parser("plot", help="redraw the plot of a saved dataset (.nc)")
    plot.add_argument("dataset", metavar="DATA.nc")
    plot.add_argument("-o", "--output", metavar="PLOT.png", help="plot file (default: DATA.png beside the dataset)")
    plot.set_defaults(handler=_command_plot)

    show = commands.add_parser("show", help="summarise a saved dataset (.nc)")
    show.add_argument("dataset", metavar="DATA.nc")
    show.set_defaults(handler=_command_show)
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


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
