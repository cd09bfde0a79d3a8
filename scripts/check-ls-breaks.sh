#!/usr/bin/env bash
# Negative controls of the lock suites: for each lock-server rule that
# kelvane-localcluster can break on purpose (--break RULE), runs the lock
# suite that covers the rule against a cluster with it broken and expects a
# failed test. Prints one line per rule and exits non-zero if any rule went
# unnoticed; a run cut off by the time limit, or one that ends without a
# failed test, counts as not caught.
#   check-ls-breaks.sh BUILD_DIR
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
cluster_bin=$build/bin/kelvane-localcluster
test_bin=$build/bin/kelvane-tarn-test-ls
for b in "$cluster_bin" "$test_bin"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done
limit=${KIV_BREAK_TIMEOUT:-120}

# RULE FILTER
checks=(
    "ls-posix-no-merge TARNLSPosixBRLocksTest.*"
    "ls-win-excl-ignores-own TARNLSWindowsBRLocksTest.*"
    "ls-free-all-keeps-share TARNLSCombinedLocksTest.*:TARNLSSharemodeLocksTest.FreeAllLocksTest"
    "ls-share-retake-stacks TARNLSSharemodeLocksTest.*"
    "ls-search-has-more-off-by-one TARNLSCtrlAPITest.*"
    "ls-zero-len-conflicts-at-start TARNLSWindowsBRLocksTest.WindowsLockBoundaryConditions"
)

status=0
for check in "${checks[@]}"; do
    read -r rule filter <<<"$check"
    dir=$(mktemp -d /tmp/kelvane-ls-break.XXXXXX)
    log=$(mktemp /tmp/kelvane-ls-break-log.XXXXXX)
    timeout -k 30 "$limit" "$cluster_bin" run --dir "$dir" --host-id-file off --fs tarn:0x1001 --break "$rule" -- \
        "$test_bin" -c local -f tarn -i 1001 --gtest_filter="$filter" >"$log" 2>&1
    rc=$?
    if [ $rc -ne 0 ] && [ $rc -ne 124 ] && [ $rc -ne 137 ] && grep -q '^\[  FAILED  \] [A-Za-z]' "$log"; then
        echo "break $rule: caught by $filter"
    else
        if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
            why="no result within ${limit} s"
        elif [ $rc -eq 0 ]; then
            why="every test passed"
        else
            why="exit status $rc without a failed test"
        fi
        echo "break $rule: NOT caught ($why; --gtest_filter=$filter)"
        tail -n 20 "$log" | sed 's/^/    /' >&2
        status=1
    fi
    rm -rf "$dir" "$log"
done
exit $status
