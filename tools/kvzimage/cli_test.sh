#!/usr/bin/env bash
# Runs the kvzimage executable end to end: create, list, verify, extract, and the failures a
# release script relies on (status codes, one error line). Arguments: the command that runs
# kvzimage (an emulator and its options first, for a cross build).
set -uo pipefail

kvz=("$@")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect STATUS CMD...: runs kvzimage, keeps stdout and stderr in $dir/out and $dir/err.
expect() {
  local want=$1
  shift
  "${kvz[@]}" "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "kvzimage $* exited $got, expected $want: $(cat "$dir/err")"
}

head -c 1000 /dev/urandom >"$dir/app.bin"
head -c 300 /dev/urandom >"$dir/uboot.bin"

expect 0 create "$dir/b.kvz" app:1.2.3.4:"$dir/app.bin" uboot,hdrlen=32:2.0.0.1:"$dir/uboot.bin"
[ -f "$dir/b.kvz.tmp" ] && fail "create left its temporary file"
size=$(stat -c %s "$dir/b.kvz")
[ "$size" -eq $((16 + 1000 + 32 + 300)) ] || fail "bundle is $size bytes"

expect 0 list "$dir/b.kvz"
grep -Eq '^1 +0 +APPLICATION +1\.2\.3\.4 +1000 +std 16 +good$' "$dir/out" || fail "list row 1"
grep -Eq '^2 +1016 +UBOOT +2\.0\.0\.1 +300 +ext 32 +good$' "$dir/out" || fail "list row 2"
[ "$(wc -l <"$dir/out")" -eq 3 ] || fail "list printed $(wc -l <"$dir/out") lines"

expect 0 verify "$dir/b.kvz"
expect 0 extract "$dir/b.kvz" 1 "$dir/app.out"
cmp -s "$dir/app.bin" "$dir/app.out" || fail "extracted payload differs"
expect 0 extract "$dir/b.kvz" 2 "$dir/uboot.out"
cmp -s -n 240 "$dir/uboot.bin" "$dir/uboot.out" || fail "uboot payload before 240 differs"

# One payload byte flipped: verify fails and names the record.
cp "$dir/b.kvz" "$dir/bad.kvz"
printf '\x5a' | dd of="$dir/bad.kvz" bs=1 seek=500 conv=notrunc status=none
expect 1 verify "$dir/bad.kvz"
grep -q '^record 1 at offset 0 (APPLICATION): checksum bad$' "$dir/out" || fail "verify report"
grep -q '^kvzimage: ' "$dir/err" || fail "verify error line"
expect 1 extract "$dir/bad.kvz" 1 "$dir/bad.out"
[ -e "$dir/bad.out" ] && fail "extract of a bad record left a file"

expect 2 frobnicate
[ "$(cat "$dir/err")" = "kvzimage: unknown command 'frobnicate' (see 'kvzimage --help')" ] ||
  fail "unknown command message: $(cat "$dir/err")"
expect 1 list "$dir/missing"
[ "$(cat "$dir/err")" = "kvzimage: $dir/missing: No such file or directory" ] ||
  fail "missing file message: $(cat "$dir/err")"
expect 0 --help
grep -q '^  extract FILE N OUT' "$dir/out" || fail "help lists extract"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "kvzimage cli: all checks passed"
