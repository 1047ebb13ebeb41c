#!/bin/sh
# Installs the build into a temporary prefix, builds examples/installed
# against it with find_package(vavevar), and runs that program, the installed
# daemon and the installed tool together.
#
# usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER "C_FLAGS" "LINK_FLAGS"
set -eu
build=$1 source=$2 cc=$3 cflags=$4 ldflags=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/vavevar-install-XXXXXX")
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null || true; wait "$daemon_pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
prefix=$work/prefix
for f in include/vavevar.h bin/vavevard bin/vavevar lib*/libvavevar.a lib*/pkgconfig/vavevar.pc \
         lib*/cmake/vavevar/vavevarConfig.cmake lib*/cmake/vavevar/vavevarConfigVersion.cmake; do
    # shellcheck disable=SC2086
    ls $prefix/$f >/dev/null 2>&1 || { echo "not installed: $f" >&2; exit 1; }
done
ls "$prefix"/lib*/libvavevar.so.0 >/dev/null || { echo "not installed: libvavevar.so.0" >&2; exit 1; }

cmake -S "$source/examples/installed" -B "$work/example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }

# The pkg-config file, where pkg-config is there to read it.
if command -v pkg-config >/dev/null; then
    pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/vavevar.pc)")
    # shellcheck disable=SC2046,SC2086
    "$cc" $cflags -o "$work/pc_demo" "$source/examples/demo.c" \
        $(PKG_CONFIG_PATH=$pcdir pkg-config --define-variable=prefix="$prefix" --cflags --libs vavevar) $ldflags
fi

mkdir "$work/home"
"$prefix/bin/vavevard" --port 0 --port-file "$work/port" --home "$work/home" 2>"$work/daemon.log" &
daemon_pid=$!
tries=0
while [ ! -s "$work/port" ]; do
    kill -0 "$daemon_pid" 2>/dev/null || { cat "$work/daemon.log" >&2; exit 1; }
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "the installed daemon did not start" >&2; exit 1; }
    sleep 0.1
done
TAMRIX_LUMO_PROXY_PORT=$(cat "$work/port")
TAMRIX_HOME=$work/home
export TAMRIX_LUMO_PROXY_PORT TAMRIX_HOME

"$work/example/installed_demo" >"$work/demo.out" || { cat "$work/demo.out" >&2; exit 1; }
grep -q '^2 of 2 expected notifications received$' "$work/demo.out"
"$prefix/bin/vavevar" stats | grep -q '^eventsIn: 3$'
echo "installed package: library, header, daemon, tool, CMake package and example all work"
