"""aggregate, min_by and max_by: a left fold with an optional seed, extremes by strict rich
comparison of keys with the new key on the left, the earliest item winning ties, truth-test
failures discarded (interrupts raised), and reference balance on every exit."""
import functools
import gc
import math
import sys
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced

EMPTY_MESSAGE = "Cannot aggregate an empty sequence"


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class Key:
    """A key that logs every comparison as (operator, left value, right value)."""

    def __init__(self, value, log):
        self.value = value
        self.log = log

    def __lt__(self, other):
        self.log.append(("<", self.value, other.value))
        return self.value < other.value

    def __gt__(self, other):
        self.log.append((">", self.value, other.value))
        return self.value > other.value

    def __repr__(self):
        return f"Key({self.value!r})"


class Verdict:
    """A comparison result whose truth test raises the exception it was given."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class Judged:
    """A key whose comparisons answer with the object it was given."""

    def __init__(self, answer, log=None):
        self.answer = answer
        self.log = log

    def __lt__(self, other):
        if self.log is not None:
            self.log.append("<")
        return self.answer

    __gt__ = __lt__


class Watched:
    """A key that can be observed by weakref and compares by value."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value

    def __gt__(self, other):
        return self.value > other.value


def add_logged(log):
    def add(*args, **kwargs):
        log.append((args, kwargs))
        return args[0] + args[1]
    return add


# --- aggregate -----------------------------------------------------------------------------

def test_aggregate_without_seed_folds_from_the_first_item():
    log = []
    assert LumoSeq([1, 2, 3]).aggregate(add_logged(log)) == 6
    assert log == [((1, 2), {}), ((3, 3), {})]


def test_aggregate_with_seed_folds_every_item():
    log = []
    assert LumoSeq([1, 2, 3]).aggregate(add_logged(log), 10) == 16
    assert log == [((10, 1), {}), ((11, 2), {}), ((13, 3), {})]


@pytest.mark.parametrize("call", [
    lambda s, f: s.aggregate(f),
    lambda s, f: s.aggregate(f, None),
    lambda s, f: s.aggregate(f, seed=None),
    lambda s, f: s.aggregate(func=f),
    lambda s, f: s.aggregate(seed=None, func=f),
], ids=["default", "None", "None-keyword", "func-keyword", "both-keywords"])
def test_aggregate_none_seed_means_no_seed(call):
    log = []
    assert call(LumoSeq(["a", "b", "c"]), add_logged(log)) == "abc"
    assert log == [(("a", "b"), {}), (("ab", "c"), {})]


def test_aggregate_seed_by_keyword():
    assert LumoSeq(["b"]).aggregate(seed="a", func=lambda acc, x: acc + x) == "ab"


def test_aggregate_single_item_without_seed_returns_it_without_calling():
    item = Item(1)
    log = []
    assert LumoSeq([item]).aggregate(add_logged(log)) is item
    assert log == []
    assert LumoSeq([item]).aggregate(5) is item


def test_aggregate_single_item_with_seed_calls_once():
    seed, item, out = Item("seed"), Item("x"), Item("out")
    log = []

    def f(acc, x):
        log.append((acc, x))
        return out

    assert LumoSeq([item]).aggregate(f, seed) is out
    assert log == [(seed, item)]


@pytest.mark.parametrize("call", [
    lambda s: s.aggregate(lambda a, b: a),
    lambda s: s.aggregate(lambda a, b: a, 10),
    lambda s: s.aggregate(lambda a, b: a, None),
    lambda s: s.aggregate(None, 0),
    lambda s: s.aggregate(5),
], ids=["no-seed", "seed", "None-seed", "non-callable-seed", "non-callable"])
def test_aggregate_empty_sequence_raises(call):
    with pytest.raises(ValueError) as excinfo:
        call(LumoSeq([]))
    assert str(excinfo.value) == EMPTY_MESSAGE


def test_aggregate_returns_exactly_what_func_returned():
    results = [Item("r1"), Item("r2")]
    seen = []

    def f(acc, x):
        seen.append(acc)
        return results[len(seen) - 1]

    first = Item("first")
    assert LumoSeq([first, 1, 2]).aggregate(f) is results[1]
    assert seen[0] is first and seen[1] is results[0]


def test_aggregate_none_is_a_valid_accumulator():
    log = []

    def f(acc, x):
        log.append((acc, x))
        return None

    assert LumoSeq([1, 2, 3]).aggregate(f) is None
    assert log == [(1, 2), (None, 3)]
    assert LumoSeq([1]).aggregate(f, 0) is None


def test_aggregate_folds_left_to_right():
    assert LumoSeq([1, 2, 3, 4]).aggregate(lambda acc, x: f"({acc}-{x})") == "(((1-2)-3)-4)"
    assert LumoSeq([1, 2]).aggregate(lambda acc, x: f"({acc}-{x})", "s") == "((s-1)-2)"


def test_aggregate_uses_all_items_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3, 4]).skip(3)
    assert s.aggregate(lambda a, b: a * 10 + b) == 1234


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(), min_size=1), st.one_of(st.none(), st.integers()))
def test_aggregate_matches_functools_reduce(values, seed):
    f = lambda acc, x: acc * 3 - x
    expected = functools.reduce(f, values) if seed is None else functools.reduce(f, values, seed)
    assert LumoSeq(values).aggregate(f, seed) == expected


def test_aggregate_exception_propagates_unchanged_and_stops():
    raised = ValueError("fold")
    log = []

    def f(acc, x):
        log.append(x)
        if x == 3:
            raise raised
        return acc + x

    s = LumoSeq([1, 2, 3, 4])
    with pytest.raises(ValueError) as excinfo:
        s.aggregate(f)
    assert excinfo.value is raised
    assert log == [2, 3]
    assert s.list() == [1, 2, 3, 4]


def test_aggregate_non_callable_fails_at_the_first_call():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, 2]).aggregate(5)
    assert "not callable" in str(excinfo.value)
    with pytest.raises(TypeError):
        LumoSeq([1]).aggregate(5, 0)


@pytest.mark.parametrize("call", [
    lambda s: s.aggregate(),
    lambda s: s.aggregate(seed=1),
    lambda s: s.aggregate(lambda a, b: a, 1, 2),
    lambda s: s.aggregate(lambda a, b: a, start=1),
    lambda s: s.aggregate(lambda a, b: a, func=lambda a, b: a),
], ids=["missing", "seed-only", "surplus", "unexpected", "func-twice"])
def test_aggregate_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1, 2]))
    assert "aggregate" in str(excinfo.value)


def test_aggregate_callback_calling_skip_gets_already_borrowed():
    s = LumoSeq([1, 2, 3])
    messages = []

    def f(acc, x):
        try:
            s.skip(1)
        except RuntimeError as e:
            messages.append(str(e))
        return acc + x + s.len()

    assert s.aggregate(f) == 12
    assert messages == ["Already borrowed"] * 2
    with pytest.raises(RuntimeError) as excinfo:
        s.aggregate(lambda acc, x: s.skip(1))
    assert str(excinfo.value) == "Already borrowed"


def test_aggregate_callback_may_aggregate_the_receiver():
    s = LumoSeq([1, 2, 3])
    assert s.aggregate(lambda acc, x: acc + s.aggregate(lambda a, b: a + b)) == 13


def test_aggregate_releases_each_replaced_accumulator():
    refs = []
    alive = []

    def f(acc, x):
        gc.collect()
        alive.append([r() is not None for r in refs])
        new = Item(x)
        refs.append(weakref.ref(new))
        return new

    result = LumoSeq([0, 1, 2, 3]).aggregate(f)
    assert result.value == 3
    # only the accumulator being passed in is alive; every earlier one is gone
    assert alive == [[], [True], [False, True]]
    del result
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


# --- min_by and max_by ---------------------------------------------------------------------

@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_empty_sequence_gives_none_without_calling(method):
    log = []
    assert getattr(LumoSeq([]), method)(lambda x: log.append(x)) is None
    assert getattr(LumoSeq([]), method)(5) is None
    assert log == []


@pytest.mark.parametrize("method, items, expected", [
    ("min_by", ["bb", "a", "c"], "a"),
    ("max_by", ["a", "bb", "cc"], "bb"),
    ("min_by", ["ccc", "bb", "a"], "a"),
    ("max_by", ["a", "bb", "ccc"], "ccc"),
    ("min_by", ["x"], "x"),
    ("max_by", ["a", "b", "c"], "a"),
    ("min_by", ["a", "b", "c"], "a"),
])
def test_extremes_by_len(method, items, expected):
    items = [Item(s) for s in items]
    result = getattr(LumoSeq(items), method)(lambda it: len(it.value))
    assert result is items[[it.value for it in items].index(expected)]


def test_result_is_the_item_not_its_key():
    items = [Item(3), Item(1), Item(2)]
    assert LumoSeq(items).min_by(lambda it: it.value) is items[1]
    assert LumoSeq(items).max_by(lambda it: it.value) is items[0]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_key_selector_called_once_per_item_with_one_positional_argument(method):
    log = []

    def key(*args, **kwargs):
        log.append((args, kwargs))
        return args[0]

    getattr(LumoSeq([3, 1, 2]), method)(key)
    assert log == [((3,), {}), ((1,), {}), ((2,), {})]


@pytest.mark.parametrize("method, op", [("min_by", "<"), ("max_by", ">")])
def test_new_key_is_compared_on_the_left_against_the_best(method, op):
    log = []
    values = [5, 3, 8, 3, 1]
    getattr(LumoSeq(values), method)(lambda v: Key(v, log))
    if method == "min_by":
        assert log == [("<", 3, 5), ("<", 8, 3), ("<", 3, 3), ("<", 1, 3)]
    else:
        assert log == [(">", 3, 5), (">", 8, 5), (">", 3, 8), (">", 1, 8)]


@pytest.mark.parametrize("method, reflected", [("min_by", "__gt__"), ("max_by", "__lt__")])
def test_comparison_reflects_to_the_best_key(method, reflected):
    log = []

    class Left:
        def __lt__(self, other):
            log.append("Left.__lt__")
            return NotImplemented

        __gt__ = __lt__

    class Best:
        def __gt__(self, other):
            log.append("Best.__gt__")
            return True

        def __lt__(self, other):
            log.append("Best.__lt__")
            return True

    items = [Item(0), Item(1)]
    keys = [Best(), Left()]
    result = getattr(LumoSeq(items), method)(lambda it: keys[it.value])
    assert result is items[1]
    assert log == ["Left.__lt__", "Best." + reflected]


def test_min_by_comparison_error_propagates():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, "a"]).min_by(lambda x: x)
    assert "'<' not supported" in str(excinfo.value)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, "a"]).max_by(lambda x: x)
    assert "'>' not supported" in str(excinfo.value)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_comparison_exception_propagates_unchanged(method):
    raised = ArithmeticError("compare")
    log = []

    class Raising:
        def __lt__(self, other):
            raise raised

        __gt__ = __lt__

    def key(x):
        log.append(x)
        return Raising() if x == 2 else Judged(False)

    with pytest.raises(ArithmeticError) as excinfo:
        getattr(LumoSeq([1, 2, 3]), method)(key)
    assert excinfo.value is raised
    assert log == [1, 2]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_nan_keys(method):
    nan = math.nan
    items = [Item(v) for v in [nan, 1.0, 0.5]]
    assert getattr(LumoSeq(items), method)(lambda it: it.value) is items[0]
    items = [Item(v) for v in [1.0, nan, 0.5]]
    expected = items[2] if method == "min_by" else items[0]
    assert getattr(LumoSeq(items), method)(lambda it: it.value) is expected


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_unordered_keys_never_displace_the_best(method):
    items = [Item({1}), Item({2}), Item({3})]
    assert getattr(LumoSeq(items), method)(lambda it: it.value) is items[0]
    items = [Item({1}), Item({2}), Item(set()), Item({1, 2, 3})]
    expected = items[2] if method == "min_by" else items[3]
    assert getattr(LumoSeq(items), method)(lambda it: it.value) is expected


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_equal_keys_keep_the_earliest_item(method):
    items = [Item(i) for i in range(5)]
    keys = [2, 1, 2, 1, 2] if method == "min_by" else [1, 2, 1, 2, 1]
    assert getattr(LumoSeq(items), method)(lambda it: keys[it.value]) is items[1]
    assert getattr(LumoSeq(items), method)(lambda it: 0) is items[0]
    zeros = [0.0, -0.0]
    assert getattr(LumoSeq(items[:2]), method)(lambda it: zeros[it.value]) is items[0]


@pytest.mark.parametrize("exc", [ValueError("bool"), TypeError("bool"), RuntimeError("bool"),
                                 ZeroDivisionError("bool")], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_truth_test_errors_are_discarded_and_count_as_false(method, exc):
    log = []
    items = [Item(0), Item(1), Item(2)]
    keys = [Judged(True, log), Judged(Verdict(exc), log), Judged(True, log)]
    result = getattr(LumoSeq(items), method)(lambda it: keys[it.value])
    assert result is items[2]
    assert log == ["<", "<"]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_truth_test_error_never_reaches_the_caller_or_a_later_exception(method):
    raised = KeyError("later")

    def key(it):
        if it.value == 2:
            raise raised
        return Judged(Verdict(ValueError("discarded")))

    with pytest.raises(KeyError) as excinfo:
        getattr(LumoSeq([Item(0), Item(1), Item(2)]), method)(key)
    assert excinfo.value is raised
    assert excinfo.value.__context__ is None


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_truth_test_interrupt_propagates(method):
    interrupt = KeyboardInterrupt()
    log = []

    def key(it):
        log.append(it.value)
        return Judged(Verdict(interrupt)) if it.value == 1 else Judged(True)

    with pytest.raises(KeyboardInterrupt) as excinfo:
        getattr(LumoSeq([Item(0), Item(1), Item(2)]), method)(key)
    assert excinfo.value is interrupt
    assert log == [0, 1]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_truthy_results_other_than_bool_are_accepted(method):
    items = [Item(0), Item(1), Item(2)]
    answers = [Judged([]), Judged([1]), Judged(0)]
    assert getattr(LumoSeq(items), method)(lambda it: answers[it.value]) is items[1]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_key_selector_exception_propagates_unchanged(method):
    raised = LookupError("key")
    log = []

    def key(x):
        log.append(x)
        if x == 2:
            raise raised
        return x

    s = LumoSeq([1, 2, 3])
    with pytest.raises(LookupError) as excinfo:
        getattr(s, method)(key)
    assert excinfo.value is raised
    assert log == [1, 2]
    assert s.list() == [1, 2, 3]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_first_key_exception_propagates_unchanged(method):
    raised = ValueError("first")

    def key(x):
        raise raised

    with pytest.raises(ValueError) as excinfo:
        getattr(LumoSeq([1]), method)(key)
    assert excinfo.value is raised


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_non_callable_key_selector_fails_at_the_first_call(method):
    with pytest.raises(TypeError) as excinfo:
        getattr(LumoSeq([1]), method)(5)
    assert "not callable" in str(excinfo.value)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_advanced_receiver_still_considers_skipped_items(method):
    s = LumoSeq([9, 1, 5, 4, 6]).skip(2)
    assert getattr(s, method)(lambda x: x) == (1 if method == "min_by" else 9)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_key_selector_accepted_by_keyword(method):
    assert getattr(LumoSeq([2, 1, 3]), method)(key_selector=lambda x: -x) == (
        3 if method == "min_by" else 1)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
@pytest.mark.parametrize("call", [
    lambda m: m(),
    lambda m: m(lambda x: x, lambda x: x),
    lambda m: m(key=lambda x: x),
    lambda m: m(lambda x: x, key_selector=lambda x: x),
], ids=["missing", "surplus", "unexpected", "twice"])
def test_binding_errors_name_the_method(method, call):
    with pytest.raises(TypeError) as excinfo:
        call(getattr(LumoSeq([1]), method))
    assert method in str(excinfo.value)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_key_selector_calling_skip_gets_already_borrowed(method):
    s = LumoSeq([3, 1, 2])
    messages = []

    def key(x):
        try:
            s.skip(1)
        except RuntimeError as e:
            messages.append(str(e))
        return x * s.len()

    assert getattr(s, method)(key) == (1 if method == "min_by" else 3)
    assert messages == ["Already borrowed"] * 3


@pytest.mark.parametrize("method", ["min_by", "max_by", "aggregate"])
def test_receiver_held_by_skip_refuses_folding(method):
    s = LumoSeq([1, 2])
    caught = []

    class N:
        def __index__(self):
            try:
                getattr(s, method)(lambda *args: 0)
            except RuntimeError as e:
                caught.append(str(e))
            return 1

    s.skip(N())
    assert caught == ["Already mutably borrowed"]


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_losing_keys_are_released_before_the_next_key_is_computed(method):
    refs = []
    alive = []
    values = [5, 3, 8, 1, 9, 2] if method == "min_by" else [1, 3, 0, 9, 2, 4]

    def key(v):
        gc.collect()
        alive.append([r() is not None for r in refs])
        k = Watched(v)
        refs.append(weakref.ref(k))
        return k

    getattr(LumoSeq(values), method)(key)
    # before the key of item i is made, only the key of the best item so far is alive
    expected = [[]]
    best = 0
    for i in range(1, len(values)):
        expected.append([j == best for j in range(i)])
        wins = values[i] < values[best] if method == "min_by" else values[i] > values[best]
        if wins:
            best = i
    assert alive == expected
    gc.collect()
    assert all(r() is None for r in refs)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-5, 5), min_size=1))
def test_min_by_and_max_by_match_builtins(values):
    items = [Item(v) for v in values]
    key = lambda it: it.value * it.value - it.value
    assert LumoSeq(items).min_by(key) is min(items, key=key)
    assert LumoSeq(items).max_by(key) is max(items, key=key)


# --- references ----------------------------------------------------------------------------

def test_aggregate_refcounts_balanced_on_success():
    items = [Item(i) for i in range(4)]
    seed = Item("seed")
    out = Item("out")
    func = lambda acc, x: out
    s = LumoSeq(items)
    with refcounts_balanced(*items, seed, out, func, s):
        assert s.aggregate(func) is out
        assert s.aggregate(func, seed) is out
        assert LumoSeq([items[0]]).aggregate(func) is items[0]


@pytest.mark.parametrize("with_seed", [False, True])
def test_aggregate_refcounts_balanced_on_failure(with_seed):
    items = [Item(i) for i in range(4)]
    seed = Item("seed") if with_seed else None
    partial = Item("partial")

    def func(acc, x):
        if x is items[2]:
            raise ValueError("fold")
        return partial

    s = LumoSeq(items)
    with refcounts_balanced(*items, seed, partial, func, s):
        with pytest.raises(ValueError):
            s.aggregate(func, seed)
        with pytest.raises(ValueError):
            LumoSeq([]).aggregate(func, seed)
        with pytest.raises(TypeError):
            s.aggregate(seed)


@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_extremes_refcounts_balanced_on_success(method):
    items = [Item(i) for i in range(5)]
    keys = [Watched(v) for v in [3, 1, 4, 1, 5]]
    key = lambda it: keys[it.value]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *keys, key, s):
        result = getattr(s, method)(key)
        assert result is (items[1] if method == "min_by" else items[4])
        del result


@pytest.mark.parametrize("where", ["key", "compare", "bool-ordinary", "bool-interrupt"])
@pytest.mark.parametrize("method", ["min_by", "max_by"])
def test_extremes_refcounts_balanced_on_failure(method, where):
    items = [Item(i) for i in range(4)]
    verdict = Verdict(KeyboardInterrupt() if where == "bool-interrupt" else ValueError("v"))

    class Raising:
        def __lt__(self, other):
            raise ArithmeticError("compare")

        __gt__ = __lt__

    keys = [Judged(True), Judged(True),
            {"key": None, "compare": Raising(), "bool-ordinary": Judged(verdict),
             "bool-interrupt": Judged(verdict)}[where],
            Judged(False)]

    def key(it):
        if where == "key" and it.value == 2:
            raise LookupError("key")
        return keys[it.value]

    s = LumoSeq(items)
    with refcounts_balanced(*items, *keys, verdict, key, s):
        if where == "bool-ordinary":
            assert getattr(s, method)(key) is items[1]
        else:
            with pytest.raises((LookupError, ArithmeticError, KeyboardInterrupt)):
                getattr(s, method)(key)
        verdict.exc.__traceback__ = None  # its frames hold the verdict


# --- allocation failures -------------------------------------------------------------------

FOLD_SETUP = """
    items = [3, 1, 4, 1, 5]
    s = LumoSeq(items).skip(3)
    def snapshot():
        return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
"""


def test_aggregate_fault_sweep():
    fault_sweep(setup=FOLD_SETUP, call="""
        r = s.aggregate(lambda acc, x: (acc, x), 0)
        assert r == (((((0, 3), 1), 4), 1), 5)
        return r
    """)


def test_min_by_fault_sweep():
    fault_sweep(setup=FOLD_SETUP, call="""
        r = s.min_by(lambda x: -x)
        assert r == 5
        return r
    """)


def test_max_by_fault_sweep():
    fault_sweep(setup=FOLD_SETUP, call="""
        r = s.max_by(lambda x: [x])
        assert r == 5
        return r
    """)
