#!/usr/bin/env bash
# Checks what a POS developer on Linux gets: installs a built tree into a scratch prefix,
# builds a small program outside the source tree with find_package and with pkg-config,
# runs both against the installed simulator, and builds and lists the Debian package.
#
#   scripts/package_check.sh [BUILD_DIR]      (default build; it must be built already)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(cd "${1:-build}" && pwd)
source scripts/simulator_line.sh
failed=0
say() { echo "package: $*"; }
fail() { say "FAIL: $*"; failed=1; }

prefix="$work/prefix"
cmake --install "$BUILD" --prefix "$prefix" >"$work/install.log"
libdir=$(cd "$prefix" && ls -d lib*/ | head -n 1 | tr -d /)
[ -d "$prefix/$libdir/x86_64-linux-gnu" ] && libdir="$libdir/x86_64-linux-gnu"
for f in "$libdir/libmoldrin.so.3.0.0" "$libdir/libmoldrin.so.3" "$libdir/libmoldrin.so" include/moldrin.h bin/moldrin \
         share/man/man1/moldrin.1 "$libdir/pkgconfig/moldrin.pc" "$libdir/cmake/Moldrin/MoldrinConfig.cmake" \
         "$libdir/cmake/Moldrin/MoldrinConfigVersion.cmake" "$libdir/cmake/Moldrin/MoldrinTargets.cmake"; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
soname=$(objdump -p "$prefix/$libdir/libmoldrin.so.3.0.0" | sed -n 's/^ *SONAME *//p')
[ "$soname" = libmoldrin.so.3 ] && say "SONAME $soname" || fail "SONAME is '$soname'"

# The library exports the C interface and nothing else.
expected="ECFClose ECFOpen ECFPathLog ECFRead ECFSetOperator ECFTxFast ECFWrite ECFswLFs SetTesteCTS SetTimeoutRead SistemaGetVersion"
exported=$(nm -D --defined-only "$prefix/$libdir/libmoldrin.so.3.0.0" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
[ "$exported" = "$expected" ] && say "nm -D: the eleven C calls only" || fail "nm -D lists: $exported"

# A consumer outside the source tree, built twice.
consumer="$work/consumer"
mkdir -p "$consumer"
cp "$ROOT/examples/pos_demo.c" "$consumer/main.c"
cat >"$consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(Moldrin 3 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE Moldrin::moldrin)
EOF
if cmake -S "$consumer" -B "$consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer-cmake.log" 2>&1 &&
   cmake --build "$consumer/build" >>"$work/consumer-cmake.log" 2>&1; then
  say "consumer built with find_package(Moldrin 3)"
else
  cat "$work/consumer-cmake.log"; fail "consumer with find_package"
fi
if PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" cc -o "$consumer/consumer-pc" "$consumer/main.c" \
     $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs moldrin) 2>"$work/consumer-pc.log"; then
  say "consumer built with pkg-config ($(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --modversion moldrin))"
else
  cat "$work/consumer-pc.log"; fail "consumer with pkg-config"
fi

# Both run against the installed simulator, on the installed library.
start_simulator "$prefix/bin/moldrin" || fail "the installed simulator did not start"
for exe in "$consumer/build/consumer" "$consumer/consumer-pc"; do
  [ -x "$exe" ] || continue
  if out=$(MOLDRIN_COM1="unix:$work/line" MOLDRIN_ROOT="$work/root" LD_LIBRARY_PATH="$prefix/$libdir" "$exe" 2>&1) &&
     echo "$out" | grep -q 'ECFWrite(ESC .271})  *->  0  reply: .+C'; then
    lib=$(LD_LIBRARY_PATH="$prefix/$libdir" ldd "$exe" | sed -n 's/.*libmoldrin.so.3 => \([^ ]*\).*/\1/p')
    say "$(basename "$exe") ran a session on the simulator with $lib"
    case "$lib" in "$prefix"/*) ;; *) fail "$(basename "$exe") did not load the installed library" ;; esac
  else
    echo "$out"; fail "$(basename "$exe") against the simulator"
  fi
done

# The Debian package holds the same.
if (cd "$BUILD" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1); then
  deb=$(ls "$work"/deb/*.deb)
  listing=$(dpkg-deb -c "$deb")
  for f in "libmoldrin.so.3.0.0" "libmoldrin.so.3 -> libmoldrin.so.3.0.0" "libmoldrin.so -> libmoldrin.so.3" \
           "usr/include/moldrin.h" "pkgconfig/moldrin.pc" "cmake/Moldrin/MoldrinConfig.cmake" \
           "cmake/Moldrin/MoldrinConfigVersion.cmake" "cmake/Moldrin/MoldrinTargets.cmake" "usr/bin/moldrin" \
           "usr/share/man/man1/moldrin.1"; do
    grep -qF -- "$f" <<<"$listing" || fail "$(basename "$deb") lacks $f"
  done
  say "$(basename "$deb"): library with its links, header, moldrin.pc, CMake files, tool, manual page"
else
  cat "$work/cpack.log"; fail "cpack -G DEB"
fi

[ "$failed" = 0 ] && say "all checks passed" || { say "some checks FAILED"; exit 1; }
