#!/bin/sh
# Runs each fuzz target for a bounded time, with its own input size bound,
# options and dictionary, from its seeds and from the corpus earlier runs grew.
# Usage: run.sh BUILD_DIR SECONDS [TARGET...] (all targets by default).
# The grown corpus stays in BUILD_DIR/fuzz-work/TARGET/corpus (never in the
# repository), so a long run leaves later runs a head start. Fails when a
# target finds anything; its log and the finding's path are shown then, and
# only its summary otherwise.
set -eu
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
daemon=$top/daemon/fuzz
work=$build/fuzz-work
mkdir -p "$work"

status=0
# run TARGET BINARY SEEDS MAX_LEN DICTS [OPTIONS...]; DICTS is a
# colon-separated list of dictionaries joined for the run, or "-" for none.
run() {
    target=$1 binary=$2 seeds=$3 max_len=$4 dicts=$5
    shift 5
    if [ -n "$only" ] && ! echo " $only " | grep -q " $target "; then return 0; fi
    dir=$work/$target
    rm -rf "$dir/findings" "$dir/log"
    mkdir -p "$dir/corpus" "$dir/findings"
    set -- "$@" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/findings/"
    if [ "$dicts" != - ]; then
        : >"$dir/dict"
        for d in $(echo "$dicts" | tr : ' '); do cat "$d" >>"$dir/dict"; done
        set -- "$@" -dict="$dir/dict"
    fi
    if "$binary" "$@" "$dir/corpus" "$seeds" >"$dir/log" 2>&1; then
        echo "$target: nothing found in ${seconds}s"
        grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | tail -n 1 || tail -n 2 "$dir/log"
        grep -E '^stat::(average_exec_per_sec|peak_rss_mb)' "$dir/log" | tr '\n' ' '
        echo
    else
        echo "$target: FAILED, log follows; findings in $dir/findings/" >&2
        cat "$dir/log" >&2
        status=1
    fi
}

only="$*"
rm -rf "$work/bb-seeds"
mkdir -p "$work/bb-seeds"
"$build/tests/fuzz/bb_fuzz_seeds" "$work/bb-seeds"

protocol=$daemon/protocol.dict
run bb_fuzz "$build/tests/fuzz/bb_fuzz" "$work/bb-seeds" 4096 -
# Each input is parsed twice, the second time one byte at a time: 4 KiB keeps
# that quick.
run inbound_fuzz "$build/tests/fuzz/inbound_fuzz" "$here/inbound_corpus" 4096 "$protocol"
if [ -x "$build/daemon/fuzz/vavevard_request_fuzz" ]; then
    # Runs of one byte (see request_fuzz.cpp) reach long lines from short inputs.
    run vavevard_request_fuzz "$build/daemon/fuzz/vavevard_request_fuzz" "$daemon/corpus" 8192 "$protocol"
    # Scripts are compact: a few kilobytes drive many connections through
    # megabytes of traffic.
    run vavevard_server_fuzz "$build/daemon/fuzz/vavevard_server_fuzz" "$daemon/corpus-server" 4096 \
        "$protocol:$daemon/server-script.dict"
fi
exit "$status"
