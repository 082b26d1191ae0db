#!/usr/bin/env bash
# The stub's image as built: a 32-bit GUI executable entered at LoaderMain,
# relocatable with DEP on, importing nothing but kernel32 and msvcrt, small,
# and carrying the version resource with its 65-unit "Arguments" value.
# Environment beyond lib.sh's: PXQ_OBJDUMP, PXQ_STUB_UNSTRIPPED (the linked
# stub before stripping), PXQ_VERSION (the project version).
source "$(dirname "$0")/lib.sh"
: "${PXQ_OBJDUMP:?}" "${PXQ_STUB_UNSTRIPPED:?}" "${PXQ_VERSION:?}"

headers=$("$PXQ_OBJDUMP" -p "$STUB")
field() { printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'; }

expect_match "format" 'file format pei-i386' "$headers"
expect_eq "subsystem (Windows GUI)" 00000002 "$(field Subsystem)"
# Hardening as BinSkim checks an x86 image: ASLR with the relocations it
# needs, DEP, no SEH handlers (the stub has none), and no section that is
# both writable and executable, or shared between processes.
expect_eq "DllCharacteristics: DYNAMIC_BASE, NX_COMPAT and NO_SEH" $((0x540)) $((0x$(field DllCharacteristics) & 0x540))
expect_match "relocations kept" '\.reloc' "$("$PXQ_OBJDUMP" -h "$STUB")"
# pxq pack rewrites the resources: their section must be the last one, in
# the section table and in the file, and the file must end with it.
last=$("$PXQ_OBJDUMP" -h "$STUB" | awk '$1 ~ /^[0-9]+$/ { line = $2 " " $3 " " $6 } END { print line }')
read -r name rsrc_size rsrc_offset <<<"$last"
expect_eq "the resource section is the last section" .rsrc "$name"
alignment=$((0x$(field FileAlignment)))
expect_eq "the file ends with the resource section" "$(stat -c %s "$STUB")" \
  $((0x$rsrc_offset + (0x$rsrc_size + alignment - 1) / alignment * alignment))
# ld's 1024 bytes of headers are compacted to one 512-byte unit.
expect_eq "headers in one file-alignment unit" 00000200 "$(field SizeOfHeaders)"
u16() { od -An -tu2 -j "$1" -N2 "$STUB" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N4 "$STUB" | tr -d ' '; }
pe=$(u32 60)
expect_eq "file header: relocations not stripped" 0 $(($(u16 $((pe + 22))) & 0x0001))
expect_eq "base relocation directory present" 1 $(($(u32 $((pe + 24 + 136 + 4))) > 0))
sections=$(u16 $((pe + 6)))
table=$((pe + 24 + $(u16 $((pe + 20)))))
for ((i = 0; i < sections; i++)); do
  entry=$((table + 40 * i))
  name=$(dd if="$STUB" bs=1 skip="$entry" count=8 2>/dev/null | tr -d '\0')
  flags=$(u32 $((entry + 36)))
  expect_eq "section $name: not writable and executable" 0 $(((flags & 0x80000000) != 0 && (flags & 0x20000000) != 0))
  expect_eq "section $name: not shared" 0 $((flags & 0x10000000))
done
expect_eq "imported DLLs" "KERNEL32.dll msvcrt.dll" \
  "$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' | sort -f | tr '\n' ' ' | sed 's/ $//')"
loadermain=$("${PXQ_OBJDUMP%objdump}nm" "$PXQ_STUB_UNSTRIPPED" | awk '$3 == "_LoaderMain" { print $1 }')
expect_eq "entry point is LoaderMain" "${loadermain:-none}" \
  "$(printf '%08x' $((0x$(field AddressOfEntryPoint) + 0x$(field ImageBase))))"
size=$(stat -c %s "$STUB")
echo "pxq-loader.exe: $size bytes"
checks=$((checks + 1))
[ "$size" -le 27648 ] || fail "the stub has $size bytes, more than 27,648"

# --- The version resource, read from the bytes. Each block: wLength,
# wValueLength, wType, the UTF-16 key with its terminator, padding to 4 bytes.
word() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
utf16_pattern() { local s=$1 i; for ((i = 0; i < ${#s}; i++)); do printf '%s\\x00' "${s:i:1}"; done; printf '\\x00\\x00'; }
# block KEY: sets BLOCK (its offset in the file) and VALUE (its value's offset).
block() {
  local key
  key=$(find_bytes "$STUB" "$(utf16_pattern "$1")")
  if [ -z "$key" ]; then
    fail "version resource: no block \"$1\""
    BLOCK=0 VALUE=0
    return 1
  fi
  BLOCK=$((key - 6))
  VALUE=$(((BLOCK + 6 + 2 * (${#1} + 1) + 3) / 4 * 4))
}
# The text of a string value, and its stored length in units.
string_value() {
  block "$1" || return
  local units i text=
  units=$(word "$STUB" $((BLOCK + 2)))
  for ((i = 0; i < units - 1; i++)); do text+=$(printf "\\x$(printf %x "$(word "$STUB" $((VALUE + 2 * i)))")"); done
  expect_eq "version resource: \"$1\" is text" 1 "$(word "$STUB" $((BLOCK + 4)))"
  expect_eq "version resource: \"$1\" terminated" 0 "$(word "$STUB" $((VALUE + 2 * (units - 1))))"
  printf '%s' "$text"
}

block Arguments
expect_eq "Arguments: stored length in units" 65 "$(word "$STUB" $((BLOCK + 2)))"
expect_eq "Arguments: block length" $((28 + 130)) "$(word "$STUB" "$BLOCK")"
expect_eq "Arguments: 130 zero bytes" 130 "$(od -An -v -tx1 -j "$VALUE" -N130 "$STUB" | tr -s ' ' '\n' | grep -c '^00$')"
block Translation
expect_eq "translation: language 0x0000, code page 0x04B0" "0 1200" \
  "$(word "$STUB" "$VALUE") $(word "$STUB" $((VALUE + 2)))"
block 000004b0
block VS_VERSION_INFO
expect_eq "fixed file info: signature" feef04bd "$(od -An -tx4 -j "$VALUE" -N4 "$STUB" | tr -d ' ')"
IFS=. read -r major minor patch <<<"$PXQ_VERSION"
expect_eq "fixed file info: file version" "$(printf '%08x%08x' $(((major << 16) | minor)) $((patch << 16)))" \
  "$(od -An -tx4 -j $((VALUE + 8)) -N8 "$STUB" | tr -d ' ')"
expect_eq "FileDescription" "PXQ Loader" "$(string_value FileDescription)"
expect_eq "ProductName" "pxq" "$(string_value ProductName)"
expect_eq "FileVersion" "$PXQ_VERSION" "$(string_value FileVersion)"
expect_eq "ProductVersion" "$PXQ_VERSION" "$(string_value ProductVersion)"

finish
