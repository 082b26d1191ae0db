# Shared helpers of the Wine tests: one Wine prefix per test script (made
# once under the build tree and kept), packing with the build's pxq, running
# loaders headless and reading what the stand-in installer recorded.
#
# Environment (set by CTest): PXQ_BIN_DIR (pxq, pxq-loader.exe),
# PXQ_WINE_PROGRAMS (the test's Windows programs), PXQ_WINE_WORK (work area).
set -uo pipefail

: "${PXQ_BIN_DIR:?}" "${PXQ_WINE_PROGRAMS:?}" "${PXQ_WINE_WORK:?}"
PXQ=$PXQ_BIN_DIR/pxq
STUB=$PXQ_BIN_DIR/pxq-loader.exe
PROGRAMS=$PXQ_WINE_PROGRAMS

failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    fail "$1: expected [$2], got [$3]"
  fi
}

# expect_match WHAT EXTENDED-REGEX ACTUAL
expect_match() {
  checks=$((checks + 1))
  if ! [[ $3 =~ $2 ]]; then
    fail "$1: [$3] does not match [$2]"
  fi
}

finish() {
  # This script's own Wine server (its prefix's), which would otherwise
  # linger for a while holding the test's output open.
  if [ -n "${PXQ_PREFIX_IN_USE:-}" ]; then wineserver -k 2>/dev/null; fi
  if [ "$failures" -ne 0 ]; then
    echo "$failures of $checks checks failed" >&2
    exit 1
  fi
  echo "all $checks checks passed"
  exit 0
}

# Makes (once) and selects this script's Wine prefix. $1: a name; $2: win32
# or win64. Headless: without a display the loader's message box returns at
# once, so failures end with their exit code.
use_prefix() {
  if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    echo "Wine is not installed: skipped" >&2
    exit 77
  fi
  unset DISPLAY WAYLAND_DISPLAY
  export LC_ALL=C.UTF-8
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$2
  export WINEPREFIX=$PXQ_WINE_WORK/prefix-$1
  PXQ_PREFIX_IN_USE=1
  if [ ! -f "$WINEPREFIX/.pxq-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$PXQ_WINE_WORK"
    echo "creating the Wine prefix $WINEPREFIX ($2)"
    if ! wineboot -i >/dev/null 2>&1 || ! wineserver -w; then
      echo "wineboot failed for $WINEPREFIX" >&2
      exit 1
    fi
    touch "$WINEPREFIX/.pxq-ready"
  fi
  WORK=$PXQ_WINE_WORK/$1
  rm -rf "$WORK"
  mkdir -p "$WORK"
  # The Windows temporary directory, where the loader puts its copy.
  TEMP_DIR=$WINEPREFIX/drive_c/users/$(id -un)/Temp
}

# The Windows name of a Unix path.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The Unix name of a path on the prefix's C: drive.
unixpath() {
  local path=${1//\\//}
  printf '%s/drive_c%s' "$WINEPREFIX" "${path#C:}"
}

# pack OUT [pxq pack options...]
pack() {
  local out=$1
  shift
  if ! "$PXQ" pack -o "$out" "$@" >/dev/null; then
    fail "pxq pack -o $out $*"
    return 1
  fi
}

# run_loader LOADER [ARGS...]: runs it headless with a fresh record file;
# sets STATUS (the exit code), MESSAGES (the loader's debugger output) and
# the RECORD_* fields of what the installer recorded (empty when it did not
# run). PXQ_TEST_EXIT in the environment sets the installer's exit code.
run_loader() {
  local loader=$1
  shift
  local record=$WORK/record.txt
  rm -f "$record"
  # Wine's own processes outlive the run and keep its output open: a file,
  # not a pipe, so that nothing waits for them.
  PXQ_TEST_RECORD=$(winpath "$record") WINEDEBUG=-all,warn+debugstr \
    timeout 120 wine "$loader" "$@" >/dev/null 2>"$WORK/stderr.txt"
  STATUS=$?
  MESSAGES=$(sed -n 's/^.*OutputDebugStringA "\(.*\)"$/\1/p' "$WORK/stderr.txt")
  RECORD_BUILD= RECORD_COMMAND_LINE= RECORD_MODULE= RECORD_ATTRIBUTES= RECORD_LAST_WRITE= RECORD_PARENT=
  RECORD_OWN_FOUND=
  if [ -f "$record" ]; then
    local key value
    while IFS='=' read -r key value; do
      case $key in
        build) RECORD_BUILD=$value ;;
        command_line) RECORD_COMMAND_LINE=$value ;;
        module) RECORD_MODULE=$value ;;
        attributes) RECORD_ATTRIBUTES=$value ;;
        last_write) RECORD_LAST_WRITE=$value ;;
        parent_pid) RECORD_PARENT=$value ;;
        own_path_found) RECORD_OWN_FOUND=$value ;;
      esac
    done <"$record"
  fi
}

# The files the loader left in the temporary directory.
temp_leftovers() { find "$TEMP_DIR" -maxdepth 1 -type f -name '*.exe' 2>/dev/null | sort; }

# Writes BYTES (printf escapes) into FILE at OFFSET.
patch_bytes() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# The offset of the first occurrence of a byte string (printf escapes) in FILE.
find_bytes() { LC_ALL=C grep -obUaP "$2" "$1" | head -1 | cut -d: -f1; }
