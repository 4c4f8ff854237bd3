#!/usr/bin/env bash
# Fails when a module file includes a folder its layer may not use (README,
# "Layout"): each folder uses only the folders listed for it, so includes run
# down the layers and never make a circle. Headers of the host's libraries
# and of FFmpeg are not module folders and may be used anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A USES=(
  [base]=""
  [catalogue]="base"
  [faststart]="base"
  [writer]="catalogue faststart base"
  [panel]="catalogue base"
  [plugin]="panel writer catalogue faststart base"
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
if ((bad)); then exit 1; fi
echo "layers: every include runs down (base < catalogue, faststart < writer, panel < plugin)"
