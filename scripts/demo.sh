#!/usr/bin/env bash
# Builds the library and shows how the tag reader reads a sample settings
# document of a project.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/demo" -G Ninja -DORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build/demo" --target xml-items >/dev/null
sample="$root/tests/data/project/config.xml"
echo "The tag reader's items for $sample:"
"$root/build/demo/tools/xml-items" "$sample"
