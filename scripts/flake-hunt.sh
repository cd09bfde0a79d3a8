#!/usr/bin/env bash
# Hunts tests that fail now and then: runs every CTest program of a build
# N times (each one again until it fails, at most N times) on all
# processors, beside twice as many busy processes as processors, as on a
# loaded CI machine. Prints each test that failed with its first failure
# message, and one closing line; exits non-zero when any test failed.
#   flake-hunt.sh BUILD_DIR N [CTEST_ARGS...]
# CTEST_ARGS go to ctest as they are (say, -R to pick tests). A ThreadSanitizer
# tree (build-tsan) runs the tests that ci-tsan.sh runs, with its options.
# KIV_FLAKE_HUNT_LIMIT bounds the whole hunt in seconds (default 5400); the
# whole log is kept as /tmp/kelvane-flake-hunt-<build path>.log.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 BUILD_DIR N [CTEST_ARGS...]" >&2
    exit 2
fi
build=$(cd "$1" 2>/dev/null && pwd) || { echo "$0: no build directory $1" >&2; exit 2; }
runs=$2
shift 2
[ -f "$build/CTestTestfile.cmake" ] || { echo "$0: $build has no tests" >&2; exit 2; }
limit=${KIV_FLAKE_HUNT_LIMIT:-5400}
name=$(basename "$build")
# Named by the whole path: hunts of two checkouts' build-asan run side by side.
log=/tmp/kelvane-flake-hunt-$(tr / _ <<<"${build#/}").log

# The options test.sh and ci-tsan.sh run these builds with, so that a
# report fails its test here as it would there.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
select=() reports=''
if grep -q '^KIV_TSAN:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    # Reports go to files, so that one made by a child process (a cluster a
    # test started) counts even when its exit status is not looked at.
    reports=$build/tsan-reports-hunt
    rm -rf "$reports"
    mkdir -p "$reports"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:log_path=$reports/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    select=(-R '^ut_(runtime|discovery|client|ls_client|localcluster)_')
fi

busy_pids=()
stop_busy() {
    local p
    for p in "${busy_pids[@]}"; do kill "$p" 2>/dev/null; done
    wait "${busy_pids[@]}" 2>/dev/null
    busy_pids=()
}
trap stop_busy EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Each busy loop carries its own bound, so none outlives a hunt whose shell
# was killed outright.
for _ in $(seq $((2 * $(nproc)))); do
    timeout "$((limit + 60))" sh -c 'while :; do :; done' &
    busy_pids+=($!)
done

echo "=== flake-hunt: $name, every test up to $runs times, $((2 * $(nproc))) busy processes beside it"
start=$(date +%s)
(cd "$build" && timeout -k 30 "$limit" ctest -j"$(nproc)" --repeat until-fail:"$runs" --output-on-failure \
    "${select[@]}" "$@") >"$log" 2>&1
rc=$?
elapsed=$(($(date +%s) - start))
stop_busy

# A failed test's status line is followed by its output; its first failure
# message is Google Test's first "Failure" with the lines that say what
# differed, else the first sanitizer or time-out line, else its last lines.
awk -v runs="$runs" '
    function flush() {
        if (cur == "") return
        msg = ""
        for (i = 1; i <= n; i++) if (out[i] ~ /: Failure$/) { for (j = i; j <= n && j < i + 6; j++) msg = msg "    " out[j] "\n"; break }
        if (msg == "") for (i = 1; i <= n; i++) if (out[i] ~ /(Sanitizer|runtime error|Timeout|Segmentation|Aborted|terminate called)/) { msg = "    " out[i] "\n"; break }
        if (msg == "") for (i = (n > 5 ? n - 4 : 1); i <= n; i++) msg = msg "    " out[i] "\n"
        printf "FAILED: %s (%s)\n%s", cur, why, msg
        failed++
        cur = ""; n = 0
    }
    # "Start N: NAME" opens a run; "[K/M ]Test #N: NAME ....***Failed" ends
    # one (the K/M count only on a test'"'"'s last run), its output after it.
    /^ +Start +[0-9]+: / { flush(); seen[$3] = 1; next }
    /^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: / {
        flush()
        line = $0; sub(/^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: /, "", line)
        if (line ~ /[.]\*\*\*|  (Failed|Timeout|Exception|SEGFAULT|Subprocess aborted|Child aborted)/ && line !~ /  Passed  /) {
            cur = line; sub(/ .*/, "", cur)
            why = line; sub(/^[^ ]+ [.]*(\*\*\*)? */, "", why); sub(/ +[0-9.]+ sec$/, "", why)
        }
        next
    }
    /^[0-9]+% tests passed/ { flush(); summary = $0; next }
    cur != "" { out[++n] = $0 }
    END {
        flush()
        for (t in seen) total++
        printf "flake-hunt: %d test program(s), each up to %d run(s): %d failed%s\n", total, runs, failed, summary == "" ? " (ctest ended without its summary)" : ""
    }
' "$log"
if [ -n "$reports" ]; then
    for f in "$reports"/report.*; do
        [ -e "$f" ] || continue
        echo "FAILED: ThreadSanitizer report $(basename "$f")"
        head -n 12 "$f" | sed 's/^/    /'
        rc=1
    done
fi
echo "=== flake-hunt: $name: wall time $((elapsed / 60)) min $((elapsed % 60)) s, ctest exit status $rc, whole log in $log"
exit $rc
