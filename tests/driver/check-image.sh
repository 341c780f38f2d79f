#!/usr/bin/env bash
# What Vaxport.sys is, read back from the image with the toolchain's objdump:
# a PE32 image for the native subsystem whose entry point is DriverEntry; no
# static constructors (nothing would run them) and base relocations (the
# kernel loads a driver wherever it likes); no exports; imports only from the
# kernel (ntoskrnl.exe), the HAL, USBD.SYS and WMILIB.SYS, each by the plain
# name those modules export (a stdcall-decorated name such as _USBD_...@28
# would leave the driver unloadable).
#
#   check-image.sh <objdump> <Vaxport.sys>
set -euo pipefail
objdump=$1 sys=$2

# shellcheck source=../pe_image.sh
source "$(dirname "$0")/../pe_image.sh"

pe_read "$objdump" "$sys"
pe_expect_format PE32
pe_expect_subsystem 00000001 "NT native"

# The entry point is the address of _DriverEntry@8 (stdcall, two arguments).
base=$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$dump")
entry=$(sed -n 's/^AddressOfEntryPoint[[:space:]]*//p' <<<"$dump")
symbol=$("$objdump" -t "$sys" | awk '$NF == "_DriverEntry@8" { print }')
[[ -n $symbol ]] || fail "no symbol _DriverEntry@8"
# objdump -t gives the value relative to the section: add the section's address.
section=$(sed -E 's/.*\(sec +([0-9]+)\).*/\1/' <<<"$symbol")
offset=$(awk '{ print $NF == "_DriverEntry@8" ? $(NF-1) : "" }' <<<"$symbol")
section_vma=$("$objdump" -h "$sys" | awk -v idx=$((section - 1)) '$1 == idx { print $4 }')
[[ -n $section_vma ]] || fail "no section $section"
((0x$base + 0x$entry == 0x$section_vma + offset)) ||
  fail "entry point $entry is not DriverEntry (section $section at $section_vma + $offset)"

sections=$("$objdump" -h "$sys" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
for section in .ctors .dtors .init_array .fini_array .CRT .tls; do
  ! grep -qx -- "$section" <<<"$sections" || fail "has a $section section"
done
grep -qx -- .reloc <<<"$sections" || fail "has no .reloc section"

exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' \
  <<<"$dump")
[[ -z $exports ]] || fail "exports [$(echo $exports)], expected none"

# The import table: each "DLL Name:" line, then "<hint-rva> <hint> <name>" lines.
imports=$(awk '/^[[:space:]]*DLL Name:/ { dll = $3; print "dll " dll; next }
               dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print "fn " dll " " $3 }
               /^$/ { dll = "" }' <<<"$dump")
dlls=$(awk '$1 == "dll" { print $2 }' <<<"$imports" | sort -fu | tr '\n' ' ')
[[ -n $dlls ]] || fail "no import table"
grep -qx 'dll ntoskrnl.exe' <<<"$imports" || fail "does not import from ntoskrnl.exe"
for dll in $dlls; do
  case ${dll,,} in
    ntoskrnl.exe | hal.dll | usbd.sys | wmilib.sys) ;;
    *) fail "imports from $dll; allowed are ntoskrnl.exe, HAL.dll, USBD.SYS and WMILIB.SYS" ;;
  esac
done
decorated=$(awk '$1 == "fn" && $3 ~ /@[0-9]+$/ { print $2 ": " $3 }' <<<"$imports")
[[ -z $decorated ]] || fail "imports by decorated names no module exports: $(echo $decorated)"
count=$(grep -c '^fn ' <<<"$imports")
echo "Vaxport.sys: PE32, native, entry _DriverEntry@8, no exports, $count imports from $dlls"
