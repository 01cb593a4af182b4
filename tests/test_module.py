"""The module and the LumoSeq type: import, type object, constructor, pickling and copying, argument
binding, access guards, GC."""
import copy
import gc
import importlib
import pickle
import pickletools
import re
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import lumo
from lumo import LumoSeq
from support import refcounts_balanced

# Attributes the interpreter itself puts on an extension module.
INTERPRETER_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def caught(call):
    """Returns the exception `call` raises, with tracebacks dropped so callback frames free their locals."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the caller checks the type
        e = exc
        while e is not None:
            e.__traceback__ = None
            e = e.__cause__ or e.__context__
        return exc
    pytest.fail("no exception was raised")


def outcome(call):
    """('ok', result) or (exception type name, message): a log entry for calls made from inside a hook."""
    try:
        return ("ok", call())
    except Exception as exc:  # noqa: BLE001
        return (type(exc).__name__, str(exc))


class Token:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Token({self.name})"


# ---------------------------------------------------------------------------------------------
# Module


def test_module_attributes():
    assert lumo.__name__ == "lumo"
    assert lumo.__doc__ == "C#-like querying module"
    assert set(vars(lumo)) - INTERPRETER_ATTRIBUTES == {"LumoSeq", "__all__", "_restore", "_native_evaluations",
                                                        "_set_native"}
    assert type(lumo.__all__) is list
    assert lumo.__all__ == ["LumoSeq"]
    assert isinstance(lumo.LumoSeq, type)
    # Where pickle looks the rebuilding function up again: the module and the name it reports.
    assert (lumo._restore.__module__, lumo._restore.__qualname__) == ("lumo", "_restore")
    assert lumo._restore.__self__ is lumo
    assert lumo._restore.__text_signature__ == "(items, cursor)"


def test_reimport_returns_the_same_module_and_type():
    module, cls = lumo, lumo.LumoSeq
    survivor = LumoSeq([1, 2])
    saved = sys.modules.pop("lumo")
    try:
        again = importlib.import_module("lumo")
        assert again is module
        assert again.LumoSeq is cls
        assert again.__all__ == ["LumoSeq"]  # not appended to a second time
        assert type(survivor) is again.LumoSeq
        assert survivor.list() == [1, 2]
    finally:
        sys.modules["lumo"] = saved


def test_second_interpreter_gets_import_error(tmp_path):
    _testcapi = pytest.importorskip("_testcapi")
    result_file = tmp_path / "result.txt"
    code = textwrap.dedent(f"""
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import lumo
            result = "imported"
        except ImportError:
            result = "ImportError"
        except BaseException as exc:
            result = "other: " + repr(exc)
        with open({str(result_file)!r}, "w") as f:
            f.write(result)
    """)
    assert _testcapi.run_in_subinterp(code) == 0
    assert result_file.read_text() == "ImportError"
    # The first interpreter keeps its module.
    assert sys.modules["lumo"] is lumo
    assert LumoSeq([3]).list() == [3]


# ---------------------------------------------------------------------------------------------
# Type object


def test_type_names_and_class_signature():
    assert LumoSeq.__name__ == "LumoSeq"
    assert LumoSeq.__qualname__ == "LumoSeq"
    assert LumoSeq.__module__ == "builtins"
    assert LumoSeq.__text_signature__ == "(items)"
    assert LumoSeq.__doc__ == ""
    assert LumoSeq.__bases__ == (object,)


def test_type_is_not_subclassable():
    with pytest.raises(TypeError):
        class Sub(LumoSeq):  # noqa: F841
            pass


def test_instances_have_no_dict_and_no_weakrefs():
    s = LumoSeq([1])
    with pytest.raises(AttributeError):
        s.__dict__
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(s)
    assert LumoSeq.__weakrefoffset__ == 0
    assert LumoSeq.__dictoffset__ == 0


def test_subscripting_the_class_gives_a_generic_alias_like_list():
    alias = LumoSeq[int]
    assert type(alias) is types.GenericAlias
    assert (alias.__origin__, alias.__args__) == (LumoSeq, (int,))
    assert LumoSeq[int, str].__args__ == (int, str)
    assert alias([1, 2]).list() == [1, 2]  # calling the alias makes a plain instance
    with pytest.raises(TypeError):
        isinstance(LumoSeq([]), alias)  # as for list[int]
    assert LumoSeq.__class_getitem__.__doc__ == "See PEP 585"

    def annotated(s: LumoSeq[int]) -> LumoSeq[tuple[int, str]]: ...
    assert annotated.__annotations__["return"] == types.GenericAlias(LumoSeq, (tuple[int, str],))


@pytest.mark.parametrize("protocol", [
    pytest.param(lambda s: len(s), id="len"),
    pytest.param(lambda s: iter(s), id="iter"),
    pytest.param(lambda s: [x for x in s], id="for"),
    pytest.param(lambda s: s[0], id="getitem"),
    pytest.param(lambda s: 1 in s, id="contains"),
    pytest.param(lambda s: s < s, id="ordering"),
])
def test_no_container_protocols(protocol):
    with pytest.raises(TypeError):
        protocol(LumoSeq([1, 2, 3]))


def test_truth_equality_hash_and_repr_are_objects_defaults():
    a, b = LumoSeq([1]), LumoSeq([1])
    assert bool(LumoSeq([])) is True
    assert bool(a) is True
    assert (a == b) is False
    assert (a != b) is True
    assert (a == a) is True
    assert hash(a) == object.__hash__(a)
    assert repr(a) == object.__repr__(a)


# ---------------------------------------------------------------------------------------------
# Constructor


@pytest.mark.parametrize("build", [
    pytest.param(lambda items: LumoSeq(items), id="positional"),
    pytest.param(lambda items: LumoSeq(items=items), id="keyword"),
])
def test_constructor_takes_the_very_items(build):
    items = [Token("a"), Token("b"), Token("a")]
    items.append(items[0])  # one object in two slots
    s = build(items)
    assert type(s) is LumoSeq
    got = s.list()
    assert got == items
    assert all(g is i for g, i in zip(got, items))


def test_constructor_of_empty_list():
    s = LumoSeq([])
    assert s.list() == []
    assert s.len() == 0


def test_constructor_copies_the_list():
    items = [1, 2]
    s = LumoSeq(items)
    items.append(3)
    items[0] = 9
    assert s.list() == [1, 2]
    assert s.list() is not items
    got = s.list()
    got.append(4)
    assert s.list() == [1, 2]
    assert items == [9, 2, 3]  # the sequence never writes to the list


def test_list_subclass_storage_is_read_directly():
    calls = []

    class Sneaky(list):
        def __iter__(self):
            calls.append("__iter__")
            return iter(["from __iter__"])

        def __getitem__(self, i):
            calls.append("__getitem__")
            return "from __getitem__"

        def __len__(self):
            calls.append("__len__")
            return 0

    a, b = Token("a"), Token("b")
    stored = Sneaky([a, b])
    calls.clear()
    s = LumoSeq(stored)
    got = s.list()
    assert calls == []
    assert got[0] is a and got[1] is b and len(got) == 2


@pytest.mark.parametrize("items", [
    pytest.param((1, 2), id="tuple"),
    pytest.param(None, id="None"),
    pytest.param(range(3), id="range"),
    pytest.param(LumoSeq([1, 2]), id="LumoSeq"),
    pytest.param(iter([1, 2]), id="iterator"),
    pytest.param({1: 2}, id="dict"),
    pytest.param("ab", id="str"),
])
def test_constructor_rejects_non_lists_naming_items(items):
    with pytest.raises(TypeError) as excinfo:
        LumoSeq(items)
    assert "items" in str(excinfo.value)


def test_constructor_reference_counts():
    t = Token("t")
    with refcounts_balanced(t):
        before = sys.getrefcount(t)
        s = LumoSeq([t, t, t])
        # the temporary list is gone; the sequence holds one reference per slot
        assert sys.getrefcount(t) == before + 3
        del s
    with refcounts_balanced(t):
        err = caught(lambda: LumoSeq((t, t)))
        assert type(err) is TypeError
        del err


@pytest.mark.parametrize("call, names", [
    pytest.param(lambda: LumoSeq(), ["LumoSeq", "items"], id="missing"),
    pytest.param(lambda: LumoSeq([1], [2]), ["LumoSeq"], id="too-many"),
    pytest.param(lambda: LumoSeq([1], items=[2]), ["LumoSeq"], id="duplicate"),
    pytest.param(lambda: LumoSeq(stuff=[1]), ["LumoSeq"], id="unknown-keyword"),
    pytest.param(lambda: LumoSeq([1], stuff=2), ["LumoSeq"], id="unknown-keyword-extra"),
])
def test_constructor_binding_errors(call, names):
    with pytest.raises(TypeError) as excinfo:
        call()
    for name in names:
        assert name in str(excinfo.value)


# ---------------------------------------------------------------------------------------------
# Pickling and copying


def state(value):
    """Everything a value shows, as text: a sequence's items (with their types, nested sequences
    alike) and what its cursor walk gives."""
    if not isinstance(value, LumoSeq):
        return f"{type(value).__name__}:{value!r}"
    walks = [value, value.take(2)[0], value.skip(1).take(9)[0], value.append(0).take(9)[0],
             value.prepend(0).take(9)[0]]
    return [[state(x) for x in walk.list()] for walk in walks]


MIXED = [1, 10**30, -2.5, "text", b"bytes", None, True, (1, "t"), [2, [3]], {"k": {4}},
         frozenset({5}), LumoSeq([6, 7]).skip(1)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [
    pytest.param(lambda: LumoSeq(list(MIXED)), id="constructed"),
    pytest.param(lambda: LumoSeq(list(MIXED)).skip(4), id="shares-storage"),
    pytest.param(lambda: LumoSeq(list(MIXED)).skip(2).take(3)[0], id="taken"),
    pytest.param(lambda: LumoSeq(list(MIXED)).take(5)[1].append(8), id="appended"),
    pytest.param(lambda: LumoSeq(list(MIXED)).skip(99), id="cursor-at-end"),
    pytest.param(lambda: LumoSeq([]), id="empty"),
])
def test_pickle_round_trips_items_and_cursor(make, protocol):
    s = make()
    restored = pickle.loads(pickle.dumps(s, protocol))
    assert type(restored) is LumoSeq
    assert state(restored) == state(s)


def test_pickle_holds_a_list_and_the_cursor_for_the_module_function():
    owner = LumoSeq([10**20, "a"])
    sharer = owner.skip(1)
    assert sharer.__reduce__() == (lumo._restore, ([10**20, "a"], 1))
    ops = [(op.name, arg) for op, arg, _ in pickletools.genops(pickle.dumps(sharer, 4))]
    assert ops.count(("STACK_GLOBAL", None)) == ops.count(("REDUCE", None)) == 1
    assert [arg for name, arg in ops if name == "SHORT_BINUNICODE"][:2] == ["lumo", "_restore"]
    # The restored sequence owns its storage: its references are the items, not another sequence.
    restored = pickle.loads(pickle.dumps(sharer))
    assert gc.get_referents(sharer) == [LumoSeq, owner]
    assert gc.get_referents(restored) == [LumoSeq, *restored.list()]


def test_pickle_keeps_shared_items_shared_and_cycles_closed():
    shared = [1]
    s = LumoSeq([shared, shared, (shared,)])
    items = pickle.loads(pickle.dumps(s)).list()
    assert items[0] is items[1] is items[2][0] and items[0] == [1] and items[0] is not shared
    loop = []
    s = LumoSeq([loop]).skip(1)
    loop.append(s)
    restored = pickle.loads(pickle.dumps(s))
    assert restored.list()[0][0] is restored
    assert restored.take(1)[0].len() == 0  # cursor 1 of 1


class Forged:
    """Pickles as a call of lumo._restore with whatever arguments it is given."""

    def __init__(self, *args, **kwargs):
        self.args = args

    def __reduce__(self):
        return lumo._restore, self.args


class ListSubclass(list):
    pass


class IntSubclass(int):
    pass


@pytest.mark.parametrize("args, exc_type, message", [
    (((1, 2), 0), TypeError, "_restore() argument 'items' must be a list, not tuple"),
    ((LumoSeq([1]), 0), TypeError, "_restore() argument 'items' must be a list, not builtins.LumoSeq"),
    ((ListSubclass([1]), 0), TypeError, "_restore() argument 'items' must be a list, not ListSubclass"),
    ((None, 0), TypeError, "_restore() argument 'items' must be a list, not NoneType"),
    (([1], "0"), TypeError, "_restore() argument 'cursor' must be an int, not str"),
    (([1], True), TypeError, "_restore() argument 'cursor' must be an int, not bool"),
    (([1], IntSubclass(0)), TypeError, "_restore() argument 'cursor' must be an int, not IntSubclass"),
    (([1], 1.0), TypeError, "_restore() argument 'cursor' must be an int, not float"),
    (([1], 2), ValueError, "_restore() argument 'cursor' must be between 0 and the number of items (1)"),
    (([1], -1), ValueError, "_restore() argument 'cursor' must be between 0 and the number of items (1)"),
    (([], 2**64), ValueError, "_restore() argument 'cursor' must be between 0 and the number of items (0)"),
    (([], -10**100), ValueError, "_restore() argument 'cursor' must be between 0 and the number of items (0)"),
    (([1],), TypeError, "_restore() missing required argument 'cursor' (pos 2)"),
    (([1], 0, 0), TypeError, "_restore() takes at most 2 arguments (3 given)"),
])
def test_restore_refuses_what_no_pickled_sequence_holds(args, exc_type, message):
    for load in (lambda: lumo._restore(*args), lambda: pickle.loads(pickle.dumps(Forged(*args)))):
        err = caught(load)
        assert (type(err), str(err)) == (exc_type, message)


def test_restore_takes_its_arguments_by_keyword_too():
    s = lumo._restore(cursor=1, items=[1, 2])
    assert (s.list(), s.take(5)[0].list()) == ([1, 2], [2])
    assert "items" in str(caught(lambda: lumo._restore([1], cursor=0, items=[2])))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_truncated_pickle_is_refused_by_the_unpickler(protocol):
    data = pickle.dumps(LumoSeq([1, "a", (2.5, None), [b"x"], LumoSeq([3]).skip(1)]).skip(2), protocol)
    for end in range(len(data)):
        err = caught(lambda: pickle.loads(data[:end]))
        assert (type(err), str(err)) in {(EOFError, "Ran out of input"),
                                        (pickle.UnpicklingError, "pickle data was truncated")}


def test_copy_is_the_sequence_itself():
    s = LumoSeq([[1]]).skip(1)
    assert copy.copy(s) is s
    assert s.__copy__() is s


@pytest.mark.parametrize("make", [
    pytest.param(lambda: LumoSeq([1, "a", (2, None), range(3)]), id="owner"),
    pytest.param(lambda: LumoSeq([1, "a", LumoSeq([2]).skip(1)]).skip(2), id="sharer"),
    pytest.param(lambda: LumoSeq([]), id="empty"),
])
def test_deepcopy_of_items_that_copy_to_themselves_is_the_sequence(make):
    s = make()
    assert copy.deepcopy(s) is s
    assert s.__deepcopy__() is s


def test_deepcopy_copies_items_through_the_memo_and_keeps_the_cursor():
    shared = [1]
    s = LumoSeq([shared, "a", shared, {"k": shared}, LumoSeq([shared]).skip(1)]).skip(2)
    outer = [s, s, shared]
    c, again, shared_copy = copy.deepcopy(outer)
    assert type(c) is LumoSeq and c is not s and again is c
    items = c.list()
    assert items[0] is items[2] is items[3]["k"] is items[4].list()[0] is shared_copy
    assert shared_copy == [1] and shared_copy is not shared and items[1] == "a"
    assert c.take(9)[0].len() == 3 and items[4].take(9)[0].len() == 0  # cursors kept
    memo = {}
    assert s.__deepcopy__(memo=memo).list()[0] is memo[id(shared)]


def test_deepcopy_of_a_cycle_through_a_list_keeps_its_shape():
    loop = []
    s = LumoSeq([loop, 1]).skip(1)
    loop.append(s)
    c = copy.deepcopy(s)
    assert c is not s and c.list()[0] is not loop
    assert c.list()[0][0] is c
    assert c.take(5)[0].list() == [1]


def test_deepcopy_error_of_an_item_propagates_unchanged():
    raised = ValueError("no copies")

    class Refuses:
        def __deepcopy__(self, memo):
            raise raised

    s = LumoSeq([[1], Refuses()])
    assert caught(lambda: copy.deepcopy(s)) is raised
    assert s.skip(1).len() == 2  # the access is released


# ---------------------------------------------------------------------------------------------
# Argument binding


class LoggedIndex:
    def __init__(self, value, log):
        self.value, self.log = value, log

    def __index__(self):
        self.log.append(self.value)
        return self.value


# (call on s, method name, parameter the message must name or None)
BINDING_ERRORS = [
    # too many positional arguments
    (lambda s, x: s.at(x, None, 1), "at", None),
    (lambda s, x: s.first(1, 2), "first", None),
    (lambda s, x: s.last(1, 2), "last", None),
    (lambda s, x: s.skip(x, 1), "skip", None),
    # unknown keyword
    (lambda s, x: s.at(x, dflt=1), "at", "dflt"),
    (lambda s, x: s.first(x=1), "first", "x"),
    (lambda s, x: s.last(value=1), "last", "value"),
    (lambda s, x: s.skip(count=x), "skip", "count"),
    # given both by position and by keyword
    (lambda s, x: s.at(x, index=x), "at", "index"),
    (lambda s, x: s.at(x, 1, default=2), "at", "default"),
    (lambda s, x: s.first(1, default=2), "first", "default"),
    (lambda s, x: s.last(1, default=2), "last", "default"),
    (lambda s, x: s.skip(x, n=x), "skip", "n"),
    # missing required argument
    (lambda s, x: s.at(), "at", "index"),
    (lambda s, x: s.at(default=x), "at", "index"),
    (lambda s, x: s.skip(), "skip", "n"),
    # methods without parameters
    (lambda s, x: s.list(1), "list", None),
    (lambda s, x: s.list(x=1), "list", None),
    (lambda s, x: s.tuple(x), "tuple", None),
    (lambda s, x: s.set(x=x), "set", None),
    (lambda s, x: s.iter(1), "iter", None),
    (lambda s, x: s.len(1), "len", None),
    (lambda s, x: s.empty(x=1), "empty", None),
]


@pytest.mark.parametrize("call, method, param", BINDING_ERRORS,
                         ids=[f"{m}-{i}" for i, (_, m, _) in enumerate(BINDING_ERRORS)])
def test_binding_errors_name_method_and_parameter(call, method, param):
    log = []
    x = LoggedIndex(1, log)
    s = LumoSeq([1, 2, 3]).skip(2)
    with pytest.raises(TypeError) as excinfo:
        call(s, x)
    message = str(excinfo.value)
    assert re.search(rf"\b{method}\(", message), message
    if param is not None:
        assert re.search(rf"\b{param}\b", message), message
    assert log == []  # binding fails before any argument is converted
    assert s.skip(1).list() == [1, 2, 3]  # and leaves no access behind


@pytest.mark.parametrize("call, expected", [
    pytest.param(lambda s: s.at(index=1), 20, id="at-index-keyword"),
    pytest.param(lambda s: s.at(index=7, default="d"), "d", id="at-both-keywords"),
    pytest.param(lambda s: s.at(default="d", index=-1), 30, id="at-keywords-reordered"),
    pytest.param(lambda s: s.at(0, default=None), 10, id="at-explicit-none"),
    pytest.param(lambda s: s.first(default="d"), 10, id="first-keyword"),
    pytest.param(lambda s: s.last(default="d"), 30, id="last-keyword"),
    pytest.param(lambda s: s.skip(n=2).list(), [10, 20, 30], id="skip-keyword"),
])
def test_parameters_bind_by_keyword(call, expected):
    assert call(LumoSeq([10, 20, 30])) == expected


# ---------------------------------------------------------------------------------------------
# Conversion of typed parameters


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("call, method, param", [
    pytest.param(lambda s: s.at(1.0), "at", "index", id="at-float"),
    pytest.param(lambda s: s.at("1"), "at", "index", id="at-str"),
    pytest.param(lambda s: s.at(None), "at", "index", id="at-None"),
    pytest.param(lambda s: s.at(index=[0], default=1), "at", "index", id="at-list-keyword"),
    pytest.param(lambda s: s.skip("1"), "skip", "n", id="skip-str"),
    pytest.param(lambda s: s.skip(1.5), "skip", "n", id="skip-float"),
    pytest.param(lambda s: s.skip(n=None), "skip", "n", id="skip-None"),
])
def test_conversion_type_error_names_parameter_with_cause(call, method, param):
    s = LumoSeq([1, 2, 3])
    err = caught(lambda: call(s))
    assert type(err) is TypeError
    cause = err.__cause__
    assert type(cause) is TypeError
    assert re.search(rf"\b{param}\b", str(err)), str(err)
    assert str(cause) in str(err)
    assert s.skip(1).list() == [1, 2, 3]  # access released after the failure


@pytest.mark.parametrize("call", [
    pytest.param(lambda s, x: s.at(x), id="at"),
    pytest.param(lambda s, x: s.at(index=x, default=0), id="at-keyword"),
    pytest.param(lambda s, x: s.skip(x), id="skip"),
])
def test_index_type_error_becomes_the_cause(call):
    raised = TypeError("index hook refused")
    s = LumoSeq([1, 2, 3])
    err = caught(lambda: call(s, RaisingIndex(raised)))
    assert type(err) is TypeError
    assert err is not raised
    assert err.__cause__ is raised
    assert "index hook refused" in str(err)


@pytest.mark.parametrize("call", [
    pytest.param(lambda s: s.at(2**63), id="at-2**63"),
    pytest.param(lambda s: s.at(-2**63 - 1), id="at-below-int64"),
    pytest.param(lambda s: s.at(LoggedIndex(2**64, [])), id="at-index-hook-huge"),
    pytest.param(lambda s: s.skip(-1), id="skip-negative"),
    pytest.param(lambda s: s.skip(2**64), id="skip-2**64"),
    pytest.param(lambda s: s.skip(LoggedIndex(-5, [])), id="skip-index-hook-negative"),
])
def test_overflow_passes_unchanged(call):
    s = LumoSeq([1, 2, 3])
    err = caught(lambda: call(s))
    assert type(err) is OverflowError
    assert err.__cause__ is None
    assert err.__context__ is None
    assert s.skip(1).list() == [1, 2, 3]


@pytest.mark.parametrize("raised", [
    pytest.param(OverflowError("hook overflow"), id="OverflowError"),
    pytest.param(ValueError("hook value"), id="ValueError"),
    pytest.param(ZeroDivisionError("hook zero"), id="ZeroDivisionError"),
])
@pytest.mark.parametrize("call", [
    pytest.param(lambda s, x: s.at(x, "d"), id="at"),
    pytest.param(lambda s, x: s.skip(x), id="skip"),
])
def test_other_exceptions_of_index_hook_propagate_unchanged(call, raised):
    s = LumoSeq([1, 2, 3])
    err = caught(lambda: call(s, RaisingIndex(raised)))
    assert err is raised
    assert err.__cause__ is None


@pytest.mark.parametrize("make_index, expected, hook_calls", [
    pytest.param(lambda log: True, 20, [], id="True"),
    pytest.param(lambda log: False, 10, [], id="False"),
    pytest.param(lambda log: LoggedIndex(1, log), 20, [1], id="index-hook"),
    pytest.param(lambda log: LoggedIndex(-1, log), 30, [-1], id="index-hook-negative"),
])
def test_at_accepts_index_protocol(make_index, expected, hook_calls):
    log = []
    assert LumoSeq([10, 20, 30]).at(make_index(log)) == expected
    assert log == hook_calls


def test_at_takes_int_subclass_value_directly():
    class Int(int):
        def __index__(self):
            raise AssertionError("__index__ of an int subclass must not be called")

    assert LumoSeq([10, 20, 30]).at(Int(2)) == 30


# ---------------------------------------------------------------------------------------------
# Access discipline


class Hook:
    """__index__ runs `inner` (recording its outcome) and then answers `value`."""

    def __init__(self, inner, value=1):
        self.inner, self.value, self.log = inner, value, []

    def __index__(self):
        self.log.append(outcome(self.inner))
        return self.value


MUT = ("RuntimeError", "Already mutably borrowed")
BOR = ("RuntimeError", "Already borrowed")


def test_inside_skip_other_methods_see_mutable_borrow():
    s = LumoSeq([1, 2, 3])
    other = LumoSeq([7, 8])
    untouched = []
    inner_calls = [
        lambda: s.len(),
        lambda: s.list(),
        lambda: s.tuple(),
        lambda: s.set(),
        lambda: s.iter(),
        lambda: s.empty(),
        lambda: s.first(),
        lambda: s.last(0),
        lambda: s.at(0),
        lambda: s.at(LoggedIndex(0, untouched)),  # refused before its index is converted
        lambda: pickle.dumps(s),
        lambda: copy.copy(s),
        lambda: copy.deepcopy(s),
        lambda: s.skip(1),
        lambda: other.len(),  # the guard belongs to one object
        lambda: other.skip(1).list(),
    ]

    def inner():
        return [outcome(c) for c in inner_calls]

    hook = Hook(inner)
    result = s.skip(hook)
    assert hook.log == [("ok", [MUT] * 13 + [BOR, ("ok", 2), ("ok", [7, 8])])]
    assert untouched == []
    assert result.list() == [1, 2, 3]
    # The guard is released: every method works again.
    assert s.len() == 3
    assert s.skip(1).list() == [1, 2, 3]


def test_inside_skip_binding_errors_come_before_the_guard():
    s = LumoSeq([1, 2, 3])
    hook = Hook(lambda: [outcome(lambda: s.at()), outcome(lambda: s.len(1)),
                         outcome(lambda: s.skip())])
    s.skip(hook)
    [(status, results)] = hook.log
    assert status == "ok"
    assert [r[0] for r in results] == ["TypeError"] * 3


def test_guard_error_from_inside_skip_propagates_unchanged():
    s = LumoSeq([1, 2, 3])
    seen = []

    class Reraise:
        def __index__(self):
            try:
                s.len()
            except RuntimeError as exc:
                seen.append(exc)
                raise

    err = caught(lambda: s.skip(Reraise()))
    assert len(seen) == 1
    assert err is seen[0]
    assert str(err) == "Already mutably borrowed"
    assert s.len() == 3
    assert s.skip(2).list() == [1, 2, 3]


def test_inside_shared_access_skip_is_refused_and_reads_nest():
    s = LumoSeq([10, 20, 30]).skip(2)
    hook = Hook(lambda: [outcome(lambda: s.skip(1)), outcome(lambda: s.len()),
                         outcome(lambda: s.list()), outcome(lambda: s.at(-1)),
                         outcome(lambda: s.at(LoggedIndex(0, [])))], value=1)
    assert s.at(hook) == 20
    assert hook.log == [("ok", [BOR, ("ok", 3), ("ok", [10, 20, 30]), ("ok", 30), ("ok", 10)])]
    assert s.skip(1).list() == [10, 20, 30]


def test_hash_of_item_during_set_sees_shared_access():
    log = []
    holder = []

    class Item:
        def __hash__(self):
            s = holder[0]
            log.append([outcome(lambda: s.skip(1)), outcome(lambda: s.len()),
                        outcome(lambda: s.first() is self)])
            return 1

    item = Item()
    s = LumoSeq([item])
    holder.append(s)
    result = s.set()
    assert log == [[BOR, ("ok", 1), ("ok", True)]]  # checked before anything else hashes item
    assert len(result) == 1 and next(iter(result)) is item
    assert s.skip(1).list() == [item]


def test_access_released_after_failure_in_set():
    raised = ValueError("no hash")

    class Bad:
        def __hash__(self):
            raise raised

    s = LumoSeq([1, Bad()])
    assert caught(lambda: s.set()) is raised
    assert s.skip(1).len() == 2


# ---------------------------------------------------------------------------------------------
# Garbage collection and release


class Box:
    pass


@pytest.mark.parametrize("link", [
    pytest.param(lambda box: LumoSeq([box]), id="constructed"),
    pytest.param(lambda box: LumoSeq([1, box, 2]).skip(2), id="skip-result"),
    pytest.param(lambda box: LumoSeq([LumoSeq([box])]), id="nested"),
    pytest.param(lambda box: LumoSeq([box]).skip(1), id="sharer"),
    pytest.param(lambda box: LumoSeq([box, 1]).take(1)[1].restart(), id="sharer-of-sharer"),
    pytest.param(lambda box: LumoSeq([LumoSeq([box]).skip(1)]), id="sharer-nested"),
    # a dict the collector does not track yet, which starts holding the box afterwards
    pytest.param(lambda box: (lambda d: (LumoSeq([LumoSeq([d])]), d.update(b=box))[0])({}),
                 id="dict-tracked-later"),
    # tuples the operators make, and the tuples a callback makes, held by the result
    pytest.param(lambda box: LumoSeq([box]).join([1], lambda x: 1, lambda y: y), id="join-pair"),
    pytest.param(lambda box: LumoSeq([box]).zip([1]), id="zip-pair"),
    pytest.param(lambda box: LumoSeq([1]).zips([[box], (2,)]), id="zips-row"),
    pytest.param(lambda box: LumoSeq([box]).enumerate(), id="enumerate-pair"),
    pytest.param(lambda box: LumoSeq([box]).group_by(lambda x: 1), id="group-pair"),
    pytest.param(lambda box: (lambda d: (LumoSeq([d]).join([0], lambda x: 0, lambda y: y), d.update(b=box))[0])({}),
                 id="join-pair-of-dict-tracked-later"),
    pytest.param(lambda box: (lambda d: (LumoSeq([1]).select(lambda x: (x, d)), d.update(b=box))[0])({}),
                 id="selected-tuple-of-dict-tracked-later"),
])
def test_cycle_through_sequence_is_collected(link):
    box = Box()
    box.seq = link(box)
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("make, tracked", [
    (lambda: LumoSeq([1, 2]).zip(["a", None]), False),
    (lambda: LumoSeq([1, 2]).zips([[(3, "c")], ("d",)], True), False),
    (lambda: LumoSeq(["a", "b"]).enumerate(2**64 - 1), False),
    (lambda: LumoSeq([1, 2]).join([2], lambda x: x, lambda y: y), False),
    (lambda: LumoSeq([1, 2]).group_by(lambda x: x), False),
    (lambda: LumoSeq([1, 2]).select(lambda x: (x, str(x), None)), False),
    (lambda: LumoSeq([1, 2]).zip([[]]), True),
    (lambda: LumoSeq([{}]).enumerate(), True),  # a dict may be tracked later
    (lambda: LumoSeq([Box()]).group_by(lambda x: 1), True),
    (lambda: LumoSeq([1]).select(lambda x: (x, [])), True),
    (lambda: LumoSeq([1]).select(lambda x: (x, (x, []))), True),
])
def test_tuples_of_values_off_every_cycle_are_not_tracked(make, tracked):
    # As CPython's collector decides for a tuple at its first pass over it, from the start.
    result = make()
    pairs = result.list()
    assert pairs and all(gc.is_tracked(p) is tracked for p in pairs)
    assert gc.is_tracked(result) is tracked


def test_join_pairs_are_out_of_the_collector_until_the_join_is_done():
    inner = [Box(), Box()]
    seen = []

    def outer_key(x):
        seen.append(sum(type(o) is tuple and len(o) == 2 and o[1] is inner[0] for o in gc.get_objects()))
        return 0

    joined = LumoSeq([Box() for _ in range(4)]).join(inner, outer_key, lambda y: 0)
    assert seen == [0, 0, 0, 0]
    assert joined.len() == 8 and all(gc.is_tracked(p) for p in joined.list())


def test_release_drops_every_reference():
    t = Token("t")
    with refcounts_balanced(t):
        s = LumoSeq([t, 1, t])
        inner = s.skip(1)
        del s, inner


def test_deep_nest_is_released_without_crash():
    code = textwrap.dedent("""
        import weakref
        from lumo import LumoSeq
        class Leaf:
            pass
        leaf = Leaf()
        ref = weakref.ref(leaf)
        s = LumoSeq([leaf])
        del leaf
        for _ in range(300_000):
            s = LumoSeq([s])
        del s
        print("released" if ref() is None else "leaked", end="")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]
    assert proc.stdout.decode() == "released"
