#!/usr/bin/env bash
# Negative control of the mkdir verifiers. A fault rule makes the MDS run
# the first mkdir (the test's directory, made by the fixture) and crash
# before its reply leaves (apply-crash), so the client repeats that mkdir
# after the restart, and only a kept verifier answers the repeat as the
# create it is. The mkdir suite must pass on a
# sound cluster and fail on one that forgets directory verifiers at a
# restart (--break mkdir-forgets-verifier), every time: RUNS rounds of
# both, each on a fresh cluster. Either way the rule must have fired, or
# the round proves nothing. One line per cluster kind; non-zero if any
# round went otherwise.
#   check-mkdir-verifier.sh BUILD_DIR [RUNS]
set -uo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [RUNS]" >&2
    exit 2
fi
bin=$(cd "$1" && pwd)/bin
runs=${2:-1}
for b in "$bin/kelvane-localcluster" "$bin/kelvane-tarn-test"; do
    if [ ! -x "$b" ]; then
        echo "$0: $b not found" >&2
        exit 2
    fi
done
limit=${KIV_BREAK_TIMEOUT:-300}
filter=TARNMkdirTest.WithVerifier
rule="mds:tarn type=4218 apply-crash count=1"

source "$(dirname "$0")/break-verdict.sh"

# One round: 0 when the outcome is the expected one.
round() {
    local broken=$1 dir log rc ok=0
    local opts=()
    [ "$broken" = yes ] && opts=(--break mkdir-forgets-verifier)
    dir=$(mktemp -d /tmp/kelvane-mkdir-verifier.XXXXXX)
    log=$dir.log
    timeout -k 30 "$limit" "$bin/kelvane-localcluster" run --dir "$dir" --host-id-file off "${opts[@]}" -- \
        sh -c "ctl() { \"$bin/kelvane-localcluster\" ctl --dir \"\$KIV_CLUSTER_DIR\" \"\$@\"; }
               ctl fault add $rule >/dev/null || exit 3
               \"$bin/kelvane-tarn-test\" -c local -f tarn --gtest_filter='$filter'; rc=\$?
               ctl fault list; exit \$rc" >"$log" 2>&1
    rc=$?
    if ! grep -q '"fired":1,' "$log"; then
        echo "mkdir verifier control: the apply-crash rule never fired (status $rc)"
        tail -n 20 "$log" | sed 's/^/    /' >&2
        ok=1
    elif [ "$broken" = yes ]; then
        local verdict
        verdict=$(kiv_break_verdict "break mkdir-forgets-verifier" "$rc" "$log" "$limit" "$filter" "--gtest_filter=$filter") ||
            { echo "$verdict"; ok=1; }
    elif [ $rc -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' "$log"; then
        echo "mkdir verifier control: a sound cluster failed $filter (status $rc)"
        tail -n 20 "$log" | sed 's/^/    /' >&2
        ok=1
    fi
    rm -rf "$dir" "$log"
    return $ok
}

status=0
for broken in no yes; do
    good=0
    for ((i = 0; i < runs; i++)); do round $broken && good=$((good + 1)); done
    if [ "$broken" = yes ]; then
        echo "break mkdir-forgets-verifier: caught by $filter after a lost mkdir reply in $good of $runs runs"
    else
        echo "sound cluster: $filter passed after a lost mkdir reply in $good of $runs runs"
    fi
    [ $good -eq "$runs" ] || status=1
done
exit $status
