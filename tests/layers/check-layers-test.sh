#!/usr/bin/env bash
# The layer check fails on a planted forbidden include, on a folder with no
# row and on a library linking above its row, and passes on the tree itself.
set -euo pipefail
src_root=$(cd "$(dirname "$0")/../.." && pwd)
check=$src_root/scripts/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fresh_copy() {
  rm -rf "$work/tree"; mkdir -p "$work/tree/docs"
  cp -r "$src_root/src" "$src_root/server" "$work/tree/"
  mkdir -p "$work/tree/tests"; cp "$src_root/tests/CMakeLists.txt" "$work/tree/tests/"
  cp "$src_root/docs/architecture.md" "$work/tree/docs/"
}
expect() {  # expect pass|fail <what>
  local want=$1 what=$2 out
  if out=$(LUMORA_LAYERS_ROOT=$work/tree "$check" 2>&1); then got=pass; else got=fail; fi
  if [[ $got != "$want" ]]; then echo "FAIL: $what: expected $want, got $got"; echo "$out"; exit 1; fi
  echo "ok: $what"
}

fresh_copy; expect pass "the tree as it is"
fresh_copy; echo '#include "cloud/sync/LMSync.h"' >> "$work/tree/src/stats/$(ls "$work/tree/src/stats" | head -1)"
expect fail "statistics including the cloud SDK"
fresh_copy; echo '#include "stats/StatSDK.h"' >> "$work/tree/src/push/../cloud/model/LMRecord.h"
expect fail "the records including the statistics kit"
fresh_copy; echo '#include "platform/uiqt/Window.h"' >> "$work/tree/src/platform/ui/View.h"
expect fail "the headless kit including the Qt renderer"
fresh_copy; mkdir -p "$work/tree/src/newfolder"; echo 'int x;' > "$work/tree/src/newfolder/X.cpp"
expect fail "a folder with no row"
fresh_copy; sed -i 's/^lumora_library(lumora_stats stats DEPS lumora_utils)/lumora_library(lumora_stats stats DEPS lumora_utils lumora_cloud_sync)/' "$work/tree/src/CMakeLists.txt"
expect fail "a library linking above its row"
fresh_copy; echo '#include "platform/Error.h"' >> "$work/tree/server/CloudServer.h"
expect fail "the local cloud including client code"
fresh_copy; echo '#include <QImage>' >> "$work/tree/src/screens/common/LMStoryboard.h"
expect fail "a screen including a Qt header"
fresh_copy; sed -i 's/^lumora_test(screens_tests screens DEPS lumora_screens)/lumora_test(screens_tests screens DEPS lumora_screens lumora_ui_qt)/' "$work/tree/tests/CMakeLists.txt"
expect fail "a headless test binary linking the Qt renderer"
fresh_copy; sed -i 's/^lumora_library(lumora_stats stats DEPS lumora_utils)/lumora_library(lumora_stats stats DEPS lumora_utils Qt6::Gui)/' "$work/tree/src/CMakeLists.txt"
expect fail "a library other than the renderer linking Qt"
echo "10 passed, 0 failed"
