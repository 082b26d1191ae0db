#!/usr/bin/env bash
# Two build trees at different paths give the same
# pxq-VERSION-windows-x64.zip, byte for byte. The second tree, made here
# under another path, builds what the zip holds again: pxq.exe (cmake/tool,
# without its tests) and the installer SDK (its archives and example
# programs); the stub's own reproducibility is stub_reproducible's, so the
# second zip takes the first tree's stub. Each zip is written by
# scripts/windows-zip from its own tree's files, some seconds apart, with
# and without SOURCE_DATE_EPOCH.
# Needs PXQ_SOURCE_DIR, PXQ_BINARY_DIR (the first tree), PXQ_VERSION; run
# by `make package` on its tree (not by CTest: compiling pxq.exe a second
# time, at a path that shares no compiler-cache entries, takes minutes).
set -euo pipefail
src=$PXQ_SOURCE_DIR
first=$PXQ_BINARY_DIR
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
second=$work/another/build-tree

# The host's header-only libraries, as cmake/windows-tool.cmake links them.
mkdir -p "$second/headers" "$second/bin"
ln -s "$(readlink "$first/windows-tool-headers/CLI")" "$second/headers/CLI"
ln -s "$(readlink "$first/windows-tool-headers/nlohmann")" "$second/headers/nlohmann"
cmake -S "$src/cmake/tool" -B "$second/windows-tool" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DPXQ_SOURCE_DIR="$src" -DPXQ_OUTPUT_DIR="$second/bin" -DPXQ_VERSION="$PXQ_VERSION" \
  -DPXQ_HEADERS_DIR="$second/headers" -DPXQ_TESTS=OFF >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$second/windows-tool" --target pxq -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
bash "$src/scripts/build-installer-sdk" "$second/installer-sdk" >"$work/sdk.log" 2>&1 || { cat "$work/sdk.log"; exit 1; }
cp "$first/bin/pxq-loader.exe" "$second/bin/"

status=0
for epoch in "" 1767225600; do
  zip() {
    env ${epoch:+SOURCE_DATE_EPOCH=$epoch} python3 "$src/scripts/windows-zip" "$1" "$2/bin" "$2/installer-sdk" \
      "$src/README.md" "$src/packaging/copyright"
  }
  zip "$work/first.zip" "$first"
  sleep 1
  zip "$work/second.zip" "$second"
  if ! cmp -s "$work/first.zip" "$work/second.zip"; then
    echo "FAIL: two build trees give different zips (SOURCE_DATE_EPOCH=${epoch:-unset}); members that differ:"
    python3 - "$work/first.zip" "$work/second.zip" <<'EOF'
import sys, zipfile
a, b = (zipfile.ZipFile(path) for path in sys.argv[1:3])
for info in a.infolist():
    other = b.getinfo(info.filename) if info.filename in b.namelist() else None
    if other is None or a.read(info) != b.read(other) or info.date_time != other.date_time:
        print("  " + info.filename)
EOF
    status=1
  fi
done
# The zip the first tree's build wrote (make package), where there is one,
# is the one written here without SOURCE_DATE_EPOCH.
built=$first/pxq-$PXQ_VERSION-windows-x64.zip
if [ -f "$built" ] && [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  python3 "$src/scripts/windows-zip" "$work/again.zip" "$first/bin" "$first/installer-sdk" "$src/README.md" \
    "$src/packaging/copyright"
  cmp -s "$built" "$work/again.zip" || { echo "FAIL: $built differs from the zip written again from its tree"; status=1; }
fi
[ "$status" = 0 ] && echo "pxq-$PXQ_VERSION-windows-x64.zip identical across build trees ($(stat -c %s "$work/first.zip") bytes)"
exit "$status"
