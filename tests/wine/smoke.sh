#!/usr/bin/env bash
# The shipped 32-bit stub, its own bytes, under Wine wherever 32-bit code
# runs, natively or emulated (about a minute of CPU per emulated process):
# a few runs that prove it starts, chooses the x64 build in a 64-bit prefix,
# hands the installer the Arguments value, a tag and its own arguments (one
# of them outside the ANSI code page, which a Unicode installer gets exactly),
# passes the installer's exit code on, and refuses data that does not match
# its CRC32 with 250. The stand-in installers are the x64 ones, which run
# natively, so that each run costs one emulated process.
source "$(dirname "$0")/lib.sh"
mode=$(x86_32_mode)
[ "$mode" != none ] || skip_leg "32-bit code cannot run on this machine"
use_prefix win64
PROGRAMS=$PXQ_WINDOWS_X64_DIR/programs
PXQ_WINE_RUN_TIMEOUT=600
runs=0
smoke_run() { run_loader "$@"; runs=$((runs + 1)); }

# --- One run: selection, Arguments, tag, own arguments, exit code, removal.
arguments='/S /D=C:\Program Files\Acme'
"$PXQ" pack -q -o "$WORK/setup.exe" --stub "$STUB" --no-machine-check --generic "$PROGRAMS/installer-generic.exe" \
  --nt-x86 "$PROGRAMS/installer-nt-x86.exe" --nt-x64 "$PROGRAMS/installer-nt-x64.exe" --arguments "$arguments" ||
  fail "pxq pack"
head -c 70000 /dev/zero >>"$WORK/setup.exe"
printf '<|campaign=smoke|>' >>"$WORK/setup.exe"
# An own argument outside the ANSI code page reaches a Unicode installer as given.
PXQ_TEST_EXIT=42 smoke_run "$WORK/setup.exe" "first argument" second '/D=C:\Programme Ελληνικά 日本'
expect_eq "exit code passed on" 42 "$STATUS"
expect_eq "no message" "" "$MESSAGES"
expect_eq "the x64 build chosen" nt-x64 "$RECORD_BUILD"
expect_eq "the installer's command line, as a Unicode installer reads it" \
  "\"$RECORD_MODULE\" $arguments campaign=smoke \"first argument\" second \"/D=C:\\Programme Ελληνικά 日本\" \"$(winpath "$WORK/setup.exe")\"" \
  "$RECORD_COMMAND_LINE_W"
expect_match "the temporary copy" '^C:\\users\\[^\\]+\\Temp\\setup-[0-9A-F]{4}\.exe$' "$RECORD_MODULE"
expect_eq "the copy removed" "" "$(temp_leftovers)"

# --- Installer bytes that do not match their CRC32: 250, and no copy left.
"$PXQ" pack -q -o "$WORK/one.exe" --stub "$STUB" --nt-x64 "$PROGRAMS/installer-nt-x64.exe" || fail "pxq pack"
bad_crc_copy "$WORK/one.exe" "$WORK/bad-crc.exe"
smoke_run "$WORK/bad-crc.exe"
expect_eq "CRC32 mismatch: exit code" 250 "$STATUS"
expect_eq "CRC32 mismatch: message" 'Extraction of the installer failed => 23\n' "$MESSAGES"
expect_eq "CRC32 mismatch: installer not run" "" "$RECORD_BUILD"
expect_eq "CRC32 mismatch: nothing left behind" "" "$(temp_leftovers)"

record_leg() {
  mkdir -p "$PXQ_WINE_WORK/legs"
  printf '%s\n' "32-bit stub $mode, $runs runs, $checks checks" >"$PXQ_WINE_WORK/legs/$SCRIPT_NAME"
}
finish
