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
# The LAN: two host namespaces, A (10.77.9.1/24) and B (10.77.9.2/24), each
# joined by a veth pair to a bridge in a third namespace; all three are made
# and removed again for every round, so that no connection tracking or socket
# state carries over. Each host runs its own Xvfb (1280x1024) with openbox and
# one Quorin, started afresh from a copy of the build with a settings file
# naming the player (A "Ann", B "Ben"). Clicks come from xdotool; the screens
# are read by pairwatch (built here from pairwatch.cpp) every 100 ms.
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
repo="$(dirname "$here")"
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
build="$(readlink -f "${1:-$repo/build/bin}")"

die() {
    echo "pairing.sh: $*" >&2
    exit 2
}
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
[[ "$bound" =~ ^[1-9][0-9]*$ ]] || die "-t wants whole seconds"
IFS=, read -r -a chosen <<<"$conditions"
for c in "${chosen[@]}"; do
    [[ ",$all_conditions," == *",$c,"* ]] || die "unknown condition '$c' (known: $all_conditions)"
done
((EUID == 0)) || die "needs root for the network namespaces"
for tool in Xvfb openbox xdotool xprop import ip nft ss g++; do
    command -v "$tool" >/dev/null || die "$tool is missing (xvfb, openbox, xdotool, x11-utils, imagemagick, iproute2, nftables, g++)"
done
[[ -x "$build/Quorin" ]] || die "no Quorin in $build"
out="${out:-/tmp/veltroy-pairing.$(date +%Y%m%d-%H%M%S)}"
mkdir -p "$out" || die "cannot make $out"

work="$(mktemp -d /tmp/veltroy-pairing-work.XXXXXX)"
tag="vpr$$"
declare -A NS=([a]="${tag}a" [b]="${tag}b" [br]="${tag}br")
declare -A DISP QPID NAME=([a]=Ann [b]=Ben)
declare -A displays=() # display number -> its Xvfb's process id

# Ends every process in our namespaces (all of them started here), politely
# first, then removes the namespaces and whatever an X server left behind.
teardown() {
    local ns pids left deadline
    for ns in "${NS[a]}" "${NS[b]}"; do
        pids="$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')"
        # shellcheck disable=SC2086
        [[ -n "${pids// /}" ]] && kill -TERM $pids 2>/dev/null
    done
    deadline=$((SECONDS + 3))
    while ((SECONDS < deadline)); do
        left="$(ip netns pids "${NS[a]}" 2>/dev/null; ip netns pids "${NS[b]}" 2>/dev/null)"
        [[ -z "$left" ]] && break
        sleep 0.1
    done
    left="$(ip netns pids "${NS[a]}" 2>/dev/null; ip netns pids "${NS[b]}" 2>/dev/null)"
    # shellcheck disable=SC2086
    [[ -n "$left" ]] && kill -KILL $left 2>/dev/null
    wait 2>/dev/null
    for ns in "${NS[a]}" "${NS[b]}" "${NS[br]}"; do
        ip netns del "$ns" 2>/dev/null
    done
    # A server killed outright leaves its lock and socket; another server may
    # hold the number by now, so only a lock naming ours goes.
    local d pid
    for d in "${!displays[@]}"; do
        pid="$(tr -d ' \n' 2>/dev/null <"/tmp/.X$d-lock")"
        [[ "$pid" == "${displays[$d]}" ]] && rm -f "/tmp/.X$d-lock" "/tmp/.X11-unix/X$d"
    done
    displays=()
    QPID=()
}
cleanup() {
    teardown
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

echo "building the screen watcher ..."
g++ -O2 -std=c++20 "$here/pairwatch.cpp" -lX11 -o "$work/pairwatch" || die "cannot build pairwatch"
mkdir -p "$work/template" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cp "$build/Quorin" "$work/template/"
find "$build" -maxdepth 1 -type f \( -name 'lib*.so*' -o -name 'Quorin-*' \) -exec cp {} "$work/template/" \;

now_ms() { local t="${EPOCHREALTIME//[.,]/}"; echo $((t / 1000)); }

# on HOST COMMAND...: runs a command inside the host's namespace, on its display.
on() {
    local h="$1"
    shift
    ip netns exec "${NS[$h]}" env DISPLAY="${DISP[$h]:-}" HOME="$work/home" \
        XDG_RUNTIME_DIR="$work/runtime" "$@"
}

make_lan() {
    local i=0 h
    ip netns add "${NS[br]}" || return 1
    ip -n "${NS[br]}" link set lo up
    ip -n "${NS[br]}" link add br0 type bridge && ip -n "${NS[br]}" link set br0 up || return 1
    for h in a b; do
        i=$((i + 1))
        ip netns add "${NS[$h]}" || return 1
        ip -n "${NS[$h]}" link set lo up
        ip link add "${tag}v$h" netns "${NS[$h]}" type veth peer name "${tag}p$h" netns "${NS[br]}" ||
            return 1
        ip -n "${NS[br]}" link set "${tag}p$h" master br0 up
        ip -n "${NS[$h]}" addr add "10.77.9.$i/24" broadcast 10.77.9.255 dev "${tag}v$h"
        ip -n "${NS[$h]}" link set "${tag}v$h" up
    done
}

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

# An X server and a window manager inside the host's namespace: its screen.
start_screen() {
    local h="$1"
    local file="$rd/.display-$h" deadline
    ip netns exec "${NS[$h]}" Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
        3>"$file" >/dev/null 2>&1 &
    local server=$!
    deadline=$((SECONDS + 10))
    until grep -q '^[0-9][0-9]*$' "$file" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
    DISP[$h]=":$(cat "$file")"
    displays[${DISP[$h]#:}]=$server
    on "$h" openbox >/dev/null 2>&1 &
    deadline=$((SECONDS + 15))
    until on "$h" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
    on "$h" "$work/pairwatch" 100 >"$rd/screen-$h.tsv" 2>/dev/null &
}

start_program() {
    local h="$1" dir="$work/round/$1"
    mkdir -p "$dir"
    cp "$work/template/"* "$dir/"
    printf '[NAME]\r\nMYNAME="%s"\r\n' "${NAME[$h]}" >"$dir/Quorin.INI"
    (
        cd "$dir" || exit 127
        ulimit -c 0
        exec ip netns exec "${NS[$h]}" env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY \
            -u DBUS_SESSION_BUS_ADDRESS DISPLAY="${DISP[$h]}" SDL_AUDIODRIVER=dummy \
            HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" ./Quorin
    ) >"$rd/Quorin-$h.log" 2>&1 &
    QPID[$h]=$!
}

# Queries of a screen trace (ms, popup, main window, other windows, board).
last_field() { tail -n 1 "$rd/screen-$1.tsv" 2>/dev/null | cut -f "$2"; }
# first_popup HOST STATE FROM_MS: the time of the first sample showing it, or nothing.
first_popup() {
    awk -F'\t' -v s="$2" -v t="$3" '$1 >= t && $2 == s { print $1; exit }' "$rd/screen-$1.tsv" 2>/dev/null
}
# The other windows seen from FROM_MS until UNTIL_MS, distinct, or nothing. The
# search's own "セッションの場所" dialog, which the program confirms by itself
# at once, does not count: it tells the player nothing.
boxes_seen() {
    awk -F'\t' -v t="$2" -v u="$3" '$1 >= t && $1 <= u && $4 != "-" {
        n = split($4, w, "|")
        for (i = 1; i <= n; i++)
            if (w[i] !~ /^セッションの場所 / && !(w[i] in s)) { s[w[i]]; o = o (o ? "; " : "") w[i] } }
        END { print o }' "$rd/screen-$1.tsv" 2>/dev/null
}
start_board_shown() {
    local board
    board="$(last_field "$1" 5)"
    [[ "$board" =~ ^[.AB]{64}$ ]] || return 1
    local a="${board//[^A]/}" b="${board//[^B]/}"
    ((${#a} == 2 && ${#b} == 2))
}
# Screen positions from the main window's client area "x,y,w,h".
start_button() {
    local x y w h
    IFS=, read -r x y w h <<<"$(last_field "$1" 3)"
    echo "$((x + w - 160 + 3 + 16 + 64)) $((y + 19 + 16 + 20))"
}
square() { # HOST COLUMN ROW
    local x y w h
    IFS=, read -r x y w h <<<"$(last_field "$1" 3)"
    local bw=$((w - 160 - 2)) bh=$((h - 19 - 2))
    local span=$(((bw < bh ? bw : bh) - 30))
    local cell=$((span / 8))
    local half=$(((cell + 1) / 2))
    echo "$((x + 1 + (bw - span) / 2 + $2 * cell - half)) $((y + 19 + 1 + (bh - span) / 2 + $3 * cell - half))"
}
# The popup's first button ("先攻") on the 1280x1024 screen.
first_button() { echo "$((640 - 158 + 68)) $((512 - 82 + 120))"; }

# Prefixes each line read with the time it came, in microseconds.
stamp() {
    local line
    while IFS= read -r line; do echo "${EPOCHREALTIME//[.,]/} $line"; done
}
# Whether both timed-click logs hold at least N lines.
lines_in() {
    (($(grep -c . "$rd/.out-a" 2>/dev/null) >= $1 && $(grep -c . "$rd/.out-b" 2>/dev/null) >= $1))
}
# sleep_until MICROSECONDS: waits for that wall-clock time without starting a process.
exec {never}<> <(:)
sleep_until() {
    local us=$(($1 - ${EPOCHREALTIME//[.,]/})) seconds
    ((us > 0)) || return 0
    printf -v seconds '%d.%06d' $((us / 1000000)) $((us % 1000000))
    read -r -t "$seconds" -u "$never"
}

# click HOST X Y: prints the time the click ended.
click() {
    on "$1" xdotool mousemove "$2" "$3" click 1 >/dev/null 2>&1
    now_ms
}
alive() { [[ -n "${QPID[$1]:-}" ]] && kill -0 "${QPID[$1]}" 2>/dev/null; }
hosting() {
    ip netns exec "${NS[$1]}" ss -Hulpn 'sport = :43517' 2>/dev/null | grep -q "pid=${QPID[$1]},"
}
# until_ms DEADLINE_MS CONDITION...: polls every 100 ms; false at the deadline.
until_ms() {
    local deadline="$1"
    shift
    until "$@"; do
        (($(now_ms) < deadline)) || return 1
        sleep 0.1
    done
}
popup_is() { [[ "$(last_field "$1" 2)" == "$2" ]]; }
popup_is_not() { [[ "$(last_field "$1" 2)" != "$2" ]]; }
both_popups_none() { popup_is a none && popup_is b none; }
board_square_taken() {
    local board
    board="$(last_field "$1" 5)"
    [[ "$board" =~ ^[.AB]{64}$ && "${board:$2:1}" != . ]]
}
after_ms() { (($(now_ms) >= $1)); }
waited_as_host() { after_ms "$1" && popup_is a none; }
ready() { alive "$1" && start_board_shown "$1"; }

shot() {
    local h
    for h in a b; do
        [[ -n "${DISP[$h]:-}" ]] && on "$h" import -window root "$rd/failed-$h.png" 2>/dev/null
    done
}

results="$out/results.tsv"
printf 'condition\tround\treached\tboth_ms\tAnn_ms\tBen_ms\toffset_ms\texits\tnotes\n' >"$results"
line_format='%-14s %5s  %-7s %7s %7s %7s %9s  %s  %s\n'
# report FIELDS...: one round, as a line here and a row of the results file.
report() {
    local IFS=$'\t'
    echo "$*" >>"$results"
    # shellcheck disable=SC2059
    printf "$line_format" "$@"
}
seconds() { awk -v ms="$1" 'BEGIN { printf "%+.1f s", ms / 1000 }'; }

# One round: prints its line, appends it to the results.
run_round() {
    local cond="$1" n="$2"
    rd="$out/$cond-$n"
    rm -rf "$rd" "$work/round"
    mkdir -p "$rd"
    DISP=()
    QPID=()
    local notes=() h
    local reached=no both="-" offset="-" exits="" t1 t2 deadline
    declare -A ended=() code=()

    if ! make_lan || ! apply_rules "$cond"; then
        echo "pairing.sh: cannot build the LAN of namespaces" >&2
        exit 1
    fi
    for h in a b; do
        start_screen "$h" || notes+=("no screen on $h")
    done
    if ((${#notes[@]} == 0)); then
        for h in a b; do start_program "$h"; done
        for h in a b; do
            until_ms $(($(now_ms) + 30000)) ready "$h" || notes+=("${NAME[$h]} showed no board")
        done
    fi
    if ((${#notes[@]})); then
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
        for h in a b; do
            mkfifo "$rd/.in-$h"
            on "$h" xdotool - <"$rd/.in-$h" 2>/dev/null | stamp >"$rd/.out-$h" &
        done
        exec {fa}>"$rd/.in-a" {fb}>"$rd/.in-b"
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
        ua="$(sed -n 2p "$rd/.out-a" | cut -d' ' -f1)"
        ub="$(sed -n 2p "$rd/.out-b" | cut -d' ' -f1)"
        ua="${ua:-${EPOCHREALTIME//[.,]/}}"
        ub="${ub:-${EPOCHREALTIME//[.,]/}}"
        offset="$(awk -v a="$ua" -v b="$ub" 'BEGIN { printf "%.1f", (b - a) / 1000 }')"
        t1=$(((ua < ub ? ua : ub) / 1000))
        t2=$(((ua > ub ? ua : ub) / 1000))
        ;;
    *)
        # A alone first: its search finds nobody, it says so for 3 s and hosts.
        t1="$(click a "$ax" "$ay")"
        until_ms $((t1 + 5000)) popup_is_not a none || notes+=("Ann showed no popup")
        until_ms $((t1 + 20000)) waited_as_host $((t1 + 4000)) ||
            notes+=("Ann's popup stayed")
        hosting a || notes+=("Ann not hosting")
        t2="$(click b "$bx" "$by")"
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
    local status boxes
    for h in a b; do
        [[ -n "${ended[$h]:-}" ]] || continue
        if ((code[$h] > 128)); then
            status="signal $(kill -l $((code[$h] - 128)) 2>/dev/null || echo $((code[$h] - 128)))"
        else
            status="exit ${code[$h]}"
        fi
        boxes="$(boxes_seen "$h" "$t1" "${ended[$h]}")"
        exits+="${exits:+, }${NAME[$h]} $status at $(seconds $((ended[$h] - t2)))"
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
    local note joined=""
    for note in "${notes[@]}"; do joined+="${joined:+; }$note"; done
    report "$cond" "$n" "$reached" "$both" "$ta" "$tb" "$offset" "${exits:--}" "${joined:--}"
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

# median and range of the numbers on stdin: "MEDIAN (MIN-MAX)"
stats() {
    sort -g | awk 'NF { v[++n] = $1 } END {
        if (n == 0) { print "-"; exit }
        m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        printf "%g (%g-%g)\n", m, v[1], v[n] }'
}

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
