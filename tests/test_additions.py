"""append and prepend: one more item at the end or the front, the receiver's cursor value carried
over unchanged, the new item stored as itself, and reference balance."""
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced


def after_cursor(seq):
    """The items after the cursor, as `take` hands them out."""
    return seq.take(10**6)[0].list()


def cursor_of(seq):
    return seq.len() - len(after_cursor(seq))


def state(seq):
    return seq.list(), cursor_of(seq)


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Item({self.value!r})"


ADD = [pytest.param(lambda s, x: s.append(x), id="append"),
       pytest.param(lambda s, x: s.prepend(x), id="prepend")]


@pytest.mark.parametrize("run, expected", [
    (lambda s: s.append(1), [1]),
    (lambda s: s.prepend(1), [1]),
], ids=["append", "prepend"])
def test_additions_to_an_empty_sequence(run, expected):
    s = LumoSeq([])
    out = run(s)
    assert state(out) == (expected, 0)
    assert after_cursor(out) == expected
    assert state(s) == ([], 0)


def test_additions_leave_the_receiver_unchanged():
    s = LumoSeq([1, 2, 3])
    assert s.append(4).list() == [1, 2, 3, 4]
    assert s.prepend(0).list() == [0, 1, 2, 3]
    assert state(s) == ([1, 2, 3], 0)


@pytest.mark.parametrize("start, appended_rest, prepended_rest", [
    (0, [1, 2, 3, 4], [0, 1, 2, 3]),
    (1, [2, 3, 4], [1, 2, 3]),
    (2, [3, 4], [2, 3]),
    (3, [4], [3]),
])
def test_additions_carry_the_cursor_value_over(start, appended_rest, prepended_rest):
    t = LumoSeq([1, 2, 3]).skip(start)
    appended = t.append(4)
    prepended = t.prepend(0)
    assert state(appended) == ([1, 2, 3, 4], start)
    assert after_cursor(appended) == appended_rest
    assert state(prepended) == ([0, 1, 2, 3], start)
    assert after_cursor(prepended) == prepended_rest
    assert state(t) == ([1, 2, 3], start)


def test_prepend_after_the_cursor_reached_the_end_leaves_the_last_item_after_it():
    s = LumoSeq([1, 2, 3])
    assert s.skip(3).append(4).take(10)[0].list() == [4]
    assert s.skip(3).prepend(0).take(10)[0].list() == [3]


def test_append_none_and_sequences_are_ordinary_items():
    s = LumoSeq([1, 2, 3])
    with_none = s.append(None)
    assert with_none.len() == 4
    assert with_none.last() is None
    with_self = s.append(s)
    assert with_self.len() == 4
    assert with_self.last() is s
    assert s.prepend(s).first() is s
    assert s.prepend(None).first(7) is None


@pytest.mark.parametrize("run", ADD)
def test_additions_store_the_item_itself_and_the_receivers_items(run):
    items = [Item(i) for i in range(3)]
    new = Item("new")
    s = LumoSeq(items)
    out = run(s, new)
    assert out is not s
    expected = items + [new] if out.last() is new else [new] + items
    assert [id(x) for x in out.list()] == [id(x) for x in expected]


@pytest.mark.parametrize("value", [[1, 2], (1,), {"a": 1}, LumoSeq([9]), "text", 2.5],
                         ids=["list", "tuple", "dict", "seq", "str", "float"])
def test_additions_do_not_unpack_or_convert(value):
    s = LumoSeq([0])
    assert s.append(value).list()[1] is value
    assert s.prepend(value).list()[0] is value


def test_additions_chain():
    s = LumoSeq([2]).append(3).prepend(1).append(4).prepend(0)
    assert state(s) == ([0, 1, 2, 3, 4], 0)
    t = LumoSeq([2]).skip(1).prepend(1).prepend(0).append(3)
    assert state(t) == ([0, 1, 2, 3], 1)
    assert after_cursor(t) == [1, 2, 3]


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.append(item=5), [1, 5]),
    (lambda s: s.prepend(item=5), [5, 1]),
])
def test_additions_accept_item_by_keyword(call, expected):
    assert call(LumoSeq([1])).list() == expected


@pytest.mark.parametrize("method, call", [
    ("append", lambda s: s.append()),
    ("append", lambda s: s.append(1, 2)),
    ("append", lambda s: s.append(x=1)),
    ("append", lambda s: s.append(1, item=2)),
    ("prepend", lambda s: s.prepend()),
    ("prepend", lambda s: s.prepend(1, 2)),
    ("prepend", lambda s: s.prepend(value=1)),
    ("prepend", lambda s: s.prepend(1, item=2)),
])
def test_binding_errors_name_the_method(method, call):
    s = LumoSeq([1]).skip(1)
    with pytest.raises(TypeError) as excinfo:
        call(s)
    assert method in str(excinfo.value)
    assert state(s) == ([1], 1)


_cursor_steps = st.lists(st.tuples(st.sampled_from(["append", "prepend", "skip", "take"]),
                                   st.integers(0, 4)), max_size=10)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(), max_size=5), _cursor_steps)
def test_additions_match_a_list_and_index_model(values, steps):
    seq, model, cursor = LumoSeq(values), list(values), 0
    for op, n in steps:
        if op == "append":
            seq, model = seq.append(n), model + [n]
        elif op == "prepend":
            seq, model = seq.prepend(n), [n] + model
        elif op == "skip":
            seq, cursor = seq.skip(n), min(cursor + n, len(model))
        else:
            taken, seq = seq.take(n)
            assert taken.list() == model[cursor:cursor + n]
            cursor = min(cursor + n, len(model))
        assert seq.list() == model
        assert after_cursor(seq) == model[cursor:]


# --- access --------------------------------------------------------------------------------

@pytest.mark.parametrize("run, expected", [
    (lambda s, x: s.append(x), [[1, 2, 1], [1, 2, 2]]),
    (lambda s, x: s.prepend(x), [[1, 1, 2], [2, 1, 2]]),
], ids=["append", "prepend"])
def test_additions_from_inside_a_callback_of_the_receiver(run, expected):
    s = LumoSeq([1, 2])
    seen = []
    out = s.where(lambda x: seen.append(run(s, x).list()) or True)
    assert out.list() == [1, 2]
    assert seen == expected


@pytest.mark.parametrize("run", ADD)
def test_additions_while_skip_holds_the_receiver(run):
    s = LumoSeq([1, 2])
    log = []

    class N:
        def __index__(self):
            try:
                run(s, 3)
                log.append("ok")
            except RuntimeError as e:
                log.append(str(e))
            return 1

    assert cursor_of(s.skip(N())) == 1
    assert log == ["Already mutably borrowed"]
    assert run(s, 3).len() == 3


# --- reference balance ---------------------------------------------------------------------

@pytest.mark.parametrize("run", ADD)
def test_refcounts_balanced(run):
    items = [Item(i) for i in range(3)]
    new = Item("new")
    s = LumoSeq(items).skip(1)
    with refcounts_balanced(*items, new, s):
        out = run(s, new)
        assert out.len() == 4
        del out


@pytest.mark.parametrize("run", ADD)
def test_result_holds_one_reference_to_the_new_item(run):
    new = Item("new")
    s = LumoSeq([Item(0)])
    base = sys.getrefcount(new)
    out = run(s, new)
    assert sys.getrefcount(new) == base + 1
    twice = run(out, new)
    assert sys.getrefcount(new) == base + 3
    del out, twice
    assert sys.getrefcount(new) == base


@pytest.mark.parametrize("call", [
    lambda s, x: s.append(x, x), lambda s, x: s.prepend(x, item=x),
    lambda s, x: s.append(value=x), lambda s, x: s.prepend(),
], ids=["append-surplus", "prepend-twice", "append-keyword", "prepend-missing"])
def test_refcounts_balanced_on_failure(call):
    items = [Item(i) for i in range(3)]
    new = Item("new")
    s = LumoSeq(items)
    with refcounts_balanced(*items, new, s):
        try:
            call(s, new)
        except TypeError as e:
            e.__traceback__ = None
        else:
            pytest.fail("no TypeError")


# --- fault injection -----------------------------------------------------------------------

_SNAPSHOT = """
def snapshot():
    return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
"""


def sweep(setup, call):
    """One fault sweep over `call`, with a snapshot of the receiver `s` that `setup` defines."""
    fault_sweep(setup=textwrap.dedent(setup) + _SNAPSHOT, call=call)


def test_append_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3]).skip(1)
            new = object()
        """,
        call="""
            r = s.append(new)
            assert r.take(9)[0].list() == [2, 3, new]
            return r
        """)


def test_prepend_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3]).skip(1)
            new = object()
        """,
        call="""
            r = s.prepend(new)
            assert r.list() == [new, 1, 2, 3] and r.take(9)[0].list() == [1, 2, 3]
            return r
        """)
