#!/usr/bin/env bash
# Rewrites the settings key table of README.md from the catalogue (the table
# between the keys:begin and keys:end marks). CI fails when it is stale.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/normal"
[[ -d "$build" ]] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target settings-keys >/dev/null
table=$("$build/tools/settings-keys")
python3 - "$root/README.md" "$table" <<'PY'
import sys
path, table = sys.argv[1], sys.argv[2] + "\n"
text = open(path).read()
b, e = "<!-- keys:begin -->\n", "<!-- keys:end -->"
i, j = text.index(b) + len(b), text.index(e)
open(path, "w").write(text[:i] + table + text[j:])
PY
echo "README.md's key table is current"
