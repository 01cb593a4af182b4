#!/usr/bin/env bash
# Runs the whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find_pythons.sh | head -n 1)
[ -n "$py" ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
LUMO_SANITIZE=ON LUMO_WERROR=ON scripts/venv.sh "$py" .venv/asan
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc LUMO_SANITIZED=1
exec .venv/asan/bin/python -m pytest -q -p no:cacheprovider "$@"
