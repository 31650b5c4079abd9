#!/usr/bin/env bash
# Benchmark (not a test) of the start by address ("アドレスを指定してはじめる...")
# between two real Quorin programs: across a router, to a firewalled guest, and
# the messages for an address where nobody waits, a name that does not resolve
# and a malformed address.
#
# usage: bench/byaddress.sh [-n ROUNDS] [-m MOVES] [-q] [-o FOLDER] [BUILD_DIR]
#   BUILD_DIR   folder of the build to test: Quorin, Quorin-* and lib*.so are
#               copied from it (default: build/bin)
#   -n ROUNDS   rounds across the router (default 5)
#   -m MOVES    moves played by the firewalled guest's round (default 6)
#   -q          no whole game in the first round across the router
#   -o FOLDER   where each round's screen traces, program output, screenshots
#               and figures go (default /tmp/veltroy-byaddress.DATE)
#
# Every round builds the routed LAN of bench/lan-lib.sh afresh: host A
# (10.81.1.2/24) and host B (10.81.2.2/24) in subnets of their own, a router
# namespace between them, each host with its own Xvfb, openbox and Quorin (A
# "Ann", B "Ben"). A broadcast search stays in its subnet: only the address
# gets B to A.
#   router    A presses "はじめる", finds nobody and hosts. B opens ファイル →
#             "アドレスを指定してはじめる...", types A's address into the
#             "セッションの場所" dialog and presses Return ("OK"). Measured from
#             OK: the greeting ("Annさんと" / "ゲームをはじめます") on B's
#             screen, and the first-move choice on each screen. The first round
#             then plays a whole game: A takes "先攻" and plays the first legal
#             square in reading order, B the last; a pass notice is answered
#             with "OK"; the result popup must come on both screens.
#   firewall  as router, with B behind an input chain that accepts only
#             established and related traffic and loopback, and drops (and
#             counts) the rest; A has no rules. The guest then plays MOVES
#             moves, each of which must show on the other board.
#   messages  nobody presses "はじめる"; B's resolver is the router (no DNS
#             server there: /etc/netns/B/resolv.conf, so no query leaves the
#             namespaces). B asks, in turn, for a name that does not resolve
#             (unresolved: nosuchhost.invalid), a malformed address (malformed:
#             10.81.1.2:99999), an address where no computer is (nobody:
#             10.81.1.9), A's address while A is idle (notwaiting) and, with
#             the router dropping every DNS query, a name (deaddns:
#             friend.example: 1.5 s after OK the search notice is unmapped
#             and mapped again, and must be drawn anew); the
#             last dialog is saved as a screenshot before typing, showing the
#             address before. Measured: from OK until the message box is on
#             B's screen; each box is saved as a screenshot, answered
#             with Return, and B must be idle again ("はじめる" on the start
#             button pixel for pixel as at the start, no popup, no window).
#             Then B is closed through ファイル → "おわる..." and "はい(&Y)", and
#             its Quorin.INI must hold the last address under [LAN].
# The screens are read by pairwatch every 100 ms; the popup's text lines by a
# watcher built here every 50 ms (the greeting is told from the search notice,
# both popups without buttons, by its short first line). Times are up to that
# late. OK is the time of xdotool's answer right after the Return key.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"

rounds=5
fw_moves=6
whole_game=1
out=""
while getopts "n:m:qo:" option; do
    case "$option" in
    n) rounds="$OPTARG" ;;
    m) fw_moves="$OPTARG" ;;
    q) whole_game=0 ;;
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
[[ "$fw_moves" =~ ^[0-9]+$ ]] || die "-m wants a count"
lan_init byaddress vba "${1:-}"

# The popup's text, line by line: every PERIOD ms, when it changes,
#   MS <tab> LINES
# LINES: the width in pixels of each line of the popup's green text, top down,
# joined by ","; "blank" for a popup without text, "-" for no popup (or one
# covered at its sides, as by the session-location dialog).
cat >"$work/popuptext.cpp" <<'EOF'
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    const int period = argc > 1 ? std::atoi(argv[1]) : 50;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 2;
    const Window root = DefaultRootWindow(display);
    // The popup: 317x165, centred, with a lime border.
    const int w = 317, h = 165;
    const int x0 = DisplayWidth(display, 0) / 2 - (w - 1) / 2;
    const int y0 = DisplayHeight(display, 0) / 2 - (h - 1) / 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string last;
    for (;;) {
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        XImage* image = XGetImage(display, root, x0, y0, w, h, AllPlanes, ZPixmap);
        if (!image)
            return 0;
        auto rgb = [&](int x, int y, int* r, int* g, int* b) {
            const unsigned long p = XGetPixel(image, x, y);
            *r = int((p >> 16) & 255);
            *g = int((p >> 8) & 255);
            *b = int(p & 255);
        };
        auto lime = [&](int x, int y) {
            int r, g, b;
            rgb(x, y, &r, &g, &b);
            return r < 10 && g > 245 && b < 10;
        };
        std::string line = "-";
        if (lime(1, 82) && lime(w - 2, 82)) {
            line.clear();
            // Rows with text ink (a dark green) make a line; its width spans them all.
            int top = -1, left = w, right = -1;
            // Inside the border and its shading, 10 px wide; the last row
            // is taken as blank, to end a line there.
            for (int y = 10; y <= h - 10; ++y) {
                int l = w, rr = -1;
                for (int x = 10; y < h - 10 && x < w - 10; ++x) {
                    int r, g, b;
                    rgb(x, y, &r, &g, &b);
                    if (r < 100 && b < 100 && g > 60 && g < 200) {
                        l = std::min(l, x);
                        rr = x;
                    }
                }
                if (rr >= 0) {
                    if (top < 0)
                        top = y, left = l, right = rr;
                    left = std::min(left, l);
                    right = std::max(right, rr);
                } else if (top >= 0) {
                    // Specks are no line.
                    if (y - top >= 3 && right - left >= 3)
                        line += (line.empty() ? "" : ",") + std::to_string(right - left + 1);
                    top = -1;
                }
            }
            if (line.empty())
                line = "blank";
        }
        XDestroyImage(image);
        if (line != last) {
            std::printf("%lld\t%s\n", ms, line.c_str());
            last = line;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(period));
    }
}
EOF
g++ -O2 -std=c++20 "$work/popuptext.cpp" -lX11 -o "$work/popuptext" || die "cannot build popuptext"

# ---- the screen at rest (the menu and its dialogs: lan-lib.sh) ----

no_box() { [[ "$(last_field "$1" 4)" == - ]]; }
idle_screen() { no_box "$1" && popup_is "$1" none; }

# Starts the popup text watcher on the host's display.
watch_text() { on "$1" "$work/popuptext" 50 >"$rd/popup-$1.tsv" 2>/dev/null & }
# greeting_at HOST FROM_MS: the first sample from then on showing the greeting,
# two lines, the first ("NAMEさんと") under three quarters of the second
# ("ゲームをはじめます"); the search notices have lines of about one length.
greeting_at() {
    awk -F'\t' -v t="$2" '$1 >= t { n = split($2, w, ",")
        if (n == 2 && w[1] * 4 < w[2] * 3) { print $1; exit } }' "$rd/popup-$1.tsv" 2>/dev/null
}
# box_after HOST FROM_MS: "MS<tab>WINDOWS" of the first sample from then on
# showing a window besides the main one and the session-location dialog.
box_after() {
    awk -F'\t' -v t="$2" '$1 >= t && $4 != "-" {
        n = split($4, w, "|"); o = ""
        for (i = 1; i <= n; i++) if (w[i] !~ /^セッションの場所 /) o = o (o ? "; " : "") w[i]
        if (o != "") { print $1 "\t" o; exit } }' "$rd/screen-$1.tsv" 2>/dev/null
}
box_came() { [[ -n "$(box_after "$1" "$2")" ]]; }
gone() { ! alive "$1"; }

# ---- rounds ----

# new_round NAME: the round's folder "$out/NAME" on a fresh routed LAN.
new_round() { start_round "$out/$1" make_routed_lan; }
since() { [[ -n "$1" ]] && echo $(($1 - $2)) || echo -; }

# B's firewall: only answers and loopback come in; the rest is dropped and counted.
guest_firewall() {
    printf 'table inet bench {
        chain input { type filter hook input priority 0; policy accept;
            ct state established,related accept;
            iif lo accept;
            counter drop; }
    }\n' | ip netns exec "${NS[b]}" nft -f -
}
dropped() {
    ip netns exec "${NS[b]}" nft list chain inet bench input 2>/dev/null |
        awk '/counter packets/ { for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1) }'
}

# join_round KIND N: A hosts, B joins it by address; KIND router or firewall.
join_format='%-8s %5s  %10s %10s %10s %10s  %-22s %s\n'
join_round() {
    local kind="$1" n="$2" notes=() ga="" gb="" ca="" cb="" played="-" drops=""
    new_round "$kind-$n"
    if [[ "$kind" == firewall ]] && ! guest_firewall; then
        echo "byaddress.sh: cannot set B's firewall" >&2
        exit 1
    fi
    if start_hosts; then
        watch_text a
        watch_text b
        sleep 0.5
        host_alone
        [[ "$n" == 1 ]] && on a import -window root "$out/$kind-hosting-Ann.png" 2>/dev/null
        if open_dialog b; then
            local typed=""
            [[ "$n" == 1 ]] && typed="$out/$kind-dialog-Ben.png"
            confirm b "${ADDR[a]}" "$typed"
            until_ms $((ok_ms + 20000)) both_popups_are choice
            gb="$(greeting_at b "$ok_ms")"
            ga="$(greeting_at a "$ok_ms")"
            cb="$(first_popup b choice "$ok_ms")"
            ca="$(first_popup a choice "$ok_ms")"
            [[ -n "$cb" ]] || notes+=("no choice on Ben (popup $(last_field b 2), windows $(last_field b 4))")
            [[ -n "$ca" ]] || notes+=("no choice on Ann (popup $(last_field a 2))")
        fi
        local limit=-1
        [[ "$kind" == router && "$n" == 1 && "$whole_game" == 1 ]] && limit=0
        [[ "$kind" == firewall ]] && limit="$fw_moves"
        if [[ -n "$ca" && -n "$cb" ]] && ((limit >= 0)); then
            if ! take_first; then
                played="no"
            else
                local t_game ok=yes
                t_game="$(now_ms)"
                moves_log "$rd/moves.tsv"
                play "$limit" 15000 "$rd/moves.tsv" || ok=no
                local delays
                delays="$(awk -F'\t' 'NR > 1 { print $7 }' "$rd/moves.tsv" | stats)"
                played="$moves moves"
                ((passes)) && played+=", $passes passes"
                [[ "$ok" == no ]] && played+=" STOPPED"
                notes+=("click to other board $delays ms")
                if [[ "$ok" == yes && "$limit" == 0 ]]; then
                    # The game's end: the result popup (two buttons) on both.
                    if until_ms $(($(now_ms) + 15000)) both_popups_are choice; then
                        played+=", result on both"
                    else
                        played+=", RESULT MISSING (Ann $(last_field a 2), Ben $(last_field b 2))"
                    fi
                    notes+=("game $(seconds $(($(now_ms) - t_game)))")
                    sleep 0.5
                    on a import -window root "$out/$kind-game-end-Ann.png" 2>/dev/null
                    on b import -window root "$out/$kind-game-end-Ben.png" 2>/dev/null
                fi
            fi
        fi
        if [[ "$kind" == firewall ]]; then
            drops="$(dropped)"
            notes+=("B's firewall dropped ${drops:-?} packets")
        fi
    fi
    local failed=0
    [[ -z "$ca" || -z "$cb" || -z "$gb" || "$played" == *STOPPED* || "$played" == *MISSING* ]] && failed=1
    end_round "$failed"
    row "$out/join.tsv" "$join_format" "$kind" "$n" "$(since "$gb" "${ok_ms:-0}")" \
        "$(since "$cb" "${ok_ms:-0}")" "$(since "$ca" "${ok_ms:-0}")" "$(since "$ga" "${ok_ms:-0}")" \
        "$played" "$(joined_notes)"
    ok_ms=""
}

# The messages round: the answers to addresses where nobody is to be joined.
message_format='%-10s %-20s %9s  %-36s %-5s %s\n'
messages_round() {
    local notes=() kind address x y w h found t_box box idle ini="-" remapped_ms
    new_round messages
    # B's resolver: the router, where nothing answers on port 53.
    mkdir -p "/etc/netns/${NS[b]}"
    echo "nameserver 10.81.2.1" >"/etc/netns/${NS[b]}/resolv.conf"
    if ! start_hosts; then
        end_round 1
        row "$out/messages.tsv" "$message_format" setup - - - - "$(joined_notes)"
        return
    fi
    sleep 1
    # The start button as it reads "はじめる", to compare with later.
    IFS=, read -r x y w h <<<"$(last_field b 3)"
    local crop="122x40+$((x + w - 160 + 19))+$((y + 19 + 15))"
    on b import -window root "$rd/idle-Ben.png" 2>/dev/null
    convert "$rd/idle-Ben.png" -crop "$crop" +repage "$rd/button-start.png"
    for kind in unresolved:nosuchhost.invalid malformed:10.81.1.2:99999 \
        nobody:10.81.1.9 notwaiting:"${ADDR[a]}" deaddns:friend.example; do
        address="${kind#*:}"
        kind="${kind%%:*}"
        # The router as a DNS server that drops every query.
        [[ "$kind" == deaddns ]] &&
            printf 'table inet deaddns {\n chain input {\n type filter hook input priority 0;\n udp dport 53 drop\n }\n}\n' |
            ip netns exec "${NS[br]}" nft -f -
        local pre=""
        # The last dialog shows the address typed before it, selected.
        [[ "$kind" == notwaiting ]] && pre="$out/messages-dialog-prefilled-Ben.png"
        if ! open_dialog b; then
            row "$out/messages.tsv" "$message_format" "$kind" "$address" - - - "$(joined_notes)"
            notes=()
            continue
        fi
        if [[ -n "$pre" ]]; then
            sleep 0.3
            on b import -window root "$pre" 2>/dev/null
        fi
        confirm b "$address"
        if [[ "$kind" == deaddns ]]; then
            # While the name is looked up, the search notice is hidden and shown
            # again: only a program that goes on drawing paints it anew.
            sleep 1.5
            on b xdotool search --onlyvisible --name 'ちょっとまっててね' windowunmap --sync \
                windowmap --sync >/dev/null 2>&1
            remapped_ms=$(now_ms)
            sleep 1
            notes+=("search notice 1 s after it was shown again: $(awk -F'\t' -v t="$remapped_ms" \
                '$1 <= t + 1000 { s = $2 } END { print s }' "$rd/screen-b.tsv")")
        fi
        until_ms $((ok_ms + 15000)) box_came b "$ok_ms"
        found="$(box_after b "$ok_ms")"
        t_box="-"
        box="none in 15 s"
        idle="-"
        if [[ -n "$found" ]]; then
            t_box=$((${found%%$'\t'*} - ok_ms))
            box="${found#*$'\t'}"
            sleep 0.3
            on b import -window root "$out/messages-$kind-Ben.png" 2>/dev/null
            # Return answers the box ("OK" is its default).
            on b xdotool key Return >/dev/null 2>&1
            idle=no
            if until_ms $(($(now_ms) + 5000)) idle_screen b; then
                sleep 0.3
                on b import -window root "$rd/after-$kind-Ben.png" 2>/dev/null
                convert "$rd/after-$kind-Ben.png" -crop "$crop" +repage "$rd/button-$kind.png"
                [[ "$(compare -metric AE "$rd/button-start.png" "$rd/button-$kind.png" null: 2>&1)" == 0 ]] &&
                    idle=yes
            fi
            [[ "$idle" == yes ]] || notes+=("not idle: popup $(last_field b 2), windows $(last_field b 4)")
            hosting b && notes+=("Ben hosting")
        fi
        row "$out/messages.tsv" "$message_format" "$kind" "$address" "$t_box" "$box" "$idle" \
            "$(joined_notes)"
        notes=()
    done
    cp "$rd/after-notwaiting-Ben.png" "$out/messages-idle-again-Ben.png" 2>/dev/null

    # B closed through the menu: "おわる...", then "はい(&Y)" (the default) in "確認".
    menu_item b 5
    if until_ms $(($(now_ms) + 5000)) box_shown b 確認; then
        on b xdotool key Return >/dev/null 2>&1
        if until_ms $(($(now_ms) + 10000)) gone b; then
            wait "${QPID[b]}"
            QPID[b]=""
            ini="$(tr -d '\r' <"$work/round/b/Quorin.INI" |
                awk '/^\[/ { s = $0 } s == "[LAN]" && /^ADDRESS=/ { print "[LAN] " $0 }')"
            ini="${ini:-no [LAN] ADDRESS}"
            cp "$work/round/b/Quorin.INI" "$out/messages-Quorin-Ben.INI"
        else
            ini="Ben did not end"
        fi
    else
        ini="no confirmation"
    fi
    end_round "$([[ "$ini" == "[LAN] ADDRESS=\"${ADDR[a]}\"" ]] && echo 0 || echo 1)" 1
    ini_line="$ini"
}

echo "build: $build"
echo "results: $out"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)"
echo "routed LAN: A 10.81.1.2/24 | router 10.81.1.1, 10.81.2.1 | B 10.81.2.2/24"
echo "ms from OK (Return in B's dialog); popup text every 50 ms, screens every 100 ms"
echo
printf 'kind\tround\tgreeting_Ben_ms\tchoice_Ben_ms\tchoice_Ann_ms\tgreeting_Ann_ms\tplayed\tnotes\n' \
    >"$out/join.tsv"
# shellcheck disable=SC2059
printf "$join_format" kind round greet_Ben choice_Ben choice_Ann greet_Ann played notes
for ((n = 1; n <= rounds; n++)); do join_round router "$n"; done
join_round firewall 1

echo
printf 'kind\taddress\tbox_ms\tbox\tidle_again\tnotes\n' >"$out/messages.tsv"
# shellcheck disable=SC2059
printf "$message_format" kind address box_ms "box (title, size)" idle notes
ini_line="-"
messages_round
echo "Ben's settings after closing: $ini_line"

# ---- summary ----
echo
echo "summary (ms from OK; ~50 ms resolution for the greeting, ~100 ms for the choice)"
summary_format='%-9s %-8s %-22s %-22s %-22s %s\n'
# shellcheck disable=SC2059
printf "$summary_format" kind paired "greeting Ben med (range)" "choice Ben med (range)" \
    "choice both med (range)" "max (greeting, both)"
for kind in router firewall; do
    rows="$(awk -F'\t' -v k="$kind" 'NR > 1 && $1 == k' "$out/join.tsv")"
    total="$(grep -c . <<<"$rows")"
    paired="$(awk -F'\t' '$4 ~ /^[0-9]+$/ && $5 ~ /^[0-9]+$/' <<<"$rows" | grep -c .)"
    greet="$(awk -F'\t' '$3 ~ /^[0-9]+$/ { print $3 }' <<<"$rows")"
    chb="$(awk -F'\t' '$4 ~ /^[0-9]+$/ { print $4 }' <<<"$rows")"
    both="$(awk -F'\t' '$4 ~ /^[0-9]+$/ && $5 ~ /^[0-9]+$/ { print ($4 > $5 ? $4 : $5) }' <<<"$rows")"
    # shellcheck disable=SC2059
    printf "$summary_format" "$kind" "$paired/$total" "$(stats <<<"$greet")" "$(stats <<<"$chb")" \
        "$(stats <<<"$both")" "$(sort -g <<<"$greet" | tail -n 1), $(sort -g <<<"$both" | tail -n 1)"
done
# Whether the host's own greeting ("Benさんと") reached its screen.
seen="$(awk -F'\t' 'NR > 1 && $6 ~ /^[0-9]+$/' "$out/join.tsv" | grep -c .)"
total="$(awk 'NR > 1' "$out/join.tsv" | grep -c .)"
echo "greeting on the host's (Ann's) screen: $seen/$total rounds"
awk -F'\t' 'NR > 1 && $7 ~ /result/ { printf "whole game: %s round %s: %s\n", $1, $2, $7 }' "$out/join.tsv"
awk -F'\t' 'NR > 1 && $1 == "firewall" { printf "firewalled guest: %s; %s\n", $7, $8 }' "$out/join.tsv"
awk -F'\t' 'NR > 1 { printf "message %-10s %-20s box after %s ms, idle again: %s\n", $1, $2, $3, $5 }' \
    "$out/messages.tsv"
echo "Ben's Quorin.INI after closing: $ini_line"
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "per-round traces, program output and screenshots: $out"
