"""Set operators: distinct, concat, union, intersect, differ, distinct_by, except_by, intersect_by
and union_by, and the element equality they share (Python ==, then a truth test, never hashing).

The probe classes log every __eq__ call (and any __hash__ call) in one list, so the tests compare
the whole sequence of comparisons and key_selector calls, not just the results.
"""
import operator
import os
import random
import reprlib
import subprocess
import sys

import pytest

from lumo import LumoSeq
from support import capture_fd2, fault_sweep, record_unraisable, refcounts_balanced


# --------------------------------------------------------------------------------------------
# Helpers
# --------------------------------------------------------------------------------------------

def tag_of(obj):
    return getattr(obj, "tag", obj)


class Tagged:
    """Equal when the values are equal; logs ("eq", own tag, other's tag) for each __eq__ call."""

    def __init__(self, tag, value, log):
        self.tag, self.value, self.log = tag, value, log

    def __eq__(self, other):
        self.log.append(("eq", self.tag, tag_of(other)))
        if not isinstance(other, Tagged):
            return NotImplemented
        return self.value == other.value

    def __hash__(self):
        self.log.append(("hash", self.tag))
        return 0

    def __repr__(self):
        return f"Tagged({self.tag!r})"


class Probe:
    """Answers every == with `answer` (raised when it is an exception) and logs who was asked."""

    def __init__(self, tag, log, answer=False, hook=None):
        self.tag, self.log, self.answer, self.hook = tag, log, answer, hook

    def _ask(self, where, other):
        self.log.append((where, self.tag, tag_of(other)))
        if self.hook is not None:
            self.hook()
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    def __eq__(self, other):
        return self._ask("Probe", other)

    def __hash__(self):
        self.log.append(("hash", self.tag))
        return 0

    def __repr__(self):
        return f"Probe({self.tag!r})"


class Derived(Probe):
    """A subclass that overrides __eq__: Python asks it first when it is the right operand."""

    def __eq__(self, other):
        return self._ask("Derived", other)

    __hash__ = Probe.__hash__


class Bomb:
    """A comparison result whose truth test raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class NotABool:
    """A comparison result whose __bool__ returns a non-bool (the interpreter refuses it)."""

    def __bool__(self):
        return 1


class Plain:
    """No __eq__ of its own: equal only to itself."""


def ids(objs):
    return [id(o) for o in objs]


def rest(seq):
    """The items from the cursor on (take hands out items after the cursor)."""
    return seq.take(1 << 32)[0].list()


def raised_by(call, exc_type):
    """Calls `call` and returns the exception it raised, with its traceback dropped so that
    frames holding items do not outlive the call."""
    try:
        call()
    except exc_type as exc:
        exc.__traceback__ = None
        return exc
    pytest.fail(f"{exc_type.__name__} not raised")


ELEMENT_METHODS = ["distinct", "union", "intersect", "differ"]
KEY_METHODS = ["distinct_by", "except_by", "intersect_by", "union_by"]
COMPARING = ELEMENT_METHODS + KEY_METHODS
NINE = ["distinct", "concat", "union", "intersect", "differ"] + KEY_METHODS
WITH_OTHER = ["concat", "union", "intersect", "differ", "except_by", "intersect_by", "union_by"]


def compare_once(method, left, right):
    """Runs `method` on inputs that make it compare exactly once, as elements_equal(left, right).

    The key operators get the items "L" and "R" with a key_selector that maps them to `left` and
    `right`. Returns the result's items."""
    key = {"L": left, "R": right}.__getitem__
    if method == "distinct":
        result = LumoSeq([left, right]).distinct()
    elif method == "union":
        result = LumoSeq([left]).union([right])
    elif method in ("intersect", "differ"):
        result = getattr(LumoSeq([left]), method)([right])
    elif method == "distinct_by":
        result = LumoSeq(["L", "R"]).distinct_by(key)
    elif method == "union_by":
        result = LumoSeq(["L"]).union_by(["R"], key)
    else:  # except_by, intersect_by: the argument's key goes on the left
        result = getattr(LumoSeq(["R"]), method)(["L"], key)
    return result.list()


def outcome(method, left, right, equal):
    """The result of compare_once when the single comparison says `equal`."""
    if method in KEY_METHODS:
        left, right = "L", "R"
    return {
        "distinct": [left] if equal else [left, right],
        "union": [left] if equal else [left, right],
        "intersect": [left] if equal else [],
        "differ": [] if equal else [left],
        "distinct_by": [left] if equal else [left, right],
        "union_by": [left] if equal else [left, right],
        "except_by": [] if equal else [right],
        "intersect_by": [right] if equal else [],
    }[method]


# --------------------------------------------------------------------------------------------
# Element equality: which __eq__ runs, and what its answer means
# --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("answer", [True, False])
def test_left_operand_is_asked_first(method, answer):
    log = []
    left, right = Probe("left", log, answer), Probe("right", log, not answer)
    result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right")]
    assert ids(result) == ids(outcome(method, left, right, answer))


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("answer", [True, False])
def test_not_implemented_on_the_left_lets_the_right_decide(method, answer):
    log = []
    left, right = Probe("left", log, NotImplemented), Probe("right", log, answer)
    result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right"), ("Probe", "right", "left")]
    assert ids(result) == ids(outcome(method, left, right, answer))


@pytest.mark.parametrize("method", COMPARING)
def test_both_sides_not_implemented_falls_back_to_identity(method):
    log = []
    left, right = Probe("left", log, NotImplemented), Probe("right", log, NotImplemented)
    result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right"), ("Probe", "right", "left")]
    assert ids(result) == ids(outcome(method, left, right, False))

    log.clear()
    same = Probe("same", log, NotImplemented)
    result = compare_once(method, same, same)
    assert log == [("Probe", "same", "same"), ("Probe", "same", "same")]
    assert ids(result) == ids(outcome(method, same, same, True))


@pytest.mark.parametrize("method", COMPARING)
def test_overriding_subclass_on_the_right_is_asked_first(method):
    log = []
    left, right = Probe("left", log, True), Derived("right", log, False)
    result = compare_once(method, left, right)
    assert log == [("Derived", "right", "left")]
    assert ids(result) == ids(outcome(method, left, right, False))

    log.clear()
    left, right = Probe("left", log, True), Derived("right", log, NotImplemented)
    result = compare_once(method, left, right)
    assert log == [("Derived", "right", "left"), ("Probe", "left", "right")]
    assert ids(result) == ids(outcome(method, left, right, True))


@pytest.mark.parametrize("method", COMPARING)
def test_the_same_object_is_equal_only_if_its_eq_says_so(method):
    log = []
    same = Probe("same", log, False)
    result = compare_once(method, same, same)
    assert log == [("Probe", "same", "same")]
    assert ids(result) == ids(outcome(method, same, same, False))


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("answer, equal", [
    (1, True), (0, False), ("yes", True), ("", False), ([0], True), ([], False),
    (None, False), (2.5, True), (0.0, False),
])
def test_comparison_result_is_truth_tested(method, answer, equal):
    log = []
    left, right = Probe("left", log, answer), Probe("right", log, NotImplemented)
    result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right")]
    assert ids(result) == ids(outcome(method, left, right, equal))


class OwnError(Exception):
    pass


class OwnBaseError(BaseException):
    pass


SWALLOWED = [ValueError, TypeError, RuntimeError, ZeroDivisionError, RecursionError, LookupError,
             StopIteration, AttributeError, OwnError]


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("exc_type", SWALLOWED, ids=lambda t: t.__name__)
def test_exception_from_eq_counts_as_not_equal(method, exc_type):
    log = []
    left, right = Probe("left", log, exc_type("from eq")), Probe("right", log, True)
    with record_unraisable() as unraisable, capture_fd2() as err:
        result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right")]
    assert ids(result) == ids(outcome(method, left, right, False))
    assert unraisable == []
    assert err.data == b""


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("exc_type", [GeneratorExit, OwnBaseError], ids=lambda t: t.__name__)
def test_base_exception_that_is_not_an_exception_from_eq_propagates(method, exc_type):
    # Only Exception subclasses (other than MemoryError) are swallowed by a comparison.
    log = []
    raised = exc_type("from eq")
    left, right = Probe("left", log, raised), Probe("right", log, True)
    with pytest.raises(exc_type) as excinfo:
        compare_once(method, left, right)
    assert excinfo.value is raised
    assert log == [("Probe", "left", "right")]


@pytest.mark.parametrize("method", COMPARING)
def test_exception_from_reflected_eq_counts_as_not_equal(method):
    log = []
    left, right = Probe("left", log, NotImplemented), Probe("right", log, ValueError("reflected"))
    result = compare_once(method, left, right)
    assert log == [("Probe", "left", "right"), ("Probe", "right", "left")]
    assert ids(result) == ids(outcome(method, left, right, False))


INTERRUPTS = [lambda: KeyboardInterrupt(), lambda: SystemExit(3), lambda: MemoryError()]


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("make", INTERRUPTS, ids=["KeyboardInterrupt", "SystemExit", "MemoryError"])
@pytest.mark.parametrize("reflected", [False, True], ids=["direct", "reflected"])
def test_interrupt_from_eq_propagates_unchanged(method, make, reflected):
    log = []
    raised = make()
    if reflected:
        left, right = Probe("left", log, NotImplemented), Probe("right", log, raised)
        expected_log = [("Probe", "left", "right"), ("Probe", "right", "left")]
    else:
        left, right = Probe("left", log, raised), Probe("right", log, True)
        expected_log = [("Probe", "left", "right")]
    with pytest.raises(type(raised)) as excinfo:
        compare_once(method, left, right)
    assert excinfo.value is raised
    assert log == expected_log


@pytest.mark.parametrize("method", COMPARING)
@pytest.mark.parametrize("make", [lambda: ValueError("no truth"), lambda: KeyboardInterrupt(),
                                  lambda: OwnBaseError()],
                         ids=["ValueError", "KeyboardInterrupt", "OwnBaseError"])
@pytest.mark.parametrize("reflected", [False, True], ids=["direct", "reflected"])
def test_failed_truth_test_of_comparison_result_propagates(method, make, reflected):
    log = []
    raised = make()
    if reflected:
        left, right = Probe("left", log, NotImplemented), Probe("right", log, Bomb(raised))
        expected_log = [("Probe", "left", "right"), ("Probe", "right", "left")]
    else:
        left, right = Probe("left", log, Bomb(raised)), Probe("right", log, True)
        expected_log = [("Probe", "left", "right")]
    with pytest.raises(type(raised)) as excinfo:
        compare_once(method, left, right)
    assert excinfo.value is raised
    assert log == expected_log


@pytest.mark.parametrize("method", COMPARING)
def test_comparison_result_refusing_a_truth_value_raises_type_error(method):
    log = []
    left, right = Probe("left", log, NotABool()), Probe("right", log, True)
    with pytest.raises(TypeError):
        compare_once(method, left, right)
    assert log == [("Probe", "left", "right")]


def test_scan_goes_on_after_a_swallowed_exception_and_stops_at_first_equal():
    log = []
    raiser = Probe("raiser", log, ValueError("never equal"))
    first = Tagged("first", 1, log)
    second = Tagged("second", 1, log)
    third = Tagged("third", 1, log)
    result = LumoSeq([raiser, first, second, third]).distinct().list()
    assert ids(result) == ids([raiser, first])
    assert log == [
        ("Probe", "raiser", "first"),
        ("Probe", "raiser", "second"), ("eq", "first", "second"),
        ("Probe", "raiser", "third"), ("eq", "first", "third"),
    ]


def test_interrupt_from_eq_stops_the_operator_at_once():
    log = []
    raised = KeyboardInterrupt()
    stopper = Probe("stopper", log, raised)
    later = [Tagged(t, 1, log) for t in ("a", "b", "c")]
    with pytest.raises(KeyboardInterrupt) as excinfo:
        LumoSeq([stopper] + later).distinct()
    assert excinfo.value is raised
    assert log == [("Probe", "stopper", "a")]


def test_swallowed_comparison_leaves_no_exception_behind():
    log = []
    state = []

    def key(item):
        state.append(sys.exc_info()[1])
        if item == "c":
            raise raised
        return Probe(item, log, ValueError("swallowed"))

    raised = ValueError("from key_selector")
    with pytest.raises(ValueError) as excinfo:
        LumoSeq(["a", "b", "c"]).distinct_by(key)
    assert excinfo.value is raised
    assert excinfo.value.__context__ is None
    assert state == [None, None, None]
    assert log == [("Probe", "a", "b")]


def test_eq_that_always_raises_makes_every_element_distinct():
    log = []
    items = [Probe(t, log, ValueError("no")) for t in ("a", "b", "c")]
    s = LumoSeq(items)
    assert ids(s.distinct().list()) == ids(items)
    assert s.intersect(s).list() == []
    assert ids(s.differ(s).list()) == ids(items)
    assert ids(s.union(s).list()) == ids(items + items)
    assert ids(s.distinct_by(lambda p: p).list()) == ids(items)
    assert s.intersect_by(s, lambda p: p).list() == []
    assert not any(entry[0] == "hash" for entry in log)


def test_same_nan_object_is_never_equal_to_itself():
    nan = float("nan")
    kept = LumoSeq([nan, nan]).distinct().list()
    assert len(kept) == 2 and kept[0] is nan and kept[1] is nan
    assert LumoSeq([nan]).intersect([nan]).list() == []
    assert LumoSeq([nan]).differ([nan]).list()[0] is nan
    assert len(LumoSeq([nan]).union([nan]).list()) == 2


def test_int_float_and_bool_that_compare_equal_keep_the_first():
    one, one_f = 1, 1.0
    kept = LumoSeq([one, one_f, True]).distinct().list()
    assert kept == [1] and type(kept[0]) is int
    kept = LumoSeq([one_f]).union([one, True, 2]).list()
    assert [(type(v), v) for v in kept] == [(float, 1.0), (int, 2)]
    kept = LumoSeq([one_f, 2]).intersect([True, 2.0]).list()
    assert [(type(v), v) for v in kept] == [(float, 1.0), (int, 2)]


def test_objects_without_eq_are_equal_only_to_themselves():
    a, b = Plain(), Plain()
    assert ids(LumoSeq([a, b, a, b]).distinct().list()) == ids([a, b])
    assert ids(LumoSeq([a, b]).intersect([b]).list()) == ids([b])
    assert ids(LumoSeq([a, b]).differ([Plain(), b]).list()) == ids([a])


def test_unhashable_elements_are_deduplicated_by_eq():
    first, second, other = [1], [1], [2]
    kept = LumoSeq([first, second, other]).distinct().list()
    assert ids(kept) == ids([first, other])
    d1, d2 = {"k": 1}, {"k": 1}
    assert ids(LumoSeq([d1, d2]).distinct().list()) == ids([d1])
    assert LumoSeq([[1], [2], [3]]).intersect([[3], [1]]).list() == [[1], [3]]
    assert LumoSeq([{1}, {2}]).differ([{2}]).list() == [{1}]


def test_hash_is_never_called():
    log = []
    items = [Tagged(t, v, log) for t, v in [("a", 1), ("b", 2), ("c", 1)]]
    other = [Tagged(t, v, log) for t, v in [("d", 2), ("e", 3)]]
    s = LumoSeq(items)
    for run in (lambda: s.distinct(), lambda: s.union(other), lambda: s.intersect(other),
                lambda: s.differ(other), lambda: s.concat(other),
                lambda: s.distinct_by(lambda x: x), lambda: s.except_by(other, lambda x: x),
                lambda: s.intersect_by(other, lambda x: x), lambda: s.union_by(other, lambda x: x)):
        run()
    assert log and all(entry[0] == "eq" for entry in log)


# --------------------------------------------------------------------------------------------
# Whole-element operators: results
# --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("receiver, call, expected", [
    ([1, 2, 1, 3, 2], lambda s: s.distinct(), [1, 2, 3]),
    ([], lambda s: s.distinct(), []),
    ([1, 2], lambda s: s.concat([2, 3]), [1, 2, 2, 3]),
    ([1, 2], lambda s: s.concat(()), [1, 2]),
    ([], lambda s: s.concat((4, 4)), [4, 4]),
    ([1, 2, 2], lambda s: s.union([2, 3, 3]), [1, 2, 3]),
    ([], lambda s: s.union([3, 1, 3]), [3, 1]),
    ([2, 1, 2], lambda s: s.union([]), [2, 1]),
    ([], lambda s: s.union(()), []),
    ([1, 2, 2, 3], lambda s: s.intersect([3, 2, 5, 2]), [2, 3]),
    ([], lambda s: s.intersect([1, 2]), []),
    ([1, 2], lambda s: s.intersect([]), []),
    ([1, 2, 2, 3, 1], lambda s: s.differ([2]), [1, 3]),
    ([3, 1, 3], lambda s: s.differ([]), [3, 1]),
    ([], lambda s: s.differ([1]), []),
    ([1, 2], lambda s: s.differ((1, 2)), []),
], ids=lambda v: repr(v) if isinstance(v, list) else None)
def test_whole_element_results(receiver, call, expected):
    s = LumoSeq(receiver)
    assert call(s).list() == expected
    assert s.list() == receiver


def test_results_hold_the_very_objects_in_first_appearance_order():
    log = []
    a, b, c = (Tagged(t, v, log) for t, v in [("a", 1), ("b", 2), ("c", 1)])
    d, e, f = (Tagged(t, v, log) for t, v in [("d", 2), ("e", 3), ("f", 3)])
    s = LumoSeq([a, b, c])
    assert ids(s.distinct().list()) == ids([a, b])
    assert ids(s.concat([d, e]).list()) == ids([a, b, c, d, e])
    assert ids(s.union([d, e, f]).list()) == ids([a, b, e])
    assert ids(s.intersect([f, d]).list()) == ids([b])
    assert ids(s.differ([f, d]).list()) == ids([a])


def test_receiver_as_its_own_argument():
    log = []
    items = [Tagged(t, v, log) for t, v in [("a", 1), ("b", 2), ("c", 1), ("d", 3)]]
    s = LumoSeq(items)
    distinct = ids(s.distinct().list())
    assert distinct == ids([items[0], items[1], items[3]])
    assert ids(s.union(s).list()) == distinct
    assert ids(s.intersect(s).list()) == distinct
    assert s.differ(s).list() == []
    assert ids(s.concat(s).list()) == ids(items + items)
    assert ids(s.union_by(s, lambda x: x).list()) == distinct
    assert ids(s.intersect_by(s, lambda x: x).list()) == distinct
    assert s.except_by(s, lambda x: x).list() == []


def test_concat_makes_no_comparison():
    log = []
    items = [Probe(t, log, Bomb(ValueError("compared"))) for t in ("a", "b", "a2")]
    assert ids(LumoSeq(items[:2]).concat(items[2:]).list()) == ids(items)
    assert log == []


@pytest.mark.parametrize("call", [
    lambda s: s.distinct(),
    lambda s: s.union([]),
    lambda s: s.union(LumoSeq([])),
    lambda s: s.differ([]),
    lambda s: s.distinct_by(5),
    lambda s: s.union_by([], 5),
], ids=["distinct", "union", "union_lumoseq", "differ", "distinct_by", "union_by"])
def test_single_item_is_returned_without_any_comparison(call):
    log = []
    item = Probe("only", log, Bomb(ValueError("compared")))
    assert ids(call(LumoSeq([item])).list()) == ids([item])
    assert log == []


def test_intersect_with_a_single_item_on_each_side_compares_once():
    log = []
    x, y = Probe("x", log, True), Probe("y", log, True)
    assert ids(LumoSeq([x]).intersect([y]).list()) == ids([x])
    assert log == [("Probe", "x", "y")]


# --------------------------------------------------------------------------------------------
# Whole-element operators: order of comparisons
# --------------------------------------------------------------------------------------------

def tagged(log, pairs):
    return [Tagged(tag, value, log) for tag, value in pairs]


def test_distinct_compares_kept_elements_with_the_candidate():
    log = []
    a, b, c, d, e = tagged(log, [("a", 1), ("b", 2), ("c", 1), ("d", 2), ("e", 3)])
    assert ids(LumoSeq([a, b, c, d, e]).distinct().list()) == ids([a, b, e])
    assert log == [("eq", "a", "b"), ("eq", "a", "c"), ("eq", "a", "d"), ("eq", "b", "d"),
                   ("eq", "a", "e"), ("eq", "b", "e")]


def test_union_comparison_sequence():
    log = []
    a, b = tagged(log, [("a", 1), ("b", 1)])
    c, d, e, f = tagged(log, [("c", 2), ("d", 1), ("e", 2), ("f", 3)])
    assert ids(LumoSeq([a, b]).union([c, d, e, f]).list()) == ids([a, c, f])
    assert log == [
        ("eq", "a", "b"),                                            # receiver deduplicated
        ("eq", "c", "d"), ("eq", "c", "e"), ("eq", "c", "f"), ("eq", "d", "f"),  # argument
        ("eq", "a", "c"), ("eq", "a", "d"), ("eq", "a", "f"), ("eq", "c", "f"),  # merge
    ]


@pytest.mark.parametrize("method, expected", [("intersect", "ab"), ("differ", "d")])
def test_intersect_and_differ_comparison_sequence(method, expected):
    log = []
    a, b, c, d = tagged(log, [("a", 1), ("b", 2), ("c", 1), ("d", 3)])
    e, f, g, h = tagged(log, [("e", 2), ("f", 2), ("g", 4), ("h", 1)])
    result = getattr(LumoSeq([a, b, c, d]), method)([e, f, g, h]).list()
    assert [x.tag for x in result] == list(expected)
    assert log == [
        ("eq", "e", "f"), ("eq", "e", "g"), ("eq", "e", "h"), ("eq", "g", "h"),  # argument first
        ("eq", "a", "b"), ("eq", "a", "c"), ("eq", "a", "d"), ("eq", "b", "d"),  # then receiver
        ("eq", "a", "e"), ("eq", "a", "g"), ("eq", "a", "h"),                    # membership
        ("eq", "b", "e"),
        ("eq", "d", "e"), ("eq", "d", "g"), ("eq", "d", "h"),
    ]


def test_intersect_with_empty_side_still_deduplicates_the_other_side():
    log = []
    a, b = tagged(log, [("a", 1), ("b", 2)])
    assert LumoSeq([a, b]).intersect([]).list() == []
    assert log == [("eq", "a", "b")]
    log.clear()
    assert LumoSeq([]).intersect([a, b]).list() == []
    assert log == [("eq", "a", "b")]
    log.clear()
    assert LumoSeq([]).differ([a, b]).list() == []
    assert log == [("eq", "a", "b")]


def test_union_with_empty_receiver_deduplicates_the_argument():
    log = []
    a, b, c = tagged(log, [("a", 1), ("b", 2), ("c", 1)])
    assert ids(LumoSeq([]).union([a, b, c]).list()) == ids([a, b])
    # the argument is deduplicated, then merged into the (growing) result
    assert log == [("eq", "a", "b"), ("eq", "a", "c"), ("eq", "a", "b")]


# --------------------------------------------------------------------------------------------
# Error precedence
# --------------------------------------------------------------------------------------------

def test_union_deduplicates_receiver_before_rejecting_other():
    log = []
    raised = ValueError("truth test")
    left, right = Probe("left", log, Bomb(raised)), Probe("right", log)
    with pytest.raises(ValueError) as excinfo:
        LumoSeq([left, right]).union(None)
    assert excinfo.value is raised
    assert log == [("Probe", "left", "right")]


def test_union_compares_the_receiver_then_rejects_other():
    log = []
    left, right = Probe("left", log), Probe("right", log)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([left, right]).union({1, 2})
    assert str(excinfo.value) == "Expected LumoSeq, list, or tuple for union"
    assert log == [("Probe", "left", "right")]


@pytest.mark.parametrize("method, message", [
    ("intersect", "Expected LumoSeq, list, or tuple for intersection"),
    ("differ", "Expected LumoSeq, list, or tuple for except operation"),
])
def test_intersect_and_differ_reject_other_before_any_comparison(method, message):
    log = []
    left, right = Probe("left", log, Bomb(ValueError("truth"))), Probe("right", log)
    with pytest.raises(TypeError) as excinfo:
        getattr(LumoSeq([left, right]), method)(None)
    assert str(excinfo.value) == message
    assert log == []


@pytest.mark.parametrize("method", ["intersect", "differ"])
def test_intersect_and_differ_deduplicate_argument_before_receiver(method):
    log = []
    from_argument, from_receiver = ValueError("argument"), ValueError("receiver")
    receiver = [Probe("r1", log, Bomb(from_receiver)), Probe("r2", log)]
    argument = [Probe("a1", log, Bomb(from_argument)), Probe("a2", log)]
    with pytest.raises(ValueError) as excinfo:
        getattr(LumoSeq(receiver), method)(argument)
    assert excinfo.value is from_argument
    assert log == [("Probe", "a1", "a2")]


def test_intersect_raises_from_receiver_deduplication_even_with_empty_argument():
    log = []
    raised = ValueError("receiver")
    receiver = [Probe("r1", log, Bomb(raised)), Probe("r2", log)]
    with pytest.raises(ValueError) as excinfo:
        LumoSeq(receiver).intersect([])
    assert excinfo.value is raised
    assert log == [("Probe", "r1", "r2")]


@pytest.mark.parametrize("method", ["except_by", "intersect_by", "union_by"])
def test_key_operators_reject_other_before_calling_key_selector(method):
    calls = []
    messages = {"except_by": "Expected LumoSeq, list, or tuple for except_by operation",
                "intersect_by": "Expected LumoSeq, list, or tuple for intersect_by operation",
                "union_by": "Expected LumoSeq, list, or tuple for union_by operation"}
    with pytest.raises(TypeError) as excinfo:
        getattr(LumoSeq([1, 2, 3]), method)(range(3), calls.append)
    assert str(excinfo.value) == messages[method]
    assert calls == []
    with pytest.raises(TypeError) as excinfo:
        getattr(LumoSeq([1, 2, 3]), method)(None, 5)   # not callable either: other wins
    assert str(excinfo.value) == messages[method]


# --------------------------------------------------------------------------------------------
# The argument `other`
# --------------------------------------------------------------------------------------------

MESSAGES = {
    "concat": "Expected LumoSeq, list, or tuple for concatenation",
    "union": "Expected LumoSeq, list, or tuple for union",
    "intersect": "Expected LumoSeq, list, or tuple for intersection",
    "differ": "Expected LumoSeq, list, or tuple for except operation",
    "except_by": "Expected LumoSeq, list, or tuple for except_by operation",
    "intersect_by": "Expected LumoSeq, list, or tuple for intersect_by operation",
    "union_by": "Expected LumoSeq, list, or tuple for union_by operation",
}


class Indexable:
    """Implements the sequence protocol without being a list or tuple."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i

    def __iter__(self):
        return iter([0, 1])


def call_with_other(s, method, other):
    if method in KEY_METHODS:
        return getattr(s, method)(other, lambda v: v)
    return getattr(s, method)(other)


def rejected_kinds():
    return [None, {1, 2}, frozenset([1]), {1: 2}, range(3), "ab", b"ab", bytearray(b"ab"),
            iter([1, 2]), (x for x in [1]), 7, Indexable(), {1: 2}.keys(), memoryview(b"ab")]


@pytest.mark.parametrize("method", WITH_OTHER)
def test_other_of_another_kind_is_rejected_with_the_operators_message(method):
    bad_ones = rejected_kinds()
    items = [object(), object()]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *[b for b in bad_ones if b is not None]):
        for bad in bad_ones:
            exc = raised_by(lambda: call_with_other(s, method, bad), TypeError)
            assert (type(exc), str(exc)) == (TypeError, MESSAGES[method]), bad
        del exc, bad
    assert ids(s.list()) == ids(items)


class ListWithOwnIteration(list):
    def __iter__(self):
        return iter([99])

    def __getitem__(self, i):
        return 99

    def __len__(self):
        return 1


class TupleWithOwnIteration(tuple):
    def __iter__(self):
        return iter([99])

    def __getitem__(self, i):
        return 99

    def __len__(self):
        return 1


ARGUMENT_KINDS = {
    "list": lambda items: list(items),
    "tuple": lambda items: tuple(items),
    "lumoseq": lambda items: LumoSeq(list(items)),
    "advanced_lumoseq": lambda items: LumoSeq(list(items)).skip(1),
    "list_subclass": lambda items: ListWithOwnIteration(items),
    "tuple_subclass": lambda items: TupleWithOwnIteration(items),
}


@pytest.mark.parametrize("method, expected", [
    ("concat", [1, 2, 2, 3]), ("union", [1, 2, 3]), ("intersect", [2]), ("differ", [1]),
    ("except_by", [1]), ("intersect_by", [2]), ("union_by", [1, 2, 3]),
])
@pytest.mark.parametrize("kind", list(ARGUMENT_KINDS))
def test_accepted_kinds_contribute_their_stored_items(method, expected, kind):
    other = ARGUMENT_KINDS[kind]([2, 3])
    assert call_with_other(LumoSeq([1, 2]), method, other).list() == expected
    if isinstance(other, LumoSeq):
        assert other.list() == [2, 3]
        assert rest(other) == ([3] if kind == "advanced_lumoseq" else [2, 3])


@pytest.mark.parametrize("method, expected", [
    ("concat", [1, 2, 1]), ("union", [1, 2]), ("intersect", []), ("differ", [1, 2]),
    ("except_by", [1, 2]), ("intersect_by", []), ("union_by", [1, 2]),
])
@pytest.mark.parametrize("empty", [[], (), "lumoseq"])
def test_empty_argument_of_each_kind(method, expected, empty):
    other = LumoSeq([]) if empty == "lumoseq" else empty
    assert call_with_other(LumoSeq([1, 2, 1]), method, other).list() == expected


def test_union_sees_a_list_argument_changed_while_the_receiver_is_deduplicated():
    log = []
    other = ["x"]
    first = Probe("first", log, hook=lambda: other.append("y") if len(other) == 1 else None)
    second = Probe("second", log)
    result = LumoSeq([first, second]).union(other).list()
    assert ids(result[:2]) == ids([first, second])
    assert result[2:] == ["x", "y"]


@pytest.mark.parametrize("method, expected", [("intersect", []), ("differ", [5])])
def test_intersect_and_differ_copy_the_argument_before_comparing(method, expected):
    log = []
    other = []
    p = Probe("p", log, hook=lambda: other.append(5) if len(other) == 2 else None)
    other += [p, Probe("q", log)]
    assert getattr(LumoSeq([5]), method)(other).list() == expected
    assert other[2:] == [5]


@pytest.mark.parametrize("method, expected", [
    ("except_by", ["a", "b"]), ("intersect_by", []), ("union_by", ["a", "b", "c"]),
])
def test_key_selector_changing_a_list_argument_does_not_affect_the_operation(method, expected):
    other = ["c"]

    def key(item):
        other.append("a")
        return item

    assert getattr(LumoSeq(["a", "b"]), method)(other, key).list() == expected
    assert len(other) > 1


# --------------------------------------------------------------------------------------------
# Key-based operators: results
# --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("receiver, call, expected", [
    (["a", "B", "A", "b", "c"], lambda s: s.distinct_by(lambda v: v.lower()), ["a", "B", "c"]),
    ([], lambda s: s.distinct_by(len), []),
    ([11, 12, 21, 35, 22], lambda s: s.except_by([10, 30], lambda v: v // 10), [21]),
    (["y1", "z1", "x2", "y2"], lambda s: s.intersect_by(["x1", "y9"], lambda v: v[0]),
     ["y1", "x2"]),
    ([1, 2], lambda s: s.union_by([3, 4, 5], lambda v: v % 3), [1, 2, 3]),
    ([1, 4, 2], lambda s: s.except_by([], lambda v: v % 3), [1, 2]),
    ([1, 4, 2], lambda s: s.intersect_by([], lambda v: v % 3), []),
    ([1, 4, 2], lambda s: s.union_by([], lambda v: v % 3), [1, 2]),
    ([], lambda s: s.except_by([1, 2], lambda v: v), []),
    ([], lambda s: s.intersect_by([1, 2], lambda v: v), []),
    ([], lambda s: s.union_by([3, 6, 4], lambda v: v % 3), [3, 4]),
    ([[1], [1, 2], [2]], lambda s: s.distinct_by(lambda v: [v[0]]), [[1], [2]]),
    ([1, 2, 3], lambda s: s.intersect_by([[2]], lambda v: [v] if isinstance(v, int) else v),
     [2]),
], ids=lambda v: repr(v) if isinstance(v, list) else None)
def test_key_results(receiver, call, expected):
    s = LumoSeq(receiver)
    assert call(s).list() == expected
    assert s.list() == receiver


def test_key_results_are_the_elements_not_the_keys():
    a1, a2, b1 = [1, "a"], [2, "a"], [3, "b"]
    s = LumoSeq([a1, a2, b1])
    assert ids(s.distinct_by(lambda v: v[1]).list()) == ids([a1, b1])
    other = [[9, "a"]]
    assert ids(s.intersect_by(other, lambda v: v[1]).list()) == ids([a1])
    assert ids(s.except_by(other, lambda v: v[1]).list()) == ids([b1])
    c1 = [4, "c"]
    assert ids(s.union_by([[5, "b"], c1], lambda v: v[1]).list()) == ids([a1, b1, c1])


def test_nan_keys_are_never_equal():
    nan = float("nan")
    s = LumoSeq([1, 2, 3])
    assert s.distinct_by(lambda v: nan).list() == [1, 2, 3]
    assert s.intersect_by([4, 5], lambda v: nan).list() == []
    assert s.except_by([4, 5], lambda v: nan).list() == [1, 2, 3]
    assert s.union_by([4], lambda v: nan).list() == [1, 2, 3, 4]


# --------------------------------------------------------------------------------------------
# Key-based operators: the sequence of key_selector calls and key comparisons
# --------------------------------------------------------------------------------------------

def recording_key(log, value_of=lambda item: item[0]):
    def key_selector(*args, **kwargs):
        assert kwargs == {} and len(args) == 1
        log.append(("key", args[0]))
        return Tagged(args[0], value_of(args[0]), log)
    return key_selector


def K(item):
    return ("key", item)


def E(left, right):
    return ("eq", left, right)


def test_distinct_by_call_sequence():
    log = []
    result = LumoSeq(["a1", "b1", "a2", "c1", "b2"]).distinct_by(recording_key(log)).list()
    assert result == ["a1", "b1", "c1"]
    assert log == [K("a1"),
                   K("b1"), E("a1", "b1"),
                   K("a2"), E("a1", "a2"),
                   K("c1"), E("a1", "c1"), E("b1", "c1"),
                   K("b2"), E("a1", "b2"), E("b1", "b2")]


MEMBERSHIP_LOG = [K("b9"), K("x9"),
                  K("a1"), E("b9", "a1"), E("x9", "a1"),
                  K("b1"), E("b9", "b1"),
                  K("c1"), E("b9", "c1"), E("x9", "c1"),
                  K("b2"), E("b9", "b2"),
                  K("x1"), E("b9", "x1"), E("x9", "x1"),
                  K("a2"), E("b9", "a2"), E("x9", "a2")]


@pytest.mark.parametrize("method, expected, final_pass", [
    ("except_by", ["a1", "c1"], [K("a1"), K("c1"), E("a1", "c1"), K("a2"), E("a1", "a2")]),
    ("intersect_by", ["b1", "x1"], [K("b1"), K("b2"), E("b1", "b2"), K("x1"), E("b1", "x1")]),
])
def test_except_by_and_intersect_by_call_sequence(method, expected, final_pass):
    log = []
    s = LumoSeq(["a1", "b1", "c1", "b2", "x1", "a2"])
    assert getattr(s, method)(["b9", "x9"], recording_key(log)).list() == expected
    assert log == MEMBERSHIP_LOG + final_pass


@pytest.mark.parametrize("method, other", [("intersect_by", ["z1"]), ("except_by", ["z9"])])
def test_argument_keys_go_before_the_survivors_are_keyed_again(method, other):
    log = []

    class Key:
        def __init__(self, name):
            self.name = name

        def __eq__(self, other):
            return self.name[1] == other.name[1]

        def __del__(self):
            log.append("del " + self.name)

    def key(item):
        log.append("key " + item)
        return Key(item)

    getattr(LumoSeq(["a1", "b1"]), method)(other, key)
    z = other[0]
    assert log == [f"key {z}", "key a1", "del a1", "key b1", "del b1", f"del {z}",
                   "key a1", "key b1", "del b1", "del a1"]


def test_union_by_call_sequence():
    log = []
    result = LumoSeq(["a1", "b1", "a2"]).union_by(["c1", "b2", "d1"], recording_key(log)).list()
    assert result == ["a1", "b1", "c1", "d1"]
    assert log == [K("a1"),
                   K("b1"), E("a1", "b1"),
                   K("a2"), E("a1", "a2"),
                   K("c1"), E("a1", "c1"), E("b1", "c1"),
                   K("b2"), E("a1", "b2"), E("b1", "b2"),
                   K("d1"), E("a1", "d1"), E("b1", "d1"), E("c1", "d1")]


@pytest.mark.parametrize("receiver, call, expected, expected_log", [
    ([], lambda s, k: s.distinct_by(k), [], []),
    (["a1"], lambda s, k: s.distinct_by(k), ["a1"], []),
    (["a1", "a2"], lambda s, k: s.distinct_by(k), ["a1"], [K("a1"), K("a2"), E("a1", "a2")]),
    ([], lambda s, k: s.except_by(["a1", "b1"], k), [], [K("a1"), K("b1")]),
    ([], lambda s, k: s.intersect_by(["a1", "b1"], k), [], [K("a1"), K("b1")]),
    (["a1", "a2", "b1"], lambda s, k: s.except_by([], k), ["a1", "b1"],
     [K("a1"), K("a2"), K("b1"), K("a1"), K("a2"), E("a1", "a2"), K("b1"), E("a1", "b1")]),
    (["a1", "a2", "b1"], lambda s, k: s.intersect_by([], k), [], [K("a1"), K("a2"), K("b1")]),
    (["a1"], lambda s, k: s.except_by([], k), ["a1"], [K("a1")]),
    (["a1", "b1"], lambda s, k: s.except_by(["b2"], k), ["a1"],
     [K("b2"), K("a1"), E("b2", "a1"), K("b1"), E("b2", "b1")]),
    (["a1", "b1"], lambda s, k: s.intersect_by(["b2"], k), ["b1"],
     [K("b2"), K("a1"), E("b2", "a1"), K("b1"), E("b2", "b1")]),
    ([], lambda s, k: s.union_by([], k), [], []),
    ([], lambda s, k: s.union_by(["a1"], k), ["a1"], []),
    (["a1"], lambda s, k: s.union_by([], k), ["a1"], []),
    (["a1"], lambda s, k: s.union_by(["a2"], k), ["a1"], [K("a1"), K("a2"), E("a1", "a2")]),
    ([], lambda s, k: s.union_by(["a1", "b1"], k), ["a1", "b1"],
     [K("a1"), K("b1"), E("a1", "b1")]),
], ids=lambda v: repr(v) if isinstance(v, list) and len(v) < 4 else None)
def test_key_selector_calls_at_the_edges(receiver, call, expected, expected_log):
    log = []
    assert call(LumoSeq(receiver), recording_key(log)).list() == expected
    assert log == expected_log


@pytest.mark.parametrize("receiver, call, expected", [
    (["x"], lambda s: s.distinct_by(5), ["x"]),
    ([], lambda s: s.distinct_by(5), []),
    ([], lambda s: s.except_by([], 5), []),
    ([], lambda s: s.intersect_by((), 5), []),
    ([], lambda s: s.union_by(["x"], 5), ["x"]),
    (["x"], lambda s: s.union_by(LumoSeq([]), "not callable"), ["x"]),
])
def test_uncallable_key_selector_goes_unnoticed_without_calls(receiver, call, expected):
    assert call(LumoSeq(receiver)).list() == expected


@pytest.mark.parametrize("receiver, call", [
    (["x", "y"], lambda s: s.distinct_by(5)),
    ([], lambda s: s.except_by(["x"], 5)),
    ([], lambda s: s.intersect_by(["x"], 5)),
    (["x"], lambda s: s.except_by([], 5)),
    (["x"], lambda s: s.intersect_by([], 5)),
    (["x"], lambda s: s.union_by(["y"], 5)),
])
def test_uncallable_key_selector_fails_at_the_first_call(receiver, call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq(receiver))
    assert "not callable" in str(excinfo.value)


def counting_key(raise_at, raised, log):
    def key_selector(item):
        log.append(item)
        if len(log) == raise_at:
            raise raised
        return item
    return key_selector


KEY_CALLS = {
    "distinct_by": lambda s, o, k: s.distinct_by(k),
    "except_by": lambda s, o, k: s.except_by(o, k),
    "intersect_by": lambda s, o, k: s.intersect_by(o, k),
    "union_by": lambda s, o, k: s.union_by(o, k),
}


@pytest.mark.parametrize("method", KEY_METHODS)
def test_key_selector_exception_at_each_call_propagates_and_stops(method):
    receiver, other = ["a", "b", "a", "c"], ["c", "d"]
    s = LumoSeq(receiver)
    dry = []
    KEY_CALLS[method](s, other, counting_key(0, None, dry))
    assert len(dry) >= 4
    for n in range(1, len(dry) + 1):
        log = []
        raised = LookupError(n)
        with pytest.raises(LookupError) as excinfo:
            KEY_CALLS[method](s, other, counting_key(n, raised, log))
        assert excinfo.value is raised
        assert log == dry[:n]
    assert s.list() == receiver and other == ["c", "d"]


# --------------------------------------------------------------------------------------------
# Cursor, fresh results, access from callbacks, keyword binding
# --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("method, call, expected", [
    ("distinct", lambda s: s.distinct(), [1, 2, 3]),
    ("concat", lambda s: s.concat([4]), [1, 2, 1, 3, 4]),
    ("union", lambda s: s.union([4, 1]), [1, 2, 3, 4]),
    ("intersect", lambda s: s.intersect([1, 3]), [1, 3]),
    ("differ", lambda s: s.differ([3]), [1, 2]),
    ("distinct_by", lambda s: s.distinct_by(lambda v: v), [1, 2, 3]),
    ("except_by", lambda s: s.except_by([3], lambda v: v), [1, 2]),
    ("intersect_by", lambda s: s.intersect_by([1, 3], lambda v: v), [1, 3]),
    ("union_by", lambda s: s.union_by([4, 1], lambda v: v), [1, 2, 3, 4]),
])
def test_whole_receiver_counts_and_result_is_fresh_with_cursor_zero(method, call, expected):
    s = LumoSeq([1, 2, 1, 3]).skip(2)
    result = call(s)
    assert isinstance(result, LumoSeq) and result is not s
    assert result.list() == expected
    assert rest(result) == expected
    assert s.list() == [1, 2, 1, 3]
    assert rest(s) == [1, 3]


@pytest.mark.parametrize("call", [
    lambda s: s.distinct(), lambda s: s.concat(()), lambda s: s.union([]),
    lambda s: s.differ([]), lambda s: s.distinct_by(len), lambda s: s.except_by([], len),
    lambda s: s.union_by((), len),
], ids=["distinct", "concat", "union", "differ", "distinct_by", "except_by", "union_by"])
@pytest.mark.parametrize("items", [[], ["x"], ["x", "yy"]])
def test_result_with_the_receivers_items_is_still_a_new_sequence(call, items):
    s = LumoSeq(items)
    result = call(s)
    assert result is not s
    assert result.list() == items


def test_key_selector_may_read_the_receiver_but_not_skip_it():
    s = LumoSeq(["a1", "b1", "a2"])
    seen = []

    def key(item):
        seen.append(s.len())
        try:
            s.skip(1)
        except RuntimeError as exc:
            seen.append(str(exc))
        return item[0]

    assert s.distinct_by(key).list() == ["a1", "b1"]
    assert seen == [3, "Already borrowed"] * 3


def test_skip_from_key_selector_propagates_unchanged():
    s = LumoSeq(["a", "b"])
    caught = []

    def key(item):
        try:
            s.skip(1)
        except RuntimeError as exc:
            caught.append(exc)
            raise

    with pytest.raises(RuntimeError) as excinfo:
        s.distinct_by(key)
    assert str(excinfo.value) == "Already borrowed"
    assert excinfo.value is caught[0]


def test_eq_may_read_the_receiver_but_not_skip_it():
    seen = []

    def hook():
        seen.append(s.len())
        try:
            s.skip(1)
        except RuntimeError as exc:
            seen.append(str(exc))

    log = []
    a, b = Probe("a", log, False, hook), Probe("b", log, False, hook)
    s = LumoSeq([a, b])
    assert ids(s.distinct().list()) == ids([a, b])
    assert seen == [2, "Already borrowed"]


def test_skip_from_eq_is_swallowed_like_any_other_comparison_error():
    log = []
    a = Probe("a", log, True, hook=lambda: s.skip(1))
    b = Probe("b", log, True)
    s = LumoSeq([a, b])
    assert ids(s.distinct().list()) == ids([a, b])
    assert log == [("Probe", "a", "b")]


def test_sequence_argument_is_not_held_after_it_is_copied():
    other = LumoSeq(["b1", "c1"])
    seen = []

    def key(item):
        seen.append(rest(other.skip(1)))
        return item[0]

    assert LumoSeq(["a1", "b2"]).except_by(other, key).list() == ["a1"]
    assert seen == [["c1"]] * 4


def test_callback_may_run_the_same_operator_on_the_receiver():
    s = LumoSeq(["a1", "b1", "a2"])
    inner = []

    def key(item):
        inner.append(s.union_by(["c1"], lambda v: v[0]).list())
        return item[0]

    assert s.union_by(["c1"], key).list() == ["a1", "b1", "c1"]
    assert inner == [["a1", "b1", "c1"]] * 4


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.concat(other=[4]), [1, 2, 1, 4]),
    (lambda s: s.union(other=[4]), [1, 2, 4]),
    (lambda s: s.intersect(other=[2]), [2]),
    (lambda s: s.differ(other=[2]), [1]),
    (lambda s: s.distinct_by(key_selector=abs), [1, 2]),
    (lambda s: s.except_by([2], key_selector=abs), [1]),
    (lambda s: s.except_by(key_selector=abs, other=[2]), [1]),
    (lambda s: s.intersect_by(other=[2], key_selector=abs), [2]),
    (lambda s: s.union_by(key_selector=abs, other=(4,)), [1, 2, 4]),
])
def test_parameters_by_keyword(call, expected):
    assert call(LumoSeq([1, 2, 1])).list() == expected


@pytest.mark.parametrize("name, call, names", [
    ("distinct", lambda s: s.distinct([]), ["distinct"]),
    ("union", lambda s: s.union(), ["union", "other"]),
    ("differ", lambda s: s.differ([], []), ["differ"]),
    ("distinct_by", lambda s: s.distinct_by(), ["distinct_by", "key_selector"]),
    ("except_by", lambda s: s.except_by([]), ["except_by", "key_selector"]),
    ("intersect_by", lambda s: s.intersect_by([], abs, abs), ["intersect_by"]),
    ("union_by", lambda s: s.union_by([], key=abs), ["union_by"]),
])
def test_binding_errors_name_the_method_or_parameter(name, call, names):
    s = LumoSeq([1, 2])
    with pytest.raises(TypeError) as excinfo:
        call(s)
    message = str(excinfo.value)
    assert any(n in message for n in names), message
    assert "Expected LumoSeq" not in message


# --------------------------------------------------------------------------------------------
# Independent oracle: hash-based plain-Python idioms on small integers, floats and bools
# --------------------------------------------------------------------------------------------

def first_per_key(items, key):
    seen = {}
    for x in items:
        seen.setdefault(key(x), x)
    return list(seen.values())


def oracle(method, r, a, key):
    ak = [key(y) for y in a]
    return {
        "distinct": lambda: list(dict.fromkeys(r)),
        "concat": lambda: r + a,
        "union": lambda: list(dict.fromkeys(r + a)),
        "intersect": lambda: [x for x in dict.fromkeys(r) if x in a],
        "differ": lambda: [x for x in dict.fromkeys(r) if x not in a],
        "distinct_by": lambda: first_per_key(r, key),
        "except_by": lambda: first_per_key([x for x in r if key(x) not in ak], key),
        "intersect_by": lambda: first_per_key([x for x in r if key(x) in ak], key),
        "union_by": lambda: first_per_key(r + a, key),
    }[method]()


@pytest.mark.parametrize("method", NINE)
def test_matches_plain_python_on_random_inputs(method):
    rng = random.Random(method)
    values = [0, 1, 2, 3, 1.0, 2.0, True, False]

    def key(v):
        return int(v) % 3

    for _ in range(300):
        r = [rng.choice(values) for _ in range(rng.randrange(7))]
        a = [rng.choice(values) for _ in range(rng.randrange(7))]
        s = LumoSeq(r)
        if method == "distinct":
            got = s.distinct()
        elif method == "distinct_by":
            got = s.distinct_by(key)
        elif method in KEY_METHODS:
            got = getattr(s, method)(a, key)
        else:
            got = getattr(s, method)(a)
        typed = [(type(v), v) for v in got.list()]
        assert typed == [(type(v), v) for v in oracle(method, r, a, key)], (r, a)


# --------------------------------------------------------------------------------------------
# Reference counts
# --------------------------------------------------------------------------------------------

CALLS = {
    "distinct": lambda s, o, k: s.distinct(),
    "concat": lambda s, o, k: s.concat(o),
    "union": lambda s, o, k: s.union(o),
    "intersect": lambda s, o, k: s.intersect(o),
    "differ": lambda s, o, k: s.differ(o),
    **KEY_CALLS,
}


@pytest.mark.parametrize("method", NINE)
def test_success_leaves_refcounts_balanced(method):
    a, b, c, d, ka, kb = (object() for _ in range(6))
    keys = {id(a): ka, id(b): kb, id(c): ka, id(d): kb}

    def key(x):
        return keys[id(x)]

    s = LumoSeq([a, b, a, c])
    other = [c, d, c, b]
    arguments = [other, tuple(other), LumoSeq(other)]
    for argument in arguments:
        CALLS[method](s, argument, key).list()      # warm-up
    with refcounts_balanced(a, b, c, d, ka, kb, key, s, other):
        for argument in arguments:
            CALLS[method](s, argument, key)
            CALLS[method](s, argument, key).list()
            CALLS[method](LumoSeq([]), argument, key)
        CALLS[method](s, [], key)


class Trap:
    """Equal by value; the comparison numbered state["at"] (counted over all Traps sharing the
    state) fails: with a result whose truth test raises, or by raising from __eq__ itself."""

    def __init__(self, value, state):
        self.value, self.state = value, state

    def __eq__(self, other):
        state = self.state
        state["count"] += 1
        if state["count"] == state["at"]:
            state["made"] = exc = state["make"]()
            if state["mode"] == "truth":
                return Bomb(exc)
            raise exc
        return self.value == other.value

    __hash__ = None


FAILURE_MODES = [
    ("truth", ValueError), ("truth", KeyboardInterrupt),
    ("raise", KeyboardInterrupt), ("raise", SystemExit), ("raise", MemoryError),
]


@pytest.mark.parametrize("method", COMPARING)
def test_comparison_failure_at_each_point_balances_refcounts(method):
    state = {"count": 0, "at": 0, "mode": None, "make": None}
    r = [Trap(v, state) for v in (1, 2, 1, 3)]
    a = [Trap(v, state) for v in (3, 4, 3, 2)]
    keys = {id(x): Trap(x.value % 2, state) for x in r + a}

    def key(x):
        return keys[id(x)]

    s = LumoSeq(r)
    CALLS[method](s, a, key)
    total = state["count"]
    assert total >= 3
    tokens = r + a + list(keys.values()) + [key, s, a]
    with refcounts_balanced(*tokens):
        for mode, exc_type in FAILURE_MODES:
            for n in range(1, total + 1):
                state.update(count=0, at=n, mode=mode, make=exc_type)
                exc = raised_by(lambda: CALLS[method](s, a, key), exc_type)
                assert state["count"] == n, (mode, exc_type)   # stopped at the failing one
                assert exc is state.pop("made")
        del exc
    assert ids(s.list()) == ids(r)


@pytest.mark.parametrize("method", KEY_METHODS)
def test_key_selector_failure_at_each_call_balances_refcounts(method):
    r = [object() for _ in range(4)]
    a = [r[1], object()]
    shared_key = object()
    calls = []

    def key(x):
        calls.append(None)
        if len(calls) == state["at"]:
            raise ValueError(state["at"])
        return shared_key

    state = {"at": 0}
    s = LumoSeq(r)
    KEY_CALLS[method](s, a, key)
    total = len(calls)
    with refcounts_balanced(*r, *a, shared_key, key, s):
        for n in range(1, total + 1):
            calls.clear()
            state["at"] = n
            exc = raised_by(lambda: KEY_CALLS[method](s, a, key), ValueError)
            assert exc.args == (n,)
            assert len(calls) == n


class Refuser:
    """__eq__ raises a new exception each time (a reused one would keep old frames alive)."""

    def __eq__(self, other):
        raise ValueError("swallowed")

    __hash__ = None


def test_swallowed_comparison_errors_balance_refcounts():
    items = [Refuser() for _ in range(3)]
    other = [Refuser() for _ in range(2)]
    s = LumoSeq(items)
    for method in NINE:
        CALLS[method](s, other, lambda x: x)
    with refcounts_balanced(*items, *other, s):
        for method in NINE:
            CALLS[method](s, other, lambda x: x)


# --------------------------------------------------------------------------------------------
# Text signatures and docstrings
# --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, signature, doc", [
    ("distinct", "($self)", "Returns a new sequence with duplicate elements removed."),
    ("concat", "($self, other)",
     "Concatenates this sequence with another sequence, list, or tuple."),
    ("union", "($self, other)",
     "Returns a new sequence with elements from both sequences, removing duplicates."),
    ("intersect", "($self, other)",
     "Returns a new sequence with elements that exist in both sequences."),
    ("differ", "($self, other)",
     "Returns a new sequence with elements from this sequence that don't exist in the other "
     "sequence."),
    ("distinct_by", "($self, key_selector)",
     "Returns a new sequence with elements having distinct values according to the key "
     "selector function."),
    ("except_by", "($self, other, key_selector)",
     "Returns a new sequence with elements from this sequence whose keys don't exist in the "
     "other sequence."),
    ("intersect_by", "($self, other, key_selector)",
     "Returns a new sequence with elements that exist in both sequences, comparing by keys."),
    ("union_by", "($self, other, key_selector)",
     "Returns a new sequence with elements from both sequences, removing duplicates based on "
     "keys."),
])
def test_text_signature_and_docstring(name, signature, doc):
    method = getattr(LumoSeq, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


# --------------------------------------------------------------------------------------------
# Allocation failure: one sweep per method, each point must end in success or MemoryError
# --------------------------------------------------------------------------------------------

SWEEP_SETUP = """
s = LumoSeq([1, 2, 1, 3]).skip(1)
other = [3, 4, 3]
def key(v):
    return v % 3
def snapshot():
    return s.list(), s.take(10)[0].list(), list(other)
"""

SWEEP_CALLS = {
    "distinct": "assert s.distinct().list() == [1, 2, 3]",
    "concat": "assert s.concat(other).list() == [1, 2, 1, 3, 3, 4, 3]",
    "union": "assert s.union(other).list() == [1, 2, 3, 4]",
    "intersect": "assert s.intersect(other).list() == [3]",
    "differ": "assert s.differ(other).list() == [1, 2]",
    "distinct_by": "assert s.distinct_by(key).list() == [1, 2, 3]",
    "except_by": "assert s.except_by([4], key).list() == [2, 3]",
    "intersect_by": "assert s.intersect_by(other, key).list() == [1, 3]",
    "union_by": "assert s.union_by(other, key).list() == [1, 2, 3]",
}


@pytest.mark.parametrize("method", NINE)
def test_allocation_failure_is_memory_error_and_leaves_receiver(method):
    fault_sweep(SWEEP_SETUP, SWEEP_CALLS[method])


# --------------------------------------------------------------------------------------------
# Large mixed inputs against the plain-Python scan of model.py: same items, same calls
# --------------------------------------------------------------------------------------------

class Logger:
    """Logs every __eq__ call; then answers like `value`, raises, or mutates a list that the
    inputs hold (so that a hash learned for that list before the call is stale)."""

    def __init__(self, tag, mode, value, log, target):
        self.tag, self.mode, self.value, self.log, self.target = tag, mode, value, log, target

    def __eq__(self, other):
        self.log.append(("eq", self.tag, reprlib.repr(other)))
        if self.mode == "raise":
            raise ValueError(self.tag)
        if self.mode == "mutate":
            self.target[:] = [1, 2, 0][:(len(self.target) + 1) % 4]
            return NotImplemented
        if self.mode == "interrupt":
            raise KeyboardInterrupt(self.tag)
        return self.value == other

    __hash__ = None

    def __repr__(self):
        return self.tag


class LoggedInt(int):
    """Equal to ints, but a subclass: its own __eq__ must run."""

    def __eq__(self, other):
        LoggedInt.log.append(("int", int(self), reprlib.repr(other)))
        return int(self) == other

    __hash__ = int.__hash__


def holed_set(k):
    """A set whose table holds a deleted entry."""
    s = {k % 4, "x", "gone"}
    s.discard("gone")
    return s


def nested(k, depth):
    return [k] if depth == 0 else (nested(k, depth - 1),)


def mixed_inputs(seed, loggers_in):
    """Receiver and argument drawn from one pool, built afresh for each run; the log. Loggers
    join the pool of the sides named in `loggers_in`."""
    rng = random.Random(seed)
    log = LoggedInt.log = []
    nans = [float("nan") for _ in range(3)]
    shared = ["first"]  # the loggers' target, leading each side that has loggers
    pool = [
        lambda k: k % 40, lambda k: 10**20 + k % 30, lambda k: float(k % 40), lambda k: -0.0,
        lambda k: 0.0, lambda k: True, lambda k: 1, lambda k: 1.0, lambda k: complex(k % 3, 0),
        lambda k: nans[k % 3], lambda k: complex(0, nans[0]), lambda k: "s%d" % (k % 30),
        lambda k: b"b%d" % (k % 5), lambda k: (k % 7, nans[k % 2]), lambda k: (k % 5, (k % 3,)),
        lambda k: frozenset({k % 4, "x"}), lambda k: {k % 4, "x"}, lambda k: [k % 6, [k % 2]],
        lambda k: {"id": k % 9, "v": [k % 2, 1.0]}, lambda k: {1: k % 3}, lambda k: (k % 3, [k % 2]),
        lambda k: [nans[0]], lambda k: [1, 2, 0][:k % 4], lambda k: complex(nans[1], k % 2), holed_set,
        lambda k: nested(k % 2, 20),
    ]
    modes = ["value", "value", "raise", "mutate", "notimpl"] + (["interrupt"] if seed % 3 == 0 else [])
    loggers = [Logger(f"L{i}", modes[i % len(modes)], rng.choice([3, "s4", 2.0, (1, (1,)), [3, [1]]]),
                      log, shared) for i in range(12)]
    big = list(range(70000))  # too large to hash
    odd = [lambda k: {LoggedInt(k % 3), "x"}, lambda k: {"id": loggers[k % 12]},
           lambda k: {LoggedInt(k % 3): 1}, lambda k: [1, loggers[k % 12]], lambda k: nested(k % 2, 40),
           lambda k: big if k % 4 else list(big)]
    mixed = pool + odd + [lambda k: loggers[k % 12]] * 2 + [lambda k: LoggedInt(k % 5), lambda k: shared]

    def draw(n, side):
        if side not in loggers_in:
            return [rng.choice(pool)(rng.randrange(1000)) for _ in range(n)]
        # The first item that is not plain is the one whose contents are looked at in full.
        first = odd[(seed + 3 * (side == "argument")) % len(odd)](seed)
        return [shared, first] + [rng.choice(mixed)(rng.randrange(1000)) for _ in range(n)]
    return draw(1500, "receiver"), draw(900, "argument"), log


@pytest.mark.parametrize("holder", [lambda p: (p,), lambda p: [p], lambda p: {"v": p}, lambda p: {p}],
                         ids=["tuple", "list", "dict", "set"])
def test_python_code_anywhere_inside_an_item_makes_lists_kept_before_it_untrusted(holder):
    target = [1, 2]

    class Mutator:
        def __eq__(self, other):
            target.append(0)
            return True

        def __hash__(self):
            return 0

    first, second = holder(Mutator()), holder(Mutator())
    # Comparing the two holders runs __eq__, which makes `target` equal to the last item.
    result = LumoSeq([target, first, second, [1, 2, 0]]).distinct().list()
    assert ids(result) == ids([target, first]) and target == [1, 2, 0]


KEYS = {"same": lambda x: x, "wrapped": lambda x: (type(x).__name__, x), "lists": lambda x: [x]}


@pytest.mark.parametrize("loggers_in", [(), ("receiver",), ("argument",), ("receiver", "argument")],
                         ids=["plain", "receiver", "argument", "both"])
@pytest.mark.parametrize("method", COMPARING)
def test_large_mixed_inputs_match_the_model(method, loggers_in):
    from model import ModelSeq
    for seed in range(3):
        key_kind = list(KEYS)[seed]
        outcomes = []
        for make in (LumoSeq, ModelSeq):
            r, a, log = mixed_inputs(seed, loggers_in)
            where = {}
            for i, x in enumerate(r + a):
                where.setdefault(id(x), i)

            def key(x):
                log.append(("key", where[id(x)]))
                return KEYS[key_kind](x)

            try:
                result = [where[id(x)] for x in CALLS[method](make(r), a, key).list()]
            except BaseException as exc:
                result = (type(exc), str(exc))
            outcomes.append((result, log))
        assert outcomes[0][0] == outcomes[1][0], (seed, key_kind)
        assert outcomes[0][1] == outcomes[1][1], (seed, key_kind)


BYTES_WARNINGS = """
import sys, warnings
sys.path.insert(0, {tests!r})
from lumo import LumoSeq
from model import ModelSeq
items = [b"a", "a", 1, b"b", "b", 1.0, b"a", (b"a",), ("a",)] * 20
logs = []
for make in (LumoSeq, ModelSeq):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = [make(items).distinct().list(), make(items[:9]).intersect(items).list(),
                   make(items).distinct_by(lambda x: x).list()]
    logs.append((results, [str(w.message) for w in caught]))
assert logs[0] == logs[1], logs
print(len(logs[0][1]))
"""


def test_bytes_compared_with_str_or_int_warn_as_in_the_scan():
    # Under -b, comparing bytes with str or int warns through Python code: bytes are then
    # compared by the scan, warning for warning.
    script = BYTES_WARNINGS.format(tests=os.path.dirname(__file__))
    proc = subprocess.run([sys.executable, "-b", "-c", script], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert int(proc.stdout) > 100


def test_without_room_below_the_recursion_limit_the_scan_decides():
    # Near the C recursion limit even `x == x` fails, which counts as not equal; at every depth
    # distinct() must answer as the scan does from the same place. The scan's own answer comes
    # from equal ints of a subclass, which never take the index. (From 3.14 the limit is on the
    # C stack, so only a comparison made from the same C frames is an oracle.)
    class Big(int):
        pass

    x, y, seen = 10**20, Big(10**20), []

    # Two ways a few C frames further down, of different sizes: from 3.14 where the limit falls
    # between two frames follows the stack's start, which the environment and ASLR move, and only
    # mixtures of the two step finely enough to put the comparison itself on the limit.
    def by_map(f):
        return next(map(lambda _: f(), [0]))

    def by_sort(f):
        out = []
        sorted([0], key=lambda _: out.append(f()))
        return out[0]

    def below(path, f):
        return f() if not path else path[0](lambda: below(path[1:], f))

    paths = [(by_map,) * m + (by_sort,) * s for m in range(5) for s in range(5 - m)]

    class Deep:
        def __eq__(self, other):
            try:
                Deep() == other
            except RecursionError:
                pass
            for path in paths if len(seen) < 2000 else ():  # the levels nearest the limit
                try:
                    seen.append(below(path, lambda: (LumoSeq([y, y]).distinct().len(),
                                                     LumoSeq([x, x]).distinct().len())))
                except RecursionError:  # the frames on the way down did not fit
                    pass
            return False

        __hash__ = None

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100000)
    try:
        Deep() == 0
    finally:
        sys.setrecursionlimit(limit)
    assert len(seen) > 100 and all(expected == got for expected, got in seen)
    assert {expected for expected, _ in seen} == {1, 2}  # the limit was reached, and left
