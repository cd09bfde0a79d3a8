// The data server's storage engine: sparse data, block accounting against
// the file system's pool, attributes, the replication hook and dirty set,
// and what a crash may lose.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/tarn_wire.h"
#include "localcluster/ds/ds_disk.h"
#include "localcluster/ds/pages.h"
#include "localcluster/ds/pool.h"

namespace {

constexpr uint64_t kBlock = 4096;
constexpr uint32_t kVdisks = 6;

class DsDiskTest : public testing::Test {
   protected:
    void SetUp() override { make_disk(1ull << 20); }  // 4 GiB
    void TearDown() override { lc_ds_disk_destroy(disk_); }

    void make_disk(uint64_t blocks, uint64_t reserve = 0, uint64_t vdisk_limit = 0) {
        if (disk_) lc_ds_disk_destroy(disk_);
        lc_pool_init(&pool_, blocks, kVdisks, reserve);
        if (vdisk_limit) lc_pool_set_vdisk_limit(&pool_, vdisk_limit);
        disk_ = lc_ds_disk_create(&pool_, kVdisks, true);
    }

    lc_ds_attrs create(uint64_t id, uint32_t vdisk = 0) {
        lc_ds_attrs a;
        EXPECT_EQ(LC_DS_OK, lc_ds_disk_create_object(disk_, id, vdisk, nullptr, 0, 0, &a));
        return a;
    }

    lc_ds_result write(uint64_t id, uint64_t off, const std::string& data, bool stable = true) {
        return lc_ds_disk_write(disk_, id, LC_DS_ANY_VDISK, off, reinterpret_cast<const uint8_t*>(data.data()),
                                uint32_t(data.size()), stable, nullptr, nullptr);
    }

    std::string read(uint64_t id, uint64_t off, uint32_t count, bool* eof = nullptr) {
        std::vector<uint8_t> buf(std::min<uint64_t>(count, LC_DS_MAX_IO));
        uint32_t n = 0;
        bool e = false;
        EXPECT_EQ(LC_DS_OK, lc_ds_disk_read(disk_, id, LC_DS_ANY_VDISK, off, count, buf.data(), &n, &e, nullptr));
        if (eof) *eof = e;
        return std::string(reinterpret_cast<const char*>(buf.data()), n);
    }

    lc_ds_attrs attrs(uint64_t id) {
        lc_ds_attrs a;
        EXPECT_EQ(LC_DS_OK, lc_ds_disk_get_attrs(disk_, id, LC_DS_ANY_VDISK, &a));
        return a;
    }

    lc_ds_result truncate(uint64_t id, uint64_t size) {
        lc_ds_update u;
        u.mask = TARN_DS_SET_SIZE;
        u.size = size;
        return lc_ds_disk_set_attrs(disk_, id, LC_DS_ANY_VDISK, &u, 0, nullptr, nullptr);
    }

    lc_ds_result allocate(uint64_t id, uint64_t off, uint64_t len) {
        return lc_ds_disk_allocate(disk_, id, LC_DS_ANY_VDISK, off, len, nullptr, nullptr);
    }

    uint64_t free_blocks() { return lc_pool_free_blocks(&pool_); }

    lc_pool pool_;
    lc_ds_disk* disk_ = nullptr;
};

// ---------------------------------------------------------------- interval set

TEST(DsExtentsTest, AddRemoveMergeAndSplit) {
    lc_extents e;
    EXPECT_EQ(10u, lc_extents_add(&e, 10, 20));
    EXPECT_EQ(5u, lc_extents_add(&e, 20, 25));  // touching: merged
    EXPECT_EQ(1u, e.runs.size());
    EXPECT_EQ(0u, lc_extents_add(&e, 12, 18));
    EXPECT_EQ(15u, lc_extents_add(&e, 0, 30));  // 0..10 and 25..30 are new
    EXPECT_EQ(30u, e.count);
    EXPECT_EQ(4u, lc_extents_remove(&e, 5, 9));
    EXPECT_EQ(2u, e.runs.size());
    EXPECT_FALSE(lc_extents_contains(&e, 5));
    EXPECT_TRUE(lc_extents_contains(&e, 9));
    EXPECT_EQ(4u, lc_extents_missing(&e, 0, 10));
    EXPECT_EQ(10u, lc_extents_missing(&e, 30, 40));
    EXPECT_EQ(21u, lc_extents_remove(&e, 9, UINT64_MAX));
    EXPECT_EQ(5u, e.count);
    // A gigantic run costs one entry.
    EXPECT_EQ(1ull << 40, lc_extents_add(&e, 1ull << 40, 2ull << 40));
    EXPECT_EQ(2u, e.runs.size());
    EXPECT_EQ((1ull << 40) - 5, lc_extents_missing(&e, 3, 1ull << 40));  // 3..5 covered
}

// ---------------------------------------------------------------- data

TEST_F(DsDiskTest, HolesAndPartialPagesReadAsZeros) {
    create(2);
    ASSERT_EQ(LC_DS_OK, write(2, 10000, "abc"));
    bool eof = false;
    std::string got = read(2, 0, 20000, &eof);
    ASSERT_EQ(10003u, got.size());
    EXPECT_TRUE(eof);
    EXPECT_EQ(std::string(10000, '\0'), got.substr(0, 10000));
    EXPECT_EQ("abc", got.substr(10000));
    lc_ds_attrs a = attrs(2);
    EXPECT_EQ(10003u, a.size);
    EXPECT_EQ(kBlock, a.space_used);  // only the block written
    EXPECT_EQ(1u, lc_ds_disk_page_count(disk_));
    // A write across a page boundary touches two pages, zero elsewhere.
    ASSERT_EQ(LC_DS_OK, write(2, 4090, "0123456789"));
    EXPECT_EQ(3u, lc_ds_disk_page_count(disk_));
    EXPECT_EQ(3 * kBlock, attrs(2).space_used);
    got = read(2, 4080, 30);
    EXPECT_EQ(std::string(10, '\0') + "0123456789" + std::string(10, '\0'), got);
}

TEST_F(DsDiskTest, ZeroLengthWriteChangesNothing) {
    create(2);
    ASSERT_EQ(LC_DS_OK, write(2, 0, "x"));
    lc_ds_attrs before = attrs(2);
    uint64_t free_before = free_blocks();
    size_t dirty_before = lc_ds_disk_dirty_count(disk_);
    lc_ds_attrs pre, post;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_write(disk_, 2, 0, 1ull << 40, nullptr, 0, false, &pre, &post));
    lc_ds_attrs after = attrs(2);
    EXPECT_EQ(before.size, after.size);
    EXPECT_EQ(before.mtime, after.mtime);
    EXPECT_EQ(before.ctime, after.ctime);
    EXPECT_EQ(before.attr_version, after.attr_version);
    EXPECT_EQ(before.attr_version, post.attr_version);
    EXPECT_EQ(free_before, free_blocks());
    EXPECT_EQ(dirty_before, lc_ds_disk_dirty_count(disk_));
    // Even past the largest end: nothing to check, nothing changes.
    EXPECT_EQ(LC_DS_OK, write(2, UINT64_MAX, ""));
}

TEST_F(DsDiskTest, ReadBoundsAndEof) {
    create(2);
    ASSERT_EQ(LC_DS_OK, write(2, 0, std::string(10000, 'q')));
    bool eof = true;
    EXPECT_EQ(100u, read(2, 0, 100, &eof).size());
    EXPECT_FALSE(eof);
    EXPECT_EQ(std::string(10, 'q'), read(2, 9990, 100, &eof));
    EXPECT_TRUE(eof);
    EXPECT_EQ(10u, read(2, 9990, 10, &eof).size());
    EXPECT_TRUE(eof);  // offset + n reaches the size exactly
    EXPECT_EQ("", read(2, 10000, 100, &eof));
    EXPECT_TRUE(eof);
    EXPECT_EQ("", read(2, 1ull << 62, 100, &eof));
    EXPECT_TRUE(eof);
    EXPECT_EQ("", read(2, 0, 0, &eof));
    EXPECT_FALSE(eof);

    // A read never returns more than 4 MiB, whatever the count.
    ASSERT_EQ(LC_DS_OK, truncate(2, 5ull << 20));
    lc_ds_attrs before = attrs(2);
    std::vector<uint8_t> buf(LC_DS_MAX_IO);
    uint32_t n = 0;
    lc_ds_attrs post;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_read(disk_, 2, 0, 0, 0xffffffffu, buf.data(), &n, &eof, &post));
    EXPECT_EQ(LC_DS_MAX_IO, n);
    EXPECT_FALSE(eof);
    // Reading changes no attribute, atime included.
    lc_ds_attrs after = attrs(2);
    EXPECT_EQ(before.atime, after.atime);
    EXPECT_EQ(before.attr_version, after.attr_version);
    EXPECT_EQ(before.attr_version, post.attr_version);
}

TEST_F(DsDiskTest, WriteLimits) {
    create(2);
    std::string one = "z";
    EXPECT_EQ(LC_DS_TOO_LARGE, write(2, LC_DS_MAX_END, one));
    EXPECT_EQ(LC_DS_TOO_LARGE, write(2, UINT64_MAX - 2, "abcd"));
    EXPECT_EQ(LC_DS_OK, write(2, LC_DS_MAX_END - 1, one));  // the end is exactly 2^63-1
    EXPECT_EQ(LC_DS_MAX_END, attrs(2).size);
    EXPECT_EQ(one, read(2, LC_DS_MAX_END - 1, 10));
    std::vector<uint8_t> big(LC_DS_MAX_IO + 1);
    EXPECT_EQ(LC_DS_INVALID, lc_ds_disk_write(disk_, 2, 0, 0, big.data(), uint32_t(big.size()), true, nullptr, nullptr));
    EXPECT_EQ(13u, lc_ds_status(LC_DS_TOO_LARGE));
    EXPECT_EQ(12u, lc_ds_status(LC_DS_NO_SPACE));
    EXPECT_EQ(8u, lc_ds_status(LC_DS_NOT_FOUND));
    EXPECT_EQ(10u, lc_ds_status(LC_DS_CONFLICT));
}

// ---------------------------------------------------------------- truncate

TEST_F(DsDiskTest, TruncateZeroesTheTailAndFreesBlocks) {
    create(2);
    uint64_t total = free_blocks();
    ASSERT_EQ(LC_DS_OK, write(2, 0, std::string(8192, '\xaa')));
    EXPECT_EQ(total - 2, free_blocks());

    ASSERT_EQ(LC_DS_OK, truncate(2, 5000));  // round_up(5000) = 8192: both blocks stay
    EXPECT_EQ(2 * kBlock, attrs(2).space_used);
    EXPECT_EQ(total - 2, free_blocks());

    ASSERT_EQ(LC_DS_OK, truncate(2, 100));
    EXPECT_EQ(kBlock, attrs(2).space_used);
    EXPECT_EQ(total - 1, free_blocks());
    EXPECT_EQ(1u, lc_ds_disk_page_count(disk_));

    // Growing makes a hole: no allocation, and the old bytes past 100 are gone.
    ASSERT_EQ(LC_DS_OK, truncate(2, 8192));
    EXPECT_EQ(kBlock, attrs(2).space_used);
    EXPECT_EQ(total - 1, free_blocks());
    std::string got = read(2, 0, 8192);
    EXPECT_EQ(std::string(100, '\xaa') + std::string(8092, '\0'), got);

    // Preallocated, never written blocks go too.
    ASSERT_EQ(LC_DS_OK, allocate(2, 0, 1 << 20));
    EXPECT_EQ(uint64_t(1 << 20), attrs(2).space_used);
    EXPECT_EQ(total - 256, free_blocks());
    ASSERT_EQ(LC_DS_OK, truncate(2, 4097));
    EXPECT_EQ(2 * kBlock, attrs(2).space_used);
    EXPECT_EQ(total - 2, free_blocks());
    ASSERT_EQ(LC_DS_OK, truncate(2, 0));
    EXPECT_EQ(0u, attrs(2).space_used);
    EXPECT_EQ(total, free_blocks());
    EXPECT_EQ(0u, lc_ds_disk_page_count(disk_));
}

TEST_F(DsDiskTest, TruncateTimes) {
    create(2);
    lc_ds_update u;
    u.mask = TARN_DS_SET_SIZE | TARN_DS_SET_MTIME;
    u.size = 10;
    u.mtime = 123456789;
    lc_ds_attrs pre, post;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_attrs(disk_, 2, 0, &u, 0, &pre, &post));
    EXPECT_EQ(123456789u, post.mtime);  // given: stored verbatim
    EXPECT_GT(post.ctime, pre.ctime);
    u.mask = TARN_DS_SET_SIZE;
    u.size = 5;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_attrs(disk_, 2, 0, &u, 0, &pre, &post));
    EXPECT_EQ(post.ctime, post.mtime);  // not given: now
    EXPECT_GT(post.mtime, 123456789u);
}

// ---------------------------------------------------------------- allocation

TEST_F(DsDiskTest, AllocateErrorOrderAndAllOrNothing) {
    make_disk(100);
    create(2);
    // Length 0 beats every other check, even with an impossible offset.
    EXPECT_EQ(LC_DS_INVALID, allocate(2, UINT64_MAX, 0));
    // Too large beats no space.
    EXPECT_EQ(LC_DS_TOO_LARGE, allocate(2, LC_DS_MAX_END, 1));
    EXPECT_EQ(LC_DS_TOO_LARGE, allocate(2, UINT64_MAX - 5, 10));  // wraps around
    EXPECT_EQ(LC_DS_TOO_LARGE, allocate(2, 1, LC_DS_MAX_END));
    EXPECT_EQ(LC_DS_NO_SPACE, allocate(2, 0, 101 * kBlock));
    lc_ds_attrs a = attrs(2);
    EXPECT_EQ(0u, a.size);
    EXPECT_EQ(0u, a.space_used);
    EXPECT_EQ(100u, free_blocks());

    ASSERT_EQ(LC_DS_OK, allocate(2, 0, 50 * kBlock));
    // 150 blocks of which 50 are held: 100 new > 50 free.
    EXPECT_EQ(LC_DS_NO_SPACE, allocate(2, 0, 150 * kBlock));
    EXPECT_EQ(50u, free_blocks());
    EXPECT_EQ(50 * kBlock, attrs(2).size);
    // Exactly what is free, partly overlapping what is held.
    lc_ds_attrs pre, post;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_allocate(disk_, 2, 0, 10 * kBlock, 90 * kBlock - 1, &pre, &post));
    EXPECT_EQ(0u, free_blocks());
    EXPECT_EQ(100 * kBlock - 1, post.size);
    EXPECT_EQ(100 * kBlock, post.space_used);
    EXPECT_EQ(pre.mtime, post.mtime);  // allocation changes ctime only
    EXPECT_GT(post.ctime, pre.ctime);
    EXPECT_EQ(pre.attr_version + 1, post.attr_version);
    // Allocating held blocks on a full pool costs nothing.
    EXPECT_EQ(LC_DS_OK, allocate(2, 0, 4096));
    // Reads of allocated, unwritten blocks are zeros, with no page behind them.
    EXPECT_EQ(std::string(4096, '\0'), read(2, 40960, 4096));
    EXPECT_EQ(0u, lc_ds_disk_page_count(disk_));
}

TEST_F(DsDiskTest, OverwritesOnAFullPool) {
    make_disk(4);
    create(2);
    ASSERT_EQ(LC_DS_OK, write(2, 0, std::string(4 * kBlock, 'a')));
    ASSERT_EQ(0u, free_blocks());
    EXPECT_EQ(LC_DS_OK, write(2, 100, std::string(3 * kBlock, 'b')));
    // Part overwrite, part new block: refused whole, not half written.
    EXPECT_EQ(LC_DS_NO_SPACE, write(2, 3 * kBlock, std::string(2 * kBlock, 'c')));
    EXPECT_EQ(LC_DS_NO_SPACE, write(2, 1ull << 30, "d"));
    std::string got = read(2, 0, 5 * kBlock);
    EXPECT_EQ(std::string(100, 'a') + std::string(3 * kBlock, 'b') + std::string(kBlock - 100, 'a'), got);
    EXPECT_EQ(4 * kBlock, attrs(2).size);
    // Deleting another file's space makes room; deleting this one refunds exactly.
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_delete_object(disk_, 2));
    EXPECT_EQ(4u, free_blocks());
}

// 100 racing writers never take the reserve nor put more on a vdisk than
// its limit; they stop only once no vdisk has room for what they ask.
TEST_F(DsDiskTest, ConcurrentWritersNeverOvercommit) {
    constexpr uint64_t kPool = 1000;
    constexpr uint64_t kReserve = 400;
    constexpr uint64_t kVdiskLimit = 120;  // 6 x 120 > 600 available
    constexpr int kWriters = 100;
    make_disk(kPool, kReserve, kVdiskLimit);
    for (int i = 0; i < kWriters; i++) create(100 + i, uint32_t(i % kVdisks));

    std::atomic<bool> done{false};
    std::atomic<uint64_t> lowest{kPool};
    std::thread watcher([&] {
        while (!done.load()) {
            uint64_t f = free_blocks();
            uint64_t low = lowest.load();
            while (f < low && !lowest.compare_exchange_weak(low, f)) {
            }
            EXPECT_LE(f, kPool);
            EXPECT_GE(f, kReserve);
            for (uint32_t v = 0; v < kVdisks; v++) EXPECT_LE(lc_pool_vdisk_held_blocks(&pool_, v), kVdiskLimit);
        }
    });
    std::vector<uint64_t> granted(kWriters, 0);  // blocks each writer was given
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; i++) {
        writers.emplace_back([&, i] {
            uint64_t off = 0;
            int refusals = 0;
            for (int k = 0; refusals < 5; k++) {
                uint64_t blocks = 1 + uint64_t((i + k) % 4);
                std::string data(blocks * kBlock, char('A' + i % 26));
                lc_ds_result r = write(100 + i, off, data);
                if (r == LC_DS_OK) {
                    granted[i] += blocks;
                    off += data.size();
                } else {
                    ASSERT_EQ(LC_DS_NO_SPACE, r);
                    refusals++;
                }
            }
        });
    }
    for (auto& t : writers) t.join();
    done = true;
    watcher.join();

    uint64_t sum = 0, used = 0;
    for (int i = 0; i < kWriters; i++) {
        sum += granted[i];
        lc_ds_attrs a = attrs(100 + i);
        EXPECT_EQ(granted[i] * kBlock, a.space_used) << "writer " << i;
        EXPECT_EQ(granted[i] * kBlock, a.size) << "writer " << i;
        used += a.space_used / kBlock;
    }
    EXPECT_EQ(kPool - free_blocks(), sum);
    EXPECT_EQ(sum, used);
    // Every writer stopped only when nothing it asked for fitted its vdisk.
    for (uint32_t v = 0; v < kVdisks; v++) EXPECT_LT(lc_pool_vdisk_free_blocks(&pool_, v), 4u) << "vdisk " << v;
    EXPECT_LT(lc_pool_min_vdisk_free_blocks(&pool_), 4u);
    EXPECT_GE(free_blocks(), kReserve);
    EXPECT_LE(lowest.load(), kPool);
    uint64_t usage_sum = 0;
    for (uint32_t v = 0; v < kVdisks; v++) {
        lc_ds_usage u;
        ASSERT_EQ(LC_DS_OK, lc_ds_disk_usage(disk_, v, &u));
        usage_sum += u.allocated_bytes;
        EXPECT_EQ(lc_pool_vdisk_held_blocks(&pool_, v) * kBlock, u.allocated_bytes);
        EXPECT_EQ(kPool * kBlock, u.pool_total_bytes);
    }
    EXPECT_EQ(sum * kBlock, usage_sum);

    std::vector<std::thread> deleters;
    for (int i = 0; i < kWriters; i++)
        deleters.emplace_back([&, i] { EXPECT_EQ(LC_DS_OK, lc_ds_disk_delete_object(disk_, 100 + i)); });
    for (auto& t : deleters) t.join();
    EXPECT_EQ(kPool, free_blocks());
    EXPECT_EQ(0u, lc_ds_disk_page_count(disk_));
    EXPECT_EQ(0u, lc_ds_disk_object_count(disk_));
}

TEST_F(DsDiskTest, LargePreallocationPlusSparseWritesStaysSmall) {
    make_disk(4ull << 20);  // 16 GiB
    create(2);
    constexpr uint64_t kSize = 8ull << 30;
    ASSERT_EQ(LC_DS_OK, allocate(2, 0, kSize));
    EXPECT_EQ(kSize, attrs(2).space_used);
    EXPECT_EQ(0u, lc_ds_disk_page_count(disk_));
    uint64_t free_after = free_blocks();
    EXPECT_EQ((4ull << 20) - kSize / kBlock, free_after);
    int writes = 0;
    for (uint64_t off = 0; off < kSize; off += 64ull << 20, writes++)
        ASSERT_EQ(LC_DS_OK, write(2, off + 5, std::string(kBlock, 'w')));
    // Each 4 KiB write at offset +5 spans two pages; nothing else holds memory.
    EXPECT_EQ(uint64_t(2 * writes), lc_ds_disk_page_count(disk_));
    EXPECT_EQ(free_after, free_blocks());  // the blocks were already held
    EXPECT_EQ(std::string(5, '\0') + std::string(kBlock, 'w') + std::string(5, '\0'),
              read(2, 64ull << 20, kBlock + 10));
    // A write past the preallocation takes new blocks.
    ASSERT_EQ(LC_DS_OK, write(2, kSize, "tail"));
    EXPECT_EQ(free_after - 1, free_blocks());
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_delete_object(disk_, 2));
    EXPECT_EQ(4ull << 20, free_blocks());
    EXPECT_EQ(0u, lc_ds_disk_page_count(disk_));
}

// ---------------------------------------------------------------- attributes

TEST_F(DsDiskTest, CreateDefaultsAndUpdate) {
    lc_ds_attrs a;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(disk_, 7, 3, nullptr, 1000, 2000, &a));
    EXPECT_EQ(7u, a.file_id);
    EXPECT_EQ(3u, a.vdisk);
    EXPECT_EQ(0644u, a.mode);
    EXPECT_EQ(1u, a.nlinks);
    EXPECT_EQ(1000u, a.uid);
    EXPECT_EQ(2000u, a.gid);
    EXPECT_EQ(0u, a.size);
    EXPECT_EQ(a.ctime, a.mtime);
    EXPECT_EQ(a.ctime, a.atime);
    EXPECT_NE(0u, a.ctime);
    EXPECT_EQ(1u, a.attr_version);
    EXPECT_EQ(LC_DS_EXISTS, lc_ds_disk_create_object(disk_, 7, 3, nullptr, 0, 0, &a));
    EXPECT_EQ(LC_DS_INVALID, lc_ds_disk_create_object(disk_, 8, kVdisks, nullptr, 0, 0, &a));

    // An MDS update block: mode, uid, size and mtime given.
    uint8_t blk[TARN_MDS_UPDATE_BYTES] = {};
    tarn_wire_put_u32(blk, TARN_MDS_UPDATE_MASK, TARN_MDS_SET_MODE | TARN_MDS_SET_UID | TARN_MDS_SET_SIZE | TARN_MDS_SET_MTIME);
    tarn_wire_put_u32(blk, TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_MODE, 0100357);
    tarn_wire_put_u32(blk, TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_UID, 55);
    tarn_wire_put_u32(blk, TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_GID, 66);  // not in the mask
    tarn_wire_put_u64(blk, TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_SIZE, 12345);
    tarn_wire_put_time(blk, TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_MTIME, 123456789);
    lc_ds_update u;
    lc_ds_update_from_mds(blk, &u);
    EXPECT_EQ(TARN_DS_SET_MODE | TARN_DS_SET_UID | TARN_DS_SET_SIZE | TARN_DS_SET_MTIME, u.mask);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_create_object(disk_, 9, 0, &u, 1, 2, &a));
    EXPECT_EQ(0357u, a.mode);
    EXPECT_EQ(55u, a.uid);
    EXPECT_EQ(2u, a.gid);
    EXPECT_EQ(12345u, a.size);
    EXPECT_EQ(0u, a.space_used);  // a hole
    EXPECT_EQ(123456789u, a.mtime);
    EXPECT_EQ(1u, a.attr_version);
}

TEST_F(DsDiskTest, SetAttrsGuardModeAndVersions) {
    lc_ds_attrs a = create(2);
    uint64_t v = a.attr_version;
    ASSERT_EQ(LC_DS_OK, write(2, 0, "data"));
    EXPECT_EQ(++v, attrs(2).attr_version);
    ASSERT_EQ(LC_DS_OK, allocate(2, 0, 8192));
    EXPECT_EQ(++v, attrs(2).attr_version);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_commit(disk_, 2, 0, nullptr, nullptr));
    read(2, 0, 10);
    EXPECT_EQ(v, attrs(2).attr_version);

    lc_ds_update u;
    u.mask = TARN_DS_SET_MODE | TARN_DS_SET_GID;
    u.mode = 0107777;
    u.gid = 42;
    lc_ds_attrs pre, post;
    EXPECT_EQ(LC_DS_CONFLICT, lc_ds_disk_set_attrs(disk_, 2, 0, &u, attrs(2).ctime + 1, &pre, &post));
    EXPECT_EQ(0644u, attrs(2).mode);
    EXPECT_EQ(v, post.attr_version);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_attrs(disk_, 2, 0, &u, attrs(2).ctime, &pre, &post));
    EXPECT_EQ(07777u, post.mode);
    EXPECT_EQ(42u, post.gid);
    EXPECT_EQ(++v, post.attr_version);
    EXPECT_GT(post.ctime, pre.ctime);
    EXPECT_EQ(pre.mtime, post.mtime);

    u.mask = TARN_DS_SET_ATIME | TARN_DS_SET_MTIME_NOW;
    u.atime = 77;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_attrs(disk_, 2, 0, &u, 0, &pre, &post));
    EXPECT_EQ(77u, post.atime);
    EXPECT_EQ(post.ctime, post.mtime);
    EXPECT_EQ(++v, post.attr_version);

    // No recognised bit: no change at all.
    u.mask = 0x2 | 0x10000;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_attrs(disk_, 2, 0, &u, 0, &pre, &post));
    EXPECT_EQ(v, post.attr_version);
    EXPECT_EQ(pre.ctime, post.ctime);

    u.mask = TARN_DS_SET_SIZE;
    u.size = LC_DS_MAX_END + 1;
    EXPECT_EQ(LC_DS_TOO_LARGE, lc_ds_disk_set_attrs(disk_, 2, 0, &u, 0, &pre, &post));
    EXPECT_EQ(v, attrs(2).attr_version);

    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_nlinks(disk_, 2, 3, &post));
    EXPECT_EQ(3u, post.nlinks);
    EXPECT_EQ(++v, post.attr_version);
    EXPECT_EQ(3u, attrs(2).nlinks);
}

TEST_F(DsDiskTest, VdiskPlacementUsageAndDeletion) {
    create(2, 1);
    create(3, 4);
    ASSERT_EQ(LC_DS_OK, write(3, 0, std::string(10000, 'v')));
    uint8_t buf[16];
    uint32_t n;
    bool eof;
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_read(disk_, 2, 4, 0, 16, buf, &n, &eof, nullptr));
    EXPECT_EQ(LC_DS_OK, lc_ds_disk_read(disk_, 2, 1, 0, 16, buf, &n, &eof, nullptr));
    lc_ds_usage u;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_usage(disk_, 4, &u));
    EXPECT_EQ(3 * kBlock, u.allocated_bytes);
    EXPECT_EQ(1u, u.objects);
    EXPECT_EQ(free_blocks() * kBlock, u.pool_free_bytes);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_usage(disk_, 1, &u));
    EXPECT_EQ(0u, u.allocated_bytes);
    EXPECT_EQ(1u, u.objects);
    EXPECT_EQ(LC_DS_INVALID, lc_ds_disk_usage(disk_, kVdisks, &u));

    ASSERT_EQ(LC_DS_OK, lc_ds_disk_delete_object(disk_, 3));
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_usage(disk_, 4, &u));
    EXPECT_EQ(0u, u.allocated_bytes);
    EXPECT_EQ(0u, u.objects);
    // A freed file id answers "not found" everywhere; nothing is created implicitly.
    EXPECT_EQ(LC_DS_NOT_FOUND, write(3, 0, "again"));
    EXPECT_EQ(LC_DS_NOT_FOUND, allocate(3, 0, 10));
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_commit(disk_, 3, LC_DS_ANY_VDISK, nullptr, nullptr));
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_delete_object(disk_, 3));
    EXPECT_EQ(LC_DS_NOT_FOUND, lc_ds_disk_set_nlinks(disk_, 3, 1, nullptr));
    EXPECT_EQ(std::vector<uint64_t>{2}, lc_ds_disk_object_ids(disk_));
}

TEST_F(DsDiskTest, WireBlocks) {
    lc_ds_attrs pre = create(2);
    ASSERT_EQ(LC_DS_OK, write(2, 0, "hello"));
    lc_ds_attrs post = attrs(2);
    uint8_t wcc[TARN_WCC_BYTES];
    memset(wcc, 0xee, sizeof wcc);
    lc_ds_wcc_put(wcc, &pre, &post);
    EXPECT_EQ(TARN_WIRE_PRESENT, tarn_wire_get_u8(wcc, TARN_WCC_PRE_PRESENT));
    EXPECT_EQ(0u, tarn_wire_get_u64(wcc, TARN_WCC_PRE_VALUE));
    EXPECT_EQ(pre.mtime, tarn_wire_get_time(wcc, TARN_WCC_PRE_TIME1));
    EXPECT_EQ(0u, tarn_wire_get_u64(wcc, TARN_WCC_PRE_TIME1 + 8));
    EXPECT_EQ(pre.ctime, tarn_wire_get_time(wcc, TARN_WCC_PRE_TIME2));
    const uint8_t* po = wcc + TARN_WCC_POST;
    EXPECT_EQ(TARN_WIRE_PRESENT, tarn_wire_get_u8(po, TARN_POST_OP_PRESENT));
    EXPECT_EQ(5u, tarn_wire_get_u64(po, TARN_POST_OP_VALUE1));
    EXPECT_EQ(kBlock, tarn_wire_get_u64(po, TARN_POST_OP_VALUE2));
    EXPECT_EQ(2u, tarn_wire_get_u64(po, TARN_POST_OP_VALUE3));
    EXPECT_EQ(post.attr_version, tarn_wire_get_u64(po, TARN_POST_OP_VALUE4));
    EXPECT_EQ(post.mtime, tarn_wire_get_time(po, TARN_POST_OP_TIME1));
    EXPECT_EQ(post.ctime, tarn_wire_get_time(po, TARN_POST_OP_TIME2));
    EXPECT_EQ(0u, tarn_wire_get_u64(po, TARN_POST_OP_TIME2 + 8));

    uint8_t blk[TARN_DS_ATTR_BYTES];
    memset(blk, 0xee, sizeof blk);
    lc_ds_attrs_put(blk, &post);
    EXPECT_EQ(2u, tarn_wire_get_u64(blk, TARN_DS_ATTR_INODE_NUM));
    EXPECT_EQ(0644u, tarn_wire_get_u32(blk, TARN_DS_ATTR_MODE));
    EXPECT_EQ(1u, tarn_wire_get_u32(blk, TARN_DS_ATTR_NLINKS));
    EXPECT_EQ(5u, tarn_wire_get_u64(blk, TARN_DS_ATTR_SIZE));
    EXPECT_EQ(kBlock, tarn_wire_get_u64(blk, TARN_DS_ATTR_SPACE_USED));
    EXPECT_EQ(post.mtime, tarn_wire_get_time(blk, TARN_DS_ATTR_MTIME));
    EXPECT_EQ(0u, tarn_wire_get_u64(blk, TARN_DS_ATTR_CTIME + 8));

    // The DS update block of a set_attrs request.
    uint8_t upd[TARN_DS_UPDATE_BYTES] = {};
    tarn_wire_put_u32(upd, TARN_DS_UPDATE_MASK, TARN_DS_SET_GID | TARN_DS_SET_ATIME);
    tarn_wire_put_u32(upd, TARN_DS_UPDATE_ATTR + TARN_DS_ATTR_GID, 99);
    tarn_wire_put_time(upd, TARN_DS_UPDATE_ATTR + TARN_DS_ATTR_ATIME, 31337);
    lc_ds_update u;
    lc_ds_update_read(upd, &u);
    EXPECT_EQ(TARN_DS_SET_GID | TARN_DS_SET_ATIME, u.mask);
    EXPECT_EQ(99u, u.gid);
    EXPECT_EQ(31337u, u.atime);
}

// ---------------------------------------------------------------- replication

struct PushLog {
    std::mutex mu;
    std::vector<lc_ds_attrs> taken;
    bool accept = true;
    lc_ds_disk* disk = nullptr;
    bool lock_free = true;  // the hook could read the object it was told about

    static bool fn(void* ctx, const lc_ds_attrs* snap) {
        auto* log = static_cast<PushLog*>(ctx);
        // The object must not be locked while its snapshot is pushed.
        lc_ds_attrs now;
        if (lc_ds_disk_get_attrs(log->disk, snap->file_id, LC_DS_ANY_VDISK, &now) != LC_DS_OK) log->lock_free = false;
        std::lock_guard g(log->mu);
        if (log->accept) log->taken.push_back(*snap);
        return log->accept;
    }
};

TEST_F(DsDiskTest, PushHookAndDirtySet) {
    PushLog log;
    log.disk = disk_;
    lc_ds_disk_set_push(disk_, PushLog::fn, &log);

    lc_ds_attrs a = create(2);
    create(3);
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_set_nlinks(disk_, 2, 2, &a));
    lc_ds_update u;
    u.mask = TARN_DS_SET_MODE;
    u.mode = 0600;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_mds_set_attrs(disk_, 2, &u, 0, nullptr, nullptr));
    EXPECT_TRUE(log.taken.empty());  // metadata server calls are never pushed

    ASSERT_EQ(LC_DS_OK, write(2, 0, "abc"));
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_commit(disk_, 2, 0, nullptr, nullptr));
    ASSERT_EQ(LC_DS_OK, allocate(2, 0, 100));
    ASSERT_EQ(LC_DS_OK, truncate(2, 1));
    read(2, 0, 1);
    ASSERT_EQ(4u, log.taken.size());
    EXPECT_TRUE(log.lock_free);
    EXPECT_EQ(3u, log.taken[0].size);
    EXPECT_EQ(log.taken[0].attr_version, log.taken[1].attr_version);  // commit changes nothing
    EXPECT_LT(log.taken[1].attr_version, log.taken[2].attr_version);
    EXPECT_EQ(1u, log.taken[3].size);
    EXPECT_EQ(0600u, log.taken[3].mode);
    EXPECT_EQ(0u, lc_ds_disk_dirty_count(disk_));

    // Refused pushes land in the dirty set, once per object.
    log.accept = false;
    ASSERT_EQ(LC_DS_OK, write(2, 10, "x"));
    ASSERT_EQ(LC_DS_OK, write(2, 20, "y"));
    ASSERT_EQ(LC_DS_OK, write(3, 0, "z"));
    EXPECT_EQ((std::vector<uint64_t>{2, 3}), lc_ds_disk_dirty_ids(disk_));
    EXPECT_EQ(2u, lc_ds_disk_flush_dirty(disk_, PushLog::fn, &log));

    // A snapshot older than the object does not clear it.
    lc_ds_attrs s;
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_snapshot(disk_, 2, &s));
    ASSERT_EQ(LC_DS_OK, write(2, 30, "w"));
    lc_ds_disk_dirty_done(disk_, 2, s.attr_version);
    EXPECT_EQ(2u, lc_ds_disk_dirty_count(disk_));

    // Catch-up pushes the current attributes and empties the set.
    log.accept = true;
    log.taken.clear();
    EXPECT_EQ(0u, lc_ds_disk_flush_dirty(disk_, PushLog::fn, &log));
    ASSERT_EQ(2u, log.taken.size());
    EXPECT_EQ(attrs(2).attr_version, log.taken[0].attr_version);
    EXPECT_EQ(31u, log.taken[0].size);
    EXPECT_EQ(3u, log.taken[1].file_id);

    // Without a hook every change is dirty; deleting the object drops its mark.
    lc_ds_disk_set_push(disk_, nullptr, nullptr);
    ASSERT_EQ(LC_DS_OK, write(3, 0, "q"));
    lc_ds_disk_mark_dirty(disk_, 2);
    EXPECT_EQ(2u, lc_ds_disk_dirty_count(disk_));
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_delete_object(disk_, 3));
    EXPECT_EQ(std::vector<uint64_t>{2}, lc_ds_disk_dirty_ids(disk_));
    // A dirty id whose object has gone is dropped by the flush without a push.
    lc_ds_disk_mark_dirty(disk_, 99);
    log.taken.clear();
    EXPECT_EQ(0u, lc_ds_disk_flush_dirty(disk_, PushLog::fn, &log));
    EXPECT_EQ(1u, log.taken.size());
}

TEST_F(DsDiskTest, ConcurrentChangesLeaveNoStaleDirtyState) {
    // Pushes refused at random while a replicator drains: at the end, one
    // flush must leave the metadata side with every object's last version.
    struct Mds {
        std::mutex mu;
        std::vector<uint64_t> version = std::vector<uint64_t>(8, 0);
        std::atomic<uint32_t> tick{0};
        static bool fn(void* ctx, const lc_ds_attrs* s) {
            auto* m = static_cast<Mds*>(ctx);
            if (m->tick.fetch_add(1) % 3 == 0) return false;
            std::lock_guard g(m->mu);
            m->version[s->file_id] = std::max(m->version[s->file_id], s->attr_version);
            return true;
        }
    } mds;
    lc_ds_disk_set_push(disk_, Mds::fn, &mds);
    for (uint64_t id = 0; id < 8; id++) create(id);
    std::atomic<bool> stop{false};
    std::thread replicator([&] {
        while (!stop.load()) lc_ds_disk_flush_dirty(disk_, Mds::fn, &mds);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; t++)
        writers.emplace_back([&, t] {
            for (int k = 0; k < 2000; k++) write(uint64_t((t + k) % 8), uint64_t(k) * 16, "0123456789abcdef");
        });
    for (auto& t : writers) t.join();
    stop = true;
    replicator.join();
    auto always = [](void* ctx, const lc_ds_attrs* s) {
        auto* m = static_cast<Mds*>(ctx);
        std::lock_guard g(m->mu);
        m->version[s->file_id] = std::max(m->version[s->file_id], s->attr_version);
        return true;
    };
    EXPECT_EQ(0u, lc_ds_disk_flush_dirty(disk_, always, &mds));
    for (uint64_t id = 0; id < 8; id++) EXPECT_EQ(attrs(id).attr_version, mds.version[id]) << "object " << id;
}

// ---------------------------------------------------------------- crash

TEST_F(DsDiskTest, LoseUnstablePoisonsOnlyUncommittedUnstableRanges) {
    create(2);
    create(3);
    ASSERT_EQ(LC_DS_OK, write(2, 0, std::string(100, 'u'), false));       // lost
    ASSERT_EQ(LC_DS_OK, write(2, 100, std::string(100, 's'), true));      // kept
    ASSERT_EQ(LC_DS_OK, write(2, 8192, std::string(50, 'r'), false));     // overwritten stably: kept
    ASSERT_EQ(LC_DS_OK, write(2, 8192, std::string(50, 'R'), true));
    ASSERT_EQ(LC_DS_OK, write(3, 0, std::string(70, 'c'), false));        // committed: kept
    ASSERT_EQ(LC_DS_OK, lc_ds_disk_commit(disk_, 3, 0, nullptr, nullptr));
    ASSERT_EQ(LC_DS_OK, write(3, 5000, std::string(30, 't'), false));     // truncated away
    ASSERT_EQ(LC_DS_OK, truncate(3, 4096));
    ASSERT_EQ(LC_DS_OK, truncate(3, 6000));
    lc_ds_attrs before2 = attrs(2), before3 = attrs(3);

    lc_ds_disk_lose_unstable(disk_);
    EXPECT_EQ(std::string(100, '\xdb') + std::string(100, 's'), read(2, 0, 200));
    EXPECT_EQ(std::string(50, 'R'), read(2, 8192, 50));
    EXPECT_EQ(std::string(70, 'c'), read(3, 0, 70));
    EXPECT_EQ(std::string(1904, '\0'), read(3, 4096, 2000));
    lc_ds_attrs after2 = attrs(2), after3 = attrs(3);
    EXPECT_EQ(before2.size, after2.size);
    EXPECT_EQ(before2.mtime, after2.mtime);
    EXPECT_EQ(before2.ctime, after2.ctime);
    EXPECT_EQ(before2.attr_version, after2.attr_version);
    EXPECT_EQ(before3.attr_version, after3.attr_version);
    // The ranges are forgotten: a second loss changes nothing more.
    ASSERT_EQ(LC_DS_OK, write(2, 0, "ok", true));
    lc_ds_disk_lose_unstable(disk_);
    EXPECT_EQ("ok", read(2, 0, 2));
}

}  // namespace
