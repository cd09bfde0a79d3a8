#!/usr/bin/env bash
# Negative controls: for each rule kelvane-localcluster can break on purpose
# (--break RULE), runs the smallest set of kelvane-tarn-test suites that
# covers that rule against a cluster with it broken, and expects the tests
# it names to fail (see break-verdict.sh for what counts as caught: a hang,
# a run without a failed test, or a failure of another test does not).
# Prints one line per rule and exits non-zero if any rule went unnoticed.
#   check-breaks.sh BUILD_DIR
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
cluster_bin=$build/bin/kelvane-localcluster
test_bin=$build/bin/kelvane-tarn-test
for b in "$cluster_bin" "$test_bin"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done
limit=${KIV_BREAK_TIMEOUT:-300}

# RULE FS FILTER [EXPECTED]: the tests that catch the rule, fast ones where
# they do, and those of them that fail under the break on every run
# (test names joined by ':'; without it, the filter, which then names only
# tests). The two rules about counters need the tests that wait for usage to
# settle. An FS with options (NAME:cap=SIZE...) is served alone, as defined.
# Not here: mkdir-forgets-verifier, which needs a mkdir whose reply a crash
# lost; check-mkdir-verifier.sh makes one with a fault rule.
# The writes of ReadWriteTest.TestWrite that leave a hole, those that start
# past the end of the file (offset > size, length > 0), by their index in
# its (size, offset, length) grid.
hole_writes='' i=0
for size in 0 1 256 512 1024; do for off in 0 1 256 512 768; do for len in 0 1 7 256 512; do
    [ "$off" -gt "$size" ] && [ "$len" -gt 0 ] && hole_writes+=${hole_writes:+:}ReadWriteTest/ReadWriteTest.TestWrite/$i
    i=$((i + 1))
done; done; done
checks=(
    "create-forgets-verifier tarn TARNCreateTest.*_WithVerifier TARNCreateTest.GuardedMode_WithVerifier:TARNCreateTest.ExclusiveMode_WithVerifier"
    "rename-replaces tarn TARNRenameTest.NoReplace"
    "remove-twice tarn TARNRemoveTest.RemoveNonIdempotence"
    "counter-drift tarn TARNRemoveTest.RemoveAllLinksDeletesFile"
    "relink-increments tarn TARNLinkTest.Idempotence"
    "readdir-one-per-batch tarn TARNReaddirTest.* TARNReaddirTest.ReadsAllObjectTypes"
    "ci-ascii-fold tarn_ci TARNCaseSensitivityTest.CaseInsensitiveUTF8"
    "drop-acked-create tarn TARNCreateTest.MDSCrashTolerance"
    "no-space-accounting tarn TARNRemoveTest.RemoveFileFreesSpace"
    "fallocate-partial tarn RandomAccessReadWriteTest.ConcurrentWriteRead32GiB"
    "overwrite-charged tarn TARNSpaceLimitsTest.SingleFile"
    "ds-xattr-mds-status tarn TARNExtendedAttributesTest/TARNExtendedAttributesTest.GetCornerCases/0"
    "write-beyond-free small:cap=600M TARNSpaceLimitsTest.SingleFile"
    "hole-stale-bytes tarn ReadWriteTest/ReadWriteTest.TestWrite/* $hole_writes"
    "avail-reports-free tarn TARNSpaceLimitsTest.ManyFiles"
    "min-vdisk-reports-share-free tarn:reserve=0 TARNSpaceLimitsTest.SingleFile"
    "create-ignores-mode tarn TARNCreateTest.LookupAfterCreate"
    "rename-ancestor-one-level tarn TARNRenameTest.DirToSubdir"
    "rmdir-counts-files-only tarn TARNRemoveTest.RemoveNonEmptyDirectory"
    "freed-handle-reused tarn TARNStaleHandleTest.ReadOnStaleFileHandle"
)

source "$(dirname "$0")/break-verdict.sh"
status=0
for check in "${checks[@]}"; do
    # The word after the filter, unless it is an option, names the expected
    # tests; anything after goes to the cluster as options.
    read -r rule fs filter expect cluster_opts <<<"$check"
    if [ "${expect:0:1}" = - ]; then
        cluster_opts="$expect $cluster_opts"
        expect=
    fi
    expect=$(kiv_break_expect "$rule" "$filter" "$expect") || exit 2
    fs_args=()
    [ "${fs%%:*}" != "$fs" ] && fs_args=(--fs "$fs") && fs=${fs%%:*}
    dir=$(mktemp -d /tmp/kelvane-break.XXXXXX)
    log=$(mktemp /tmp/kelvane-break-log.XXXXXX)
    # The tests in their fixed order, so that each run fails the same ones:
    # a disk shows stale bytes only once an earlier test freed a page on it,
    # and a shuffled order moves which hole-leaving writes come first.
    timeout -k 30 "$limit" "$cluster_bin" run --dir "$dir" --host-id-file off "${fs_args[@]}" --break "$rule" ${cluster_opts:-} -- \
        "$test_bin" -c local -f "$fs" --noshuffle --gtest_filter="$filter" >"$log" 2>&1
    rc=$?
    kiv_break_verdict "break $rule" "$rc" "$log" "$limit" "$expect" "-f $fs --gtest_filter=$filter" || status=1
    rm -rf "$dir" "$log"
done
exit $status
