"""select, where, of_type, cast and enumerate: one callback per item in order, the strict boolean
rule for predicate results and `silent`, the cast failure message, interrupts that are never
swallowed, indexes past 2**64 - 1, re-entry from callbacks, and reference balance."""
import abc
import collections.abc
import re
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from lumo import LumoSeq
from support import fault_sweep, refcounts_balanced


def cursor_of(seq):
    return seq.len() - seq.take(10**6)[0].len()


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


def names_parameter(message, name):
    return re.search(rf"\b{name}\b", message) is not None


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
    """Classes nested one level, so that their qualified names differ from their names."""

    class Truthy:
        def __init__(self, log=None):
            self.log = log

        def __bool__(self):
            if self.log is not None:
                self.log.append("bool")
            return True

    class CastFailed(Exception):
        pass

    class Target:
        def __new__(cls, item):
            raise ValueError("never")


class IntSub(int):
    pass


def numpy_lookalike(name="bool_", module="numpy", with_bool=True):
    """A class that poses as a NumPy boolean scalar type; instances carry their truth."""
    namespace = {"__module__": module, "__init__": lambda self, truth: setattr(self, "truth", truth)}
    if with_bool:
        namespace["__bool__"] = lambda self: self.truth
    return type(name, (), namespace)


FakeNumpyBool = numpy_lookalike()


def converter(convert):
    """A type whose call `ty(item)` logs its arguments and returns `convert(item)`."""
    log = []

    class Converter:
        def __new__(cls, *args, **kwargs):
            log.append((args, kwargs))
            return convert(*args)

    return Converter, log


def plain_type(convert):
    """A type whose call `ty(item)` returns `convert(item)` and keeps nothing."""

    class Plain:
        def __new__(cls, item):
            return convert(item)

    return Plain


def fails_on(bad, exc_factory=lambda: ValueError("bad item")):
    def convert(item):
        if item in bad:
            raise exc_factory()
        return item
    return convert


# --- documentation -------------------------------------------------------------------------

TAKE_DOC = ("Takes the next n items from the current position.\n"
            "Returns a tuple containing:\n"
            "- A new sequence with the next n items (or fewer if less are available)\n"
            "- The original sequence with the pointer advanced")
TAKE_WHILE_DOC = ("Takes items from the current position as long as they satisfy the predicate.\n"
                  "Returns a tuple containing:\n"
                  "- A new sequence with the items that satisfy the predicate\n"
                  "- The original sequence with the pointer advanced past those items")
CAST_DOC = ("Attempts to cast all items in the sequence to the specified type.\n"
            "If silent is True, items that can't be cast will be skipped instead of raising an "
            "error.")


@pytest.mark.parametrize("name, signature, doc", [
    ("select", "($self, func)", "Returns a new sequence applying the given function to each item."),
    ("where", "($self, predicate)",
     "Returns a new sequence filtering items based on the given predicate."),
    ("of_type", "($self, ty)", "Returns a new sequence filtering items based on the given type."),
    ("cast", "($self, ty, silent=False)", CAST_DOC),
    ("enumerate", "($self, start_index=0)",
     "Returns a new sequence where each element is a tuple of (index, value)."),
    ("skip", "($self, n)", "Skips the next n items in the sequence, advancing the pointer."),
    ("restart", "($self)", "Restarts the sequence by resetting the pointer to zero."),
    ("take", "($self, n)", TAKE_DOC),
    ("skip_while", "($self, predicate)", "Skips elements as long as a condition is true."),
    ("take_while", "($self, predicate)", TAKE_WHILE_DOC),
    ("append", "($self, item)", "Adds an item to the end of the sequence."),
    ("prepend", "($self, item)", "Adds an item to the beginning of the sequence."),
])
def test_text_signature_and_docstring(name, signature, doc):
    method = getattr(LumoSeq, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


# --- select --------------------------------------------------------------------------------

def test_select_applies_func_once_per_item_in_order_positionally():
    items = [Item(i) for i in range(4)]
    results = [Item(-i) for i in range(4)]
    log = []

    def func(*args, **kwargs):
        log.append((args, kwargs))
        return results[args[0].value]

    s = LumoSeq(items)
    out = s.select(func)
    assert log == [((item,), {}) for item in items]
    assert [id(x) for x in out.list()] == [id(x) for x in results]
    assert out is not s
    assert cursor_of(out) == 0
    assert s.list() == items


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers()))
def test_select_matches_a_comprehension(values):
    assert LumoSeq(values).select(lambda x: (x, x * 2)).list() == [(x, x * 2) for x in values]


def test_select_processes_the_whole_vector_of_an_advanced_receiver():
    log = []
    s = LumoSeq([1, 2, 3, 4]).skip(3)
    out = s.select(lambda x: log.append(x) or x * 10)
    assert log == [1, 2, 3, 4]
    assert out.list() == [10, 20, 30, 40]
    assert cursor_of(out) == 0
    assert cursor_of(s) == 3


def test_select_keeps_none_results():
    assert LumoSeq([1, 2]).select(lambda x: None).list() == [None, None]


def test_select_non_callable_is_noticed_only_at_the_first_call():
    assert LumoSeq([]).select(5).list() == []
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).select(5)
    assert "'int' object is not callable" in str(excinfo.value)


@pytest.mark.parametrize("raised", [ValueError("third"), KeyboardInterrupt(), SystemExit(3),
                                    MemoryError()], ids=lambda e: type(e).__name__)
def test_select_callback_exception_travels_unchanged_and_stops(raised):
    log = []

    def func(x):
        log.append(x)
        if x == 3:
            raise raised
        return x

    s = LumoSeq([1, 2, 3, 4, 5])
    with pytest.raises(type(raised)) as excinfo:
        s.select(func)
    assert excinfo.value is raised
    assert log == [1, 2, 3]
    assert s.list() == [1, 2, 3, 4, 5]


def test_select_accepts_func_by_keyword():
    assert LumoSeq([1, 2]).select(func=lambda x: -x).list() == [-1, -2]


# --- where ---------------------------------------------------------------------------------

def test_where_keeps_the_items_themselves_in_order():
    items = [Item(i) for i in range(6)]
    log = []

    def predicate(*args, **kwargs):
        log.append((args, kwargs))
        return args[0].value % 2 == 0

    s = LumoSeq(items)
    out = s.where(predicate)
    assert log == [((item,), {}) for item in items]
    assert [id(x) for x in out.list()] == [id(items[0]), id(items[2]), id(items[4])]
    assert out is not s
    assert cursor_of(out) == 0
    assert s.list() == items


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers()), st.integers(1, 5))
def test_where_matches_a_comprehension(values, m):
    assert LumoSeq(values).where(lambda x: x % m == 0).list() == [x for x in values if x % m == 0]


@pytest.mark.parametrize("verdict, expected", [(True, [1, 2, 3]), (False, [])])
def test_where_constant_predicate(verdict, expected):
    assert LumoSeq([1, 2, 3]).where(lambda x: verdict).list() == expected


def test_where_filters_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([1, 2, 3, 4, 5]).skip(4)
    out = s.where(lambda x: x != 3)
    assert out.list() == [1, 2, 4, 5]
    assert cursor_of(out) == 0


def test_where_empty_receiver_never_calls_the_predicate():
    out = LumoSeq([]).where(5)
    assert out.list() == []
    with pytest.raises(TypeError):
        LumoSeq([1]).where(5)


@pytest.mark.parametrize("result, message", [
    (1, "'int' object cannot be converted to 'PyBool'"),
    (0, "'int' object cannot be converted to 'PyBool'"),
    (IntSub(1), "'IntSub' object cannot be converted to 'PyBool'"),
    (None, "'NoneType' object cannot be converted to 'PyBool'"),
    ([], "'list' object cannot be converted to 'PyBool'"),
    ([1], "'list' object cannot be converted to 'PyBool'"),
    ("", "'str' object cannot be converted to 'PyBool'"),
    ("yes", "'str' object cannot be converted to 'PyBool'"),
    (1.0, "'float' object cannot be converted to 'PyBool'"),
    (Holder.Truthy(), "'Holder.Truthy' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(with_bool=False)(True), "'bool_' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(module="mynumpy")(True), "'bool_' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(module="numpy.core")(True), "'bool_' object cannot be converted to 'PyBool'"),
    (numpy_lookalike(name="bool8")(True), "'bool8' object cannot be converted to 'PyBool'"),
], ids=["1", "0", "int-subclass", "None", "empty-list", "list", "empty-str", "str", "float",
        "truthy-object", "numpy-name-without-bool", "other-module", "numpy-submodule",
        "other-name"])
def test_where_rejects_results_that_are_not_strict_booleans(result, message):
    log = []

    def predicate(x):
        log.append(x)
        return True if x == 1 else result

    s = LumoSeq([1, 2, 3])
    with pytest.raises(TypeError) as excinfo:
        s.where(predicate)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    assert log == [1, 2]
    assert s.list() == [1, 2, 3]


def test_where_applies_no_truthiness_test_to_other_results():
    log = []
    with pytest.raises(TypeError):
        LumoSeq([1]).where(lambda x: Holder.Truthy(log))
    assert log == []


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_where_accepts_numpy_lookalike_booleans_by_their_truth(name):
    lookalike = numpy_lookalike(name=name)
    s = LumoSeq([1, 2, 3, 4])
    assert s.where(lambda x: lookalike(x % 2 == 0)).list() == [2, 4]


def test_where_numpy_lookalike_classes_with_constant_truth():
    always = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    never = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
    assert LumoSeq([1, 2]).where(lambda x: always()).list() == [1, 2]
    assert LumoSeq([1, 2]).where(lambda x: never()).list() == []


def test_where_numpy_lookalike_bool_exception_travels_unchanged():
    raised = ArithmeticError("no truth")

    def fail(self):
        raise raised

    lookalike = type("bool_", (), {"__module__": "numpy", "__bool__": fail})
    log = []
    with pytest.raises(ArithmeticError) as excinfo:
        LumoSeq([1, 2, 3]).where(lambda x: log.append(x) or lookalike())
    assert excinfo.value is raised
    assert log == [1]


def test_where_accepts_real_numpy_booleans():
    numpy = pytest.importorskip("numpy")
    s = LumoSeq([1, 2, 3, 4])
    assert s.where(lambda x: numpy.bool_(x > 2)).list() == [3, 4]
    assert s.where(lambda x: x > numpy.int64(1)).list() == [2, 3, 4]
    with pytest.raises(TypeError) as excinfo:
        s.where(lambda x: numpy.int64(1))
    assert str(excinfo.value) == "'int64' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as excinfo:
        s.where(lambda x: numpy.array([x]) == 2)
    assert str(excinfo.value) == "'ndarray' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("raised", [ValueError("second"), KeyboardInterrupt(), SystemExit(1),
                                    MemoryError()], ids=lambda e: type(e).__name__)
def test_where_predicate_exception_travels_unchanged_and_stops(raised):
    log = []

    def predicate(x):
        log.append(x)
        if x == 2:
            raise raised
        return True

    with pytest.raises(type(raised)) as excinfo:
        LumoSeq([1, 2, 3]).where(predicate)
    assert excinfo.value is raised
    assert log == [1, 2]


def test_where_accepts_predicate_by_keyword():
    assert LumoSeq([1, 2, 3]).where(predicate=lambda x: x > 1).list() == [2, 3]


# --- of_type -------------------------------------------------------------------------------

@pytest.mark.parametrize("ty, expected", [
    (int, [1, True, False, IntSub(7)]),
    (bool, [True, False]),
    (str, ["a"]),
    (object, [1, True, "a", 2.5, None, False, IntSub(7), int]),
    (type, [int]),
    (IntSub, [IntSub(7)]),
    (float, [2.5]),
    (type(None), [None]),
])
def test_of_type(ty, expected):
    items = [1, True, "a", 2.5, None, False, IntSub(7), int]
    out = LumoSeq(items).of_type(ty)
    assert [(type(x), x) for x in out.list()] == [(type(x), x) for x in expected]
    assert cursor_of(out) == 0


def test_of_type_keeps_the_items_themselves():
    items = [Item(0), 1, Item(2)]
    out = LumoSeq(items).of_type(Item).list()
    assert len(out) == 2 and out[0] is items[0] and out[1] is items[2]


def test_of_type_filters_the_whole_vector_of_an_advanced_receiver():
    s = LumoSeq([1, "a", 2, "b"]).skip(3)
    out = s.of_type(str)
    assert out.list() == ["a", "b"]
    assert cursor_of(out) == 0


def test_of_type_honours_abstract_base_classes():
    class Marker(abc.ABC):
        pass

    Marker.register(int)
    items = [1, "ab", [1], 2.0, {}, None]
    assert LumoSeq(items).of_type(collections.abc.Sized).list() == ["ab", [1], {}]
    assert LumoSeq(items).of_type(Marker).list() == [1]


def _checked_type(decide, log=None):
    class Checking(type):
        def __instancecheck__(cls, obj):
            if log is not None:
                log.append(obj)
            return decide(obj)

    class Checked(metaclass=Checking):
        pass

    return Checked


def test_of_type_calls_instance_check_once_per_item_in_order():
    log = []
    ty = _checked_type(lambda obj: obj % 2 == 1, log)
    s = LumoSeq([1, 2, 3, 4, 5]).skip(2)
    assert s.of_type(ty).list() == [1, 3, 5]
    assert log == [1, 2, 3, 4, 5]


def test_of_type_instance_check_result_gets_the_interpreters_truth_test():
    log = []
    ty = _checked_type(lambda obj: "yes" if obj > 1 else "", log)
    assert LumoSeq([1, 2, 3]).of_type(ty).list() == [2, 3]


def test_of_type_empty_receiver_never_checks():
    log = []
    ty = _checked_type(lambda obj: True, log)
    assert LumoSeq([]).of_type(ty).list() == []
    assert log == []


@pytest.mark.parametrize("raised", [LookupError("no check"), KeyboardInterrupt()],
                         ids=lambda e: type(e).__name__)
def test_of_type_instance_check_exception_travels_unchanged_and_stops(raised):
    log = []

    def decide(obj):
        if obj == 2:
            raise raised
        return True

    ty = _checked_type(decide, log)
    with pytest.raises(type(raised)) as excinfo:
        LumoSeq([1, 2, 3]).of_type(ty)
    assert excinfo.value is raised
    assert log == [1, 2]


@pytest.mark.parametrize("ty", [(int, str), int | str, 3, None, "int", [int], Item(1)],
                         ids=["tuple", "union", "int", "None", "str", "list", "instance"])
@pytest.mark.parametrize("items", [[], [1, "a"]])
def test_of_type_rejects_non_types_naming_ty(ty, items):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(items).of_type(ty)
    assert names_parameter(str(excinfo.value), "ty")


def test_of_type_accepts_ty_by_keyword():
    assert LumoSeq([1, "a"]).of_type(ty=str).list() == ["a"]


# --- cast ----------------------------------------------------------------------------------

@pytest.mark.parametrize("items, ty, silent, expected", [
    ([1, None], str, False, ["1", "None"]),
    (["1", "x", "3"], int, True, [1, 3]),
    (["1", "2"], int, False, [1, 2]),
    (["1.5", "x", 2], float, True, [1.5, 2.0]),
    (["x", "y"], int, True, []),
    ([], int, False, []),
    ([], int, True, []),
    ([(1, 2), "ab"], list, False, [[1, 2], ["a", "b"]]),
])
def test_cast(items, ty, silent, expected):
    out = LumoSeq(items).cast(ty, silent=silent)
    assert [(type(x), x) for x in out.list()] == [(type(x), x) for x in expected]
    assert cursor_of(out) == 0


@pytest.mark.parametrize("call", [
    lambda s: s.cast(int, True),
    lambda s: s.cast(int, silent=True),
    lambda s: s.cast(ty=int, silent=True),
    lambda s: s.cast(silent=True, ty=int),
])
def test_cast_silent_by_position_or_keyword(call):
    assert call(LumoSeq(["1", "x", "3"])).list() == [1, 3]


def test_cast_keeps_the_values_ty_returns():
    items = [Item(i) for i in range(3)]
    results = [Item(10 + i) for i in range(3)]
    ty, log = converter(lambda item: results[item.value])
    out = LumoSeq(items).skip(2).cast(ty)
    assert log == [((item,), {}) for item in items]
    assert [id(x) for x in out.list()] == [id(x) for x in results]
    assert cursor_of(out) == 0


def test_cast_empty_receiver_never_calls_ty():
    ty, log = converter(lambda item: item)
    assert LumoSeq([]).cast(ty).list() == []
    assert LumoSeq([]).cast(ty, True).list() == []
    assert log == []


def test_cast_failure_message():
    s = LumoSeq(["1", "x"])
    with pytest.raises(TypeError) as excinfo:
        s.cast(int)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == (
        "Failed to cast item at index 1 to int: ValueError: invalid literal for int() with base "
        "10: 'x'")
    assert excinfo.value.__cause__ is None
    assert s.list() == ["1", "x"]


def test_cast_failure_index_counts_from_the_start_of_the_vector():
    s = LumoSeq(["x", "1", "y"]).skip(2)
    with pytest.raises(TypeError) as excinfo:
        s.cast(int)
    assert str(excinfo.value) == (
        "Failed to cast item at index 0 to int: ValueError: invalid literal for int() with base "
        "10: 'x'")


def test_cast_failure_stops_at_the_first_failing_item():
    ty, log = converter(fails_on({3}))
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, 2, 3, 4, 3]).cast(ty)
    assert str(excinfo.value) == "Failed to cast item at index 2 to Converter: ValueError: bad item"
    assert [args for args, _ in log] == [(1,), (2,), (3,)]


def test_cast_silent_calls_ty_once_per_item_and_skips_failures():
    ty, log = converter(fails_on({2, 4}))
    out = LumoSeq([1, 2, 3, 4, 5]).cast(ty, silent=True)
    assert out.list() == [1, 3, 5]
    assert log == [((x,), {}) for x in [1, 2, 3, 4, 5]]


@pytest.mark.parametrize("exc_factory", [
    lambda: ValueError("v"), lambda: TypeError("t"), lambda: LookupError("l"),
    lambda: ArithmeticError("a"), lambda: RuntimeError("r"), lambda: Holder.CastFailed("c"),
    lambda: StopIteration(), lambda: RecursionError("deep"), lambda: OverflowError("o"),
], ids=["ValueError", "TypeError", "LookupError", "ArithmeticError", "RuntimeError", "custom",
        "StopIteration", "RecursionError", "OverflowError"])
def test_cast_silent_discards_ordinary_exceptions(exc_factory):
    ty, log = converter(fails_on({2}, exc_factory))
    assert LumoSeq([1, 2, 3]).cast(ty, silent=True).list() == [1, 3]
    assert len(log) == 3


@pytest.mark.parametrize("silent", [True, False])
@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(2), MemoryError()],
                         ids=lambda e: type(e).__name__)
def test_cast_never_swallows_interrupts(raised, silent):
    def convert(item):
        if item == 2:
            raise raised
        return item

    ty, log = converter(convert)
    s = LumoSeq([1, 2, 3, 4])
    with pytest.raises(type(raised)) as excinfo:
        s.cast(ty, silent=silent)
    assert excinfo.value is raised
    assert [args for args, _ in log] == [(1,), (2,)]
    assert s.list() == [1, 2, 3, 4]


def test_cast_interrupt_after_silently_skipped_failures():
    raised = KeyboardInterrupt()
    calls = []

    def convert(item):
        calls.append(item)
        if item == "stop":
            raise raised
        return int(item)

    ty, _ = converter(convert)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        LumoSeq(["1", "x", "stop", "4"]).cast(ty, silent=True)
    assert excinfo.value is raised
    assert calls == ["1", "x", "stop"]


@pytest.mark.parametrize("exc, text", [
    (ValueError(), "ValueError: "),
    (ValueError("a", "b"), "ValueError: ('a', 'b')"),
    (Holder.CastFailed("boom"), "Holder.CastFailed: boom"),
    (KeyError("k"), "KeyError: 'k'"),
], ids=["empty", "args", "qualname", "keyerror"])
def test_cast_failure_message_error_text(exc, text):
    def convert(item):
        raise exc

    ty, _ = converter(convert)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(["a"]).cast(ty)
    assert str(excinfo.value) == "Failed to cast item at index 0 to Converter: " + text


def test_cast_failure_message_when_str_of_the_error_fails():
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    def convert(item):
        raise Unprintable()

    ty, _ = converter(convert)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, 2]).cast(ty)
    assert str(excinfo.value) == (
        "Failed to cast item at index 0 to Converter: "
        "test_cast_failure_message_when_str_of_the_error_fails.<locals>.Unprintable: "
        "<exception str() failed>")
    assert excinfo.value.__cause__ is None


def test_cast_failure_message_uses_the_name_not_the_qualified_name():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).cast(Holder.Target)
    assert str(excinfo.value) == "Failed to cast item at index 0 to Target: ValueError: never"


def _named_type(name_getter, convert, name_log):
    class Naming(type):
        @property
        def __name__(cls):
            name_log.append("name")
            return name_getter()

    class Odd(metaclass=Naming):
        def __new__(cls, item):
            return convert(item)

    return Odd


def test_cast_name_that_is_not_a_str():
    name_log = []
    ty = _named_type(lambda: 5, fails_on({1}), name_log)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).cast(ty)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == "'int' object cannot be converted to 'PyString'"
    assert excinfo.value.__cause__ is None
    assert name_log == ["name"]


def test_cast_name_that_raises_replaces_the_failure():
    raised = LookupError("no name")

    def name():
        raise raised

    ty = _named_type(name, fails_on({2}), [])
    with pytest.raises(LookupError) as excinfo:
        LumoSeq([1, 2, 3]).cast(ty)
    assert excinfo.value is raised


def test_cast_reads_the_name_only_when_a_cast_fails_loudly():
    name_log = []

    def name():
        raise AssertionError("the name is not needed")

    ty = _named_type(lambda: name_log.append("read") or name(), fails_on({2}), name_log)
    assert LumoSeq([1, 3]).cast(ty).list() == [1, 3]
    assert LumoSeq([1, 2, 3]).cast(ty, silent=True).list() == [1, 3]
    assert name_log == []


@pytest.mark.parametrize("silent", [1, 0, None, "yes", [], 1.0, Holder.Truthy(),
                                    numpy_lookalike(with_bool=False)(True)],
                         ids=["1", "0", "None", "str", "list", "float", "truthy", "fake-numpy"])
def test_cast_silent_must_be_a_strict_boolean(silent):
    ty, log = converter(lambda item: item)
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1, 2]).cast(ty, silent=silent)
    assert "silent" in str(excinfo.value)
    assert log == []


def test_cast_silent_conversion_error_names_the_parameter_with_the_rule_as_cause():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(["x"]).cast(int, silent=1)
    message = str(excinfo.value)
    assert "silent" in message
    assert "'int' object cannot be converted to 'PyBool'" in message
    assert type(excinfo.value.__cause__) is TypeError
    assert str(excinfo.value.__cause__) == "'int' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("truth, expected", [(True, [1, 3]), (False, None)])
def test_cast_silent_accepts_a_numpy_lookalike(truth, expected):
    s = LumoSeq(["1", "x", "3"])
    if expected is None:
        with pytest.raises(TypeError) as excinfo:
            s.cast(int, silent=FakeNumpyBool(truth))
        assert str(excinfo.value).startswith("Failed to cast item at index 1 to int: ValueError")
    else:
        assert s.cast(int, silent=FakeNumpyBool(truth)).list() == expected


def test_cast_silent_accepts_real_numpy_booleans():
    numpy = pytest.importorskip("numpy")
    assert LumoSeq(["1", "x"]).cast(int, silent=numpy.True_).list() == [1]
    with pytest.raises(TypeError):
        LumoSeq(["1", "x"]).cast(int, silent=numpy.False_)


@pytest.mark.parametrize("ty", [(int, str), int | str, 3, None, "int", Item(1)],
                         ids=["tuple", "union", "int", "None", "str", "instance"])
@pytest.mark.parametrize("items", [[], ["1"]])
def test_cast_rejects_non_types_naming_ty(ty, items):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(items).cast(ty)
    assert names_parameter(str(excinfo.value), "ty")


def test_cast_converts_ty_before_silent():
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).cast(3, silent=1)
    assert names_parameter(str(excinfo.value), "ty")


def test_cast_accepts_a_type_with_a_metaclass():
    class Meta(type):
        pass

    class Wrapped(metaclass=Meta):
        def __init__(self, value):
            self.value = value

    out = LumoSeq([1, 2]).cast(Wrapped).list()
    assert [(type(x), x.value) for x in out] == [(Wrapped, 1), (Wrapped, 2)]


# --- enumerate -----------------------------------------------------------------------------

@pytest.mark.parametrize("call, expected", [
    (lambda s: s.enumerate(), [(0, "a"), (1, "b")]),
    (lambda s: s.enumerate(10), [(10, "a"), (11, "b")]),
    (lambda s: s.enumerate(start_index=3), [(3, "a"), (4, "b")]),
    (lambda s: s.enumerate(start_index=True), [(1, "a"), (2, "b")]),
    (lambda s: s.enumerate(False), [(0, "a"), (1, "b")]),
    (lambda s: s.enumerate(Index(7)), [(7, "a"), (8, "b")]),
    (lambda s: s.enumerate(IntSub(4)), [(4, "a"), (5, "b")]),
    (lambda s: s.enumerate(2**63), [(2**63, "a"), (2**63 + 1, "b")]),
])
def test_enumerate(call, expected):
    out = call(LumoSeq(["a", "b"]))
    pairs = out.list()
    assert pairs == expected
    assert all(type(p) is tuple and type(p[0]) is int for p in pairs)
    assert cursor_of(out) == 0


def test_enumerate_pairs_hold_the_items_themselves_and_ignore_the_cursor():
    items = [Item(i) for i in range(3)]
    s = LumoSeq(items).skip(2)
    pairs = s.enumerate(5).list()
    assert [p[0] for p in pairs] == [5, 6, 7]
    assert [id(p[1]) for p in pairs] == [id(x) for x in items]


def test_enumerate_counts_past_the_64_bit_range():
    assert LumoSeq(["a", "b", "c"]).enumerate(2**64 - 2).list() == [
        (2**64 - 2, "a"), (2**64 - 1, "b"), (2**64, "c")]
    assert LumoSeq(["a"]).enumerate(2**64 - 1).list() == [(2**64 - 1, "a")]
    assert LumoSeq(["a", "b"]).enumerate(2**64 - 1).list() == [(2**64 - 1, "a"), (2**64, "b")]
    assert LumoSeq(["a", "b", "c"]).enumerate(2**64 - 1).list() == [
        (2**64 - 1, "a"), (2**64, "b"), (2**64 + 1, "c")]


def test_enumerate_empty_receiver():
    assert LumoSeq([]).enumerate(2**64 - 1).list() == []


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers(), max_size=10), st.integers(0, 2**64 - 1))
def test_enumerate_matches_builtin_enumerate(values, start):
    assert LumoSeq(values).enumerate(start).list() == list(enumerate(values, start))


def test_enumerate_converts_start_index_once():
    log = []
    assert LumoSeq([1, 2, 3]).enumerate(Index(2, log)).list() == [(2, 1), (3, 2), (4, 3)]
    assert log == [2]


def test_enumerate_int_subclass_is_taken_as_is():
    class NoIndex(int):
        def __index__(self):
            raise AssertionError("an int is taken as is")

    assert LumoSeq([1]).enumerate(NoIndex(9)).list() == [(9, 1)]


@pytest.mark.parametrize("start", [-1, -2**63, 2**64, 2**70, Index(-1), Index(2**64)],
                         ids=["-1", "-2**63", "2**64", "2**70", "index-1", "index2**64"])
def test_enumerate_start_index_out_of_range_overflows(start):
    with pytest.raises(OverflowError):
        LumoSeq([1]).enumerate(start)


@pytest.mark.parametrize("start", [1.5, "1", None, [1], 1j], ids=repr)
def test_enumerate_start_index_not_an_integer_names_the_parameter(start):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).enumerate(start_index=start)
    assert "start_index" in str(excinfo.value)
    assert type(excinfo.value.__cause__) is TypeError
    assert str(excinfo.value.__cause__) in str(excinfo.value)


def test_enumerate_start_index_index_raising_passes_unchanged():
    raised = ValueError("no index")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(ValueError) as excinfo:
        LumoSeq([1]).enumerate(Bad())
    assert excinfo.value is raised


# --- binding -------------------------------------------------------------------------------

@pytest.mark.parametrize("method, call", [
    ("select", lambda s, f, ty: s.select()),
    ("select", lambda s, f, ty: s.select(f, f)),
    ("select", lambda s, f, ty: s.select(fn=f)),
    ("select", lambda s, f, ty: s.select(f, func=f)),
    ("where", lambda s, f, ty: s.where()),
    ("where", lambda s, f, ty: s.where(f, f)),
    ("where", lambda s, f, ty: s.where(pred=f)),
    ("where", lambda s, f, ty: s.where(f, predicate=f)),
    ("of_type", lambda s, f, ty: s.of_type()),
    ("of_type", lambda s, f, ty: s.of_type(ty, ty)),
    ("of_type", lambda s, f, ty: s.of_type(type=ty)),
    ("of_type", lambda s, f, ty: s.of_type(ty, ty=ty)),
    ("cast", lambda s, f, ty: s.cast()),
    ("cast", lambda s, f, ty: s.cast(silent=True)),
    ("cast", lambda s, f, ty: s.cast(ty, True, True)),
    ("cast", lambda s, f, ty: s.cast(ty, quiet=True)),
    ("cast", lambda s, f, ty: s.cast(ty, True, silent=True)),
    ("enumerate", lambda s, f, ty: s.enumerate(0, 1)),
    ("enumerate", lambda s, f, ty: s.enumerate(start=1)),
    ("enumerate", lambda s, f, ty: s.enumerate(0, start_index=1)),
])
def test_binding_errors_name_the_method(method, call):
    log = []
    ty, ty_log = converter(lambda x: x)
    s = LumoSeq([1, 2])
    with pytest.raises(TypeError) as excinfo:
        call(s, lambda x: log.append(x) or True, ty)
    assert method in str(excinfo.value)
    assert log == [] and ty_log == []


def test_binding_comes_before_any_conversion():
    log = []
    with pytest.raises(TypeError) as excinfo:
        LumoSeq([1]).enumerate(Index(1, log), 2)
    assert "enumerate" in str(excinfo.value)
    assert log == []


# --- re-entry ------------------------------------------------------------------------------

def _reentry_cases():
    """(id, run(s, visit), expected result) where `visit(item)` is called from inside each hook."""

    def run_select(s, visit):
        return s.select(lambda x: visit(x) or x * 10).list()

    def run_where(s, visit):
        return s.where(lambda x: visit(x) or x != 2).list()

    def run_of_type(s, visit):
        return s.of_type(_checked_type(lambda x: visit(x) or True, [])).list()

    def run_cast(s, visit):
        ty, _ = converter(lambda x: visit(x) or -x)
        return s.cast(ty).list()

    def run_cast_silent(s, visit):
        ty, _ = converter(lambda x: visit(x) or int("x"))
        return s.cast(ty, True).list()

    def run_enumerate(s, visit):
        class Start:
            def __index__(self):
                visit(None)
                return 5
        return s.enumerate(Start()).list()

    return [
        pytest.param(run_select, [10, 20, 30], 3, id="select"),
        pytest.param(run_where, [1, 3], 3, id="where"),
        pytest.param(run_of_type, [1, 2, 3], 3, id="of_type"),
        pytest.param(run_cast, [-1, -2, -3], 3, id="cast"),
        pytest.param(run_cast_silent, [], 3, id="cast-silent"),
        pytest.param(run_enumerate, [(5, 1), (6, 2), (7, 3)], 1, id="enumerate"),
    ]


@pytest.mark.parametrize("run, expected, visits", _reentry_cases())
def test_hooks_get_already_borrowed_from_skip_and_answers_from_other_methods(run, expected, visits):
    s = LumoSeq([1, 2, 3])
    log = []

    def visit(x):
        try:
            s.skip(1)
            log.append("skipped")
        except RuntimeError as e:
            log.append(str(e))
        log.append(s.len())
        log.append(s.take(1)[0].list())
        log.append(s.where(lambda y: y > 1).list())

    assert run(s, visit) == expected
    assert log == ["Already borrowed", 3, [1], [2, 3]] * visits
    assert cursor_of(s.skip(1)) == 1  # the access is released


@pytest.mark.parametrize("run", [case.values[0] for case in _reentry_cases()
                                 if case.id not in ("cast", "cast-silent")],
                         ids=["select", "where", "of_type", "enumerate"])
def test_uncaught_already_borrowed_leaves_the_operator(run):
    s = LumoSeq([1, 2, 3])
    with pytest.raises(RuntimeError) as excinfo:
        run(s, lambda x: s.skip(1))
    assert str(excinfo.value) == "Already borrowed"
    assert cursor_of(s.skip(1)) == 1


def test_already_borrowed_inside_ty_is_a_failed_cast():
    s = LumoSeq([1, 2, 3])
    ty, log = converter(lambda x: s.skip(1))
    with pytest.raises(TypeError) as excinfo:
        s.cast(ty)
    assert str(excinfo.value) == (
        "Failed to cast item at index 0 to Converter: RuntimeError: Already borrowed")
    assert len(log) == 1
    assert s.cast(ty, silent=True).list() == []
    assert len(log) == 4
    assert cursor_of(s.skip(1)) == 1


def test_skip_on_another_sequence_from_a_callback_works():
    other = LumoSeq([7, 8, 9])
    s = LumoSeq([1, 2])
    assert s.select(lambda x: other.skip(x).take(1)[0].list()).list() == [[8], [9]]


def test_where_called_on_the_receiver_from_its_own_predicate():
    s = LumoSeq([1, 2, 3])
    inner = []
    out = s.where(lambda x: inner.append(s.where(lambda y: y < x).list()) or True)
    assert out.list() == [1, 2, 3]
    assert inner == [[], [1], [1, 2]]


# --- reference balance ---------------------------------------------------------------------

def _balanced_success_cases():
    def select(items):
        func = lambda x: x  # noqa: E731
        return func, lambda s: s.select(func)

    def where(items):
        predicate = lambda x: x.value % 2 == 0  # noqa: E731
        return predicate, lambda s: s.where(predicate)

    def of_type(items):
        return Item, lambda s: s.of_type(Item)

    def cast(items):
        ty = plain_type(lambda x: x)
        return ty, lambda s: s.cast(ty)

    def cast_silent(items):
        ty = plain_type(lambda x: x if x.value % 2 else int("x"))
        return ty, lambda s: s.cast(ty, silent=True)

    def enumerate_(items):
        start = Index(3)
        return start, lambda s: s.enumerate(start)

    return [select, where, of_type, cast, cast_silent, enumerate_]


@pytest.mark.parametrize("case", _balanced_success_cases(), ids=lambda f: f.__name__)
def test_refcounts_balanced_on_success(case):
    items = [Item(i) for i in range(4)]
    s = LumoSeq(items).skip(1)
    hook, run = case(items)
    with refcounts_balanced(*items, hook, s):
        out = run(s)
        assert out.len() >= 1
        del out


def _balanced_failure_cases():
    def select(items):
        def func(x):
            if x.value == 2:
                raise ValueError("select")
            return x
        return func, lambda s: s.select(func), ValueError

    def where(items):
        def predicate(x):
            return True if x.value < 2 else 1
        return predicate, lambda s: s.where(predicate), TypeError

    def where_raises(items):
        def predicate(x):
            if x.value == 2:
                raise KeyboardInterrupt
            return True
        return predicate, lambda s: s.where(predicate), KeyboardInterrupt

    def of_type(items):
        ty = _checked_type(lambda x: 1 / (2 - x.value) > 0)
        return ty, lambda s: s.of_type(ty), ZeroDivisionError

    def cast(items):
        ty = plain_type(lambda x: x if x.value < 2 else int("x"))
        return ty, lambda s: s.cast(ty), TypeError

    def cast_interrupt(items):
        def convert(x):
            if x.value == 2:
                raise SystemExit(x)
            return x
        ty = plain_type(convert)
        return ty, lambda s: s.cast(ty, True), SystemExit

    def cast_bad_silent(items):
        ty = plain_type(lambda x: x)
        return ty, lambda s: s.cast(ty, items[0]), TypeError

    def enumerate_(items):
        class Bad:
            def __index__(self):
                raise ValueError("no index")
        start = Bad()
        return start, lambda s: s.enumerate(start), ValueError

    return [select, where, where_raises, of_type, cast, cast_interrupt, cast_bad_silent,
            enumerate_]


@pytest.mark.parametrize("case", _balanced_failure_cases(), ids=lambda f: f.__name__)
def test_refcounts_balanced_on_failure(case):
    items = [Item(i) for i in range(4)]
    s = LumoSeq(items).skip(1)
    hook, run, exc_type = case(items)
    with refcounts_balanced(*items, hook, s):
        exc = caught(lambda: run(s))
        assert type(exc) is exc_type
        del exc


# --- fault injection -----------------------------------------------------------------------

_SNAPSHOT = """
def snapshot():
    return (s.list(), s.len() - s.take(2**64 - 1)[0].len())
"""


def sweep(setup, call):
    """One fault sweep over `call`, with a snapshot of the receiver `s` that `setup` defines."""
    fault_sweep(setup=textwrap.dedent(setup) + _SNAPSHOT, call=call)


def test_select_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4]).skip(1)
        """,
        call="""
            r = s.select(lambda x: x * 1000)
            assert r.list() == [1000, 2000, 3000, 4000]
            return r
        """)


def test_where_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, 2, 3, 4, 5]).skip(2)
        """,
        call="""
            r = s.where(lambda x: x % 2 == 1)
            assert r.list() == [1, 3, 5]
            return r
        """)


def test_of_type_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq([1, "a", 2.5, "b"]).skip(1)
        """,
        call="""
            r = s.of_type(str)
            assert r.list() == ["a", "b"]
            return r
        """)


def test_cast_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq(["1", "x", "3"]).skip(1)
        """,
        call="""
            try:
                s.cast(int)
            except TypeError as e:
                assert str(e).startswith("Failed to cast item at index 1 to int: ValueError: ")
            r = s.cast(int, silent=True)
            assert r.list() == [1, 3]
            return r
        """)


def test_enumerate_fault_sweep():
    sweep(
        setup="""
            s = LumoSeq(["a", "b", "c"]).skip(1)
        """,
        call="""
            r = s.enumerate(2**64 - 2)
            assert r.list() == [(2**64 - 2, "a"), (2**64 - 1, "b"), (2**64, "c")]
            return r
        """)
