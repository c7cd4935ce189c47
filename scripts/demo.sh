#!/usr/bin/env bash
# The main job: a printer simulator on a virtual serial line; a small POS
# application that opens a session on it through libmoldrin.so and reads two
# status records; then a short day of sales (coupons, a cancellation, a
# non-fiscal receipt, an X reading and the Z reduction) sent through the library
# with the fiscal capture on; and the decoded capture (RFD) file of that day.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/configure.sh build
cmake --build build -j"$(nproc)" --target moldrin moldrin_tool pos_demo

work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT
line="unix:$work/line"
export MOLDRIN_ROOT="$work/root" MOLDRIN_COM1="$line"
./build/moldrin sim --listen "$line" 2>"$work/sim.log" &
sim=$!
for _ in $(seq 100); do [ -S "$work/line" ] && break; sleep 0.05; done

echo "== the application's registration (E00.BIN), for the simulated printer MS0300019"
./build/moldrin register --factory MS0300019 --cnpj 12345678000199 --ie 111222333 --im 4455 \
  --software-house "Moldrin Demo Software" --coo 1 --order 1 --name "Caixa Demo" --version 1.0 \
  --program-data "frente de loja" --model B --gate 0

echo
echo "== a POS application's session (printer simulator at 9600 bit/s on $line)"
./build/pos_demo

echo
echo "== a short day of sales through the library, the capture on (sim/scenarios/short_day.txt)"
./build/moldrin send --port 1 --script sim/scenarios/short_day.txt

echo
echo "== the day's capture file, decoded"
./build/moldrin rfd decode "$MOLDRIN_ROOT"/c/TALMA/RFD/RFD-*.bin

echo
echo "== traffic log"
./build/moldrin log --port 1 | tail -n 40
