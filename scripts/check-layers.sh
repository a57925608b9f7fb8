#!/usr/bin/env bash
# Checks the layer table of docs/architecture.md on the sources:
#  - every folder under src/ that holds code has a row in the table;
#  - a file includes project headers only from its own folder or from the
#    folders its row names;
#  - a library of src/CMakeLists.txt links only libraries of folders its
#    folder may include;
#  - the local cloud (server/) includes no client code.
# Prints each offence and fails when there is one. LUMORA_LAYERS_ROOT points
# it at another tree (its own test plants a forbidden include in a copy).
set -euo pipefail
root=${LUMORA_LAYERS_ROOT:-"$(dirname "$0")/.."}
cd "$root"

declare -A allowed=() library_of=()
folders=()

strip() { local s=${1//\`/}; s=${s#"${s%%[![:space:]]*}"}; echo "${s%"${s##*[![:space:]]}"}"; }

while IFS='|' read -r _ folder library includes _; do
  folder=$(strip "$folder")
  [[ -z $folder || $folder == folder || $folder == ---* ]] && continue
  folders+=("$folder")
  library_of[$folder]=$(strip "$library")
  list=""
  IFS=',' read -ra parts <<<"$includes"
  for part in "${parts[@]}"; do
    part=$(strip "$part")
    [[ -n $part ]] && list+=" $part"
  done
  allowed[$folder]=$list
done < <(sed -n '/<!-- layers:begin -->/,/<!-- layers:end -->/p' docs/architecture.md | grep '^|')

if (( ${#folders[@]} == 0 )); then
  echo "docs/architecture.md has no layer table"; exit 1
fi

# May a file of folder $1 include a header of folder $2? A folder without a
# row of its own (a library over several folders, like screens) may include
# what one of the folders below it may.
may_include() {
  local own=$1 target=$2 entry sub
  [[ $own == "$target" ]] && return 0
  if [[ -z ${allowed[$own]+x} ]]; then
    for sub in "${folders[@]}"; do
      [[ $sub == "$own"/* ]] && may_include "$sub" "$target" && return 0
    done
    return 1
  fi
  for entry in ${allowed[$own]}; do
    case $entry in
      platform/\*) [[ ($target == platform || $target == platform/*) && $target != platform/uiqt ]] && return 0 ;;
      */\*) [[ $target == "${entry%/\*}"/* ]] && return 0 ;;
      *) [[ $target == "$entry" ]] && return 0 ;;
    esac
  done
  return 1
}

status=0
declare -A seen=() verdict=()
# Every file's folder first (a folder without a row fails once), then every
# quoted include of every file in one pass; each (folder, target) pair is
# judged once.
while IFS= read -r file; do
  own=${file#src/}; own=${own%/*}
  if [[ -z ${allowed[$own]+x} && -z ${seen[$own]+x} ]]; then
    echo "src/$own holds code but has no row in the layer table of docs/architecture.md"
    seen[$own]=1
    status=1
  fi
done < <(find src -name '*.h' -o -name '*.cpp' | sort)
while IFS= read -r line; do
  file=${line%%:*}
  header=${line#*:}
  header=${header#*\"}; header=${header%%\"*}
  own=${file#src/}; own=${own%/*}
  [[ -n ${allowed[$own]+x} ]] || continue
  [[ $header == */* ]] || continue
  target=${header%/*}
  [[ -d src/${target%%/*} ]] || continue
  key="$own>$target"
  if [[ -z ${verdict[$key]+x} ]]; then
    if may_include "$own" "$target"; then verdict[$key]=ok; else verdict[$key]=no; fi
  fi
  if [[ ${verdict[$key]} == no ]]; then
    echo "$file includes $header: $own may not include $target"
    status=1
  fi
done < <(find src -name '*.h' -o -name '*.cpp' | sort | xargs grep -H -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' || true)

# The linker's view: lumora_library(<target> <folder> DEPS ...) links only
# libraries whose folders the row allows (lumora_cloud stands for cloud/*).
declare -A folder_of_library=([lumora_cloud]=cloud/sync)
while read -r target folder _; do folder_of_library[$target]=$folder; done \
  < <(sed -n 's/^lumora_library(\([a-z_]*\) \([a-z/]*\) .*/\1 \2/p' src/CMakeLists.txt)
while read -r target folder deps; do
  for dep in $deps; do
    [[ $dep == lumora_* ]] || continue
    depfolder=${folder_of_library[$dep]:-}
    [[ -n $depfolder ]] || continue
    if ! may_include "$folder" "$depfolder"; then
      echo "src/CMakeLists.txt: $target links $dep, but $folder may not include $depfolder"
      status=1
    fi
  done
done < <(tr '\n' ' ' < src/CMakeLists.txt | grep -o 'lumora_library([^)]*)' |
         sed 's/^lumora_library(\([a-z_]*\) \([a-z/]*\) DEPS\(.*\))$/\1 \2 \3/;t;d')

# Qt stays in the renderer: only platform/uiqt includes its headers, only
# lumora_ui_qt links it, and only the window program, the render and
# end-to-end tests and the render and grid scroll benchmarks link
# lumora_ui_qt.
while IFS= read -r line; do
  echo "Qt outside platform/uiqt: $line"
  status=1
done < <(grep -rnE '^#[[:space:]]*include[[:space:]]*<Q[A-Za-z]+' src | grep -v '^src/platform/uiqt/' || true)
qt_users='^(lumora_ui_qt|lumora|render_tests|e2e_tests|live_window_test|RenderBench|GalleryGridScrollBench)$'
while read -r target; do
  if ! [[ $target =~ $qt_users ]]; then
    echo "$target links Qt or the Qt renderer: only lumora_ui_qt, lumora, the render, e2e and live window tests may"
    status=1
  fi
done < <(cat src/CMakeLists.txt tests/CMakeLists.txt bench/CMakeLists.txt 2>/dev/null | tr '\n' ' ' |
         grep -oE '(target_link_libraries|lumora_library|lumora_test|lumora_bench)\([^)]*(Qt6::|lumora_ui_qt)[^)]*\)' |
         sed -E 's/^[a-z_]+\(([A-Za-z_0-9]+).*/\1/' | sort -u)

while IFS= read -r line; do
  echo "server code includes client code: $line"
  status=1
done < <(grep -rnE '^#include "(platform|utils|applog|account|cloud|app|stats|push|harbor|blackbox|feedback|screens)/' server || true)

exit $status
