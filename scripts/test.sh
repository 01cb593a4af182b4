#!/usr/bin/env bash
# For every CPython >= 3.12 found: builds the manylinux wheel (scripts/wheel.sh), installs it with
# the test extras into a clean .venv/<version> and runs the suite there, against the installed
# module, the stubs beside it and the doctests of docs/ and README.md. On the newest interpreter
# it also runs the type checks (scripts/typecheck.sh) once.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t pythons < <(scripts/find_pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no CPython >= 3.12 found (tried pyenv versions and /usr/bin/python3.1x)" >&2
  exit 1
fi
quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' || true; }
status=0
for py in "${pythons[@]}"; do
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== CPython $version ($py)"
  wheel=$(LUMO_WERROR=ON scripts/wheel.sh "$py")
  extras=test
  [ "$py" = "${pythons[-1]}" ] && extras=test,typecheck
  venv=.venv/$version
  rm -rf "$venv"
  "$py" -m venv "$venv"
  quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[$extras]"
  # From the checkout's root, as pytest runs: the module found must be the wheel's.
  "$venv/bin/python" -c 'import lumo, sys; sys.exit(not lumo.__file__.startswith(sys.prefix + "/"))' \
    || { echo "error: lumo is not imported from $venv" >&2; exit 1; }
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=1
  if [ "$extras" = test,typecheck ]; then
    scripts/typecheck.sh "$venv" || status=1
  fi
done
exit $status
