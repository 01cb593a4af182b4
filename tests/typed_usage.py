"""Every method of LumoSeq as a type checker sees it: `mypy --strict` and pyright (strict) check
each `assert_type` against the stubs, and each `# type: ignore[...]` line must stay an error
(both checkers report ignores that are no longer needed). test_typing.py runs `exercise` too, so
every call here is also one the module accepts."""

from collections.abc import Iterator
from typing import Any, assert_type

from lumo import LumoSeq


class Box:
    def __init__(self, v: int) -> None:
        self.v = v


def widen(s: LumoSeq[object]) -> LumoSeq[object]:
    return s


def exercise() -> None:
    nums = LumoSeq([3, 1, 2])
    words = LumoSeq(["a", "bb", "cc"])
    assert_type(nums, LumoSeq[int])
    assert_type(LumoSeq[int], type[LumoSeq[int]])

    # Pickling and copying
    assert_type(nums.__copy__(), LumoSeq[int])
    assert_type(nums.__deepcopy__({}), LumoSeq[int])
    rebuild, (items, cursor) = nums.skip(1).__reduce__()
    assert_type(rebuild(items, cursor), LumoSeq[int])

    # Conversions and element access
    assert_type(nums.list(), list[int])
    assert_type(nums.tuple(), tuple[int, ...])
    assert_type(nums.set(), set[int])
    assert_type(nums.iter(), Iterator[int])
    assert_type(nums.len(), int)
    assert_type(nums.empty(), bool)
    assert_type(nums.at(0), int | None)
    assert_type(nums.at(-1, "none"), int | str)
    assert_type(nums.first(), int | None)
    assert_type(nums.first(default=0), int)
    assert_type(nums.last(None), int | None)
    assert_type(words.last(b""), str | bytes)

    # Projection, filtering, ordering
    assert_type(nums.enumerate(), LumoSeq[tuple[int, int]])
    assert_type(nums.enumerate(start_index=1), LumoSeq[tuple[int, int]])
    assert_type(nums.rev(), LumoSeq[int])
    assert_type(nums.select(str), LumoSeq[str])
    assert_type(nums.select(lambda x: x / 2), LumoSeq[float])
    assert_type(nums.where(lambda x: x > 1), LumoSeq[int])
    mixed = LumoSeq[object]([1, "a", 2.5])
    assert_type(mixed.of_type(str), LumoSeq[str])
    assert_type(words.order_by(len), LumoSeq[str])
    assert_type(words.order_by(lambda w: (len(w), w)), LumoSeq[str])
    assert_type(nums.cast(str), LumoSeq[str])
    assert_type(words.cast(int, silent=True), LumoSeq[int])

    # Grouping and dictionaries
    groups = words.group_by(len)
    assert_type(groups, LumoSeq[tuple[int, LumoSeq[str]]])
    assert_type(groups.select(lambda g: (g[0], g[1].len())), LumoSeq[tuple[int, int]])
    assert_type(words.to_dict(lambda w: w, len), dict[str, int])

    # Cursor
    assert_type(nums.skip(1), LumoSeq[int])
    assert_type(nums.restart(), LumoSeq[int])
    head, rest = nums.take(2)
    assert_type(head, LumoSeq[int])
    assert_type(rest, LumoSeq[int])
    assert_type(nums.skip_while(lambda x: x > 2), LumoSeq[int])
    assert_type(nums.take_while(lambda x: x > 2), tuple[LumoSeq[int], LumoSeq[int]])

    # Additions and reshaping
    assert_type(nums.append(4), LumoSeq[int])
    assert_type(nums.prepend("zero"), LumoSeq[int | str])
    assert_type(nums.chunk(2), LumoSeq[LumoSeq[int]])
    assert_type(LumoSeq([[1], [2, [3]]]).flatten(), LumoSeq[Any])

    # Whole-element and key-based set operators
    assert_type(nums.distinct(), LumoSeq[int])
    assert_type(nums.concat(("x",)), LumoSeq[int | str])
    assert_type(nums.union(LumoSeq([4.5])), LumoSeq[int | float])
    assert_type(nums.intersect(["x", 1]), LumoSeq[int])
    assert_type(nums.differ((2,)), LumoSeq[int])
    assert_type(words.distinct_by(len), LumoSeq[str])
    assert_type(words.except_by(["zz"], len), LumoSeq[str])
    assert_type(words.intersect_by([1, 2], lambda v: v if isinstance(v, int) else len(v)), LumoSeq[str])
    assert_type(words.union_by(LumoSeq([Box(1)]), lambda v: v if isinstance(v, str) else v.v), LumoSeq[str | Box])

    # Zipping and join
    assert_type(nums.zip(words), LumoSeq[tuple[int, str]])
    assert_type(nums.zip(["x"], False), LumoSeq[tuple[int, str]])
    assert_type(nums.zip(("x",), until_exhausted=True), LumoSeq[tuple[int | None, str | None]])
    flag = nums.len() > 2
    assert_type(nums.zip([b"x"], flag), LumoSeq[tuple[int | None, bytes | None]])
    assert_type(nums.zips([[1.5], [2.5]]), LumoSeq[tuple[int | float, ...]])
    assert_type(nums.zips([["x"], ["y"]], True), LumoSeq[tuple[int | str | None, ...]])
    assert_type(nums.zips([LumoSeq(["x"]), LumoSeq(["y"])]), LumoSeq[tuple[int | str, ...]])
    mixed_kinds: list[LumoSeq[str] | list[str] | tuple[str, ...]] = [words, ["x"], ("y",)]
    assert_type(nums.zips(mixed_kinds, True), LumoSeq[tuple[int | str | None, ...]])
    nums.zips([words, ["x"], ("y",)])  # accepted; mypy types the items as Any here
    boxes = [Box(3), Box(1)]
    pairs = nums.join(boxes, lambda n: n, lambda b: b.v)
    assert_type(pairs, LumoSeq[tuple[int, Box]])

    # Aggregates, folding and extremes
    assert_type(nums.sum(), float | None)
    assert_type(nums.average(), float | None)
    assert_type(nums.max(), float | None)
    assert_type(nums.min(), float | None)
    assert_type(nums.aggregate(lambda a, b: a + b), int)
    assert_type(nums.aggregate(lambda acc, x: acc + str(x), ""), str)
    assert_type(nums.aggregate(lambda acc, x: [*acc, x], seed=list[int]()), list[int])
    assert_type(words.min_by(len), str | None)
    assert_type(LumoSeq(boxes).max_by(lambda b: b.v), Box | None)

    # A chain keeps its item type through every step.
    top = (LumoSeq(boxes).where(lambda b: b.v > 0).order_by(lambda b: -b.v)
           .select(lambda b: b.v).take(1)[0].first())
    assert_type(top, int | None)

    # Immutable, so covariant: a sequence of ints is a sequence of objects.
    assert_type(widen(nums), LumoSeq[object])


def rejected() -> None:
    """Calls the checkers refuse (never run)."""
    nums = LumoSeq([3, 1, 2])
    nums.where(lambda x: x)  # type: ignore[arg-type, return-value]
    nums.take("2")  # type: ignore[arg-type]
    nums.zip({1, 2})  # type: ignore[call-overload]
    nums.zips([[1], 5])  # type: ignore[arg-type]
    nums.concat(range(3))  # type: ignore[arg-type]
    nums.select(lambda x: x.upper())  # type: ignore[attr-defined]
    LumoSeq((1, 2))  # type: ignore[arg-type]
    LumoSeq([1]).list().append("x")  # type: ignore[arg-type]
