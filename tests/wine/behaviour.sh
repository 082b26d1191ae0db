#!/usr/bin/env bash
# The loader on a 64-bit Wine prefix (Windows NT on x64): installer
# selection, the installer's command line, the version-resource and tag
# arguments, the temporary copy and its removal, exit codes, the loader's own
# failures, the message pump, long lines and the planted version.dll. Run on
# the leg's loader: the x64 test build, or the shipped stub.
source "$(dirname "$0")/lib.sh"
require_full_leg
use_prefix win64

generic=$PROGRAMS/installer-generic.exe
ntx86=$PROGRAMS/installer-nt-x86.exe
ntx64=$PROGRAMS/installer-nt-x64.exe

# The installer's command line as the loader must form it:
# "<temporary path>" <Arguments> <tag> <own arguments> "<own path>".
expected_command_line() { printf '"%s" %s %s %s "%s"' "$RECORD_MODULE" "$1" "$2" "$3" "$(winpath "$4")"; }

# The temporary copy: the temporary directory, the loader's base name without
# its extension, "-", the process id's halves XORed as four hex digits, ".exe".
check_temporary_name() {
  local what=$1 base=$2
  expect_match "$what: temporary copy" '^C:\\users\\[^\\]+\\Temp\\'"$base"'-[0-9A-F]{4}\.exe$' "$RECORD_MODULE"
  if [ -n "$RECORD_PARENT" ]; then
    local key
    key=$(printf '%04X' $(((RECORD_PARENT >> 16) ^ (RECORD_PARENT & 0xFFFF))))
    expect_eq "$what: name key from the loader's process id" "$key" "${RECORD_MODULE: -8:4}"
  else
    fail "$what: the installer could not name its parent process"
  fi
}

# --- Selection: the x64 build where there is one, else the x86 one, else the generic one.
pack "$WORK/all.exe" --generic "$generic" --nt-x86 "$ntx86" --nt-x64 "$ntx64"
run_loader "$WORK/all.exe"
expect_eq "flags 7: exit code" 0 "$STATUS"
# The stamp fills the DOS header's words 0x1C to 0x3B, which Windows does not read.
offset=$(dword "$WORK/all.exe" $((0x2C)))
expect_eq "stamp: word 0x1C" "$offset" "$(dword "$WORK/all.exe" $((0x1C)))"
expect_eq "stamp: word 0x20" $((offset ^ 0xFFFFFFFF)) "$(dword "$WORK/all.exe" $((0x20)))"
expect_eq "flags 7: build" nt-x64 "$RECORD_BUILD"
pack "$WORK/no-x64.exe" --generic "$generic" --nt-x86 "$ntx86"
run_loader "$WORK/no-x64.exe"
expect_eq "flags 3: build" nt-x86 "$RECORD_BUILD"
pack "$WORK/generic-only.exe" --generic "$generic"
run_loader "$WORK/generic-only.exe"
expect_eq "flags 1: build" generic "$RECORD_BUILD"

# --- The command line, own arguments, the temporary copy and its removal.
cp "$WORK/all.exe" "$WORK/my.setup.exe"
run_loader "$WORK/my.setup.exe" /S "two words" --dir=C:\\x
expect_eq "own arguments: exit code" 0 "$STATUS"
expect_eq "own arguments: command line" "$(expected_command_line "" "" '/S "two words" --dir=C:\x' "$WORK/my.setup.exe")" \
  "$RECORD_COMMAND_LINE"
check_temporary_name "own arguments" 'my\.setup'
expect_eq "own arguments: copy removed" "" "$(temp_leftovers)"
# Arguments outside the ANSI code page: a Unicode installer gets them as
# given, byte for byte, in quotes and out of them.
unicode_arguments=('/D=C:\Programme Ελληνικά 日本' /S 'κείμενο "με" εισαγωγικά' 'ファイル.txt')
run_loader "$WORK/my.setup.exe" "${unicode_arguments[@]}"
expect_eq "unicode arguments: exit code" 0 "$STATUS"
expect_eq "unicode arguments: the Unicode installer's command line" \
  "$(expected_command_line "" "" '"/D=C:\Programme Ελληνικά 日本" /S "κείμενο \"με\" εισαγωγικά" ファイル.txt' \
    "$WORK/my.setup.exe")" "$RECORD_COMMAND_LINE_W"
run_loader "$WORK/my.setup.exe"
expect_eq "no arguments: command line" "\"$RECORD_MODULE\"    \"$(winpath "$WORK/my.setup.exe")\"" "$RECORD_COMMAND_LINE"

# --- Exit codes pass through unchanged, the loader's own codes included.
for code in 0 1 42 252 255; do
  PXQ_TEST_EXIT=$code run_loader "$WORK/all.exe"
  expect_eq "installer exit code $code" "$code" "$STATUS"
  expect_eq "installer exit code $code: no message" "" "$MESSAGES"
done

# --- A read-only entry with its time: the copy has both, and is still removed.
cp "$generic" "$WORK/readonly-installer.exe"
touch -d @1234567890 "$WORK/readonly-installer.exe"
chmod a-w "$WORK/readonly-installer.exe"
pack "$WORK/readonly.exe" --generic "$WORK/readonly-installer.exe"
run_loader "$WORK/readonly.exe"
expect_eq "read-only entry: exit code" 0 "$STATUS"
expect_eq "read-only entry: read-only copy" 1 $((RECORD_ATTRIBUTES & 1))
expect_eq "read-only entry: last-write time" \
  "$(printf '0x%016X' $(((1234567890 + 11644473600) * 10000000)))" "$RECORD_LAST_WRITE"
expect_eq "read-only entry: copy removed" "" "$(temp_leftovers)"

# --- "Arguments" in the version resource: 65 UTF-16 units, patched in place.
# The value follows the key "Arguments" and its padding: 28 bytes from the
# start of its block, which starts 6 bytes before the key.
# printf escapes for the UTF-16 form of an ASCII text.
utf16() { local s=$1 i; for ((i = 0; i < ${#s}; i++)); do printf '\\x%02x\\x00' "'${s:i:1}"; done; }
patch_arguments() {
  local file=$1 text=$2 key
  key=$(find_bytes "$file" 'A\x00r\x00g\x00u\x00m\x00e\x00n\x00t\x00s\x00\x00\x00')
  if [ -z "$key" ]; then
    fail "no Arguments value in $file"
    return 1
  fi
  patch_bytes "$file" $((key - 6 + 28)) "$(utf16 "$text")"
}
cp "$WORK/all.exe" "$WORK/arguments.exe"
patch_arguments "$WORK/arguments.exe" '/SILENT /DIR="C:\Program Files\x"'
run_loader "$WORK/arguments.exe" own
expect_eq "Arguments: command line" \
  "$(expected_command_line '/SILENT /DIR="C:\Program Files\x"' "" own "$WORK/arguments.exe")" "$RECORD_COMMAND_LINE"
full=0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-+
cp "$WORK/all.exe" "$WORK/arguments64.exe"
patch_arguments "$WORK/arguments64.exe" "$full"
run_loader "$WORK/arguments64.exe"
expect_eq "Arguments of 64 characters" "$(expected_command_line "$full" "" "" "$WORK/arguments64.exe")" \
  "$RECORD_COMMAND_LINE"

# --- The trailing tag, in its three forms; the file must be at least 64 KiB.
tagged() {
  local out=$1
  cp "$WORK/all.exe" "$out"
  # Data after the archive is not read by the loader.
  head -c 70000 /dev/zero >>"$out"
  printf "$2" >>"$out"
}
tagged "$WORK/tag1.exe" '<|plain tag <text>|>'
run_loader "$WORK/tag1.exe" x
expect_eq "tag, 8-bit" "$(expected_command_line "" "plain tag <text>" x "$WORK/tag1.exe")" "$RECORD_COMMAND_LINE"
# "Grüße €" in UTF-8 and in UTF-16: the installer gets it in the ANSI code
# page, Windows-1252 here (ü FC, ß DF, € 80).
ansi=$(printf 'Gr\xfc\xdfe \x80')
tagged "$WORK/tag2.exe" '\xef\xbb\xbf<|Gr\xc3\xbc\xc3\x9fe \xe2\x82\xac|>'
run_loader "$WORK/tag2.exe"
expect_eq "tag, UTF-8 with a byte-order mark" "$(expected_command_line "" "$ansi" "" "$WORK/tag2.exe")" \
  "$RECORD_COMMAND_LINE"
tagged "$WORK/tag3.exe" '<\x00|\x00G\x00r\x00\xfc\x00\xdf\x00e\x00 \x00\xac\x20|\x00>\x00'
run_loader "$WORK/tag3.exe"
expect_eq "tag, UTF-16" "$(expected_command_line "" "$ansi" "" "$WORK/tag3.exe")" "$RECORD_COMMAND_LINE"
# Under 64 KiB there is no tag.
cp "$WORK/all.exe" "$WORK/short-tag.exe"
printf '<|short|>' >>"$WORK/short-tag.exe"
run_loader "$WORK/short-tag.exe"
expect_eq "tag in a file under 64 KiB" "$(expected_command_line "" "" "" "$WORK/short-tag.exe")" "$RECORD_COMMAND_LINE"
# Both sources together, in their order.
cp "$WORK/tag1.exe" "$WORK/both.exe"
patch_arguments "$WORK/both.exe" "/VERYSILENT"
run_loader "$WORK/both.exe" last
expect_eq "Arguments and tag" "$(expected_command_line /VERYSILENT "plain tag <text>" last "$WORK/both.exe")" \
  "$RECORD_COMMAND_LINE"

# --- The loader's own failures: exit code, message, nothing left behind.
expect_failure() {
  local what=$1 code=$2 message=$3 file=$4
  run_loader "$file"
  expect_eq "$what: exit code" "$code" "$STATUS"
  expect_match "$what: message" "$message" "$MESSAGES"
  expect_eq "$what: installer not run" "" "$RECORD_BUILD"
  expect_eq "$what: nothing left behind" "" "$(temp_leftovers)"
}
cp "$WORK/all.exe" "$WORK/no-builds.exe"
patch_bytes "$WORK/no-builds.exe" $((0x28)) '\xf8'
expect_failure "no usable build" 253 '^No installer available for the current platform\\n$' "$WORK/no-builds.exe"
cp "$WORK/all.exe" "$WORK/no-stamp.exe"
patch_bytes "$WORK/no-stamp.exe" $((0x24)) 'pxq5'
expect_failure "stamp destroyed" 254 '^Executable has no valid MZ/pwr5 signature\\n$' "$WORK/no-stamp.exe"
# The check pair follows the 64-byte archive header at the archive offset.
cp "$WORK/all.exe" "$WORK/bad-check.exe"
patch_bytes "$WORK/bad-check.exe" $((offset + 64)) '\x00\x00\x00\x00\x00\x00\x00\x00'
expect_failure "damaged check pair" 250 '^Extraction of the installer failed => 13\\n$' "$WORK/bad-check.exe"
# A stream cut short in the middle of the one entry: the partial copy is removed.
head -c $(($(stat -c %s "$WORK/generic-only.exe") - 4000)) "$WORK/generic-only.exe" >"$WORK/cut.exe"
expect_failure "archive cut short" 250 '^Extraction of the installer failed => [0-9]+\\n$' "$WORK/cut.exe"
# Installer bytes that do not match the CRC32 in their entry header: the
# stub's own CRC32 refuses them with 23, and the copy is removed.
bad_crc_copy "$WORK/generic-only.exe" "$WORK/bad-crc.exe"
expect_failure "data not matching the CRC32" 250 '^Extraction of the installer failed => 23\\n$' "$WORK/bad-crc.exe"

# --- No message box where no one can answer it. On the prefix's visible
# desktop a failure shows the box (headless Wine closes it at once); on a
# window station made without WSF_VISIBLE (a service's kind), or from a file
# packed with --errors silent, none is made. The debugger output and the
# exit code report the failure in every case.
no_box_case() {
  local what=$1 boxes=$2
  shift 2
  run_loader "$@"
  expect_eq "$what: exit code" 253 "$STATUS"
  expect_eq "$what: debugger output" 'No installer available for the current platform\n' "$MESSAGES"
  expect_eq "$what: message boxes" "$boxes" "$BOXES"
}
no_box_case "visible desktop" 1 "$WORK/no-builds.exe"
no_box_case "hidden window station" 0 "$PROGRAMS/hidden-station.exe" "$(winpath "$WORK/no-builds.exe")"
expect_match "hidden window station: made without WSF_VISIBLE" '^station_flags=0x0$' \
  "$(grep '^station_flags=' "$WORK/stderr.txt" | tr -d '\r')"
pack "$WORK/silent.exe" --nt-x64 "$ntx64" --errors silent
patch_bytes "$WORK/silent.exe" $((0x28)) '\xf8'
no_box_case "packed --errors silent" 0 "$WORK/silent.exe"
pack "$WORK/box.exe" --nt-x64 "$ntx64" --errors box
patch_bytes "$WORK/box.exe" $((0x28)) '\xf8'
no_box_case "packed --errors box" 1 "$WORK/box.exe"

# --- Long own arguments: 31,000 bytes pass whole; a line past 32,766
# characters is refused before anything starts.
long=$(head -c 31000 /dev/zero | tr '\0' a)
run_loader "$WORK/all.exe" "$long"
expect_eq "own argument of 31,000 bytes: exit code" 0 "$STATUS"
expect_eq "own argument of 31,000 bytes: passed whole" \
  "$(expected_command_line "" "" "$long" "$WORK/all.exe")" "$RECORD_COMMAND_LINE"
# The argument is as long as the loader's own command line allows (Wine
# refuses to start a process whose line is longer, so its length follows
# the work folder's path); the installer's line adds the copy's path and the
# loader's own, and so passes 32,766.
own_line=$(($(printf '"%s" ' "$(winpath "$WORK/all.exe")" | wc -c) + 8))
run_loader "$WORK/all.exe" "$(head -c $((32767 - own_line)) /dev/zero | tr '\0' b)"
expect_eq "command line past 32,766: exit code" 252 "$STATUS"
expect_match "command line past 32,766: message" \
  '^CreateProcess\(.*\) failed: the command line is [0-9]+ characters long, more than 32766\\n$' "$MESSAGES"
expect_eq "command line past 32,766: installer not run" "" "$RECORD_BUILD"
expect_eq "command line past 32,766: nothing left behind" "" "$(temp_leftovers)"

# --- WM_QUIT and another message posted to the loader's thread during the
# wait are dispatched; the wait goes on until the installer ends.
PXQ_TEST_POST=1 PXQ_TEST_EXIT=42 run_loader "$WORK/all.exe"
expect_eq "messages posted during the wait: the installer's exit code" 42 "$STATUS"
expect_eq "messages posted during the wait: no message" "" "$MESSAGES"
expect_eq "messages posted during the wait: copy removed" "" "$(temp_leftovers)"

# --- A process the installer leaves behind holds the copy open, sharing
# reading only: the removal waits for it (up to 5 s), or leaves the copy.
PXQ_TEST_LINGER_MS=1500 PXQ_TEST_EXIT=5 run_loader "$WORK/all.exe"
expect_eq "copy held for 1.5 s: exit code" 5 "$STATUS"
expect_eq "copy held for 1.5 s: deleted once let go" "" "$(temp_leftovers)"
PXQ_TEST_LINGER_MS=9000 PXQ_TEST_EXIT=6 run_loader "$WORK/all.exe"
expect_eq "copy held for 9 s: exit code" 6 "$STATUS"
expect_eq "copy held for 9 s: left behind" 1 "$(temp_leftovers | wc -l)"
sleep 5
temp_leftovers | xargs -r rm -f

# --- A file already at the temporary name. With a fresh Wine server the
# loader is its first process and gets the same process id, hence the same
# name, each time: learn it, plant a file there, run again. A read-only file
# is replaced and runs. A hidden one is, for Windows, not to be replaced with
# CREATE_ALWAYS and FILE_ATTRIBUTE_NORMAL (the extraction then fails with 5);
# Wine replaces it. Either answer must end cleanly, with nothing left.
fresh_server
run_loader "$WORK/generic-only.exe"
name=$RECORD_MODULE
planted=$(unixpath "$name")
for kind in read-only hidden; do
  printf 'left behind' >"$planted"
  chmod 0644 "$planted"
  if [ "$kind" = read-only ]; then
    chmod a-w "$planted"
  else
    "$WINE_TOOL" cmd /c attrib +h "$name" >/dev/null 2>&1
  fi
  fresh_server
  run_loader "$WORK/generic-only.exe"
  if [ "$kind" = read-only ]; then
    expect_eq "$kind file at the temporary name: exit code" 0 "$STATUS"
    expect_eq "$kind file at the temporary name: replaced and run" "generic $name" "$RECORD_BUILD $RECORD_MODULE"
  elif [ "$STATUS" = 0 ]; then
    expect_eq "$kind file at the temporary name: replaced and run" "generic $name" "$RECORD_BUILD $RECORD_MODULE"
  else
    expect_eq "$kind file at the temporary name: refused" '250 Extraction of the installer failed => 5\n' \
      "$STATUS $MESSAGES"
  fi
  expect_eq "$kind file at the temporary name: nothing left behind" "" "$(temp_leftovers)"
done

# --- version.dll planted beside the loader. With "version=n,b" Wine searches
# the program's folder first, as Windows does for a DLL that is not a known
# one; the loader must still take the system's copy.
plant=$WORK/plant
mkdir -p "$plant"
cp "$PROGRAMS/planted/version.dll" "$PROGRAMS/planted/load-version.exe" "$plant/"
cp "$WORK/arguments.exe" "$plant/setup.exe"
marker=$plant/loaded.txt
export PXQ_PLANT_MARKER
PXQ_PLANT_MARKER=$(winpath "$marker")
WINEDLLOVERRIDES="mscoree,mshtml=;version=n,b" timeout 120 "$WINE_RUN" "$plant/load-version.exe"
expect_eq "planted version.dll: an ordinary load takes it" yes "$([ -f "$marker" ] && echo yes || echo no)"
rm -f "$marker"
WINEDLLOVERRIDES="mscoree,mshtml=;version=n,b" run_loader "$plant/setup.exe"
expect_eq "planted version.dll: exit code" 0 "$STATUS"
expect_eq "planted version.dll: not loaded by the loader" no "$([ -f "$marker" ] && echo yes || echo no)"
expect_eq "planted version.dll: Arguments still read" \
  "$(expected_command_line '/SILENT /DIR="C:\Program Files\x"' "" "" "$plant/setup.exe")" "$RECORD_COMMAND_LINE"

finish
