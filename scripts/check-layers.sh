#!/usr/bin/env bash
# Fails when a module file includes a folder its layer may not use (README,
# "Layout"): each folder uses only the folders listed for it, so includes run
# down the layers and never make a circle. Headers of the host's libraries
# and of FFmpeg are not module folders and may be used anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A USES=(
  [base]=""
  [boxes]="base"
  [catalogue]="base"
  [faststart]="boxes base"
  [writer]="catalogue faststart boxes base"
  [panel]="catalogue base"
  [plugin]="panel writer catalogue faststart boxes base"
  [join]="writer catalogue faststart boxes base"
)
MODULE_FOLDERS="${!USES[*]}"

bad=0
for folder in $MODULE_FOLDERS; do
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
    [[ $target == */* ]] || continue            # same folder, or a host library header
    used=${target%%/*}
    [[ $used == "$folder" ]] && continue
    if [[ " $MODULE_FOLDERS host tests bench fuzz " != *" $used "* ]]; then continue; fi
    if [[ " ${USES[$folder]} " != *" $used "* ]]; then
      echo "$file:$line: $folder/ may not include $target (it uses: ${USES[$folder]:-nothing of the module})"
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' -r "$folder" --include='*.h' --include='*.cpp' || true)
done
# The stand-in host, and the tests that drive the loaded module through it,
# know the module only as a host does: by the binary contract (with its log
# levels) and the catalogue's public functions, to name items. The tests may
# also use base's FFmpeg generation shims and owners, and the box reader (a
# file format), which hold no behaviour of the module. A test header under
# tests/ is no module folder, though named like one; the shared test headers
# such a test includes are held to its rule.
CONTRACT=" base/qel_abi.h base/log.h catalogue/catalogue.h catalogue/entries.h catalogue/profiles.h "
TEST_CONTRACT="$CONTRACT base/compat.h base/ffmpeg_ptr.h boxes/boxes.h "
host_driven_tests() {
  for area in faults foundation interop requests soak; do find "tests/$area" -name '*.h' -o -name '*.cpp'; done
  find tests -name '*_host_test.cpp'
}
shared_headers_of() {
  sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"(common\/[^"]*)".*/tests\/\1/p' "$@" | sort -u
}
check_includes() {  # allowed-list, then the files
  local allowed=$1 file line text target
  shift
  for file in "$@"; do
    while IFS=: read -r line text; do
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
      [[ $target == */* ]] || continue
      [[ " $MODULE_FOLDERS " == *" ${target%%/*} "* ]] || continue
      [ -e "tests/$target" ] && continue
      if [[ $allowed != *" $target "* ]]; then
        echo "$file:$line: a host (and a test driving the loaded module) may not include $target: only$allowed"
        bad=1
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done
}
mapfile -t host_files < <(find host -name '*.h' -o -name '*.cpp' | grep -v '^host/include/')
mapfile -t test_files < <(host_driven_tests)
mapfile -t shared_files < <(shared_headers_of "${test_files[@]}")
check_includes "$CONTRACT" "${host_files[@]}"
check_includes "$TEST_CONTRACT" "${test_files[@]}" "${shared_files[@]}"
if ((bad)); then exit 1; fi
echo "layers: every include runs down (base < boxes, catalogue; boxes < faststart < writer; panel < plugin, join);" \
  "the stand-in host and the host-driven tests see the contract and the catalogue only"
