#!/usr/bin/env bash
# Runs one binding's test against a fresh printer simulator on a virtual serial line:
#   bindings/run_with_simulator.sh MOLDRIN_TOOL LIBRARY_DIR COMMAND [ARGS...]
# COM1 is the simulator (MOLDRIN_COM1), MOLDRIN_ROOT and the working directory a scratch
# directory, and the library is found in LIBRARY_DIR. Exit status 77 means "skipped".
set -euo pipefail
tool=$1 libdir=$2
shift 2
bash "$(dirname "$0")/skip_if_sanitized.sh" "$libdir" || exit $?
source "$(dirname "$0")/../scripts/simulator_line.sh"
start_simulator "$tool" || exit 1
export MOLDRIN_COM1="unix:$work/line" MOLDRIN_ROOT="$work/root" MOLDRIN_WORK="$work"
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# The bindings are under test, not the fiscal capture: talma.ini keeps it out, so a
# malformed command fails in the link as the tests expect.
mkdir -p "$MOLDRIN_ROOT/c/TALMA" && : >"$MOLDRIN_ROOT/c/TALMA/talma.ini"
cd "$work"
"$@"
