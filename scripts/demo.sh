#!/bin/sh
# The quick start, run by `make demo`: starts vavevard on a free port with a
# temporary home, a subscriber (`vavevar sub`) in the background, publishes a
# few notifications from separate processes (`vavevar pub`), shows what the
# subscriber printed and the daemon's counters, runs the C example against the
# same daemon, and stops everything. Every wait is bounded; whatever happens,
# the processes started here are stopped and the temporary files removed.
#
# usage: sh scripts/demo.sh [BUILD_DIR]
set -eu

build=${1:-build}
vavevard=$build/daemon/vavevard
vavevar=$build/tools/vavevar
demo=$build/examples/vavevar_demo
for program in "$vavevard" "$vavevar" "$demo"; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (make build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vavevar-demo-XXXXXX")
daemon_pid=""
sub_pid=""

stop() {
    status=$?
    trap - EXIT INT TERM HUP
    for pid in $sub_pid $daemon_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $sub_pid $daemon_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    echo "demo: $*" >&2
    if [ -s "$work/daemon.log" ]; then
        echo "--- daemon log:" >&2
        cat "$work/daemon.log" >&2
    fi
    exit 1
}

# wait_for FILE PID WHAT: until FILE exists, at most 10 s, while PID lives.
wait_for() {
    tries=0
    while [ ! -e "$1" ]; do
        kill -0 "$2" 2>/dev/null || fail "$3 ended before it was ready"
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || fail "$3 not ready within 10 s"
        sleep 0.1
    done
}

if [ -t 1 ]; then bold=$(printf '\033[1m'); plain=$(printf '\033[0m'); else bold=""; plain=""; fi
step() { printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"; }

mkdir "$work/home"
step "vavevard --port 0 --port-file $work/port --home $work/home --instance-name demo --log-file $work/daemon.log &"
"$vavevard" --port 0 --port-file "$work/port" --home "$work/home" --instance-name demo \
    --log-file "$work/daemon.log" &
daemon_pid=$!
wait_for "$work/port" "$daemon_pid" "vavevard"
port=$(cat "$work/port")
echo "vavevard listens on localhost:$port"

TAMRIX_LUMO_PROXY_PORT=$port
TAMRIX_HOME=$work/home
export TAMRIX_LUMO_PROXY_PORT TAMRIX_HOME
step "export TAMRIX_LUMO_PROXY_PORT=$port TAMRIX_HOME=$work/home"

step "vavevar sub 'demo/*' --count 4 --timeout 20 > sub.txt &"
"$vavevar" sub 'demo/*' --count 4 --timeout 20 --ready-file "$work/ready" >"$work/sub.txt" &
sub_pid=$!
wait_for "$work/ready" "$sub_pid" "vavevar sub"

step "vavevar pub demo/greeting --prop from=demo --body 'hello, world'"
"$vavevar" pub demo/greeting --prop from=demo --body 'hello, world'
step "vavevar pub other/ignored --body 'not matched by demo/*'"
"$vavevar" pub other/ignored --body 'not matched by demo/*'
step "vavevar pub demo/alarm --prop severity=3 --prop site=north --bb alarm.text='pressure high' --bb alarm.where.valve=7"
"$vavevar" pub demo/alarm --prop severity=3 --prop site=north \
    --bb alarm.text='pressure high' --bb alarm.where.valve=7
step "vavevar pub demo/tick --prop seq=1 --count 2"
"$vavevar" pub demo/tick --prop seq=1 --count 2

step "wait for the subscriber; cat sub.txt"
sub_status=0
wait "$sub_pid" || sub_status=$?
sub_pid=""
cat "$work/sub.txt"
[ "$sub_status" -eq 0 ] || fail "vavevar sub exited with status $sub_status"

step "vavevar stats"
"$vavevar" stats

step "vavevar_demo   (examples/demo.c: the same through the C interface)"
"$demo"

step "kill -TERM vavevard"
kill -TERM "$daemon_pid"
daemon_status=0
wait "$daemon_pid" || daemon_status=$?
daemon_pid=""
[ "$daemon_status" -eq 0 ] || fail "vavevard exited with status $daemon_status"
tail -n 2 "$work/daemon.log"
echo
echo "demo: done"
