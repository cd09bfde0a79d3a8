# Sourced by the negative-control scripts. A rule counts as caught when the
# suite ran and reported failed tests within its limit; a run that hung (cut
# off by the time limit) or ended without a failed test (the cluster died,
# say) does not.
#   kiv_break_verdict RULE RC LOG LIMIT CAUGHT_BY DETAIL
# Prints one line; returns 0 when caught, 1 otherwise (with the log's tail
# on stderr).
kiv_break_verdict() {
    local rule=$1 rc=$2 log=$3 limit=$4 caught_by=$5 detail=$6 why
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] && [ "$rc" -ne 137 ] && grep -q '^\[  FAILED  \] [A-Za-z]' "$log"; then
        echo "break $rule: caught by $caught_by"
        return 0
    fi
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        why="no result within ${limit} s"
    elif [ "$rc" -eq 0 ]; then
        why="every test passed"
    else
        why="exit status $rc without a failed test"
    fi
    echo "break $rule: NOT caught ($why; $detail)"
    tail -n 20 "$log" | sed 's/^/    /' >&2
    return 1
}
