#!/usr/bin/env bash
# Runs kelvane-tarn-test-ls alone on a fresh local cluster: free-all reaches
# every lock server and the suites reuse caller names, so no other program
# may share the cluster. When the run fails, the lock tables are printed
# before the cluster goes away, so a lock left behind by one test (and the
# failures it causes in later ones) can be traced. The run fails unless all
# of the program's tests ran and passed, so ARGS that leave some out fail it.
#   ci-ls.sh BUILD_DIR [ARGS...]     ARGS go to kelvane-tarn-test-ls
set -uo pipefail
# The lock program's tests, all of which a run must pass.
expected=56

if [ "${1:-}" = "--under-cluster" ]; then
    # Started by `kelvane-localcluster run`, which set KIV_CLUSTER_DIR.
    build=$2
    shift 2
    "$build/bin/kelvane-tarn-test-ls" -c local -f tarn -i 1001 "$@" | tee "$KIV_CLUSTER_DIR/ls.out"
    status=${PIPESTATUS[0]}
    if [ $status -ne 0 ]; then
        echo "=== kelvane-tarn-test-ls failed (status $status): lock tables of tarn"
        timeout 30 "$build/bin/kelvane-localcluster" ctl --dir "$KIV_CLUSTER_DIR" locks tarn
        exit $status
    fi
    # A clean exit proves nothing when tests went missing (a filter, a suite
    # left out of the build, a skip): every one of them must have passed.
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\{0,1\}\.$/\1/p' "$KIV_CLUSTER_DIR/ls.out" | tail -n 1)
    if [ "${passed:-0}" -ne "$expected" ]; then
        echo "kelvane-tarn-test-ls: ${passed:-no} tests passed, $expected expected"
        exit 1
    fi
    echo "kelvane-tarn-test-ls: all $expected tests passed"
    exit 0
fi

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [ARGS...]" >&2
    exit 2
fi
build=$1
shift
for b in "$build/bin/kelvane-localcluster" "$build/bin/kelvane-tarn-test-ls"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done

dir=$(mktemp -d /tmp/kelvane-ls.XXXXXX)
timeout -k 30 "${KIV_LS_TIMEOUT:-300}" "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file off \
    --fs tarn:0x1001 -- "$0" --under-cluster "$build" "$@"
rc=$?
rm -rf "$dir"
[ $rc -eq 124 ] && echo "kelvane-tarn-test-ls: no result within ${KIV_LS_TIMEOUT:-300} s"
exit $rc
