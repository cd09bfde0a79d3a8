// Windows-flavour byte-range locks: exclusive and shared takes, frees and
// tests, free-all by caller name, zero-length locks, stacked shared locks,
// the caller-name and opaque-data limits, both ends of the 64-bit range and
// runs of 1000 locks.
#include <string.h>

#include <string>
#include <vector>

#include "tests/ls/tarn_ls_test.h"

namespace {

constexpr uint32_t S = LS_LOCK_READ;
constexpr uint32_t X = LS_LOCK_WRITE;
constexpr uint32_t W = LS_FLAVOUR_WINDOWS;

// 1000 equal tiles over the 64-bit range; the last one absorbs the
// remainder so that it ends at the highest offset.
constexpr uint64_t k_tile_step = UINT64_MAX / 1000;
constexpr uint64_t tile_len(int i) { return i == 999 ? UINT64_MAX - 999 * k_tile_step : k_tile_step; }

const char* stat_name(uint32_t s) { return s == ls_granted ? "ls_granted" : "ls_denied"; }

}  // namespace

class TARNLSWindowsBRLocksTest : public TARNLSTest {
protected:
    // Region i (1..5) of the multiple-caller tests and its owner.
    struct Caller {
        std::string name;
        std::string host;
        ls_lock_owner owner;
    };
    static std::vector<Caller> five_callers() {
        std::vector<Caller> v(5);
        for (int i = 1; i <= 5; ++i) {
            v[i - 1].name = "test_caller_" + std::to_string(i);
            v[i - 1].host = "127.0.0.";
            v[i - 1].host += std::to_string(i);
        }
        // Owners point into the strings, so they are built once the vector
        // no longer moves.
        for (int i = 1; i <= 5; ++i)
            v[i - 1].owner = make_owner(v[i - 1].name.c_str(), v[i - 1].host.c_str(), uint64_t(i));
        return v;
    }
    static uint64_t region_start(int i) { return 0x1000 + uint64_t(i - 1) * 0x100; }
};

TEST_F(TARNLSWindowsBRLocksTest, BasicBRLockTakeAndFree) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner a = make_owner("basic_lock_test_owner", "127.0.0.1", 0xABCD);
    ls_lock_owner b = make_owner("other_owner", "127.0.0.1", 0xBEEF);
    ls_brlock_range r = make_range(0x5678, 0x200, 0x50, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &a, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire exclusive lock", "Exclusive lock was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock was incorrectly granted");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &a, &r, &stat), ls_granted, "Failed to free lock",
                   "Free operation was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire lock after explicit free", "Lock was not granted after explicit free");
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &a, &r, 0, nullptr, &stat), ls_denied,
                   "Failed to acquire read lock", "Read lock was incorrectly granted");

    ret = ls_free_all_locks(client, "basic_lock_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for first owner";
    ret = ls_free_all_locks(client, "other_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for second owner";
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsZeroRangeNoConflict) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o1 = make_owner("test_owner", "127.0.0.1", 1);
    ls_lock_owner o2 = make_owner("test_owner", "127.0.0.1", 2);
    ls_brlock_range r1 = make_range(0x1234, 256, 256, X, W);
    ls_brlock_range r2 = make_range(0x1234, 0, 0, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r1, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r2, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsExclusiveLockBlocksAll) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 256, 256, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsOverlappingExclusiveLocksNotAllowed) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 256, 256, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    r.start = 336;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    r.start = 512;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsSharedLocksBlockExclusive) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 256, 256, S, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    o.owner_id = 3;
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    o.owner_id = 1;
    r.type = S;
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted, "", "");
    o.owner_id = 3;
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsMultipleReadLocksSameOwner) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("test_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x1234, 256, 256, S, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted, "", "");
    o.owner_id = 2;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted, "", "");
    r.type = X;
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_denied, "", "");
    ret = ls_free_all_locks(client, "test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsMultipleCallerNamesSequentialRegions) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::vector<Caller> callers = five_callers();
    ls_lock_owner e = make_owner("extra_test_caller", "127.0.0.1", 256);

    for (int i = 1; i <= 5; ++i) {
        const std::string& name = callers[i - 1].name;
        ls_brlock_range r = make_range(0x1234, region_start(i), 0x100, S, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &callers[i - 1].owner, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire read lock for caller " << name, "Lock was not granted for caller " << name);
    }
    ls_brlock_range re = make_range(0x1234, 0x1000, 0x100, X, W);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &e, &re, 0, nullptr, &stat), ls_denied, "",
                   "Exclusive lock should be denied on region with shared lock");

    for (int j = 0; j < 5; ++j) {
        const std::string& name = callers[j].name;
        ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
        ASSERT_EQ(0, ret) << "Failed to free locks for caller " << name;
        re.start = 0x1000 + uint64_t(j) * 0x100;
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &e, &re, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire exclusive lock on freed region " << j,
                       "Exclusive lock should be granted on freed region " << j);
    }
    ls_free_all_locks(client, "extra_test_caller", 0, &stat);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsMultipleCallerNamesIndividualFree) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::vector<Caller> callers = five_callers();
    ls_lock_owner e = make_owner("extra_test_caller", "127.0.0.1", 256);

    for (int i = 1; i <= 5; ++i) {
        const std::string& name = callers[i - 1].name;
        ls_brlock_range r = make_range(0x1234, region_start(i), 0x100, S, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &callers[i - 1].owner, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire read lock for caller " << name, "Lock was not granted for caller " << name);
    }
    ls_brlock_range re = make_range(0x1234, 0x1000, 0x100, X, W);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &e, &re, 0, nullptr, &stat), ls_denied, "",
                   "Exclusive lock should be denied on region with shared lock");

    // Each caller's lock is freed from E's address: the server identifies an
    // owner by caller name and owner id. A copy of E's record does the
    // frees, so E itself still takes (and free-all later releases) the
    // regions as "extra_test_caller".
    for (int i = 1; i <= 5; ++i) {
        const std::string& name = callers[i - 1].name;
        ls_lock_owner as_caller = e;
        as_caller.caller = name.c_str();
        as_caller.caller_id = 0;
        as_caller.owner_id = uint64_t(i);
        ls_brlock_range r = make_range(0x1234, region_start(i), 0x100, S, W);
        LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &as_caller, &r, &stat), ls_granted,
                       "Failed to free lock for caller " << name, "Free operation was not granted for caller " << name);
    }
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &e, &re, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire exclusive lock after freeing all shared locks",
                   "Exclusive lock should be granted after freeing all shared locks");
    for (int k = 1; k <= 4; ++k) {
        re.start = 0x1000 + uint64_t(k) * 0x100;
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &e, &re, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire exclusive lock for region " << k,
                       "Exclusive lock should be granted for region " << k);
    }
    ret = ls_free_all_locks(client, "extra_test_caller", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsSharedLockRefCounting) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner a = make_owner("refcount_test_owner", "127.0.0.1", 0x1234);
    ls_lock_owner b = make_owner("other_owner", "127.0.0.1", 0x5678);
    ls_lock_owner d = make_owner("third_owner", "127.0.0.1", 0x9ABC);
    ls_brlock_range rs = make_range(0x4567, 0x1000, 0x200, S, W);
    ls_brlock_range rx = make_range(0x4567, 0x1000, 0x200, X, W);

    for (int n = 1; n <= 64; ++n)
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &a, &rs, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire stacked read lock #" << n, "Read lock #" << n << " was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &rx, 0, nullptr, &stat), ls_denied, "",
                   "Exclusive lock should be denied while shared locks exist");
    for (int n = 1; n <= 63; ++n) {
        LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &a, &rs, &stat), ls_granted,
                       "Failed to release stacked read lock #" << n, "Free operation was not granted for lock #" << n);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &rx, 0, nullptr, &stat), ls_denied, "",
                       "Exclusive lock should still be denied after freeing " << n << " locks (still " << (64 - n)
                                                                                << " remaining)");
    }
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &a, &rs, &stat), ls_granted,
                   "Failed to release final stacked read lock", "Final free operation was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &rx, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire exclusive lock after releasing all shared locks",
                   "Exclusive lock should be granted after releasing all shared locks");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &d, &rs, 0, nullptr, &stat), ls_denied, "",
                   "Shared lock should be denied when exclusive lock exists");

    ret = ls_free_all_locks(client, "refcount_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for first owner";
    ret = ls_free_all_locks(client, "other_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for second owner";
    ret = ls_free_all_locks(client, "third_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for third owner";

    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &a, &rs, &stat), ls_not_locked,
                   "Failed to free locks for first owner", "Not locked status expected when freeing non-existent lock");
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsLockBoundaryConditions) {
    // A zero-length lock at X conflicts with (s, len) exactly when
    // s < X < s + len; two zero-length locks never conflict.
    struct Case {
        uint64_t start1, len1, start2, len2;
        ls_stats expected;
    };
    static const Case cases[] = {
        {10, 0, 10, 0, ls_granted}, {10, 0, 9, 1, ls_granted},  {10, 0, 10, 1, ls_granted},
        {10, 0, 11, 1, ls_granted}, {10, 0, 9, 2, ls_denied},   {10, 0, 10, 2, ls_granted},
        {10, 0, 9, 3, ls_denied},   {10, 0, 10, 0, ls_granted}, {9, 1, 10, 0, ls_granted},
        {10, 1, 10, 0, ls_granted}, {11, 1, 10, 0, ls_granted}, {9, 2, 10, 0, ls_denied},
        {10, 2, 10, 0, ls_granted}, {9, 3, 10, 0, ls_denied},   {0, 0, 0, 0, ls_granted},
    };
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner p = make_owner("boundary_test_owner1", "127.0.0.1", 0x1001);
    ls_lock_owner q = make_owner("boundary_test_owner2", "127.0.0.2", 0x1002);

    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& tc = cases[i];
        ls_brlock_range r1 = make_range(0x5000, tc.start1, tc.len1, X, W);
        ls_brlock_range r2 = make_range(0x5000, tc.start2, tc.len2, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &p, &r1, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire first lock for test case " << i,
                       "First lock was not granted for test case " << i);
        ret = ls_brlock_take(client, fs_id, &q, &r2, 0, nullptr, &stat);
        ASSERT_EQ(0, ret) << "ls_brlock_take failed for second lock in test case " << i;
        ASSERT_EQ(tc.expected, stat) << "Test case " << i << " failed: expected " << stat_name(tc.expected)
                                     << " but got " << stat_name(stat) << " for lock1{" << tc.start1 << ", "
                                     << tc.len1 << "}, lock2{" << tc.start2 << ", " << tc.len2 << "}";
        ret = ls_brlock_free(client, fs_id, &p, &r1, &stat);
        ASSERT_EQ(0, ret) << "Failed to release first lock for test case " << i;
        if (tc.expected == ls_granted) {
            ret = ls_brlock_free(client, fs_id, &q, &r2, &stat);
            ASSERT_EQ(0, ret) << "Failed to release second lock for test case " << i;
        }
    }
    ret = ls_free_all_locks(client, "boundary_test_owner1", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for owner1";
    ret = ls_free_all_locks(client, "boundary_test_owner2", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for owner2";
}

TEST_F(TARNLSWindowsBRLocksTest, BasicBRLockTakeTestAndFreeWithOpaque) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner a = make_owner("basic_lock_test_owner", "127.0.0.1", 0xABCD);
    ls_lock_owner b = make_owner("other_owner", "127.0.0.1", 0xBEEF);
    ls_brlock_range r = make_range(0x5678, 0x200, 0x50, X, W);
    char data1[] = "test_opaque_data";
    char data2[] = "test_opaque_data2";
    ls_opaque_item opaque_arr[2] = {{sizeof data1, data1}, {sizeof data2, data2}};
    const uint32_t opaque_count = 2;

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &a, &r, int(opaque_count), opaque_arr, &stat), ls_granted,
                   "Failed to acquire exclusive lock", "Exclusive lock was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &b, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock was incorrectly granted");

    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ls_opaque_item* opaque_in = nullptr;
    uint32_t opaque_in_count = 0;
    OpaqueInGuard guard{opaque_in, opaque_in_count};
    r = make_range(0x5678, 0x200, 0x50, X, W);
    ret = ls_brlock_test(client, fs_id, &a, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(opaque_count, opaque_in_count) << "Opaque count mismatch after test";
    for (uint32_t i = 0; i < opaque_in_count; ++i) {
        ASSERT_EQ(opaque_in[i].size, opaque_arr[i].size) << "Opaque data length mismatch for index " << i;
        ASSERT_EQ(0, memcmp(opaque_in[i].data, opaque_arr[i].data, opaque_arr[i].size))
            << "Opaque data mismatch for index " << i;
    }
    free_opaque_items(opaque_in, opaque_in_count);
    ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted status";

    ret = ls_free_all_locks(client, "basic_lock_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for first owner";
    ret = ls_free_all_locks(client, "other_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for second owner";
}

TEST_F(TARNLSWindowsBRLocksTest, CallerNameExceedsMaxLength) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name(2050, 'A');
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 0xDEAD);
    ls_brlock_range r = make_range(0xBEEF, 0x100, 0x20, X, W);

    ret = ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat);
    ASSERT_NE(0, ret) << "ls_brlock_take must fail";
    ret = ls_brlock_free(client, fs_id, &o, &r, &stat);
    ASSERT_NE(0, ret) << "ls_brlock_free must fail";
    ret = ls_brlock_test(client, fs_id, &o, &r, nullptr, nullptr, nullptr);
    ASSERT_NE(0, ret) << "ls_brlock_test must fail";
}

TEST_F(TARNLSWindowsBRLocksTest, OpaqueDataExceedsMaxSize) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("opaque_test_owner", "127.0.0.1", 0x9999);
    ls_brlock_range r = make_range(0xAAAA, 0x300, 0x100, X, W);
    std::string big(8200, 'X');
    ls_opaque_item item = {big.size(), big.data()};

    ret = ls_brlock_take(client, fs_id, &o, &r, 1, &item, &stat);
    ASSERT_NE(0, ret) << "Lock acquisition should fail when opaque data exceeds allowed size";
}

TEST_F(TARNLSWindowsBRLocksTest, OpaqueDataAtMaxSize) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("max_opaque_test_owner", "127.0.0.1", 0x8888);
    ls_brlock_range r = make_range(0xBBBB, 0x400, 0x150, X, W);
    const int size_with_layout = 8184;
    std::string maxOpaqueData(size_with_layout, 'Y');
    ls_opaque_item item = {uint64_t(size_with_layout), maxOpaqueData.data()};

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 1, &item, &stat), ls_granted,
                   "Lock acquisition should succeed with max-sized opaque data",
                   "Lock should be granted with max-sized opaque data");

    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ls_opaque_item* opaque_in = nullptr;
    uint32_t opaque_in_count = 0;
    OpaqueInGuard guard{opaque_in, opaque_in_count};
    ret = ls_brlock_test(client, fs_id, &o, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret) << "Lock test should succeed";
    ASSERT_EQ(1u, opaque_in_count) << "Should return exactly one opaque data item";
    ASSERT_EQ(uint64_t(size_with_layout), opaque_in[0].size) << "Opaque data size should be preserved at maximum size";
    ASSERT_EQ(0, memcmp(opaque_in[0].data, maxOpaqueData.c_str(), size_with_layout))
        << "Opaque data content should be preserved";
    ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted status for existing lock";
    free_opaque_items(opaque_in, opaque_in_count);

    ls_lock_owner c = make_owner("conflict_test_owner", "127.0.0.2", 0x7777);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &c, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock should be denied");

    ret = ls_free_all_locks(client, "max_opaque_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for max opaque test owner";
    ret = ls_free_all_locks(client, "conflict_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for conflict test owner";
}

TEST_F(TARNLSWindowsBRLocksTest, CallerNameAtMaxLength) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name(2047, 'B');
    ls_lock_owner o = make_owner(name.c_str(), "127.0.0.1", 0xC0DE);
    ls_lock_owner t = make_owner("short_name", "127.0.0.2", 0x1111);
    ls_brlock_range r = make_range(0xFEED, 0x500, 0x80, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                   "Lock acquisition should succeed with max-length caller name",
                   "Lock should be granted with max-length caller name");
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ret = ls_brlock_test(client, fs_id, &o, &r, &lock_test_res, nullptr, nullptr);
    ASSERT_EQ(0, ret) << "Lock test should succeed";
    ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted for existing lock";
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &t, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock should be denied");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted,
                   "Lock free should succeed with max-length caller name", "Free operation should be granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &t, &r, 0, nullptr, &stat), ls_granted,
                   "Lock acquisition should succeed after free", "Lock should be granted after previous lock was freed");

    ret = ls_free_all_locks(client, name.c_str(), 0, &stat);
    ASSERT_EQ(0, ret) << "Free all locks should succeed with max-length caller name";
    ret = ls_free_all_locks(client, "short_name", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for other owner";
}

TEST_F(TARNLSWindowsBRLocksTest, MaxValuesAllParameters) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1(2047, 'M');
    std::string name2(2047, 'N');
    ls_lock_owner o1 = make_owner(name1.c_str(), "255.255.255.255", 0xFFFFFFFFFFFFFFFF, "65535");
    o1.caller_id = 0xFFFFFFFF;
    ls_lock_owner o2 = make_owner(name2.c_str(), "254.254.254.254", 0xFFFFFFFFFFFFFFFE, "65534");
    o2.caller_id = 0xFFFFFFFE;
    ls_brlock_range r = make_range(0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFE, 1, X, W);
    const int size_with_layout = 8184;
    const uint32_t max_opaque_count = 1;
    std::string data(size_with_layout, 'X');
    ls_opaque_item opaque_arr[1] = {{uint64_t(size_with_layout), data.data()}};

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, int(max_opaque_count), opaque_arr, &stat), ls_granted,
                   "Failed to acquire lock with maximum parameters", "Lock should be granted with maximum parameters");

    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ls_opaque_item* opaque_in = nullptr;
    uint32_t opaque_in_count = 0;
    OpaqueInGuard guard{opaque_in, opaque_in_count};
    ret = ls_brlock_test(client, fs_id, &o1, &r, &lock_test_res, &opaque_in_count, &opaque_in);
    ASSERT_EQ(0, ret) << "Lock test should succeed with maximum parameters";
    ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted for existing lock";
    ASSERT_EQ(max_opaque_count, opaque_in_count) << "Opaque count should be preserved";
    for (uint32_t i = 0; i < opaque_in_count; ++i) {
        ASSERT_EQ(uint64_t(size_with_layout), opaque_in[i].size)
            << "Opaque data size should be preserved for entry " << i;
        ASSERT_EQ(0, memcmp(opaque_in[i].data, opaque_arr[i].data, size_with_layout))
            << "Opaque data content should be preserved for entry " << i;
    }
    free_opaque_items(opaque_in, opaque_in_count);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_denied, "",
                   "Conflicting lock should be denied");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r, &stat), ls_granted,
                   "Lock free should succeed with maximum parameters", "Free operation should be granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o2, &r, 0, nullptr, &stat), ls_granted,
                   "Lock acquisition should succeed after free", "Lock should be granted after previous lock was freed");
    ret = ls_free_all_locks(client, name1.c_str(), 0xFFFFFFFF, &stat);
    ASSERT_EQ(0, ret) << "Free all locks should succeed with maximum parameters";
    ret = ls_free_all_locks(client, name2.c_str(), 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free locks for conflict owner";

    r = make_range(0xFFFFFFFFFFFFFFFF, 0, 0, S, W);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted,
                   "Zero-length lock should succeed with maximum file handle", "Zero-length lock should be granted");
    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret) << "Final cleanup should succeed";
}

TEST_F(TARNLSWindowsBRLocksTest, MassiveLockTest) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("stress_test_owner", "127.0.0.1", 1);
    ls_lock_owner k = make_owner("conflict_owner", "127.0.0.2", 2);
    auto lock_at = [](int i, uint32_t type) { return make_range(0x9999, 0x10000 + uint64_t(i) * 0x200, 0x100, type, W); };

    for (int i = 0; i < 1000; ++i) {
        ls_brlock_range r = lock_at(i, S);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire lock #" << i, "Lock #" << i << " was not granted");
    }
    for (int i = 0; i < 1000; i += 100) {
        ls_brlock_range r = lock_at(i, X);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_denied, "",
                       "Conflicting lock should be denied for lock #" << i);
    }
    ret = ls_free_all_locks(client, "stress_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all stress test locks";
    for (int i = 0; i < 1000; i += 100) {
        ls_brlock_range r = lock_at(i, X);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire write lock after mass free for lock #" << i,
                       "Write lock should be granted after mass free for lock #" << i);
    }
    ret = ls_free_all_locks(client, "conflict_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, CrossFileHandleLocking) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("cross_file_owner", "127.0.0.1", 1);
    ls_lock_owner p = make_owner("other_owner", "127.0.0.2", 2);
    ls_brlock_range f1 = make_range(0x1111, 0x1000, 0x500, X, W);
    ls_brlock_range f2 = make_range(0x2222, 0x1000, 0x500, X, W);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &f1, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire lock on first file handle", "Lock should be granted on first file handle");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &f2, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire lock on second file handle", "Lock should be granted on second file handle");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &p, &f1, 0, nullptr, &stat), ls_denied, "",
                   "Lock should be denied on first file handle");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &p, &f2, 0, nullptr, &stat), ls_denied, "",
                   "Lock should be denied on second file handle");
    ret = ls_free_all_locks(client, "cross_file_owner", 0, &stat);
    ASSERT_EQ(0, ret);
    ret = ls_free_all_locks(client, "other_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, ExtremeBoundaryValues) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("boundary_owner", "127.0.0.1", 1);

    ls_brlock_range r = make_range(0x3333, 0xFFFFFFFFFFFFFFFF, 1, X, W);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to lock near maximum offset", "Lock should be granted near maximum offset");
    ret = ls_brlock_free(client, fs_id, &o, &r, &stat);
    ASSERT_EQ(0, ret) << "Failed to free lock near maximum offset";

    r = make_range(0x3333, 0, 0xFFFFFFFFFFFFFFFF, X, W);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                   "Failed to lock large range from zero", "Lock should be granted for large range");
    ret = ls_brlock_free(client, fs_id, &o, &r, &stat);
    ASSERT_EQ(0, ret) << "Failed to free large range lock";

    for (uint64_t offset : {0ull, 1ull, 100ull, 1000ull, 4294967295ull, 9223372036854775807ull,
                            18446744073709551614ull}) {
        r = make_range(0x3333, offset, 0, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                       "Failed zero-length lock at offset " << offset,
                       "Zero-length lock should be granted at offset " << offset);
    }
    ret = ls_free_all_locks(client, "boundary_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, RapidLockUnlockCycle) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("rapid_cycle_owner", "127.0.0.1", 1);
    ls_brlock_range r = make_range(0x4444, 0x2000, 0x100, X, W);

    for (int i = 0; i < 1000; ++i) {
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire lock in cycle " << i, "Lock should be granted in cycle " << i);
        LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o, &r, &stat), ls_granted,
                       "Failed to release lock in cycle " << i, "Free should be granted in cycle " << i);
    }
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                   "Lock system should still work after rapid cycling", "Final lock should be granted");
    ret = ls_free_all_locks(client, "rapid_cycle_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, ComplexOverlapPatterns) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("overlap_test_owner", "127.0.0.1", 1);
    ls_lock_owner k = make_owner("overlap_conflict_owner", "127.0.0.2", 2);
    const uint64_t read_starts[] = {100, 300, 500, 700};
    const uint64_t gap_starts[] = {200, 400, 600};

    for (int i = 0; i < 4; ++i) {
        ls_brlock_range r = make_range(0x5555, read_starts[i], 100, S, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire read lock for range " << i, "Read lock should be granted for range " << i);
    }
    for (int i = 0; i < 4; ++i) {
        ls_brlock_range r = make_range(0x5555, read_starts[i] + 50, 50, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_denied, "",
                       "Overlapping write lock should be denied for range " << i);
    }
    for (int g = 0; g < 3; ++g) {
        ls_brlock_range r = make_range(0x5555, gap_starts[g], 100, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire write lock in gap " << g, "Write lock should be granted in gap " << g);
    }
    ret = ls_free_all_locks(client, "overlap_test_owner", 0, &stat);
    ASSERT_EQ(0, ret);
    ret = ls_free_all_locks(client, "overlap_conflict_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}

TEST_F(TARNLSWindowsBRLocksTest, WindowsFullRangeLocking1K) {
    int ret = 0;
    ls_stats stat = ls_denied;
    ls_lock_owner o = make_owner("full_range_owner", "127.0.0.1", 1);
    ls_lock_owner k = make_owner("conflict_owner", "127.0.0.2", 2);

    for (int i = 0; i < 1000; ++i) {
        const uint64_t start = uint64_t(i) * k_tile_step, length = tile_len(i);
        ls_brlock_range r = make_range(0x6666, start, length, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire lock #" << i << " at range [" << start << ", " << (start + length - 1) << "]",
                       "Lock #" << i << " was not granted");
    }
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    for (int i = 0; i < 1000; ++i) {
        ls_brlock_range r = make_range(0x6666, uint64_t(i) * k_tile_step, tile_len(i), X, W);
        ret = ls_brlock_test(client, fs_id, &o, &r, &lock_test_res, nullptr, nullptr);
        ASSERT_EQ(0, ret) << "Failed to test lock #" << i;
        ASSERT_EQ(false, lock_test_res.granted) << "Lock test should return not granted for existing lock #" << i;
    }
    for (int j = 0; j < 1000; j += 100) {
        ls_brlock_range r = make_range(0x6666, uint64_t(j) * k_tile_step, k_tile_step, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_denied, "",
                       "Conflicting write lock should be denied for range #" << j);
    }
    ret = ls_free_all_locks(client, "full_range_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all full-range locks";
    for (int j = 0; j < 1000; j += 200) {
        ls_brlock_range r = make_range(0x6666, uint64_t(j) * k_tile_step, k_tile_step, X, W);
        LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &k, &r, 0, nullptr, &stat), ls_granted,
                       "Failed to acquire write lock after cleanup for range #" << j,
                       "Write lock should be granted after cleanup for range #" << j);
    }
    ret = ls_free_all_locks(client, "conflict_owner", 0, &stat);
    ASSERT_EQ(0, ret);
}
