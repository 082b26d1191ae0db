#!/usr/bin/env bash
# The stub on a 32-bit Wine prefix: Windows NT on x86, and then the same
# prefix set to report Windows 98 (the 95/98/Me family), which can only run
# the generic build.
source "$(dirname "$0")/lib.sh"
use_prefix win32 win32

pack "$WORK/all.exe" --generic "$PROGRAMS/installer-generic.exe" --nt-x86 "$PROGRAMS/installer-nt-x86.exe" \
  --nt-x64 "$PROGRAMS/installer-nt-x64.exe"
pack "$WORK/nt-only.exe" --nt-x86 "$PROGRAMS/installer-nt-x86.exe" --nt-x64 "$PROGRAMS/installer-nt-x64.exe"
pack "$WORK/x64-only.exe" --nt-x64 "$PROGRAMS/installer-nt-x64.exe"

# A run stopped half-way may have left the Windows 98 setting behind.
wine reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1

# check WHAT LOADER STATUS BUILD [MESSAGE]
check() {
  run_loader "$2" argument
  expect_eq "$1: exit code" "$3" "$STATUS"
  expect_eq "$1: build" "$4" "$RECORD_BUILD"
  expect_eq "$1: message" "${5:-}" "$MESSAGES"
  expect_eq "$1: nothing left behind" "" "$(temp_leftovers)"
}
none='No installer available for the current platform\n'

check "NT on x86, all builds" "$WORK/all.exe" 0 nt-x86
expect_eq "NT on x86: command line" "\"$RECORD_MODULE\"   argument \"$(winpath "$WORK/all.exe")\"" "$RECORD_COMMAND_LINE"
expect_match "NT on x86: temporary copy" '^C:\\users\\[^\\]+\\Temp\\all-[0-9A-F]{4}\.exe$' "$RECORD_MODULE"
check "NT on x86, NT builds" "$WORK/nt-only.exe" 0 nt-x86
check "NT on x86, x64 build only" "$WORK/x64-only.exe" 253 "" "$none"

wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
check "Windows 98, all builds" "$WORK/all.exe" 0 generic
check "Windows 98, NT builds" "$WORK/nt-only.exe" 253 "" "$none"
wine reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1

finish
