"""Waveforms, wave gates, circuits of them and their sampled wave packages.

The shared shape registry is :data:`varnok_client.waveform.waveform_register.waveform_register`
(deliberately not re-exported here, so the submodule keeps its name).
"""

from .circuit import WaveCircuit, WaveGate
from .package import WavePackage
from .shapes import Cosine, Drag, Gaussian, Square, Waveform

__all__ = [
    "Cosine",
    "Drag",
    "Gaussian",
    "Square",
    "WaveCircuit",
    "WaveGate",
    "WavePackage",
    "Waveform",
]
