#!/usr/bin/env bash
# Benchmark (not a test) of guaranteed messages over a long round trip: how
# often each is sent before its acknowledgement can arrive.
#
# usage: bench/roundtrip.sh [-n PINGS] [-d DELAYS] LANPROBE
#   LANPROBE   the probe of the build to test (tests/net/probe/lanprobe.cpp)
#   -n PINGS   guaranteed messages, each answered before the next (default 40)
#   -d DELAYS  round trips added, ms, comma-separated (default 0,100,300)
#
# Three namespaces made and removed here: A (10.90.1.2) hosts with one probe,
# B (10.90.2.2) joins it by the address 10.90.2.1, where bench/relay.py in R
# (10.90.1.1, 10.90.2.1; no forwarding) passes the game's ports on to A with
# the delay. Once joined, B sends PINGS guaranteed messages, each answered by A
# with a guaranteed message before the next. Measured: the round trip the
# probe sees, and the datagrams B sent towards A per message: the message,
# its resends and B's acknowledgement of the answer; 2 when nothing is sent
# twice.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
pings=40
delays="0,100,300"
while getopts "n:d:" option; do
    case "$option" in
    n) pings="$OPTARG" ;;
    d) delays="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
probe="$(readlink -f "${1:?usage: bench/roundtrip.sh [-n PINGS] [-d DELAYS] LANPROBE}")"
((EUID == 0)) || { echo "roundtrip.sh: needs root for the network namespaces" >&2; exit 2; }

tag="vrt$$"
A=$tag-a B=$tag-b R=$tag-r
work="$(mktemp -d)"
cleanup() {
    kill $(jobs -p) 2>/dev/null
    wait 2>/dev/null
    for ns in $A $B $R; do ip netns del $ns 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
for ns in $A $B $R; do ip netns add $ns && ip -n $ns link set lo up; done
ip link add ra netns $R type veth peer name va netns $A
ip link add rb netns $R type veth peer name vb netns $B
ip -n $R addr add 10.90.1.1/24 dev ra && ip -n $R link set ra up
ip -n $R addr add 10.90.2.1/24 dev rb && ip -n $R link set rb up
ip -n $A addr add 10.90.1.2/24 dev va && ip -n $A link set va up
ip -n $B addr add 10.90.2.2/24 dev vb && ip -n $B link set vb up

# The datagrams the relay has passed from B towards A so far.
count_up() {
    rm -f "$work/counts"
    kill -USR1 "$relay"
    for _ in $(seq 50); do [[ -s "$work/counts" ]] && break; sleep 0.05; done
    sed -n 's/^up //p' "$work/counts"
}

guid=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
printf '%-8s %6s %10s %12s\n' delay_ms pings rtt_ms datagrams/msg
IFS=, read -ra list <<<"$delays"
for delay in "${list[@]}"; do
    ip netns exec $R python3 "$here/relay.py" 10.90.2.1 10.90.1.2 "$delay" 0 "$work/counts" &
    relay=$!
    sleep 0.5
    mkfifo "$work/a.in" "$work/b.in"
    ip netns exec $A "$probe" --guid "$guid" --address lan --player alice <"$work/a.in" >"$work/a.out" &
    exec {fa}>"$work/a.in"
    echo host >&$fa
    ip netns exec $B "$probe" --guid "$guid" --address 10.90.2.1 --player bob <"$work/b.in" >"$work/b.out" &
    exec {fb}>"$work/b.in"
    sleep 1
    echo join >&$fb
    for _ in $(seq 100); do grep -q '^player id=' "$work/b.out" && break; sleep 0.1; done
    sleep 2 # the join's own traffic settles
    up0=$(count_up)
    echo "ping $pings" >&$fb
    for _ in $(seq 600); do grep -q '^rtt ' "$work/b.out" && break; sleep 0.1; done
    up=$(($(count_up) - up0))
    median=$(sed -n 's/^rtt .*median_us=\([0-9-]*\).*/\1/p' "$work/b.out")
    printf '%-8s %6s %10s %12s\n' "$delay" "$pings" "$((median / 1000))" \
        "$(awk -v u="$up" -v n="$pings" 'BEGIN { printf "%.2f", u / n }')"
    echo quit >&$fa
    echo quit >&$fb
    exec {fa}>&- {fb}>&-
    kill -TERM $relay
    wait
    rm -f "$work/a.in" "$work/b.in" "$work/counts"
done
