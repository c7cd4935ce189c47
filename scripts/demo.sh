#!/usr/bin/env bash
# The main job: a printer simulator on a virtual serial line, a small POS
# application that opens a session on it through libmoldrin.so, reads two
# status records and closes, and the traffic log that the session left.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/configure.sh build
cmake --build build -j"$(nproc)" --target moldrin moldrin_tool pos_demo

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
line="unix:$work/line"
./build/moldrin sim --listen "$line" --speed 38400 &
sim=$!
for _ in $(seq 100); do [ -S "$work/line" ] && break; sleep 0.05; done

echo "== session (printer simulator at 38400 bit/s on $line)"
MOLDRIN_COM1="$line" MOLDRIN_ROOT="$work/root" ./build/pos_demo

echo
echo "== traffic log"
MOLDRIN_ROOT="$work/root" ./build/moldrin log --port 1
