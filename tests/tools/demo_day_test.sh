#!/usr/bin/env bash
# The main job's whole day (scripts/demo_day.sh) with programs and a key of this
# test's own, and its fiscal file's EAD line checked by OpenSSL's RSA public
# operation instead of the library's: tests/tools/demo_day_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# The key is looked for beside the programs that sign: copies of them, so that
# the key made here lies beside nothing else.
mkdir "$work/bin" "$work/root"
cp "$build/moldrin" "$build/pos_demo" "$work/bin/"
export MOLDRIN_ROOT="$work/root"
start=$SECONDS
bash "$src/scripts/demo_day.sh" "$work/bin" >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; fail "the day did not run"; }
[ $((SECONDS - start)) -le 20 ] || fail "the day took $((SECONDS - start)) s"

finished="$MOLDRIN_ROOT/c/TALMA/RFD/S E F A Z - ArqDigital = [CD] & [Transmitir]"
shopt -s nullglob
files=("$finished"/TA*)
[ ${#files[@]} -eq 1 ] || { cat "$work/demo.out"; fail "${#files[@]} fiscal files, not 1"; }
fiscal=${files[0]}
grep -qxF "$fiscal" "$work/demo.out" || fail "the demo did not name its fiscal file"
grep -qF "verify: 0 signed / signature valid" "$work/demo.out" || fail "the demo's own check did not pass"
grep -qF "coupons: 5 (1 cancelled)" "$work/demo.out" || fail "no summary of the day's coupons"
grep -qF "MOLDRIN_ROOT=$MOLDRIN_ROOT" "$work/demo.out" || fail "the demo did not name its root"

# The signed content is everything before "EAD"; the line is 3 + 256 + CR LF bytes.
size=$(stat -c %s "$fiscal")
[ "$(tail -c 261 "$fiscal" | head -c 3)" = EAD ] || fail "the last line is not the EAD line"
[ "$(tail -c 2 "$fiscal" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || fail "the EAD line does not end in CR LF"
head -c $((size - 261)) "$fiscal" >"$work/content"
hex=$(tail -c 258 "$fiscal" | head -c 256)
printf '%b' "$(printf '%s' "$hex" | sed 's/../\\x&/g')" >"$work/signature"
[ "$(stat -c %s "$work/signature")" -eq 128 ] || fail "the signature is not 128 bytes"

"$work/bin/moldrin" pubkey --key "$work/bin/RSA.BIN" >"$work/public.pem"
openssl pkey -pubin -in "$work/public.pem" -noout || fail "OpenSSL does not read the public key"
openssl pkeyutl -verifyrecover -pubin -inkey "$work/public.pem" -pkeyopt rsa_padding_mode:pkcs1 \
  -in "$work/signature" -out "$work/recovered" || fail "OpenSSL finds no PKCS#1 type 1 block in the signature"

# What must be inside: the MD5 DigestInfo and the first half of the content's
# digest written in upper-case hexadecimal.
expected() {
  local md5
  md5=$(openssl dgst -md5 -r "$1" | cut -c1-32 | tr a-f A-F)
  printf '\x30\x20\x30\x0c\x06\x08\x2a\x86\x48\x86\xf7\x0d\x02\x05\x05\x00\x04\x10%s' "${md5:0:16}"
}
expected "$work/content" >"$work/expected"
cmp -s "$work/expected" "$work/recovered" || fail "the signature does not match the file's content"

# A sale's net value touched: the signature no longer matches.
sed '0,/^E14/s/^\(E14.\{105\}\)\(.\)/\1X/' "$work/content" >"$work/forged"
cmp -s "$work/content" "$work/forged" && fail "the forgery changed nothing"
expected "$work/forged" | cmp -s - "$work/recovered" && fail "a changed file still matches"
echo "demo day: fiscal file signed, OpenSSL agrees"
