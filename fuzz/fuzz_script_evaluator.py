"""Fuzzes ScriptEvaluator.evaluate with raw text and with token-built near-scripts.

The evaluator's contract: every refused or failing script raises ScriptError, nothing else, and
every evaluation ends quickly.  Anything else (another exception type, a run over the time bound,
a crash) is a bug of the evaluator.
"""

import sys
import time

import atheris

with atheris.instrument_imports(include=["varnok_client"]):
    from varnok_client.group import Group
    from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator

TIME_LIMIT = 2.0
CALIBRATION = {"q01.freq": 5e9, "q01.x_amp": 0.5, "q01.x_width": 40.0}
TOKENS = [
    "sweep(", "linspace(", "logspace(", "geomspace(", "arange(", "zeros(", "ones(", "full(", "array(",
    "concatenate(", "repeat(", "tile(", "clip(", "mean(", "cumsum(", "diff(", "power(", "sqrt(", "log(",
    "exp(", "sin(", "abs(", "min(", "max(", "round(", "len(", "range(", "sum(", "int(", "float(",
    "complex(", "bool(", "list(", "tuple(", "sorted(", "zip(", "enumerate(", "space(", "'q01.freq'",
    "'q01.x_amp'", "'nope'", "dim=", "num=", "axis=", "dtype=", "endpoint=", "base=", "n=", "ndigits=",
    "reverse=", "start=", "0", "1", "2", "3", "-1", "0.5", "1e308", "1e-308", "10**9", "2**64", "1j",
    "True", "False", "None", "'text'", "x", "y", "x = ", "y = ", "\n", "; ", ", ", ")", "(", "[", "]",
    "{", "}", ": ", " + ", " - ", " * ", " / ", " // ", " % ", " ** ", " @ ", " & ", " | ", " ^ ", " << ",
    " >> ", " < ", " == ", " and ", " or ", "not ", " if ", " else ", " for ", " in ", "lambda ", ".real",
    ".imag", ".shape", ".T", "[0]", "[::-1]", "[1:]", "*", "**", "#", "'''", "\\", "\t", " ",
]


def build_script(fdp):
    return "".join(fdp.PickValueInList(TOKENS) for _ in range(fdp.ConsumeIntInRange(0, 40)))


def check(evaluator, text):
    started = time.monotonic()
    try:
        evaluator.evaluate(text)
    except ScriptError:
        pass
    elapsed = time.monotonic() - started
    if elapsed > TIME_LIMIT:
        raise AssertionError(f"evaluation took {elapsed:.1f} s: {text[:300]!r}")


EVALUATOR = ScriptEvaluator()
EVALUATOR.group = Group("g", dict(CALIBRATION))


def TestOneInput(raw):
    check(EVALUATOR, raw.decode("utf-8", "replace"))
    fdp = atheris.FuzzedDataProvider(raw)
    check(EVALUATOR, build_script(fdp))


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
