#!/usr/bin/env bash
# The installer SDK as an installer author uses it, for each architecture:
# - each archive exports only Pxq* names (nm -g --defined-only), so that
# - an installer that defines names the library uses inside (activePlatform,
#   lzma_code) links against it;
# - the example builds with the SDK's CMake package (find_package with the
#   mingw-w64 toolchain file), and with its pkg-config file, into a PE of
#   that machine that imports kernel32.dll and msvcrt.dll only;
# - the package's version check takes 1.0 and refuses 2.0.
# Needs PXQ_SDK_DIR and PXQ_SOURCE_DIR.
set -euo pipefail
sdk=${PXQ_SDK_DIR:?}
src=${PXQ_SOURCE_DIR:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check_program WHAT ARCH FILE: a PE of ARCH's machine importing only kernel32 and msvcrt.
check_program() {
  local what=$1 arch=$2 program=$3
  [ -f "$program" ] || { fail "$what: no $program"; return; }
  local format imports
  format=$("$arch-w64-mingw32-objdump" -f "$program" | sed -n 's/.*file format //p')
  case "$arch:$format" in
    x86_64:pei-x86-64 | i686:pei-i386) ;;
    *) fail "$what: the program is $format" ;;
  esac
  imports=$("$arch-w64-mingw32-objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
  [ "$imports" = "kernel32.dll msvcrt.dll " ] || fail "$what: the program imports $imports"
}

cat >"$work/own-names.c" <<'EOF'
/* An installer with globals of its own whose names the library uses inside. */
#include <stdio.h>
#include "pxq/installer_data.h"
void* activePlatform = 0;
int lzma_code(void* stream, int action) { return stream == 0 ? action : 0; }
int wmain(void) {
  PxqData* data = NULL;
  uint32_t code = PxqDataOpen(L"missing.exe", &data);
  printf("%u %d %p %s\n", code, lzma_code(NULL, 3), activePlatform, PxqDataMessage(data));
  PxqDataClose(data);
  return 0;
}
EOF

for arch in i686 x86_64; do
  host=$arch-w64-mingw32
  archive=$sdk/lib/$arch/libpxq_installer_data.a
  # Only Pxq* names (i686 names carry a leading underscore).
  exported=$("$host-nm" -g --defined-only "$archive" | awk 'NF == 3 { print $3 }')
  stray=$(printf '%s\n' "$exported" | grep -Ev '^_?Pxq' || true)
  [ -z "$stray" ] || fail "$arch: the archive exports names other than Pxq*: $(printf '%s\n' "$stray" | head -5 | tr '\n' ' ')"
  for call in PxqDataOpen PxqDataExtractAllEx PxqLoaderInvocation PxqDataVersion; do
    printf '%s\n' "$exported" | grep -Eq "^_?$call\$" || fail "$arch: the archive does not export $call"
  done
  echo "$arch: $(printf '%s\n' "$exported" | grep -c .) names exported"

  "$host-gcc" -municode -Wall -Werror -I"$sdk/include" "$work/own-names.c" "$archive" -o "$work/own-names-$arch.exe" \
    >"$work/link.log" 2>&1 || fail "$arch: an installer with its own activePlatform and lzma_code does not link: $(head -3 "$work/link.log")"

  # The CMake package, from the SDK's own example folder.
  cmake -S "$sdk/example" -B "$work/cmake-$arch" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-$arch.cmake" \
    -DPxqInstallerData_DIR="$sdk/cmake" >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake-$arch" >>"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log"; fail "$arch: the example does not build with find_package(PxqInstallerData)"; }
  check_program "$arch with CMake" "$arch" "$work/cmake-$arch/example-installer.exe"

  # pkg-config, as the .pc file says.
  flags=$(PKG_CONFIG_PATH="$sdk/lib/$arch/pkgconfig" pkg-config --cflags --libs pxq-installer-data) ||
    fail "$arch: pkg-config does not know pxq-installer-data"
  # shellcheck disable=SC2086 # the flags are words
  "$host-gcc" -municode -Wall -Werror "$sdk/example/example_installer.c" $flags -o "$work/pc-$arch.exe" \
    >"$work/pc.log" 2>&1 || fail "$arch: the example does not build with pkg-config's flags ($flags): $(head -3 "$work/pc.log")"
  check_program "$arch with pkg-config" "$arch" "$work/pc-$arch.exe"
  [ "$(PKG_CONFIG_PATH="$sdk/lib/$arch/pkgconfig" pkg-config --modversion pxq-installer-data)" = \
    "$(sed -n 's/^#define PXQ_DATA_VERSION "\(.*\)"$/\1/p' "$sdk/include/pxq/installer_data.h")" ] ||
    fail "$arch: pkg-config's version is not the header's"
done

# The version file: the same major version from this one down.
for wanted in 1.0:yes 2.0:no 99.0:no; do
  mkdir -p "$work/version-${wanted%%:*}"
  cat >"$work/version-${wanted%%:*}/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(version_check C)
find_package(PxqInstallerData ${wanted%%:*} QUIET)
message(STATUS "found=\${PxqInstallerData_FOUND}")
EOF
  found=$(cmake -S "$work/version-${wanted%%:*}" -B "$work/version-${wanted%%:*}/build" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-x86_64.cmake" -DPxqInstallerData_DIR="$sdk/cmake" 2>&1 |
    sed -n 's/^-- found=//p')
  case "${wanted##*:}:$found" in
    yes:1 | no:0 | no:) ;;
    *) fail "find_package(PxqInstallerData ${wanted%%:*}) gives found=$found" ;;
  esac
done

[ "$failures" = 0 ] || exit 1
echo "installer SDK: symbols, own names, CMake package and pkg-config checked for i686 and x86_64"
