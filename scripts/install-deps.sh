#!/usr/bin/env bash
# Installs the Debian packages Veltroy needs to build, run and test, and any named
# as arguments, if any is missing.
set -euo pipefail

packages=(
    cmake g++ ninja-build pkg-config clang libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools qt6-base-private-dev qt6-qpa-plugins libgl-dev libfontconfig-dev
    libsdl2-dev libjpeg62-turbo-dev libenet-dev libminiupnpc-dev libnatpmp-dev
    libemf2svg-dev libwmf-dev qt6-svg-dev
    fonts-ipafont-gothic qt6-translations-l10n
    fonts-urw-base35
    xvfb xauth iproute2 openbox xdotool imagemagick x11-utils
    desktop-file-utils appstream libxml2-utils nftables
    miniupnpd-nftables miniupnpc natpmpc
)
# Callers may ask for more (the package build does).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=()
    if ((EUID != 0)); then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
