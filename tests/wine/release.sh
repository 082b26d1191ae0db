#!/usr/bin/env bash
# The release pipeline on a 64-bit Wine prefix: a loader file packed with
# its resources (Arguments, version strings, icon, manifest), signed with a
# throwaway certificate, then tagged in each form. Windows' own version API
# reads the resources, icoutils reads the icon, osslsigncode checks the
# signature, and the installer receives the Arguments value and the tag.
source "$(dirname "$0")/lib.sh"
require_tools openssl osslsigncode wrestool
require_full_leg
use_prefix win64

# An icon of two sizes, 16 and 32 pixels, 32 bits: each image a
# BITMAPINFOHEADER (height doubled for the mask), the pixels, the AND mask.
dib() {
  local size=$1 fill=$2
  printf '\x28\x00\x00\x00'; printf "\\x$(printf %02x "$size")\\x00\\x00\\x00"
  printf "\\x$(printf %02x $((size * 2)))\\x00\\x00\\x00"; printf '\x01\x00\x20\x00'
  head -c 24 /dev/zero
  for ((i = 0; i < size * size; i++)); do printf "$fill"; done
  head -c $((size * 4)) /dev/zero
}
dib 16 '\x00\x80\xff\xff' >"$WORK/image16"
dib 32 '\xff\x40\x00\xff' >"$WORK/image32"
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
size16=$(stat -c %s "$WORK/image16") size32=$(stat -c %s "$WORK/image32")
{
  printf '\x00\x00\x01\x00\x02\x00'
  printf '\x10\x10\x00\x00\x01\x00\x20\x00'; le32 "$size16"; le32 38
  printf '\x20\x20\x00\x00\x01\x00\x20\x00'; le32 "$size32"; le32 $((38 + size16))
  cat "$WORK/image16" "$WORK/image32"
} >"$WORK/app.ico"

arguments='/S /D=C:\Program Files\Acme'
if ! pack "$WORK/setup.exe" --generic "$PROGRAMS/installer-generic.exe" \
  --nt-x64 "$PROGRAMS/installer-nt-x64.exe" --arguments "$arguments" --product-name 'Acme Suite' \
  --file-description 'Acme Suite Setup' --company 'Acme Ltd' --copyright '© 2026 Acme Ltd' \
  --product-version 2.1 --file-version '2.1.0.7 (spring)' --icon "$WORK/app.ico" \
  --execution-level asInvoker; then
  finish
fi

# --- The resources, as Windows reads them (Windows-1252 here: © is A9).
"$WINE_RUN" "$PROGRAMS/version-query.exe" "$(winpath "$WORK/setup.exe")" 2>/dev/null | tr -d '\r' >"$WORK/version.txt"
expect_eq "version resource through the Windows API" "$(printf '%s\n' \
  'Translation=000004b0' 'FileVersionNumbers=2.1.0.7' 'ProductVersionNumbers=2.1.0.0' "Arguments=$arguments" \
  'ProductName=Acme Suite' 'FileDescription=Acme Suite Setup' 'CompanyName=Acme Ltd' \
  "LegalCopyright=$(printf '\xa9') 2026 Acme Ltd" 'ProductVersion=2.1' 'FileVersion=2.1.0.7 (spring)')" \
  "$(cat "$WORK/version.txt")"
wrestool -x --type=14 "$WORK/setup.exe" >"$WORK/group.ico" 2>/dev/null
expect_eq "icon: the group icon rebuilds the .ico" "$(od -An -tx1 -v "$WORK/app.ico")" \
  "$(head -c "$(stat -c %s "$WORK/app.ico")" "$WORK/group.ico" | od -An -tx1 -v)"
expect_eq "icon: one RT_ICON per size" 2 "$(wrestool -l --type=3 "$WORK/setup.exe" | grep -c 'type=icon')"
expect_match "manifest: execution level" 'requestedExecutionLevel level="asInvoker"' \
  "$(wrestool -x --raw --type=24 "$WORK/setup.exe" 2>/dev/null)"

# --- Signed with a throwaway certificate, then tagged in each form.
(cd "$WORK" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj '/CN=pxq release test' -addext extendedKeyUsage=codeSigning >/dev/null 2>&1)
osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -h sha256 -in "$WORK/setup.exe" \
  -out "$WORK/signed.exe" >/dev/null || fail "osslsigncode sign"
expected() { printf '"%s" %s %s  "%s"' "$RECORD_MODULE" "$arguments" "$1" "$(winpath "$WORK/signed.exe")"; }
# form, text, what the installer gets (Windows-1252: ü FC, ß DF, € 80)
check_form() {
  local form=$1 text=$2 received=$3
  "$PXQ" tag --pad --form "$form" "$WORK/signed.exe" "$text" >/dev/null || fail "pxq tag --form $form"
  local verify
  verify=$(osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/signed.exe" 2>&1)
  expect_match "$form tag: signature verified" 'Signature verification: ok' "$verify"
  checks=$((checks + 1))
  if [[ $verify == *"invalid PE checksum"* ]]; then fail "$form tag: PE checksum"; fi
  run_loader "$WORK/signed.exe"
  expect_eq "$form tag: exit code" 0 "$STATUS"
  expect_eq "$form tag: the installer's command line" "$(expected "$received")" "$RECORD_COMMAND_LINE"
}
check_form ansi 'campaign=spring' 'campaign=spring'
check_form utf8 'Grüße €' "$(printf 'Gr\xfc\xdfe \x80')"
check_form utf16 'Grüße €' "$(printf 'Gr\xfc\xdfe \x80')"
# The version resource is still read from the signed, tagged file.
"$WINE_RUN" "$PROGRAMS/version-query.exe" "$(winpath "$WORK/signed.exe")" 2>/dev/null | tr -d '\r' >"$WORK/signed-version.txt"
expect_eq "signed and tagged: version resource unchanged" "$(cat "$WORK/version.txt")" "$(cat "$WORK/signed-version.txt")"

finish
