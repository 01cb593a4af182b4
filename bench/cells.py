"""The workloads: for each operator and kind of data, the plain-Python idiom, lumo and the peers.

The idiom is the spelling a Python programmer writes for the same answer. Most cells give it the
same callbacks as lumo (a sort key, a grouping key in a helper loop), so the ratio measures the
operator and not the lambda. The cells marked `inline` ask what lumo's field or arithmetic lambdas
cost against what a programmer writes for the same expression: inline in a comprehension or loop
(a projection, a filter, a sum, a dict), or as the key of `sorted` and `max`; where the idiom
calls nothing, the ratio includes lumo's calls. Each peer appears only where it has the operator,
in its own natural spelling; lazy results are forced with the peer's own list call, since lumo's
result is a finished sequence.

lumo runs twice in each cell. "lumo whole" is the query as a user writes it, from the list the
idiom gets to the idiom's kind of answer: `LumoSeq(a).op(...).list()`, or the scalar. "lumo
prebuilt" is the operator alone, on a `LumoSeq` built beforehand, its result left a sequence.
"""
import heapq
import pickle
from collections import defaultdict
from dataclasses import dataclass, field
from itertools import chain, islice
from typing import Callable

from data import KINDS
from lumo import LumoSeq


@dataclass
class Way:
    """One contestant of a cell: how it computes the answer, and how its answer is read back."""
    name: str
    kind: str                      # "idiom", "alt" (another plain-Python spelling), "lumo", "peer"
    run: Callable                  # run(d) -> result; d is the cell's data at one size
    norm: Callable | None = None   # norm(result, d): this contestant's answer in the shape of the others


WHOLE = "lumo whole"          # from the idiom's list to the idiom's kind of answer
PREBUILT = "lumo prebuilt"    # the operator on a LumoSeq built beforehand


@dataclass
class Cell:
    group: str
    op: str
    data: str                      # label of the data shown to the reader
    kind: str                      # key of the data in data.Data
    idiom: str                     # the idiom's spelling, shown in the reports
    ways: list = field(default_factory=list)
    norm: Callable | None = None   # norm(answer, d) -> comparable; default: materialize
    compare: str = "same"          # "same": same items in the same order; "approx": floats
    inline: bool = False           # the idiom writes lumo's expression as a programmer does (see above)
    note: str = ""

    @property
    def name(self):
        return f"{self.op} · {self.data}"


# Reading answers back. Run outside the clock; only the check uses them.

def materialize(result):
    """A LumoSeq as its list, an iterator or a dict view as a list; anything else as it is."""
    if isinstance(result, LumoSeq):
        return result.list()
    if hasattr(result, "__next__") or type(result).__name__.startswith("dict_"):
        return list(result)
    return result


def frozen_records(items, d):
    """Records as tuples of their items: the idiom deduplicates those, since dicts do not hash."""
    return [tuple(x.items()) if isinstance(x, dict) else x for x in materialize(items)]


def as_groups(result, d):
    """Groups as {key: [items of each group with that key]}: group order is free, item order not.

    A key that comes back in two groups gives a list of two lists, so a split group is wrong.
    """
    pairs = result.items() if isinstance(result, dict) else materialize(result)
    groups = {}
    for pair in pairs:
        if hasattr(pair, "key"):          # asq's Grouping is itself the group's items
            key, items = pair.key, pair
        else:
            key, items = pair
        groups.setdefault(key, []).append(materialize(items) if isinstance(items, LumoSeq) else list(items))
    return groups


def as_chunks(result, d):
    return [materialize(c) if isinstance(c, LumoSeq) else list(c) for c in materialize(result)]


def items_after_cursor(result, d):
    """What is left to walk: a LumoSeq's items after its cursor, or `a` after an int index."""
    if isinstance(result, LumoSeq):
        return result.take(result.len())[0].list()
    return d.a[result:]


def swap_pairs(result, d):
    return [(outer, inner) for inner, outer in result]


def kv_values(result, d):
    return [value for _, value in result]


# The idioms that take more than an expression.

def group_lists(a, key):
    groups = defaultdict(list)
    for x in a:
        groups[key(x)].append(x)
    return groups


def join_index(outer, inner, outer_key, inner_key):
    index = defaultdict(list)
    for y in inner:
        index[inner_key(y)].append(y)
    return [(x, y) for x in outer for y in index.get(outer_key(x), ())]


def group_by_kind(a):
    groups = defaultdict(list)
    for r in a:
        groups[r["kind"]].append(r)
    return groups


def first_by_key(items, key):
    first = {}
    for x in items:
        first.setdefault(key(x), x)
    return list(first.values())


def first_by_key_if(items, key, keys, wanted):
    """First item of each key that is (wanted=True) or is not (False) among `keys`."""
    first = {}
    for x in items:
        k = key(x)
        if (k in keys) is wanted and k not in first:
            first[k] = x
    return list(first.values())


def frozen(record):
    return tuple(record.items())


def slice_walk(a, k):
    return [a[i:i + k] for i in range(0, len(a), k)]


def islice_walk(a, k):
    it, out = iter(a), []
    while taken := list(islice(it, k)):
        out.append(taken)
    return out


def take_walk(s, k):
    out = []
    while True:
        taken, s = s.take(k)
        if taken.empty():
            return out
        out.append(taken.list())


# The callbacks, one set for all contestants.
double = lambda x: x * 2
score = lambda r: r["score"]
name = lambda r: r["name"]
rid = lambda r: r["id"]
third = lambda x: x % 3 == 0
low = lambda r: r["score"] < 0.5
rkind = lambda r: r["kind"]
neg_score = lambda r: -r["score"]
id_name = lambda r: (r["id"], r["name"])
score_attr = lambda r: r.score
low_attr = lambda r: r.score < 0.5
same = lambda x: x
neg = lambda x: -x
upper = lambda s: s.upper()
mod1000 = lambda x: x % 1000
mod10 = lambda x: x % 10
head2 = lambda s: s[:2]
head1 = lambda s: s[0]


def build(peers):
    """Returns the list of cells; `peers` maps the names of the peers present to their modules."""
    iu = peers.get("iteration_utilities")
    cytoolz = peers.get("cytoolz")
    toolz = peers.get("toolz")
    mi = peers.get("more_itertools")
    functional = peers.get("PyFunctional")
    asq = peers.get("asq")
    seq = functional.seq if functional else None
    query = asq.initiators.query if asq else None
    It = iu.Iterable if iu else None
    cells = []

    def cell(group, op, data, kind, idiom, idiom_run, whole, lumo, others=(), alts=(), **kw):
        """Adds a cell; `others` holds (peer name, run[, norm]), kept only for peers present.

        `whole` is lumo spelled whole, `lumo` the operator on the prebuilt `d.s`; a cell without a
        whole spelling (None) says why in its note.
        """
        ways = [Way("idiom", "idiom", idiom_run)]
        ways += [Way(label, "alt", run) for label, run in alts]
        if whole:
            ways.append(Way(WHOLE, "lumo", whole))
        ways.append(Way(PREBUILT, "lumo", lumo))
        for peer, run, *norm in others:
            if peer in peers:
                ways.append(Way(peer, "peer", run, norm[0] if norm else None))
        cells.append(Cell(group, op, data, kind, idiom, ways, **kw))

    # Projection and construction.
    g = "projection"
    # A Python programmer writes these as a comprehension with the expression inline; map and
    # filter with lumo's own lambda stay as another row, where the cost of calling it shows.
    for data, kind, f, idiom, idiom_run in (
            ("ints", "ints", double, "[x * 2 for x in a]", lambda d: [x * 2 for x in d.a]),
            ("records", "records", score, "[r['score'] for r in a]", lambda d: [r["score"] for r in d.a]),
            ("dataclass instances", "objects", score_attr, "[r.score for r in a]", lambda d: [r.score for r in d.a])):
        cell(g, "select", data, kind, idiom, idiom_run,
             lambda d, f=f: LumoSeq(d.a).select(f).list(), lambda d, f=f: d.s.select(f), [
                 ("iteration_utilities", lambda d, f=f: It(d.a).map(f).as_list()),
                 ("PyFunctional", lambda d, f=f: seq(d.a).map(f).to_list()),
                 ("asq", lambda d, f=f: query(d.a).select(f).to_list())],
             alts=[("list(map(f, a))", lambda d, f=f: list(map(f, d.a)))], inline=True)
    for data, kind, p, idiom, idiom_run in (
            ("ints", "ints", third, "[x for x in a if x % 3 == 0]", lambda d: [x for x in d.a if x % 3 == 0]),
            ("records", "records", low, "[r for r in a if r['score'] < 0.5]",
             lambda d: [r for r in d.a if r["score"] < 0.5]),
            ("dataclass instances", "objects", low_attr, "[r for r in a if r.score < 0.5]",
             lambda d: [r for r in d.a if r.score < 0.5])):
        cell(g, "where", data, kind, idiom, idiom_run,
             lambda d, p=p: LumoSeq(d.a).where(p).list(), lambda d, p=p: d.s.where(p), [
                 ("iteration_utilities", lambda d, p=p: It(d.a).filter(p).as_list()),
                 ("PyFunctional", lambda d, p=p: seq(d.a).filter(p).to_list()),
                 ("asq", lambda d, p=p: query(d.a).where(p).to_list())],
             alts=[("list(filter(p, a))", lambda d, p=p: list(filter(p, d.a)))], inline=True)
    # Ids repeat in the records: the last value of a key wins in both spellings.
    cell(g, "to_dict", "records, id → name", "records", "{r['id']: r['name'] for r in a}",
         lambda d: {r["id"]: r["name"] for r in d.a},
         lambda d: LumoSeq(d.a).to_dict(rid, name), lambda d: d.s.to_dict(rid, name), [
             ("PyFunctional", lambda d: seq(d.a).map(id_name).to_dict()),
             ("asq", lambda d: query(d.a).to_dictionary(rid, name))], inline=True)
    cell(g, "zip", "ints", "ints", "list(zip(a, b))", lambda d: list(zip(d.a, d.b)),
         lambda d: LumoSeq(d.a).zip(d.b).list(), lambda d: d.s.zip(d.b), [
             ("PyFunctional", lambda d: seq(d.a).zip(d.b).to_list()),
             ("asq", lambda d: query(d.a).zip(d.b).to_list())])
    cell(g, "enumerate", "ints", "ints", "list(enumerate(a))", lambda d: list(enumerate(d.a)),
         lambda d: LumoSeq(d.a).enumerate().list(), lambda d: d.s.enumerate(), [
             ("iteration_utilities", lambda d: It(d.a).enumerate().as_list()),
             ("PyFunctional", lambda d: seq(d.a).enumerate().to_list()),
             ("asq", lambda d: query(d.a).select_with_index(lambda i, x: (i, x)).to_list())])
    cell(g, "rev", "ints", "ints", "a[::-1]", lambda d: d.a[::-1],
         lambda d: LumoSeq(d.a).rev().list(), lambda d: d.s.rev(), [
        ("iteration_utilities", lambda d: It(d.a).reversed().as_list()),
        ("PyFunctional", lambda d: seq(d.a).reverse().to_list()),
        ("asq", lambda d: query(d.a).reverse().to_list())])
    cell(g, "LumoSeq(a).list()", "ints", "ints", "a.copy()", lambda d: d.a.copy(),
         lambda d: LumoSeq(d.a).list(), lambda d: LumoSeq(d.a).list(), [
             ("iteration_utilities", lambda d: It(d.a).as_list()),
             ("PyFunctional", lambda d: seq(d.a).to_list()),
             ("asq", lambda d: query(d.a).to_list())],
         note="building the sequence is this cell's operator: both lumo rows time the same spelling")

    # Numeric aggregates and key extremes. lumo sums doubles, so sums compare as floats.
    g = "aggregates"
    for data in ("ints", "floats"):
        cell(g, "sum", data, data, "sum(a)", lambda d: sum(d.a),
             lambda d: LumoSeq(d.a).sum(), lambda d: d.s.sum(), [
            ("iteration_utilities", lambda d: It(d.a).get_sum()),
            ("PyFunctional", lambda d: seq(d.a).sum()),
            ("asq", lambda d: query(d.a).sum())], compare="approx")
    cell(g, "average", "ints", "ints", "sum(a) / len(a)", lambda d: sum(d.a) / len(d.a),
         lambda d: LumoSeq(d.a).average(), lambda d: d.s.average(), [
             ("iteration_utilities", lambda d: It(d.a).get_fmean()),
             ("PyFunctional", lambda d: seq(d.a).average()),
             ("asq", lambda d: query(d.a).average())], compare="approx")
    for data, kind, k in (("ints, key -x", "ints", neg), ("records by score", "records", score)):
        cell(g, "min_by", data, kind, "min(a, key=k)", lambda d, k=k: min(d.a, key=k),
             lambda d, k=k: LumoSeq(d.a).min_by(k), lambda d, k=k: d.s.min_by(k), [
                 ("iteration_utilities", lambda d, k=k: It(d.a).get_min(key=k)),
                 ("PyFunctional", lambda d, k=k: seq(d.a).min_by(k))])
    cell(g, "max_by", "records by score", "records", "max(a, key=lambda r: r['score'])",
         lambda d: max(d.a, key=lambda r: r["score"]),
         lambda d: LumoSeq(d.a).max_by(score), lambda d: d.s.max_by(score), [
             ("iteration_utilities", lambda d: It(d.a).get_max(key=score)),
             ("PyFunctional", lambda d: seq(d.a).max_by(score))], inline=True)
    cell(g, "select(f).sum()", "records, f = r['score']", "records", "sum(r['score'] for r in a)",
         lambda d: sum(r["score"] for r in d.a),
         lambda d: LumoSeq(d.a).select(score).sum(), lambda d: d.s.select(score).sum(), [
             ("iteration_utilities", lambda d: It(d.a).map(score).get_sum()),
             ("PyFunctional", lambda d: seq(d.a).map(score).sum()),
             ("asq", lambda d: query(d.a).sum(score))],
         alts=[("sum(map(f, a))", lambda d: sum(map(score, d.a)))], compare="approx", inline=True)

    # Ordering: the key function is the identity (or a field), called once per item by all.
    g = "ordering"
    for data, kind, k in (("ints", "ints", same), ("floats", "floats", same), ("strs", "strs", same),
                          ("(int, str) tuples", "tuples", same), ("sorted ints", "sorted_ints", same),
                          ("reversed ints", "reversed_ints", same), ("records by score", "records", score)):
        cell(g, "order_by", data, kind, "sorted(a, key=k), k = " + _key_text(k),
             lambda d, k=k: sorted(d.a, key=k),
             lambda d, k=k: LumoSeq(d.a).order_by(k).list(), lambda d, k=k: d.s.order_by(k), [
                 ("iteration_utilities", lambda d, k=k: It(d.a).get_sorted(key=k)),
                 ("PyFunctional", lambda d, k=k: seq(d.a).order_by(k).to_list()),
                 ("asq", lambda d, k=k: query(d.a).order_by(k).to_list())])
    cell(g, "order_by", "records by -score", "records", "sorted(a, key=lambda r: -r['score'])",
         lambda d: sorted(d.a, key=lambda r: -r["score"]),
         lambda d: LumoSeq(d.a).order_by(neg_score).list(), lambda d: d.s.order_by(neg_score), [
             ("iteration_utilities", lambda d: It(d.a).get_sorted(key=neg_score)),
             ("PyFunctional", lambda d: seq(d.a).order_by(neg_score).to_list()),
             ("asq", lambda d: query(d.a).order_by(neg_score).to_list())], inline=True)
    for data, kind, k in (("ints", "ints", same), ("records by score", "records", score)):
        cell(g, "order_by(k).take(10)", data, kind,
             "sorted(a, key=k)[:10], k = " + _key_text(k),
             lambda d, k=k: sorted(d.a, key=k)[:10],
             lambda d, k=k: LumoSeq(d.a).order_by(k).take(10)[0].list(),
             lambda d, k=k: d.s.order_by(k).take(10)[0], [
                 ("iteration_utilities", lambda d, k=k: It(d.a).get_nsmallest(10, key=k)),
                 ("PyFunctional", lambda d, k=k: seq(d.a).order_by(k).take(10).to_list()),
                 ("asq", lambda d, k=k: query(d.a).order_by(k).take(10).to_list())],
             alts=[("heapq.nsmallest", lambda d, k=k: heapq.nsmallest(10, d.a, key=k))])

    # Grouping and join. lumo's groups come in no promised order, so group order is free.
    g = "grouping and join"
    for data, kind, k in (("ints, 1000 int keys", "ints", mod1000), ("ints, 10 int keys", "ints", mod10),
                          ("strs, 676 str keys", "strs", head2), ("strs, 26 str keys", "strs", head1)):
        cell(g, "group_by", data, kind, "a defaultdict(list) filled in one loop", lambda d, k=k: group_lists(d.a, k),
             lambda d, k=k: LumoSeq(d.a).group_by(k).list(), lambda d, k=k: d.s.group_by(k), [
                 ("iteration_utilities", lambda d, k=k: iu.groupedby(d.a, k)),
                 ("cytoolz", lambda d, k=k: cytoolz.groupby(k, d.a)),
                 ("toolz", lambda d, k=k: toolz.groupby(k, d.a)),
                 ("more_itertools", lambda d, k=k: mi.map_reduce(d.a, k)),
                 ("PyFunctional", lambda d, k=k: seq(d.a).group_by(k).to_list()),
                 ("asq", lambda d, k=k: query(d.a).group_by(k).to_list())], norm=as_groups)
    cell(g, "group_by", f"records, {KINDS} str keys", "records",
         "a defaultdict(list) filled in one loop: groups[r['kind']].append(r)",
         lambda d: group_by_kind(d.a), lambda d: LumoSeq(d.a).group_by(rkind).list(), lambda d: d.s.group_by(rkind), [
             ("iteration_utilities", lambda d: iu.groupedby(d.a, rkind)),
             ("cytoolz", lambda d: cytoolz.groupby(rkind, d.a)),
             ("toolz", lambda d: toolz.groupby(rkind, d.a)),
             ("more_itertools", lambda d: mi.map_reduce(d.a, rkind)),
             ("PyFunctional", lambda d: seq(d.a).group_by(rkind).to_list()),
             ("asq", lambda d: query(d.a).group_by(rkind).to_list())], norm=as_groups, inline=True)
    for data, inner, outer_key, ik, note in (
            ("records × n/100, int key", "inner_ids", lambda d: d.id_mod_m, rid,
             "every outer record matches one inner record, by id % (n/100)"),
            ("records × n/100, str key", "inner_names", lambda d: name, name,
             "a few percent of the outer records match, by name")):
        cell(g, "join", data, "records", "a dict-of-lists index of the inner records, probed per outer record",
             lambda d, i=inner, o=outer_key, ik=ik: join_index(d.a, getattr(d, i), o(d), ik),
             lambda d, i=inner, o=outer_key, ik=ik: LumoSeq(d.a).join(getattr(d, i), o(d), ik).list(),
             lambda d, i=inner, o=outer_key, ik=ik: d.s.join(getattr(d, i), o(d), ik), [
                 ("cytoolz", lambda d, i=inner, o=outer_key, ik=ik:
                     list(cytoolz.join(ik, getattr(d, i), o(d), d.a)), swap_pairs),
                 ("toolz", lambda d, i=inner, o=outer_key, ik=ik:
                     list(toolz.join(ik, getattr(d, i), o(d), d.a)), swap_pairs),
                 ("PyFunctional", lambda d, i=inner, o=outer_key, ik=ik:
                     seq(d.a).map(lambda x, k=o(d): (k(x), x)).join(
                         seq(getattr(d, i)).map(lambda y: (ik(y), y))).to_list(), kv_values),
                 ("asq", lambda d, i=inner, o=outer_key, ik=ik:
                     query(d.a).join(getattr(d, i), o(d), ik, lambda x, y: (x, y)).to_list())],
             note=note)

    # Set operators, whole elements and by key. Records are dicts: the idiom keys them by their
    # items, and answers are compared as such.
    g = "set operators"
    for data, k, kt in (("ints", neg, "-x"), ("strs", upper, "s.upper()"), ("records", rid, "r['id']")):
        rec = data == "records"
        fz = frozen_records if rec else None
        if rec:
            cell(g, "distinct", data, data, "list(dict.fromkeys(frozen(r) for r in a))",
                 lambda d: list(dict.fromkeys(map(frozen, d.a))), lambda d: LumoSeq(d.a).distinct().list(),
                 lambda d: d.s.distinct(),
                 _distinct_peers(iu, cytoolz, toolz, mi, seq, query), norm=fz)
            cell(g, "union", data, data, "list(dict.fromkeys(frozen(r) for r in chain(a, b)))",
                 lambda d: list(dict.fromkeys(map(frozen, chain(d.a, d.b)))),
                 lambda d: LumoSeq(d.a).union(d.b).list(), lambda d: d.s.union(d.b),
                 _union_peers(iu, cytoolz, toolz, mi, seq, query), norm=fz)
            cell(g, "intersect", data, data, "keep = set of frozen(b); fromkeys(frozen a) if in keep",
                 lambda d: _frozen_filter(d, True), lambda d: LumoSeq(d.a).intersect(d.b).list(),
                 lambda d: d.s.intersect(d.b), [
                     ("PyFunctional", lambda d: seq(d.a).intersection(d.b).to_list()),
                     ("asq", lambda d: query(d.a).intersect(d.b).to_list())], norm=fz)
            cell(g, "differ", data, data, "drop = set of frozen(b); fromkeys(frozen a) if not in drop",
                 lambda d: _frozen_filter(d, False), lambda d: LumoSeq(d.a).differ(d.b).list(),
                 lambda d: d.s.differ(d.b), [
                     ("PyFunctional", lambda d: seq(d.a).difference(d.b).to_list()),
                     ("asq", lambda d: query(d.a).difference(d.b).to_list())], norm=fz)
        else:
            cell(g, "distinct", data, data, "list(dict.fromkeys(a))", lambda d: list(dict.fromkeys(d.a)),
                 lambda d: LumoSeq(d.a).distinct().list(), lambda d: d.s.distinct(),
                 _distinct_peers(iu, cytoolz, toolz, mi, seq, query))
            cell(g, "union", data, data, "list(dict.fromkeys(chain(a, b)))",
                 lambda d: list(dict.fromkeys(chain(d.a, d.b))), lambda d: LumoSeq(d.a).union(d.b).list(),
                 lambda d: d.s.union(d.b),
                 _union_peers(iu, cytoolz, toolz, mi, seq, query))
            cell(g, "intersect", data, data, "[x for x in dict.fromkeys(a) if x in set(b)]",
                 lambda d: (lambda keep: [x for x in dict.fromkeys(d.a) if x in keep])(set(d.b)),
                 lambda d: LumoSeq(d.a).intersect(d.b).list(), lambda d: d.s.intersect(d.b), [
                     ("PyFunctional", lambda d: seq(d.a).intersection(d.b).to_list()),
                     ("asq", lambda d: query(d.a).intersect(d.b).to_list())])
            cell(g, "differ", data, data, "[x for x in dict.fromkeys(a) if x not in set(b)]",
                 lambda d: (lambda drop: [x for x in dict.fromkeys(d.a) if x not in drop])(set(d.b)),
                 lambda d: LumoSeq(d.a).differ(d.b).list(), lambda d: d.s.differ(d.b), [
                     ("PyFunctional", lambda d: seq(d.a).difference(d.b).to_list()),
                     ("asq", lambda d: query(d.a).difference(d.b).to_list())])
        by = f"{data}, key {kt}"
        cell(g, "distinct_by", by, data, "first item per key: dict.setdefault(k(x), x)",
             lambda d, k=k: first_by_key(d.a, k), lambda d, k=k: LumoSeq(d.a).distinct_by(k).list(),
             lambda d, k=k: d.s.distinct_by(k), [
                 ("iteration_utilities", lambda d, k=k: list(iu.unique_everseen(d.a, key=k))),
                 ("cytoolz", lambda d, k=k: list(cytoolz.unique(d.a, key=k))),
                 ("toolz", lambda d, k=k: list(toolz.unique(d.a, key=k))),
                 ("more_itertools", lambda d, k=k: list(mi.unique_everseen(d.a, key=k))),
                 ("PyFunctional", lambda d, k=k: seq(d.a).distinct_by(k).to_list()),
                 ("asq", lambda d, k=k: query(d.a).distinct(k).to_list())])
        cell(g, "union_by", by, data, "first item per key over chain(a, b)",
             lambda d, k=k: first_by_key(chain(d.a, d.b), k), lambda d, k=k: LumoSeq(d.a).union_by(d.b, k).list(),
             lambda d, k=k: d.s.union_by(d.b, k), [
                 ("iteration_utilities", lambda d, k=k: list(iu.unique_everseen(chain(d.a, d.b), key=k))),
                 ("cytoolz", lambda d, k=k: list(cytoolz.unique(chain(d.a, d.b), key=k))),
                 ("toolz", lambda d, k=k: list(toolz.unique(chain(d.a, d.b), key=k))),
                 ("more_itertools", lambda d, k=k: list(mi.unique_everseen(chain(d.a, d.b), key=k))),
                 ("asq", lambda d, k=k: query(d.a).union(d.b, k).to_list())])
        cell(g, "intersect_by", by, data, "first item per key among {k(y) for y in b}",
             lambda d, k=k: first_by_key_if(d.a, k, {k(y) for y in d.b}, True),
             lambda d, k=k: LumoSeq(d.a).intersect_by(d.b, k).list(), lambda d, k=k: d.s.intersect_by(d.b, k), [
                 ("asq", lambda d, k=k: query(d.a).intersect(d.b, k).to_list())])
        cell(g, "except_by", by, data, "first item per key not among {k(y) for y in b}",
             lambda d, k=k: first_by_key_if(d.a, k, {k(y) for y in d.b}, False),
             lambda d, k=k: LumoSeq(d.a).except_by(d.b, k).list(), lambda d, k=k: d.s.except_by(d.b, k), [
                 ("asq", lambda d, k=k: query(d.a).difference(d.b, k).to_list())])

    # The cursor walk and reshaping.
    g = "cursor and reshaping"
    cell(g, "take(100) walk", "ints", "cursor", "[a[i:i + 100] for i in range(0, n, 100)]",
         lambda d: slice_walk(d.a, 100), lambda d: take_walk(LumoSeq(d.a), 100), lambda d: take_walk(d.s, 100),
         alts=[("islice walk", lambda d: islice_walk(d.a, 100))],
         note="lumo: taken, s = s.take(100) until taken.empty(), taken.list() each step")
    cell(g, "skip(1)", "ints", "cursor", "i + 1 (a Python cursor is an int index)",
         lambda d: d.pos + 1, None, lambda d: d.s.skip(1), norm=items_after_cursor,
         note="the result shares its receiver's storage, so skip makes one object; the idiom moves an index. "
              "A step of a walk already under way has no whole spelling")
    cell(g, "restart()", "ints, cursor at n/2", "cursor", "i = 0",
         lambda d: 0, None, lambda d: d.half.restart(), norm=items_after_cursor,
         note="as skip(1): one object sharing the storage, against setting an index; no whole spelling")
    cell(g, "chunk(100) + list() each", "ints", "ints", "[a[i:i + 100] for i in range(0, n, 100)]",
         lambda d: slice_walk(d.a, 100), lambda d: [c.list() for c in LumoSeq(d.a).chunk(100).list()],
         lambda d: [c.list() for c in d.s.chunk(100).list()], [
             ("iteration_utilities", lambda d: list(iu.grouper(d.a, 100))),
             ("cytoolz", lambda d: list(cytoolz.partition_all(100, d.a))),
             ("toolz", lambda d: list(toolz.partition_all(100, d.a))),
             ("more_itertools", lambda d: list(mi.chunked(d.a, 100))),
             ("PyFunctional", lambda d: seq(d.a).grouped(100).to_list())], norm=as_chunks)
    cell(g, "flatten", "n/10 lists of 10 ints", "lists", "list(chain.from_iterable(a))",
         lambda d: list(chain.from_iterable(d.a)), lambda d: LumoSeq(d.a).flatten().list(),
         lambda d: d.s.flatten(), [
             ("iteration_utilities", lambda d: list(iu.flatten(d.a))),
             ("cytoolz", lambda d: list(cytoolz.concat(d.a))),
             ("toolz", lambda d: list(toolz.concat(d.a))),
             ("more_itertools", lambda d: list(mi.flatten(d.a))),
             ("PyFunctional", lambda d: seq(d.a).flatten().to_list()),
             ("asq", lambda d: query(d.a).select_many().to_list())])

    # Pickling: what a sequence costs on its way to another process and back, next to its list.
    for data in ("ints", "records"):
        cell("pickling", "pickle.dumps + loads", data, data,
             "pickle.loads(pickle.dumps(a, pickle.HIGHEST_PROTOCOL))",
             lambda d: pickle.loads(pickle.dumps(d.a, pickle.HIGHEST_PROTOCOL)),
             None, lambda d: pickle.loads(pickle.dumps(d.s, pickle.HIGHEST_PROTOCOL)),
             note="a pool's argument or result makes this trip; the sequence pickles as a list of its items "
                  "(no whole spelling: the trip starts from a sequence)")

    # A pipeline as users write one; in plain Python, one sorted() over a generator.
    cell("pipeline", "where → select → order_by → take(10)", "records", "records",
         "sorted(r['name'] for r in a if r['score'] < 0.5)[:10]",
         lambda d: sorted(r["name"] for r in d.a if r["score"] < 0.5)[:10],
         lambda d: LumoSeq(d.a).where(low).select(name).order_by(same).take(10)[0].list(),
         lambda d: d.s.where(low).select(name).order_by(same).take(10)[0], [
             ("iteration_utilities", lambda d: It(d.a).filter(low).map(name).get_sorted(key=same)[:10]),
             ("PyFunctional", lambda d: seq(d.a).filter(low).map(name).order_by(same).take(10).to_list()),
             ("asq", lambda d: query(d.a).where(low).select(name).order_by(same).take(10).to_list())],
         alts=[("sorted(map(f, filter(p, a)))", lambda d: sorted(map(name, filter(low, d.a)))[:10]),
               ("heapq.nsmallest", lambda d: heapq.nsmallest(10, (r["name"] for r in d.a if r["score"] < 0.5)))],
         inline=True)
    return cells


def _key_text(k):
    return "identity" if k is same else "r['score']"


def _frozen_filter(d, wanted):
    keys = set(map(frozen, d.b))
    return [t for t in dict.fromkeys(map(frozen, d.a)) if (t in keys) is wanted]


def _distinct_peers(iu, cytoolz, toolz, mi, seq, query):
    return [("iteration_utilities", lambda d: list(iu.unique_everseen(d.a))),
            ("cytoolz", lambda d: list(cytoolz.unique(d.a))),
            ("toolz", lambda d: list(toolz.unique(d.a))),
            ("more_itertools", lambda d: list(mi.unique_everseen(d.a))),
            ("PyFunctional", lambda d: seq(d.a).distinct().to_list()),
            ("asq", lambda d: query(d.a).distinct().to_list())]


def _union_peers(iu, cytoolz, toolz, mi, seq, query):
    """The peers without a union spell it as deduplication over the chained inputs."""
    return [("iteration_utilities", lambda d: list(iu.unique_everseen(chain(d.a, d.b)))),
            ("cytoolz", lambda d: list(cytoolz.unique(chain(d.a, d.b)))),
            ("toolz", lambda d: list(toolz.unique(chain(d.a, d.b)))),
            ("more_itertools", lambda d: list(mi.unique_everseen(chain(d.a, d.b)))),
            ("PyFunctional", lambda d: seq(d.a).union(d.b).to_list()),
            ("asq", lambda d: query(d.a).union(d.b).to_list())]
