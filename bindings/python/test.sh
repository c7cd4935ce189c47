#!/usr/bin/env bash
# Runs the Python binding's tests with pytest on the simulator:
#   bindings/python/test.sh MOLDRIN_TOOL LIBRARY_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../skip_if_sanitized.sh" "$2" || exit $?
python=
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null && "$candidate" -c 'import pytest' 2>/dev/null; then python=$candidate; break; fi
done
[ -n "$python" ] || { echo "no python3 with pytest (scripts/setup.sh installs python3-pytest): skipped"; exit 77; }
export PYTHONPATH="$here${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1 MOLDRIN_TOOL="$1"
bash "$here/../run_with_simulator.sh" "$1" "$2" "$python" -m pytest -q -p no:cacheprovider "$here/test_moldrin.py"
# The typed operations run with the fiscal capture on, which a process that once opened a
# session without it never gets back: a process and a printer of their own.
bash "$here/../run_with_simulator.sh" "$1" "$2" "$python" -m pytest -q -p no:cacheprovider "$here/test_typed_operations.py"
