"""The script evaluator: the accepted language, its refusals and its resource limits."""

import copy
import pickle
import sys

import numpy as np
import pytest

from varnok_client.utils import script_evaluator as module
from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator


class StandInGroup:
    """Answers space() reads from a dict and records every read."""

    def __init__(self, values=None):
        self.values = dict(values or {})
        self.reads = []

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


def val(value, use_space=()):
    return {"type": "val", "dim": 0, "val": value, "seq": None, "use_space": list(use_space)}


# -- accepted scripts -------------------------------------------------------


@pytest.mark.parametrize(
    "script, expected",
    [
        ("1 + 2 * 3", val(7)),
        ("2 ** 10 - 7 // 2 + 7 % 4", val(1024 - 3 + 3)),
        ("x = 4\ny = x / 8\ny", val(0.5)),
        ("a, b = 1, 2\na += b\n[a, b]", val([3, 2])),
        ("a = b = 5\na * b", val(25)),
        ("[x * x for x in range(6) if x % 2]", val([1, 9, 25])),
        ("[(i, j) for i in range(2) for j in 'ab']", val([(0, "a"), (0, "b"), (1, "a"), (1, "b")])),
        ("{'a': 1, 'b': [4, 5, 6]}['b'][1:]", val([5, 6])),
        ("(1, 2, 3)[-1]", val(3)),
        ("'abc' * 2", val("abcabc")),
        ("1 < 2 <= 2 != 3", val(True)),
        ("not (1 in [1, 2]) or 'x'", val("x")),
        ("0 and undefined_is_never_read", val(0)),
        ("'yes' if 3 > 2 else 'no'", val("yes")),
        ("None is None", val(True)),
        ("abs(-3) + min(4, 2) + max([1, 7]) + len('abcd')", val(3 + 2 + 7 + 4)),
        ("round(2.567, 2)", val(2.57)),
        ("round(123456, -2)", val(123500)),
        ("sum([1, 2, 3], 10)", val(16)),
        ("sorted([3, 1, 2], reverse=True)", val([3, 2, 1])),
        ("list(zip([1, 2], 'ab'))", val([(1, "a"), (2, "b")])),
        ("list(enumerate('ab', start=1))", val([(1, "a"), (2, "b")])),
        ("int('ff', 16) + int(2.9) + float('1.5') + bool(0)", val(255 + 2 + 1.5)),
        ("complex(1, 2) * 1j", val(-2 + 1j)),
        ("tuple(range(3))", val((0, 1, 2))),
        ("range(3)", val([0, 1, 2])),
        ("pi == np.pi and e > 2 and inf > 1e308", val(True)),
    ],
)
def test_accepted_scripts_give_exact_results(evaluator, script, expected):
    assert evaluator.evaluate(script) == expected


@pytest.mark.parametrize(
    "script, expected",
    [
        ("linspace(0, 1, 5)", np.linspace(0, 1, 5)),
        ("np.arange(0, 1, 0.25)", np.arange(0, 1, 0.25)),
        ("logspace(0, 2, 3, base=10)", np.logspace(0, 2, 3)),
        ("geomspace(1, 8, 4)", np.geomspace(1, 8, 4)),
        ("zeros((2, 2), dtype=int) + ones(2)", np.ones((2, 2))),
        ("full(3, 7, dtype='float64')", np.full(3, 7.0)),
        ("concatenate([[1, 2], array([3])])", np.array([1, 2, 3])),
        ("repeat([1, 2], [2, 3])", np.array([1, 1, 2, 2, 2])),
        ("tile([1, 2], (2, 2))", np.tile([1, 2], (2, 2))),
        ("sin(pi / 2) + cos(0) + sqrt(4) + exp(0) + log10(100)", 7.0),
        ("power(2, [1, 2, 3])", np.array([2, 4, 8])),
        ("arctan2(1, 1) * 4", np.pi),
        ("clip([-1, 0.5, 2], 0, 1)", np.array([0, 0.5, 1])),
        ("mean(array([[1, 2], [3, 4]]), axis=0)", np.array([2.0, 3.0])),
        ("sum(array([[1, 2], [3, 4]]), 1)", np.array([5, 7])),
        ("max(array([[1, 5], [3, 4]])) - min(array([2, 1, 3]))", np.array([2, 4])),
        ("cumsum([1, 2, 3])", np.array([1, 3, 6])),
        ("diff([1, 4, 9], n=10 ** 9)", np.array([])),
        ("flip(floor([1.5, 2.5]) + ceil(0.1))", np.array([3.0, 2.0])),
        ("a = array([[1, 2, 3], [4, 5, 6]])\na[1, ::-1]", np.array([6, 5, 4])),
        ("a = arange(10)\na[a % 3 == 0]", np.array([0, 3, 6, 9])),
        ("a = arange(10)\na[[1, 5]] * 2", np.array([2, 10])),
        ("[1, 2] * np.array(3)", np.array([3, 6])),
    ],
)
def test_numpy_functions_compute_what_numpy_computes(evaluator, script, expected):
    result = evaluator.evaluate(script)
    assert result["type"] == "val" and result["seq"] is None
    np.testing.assert_allclose(result["val"], expected)


@pytest.mark.parametrize(
    "script, dim, seq",
    [
        ("sweep([1, 2, 3])", 0, [1, 2, 3]),
        ("sweep([1, 2], 2)", 2, [1, 2]),
        ("sweep([[1, 2], [3, 4]], dim=(0, 1))", (0, 1), [[1, 2], [3, 4]]),
        ("sweep([[1, 2], [3, 4]], dim=[1, 2])", [1, 2], [[1, 2], [3, 4]]),
        ("sweep(range(3), dim=1)", 1, [0, 1, 2]),
        ("sweep((5, 6), dim=np.array(1))", 1, (5, 6)),
    ],
)
def test_sweep_as_final_expression(evaluator, script, dim, seq):
    result = evaluator.evaluate(script)
    assert result == {"type": "seq", "dim": dim, "val": None, "seq": seq, "use_space": []}
    assert type(result["dim"]) is type(dim)


def test_sweep_keeps_an_array_as_given(evaluator):
    result = evaluator.evaluate('amp = space("q01.x_amp")\nsweep(linspace(0, 2 * amp, 41), dim=0)')
    assert isinstance(result["seq"], np.ndarray)
    np.testing.assert_allclose(result["seq"], np.linspace(0, 1.0, 41))
    assert list(result) == ["type", "dim", "val", "seq", "use_space"]
    assert result["use_space"] == ["q01.x_amp"]


def test_use_space_lists_each_key_once_in_first_use_order(evaluator, group):
    script = 'a = space("q01.freq")\nb = space("q01.x_amp")\nc = space("q01.freq")\n[space("q01.x_amp"), a]'
    result = evaluator.evaluate(script, timestamp=1234)
    assert result["use_space"] == ["q01.freq", "q01.x_amp"]
    assert group.reads == [("q01.freq", 1234), ("q01.x_amp", 1234), ("q01.freq", 1234), ("q01.x_amp", 1234)]


def test_space_values_take_part_in_arithmetic(evaluator):
    assert evaluator.evaluate('sum(space("q01.list")) * space("q01.x_amp")')["val"] == 3.0


def test_names_do_not_leak_between_evaluations(evaluator):
    assert evaluator.evaluate("secret = 41\nsecret + 1")["val"] == 42
    with pytest.raises(ScriptError, match="unknown name 'secret'"):
        evaluator.evaluate("secret")


def test_comprehension_variables_stay_inside(evaluator):
    with pytest.raises(ScriptError, match="unknown name 'i'"):
        evaluator.evaluate("y = [i for i in range(3)]\ni")


# -- refusals ---------------------------------------------------------------


@pytest.mark.parametrize(
    "script, fragment, line, column",
    [
        ("import os\n1", "import statement", 1, 1),
        ("x = 1\nfrom os import path\nx", "import statement", 2, 1),
        ("__import__('os')", "'__import__'", 1, 1),
        ("().__class__", "'.__class__'", 1, 1),
        ("np.__dict__", "'.__dict__'", 1, 1),
        ("np.sin.__call__(1)", "'.__call__'", 1, 1),
        ("np.linalg", "'np.linalg'", 1, 1),
        ("np.load('x.npy')", "'np.load'", 1, 1),
        ("x = 1\nx.real", "only np.<name>", 2, 1),
        ("np", "'np' can only be used", 1, 1),
        ("lambda: 1", "lambda", 1, 1),
        ("def f():\n    return 1\nf()", "function definition", 1, 1),
        ("class A: pass\n1", "class definition", 1, 1),
        ("for i in range(3):\n    pass\n1", "for loop", 1, 1),
        ("while True:\n    pass\n1", "while loop", 1, 1),
        ("if 1:\n    x = 1\n1", "if statement", 1, 1),
        ("with a:\n    pass\n1", "with statement", 1, 1),
        ("try:\n    x = 1\nexcept Exception:\n    pass\n1", "try statement", 1, 1),
        ("f'{1}'", "f-string", 1, 1),
        ("(x := 1)", "assignment expression", 1, 2),
        ("{x for x in [1]}", "set comprehension", 1, 1),
        ("{1, 2}", "set literal", 1, 1),
        ("(x for x in [1])", "generator expression", 1, 1),
        ("[*[1]]", "starred", 1, 2),
        ("sin(*[1])", "argument unpacking", 1, 5),
        ("zeros(**{'shape': 1})", "keyword unpacking", 1, 9),
        ("b'x'", "bytes literal", 1, 1),
        ("...", "Ellipsis", 1, 1),
        ("1 << 3", "'<<'", 1, 1),
        ("~1", "'~'", 1, 1),
        ("'%s' % 1", "string formatting", 1, 1),
        ("pi = 3\npi", "built-in name 'pi'", 1, 1),
        ("np = 1\n1", "built-in name 'np'", 1, 1),
        ("x = 1\nlinspace = 2\nx", "built-in name 'linspace'", 2, 1),
        ("x = 1\nspace += 1\nx", "built-in name 'space'", 2, 1),
        ("[1 for sweep in [1]]", "built-in name 'sweep'", 1, 8),
        ("_x = 1\n_x", "'_x'", 1, 1),
        ("a = [1]\na[0] = 2\na", "plain name", 2, 1),
        ("x: int = 1\nx", "annotated assignment", 1, 1),
        ("del x", "del statement", 1, 1),
        ("1\n2", "expression statement before the final expression", 1, 1),
        ("x = 1", "no final expression", 1, 1),
        ("", "no final expression", 1, 1),
        ("# nothing but a comment", "no final expression", 1, 1),
        ("sweep([1]) + 1", "whole final expression", 1, 1),
        ("x = sweep([1])\nx", "whole final expression", 1, 5),
        ("[sweep([1])]", "whole final expression", 1, 2),
        ("x = sin\nx", "'sin' can only be called", 1, 5),
        ("open('f')", "calling 'open'", 1, 1),
        ("dict()", "calling 'dict'", 1, 1),
        ("(lambda: 1)()", "lambda", 1, 2),
        ("array([1], dtype=object)", "unknown name 'object'", 1, 18),
        ("array([1], dtype='O')", "dtype 'O'", 1, 1),
        ("zeros(3, like=1)", "keyword argument 'like'", 1, 15),
        ("sin(1, out=1)", "keyword argument 'out'", 1, 12),
        ("max([1], key=abs)", "keyword argument 'key'", 1, 14),
        ("linspace(0)", "takes 2 to 4 positional arguments", 1, 1),
        ("space('a', 'b')", "takes 1 positional arguments", 1, 1),
        ("sweep([1], dim=-1)", "between 0 and", 1, 16),
        ("sweep([1], dim=True)", "not a boolean", 1, 16),
        ("sweep([1], dim=(0, 1, 2, 3))", "1 to 3 dimensions", 1, 16),
        ("sweep([1], dim=1.5)", "must be an integer", 1, 16),
        ("sweep(1)", "must be a list, tuple or array", 1, 7),
        ("1 +", "syntax error", 1, 4),
        ("'éé' + unknown", "unknown name 'unknown'", 1, 8),
    ],
)
def test_refused_constructs_name_what_and_where(evaluator, group, script, fragment, line, column):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    error = info.value
    assert fragment in str(error)
    assert (error.line, error.column) == (line, column)
    assert str(error).endswith(f"at line {line}, column {column}")
    assert group.reads == []


@pytest.mark.parametrize(
    "script, cause, line, column",
    [
        ("x = 1 / 0\nx", ZeroDivisionError, 1, 5),
        ("[1, 2][5]", IndexError, 1, 1),
        ("{'a': 1}['b']", KeyError, 1, 1),
        ("1 + 'a'", TypeError, 1, 1),
        ("int('nope')", ValueError, 1, 1),
        ("x = 2\ny = [1, 2] + array([1, 2, 3])\ny", ValueError, 2, 5),
        ("space('missing')", KeyError, 1, 1),
    ],
)
def test_runtime_errors_become_script_errors_with_cause(evaluator, script, cause, line, column):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert isinstance(info.value.__cause__, cause)
    assert (info.value.line, info.value.column) == (line, column)
    assert cause.__name__ in str(info.value)


def test_space_without_a_group_is_refused():
    with pytest.raises(ScriptError, match="needs a device group"):
        ScriptEvaluator().evaluate("space('q01.freq')")


def test_nothing_runs_when_a_later_statement_is_refused(evaluator, group):
    with pytest.raises(ScriptError):
        evaluator.evaluate("x = space('q01.freq')\nzeros(3, out=x)")
    assert group.reads == []


def test_a_failed_evaluation_leaves_the_evaluator_usable_and_unchanged(evaluator, group):
    with pytest.raises(ScriptError):
        evaluator.evaluate("a = space('q01.freq')\nb = space('missing')\na")
    assert evaluator.group is group
    assert group.values == {"q01.x_amp": 0.5, "q01.freq": 5.0e9, "q01.list": [1, 2, 3]}
    assert evaluator.evaluate("space('q01.x_amp')") == val(0.5, ["q01.x_amp"])


# -- resource limits --------------------------------------------------------

RESOURCE_BOMBS = [
    ("10 ** 10 ** 10", "4096 bits"),
    ("2 ** 100000", "4096 bits"),
    ("x = 2 ** 4095\nx * 2", "4096 bits"),
    ("1" * 1300, "4096 bits"),
    ("'a' * 10 ** 9", "over 10,000,000"),
    ("[0] * 10 ** 9", "over 10,000,000"),
    ("(1, 2) * 10 ** 8", "over 10,000,000"),
    ("zeros(10 ** 10)", "over 10,000,000"),
    ("ones((10 ** 5, 10 ** 5))", "over 10,000,000"),
    ("full(10 ** 10, 1)", "over 10,000,000"),
    ("list(range(10 ** 12))", "over 10,000,000"),
    ("len(list(range(10 ** 12)))", "over 10,000,000"),
    ("arange(10 ** 12)", "over 10,000,000"),
    ("arange(0.0, 1.0, 1e-300)", "over 10,000,000"),
    ("repeat([1], 10 ** 12)", "over 10,000,000"),
    ("tile([1, 2], (10 ** 6, 10 ** 6))", "over 10,000,000"),
    ("linspace(0, 1, 10 ** 9)", "over 10,000,000"),
    ("linspace(zeros(10 ** 4), ones(10 ** 4), 10 ** 4)", "over 10,000,000"),
    ("z = zeros(4000)\nz[:, None] + z[None, :]", "over 10,000,000"),
    ("a = zeros((1000, 1000))\na[arange(10 ** 5) % 1000]", "over 10,000,000"),
    ("a = arange(10)\na[[0, 1], [0, 1]]", "only one list or array index"),
    ("power(array([3]), 2 ** 100)", "too large for array arithmetic"),
    ("sum(range(10 ** 12))", "work budget"),
    ("sorted([[0] * 10 ** 6] * 10 ** 7)", "work budget"),
    ("a = arange(10 ** 6)\n[sum(a) for i in range(1000)]", "work budget"),
    ("sum([zeros(10 ** 6)] * 100)", "work budget"),
    ("a = [0, 0]\n" + "a = [a, a]\n" * 60 + "b = [0, 0]\n" + "b = [b, b]\n" * 60 + "a == b", "work budget"),
    ("a = [0, 0]\n" + "a = [a, a]\n" * 60 + "array(a)", "over 10,000,000"),
    ("a = [0]\n" + "a = [a]\n" * 200 + "a", "nested deeper than 100"),
    ("a = (0,)\n" + "a = (a, a)\n" * 80 + "{a: 1}", "dictionary keys"),
    ("sum([[1]] * 10 ** 6, [])", "start must be a number"),
    ("x = 1" + "\n" * 70000 + "x", "64 KiB"),
    ("-" * 101 + "1", "nesting deeper than 100"),
    ("1" + " + 1" * 150, "nesting deeper than 100"),
    ("-" * 60000 + "1", "too complex to parse"),
    ("(" * 300 + "1" + ")" * 300, "syntax error"),
]


@pytest.mark.parametrize("script, fragment", RESOURCE_BOMBS, ids=[bomb[0][:40] for bomb in RESOURCE_BOMBS])
def test_resource_bombs_are_refused(evaluator, script, fragment):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    "script, accepted",
    [
        ("2 ** 4095", True),
        ("2 ** 4096", False),
        ("-" * 98 + "1", True),
        ("-" * 99 + "1", False),
        ("len([0] * 5_000_000)", True),
        ("len([0] * 10_000_001)", False),
    ],
)
def test_limits_sit_exactly_at_their_bounds(evaluator, script, accepted):
    if accepted:
        evaluator.evaluate(script)
    else:
        with pytest.raises(ScriptError):
            evaluator.evaluate(script)


def test_text_size_limit_counts_utf8_bytes(evaluator):
    padding = module.MAX_SCRIPT_BYTES - 1
    assert evaluator.evaluate("1" + " " * padding)["val"] == 1
    with pytest.raises(ScriptError, match="64 KiB"):
        evaluator.evaluate("1#" + "é" * (padding // 2 + 1))


def test_work_budget_stops_long_comprehensions(evaluator, monkeypatch):
    monkeypatch.setattr(module, "WORK_BUDGET", 500)
    assert len(evaluator.evaluate("[i for i in range(50)]")["val"]) == 50
    with pytest.raises(ScriptError, match="work budget of 500 units exceeded"):
        evaluator.evaluate("[[i, j] for i in range(100) for j in range(100)]")


def test_wall_time_limit_stops_evaluation(evaluator, monkeypatch):
    monkeypatch.setattr(module, "TIME_LIMIT", -1.0)
    with pytest.raises(ScriptError, match="longer than"):
        evaluator.evaluate("1 + 1")


def test_interpreter_recursion_error_becomes_script_error(evaluator):
    depth = 0
    frame = sys._getframe()
    while frame is not None:
        depth += 1
        frame = frame.f_back
    old = sys.getrecursionlimit()
    outcomes = []
    for spare in (30, 60, 100, 200):
        sys.setrecursionlimit(depth + spare)
        try:
            evaluator.evaluate("-" * 90 + "1")
        except ScriptError as error:
            outcomes.append(error)
        finally:
            sys.setrecursionlimit(old)
    assert outcomes and all(isinstance(error.__cause__, RecursionError) for error in outcomes)


def test_numpy_warnings_do_not_escape(evaluator):
    result = evaluator.evaluate("log(array([0.0])) - array([1.0]) / 0 - exp(array([1e4]))")
    assert np.isneginf(result["val"]).all()


# -- the objects themselves -------------------------------------------------


def test_script_error_is_a_value_error_that_pickles():
    error = ScriptError("lambda expression is not allowed", 3, 7)
    assert isinstance(error, ValueError)
    copy_ = pickle.loads(pickle.dumps(error))
    assert str(copy_) == str(error) == "lambda expression is not allowed at line 3, column 7"
    assert (copy_.line, copy_.column, copy_.reason) == (3, 7, error.reason)


def test_evaluator_copies_and_pickles(group):
    ev = ScriptEvaluator()
    assert ev.group is None
    assert pickle.loads(pickle.dumps(ev)).group is None
    ev.group = group
    clone = copy.deepcopy(ev)
    assert clone.group is not group and clone.group.values == group.values


@pytest.mark.parametrize("timestamp", ["12", 1.5, True])
def test_timestamp_must_be_an_integer_or_none(evaluator, timestamp):
    with pytest.raises(TypeError):
        evaluator.evaluate("1", timestamp=timestamp)


def test_non_text_script_is_refused(evaluator):
    with pytest.raises(ScriptError, match="must be text"):
        evaluator.evaluate(b"1")


# Scripts arrive inside experiment files written by other people: every way
# out of the sandbox that a hostile author might try is refused before it runs.
ESCAPE_ATTEMPTS = [
    ("getattr(np, 'load')", "calling 'getattr'", 1, 1),
    ("sin(1)(2)", "calling anything but an allowed function", 1, 1),
    ("exec('import os')", "calling 'exec'", 1, 1),
    ("eval('1')", "calling 'eval'", 1, 1),
    ("compile('1', 'f', 'eval')", "calling 'compile'", 1, 1),
    ("x = 1\nglobals()", "calling 'globals'", 2, 1),
    ("vars()", "calling 'vars'", 1, 1),
    ("type(1)", "calling 'type'", 1, 1),
    ("breakpoint()", "calling 'breakpoint'", 1, 1),
    ("print(space('q01.freq'))", "calling 'print'", 1, 1),
    ("__builtins__", "'__builtins__'", 1, 1),
    ("'a'.join(['b'])", "'.join'", 1, 1),
    ("[c for c in ().__class__.__bases__]", "'.__bases__'", 1, 13),
    ("np.sin.__self__", "'.__self__'", 1, 1),
    ("space.__globals__", "'.__globals__'", 1, 1),
    ("x = [1]\nx.append(2)\nx", "expression statement", 2, 1),
    ("np.fromfile('secrets')", "'np.fromfile'", 1, 1),
    ("np.lib.format", "'.format'", 1, 1),
    ("array([1], dtype='V8')", "dtype 'V8'", 1, 1),
    ("array(['a'])", "dtype <U1", 1, 1),
    ("async def f():\n    pass\n1", "async def", 1, 1),
    ("match 1:\n    case 1:\n        x = 1\n1", "match statement", 1, 1),
    ("global x\n1", "global statement", 1, 1),
    ("assert 1\n1", "assert statement", 1, 1),
    ("raise ValueError\n1", "raise statement", 1, 1),
    ("x = 1\nx @= 2\nx", "'@'", 2, 1),
    ("array([1]) @ array([1])", "'@'", 1, 1),
    ("{**{}}", "dictionary unpacking", 1, 4),
    ("x = 1\n[np for np in [x]]", "built-in name 'np'", 2, 9),
]


@pytest.mark.parametrize("script, fragment, line, column", ESCAPE_ATTEMPTS, ids=[a[0][:30] for a in ESCAPE_ATTEMPTS])
def test_escape_attempts_are_refused_naming_construct_and_place(evaluator, group, script, fragment, line, column):
    with pytest.raises(ScriptError) as info:
        evaluator.evaluate(script)
    assert fragment in info.value.reason
    assert (info.value.line, info.value.column) == (line, column)
    assert group.reads == []
