#!/usr/bin/env bash
# Selection by the Windows the loader runs on, beyond NT on x64 (which
# behaviour.sh covers).
#
# x86 leg (the shipped stub, where 32-bit code runs natively): a 32-bit
# prefix, Windows NT on x86, then the same prefix set to report Windows 98
# (the 95/98/Me family), which can only run the generic build.
# x64 leg: a 64-bit prefix with a per-program Windows version setting for
# the loader's file name: Windows 98 gives the generic build; an NT version
# the x64 one. NT on x86 itself (architecture 0) is covered by the host
# tests of the selection over the testing backend, and by the x86 leg.
source "$(dirname "$0")/lib.sh"
require_full_leg
if [ "$LEG" = x86 ]; then use_prefix win32; else use_prefix win64; fi

pack "$WORK/all.exe" --generic "$PROGRAMS/installer-generic.exe" --nt-x86 "$PROGRAMS/installer-nt-x86.exe" \
  --nt-x64 "$PROGRAMS/installer-nt-x64.exe"
pack "$WORK/nt-only.exe" --nt-x86 "$PROGRAMS/installer-nt-x86.exe" --nt-x64 "$PROGRAMS/installer-nt-x64.exe"
pack "$WORK/x64-only.exe" --nt-x64 "$PROGRAMS/installer-nt-x64.exe"

# set_version VERSION|"": the Windows version that the loader's files see:
# for the whole prefix (x86 leg), or for their file names (x64 leg).
set_version() {
  local key name
  for name in all.exe nt-only.exe x64-only.exe; do
    if [ "$LEG" = x86 ]; then key='HKCU\Software\Wine'; else key="HKCU\\Software\\Wine\\AppDefaults\\$name"; fi
    if [ -n "$1" ]; then
      "$WINE_TOOL" reg add "$key" /v Version /d "$1" /f >/dev/null 2>&1
    else
      "$WINE_TOOL" reg delete "$key" /v Version /f >/dev/null 2>&1
    fi
    [ "$LEG" = x86 ] && break
  done
}
# The prefix is shared: the setting goes with the test, however it ends.
trap 'set_version ""' EXIT
set_version ""

# check WHAT LOADER STATUS BUILD [MESSAGE]
check() {
  run_loader "$2" argument
  expect_eq "$1: exit code" "$3" "$STATUS"
  expect_eq "$1: build" "$4" "$RECORD_BUILD"
  expect_eq "$1: message" "${5:-}" "$MESSAGES"
  expect_eq "$1: nothing left behind" "" "$(temp_leftovers)"
}
none='No installer available for the current platform\n'

if [ "$LEG" = x86 ]; then
  check "NT on x86, all builds" "$WORK/all.exe" 0 nt-x86
  expect_eq "NT on x86: command line" "\"$RECORD_MODULE\"   argument \"$(winpath "$WORK/all.exe")\"" "$RECORD_COMMAND_LINE"
  expect_match "NT on x86: temporary copy" '^C:\\users\\[^\\]+\\Temp\\all-[0-9A-F]{4}\.exe$' "$RECORD_MODULE"
  check "NT on x86, NT builds" "$WORK/nt-only.exe" 0 nt-x86
  check "NT on x86, x64 build only" "$WORK/x64-only.exe" 253 "" "$none"
else
  set_version win7
  check "Windows 7 on x64, all builds" "$WORK/all.exe" 0 nt-x64
  check "Windows 7 on x64, x64 build only" "$WORK/x64-only.exe" 0 nt-x64
fi

set_version win98
check "Windows 98, all builds" "$WORK/all.exe" 0 generic
check "Windows 98, NT builds" "$WORK/nt-only.exe" 253 "" "$none"
check "Windows 98, x64 build only" "$WORK/x64-only.exe" 253 "" "$none"
set_version ""

finish
