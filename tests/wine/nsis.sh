#!/usr/bin/env bash
# A real NSIS installer behind the loader. NSIS takes /D=DIR only as its
# last argument and takes the rest of the line with it, so a loader that
# appends its own path would glue the path onto DIR. Packed with
# --loader-path environment, the loader leaves its path off the line and
# hands it over in PXQ_LOADER_PATH: the installer, given /D=C:\Acme Custom,
# installs into exactly that folder and finds the loader's path in its
# environment. The loader is the leg's; NSIS installers are 32-bit programs,
# so this runs wherever 32-bit code runs at all (one emulated process where
# the kernel runs 64-bit code only).
source "$(dirname "$0")/lib.sh"
command -v makensis >/dev/null || { echo "makensis is not installed (package nsis): skipped" >&2; exit 77; }
mode=$(x86_32_mode)
[ "$mode" != none ] || skip_leg "32-bit code cannot run on this machine"
use_prefix win64
PXQ_WINE_RUN_TIMEOUT=600

cat >"$WORK/acme.nsi" <<'NSI'
Unicode true
Name "Acme"
OutFile "acme-setup.exe"
InstallDir "C:\AcmeDefault"
RequestExecutionLevel user
SilentInstall silent
Section
  SetOutPath "$INSTDIR"
  ReadEnvStr $0 PXQ_LOADER_PATH
  FileOpen $1 "$INSTDIR\installed.txt" w
  FileWrite $1 "instdir=$INSTDIR$\r$\n"
  FileWrite $1 "loader=$0$\r$\n"
  FileClose $1
SectionEnd
NSI
(cd "$WORK" && makensis -V1 acme.nsi >"$WORK/makensis.txt" 2>&1) || fail "makensis: $(tail -3 "$WORK/makensis.txt")"
pack "$WORK/setup.exe" --nt-x86 "$WORK/acme-setup.exe" --arguments /S --loader-path environment || finish

target='C:\Acme Custom'
rm -rf "$(unixpath "$target")"
# Two words on the loader's line, as a user types them after /D=.
run_loader "$WORK/setup.exe" '/D=C:\Acme' Custom
expect_eq "exit code" 0 "$STATUS"
expect_eq "no message" "" "$MESSAGES"
installed=$(unixpath "$target")/installed.txt
expect_eq "installed into the folder given by /D=" "instdir=$target" "$(sed -n '/^instdir=/p' "$installed" 2>/dev/null | tr -d '\r')"
expect_eq "the loader's path in PXQ_LOADER_PATH" "loader=$(winpath "$WORK/setup.exe")" \
  "$(sed -n '/^loader=/p' "$installed" 2>/dev/null | tr -d '\r')"
expect_eq "the copy removed" "" "$(temp_leftovers)"
rm -rf "$(unixpath "$target")"
record_leg() {
  mkdir -p "$PXQ_WINE_WORK/legs"
  printf '%s\n' "NSIS installer (32-bit, $mode) behind the x64 loader: $1" >"$PXQ_WINE_WORK/legs/$SCRIPT_NAME"
}
finish
