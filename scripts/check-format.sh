#!/usr/bin/env bash
# Checks every C++ file against the house style in .clang-format; with --fix, rewrites them.
# Prints each file that differs and the command that fixes them, and exits 1 when one does.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i --style=file "${files[@]}"
  exit 0
fi
differ=()
for file in "${files[@]}"; do
  clang-format --style=file --dry-run -Werror "$file" >/dev/null 2>&1 || differ+=("$file")
done
if [ "${#differ[@]}" -gt 0 ]; then
  printf 'not in the house style (.clang-format): %s\n' "${differ[@]}" >&2
  echo "fix with: bash scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "format: ${#files[@]} C++ files in the house style"
