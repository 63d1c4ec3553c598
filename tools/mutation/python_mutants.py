"""Mutation score of the test suite over the Python collaborators, measured with mutmut.

    python tools/mutation/python_mutants.py [--sample 400] [--seed 1] [--modules group.py,data.py]

Copies the tree to a scratch directory (mutmut rewrites the sources it
mutates), puts the built engine beside the sources there, and runs mutmut
over ``src/varnok_client`` with each mutant checked by the tests that cover
the code it changes.  Over the whole package that is several thousand
mutants and many hours, so ``--sample N`` checks a seeded random sample of
them: the same seed picks the same mutants of the same code, which makes two
measurements of one tree (before and after a change to the tests) a paired
comparison, mutant by mutant.  Prints the score and writes every checked
mutant with its outcome to ``python_mutants.json`` in the scratch directory.
Not part of CI.
"""

from __future__ import annotations

import argparse
import json
import random
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CONFIG = """[mutmut]
source_paths=src/varnok_client
{only}
also_copy=
    src/varnok_client/experiment/
    examples/
    benchmarks/
pytest_add_cli_args=-p no:cacheprovider -q -x -p no:randomly
"""

PLAIN_IDS = """

import re as _re

import _pytest.python as _python


def _plain(text):
    return _re.sub(r"[^A-Za-z0-9_.-]+", "_", text)[:40] if isinstance(text, str) else text


def pytest_make_parametrize_id(config, val, argname):
    if val is None or isinstance(val, (str, bytes, int, float)):
        return _plain(repr(val))
    return None  # pytest's own argname-and-index id, the same in every process


_parametrize = _python.Metafunc.parametrize


def _parametrize_plainly(self, argnames, argvalues, *args, ids=None, **kwargs):
    if callable(ids):
        given = ids
        ids = lambda value: _plain(given(value))  # noqa: E731
    elif ids is not None:
        ids = [_plain(i) for i in ids]
    return _parametrize(self, argnames, argvalues, *args, ids=ids, **kwargs)


_python.Metafunc.parametrize = _parametrize_plainly
"""


def outcomes_of(mutmut: Path, tree: Path) -> dict[str, str]:
    """Mutant name -> mutmut's verdict ("killed", "survived", "not checked", ...)."""
    results = subprocess.run([str(mutmut), "results", "--all", "true"], cwd=tree, capture_output=True, text=True)
    found = {}
    for line in results.stdout.splitlines():
        match = re.match(r"\s*(\S+): (\w[\w ]*)$", line)
        if match:
            found[match.group(1)] = match.group(2)
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", help="comma-separated files under src/varnok_client to mutate (default: all)")
    parser.add_argument("--max-children", default="2")
    parser.add_argument("--sample", type=int, help="check a seeded random sample of this many mutants")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--recheck", type=Path,
                        help="a python_mutants.json of an earlier measurement: check again only the mutants it "
                             "killed (a smaller suite cannot kill what a larger one let survive)")
    parser.add_argument("--keep", type=Path, help="scratch directory to use and keep (default: a temporary one)")
    args = parser.parse_args()
    import varnok_client

    scratch = args.keep or Path(tempfile.mkdtemp(prefix="varnok-py-mutants-"))
    tree = scratch / "tree"
    if tree.exists():
        shutil.rmtree(tree)
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".venv*", "build", ".git", "__pycache__", "*.so",
                                                              ".hypothesis", "mutants"))
    # Every compiled extension of the installed package goes beside the sources it belongs to.
    installed = Path(varnok_client.__file__).parent
    for built in installed.rglob(f"*{sysconfig.get_config_var('EXT_SUFFIX')}"):
        shutil.copy2(built, tree / "src" / "varnok_client" / built.relative_to(installed))
    only = ""
    if args.modules:
        only = "only_mutate=\n" + "".join(f"    src/varnok_client/{m}\n" for m in args.modules.split(","))
    (tree / "setup.cfg").write_text(CONFIG.format(only=only))
    # mutmut selects tests by node id, and ids made from script texts (with "::", brackets or
    # newlines) cannot be selected again; plain ids make every test selectable.
    with open(tree / "tests" / "conftest.py", "a") as conftest:
        conftest.write(PLAIN_IDS)
    # The project's own pytest options would turn mutmut's trampolines' warnings into errors.
    pyproject = tree / "pyproject.toml"
    pyproject.write_text(pyproject.read_text().replace('filterwarnings = ["error"]', "filterwarnings = []"))
    mutmut = Path(sys.executable).with_name("mutmut")
    log = open(scratch / "mutmut.log", "w")  # noqa: SIM115 - mutmut's progress output is long
    if args.recheck:
        earlier = json.loads(args.recheck.read_text())
        chosen = [name for name, status in earlier.items() if status in ("killed", "timeout", "segfault")]
        if args.modules:
            # Only the mutants of the modules mutated this time exist in this scratch tree.
            prefixes = tuple("varnok_client." + m.removesuffix(".py").replace("/", ".") + "." for m in
                             args.modules.split(","))
            earlier = {name: status for name, status in earlier.items() if name.startswith(prefixes)}
            chosen = [name for name in chosen if name in earlier]
        subprocess.run([str(mutmut), "run", "--max-children", args.max_children, "no_such_mutant"], cwd=tree,
                       stdout=log, stderr=subprocess.STDOUT, check=False)
        subprocess.run([str(mutmut), "run", "--max-children", args.max_children, *chosen], cwd=tree, stdout=log,
                       stderr=subprocess.STDOUT, check=False)
        now = outcomes_of(mutmut, tree)
        outcomes = {name: now.get(name, "missing") if name in set(chosen) else status
                    for name, status in earlier.items()}
    elif args.sample:
        # Generate every mutant and the test statistics, check none, then a seeded sample.
        subprocess.run([str(mutmut), "run", "--max-children", args.max_children, "no_such_mutant"], cwd=tree,
                       stdout=log, stderr=subprocess.STDOUT, check=False)
        names = sorted(outcomes_of(mutmut, tree))
        chosen = random.Random(args.seed).sample(names, min(args.sample, len(names)))
        subprocess.run([str(mutmut), "run", "--max-children", args.max_children, *chosen], cwd=tree, stdout=log,
                       stderr=subprocess.STDOUT, check=False)
        outcomes = {name: status for name, status in outcomes_of(mutmut, tree).items() if name in set(chosen)}
    else:
        subprocess.run([str(mutmut), "run", "--max-children", args.max_children], cwd=tree, stdout=log,
                       stderr=subprocess.STDOUT, check=False)
        outcomes = outcomes_of(mutmut, tree)
    counts: dict[str, int] = {}
    for status in outcomes.values():
        counts[status] = counts.get(status, 0) + 1
    killed = sum(counts.get(s, 0) for s in ("killed", "timeout", "segfault"))
    judged = killed + counts.get("survived", 0)
    print("mutants:", ", ".join(f"{status} {n}" for status, n in sorted(counts.items())))
    print(f"score: {killed} of {judged} killed ({100 * killed / max(judged, 1):.1f} %)")
    (scratch / "python_mutants.json").write_text(json.dumps(outcomes, indent=1, sort_keys=True) + "\n")
    print(f"every checked mutant and its outcome: {scratch / 'python_mutants.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
