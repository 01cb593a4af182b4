"""chunk and flatten: chunk boundaries up to chunk sizes near 2**64, the chunk_size conversion,
flatten's recognition of nested sequences, cycles and deep nests, and reference balance."""
import collections

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced

CHUNK_SIZE_ZERO = "Chunk size must be greater than 0"


def cursor_of(seq):
    return seq.len() - seq.take(2**64 - 1)[0].len()


def chunks_of(result):
    return [chunk.list() for chunk in result.list()]


class Item:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


class Index:
    """An integer-like object converted through `__index__`."""

    def __init__(self, value, log=None):
        self.value = value
        self.log = log

    def __index__(self):
        if self.log is not None:
            self.log.append(self.value)
        return self.value


# --- documentation -------------------------------------------------------------------------

def test_chunk_text_signature_and_docstring():
    assert LumoSeq.chunk.__text_signature__ == "($self, chunk_size)"
    assert LumoSeq.chunk.__doc__ == (
        "Splits the sequence into chunks of the specified size.\n"
        "Returns a new sequence containing subsequences (as LumoSeq objects) of the specified "
        "size.\n"
        "The last chunk may contain fewer elements if the sequence length is not divisible by "
        "the chunk_size.")


def test_flatten_has_a_text_signature_and_no_docstring():
    assert LumoSeq.flatten.__text_signature__ == "($self)"
    assert LumoSeq.flatten.__doc__ is None


# --- chunk ---------------------------------------------------------------------------------

@pytest.mark.parametrize("items, size, expected", [
    ([1, 2, 3, 4, 5], 2, [[1, 2], [3, 4], [5]]),
    ([1, 2, 3], 3, [[1, 2, 3]]),
    ([1, 2, 3], 10, [[1, 2, 3]]),
    ([1, 2, 3], 1, [[1], [2], [3]]),
    ([1, 2, 3, 4], 2, [[1, 2], [3, 4]]),
    ([1, 2, 3, 4, 5, 6, 7], 3, [[1, 2, 3], [4, 5, 6], [7]]),
    ([1], 1, [[1]]),
    ([1], 5, [[1]]),
    ([], 1, []),
    ([], 7, []),
])
def test_chunk_boundaries(items, size, expected):
    s = LumoSeq(items)
    result = s.chunk(size)
    assert chunks_of(result) == expected
    assert s.list() == items


@pytest.mark.parametrize("size", [
    2**64 - 1, 2**64 - 2, 2**64 - 3, 2**64 - 5, 2**63 + 1, 2**63, 2**63 - 1, 2**62,
    2**32 + 1, 2**32, 2**32 - 1, 2**31,
])
@pytest.mark.parametrize("items", [[1], [1, 2, 3], [1, 2, 3, 4, 5]])
def test_chunk_huge_sizes_give_one_chunk(items, size):
    result = LumoSeq(items).chunk(size)
    assert chunks_of(result) == [items]


@pytest.mark.parametrize("size", [2**64 - 1, 2**63, 1])
def test_chunk_empty_receiver_any_positive_size(size):
    result = LumoSeq([]).chunk(size)
    assert result.list() == []
    assert cursor_of(result) == 0


@pytest.mark.parametrize("items", [[], [1, 2, 3]])
@pytest.mark.parametrize("zero", [0, False, Index(0)], ids=["int", "False", "index"])
def test_chunk_size_zero_is_rejected(items, zero):
    s = LumoSeq(items)
    with pytest.raises(ValueError) as excinfo:
        s.chunk(zero)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == CHUNK_SIZE_ZERO
    assert s.list() == items


@pytest.mark.parametrize("size", [-1, -2**63, 2**64, 2**70, Index(-1), Index(2**64)],
                         ids=["-1", "-2**63", "2**64", "2**70", "index-1", "index2**64"])
def test_chunk_size_out_of_range_overflows(size):
    with pytest.raises(OverflowError):
        LumoSeq([1, 2]).chunk(size)


@pytest.mark.parametrize("size", [2.0, "2", None, [2], 2j])
def test_chunk_size_that_is_not_an_integer_names_the_parameter(size):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, 2]).chunk(size)
    assert "chunk_size" in str(excinfo.value)


def test_chunk_true_is_one():
    assert chunks_of(LumoSeq([1, 2]).chunk(True)) == [[1], [2]]


def test_chunk_size_through_index_and_int_subclass():
    class MyInt(int):
        def __index__(self):
            raise AssertionError("an int is taken as is")

    log = []
    assert chunks_of(LumoSeq([1, 2, 3]).chunk(Index(2, log))) == [[1, 2], [3]]
    assert log == [2]
    assert chunks_of(LumoSeq([1, 2, 3]).chunk(MyInt(2))) == [[1, 2], [3]]


def test_chunk_size_index_raising_non_type_error_passes_unchanged():
    raised = ValueError("no index")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(ValueError) as excinfo:
        LumoSeq([1]).chunk(Bad())
    assert excinfo.value is raised


def test_chunk_size_index_raising_type_error_is_wrapped_naming_the_parameter():
    raised = TypeError("inner problem")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).chunk(Bad())
    assert "chunk_size" in str(excinfo.value)
    assert "inner problem" in str(excinfo.value)
    assert excinfo.value.__cause__ is raised


def test_chunk_size_index_calling_skip_on_the_receiver_gets_already_borrowed():
    s = LumoSeq([1, 2, 3])
    messages = []

    class Reentrant:
        def __index__(self):
            try:
                s.skip(1)
            except RuntimeError as e:
                messages.append(str(e))
            return s.len() - 1

    assert chunks_of(s.chunk(Reentrant())) == [[1, 2], [3]]
    assert messages == ["Already borrowed"]


def test_chunk_size_index_uncaught_already_borrowed_reaches_the_caller():
    s = LumoSeq([1, 2, 3])

    class Reentrant:
        def __index__(self):
            s.skip(1)
            return 1

    with pytest.raises(RuntimeError) as excinfo:
        s.chunk(Reentrant())
    assert str(excinfo.value) == "Already borrowed"


def test_chunk_accepts_chunk_size_by_keyword():
    assert chunks_of(LumoSeq([1, 2, 3]).chunk(chunk_size=2)) == [[1, 2], [3]]


@pytest.mark.parametrize("call", [
    lambda s: s.chunk(),
    lambda s: s.chunk(1, 2),
    lambda s: s.chunk(size=2),
    lambda s: s.chunk(2, chunk_size=2),
])
def test_chunk_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "chunk" in str(excinfo.value)


def test_chunk_binding_comes_before_the_size_check():
    log = []
    with pytest.raises(TypeError):
        LumoSeq([1]).chunk(Index(0, log), 1)
    assert log == []


def test_chunks_are_full_sequences_of_the_receivers_objects():
    items = [Item(i) for i in range(5)]
    s = LumoSeq(items)
    result = s.chunk(2)
    assert result is not s
    assert cursor_of(result) == 0
    chunks = result.list()
    assert all(type(c) is LumoSeq and cursor_of(c) == 0 for c in chunks)
    assert [[id(x) for x in c.list()] for c in chunks] == [
        [id(items[0]), id(items[1])], [id(items[2]), id(items[3])], [id(items[4])]]
    head, rest = chunks[0].take(1)
    assert head.list() == [items[0]] and cursor_of(rest) == 1


def test_chunk_splits_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3, 4, 5]).skip(3)
    assert chunks_of(s.chunk(2)) == [[1, 2], [3, 4], [5]]
    assert cursor_of(s) == 3


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers()), st.integers(1, 12))
def test_chunk_matches_slicing(values, size):
    expected = [values[i:i + size] for i in range(0, len(values), size)]
    assert chunks_of(LumoSeq(values).chunk(size)) == expected


def test_chunk_refcounts_balanced():
    items = [Item(i) for i in range(5)]
    s = LumoSeq(items)
    size = Index(2)
    with refcounts_balanced(*items, size):
        result = s.chunk(size)
        assert len(result.list()) == 3
        del result
    with refcounts_balanced(*items, size):
        result = s.chunk(2**64 - 1)
        del result


@pytest.mark.parametrize("size, exc_type", [(0, ValueError), (-1, OverflowError),
                                             ("x", TypeError)])
def test_chunk_refcounts_balanced_on_failure(size, exc_type):
    items = [Item(i) for i in range(3)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, size):
        with pytest.raises(exc_type):
            s.chunk(size)


# --- flatten -------------------------------------------------------------------------------

Point = collections.namedtuple("Point", "x y")


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("items, expected", [
    ([1, [2, [3, (4, 5)]], "ab"], [1, 2, 3, 4, 5, "ab"]),
    ([[], (), 1], [1]),
    ([1, "x", None, 2.5], [1, "x", None, 2.5]),
    ([], []),
    ([[], [[]], ((),)], []),
    ([[[[[[7]]]]]], [7]),
    ([(1, [2, (3,)]), [4]], [1, 2, 3, 4]),
    ([Point(1, 2), 3], [1, 2, 3]),
    ([TupleSub((1, 2)), ListSub([3, [4]])], [1, 2, 3, 4]),
    ([b"ab", bytearray(b"cd"), "ef"], [b"ab", bytearray(b"cd"), "ef"]),
])
def test_flatten(items, expected):
    s = LumoSeq(items)
    result = s.flatten()
    assert result.list() == expected
    assert s.list() == items
    assert result is not s
    assert cursor_of(result) == 0


@pytest.mark.parametrize("leaf", [
    {1: 2}, {1, 2}, frozenset({1}), range(3), iter([1, 2]), (x for x in [1]), "abc", b"ab",
    collections.deque([1, 2]), memoryview(b"ab"), {}.keys(), 3.5, None,
], ids=lambda v: type(v).__name__)
def test_flatten_keeps_other_kinds_as_leaves(leaf):
    result = LumoSeq([leaf, [leaf]]).flatten().list()
    assert len(result) == 2
    assert result[0] is leaf and result[1] is leaf


def test_flatten_does_not_consume_iterators():
    it = iter([1, 2, 3])
    LumoSeq([it]).flatten()
    assert list(it) == [1, 2, 3]


def test_flatten_leaves_are_the_objects_themselves():
    leaves = [Item(i) for i in range(5)]
    nested = [leaves[0], [leaves[1], (leaves[2], LumoSeq([leaves[3]]))], leaves[4]]
    result = LumoSeq(nested).flatten().list()
    assert [id(x) for x in result] == [id(x) for x in leaves]


def test_flatten_nested_sequence_contributes_all_of_its_items():
    inner = LumoSeq([2, 3, 4]).skip(2)
    s = LumoSeq([1, inner, 5])
    assert s.flatten().list() == [1, 2, 3, 4, 5]
    assert cursor_of(inner) == 2


def test_flatten_expands_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([[1, 2], 3, (4,)]).skip(2)
    assert s.flatten().list() == [1, 2, 3, 4]
    assert cursor_of(s) == 2


def test_flatten_sequences_of_sequences():
    chunks = LumoSeq([1, 2, 3, 4, 5]).chunk(2)
    assert chunks.flatten().list() == [1, 2, 3, 4, 5]
    groups = LumoSeq([1, 2, 3]).group_by(lambda x: x % 2)
    assert groups.flatten().list() == [1, 1, 3, 0, 2]


def test_flatten_reads_stored_items_of_list_and_tuple_subclasses():
    log = []

    class SneakyList(list):
        def __iter__(self):
            log.append("iter")
            return iter(["wrong"])

        def __getitem__(self, i):
            log.append("getitem")
            return "wrong"

        def __len__(self):
            log.append("len")
            return 0

    class SneakyTuple(tuple):
        def __iter__(self):
            log.append("iter")
            return iter(["wrong"])

        def __getitem__(self, i):
            log.append("getitem")
            return "wrong"

        def __len__(self):
            log.append("len")
            return 0

    s = LumoSeq([SneakyList([1, 2]), SneakyTuple((3, 4))])
    assert s.flatten().list() == [1, 2, 3, 4]
    assert log == []


def test_flatten_shared_containers_are_not_cycles():
    a = [1, (2,)]
    b = (a, a)
    c = [b, a, [b]]
    assert LumoSeq([c, a]).flatten().list() == [1, 2] * 6
    inner = LumoSeq([a])
    assert LumoSeq([inner, inner, [inner]]).flatten().list() == [1, 2] * 3


def test_flatten_list_containing_itself_raises_recursion_error():
    a = [1]
    a.append(a)
    s = LumoSeq([0, a])
    try:
        with pytest.raises(RecursionError):
            s.flatten()
        assert s.len() == 2 and s.list()[1] is a
    finally:
        a.clear()


def test_flatten_cycle_through_a_tuple_raises_recursion_error():
    a = [1]
    t = (2, a)
    a.append(t)
    try:
        with pytest.raises(RecursionError):
            LumoSeq([t]).flatten()
        with pytest.raises(RecursionError):
            LumoSeq([a]).flatten()
    finally:
        a.clear()


def test_flatten_cycle_through_a_sequence_raises_recursion_error():
    a = [1]
    inner = LumoSeq([a])
    a.append(inner)
    try:
        with pytest.raises(RecursionError):
            LumoSeq([inner]).flatten()
        with pytest.raises(RecursionError):
            inner.flatten()
        assert inner.list() == [a]
    finally:
        a.clear()


def test_flatten_deep_cycle_raises_recursion_error():
    a = []
    x = a
    for _ in range(1000):
        x = [x]
    a.append(x)
    try:
        with pytest.raises(RecursionError):
            LumoSeq([a]).flatten()
    finally:
        a.clear()


def test_flatten_very_deep_nest_of_lists_gives_its_leaf():
    leaf = Item("leaf")
    x = leaf
    for _ in range(100_000):
        x = [x]
    result = LumoSeq([x, [1, x]]).flatten().list()
    assert len(result) == 3
    assert result[0] is leaf and result[1] == 1 and result[2] is leaf


def test_flatten_very_deep_mixed_nest_gives_its_leaves_in_order():
    x = ["bottom"]
    for i in range(100_000):
        x = (i, x) if i % 2 else [x, i]
    result = LumoSeq([x]).flatten().list()
    odds_descending = list(range(99_999, 0, -2))
    evens_ascending = list(range(0, 100_000, 2))
    assert result == odds_descending + ["bottom"] + evens_ascending


def _python_flatten(value, out):
    if isinstance(value, (list, tuple)):
        for v in value:
            _python_flatten(v, out)
    else:
        out.append(value)
    return out


nested = st.recursive(
    st.one_of(st.integers(), st.text(max_size=2), st.none()),
    lambda children: st.one_of(st.lists(children, max_size=4),
                               st.lists(children, max_size=4).map(tuple)),
    max_leaves=30)


@settings(max_examples=200, deadline=None)
@given(st.lists(nested, max_size=5))
def test_flatten_matches_a_recursive_model(items):
    assert LumoSeq(items).flatten().list() == _python_flatten(items, [])


@pytest.mark.parametrize("call", [lambda s: s.flatten(1), lambda s: s.flatten(depth=1)])
def test_flatten_takes_no_arguments(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([[1]]))
    assert "flatten" in str(excinfo.value)


def test_flatten_refcounts_balanced():
    leaves = [Item(i) for i in range(4)]
    inner_list = [leaves[1], leaves[2]]
    inner_tuple = (inner_list, leaves[3])
    inner_seq = LumoSeq([inner_tuple])
    s = LumoSeq([leaves[0], inner_seq, inner_list])
    with refcounts_balanced(*leaves, inner_list, inner_tuple, inner_seq):
        result = s.flatten()
        assert [x.value for x in result.list()] == [0, 1, 2, 3, 1, 2]
        del result


def test_flatten_refcounts_balanced_when_a_cycle_is_found():
    leaves = [Item(i) for i in range(3)]
    a = [leaves[0], (leaves[1], [leaves[2]])]
    a.append(a)
    inner = LumoSeq([a])
    s = LumoSeq([leaves[0], inner])
    try:
        with refcounts_balanced(*leaves, a, inner):
            with pytest.raises(RecursionError):
                s.flatten()
    finally:
        a.clear()


def test_flatten_refused_while_skip_holds_the_receiver():
    s = LumoSeq([[1], 2])
    seen = []

    class Count:
        def __index__(self):
            try:
                s.flatten()
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    assert cursor_of(s.skip(Count())) == 1
    assert seen == ["Already mutably borrowed"]


def test_flatten_of_a_nested_sequence_held_by_skip_fails_and_changes_nothing():
    inner = LumoSeq([1, 2])
    outer = LumoSeq([0, inner])
    seen = []

    class Count:
        def __index__(self):
            try:
                outer.flatten()
            except Exception as e:
                seen.append(e)
            return 1

    advanced = inner.skip(Count())
    assert len(seen) == 1
    assert cursor_of(advanced) == 1
    assert inner.list() == [1, 2] and cursor_of(inner) == 0
    assert outer.flatten().list() == [0, 1, 2]


# --- allocation failures -------------------------------------------------------------------

def test_chunk_fault_sweep():
    fault_sweep(
        setup="""
            items = [1, 2, 3, 4, 5]
            s = LumoSeq(items).skip(2)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.chunk(2)
            out = []
            for c in r.list():
                out.append(c.list())
            assert out == [[1, 2], [3, 4], [5]]
            return r
        """)


def test_flatten_fault_sweep():
    fault_sweep(
        setup="""
            items = [1, [2, (3, LumoSeq([4]))], 5]
            s = LumoSeq(items).skip(1)
            def snapshot():
                return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
        """,
        call="""
            r = s.flatten()
            assert r.list() == [1, 2, 3, 4, 5]
            return r
        """)
