#!/bin/sh
# Keeps the library's layers one-way. Every folder of src/ is a layer of one
# stack, and a file may include only its own layer, the layers below it and
# the public header; the daemon stands beside the library and may include
# only the shared protocol module (src/wire/), the socket-owner lookup it
# shares with the library (src/port/socket_owner.h, a target of its own that
# needs only libc) and the public header. Reads
# every folder include in src/**/*.{h,cpp} and daemon/*.{h,cpp} and fails,
# naming file, line and edge, on anything else that is not on the allow-list
# below, and on every allow-list entry that no longer occurs.
#
# usage: check_layers.sh [SOURCE_ROOT]   (default: the tree holding this script)
set -eu
root=${1:-$(dirname "$0")/../..}
cd "$root"
self=tests/api/check_layers.sh

# The stack, lowest first (docs/design-notes.md says why each layer sits
# where it does). wire/ stands alone: the daemon builds on it without the
# rest of the library, so it includes no other layer.
LAYER_STACK='port wire bodyblock notification runtime pubsub api'

# Edges against the stack allowed for a while, one "file included-header" a
# line, each with why: none are left. An entry whose include is gone fails the
# check, so the list cannot go stale.
LAYER_ALLOWED=$(cat <<'ALLOWED'
ALLOWED
)
export LAYER_STACK LAYER_ALLOWED

status=0

# A folder the stack does not name would escape every rule below.
for dir in src/*/; do
    name=$(basename "$dir")
    case " $LAYER_STACK " in
        *" $name "*) ;;
        *) echo "$self: src/$name/ is not a layer of the stack ($LAYER_STACK): give it its place" >&2
           status=1 ;;
    esac
done

files=$( { find src -type f \( -name '*.h' -o -name '*.cpp' \); \
           for f in daemon/*.h daemon/*.cpp; do [ -f "$f" ] && echo "$f"; done; } | sort)
if [ -z "$files" ]; then
    echo "$self: no sources under $(pwd)/src or daemon" >&2
    exit 1
fi

# shellcheck disable=SC2086
awk -v self="$self" '
function fail(msg) { print msg > "/dev/stderr"; bad = 1 }

# The path a relative include names, from the including file'"'"'s folder.
function resolve(dir, inc,    parts, n, i, out, k, path) {
    n = split(dir "/" inc, parts, "/")
    k = 0
    for (i = 1; i <= n; i++) {
        if (parts[i] == "" || parts[i] == ".") continue
        if (parts[i] == "..") { if (k > 0) k--; continue }
        out[++k] = parts[i]
    }
    path = ""
    for (i = 1; i <= k; i++) path = path (i > 1 ? "/" : "") out[i]
    return path
}

BEGIN {
    n = split(ENVIRON["LAYER_STACK"], names, " ")
    for (i = 1; i <= n; i++) rank[names[i]] = i
    m = split(ENVIRON["LAYER_ALLOWED"], lines, "\n")
    for (i = 1; i <= m; i++) {
        entry = lines[i]
        sub(/#.*/, "", entry)
        if (split(entry, f, " ") == 0) continue
        key = f[1] " " f[2]
        allowed[key] = 1
        order[++allowedCount] = key
    }
}

FNR == 1 {
    file = FILENAME
    dir = file; sub(/\/[^\/]*$/, "", dir)
    depth = split(file, p, "/")
    from = (p[1] == "src") ? p[2] : "daemon"
    if (p[1] == "src" && depth == 2) fail(file ": a library source outside every layer folder")
    checked++
}

# Files of a folder the stack does not name were reported above.
from != "daemon" && !(from in rank) { next }

/^[ \t]*#[ \t]*include[ \t]*["<]/ {
    text = $0
    sub(/^[ \t]*#[ \t]*include[ \t]*/, "", text)
    angle = substr(text, 1, 1) == "<"
    text = substr(text, 2)
    end = index(text, angle ? ">" : "\"")
    if (end == 0) next
    inc = substr(text, 1, end - 1)

    if (inc ~ /^\.\.?\//) {
        path = resolve(dir, inc)
        if (path == "include/vavevar.h") next
        if (path ~ /^src\//) inc = substr(path, 5)
        else if (from == "daemon" && path ~ /^daemon\//) next
        else { fail(file ":" FNR ": " from " -> " inc ": reaches outside src/ and the public header"); next }
    }
    if (index(inc, "/") == 0) next       # its own folder, or the public header
    to = inc; sub(/\/.*/, "", to)
    if (to in rank) includes++

    if (from == "daemon") {
        if (!(to in rank) || to == "wire" || inc == "port/socket_owner.h") next
        why = "the daemon may include only wire/, port/socket_owner.h and the public header"
    } else if (!(to in rank)) {
        if (angle) next                   # a system header such as <sys/socket.h>
        why = "src/" to "/ is not a layer of the stack"
    } else if (from == "wire" && to != "wire") {
        why = "wire/ includes no other layer: the daemon builds on it alone"
    } else if (rank[to] > rank[from]) {
        why = "includes a higher layer"
    } else {
        next
    }
    key = file " " inc
    if (key in allowed) { used[key] = 1; next }
    fail(file ":" FNR ": " from " -> " to " (" inc "): " why)
}

END {
    for (i = 1; i <= allowedCount; i++) {
        if (!(order[i] in used)) {
            split(order[i], f, " ")
            fail(self ": allowed edge " f[1] " -> " f[2] " no longer occurs: take it off the allow-list")
        }
    }
    if (bad) exit 1
    printf "layers one-way: %d files, %d folder includes, %d allowed edges left to cut\n", \
        checked, includes, allowedCount
}
' $files || status=1

exit "$status"
