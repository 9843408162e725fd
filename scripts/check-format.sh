#!/usr/bin/env bash
# Fails when a C++ file the project tracks differs from what clang-format makes of it with the project's
# .clang-format. Usage: scripts/check-format.sh [--fix]   (--fix rewrites the files in place)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh format
# The version is pinned: another clang-format may lay out the same style differently.
format=clang-format-14
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
if ! "$format" --dry-run -Werror "${files[@]}"; then
  echo "Formatting differs from .clang-format: run scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
