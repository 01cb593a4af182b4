#!/usr/bin/env bash
# Builds lumo into one virtual environment per CPython >= 3.12 found and runs the suite on each.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t pythons < <(scripts/find_pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "error: no CPython >= 3.12 found (tried pyenv versions and /usr/bin/python3.1x)" >&2
  exit 1
fi
status=0
for py in "${pythons[@]}"; do
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== CPython $version ($py)"
  LUMO_WERROR=ON scripts/venv.sh "$py" ".venv/$version"
  ".venv/$version/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=1
done
exit $status
