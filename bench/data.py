"""The inputs of the benchmark: data a user has, made the same way on every run (fixed seeds).

Every kind is built for one size at a time, so that no more than one size's data is alive at once
(the 1e6 records alone take a few hundred megabytes). Repeats are equal but distinct objects, as
when records are read from a file, so deduplication compares values and not identities.
"""
import random
import string
from dataclasses import dataclass
from types import SimpleNamespace

from lumo import LumoSeq

# About 60% of each list's items are distinct; `b` shares half of its value pool with `a`.
DISTINCT = 0.6
LETTERS = string.ascii_lowercase
# Distinct values of a record's "kind": a category to group by, between the few keys of a flag and
# the many of an id.
KINDS = 50


def _pool(n, make, seed):
    """Returns 0.9 n distinct values: `a` draws from the first two thirds, `b` from the last."""
    rng = random.Random(seed)
    size = max(2, int(0.9 * n))
    seen, values = set(), []
    while len(values) < size:
        v = make(rng)
        if v not in seen:
            seen.add(v)
            values.append(v)
    return values


def _draw(pool, n, seed, copy=lambda v: v):
    """Returns n items from `pool`, each value at least once and the rest repeats, shuffled."""
    rng = random.Random(seed)
    distinct = min(len(pool), max(1, int(DISTINCT * n)))
    values = pool[:distinct]
    items = [copy(v) for v in values]
    items += [copy(rng.choice(values)) for _ in range(n - distinct)]
    rng.shuffle(items)
    return items


def _short_str(rng):
    return "".join(rng.choices(LETTERS, k=rng.randint(4, 10)))


def _words(count, seed):
    """`count` distinct short strs."""
    rng = random.Random(seed)
    words = {}
    while len(words) < count:
        words[_short_str(rng)] = None
    return list(words)


def _record(i, ints, strs, rng, kind):
    # A str of its own per record, as a file reader makes one: equal kinds are compared, not
    # found identical.
    return {"id": ints[i], "name": strs[i], "score": rng.random(), "kind": "".join(kind)}


@dataclass
class Record:
    """A record as an instance of a class of the user's: the fields of the dict records."""
    id: int
    name: str
    score: float
    kind: str


class Data:
    """The inputs at one size n; each kind is made on first use and kept until the size is done."""

    def __init__(self, n):
        self.n = n
        self._kinds = {}

    def __getitem__(self, kind):
        if kind not in self._kinds:
            self._kinds[kind] = getattr(self, "_make_" + kind.replace(" ", "_"))()
        return self._kinds[kind]

    # The value pools behind ints, strs and records; a record i holds int i and str i.
    def _make_int_pool(self):
        return _pool(self.n, lambda rng: rng.randrange(10 * self.n + 1000), seed=1)

    def _make_str_pool(self):
        return _pool(self.n, _short_str, seed=2)

    def _make_record_pool(self):
        # The kinds come from their own generator, so the scores stay those of earlier runs.
        rng, pick, kinds = random.Random(3), random.Random(8), _words(KINDS, seed=9)
        ints, strs = self["int_pool"], self["str_pool"]
        return [_record(i, ints, strs, rng, pick.choice(kinds)) for i in range(len(ints))]

    def _both(self, pool):
        """`a` from the first two thirds of the pool, `b` from the last two thirds."""
        third = len(pool) // 3
        a = _draw(pool[: 2 * third + 1], self.n, seed=4)
        b = _draw(pool[third:], self.n, seed=5)
        return SimpleNamespace(a=a, b=b, s=LumoSeq(a))

    def _make_ints(self):
        return self._both(self["int_pool"])

    def _make_strs(self):
        return self._both(self["str_pool"])

    def _make_records(self):
        third = len(self["record_pool"]) // 3
        pool = self["record_pool"]
        a = _draw(pool[: 2 * third + 1], self.n, seed=4, copy=dict)
        b = _draw(pool[third:], self.n, seed=5, copy=dict)
        d = SimpleNamespace(a=a, b=b, s=LumoSeq(a))
        # Join partners: n/100 records with unique ids 0..m-1 (every outer record matches one,
        # by id % m), and n/100 with unique names drawn from `a`'s names (a few percent match).
        m = max(1, self.n // 100)
        rng = random.Random(6)
        d.id_mod_m = lambda r: r["id"] % m      # the outer key that meets inner_ids
        d.inner_ids = [{"id": i, "name": _short_str(rng), "score": rng.random()} for i in range(m)]
        rng.shuffle(d.inner_ids)
        names = rng.sample(sorted({r["name"] for r in a}), min(m, len(a)))
        d.inner_names = [{"id": i, "name": name, "score": rng.random()} for i, name in enumerate(names)]
        return d

    def _make_objects(self):
        """`records`' a as Record instances: the same values in the same order, repeats distinct."""
        third = len(self["record_pool"]) // 3
        a = _draw(self["record_pool"][: 2 * third + 1], self.n, seed=4, copy=lambda r: Record(**r))
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_floats(self):
        rng = random.Random(7)
        a = [rng.random() for _ in range(self.n)]
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_tuples(self):
        ints, strs = self["ints"].a, self["strs"].a
        a = list(zip(ints, strs))
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_sorted_ints(self):
        a = sorted(self["ints"].a)
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_reversed_ints(self):
        a = sorted(self["ints"].a, reverse=True)
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_lists(self):
        """n ints in n/10 lists of 10."""
        ints = self["ints"].a
        a = [ints[i:i + 10] for i in range(0, self.n, 10)]
        return SimpleNamespace(a=a, s=LumoSeq(a))

    def _make_cursor(self):
        """ints, a cursor at 0 for the index idioms, and a sequence whose cursor is halfway."""
        d = self["ints"]
        return SimpleNamespace(a=d.a, s=d.s, pos=0, half=d.s.skip(self.n // 2))
