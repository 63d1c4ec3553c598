"""Fakes and builders shared by the script-compilation tests."""

import numpy as np

from support_collaborators import raised
from varnok_client.waveform.waveform_register import waveform_register


class FakeEvaluator:
    """Answers each script from a table (a result, an exception to raise, or a list
    of those handed out one per call) and records every call with the group in force."""

    def __init__(self, answers=None):
        self.group = None
        # list answers are copied so that parametrized tables stay intact
        self.answers = {k: list(v) if isinstance(v, list) else v for k, v in (answers or {}).items()}
        self.calls = []

    def evaluate(self, *args, **kwargs):
        self.calls.append((args, kwargs, self.group))
        answer = self.answers[args[0]]
        if isinstance(answer, list):
            answer = answer.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def scripts(self):
        return [args[0] for args, _, _ in self.calls]


def install(exp, answers=None):
    evaluator = FakeEvaluator(answers)
    exp._Experiment__script_evaluator = evaluator
    return evaluator


def scripts(exp, evaluator, space=(), waves=()):
    """Space-parameter scripts {key: answer}, each script's text its key, then waveform scripts by ids on gate
    (q01, layer 0), each (ids, parameter, answer) with the text "<parameter> <ids>"; the evaluator answers them."""
    for key, answer in dict(space).items():
        evaluator.answers[key] = list(answer) if isinstance(answer, list) else answer
        exp.set_space_parameter_script(key, key)
    for ids, parameter, answer in waves:
        evaluator.answers[f"{parameter} {ids}"] = answer
        exp.set_waveform_script_by_ids("q01", 0, ids, parameter, f"{parameter} {ids}")
    return evaluator


def val(value, dim=0, use_space=()):
    return {"type": "val", "dim": dim, "val": value, "seq": None, "use_space": list(use_space)}


def seq(values, dim, use_space=()):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": list(use_space)}


def lacking(key, answer):
    return {k: v for k, v in answer.items() if k != key}


def grid(*shape):
    """A nested list of the given shape holding 0, 1, 2, ..."""
    return np.arange(int(np.prod(shape))).reshape(shape).tolist()


def private(exp, name):
    return vars(exp)["_Experiment__" + name]


def three_waves():
    return [
        waveform_register.create("drag", "q01.xy", name="drive", width=40.0),
        waveform_register.create("square", "q01.z", name="flux", width=40.0),
        waveform_register.create("square", "q01.xy", name="drive", width=20.0),
    ]


def space_sweeps(exp, evaluator, lengths):
    """A space-parameter sweep on every dimension d whose length lengths[d] is not 1."""
    for dim, n in enumerate(lengths):
        if n != 1:
            evaluator.answers[f"space{dim}"] = seq(list(range(n)), dim)
            exp.set_space_parameter_script(f"p{dim}", f"space{dim}")


def compile_error(exp, error=RuntimeError, *args):
    """Compiles expecting ``error``; returns its message."""
    return str(raised(error, exp.compile_scripts, *args))
