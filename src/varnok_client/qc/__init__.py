"""Quantum gate descriptions."""

from .gates import STANDARD_GATES, QuantumGate

__all__ = ["QuantumGate", "STANDARD_GATES"]
