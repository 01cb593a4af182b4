#!/usr/bin/env bash
# Line and branch coverage of the C++ sources over the whole suite: a gcov-instrumented build in
# .venv/coverage (objects kept in build/coverage so the .gcno/.gcda files survive), then gcovr.
# Fails when line coverage drops below LUMO_MIN_LINE_COVERAGE (default 95).
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find_pythons.sh | head -n 1)
[ -n "$py" ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
build=build/coverage
LUMO_COVERAGE=ON LUMO_WERROR=ON scripts/venv.sh "$py" .venv/coverage \
  --config-settings=build-dir="$build"
.venv/coverage/bin/python -m pip install -q --disable-pip-version-check 'gcovr==8.3' 2>&1 | grep -v '^WARNING: Location' || true
find "$build" -name '*.gcda' -delete
LUMO_COVERAGE_RUN=1 .venv/coverage/bin/python -m pytest -q -p no:cacheprovider "$@"
.venv/coverage/bin/gcovr --root . --filter 'src/' --object-directory "$build" \
  --txt-metric branch --print-summary --exclude-throw-branches --exclude-unreachable-branches \
  --fail-under-line "${LUMO_MIN_LINE_COVERAGE:-95}" --txt - "$build" 
