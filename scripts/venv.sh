#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON DIR [pip install args...]
# Creates (or reuses) a virtual environment at DIR and installs lumo with its test extras.
set -euo pipefail
py=$1 dir=$2
shift 2
[ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
"$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip 2>&1 | grep -v '^WARNING: Location' || true
"$dir/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$@" . 2>&1 | grep -v '^WARNING: Location' || true
"$dir/bin/python" -m pip install -q --disable-pip-version-check ".[test]" 2>&1 | grep -v '^WARNING: Location' || true
[ -n "${LUMO_SANITIZE:-}" ] || "$dir/bin/python" -c "import lumo" || { echo "lumo did not install into $dir" >&2; exit 1; }
