#!/usr/bin/env bash
# Fails, naming each file, when a C++ source of the tree differs from what
# clang-format makes of it under the project's .clang-format. One pinned
# version, so that every machine agrees on the layout.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mapfile -t files < <(find . \( -path ./build -o -path './build-*' \) -prune -o \
  \( -name '*.cpp' -o -name '*.h' \) -type f -print | sort)
drift=()
for f in "${files[@]}"; do
  clang-format-14 --dry-run --Werror "$f" >/dev/null 2>&1 || drift+=("$f")
done
if ((${#drift[@]})); then
  printf 'not formatted (run clang-format-14 -i on it): %s\n' "${drift[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format makes them"
