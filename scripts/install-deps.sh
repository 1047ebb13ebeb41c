#!/bin/sh
# Installs the Debian packages that building, testing and benchmarking need,
# and only those that are missing. Run as root (or through sudo).
set -eu

# The third line makes and checks the manual pages (go-md2man converts them,
# man and groff render them in the tests) and the Debian package (`make
# package`: dpkg-shlibdeps works out its dependencies). The fourth fetches and
# parses the daemon's monitoring answers in its tests (and the cluster demo's
# look at its nats-servers' routes). The fifth is what the benchmark against
# other systems runs and links (bench/peers_bench.cpp); the library itself
# needs none of it, and nats-server also carries the cluster demo and the
# cross-node benchmark. The last: `ip`, for the cluster demo's --netns mode.
packages="cmake ninja-build make g++ clang libclang-rt-14-dev binutils
          libgtest-dev libgmock-dev libbenchmark-dev pkg-config
          go-md2man man-db groff-base dpkg-dev
          curl python3-prometheus-client
          nats-server libnats-dev redis-server libhiredis-dev
          iproute2"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -q
# shellcheck disable=SC2086
$as_root apt-get install -y -q --no-install-recommends $missing
