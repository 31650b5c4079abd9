#!/usr/bin/env bash
# Benchmark (not a test) of the wait for a friend on the internet
# ("インターネットの相手を待つ...") between two real Quorin programs in two
# homes: the host's router asked to forward the game's ports, the friend
# joining the router's address, a whole game across, and no forwarding left.
#
# usage: bench/internet.sh [-n ROUNDS] [-c CONDITIONS] [-o FOLDER] [BUILD_DIR]
#   BUILD_DIR      folder of the build to test: Quorin, Quorin-* and lib*.so are
#                  copied from it (default: build/bin)
#   -n ROUNDS      rounds per condition (default 1)
#   -c CONDITIONS  comma-separated, from direct, delay, norouter (default: all)
#   -o FOLDER      where each round's screen traces, program output, log
#                  panels, router log and screenshots go (default
#                  /tmp/veltroy-internet.DATE)
#
# Every round builds the homes of bench/lan-lib.sh (make_internet) afresh: A
# ("Ann", 192.168.77.2) behind a router whose WAN address is 45.67.89.1, B
# ("Ben", 192.168.88.2) behind another (52.10.20.1), a namespace routing
# between the two as the internet; each host with its own Xvfb, openbox and
# Quorin.
#   direct    A's router runs miniupnpd (UPnP IGD and NAT-PMP; its
#             configuration and time-stamped output go to the round's folder).
#             A opens ファイル → "インターネットの相手を待つ..."; its log panel
#             is read until it has "インターネットの相手に伝えるアドレス: X".
#             Measured from the click: when miniupnpd logged the forwarding of
#             the last port, and the first read of the line (the panel is read
#             only once the waiting popup has gone, ~3 s after the click). B
#             opens "アドレスを指定してはじめる...", types X and presses
#             Return; measured from that OK: the first-move choice on each
#             screen. A takes "先攻" and the game is played to its result on
#             both screens (A the first legal square in reading order, B the
#             last); both log panels are read every 20 moves and A's at the
#             end, and none may say "相手との通信が途切れています". B answers
#             the result with "おわる" (its program ends), A answers the
#             leave notice with "OK" and must wait again (no popup, "待機中"
#             in its log after the pairing, its discovery port open). The router's
#             forwardings are listed then and once A is closed through
#             ファイル → "おわる..." → "はい".
#   delay     as direct, with B's way to 45.67.89.1 through bench/relay.py in
#             the internet namespace: a DNAT rule there hands B's datagrams to
#             the game's ports to the relay, which adds a 300 ms round trip and
#             drops 3 % each way (its answers go back to B from 45.67.89.1).
#   norouter  no miniupnpd: A's log must get a line with "UDP 43517〜43525"
#             (measured from the click) and A must wait as above.
# Screens are read every 100 ms (pairwatch) and log panels through the
# clipboard (logread), about every 0.5 s while waiting for a line.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
all_conditions="direct,delay,norouter"
rounds=1
conditions="$all_conditions"
out=""
while getopts "n:c:o:" option; do
    case "$option" in
    n) rounds="$OPTARG" ;;
    c) conditions="$OPTARG" ;;
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
choose "$conditions" "$all_conditions"
PATH="$PATH:/usr/sbin"
for tool in miniupnpd python3; do
    command -v "$tool" >/dev/null || die "$tool is missing (miniupnpd-nftables, python3)"
done
lan_init internet vin "${1:-}"
g++ -O2 -std=c++20 "$here/logread.cpp" -lX11 -o "$work/logread" || die "cannot build logread"

# ---- the routers ----

# routers CONDITION: miniupnpd on A's router (direct, delay) and the relay on
# B's way (delay), once make_internet has built the homes.
routers() {
    [[ "$1" == norouter ]] && return 0
    cat >"$rd/miniupnpd.conf" <<EOF
ext_ifname=${tag}wa
listening_ip=${tag}pa
enable_upnp=yes
enable_natpmp=yes
secure_mode=no
lease_file=$rd/miniupnpd.leases
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    ip netns exec "${NS[ra]}" miniupnpd -d -f "$rd/miniupnpd.conf" -P "$rd/miniupnpd.pid" 2>&1 |
        stamp >"$rd/miniupnpd.log" &
    until_ms $(($(now_ms) + 5000)) grep -q 'Listening for NAT-PMP' "$rd/miniupnpd.log" || return 1
    [[ "$1" == delay ]] || return 0
    ip netns exec "${NS[net]}" nft -f - <<EOF || return 1
table ip relay {
    chain prerouting { type nat hook prerouting priority -100; policy accept;
        iifname "${tag}nb" ip daddr $INET_WAN udp dport 43517-43525 dnat to 52.10.20.254; }
}
EOF
    ip netns exec "${NS[net]}" python3 "$here/relay.py" 52.10.20.254 "$INET_WAN" 300 3 "$rd/relay-counts" &
    sleep 0.5
}
# The ports A's router forwards, "43517,43518", or "none".
forwarded_ports() {
    local ports
    ports="$(ip netns exec "${NS[ra]}" nft list chain inet filter prerouting_miniupnpd 2>/dev/null |
        sed -n 's/.* dport \([0-9]*\) dnat .*/\1/p' | sort -n | paste -sd, -)"
    echo "${ports:-none}"
}
no_forwarding() { [[ "$(forwarded_ports)" == none ]]; }
# The time (ms) miniupnpd logged the last forwarding to A since FROM_MS, or nothing.
router_forwarded_at() {
    awk -v t="$1" '$1 >= t * 1000 && /AddPortMapping: ext port [0-9]+ to 192\.168\.77\.2:/ { last = $1 }
        END { if (last) print substr(last, 1, length(last) - 3) }' "$rd/miniupnpd.log" 2>/dev/null
}

# ---- the hosts ----

# internet_wait: A opens ファイル → "インターネットの相手を待つ..." and its
# waiting popup comes (the menu tried again as in open_dialog); t_click is the
# end of the click.
internet_wait() {
    for _ in 1 2 3; do
        menu_item a 3
        t_click="$(now_ms)"
        until_ms $((t_click + 3000)) popup_is_not a none && return 0
        on a xdotool key Escape >/dev/null 2>&1
        sleep 0.5
    done
    notes+=("no waiting popup on Ann")
    return 1
}
# await_log HOST REGEX FROM_MS BOUND_MS: reads the host's log panel, whenever no
# popup is over it, until a line matches; log_line is that line, log_at the
# start of the read that had it, in ms since FROM_MS. Fails at the bound.
await_log() {
    local text t
    log_line=""
    log_at=""
    while (($(now_ms) < $3 + $4)); do
        t="$(now_ms)"
        if popup_is "$1" none && text="$(log_text "$1")"; then
            log_line="$(grep -E -m 1 "$2" <<<"$text")"
            if [[ -n "$log_line" ]]; then
                log_at=$((t - $3))
                return 0
            fi
        fi
        sleep 0.2
    done
    return 1
}
silence_notice='相手との通信が途切れています'
# read_logs TAG HOST...: saves each host's log panel as log-NAME-TAG.txt and
# adds the hosts whose log has the silence notice to `silent`.
read_logs() {
    local tag_="$1" h text
    shift
    for h in "$@"; do
        text="$(log_text "$h")" || { notes+=("${NAME[$h]}'s log unread ($tag_)"); continue; }
        printf '%s\n' "$text" >"$rd/log-${NAME[$h]}-$tag_.txt"
        grep -q "$silence_notice" <<<"$text" && [[ " $silent " != *" ${NAME[$h]} "* ]] && silent+=" ${NAME[$h]}"
    done
}
# waits_again: A shows no popup, its log says "待機中" after its last pairing
# ("NAMEさんとはじめます") and it holds the discovery port.
waits_again() {
    local text
    popup_is a none && text="$(log_text a)" || return 1
    printf '%s\n' "$text" >"$rd/log-Ann-waiting.txt"
    grep -q "$silence_notice" <<<"$text" && [[ " $silent " != *" Ann "* ]] && silent+=" Ann"
    awk '/^待機中$/ { w = NR } /さんとはじめます$/ { p = NR } END { exit !(w > p) }' <<<"$text" && hosting a
}
gone() { ! alive "$1"; }
# close_host HOST: ファイル → "おわる..." and "はい" (Return); the program must end.
close_host() {
    menu_item "$1" 5
    until_ms $(($(now_ms) + 5000)) box_shown "$1" 確認 || return 1
    on "$1" xdotool key Return >/dev/null 2>&1
    until_ms $(($(now_ms) + 10000)) gone "$1" || return 1
    wait "${QPID[$1]}"
    QPID[$1]=""
}

# ---- rounds ----

since() { [[ -n "$1" ]] && echo $(($1 - $2)) || echo -; }
format='%-9s %5s  %9s %8s  %10s %10s  %-26s %-8s %-11s %-11s %s\n'
round() {
    local cond="$1" n="$2" notes=() silent="" forwarded="-" line="-" cb="" ca="" ok_ms=""
    local game="-" leave="-" closed="-" failed=1 x t
    start_round "$out/$cond-$n" make_internet routers "$cond"
    if start_hosts && sleep 0.5 && internet_wait; then
        if [[ "$cond" == norouter ]]; then
            if await_log a 'UDP 43517〜43525' "$t_click" 20000; then
                line="$log_at"
                notes+=("Ann: $log_line")
                sleep 1
                if waits_again; then failed=0; else notes+=("Ann not waiting (popup $(last_field a 2))"); fi
            else
                notes+=("no line with UDP 43517〜43525 in Ann's log")
            fi
        elif await_log a '^インターネットの相手に伝えるアドレス: ' "$t_click" 20000; then
            line="$log_at"
            forwarded="$(since "$(router_forwarded_at "$t_click")" "$t_click")"
            x="${log_line##*: }"
            [[ "$x" == "$INET_WAN" ]] || notes+=("address $x, not $INET_WAN")
            notes+=("forwarded while waiting: $(forwarded_ports)")
            if open_dialog b; then
                confirm b "$x"
                until_ms $((ok_ms + 30000)) both_popups_are choice
                cb="$(first_popup b choice "$ok_ms")"
                ca="$(first_popup a choice "$ok_ms")"
            fi
            if [[ -n "$ca" && -n "$cb" ]] && take_first; then
                local side=A total=0 passed=0 played=1
                moves_log "$rd/moves.tsv"
                while [[ -n "$side" ]]; do
                    play 20 15000 "$rd/moves.tsv" 0 "$side" || played=0
                    total=$((total + moves))
                    passed=$((passed + passes))
                    ((played)) || break
                    side="$play_side"
                    [[ -n "$side" ]] && read_logs "move$total" a b
                done
                game="$total moves"
                ((passed)) && game+=", $passed passes"
                notes+=("click to other board $(awk -F'\t' 'NR > 1 { print $7 }' "$rd/moves.tsv" | stats) ms")
                if ((!played)); then
                    game+=" STOPPED"
                elif until_ms $(($(now_ms) + 15000)) both_popups_are choice; then
                    game+=", result on both"
                    # B ends with "おわる"; A answers the leave notice.
                    read -r t x <<<"$(third_button)"
                    click b "$t" "$x" >/dev/null
                    if until_ms $(($(now_ms) + 10000)) gone b; then
                        wait "${QPID[b]}"
                        QPID[b]=""
                        until_ms $(($(now_ms) + 15000)) popup_is a notice || notes+=("no leave notice on Ann")
                        read -r t x <<<"$(ok_button)"
                        click a "$t" "$x" >/dev/null
                        until_ms $(($(now_ms) + 5000)) popup_is a none
                        sleep 1
                        if waits_again; then failed=0; else notes+=("Ann not waiting after Ben left"); fi
                        until_ms $(($(now_ms) + 5000)) no_forwarding
                        leave="$(forwarded_ports)"
                    else
                        notes+=("Ben did not end on おわる")
                    fi
                else
                    game+=", RESULT MISSING"
                fi
            fi
            [[ -n "$ca" && -n "$cb" ]] || notes+=("no choice on both (Ann $(last_field a 2), Ben $(last_field b 2))")
        else
            notes+=("no address line in Ann's log")
        fi
        [[ -n "$silent" ]] && { notes+=("SILENCE NOTICE:$silent"); failed=1; }
        for x in a b; do
            t="$(boxes_seen "$x" "$t_round" "$(now_ms)")"
            [[ -n "$t" ]] && { notes+=("${NAME[$x]} showed [$t]"); failed=1; }
        done
        if [[ "$cond" != norouter ]] && alive a; then
            if close_host a; then
                until_ms $(($(now_ms) + 3000)) no_forwarding
                closed="$(forwarded_ports)"
            else
                notes+=("Ann did not close")
            fi
        fi
        [[ "$leave" == none || "$cond" == norouter ]] || failed=1
        [[ "$closed" == none || "$cond" == norouter ]] || failed=1
    fi
    end_round "$failed" 1
    row "$out/internet.tsv" "$format" "$cond" "$n" "$forwarded" "$line" "$(since "$cb" "${ok_ms:-0}")" \
        "$(since "$ca" "${ok_ms:-0}")" "$game" "${silent:-none}" "$leave" "$closed" "$(joined_notes)"
}

echo "build: $build"
echo "results: $out"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)"
echo "homes: Ann 192.168.77.2 | router 192.168.77.1, WAN 45.67.89.1 | internet | WAN 52.10.20.1, router 192.168.88.1 | Ben 192.168.88.2"
echo "forward_ms, line_ms: from the menu click; choice_*: from OK in Ben's dialog; ports still forwarded after Ben left and after Ann closed"
echo
printf 'condition\tround\tforward_ms\tline_ms\tchoice_Ben_ms\tchoice_Ann_ms\tgame\tsilence\tafter_leave\tafter_close\tnotes\n' \
    >"$out/internet.tsv"
# shellcheck disable=SC2059
printf "$format" condition round forward_ms line_ms choice_Ben choice_Ann game silence after_leave \
    after_close notes
for c in "${chosen[@]}"; do
    for ((n = 1; n <= rounds; n++)); do round "$c" "$n"; done
done

echo
echo "summary: median (range) over the rounds"
for c in "${chosen[@]}"; do
    rows="$(awk -F'\t' -v c="$c" 'NR > 1 && $1 == c' "$out/internet.tsv")"
    printf '%-9s forward %s ms, log line %s ms, choice on both %s ms\n' "$c" \
        "$(awk -F'\t' '$3 ~ /^[0-9]+$/ { print $3 }' <<<"$rows" | stats)" \
        "$(awk -F'\t' '$4 ~ /^[0-9]+$/ { print $4 }' <<<"$rows" | stats)" \
        "$(awk -F'\t' '$5 ~ /^[0-9]+$/ && $6 ~ /^[0-9]+$/ { print ($5 > $6 ? $5 : $6) }' <<<"$rows" | stats)"
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "per-round traces, program output, logs and screenshots: $out"
