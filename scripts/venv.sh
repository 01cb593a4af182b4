#!/usr/bin/env bash
# Usage: scripts/venv.sh PYTHON DIR [pip install args...]
# Creates (or reuses) a virtual environment of PYTHON at DIR and builds and installs lumo with its test extras.
# One pip call: pip always rebuilds a local project, so a second call would build it twice.
set -euo pipefail
py=$1 dir=$2
shift 2
# A venv made by another interpreter (another version picked, or a remade one) is made afresh.
version='import sys; print(sys.version)'
if [ "$("$dir/bin/python" -c "$version" 2>/dev/null)" != "$("$py" -c "$version")" ]; then
  rm -rf "$dir"
  "$py" -m venv "$dir"
fi
quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' || true; }
quiet "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
quiet "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" ".[test]"
[ -n "${LUMO_SANITIZE:-}" ] || "$dir/bin/python" -c "import lumo" || { echo "lumo did not install into $dir" >&2; exit 1; }
