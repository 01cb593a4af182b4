"""join: an inner equi-join on the bytes of the keys' repr, all inner key calls before the first
outer one, output in outer order then inner order, inner keys alive until the join is done, repr
failures reported to the unraisable hook (interrupts raised), and reference balance on every
exit."""
import gc
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, record_unraisable, refcounts_balanced

MESSAGE = "Expected LumoSeq, list, or tuple"


def cursor_of(seq):
    return seq.len() - seq.take(2**64 - 1)[0].len()


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class Printed:
    """A key that prints as the given text and refuses hashing and equality."""

    def __init__(self, text, log=None):
        self.text = text
        self.log = log

    def __repr__(self):
        if self.log is not None:
            self.log.append(self.text)
        return self.text

    def __eq__(self, other):
        raise AssertionError("keys are never compared")

    def __hash__(self):
        raise AssertionError("keys are never hashed")


class Unprintable:
    """A key whose repr raises the exception it was given."""

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        raise self.exc


class Fresh:
    """A key with the default repr (it shows the address) that can be watched by weakref."""


class LyingList(list):
    def __iter__(self):
        raise AssertionError("__iter__ is never called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ is never called")

    def __len__(self):
        raise AssertionError("__len__ is never called")


class LyingTuple(tuple):
    def __iter__(self):
        raise AssertionError("__iter__ is never called")

    def __len__(self):
        raise AssertionError("__len__ is never called")


def pairs_of(result):
    return [(id(a), id(b)) for a, b in result.list()]


def model_join(outer, inner, outer_key, inner_key):
    """Nested loops over the repr texts of the keys."""
    inner_keys = [repr(inner_key(x)) for x in inner]
    out = []
    for a in outer:
        k = repr(outer_key(a))
        out.extend((a, b) for b, kb in zip(inner, inner_keys) if kb == k)
    return out


# --- results -------------------------------------------------------------------------------

def test_join_identity_keys():
    result = LumoSeq([1, 2, 3]).join([2, 3, 4], lambda x: x, lambda x: x)
    assert type(result) is LumoSeq
    assert result.list() == [(2, 2), (3, 3)]
    assert all(type(row) is tuple for row in result.list())
    assert cursor_of(result) == 0


def test_join_repeated_keys_give_every_pairing_in_outer_then_inner_order():
    a1, a2, b1, b2 = Item("a1"), Item("a2"), Item("b1"), Item("b2")
    result = LumoSeq([a1, a2]).join([b1, b2], lambda x: 0, lambda x: 0)
    assert pairs_of(result) == [(id(a1), id(b1)), (id(a1), id(b2)),
                                (id(a2), id(b1)), (id(a2), id(b2))]


def test_join_follows_outer_order_and_inner_order_within_a_key():
    outer = [Item(("x", 1)), Item(("y", 2)), Item(("x", 3)), Item(("z", 4))]
    inner = [Item(("y", "p")), Item(("x", "q")), Item(("w", "r")), Item(("x", "s"))]
    result = LumoSeq(outer).join(inner, lambda it: it.value[0], lambda it: it.value[0])
    assert [(a.value[1], b.value[1]) for a, b in result.list()] == [
        (1, "q"), (1, "s"), (2, "p"), (3, "q"), (3, "s")]


def test_join_unmatched_items_do_not_appear():
    result = LumoSeq([1, 2, 3]).join([4, 5], lambda x: x, lambda x: x)
    assert result.list() == []


def test_join_tuples_hold_the_items_themselves():
    outer = [Item(1), Item(2)]
    inner = [Item(2), Item(1)]
    result = LumoSeq(outer).join(inner, lambda it: it.value, lambda it: it.value)
    assert pairs_of(result) == [(id(outer[0]), id(inner[1])), (id(outer[1]), id(inner[0]))]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-5, 5), max_size=12), st.lists(st.integers(-5, 5), max_size=12),
       st.integers(1, 4))
def test_join_matches_a_nested_loop_model(outer_values, inner_values, modulus):
    outer = [Item(v) for v in outer_values]
    inner = [Item(v) for v in inner_values]
    outer_key = lambda it: it.value % modulus
    inner_key = lambda it: abs(it.value) % modulus
    result = LumoSeq(outer).join(inner, outer_key, inner_key)
    expected = model_join(outer, inner, outer_key, inner_key)
    assert pairs_of(result) == [(id(a), id(b)) for a, b in expected]


# --- key strings ---------------------------------------------------------------------------

def test_join_int_float_bool_and_string_one_never_match():
    keys = [1, 1.0, True, "1"]
    result = LumoSeq([0, 1, 2, 3]).join([0, 1, 2, 3], lambda i: keys[i], lambda i: keys[3 - i])
    assert result.list() == [(0, 3), (1, 2), (2, 1), (3, 0)]
    outer_only = LumoSeq([0, 1, 2, 3]).join([0], lambda i: keys[i], lambda i: 1)
    assert outer_only.list() == [(0, 0)]


def test_join_separate_objects_printing_the_same_match_and_are_never_compared():
    log = []
    outer_keys = [Printed("K", log), Printed("J", log)]
    inner_keys = [Printed("J", log), Printed("K", log), Printed("J", log)]
    result = LumoSeq([0, 1]).join(["p", "q", "r"], lambda i: outer_keys[i],
                                  lambda x: inner_keys["pqr".index(x)])
    assert result.list() == [(0, "q"), (1, "p"), (1, "r")]
    assert log == ["J", "K", "J", "K", "J"]


def test_join_nan_keys_match():
    nan_a, nan_b = float("nan"), float("nan")
    result = LumoSeq(["a"]).join(["b"], lambda x: nan_a, lambda x: nan_b)
    assert result.list() == [("a", "b")]


def test_join_unhashable_keys_match_by_their_repr():
    result = LumoSeq([1, 2]).join([2, 1, 2], lambda x: [x, {"k": x}], lambda x: [x, {"k": x}])
    assert result.list() == [(1, 1), (2, 2), (2, 2)]


def test_join_an_item_as_its_own_default_repr_key_matches_only_itself():
    objs = [Fresh(), Fresh(), Fresh()]
    result = LumoSeq(objs).join([objs[2], objs[0], Fresh()], lambda x: x, lambda x: x)
    assert pairs_of(result) == [(id(objs[0]), id(objs[0])), (id(objs[2]), id(objs[2]))]


@pytest.mark.parametrize("round_", range(5))
def test_join_fresh_default_repr_keys_never_match(round_):
    # Inner keys stay alive until the join is done, so an outer key can never reuse the
    # address (and with it the repr text) of an inner key.
    items = list(range(200))
    result = LumoSeq(items).join(items, lambda x: object(), lambda x: object())
    assert result.list() == []
    result = LumoSeq(items).join(items, lambda x: Fresh(), lambda x: Fresh())
    assert result.list() == []


def test_join_keeps_inner_keys_alive_until_it_is_done():
    inner_refs = []
    alive_during_outer = []

    def inner_key(x):
        key = Fresh()
        inner_refs.append(weakref.ref(key))
        return key

    def outer_key(x):
        gc.collect()
        alive_during_outer.append([r() is not None for r in inner_refs])
        return x

    LumoSeq([1, 2]).join([3, 4, 5], outer_key, inner_key)
    assert alive_during_outer == [[True, True, True], [True, True, True]]
    gc.collect()
    assert [r() for r in inner_refs] == [None, None, None]


def test_join_releases_each_outer_key_before_the_next_outer_call():
    outer_refs = []
    seen = []

    def outer_key(x):
        gc.collect()
        seen.append([r() is None for r in outer_refs])
        key = Fresh()
        outer_refs.append(weakref.ref(key))
        return key

    LumoSeq([1, 2, 3]).join([0], outer_key, lambda x: x)
    assert seen == [[], [True], [True, True]]
    gc.collect()
    assert all(r() is None for r in outer_refs)


def test_join_keys_with_lone_surrogates_match_their_replacement_text():
    outer_keys = [Printed("\ud800"), Printed("x\udfffy"), Printed("\ud800")]
    inner_keys = [Printed("\ufffd\ufffd\ufffd"), Printed("\udbff"), Printed("x\ufffd\ufffd\ufffdy")]
    with record_unraisable() as seen:
        result = LumoSeq([0, 1, 2]).join([0, 1, 2], lambda i: outer_keys[i],
                                         lambda i: inner_keys[i])
    assert result.list() == [(0, 0), (0, 1), (1, 2), (2, 0), (2, 1)]
    assert seen == []


def test_join_key_strings_with_nul_characters_are_matched_whole():
    outer_keys = [Printed("a\x00b"), Printed("a")]
    inner_keys = [Printed("a\x00c"), Printed("a"), Printed("a\x00b")]
    result = LumoSeq([0, 1]).join([0, 1, 2], lambda i: outer_keys[i], lambda i: inner_keys[i])
    assert result.list() == [(0, 2), (1, 1)]


def test_join_non_ascii_keys():
    result = LumoSeq(["é", "e", "日本"]).join(["日本", "é"], lambda x: x, lambda x: x)
    assert result.list() == [("é", "é"), ("日本", "日本")]


# --- repr failures -------------------------------------------------------------------------

@pytest.mark.parametrize("exc_type", [ValueError, RuntimeError, TypeError, LookupError])
def test_join_repr_failure_is_reported_and_uses_the_fallback_text(exc_type):
    raised = [exc_type("inner"), exc_type("outer")]
    bad_inner = Unprintable(raised[0])
    bad_outer = Unprintable(raised[1])
    inner_keys = [Printed("7"), bad_inner]
    outer_keys = [Printed("<unprintable Unprintable object>"), bad_outer, Printed("7")]
    with record_unraisable() as seen:
        result = LumoSeq([0, 1, 2]).join(["p", "q"], lambda i: outer_keys[i],
                                         lambda x: inner_keys["pq".index(x)])
    assert result.list() == [(0, "q"), (1, "q"), (2, "p")]
    assert [(t, o) for t, _, o in seen] == [(exc_type, bad_inner), (exc_type, bad_outer)]
    assert seen[0][1] is raised[0] and seen[1][1] is raised[1]
    assert seen[0][2] is bad_inner and seen[1][2] is bad_outer


def test_join_fallback_names_the_type_of_each_key():
    class Alpha(Unprintable):
        pass

    class Beta(Unprintable):
        pass

    inner_keys = [Alpha(ValueError()), Beta(ValueError()), Printed("<unprintable Beta object>")]
    outer_keys = [Beta(KeyError()), Alpha(KeyError())]
    with record_unraisable() as seen:
        result = LumoSeq([0, 1]).join([0, 1, 2], lambda i: outer_keys[i],
                                      lambda i: inner_keys[i])
    assert result.list() == [(0, 1), (0, 2), (1, 0)]
    assert [o for _, _, o in seen] == [inner_keys[0], inner_keys[1], outer_keys[0],
                                       outer_keys[1]]


def test_join_repr_returning_a_non_string_is_reported():
    class NotAString:
        def __repr__(self):
            return 5

    key = NotAString()
    with record_unraisable() as seen:
        result = LumoSeq([0]).join([1], lambda x: Printed("<unprintable NotAString object>"),
                                   lambda x: key)
    assert result.list() == [(0, 1)]
    assert len(seen) == 1
    assert seen[0][0] is TypeError and seen[0][2] is key


@pytest.mark.parametrize("side", ["inner", "outer"])
def test_join_does_not_swallow_keyboard_interrupt_from_repr(side):
    interrupt = KeyboardInterrupt()
    log = []
    bad = Unprintable(interrupt)

    def inner_key(x):
        log.append(("inner", x))
        return bad if side == "inner" and x == 1 else Printed("k")

    def outer_key(x):
        log.append(("outer", x))
        return bad if side == "outer" and x == 1 else Printed("k")

    s = LumoSeq([0, 1, 2])
    with record_unraisable() as seen:
        with pytest.raises(KeyboardInterrupt) as excinfo:
            s.join([0, 1, 2], outer_key, inner_key)
    assert excinfo.value is interrupt
    assert seen == []
    if side == "inner":
        assert log == [("inner", 0), ("inner", 1)]
    else:
        assert log == [("inner", 0), ("inner", 1), ("inner", 2), ("outer", 0), ("outer", 1)]
    assert s.list() == [0, 1, 2]


# --- calls ---------------------------------------------------------------------------------

def test_join_calls_all_inner_keys_before_the_first_outer_key():
    log = []

    def outer_key(*args, **kwargs):
        log.append(("outer", args, kwargs))
        return args[0] % 2

    def inner_key(*args, **kwargs):
        log.append(("inner", args, kwargs))
        return args[0] % 2

    result = LumoSeq([1, 2, 3]).join([4, 5], outer_key, inner_key)
    assert result.list() == [(1, 5), (2, 4), (3, 5)]
    assert log == [("inner", (4,), {}), ("inner", (5,), {}),
                   ("outer", (1,), {}), ("outer", (2,), {}), ("outer", (3,), {})]


def test_join_computes_each_key_string_once_per_item_inner_side_first():
    log = []
    result = LumoSeq(["a", "b"]).join(["b", "a", "b"], lambda x: Printed("o" + x, log),
                                      lambda x: Printed("o" + x, log))
    assert result.list() == [("a", "a"), ("b", "b"), ("b", "b")]
    assert log == ["ob", "oa", "ob", "oa", "ob"]


def test_join_empty_other_still_calls_outer_key_per_item():
    log = []
    result = LumoSeq([1, 2, 3]).join([], lambda x: log.append(x), None)
    assert result.list() == []
    assert log == [1, 2, 3]


def test_join_empty_other_still_raises_from_outer_key():
    raised = ValueError("outer")
    calls = []

    def outer_key(x):
        calls.append(x)
        if x == 2:
            raise raised
        return x

    with pytest.raises(ValueError) as excinfo:
        LumoSeq([1, 2, 3]).join((), outer_key, None)
    assert excinfo.value is raised
    assert calls == [1, 2]


def test_join_empty_receiver_still_calls_inner_key_per_item():
    log = []
    result = LumoSeq([]).join([1, 2, 3], None, lambda x: log.append(x))
    assert result.list() == []
    assert log == [1, 2, 3]


def test_join_empty_receiver_still_raises_from_inner_key():
    raised = LookupError("inner")

    def inner_key(x):
        raise raised

    with pytest.raises(LookupError) as excinfo:
        LumoSeq([]).join([1], None, inner_key)
    assert excinfo.value is raised


def test_join_both_sides_empty_calls_nothing():
    assert LumoSeq([]).join([], 1, 2).list() == []


@pytest.mark.parametrize("outer, inner, outer_key, inner_key", [
    ([1], [1], lambda x: x, 3),
    ([1], [1], 3, lambda x: x),
    ([1], [], 3, None),
    ([], [1], None, 3),
], ids=["inner-not-callable", "outer-not-callable", "outer-not-callable-empty-inner",
        "inner-not-callable-empty-outer"])
def test_join_non_callable_key_function_fails_at_its_first_call(outer, inner, outer_key,
                                                                inner_key):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(outer).join(inner, outer_key, inner_key)
    assert "not callable" in str(excinfo.value)


def test_join_inner_key_exception_propagates_before_any_outer_call():
    raised = ValueError("inner")
    log = []

    def inner_key(x):
        log.append(("inner", x))
        if x == "q":
            raise raised
        return x

    def outer_key(x):
        log.append(("outer", x))
        return x

    s = LumoSeq(["p", "q"])
    with pytest.raises(ValueError) as excinfo:
        s.join(["p", "q", "r"], outer_key, inner_key)
    assert excinfo.value is raised
    assert log == [("inner", "p"), ("inner", "q")]
    assert s.list() == ["p", "q"]


def test_join_outer_key_exception_propagates_unchanged():
    raised = KeyError("outer")
    log = []

    def outer_key(x):
        log.append(x)
        if x == 2:
            raise raised
        return x

    with pytest.raises(KeyError) as excinfo:
        LumoSeq([1, 2, 3]).join([1, 2, 3], outer_key, lambda x: x)
    assert excinfo.value is raised
    assert log == [1, 2]


# --- the other sequence --------------------------------------------------------------------

@pytest.mark.parametrize("make_other", [
    lambda items: list(items),
    lambda items: tuple(items),
    lambda items: LumoSeq(list(items)),
    lambda items: LumoSeq(list(items)).skip(3),
    lambda items: LyingList(items),
    lambda items: LyingTuple(items),
], ids=["list", "tuple", "LumoSeq", "advanced-LumoSeq", "list-subclass", "tuple-subclass"])
def test_join_accepts_every_sequence_kind(make_other):
    inner = [Item(1), Item(2), Item(1)]
    result = LumoSeq([1, 2]).join(make_other(inner), lambda x: x, lambda it: it.value)
    assert [(a, id(b)) for a, b in result.list()] == [(1, id(inner[0])), (1, id(inner[2])),
                                                       (2, id(inner[1]))]


@pytest.mark.parametrize("other", [
    5, None, "ab", b"ab", {1, 2}, frozenset([1]), {1: 2}, range(3), iter([1]),
    (x for x in [1]), Item(1),
], ids=["int", "None", "str", "bytes", "set", "frozenset", "dict", "range", "iterator",
        "generator", "object"])
def test_join_rejects_other_kinds_before_calling_a_key_function(other):
    log = []
    s = LumoSeq([1, 2])
    with pytest.raises(TypeError) as excinfo:
        s.join(other, lambda x: log.append(("outer", x)), lambda x: log.append(("inner", x)))
    assert str(excinfo.value) == MESSAGE
    assert log == []
    assert s.list() == [1, 2]


def test_join_rejects_other_kinds_even_when_the_receiver_is_empty():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([]).join(5, None, None)
    assert str(excinfo.value) == MESSAGE


def test_join_takes_the_inner_items_before_any_key_function_runs():
    other = [1, 2, 3]

    def inner_key(x):
        other.clear()
        other.extend([9, 9, 9, 9])
        return x

    def outer_key(x):
        other.append(x)
        return x

    result = LumoSeq([3, 2, 9]).join(other, outer_key, inner_key)
    assert result.list() == [(3, 3), (2, 2)]


def test_join_uses_all_items_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3]).skip(2)
    other = LumoSeq([3, 1]).skip(1)
    result = s.join(other, lambda x: x, lambda x: x)
    assert result.list() == [(1, 1), (3, 3)]
    assert cursor_of(result) == 0
    assert cursor_of(s) == 2
    assert cursor_of(other) == 1


def test_join_with_itself_pairs_every_item_with_every_item_of_equal_key():
    items = [Item(1), Item(2), Item(3), Item(4)]
    s = LumoSeq(items)
    result = s.join(s, lambda it: it.value % 2, lambda it: it.value % 2)
    assert [(a.value, b.value) for a, b in result.list()] == [
        (1, 1), (1, 3), (2, 2), (2, 4), (3, 1), (3, 3), (4, 2), (4, 4)]


def test_join_result_is_a_fresh_sequence():
    s = LumoSeq([])
    assert s.join(s, None, None) is not s


# --- binding and access --------------------------------------------------------------------

def test_join_accepts_keywords():
    result = LumoSeq([1, 2]).join(inner_key_func=lambda x: x, other=[2],
                                  outer_key_func=lambda x: x)
    assert result.list() == [(2, 2)]


@pytest.mark.parametrize("call", [
    lambda s: s.join(),
    lambda s: s.join([1]),
    lambda s: s.join([1], lambda x: x),
    lambda s: s.join([1], lambda x: x, lambda x: x, lambda x: x),
    lambda s: s.join([1], lambda x: x, inner_key=lambda x: x),
    lambda s: s.join([1], lambda x: x, lambda x: x, other=[1]),
    lambda s: s.join(other=[1], outer_key_func=lambda x: x),
], ids=["none", "other-only", "missing-inner", "surplus", "unexpected", "other-twice",
        "missing-inner-keywords"])
def test_join_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "join" in str(excinfo.value)


def test_join_key_functions_calling_skip_get_already_borrowed():
    s = LumoSeq([1, 2])
    messages = []

    def key(x):
        try:
            s.skip(1)
        except RuntimeError as e:
            messages.append(str(e))
        return x + s.len()

    assert s.join([1, 2], key, key).list() == [(1, 1), (2, 2)]
    assert messages == ["Already borrowed"] * 4


def test_join_uncaught_already_borrowed_propagates():
    s = LumoSeq([1, 2])
    with pytest.raises(RuntimeError) as excinfo:
        s.join([1], lambda x: s.skip(1), lambda x: x)
    assert str(excinfo.value) == "Already borrowed"
    assert cursor_of(s.skip(1)) == 1


def test_join_key_functions_may_run_join_on_the_receiver():
    s = LumoSeq([1, 2])
    result = s.join([1, 2], lambda x: s.join([x], lambda y: y, lambda y: y).list(),
                    lambda x: [(x, x)])
    assert result.list() == [(1, 1), (2, 2)]


def test_receiver_held_by_skip_refuses_join():
    s = LumoSeq([1, 2])
    caught = []

    class N:
        def __index__(self):
            try:
                s.join([1], lambda x: x, lambda x: x)
            except RuntimeError as e:
                caught.append(str(e))
            return 1

    s.skip(N())
    assert caught == ["Already mutably borrowed"]


# --- references ----------------------------------------------------------------------------

def test_join_refcounts_balanced_on_success():
    outer = [Item(i) for i in range(4)]
    inner = [Item(i) for i in range(3)]
    outer_keys = [Printed(str(i % 2)) for i in range(4)]
    inner_keys = [Printed(str(i % 2)) for i in range(3)]
    outer_key = lambda it: outer_keys[it.value]
    inner_key = lambda it: inner_keys[it.value]
    s = LumoSeq(outer)
    other = LumoSeq(inner)
    with refcounts_balanced(*outer, *inner, *outer_keys, *inner_keys, outer_key, inner_key, s,
                            other):
        result = s.join(other, outer_key, inner_key)
        assert len(result.list()) == 6
        del result
        result = s.join(tuple(inner), outer_key, inner_key)
        del result


@pytest.mark.parametrize("failing", ["inner", "outer", "other", "not-callable"])
def test_join_refcounts_balanced_on_failure(failing):
    outer = [Item(i) for i in range(3)]
    inner = [Item(i) for i in range(3)]
    keys = [Printed(str(i)) for i in range(3)]
    raised = ValueError(failing)

    def outer_key(it):
        if failing == "outer" and it.value == 2:
            raise raised
        return keys[it.value]

    def inner_key(it):
        if failing == "inner" and it.value == 2:
            raise raised
        return keys[it.value]

    other = {"other": 5, "not-callable": inner}.get(failing, inner)
    inner_func = 5 if failing == "not-callable" else inner_key
    s = LumoSeq(outer)
    with refcounts_balanced(*outer, *inner, *keys, outer_key, inner_key, s):
        with pytest.raises((ValueError, TypeError)) as excinfo:
            s.join(other, outer_key, inner_func)
        if failing in ("inner", "outer"):
            assert excinfo.value is raised
        raised.__traceback__ = None  # its frames hold the failing item and key function
        excinfo = None


@pytest.mark.parametrize("side", ["inner", "outer"])
def test_join_refcounts_balanced_when_repr_raises_keyboard_interrupt(side):
    class InterruptingRepr:
        def __repr__(self):
            raise KeyboardInterrupt

    items = [Item(i) for i in range(3)]
    keys = [Printed("a"), InterruptingRepr(), Printed("b")]
    plain = lambda it: Printed("a")
    chosen = lambda it: keys[it.value]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *keys, s):
        with record_unraisable() as seen:
            with pytest.raises(KeyboardInterrupt):
                if side == "inner":
                    s.join(items, plain, chosen)
                else:
                    s.join(items, chosen, plain)
    assert seen == []


def test_join_refcounts_balanced_when_repr_fails_ordinarily():
    class FailingRepr:
        def __repr__(self):
            raise ValueError("fresh")

    items = [Item(i) for i in range(3)]
    keys = [FailingRepr(), Printed("a"), FailingRepr()]
    s = LumoSeq(items)
    with refcounts_balanced(*items, *keys, s):
        with record_unraisable() as seen:
            result = s.join(items, lambda it: keys[it.value], lambda it: keys[it.value])
        assert [(a.value, b.value) for a, b in result.list()] == [
            (0, 0), (0, 2), (1, 1), (2, 0), (2, 2)]
        assert len(seen) == 4  # keys 0 and 2, once on each side
        del result
        seen.clear()


def test_join_releases_every_key_after_a_failure():
    refs = []

    def key(x):
        k = Fresh()
        refs.append(weakref.ref(k))
        if x == 3:
            raise ValueError("stop")
        return k

    with pytest.raises(ValueError):
        LumoSeq([1, 2, 3]).join([1, 2], key, key)
    gc.collect()
    assert len(refs) == 5
    assert all(r() is None for r in refs)


# --- allocation failures -------------------------------------------------------------------

def test_join_fault_sweep():
    fault_sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4]).skip(1)
            other = LumoSeq([2, 4, 6]).skip(2)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len(),
                        other.list(), other.len() - other.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.join(other, lambda x: x % 2, lambda x: x % 4)
            assert r.list() == [(2, 4), (4, 4)]
            return r
        """)
