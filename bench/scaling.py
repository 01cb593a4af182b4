"""Scale-out: the bytes a pickled sequence takes next to its pickled list, and what a pool of two
worker processes gains over one process for a CPU-heavy callback, run over lumo chunks as
docs/scaling.md shows it.

The pool is timed on the wall clock (perf_counter), not on the process's CPU time as the cells
are: the workers' time is the point. So the speed-up is only as good as the cores that were free
while it ran; the load average before the first round is reported beside it. The time of pickling
itself is a cell of its own ("pickle.dumps + loads"), timed like every other.
"""
import gc
import json
import os
import pickle
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

from lumo import LumoSeq

POOL_ITEMS = 20_000
WORKERS = 2
TASKS_PER_WORKER = 4       # a few chunks per worker, so that one slow chunk does not idle the other


def heavy(n):
    """The CPU-heavy callback: a few hundred steps of integer arithmetic in pure Python (some
    30 µs per item here; the run reports the time it measured)."""
    acc = n
    for i in range(400):
        acc = (acc * 31 + i) % 1_000_003
    return acc


def work(chunk):
    """One task: in a worker process, on a chunk that came by pickle, with a result that goes back."""
    return chunk.select(heavy)


def pickled_bytes(data):
    """{kind: {"list": bytes, "LumoSeq": bytes}}: the same items pickled as a list and as a
    sequence with the highest protocol."""
    out = {}
    for kind in ("ints", "records"):
        d = data[kind]
        out[kind] = {"list": len(pickle.dumps(d.a, pickle.HIGHEST_PROTOCOL)),
                     "LumoSeq": len(pickle.dumps(d.s, pickle.HIGHEST_PROTOCOL))}
    return out


def pool_speedup(items, rounds=5):
    """Times `work` over `items` ints in this process and over chunks in a fresh pool of WORKERS
    processes (its start and shutdown included, as a script pays them), in interleaved rounds;
    returns the medians, their ratio and what they were measured under."""
    s = LumoSeq(list(range(items)))
    size = -(-items // (WORKERS * TASKS_PER_WORKER))
    chunks = s.chunk(size).list()

    def pooled():
        with ProcessPoolExecutor(max_workers=WORKERS) as pool:
            parts = list(pool.map(work, chunks))
        return LumoSeq(parts).aggregate(LumoSeq.concat)

    if pooled().list() != work(s).list():     # the answer first; the calls also warm up
        raise AssertionError("the pool's answer differs from one process's")
    load = os.getloadavg()[0]
    one, pool = [], []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for run, samples in ((lambda: work(s), one), (pooled, pool)):
                start = time.perf_counter()
                run()
                samples.append(time.perf_counter() - start)
    finally:
        if enabled:
            gc.enable()
    one_s, pool_s = sorted(one)[rounds // 2], sorted(pool)[rounds // 2]
    return {"items": items, "workers": WORKERS, "tasks": len(chunks), "rounds": rounds,
            "callback_us": one_s / items * 1e6, "one_process_s": one_s, "pool_s": pool_s,
            "speedup": one_s / pool_s, "load_average": load, "cpus": os.cpu_count()}


def pool_speedup_in_fresh_process(items, rounds=5):
    """pool_speedup run by a fresh interpreter. Starting a pool forks the process that starts it
    (for the workers, or for the server that makes them), and a fork costs what that process has
    grown to: the benchmark's own, after the cells and the flights, is far larger than a script's."""
    done = subprocess.run([sys.executable, os.path.abspath(__file__), str(items), str(rounds)],
                          check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


if __name__ == "__main__":
    print(json.dumps(pool_speedup(int(sys.argv[1]), int(sys.argv[2]))))
