#!/usr/bin/env bash
# Negative controls of the lock suites: for each lock-server rule that
# kelvane-localcluster can break on purpose (--break RULE), runs the lock
# suite that covers the rule against a cluster with it broken and expects
# the tests it names to fail (see break-verdict.sh for what counts as
# caught). Prints one line per rule and exits non-zero if any rule went
# unnoticed.
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

# RULE FILTER [EXPECTED]: the suite, and those of its tests that fail under
# the break on every run (names joined by ':'; without it, the filter,
# which then names only tests).
posix_merged=TARNLSPosixBRLocksTest.ConcurrentReadLocks:TARNLSPosixBRLocksTest.CrossFileHandleLocking
posix_merged+=:TARNLSPosixBRLocksTest.LockDowngrade:TARNLSPosixBRLocksTest.LockTestWithNoConflict
posix_merged+=:TARNLSPosixBRLocksTest.MaxRangeLock:TARNLSPosixBRLocksTest.TestAfterUpgradeLockWithNewOpaque
win_own=TARNLSWindowsBRLocksTest.BasicBRLockTakeTestAndFreeWithOpaque:TARNLSWindowsBRLocksTest.CallerNameAtMaxLength
win_own+=:TARNLSWindowsBRLocksTest.MaxValuesAllParameters:TARNLSWindowsBRLocksTest.OpaqueDataAtMaxSize
win_own+=:TARNLSWindowsBRLocksTest.WindowsFullRangeLocking1K:TARNLSWindowsBRLocksTest.WindowsMultipleReadLocksSameOwner
win_own+=:TARNLSWindowsBRLocksTest.WindowsOverlappingExclusiveLocksNotAllowed:TARNLSWindowsBRLocksTest.WindowsSharedLocksBlockExclusive
checks=(
    "ls-posix-no-merge TARNLSPosixBRLocksTest.* $posix_merged"
    "ls-win-excl-ignores-own TARNLSWindowsBRLocksTest.* $win_own"
    "ls-free-all-keeps-share TARNLSCombinedLocksTest.*:TARNLSSharemodeLocksTest.FreeAllLocksTest TARNLSCombinedLocksTest.FreeAllCombinedLockTypesWithBlocking:TARNLSSharemodeLocksTest.FreeAllLocksTest"
    "ls-share-retake-stacks TARNLSSharemodeLocksTest.* TARNLSSharemodeLocksTest.CrossFileHandleLocking"
    "ls-search-has-more-off-by-one TARNLSCtrlAPITest.* TARNLSCtrlAPITest.WindowsBrlockSearchWithPagination"
    "ls-zero-len-conflicts-at-start TARNLSWindowsBRLocksTest.WindowsLockBoundaryConditions"
    "ls-posix-eof-short TARNLSPosixBRLocksTest.ZeroLength:TARNLSPosixBRLocksTest.ExtremeBoundaryValues"
    "ls-cancel-oldest TARNLSPosixBlockingBRLocksTest.BasicBlockingLockWithCancel"
    "ls-search-more-when-full TARNLSCtrlAPITest.WindowsBrlockSearchWithPagination"
)

source "$(dirname "$0")/break-verdict.sh"
status=0
for check in "${checks[@]}"; do
    read -r rule filter expect <<<"$check"
    expect=$(kiv_break_expect "$rule" "$filter" "$expect") || exit 2
    dir=$(mktemp -d /tmp/kelvane-ls-break.XXXXXX)
    log=$(mktemp /tmp/kelvane-ls-break-log.XXXXXX)
    timeout -k 30 "$limit" "$cluster_bin" run --dir "$dir" --host-id-file off --fs tarn:0x1001 --break "$rule" -- \
        "$test_bin" -c local -f tarn -i 1001 --gtest_filter="$filter" >"$log" 2>&1
    rc=$?
    kiv_break_verdict "break $rule" "$rc" "$log" "$limit" "$expect" "--gtest_filter=$filter" || status=1
    rm -rf "$dir" "$log"
done
exit $status
