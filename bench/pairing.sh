#!/usr/bin/env bash
# Benchmark (not a test) of pairing two real Quorin programs across a small LAN
# under chosen network conditions.
#
# usage: bench/pairing.sh [-n ROUNDS] [-c CONDITIONS] [-t SECONDS] [-o FOLDER] [BUILD_DIR]
#   BUILD_DIR      folder of the build to test: Quorin, Quorin-* and lib*.so are
#                  copied from it (default: build/bin)
#   -n ROUNDS      rounds per condition (default 6)
#   -c CONDITIONS  comma-separated, from the list below (default: all of them)
#   -t SECONDS     how long to wait for the first-move choice after the second
#                  press of "はじめる" (default 20)
#   -o FOLDER      where each round's screen traces and program output go, with a
#                  screenshot of each display when a round fails
#                  (default /tmp/veltroy-pairing.DATE)
#
# The LAN and its programs come from bench/lan-lib.sh: two host namespaces, A
# (10.77.9.1/24) and B (10.77.9.2/24), joined by a bridge in a third; all three
# are made and removed again for every round, so that no connection tracking or
# socket state carries over. Each host runs its own Xvfb (1280x1024) with
# openbox and one Quorin, started afresh from a copy of the build with a
# settings file naming the player (A "Ann", B "Ben"). Clicks come from xdotool;
# the screens are read by pairwatch (built here from pairwatch.cpp) every 100 ms.
#
# Conditions (nftables rules inside the host namespaces):
#   clean          no rules. A presses "はじめる" and, once its popup has come and
#                  gone and at least 4 s have passed, B presses.
#   loss           20 % of UDP packets dropped at random on both hosts, in and out.
#                  Press order as clean.
#   dropdiscovery  A drops incoming UDP to the discovery port 43517. Press order
#                  as clean.
#   together0      no rules; both press at once, or B 20 or 50 ms after A. Each
#   together20     mouse button is held down on "はじめる" ahead and the releases
#   together50     (the button acts on release) are timed; the offset achieved,
#                  from xdotool's answers right after each release, is reported.
#   firewall       both hosts as a desktop firewall: input dropped but for
#                  established traffic, loopback and UDP to 43517 and
#                  43518-43525. Press order as clean; once paired, B takes the
#                  first move and plays it, and A must show it.
#
# Figures per round: whether the choice popup ("先攻／後攻を決めてください", two
# buttons) reached both screens within the bound; the time from the second press
# to the choice on both and on each side; how a program that ended did (exit
# status) and whether any window of its own besides the main window (a message
# box) was on its screen first: an exit with none is "silent". Times come from
# screen samples 100 ms apart, so they are up to ~100 ms late. A round that
# fails, or in which a program ends, leaves a screenshot of each display.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
all_conditions="clean,loss,dropdiscovery,together0,together20,together50,firewall"

rounds=6
conditions="$all_conditions"
bound=20
out=""
while getopts "n:c:t:o:" option; do
    case "$option" in
    n) rounds="$OPTARG" ;;
    c) conditions="$OPTARG" ;;
    t) bound="$OPTARG" ;;
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
[[ "$bound" =~ ^[1-9][0-9]*$ ]] || die "-t wants whole seconds"
choose "$conditions" "$all_conditions"
lan_init pairing vpr "${1:-}"

# The condition's firewall rules, one table per host that has any.
apply_rules() {
    local h rules
    for h in a b; do
        rules=""
        case "$1" in
        loss)
            rules="chain input { type filter hook input priority 0; policy accept;
                       meta l4proto udp numgen random mod 100 < 20 drop; }
                   chain output { type filter hook output priority 0; policy accept;
                       meta l4proto udp numgen random mod 100 < 20 drop; }"
            ;;
        dropdiscovery)
            [[ "$h" == a ]] && rules="chain input { type filter hook input priority 0; policy accept;
                       udp dport 43517 drop; }"
            ;;
        firewall)
            rules="chain input { type filter hook input priority 0; policy drop;
                       ct state established,related accept;
                       iif lo accept;
                       udp dport { 43517, 43518-43525 } accept; }"
            ;;
        esac
        [[ -z "$rules" ]] && continue
        printf 'table inet bench {\n%s\n}\n' "$rules" | ip netns exec "${NS[$h]}" nft -f - || return 1
    done
}

# Whether both timed-click logs hold at least N lines.
lines_in() {
    (($(grep -c . "$rd/.out-a" 2>/dev/null) >= $1 && $(grep -c . "$rd/.out-b" 2>/dev/null) >= $1))
}

results="$out/results.tsv"
printf 'condition\tround\treached\tboth_ms\tAnn_ms\tBen_ms\toffset_ms\texits\tnotes\n' >"$results"
line_format='%-14s %5s  %-7s %7s %7s %7s %9s  %s  %s\n'
# report FIELDS...: one round, as a line here and a row of the results file.
report() { row "$results" "$line_format" "$@"; }
# One round: prints its line, appends it to the results.
run_round() {
    local cond="$1" n="$2"
    local notes=() h
    local reached=no both="-" offset="-" exits="" t1 t2 deadline
    declare -A ended=() code=()

    start_round "$out/$cond-$n" make_lan apply_rules "$cond"
    if ! start_hosts; then
        shot
        report "$cond" "$n" setup - - - - - "${notes[*]}"
        teardown
        return
    fi
    sleep 0.5

    local ax ay bx by
    read -r ax ay <<<"$(start_button a)"
    read -r bx by <<<"$(start_button b)"
    case "$cond" in
    together*)
        # Both presses are timed from here: each xdotool is started ahead and
        # reads its commands from a pipe, and holds the mouse button down on
        # "はじめる" already; the press that counts is the release (the button
        # acts on it), one line written at the right moment rather than a
        # process started then. The offset achieved is measured between the
        # answers to the location query that follows each release.
        # Raised priority for the timing (and the clickers started now): the
        # programs keep theirs.
        local lag=$((${cond#together} * 1000)) at ua ub fa fb
        renice -n -10 -p $$ >/dev/null
        xdo_start a "$rd/.in-a" "$rd/.out-a"
        fa="$xdo_fd"
        xdo_start b "$rd/.in-b" "$rd/.out-b"
        fb="$xdo_fd"
        echo "mousemove $ax $ay mousedown 1 getmouselocation" >&"$fa"
        echo "mousemove $bx $by mousedown 1 getmouselocation" >&"$fb"
        until_ms $(($(now_ms) + 5000)) lines_in 1 || notes+=("xdotool did not start")
        at=$((${EPOCHREALTIME//[.,]/} + 200000))
        sleep_until "$at"
        echo "mouseup 1 getmouselocation" >&"$fa"
        local wa="${EPOCHREALTIME//[.,]/}"
        sleep_until $((at + lag))
        echo "mouseup 1 getmouselocation" >&"$fb"
        echo "planned $at +$lag us; written $((wa - at)) $((${EPOCHREALTIME//[.,]/} - at)) us" >"$rd/timing.txt"
        exec {fa}>&- {fb}>&-
        renice -n 0 -p $$ >/dev/null
        until_ms $(($(now_ms) + 5000)) lines_in 2 || notes+=("a timed click did not end")
        ua="$(answered_us "$rd/.out-a")"
        ub="$(answered_us "$rd/.out-b")"
        offset="$(awk -v a="$ua" -v b="$ub" 'BEGIN { printf "%.1f", (b - a) / 1000 }')"
        t1=$(((ua < ub ? ua : ub) / 1000))
        t2=$(((ua > ub ? ua : ub) / 1000))
        ;;
    *)
        press_in_turn
        t1="$t_first"
        t2="$t_second"
        ;;
    esac

    # The choice on both screens, or the bound; ended programs are noted as they go.
    deadline=$((t2 + bound * 1000))
    local sa sb
    while :; do
        for h in a b; do
            if [[ -z "${ended[$h]:-}" ]] && ! alive "$h"; then
                ended[$h]="$(now_ms)"
                wait "${QPID[$h]}"
                code[$h]=$?
            fi
        done
        sa="$(first_popup a choice "$t1")"
        sb="$(first_popup b choice "$t1")"
        [[ -n "$sa" && -n "$sb" ]] && break
        [[ -n "${ended[a]:-}" && -n "${ended[b]:-}" ]] && break
        (($(now_ms) < deadline)) || break
        sleep 0.1
    done
    local ta="-" tb="-"
    [[ -n "$sa" ]] && ta=$((sa - t2))
    [[ -n "$sb" ]] && tb=$((sb - t2))
    if [[ -n "$sa" && -n "$sb" ]]; then
        reached=yes
        both=$(((sa > sb ? sa : sb) - t2))
    fi

    # Through the firewall the game must also go on: B moves first, A sees it.
    if [[ "$cond" == firewall && "$reached" == yes ]]; then
        local fx fy mx my tm
        read -r fx fy <<<"$(first_button)"
        click b "$fx" "$fy" >/dev/null
        if until_ms $(($(now_ms) + 15000)) both_popups_none; then
            read -r mx my <<<"$(square b 4 6)"
            tm="$(click b "$mx" "$my")"
            # Column 4, row 6: index (4 - 1) * 8 + (6 - 1) of the board string.
            if until_ms $((tm + 15000)) board_square_taken a 29; then
                notes+=("move shown on Ann after $(($(now_ms) - tm)) ms")
            else
                notes+=("MOVE NOT SHOWN on Ann")
                reached=nomove
            fi
        else
            notes+=("MOVE NOT PLAYED: a popup stayed after the choice")
            reached=nomove
        fi
    fi

    # A last look at both programs, then how those that ended had ended.
    for h in a b; do
        if [[ -z "${ended[$h]:-}" ]] && ! alive "$h"; then
            ended[$h]="$(now_ms)"
            wait "${QPID[$h]}"
            code[$h]=$?
        fi
    done
    local boxes
    for h in a b; do
        [[ -n "${ended[$h]:-}" ]] || continue
        boxes="$(boxes_seen "$h" "$t1" "${ended[$h]}")"
        exits+="${exits:+, }${NAME[$h]} $(exit_status "${code[$h]}") at $(seconds $((ended[$h] - t2)))"
        if [[ -n "$boxes" ]]; then
            exits+=" after box [$boxes]"
        else
            exits+=" SILENT"
        fi
    done
    if [[ "$reached" != yes ]]; then
        for h in a b; do
            if alive "$h"; then
                boxes="$(last_field "$h" 4)"
                [[ "$boxes" != - ]] && notes+=("${NAME[$h]} shows [${boxes//|/; }]")
                hosting "$h" && notes+=("${NAME[$h]} hosting")
                notes+=("${NAME[$h]} popup $(last_field "$h" 2)")
            fi
        done
    fi
    [[ "$reached" != yes || -n "$exits" ]] && shot
    report "$cond" "$n" "$reached" "$both" "$ta" "$tb" "$offset" "${exits:--}" "$(joined_notes)"
    teardown
}

echo "build: $build"
echo "results: $out"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)"
echo "$rounds rounds per condition; bound ${bound} s; times from the second press of はじめる,"
echo "sampled every 100 ms (up to ~100 ms late)"
echo
# shellcheck disable=SC2059
printf "$line_format" condition round reached both_ms Ann_ms Ben_ms offset_ms exits notes
for cond in "${chosen[@]}"; do
    for ((n = 1; n <= rounds; n++)); do
        run_round "$cond" "$n"
    done
done

echo
echo "summary (times from the second press to the choice on both screens, ms; ~100 ms resolution)"
summary_format='%-14s %-9s %-22s %-8s %-7s %-7s %-7s %s\n'
# shellcheck disable=SC2059
printf "$summary_format" condition reached "median (range) ms" max exits silent moves "press offset ms"
for cond in "${chosen[@]}"; do
    rows="$(awk -F'\t' -v c="$cond" 'NR > 1 && $1 == c' "$results")"
    total="$(grep -c . <<<"$rows")"
    # Paired: the choice on both screens ("nomove": paired, but the move did not show).
    paired="$(awk -F'\t' '$3 == "yes" || $3 == "nomove" { print $4 }' <<<"$rows")"
    ok="$(grep -c . <<<"$paired")"
    times="$(stats <<<"$paired")"
    max="$(sort -g <<<"$paired" | tail -n 1)"
    ended="$(awk -F'\t' '$8 != "-" { n += split($8, x, ", ") } END { print n + 0 }' <<<"$rows")"
    silent="$(grep -o 'SILENT' <<<"$rows" | grep -c .)"
    moves="-"
    [[ "$cond" == firewall ]] && moves="$(awk -F'\t' '$3 == "yes"' <<<"$rows" | grep -c .)/$ok"
    offsets="$(awk -F'\t' '$7 != "-" { print $7 }' <<<"$rows" | stats)"
    # shellcheck disable=SC2059
    printf "$summary_format" "$cond" "$ok/$total" "$times" "${max:--}" "$ended" "$silent" "$moves" \
        "$offsets"
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "per-round traces, program output and failure screenshots: $out"
