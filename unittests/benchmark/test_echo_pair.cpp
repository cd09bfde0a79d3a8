// The echo pair the ratio programs measure against, and the closed-loop
// driver both sides run under.
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "benchmark/echo_pair.h"

namespace {

using kvbench::EchoShape;

size_t open_fds() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) n++;
    if (d) closedir(d);
    return n;
}

// `n` bytes, or fewer if the peer closes or nothing comes for a minute (a
// hang guard: a busy machine may take its time to answer).
std::string read_bytes(int fd, size_t n) {
    std::string got;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, 60000) == 1) {
        const ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0) break;
        got.append(buf, size_t(r));
    }
    return got;
}

// Every byte that arrives within `quiet` of the previous one.
std::string drain(int fd, std::chrono::milliseconds quiet) {
    std::string got;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, int(quiet.count())) == 1) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) break;
        got.append(buf, size_t(r));
    }
    return got;
}

// Requests arrive cut anywhere and several to a segment: the server must
// answer each whole request exactly once and nothing for a partial one.
TEST(EchoPair, ServerAnswersEveryWholeRequestOnceHoweverTheBytesArrive) {
    struct Case {
        EchoShape shape;
        std::vector<size_t> writes;  // bytes per write, in order
    };
    const Case cases[] = {
        {kvbench::k_echo_read, {512}},
        {kvbench::k_echo_read, {1, 510, 1}},
        {kvbench::k_echo_read, {512 * 3}},
        {kvbench::k_echo_read, {700, 700, 136}},  // three across cuts
        {{168, 144}, {100, 236}},
        {{1, 1}, {5}},
    };
    for (const Case& c : cases) {
        kvbench::EchoServer server(2, c.shape);
        const int fd = server.connect_client();
        size_t total = 0;
        for (size_t w : c.writes) {
            ASSERT_EQ(ssize_t(w), write(fd, std::string(w, 'q').data(), w));
            total += w;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // What the whole requests ask for, then nothing more: a reply to the
        // partial one would come right behind the others.
        const size_t want = total / c.shape.request * c.shape.reply;
        EXPECT_EQ(read_bytes(fd, want).size(), want)
            << c.shape.request << "/" << c.shape.reply << " after " << total << " bytes";
        EXPECT_EQ(drain(fd, std::chrono::milliseconds(50)).size(), 0u)
            << c.shape.request << "/" << c.shape.reply << " after " << total << " bytes";
        // The partial request left over is answered once it is completed.
        const size_t rest = (c.shape.request - total % c.shape.request) % c.shape.request;
        if (rest) {
            ASSERT_EQ(ssize_t(rest), write(fd, std::string(rest, 'q').data(), rest));
            EXPECT_EQ(read_bytes(fd, c.shape.reply).size(), c.shape.reply);
            EXPECT_EQ(drain(fd, std::chrono::milliseconds(50)).size(), 0u);
        }
        close(fd);
    }
}

TEST(EchoPair, DriverCountsCallsAndStopsAFailingCallerOnly) {
    std::atomic<int> made{0};
    std::vector<std::atomic<uint64_t>> succeeded(4);
    const std::thread::id self = std::this_thread::get_id();
    const kvbench::RunResult r = kvbench::run_callers(4, 0.2, [&](int i) -> kvbench::CallFn {
        made++;
        EXPECT_EQ(std::this_thread::get_id(), self);  // set-up stays out of the timed span
        auto left = std::make_shared<int>(i == 2 ? 5 : -1);
        return [&succeeded, i, left] {
            if (*left == 0) return false;
            if (*left > 0) --*left;
            succeeded[size_t(i)]++;
            // The failing caller does not sleep: its calls wait for no
            // wake-up, so a busy machine still fits all five in the span.
            if (i != 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
            return true;
        };
    });
    EXPECT_EQ(made.load(), 4);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(succeeded[2].load(), 5u);
    uint64_t sum = 0;
    for (auto& s : succeeded) sum += s.load();
    EXPECT_EQ(r.calls, sum);
    // The others ran on for the whole span: the run lasted it although the
    // failing caller stopped after five calls. (How many calls they made in
    // it is up to the scheduler.)
    EXPECT_GE(r.seconds, 0.2);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_GT(r.caller_vcsw, 0u);  // every sleep is a voluntary switch
}

// Rounds connect new clients every time: the server must give their
// descriptors back once they hang up, or a long run runs out of them.
TEST(EchoPair, EchoRunsRoundTripsAndReturnsEveryDescriptor) {
    kvbench::EchoServer server(2, {64, 256});
    const size_t before = open_fds();
    for (int round = 0; round < 3; round++) {
        const kvbench::RunResult r = kvbench::run_echo(server, 8, 0.05);
        // Each caller's connection is made before the span, so it is there
        // to give back however few calls a busy machine fits into 50 ms.
        EXPECT_FALSE(r.failed);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (open_fds() > before && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
