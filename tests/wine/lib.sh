# Shared helpers of the Wine tests: the leg's loader and programs, the build
# tree's shared Wine prefixes (made once by prefixes.sh, the suite's set-up,
# with a Wine server kept up for the suite), packing with the build's pxq,
# running loaders headless and reading what the stand-in installer recorded.
#
# Environment (set by CTest): PXQ_BIN_DIR (pxq, pxq-loader.exe),
# PXQ_WINE_PROGRAMS (the stub's 32-bit Windows programs), PXQ_WINDOWS_X64_DIR
# (the loader's x64 test build and its x64 programs), PXQ_WINE_WORK (work
# area), PXQ_WINE_LEG: x64 (the x64 test build, run natively by wine64) or x86
# (the shipped 32-bit stub, with its 32-bit programs).
set -uo pipefail

: "${PXQ_BIN_DIR:?}" "${PXQ_WINE_PROGRAMS:?}" "${PXQ_WINE_WORK:?}" "${PXQ_WINDOWS_X64_DIR:?}"
PXQ=$PXQ_BIN_DIR/pxq
WINE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# 64-bit Windows programs run with wine64 itself: the `wine` wrapper starts
# the 32-bit loader first, which may run only emulated here.
WINE64=/usr/lib/wine/wine64
SCRIPT_NAME=${PXQ_WINE_TEST:-$(basename "$0" .sh)-${PXQ_WINE_LEG:-x86}}
case ${PXQ_WINE_LEG:-x86} in
  x64)
    LEG=x64 STUB=$PXQ_WINDOWS_X64_DIR/pxq-loader-x64.exe PROGRAMS=$PXQ_WINDOWS_X64_DIR/programs
    WINE_RUN=$WINE64 ;;
  *)
    LEG=x86 STUB=$PXQ_BIN_DIR/pxq-loader.exe PROGRAMS=$PXQ_WINE_PROGRAMS
    WINE_RUN=wine ;;
esac

failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  # What the last loader run said, so that a failure seen once (under load,
  # say) can be told apart from a wrong result.
  if [ -n "${LAST_RUN:-}" ]; then
    echo "      last run: $LAST_RUN, exit ${STATUS:-?}; loader messages: [${MESSAGES:-}]" >&2
    if [ -s "${WORK:-}/stderr.txt" ]; then
      echo "      its last lines on standard error:" >&2
      tail -n 5 "$WORK/stderr.txt" | sed 's/^/        /' >&2
    fi
  fi
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

# LEG_NOTE: what the script could not check here, for the closing line.
finish() {
  local note=${LEG_NOTE:+ ($LEG_NOTE)}
  if [ "$failures" -ne 0 ]; then record_leg "$failures of $checks checks FAILED$note"; else record_leg "$checks checks$note"; fi
  if [ "$failures" -ne 0 ]; then
    echo "$failures of $checks checks failed" >&2
    exit 1
  fi
  echo "all $checks checks passed"
  exit 0
}

# How 32-bit x86 programs run here: native, emulated or none.
x86_32_mode() { bash "$WINE_LIB_DIR/../../scripts/x86-32-mode"; }

# record_leg TEXT: notes for the suite's closing line what this script did.
record_leg() {
  mkdir -p "$PXQ_WINE_WORK/legs"
  printf '%s\n' "$1" >"$PXQ_WINE_WORK/legs/$SCRIPT_NAME"
}

# skip_leg REASON: this script does not run here, and says why (the suite's
# closing line repeats it).
skip_leg() {
  echo "not run: $1"
  record_leg "not run: $1"
  exit 77
}

# require_tools TOOL...: the script is skipped (77) when one is missing.
require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "$tool is not installed: skipped" >&2
      exit 77
    fi
  done
}

# Wine itself: missing fails the test, unless PXQ_NO_WINE=1 says that this
# machine is meant to go without.
require_wine() {
  if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null || [ ! -x "$WINE64" ]; then
    if [ "${PXQ_NO_WINE:-0}" = 1 ]; then
      echo "Wine is not installed (PXQ_NO_WINE=1): skipped" >&2
      exit 77
    fi
    echo "Wine is not installed: run scripts/install-deps, or set PXQ_NO_WINE=1 to go without the Windows tests" >&2
    exit 1
  fi
}

# Selects one of the build tree's shared prefixes, made by prefixes.sh:
# $1 win64 or win32. Headless: without a display the loader's message box
# returns at once, so failures end with their exit code. The caller holds
# the prefix alone (CTest's resource lock); what it changes in the prefix it
# puts back, and prefixes.sh puts it back too.
use_prefix() {
  require_wine
  unset DISPLAY WAYLAND_DISPLAY
  export LC_ALL=C.UTF-8
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$1
  export WINEPREFIX=$PXQ_WINE_WORK/prefix-$1
  if [ ! -f "$WINEPREFIX/.pxq-ready" ]; then
    echo "the Wine prefix $WINEPREFIX is not made; the test wine_prefixes makes it (ctest runs it first)" >&2
    exit 1
  fi
  # The prefix's own programs (reg, cmd): 64-bit ones in a 64-bit prefix.
  if [ "$1" = win64 ]; then WINE_TOOL=$WINE64; else WINE_TOOL=wine; fi
  WORK=$PXQ_WINE_WORK/$SCRIPT_NAME
  rm -rf "$WORK"
  mkdir -p "$WORK"
  # The Windows temporary directory, where the loader puts its copy.
  TEMP_DIR=$WINEPREFIX/drive_c/users/$(id -un)/Temp
}

# The full suite's x86 leg runs where 32-bit code runs natively; elsewhere
# the smoke leg proves the stub, and the x64 leg runs the suite.
require_full_leg() {
  local mode
  if [ "$LEG" = x86 ] && [ "$(x86_32_mode)" != native ]; then
    mode=$(x86_32_mode)
    skip_leg "32-bit code runs $mode here (the x64 leg runs this suite; wine_stub_smoke proves the stub)"
  fi
}

# The prefix's server, ended and started anew: its next process is its
# first, and gets the first process id.
fresh_server() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  wineserver -p 300 </dev/null >/dev/null 2>&1
}

# The user's TEMP and TMP in the prefix, as made (the prefix's set-up keeps
# them); a test that changes them calls this on its way out.
restore_temp() {
  local name value
  while IFS='=' read -r name value; do
    value=${value#\"}; value=${value%\"}; value=${value//\\\\/\\}
    "$WINE_TOOL" reg add 'HKCU\Environment' /v "$name" /d "$value" /f >/dev/null 2>&1
  done <"$WINEPREFIX/.pxq-temp-default"
}

# The Windows name of a Unix path.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The Unix name of a path on the prefix's C: drive.
unixpath() {
  local path=${1//\\//}
  printf '%s/drive_c%s' "$WINEPREFIX" "${path#C:}"
}

# pack OUT [pxq pack options...]
# The leg's loader is the stub; the x64 leg's stand-in installers are x64
# images in every slot.
pack() {
  local out=$1
  shift
  local checks_option=()
  [ "$LEG" = x64 ] && checks_option=(--no-machine-check)
  if ! "$PXQ" pack -q -o "$out" --stub "$STUB" "${checks_option[@]}" "$@" >/dev/null; then
    fail "pxq pack -o $out $*"
    return 1
  fi
}

# run_loader LOADER [ARGS...]: runs it headless with a fresh record file;
# sets STATUS (the exit code), MESSAGES (the loader's debugger output), BOXES
# (how many dialog boxes, such as the loader's message box, were made) and
# the RECORD_* fields of what the installer recorded (empty when it did not
# run). PXQ_TEST_EXIT in the environment sets the installer's exit code.
run_loader() {
  local loader=$1
  shift
  local record=$WORK/record.txt
  rm -f "$record"
  # Wine's own processes outlive the run and keep its output open: a file,
  # not a pipe, so that nothing waits for them.
  local attempt
  for attempt in 1 2; do
    PXQ_TEST_RECORD=$(winpath "$record") WINEDEBUG=-all,warn+debugstr,trace+dialog \
      timeout "${PXQ_WINE_RUN_TIMEOUT:-120}" "$WINE_RUN" "$loader" "$@" >/dev/null 2>"$WORK/stderr.txt"
    STATUS=$?
    # Exit 1 with no word from the loader and no record from the installer
    # is Wine failing to start the process (seen only under heavy load): the
    # loader's own failures are 250-255 with a message, and the test
    # installer records before it exits. Such a run is tried once more, and
    # said so; a second one is judged as it stands.
    if [ "$STATUS" != 1 ] || [ -f "$record" ] || grep -q 'OutputDebugStringA' "$WORK/stderr.txt"; then break; fi
    if [ "$attempt" = 1 ]; then
      echo "note: ${loader##*/} ended with 1 before the loader said anything; Wine's start, tried again:" >&2
      tail -n 5 "$WORK/stderr.txt" >&2
    fi
  done
  LAST_RUN=${loader##*/}
  MESSAGES=$(sed -n 's/^.*OutputDebugStringA "\(.*\)"$/\1/p' "$WORK/stderr.txt")
  BOXES=$(grep -c 'trace:dialog:DIALOG_CreateIndirect' "$WORK/stderr.txt")
  RECORD_BUILD= RECORD_COMMAND_LINE= RECORD_COMMAND_LINE_W= RECORD_MODULE= RECORD_ATTRIBUTES= RECORD_LAST_WRITE= RECORD_PARENT=
  RECORD_OWN_FOUND= RECORD_LOADER_PATH_W=
  if [ -f "$record" ]; then
    local key value
    while IFS='=' read -r key value; do
      case $key in
        build) RECORD_BUILD=$value ;;
        command_line) RECORD_COMMAND_LINE=$value ;;
        command_line_w) RECORD_COMMAND_LINE_W=$value ;;
        module) RECORD_MODULE=$value ;;
        attributes) RECORD_ATTRIBUTES=$value ;;
        last_write) RECORD_LAST_WRITE=$value ;;
        parent_pid) RECORD_PARENT=$value ;;
        own_path_found) RECORD_OWN_FOUND=$value ;;
        loader_path_w) RECORD_LOADER_PATH_W=$value ;;
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

# A little-endian 32-bit word of FILE at OFFSET.
dword() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

# bad_crc_copy LOADER OUT: LOADER with its first entry's bytes no longer
# matching the CRC32 in their entry header: the stream decoded, one bit of
# the stored CRC32 flipped, encoded again.
bad_crc_copy() {
  local file=$1 out=$2 offset dictionary total
  offset=$(dword "$file" $((0x2C)))
  dictionary=$(dword "$file" $((offset + 73)))
  local lzma1=(--format=raw "--lzma1=lc=3,lp=0,pb=2,dict=$dictionary")
  total=$(stat -c %s "$file")
  tail -c +$((offset + 78)) "$file" | head -c $((total - offset - 77 - 16)) | xz "${lzma1[@]}" -dc >"$WORK/plain"
  patch_bytes "$WORK/plain" 44 "$(printf '\\x%02x' $(($(od -An -tu1 -j44 -N1 "$WORK/plain") ^ 1)))"
  { head -c $((offset + 77)) "$file"; xz "${lzma1[@]}" -c "$WORK/plain"; tail -c 16 "$file"; } >"$out"
}
