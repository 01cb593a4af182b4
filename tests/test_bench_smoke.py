"""The benchmark suite at tiny sizes, so that it cannot rot: every cell runs, lumo and the other
plain-Python spellings give the idiom's answer, and the reports are written. Peers not installed
here are left out by the suite itself. Nothing about time is asserted."""

import json
import subprocess
import sys
from pathlib import Path

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"
SIZES = ["30", "300"]


def test_every_cell_runs_and_agrees_with_the_idiom(tmp_path):
    results_md = tmp_path / "RESULTS.md"
    proc = subprocess.run([sys.executable, str(RUN), "--sizes", ",".join(SIZES), "--rounds", "1",
                           "--min-round", "0", "--budget", "60", "--json", "--markdown", str(results_md)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    run = json.loads(proc.stdout)
    assert len(run["cells"]) > 50
    names = [cell["name"] for cell in run["cells"]]
    assert len(set(names)) == len(names)
    for cell in run["cells"]:
        kinds = {c["kind"] for c in cell["contestants"]}
        assert {"idiom", "lumo"} <= kinds, cell["name"]
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
    text = results_md.read_text()
    assert text.startswith("# lumo benchmark results")
    for name in names:
        assert f"### {name}" in text
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
