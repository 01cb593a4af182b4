"""Native evaluation of simple functions, as one table: every recognised shape, over the item kinds
it is meant for and over odd ones, through every operator that takes a callable, run twice in one
process, with native evaluation on and off (lumo._set_native). The runs must agree on the result
(items by identity, new values by type and repr), the exception (type, message and the innermost
frame of its traceback), every call of user code in order, and fd 2. A run with it on must have
answered some items without a call, so that no row passes by falling back everywhere.

Some item lists hold a Mutator: an item that the shapes cannot read natively, so that its real
call runs its special methods, which change what native evaluation depends on: the function's
__code__, a closure cell, a default, a global, a class, a tracer. Every later item must then see
the change, as the real calls would."""

import collections
import dataclasses
import math
import operator
import sys
import traceback

import pytest

import lumo
from lumo import LumoSeq
from support import at_every_depth, capture_fd2

LOG = []


def note(*entry):
    LOG.append(entry)


# ---- items ----------------------------------------------------------------------------------

class Logged:
    """An item of a user class: every special method a shape could reach logs and answers."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"Logged({self.tag})"

    def __getitem__(self, key):
        note("getitem", self.tag, key)
        return self.tag

    def __getattr__(self, name):
        note("getattr", self.tag, name)
        if name.startswith("__"):
            raise AttributeError(name)
        return self.tag

    def __eq__(self, other):
        note("eq", self.tag)
        return isinstance(other, Logged) and other.tag == self.tag

    def __hash__(self):
        note("hash", self.tag)
        return hash(self.tag)

    def __lt__(self, other):
        note("lt", self.tag)
        return False

    def __gt__(self, other):
        note("gt", self.tag)
        return True

    def __bool__(self):
        note("bool", self.tag)
        return self.tag % 2 == 0

    def __add__(self, other):
        note("add", self.tag)
        return self.tag

    __radd__ = __mul__ = __sub__ = __truediv__ = __floordiv__ = __mod__ = __add__

    def __neg__(self):
        note("neg", self.tag)
        return -self.tag


HOOK = []  # what the Mutator does, set per run


class Mutator(Logged):
    """A Logged item whose first special method call runs this run's hook."""

    def __init__(self, tag):
        super().__init__(tag)
        self.fired = False

    def fire(self):
        if not self.fired:
            self.fired = True
            for hook in HOOK:
                hook()


for _name in ("__getitem__", "__getattr__", "__eq__", "__lt__", "__gt__", "__bool__", "__add__", "__neg__",
              "__hash__"):
    def _firing(self, *args, _base=getattr(Logged, _name)):
        if not (args and isinstance(args[0], str) and args[0].startswith("__")):
            self.fire()
        return _base(self, *args)
    setattr(Mutator, _name, _firing)
Mutator.__radd__ = Mutator.__mul__ = Mutator.__sub__ = Mutator.__truediv__ = Mutator.__add__
Mutator.__floordiv__ = Mutator.__mod__ = Mutator.__add__


class Colliding:
    """A dict key that hashes like the str `name` and logs its comparisons: a lookup of that name
    in a dict that holds it must call its __eq__."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        note("colliding eq", self.name, other)
        return False

    def __repr__(self):
        return f"Colliding({self.name!r})"


class Key(str):
    pass


class Missing(dict):
    def __missing__(self, key):
        note("missing", key)
        return "default"


class Plain:
    def __init__(self, v, w="w"):
        self.v = v
        self.w = w


class Shadowed:
    v = 5  # a class attribute, read where an instance has none of its own

    def __init__(self, v=None):
        if v is not None:
            self.v = v
        self.w = "w"


class WithProperty:
    def __init__(self, v):
        self._v = v
        self.w = "w"

    @property
    def v(self):
        note("property", self._v)
        return self._v


class Slotted:
    __slots__ = ("v", "w")

    def __init__(self, v, w=None):
        self.v = v
        if w is not None:
            self.w = w


@dataclasses.dataclass
class Record:
    v: object
    w: str = "w"


@dataclasses.dataclass(slots=True)
class SlottedRecord:
    v: object
    w: str = "w"


Named = collections.namedtuple("Named", "v w")


class NamedSub(Named):
    pass


def fresh_class_items():
    """Instances of a class of their own, which a Mutator then changes: v becomes a property."""
    class Changing:
        def __init__(self, v):
            self.v = v
            self.w = "w"

    def change():
        Changing.v = property(lambda self: note("changed property") or "changed")
    HOOK.append(change)
    return [Changing(1), Changing(2), Mutator(3), Changing(4), Changing(5)]


def fresh_slotted_items():
    """Instances with slots, whose slot a Mutator then replaces by a property on the class."""
    class ChangingSlots:
        __slots__ = ("v", "w")

        def __init__(self, v):
            self.v = v
            self.w = "w"

    def change():
        ChangingSlots.v = property(lambda self: note("changed slot") or "changed")
    HOOK.append(change)
    return [ChangingSlots(1), Mutator(2), ChangingSlots(3)]


def non_str_instance_key():
    odd = Plain(2)
    odd.__dict__[Colliding("v")] = "x"
    return [Plain(1), odd, Plain(3)]


def colliding_records():
    odd = {"k": 2, "v": "b", Colliding("k"): 0}
    return [{"k": 1, "v": "a"}, odd, {"v": "c", Colliding("k"): 1, Colliding("v"): 2}, {"k": 3, "v": "d"}]


NAN = float("nan")
# family: kind name -> a function making a fresh list of items
KINDS = {
    "number": {
        "ints": lambda: [0, 1, 2, -3, 250, 2**62, 10**20, -2**63 - 1, True, False],
        "floats": lambda: [0.0, -0.0, 1.5, NAN, math.inf, -math.inf, 1e308, 2.5],
        "mixed numbers": lambda: [1, 1.0, True, 2.5, 10**400, -7, 3.0],
    },
    "text": {
        "strs": lambda: ["", "a", "B", "ab", "\ud800", "\u00e9", "aaa", "b"],
        "str subclasses": lambda: [Key("a"), "b", Key("")],
    },
    "record": {
        "records": lambda: [{"k": 1, "v": "a", "n": {"k": 10}}, {"k": 2.5, "v": "b", "n": {"k": None}},
                            {"k": None, "v": "", "n": {}}, {"k": -4, "v": "d", "n": {"k": 3}}],
        "records missing keys": lambda: [{"k": 1}, {"v": "b"}, {}, {"k": 3, "v": "c", "n": {"x": 1}}],
        "records with a colliding key": colliding_records,
        "defaultdicts": lambda: [collections.defaultdict(int, k=1, v="a"), collections.defaultdict(int)],
        "Counters": lambda: [collections.Counter(k=2, v=1), collections.Counter()],
        "dict subclass": lambda: [Missing(k=1, v="a"), Missing()],
        "str-subclass keys": lambda: [{Key("k"): 1, "v": "a"}, {"k": 2, Key("v"): "b"}, {"k": 3, "v": "c"}],
        "records and values": lambda: [{"k": 1, "v": "a"}, 5, None, [1], {"k": 2, "v": "b", "n": {"k": 1}}],
        # enough items the shapes cannot read, first, for an operator call to stop trying them
        "records after many others": lambda: [Logged(i) for i in range(40)] + [{"k": 1, "v": "a"}, {"k": 2}],
    },
    "sequence": {
        "lists and tuples": lambda: [[1, (2, 3)], (4, [5, 6]), [7, 8, 9], ("a", "b"), [[0], [1]]],
        "short ones": lambda: [[], (), [1], ("x",)],
        "number pairs": lambda: [[1, 2], (3, 4.5), [True, -0.0], (None, 2**70)],
        "user objects inside": lambda: [[Logged(1)], (Logged(2), 5), [3, 4], [7]],
        "named tuples": lambda: [Named(1, (2,)), NamedSub(3, [4, 5])],
        "sequence subclasses": lambda: [collections.UserList([1, 2]), Logged(1)],
    },
    "object": {
        "instances": lambda: [Plain(1), Plain(2.5, "x"), Plain(None), Plain("s")],
        "nested instances": lambda: [Plain(1, Plain(2)), Plain(3, Record(4)), Plain(5, Named(6, 7))],
        "dataclasses": lambda: [Record(1), Record(-2, "x"), Record(3.5)],
        "slotted dataclasses": lambda: [SlottedRecord(1), SlottedRecord(2, "x")],
        "__slots__, one unset": lambda: [Slotted(1, "x"), Slotted(2), Slotted(3, "y")],
        "properties": lambda: [WithProperty(1), WithProperty(2)],
        "__getattr__": lambda: [Logged(1), Logged(2)],
        "named tuples": lambda: [Named(1, "x"), NamedSub(2, "y"), Named(None, "")],
        "class attribute shadowed": lambda: [Shadowed(1), Shadowed(), Shadowed(3)],
        "non-str key in __dict__": non_str_instance_key,
        "class changed mid-run": fresh_class_items,
        "slots replaced mid-run": fresh_slotted_items,
    },
    "pair": {
        "ints": lambda: [1, 2, 3, 10**20, -5],
        "floats": lambda: [0.5, -0.0, 1e308, 1e308, NAN],
        "strs": lambda: ["a", "b", ""],
    },
}
ODD = {
    "odd": lambda: [None, Logged(1), 3, "s", Logged(2)],
}

# name: (family, source); the source defines f, built afresh in a namespace of its own per run.
# `c`, `key` and `G`/`GK` are a closure value, a closure key, and globals of that namespace.
SHAPES = {
    "parameter": ("any", "f = lambda r: r"),
    "constant": ("any", "f = lambda r: 7"),
    "constant tuple": ("any", "f = lambda r: (1, 'a', None)"),
    "None": ("any", "f = lambda r: None"),
    "closure value": ("any", "def make():\n    c = 10**20\n    return lambda r: c\nf = make()"),
    "global value": ("any", "G = 2.5\nf = lambda r: G"),
    "builtin": ("any", "f = lambda r: len"),
    "is None": ("any", "f = lambda r: r is None"),
    "is not None": ("any", "f = lambda r: r is not None"),
    "not": ("any", "f = lambda r: not r"),
    "or": ("any", "f = lambda r: r or 'empty'"),
    "and": ("any", "f = lambda r: r and (r,)"),
    "tuple": ("any", "f = lambda r: (r, r)"),
    "conditional": ("any", "f = lambda r: 'yes' if r else 'no'"),
    "conditional on None": ("any", "f = lambda r: 0 if r is None else 1"),
    "in a tuple": ("any", "f = lambda r: r in (1, 'a', None, 2.5)"),
    "not in a frozenset": ("any", "f = lambda r: r not in {1, 'a', 2.5}"),
    "def": ("any", "def f(r):\n    return r == 1"),
    "default": ("any", "f = lambda r, d=3: (r, d)"),
    "greater": ("number", "f = lambda x: x > 2"),
    "at most": ("number", "f = lambda x: x <= 2.5"),
    "equal": ("number", "f = lambda x: x == 1"),
    "not equal": ("number", "f = lambda x: x != 0"),
    "chained": ("number", "f = lambda x: 0 < x < 100"),
    "and range": ("number", "f = lambda x: x >= 0 and x < 10**30"),
    "arithmetic": ("number", "f = lambda x: x * 2 + 1"),
    "minus float": ("number", "f = lambda x: x - 1.5"),
    "divide": ("number", "f = lambda x: x / 3"),
    "divide by item": ("number", "f = lambda x: 1 / x"),
    "floor divide": ("number", "f = lambda x: x // 2"),
    "modulo": ("number", "f = lambda x: x % 7"),
    "negative": ("number", "f = lambda x: -x"),
    "closure bound": ("number", "def make():\n    c = 1\n    return lambda x: x > c\nf = make()"),
    "concatenate": ("text", "f = lambda s: s + '!'"),
    "str order": ("text", "f = lambda s: s < 'b'"),
    "str equal": ("text", "f = lambda s: s == 'a'"),
    "subscript": ("record", "f = lambda r: r['k']"),
    "nested subscript": ("record", "f = lambda r: r['n']['k']"),
    "subscript compared": ("record", "f = lambda r: r['k'] > 1"),
    "subscript is not None": ("record", "f = lambda r: r['k'] is not None"),
    "key tuple": ("record", "f = lambda r: (r['k'], r['v'])"),
    "negated subscript": ("record", "f = lambda r: -r['k']"),
    "closure key": ("record", "def make():\n    key = 'v'\n    return lambda r: r[key]\nf = make()"),
    "global key": ("record", "GK = 'k'\nf = lambda r: r[GK]"),
    "default key": ("record", "f = lambda r, key='v': r[key]"),
    "itemgetter": ("record", "f = operator.itemgetter('k')"),
    "first": ("sequence", "f = lambda t: t[0]"),
    "last": ("sequence", "f = lambda t: t[-1]"),
    "nested index": ("sequence", "f = lambda t: t[1][0]"),
    "negated index": ("sequence", "f = lambda t: -t[1]"),
    "compared, then indexed": ("sequence", "f = lambda t: t[0] > 2 and t[1]"),
    "itemgetter index": ("sequence", "f = operator.itemgetter(1)"),
    "attribute": ("object", "f = lambda o: o.v"),
    "attribute pair": ("object", "f = lambda o: (o.v, o.w)"),
    "attribute compared": ("object", "f = lambda o: o.v == 1"),
    "attrgetter": ("object", "f = operator.attrgetter('w')"),
    "dotted attrgetter": ("object", "f = operator.attrgetter('w.v')"),
    "sum": ("pair", "f = lambda a, x: a + x"),
    "larger": ("pair", "f = lambda a, x: a if a > x else x"),
    "product": ("pair", "def f(acc, x):\n    return acc * x"),
}
COMPILED = {name: compile(source, f"<shape {name}>", "exec") for name, (_, source) in SHAPES.items()}


def build(name):
    namespace = {"operator": operator}
    exec(COMPILED[name], namespace)
    return namespace


# ---- the mid-run changes a Mutator makes ------------------------------------------------------

def code_swap(ns):
    f = ns["f"]
    if not hasattr(f, "__code__") or f.__closure__:
        return None
    other = (lambda a, x: ("swapped", x)) if f.__code__.co_argcount == 2 else (lambda r, *rest: ("swapped", r))
    return lambda: setattr(f, "__code__", other.__code__)


def cell_change(ns):
    cells = getattr(ns["f"], "__closure__", None)
    return cells and (lambda: setattr(cells[0], "cell_contents", "changed"))


def defaults_change(ns):
    f = ns["f"]
    return getattr(f, "__defaults__", None) and (lambda: setattr(f, "__defaults__", ("k",)))


def globals_change(ns):
    return ("G" in ns or "GK" in ns) and (lambda: ns.update(G="changed", GK="v"))


def profiler_set(ns):
    code = getattr(ns["f"], "__code__", None)

    def profile(frame, event, arg):
        if frame.f_code is code and event == "call":
            note("profiled call")
    return code and (lambda: sys.setprofile(profile))


TOOL = 4  # a sys.monitoring tool id of the tests' own
LOCALLY_MONITORED = []


def monitoring_set(ns, local=False):
    code = getattr(ns["f"], "__code__", None)

    def start(c, offset):
        if c is code:
            note("monitored start")

    def begin():
        sys.monitoring.use_tool_id(TOOL, "lumo tests")
        sys.monitoring.register_callback(TOOL, sys.monitoring.events.PY_START, start)
        if local:
            LOCALLY_MONITORED.append(code)
            sys.monitoring.set_local_events(TOOL, code, sys.monitoring.events.PY_START)
        else:
            sys.monitoring.set_events(TOOL, sys.monitoring.events.PY_START)
    return code and begin


def monitoring_over():
    if sys.monitoring.get_tool(TOOL) is not None:
        sys.monitoring.set_events(TOOL, 0)
        for code in LOCALLY_MONITORED:
            sys.monitoring.set_local_events(TOOL, code, 0)
        LOCALLY_MONITORED.clear()
        sys.monitoring.register_callback(TOOL, sys.monitoring.events.PY_START, None)
        sys.monitoring.free_tool_id(TOOL)


CHANGES = {"code": code_swap, "cell": cell_change, "defaults": defaults_change, "globals": globals_change,
           "profiler": profiler_set, "monitoring": monitoring_set,
           "local monitoring": lambda ns: monitoring_set(ns, local=True)}


# ---- operators ------------------------------------------------------------------------------

def groups(result):
    return [(k, g.list()) for k, g in result.list()]


OPERATORS = {
    "select": lambda s, f, items: s.select(f).list(),
    "where": lambda s, f, items: s.where(f).list(),
    "order_by": lambda s, f, items: s.order_by(f).list(),
    "group_by": lambda s, f, items: groups(s.group_by(f)),
    "to_dict key": lambda s, f, items: s.to_dict(f, type),
    "to_dict value": lambda s, f, items: s.to_dict(type, f),
    "join": lambda s, f, items: s.join(items[::-1], f, f).list(),
    "distinct_by": lambda s, f, items: s.distinct_by(f).list(),
    "except_by": lambda s, f, items: s.except_by(items[1:3], f).list(),
    "intersect_by": lambda s, f, items: s.intersect_by(items[::2], f).list(),
    "union_by": lambda s, f, items: s.union_by(items[::-1], f).list(),
    "min_by": lambda s, f, items: s.min_by(f),
    "max_by": lambda s, f, items: s.max_by(f),
    "skip_while": lambda s, f, items: s.skip_while(f).list(),
    "take_while": lambda s, f, items: s.take_while(f)[0].list(),
}
FOLDS = {
    "aggregate": lambda s, f, items: s.aggregate(f),
    "aggregate seeded": lambda s, f, items: s.aggregate(f, 0),
}


def describe(x, pool):
    """`x` as plain data: the run's own items by position, values by type and repr."""
    if id(x) in pool:
        return ("item", pool[id(x)])
    if isinstance(x, (list, tuple)) and type(x) in (list, tuple):
        return (type(x).__name__, [describe(y, pool) for y in x])
    if type(x) is dict:
        return ("dict", [(describe(k, pool), describe(v, pool)) for k, v in x.items()])
    if isinstance(x, LumoSeq):
        return ("seq", describe(x.list(), pool))
    if type(x) in (int, float, str, bool, type(None)):
        return (type(x).__name__, repr(x))
    return (type(x).__name__,)


def innermost(tb):
    frames = traceback.extract_tb(tb)
    return (frames[-1].name, frames[-1].lineno, frames[-1].filename) if frames else None


def outcome(shape, kind, make_items, change, op, native):
    """One run, from fresh objects: what it returned or raised, the calls it made, fd 2."""
    LOG.clear()
    HOOK.clear()
    ns = build(shape)
    items = make_items()
    if change:
        items.insert(2, Mutator(len(items)))
        hook = CHANGES[change](ns)
        if hook:
            HOOK.append(hook)
    pool = {id(x): i for i, x in enumerate(items)}
    before = lumo._native_evaluations()
    was = lumo._set_native(native)
    try:
        with capture_fd2() as err:
            try:
                result = ("ok", describe(op(LumoSeq(items), ns["f"], items), pool))
            except Exception as e:
                result = ("raised", type(e).__name__, str(e), innermost(e.__traceback__))
            finally:
                sys.setprofile(None)
                monitoring_over()
    finally:
        lumo._set_native(was)
    return (result, list(LOG), err.data), lumo._native_evaluations() - before


def cases(shape):
    family = SHAPES[shape][0]
    kinds = dict(ODD)
    for fam, table in KINDS.items():
        if family in (fam, "any") and fam != "pair":
            kinds.update({f"{fam} {name}": make for name, make in table.items()})
    if family == "pair":
        kinds = {name: make for name, make in KINDS["pair"].items()} | ODD
    ops = FOLDS if family == "pair" else OPERATORS
    for kind, make in kinds.items():
        for change in (None, *CHANGES):
            for op_name, op in ops.items():
                if change and op_name not in ("select", "order_by", "aggregate"):
                    continue  # the changes are about calls between items: one operator of each kind
                yield kind, make, change, op_name, op


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_each_shape_answers_as_the_real_call(shape):
    native_total = 0
    for kind, make, change, op_name, op in cases(shape):
        on, evaluated = outcome(shape, kind, make, change, op, True)
        off, called = outcome(shape, kind, make, change, op, False)
        assert called == 0
        assert on == off, f"{shape} over {kind}, {op_name}, change {change}"
        native_total += evaluated
    assert native_total > 0, f"{shape} was never evaluated natively"


# ---- what a tool or the interpreter's limits must still see ------------------------------------

def watched_calls(start, stop, f, n=50):
    """Runs select(f) over n records between start() and stop(); the native evaluations it made."""
    before = lumo._native_evaluations()
    start()
    try:
        LumoSeq([{"k": i} for i in range(n)]).select(f).list()
    finally:
        stop()
    return lumo._native_evaluations() - before


def test_every_call_is_made_while_a_tool_watches():
    f = lambda r: r["k"]  # noqa: E731
    seen = []
    tracer = lambda frame, event, arg: seen.append(event) if frame.f_code is f.__code__ else None  # noqa: E731

    def monitor(code, offset):
        if code is f.__code__:
            seen.append("start")

    def monitored(local):
        def start():
            sys.monitoring.use_tool_id(TOOL, "lumo tests")
            sys.monitoring.register_callback(TOOL, sys.monitoring.events.PY_START, monitor)
            if local:
                LOCALLY_MONITORED.append(f.__code__)
                sys.monitoring.set_local_events(TOOL, f.__code__, sys.monitoring.events.PY_START)
            else:
                sys.monitoring.set_events(TOOL, sys.monitoring.events.PY_START)
        return start

    import threading
    watchers = {
        "settrace": (lambda: sys.settrace(tracer), lambda: sys.settrace(None)),
        "setprofile": (lambda: sys.setprofile(tracer), lambda: sys.setprofile(None)),
        "settrace_all_threads": (lambda: threading.settrace_all_threads(tracer),
                                 lambda: threading.settrace_all_threads(None)),
        "monitoring": (monitored(False), monitoring_over),
        "local monitoring": (monitored(True), monitoring_over),
    }
    assert watched_calls(lambda: None, lambda: None, f) == 50  # unwatched, no call is made
    for name, (start, stop) in watchers.items():
        seen.clear()
        assert watched_calls(start, stop, f) == 0, name
        assert seen.count("call") + seen.count("start") == 50, (name, seen[:5])
    assert watched_calls(lambda: None, lambda: None, f) == 50  # and once they are gone, none again


def test_at_the_recursion_limit_the_real_call_decides():
    """Near the limit the real call raises RecursionError where native evaluation could have
    answered: at every depth, the outcome must be the same with it on and off."""
    records = [{"k": i} for i in range(3)]
    outcomes = {True: [], False: []}

    def probe(native):
        was = lumo._set_native(native)
        try:
            return LumoSeq(records).select(lambda r: r["k"] + 1).list()
        except RecursionError:
            return RecursionError
        finally:
            lumo._set_native(was)

    def both(depth):
        for native in (True, False):
            outcomes[native].append(probe(native))

    at_every_depth(both, 400)
    assert outcomes[True] == outcomes[False]
    assert RecursionError in outcomes[True] and [1, 2, 3] in outcomes[True]
