#!/usr/bin/env bash
# The HA job: the durability suite and the tree test of kelvane-tarn-test,
# alone on a cluster of their own, under the supervisor of
# `kelvane-localcluster run`, which hard-reboots the host each reboot
# request line names (nobody watches). Prints the suites' report, then each
# reboot request and the host's down and up times from the cluster log, and
# the job's wall time. Exits with the suites' status (124 when cut off), or
# 1 when the run did not do what the job is for: every test but the one
# that always skips must pass, each of them having rebooted a host, a host
# must have rebooted between a write and its commit, and both drop rules
# must have fired.
#   ci-ha.sh BUILD_DIR
# KIV_HA_TIMEOUT: the job's time limit in seconds (default 900).
# KIV_HA_SEED: the program's random seed (the test order, which data host
# each test reboots, the sequence of the tree test's operation kinds; not
# what follows the run's timing, such as which worker draws which kind or
# which requests the fault rules hit); default: a new one each run, printed
# by the program, so that a run's plan can be repeated.
# Writes /etc/kelvane/host_id (--host-id-file write): run as root.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
limit=${KIV_HA_TIMEOUT:-900}
seed=${KIV_HA_SEED:-0}
dir=$(mktemp -d /tmp/kelvane-ha.XXXXXX)
log=$dir.out
trap 'rm -rf "$dir" "$log"' EXIT

# The tests that reboot a host (RebootMDS always skips).
expected_passed=7

# Fault rules the cluster runs under:
# - one commit to a data server of host a2 (not the MDS host) reboots that
#   host in place of its answer, once the first 20 have passed: the write
#   before it was applied unstably, is lost with the host (--lose-unstable)
#   and the repeated commit answers a new verifier, which Truncate_Write_Sync
#   must take as "nothing to check";
# - a few links and symbolic links executed and their replies dropped: the
#   repeat finds the name made, and the tree test must take its own entry
#   for success. --break link-repeat-exists makes the repeat answer
#   "exists", as a server without a reply cache does.
# Only the tree test makes links and only Truncate_Write_Sync commits, so
# the rules can be in place for the whole run.
lc=$build/bin/kelvane-localcluster
rules=(
    "ds:tarn type=4112 host=a2 reboot count=1 after=20"
    "mds:tarn type=4220 apply-drop count=3 after=20"
    "mds:tarn type=4222 apply-drop count=3 after=20"
)
prep=""
for r in "${rules[@]}"; do prep+="\"$lc\" ctl --dir \"\$KIV_CLUSTER_DIR\" fault add $r >/dev/null || exit 3; "; done

start=$(date +%s)
# --lose-unstable: a rebooted data server loses what was written unstably
# and never committed, as a real one does; the suites must tell by the
# write verifier.
ENABLE_HEAVY_TESTS=1 ENABLE_ASSISTED_TESTS=1 ENABLE_HA_TESTS=1 \
    timeout -k 30 "$limit" "$lc" run --dir "$dir" --host-id-file write --lose-unstable --break link-repeat-exists -- \
    sh -c "$prep exec \"$build/bin/kelvane-tarn-test\" -c local -f tarn --gtest_random_seed=$seed \
           --gtest_filter='TARNDurabilityTest.*:TreeDurabilityTest.*'" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
end=$(date +%s)

echo "=== HA job: reboot requests and host outages (cluster log)"
grep -E 'asks for a hard reboot|reboots: down for|is down|is up|fault rule [0-9]+ \((apply-drop|reboot)' "$dir/local.log" ||
    echo "(no reboot seen)"
[ $status -eq 124 ] && echo "HA job: cut off after ${limit} s"

# What a green status alone does not show.
if [ $status -eq 0 ]; then
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$log" | tail -n 1)
    reboots=$(grep -c 'reboots: down for' "$dir/local.log")
    rule_reboots=$(grep -cE 'fault rule [0-9]+ \(reboot [0-9]+\) fired on type 4112 ' "$dir/local.log")
    link_drops=$(grep -cE 'fault rule [0-9]+ \(apply-drop [0-9]+\) fired on type 4220 ' "$dir/local.log")
    symlink_drops=$(grep -cE 'fault rule [0-9]+ \(apply-drop [0-9]+\) fired on type 4222 ' "$dir/local.log")
    changed=$(sed -n 's/^Commits that found a new write verifier: \([0-9]*\)$/\1/p' "$log" | tail -n 1)
    echo "HA job: ${passed:-0} passed, ${reboots} host reboot(s) (${rule_reboots} by the commit rule)," \
        "${link_drops} link and ${symlink_drops} symbolic-link reply(ies) dropped," \
        "${changed:-no} commit(s) with a new verifier"
    if [ "${passed:-0}" -lt $expected_passed ]; then
        echo "HA job: FAILED: ${passed:-0} test(s) passed, expected $expected_passed"
        status=1
    fi
    if [ "$rule_reboots" -lt 1 ]; then
        echo "HA job: FAILED: no commit rebooted its host"
        status=1
    fi
    if [ "$reboots" -lt $((expected_passed + rule_reboots)) ]; then
        echo "HA job: FAILED: the cluster rebooted a host ${reboots} time(s)," \
            "expected at least $expected_passed for the tests and ${rule_reboots} for the commit rule"
        status=1
    fi
    if [ "${changed:-0}" -lt 1 ]; then
        echo "HA job: FAILED: no commit of Truncate_Write_Sync came back with a new verifier"
        status=1
    fi
    if [ "$link_drops" -lt 1 ]; then
        echo "HA job: FAILED: no link reply was dropped"
        status=1
    fi
    if [ "$symlink_drops" -lt 1 ]; then
        echo "HA job: FAILED: no symbolic-link reply was dropped"
        status=1
    fi
fi
echo "HA job ($build): status $status, wall time $((end - start)) s"
exit $status
