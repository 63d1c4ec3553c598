"""Runs every benchmark of the project, one table each.

    .venv/bin/python benchmarks/run_all.py
"""

from __future__ import annotations

import runpy
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> None:
    sys.path.insert(0, str(HERE))
    for path in sorted(HERE.glob("bench_*.py")):
        print(f"== {path.stem}")
        runpy.run_path(str(path), run_name="__main__")
        print()


if __name__ == "__main__":
    main()
