#!/usr/bin/env bash
# Checks the layering of docs/architecture.md on the sources: a file under
# src/ includes project headers only from its own layer or the layers below
# it, and the local cloud (server/) includes no client code at all.
# Prints each offending include and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# Bottom up, as in the table.
layers=(platform utils account cloud/passport cloud/request cloud/kss cloud/modal cloud/lumora
        stats push harbor blackbox app)

rank() {
  local folder=$1 i
  for i in "${!layers[@]}"; do
    if [[ $folder == "${layers[$i]}" ]]; then echo "$i"; return; fi
  done
  echo -1
}

# The layer folder of a path below src/ ("cloud/request", "platform", ...).
layer_of() {
  local path=$1
  if [[ $path == cloud/* ]]; then echo "${path%%/*}/$(cut -d/ -f2 <<<"$path")"; else echo "${path%%/*}"; fi
}

status=0
while IFS= read -r file; do
  own=$(layer_of "${file#src/}")
  own_rank=$(rank "$own")
  while IFS= read -r header; do
    target=$(layer_of "$header")
    target_rank=$(rank "$target")
    if (( target_rank < 0 )); then continue; fi
    if (( target_rank > own_rank )); then
      echo "$file includes $header from a layer above its own ($target over $own)"
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.h' -o -name '*.cpp')

while IFS= read -r line; do
  echo "server code includes client code: $line"
  status=1
done < <(grep -rnE '^#include "(platform|utils|account|cloud|app|stats|push|harbor|blackbox)/' server || true)

exit $status
