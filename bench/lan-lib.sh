# shellcheck shell=bash
# Shared machinery of the LAN benchmarks (bench/pairing.sh, bench/outage.sh):
# two host namespaces joined by a bridge namespace, an Xvfb with openbox and one
# Quorin on each host, clicks by xdotool and screens read by pairwatch. Sourced,
# not run.
#
# The sourcing script sets `build` (the build folder) and calls
#   lan_init NAME TAG   once: checks the tools, builds pairwatch, copies the build
#                       and arms the clean-up for every exit;
# then, for every round, sets `rd` (the round's folder) and calls make_lan,
# start_hosts and, at the end, teardown.
#
# The LAN: host A (10.77.9.1/24) and host B (10.77.9.2/24), each joined by a
# veth pair ("${tag}va" in A to "${tag}pa" in the bridge, the same for b) to
# the bridge br0 in the third namespace. Each host has its own Xvfb (1280x1024)
# with openbox and one Quorin, started afresh from a copy of the build with a
# settings file naming the player (A "Ann", B "Ben"). pairwatch writes what
# each screen shows to "$rd/screen-HOST.tsv" every 100 ms.

lan_name="${0##*/}"
die() {
    echo "$lan_name: $*" >&2
    exit 2
}

declare -A NS DISP QPID NAME=([a]=Ann [b]=Ben)
declare -A displays=() # display number -> its Xvfb's process id
work=""
rd=""

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
lan_cleanup() {
    teardown
    [[ -n "$work" ]] && rm -rf "$work"
}

# lan_init NAME TAG: NAME names the scratch folder, TAG (a few letters) the
# namespaces and interfaces of this run.
lan_init() {
    ((EUID == 0)) || die "needs root for the network namespaces"
    local tool
    for tool in Xvfb openbox xdotool xprop import ip nft ss g++; do
        command -v "$tool" >/dev/null ||
            die "$tool is missing (xvfb, openbox, xdotool, x11-utils, imagemagick, iproute2, nftables, g++)"
    done
    [[ -x "${build:?}/Quorin" ]] || die "no Quorin in $build"
    work="$(mktemp -d "/tmp/veltroy-$1-work.XXXXXX")"
    tag="$2$$"
    NS=([a]="${tag}a" [b]="${tag}b" [br]="${tag}br")
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
# before it end in exec).
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

# Both screens and both programs, each showing its starting board; on failure
# the reasons are added to the caller's `notes` array.
start_hosts() {
    local h failed=0
    for h in a b; do
        start_screen "$h" || { notes+=("no screen on $h"); failed=1; }
    done
    ((failed)) && return 1
    for h in a b; do start_program "$h"; done
    for h in a b; do
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
# The popup's buttons on the 1280x1024 screen: the first ("先攻", "もう一度")
# and the notice's "OK".
first_button() { echo "$((640 - 158 + 68)) $((512 - 82 + 120))"; }
ok_button() { echo "$((640 - 158 + 156)) $((512 - 82 + 112))"; }

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
# timed_click HOST X Y MICROSECONDS: a click at that wall-clock time. xdotool
# is started ahead and reads its commands from a pipe, so that the click is
# written at the moment rather than a process started then; the button goes
# down 50 ms ahead and up (when a click acts) at the moment, since xdotool's
# own "click" takes ~100 ms. clicked_ms is the time of xdotool's answer to the
# location query right after the release.
# shellcheck disable=SC2034
timed_click() {
    local h="$1" fifo="$rd/.click-$1" fd t
    rm -f "$fifo" "$rd/.clicked-$h"
    mkfifo "$fifo" || return 1
    on "$h" xdotool - <"$fifo" 2>/dev/null | stamp >"$rd/.clicked-$h" &
    exec {fd}>"$fifo"
    echo "mousemove $2 $3 getmouselocation" >&"$fd"
    sleep_until $(($4 - 50000))
    echo "mousedown 1" >&"$fd"
    sleep_until "$4"
    echo "mouseup 1 getmouselocation" >&"$fd"
    exec {fd}>&-
    until_ms $(($(now_ms) + 5000)) lines_at_least 2 "$rd/.clicked-$h"
    t="$(sed -n 2p "$rd/.clicked-$h" | cut -d' ' -f1)"
    t="${t:-${EPOCHREALTIME//[.,]/}}"
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

# press_in_turn: A presses "はじめる" alone first: its search finds nobody, it
# says so for 3 s and hosts; once its popup has gone and at least 4 s have
# passed, B presses. Sets t_first and t_second (ms); troubles go to `notes`.
# shellcheck disable=SC2034
press_in_turn() {
    local ax ay bx by
    read -r ax ay <<<"$(start_button a)"
    read -r bx by <<<"$(start_button b)"
    t_first="$(click a "$ax" "$ay")"
    until_ms $((t_first + 5000)) popup_is_not a none || notes+=("Ann showed no popup")
    until_ms $((t_first + 20000)) waited_as_host $((t_first + 4000)) ||
        notes+=("Ann's popup stayed")
    hosting a || notes+=("Ann not hosting")
    t_second="$(click b "$bx" "$by")"
}

shot() {
    local h
    for h in a b; do
        [[ -n "${DISP[$h]:-}" ]] && on "$h" import -window root "$rd/failed-$h.png" 2>/dev/null
    done
}

seconds() { awk -v ms="$1" 'BEGIN { printf "%+.1f s", ms / 1000 }'; }

# median and range of the numbers on stdin: "MEDIAN (MIN-MAX)"
stats() {
    sort -g | awk 'NF { v[++n] = $1 } END {
        if (n == 0) { print "-"; exit }
        m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        printf "%g (%g-%g)\n", m, v[1], v[n] }'
}
