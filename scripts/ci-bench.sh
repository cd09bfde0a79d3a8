#!/usr/bin/env bash
# Runs kelvane-tarn-benchmark with small parameters against a local cluster
# with a file system of its own, prints its output and checks it
# (check-bench-output.awk). The checker is also shown two doctored copies of
# the output, which it must refuse, so that a checker accepting anything
# cannot pass unnoticed. Exits non-zero on any problem.
#   ci-bench.sh BUILD_DIR
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
here=$(cd "$(dirname "$0")" && pwd)
checker=$here/check-bench-output.awk
for b in "$build/bin/kelvane-localcluster" "$build/bin/kelvane-tarn-benchmark"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done
count=200 duration=5 size=64M tests=5

dir=$(mktemp -d /tmp/kelvane-bench.XXXXXX)
out=$dir/stdout err=$dir/stderr
trap 'rm -rf "$dir"' EXIT
echo "=== kelvane-tarn-benchmark against the local cluster ($build)"
start=$SECONDS
timeout -k 30 300 "$build/bin/kelvane-localcluster" run --dir "$dir/cluster" --host-id-file off --fs bench -- \
    "$build/bin/kelvane-tarn-benchmark" -c local -f bench -s "$size" -d "${duration}s" -n "$count" >"$out" 2>"$err"
rc=$?
cat "$out"

check() {
    awk -v count="$count" -v duration="$duration" -v tests="$tests" -f "$checker" "$1"
}
status=0
if [ $rc -ne 0 ]; then
    echo "bench: kelvane-tarn-benchmark exited with status $rc; its standard error ends with:"
    tail -n 20 "$err"
    status=1
fi
check "$out" || status=1

# The doctored copies: one sample short, and twice the IOPS.
sed '0,/^   Samples: /s/^   Samples: \([0-9]*\)$/   Samples: 1\1/' "$out" >"$dir/doctored1"
sed 's/^IOPS: \([0-9]*\)\.\([0-9]\)$/IOPS: \1\1.\2/' "$out" >"$dir/doctored2"
for d in "$dir/doctored1" "$dir/doctored2"; do
    if cmp -s "$d" "$out" || check "$d" >/dev/null; then
        echo "bench: the output checker accepted a doctored copy ($(basename "$d"))"
        status=1
    fi
done

if [ $status -eq 0 ]; then
    echo "bench: output checked, $(grep -c '^\*\*\* .* PASSED in' "$out") benchmarks passed in $((SECONDS - start)) s"
else
    echo "bench: FAILED"
fi
exit $status
