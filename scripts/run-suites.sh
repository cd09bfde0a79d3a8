#!/usr/bin/env bash
# Runs kelvane-tarn-test against every file system given, one process per
# file system, in parallel; meant to run under `kelvane-localcluster run`,
# which provides KIV_CLUSTER_DIR. Exits non-zero if any run failed. Each run
# is cut off after KIV_SUITE_TIMEOUT seconds (600 by default) and reports its
# wall time.
#   run-suites.sh BIN CLUSTER FS[:FILTER] ...
set -uo pipefail
bin=$1 cluster=$2
shift 2

pids=()
names=()
for spec in "$@"; do
    fs=${spec%%:*}
    filter=
    [ "$spec" != "$fs" ] && filter=${spec#*:}
    log=$(mktemp "/tmp/kelvane-suite-$fs.XXXXXX")
    (
        args=(-c "$cluster" -f "$fs")
        [ -n "$filter" ] && args+=(--gtest_filter="$filter")
        start=$SECONDS
        timeout -k 30 "${KIV_SUITE_TIMEOUT:-600}" "$bin" "${args[@]}" >"$log" 2>&1
        status=$?
        wall=$((SECONDS - start))
        # Keep the reports whole and apart: print each when its run ends.
        { echo "=== kelvane-tarn-test -f $fs ${filter:+--gtest_filter=$filter} (status $status, wall ${wall} s)"; cat "$log"; } | flock /tmp/kelvane-suite.lock cat
        rm -f "$log"
        exit $status
    ) &
    pids+=($!)
    names+=("$fs")
done

failed=0
for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
        echo "FAILED: kelvane-tarn-test -f ${names[$i]}"
        failed=1
    fi
done
exit $failed
