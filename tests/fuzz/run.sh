#!/bin/sh
# Runs each fuzz target for a bounded time on the generated seed corpus.
# Usage: run.sh BUILD_DIR SECONDS. Fails when a target finds anything; its
# log is shown then, and only its last lines otherwise.
set -eu
build=$1
seconds=$2
work=$build/fuzz-work
rm -rf "$work"
mkdir -p "$work/seeds"
"$build/tests/fuzz/bb_fuzz_seeds" "$work/seeds"

status=0
for target in bb_decode_fuzz bb_roundtrip_fuzz; do
    mkdir -p "$work/$target/corpus" "$work/$target/findings"
    log=$work/$target/log
    if "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -artifact_prefix="$work/$target/findings/" \
        "$work/$target/corpus" "$work/seeds" >"$log" 2>&1; then
        echo "$target: nothing found in ${seconds}s"
        grep -E '^Done [0-9]+ runs' "$log" || tail -n 2 "$log"
    else
        echo "$target: FAILED, log follows" >&2
        cat "$log" >&2
        status=1
    fi
done
exit "$status"
