#!/usr/bin/env bash
# The layering check on a copy of the module's rooms: it passes as they are,
# and fails, naming the file, on each include planted against a room's uses,
# in every spelling a compiler takes.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
rooms=$(cd "$root" && find . -name README -not -path './build*' -not -path './tests/*' -not -path '*/node_modules/*' |
  sed -E 's#^\./##; s#/README$##; s#/.*##' | sort -u)
for room in $rooms; do cp -r "$root/$room" "$copy/"; done
check="$root/scripts/check-layers.sh"
"$check" "$copy" >/dev/null || { echo "FAIL: the unplanted copy does not pass"; exit 1; }

failed=0
# file | planted line: a lower room reaching up, a room into its sibling, the
# same includes spelt relative or in angle brackets.
while IFS='|' read -r file planted; do
  cp "$root/$file" "$copy/$file.kept"
  sed -i "1a $planted" "$copy/$file"
  if out=$("$check" "$copy" 2>&1); then
    echo "FAIL: $file with $planted passes"; failed=1
  elif [[ $out != *"$file:2:"* ]]; then
    echo "FAIL: $file with $planted: the check names another place: $out"; failed=1
  else
    echo "ok: $file with $planted: $out"
  fi
  mv "$copy/$file.kept" "$copy/$file"
done <<'ROWS'
base/log.cpp|#include "catalogue/catalogue.h"
writer/movie_file/output_path.cpp|#include "writer/FFWriter.h"
writer/movie_file/output_path.cpp|#include "../FFWriter.h"
writer/movie_file/output_path.cpp|#include <writer/FFWriter.h>
writer/picture/picture_rows.cpp|#include "../colour/output_colour.h"
writer/settings/writer_settings.h|#include "../../base/log.h"
catalogue/containers.cpp|#include <panel/Controls.h>
boxes/top_level.cpp|#include "../faststart/atoms.h"
ROWS
exit $failed
