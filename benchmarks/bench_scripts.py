"""Time how long the script evaluator takes to refuse hostile scripts, idle and under load.

    python benchmarks/bench_scripts.py [--repeat N]

Every script must be answered within two seconds whatever it holds: the
evaluator stops at one second of evaluation, and nothing it does between two
checks of its clock may take long.  Each script is evaluated N times with the
machine idle, then again while a second process keeps the other core busy;
the table gives the worst time of each and the reason of the refusal.
"""

from __future__ import annotations

import argparse
import multiprocessing
import time

from varnok_client.utils.script_evaluator import ScriptError, ScriptEvaluator

PROMISE_S = 2.0

SCRIPTS = {
    "shared rows, 10^6 x 10^6": "array([[0] * 10 ** 6] * 10 ** 6)",
    "shared rows, named": "row = [0] * 10 ** 6\narray([row] * 10 ** 6)",
    "two alternating rows": "row = [0] * 10\narray([row, [1]] * 2_400_000)",
    "distinct rows": "array([[i] for i in range(3_000_000)])",
    "shared rows compared": "a = [[0] * 10 ** 6] * 10 ** 6\na == a",
    "doubling nest": "a = [0, 0]\n" + "a = [a, a]\n" * 60 + "a == a",
    "string bomb": "'a' * 10 ** 9",
    "long sum": "sum(range(10 ** 12))",
}


def burn(stop: multiprocessing.synchronize.Event) -> None:
    while not stop.is_set():
        sum(range(10_000))


def worst_times(repeat: int) -> dict[str, tuple[float, str]]:
    results = {}
    for name, script in SCRIPTS.items():
        worst, reason = 0.0, "accepted"
        for _ in range(repeat):
            started = time.perf_counter()
            try:
                ScriptEvaluator().evaluate(script)
            except ScriptError as exc:
                reason = exc.reason
            worst = max(worst, time.perf_counter() - started)
        results[name] = (worst, reason)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    idle = worst_times(args.repeat)
    stop = multiprocessing.Event()
    load = multiprocessing.Process(target=burn, args=(stop,), daemon=True)
    load.start()
    try:
        loaded = worst_times(args.repeat)
    finally:
        stop.set()
        load.join()
    print(f"{'script':28} {'idle s':>8} {'loaded s':>9}  within {PROMISE_S:g} s  refusal")
    for name, (idle_s, reason) in idle.items():
        loaded_s = loaded[name][0]
        ok = "yes" if max(idle_s, loaded_s) < PROMISE_S else "NO"
        print(f"{name:28} {idle_s:8.3f} {loaded_s:9.3f}  {ok:>11}  {reason[:48]}")


if __name__ == "__main__":
    main()
