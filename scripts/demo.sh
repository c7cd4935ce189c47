#!/usr/bin/env bash
# The main job: builds what is missing, then runs a whole fiscal day on a
# simulated printer through the library (scripts/demo_day.sh says what it does).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== building (the first time takes a few minutes)"
bash scripts/configure.sh build
cmake --build build -j"$(nproc)" --target moldrin moldrin_tool pos_demo
exec bash scripts/demo_day.sh build
