#!/bin/sh
# Checks the Debian package that `make package` made, as a user of it would
# meet it: its fields and file list; then installs it with dpkg into a scratch
# root (no rights over the machine's own package database or /usr needed, and
# nothing of it left behind), runs the quick start (scripts/demo.sh) with the
# installed daemon and tool and an example built against the installed
# headers and library through the installed pkg-config file, builds
# examples/installed through the installed CMake package, reads the installed
# manual pages, and removes and purges the package again.
#
# usage: sh scripts/package-check.sh [PKG_BUILD_DIR]   (default build-pkg)
set -eu

build=${1:-build-pkg}
source=$(cd "$(dirname "$0")/.." && pwd)
cc=${CC:-cc}
cxx=${CXX:-c++}

fail() { echo "package-check: $*" >&2; exit 1; }
step() { printf '\n== %s\n' "$*"; }

# shellcheck disable=SC2012
debs=$(ls "$build"/vavevar_*.deb 2>/dev/null | wc -l)
[ "$debs" -eq 1 ] || fail "expected one vavevar_*.deb in $build, found $debs (run make package)"
deb=$(cd "$build" && pwd)/$(cd "$build" && ls vavevar_*.deb)

work=$(mktemp -d "${TMPDIR:-/tmp}/vavevar-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

step "dpkg-deb --info $(basename "$deb")"
dpkg-deb --info "$deb"
field() { dpkg-deb --field "$deb" "$1"; }
version=$(sed -n 's/^project(vavevar VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
arch=$(dpkg --print-architecture)
[ "$(field Package)" = vavevar ] || fail "Package is '$(field Package)', not vavevar"
case $(field Version) in
    "$version" | "$version"-*) ;;
    *) fail "Version $(field Version) is not the project's $version" ;;
esac
[ "$(field Architecture)" = "$arch" ] || fail "Architecture $(field Architecture) is not $arch"
for f in Maintainer Description Section; do
    [ -n "$(field "$f")" ] || fail "the field $f is empty"
done
# What the binaries link must be declared, and be what this machine has.
depends=$(field Depends)
if command -v dpkg-shlibdeps >/dev/null; then
    for lib in libc6 libstdc++6; do
        echo "$depends" | grep -q "\\b$lib\\b" || fail "Depends ($depends) lacks $lib"
    done
fi
echo "$depends" | tr ',' '\n' | while read -r dep; do
    [ -n "$dep" ] || continue
    name=${dep%% *}
    have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || fail "dependency $name is not installed here"
    case $dep in
        *"(>= "*)
            want=$(echo "$dep" | sed 's/.*(>= \(.*\))/\1/')
            dpkg --compare-versions "$have" ge "$want" || fail "$name $have is older than the $want required"
            ;;
    esac
done
dpkg-deb --ctrl-tarfile "$deb" | tar -tf - >"$work/control.list"
grep -q 'conffiles$' "$work/control.list" || fail "no conffiles in the control archive"
mkdir "$work/control"
dpkg-deb --control "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/vavevar/vavevard.conf ] ||
    fail "conffiles is not /etc/vavevar/vavevard.conf: $(cat "$work/control/conffiles")"
grep -q '^libvavevar 0 vavevar' "$work/control/shlibs" || fail "no shlibs entry for libvavevar.so.0"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"
# Stripped: a program's symbol table is of no use to the people who run it.
for f in usr/bin/vavevard usr/bin/vavevar; do
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./$f" >"$work/binary"
    if readelf -S "$work/binary" | grep -q '\.symtab'; then fail "/$f is not stripped"; fi
done

step "dpkg-deb --contents $(basename "$deb")"
dpkg-deb --contents "$deb" | tee "$work/contents.txt"
# Names only, without "./", links as the name of the link.
awk '{ sub(/^\.\//, "", $6); print $6 }' "$work/contents.txt" >"$work/files.txt"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=usr/lib/$multiarch
for f in usr/bin/vavevard usr/bin/vavevar \
         usr/include/vavevar.h usr/include/vavevar.hpp \
         "$libdir/libvavevar.so.$version" "$libdir/libvavevar.so.0" "$libdir/libvavevar.so" \
         "$libdir/libvavevar.a" "$libdir/pkgconfig/vavevar.pc" \
         "$libdir/cmake/vavevar/vavevarConfig.cmake" "$libdir/cmake/vavevar/vavevarConfigVersion.cmake" \
         usr/lib/systemd/system/vavevard.service usr/lib/systemd/system/vavevard.socket \
         usr/share/man/man1/vavevar.1.gz usr/share/man/man3/vavevar.3.gz usr/share/man/man8/vavevard.8.gz \
         usr/share/doc/vavevar/README.md usr/share/doc/vavevar/daemon.md usr/share/doc/vavevar/cli.md \
         etc/vavevar/vavevard.conf; do
    grep -qx "$f" "$work/files.txt" || fail "the package lacks /$f"
done
# Nothing outside the places a package of this kind installs into.
if grep -v -e '^$' -e '^usr/$' -e '^usr/\(bin\|include\|lib\|share\)/' -e '^etc/$' -e '^etc/vavevar/' \
        "$work/files.txt" >"$work/stray.txt"; then
    fail "files outside /usr and /etc/vavevar: $(tr '\n' ' ' <"$work/stray.txt")"
fi

step "dpkg --root=SCRATCH -i $(basename "$deb")"
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$root/var/log"
: >"$admin/status"
: >"$admin/available"
# The scratch root has no libc6 and friends: their presence on this machine
# was checked above, so their absence in the scratch database is overridden.
scratch_dpkg() {
    dpkg --root="$root" --admindir="$admin" --log="$work/dpkg.log" \
        --force-not-root --force-script-chrootless --force-depends "$@"
}
scratch_dpkg -i "$deb"
[ "$(dpkg-query --admindir="$admin" -W -f='${Status}' vavevar)" = "install ok installed" ] ||
    fail "dpkg does not list vavevar as installed in the scratch root"

# The installed programs must not look for libraries in the build tree.
for program in "$root/usr/bin/vavevard" "$root/usr/bin/vavevar" "$root/$libdir/libvavevar.so.$version"; do
    if readelf -d "$program" | grep -q 'R\(UN\)\{0,1\}PATH'; then
        fail "$program has a library search path: $(readelf -d "$program" | grep PATH)"
    fi
done

step "examples built against the installed package"
pcdir=$root/$libdir/pkgconfig
pc() { PKG_CONFIG_PATH=$pcdir PKG_CONFIG_LIBDIR=$pcdir pkg-config "$@" vavevar; }
[ "$(pc --modversion)" = "$version" ] || fail "the installed pkg-config file says version $(pc --modversion)"
[ "$(cd "$(pc --variable=includedir)" && pwd -P)" = "$(cd "$root/usr/include" && pwd -P)" ] ||
    fail "pkg-config's includedir $(pc --variable=includedir) is not the installed one"
mkdir "$work/examples"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -o "$work/examples/vavevar_demo" "$source/examples/demo.c" $(pc --cflags --libs)
# shellcheck disable=SC2046
"$cxx" -std=c++20 -Wall -Wextra -Werror -o "$work/examples/vavevar_cpp_demo" "$source/examples/cpp_demo.cpp" \
    $(pc --cflags --libs)
cmake -S "$source/examples/installed" -B "$work/installed" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_C_COMPILER="$cc" >"$work/installed.log" || { cat "$work/installed.log" >&2; fail "examples/installed does not configure"; }
cmake --build "$work/installed" >>"$work/installed.log" || { cat "$work/installed.log" >&2; fail "examples/installed does not build"; }
echo "built vavevar_demo (C) and vavevar_cpp_demo (C++) with pkg-config, installed_demo with find_package"

LD_LIBRARY_PATH=$root/$libdir
export LD_LIBRARY_PATH
for program in "$work/examples/vavevar_demo" "$work/examples/vavevar_cpp_demo" "$work/installed/installed_demo"; do
    loaded=$(ldd "$program" | sed -n 's/.*libvavevar\.so\.0 => \([^ ]*\).*/\1/p')
    [ "$loaded" = "$root/$libdir/libvavevar.so.0" ] || fail "$program loads libvavevar.so.0 from '$loaded'"
done

step "the quick start with the installed daemon, tool and library"
# scripts/demo.sh finds the programs in a build tree's layout; here that
# layout points at the installed programs.
demo_tree=$work/demo-tree
mkdir -p "$demo_tree/daemon" "$demo_tree/tools" "$demo_tree/examples"
ln -s "$root/usr/bin/vavevard" "$demo_tree/daemon/vavevard"
ln -s "$root/usr/bin/vavevar" "$demo_tree/tools/vavevar"
ln -s "$work/examples/vavevar_demo" "$demo_tree/examples/vavevar_demo"
sh "$source/scripts/demo.sh" "$demo_tree" | tee "$work/demo.out"
grep -q '^demo: done$' "$work/demo.out" || fail "the quick start did not finish"

step "man -l on the installed pages"
for page in man1/vavevar.1.gz man3/vavevar.3.gz man8/vavevard.8.gz; do
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page" >"$work/page.txt" 2>"$work/warnings" ||
        fail "man -l $page failed"
    [ ! -s "$work/warnings" ] || { cat "$work/warnings" >&2; fail "man warns about $page"; }
    grep -q '^NAME' "$work/page.txt" || fail "$page renders without a NAME section"
    echo "$page: $(wc -l <"$work/page.txt") lines, no warnings"
done

step "dpkg -r, then --purge"
echo "# edited" >>"$root/etc/vavevar/vavevard.conf"
scratch_dpkg -r vavevar
[ ! -e "$root/usr/bin/vavevard" ] || fail "dpkg -r left /usr/bin/vavevard"
[ -f "$root/etc/vavevar/vavevard.conf" ] || fail "dpkg -r removed the edited configuration file"
scratch_dpkg --purge vavevar
[ ! -e "$root/etc/vavevar/vavevard.conf" ] || fail "dpkg --purge left the configuration file"
left=$(find "$root" -type f ! -path "$admin/*" ! -path "$root/var/log/*" | head -5)
[ -z "$left" ] || fail "files left after purge: $left"

echo
echo "package-check: $(basename "$deb") installs, runs, builds against and removes cleanly"
