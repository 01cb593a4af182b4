"""zip and zips: position-by-position tuples of the items themselves, cut at the shortest input or
filled with None up to the longest, the kinds of argument accepted, the order of the argument
checks, and reference balance on every exit."""
import itertools
import re

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced

ZIP_MESSAGE = "Expected LumoSeq, list, or tuple for zip operation"
ZIPS_MESSAGE = "Expected sequences (LumoSeq, list, or tuple) for zip operation"


def cursor_of(seq):
    return seq.len() - seq.take(2**64 - 1)[0].len()


def names_parameter(message, name):
    return re.search(rf"\b{name}\b", message) is not None


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class Truthy:
    def __bool__(self):
        return True


def numpy_lookalike(name="bool_", module="numpy"):
    """A class that poses as a NumPy boolean scalar type; instances carry their truth."""
    return type(name, (), {"__module__": module,
                           "__init__": lambda self, truth: setattr(self, "truth", truth),
                           "__bool__": lambda self: self.truth})


class LyingList(list):
    """A list whose Python-level protocol lies about its contents."""

    def __iter__(self):
        raise AssertionError("__iter__ is never called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ is never called")

    def __len__(self):
        raise AssertionError("__len__ is never called")


class LyingTuple(tuple):
    def __iter__(self):
        raise AssertionError("__iter__ is never called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ is never called")

    def __len__(self):
        raise AssertionError("__len__ is never called")


def identities(seq):
    return [tuple(id(x) for x in row) for row in seq.list()]


# --- zip: results --------------------------------------------------------------------------

@pytest.mark.parametrize("receiver, other, until_exhausted, expected", [
    ([1, 2], [10, 20, 30], False, [(1, 10), (2, 20)]),
    ([1, 2], [10, 20, 30], True, [(1, 10), (2, 20), (None, 30)]),
    ([1, 2, 3], [10], False, [(1, 10)]),
    ([1, 2, 3], [10], True, [(1, 10), (2, None), (3, None)]),
    ([1, 2], [], False, []),
    ([1, 2], [], True, [(1, None), (2, None)]),
    ([], [7, 8], False, []),
    ([], [7, 8], True, [(None, 7), (None, 8)]),
    ([], [], False, []),
    ([], [], True, []),
    ([1, 2], [3, 4], True, [(1, 3), (2, 4)]),
    ([None], [], True, [(None, None)]),
])
def test_zip(receiver, other, until_exhausted, expected):
    result = LumoSeq(receiver).zip(other, until_exhausted)
    assert type(result) is LumoSeq
    assert result.list() == expected
    assert all(type(row) is tuple for row in result.list())
    assert cursor_of(result) == 0


@pytest.mark.parametrize("call", [
    lambda s, o: s.zip(o),
    lambda s, o: s.zip(o, False),
    lambda s, o: s.zip(o, until_exhausted=False),
    lambda s, o: s.zip(other=o),
    lambda s, o: s.zip(until_exhausted=False, other=o),
], ids=["default", "positional", "keyword", "other-keyword", "both-keywords"])
def test_zip_default_and_explicit_false_agree(call):
    assert call(LumoSeq([1, 2, 3]), [4, 5]).list() == [(1, 4), (2, 5)]


@pytest.mark.parametrize("call", [
    lambda s, o: s.zip(o, True),
    lambda s, o: s.zip(o, until_exhausted=True),
    lambda s, o: s.zip(until_exhausted=True, other=o),
])
def test_zip_until_exhausted_by_position_or_keyword(call):
    assert call(LumoSeq([1]), [4, 5]).list() == [(1, 4), (None, 5)]


def test_zip_tuples_hold_the_items_themselves():
    left = [Item(0), Item(1), Item(2)]
    right = [Item("a"), Item("b")]
    result = LumoSeq(left).zip(right, until_exhausted=True)
    assert identities(result) == [(id(left[0]), id(right[0])), (id(left[1]), id(right[1])),
                                  (id(left[2]), id(None))]


@pytest.mark.parametrize("make_other", [
    lambda items: list(items),
    lambda items: tuple(items),
    lambda items: LumoSeq(list(items)),
    lambda items: LumoSeq(list(items)).skip(2),
    lambda items: LyingList(items),
    lambda items: LyingTuple(items),
], ids=["list", "tuple", "LumoSeq", "advanced-LumoSeq", "list-subclass", "tuple-subclass"])
def test_zip_accepts_every_sequence_kind(make_other):
    right = [Item("a"), Item("b"), Item("c")]
    other = make_other(right)
    result = LumoSeq([1, 2, 3]).zip(other)
    assert [(a, id(b)) for a, b in result.list()] == [(1, id(right[0])), (2, id(right[1])),
                                                       (3, id(right[2]))]


def test_zip_uses_all_items_of_advanced_sequences_and_leaves_their_cursors():
    s = LumoSeq([1, 2, 3, 4]).skip(3)
    other = LumoSeq(["a", "b", "c"]).skip(2)
    result = s.zip(other, until_exhausted=True)
    assert result.list() == [(1, "a"), (2, "b"), (3, "c"), (4, None)]
    assert cursor_of(result) == 0
    assert cursor_of(s) == 3
    assert cursor_of(other) == 2


def test_zip_with_itself_pairs_each_item_with_itself():
    items = [Item(0), Item(1)]
    s = LumoSeq(items).skip(1)
    result = s.zip(s)
    assert identities(result) == [(id(items[0]), id(items[0])), (id(items[1]), id(items[1]))]
    assert cursor_of(s) == 1


def test_zip_result_is_a_fresh_sequence():
    s = LumoSeq([])
    assert s.zip([]) is not s
    assert s.zip(s) is not s


def test_zip_does_not_see_later_changes_of_a_list_argument():
    other = [1, 2]
    result = LumoSeq(["a", "b", "c"]).zip(other, until_exhausted=True)
    other.append(3)
    other[0] = 99
    assert result.list() == [("a", 1), ("b", 2), ("c", None)]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers()), st.lists(st.integers()), st.booleans())
def test_zip_matches_itertools(left, right, until_exhausted):
    result = LumoSeq(left).zip(right, until_exhausted=until_exhausted)
    if until_exhausted:
        expected = list(itertools.zip_longest(left, right))
    else:
        expected = list(zip(left, right))
    assert result.list() == expected


# --- zip: argument checks ------------------------------------------------------------------

@pytest.mark.parametrize("other", [
    None, 5, "ab", b"ab", {1, 2}, frozenset([1]), {1: 2}, range(3), iter([1]),
    (x for x in [1]), bytearray(b"a"), Item(1),
], ids=["None", "int", "str", "bytes", "set", "frozenset", "dict", "range", "iterator",
        "generator", "bytearray", "object"])
def test_zip_rejects_other_kinds(other):
    s = LumoSeq([1, 2])
    with pytest.raises(TypeError) as excinfo:
        s.zip(other)
    assert str(excinfo.value) == ZIP_MESSAGE
    assert s.list() == [1, 2]


@pytest.mark.parametrize("other", [5, "ab"])
def test_zip_rejects_other_kinds_even_for_an_empty_receiver(other):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([]).zip(other, until_exhausted=True)
    assert str(excinfo.value) == ZIP_MESSAGE


@pytest.mark.parametrize("flag", [1, 0, None, "", "yes", [], 1.0, Truthy(),
                                  numpy_lookalike(module="numpy.fake")(True),
                                  numpy_lookalike(name="boolean")(True)],
                         ids=["1", "0", "None", "empty-str", "str", "list", "float", "truthy",
                              "other-module", "other-name"])
def test_zip_until_exhausted_must_be_a_strict_boolean(flag):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).zip([2], until_exhausted=flag)
    assert names_parameter(str(excinfo.value), "until_exhausted")


def test_zip_until_exhausted_error_carries_the_rule_as_cause():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).zip([2], 1)
    message = str(excinfo.value)
    assert names_parameter(message, "until_exhausted")
    assert "'int' object cannot be converted to 'PyBool'" in message
    assert type(excinfo.value.__cause__) is TypeError
    assert str(excinfo.value.__cause__) == "'int' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("truth, expected", [
    (True, [(1, 2), (None, 3)]),
    (False, [(1, 2)]),
])
def test_zip_until_exhausted_accepts_a_numpy_boolean_lookalike(truth, expected):
    for name in ("bool_", "bool"):
        flag = numpy_lookalike(name=name)(truth)
        assert LumoSeq([1]).zip([2, 3], until_exhausted=flag).list() == expected


def test_zip_until_exhausted_accepts_real_numpy_booleans():
    numpy = pytest.importorskip("numpy")
    assert LumoSeq([1]).zip([2, 3], numpy.True_).list() == [(1, 2), (None, 3)]
    assert LumoSeq([1]).zip([2, 3], numpy.False_).list() == [(1, 2)]


def test_zip_checks_until_exhausted_before_other():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).zip(5, until_exhausted=1)
    assert names_parameter(str(excinfo.value), "until_exhausted")
    assert str(excinfo.value) != ZIP_MESSAGE


@pytest.mark.parametrize("call", [
    lambda s: s.zip(),
    lambda s: s.zip(until_exhausted=True),
    lambda s: s.zip([1], True, 3),
    lambda s: s.zip([1], until=True),
    lambda s: s.zip([1], other=[2]),
    lambda s: s.zip([1], True, until_exhausted=True),
], ids=["missing", "missing-other", "surplus", "unexpected", "other-twice", "flag-twice"])
def test_zip_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "zip" in str(excinfo.value)


# --- zips: results -------------------------------------------------------------------------

@pytest.mark.parametrize("receiver, others, until_exhausted, expected", [
    ([0, 5, 9], [[1, 2], (3,)], False, [(0, 1, 3)]),
    ([0, 5, 9], [[1, 2], (3,)], True, [(0, 1, 3), (5, 2, None), (9, None, None)]),
    ([1, 2], [], False, [(1,), (2,)]),
    ([1, 2], [], True, [(1,), (2,)]),
    ([], [], False, []),
    ([], [], True, []),
    ([], [[1], (2, 3)], False, []),
    ([], [[1], (2, 3)], True, [(None, 1, 2), (None, None, 3)]),
    ([1, 2], [[]], False, []),
    ([1, 2], [[]], True, [(1, None), (2, None)]),
    ([1], [[2], [3], [4], [5]], False, [(1, 2, 3, 4, 5)]),
    ([1, 2, 3], [[4, 5, 6], (7, 8, 9)], False, [(1, 4, 7), (2, 5, 8), (3, 6, 9)]),
    ([1, 2, 3], [[4, 5, 6], (7, 8, 9)], True, [(1, 4, 7), (2, 5, 8), (3, 6, 9)]),
    ([1], [[], [2, 3]], True, [(1, None, 2), (None, None, 3)]),
])
def test_zips(receiver, others, until_exhausted, expected):
    result = LumoSeq(receiver).zips(others, until_exhausted)
    assert type(result) is LumoSeq
    assert result.list() == expected
    assert all(type(row) is tuple for row in result.list())
    assert cursor_of(result) == 0


@pytest.mark.parametrize("call", [
    lambda s, o: s.zips(o),
    lambda s, o: s.zips(o, False),
    lambda s, o: s.zips(others=o),
    lambda s, o: s.zips(until_exhausted=False, others=o),
])
def test_zips_default_and_explicit_false_agree(call):
    assert call(LumoSeq([1, 2, 3]), [[4, 5], (6, 7, 8)]).list() == [(1, 4, 6), (2, 5, 7)]


@pytest.mark.parametrize("call", [
    lambda s, o: s.zips(o, True),
    lambda s, o: s.zips(o, until_exhausted=True),
    lambda s, o: s.zips(until_exhausted=True, others=o),
])
def test_zips_until_exhausted_by_position_or_keyword(call):
    assert call(LumoSeq([1]), [[4, 5]]).list() == [(1, 4), (None, 5)]


def test_zips_accepts_every_sequence_kind_as_an_element():
    a, b, c, d, e = (Item(n) for n in "abcde")
    others = [LumoSeq([a, b]).skip(1), [c], (d,), LyingList([e]), LyingTuple([b])]
    result = LumoSeq([1, 2]).zips(others)
    assert identities(result) == [(id(1), id(a), id(c), id(d), id(e), id(b))]
    assert cursor_of(others[0]) == 1


def test_zips_accepts_a_list_subclass_as_others_without_calling_its_protocol():
    others = LyingList([[1, 2], (3, 4)])
    assert LumoSeq([0, 9]).zips(others).list() == [(0, 1, 3), (9, 2, 4)]


def test_zips_tuples_hold_the_items_themselves():
    left = [Item(0), Item(1)]
    mid = [Item("m")]
    right = (Item("r0"), Item("r1"), Item("r2"))
    result = LumoSeq(left).zips([mid, right], until_exhausted=True)
    assert identities(result) == [
        (id(left[0]), id(mid[0]), id(right[0])),
        (id(left[1]), id(None), id(right[1])),
        (id(None), id(None), id(right[2])),
    ]


def test_zips_uses_all_items_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3]).skip(2)
    result = s.zips([["a", "b", "c"]])
    assert result.list() == [(1, "a"), (2, "b"), (3, "c")]
    assert cursor_of(s) == 2
    assert cursor_of(result) == 0


def test_zips_with_the_receiver_and_a_repeated_list_among_the_others():
    s = LumoSeq([1, 2])
    shared = ["x", "y", "z"]
    assert s.zips([s, shared, shared]).list() == [(1, 1, "x", "x"), (2, 2, "y", "y")]
    assert s.zips([s, shared], True).list() == [(1, 1, "x"), (2, 2, "y"), (None, None, "z")]


def test_zips_result_is_a_fresh_sequence():
    s = LumoSeq([1])
    assert s.zips([]) is not s


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(), max_size=6),
       st.lists(st.tuples(st.lists(st.integers(), max_size=6), st.sampled_from(["list", "tuple",
                                                                                 "seq"])),
                max_size=4),
       st.booleans())
def test_zips_matches_itertools(receiver, shapes, until_exhausted):
    make = {"list": list, "tuple": tuple, "seq": lambda v: LumoSeq(list(v))}
    others = [make[kind](values) for values, kind in shapes]
    result = LumoSeq(receiver).zips(others, until_exhausted=until_exhausted)
    inputs = [receiver] + [values for values, _ in shapes]
    if until_exhausted:
        expected = list(itertools.zip_longest(*inputs))
    else:
        expected = list(zip(*inputs))
    assert result.list() == expected


# --- zips: argument checks -----------------------------------------------------------------

@pytest.mark.parametrize("others", [([1],), None, LumoSeq([[1]]), {1: [1]}, "ab", iter([[1]]),
                                    5],
                         ids=["tuple", "None", "LumoSeq", "dict", "str", "iterator", "int"])
def test_zips_others_must_be_a_list(others):
    s = LumoSeq([1])
    with pytest.raises(TypeError) as excinfo:
        s.zips(others)
    assert names_parameter(str(excinfo.value), "others")
    assert str(excinfo.value) != ZIPS_MESSAGE
    assert s.list() == [1]


@pytest.mark.parametrize("others", [
    [[1], 5],
    [5, [1]],
    ["ab"],
    [None],
    [[1], (2,), {3}],
    [range(2)],
    [LumoSeq([1]), [2], iter([3])],
], ids=["int-last", "int-first", "str", "None", "set", "range", "iterator"])
def test_zips_rejects_elements_of_other_kinds(others):
    s = LumoSeq([1, 2])
    with pytest.raises(TypeError) as excinfo:
        s.zips(others)
    assert str(excinfo.value) == ZIPS_MESSAGE
    assert s.list() == [1, 2]


def test_zips_rejects_a_bad_element_even_with_an_empty_receiver():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([]).zips([[1], 5], until_exhausted=True)
    assert str(excinfo.value) == ZIPS_MESSAGE


@pytest.mark.parametrize("flag", [1, 0, None, "yes", [], Truthy()],
                         ids=["1", "0", "None", "str", "list", "truthy"])
def test_zips_until_exhausted_must_be_a_strict_boolean(flag):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).zips([[2]], until_exhausted=flag)
    assert names_parameter(str(excinfo.value), "until_exhausted")


def test_zips_until_exhausted_accepts_a_numpy_boolean_lookalike():
    flag = numpy_lookalike()(True)
    assert LumoSeq([1]).zips([[2, 3]], flag).list() == [(1, 2), (None, 3)]


@pytest.mark.parametrize("others, flag, named", [
    (([1],), 1, "others"),
    ((5,), None, "others"),
    ([[1], 5], 1, "until_exhausted"),
    ([5], None, "until_exhausted"),
], ids=["others-before-flag", "others-before-None-flag", "flag-before-elements",
        "None-flag-before-elements"])
def test_zips_check_order_others_then_until_exhausted_then_elements(others, flag, named):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).zips(others, flag)
    message = str(excinfo.value)
    assert names_parameter(message, named)
    assert message != ZIPS_MESSAGE


@pytest.mark.parametrize("call", [
    lambda s: s.zips(),
    lambda s: s.zips(until_exhausted=True),
    lambda s: s.zips([], True, 3),
    lambda s: s.zips([], other=[]),
    lambda s: s.zips([], others=[]),
], ids=["missing", "missing-others", "surplus", "unexpected", "others-twice"])
def test_zips_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "zips" in str(excinfo.value)


# --- access --------------------------------------------------------------------------------

class ZipInIndex:
    """An `n` for skip whose conversion calls back into the sequence being skipped."""

    def __init__(self, action):
        self.action = action
        self.caught = []

    def __index__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.caught.append(str(e))
        return 1


@pytest.mark.parametrize("method", ["zip", "zips"])
def test_receiver_held_by_skip_refuses_zipping(method):
    s = LumoSeq([1, 2, 3])
    call = (lambda: s.zip([4])) if method == "zip" else (lambda: s.zips([[4]]))
    n = ZipInIndex(call)
    skipped = s.skip(n)
    assert n.caught == ["Already mutably borrowed"]
    assert cursor_of(skipped) == 1
    assert s.list() == [1, 2, 3] and cursor_of(s) == 0


@pytest.mark.parametrize("method", ["zip", "zips"])
def test_argument_held_by_skip_cannot_be_zipped(method):
    s = LumoSeq([1, 2, 3])
    t = LumoSeq(["a"])
    failures = []

    def action():
        try:
            if method == "zip":
                t.zip(s)
            else:
                t.zips([[0], s])
        except Exception as e:  # noqa: BLE001 - the kind of failure is not fixed
            failures.append(e)

    n = ZipInIndex(action)
    s.skip(n)
    assert len(failures) == 1
    assert s.list() == [1, 2, 3] and cursor_of(s) == 0
    assert t.list() == ["a"] and cursor_of(t) == 0


# --- references ----------------------------------------------------------------------------

def test_zip_refcounts_balanced_on_success():
    left = [Item(0), Item(1), Item(2)]
    right = [Item("a"), Item("b")]
    s = LumoSeq(left)
    other = LumoSeq(right)
    with refcounts_balanced(*left, *right, s, other):
        for flag in (False, True):
            result = s.zip(other, flag)
            assert len(result.list()) == (3 if flag else 2)
            del result
        result = s.zip(tuple(right), until_exhausted=True)
        del result


@pytest.mark.parametrize("call", [
    lambda s, right: s.zip(5),
    lambda s, right: s.zip(right, until_exhausted=1),
    lambda s, right: s.zip(right, True, 3),
    lambda s, right: s.zip(other=right, flag=True),
], ids=["bad-other", "bad-flag", "surplus", "unexpected"])
def test_zip_refcounts_balanced_on_failure(call):
    left = [Item(0), Item(1)]
    right = [Item("a"), Item("b")]
    s = LumoSeq(left)
    with refcounts_balanced(*left, *right, s):
        with pytest.raises(TypeError):
            call(s, right)


def test_zips_refcounts_balanced_on_success():
    left = [Item(0), Item(1), Item(2)]
    others_items = [Item("a"), Item("b"), Item("c"), Item("d")]
    s = LumoSeq(left)
    seq_arg = LumoSeq(others_items[:2])
    others = [seq_arg, others_items[2:], tuple(others_items[1:])]
    with refcounts_balanced(*left, *others_items, s, seq_arg, *others):
        for flag in (False, True):
            result = s.zips(others, flag)
            assert len(result.list()) == (3 if flag else 2)
            del result


@pytest.mark.parametrize("others_of, flag", [
    (lambda good: [good[0], good[1], 5], False),
    (lambda good: [good[0], good[1], "x"], True),
    (lambda good: tuple(good), False),
    (lambda good: list(good), 1),
], ids=["bad-last-element", "bad-str-element", "tuple-others", "bad-flag"])
def test_zips_refcounts_balanced_on_failure(others_of, flag):
    left = [Item(0), Item(1)]
    items = [Item("a"), Item("b")]
    good = [LumoSeq(list(items)), list(items)]
    s = LumoSeq(left)
    others = others_of(good)
    with refcounts_balanced(*left, *items, *good, s, others):
        with pytest.raises(TypeError):
            s.zips(others, flag)


# --- allocation failures -------------------------------------------------------------------

def test_zip_fault_sweep():
    fault_sweep(
        setup="""
            s = LumoSeq([1, 2, 3]).skip(1)
            other = LumoSeq(["a", "b"]).skip(1)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len(),
                        other.list(), other.len() - other.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.zip(other, until_exhausted=True)
            assert r.list() == [(1, "a"), (2, "b"), (3, None)]
            return r
        """)


def test_zips_fault_sweep():
    fault_sweep(
        setup="""
            s = LumoSeq([1, 2, 3])
            seq_arg = LumoSeq(["a"])
            others = [seq_arg, [4, 5], (6, 7, 8, 9)]
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len(), seq_arg.list(), others)
        """,
        call="""
            r = s.zips(others, until_exhausted=True)
            assert r.list() == [(1, "a", 4, 6), (2, None, 5, 7), (3, None, None, 8),
                                (None, None, None, 9)]
            return r
        """)
