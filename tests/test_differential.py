"""Differential tests: random chains of operators run on the extension and on the plain-Python model
(model.py), over items whose __eq__, __lt__, __repr__, __float__ and __index__ misbehave and with
callbacks that log every call and sometimes raise. The two runs must agree on every intermediate
result (items and cursor), the terminal value, the exception (type and message), every call of
user code in order, every report to the unraisable hook and every byte written to fd 2, and on
when each key, accumulator or cast result that a callback made ends (Mortal logs its __del__).
A `set` terminal over objects that one run made and that hash by address is compared up to the
set: the interpreter's own set decides by their addresses which items it compares (see run).

Every program runs on the extension twice, with native evaluation of simple functions on and off
(lumo._set_native), and both runs must agree with the model: among the callbacks are plain lambdas
of the shapes the extension evaluates without calling them, over items of every kind.

Everything user code decides is a function of the drawn data (a CRC of a description of its
arguments), never of a random generator, so both runs see the same answers to the same questions;
a different question (a call the other run did not make) shows up in the call log.

order_by is compared exactly, not as a multiset: the model runs the extension's natural merge,
so under a lying __lt__ the order and the sequence of `<` calls must still match, which catches a
sort that compares other pairs or reads a wrong index, not only one that loses items."""

import collections
import collections.abc
import dataclasses
import decimal
import gc
import math
import numbers
import operator
import random
import re
import sys
import threading
import zlib

import pytest
from hypothesis import given, settings, strategies as st

import lumo
from lumo import LumoSeq
from model import ModelSeq
from support import at_every_depth, capture_fd2

U64_MAX = 2**64 - 1
NAN = float("nan")
CAP = 300  # a chain stops growing here: joins and concatenations could otherwise explode


# ---- what user code records -----------------------------------------------------------------

class Run:
    """The state that user code sees during one run of a program on one implementation."""

    def __init__(self):
        self.log = []      # every call of user code, in order, described without running user code
        self.raised = []   # every exception that user code raised, to check it travels out unchanged
        self.receiver = None
        self.calls = collections.Counter()
        self.mortals = 0   # Mortals made so far: their tags
        self.open = True   # while the run lasts, Mortals log their end


RUN = Run()


def cursor_of(seq):
    return seq.len() - seq.take(U64_MAX)[0].len()


def describe(x):
    """A description of `x` that runs no user code, equal for the two implementations."""
    tp = type(x)
    if tp is str or tp is Text:
        return repr(plain_text(x))
    if tp in (int, bool, float, complex, bytes, type(None)):
        return repr(x)
    if isinstance(x, Helper):
        return x.describe()
    if isinstance(x, FloatSub):
        return ("FloatSub", float.__repr__(x))
    if isinstance(x, (LumoSeq, ModelSeq)):
        return ("seq", tuple(map(describe, x.list())), cursor_of(x))
    if isinstance(x, list):
        return (tp.__name__, tuple(map(describe, list.copy(x))))
    if isinstance(x, tuple):
        return (tp.__name__, tuple(map(describe, tuple.__getitem__(x, slice(None)))))
    if isinstance(x, BaseException):
        return ("exc", tp.__name__, safe_str(x))
    if isinstance(x, type):
        return ("type", x.__qualname__)
    return (tp.__name__,)


def safe_str(exc):
    try:
        return str(exc)
    except Exception:
        return "<str failed>"


def stable_hash(*values):
    return zlib.crc32(repr(values).encode("utf-8", "surrogatepass"))


class Boom(Exception):
    pass


class Interrupt(BaseException):
    """Stands in for KeyboardInterrupt: no operator may swallow it."""


class BadStr(Exception):
    def __str__(self):
        raise ValueError("str() of this exception fails")


FAILURES = {"boom": Boom, "value": ValueError, "type": TypeError, "interrupt": Interrupt,
            "memory": MemoryError, "badstr": BadStr}


def fail(kind, where):
    exc = FAILURES[kind](where)
    RUN.raised.append(exc)
    raise exc


# ---- odd items ------------------------------------------------------------------------------

class Helper:
    """Base of the odd items: a tag to describe it by, and a log entry for every special method
    that runs. Without overrides it compares by identity and prints its address."""

    def __init__(self, tag):
        self.tag = tag

    def describe(self):
        return (type(self).__name__, self.tag)

    def note(self, what, *others):
        RUN.log.append((what, self.describe()) + tuple(map(describe, others)))

    def _repr_pretty_(self, p, cycle):  # how hypothesis prints it: a raising __repr__ stays out
        p.text(f"{type(self).__name__}{self.__dict__}")


class Plain(Helper):
    pass


class AlwaysEqual(Helper):
    def __eq__(self, other):
        self.note("eq", other)
        return True

    def __hash__(self):
        self.note("hash")
        return 7

    def __repr__(self):
        return "AlwaysEqual()"


class Truthless(Helper):
    """A comparison or predicate result whose truth test raises."""

    def __init__(self, tag, kind="boom"):
        super().__init__(tag)
        self.kind = kind

    def __bool__(self):
        self.note("bool")
        fail(self.kind, f"bool of Truthless {self.tag}")


class Moody(Helper):
    """__eq__, __lt__ and __gt__ answer what a hash of (salt, operator, self, other) picks: mostly
    a bool, sometimes NotImplemented, a truthy or falsy non-bool, an object whose truth test
    raises, or an exception. So `<` is inconsistent, and `==` neither symmetric nor reflexive."""

    __hash__ = None

    def __init__(self, tag, salt):
        super().__init__(tag)
        self.salt = salt

    def answer(self, op, other):
        self.note(op, other)
        h = stable_hash(self.salt, op, self.tag, describe(other)) % 64
        if h < 25:
            return True
        if h < 50:
            return False
        if h < 54:
            return NotImplemented
        if h < 57:
            return h % 2          # a non-bool, truthy or not
        if h < 59:
            return Truthless(h, "interrupt" if h == 58 else "boom")
        if h < 62:
            fail(("boom", "value", "type")[h - 59], f"{op} of Moody {self.tag}")
        fail("interrupt" if h == 62 else "memory", f"{op} of Moody {self.tag}")

    def __eq__(self, other):
        return self.answer("eq", other)

    def __lt__(self, other):
        return self.answer("lt", other)

    def __gt__(self, other):
        return self.answer("gt", other)


class HashableMoody(Moody):
    def __hash__(self):
        self.note("hash")
        return self.tag % 3


class BadRepr(Helper):
    """A __repr__ that raises, returns a non-string, or returns odd text."""

    MODES = ("raise", "interrupt", "nonstr", "surrogate", "empty", "newline", "address", "unicode")

    def __init__(self, tag, mode):
        super().__init__(tag)
        self.mode = mode

    def describe(self):
        return ("BadRepr", self.tag, self.mode)

    def __repr__(self):
        self.note("repr")
        if self.mode == "raise":
            fail("value", f"repr of BadRepr {self.tag}")
        if self.mode == "interrupt":
            fail("interrupt", f"repr of BadRepr {self.tag}")
        return {"nonstr": 5, "surrogate": "lone \ud800 surrogate", "empty": "",
                "newline": "two\nlines", "address": "<Odd object at 0xdeadbeef>",
                "unicode": "\u00e9\u4e2d\U0001f600"}[self.mode]


class Num(Helper):
    """Numeric through __float__, which may also raise or return a non-float."""

    MODES = ("ok", "ok", "raise", "interrupt", "nonfloat")

    def __init__(self, tag, value, mode):
        super().__init__(tag)
        self.value = value
        self.mode = mode

    def describe(self):
        return ("Num", self.tag, repr(self.value), self.mode)

    def __float__(self):
        self.note("float")
        if self.mode == "raise":
            fail("value", f"float of Num {self.tag}")
        if self.mode == "interrupt":
            fail("interrupt", f"float of Num {self.tag}")
        return 3 if self.mode == "nonfloat" else self.value


class IndexOnly(Helper):
    """An integer through __index__ only: an item the aggregates read, or a count. Its __index__
    may raise, or look at the receiver of the running method (which skip holds exclusively)."""

    MODES = ("ok", "ok", "peek", "raise_type", "raise_value")

    def __init__(self, tag, value, mode):
        super().__init__(tag)
        self.value = value
        self.mode = mode

    def describe(self):
        return ("IndexOnly", self.tag, self.value, self.mode)

    def __index__(self):
        self.note("index")
        if self.mode == "peek" and RUN.receiver is not None:
            try:
                RUN.log.append(("peek", RUN.receiver.len()))
            except RuntimeError as e:
                RUN.log.append(("peek failed", str(e)))
        if self.mode == "raise_type":
            fail("type", f"index of IndexOnly {self.tag}")
        if self.mode == "raise_value":
            fail("value", f"index of IndexOnly {self.tag}")
        return self.value


class Mortal(Helper):
    """A key, accumulator, predicate answer or cast result that logs its end into the log of the
    run that made it, while that run lasts: so the logs also show when each implementation
    releases what user code made for it, and in what order. It compares, hashes and prints by a
    small value and never raises there. Made by a callback from its hash, or by cast from an
    item, which it refuses now and then, after the object exists (so that half-made one ends
    too, when its exception goes)."""

    def __init__(self, source):
        self.run = RUN
        RUN.mortals += 1
        super().__init__(RUN.mortals)
        h = stable_hash("mortal", describe(source))
        self.value = h % 3
        if not isinstance(source, int) and h % 5 == 0:
            fail("value", f"Mortal refuses {describe(source)}")

    def describe(self):
        return ("Mortal", self.tag, self.value)

    def __eq__(self, other):
        return self.value == other.value if isinstance(other, Mortal) else NotImplemented

    def __lt__(self, other):
        return self.value < other.value if isinstance(other, Mortal) else NotImplemented

    def __gt__(self, other):
        return self.value > other.value if isinstance(other, Mortal) else NotImplemented

    def __hash__(self):
        return self.value

    def __repr__(self):
        return f"Mortal({self.value})"

    def __del__(self):
        if self.run.open:
            self.run.log.append(("del", self.tag))


class FloatSub(float):
    """A float subclass: the aggregates read its stored value and never call its __float__."""

    def __float__(self):
        RUN.log.append(("FloatSub.__float__", float.__repr__(self)))
        return 99.0

    def __repr__(self):
        return "FloatSub(" + float.__repr__(self) + ")"


class LyingList(list):
    """A list whose own iteration, length and indexing lie; its storage is what counts."""

    def __iter__(self):
        return iter(["lie"])

    def __len__(self):
        return 0

    def __getitem__(self, i):
        return "lie"

    def _repr_pretty_(self, p, cycle):
        p.text(f"LyingList({list.copy(self)!r})")


Point = collections.namedtuple("Point", "x y")


class bool_:
    """Looks like numpy.bool_ by name and module, which the strict boolean rule accepts."""

    __module__ = "numpy"

    def __init__(self, value, kind=None):
        self.value = value
        self.kind = kind

    def __bool__(self):
        RUN.log.append(("numpy bool", self.value))
        if self.kind:
            fail(self.kind, "bool of numpy look-alike")
        return self.value


class PickyMeta(type):
    def __instancecheck__(cls, item):
        RUN.log.append(("instancecheck", describe(item)))
        h = stable_hash("picky", describe(item)) % 16
        if h == 0:
            fail("boom", "instancecheck")
        if h == 1:
            fail("interrupt", "instancecheck")
        return h % 2 == 0


class Picky(metaclass=PickyMeta):
    pass


class Text(str):
    """str for casting to: the text of an object, with the addresses of default reprs masked.
    The two runs' own objects (sequences, fresh keys) live at different addresses, and text cut
    into characters or sorted could not be compared otherwise."""

    def __new__(cls, item):
        return str.__new__(cls, plain_text(str(item)))


class Boxed(Helper):
    """A type to cast to: its construction fails for some items, in several ways."""

    def __init__(self, item):
        RUN.log.append(("Boxed", describe(item)))
        h = stable_hash("boxed", describe(item)) % 12
        if h < 3:
            fail(("value", "badstr", "interrupt")[h], "Boxed refuses")
        super().__init__(describe(item))


class BadNameMeta(type):
    @property
    def __name__(cls):
        RUN.log.append(("__name__", cls.__qualname__))
        if cls.__qualname__ == "Nameless":
            fail("boom", "no name")
        return 5


class Nameless(metaclass=BadNameMeta):
    """A type that cannot be cast to and whose __name__ raises."""

    def __init__(self, item):
        raise ValueError("never")


class NumberName(metaclass=BadNameMeta):
    """A type that cannot be cast to and whose __name__ is not a str."""

    def __init__(self, item):
        raise ValueError("never")


# ---- callbacks ------------------------------------------------------------------------------

KEY_KINDS = ("identity", "small", "small", "float", "str", "pool", "tuple", "none", "fresh",
             "truthless", "self_len", "mortal")
PREDICATE_KINDS = ("bool", "bool", "mostly_true", "mostly_false", "nonbool", "numpy", "identity", "mortal")
FOLD_KINDS = ("left", "right", "small", "tuple", "pool", "mortal")


@dataclasses.dataclass(eq=False)
class Callback:
    """A deterministic callback: what it returns and when it raises depend only on a hash of
    its arguments (or on how many times it was called in this run)."""

    kind: str
    salt: int
    fail_every: int        # 0: never; n: raise when the hash is divisible by n
    fail_kind: str
    fail_at: int           # -1: never; k: raise at the k-th call in the run
    reenter: str           # "": no; "len" / "skip": call that on the receiver; "skip!": uncaught
    pool: tuple

    def __call__(self, *args):
        name = f"f{self.salt}"
        d = tuple(map(describe, args))
        RUN.log.append(("call", name, d))
        number = RUN.calls[name]
        RUN.calls[name] += 1
        h = stable_hash(self.salt, d)
        if self.reenter:
            self.poke_receiver()
        if (self.fail_every and h % self.fail_every == 0) or number == self.fail_at:
            fail(self.fail_kind, f"{name} on {d}")
        return self.result(h, args)

    def poke_receiver(self):
        if self.reenter == "len":
            RUN.log.append(("reenter len", RUN.receiver.len()))
        elif self.reenter == "skip!":
            RUN.receiver.skip(1)
        else:
            try:
                RUN.receiver.skip(1)
                RUN.log.append(("reenter skip worked",))
            except RuntimeError as e:
                RUN.log.append(("reenter skip", str(e)))

    def result(self, h, args):
        item = args[-1]
        kind = self.kind
        if kind == "identity" or kind == "right":
            return item
        if kind == "field" or kind == "moved field":  # a record's field, moved now and then
            if type(item) is not dict:
                return item
            if kind == "moved field" and h % 3 == 0:
                item["k"] = item.pop("k")  # the same fields, in another order from here on
            return item["k"]
        if kind == "left":
            return args[0]
        if kind == "small":
            return h % 4
        if kind == "float":
            return (NAN, -0.0, 0.0, math.inf, -math.inf, 1.5)[h % 6]
        if kind == "str":
            return "k" + str(h % 3)
        if kind == "pool":
            return self.pool[h % len(self.pool)]
        if kind == "tuple":
            return (h % 3, item)
        if kind == "none":
            return None
        if kind == "fresh":
            return Moody(h % 5, self.salt)
        if kind == "mortal":
            return Mortal(h % 4)
        if kind == "truthless":
            return Truthless(h % 3)
        if kind == "self_len":
            return RUN.receiver.len() + h % 2
        if kind == "bool":
            return h % 2 == 0
        if kind == "mostly_true":
            return h % 6 != 0
        if kind == "mostly_false":
            return h % 6 == 0
        if kind == "nonbool":
            return (1, None, [], "yes", 0, True, False, False)[h % 8]
        if kind == "numpy":
            return bool_(h % 3 != 0, "boom" if h % 11 == 0 else None)
        raise AssertionError(kind)


# ---- arguments that differ per implementation -------------------------------------------------

@dataclasses.dataclass(eq=False)
class Other:
    """A sequence argument, made for the implementation under test."""

    kind: str
    items: list = dataclasses.field(default_factory=list)
    skip: int = 0
    value: object = None

    def build(self, backend):
        if self.kind == "list":
            return list(self.items)
        if self.kind == "tuple":
            return tuple(self.items)
        if self.kind == "point":
            return Point(*self.items[:2], *[None] * (2 - len(self.items[:2])))
        if self.kind == "lying":
            return LyingList(self.items)
        if self.kind == "seq":
            return backend(list(self.items)).skip(self.skip)
        if self.kind == "self":
            return RUN.receiver
        return self.value  # not a sequence at all


@dataclasses.dataclass(eq=False)
class Others:
    """The list argument of zips (or something that is not a list)."""

    elements: list
    container: str

    def build(self, backend):
        built = [e.build(backend) for e in self.elements]
        return {"list": list, "lying": LyingList, "tuple": tuple}[self.container](built)


class OwnType:
    """The sequence type of the implementation under test (LumoSeq or ModelSeq)."""

    def build(self, backend):
        return backend

    def _repr_pretty_(self, p, cycle):
        p.text("OwnType()")


def build(arg, backend):
    return arg.build(backend) if isinstance(arg, (Other, Others, OwnType)) else arg


@dataclasses.dataclass(eq=False)
class Call:
    name: str
    args: tuple
    by_keyword: bool = False
    pick: int = 0  # which element of a take / take_while pair the chain goes on with

    def run(self, seq, backend):
        args = [build(a, backend) for a in self.args]
        if self.by_keyword:
            return getattr(seq, self.name)(**dict(zip(PARAMS[self.name], args)))
        return getattr(seq, self.name)(*args)


@dataclasses.dataclass(eq=False)
class Program:
    items: list
    steps: list
    terminal: object  # a Call, or None


PARAMS = {
    "enumerate": ("start_index",), "select": ("func",), "where": ("predicate",),
    "of_type": ("ty",), "order_by": ("key",), "group_by": ("key_func",),
    "at": ("index", "default"), "first": ("default",), "last": ("default",),
    "append": ("item",), "prepend": ("item",),
    "join": ("other", "outer_key_func", "inner_key_func"), "concat": ("other",),
    "union": ("other",), "intersect": ("other",), "differ": ("other",), "skip": ("n",),
    "take": ("n",), "zip": ("other", "until_exhausted"), "zips": ("others", "until_exhausted"),
    "cast": ("ty", "silent"), "to_dict": ("key_func", "value_func"),
    "aggregate": ("func", "seed"), "skip_while": ("predicate",), "take_while": ("predicate",),
    "distinct_by": ("key_selector",), "except_by": ("other", "key_selector"),
    "intersect_by": ("other", "key_selector"), "union_by": ("other", "key_selector"),
    "min_by": ("key_selector",), "max_by": ("key_selector",), "chunk": ("chunk_size",),
}


# ---- strategies -----------------------------------------------------------------------------
# Generation, not execution, is what an example costs, so most choices are one draw from a
# catalogue; weights come from repeating entries. Invalid arguments are kept rare so that most
# chains run to their end.

def weighted(*pairs):
    """sampled_from over (weight, value) pairs."""
    return st.sampled_from([value for weight, value in pairs for _ in range(weight)])


@st.composite
def _drawn_from(draw, choice, strategies):
    return draw(strategies[draw(choice)])


def one_of_weighted(*pairs):
    """one_of over (weight, strategy) pairs (one_of itself drops repeated branches)."""
    return _drawn_from(weighted(*[(w, i) for i, (w, _) in enumerate(pairs)]), [s for _, s in pairs])


PLAIN_ATOMS = [0, 1, -1, 2, 3, 7, -5, 10**20, -(10**20), 2**63, -2**63 - 1, 2**64, 10**400,
               True, False, None, 0.0, -0.0, 1.5, -1.0, 2.5, NAN, math.inf, -math.inf, 1e308,
               "", "a", "B", "1", "12", "x y", "\ud800", "\u00e9", "a\u4e2d"]
HELPER_MAKERS = (
    [lambda t=t: Plain(t) for t in range(3)]
    + [lambda t=t: AlwaysEqual(t) for t in range(2)]
    + [lambda t=t, s=s: Moody(t, s) for t in range(4) for s in (11, 12)]
    + [lambda t=t, s=s: HashableMoody(t, s) for t in range(4) for s in (13, 14)]
    + [lambda m=m: BadRepr(0, m) for m in BadRepr.MODES] + [lambda: BadRepr(1, "raise")]
    + [lambda t=t, v=v, m=m: Num(t, v, m) for t, (v, m) in enumerate(
        [(1.0, "ok"), (-1.0, "ok"), (NAN, "ok"), (-0.0, "ok"), (2.5, "raise"), (1.0, "interrupt"),
         (1.0, "nonfloat")])]
    + [lambda v=v, m=m: IndexOnly(v, v, m) for v, m in (
        (-1, "ok"), (0, "ok"), (2, "ok"), (5, "ok"), (2, "peek"), (2, "raise_type"), (3, "raise_value"))]
    + [lambda v=v: FloatSub(v) for v in (0.5, -0.0, NAN)]
)

atoms = one_of_weighted((4, st.sampled_from(PLAIN_ATOMS)),
                        (3, st.sampled_from(HELPER_MAKERS).map(lambda make: make())),
                        (1, st.integers()), (1, st.floats()))
containers = st.one_of(st.lists(atoms, max_size=3), st.tuples(atoms, atoms),
                       st.builds(Point, atoms, atoms), st.lists(atoms, max_size=2).map(LyingList),
                       st.builds(lambda k, v: {"k": k, "v": v}, atoms, atoms),
                       st.dictionaries(st.sampled_from(["k", "v", 1]), atoms, max_size=2))
nested = one_of_weighted((3, atoms), (1, containers))
items = one_of_weighted((6, atoms), (1, containers),
                        (1, st.one_of(st.lists(nested, max_size=2), st.tuples(nested, nested))))


@st.composite
def item_lists(draw, max_size=50):
    """Up to `max_size` items. A short list drawn item by item is repeated (the same objects)
    to reach longer lengths cheaply, and a few references are copied to other places."""
    base = draw(st.lists(items, max_size=min(max_size, 10)))
    result = base * draw(weighted((4, 1), (1, 2), (1, 4), (2, 50)))
    result = result[:max_size]
    if result:
        for source, target in draw(st.lists(st.tuples(st.integers(0, len(result) - 1),
                                                      st.integers(0, len(result))), max_size=3)):
            result.insert(target, result[source])
    return result[:max_size]


# (fail_every, fail_kind, fail_at): how a callback fails, if ever
FAILING = weighted((40, (0, "boom", -1)), (2, (7, "boom", -1)), (1, (3, "value", -1)),
                   (1, (19, "type", -1)), (1, (0, "interrupt", 3)), (1, (0, "memory", 1)),
                   (1, (0, "badstr", 0)), (1, (0, "boom", 2)))
REENTERING = weighted((24, ""), (1, "len"), (1, "skip"), (1, "skip!"))
POOLS = [(0,), (1, 2), (NAN,), ("k0", "k1"), (None, 0.0, -0.0)] + [
    (make(),) for make in HELPER_MAKERS[::7]]


def callbacks(kinds, lambdas):
    made = st.builds(lambda kind, salt, failing, reenter, pool: Callback(kind, salt, *failing, reenter, pool),
                     kinds, st.integers(0, 2**16), FAILING, REENTERING, st.sampled_from(POOLS))
    return one_of_weighted((19, made), (1, st.just(5)), (6, st.sampled_from(lambdas)))  # 5: not callable


# Plain functions of the shapes that the extension evaluates itself: over the items here most of
# them meet something it cannot read (a Helper, a LyingList, a missing key) and call the function.
KEY_LAMBDAS = [lambda x: x, lambda x: -x, lambda x: x * 2 - 1, lambda x: x / 2, lambda x: x % 3,
               lambda x: x[0], lambda x: x[-1], lambda x: x["k"], lambda x: x.x, lambda x: (x, None),
               lambda x: x is None, lambda x: x or 0, lambda x: 0 < x <= 2, lambda x: "s" if x else x,
               lambda x: x + "!", operator.itemgetter("v"), operator.attrgetter("y")]
PREDICATE_LAMBDAS = [lambda x: x is None, lambda x: x == 1, lambda x: x != 0.0, lambda x: x > 0,
                     lambda x: not x, lambda x: x in (0, 1, "a", None), lambda x: x["k"] is not None,
                     lambda x: x.x < x.y, lambda x: x[0] >= "a"]
FOLD_LAMBDAS = [lambda a, x: a + x, lambda a, x: x, lambda a, x: a if a > x else x, lambda a, x: a * x,
                lambda a, x: (x, a is None)]

keys = callbacks(weighted((3, "identity"), (3, "small"), (1, "float"), (2, "str"), (1, "pool"),
                          (1, "tuple"), (1, "none"), (1, "fresh"), (1, "truthless"), (1, "self_len"),
                          (3, "mortal")), KEY_LAMBDAS)
predicates = callbacks(weighted((4, "bool"), (3, "mostly_true"), (2, "mostly_false"), (1, "numpy"),
                                (1, "nonbool"), (1, "identity"), (1, "mortal")), PREDICATE_LAMBDAS)
folds = callbacks(weighted((1, "left"), (1, "right"), (1, "small"), (1, "tuple"), (1, "pool"), (2, "mortal")),
                  FOLD_LAMBDAS)

not_sequences = st.sampled_from([None, 5, "ab", frozenset({1}), {1: 2}, range(2), b"xy"])
others = one_of_weighted(
    (16, st.builds(Other, st.sampled_from(["list", "tuple", "seq", "seq", "lying", "point"]),
                   item_lists(max_size=8), st.integers(0, 3))),
    (1, st.builds(Other, st.just("self"))),
    (1, st.builds(Other, st.just("bad"), value=not_sequences)),
)
zips_others = st.builds(Others, st.lists(others, max_size=3),
                        weighted((12, "list"), (1, "lying"), (1, "tuple")))
index_objects = st.builds(IndexOnly, st.just("n"), st.integers(-1, 12), st.sampled_from(IndexOnly.MODES))
BAD_COUNTS = [U64_MAX, 2**63, -1, 2**64, True, False, "2", 1.5, None]
counts = one_of_weighted((16, st.integers(0, 12)), (1, st.sampled_from(BAD_COUNTS)), (1, index_objects))
positive_counts = one_of_weighted((8, st.integers(1, 12)), (1, st.just(0)), (1, counts))
indexes = one_of_weighted((16, st.integers(-60, 60)),
                          (1, st.sampled_from([2**63 - 1, -2**63, 2**63, -2**63 - 1, True, 1.5, "0"])),
                          (1, index_objects))
start_indexes = one_of_weighted((12, st.integers(0, 5)),
                                (1, st.sampled_from([U64_MAX - 1, U64_MAX, -1, 2**64, True, 1.5])),
                                (1, index_objects))
flags = weighted((8, True), (8, False), (1, 1), (1, 0), (1, None), (1, "yes"),
                 (1, bool_(True)), (1, bool_(False)), (1, bool_(True, "boom")), (1, bool_(False, "type")))
defaults = st.one_of(st.none(), atoms)
instance_types = weighted(*[(3, t) for t in (int, float, str, tuple, list, object, Helper, Moody)],
                          *[(2, t) for t in (bool, type(None), numbers.Number, numbers.Integral,
                                             collections.abc.Hashable, collections.abc.Sequence,
                                             Picky, Point, OwnType())],
                          (1, 3), (1, (int, str)), (1, int | str), (1, None))
cast_types = weighted((4, int), (4, float), (3, Text), (1, tuple), (2, bool), (1, complex), (3, Boxed), (2, Mortal),
                      (1, Nameless), (1, NumberName), (1, list), (1, "int"), (1, None))
seq_items = st.builds(Other, st.sampled_from(["list", "tuple", "seq"]), item_lists(max_size=4),
                      st.integers(0, 2))


def optional(*strategies):
    """Argument tuples with the trailing optional arguments sometimes left out."""
    full = st.tuples(*strategies)
    return st.one_of(full, full.map(lambda t: t[:-1]))


STEPS = {
    "enumerate": optional(start_indexes),
    "rev": st.just(()),
    "select": st.tuples(keys),
    "where": st.tuples(predicates),
    "of_type": st.tuples(instance_types),
    "order_by": st.tuples(keys),
    "group_by": st.tuples(keys),
    "append": st.tuples(one_of_weighted((2, items), (1, seq_items))),
    "prepend": st.tuples(one_of_weighted((2, items), (1, seq_items))),
    "join": st.tuples(others, keys, keys),
    "distinct": st.just(()),
    "concat": st.tuples(others),
    "union": st.tuples(others),
    "intersect": st.tuples(others),
    "differ": st.tuples(others),
    "skip": st.tuples(counts),
    "restart": st.just(()),
    "take": st.tuples(counts),
    "zip": optional(others, flags),
    "zips": optional(zips_others, flags),
    "flatten": st.just(()),
    "cast": optional(cast_types, flags),
    "skip_while": st.tuples(predicates),
    "take_while": st.tuples(predicates),
    "distinct_by": st.tuples(keys),
    "except_by": st.tuples(others, keys),
    "intersect_by": st.tuples(others, keys),
    "union_by": st.tuples(others, keys),
    "chunk": st.tuples(positive_counts),
}

TERMINALS = {
    "list": st.just(()),
    "tuple": st.just(()),
    "set": st.just(()),
    "iter": st.just(()),
    "len": st.just(()),
    "empty": st.just(()),
    "at": optional(indexes, defaults),
    "first": optional(defaults),
    "last": optional(defaults),
    "sum": st.just(()),
    "average": st.just(()),
    "max": st.just(()),
    "min": st.just(()),
    "to_dict": st.tuples(keys, keys),
    "aggregate": optional(folds, defaults),
    "min_by": st.tuples(keys),
    "max_by": st.tuples(keys),
}

# (by_keyword, pick)
CALL_STYLES = st.sampled_from([(False, 0), (False, 1), (True, 0), (True, 1)])


def make_call(name, args, style):
    by_keyword, pick = style
    return Call(name, args, by_keyword and bool(PARAMS.get(name)), pick)


# Built once: hypothesis validates a strategy the first time it is drawn from.
CALLS = {name: st.builds(make_call, st.just(name), table[name], CALL_STYLES)
         for table in (STEPS, TERMINALS) for name in table}
ANY_STEP = st.one_of(*[CALLS[name] for name in sorted(STEPS)])
ANY_TERMINAL = st.one_of(*[CALLS[name] for name in sorted(TERMINALS)])
CHAINS = st.lists(ANY_STEP, max_size=6)
PREFIXES = st.lists(ANY_STEP, max_size=2)
# Mostly numbers (signed zeros, NaN, ints that are 1.0 and True): the aggregates, min/max ties and
# the numeric fast path of order_by see enough of them.
NUMBERS = [0, 0.0, -0.0, 0.0, -0.0, False, -1, -2.5, -math.inf, 1, 1.0, True, 2.5, NAN, math.inf,
           10**400, 2**63, -2**63 - 1, "x", None]
ZEROS = [0.0, -0.0, 0, False, NAN, -1.0]  # ties that only the sign of zero tells apart
PROGRAM_ITEMS = one_of_weighted((6, item_lists()),
                                (2, st.lists(st.sampled_from(NUMBERS) | st.floats(), max_size=12)),
                                (1, st.lists(st.sampled_from(ZEROS), max_size=6)))
MAYBE_TERMINAL = one_of_weighted((1, st.none()), (2, ANY_TERMINAL))


@st.composite
def programs(draw, focus=None):
    """Items, a chain of steps and an optional terminal call. With `focus`, the chain is a short
    random prefix followed by that method (as the last step or as the terminal)."""
    program_items = draw(PROGRAM_ITEMS)
    if focus is None:
        return Program(program_items, draw(CHAINS), draw(MAYBE_TERMINAL))
    if focus in STEPS:
        return Program(program_items, draw(PREFIXES) + [draw(CALLS[focus])], None)
    return Program(program_items, draw(PREFIXES), draw(CALLS[focus]))


# ---- running and comparing ------------------------------------------------------------------

@dataclasses.dataclass
class Trace:
    outputs: list
    error: BaseException
    error_from_user_code: bool
    log: list
    stderr: bytes
    unsettled_from: int = None  # where the log of a terminal that addresses decide begins


def hashed_by_address(x, pooled):
    """Whether the hash of `x` comes from the address of an object that this run made (a
    sequence, say, which the other run makes too, elsewhere): tuples and frozensets hash their
    items."""
    if id(x) in pooled:
        return False
    tp = type(x)
    if tp is frozenset or (isinstance(x, tuple) and tp.__hash__ is tuple.__hash__):
        items = tuple.__getitem__(x, slice(None)) if isinstance(x, tuple) else x
        return any(hashed_by_address(y, pooled) for y in items)
    return tp.__hash__ is object.__hash__


def run(program, backend, pooled=frozenset()):
    """Runs `program` on one implementation (LumoSeq or ModelSeq) and records what happened.
    The cyclic collector stays off meanwhile: an object on a cycle then ends only after the run,
    not at whatever allocation triggers a collection, so a Mortal's end is logged at a point that
    reference counting alone decides.

    A set's table depends on every hash in it. Where the items of a `set` terminal include an
    object that this run made and that hashes by address, where that object lands decides which
    items of one hash the interpreter's set compares with an item it adds, in what order and how
    often (a resize re-inserts in slot order, linear probing can meet an entry twice), and so also
    which comparison raises. The other run's object lies elsewhere, so there the two runs may
    rightly differ: the log from the terminal on is marked unsettled (`pooled`: the ids of the
    program's own objects, which both runs share)."""
    global RUN
    RUN = Run()
    outputs, error, unsettled_from = [], None, None
    saved_hook = sys.unraisablehook
    collecting = gc.isenabled()
    gc.disable()
    sys.unraisablehook = lambda u: RUN.log.append(
        ("unraisable", u.exc_type.__name__, safe_str(u.exc_value), describe(u.object)))
    try:
        with capture_fd2() as err:
            try:
                seq = backend(list(program.items))
                for step in program.steps:
                    RUN.receiver = seq
                    result = step.run(seq, backend)
                    outputs.append(result)
                    seq = result[step.pick] if isinstance(result, tuple) else result
                    if seq.len() > CAP:
                        break
                else:
                    if program.terminal is not None:
                        RUN.receiver = seq
                        if program.terminal.name == "set" and any(
                                hashed_by_address(x, pooled) for x in seq.list()):
                            unsettled_from = len(RUN.log)
                        outputs.append(program.terminal.run(seq, backend))
            except (Exception, Interrupt) as e:
                error = e
    finally:
        sys.unraisablehook = saved_hook
        RUN.receiver = None
        RUN.open = False  # what the results, the error and hypothesis hold ends unlogged, later
        if collecting:
            gc.enable()
    from_user = error is not None and any(error is r for r in RUN.raised)
    return Trace(outputs, error, from_user, RUN.log, err.data, unsettled_from)


ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def plain_text(text):
    """Default reprs show addresses, which differ between the two runs' own objects; and where
    CPython prints a type's C-level name, the extension's is "builtins.LumoSeq", while the model's
    class (a Python class named LumoSeq) has no module prefix there."""
    return ADDRESS.sub(" at 0x?", text).replace("builtins.LumoSeq", "LumoSeq")


def same_atom(a, b):
    if isinstance(a, complex):
        return same_atom(a.real, b.real) and same_atom(a.imag, b.imag)
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, str):
        return plain_text(a) == plain_text(b)
    return a == b


ATOMS = (int, bool, float, complex, str, Text, bytes, type(None), FloatSub)


def same(a, b, pooled):
    """Whether the extension's value `a` matches the model's `b`: atoms by value (NaN equal to
    NaN, -0.0 not to 0.0), the program's own objects by identity, everything else by structure."""
    if type(a) in ATOMS or type(b) in ATOMS:
        return type(a) is type(b) and same_atom(a, b)
    if a is b:
        return True
    if id(a) in pooled or id(b) in pooled:
        return False  # an item passed through must be the very object
    if isinstance(a, LumoSeq):
        return (type(b) is ModelSeq and cursor_of(a) == cursor_of(b)
                and same(a.list(), b.list(), pooled))
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        a, b = list.copy(a), list.copy(b)
        return len(a) == len(b) and all(same(x, y, pooled) for x, y in zip(a, b))
    if isinstance(a, tuple):
        return same(list(tuple.__getitem__(a, slice(None))), list(tuple.__getitem__(b, slice(None))),
                    pooled)
    if isinstance(a, dict):
        return same(list(a.items()), list(b.items()), pooled)
    if isinstance(a, (set, frozenset)):
        # Members that hash by address may sit in another order; match them one to one.
        remaining = list(b)
        for x in a:
            match = next((i for i, y in enumerate(remaining) if same(x, y, pooled)), None)
            if match is None:
                return False
            del remaining[match]
        return not remaining
    if isinstance(a, Drained):
        return same(a.items, b.items, pooled)
    if isinstance(a, Helper):
        return a.describe() == b.describe()
    return False


def program_objects(program):
    """Every object the program holds, by id."""
    seen = {}

    def walk(x):
        if id(x) in seen:
            return
        seen[id(x)] = x
        if isinstance(x, list):
            for y in list.copy(x):
                walk(y)
        elif isinstance(x, tuple):
            for y in tuple.__getitem__(x, slice(None)):
                walk(y)
        elif dataclasses.is_dataclass(x) and not isinstance(x, type):
            for field in dataclasses.fields(x):
                walk(getattr(x, field.name))

    walk(program)
    return seen


def warm_tuple_hashes(objects):
    """Hashes each tuple the program holds (named tuples too), once, before either run.

    From 3.14 on a tuple keeps its hash once computed, so of two runs over the same tuples only
    the first would call its items' __hash__. Hashed beforehand, every tuple whose hash succeeds
    answers both runs from its cache, and one whose hash fails keeps failing alike in both; on
    earlier interpreters nothing is kept and both runs make every call."""
    global RUN
    RUN = Run()  # the calls made here belong to no run
    for x in objects.values():
        if isinstance(x, tuple) and type(x).__hash__ is tuple.__hash__:
            try:
                hash(x)
            except (Exception, Interrupt):
                pass


def check_same(program):
    objects = program_objects(program)
    warm_tuple_hashes(objects)
    pooled = objects.keys()
    runs = {}
    for native in (True, False):
        was = lumo._set_native(native)
        try:
            runs[native] = run(program, LumoSeq, pooled)
        finally:
            lumo._set_native(was)
    model = run(program, ModelSeq, pooled)
    for trace in (*runs.values(), model):  # an iterator is read once, and compared twice
        trace.outputs = [Drained(list(x)) if type(x).__name__ == "list_iterator" else x for x in trace.outputs]
    for native, ext in runs.items():
        try:
            check_traces(ext, model, program, pooled)
        except AssertionError as e:
            raise AssertionError(f"native evaluation {'on' if native else 'off'}: {e}") from None


@dataclasses.dataclass
class Drained:
    """What an iterator that an implementation returned gave, read before the comparisons."""
    items: list


def check_traces(ext, model, program, pooled):
    if ext.unsettled_from is not None and ext.unsettled_from == model.unsettled_from:
        # Everything up to the terminal must still agree; the terminal's calls, value and error
        # are the interpreter's set's, over objects at different addresses.
        for trace in (ext, model):
            del trace.log[trace.unsettled_from:]
            del trace.outputs[len(program.steps):]
            trace.error, trace.error_from_user_code = None, False

    for i, (e, m) in enumerate(zip(ext.log, model.log)):
        assert e == m, f"call {i} differs:\n  extension: {e}\n  model:     {m}\n  before: {ext.log[max(0, i - 5):i]}"
    longer = ext.log if len(ext.log) > len(model.log) else model.log
    assert len(ext.log) == len(model.log), (
        f"extension made {len(ext.log)} calls, model {len(model.log)}; "
        f"first extra: {longer[min(len(ext.log), len(model.log)):][:1]}")

    if model.error is None:
        assert ext.error is None, f"extension raised {ext.error!r}, model did not"
    else:
        assert ext.error is not None, f"model raised {model.error!r}, extension did not"
        assert type(ext.error) is type(model.error), f"{ext.error!r} vs model {model.error!r}"
        names = getattr(model.error, "lumo_names", None)
        if names is None:
            assert plain_text(safe_str(ext.error)) == plain_text(safe_str(model.error))
        else:  # wording of the interpreter or the binding layer: only the names are fixed
            for name in names:
                assert name in safe_str(ext.error), (name, ext.error)
        assert type(ext.error.__cause__) is type(model.error.__cause__), (ext.error.__cause__,
                                                                          model.error.__cause__)
        assert ext.error_from_user_code == model.error_from_user_code, (
            "an exception of user code must travel out as the same object")

    assert len(ext.outputs) == len(model.outputs)
    for i, (e, m) in enumerate(zip(ext.outputs, model.outputs)):
        assert same(e, m, pooled), f"result {i} differs:\n  extension: {describe_result(e)}\n  model:     {describe_result(m)}"

    assert plain_text(ext.stderr.decode("utf-8", "replace")) == plain_text(
        model.stderr.decode("utf-8", "replace"))


def describe_result(x):
    if isinstance(x, (set, frozenset, dict, Drained)):
        return repr(type(x))
    return describe(x)


# ---- the tests ------------------------------------------------------------------------------

# The profile (conftest.py) sets the budget; the random chains get most of it.
_BUDGET = settings.default.max_examples


@settings(max_examples=max(1, _BUDGET * 20))
@given(programs())
def test_random_chains_agree_with_the_model(program):
    check_same(program)


@pytest.mark.parametrize("name", sorted(STEPS) + sorted(TERMINALS))
@settings(max_examples=max(1, _BUDGET // 2))
@given(data=st.data())
def test_each_method_agrees_with_the_model(name, data):
    check_same(data.draw(programs(focus=name), label="program"))


def test_a_set_that_addresses_decide_is_compared_up_to_the_set():
    """A sequence made by the run, set before two unequal items of one hash and a repeat of the
    first: where the sequence lands in the set's table decides whether the interpreter compares
    the repeat with the second one (a resize re-inserts in slot order), so the same program makes
    different calls from round to round. The two runs must still agree on everything before the
    set; with an object of the program's own in the sequence's place, on everything."""
    rng = random.Random(19)
    made_here, own = [], []
    for _ in range(150):
        first, second, plain = HashableMoody(2, 14), HashableMoody(2, 14), Plain(0)
        items = [first, -1, second, IndexOnly(0, 0, "ok")] * 2
        ballast = [Plain(i) for i in range(rng.randrange(64))][::2]  # moves where the sequence lands
        for head, seen in ((Other("seq", [5]), made_here), (plain, own)):
            program = Program(items, [Call("prepend", (head,))], Call("set", ()))
            check_same(program)
            trace = run(program, LumoSeq, program_objects(program).keys())
            seen.append((trace.unsettled_from, tuple(trace.log)))
        del ballast
    assert {start for start, _ in made_here} == {0} and len({log for _, log in made_here}) > 1
    assert {start for start, _ in own} == {None}


def test_the_tables_cover_every_method():
    public = {n for n in dir(LumoSeq) if not n.startswith("_")}
    assert len(public) == 46
    assert set(STEPS) | set(TERMINALS) == public
    assert not set(STEPS) & set(TERMINALS)
    assert {n for n in dir(ModelSeq) if not n.startswith("_")} == public


# ---- native key paths on large inputs -------------------------------------------------------
# order_by, group_by, join, min_by and max_by handle ints, floats, strs (and tuples of them, or
# None and the bools) without calling Python. Tens of thousands of such keys, alone or spoiled
# by a few that the native paths refuse, must give what the model gives through the general
# path: the same order, groups, first keys, calls and unraisable reports.

class Mimic(Helper):
    """An object whose repr prints like an int, a str, None, a bool, a float or a tuple."""

    TEXTS = ("5", "-1", "0", "'a'", "''", "None", "True", "'\\ud800'", "'\ud800'",
             "'\ufffd\ufffd\ufffd'", "1.0", "(1, 'a')", "(5,)", "()", "(None, True)")

    def __init__(self, tag, text):
        super().__init__(tag)
        self.text = text

    def __repr__(self):
        self.note("repr")
        return self.text


SHARED_NAN = NAN
INT64_EDGES = [2**63 - 1, -2**63, 2**62, -2**62, 2**53 + 1, 2**32, -1, 0, 1, 255, 256]
BEYOND_INT64 = [2**63, -2**63 - 1, 2**64, 10**30, -10**40]
FLOAT_EDGES = [0.0, -0.0, math.inf, -math.inf, 2.0**53, 2.0**63, -2.0**63, 5e-324, 1e308, 0.5]
# The widest code point of a data set decides how the native sorts pack strs, so each set keeps
# to one width: Latin-1, the Basic Multilingual Plane (lone surrogates included), or beyond.
LATIN_1 = "ab\x00\u00e9\u00ff"
BMP = LATIN_1 + "\u0100\u4e2d\ud800\udfff"
ASTRAL = BMP + "\U0001f600"


def large_int(rng):
    pick = rng.randrange(6)
    if pick == 0:
        return rng.choice(INT64_EDGES)
    if pick == 1:
        return rng.choice((True, False))
    if pick == 2:
        return rng.randrange(-2**63, 2**63)
    return rng.randrange(-50, 50) * rng.choice((1, 1000, 10**9))


def large_float(rng, nan):
    pick = rng.randrange(8 if nan else 6)
    if pick == 0:
        return rng.choice(FLOAT_EDGES)
    if pick == 1:
        return float(rng.randrange(-20, 20))
    if pick >= 6:
        return SHARED_NAN if pick == 6 else float("nan")  # one shared NaN and many distinct ones
    return rng.uniform(-1e6, 1e6) * rng.choice((1, 1e-300, 1e300))


def large_str(rng, characters=LATIN_1):
    prefix = "p" * rng.choice((0, 0, 0, 3, 7, 8, 15, 60, 130))
    alphabet = characters[:rng.choice((2, 3, len(characters)))]
    return prefix + "".join(rng.choice(alphabet) for _ in range(rng.randrange(6)))


def large_scalar(rng, characters, nan=True):
    pick = rng.randrange(4 if characters else 3)
    if pick == 0:
        return large_int(rng)
    if pick == 1:
        return large_float(rng, nan)
    if pick == 2:
        return float(rng.randrange(-3, 3))  # equal to an int key
    return large_str(rng, characters)


def large_tuple(rng, characters):
    size = rng.choice((0, 1, 2, 2, 2, 3))
    head = rng.choice((large_int, lambda r: float(r.randrange(-3, 3)), lambda r: large_str(r, characters),
                       lambda r: large_float(r, nan=True)))
    return tuple(head(rng) if i == 0 else large_scalar(rng, characters) for i in range(size))


KEY_FAMILIES = {
    "ints": large_int,
    "floats": lambda rng: large_float(rng, nan=False),
    "floats with NaN": lambda rng: large_float(rng, nan=True),
    "strs": large_str,
    "BMP strs": lambda rng: large_str(rng, BMP),
    "astral strs": lambda rng: large_str(rng, ASTRAL),
    "numbers": lambda rng: large_scalar(rng, "") if rng.randrange(4) else large_float(rng, nan=True),
    "tuples": lambda rng: large_tuple(rng, LATIN_1),
    "BMP tuples": lambda rng: large_tuple(rng, BMP),
    "scalars and tuples": lambda rng: (large_tuple(rng, ASTRAL) if rng.randrange(2)
                                       else large_scalar(rng, ASTRAL)),
    # group_by and join: a few hundred distinct keys, some first seen late
    "grouped": lambda rng: rng.choice(GROUPED),
    # records whose field "k" the key function reads, their key tables asked for ahead of the calls
    "records": lambda rng: {"a": large_str(rng), "k": rng.choice(GROUPED), "b": rng.randrange(10)},
}
GROUPED = [*range(-100, 100), *"abcdefghij", "", "5", "\ud800", "\ufffd\ufffd\ufffd", "\u4e2d",
           None, True, False, 2**63 - 1, -2**63, 1.0, (1, "a"), (5,), (), (None, True), (True, "a"),
           (1.0, "a"), ("a", 1), (1, "a", None), (2**63, "a"), ((1,), "a")]
SPOILERS = [*BEYOND_INT64, None, (1, None), ((1,), 2), [1], FloatSub(0.5)]
ODD_KEYS = [Mimic(i, text) for i, text in enumerate(Mimic.TEXTS)] + [BadRepr(7, "raise"),
                                                                      BadRepr(8, "raise")]


def large_program(family, method, arrangement, spoiled, seed, n=20_000):
    rng = random.Random(seed)
    keys = [KEY_FAMILIES[family](rng) for _ in range(n)]
    if arrangement != "shuffled":
        keys.sort(reverse=arrangement == "descending")
    pool = SPOILERS + ODD_KEYS  # an odd number of them: taken in turn, each comes early and late
    for i in range(spoiled):
        odd = pool[i % len(pool)] if spoiled >= len(pool) else rng.choice(pool)
        keys.insert(rng.randrange(50 if i % 2 else len(keys) + 1), odd)
    kind = "identity" if family != "records" else "moved field" if spoiled else "field"
    key = Callback(kind, seed, 0, "boom", -1, "", ())
    if method == "join":
        inner = [KEY_FAMILIES[family](rng) for _ in range(40)]
        if spoiled:
            inner = ODD_KEYS + inner + ODD_KEYS
        return Program(keys, [Call("join", (Other("list", inner), key, key))], None)
    if method in STEPS:
        return Program(keys, [Call(method, (key,))], None)
    return Program(keys, [], Call(method, (key,)))


LARGE_CASES = (
    [("order_by", family, arrangement, spoiled) for family in ("ints", "floats", "strs")
     for arrangement, spoiled in (("shuffled", 0), ("shuffled", 1), ("ascending", 0), ("descending", 0))]
    + [("order_by", family, "shuffled", spoiled)
       for family in ("floats with NaN", "tuples", "scalars and tuples") for spoiled in (0, 3)]
    + [("order_by", family, "shuffled", 0) for family in ("BMP strs", "astral strs", "BMP tuples")]
    + [(method, family, "shuffled", spoiled) for method in ("group_by", "join")
       for family in ("ints", "strs", "tuples", "grouped") for spoiled in (0, 2 * len(SPOILERS + ODD_KEYS))]
    + [(method, family, "shuffled", spoiled) for method, spoiled in (("min_by", 0), ("max_by", 1))
       for family in ("ints", "floats with NaN", "strs", "numbers")]
    + [("min_by", "scalars and tuples", "shuffled", 0)]
    + [(method, "records", "shuffled", spoiled) for method in ("select", "group_by", "join", "distinct_by")
       for spoiled in (0, len(SPOILERS + ODD_KEYS))]
)


@pytest.mark.parametrize("method, family, arrangement, spoiled", LARGE_CASES)
def test_native_key_paths_agree_with_the_model_on_large_inputs(method, family, arrangement, spoiled):
    seed = zlib.crc32(f"{method} {family} {arrangement} {spoiled}".encode())
    check_same(large_program(family, method, arrangement, spoiled, seed))


RECURSION_PROBES = ("order_by", "group_by", "join", "min_by", "max_by")


def test_native_key_paths_at_the_recursion_limit_answer_as_the_general_path():
    """Where the interpreter's own comparison or repr would fail for want of depth, a native
    path must not answer in its place. Decimal keys stand in for the general path: C code
    whose comparison and repr make the same recursion checks as those of ints."""
    pick = operator.itemgetter(0)  # a key function that makes no recursion check of its own
    key_sets = [[3, 1, 2], [(3, 1), (1, 1), (2, 1)], [(3, 1), (1, 2), (2, 1)]]
    seqs = []
    for keys in key_sets:
        decimals = [tuple(map(decimal.Decimal, k)) if isinstance(k, tuple) else decimal.Decimal(k) for k in keys]
        seqs.append((LumoSeq([(k,) for k in keys]), LumoSeq([(k,) for k in decimals])))
    results, reports = {}, []

    def probe(depth):
        # As little as possible runs here, so that the calls below meet the limit themselves.
        # Called through methodcaller, a method is one recursion check deeper than called.
        for pair, (ints, decimals) in enumerate(seqs):
            for name in RECURSION_PROBES:
                for kind, s in enumerate((ints, decimals)):
                    for deeper in (False, True):
                        args = (s, pick, pick) if name == "join" else (pick,)
                        before = len(reports)
                        try:
                            if deeper:
                                result = operator.methodcaller(name, *args)(s)
                            else:
                                result = getattr(s, name)(*args)
                        except RecursionError:
                            result = RecursionError
                        results[depth, deeper, pair, name, kind] = (s, result, len(reports) - before)

    hook = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append(u.exc_type)
    try:
        at_every_depth(probe, 10**6)  # the interpreter's C recursion limit is the one that counts
    finally:
        sys.unraisablehook = hook

    def plain(name, s, result, reported):
        items = s.list()
        at = lambda x: next(i for i, y in enumerate(items) if y is x)
        if result is RecursionError:
            return result, reported
        if name == "order_by":
            return [at(x) for x in result.list()], reported
        if name == "group_by":
            return [[at(x) for x in group.list()] for _, group in result.list()], reported
        if name == "join":
            return [(at(x), at(y)) for x, y in result.list()], reported
        return at(result), reported

    # From 3.14 a tuple's repr writes the exact ints in it without a recursion check of their own,
    # and no other item type does: there tuple keys have no stand-in in the repr-based operators.
    unmatched = {1, 2} if sys.version_info >= (3, 14) else set()
    compared = 0
    for (*where, name, kind), ints in results.items():
        decimals = results.get((*where, name, 1))
        if where[-1] in unmatched and name in ("group_by", "join"):
            continue
        if kind == 0 and decimals is not None:
            assert plain(name, *ints) == plain(name, *decimals), (*where, name)
            compared += 1
    assert compared > 100
