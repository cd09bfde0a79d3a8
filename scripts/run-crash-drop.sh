#!/usr/bin/env bash
# The crash-tolerance tests of kelvane-tarn-test against a cluster that
# loses the replies of requests it executed just before a crash: clients
# then repeat those creates and mkdirs, and only the verifiers tell the
# repeat from a second create. A crash that the tests ask for lands
# wherever the workers happen to be, so the run does not rely on it: fault
# rules make the MDS execute one file create and one mkdir and crash before
# either reply leaves (apply-crash), and the run fails unless both fired.
# A cluster that forgets verifiers is then caught every run, not most.
#   run-crash-drop.sh BUILD_DIR [CLUSTER OPTIONS...]
# CLUSTER OPTIONS go to kelvane-localcluster (a negative control passes
# --break create-forgets-verifier, for instance).
set -uo pipefail
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [CLUSTER OPTIONS...]" >&2
    exit 2
fi
build=$1
bin=$(cd "$build" && pwd)/bin
shift
# Create file (4216) and mkdir (4218) of the file system under test.
rules=("mds:tarn type=4216 apply-crash count=1" "mds:tarn type=4218 apply-crash count=1")
echo "=== crash-tolerance tests with the replies of executed requests lost ($build${*:+, $*})"
dir=$(mktemp -d /tmp/kelvane-crash-drop.XXXXXX)
timeout -k 30 600 "$bin/kelvane-localcluster" run --dir "$dir" --host-id-file off --crash-replies drop "$@" -- \
    sh -c "ctl() { \"$bin/kelvane-localcluster\" ctl --dir \"\$KIV_CLUSTER_DIR\" \"\$@\"; }
           ctl fault add ${rules[0]} >/dev/null && ctl fault add ${rules[1]} >/dev/null || exit 3
           \"$bin/kelvane-tarn-test\" -c local -f tarn --gtest_filter='*CrashTolerance*:*JournalReplay*'; rc=\$?
           ctl fault list >\"\$KIV_CLUSTER_DIR/faults.json\"; exit \$rc"
rc=$?
for rule in "${rules[@]}"; do
    if ! grep -qF "\"rule\":\"$rule\",\"matched\":" "$dir/faults.json" 2>/dev/null ||
        ! grep -q "\"rule\":\"$rule\",\"matched\":[0-9]*,\"fired\":1," "$dir/faults.json"; then
        echo "crash-drop: the rule '$rule' never fired: no reply was lost for sure (status $rc)"
        [ $rc -eq 0 ] && rc=1
    fi
done
[ $rc -eq 0 ] && echo "crash-drop: passed, with a create and a mkdir executed and their replies lost at an MDS crash"
rm -rf "$dir"
exit $rc
