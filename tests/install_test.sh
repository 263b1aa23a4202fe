#!/usr/bin/env bash
# Installs a PowerPC build tree the way a root-filesystem build does (cmake --install with
# DESTDIR) and checks what lands: the board's programs in sbin, each a 32-bit big-endian PowerPC
# executable, and nothing else.
#   install_test.sh CMAKE BUILD_TREE
set -euo pipefail
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$1" --install "$2" --prefix /usr >/dev/null
found=$(cd "$dest" && find . ! -type d | sort)
expected=$(printf './usr/sbin/%s\n' kvzboot kvzmgmt kvzrx)
[ "$found" = "$expected" ] || { printf 'installed:\n%s\n' "$found" >&2; exit 1; }
for f in $found; do
  # ELF, 32-bit, big-endian; type executable (2) or position-independent (3); machine PowerPC.
  h=$(od -An -tx1 -N20 "$dest/$f" | tr -d ' \n')
  [ -x "$dest/$f" ] && [[ $h == 7f454c460102????????????????????000[23]0014 ]] ||
    { echo "$f is not a PowerPC executable: $h" >&2; exit 1; }
done
