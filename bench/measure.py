"""Timing one cell at one size: every contestant's answer checked, then interleaved timed rounds.

Each contestant is called once first; that call warms it up, gives its answer for the check against
the idiom's, and tells how many calls make a round long enough to time. Then all contestants run
in turn for several rounds, so that a slow moment of a shared machine falls on all of them alike,
and the median round counts. A contestant whose time, extrapolated from the smaller sizes, passes
the budget (up to four times more where the idiom itself takes that long) is not called at all: the
estimate is reported instead of waiting for it.

Times are the process's CPU time. The work is single-threaded and never waits, so on a quiet
machine that is its wall time; on a busy one, the time other processes hold the core is left out
instead of landing on whichever contestant happened to be running.
"""
import gc
import math
import time
from collections import Counter
from dataclasses import dataclass
from functools import partial

from cells import materialize

clock = time.process_time


@dataclass
class Config:
    rounds: int          # timed rounds per contestant (fewer for calls near the budget)
    budget: float        # seconds per call; a contestant estimated above it is skipped
    min_round: float     # seconds a round lasts at least: fast calls are repeated to fill it
    first_growth: float = 1.0  # growth of the ratio to the idiom per decade, assumed from one size
    collector: bool = False    # leave the cyclic collector on while timing (off: as timeit does)


@dataclass
class Result:
    status: str                  # "ok", "other order", "wrong", "refused", "error", "skipped"
    seconds: float | None = None  # median seconds per call; for "wrong", the one call made
    estimate: float | None = None  # "skipped": the extrapolated seconds per call
    rounds: int = 0
    number: int = 0              # calls per round
    note: str = ""


def estimate(history, n, idiom_seconds, first_growth=1.0):
    """Seconds per call at n: the idiom's time at n times the contestant's ratio to the idiom,
    carried on from the two largest sizes before n at the rate it changed between them.

    Going by the ratio and not the contestant's own growth leaves out what the size does to
    every spelling alike (the data outgrowing the caches), which is no sign of an operator about
    to take too long. The ratio is never assumed to fall. `history` holds (size, seconds, idiom's
    seconds), estimates included, so an estimate carries on from the last one. From one size
    alone the rate is unknown: `first_growth` per decade stands in for it (10 assumes the worst,
    a quadratic operator against a linear idiom).
    """
    points = [(m, t / i) for m, t, i in history if t and i]
    if not points or not idiom_seconds:
        return None
    m1, r1 = points[-1]
    exponent = math.log10(first_growth)       # the ratio taken to grow as n ** exponent
    if len(points) >= 2:
        m0, r0 = points[-2]
        exponent = max(0.0, math.log(r1 / r0) / math.log(m1 / m0))
    return idiom_seconds * r1 * (n / m1) ** exponent


def run_cell(cell, n, d, config, history):
    """Returns {contestant name: Result} for `cell` at size n; `history` carries over sizes."""
    gc.collect()
    enabled = gc.isenabled()
    if not config.collector:
        gc.disable()        # as timeit does: a collection would fall on whoever is running then
    try:
        return _run_cell(cell, n, d, config, history)
    finally:
        if enabled:
            gc.enable()


def _run_cell(cell, n, d, config, history):
    results, timed, expected = {}, [], None
    idiom_first, limit = None, config.budget
    for way in cell.ways:
        past = history.setdefault(way.name, [])
        guess = estimate(past, n, idiom_first, config.first_growth)
        if way.kind != "idiom" and guess is not None and guess > limit:
            results[way.name] = Result("skipped", estimate=guess)
            past.append((n, guess, idiom_first))
            continue
        call = partial(way.run, d)
        try:
            start = clock()
            answer = call()
            first = clock() - start
            answer = read(answer, way, cell, d)
        except Exception as e:                   # a peer's refusal or failure, not ours
            if way.kind == "idiom":
                raise
            results[way.name] = refusal(e)
            continue
        if way.kind == "idiom":
            expected, status, note, idiom_first = answer, "ok", "", first
            # Where the idiom itself takes seconds, a contestant near its time is worth waiting for.
            limit = min(max(config.budget, 5 * first), 4 * config.budget)
        else:
            status, note = check(expected, answer, cell.compare)
        del answer
        if status == "wrong":
            results[way.name] = Result("wrong", seconds=first, rounds=1, number=1, note=note)
            past.append((n, first, idiom_first))
            continue
        timed.append(_Timing(way.name, call, first, status, note, config))
    del expected
    _interleave(timed)
    for t in timed:
        results[t.name] = Result(t.status, median(t.samples), rounds=len(t.samples), number=t.number, note=t.note)
    idiom = results["idiom"].seconds
    for t in timed:
        history[t.name].append((n, results[t.name].seconds, idiom))
    return {way.name: results[way.name] for way in cell.ways}


class _Timing:
    """The rounds planned for one contestant after its first call took `first` seconds."""

    def __init__(self, name, call, first, status, note, config):
        self.name, self.call, self.status, self.note = name, call, status, note
        self.number = max(1, min(100_000, math.ceil(config.min_round / max(first, 1e-9))))
        if first >= config.budget:
            # Over the budget: its one call is its time; no more waiting on it.
            self.rounds, self.samples = 1, [first]
        elif first >= config.budget / 4:
            # A call this long is its own warm-up and varies little: the first counts, one follows.
            self.rounds, self.samples = min(config.rounds, 2), [first]
        else:
            self.rounds = config.rounds if first < config.budget / 20 else min(config.rounds, 3)
            self.samples = []


def _interleave(timings):
    """Runs the rounds: each contestant in turn per round, the starting one rotating."""
    most = max((t.rounds for t in timings), default=0)
    for r in range(most):
        for i in range(len(timings)):
            t = timings[(i + r) % len(timings)]
            if len(t.samples) >= t.rounds:
                continue
            call, number = t.call, t.number
            start = clock()
            for _ in range(number):
                call()
            t.samples.append((clock() - start) / number)


def median(values):
    values = sorted(values)
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def read(answer, way, cell, d):
    """The comparable form of a contestant's answer (outside the clock)."""
    if way.norm:
        answer = way.norm(answer, d)
    return cell.norm(answer, d) if cell.norm else materialize(answer)


def refusal(e):
    text = f"{type(e).__name__}: {e}"
    if isinstance(e, TypeError) and "unhashable" in str(e):
        return Result("refused", note="refuses unhashable items (" + text[:60] + ")")
    return Result("error", note=text[:100])


def check(expected, got, compare):
    """("ok" | "other order" | "wrong", note) for `got` against the idiom's answer."""
    if compare == "approx":
        if isinstance(got, (int, float)) and math.isclose(got, expected, rel_tol=1e-9, abs_tol=1e-9):
            return "ok", ""
        return "wrong", f"{_short(got)} where the idiom gives {_short(expected)}"
    if got == expected:
        return "ok", ""
    if isinstance(got, list) and isinstance(expected, list) and len(got) == len(expected) \
            and Counter(map(_hashable, got)) == Counter(map(_hashable, expected)):
        return "other order", "same items in another order"
    return "wrong", _difference(expected, got)


def _hashable(x):
    try:
        hash(x)
        return x
    except TypeError:
        return repr(x)


def _difference(expected, got):
    if isinstance(got, list) and isinstance(expected, list):
        at = next((i for i, (x, y) in enumerate(zip(got, expected)) if x != y), min(len(got), len(expected)))
        shown = f"; at {at}: {_short(got[at])} where the idiom has {_short(expected[at])}" \
            if at < min(len(got), len(expected)) else ""
        return f"{len(got)} items where the idiom has {len(expected)}{shown}"
    if isinstance(got, dict) and isinstance(expected, dict):
        wrong = [k for k in expected if got.get(k) != expected[k]] + [k for k in got if k not in expected]
        return f"{len(got)} groups where the idiom has {len(expected)}; {len(wrong)} differ, e.g. key {_short(wrong[0])}"
    return f"{_short(got)} where the idiom gives {_short(expected)}"


def _short(x):
    text = repr(x)
    return text if len(text) <= 40 else text[:37] + "..."
