"""Plots of run datasets, drawn from the dataset alone so that any saved file can be redrawn.

One swept dimension gives a line with markers per readout (a bar per circuit
in batch mode), two or more a colour map of the first two with a colour bar;
axes are labelled with the swept quantity's name and unit.  Only the
object-oriented matplotlib API is used, so no global backend is touched.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

from .data import display_units
from .utils.files import write_atomically

__all__ = ["Overlay", "axis_coordinate", "plot_dataset"]



class Overlay:
    """A curve drawn over the readout ``variable``'s panel (e.g. a fitted model) with its legend text."""

    def __init__(self, variable: str, x: Sequence[float], y: Sequence[float], label: str) -> None:
        self.variable = variable
        self.x = np.asarray(x, dtype=float)
        self.y = np.asarray(y, dtype=float)
        self.label = label


def axis_coordinate(dataset: xr.Dataset, dim: str) -> tuple[str, np.ndarray, float]:
    """Label, raw values and display scale of the quantity that names dimension ``dim``.

    The first numeric coordinate lying along ``dim`` alone names it; without
    one the dimension is shown by step index.
    """
    for name, coord in dataset.coords.items():
        if coord.dims == (dim,) and coord.dtype.kind in "biuf" and name != "circuit":
            units = coord.attrs.get("units")
            shown, scale = display_units(units, coord.values)
            label = f"{name} ({shown})" if shown else str(name)
            return label, np.asarray(coord.values, dtype=float), scale
    return f"{dim} (index)", np.arange(dataset.sizes[dim], dtype=float), 1.0


def _title(dataset: xr.Dataset) -> str:
    attrs = dataset.attrs
    title = str(attrs.get("title", ""))
    if int(attrs.get("interrupted", 0)):
        title += f" (interrupted: {attrs.get('steps_done')} of {attrs.get('steps_total')} steps)"
    return title


def plot_dataset(
    dataset: xr.Dataset,
    path: str | os.PathLike[str],
    overlays: Sequence[Overlay] = (),
    notes: Mapping[str, str] | None = None,
) -> None:
    """Draw every readout of ``dataset`` into the PNG file ``path`` (written whole or not at all).

    ``overlays`` are curves drawn over the readout they name, with their
    label in the legend; ``notes`` maps a readout to a text line shown in its
    panel (e.g. fitted values with their errors).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    readouts = {name: variable for name, variable in dataset.data_vars.items()}
    count = max(1, len(readouts))
    figure = Figure(figsize=(7.0, 3.8 * count), layout="constrained")
    FigureCanvasAgg(figure)
    panels = figure.subplots(count, 1, squeeze=False)[:, 0]
    figure.suptitle(_title(dataset))
    if not readouts:
        panels[0].text(0.5, 0.5, "no readout in this dataset", ha="center", va="center")
        panels[0].set_axis_off()
    for panel, (name, variable) in zip(panels, readouts.items()):
        _draw(panel, figure, dataset, str(name), variable, [o for o in overlays if o.variable == name])
        note = (notes or {}).get(str(name))
        if note:
            panel.set_title(note, fontsize=9)
    write_atomically(path, lambda temporary: figure.savefig(temporary, format="png", dpi=110))


def _draw(panel: Any, figure: Any, dataset: xr.Dataset, name: str, variable: xr.DataArray,
          overlays: Sequence[Overlay]) -> None:
    label = str(variable.attrs.get("long_name", name))
    probability = variable.attrs.get("units") == "1"
    values = np.real(variable.values)
    dims = list(variable.dims)
    # Readouts with values of their own per step show the first of them.
    step_dims = [d for d in dims if d == "circuit" or d.startswith("dim")]
    index = tuple(slice(None) if d in step_dims else 0 for d in dims)
    values = values[index]
    if len(step_dims) >= 2:
        first, second = step_dims[:2]
        values = values[tuple(slice(None) if k < 2 else 0 for k in range(values.ndim))]
        ylabel, y, yscale = axis_coordinate(dataset, first)
        xlabel, x, xscale = axis_coordinate(dataset, second)
        limits = {"vmin": 0.0, "vmax": 1.0} if probability else {}
        mesh = panel.pcolormesh(x * xscale, y * yscale, np.ma.masked_invalid(values), shading="auto",
                                cmap="viridis", **limits)
        figure.colorbar(mesh, ax=panel, label=label)
        panel.set_xlabel(xlabel)
        panel.set_ylabel(ylabel)
        if len(step_dims) > 2:
            panel.text(0.01, 0.99, f"first point of {', '.join(step_dims[2:])}", transform=panel.transAxes,
                       va="top", fontsize=8, color="white")
        return
    if step_dims == ["circuit"]:
        labels = [str(s) for s in dataset.coords["sequence"].values] if "sequence" in dataset.coords else None
        positions = np.arange(values.size)
        panel.bar(positions, np.nan_to_num(values, nan=0.0), color="tab:blue")
        if labels is not None and len(labels) == values.size:
            panel.set_xticks(positions, labels, rotation=45, ha="right")
        panel.set_xlabel("circuit")
    elif step_dims:
        xlabel, x, scale = axis_coordinate(dataset, step_dims[0])
        panel.plot(x * scale, values, marker="o", markersize=3, linestyle="-", label="measured")
        for overlay in overlays:
            panel.plot(overlay.x * scale, overlay.y, color="tab:red", linewidth=1.5, label=overlay.label)
        if overlays:
            panel.legend(fontsize=8, loc="best")
        panel.set_xlabel(xlabel)
        panel.grid(True, alpha=0.3)
    else:
        panel.bar([0], np.nan_to_num(np.atleast_1d(values), nan=0.0)[:1], color="tab:blue")
        panel.set_xticks([0], ["single step"])
    panel.set_ylabel(label)
    if probability:
        panel.set_ylim(-0.05, 1.05)
