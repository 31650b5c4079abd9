#!/usr/bin/env bash
# Builds the Debian package with debhelper from a clean copy of the checkout's
# committed files, checks it with lintian (any error fails), and puts the
# package into dist/. Installs whatever it needs that is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh debhelper dpkg-dev fakeroot lintian git

if [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
    echo "note: uncommitted changes are not part of the package" >&2
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/veltroy"
git archive --format=tar HEAD | tar -x -C "$work/veltroy"
(cd "$work/veltroy" && dpkg-buildpackage -b -us -uc -j"$(nproc)")

mkdir -p dist
rm -f dist/veltroy*
mv "$work"/veltroy*.deb "$work"/veltroy*.buildinfo "$work"/veltroy*.changes dist/
lintian --fail-on error dist/veltroy_*.changes
ls -l dist/
