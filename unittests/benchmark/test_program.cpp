// kelvane-tarn-benchmark run whole against the simulated cluster started
// in-process: the listener's lines stand in for Google Test's printer while
// --gtest_filter and --gtest_output=xml keep working; a failing benchmark
// prints its failure and FAILED, and the benchmarks skipped after it print
// SKIPPED; nothing is left on the file system either way.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness/child_process.h"
#include "localcluster/cluster.h"

namespace {

constexpr const char* k_fs = "benchfs";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class BenchmarkProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        localcluster::ClusterConfig c;
        c.fs.push_back(localcluster::FsConfig{k_fs, 0x5001});
        c.lock_servers = false;
        c.log_level = 0;
        cluster_ = localcluster::Cluster::start(c).release();
    }
    static void TearDownTestSuite() {
        delete cluster_;
        cluster_ = nullptr;
    }

    test_child::ChildResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "local", "-f", k_fs});
        return test_child::run(KELVANE_TARN_BENCHMARK_BIN, args, {"GTEST_"});
    }

    // The test directories of every run are gone again: the root lists
    // nothing but itself.
    void expect_file_system_empty() {
        const std::string dump = cluster_->control(std::string("dump ") + k_fs);
        EXPECT_EQ(std::string::npos, dump.find("tarn_test_")) << dump;
    }

    static localcluster::Cluster* cluster_;
};

localcluster::Cluster* BenchmarkProgramTest::cluster_ = nullptr;

bool all_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// "*** <test> <status> in <seconds with three decimals> seconds"
bool is_end_line(const std::string& line, const std::string& test, const std::string& status) {
    const std::string head = "*** " + test + " " + status + " in ";
    const std::string tail = " seconds";
    if (line.size() < head.size() + tail.size() + 5 || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string figure = line.substr(head.size(), line.size() - head.size() - tail.size());
    const size_t dot = figure.find('.');
    return dot != std::string::npos && all_digits(figure.substr(0, dot)) && figure.size() - dot == 4 &&
           all_digits(figure.substr(dot + 1));
}

TEST_F(BenchmarkProgramTest, FilteredRunPrintsOnlyListenerLinesAndWritesXml) {
    char xml_path[] = "/tmp/kelvane-bench-xml.XXXXXX";
    const int fd = mkstemp(xml_path);
    ASSERT_GE(fd, 0);
    close(fd);

    const test_child::ChildResult r =
        run({"-n", "3", "-s", "4096", "-d", "0", "--gtest_output=xml:" + std::string(xml_path),
             "--gtest_filter=TARNDataIOBenchmark.*:TARNTreeOperationsBenchmark.RemoveFile"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;

    // Zero seconds of reading: every worker stops at once.
    const std::vector<std::string> lines = lines_of(r.out);
    const std::vector<std::string> reads_part = {
        "*** TARNDataIOBenchmark.RandomReads",
        "Creating test file...",
        "Starting 100 threads for random reads...",
        "Starting 100 worker threads...",
        "Waiting for threads to finish...",
        "Waiting for worker threads to stop...",
        "All threads finished.",
        "Total Reads: 0",
        "IOPS: 0.0",
    };
    ASSERT_GE(lines.size(), reads_part.size() + 16) << r.out;
    for (size_t i = 0; i < reads_part.size(); ++i) EXPECT_EQ(reads_part[i], lines[i]);
    EXPECT_TRUE(is_end_line(lines[9], "TARNDataIOBenchmark.RandomReads", "PASSED")) << lines[9];

    EXPECT_EQ("*** TARNTreeOperationsBenchmark.RemoveFile", lines[10]);
    EXPECT_EQ("Creating files...", lines[11]);
    EXPECT_EQ("Removing files...", lines[12]);
    EXPECT_EQ("   Samples: 3", lines[13]);
    // The report's figures, the histogram when the samples differ, then the
    // end line, which is the last line of all.
    EXPECT_TRUE(is_end_line(lines.back(), "TARNTreeOperationsBenchmark.RemoveFile", "PASSED")) << lines.back();
    for (const std::string& line : lines) {
        EXPECT_EQ(std::string::npos, line.find("[ RUN")) << "Google Test's printer is still installed";
        EXPECT_EQ(std::string::npos, line.find("[  PASSED")) << "Google Test's printer is still installed";
        EXPECT_EQ(std::string::npos, line.find("CreateFile")) << "the filter was ignored";
    }

    const std::string xml = read_file(xml_path);
    unlink(xml_path);
    EXPECT_NE(std::string::npos, xml.find("<testsuites tests=\"2\" failures=\"0\"")) << xml;
    EXPECT_NE(std::string::npos, xml.find("name=\"RandomReads\"")) << xml;
    EXPECT_NE(std::string::npos, xml.find("name=\"RemoveFile\"")) << xml;
    EXPECT_EQ(std::string::npos, xml.find("name=\"LookupFile\"")) << xml;

    expect_file_system_empty();
}

TEST_F(BenchmarkProgramTest, FailedBenchmarkAndTheOnesSkippedAfterIt) {
    // Reads fail once the first few have been answered.
    const std::string added = cluster_->control(std::string("fault add ds:") + k_fs + " type=4108 status=5 after=20");
    ASSERT_NE(std::string::npos, added.find("\"ok\":true")) << added;
    const test_child::ChildResult r = run({"-n", "2", "-s", "64K", "-d", "1", "--gtest_fail_fast"});
    cluster_->control("fault clear");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(1, r.exit_code) << r.out << r.err;

    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("*** TARNDataIOBenchmark.RandomReads", lines[0]);
    int failures = 0, failed_ends = 0, skipped_ends = 0;
    bool listed_workers = false, totals = false;
    for (const std::string& line : lines) {
        const size_t place = line.find("benchmark_data_io.cpp:");
        failures += line.rfind("Failure in ", 0) == 0 && place != std::string::npos &&
                    all_digits(line.substr(place + strlen("benchmark_data_io.cpp:")));
        failed_ends += is_end_line(line, "TARNDataIOBenchmark.RandomReads", "FAILED");
        for (const char* test : {"CreateFile", "CreateDir", "RemoveFile", "LookupFile"})
            skipped_ends += is_end_line(line, std::string("TARNTreeOperationsBenchmark.") + test, "SKIPPED");
        listed_workers |= line.find("random_io failed with rc=-1 (thread ") != std::string::npos;
        totals |= line.rfind("Total Reads:", 0) == 0;
    }
    EXPECT_EQ(1, failures) << r.out;
    EXPECT_TRUE(listed_workers) << r.out;
    EXPECT_FALSE(totals) << "a failed run prints no totals";
    EXPECT_EQ(1, failed_ends) << r.out;
    EXPECT_EQ(4, skipped_ends) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("PASSED")) << r.out;

    expect_file_system_empty();
}

// A share the cluster does not serve ends the run before the first
// benchmark, with one line naming it, instead of a full retry time per test.
TEST_F(BenchmarkProgramTest, UnknownShareEndsTheRunBeforeAnyBenchmark) {
    const test_child::ChildResult r =
        test_child::run(KELVANE_TARN_BENCHMARK_BIN, {"-c", "local", "-f", "no_such_share", "-n", "2"}, {"GTEST_"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(2, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("no_such_share")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("*** ")) << "no benchmark may start: " << r.out;
}

}  // namespace
