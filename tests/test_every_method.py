"""Every method in the class, from one table: reference balance on the success and the exception
path, and a fault-injection sweep over both. The table must name exactly the methods the class has
(the 46 operators and the pickling and copying members) and the module's function, so a new one
cannot slip past these checks; a method with more than one path has more than one row
("method path"). A second table feeds a tuple that tuple() is still filling through every
parameter that lumo calls."""

import inspect
import pickle
import types

import pytest

import lumo
from lumo import LumoSeq
from support import fault_sweep, half_built_outcome, refcounts_balanced

# Inputs shared by every case. The objects are fresh heap objects (no small-int or interned
# strings), so their reference counts show exactly what the extension keeps.
SETUP = """
import copy
import operator
import pickle
import lumo

class Item:
    def __init__(self, v):
        self.v = v
    def __eq__(self, other):
        return isinstance(other, Item) and other.v == self.v
    def __hash__(self):
        return hash(self.v)
    def __lt__(self, other):
        return self.v < other.v
    def __repr__(self):
        return "Item(%d)" % self.v

def key(x):
    return x.v

def boom(*args):
    raise ValueError("boom")
fail = boom

items = [Item(v) for v in (3, 1, 2, 3, 5)]
# Keys the native paths take: ints, floats, strs and tuples of them, made afresh on the heap.
ints = [1000 + v for v in (3, -1, 2, 3, 5)]
reals = [v / 3 for v in (3, -1, 2, 3, 5)]
texts = ["k%d" % v for v in (3, 1, 2, 3, 5)]
pairs = [(i, t) for i, t in zip(ints, texts)]
swap = operator.itemgetter(1, 0)
values = ints + texts + [None, True, False] + pairs
first = {x: x for x in ints[:3] + reals[:3] + texts[:3] + pairs[:3]}  # later items: KeyError

class Quoted:  # prints like the str "k1"
    def __repr__(self):
        return "'k1'"
quoted = Quoted()

def same(x):
    return x

def nan_key(x):
    return x if x > 0 else float("nan")
others = [Item(v) for v in (2, 7, 3)]
numbers = [10**20 + v for v in (4, 1, 3)]
nested = [[items[0], [items[1], (items[2],)]], items[3]]
cycle = []
cycle.append(cycle)
other = LumoSeq(others)
# Values that compare in C (the equality index) and records of them; int() refuses the strs.
plain = [10**20 + v % 7 for v in range(30)] + ["s%d" % (v % 4) for v in range(9)] + [
    v / 2 for v in range(6)] + [-0.0, (10**20, 0.5), frozenset({10**20}), b"%d" % 7, None]
records = [{"id": 10**20 + v % 5, "tags": [v % 2, "t"], "w": (v % 3) / 4} for v in range(20)]

# Pickles: a sequence's own, and crafted ones that hand lumo._restore what no sequence pickles as.
class Forged:
    def __init__(self, *args):
        self.args = args
    def __reduce__(self):
        return lumo._restore, self.args
stream = pickle.dumps(LumoSeq(plain + records).skip(3), 5)
forged_items = pickle.dumps(Forged(tuple(ints), 0))
forged_cursor = pickle.dumps(Forged(ints, len(ints) + 1))
"""

# name: (receiver, call that succeeds, call that fails, exception the failing call raises)
CASES = {
    "list": ("LumoSeq(items).skip(1)", "s.list()", "s.list(1)", TypeError),
    "tuple": ("LumoSeq(items).skip(1)", "s.tuple()", "s.tuple(1)", TypeError),
    "set": ("LumoSeq(items).skip(1)", "s.set()", "LumoSeq([items[0], []]).set()", TypeError),
    "enumerate": ("LumoSeq(items).skip(1)", "s.enumerate(2**64 - 2)", "s.enumerate(-1)", OverflowError),
    "iter": ("LumoSeq(items).skip(1)", "list(s.iter())", "s.iter(1)", TypeError),
    "len": ("LumoSeq(items).skip(1)", "s.len()", "s.len(1)", TypeError),
    "empty": ("LumoSeq(items).skip(1)", "s.empty()", "s.empty(1)", TypeError),
    "rev": ("LumoSeq(items).skip(1)", "s.rev()", "s.rev(1)", TypeError),
    "select": ("LumoSeq(items).skip(1)", "s.select(key)", "s.select(fail)", ValueError),
    "where": ("LumoSeq(items).skip(1)", "s.where(lambda x: x.v > 1)", "s.where(fail)", ValueError),
    "of_type": ("LumoSeq(items + numbers).skip(1)", "s.of_type(Item)", "s.of_type(3)", TypeError),
    "order_by": ("LumoSeq(items).skip(1)", "s.order_by(key)", "s.order_by(fail)", ValueError),
    "group_by": ("LumoSeq(items).skip(1)", "s.group_by(key)", "s.group_by(fail)", ValueError),
    "at": ("LumoSeq(items).skip(1)", "(s.at(1), s.at(99, others[0]))", "s.at('x')", TypeError),
    "first": ("LumoSeq(items).skip(1)", "(s.first(), LumoSeq([]).first(others[0]))",
              "s.first(1, 2)", TypeError),
    "last": ("LumoSeq(items).skip(1)", "(s.last(), LumoSeq([]).last(others[0]))",
             "s.last(1, 2)", TypeError),
    "append": ("LumoSeq(items).skip(1)", "s.append(others[0])", "s.append()", TypeError),
    "prepend": ("LumoSeq(items).skip(1)", "s.prepend(others[0])", "s.prepend()", TypeError),
    "join": ("LumoSeq(items).skip(1)", "s.join(other, key, key)", "s.join(other, key, fail)",
             ValueError),
    "distinct": ("LumoSeq(items).skip(1)", "s.distinct()", "s.distinct(1)", TypeError),
    "concat": ("LumoSeq(items).skip(1)", "(s.concat(other), s.concat(others))", "s.concat(5)",
               TypeError),
    "union": ("LumoSeq(items).skip(1)", "s.union(other)", "s.union(5)", TypeError),
    "intersect": ("LumoSeq(items).skip(1)", "s.intersect(others)", "s.intersect(5)", TypeError),
    "differ": ("LumoSeq(items).skip(1)", "s.differ(tuple(others))", "s.differ(5)", TypeError),
    "skip": ("LumoSeq(items).skip(1)", "s.skip(2)", "s.skip('x')", TypeError),
    "restart": ("LumoSeq(items).skip(1)", "s.restart()", "s.restart(1)", TypeError),
    "take": ("LumoSeq(items).skip(1)", "s.take(2)", "s.take('x')", TypeError),
    "zip": ("LumoSeq(items).skip(1)", "(s.zip(other), s.zip(others, True))", "s.zip(5)", TypeError),
    "zips": ("LumoSeq(items).skip(1)", "s.zips([other, others], True)", "s.zips(5)", TypeError),
    "flatten": ("LumoSeq(nested).skip(0)", "s.flatten()", "LumoSeq([cycle]).flatten()",
                RecursionError),
    "sum": ("LumoSeq(numbers).skip(1)", "s.sum()", "s.sum(1)", TypeError),
    "average": ("LumoSeq(numbers).skip(1)", "s.average()", "s.average(1)", TypeError),
    "max": ("LumoSeq(numbers).skip(1)", "s.max()", "s.max(1)", TypeError),
    "min": ("LumoSeq(numbers).skip(1)", "s.min()", "s.min(1)", TypeError),
    "cast": ("LumoSeq(items).skip(1)", "(s.cast(Item), s.cast(int, True))", "s.cast(int)",
             TypeError),
    "to_dict": ("LumoSeq(items).skip(1)", "s.to_dict(key, lambda x: x)", "s.to_dict(key, fail)",
                ValueError),
    "aggregate": ("LumoSeq(items).skip(1)", "s.aggregate(lambda a, b: b, others[0])",
                  "s.aggregate(fail)", ValueError),
    "skip_while": ("LumoSeq(items).skip(1)", "s.skip_while(lambda x: x.v != 2)",
                   "s.skip_while(fail)", ValueError),
    "take_while": ("LumoSeq(items).skip(1)", "s.take_while(lambda x: x.v != 3)",
                   "s.take_while(fail)", ValueError),
    "distinct_by": ("LumoSeq(items).skip(1)", "s.distinct_by(key)", "s.distinct_by(fail)",
                    ValueError),
    "except_by": ("LumoSeq(items).skip(1)", "s.except_by(other, key)", "s.except_by(other, fail)",
                  ValueError),
    "intersect_by": ("LumoSeq(items).skip(1)", "s.intersect_by(others, key)",
                     "s.intersect_by(others, fail)", ValueError),
    "union_by": ("LumoSeq(items).skip(1)", "s.union_by(other, key)", "s.union_by(other, fail)",
                 ValueError),
    "distinct plain": ("LumoSeq(plain + records)", "s.distinct()", "s.distinct(1)", TypeError),
    "union plain": ("LumoSeq(plain)", "s.union(records + plain[::-1])", "s.union(5)", TypeError),
    "union mixed": ("LumoSeq(plain)", "s.union(records + plain[::-1] + others)", "s.union(5)",
                    TypeError),
    "intersect plain": ("LumoSeq(records)", "s.intersect(tuple(records[3:] + plain))",
                        "s.intersect(5)", TypeError),
    "differ mixed": ("LumoSeq(plain + items)", "s.differ(others + plain[5:])", "s.differ(5)",
                     TypeError),
    "distinct_by plain": ("LumoSeq(plain)", "s.distinct_by(repr)", "s.distinct_by(int)", ValueError),
    "except_by plain": ("LumoSeq(plain)", "s.except_by(plain[20:], str)", "s.except_by(plain, int)",
                        ValueError),
    "intersect_by plain": ("LumoSeq(plain)", "s.intersect_by(plain[::3], repr)",
                           "s.intersect_by(plain[:25], int)", ValueError),
    "union_by plain": ("LumoSeq(plain)", "s.union_by(plain[::2], hash)", "s.union_by(plain, int)",
                       ValueError),
    "min_by": ("LumoSeq(items).skip(1)", "s.min_by(key)", "s.min_by(fail)", ValueError),
    "max_by": ("LumoSeq(items).skip(1)", "s.max_by(key)", "s.max_by(fail)", ValueError),
    "chunk": ("LumoSeq(items).skip(1)", "s.chunk(2)", "s.chunk(0)", ValueError),
    # the native key paths: keys that are the items themselves, new keys, NaN, tuples, value
    # keys that meet text keys
    "order_by ints": ("LumoSeq(ints).skip(1)", "(s.order_by(same), s.order_by(operator.neg))",
                      "s.order_by(first.__getitem__)", KeyError),
    "order_by floats": ("LumoSeq(reals).skip(1)", "(s.order_by(same), s.order_by(nan_key))",
                        "s.order_by(first.__getitem__)", KeyError),
    "order_by strs": ("LumoSeq(texts).skip(1)", "(s.order_by(same), s.order_by(str.upper))",
                      "s.order_by(first.__getitem__)", KeyError),
    "order_by tuples": ("LumoSeq(pairs).skip(1)", "(s.order_by(same), s.order_by(swap))",
                        "s.order_by(first.__getitem__)", KeyError),
    "group_by values": ("LumoSeq([quoted] + values + items).skip(1)", "s.group_by(same)",
                        "s.group_by(fail)", ValueError),
    "join values": ("LumoSeq(values).skip(1)", "s.join([quoted] + values + items, same, same)",
                    "s.join(values, same, fail)", ValueError),
    "min_by values": ("LumoSeq(ints + reals).skip(1)",
                      "(s.min_by(same), s.max_by(same), LumoSeq(texts).max_by(same))",
                      "LumoSeq(ints + texts).min_by(same)", TypeError),
    # simple functions evaluated without calls: records, attributes, numbers, getters, folds;
    # each failing call fails at an item that the evaluation hands to the real call (raising from
    # C where it can, for the reason given at C_RAISING below)
    "select records": ("LumoSeq(records)", "s.select(lambda r: (r['id'], r['w'] * 2 - 1, r['tags'][-1]))",
                       "LumoSeq(records + [{}]).select(operator.itemgetter('w'))", KeyError),
    "select attributes": ("LumoSeq(items).skip(1)", "(s.select(lambda x: x.v), s.select(operator.attrgetter('v')))",
                          "LumoSeq(items + [1]).select(operator.attrgetter('v'))", AttributeError),
    "where records": ("LumoSeq(records)", "s.where(lambda r: r['w'] > 0.2 and r['id'] is not None)",
                      "s.where(lambda r: r['w'] or r['id'])", TypeError),
    "order_by records": ("LumoSeq(records)", "s.order_by(lambda r: -r['w'])",
                         "LumoSeq(records + [{}]).order_by(operator.itemgetter('w'))", KeyError),
    "group_by records": ("LumoSeq(records)", "s.group_by(lambda r: r['w'])",
                         "LumoSeq(records + [{}]).group_by(operator.itemgetter('id'))", KeyError),
    "aggregate numbers": ("LumoSeq(ints)", "(s.aggregate(lambda a, x: a + x * 2), s.aggregate(lambda a, x: (a, x), 0))",
                          "LumoSeq([]).aggregate(lambda a, x: a + x)", ValueError),
    "_native_evaluations": ("LumoSeq(items).skip(1)", "lumo._native_evaluations() - lumo._native_evaluations()",
                            "lumo._native_evaluations(1)", TypeError),
    "_set_native": ("LumoSeq(items).skip(1)", "(lumo._set_native(True), lumo._set_native(True))",
                    "lumo._set_native()", TypeError),
    # pickling and copying; lumo._restore rebuilds a pickled sequence and refuses anything else
    "__reduce__": ("LumoSeq(items).skip(1)", "s.__reduce__()[1]", "s.__reduce__(1)", TypeError),
    "__copy__": ("LumoSeq(items).skip(1)", "(copy.copy(s), s.__copy__())", "s.__copy__(1)", TypeError),
    "__deepcopy__": ("LumoSeq(items + nested).skip(2)",
                     "(copy.deepcopy(s), copy.deepcopy(LumoSeq(ints).skip(1)))", "s.__deepcopy__({}, 1)",
                     TypeError),
    "_restore": ("LumoSeq(items).skip(1)", "(lumo._restore(items, 5), lumo._restore(items=[], cursor=0))",
                 "lumo._restore(tuple(items), 0)", TypeError),
    "_restore sequence": ("LumoSeq(items).skip(1)", "lumo._restore(items, 0)", "lumo._restore(s, 0)",
                          TypeError),
    "_restore bool": ("LumoSeq(items).skip(1)", "lumo._restore(items, 2)", "lumo._restore(items, True)",
                      TypeError),
    "_restore past the end": ("LumoSeq(items).skip(1)", "lumo._restore(items, 5)",
                              "lumo._restore(items, 6)", ValueError),
    "_restore negative": ("LumoSeq(items).skip(1)", "lumo._restore(items, 0)", "lumo._restore(items, -1)",
                          ValueError),
    "_restore huge": ("LumoSeq(items).skip(1)", "lumo._restore(items, 1)", "lumo._restore(items, 2**64)",
                      ValueError),
    "_restore pickled": ("LumoSeq(items).skip(1)", "pickle.loads(stream).take(2)",
                         "pickle.loads(forged_items)", TypeError),
    "_restore pickled cursor": ("LumoSeq(items).skip(1)", "pickle.loads(pickle.dumps(LumoSeq(texts).skip(5)))",
                                "pickle.loads(forged_cursor)", ValueError),
    "_restore truncated": ("LumoSeq(items).skip(1)", "pickle.loads(stream)", "pickle.loads(stream[:-1])",
                           pickle.UnpicklingError),
}

# Turns a result into plain literals (LumoSeq and Item become what they hold), so that a result
# computed in a sweep subprocess can be compared with the one computed here. Plain loops only:
# the check code runs under allocation failure, where fewer moving parts is better.
DESCRIBE = """
def describe(value):
    if isinstance(value, LumoSeq):
        return ("seq", describe(value.list()))
    if isinstance(value, Item):
        return ("item", value.v)
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, Quoted):
        return ("quoted",)
    if isinstance(value, (list, tuple)):
        out = []
        for v in value:
            out.append(describe(v))
        return (type(value).__name__, out)
    if isinstance(value, set):
        out = []
        for v in value:
            out.append(describe(v))
        out.sort(key=repr)
        return ("set", out)
    if isinstance(value, dict):
        out = []
        for k, v in value.items():
            out.append((describe(k), describe(v)))
        return ("dict", out)
    return value

"""


def public_methods():
    return sorted(name for name, value in vars(LumoSeq).items()
                  if not name.startswith("_") and callable(value))


def members():
    """Every entry of the class's method table and every function of the module."""
    methods = [name for name, value in vars(LumoSeq).items() if isinstance(value, types.MethodDescriptorType)]
    functions = [name for name, value in vars(lumo).items() if isinstance(value, types.BuiltinFunctionType)]
    return sorted(methods + functions)


def fresh(name):
    """The shared inputs and the receiver of one case, built anew."""
    namespace = {"LumoSeq": LumoSeq}
    exec(SETUP + DESCRIBE, namespace)
    namespace["s"] = eval(CASES[name][0], namespace)
    return namespace


def tracked(namespace):
    """Everything whose reference count a call must leave as it found it."""
    ns = namespace
    return [*ns["items"], *ns["others"], *ns["numbers"], *ns["nested"], ns["cycle"], ns["other"],
            *ns["plain"], *ns["records"], *[v for r in ns["records"] for v in r.values()], *ns["ints"],
            *ns["reals"], *ns["texts"], *ns["pairs"], ns["quoted"], ns["s"], ns["key"], ns["boom"], ns["Item"]]


def test_the_table_names_every_method():
    # A row is named by its method, followed by what it exercises when one method has several.
    assert sorted({name.split()[0] for name in CASES}) == members()
    assert len(public_methods()) == 46
    assert sorted(set(members()) - set(public_methods())) == ["__copy__", "__deepcopy__", "__reduce__",
                                                              "_native_evaluations", "_restore", "_set_native"]


@pytest.mark.parametrize("name", sorted(CASES))
def test_success_path_is_reference_balanced(name):
    ns = fresh(name)
    call = CASES[name][1]
    eval(call, ns)  # warm-up: first-call caches are not leaks
    with refcounts_balanced(*tracked(ns)):
        result = eval(call, ns)
        del result


@pytest.mark.parametrize("name", sorted(CASES))
def test_exception_path_is_reference_balanced(name):
    ns = fresh(name)
    _, _, call, exc_type = CASES[name]
    with pytest.raises(exc_type):
        eval(call, ns)
    with refcounts_balanced(*tracked(ns)):
        with pytest.raises(exc_type) as info:
            eval(call, ns)
        assert type(info.value) is exc_type
        del info


def sweep(name, body):
    setup = SETUP + DESCRIBE + C_RAISING + f"""
s = {CASES[name][0]}
def snapshot():
    return (describe(s.list()), s.len() - s.take(2**64 - 1)[0].len())
"""
    fault_sweep(setup=setup, call=body)


# Under allocation failure the interpreter itself can lose an exception that unwinds through a
# Python frame (3.12 and 3.13 both report "error return without exception set" for a plain
# `raise` in a Python function when the right allocation fails). The sweeps therefore fail with
# a C callable and catch in the calling frame, so that any SystemError seen is lumo's own.
C_RAISING = """
fail = int  # int(Item) raises TypeError from C
"""


@pytest.mark.parametrize("name", sorted(CASES))
def test_success_path_under_allocation_failure(name):
    ns = fresh(name)
    call = CASES[name][1]
    expected = ns["describe"](eval(call, ns))
    sweep(name, f"""
result = describe({call})
assert result == {expected!r}, result
return result
""")


@pytest.mark.parametrize("name", sorted(CASES))
def test_exception_path_under_allocation_failure(name):
    ns = fresh(name)
    exec(C_RAISING, ns)
    call = CASES[name][2]
    with pytest.raises(Exception) as info:
        eval(call, ns)
    expected = type(info.value).__name__
    sweep(name, f"""
try:
    {call}
except MemoryError:
    raise
except Exception as exc:
    result = type(exc).__name__
else:
    raise AssertionError("did not raise")
assert result == {expected!r}, result
return result
""")


@pytest.mark.parametrize("body", [
    # an allocation failure reported as another exception
    "try:\n    return LumoSeq(items).select(key).list()\nexcept MemoryError:\n    raise ValueError",
    # a receiver that differs afterwards (sequences never change, so the rebinding stands in)
    "global s\ns = s.skip(1)\nreturn None",
    # a crash
    "import os\nos.abort()",
], ids=["wrong-exception", "receiver-changed", "crash"])
def test_the_sweep_itself_catches_faults(body):
    with pytest.raises(AssertionError):
        sweep("list", body)


@pytest.mark.parametrize("body", ["return sum(x for x in items)",
                                  "def f():\n    pass\nreturn f"])
def test_the_sweep_refuses_armed_code_that_creates_functions(body):
    with pytest.raises(ValueError, match="must not create a function"):
        sweep("list", body)


# A tuple that tuple() is still filling, its later slots empty, handed to lumo by a callback (a
# generator that tuple() drains can reach it through gc.get_referrers). Each row feeds it through
# one callable parameter and names a plain-Python equivalent: lumo must fare exactly as that does,
# with the same answer, the collector still tracking the tuple, and nothing left holding it when
# tuple() goes on to finish. Rows are named "method parameter ...".
HALF_BUILT_SETUP = """
import functools
import itertools

def strict(answer):  # the strict boolean rule of where, skip_while and take_while
    if type(answer) is bool:
        return answer
    raise TypeError("not a bool")

def eq(a, b):  # element equality: an exception from == counts as unequal
    try:
        answer = a == b
    except Exception:
        return False
    return bool(answer)

def distinct(items, key=lambda x: x):
    kept, keys = [], []
    for x in items:
        k = key(x)
        if not any(eq(seen, k) for seen in keys):
            kept.append(x)
            keys.append(k)
    return kept

def among(items, other, key, wanted):  # except_by (wanted False) and intersect_by
    theirs = [key(y) for y in other]
    return distinct([x for x in items if any(eq(k, key(x)) for k in theirs) == wanted], key)

def groups(items, key):  # by the text of repr
    found = {}
    for x in items:
        k = key(x)
        found.setdefault(repr(k), (k, []))[1].append(x)
    return list(found.values())

class Making:  # a type whose instances are t
    def __new__(cls, *args):
        return t

class Claims(type):
    def __instancecheck__(cls, instance):
        return t

class Claimed(metaclass=Claims):
    pass
"""

# name: (call, its plain-Python equivalent)
HALF_BUILT = {
    "select func": ("LumoSeq([0, 1]).select(lambda _: t).list()", "list(map(lambda _: t, [0, 1]))"),
    "where predicate": ("LumoSeq([0]).where(lambda _: t).list()", "[x for x in [0] if strict(t)]"),
    "of_type ty": ("LumoSeq([0]).of_type(Claimed).list()", "[x for x in [0] if isinstance(x, Claimed)]"),
    "cast ty": ("LumoSeq([0]).cast(Making).list()", "list(map(Making, [0]))"),
    "order_by key": ("LumoSeq([0, 1, 2]).order_by([('z',), t, ('a',)].__getitem__).list()",
                     "sorted([0, 1, 2], key=[('z',), t, ('a',)].__getitem__)"),
    "group_by key_func": (
        "[(k, g.list()) for k, g in LumoSeq([0, 1, 2]).group_by([('a',), t, ('a',)].__getitem__).list()]",
        "groups([0, 1, 2], [('a',), t, ('a',)].__getitem__)"),
    "join outer_key_func and inner_key_func": (
        "LumoSeq([0, 1]).join([1, 0], [('a',), t].__getitem__, [('a',), t].__getitem__).list()",
        "[(x, y) for x in [0, 1] for y in [1, 0] if repr([('a',), t][x]) == repr([('a',), t][y])]"),
    "to_dict value_func": ("LumoSeq([0]).to_dict(lambda x: x, lambda _: t)", "{x: t for x in [0]}"),
    "aggregate func": ("LumoSeq([0, 1, 2]).aggregate(lambda a, b: t)",
                       "functools.reduce(lambda a, b: t, [0, 1, 2])"),
    "skip_while predicate": ("LumoSeq([0]).skip_while(lambda _: t).list()",
                             "list(itertools.dropwhile(lambda _: strict(t), [0]))"),
    "take_while predicate": ("LumoSeq([0]).take_while(lambda _: t).list()",
                             "list(itertools.takewhile(lambda _: strict(t), [0]))"),
    "distinct_by key_selector": ("LumoSeq([0, 1, 2]).distinct_by([t, 5, t].__getitem__).list()",
                                 "distinct([0, 1, 2], [t, 5, t].__getitem__)"),
    "except_by key_selector": ("LumoSeq([0, 1]).except_by([2], [5, t, t].__getitem__).list()",
                               "among([0, 1], [2], [5, t, t].__getitem__, False)"),
    "intersect_by key_selector": ("LumoSeq([0, 1]).intersect_by([2], [5, t, t].__getitem__).list()",
                                  "among([0, 1], [2], [5, t, t].__getitem__, True)"),
    "union_by key_selector": ("LumoSeq([0]).union_by([1, 2], [5, t, t].__getitem__).list()",
                              "distinct([0, 1, 2], [5, t, t].__getitem__)"),
    "min_by key_selector": ("LumoSeq([0, 1, 2]).min_by([t, ('a',), t].__getitem__)",
                            "min([0, 1, 2], key=[t, ('a',), t].__getitem__)"),
    "max_by key_selector": ("LumoSeq([0, 1, 2]).max_by([t, ('a',), t].__getitem__)",
                            "max([0, 1, 2], key=[t, ('a',), t].__getitem__)"),
    # the whole-element set operators classify the tuple as an item
    "distinct": ("LumoSeq([0, 1, 2]).select([t, 5, t].__getitem__).distinct().list()",
                 "distinct(map([t, 5, t].__getitem__, [0, 1, 2]))"),
}


# The parameters that lumo calls, and the one row that no plain-Python equivalent survives: a dict
# hashes its key, and the interpreter's tuple hash reads every slot.
CALLED = {"func", "predicate", "key", "key_func", "value_func", "key_selector", "outer_key_func",
          "inner_key_func", "ty"}
CRASHES_PLAIN_PYTHON = {("to_dict", "key_func")}


def test_the_tuple_in_the_making_reaches_every_called_parameter():
    wanted = {(method, parameter) for method in public_methods()
              for parameter in inspect.signature(getattr(LumoSeq, method)).parameters
              if parameter in CALLED} - CRASHES_PLAIN_PYTHON
    named = {(name.split()[0], word) for name in HALF_BUILT for word in name.split()[1:]}
    assert wanted <= named
    assert {name.split()[0] for name in HALF_BUILT} <= set(public_methods())


@pytest.mark.parametrize("name", sorted(HALF_BUILT))
def test_a_tuple_in_the_making_fares_as_in_plain_python(name):
    call, plain = HALF_BUILT[name]
    expected = half_built_outcome(plain, HALF_BUILT_SETUP)
    assert expected[0] == 0, expected[2][-3000:]
    outcome = half_built_outcome(call, HALF_BUILT_SETUP)
    assert outcome[:2] == expected[:2], outcome[2][-3000:]
