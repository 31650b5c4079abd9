#!/usr/bin/env bash
# Benchmark of Quorin's start-up, memory, shared objects and idle cost while hosting,
# side by side with an empty Qt 6 window built here. Not part of the test suite.
#
# usage: bench/startup.sh [-r ROUNDS] [-w ROUNDS] [QUORIN...]
#   QUORIN     executables to compare (default: build/bin/Quorin); each is copied,
#              with the shared objects and helpers beside it, to a scratch folder
#   -r ROUNDS  start-up rounds, interleaved over the programs (default 7)
#   -w ROUNDS  hosting rounds per program (default 3)
#
# A second yardstick is the same window showing one label in the game's font
# family list: what any window with text pays on top (the font database).
#
# Everything runs inside a network namespace with only loopback up, made and
# removed here (needs root), on its own Xvfb display at 1920x1080 without a
# window manager. Sound goes to SDL's dummy driver, so a device is there to be
# opened and held, as on a desktop.
#
# Figures, as medians with the range of all rounds:
#   start    fork to the first top-level window mapped (MapNotify on the root)
#   rss      resident memory 3 s after the fork
#   objects  distinct shared objects mapped 3 s after the fork
#   cpu      CPU time of all threads over 10 s while hosting a session and
#            waiting for a player (name set, "はじめる" pressed)
#   wakeups  times any thread was scheduled in over those 10 s
# (from /proc/PID/status, /proc/PID/maps and /proc/PID/task/*/schedstat).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
start_rounds=7
host_rounds=3

if [[ "${1:-}" == --inside ]]; then
    inside=1
    shift
    work="$1"
    start_rounds="$2"
    host_rounds="$3"
    shift 3
else
    inside=0
    while getopts "r:w:" option; do
        case "$option" in
        r) start_rounds="$OPTARG" ;;
        w) host_rounds="$OPTARG" ;;
        *) exit 2 ;;
        esac
    done
    shift $((OPTIND - 1))
fi

if ((!inside)); then
    if ((EUID != 0)); then
        echo "startup.sh: needs root for the network namespace" >&2
        exit 2
    fi
    for tool in Xvfb xdotool g++ pkg-config ip ss; do
        command -v "$tool" >/dev/null || {
            echo "startup.sh: $tool is missing (xvfb, xdotool, g++, pkg-config, iproute2)" >&2
            exit 2
        }
    done
    programs=("$@")
    ((${#programs[@]})) || programs=("$repo/build/bin/Quorin")

    work="$(mktemp -d /tmp/veltroy-bench.XXXXXX)"
    ns="veltroy-bench-$$"
    cleanup() {
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "$work"
    }
    trap cleanup EXIT

    echo "building the probe and the empty window ..."
    g++ -O2 -std=c++20 "$here/maptime.cpp" -lX11 -o "$work/maptime"
    # shellcheck disable=SC2046
    g++ -O2 -std=c++20 -fPIC "$here/emptywindow.cpp" $(pkg-config --cflags --libs Qt6Widgets) \
        -o "$work/emptywindow"

    # Each Quorin runs from a copy beside its own settings file, which sets a
    # player name so that "はじめる" goes straight to the search.
    labels=()
    i=0
    for program in "${programs[@]}"; do
        i=$((i + 1))
        dir="$work/q$i"
        mkdir -p "$dir"
        src="$(dirname "$(readlink -f "$program")")"
        cp "$(readlink -f "$program")" "$dir/Quorin"
        find "$src" -maxdepth 1 -type f \( -name 'lib*.so*' -o -name 'Quorin-*' \) \
            -exec cp {} "$dir/" \;
        printf '[NAME]\r\nMYNAME=bench\r\n' >"$dir/Quorin.INI"
        labels+=("$program")
    done
    printf '%s\n' "${labels[@]}" >"$work/labels"

    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" "$0" --inside "$work" "$start_rounds" "$host_rounds" \
        "${programs[@]}"
    exit $?
fi

# ---- inside the namespace ----
mapfile -t labels <"$work/labels"
count=${#labels[@]}
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
export SDL_AUDIODRIVER=dummy
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
read -r -t 10 display <&3 || {
    echo "startup.sh: Xvfb did not start" >&2
    exit 1
}
export DISPLAY=":$display"
trap 'kill $xvfb 2>/dev/null || true' EXIT

# median and range of the numbers on stdin: "MEDIAN (MIN-MAX)"
stats() {
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%g (%g-%g)\n", m, v[1], v[NR] }'
}
median() { stats | cut -d' ' -f1; }

names=(empty label)
commands=("$work/emptywindow" "$work/emptywindow --label")
for ((i = 1; i <= count; i++)); do
    names+=("q$i")
    commands+=("$work/q$i/Quorin")
done

echo "start-up: $start_rounds interleaved rounds (and one to warm the caches) ..."
for ((round = 0; round <= start_rounds; round++)); do
    for k in "${!names[@]}"; do
        # shellcheck disable=SC2086
        line="$("$work/maptime" 3 ${commands[$k]} 2>/dev/null)" || {
            echo "startup.sh: ${commands[$k]} showed no window" >&2
            exit 1
        }
        ((round == 0)) || echo "$line" >>"$work/start.${names[$k]}"
    done
done

# The sum over all threads of field F of schedstat: 1 CPU ns, 2 wait ns, 3 timeslices.
schedsum() {
    local pid="$1" field="$2"
    cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk -v f="$field" '{ s += $f } END { printf "%d\n", s }'
}

hosting_round() {
    local dir="$1" out="$2"
    (cd "$dir" && exec setsid ./Quorin >/dev/null 2>&1) &
    local pid=$!
    local window
    window="$(timeout 10 xdotool search --sync --onlyvisible --name '^Veltroy$' | head -n1)" || true
    if [[ -z "$window" ]]; then
        kill -9 "$pid" 2>/dev/null || true
        echo "startup.sh: no main window" >&2
        return 1
    fi
    sleep 1
    # The start button lies 16 px into the 157 px side panel, below the menu bar.
    local width
    width="$(xwininfo -id "$window" | awk '/Width:/ { print $2 }')"
    xdotool mousemove --window "$window" $((width - 157 + 80)) 56 click 1
    # The search (up to 750 ms), then the popup for 3 s, then the wait.
    local hosting=0
    for _ in $(seq 1 40); do
        sleep 0.25
        if ss -Hulpn "sport = :43517" 2>/dev/null | grep -q "pid=$pid,"; then
            hosting=1
            break
        fi
    done
    if ((!hosting)); then
        kill -9 "$pid" 2>/dev/null || true
        echo "startup.sh: $dir/Quorin did not host a session" >&2
        return 1
    fi
    sleep 5
    local cpu0 wake0 cpu1 wake1
    cpu0="$(schedsum "$pid" 1)"
    wake0="$(schedsum "$pid" 3)"
    sleep 10
    cpu1="$(schedsum "$pid" 1)"
    wake1="$(schedsum "$pid" 3)"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "$(((cpu1 - cpu0) / 1000)) $((wake1 - wake0))" >>"$out"
}

echo "hosting and waiting: $host_rounds rounds of 10 s per program ..."
for ((round = 1; round <= host_rounds; round++)); do
    for ((i = 1; i <= count; i++)); do
        hosting_round "$work/q$i" "$work/host.q$i"
    done
done

empty_start="$(cut -d' ' -f1 "$work/start.empty" | median)"
echo
echo "Xvfb 1920x1080, no window manager; medians (ranges) of $start_rounds start-up and $host_rounds hosting rounds"
printf '%-44s %-22s %-18s %-14s %-18s %-18s\n' program "start ms (x empty)" "rss MiB at 3 s" "shared objects" "hosting cpu ms/10 s" "wake-ups/10 s"
row() {
    local label="$1" name="$2"
    local start rss objects ratio cpu="-" wake="-"
    start="$(cut -d' ' -f1 "$work/start.$name" | stats)"
    ratio="$(awk -v a="${start%% *}" -v b="$empty_start" 'BEGIN { printf "%.2f", a / b }')"
    rss="$(awk '{ printf "%.1f\n", $2 / 1024 }' "$work/start.$name" | stats)"
    objects="$(cut -d' ' -f3 "$work/start.$name" | stats)"
    if [[ -f "$work/host.$name" ]]; then
        cpu="$(awk '{ printf "%.1f\n", $1 / 1000 }' "$work/host.$name" | stats)"
        wake="$(cut -d' ' -f2 "$work/host.$name" | stats)"
    fi
    printf '%-44s %-22s %-18s %-14s %-18s %-18s\n' "$label" "$start x$ratio" "$rss" "$objects" "$cpu" "$wake"
}
row "empty Qt 6 window" empty
row "the same with one Japanese label" label
for ((i = 1; i <= count; i++)); do
    row "${labels[$((i - 1))]}" "q$i"
done
