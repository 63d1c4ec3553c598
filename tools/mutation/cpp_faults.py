"""Planted faults in the C++ engine, applied one at a time, rebuilt and run against the suite.

    python tools/mutation/cpp_faults.py [--only N,M] [--jobs 1] [--report FILE]

Each fault of ``cpp_faults.json`` is a small edit of one line of ``ext/``: the
first exact occurrence of ``find`` in ``file`` becomes ``replace``.  For each,
a scratch copy of the tree is edited, the extension rebuilt incrementally with
CMake and the test suite run against it (``-x``: the first failing test
catches the fault).  A fault whose text is no longer in the source is reported
as stale, and one that does not compile as invalid; neither is counted.  Not part of CI: it takes about an hour.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAULTS = Path(__file__).with_name("cpp_faults.json")
TEST_TIMEOUT_S = 900


def run(command: list[str], cwd: Path, env: dict[str, str] | None = None, timeout: float | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def build_extension(scratch: Path, build: Path) -> Path:
    if not (build / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        done = run(["cmake", "-S", str(scratch), "-B", str(build), *generator, "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DVARNOK_WERROR=OFF"], scratch)
        if done.returncode:
            raise RuntimeError(f"cmake configure failed:\n{done.stdout}\n{done.stderr}")
    done = run(["cmake", "--build", str(build)], scratch)
    if done.returncode:
        raise RuntimeError(done.stdout[-2000:] + done.stderr[-2000:])
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return next(build.rglob(f"experiment{suffix}"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated fault numbers (1-based)")
    parser.add_argument("--report", type=Path, help="write the outcome of every fault as JSON here")
    parser.add_argument("--pytest-args", default="", help="extra pytest arguments, e.g. a -k selection")
    args = parser.parse_args()
    faults = json.loads(FAULTS.read_text())
    chosen = range(1, len(faults) + 1)
    if args.only:
        chosen = [int(n) for n in args.only.split(",")]
    outcomes = []
    with tempfile.TemporaryDirectory(prefix="varnok-cpp-mutants-") as name:
        scratch = Path(name) / "tree"
        build = Path(name) / "build"
        shutil.copytree(ROOT, scratch, ignore=shutil.ignore_patterns(".venv*", "build", ".git", "__pycache__",
                                                                      "*.so", ".hypothesis", "mutants"))
        target = scratch / "src" / "varnok_client" / "experiment"
        env = {**os.environ, "PYTHONPATH": str(scratch / "src"), "PYTHONDEVMODE": "1"}
        # The package's other compiled modules (not planted with faults) come from the installed build.
        import varnok_client

        installed = Path(varnok_client.__file__).parent
        for built in installed.rglob(f"*{sysconfig.get_config_var('EXT_SUFFIX')}"):
            shutil.copy2(built, scratch / "src" / "varnok_client" / built.relative_to(installed))
        # The unmutated build must pass, or nothing below means anything.
        shutil.copy2(build_extension(scratch, build), target)
        for number in chosen:
            fault = faults[number - 1]
            source = scratch / fault["file"]
            original = source.read_text()
            if original.count(fault["find"]) < 1:
                outcomes.append({**fault, "number": number, "outcome": "stale"})
                print(f"{number:3d} stale     {fault['what']}", flush=True)
                continue
            source.write_text(original.replace(fault["find"], fault["replace"], 1))
            started = time.monotonic()
            try:
                try:
                    shutil.copy2(build_extension(scratch, build), target)
                except RuntimeError:
                    outcome, detail = "invalid", "does not compile"
                else:
                    try:
                        done = run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                    *args.pytest_args.split()], scratch, env, TEST_TIMEOUT_S)
                        failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
                        outcome = "caught" if done.returncode else "survived"
                        detail = failed[0] if failed else (f"exit {done.returncode}" if done.returncode else "")
                    except subprocess.TimeoutExpired:
                        outcome, detail = "caught", "tests timed out"
            finally:
                source.write_text(original)
            outcomes.append({**fault, "number": number, "outcome": outcome, "detail": detail})
            print(f"{number:3d} {outcome:9s} {fault['what']}  ({time.monotonic() - started:.0f} s) {detail[:90]}",
                  flush=True)
        shutil.copy2(build_extension(scratch, build), target)
    counted = [o for o in outcomes if o["outcome"] not in ("stale", "invalid")]
    caught = sum(o["outcome"] == "caught" for o in counted)
    print(f"score: {caught} of {len(counted)} planted faults caught ({100 * caught / max(len(counted), 1):.1f} %)")
    survivors = [o for o in counted if o["outcome"] == "survived"]
    for o in survivors:
        print(f"  survived {o['number']}: {o['what']}")
    if args.report:
        args.report.write_text(json.dumps(outcomes, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
