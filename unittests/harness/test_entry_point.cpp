// kelvane-tarn-test's command line: the real program is run as a child
// process for everything that ends the process (help, fatal reports, a test
// run), and the option parser is called in-process for what only shows in
// process state.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <fstream>
#include <sstream>

#include "harness/child_process.h"
#include "kiv/base.h"
#include "localcluster/wire_test_client.h"
#include "utils/tarn_test_base.h"

namespace {

const char k_category_help[] =
    "Test Category Options:\n"
    "  --enable-heavy-tests       Enable heavy tests\n"
    "  --enable-assisted-tests    Enable assisted tests\n"
    "  --enable-ha-tests          Enable HA tests\n"
    "  --help-test-categories     Show this help message\n"
    "\n"
    "Environment Variables:\n"
    "  ENABLE_HEAVY_TESTS=1       Enable heavy tests\n"
    "  ENABLE_ASSISTED_TESTS=1    Enable assisted tests\n"
    "  ENABLE_HA_TESTS=1          Enable HA tests\n"
    "\n";

const std::string k_usage = std::string(
                                "Usage: test_tarn -c CLUSTER_NAME -f FS_NAME [options]\n"
                                "Options:\n"
                                "  -c CLUSTER_NAME     Name of the cluster (required)\n"
                                "  -f FS_NAME          Name of the filesystem (required)\n"
                                "  -v                  Increase verbosity\n"
                                "                      (can be used multiple times)\n"
                                "  --purge             Remove all files before tests\n"
                                "                      (DANGEROUS: use with caution!)\n"
                                "  --noshuffle         Disable test shuffling\n"
                                "  --nocleanup-failed  Don't remove files from failed tests\n"
                                "  -h                  Show this help message\n"
                                "\n") +
                            k_category_help;

const char k_no_cluster[] = "FATAL: Cluster name (-c) must be specified.";
const char k_no_fs[] = "FATAL: Filesystem name (-f) must be specified.";
const char k_unknown[] = "FATAL: Unknown option - ?";
const char k_shuffle_note[] = "Randomizing tests' orders";
const char k_no_tests[] = "--gtest_filter=NoSuchSuite.*";

using test_child::ChildResult;

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

class EntryPointTest : public ::testing::Test {
protected:
    // Runs the program with `args` and an environment without test-category
    // or Google Test variables, so the caller's shell cannot change results.
    ChildResult run_program(const std::vector<std::string>& args) {
        return test_child::run(KELVANE_TARN_TEST_BIN, args, {"ENABLE_", "GTEST_"});
    }

    // The child ended through the fatal report with `message`.
    void expect_fatal(const std::vector<std::string>& args, const char* message) {
        ChildResult r = run_program(args);
        EXPECT_TRUE(r.exited);
        EXPECT_NE(0, r.exit_code);
        EXPECT_TRUE(contains(r.err, message)) << "stderr: " << r.err;
        EXPECT_FALSE(contains(r.out, "tests from")) << "tests must not run; stdout: " << r.out;
    }

    // The program's suites would each wait for the (absent) cluster, so the
    // runs select no test: what is checked is how far the start-up gets.
    void expect_clean_run(std::vector<std::string> args) {
        args.push_back(k_no_tests);
        ChildResult r = run_program(args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(0, r.exit_code) << "stderr: " << r.err;
        EXPECT_TRUE(contains(r.out, "0 tests from 0 test suites ran.")) << "stdout: " << r.out;
        EXPECT_TRUE(contains(r.out, "[  PASSED  ] 0 tests.")) << "stdout: " << r.out;
    }
};

TEST_F(EntryPointTest, ShortHelpPrintsExactlyTheUsage) {
    ChildResult r = run_program({"-h"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(k_usage, r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(EntryPointTest, LongHelpEndsWithTheUsage) {
    // Google Test answers "--help" with its own help first and leaves the
    // word in place, so the program's usage follows it.
    ChildResult r = run_program({"--help", "-c", "x"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_TRUE(ends_with(r.out, k_usage)) << r.out;
}

TEST_F(EntryPointTest, OptionsAreHandledInOrderAroundHelp) {
    ChildResult r = run_program({"-h", "--no-such-option"});
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(k_usage, r.out);

    expect_fatal({"--no-such-option", "-h"}, k_unknown);
}

TEST_F(EntryPointTest, CategoryHelpPrintsOnlyCategoryHelp) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help-test-categories"},
             {"--bogus", "-c", "--help-test-categories", "-q", "--enable-heavy-tests=1"},
             {"--enable-ha-tests", "--help-test-categories", "-h"},
         }) {
        ChildResult r = run_program(args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(0, r.exit_code) << "stderr: " << r.err;
        EXPECT_EQ(k_category_help, r.out);
        EXPECT_FALSE(contains(r.err, "FATAL")) << r.err;
    }
}

TEST_F(EntryPointTest, MissingClusterName) {
    expect_fatal({}, k_no_cluster);
    expect_fatal({"-f", "fs"}, k_no_cluster);
    expect_fatal({"--cluster=", "-f", "fs"}, k_no_cluster);
    // The cluster is checked before the file system.
    ChildResult r = run_program({"-v"});
    EXPECT_TRUE(contains(r.err, k_no_cluster));
    EXPECT_FALSE(contains(r.err, k_no_fs));
}

TEST_F(EntryPointTest, MissingFilesystemName) {
    expect_fatal({"-c", "X"}, k_no_fs);
    expect_fatal({"--cluster", "X", "--filesystem="}, k_no_fs);
    // An empty later value replaces an earlier good one.
    expect_fatal({"-c", "X", "-f", "fs", "-f", ""}, k_no_fs);
}

TEST_F(EntryPointTest, UnknownOptionsAndMissingArguments) {
    expect_fatal({"-c", "X", "-f", "Y", "-x"}, k_unknown);
    expect_fatal({"-c", "X", "-f", "Y", "--bogus"}, k_unknown);
    expect_fatal({"-f", "Y", "-c"}, k_unknown);
    expect_fatal({"-c", "X", "--filesystem"}, k_unknown);
    expect_fatal({"-c", "X", "-f", "Y", "--purge=1"}, k_unknown);
}

TEST_F(EntryPointTest, CategorySwitchWithValueIsAnUnknownOption) {
    expect_fatal({"-c", "X", "-f", "Y", "--enable-heavy-tests=1"}, k_unknown);
}

TEST_F(EntryPointTest, ValidNamesRunTheEmptyTestProgram) {
    expect_clean_run({"-c", "X", "-f", "Y"});
    expect_clean_run({"--cluster", "X", "--filesystem=Y", "--verbose", "--purge", "--nocleanup-failed"});
    // Stray words are ignored, category switches never reach the option
    // parser and Google Test's own flags are taken by Google Test.
    expect_clean_run({"stray", "--enable-heavy-tests", "-c", "X", "--enable-assisted-tests", "-f", "Y",
                      "--enable-ha-tests", "--gtest_brief=1"});
}

TEST_F(EntryPointTest, ShuffleIsOnUnlessNoshuffleIsGiven) {
    ChildResult r = run_program({"-c", "X", "-f", "Y", k_no_tests});
    EXPECT_EQ(0, r.exit_code);
    EXPECT_TRUE(contains(r.out, k_shuffle_note)) << r.out;

    r = run_program({"--gtest_shuffle", "-c", "X", "-f", "Y", "--noshuffle", k_no_tests});
    EXPECT_EQ(0, r.exit_code);
    EXPECT_FALSE(contains(r.out, k_shuffle_note)) << r.out;
    EXPECT_TRUE(contains(r.out, "[  PASSED  ] 0 tests.")) << r.out;
}

// Names that lead nowhere end the program before its first test, within
// seconds, with one line naming what could not be used.
TEST_F(EntryPointTest, UnusableClusterEndsTheRunBeforeAnyTest) {
    char dir_template[] = "/tmp/kiv-entry.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    // A registry address where nothing listens: a port bound but not
    // listening, held for the whole test so that no other process (the
    // clusters of tests run beside this one) can listen there, and no
    // connection to it can be given it as its own port and reach itself.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &len));
    const std::string dead_conf = dir + "/silent.conf";
    FILE* f = fopen(dead_conf.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "mds=127.0.0.1:%u\n", unsigned(ntohs(sa.sin_port)));
    fclose(f);

    const char* saved = getenv("KIV_CLUSTER_DIR");
    const std::string saved_dir = saved ? saved : "";
    // A live registry one of whose file-system records is not a service
    // record: the line names that record's key. The cluster sets
    // KIV_CLUSTER_DIR to its own directory, which the put below reads.
    localcluster::ClusterConfig cc;
    cc.lock_servers = false;
    cc.log_level = 0;
    std::unique_ptr<localcluster::Cluster> live = localcluster::Cluster::start(cc);
    const std::string bad_key = "/discov/services/tarn/mds/mds-broken";
    {
        wiretest::WireClient reg("entry-reg", wiretest::mds_endpoint_params(), true);
        ASSERT_TRUE(reg.registry(KV_OP_PUT, bad_key, "{}").completed);
    }
    std::stringstream live_conf;
    live_conf << std::ifstream(live->conf_path()).rdbuf();
    setenv("KIV_CLUSTER_DIR", dir.c_str(), 1);
    struct Case {
        const char* cluster;
        std::string expect;  // in the one line on stderr
    };
    // Bootstrap files that name no registry, each with the cause its line
    // must keep.
    const std::string live_text = live_conf.str();
    const std::pair<const char*, const char*> files[] = {{"empty", ""},
                                                         {"comments", "# nothing here\n\n   \n"},
                                                         {"noeq", "# c\nmds\n"},
                                                         {"badaddr", "mds=127.0.0.1\n"},
                                                         {"badrecord", live_text.c_str()}};
    for (const auto& [name, text] : files) {
        FILE* bf = fopen((dir + "/" + name + ".conf").c_str(), "w");
        ASSERT_NE(nullptr, bf);
        fputs(text, bf);
        fclose(bf);
    }
    ASSERT_EQ(0, mkdir((dir + "/adir.conf").c_str(), 0700));
    const Case cases[] = {
        {"nosuch", "Cannot use cluster 'nosuch': " + dir + "/nosuch.conf: No such file or directory"},
        {"silent", "Cannot use cluster 'silent' (" + dead_conf + "): its registry did not answer within 5 s"},
        {"empty", "Cannot use cluster 'empty': " + dir + "/empty.conf: no mds= line"},
        {"comments", "Cannot use cluster 'comments': " + dir + "/comments.conf: no mds= line"},
        {"adir", "Cannot use cluster 'adir': " + dir + "/adir.conf: Is a directory"},
        {"noeq", "Cannot use cluster 'noeq': " + dir + "/noeq.conf:2: malformed line (not key=value)"},
        {"badaddr", "Cannot use cluster 'badaddr': " + dir +
                        "/badaddr.conf:1: malformed mds address (want a.b.c.d:port or [v6]:port)"},
        {"badrecord", "Cannot use cluster 'badrecord' (" + dir + "/badrecord.conf): listing its file systems failed: " +
                          "record '" + bad_key + "': name must be a string"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cluster);
        const auto t0 = std::chrono::steady_clock::now();
        ChildResult r = run_program({"-c", c.cluster, "-f", "tarn"});
        // A hang guard: the check takes 5 s, a start-up that ignored it 900 s.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(2, r.exit_code);
        EXPECT_EQ(c.expect + "\n", r.err);
        EXPECT_FALSE(contains(r.out, "[ RUN")) << r.out;
    }
    if (saved)
        setenv("KIV_CLUSTER_DIR", saved_dir.c_str(), 1);
    else
        unsetenv("KIV_CLUSTER_DIR");
    close(probe);
    unlink(dead_conf.c_str());
    for (const auto& f : files) unlink((dir + "/" + f.first + ".conf").c_str());
    rmdir((dir + "/adir.conf").c_str());
    rmdir(dir.c_str());
}

class ParseOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { saved_log_level_ = __kiv_log_level; }
    void TearDown() override { __kiv_log_level = saved_log_level_; }

    // getopt_long reorders the vector, so it gets its own copies.
    void parse(std::vector<std::string> args) {
        args.insert(args.begin(), "kelvane-tarn-test");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        cfg_ = TARNTestConfig{};
        noshuffle_ = false;
        tarn_test_parse_options(static_cast<int>(args.size()), argv.data(), &cfg_, &noshuffle_);
    }

    int saved_log_level_ = 0;
    TARNTestConfig cfg_;
    bool noshuffle_ = false;
};

TEST_F(ParseOptionsTest, NamesAndDefaults) {
    parse({"-c", "one", "-f", "share"});
    EXPECT_EQ("one", cfg_.cluster_name);
    EXPECT_EQ("share", cfg_.fs_name);
    EXPECT_FALSE(cfg_.purge);
    EXPECT_FALSE(cfg_.nocleanup_failed);
    EXPECT_FALSE(noshuffle_);
    EXPECT_EQ(saved_log_level_, __kiv_log_level);
}

TEST_F(ParseOptionsTest, LaterNamesWinAndSwitchesAreSet) {
    parse({"--cluster=first", "stray", "-f", "a", "--noshuffle", "-c", "second", "--filesystem", "b", "--purge",
           "--nocleanup-failed"});
    EXPECT_EQ("second", cfg_.cluster_name);
    EXPECT_EQ("b", cfg_.fs_name);
    EXPECT_TRUE(cfg_.purge);
    EXPECT_TRUE(cfg_.nocleanup_failed);
    EXPECT_TRUE(noshuffle_);
}

TEST_F(ParseOptionsTest, EachVerboseRaisesTheLogLevelByOne) {
    __kiv_log_level = 2;
    parse({"-v", "-c", "x", "--verbose", "-f", "y", "-v"});
    EXPECT_EQ(5, __kiv_log_level);

    // A second scan starts afresh rather than continuing the first one.
    parse({"-c", "x", "-f", "y", "-v"});
    EXPECT_EQ(6, __kiv_log_level);
}

}  // namespace
