#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree: exactly
# the program's files, the executable and the visual-styles library side by side in
# the private folder, the launcher leading to the executable, valid desktop files, and
# firewall profiles that ufw and firewalld can read and that open the game's ports.
# Usage: install-tree.sh <build dir> <private folder> <launcher folder>, both relative
# to the prefix.
set -euo pipefail
build="$1"
private="$2"
launcher="$3/quorin"
id=org.example.veltroy
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

expected=("$launcher" "$private/Quorin" "$private/Quorin-metafile" "$private/libUxTheme.so"
    "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" "share/man/man6/quorin.6"
    etc/ufw/applications.d/veltroy lib/firewalld/services/veltroy.xml)
sizes=(16 22 24 32 48 64 128 256)
for s in "${sizes[@]}"; do
    expected+=("share/icons/hicolor/${s}x$s/apps/$id.png")
done
diff -u <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . ! -type d | cut -c3- | sort) ||
    fail "the installed files differ from the expected ones (- expected, + installed)"

[[ -x $prefix/$private/Quorin ]] || fail "the executable is not executable"
[[ -L $prefix/$launcher && $(readlink -f "$prefix/$launcher") == "$prefix/$private/Quorin" ]] ||
    fail "$launcher does not lead to the executable"
grep -qx 'Exec=quorin' "$prefix/share/applications/$id.desktop" || fail "the menu entry runs something else"
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "AppStream metadata"
for s in "${sizes[@]}"; do
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    read -r w h < <(od -An -j16 -N8 -tu1 "$prefix/share/icons/hicolor/${s}x$s/apps/$id.png" |
        awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    [[ $w == "$s" && $h == "$s" ]] || fail "the ${s}x$s icon is ${w}x$h"
done

# Both firewall profiles open UDP 43517 (discovery) and 43518-43525 (sessions and the
# answers to a search), nothing else. expand lists "port/protocol" for "a,b:c".
want="$(printf '%s/udp\n' 43517 $(seq 43518 43525))"
expand() { for p in ${1//,/ }; do seq -f "%g/$2" "${p%:*}" "${p#*:}"; done; }
ufw="$prefix/etc/ufw/applications.d/veltroy"
[[ $(grep -c '^\[' "$ufw") == 1 ]] && grep -qx '\[Veltroy\]' "$ufw" || fail "ufw profile section"
for key in title description ports; do
    [[ $(grep -c "^$key=." "$ufw") == 1 ]] || fail "the ufw profile needs one $key"
done
IFS='|' read -ra entries < <(sed -n 's/^ports=//p' "$ufw")
got="$(for e in "${entries[@]}"; do
    # ufw wants a protocol on a list or a range, and writes a range as a:b.
    if [[ $e =~ ^([0-9]+)$ ]]; then expand "$e" tcp; expand "$e" udp
    elif [[ $e =~ ^([0-9,:]+)/(tcp|udp)$ ]]; then expand "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
    else fail "ufw cannot read the ports entry '$e'"; fi
done | sort -u)"
[[ $got == "$(sort <<<"$want")" ]] || fail "the ufw profile opens: $got"
if /usr/bin/python3 -c 'import ufw' 2>/dev/null; then # ufw's own reader, where installed
    /usr/bin/python3 -c 'import gettext, sys; gettext.install("ufw"); import ufw.applications as a
sys.exit("Veltroy" not in a.get_profiles(sys.argv[1]))' "${ufw%/*}" || fail "ufw skips the profile"
fi
fwd="$prefix/lib/firewalld/services/veltroy.xml"
xmllint --noout "$fwd" || fail "the firewalld service is not well-formed XML"
[[ -n $(xmllint --xpath 'string(/service/short)' "$fwd") ]] || fail "the firewalld service has no name"
got="$(for ((i = 1; i <= $(xmllint --xpath 'count(/service/port)' "$fwd"); i++)); do
    port=$(xmllint --xpath "string(/service/port[$i]/@port)" "$fwd")
    proto=$(xmllint --xpath "string(/service/port[$i]/@protocol)" "$fwd")
    # firewalld takes one port or a range a-b per element.
    [[ $port =~ ^[0-9]+(-[0-9]+)?$ && $proto =~ ^(tcp|udp)$ ]] || fail "firewalld port '$port/$proto'"
    expand "${port/-/:}" "$proto"
done | sort -u)"
[[ $got == "$(sort <<<"$want")" ]] || fail "the firewalld service opens: $got"
echo "installed tree complete"
