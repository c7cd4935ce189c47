#!/usr/bin/env bash
# Inside bindings/run_with_simulator.sh: turns the fiscal capture on (no talma.ini) and
# registers the application for the printer on COM1, as a point of sale is before its
# first coupon: the factory number and model read from the printer, the rest given.
#   bindings/capture_on.sh MOLDRIN_TOOL
set -euo pipefail
rm -f "$MOLDRIN_ROOT/c/TALMA/talma.ini"
"$1" register --from-printer --port 1 --cnpj 12345678000199 --ie 111222333 --im 4455 \
  --software-house "Moldrin Demo Software" --coo 1 --order 1 --name "Caixa Demo" --version 1.0 \
  --program-data "frente de loja" >/dev/null
