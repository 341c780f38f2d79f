# Shared by the image checks of the three deliverables: sourced, not run.
# Reads a PE image's headers once with the toolchain's objdump and offers the
# checks every image needs. The caller sets `set -euo pipefail`.

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# pe_read <objdump> <image>: the headers, into $dump.
pe_read() {
  dump=$("$1" -p "$2")
}

# pe_expect_format PE32|PE32+
pe_expect_format() {
  case $1 in
    PE32) grep -qE '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)$' <<<"$dump" || fail "not PE32" ;;
    PE32+) grep -qE '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)$' <<<"$dump" || fail "not PE32+" ;;
    *) fail "unknown format $1" ;;
  esac
}

# pe_expect_subsystem <number> <objdump's name for it>, e.g. 00000002 "Windows GUI".
pe_expect_subsystem() {
  grep -qE "^Subsystem[[:space:]]+$1[[:space:]]+\\($2\\)\$" <<<"$dump" ||
    fail "subsystem is not $2"
}

# The imported DLL names, sorted case-insensitively, one line, space-separated.
pe_import_dlls() {
  sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -fu | tr '\n' ' '
}
