#!/usr/bin/env bash
# What Zelnor.exe carries, read back from the image: its format and subsystem,
# imports from kernel32 and user32 only, and its resources (decompiled with the
# toolchain's windres, UTF-16 escapes turned back into text): dialogs 102 and
# 100, string 101 and icon 128 with their texts, fonts and layout.
#
#   check-image.sh <objdump> <windres> <Zelnor.exe> PE32|PE32+
set -euo pipefail
objdump=$1 windres=$2 exe=$3 format=$4

# shellcheck source=../pe_image.sh
source "$(dirname "$0")/../pe_image.sh"

pe_read "$objdump" "$exe"
pe_expect_format "$format"
pe_expect_subsystem 00000002 "Windows GUI"
imports=$(pe_import_dlls)
[[ $imports == "KERNEL32.dll USER32.dll " ]] || fail "imports from [$imports], expected KERNEL32.dll and USER32.dll only"

# Resource script of the image without the icons' pixel data.
resources=$("$windres" -i "$exe" -O rc | grep -v '^  0x' |
  perl -CS -pe 's/\\x([0-9a-fA-F]{4})/chr(hex($1))/ge')

# The lines of one resource: from its "<name> <type>" line to its END.
block() { awk -v head="$1" 'index($0, head) == 1 { on = 1 } on { print } on && /^END/ { exit }' <<<"$resources"; }

expect() {
  local name=$1 text
  text=$(block "$name")
  [[ -n $text ]] || fail "no resource '$name'"
  shift
  for line in "$@"; do
    grep -qF -- "$line" <<<"$text" || fail "resource '$name' lacks '$line'; it reads:"$'\n'"$text"
  done
}

expect "102 DIALOGEX 0, 0, 115, 56" \
  'CAPTION "Driver Installer"' \
  'FONT 9, "Arial"' \
  'LTEXT "Installing...", -1, 14, 13, 94, 14' \
  'PUSHBUTTON "Close", 2, 62, 36, 46, 13'
expect "100 DIALOGEX 0, 0, 235, 55" \
  'CAPTION "About Zelnor"' \
  'FONT 9, L"宋体"' \
  'ICON 128, -1, 11, 17' \
  '"Zelnor 1.0 版", -1, 130, 0x50000080, 40, 10,' \
  ', -1, 130, 0x50000080, 40, 25,' \
  'DEFPUSHBUTTON L"确定", 1, 178, 7, 50, 14'
expect "STRINGTABLE" '101, L"关于 Zelnor(&A)..."'
# Icon 128 holds a large (32 x 32) and a small (16 x 16) image.
expect "128 14 /* RT_GROUP_ICON */" '"\040\040\000\000"' '"\020\020\000\000"'
echo "Zelnor.exe: $format, Windows GUI, imports $imports, dialogs 102 and 100, string 101, icon 128"
