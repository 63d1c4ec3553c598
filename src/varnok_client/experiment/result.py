"""Run results: named values per sweep step, merged across steps.

A run walks a sweep of up to three dimensions; each step is an *item* whose id
is the step's position in row-major order (the last dimension changes
fastest), exactly the step counter the run loop hands to its callback.  A
device callback answers one step with a one-item :class:`Result` created with
``item_id_start`` set to that counter; the run merges those answers into its
own result with :meth:`Result.concatenate`, and :attr:`Result.data` lays the
values out in the sweep's shape, leaving steps that never ran as NaN.

Files are ``.npz`` (loaded with ``allow_pickle=False``) or ``.json``; loading
either never executes anything from the file.
"""

from __future__ import annotations

import json
import math
import os
import zipfile
from typing import Any, Iterable, Mapping, Sequence

import numpy as np

__all__ = ["Result"]

_FORMAT = "varnok_client.result"
_VERSION = 1
_NUMERIC_KINDS = "biufc"
_META_KEY = "meta"


def _as_value(name: str, value: Any) -> np.ndarray:
    """A stored copy of one step's value: a numeric scalar or array."""
    try:
        array = np.array(value)
    except (ValueError, TypeError) as exc:
        raise TypeError(f"value of {name!r} is not numeric: {exc}") from exc
    if array.dtype.kind not in _NUMERIC_KINDS:
        raise TypeError(f"value of {name!r} must be numeric, got {type(value).__name__} ({array.dtype})")
    return array


def _check_dims(dims: Any) -> list[int] | None:
    if dims is None:
        return None
    if isinstance(dims, (str, bytes)) or not isinstance(dims, Iterable):
        raise TypeError(f"dims must be a list of integers, got {type(dims).__name__}")
    result = []
    for length in dims:
        if isinstance(length, bool) or not isinstance(length, (int, np.integer)):
            raise TypeError(f"dims must be a list of integers, got {dims!r}")
        if length < 0:
            raise ValueError(f"dims must not be negative, got {dims!r}")
        result.append(int(length))
    return result


def _check_item_id(item_id: Any, what: str = "item id") -> int:
    if isinstance(item_id, bool) or not isinstance(item_id, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, got {type(item_id).__name__}")
    if item_id < 0:
        raise ValueError(f"{what} must not be negative, got {item_id}")
    return int(item_id)


class Result:
    """Named values of the steps of a run.

    Args:
        complete: the producer's flag that the run delivered every step.
        final: the producer's flag that no further chunk follows.
        chunk_id: index of this chunk among the producer's chunks.
        item_id_start: id of the first item; ``add`` without an explicit id
            writes to it until another item exists.
        dims: sweep lengths (e.g. ``[5, 1, 1]``); a length of 0 (an empty
            swept sequence) counts as one point, as in the run loop.  None
            leaves the layout one-dimensional, indexed by item id.
    """

    def __init__(
        self,
        complete: bool = False,
        final: bool = False,
        chunk_id: int = 0,
        item_id_start: int = 0,
        dims: Sequence[int] | None = None,
    ) -> None:
        self.complete = bool(complete)
        self.final = bool(final)
        self.chunk_id = _check_item_id(chunk_id, "chunk id")
        self.item_id_start = _check_item_id(item_id_start)
        self.dims = _check_dims(dims)
        self._items: dict[int, dict[str, np.ndarray]] = {}
        # Names in order of first appearance, and the one shape each keeps.
        self._names: list[str] = []
        self._shapes: dict[str, tuple[int, ...]] = {}

    # -- layout ------------------------------------------------------------

    @property
    def shape(self) -> tuple[int, ...]:
        """The sweep shape that :attr:`data` uses for the step axes."""
        if self.dims is not None:
            return tuple(max(length, 1) for length in self.dims)
        return (max(self._items, default=-1) + 1,)

    def _check_in_range(self, item_id: int) -> None:
        if self.dims is not None:
            total = math.prod(max(length, 1) for length in self.dims)
            if item_id >= total:
                raise IndexError(f"item id {item_id} is outside a sweep of {total} steps (dims {self.dims})")

    # -- filling -----------------------------------------------------------

    def _current_id(self) -> int:
        return next(reversed(self._items)) if self._items else self.item_id_start

    def _store(self, item_id: int, name: str, value: np.ndarray, in_range: bool = False) -> None:
        expected = self._shapes.get(name)
        if expected is not None and expected != value.shape:
            raise ValueError(f"value of {name!r} has shape {value.shape}, earlier steps had {expected}")
        if not in_range:
            self._check_in_range(item_id)
        self._items.setdefault(item_id, {})[name] = value
        if expected is None:
            self._shapes[name] = value.shape
            if name not in self._names:
                self._names.append(name)

    def add(self, name: str, value: Any, item_id: int | None = None) -> None:
        """Record ``value`` (a number or numeric array) under ``name`` for one step.

        Without ``item_id`` the value goes to the current item: the last one
        added, or ``item_id_start`` while the result is empty.  A name keeps
        one shape across all steps.
        """
        if not isinstance(name, str):
            raise TypeError(f"value name must be a string, got {type(name).__name__}")
        target = self._current_id() if item_id is None else _check_item_id(item_id)
        self._store(target, name, _as_value(name, value))

    def add_item(self, values: Mapping[str, Any], item_id: int | None = None) -> int:
        """Start a new item holding ``values``; returns its id.

        Without ``item_id`` the item follows the last one (or is
        ``item_id_start`` for an empty result).
        """
        if item_id is None:
            target = next(reversed(self._items)) + 1 if self._items else self.item_id_start
        else:
            target = _check_item_id(item_id)
        converted = {}
        for name, value in values.items():
            if not isinstance(name, str):
                raise TypeError(f"value name must be a string, got {type(name).__name__}")
            converted[name] = _as_value(name, value)
        self._check_in_range(target)
        self._items.setdefault(target, {})
        for name, value in converted.items():
            self._store(target, name, value)
        return target

    def concatenate(self, other: "Result") -> "Result":
        """Append the items of ``other`` in its order, in place; returns self.

        An item id already present takes the newer values name by name.
        """
        if not isinstance(other, Result):
            raise TypeError(f"can only concatenate a Result, got {type(other).__name__}")
        for item_id in other._items:
            self._check_in_range(item_id)
        for item_id, values in list(other._items.items()):
            self._items.setdefault(item_id, {})
            for name, value in values.items():
                self._store(item_id, name, value.copy(), in_range=True)
        return self

    # -- reading -----------------------------------------------------------

    @property
    def names(self) -> list[str]:
        """Value names in the order they first appeared."""
        return list(self._names)

    @property
    def item_ids(self) -> list[int]:
        """Ids of the items held, in the order they were added."""
        return list(self._items)

    @property
    def items(self) -> list[tuple[int, dict[str, np.ndarray]]]:
        """``(item id, {name: value})`` pairs in order (copies)."""
        return [(item_id, {n: v.copy() for n, v in values.items()}) for item_id, values in self._items.items()]

    def __len__(self) -> int:
        return len(self._items)

    @property
    def data(self) -> dict[str, np.ndarray]:
        """Name → array of shape ``shape + value shape``; steps without a value are NaN.

        Real values become float arrays and complex values complex arrays, so
        that NaN can mark the missing steps.
        """
        shape = self.shape
        result: dict[str, np.ndarray] = {}
        for name in self._names:
            entries = [(item_id, values[name]) for item_id, values in self._items.items() if name in values]
            value_shape = entries[0][1].shape
            dtype = np.result_type(np.float64, *(value.dtype for _, value in entries))
            # A missing complex step is NaN in both parts, so neither part
            # plots or averages as a real 0.
            missing = complex(math.nan, math.nan) if dtype.kind == "c" else math.nan
            array = np.full((math.prod(shape),) + value_shape, missing, dtype=dtype)
            for item_id, value in entries:
                array[item_id] = value
            result[name] = array.reshape(shape + value_shape)
        return result

    def __repr__(self) -> str:
        return (
            f"Result(complete={self.complete}, final={self.final}, chunk_id={self.chunk_id}, "
            f"item_id_start={self.item_id_start}, dims={self.dims}, items={len(self._items)}, "
            f"names={self._names})"
        )

    # -- files -------------------------------------------------------------

    def _meta(self) -> dict[str, Any]:
        return {
            "format": _FORMAT,
            "version": _VERSION,
            "complete": self.complete,
            "final": self.final,
            "chunk_id": self.chunk_id,
            "item_id_start": self.item_id_start,
            "dims": self.dims,
            "names": list(self._names),
            "item_ids": list(self._items),
        }

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the result to ``path``; the suffix (``.npz`` or ``.json``) picks the format."""
        suffix = os.path.splitext(os.fspath(path))[1].lower()
        if suffix == ".npz":
            self._save_npz(path)
        elif suffix == ".json":
            self._save_json(path)
        else:
            raise ValueError(f"unsupported result file type {suffix!r} (use .npz or .json)")

    def _save_npz(self, path: str | os.PathLike[str]) -> None:
        arrays: dict[str, np.ndarray] = {_META_KEY: np.array(json.dumps(self._meta()))}
        for index, name in enumerate(self._names):
            entries = [(item_id, values[name]) for item_id, values in self._items.items() if name in values]
            dtype = np.result_type(*(value.dtype for _, value in entries))
            arrays[f"ids_{index}"] = np.array([item_id for item_id, _ in entries], dtype=np.int64)
            arrays[f"values_{index}"] = np.stack([value.astype(dtype) for _, value in entries])
        with open(path, "wb") as handle:
            np.savez(handle, **arrays)

    def _save_json(self, path: str | os.PathLike[str]) -> None:
        document = self._meta()
        document["items"] = [
            {"id": item_id, "values": {name: _encode(value) for name, value in values.items()}}
            for item_id, values in self._items.items()
        ]
        with open(path, "w", encoding="utf-8") as handle:
            json.dump(document, handle, allow_nan=False)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "Result":
        """Read a result written by :meth:`save`.

        Raises:
            ValueError: the file is not a result file or is malformed.
        """
        suffix = os.path.splitext(os.fspath(path))[1].lower()
        if suffix == ".npz":
            return cls._load_npz(path)
        if suffix == ".json":
            return cls._load_json(path)
        raise ValueError(f"unsupported result file type {suffix!r} (use .npz or .json)")

    @classmethod
    def _from_meta(cls, meta: Any) -> "Result":
        if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
            raise ValueError("not a result file")
        if meta.get("version") != _VERSION:
            raise ValueError(f"unsupported result file version {meta.get('version')!r}")
        names = meta.get("names")
        item_ids = meta.get("item_ids")
        if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
            raise ValueError("malformed result file: names")
        if not isinstance(item_ids, list):
            raise ValueError("malformed result file: item ids")
        try:
            result = cls(
                complete=_expect(meta.get("complete"), bool),
                final=_expect(meta.get("final"), bool),
                chunk_id=_expect(meta.get("chunk_id"), int),
                item_id_start=_expect(meta.get("item_id_start"), int),
                dims=meta.get("dims"),
            )
            for item_id in item_ids:
                result._items[_check_item_id(item_id)] = {}
        except (TypeError, ValueError) as exc:
            raise ValueError(f"malformed result file: {exc}") from exc
        if len(set(names)) != len(names):
            raise ValueError("malformed result file: repeated names")
        result._names = list(names)
        return result

    def _check_loaded(self) -> "Result":
        if set(self._names) != set(self._shapes):
            raise ValueError("malformed result file: a name has no values")
        return self

    @classmethod
    def _load_npz(cls, path: str | os.PathLike[str]) -> "Result":
        try:
            with np.load(path, allow_pickle=False) as archive:
                if _META_KEY not in archive.files:
                    raise ValueError("not a result file")
                result = cls._from_meta(json.loads(str(archive[_META_KEY][()])))
                for index, name in enumerate(result._names):
                    ids = archive[f"ids_{index}"]
                    values = archive[f"values_{index}"]
                    if ids.ndim != 1 or len(ids) != len(values) or values.dtype.kind not in _NUMERIC_KINDS:
                        raise ValueError(f"malformed result file: values of {name!r}")
                    for item_id, value in zip(ids.tolist(), values):
                        result._put_loaded(item_id, name, np.array(value))
        except (KeyError, OSError, json.JSONDecodeError, zipfile.BadZipFile) as exc:
            raise ValueError(f"malformed result file: {exc}") from exc
        return result._check_loaded()

    @classmethod
    def _load_json(cls, path: str | os.PathLike[str]) -> "Result":
        try:
            with open(path, encoding="utf-8") as handle:
                document = json.load(handle)
        except (json.JSONDecodeError, RecursionError, UnicodeDecodeError) as exc:
            raise ValueError(f"malformed result file: {exc}") from exc
        result = cls._from_meta(document)
        items = document.get("items")
        if not isinstance(items, list):
            raise ValueError("malformed result file: items")
        for entry in items:
            if not isinstance(entry, dict) or not isinstance(entry.get("values"), dict):
                raise ValueError("malformed result file: item")
            for name, encoded in entry["values"].items():
                result._put_loaded(entry.get("id"), name, _decode(encoded))
        return result._check_loaded()

    def _put_loaded(self, item_id: Any, name: str, value: np.ndarray) -> None:
        try:
            item_id = _check_item_id(item_id)
            if item_id not in self._items or name not in self._names:
                raise ValueError(f"item {item_id} or name {name!r} not announced in the header")
            self._store(item_id, name, value)
        except (TypeError, ValueError, IndexError) as exc:
            raise ValueError(f"malformed result file: {exc}") from exc

    # -- plotting ----------------------------------------------------------

    def plot(
        self,
        path: str | os.PathLike[str],
        axis_values: Mapping[int, Sequence[float]] | None = None,
        title: str | None = None,
    ) -> None:
        """Draw every scalar-valued name against the swept dimensions into ``path``.

        A sweep with one swept dimension (or none) gives one line plot per
        name; two swept dimensions give one colour map per name.  Complex
        values are drawn as their real and imaginary parts (lines) or their
        magnitude (maps).  ``axis_values`` maps a dimension to the coordinates
        of its points (default: the step indices).

        Raises:
            ValueError: nothing to plot, or more than two swept dimensions.
        """
        data = {name: values for name, values in self.data.items() if values.ndim == len(self.shape)}
        if not data:
            raise ValueError("the result holds no scalar values to plot")
        swept = [dim for dim, length in enumerate(self.shape) if length > 1]
        if len(swept) > 2:
            raise ValueError(f"cannot plot a sweep of {len(swept)} dimensions; at most two")
        axis_values = dict(axis_values or {})

        def coordinates(dim: int) -> np.ndarray:
            if dim in axis_values:
                values = np.asarray(axis_values[dim], dtype=float)
                if values.shape != (self.shape[dim],):
                    raise ValueError(f"axis values of dimension {dim} must have {self.shape[dim]} points")
                return values
            return np.arange(self.shape[dim], dtype=float)

        # Only the object-oriented API: no pyplot, so the caller's backend and
        # global figure state are left alone.
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        count = len(data)
        figure = Figure(figsize=(6.4, 3.6 * count))
        FigureCanvasAgg(figure)
        axes_list = figure.subplots(count, 1, squeeze=False)[:, 0]
        for axes, (name, values) in zip(axes_list, data.items()):
            if len(swept) == 2:
                first, second = swept
                grid = values.reshape(self.shape[first], self.shape[second])
                grid = np.abs(grid) if np.iscomplexobj(grid) else grid
                mesh = axes.pcolormesh(coordinates(second), coordinates(first), grid, shading="auto")
                figure.colorbar(mesh, ax=axes, label=f"|{name}|" if np.iscomplexobj(values) else name)
                axes.set_xlabel(f"dimension {second}")
                axes.set_ylabel(f"dimension {first}")
            else:
                dim = swept[0] if swept else 0
                x = coordinates(dim)
                line = values.reshape(-1)
                if np.iscomplexobj(line):
                    axes.plot(x, line.real, marker="o", label=f"Re {name}")
                    axes.plot(x, line.imag, marker="o", label=f"Im {name}")
                    axes.legend()
                else:
                    axes.plot(x, line, marker="o")
                axes.set_xlabel(f"dimension {dim}")
                axes.set_ylabel(name)
            axes.set_title(name if title is None else f"{title}: {name}")
        figure.tight_layout()
        figure.savefig(os.fspath(path))


def _expect(value: Any, kind: type) -> Any:
    if kind is int and (isinstance(value, bool) or not isinstance(value, int)):
        raise TypeError(f"expected an integer, got {value!r}")
    if kind is bool and not isinstance(value, bool):
        raise TypeError(f"expected true or false, got {value!r}")
    return value


_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def _encode_number(number: float | int | bool) -> Any:
    if isinstance(number, float) and not math.isfinite(number):
        return "nan" if math.isnan(number) else ("inf" if number > 0 else "-inf")
    return number


def _encode(value: np.ndarray) -> dict[str, Any]:
    """A JSON form of one value; strict JSON, so non-finite numbers become strings."""
    flat = value.reshape(-1)
    encoded: dict[str, Any] = {"dtype": value.dtype.str, "shape": list(value.shape)}
    if value.dtype.kind == "c":
        encoded["real"] = [_encode_number(x) for x in flat.real.tolist()]
        encoded["imag"] = [_encode_number(x) for x in flat.imag.tolist()]
    else:
        encoded["real"] = [_encode_number(x) for x in flat.tolist()]
    return encoded


def _decode_numbers(values: Any) -> list[Any]:
    if not isinstance(values, list):
        raise ValueError("malformed result file: value numbers")
    result = []
    for number in values:
        if isinstance(number, str) and number in _NON_FINITE:
            result.append(_NON_FINITE[number])
        elif isinstance(number, (int, float)):
            result.append(number)
        else:
            raise ValueError(f"malformed result file: {number!r} is not a number")
    return result


def _decode(encoded: Any) -> np.ndarray:
    if not isinstance(encoded, dict):
        raise ValueError("malformed result file: value")
    name = encoded.get("dtype")
    try:
        if not isinstance(name, str):
            raise TypeError("not a string")
        dtype = np.dtype(name)
    except (TypeError, ValueError, KeyError, SyntaxError) as exc:
        raise ValueError(f"malformed result file: dtype {name!r}") from exc
    if dtype.kind not in _NUMERIC_KINDS:
        raise ValueError(f"malformed result file: dtype {dtype} is not numeric")
    shape = encoded.get("shape")
    if not isinstance(shape, list) or not all(isinstance(n, int) and n >= 0 for n in shape):
        raise ValueError("malformed result file: shape")
    real = _decode_numbers(encoded.get("real"))
    if len(real) != math.prod(shape):
        raise ValueError("malformed result file: value size does not match its shape")
    if dtype.kind == "c":
        imag = _decode_numbers(encoded.get("imag"))
        if len(imag) != len(real):
            raise ValueError("malformed result file: imaginary parts")
        flat = np.empty(len(real), dtype=dtype)
        flat.real = real
        flat.imag = imag
        return flat.reshape(shape)
    if dtype.kind in "biu" and not all(isinstance(number, int) for number in real):
        raise ValueError(f"malformed result file: {dtype} value holds non-integers")
    try:
        return np.array(real, dtype=dtype).reshape(shape)
    except (OverflowError, ValueError, TypeError) as exc:
        raise ValueError(f"malformed result file: {exc}") from exc
