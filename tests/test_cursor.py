"""skip, restart, take, skip_while and take_while: the cursor moves only in the returned sequences,
clamping at the length, predicate scans from the cursor up to the first false, the exclusive
access of skip, and reference balance."""
import gc
import re
import subprocess
import sys
import textwrap
import weakref

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


def caught(call):
    """Returns the exception `call` raises, tracebacks dropped so callback frames free their locals."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the caller checks the type
        e = exc
        while e is not None:
            e.__traceback__ = None
            e = e.__cause__ or e.__context__
        return exc
    pytest.fail("no exception was raised")


class Item:
    """A distinct, non-immortal object, so identity and refcounts mean something."""

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


class Holder:
    class Truthy:
        def __bool__(self):
            return True


class IntSub(int):
    pass


def numpy_lookalike(name="bool_", module="numpy", with_bool=True):
    """A class that poses as a NumPy boolean scalar type; instances carry their truth."""
    namespace = {"__module__": module, "__init__": lambda self, truth: setattr(self, "truth", truth)}
    if with_bool:
        namespace["__bool__"] = lambda self: self.truth
    return type(name, (), namespace)


def logged(test, log):
    """A predicate that records each call's positional and keyword arguments."""
    def predicate(*args, **kwargs):
        log.append((args, kwargs))
        return test(*args)
    return predicate


FIVE = [1, 2, 3, 4, 5]


# --- skip ----------------------------------------------------------------------------------

@pytest.mark.parametrize("start, n, expected", [
    (0, 0, 0), (0, 1, 1), (0, 2, 2), (0, 5, 5), (0, 6, 5), (0, 10, 5),
    (0, 2**63, 5), (0, 2**64 - 1, 5),
    (3, 0, 3), (3, 1, 4), (3, 2, 5), (3, 3, 5), (3, 2**64 - 1, 5), (3, 2**64 - 3, 5),
    (3, 2**64 - 4, 5), (5, 0, 5), (5, 1, 5), (5, 2**64 - 1, 5),
])
def test_skip_moves_the_cursor_and_clamps_at_the_length(start, n, expected):
    s = LumoSeq(FIVE).skip(start)
    advanced = s.skip(n)
    assert state(advanced) == (FIVE, expected)
    assert after_cursor(advanced) == FIVE[expected:]
    assert state(s) == (FIVE, start)
    assert advanced is not s


def test_skip_steps_add_up():
    s = LumoSeq(FIVE)
    assert state(s.skip(1).skip(1).skip(1)) == (FIVE, 3)
    assert state(s.skip(2).skip(2).skip(2)) == (FIVE, 5)


def test_skip_zero_is_a_new_sequence_with_the_same_cursor():
    s = LumoSeq(FIVE).skip(2)
    same = s.skip(0)
    assert same is not s
    assert state(same) == (FIVE, 2)


def test_skip_keeps_the_items_themselves():
    items = [Item(i) for i in range(3)]
    advanced = LumoSeq(items).skip(1)
    assert [id(x) for x in advanced.list()] == [id(x) for x in items]
    assert [id(x) for x in after_cursor(advanced)] == [id(x) for x in items[1:]]


@pytest.mark.parametrize("n", [0, 1, 2**64 - 1])
def test_skip_on_an_empty_sequence(n):
    assert state(LumoSeq([]).skip(n)) == ([], 0)


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.skip(True), 1),
    (lambda s: s.skip(False), 0),
    (lambda s: s.skip(n=2), 2),
    (lambda s: s.skip(Index(3)), 3),
    (lambda s: s.skip(IntSub(4)), 4),
])
def test_skip_n_forms(call, expected):
    assert state(call(LumoSeq(FIVE))) == (FIVE, expected)


def test_skip_int_subclass_is_taken_as_is():
    class NoIndex(int):
        def __index__(self):
            raise AssertionError("an int is taken as is")

    assert cursor_of(LumoSeq(FIVE).skip(NoIndex(2))) == 2


def test_skip_converts_n_once():
    log = []
    assert cursor_of(LumoSeq(FIVE).skip(Index(2, log))) == 2
    assert log == [2]


# --- restart -------------------------------------------------------------------------------

@pytest.mark.parametrize("start", [0, 1, 3, 5])
def test_restart_sets_the_cursor_to_zero(start):
    s = LumoSeq(FIVE).skip(start)
    again = s.restart()
    assert again is not s
    assert state(again) == (FIVE, 0)
    assert after_cursor(again) == FIVE
    assert state(s) == (FIVE, start)


def test_restart_keeps_the_items_themselves():
    items = [Item(i) for i in range(3)]
    again = LumoSeq(items).skip(2).restart()
    assert [id(x) for x in again.list()] == [id(x) for x in items]


def test_restart_of_an_empty_sequence():
    assert state(LumoSeq([]).restart()) == ([], 0)


@pytest.mark.parametrize("call", [lambda s: s.restart(0), lambda s: s.restart(n=0)])
def test_restart_takes_no_arguments(call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq(FIVE))
    assert "restart" in str(excinfo.value)


# --- take ----------------------------------------------------------------------------------

def test_take_walks_through_the_sequence():
    s = LumoSeq(FIVE)
    a, b = s.take(2)
    assert state(a) == ([1, 2], 0)
    assert state(b) == (FIVE, 2)
    c, d = b.take(2)
    assert state(c) == ([3, 4], 0)
    assert state(d) == (FIVE, 4)
    e, f = d.take(2)
    assert state(e) == ([5], 0)
    assert state(f) == (FIVE, 5)
    g, h = f.take(1)
    assert state(g) == ([], 0)
    assert state(h) == (FIVE, 5)
    assert s.take(2)[0].list() == [1, 2]
    assert cursor_of(s) == 0


def test_take_after_skip():
    taken, advanced = LumoSeq(FIVE).skip(2).take(10)
    assert state(taken) == ([3, 4, 5], 0)
    assert state(advanced) == (FIVE, 5)
    again_taken, again = advanced.take(1)
    assert state(again_taken) == ([], 0)
    assert state(again) == (FIVE, 5)


@pytest.mark.parametrize("start, n, taken, cursor", [
    (0, 0, [], 0), (2, 0, [], 2), (5, 0, [], 5),
    (0, 5, FIVE, 5), (0, 6, FIVE, 5), (1, 3, [2, 3, 4], 4),
    (0, 2**64 - 1, FIVE, 5), (4, 2**64 - 1, [5], 5), (4, 2**64 - 4, [5], 5),
    (5, 2**64 - 1, [], 5),
])
def test_take_counts(start, n, taken, cursor):
    s = LumoSeq(FIVE).skip(start)
    pair = s.take(n)
    assert type(pair) is tuple and len(pair) == 2
    assert state(pair[0]) == (taken, 0)
    assert state(pair[1]) == (FIVE, cursor)
    assert pair[1] is not s and pair[0] is not s and pair[0] is not pair[1]
    assert state(s) == (FIVE, start)


@pytest.mark.parametrize("n", [0, 3, 2**64 - 1])
def test_take_from_an_empty_sequence(n):
    taken, advanced = LumoSeq([]).take(n)
    assert state(taken) == ([], 0)
    assert state(advanced) == ([], 0)


def test_take_hands_out_the_items_themselves():
    items = [Item(i) for i in range(4)]
    taken, advanced = LumoSeq(items).skip(1).take(2)
    assert [id(x) for x in taken.list()] == [id(items[1]), id(items[2])]
    assert [id(x) for x in advanced.list()] == [id(x) for x in items]


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.take(True), [1]),
    (lambda s: s.take(n=2), [1, 2]),
    (lambda s: s.take(Index(3)), [1, 2, 3]),
    (lambda s: s.take(IntSub(1)), [1]),
])
def test_take_n_forms(call, expected):
    taken, advanced = call(LumoSeq(FIVE))
    assert taken.list() == expected
    assert cursor_of(advanced) == len(expected)


_steps = st.lists(st.tuples(st.sampled_from(["skip", "take", "restart"]),
                            st.one_of(st.integers(0, 7), st.just(2**64 - 1))), max_size=8)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(), max_size=8), _steps)
def test_walks_match_a_list_and_index_model(values, steps):
    seq, cursor = LumoSeq(values), 0
    for op, n in steps:
        if op == "skip":
            seq, cursor = seq.skip(n), min(cursor + n, len(values))
        elif op == "restart":
            seq, cursor = seq.restart(), 0
        else:
            taken, seq = seq.take(n)
            end = min(cursor + n, len(values))
            assert taken.list() == values[cursor:end]
            cursor = end
        assert seq.list() == values
        assert after_cursor(seq) == values[cursor:]


# --- n conversion, shared by skip and take ---------------------------------------------------

NEEDS_N = [pytest.param(lambda s, n: s.skip(n), id="skip"),
           pytest.param(lambda s, n: s.take(n), id="take")]


@pytest.mark.parametrize("run", NEEDS_N)
@pytest.mark.parametrize("n", [-1, -2**63, 2**64, 2**70, Index(-1), Index(2**64)],
                         ids=["-1", "-2**63", "2**64", "2**70", "index-1", "index2**64"])
def test_n_out_of_range_overflows(run, n):
    s = LumoSeq(FIVE).skip(1)
    with pytest.raises(OverflowError):
        run(s, n)
    assert state(s) == (FIVE, 1)


@pytest.mark.parametrize("run", NEEDS_N)
@pytest.mark.parametrize("n", ["2", 1.0, None, [1], 1j], ids=repr)
def test_n_not_an_integer_names_the_parameter(run, n):
    with pytest.raises(TypeError) as excinfo:
        run(LumoSeq(FIVE), n)
    assert re.search(r"\bn\b", str(excinfo.value))
    assert type(excinfo.value.__cause__) is TypeError
    assert str(excinfo.value.__cause__) in str(excinfo.value)


@pytest.mark.parametrize("run", NEEDS_N)
def test_n_index_raising_passes_unchanged(run):
    raised = ValueError("no index")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(ValueError) as excinfo:
        run(LumoSeq(FIVE), Bad())
    assert excinfo.value is raised


@pytest.mark.parametrize("method, call", [
    ("skip", lambda s: s.skip()),
    ("skip", lambda s: s.skip(1, 2)),
    ("skip", lambda s: s.skip(m=1)),
    ("skip", lambda s: s.skip(1, n=1)),
    ("take", lambda s: s.take()),
    ("take", lambda s: s.take(1, 2)),
    ("take", lambda s: s.take(count=1)),
    ("take", lambda s: s.take(1, n=1)),
    ("skip_while", lambda s: s.skip_while()),
    ("skip_while", lambda s: s.skip_while(bool, bool)),
    ("skip_while", lambda s: s.skip_while(pred=bool)),
    ("skip_while", lambda s: s.skip_while(bool, predicate=bool)),
    ("take_while", lambda s: s.take_while()),
    ("take_while", lambda s: s.take_while(bool, bool)),
    ("take_while", lambda s: s.take_while(pred=bool)),
    ("take_while", lambda s: s.take_while(bool, predicate=bool)),
])
def test_binding_errors_name_the_method(method, call):
    with pytest.raises(TypeError) as excinfo:
        call(LumoSeq(FIVE))
    assert method in str(excinfo.value)


@pytest.mark.parametrize("method", ["skip", "take"])
def test_binding_comes_before_the_conversion_of_n(method):
    log = []
    with pytest.raises(TypeError):
        getattr(LumoSeq(FIVE), method)(Index(1, log), 2)
    assert log == []


# --- skip_while and take_while -------------------------------------------------------------

SCANS = [pytest.param(lambda s, p: s.skip_while(p), id="skip_while"),
         pytest.param(lambda s, p: s.take_while(p), id="take_while")]


def advanced_of(result):
    return result[1] if type(result) is tuple else result


@pytest.mark.parametrize("start, test, calls, cursor", [
    (0, lambda x: x < 3, [1, 2, 3], 2),
    (1, lambda x: x < 3, [2, 3], 2),
    (2, lambda x: x < 4, [3, 4], 3),
    (0, lambda x: True, [1, 2, 3, 4, 5], 5),
    (0, lambda x: False, [1], 0),
    (3, lambda x: False, [4], 3),
    (3, lambda x: True, [4, 5], 5),
    (0, lambda x: x != 2, [1, 2], 1),
    (5, lambda x: True, [], 5),
    (5, lambda x: False, [], 5),
], ids=["lt3", "lt3-from-1", "lt4-from-2", "always", "never", "never-from-3", "always-from-3",
        "ne2", "at-end-true", "at-end-false"])
@pytest.mark.parametrize("run", SCANS)
def test_scans_call_the_predicate_from_the_cursor_to_the_first_false(run, start, test, calls,
                                                                   cursor):
    log = []
    s = LumoSeq(FIVE).skip(start)
    result = run(s, logged(test, log))
    assert log == [((x,), {}) for x in calls]
    assert state(advanced_of(result)) == (FIVE, cursor)
    if type(result) is tuple:
        assert len(result) == 2
        assert state(result[0]) == (FIVE[start:cursor], 0)
    assert state(s) == (FIVE, start)


def test_take_while_returns_a_pair_and_skip_while_a_sequence():
    s = LumoSeq(FIVE)
    pair = s.take_while(lambda x: x < 3)
    assert type(pair) is tuple and len(pair) == 2
    assert pair[1] is not s
    assert type(s.skip_while(lambda x: x < 3)) is LumoSeq
    assert s.skip_while(lambda x: False) is not s


def test_take_while_hands_out_the_items_themselves():
    items = [Item(i) for i in range(4)]
    taken, advanced = LumoSeq(items).skip(1).take_while(lambda x: x.value < 3)
    assert [id(x) for x in taken.list()] == [id(items[1]), id(items[2])]
    assert [id(x) for x in advanced.list()] == [id(x) for x in items]
    assert cursor_of(advanced) == 3


@pytest.mark.parametrize("run", SCANS)
def test_scans_on_an_empty_sequence_never_call(run):
    result = run(LumoSeq([]), 5)
    assert state(advanced_of(result)) == ([], 0)


@pytest.mark.parametrize("run", SCANS)
def test_scans_non_callable_fails_at_the_first_call(run):
    assert cursor_of(advanced_of(run(LumoSeq(FIVE).skip(5), 5))) == 5
    with pytest.raises(TypeError) as excinfo:
        run(LumoSeq(FIVE), 5)
    assert "'int' object is not callable" in str(excinfo.value)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 9), max_size=8), st.integers(0, 9), st.integers(0, 9))
def test_scans_match_a_model(values, start, limit):
    start = min(start, len(values))
    s = LumoSeq(values).skip(start)
    end = start
    while end < len(values) and values[end] < limit:
        end += 1
    log = []
    taken, advanced = s.take_while(lambda x: log.append(x) or x < limit)
    assert taken.list() == values[start:end]
    assert state(advanced) == (values, end)
    assert log == values[start:min(end + 1, len(values))]
    assert state(s.skip_while(lambda x: x < limit)) == (values, end)


@pytest.mark.parametrize("result, message", [
    (1, "'int' object cannot be converted to 'PyBool'"),
    (0, "'int' object cannot be converted to 'PyBool'"),
    (None, "'NoneType' object cannot be converted to 'PyBool'"),
    ([1], "'list' object cannot be converted to 'PyBool'"),
    ([], "'list' object cannot be converted to 'PyBool'"),
    ("", "'str' object cannot be converted to 'PyBool'"),
    (IntSub(0), "'IntSub' object cannot be converted to 'PyBool'"),
    (Holder.Truthy(), "'Holder.Truthy' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(with_bool=False)(True), "'bool_' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(module="notnumpy")(True), "'bool_' object cannot be converted to 'PyBool'"),
], ids=["1", "0", "None", "list", "empty-list", "empty-str", "int-subclass", "truthy-object",
        "numpy-name-without-bool", "other-module"])
@pytest.mark.parametrize("run", SCANS)
def test_scans_reject_results_that_are_not_strict_booleans(run, result, message):
    log = []
    s = LumoSeq(FIVE).skip(1)
    with pytest.raises(TypeError) as excinfo:
        run(s, logged(lambda x: True if x < 4 else result, log))
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    assert [args for args, _ in log] == [(2,), (3,), (4,)]
    assert state(s) == (FIVE, 1)


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("run", SCANS)
def test_scans_accept_numpy_lookalike_booleans_by_their_truth(run, name):
    lookalike = numpy_lookalike(name=name)
    log = []
    result = run(LumoSeq(FIVE), logged(lambda x: lookalike(x < 3), log))
    assert cursor_of(advanced_of(result)) == 2
    assert len(log) == 3


@pytest.mark.parametrize("run", SCANS)
def test_scans_numpy_lookalike_class_with_constant_truth(run):
    always = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert cursor_of(advanced_of(run(LumoSeq(FIVE), lambda x: always()))) == 5


@pytest.mark.parametrize("run", SCANS)
def test_scans_numpy_lookalike_bool_exception_travels_unchanged(run):
    raised = ArithmeticError("no truth")

    def fail(self):
        raise raised

    lookalike = type("bool_", (), {"__module__": "numpy", "__bool__": fail})
    with pytest.raises(ArithmeticError) as excinfo:
        run(LumoSeq(FIVE), lambda x: lookalike())
    assert excinfo.value is raised


@pytest.mark.parametrize("run", SCANS)
def test_scans_accept_real_numpy_booleans(run):
    numpy = pytest.importorskip("numpy")
    assert cursor_of(advanced_of(run(LumoSeq(FIVE), lambda x: numpy.bool_(x < 4)))) == 3
    with pytest.raises(TypeError) as excinfo:
        run(LumoSeq(FIVE), lambda x: numpy.int64(1))
    assert str(excinfo.value) == "'int64' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("raised", [ValueError("third"), KeyboardInterrupt(), SystemExit(4),
                                    MemoryError()], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("run", SCANS)
def test_scans_predicate_exception_travels_unchanged_and_stops(run, raised):
    log = []

    def predicate(x):
        log.append(x)
        if x == 3:
            raise raised
        return True

    s = LumoSeq(FIVE)
    with pytest.raises(type(raised)) as excinfo:
        run(s, predicate)
    assert excinfo.value is raised
    assert log == [1, 2, 3]
    assert state(s) == (FIVE, 0)


@pytest.mark.parametrize("run", [lambda s, p: s.skip_while(predicate=p),
                                 lambda s, p: s.take_while(predicate=p)],
                         ids=["skip_while", "take_while"])
def test_scans_accept_predicate_by_keyword(run):
    assert cursor_of(advanced_of(run(LumoSeq(FIVE), lambda x: x < 2))) == 1


# --- access --------------------------------------------------------------------------------

def _hooked_calls():
    """(run(s, visit), expected state of the advanced sequence, number of visits)."""

    def skip_while(s, visit):
        return s.skip_while(lambda x: visit(x) or x < 3)

    def take_while(s, visit):
        return s.take_while(lambda x: visit(x) or x < 3)

    def take(s, visit):
        class N:
            def __index__(self):
                visit(None)
                return 2
        return s.take(N())

    return [pytest.param(skip_while, 3, id="skip_while"),
            pytest.param(take_while, 3, id="take_while"),
            pytest.param(take, 1, id="take")]


@pytest.mark.parametrize("run, visits", _hooked_calls())
def test_hooks_get_already_borrowed_from_skip_and_answers_from_other_methods(run, visits):
    s = LumoSeq(FIVE)
    log = []

    def visit(x):
        try:
            s.skip(1)
            log.append("skipped")
        except RuntimeError as e:
            log.append(str(e))
        log.append(s.len())
        log.append(s.take(1)[0].list())
        log.append(after_cursor(s.take_while(lambda y: y < 2)[1]))

    result = run(s, visit)
    assert state(advanced_of(result)) == (FIVE, 2)
    assert log == ["Already borrowed", 5, [1], [2, 3, 4, 5]] * visits
    assert cursor_of(s.skip(1)) == 1  # the access is released


@pytest.mark.parametrize("run, visits", _hooked_calls())
def test_uncaught_already_borrowed_leaves_the_operator(run, visits):
    s = LumoSeq(FIVE)
    with pytest.raises(RuntimeError) as excinfo:
        run(s, lambda x: s.skip(1))
    assert str(excinfo.value) == "Already borrowed"
    assert cursor_of(s.skip(1)) == 1


def test_skip_while_predicate_on_the_receiver_itself_nests():
    s = LumoSeq(FIVE)
    inner = []
    out = s.skip_while(lambda x: inner.append(cursor_of(s.skip_while(lambda y: y < x))) or x < 3)
    assert cursor_of(out) == 2
    assert inner == [0, 1, 2]


@pytest.mark.parametrize("inner_call, expected", [
    (lambda s: s.where(lambda x: True), "Already mutably borrowed"),
    (lambda s: s.len(), "Already mutably borrowed"),
    (lambda s: s.list(), "Already mutably borrowed"),
    (lambda s: s.take(1), "Already mutably borrowed"),
    (lambda s: s.take_while(lambda x: True), "Already mutably borrowed"),
    (lambda s: s.restart(), "Already mutably borrowed"),
    (lambda s: s.append(0), "Already mutably borrowed"),
    (lambda s: s.skip(1), "Already borrowed"),
], ids=["where", "len", "list", "take", "take_while", "restart", "append", "skip"])
def test_index_of_n_in_skip_sees_the_receiver_held_exclusively(inner_call, expected):
    s = LumoSeq(FIVE)
    log = []

    class N:
        def __index__(self):
            try:
                inner_call(s)
                log.append("ok")
            except RuntimeError as e:
                log.append(str(e))
            return 2

    assert state(s.skip(N())) == (FIVE, 2)
    assert log == [expected]
    assert s.where(lambda x: x > 3).list() == [4, 5]  # the exclusive access is released
    assert cursor_of(s.skip(1)) == 1


def test_index_of_n_in_skip_uncaught_error_reaches_the_caller_and_releases():
    s = LumoSeq(FIVE)

    class N:
        def __index__(self):
            s.where(lambda x: True)
            return 1

    with pytest.raises(RuntimeError) as excinfo:
        s.skip(N())
    assert str(excinfo.value) == "Already mutably borrowed"
    assert s.len() == 5
    assert cursor_of(s.skip(1)) == 1


def test_index_of_n_in_skip_may_use_other_sequences():
    s = LumoSeq(FIVE)
    other = LumoSeq([10, 20])

    class N:
        def __index__(self):
            return other.skip(1).take(5)[0].len() + other.where(lambda x: x > 10).len()

    assert cursor_of(s.skip(N())) == 2


def test_skip_held_by_a_failed_conversion_is_released():
    s = LumoSeq(FIVE)
    with pytest.raises(OverflowError):
        s.skip(-1)
    with pytest.raises(TypeError):
        s.skip("1")
    assert cursor_of(s.skip(2)) == 2
    assert s.where(lambda x: True).len() == 5


# --- reference balance ---------------------------------------------------------------------

def _success_cases():
    def skip(items):
        n = Index(2)
        return n, lambda s: s.skip(n)

    def restart(items):
        return None, lambda s: s.restart()

    def take(items):
        n = Index(2)
        return n, lambda s: s.take(n)

    def skip_while(items):
        predicate = lambda x: x.value < 3  # noqa: E731
        return predicate, lambda s: s.skip_while(predicate)

    def take_while(items):
        predicate = lambda x: x.value < 3  # noqa: E731
        return predicate, lambda s: s.take_while(predicate)

    return [skip, restart, take, skip_while, take_while]


@pytest.mark.parametrize("case", _success_cases(), ids=lambda f: f.__name__)
def test_refcounts_balanced_on_success(case):
    items = [Item(i) for i in range(5)]
    s = LumoSeq(items).skip(1)
    hook, run = case(items)
    with refcounts_balanced(*items, hook, s):
        result = run(s)
        assert advanced_of(result).len() == 5
        del result


def _failure_cases():
    def bad_index():
        class Bad:
            def __index__(self):
                raise LookupError("no index")
        return Bad()

    def skip(items):
        n = bad_index()
        return n, lambda s: s.skip(n), LookupError

    def skip_overflow(items):
        n = Index(-1)
        return n, lambda s: s.skip(n), OverflowError

    def restart(items):
        arg = Item("arg")
        return arg, lambda s: s.restart(arg), TypeError

    def take(items):
        n = bad_index()
        return n, lambda s: s.take(n), LookupError

    def take_type(items):
        n = Item("n")
        return n, lambda s: s.take(n), TypeError

    def skip_while(items):
        def predicate(x):
            if x.value == 3:
                raise ValueError("stop")
            return True
        return predicate, lambda s: s.skip_while(predicate), ValueError

    def skip_while_not_bool(items):
        predicate = lambda x: True if x.value < 3 else x  # noqa: E731
        return predicate, lambda s: s.skip_while(predicate), TypeError

    def take_while(items):
        def predicate(x):
            if x.value == 3:
                raise KeyboardInterrupt
            return True
        return predicate, lambda s: s.take_while(predicate), KeyboardInterrupt

    def take_while_not_bool(items):
        predicate = lambda x: True if x.value < 3 else None  # noqa: E731
        return predicate, lambda s: s.take_while(predicate), TypeError

    return [skip, skip_overflow, restart, take, take_type, skip_while, skip_while_not_bool,
            take_while, take_while_not_bool]


@pytest.mark.parametrize("case", _failure_cases(), ids=lambda f: f.__name__)
def test_refcounts_balanced_on_failure(case):
    items = [Item(i) for i in range(5)]
    s = LumoSeq(items).skip(1)
    hook, run, exc_type = case(items)
    with refcounts_balanced(*items, hook, s):
        exc = caught(lambda: run(s))
        assert type(exc) is exc_type
        del exc
    assert state(s) == (items, 1)


# --- shared storage ------------------------------------------------------------------------

class Dying:
    """Records its own release in a shared log."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __del__(self):
        self.log.append(self.name)


def test_taken_items_are_copied_and_the_advanced_sequence_shares_its_receivers():
    item = Item("x")
    s = LumoSeq([item, item])
    base = sys.getrefcount(item)
    taken, advanced = s.take(1)
    assert sys.getrefcount(item) == base + 1  # the taken slot only
    skipped = advanced.skip(1).restart()
    assert sys.getrefcount(item) == base + 1
    del s, advanced  # the sharer keeps the storage, and so both slots, alive
    assert sys.getrefcount(item) == base + 1
    assert skipped.list() == [item, item]
    del taken
    assert sys.getrefcount(item) == base
    del skipped
    assert sys.getrefcount(item) == base - 2


def test_a_sharer_of_a_sharer_holds_the_owner_and_visits_no_item():
    owner = LumoSeq([Item(0), Item(1)])
    step = owner.skip(1).take(0)[1].restart().skip_while(lambda x: False)
    assert gc.get_referents(step) == [LumoSeq, owner]  # no chain through the steps between
    assert len(gc.get_referents(owner)) == 3  # the type and its two items, visited by it alone


@pytest.mark.parametrize("share", [lambda s: s.skip(2), lambda s: s.restart(),
                                   lambda s: s.take(1)[1], lambda s: s.take_while(lambda x: True)[1],
                                   lambda s: s.skip_while(lambda x: False)],
                         ids=["skip", "restart", "take", "take_while", "skip_while"])
def test_the_last_holder_releases_the_items_from_index_0_upward(share):
    log = []
    s = LumoSeq([Dying(i, log) for i in range(4)])
    sharer = share(s)
    del s
    assert log == []
    del sharer
    assert log == [0, 1, 2, 3]


@pytest.mark.parametrize("run, kept", [
    (lambda s: s.take(2)[0], [0, 1]),
    (lambda s: s.skip(1).take(2)[0], [1, 2]),
    (lambda s: s.take_while(lambda x: x.value < 2)[0], [0, 1]),
    (lambda s: s.chunk(2).at(1), [2, 3]),
    (lambda s: s.group_by(lambda x: x.value % 2).at(0)[1], [0, 2, 4]),
    (lambda s: s.where(lambda x: x.value > 3), [4]),
], ids=["take", "take after skip", "take_while", "chunk", "group_by", "where"])
def test_partial_results_keep_only_their_own_items(run, kept):
    items = [Item(i) for i in range(5)]
    refs = [weakref.ref(x) for x in items]
    part = run(LumoSeq(items))
    del items
    gc.collect()
    assert [i for i, ref in enumerate(refs) if ref() is not None] == kept
    assert [x.value for x in part.list()] == kept


def test_a_long_walk_by_one_releases_without_deep_recursion():
    code = textwrap.dedent("""
        from lumo import LumoSeq
        s = LumoSeq(list(range(1_000_000)))
        steps = []
        taken, s = s.take(1)
        while not taken.empty():
            steps.append(s)
            taken, s = s.take(1)
        del s, taken
        print(len(steps), end="")
        del steps
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]
    assert proc.stdout == b"1000000"


@pytest.mark.parametrize("reader, skipper", [("sharer", "owner"), ("owner", "sharer")])
def test_owner_and_sharer_keep_separate_access(reader, skipper):
    owner = LumoSeq(FIVE)
    seqs = {"owner": owner, "sharer": owner.skip(2)}
    log = []

    def visit(x):
        log.append(cursor_of(seqs[skipper].skip(1)))  # the other object: allowed
        log.append(str(caught(lambda: seqs[reader].skip(1))))  # the one being read: refused
        return True

    seqs[reader].where(visit)
    moved = 3 if skipper == "sharer" else 1
    assert log == [moved, "Already borrowed"] * 5
    class Probe:  # skip's count: converted while skip holds its receiver alone
        def __index__(self):
            log.append(seqs[reader].len())
            log.append(str(caught(lambda: seqs[skipper].len())))
            return 1

    log.clear()
    seqs[skipper].skip(Probe())
    assert log == [5, "Already mutably borrowed"]
    assert state(seqs["owner"]) == (FIVE, 0) and state(seqs["sharer"]) == (FIVE, 2)


# --- fault injection -----------------------------------------------------------------------

_SNAPSHOT = """
def snapshot():
    return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
"""


def sweep(setup, call):
    """One fault sweep over `call`, with a snapshot of the receiver `s` that `setup` defines."""
    fault_sweep(setup=textwrap.dedent(setup) + _SNAPSHOT, call=call)


def test_skip_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4]).skip(1)
        """,
        call="""
            r = s.skip(2)
            assert r.list() == [1, 2, 3, 4] and r.take(9)[0].list() == [4]
            return r
        """)


def test_restart_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4]).skip(3)
        """,
        call="""
            r = s.restart()
            assert r.take(9)[0].list() == [1, 2, 3, 4]
            return r
        """)


def test_take_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4, 5]).skip(1)
        """,
        call="""
            r = s.take(2)
            assert r[0].list() == [2, 3] and r[1].take(9)[0].list() == [4, 5]
            return r
        """)


def test_skip_while_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4, 5]).skip(1)
        """,
        call="""
            r = s.skip_while(lambda x: x < 4)
            assert r.take(9)[0].list() == [4, 5]
            return r
        """)


def test_take_while_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4, 5]).skip(1)
        """,
        call="""
            r = s.take_while(lambda x: x < 4)
            assert r[0].list() == [2, 3] and r[1].take(9)[0].list() == [4, 5]
            return r
        """)
