#!/usr/bin/env bash
# The console page's browser test: a simulator, `moldrin serve` on a free loopback
# port with no registration yet, and console_test.mjs driving Debian's Chromium.
#   run.sh MOLDRIN_TOOL BUILD_DIR      (exit 77: skipped, something is missing)
set -euo pipefail
tool=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
command -v node >/dev/null || skip "node is not installed (scripts/setup.sh installs it)"
chromium=${CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || skip "no Chromium at $chromium (scripts/setup.sh installs it)"
# puppeteer-core, without a browser of its own, in the build folder.
modules="$build/node/node_modules"
if [ ! -d "$modules/puppeteer-core" ]; then
  command -v npm >/dev/null || skip "npm is not installed"
  mkdir -p "$build/node"
  (cd "$build/node" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-audit --no-fund --silent puppeteer-core@22) ||
    skip "puppeteer-core could not be installed from npm"
fi

work=$(mktemp -d)
sim='' serve=''
finish() {
  for pid in $serve $sim; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT
mkdir "$work/bin" "$work/root"
cp "$tool" "$work/bin/moldrin"
export MOLDRIN_ROOT="$work/root" MOLDRIN_COM1="unix:$work/line"
"$work/bin/moldrin" keygen "$work/bin/RSA.BIN" >/dev/null
"$work/bin/moldrin" sim --listen "$MOLDRIN_COM1" 2>"$work/sim.err" &
sim=$!
for _ in $(seq 200); do [ -S "$work/line" ] && break; sleep 0.02; done
"$work/bin/moldrin" serve --listen 127.0.0.1:0 --printer 1 --timeout 3 >"$work/serve.out" 2>"$work/serve.err" &
serve=$!
url=''
for _ in $(seq 500); do
  url=$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$work/serve.out")
  [ -n "$url" ] && break
  kill -0 "$serve" 2>/dev/null || { cat "$work/serve.err"; echo "FAILED: the service ended"; exit 1; }
  sleep 0.02
done
[ -n "$url" ] || { cat "$work/serve.err"; echo "FAILED: the service did not start"; exit 1; }
# Beside its node_modules, where an ES module finds its imports.
cp "$here/console_test.mjs" "$build/node/console_test.mjs"
if ! CHROMIUM="$chromium" node "$build/node/console_test.mjs" "$url" "$build/serve_console.png"; then
  echo "--- service:"; cat "$work/serve.err"
  exit 1
fi
[ -f "$work/root/c/TALMA/RFD/E00.BIN" ] || { echo "FAILED: the page's identification was not written"; exit 1; }
