# Checks the standard output of one kelvane-tarn-benchmark run: every line
# has one of the layouts the program prints, every test that started ended
# PASSED, each latency report has `count` samples, its figures are ordered and
# its histogram is whole (20 rows, counts adding up to the samples, bars
# scaled to the fullest bucket), and IOPS agrees with the total reads over
# `duration` seconds. Prints one line per problem; exits 1 if there was any.
#   awk -v count=N -v duration=SECONDS -v tests=N -f check-bench-output.awk OUTPUT
function bad(msg) {
    printf "check-bench-output: line %d: %s\n    %s\n", NR, msg, $0
    problems++
}
# A figure of the report: right-aligned in 14 columns (wider only when it
# must be), digits grouped by apostrophes.
function figure(text, what,    s) {
    if (length(text) < 14 && text !~ /^ /) bad(what ": not right-aligned in 14 columns")
    s = text
    sub(/^ +/, "", s)
    if (s !~ /^[0-9]([0-9]?[0-9]?)('[0-9][0-9][0-9])*$/ || (length(text) > 14 && text ~ /^ /))
        bad(what ": not a grouped figure")
    gsub(/'/, "", s)
    return s + 0
}
function histogram_row(    b, n, value) {
    b = substr($0, 17, 50)
    n = b
    gsub(/ /, "", n)
    if (b !~ /^@* *$/) bad("bar is not @ followed by blanks")
    value = figure(substr($0, 1, 14), "bucket")
    if (rows_seen == 0) top_label = value
    else if (value <= prev_label) bad("bucket values do not rise")
    prev_label = value
    bucket[rows_seen] = substr($0, 68) + 0
    bar[rows_seen] = length(n)
    bucket_sum += bucket[rows_seen]
    if (bucket[rows_seen] > top) top = bucket[rows_seen]
    last_count = bucket[rows_seen]
    rows_seen++
    if (rows_seen == 20) close_report()
}
function close_report() {
    if (!in_report) return
    if (rows_seen != (fmin == fmax ? 0 : 20)) bad("histogram has " rows_seen " rows")
    if (rows_seen == 20) {
        if (bucket_sum != samples) bad("histogram counts add up to " bucket_sum ", not " samples)
        if (top_label != fmin) bad("first bucket does not start at the minimum")
        if (last_count < 1) bad("the largest sample is not in the last bucket")
        for (i = 0; i < 20; i++) {
            want = int((bucket[i] * 50 + int(top / 2)) / top)
            if (bar[i] != want) bad("bucket " i ": bar of " bar[i] " for count " bucket[i] ", expected " want)
        }
    }
    in_report = 0
    reports++
}
BEGIN {
    labels[1] = "  Min (ns): "; labels[2] = "  Avg (ns): "; labels[3] = "  P50 (ns): "
    labels[4] = "  P95 (ns): "; labels[5] = "  P98 (ns): "; labels[6] = "  Max (ns): "
    labels[7] = "Total (ns): "
    header = "    value (ns) |"
    for (i = 0; i < 50; i++) header = header "-"
    header = header " count"
    split("Creating test file...|Starting 100 threads for random reads...|Starting 100 worker threads...|" \
          "Waiting for threads to finish...|Waiting for worker threads to stop...|All threads finished.|" \
          "Creating files...|Creating directories...|Removing files...|Looking files up...", plain, "|")
    for (i in plain) is_plain[plain[i]] = 1
}
# The report's eight lines come in a fixed order.
in_report && field < 8 {
    field++
    if (substr($0, 1, 12) != labels[field - 1]) { bad("expected " labels[field - 1]); next }
    v[field - 1] = figure(substr($0, 13), labels[field - 1])
    if (field == 8) {
        fmin = v[1]; favg = v[2]; p50 = v[3]; p95 = v[4]; p98 = v[5]; fmax = v[6]; total = v[7]
        if (!(fmin <= p50 && p50 <= p95 && p95 <= p98 && p98 <= fmax)) bad("percentiles out of order")
        if (!(fmin <= favg && favg <= fmax)) bad("mean outside [min, max]")
        if (int(total / samples) != favg) bad("mean is not total / samples")
        if (fmin == fmax) close_report()
    }
    next
}
in_report && field == 8 && rows_seen == 0 && !header_seen {
    # A line out of place ends the report and is then read for what it is.
    if ($0 != header) { bad("expected the histogram header"); close_report() }
    else { header_seen = 1; next }
}
in_report && header_seen && rows_seen < 20 {
    if (substr($0, 15, 2) == " |" && substr($0, 67, 1) == " " && substr($0, 68) ~ /^[0-9]+$/) {
        histogram_row()
        next
    }
    bad("not a histogram row")
    close_report()
}
/^\*\*\* [A-Za-z0-9_]+\.[A-Za-z0-9_]+$/ {
    if (open_test != "") bad("test started inside " open_test)
    open_test = $2
    started++
    next
}
/^\*\*\* [A-Za-z0-9_]+\.[A-Za-z0-9_]+ (PASSED|FAILED|SKIPPED) in [0-9]+\.[0-9][0-9][0-9] seconds$/ {
    if ($2 != open_test) bad("end line of a test that was not running")
    if ($3 != "PASSED") bad("test did not pass")
    open_test = ""
    ended++
    next
}
/^Failure in / { bad("failure reported"); next }
/^Total Reads: [0-9]+$/ { reads = $3 + 0; reads_seen = 1; next }
/^IOPS: [0-9]+\.[0-9]$/ {
    iops = $2 + 0
    if (!reads_seen) bad("IOPS before Total Reads")
    # Each worker divides its reads by its own run, which lasts the duration
    # plus at most its last read: the sum is a little below total / duration.
    expect = reads / duration
    if (reads == 0 || iops > expect * 1.0001 + 0.1 || iops < expect * 0.9)
        bad(sprintf("IOPS %.1f does not match %d reads over %d s (%.1f)", iops, reads, duration, expect))
    iops_seen = 1
    next
}
/^   Samples: [0-9]+$/ {
    samples = $2 + 0
    if (samples != count) bad("sample count " samples ", expected " count)
    in_report = 1; field = 1; rows_seen = 0; header_seen = 0; bucket_sum = 0; top = 0
    next
}
/^No samples$/ { if (count != 0) bad("no samples, expected " count); reports++; next }
$0 in is_plain { next }
{ bad("unexpected line") }
END {
    if (in_report) { bad("report cut short"); close_report() }
    if (open_test != "") bad("test " open_test " never ended")
    if (started != tests || ended != tests) bad("started " started " and ended " ended " tests, expected " tests)
    if (!iops_seen) bad("no IOPS line")
    if (reports != tests - 1) bad(reports " latency reports, expected " tests - 1)
    if (problems) exit 1
}
