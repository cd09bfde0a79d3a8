// POSIX-flavour byte-range locks: conflicts between owners, adjacent and
// overlapping ranges, locks to the end of the file, upgrade and downgrade by
// the holder, opaque data replaced by a re-take, file id 0, and runs of 1000
// locks over the whole 64-bit range.
#include <string.h>

#include <string>
#include <vector>

#include "tests/ls/tarn_ls_test.h"

namespace {

constexpr uint32_t S = LS_LOCK_READ;
constexpr uint32_t X = LS_LOCK_WRITE;
constexpr uint32_t P = LS_FLAVOUR_POSIX;

constexpr uint64_t k_tile_step = UINT64_MAX / 1000;
constexpr uint64_t tile_len(int i) { return i == 999 ? UINT64_MAX - 999 * k_tile_step : k_tile_step; }

// Opaque items whose bytes are the characters of random strings (no
// terminator); the strings own the bytes.
struct RandomItems {
    std::vector<std::string> texts;
    std::vector<ls_opaque_item> items;
    explicit RandomItems(int n) : texts(size_t(n)), items(size_t(n)) {
        for (int i = 0; i < n; ++i) {
            texts[size_t(i)] = TARNLSTest::createRandomString();
            items[size_t(i)] = {texts[size_t(i)].size(), texts[size_t(i)].data()};
        }
    }
};

}  // namespace

class TARNLSPosixBRLocksTest : public TARNLSTest {};

TEST_F(TARNLSPosixBRLocksTest, BasicTestReq) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 0xABCD);
    ls_brlock_range r = make_range(0x5678, 512, 80, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted, "", "");
    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.1", 0xABCD);
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ret = ls_brlock_test(client, fs_id, &o2, &r, &lock_test_res, nullptr, nullptr);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(false, lock_test_res.granted);
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, BasicTestReqWithOpaque) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 0xABCD);
    ls_brlock_range r = make_range(0x5678, 512, 80, X, P);
    const uint32_t opaque_count = 2;
    RandomItems arr(opaque_count);
    const ls_opaque_item* opaque_arr = arr.items.data();

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, int(opaque_count), opaque_arr, &stat), ls_granted, "", "");
    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.1", 0xABCD);
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ls_opaque_item* opaque_in = nullptr;
    uint32_t opaque_in_count = 0;
    OpaqueInGuard guard{opaque_in, opaque_in_count};
    ret = ls_brlock_test(client, fs_id, &o2, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(false, lock_test_res.granted);
    ASSERT_EQ(opaque_count, opaque_in_count);
    for (uint32_t i = 0; i < opaque_in_count; ++i) {
        ASSERT_EQ(opaque_in[i].size, opaque_arr[i].size);
        ASSERT_EQ(0, memcmp(opaque_in[i].data, opaque_arr[i].data, opaque_arr[i].size));
    }
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, TestAfterUpgradeLockWithNewOpaque) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 0xABCD);
    ls_brlock_range r = make_range(0x5678, 512, 80, X, P);
    const uint32_t opaque_count = 2;
    RandomItems arr(opaque_count);
    const ls_opaque_item* opaque_arr = arr.items.data();

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, int(opaque_count), opaque_arr, &stat), ls_granted, "", "");
    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.1", 0xABCD);
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ls_opaque_item* opaque_in = nullptr;
    uint32_t opaque_in_count = 0;
    OpaqueInGuard guard{opaque_in, opaque_in_count};
    ret = ls_brlock_test(client, fs_id, &o2, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(false, lock_test_res.granted);
    ASSERT_EQ(opaque_count, opaque_in_count);
    for (uint32_t i = 0; i < opaque_in_count; ++i) {
        ASSERT_EQ(opaque_in[i].size, opaque_arr[i].size);
        ASSERT_EQ(0, memcmp(opaque_in[i].data, opaque_arr[i].data, opaque_arr[i].size));
    }
    free_opaque_items(opaque_in, opaque_in_count);

    // The holder re-takes its range shared, with new data.
    r.type = S;
    const uint32_t opaque_count2 = 3;
    RandomItems arr2(opaque_count2);
    const ls_opaque_item* opaque_arr2 = arr2.items.data();
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, int(opaque_count2), opaque_arr2, &stat), ls_granted, "",
                   "");

    r.type = X;
    ret = ls_brlock_test(client, fs_id, &o2, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(false, lock_test_res.granted);
    ASSERT_EQ(opaque_count2, opaque_in_count);
    for (uint32_t i = 0; i < opaque_in_count; ++i) {
        ASSERT_EQ(opaque_in[i].size, opaque_arr2[i].size);
        ASSERT_EQ(0, memcmp(opaque_in[i].data, opaque_arr2[i].data, opaque_arr2[i].size));
    }
    free_opaque_items(opaque_in, opaque_in_count);
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, MultipleReadLocks) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, S, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, ReadWriteConflict) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    r.type = X;
    o.owner_id = 1;
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, RangeOverlap) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 256, 256, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.start = 336;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    r.start = 512;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, LockUpgrade) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, S, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 1;
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    r.type = S;
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted, "", "");
    o.owner_id = 1;
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, ZeroLength) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 1280, 0, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.start = 4096;
    r.len = 256;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    // The end of the file is the last byte of the offset space.
    r.start = 18446744073709551615ull;
    r.len = 1;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "",
                   "Zero-length lock should reach the last byte");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, LockDowngrade) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, MaxRangeLock) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 18446744073709551615ull, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.start = 4096;
    r.len = 256;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, CrossFileHandleLocking) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.fh = 0x5678;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, LockTestWithNoConflict) {
    int ret = 0;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, X, P);
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);

    ret = ls_brlock_test(client, fs_id, &o, &r, &lock_test_res, nullptr, nullptr);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(true, lock_test_res.granted);
}

TEST_F(TARNLSPosixBRLocksTest, InvalidLockParameters) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0, 0, 4096, X, P);

    ret = ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat);
    ASSERT_NE(0, ret);
    if (stat == ls_granted) {
        ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
        ASSERT_EQ(0, ret);
    }
}

TEST_F(TARNLSPosixBRLocksTest, ConcurrentReadLocks) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string n1 = createRandomString(), n2 = createRandomString(), n3 = createRandomString();
    ls_lock_owner o1 = make_owner(n1.c_str(), "127.0.0.1", 1);
    ls_lock_owner o2 = make_owner(n2.c_str(), "127.0.0.1", 2);
    ls_lock_owner o3 = make_owner(n3.c_str(), "127.0.0.1", 3);
    ls_brlock_range r = make_range(0x1234, 0, 4096, S, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o3, &r, 0, nullptr, &stat), ls_granted, "", "");
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_denied, "", "");
    for (const std::string* n : {&n1, &n2, &n3}) {
        ret = ls_free_all_locks(client, n->c_str(), 0, &stat);
        ASSERT_EQ(0, ret);
    }
}

TEST_F(TARNLSPosixBRLocksTest, FreeLockThatDoesNotExist) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name = createRandomString();
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 0, 4096, X, P);

    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_not_locked, "", "");
}

TEST_F(TARNLSPosixBRLocksTest, PosixFullRangeLocking1K) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 1);

    for (int i = 0; i < 1000; ++i) {
        const uint64_t start = uint64_t(i) * k_tile_step, length = tile_len(i);
        ls_brlock_range r = make_range(0x6666, start, length, X, P);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire lock #" << i << " at range [" << start << ", " << (start + length - 1) << "]",
                       "Lock #" << i << " was not granted");
    }
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    o1.owner_id = 2;
    for (int i = 0; i < 1000; ++i) {
        ls_brlock_range r = make_range(0x6666, uint64_t(i) * k_tile_step, tile_len(i), X, P);
        ret = ls_brlock_test(client, fs_id, &o1, &r, &lock_test_res, nullptr, nullptr);
        ASSERT_EQ(0, ret) << "Failed to test lock #" << i;
        ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted for existing lock #" << i;
    }
    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.2", 2);
    for (int i = 0; i < 1000; i += 100) {
        ls_brlock_range r = make_range(0x6666, uint64_t(i) * k_tile_step, k_tile_step, X, P);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_denied, "",
                       "Conflicting write lock should be denied for range #" << i);
    }
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all full-range locks";
    for (int i = 0; i < 1000; i += 200) {
        ls_brlock_range r = make_range(0x6666, uint64_t(i) * k_tile_step, k_tile_step, X, P);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire write lock after cleanup for range #" << i,
                       "Write lock should be granted after cleanup for range #" << i);
    }
    ret = ls_free_all_locks(client, name2.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, RapidLockUnlockCycle) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x4444, 8192, 256, X, P);

    for (int i = 0; i < 1000; ++i) {
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire lock in cycle " << i, "Lock should be granted in cycle " << i);
        LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r, &stat), ls_granted,
                       "Failed to release lock in cycle " << i, "Free should be granted in cycle " << i);
    }
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                   "Lock system should still work after rapid cycling", "Final lock should be granted");
    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.2", 2);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock should be denied after rapid cycling");
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
    ret = ls_free_all_locks(client, name2.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSPosixBRLocksTest, ExtremeBoundaryValues) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x3333, 18446744073709551615ull, 1, X, P);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to lock near maximum offset", "Lock should be granted near maximum offset");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r, &stat), ls_granted, "Failed to free lock near maximum offset",
                   "");
    r.start = 0;
    r.len = 9223372036854775807ull;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to lock large range from zero", "Lock should be granted for large range");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r, &stat), ls_granted, "Failed to free large range lock", "");

    r.len = 0;
    for (uint64_t offset : {0ull, 1ull, 100ull, 1000ull, 4294967295ull, 9223372036854775807ull,
                            18446744073709551614ull}) {
        r.start = offset;
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                       "Failed zero-length lock at offset " << offset,
                       "Zero-length lock should be granted at offset " << offset);
        std::string name2 = createRandomString();
        ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.2", 2);
        ls_brlock_range one = make_range(0x3333, offset, 1, X, P);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &one, 0, nullptr, &stat), ls_denied, "",
                       "Lock after zero-length EOF lock should be denied at offset " << offset);
        ls_brlock_range last = make_range(0x3333, 18446744073709551615ull, 1, X, P);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &last, 0, nullptr, &stat), ls_denied, "",
                       "Zero-length lock at offset " << offset << " should reach the last byte");
        ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
        ASSERT_EQ(0, ret);
    }
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}
