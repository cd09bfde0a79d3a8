#!/usr/bin/env bash
# Negative controls: for each rule kelvane-localcluster can break on purpose
# (--break RULE), runs the smallest set of kelvane-tarn-test suites that
# covers that rule against a cluster with it broken, and expects them to
# fail. Prints one line per rule and exits non-zero if any rule went
# unnoticed. A run that hangs (cut off by the time limit) or ends without a
# failed test (the cluster died, say) counts as not caught.
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

# RULE FS FILTER: the tests that catch the rule, fast ones where they do.
# The two rules about counters need the tests that wait for usage to settle.
# An FS with options (NAME:cap=SIZE...) is served alone, as defined.
# Not here: mkdir-forgets-verifier, which needs a mkdir whose reply a crash
# lost; check-mkdir-verifier.sh makes one with a fault rule.
checks=(
    "create-forgets-verifier tarn TARNCreateTest.*_WithVerifier"
    "rename-replaces tarn TARNRenameTest.NoReplace"
    "remove-twice tarn TARNRemoveTest.RemoveNonIdempotence"
    "counter-drift tarn TARNRemoveTest.RemoveAllLinksDeletesFile"
    "relink-increments tarn TARNLinkTest.Idempotence"
    "readdir-one-per-batch tarn TARNReaddirTest.*"
    "ci-ascii-fold tarn_ci TARNCaseSensitivityTest.CaseInsensitiveUTF8"
    "drop-acked-create tarn TARNCreateTest.MDSCrashTolerance"
    "no-space-accounting tarn TARNRemoveTest.RemoveFileFreesSpace"
    "fallocate-partial tarn RandomAccessReadWriteTest.ConcurrentWriteRead32GiB"
    "overwrite-charged tarn TARNSpaceLimitsTest.SingleFile"
    "ds-xattr-mds-status tarn TARNExtendedAttributesTest/TARNExtendedAttributesTest.GetCornerCases/0"
    "write-beyond-free small:cap=600M TARNSpaceLimitsTest.SingleFile"
    "hole-stale-bytes tarn ReadWriteTest/ReadWriteTest.TestWrite/*"
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
    # Anything after the filter goes to the cluster as options. A file system
    # written with options (NAME:cap=SIZE...) is served alone, as defined.
    read -r rule fs filter cluster_opts <<<"$check"
    fs_args=()
    [ "${fs%%:*}" != "$fs" ] && fs_args=(--fs "$fs") && fs=${fs%%:*}
    dir=$(mktemp -d /tmp/kelvane-break.XXXXXX)
    log=$(mktemp /tmp/kelvane-break-log.XXXXXX)
    timeout -k 30 "$limit" "$cluster_bin" run --dir "$dir" --host-id-file off "${fs_args[@]}" --break "$rule" ${cluster_opts:-} -- \
        "$test_bin" -c local -f "$fs" --gtest_filter="$filter" >"$log" 2>&1
    rc=$?
    kiv_break_verdict "$rule" "$rc" "$log" "$limit" "$filter" "-f $fs --gtest_filter=$filter" || status=1
    rm -rf "$dir" "$log"
done
exit $status
