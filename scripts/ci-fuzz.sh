#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build-fuzz and runs each for a short time, all at once. Each
# target seeds its corpus with messages made by the project's encoders. A
# finding fails the run and leaves its input, in hex, in the log.
#   ci-fuzz.sh [SECONDS]     (default 20 per target)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${KIV_FUZZ_SECONDS:-20}}
targets=(registry_reply mds_reply opaque rpc_server_frames rpc_client_frames lc_registry lc_mds lc_ds ls_reply lc_ls)

echo "=== fuzzing: ${#targets[@]} targets, ${seconds} s each"
# Configured every time: a target added since the tree was made must be known
# before it is asked for by name.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_FUZZ=ON >/dev/null || exit 1
timeout 1200 cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null || {
    echo "fuzz targets do not build" >&2
    exit 1
}

work=$(mktemp -d /tmp/kelvane-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
pids=()
for t in "${targets[@]}"; do
    mkdir -p "$work/$t/corpus" "$work/$t/found"
    # The lock server's largest request (a 2 KiB caller name, 8 KiB of
    # items) must fit in one input, with a few more beside it.
    max_len=4096
    [ "$t" = lc_ls ] && max_len=65536
    timeout -k 10 $((seconds + 60)) "build-fuzz/bin/fuzz_$t" -max_total_time="$seconds" -max_len=$max_len \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$t/found/" \
        "$work/$t/corpus" >"$work/$t/log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    t=${targets[$i]}
    wait "${pids[$i]}"
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log" | tail -n 1)
    found=$(find "$work/$t/found" -type f | head -n 1)
    if [ $rc -eq 0 ] && [ -z "$found" ]; then
        echo "fuzz $t: ${runs:-?} inputs in ${seconds} s, nothing found"
        continue
    fi
    status=1
    echo "fuzz $t: FOUND a fault (exit status $rc)"
    grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==|#[0-9]+ 0x' "$work/$t/log" | head -n 40 | sed 's/^/    /'
    if [ -n "$found" ]; then
        echo "    input $(basename "$found") ($(stat -c %s "$found") bytes):"
        od -A x -t x1z -v "$found" | head -n 64 | sed 's/^/      /'
    fi
done
exit $status
