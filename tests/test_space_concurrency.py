"""Processes writing and reading one stored space at once: no update lost or torn, and every read at a
timestamp answers what the final history says was in force then."""

import multiprocessing
import traceback


from varnok_client.group import Space, now_ms

WORKERS = 4
ROUNDS = 25


def _work(url, worker, barrier, results):
    try:
        with Space(url) as space:
            barrier.wait(timeout=60)
            writes, reads, torn = [], [], []
            for i in range(ROUNDS):
                value = [worker, i]
                # One update writes both keys: any view that splits them is a torn update.
                writes.append((space.update({"pair.a": value, "pair.b": value}), value))
                pinned = now_ms() - 3 * (i % 3)  # now, and a little in the past
                try:
                    reads.append((pinned, space.get("pair.a", pinned)))
                except KeyError:
                    reads.append((pinned, None))
                for view in (space.snapshot(), space.snapshot(pinned)):
                    if view.get("pair.a") != view.get("pair.b"):
                        torn.append(view)
        results.put((writes, reads, torn))
    except BaseException:
        results.put(traceback.format_exc())


def test_concurrent_writers_lose_nothing_tear_nothing_and_pinned_reads_are_final(store_url):
    Space(store_url).close()  # created once, not raced for by the workers
    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(WORKERS), context.Queue()
    workers = [context.Process(target=_work, args=(store_url, w, barrier, results)) for w in range(WORKERS)]
    for process in workers:
        process.start()
    outcomes = [results.get(timeout=180) for _ in workers]
    for process in workers:
        process.join(timeout=60)
    failures = [o for o in outcomes if isinstance(o, str)]
    assert not failures, failures[0]
    with Space(store_url) as space:
        history = space.history("pair.a")
        assert space.history("pair.b") == history
    acknowledged = [(ts, value) for writes, _, _ in outcomes for ts, value in writes]
    assert sorted(history) == sorted(acknowledged) and len(history) == WORKERS * ROUNDS
    for _, reads, torn in outcomes:
        assert torn == []
        for pinned, answer in reads:
            in_force = [value for ts, value in history if ts <= pinned]
            assert answer == (in_force[-1] if in_force else None), (pinned, answer)
