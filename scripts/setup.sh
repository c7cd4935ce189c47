#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, if missing.
set -euo pipefail
need=()
# Beside the C++ build: dpkg-dev for the Debian package, openssl for the independent check
# of the main job's signature, and the compilers and runtimes of the Pascal, C# and Python
# bindings' tests.
for pkg in cmake g++ make clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev \
           pkg-config openssl dpkg-dev fp-compiler mono-mcs mono-runtime python3 python3-pytest; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
