#!/usr/bin/env bash
# Benchmark (not a test) of how real Quorin programs take up a game that was
# interrupted: after a crash and restart, after a laptop's sleep away from the
# LAN, after an outage of a whole room's switch; and what they do with a
# game that was begun anew or finished, and with a games file they cannot read.
#
# usage: bench/resume.sh [-n ROUNDS] [-c SCENARIOS] [-m MOVES] [-r MOVES] [-o FOLDER] [BUILD_DIR]
#   BUILD_DIR      folder of the build to test: Quorin, Quorin-* and lib*.so are
#                  copied from it (default: build/bin)
#   -n ROUNDS      rounds per scenario (default 1); NAME:ROUNDS in -c overrides it
#   -c SCENARIOS   comma-separated, from the list below (default: all of them),
#                  e.g. "kill:3,anew"
#   -m MOVES       moves played before the interruption in kill, laptop and anew
#                  (default 10)
#   -r MOVES       moves played in each game of the room before the outage
#                  (default 4)
#   -o FOLDER      where each round's screen traces, program output, files,
#                  syscall traces and figures go, with a screenshot of each
#                  display when a round goes wrong (default
#                  /tmp/veltroy-resume.DATE)
#
# Every round builds the LAN of bench/lan-lib.sh afresh (hosts joined by a
# bridge, each with its own Xvfb, openbox and Quorin: A "Ann", B "Ben"; the
# room adds C "Cid" to F "Fay"), pairs the programs by "はじめる" (A first,
# once it hosts, then B), and A takes "先攻" (red). A then plays the first legal
# square in reading order and B the last. Each program keeps its games in its
# own folder (a copy of the build), which a restart on the same host keeps.
#   kill     MOVES moves; B is killed (SIGKILL), started again in its folder
#            at once and "はじめる" pressed on it. Measured: when A lets the
#            game go (its leave notice, or its board back at the start); from
#            the press until the question "前回の対局の / 続きをしますか?"
#            (pairwatch's POPUP `question`: two buttons, no pieces) is on
#            each screen and on both, and on both from A's letting go; A
#            answers "つづける" and must then show the waiting popup (no
#            buttons), then B answers; from B's answer until each board
#            shows the position before the kill with no popup over it.
#            Checked: both games files held every move before the kill; the
#            log panel of both says "前回の対局を続けます"; the side to
#            move's click takes at once; the game is played on to its result
#            on both screens. Also measured, on A during the moves before the
#            kill with `perf trace` (the kernel's syscall tracepoints; the
#            program is not stopped, unlike under strace): how long each
#            write of the games file takes (fdatasync of the new file, its
#            rename over the old one, the folder's fsync, and the whole write
#            from the new file's opening to the end of that fsync).
#   laptop   MOVES moves; B is stopped (SIGSTOP) and its port on the bridge
#            goes down; 60 s later the port comes up and B goes on
#            (SIGCONT). Nothing is clicked, but "OK" on a leave notice still
#            open 40 s after the return (a program that has let the game go
#            pairs with its notice open: the greeting replaces it).
#            Measured: when each side let the game go (after the cut), and
#            whether its notice was seen (a notice that the next greeting
#            replaces within 100 ms escapes the samples; each log must tell
#            the leave then); from the return until the question is on each
#            screen and on both; then as in kill.
#   room     six hosts on the bridge pair in turn into three games (A+B,
#            C+D, E+F; C, E first like A) of -r moves each; then all ports of
#            the bridge go down for 40 s and come up again; "OK" as in
#            laptop. Each pair must show the question on both screens (a
#            program can only have been offered the game by its own
#            opponent); both answer "つづける" and both boards must show the
#            game's position; each side's log names its opponent (the last
#            "NAMEさんとはじめます"); two more moves are played in each game.
#            A program that shows the first-move choice instead has paired
#            with a stranger: its first button is clicked so that the log
#            can be read, and who it met is reported. Measured per pair: from
#            the return until the question on both, and from the second
#            answer until both boards are restored.
#   anew     as kill, but B answers "はじめから": both must show the
#            first-move choice (measured from B's answer); A takes "先攻" and
#            the game is played to its result; B is killed again once A shows
#            the leave notice, started again and "はじめる" pressed: the
#            first-move choice must come, not the question, as the game has
#            ended; B's games file must hold no game then.
#   badfile  B's Quorin_Games.txt is, before B starts: garbage (bytes from
#            /dev/urandom), a valid file cut in the middle, and (control) the
#            same valid file whole. Checked: B's log panel has one line about
#            a file it set aside (none for the control), a file
#            Quorin_Games.txt.unreadable-* lies beside with the bytes written
#            (none for the control); B pairs with A without the question, and
#            both play a move; B's games file then holds the game with A.
# The log panel is read by clicking into it, Ctrl+A, Ctrl+C and reading the
# display's clipboard (logread, built here). Times come from screen samples
# 100 ms apart (pairwatch), so they are up to ~100 ms late; a click's time is
# xdotool's answer right after the button's release (timed_click) or the end
# of the xdotool that clicked. The writes' times depend on the disk under the
# program's folder (a copy of the build in a folder of /tmp) and on what else
# writes to it.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
all_scenarios="kill,laptop,room,anew,badfile"

rounds=1
scenarios="$all_scenarios"
open_moves=10
room_moves=4
out=""
while getopts "n:c:m:r:o:" option; do
    case "$option" in
    n) rounds="$OPTARG" ;;
    c) scenarios="$OPTARG" ;;
    m) open_moves="$OPTARG" ;;
    r) room_moves="$OPTARG" ;;
    o) out="$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/lan-lib.sh
source "$here/lan-lib.sh"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "-n wants a positive count"
if ! [[ "$open_moves" =~ ^[0-9]+$ ]] || ((open_moves < 2 || open_moves > 40)); then
    die "-m wants 2 to 40 moves"
fi
if ! [[ "$room_moves" =~ ^[0-9]+$ ]] || ((room_moves < 1 || room_moves > 40)); then
    die "-r wants 1 to 40 moves"
fi
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
command -v perf >/dev/null || die "perf is missing (linux-perf): it times the writes"
lan_init resume vrs "${1:-}"
g++ -O2 -std=c++20 "$here/logread.cpp" -lX11 -o "$work/logread" || die "cannot build logread"

# ---- the screens and the programs' files ----

# The program's folder on a host (start_program's, kept over a restart).
folder() { echo "$work/round/$1"; }

# opponent_in_log TEXT: the name in the last "NAMEさんとはじめます" line.
opponent_in_log() { sed -n 's/^\(.*\)さんとはじめます$/\1/p' | tail -n 1; }

# The host's screen shows the position BOARD with no popup over it.
shows_position() { popup_is "$1" none && [[ "$(last_field "$1" 5)" == "$2" ]]; }
# restored_at HOST BOARD FROM_MS: the first sample from then on that does.
restored_at() {
    awk -F'\t' -v b="$2" -v t="$3" '$1 >= t && $2 == "none" && $5 == b { print $1; exit }' \
        "$rd/screen-$1.tsv" 2>/dev/null
}
# left_at HOST FROM_MS: the first sample from then on where the host has let
# its game go: the leave notice, or the starting position on its board (a
# notice replaced within 100 ms by the next pairing's greeting is not seen).
left_at() {
    awk -F'\t' -v b="$start_position" -v t="$2" '$1 >= t && ($2 == "notice" || $5 == b) { print $1; exit }' \
        "$rd/screen-$1.tsv" 2>/dev/null
}
# seen_since HOST STATE FROM_MS: the popup STATE showed from then on.
seen_since() { [[ -n "$(first_popup "$1" "$2" "$3")" ]]; }
# Both hosts showed the popup STATE since FROM_MS.
both_seen() { seen_since "$1" "$3" "$4" && seen_since "$2" "$3" "$4"; }
other_host() { [[ "$1" == a ]] && echo b || echo a; }
# since AT FROM: AT - FROM, or "-" without AT.
since() { [[ -n "$1" ]] && echo $(($1 - $2)) || echo -; }
# The later of two times, or nothing unless both are there.
later() { [[ -n "$1" && -n "$2" ]] && echo $(($1 > $2 ? $1 : $2)); }
# question_times SINCE: when the question came on A (sa) and on B (sb), on
# both (t), and each in ms after SINCE (qa, qb, qboth); the caller's locals.
question_times() {
    sa="$(first_popup a question "$1")"
    sb="$(first_popup b question "$1")"
    qa="$(since "$sa" "$1")"
    qb="$(since "$sb" "$1")"
    t="$(later "$sa" "$sb")"
    qboth="$(since "$t" "$1")"
}

# host_waits HOST: presses "はじめる" on the host while nobody else waits: its
# search finds nobody, says so and the host waits; returns once its popup has
# gone and at least 4 s have passed (host_alone of lan-lib, for any host).
host_waits() {
    local x y t
    read -r x y <<<"$(start_button "$1")"
    t="$(click "$1" "$x" "$y")"
    until_ms $((t + 5000)) popup_is_not "$1" none || notes+=("${NAME[$1]} showed no popup")
    until_ms $((t + 20000)) waited_alone "$1" $((t + 4000)) || notes+=("${NAME[$1]}'s popup stayed")
    hosting "$1" || notes+=("${NAME[$1]} not hosting")
}
waited_alone() { after_ms "$2" && popup_is "$1" none; }

# pair_hosts X Y: X waits alone, Y presses "はじめる", both show the first-move
# choice and X takes "先攻"; `board` is then the starting position, with X
# playing side A. Fails with a note.
pair_hosts() {
    local x y t
    host_waits "$1"
    read -r x y <<<"$(start_button "$2")"
    t="$(click "$2" "$x" "$y")"
    if ! until_ms $((t + 20000)) both_seen "$1" "$2" choice "$t"; then
        notes+=("no first-move choice on ${NAME[$1]} and ${NAME[$2]} ($(last_field "$1" 2), $(last_field "$2" 2))")
        return 1
    fi
    read -r x y <<<"$(first_button)"
    click "$1" "$x" "$y" >/dev/null
    if ! until_ms $(($(now_ms) + 15000)) both_none "$1" "$2"; then
        notes+=("a popup stayed after ${NAME[$1]}'s choice")
        return 1
    fi
    board="$(last_field "$1" 5)"
    if ! start_board_shown "$1" || [[ "$(last_field "$2" 5)" != "$board" ]]; then
        notes+=("${NAME[$1]} and ${NAME[$2]} do not show one starting position")
        return 1
    fi
}
both_none() { popup_is "$1" none && popup_is "$2" none; }

# continue_pair X Y [PNG]: X answers "つづける", must then show the waiting
# popup (no buttons; saved as PNG if given), and Y answers by a click timed
# ahead; t_cont is Y's answer.
continue_pair() {
    local x y
    read -r x y <<<"$(first_button)"
    click "$1" "$x" "$y" >/dev/null
    until_ms $(($(now_ms) + 5000)) popup_is "$1" plain ||
        notes+=("${NAME[$1]} showed no waiting popup after つづける ($(last_field "$1" 2))")
    sleep 0.5
    [[ -n "${3:-}" ]] && on "$1" import -window root "$3" 2>/dev/null
    timed_click "$2" "$x" "$y" $((${EPOCHREALTIME//[.,]/} + 300000))
    t_cont="$clicked_ms"
}

# How long after the network's return a leave notice still open gets "OK"
# (ms): late enough that the programs pair by themselves first, as they should
# (the one that slept lets the game go only ~23 s after it wakes).
ok_after=40000
# answer_notices FROM_MS HOST...: "OK" on each host whose leave notice is still
# open (once per host and round, in `answered`), noted with the time since FROM.
declare -A answered=()
answer_notices() {
    local from="$1" h x y
    shift
    read -r x y <<<"$(ok_button)"
    for h in "$@"; do
        if [[ -z "${answered[$h]:-}" ]] && popup_is "$h" notice; then
            click "$h" "$x" "$y" >/dev/null
            answered[$h]=1
            notes+=("${NAME[$h]}'s notice answered with OK at $(seconds $(($(now_ms) - from)))")
        fi
    done
}

# The starting position as pairwatch reads it (column by column).
start_position="$(printf '%27s' '' | tr ' ' .)AB......BA$(printf '%27s' '' | tr ' ' .)"
# opening_moves N: the first N moves of the game played here (A's first legal
# square, B's last), "CR" each (column, row), as the games file keeps them.
opening_moves() {
    local b="$start_position" side=A c r i text=""
    for ((i = 0; i < $1; i++)); do
        read -r c r <<<"$(choice "$b" "$side")"
        [[ -n "$c" ]] || break
        text+="$c$r"
        b="$(reversi play "$b" "$side" "$c" "$r")"
        side="$(other_side "$side")"
    done
    echo "$text"
}

# ---- the time a move's record takes to write ----

# trace_writes HOST: `perf trace` on the host's program (all its threads),
# the calls of a durable write only; trace_pid is perf's process. perf reads
# the kernel's syscall tracepoints and stops no thread, unlike strace's
# ptrace, which would stop the program at every call and lengthen each.
trace_writes() {
    perf trace -p "${QPID[$1]}" -e openat,fdatasync,fsync,rename,renameat,renameat2 \
        -o "$rd/perftrace-$1.txt" 2>"$rd/perftrace-$1.err" &
    trace_pid=$!
    # No sign of having attached: a second is plenty.
    sleep 1
    kill -0 "$trace_pid" 2>/dev/null || notes+=("perf trace did not start: $(head -c 200 "$rd/perftrace-$1.err")")
}
stop_trace() {
    kill -INT "$trace_pid" 2>/dev/null
    wait "$trace_pid" 2>/dev/null
}
# write_times TRACE_FILE: one line per write of a file by the program, in ms:
#   fdatasync rename fsync(folder) whole
# A write, per thread: the new file opened (O_TMPFILE), written, flushed
# (fdatasync), linked under a temporary name and renamed over the old file,
# then the folder opened and flushed (fsync); "whole" runs from the new file's
# opening to the end of that fsync. While moves are played only the games
# file is written (the id file is written once, at the first pairing).
write_times() {
    awk '
        # Lines: "MS ( DURATION ms): COMM/TID CALL(ARGS) = RESULT"
        match($0, /\( *[0-9.]+ ms\)/) {
            took = substr($0, RSTART + 1, RLENGTH - 5) + 0
            if (!match($0, /[^ ]+\/[0-9]+ [a-z0-9_]+\(/)) next
            split(substr($0, RSTART, RLENGTH - 1), w, " ")
            tid = w[1]; call = w[2]; at = $1 + 0
            if (call == "openat" && $0 ~ /TMPFILE/) { start[tid] = at; fds[tid] = ""; ren[tid] = ""; next }
            if (!(tid in start)) next
            if (call == "fdatasync") fds[tid] = took
            else if (call ~ /^rename/) ren[tid] = took
            else if (call == "fsync" && fds[tid] != "" && ren[tid] != "") {
                printf "%.3f %.3f %.3f %.3f\n", fds[tid], ren[tid], took, at + took - start[tid]
                delete start[tid]
            }
        }' "$1"
}

# ---- rounds ----

# begin_round SCENARIO N: a fresh LAN of two hosts and programs, paired, A
# first, both boards at the start; fails with notes.
begin_round() {
    HOSTS=(a b)
    SIDE_HOST=([A]=a [B]=b)
    start_round "$out/$1-$2" make_lan
    killed=""
    answered=()
    start_hosts || return 1
    sleep 0.5
    pair_hosts a b
}

# opening: the first MOVES moves; `before` is the position then, and
# `before_side` the side to move. Both screens must show it.
opening() {
    moves_log "$rd/moves.tsv"
    play "$open_moves" 15000 "$rd/moves.tsv" || return 1
    before="$board"
    before_side="$play_side"
    if ! until_ms $(($(now_ms) + 5000)) both_show "$before"; then
        notes+=("the boards differ after the opening")
        return 1
    fi
    # The last move's record is written a few hundred ms after it shows.
    sleep 1
    cp "$(folder a)/Quorin_Games.txt" "$rd/Ann-games-before.txt" 2>/dev/null
    cp "$(folder b)/Quorin_Games.txt" "$rd/Ben-games-before.txt" 2>/dev/null
    # Both files must hold every move played (the games here have no pass this early).
    local played on_disk h
    played="$(played_moves "$rd/moves.tsv")"
    for h in Ann Ben; do
        on_disk="$(recorded_moves "$rd/$h-games-before.txt")"
        [[ "$on_disk" == "$played" ]] || notes+=("$h's games file holds ${on_disk:-no game}, played $played")
    done
}
# played_moves MOVES_LOG: the moves of a play log, "CR" each.
played_moves() { awk -F'\t' 'NR > 1 { printf "%d%d", $3, $4 } END { print "" }' "$1"; }
# recorded_moves GAMES_FILE: the moves of its first (most recent) game.
recorded_moves() { awk 'length($1) == 32 && NF == 3 { print $3; exit }' "$1" 2>/dev/null; }
both_show() { shows_position a "$1" && shows_position b "$1"; }

# restart_b: B killed (SIGKILL) and started again in its folder, its board
# shown; t_kill, and t_ready (B's board again).
restart_b() {
    if [[ "$(cat "/proc/${QPID[b]}/comm" 2>/dev/null)" != Quorin ]]; then
        notes+=("Ben's process is not Quorin")
        return 1
    fi
    kill -KILL "${QPID[b]}"
    t_kill="$(now_ms)"
    killed=b
    wait "${QPID[b]}" 2>/dev/null
    start_program b
    if ! until_ms $(($(now_ms) + 30000)) ready b; then
        notes+=("Ben showed no board after the restart")
        return 1
    fi
    t_ready="$(now_ms)"
    killed=""
    # Which UDP ports the new program holds before it is asked to play: what
    # the opponent's packets to the old one now meet.
    ip netns exec "${NS[b]}" ss -Hulpn >>"$rd/udp-Ben-after-restart.txt" 2>&1
}
# press_start HOST: "はじめる"; t_press is the click's end.
press_start() {
    local x y
    read -r x y <<<"$(start_button "$1")"
    t_press="$(click "$1" "$x" "$y")"
}

# resumed_play: after both answered "つづける" at t_cont: the restored boards
# (ra, rb ms after it; `equal`), the log line on both (`logged`), then the game
# played on from the side to move to its result (`first` the clicks the first
# move took, `result` whether the result popup came on both).
resumed_play() {
    local ta tb
    until_ms $((t_cont + 15000)) both_show "$before"
    ta="$(restored_at a "$before" "$t_cont")"
    tb="$(restored_at b "$before" "$t_cont")"
    ra="$(since "$ta" "$t_cont")"
    rb="$(since "$tb" "$t_cont")"
    if [[ -n "$ta" && -n "$tb" ]]; then
        equal=yes
    else
        equal=no
        notes+=("boards: Ann $(last_field a 2) $(last_field a 5), Ben $(last_field b 2) $(last_field b 5), before $before")
        return 1
    fi
    local la lb
    la="$(log_text a)"
    lb="$(log_text b)"
    printf '%s\n' "$la" >"$rd/log-Ann.txt"
    printf '%s\n' "$lb" >"$rd/log-Ben.txt"
    logged=no
    grep -q '前回の対局を続けます' <<<"$la" && grep -q '前回の対局を続けます' <<<"$lb" && logged=yes
    [[ "$logged" == yes ]] || notes+=("log: Ann [$(tail -n 3 <<<"$la" | tr '\n' '/')], Ben [$(tail -n 3 <<<"$lb" | tr '\n' '/')]")
    board="$before"
    moves_log "$rd/moves-after.tsv"
    local ok=1
    play 0 15000 "$rd/moves-after.tsv" $(($(now_ms) + 600000)) "$before_side" || ok=0
    first="$(awk -F'\t' 'NR == 2 { print $8 }' "$rd/moves-after.tsv")"
    first="${first:--}"
    result=no
    if ((ok)) && [[ -z "$play_side" ]]; then
        until_ms $(($(now_ms) + 15000)) both_popups_are choice && result=yes
    fi
    after_moves="$moves"
}

kill_format='%-6s %3s  %9s %9s  %9s %9s %9s %9s  %-7s %7s %7s  %-5s %-4s %-5s %-7s %s\n'
kill_round() {
    local n="$1" notes=() notice=- restart=- qa=- qb=- qboth=- qleft=- waited=- ra=- rb=- equal=-
    local logged=- first=- result=- after_moves=0 t_cont="" trace_pid=""
    if begin_round kill "$n"; then
        trace_writes a
        opening
        local opened=$?
        stop_trace
        write_times "$rd/perftrace-a.txt" >"$rd/writes.txt"
        if ((opened == 0)) && restart_b; then
            restart=$((t_ready - t_kill))
            press_start b
            until_ms $((t_press + 60000)) both_seen a b question "$t_press" ||
                notes+=("no question on both (Ann $(last_field a 2), Ben $(last_field b 2))")
            local sa sb t
            question_times "$t_press"
            local left
            left="$(left_at a "$t_kill")"
            notice="$(since "$left" "$t_kill")"
            [[ -n "$left" && -n "$t" ]] && qleft=$((t - left))
            [[ -n "$(first_popup a notice "$t_kill")" ]] || notes+=("no leave notice seen on Ann")
            echo "kill $t_kill ready $t_ready press $t_press Ann_left ${left:-none} question_a ${sa:-none} question_b ${sb:-none}" \
                >>"$rd/timing.txt"
            if [[ "$qboth" != - ]]; then
                # The question as the first round's players see it.
                local png=""
                ((n == 1)) && on b import -window root "$out/kill-question-Ben.png" 2>/dev/null &&
                    png="$out/kill-waiting-Ann.png"
                continue_pair a b "$png"
                echo "continued $t_cont" >>"$rd/timing.txt"
                waited="$([[ -n "$(first_popup a plain "$sa")" ]] && echo yes || echo no)"
                resumed_play
            fi
        fi
    fi
    end_round "$([[ "$result" == yes && "$logged" == yes ]] || echo 1)"
    row "$out/kill.tsv" "$kill_format" kill "$n" "$notice" "$restart" "$qa" "$qb" "$qboth" "$qleft" \
        "$waited" "$ra" "$rb" "$equal" "$logged" "$first" "$after_moves/$result" "$(joined_notes)"
}

laptop_format='%-6s %3s  %10s %10s  %9s %9s %9s  %-5s %7s %7s  %-5s %-4s %-5s %-7s %s\n'
laptop_round() {
    local n="$1" notes=() la=- lb=- qa=- qb=- qboth=- waited=- ra=- rb=- equal=-
    local logged=- first=- result=- after_moves=0 t_cont="" h
    if begin_round laptop "$n" && opening; then
        local t_down t_up sa sb t
        kill -STOP "${QPID[b]}"
        host_link b down
        t_down="$(now_ms)"
        sleep_until $(((t_down + 60000) * 1000))
        host_link b up
        kill -CONT "${QPID[b]}"
        t_up="$(now_ms)"
        # Nothing is clicked, but "OK" on a notice still open late after the return.
        while (($(now_ms) < t_up + 90000)); do
            both_seen a b question "$t_up" && break
            (($(now_ms) >= t_up + ok_after)) && answer_notices "$t_up" a b
            sleep 0.1
        done
        # When each let the game go; "*": no leave notice seen on the screen
        # (one replaced within 100 ms by the next greeting escapes the samples).
        t="$(left_at a "$t_down")"
        [[ -n "$t" ]] && la="$(seconds $((t - t_down)))$(seen_since a notice "$t_down" || echo '*')"
        t="$(left_at b "$t_down")"
        [[ -n "$t" ]] && lb="$(seconds $((t - t_down)))$(seen_since b notice "$t_down" || echo '*')"
        echo "down $t_down up $t_up" >>"$rd/timing.txt"
        question_times "$t_up"
        if [[ "$qboth" != - ]]; then
            continue_pair a b
            waited="$([[ -n "$(first_popup a plain "$sa")" ]] && echo yes || echo no)"
            resumed_play
            # The leave as each log tells it (a notice may escape the screen's samples).
            for h in a b; do
                grep -q "${NAME[$(other_host "$h")]}さんがやめました" "$rd/log-${NAME[$h]}.txt" 2>/dev/null ||
                    notes+=("${NAME[$h]}'s log tells no leave")
            done
        else
            notes+=("no question on both in 90 s (Ann $(last_field a 2), Ben $(last_field b 2))")
            for h in a b; do hosting "$h" && notes+=("${NAME[$h]} hosting"); done
        fi
    fi
    end_round "$([[ "$result" == yes && "$logged" == yes ]] || echo 1)" 0
    row "$out/laptop.tsv" "$laptop_format" laptop "$n" "$la" "$lb" "$qa" "$qb" "$qboth" \
        "$waited" "$ra" "$rb" "$equal" "$logged" "$first" "$after_moves/$result" "$(joined_notes)"
}

# The room: pairs X+Y by their first host; per game its position and side to move.
room_pairs=(a:b c:d e:f)
declare -A game_board game_side
room_format='%-6s %3s  %-9s %-9s  %9s %9s  %-6s %-5s  %s\n'
room_round() {
    local n="$1" notes=() pair x y rows=()
    HOSTS=(a b c d e f)
    start_round "$out/room-$n" make_lan
    killed=""
    answered=()
    game_board=()
    game_side=()
    local ok=1
    start_hosts || ok=0
    sleep 0.5
    # The games, one after the other: each pair paired while the others play.
    if ((ok)); then
        for pair in "${room_pairs[@]}"; do
            x="${pair%:*}"
            y="${pair#*:}"
            SIDE_HOST=([A]="$x" [B]="$y")
            if ! pair_hosts "$x" "$y"; then
                ok=0
                break
            fi
            moves_log "$rd/moves-$x$y.tsv"
            play "$room_moves" 15000 "$rd/moves-$x$y.tsv" || { ok=0; break; }
            game_board[$x]="$board"
            game_side[$x]="$play_side"
        done
    fi
    local t_down t_up h
    if ((ok)); then
        sleep 1
        for pair in "${room_pairs[@]}"; do
            x="${pair%:*}"
            y="${pair#*:}"
            if ! shows_position "$x" "${game_board[$x]}" || ! shows_position "$y" "${game_board[$x]}"; then
                notes+=("${NAME[$x]}+${NAME[$y]} do not show their game before the outage")
            fi
            cp "$(folder "$x")/Quorin_Games.txt" "$rd/${NAME[$x]}-games-before.txt" 2>/dev/null
            cp "$(folder "$y")/Quorin_Games.txt" "$rd/${NAME[$y]}-games-before.txt" 2>/dev/null
        done
        # The switch goes: every port of the bridge down for 40 s.
        for h in "${HOSTS[@]}"; do host_link "$h" down; done
        t_down="$(now_ms)"
        sleep_until $(((t_down + 40000) * 1000))
        for h in "${HOSTS[@]}"; do host_link "$h" up; done
        t_up="$(now_ms)"
        # Until every pair shows the question on both, or a choice shows
        # anywhere (a stranger met), or 90 s.
        while (($(now_ms) < t_up + 90000)); do
            local all=1 strange=0
            for pair in "${room_pairs[@]}"; do
                both_seen "${pair%:*}" "${pair#*:}" question "$t_up" || all=0
            done
            for h in "${HOSTS[@]}"; do seen_since "$h" choice "$t_up" && strange=1; done
            ((all || strange)) && break
            (($(now_ms) >= t_up + ok_after)) && answer_notices "$t_up" "${HOSTS[@]}"
            sleep 0.1
        done
        ((strange)) && sleep 3 # the others' questions or choices too
        local leave=""
        for h in "${HOSTS[@]}"; do
            local t
            t="$(first_popup "$h" notice "$t_down")"
            leave+="${leave:+, }${NAME[$h]} $([[ -n "$t" ]] && seconds $((t - t_down)) || echo none)"
        done
        notes+=("leave notices after the cut: $leave")
        # Each pair that has the question on both goes on with its game.
        declare -A met=()
        for pair in "${room_pairs[@]}"; do
            x="${pair%:*}"
            y="${pair#*:}"
            local sx sy qboth="-" restored="-" equal="-" played="-" t_cont=""
            sx="$(first_popup "$x" question "$t_up")"
            sy="$(first_popup "$y" question "$t_up")"
            if [[ -n "$sx" && -n "$sy" ]]; then
                qboth="$(since "$(later "$sx" "$sy")" "$t_up")"
                continue_pair "$x" "$y"
                until_ms $((t_cont + 15000)) shows_both "$x" "$y" "${game_board[$x]}"
                local tx ty
                tx="$(restored_at "$x" "${game_board[$x]}" "$t_cont")"
                ty="$(restored_at "$y" "${game_board[$x]}" "$t_cont")"
                if [[ -n "$tx" && -n "$ty" ]]; then
                    equal=yes
                    restored="$(since "$(later "$tx" "$ty")" "$t_cont")"
                else
                    equal=no
                    notes+=("${NAME[$x]}+${NAME[$y]} boards: $(last_field "$x" 5) / $(last_field "$y" 5), before ${game_board[$x]}")
                fi
            fi
            rows+=("$x:$y:$qboth:$restored:$equal")
        done
        # Who met whom, from the logs of those with no popup (the games going
        # on); one that shows the first-move choice gets its first button
        # clicked, so that its window takes input again, and so its partner's.
        for h in "${HOSTS[@]}"; do
            if popup_is "$h" choice; then
                local bx by
                read -r bx by <<<"$(first_button)"
                click "$h" "$bx" "$by" >/dev/null
                until_ms $(($(now_ms) + 10000)) popup_is "$h" none
            fi
        done
        sleep 0.5
        for h in "${HOSTS[@]}"; do
            local text=""
            popup_is "$h" none && text="$(log_text "$h")"
            printf '%s\n' "$text" >"$rd/log-${NAME[$h]}.txt"
            met[$h]="$(opponent_in_log <<<"$text")"
            [[ -n "$text" ]] || met[$h]="? (popup $(last_field "$h" 2))"
        done
        local formed=""
        for h in "${HOSTS[@]}"; do formed+="${formed:+, }${NAME[$h]}→${met[$h]:-nobody}"; done
        notes+=("met: $formed")
        # Two more moves in each game that went on.
        local r
        for r in "${rows[@]}"; do
            IFS=: read -r x y qboth restored equal <<<"$r"
            played="-"
            if [[ "$equal" == yes ]]; then
                SIDE_HOST=([A]="$x" [B]="$y")
                board="${game_board[$x]}"
                moves_log "$rd/moves-$x$y-after.tsv"
                if play 2 15000 "$rd/moves-$x$y-after.tsv" 0 "${game_side[$x]}"; then
                    played="2 ok"
                else
                    played="FAILED"
                fi
            fi
            local own=no
            [[ "${met[$x]}" == "${NAME[$y]}" && "${met[$y]}" == "${NAME[$x]}" ]] && own=yes
            local lx ly
            lx="$(grep -c '前回の対局を続けます' "$rd/log-${NAME[$x]}.txt")"
            ly="$(grep -c '前回の対局を続けます' "$rd/log-${NAME[$y]}.txt")"
            ((lx > 0 && ly > 0)) || [[ "$equal" != yes ]] ||
                notes+=("${NAME[$x]}+${NAME[$y]}: \"前回の対局を続けます\" missing in a log")
            row "$out/room.tsv" "$room_format" room "$n" "${NAME[$x]}+${NAME[$y]}" \
                "$([[ "$own" == yes ]] && echo own || echo "${met[$x]:-?}+${met[$y]:-?}")" \
                "$qboth" "$restored" "$equal" "$played" "-"
            [[ "$equal" == yes && "$own" == yes && "$played" == "2 ok" ]] || ok=0
        done
    fi
    end_round "$((ok ? 0 : 1))" 0
    row "$out/room.tsv" "$room_format" room "$n" all - - - - - "$(joined_notes)"
    HOSTS=(a b)
    SIDE_HOST=([A]=a [B]=b)
}
shows_both() { shows_position "$1" "$3" && shows_position "$2" "$3"; }

anew_format='%-6s %3s  %9s  %9s %9s  %-8s  %9s %-8s %-9s  %s\n'
anew_round() {
    local n="$1" notes=() qboth=- ca=- cb=- game=- again=- question=- games=- t_cont=""
    if begin_round anew "$n" && opening && restart_b; then
        press_start b
        local sa sb t x y
        if until_ms $((t_press + 60000)) both_seen a b question "$t_press"; then
            qboth="$(since "$(later "$(first_popup a question "$t_press")" "$(first_popup b question "$t_press")")" "$t_press")"
            sleep 0.5
            # B begins anew: both must come to the first-move choice.
            read -r x y <<<"$(third_button)"
            timed_click b "$x" "$y" $((${EPOCHREALTIME//[.,]/} + 300000))
            t="$clicked_ms"
            until_ms $((t + 15000)) both_seen a b choice "$t"
            ca="$(since "$(first_popup a choice "$t")" "$t")"
            cb="$(since "$(first_popup b choice "$t")" "$t")"
            if [[ "$ca" != - && "$cb" != - ]] && pair_first; then
                moves_log "$rd/moves-new.tsv"
                if play 0 15000 "$rd/moves-new.tsv" $(($(now_ms) + 600000)) && [[ -z "$play_side" ]] &&
                    until_ms $(($(now_ms) + 15000)) both_popups_are choice; then
                    game="$moves moves"
                    sleep 1
                    cp "$(folder b)/Quorin_Games.txt" "$rd/Ben-games-after-result.txt" 2>/dev/null
                    # B again killed at the result; once A has told its player
                    # of the leave, B again starts and presses "はじめる".
                    if restart_b && until_ms $((t_kill + 60000)) popup_is a notice; then
                        notes+=("Ann's leave notice $(since "$(first_popup a notice "$t_kill")" "$t_kill") ms after the kill")
                        press_start b
                        until_ms $((t_press + 60000)) both_seen a b choice "$t_press"
                        sa="$(first_popup a choice "$t_press")"
                        sb="$(first_popup b choice "$t_press")"
                        again="$(since "$(later "$sa" "$sb")" "$t_press")"
                        question=no
                        { seen_since a question "$t_press" || seen_since b question "$t_press"; } && question=YES
                        # No game kept on either side with the other.
                        games="$(grep -c '^[0-9a-f]\{32\} ' "$(folder b)/Quorin_Games.txt" 2>/dev/null)"
                        games="Ben ${games:-0}, Ann $(grep -c '^[0-9a-f]\{32\} ' "$(folder a)/Quorin_Games.txt" 2>/dev/null)"
                    else
                        notes+=("no leave notice on Ann in 60 s after the second kill ($(last_field a 2))")
                    fi
                else
                    game="FAILED"
                fi
            fi
        else
            notes+=("no question on both (Ann $(last_field a 2), Ben $(last_field b 2))")
        fi
    fi
    end_round "$([[ "$again" != - && "$question" == no ]] || echo 1)"
    row "$out/anew.tsv" "$anew_format" anew "$n" "$qboth" "$ca" "$cb" "$game" "$again" "$question" \
        "$games" "$(joined_notes)"
}
# pair_first: A takes "先攻" in the choice on both screens (take_first of lan-lib).
pair_first() { take_first; }

badfile_format='%-6s %3s %-8s  %-6s %-6s %-6s  %-7s %-6s %-6s  %s\n'
# badfile_round N KIND: B starts with a games file of KIND (garbage, cut or whole).
badfile_round() {
    local n="$1" kind="$2" notes=() aside=- lines=- same=- paired=- played=- kept=-
    HOSTS=(a b)
    SIDE_HOST=([A]=a [B]=b)
    start_round "$out/badfile-$kind-$n" make_lan
    killed=""
    # The file, in B's folder before B first starts: a game of 10 moves with a
    # stranger, whole or cut at half its length, or random bytes.
    mkdir -p "$(folder b)"
    local file
    file="$(folder b)/Quorin_Games.txt"
    local valid stranger
    stranger="$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
    valid="$(printf 'Veltroy games 1\n%s 1 %s\nend\n' "$stranger" "$(opening_moves 10)")"$'\n'
    case "$kind" in
    garbage) head -c 300 /dev/urandom >"$file" ;;
    cut) printf '%s' "${valid:0:$((${#valid} / 2))}" >"$file" ;;
    whole) printf '%s' "$valid" >"$file" ;;
    esac
    cp "$file" "$rd/Ben-games-written.bin"
    if start_hosts; then
        sleep 1
        local text
        text="$(log_text b)"
        printf '%s\n' "$text" >"$rd/log-Ben-at-start.txt"
        lines="$(grep -c '読めないため' <<<"$text")"
        local found=("$(folder b)"/Quorin_Games.txt.unreadable-*)
        if [[ -e "${found[0]}" ]]; then
            aside="${#found[@]}"
            cmp -s "${found[0]}" "$rd/Ben-games-written.bin" && same=yes || same=no
            cp "${found[0]}" "$rd/"
        else
            aside=0
        fi
        # B pairs with A (no question: A keeps no game with B) and both move.
        press_in_turn
        if until_ms $((t_second + 20000)) both_popups_are choice; then
            paired=yes
            seen_since a question "$t_first" || seen_since b question "$t_first" && paired="QUESTION"
            if take_first; then
                moves_log "$rd/moves.tsv"
                play 2 15000 "$rd/moves.tsv" && played=yes || played=no
                sleep 1
                # B's games file now holds its game with A (by A's id).
                local id
                id="$(sed -n 2p "$(folder a)/Quorin_Id.txt" 2>/dev/null)"
                cp "$file" "$rd/Ben-games-after.txt" 2>/dev/null
                kept=no
                [[ -n "$id" ]] && grep -q "^$id -1 " "$file" && kept=yes
                [[ "$kind" == whole ]] && ! grep -q "^$stranger " "$file" && kept="no stranger"
            fi
        else
            paired=no
            notes+=("no first-move choice on both (Ann $(last_field a 2), Ben $(last_field b 2))")
        fi
    fi
    local good=0
    if [[ "$kind" == whole ]]; then
        [[ "$aside" == 0 && "$lines" == 0 ]] && good=1
    else
        [[ "$aside" == 1 && "$lines" == 1 && "$same" == yes ]] && good=1
    fi
    [[ "$paired" == yes && "$played" == yes && "$kept" == yes ]] || good=0
    end_round "$((1 - good))"
    row "$out/badfile.tsv" "$badfile_format" badfile "$n" "$kind" "$aside" "$lines" "$same" \
        "$paired" "$played" "$kept" "$(joined_notes)"
}

echo "build: $build"
echo "results: $out"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) CPUs)"
echo "screens sampled every 100 ms: times are up to ~100 ms late"
for c in "${chosen[@]}"; do
    name="${c%%:*}"
    echo
    case "$name" in
    kill)
        echo "kill: after $open_moves moves B is killed, restarted and presses はじめる. ms: Ann lets the"
        echo "game go (leave notice or board reset) after the kill; B's board after the kill; the"
        echo "question on Ann, Ben, both after the press, and on both after Ann let go; Ann's waiting"
        echo "popup after her つづける; each board restored after Ben's つづける; boards equal; log"
        echo "line on both; clicks the next move took; moves to the result/result on both"
        printf 'scenario\tround\tAnn_left_ms\trestart_ms\tquestion_Ann_ms\tquestion_Ben_ms\tquestion_both_ms\tquestion_after_left_ms\twaiting_popup\trestored_Ann_ms\trestored_Ben_ms\tequal\tlogged\tfirst_clicks\tto_result\tnotes\n' \
            >"$out/kill.tsv"
        # shellcheck disable=SC2059
        printf "$kill_format" scenario n Ann_left restart q_Ann q_Ben q_both q_left waiting r_Ann r_Ben equal log click result notes
        for ((n = 1; n <= count[$name]; n++)); do kill_round "$n"; done
        ;;
    laptop)
        echo "laptop: after $open_moves moves B sleeps (SIGSTOP) off the LAN for 60 s. When each let the"
        echo "game go (leave notice or board reset; s after the cut; * no notice seen on the screen);"
        echo "ms from the return to the question on Ann, Ben, both; then as kill"
        printf 'scenario\tround\tleave_Ann\tleave_Ben\tquestion_Ann_ms\tquestion_Ben_ms\tquestion_both_ms\twaiting_popup\trestored_Ann_ms\trestored_Ben_ms\tequal\tlogged\tfirst_clicks\tto_result\tnotes\n' \
            >"$out/laptop.tsv"
        # shellcheck disable=SC2059
        printf "$laptop_format" scenario n leave_Ann leave_Ben q_Ann q_Ben q_both waiting r_Ann r_Ben equal log click result notes
        for ((n = 1; n <= count[$name]; n++)); do laptop_round "$n"; done
        ;;
    room)
        echo "room: three games of $room_moves moves on one bridge, all ports down 40 s. Per game: who"
        echo "met (own: each side's log names the other); ms from the return until the question on"
        echo "both; ms from the second つづける until both boards show the game; equal; 2 more moves"
        printf 'scenario\tround\tgame\tmet\tquestion_both_ms\trestored_both_ms\tequal\tplayed_on\tnotes\n' \
            >"$out/room.tsv"
        # shellcheck disable=SC2059
        printf "$room_format" scenario n game met q_both restored equal more notes
        for ((n = 1; n <= count[$name]; n++)); do room_round "$n"; done
        ;;
    anew)
        echo "anew: as kill, but Ben answers はじめから. ms: question on both after the press; the"
        echo "choice on Ann, Ben after Ben's answer; the new game to its result; after B is killed"
        echo "at the result and presses はじめる again: the choice on both (ms), question seen, games kept"
        printf 'scenario\tround\tquestion_both_ms\tchoice_Ann_ms\tchoice_Ben_ms\tnew_game\tchoice_again_ms\tquestion_again\tgames_kept\tnotes\n' \
            >"$out/anew.tsv"
        # shellcheck disable=SC2059
        printf "$anew_format" scenario n q_both c_Ann c_Ben game again question kept notes
        for ((n = 1; n <= count[$name]; n++)); do anew_round "$n"; done
        ;;
    badfile)
        echo "badfile: B starts with a games file of random bytes, a valid one cut in half, or (control)"
        echo "the valid one whole: files set aside, log lines about it, the set-aside bytes those"
        echo "written; paired (choice on both, no question); a move each; B's file then holds the game"
        printf 'scenario\tround\tkind\tset_aside\tlog_lines\tsame_bytes\tpaired\tplayed\tkept\tnotes\n' \
            >"$out/badfile.tsv"
        # shellcheck disable=SC2059
        printf "$badfile_format" scenario n kind aside lines same paired played kept notes
        for ((n = 1; n <= count[$name]; n++)); do
            for kind in garbage cut whole; do badfile_round "$n" "$kind"; done
        done
        ;;
    esac
done

# ---- summary ----
echo
echo "summary (ms; screens sampled every 100 ms, so ~100 ms resolution)"
num_column() { awk -F'\t' -v c="$2" 'NR > 1 && $c ~ /^[0-9]+$/ { print $c }' "$1"; }
max_of() { sort -g | tail -n 1; }
for c in "${chosen[@]}"; do
    name="${c%%:*}"
    file="$out/$name.tsv"
    total="$(awk 'NR > 1' "$file" | grep -c .)"
    case "$name" in
    kill | laptop)
        # kill has one column more (question_after_left_ms) after the question's.
        k=0
        [[ "$name" == kill ]] && k=1
        q="$(num_column "$file" 7)"
        r="$(awk -F'\t' -v k="$k" 'NR > 1 && $(9 + k) ~ /^[0-9]+$/ && $(10 + k) ~ /^[0-9]+$/ {
            print ($(9 + k) > $(10 + k) ? $(9 + k) : $(10 + k)) }' "$file")"
        done_both="$(awk -F'\t' -v k="$k" 'NR > 1 && $(11 + k) == "yes" && $(12 + k) == "yes" && $(14 + k) ~ /yes$/' "$file" | grep -c .)"
        from="the press"
        [[ "$name" == laptop ]] && from="the return"
        printf '%-8s question on both after %s: %s, max %s; boards restored on both after the 2nd つづける: %s, max %s; continued to the result %s/%s\n' \
            "$name" "$from" "$(stats <<<"$q")" "$(max_of <<<"$q")" "$(stats <<<"$r")" "$(max_of <<<"$r")" \
            "$done_both" "$total"
        if [[ "$name" == kill ]]; then
            q="$(num_column "$file" 8)"
            printf '%-8s question on both after Ann let the game go: %s, max %s\n' "" "$(stats <<<"$q")" \
                "$(max_of <<<"$q")"
            writes="$(cat "$out"/kill-*/writes.txt 2>/dev/null)"
            for f in 1:fdatasync 2:rename 3:"fsync(folder)" 4:"whole write"; do
                col="${f%%:*}"
                vals="$(awk -v c="$col" 'NF >= 4 { print $c }' <<<"$writes")"
                printf '%-8s games file writes (%s, perf trace on Ann): %-14s median %s ms, max %s ms\n' \
                    "" "$(grep -c . <<<"$vals")" "${f#*:}" "$(stats <<<"$vals" | cut -d' ' -f1)" "$(max_of <<<"$vals")"
            done
            both="$(awk 'NF >= 4 { printf "%.3f\n", $1 + $2 }' <<<"$writes")"
            printf '%-8s fdatasync + rename per write: median %s ms, max %s ms\n' "" \
                "$(stats <<<"$both" | cut -d' ' -f1)" "$(max_of <<<"$both")"
        fi
        ;;
    room)
        games="$(awk -F'\t' 'NR > 1 && $3 != "all"' "$file")"
        own="$(awk -F'\t' '$4 == "own" && $7 == "yes" && $8 == "2 ok"' <<<"$games" | grep -c .)"
        q="$(awk -F'\t' '$5 ~ /^[0-9]+$/ { print $5 }' <<<"$games")"
        r="$(awk -F'\t' '$6 ~ /^[0-9]+$/ { print $6 }' <<<"$games")"
        printf '%-8s games re-formed with their own opponent and continued: %s/%s; question on both after the return %s, max %s; restored %s, max %s\n' \
            room "$own" "$(grep -c . <<<"$games")" "$(stats <<<"$q")" "$(max_of <<<"$q")" \
            "$(stats <<<"$r")" "$(max_of <<<"$r")"
        ;;
    anew)
        ok="$(awk -F'\t' 'NR > 1 && $4 ~ /^[0-9]+$/ && $5 ~ /^[0-9]+$/ && $7 ~ /^[0-9]+$/ && $8 == "no"' "$file" | grep -c .)"
        ch="$(paste <(awk -F'\t' 'NR > 1 { print $4 }' "$file") <(awk -F'\t' 'NR > 1 { print $5 }' "$file") |
            awk '$1 ~ /^[0-9]+$/ && $2 ~ /^[0-9]+$/ { print ($1 > $2 ? $1 : $2) }')"
        printf '%-8s choice on both after はじめから: %s; choice (no question) after a finished game %s/%s, after the press %s\n' \
            anew "$(stats <<<"$ch")" "$ok" "$total" "$(num_column "$file" 7 | stats)"
        ;;
    badfile)
        for kind in garbage cut whole; do
            kind_rows="$(awk -F'\t' -v k="$kind" 'NR > 1 && $3 == k' "$file")"
            if [[ "$kind" == whole ]]; then
                good="$(awk -F'\t' '$4 == "0" && $5 == "0" && $7 == "yes" && $8 == "yes" && $9 == "yes"' <<<"$kind_rows" | grep -c .)"
                what="kept, nothing set aside"
            else
                good="$(awk -F'\t' '$4 == "1" && $5 == "1" && $6 == "yes" && $7 == "yes" && $8 == "yes" && $9 == "yes"' <<<"$kind_rows" | grep -c .)"
                what="set aside once, one log line, then paired and played"
            fi
            printf '%-8s %-8s %s: %s/%s\n' badfile "$kind" "$what" "$good" "$(grep -c . <<<"$kind_rows")"
        done
        ;;
    esac
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "per-round traces, program output, logs, files and screenshots: $out"
