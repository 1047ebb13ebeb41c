#!/bin/sh
# Runs each fuzz target for a bounded time from its seed corpus.
# Usage: run.sh BUILD_DIR SECONDS. Fails when a target finds anything; its
# log is shown then, and only its summary otherwise.
set -eu
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$build/fuzz-work
rm -rf "$work"
mkdir -p "$work/bb-seeds"
"$build/tests/fuzz/bb_fuzz_seeds" "$work/bb-seeds"

status=0
run() {
    target=$1
    binary=$2
    seeds=$3
    mkdir -p "$work/$target/corpus" "$work/$target/findings"
    log=$work/$target/log
    if "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/$target/findings/" \
        "$work/$target/corpus" "$seeds" >"$log" 2>&1; then
        echo "$target: nothing found in ${seconds}s"
        grep -E '^Done [0-9]+ runs' "$log" || tail -n 2 "$log"
    else
        echo "$target: FAILED, log follows" >&2
        cat "$log" >&2
        status=1
    fi
}
run bb_fuzz "$build/tests/fuzz/bb_fuzz" "$work/bb-seeds"
run event_read_fuzz "$build/tests/fuzz/event_read_fuzz" "$here/event_corpus"
if [ -x "$build/daemon/fuzz/vavevard_request_fuzz" ]; then
    run vavevard_request_fuzz "$build/daemon/fuzz/vavevard_request_fuzz" "$top/daemon/fuzz/corpus"
fi
exit "$status"
