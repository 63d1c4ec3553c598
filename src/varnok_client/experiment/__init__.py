"""Experiments: the compiled engine (:mod:`.experiment`) and run results (:mod:`.result`).

The engine is imported on first use rather than here, so that the pure-Python
modules of this package load without the compiled extension.
"""


def __getattr__(name):
    if name == "Experiment":
        from .experiment import Experiment

        return Experiment
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
