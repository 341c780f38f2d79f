#!/usr/bin/env bash
# What QZ719PT.dll carries, read back from the image with the toolchain's
# objdump: its format and subsystem, an export directory named "QZ719PT.DLL"
# with exactly the four undecorated names, and imports from kernel32 and
# user32 only (the library links no runtime library).
#
#   check-image.sh <objdump> <nm> <QZ719PT.dll> <its import library> PE32|PE32+
set -euo pipefail
objdump=$1 nm=$2 dll=$3 implib=$4 format=$5

# shellcheck source=../pe_image.sh
source "$(dirname "$0")/../pe_image.sh"

pe_read "$objdump" "$dll"
pe_expect_format "$format"
pe_expect_subsystem 00000002 "Windows GUI"
grep -qE '^Name[[:space:]]+[0-9a-f]+ QZ719PT\.DLL$' <<<"$dump" ||
  fail "export directory does not name the DLL QZ719PT.DLL"

exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' \
  <<<"$dump" | sort)
expected=$(printf '%s\n' QZ719PtGetVersion QZ719PtHandleIsQZ719 QZ719PtNameIsQZ719 \
  QZ719PtSetDevNotify | sort)
[[ $exports == "$expected" ]] || fail "exports are [$(echo $exports)], expected [$(echo $expected)]"

imports=$(pe_import_dlls)
[[ $imports == "KERNEL32.dll USER32.dll " ]] || fail "imports from [$imports], expected KERNEL32.dll and USER32.dll only"

# On i686 the exports are stdcall with 0, 4, 4 and 8 bytes of arguments: the
# import library keeps the decorated names that callers' declarations produce.
if [[ $format == PE32 ]]; then
  symbols=$("$nm" "$implib")
  for symbol in _QZ719PtGetVersion@0 _QZ719PtHandleIsQZ719@4 _QZ719PtNameIsQZ719@4 \
    _QZ719PtSetDevNotify@8; do
    grep -qE "[[:space:]]T ${symbol}$" <<<"$symbols" || fail "import library lacks $symbol"
  done
fi
echo "QZ719PT.dll: $format, Windows GUI, exports $(echo $exports), imports $imports"
