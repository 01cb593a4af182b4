#!/usr/bin/env bash
# Usage: scripts/pick_python.sh SPEC oldest|newest
# Prints one interpreter: SPEC itself when it is a path, the CPython of that version when it is
# one such as 3.14 (setting up Debian sid's 3.14 and 3.15 first when that is what is asked for),
# and when SPEC is empty the oldest or the newest CPython >= 3.12 found. Fails, saying why, when
# there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
spec=${1:-} which=${2:-oldest}
if [[ $spec == */* ]]; then
  echo "$spec"
  exit 0
fi
found=$(scripts/find_pythons.sh "$spec" 2>/dev/null)
if [ -z "$found" ] && [ -n "$spec" ]; then
  scripts/sid_pythons.sh --make >/dev/null
  found=$(scripts/find_pythons.sh "$spec")
fi
[ -n "$found" ] || { echo "error: no CPython ${spec:->= 3.12} found" >&2; exit 1; }
if [ "$which" = newest ]; then tail -n 1 <<<"$found"; else head -n 1 <<<"$found"; fi
