#!/usr/bin/env bash
# Developer build: (re)installs the extension into .venv/dev with the oldest CPython >= 3.12.
set -euo pipefail
cd "$(dirname "$0")/.."
exec 9>.venv.dev.lock
flock 9
py=$(scripts/find_pythons.sh | head -n 1)
[ -x .venv/dev/bin/python ] || { "$py" -m venv .venv/dev && .venv/dev/bin/python -m pip install -q --upgrade pip && .venv/dev/bin/python -m pip install -q pytest hypothesis scikit-build-core; }
.venv/dev/bin/python -m pip install -q --no-build-isolation --no-deps . 2>&1 | tail -20
