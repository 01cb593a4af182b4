"""Speed of lumo operators as ratios against the plain-Python idiom, measured in the same run."""
import random
import timeit

from lumo import LumoSeq

N = 100_000
rng = random.Random(1)
data = [rng.randrange(1_000_000) for _ in range(N)]
seq = LumoSeq(data)
key = lambda x: x % 1000
pred = lambda x: x % 3 == 0
double = lambda x: x * 2

CASES = [
    ("select", lambda: seq.select(double), lambda: [double(x) for x in data]),
    ("where", lambda: seq.where(pred), lambda: [x for x in data if pred(x)]),
    ("order_by", lambda: seq.order_by(key), lambda: sorted(data, key=key)),
    ("rev", lambda: seq.rev(), lambda: data[::-1]),
    ("sum", lambda: seq.sum(), lambda: float(sum(data))),
    ("chunk", lambda: seq.chunk(100), lambda: [data[i:i + 100] for i in range(0, N, 100)]),
    ("zip", lambda: seq.zip(data), lambda: list(zip(data, data))),
    ("group_by", lambda: seq.group_by(key), lambda: group_plain(data)),
]


def group_plain(items):
    groups = {}
    for x in items:
        groups.setdefault(repr(key(x)), []).append(x)
    return groups


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def main():
    print(f"{'operator':<10} {'lumo ms':>9} {'python ms':>10} {'ratio':>7}  (ratio < 1: lumo is faster)")
    for name, ours, theirs in CASES:
        a, b = best(ours), best(theirs)
        print(f"{name:<10} {a * 1e3:9.2f} {b * 1e3:10.2f} {a / b:7.2f}")


if __name__ == "__main__":
    main()
