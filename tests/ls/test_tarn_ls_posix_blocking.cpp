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

    ret = ls_free_all_locks(client, name1.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
    ret = ls_free_all_locks(client, name2.c_str(), 0, &stat);
    ASSERT_EQ(0, ret);
}
