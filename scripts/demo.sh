#!/usr/bin/env bash
# Builds lumo into a virtual environment with the newest CPython >= 3.12 and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find_pythons.sh | tail -n 1)
[ -n "$py" ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
scripts/venv.sh "$py" .venv/demo >&2
exec .venv/demo/bin/python "${1:-examples/demo.py}"
