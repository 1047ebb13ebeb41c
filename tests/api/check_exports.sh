#!/bin/sh
# Fails when the shared library exports anything but lumo_* and lumox_win32_*
# functions, or when a function declared in the public header is not exported.
set -eu
lib=$1
header=$2

exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
status=0

stray=$(printf '%s\n' "$exported" | grep -vE '^(lumo_|lumox_win32_)' | grep -vE '^(VAVEVAR_[0-9]+)?$' || true)
if [ -n "$stray" ]; then
    echo "exported symbols outside the interface:" >&2
    printf '  %s\n' $stray >&2
    status=1
fi

declared=$(grep -oE '\b(lumo|lumox_win32)_[A-Za-z0-9_]+\(' "$header" | tr -d '(' | sort -u)
for name in $declared; do
    if ! printf '%s\n' "$exported" | grep -qx "$name"; then
        echo "declared in the header but not exported: $name" >&2
        status=1
    fi
done

count=$(printf '%s\n' "$declared" | grep -c . || true)
[ "$status" -eq 0 ] && echo "exports match the header ($count functions)"
exit "$status"
