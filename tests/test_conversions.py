"""Conversions back to Python values and element access: list, tuple, set, iter, len, empty, at, first, last."""
import sys

import pytest

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced


def caught(call):
    """Returns the exception `call` raises, with tracebacks dropped so callback frames free their locals."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the caller checks the type
        e = exc
        while e is not None:
            e.__traceback__ = None
            e = e.__cause__ or e.__context__
        return exc
    pytest.fail("no exception was raised")


class Token:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Token({self.name})"


def same_objects(got, expected):
    return len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


# ---------------------------------------------------------------------------------------------
# Docstrings and signatures

METHOD_TABLE = [
    ("list", "($self)", "Returns a Python list containing all items in the sequence."),
    ("tuple", "($self)", "Returns a Python tuple containing all items in the sequence."),
    ("set", "($self)", "Returns a Python set containing all items in the sequence."),
    ("iter", "($self)", "Returns a Python iterator over the sequence."),
    ("len", "($self)", "Returns the number of items in the sequence."),
    ("empty", "($self)", "Returns true if the sequence is empty."),
    ("at", "($self, index, default=None)",
     "Returns the element at the given index, or the default value if the index is out of bounds."),
    ("first", "($self, default=None)",
     "Returns the first element in the sequence, or the default value if the sequence is empty."),
    ("last", "($self, default=None)",
     "Returns the last element in the sequence, or the default value if the sequence is empty."),
]


@pytest.mark.parametrize("name, signature, doc", METHOD_TABLE, ids=[row[0] for row in METHOD_TABLE])
def test_signature_and_docstring(name, signature, doc):
    method = getattr(LumoSeq, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


# ---------------------------------------------------------------------------------------------
# The cursor is not read

FIVE = [Token(c) for c in "abcde"]


@pytest.mark.parametrize("receiver", [
    pytest.param(lambda: LumoSeq(FIVE), id="cursor-0"),
    pytest.param(lambda: LumoSeq(FIVE).skip(2), id="cursor-2"),
    pytest.param(lambda: LumoSeq(FIVE).skip(5), id="cursor-at-end"),
])
def test_whole_vector_whatever_the_cursor(receiver):
    s = receiver()
    assert s.len() == 5
    assert s.empty() is False
    assert same_objects(s.list(), FIVE)
    assert same_objects(s.tuple(), FIVE)
    assert same_objects(list(s.iter()), FIVE)
    assert {id(x) for x in s.set()} == {id(x) for x in FIVE}
    assert s.first() is FIVE[0]
    assert s.last() is FIVE[4]
    assert s.at(0) is FIVE[0]
    assert s.at(-5) is FIVE[0]
    assert s.at(4) is FIVE[4]


# ---------------------------------------------------------------------------------------------
# Empty sequence


@pytest.mark.parametrize("receiver", [
    pytest.param(lambda: LumoSeq([]), id="constructed"),
    pytest.param(lambda: LumoSeq([]).skip(2), id="skipped"),
])
def test_empty_sequence(receiver):
    s = receiver()
    assert type(s.list()) is list and s.list() == []
    assert type(s.tuple()) is tuple and s.tuple() == ()
    assert type(s.set()) is set and s.set() == set()
    assert list(s.iter()) == []
    assert type(s.len()) is int and s.len() == 0
    assert s.empty() is True
    assert s.at(0) is None
    assert s.at(-1) is None
    assert s.first() is None
    assert s.last() is None


# ---------------------------------------------------------------------------------------------
# Containers


@pytest.mark.parametrize("method, kind", [("list", list), ("tuple", tuple)])
def test_ordered_containers_hold_the_items(method, kind):
    a, b = Token("a"), Token("b")
    items = [a, b, a, None, b]
    s = LumoSeq(items)
    got = getattr(s, method)()
    assert type(got) is kind
    assert same_objects(got, items)


def test_list_is_new_each_time_and_detached():
    s = LumoSeq([1, 2, 3])
    first = s.list()
    second = s.list()
    assert first is not second
    first.append(4)
    first[0] = 0
    assert s.list() == [1, 2, 3]
    assert second == [1, 2, 3]


def test_set_members_and_collapse():
    err = caught(lambda: LumoSeq([[1], 2]).set())
    assert type(err) is TypeError

    collapsed = LumoSeq([1, 1.0, True]).set()
    assert collapsed == {1}
    assert [type(m) for m in collapsed] == [int]

    collapsed = LumoSeq([1.0, True, 1]).set()
    assert [type(m) for m in collapsed] == [float]

    a, b = tuple([1, 2]), tuple([1, 2])
    assert a is not b
    [member] = LumoSeq([a, b]).set()
    assert member is a  # the one that came first is kept


class Hashed:
    """Hashes to `h` and records each __hash__ call in `log`; equal to another Hashed of the same h."""

    def __init__(self, name, log, h=0, raised=None):
        self.name, self.log, self.h, self.raised = name, log, h, raised

    def __hash__(self):
        self.log.append(self.name)
        if self.raised is not None:
            raise self.raised
        return self.h

    def __eq__(self, other):
        return isinstance(other, Hashed) and other.h == self.h


def test_set_hashes_every_item_in_order_including_before_cursor():
    log = []
    items = [Hashed(n, log, h) for n, h in [("a", 1), ("b", 2), ("c", 1), ("d", 3)]]
    s = LumoSeq(items).skip(2)
    result = s.set()
    assert log == ["a", "b", "c", "d"]
    assert {id(m) for m in result} == {id(items[0]), id(items[1]), id(items[3])}


def test_set_hash_exception_propagates_unchanged():
    log = []
    raised = ValueError("no hash for you")
    items = [Hashed("a", log, 1), Hashed("bad", log, raised=raised), Hashed("c", log, 2)]
    s = LumoSeq(items)
    with refcounts_balanced(s, *items):
        err = caught(lambda: s.set())
        assert err is raised
        del err
        raised.__traceback__ = None
    assert log == ["a", "bad"]  # items after the failing one are not looked at


def test_set_eq_exception_propagates_unchanged():
    raised = LookupError("eq failed")

    class Clashing:
        def __hash__(self):
            return 7

        def __eq__(self, other):
            raise raised

    items = [Clashing(), Clashing()]
    s = LumoSeq(items)
    with refcounts_balanced(s, *items):
        err = caught(lambda: s.set())
        assert err is raised
        del err
        raised.__traceback__ = None


# ---------------------------------------------------------------------------------------------
# Iterator


def test_iter_is_a_list_iterator_over_a_snapshot():
    items = [Token("a"), Token("b"), Token("c")]
    s = LumoSeq(items)
    one, two = s.iter(), s.iter()
    assert type(one) is type(iter([]))
    assert one is not two
    assert next(one) is items[0]
    items.append(Token("late"))
    LumoSeq([Token("other")]).iter()
    assert same_objects(list(two), items[:3])
    assert same_objects(list(one), items[1:3])
    assert list(one) == []


# ---------------------------------------------------------------------------------------------
# Size


@pytest.mark.parametrize("n", [0, 1, 2, 1000])
def test_len_and_empty(n):
    s = LumoSeq([None] * n)
    assert type(s.len()) is int
    assert s.len() == n
    assert s.empty() is (n == 0)
    assert s.skip(1).len() == n


# ---------------------------------------------------------------------------------------------
# Element access

ONE_TWO_THREE = LumoSeq([1, 2, 3])


@pytest.mark.parametrize("call, expected", [
    pytest.param(lambda s: s.at(0), 1, id="0"),
    pytest.param(lambda s: s.at(2), 3, id="2"),
    pytest.param(lambda s: s.at(-1), 3, id="-1"),
    pytest.param(lambda s: s.at(-3), 1, id="-3"),
    pytest.param(lambda s: s.at(-4), None, id="-4"),
    pytest.param(lambda s: s.at(3), None, id="3"),
    pytest.param(lambda s: s.at(3, "x"), "x", id="3-default"),
    pytest.param(lambda s: s.at(-4, "x"), "x", id="-4-default"),
    pytest.param(lambda s: s.at(1, "x"), 2, id="1-default-unused"),
    pytest.param(lambda s: s.at(0, None), 1, id="0-explicit-none"),
    pytest.param(lambda s: s.at(3, None), None, id="3-explicit-none"),
    pytest.param(lambda s: s.at(True), 2, id="True"),
    pytest.param(lambda s: s.at(2**63 - 1, "x"), "x", id="int64-max"),
    pytest.param(lambda s: s.at(-2**63, "x"), "x", id="int64-min"),
    pytest.param(lambda s: s.at(3, 0), 0, id="falsy-default"),
    pytest.param(lambda s: s.first(), 1, id="first"),
    pytest.param(lambda s: s.first("x"), 1, id="first-default-unused"),
    pytest.param(lambda s: s.last(), 3, id="last"),
    pytest.param(lambda s: s.last(default="x"), 3, id="last-default-unused"),
    pytest.param(lambda s: s.skip(2).first(), 1, id="first-ignores-cursor"),
    pytest.param(lambda s: s.skip(3).at(0), 1, id="at-ignores-cursor"),
])
def test_access(call, expected):
    got = call(ONE_TWO_THREE)
    assert type(got) is type(expected)
    assert got == expected


@pytest.mark.parametrize("call, expected", [
    pytest.param(lambda s: s.first(), None, id="first"),
    pytest.param(lambda s: s.first(0), 0, id="first-0"),
    pytest.param(lambda s: s.first(None), None, id="first-explicit-none"),
    pytest.param(lambda s: s.last(default=5), 5, id="last-keyword"),
    pytest.param(lambda s: s.last(""), "", id="last-falsy"),
    pytest.param(lambda s: s.at(0, default=False), False, id="at-false"),
])
def test_access_on_empty_gives_default(call, expected):
    got = call(LumoSeq([]))
    assert type(got) is type(expected)
    assert got == expected


@pytest.mark.parametrize("call", [
    pytest.param(lambda s: s.first(7), id="first"),
    pytest.param(lambda s: s.last(7), id="last"),
    pytest.param(lambda s: s.at(0, 7), id="at"),
])
def test_none_item_is_returned_not_the_default(call):
    assert call(LumoSeq([None])) is None


@pytest.mark.parametrize("call, index", [
    pytest.param(lambda s: s.first(), 0, id="first"),
    pytest.param(lambda s: s.last(), 2, id="last"),
    pytest.param(lambda s: s.at(1), 1, id="at"),
    pytest.param(lambda s: s.at(-2), 1, id="at-negative"),
    pytest.param(lambda s: s.skip(1).at(0, "d"), 0, id="at-skipped"),
])
def test_access_returns_the_item_itself(call, index):
    items = [Token("a"), Token("b"), Token("c")]
    assert call(LumoSeq(items)) is items[index]


def test_default_is_returned_itself():
    d = Token("default")
    s = LumoSeq([])
    assert s.at(0, d) is d
    assert s.first(d) is d
    assert s.last(default=d) is d
    assert LumoSeq([1]).at(5, default=d) is d


@pytest.mark.parametrize("call", [
    pytest.param(lambda s: s.at(2**63), id="above-int64"),
    pytest.param(lambda s: s.at(-2**63 - 1, "x"), id="below-int64"),
])
def test_at_overflow_is_not_the_default(call):
    assert type(caught(lambda: call(ONE_TWO_THREE))) is OverflowError


def test_at_float_index_names_index():
    err = caught(lambda: ONE_TWO_THREE.at(1.0, "x"))
    assert type(err) is TypeError
    assert "index" in str(err)


# ---------------------------------------------------------------------------------------------
# Reference counts


@pytest.mark.parametrize("call", [
    pytest.param(lambda s, d: s.list(), id="list"),
    pytest.param(lambda s, d: s.tuple(), id="tuple"),
    pytest.param(lambda s, d: s.set(), id="set"),
    pytest.param(lambda s, d: s.iter(), id="iter"),
    pytest.param(lambda s, d: list(s.iter()), id="iter-consumed"),
    pytest.param(lambda s, d: s.len(), id="len"),
    pytest.param(lambda s, d: s.empty(), id="empty"),
    pytest.param(lambda s, d: s.at(1, d), id="at-item"),
    pytest.param(lambda s, d: s.at(9, d), id="at-default"),
    pytest.param(lambda s, d: s.at(-9), id="at-none"),
    pytest.param(lambda s, d: s.first(d), id="first"),
    pytest.param(lambda s, d: s.last(d), id="last"),
    pytest.param(lambda s, d: LumoSeq([]).first(d), id="first-default"),
    pytest.param(lambda s, d: LumoSeq([]).last(default=d), id="last-default"),
])
def test_success_paths_balance_references(call):
    a, b, d = Token("a"), Token("b"), Token("default")
    s = LumoSeq([a, b, a]).skip(1)
    with refcounts_balanced(s, a, b, d):
        result = call(s, d)
        del result


@pytest.mark.parametrize("call, expected_type", [
    pytest.param(lambda s, d: s.at(1.0, d), TypeError, id="at-float"),
    pytest.param(lambda s, d: s.at(2**63, d), OverflowError, id="at-overflow"),
    pytest.param(lambda s, d: s.at(d, d), TypeError, id="at-default-as-index"),
    pytest.param(lambda s, d: s.at(0, d, 1), TypeError, id="at-surplus"),
    pytest.param(lambda s, d: s.first(d, default=d), TypeError, id="first-duplicate"),
    pytest.param(lambda s, d: s.last(d, x=d), TypeError, id="last-unknown-keyword"),
])
def test_failure_paths_balance_references(call, expected_type):
    a, b, d = Token("a"), Token("b"), Token("default")
    s = LumoSeq([a, b])
    with refcounts_balanced(s, a, b, d):
        err = caught(lambda: call(s, d))
        assert type(err) is expected_type
        del err


def test_held_results_take_one_reference():
    a, d = Token("a"), Token("d")
    s = LumoSeq([a])
    base_a, base_d = sys.getrefcount(a), sys.getrefcount(d)
    got = [s.first(), s.last(), s.at(0), s.at(1, d), LumoSeq([]).first(d)]
    assert sys.getrefcount(a) == base_a + 3
    assert sys.getrefcount(d) == base_d + 2
    del got
    assert (sys.getrefcount(a), sys.getrefcount(d)) == (base_a, base_d)


# ---------------------------------------------------------------------------------------------
# Running out of memory

SWEEP_SETUP = """
items = [object() for _ in range(4)] + [7]
s = LumoSeq(items).skip(2)
dflt = object()
def counts():
    return [sys.getrefcount(x) for x in items + [dflt]]
def snapshot():
    return s.len(), [id(x) for x in s.list()]
"""


def guarded(expr):
    return f"""
c = counts()
try:
    return {expr}
except MemoryError:
    assert counts() == c, "references leaked"
    raise
"""


@pytest.mark.parametrize("expr", [
    pytest.param("s.list()", id="list"),
    pytest.param("s.tuple()", id="tuple"),
    pytest.param("s.set()", id="set"),
    pytest.param("s.iter()", id="iter"),
    pytest.param("s.len()", id="len"),
    pytest.param("s.empty()", id="empty"),
    pytest.param("s.at(-2, dflt)", id="at"),
    pytest.param("s.first(default=dflt)", id="first"),
    pytest.param("s.last(dflt)", id="last"),
    pytest.param("LumoSeq(items)", id="constructor"),
])
def test_out_of_memory(expr):
    fault_sweep(SWEEP_SETUP, guarded(expr))
