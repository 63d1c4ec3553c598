"""Eight processes sharing one space: throughput, and that no answer was wrong.

Each process opens the same store and, for a bounded time, loops: it records a new version of one of
four shared keys (stamped by the store), then reads three of the keys at a timestamp between now and
50 ms ago, as a replay pinned to a recent moment would.  Afterwards the final history of every key is
checked: every write a process saw acknowledged is in it exactly once (no lost update), and every read
at a timestamp answered the version that history says was in force then.  Any violation stops the
benchmark with an error.

Rows: an SQLite file (write-ahead log, every commit synced), and PostgreSQL when
``VARNOK_TEST_POSTGRES_URL`` names a reachable server (each round in a fresh schema; otherwise the row
says skipped).  ``writes/s`` and ``reads/s`` are all processes together, best of the rounds (wall
clock over the bounded time: the machine is shared, so the best round is the least disturbed);
``cpu us/op`` is the client processes' CPU time per operation (a server's own CPU is not counted).

    python benchmarks/bench_space_load.py
"""

from __future__ import annotations

import multiprocessing
import os
import random
import secrets
import sys
import tempfile
import time
import traceback
from pathlib import Path

from varnok_client.group import Space, now_ms

PROCESSES = 8
KEYS = ["q01.freq", "q01.x_amp", "q02.freq", "q02.x_amp"]
SECONDS = 2.0
ROUNDS = 3
READS_PER_WRITE = 3


def _worker(url: str, worker: int, barrier, results) -> None:
    try:
        rng = random.Random(worker)
        writes, reads = [], []
        with Space(url) as space:
            barrier.wait(timeout=120)
            cpu0, deadline = os.times(), time.monotonic() + SECONDS
            while time.monotonic() < deadline:
                key, value = rng.choice(KEYS), [worker, len(writes)]
                writes.append((key, space.set(key, value), value))
                for _ in range(READS_PER_WRITE):
                    key, pinned = rng.choice(KEYS), now_ms() - rng.randrange(50)
                    try:
                        reads.append((key, pinned, space.get(key, pinned)))
                    except KeyError:
                        reads.append((key, pinned, None))
            cpu1 = os.times()
        results.put((writes, reads, (cpu1.user - cpu0.user) + (cpu1.system - cpu0.system)))
    except BaseException:
        results.put(traceback.format_exc())


def _check(url: str, outcomes: list) -> None:
    with Space(url) as space:
        history = {key: space.history(key) for key in KEYS}
    for key in KEYS:
        acknowledged = sorted((ts, value) for writes, _, _ in outcomes for k, ts, value in writes if k == key)
        if sorted(history[key]) != acknowledged:
            raise SystemExit(f"{url}: history of {key} differs from the acknowledged writes (lost or extra update)")
    for _, reads, _ in outcomes:
        for key, pinned, answer in reads:
            in_force = [value for ts, value in history[key] if ts <= pinned]
            if answer != (in_force[-1] if in_force else None):
                raise SystemExit(f"{url}: read of {key} at {pinned} answered {answer}, not what was in force")


def _round(url: str) -> tuple[float, float, float]:
    import bench_space_load  # by name, so that the spawned processes find the worker

    Space(url).close()  # the tables exist before the processes race to them
    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(PROCESSES), context.Queue()
    processes = [context.Process(target=bench_space_load._worker, args=(url, w, barrier, results))
                 for w in range(PROCESSES)]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=300) for _ in processes]
    for process in processes:
        process.join(timeout=60)
    failures = [o for o in outcomes if isinstance(o, str)]
    if failures:
        raise SystemExit(f"a worker failed:\n{failures[0]}")
    _check(url, outcomes)
    writes = sum(len(w) for w, _, _ in outcomes)
    reads = sum(len(r) for _, r, _ in outcomes)
    cpu = sum(c for _, _, c in outcomes)
    return writes / SECONDS, reads / SECONDS, cpu / (writes + reads) * 1e6


def _sqlite_urls():
    with tempfile.TemporaryDirectory() as directory:
        for n in range(ROUNDS):
            yield str(Path(directory) / f"space{n}.sqlite")


def _postgres_urls(base: str):
    import psycopg

    for _ in range(ROUNDS):
        schema = f"vk_bench_{secrets.token_hex(4)}"
        with psycopg.connect(base, autocommit=True) as admin:
            admin.execute(f"CREATE SCHEMA {schema}")
        try:
            yield base + ("&" if "?" in base else "?") + f"options=-c%20search_path%3D{schema}"
        finally:
            with psycopg.connect(base, autocommit=True) as admin:
                admin.execute(f"DROP SCHEMA {schema} CASCADE")


def _postgres_problem(base: str | None) -> str | None:
    if not base:
        return "VARNOK_TEST_POSTGRES_URL is not set"
    import psycopg

    try:
        psycopg.connect(base, connect_timeout=3).close()
    except psycopg.Error as exc:
        return "server not reachable: " + " ".join(str(exc).split())
    return None


def main() -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    print(f"{PROCESSES} processes, {SECONDS:g} s per round, best of {ROUNDS} rounds; "
          f"each loop: 1 write, {READS_PER_WRITE} reads at a timestamp")
    print(f"{'store':<12} {'writes/s':>10} {'reads/s':>10} {'cpu us/op':>10}  checked")
    base = os.environ.get("VARNOK_TEST_POSTGRES_URL")
    problem = _postgres_problem(base)
    stores = [("sqlite file", _sqlite_urls)]
    stores.append(("postgresql", (lambda: _postgres_urls(base)) if problem is None else problem))
    for name, urls in stores:
        if isinstance(urls, str):
            print(f"{name:<12} skipped ({urls})")
            continue
        rounds = [_round(url) for url in urls()]
        best_writes, best_reads = max(r[0] for r in rounds), max(r[1] for r in rounds)
        cpu = min(r[2] for r in rounds)
        print(f"{name:<12} {best_writes:>10.0f} {best_reads:>10.0f} {cpu:>10.0f}  no lost update, reads in force")


if __name__ == "__main__":
    main()
