#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON DIR [pip install args...]
# Creates (or reuses) a virtual environment at DIR and builds and installs lumo with its test extras.
# One pip call: pip always rebuilds a local project, so a second call would build it twice.
set -euo pipefail
py=$1 dir=$2
shift 2
[ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' || true; }
quiet "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
quiet "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" ".[test]"
[ -n "${LUMO_SANITIZE:-}" ] || "$dir/bin/python" -c "import lumo" || { echo "lumo did not install into $dir" >&2; exit 1; }
