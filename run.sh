#!/usr/bin/env bash
# Sets up, builds, starts the local cluster and runs the main job,
# kelvane-tarn-test, against it. The cluster is stopped afterwards whatever
# happens: the supervisor (`kelvane-localcluster run`) owns both.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

kiv_setup_packages
kiv_build build

dir=$(mktemp -d /tmp/kelvane-run.XXXXXX)
trap 'rm -rf "$dir"' EXIT

status=0
# Room for the 32 GiB preallocation of the concurrent data test (only what
# is written takes memory).
timeout 1800 build/bin/kelvane-localcluster run --dir "$dir" --host-id-file off --fs tarn:cap=40G -- \
    build/bin/kelvane-tarn-test -c local -f tarn "$@" || status=$?

# The lock service's tests, alone on a cluster of their own.
timeout 600 scripts/ci-ls.sh build || status=$?

# The benchmark on a file system of its own; KIV_BENCH_ARGS (split on blanks)
# replaces the small default parameters.
timeout 1800 build/bin/kelvane-localcluster run --dir "$dir/bench" --host-id-file off --fs bench -- \
    build/bin/kelvane-tarn-benchmark -c local -f bench ${KIV_BENCH_ARGS:--s 64M -d 5s -n 200} || status=$?
exit $status
