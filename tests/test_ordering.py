"""order_by and rev: the key ordering (only `<`, exceptions discarded, interrupts kept), stability,
one key call per item, memory safety under lying comparisons, and reference balance."""
import math
import random
import sys

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced


def cursor_of(seq):
    return seq.len() - seq.take(2**64 - 1)[0].len()


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class LoggedKey:
    """A key that records every comparison or hash made on it."""

    def __init__(self, value, log):
        self.value = value
        self.log = log

    def __lt__(self, other):
        self.log.append(("lt", self.value, other.value))
        return self.value < other.value

    def __gt__(self, other):
        self.log.append(("gt", self.value, other.value))
        return self.value > other.value

    def __le__(self, other):
        self.log.append(("le", self.value, other.value))
        return self.value <= other.value

    def __ge__(self, other):
        self.log.append(("ge", self.value, other.value))
        return self.value >= other.value

    def __eq__(self, other):
        self.log.append(("eq", self.value, other.value))
        return self.value == other.value

    def __hash__(self):
        self.log.append(("hash", self.value))
        return hash(self.value)


class RaisingLt:
    """A key whose `<` raises the given exception object every time."""

    def __init__(self, exc):
        self.exc = exc

    def __lt__(self, other):
        raise self.exc


# --- documentation -------------------------------------------------------------------------

@pytest.mark.parametrize("name, signature, doc", [
    ("order_by", "($self, key)", "Orders the sequence based on the given key function."),
    ("rev", "($self)", "Reverses the sequence."),
])
def test_text_signature_and_docstring(name, signature, doc):
    method = getattr(LumoSeq, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


# --- order_by: results ---------------------------------------------------------------------

@pytest.mark.parametrize("items, key, expected", [
    ([3, 1, 2], lambda x: x, [1, 2, 3]),
    (["bb", "a", "cc", "d"], len, ["a", "d", "bb", "cc"]),
    ([5, -3, 4, -1], abs, [-1, -3, 4, 5]),
    ([2, 1], lambda x: x, [1, 2]),
    ([1, 2, 3], lambda x: -x, [3, 2, 1]),
    (["b", "a", "c"], str.upper, ["a", "b", "c"]),
    ([(1, "b"), (0, "z"), (1, "a")], lambda t: t[0], [(0, "z"), (1, "b"), (1, "a")]),
])
def test_order_by_sorts_ascending_and_stably(items, key, expected):
    s = LumoSeq(items)
    result = s.order_by(key)
    assert result.list() == expected
    assert s.list() == items


def test_order_by_returns_the_item_objects_themselves():
    items = [Item(3), Item(1), Item(2)]
    result = LumoSeq(items).order_by(lambda it: it.value).list()
    assert [id(x) for x in result] == [id(items[1]), id(items[2]), id(items[0])]


def test_order_by_sorts_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([5, 4, 3, 2, 1]).skip(3)
    result = s.order_by(lambda x: x)
    assert result.list() == [1, 2, 3, 4, 5]
    assert cursor_of(result) == 0
    assert cursor_of(s) == 3
    assert s.list() == [5, 4, 3, 2, 1]


@pytest.mark.parametrize("items", [[], [7], [3, 1, 2]])
def test_order_by_result_is_a_fresh_sequence(items):
    s = LumoSeq(items)
    result = s.order_by(lambda x: x)
    assert result is not s
    assert cursor_of(result) == 0


def test_order_by_empty_receiver_never_calls_key():
    calls = []
    result = LumoSeq([]).order_by(lambda x: calls.append(x))
    assert result.list() == []
    assert calls == []
    # not even tested for being callable
    assert LumoSeq([]).order_by(5).list() == []


def test_order_by_single_item_calls_key_once_and_compares_nothing():
    log, calls = [], []
    item = Item(1)

    def key(x):
        calls.append(x)
        return LoggedKey(1, log)

    assert LumoSeq([item]).order_by(key).list() == [item]
    assert calls == [item]
    assert log == []


def test_order_by_calls_key_exactly_once_per_item_in_order():
    items = [Item(v) for v in [9, 3, 7, 1, 8, 2, 6, 4, 5, 0] * 5]
    calls = []

    def key(it):
        calls.append(it)
        return it.value

    result = LumoSeq(items).order_by(key).list()
    assert [id(c) for c in calls] == [id(i) for i in items]
    assert [id(r) for r in result] == [id(i) for i in sorted(items, key=lambda it: it.value)]


def test_order_by_passes_the_item_as_the_one_positional_argument():
    seen = []

    def key(*args, **kwargs):
        seen.append((args, kwargs))
        return 0

    LumoSeq([1, 2]).order_by(key)
    assert seen == [((1,), {}), ((2,), {})]


def test_order_by_accepts_key_by_keyword():
    assert LumoSeq([2, 3, 1]).order_by(key=lambda x: x).list() == [1, 2, 3]


@pytest.mark.parametrize("call", [
    lambda s: s.order_by(),
    lambda s: s.order_by(lambda x: x, lambda x: x),
    lambda s: s.order_by(keyfunc=lambda x: x),
    lambda s: s.order_by(lambda x: x, key=lambda x: x),
])
def test_order_by_binding_errors_name_the_method(call):
    s = LumoSeq([Item(1)])
    with pytest.raises(TypeError) as excinfo:
        call(s)
    assert "order_by" in str(excinfo.value)


def test_order_by_non_callable_key_fails_at_the_first_call():
    with pytest.raises(TypeError):
        LumoSeq([1, 2]).order_by(5)


def test_order_by_uses_only_less_than():
    log = []
    values = [5, 3, 8, 1, 9, 2, 7]
    keys = {v: LoggedKey(v, log) for v in values}
    result = LumoSeq(values).order_by(lambda v: keys[v]).list()
    assert result == sorted(values)
    assert log, "no comparison was made"
    assert {entry[0] for entry in log} == {"lt"}


@pytest.mark.parametrize("values", [list(range(1000)), [0] * 1000, list(range(1000, 0, -1))],
                         ids=["ascending", "equal", "strictly descending"])
def test_order_by_presorted_and_reversed_keys_cost_one_comparison_per_item(values):
    log = []
    keys = [LoggedKey(v, log) for v in values]
    result = LumoSeq(list(range(1000))).order_by(lambda i: keys[i]).list()
    assert [values[i] for i in result] == sorted(values)
    assert len(log) == 999


def test_order_by_runs_keep_equal_keys_in_input_order():
    # Descending with ties: only strictly descending runs are reversed, so the tied items keep
    # their order whichever way the runs are found.
    values = [5, 5, 4, 3, 3, 3, 2, 9, 9, 1, 1, 0] * 20
    keys = [LoggedKey(v, []) for v in values]
    result = LumoSeq(list(range(len(values)))).order_by(lambda i: keys[i]).list()
    assert result == sorted(range(len(values)), key=lambda i: values[i])


class ReflectedKey:
    """`<` is answered only through the reflected `>` of the other operand."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return NotImplemented

    def __gt__(self, other):
        return self.value > other.value


def test_order_by_less_than_falls_back_to_the_reflected_greater_than():
    values = [4, 2, 5, 1, 3]
    result = LumoSeq(values).order_by(ReflectedKey).list()
    assert result == [1, 2, 3, 4, 5]


class TruthyLt:
    """`<` answers with arbitrary objects, judged by their truth value."""

    def __init__(self, value, true, false):
        self.value, self.true, self.false = value, true, false

    def __lt__(self, other):
        return self.true if self.value < other.value else self.false


@pytest.mark.parametrize("true, false", [(1, 0), ([0], []), ("yes", ""), (2.5, 0.0)])
def test_order_by_judges_the_comparison_result_by_truth(true, false):
    values = [3, 1, 4, 5, 2]
    result = LumoSeq(values).order_by(lambda v: TruthyLt(v, true, false)).list()
    assert result == [1, 2, 3, 4, 5]


def test_order_by_incomparable_keys_keep_the_input_order():
    items = [Item(i) for i in range(6)]
    result = LumoSeq(items).order_by(lambda it: {"v": it.value}).list()
    assert [id(r) for r in result] == [id(i) for i in items]


class BadBool:
    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class LtWithBadTruth:
    def __lt__(self, other):
        return BadBool(ValueError("ambiguous truth value"))


def test_order_by_comparison_whose_truth_test_raises_counts_as_not_ordered():
    items = [Item(i) for i in range(5)]
    result = LumoSeq(items).order_by(lambda it: LtWithBadTruth()).list()
    assert [id(r) for r in result] == [id(i) for i in items]


@pytest.mark.parametrize("exc_type", [ValueError, TypeError, LookupError, RuntimeError,
                                      ZeroDivisionError, ArithmeticError, Exception])
def test_order_by_discards_ordinary_exceptions_from_less_than(exc_type):
    items = [Item(i) for i in range(5)]
    result = LumoSeq(items).order_by(lambda it: RaisingLt(exc_type("no order"))).list()
    assert [id(r) for r in result] == [id(i) for i in items]
    assert sys.exc_info() == (None, None, None)


class PartlyRaisingLt:
    """Integers whose `<` raises for some pairs: those pairs count as equal."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        if (self.value + other.value) % 3 == 0:
            raise ValueError("refused")
        return self.value < other.value


def test_order_by_mixed_raising_and_answering_comparisons_give_a_permutation():
    items = [Item(v) for v in [7, 3, 9, 0, 4, 6, 1, 8, 2, 5] * 4]
    result = LumoSeq(items).order_by(lambda it: PartlyRaisingLt(it.value)).list()
    assert sorted(map(id, result)) == sorted(map(id, items))


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), MemoryError()], ids=["KeyboardInterrupt",
                                                                          "MemoryError"])
def test_order_by_does_not_swallow_interrupts_from_less_than(exc):
    s = LumoSeq([Item(i) for i in range(4)])
    with pytest.raises(type(exc)) as excinfo:
        s.order_by(lambda it: RaisingLt(exc))
    assert excinfo.value is exc
    assert [x.value for x in s.list()] == [0, 1, 2, 3]


class LtInterruptAfter:
    """`<` raises ValueError for the first comparisons, then KeyboardInterrupt."""

    def __init__(self, value, state):
        self.value, self.state = value, state

    def __lt__(self, other):
        self.state["calls"] += 1
        if self.state["calls"] <= 2:
            raise ValueError("discarded")
        raise self.state["interrupt"]


def test_order_by_interrupt_after_discarded_exceptions_reaches_the_caller():
    interrupt = KeyboardInterrupt()
    state = {"calls": 0, "interrupt": interrupt}
    with pytest.raises(KeyboardInterrupt) as excinfo:
        LumoSeq([1, 2, 3, 4, 5]).order_by(lambda v: LtInterruptAfter(v, state))
    assert excinfo.value is interrupt
    assert state["calls"] == 3


def test_order_by_key_exception_propagates_unchanged_and_stops_calling():
    raised = ValueError("bad key")
    calls = []

    def key(x):
        calls.append(x)
        if x == 3:
            raise raised
        return x

    s = LumoSeq([5, 4, 3, 2, 1])
    with pytest.raises(ValueError) as excinfo:
        s.order_by(key)
    assert excinfo.value is raised
    assert calls == [5, 4, 3]
    assert s.list() == [5, 4, 3, 2, 1]


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), MemoryError(), StopIteration()],
                         ids=["KeyboardInterrupt", "MemoryError", "StopIteration"])
def test_order_by_key_function_base_exceptions_propagate(exc):
    def key(x):
        raise exc

    with pytest.raises(type(exc)) as excinfo:
        LumoSeq([1, 2]).order_by(key)
    assert excinfo.value is exc


# --- order_by: lying comparisons stay in bounds ---------------------------------------------

class RandomLt:
    def __init__(self, rng):
        self.rng = rng

    def __lt__(self, other):
        return self.rng.random() < 0.5


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("n", [2, 3, 17, 64, 500])
def test_order_by_random_less_than_gives_a_permutation(seed, n):
    rng = random.Random(seed)
    items = [Item(i) for i in range(n)]
    s = LumoSeq(items)
    result = s.order_by(lambda it: RandomLt(rng)).list()
    assert sorted(map(id, result)) == sorted(map(id, items))
    assert [id(x) for x in s.list()] == [id(i) for i in items]


class ConstantLt:
    def __init__(self, answer):
        self.answer = answer

    def __lt__(self, other):
        return self.answer


def test_order_by_less_than_always_true_gives_a_permutation():
    items = [Item(i) for i in range(100)]
    result = LumoSeq(items).order_by(lambda it: ConstantLt(True)).list()
    assert sorted(map(id, result)) == sorted(map(id, items))


def test_order_by_less_than_always_false_keeps_the_input_order():
    items = [Item(i) for i in range(100)]
    result = LumoSeq(items).order_by(lambda it: ConstantLt(False)).list()
    assert [id(r) for r in result] == [id(i) for i in items]


@pytest.mark.parametrize("seed", range(5))
def test_order_by_nan_keys_give_a_permutation(seed):
    rng = random.Random(seed)
    values = [math.nan if rng.random() < 0.3 else rng.uniform(-10, 10) for _ in range(200)]
    items = [Item(v) for v in values]
    result = LumoSeq(items).order_by(lambda it: it.value).list()
    assert sorted(map(id, result)) == sorted(map(id, items))


def test_order_by_without_nan_matches_sorted_floats():
    values = [2.5, -1.0, 0.0, 3.25, -7.5, 1e300, -1e-300]
    assert LumoSeq(values).order_by(lambda v: v).list() == sorted(values)


# --- order_by against Python's own stable sort ---------------------------------------------

@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.integers(-5, 5), st.integers())))
def test_order_by_matches_sorted(pairs):
    items = [Item(p) for p in pairs]
    result = LumoSeq(items).order_by(lambda it: it.value[0]).list()
    expected = sorted(items, key=lambda it: it.value[0])
    assert [id(r) for r in result] == [id(e) for e in expected]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(st.integers(), st.text(max_size=3), st.floats(allow_nan=False))))
def test_order_by_mixed_types_is_a_permutation(values):
    # int/str comparisons raise TypeError: discarded, never raised
    items = [Item(v) for v in values]
    result = LumoSeq(items).order_by(lambda it: it.value).list()
    assert sorted(map(id, result)) == sorted(map(id, items))


# --- order_by: re-entry --------------------------------------------------------------------

def test_order_by_key_calling_skip_on_the_receiver_gets_already_borrowed():
    s = LumoSeq([3, 1, 2])
    messages = []

    def key(x):
        try:
            s.skip(1)
        except RuntimeError as e:
            messages.append(str(e))
        return x

    assert s.order_by(key).list() == [1, 2, 3]
    assert messages == ["Already borrowed"] * 3


def test_order_by_uncaught_already_borrowed_leaves_the_operator():
    s = LumoSeq([3, 1, 2])
    with pytest.raises(RuntimeError) as excinfo:
        s.order_by(lambda x: s.skip(1))
    assert str(excinfo.value) == "Already borrowed"
    assert s.skip(1).list() == [3, 1, 2]


def test_order_by_key_may_read_the_receiver_and_nest_order_by():
    s = LumoSeq([3, 1, 2])
    inner = []

    def key(x):
        inner.append((s.len(), s.order_by(lambda y: -y).list()))
        return x

    assert s.order_by(key).list() == [1, 2, 3]
    assert inner == [(3, [3, 2, 1])] * 3


# --- order_by: references ------------------------------------------------------------------

def test_order_by_releases_keys_and_keeps_only_items_on_success():
    items = [Item(v) for v in [3, 1, 2, 5, 4]]
    keys = {id(it): Item(it.value) for it in items}

    class Key:
        def __init__(self, box):
            self.box = box

        def __lt__(self, other):
            return self.box.value < other.box.value

    def key(it):
        return Key(keys[id(it)])

    with refcounts_balanced(*items, *keys.values(), key):
        result = LumoSeq(items).order_by(key)
        with refcounts_balanced(*keys.values(), key):
            assert [x.value for x in result.list()] == [1, 2, 3, 4, 5]
        del result


def test_order_by_refcounts_balanced_when_key_raises():
    items = [Item(v) for v in range(5)]
    key_objects = [Item(v) for v in range(5)]

    def key(it):
        if it.value == 3:
            raise LookupError("stop")
        return (it.value, key_objects[it.value])

    s = LumoSeq(items)
    with refcounts_balanced(*items, *key_objects, key):
        with pytest.raises(LookupError):
            s.order_by(key)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, MemoryError, ValueError])
def test_order_by_refcounts_balanced_when_less_than_raises(exc_type):
    class FreshRaisingLt:
        # a new exception per comparison, so no stored traceback keeps the keys alive
        def __lt__(self, other):
            raise exc_type("x")

    items = [Item(v) for v in range(5)]
    key_objects = [FreshRaisingLt() for _ in range(5)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *key_objects):
        try:
            s.order_by(lambda it: key_objects[it.value])
        except exc_type:
            pass


def test_order_by_refcounts_balanced_with_random_less_than():
    rng = random.Random(1)
    items = [Item(v) for v in range(50)]
    key_objects = [RandomLt(rng) for _ in range(50)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *key_objects):
        s.order_by(lambda it: key_objects[it.value])


# --- rev -----------------------------------------------------------------------------------

@pytest.mark.parametrize("items, expected", [
    ([], []),
    ([1], [1]),
    ([1, 2], [2, 1]),
    ([1, 2, 3], [3, 2, 1]),
    ([None, "a", 2.0, None], [None, 2.0, "a", None]),
])
def test_rev_reverses(items, expected):
    s = LumoSeq(items)
    result = s.rev()
    assert result.list() == expected
    assert s.list() == items
    assert result is not s
    assert cursor_of(result) == 0


def test_rev_returns_the_item_objects_themselves():
    items = [Item(1), Item(2), Item(3)]
    result = LumoSeq(items).rev().list()
    assert [id(x) for x in result] == [id(items[2]), id(items[1]), id(items[0])]


def test_rev_reverses_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3, 4]).skip(2)
    result = s.rev()
    assert result.list() == [4, 3, 2, 1]
    assert cursor_of(result) == 0
    assert cursor_of(s) == 2


def test_rev_twice_restores_the_order():
    items = [Item(i) for i in range(7)]
    result = LumoSeq(items).rev().rev().list()
    assert [id(x) for x in result] == [id(i) for i in items]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers()))
def test_rev_matches_reversed(values):
    assert LumoSeq(values).rev().list() == values[::-1]


@pytest.mark.parametrize("call", [lambda s: s.rev(1), lambda s: s.rev(x=1)])
def test_rev_takes_no_arguments(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "rev" in str(excinfo.value)


def test_rev_refcounts_balanced():
    items = [Item(i) for i in range(5)]
    s = LumoSeq(items)
    with refcounts_balanced(*items):
        result = s.rev()
        assert all(sys.getrefcount(x) >= 4 for x in items)
        del result
    with refcounts_balanced(*items):
        with pytest.raises(TypeError):
            s.rev(items[0])


def test_rev_refused_while_skip_holds_the_receiver():
    s = LumoSeq([1, 2, 3])
    seen = []

    class Count:
        def __index__(self):
            try:
                s.rev()
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    assert cursor_of(s.skip(Count())) == 1
    assert seen == ["Already mutably borrowed"]


# --- allocation failures -------------------------------------------------------------------

def test_order_by_fault_sweep():
    fault_sweep(
        setup="""
            items = [3, 1, 4, 5, 2]
            s = LumoSeq(items).skip(2)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.order_by(lambda x: -x)
            assert r.list() == [5, 4, 3, 2, 1]
            return r
        """)


def test_rev_fault_sweep():
    fault_sweep(
        setup="""
            items = [1, 2, 3, 4]
            s = LumoSeq(items).skip(1)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.rev()
            assert r.list() == [4, 3, 2, 1]
            return r
        """)


# Keys that are all exact ints (within 64 bits) or all exact floats are compared natively; the
# result must be exactly Python's stable sort, including ints past 64 bits (Python comparison).
@given(st.one_of(
    st.lists(st.integers(min_value=-2**63, max_value=2**63 - 1), max_size=60),
    st.lists(st.integers(), max_size=60),
    st.lists(st.floats(allow_nan=False), max_size=60),
))
def test_order_by_numeric_keys_matches_sorted(keys):
    items = list(enumerate(keys))
    result = LumoSeq(items).order_by(lambda it: it[1]).list()
    assert result == sorted(items, key=lambda it: it[1])


def test_order_by_float_keys_with_nan_leave_a_permutation():
    items = [float("nan"), 3.0, 1.0, float("nan"), -0.0, 0.0, 2.0]
    result = LumoSeq(items).order_by(lambda x: x).list()
    assert sorted(map(id, result)) == sorted(map(id, items))
