// A blocking POSIX take of a held range is queued, and its cancel is
// answered once.
#include <string>

#include "tests/ls/tarn_ls_test.h"

class TARNLSPosixBlockingBRLocksTest : public TARNLSTest {};

TEST_F(TARNLSPosixBlockingBRLocksTest, BasicBlockingLockWithCancel) {
    int ret = 0;
    ls_stats stat = ls_denied;
    std::string name1 = createRandomString(), name2 = createRandomString();
    ls_lock_owner o1 = make_owner(name1.c_str(), "127.0.0.1", 0xABCD);
    ls_brlock_range r = make_range(0x5678, 512, 80, LS_LOCK_WRITE, LS_FLAVOUR_POSIX);

    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r, 0, nullptr, &stat), ls_granted, "", "");

    ls_lock_owner o2 = make_owner(name2.c_str(), "127.0.0.2", 0xDEF0);
    kiv_netaddr waiter;
    memset(&waiter, 0, sizeof waiter);
    kiv_parse_netaddr_port("127.0.0.2", "8080", &waiter);
    LS_ASSERT_CALL(ls_blocking_brlock_take(client, fs_id, &waiter, &o2, &r, 0, nullptr, &stat), ls_blocked, "", "");
    LS_ASSERT_CALL(ls_blocking_brlock_cancel(client, fs_id, &o2, &r, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_blocking_brlock_cancel(client, fs_id, &o2, &r, &stat), ls_not_locked, "", "");

    // Two requests of one owner wait on different ranges: a cancel takes
    // the one it names, and the other is granted once the holder lets go.
    ls_brlock_range r2 = make_range(0x5678, 4096, 80, LS_LOCK_WRITE, LS_FLAVOUR_POSIX);
    LS_ASSERT_CALL(ls_brlock_take(client, fs_id, &o1, &r2, 0, nullptr, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_blocking_brlock_take(client, fs_id, &waiter, &o2, &r, 0, nullptr, &stat), ls_blocked, "", "");
    LS_ASSERT_CALL(ls_blocking_brlock_take(client, fs_id, &waiter, &o2, &r2, 0, nullptr, &stat), ls_blocked, "", "");
    LS_ASSERT_CALL(ls_blocking_brlock_cancel(client, fs_id, &o2, &r2, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r, &stat), ls_granted, "", "");
    LS_ASSERT_CALL(ls_brlock_free(client, fs_id, &o1, &r2, &stat), ls_granted, "", "");
    std::string name3 = createRandomString();
    ls_lock_owner o3 = make_owner(name3.c_str(), "127.0.0.3", 0xABCD);
    lock_test_res lock_test_res;
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ret = ls_brlock_test(client, fs_id, &o3, &r, &lock_test_res, nullptr, nullptr);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(false, lock_test_res.granted);
    ASSERT_EQ(uint64_t(0xDEF0), lock_test_res.owner.owner_id);
    memset(&lock_test_res, 0, sizeof lock_test_res);
    ret = ls_brlock_test(client, fs_id, &o3, &r2, &lock_test_res, nullptr, nullptr);
    ASSERT_EQ(0, ret);
    ASSERT_EQ(true, lock_test_res.granted);

    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
    ret = ls_free_all_locks(client, name2.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}
