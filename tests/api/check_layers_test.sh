#!/bin/sh
# Runs the layer check on scratch copies of src/ and daemon/, each with one
# fault put in, and fails unless the check fails on every fault with the
# file, line and edge it should name, and passes on the tree as it is and on
# a new include that goes down the stack.
#
# usage: check_layers_test.sh SOURCE_ROOT
set -eu
root=$(cd "${1:?usage: check_layers_test.sh SOURCE_ROOT}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
passed=0

# A fresh copy of the sources and of the check (whose allow-list travels
# with it).
fresh() {
    rm -rf "$scratch/tree"
    mkdir -p "$scratch/tree/tests/api"
    cp -R "$root/src" "$root/daemon" "$scratch/tree/"
    cp "$root/tests/api/check_layers.sh" "$scratch/tree/tests/api/"
}

# Appends a line to a file of the copy and prints the line's number.
append() {
    printf '%s\n' "$2" >>"$scratch/tree/$1"
    wc -l <"$scratch/tree/$1" | tr -d ' '
}

run_check() {
    set +e
    sh "$scratch/tree/tests/api/check_layers.sh" "$scratch/tree" >"$scratch/out" 2>&1
    code=$?
    set -e
}

# expect_failure NAME TEXT: the check fails and says TEXT on a line of its own.
expect_failure() {
    run_check
    if [ "$code" -ne 0 ] && grep -qxF -- "$2" "$scratch/out"; then
        passed=$((passed + 1))
    else
        echo "FAIL $1: expected a failure saying" >&2
        echo "  $2" >&2
        echo "got exit $code and:" >&2
        sed 's/^/  /' "$scratch/out" >&2
        failures=$((failures + 1))
    fi
}

expect_success() {
    run_check
    if [ "$code" -eq 0 ]; then
        passed=$((passed + 1))
    else
        echo "FAIL $1: expected the check to pass, got exit $code and:" >&2
        sed 's/^/  /' "$scratch/out" >&2
        failures=$((failures + 1))
    fi
}

fresh
expect_success "the tree as it is"

fresh
append src/pubsub/publisher.cpp '#include "port/lock.h"' >/dev/null
append src/api/lumoapi_port.cpp '#include "pubsub/publisher.h"' >/dev/null
expect_success "includes down the stack"

fresh
n=$(append src/bodyblock/bb_walk.h '#include "pubsub/publisher.h"')
expect_failure "an upward include" \
    "src/bodyblock/bb_walk.h:$n: bodyblock -> pubsub (pubsub/publisher.h): includes a higher layer"

fresh
n=$(append src/port/lock.cpp '#  include <notification/notification.h>')
expect_failure "an upward include in angle brackets" \
    "src/port/lock.cpp:$n: port -> notification (notification/notification.h): includes a higher layer"

fresh
n=$(append src/runtime/link.cpp '#include "../api/lumoapi_runtime.cpp"')
expect_failure "an upward include by a relative path" \
    "src/runtime/link.cpp:$n: runtime -> api (api/lumoapi_runtime.cpp): includes a higher layer"

fresh
n=$(append src/notification/proplist.cpp '#include "runtime/conn.h"')
expect_failure "an upward edge the allow-list names for another file" \
    "src/notification/proplist.cpp:$n: notification -> runtime (runtime/conn.h): includes a higher layer"

fresh
n=$(append daemon/log.cpp '#include "port/lock.h"')
expect_failure "the daemon including the library" \
    "daemon/log.cpp:$n: daemon -> port (port/lock.h): the daemon may include only wire/, port/socket_owner.h and the public header"

fresh
mkdir -p "$scratch/tree/src/wire"
append src/wire/framing_probe.h '#include "wire/other.h"' >/dev/null
append daemon/log.cpp '#include "wire/framing_probe.h"' >/dev/null
expect_success "wire/ including itself and the daemon including wire/"

fresh
mkdir -p "$scratch/tree/src/wire"
n=$(append src/wire/framing_probe.h '#include "port/memory.h"')
expect_failure "wire/ including another layer" \
    "src/wire/framing_probe.h:$n: wire -> port (port/memory.h): wire/ includes no other layer: the daemon builds on it alone"

fresh
mkdir -p "$scratch/tree/src/extra"
append src/extra/probe.cpp '#include "pubsub/publisher.h"' >/dev/null
expect_failure "a folder outside the stack" \
    "tests/api/check_layers.sh: src/extra/ is not a layer of the stack (port wire bodyblock notification runtime pubsub api): give it its place"

fresh
n=$(append src/pubsub/reply.cpp '#include "gadgets/reply_helpers.h"')
expect_failure "a folder include that names no layer" \
    "src/pubsub/reply.cpp:$n: pubsub -> gadgets (gadgets/reply_helpers.h): src/gadgets/ is not a layer of the stack"

# An allow-list entry whose include is gone: the copy of the check gets an
# entry that no file has.
fresh
sed '/^ALLOWED$/i\
src/port/lock.cpp runtime/conn.h  # being cut' "$root/tests/api/check_layers.sh" >"$scratch/tree/tests/api/check_layers.sh"
expect_failure "a stale allow-list entry" \
    "tests/api/check_layers.sh: allowed edge src/port/lock.cpp -> runtime/conn.h no longer occurs: take it off the allow-list"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
