#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test, host and
# Wine. Exits non-zero if anything fails. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

echo "== format"
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || true)
if [ -n "$files" ]; then
  # shellcheck disable=SC2086
  clang-format --dry-run -Werror $files
fi

echo "== host rules"
# The host build has a 16-bit wchar_t, which the C library and std::wstring
# do not know about: wide text is std::u16string there (kernel/io.h converts).
wide=$(git grep -n -E 'std::wstring|\bwcs[a-z]*\(|\bwmem[a-z]*\(' -- platform hardware tests driver tools \
         ':!tests/wine' ':!tools/test-all.sh' | grep -v -E '^[^:]+:[0-9]+: *//' || true)
if [ -n "$wide" ]; then
  echo "$wide"
  echo "wide-character C library or std::wstring in host code (use std::u16string; kernel/io.h converts)"
  exit 1
fi

presets=(${VAX_PRESETS:-host host-release win32 win64 host-tsan})
failed=()
for preset in "${presets[@]}"; do
  echo "== $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset (build)")
    continue
  fi
  ctest --preset "$preset" || failed+=("$preset (tests)")
done

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all presets built and tested: ${presets[*]}"
