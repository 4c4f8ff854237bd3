#!/usr/bin/env bash
# Fails when a module file includes a room its own room may not use (README,
# "Layout"). A room is a folder with a one-line README that ends "Uses: a, b."
# (or "Uses: nothing of the module."); a file belongs to the nearest room
# above it. Every spelling of an include is resolved to the file it names
# ("x.h" beside the file, "../x.h", "writer/x.h", <writer/x.h>), so none
# slips past. The rooms' uses must not make a circle. Headers of the host's
# libraries and of FFmpeg are in no room and may be used anywhere.
#
#   scripts/check-layers.sh [ROOT]     (the tree to check; this one by default)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A USES=()
for readme in $(find . -name README -not -path './build*' -not -path './tests/*' -not -path '*/node_modules/*' | sort); do
  room=${readme#./}
  room=${room%/README}
  line=$(head -n 1 "$readme")
  [[ $line =~ Uses:\ (.*)\.$ ]] || continue
  uses=${BASH_REMATCH[1]}
  [[ $uses == "nothing of the module" ]] && uses=""
  USES[$room]=$(tr -d ',' <<<"$uses")
done
ROOMS=$(printf '%s\n' "${!USES[@]}" | sort)

# Each include is resolved in the shell itself, without a process per include:
# the check runs in every test leg and, planted, nine times over.

# ROOM: the room of a path, its nearest folder that is one; empty when none.
room_of() {
  local dir=${1%/*}
  ROOM=
  [[ $1 == */* ]] || return 0
  while [ -n "$dir" ]; do
    if [ -n "${USES[$dir]+set}" ]; then ROOM=$dir; return 0; fi
    [[ $dir == */* ]] || return 0
    dir=${dir%/*}
  done
}

# PLAIN: a path with its "." and ".." taken out; empty when it leaves the tree.
plain() {
  local part
  local -a parts kept=()
  IFS=/ read -r -a parts <<<"$1"
  PLAIN=
  for part in "${parts[@]}"; do
    case $part in
      '' | .) ;;
      ..) ((${#kept[@]})) || return 0; unset 'kept[${#kept[@]}-1]' ;;
      *) kept+=("$part") ;;
    esac
  done
  local IFS=/
  PLAIN="${kept[*]}"
}

# RESOLVED: the file an include names, relative to ROOT; empty for one outside
# the tree.
resolve() {  # file, the include's text between its marks, quote or angle
  local file=$1 target=$2 form=$3 dir=.
  RESOLVED=
  [[ $file == */* ]] && dir=${file%/*}
  if [ "$form" = quote ]; then
    plain "$dir/$target"
    if [ -n "$PLAIN" ] && [ -f "$PLAIN" ]; then RESOLVED=$PLAIN; return 0; fi
  fi
  plain "$target"
  if [ -n "$PLAIN" ] && [ -f "$PLAIN" ]; then RESOLVED=$PLAIN; fi
}

# file:line:include-text:form for every include of the given files.
includes_of() {
  grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$@" /dev/null |
    sed -nE 's/^([^:]*):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1:\2:\3:quote/p;
              s/^([^:]*):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*<([^>]*)>.*/\1:\2:\3:angle/p'
}

bad=0
mapfile -t module_files < <(find $ROOMS \( -name '*.h' -o -name '*.cpp' \) | sort -u)
while IFS=: read -r file line target form; do
  room_of "$file"
  own=$ROOM
  resolve "$file" "$target" "$form"
  resolved=$RESOLVED
  [ -n "$resolved" ] || continue
  room_of "$resolved"
  used=$ROOM
  [ -n "$used" ] && [ "$used" != "$own" ] || continue
  if [[ " ${USES[$own]} " != *" $used "* ]]; then
    echo "$file:$line: $own/ may not include $target ($resolved; it uses: ${USES[$own]:-nothing of the module})"
    bad=1
  fi
done < <(includes_of "${module_files[@]}")

# The declared uses themselves run one way.
if ! for room in $ROOMS; do for used in ${USES[$room]}; do echo "$room $used"; done; echo "$room $room"; done |
  tsort >/dev/null 2>&1; then
  echo "the rooms' uses make a circle:"
  for room in $ROOMS; do echo "  $room uses: ${USES[$room]:-nothing}"; done
  bad=1
fi

# The stand-in host, and the tests that drive the loaded module through it,
# know the module only as a host does: by the binary contract (with its log
# levels) and the catalogue's public functions, to name items. The tests may
# also use base's FFmpeg generation shims and owners, and the box reader (a
# file format), which hold no behaviour of the module. A test header under
# tests/ is no module file, though named like one; the shared test headers
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
check_contract() {  # allowed-list, then the files
  local allowed=$1 file line target form resolved
  shift
  while IFS=: read -r file line target form; do
    [ "$form" = quote ] && [ -e "tests/$target" ] && continue
    resolve "$file" "$target" "$form"
    resolved=$RESOLVED
    [ -n "$resolved" ] || continue
    room_of "$resolved"
    [ -n "$ROOM" ] || continue
    if [[ $allowed != *" $resolved "* ]]; then
      echo "$file:$line: a host (and a test driving the loaded module) may not include $target: only$allowed"
      bad=1
    fi
  done < <(includes_of "$@")
}
if [ -d host ] && [ -d tests ]; then
  mapfile -t host_files < <(find host -name '*.h' -o -name '*.cpp' | grep -v '^host/include/')
  mapfile -t test_files < <(host_driven_tests)
  mapfile -t shared_files < <(shared_headers_of "${test_files[@]}")
  check_contract "$CONTRACT" "${host_files[@]}"
  check_contract "$TEST_CONTRACT" "${test_files[@]}" "${shared_files[@]}"
fi
if ((bad)); then exit 1; fi
echo "layers: every include of $(wc -w <<<"$ROOMS") rooms runs down their uses, which make no circle;" \
  "the stand-in host and the host-driven tests see the contract and the catalogue only"
