#!/usr/bin/env bash
# Checks what a POS developer on Linux gets: installs a built tree into a scratch prefix,
# builds a small program outside the source tree with find_package and with pkg-config,
# runs both against the installed simulator, installs the Python package with pip into the
# same prefix and runs it there without telling it where the library is, and builds and
# lists the Debian package.
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
         "$libdir/cmake/Moldrin/MoldrinConfigVersion.cmake" "$libdir/cmake/Moldrin/MoldrinTargets.cmake" \
         share/moldrin/pascal/Moldrin.pas share/moldrin/csharp/Moldrin.cs share/doc/moldrin/README.md \
         share/doc/moldrin/fiscal_day.md share/doc/moldrin/copyright; do
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

# The Python package: pip, offline, into the same prefix; it finds the installed library by
# itself (no MOLDRIN_LIBRARY, no LD_LIBRARY_PATH).
python=
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import setuptools, wheel' 2>/dev/null && "$candidate" -m pip --version >/dev/null 2>&1; then
    python=$candidate; break
  fi
done
if [ -z "$python" ]; then
  fail "no python3 with pip, setuptools and wheel (Debian: python3-pip python3-setuptools python3-wheel)"
else
  cp -r "$ROOT/bindings/python" "$work/python-src"   # the build leaves its files beside the sources
  if "$python" -m pip install -q --no-build-isolation --no-index --prefix "$prefix" "$work/python-src" \
       >"$work/pip.log" 2>&1; then
    site=$(dirname "$(find "$prefix" -path '*-packages/moldrin/__init__.py' | head -n 1)")
    site=$(dirname "$site")
    if out=$(cd "$work" && env -u LD_LIBRARY_PATH -u MOLDRIN_LIBRARY PYTHONPATH="$site" MOLDRIN_COM1="unix:$work/line" \
               MOLDRIN_ROOT="$work/root" "$python" -c '
import moldrin
with moldrin.Session(port=1, timeout=5) as ecf:
    print("reply", ecf.send("\x1B.271}")[:3])
print("library", moldrin.library._name)' 2>&1) && echo "$out" | grep -q "reply .+C"; then
      lib=$(echo "$out" | sed -n 's/^library //p')
      case "$lib" in
        "$prefix"/*) say "pip install bindings/python: the package ran a session with $lib" ;;
        *) fail "the Python package loaded $lib, not the installed library" ;;
      esac
    else
      echo "$out"; fail "the pip-installed Python package against the simulator"
    fi
  else
    cat "$work/pip.log"; fail "pip install bindings/python"
  fi
fi

# The Debian package holds the same.
if (cd "$BUILD" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1); then
  deb=$(ls "$work"/deb/*.deb)
  listing=$(dpkg-deb -c "$deb")
  for f in "libmoldrin.so.3.0.0" "libmoldrin.so.3 -> libmoldrin.so.3.0.0" "libmoldrin.so -> libmoldrin.so.3" \
           "usr/include/moldrin.h" "pkgconfig/moldrin.pc" "cmake/Moldrin/MoldrinConfig.cmake" \
           "cmake/Moldrin/MoldrinConfigVersion.cmake" "cmake/Moldrin/MoldrinTargets.cmake" "usr/bin/moldrin" \
           "usr/share/man/man1/moldrin.1" "usr/share/moldrin/pascal/Moldrin.pas" "usr/share/moldrin/csharp/Moldrin.cs" \
           "usr/share/doc/moldrin/copyright" "usr/share/doc/moldrin/fiscal_day.md"; do
    grep -qF -- "$f" <<<"$listing" || fail "$(basename "$deb") lacks $f"
  done
  grep -q "License: MIT" <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/moldrin/copyright) ||
    fail "$(basename "$deb"): the copyright file does not state the licence"
  say "$(basename "$deb"): library with its links, header, moldrin.pc, CMake files, tool, manual page, Pascal and C# layers, manual, copyright (MIT)"
else
  cat "$work/cpack.log"; fail "cpack -G DEB"
fi

[ "$failed" = 0 ] && say "all checks passed" || { say "some checks FAILED"; exit 1; }
