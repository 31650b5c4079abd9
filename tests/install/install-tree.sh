#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree: exactly
# the program's files, the executable and the visual-styles library side by side in
# the private folder, the launcher leading to the executable, and valid desktop files.
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
    "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" "share/man/man6/quorin.6")
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
echo "installed tree complete"
