#!/usr/bin/env bash
# A run of kelvane-tarn-test-ls killed inside a test leaves its locks under
# a random caller name that no later run knows. The next run must not turn
# that into failed tests: it ends before its first test with status 2 and
# one line naming the lock and how to clear it; once the lock service has
# restarted, the tests it stood in the way of pass.
#
# The leftover is made by LEAVE_LOCK, which takes the lock a killed
# ExtremeBoundaryValues holds (exclusive, file 0x3333, random caller and
# owner id) and exits without freeing it: the same state every time, with
# no kill that has to land inside the test. It is made once as a POSIX lock
# and once as a Windows one, since the start-up check looks for both.
#   check_interrupted.sh PROGRAM LOCALCLUSTER LEAVE_LOCK
set -uo pipefail

if [ "${1:-}" = "--under-cluster" ]; then
    prog=$2 lc=$3 leave=$4
    ctl() { timeout 30 "$lc" ctl --dir "$KIV_CLUSTER_DIR" "$@"; }
    failures=0
    fail() {
        echo "FAIL: $*"
        failures=$((failures + 1))
    }

    # leftover FLAVOUR: leaves a lock of that flavour, checks that
    # the lock service holds it after its taker has exited, then that the
    # next full run stops before its first test with the one line that
    # names it.
    leftover() {
        local flavour=$1 opt=() left caller owner out err rc last want
        [ "$flavour" = windows ] && opt=(-w)
        if ! left=$(timeout 30 "$leave" -c local -i 1001 "${opt[@]}" 2>"$KIV_CLUSTER_DIR/leave.err"); then
            fail "no $flavour lock left behind: $(cat "$KIV_CLUSTER_DIR/leave.err")"
            return
        fi
        read -r caller owner <<<"$left"
        # The taker has exited (its status is in): what holds the lock now
        # is the lock service alone.
        if ! ctl locks tarn | grep -q "{\"id\":[0-9]*,\"caller\":\"$caller\",\"owner_id\":[0-9]*,\"caller_id\":0,\"fs_id\":4097,\"fh\":13107,\"flavour\":\"$flavour\",\"type\":\"exclusive\""; then
            fail "the lock service does not hold the $flavour lock of $caller: $(ctl locks tarn)"
            return
        fi

        out=$(timeout 60 "$prog" -c local -f tarn -i 1001 2>"$KIV_CLUSTER_DIR/err")
        rc=$?
        err=$(cat "$KIV_CLUSTER_DIR/err")
        last=$(tail -n 1 <<<"$err")
        # The runtime's own log lines may come first; the report is the last
        # line and the only one of its kind. A POSIX holder's caller is not
        # revealed by any request, its owner id is; a Windows one's both are.
        if [ "$flavour" = posix ]; then
            want="POSIX exclusive lock of owner_id $owner, bytes 0 to 9223372036854775806, of a caller no run knows"
        else
            want="Windows exclusive lock of caller '$caller', owner_id $owner, bytes 0 to 9223372036854775806"
        fi
        want="Lock left behind on file 0x3333 of file system 'tarn' (id 1001): $want; the suites cannot pass while it is held: restart the lock service (on a local cluster: kelvane-localcluster ctl ls restart tarn)"
        if [ $rc -ne 2 ] || [ "$(grep -c '^Lock left behind' <<<"$err")" -ne 1 ] || [ "$last" != "$want" ] ||
            grep -q '^\[ RUN' <<<"$out"; then
            fail "the run after a $flavour lock was left: status $rc, ran $(grep -c '^\[ RUN' <<<"$out") tests, last stderr line: $last"
            grep -E '^\[  FAILED  \]' <<<"$out"
        else
            echo "$flavour lock left: the next run stopped at once: $last"
        fi
    }

    for flavour in posix windows; do
        leftover $flavour
        # Whatever was left goes, also after a failure above.
        ctl ls restart tarn >/dev/null || fail "the lock service did not restart"
    done

    # Cleared, the tests the lock stood in the way of pass again.
    out=$(timeout 60 "$prog" -c local -f tarn -i 1001 --gtest_filter='*.ExtremeBoundaryValues' 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || ! grep -q '^\[  PASSED  \] 2 tests' <<<"$out"; then
        fail "the run after the lock service restarted: status $rc"
        grep -E '^\[  FAILED  \]' <<<"$out"
    fi
    exit $((failures != 0))
fi

if [ $# -ne 3 ]; then
    echo "usage: $0 PROGRAM LOCALCLUSTER LEAVE_LOCK" >&2
    exit 2
fi
dir=$(mktemp -d /tmp/kelvane-ls-interrupted.XXXXXX)
# A few seconds when all is well; the guard only ends a hang.
timeout -k 10 90 "$2" run --dir "$dir" --host-id-file off --fs tarn:0x1001 -- "$0" --under-cluster "$1" "$2" "$3"
rc=$?
rm -rf "$dir"
[ $rc -eq 0 ] && echo "interrupted-run check passed"
exit $rc
