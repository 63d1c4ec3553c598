"""The script evaluator: the accepted language, its refusals and its resource limits."""

import numpy as np
import pytest

from varnok_client.utils import script_evaluator as module
from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator


class StandInGroup:
    """Answers space() reads from a dict and records every read."""

    def __init__(self, values):
        self.values, self.reads = dict(values), []

    def get_parameter(self, key, timestamp=None):
        self.reads.append((key, timestamp))
        return self.values[key]


@pytest.fixture
def group():
    return StandInGroup({"q01.x_amp": 0.5, "q01.freq": 5.0e9, "q01.list": [1, 2, 3]})


@pytest.fixture
def evaluator(group):
    ev = ScriptEvaluator()
    ev.group = group
    return ev


def val(value):
    return {"type": "val", "dim": 0, "val": value, "seq": None, "use_space": []}


def seq(dim, values):
    return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": []}


@pytest.mark.parametrize("script, expected", [
    ("2 ** 10 - 7 // 2 + 7 % 4 * 1.5", val(1024 - 3 + 4.5)),
    ("a = b = 5\nc, d = 1, 2\nc += d\n[a * b, c, d]", val([25, 3, 2])),
    ("[(i, j) for i in range(3) if i % 2 == 0 for j in 'ab']", val([(0, "a"), (0, "b"), (2, "a"), (2, "b")])),
    ("{'a': 1, 'b': [4, 5, 6]}['b'][1:] + [(1, 2, 3)[-1]]", val([5, 6, 3])),
    ("[1 < 2 <= 2 != 3, not (1 in [1, 2]) or 'x', 0 and undefined_is_never_read, 'y' if 3 > 2 else 'n']",
     val([True, "x", 0, "y"])),
    ("abs(-3) + min(4, 2) + max([1, 7]) + len('abcd') + round(123456, -2)", val(3 + 2 + 7 + 4 + 123500)),
    ("[sorted([3, 1, 2], reverse=True), list(enumerate('ab', start=1)), sum([1, 2], 10)]",
     val([[3, 2, 1], [(1, "a"), (2, "b")], 13])),
    ("[int('ff', 16) + int(2.9) + float('1.5') + bool(0), complex(1, 2) * 1j, tuple(range(3))]",
     val([255 + 2 + 1.5, -2 + 1j, (0, 1, 2)])),
    ("range(3)", val([0, 1, 2])), ("pi == np.pi and e > 2 and inf > 1e308", val(True)),
    ("linspace(0, 1, 5)[:4] + np.arange(0, 1, 0.25)", val([0, 0.5, 1, 1.5])),
    ("zeros((2, 2), dtype=int) + ones(2) + full(2, 7, dtype='float64') + logspace(0, 2, 3)[:2]", val([[9, 18]] * 2)),
    ("concatenate([repeat([1, 2], [2, 1]), tile([3], 2)])", val([1, 1, 2, 3, 3])),
    ("sin(pi / 2) + cos(0) + sqrt(4) + exp(0) + log10(100) + power(2, 3)", val(15.0)),
    ("clip([-1, 0.5, 2], 0, 1) + cumsum([1, 2, 3])", val([1, 3.5, 7])),
    ("mean(array([[1, 2], [3, 4]]), axis=0) + sum(array([[1, 2], [3, 4]]), 1)", val([7.0, 10.0])),
    ("max(array([[1, 5], [3, 4]])) - min(array([2, 1, 3]))", val([2, 4])),
    ("a = arange(10)\n[a[a % 3 == 0], a[[1, 5]] * 2, a[::-4]]", val([[0, 3, 6, 9], [2, 10], [9, 5, 1]])),
    ("flip(floor([1.5, 2.5]) + ceil(0.1)) + diff([1, 4])", val([6.0, 5.0])),
    ("log(array([0.0])) - array([1.0]) / 0 - exp(array([1e4]))", val([-np.inf])),
    # Just inside the limits (the rows just outside are refused below); the text limit counts bytes of UTF-8.
    ("2 ** 4095", val(2**4095)), ("-" * 98 + "1", val(1)), ("len([0] * 5_000_000)", val(5_000_000)),
    ("1" + " " * (module.MAX_SCRIPT_BYTES - 1), val(1)),
    # A sweep as the whole final expression; its dimension keeps its type.
    ("sweep([1, 2, 3])", seq(0, [1, 2, 3])), ("sweep([[1, 2], [3, 4]], dim=(0, 1))", seq((0, 1), [[1, 2], [3, 4]])),
    ("sweep([[1, 2], [3, 4]], dim=[1, 2])", seq([1, 2], [[1, 2], [3, 4]])), ("sweep(range(3), 2)", seq(2, [0, 1, 2])),
], ids=lambda value: value[:30] if isinstance(value, str) else None)
def test_accepted_scripts_compute_their_value(evaluator, script, expected):
    result = evaluator.evaluate(script)
    np.testing.assert_equal(result, expected)
    assert type(result["dim"]) is type(expected["dim"])


def test_space_reads_are_recorded_once_in_first_use_order_and_arrays_kept(evaluator, group):
    script = 'f = space("q01.freq")\namp = space("q01.x_amp") * sum(space("q01.list")) / 6 + 0 * space("q01.freq")\n'
    result = evaluator.evaluate(script + "sweep(linspace(0, 2 * amp, 41) + 0 * f, dim=1)", timestamp=1234)
    assert list(result) == ["type", "dim", "val", "seq", "use_space"] and isinstance(result["seq"], np.ndarray)
    assert result["use_space"] == ["q01.freq", "q01.x_amp", "q01.list"] and result["dim"] == 1
    np.testing.assert_allclose(result["seq"], np.linspace(0, 1.0, 41))
    assert group.reads == [("q01.freq", 1234), ("q01.x_amp", 1234), ("q01.list", 1234), ("q01.freq", 1234)]


REFUSED = [  # (script, construct named, line, column)
    ("import os\n1", "import statement", 1, 1), ("__import__('os')", "'__import__'", 1, 1),
    ("_x = 1\n_x", "'_x'", 1, 1), ("[c for c in ().__class__.__bases__]", "'.__bases__'", 1, 13),
    ("np.load('x.npy')", "'np.load'", 1, 1), ("x = 1\nx.real", "only np.<name>", 2, 1),
    ("np", "'np' can only be used", 1, 1), ("x = sin\nx", "'sin' can only be called", 1, 5),
    ("getattr(np, 'load')", "calling 'getattr'", 1, 1), ("sin(1)(2)", "calling anything but an allowed function", 1, 1),
    ("lambda: 1", "lambda", 1, 1), ("def f():\n    return 1\nf()", "function definition", 1, 1),
    ("class A: pass\n1", "class definition", 1, 1), ("for i in range(3):\n    pass\n1", "for loop", 1, 1),
    ("f'{1}'", "f-string", 1, 1), ("'%s' % 1", "string formatting", 1, 1),
    ("(x := 1)", "assignment expression", 1, 2), ("sin(*[1])", "argument unpacking", 1, 5),
    ("x = [1]\nx.append(2)\nx", "expression statement", 2, 1), ("a = [1]\na[0] = 2\na", "plain name", 2, 1),
    ("x = 1\nspace += 1\nx", "built-in name 'space'", 2, 1), ("[1 for sweep in [1]]", "built-in name 'sweep'", 1, 8),
    ("pi = 3\npi", "built-in name 'pi'", 1, 1), ("try:\n    x = 1\nexcept Exception:\n    pass\n1", "try", 1, 1),
    ("x = 1", "no final expression", 1, 1), ("sweep([1]) + 1", "whole final expression", 1, 1),
    ("x = sweep([1])\nx", "whole final expression", 1, 5), ("sweep([1], dim=-1)", "between 0 and", 1, 16),
    ("sweep(1)", "must be a list, tuple or array", 1, 7), ("array([1], dtype='O')", "dtype 'O'", 1, 1),
    ("x = space('q01.freq')\nzeros(3, out=x)", "keyword argument 'out'", 2, 14),
    ("linspace(0)", "takes 2 to 4 positional arguments", 1, 1), ("1 +", "syntax error", 1, 4),
    ("'éé' + unknown", "unknown name 'unknown'", 1, 8), ("y = [i for i in range(3)]\ni", "unknown name 'i'", 2, 1),
    # Resource bombs.
    ("10 ** 10 ** 10", "4096 bits", 1, 1), ("x = 2 ** 4095\nx * 2", "4096 bits", 2, 1),
    ("'a' * 10 ** 9", "over 10,000,000", 1, 1), ("len(list(range(10 ** 12)))", "over 10,000,000", 1, 5),
    ("arange(0.0, 1.0, 1e-300)", "over 10,000,000", 1, 1),
    ("z = zeros(4000)\nz[:, None] + z[None, :]", "over 10,000,000", 2, 1),
    ("a = zeros((1000, 1000))\na[arange(10 ** 5) % 1000]", "over 10,000,000", 2, 1),
    ("a = arange(10)\na[[0, 1], [0, 1]]", "only one list or array index", 2, 1),
    ("power(array([3]), 2 ** 100)", "too large for array arithmetic", 1, 1),
    ("array([[0] * 10 ** 6] * 10 ** 6)", "array of over 10,000,000", 1, 1),
    ("sum(range(10 ** 12))", "work budget", 1, 1), ("sum([[1]] * 10 ** 6, [])", "start must be a number", 1, 1),
    ("a = arange(10 ** 6)\n[sum(a) for i in range(1000)]", "work budget", 2, 2),
    ("a = [0, 0]\n" + "a = [a, a]\n" * 60 + "b = [0, 0]\n" + "b = [b, b]\n" * 60 + "a == b", "work budget", 123, 1),
    ("a = [0]\n" + "a = [a]\n" * 200 + "a", "nested deeper than 100", 202, 1),
    ("x = 1" + "\n" * 70000 + "x", "64 KiB", 1, 1), ("1" + " + 1" * 150, "nesting deeper than 100", 1, 209),
    ("-" * 60000 + "1", "too complex to parse", 1, 1),
    # Just outside the limits.
    ("2 ** 4096", "4096 bits", 1, 1), ("x = 1\ny = " + "9" * 1300, "integer literal over 4096 bits", 2, 5),
    ("-" * 99 + "1", "nesting deeper than 100", 1, 100),
    ("len([0] * 10_000_001)", "over 10,000,000", 1, 5), ("1#" + "é" * (module.MAX_SCRIPT_BYTES // 2), "64 KiB", 1, 1),
]


# Runtime errors, the evaluator's own refusals of a wrong type among them, are chained to their cause.
FAILING = [
    ("x = 1 / 0\nx", "ZeroDivisionError", 1, 5, ZeroDivisionError), ("[1, 2][5]", "IndexError", 1, 1, IndexError),
    ("1 + 'a'", "TypeError", 1, 1, TypeError), ("space('missing')", "KeyError", 1, 1, KeyError),
    ("x = 2\ny = [1, 2] + array([1, 2, 3])\ny", "ValueError", 2, 5, ValueError),
    ("a = 1\nb = 2\nc = len(5)\nc", "expected a sequence, got int", 3, 5, TypeError),
    ("x = 5\nx[0]", "indexing a value of type int", 2, 1, TypeError),
    ("range(1.5)", "must be an integer, got float", 1, 1, TypeError),
    ("space(3)", "key must be a string", 1, 1, TypeError), ("[i for i in 3]", "cannot iterate", 1, 13, TypeError),
]


@pytest.mark.parametrize("script, fragment, line, column, cause", [(*r, None) for r in REFUSED] + FAILING,
                         ids=[r[0][:30] for r in REFUSED + FAILING])
def test_refused_and_failing_scripts_name_the_construct_line_and_column(evaluator, group, script, fragment, line,
                                                                        column, cause):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert (info.value.line, info.value.column) == (line, column)
    assert str(info.value).endswith(f"at line {line}, column {column}")
    if cause is None:  # refused before anything runs: the space is never read
        assert fragment in info.value.reason and group.reads == []
    else:
        assert isinstance(info.value.__cause__, cause) and fragment in str(info.value)


def test_space_needs_a_device_group():
    with pytest.raises(ScriptError, match="needs a device group.*at line 1, column 1$"):
        ScriptEvaluator().evaluate("space('q01.freq')")


def test_time_limit_stops_evaluation(evaluator, monkeypatch):
    monkeypatch.setattr(module, "TIME_LIMIT", -1.0)
    with pytest.raises(ScriptError, match="longer than"):
        evaluator.evaluate("1 + 1")
