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


@pytest.mark.parametrize("script, expected", [
    ("2 ** 10 - 7 // 2 + 7 % 4 * 1.5", 1024 - 3 + 4.5),
    ("a = b = 5\nc, d = 1, 2\nc += d\n[a * b, c, d]", [25, 3, 2]),
    ("[(i, j) for i in range(3) if i % 2 == 0 for j in 'ab']", [(0, "a"), (0, "b"), (2, "a"), (2, "b")]),
    ("{'a': 1, 'b': [4, 5, 6]}['b'][1:] + [(1, 2, 3)[-1]]", [5, 6, 3]),
    ("[1 < 2 <= 2 != 3, not (1 in [1, 2]) or 'x', 0 and undefined_is_never_read, 'y' if 3 > 2 else 'n']",
     [True, "x", 0, "y"]),
    ("abs(-3) + min(4, 2) + max([1, 7]) + len('abcd') + round(123456, -2)", 3 + 2 + 7 + 4 + 123500),
    ("[sorted([3, 1, 2], reverse=True), list(enumerate('ab', start=1)), sum([1, 2], 10)]",
     [[3, 2, 1], [(1, "a"), (2, "b")], 13]),
    ("[int('ff', 16) + int(2.9) + float('1.5') + bool(0), complex(1, 2) * 1j, tuple(range(3))]",
     [255 + 2 + 1.5, -2 + 1j, (0, 1, 2)]),
    ("range(3)", [0, 1, 2]),
    ("pi == np.pi and e > 2 and inf > 1e308", True),
    ("linspace(0, 1, 5)[:4] + np.arange(0, 1, 0.25)", [0, 0.5, 1, 1.5]),
    ("zeros((2, 2), dtype=int) + ones(2) + full(2, 7, dtype='float64') + logspace(0, 2, 3)[:2]", [[9, 18]] * 2),
    ("concatenate([repeat([1, 2], [2, 1]), tile([3], 2)])", [1, 1, 2, 3, 3]),
    ("sin(pi / 2) + cos(0) + sqrt(4) + exp(0) + log10(100) + power(2, 3)", 15.0),
    ("clip([-1, 0.5, 2], 0, 1) + cumsum([1, 2, 3])", [1, 3.5, 7]),
    ("mean(array([[1, 2], [3, 4]]), axis=0) + sum(array([[1, 2], [3, 4]]), 1)", [7.0, 10.0]),
    ("max(array([[1, 5], [3, 4]])) - min(array([2, 1, 3]))", [2, 4]),
    ("a = arange(10)\n[a[a % 3 == 0], a[[1, 5]] * 2, a[::-4]]", [[0, 3, 6, 9], [2, 10], [9, 5, 1]]),
    ("flip(floor([1.5, 2.5]) + ceil(0.1)) + diff([1, 4])", [6.0, 5.0]),
    ("log(array([0.0])) - array([1.0]) / 0 - exp(array([1e4]))", [-np.inf]),
])
def test_accepted_scripts_compute_their_value(evaluator, script, expected):
    result = evaluator.evaluate(script)
    assert (result["type"], result["dim"], result["seq"], result["use_space"]) == ("val", 0, None, [])
    np.testing.assert_equal(result["val"], expected)


@pytest.mark.parametrize("script, dim, seq", [
    ("sweep([1, 2, 3])", 0, [1, 2, 3]),
    ("sweep([[1, 2], [3, 4]], dim=(0, 1))", (0, 1), [[1, 2], [3, 4]]),
    ("sweep([[1, 2], [3, 4]], dim=[1, 2])", [1, 2], [[1, 2], [3, 4]]),
    ("sweep(range(3), 2)", 2, [0, 1, 2]),
])
def test_sweep_as_final_expression(evaluator, script, dim, seq):
    result = evaluator.evaluate(script)
    assert result == {"type": "seq", "dim": dim, "val": None, "seq": seq, "use_space": []}
    assert type(result["dim"]) is type(dim)


def test_space_reads_are_recorded_once_in_first_use_order_and_arrays_kept(evaluator, group):
    script = 'f = space("q01.freq")\namp = space("q01.x_amp") * sum(space("q01.list")) / 6 + 0 * space("q01.freq")\n'
    result = evaluator.evaluate(script + "sweep(linspace(0, 2 * amp, 41) + 0 * f, dim=1)", timestamp=1234)
    assert list(result) == ["type", "dim", "val", "seq", "use_space"]
    assert result["use_space"] == ["q01.freq", "q01.x_amp", "q01.list"] and result["dim"] == 1
    assert isinstance(result["seq"], np.ndarray)
    np.testing.assert_allclose(result["seq"], np.linspace(0, 1.0, 41))
    assert group.reads == [("q01.freq", 1234), ("q01.x_amp", 1234), ("q01.list", 1234), ("q01.freq", 1234)]


def test_names_live_for_one_evaluation_and_comprehension_names_stay_inside(evaluator):
    assert evaluator.evaluate("secret = 41\nsecret + 1")["val"] == 42
    with pytest.raises(ScriptError, match="unknown name 'secret'"):
        evaluator.evaluate("secret")
    with pytest.raises(ScriptError, match="unknown name 'i'"):
        evaluator.evaluate("y = [i for i in range(3)]\ni")


REFUSED = [  # (script, construct named, line, column)
    ("import os\n1", "import statement", 1, 1), ("__import__('os')", "'__import__'", 1, 1),
    ("_x = 1\n_x", "'_x'", 1, 1), ("[c for c in ().__class__.__bases__]", "'.__bases__'", 1, 13),
    ("np.load('x.npy')", "'np.load'", 1, 1), ("x = 1\nx.real", "only np.<name>", 2, 1),
    ("np", "'np' can only be used", 1, 1), ("x = sin\nx", "'sin' can only be called", 1, 5),
    ("getattr(np, 'load')", "calling 'getattr'", 1, 1), ("exec('import os')", "calling 'exec'", 1, 1),
    ("type(1)", "calling 'type'", 1, 1), ("sin(1)(2)", "calling anything but an allowed function", 1, 1),
    ("lambda: 1", "lambda", 1, 1), ("def f():\n    return 1\nf()", "function definition", 1, 1),
    ("class A: pass\n1", "class definition", 1, 1), ("for i in range(3):\n    pass\n1", "for loop", 1, 1),
    ("while True:\n    pass\n1", "while loop", 1, 1), ("try:\n    x = 1\nexcept Exception:\n    pass\n1", "try", 1, 1),
    ("f'{1}'", "f-string", 1, 1), ("'%s' % 1", "string formatting", 1, 1),
    ("(x := 1)", "assignment expression", 1, 2), ("sin(*[1])", "argument unpacking", 1, 5),
    ("x = [1]\nx.append(2)\nx", "expression statement", 2, 1), ("a = [1]\na[0] = 2\na", "plain name", 2, 1),
    ("pi = 3\npi", "built-in name 'pi'", 1, 1), ("x = 1\nlinspace = 2\nx", "built-in name 'linspace'", 2, 1),
    ("x = 1\nspace += 1\nx", "built-in name 'space'", 2, 1), ("[1 for sweep in [1]]", "built-in name 'sweep'", 1, 8),
    ("x = 1", "no final expression", 1, 1), ("sweep([1]) + 1", "whole final expression", 1, 1),
    ("x = sweep([1])\nx", "whole final expression", 1, 5), ("sweep([1], dim=-1)", "between 0 and", 1, 16),
    ("sweep(1)", "must be a list, tuple or array", 1, 7), ("array([1], dtype='O')", "dtype 'O'", 1, 1),
    # Refused before anything runs: the space is never read.
    ("x = space('q01.freq')\nzeros(3, out=x)", "keyword argument 'out'", 2, 14),
    ("linspace(0)", "takes 2 to 4 positional arguments", 1, 1), ("1 +", "syntax error", 1, 4),
    ("'éé' + unknown", "unknown name 'unknown'", 1, 8),
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
]


@pytest.mark.parametrize("script, fragment, line, column", REFUSED, ids=[r[0][:30] for r in REFUSED])
def test_refused_scripts_name_the_construct_line_and_column(evaluator, group, script, fragment, line, column):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert fragment in info.value.reason
    assert (info.value.line, info.value.column) == (line, column)
    assert str(info.value).endswith(f"at line {line}, column {column}")
    assert group.reads == []


@pytest.mark.parametrize("script, cause, fragment, line, column", [
    ("x = 1 / 0\nx", ZeroDivisionError, "ZeroDivisionError", 1, 5),
    ("[1, 2][5]", IndexError, "IndexError", 1, 1),
    ("1 + 'a'", TypeError, "TypeError", 1, 1),
    ("x = 2\ny = [1, 2] + array([1, 2, 3])\ny", ValueError, "ValueError", 2, 5),
    ("space('missing')", KeyError, "KeyError", 1, 1),
    # The evaluator's own refusals of a wrong type are chained alike.
    ("a = 1\nb = 2\nc = len(5)\nc", TypeError, "expected a sequence, got int", 3, 5),
    ("x = 5\nx[0]", TypeError, "indexing a value of type int", 2, 1),
    ("range(1.5)", TypeError, "must be an integer, got float", 1, 1),
    ("range([1])", TypeError, "must be an integer, got list", 1, 1),
    ("space(3)", TypeError, "key must be a string", 1, 1),
    ("[i for i in 3]", TypeError, "cannot iterate", 1, 13),
])
def test_runtime_errors_become_script_errors_with_cause(evaluator, script, cause, fragment, line, column):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert isinstance(info.value.__cause__, cause) and fragment in str(info.value)
    assert (info.value.line, info.value.column) == (line, column)


def test_a_failed_evaluation_changes_nothing_and_space_needs_a_group(evaluator, group):
    with pytest.raises(ScriptError):
        evaluator.evaluate("a = space('q01.freq')\nb = space('missing')\na")
    assert evaluator.group is group and group.values["q01.freq"] == 5.0e9
    assert evaluator.evaluate("space('q01.x_amp')")["val"] == 0.5
    with pytest.raises(ScriptError, match="needs a device group"):
        ScriptEvaluator().evaluate("space('q01.freq')")


@pytest.mark.parametrize("script, accepted", [
    ("2 ** 4095", True), ("2 ** 4096", False), ("-" * 98 + "1", True), ("-" * 99 + "1", False),
    ("len([0] * 5_000_000)", True), ("len([0] * 10_000_001)", False),
    # The text limit counts bytes of UTF-8, not characters.
    ("1" + " " * (module.MAX_SCRIPT_BYTES - 1), True), ("1#" + "é" * (module.MAX_SCRIPT_BYTES // 2), False),
], ids=range(8))
def test_limits_sit_exactly_at_their_bounds(evaluator, script, accepted):
    if accepted:
        evaluator.evaluate(script)
    else:
        with pytest.raises(ScriptError):
            evaluator.evaluate(script)


def test_time_limit_stops_evaluation(evaluator, monkeypatch):
    monkeypatch.setattr(module, "TIME_LIMIT", -1.0)
    with pytest.raises(ScriptError, match="longer than"):
        evaluator.evaluate("1 + 1")
