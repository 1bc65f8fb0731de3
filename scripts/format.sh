#!/usr/bin/env bash
# Lays out the C++ sources as .clang-format says; with --check it changes nothing, names the
# files that differ and fails.
# clang-format 14 only: other versions lay out some code differently, and a check that passes
# for one would fail for another.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$tool" ]; then
  echo "format: no clang-format; bash scripts/deps.sh test installs it" >&2; exit 2
fi
version=$("$tool" --version | sed -nE 's/.*version ([0-9]+).*/\1/p')
if [ "$version" != 14 ]; then
  echo "format: $tool is version $version; the layout is fixed with clang-format 14" >&2; exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" != --check ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  "$tool" --dry-run --Werror --ferror-limit=1 "$f" >/dev/null 2>&1 || differ+=("$f")
done
if [ ${#differ[@]} -gt 0 ]; then
  printf 'format: %s\n' "${differ[@]}"
  echo "format: ${#differ[@]} of ${#files[@]} files differ from .clang-format (bash scripts/format.sh lays them out)"
  exit 1
fi
echo "format: all ${#files[@]} files as .clang-format lays them out"
