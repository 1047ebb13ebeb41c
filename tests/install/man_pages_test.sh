#!/bin/sh
# The manual pages against the programs they describe: each generated page
# renders without a warning from man or groff, every long option that
# `vavevard --help` and `vavevar [COMMAND] --help` print is in the matching
# page (with its letter, where it has one), every command of the tool is, and
# no page names an option the programs do not have. So a page cannot fall
# silently behind the code, nor get ahead of it.
#
# usage: man_pages_test.sh MAN_DIR VAVEVARD VAVEVAR HEADER
set -eu
man_dir=$1 vavevard=$2 vavevar=$3 header=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/vavevar-man-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Rendered text, one paragraph a line (no wrapping, so no word is split), in
# ASCII so that a dash is a dash.
render() { LC_ALL=C MANWIDTH=10000 man -l "$1" 2>/dev/null; }

for page in "$man_dir"/vavevar.1 "$man_dir"/vavevar.3 "$man_dir"/vavevard.8; do
    [ -s "$page" ] || { fail "$page was not generated"; continue; }
    for locale in C C.UTF-8; do
        LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$work/warnings" ||
            fail "man -l $page failed ($locale)"
        [ ! -s "$work/warnings" ] || { fail "man warns about $page ($locale):"; cat "$work/warnings" >&2; }
    done
    groff -t -man -ww -z "$page" 2>"$work/warnings" || fail "groff failed on $page"
    [ ! -s "$work/warnings" ] || { fail "groff warns about $page:"; cat "$work/warnings" >&2; }
    render "$page" >"$work/$(basename "$page").txt"
    grep -q '^NAME' "$work/$(basename "$page").txt" || fail "$page has no NAME section when rendered"
done

long_options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
# "-p, --port": the letter and the option, as help prints them.
letter_pairs() { grep -o -- '-[a-zA-Z], --[a-z][a-z-]*' | sort -u; }
# OPTION is in FILE as a word of its own (not as a part of a longer option).
has_option() { grep -qE -- "(^|[^a-zA-Z0-9-])$1([^a-zA-Z0-9-]|\$)" "$2"; }

# The daemon.
"$vavevard" --help >"$work/vavevard.help"
daemon_page=$work/vavevard.8.txt
long_options <"$work/vavevard.help" >"$work/vavevard.options"
[ -s "$work/vavevard.options" ] || fail "vavevard --help lists no options"
while read -r option; do
    has_option "$option" "$daemon_page" || fail "vavevard.8 lacks $option"
done <"$work/vavevard.options"

# The tool: its own help, and each command's.
"$vavevar" --help >"$work/vavevar.help"
commands=$(sed -n 's/^  \([a-z][a-z]*\( [a-z][a-z]*\)\{0,1\}\) .*/\1/p' "$work/vavevar.help")
[ -n "$commands" ] || fail "vavevar --help lists no commands"
tool_page=$work/vavevar.1.txt
cp "$work/vavevar.help" "$work/all.help"
for command in $(echo "$commands" | tr ' ' '+'); do
    command=$(echo "$command" | tr '+' ' ')
    grep -q "vavevar $command" "$tool_page" || fail "vavevar.1 lacks the command '$command'"
    # shellcheck disable=SC2086
    "$vavevar" $command --help >"$work/command.help" || fail "vavevar $command --help failed"
    cat "$work/command.help" >>"$work/all.help"
    while read -r option; do
        has_option "$option" "$tool_page" || fail "vavevar.1 lacks $option (vavevar $command)"
    done <<EOT
$(long_options <"$work/command.help")
EOT
    while read -r pair; do
        [ -z "$pair" ] || grep -qF -- "$pair" "$tool_page" || fail "vavevar.1 lacks '$pair' (vavevar $command)"
    done <<EOT
$(letter_pairs <"$work/command.help")
EOT
done
long_options <"$work/all.help" >"$work/vavevar.options"

# Nothing invented: the daemon's page names the daemon's options only (and
# systemctl's --now, in the lines that enable the units); the tool's page names
# the tool's, or a prefix of one (getopt_long takes those, and the page says
# so), and may point to the daemon's.
for option in $(long_options <"$daemon_page"); do
    [ "$option" = --now ] || grep -qx -- "$option" "$work/vavevard.options" ||
        fail "vavevard.8 names $option, which vavevard does not have"
done
cat "$work/vavevar.options" "$work/vavevard.options" >"$work/known.options"
for option in $(long_options <"$tool_page"); do
    grep -q -- "^$option" "$work/known.options" || fail "vavevar.1 names $option, which vavevar does not have"
done

# The C interface: what the header exports, against what the page names.
library_page=$work/vavevar.3.txt
sed -n 's/^LUMO_EXPORT .*[ *]\(lumox\{0,1\}_[a-zA-Z0-9_]*\)(.*/\1/p' "$header" | sort -u >"$work/exported"
[ -s "$work/exported" ] || fail "found no exported functions in $header"
while read -r function; do
    grep -qE "(^|[^a-zA-Z0-9_])$function\(" "$library_page" || fail "vavevar.3 lacks $function()"
done <"$work/exported"
for function in $(grep -oE 'lumox?_[a-zA-Z0-9_]*\(' "$library_page" | tr -d '(' | sort -u); do
    grep -qx "$function" "$work/exported" || fail "vavevar.3 names $function(), which vavevar.h does not export"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures problems with the manual pages" >&2
    exit 1
fi
echo "manual pages: render cleanly; $(wc -l <"$work/vavevard.options") daemon and $(wc -l <"$work/vavevar.options") tool options and $(wc -l <"$work/exported") functions documented, none invented"
