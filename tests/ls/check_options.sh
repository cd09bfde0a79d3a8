#!/usr/bin/env bash
# The option errors of kelvane-tarn-test-ls: each bad command line must end
# the program with a non-zero status and its fatal report as the last line of
# standard error, before any test runs. Good command lines select no test and
# must exit 0.
#   check_options.sh PROGRAM
set -uo pipefail
prog=$1
none=--gtest_filter=NoSuchSuite.NoSuchTest
failures=0

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

[ $failures -eq 0 ] && echo "option checks passed"
exit $((failures != 0))
