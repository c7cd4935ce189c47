#!/usr/bin/env bash
# The Windows part of CI: installs MinGW-w64, wine and NSIS, cross-builds both Moldrin.dll and
# MoldrinOps.dll (32 and 64-bit), checks their exports and imports, links C programs against each
# import library (one sells a coupon with the typed operations), runs the tests under wine against
# both builds, photographs the boxes, and builds the developer's kit (a zip and an installer) and
# installs and runs it under wine. Linux builds are .ci/run's.
#
#   windows/ci.sh            everything; exit 0 only when every step that ran passed
#
# Environment: MOLDRIN_SIM   a simulator command line taking "--listen tcp:127.0.0.1:PORT"
#                            (default: build/moldrin sim, built here when missing)
#              JOBS          parallel build jobs (default 2)
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${JOBS:-2}
START=$(date +%s)
FAILED=()
LOGS="$ROOT/build-win64/ci-logs"

say() { echo "windows: $*"; }
csort() { LC_ALL=C sort "$@"; }  # the name lists below are compared in byte order
fail() { say "FAIL: $*"; FAILED+=("$1"); }

# ---- Packages ---------------------------------------------------------------------------
have_pkgs() { for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || return 1; done; }
install_pkgs() {  # install_pkgs [--with-recommends] PACKAGE...
  local extra=--no-install-recommends
  if [ "$1" = --with-recommends ]; then extra=; shift; fi
  if have_pkgs "$@"; then return 0; fi
  if [ -z "${APT_UPDATED:-}" ]; then apt-get update -qq >/dev/null 2>&1; APT_UPDATED=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $extra "$@" >/dev/null 2>&1
}
CROSS_PKGS=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 cmake make)
KIT_PKGS=(nsis)
# Wine's recommendations bring its fonts and the X libraries its display driver loads.
WINE_PKGS=(wine wine64 fonts-wine xvfb xauth imagemagick xdotool)
if ! install_pkgs "${CROSS_PKGS[@]}"; then
  say "FAIL: cannot install the MinGW-w64 cross compilers (${CROSS_PKGS[*]})"
  exit 1
fi
NSIS_OK=1
install_pkgs "${KIT_PKGS[@]}" && command -v makensis >/dev/null 2>&1 || NSIS_OK=0
WINE_OK=1
install_pkgs --with-recommends "${WINE_PKGS[@]}" || WINE_OK=0
command -v wine >/dev/null 2>&1 || WINE_OK=0
# The 32-bit DLL is the one POS applications load; running its tests needs wine's 32-bit
# support, from the i386 architecture, on a kernel that runs 32-bit programs at all (some
# virtual machines' kernels do not: there wine32 would only break the 64-bit wine).
runs_i386() {
  local dir
  dir=$(mktemp -d)
  printf '.globl _start\n_start: movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/p.s"
  as --32 -o "$dir/p.o" "$dir/p.s" 2>/dev/null && ld -m elf_i386 -o "$dir/p" "$dir/p.o" 2>/dev/null && "$dir/p" 2>/dev/null
  local rc=$?
  rm -rf "$dir"
  return $rc
}
WINE32_OK=0
WINE32_WHY="cannot install wine32:i386"
if [ "$WINE_OK" = 1 ]; then
  if ! runs_i386; then
    WINE32_WHY="this system's kernel does not run 32-bit programs"
  else
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386 && APT_UPDATED=
    fi
    install_pkgs wine32:i386 && WINE32_OK=1
  fi
fi
# The wine loader: the 32-bit one (which also starts 64-bit programs) only where it can run.
WINE=wine
if [ "$WINE32_OK" != 1 ] && [ -x /usr/lib/wine/wine64 ] && [ -e /usr/lib/wine/wine ]; then
  WINE=/usr/lib/wine/wine64
  export WINELOADER=$WINE
fi

# ---- Cross builds -------------------------------------------------------------------------
build() {  # build DIR TOOLCHAIN TARGETS...
  local dir=$1 toolchain=$2
  shift 2
  mkdir -p "$dir"
  local log="$dir/build.log"
  if ! cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DMOLDRIN_WERROR=ON >"$log" 2>&1 ||
     ! cmake --build "$dir" -j"$JOBS" --target "$@" >>"$log" 2>&1; then
    tail -n 40 "$log"
    fail "build $dir"
    return 1
  fi
  # -Werror stops compiler warnings; the linker's and resource compiler's are caught here.
  if grep -iE '(^|[^a-z_])warning' "$log" | grep -v -- '-Wno-' >/dev/null; then
    grep -iE '(^|[^a-z_])warning' "$log" | head -n 20
    fail "warnings in $dir"
    return 1
  fi
  say "built $dir/Moldrin.dll and MoldrinOps.dll"
}
build "$ROOT/build-win32" mingw-i686.cmake moldrin moldrin_ops wine_api_test wine_platform_test
build "$ROOT/build-win64" mingw-x86_64.cmake moldrin moldrin_ops wine_api_test wine_platform_test wine_box_shot
mkdir -p "$LOGS"

# ---- Exports and imports ------------------------------------------------------------------
EXPECTED="ECFClose ECFOpen ECFPathLog ECFRead ECFSetOperator ECFTxFast ECFWrite ECFswLFs SetTesteCTS SetTimeoutRead SistemaGetVersion"
EXPECTED_OPS="MoldrinCancelCoupon MoldrinCancelItem MoldrinCloseCoupon MoldrinItemDiscount MoldrinNonFiscalReceipt MoldrinOpenCoupon MoldrinOpsResultText MoldrinOpsSettle MoldrinPay MoldrinReadStatus MoldrinSellItem MoldrinSetBuyer MoldrinSubtotalDiscount MoldrinSubtotalIncrease MoldrinXReading MoldrinZReduction"
# DLLs every Windows has; anything else (the compiler's runtime above all) would have to ship beside us.
SYSTEM_DLLS="KERNEL32.dll msvcrt.dll USER32.dll VERSION.dll WS2_32.dll ADVAPI32.dll GDI32.dll"
check_dll() {  # check_dll DLL OBJDUMP [EXPECTED_EXPORTS [WHAT] [OTHER_DLL_IT_MAY_NEED]]
  local dll=$1 objdump=$2 expected=${3:-$EXPECTED} what=${4:-the eleven plain names} beside=${5:-}
  if [ ! -f "$dll" ]; then fail "missing $dll"; return; fi
  local dump names imports
  dump=$("$objdump" -p "$dll")
  names=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | csort | tr '\n' ' ' | sed 's/ $//')
  if [ "$names" != "$expected" ]; then
    say "exports of $dll: $names"
    say "expected:        $expected"
    fail "exports of $dll"
  else
    say "exports of $dll: $what, nothing else"
  fi
  imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | sort -u)
  for imp in $imports; do
    case " $SYSTEM_DLLS $beside " in
      *" $imp "*) ;;
      *) fail "$dll needs $imp, which is not a system DLL" ;;
    esac
  done
}
check_dll "$ROOT/build-win32/Moldrin.dll" i686-w64-mingw32-objdump
check_dll "$ROOT/build-win64/Moldrin.dll" x86_64-w64-mingw32-objdump
# MoldrinOps.dll needs Moldrin.dll, which ships beside it, and system DLLs only.
for bits in 32 64; do
  objdump=i686-w64-mingw32-objdump
  [ $bits = 64 ] && objdump=x86_64-w64-mingw32-objdump
  check_dll "$ROOT/build-win$bits/MoldrinOps.dll" $objdump "$EXPECTED_OPS" "the sixteen typed operations' plain names" \
    Moldrin.dll
done
for dll in Moldrin.dll MoldrinOps.dll; do
  if i686-w64-mingw32-objdump -f "$ROOT/build-win32/$dll" 2>/dev/null | grep -q 'pei-i386'; then :; else
    fail "build-win32/$dll is not a 32-bit DLL"
  fi
done
# 32-bit calling conventions, read from the decorated names before the .def plains them:
# __stdcall carries @<bytes of arguments>, and ECFTxFast alone is __cdecl (no suffix).
DECORATED="_ECFClose@0 _ECFOpen@16 _ECFPathLog@4 _ECFRead@8 _ECFSetOperator@4 _ECFTxFast _ECFWrite@4 _ECFswLFs@0 _SetTesteCTS@4 _SetTimeoutRead@4 _SistemaGetVersion@4"
found=$(i686-w64-mingw32-nm "$ROOT/build-win32/lib/libmoldrin_core.a" 2>/dev/null |
  sed -n 's/^[0-9a-f]* T \(_\(ECF\|SetTes\|SetTim\|SistemaGet\)[A-Za-z]*\(@[0-9]*\)\{0,1\}\)$/\1/p' | csort | tr '\n' ' ' | sed 's/ $//')
if [ "$found" != "$DECORATED" ]; then
  say "32-bit entry points: $found"
  say "expected:            $DECORATED"
  fail "32-bit calling conventions"
else
  say "32-bit calling conventions: __stdcall with the right argument sizes, ECFTxFast __cdecl"
fi
# The typed operations are all __stdcall; their import library (windows/MoldrinOps-import32.def)
# must name each with the argument bytes the compiler gave it.
DECORATED_OPS=$(sed -n 's/^ *\(Moldrin[A-Za-z]*@[0-9]*\)$/_\1/p' "$ROOT/windows/MoldrinOps-import32.def" | csort | tr '\n' ' ' | sed 's/ $//')
found=$(i686-w64-mingw32-nm "$ROOT/build-win32/lib/libmoldrin_ops_code.a" 2>/dev/null |
  sed -n 's/^[0-9a-f]* T \(_Moldrin[A-Za-z]*\(@[0-9]*\)\{0,1\}\)$/\1/p' | csort | tr '\n' ' ' | sed 's/ $//')
if [ -z "$DECORATED_OPS" ] || [ "$found" != "$DECORATED_OPS" ]; then
  say "32-bit typed operations: $found"
  say "MoldrinOps-import32.def: $DECORATED_OPS"
  fail "32-bit typed operations' calling convention"
else
  say "32-bit typed operations: __stdcall, the argument sizes of MoldrinOps-import32.def"
fi

# ---- Linking against the import libraries ---------------------------------------------------
# A C program that declares the calls only through moldrin.h, linked against Moldrin.lib as a
# POS developer links it: it links only when the import library resolves every declaration.
link_program() {  # link_program DIR GCC
  local dir=$1 gcc=$2
  if "$gcc" -std=c99 -Wall -Wextra -Werror -I"$ROOT/include" "$ROOT/windows/tests/link_test.c" \
       "$dir/lib/Moldrin.lib" -o "$dir/link_test.exe" >"$LOGS/link-$(basename "$dir").log" 2>&1; then
    say "linked a C program against ${dir#$ROOT/}/lib/Moldrin.lib"
  else
    cat "$LOGS/link-$(basename "$dir").log"
    fail "link against ${dir#$ROOT/}/lib/Moldrin.lib"
  fi
}
# The same for the typed operations: a program selling a coupon through moldrin_ops.h, linked
# against MoldrinOps.lib and Moldrin.lib.
link_ops_program() {  # link_ops_program DIR GCC
  local dir=$1 gcc=$2 log="$LOGS/link-ops-$(basename "$1").log"
  if "$gcc" -std=c99 -Wall -Wextra -Werror -I"$ROOT/include" "$ROOT/windows/tests/ops_link_test.c" \
       "$dir/lib/MoldrinOps.lib" "$dir/lib/Moldrin.lib" -o "$dir/ops_link_test.exe" >"$log" 2>&1; then
    say "linked a C program selling with the typed operations against ${dir#$ROOT/}/lib/MoldrinOps.lib"
  else
    cat "$log"
    fail "link against ${dir#$ROOT/}/lib/MoldrinOps.lib"
  fi
}
link_program "$ROOT/build-win32" i686-w64-mingw32-gcc
link_program "$ROOT/build-win64" x86_64-w64-mingw32-gcc
link_ops_program "$ROOT/build-win32" i686-w64-mingw32-gcc
link_ops_program "$ROOT/build-win64" x86_64-w64-mingw32-gcc

# ---- Tests under wine ---------------------------------------------------------------------
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null 2>&1; then wineserver -k >/dev/null 2>&1; fi
}
trap cleanup EXIT

# Waits for a TCP port on 127.0.0.1 to be listened on, without connecting to it.
listening() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -q ":$hex 00000000:0000 0A" /proc/net/tcp 2>/dev/null
}

start_simulator() {
  local sim=${MOLDRIN_SIM:-}
  if [ -z "$sim" ]; then
    if [ ! -x "$ROOT/build/moldrin" ]; then
      cmake -S "$ROOT" -B "$ROOT/build-sim" -DCMAKE_BUILD_TYPE=Release -DMOLDRIN_TESTS=OFF -DMOLDRIN_BENCH=OFF \
        >"$LOGS/sim-build.log" 2>&1 &&
        cmake --build "$ROOT/build-sim" -j"$JOBS" --target moldrin_tool >>"$LOGS/sim-build.log" 2>&1 &&
        sim="$ROOT/build-sim/moldrin sim"
    else
      sim="$ROOT/build/moldrin sim"
    fi
  fi
  [ -n "$sim" ] || return 1
  local try port pid
  for try in 1 2 3 4 5; do
    port=$((20000 + (RANDOM % 20000)))
    listening "$port" && continue
    $sim --listen "tcp:127.0.0.1:$port" >"$LOGS/simulator.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 50); do
      if listening "$port"; then
        PIDS+=("$pid")
        SIM_PORT=$port
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
  done
  return 1
}

# The coupon of the typed operations is sold with the fiscal capture off (c:\TALMA\talma.ini):
# the simulated printer is a dot-matrix one, whose capture would first want the registration.
run_ops_test() {  # run_ops_test NAME EXE
  local ini="$WINEPREFIX/drive_c/TALMA/talma.ini"
  mkdir -p "$(dirname "$ini")" && : >"$ini"
  run_wine_test "$@"
  rm -f "$ini"
}

run_wine_test() {  # run_wine_test NAME EXE [ARGS...]
  local name=$1 exe=$2
  shift 2
  local log="$LOGS/$name.log"
  timeout 300 "$WINE" "$exe" "$@" >"$log" 2>"$log.stderr"
  local rc=$?
  grep -E '^\[ (FAIL|SKIP) \]|^    |passed, .* failed' "$log"
  if [ $rc -ne 0 ] || ! grep -qE "passed, 0 failed" "$log"; then
    fail "$name (exit $rc, see $log)"
  fi
}

# Photographs one box and answers it with real keys; checks what it ended with.
shoot_box() {  # shoot_box WHICH PNG KEYS EXPECTED_EXIT
  local which=$1 png=$2 keys=$3 expected=$4
  local ready="$LOGS/ready-$which"
  rm -f "$ready"
  MOLDRIN_SHOT_READY="Z:${ready//\//\\}" timeout 120 "$WINE" explorer /desktop=moldrin,1024x768 \
    "$ROOT/build-win64/tests/wine_box_shot.exe" "$which" >"$LOGS/box-$which.log" 2>&1 &
  local pid=$!
  for _ in $(seq 1 600); do [ -f "$ready" ] && break; sleep 0.1; done
  if [ ! -f "$ready" ]; then
    fail "box $which never appeared"
    kill "$pid" 2>/dev/null
    return
  fi
  import -window root -crop 1024x768+0+0 +repage "$png" 2>/dev/null || fail "screenshot of $which"
  for key in $keys; do
    xdotool key "$key"
    sleep 1
  done
  wait "$pid"
  # The virtual desktop does not pass the program's exit status on; its own line does.
  local rc
  rc=$(sed -n "s/^box $which ended with \(-\{0,1\}[0-9]*\).*/\1/p" "$LOGS/box-$which.log" | tr -d '\r')
  if [ "$rc" != "$expected" ] || grep -q 'nobody answered' "$LOGS/box-$which.log"; then
    cat "$LOGS/box-$which.log"
    fail "box $which ended with '$rc', expected $expected"
  elif [ -s "$png" ]; then
    say "box $which: shown, answered by keys [$keys] with $rc, picture in ${png#$ROOT/}"
  fi
}

if [ "$WINE_OK" != 1 ]; then
  say "wine is not available (cannot install ${WINE_PKGS[*]}): the wine tests did NOT run"
else
  export WINEPREFIX="$ROOT/build-win64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # Wine names host files in the locale's encoding: a UTF-8 one keeps every
  # Windows-1252 file name (c:\TALMA\RFD\..., the log's weekday names) intact.
  export LC_ALL=C.UTF-8
  "$WINE" wineboot -i >"$LOGS/wineboot.log" 2>&1
  wineserver -w  # the new prefix's own start-up is over before the tests time anything
  # A display for the dialogs: the platform test drives them, the screenshots show them.
  DISPLAY_OK=0
  if command -v Xvfb >/dev/null 2>&1; then
    for n in 91 92 93 94 95; do
      [ -e "/tmp/.X11-unix/X$n" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$LOGS/xvfb.log" 2>&1 &
      PIDS+=($!)
      export DISPLAY=":$n"
      for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && DISPLAY_OK=1 && break; sleep 0.1; done
      break
    done
  fi
  [ "$DISPLAY_OK" = 1 ] || say "no X display (Xvfb): the dialog tests and the screenshots did NOT run"

  run_wine_test platform "$ROOT/build-win64/tests/wine_platform_test.exe"

  export MOLDRIN_DLL="Z:${ROOT//\//\\}\\build-win64\\Moldrin.dll"
  if start_simulator; then
    export MOLDRIN_COM1="tcp:127.0.0.1:$SIM_PORT"
    say "simulator on tcp:127.0.0.1:$SIM_PORT"
  else
    unset MOLDRIN_COM1
    say "no simulator (moldrin sim --listen tcp:...): the session tests under wine did NOT run"
  fi
  run_wine_test api "$ROOT/build-win64/tests/wine_api_test.exe"
  run_wine_test link64 "$ROOT/build-win64/link_test.exe"
  run_ops_test ops64 "$ROOT/build-win64/ops_link_test.exe"

  if [ "$WINE32_OK" = 1 ]; then
    say "32-bit: the tests built for i686 against build-win32/Moldrin.dll"
    run_wine_test platform32 "$ROOT/build-win32/tests/wine_platform_test.exe"
    export MOLDRIN_DLL="Z:${ROOT//\//\\}\\build-win32\\Moldrin.dll"
    run_wine_test api32 "$ROOT/build-win32/tests/wine_api_test.exe"
    run_wine_test link32 "$ROOT/build-win32/link_test.exe"
    run_ops_test ops32 "$ROOT/build-win32/ops_link_test.exe"
  else
    say "no 32-bit wine ($WINE32_WHY): the 32-bit wine tests did NOT run (the 32-bit C program was linked only)"
  fi

  if [ "$DISPLAY_OK" = 1 ] && command -v import >/dev/null && command -v xdotool >/dev/null; then
    SHOTS="$ROOT/build-win64/screenshots"
    mkdir -p "$SHOTS"
    # Esc must not close the information box; Enter does. Esc answers the question with no.
    shoot_box info "$SHOTS/IDD_INFO.png" "Escape Return" 1
    shoot_box question "$SHOTS/IDD_PERGUNTA.png" "Escape" 0
    shoot_box identify "$SHOTS/IDD_105.png" "Escape" 0
  elif [ "$DISPLAY_OK" = 1 ]; then
    say "no import/xdotool: the screenshots did NOT run"
  fi
fi

# ---- The developer's kit: a zip and an installer --------------------------------------------
VERSION=$(sed -n 's/^project(Moldrin VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
KIT_DIR="$ROOT/build-win64/kit"
KIT="$KIT_DIR/Moldrin-$VERSION"
make_kit() {
  rm -rf "$KIT_DIR"
  mkdir -p "$KIT"/{bin32,lib32,bin64,lib64,include,pascal,csharp,doc/integration} || return 1
  local bits
  for bits in 32 64; do
    cp "$ROOT/build-win$bits/Moldrin.dll" "$ROOT/build-win$bits/MoldrinOps.dll" "$KIT/bin$bits/" &&
      cp "$ROOT/build-win$bits/lib/Moldrin.lib" "$ROOT/build-win$bits/lib/MoldrinOps.lib" "$KIT/lib$bits/" || return 1
  done
  cp "$ROOT/include/moldrin.h" "$ROOT/include/moldrin_ops.h" "$KIT/include/" &&
    cp "$ROOT/bindings/pascal/Moldrin.pas" "$ROOT/bindings/pascal/MoldrinOps.pas" "$ROOT/bindings/pascal/example.pas" \
      "$ROOT/bindings/pascal/sell_coupon.pas" "$KIT/pascal/" &&
    cp "$ROOT/bindings/csharp/Moldrin.cs" "$ROOT/bindings/csharp/MoldrinOps.cs" "$ROOT/bindings/csharp/Example.cs" \
      "$ROOT/bindings/csharp/SellCoupon.cs" "$KIT/csharp/" &&
    mkdir -p "$KIT/examples" && cp "$ROOT/examples/sell_coupon.c" "$KIT/examples/" &&
    cp "$ROOT"/docs/*.md "$KIT/doc/" && cp "$ROOT"/docs/integration/*.md "$KIT/doc/integration/" &&
    cp "$ROOT/LICENSE" "$KIT/LICENSE.txt" && cp "$ROOT/windows/kit-README.txt" "$KIT/README.txt"
}
KIT_ZIP="$KIT_DIR/Moldrin-$VERSION-windows.zip"
KIT_SETUP="$KIT_DIR/Moldrin-$VERSION-setup.exe"
if ! make_kit; then
  fail "the developer's kit"
else
  (cd "$KIT_DIR" && cmake -E tar cf "$KIT_ZIP" --format=zip "Moldrin-$VERSION") && say "kit: ${KIT_ZIP#$ROOT/}" ||
    fail "the kit's zip"
  makensis_kit() {  # makensis_kit TARGET OUTFILE
    makensis -V2 -DVERSION="$VERSION" -DKIT="$KIT" -DOUTFILE="$2" -DTARGET="$1" "$ROOT/windows/installer.nsi" \
      >"$LOGS/makensis-$1.log" 2>&1 || { cat "$LOGS/makensis-$1.log"; return 1; }
  }
  if [ "$NSIS_OK" != 1 ]; then
    fail "cannot install NSIS (${KIT_PKGS[*]}): no installer"
  elif makensis_kit x86-unicode "$KIT_SETUP"; then
    say "kit: ${KIT_SETUP#$ROOT/} (32-bit installer, runs on every Windows)"
    # The installer that the wine here can run: the same script built for 64-bit Windows when
    # 32-bit programs do not run.
    SETUP_RUN=$KIT_SETUP
    if [ "$WINE32_OK" != 1 ]; then
      SETUP_RUN="$KIT_DIR/Moldrin-$VERSION-setup64-check.exe"
      makensis_kit amd64-unicode "$SETUP_RUN" || { fail "the 64-bit build of the installer"; SETUP_RUN=; }
      say "no 32-bit wine: the install is checked with the same installer built for 64-bit"
    fi
    if [ "$WINE_OK" = 1 ] && [ -n "$SETUP_RUN" ]; then
      DEST="$WINEPREFIX/drive_c/MoldrinKit"
      rm -rf "$DEST"
      timeout 300 "$WINE" "$SETUP_RUN" /S '/D=C:\MoldrinKit' >"$LOGS/setup.log" 2>&1
      wineserver -w
      missing=
      for f in bin32/Moldrin.dll lib32/Moldrin.lib bin64/Moldrin.dll lib64/Moldrin.lib include/moldrin.h \
               bin32/MoldrinOps.dll lib32/MoldrinOps.lib bin64/MoldrinOps.dll lib64/MoldrinOps.lib \
               include/moldrin_ops.h pascal/Moldrin.pas pascal/MoldrinOps.pas csharp/Moldrin.cs csharp/MoldrinOps.cs \
               examples/sell_coupon.c doc/README.md doc/fiscal_day.md LICENSE.txt uninstall.exe; do
        [ -f "$DEST/$f" ] || missing="$missing $f"
      done
      if [ -n "$missing" ]; then
        fail "the silent install left out:$missing"
      else
        say "installed silently under wine into C:\\MoldrinKit: every file of the kit"
        # The smoke run: the C programs linked above, beside the installed DLLs.
        for bits in 64 32; do
          [ $bits = 32 ] && [ "$WINE32_OK" != 1 ] && continue
          cp "$ROOT/build-win$bits/link_test.exe" "$ROOT/build-win$bits/ops_link_test.exe" "$DEST/bin$bits/"
          run_wine_test installed$bits "$DEST/bin$bits/link_test.exe"
          run_ops_test installed-ops$bits "$DEST/bin$bits/ops_link_test.exe"
          rm -f "$DEST/bin$bits/link_test.exe" "$DEST/bin$bits/ops_link_test.exe"
        done
        timeout 120 "$WINE" "$DEST/uninstall.exe" /S '_?=C:\MoldrinKit' >>"$LOGS/setup.log" 2>&1
        wineserver -w
        rm -f "$DEST/uninstall.exe"
        if [ -e "$DEST/bin64" ] || [ -e "$DEST/include" ]; then fail "the uninstaller left the kit"; else
          say "uninstalled silently: the kit's files are gone"; fi
      fi
    fi
  else
    fail "makensis"
  fi
fi

# ---- Verdict ------------------------------------------------------------------------------
say "took $(( $(date +%s) - START )) s"
if [ ${#FAILED[@]} -ne 0 ]; then
  say "FAILED: ${FAILED[*]}"
  exit 1
fi
say "all steps that ran passed"
exit 0
