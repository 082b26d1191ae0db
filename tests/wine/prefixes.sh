#!/usr/bin/env bash
# The Wine tests' set-up and clean-up, run by CTest around them.
#
#   prefixes.sh setup   makes the build tree's shared Wine prefixes, once (a
#                       64-bit one always, a 32-bit one where 32-bit code runs
#                       natively), puts back what a test stopped half-way may
#                       have left changed in them, and keeps a Wine server up
#                       for each, so that no test pays a server's start.
#   prefixes.sh stop    ends those servers and prints the suite's closing
#                       line: which legs ran, and how.
#
# Environment as for lib.sh. Safe under `ctest -j`: a lock serialises makers.
# Nothing started here may inherit the lock's descriptor (8): a Wine server
# or helper that outlives the script would hold the lock as long as it runs.
set -uo pipefail
PXQ_WINE_TEST=wine_prefixes
source "$(dirname "$0")/lib.sh"

mode=$(x86_32_mode)
mkdir -p "$PXQ_WINE_WORK"
exec 8>"$PXQ_WINE_WORK/.prefix-lock"
flock 8

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The server of a prefix, and the prefix's own helper processes, started with
# their output away from the caller: they outlive it, and a pipe held open by
# them would keep CTest waiting.
start_server() {
  WINEPREFIX=$1 wineserver -p 300 </dev/null >/dev/null 2>&1 8>&-
  WINEPREFIX=$1 timeout 120 "$2" cmd /c exit 0 </dev/null >/dev/null 2>&1 8>&-
}

# make_prefix NAME ARCH: made once, with Wine's own wineboot.
make_prefix() {
  local prefix=$PXQ_WINE_WORK/prefix-$1 started=$SECONDS
  [ -f "$prefix/.pxq-ready" ] && return 0
  rm -rf "$prefix"
  echo "creating the Wine prefix $prefix ($2, 32-bit code: $mode)"
  if [ "$2" = win32 ]; then
    WINEARCH=win32 WINEPREFIX=$prefix wine wineboot -i </dev/null >/dev/null 2>&1 8>&-
  elif [ "$mode" = native ]; then
    # Both halves, 64-bit and 32-bit, as wineboot makes them.
    WINEARCH=win64 WINEPREFIX=$prefix wine wineboot -i </dev/null >/dev/null 2>&1 8>&-
  else
    # The 64-bit half natively. wineboot's 32-bit half (a 32-bit rundll32
    # that installs Wine's 32-bit DLLs into syswow64 and registers them)
    # takes about 4 minutes emulated, so it is kept from starting: Wine's
    # 32-bit loader is hidden from wineboot in a mount namespace of its own
    # (as root; elsewhere it runs, slowly). What the stub needs of that half
    # is the DLLs, copied here from Wine's own library directory.
    if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
      WINEARCH=win64 WINEPREFIX=$prefix unshare -m sh -c \
        'mount --bind /bin/false /usr/lib/wine/wine && "$1" wineboot -i; wineserver -k' sh "$WINE64" \
        </dev/null >/dev/null 2>&1 8>&-
    else
      WINEARCH=win64 WINEPREFIX=$prefix "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 8>&-
    fi
    if [ "$mode" = emulated ]; then
      local builtins=/usr/lib/i386-linux-gnu/wine/i386-windows
      cp -n "$builtins"/*.dll "$builtins"/*.exe "$prefix/drive_c/windows/syswow64/" || return 1
    fi
  fi
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
  [ -d "$prefix/drive_c/windows" ] || return 1
  # The user's TEMP and TMP as made, for putting them back.
  sed -n 's/^"\(TEMP\|TMP\)"=/\1=/p' "$prefix/user.reg" >"$prefix/.pxq-temp-default"
  touch "$prefix/.pxq-ready"
  echo "made in $((SECONDS - started)) s"
}

# Puts back the settings that tests change, should one have stopped before
# putting them back itself: the Windows version, and TEMP and TMP.
reset_prefix() {
  export WINEPREFIX=$PXQ_WINE_WORK/prefix-$1
  WINE_TOOL=$2
  "$WINE_TOOL" reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 8>&-
  "$WINE_TOOL" reg delete 'HKCU\Software\Wine\AppDefaults' /f >/dev/null 2>&1 8>&-
  restore_temp 8>&-
  unset WINEPREFIX
}

case ${1:-} in
  setup)
    require_wine
    rm -rf "$PXQ_WINE_WORK/legs"
    echo "32-bit x86 code on this machine: $mode"
    make_prefix win64 win64 || { echo "wineboot failed for the 64-bit prefix" >&2; exit 1; }
    start_server "$PXQ_WINE_WORK/prefix-win64" "$WINE64"
    reset_prefix win64 "$WINE64"
    if [ "$mode" = native ]; then
      make_prefix win32 win32 || { echo "wineboot failed for the 32-bit prefix" >&2; exit 1; }
      start_server "$PXQ_WINE_WORK/prefix-win32" wine
      reset_prefix win32 wine
    fi
    ;;
  stop)
    for prefix in "$PXQ_WINE_WORK"/prefix-*; do
      [ -f "$prefix/.pxq-ready" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
    done
    # One line: the x64 and x86 suites each as one part, the others as
    # they reported.
    declare -A suite=()
    line="Wine tests (32-bit code $mode):"
    for leg in "$PXQ_WINE_WORK"/legs/*; do
      [ -f "$leg" ] || continue
      name=${leg##*/} text=$(cat "$leg")
      case $name in
        wine_x64_* | wine_x86_*)
          group=${name:5:3} part=${name:9}
          suite[$group]+="${suite[$group]:+, }$part ${text}" ;;
        *) line+=" ${name#wine_}: $text;" ;;
      esac
    done
    [ -n "${suite[x64]:-}" ] && line+=" x64 build (native, full suite): ${suite[x64]};"
    [ -n "${suite[x86]:-}" ] && line+=" 32-bit stub, full suite: ${suite[x86]};"
    [ -d "$PXQ_WINE_WORK/legs" ] || line+=" none ran"
    printf '%s\n' "${line%;}" | tee "$PXQ_WINE_WORK/summary.txt"
    ;;
  *)
    echo "usage: prefixes.sh setup|stop" >&2
    exit 2
    ;;
esac
exit 0
