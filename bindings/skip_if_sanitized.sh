#!/usr/bin/env bash
# Exits 77 ("skipped") when the library in LIBRARY_DIR is built with a sanitizer: its runtime
# must be the first library of a process, so it cannot be loaded into python, mono or a
# Pascal program.   bindings/skip_if_sanitized.sh LIBRARY_DIR
if ldd "$1/libmoldrin.so" 2>/dev/null | grep -qE 'lib(a|t|ub)san'; then
  echo "libmoldrin.so is built with a sanitizer: the binding tests are skipped"
  exit 77
fi
exit 0
