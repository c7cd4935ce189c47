# Sourced by the scripts that run programs against a printer simulator on a
# virtual serial line. Makes $work, a scratch directory that goes at exit
# together with the simulator start_simulator started there.
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# start_simulator TOOL: TOOL's simulator listening on unix:$work/line; fails,
# with the simulator's output, when the line does not appear.
start_simulator() {
  "$1" sim --listen "unix:$work/line" 2>"$work/sim.log" &
  sim_pid=$!
  for _ in $(seq 200); do [ -S "$work/line" ] && return 0; sleep 0.05; done
  cat "$work/sim.log"
  echo "the simulator did not start"
  return 1
}
