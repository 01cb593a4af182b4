#!/usr/bin/env bash
# Usage: scripts/find_pythons.sh [VERSION]
# Prints every CPython >= 3.12 with a usable venv module on this machine, one path a line, oldest
# first; given a version such as 3.14, only that one. pyenv's PATH shims fail unless a version is
# selected, so its versions are tried by path; 3.14 and 3.15 come from the Debian sid root of
# scripts/sid_pythons.sh when it has been made (a note on stderr says when it has not).
set -u
dir=$(dirname "$0")
wanted=${1:-}
candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null || true)
  [ -n "$root" ] && candidates+=("$root"/versions/*/bin/python3)
fi
candidates+=("$HOME"/.pyenv/versions/*/bin/python3 /usr/bin/python3.1[2-9] /usr/local/bin/python3.1[2-9])
mapfile -t -O ${#candidates[@]} candidates < <("$dir/sid_pythons.sh")
declare -A seen=()
for c in "${candidates[@]}"; do
  [ -x "$c" ] || continue
  info=$("$c" -c 'import sys, venv, platform
ok = sys.version_info >= (3, 12) and platform.python_implementation() == "CPython"
print("%d.%d.%d" % sys.version_info[:3] if ok else "")' 2>/dev/null) || continue
  [ -n "$info" ] || continue
  [ -n "${seen[$info]:-}" ] && continue
  seen[$info]=1
  [ -z "$wanted" ] || [ "${info%.*}" = "$wanted" ] || [ "$info" = "$wanted" ] || continue
  echo "$info $c"
done | sort -V | cut -d' ' -f2
