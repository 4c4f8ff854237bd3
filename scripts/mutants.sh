#!/usr/bin/env bash
# Mutation check: plants each fault of scripts/mutants.txt in the module alone,
# rebuilds and asks the ctest suite (all but the layering tests) whether it
# notices.
#
#   scripts/mutants.sh BUILD_DIR [ID...]      (no IDs: every mutant)
#
# A list line is `id | path | text to find | replacement | fault it models`;
# `\n` in the find or replacement text stands for a line break. The find text
# must occur exactly once in its file, or nothing runs. MUTANTS_LOG=FILE keeps
# a copy of what is printed; MUTANTS_LIST=FILE reads another list;
# MUTANTS_CHECK=1 only checks that the list fits the code.
set -u -o pipefail

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    echo "usage: $0 BUILD_DIR [ID...]" >&2
    exit 2
fi
BUILD=$(realpath -m "$1")
shift
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LIST=${MUTANTS_LIST:-$ROOT/scripts/mutants.txt}
LOG=${MUTANTS_LOG:-}
JOBS=${MUTANTS_JOBS:-2}
# ctest's --timeout yields to each test's own TIMEOUT; this bounds a whole run.
SUITE_LIMIT=${MUTANTS_SUITE_LIMIT:-2400}
WORK=$(mktemp -d)
DETAIL="$BUILD/mutants"

say() {
    printf '%s\n' "$*"
    if [ -n "$LOG" ]; then printf '%s\n' "$*" >>"$LOG"; fi
}
die() {
    say "mutants: $*"
    exit 2
}
[ -n "$LOG" ] && : >"$LOG"
[ -f "$LIST" ] || die "no list at $LIST"

# The list, one mutant per record: fields kept in parallel arrays.
ids=() paths=() finds=() repls=() faults=()
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    case "$line" in '' | '#'*) continue ;; esac
    rest=$line fields=()
    while [[ $rest == *' | '* ]]; do
        fields+=("${rest%%' | '*}")
        rest=${rest#*' | '}
    done
    fields+=("$rest")
    [ ${#fields[@]} -eq 5 ] || die "$LIST:$lineno: ${#fields[@]} fields, not 5 (a ' | ' inside a text?)"
    ids+=("${fields[0]}") paths+=("${fields[1]}") finds+=("${fields[2]}") repls+=("${fields[3]}")
    faults+=("${fields[4]}")
done <"$LIST"

# Which to run: all, or the IDs asked for, in the list's order.
selected=()
if [ $# -eq 0 ]; then
    selected=("${!ids[@]}")
else
    for want in "$@"; do
        found=
        for i in "${!ids[@]}"; do [ "${ids[$i]}" = "$want" ] && found=$i; done
        [ -n "$found" ] || die "no mutant $want in $LIST"
        selected+=("$found")
    done
fi

# Applies mutant $1 to its file (or only checks it with $2 = check).
mutate() {
    python3 - "$ROOT/${paths[$1]}" "${finds[$1]}" "${repls[$1]}" "${2:-apply}" <<'EOF'
import sys
path, find, repl, mode = sys.argv[1:5]
find = find.replace("\\n", "\n")
repl = repl.replace("\\n", "\n")
try:
    text = open(path, encoding="utf-8").read()
except OSError as error:
    print(f"cannot read: {error.strerror}")
    sys.exit(1)
count = text.count(find)
if count != 1:
    print(f"find text occurs {count} times, not once")
    sys.exit(1)
if find == repl:
    print("replacement equals the find text")
    sys.exit(1)
if mode == "apply":
    open(path, "w", encoding="utf-8").write(text.replace(find, repl))
EOF
}

# Every selected mutant must fit the code before anything is built.
stale=0 seen=" "
for i in "${selected[@]}"; do
    case "$seen" in *" ${ids[$i]} "*) die "mutant id ${ids[$i]} appears twice" ;; esac
    seen="$seen${ids[$i]} "
    if ! why=$(mutate "$i" check); then
        say "refused ${ids[$i]} (${paths[$i]}): $why"
        stale=1
    fi
done
[ $stale -eq 0 ] || die "the list is out of step with the code; fix it first"
if [ "${MUTANTS_CHECK:-}" = 1 ]; then
    say "mutants: the list fits the code: ${#selected[@]} mutants"
    exit 0
fi

touched=$(for i in "${selected[@]}"; do echo "${paths[$i]}"; done | sort -u)
# shellcheck disable=SC2086
if [ -n "$(git -C "$ROOT" status --porcelain -- $touched)" ]; then
    die "uncommitted changes in files the mutants touch: $(git -C "$ROOT" status --porcelain -- $touched | tr '\n' ' ')"
fi

# The file a mutant has changed, put back on any exit; touched so that make
# rebuilds it from the true code.
current=
restore() {
    [ -n "$current" ] || return 0
    cp "$WORK/original" "$ROOT/$current"
    touch "$ROOT/$current"
    current=
}
child=
on_exit() {
    if [ -n "$child" ]; then kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; fi
    restore
    rm -rf "$WORK"
}
trap on_exit EXIT
trap 'say "mutants: interrupted"; exit 130' INT
trap 'say "mutants: terminated"; exit 143' TERM HUP

# Runs a command in the background so that a signal is handled at once.
run() {
    local out=$1
    shift
    "$@" >"$out" 2>&1 &
    child=$!
    wait "$child"
    local status=$?
    child=
    return $status
}

build() { run "$1" cmake --build "$BUILD" -j"$JOBS"; }
# The layering tests read the sources' includes, which no mutant touches, and
# take minutes: left out. The farm test takes a minute and ctest starts the
# costliest first, so it runs only once the rest have passed: most mutants are
# killed in the seconds before.
SOURCE_CHECKS='^(layers|layers_planted)$'
RUN_LAST='^farm$'
suite() {
    local log=$1 status
    # Without its record of costs ctest starts the tests in their own order,
    # the quick unit tests first, not the joins and renders of ten seconds.
    rm -f "$BUILD/Testing/Temporary/CTestCostData.txt"
    run "$log" timeout "$SUITE_LIMIT" ctest --test-dir "$BUILD" -j"$JOBS" --stop-on-failure --timeout 300 \
        --no-tests=error -E "$SOURCE_CHECKS|$RUN_LAST"
    status=$?
    [ $status -eq 0 ] || return $status
    run "$log.last" timeout "$SUITE_LIMIT" ctest --test-dir "$BUILD" -j"$JOBS" --timeout 300 --no-tests=error \
        -R "$RUN_LAST"
    status=$?
    cat "$log.last" >>"$log"
    rm -f "$log.last"
    return $status
}
# The tests a ctest log names as failed.
# Parameterised tests carry their parameter after "  #", which is no part of a name here.
failed_tests() {
    sed -n '/The following tests FAILED/,$p' "$1" | sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \([^()]*\)$/\1/p' |
        sed 's/  # .*$//'
}
elapsed() { local s=$(($(date +%s) - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

mkdir -p "$DETAIL"
start_all=$(date +%s)
say "mutants: ${#selected[@]} from $LIST at $(git -C "$ROOT" rev-parse --short HEAD), build $BUILD"
[ -f "$BUILD/CMakeCache.txt" ] || run "$DETAIL/configure.log" cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ||
    die "configure failed, see $DETAIL/configure.log"
t=$(date +%s)
build "$DETAIL/unmutated-build.log" || die "the unmutated code does not build, see $DETAIL/unmutated-build.log"
suite "$DETAIL/unmutated-ctest.log" || die "the unmutated suite fails ($(failed_tests "$DETAIL/unmutated-ctest.log" |
    tr '\n' ' ')), see $DETAIL/unmutated-ctest.log: it cannot judge mutants"
say "unmutated: builds, $(grep -o 'tests passed.*' "$DETAIL/unmutated-ctest.log" | head -1 || true) ($(elapsed "$t"))"

killed=0 invalid=0 survivors=() flaky=()
for i in "${selected[@]}"; do
    id=${ids[$i]} path=${paths[$i]}
    t=$(date +%s)
    cp "$ROOT/$path" "$WORK/original"
    current=$path
    mutate "$i" >/dev/null || die "could not apply $id"
    if ! build "$DETAIL/$id-build.log"; then
        restore
        invalid=$((invalid + 1))
        say "invalid $id (does not build) [$(elapsed "$t")]"
        continue
    fi
    suite "$DETAIL/$id-ctest.log"
    status=$?
    if [ $status -eq 0 ]; then
        restore
        survivors+=("$id")
        say "survived $id [$(elapsed "$t")]: ${faults[$i]}"
        continue
    fi
    killed=$((killed + 1))
    mapfile -t by < <(failed_tests "$DETAIL/$id-ctest.log")
    if [ $status -eq 124 ]; then
        note="suite ran past ${SUITE_LIMIT}s"
    else
        note="by ${by[*]:-?}"
    fi
    # A kill the same tests do not repeat on this same mutant was chance.
    if [ ${#by[@]} -gt 0 ]; then
        pattern=$(printf '%s\n' "${by[@]}" | sed 's/[][\\.*+?^$(){}|]/\\&/g' | paste -sd'|')
        if run "$DETAIL/$id-recheck.log" ctest --test-dir "$BUILD" -j"$JOBS" --timeout 300 --no-tests=error -R "^($pattern)(  #|\$)"; then
            flaky+=("$id: ${by[*]}")
            note="$note; FLAKY: passed on a rerun"
        fi
    fi
    restore
    say "killed $id [$(elapsed "$t")] ($note)"
done

# The build dir is left built from the true code.
build "$DETAIL/final-build.log" || say "mutants: warning: the final rebuild of the true code failed"

counted=$((${#selected[@]} - invalid))
say ""
say "killed $killed of $counted (invalid $invalid)"
if [ ${#survivors[@]} -gt 0 ]; then
    say "survivors:"
    for id in "${survivors[@]}"; do
        for i in "${selected[@]}"; do [ "${ids[$i]}" = "$id" ] && say "  $id (${paths[$i]}): ${faults[$i]}"; done
    done
else
    say "survivors: none"
fi
if [ ${#flaky[@]} -gt 0 ]; then
    say "flaky kills (the killing tests passed on a rerun):"
    for f in "${flaky[@]}"; do say "  $f"; done
fi
say "time: $(elapsed "$start_all")"
