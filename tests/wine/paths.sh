#!/usr/bin/env bash
# Paths that the ANSI code page (Windows-1252 here) cannot hold: the loader in
# such a folder, and the temporary directory set to one. The ANSI calls give
# lossy paths that name no file; the loader must take their short (8.3)
# forms, or where the own path has none, read and pass it exactly. The test
# changes the user's TEMP in the shared prefix, which it holds alone, and
# puts it back on its way out.
source "$(dirname "$0")/lib.sh"
require_full_leg
if [ "$LEG" = x86 ]; then use_prefix win32; else use_prefix win64; fi
trap restore_temp EXIT

# A folder name with letters outside Windows-1252 (Ł, ź, 日, 本).
folder=$WORK/Łódź-日本
mkdir -p "$folder/tmp" "$WORK/tmp"

# The user's temporary directory, as the prefix's environment gives it.
set_temp() {
  "$WINE_TOOL" reg add 'HKCU\Environment' /v TEMP /d "$(winpath "$1")" /f >/dev/null 2>&1 &&
    "$WINE_TOOL" reg add 'HKCU\Environment' /v TMP /d "$(winpath "$1")" /f >/dev/null 2>&1
  TEMP_DIR=$1
}

# An 8.3 name in place of the folder: upper-case letters, digits, _ and ~.
short='[A-Z0-9_]{1,6}~[0-9A-Z]{1,6}'
work_re=$(printf '%s' "$(winpath "$WORK")" | sed 's/[\\.]/\\&/g')
# The work folder in a short path: the system shortens every component that
# is not a short name itself (the work folder's own name among them), and
# nothing in it is lossy.
short_work_re='Z:\\[^"?]*'

# --- The loader in the folder: its installer runs, with the short own path
# last on the command line, the tag read through it, the exit code passed.
pack "$folder/setup.exe" --generic "$PROGRAMS/installer-generic.exe"
head -c 70000 /dev/zero >>"$folder/setup.exe"
printf '<|/tag|>' >>"$folder/setup.exe"
set_temp "$WORK/tmp"
PXQ_TEST_EXIT=42 run_loader "$folder/setup.exe" own
expect_eq "own path: exit code" 42 "$STATUS"
expect_eq "own path: no message" "" "$MESSAGES"
expect_eq "own path: installer ran" generic "$RECORD_BUILD"
expect_match "own path: command line" \
  '^"'"$work_re"'\\tmp\\setup-[0-9A-F]{4}\.exe" +/tag own "'"$short_work_re"'\\'"$short"'\\setup\.exe"$' "$RECORD_COMMAND_LINE"
expect_eq "own path: the installer finds the loader by it" 1 "$RECORD_OWN_FOUND"
expect_eq "own path: copy removed" "" "$(temp_leftovers)"

# --- The temporary directory in the folder, for a loader with a plain path.
pack "$WORK/plain.exe" --generic "$PROGRAMS/installer-generic.exe"
set_temp "$folder/tmp"
PXQ_TEST_EXIT=7 run_loader "$WORK/plain.exe"
expect_eq "temporary directory: exit code" 7 "$STATUS"
expect_eq "temporary directory: no message" "" "$MESSAGES"
expect_match "temporary directory: command line" \
  '^"'"$short_work_re"'\\'"$short"'\\tmp\\plain-[0-9A-F]{4}\.exe" +"'"$work_re"'\\plain\.exe"$' "$RECORD_COMMAND_LINE"
expect_eq "temporary directory: copy removed" "" "$(temp_leftovers)"

# --- Both at once.
run_loader "$folder/setup.exe"
expect_eq "both: exit code" 0 "$STATUS"
expect_match "both: command line" \
  '^"'"$short_work_re"'\\'"$short"'\\tmp\\setup-[0-9A-F]{4}\.exe" +/tag +"'"$short_work_re"'\\'"$short"'\\setup\.exe"$' \
  "$RECORD_COMMAND_LINE"
expect_eq "both: copy removed" "" "$(temp_leftovers)"

# --- The loader in a folder whose path has no short form: Wine gives none
# for a path with a folder whose name ends in a space (GetShortPathNameW
# looks each folder up by name, and the trailing space is dropped there, so
# it finds no such folder; with a folder of the name without the space
# beside it, Wine would take that one's short form). The own file is read
# through the exact path (the Arguments value and the tag come through),
# and the installer gets that path byte for byte, last on its command line
# or in PXQ_LOADER_PATH.
exact_folder="$WORK/Ελληνικά 日本 "
mkdir -p "$exact_folder"
exact_win=$(winpath "$exact_folder/setup.exe")
set_temp "$WORK/tmp"
for placement in last environment; do
  loader_path_option=()
  [ "$placement" = environment ] && loader_path_option=(--loader-path environment)
  pack "$exact_folder/setup.exe" --generic "$PROGRAMS/installer-generic.exe" --arguments /S "${loader_path_option[@]}"
  head -c 70000 /dev/zero >>"$exact_folder/setup.exe"
  printf '<|/tag|>' >>"$exact_folder/setup.exe"
  PXQ_TEST_EXIT=42 run_loader "$exact_folder/setup.exe" own '/D=C:\Programme Ελληνικά 日本'
  expect_eq "no short form, $placement: exit code" 42 "$STATUS"
  expect_eq "no short form, $placement: no message" "" "$MESSAGES"
  expect_eq "no short form, $placement: installer ran" generic "$RECORD_BUILD"
  arguments='/S /tag own "/D=C:\Programme Ελληνικά 日本"'
  if [ "$placement" = last ]; then
    expect_eq "no short form, last: the exact path last" "$arguments \"$exact_win\"" \
      "${RECORD_COMMAND_LINE_W#*.exe\" }"
    expect_eq "no short form, last: no variable" "" "$RECORD_LOADER_PATH_W"
  else
    expect_eq "no short form, environment: the line ends with the own arguments" "$arguments" \
      "${RECORD_COMMAND_LINE_W#*.exe\" }"
    expect_eq "no short form, environment: the exact path in PXQ_LOADER_PATH" "$exact_win" "$RECORD_LOADER_PATH_W"
  fi
  expect_eq "no short form, $placement: copy removed" "" "$(temp_leftovers)"
done

finish
