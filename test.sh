#!/usr/bin/env bash
# Installs what is missing, builds Veltroy and runs the whole test suite: on a
# plain build, on a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# the network tests on a ThreadSanitizer build, and a short fuzzing run of the
# network input parser. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs="$(nproc)"
status=0
net_tests='^(tst_lanx|tst_lanxreceive|tst_lantransport|tst_lanwire|tst_lanrules|tst_lanprocesses|router_netns)$'

run_ctest() {
    local dir="$1"
    shift
    # The end-to-end tests need an X server: Xvfb; the rest use the offscreen platform.
    if ! xvfb-run -a -s "-screen 0 1280x1024x24" \
        ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"; then
        status=1
    fi
}

echo "== plain build =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTROY_SANITIZE=ON \
    -DVELTROY_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
# The namespace test's long outages add little under the sanitizers: the
# transport's own tests run there.
run_ctest build-asan -E '^lan_netns$'

echo "== ThreadSanitizer build: network tests =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTROY_TSAN=ON \
    -DVELTROY_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target tst_lanx tst_lanxreceive tst_lantransport \
    tst_lanwire tst_lanrules tst_lanprocesses lanprobe
run_ctest build-tsan -R "$net_tests"

echo "== fuzzing the network input parser (short run) =="
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVELTROY_FUZZ=ON \
    -DVELTROY_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_lanwire
run_ctest build-fuzz -R '^fuzz_'

exit "$status"
