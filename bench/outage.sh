#!/usr/bin/env bash
# Benchmark (not a test) of how a game between two real Quorin programs on a
# small LAN lives through outages, a vanished opponent and packet loss.
#
# usage: bench/outage.sh [-n ROUNDS] [-c SCENARIOS] [-s SECONDS] [-o FOLDER] [BUILD_DIR]
#   BUILD_DIR      folder of the build to test: Quorin, Quorin-* and lib*.so are
#                  copied from it (default: build/bin)
#   -n ROUNDS      rounds per scenario (default 1); NAME:ROUNDS in -c overrides it
#   -c SCENARIOS   comma-separated, from the list below (default: all of them),
#                  e.g. "outage,kill:2,lossgame"
#   -s SECONDS     outage lengths, comma-separated (default 1,2.5,5,10,20)
#   -o FOLDER      where each round's screen traces, program output and figures
#                  go, with a screenshot of each display when a round goes wrong
#                  (default /tmp/veltroy-outage.DATE)
#
# Every round builds the LAN of bench/lan-lib.sh afresh (hosts A and B joined by
# a bridge, each with its own Xvfb, openbox and Quorin: A "Ann", B "Ben"),
# pairs the programs (A presses "はじめる" first and hosts, then B), and A takes
# "先攻" (red) while B is told. A then plays the first legal square in reading
# order (row by row, left to right) and B the last, which makes a whole game
# with passes; the squares are worked out here from the position the moves lead
# to. A move is clicked once its side's board shows the position, and clicked
# again if it did not take. Then, by scenario:
#   outage   for each length S: after one move each, B's port on the bridge goes
#            down; 0.5 s later A plays its move; after S s in all the port comes
#            up again. Measured: from the port's return until the move shows on
#            B's board; whether a leave notice (the popup with "OK": no other
#            notice can come in these openings) showed on either side from the
#            cut until 5 s after the return; and whether B's answer then shows
#            on A's board.
#   kill     after one move each, B's program is killed (SIGKILL); measured:
#            the time until A shows the leave notice.
#   lossgame once paired and sides chosen, 20 % of UDP is dropped at random on
#            both hosts, in and out (nftables), and a whole game is played to
#            its result; a pass notice is answered with "OK". Measured per
#            move: from the click until the move shows on the other board; and
#            whether both sides reached the result popup.
#   repair   after one move each, B's port is down for 40 s, then up; measured:
#            whether each side showed the leave notice, and the time from the
#            return until both show the first-move choice again by themselves
#            (a notice still open is answered with "OK"), within 30 s.
#   wakeups  after A's first move, with A waiting for B's move and B for its
#            player: wake-ups and CPU time of all threads of each program over
#            10 s (/proc/PID/task/*/schedstat).
# Times come from screen samples 100 ms apart, so they are up to ~100 ms late;
# a shown move includes the program's own 200 ms pause before it places an
# opponent's piece.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
all_scenarios="outage,kill,lossgame,repair,wakeups"

rounds=1
scenarios="$all_scenarios"
lengths="1,2.5,5,10,20"
out=""
while getopts "n:c:s:o:" option; do
    case "$option" in
    n) rounds="$OPTARG" ;;
    c) scenarios="$OPTARG" ;;
    s) lengths="$OPTARG" ;;
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
IFS=, read -r -a chosen <<<"$scenarios"
declare -A count=()
for c in "${chosen[@]}"; do
    name="${c%%:*}"
    [[ ",$all_scenarios," == *",$name,"* ]] || die "unknown scenario '$name' (known: $all_scenarios)"
    count[$name]="$rounds"
    if [[ "$c" == *:* ]]; then
        count[$name]="${c#*:}"
        [[ "${count[$name]}" =~ ^[1-9][0-9]*$ ]] || die "'$c' wants a positive count after the colon"
    fi
done
IFS=, read -r -a outages <<<"$lengths"
for s in "${outages[@]}"; do
    if ! [[ "$s" =~ ^[0-9]+(\.[0-9]+)?$ ]] || ! awk -v s="$s" 'BEGIN { exit !(s >= 0.6 && s <= 120) }'; then
        die "outage length '$s' is not between 0.6 and 120 s"
    fi
done
lan_init outage vou "${1:-}"

# ---- rounds ----

# begin_round SCENARIO N: a fresh LAN and programs, paired, A first, both boards
# at the start; fails with notes.
begin_round() {
    start_round "$out/$1-$2" make_lan
    killed=""
    start_hosts || return 1
    sleep 0.5
    press_in_turn
    if ! until_ms $((t_second + 20000)) both_popups_are choice; then
        notes+=("no first-move choice on both (Ann $(last_field a 2), Ben $(last_field b 2))")
        return 1
    fi
    take_first || return 1
    if ! start_board_shown a || [[ "$(last_field b 5)" != "$board" ]]; then
        notes+=("the boards do not show one starting position")
        return 1
    fi
}
# One move each: A's turn again afterwards.
opening() { move A 15000 && move B 15000; }

# notice_after HOST FROM_MS UNTIL_MS: "+N.N s" after FROM for the first notice
# shown in that span, or nothing.
notice_after() {
    local t
    t="$(first_popup "$1" notice "$2")"
    [[ -n "$t" ]] && (($3 == 0 || t <= $3)) && seconds $((t - $2))
}

outage_format='%-8s %5s %5s  %10s  %-28s %9s  %s\n'
outage_round() {
    local s="$1" n="$2"
    local ms
    ms="$(awk -v s="$s" 'BEGIN { printf "%d", s * 1000 }')"
    local notes=() shown="-" leave="-" answer="-" t_down t_up x y
    if begin_round "outage$s" "$n" && opening && prepare_move A; then
        sleep 0.5
        t_down="$(now_ms)"
        host_link b down
        click_move A $(((t_down + 500) * 1000))
        local took=$?
        sleep_until $(((t_down + ms) * 1000))
        host_link b up
        t_up="$(now_ms)"
        echo "cut $t_down, click ${mv_click:-none}, return $t_up" >"$rd/timing.txt"
        if ((took == 0)); then
            until_ms $((t_up + 30000)) taken_or_notice b "$mv_i"
            mv_shown="$(shown_at b "$mv_i" "$t_down")"
            [[ -n "$mv_shown" ]] && shown=$((mv_shown - t_up))
            # A leave notice may come late: watch 5 s past the return (and the move).
            sleep_until $(((t_up + 5000) * 1000))
            [[ -n "$mv_shown" ]] && sleep_until $(((mv_shown + 1000) * 1000))
            if [[ -z "$(first_popup a notice "$t_down")$(first_popup b notice "$t_down")" &&
                -n "$mv_shown" ]] && move B 15000; then
                answer=$((mv_shown - mv_click))
            else
                answer=no
            fi
        fi
        local la lb
        la="$(notice_after a "$t_down" 0)"
        lb="$(notice_after b "$t_down" 0)"
        if [[ -n "$la$lb" ]]; then
            leave="yes (${la:+Ann $la}${la:+${lb:+, }}${lb:+Ben $lb})"
        else
            leave=no
        fi
    fi
    end_round "$([[ "$shown" == - || "$leave" != no ]] && echo 1)"
    row "$out/outage.tsv" "$outage_format" outage "$s" "$n" "$shown" "$leave" "$answer" \
        "$(joined_notes)"
}

kill_format='%-8s %5s  %10s  %s\n'
kill_round() {
    local n="$1" notes=() told="-"
    if begin_round kill "$n" && opening; then
        sleep 1
        if [[ "$(cat "/proc/${QPID[b]}/comm" 2>/dev/null)" != Quorin ]]; then
            notes+=("Ben's process is not Quorin")
        else
            kill -KILL "${QPID[b]}"
            local t_kill
            t_kill="$(now_ms)"
            killed=b
            wait "${QPID[b]}" 2>/dev/null
            if until_ms $((t_kill + 60000)) popup_is a notice; then
                told=$(($(first_popup a notice "$t_kill") - t_kill))
            else
                told="none in 60 s"
            fi
        fi
    fi
    end_round "$([[ "$told" =~ ^[0-9]+$ ]] || echo 1)"
    row "$out/kill.tsv" "$kill_format" kill "$n" "$told" "$(joined_notes)"
}

loss_rules() {
    local h
    for h in a b; do
        printf 'table inet bench {
            chain input { type filter hook input priority 0; policy accept;
                meta l4proto udp numgen random mod 100 < 20 drop; }
            chain output { type filter hook output priority 0; policy accept;
                meta l4proto udp numgen random mod 100 < 20 drop; }
        }\n' | ip netns exec "${NS[$h]}" nft -f - || return 1
    done
}
loss_format='%-8s %5s  %5s %6s  %9s %9s  %-9s %-9s  %s\n'
lossgame_round() {
    local n="$1" notes=() moves=0 passes=0 median="-" slowest="-" ra=no rb=no
    local t_end log="$out/lossgame-$n-moves.tsv"
    moves_log "$log"
    if begin_round lossgame "$n"; then
        if ! loss_rules; then
            notes+=("cannot switch the loss on")
        else
            local ok=1
            play 0 30000 "$log" $(($(now_ms) + 1200000)) || ok=0
            t_end="$(now_ms)"
            if ((ok)); then
                until_ms $((t_end + 30000)) both_popups_are choice
                [[ -n "$(first_popup a choice "$mv_click")" ]] && ra=yes
                [[ -n "$(first_popup b choice "$mv_click")" ]] && rb=yes
            fi
            local delays
            delays="$(awk -F'\t' 'NR > 1 { print $7 }' "$log")"
            median="$(stats <<<"$delays" | cut -d' ' -f1)"
            slowest="$(sort -g <<<"$delays" | tail -n 1)"
        fi
    fi
    end_round "$([[ "$ra$rb" == yesyes ]] || echo 1)"
    row "$out/lossgame.tsv" "$loss_format" lossgame "$n" "$moves" "$passes" "$median" \
        "${slowest:--}" "$ra" "$rb" "$(joined_notes)"
}

repair_format='%-8s %5s  %-10s %-10s  %9s %9s %9s  %s\n'
repair_round() {
    local n="$1" notes=() la="-" lb="-" ca="-" cb="-" both="-"
    if begin_round repair "$n" && opening; then
        sleep 1
        local t_down t_up h x y
        t_down="$(now_ms)"
        host_link b down
        sleep_until $(((t_down + 40000) * 1000))
        host_link b up
        t_up="$(now_ms)"
        la="$(notice_after a "$t_down" "$t_up")"
        lb="$(notice_after b "$t_down" "$t_up")"
        la="${la:-no}"
        lb="${lb:-no}"
        read -r x y <<<"$(ok_button)"
        declare -A answered=()
        while (($(now_ms) < t_up + 30000)); do
            [[ -n "$(first_popup a choice "$t_up")" && -n "$(first_popup b choice "$t_up")" ]] && break
            for h in a b; do
                if [[ -z "${answered[$h]:-}" ]] && popup_is "$h" notice; then
                    click "$h" "$x" "$y" >/dev/null
                    answered[$h]=1
                    notes+=("${NAME[$h]}'s notice answered at $(seconds $(($(now_ms) - t_up)))")
                fi
            done
            sleep 0.1
        done
        local sa sb
        sa="$(first_popup a choice "$t_up")"
        sb="$(first_popup b choice "$t_up")"
        [[ -n "$sa" ]] && ca=$((sa - t_up))
        [[ -n "$sb" ]] && cb=$((sb - t_up))
        if [[ -n "$sa" && -n "$sb" ]]; then
            both=$(((sa > sb ? sa : sb) - t_up))
        else
            both="no"
            for h in a b; do
                alive "$h" || continue
                notes+=("${NAME[$h]} at the end: popup $(last_field "$h" 2)$(hosting "$h" && echo ", hosting")")
            done
        fi
    fi
    end_round "$([[ "$both" =~ ^[0-9]+$ ]] || echo 1)"
    row "$out/repair.tsv" "$repair_format" repair "$n" "$la" "$lb" "$ca" "$cb" "$both" \
        "$(joined_notes)"
}

# The sum over all threads of field F of schedstat: 1 CPU ns, 2 wait ns, 3 timeslices.
schedsum() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk -v f="$2" '{ s += $f } END { printf "%d\n", s }'
}
wakeups_format='%-8s %5s  %12s %12s  %12s %12s  %s\n'
wakeups_round() {
    local n="$1" notes=() wa="-" ca="-" wb="-" cb="-"
    if begin_round wakeups "$n" && move A 15000; then
        sleep 3
        local h cpu0 wake0 cpu1 wake1
        declare -A c0 w0
        for h in a b; do
            c0[$h]="$(schedsum "${QPID[$h]}" 1)"
            w0[$h]="$(schedsum "${QPID[$h]}" 3)"
        done
        sleep 10
        for h in a b; do
            cpu1="$(schedsum "${QPID[$h]}" 1)"
            wake1="$(schedsum "${QPID[$h]}" 3)"
            cpu0="${c0[$h]}"
            wake0="${w0[$h]}"
            if [[ "$h" == a ]]; then
                wa="$(awk -v d=$((wake1 - wake0)) 'BEGIN { printf "%.1f", d / 10 }')"
                ca="$(awk -v d=$((cpu1 - cpu0)) 'BEGIN { printf "%.2f", d / 1e7 }')"
            else
                wb="$(awk -v d=$((wake1 - wake0)) 'BEGIN { printf "%.1f", d / 10 }')"
                cb="$(awk -v d=$((cpu1 - cpu0)) 'BEGIN { printf "%.2f", d / 1e7 }')"
            fi
        done
        popup_is a none && popup_is b none || notes+=("a popup came while measuring")
    fi
    end_round "$([[ "$wa" != - ]] || echo 1)"
    row "$out/wakeups.tsv" "$wakeups_format" wakeups "$n" "$wa" "$ca" "$wb" "$cb" "$(joined_notes)"
}

echo "build: $build"
echo "results: $out"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)"
echo "screens sampled every 100 ms: times are up to ~100 ms late"
for c in "${chosen[@]}"; do
    name="${c%%:*}"
    echo
    case "$name" in
    outage)
        echo "outage: B's link down S s, A moves 0.5 s into it; ms from the link's return until"
        echo "the move shows on B; leave notices from the cut on (time after the cut); ms for"
        echo "B's answer to show on A afterwards"
        printf 'scenario\tS\tround\tshown_after_return_ms\tleave_notice\tanswer_ms\tnotes\n' \
            >"$out/outage.tsv"
        # shellcheck disable=SC2059
        printf "$outage_format" scenario S round return_ms "leave notice" answer_ms notes
        for s in "${outages[@]}"; do
            for ((n = 1; n <= count[$name]; n++)); do outage_round "$s" "$n"; done
        done
        ;;
    kill)
        echo "kill: B killed with SIGKILL mid-game; ms until A shows the leave notice"
        printf 'scenario\tround\tnotice_ms\tnotes\n' >"$out/kill.tsv"
        # shellcheck disable=SC2059
        printf "$kill_format" scenario round notice_ms notes
        for ((n = 1; n <= count[$name]; n++)); do kill_round "$n"; done
        ;;
    lossgame)
        echo "lossgame: 20 % UDP loss both ways on both hosts, a whole game; per move, ms from"
        echo "the click until it shows on the other board; result popup on each side"
        printf 'scenario\tround\tmoves\tpasses\tmedian_ms\tslowest_ms\tresult_Ann\tresult_Ben\tnotes\n' \
            >"$out/lossgame.tsv"
        # shellcheck disable=SC2059
        printf "$loss_format" scenario round moves passes median_ms slowest_ms result_Ann \
            result_Ben notes
        for ((n = 1; n <= count[$name]; n++)); do lossgame_round "$n"; done
        ;;
    repair)
        echo "repair: B's link down 40 s; leave notice on each side (time after the cut); ms from"
        echo "the link's return until each side, and both, show the first-move choice again"
        printf 'scenario\tround\tleave_Ann\tleave_Ben\tchoice_Ann_ms\tchoice_Ben_ms\tboth_ms\tnotes\n' \
            >"$out/repair.tsv"
        # shellcheck disable=SC2059
        printf "$repair_format" scenario round leave_Ann leave_Ben choice_Ann choice_Ben both_ms notes
        for ((n = 1; n <= count[$name]; n++)); do repair_round "$n"; done
        ;;
    wakeups)
        echo "wakeups: over 10 s mid-game, A waiting for B's move, B for its player; per second"
        printf 'scenario\tround\tAnn_wakeups_per_s\tAnn_cpu_ms_per_s\tBen_wakeups_per_s\tBen_cpu_ms_per_s\tnotes\n' \
            >"$out/wakeups.tsv"
        # shellcheck disable=SC2059
        printf "$wakeups_format" scenario round Ann_wakeups/s Ann_cpu_ms/s Ben_wakeups/s \
            Ben_cpu_ms/s notes
        for ((n = 1; n <= count[$name]; n++)); do wakeups_round "$n"; done
        ;;
    esac
done

# ---- summary ----
echo
echo "summary (ms; screens sampled every 100 ms, so ~100 ms resolution)"
for c in "${chosen[@]}"; do
    name="${c%%:*}"
    file="$out/$name.tsv"
    case "$name" in
    outage)
        for s in "${outages[@]}"; do
            rows="$(awk -F'\t' -v s="$s" 'NR > 1 && $2 == s' "$file")"
            total="$(grep -c . <<<"$rows")"
            shown="$(awk -F'\t' '$4 ~ /^-?[0-9]+$/ { print $4 }' <<<"$rows")"
            left="$(awk -F'\t' '$5 ~ /^yes/' <<<"$rows" | grep -c .)"
            replied="$(awk -F'\t' '$6 ~ /^[0-9]+$/' <<<"$rows" | grep -c .)"
            printf '%-9s %-6s move after return %-20s shown %s/%s  leave notice %s/%s  answer reached A %s/%s\n' \
                outage "${s}s" "$(stats <<<"$shown")" "$(grep -c . <<<"$shown")" "$total" \
                "$left" "$total" "$replied" "$total"
        done
        ;;
    kill)
        told="$(awk -F'\t' 'NR > 1 && $3 ~ /^[0-9]+$/ { print $3 }' "$file")"
        total="$(awk 'NR > 1' "$file" | grep -c .)"
        printf '%-9s %-6s leave notice on A after %-20s noticed %s/%s\n' kill "" \
            "$(stats <<<"$told")" "$(grep -c . <<<"$told")" "$total"
        ;;
    lossgame)
        delays="$(for f in "$out"/lossgame-*-moves.tsv; do awk -F'\t' 'NR > 1 { print $7 }' "$f"; done)"
        total="$(awk 'NR > 1' "$file" | grep -c .)"
        done_both="$(awk -F'\t' 'NR > 1 && $7 == "yes" && $8 == "yes"' "$file" | grep -c .)"
        printf '%-9s %-6s moves %s, click to other board %s, slowest %s; result on both %s/%s\n' \
            lossgame "" "$(grep -c . <<<"$delays")" "$(stats <<<"$delays")" \
            "$(sort -g <<<"$delays" | tail -n 1)" "$done_both" "$total"
        ;;
    repair)
        total="$(awk 'NR > 1' "$file" | grep -c .)"
        both_left="$(awk -F'\t' 'NR > 1 && $3 ~ /s$/ && $4 ~ /s$/' "$file" | grep -c .)"
        again="$(awk -F'\t' 'NR > 1 && $7 ~ /^[0-9]+$/ { print $7 }' "$file")"
        printf '%-9s %-6s leave notice on both %s/%s; choice again on both %s/%s after %s\n' \
            repair "" "$both_left" "$total" "$(grep -c . <<<"$again")" "$total" "$(stats <<<"$again")"
        ;;
    wakeups)
        printf '%-9s %-6s Ann (waiting for the move) %s wake-ups/s, %s CPU ms/s; Ben (to move) %s wake-ups/s, %s CPU ms/s\n' \
            wakeups "" "$(awk -F'\t' 'NR > 1 && $3 != "-" { print $3 }' "$file" | stats)" \
            "$(awk -F'\t' 'NR > 1 && $4 != "-" { print $4 }' "$file" | stats)" \
            "$(awk -F'\t' 'NR > 1 && $5 != "-" { print $5 }' "$file" | stats)" \
            "$(awk -F'\t' 'NR > 1 && $6 != "-" { print $6 }' "$file" | stats)"
        ;;
    esac
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "per-round traces, program output, move logs and screenshots: $out"
