#!/usr/bin/env bash
# A whole fiscal day on a simulated printer, through the library, with the
# fiscal capture on: scripts/demo_day.sh [BIN_DIR]   (default build/)
# BIN_DIR holds moldrin and pos_demo; the signing key RSA.BIN is looked for
# beside them and made there when missing. Everything the day leaves (capture
# file, registration, traffic log, the signed fiscal file) stays under
# $MOLDRIN_ROOT, a fresh folder unless the caller sets one.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(cd "${1:-build}" && pwd)
moldrin="$bin/moldrin"
if [ -z "${MOLDRIN_ROOT:-}" ]; then
  MOLDRIN_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/moldrin-demo.XXXXXX")
fi
mkdir -p "$MOLDRIN_ROOT"
export MOLDRIN_ROOT
line_dir=$(mktemp -d "${TMPDIR:-/tmp}/moldrin-line.XXXXXX")
export MOLDRIN_COM1="unix:$line_dir/line"
sim=
finish() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$line_dir"
}
trap finish EXIT

echo "== a simulated printer on a virtual serial line ($MOLDRIN_COM1, 9600 bit/s)"
"$moldrin" sim --listen "$MOLDRIN_COM1" 2>"$MOLDRIN_ROOT/sim.log" &
sim=$!
for _ in $(seq 200); do [ -S "$line_dir/line" ] && break; sleep 0.02; done
if [ ! -S "$line_dir/line" ]; then
  echo "the simulator did not start:" >&2
  cat "$MOLDRIN_ROOT/sim.log" >&2
  exit 1
fi

if [ ! -f "$bin/RSA.BIN" ]; then
  echo
  echo "== a signing key for the fiscal files ($bin/RSA.BIN, beside the programs that sign)"
  "$moldrin" keygen "$bin/RSA.BIN"
fi

echo
echo "== the application's registration (E00.BIN): the printer's number and model read from it"
"$moldrin" register --from-printer --port 1 --cnpj 12345678000199 --ie 111222333 --im 4455 \
  --software-house "Moldrin Demo Software" --coo 1 --order 1 --name "Caixa Demo" --version 1.0 \
  --program-data "frente de loja"

echo
echo "== a POS application's session: pos_demo opens COM1 and reads two status records"
"$bin/pos_demo"

echo
echo "== the day of sales through the library (sim/scenarios/full_day.txt): each frame, then its reply"
"$moldrin" send --port 1 --script sim/scenarios/full_day.txt 2>"$MOLDRIN_ROOT/send.log" | sed 's/^/   /' ||
  { cat "$MOLDRIN_ROOT/send.log" >&2; exit 1; }
cat "$MOLDRIN_ROOT/send.log"

echo
echo "== the day's capture file: its records, counted"
"$moldrin" rfd decode "$MOLDRIN_ROOT"/c/TALMA/RFD/RFD-*.bin | tail -n 1

echo
echo "== the signed fiscal file, made by the library after the Z reduction"
finished="$MOLDRIN_ROOT/c/TALMA/RFD/S E F A Z - ArqDigital = [CD] & [Transmitir]"
fiscal=$(ls -t "$finished"/TA* 2>/dev/null | head -n 1 || true)
if [ -z "$fiscal" ]; then
  echo "no fiscal file in $finished" >&2
  exit 1
fi
echo "$fiscal"
"$moldrin" summary "$fiscal" | sed 's/^/   /'
echo -n "   verify: "
"$moldrin" verify "$fiscal"

echo
echo "== everything the day left is under MOLDRIN_ROOT=$MOLDRIN_ROOT"
echo "   (the traffic log: MOLDRIN_ROOT=$MOLDRIN_ROOT $moldrin log --port 1)"
