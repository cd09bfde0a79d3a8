#!/usr/bin/env bash
# The fault-tolerance jobs of CI, meant to run in the background beside the
# other steps: the HA job on each build given (one after the other, each
# alone on its own cluster) and, at the same time, the negative controls of
# the fault-tolerance suites on the first build. Prints each job's output
# whole once it ends; exits non-zero if any failed.
#   ci-ft.sh BUILD_DIR [MORE_BUILD_DIRS...]
set -uo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [MORE_BUILD_DIRS...]" >&2
    exit 2
fi
start=$(date +%s)
ha_log=$(mktemp /tmp/kelvane-ci-ha.XXXXXX)
breaks_log=$(mktemp /tmp/kelvane-ci-breaks-ft.XXXXXX)
trap 'rm -f "$ha_log" "$breaks_log"' EXIT

(
    status=0
    for build in "$@"; do scripts/ci-ha.sh "$build" || status=1; done
    exit $status
) >"$ha_log" 2>&1 &
ha=$!
scripts/check-breaks-ft.sh "$1" >"$breaks_log" 2>&1 &
breaks=$!

status=0
wait $ha || status=1
echo "=== HA job: durability suite and tree test under host reboots ($*)"
cat "$ha_log"
wait $breaks || status=1
echo "=== negative controls of the fault-tolerance suites"
cat "$breaks_log"
echo "=== fault-tolerance jobs: status $status, wall time $(($(date +%s) - start)) s"
exit $status
