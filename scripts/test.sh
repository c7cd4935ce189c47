#!/usr/bin/env bash
# Builds everything and runs every test: ./scripts/test.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${1:-build}
shift || true
bash scripts/configure.sh "$build" "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300
