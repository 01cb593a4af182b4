#!/usr/bin/env bash
# Usage: scripts/pick_python.sh WANTED oldest|newest
# Prints one interpreter: WANTED itself when it is a path, the CPython of that version when it is
# one such as 3.14 (setting up Debian sid's 3.14 and 3.15 first when that is what is asked for),
# and when WANTED is empty the oldest or the newest CPython >= 3.12 found. Fails, saying why, when
# there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
wanted=${1:-} which=${2:-oldest}
if [[ $wanted == */* ]]; then
  echo "$wanted"
  exit 0
fi
found=$(scripts/find_pythons.sh "$wanted" 2>/dev/null)
if [ -z "$found" ] && [ -n "$wanted" ]; then
  scripts/sid_pythons.sh --make >/dev/null
  found=$(scripts/find_pythons.sh "$wanted")
fi
[ -n "$found" ] || { echo "error: no CPython ${wanted:->= 3.12} found" >&2; exit 1; }
if [ "$which" = newest ]; then tail -n 1 <<<"$found"; else head -n 1 <<<"$found"; fi
