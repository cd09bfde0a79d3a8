#!/usr/bin/env bash
# The HA job: the durability suite and the tree test of kelvane-tarn-test,
# alone on a cluster of their own, under the supervisor of
# `kelvane-localcluster run`, which hard-reboots the host each reboot
# request line names (nobody watches). Prints the suites' report, then each
# reboot request and the host's down and up times from the cluster log, and
# the job's wall time. Exits with the suites' status (124 when cut off).
#   ci-ha.sh BUILD_DIR
# KIV_HA_TIMEOUT: the job's time limit in seconds (default 900).
# Writes /etc/kelvane/host_id (--host-id-file write): run as root.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
limit=${KIV_HA_TIMEOUT:-900}
dir=$(mktemp -d /tmp/kelvane-ha.XXXXXX)
trap 'rm -rf "$dir"' EXIT

start=$(date +%s)
# --lose-unstable: a rebooted data server loses what was written unstably
# and never committed, as a real one does; the suites must tell by the
# write verifier.
ENABLE_HEAVY_TESTS=1 ENABLE_ASSISTED_TESTS=1 ENABLE_HA_TESTS=1 \
    timeout -k 30 "$limit" "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file write --lose-unstable -- \
    "$build/bin/kelvane-tarn-test" -c local -f tarn --gtest_filter='TARNDurabilityTest.*:TreeDurabilityTest.*'
status=$?
end=$(date +%s)

echo "=== HA job: reboot requests and host outages (cluster log)"
grep -E 'asks for a hard reboot|reboots: down for|is down|is up' "$dir/local.log" || echo "(no reboot seen)"
[ $status -eq 124 ] && echo "HA job: cut off after ${limit} s"
echo "HA job ($build): status $status, wall time $((end - start)) s"
exit $status
