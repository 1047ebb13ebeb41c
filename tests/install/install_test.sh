#!/bin/sh
# Installs the build into a temporary prefix, checks that the programs,
# libraries, headers, systemd units, documents, manual pages and example
# configuration are there, builds examples/installed
# against it with find_package(vavevar) and demo.c with pkg-config (shared and
# static), and runs those programs, the installed
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
for f in include/vavevar.h include/vavevar.hpp bin/vavevard bin/vavevar lib*/libvavevar.a lib*/pkgconfig/vavevar.pc \
         lib*/cmake/vavevar/vavevarConfig.cmake lib*/cmake/vavevar/vavevarConfigVersion.cmake; do
    # shellcheck disable=SC2086
    ls $prefix/$f >/dev/null 2>&1 || { echo "not installed: $f" >&2; exit 1; }
done
ls "$prefix"/lib*/libvavevar.so.0 >/dev/null || { echo "not installed: libvavevar.so.0" >&2; exit 1; }
for f in share/doc/vavevar/README.md share/doc/vavevar/daemon.md etc/vavevar/vavevard.conf \
         lib/systemd/system/vavevard.service lib/systemd/system/vavevard.socket; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
# The manual pages, where the build made them.
if [ -d "$build/man" ]; then
    for f in share/man/man1/vavevar.1 share/man/man3/vavevar.3 share/man/man8/vavevard.8; do
        [ -s "$prefix/$f.gz" ] || [ -s "$prefix/$f" ] || { echo "not installed: $f (or $f.gz)" >&2; exit 1; }
    done
fi
# The example configuration names only settings the daemon has, and sets none
# of them (the daemon below runs with it).
conf=$prefix/etc/vavevar/vavevard.conf
"$prefix/bin/vavevard" --help >"$work/vavevard.help"
keys=$(sed -n 's/^#\([a-z][a-z-]*\) = .*/\1/p' "$conf")
[ -n "$keys" ] || { echo "$conf shows no settings" >&2; exit 1; }
for key in $keys; do
    grep -q -- "--$key " "$work/vavevard.help" || { echo "$conf: vavevard has no setting '$key'" >&2; exit 1; }
done
if grep -v '^#' "$conf" | grep -q '[^[:space:]]'; then
    echo "$conf sets something; installed as it is it must change no default" >&2; exit 1
fi

cmake -S "$source/examples/installed" -B "$work/example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/example" >"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }

# The pkg-config file, where pkg-config is there to read it: right for this
# prefix as installed (no --define-variable), and complete enough for a C
# program to link the static library.
pc_demo="" pc_static_demo=""
if command -v pkg-config >/dev/null; then
    pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/vavevar.pc)")
    pc() { PKG_CONFIG_PATH=$pcdir pkg-config "$@" vavevar; }
    pc_includedir=$(pc --variable=includedir)
    pc_libdir=$(pc --variable=libdir)
    [ "$(cd "$pc_includedir" && pwd -P)" = "$(cd "$prefix/include" && pwd -P)" ] ||
        { echo "pkg-config includedir $pc_includedir is not under $prefix" >&2; exit 1; }
    [ -f "$pc_libdir/libvavevar.a" ] && [ "$(cd "$pc_libdir/.." && pwd -P)" = "$(cd "$prefix" && pwd -P)" ] ||
        { echo "pkg-config libdir $pc_libdir is not the installed one" >&2; exit 1; }
    [ "$(pc --modversion)" = "$(sed -n 's/^project(vavevar VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")" ] ||
        { echo "pkg-config version $(pc --modversion) is not the project's" >&2; exit 1; }

    # shellcheck disable=SC2046,SC2086
    "$cc" $cflags -o "$work/pc_demo" "$source/examples/demo.c" $(pc --cflags --libs) $ldflags
    pc_demo=$work/pc_demo
    # The static archive in place of -lvavevar; everything else it needs must
    # come from --static.
    static_libs=$(pc --static --libs | sed "s|-lvavevar|$pc_libdir/libvavevar.a|")
    # shellcheck disable=SC2046,SC2086
    "$cc" $cflags -o "$work/pc_static_demo" "$source/examples/demo.c" $(pc --cflags) $static_libs $ldflags ||
        { echo "static C link with: $static_libs" >&2; exit 1; }
    if command -v ldd >/dev/null && ldd "$work/pc_static_demo" | grep -q libvavevar; then
        echo "the static demo loads the shared library" >&2; exit 1
    fi
    pc_static_demo=$work/pc_static_demo
fi

mkdir "$work/home"
"$prefix/bin/vavevard" --config "$conf" --port 0 --port-file "$work/port" --home "$work/home" 2>"$work/daemon.log" &
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
events=3
for demo in $pc_demo $pc_static_demo; do
    LD_LIBRARY_PATH=$pc_libdir "$demo" >"$work/demo.out" || { echo "$demo:" >&2; cat "$work/demo.out" >&2; exit 1; }
    grep -q '^2 of 2 expected notifications received$' "$work/demo.out"
    events=$((events + 3))
done
"$prefix/bin/vavevar" stats | grep -q "^eventsIn: $events\$"
echo "installed package: library, header, daemon, tool, CMake package and example all work"
