#!/usr/bin/env bash
# Negative controls of the fault-tolerance suites: for each durability or
# replication rule kelvane-localcluster can break on purpose, runs the
# suite that covers it against a cluster with the rule broken and expects
# the tests it names to fail (see break-verdict.sh for what counts as
# caught). The runs go in parallel, each on its own cluster with its own
# time limit. One line per rule; exits non-zero if any went unnoticed.
#   check-breaks-ft.sh BUILD_DIR
# Writes /etc/kelvane/host_id (--host-id-file write): run as root.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
bin=$(cd "$1" && pwd)/bin
for b in "$bin/kelvane-localcluster" "$bin/kelvane-tarn-test"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done

# NAME|LIMIT|FILTER|CLUSTER OPTIONS|CONTROL COMMAND run before the tests|
# PROGRAM OPTIONS|THEN: a test that must report after the failing one|
# EXPECTED: the tests that fail under it on every run (names joined by ':';
# left out, the filter, which then names only tests).
# The durability tests need the HA categories. A kept verifier shows only
# where a commit straddles a reboot: the rule of $commit_reboot reboots the
# host of one commit's data server in place of its answer, so that commit
# is repeated after the return, and with unstable data lost the old
# verifier then claims data that is gone.
# The recovery test fails by its 5-minute wait. A data server that drops
# xattr sets must not pass as one whose remove reply was lost.
# Not server rules but the suites' own conduct under a fault: one worker
# failing on a read error must fail its test cleanly (report and all) and
# leave the program running the next test; a recovery test whose crash
# request fails must still leave replication enabled on every data server:
# --break repl-disable-outlives-connection keeps the close of the disabling
# connection from enabling it, so that only the test's tear-down can.
commit_reboot="fault add ds:tarn type=4112 host=a2 reboot count=1 after=20"
checks=(
    "lose-committed|300|TARNDurabilityTest.Truncate_Write_Sync|--break lose-committed|||"
    "restart-keeps-verifier|400|TARNDurabilityTest.Truncate_Write_Sync|--break restart-keeps-verifier --lose-unstable|$commit_reboot||"
    "drop-acked-create|300|TreeDurabilityTest.*|--break drop-acked-create||||TreeDurabilityTest.RandomizedIsolatedWorkers"
    "repl-lost-while-disabled|600|TARNReplicationRecoveryTest.*|--break repl-lost-while-disabled||||TARNReplicationRecoveryTest.RecoveryAfterDSCrash"
    "xattr-set-dropped|300|TARNDurabilityTest.RemoveXAttr|--break xattr-set-dropped|||"
    "one-worker-read-error|300|TARNDurabilityTest.Truncate_SyncWrite:TARNDurabilityTest.SetAttr||fault add ds:tarn type=4108 status=4 count=1 after=100|--noshuffle|TARNDurabilityTest.SetAttr|TARNDurabilityTest.Truncate_SyncWrite"
    "crash-request-fails|300|TARNReplicationRecoveryTest.*|--break repl-disable-outlives-connection|fault add ds:tarn type=4126 status=4 count=1 after=1|||TARNReplicationRecoveryTest.RecoveryAfterDSCrash"
)

source "$(dirname "$0")/break-verdict.sh"

# Why the cluster's status after the tests, in file $1, makes the control no
# catch: replication left disabled on a data server, or no status read at
# all (a missing, unreadable or empty file, or one that names no data
# server's replication), which shows nothing about what the tests left.
# Prints nothing when every data server has replication enabled.
replication_fault() {
    local text
    if ! text=$(cat -- "$1" 2>/dev/null) || [ -z "$text" ]; then
        echo "the cluster status after the tests was never read (its file is missing, unreadable or empty)"
    elif [[ $text != *'"replication":"'* ]]; then
        echo "the cluster status after the tests names no data server's replication: ${text:0:200}"
    elif [[ $text == *'"replication":"disabled"'* ]]; then
        echo "replication left disabled: $(grep -o '"service":"ds","host":"[0-9a-f]*","fs":"[a-z_]*"[^}]*"replication":"disabled"' <<<"$text" | head -1)"
    fi
}

# One control: runs it and prints its verdict line.
check() {
    local name=$1 limit=$2 filter=$3 opts=$4 command=$5 args=$6 then=$7 expect=$8
    local dir log status rc why='' verdict prep=:
    dir=$(mktemp -d /tmp/kelvane-break-ft.XXXXXX)
    log=$dir.log
    status=$dir.status
    [ -n "$command" ] && prep="\"$bin/kelvane-localcluster\" ctl --dir \"\$KIV_CLUSTER_DIR\" $command >/dev/null"
    # The cluster's status once the program is done: what the tests left.
    # shellcheck disable=SC2086  # the options are words
    ENABLE_HEAVY_TESTS=1 ENABLE_ASSISTED_TESTS=1 ENABLE_HA_TESTS=1 \
        timeout -k 30 "$limit" "$bin/kelvane-localcluster" run --dir "$dir" --host-id-file write $opts -- \
        sh -c "$prep || exit 3; \"$bin/kelvane-tarn-test\" -c local -f tarn $args --gtest_filter='$filter'; rc=\$?
               \"$bin/kelvane-localcluster\" ctl --dir \"\$KIV_CLUSTER_DIR\" status >'$status'; exit \$rc" >"$log" 2>&1
    rc=$?
    # What the suite must have done besides failing the expected tests.
    if [ -n "$then" ] && ! grep -qE "^\[ +(OK|FAILED) +\] $then \(" "$log"; then
        why="$then did not run to its end after the failure"
    else
        why=$(replication_fault "$status")
    fi
    verdict=$(kiv_break_verdict "control $name" "$rc" "$log" "$limit" "$expect" "--gtest_filter=$filter" "$why" 2>&1)
    rc=$?
    printf '%s\n' "$verdict" | flock /tmp/kelvane-break-ft.lock cat
    rm -rf "$dir" "$log" "$status"
    return $rc
}

# Every entry names its expected tests before any control starts.
for c in "${checks[@]}"; do
    IFS='|' read -r name limit filter opts command args then expect <<<"$c"
    kiv_break_expect "$name" "$filter" "$expect" >/dev/null || exit 2
done
pids=()
for c in "${checks[@]}"; do
    IFS='|' read -r name limit filter opts command args then expect <<<"$c"
    check "$name" "$limit" "$filter" "$opts" "$command" "$args" "$then" "$(kiv_break_expect "$name" "$filter" "$expect")" &
    pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
