#!/usr/bin/env bash
# Compiles the C# binding's test and example with mcs and runs them with mono on the
# simulator:  bindings/csharp/test.sh MOLDRIN_TOOL LIBRARY_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../skip_if_sanitized.sh" "$2" || exit $?
for tool in mcs mono; do
  command -v $tool >/dev/null || { echo "$tool is not installed (scripts/setup.sh installs it): skipped"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for program in TestMoldrin Example SellCoupon TestOps; do
  mcs -warnaserror -out:"$out/$program.exe" "$here/Moldrin.cs" "$here/MoldrinOps.cs" "$here/$program.cs" \
    >"$out/$program.log" 2>&1 || { cat "$out/$program.log"; exit 1; }
done
bash "$here/../run_with_simulator.sh" "$1" "$2" sh -c "mono '$out/TestMoldrin.exe' && mono '$out/Example.exe'"
# The typed operations with the fiscal capture on, on a printer of their own.
bash "$here/../run_with_simulator.sh" "$1" "$2" sh -c \
  "bash '$here/../capture_on.sh' '$1' && mono '$out/SellCoupon.exe' && mono '$out/TestOps.exe'"
