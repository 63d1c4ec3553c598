"""Running experiments on the simulated device for the command line: loading, compiling, the run
with its progress bar and Ctrl-C handling, and saving what a run produced.

Every failure a user can cause becomes a :class:`UserError` with a one-line message.
"""

from __future__ import annotations

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
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import numpy as np

from .data import experiment_json, save_dataset, to_dataset
from .experiment.result import Result
from .group import Group, Space, SpaceError, now_ms
from .plots import plot_dataset
from .utils.files import write_atomically
from .utils.script_evaluator import ScriptError

__all__ = [
    "DATA_ERRORS",
    "EXIT_INTERRUPTED",
    "EXIT_OK",
    "RunOutcome",
    "UserError",
    "build_group",
    "close_group",
    "compile_experiment",
    "describe_error",
    "finish_run",
    "load_experiment",
    "load_space",
    "read_experiment_data",
    "run_on_simulator",
    "save_experiment",
    "write_output",
]

EXIT_OK = 0
EXIT_INTERRUPTED = 130

_SQLITE_MAGIC = b"SQLite format 3\x00"
# What user data can make the engine and its collaborators raise while
# loading, compiling or running an experiment.
DATA_ERRORS = (RuntimeError, TypeError, ValueError, KeyError, IndexError, AttributeError, RecursionError)


class UserError(Exception):
    """A problem with the user's input, reported in one line without a traceback."""


def describe_error(exc: BaseException) -> str:
    # KeyError quotes its message; other errors read better with their kind
    # unless they are the engine's own RuntimeError messages.
    text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
    if isinstance(exc, (RuntimeError, ScriptError, UserError)):
        return str(text)
    return f"{type(exc).__name__}: {text}"


# -- files -----------------------------------------------------------------------


def write_output(path: Path, write: Callable[[str], None]) -> None:
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

    write_output(Path(path), write)


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
    except DATA_ERRORS as exc:
        raise UserError(f"experiment file {str(path)!r} is not a valid saved experiment: {describe_error(exc)}") from None


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


def close_group(group: Any) -> None:
    if isinstance(group, Group):
        group.close()


def compile_experiment(exp: Any, group: Any, timestamp: int | None) -> None:
    """Compile ``exp`` on ``group``, turning every failure into a :class:`UserError`."""
    try:
        exp.compile_scripts(group=group, space_timestamp=timestamp)
    except ScriptError as exc:
        raise UserError(f"script refused: {exc}") from None
    except DATA_ERRORS as exc:
        raise UserError(f"experiment does not compile: {describe_error(exc)}") from None


# -- running ---------------------------------------------------------------------


@dataclass
class RunOutcome:
    """What a run produced: the merged result, how far it got, and what it ran against.

    ``timestamp`` is the space time the run read (ms), ``started`` and
    ``finished`` its wall-clock span, ``shots`` and ``seed`` the measurement
    settings the device used.
    """

    result: Result
    steps_run: int
    total: int
    interrupted: bool
    seconds: float
    timestamp: int | None = None
    started: datetime.datetime | None = None
    finished: datetime.datetime | None = None
    shots: int | None = None
    seed: int | None = None

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
    physics: Any = None,
) -> RunOutcome:
    """Compile ``exp`` on ``group`` and run it on the simulated device with a progress bar.

    ``physics`` is the simulated device's truth (a ``DevicePhysics``); None
    simulates a device exactly as its space is calibrated.
    """
    from tqdm import tqdm

    from .sim import SimulatedDevice, SimulationError

    # The run reads the space at one pinned moment, so that its dataset can
    # name the exact calibration it ran against and the run can be replayed.
    if timestamp is None:
        clock = getattr(getattr(group, "space", None), "now", None)
        timestamp = int(clock()) if callable(clock) else now_ms()
    compile_experiment(exp, group, timestamp)
    total = _step_count(exp)
    options: dict[str, Any] = {"space_timestamp": timestamp}
    if shots is not None:
        options["shots"] = shots
    if seed is not None:
        options["seed"] = seed
    device = SimulatedDevice(group, physics=physics, timestamp=timestamp)
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
        except DATA_ERRORS as exc:
            raise UserError(f"the run failed: {describe_error(exc)}") from None
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


def finish_run(
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
    write_output(data_path, lambda temporary: outcome.result.save(temporary))
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


