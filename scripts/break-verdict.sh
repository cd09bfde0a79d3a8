# shellcheck shell=bash
# Sourced by the negative-control scripts. A control names the tests its
# break must fail (EXPECT: test names or gtest patterns joined by ':'), and
# counts as caught only when
#   - the suite ran to its end within its limit: not cut off by the limit,
#     no test begun without a result (the program or the cluster died in it);
#   - every test of EXPECT that ran failed, and each name of EXPECT ran;
#   - no test outside EXPECT failed.
# A failure outside EXPECT is a fault of its own (of that test, or of the
# cluster beyond the broken rule), never the catch: the control line names
# it as an unexpected failure. The expected tests are ones that fail under
# their break on every run, so a control catches its break every run, and
# only its break.
#   kiv_break_verdict LABEL RC LOG LIMIT EXPECT DETAIL [WHY]
# LABEL starts the line ("break RULE", "control NAME"). WHY is the caller's
# own reason why the run is no catch even though the right tests failed
# (empty: none). Prints "LABEL: caught by TESTS" and returns 0, or prints
# "LABEL: NOT caught (REASON; DETAIL)" with the log's tail on stderr and
# returns 1.
kiv_break_verdict() {
    local label=$1 rc=$2 log=$3 limit=$4 expect=$5 detail=$6 extra=${7:-}
    local state name pat hit why=() unexpected=() unfinished=() not_failed=() caught=() patterns
    local -A result=()
    IFS=: read -ra patterns <<<"$expect"
    # The result of each test begun: its closing line, or none when it
    # never ended. gtest closes a test with "[ STATE ] NAME (N ms)", or
    # "NAME, where GetParam() = ... (N ms)" for a parameterized one; the
    # summary's lines without the time only repeat these.
    while read -r state name; do
        result[$name]=$state
    done < <(awk '
        /^\[ RUN      \] [A-Za-z_]/ { res[$4] = "unfinished" }
        /^\[ +(OK|FAILED|SKIPPED) +\] [A-Za-z_].* \([0-9]+ ms\)$/ { t = $4; sub(/,$/, "", t); res[t] = $2 }
        END { for (t in res) print res[t], t }
    ' "$log")
    for name in "${!result[@]}"; do
        hit=
        for pat in "${patterns[@]}"; do
            # shellcheck disable=SC2053  # the pattern is a glob on purpose
            [[ $name == $pat ]] && hit=1 && break
        done
        case ${result[$name]} in
            unfinished) unfinished+=("$name") ;;
            FAILED) if [ -n "$hit" ]; then caught+=("$name"); else unexpected+=("$name"); fi ;;
            *) [ -n "$hit" ] && not_failed+=("$name (${result[$name],,})") ;;
        esac
    done
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        why=("no result within ${limit} s")
    elif [ ${#unfinished[@]} -gt 0 ]; then
        why=("$(kiv_break_list ", " "${unfinished[@]}") began without a result (exit status $rc)")
    elif [ "$rc" -eq 0 ] && [ ${#caught[@]} -eq 0 ] && [ ${#unexpected[@]} -eq 0 ]; then
        why=("every test passed")
        # A skipped test passed nothing (its category was off, say).
        [[ " ${not_failed[*]}" == *" (skipped)"* ]] && why=("$(kiv_break_list ", " "${not_failed[@]}") did not fail")
    elif [ ${#caught[@]} -eq 0 ] && [ ${#unexpected[@]} -eq 0 ]; then
        why=("exit status $rc without a failed test")
    else
        [ ${#unexpected[@]} -gt 0 ] && why+=("unexpected failure of $(kiv_break_list ", " "${unexpected[@]}")")
        [ ${#not_failed[@]} -gt 0 ] && why+=("$(kiv_break_list ", " "${not_failed[@]}") did not fail")
        for pat in "${patterns[@]}"; do
            hit=
            for name in "${!result[@]}"; do
                # shellcheck disable=SC2053
                [[ $name == $pat ]] && hit=1 && break
            done
            [ -z "$hit" ] && why+=("expected $pat to fail, it never ran")
        done
        [ ${#why[@]} -eq 0 ] && [ "$rc" -eq 0 ] && why=("exit status 0 after failed tests")
        [ ${#why[@]} -eq 0 ] && [ -n "$extra" ] && why=("$extra")
    fi
    if [ ${#why[@]} -eq 0 ]; then
        if [ ${#caught[@]} -le 8 ]; then
            echo "$label: caught by $(kiv_break_list : "${caught[@]}")"
        else
            echo "$label: caught by the ${#caught[@]} expected tests of $detail"
        fi
        return 0
    fi
    local reasons
    printf -v reasons '%s; ' "${why[@]}"
    echo "$label: NOT caught (${reasons}$detail)"
    tail -n 20 "$log" | sed 's/^/    /' >&2
    return 1
}

# kiv_break_list SEP WORDS...: the words sorted, joined by SEP.
kiv_break_list() {
    local sep=$1 out='' w
    shift
    while read -r w; do out+=${out:+$sep}$w; done < <(printf '%s\n' "$@" | sort)
    printf '%s' "$out"
}

# kiv_break_expect NAME FILTER EXPECT: the tests a control expects to fail,
# EXPECT or else the filter, when that names only tests (no pattern).
kiv_break_expect() {
    local name=$1 filter=$2 expect=$3
    [ -n "$expect" ] && { printf '%s' "$expect"; return 0; }
    case $filter in
        *[*?-]*)
            echo "$name: the filter $filter names no set of tests: name those expected to fail" >&2
            return 1 ;;
    esac
    printf '%s' "$filter"
}
