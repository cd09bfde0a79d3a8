#!/usr/bin/env bash
# The crash-tolerance tests of kelvane-tarn-test against a cluster that
# loses the replies of requests it executed just before a crash: clients
# then repeat those creates and mkdirs, and only the verifiers tell the
# repeat from a second create.
#   run-crash-drop.sh BUILD_DIR
set -uo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
echo "=== crash-tolerance tests with the replies of executed requests lost ($build)"
dir=$(mktemp -d /tmp/kelvane-crash-drop.XXXXXX)
timeout -k 30 600 "$build/bin/kelvane-localcluster" run --dir "$dir" --host-id-file off --crash-replies drop -- \
    "$build/bin/kelvane-tarn-test" -c local -f tarn --gtest_filter='*CrashTolerance*:*JournalReplay*'
rc=$?
rm -rf "$dir"
exit $rc
