"""Safe evaluation of parameter scripts.

Scripts travel inside saved experiments, so they are untrusted text.  They are
parsed with :mod:`ast` and the tree is interpreted here, node by node, against
an explicit whitelist; the text is never handed to ``eval``/``exec`` or
compiled to byte code.  A script is a run of assignments to plain names
followed by one final expression::

    amp = space("q01.x_amp")
    sweep(linspace(0, 2 * amp, 41), dim=0)

Every refusal, and every error raised while evaluating, is a
:class:`ScriptError` that names the construct or the error and its position
("line L, column C", both counted from 1).

Resource limits keep a hostile script from exhausting the host: the text size,
the nesting depth of the tree, the size of integers, of sequences, strings and
arrays, a work budget and a wall-clock limit.  Sizes are predicted *before* an
operation runs (``2 ** 100000``, ``'a' * 10 ** 9``, ``zeros(10 ** 10)`` are
refused without being attempted), so no single step can run for long and any
script is refused within about two seconds.  An evaluation only reads from the
device group; a failed evaluation leaves nothing behind.
"""

from __future__ import annotations

import ast
import math
import operator
import re
import sys
import time
import warnings
from collections import Counter
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Sequence

import numpy as np

__all__ = [
    "ScriptError",
    "ScriptEvaluator",
    "MAX_SCRIPT_BYTES",
    "MAX_NESTING",
    "MAX_INT_BITS",
    "MAX_ELEMENTS",
    "WORK_BUDGET",
    "TIME_LIMIT",
    "MAX_SWEEP_DIM",
]

#: Largest script text accepted, in bytes of its UTF-8 encoding.
MAX_SCRIPT_BYTES = 64 * 1024
#: Deepest nesting of the syntax tree, and of container values, accepted.
MAX_NESTING = 100
#: Largest integer accepted, in bits of its magnitude.
MAX_INT_BITS = 4096
#: Largest number of elements of a sequence, string or array.
MAX_ELEMENTS = 10_000_000
#: Work units per evaluation: one per evaluated node, one per produced element.
WORK_BUDGET = 10_000_000
#: Wall-clock seconds one evaluation may take.
TIME_LIMIT = 1.0
#: Highest sweep dimension a script may name.  The engine sizes its sweep
#: length list by the highest dimension, so this bounds what a script can make
#: the engine allocate; numpy cannot index more axes than this anyway.
MAX_SWEEP_DIM = 31

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1
_NUMERIC_KINDS = "biufc"
# Decimal digits just beyond the largest allowed integer.
_INT_ROUND_DIGITS = math.ceil(MAX_INT_BITS * math.log10(2)) + 2
_MESSAGE_DETAIL_CHARS = 200
# Containers whose elements the evaluator walks, and values whose size counts as their elements.
_WALKED = (list, tuple, dict)
_SIZED = (list, tuple, dict, np.ndarray, range)
# Element counts stop growing here: anything above refuses alike against every limit.
_COUNT_CAP = max(MAX_ELEMENTS, WORK_BUDGET) + 1
# Elements measured between two checks of the budget and the clock.
_MEASURE_SLICE = 1 << 16


class ScriptError(ValueError):
    """A script was refused or failed while being evaluated.

    ``reason`` is the description without the position; ``line`` and
    ``column`` are 1-based.  Errors raised while evaluating carry the original
    exception as ``__cause__``.
    """

    def __init__(self, reason: str, line: int = 1, column: int = 1) -> None:
        super().__init__(f"{reason} at line {line}, column {column}")
        self.reason = reason
        self.line = line
        self.column = column

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.reason, self.line, self.column))


# ---------------------------------------------------------------------------
# Source text and positions
# ---------------------------------------------------------------------------

# The tokenizer ends lines only at these; str.splitlines would also split at
# form feeds and Unicode separators and so shift the line numbers.
_LINE_BREAK = re.compile(r"\r\n|\r|\n")


class _Source:
    """The script text, with the mapping from tree offsets to 1-based columns."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.lines = _LINE_BREAK.split(text)

    def position(self, node: ast.AST | None) -> tuple[int, int]:
        if node is None or not hasattr(node, "lineno"):
            return 1, 1
        line = node.lineno
        offset = node.col_offset
        # The tree counts columns in UTF-8 bytes; people count characters.
        if 1 <= line <= len(self.lines):
            prefix = self.lines[line - 1].encode("utf-8")[:offset]
            offset = len(prefix.decode("utf-8", errors="replace"))
        return line, offset + 1

    def error(self, reason: str, node: ast.AST | None) -> ScriptError:
        line, column = self.position(node)
        return ScriptError(reason, line, column)


def _shorten(text: str) -> str:
    if len(text) > _MESSAGE_DETAIL_CHARS:
        return text[:_MESSAGE_DETAIL_CHARS] + "..."
    return text


# ---------------------------------------------------------------------------
# The whitelist: names, functions, keywords
# ---------------------------------------------------------------------------

_CONSTANTS: dict[str, float] = {"pi": math.pi, "e": math.e, "inf": math.inf, "nan": math.nan}

# Python types that may be named as the value of a ``dtype=`` keyword.
_DTYPE_NAMES = {"int": int, "float": float, "complex": complex, "bool": bool}
_DTYPE_STRINGS = frozenset(
    {"bool", "int", "int32", "int64", "float", "float32", "float64", "complex", "complex64", "complex128"}
)


@dataclass(frozen=True)
class _Function:
    """One callable of the script language and the arguments it takes."""

    impl: Callable[["_Run", ast.AST, list[Any], dict[str, Any]], Any]
    min_args: int
    max_args: int | None
    keywords: frozenset[str] = frozenset()
    # Keywords that may also be given by position, in positional order after
    # the required ones; used to reject a value given twice.
    positional_keywords: tuple[str, ...] = ()


# Filled in below the interpreter, once the implementations exist.
_BUILTINS: dict[str, _Function] = {}
_NUMPY: dict[str, _Function] = {}
_SPECIAL = ("space", "sweep")

_CONSTRUCTS: dict[type, str] = {
    ast.Import: "import statement",
    ast.ImportFrom: "import statement",
    ast.Lambda: "lambda expression",
    ast.FunctionDef: "function definition (def)",
    ast.AsyncFunctionDef: "function definition (async def)",
    ast.ClassDef: "class definition",
    ast.For: "for loop",
    ast.AsyncFor: "for loop",
    ast.While: "while loop",
    ast.If: "if statement",
    ast.With: "with statement",
    ast.AsyncWith: "with statement",
    ast.Try: "try statement",
    ast.Raise: "raise statement",
    ast.Assert: "assert statement",
    ast.Delete: "del statement",
    ast.Global: "global statement",
    ast.Nonlocal: "nonlocal statement",
    ast.Pass: "pass statement",
    ast.Break: "break statement",
    ast.Continue: "continue statement",
    ast.Return: "return statement",
    ast.Match: "match statement",
    ast.AnnAssign: "annotated assignment",
    ast.JoinedStr: "f-string",
    ast.FormattedValue: "f-string",
    ast.NamedExpr: "assignment expression (:=)",
    ast.Await: "await expression",
    ast.Yield: "yield expression",
    ast.YieldFrom: "yield expression",
    ast.GeneratorExp: "generator expression",
    ast.SetComp: "set comprehension",
    ast.DictComp: "dict comprehension",
    ast.Set: "set literal",
    ast.Starred: "starred expression",
}
if hasattr(ast, "TryStar"):
    _CONSTRUCTS[ast.TryStar] = "try statement"

_BINOPS: dict[type, tuple[str, Callable[[Any, Any], Any]]] = {
    ast.Add: ("+", operator.add),
    ast.Sub: ("-", operator.sub),
    ast.Mult: ("*", operator.mul),
    ast.Div: ("/", operator.truediv),
    ast.FloorDiv: ("//", operator.floordiv),
    ast.Mod: ("%", operator.mod),
    ast.Pow: ("**", operator.pow),
}
_OPERATOR_NAMES: dict[type, str] = {
    ast.MatMult: "@",
    ast.LShift: "<<",
    ast.RShift: ">>",
    ast.BitAnd: "&",
    ast.BitOr: "|",
    ast.BitXor: "^",
    ast.Invert: "~",
}
_UNARYOPS: dict[type, Callable[[Any], Any]] = {
    ast.UAdd: operator.pos,
    ast.USub: operator.neg,
    ast.Not: operator.not_,
}
_COMPAREOPS: dict[type, Callable[[Any, Any], Any]] = {
    ast.Eq: operator.eq,
    ast.NotEq: operator.ne,
    ast.Lt: operator.lt,
    ast.LtE: operator.le,
    ast.Gt: operator.gt,
    ast.GtE: operator.ge,
    ast.Is: operator.is_,
    ast.IsNot: operator.is_not,
    ast.In: lambda a, b: a in b,
    ast.NotIn: lambda a, b: a not in b,
}



def _reserved_names() -> frozenset[str]:
    """Names that scripts may read but never bind."""
    return frozenset({"np", *_SPECIAL, *_CONSTANTS, *_BUILTINS, *_NUMPY})


def _callee_name(func: ast.expr) -> str | None:
    """The whitelisted name a call refers to, or None when it is not one."""
    if isinstance(func, ast.Name):
        if func.id in _BUILTINS or func.id in _NUMPY or func.id in _SPECIAL:
            return func.id
        return None
    if (
        isinstance(func, ast.Attribute)
        and isinstance(func.value, ast.Name)
        and func.value.id == "np"
        and func.attr in _NUMPY
    ):
        return func.attr
    return None


def _lookup_function(name: str) -> _Function:
    return _BUILTINS[name] if name in _BUILTINS else _NUMPY[name]


# ---------------------------------------------------------------------------
# Static checks: everything that can be refused before anything runs
# ---------------------------------------------------------------------------

_NEUTRAL_NODES = (ast.expr_context, ast.operator, ast.boolop, ast.cmpop, ast.unaryop)


def _check_depth(tree: ast.AST, source: _Source) -> None:
    """Refuse trees nested deeper than MAX_NESTING, without recursing."""
    stack: list[tuple[ast.AST, int]] = [(tree, 0)]
    while stack:
        node, depth = stack.pop()
        if depth > MAX_NESTING:
            raise source.error(f"nesting deeper than {MAX_NESTING} levels", node)
        for child in ast.iter_child_nodes(node):
            if not isinstance(child, _NEUTRAL_NODES):
                stack.append((child, depth + 1))


class _Checker:
    """Walks the tree once and refuses everything outside the language."""

    def __init__(self, source: _Source) -> None:
        self.source = source
        self.reserved = _reserved_names()

    def refuse(self, reason: str, node: ast.AST) -> ScriptError:
        return self.source.error(reason, node)

    def check_module(self, tree: ast.Module) -> None:
        body = tree.body
        if not body:
            raise self.refuse("script has no final expression", None)
        for position, stmt in enumerate(body):
            if isinstance(stmt, ast.Expr) and position == len(body) - 1:
                break
            if isinstance(stmt, ast.Assign):
                for target in stmt.targets:
                    self.check_target(target)
                self.check_expr(stmt.value)
            elif isinstance(stmt, ast.AugAssign):
                if not isinstance(stmt.target, ast.Name):
                    raise self.refuse("assignment to something other than a plain name", stmt.target)
                self.check_binding(stmt.target.id, stmt.target)
                self.check_operator(stmt.op, stmt)
                self.check_expr(stmt.value)
            elif isinstance(stmt, ast.Expr):
                raise self.refuse("expression statement before the final expression", stmt)
            else:
                raise self.refuse(self.construct(stmt) + " is not allowed", stmt)
        last = body[-1]
        if not isinstance(last, ast.Expr):
            raise self.refuse("script has no final expression", last)
        value = last.value
        if isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and value.func.id == "sweep":
            self.check_call(value, final=True)
        else:
            self.check_expr(value)

    @staticmethod
    def construct(node: ast.AST) -> str:
        return _CONSTRUCTS.get(type(node), type(node).__name__)

    def check_binding(self, name: str, node: ast.AST) -> None:
        if name.startswith("_"):
            raise self.refuse(f"name {name!r} (names starting with '_' are not allowed)", node)
        if name in self.reserved:
            raise self.refuse(f"assignment to the built-in name {name!r}", node)

    def check_target(self, target: ast.expr) -> None:
        if isinstance(target, ast.Name):
            self.check_binding(target.id, target)
        elif isinstance(target, (ast.Tuple, ast.List)):
            for element in target.elts:
                if not isinstance(element, ast.Name):
                    raise self.refuse("assignment to something other than a plain name", element)
                self.check_binding(element.id, element)
        else:
            raise self.refuse("assignment to something other than a plain name", target)

    def check_operator(self, op: ast.AST, node: ast.AST) -> None:
        if type(op) not in _BINOPS:
            symbol = _OPERATOR_NAMES.get(type(op), type(op).__name__)
            raise self.refuse(f"operator {symbol!r} is not allowed", node)

    def check_expr(self, node: ast.AST, dtype_value: bool = False) -> None:
        if isinstance(node, ast.Constant):
            value = node.value
            if isinstance(value, bool) or value is None or isinstance(value, (float, complex, str)):
                return
            if isinstance(value, int):
                if value.bit_length() > MAX_INT_BITS:
                    raise self.refuse(f"integer literal over {MAX_INT_BITS} bits", node)
                return
            if isinstance(value, bytes):
                raise self.refuse("bytes literal is not allowed", node)
            raise self.refuse(f"literal {_shorten(repr(value))} is not allowed", node)
        if isinstance(node, ast.Name):
            self.check_name(node, dtype_value)
            return
        if isinstance(node, ast.Attribute):
            self.check_attribute(node)
            if node.attr in _NUMPY:
                raise self.refuse(f"function 'np.{node.attr}' can only be called", node)
            return
        if isinstance(node, (ast.List, ast.Tuple)):
            for element in node.elts:
                self.check_expr(element)
            return
        if isinstance(node, ast.Dict):
            for key, value in zip(node.keys, node.values):
                if key is None:
                    raise self.refuse("dictionary unpacking (**) is not allowed", value)
                self.check_expr(key)
                self.check_expr(value)
            return
        if isinstance(node, ast.BinOp):
            self.check_operator(node.op, node)
            self.check_expr(node.left)
            self.check_expr(node.right)
            return
        if isinstance(node, ast.UnaryOp):
            if type(node.op) not in _UNARYOPS:
                symbol = _OPERATOR_NAMES.get(type(node.op), type(node.op).__name__)
                raise self.refuse(f"operator {symbol!r} is not allowed", node)
            self.check_expr(node.operand)
            return
        if isinstance(node, ast.BoolOp):
            for value in node.values:
                self.check_expr(value)
            return
        if isinstance(node, ast.Compare):
            self.check_expr(node.left)
            for comparator in node.comparators:
                self.check_expr(comparator)
            return
        if isinstance(node, ast.IfExp):
            self.check_expr(node.test)
            self.check_expr(node.body)
            self.check_expr(node.orelse)
            return
        if isinstance(node, ast.Subscript):
            self.check_expr(node.value)
            self.check_expr(node.slice)
            return
        if isinstance(node, ast.Slice):
            for part in (node.lower, node.upper, node.step):
                if part is not None:
                    self.check_expr(part)
            return
        if isinstance(node, ast.ListComp):
            for generator in node.generators:
                if generator.is_async:
                    raise self.refuse("async comprehension is not allowed", node)
                self.check_target(generator.target)
                self.check_expr(generator.iter)
                for condition in generator.ifs:
                    self.check_expr(condition)
            self.check_expr(node.elt)
            return
        if isinstance(node, ast.Call):
            self.check_call(node, final=False)
            return
        raise self.refuse(self.construct(node) + " is not allowed", node)

    def check_name(self, node: ast.Name, dtype_value: bool) -> None:
        name = node.id
        if name.startswith("_"):
            raise self.refuse(f"name {name!r} (names starting with '_' are not allowed)", node)
        if name == "np":
            raise self.refuse("'np' can only be used as np.<name>", node)
        if name in _DTYPE_NAMES and dtype_value:
            return
        if name in _BUILTINS or name in _NUMPY or name in _SPECIAL:
            raise self.refuse(f"function {name!r} can only be called", node)

    def check_attribute(self, node: ast.Attribute) -> None:
        if node.attr.startswith("_"):
            raise self.refuse(f"attribute access '.{node.attr}' is not allowed", node)
        if not (isinstance(node.value, ast.Name) and node.value.id == "np"):
            raise self.refuse(f"attribute access '.{node.attr}' (only np.<name> is allowed)", node)
        if node.attr not in _NUMPY and node.attr not in _CONSTANTS:
            raise self.refuse(f"attribute access 'np.{node.attr}' is not allowed", node)

    def check_call(self, node: ast.Call, final: bool) -> None:
        func = node.func
        if isinstance(func, ast.Attribute):
            self.check_attribute(func)
        name = _callee_name(func)
        if name is None:
            if isinstance(func, ast.Name):
                if func.id.startswith("_"):
                    raise self.refuse(f"name {func.id!r} (names starting with '_' are not allowed)", func)
                raise self.refuse(f"calling {func.id!r} is not allowed", func)
            if isinstance(func, ast.Attribute):
                raise self.refuse(f"calling 'np.{func.attr}' is not allowed", func)
            if type(func) in _CONSTRUCTS:
                raise self.refuse(self.construct(func) + " is not allowed", func)
            raise self.refuse("calling anything but an allowed function is not allowed", func)
        if name == "sweep" and not final:
            raise self.refuse("sweep() may only be the whole final expression", node)
        for argument in node.args:
            if isinstance(argument, ast.Starred):
                raise self.refuse("argument unpacking (*) is not allowed", argument)
        for keyword in node.keywords:
            if keyword.arg is None:
                raise self.refuse("keyword unpacking (**) is not allowed", keyword.value)
        if name == "space":
            allowed: frozenset[str] = frozenset()
            min_args, max_args = 1, 1
        elif name == "sweep":
            allowed = frozenset({"dim"})
            min_args, max_args = 1, 2
        else:
            function = _lookup_function(name)
            allowed, min_args, max_args = function.keywords, function.min_args, function.max_args
        for keyword in node.keywords:
            if keyword.arg not in allowed:
                raise self.refuse(f"keyword argument {keyword.arg!r} of {name}() is not allowed", keyword.value)
        count = len(node.args)
        if count < min_args or (max_args is not None and count > max_args):
            if max_args is None:
                expected = f"at least {min_args}"
            elif min_args == max_args:
                expected = str(min_args)
            else:
                expected = f"{min_args} to {max_args}"
            raise self.refuse(f"{name}() takes {expected} positional arguments, got {count}", node)
        for argument in node.args:
            self.check_expr(argument)
        for keyword in node.keywords:
            self.check_expr(keyword.value, dtype_value=keyword.arg == "dtype")


# ---------------------------------------------------------------------------
# The interpreter
# ---------------------------------------------------------------------------


def _is_numpy(value: Any) -> bool:
    return isinstance(value, (np.ndarray, np.generic))


def _range_length(value: range) -> int:
    try:
        return len(value)
    except OverflowError:
        return sys.maxsize * 2


def _int_bits(value: int) -> int:
    return abs(value).bit_length()


class _Run:
    """The state of one evaluation: names, budget, clock and space reads."""

    def __init__(self, source: _Source, group: Any, timestamp: int | None) -> None:
        self.source = source
        self.group = group
        self.timestamp = timestamp
        self.names: dict[str, Any] = {}
        self.scopes: list[dict[str, Any]] = []
        self.use_space: list[str] = []
        self.units = 0
        self.deadline = time.monotonic() + TIME_LIMIT

    # -- accounting ---------------------------------------------------------

    def refuse(self, reason: str, node: ast.AST | None) -> ScriptError:
        return self.source.error(reason, node)

    def refuse_type(self, reason: str, node: ast.AST | None) -> ScriptError:
        """A refusal of a value of the wrong type, chained from the TypeError Python would raise."""
        error = self.source.error(reason, node)
        error.__cause__ = TypeError(reason)
        error.__suppress_context__ = True
        return error

    def charge(self, units: int, node: ast.AST | None) -> None:
        self.units += units
        if self.units > WORK_BUDGET:
            raise self.refuse(f"work budget of {WORK_BUDGET:,} units exceeded", node)
        if time.monotonic() > self.deadline:
            raise self.refuse(f"evaluation took longer than {TIME_LIMIT:g} second", node)

    def limit_elements(self, count: int, what: str, node: ast.AST | None) -> None:
        if count > MAX_ELEMENTS:
            raise self.refuse(f"{what} of over {MAX_ELEMENTS:,} elements", node)

    def produce(self, count: int, what: str, node: ast.AST | None) -> None:
        """Refuse an oversized result before it is made, else pay for it."""
        self.limit_elements(count, what, node)
        self.charge(count, node)

    def measure(self, value: Any, node: ast.AST | None) -> tuple[int, int]:
        """Weighted element count and nesting depth of a value.

        Shared sub-containers are walked once (each visit is paid for) but
        counted as often as they occur, since comparisons, conversions and the
        engine's copies all visit them that often.  A container's children are
        grouped by identity at C speed, so rows shared a million times over
        cost one look each, not a million; counts saturate just above every
        limit, which keeps them small without changing any decision.
        """
        memo: dict[int, tuple[int, int]] = {}
        # Per container: (elements that count one each, {id: (child, occurrences)}).
        parts: dict[int, tuple[int, dict[int, tuple[Any, int]]]] = {}
        active: set[int] = set()
        stack: list[tuple[Any, bool]] = [(value, False)]
        while stack:
            item, expanded = stack.pop()
            if not isinstance(item, _WALKED):
                continue
            key = id(item)
            if key in memo:
                continue
            if not expanded:
                if key in active:
                    raise self.refuse("recursive value", node)
                active.add(key)
                children = list(item.keys()) + list(item.values()) if isinstance(item, dict) else item
                plain, shared = self.group_children(children, node)
                parts[key] = (plain, shared)
                stack.append((item, True))
                stack.extend(
                    (child, False)
                    for child_key, (child, _) in shared.items()
                    if isinstance(child, _WALKED) and child_key not in memo
                )
                continue
            total, shared = parts.pop(key)
            depth = 0
            for child, times in shared.values():
                count, child_depth = self.leaf_measure(child, memo)
                total = min(total + times * max(count, 1), _COUNT_CAP)
                depth = max(depth, child_depth)
            memo[key] = (total, depth + 1)
            active.discard(key)
        return self.leaf_measure(value, memo)

    def group_children(
        self, children: Sequence[Any], node: ast.AST | None
    ) -> tuple[int, dict[int, tuple[Any, int]]]:
        """How many of ``children`` count one each, and the others grouped by identity.

        Walked in slices, each paid for before it is looked at, so that the
        budget and the clock are checked between slices of a long row.
        """
        plain = 0
        firsts: dict[int, Any] = {}
        counted: Counter[int] = Counter()
        for start in range(0, len(children), _MEASURE_SLICE):
            part = children[start : start + _MEASURE_SLICE]
            self.charge(len(part), node)
            # Flat rows of numbers, the common case, need no look at each element.
            if not any(issubclass(kind, _SIZED) for kind in set(map(type, part))):
                plain += len(part)
                continue
            distinct = dict(zip(map(id, part), part))
            firsts.update(distinct)
            if len(distinct) == 1:
                counted[next(iter(distinct))] += len(part)
            else:
                counted.update(map(id, part))
        shared: dict[int, tuple[Any, int]] = {}
        for child_key, times in counted.items():
            child = firsts[child_key]
            if isinstance(child, _SIZED):
                shared[child_key] = (child, times)
            else:
                plain += times
        return plain, shared

    @staticmethod
    def leaf_measure(value: Any, memo: dict[int, tuple[int, int]]) -> tuple[int, int]:
        if isinstance(value, _WALKED):
            return memo[id(value)]
        if isinstance(value, np.ndarray):
            return int(value.size), value.ndim
        if isinstance(value, range):
            return _range_length(value), 1
        return 1, 0

    def check(self, value: Any, node: ast.AST | None) -> Any:
        """Refuse a value that breaks a size limit; return it otherwise."""
        if isinstance(value, int) and not isinstance(value, bool):
            if _int_bits(value) > MAX_INT_BITS:
                raise self.refuse(f"integer over {MAX_INT_BITS} bits", node)
        elif isinstance(value, (str, list, tuple, dict)):
            self.limit_elements(len(value), type(value).__name__, node)
        elif isinstance(value, np.ndarray):
            if value.dtype.kind not in _NUMERIC_KINDS:
                raise self.refuse(f"array of dtype {value.dtype} (only numeric arrays are allowed)", node)
            self.limit_elements(int(value.size), "array", node)
        elif isinstance(value, np.generic):
            if value.dtype.kind not in _NUMERIC_KINDS:
                raise self.refuse(f"value of dtype {value.dtype} (only numeric values are allowed)", node)
        return value

    def as_array(self, value: Any, node: ast.AST | None) -> np.ndarray:
        """A numeric array for a numpy operation, refusing anything that is not."""
        if isinstance(value, np.ndarray):
            array = value
        elif isinstance(value, np.generic):
            array = np.asarray(value)
        elif isinstance(value, bool) or isinstance(value, (float, complex)):
            array = np.asarray(value)
        elif isinstance(value, int):
            # Beyond 64 bits numpy would fall back to Python objects, whose
            # arithmetic is unbounded.
            if not _INT64_MIN <= value <= _INT64_MAX:
                raise self.refuse("integer too large for array arithmetic", node)
            array = np.asarray(value)
        elif isinstance(value, (list, tuple, range)):
            count, _ = self.measure(value, node)
            self.produce(count, "array", node)
            array = np.asarray(value)
        else:
            raise self.refuse_type(f"expected numbers or an array, got {type(value).__name__}", node)
        if array.dtype.kind not in _NUMERIC_KINDS:
            raise self.refuse(f"array of dtype {array.dtype} (only numeric arrays are allowed)", node)
        self.limit_elements(int(array.size), "array", node)
        return array

    def index(self, value: Any, what: str, node: ast.AST | None) -> int:
        if isinstance(value, (float, complex, str)) or value is None:
            raise self.refuse_type(f"{what} must be an integer, got {type(value).__name__}", node)
        try:
            return operator.index(value)
        except TypeError as exc:
            raise self.refuse(f"{what} must be an integer, got {type(value).__name__}", node) from exc

    def shape(self, value: Any, node: ast.AST | None) -> tuple[int, ...]:
        if isinstance(value, (list, tuple)):
            if len(value) > 32:
                raise self.refuse("shape with more than 32 dimensions", node)
            shape = tuple(self.index(item, "shape", node) for item in value)
        else:
            shape = (self.index(value, "shape", node),)
        if any(length < 0 for length in shape):
            raise self.refuse("negative dimensions are not allowed", node)
        return shape

    def axis(self, value: Any, node: ast.AST | None) -> int | tuple[int, ...] | None:
        if value is None:
            return None
        if isinstance(value, (list, tuple)):
            return tuple(self.index(item, "axis", node) for item in value)
        return self.index(value, "axis", node)

    def dtype(self, value: Any, node: ast.AST | None) -> Any:
        if value is None:
            return None
        if isinstance(value, type) and value in _DTYPE_NAMES.values():
            return value
        if isinstance(value, str) and value in _DTYPE_STRINGS:
            return value
        raise self.refuse(f"dtype {_shorten(repr(value))} is not allowed", node)

    def flag(self, value: Any, what: str, node: ast.AST | None) -> bool:
        if isinstance(value, (bool, np.bool_)) or (isinstance(value, int) and value in (0, 1)):
            return bool(value)
        raise self.refuse_type(f"{what} must be True or False", node)

    # -- statements ---------------------------------------------------------

    def execute(self, tree: ast.Module) -> dict[str, Any]:
        for stmt in tree.body[:-1]:
            self.charge(1, stmt)
            if isinstance(stmt, ast.Assign):
                value = self.eval(stmt.value)
                for target in stmt.targets:
                    self.guarded(self.bind, target, target, value, self.names)
            else:
                assert isinstance(stmt, ast.AugAssign) and isinstance(stmt.target, ast.Name)
                current = self.lookup(stmt.target)
                value = self.eval(stmt.value)
                self.names[stmt.target.id] = self.guarded(self.binop, stmt, type(stmt.op), current, value, stmt)
        last = tree.body[-1]
        assert isinstance(last, ast.Expr)
        expr = last.value
        if isinstance(expr, ast.Call) and isinstance(expr.func, ast.Name) and expr.func.id == "sweep":
            values, dim = self.guarded(self.sweep_arguments, expr, expr)
            return {"type": "seq", "dim": dim, "val": None, "seq": values, "use_space": list(self.use_space)}
        value = self.eval(expr)
        if isinstance(value, range):
            self.produce(_range_length(value), "list", expr)
            value = list(value)
        self.check_final(value, expr)
        return {"type": "val", "dim": 0, "val": value, "seq": None, "use_space": list(self.use_space)}

    def check_final(self, value: Any, node: ast.AST) -> None:
        count, depth = self.measure(value, node)
        self.limit_elements(count, "result", node)
        if depth > MAX_NESTING:
            raise self.refuse(f"result nested deeper than {MAX_NESTING} levels", node)

    def sweep_arguments(self, node: ast.Call) -> tuple[Any, Any]:
        self.charge(1, node)
        arguments = [self.eval(argument) for argument in node.args]
        for keyword in node.keywords:
            arguments.append(self.eval(keyword.value))
        if len(arguments) > 2:
            raise self.refuse("sweep() got the dimension twice", node)
        values = arguments[0]
        dim_node = node.keywords[0].value if node.keywords else (node.args[1] if len(node.args) > 1 else node)
        dim = arguments[1] if len(arguments) > 1 else 0
        if isinstance(values, range):
            self.produce(_range_length(values), "list", node.args[0])
            values = list(values)
        if isinstance(values, np.ndarray):
            if values.ndim == 0:
                raise self.refuse_type("sweep() values must be a sequence, got a 0-d array", node.args[0])
        elif not isinstance(values, (list, tuple)):
            raise self.refuse_type(
                f"sweep() values must be a list, tuple or array, got {type(values).__name__}", node.args[0]
            )
        self.check_final(values, node.args[0])
        return values, self.sweep_dim(dim, dim_node)

    def sweep_dim(self, dim: Any, node: ast.AST) -> Any:
        def one(value: Any) -> int:
            if isinstance(value, (bool, np.bool_)):
                raise self.refuse_type("sweep() dim must be an integer, not a boolean", node)
            number = self.index(value, "sweep() dim", node)
            if not 0 <= number <= MAX_SWEEP_DIM:
                raise self.refuse(f"sweep() dim must lie between 0 and {MAX_SWEEP_DIM}, got {number}", node)
            return number

        if isinstance(dim, (list, tuple)):
            if not 1 <= len(dim) <= 3:
                raise self.refuse(f"sweep() dim must list 1 to 3 dimensions, got {len(dim)}", node)
            return type(dim)(one(item) for item in dim)
        return one(dim)

    def bind(self, target: ast.expr, value: Any, scope: dict[str, Any]) -> None:
        if isinstance(target, ast.Name):
            scope[target.id] = value
            return
        assert isinstance(target, (ast.Tuple, ast.List))
        count = len(target.elts)
        if not isinstance(value, (list, tuple, str, range, dict, np.ndarray)):
            raise self.refuse_type(f"cannot unpack a value of type {type(value).__name__}", target)
        length = _range_length(value) if isinstance(value, range) else len(value)
        if length != count:
            raise self.refuse(f"cannot unpack {length} values into {count} names", target)
        for element, item in zip(target.elts, list(value)):
            assert isinstance(element, ast.Name)
            scope[element.id] = item

    def lookup(self, node: ast.Name) -> Any:
        name = node.id
        for scope in reversed(self.scopes):
            if name in scope:
                return scope[name]
        if name in self.names:
            return self.names[name]
        if name in _CONSTANTS:
            return _CONSTANTS[name]
        if name in _DTYPE_NAMES:
            return _DTYPE_NAMES[name]
        raise self.refuse(f"unknown name {name!r}", node)

    # -- expressions --------------------------------------------------------

    def guarded(self, method: Callable[..., Any], node: ast.AST, *args: Any) -> Any:
        """Run one step, turning any failure into a ScriptError at ``node``."""
        try:
            return method(*args)
        except ScriptError:
            raise
        except Exception as exc:
            detail = _shorten(str(exc))
            reason = f"{type(exc).__name__}: {detail}" if detail else type(exc).__name__
            raise self.refuse(reason, node) from exc

    def eval(self, node: ast.AST) -> Any:
        self.charge(1, node)
        handler = _HANDLERS[type(node)]
        return self.guarded(handler, node, self, node)

    def eval_constant(self, node: ast.Constant) -> Any:
        return node.value

    def eval_name(self, node: ast.Name) -> Any:
        return self.lookup(node)

    def eval_attribute(self, node: ast.Attribute) -> Any:
        # The checker admits only np.<constant> as a plain value.
        return _CONSTANTS[node.attr]

    def eval_list(self, node: ast.List) -> list[Any]:
        return [self.eval(element) for element in node.elts]

    def eval_tuple(self, node: ast.Tuple) -> tuple[Any, ...]:
        return tuple(self.eval(element) for element in node.elts)

    def dict_key(self, key: Any, node: ast.AST) -> Any:
        # Only flat keys: hashing nested tuples has no recursion guard in the
        # host and costs time proportional to their full size.
        if key is None or isinstance(key, (bool, int, float, complex, str, np.number, np.bool_)):
            return key
        raise self.refuse_type(
            f"dictionary keys must be numbers, strings, booleans or None, got {type(key).__name__}", node
        )

    def eval_dict(self, node: ast.Dict) -> dict[Any, Any]:
        result: dict[Any, Any] = {}
        for key_node, value_node in zip(node.keys, node.values):
            assert key_node is not None
            key = self.dict_key(self.eval(key_node), key_node)
            result[key] = self.eval(value_node)
        return result

    def eval_binop(self, node: ast.BinOp) -> Any:
        left = self.eval(node.left)
        right = self.eval(node.right)
        return self.binop(type(node.op), left, right, node)

    def binop(self, op_type: type, left: Any, right: Any, node: ast.AST) -> Any:
        symbol, function = _BINOPS[op_type]
        if _is_numpy(left) or _is_numpy(right):
            a = self.as_array(left, node)
            b = self.as_array(right, node)
            size = math.prod(np.broadcast_shapes(a.shape, b.shape))
            self.produce(size, "array", node)
            return self.check(function(a, b), node)
        if isinstance(left, str) and op_type is ast.Mod:
            raise self.refuse("string formatting with '%' is not allowed", node)
        sequence_types = (str, list, tuple)
        if op_type is ast.Mult:
            if isinstance(left, sequence_types) and isinstance(right, int):
                self.produce(len(left) * max(right, 0), type(left).__name__, node)
            elif isinstance(right, sequence_types) and isinstance(left, int):
                self.produce(len(right) * max(left, 0), type(right).__name__, node)
        elif op_type is ast.Add and isinstance(left, sequence_types) and isinstance(right, sequence_types):
            self.produce(len(left) + len(right), type(left).__name__, node)
        elif op_type is ast.Pow and isinstance(left, int) and isinstance(right, int):
            if right > 0 and abs(left) > 1 and (_int_bits(left) - 1) * right + 1 > MAX_INT_BITS:
                raise self.refuse(f"integer result of '**' over {MAX_INT_BITS} bits", node)
        return self.check(function(left, right), node)

    def eval_unaryop(self, node: ast.UnaryOp) -> Any:
        operand = self.eval(node.operand)
        if isinstance(operand, np.ndarray) and not isinstance(node.op, ast.Not):
            self.charge(int(operand.size), node)
        return self.check(_UNARYOPS[type(node.op)](operand), node)

    def eval_boolop(self, node: ast.BoolOp) -> Any:
        is_and = isinstance(node.op, ast.And)
        value: Any = None
        for operand in node.values:
            value = self.eval(operand)
            truth = bool(value)
            if truth != is_and:
                return value
        return value

    def eval_ifexp(self, node: ast.IfExp) -> Any:
        return self.eval(node.body) if bool(self.eval(node.test)) else self.eval(node.orelse)

    def eval_compare(self, node: ast.Compare) -> Any:
        left = self.eval(node.left)
        result: Any = True
        for op, comparator in zip(node.ops, node.comparators):
            right = self.eval(comparator)
            result = self.compare(type(op), left, right, node)
            if len(node.ops) > 1 and not bool(result):
                return result
            left = right
        return result

    def compare(self, op_type: type, left: Any, right: Any, node: ast.AST) -> Any:
        function = _COMPAREOPS[op_type]
        if op_type in (ast.Is, ast.IsNot):
            return function(left, right)
        if op_type in (ast.In, ast.NotIn):
            if isinstance(right, np.ndarray):
                self.charge(int(right.size), node)
                self.as_array(left, node)
            elif isinstance(right, dict):
                self.dict_key(left, node)
            elif isinstance(right, str):
                if not isinstance(left, str):
                    raise self.refuse_type("'in <string>' requires a string on the left", node)
                self.charge(len(right), node)
            elif isinstance(right, range):
                pass
            elif isinstance(right, (list, tuple)):
                self.charge(self.measure(right, node)[0] + self.measure(left, node)[0], node)
            else:
                raise self.refuse_type(f"'in' is not supported for {type(right).__name__}", node)
            return function(left, right)
        if _is_numpy(left) or _is_numpy(right):
            a = self.as_array(left, node)
            b = self.as_array(right, node)
            self.produce(math.prod(np.broadcast_shapes(a.shape, b.shape)), "array", node)
            return function(a, b)
        self.charge(self.measure(left, node)[0] + self.measure(right, node)[0], node)
        return function(left, right)

    def eval_subscript(self, node: ast.Subscript) -> Any:
        container = self.eval(node.value)
        key = self.eval(node.slice)
        return self.subscript(container, key, node)

    def eval_slice(self, node: ast.Slice) -> slice:
        parts = []
        for part in (node.lower, node.upper, node.step):
            if part is None:
                parts.append(None)
            else:
                value = self.eval(part)
                parts.append(None if value is None else self.index(value, "slice bound", part))
        return slice(*parts)

    def subscript(self, container: Any, key: Any, node: ast.AST) -> Any:
        if isinstance(container, np.ndarray):
            return self.check(self.array_subscript(container, key, node), node)
        if isinstance(container, dict):
            return container[self.dict_key(key, node)]
        if isinstance(container, (list, tuple, str, range)):
            if isinstance(key, slice):
                result = container[key]
                if not isinstance(result, range):
                    self.charge(len(result), node)
                return result
            return container[self.index(key, "index", node)]
        raise self.refuse_type(f"indexing a value of type {type(container).__name__} is not allowed", node)

    def array_subscript(self, array: np.ndarray, key: Any, node: ast.AST) -> Any:
        components = key if isinstance(key, tuple) else (key,)
        converted: list[Any] = []
        advanced: tuple[int, np.ndarray] | None = None
        axis = 0
        for component in components:
            if component is None:
                converted.append(None)
                continue
            if isinstance(component, slice):
                converted.append(component)
                axis += 1
                continue
            if isinstance(component, (int, np.integer)) and not isinstance(component, (bool, np.bool_)):
                converted.append(component)
                axis += 1
                continue
            if isinstance(component, (list, tuple, np.ndarray, bool, np.bool_)):
                if advanced is not None:
                    raise self.refuse("only one list or array index per subscript is allowed", node)
                index_array = self.as_array(component, node)
                if index_array.dtype.kind not in "biu":
                    raise self.refuse_type("array indices must be integers or booleans", node)
                advanced = (axis, index_array)
                converted.append(index_array)
                axis += max(index_array.ndim, 1) if index_array.dtype.kind == "b" else 1
                continue
            raise self.refuse_type(f"index of type {type(component).__name__} is not allowed", node)
        if advanced is not None:
            position, index_array = advanced
            if index_array.dtype.kind == "b":
                predicted = int(array.size)
            elif position < array.ndim and array.shape[position] > 0:
                predicted = int(index_array.size) * (int(array.size) // array.shape[position])
            else:
                predicted = int(index_array.size)
            self.produce(predicted, "array", node)
        return array[tuple(converted)]

    def eval_listcomp(self, node: ast.ListComp) -> list[Any]:
        result: list[Any] = []
        scope: dict[str, Any] = {}
        self.scopes.append(scope)
        try:
            self.comprehension(node, 0, scope, result)
        finally:
            self.scopes.pop()
        return result

    def comprehension(self, node: ast.ListComp, level: int, scope: dict[str, Any], out: list[Any]) -> None:
        if level == len(node.generators):
            self.produce(1, "list", node)
            if len(out) >= MAX_ELEMENTS:
                raise self.refuse(f"list of over {MAX_ELEMENTS:,} elements", node)
            out.append(self.eval(node.elt))
            return
        generator = node.generators[level]
        iterable = self.eval(generator.iter)
        if not isinstance(iterable, (list, tuple, str, range, dict, np.ndarray)):
            raise self.refuse_type(f"cannot iterate over a value of type {type(iterable).__name__}", generator.iter)
        if isinstance(iterable, np.ndarray) and iterable.ndim == 0:
            raise self.refuse_type("cannot iterate over a 0-d array", generator.iter)
        for item in iterable:
            self.charge(1, generator.target)
            self.bind(generator.target, item, scope)
            if all(bool(self.eval(condition)) for condition in generator.ifs):
                self.comprehension(node, level + 1, scope, out)

    def eval_call(self, node: ast.Call) -> Any:
        name = _callee_name(node.func)
        assert name is not None
        args = [self.eval(argument) for argument in node.args]
        kwargs = {keyword.arg: self.eval(keyword.value) for keyword in node.keywords}
        if name == "space":
            return self.space(args[0], node)
        function = _lookup_function(name)
        for position, keyword in enumerate(function.positional_keywords, start=function.min_args):
            if keyword in kwargs and len(args) > position:
                raise self.refuse_type(f"{name}() got {keyword!r} twice", node)
        return self.check(function.impl(self, node, args, kwargs), node)

    def space(self, key: Any, node: ast.AST) -> Any:
        if not isinstance(key, str):
            raise self.refuse_type(f"space() key must be a string, got {type(key).__name__}", node)
        if self.group is None:
            raise self.refuse("space() needs a device group, but none is set", node)
        value = self.group.get_parameter(key, self.timestamp)
        if key not in self.use_space:
            self.use_space.append(key)
        return self.check(value, node)


_HANDLERS: dict[type, Callable[[_Run, Any], Any]] = {
    ast.Constant: _Run.eval_constant,
    ast.Name: _Run.eval_name,
    ast.Attribute: _Run.eval_attribute,
    ast.List: _Run.eval_list,
    ast.Tuple: _Run.eval_tuple,
    ast.Dict: _Run.eval_dict,
    ast.BinOp: _Run.eval_binop,
    ast.UnaryOp: _Run.eval_unaryop,
    ast.BoolOp: _Run.eval_boolop,
    ast.IfExp: _Run.eval_ifexp,
    ast.Compare: _Run.eval_compare,
    ast.Subscript: _Run.eval_subscript,
    ast.Slice: _Run.eval_slice,
    ast.ListComp: _Run.eval_listcomp,
    ast.Call: _Run.eval_call,
}


# ---------------------------------------------------------------------------
# Function implementations
# ---------------------------------------------------------------------------

_Args = list[Any]
_Kwargs = dict[str, Any]


def _sized_length(run: _Run, value: Any, node: ast.AST) -> int:
    if isinstance(value, range):
        return _range_length(value)
    if isinstance(value, (list, tuple, str, dict)):
        return len(value)
    if isinstance(value, np.ndarray):
        if value.ndim == 0:
            raise run.refuse_type("a 0-d array has no length", node)
        return len(value)
    raise run.refuse_type(f"expected a sequence, got {type(value).__name__}", node)


def _builtin_abs(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
    value = args[0]
    if isinstance(value, (list, tuple)) or _is_numpy(value):
        array = run.as_array(value, node)
        run.produce(int(array.size), "array", node)
        return np.abs(array)
    return abs(value)


def _builtin_min_max(function: Callable[..., Any]) -> Callable[[_Run, ast.AST, _Args, _Kwargs], Any]:
    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
        if len(args) == 1:
            _sized_length(run, args[0], node)
            if isinstance(args[0], np.ndarray):
                # Element-wise over the rows, as numpy does, and without a
                # Python-level loop over every element.
                run.charge(int(args[0].size), node)
                return (np.max if function is max else np.min)(args[0], axis=0)
            run.charge(run.measure(args[0], node)[0], node)
            return function(args[0])
        run.charge(sum(run.measure(arg, node)[0] for arg in args), node)
        return function(*args)

    return impl


def _builtin_round(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
    value = args[0]
    ndigits = args[1] if len(args) > 1 else kwargs.get("ndigits")
    if ndigits is not None:
        ndigits = run.index(ndigits, "ndigits", node)
    if isinstance(value, (list, tuple)) or _is_numpy(value):
        array = run.as_array(value, node)
        run.produce(int(array.size), "array", node)
        return np.round(array) if ndigits is None else np.round(array, ndigits)
    if ndigits is not None and isinstance(value, int) and ndigits < -_INT_ROUND_DIGITS:
        # Rounding an integer computes 10 ** -ndigits; past the largest
        # allowed integer the answer is 0 anyway.
        ndigits = -_INT_ROUND_DIGITS
    return round(value) if ndigits is None else round(value, ndigits)


def _builtin_len(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> int:
    value = args[0]
    if isinstance(value, range):
        return len(value)
    return _sized_length(run, value, node)


def _builtin_range(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> range:
    return range(*(run.index(arg, "range() argument", node) for arg in args))


def _builtin_sum(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
    iterable = args[0]
    start = args[1] if len(args) > 1 else kwargs.get("start", 0)
    _sized_length(run, iterable, node)
    # Adding sequences would copy quadratically; only numbers may be summed.
    if not isinstance(start, (bool, int, float, complex, np.number, np.bool_)):
        raise run.refuse_type("sum() start must be a number", node)
    if isinstance(iterable, np.ndarray):
        # Same answer as adding the rows one by one, without a Python-level
        # loop over every element.
        run.charge(int(iterable.size), node)
        return np.sum(iterable, axis=0) + start
    else:
        run.charge(run.measure(iterable, node)[0], node)
    return sum(iterable, start)


def _builtin_int(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> int:
    if not args:
        return 0
    if len(args) > 1 and "base" in kwargs:
        raise run.refuse_type("int() got 'base' twice", node)
    base = args[1] if len(args) > 1 else kwargs.get("base")
    if base is not None:
        if not isinstance(args[0], str):
            raise run.refuse_type("int() with a base needs a string", node)
        return int(args[0], run.index(base, "base", node))
    return int(args[0])


def _builtin_float(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> float:
    return float(args[0]) if args else 0.0


def _builtin_complex(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> complex:
    real = args[0] if args else kwargs.get("real", 0)
    imag = args[1] if len(args) > 1 else kwargs.get("imag")
    for value in (real, imag):
        if value is not None and not isinstance(value, (bool, int, float, complex, str, np.number)):
            raise run.refuse_type(f"complex() takes numbers, got {type(value).__name__}", node)
    return complex(real) if imag is None else complex(real, imag)


def _builtin_bool(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> bool:
    return bool(args[0]) if args else False


def _builtin_sequence(kind: type) -> Callable[[_Run, ast.AST, _Args, _Kwargs], Any]:
    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
        if not args:
            return kind()
        value = args[0]
        run.produce(_sized_length(run, value, node), kind.__name__, node)
        return kind(value)

    return impl


def _builtin_sorted(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> list[Any]:
    value = args[0]
    length = _sized_length(run, value, node)
    run.limit_elements(length, "list", node)
    reverse = run.flag(kwargs.get("reverse", False), "reverse", node)
    weight = int(value.size) if isinstance(value, np.ndarray) else run.measure(value, node)[0]
    run.charge(weight * max(1, math.ceil(math.log2(length + 1))), node)
    return sorted(value, reverse=reverse)


def _builtin_zip(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> list[tuple[Any, ...]]:
    if not args:
        return []
    length = min(_sized_length(run, value, node) for value in args)
    run.produce(length * len(args), "list", node)
    return list(zip(*args))


def _builtin_enumerate(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> list[tuple[int, Any]]:
    start = run.index(args[1] if len(args) > 1 else kwargs.get("start", 0), "start", node)
    length = _sized_length(run, args[0], node)
    run.produce(length * 2, "list", node)
    return list(enumerate(args[0], start))


def _numpy_elementwise(function: Callable[..., Any]) -> Callable[[_Run, ast.AST, _Args, _Kwargs], Any]:
    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
        arrays = [run.as_array(arg, node) for arg in args]
        size = math.prod(np.broadcast_shapes(*(array.shape for array in arrays)))
        run.produce(size, "array", node)
        return function(*arrays)

    return impl


def _numpy_array(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    array = run.as_array(args[0], node)
    dtype = run.dtype(args[1] if len(args) > 1 else kwargs.get("dtype"), node)
    run.produce(int(array.size), "array", node)
    return np.array(array, dtype=dtype)


def _spacing(function: Callable[..., Any], with_base: bool) -> Callable[[_Run, ast.AST, _Args, _Kwargs], Any]:
    names = ("num", "endpoint", "base") if with_base else ("num", "endpoint")
    defaults: dict[str, Any] = {"num": 50, "endpoint": True, "base": 10.0}

    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
        start = run.as_array(args[0], node)
        stop = run.as_array(args[1], node)
        options = dict(zip(names, args[2:]))
        for name in names:
            options.setdefault(name, kwargs.get(name, defaults[name]))
        num = run.index(options["num"], "num", node)
        if num < 0:
            raise run.refuse(f"number of samples must be non-negative, got {num}", node)
        endpoint = run.flag(options["endpoint"], "endpoint", node)
        shapes = [start.shape, stop.shape]
        extra: dict[str, Any] = {}
        if with_base:
            base = run.as_array(options["base"], node)
            shapes.append(base.shape)
            extra["base"] = base
        run.limit_elements(num, "array", node)
        run.produce(num * math.prod(np.broadcast_shapes(*shapes)), "array", node)
        return function(start, stop, num, endpoint=endpoint, **extra)

    return impl


def _real_scalar(run: _Run, value: Any, what: str, node: ast.AST) -> float | int:
    array = run.as_array(value, node)
    if array.ndim != 0 or array.dtype.kind not in "biuf":
        raise run.refuse_type(f"{what} must be a real number", node)
    return array.item()


def _numpy_arange(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    values = [_real_scalar(run, arg, "arange() argument", node) for arg in args]
    dtype = run.dtype(kwargs.get("dtype"), node)
    start, stop, step = (0, values[0], 1) if len(values) == 1 else (values + [1])[:3]
    if step == 0:
        raise run.refuse("arange() step must not be zero", node)
    span = (stop - start) / step
    if not math.isfinite(span):
        raise run.refuse("arange() length is not finite", node)
    run.produce(max(math.ceil(span), 0), "array", node)
    return np.arange(start, stop, step, dtype=dtype)


def _numpy_filled(fill: float | None) -> Callable[[_Run, ast.AST, _Args, _Kwargs], np.ndarray]:
    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
        shape = run.shape(args[0], node)
        size = math.prod(shape)
        run.limit_elements(size, "array", node)
        if fill is None:
            value = run.as_array(args[1], node)
            dtype = run.dtype(args[2] if len(args) > 2 else kwargs.get("dtype"), node)
            run.produce(size, "array", node)
            return np.full(shape, value, dtype=dtype)
        dtype = run.dtype(args[1] if len(args) > 1 else kwargs.get("dtype", float), node)
        run.produce(size, "array", node)
        return np.full(shape, fill, dtype=dtype)

    return impl


def _numpy_concatenate(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    parts = args[0]
    if isinstance(parts, np.ndarray):
        run.charge(len(parts) if parts.ndim else 0, node)
        parts = list(parts)
    if not isinstance(parts, (list, tuple)):
        raise run.refuse_type("concatenate() takes a list or tuple of arrays", node)
    arrays = [run.as_array(part, node) for part in parts]
    axis = run.axis(args[1] if len(args) > 1 else kwargs.get("axis", 0), node)
    run.produce(sum(int(array.size) for array in arrays), "array", node)
    return np.concatenate(arrays, axis=axis)


def _numpy_repeat(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    array = run.as_array(args[0], node)
    repeats = run.as_array(args[1], node)
    if repeats.dtype.kind not in "biu":
        raise run.refuse_type("repeat() counts must be integers", node)
    if repeats.size and int(repeats.min()) < 0:
        raise run.refuse("repeat() counts must not be negative", node)
    axis = run.axis(args[2] if len(args) > 2 else kwargs.get("axis"), node)
    if repeats.size <= 1:
        total = int(repeats.item()) if repeats.size else 0
        predicted = int(array.size) * total
    else:
        total = int(np.sum(repeats, dtype=np.float64))
        predicted = total * max(1, int(array.size) // int(repeats.size))
    run.produce(predicted, "array", node)
    return np.repeat(array, repeats, axis=axis)


def _numpy_tile(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    array = run.as_array(args[0], node)
    reps = run.shape(args[1], node)
    run.produce(int(array.size) * math.prod(reps), "array", node)
    return np.tile(array, reps)


def _numpy_clip(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    array = run.as_array(args[0], node)
    bounds = [None if bound is None else run.as_array(bound, node) for bound in args[1:3]]
    shapes = [array.shape] + [bound.shape for bound in bounds if bound is not None]
    run.produce(math.prod(np.broadcast_shapes(*shapes)), "array", node)
    return np.clip(array, bounds[0], bounds[1])


def _numpy_reduction(function: Callable[..., Any], factor: int) -> Callable[[_Run, ast.AST, _Args, _Kwargs], Any]:
    def impl(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> Any:
        array = run.as_array(args[0], node)
        axis = run.axis(args[1] if len(args) > 1 else kwargs.get("axis"), node)
        run.charge(factor * int(array.size), node)
        return function(array, axis=axis)

    return impl


def _numpy_diff(run: _Run, node: ast.AST, args: _Args, kwargs: _Kwargs) -> np.ndarray:
    array = run.as_array(args[0], node)
    n = run.index(args[1] if len(args) > 1 else kwargs.get("n", 1), "n", node)
    axis = run.index(args[2] if len(args) > 2 else kwargs.get("axis", -1), "axis", node)
    if n < 0:
        raise run.refuse(f"diff() order must be non-negative, got {n}", node)
    if array.ndim == 0:
        raise run.refuse("diff() needs an array of at least one dimension", node)
    if not -array.ndim <= axis < array.ndim:
        raise run.refuse(f"diff() axis {axis} is out of range", node)
    # Beyond the axis length every further difference is of an empty array;
    # numpy would still loop once per order.
    n = min(n, array.shape[axis])
    run.charge(int(array.size) * max(n, 1), node)
    return np.diff(array, n=n, axis=axis)


def _register_functions() -> None:
    def add(table: dict[str, _Function], name: str, impl: Any, lo: int, hi: int | None,
            keywords: Iterable[str] = (), positional: Sequence[str] = ()) -> None:
        table[name] = _Function(impl, lo, hi, frozenset(keywords), tuple(positional))

    add(_BUILTINS, "abs", _builtin_abs, 1, 1)
    add(_BUILTINS, "min", _builtin_min_max(min), 1, None)
    add(_BUILTINS, "max", _builtin_min_max(max), 1, None)
    add(_BUILTINS, "round", _builtin_round, 1, 2, ["ndigits"], ["ndigits"])
    add(_BUILTINS, "len", _builtin_len, 1, 1)
    add(_BUILTINS, "range", _builtin_range, 1, 3)
    add(_BUILTINS, "sum", _builtin_sum, 1, 2, ["start"], ["start"])
    add(_BUILTINS, "int", _builtin_int, 0, 2, ["base"])
    add(_BUILTINS, "float", _builtin_float, 0, 1)
    add(_BUILTINS, "complex", _builtin_complex, 0, 2, ["real", "imag"], ["real", "imag"])
    add(_BUILTINS, "bool", _builtin_bool, 0, 1)
    add(_BUILTINS, "list", _builtin_sequence(list), 0, 1)
    add(_BUILTINS, "tuple", _builtin_sequence(tuple), 0, 1)
    add(_BUILTINS, "sorted", _builtin_sorted, 1, 1, ["reverse"])
    add(_BUILTINS, "zip", _builtin_zip, 0, None)
    add(_BUILTINS, "enumerate", _builtin_enumerate, 1, 2, ["start"], ["start"])

    add(_NUMPY, "array", _numpy_array, 1, 2, ["dtype"], ["dtype"])
    add(_NUMPY, "linspace", _spacing(np.linspace, False), 2, 4, ["num", "endpoint"], ["num", "endpoint"])
    add(_NUMPY, "logspace", _spacing(np.logspace, True), 2, 5, ["num", "endpoint", "base"],
        ["num", "endpoint", "base"])
    add(_NUMPY, "geomspace", _spacing(np.geomspace, False), 2, 4, ["num", "endpoint"], ["num", "endpoint"])
    add(_NUMPY, "arange", _numpy_arange, 1, 3, ["dtype"])
    add(_NUMPY, "zeros", _numpy_filled(0.0), 1, 2, ["dtype"], ["dtype"])
    add(_NUMPY, "ones", _numpy_filled(1.0), 1, 2, ["dtype"], ["dtype"])
    add(_NUMPY, "full", _numpy_filled(None), 2, 3, ["dtype"], ["dtype"])
    add(_NUMPY, "concatenate", _numpy_concatenate, 1, 2, ["axis"], ["axis"])
    add(_NUMPY, "repeat", _numpy_repeat, 2, 3, ["axis"], ["axis"])
    add(_NUMPY, "tile", _numpy_tile, 2, 2)
    for name in ("sin", "cos", "tan", "arcsin", "arccos", "arctan", "sinh", "cosh", "tanh",
                 "exp", "log", "log2", "log10", "sqrt", "floor", "ceil", "flip"):
        add(_NUMPY, name, _numpy_elementwise(getattr(np, name)), 1, 1)
    add(_NUMPY, "arctan2", _numpy_elementwise(np.arctan2), 2, 2)
    add(_NUMPY, "power", _numpy_elementwise(np.power), 2, 2)
    add(_NUMPY, "clip", _numpy_clip, 3, 3)
    add(_NUMPY, "mean", _numpy_reduction(np.mean, 1), 1, 2, ["axis"], ["axis"])
    add(_NUMPY, "cumsum", _numpy_reduction(np.cumsum, 2), 1, 2, ["axis"], ["axis"])
    add(_NUMPY, "diff", _numpy_diff, 1, 3, ["n", "axis"], ["n", "axis"])


_register_functions()


# ---------------------------------------------------------------------------
# Public entry point
# ---------------------------------------------------------------------------


def _parse(source: _Source) -> ast.Module:
    try:
        return ast.parse(source.text, mode="exec")
    except SyntaxError as exc:
        line = exc.lineno or 1
        column = exc.offset or 1
        raise ScriptError(f"syntax error: {_shorten(exc.msg)}", line, column) from exc
    except (MemoryError, RecursionError, ValueError, OverflowError) as exc:
        raise ScriptError("script too complex to parse", 1, 1) from exc


class ScriptEvaluator:
    """Evaluates parameter scripts against a device group.

    ``group`` is the device group whose parameters ``space(key)`` reads (None
    until the experiment assigns one).  The evaluator keeps no other state, so
    it can be copied, pickled and reused freely.
    """

    def __init__(self) -> None:
        self.group: Any = None

    def evaluate(self, script: str, timestamp: int | None = None) -> dict[str, Any]:
        """Evaluate ``script`` and describe its final value.

        Returns ``{"type", "dim", "val", "seq", "use_space"}``: for a final
        ``sweep(values, dim=d)`` the type is "seq", ``seq`` the values as given
        and ``dim`` the dimension (``val`` None); any other final value gives
        type "val", ``val`` the value, ``dim`` 0 (``seq`` None).  ``use_space``
        lists the keys read through ``space()``, first use first, each once.
        ``timestamp`` (integer milliseconds or None) is handed to the group.

        Raises:
            ScriptError: the script was refused or failed.
            TypeError: ``timestamp`` is neither an integer nor None.
        """
        if timestamp is not None:
            if isinstance(timestamp, bool) or not isinstance(timestamp, (int, np.integer)):
                raise TypeError(f"timestamp must be an integer or None, got {type(timestamp).__name__}")
            timestamp = int(timestamp)
        if not isinstance(script, str):
            raise ScriptError(f"script must be text, got {type(script).__name__}")
        if len(script) > MAX_SCRIPT_BYTES or len(script.encode("utf-8", errors="surrogatepass")) > MAX_SCRIPT_BYTES:
            raise ScriptError(f"script text over {MAX_SCRIPT_BYTES // 1024} KiB")
        source = _Source(script)
        try:
            tree = _parse(source)
            _check_depth(tree, source)
            _Checker(source).check_module(tree)
            run = _Run(source, self.group, timestamp)
            with np.errstate(all="ignore"), warnings.catch_warnings():
                # Numeric edge cases (log(0), overflow to inf) give inf/nan, as
                # in numpy; warnings must not escape into the caller's filters.
                warnings.simplefilter("ignore")
                return run.execute(tree)
        except ScriptError:
            raise
        except RecursionError as exc:
            # The caller's stack was already deep; the tree itself is bounded.
            raise ScriptError("script nested too deeply for the remaining stack", 1, 1) from exc
        except Exception as exc:  # a failure outside any node
            raise ScriptError(f"{type(exc).__name__}: {_shorten(str(exc))}", 1, 1) from exc
