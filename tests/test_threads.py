"""Threads sharing sequences: several threads run the operators on the same few sequences while
the interpreter switches threads every microsecond, so switches land inside callbacks that read
those sequences and inside skip's count conversion. Every answer must equal the single-threaded
one, the only failures allowed are the two access conflicts, and the shared sequences and their
items come out as they went in."""
import collections
import random
import sys
import threading
import time
import traceback

import pytest

from lumo import LumoSeq
from support import refcounts_balanced

BASE = 10**15  # offsets from BASE are separate int objects, not immortal cached ones
CONFLICTS = ("Already borrowed", "Already mutably borrowed")
MIN_ROUNDS = 3      # every thread finishes this many passes over its operations, however slow
MAX_ROUNDS = 200    # and stops at this many even if the deadline is far
RUN_SECONDS = 1.2   # between the two, passes stop being started after this long
JOIN_SECONDS = 120  # a thread still alive after this is a hang, reported as a failure
NO_LIMIT = 2**64 - 1


class World:
    """The shared sequences, the lists they were built from, and every object they hold."""

    def __init__(self):
        self.int_items = [BASE + (i * 7) % 19 for i in range(30)]
        self.word_items = [f"w{(i * 5) % 13:02d}" for i in range(20)]
        self.ints = LumoSeq(self.int_items)
        self.words = LumoSeq(self.word_items)
        # Shared as well, with cursor 2, which must survive every skip the threads try on it. It
        # shares the storage of `owner`, which the threads skip and read beside it.
        self.owner = LumoSeq(self.int_items[:6])
        self.inner = self.owner.skip(2)
        self.containers = [
            [self.int_items[0], (self.word_items[1], [self.int_items[2]])],
            (self.inner, self.word_items[7]),
            [],
            LumoSeq([self.int_items[5], [self.word_items[3]]]),
        ]
        self.nest_items = [self.containers[0], self.words, self.containers[1], self.containers[2],
                           self.word_items[4], self.containers[3]]
        self.nested = LumoSeq(self.nest_items)
        self.shared = {"ints": self.ints, "words": self.words, "inner": self.inner, "nested": self.nested,
                       "owner": self.owner}
        self.sources = {"ints": self.int_items, "words": self.word_items,
                        "inner": self.int_items[:6], "nested": self.nest_items, "owner": self.int_items[:6]}
        self.cursors = {"ints": 0, "words": 0, "inner": 2, "nested": 0, "owner": 0}

    def tracked(self):
        """Every object whose refcount the threads must leave as they found it."""
        return [*self.int_items, *self.word_items, *self.containers, self.containers[0][1],
                self.containers[0][1][1], *self.shared.values()]


def cursor_of(seq):
    return seq.len() - seq.take(NO_LIMIT)[0].len()


def plain(value, world):
    """A comparable picture of a result: sequences become their items and cursor; the shared
    sequences stay themselves, by name, so reading a result never touches them."""
    if isinstance(value, LumoSeq):
        for name, seq in world.shared.items():
            if value is seq:
                return ("shared", name)
        return ("seq", [plain(v, world) for v in value.list()], cursor_of(value))
    if isinstance(value, tuple):
        return tuple(plain(v, world) for v in value)
    if isinstance(value, list):
        return [plain(v, world) for v in value]
    if isinstance(value, dict):
        return [(plain(k, world), plain(v, world)) for k, v in value.items()]
    return value


class SlowCount:
    """A skip count whose conversion runs Python code that reads another shared sequence, so
    skip holds its receiver exclusively while the interpreter may switch threads."""

    def __init__(self, probe):
        self.probe = probe

    def __index__(self):
        n = 0
        for _ in range(150):
            n = self.probe()
        return n


def refused_skip(seq):
    """skip from inside a callback of `seq` itself: always refused, whoever else is running."""
    try:
        seq.skip(1)
    except RuntimeError as exc:
        return str(exc)
    return "skip was allowed"


def operations(w):
    """Name -> call. Each call is deterministic; its callbacks read the shared sequences."""
    ints, words, nested, inner, owner = w.ints, w.words, w.nested, w.inner, w.owner

    def walk():
        head, rest = ints.take(5)
        rest = rest.skip(3)
        taken, rest = rest.take_while(lambda x: x - BASE < words.len() - 2)
        back = rest.restart().skip_while(lambda x: x - BASE < nested.len())
        return head, taken, rest, back

    def int_or_word_key(v):
        return (v - BASE) % 13 if isinstance(v, int) else int(v[1:]) % (ints.len() // 2)

    return {
        "select": lambda: ints.select(lambda x: x - BASE + words.len()),
        "where": lambda: ints.where(lambda x: (x - BASE) % 3 == words.len() % 3),
        "of_type": lambda: nested.enumerate(3).select(lambda p: (p[0] + inner.len(), p[1])).where(
            lambda p: isinstance(p[1], LumoSeq)),
        "order_by": lambda: words.order_by(lambda s: (s[::-1], ints.first() - BASE)),
        "order_by native": lambda: ints.order_by(lambda x: -((x - BASE) * nested.len()) % 17),
        "group_by": lambda: sorted(ints.group_by(lambda x: (x - BASE) % (words.len() // 5)).list(),
                                   key=lambda group: group[0]),
        "join": lambda: ints.join(words, lambda x: (x - BASE) % 5, lambda s: int(s[1:]) % (ints.len() // 6)),
        "join itself": lambda: words.join(words, lambda s: s[-1], lambda s: s[-1] * (inner.len() // 6)),
        "zip": lambda: ints.zip(words, until_exhausted=True),
        "zips": lambda: words.zips([ints, nested, (inner,)]),
        "distinct": lambda: ints.distinct(),
        "union": lambda: words.union(ints.where(lambda x: x - BASE < words.len() // 4)),
        "intersect differ": lambda: (ints.intersect(inner), ints.differ(ints.where(lambda x: x % 2 == 0))),
        "distinct_by": lambda: words.distinct_by(lambda s: s[-1] * (ints.len() // 10)),
        "intersect_by": lambda: ints.intersect_by(words, int_or_word_key),
        "except_by": lambda: words.except_by(ints, int_or_word_key),
        "union_by": lambda: words.union_by(nested.flatten(), lambda v: f"{type(v).__name__}{words.len()}"),
        "sum": lambda: ints.where(lambda x: x % 2 == words.len() % 2).sum(),
        "average min max": lambda: (inner.average(), ints.select(lambda x: x - BASE - nested.len()).min(),
                                    ints.max()),
        "aggregate": lambda: ints.aggregate(lambda acc, x: acc + (x - BASE) * words.len(), 0),
        "aggregate words": lambda: words.aggregate(lambda acc, s: acc + s[-1] if len(acc) < ints.len() else acc),
        "flatten": lambda: nested.flatten(),
        "chunk": lambda: words.chunk(7).select(lambda c: c.concat(inner)),
        "cursor walk": walk,
        "take_while shared": lambda: ints.take_while(lambda x: x - BASE < ints.len() - 12),
        "to_dict": lambda: words.to_dict(lambda s: s, lambda s: ints.at(int(s[1:]) - ints.len())),
        "min_by": lambda: words.min_by(lambda s: (int(s[1:]) * ints.len()) % 7),
        "max_by": lambda: ints.max_by(lambda x: (x * words.len()) % 11),
        "reads the receiver": lambda: ints.select(lambda x: ints.where(lambda y: y == x).len()),
        "conversions": lambda: (nested.tuple(), words.set(), list(ints.iter()), ints.at(-1), words.last(),
                                inner.first(), nested.empty()),
        "rev concat": lambda: ints.rev().concat(words).concat(nested),
        "additions": lambda: (inner.append(words.len()), inner.prepend(ints.first())),
        "skip inside own callback": lambda: words.select(lambda s: refused_skip(words)),
        "skip inside callback": lambda: ints.select(lambda x: words.skip(2).len()),
        "skip ints": lambda: ints.skip(4),
        "skip words": lambda: words.skip(SlowCount(lambda: ints.len() // 10)),
        "skip inner": lambda: inner.skip(SlowCount(lambda: words.len() // 10)),
        "skip nested": lambda: nested.skip(SlowCount(lambda: inner.len() // 3)),
        "skip owner": lambda: owner.skip(SlowCount(lambda: inner.skip(1).len() // 3)),
        "skip owner inside sharer's callback": lambda: inner.select(lambda x: owner.skip(x - BASE).take(1)),
        "walk sharer of sharer": lambda: inner.take(1)[1].skip(1).restart().take(3),
    }


class Log:
    def __init__(self):
        self.succeeded = 0
        self.conflicts = collections.Counter()
        self.failures = []  # texts only: a kept result or traceback would hold the items


def worker(index, ops, expected, world, start, deadline, log):
    try:
        names = list(ops)
        rng = random.Random(index)
        start.wait(timeout=JOIN_SECONDS)
        rounds = 0
        while rounds < MAX_ROUNDS and (rounds < MIN_ROUNDS or time.monotonic() < deadline):
            rng.shuffle(names)
            for name in names:
                try:
                    got = plain(ops[name](), world)
                except RuntimeError as exc:
                    if type(exc) is RuntimeError and str(exc) in CONFLICTS:
                        log.conflicts[str(exc)] += 1
                    else:
                        log.failures.append(f"{name}:\n{traceback.format_exc()}")
                    continue
                except BaseException:  # noqa: BLE001 - anything else is a failure to report
                    log.failures.append(f"{name}:\n{traceback.format_exc()}")
                    continue
                if got == expected[name]:
                    log.succeeded += 1
                else:
                    log.failures.append(f"{name}: got {got!r}, single-threaded {expected[name]!r}"[:2000])
                del got
            rounds += 1
    except BaseException:  # noqa: BLE001 - reported by the test, not lost in the thread
        log.failures.append(f"worker {index}:\n{traceback.format_exc()}")


def snapshot(world):
    """Item identities and cursor of every shared sequence."""
    return {name: ([id(x) for x in seq.list()], cursor_of(seq)) for name, seq in world.shared.items()}


@pytest.mark.parametrize("threads", [4, 8])
def test_threads_querying_shared_sequences_agree_with_one_thread(threads):
    world = World()
    ops = operations(world)
    expected = {name: plain(call(), world) for name, call in ops.items()}
    assert expected["skip inside own callback"][1] == ["Already borrowed"] * world.words.len()
    before = snapshot(world)
    assert before == {name: ([id(x) for x in items], world.cursors[name])
                      for name, items in world.sources.items()}
    logs = [Log() for _ in range(threads)]

    interval = sys.getswitchinterval()
    with refcounts_balanced(*world.tracked()):
        start = threading.Barrier(threads)
        workers = [threading.Thread(target=worker, args=(i, ops, expected, world, start,
                                                         time.monotonic() + RUN_SECONDS, logs[i]))
                   for i in range(threads)]
        sys.setswitchinterval(1e-6)
        try:
            for t in workers:
                t.start()
            for t in workers:
                t.join(JOIN_SECONDS)
        finally:
            sys.setswitchinterval(interval)
        hung = [t.name for t in workers if t.is_alive()]
        del workers, start

    assert not hung, f"threads still running: {hung}"
    failures = [text for log in logs for text in log.failures]
    assert not failures, f"{len(failures)} failures, the first:\n" + "\n".join(failures[:3])
    # How often the threads collide depends on the scheduler (a loaded machine switches far less
    # often), so the counts are only reported; the parked-thread test below makes collisions certain.
    assert all(log.succeeded > 0 for log in logs), [(log.succeeded, dict(log.conflicts)) for log in logs]
    assert snapshot(world) == before
    assert sys.getswitchinterval() == interval


class Parked:
    """A callback that, on its first call, says it is inside the call and waits to be let go;
    every call returns its argument."""

    def __init__(self):
        self.inside = threading.Event()
        self.release = threading.Event()

    def __call__(self, value):
        if not self.inside.is_set():
            self.inside.set()
            if not self.release.wait(JOIN_SECONDS):
                raise AssertionError("the parked call was never released")
        return value


class ParkedCount:
    """A skip count whose conversion parks, so skip holds its receiver exclusively meanwhile."""

    def __init__(self, park, n):
        self.park = park
        self.n = n

    def __index__(self):
        return self.park(self.n)


# name -> (access the call holds while parked, call, its answer from the items it was built from).
# Answers are ids and counts, never the items, so that keeping them cannot upset refcounts.
HOLDERS = {
    "select callback": ("shared", lambda seq, park: [id(x) for x in seq.select(park).list()],
                        lambda items: [id(x) for x in items]),
    "order_by key": ("shared", lambda seq, park: [id(x) for x in seq.order_by(park).list()],
                     lambda items: [id(x) for x in sorted(items)]),
    "callback of another sequence": ("shared",
                                     lambda seq, park: LumoSeq([0]).select(lambda _: seq.select(park).len()).list(),
                                     lambda items: [len(items)]),
    "skip count": ("exclusive", lambda seq, park: cursor_of(seq.skip(ParkedCount(park, 2))), lambda items: 2),
}

# name -> (call from another thread, its refusal while shared access is held, while exclusive).
INTRUDERS = {
    "skip": (lambda seq: cursor_of(seq.skip(1)), "Already borrowed", "Already borrowed"),
    "len": (lambda seq: seq.len(), None, "Already mutably borrowed"),
    "where": (lambda seq: seq.where(lambda x: x > BASE).len(), None, "Already mutably borrowed"),
    "argument of concat": (lambda seq: LumoSeq([]).concat(seq).len(), None, "Already mutably borrowed"),
    "nested in flatten": (lambda seq: LumoSeq([[seq]]).flatten().len(), None, "Already mutably borrowed"),
}


def outcome(call, *args):
    """("ok", answer) or (exception type name, message); no exception object is kept."""
    try:
        return ("ok", call(*args))
    except BaseException as exc:  # noqa: BLE001 - the caller compares the outcome
        return (type(exc).__name__, str(exc))


def hold(holder, seq, park, results):
    results.append(outcome(holder, seq, park))
    if results[-1][0] != "ok":
        park.inside.set()  # failed before parking: do not keep the test waiting


@pytest.mark.parametrize("intruder", INTRUDERS)
@pytest.mark.parametrize("holder", HOLDERS)
def test_a_thread_parked_inside_a_call_holds_its_access_against_other_threads(holder, intruder):
    kind, hold_call, answer = HOLDERS[holder]
    intrude, refused_while_shared, refused_while_exclusive = INTRUDERS[intruder]
    refusal = refused_while_shared if kind == "shared" else refused_while_exclusive
    items = [BASE + (i * 3) % 7 for i in range(8)]
    seq = LumoSeq(items)
    alone = outcome(intrude, seq)
    assert alone[0] == "ok"
    park = Parked()
    results = []
    with refcounts_balanced(*items, seq):
        holding = threading.Thread(target=hold, args=(hold_call, seq, park, results))
        holding.start()
        try:
            assert park.inside.wait(JOIN_SECONDS)
            assert not results, results  # the holder is still inside its call
            during = outcome(intrude, seq)
        finally:
            park.release.set()
            holding.join(JOIN_SECONDS)
        assert not holding.is_alive()
        del holding
    assert during == (alone if refusal is None else ("RuntimeError", refusal))
    assert results == [("ok", answer(items))]
    # Released on the way out: the same intrusion works again.
    assert outcome(intrude, seq) == alone
    assert seq.list() == items and cursor_of(seq) == 0
