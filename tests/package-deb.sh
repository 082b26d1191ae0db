#!/usr/bin/env bash
# `make package` gives a Debian package that, unpacked into a scratch root,
# holds pxq in usr/bin and the stub in usr/share/pxq, and whose pxq packs
# with that stub without --stub. Needs PXQ_BUILD_DIR.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$PXQ_BUILD_DIR"
cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work/out"/pxq_*.deb)
dpkg-deb -c "$deb" >"$work/contents"
grep -q ' ./usr/bin/pxq$' "$work/contents" || { cat "$work/contents"; fail "no usr/bin/pxq"; }
grep -q ' ./usr/share/pxq/pxq-loader.exe$' "$work/contents" || { cat "$work/contents"; fail "no stub"; }
dpkg-deb -f "$deb" Package Version Depends
# pxq loads libcrypto only for signatures, so no link names it: Depends must.
dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "Depends does not name libcrypto's package"
dpkg-deb -f "$deb" Depends | grep -q 'liblzma5' || fail "Depends does not name liblzma's package"
dpkg-deb -x "$deb" "$work/root"
cmp "$work/root/usr/share/pxq/pxq-loader.exe" "$PXQ_BUILD_DIR/bin/pxq-loader.exe" || fail "the packaged stub differs"

pxq=$work/root/usr/bin/pxq
"$pxq" --version | tee "$work/version"
grep -q "^pxq $PXQ_VERSION$" "$work/version" || fail "--version"
grep -q "^stub: $work/root/usr/bin/../share/pxq/pxq-loader.exe (pxq stub " "$work/version" || fail "--version's stub"
printf '#!/bin/sh\necho installed\n' >"$work/setup.sh"
"$pxq" pack -q -o "$work/setup.exe" --generic "$work/setup.sh"
"$pxq" list "$work/setup.exe" >"$work/list" || { cat "$work/list"; fail "list"; }
grep -q '^stub *pxq stub' "$work/list" || { cat "$work/list"; fail "not packed with the pxq stub"; }
out=$(TMPDIR=$work "$pxq" run "$work/setup.exe")
[ "$out" = installed ] || fail "run gave '$out'"
echo "package $(basename "$deb"): installed pxq packs with its installed stub"
