"""Pulse-level control of quantum devices.

The experiment engine lives in :mod:`varnok_client.experiment.experiment`; the
modules beside it model circuits, device parameters, gate compilation, user
scripts, options, results and plug-ins.
"""

__version__ = "0.1.0"
