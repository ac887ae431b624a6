#!/bin/bash
# Fails when a file under src/ includes a header of a folder that is not
# below its own.  The layer order is the block between the "layers:" lines of
# src/README.md: one line per layer, lowest first; a folder may include its
# own headers and those of folders on lines above it, never one on its own
# line or below.  A folder missing from that block fails too, so a new folder
# is placed in the order before anything may include it.
#
#   scripts/check_layers.sh        (prints each upward include; status 1 if any)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

declare -A rank=()
level=0
while read -r line; do
  level=$((level + 1))
  for folder in $line; do rank[$folder]=$level; done
done < <(sed -n '/^```layers$/,/^```$/p' src/README.md | sed '1d;$d')
if ((${#rank[@]} == 0)); then
  echo "check_layers: no layer block in src/README.md" >&2
  exit 1
fi

bad=0
while IFS= read -r file; do
  own=${file#src/}
  own=${own%%/*}
  if [[ -z ${rank[$own]:-} ]]; then
    echo "$file: folder src/$own is not in the layer order of src/README.md"
    bad=1
    continue
  fi
  while IFS=: read -r number target; do
    folder=${target%%/*}
    [[ $target == */* && $folder != "$own" ]] || continue
    if [[ -z ${rank[$folder]:-} ]]; then
      echo "$file:$number: includes $target from src/$folder, which is not in the layer order"
      bad=1
    elif ((rank[$folder] >= rank[$own])); then
      echo "$file:$number: src/$own includes $target (src/$folder is not below it)"
      bad=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
    sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/')
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.rc' \) | sort)
exit $bad
