#!/usr/bin/env bash
# Makes the host tools' Debian package from a host build tree, unpacks it into a scratch root and
# runs the tools from there: kvzimage makes and verifies a bundle, kvzsim makes a board and boots
# it with the launcher the package carries.
#   package_test.sh BUILD_TREE
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$1" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/kvzboot-tools_*.deb)
dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
head -c 5000 /dev/urandom >"$work/payload"
"$bin/kvzimage" create "$work/b.img" "kernel:1.2.3.4:$work/payload" >/dev/null
"$bin/kvzimage" verify "$work/b.img" | grep -qx "1 record good"
"$bin/kvzsim" init "$work/board"
"$bin/kvzsim" boot "$work/board" --time-scale 20 </dev/null | grep -qx "kvzsample: application 1.1.0.0 is running"
# Nothing lands in the system's own library folders.
found=$(cd "$work/root" && find . -name '*.so*' ! -path './usr/lib/*/kvzsim/*' ! -path './usr/lib/kvzsim/*')
[ -z "$found" ] || { echo "libraries outside kvzsim's folder: $found" >&2; exit 1; }
