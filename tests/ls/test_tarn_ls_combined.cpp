// One free-all by caller name releases that caller's Windows and POSIX
// byte-range locks and its share-mode lock together.
#include "tests/ls/tarn_ls_test.h"

class TARNLSCombinedLocksTest : public TARNLSTest {};

TEST_F(TARNLSCombinedLocksTest, FreeAllCombinedLockTypesWithBlocking) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const uint8_t own_handle[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t conflict_handle[4] = {9, 10, 11, 12};

    ls_lock_owner ow = make_owner("combined_test_owner", "127.0.0.1", 0x1001);
    ls_brlock_range rw = make_range(0x1000, 256, 512, LS_LOCK_WRITE, LS_FLAVOUR_WINDOWS);
    ls_lock_owner op = make_owner("combined_test_owner", "127.0.0.1", 0x1002);
    ls_brlock_range rp = make_range(0x2000, 768, 1024, LS_LOCK_WRITE, LS_FLAVOUR_POSIX);
    ls_share_owner os = make_share_owner("127.0.0.1", "combined_test_owner", own_handle, sizeof own_handle);
    ls_share_lock ss = make_share(0x3000, LS_READ, LS_WRITE);
    ls_lock_owner cw = make_owner("test_conflict_owner", "127.0.0.3", 0x3001);
    ls_lock_owner cp = make_owner("test_conflict_owner", "127.0.0.3", 0x3002);
    ls_share_owner cs = make_share_owner("127.0.0.3", "test_conflict_owner", conflict_handle, sizeof conflict_handle);
    ls_share_lock css = make_share(0x3000, 0, LS_READ);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &ow, &rw, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire Windows BR lock", "Windows BR lock was not granted");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &op, &rp, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire POSIX BR lock", "POSIX BR lock was not granted");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &os, &ss, &stat), ls_granted,
                   "Failed to acquire Share mode lock", "Share mode lock was not granted");

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &cw, &rw, 0, nullptr, &stat), ls_denied, "",
                   "Windows BR lock conflict should be denied");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &cp, &rp, 0, nullptr, &stat), ls_denied, "",
                   "POSIX BR lock conflict should be denied");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &cs, &css, &stat), ls_denied, "",
                   "Share mode lock conflict should be denied");

    ret = ls_free_all_locks(client, "combined_test_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to free all locks for combined owner";

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &cw, &rw, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire Windows BR lock after free_all", "Windows BR lock should be granted after free_all");
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &cp, &rp, 0, nullptr, &stat), ls_granted,
                   "Failed to acquire POSIX BR lock after free_all", "POSIX BR lock should be granted after free_all");
    LS_ASSERT_CALL(ls_sharemode_lock_take(client, fs_id, &cs, &css, &stat), ls_granted,
                   "Failed to acquire Share mode lock after free_all",
                   "Share mode lock should be granted after free_all");

    ret = ls_free_all_locks(client, "test_conflict_owner", 0, &stat);
    ASSERT_EQ(0, ret) << "Failed to clean up original conflicting lock";
}
