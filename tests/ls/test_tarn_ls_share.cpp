// Share-mode locks: a holder's deny bits against another's access bits,
// releases (matched by owner and file, whatever mode and access they carry),
// many holders told apart by their handle data, free-all by caller name, and
// the full matrix of two requests on one file.
#include <string.h>

#include <array>

#include "tests/ls/tarn_ls_test.h"

namespace {

struct ShareConflictCase {
    int32_t mode1;
    int32_t access1;
    int32_t mode2;
    int32_t access2;
    bool expect_granted;
};

// Every (mode2, mode1, access1, access2), mode2 slowest; the second request
// is granted exactly when neither side denies what the other asks for.
constexpr std::array<ShareConflictCase, 144> make_conflict_table() {
    std::array<ShareConflictCase, 144> t{};
    size_t k = 0;
    for (int32_t mode2 = 0; mode2 <= 3; ++mode2)
        for (int32_t mode1 = 0; mode1 <= 3; ++mode1)
            for (int32_t access1 = 1; access1 <= 3; ++access1)
                for (int32_t access2 = 1; access2 <= 3; ++access2)
                    t[k++] = {mode1, access1, mode2, access2, (mode1 & access2) == 0 && (mode2 & access1) == 0};
    return t;
}
constexpr std::array<ShareConflictCase, 144> k_conflict_table = make_conflict_table();

constexpr int count_granted() {
    int n = 0;
    for (const ShareConflictCase& c : k_conflict_table) n += c.expect_granted ? 1 : 0;
    return n;
}
static_assert(count_granted() == 25, "the matrix grants exactly 25 of its 144 rows");
static_assert(k_conflict_table[9].mode1 == 1 && k_conflict_table[9].access1 == 1 && k_conflict_table[9].mode2 == 0 &&
                  k_conflict_table[9].access2 == 1 && !k_conflict_table[9].expect_granted,
              "rows are ordered mode2, mode1, access1, access2");

}  // namespace

class TARNLSSharemodeLocksTest : public TARNLSTest {};

TEST_F(TARNLSSharemodeLocksTest, BasicShareUnshare) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h1[] = {1, 2, 3, 4}, h2[] = {5, 6, 7, 8};
    ls_share_owner o1 = make_share_owner("127.0.0.1", "basic_share_test_owner", h1, sizeof h1);
    ls_share_lock s = make_share(0x5678, 1, 2);

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s, &stat), ls_granted, "Failed to acquire share lock",
                   "Share lock was not granted");
    ls_share_owner o2 = make_share_owner("127.0.0.1", "second_share_test_owner", h2, sizeof h2);
    s.mode = 0;
    s.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &s, &stat), ls_denied,
                   "Failed to acquire conflicting share lock", "Conflicting share lock was incorrectly granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &s, &stat), ls_granted, "Failed to release share lock",
                   "Share lock release was not granted");
    s.mode = 0;
    s.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &s, &stat), ls_granted,
                   "Failed to acquire share lock after release", "Share lock was not granted after release");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o2, &s, &stat), ls_granted,
                   "Failed to release second share lock", "Second share lock release was not granted");
}

TEST_F(TARNLSSharemodeLocksTest, IncorrectShareUpdate) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h1[] = {1, 2, 3, 4}, h2[] = {5, 6, 7, 8};
    ls_share_owner o1 = make_share_owner("127.0.0.1", "basic_share_test_owner", h1, sizeof h1);
    ls_share_owner o2 = make_share_owner("127.0.0.1", "second_share_test_owner", h2, sizeof h2);
    ls_share_lock s = make_share(0x5678, 0, 1);

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s, &stat), ls_granted, "Failed to acquire share lock",
                   "Share lock was not granted");
    s.mode = 2;
    s.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &s, &stat), ls_granted,
                   "Failed to acquire second share lock", "Share lock was not granted");
    // O1 now asks for writing, which O2 denies.
    s.mode = 0;
    s.access = 2;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s, &stat), ls_denied, "Failed to update share lock",
                   "Share lock was incorrectly granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &s, &stat), ls_granted,
                   "Failed to release first share lock", "First share lock release was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o2, &s, &stat), ls_granted,
                   "Failed to release second share lock", "Second share lock release was not granted");
}

TEST_F(TARNLSSharemodeLocksTest, MultipleSharesPerFile) {
    int ret = 0;
    ls_stats stat = ls_denied;
    uint8_t handle[4] = {1, 2, 3, 4};
    ls_share_owner o = make_share_owner("127.0.0.1", "multi_share_owner", handle, sizeof handle);
    ls_share_lock s = make_share(0x1000, 1, 2);

    for (int i = 0; i < 10; ++i) {
        handle[3] = uint8_t(4 + i);
        LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &s, &stat), ls_granted,
                       "Failed to acquire share lock #" << i, "Share lock #" << i << " was not granted");
    }
    for (int i = 0; i < 10; ++i) {
        handle[3] = uint8_t(4 + i);
        LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o, &s, &stat), ls_granted,
                       "Failed to release share lock #" << i, "Share lock #" << i << " release was not granted");
    }
}

TEST_F(TARNLSSharemodeLocksTest, CheckShareConflictMatrix) {
    int ret = 0;
    ls_stats stat = ls_denied;
    for (const ShareConflictCase& t : k_conflict_table) {
        // Same caller name and address: only the handle data (the values 1
        // and 2 as little-endian u64) tells the two owners apart.
        const uint8_t h1[8] = {1, 0, 0, 0, 0, 0, 0, 0}, h2[8] = {2, 0, 0, 0, 0, 0, 0, 0};
        ls_share_owner o1 = make_share_owner("127.0.0.1", "test_sharelock_owner1", h1, sizeof h1);
        ls_share_owner o2 = make_share_owner("127.0.0.1", "test_sharelock_owner1", h2, sizeof h2);
        ls_share_lock s1 = make_share(0x1234, uint32_t(t.mode1), uint32_t(t.access1));
        ls_share_lock s2 = make_share(0x1234, uint32_t(t.mode2), uint32_t(t.access2));

        LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s1, &stat), ls_granted,
                       "Failed to acquire first share lock", "First share lock was not granted");
        std::string msg = "Test failed: access1: " + std::to_string(t.access1) +
                          " access2: " + std::to_string(t.access2) + " mode1: " + std::to_string(t.mode1) +
                          " mode2: " + std::to_string(t.mode2);
        ret = ls_sharemode_lock_take(client, fs_id, &o2, &s2, &stat);
        ASSERT_EQ(0, ret) << "Failed to acquire second share lock";
        ASSERT_EQ(t.expect_granted ? ls_granted : ls_denied, stat) << msg;
        LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &s1, &stat), ls_granted,
                       "Failed to release first share lock", "");
        // A denied request left nothing to release.
        ret = ls_sharemode_lock_free(client, fs_id, &o2, &s2, &stat);
        ASSERT_EQ(0, ret) << "Failed to release second share lock";
        ASSERT_EQ(t.expect_granted ? ls_granted : ls_not_locked, stat);
    }
}

TEST_F(TARNLSSharemodeLocksTest, SameOwnerMultipleLocks) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h[] = {1, 2, 3, 4};
    ls_share_owner o = make_share_owner("127.0.0.1", "same_owner_test", h, sizeof h);
    ls_share_lock sa = make_share(0x1111, 1, 2);
    ls_share_lock sb = make_share(0x2222, 2, 1);

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &sa, &stat), ls_granted, "Failed to acquire first lock",
                   "First lock was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &sb, &stat), ls_granted,
                   "Failed to acquire second lock", "Second lock was not granted");
    ret = ls_sharemode_lock_take(client, fs_id, &o, &sa, &stat);
    ASSERT_EQ(0, ret) << "Failed to re-acquire same lock";
    ret = ls_sharemode_lock_free(client, fs_id, &o, &sa, &stat);
    ASSERT_EQ(0, ret) << "Failed to release first lock";
    ret = ls_sharemode_lock_free(client, fs_id, &o, &sb, &stat);
    ASSERT_EQ(0, ret) << "Failed to release second lock";
}

TEST_F(TARNLSSharemodeLocksTest, ReleaseNonExistentLock) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h[] = {1, 2, 3, 4};
    ls_share_owner o = make_share_owner("127.0.0.1", "nonexistent_test", h, sizeof h);
    ls_share_lock s = make_share(0x4444, 1, 2);

    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o, &s, &stat), ls_not_locked,
                   "Release should not fail even for non-existent lock", "Should return not_locked status");
}

TEST_F(TARNLSSharemodeLocksTest, LargeHandleData) {
    int ret = 0;
    ls_stats stat = ls_denied;
    uint8_t h[2048];
    memset(h, 0xAB, sizeof h);
    ls_share_owner o = make_share_owner("127.0.0.1", "large_handle_test", h, sizeof h);
    ls_share_lock s = make_share(0x5555, 1, 2);

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &s, &stat), ls_granted,
                   "Failed to acquire lock with large handle", "Lock with large handle was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o, &s, &stat), ls_granted,
                   "Failed to release lock with large handle", "Lock with large handle release was not granted");
}

TEST_F(TARNLSSharemodeLocksTest, FreeAllLocksTest) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h1[] = {1, 2, 3, 4}, h2[] = {5, 6, 7, 8}, hc[] = {4, 3, 2, 1};
    ls_share_owner o1 = make_share_owner("127.0.0.1", "free_all_test_caller", h1, sizeof h1);
    ls_share_owner o2 = make_share_owner("127.0.0.1", "free_all_test_caller", h2, sizeof h2);
    ls_share_lock s1 = make_share(0x1000, 1, 2);
    ls_share_lock s2 = make_share(0x2000, 2, 1);
    ls_share_lock s3 = make_share(0x3000, 3, 3);

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s1, &stat), ls_granted, "Failed to acquire first lock",
                   "First lock was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &s2, &stat), ls_granted,
                   "Failed to acquire second lock", "Second lock was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &s3, &stat), ls_granted, "Failed to acquire third lock",
                   "Third lock was not granted");
    ls_share_owner oc = make_share_owner("127.0.0.1", "test_conflicting_owner", hc, sizeof hc);
    ls_share_lock sc = s1;
    sc.mode = 0;
    sc.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &oc, &sc, &stat), ls_denied, "Failed to test conflicting lock",
                   "Conflicting lock should be denied");

    ret = ls_free_all_locks(client, "free_all_test_caller", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks";

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &oc, &sc, &stat), ls_granted,
                   "Failed to test lock after free_all", "Lock should be granted after free_all");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &oc, &sc, &stat), ls_granted, "Failed to clean up test lock",
                   "Test lock cleanup failed");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &s1, &stat), ls_not_locked, "Manual free should not fail",
                   "Should return not_locked for already freed lock");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o2, &s3, &stat), ls_not_locked, "Manual free should not fail",
                   "Should return not_locked for already freed lock");
}

TEST_F(TARNLSSharemodeLocksTest, CrossFileHandleLocking) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h1[] = {1, 2, 3, 4}, h2[] = {5, 6, 7, 8}, h3[] = {9, 10, 11, 12};
    ls_share_owner o1 = make_share_owner("127.0.0.1", "cross_file_share_owner", h1, sizeof h1);
    ls_share_lock sa = make_share(0x1111, 1, 2);  // denies reading on the first file
    ls_share_lock sb = make_share(0x2222, 2, 1);  // denies writing on the second

    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &sa, &stat), ls_granted,
                   "Failed to acquire share lock on first file handle",
                   "Share lock should be granted on first file handle");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o1, &sb, &stat), ls_granted,
                   "Failed to acquire share lock on second file handle",
                   "Share lock should be granted on second file handle");

    ls_share_owner o2 = make_share_owner("127.0.0.2", "other_share_owner", h2, sizeof h2);
    ls_share_lock x1 = make_share(0x1111, 0, 1);
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &x1, &stat), ls_denied, "",
                   "READ access should be denied on first file handle due to LS_READ mode");
    ls_share_lock x2 = make_share(0x2222, 0, 2);
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &x2, &stat), ls_denied, "",
                   "WRITE access should be denied on second file handle due to LS_WRITE mode");
    x1.access = 2;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &x1, &stat), ls_granted,
                   "Failed to acquire non-conflicting share lock on first file",
                   "WRITE access should be granted on first file handle");
    x2.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &x2, &stat), ls_granted,
                   "Failed to acquire non-conflicting share lock on second file",
                   "READ access should be granted on second file handle");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &sa, &stat), ls_granted,
                   "Failed to release share lock on first file", "First file share lock release should be granted");
    x1.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o2, &x1, &stat), ls_granted,
                   "Failed to acquire READ access after first file unlock",
                   "READ access should be granted on first file after unlock");

    ls_share_owner o3 = make_share_owner("127.0.0.3", "third_share_owner", h3, sizeof h3);
    ls_share_lock x3 = make_share(0x2222, 0, 2);
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o3, &x3, &stat), ls_denied, "",
                   "WRITE access should still be denied on second file");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o1, &sb, &stat), ls_granted,
                   "Failed to release share lock on second file", "Second file share lock release should be granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o2, &x1, &stat), ls_granted,
                   "Failed to release other owner's lock on first file",
                   "Other owner's first file lock release should be granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o2, &x2, &stat), ls_granted,
                   "Failed to release other owner's lock on second file",
                   "Other owner's second file lock release should be granted");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o3, &x3, &stat), ls_not_locked,
                   "Third owner cleanup should not fail", "Third owner should get not_locked for denied lock");
}

TEST_F(TARNLSSharemodeLocksTest, RapidShareLockUnlockCycle) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t h[] = {1, 2, 3, 4}, hc[] = {5, 6, 7, 8};
    ls_share_owner o = make_share_owner("127.0.0.1", "rapid_share_cycle_owner", h, sizeof h);
    ls_share_lock s = make_share(0x2000, 1, 2);

    for (int i = 0; i < 1000; ++i) {
        LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &s, &stat), ls_granted,
                       "Failed to acquire share lock in cycle " << i, "Share lock should be granted in cycle " << i);
        LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o, &s, &stat), ls_granted,
                       "Failed to release share lock in cycle " << i, "Share lock free should be granted in cycle " << i);
    }
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &o, &s, &stat), ls_granted,
                   "Share lock system should still work after rapid cycling", "Final share lock should be granted");
    ls_share_owner oc = make_share_owner("127.0.0.1", "test_conflict_owner", hc, sizeof hc);
    ls_share_lock sc = s;
    sc.mode = 0;
    sc.access = 1;
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &oc, &sc, &stat), ls_denied,
                   "Failed to test conflicting share lock after cycling",
                   "Conflicting share lock should still be denied after rapid cycling");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &o, &s, &stat), ls_granted,
                   "Failed to release final share lock", "Final share lock release should be granted");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &oc, &sc, &stat), ls_granted,
                   "Failed to acquire share lock after cleanup", "Share lock should be granted after cleanup");
    LS_ASSERT_CALL(ls_sharemode_lock_free(client, fs_id, &oc, &sc, &stat), ls_granted,
                   "Failed to release test owner's share lock", "Test owner's share lock release should be granted");
}
