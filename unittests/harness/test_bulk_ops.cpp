// The harness's whole-tree and whole-file operations against function
// objects: the recursive removal of the purge, chunked random writes and the
// wait for stable usage counters (on a simulated clock).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_time.h"
#include "utils/tarn_api_helpers.h"

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

namespace {

using harnesstest::FakeTime;

// ---------------------------------------------------------------- recursive removal

// An in-memory namespace: objects by number, a handle is the number's 8
// bytes. Listings come in pages of `page` entries whose cookies are the
// entry's position + 1.
class FakeTree {
public:
    struct Node {
        bool dir;
        std::map<std::string, uint64_t> children;
    };

    FakeTree() { nodes_[1] = Node{true, {}}; }

    uint64_t add(uint64_t parent, const std::string& name, bool dir) {
        uint64_t id = next_++;
        nodes_[id] = Node{dir, {}};
        nodes_[parent].children[name] = id;
        return id;
    }

    static TARNBuffer handle(uint64_t id) {
        TARNBuffer b(8);
        b.Assign(&id, 8);
        return b;
    }
    static uint64_t id_of(const TARNBuffer& b) {
        uint64_t id = 0;
        if (b.Length() == 8) memcpy(&id, b.Data(), 8);
        return id;
    }

    tarn_testing::TreeOps ops() {
        tarn_testing::TreeOps o;
        o.read_dir = [this](const TARNBuffer& dir, uint64_t cookie, const tarn_testing::DirEntrySink& sink,
                            bool* eof) -> tarn_err {
            ++read_dir_calls;
            if (delay_read_dirs > 0) {
                --delay_read_dirs;
                return TARN_ERR_DELAY;
            }
            auto it = nodes_.find(id_of(dir));
            if (it == nodes_.end()) return TARN_ERR_NOT_FOUND;
            uint64_t pos = 0;
            uint64_t sent = 0;
            for (const auto& [name, id] : it->second.children) {
                ++pos;
                if (pos <= cookie) continue;
                if (sent == page) break;
                TARNBuffer h = handle(id);
                tarn_attr a{};
                a.type = nodes_[id].dir ? TARN_FILE_TYPE_DIRECTORY : TARN_FILE_TYPE_REGULAR;
                ++sent;
                if (!sink(name.c_str(), h.Data(), h.Length(), &a, pos)) break;
            }
            *eof = cookie + sent >= it->second.children.size();
            return TARN_ERR_OK;
        };
        o.remove = [this](const TARNBuffer& dir, const std::string& name) -> tarn_err {
            removals.push_back(name);
            auto it = nodes_.find(id_of(dir));
            if (it == nodes_.end()) return TARN_ERR_NOT_FOUND;
            auto child = it->second.children.find(name);
            if (fail_removal_of == name) return TARN_ERR_IO;
            if (child == it->second.children.end()) return TARN_ERR_NOT_FOUND;
            if (delay_after_removing == name) {
                // Done on the server, but the answer was lost.
                delay_after_removing.clear();
                nodes_.erase(child->second);
                it->second.children.erase(child);
                return TARN_ERR_DELAY;
            }
            if (!nodes_[child->second].children.empty()) return TARN_ERR_NOT_EMPTY;
            nodes_.erase(child->second);
            it->second.children.erase(child);
            return TARN_ERR_OK;
        };
        return o;
    }

    size_t size() const { return nodes_.size(); }
    bool has(uint64_t id) const { return nodes_.count(id) != 0; }

    uint64_t page = 2;
    int read_dir_calls = 0;
    int delay_read_dirs = 0;
    std::string fail_removal_of;
    std::string delay_after_removing;
    std::vector<std::string> removals;

private:
    std::map<uint64_t, Node> nodes_;
    uint64_t next_ = 2;
};

TEST(RemoveTreeTest, EmptyDirectoryNeedsOneListing) {
    FakeTree tree;
    FakeTime ft;
    EXPECT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy()));
    EXPECT_EQ(1, tree.read_dir_calls);
    EXPECT_TRUE(tree.removals.empty());
}

TEST(RemoveTreeTest, RemovesDepthFirstAndKeepsTheTop) {
    FakeTree tree;
    uint64_t a = tree.add(1, "a", true);
    uint64_t b = tree.add(a, "b", true);
    tree.add(b, "f1", false);
    tree.add(b, "f2", false);
    tree.add(b, "f3", false);
    tree.add(a, "g", false);
    tree.add(1, "h", false);
    uint64_t e = tree.add(1, "e", true);

    FakeTime ft;
    ASSERT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy()));
    EXPECT_EQ(1u, tree.size());
    EXPECT_TRUE(tree.has(1));
    EXPECT_FALSE(tree.has(e));
    // Children before their directory, in listing order within a level.
    EXPECT_EQ((std::vector<std::string>{"f1", "f2", "f3", "b", "g", "a", "e", "h"}), tree.removals);
}

TEST(RemoveTreeTest, ListsWholeLevelAcrossPages) {
    FakeTree tree;
    for (int i = 0; i < 7; ++i) tree.add(1, "n" + std::to_string(i), false);
    tree.page = 3;
    FakeTime ft;
    ASSERT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy()));
    EXPECT_EQ(3, tree.read_dir_calls);
    EXPECT_EQ(7u, tree.removals.size());
    EXPECT_EQ(1u, tree.size());
}

TEST(RemoveTreeTest, DelayedListingIsRepeated) {
    FakeTree tree;
    tree.add(1, "x", false);
    tree.delay_read_dirs = 2;
    FakeTime ft;
    ASSERT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy()));
    EXPECT_EQ(3, tree.read_dir_calls);
    EXPECT_EQ(std::vector<std::string>{"x"}, tree.removals);
}

TEST(RemoveTreeTest, RepeatedRemovalMayFindItsObjectGone) {
    FakeTree tree;
    tree.add(1, "x", false);
    tree.add(1, "y", false);
    tree.delay_after_removing = "x";
    FakeTime ft;
    ASSERT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy()));
    EXPECT_EQ((std::vector<std::string>{"x", "x", "y"}), tree.removals);
    EXPECT_EQ(1u, tree.size());
}

TEST(RemoveTreeTest, FirstFailureEndsEverything) {
    FakeTree tree;
    uint64_t a = tree.add(1, "a", true);
    tree.add(a, "bad", false);
    tree.add(a, "c", false);
    tree.add(1, "z", false);
    tree.fail_removal_of = "bad";
    FakeTime ft;
    testing::AssertionResult r = tarn_testing::remove_tree_contents(FakeTree::handle(1), tree.ops(), ft.policy());
    EXPECT_FALSE(r);
    EXPECT_STREQ("tarn_client_remove: I/O error", r.message());
    EXPECT_EQ(std::vector<std::string>{"bad"}, tree.removals);
}

TEST(RemoveTreeTest, ListingFailureIsNamed) {
    FakeTree tree;
    FakeTime ft;
    testing::AssertionResult r = tarn_testing::remove_tree_contents(FakeTree::handle(77), tree.ops(), ft.policy());
    EXPECT_STREQ("read_dir: File not found", r.message());
}

TEST(RemoveTreeTest, EntriesOfAFailedAttemptAreNotListedTwice) {
    FakeTree tree;
    tree.add(1, "p", false);
    tree.add(1, "q", false);
    tarn_testing::TreeOps ops = tree.ops();
    // The first attempt hands out the entries and then answers Delay.
    int attempts = 0;
    auto real_read_dir = ops.read_dir;
    ops.read_dir = [&](const TARNBuffer& dir, uint64_t cookie, const tarn_testing::DirEntrySink& sink,
                       bool* eof) -> tarn_err {
        tarn_err err = real_read_dir(dir, cookie, sink, eof);
        return ++attempts == 1 ? TARN_ERR_DELAY : err;
    };
    FakeTime ft;
    ASSERT_TRUE(tarn_testing::remove_tree_contents(FakeTree::handle(1), ops, ft.policy()));
    EXPECT_EQ((std::vector<std::string>{"p", "q"}), tree.removals);
}

// ---------------------------------------------------------------- random writes

struct WriteCall {
    uint64_t offset;
    uint32_t count;
    std::string data;
};

struct FakeFile {
    std::vector<WriteCall> calls;
    uint64_t space = UINT64_MAX;  // bytes that fit before TARN_ERR_NO_SPACE
    uint32_t max_per_write = UINT32_MAX;
    int delays = 0;
    tarn_err fail_with = TARN_ERR_OK;
    bool write_nothing = false;

    tarn_testing::WriteFn fn() {
        return [this](uint64_t offset, const void* data, uint32_t count, uint32_t* written) -> tarn_err {
            if (delays > 0) {
                --delays;
                return TARN_ERR_DELAY;
            }
            if (fail_with != TARN_ERR_OK) return fail_with;
            if (space == 0) return TARN_ERR_NO_SPACE;
            uint32_t n = std::min<uint64_t>({count, max_per_write, space});
            if (write_nothing) n = 0;
            calls.push_back({offset, count, std::string(static_cast<const char*>(data), n)});
            space -= n;
            *written = n;
            return TARN_ERR_OK;
        };
    }
};

TEST(WriteRandomDataTest, LengthZeroWritesNothing) {
    FakeFile f;
    FakeTime ft;
    uint64_t written = 99;
    ASSERT_TRUE(tarn_testing::write_random_chunks(f.fn(), 0, 0, 4096, false, &written, ft.policy()));
    EXPECT_EQ(0u, written);
    EXPECT_TRUE(f.calls.empty());
}

TEST(WriteRandomDataTest, ChunksWithShortLastWriteAndSameContent) {
    FakeFile f;
    FakeTime ft;
    uint64_t written = 0;
    ASSERT_TRUE(tarn_testing::write_random_chunks(f.fn(), 1000, 10000, 4096, false, &written, ft.policy()));
    EXPECT_EQ(10000u, written);
    ASSERT_EQ(3u, f.calls.size());
    EXPECT_EQ(1000u, f.calls[0].offset);
    EXPECT_EQ(5096u, f.calls[1].offset);
    EXPECT_EQ(9192u, f.calls[2].offset);
    EXPECT_EQ(4096u, f.calls[0].count);
    EXPECT_EQ(1808u, f.calls[2].count);
    // One buffer of letters, generated once.
    EXPECT_EQ(f.calls[0].data, f.calls[1].data);
    EXPECT_EQ(f.calls[0].data.substr(0, 1808), f.calls[2].data);
    for (char c : f.calls[0].data) ASSERT_TRUE(isalpha(static_cast<unsigned char>(c))) << int(c);
}

TEST(WriteRandomDataTest, ShortWritesAdvanceByWhatWasWritten) {
    FakeFile f;
    f.max_per_write = 1000;
    FakeTime ft;
    uint64_t written = 0;
    ASSERT_TRUE(tarn_testing::write_random_chunks(f.fn(), 0, 2500, 4096, false, &written, ft.policy()));
    EXPECT_EQ(2500u, written);
    ASSERT_EQ(3u, f.calls.size());
    EXPECT_EQ(2500u, f.calls[0].count);
    EXPECT_EQ(1000u, f.calls[1].offset);
    EXPECT_EQ(1500u, f.calls[1].count);
    EXPECT_EQ(2000u, f.calls[2].offset);
    EXPECT_EQ(500u, f.calls[2].count);
}

TEST(WriteRandomDataTest, FillsUntilNoSpaceWhenAsked) {
    FakeFile f;
    f.space = 10000;
    FakeTime ft;
    uint64_t written = 0;
    ASSERT_TRUE(tarn_testing::write_random_chunks(f.fn(), 0, UINT64_MAX, 4096, true, &written, ft.policy()));
    EXPECT_EQ(10000u, written);
}

TEST(WriteRandomDataTest, NoSpaceWithoutTheFlagFails) {
    FakeFile f;
    f.space = 10000;
    FakeTime ft;
    uint64_t written = 7;
    testing::AssertionResult r =
        tarn_testing::write_random_chunks(f.fn(), 0, UINT64_MAX, 4096, false, &written, ft.policy());
    EXPECT_STREQ("tarn_client_write() failed: Not enough space", r.message());
    EXPECT_EQ(7u, written);
}

// Filling runs against a server that never runs out stop with a clear
// failure once their shared budget is spent: 100 runs at once store at most
// the budget plus one chunk each, and every one of them fails.
TEST(WriteRandomDataTest, FillingRunsShareOneBudget) {
    constexpr int kRuns = 100;
    constexpr uint64_t kChunk = 4096;
    tarn_testing::WriteBudget budget;
    budget.limit = 1000 * kChunk + 17;
    std::atomic<uint64_t> stored{0};
    const tarn_testing::WriteFn never_full = [&](uint64_t, const void*, uint32_t count, uint32_t* written) {
        stored.fetch_add(count);
        *written = count;
        return TARN_ERR_OK;
    };
    std::vector<std::string> messages(kRuns);
    std::vector<uint64_t> reported(kRuns, 7);
    {
        std::vector<std::thread> runs;
        for (int i = 0; i < kRuns; i++)
            runs.emplace_back([&, i] {
                FakeTime ft;
                testing::AssertionResult r = tarn_testing::write_random_chunks(
                    never_full, 0, UINT64_MAX, kChunk, true, &reported[size_t(i)], ft.policy(), &budget);
                messages[size_t(i)] = r ? "passed" : r.message();
            });
        for (std::thread& t : runs) t.join();
    }
    EXPECT_LE(stored.load(), budget.limit + kRuns * kChunk);
    EXPECT_GT(stored.load(), budget.limit);
    for (int i = 0; i < kRuns; i++) {
        EXPECT_THAT(messages[size_t(i)], testing::StartsWith("tarn_client_write() calls of this test stored ")) << i;
        EXPECT_THAT(messages[size_t(i)], testing::HasSubstr("more than the 4096017 bytes it accepts: the server "
                                                            "does not refuse writes when it is full"))
            << i;
        EXPECT_EQ(7u, reported[size_t(i)]) << i;
    }

    // A server that refuses in time is not cut short.
    tarn_testing::WriteBudget roomy;
    roomy.limit = 10000;
    FakeFile h;
    h.space = 10000;
    FakeTime ft;
    uint64_t written = 0;
    ASSERT_TRUE(tarn_testing::write_random_chunks(h.fn(), 0, UINT64_MAX, 4096, true, &written, ft.policy(), &roomy));
    EXPECT_EQ(10000u, written);
}

// A write reported larger than it was is a wrong answer, not a full one.
TEST(WriteRandomDataTest, WriteReportedLargerThanAskedFails) {
    FakeTime ft;
    const tarn_testing::WriteFn inflating = [](uint64_t, const void*, uint32_t count, uint32_t* written) {
        *written = count + 1;
        return TARN_ERR_OK;
    };
    uint64_t written = 7;
    testing::AssertionResult r =
        tarn_testing::write_random_chunks(inflating, 8192, 10000, 4096, false, &written, ft.policy());
    EXPECT_STREQ("tarn_client_write() reported 4097 bytes written at offset 8192, more than the 4096 bytes it was given",
                 r.message());
    EXPECT_EQ(7u, written);
}

TEST(WriteRandomDataTest, ZeroBytesWrittenFails) {
    FakeFile f;
    f.write_nothing = true;
    FakeTime ft;
    testing::AssertionResult r = tarn_testing::write_random_chunks(f.fn(), 0, 100, 64, false, nullptr, ft.policy());
    EXPECT_STREQ("tarn_client_write() wrote 0 bytes", r.message());
}

TEST(WriteRandomDataTest, DelayIsRetriedAndLastingDelayFails) {
    FakeFile f;
    f.delays = 3;
    FakeTime ft;
    uint64_t written = 0;
    ASSERT_TRUE(tarn_testing::write_random_chunks(f.fn(), 0, 100, 64, false, &written, ft.policy()));
    EXPECT_EQ(100u, written);
    EXPECT_EQ(3u, ft.sleeps.size());

    FakeFile g;
    g.fail_with = TARN_ERR_DELAY;
    testing::AssertionResult r = tarn_testing::write_random_chunks(g.fn(), 0, 100, 64, false, nullptr, ft.policy());
    EXPECT_STREQ("tarn_client_write() failed: Delay, try again later", r.message());
}

TEST(WriteRandomDataTest, ChunkBeyondThirtyTwoBitsIsRefused) {
    FakeFile f;
    FakeTime ft;
    testing::AssertionResult r =
        tarn_testing::write_random_chunks(f.fn(), 0, 100, (1ull << 32) + 5, false, nullptr, ft.policy());
    EXPECT_FALSE(r);
    EXPECT_TRUE(f.calls.empty());
}

// ---------------------------------------------------------------- stable usage

struct FakeFs {
    FakeTime* time;
    // Free space as a function of the simulated time in seconds.
    std::function<uint64_t(double)> free_at;
    int reads = 0;
    int fail_at_read = -1;

    tarn_testing::FsInfoFn fn() {
        return [this](tarn_fs_info* info) -> tarn_err {
            if (reads++ == fail_at_read) return TARN_ERR_IO;
            double s = std::chrono::duration<double>(time->t.time_since_epoch()).count();
            tarn_fs_info i{};
            i.total_space = 1000000;
            i.free_space = free_at(s);
            i.avail_space = i.free_space;
            i.total_files = 5000;
            i.free_files = 4000;
            i.avail_files = 4000;
            *info = i;
            return TARN_ERR_OK;
        };
    }
};

TEST(StableUsageTest, IdleFileSystemIsStableAfterTenSeconds) {
    FakeTime ft;
    FakeFs fs{&ft, [](double) { return 500u; }};
    tarn_fs_info out{};
    testing::internal::CaptureStdout();
    testing::AssertionResult r = tarn_testing::wait_until_fs_info_stable(fs.fn(), &out, seconds(900), ft.policy());
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(r);
    EXPECT_EQ(500u, out.free_space);
    EXPECT_EQ(4000u, out.free_files);
    EXPECT_EQ(10u, ft.sleeps.size());
    for (nanoseconds s : ft.sleeps) EXPECT_EQ(seconds(1), s);
    std::string line = "Waiting until stable: free blocks: 500 / 1000000, free inodes: 4000 / 5000\n";
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += line;
    EXPECT_EQ(expected, printed);
}

TEST(StableUsageTest, ChangeRestartsTheTenSeconds) {
    FakeTime ft;
    // Settles at second 25.
    FakeFs fs{&ft, [](double s) { return s < 25 ? 1000 - static_cast<uint64_t>(s) : 900; }};
    testing::internal::CaptureStdout();
    testing::AssertionResult r = tarn_testing::wait_until_fs_info_stable(fs.fn(), nullptr, seconds(900), ft.policy());
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(r);
    EXPECT_EQ(35u, ft.sleeps.size());
}

TEST(StableUsageTest, TotalsTakeNoPart) {
    FakeTime ft;
    int reads = 0;
    tarn_testing::FsInfoFn get = [&](tarn_fs_info* info) -> tarn_err {
        tarn_fs_info i{};
        i.total_space = 100 + reads;
        i.total_files = 200 + reads;
        ++reads;
        *info = i;
        return TARN_ERR_OK;
    };
    testing::internal::CaptureStdout();
    testing::AssertionResult r = tarn_testing::wait_until_fs_info_stable(get, nullptr, seconds(900), ft.policy());
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(r);
    EXPECT_EQ(10u, ft.sleeps.size());
}

TEST(StableUsageTest, NeverSettlingTimesOut) {
    FakeTime ft;
    FakeFs fs{&ft, [](double s) { return static_cast<uint64_t>(s) / 5; }};
    testing::internal::CaptureStdout();
    testing::AssertionResult r = tarn_testing::wait_until_fs_info_stable(fs.fn(), nullptr, seconds(60), ft.policy());
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ("FS info did not stabilize within timeout", r.message());
    EXPECT_EQ(60u, ft.sleeps.size());
}

TEST(StableUsageTest, FailedReadIsNamed) {
    FakeTime ft;
    FakeFs fs{&ft, [](double) { return 1u; }};
    fs.fail_at_read = 3;
    tarn_fs_info out{};
    out.fs_id = 42;
    testing::internal::CaptureStdout();
    testing::AssertionResult r = tarn_testing::wait_until_fs_info_stable(fs.fn(), &out, seconds(900), ft.policy());
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ("tarn_client_get_fs_info: I/O error", r.message());
    EXPECT_EQ(42u, out.fs_id);
}

}  // namespace
