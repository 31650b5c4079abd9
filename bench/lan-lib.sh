# shellcheck shell=bash
# Shared machinery of the LAN benchmarks (bench/pairing.sh, bench/outage.sh,
# bench/byaddress.sh, bench/resume.sh, bench/internet.sh): host namespaces
# joined by a bridge namespace (or by routers and an "internet"), an Xvfb with
# openbox and one Quorin on each host, clicks by xdotool and screens read by
# pairwatch, and a game played by clicks. Sourced, not run.
#
# The sourcing script calls
#   lan_init NAME TAG [BUILD_DIR]   once: checks the tools, builds pairwatch,
#                       copies the build (`build`, by default build/bin), makes
#                       the results folder `out` (by default
#                       /tmp/veltroy-NAME.DATE) and arms the clean-up for every
#                       exit;
# then, for every round, start_round (the round's folder `rd` and its LAN, by
# make_lan, make_routed_lan or make_internet), start_hosts and, at the end,
# end_round or teardown.
#
# The LAN: host A (10.77.9.1/24) and host B (10.77.9.2/24), each joined by a
# veth pair ("${tag}va" in A to "${tag}pa" in the bridge, the same for b) to
# the bridge br0 in the third namespace. Each host has its own Xvfb (1280x1024)
# with openbox and one Quorin, started afresh from a copy of the build with a
# settings file naming the player (A "Ann", B "Ben"). pairwatch writes what
# each screen shows to "$rd/screen-HOST.tsv" every 100 ms. A script may set
# HOSTS to more hosts (up to a..f: "Cid", "Dan", "Eve", "Fay"; 10.77.9.3 on)
# before start_round with make_lan.
#
# make_routed_lan instead puts the hosts in two subnets, the third namespace
# routing between them: A 10.81.1.2/24, B 10.81.2.2/24, the router 10.81.1.1
# and 10.81.2.1. ADDR holds each host's address on either LAN.
#
# make_internet puts A and B in two homes, each a LAN behind a router that
# masquerades, the routers' WAN ends joined by an "internet" namespace (below).
#
# Also here: the screens' queries and the clicks on them (start_button, square,
# first_button, third_button, ok_button; click, timed_click, xdo_start for an
# xdotool started ahead); the menu ファイル and the session-location dialog
# (menu_item, box_shown, open_dialog, confirm); the log panel (log_text);
# pairing (host_alone, press_in_turn, take_first); the
# game (reversi, choice, move and its parts, play: side A plays the first legal
# square in reading order, B the last; SIDE_HOST says which hosts play the
# sides, by default a and b); and a round's bookkeeping (end_round,
# joined_notes, row, exit_status, stats).

lan_name="${0##*/}"
die() {
    echo "$lan_name: $*" >&2
    exit 2
}

# choose LIST KNOWN: the comma-separated LIST into the array `chosen`, each
# one of the comma-separated KNOWN conditions.
choose() {
    local c
    IFS=, read -r -a chosen <<<"$1"
    for c in "${chosen[@]}"; do
        [[ ",$2," == *",$c,"* ]] || die "unknown condition '$c' (known: $2)"
    done
}

declare -A NS DISP QPID ADDR NAME=([a]=Ann [b]=Ben [c]=Cid [d]=Dan [e]=Eve [f]=Fay)
# The hosts of the LAN (make_lan), whose screens and programs start_hosts starts.
HOSTS=(a b)
# The hosts that play side A (red, first) and side B of the game that `play` plays.
declare -A SIDE_HOST=([A]=a [B]=b)
declare -A displays=() # display number -> its Xvfb's process id
work=""
rd=""

# Ends every process in our namespaces (all of them started here), politely
# first, then removes the namespaces and whatever an X server left behind.
# The processes in the host namespaces (of all hosts a script may use).
host_pids() {
    local h
    for h in a b c d e f; do
        [[ -n "${NS[$h]:-}" ]] && ip netns pids "${NS[$h]}" 2>/dev/null
    done
}
# The processes in the namespaces of make_internet's routers and internet
# (miniupnpd, a relay).
router_pids() {
    local r
    for r in ra rb net; do
        [[ -n "${NS[$r]:-}" ]] && ip netns pids "${NS[$r]}" 2>/dev/null
    done
}
teardown() {
    local ns pids left deadline
    pids="$({ host_pids; router_pids; } | tr '\n' ' ')"
    # shellcheck disable=SC2086
    [[ -n "${pids// /}" ]] && kill -TERM $pids 2>/dev/null
    deadline=$((SECONDS + 3))
    while ((SECONDS < deadline)); do
        left="$(host_pids; router_pids)"
        [[ -z "$left" ]] && break
        sleep 0.1
    done
    left="$(host_pids; router_pids)"
    # shellcheck disable=SC2086
    [[ -n "$left" ]] && kill -KILL $left 2>/dev/null
    wait 2>/dev/null
    for ns in "${NS[a]}" "${NS[b]}" "${NS[c]}" "${NS[d]}" "${NS[e]}" "${NS[f]}" "${NS[br]}" \
        "${NS[ra]:-}" "${NS[rb]:-}" "${NS[net]:-}"; do
        ip netns del "$ns" 2>/dev/null
        # Files a round gave the namespace (`ip netns exec` mounts them over /etc).
        [[ -n "$ns" ]] && rm -rf "/etc/netns/$ns"
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
lan_cleanup() {
    teardown
    [[ -n "$work" ]] && rm -rf "$work"
}

# lan_init NAME TAG [BUILD_DIR]: NAME names the scratch folder and the results
# folder `out` (unless the script chose one), TAG (a few letters) the namespaces
# and interfaces of this run.
lan_init() {
    build="$(readlink -f "${3:-$lan_dir/../build/bin}")"
    ((EUID == 0)) || die "needs root for the network namespaces"
    local tool
    for tool in Xvfb openbox xdotool xprop import ip nft ss g++; do
        command -v "$tool" >/dev/null ||
            die "$tool is missing (xvfb, openbox, xdotool, x11-utils, imagemagick, iproute2, nftables, g++)"
    done
    [[ -x "${build:?}/Quorin" ]] || die "no Quorin in $build"
    work="$(mktemp -d "/tmp/veltroy-$1-work.XXXXXX")"
    tag="$2$$"
    NS=([a]="${tag}a" [b]="${tag}b" [c]="${tag}c" [d]="${tag}d" [e]="${tag}e" [f]="${tag}f"
        [br]="${tag}br" [ra]="${tag}ra" [rb]="${tag}rb" [net]="${tag}n")
    trap lan_cleanup EXIT
    trap 'exit 130' INT TERM HUP

    echo "building the screen watcher ..."
    g++ -O2 -std=c++20 "$lan_dir/pairwatch.cpp" -lX11 -o "$work/pairwatch" ||
        die "cannot build pairwatch"
    mkdir -p "$work/template" "$work/home" "$work/runtime"
    chmod 700 "$work/runtime"
    cp "$build/Quorin" "$work/template/"
    find "$build" -maxdepth 1 -type f \( -name 'lib*.so*' -o -name 'Quorin-*' \) \
        -exec cp {} "$work/template/" \;
    out="${out:-/tmp/veltroy-$1.$(date +%Y%m%d-%H%M%S)}"
    mkdir -p "$out" || die "cannot make $out"
}
lan_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

now_ms() { local t="${EPOCHREALTIME//[.,]/}"; echo $((t / 1000)); }

# on HOST COMMAND...: runs a command inside the host's namespace, on its display.
on() {
    local h="$1"
    shift
    ip netns exec "${NS[$h]}" env DISPLAY="${DISP[$h]:-}" HOME="$work/home" \
        XDG_RUNTIME_DIR="$work/runtime" "$@"
}

# The namespaces of the bridge and the hosts, each with its loopback up, and a
# veth pair from each host into the bridge's; the ends there are not yet up.
lan_namespaces() {
    local h
    for h in br "${HOSTS[@]}"; do
        ip netns add "${NS[$h]}" || return 1
        ip -n "${NS[$h]}" link set lo up
    done
    for h in "${HOSTS[@]}"; do
        ip link add "${tag}v$h" netns "${NS[$h]}" type veth peer name "${tag}p$h" netns "${NS[br]}" ||
            return 1
    done
}
# host_address HOST ADDRESS/BITS BROADCAST: the host's end of its veth, up.
# shellcheck disable=SC2034
host_address() {
    ip -n "${NS[$1]}" addr add "$2" broadcast "$3" dev "${tag}v$1"
    ip -n "${NS[$1]}" link set "${tag}v$1" up
    ADDR[$1]="${2%/*}"
}

make_lan() {
    lan_namespaces || return 1
    ip -n "${NS[br]}" link add br0 type bridge && ip -n "${NS[br]}" link set br0 up || return 1
    local i=0 h
    for h in "${HOSTS[@]}"; do
        i=$((i + 1))
        ip -n "${NS[br]}" link set "${tag}p$h" master br0 up
        host_address "$h" "10.77.9.$i/24" 10.77.9.255
    done
}

# The hosts in subnets of their own, 10.81.1.0/24 (A) and 10.81.2.0/24 (B),
# with the third namespace as the router between them: a broadcast stays in its
# subnet, unicast is forwarded. The veth names are those of make_lan, so
# host_link works alike.
make_routed_lan() {
    lan_namespaces || return 1
    ip netns exec "${NS[br]}" sysctl -qw net.ipv4.ip_forward=1 || return 1
    local i=0 h
    for h in a b; do
        i=$((i + 1))
        ip -n "${NS[br]}" addr add "10.81.$i.1/24" dev "${tag}p$h"
        ip -n "${NS[br]}" link set "${tag}p$h" up
        host_address "$h" "10.81.$i.2/24" "10.81.$i.255"
        ip -n "${NS[$h]}" route add default via "10.81.$i.1" || return 1
    done
}

# make_internet: A and B at home, each behind its own router, the routers
# joined by the namespace `net` as the internet. A 192.168.77.2/24 behind
# router ra (192.168.77.1; WAN 45.67.89.1/24, INET_WAN), B 192.168.88.2/24
# behind router rb (192.168.88.1; WAN 52.10.20.1/24); net routes between
# 45.67.89.254 and 52.10.20.254. Each host's veth is "${tag}vHOST" (as in
# make_lan) to "${tag}pHOST" in its router; a router's WAN is "${tag}wHOST"
# to "${tag}nHOST" in net. Each router masquerades out of its WAN and lets in
# only answers and what its table inet filter's chains miniupnpd and
# prerouting_miniupnpd let in: those miniupnpd fills by default, empty until
# one runs.
# shellcheck disable=SC2034
make_internet() {
    local h
    local -A lan_net=([a]=192.168.77 [b]=192.168.88) wan_net=([a]=45.67.89 [b]=52.10.20)
    INET_WAN=45.67.89.1
    for h in a b ra rb net; do
        ip netns add "${NS[$h]}" || return 1
        ip -n "${NS[$h]}" link set lo up
    done
    ip netns exec "${NS[net]}" sysctl -qw net.ipv4.ip_forward=1 || return 1
    for h in a b; do
        local r="${NS[r$h]}" lanif="${tag}p$h" wanif="${tag}w$h"
        ip link add "${tag}v$h" netns "${NS[$h]}" type veth peer name "$lanif" netns "$r" &&
            ip link add "$wanif" netns "$r" type veth peer name "${tag}n$h" netns "${NS[net]}" || return 1
        ip -n "$r" addr add "${lan_net[$h]}.1/24" dev "$lanif" && ip -n "$r" link set "$lanif" up &&
            ip -n "$r" addr add "${wan_net[$h]}.1/24" dev "$wanif" && ip -n "$r" link set "$wanif" up &&
            ip -n "${NS[net]}" addr add "${wan_net[$h]}.254/24" dev "${tag}n$h" &&
            ip -n "${NS[net]}" link set "${tag}n$h" up || return 1
        host_address "$h" "${lan_net[$h]}.2/24" "${lan_net[$h]}.255"
        ip -n "${NS[$h]}" route add default via "${lan_net[$h]}.1" &&
            ip -n "$r" route add default via "${wan_net[$h]}.254" || return 1
        ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1 || return 1
        ip netns exec "$r" nft -f - <<EOF || return 1
table inet filter {
    chain forward { type filter hook forward priority 0; policy drop;
        ct state established,related accept; oifname "$wanif" accept; jump miniupnpd; }
    chain miniupnpd { }
    chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd; oifname "$wanif" masquerade; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
EOF
    done
}

# start_round FOLDER LAN [COMMAND...]: a round in FOLDER (`rd`, emptied), with
# no screens or programs yet, on a fresh LAN from LAN (make_lan or
# make_routed_lan) and, if given, COMMAND run on it (rules, say); t_round is
# its start. The run stops when the LAN cannot be made.
# shellcheck disable=SC2034
start_round() {
    rd="$1"
    rm -rf "$rd" "$work/round"
    mkdir -p "$rd"
    DISP=()
    QPID=()
    t_round="$(now_ms)"
    local lan="$2"
    shift 2
    "$lan" && { (($# == 0)) || "$@"; } && return 0
    local what=LAN
    [[ "$lan" == make_routed_lan ]] && what="routed LAN"
    [[ "$lan" == make_internet ]] && what="homes"
    echo "$lan_name: cannot build the $what of namespaces" >&2
    exit 1
}

# host_link HOST up|down: the host's port on the bridge, so its cable as it were.
host_link() { ip -n "${NS[br]}" link set "${tag}p$1" "$2"; }

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

# Starts the program; QPID holds its process id (the shell and `ip netns exec`
# before it end in exec). Started again on a host, it runs in the same folder,
# keeping the files the last one left there, and its output is added to the
# same log.
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
    ) >>"$rd/Quorin-$h.log" 2>&1 &
    QPID[$h]=$!
}

# The screens and programs of all HOSTS, each showing its starting board; on
# failure the reasons are added to the caller's `notes` array.
start_hosts() {
    local h failed=0
    for h in "${HOSTS[@]}"; do
        start_screen "$h" || { notes+=("no screen on $h"); failed=1; }
    done
    ((failed)) && return 1
    for h in "${HOSTS[@]}"; do start_program "$h"; done
    for h in "${HOSTS[@]}"; do
        until_ms $(($(now_ms) + 30000)) ready "$h" || { notes+=("${NAME[$h]} showed no board"); failed=1; }
    done
    ((!failed))
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
# The popup's buttons on the 1280x1024 screen: the first ("先攻", "もう一度",
# "つづける"), the third, right ("後攻", "おわる", "はじめから") and the
# notice's "OK".
first_button() { echo "$((640 - 158 + 68)) $((512 - 82 + 120))"; }
third_button() { echo "$((640 - 158 + 244)) $((512 - 82 + 120))"; }
ok_button() { echo "$((640 - 158 + 156)) $((512 - 82 + 112))"; }

# ---- the program's menu, dialogs and log panel ----

# menu_item HOST INDEX: opens ファイル and clicks its item INDEX (1 はじめる,
# 2 アドレスを指定してはじめる..., 3 インターネットの相手を待つ..., 4 設定...,
# 5 おわる...), 22 px apart.
menu_item() {
    local x y w h
    IFS=, read -r x y w h <<<"$(last_field "$1" 3)"
    on "$1" xdotool mousemove $((x + 29)) $((y + 7)) click 1 >/dev/null 2>&1
    sleep 0.4
    on "$1" xdotool mousemove $((x + 80)) $((y + 6 + 22 * $2)) click 1 >/dev/null 2>&1
}
# box_shown HOST TITLE: a window of that title besides the main window.
box_shown() { [[ "|$(last_field "$1" 4)" == *"|$2 "* ]]; }
# open_dialog HOST: the session-location dialog through the menu; a menu left
# open is closed and the menu tried again, three times in all.
open_dialog() {
    for _ in 1 2 3; do
        menu_item "$1" 2
        until_ms $(($(now_ms) + 5000)) box_shown "$1" セッションの場所 && return 0
        on "$1" xdotool key Escape >/dev/null 2>&1
        sleep 0.5
    done
    notes+=("no session-location dialog on ${NAME[$1]}")
    return 1
}
# confirm HOST TEXT [PNG]: types TEXT into the dialog (then a screenshot to
# PNG, if given) and presses Return; ok_ms is the time of the answer of an
# xdotool started ahead to the location query that follows the key, so the
# moment of "OK" and not a process start.
# shellcheck disable=SC2034
confirm() {
    local h="$1" t
    xdo_start "$h" "$rd/.keys-$h" "$rd/.keyed-$h" || return 1
    echo "getmouselocation" >&"$xdo_fd"
    on "$h" xdotool type --delay 15 "$2" >/dev/null 2>&1
    until_ms $(($(now_ms) + 5000)) lines_at_least 1 "$rd/.keyed-$h"
    [[ -n "${3:-}" ]] && on "$h" import -window root "$3" 2>/dev/null
    echo "key Return getmouselocation" >&"$xdo_fd"
    exec {xdo_fd}>&-
    t="$(answered_us "$rd/.keyed-$h")"
    ok_ms=$((t / 1000))
}
# log_text HOST: the text of the host's log panel, read through the clipboard:
# a click into the panel, Ctrl+A, Ctrl+C; then the mouse goes to the screen's
# corner, off the window, so that no tooltip stays. Only while the main window
# takes input (no popup over it). Fails when nothing could be read. Reads
# with "$work/logread", which the sourcing script builds from bench/logread.cpp.
log_text() {
    local x y w h
    IFS=, read -r x y w h <<<"$(last_field "$1" 3)"
    [[ -n "$h" ]] || return 1
    # The panel: 8 px into the side panel, 160 px below its top (under the menu).
    on "$1" xdotool mousemove $((x + w - 160 + 3 + 8 + 70)) $((y + 19 + 160 + 60)) click 1 \
        sleep 0.2 key ctrl+a ctrl+c sleep 0.2 mousemove 1279 1023 >/dev/null 2>&1
    on "$1" "$work/logread" 3000
}

# sleep_until MICROSECONDS: waits for that wall-clock time without starting a process.
exec {lan_never}<> <(:)
sleep_until() {
    local us=$(($1 - ${EPOCHREALTIME//[.,]/})) seconds
    ((us > 0)) || return 0
    printf -v seconds '%d.%06d' $((us / 1000000)) $((us % 1000000))
    read -r -t "$seconds" -u "$lan_never"
}

# Prefixes each line read with the time it came, in microseconds.
stamp() {
    local line
    while IFS= read -r line; do echo "${EPOCHREALTIME//[.,]/} $line"; done
}

# click HOST X Y: prints the time the click ended.
click() {
    on "$1" xdotool mousemove "$2" "$3" click 1 >/dev/null 2>&1
    now_ms
}
# xdo_start HOST PIPE OUT: an xdotool started ahead on the host, reading its
# commands from the pipe PIPE (made here), so that a command is written at the
# moment rather than a process started then; each line it prints goes to OUT
# with the time it came (stamp). xdo_fd is the pipe's writing end.
# shellcheck disable=SC2034
xdo_start() {
    rm -f "$2" "$3"
    mkfifo "$2" || return 1
    on "$1" xdotool - <"$2" 2>/dev/null | stamp >"$3" &
    exec {xdo_fd}>"$2"
}
# answered_us OUT: the time (microseconds) of xdotool's second answer in OUT,
# after 5 s at the most; now if there is none.
answered_us() {
    local t
    until_ms $(($(now_ms) + 5000)) lines_at_least 2 "$1"
    t="$(sed -n 2p "$1" | cut -d' ' -f1)"
    echo "${t:-${EPOCHREALTIME//[.,]/}}"
}
# timed_click HOST X Y MICROSECONDS: a click at that wall-clock time, by an
# xdotool started ahead (xdo_start); the button goes down 50 ms ahead and up
# (when a click acts) at the moment, since xdotool's own "click" takes
# ~100 ms. clicked_ms is the time of xdotool's answer to the query right
# after the release: of the screen's size, which, unlike the mouse's
# location, names no window, since the window clicked may be gone by then
# (a popup's button closes it) and xdotool would end on the error.
# shellcheck disable=SC2034
timed_click() {
    local h="$1" t
    xdo_start "$h" "$rd/.click-$h" "$rd/.clicked-$h" || return 1
    echo "mousemove $2 $3 getmouselocation" >&"$xdo_fd"
    sleep_until $(($4 - 50000))
    echo "mousedown 1" >&"$xdo_fd"
    sleep_until "$4"
    echo "mouseup 1 getdisplaygeometry" >&"$xdo_fd"
    exec {xdo_fd}>&-
    t="$(answered_us "$rd/.clicked-$h")"
    clicked_ms=$((t / 1000))
}
lines_at_least() { (($(grep -c . "$2" 2>/dev/null) >= $1)); }
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
both_popups_are() { popup_is a "$1" && popup_is b "$1"; }
board_square_taken() {
    local board
    board="$(last_field "$1" 5)"
    [[ "$board" =~ ^[.AB]{64}$ && "${board:$2:1}" != . ]]
}
after_ms() { (($(now_ms) >= $1)); }
waited_as_host() { after_ms "$1" && popup_is a none; }
ready() { alive "$1" && start_board_shown "$1"; }

# host_alone: A presses "はじめる" alone: its search finds nobody, it says so
# for 3 s and hosts; returns once its popup has gone and at least 4 s have
# passed. Sets t_first (ms); troubles go to `notes`.
host_alone() {
    local x y
    read -r x y <<<"$(start_button a)"
    t_first="$(click a "$x" "$y")"
    until_ms $((t_first + 5000)) popup_is_not a none || notes+=("Ann showed no popup")
    until_ms $((t_first + 20000)) waited_as_host $((t_first + 4000)) ||
        notes+=("Ann's popup stayed")
    hosting a || notes+=("Ann not hosting")
}
# press_in_turn: host_alone, then B presses. Sets t_first and t_second (ms).
# shellcheck disable=SC2034
press_in_turn() {
    local x y
    read -r x y <<<"$(start_button b)"
    host_alone
    t_second="$(click b "$x" "$y")"
}
# take_first: A takes "先攻" in the first-move choice and both popups go;
# `board` is then A's starting position. Fails with a note.
take_first() {
    local x y
    read -r x y <<<"$(first_button)"
    click a "$x" "$y" >/dev/null
    if ! until_ms $(($(now_ms) + 15000)) both_popups_none; then
        notes+=("a popup stayed after the choice")
        return 1
    fi
    board="$(last_field a 5)"
}

# ---- the game ----

# reversi legal BOARD SIDE: the side's legal squares in reading order, a
#   "COLUMN ROW" line each;
# reversi play BOARD SIDE COLUMN ROW: the board after that move.
# A board is 64 characters column by column ('A' red, first; 'B' blue; '.').
reversi() {
    awk -v op="$1" -v b="$2" -v me="$3" -v pc="${4:-0}" -v pr="${5:-0}" '
        function at(c, r) { return (c < 1 || c > 8 || r < 1 || r > 8) ? "" : substr(b, (c - 1) * 8 + r, 1) }
        function put(c, r, v,   i) { i = (c - 1) * 8 + r; b = substr(b, 1, i - 1) v substr(b, i + 1) }
        function run(c, r, dc, dr,   n, cc, rr) {
            n = 0; cc = c + dc; rr = r + dr
            while (at(cc, rr) == you) { n++; cc += dc; rr += dr }
            return (n > 0 && at(cc, rr) == me) ? n : 0
        }
        function takes(c, r,   dc, dr) {
            if (at(c, r) != ".") return 0
            for (dc = -1; dc <= 1; dc++)
                for (dr = -1; dr <= 1; dr++)
                    if ((dc || dr) && run(c, r, dc, dr)) return 1
            return 0
        }
        BEGIN {
            you = me == "A" ? "B" : "A"
            if (op == "legal") {
                for (r = 1; r <= 8; r++)
                    for (c = 1; c <= 8; c++)
                        if (takes(c, r)) print c, r
                exit
            }
            for (dc = -1; dc <= 1; dc++)
                for (dr = -1; dr <= 1; dr++)
                    if (dc || dr) {
                        n = run(pc, pr, dc, dr)
                        for (k = 1; k <= n; k++) put(pc + k * dc, pr + k * dr, me)
                    }
            put(pc, pr, me)
            print b
        }'
}
# choice BOARD SIDE: the square the side plays (A the first legal, B the last),
# or nothing.
choice() {
    if [[ "$2" == A ]]; then
        reversi legal "$1" A | head -n 1
    else
        reversi legal "$1" B | tail -n 1
    fi
}
host_of() { echo "${SIDE_HOST[$1]}"; }
other_side() { [[ "$1" == A ]] && echo B || echo A; }

# The host's board shows the expected position, with no popup over it.
position_ready() { popup_is "$1" none && [[ "$(last_field "$1" 5)" == "$board" ]]; }
# shown_at HOST INDEX FROM_MS: the first sample from then on with that square taken.
shown_at() {
    awk -F'\t' -v i="$2" -v t="$3" '$1 >= t && $5 ~ /^[.AB]+$/ && substr($5, i + 1, 1) != "." {
        print $1; exit }' "$rd/screen-$1.tsv" 2>/dev/null
}
# The square is taken on the host's board, or the host shows a notice or has ended.
taken_or_notice() { board_square_taken "$1" "$2" || popup_is "$1" notice || ! alive "$1"; }

# prepare_move SIDE: waits until the side's board shows the position (`board`)
# and the program has had the time to take its turn; sets mv_c, mv_r, mv_i
# (the board index) or fails with a note.
prepare_move() {
    local side="$1" me
    me="$(host_of "$side")"
    read -r mv_c mv_r <<<"$(choice "$board" "$side")"
    if [[ -z "$mv_c" ]]; then
        notes+=("no legal move for ${NAME[$me]}")
        return 1
    fi
    mv_i=$(((mv_c - 1) * 8 + mv_r - 1))
    if ! until_ms $(($(now_ms) + 15000)) position_ready "$me"; then
        notes+=("${NAME[$me]} did not show the position (popup $(last_field "$me" 2))")
        return 1
    fi
    # After placing the opponent's piece the program pauses 300 ms before the turn is its own.
    sleep 0.6
}
# click_move SIDE [MICROSECONDS]: clicks the prepared square (the first time at
# that moment, if given) until the side's own board shows it (5 tries, 3 s
# each); sets mv_click, the time of the click that took, mv_tries, the clicks
# it took, and the new position.
click_move() {
    local side="$1" at="${2:-}" me try t
    me="$(host_of "$side")"
    local x y
    read -r x y <<<"$(square "$me" "$mv_c" "$mv_r")"
    for try in 1 2 3 4 5; do
        if [[ -n "$at" && "$try" == 1 ]]; then
            timed_click "$me" "$x" "$y" "$at"
            t="$clicked_ms"
        else
            t="$(click "$me" "$x" "$y")"
        fi
        if until_ms $((t + 3000)) board_square_taken "$me" "$mv_i"; then
            mv_click="$t"
            mv_tries="$try"
            board="$(reversi play "$board" "$side" "$mv_c" "$mv_r")"
            ((try > 1)) && notes+=("${NAME[$me]}'s move $mv_c,$mv_r took at click $try")
            return 0
        fi
        popup_is "$me" none || break
    done
    notes+=("${NAME[$me]}'s click on $mv_c,$mv_r did not take (popup $(last_field "$me" 2))")
    return 1
}
# await_move SIDE BOUND_MS: sets mv_shown, the time the move showed on the
# other board, or nothing when it did not within the bound (or a notice came).
await_move() {
    local other
    other="$(host_of "$(other_side "$1")")"
    mv_shown=""
    until_ms $((mv_click + $2)) taken_or_notice "$other" "$mv_i"
    mv_shown="$(shown_at "$other" "$mv_i" "$mv_click")"
}
# move SIDE BOUND_MS: one whole move; fails unless it showed on the other board.
move() {
    prepare_move "$1" && click_move "$1" || return 1
    await_move "$1" "$2"
    if [[ -z "$mv_shown" ]]; then
        notes+=("$1's move $mv_c,$mv_r not shown on the other board")
        return 1
    fi
}

# moves_log FILE: starts the log of a game's moves that play writes.
moves_log() { printf 'move\tside\tcolumn\trow\tclick_ms\tshown_ms\tdelay_ms\tclicks\n' >"$1"; }
# play LIMIT BOUND_MS LOG [UNTIL_MS [SIDE]]: moves from A's (or SIDE's) on, from
# `board`, LIMIT of them (0: to the game's end) and, if given, until the time
# UNTIL_MS (0: none); each must
# show on the other board within BOUND_MS, and a pass notice come as soon (it
# is answered with "OK"). Sets moves and passes, and play_side, the side to
# move next (once the game has ended: nothing); appends a row a move to LOG
# (moves_log: the click, when the move showed on the other board, the delay
# between, the clicks it took). Fails with notes.
# shellcheck disable=SC2034
play() {
    local limit="$1" bound="$2" log="$3" until="${4:-0}" side="${5:-A}" next mover x y
    moves=0
    passes=0
    play_side="$side"
    while ((moves < 64 && (limit == 0 || moves < limit))) && ((until == 0 || $(now_ms) < until)); do
        move "$side" "$bound" || return 1
        moves=$((moves + 1))
        printf '%d\t%s\t%d\t%d\t%s\t%s\t%d\t%d\n' "$moves" "$side" "$mv_c" "$mv_r" \
            "$mv_click" "$mv_shown" $((mv_shown - mv_click)) "$mv_tries" >>"$log"
        next="$(other_side "$side")"
        if [[ -n "$(choice "$board" "$next")" ]]; then
            side="$next"
        elif [[ -n "$(choice "$board" "$side")" ]]; then
            # The other side cannot move: its pass notice, then "OK".
            mover="$(host_of "$next")"
            if ! until_ms $(($(now_ms) + bound)) popup_is "$mover" notice; then
                notes+=("no pass notice on ${NAME[$mover]} after move $moves")
                return 1
            fi
            read -r x y <<<"$(ok_button)"
            sleep 0.3
            click "$mover" "$x" "$y" >/dev/null
            if ! until_ms $(($(now_ms) + 10000)) popup_is "$mover" none; then
                notes+=("the pass notice stayed on ${NAME[$mover]}")
                return 1
            fi
            passes=$((passes + 1))
        else
            play_side=""
            return 0 # nobody can move: the game is over
        fi
        play_side="$side"
    done
}

shot() {
    local h
    for h in "${HOSTS[@]}"; do
        [[ -n "${DISP[$h]:-}" ]] && on "$h" import -window root "$rd/failed-$h.png" 2>/dev/null
    done
}

# ---- a round's bookkeeping ----

# exit_status CODE: "exit N" or "signal NAME" for a program's status.
exit_status() {
    if (($1 > 128)); then
        echo "signal $(kill -l $(($1 - 128)) 2>/dev/null || echo $(($1 - 128)))"
    else
        echo "exit $1"
    fi
}
# end_round [TROUBLE [BOXES_WANTED]]: notes on programs that ended (but the one
# named in `killed`, ended on purpose) and, unless the round asked for them, on
# windows seen since t_round besides the main one (boxes_seen); a screenshot of
# both displays when anything went wrong; then the teardown.
end_round() {
    local h boxes trouble="${1:-0}" wanted="${2:-0}"
    for h in "${HOSTS[@]}"; do
        [[ "$h" == "${killed:-}" ]] && continue
        if [[ -n "${QPID[$h]:-}" ]] && ! alive "$h"; then
            wait "${QPID[$h]}"
            notes+=("${NAME[$h]} ended ($(exit_status $?))")
            trouble=1
        fi
        boxes=""
        ((wanted)) || boxes="$(boxes_seen "$h" "$t_round" "$(now_ms)")"
        if [[ -n "$boxes" ]]; then
            notes+=("${NAME[$h]} showed [$boxes]")
            trouble=1
        fi
    done
    ((trouble)) && shot
    teardown
}
# The caller's `notes`, joined by "; ", or "-".
joined_notes() {
    local note joined=""
    for note in "${notes[@]}"; do joined+="${joined:+; }$note"; done
    echo "${joined:--}"
}
# row FILE FORMAT FIELDS...: a line here and a row of the results file.
row() {
    local file="$1" format="$2"
    shift 2
    (IFS=$'\t' && echo "$*") >>"$file"
    # shellcheck disable=SC2059
    printf "$format" "$@"
}

seconds() { awk -v ms="$1" 'BEGIN { printf "%+.1f s", ms / 1000 }'; }

# median and range of the numbers on stdin: "MEDIAN (MIN-MAX)"
stats() {
    sort -g | awk 'NF { v[++n] = $1 } END {
        if (n == 0) { print "-"; exit }
        m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        printf "%g (%g-%g)\n", m, v[1], v[n] }'
}
