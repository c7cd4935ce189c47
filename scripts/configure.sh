#!/usr/bin/env bash
# The one build configuration of the README's commands, so the demo and the tests share
# one build directory without rebuilding each other's work:
#   scripts/configure.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOLDRIN_WERROR=ON "$@" >/dev/null
