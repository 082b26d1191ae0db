#!/usr/bin/env bash
# `make package` gives a Debian package that, unpacked into a scratch root,
# holds pxq (stripped) in usr/bin, the stub in usr/share/pxq, README,
# copyright and changelog in usr/share/doc/pxq and the manual page that
# `man pxq` shows, which holds every --help text; its pxq packs with that
# stub without --stub. The installer library for Windows is in
# usr/share/pxq/sdk, and its example links against it as its Makefile says.
# `make package` is a tool-only build (PXQ_TESTS=OFF) with no test program.
# Needs PXQ_BUILD_DIR.
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
for file in usr/share/doc/pxq/README.md usr/share/doc/pxq/copyright usr/share/doc/pxq/changelog.gz \
  usr/share/man/man1/pxq.1.gz; do
  grep -q " ./$file\$" "$work/contents" || { cat "$work/contents"; fail "no $file"; }
done
sdk=usr/share/pxq/sdk
for file in $sdk/include/pxq/installer_data.h $sdk/lib/i686/libpxq_installer_data.a \
  $sdk/lib/x86_64/libpxq_installer_data.a $sdk/example/example_installer.c $sdk/example/Makefile \
  $sdk/example/CMakeLists.txt $sdk/cmake/PxqInstallerDataConfig.cmake $sdk/cmake/PxqInstallerDataConfigVersion.cmake \
  $sdk/lib/i686/pkgconfig/pxq-installer-data.pc $sdk/lib/x86_64/pkgconfig/pxq-installer-data.pc; do
  grep -q " ./$file\$" "$work/contents" || { cat "$work/contents"; fail "no $file"; }
done
dpkg-deb -f "$deb" Package Version Depends
# pxq loads libcrypto only for signatures, so no link names it: Depends must.
dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "Depends does not name libcrypto's package"
dpkg-deb -f "$deb" Depends | grep -q 'liblzma5' || fail "Depends does not name liblzma's package"
dpkg-deb -x "$deb" "$work/root"
cmp "$work/root/usr/share/pxq/pxq-loader.exe" "$PXQ_BUILD_DIR/bin/pxq-loader.exe" || fail "the packaged stub differs"

# The SDK: the header is the library's own, and the example links against
# the installed archive of each architecture through the installed Makefile
# (run elsewhere: the tree is read-only), into a Windows program of that
# machine that needs no other DLL than kernel32 and msvcrt.
cmp "$work/root/$sdk/include/pxq/installer_data.h" "$PXQ_SOURCE_DIR/include/pxq/installer_data.h" ||
  fail "the packaged header differs"
grep -Fq -- '-w64-mingw32-gcc -municode -I include example/example_installer.c lib/ARCH/libpxq_installer_data.a' \
  "$work/root/$sdk/example/Makefile" || fail "the SDK's Makefile does not say how to link"
for arch in x86_64 i686; do
  mkdir "$work/example-$arch"
  make -s -C "$work/example-$arch" -f "$work/root/$sdk/example/Makefile" ARCH=$arch >"$work/link.log" 2>&1 ||
    { cat "$work/link.log"; fail "the $arch example does not link against the installed archive"; }
  program=$work/example-$arch/example-installer-$arch.exe
  format=$("$arch-w64-mingw32-objdump" -f "$program" | sed -n 's/.*file format //p')
  case "$arch:$format" in
    x86_64:pei-x86-64 | i686:pei-i386) ;;
    *) fail "the $arch example is $format" ;;
  esac
  imports=$("$arch-w64-mingw32-objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
  [ "$imports" = "kernel32.dll msvcrt.dll " ] || fail "the $arch example imports $imports"
done

pxq=$work/root/usr/bin/pxq
# Debug info is split off, not installed.
if readelf -S "$pxq" | grep -q '\.debug_'; then fail "usr/bin/pxq carries debug info"; fi
readelf -S "$pxq" | grep -q '\.gnu_debuglink' || fail "usr/bin/pxq names no split-off debug file"

# The manual page that `man pxq` finds holds every --help text, line by line.
man=$work/root/usr/share/man
if command -v man >/dev/null; then
  MANWIDTH=200 LC_ALL=C.UTF-8 man -M "$man" -P cat pxq >"$work/manual" 2>"$work/man.err" || { cat "$work/man.err"; fail "man pxq"; }
else
  echo "man is not installed: the page is rendered with nroff"
  zcat "$man/man1/pxq.1.gz" | MANWIDTH=200 nroff -man -rLL=200n >"$work/manual"
fi
sed 's/^ *//' "$work/manual" >"$work/manual-lines"
for command in "" pack list extract run tag; do
  # shellcheck disable=SC2086
  "$pxq" $command --help | sed 's/^ *//' | grep -v '^$' | while IFS= read -r line; do
    grep -Fxq -- "$line" "$work/manual-lines" || fail "the manual lacks 'pxq $command --help' line: $line"
  done
done
grep -q "^PXQ(1)" "$work/manual" || fail "the manual page is not pxq(1)"
"$pxq" --version | tee "$work/version"
grep -q "^pxq $PXQ_VERSION$" "$work/version" || fail "--version"
grep -q "^stub: $work/root/usr/bin/../share/pxq/pxq-loader.exe (pxq stub " "$work/version" || fail "--version's stub"
grep -q "^installer SDK: $work/root/usr/share/pxq/sdk (" "$work/version" || fail "--version's installer SDK"
grep -q "/usr/share/pxq/sdk" "$work/manual" || fail "the manual page does not name the installer SDK"
printf '#!/bin/sh\necho installed\n' >"$work/setup.sh"
"$pxq" pack -q -o "$work/setup.exe" --generic "$work/setup.sh"
"$pxq" list "$work/setup.exe" >"$work/list" || { cat "$work/list"; fail "list"; }
grep -q '^stub *pxq stub' "$work/list" || { cat "$work/list"; fail "not packed with the pxq stub"; }
out=$(TMPDIR=$work "$pxq" run "$work/setup.exe")
[ "$out" = installed ] || fail "run gave '$out'"

# `make package` builds pxq and its stub only: a tree configured as it does
# has no test program, benchmark or fuzz driver among its targets.
grep -q -- '-DPXQ_TESTS=OFF' <(make -s -n -C "$PXQ_SOURCE_DIR" package BUILD="$work/tool-only") ||
  fail "make package does not configure a tool-only build"
cmake -S "$PXQ_SOURCE_DIR" -B "$work/tool-only" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPXQ_TESTS=OFF \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure with PXQ_TESTS=OFF"; }
cmake --build "$work/tool-only" --target help >"$work/targets"
grep -q '^\.\.\. pxq$' "$work/targets" || { cat "$work/targets"; fail "the tool-only build has no pxq"; }
grep -q '^\.\.\. pxq_stub$' "$work/targets" || { cat "$work/targets"; fail "the tool-only build has no stub"; }
grep -q '^\.\.\. pxq_installer_sdk$' "$work/targets" || { cat "$work/targets"; fail "the tool-only build has no SDK"; }
if grep -E '^\.\.\. (.*_tests|pxq_testing|pxq_test_support|pxq_loader_x64|pxq_bench_.*|pxq_bitflip|.*fuzz.*)$' "$work/targets"; then
  fail "the tool-only build has test targets"
fi
echo "package $(basename "$deb"): installed pxq packs with its installed stub; its manual page holds --help;" \
  "installers link against its SDK"
