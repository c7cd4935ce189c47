#!/usr/bin/env bash
# Inside bindings/run_with_simulator.sh: turns the fiscal capture on (no talma.ini) and
# registers the application for the simulated printer, as a point of sale is before
# its first coupon:  bindings/capture_on.sh MOLDRIN_TOOL
set -euo pipefail
rm -f "$MOLDRIN_ROOT/c/TALMA/talma.ini"
"$1" register --factory MS0300019 --cnpj 12345678000199 --ie 111222333 --im 4455 \
  --software-house "Moldrin Demo Software" --coo 1 --order 1 --name "Caixa Demo" --version 1.0 \
  --program-data "frente de loja" --model B --gate 0 >/dev/null
