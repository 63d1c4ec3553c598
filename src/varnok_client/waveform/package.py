"""Wave packages: a circuit (or one compiled gate) sampled per channel."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .shapes import Waveform, real_value

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["WavePackage", "MAX_EXPORT_SAMPLES"]

#: Most samples per channel one export or redraw makes (about 8.4 ms at
#: 2 GS/s, 256 MiB of complex samples per channel).  Pulse sequences last
#: microseconds; a longer circuit is almost certainly a unit mistake (seconds
#: given as ns) or a hostile file, and is refused before any allocation.
MAX_EXPORT_SAMPLES = 1 << 24


class WavePackage:
    """Per-channel complex samples on one time grid, plus the placed waveforms.

    ``times`` is the grid in ns (sample ``k`` at ``k * 1e9 / sample_rate``),
    ``channels`` maps each channel to its samples on that grid, ``waves`` holds
    copies of the circuit's waveforms with ``t0`` moved to their absolute start
    time, and ``duration`` is the length of the circuit in ns.
    """

    def __init__(
        self,
        channels: dict[str, NDArray[np.complex128]] | None = None,
        times: NDArray[np.float64] | None = None,
        sample_rate: float = 2e9,
        waves: list[Waveform] | None = None,
        duration: float | None = None,
    ) -> None:
        self.times: NDArray[np.float64] = (
            np.zeros(0) if times is None else np.asarray(times, dtype=float)
        )
        if self.times.ndim != 1:
            raise ValueError(f"times must be one-dimensional, got shape {self.times.shape}")
        self.channels: dict[str, NDArray[np.complex128]] = {}
        for channel, samples in dict(channels or {}).items():
            if not isinstance(channel, str):
                raise TypeError(f"channel names must be strings, got {channel!r}")
            array = np.asarray(samples, dtype=complex)
            if array.shape != self.times.shape:
                raise ValueError(
                    f"channel {channel!r} has {array.shape} samples for a grid of {self.times.shape}"
                )
            self.channels[channel] = array
        self.sample_rate = real_value(sample_rate, "sample_rate")
        self.waves: list[Waveform] = list(waves or [])
        for wave in self.waves:
            if not isinstance(wave, Waveform):
                raise TypeError(f"waves of a package must be waveforms, got {wave!r}")
        if duration is None:
            duration = max((w.end for w in self.waves), default=0.0)
        self.duration = real_value(duration, "duration")

    @classmethod
    def _from_export(
        cls,
        channels: dict[str, NDArray[np.complex128]],
        times: NDArray[np.float64],
        sample_rate: float,
        waves: list[Waveform],
        duration: float,
    ) -> WavePackage:
        """A package of arrays an export has just built (one-dimensional float grid, complex
        channels of its length, placed copies of waveforms): only what the export cannot
        vouch for, the channel names it read from the waveforms, is checked."""
        for channel in channels:
            if not isinstance(channel, str):
                raise TypeError(f"channel names must be strings, got {channel!r}")
        package = cls.__new__(cls)
        package.times = times
        package.channels = channels
        package.sample_rate = sample_rate
        package.waves = waves
        package.duration = real_value(duration, "duration")
        return package

    def channel_waves(self, channel: str) -> list[Waveform]:
        """The placed waveforms on ``channel``."""
        return [w for w in self.waves if w.channel == channel]

    def resample(
        self, dt: float
    ) -> tuple[NDArray[np.float64], dict[str, NDArray[np.complex128]]]:
        """The channels on a grid of step ``dt`` ns, computed afresh from the placed waveforms.

        A channel without placed waveforms (a hand-made package) is interpolated instead.
        """
        step = real_value(dt, "dt")
        if step <= 0:
            raise ValueError(f"dt must be positive, got {dt!r}")
        if not self.duration / step <= MAX_EXPORT_SAMPLES:
            raise ValueError(
                f"dt={dt!r} ns over {self.duration:g} ns gives more than "
                f"{MAX_EXPORT_SAMPLES} samples per channel"
            )
        times = np.arange(0.0, self.duration, step)
        out: dict[str, NDArray[np.complex128]] = {}
        for channel, samples in self.channels.items():
            waves = self.channel_waves(channel)
            if waves:
                out[channel] = np.sum([w.sample(times) for w in waves], axis=0)
            else:
                out[channel] = np.interp(
                    times, self.times, samples.real
                ) + 1j * np.interp(times, self.times, samples.imag)
        return times, out

    def plot(self, dt: float | None = None, path: str | Path | None = None) -> Figure:
        """Draw the I and Q parts of every channel; save to ``path`` when given.

        ``dt`` (ns) redraws from the waveforms on a finer or coarser grid than
        the package's own.  Drawing never touches matplotlib's global backend.
        """
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        times, channels = (
            (self.times, self.channels) if dt is None else self.resample(dt)
        )
        rows = max(1, len(channels))
        fig = Figure(figsize=(8.0, 1.8 * rows + 0.6), layout="constrained")
        FigureCanvasAgg(fig)
        axes = fig.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]
        for ax, (channel, samples) in zip(axes, channels.items(), strict=False):
            ax.plot(times, samples.real, label="I")
            ax.plot(times, samples.imag, label="Q")
            ax.set_ylabel(channel)
            ax.legend(loc="upper right", fontsize="small")
        if not channels:
            axes[0].text(0.5, 0.5, "no waveforms", ha="center", va="center")
        axes[-1].set_xlabel("time (ns)")
        if path is not None:
            fig.savefig(path)
        return fig

    def __repr__(self) -> str:
        return (
            f"WavePackage(channels={list(self.channels)!r}, samples={self.times.size}, "
            f"sample_rate={self.sample_rate:g}, waves={len(self.waves)})"
        )
