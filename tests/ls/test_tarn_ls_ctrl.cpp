// The control interface: searching Windows byte-range locks (all of them, by
// file, page by page with a cookie) and removing them by the references a
// search returns.
#include <string.h>

#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/ls/tarn_ls_test.h"

struct TestLock {
    ls_lock_owner owner_info;
    ls_brlock_range lock_info;
};

class TARNLSCtrlAPITest : public TARNLSTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TARNLSTest::SetUp());
        search_completed = false;
        search_error = 0;
        memset(&search_result, 0, sizeof search_result);
        caller_names.clear();
    }

    void TearDown() override {
        // An empty last page may still carry a cookie, so a page is freed
        // whenever it holds either.
        if (search_result.locks || search_result.cookie.data) ls_client_search_result_free(&search_result);
        test_locks.clear();
        if (client) {
            ls_stats stat = ls_denied;
            for (const std::string& name : caller_names) ls_free_all_locks(client, name.c_str(), 0, &stat);
        }
        caller_names.clear();
        TARNLSTest::TearDown();
    }

    // Takes every lock of test_locks; a failure ends only this helper.
    void acquireLocks() {
        int ret = 0;
        ls_stats stat = ls_denied;
        for (const TestLock& l : test_locks) {
            ret = ls_brlock_take(client, fs_id, &l.owner_info, &l.lock_info, 0, nullptr, &stat);
            ASSERT_EQ(0, ret);
            ASSERT_EQ(ls_granted, stat);
        }
    }

    static void search_callback(ls_ctrl_search_result* result, int error) {
        search_error = error;
        search_completed = true;
        if (result) search_result = *result;
    }

    static bool same_lock(const ls_ctrl_win_lock_info& e, const ls_lock_owner& owner, const ls_brlock_range& lock) {
        return e.lock_info.fh == lock.fh && e.lock_info.start == lock.start && e.lock_info.len == lock.len &&
               e.lock_info.type == lock.type && e.lock_info.flavour == lock.flavour &&
               e.owner_info.owner_id == owner.owner_id && e.owner_info.caller_id == owner.caller_id &&
               e.owner_info.caller && owner.caller && strcmp(e.owner_info.caller, owner.caller) == 0;
    }

    static bool findLockInSearchResults(const ls_lock_owner& owner, const ls_brlock_range& lock) {
        for (uint32_t i = 0; i < search_result.returned_count; ++i)
            if (same_lock(search_result.locks[i], owner, lock)) return true;
        return false;
    }

    static ls_lock_owner ctrl_owner(const char* caller, uint32_t caller_id) {
        ls_lock_owner o = make_owner(caller, "127.0.0.1", 0, "8080");
        o.caller_id = caller_id;
        return o;
    }

    std::list<TestLock> test_locks;
    std::set<std::string> caller_names;

    static ls_ctrl_search_result search_result;
    static int32_t search_error;
    static bool search_completed;
};

ls_ctrl_search_result TARNLSCtrlAPITest::search_result{};
int32_t TARNLSCtrlAPITest::search_error = 0;
bool TARNLSCtrlAPITest::search_completed = false;

TEST_F(TARNLSCtrlAPITest, WindowsBrlocksSearch) {
    int ret = 0;
    const char* caller = "search_test_owner";
    caller_names.insert(caller);
    ls_lock_owner owner = ctrl_owner(caller, 1);
    const uint64_t ranges[5][3] = {{256, 512, 1}, {1024, 336, 2}, {1536, 256, 1}, {2048, 768, 2}, {0, 0, 1}};
    for (int n = 0; n < 5; ++n) {
        owner.owner_id = 0x1000 + uint64_t(n);
        test_locks.push_back(
            {owner, make_range(0x7777, ranges[n][0], ranges[n][1], uint32_t(ranges[n][2]), LS_FLAVOUR_WINDOWS)});
    }
    acquireLocks();

    ls_ctrl_search_filter filter = {0, 0};
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, 10, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate search";
    ASSERT_TRUE(search_completed) << "Search should have completed";
    ASSERT_EQ(0, search_error) << "Search should not have failed";
    ASSERT_EQ(5u, search_result.returned_count) << "Search should return 5 locks";
    ASSERT_NE(nullptr, search_result.locks) << "Search result locks should not be null";
    for (const TestLock& test_lock : test_locks)
        ASSERT_TRUE(findLockInSearchResults(test_lock.owner_info, test_lock.lock_info))
            << "Lock not found in search results: fh=" << test_lock.lock_info.fh
            << ", start=" << test_lock.lock_info.start << ", len=" << test_lock.lock_info.len
            << ", owner_id=" << test_lock.owner_info.owner_id;
}

TEST_F(TARNLSCtrlAPITest, WindowsBrlockSearchRemove) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const char* caller = "remove_test_owner";
    caller_names.insert(caller);
    ls_lock_owner owner = ctrl_owner(caller, 2);
    const uint64_t ranges[3][3] = {{4096, 1280, 1}, {8192, 768, 2}, {12288, 512, 1}};
    for (int n = 0; n < 3; ++n) {
        owner.owner_id = 0x2000 + uint64_t(n);
        test_locks.push_back(
            {owner, make_range(0x8888, ranges[n][0], ranges[n][1], uint32_t(ranges[n][2]), LS_FLAVOUR_WINDOWS)});
    }
    acquireLocks();

    ls_ctrl_search_filter filter = {0, 0};
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, 10, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate initial search";
    ASSERT_TRUE(search_completed) << "Initial search should have completed";
    ASSERT_EQ(0, search_error) << "Initial search should not have failed";
    ASSERT_EQ(3u, search_result.returned_count) << "Initial search should return 3 locks";

    std::vector<std::pair<uint32_t, uint64_t>> refs;
    for (uint32_t i = 0; i < search_result.returned_count; ++i)
        refs.emplace_back(search_result.locks[i].lock_ref32, search_result.locks[i].lock_ref64);
    ls_client_search_result_free(&search_result);

    for (size_t i = 0; i < refs.size(); ++i) {
        ret = ls_ctrl_remove_brlock(client, fs_id, refs[i].first, refs[i].second, LS_FLAVOUR_WINDOWS, &stat);
        ASSERT_EQ(0, ret) << "Failed to remove lock #" << i;
        ASSERT_EQ(ls_granted, stat) << "Lock #" << i << " removal was not granted";
    }

    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, 10, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate verification search";
    ASSERT_TRUE(search_completed) << "Verification search should have completed";
    ASSERT_EQ(0, search_error) << "Verification search should not have failed";
    ASSERT_EQ(0u, search_result.returned_count) << "Verification search should return 0 locks after removal";
}

TEST_F(TARNLSCtrlAPITest, WindowsBrlockSearchWithFhFilter) {
    int ret = 0;
    ls_stats stat = ls_denied;
    const char* caller = "fh_filter_test_owner";
    caller_names.insert(caller);
    ls_lock_owner owner = ctrl_owner(caller, 3);
    owner.owner_id = 0x3000;
    test_locks.push_back({owner, make_range(0x9999, 4096, 1280, LS_LOCK_READ, LS_FLAVOUR_WINDOWS)});
    owner.owner_id = 0x3001;
    test_locks.push_back({owner, make_range(0x9999, 8192, 1280, LS_LOCK_READ, LS_FLAVOUR_WINDOWS)});
    acquireLocks();

    // Locks of the same owner on other files, which the filter must leave out.
    const uint64_t other_fh[3] = {0xAAAA, 0xBBBB, 0xCCCC};
    const uint64_t other_start[3] = {8192, 12288, 16384};
    for (int k = 0; k < 3; ++k) {
        owner.owner_id = 0x300A + uint64_t(k);
        ls_brlock_range r = make_range(other_fh[k], other_start[k], 1280, LS_LOCK_READ, LS_FLAVOUR_WINDOWS);
        ret = ls_brlock_take(client, fs_id, &owner, &r, 0, nullptr, &stat);
        ASSERT_EQ(0, ret);
        ASSERT_EQ(ls_granted, stat);
    }

    ls_ctrl_search_filter filter = {0, 0};
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, 10, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate search without filter";
    ASSERT_TRUE(search_completed) << "Search without filter should complete";
    ASSERT_EQ(0, search_error) << "Search without filter should not fail";
    ASSERT_EQ(5u, search_result.returned_count) << "Search without filter should return all 5 locks";
    ls_client_search_result_free(&search_result);

    filter.flags = LS_CTRL_FILTER_FH;
    filter.fh = 0x9999;
    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, 10, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate search with file_id filter";
    ASSERT_TRUE(search_completed) << "Search with file_id filter should complete";
    ASSERT_EQ(0, search_error) << "Search with file_id filter should not fail";
    ASSERT_EQ(2u, search_result.returned_count)
        << "Search with file_id filter should return only 2 locks for target file_id";
    for (const TestLock& test_lock : test_locks)
        ASSERT_TRUE(findLockInSearchResults(test_lock.owner_info, test_lock.lock_info))
            << "Target lock not found in filtered results: file_id=" << test_lock.lock_info.fh
            << ", start=" << test_lock.lock_info.start;
}

TEST_F(TARNLSCtrlAPITest, WindowsBrlockSearchWithPagination) {
    int ret = 0;
    const char* caller = "pagination_test_owner";
    caller_names.insert(caller);
    const int32_t total_locks = 7;
    const uint32_t batch_size = 3;
    ls_lock_owner owner = ctrl_owner(caller, 4);
    for (int n = 0; n < total_locks; ++n) {
        owner.owner_id = 0x4000 + uint64_t(n);
        test_locks.push_back(
            {owner, make_range(0xDDDD, 4096 + 512 * uint64_t(n), 256, LS_LOCK_READ, LS_FLAVOUR_WINDOWS)});
    }
    acquireLocks();

    // Copies of every listed entry; their caller names are our own
    // duplicates, released when the test ends however it ends.
    struct FoundLocks : std::vector<ls_ctrl_win_lock_info> {
        ~FoundLocks() {
            for (ls_ctrl_win_lock_info& e : *this) __kiv_free(const_cast<char*>(e.owner_info.caller));
        }
    } all_found_locks;
    ls_ctrl_cookie cookie = {0, nullptr};
    auto keep_entries = [&]() {
        for (uint32_t i = 0; i < search_result.returned_count; ++i) {
            ls_ctrl_win_lock_info copy = search_result.locks[i];
            if (copy.owner_info.caller)
                copy.owner_info.caller = __kiv_strdup("ls-test", KIV_POS, KIV_MEM_NOFAIL, copy.owner_info.caller);
            all_found_locks.push_back(copy);
        }
    };
    // Keeps the page's entries, takes its cookie over and frees the page.
    auto collect_page = [&]() {
        keep_entries();
        cookie = search_result.cookie;
        search_result.cookie = {0, nullptr};
        ls_client_search_result_free(&search_result);
    };
    ls_ctrl_search_filter filter = {0, 0};

    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, batch_size, nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate first search";
    ASSERT_TRUE(search_completed) << "First search should complete";
    ASSERT_EQ(0, search_error) << "First search should not fail";
    ASSERT_EQ(batch_size, search_result.returned_count) << "First search should return " << batch_size << " locks";
    ASSERT_NE(0u, search_result.has_more) << "First search should indicate more results available";
    ASSERT_NE(nullptr, search_result.cookie.data) << "First search should return a cookie";
    ASSERT_GT(search_result.cookie.size, 0u) << "Cookie should have non-zero size";
    collect_page();

    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, batch_size, &cookie, search_callback);
    // The search copied the cookie into its request.
    __kiv_free(cookie.data);
    cookie = {0, nullptr};
    ASSERT_EQ(0, ret) << "Failed to initiate second search with cookie";
    ASSERT_TRUE(search_completed) << "Second search should complete";
    ASSERT_EQ(0, search_error) << "Second search should not fail";
    ASSERT_EQ(batch_size, search_result.returned_count) << "Second search should return " << batch_size << " locks";
    ASSERT_NE(0u, search_result.has_more) << "Second search should indicate more results available";
    collect_page();

    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, batch_size, &cookie, search_callback);
    __kiv_free(cookie.data);
    cookie = {0, nullptr};
    ASSERT_EQ(0, ret) << "Failed to initiate third search with cookie";
    ASSERT_TRUE(search_completed) << "Third search should complete";
    ASSERT_EQ(0, search_error) << "Third search should not fail";
    ASSERT_EQ(1u, search_result.returned_count) << "Third search should return 1 remaining lock";
    ASSERT_EQ(0u, search_result.has_more) << "Third search should indicate no more results";
    // The last page's entries are copied but the page itself stays for the
    // tear-down, which frees it (and any cookie it carries).
    keep_entries();

    ASSERT_EQ(size_t(total_locks), all_found_locks.size())
        << "Should find all " << total_locks << " locks across paginated searches";
    for (const TestLock& test_lock : test_locks) {
        int match_count = 0;
        for (const ls_ctrl_win_lock_info& e : all_found_locks)
            if (same_lock(e, test_lock.owner_info, test_lock.lock_info)) ++match_count;
        ASSERT_EQ(1, match_count) << "Lock should appear exactly once in paginated results: file_id="
                                  << test_lock.lock_info.fh << ", start=" << test_lock.lock_info.start
                                  << ", owner_id=" << test_lock.owner_info.owner_id;
    }
    // A page that the last lock fills exactly ends the listing as well.
    ls_client_search_result_free(&search_result);
    search_completed = false;
    ret = ls_ctrl_search_win_brlocks(client, fs_id, &filter, uint32_t(total_locks), nullptr, search_callback);
    ASSERT_EQ(0, ret) << "Failed to initiate search of all locks in one page";
    ASSERT_TRUE(search_completed) << "Search of all locks in one page should complete";
    ASSERT_EQ(0, search_error) << "Search of all locks in one page should not fail";
    ASSERT_EQ(uint32_t(total_locks), search_result.returned_count)
        << "One page of " << total_locks << " should return all " << total_locks << " locks";
    ASSERT_EQ(0u, search_result.has_more) << "A page that ends with the last lock should indicate no more results";
}
