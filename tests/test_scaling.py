"""lumo across processes, for real: sequences sent to a pool of two worker processes and to a Dask
cluster of two worker processes (loopback only) and back, and the scripts of docs/scaling.md run
as their readers run them, their output checked against the page. One pool and one cluster serve
the whole module. Where dask is not installed, its tests skip and say so."""
import operator
import os
import re
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import lumo
from lumo import LumoSeq

PAGE = Path(__file__).resolve().parents[1] / "docs" / "scaling.md"
NO_DASK = "dask[bag,distributed] is not installed here (the test-dask extra, which scripts/test.sh installs where it can)"


def page_scripts():
    """(file name, source, printed output) of each script on the page: a python block whose first
    line names its file, and the text block after it."""
    return re.findall(r"```python\n# (\w+\.py)\n(.*?)```\n[^`]*```text\n(.*?)```", PAGE.read_text(), re.S)


def in_worker(seq):
    """What a worker makes of a sequence it was sent: its process id and two new sequences."""
    return os.getpid(), seq.select(lambda x: x * 2), seq.skip(1)


def kept_by_lumo(partition):
    return lumo.LumoSeq(list(partition)).where(lambda x: x % 3 != 0).list()


def shown(s):
    """A sequence's items and the items after its cursor."""
    return s.list(), s.take(2**64 - 1)[0].list()


SENT = LumoSeq(list(range(60)) + ["x", (1, None), [2.5]]).skip(3)
PIECES = SENT.chunk(25).list() + [SENT, SENT.take(5)[1]]


def check_came_back(results):
    assert os.getpid() not in {pid for pid, _, _ in results}
    for piece, (_, doubled, skipped) in zip(PIECES, results, strict=True):
        _, local_doubled, local_skipped = in_worker(piece)
        assert type(doubled) is type(skipped) is LumoSeq
        assert (shown(doubled), shown(skipped)) == (shown(local_doubled), shown(local_skipped))
    merged = LumoSeq([doubled for _, doubled, _ in results[:3]]).aggregate(LumoSeq.concat)
    assert merged.list() == SENT.select(lambda x: x * 2).list()


@pytest.fixture(scope="module")
def pool():
    with ProcessPoolExecutor(max_workers=2) as executor:
        yield executor


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed", reason=NO_DASK)
    pytest.importorskip("dask.bag", reason=NO_DASK)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0",
                                  host="127.0.0.1") as cluster, distributed.Client(cluster) as dask_client:
        yield dask_client


def test_sequences_go_to_a_process_pool_and_come_back(pool):
    check_came_back(list(pool.map(in_worker, PIECES)))


def test_sequences_go_to_dask_workers_and_come_back(client):
    check_came_back(client.gather(client.map(in_worker, PIECES)))


def test_dask_bag_of_sequences_and_partitions_processed_by_lumo(client):
    import dask.bag as db

    check_came_back(db.from_sequence(PIECES, npartitions=3).map(in_worker).compute())
    numbers = db.from_sequence(range(1000), npartitions=4)
    totals = numbers.map_partitions(kept_by_lumo).foldby(lambda x: x % 5, operator.add, 0, operator.add, 0)
    expected = {k: sum(x for x in range(1000) if x % 3 != 0 and x % 5 == k) for k in range(5)}
    assert dict(totals.compute()) == expected


def test_the_page_has_its_two_scripts():
    assert [name for name, _, _ in page_scripts()] == ["pool_example.py", "dask_example.py"]


@pytest.mark.parametrize("name, source, printed", page_scripts(), ids=[name for name, _, _ in page_scripts()])
def test_page_scripts_print_what_the_page_says(name, source, printed, tmp_path):
    if "import dask" in source:
        pytest.importorskip("distributed", reason=NO_DASK)
    script = tmp_path / name
    script.write_text(source)
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == printed
