#!/usr/bin/env bash
# fuzz-run.sh NAME FUZZER ARGS...: one libFuzzer run, its closing line said
# again under its name ("==== fuzzed NAME: Done N runs in S second(s)") for
# CI's summary. The fuzzer's status is the script's: a finding fails.
set -uo pipefail
name=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
sed -n "s/^Done /==== fuzzed $name: Done /p" "$log"
exit "$status"
