#!/usr/bin/env bash
# Three vavevard nodes bridged through a three-server NATS cluster, shown and
# checked with the tool (`make demo-cluster`): a subscriber on each node, a
# publish on node1 that reaches node2 and node3, a LocalOnly publish that stays
# on node1, an event for `affectedNodes: node3` that reaches node3 only, and
# the cluster counters of `vavevar stats`. It exits non-zero with one line
# saying what did not arrive (or what arrived where it must not), so CI can run
# it.
#
# By default every server listens on a free loopback port. With --netns (root
# only) each node, its nats-server and its daemon, lives in a network
# namespace of its own, joined to the others by veth pairs on a bridge in a
# hub namespace (10.231.0.0/24): the nodes are separate hosts as far as the
# network goes, and the tool runs inside each node's namespace. Nothing is
# created in the caller's own namespace.
#
# Whatever happens, what it started is stopped by PID and what it created is
# removed (on EXIT, INT, TERM and HUP). Names carry the run's PID, so that a
# later run removes what a run killed outright (SIGKILL) left behind.
#
# usage: bash scripts/cluster-demo.sh [--netns] [BUILD_DIR]
set -euo pipefail

usage() { echo "usage: bash scripts/cluster-demo.sh [--netns] [BUILD_DIR]" >&2; exit 2; }

netns=0
build=build
case $# in
0) ;;
1) if [ "$1" = --netns ]; then netns=1; else build=$1; fi ;;
2) [ "$1" = --netns ] || usage; netns=1; build=$2 ;;
*) usage ;;
esac
case $build in -*) usage ;; esac

vavevard=$build/daemon/vavevard
vavevar=$build/tools/vavevar
for program in "$vavevard" "$vavevar"; do
    [ -x "$program" ] || { echo "cluster-demo: $program is missing; build first (make build)" >&2; exit 1; }
done
# Absolute, since the programs also run from `ip netns exec`.
vavevard=$(cd "$(dirname "$vavevard")" && pwd)/vavevard
vavevar=$(cd "$(dirname "$vavevar")" && pwd)/vavevar
nats_server=$(command -v nats-server || true)
[ -n "$nats_server" ] || { echo "cluster-demo: no nats-server (Debian's nats-server package; make deps)" >&2; exit 1; }
command -v curl >/dev/null || { echo "cluster-demo: no curl (make deps)" >&2; exit 1; }
if [ "$netns" -eq 1 ]; then
    [ "$(id -u)" -eq 0 ] || {
        echo "cluster-demo: --netns makes network namespaces and needs root; run it as root, or without --netns on loopback" >&2
        exit 2
    }
    command -v ip >/dev/null || { echo "cluster-demo: --netns needs ip (Debian's iproute2)" >&2; exit 1; }
fi

nodes=(1 2 3)
cluster_name=vvdemo
# Every name this run gives carries its PID; leftovers are found by it.
ns_prefix=vvcd-
tag=$ns_prefix$$
work_prefix=${TMPDIR:-/tmp}/vavevar-cluster-demo-

# ---------------------------------------------------------------- leftovers

# True when PID runs this script (a concurrent run whose things are in use).
is_demo_run() {
    [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q cluster-demo
}

# What a run killed before its own clean-up left behind: the processes it
# recorded (each checked to be still the one started from that run's
# directory, so that a PID used again since is left alone), its directory,
# and its namespaces (with whatever still runs in them, which only such a run
# started).
remove_leftovers() {
    local dir pid owner ns
    for dir in "$work_prefix"*; do
        [ -d "$dir" ] || continue
        owner=${dir#"$work_prefix"}
        owner=${owner%%-*}
        case $owner in '' | *[!0-9]*) continue ;; esac
        is_demo_run "$owner" && continue
        if [ -r "$dir/pids" ]; then
            while read -r pid; do
                if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "$dir"; then
                    kill -KILL "$pid" 2>/dev/null || true
                fi
            done <"$dir/pids"
        fi
        echo "cluster-demo: removing $dir, left by run $owner"
        rm -rf "$dir"
    done
    command -v ip >/dev/null && [ "$(id -u)" -eq 0 ] || return 0
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^${ns_prefix}[0-9][0-9]*-" || true); do
        owner=${ns#"$ns_prefix"}
        owner=${owner%%-*}
        is_demo_run "$owner" && continue
        echo "cluster-demo: removing network namespace $ns, left by run $owner"
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
}
remove_leftovers

# ------------------------------------------------------------ stop and fail

work=$(mktemp -d "${work_prefix}$$-XXXXXX")
started_ns=()
sub_pids=()
daemon_pids=()
nats_pids=()

# stop_pids SIGNAL PID...: signals each, then waits for it at most 10 s
# before killing it.
stop_pids() {
    local signal=$1 pid tries
    shift
    for pid in "$@"; do kill "-$signal" "$pid" 2>/dev/null || true; done
    for pid in "$@"; do
        tries=0
        while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

cleanup() {
    local status=$? ns pid
    trap - EXIT INT TERM HUP
    set +e
    # Subscribers first, then the daemons (which say goodbye to the cluster),
    # then the servers they were saying it through.
    stop_pids TERM "${sub_pids[@]}"
    stop_pids TERM "${daemon_pids[@]}"
    stop_pids INT "${nats_pids[@]}"
    for ns in "${started_ns[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null || echo "cluster-demo: could not remove network namespace $ns" >&2
    done
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    local log
    echo "cluster-demo: FAILED: $*" >&2
    for log in "$work"/node*/vavevard.log; do
        [ -s "$log" ] || continue
        echo "--- last lines of $log:" >&2
        tail -n 15 "$log" >&2
    done
    exit 1
}

if [ -t 1 ]; then bold=$(printf '\033[1m'); plain=$(printf '\033[0m'); else bold=""; plain=""; fi
step() { printf '\n%s%s%s\n' "$bold" "$*" "$plain"; }
show() { printf '%s$ %s%s\n' "$bold" "$*" "$plain"; }

# show_on N COMMAND...: shows COMMAND as it runs on node N.
show_on() {
    local n=$1
    shift
    if [ "$netns" -eq 1 ]; then show "ip netns exec $tag-n$n $*"; else show "$*    (node$n)"; fi
}

# on_node N COMMAND...: runs COMMAND as on node N's host.
on_node() {
    local n=$1
    shift
    if [ "$netns" -eq 1 ]; then ip netns exec "$tag-n$n" "$@"; else "$@"; fi
}

# start_on_node N OUT ERR COMMAND...: in the background, with its standard
# output and error to OUT and ERR. Started as a simple command, not through a
# function, so that the PID is the program's own (`ip netns exec` execs it
# too): it is in $started and in the run's pids file.
start_on_node() {
    local n=$1 out=$2 err=$3
    shift 3
    if [ "$netns" -eq 1 ]; then
        ip netns exec "$tag-n$n" "$@" >"$out" 2>"$err" &
    else
        "$@" >"$out" 2>"$err" &
    fi
    started=$!
    echo "$started" >>"$work/pids"
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s.
wait_until() {
    local limit=$(($1 * 10)) what=$2 tries=0
    shift 2
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -le "$limit" ] || fail "$what within $((limit / 10)) s"
        sleep 0.1
    done
}

alive() { kill -0 "$1" 2>/dev/null; }

# ------------------------------------------------------------------ network

# Addresses: node N's host is 10.231.0.N on the bridge, or 127.0.0.1.
declare -A host client_port cluster_port monitor_port daemon_port
if [ "$netns" -eq 1 ]; then
    step "network: namespaces $tag-n1..3 joined by a bridge in $tag-hub, 10.231.0.0/24"
    hub=$tag-hub
    ip netns add "$hub"
    started_ns+=("$hub")
    ip -n "$hub" link set lo up
    ip -n "$hub" link add br0 type bridge
    ip -n "$hub" link set br0 up
    for n in "${nodes[@]}"; do
        ns=$tag-n$n
        ip netns add "$ns"
        started_ns+=("$ns")
        ip -n "$ns" link set lo up
        ip -n "$ns" link add eth0 type veth peer name "n$n" netns "$hub"
        ip -n "$hub" link set "n$n" master br0 up
        ip -n "$ns" addr add "10.231.0.$n/24" dev eth0
        ip -n "$ns" link set eth0 up
        host[$n]=10.231.0.$n
        show "ip netns exec $ns ip -brief address show eth0"
        ip -n "$ns" -brief address show eth0
    done
else
    for n in "${nodes[@]}"; do host[$n]=127.0.0.1; done
fi

# ------------------------------------------------------------- nats-servers

# In a namespace of its own a node has its ports to itself; on loopback each
# server picks free ones and writes them to its ports file.
nats_ports_known() {
    local n=$1 file
    alive "${nats_pids[n - 1]}" || fail "nats-server $n ended: $(tail -n 5 "$work/nats$n/log" 2>/dev/null)"
    file=$(find "$work/nats$n" -name '*.ports' | head -n 1)
    [ -n "$file" ] && grep -q '"cluster"' "$file" || return 1
    client_port[$n]=$(sed 's/.*"nats":\["nats:\/\/[^"]*:\([0-9]*\)".*/\1/' "$file")
    monitor_port[$n]=$(sed 's/.*"monitoring":\["http:\/\/[^"]*:\([0-9]*\)".*/\1/' "$file")
    cluster_port[$n]=$(sed 's/.*"cluster":\["nats:\/\/[^"]*:\([0-9]*\)".*/\1/' "$file")
}

start_nats() {
    local n=$1 routes="" m args
    mkdir -p "$work/nats$n"
    # Each server names the ones started before it; the routes they
    # announce to each other complete the mesh.
    for m in "${nodes[@]}"; do
        [ "$m" -lt "$n" ] || break
        routes=${routes:+$routes,}nats://${host[$m]}:${cluster_port[$m]}
    done
    if [ "$netns" -eq 1 ]; then
        client_port[$n]=4222 cluster_port[$n]=6222 monitor_port[$n]=8222
        args=(-a "${host[$n]}" -p 4222 -m 8222 --cluster "nats://${host[$n]}:6222")
    else
        args=(-a 127.0.0.1 -p -1 -m -1 --cluster "nats://127.0.0.1:-1" --ports_file_dir "$work/nats$n")
    fi
    args+=(--cluster_name "$cluster_name" -n "nats-node$n" -l "$work/nats$n/log")
    [ -z "$routes" ] || args+=(--routes "$routes")
    show_on "$n" "nats-server ${args[*]} &"
    start_on_node "$n" "$work/nats$n/out" "$work/nats$n/out" "$nats_server" "${args[@]}"
    nats_pids+=("$started")
    if [ "$netns" -eq 0 ]; then
        wait_until 10 "nats-server $n did not say its ports" nats_ports_known "$n"
    fi
}

routes_of() {
    on_node "$1" curl -sf --max-time 2 "http://${host[$1]}:${monitor_port[$1]}/routez" 2>/dev/null |
        sed -n 's/.*"num_routes": *\([0-9]*\).*/\1/p'
}
all_routes_up() {
    local n
    for n in "${nodes[@]}"; do
        alive "${nats_pids[n - 1]}" || fail "nats-server $n ended: $(tail -n 5 "$work/nats$n/log" 2>/dev/null)"
    done
    for n in "${nodes[@]}"; do [ "$(routes_of "$n")" = 2 ] || return 1; done
}

step "a cluster of three nats-servers ($cluster_name)"
for n in "${nodes[@]}"; do start_nats "$n"; done
wait_until 20 "the nats-servers did not route to each other" all_routes_up
for n in "${nodes[@]}"; do
    echo "nats-node$n: clients on ${host[$n]}:${client_port[$n]}, routes on ${host[$n]}:${cluster_port[$n]}, 2 routes up"
done

# ------------------------------------------------------------------ daemons

# Its own server first; the others for fail-over.
server_list() {
    local n=$1 m list=nats://${host[$1]}:${client_port[$1]}
    for m in "${nodes[@]}"; do
        [ "$m" = "$n" ] || list=$list,nats://${host[$m]}:${client_port[$m]}
    done
    echo "$list"
}

step "three vavevard nodes, each on its own nats-server"
for n in "${nodes[@]}"; do
    dir=$work/node$n
    mkdir -p "$dir/home"
    args=(--port 0 --port-file "$dir/port" --home "$dir/home" --instance-name "node$n"
          --log-file "$dir/vavevard.log" --cluster "$(server_list "$n")" --node "node$n"
          --cluster-name "$cluster_name")
    show_on "$n" "vavevard ${args[*]} &"
    start_on_node "$n" "$dir/out" "$dir/out" "$vavevard" "${args[@]}"
    daemon_pids[n]=$started
done
# ready N: the daemon of node N listens, or it ended and the demo fails.
daemon_ready() {
    [ -s "$work/node$1/port" ] && return 0
    alive "${daemon_pids[$1]}" || fail "vavevard node$1 ended: $(cat "$work/node$1/out")"
    return 1
}
for n in "${nodes[@]}"; do
    wait_until 10 "vavevard node$n did not start" daemon_ready "$n"
    daemon_port[$n]=$(cat "$work/node$n/port")
    echo "node$n: vavevard on localhost:${daemon_port[$n]}"
done

tool() { # tool N ARGS...: the tool on node N, against node N's daemon
    local n=$1
    shift
    on_node "$n" "$vavevar" "$@" --port "${daemon_port[$n]}"
}
tool_home() { # the same for commands that take a home
    local n=$1
    shift
    tool "$n" "$@" --home "$work/node$n/home"
}

# -------------------------------------------------------------- subscribers

step "a subscriber on each node"
for n in "${nodes[@]}"; do
    show_on "$n" "vavevar sub 'demo/*' --format line --port ${daemon_port[$n]} > node$n.txt &"
    start_on_node "$n" "$work/node$n/sub.txt" "$work/node$n/sub.err" "$vavevar" sub 'demo/*' \
        --format line --timeout 120 --ready-file "$work/node$n/ready" \
        --port "${daemon_port[$n]}" --home "$work/node$n/home"
    sub_pids[n]=$started
done
for n in "${nodes[@]}"; do
    wait_until 15 "vavevar sub on node$n was not subscribed" test -e "$work/node$n/ready"
done

received() { grep -q "^$2 " "$work/node$1/sub.txt"; }
all_received() {
    local type=$1 n
    shift
    for n in "$@"; do received "$n" "$type" || return 1; done
}

# A daemon's link and the cluster's interest in a new subscription take a
# moment to be in place: node1 publishes a probe until every node has one.
step "until the cluster carries node1's events to every node, on node1: vavevar pub demo/probe"
probes=0
until all_received demo/probe "${nodes[@]}"; do
    probes=$((probes + 1))
    [ "$probes" -le 60 ] || fail "no probe from node1 reached $(for n in "${nodes[@]}"; do received "$n" demo/probe || printf 'node%s ' "$n"; done)in 30 s"
    for n in "${nodes[@]}"; do alive "${sub_pids[$n]}" || fail "vavevar sub on node$n ended: $(cat "$work/node$n/sub.err")"; done
    tool_home 1 pub demo/probe --prop seq=$probes >/dev/null || fail "vavevar pub on node1 failed"
    sleep 0.5
done
echo "after $probes probe(s)"

# ---------------------------------------------------------------- publishing

step "publish on node1"
show_on 1 "vavevar pub demo/greeting --prop from=node1 --body 'hello from node1' --port ${daemon_port[1]}"
tool_home 1 pub demo/greeting --prop from=node1 --body 'hello from node1' || fail "vavevar pub on node1 failed"
show_on 1 "vavevar pub demo/local --local-only --body 'for node1 only' --port ${daemon_port[1]}"
tool_home 1 pub demo/local --local-only --body 'for node1 only' || fail "vavevar pub on node1 failed"

# The library has no call that sets affectedNodes, so this event is written
# on the daemon's protocol by hand. The end marker follows on the same
# connection, so a node that has the marker has had everything published
# before it; the stats request behind them returns once the daemon has
# routed both.
raw_publish() { # PORT NODE HOME TYPE|AFFECTED_NODES|BODY...
    local port=$1 node=$2 home=$3 line seq=0 type affected body
    shift 3
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'POST /connect HTTP/1.1\r\nVersion: 4\r\nFormFactor: cluster-demo\r\nSelfId: Pid=%s; Home=%s\r\n\r\n' \
        "$$" "$home" >&3
    while IFS= read -r -t 10 line <&3; do
        line=${line%$'\r'}
        [ -n "$line" ] || break
        case $line in "Result: "*) [ "$line" = "Result: success" ] || { echo "handshake: $line" >&2; return 1; } ;; esac
    done
    for event in "$@"; do
        IFS='|' read -r type affected body <<<"$event"
        seq=$((seq + 1))
        printf 'POST /event HTTP/1.1\r\nclassName: MessageNotification\r\nSubscriberID: 0\r\neventType: %s\r\neventId: %s:%s:0-%s\r\naffectedComponents: \r\naffectedNodes: %s\r\ngeneratingComponent: cluster-demo\r\ngeneratingProcess: %s:%s\r\ngeneratingNode: %s\r\ninstanceName: \r\nLocalOnly: false\r\nnumberOfProperties: 0\r\nContent-Length: %s\r\nAddrList-Length: 0\r\n\r\n%s' \
            "$type" "$node" "$$" "$seq" "$affected" "$node" "$$" "$node" "${#body}" "$body" >&3
    done
    printf 'POST /stats HTTP/1.1\r\n\r\n' >&3
    IFS= read -r -t 10 line <&3 || { echo "no answer to the stats request" >&2; return 1; }
    exec 3>&-
}
show_on 1 "(by hand to port ${daemon_port[1]}) POST /event  eventType: demo/node3-only  affectedNodes: node3"
show_on 1 "(on the same connection) POST /event  eventType: demo/end  (the end marker, to every node)"
on_node 1 env LC_ALL=C bash -c "$(declare -f raw_publish); raw_publish \"\$@\"" raw_publish \
    "${daemon_port[1]}" node1 "$work/node1/home" \
    'demo/node3-only|node3|for node3 only' 'demo/end||end of the demo' ||
    fail "publishing by hand on node1 failed"

# -------------------------------------------------------------- what arrived

# What each node must have, and what it must not. node1 is where the
# events were published: its own subscriber has each of them from its own
# daemon, whatever they name as their nodes.
must[1]="demo/greeting demo/local demo/node3-only demo/end"
must[2]="demo/greeting demo/end"
must[3]="demo/greeting demo/node3-only demo/end"
must_not[1]=""
must_not[2]="demo/local demo/node3-only"
must_not[3]="demo/local"

step "wait for the end marker on every node"
wait_until 15 "the end marker did not reach every node" all_received demo/end "${nodes[@]}"
problems=()
for n in "${nodes[@]}"; do
    for type in ${must[$n]}; do
        # The marker came on the same path; anything that travelled another
        # way gets a moment more.
        tries=0
        until received "$n" "$type" || [ "$tries" -ge 30 ]; do sleep 0.1; tries=$((tries + 1)); done
        if ! received "$n" "$type"; then problems+=("$type did not reach node$n"); fi
    done
    for type in ${must_not[$n]}; do
        if received "$n" "$type"; then problems+=("$type reached node$n, where it must not"); fi
    done
done
stop_pids TERM "${sub_pids[@]}"
sub_pids=()
for n in "${nodes[@]}"; do
    show "cat node$n.txt    (what node$n's subscriber printed, less $(grep -c '^demo/probe ' "$work/node$n/sub.txt") probe line(s))"
    grep -v '^demo/probe ' "$work/node$n/sub.txt" || true
done
if [ "${#problems[@]}" -gt 0 ]; then
    for p in "${problems[@]}"; do echo "cluster-demo: $p" >&2; done
    fail "${#problems[@]} event(s) went wrong (above)"
fi
echo
echo "every node has what it must have and nothing it must not"

# -------------------------------------------------------------------- stats

# stat_at_least N NAME MIN: the counter NAME of node N's stats, shown
# above, is at least MIN.
stat_at_least() {
    local value
    value=$(awk -F': ' -v name="$2" '$1 == name { print $2 }' "$work/node$1/stats")
    case $value in
    '' | *[!0-9]*) fail "vavevar stats on node$1 has no counter $2" ;;
    esac
    [ "$value" -ge "$3" ] || fail "node$1's $2 is $value; it must be at least $3"
}

step "the cluster's counters"
for n in 1 3; do
    show_on "$n" "vavevar stats --port ${daemon_port[$n]} | grep '^cluster'"
    tool "$n" stats >"$work/node$n/stats" || fail "vavevar stats on node$n failed"
    grep '^cluster' "$work/node$n/stats" || fail "vavevar stats on node$n shows no cluster counters"
done
# node1 forwarded (at least) the greeting, the event for node3 and the
# marker, and node3 received them.
stat_at_least 1 clusterLinkUp 1
stat_at_least 1 clusterEventsForwarded 3
stat_at_least 3 clusterLinkUp 1
stat_at_least 3 clusterEventsReceived 3
# The JSON form lists the other nodes as one array, both alive.
tool 1 stats --format json >"$work/node1/stats.json" || fail "vavevar stats --format json on node1 failed"
python3 - "$work/node1/stats.json" <<'PY' || fail "node1's JSON stats do not list node2 and node3 as alive peers"
import json, sys
peers = json.load(open(sys.argv[1])).get("clusterPeers", [])
sys.exit(0 if sorted(p["node"] for p in peers if p["alive"]) == ["node2", "node3"] else 1)
PY

step "stop the daemons"
for n in "${nodes[@]}"; do kill -TERM "${daemon_pids[$n]}"; done
for n in "${nodes[@]}"; do
    status=0
    wait "${daemon_pids[$n]}" || status=$?
    [ "$status" -eq 0 ] || fail "vavevard node$n exited with status $status"
done
daemon_pids=()
echo
echo "cluster-demo: done"
