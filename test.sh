#!/usr/bin/env bash
# Sets up, builds normally and with AddressSanitizer + UndefinedBehaviorSanitizer,
# and runs every test of both builds.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

kiv_setup_packages
kiv_build build
kiv_build build-asan -DKIV_SANITIZE=ON

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for dir in build build-asan; do
    echo "=== unit tests ($dir)"
    (cd "$dir" && timeout 900 ctest -j"$(nproc)" --output-on-failure) || status=1
done
exit $status
