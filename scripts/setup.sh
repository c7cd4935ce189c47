#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, if missing.
set -euo pipefail
need=()
# Beside the C++ build: dpkg-dev for the Debian package, openssl for the independent check
# of the main job's signature, and the compilers and runtimes of the Pascal, C# and Python
# bindings' tests; the HTTP and JSON libraries of `moldrin serve`, and the browser its console
# page's test drives (Chromium, through puppeteer-core, which the test puts in the build folder).
for pkg in cmake g++ make clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev \
           pkg-config openssl dpkg-dev fp-compiler mono-mcs mono-runtime python3 python3-pytest \
           libcpp-httplib-dev nlohmann-json3-dev chromium nodejs; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
# Debian's npm, unless the node installed brings its own.
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
