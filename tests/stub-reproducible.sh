#!/usr/bin/env bash
# Two build trees give the same stub, byte for byte, and so the same loader
# file from the same inputs (packed after a touch, with SOURCE_DATE_EPOCH).
# The second tree builds the stub only. Needs PXQ_SOURCE_DIR, PXQ_BIN_DIR.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$PXQ_SOURCE_DIR
cmake -S "$src/cmake/stub" -B "$work/stub" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DPXQ_SOURCE_DIR="$src" -DPXQ_OUTPUT_DIR="$work/bin" \
  -DPXQ_TEST_OUTPUT_DIR="$work/programs" -DPXQ_VERSION="$PXQ_VERSION" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/stub" --target pxq-loader-unstripped -j2 >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
first=$PXQ_BIN_DIR/pxq-loader.exe
second=$work/bin/pxq-loader.exe
cmp "$first" "$second" || { echo "FAIL: two build trees give different stubs"; exit 1; }

mkdir "$work/in"
head -c 100000 /dev/urandom >"$work/in/setup64.exe"
printf 'generic build\n' >"$work/in/setup.exe"
pack() {
  SOURCE_DATE_EPOCH=1700000000 "$PXQ_BIN_DIR/pxq" pack -q --stub "$1" -o "$2" \
    --nt-x64 "$work/in/setup64.exe" --generic "$work/in/setup.exe"
}
pack "$first" "$work/a.exe"
sleep 1
touch "$work/in/setup64.exe" "$work/in/setup.exe"
pack "$second" "$work/b.exe"
cmp "$work/a.exe" "$work/b.exe" || { echo "FAIL: the loader files differ"; exit 1; }
echo "stub and loader file identical across build trees ($(stat -c %s "$second") and $(stat -c %s "$work/b.exe") bytes)"
