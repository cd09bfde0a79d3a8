// The per-thread profile: reading the kernel's figures, folding threads
// into groups and taking differences between two samples.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "benchmark/thread_profile.h"

namespace {

using kvbench::ThreadSample;

TEST(ThreadProfile, GroupDropsOnlyTrailingNumberParts) {
    const std::pair<const char*, const char*> cases[] = {
        {"lc-ds-1001-2", "lc-ds"},   {"lc-ds-work-13", "lc-ds-work"}, {"lc-mds-1001", "lc-mds"},
        {"caller", "caller"},        {"rt-client", "rt-client"},      {"echo-server", "echo-server"},
        {"-5", "-5"},                {"a-", "a-"},                    {"", ""},
    };
    for (const auto& [name, group] : cases) EXPECT_EQ(kvbench::thread_group(name), group) << name;
}

TEST(ThreadProfile, ParsesKernelFiguresAndRejectsMalformedOnes) {
    ThreadSample s;
    ASSERT_TRUE(kvbench::parse_schedstat("123456 789 42\n", &s));
    EXPECT_EQ(s.cpu_ns, 123456u);
    EXPECT_EQ(s.wait_ns, 789u);
    EXPECT_EQ(s.slices, 42u);
    EXPECT_FALSE(kvbench::parse_schedstat("", &s));
    EXPECT_FALSE(kvbench::parse_schedstat("12 x 3", &s));

    const std::string status = "Name:\tx\nState:\tS\nvoluntary_ctxt_switches:\t17\nnonvoluntary_ctxt_switches:\t4\n";
    ASSERT_TRUE(kvbench::parse_switches(status, &s));
    EXPECT_EQ(s.vcsw, 17u);
    EXPECT_EQ(s.nvcsw, 4u);
    EXPECT_FALSE(kvbench::parse_switches("Name:\tx\nnonvoluntary_ctxt_switches:\t4\n", &s));
}

TEST(ThreadProfile, CostsAreDifferencesSummedPerGroup) {
    auto t = [](const char* name, uint64_t cpu, uint64_t vcsw) {
        ThreadSample s;
        s.name = name;
        s.cpu_ns = cpu;
        s.vcsw = vcsw;
        s.slices = vcsw;
        return s;
    };
    const std::map<int, ThreadSample> before{
        {1, t("lc-ds-1001-1", 1000, 10)}, {2, t("lc-ds-1001-2", 500, 5)}, {3, t("gone", 99, 9)}, {4, t("loop", 7, 1)}};
    const std::map<int, ThreadSample> after{
        {1, t("lc-ds-1001-1", 1600, 13)}, {2, t("lc-ds-1001-2", 900, 6)}, {4, t("loop", 7, 1)}, {5, t("caller", 50, 2)}};
    const auto groups = kvbench::group_costs(before, after);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].group, "lc-ds");
    EXPECT_EQ(groups[0].threads, 2);
    EXPECT_EQ(groups[0].total.cpu_ns, 1000u);
    EXPECT_EQ(groups[0].total.vcsw, 4u);
    EXPECT_EQ(groups[1].group, "caller");  // new thread: counted from zero
    EXPECT_EQ(groups[1].total.cpu_ns, 50u);
    EXPECT_EQ(groups[2].group, "loop");
    EXPECT_EQ(groups[2].total.cpu_ns, 0u);
}

// A live thread that burns CPU and sleeps shows up under its group with
// both, read from this process's own /proc entries.
TEST(ThreadProfile, SampleSeesALiveThreadsCpuAndSleeps) {
    std::atomic<int> phase{0};
    std::thread worker([&] {
        while (phase.load() == 0) std::this_thread::yield();
        // Its own CPU time, not the wall clock: a loaded machine may
        // leave it waiting for a CPU most of the span.
        timespec t0{}, t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
        do {
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        } while ((t.tv_sec - t0.tv_sec) * 1000000000L + (t.tv_nsec - t0.tv_nsec) < 30'000'000L);
        for (int i = 0; i < 5; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        phase = 2;
        while (phase.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    pthread_setname_np(worker.native_handle(), "probe-7");
    const auto before = kvbench::sample_threads();
    phase = 1;
    while (phase.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto after = kvbench::sample_threads();
    phase = 3;
    worker.join();
    const kvbench::GroupCost* probe = nullptr;
    const auto groups = kvbench::group_costs(before, after);
    for (const auto& g : groups)
        if (g.group == "probe") probe = &g;
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->threads, 1);
    EXPECT_GE(probe->total.cpu_ns, 20'000'000u);
    EXPECT_GE(probe->total.vcsw, 5u);
}

TEST(ThreadProfile, MedianOfOddEvenAndEmpty) {
    EXPECT_EQ(kvbench::median({}), 0);
    EXPECT_EQ(kvbench::median({3}), 3);
    EXPECT_EQ(kvbench::median({5, 1, 3}), 3);
    EXPECT_EQ(kvbench::median({4, 1, 3, 2}), 2.5);
}

}  // namespace
