#!/usr/bin/env bash
# pxq.exe, the tool for Windows build hosts, run natively by wine64 on a
# 64-bit prefix:
# - the same bytes as pxq on Linux for the same inputs, options and
#   SOURCE_DATE_EPOCH: packs (builds only; --data with names outside the
#   ANSI code page and a read-only file; every resource option and an icon;
#   --loader-path environment), tags in every form on an unsigned, a signed
#   and a dual-signed file, and removals; list --json the same document but
#   for the file's path;
# - the release as a Windows build host runs it (the README's PowerShell
#   steps, signing with osslsigncode in place of signtool): pack, sign, tag
#   in place, verify, list, run;
# - the host layer in Windows terms: non-ASCII and long paths, an output
#   that is one of the inputs (file identity), a file held open by another
#   Windows process, exit codes, -o - and the imports of the file;
# - Ctrl+C, given through the console as a user's key is, during a large
#   pack and during extract --data: no staged file left, the old output
#   kept, exit code STATUS_CONTROL_C_EXIT. Wine 8 delivers no Ctrl+Break
#   (GenerateConsoleCtrlEvent fails) and no closed-console event; the host
#   unit tests call the handler with those events instead. Ctrl+Break is
#   still tried, and checked where this Wine delivers it.
source "$(dirname "$0")/lib.sh"
require_tools openssl osslsigncode
use_prefix win64

PXQW=$PXQ_BIN_DIR/pxq.exe
TOOL_PROGRAMS=${PXQ_WINDOWS_TOOL_PROGRAMS:?}
[ -x "$PXQW" ] || { fail "no pxq.exe in $PXQ_BIN_DIR"; finish; }
export SOURCE_DATE_EPOCH=1767225600

# pxqw ARGS...: pxq.exe with ARGS; STATUS, and OUT and ERR (its standard
# output and error, through files: Wine's helpers may hold a pipe open).
pxqw() {
  "$WINE64" "$PXQW" "$@" >"$WORK/out.txt" 2>"$WORK/err.txt" </dev/null
  STATUS=$?
  OUT=$(cat "$WORK/out.txt")
  ERR=$(tr -d '\r' <"$WORK/err.txt")
}
W() { winpath "$1"; }

# --- The file: one program, importing system DLLs only.
imports=$(x86_64-w64-mingw32-objdump -p "$PXQW" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
checks=$((checks + 1))
for dll in $imports; do
  case $dll in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ws2_32.dll | crypt32.dll | bcrypt.dll | shell32.dll) ;;
    *) fail "pxq.exe imports $dll (imports: $imports)" ;;
  esac
done

# --- Inputs: two builds, an icon, a product tree.
in=$WORK/in
mkdir -p "$in"
cp "$PXQ_WINDOWS_X64_DIR/programs/installer-nt-x64.exe" "$in/nt64.exe"
cp "$PXQ_WINDOWS_X64_DIR/programs/installer-generic.exe" "$in/generic.exe"
dib() {
  local size=$1 fill=$2
  printf '\x28\x00\x00\x00'; printf "\\x$(printf %02x "$size")\\x00\\x00\\x00"
  printf "\\x$(printf %02x $((size * 2)))\\x00\\x00\\x00"; printf '\x01\x00\x20\x00'
  head -c 24 /dev/zero
  for ((i = 0; i < size * size; i++)); do printf "$fill"; done
  head -c $((size * 4)) /dev/zero
}
dib 16 '\x00\x80\xff\xff' >"$WORK/image16"
{
  printf '\x00\x00\x01\x00\x01\x00\x10\x10\x00\x00\x01\x00\x20\x00'
  size=$(stat -c %s "$WORK/image16")
  printf "\\x$(printf %02x $((size & 255)))\\x$(printf %02x $((size >> 8)))\\x00\\x00\\x16\\x00\\x00\\x00"
  cat "$WORK/image16"
} >"$in/app.ico"
product=$in/product
mkdir -p "$product/日本語" "$product/docs"
printf 'Ελληνικά\n' >"$product/docs/Ελληνικά.txt"
printf 'こんにちは\n' >"$product/日本語/説明.txt"
head -c 70000 /dev/urandom >"$product/app.dat"
printf 'read only\n' >"$product/readonly.txt"
chmod a-w "$product/readonly.txt"
touch -d @1700000000 "$in"/*.exe "$in/app.ico"
find "$product" -exec touch -h -d @1700000000 {} +

linux=$WORK/linux windows=$WORK/windows
mkdir -p "$linux" "$windows"

# same NAME ARGS...: pxq writes linux/NAME, pxq.exe windows/NAME, from the
# same arguments, where @NAME stands for the output and {PATH} for an input.
same() {
  local name=$1
  shift
  local a=() b=() arg
  for arg in "$@"; do
    case $arg in
      @) a+=("$linux/$name") b+=("$(W "$windows/$name")") ;;
      @*) a+=("$linux/${arg#@}") b+=("$(W "$windows/${arg#@}")") ;;
      {*}) arg=${arg#\{}; arg=${arg%\}}; a+=("$arg") b+=("$(W "$arg")") ;;
      *) a+=("$arg") b+=("$arg") ;;
    esac
  done
  "$PXQ" "${a[@]}" >"$WORK/linux-out.txt" 2>&1
  local linuxstatus=$?
  pxqw "${b[@]}"
  expect_eq "$name: exit code, pxq.exe as pxq" "$linuxstatus" "$STATUS"
  checks=$((checks + 1))
  if ! cmp -s "$linux/$name" "$windows/$name"; then
    fail "$name: pxq.exe's bytes differ from pxq's ($(cmp "$linux/$name" "$windows/$name" 2>&1 | head -1)); stderr: $ERR"
  fi
}

pack=(pack -q --no-machine-check --stub "{$PXQ_BIN_DIR/pxq-loader.exe}")
same builds.exe "${pack[@]}" -o @ --nt-x64 "{$in/nt64.exe}" --generic "{$in/generic.exe}"
same data.exe "${pack[@]}" -o @ --nt-x64 "{$in/nt64.exe}" --data "{$product}"
same resources.exe "${pack[@]}" -o @ --nt-x64 "{$in/nt64.exe}" --arguments '/S /D=C:\Program Files\Acme' \
  --product-name 'Acme Süite' --file-description 'Acme Setup' --company 'Acme Ltd' --copyright '© 2026 Acme' \
  --product-version 2.1 --file-version '2.1.0.7 (spring)' --icon "{$in/app.ico}" --execution-level asInvoker
same loader-path.exe "${pack[@]}" -o @ --nt-x64 "{$in/nt64.exe}" --loader-path environment --preset 1

# Signed once and twice (nested), by osslsigncode.
(cd "$WORK" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj '/CN=pxq.exe test' -addext extendedKeyUsage=codeSigning >/dev/null 2>&1)
sign() { osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -h sha256 "$@" >/dev/null 2>&1; }
sign -in "$linux/resources.exe" -out "$in/signed.exe" || fail "osslsigncode sign"
sign -nest -in "$in/signed.exe" -out "$in/dual.exe" || fail "osslsigncode sign -nest"
cp "$linux/builds.exe" "$in/unsigned.exe"
for file in unsigned signed dual; do
  same "$file-ansi.exe" tag --pad -o @ "{$in/$file.exe}" 'campaign=spring'
  same "$file-utf8.exe" tag --pad --form utf8 -o @ "{$in/$file.exe}" 'Grüße €'
  same "$file-utf16.exe" tag --pad --form utf16 -o @ "{$in/$file.exe}" 'Grüße €'
  same "$file-removed.exe" tag --remove -o @ "{$linux/$file-utf8.exe}"
done
verify=$(osslsigncode verify -CAfile "$WORK/cert.pem" -in "$windows/dual-utf16.exe" 2>&1)
expect_match "dual-signed, tagged by pxq.exe: osslsigncode verifies it" 'Signature verification: ok' "$verify"

# list --json: the same document but for the path.
"$PXQ" list --json "$linux/data.exe" >"$WORK/linux.json" 2>/dev/null
pxqw list --json "$(W "$linux/data.exe")"
json_without_path() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); d.pop("file"); print(json.dumps(d,sort_keys=True))' "$1"; }
cp "$WORK/out.txt" "$WORK/windows.json"
expect_eq "list --json: the same document but for the path" "$(json_without_path "$WORK/linux.json")" \
  "$(json_without_path "$WORK/windows.json" 2>&1)"
expect_eq "list --json: the path as given" "$(W "$linux/data.exe")" \
  "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["file"])' "$WORK/windows.json" 2>&1)"

# --- The release on a Windows build host (README, "Windows build hosts").
rel=$WORK/release
mkdir -p "$rel"
cp "$in/nt64.exe" "$in/generic.exe" "$in/app.ico" "$rel/"
cd "$rel" || exit 1
pxqw pack -o setup.exe --generic generic.exe --nt-x64 nt64.exe --no-machine-check --product-name 'Acme Suite' --icon app.ico
expect_eq "release: pack" 0 "$STATUS"
sign -in setup.exe -out setup-signed.exe && mv setup-signed.exe setup.exe
pxqw tag --pad setup.exe 'campaign=spring'
expect_eq "release: tag in place" 0 "$STATUS"
verify=$(osslsigncode verify -CAfile "$WORK/cert.pem" -in setup.exe 2>&1)
expect_match "release: osslsigncode verifies the tagged file" 'Signature verification: ok' "$verify"
pxqw list setup.exe
expect_eq "release: list" 0 "$STATUS"
expect_match "release: list shows the tag" 'campaign=spring' "$OUT"
expect_match "release: list shows the signature" '[Ss]ign' "$OUT"
cd "$WORK" || exit 1

# --- run: the loader's code over the win32 backend starts the installer.
PXQ_TEST_RECORD=$(W "$WORK/record.txt") pxqw run "$(W "$rel/setup.exe")" one 'two words'
expect_eq "run: the installer's exit code" 0 "$STATUS"
expect_match "run: the installer got the tag and the arguments" 'campaign=spring one "two words"' \
  "$(sed -n 's/^command_line=//p' "$WORK/record.txt" 2>/dev/null)"
PXQ_TEST_EXIT=7 PXQ_TEST_RECORD=$(W "$WORK/record.txt") pxqw run "$(W "$rel/setup.exe")"
expect_eq "run: the installer's exit code passed on" 7 "$STATUS"

# --- Names: outside the ANSI code page, and past MAX_PATH.
deep=$WORK/Łódź-日本
for i in 1 2 3 4 5 6; do deep=$deep/folder-with-a-long-name-$i-abcdefghijklmnopqrstuvwxyz; done
mkdir -p "$deep"
cp "$in/nt64.exe" "$deep/ビルド.exe"
pxqw pack -q --no-machine-check -o "$(W "$deep/セットアップ.exe")" --nt-x64 "$(W "$deep/ビルド.exe")"
expect_eq "long non-ASCII path (${#deep} bytes): pack" 0 "$STATUS"
pxqw list "$(W "$deep/セットアップ.exe")"
expect_eq "long non-ASCII path: list" 0 "$STATUS"
pxqw extract "$(W "$deep/セットアップ.exe")" --nt-x64 -o "$(W "$deep/出力.exe")"
expect_eq "long non-ASCII path: extract" 0 "$STATUS"
checks=$((checks + 1))
cmp -s "$deep/出力.exe" "$in/nt64.exe" || fail "long non-ASCII path: the extracted build differs"
pxqw list "$(W "$deep/無い.exe")"
expect_eq "missing file: exit code" 1 "$STATUS"
expect_match "missing file: the system's words, the number and the name" \
  '無い\.exe: .*\(error 2\)' "$ERR"

# --- -o -: binary bytes on standard output.
"$WINE64" "$PXQW" extract "$(W "$linux/builds.exe")" --nt-x64 -o - >"$WORK/stdout.bin" 2>/dev/null </dev/null
checks=$((checks + 1))
cmp -s "$WORK/stdout.bin" "$in/nt64.exe" || fail "extract -o -: the bytes differ from the build (text mode?)"

# --- Usage errors and failures: the exit codes.
pxqw pack
expect_eq "pack without -o: usage error" 2 "$STATUS"
pxqw frobnicate
expect_eq "unknown command" 2 "$STATUS"
pxqw --version
expect_eq "--version" 0 "$STATUS"
expect_match "--version finds pxq-loader.exe beside pxq.exe" 'stub: .*pxq-loader\.exe \(pxq stub' "$OUT"

# --- An output that is one of the inputs, by file identity: named through
# another letter case and through a hard link.
cp "$in/nt64.exe" "$WORK/Build.exe"
ln "$WORK/Build.exe" "$WORK/linked.exe"
before=$(sha256sum <"$WORK/Build.exe")
for output in "$WORK/linked.exe" "$WORK/Build.exe"; do
  pxqw pack -q --no-machine-check -o "$(W "$output")" --nt-x64 "$(W "$WORK/Build.exe")"
  expect_eq "output over an input ($(basename "$output")): refused" 1 "$STATUS"
  expect_match "output over an input: said" 'is also an input' "$ERR"
done
expect_eq "output over an input: the input unchanged" "$before" "$(sha256sum <"$WORK/Build.exe")"

# --- A file held open by another Windows process: named, nothing changed.
cp "$linux/builds.exe" "$WORK/held.exe"
before=$(sha256sum <"$WORK/held.exe")
rm -f "$WORK/held.exe.held" "$WORK/held.exe.release"
"$WINE64" "$TOOL_PROGRAMS/hold-file.exe" "$(W "$WORK/held.exe")" >/dev/null 2>&1 </dev/null &
holder=$!
for ((i = 0; i < 600; i++)); do [ -f "$WORK/held.exe.held" ] && break; sleep 0.05; done
checks=$((checks + 1))
[ -f "$WORK/held.exe.held" ] || fail "hold-file.exe did not take the file"
pxqw tag "$(W "$WORK/held.exe")" 'campaign=held'
expect_eq "tag of a held file: exit code" 1 "$STATUS"
expect_match "tag of a held file: says it is in use and names it" 'held\.exe: .*in use by another program' "$ERR"
pxqw pack -q --no-machine-check -o "$(W "$WORK/held.exe")" --nt-x64 "$(W "$in/nt64.exe")"
expect_eq "pack over a held file: exit code" 1 "$STATUS"
expect_match "pack over a held file: says it is in use" 'held\.exe: .*in use by another program' "$ERR"
touch "$WORK/held.exe.release"
wait "$holder"
expect_eq "held file: unchanged" "$before" "$(sha256sum <"$WORK/held.exe")"
expect_eq "held file: no staged file left" "" "$(find "$WORK" -maxdepth 1 -name '.held.exe.pxq-*')"

# --- Console control events. console-event.exe starts pxq.exe on a console
# of its own and gives it the event once its staged file (a name beginning
# with PREFIX in FOLDER) is there.
events=$WORK/events
mkdir -p "$events/out"
head -c 12000000 /dev/urandom >"$events/big.bin"
mkdir -p "$events/product"
cp "$events/big.bin" "$events/product/big.bin"
"$PXQ" pack -q --no-machine-check --stub "$PXQ_BIN_DIR/pxq-loader.exe" -o "$events/data.exe" --nt-x64 "$in/nt64.exe" \
  --data "$events/product" --preset 0 || fail "events: pxq pack --data"
# console_event EVENT FOLDER PREFIX PXQ-ARGS...: sets EVENT_OUT.
console_event() {
  local event=$1 folder=$2 prefix=$3
  shift 3
  EVENT_OUT=$("$WINE64" "$TOOL_PROGRAMS/console-event.exe" "$event" "$(W "$folder")" "$prefix" "$(W "$PXQW")" "$@" \
    2>&1 </dev/null)
}
for event in c break; do
  printf 'the old loader file\n' >"$events/setup.exe"
  console_event "$event" "$events" .setup.exe.pxq- pack -q -o "$(W "$events/setup.exe")" \
    --stub "$(W "$PXQ_BIN_DIR/pxq-loader.exe")" --generic "$(W "$events/big.bin")" --preset 9e
  if [ "$event" = break ] && [[ $EVENT_OUT == "not delivered: GenerateConsoleCtrlEvent"* ]]; then
    # Wine's console server gives Ctrl+C only; the helper ended pxq.exe itself.
    rm -f "$events"/.setup.exe.pxq-*
    LEG_NOTE="Ctrl+Break not delivered by this Wine, ${EVENT_OUT#not delivered: }"
    echo "$LEG_NOTE"
    continue
  fi
  expect_eq "pack, Ctrl+$event: pxq.exe's exit code" "exit 0xC000013A" "$EVENT_OUT"
  expect_eq "pack, Ctrl+$event: no staged file left" "" "$(find "$events" -maxdepth 1 -name '.setup.exe.pxq-*')"
  expect_eq "pack, Ctrl+$event: the old output kept" "the old loader file" "$(cat "$events/setup.exe")"
  # extract --data: the installer library's temporary file in the target folder.
  rm -rf "$events/out" && mkdir -p "$events/out"
  console_event "$event" "$events/out" .pxq- extract "$(W "$events/data.exe")" --data -o "$(W "$events/out")"
  expect_eq "extract --data, Ctrl+$event: pxq.exe's exit code" "exit 0xC000013A" "$EVENT_OUT"
  expect_eq "extract --data, Ctrl+$event: no temporary file left" "" "$(ls -A "$events/out")"
done

finish
