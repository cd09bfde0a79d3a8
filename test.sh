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
# case-insensitive one, each in its own process. The tests that wait for
# idle counters or fill a share get shares of their own too, and so do the
# replication suites, which crash a data server; the data and replication
# suites read no case property and skip the case-insensitive run.
run_suites() {
    local build=$1 dir
    # The 32 GiB test also on a share too small for 32 GiB, so that its 8 GiB
    # fallback runs: once, in the normal build.
    local small_rw_fs=() small_rw=()
    if [ "$(basename "$build")" = build ]; then
        small_rw_fs=(--fs d_rw8)
        small_rw=("d_rw8:RandomAccessReadWriteTest.ConcurrentWriteRead32GiB")
    fi
    local data='TARNDataIOTest.*:ReadWriteTest/*:RandomAccessReadWriteTest.*:TARNFAllocateTest.*:TARNUsageTest.*:TARNSpaceLimitsTest.*:TARNExtendedAttributesTest/*'
    local slow='RandomAccessReadWriteTest.*:TARNFAllocateTest.LargeFile:TARNFAllocateTest.NotEnoughSpace:TARNUsageTest.*:TARNSpaceLimitsTest.*'
    # The replication suite measures the server's latency (98 % of updates
    # replicated within 1 s): it runs on a cluster of its own, at a higher
    # priority where the machine allows it, so that the other jobs of a busy
    # machine are not counted as the server's latency.
    local repl_dir repl_pid boost=()
    [ "$(id -u)" -eq 0 ] && boost=(nice -n -10)
    repl_dir=$(mktemp -d /tmp/kelvane-ci.XXXXXX)
    "${boost[@]}" timeout 600 "$build/bin/kelvane-localcluster" run --dir "$repl_dir" --host-id-file off \
        --fs tarn_repl -- scripts/run-suites.sh "$build/bin/kelvane-tarn-test" local "tarn_repl:TARNReplication*" &
    repl_pid=$!
    dir=$(mktemp -d /tmp/kelvane-ci.XXXXXX)
    timeout 900 "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file off \
        --fs tarn --fs tarn_rm --fs tarn_ci:ci \
        --fs d_rw:cap=40G "${small_rw_fs[@]}" --fs d_fa --fs d_use --fs d_sf --fs d_mf -- \
        scripts/run-suites.sh "$build/bin/kelvane-tarn-test" local \
        "tarn:-TARNRemove*:TARNReplication*:$slow" "tarn_rm:TARNRemove*" "tarn_ci:-$data:TARNReplication*" \
        "d_rw:RandomAccessReadWriteTest.*" "d_fa:TARNFAllocateTest.LargeFile:TARNFAllocateTest.NotEnoughSpace" \
        "d_use:TARNUsageTest.*" "d_sf:TARNSpaceLimitsTest.SingleFile" "d_mf:TARNSpaceLimitsTest.ManyFiles" \
        "${small_rw[@]}"
    local rc=$?
    wait "$repl_pid" || rc=1
    rm -rf "$dir" "$repl_dir"
    return $rc
}

log=$(mktemp /tmp/kelvane-test.XXXXXX)
ft_log=$(mktemp /tmp/kelvane-ft.XXXXXX)
tsan_log=$(mktemp /tmp/kelvane-tsan.XXXXXX)
trap 'rm -f "$log" "$ft_log" "$tsan_log"' EXIT
status=0
# The HA job and the fault-tolerance negative controls, beside the rest.
timeout 1500 scripts/ci-ft.sh build build-asan >"$ft_log" 2>&1 & ft_pid=$!
# The ThreadSanitizer build and its unit tests, on half of the processors and
# at a lower priority: the suites in the foreground set the wall time.
nice -n 10 timeout 1200 scripts/ci-tsan.sh $((($(nproc) + 1) / 2)) >"$tsan_log" 2>&1 & tsan_pid=$!
for dir in build build-asan; do
    echo "=== unit tests ($dir)"
    (cd "$dir" && timeout 900 ctest -j"$(nproc)" --output-on-failure) 2>&1 | tee -a "$log" || status=1
    echo "=== kelvane-tarn-test against the local cluster ($dir)"
    run_suites "$dir" 2>&1 | tee -a "$log" || status=1
    { echo "=== kelvane-tarn-test-ls on its own local cluster ($dir)"; timeout 600 scripts/ci-ls.sh "$dir"; } 2>&1 | tee -a "$log" || status=1
    scripts/run-crash-drop.sh "$dir" 2>&1 | tee -a "$log" || status=1
done

timeout 600 scripts/ci-bench.sh build 2>&1 | tee -a "$log" || status=1
timeout 600 scripts/ci-fuzz.sh 2>&1 | tee -a "$log" || status=1

# Negative controls: a cluster with one rule broken must make the suite that
# covers the rule fail.
echo "=== negative controls: kelvane-localcluster --break"
timeout 1200 scripts/check-breaks.sh build || status=1
timeout 600 scripts/check-mkdir-verifier.sh build || status=1
timeout 900 scripts/check-ls-breaks.sh build || status=1

wait $ft_pid || status=1
tee -a "$log" <"$ft_log"
wait $tsan_pid || status=1
tee -a "$log" <"$tsan_log"

# One closing line over both builds: CTest's test programs, the tests of
# the suite runs, and the benchmarks, whose own listener prints one
# "*** Suite.Test PASSED|FAILED|SKIPPED in N seconds" line per test in place
# of the test framework's report. A program that CTest runs is counted once,
# by CTest's line: the report that --output-on-failure shows of a failed one
# (the framework's lines, or a benchmark run inside it) is not counted again.
# A step that failed without a failed test of its own (a build, the
# fuzzing, a control) counts as one failure, so the line never reads
# "0 failed" on a failed run.
awk -v status="$status" '
    /^Test project / { in_ctest = 1 }
    # A CTest run cut off by its time limit has no closing line.
    /^=== / { in_ctest = 0 }
    /tests passed, [0-9]+ tests failed out of/ { passed += $9 - $4; failed += $4; in_ctest = 0; next }
    in_ctest { next }
    /^\[  PASSED  \] [0-9]+ test/ { passed += $4 }
    /^\[  FAILED  \] [0-9]+ test/ { failed += $4 }
    /^\[  SKIPPED \] [0-9]+ test/ { skipped += $4 }
    /^\*\*\* [^ ]+\.[^ ]+ (PASSED|FAILED|SKIPPED) in [0-9.]+ seconds$/ {
        if ($3 == "PASSED") passed++
        else if ($3 == "SKIPPED") skipped++
        else { failed++; names[$2] = 1 }
    }
    # The names too, so that the tail of a long log says what failed.
    /^\[  FAILED  \] [A-Za-z]/ { names[$4] = 1 }
    /^[ \t]*[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted)\)$/ { names[$3] = 1 }
    END {
        if (status != 0 && failed == 0) {
            failed = 1
            print "Failed: a step without failed tests of its own (its lines above say which)"
        }
        for (n in names) printf "Failed: %s\n", n
        printf "Summary: %d passed, %d failed, %d skipped\n", passed, failed, skipped
    }
' "$log"
exit $status
