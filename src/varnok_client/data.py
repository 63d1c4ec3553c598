"""Self-describing datasets of runs, stored as netCDF-4 through xarray.

:func:`to_dataset` turns a run's merged :class:`~varnok_client.experiment.result.Result`
into an :class:`xarray.Dataset` that needs nothing else to be understood or
replayed: one data variable per readout, one dimension per swept sweep
dimension (``dim0``, ``dim1``, ``dim2``; ``circuit`` in batch mode), one
coordinate per quantity swept along it, named after what it is
(``q01.freq`` for a space parameter, ``q01.L0.amp`` for the ``amp`` of the
waves of the gate on ``q01`` in layer 0) with its unit, and as attributes the
saved experiment, the calibration the run read (every space value in force at
the run's space timestamp), when it ran and how far it got.

:func:`save_dataset` writes one whole or not at all; :func:`open_dataset`
reads one back into memory, refusing with one clear :class:`DatasetError`
line anything that is not such a file.
"""

from __future__ import annotations

import datetime as _dt
import json
import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import xarray as xr

from . import __version__
from .experiment.result import Result
from .group import now_ms
from .utils.files import write_atomically

__all__ = [
    "FORMAT",
    "FORMAT_VERSION",
    "DatasetError",
    "circuit_label",
    "add_fit",
    "coordinate_units",
    "describe_dataset",
    "display_units",
    "experiment_json",
    "open_dataset",
    "save_dataset",
    "to_dataset",
]

#: The ``format`` attribute that marks a file as one of ours, and its version.
FORMAT = "varnok_client.dataset"
FORMAT_VERSION = 1

_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
_NETCDF3_SIGNATURE = b"CDF"
# A complex readout is stored as its real and imaginary parts along this dimension.
_COMPLEX_DIM = "complex"
_RUN_INFO = frozenset(
    {"timestamp", "started", "finished", "steps_done", "steps_total", "interrupted", "shots", "seed", "calibration"}
)


def display_units(units: str | None, values: Any = ()) -> tuple[str | None, float]:
    """The unit to show values in (plots, summaries) and the factor to it, so numbers stay short."""
    if units == "Hz":
        return "MHz", 1e-6
    if units == "s":
        return "µs", 1e6
    if units == "ns":
        array = np.asarray(values, dtype=float) if np.size(values) else np.zeros(1)
        finite = np.abs(array[np.isfinite(array)])
        if finite.size and finite.max() >= 1e4:
            return "µs", 1e-3
    return units, 1.0


class DatasetError(ValueError):
    """A file is not a readable dataset of this package (the message names the file and why)."""


# -- names and units -------------------------------------------------------------


def coordinate_units(quantity: str) -> str | None:
    """The unit of a swept quantity named ``quantity`` (``freq``, ``x_width``, ``t1``, ...), if known."""
    q = quantity.lower()
    if q in ("freq", "detuning", "drive_strength") or q.endswith("freq") or q.endswith("detuning"):
        return "Hz"
    if q in ("t0", "width", "sigma", "beta", "delay") or q.endswith(("_width", "_sigma", "_beta", "_delay")):
        return "ns"
    if q == "phase" or q.endswith("_phase"):
        return "rad"
    if q in ("t1", "t2") or q.endswith(("_t1", "_t2")):
        return "s"
    if q in ("amp", "ratio") or q.endswith("amp"):
        return "a.u."
    return None


def _entry_name(entry: Mapping[str, Any]) -> tuple[str, str, str]:
    """Base name, long name and quantity of one sweep entry."""
    kind = entry.get("t")
    if kind == "p":
        key = str(entry.get("key"))
        return key, f"space parameter {key}", key.rsplit(".", 1)[-1]
    if kind == "c":
        return "circuit", "batch circuit index", "circuit"
    parameter = str(entry.get("parameter"))
    entity, layer = entry.get("entity"), entry.get("layer")
    ids = entry.get("wave_ids")
    waves = f", waves {list(ids)}" if isinstance(ids, (list, tuple)) else ""
    return (
        f"{entity}.L{layer}.{parameter}",
        f"{parameter} of the gate on {entity} in layer {layer}{waves}",
        parameter,
    )


def _unique(name: str, taken: set[str], entry: Mapping[str, Any]) -> str:
    if name not in taken:
        return name
    ids = entry.get("wave_ids")
    if isinstance(ids, (list, tuple)) and ids:
        candidate = f"{name}.w{'_'.join(str(i) for i in ids)}"
        if candidate not in taken:
            return candidate
    number = 2
    while f"{name}~{number}" in taken:
        number += 1
    return f"{name}~{number}"


def _variable_name(name: str) -> str:
    # HDF5 reads '/' as a group separator.
    return name.replace("/", "_")


def circuit_label(circuit: Any) -> str:
    """The gates of a circuit layer by layer, without its readouts (``"X/2 Y"``)."""
    gates = sorted(circuit.gates.values(), key=lambda gate: gate.layer)
    names = [gate.gate_name for gate in gates if gate.gate_name != "M"]
    return " ".join(names) if names else "(idle)"


# -- JSON ------------------------------------------------------------------------


def _plain(value: Any) -> Any:
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not JSON-compatible")


def experiment_json(experiment: Any, indent: int | None = None) -> str:
    """The JSON text of ``experiment.serialize()`` (numpy values as plain numbers and lists)."""
    return json.dumps(experiment.serialize(), indent=indent, default=_plain, allow_nan=False)


def _iso(moment: Any) -> str:
    if isinstance(moment, str):
        return moment
    if isinstance(moment, (int, float)) and not isinstance(moment, bool):
        moment = _dt.datetime.fromtimestamp(float(moment), tz=_dt.timezone.utc)
    if not isinstance(moment, _dt.datetime):
        raise TypeError(f"a time must be a datetime, epoch seconds or an ISO 8601 text, got {moment!r}")
    if moment.tzinfo is None:
        moment = moment.astimezone()
    return moment.astimezone(_dt.timezone.utc).isoformat(timespec="milliseconds")


# -- building --------------------------------------------------------------------


def _sweep_lengths(experiment: Any) -> list[int]:
    try:
        lengths = [int(n) for n in experiment.compiled_sweep_len]
    except RuntimeError as exc:
        raise ValueError(f"the experiment has no compiled sweep: {exc}") from None
    return lengths + [1] * (3 - len(lengths))


def _laid_out(result: Result, lengths: Sequence[int]) -> Result:
    """``result`` with the sweep layout of the experiment (a callback's own results may lack it)."""
    if result.dims is not None and [max(n, 1) for n in result.dims] == [max(n, 1) for n in lengths]:
        return result
    laid = Result(dims=list(lengths))
    laid.concatenate(result)
    return laid


def _coordinate_values(values: Any) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind in "biuf":
        return array
    if array.dtype.kind == "c" and not np.iscomplex(array).any():
        return array.real
    return np.vectorize(str, otypes=[str])(array) if array.size else array.astype(str)


def _sweep_coordinates(experiment: Any, lengths: Sequence[int], swept: Sequence[int], batch: bool) -> dict[str, Any]:
    """One coordinate per entry of the compiled sweep, on the dimensions it sweeps."""
    coords: dict[str, Any] = {}
    taken: set[str] = set()
    sweep = experiment.compiled_sweep_dict
    for entries in sweep.values():
        for entry in entries:
            dims = entry.get("dim")
            dims = [int(d) for d in dims] if isinstance(dims, (list, tuple)) else [int(dims)]
            base, long_name, quantity = _entry_name(entry)
            array = _coordinate_values(entry.get("value"))
            if array.shape[: len(dims)] != tuple(max(lengths[d], 1) if d < len(lengths) else 1 for d in dims):
                continue  # not laid out along its dimensions: nothing to label them with
            array = array.reshape(array.shape[: len(dims)]) if array.ndim > len(dims) else array
            names = [("circuit" if batch else f"dim{d}") for d in dims]
            # Unswept dimensions are dropped: their single value becomes a scalar coordinate.
            index = tuple(slice(None) if d in swept else 0 for d in dims)
            kept = [name for name, d in zip(names, dims) if d in swept]
            name = _unique(base, taken, entry)
            taken.add(name)
            attrs = {"long_name": long_name}
            units = "" if entry.get("t") == "c" else coordinate_units(quantity)
            if units:
                attrs["units"] = units
            coords[_variable_name(name)] = xr.Variable(kept, array[index], attrs=attrs)
    if batch:
        labels = [circuit_label(circuit) for circuit in experiment.batch_circuits]
        if 0 in swept and len(labels) == lengths[0]:
            coords["sequence"] = xr.Variable(["circuit"], np.array(labels, dtype=str),
                                             attrs={"long_name": "gates of the circuit, layer by layer"})
    return coords


def _data_variable(name: str, values: np.ndarray, swept: Sequence[int], dim_names: Sequence[str]) -> xr.Variable:
    steps = len(dim_names)
    index = tuple(slice(None) if d in swept else 0 for d in range(steps))
    array = np.asarray(values)[index]
    dims = [dim_names[d] for d in swept]
    dims += [f"{_variable_name(name)}_axis{k}" for k in range(array.ndim - len(dims))]
    attrs: dict[str, Any] = {"long_name": name}
    if name.endswith(".p1"):
        attrs["long_name"] = f"P(|1>) of {name[: -len('.p1')]}"
        attrs["units"] = "1"
    if np.iscomplexobj(array):
        array = np.stack([array.real, array.imag], axis=-1)
        dims.append(_COMPLEX_DIM)
        attrs["complex"] = 1
    return xr.Variable(dims, array, attrs=attrs)


def _calibration(experiment: Any, timestamp: int) -> dict[str, Any]:
    space = getattr(getattr(experiment, "group", None), "space", None)
    snapshot = getattr(space, "snapshot", None)
    return dict(snapshot(timestamp)) if callable(snapshot) else {}


def _option(experiment: Any, name: str, default: Any) -> Any:
    options = getattr(experiment, "options", None) or {}
    value = options.get(name) if isinstance(options, Mapping) else None
    return default if value is None else value


def to_dataset(result: Result, experiment: Any, **run_info: Any) -> xr.Dataset:
    """The labelled dataset of a run of ``experiment`` that produced ``result``.

    ``run_info`` says how the run went, each item optional: ``timestamp``
    (ms, the space time the run read; default the experiment's compile
    timestamp, else now), ``started`` and ``finished`` (datetimes, epoch
    seconds or ISO 8601 text; default now), ``steps_done`` (default the steps
    in ``result``), ``steps_total`` (default the sweep's), ``interrupted``
    (default: fewer steps done than planned), ``shots`` and ``seed`` (default
    the experiment's options) and ``calibration`` (a mapping; default every
    value of the experiment's group's space in force at ``timestamp``).
    """
    unknown = sorted(set(run_info) - _RUN_INFO)
    if unknown:
        raise TypeError(f"unknown run information {', '.join(map(repr, unknown))}")
    lengths = _sweep_lengths(experiment)
    result = _laid_out(result, lengths)
    shape = result.shape
    batch = experiment.exp_mode == "batch_circuit"
    swept = [d for d, n in enumerate(shape) if n > 1]
    dim_names = [("circuit" if batch and d == 0 else f"dim{d}") for d in range(len(shape))]
    data_vars = {
        _variable_name(name): _data_variable(name, values, swept, dim_names) for name, values in result.data.items()
    }
    coords = _sweep_coordinates(experiment, lengths, swept, batch)

    timestamp = run_info.get("timestamp")
    if timestamp is None:
        timestamp = getattr(experiment, "_Experiment__compile_space_timestamp", None)
    timestamp = now_ms() if timestamp is None else int(timestamp)
    calibration = run_info.get("calibration")
    calibration = _calibration(experiment, timestamp) if calibration is None else dict(calibration)
    finished = _iso(run_info.get("finished") or _dt.datetime.now(_dt.timezone.utc))
    started = _iso(run_info.get("started") or finished)
    steps_total = run_info.get("steps_total")
    steps_total = math.prod(max(n, 1) for n in shape) if steps_total is None else int(steps_total)
    steps_done = run_info.get("steps_done")
    steps_done = len(result) if steps_done is None else int(steps_done)
    interrupted = run_info.get("interrupted")
    interrupted = steps_done < steps_total if interrupted is None else bool(interrupted)
    seed = run_info.get("seed", _option(experiment, "seed", None))
    try:
        saved = experiment_json(experiment)
    except ValueError:  # a NaN somewhere in the experiment: still readable by json.loads
        saved = json.dumps(experiment.serialize(), default=_plain)
    attrs = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "title": str(experiment.title),
        "desc": str(experiment.desc),
        "mode": str(experiment.exp_mode),
        "sweep_lengths": np.array(lengths, dtype=np.int64),
        "experiment": saved,
        "calibration": json.dumps(calibration, sort_keys=True, default=_plain),
        "timestamp": np.int64(timestamp),
        "started": started,
        "finished": finished,
        "steps_done": np.int64(steps_done),
        "steps_total": np.int64(steps_total),
        "interrupted": np.int8(1 if interrupted else 0),
        "shots": np.int64(run_info.get("shots", _option(experiment, "shots", 1024))),
        "seed": "none" if seed is None else np.int64(seed),
        "software_version": __version__,
    }
    return xr.Dataset(data_vars, coords=coords, attrs=attrs)


def add_fit(dataset: xr.Dataset, fit: Any, variable: str, kind: str) -> None:
    """Record ``fit`` of the readout ``variable`` in the attributes of ``dataset``.

    ``fit_kind``, ``fit_variable``, ``fit_ok`` (0/1) and ``fit_reason``, then
    ``fit_<value>`` and ``fit_<value>_error`` for each fitted value.
    """
    attrs = dataset.attrs
    for key in [k for k in attrs if k.startswith("fit_")]:
        del attrs[key]
    attrs["fit_kind"] = kind
    attrs["fit_variable"] = variable
    attrs["fit_ok"] = np.int8(1 if fit.ok else 0)
    attrs["fit_reason"] = str(fit.reason)
    for name, value in fit.values.items():
        attrs[f"fit_{name}"] = float(value)
        attrs[f"fit_{name}_error"] = float(fit.errors.get(name, math.nan))


# -- files -----------------------------------------------------------------------


def save_dataset(dataset: xr.Dataset, path: str | os.PathLike[str]) -> None:
    """Write ``dataset`` as netCDF-4 to ``path``, whole or not at all."""
    write_atomically(path, lambda temporary: dataset.to_netcdf(temporary, engine="h5netcdf"))


def _refuse(path: Any, reason: str) -> DatasetError:
    return DatasetError(f"dataset file {str(path)!r} {reason}")


def open_dataset(path: str | os.PathLike[str]) -> xr.Dataset:
    """The dataset saved in ``path``, read whole into memory (the file is closed again).

    Raises :class:`DatasetError` naming the file for a missing path, a
    directory, a file that is not netCDF-4, a truncated or damaged one, and a
    netCDF file that is not one of our datasets or was written by a newer
    version.
    """
    file = Path(path)
    if not file.exists():
        raise _refuse(path, "does not exist")
    if file.is_dir():
        raise _refuse(path, "is a directory, not a dataset file")
    try:
        with open(file, "rb") as handle:
            head = handle.read(len(_HDF5_SIGNATURE))
    except OSError as exc:
        raise _refuse(path, f"cannot be read: {exc.strerror or exc}") from None
    if head.startswith(_NETCDF3_SIGNATURE):
        raise _refuse(path, "is a netCDF-3 file, not a dataset of this package (netCDF-4)")
    if head != _HDF5_SIGNATURE:
        raise _refuse(path, "is not a netCDF-4 file" + (" (it is empty)" if not head else ""))
    try:
        with xr.open_dataset(file, engine="h5netcdf") as stored:
            dataset = stored.load()
    except Exception as exc:  # h5py and xarray report damage with many exception types
        detail = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise _refuse(path, f"is truncated or damaged: {detail}") from None
    found = dataset.attrs.get("format")
    if found != FORMAT:
        raise _refuse(path, "is a netCDF file but not a dataset of this package (no 'format' attribute "
                      f"{FORMAT!r})")
    version = dataset.attrs.get("format_version")
    if not isinstance(version, (int, np.integer)) or int(version) > FORMAT_VERSION:
        raise _refuse(path, f"was written by a newer version (format version {version!r}, "
                      f"this one reads up to {FORMAT_VERSION})")
    return _complex_restored(dataset)


def _complex_restored(dataset: xr.Dataset) -> xr.Dataset:
    for name in list(dataset.data_vars):
        variable = dataset[name]
        if variable.attrs.get("complex") == 1 and _COMPLEX_DIM in variable.dims:
            parts = variable.transpose(..., _COMPLEX_DIM).values
            attrs = {k: v for k, v in variable.attrs.items() if k != "complex"}
            dims = [d for d in variable.dims if d != _COMPLEX_DIM]
            dataset[name] = xr.Variable(dims, parts[..., 0] + 1j * parts[..., 1], attrs=attrs)
    if _COMPLEX_DIM in dataset.dims and not any(_COMPLEX_DIM in v.dims for v in dataset.variables.values()):
        dataset = dataset.drop_dims(_COMPLEX_DIM)
    return dataset


# -- describing ------------------------------------------------------------------


def _span(values: np.ndarray, units: str | None = None) -> str:
    if values.dtype.kind not in "biufc":
        return f"{values.size} values" if values.ndim else repr(values.item())
    finite = np.real(values)[np.isfinite(np.real(values))]
    shown, scale = display_units(units, values if values.dtype.kind in "biuf" else ())
    unit = f" {shown}" if shown else ""
    if not finite.size:
        return "no values"
    low, high = finite.min() * scale, finite.max() * scale
    return f"{low:g}{unit}" if low == high else f"{low:g} .. {high:g}{unit}"


def _moment(timestamp: Any) -> str:
    if not isinstance(timestamp, (int, np.integer)):
        return "?"
    when = _dt.datetime.fromtimestamp(int(timestamp) / 1000, tz=_dt.timezone.utc)
    return f"{when.isoformat(timespec='milliseconds')} ({int(timestamp)} ms)"


def describe_dataset(dataset: xr.Dataset) -> list[str]:
    """A short human summary: what, when, how far, the sweep, the readouts, the calibration."""
    attrs = dataset.attrs
    state = " (interrupted)" if int(attrs.get("interrupted", 0)) else ""
    lines = [
        f"{attrs.get('title', '?')}: {attrs.get('desc', '')}".rstrip(": "),
        f"  ran {attrs.get('started', '?')} to {attrs.get('finished', '?')}, "
        f"space read as of {_moment(attrs.get('timestamp'))}",
        f"  steps {attrs.get('steps_done', '?')} of {attrs.get('steps_total', '?')}{state}; "
        f"shots {attrs.get('shots', '?')}, seed {attrs.get('seed', '?')}",
    ]
    for dim, size in dataset.sizes.items():
        if dim == _COMPLEX_DIM:
            continue
        lines.append(f"  dimension {dim}: {size} points")
        for name, coord in dataset.coords.items():
            if coord.dims and coord.dims[0] == dim:
                lines.append(f"    {name}: {_span(coord.values, coord.attrs.get('units'))}")
    for name, coord in dataset.coords.items():
        if not coord.dims:
            lines.append(f"  fixed {name} = {_span(coord.values, coord.attrs.get('units'))}")
    for name, variable in dataset.data_vars.items():
        finite = int(np.isfinite(np.real(variable.values)).sum()) if variable.dtype.kind in "biufc" else variable.size
        lines.append(f"  {name}: {_span(variable.values)} ({finite} of {variable.size} values measured)")
    if "fit_kind" in attrs:
        head = f"  {attrs['fit_kind']} fit of {attrs.get('fit_variable', '?')}"
        if int(attrs.get("fit_ok", 0)):
            names = [k[4:] for k in attrs if k.startswith("fit_") and k.endswith("_error")]
            found = [f"{n[:-6]} = {attrs['fit_' + n[:-6]]:.6g} ± {attrs['fit_' + n]:.2g}" for n in names
                     if "fit_" + n[:-6] in attrs]
            lines.append(f"{head}: {', '.join(found)}")
        else:
            lines.append(f"{head} refused: {attrs.get('fit_reason', '')}")
    try:
        calibration = json.loads(attrs.get("calibration", "{}"))
    except (TypeError, ValueError):
        calibration = {}
    keys = sorted(calibration)
    lines.append(f"  calibration: {len(keys)} keys" + (f": {', '.join(keys)}" if keys else ""))
    return lines
