#!/usr/bin/env bash
# Benchmark (not a test) of what a stranger who joins a waiting Quorin and
# sends it the longest messages it can, or chat lines as fast as it can, costs
# that program: whether its window still answers, and its memory.
#
# usage: bench/flood.sh [-o FOLDER] PROBE [BUILD_DIR]
#   PROBE      the lanprobe that joins and sends (tests/net/probe/lanprobe.cpp;
#              one built from an older transport sends messages that the
#              current one refuses to send)
#   BUILD_DIR  folder of the build to test (default: build/bin)
#   -o FOLDER  where each round's screen trace, program output and figures go
#              (default /tmp/veltroy-flood.DATE)
#
# Every round makes host A of bench/lan-lib.sh afresh (its own namespace,
# Xvfb, openbox and Quorin "Ann"); A presses "はじめる" and waits, and the probe,
# started in A's namespace, joins A's session and, 3 s later, sends (guaranteed,
# as fast as it can) by scenario:
#   chat4k     300 chat lines ("CHAT  ") of 4000 letters
#   chat200k   3 chat lines of 200,000 letters
#   chat1m     3 chat lines of 1,048,576 letters
#   name1m     3 names ("NAME  ") of 1,048,576 letters
#   quiet      nothing (the yardstick)
# Measured: 1 s and 5 s after the sending began, A's main window is minimised
# and, 0.3 s later, restored (openbox unmaps and maps it), and the time from
# the restore until its board is drawn again is taken from the screen samples
# (100 ms apart; "-": not within 5 s, the window did not answer); A's resident
# memory before the sending and 15 s after it began; whether A's program still
# runs.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
out=""
while getopts "o:" option; do
    case "$option" in
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
probe="$(readlink -f "${1:?usage: bench/flood.sh [-o FOLDER] PROBE [BUILD_DIR]}")"
shift
[[ -x "$probe" ]] || { echo "flood.sh: no probe at $probe" >&2; exit 2; }

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
HOSTS=(a)
lan_init flood vfl "${1:-}"

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/${QPID[a]}/status" 2>/dev/null || echo -; }
# The board's field of the last screen sample.
board_now() { last_field a 5; }
# repaint_ms: minimises and restores A's main window; prints the ms until a
# sample shows the board as before, or "-" when none does within 5 s.
repaint_ms() {
    local before t found id w
    before="$(board_now)"
    # The main window: the largest visible one of the program's title.
    id="$(for w in $(on a xdotool search --onlyvisible --name '^Veltroy$' 2>/dev/null); do
        on a xwininfo -id "$w" | awk -v w="$w" '/Width:/ { x = $2 } /Height:/ { print x * $2, w }'
    done | sort -n | tail -1 | cut -d' ' -f2)"
    on a xdotool windowminimize --sync "$id" >/dev/null 2>&1
    sleep 0.3
    on a xdotool windowactivate --sync "$id" >/dev/null 2>&1
    t="$(now_ms)"
    sleep 5
    found="$(awk -F'\t' -v t="$t" -v b="$before" '$1 > t && $5 != b { gone = 1 }
        $1 > t && gone && $5 == b { print $1; exit }' "$rd/screen-a.tsv")"
    if [[ -n "$found" ]]; then
        echo $((found - t))
    elif [[ "$(board_now)" == "$before" ]]; then
        echo "<100" # drawn again before the next sample
    else
        echo -
    fi
}

format='%-9s %10s %10s %10s %10s %-6s %s\n'
printf "$format" scenario repaint_1s repaint_5s rss_kb rss_15s_kb alive notes | tee "$out/flood.txt"
for scenario in quiet:chat:0:0 chat4k:chat:4000:300 chat200k:chat:200000:3 chat1m:chat:1048576:3 \
    name1m:name:1048576:3; do
    IFS=: read -r name command size count <<<"$scenario"
    notes=()
    start_round "$out/$name" make_lan
    if ! start_hosts; then
        end_round 1
        continue
    fi
    sleep 0.5
    host_alone
    mkfifo "$rd/probe.in"
    on a "$probe" --guid 6BBC35C2-9331-43B2-8666-666666666666 --address lan --player Mallory \
        <"$rd/probe.in" >"$rd/probe.out" 2>&1 &
    exec {probe_fd}>"$rd/probe.in"
    echo join >&"$probe_fd"
    until_ms $(($(now_ms) + 10000)) grep -q '^player id=' "$rd/probe.out" ||
        notes+=("the probe did not join")
    sleep 3
    rss0="$(rss_kb)"
    t0="$(now_ms)"
    echo "text $command $size $count" >&"$probe_fd"
    sleep 1
    r1="$(repaint_ms)"
    r5="$(repaint_ms)"
    until_ms $((t0 + 15000)) false
    rss15="$(rss_kb)"
    alive a && up=yes || up=no
    notes+=("probe: $(grep -E '^sent' "$rd/probe.out" | head -1)")
    echo quit >&"$probe_fd"
    exec {probe_fd}>&-
    printf "$format" "$name" "$r1" "$r5" "$rss0" "$rss15" "$up" "$(joined_notes)" | tee -a "$out/flood.txt"
    end_round 0 1
done
echo "per-round traces and program output: $out"
