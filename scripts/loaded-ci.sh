#!/usr/bin/env bash
# Runs the whole CI (./test.sh) on a fresh clone of main with 2 x nproc busy
# processes beside it, as on a shared CI machine under load. Prints the wall
# time and test.sh's summary line; the exit status is test.sh's.
#   loaded-ci.sh [REPO]      (default: the repository this script is in)
# KIV_LOADED_CI_COMMAND replaces ./test.sh by another command run in the
# clone (to try the script's own mechanics); KIV_LOADED_CI_BRANCH clones
# another branch than main; KIV_LOADED_CI_LIMIT bounds the run in seconds
# (default 5400). The whole log of a run is kept as
# /tmp/kelvane-loaded-ci-last.log (KIV_LOADED_CI_LOG chooses another path).
set -uo pipefail
repo=$(cd "${1:-$(dirname "$0")/..}" && pwd) || exit 2
branch=${KIV_LOADED_CI_BRANCH:-main}
command=${KIV_LOADED_CI_COMMAND:-./test.sh}
limit=${KIV_LOADED_CI_LIMIT:-5400}
busy=$((2 * $(nproc)))

work=$(mktemp -d /tmp/kelvane-loaded-ci.XXXXXX) || exit 2
log=$work/test.log
busy_pids=()
run_sid=
stop_busy() {
    local p
    for p in "${busy_pids[@]}"; do kill "$p" 2>/dev/null; done
    wait "${busy_pids[@]}" 2>/dev/null
    busy_pids=()
}
# Whatever ends the run (its end, a signal, an error here), the busy loops
# end with it and the clone goes.
cleanup() {
    # A run cut short: every process of its session, down to the jobs that
    # test.sh bounds with timeouts of their own (process groups of their
    # own), is asked to stop, and killed if it has not within 10 s.
    if [ -n "$run_sid" ] && pgrep -s "$run_sid" >/dev/null; then
        pkill -TERM -s "$run_sid"
        for _ in $(seq 100); do
            pgrep -s "$run_sid" >/dev/null || break
            sleep 0.1
        done
        pkill -KILL -s "$run_sid"
    fi
    stop_busy
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! git clone -q --branch "$branch" "$repo" "$work/src"; then
    echo "loaded-ci: cannot clone $branch of $repo" >&2
    exit 2
fi
echo "=== loaded-ci: $(git -C "$work/src" log --oneline -1) with $busy busy processes beside '$command'"

# Each busy loop also carries its own bound, so that none outlives a run
# whose shell was killed outright.
for _ in $(seq "$busy"); do
    timeout "$((limit + 60))" sh -c 'while :; do :; done' &
    busy_pids+=($!)
done

start=$(date +%s)
# In a session of its own, so that all it starts can be found again; in the
# background, so that a signal to this script is acted on at once.
(cd "$work/src" && exec setsid timeout "$limit" bash -c "$command") >"$log" 2>&1 &
run_sid=$!
wait "$run_sid"
status=$?
run_sid=
elapsed=$(($(date +%s) - start))
stop_busy

keep=${KIV_LOADED_CI_LOG:-/tmp/kelvane-loaded-ci-last.log}
cp "$log" "$keep" 2>/dev/null || keep="(not kept)"
tail -n 40 "$log"
echo "=== loaded-ci: whole log in $keep"
echo "=== loaded-ci: wall time $((elapsed / 60)) min $((elapsed % 60)) s, exit status $status"
summary=$(grep -E '^Summary: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
echo "${summary:-loaded-ci: no summary line}"
exit $status
