# The probes of the namespace tests, sourced by them: each probe reads
# commands from a fifo and writes its lines to $WORK/NAME.out. The sourcing
# script sets PROBE, WORK and GUID and declares the arrays FD and PID; LOSS,
# when set, holds more options for the probes it starts.

fail() { echo "FAIL: $*"; for f in "$WORK"/*.out; do echo "--- $f"; tail -8 "$f"; done; exit 1; }

# start NAME NAMESPACE PLAYER [ADDRESS]: a probe searching the local network
# or asking ADDRESS.
start() {
    rm -f "$WORK/$1.in" "$WORK/$1.out"
    mkfifo "$WORK/$1.in"
    ip netns exec $2 "$PROBE" --guid $GUID --address ${4:-lan} --player $3 ${LOSS:-} < "$WORK/$1.in" > "$WORK/$1.out" 2>&1 &
    PID[$1]=$!
    exec {fd}> "$WORK/$1.in"
    FD[$1]=$fd
}
say() { echo "$2" >&"${FD[$1]}"; }
# await NAME REGEX SECONDS: waits until the output (a probe's, a daemon's) has a matching line.
await() {
    local deadline=$((SECONDS + $3))
    until grep -Eq "$2" "$WORK/$1.out" 2> /dev/null; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.05
    done
}
now_ms() { date +%s%3N; }
