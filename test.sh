#!/usr/bin/env bash
# Installs what is missing, builds Veltroy twice (plain, and with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs the whole test suite on both builds.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs="$(nproc)"
status=0

run_suite() {
    local dir="$1"
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    # Tests that need a real X server run under Xvfb; the rest use the offscreen platform.
    if ! xvfb-run -a -s "-screen 0 1280x1024x24" \
        ctest --test-dir "$dir" --output-on-failure -j"$jobs"; then
        status=1
    fi
}

echo "== plain build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DVELTROY_SANITIZE=ON -DVELTROY_BENCH=OFF

exit "$status"
