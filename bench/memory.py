"""Memory: the bytes per item that a result holds beyond its items, as tracemalloc counts them.

The items themselves are shared with the input, never copied, so what a result allocates is its
own storage: the reference vector, the object, and for `take` and `chunk` the extra sequences.
lumo allocates through Python's allocator, which is what lets tracemalloc see it.
"""
import tracemalloc

from lumo import LumoSeq

# (label, make(a, s)); a list and a tuple of the same items are the yardsticks.
SUBJECTS = [
    ("list(a)", lambda a, s: list(a)),
    ("tuple(a)", lambda a, s: tuple(a)),
    ("LumoSeq(a)", lambda a, s: LumoSeq(a)),
    ("s.skip(1)", lambda a, s: s.skip(1)),
    ("s.take(100): both results", lambda a, s: s.take(100)),
    ("s.chunk(100)", lambda a, s: s.chunk(100)),
]


def bytes_per_item(a, s):
    """Returns {label: bytes per item} for each subject made from `a` and its sequence `s`."""
    out = {}
    tracemalloc.start()
    try:
        for label, make in SUBJECTS:
            before = tracemalloc.get_traced_memory()[0]
            kept = make(a, s)
            out[label] = (tracemalloc.get_traced_memory()[0] - before) / len(a)
            del kept
    finally:
        tracemalloc.stop()
    return out
