#!/usr/bin/env bash
# The option errors of kelvane-tarn-test-ls: each bad command line must end
# the program with a non-zero status and its fatal report as the last line of
# standard error, before any test runs. Good command lines select no test and
# must exit 0. With the local cluster's program, names that lead nowhere (a
# mistyped cluster, a file system without a lock server) must end a run of
# tests the same way, within seconds, with one line naming what is missing.
#   check_options.sh PROGRAM [LOCALCLUSTER]
set -uo pipefail
prog=$1
none=--gtest_filter=NoSuchSuite.NoSuchTest
failures=0

# EXPECTED-LINE ARGS...: exit status 2, that one line on stderr, no test run.
expect_unusable() {
    local expected=$1 out rc t0=$SECONDS
    shift
    out=$("$prog" "$@" 2>"$tmp/err")
    rc=$?
    if [ $rc -ne 2 ] || [ "$(cat "$tmp/err")" != "$expected" ] || grep -q '^\[ RUN' <<<"$out" ||
        [ $((SECONDS - t0)) -gt 15 ]; then
        echo "FAIL: $*: status $rc after $((SECONDS - t0)) s, stderr: $(cat "$tmp/err") (expected: $expected)"
        return 1
    fi
}

if [ "${1:-}" = "--under-cluster" ]; then
    # Started by `kelvane-localcluster run`, which set KIV_CLUSTER_DIR; the
    # cluster serves tarn (0x1001) only.
    prog=$2
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    conf=$KIV_CLUSTER_DIR/local.conf
    expect_unusable "Cannot use file system 'tarn' (id 1002): cluster 'local' ($conf) has no lock server record of it" \
        -c local -f tarn -i 1002 || failures=$((failures + 1))
    expect_unusable "Cannot use cluster 'locla': $KIV_CLUSTER_DIR/locla.conf: No such file or directory" \
        -c locla -f tarn -i 1001 || failures=$((failures + 1))
    out=$("$prog" -c local -f tarn -i 0x1001 --gtest_filter=TARNLSPosixBRLocksTest.BasicTestReq 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
        echo "FAIL: the names of the running cluster: status $rc, output: $out"
        failures=$((failures + 1))
    fi
    exit $((failures != 0))
fi

# expected text | arguments
bad_cases=(
    "Cluster name (-c) must be specified.|-f tarn -i 1001"
    "Filesystem name (-f) must be specified.|-c local -i 1001"
    "Filesystem ID (-i) must be specified.|-c local -f tarn"
    "Filesystem ID (-i) must be specified.|-c local -f tarn -i 0"
    "Filesystem ID (-i) must be specified.|-c local -f tarn -i 0x0"
    "Invalid file system ID|-c local -f tarn -i xyz"
    "Invalid file system ID|-c local -f tarn -i 10zz"
    "Invalid file system ID|-c local -f tarn -i -1"
    "Invalid file system ID|-c local -f tarn -i 0x"
    "Invalid file system ID|-c local -f tarn -i 1ffffffffffffffff"
    "Invalid file system ID|-i nothex"
    "Unknown option - ?|-c local -f tarn -i 1001 -x"
    "Unknown option - ?|-c local -f tarn -i"
    "Unknown option - ?|-q -c local -f tarn -i 1001"
)
for case in "${bad_cases[@]}"; do
    expected="FATAL: ${case%%|*}"
    read -r -a args <<<"${case#*|}"
    err=$("$prog" "${args[@]}" "$none" 2>&1 >/dev/null)
    rc=$?
    last=$(printf '%s\n' "$err" | tail -n 1)
    if [ $rc -eq 0 ] || [ "$last" != "$expected" ]; then
        echo "FAIL: ${args[*]}: status $rc, stderr: $err (expected: $expected)"
        failures=$((failures + 1))
    fi
    # Only getopt's own complaint may come before the report.
    if [ "${case%%|*}" != "Unknown option - ?" ] && [ "$err" != "$expected" ]; then
        echo "FAIL: ${args[*]}: stderr has more than the report: $err"
        failures=$((failures + 1))
    fi
done

# Accepted command lines: hex ids with or without 0x, -v repeated, Google
# Test flags before and after the program's options.
good_cases=(
    "-c local -f tarn -i 1001 $none"
    "$none -c local -f tarn -i 0x1001 -v -v"
    "-c local -f tarn -i ffffffffffffffff --gtest_color=no $none"
)
for case in "${good_cases[@]}"; do
    read -r -a args <<<"$case"
    out=$("$prog" "${args[@]}" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || ! grep -q '0 tests from 0 test suites ran' <<<"$out"; then
        echo "FAIL: $case: status $rc, output: $out"
        failures=$((failures + 1))
    fi
done

if [ $# -ge 2 ]; then
    dir=$(mktemp -d /tmp/kelvane-ls-options.XXXXXX)
    timeout -k 10 50 "$2" run --dir "$dir" --host-id-file off --fs tarn:0x1001 -- "$0" --under-cluster "$prog" ||
        failures=$((failures + 1))
    rm -rf "$dir"
fi

[ $failures -eq 0 ] && echo "option checks passed"
exit $((failures != 0))
