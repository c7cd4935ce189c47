#!/usr/bin/env bash
# Compiles the Pascal unit's test and example with Free Pascal in Delphi mode and runs
# them on the simulator:  bindings/pascal/test.sh MOLDRIN_TOOL LIBRARY_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../skip_if_sanitized.sh" "$2" || exit $?
command -v fpc >/dev/null || { echo "fpc is not installed (scripts/setup.sh installs it): skipped"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for program in test_moldrin example sell_coupon test_ops; do
  fpc -Mdelphi -vew -Sew -FE"$out" -Fu"$here" -Fl"$2" "$here/$program.pas" >"$out/$program.log" 2>&1 ||
    { cat "$out/$program.log"; exit 1; }
done
bash "$here/../run_with_simulator.sh" "$1" "$2" sh -c "'$out/test_moldrin' && '$out/example'"
# The typed operations with the fiscal capture on, on a printer of their own.
bash "$here/../run_with_simulator.sh" "$1" "$2" sh -c \
  "bash '$here/../capture_on.sh' '$1' && '$out/sell_coupon' && '$out/test_ops'"
