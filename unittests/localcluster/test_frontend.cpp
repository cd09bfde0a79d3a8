// The kelvane-localcluster executable, run as a child process: start-up and
// readiness, signals, bad command lines, the control socket and supervisor
// mode.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "localcluster/control.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string binary() {
#ifdef KELVANE_LOCALCLUSTER_BIN
    return KELVANE_LOCALCLUSTER_BIN;
#else
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string s(self, n > 0 ? size_t(n) : 0);
    return s.substr(0, s.rfind('/')) + "/kelvane-localcluster";
#endif
}

bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool port_accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// How long a child may take before a test gives up on it: a hang guard.
// Every child here starts (or talks to) a whole cluster, whose start-up
// alone takes half a minute in a ThreadSanitizer build on a loaded machine.
constexpr int kGuardMs = 120000;

// A child with its stdout and stderr on pipes, read as they come.
class Proc {
   public:
    explicit Proc(const std::vector<std::string>& args) {
        int o[2], e[2];
        EXPECT_EQ(0, pipe2(o, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(e, O_CLOEXEC));
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
        posix_spawn_file_actions_adddup2(&fa, e[1], 2);
        std::vector<std::string> all = {binary()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(o[1]);
        close(e[1]);
        out_fd_ = o[0];
        err_fd_ = e[0];
        EXPECT_EQ(0, rc) << "cannot run " << all[0];
        if (rc) pid_ = 0;
    }
    ~Proc() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_fd_);
        close(err_fd_);
    }

    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // Reads what is there, waiting at most `ms`.
    void pump(int ms) {
        pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0) return;
        char buf[65536];
        if (p[0].revents & (POLLIN | POLLHUP)) {
            ssize_t n = read(out_fd_, buf, sizeof buf);
            if (n > 0) out_.append(buf, size_t(n));
            if (n == 0) out_eof_ = true;
        }
        if (p[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = read(err_fd_, buf, sizeof buf);
            if (n > 0) err_.append(buf, size_t(n));
            if (n == 0) err_eof_ = true;
        }
    }

    // Until `text` shows up in stdout (or stderr); false on time-out or
    // once the stream has ended without it.
    bool wait_for(const std::string& text, bool on_stderr = false, int ms = kGuardMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline && !(on_stderr ? err_eof_ : out_eof_)) {
            if ((on_stderr ? err_ : out_).find(text) != std::string::npos) return true;
            pump(20);
        }
        return (on_stderr ? err_ : out_).find(text) != std::string::npos;
    }

    // Exit code (128 + signal when killed), or -1 if it did not end in time.
    int wait_exit(int ms = kGuardMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (status_ < 0 && Clock::now() < deadline) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else
                pump(10);
        }
        for (int i = 0; i < 50; i++) pump(1);  // what is left in the pipes
        return status_;
    }

   private:
    pid_t pid_ = 0;
    int out_fd_ = -1, err_fd_ = -1;
    int status_ = -1;
    bool out_eof_ = false, err_eof_ = false;
    std::string out_, err_;
};

class FrontEndTest : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lc-frontend-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        dir_ = root_ + "/cluster";
    }
    void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

    std::string conf() const { return dir_ + "/local.conf"; }
    std::string pid_file() const { return dir_ + "/local.pid"; }
    std::string ctl() const { return dir_ + "/local.ctl"; }

    // The registry port named by a ready line.
    static int ready_port(const std::string& text) {
        const std::string key = "registry=127.0.0.1:";
        size_t at = text.find(key);
        if (at == std::string::npos) return -1;
        at += key.size();
        size_t end = text.find_first_not_of("0123456789", at);
        if (end == at) return -1;
        return std::stoi(text.substr(at, end - at));
    }

    std::string root_, dir_;
};

TEST_F(FrontEndTest, ServeIsReadyOnlyOnceTheBootstrapFileIsComplete) {
    Proc p({"serve", "--dir", dir_});
    // Whenever the bootstrap file can be seen it is whole, and the registry
    // it names already listens.
    auto deadline = Clock::now() + std::chrono::milliseconds(kGuardMs);
    bool seen_early = false;
    while (p.out().find('\n') == std::string::npos && Clock::now() < deadline) {
        if (exists(conf())) {
            std::string text = slurp(conf());
            int port = ready_port("registry=" + text.substr(text.find('=') + 1));
            ASSERT_EQ("mds=127.0.0.1:" + std::to_string(port) + "\n", text);
            ASSERT_TRUE(port_accepts(port));
            seen_early = true;
        }
        p.pump(1);
    }
    (void)seen_early;  // how often the race is won varies; what is seen must be whole
    ASSERT_TRUE(p.wait_for("\n"));
    std::string line = p.out().substr(0, p.out().find('\n'));
    int port = ready_port(line);
    ASSERT_GT(port, 0) << line;
    EXPECT_EQ("kelvane-localcluster ready cluster=local conf=" + dir_ + "/local.conf registry=127.0.0.1:" +
                  std::to_string(port) + " control=" + dir_ +
                  "/local.ctl hosts=00000000000000a1,00000000000000a2,00000000000000a3 fs=tarn:1001,tarn_ci:1002:ci",
              line);
    EXPECT_EQ("mds=127.0.0.1:" + std::to_string(port) + "\n", slurp(conf()));
    EXPECT_EQ(std::to_string(p.pid()) + "\n", slurp(pid_file()));
    EXPECT_TRUE(port_accepts(port));
    struct stat st;
    ASSERT_EQ(0, stat(dir_.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);

    ASSERT_EQ(0, kill(p.pid(), SIGTERM));
    EXPECT_EQ(0, p.wait_exit()) << p.err();
    EXPECT_FALSE(exists(conf()));
    EXPECT_FALSE(exists(pid_file()));
    EXPECT_FALSE(exists(ctl()));
    EXPECT_EQ(line + "\n", p.out());  // nothing else on stdout
}

TEST_F(FrontEndTest, SigintStopsAsCleanly) {
    Proc p({"--dir", dir_, "--cluster", "other", "--fs", "bench", "--no-ls", "--log-level", "error"});
    ASSERT_TRUE(p.wait_for("fs=bench:1001\n")) << p.err();
    EXPECT_TRUE(exists(dir_ + "/other.conf"));
    ASSERT_EQ(0, kill(p.pid(), SIGINT));
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_FALSE(exists(dir_ + "/other.conf"));
    EXPECT_EQ("", p.err());  // level error: nothing went wrong
}

TEST_F(FrontEndTest, BadCommandLinesExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--hosts", "2"},
        {"--hosts", "x"},
        {"--fs", "bad/name"},
        {"--fs", "a:0"},
        {"--fs", "a:zz"},
        {"--fs", "a:cap=12Q"},
        {"--fs", "a:xattrs=disk"},
        {"--fs", "a:files=0"},
        {"--fs", "a", "--fs", "a"},
        {"--fs", "a:1001", "--fs", "b:0x1001"},
        {"--host-ids", "a1,a2"},
        {"--host-ids", "a1,a2,a1"},
        {"--client-host-id", "a2"},
        {"--base-port", "70000"},
        {"--log-level", "loud"},
        {"--epoch", "sometimes"},
        {"--registry-page", "0"},
        {"--bogus"},
        {"--cluster"},
        {"--cluster", ".hidden"},
        {"--grace-ms", "5"},
        {"run", "--", },
        {"run", "sh"},
        {"serve", "--", "sh"},
        {"run", "--host-id-file", "maybe", "--", "true"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> full = args;
        full.insert(full.begin() + (args[0] == "run" || args[0] == "serve" ? 1 : 0), {"--dir", dir_});
        Proc p(full);
        std::string what = ::testing::PrintToString(args);
        EXPECT_EQ(2, p.wait_exit()) << what;
        EXPECT_NE(std::string::npos, p.err().find("kelvane-localcluster: ")) << what;
        EXPECT_EQ("", p.out()) << what;
        EXPECT_FALSE(exists(conf())) << what;
    }
}

TEST_F(FrontEndTest, ANameHasOneLiveOwner) {
    Proc first({"--dir", dir_});
    ASSERT_TRUE(first.wait_for("ready"));
    std::string conf_text = slurp(conf());

    Proc second({"--dir", dir_});
    EXPECT_EQ(2, second.wait_exit());
    EXPECT_NE(std::string::npos, second.err().find("running")) << second.err();
    EXPECT_EQ(conf_text, slurp(conf()));

    // Another name in the same directory is another cluster.
    Proc third({"--dir", dir_, "--cluster", "second"});
    EXPECT_TRUE(third.wait_for("cluster=second"));
    kill(third.pid(), SIGTERM);
    EXPECT_EQ(0, third.wait_exit());
    kill(first.pid(), SIGTERM);
    EXPECT_EQ(0, first.wait_exit());
}

TEST_F(FrontEndTest, StaleFilesOfADeadClusterAreReplaced) {
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    std::ofstream(pid_file()) << dead << "\n";
    std::ofstream(conf()) << "mds=127.0.0.1:1\n";
    Proc p({"--dir", dir_});
    ASSERT_TRUE(p.wait_for("ready")) << p.err();
    EXPECT_EQ(std::to_string(p.pid()) + "\n", slurp(pid_file()));
    EXPECT_EQ("mds=127.0.0.1:" + std::to_string(ready_port(p.out())) + "\n", slurp(conf()));
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(0, p.wait_exit());
}

TEST_F(FrontEndTest, BasePortLaysOutPortsInOrder) {
    // Find a free stretch by asking the kernel for one port and hoping the
    // next few are free too; retry a few times.
    for (int attempt = 0; attempt < 5; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        int base = ntohs(sa.sin_port);
        close(fd);
        if (base > 65000) continue;
        Proc p({"--dir", dir_, "--base-port", std::to_string(base), "--fs", "a", "--hosts", "3"});
        if (!p.wait_for("ready")) continue;
        EXPECT_EQ(base, ready_port(p.out()));
        // registry, MDS a, DS a (host 1), LS a, DS a (hosts 2 and 3): six ports.
        Proc c({"ctl", "--dir", dir_, "status"});
        EXPECT_EQ(0, c.wait_exit());
        for (int i = 0; i < 6; i++)
            EXPECT_NE(std::string::npos, c.out().find("\"port\":" + std::to_string(base + i))) << i;
        EXPECT_NE(std::string::npos, c.out().find("\"mds_port\":" + std::to_string(base + 1) +
                                                  ",\"ls_port\":" + std::to_string(base + 3)));
        kill(p.pid(), SIGTERM);
        EXPECT_EQ(0, p.wait_exit());
        return;
    }
    GTEST_SKIP() << "no free run of ports found";
}

TEST_F(FrontEndTest, ControlSocketAnswersJson) {
    Proc p({"--dir", dir_});
    ASSERT_TRUE(p.wait_for("ready"));
    struct stat st;
    ASSERT_EQ(0, stat(ctl().c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    Proc status({"ctl", "--dir", dir_, "status"});
    EXPECT_EQ(0, status.wait_exit());
    EXPECT_EQ(0u, status.out().find("{\"ok\":true,\"ready\":true,"));
    EXPECT_NE(std::string::npos, status.out().find("\"generation\":5"));  // four records put
    EXPECT_NE(std::string::npos, status.out().find("{\"name\":\"tarn_ci\",\"id\":\"1002\",\"flags\":4"));

    Proc later({"ctl", "--dir", dir_, "journal", "get"});
    EXPECT_EQ(1, later.wait_exit());
    EXPECT_EQ(0u, later.out().find("{\"ok\":false,\"error\":"));

    Proc ready({"ctl", "--dir", dir_, "wait-ready", "2000"});
    EXPECT_EQ(0, ready.wait_exit());

    Proc stop({"ctl", "--dir", dir_, "shutdown"});
    EXPECT_EQ(0, stop.wait_exit());
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_FALSE(exists(conf()));
    EXPECT_FALSE(exists(ctl()));

    Proc nobody({"ctl", "--dir", dir_, "status"});
    EXPECT_EQ(2, nobody.wait_exit());
}

// ---------------------------------------------------------------- supervisor

TEST_F(FrontEndTest, RunEchoesTheChildAndTakesItsStatus) {
    Proc p({"run", "--dir", dir_, "--", "sh", "-c", "echo hi; exit 3"});
    EXPECT_EQ(3, p.wait_exit());
    EXPECT_EQ("hi\n", p.out());
    EXPECT_NE(std::string::npos, p.err().find("kelvane-localcluster ready cluster=local"));
    EXPECT_FALSE(exists(conf()));
    EXPECT_FALSE(exists(pid_file()));
    // The log went to its file, not to our streams.
    EXPECT_NE(std::string::npos, slurp(dir_ + "/local.log").find("ended with status 3"));
}

TEST_F(FrontEndTest, RunGivesTheChildTheClusterDirectory) {
    Proc p({"run", "--dir", dir_, "--", "sh", "-c", "cat \"$KIV_CLUSTER_DIR/local.conf\""});
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_EQ("mds=127.0.0.1:" + std::to_string(ready_port(p.err())) + "\n", p.out());
}

TEST_F(FrontEndTest, RunCopiesOutputByteForByte) {
    std::string data(300000, '\0');
    std::mt19937 rng(7);
    for (auto& c : data) c = char(rng());
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
    std::string file = root_ + "/data";
    std::ofstream(file, std::ios::binary) << data;
    Proc p({"run", "--dir", dir_, "--", "sh", "-c", "cat " + file + "; printf abc; sleep 0.3; printf 'def\\r\\n'"});
    // A partial line comes through before the rest is written.
    EXPECT_TRUE(p.wait_for(data + "abc"));
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_EQ(data + "abcdef\r\n", p.out());
}

TEST_F(FrontEndTest, RunReportsADeathBySignal) {
    Proc p({"run", "--dir", dir_, "--", "sh", "-c", "kill -9 $$"});
    EXPECT_EQ(128 + SIGKILL, p.wait_exit()) << p.err();
}

TEST_F(FrontEndTest, RunForwardsSigtermToTheChild) {
    Proc p({"run", "--dir", dir_, "--", "sh", "-c", "trap 'echo bye; exit 7' TERM; echo up; while :; do sleep 0.05; done"});
    ASSERT_TRUE(p.wait_for("up\n"));
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(7, p.wait_exit());
    EXPECT_EQ("up\nbye\n", p.out());
    EXPECT_FALSE(exists(conf()));
}

TEST_F(FrontEndTest, RunKillsAChildThatIgnoresTheSignal) {
    Proc p({"run", "--dir", dir_, "--grace-ms", "200", "--", "sh", "-c", "trap '' TERM; echo up; exec sleep 20"});
    ASSERT_TRUE(p.wait_for("up\n"));
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(128 + SIGKILL, p.wait_exit());
    // Killed for the grace given, not the default one, and not before it
    // had passed: the log's times (HH:MM:SS.mmm) of the two steps.
    const std::string text = slurp(dir_ + "/local.log");
    auto logged_ms = [&](const std::string& what) {
        size_t at = text.find(what);
        if (at == std::string::npos) return -1L;
        size_t line = text.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        int h = 0, m = 0, sec = 0, ms = 0;
        if (sscanf(text.c_str() + line, "%d:%d:%d.%d", &h, &m, &sec, &ms) != 4) return -1L;
        return ((h * 60L + m) * 60 + sec) * 1000 + ms;
    };
    const long forwarded = logged_ms("forwarding signal 15 to sh");
    const long killed = logged_ms("sh still running 200 ms after the signal: killing it");
    ASSERT_GE(forwarded, 0) << text;
    ASSERT_GE(killed, 0) << text;
    // The supervisor counts the grace in whole milliseconds of the
    // monotonic clock, so more than 199 ms pass between the two lines; the
    // log reads the wall clock, which runs at the same rate (time
    // adjustments slew both alike), and cuts each time to the millisecond,
    // which takes up to 1 ms more off the difference. The upper bound is
    // what a loaded sanitizer build's late wake-up stays below and the
    // default grace of 10 s is above.
    const long apart = (killed - forwarded + 86400000L) % 86400000L;
    EXPECT_GE(apart, 199) << text;
    EXPECT_LT(apart, 5000) << text;
}

TEST_F(FrontEndTest, RunDoesNotStartTheChildWithoutACluster) {
    std::string file = root_ + "/plain-file";
    std::ofstream(file) << "x";
    Proc p({"run", "--dir", file + "/sub", "--", "sh", "-c", "echo started"});
    EXPECT_EQ(2, p.wait_exit());
    EXPECT_EQ("", p.out());
    EXPECT_NE(std::string::npos, p.err().find("kelvane-localcluster: "));
}

TEST_F(FrontEndTest, RunCannotFindTheProgram) {
    Proc p({"run", "--dir", dir_, "--", "/nonexistent/program"});
    EXPECT_EQ(127, p.wait_exit());
    EXPECT_NE(std::string::npos, p.err().find("cannot run /nonexistent/program"));
    EXPECT_FALSE(exists(conf()));
}

TEST_F(FrontEndTest, RunPicksRebootLinesOutOfTheStream) {
    std::string log = root_ + "/run.log";
    // The known host's line is split across two writes; the unknown one is whole.
    std::string script =
        "printf '###[reboot hard=1 host_id=00000000000000a2] Hard reb'; sleep 0.2; "
        "printf 'oot host 00000000000000a2\\n'; "
        "echo '###[reboot hard=1 host_id=00000000000000b7] Hard reboot host 00000000000000b7'; "
        "echo '###[reboot hard=1 host_id=00000000000000a3] Hard reboot host 00000000000000a2'; sleep 0.3";
    Proc p({"run", "--dir", dir_, "--log-file", log, "--", "sh", "-c", script});
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_EQ(0u, p.out().find("###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2\n"));
    std::string text = slurp(log);
    EXPECT_NE(std::string::npos, text.find("host reboot 00000000000000a2: {\"ok\":true")) << text;
    EXPECT_NE(std::string::npos, text.find("host reboot 00000000000000b7: {\"ok\":false,\"error\":\"unknown host")) << text;
    EXPECT_EQ(std::string::npos, text.find("host reboot 00000000000000a3"));  // ids differ: not a reboot line
}

// The host a reboot line names really goes down and comes back: the child
// watches it through the control socket. The outage is far shorter than
// one `ctl status` can take on a loaded or instrumented machine, so the
// child never looks for the state "down": it waits for the host's count of
// times gone down to become 1, and then for the host to be up again.
TEST_F(FrontEndTest, RunRebootsTheHostTheChildNames) {
    std::string log = root_ + "/run.log";
    const std::string host = "\"id\":\"00000000000000a3\",";
    auto wait_for = [&](const std::string& pattern, const char* name) {
        return "n=0; until \"$B\" ctl status | grep -q '" + pattern + "'; do n=$((n+1)); [ $n -ge 1000 ] && { echo never-" +
               name + "; exit 4; }; sleep 0.01; done; echo " + name + "; ";
    };
    std::string script = "B='" + binary() + "'; " +
                         "echo '###[reboot hard=1 host_id=00000000000000a3] Hard reboot host 00000000000000a3'; " +
                         wait_for(host + "[^}]*\"reboots\":1[,}]", "down") +
                         wait_for(host + "\"state\":\"up\",\"reboots\":1[,}]", "up");
    Proc p({"run", "--dir", dir_, "--log-file", log, "--reboot-down-ms", "400", "--", "sh", "-c", script});
    EXPECT_EQ(0, p.wait_exit()) << p.out();
    EXPECT_EQ("###[reboot hard=1 host_id=00000000000000a3] Hard reboot host 00000000000000a3\ndown\nup\n", p.out());
    std::string text = slurp(log);
    EXPECT_NE(std::string::npos, text.find("asks for a hard reboot of host 00000000000000a3")) << text;
    EXPECT_NE(std::string::npos, text.find("host reboot 00000000000000a3: {\"ok\":true")) << text;
    // Down before up, as the cluster logged them.
    const size_t down = text.find("host 00000000000000a3 reboots: down for 400 ms");
    const size_t up = text.find("host 00000000000000a3 is up");
    EXPECT_NE(std::string::npos, down) << text;
    EXPECT_NE(std::string::npos, up) << text;
    EXPECT_LT(down, up) << text;
}

}  // namespace

// ---------------------------------------------------------------- control socket
namespace {

int ctl_connect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path.data(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// Clients are served independently: one that asked for a large answer and
// never reads it, and a crowd that never sends a command, hold up neither a
// later command nor the server's stop.
TEST(ControlSocketTest, SlowAndIdleClientsHoldNobodyUp) {
    char dir_template[] = "/tmp/kiv-ctl.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string path = std::string(dir_template) + "/t.ctl";
    std::string err;
    lc_ctl_server* srv = lc_ctl_server_start(
        path, [](std::string_view cmd) { return cmd == "big" ? std::string(16u << 20, 'x') : std::string("pong"); },
        &err);
    ASSERT_NE(nullptr, srv) << err;

    std::vector<int> held;
    const int greedy = ctl_connect(path);
    ASSERT_GE(greedy, 0);
    ASSERT_EQ(4, write(greedy, "big\n", 4));
    held.push_back(greedy);
    for (int i = 0; i < 20; i++) {
        const int idle = ctl_connect(path);
        ASSERT_GE(idle, 0);
        held.push_back(idle);
    }
    // Building the big answer takes seconds under a sanitizer on a loaded
    // machine, and a stop cannot cut a handler short: wait for the answer's
    // first bytes, after which the greedy client's thread only waits.
    pollfd first_bytes = {greedy, POLLIN, 0};
    ASSERT_EQ(1, poll(&first_bytes, 1, 120000)) << "the big answer never began";

    // A server that served its clients one at a time would answer only
    // once the greedy client's write deadline (10 s) and every idle
    // client's read deadline (2 s each) had passed.
    constexpr int kBoundMs = 5000;
    std::string reply;
    ASSERT_EQ(0, lc_ctl_request(path, "ping", &reply, 2 * kBoundMs));
    EXPECT_EQ("pong", reply);

    // Stopping ends the clients' waits at once instead of at their
    // deadlines; what is left is waking and joining their threads. A stop
    // that sat out the greedy client's write deadline would last until 10 s
    // after its answer began, moments before the ping.
    const auto t1 = std::chrono::steady_clock::now();
    lc_ctl_server_stop(srv);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(kBoundMs));
    for (int fd : held) close(fd);
    rmdir(dir_template);
}
