#!/usr/bin/env bash
# How long a DS keeps readers waiting once they ask for more than its memory
# budget, compared across kelvane-localcluster builds: runs the ds-readers
# shape of probe_server_memory (200 connections to one DS, each keeping two
# 4-MiB reads in flight and reading every reply as it comes, for 25 s)
# against each binary in turn, interleaved (A B C A B C ...), ROUNDS times,
# and prints one line per run with the binary's label: the reads' median,
# p99 and max latency, MB/s, the longest no-op wait of a connection made
# during the load, and the machine's load before and during the run (the
# load average, and the processors busy with work other than the run's). The
# probe is built from this checkout; its codecs are the clusters' own, so it
# measures a cluster built from any commit. The probes' whole output stays
# in LOGDIR.
#
#   scripts/bench-readers.sh [-r ROUNDS (3)] [-o LOGDIR] [-p PROBE] LABEL=PATH... [-- PROBE_ARGS...]
#
# PATH is a kelvane-localcluster binary, or a source or build tree holding
# one in build/bin/ or bin/. PROBE_ARGS go to every run (for example
# `-- --seconds 40`, or `-- --rcvbuf 16384` for readers whose small socket
# buffers take each reply off the server in many steps). Each commit is
# built in a worktree of its own:
#
#   git worktree add --detach /work/wt-31f 31f6281
#   (cd /work/wt-31f && cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
#    cmake --build build -j8 --target kelvane-localcluster)
#   scripts/bench-readers.sh -r 3 31f6281=/work/wt-31f d62d847=/work/wt-d62 fix=/work/main
#
# Run it on an otherwise idle machine: a busy one stretches every tail.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=3
logdir=
probe=$root/build/bin/probe_server_memory
while getopts r:o:p:h opt; do
    case $opt in
    r) rounds=$OPTARG ;;
    o) logdir=$OPTARG ;;
    p) probe=$OPTARG ;;
    *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

labels=() bins=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    label=${1%%=*} path=${1#*=}
    [ "$label" != "$1" ] || { echo "bench-readers: '$1' is not LABEL=PATH" >&2; exit 2; }
    for bin in "$path" "$path/build/bin/kelvane-localcluster" "$path/bin/kelvane-localcluster" ""; do
        [ -n "$bin" ] || { echo "bench-readers: no kelvane-localcluster at $path" >&2; exit 2; }
        [ -f "$bin" ] && [ -x "$bin" ] && break
    done
    labels+=("$label") bins+=("$(realpath "$bin")")
    shift
done
[ "${1:-}" != -- ] || shift
[ ${#bins[@]} -gt 0 ] || { echo "bench-readers: name at least one LABEL=PATH (-h for help)" >&2; exit 2; }

if [ ! -x "$probe" ]; then
    echo "building $probe"
    timeout 1800 cmake --build "$(dirname "$(dirname "$probe")")" -j"$(nproc)" --target probe_server_memory >/dev/null
fi
[ -n "$logdir" ] || logdir=$(mktemp -d /tmp/bench-readers-XXXXXX)
mkdir -p "$logdir"
echo "logs in $logdir; $(nproc) processors; load now $(cut -d' ' -f1-3 /proc/loadavg)"
for i in "${!bins[@]}"; do echo "${labels[$i]}: ${bins[$i]}"; done

status=0
for round in $(seq 1 "$rounds"); do
    for i in "${!bins[@]}"; do
        log=$logdir/${labels[$i]}.$round.log
        # The probe has a watchdog of its own; this one outlasts it.
        if timeout 900 "$probe" --shape ds-readers --bin "${bins[$i]}" "$@" >"$log" 2>&1; then
            line=$(sed -n 's/^readers: //p' "$log")
        else
            line="probe failed (exit $?), see $log"
            status=1
        fi
        printf '%-10s round %d: %s\n' "${labels[$i]}" "$round" "${line:-no result line, see $log}"
        # The last cluster's sockets and memory go before the next one starts.
        sleep 5
    done
done
exit $status
