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

# The suites of kelvane-tarn-test against a local cluster: the
# case-sensitive file system (the remove suite, which waits for idle usage
# counters, on a share of its own so it runs beside the others) and the
# case-insensitive one, each in its own process.
run_suites() {
    local build=$1 dir
    dir=$(mktemp -d /tmp/kelvane-ci.XXXXXX)
    timeout 900 "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file off \
        --fs tarn --fs tarn_rm --fs tarn_ci:ci -- \
        scripts/run-suites.sh "$build/bin/kelvane-tarn-test" local \
        "tarn:-TARNRemove*" "tarn_rm:TARNRemove*" tarn_ci
    local rc=$?
    rm -rf "$dir"
    return $rc
}

log=$(mktemp /tmp/kelvane-test.XXXXXX)
trap 'rm -f "$log"' EXIT
status=0
for dir in build build-asan; do
    echo "=== unit tests ($dir)"
    (cd "$dir" && timeout 900 ctest -j"$(nproc)" --output-on-failure) 2>&1 | tee -a "$log" || status=1
    echo "=== kelvane-tarn-test against the local cluster ($dir)"
    run_suites "$dir" 2>&1 | tee -a "$log" || status=1
    scripts/run-crash-drop.sh "$dir" 2>&1 | tee -a "$log" || status=1
done

timeout 600 scripts/ci-fuzz.sh 2>&1 | tee -a "$log" || status=1

# Negative controls: a cluster with one rule broken must make the suite that
# covers the rule fail.
echo "=== negative controls: kelvane-localcluster --break"
scripts/check-breaks.sh build || status=1

# One closing line over both builds: CTest's test programs plus the tests of
# the suite runs.
awk '
    /tests passed, [0-9]+ tests failed out of/ { passed += $9 - $4; failed += $4 }
    /^\[  PASSED  \] [0-9]+ test/ { passed += $4 }
    /^\[  FAILED  \] [0-9]+ test/ { failed += $4 }
    /^\[  SKIPPED \] [0-9]+ test/ { skipped += $4 }
    END { printf "Summary: %d passed, %d failed, %d skipped\n", passed, failed, skipped }
' "$log"
exit $status
