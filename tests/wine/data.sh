#!/usr/bin/env bash
# Product files in the data archive, through the whole release pipeline on a
# 64-bit Wine prefix: a loader file packed with a data archive, signed with a
# throwaway certificate and tagged; an installer built against the installer
# library extracts the archive, reads every file back against its entry and
# exits with its result, which the loader passes on. The tree holds nested
# folders, an empty file, a file over 64 KiB, names outside the ANSI code
# page and a read-only file; the extracted tree must equal it byte for byte.
# Run once with the loader's path as the installer's last argument (the
# default) and once with --loader-path environment, where the installer takes
# the rest of its command line as one value and finds the loader through
# PXQ_LOADER_PATH.
source "$(dirname "$0")/lib.sh"
require_tools openssl osslsigncode
require_full_leg
use_prefix win64

installer=$PROGRAMS/data-installer.exe
slot=--nt-x64
[ "$LEG" = x86 ] && slot=--nt-x86

# --- The product tree.
product=$WORK/product
mkdir -p "$product/bin/plugins/extra" "$product/docs" "$product/日本語" "$product/empty folder"
head -c 200000 /dev/urandom >"$product/bin/app.dat"
printf 'plugin\n' >"$product/bin/plugins/extra/one.txt"
: >"$product/docs/empty.txt"
printf 'Ελληνικά\n' >"$product/docs/Ελληνικά.txt"
printf 'こんにちは\n' >"$product/日本語/説明.txt"
printf 'licence text\n' >"$product/LICENSE.txt"
chmod 0444 "$product/LICENSE.txt"
# A file whose full path passes Windows' classic limit of 260 characters.
# Wine does not hold plain paths to that limit, so this shows only that the
# long-path form works end to end; the form itself is checked case by case
# below (layer-paths).
deep=$product/deep
for part in 1 2 3 4 5 6; do deep=$deep/$(printf "level-$part-%.0s" {1..6}); done
mkdir -p "$deep"
printf 'deep\n' >"$deep/file-at-the-end-of-a-long-path.txt"

# --- Packed, signed, tagged.
(cd "$WORK" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj '/CN=pxq data test' -addext extendedKeyUsage=codeSigning >/dev/null 2>&1) || fail "openssl req"

# release NAME [pack options...]: packs, signs and tags $WORK/NAME.exe.
release() {
  local name=$1
  shift
  pack "$WORK/$name-unsigned.exe" "$slot" "$installer" --data "$product" "$@" || return 1
  osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -h sha256 -in "$WORK/$name-unsigned.exe" \
    -out "$WORK/$name.exe" >/dev/null || { fail "$name: osslsigncode sign"; return 1; }
  "$PXQ" tag --pad "$WORK/$name.exe" 'campaign=data' >/dev/null || { fail "$name: pxq tag"; return 1; }
  local verify
  verify=$(osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/$name.exe" 2>&1)
  expect_match "$name: signed and tagged, the signature verifies" 'Signature verification: ok' "$verify"
  "$PXQ" list "$WORK/$name.exe" >"$WORK/$name-list.txt" 2>&1
  expect_eq "$name: pxq list of the signed, tagged file" 0 "$?"
}

# The installer's record: key=value lines.
record_value() { sed -n "s/^$1=//p" "$WORK/record.txt" 2>/dev/null | tr -d '\r'; }

# check_tree WHAT DIR: the extracted tree against the product, byte for byte.
check_tree() {
  local what=$1 dir=$2
  checks=$((checks + 1))
  diff -r "$product" "$dir" >"$WORK/diff.txt" 2>&1 || fail "$what: the extracted tree differs: $(head -5 "$WORK/diff.txt")"
  expect_eq "$what: the read-only file stays read-only" "-r--r--r--" "$(stat -c %A "$dir/LICENSE.txt" 2>/dev/null)"
  expect_eq "$what: an empty folder" yes "$([ -d "$dir/empty folder" ] && echo yes)"
}

# --- The loader's path last (the default). A variable left by an outer
# loader is not what the installer finds: the loader removes it.
# Blocks of 64 KiB: the 200 KB file spans several, and the installer
# library decodes them one by one.
if release last --data-block 64KiB; then
  out=$WORK/out-last
  PXQ_LOADER_PATH='C:\elsewhere\outer.exe' run_loader "$WORK/last.exe" "/target=$(winpath "$out")"
  expect_eq "path last: exit code" 0 "$STATUS"
  expect_eq "path last: no message" "" "$MESSAGES"
  expect_eq "path last: the installer's result" 0 "$(record_value code)"
  expect_eq "path last: entries" "$(find "$product" -mindepth 1 | wc -l)" "$(record_value count)"
  expect_eq "path last: no variable" "(none)" "$(record_value loader_path_variable)"
  expect_match "path last: the installer's command line" \
    "campaign=data /target=.*out-last \"$(winpath "$WORK/last.exe" | sed 's/[\\.]/\\&/g')\"\$" \
    "$(record_value command_line)"
  check_tree "path last" "$out"
  expect_eq "path last: the copy removed" "" "$(temp_leftovers)"
fi

# --- --loader-path environment: nothing follows the installer's own
# arguments, and the target folder's name has a space.
if release environment --loader-path environment; then
  out="$WORK/out environment"
  run_loader "$WORK/environment.exe" "/target=$(winpath "$out")"
  expect_eq "path in the environment: exit code" 0 "$STATUS"
  expect_eq "path in the environment: the installer's result" 0 "$(record_value code)"
  expect_eq "path in the environment: the variable" "$(winpath "$WORK/environment.exe")" \
    "$(record_value loader_path_variable)"
  expect_match "path in the environment: the line ends with the own arguments" \
    'campaign=data "?/target=[^"]*out environment"?$' "$(record_value command_line)"
  check_tree "path in the environment" "$out"
  expect_match "pxq list shows the choice" 'loader path +environment' "$(cat "$WORK/environment-list.txt")"
fi

# --- The long-path form of extraction targets, case by case: absolute, with
# \\?\ (\\?\UNC\ for a share), a path already of that form kept, a device
# name left alone; messages show them without the prefix.
"$WINE_RUN" "$PROGRAMS/layer-paths.exe" 2>/dev/null | tr -d '\r' >"$WORK/layer-paths.txt"
expect_eq "extraction targets in their long-path form" "$(printf '%s\n' \
  '\\?\C:\pxq-paths\a|C:\pxq-paths\a' '\\?\C:\pxq-paths\c|C:\pxq-paths\c' \
  '\\?\UNC\server\share\d|\\server\share\d' '\\?\C:\x\y|C:\x\y' '\\?\C:\z|C:\z' \
  '\\?\C:\rel\dir|C:\rel\dir' '\\.\con|\\.\con')" "$(cat "$WORK/layer-paths.txt")"

# --- A target whose parent folders are missing: they are made. A file on
# the way: the message names that file (as a Windows path, without the
# long-path form the library uses inside), not the target.
if [ -f "$WORK/last.exe" ]; then
  run_loader "$WORK/last.exe" "/target=$(winpath "$WORK/missing/parent/out")"
  expect_eq "missing parent folders: the installer's result" 0 "$STATUS"
  check_tree "missing parent folders" "$WORK/missing/parent/out"
  printf 'a file\n' >"$WORK/plain-file"
  run_loader "$WORK/last.exe" "/target=$(winpath "$WORK/plain-file/out")"
  expect_eq "a file on the way: the installer's result" 183 "$STATUS"
  expect_eq "a file on the way: the message" \
    "cannot make the folder $(winpath "$WORK/plain-file"): a file or link stands where a folder goes (error 183)" \
    "$(record_value message)"
fi

# --- PXQ_EXTRACT_ROLLBACK over an existing install, an older version of
# the product (other bytes, times and a read-only file, and a file of the
# user's): cancelled, a file held open by another program, the disk full
# on a small drive. Each time the old tree comes back exactly: every path,
# kind, permission, size, time to the second's fraction and byte (a
# folder's own time follows what is made and removed in it, and is left
# out). Exit codes past 255 reach Linux cut to 8 bits: the installer's
# record holds the whole result.
# snapshot DIR: one line per path below DIR.
snapshot() {
  (cd "$1" && find . -type d -printf '%p %y %m\n' | sort && find . ! -type d -printf '%p %y %m %s %T@\n' | sort &&
    find . -type f -exec md5sum {} + | sort)
}
# old_install DIR: the older version in DIR.
old_install() {
  rm -rf "$1"
  mkdir -p "$1"
  cp -a "$product/." "$1/"
  head -c 150000 /dev/zero >"$1/bin/app.dat"
  printf 'old plugin\n' >"$1/bin/plugins/extra/one.txt"
  chmod 0644 "$1/LICENSE.txt"
  printf 'old licence\n' >"$1/LICENSE.txt"
  chmod 0444 "$1/LICENSE.txt"
  printf 'mine\n' >"$1/user-notes.txt"
  find "$1" -type f -exec touch -h -d '2020-02-03 04:05:06.123456789' {} +
}
if [ -f "$WORK/last.exe" ]; then
  # Cancelled at a file after bin/app.dat and LICENSE.txt in archive order:
  # those are in place by then.
  old=$WORK/old
  old_install "$old"
  before=$(snapshot "$old")
  run_loader "$WORK/last.exe" "/target=$(winpath "$old")" /rollback "/cancel-at=bin/plugins/extra/one.txt"
  expect_eq "rollback, cancelled: the installer's result" 1223 "$(record_value code)"
  expect_eq "rollback, cancelled: the message" \
    "the extraction was cancelled (error 1223); the target folder was put back as it was" "$(record_value message)"
  expect_eq "rollback, cancelled: the old install is back" "$before" "$(snapshot "$old")"

  old_install "$old"
  before=$(snapshot "$old")
  run_loader "$WORK/last.exe" "/target=$(winpath "$old")" /rollback /hold=bin\\plugins\\extra\\one.txt
  expect_eq "rollback, a file in use: held" 1 "$(record_value held)"
  expect_eq "rollback, a file in use: the installer's result" 32 "$STATUS"
  expect_match "rollback, a file in use: the message" \
    "^cannot replace .*one\.txt: the file is in use by another program \(close it and try again\) \(error 32\); the target folder was put back as it was\$" \
    "$(record_value message)"
  expect_eq "rollback, a file in use: the old install is back" "$before" "$(snapshot "$old")"

  # A drive of 300 KiB that holds the old install but not the old and the
  # new app.dat at once (a tmpfs, where this machine lets the test mount
  # one).
  small=$WORK/small
  mkdir -p "$small"
  if mount -t tmpfs -o size=300k pxq-wine-test "$small" 2>/dev/null; then
    ln -sfn "$small" "$WINEPREFIX/dosdevices/t:"
    old_install "$small/product"
    before=$(snapshot "$small")
    run_loader "$WORK/last.exe" '/target=T:\product' /rollback
    expect_eq "rollback, the disk full: the installer's result" 112 "$STATUS"
    expect_match "rollback, the disk full: the message" \
      'the disk is full \(error 112\); the target folder was put back as it was$' "$(record_value message)"
    expect_eq "rollback, the disk full: the old install is back" "$before" "$(snapshot "$small")"
    rm -f "$WINEPREFIX/dosdevices/t:"
    umount "$small"
  else
    echo "no tmpfs can be mounted here: the disk-full case under Wine is not run (the host test covers it)"
  fi

  # And done whole: the new version, the user's file kept, no copy left.
  old_install "$old"
  run_loader "$WORK/last.exe" "/target=$(winpath "$old")" /rollback
  expect_eq "rollback, done whole: the installer's result" 0 "$STATUS"
  rm -f "$old/user-notes.txt"
  check_tree "rollback, done whole" "$old"
fi

# --- A folder where a file goes: Windows refuses the rename as access
# denied; the library names the folder instead (x64 leg only: one more run).
if [ "$LEG" = x64 ] && [ -f "$WORK/last-unsigned.exe" ]; then
  out=$WORK/out-folder
  mkdir -p "$out/LICENSE.txt"
  run_loader "$WORK/last-unsigned.exe" "/target=$(winpath "$out")"
  expect_eq "a folder where a file goes: the installer's result" 336 "$(record_value code)"
  expect_match "a folder where a file goes: the message" 'LICENSE\.txt: a folder stands where the file goes \(error 336\)$' \
    "$(record_value message)"
fi

# --- A damaged data archive: the installer reports it, and the loader
# passes its code on; nothing is left half written.
if [ -f "$WORK/last-unsigned.exe" ]; then
  cp "$WORK/last-unsigned.exe" "$WORK/damaged.exe"
  size=$(stat -c %s "$WORK/damaged.exe")
  # A byte in the middle of the data archive's stream (the 200 KB file, in
  # a later block than LICENSE.txt). The locator names the head, which
  # gives the stream's size and the index's behind it.
  head=$(od -An -tu8 -j $(($(dword "$WORK/damaged.exe" $((0x2C))) + 8)) -N8 "$WORK/damaged.exe" | tr -d ' ')
  stream_size=$(od -An -tu8 -j $((head + 8)) -N8 "$WORK/damaged.exe" | tr -d ' ')
  index_size=$(dword "$WORK/damaged.exe" $((head + 16)))
  at=$((head - index_size - stream_size / 2))
  patch_bytes "$WORK/damaged.exe" "$at" "$(printf '\\x%02x' $(($(od -An -tu1 -j "$at" -N1 "$WORK/damaged.exe") ^ 0x55)))"
  out=$WORK/out-damaged
  run_loader "$WORK/damaged.exe" "/target=$(winpath "$out")"
  checks=$((checks + 1))
  if [ "$STATUS" = 0 ]; then fail "damaged data archive: exit code 0"; fi
  expect_eq "damaged data archive: the loader's exit code is the installer's result" "$(record_value code)" "$STATUS"
  expect_match "damaged data archive: a message" '.+' "$(record_value message)"
  # The entries before the damage stay; the one at hand leaves nothing behind.
  expect_eq "damaged data archive: the entry before it extracted" "licence text" "$(cat "$out/LICENSE.txt" 2>/dev/null)"
  expect_eq "damaged data archive: nothing of the damaged entry" "" "$(ls -A "$out/bin" 2>&1)"
fi

finish
