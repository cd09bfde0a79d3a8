// The embedded cluster and the front end: configuration checks, --fs
// definitions, the host identity file (also through the program, as
// clusters in processes of their own), and the supervisor's reboot-line
// matching.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "localcluster/cluster.h"
#include "localcluster/common/json.h"
#include "localcluster/control.h"
#include "localcluster/host_id_file.h"
#include "localcluster/options.h"
#include "localcluster/supervisor.h"

extern char** environ;

namespace {

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

std::string slurp(const std::string& p) {
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class TempDir {
   public:
    TempDir() {
        char tmpl[] = "/tmp/lc-cluster-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
    std::string path;
};

TEST(ClusterTest, StartIsReadyAndShutdownCleansUp) {
    std::string dir, conf, pid;
    {
        auto c = localcluster::Cluster::start(localcluster::ClusterConfig{});
        dir = c->dir();
        conf = c->conf_path();
        pid = dir + "/local.pid";
        EXPECT_EQ(dir + "/local.conf", conf);
        EXPECT_EQ("mds=127.0.0.1:" + std::to_string(c->registry_port()) + "\n", slurp(conf));
        EXPECT_STREQ(dir.c_str(), getenv("KIV_CLUSTER_DIR"));
        EXPECT_EQ(std::to_string(getpid()) + "\n", slurp(pid));
        EXPECT_EQ((std::vector<uint64_t>{0xa1, 0xa2, 0xa3}), c->host_ids());
        EXPECT_EQ(0xa1u, c->mds_host());
        EXPECT_EQ("kelvane-localcluster ready cluster=local conf=" + conf + " registry=127.0.0.1:" +
                      std::to_string(c->registry_port()) + " control=" + dir +
                      "/local.ctl hosts=00000000000000a1,00000000000000a2,00000000000000a3 fs=tarn:1001,tarn_ci:1002:ci",
                  c->ready_line());
        EXPECT_EQ(0u, c->control("status").find("{\"ok\":true,\"ready\":true"));
        EXPECT_EQ("{\"ok\":false,\"error\":\"unknown command 'frobnicate'\"}", c->control("frobnicate"));
        EXPECT_EQ("{\"ok\":false,\"error\":\"empty command\"}", c->control("  "));
        // Without a handler the owner of the object decides when it goes.
        EXPECT_EQ(0u, c->control("shutdown").find("{\"ok\":false"));
    }
    EXPECT_FALSE(exists(conf));
    EXPECT_FALSE(exists(pid));
    EXPECT_FALSE(exists(dir));  // the temporary directory was ours
}

// Control answers are plain ASCII JSON whatever bytes they quote, and a
// reader gets each byte back as the code point of its value.
TEST(ControlJsonTest, EveryByteIsQuotedAsAsciiAndComesBack) {
    std::string all;
    for (int b = 0; b < 256; b++) all += char(b);
    const std::string q = lc_json_str(all);
    ASSERT_GE(q.size(), 2u);
    ASSERT_EQ('"', q.front());
    ASSERT_EQ('"', q.back());
    std::string back;
    for (size_t i = 1; i + 1 < q.size(); i++) {
        const unsigned char c = q[i];
        ASSERT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c) << " at " << i;
        if (c != '\\') {
            ASSERT_NE('"', c) << "unescaped quote at " << i;
            back += char(c);
        } else if (q[i + 1] == 'u') {
            ASSERT_EQ("00", q.substr(i + 2, 2)) << i;
            back += char(std::stoi(q.substr(i + 4, 2), nullptr, 16));
            i += 5;
        } else {
            back += q[++i];
        }
    }
    EXPECT_EQ(all, back);

    // The same through the control socket, in the error it answers.
    auto c = localcluster::Cluster::start(localcluster::ClusterConfig{});
    std::string reply;
    ASSERT_EQ(0, lc_ctl_request(c->dir() + "/local.ctl", "frob\xff\xe9", &reply, 10000));
    EXPECT_EQ("{\"ok\":false,\"error\":\"unknown command 'frob\\u00ff\\u00e9'\"}", reply);
}

TEST(ClusterTest, TwoClustersSideBySide) {
    TempDir t;
    localcluster::ClusterConfig a;
    a.dir = t.path;
    a.cluster = "one";
    localcluster::ClusterConfig b = a;
    b.cluster = "two";
    b.fs = {localcluster::FsConfig{"x"}, localcluster::FsConfig{"y", 0x77, true}};
    auto ca = localcluster::Cluster::start(a);
    auto cb = localcluster::Cluster::start(b);
    EXPECT_NE(ca->registry_port(), cb->registry_port());
    EXPECT_NE(std::string::npos, cb->ready_line().find("fs=x:1001,y:77:ci"));
    // The same name in the same directory is taken: the control socket
    // answers, and without it the lock on the .pid file still tells.
    EXPECT_THROW(localcluster::Cluster::start(a), std::runtime_error);
    ASSERT_EQ(0, unlink((t.path + "/one.ctl").c_str()));
    try {
        localcluster::Cluster::start(a);
        ADD_FAILURE() << "a second owner started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("owned by live process " + std::to_string(getpid())))
            << e.what();
    }
    EXPECT_TRUE(exists(t.path + "/one.conf"));
    cb.reset();
    EXPECT_FALSE(exists(t.path + "/two.conf"));
    EXPECT_TRUE(exists(t.path + "/one.conf"));
    EXPECT_TRUE(exists(t.path));  // a given directory stays
}

TEST(ClusterTest, BadConfigurationsThrow) {
    auto bad = [](auto edit) {
        localcluster::ClusterConfig c;
        edit(c);
        EXPECT_THROW(localcluster::Cluster::start(c), std::runtime_error);
    };
    bad([](auto& c) { c.hosts = 2; });
    bad([](auto& c) { c.cluster = "a/b"; });
    bad([](auto& c) { c.host_ids = {1, 2, 2}; });
    bad([](auto& c) { c.client_host_id = 0xa3; });
    bad([](auto& c) { c.fs = {{"a"}, {"a"}}; });
    bad([](auto& c) { c.fs = {{"a", 5}, {"b", 5}}; });
    bad([](auto& c) { c.fs = {{"with space"}}; });
    bad([](auto& c) {
        c.fs = {{"a"}};
        c.fs[0].capacity = 1 << 20;
        c.fs[0].reserve = (1 << 20) + 1;
    });
    bad([](auto& c) { c.dir = "/proc/not-here"; });
}

TEST(ClusterTest, NormalizeFillsDefaults) {
    localcluster::ClusterConfig c;
    c.fs = {{"a"}, {"b", 0x2000}, {"c"}};
    c.hosts = 4;
    EXPECT_EQ("", localcluster::normalize_config(&c));
    EXPECT_EQ(0x1001u, c.fs[0].id);
    EXPECT_EQ(0x2000u, c.fs[1].id);
    EXPECT_EQ(0x1003u, c.fs[2].id);  // by index, not by count of unnamed ids
    EXPECT_EQ((std::vector<uint64_t>{0xa1, 0xa2, 0xa3, 0xa4}), c.host_ids);
    EXPECT_GE(c.workers, 8);
}

// ---------------------------------------------------------------- options

TEST(OptionsTest, FsDefinitions) {
    localcluster::FsConfig f;
    EXPECT_EQ("", lc_parse_fs_def("tarn", &f));
    EXPECT_EQ("tarn", f.name);
    EXPECT_EQ(0u, f.id);
    EXPECT_FALSE(f.ci);
    EXPECT_EQ(16ull << 30, f.capacity);
    EXPECT_EQ(UINT64_MAX, f.reserve);
    EXPECT_EQ(1u << 20, f.files);
    EXPECT_TRUE(f.xattrs_on_ds);

    EXPECT_EQ("", lc_parse_fs_def("s1:0x2A:ci:cap=64M:reserve=3M:files=100:xattrs=mds", &f));
    EXPECT_EQ(0x2Au, f.id);
    EXPECT_TRUE(f.ci);
    EXPECT_EQ(64ull << 20, f.capacity);
    EXPECT_EQ(3ull << 20, f.reserve);
    EXPECT_EQ(100u, f.files);
    EXPECT_FALSE(f.xattrs_on_ds);

    EXPECT_EQ("", lc_parse_fs_def("t:ci:cap=2T", &f));
    EXPECT_EQ(2ull << 40, f.capacity);
    EXPECT_EQ("", lc_parse_fs_def("u:cap=4096", &f));
    EXPECT_EQ(4096u, f.capacity);
    EXPECT_EQ("", lc_parse_fs_def("u:reserve=0", &f));
    EXPECT_EQ(0u, f.reserve);

    for (const char* bad : {"t:ci:1001", "t:0", "t:-1", "t:cap=", "t:cap=0G", "t:cap=1X", "t:files=-3",
                            "t:xattrs=", "t:ci:ci", "t:cap=1G:cap=2G", "t:weird", "t:1:2",
                            "t:reserve=", "t:reserve=-1", "t:reserve=00", "t:reserve=1X", "t:reserve=0:reserve=0"})
        EXPECT_NE("", lc_parse_fs_def(bad, &f)) << bad;
}

TEST(OptionsTest, ModesAndValues) {
    lc_options o;
    EXPECT_EQ("", lc_parse_options({}, &o));
    EXPECT_EQ(LC_MODE_SERVE, o.mode);
    EXPECT_EQ(2u, o.config.fs.size());
    EXPECT_TRUE(o.config.fs[1].ci);

    EXPECT_EQ("", lc_parse_options({"run", "--fs", "a", "--fs=b:ci", "--host-ids", "0x10,11,12,13",
                                    "--grace-ms=50", "--host-id-file", "write", "--", "prog", "--fs", "x"},
                                   &o));
    EXPECT_EQ(LC_MODE_RUN, o.mode);
    ASSERT_EQ(2u, o.config.fs.size());
    EXPECT_EQ(0x1002u, o.config.fs[1].id);
    EXPECT_EQ(4, o.config.hosts);  // taken from the id list
    EXPECT_EQ(0x10u, o.config.host_ids[0]);
    EXPECT_EQ(50u, o.grace_ms);
    EXPECT_EQ(LC_HOST_ID_WRITE, o.host_id_file);
    EXPECT_EQ((std::vector<std::string>{"prog", "--fs", "x"}), o.program);

    EXPECT_EQ("", lc_parse_options({"ctl", "--dir", "/d", "fault", "add", "mds", "drop"}, &o));
    EXPECT_EQ(LC_MODE_CTL, o.mode);
    EXPECT_EQ("/d", o.config.dir);
    EXPECT_EQ((std::vector<std::string>{"fault", "add", "mds", "drop"}), o.command);

    EXPECT_EQ("", lc_parse_options({"--no-ls", "--seed", "0x10", "--epoch", "lenient", "--crash-replies", "drop",
                                    "--lose-unstable", "--mds-down-ms", "5", "--workers", "3"},
                                   &o));
    EXPECT_FALSE(o.config.lock_servers);
    EXPECT_EQ(16u, o.config.seed);
    EXPECT_TRUE(o.config.seed_set);
    EXPECT_FALSE(o.config.epoch_strict);
    EXPECT_TRUE(o.config.crash_replies_drop);
    EXPECT_TRUE(o.config.lose_unstable);
    EXPECT_EQ(5u, o.config.mds_down_ms);
    EXPECT_EQ(3, o.config.workers);

    EXPECT_NE("", lc_parse_options({"--hosts", "5", "--host-ids", "1,2,3"}, &o));
    EXPECT_NE("", lc_parse_options({"--no-ls=1"}, &o));
    EXPECT_NE("", lc_parse_options({"ctl", "--fs", "a", "status"}, &o));
    EXPECT_NE("", lc_parse_options({"ctl"}, &o));
}

// ---------------------------------------------------------------- host identity file

class HostIdFileTest : public ::testing::Test {
   protected:
    std::string path() const { return t.path + "/etc/kelvane/host_id"; }
    void check() {
        warnings.clear();
        lc_host_id_check(path(), {0xa1, 0xa2, 0xa3}, &warnings);
    }
    void write(const std::string& text) {
        mkdir((t.path + "/etc").c_str(), 0755);
        mkdir((t.path + "/etc/kelvane").c_str(), 0755);
        std::ofstream(path()) << text;
    }
    TempDir t;
    std::vector<std::string> warnings;
};

TEST_F(HostIdFileTest, CheckOnlyWarns) {
    check();
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("missing"));
    write("00000000000000a1\n");
    check();
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("the MDS host"));
    write("a2 trailing words");
    check();
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("server host 00000000000000a2"));
    write("00000000000000c1\n");
    check();
    EXPECT_TRUE(warnings.empty());
    write("not-hex\n");
    check();
    EXPECT_EQ(1u, warnings.size());
    EXPECT_EQ("not-hex\n", slurp(path()));  // check never writes
}

// Starting clusters take turns on the file's directory too: a claim that
// finds the guard held waits before it makes anything, so whoever records
// whether the directory was made for the file is the one that made it.
TEST_F(HostIdFileTest, ClaimWaitsForTheGuardBeforeMakingTheDirectory) {
    const std::string etc = t.path + "/etc";
    mkdir(etc.c_str(), 0755);
    int guard = open(etc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(guard, 0);
    ASSERT_EQ(0, flock(guard, LOCK_EX));
    struct stat st;
    ASSERT_EQ(0, fstat(guard, &st));
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";

    std::atomic<bool> done{false};
    lc_host_id_claim* claim = nullptr;
    std::string err;
    std::vector<std::string> notes;
    std::thread starter([&] {
        claim = lc_host_id_claim_create(path(), 0xc1, &err, &notes);
        done = true;
    });
    // Until the claim waits on the guard or has gone on without it; both
    // last, so this is no window to catch. 60 s only guards a hang.
    auto waiting = [&] {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
        return false;
    };
    for (int i = 0; i < 6000 && !done && !waiting(); i++) usleep(10000);
    EXPECT_FALSE(done) << "the claim went on while another start held the guard";
    EXPECT_NE(0, access((etc + "/kelvane").c_str(), F_OK)) << "the directory was made outside the guard";
    flock(guard, LOCK_UN);
    close(guard);
    starter.join();
    ASSERT_NE(nullptr, claim) << err;
    EXPECT_EQ("00000000000000c1\n", slurp(path()));
    EXPECT_EQ("", lc_host_id_claim_destroy(claim));
    EXPECT_NE(0, access((etc + "/kelvane").c_str(), F_OK)) << "the directory made for the file stayed";
}

#ifdef KELVANE_LOCALCLUSTER_BIN
// `run --host-id-file MODE` as a real process, beside others, the identity
// file moved into a temporary root. Its program prints the file's first word
// ("none" without one); held, it keeps the cluster up until its standard
// input closes, else it fails unless the file names its client host.
class Supervised {
   public:
    Supervised(const std::string& root, const char* mode, uint64_t client, bool hold) {
        static int serial = 0;
        std::string dir = root + "/cluster" + std::to_string(++serial);
        err_path = dir + ".err";
        char id[24];
        snprintf(id, sizeof id, "%016llx", (unsigned long long)client);
        std::string script = "read id rest < \"$" LC_HOST_ID_PATH_ENV "\" || id=none; echo \"$id\"; ";
        script += hold ? std::string("read x; exit 0") : "test \"$id\" = " + std::string(id);
        std::vector<std::string> args = {KELVANE_LOCALCLUSTER_BIN, "run", "--dir", dir, "--host-id-file", mode,
                                         "--client-host-id", id, "--fs", "tarn", "--no-ls", "--", "sh", "-c", script};
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        setenv(LC_HOST_ID_PATH_ENV, (root + "/etc/kelvane/host_id").c_str(), 1);
        int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        in_fd = in[1];
        out_fd = out[0];
        if (rc != 0) throw std::runtime_error("posix_spawn: " + std::string(strerror(rc)));
    }
    ~Supervised() {
        if (pid > 0) kill_supervisor();
        if (in_fd >= 0) close(in_fd);
        close(out_fd);
    }
    // Blocks until the program has looked at the file, after the claim.
    std::string seen() {
        std::string line;
        char c;
        while (read(out_fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // Lets the program end; the supervisor's exit status.
    int finish() {
        close(in_fd);
        in_fd = -1;
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // The cluster dies without a word; its program lives on.
    void kill_supervisor() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    std::string errors() const { return slurp(err_path); }

   private:
    pid_t pid = -1;
    int in_fd = -1, out_fd = -1;
    std::string err_path;
};

// However the clusters that write the file end, the last one leaves the
// machine as it was: every file under etc/, byte for byte.
class HostIdFileRunTest : public ::testing::Test {
   protected:
    std::string machine() const {
        std::string out;
        for (std::string d : {t.path + "/etc", t.path + "/etc/kelvane"}) {
            DIR* dir = opendir(d.c_str());
            std::vector<std::string> names;
            while (dirent* de = dir ? readdir(dir) : nullptr)
                if (de->d_name[0] != '.') names.emplace_back(de->d_name);
            if (dir) closedir(dir);
            std::sort(names.begin(), names.end());
            for (const auto& n : names) out += d.substr(t.path.size()) + "/" + n + ": " + slurp(d + "/" + n) + "|";
        }
        return out;
    }
    std::string path() const { return t.path + "/etc/kelvane/host_id"; }
    std::string set_original(const char* text) {
        unlink(path().c_str());
        rmdir((t.path + "/etc/kelvane").c_str());
        mkdir((t.path + "/etc").c_str(), 0755);
        if (text) {
            mkdir((t.path + "/etc/kelvane").c_str(), 0755);
            std::ofstream(path()) << text;
        }
        return machine();
    }
    TempDir t;
};

const char* const kOriginals[] = {nullptr, "00000000000000c1 put there by hand\n", ""};

TEST_F(HostIdFileRunTest, StaysWhileAnyClusterRunsAndNeverTakesAnotherHostsFile) {
    for (const char* original : kOriginals) {
        SCOPED_TRACE(original ? "original: '" + std::string(original) + "'" : "no original");
        const std::string before = set_original(original);
        Supervised a(t.path, "write", 0xc1, true);
        ASSERT_EQ("00000000000000c1", a.seen()) << a.errors();
        Supervised b(t.path, "write", 0xc1, true);
        ASSERT_EQ("00000000000000c1", b.seen()) << b.errors();
        Supervised other_id(t.path, "write", 0xc2, true);
        EXPECT_EQ(2, other_id.finish());
        EXPECT_EQ(0, a.finish()) << a.errors();
        EXPECT_EQ(0u, slurp(path()).find("00000000000000c1")) << "the file went while a cluster still ran";
        EXPECT_EQ(0, b.finish()) << b.errors();
        EXPECT_EQ(before, machine());
    }
    // The machine's own identity, which no cluster wrote.
    const std::string before = set_original("00000000000000d4\n");
    Supervised foreign(t.path, "write", 0xc1, true);
    EXPECT_EQ(2, foreign.finish());
    EXPECT_NE(std::string::npos, foreign.errors().find("00000000000000d4"));
    EXPECT_EQ(before, machine());
}

TEST_F(HostIdFileRunTest, KilledClusterIsUndoneAtTheNextStart) {
    // The next start writes (the dead cluster's id is no other host's) or
    // checks. The dead cluster's program outlives it, as a process whose id
    // was reused would.
    for (const char* next : {"write", "check"}) {
        for (const char* original : kOriginals) {
            SCOPED_TRACE(std::string(next) + (original ? ", original: '" + std::string(original) + "'" : ""));
            const std::string before = set_original(original);
            Supervised dead(t.path, "write", 0xc1, true);
            ASSERT_EQ("00000000000000c1", dead.seen()) << dead.errors();
            dead.kill_supervisor();
            ASSERT_EQ(0u, slurp(path()).find("00000000000000c1"));
            Supervised again(t.path, next, 0xc2, std::string(next) == "write");
            const bool write = std::string(next) == "write";
            EXPECT_EQ(write ? "00000000000000c2" : original && *original ? "00000000000000c1" : "none", again.seen());
            again.finish();
            EXPECT_EQ(before, machine()) << again.errors();
        }
    }
}

TEST_F(HostIdFileRunTest, ClustersStartingAndEndingTogether) {
    const std::string before = set_original(nullptr);
    for (int round = 0; round < 3; round++) {
        std::vector<std::unique_ptr<Supervised>> runs;
        for (int i = 0; i < 6; i++) runs.push_back(std::make_unique<Supervised>(t.path, "write", 0xc1, false));
        for (auto& r : runs) EXPECT_EQ(0, r->finish()) << r->errors();
        EXPECT_EQ(before, machine()) << "round " << round;
    }
}
#endif

// ---------------------------------------------------------------- reboot lines

TEST(RebootLineTest, Matching) {
    uint64_t id = 0;
    EXPECT_TRUE(lc_match_reboot_line("###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2", &id));
    EXPECT_EQ(0xa2u, id);
    EXPECT_TRUE(lc_match_reboot_line("###[reboot hard=1 host_id=00000000000000a3] Hard reboot host 00000000000000a3\r", &id));
    EXPECT_EQ(0xa3u, id);
    for (const char* no : {
             "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a3",
             "###[reboot hard=0 host_id=00000000000000a2] Hard reboot host 00000000000000a2",
             "###[reboot hard=1 host_id=00000000000000A2] Hard reboot host 00000000000000A2",
             "###[reboot hard=1 host_id=a2] Hard reboot host a2",
             " ###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2",
             "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2 ",
             "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2\r\r",
             ""})
        EXPECT_FALSE(lc_match_reboot_line(no, &id)) << no;
}

TEST(RebootLineTest, SplitterIgnoresChunking) {
    std::vector<std::string> lines;
    std::vector<bool> cut;
    lc_line_splitter s([&](std::string_view l, bool c) {
        lines.emplace_back(l);
        cut.push_back(c);
    });
    std::string text = "one\n\ntwo three\n" + std::string(1000, 'x') + "\nlast-without-newline";
    for (size_t i = 0; i < text.size(); i += 3) s.feed(text.data() + i, std::min<size_t>(3, text.size() - i));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("one", lines[0]);
    EXPECT_EQ("", lines[1]);
    EXPECT_EQ("two three", lines[2]);
    EXPECT_TRUE(cut[3]);
    EXPECT_FALSE(cut[2]);
}

}  // namespace
