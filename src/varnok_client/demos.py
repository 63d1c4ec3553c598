"""Example experiments, built in code: the ones ``varnok demo`` runs and ``examples/`` keeps.

Every builder returns an experiment without a group and without compiled
data, so its saved form holds only the circuit and the scripts: the gates
carry no waveforms yet and are filled from whichever device calibration the
experiment is run against.  The scripts read calibration through
``space(...)``, so the sweeps scale with the device too.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .experiment.experiment import Experiment
from .waveform import WaveCircuit

__all__ = ["DEMOS", "build_batch", "build_chevron", "build_rabi", "build_ramsey", "build_demo"]


def _number(value: float) -> str:
    """A number as a script literal: ``4000``, ``1.5e6``, ``-6e7``."""
    value = float(value)
    if value.is_integer() and abs(value) < 1e5:
        return str(int(value))
    mantissa, exponent = f"{value:.12e}".split("e")
    return f"{mantissa.rstrip('0').rstrip('.')}e{int(exponent)}"


def _drive_then_read(title: str, desc: str, qubit: str, scale: str, points: int) -> Experiment:
    """X then M on ``qubit``, with X's amplitude swept on dimension 0 from 0 to
    ``scale`` times the calibrated X amplitude."""
    exp = Experiment(title, desc)
    exp.add_wave_gate(("X", qubit), 0)
    exp.add_wave_gate(("M", qubit), 1)
    exp.set_waveform_script_by_channel(
        qubit,
        0,
        f"{qubit}.xy",
        "amp",
        f'sweep(linspace(0, {scale} * space("{qubit}.x_amp"), {points}), dim=0)',
    )
    return exp


def build_rabi(qubit: str = "q01", points: int = 61, turns: float = 1.5) -> Experiment:
    """Amplitude Rabi: X with its amplitude swept from 0 to ``turns`` full turns, then M."""
    return _drive_then_read(
        "Rabi",
        f"Amplitude of X on {qubit} swept over {turns:g} full turns (the X amplitude is half a turn).",
        qubit,
        _number(2 * turns),
        points,
    )


def build_ramsey(
    qubit: str = "q01", points: int = 81, max_delay: float = 4000.0, detuning: float = 1.5e6
) -> Experiment:
    """Ramsey: X/2, a free evolution swept by delaying the second X/2, X/2, M.

    Both X/2 pulses are driven ``detuning`` Hz above the qubit; their relative
    phase then advances by ``2*pi*detuning`` per second of delay, so the
    fringes oscillate at ``detuning`` and decay with the qubit's coherence.
    """
    exp = Experiment(
        "Ramsey",
        f"X/2 - delay - X/2 on {qubit}, drive detuned by {detuning / 1e6:g} MHz, "
        f"delay 0 to {max_delay:g} ns.",
    )
    exp.add_wave_gate(("X/2", qubit), 0)
    exp.add_wave_gate(("X/2", qubit), 1)
    exp.add_wave_gate(("M", qubit), 2)
    for layer in (0, 1):
        exp.set_waveform_script_by_channel(qubit, layer, f"{qubit}.xy", "detuning", _number(detuning))
    # Delaying the second pulse within its own gate stretches that layer, so
    # the readout follows it.
    exp.set_waveform_script_by_channel(
        qubit, 1, f"{qubit}.xy", "t0", f"sweep(linspace(0, {_number(max_delay)}, {points}), dim=0)"
    )
    return exp


def build_chevron(
    qubit: str = "q01", amp_points: int = 31, detuning_points: int = 41, span: float = 120e6
) -> Experiment:
    """Chevron: X amplitude (dimension 0) against drive detuning (dimension 1), then M."""
    exp = _drive_then_read(
        "Chevron",
        f"X on {qubit}: amplitude 0 to 2 turns against drive detuning "
        f"-{span / 2e6:g} to +{span / 2e6:g} MHz.",
        qubit,
        "4",
        amp_points,
    )
    exp.set_waveform_script_by_channel(
        qubit,
        0,
        f"{qubit}.xy",
        "detuning",
        f"sweep(linspace({_number(-span / 2)}, {_number(span / 2)}, {detuning_points}), dim=1)",
    )
    return exp


#: The circuits of the batch demo, each followed by a readout: gate names layer by layer.
BATCH_SEQUENCES: tuple[tuple[str, ...], ...] = (
    ("I",),
    ("X/2",),
    ("X",),
    ("Y/2",),
    ("Y",),
    ("X/2", "X/2"),
    ("X", "X"),
    ("X/2", "-X/2"),
    ("Y/2", "X"),
    ("X/2", "Y/2", "X/2"),
)


def build_batch(qubit: str = "q01", sequences: tuple[tuple[str, ...], ...] = BATCH_SEQUENCES) -> Experiment:
    """A batch of short gate sequences on ``qubit``, one circuit per sequence, each read out."""
    exp = Experiment(
        "Gate sequences",
        f"{len(sequences)} short gate sequences on {qubit}, one circuit each, each ending in M.",
    )
    for sequence in sequences:
        circuit = WaveCircuit()
        for layer, gate in enumerate(sequence):
            circuit.add_gate((gate, qubit), layer)
        circuit.add_gate(("M", qubit), len(sequence))
        exp.append_circuit(circuit)
    return exp


#: Demo name -> builder (called with no arguments for the standard demo).
DEMOS: dict[str, Callable[..., Experiment]] = {
    "rabi": build_rabi,
    "ramsey": build_ramsey,
    "chevron": build_chevron,
    "batch": build_batch,
}


def build_demo(name: str, **kwargs: Any) -> Experiment:
    """The demo experiment called ``name`` (see :data:`DEMOS`)."""
    try:
        builder = DEMOS[name]
    except KeyError:
        raise ValueError(f"unknown demo {name!r}; choose one of {', '.join(DEMOS)}") from None
    return builder(**kwargs)
