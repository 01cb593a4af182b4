#!/usr/bin/env bash
# Usage: scripts/typecheck.sh VENV
# The type checks, against lumo as installed in VENV with its typecheck extras (the built module
# and the lumo-stubs package beside it, never the source tree): stubtest compares the stubs with
# the module's own methods and signatures; mypy --strict and pyright (strict, from basedpyright)
# check tests/typed_usage.py, which calls every method under typing.assert_type, and the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1/bin/python
status=0
echo "== stubtest"
"$py" -m mypy.stubtest lumo --mypy-config-file pyproject.toml || status=1
echo "== mypy --strict"
"$py" -m mypy --strict tests/typed_usage.py examples/demo.py || status=1
echo "== pyright ($("$1/bin/basedpyright" --version | paste -sd' '))"
"$1/bin/basedpyright" --pythonpath "$py" tests/typed_usage.py examples/demo.py || status=1
exit $status
