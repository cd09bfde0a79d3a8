#!/usr/bin/env bash
# Builds the unit tests of the runtime, the discovery, Tarn and lock clients
# and the local cluster with ThreadSanitizer in build-tsan and runs them.
# Any report fails the run (halt_on_error), with its stacks in the log.
#   ci-tsan.sh [JOBS]      (default: number of processors)
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
groups='runtime|discovery|client|ls_client|localcluster'

echo "=== ThreadSanitizer: unit tests of $groups"
start=$(date +%s)
# Configured every time: a test file added since the tree was made must be
# known before its target is asked for by name.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_TSAN=ON >/dev/null || exit 1
# One goal per group: make builds the goals it is given one after the other.
targets=(kelvane-localcluster)
for g in ${groups//|/ }; do targets+=("unittests_$g"); done
timeout 900 cmake --build build-tsan -j"$jobs" --target "${targets[@]}" >build-tsan/build.log 2>&1 || {
    tail -n 60 build-tsan/build.log
    echo "ci-tsan: the ThreadSanitizer build failed" >&2
    exit 1
}

# halt_on_error: the first report ends the program, so ctest counts it as
# failed. The reports go to files, so that one made by a child process (the
# front-end tests run kelvane-localcluster) fails the run even when its exit
# status is not looked at. second_deadlock_stack: lock-order reports show
# both stacks.
reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:log_path=$reports/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
(cd build-tsan && timeout 600 ctest -j"$jobs" --timeout 300 --output-on-failure -R "^ut_($groups)_")
status=$?
for f in "$reports"/report.*; do
    [ -e "$f" ] || continue
    echo "=== ThreadSanitizer report ($(basename "$f"))"
    cat "$f"
    status=1
done
echo "ci-tsan: exit status $status, $(( $(date +%s) - start )) s"
exit $status
