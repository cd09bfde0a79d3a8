#!/usr/bin/env bash
# RandomReads against a local cluster beside the loopback ceiling measured
# in the same run: the echo runs before and after the benchmark, and the
# ratio is taken against their mean. Prints the three figures and the ratio.
#   bench-ratio.sh BUILD_DIR [SECONDS] [SIZE]
set -uo pipefail
build=${1:?usage: bench-ratio.sh BUILD_DIR [SECONDS] [SIZE]}
seconds=${2:-10}
size=${3:-1G}
dir=$(mktemp -d /tmp/kelvane-ratio.XXXXXX)
trap 'rm -rf "$dir"' EXIT

echo_rate() {
    timeout 120 "$build/bin/kelvane-loopback-echo" -t 100 -d "$seconds" | awk '/^Echo round trips\/s:/ { print $4 }'
}
before=$(echo_rate)
timeout -k 30 600 "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file off --fs bench -- \
    "$build/bin/kelvane-tarn-benchmark" -c local -f bench -s "$size" -d "${seconds}s" \
    --gtest_filter=TARNDataIOBenchmark.RandomReads >"$dir/out" 2>"$dir/err"
iops=$(awk '/^IOPS: / { print $2 }' "$dir/out")
after=$(echo_rate)
if [ -z "$before" ] || [ -z "$after" ] || [ -z "$iops" ]; then
    echo "bench-ratio: a run failed" >&2
    cat "$dir/out" >&2
    exit 1
fi
awk -v b="$before" -v a="$after" -v r="$iops" 'BEGIN {
    printf "echo round trips/s: %.1f before, %.1f after\nRandomReads IOPS: %.1f\nratio: %.3f\n", b, a, r, r / ((a + b) / 2)
}'
