"""Which objects count as sequence arguments: a LumoSeq, a list (or subclass), a tuple (or
subclass), in that order, read from their storage without running Python code. Checked through
`concat`, which rejects everything else, and `flatten`, which keeps everything else as a leaf."""
import array
import collections

import pytest

from lumo import LumoSeq
from support import half_built_outcome, refcounts_balanced

CONCAT_REJECTED = "Expected LumoSeq, list, or tuple for concatenation"

# Tests that call `concat` carry this mark, so they stand out (and wait while it is absent).
uses_concat = pytest.mark.skipif(not hasattr(LumoSeq, "concat"), reason="concat not built yet")


def cursor_of(seq):
    return seq.len() - seq.take(2**64 - 1)[0].len()


class Item:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


Pair = collections.namedtuple("Pair", "a b")


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class LoggingList(list):
    """A list subclass whose protocol methods lie and record that they were called."""
    log = []

    def __iter__(self):
        self.log.append("iter")
        return iter(["from __iter__"])

    def __getitem__(self, i):
        self.log.append("getitem")
        return "from __getitem__"

    def __len__(self):
        self.log.append("len")
        return 99


class LoggingTuple(tuple):
    log = []

    def __iter__(self):
        self.log.append("iter")
        return iter(["from __iter__"])

    def __getitem__(self, i):
        self.log.append("getitem")
        return "from __getitem__"

    def __len__(self):
        self.log.append("len")
        return 99


class SequenceLike:
    """Implements the sequence and iteration protocols, but is none of the accepted kinds."""

    def __init__(self, log):
        self.log = log

    def __len__(self):
        self.log.append("len")
        return 2

    def __getitem__(self, i):
        self.log.append("getitem")
        if i >= 2:
            raise IndexError(i)
        return i

    def __iter__(self):
        self.log.append("iter")
        return iter([0, 1])


# Accepted kinds: a builder that makes the argument from the items, and the items it must give.
ACCEPTED = [
    ("LumoSeq", lambda xs: LumoSeq(list(xs))),
    ("advanced LumoSeq", lambda xs: LumoSeq(list(xs)).skip(2)),
    ("list", lambda xs: list(xs)),
    ("list subclass", lambda xs: ListSub(xs)),
    ("tuple", lambda xs: tuple(xs)),
    ("tuple subclass", lambda xs: TupleSub(xs)),
]


def _rejected_values():
    return [
        ("None", None), ("int", 5), ("str", "ab"), ("bytes", b"ab"),
        ("bytearray", bytearray(b"ab")), ("set", {1, 2}), ("frozenset", frozenset({1})),
        ("dict", {1: 2}), ("dict keys", {1: 2}.keys()), ("range", range(3)),
        ("generator", (x for x in [1, 2])), ("iterator", iter([1, 2])),
        ("deque", collections.deque([1, 2])), ("array", array.array("i", [1, 2])),
        ("memoryview", memoryview(b"ab")), ("sequence-like", SequenceLike([])),
        ("LumoSeq type", LumoSeq), ("list type", list),
    ]


REJECTED = _rejected_values()


# --- accepted kinds ------------------------------------------------------------------------

@uses_concat
@pytest.mark.parametrize("kind, build", ACCEPTED, ids=[k for k, _ in ACCEPTED])
def test_concat_accepts_the_sequence_kinds(kind, build):
    items = [Item(i) for i in range(4)]
    receiver_items = [Item("r0"), Item("r1")]
    argument = build(items)
    s = LumoSeq(receiver_items)
    result = s.concat(argument)
    assert [id(x) for x in result.list()] == [id(x) for x in receiver_items + items]
    assert cursor_of(result) == 0
    assert [id(x) for x in s.list()] == [id(x) for x in receiver_items]


@pytest.mark.parametrize("kind, build", ACCEPTED, ids=[k for k, _ in ACCEPTED])
def test_flatten_expands_the_sequence_kinds(kind, build):
    items = [Item(i) for i in range(4)]
    result = LumoSeq([build(items)]).flatten()
    assert [id(x) for x in result.list()] == [id(x) for x in items]


@uses_concat
@pytest.mark.parametrize("empty", [[], (), LumoSeq([]), ListSub(), TupleSub()],
                         ids=["list", "tuple", "LumoSeq", "list subclass", "tuple subclass"])
def test_concat_empty_argument_adds_nothing(empty):
    assert LumoSeq([1, 2]).concat(empty).list() == [1, 2]
    assert LumoSeq([]).concat(empty).list() == []


@pytest.mark.parametrize("empty", [[], (), LumoSeq([]), ListSub(), TupleSub()],
                         ids=["list", "tuple", "LumoSeq", "list subclass", "tuple subclass"])
def test_flatten_empty_argument_contributes_nothing(empty):
    assert LumoSeq([1, empty, 2]).flatten().list() == [1, 2]


@uses_concat
def test_concat_sequence_argument_keeps_its_cursor_and_gives_all_items():
    other = LumoSeq([3, 4, 5]).skip(2)
    result = LumoSeq([1]).concat(other)
    assert result.list() == [1, 3, 4, 5]
    assert cursor_of(other) == 2
    assert other.take(5)[0].list() == [5]


@uses_concat
def test_concat_named_tuple_gives_its_fields():
    assert LumoSeq([0]).concat(Pair(1, 2)).list() == [0, 1, 2]


def test_flatten_named_tuple_gives_its_fields():
    assert LumoSeq([Pair(1, Pair(2, 3))]).flatten().list() == [1, 2, 3]


@uses_concat
@pytest.mark.parametrize("cls, stored", [(LoggingList, [1, 2]), (LoggingTuple, (1, 2))],
                         ids=["list subclass", "tuple subclass"])
def test_concat_reads_the_stored_items_of_subclasses(cls, stored):
    cls.log = []
    argument = cls(stored)
    cls.log.clear()
    assert LumoSeq([0]).concat(argument).list() == [0, 1, 2]
    assert cls.log == []


@pytest.mark.parametrize("cls, stored", [(LoggingList, [1, 2]), (LoggingTuple, (1, 2))],
                         ids=["list subclass", "tuple subclass"])
def test_flatten_reads_the_stored_items_of_subclasses(cls, stored):
    cls.log = []
    argument = cls(stored)
    cls.log.clear()
    assert LumoSeq([argument]).flatten().list() == [1, 2]
    assert cls.log == []


@uses_concat
def test_concat_with_itself():
    items = [Item(1), Item(2)]
    s = LumoSeq(items).skip(1)
    result = s.concat(s)
    assert [id(x) for x in result.list()] == [id(x) for x in items + items]
    assert cursor_of(s) == 1


@uses_concat
def test_concat_by_keyword():
    assert LumoSeq([1]).concat(other=(2,)).list() == [1, 2]


@uses_concat
def test_concat_list_argument_is_a_snapshot():
    other = [2, 3]
    result = LumoSeq([1]).concat(other)
    other.append(4)
    other[0] = "changed"
    assert result.list() == [1, 2, 3]


# --- rejected kinds ------------------------------------------------------------------------

@uses_concat
@pytest.mark.parametrize("kind, value", REJECTED, ids=[k for k, _ in REJECTED])
def test_concat_rejects_other_kinds_with_its_message(kind, value):
    items = [Item(0), Item(1)]
    s = LumoSeq(items)
    with pytest.raises(TypeError) as excinfo:
        s.concat(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == CONCAT_REJECTED
    assert excinfo.value.__cause__ is None
    assert [id(x) for x in s.list()] == [id(x) for x in items]


@pytest.mark.parametrize("kind, value", REJECTED, ids=[k for k, _ in REJECTED])
def test_flatten_keeps_other_kinds_as_leaves(kind, value):
    result = LumoSeq([1, value, (value,)]).flatten().list()
    assert len(result) == 3
    assert result[0] == 1 and result[1] is value and result[2] is value


@uses_concat
def test_concat_runs_no_protocol_method_of_a_rejected_argument():
    log = []
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).concat(SequenceLike(log))
    assert str(excinfo.value) == CONCAT_REJECTED
    assert log == []


def test_flatten_runs_no_protocol_method_of_a_leaf():
    log = []
    leaf = SequenceLike(log)
    assert LumoSeq([[leaf]]).flatten().list() == [leaf]
    assert log == []


@uses_concat
def test_concat_rejects_before_a_generator_is_consumed():
    gen = (x for x in [1, 2])
    with pytest.raises(TypeError):
        LumoSeq([0]).concat(gen)
    assert list(gen) == [1, 2]


@uses_concat
@pytest.mark.parametrize("call", [
    lambda s: s.concat(),
    lambda s: s.concat([1], [2]),
    lambda s: s.concat(items=[1]),
    lambda s: s.concat([1], other=[2]),
])
def test_concat_binding_errors_name_the_method(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq([1]))
    assert "concat" in str(excinfo.value)
    assert str(excinfo.value) != CONCAT_REJECTED


# A tuple that tuple() is still filling, its later slots empty, as a callback can hand it over:
# the interpreter's own copy of it (list(t)) crashes, so it is refused.
@pytest.mark.parametrize("call", ["LumoSeq([0]).concat(t)", "LumoSeq([0]).select(lambda _: t).flatten()"],
                         ids=["concat", "flatten"])
def test_a_tuple_in_the_making_is_refused(call):
    setup = """
        def message(call):
            try:
                call()
            except SystemError as exc:
                return str(exc)
        """
    outcome = half_built_outcome(f"message(lambda: {call})", setup)
    assert outcome[:2] == (0, "'bad argument to internal function' tracked\ntuple() returns\n"), outcome[2][-3000:]


# --- access to a sequence argument ---------------------------------------------------------

@uses_concat
def test_concat_argument_held_by_skip_fails_and_changes_nothing():
    other = LumoSeq([2, 3])
    s = LumoSeq([1])
    seen = []

    class Count:
        def __index__(self):
            try:
                s.concat(other)
            except Exception as e:
                seen.append(e)
            return 1

    advanced = other.skip(Count())
    assert len(seen) == 1
    assert cursor_of(advanced) == 1
    assert other.list() == [2, 3] and cursor_of(other) == 0
    assert s.list() == [1]
    assert s.concat(other).list() == [1, 2, 3]


# --- references ----------------------------------------------------------------------------

@uses_concat
@pytest.mark.parametrize("kind, build", ACCEPTED, ids=[k for k, _ in ACCEPTED])
def test_concat_refcounts_balanced(kind, build):
    items = [Item(i) for i in range(4)]
    receiver_items = [Item("r")]
    argument = build(items)
    s = LumoSeq(receiver_items)
    with refcounts_balanced(*items, *receiver_items, argument):
        result = s.concat(argument)
        assert result.len() == 5
        del result


@uses_concat
@pytest.mark.parametrize("kind, value", REJECTED[:8], ids=[k for k, _ in REJECTED[:8]])
def test_concat_refcounts_balanced_on_rejection(kind, value):
    items = [Item(0), Item(1)]
    s = LumoSeq(items)
    with refcounts_balanced(*items, value):
        with pytest.raises(TypeError):
            s.concat(value)


@pytest.mark.parametrize("kind, build", ACCEPTED, ids=[k for k, _ in ACCEPTED])
def test_flatten_refcounts_balanced_for_each_kind(kind, build):
    items = [Item(i) for i in range(4)]
    argument = build(items)
    s = LumoSeq([argument, Item("leaf")])
    with refcounts_balanced(*items, argument):
        result = s.flatten()
        assert result.len() == 5
        del result
