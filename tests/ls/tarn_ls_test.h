// The lock fixture of kelvane-tarn-test-ls: every test gets its own runtime
// process and a lock client for the cluster and file system named on the
// command line, plus the small builders the lock suites share.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>

#include "kiv/base.h"
#include "ls_client/ls_client.h"
#include "tests/ls/resolver_ready.h"
#include "tests/utils/kiv_process_test_base.h"

// Filled once by the entry point; the strings point into argv.
struct TestArgs {
    char* cluster;
    char* fs_name;
    uint64_t fs_id;  // 0: not given
};
inline TestArgs g_args{};

// A lock call's two checks, expected value first: the call completed, then
// the server answered `expected`. The messages may be streamed chains
// ("Lock #" << i); an empty text adds nothing.
#define LS_ASSERT_CALL(call, expected, ret_msg, stat_msg) \
    do {                                                  \
        ret = (call);                                     \
        ASSERT_EQ(0, ret) << ret_msg;                     \
        ASSERT_EQ(expected, stat) << stat_msg;            \
    } while (0)

class TARNLSTest : public KivProcessTestBase {
public:
    // 10 to 30 characters of [0-9A-Za-z]; every call draws from its own
    // freshly seeded generator.
    static std::string createRandomString() {
        static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        std::random_device rd("default");
        std::mt19937 gen(rd());
        std::uniform_int_distribution<int> length(10, 30);
        std::uniform_int_distribution<int> index(0, 61);
        std::string s;
        int n = length(gen);
        s.reserve(size_t(n));
        for (int i = 0; i < n; ++i) s.push_back(alphabet[index(gen)]);
        return s;
    }

    // A byte-range owner: zeroed, address from host and port text.
    static ls_lock_owner make_owner(const char* caller, const char* host, uint64_t owner_id,
                                    const char* port = "0") {
        ls_lock_owner o;
        memset(&o, 0, sizeof o);
        kiv_parse_netaddr_port(host, port, &o.addr);
        o.caller = caller;
        o.owner_id = owner_id;
        return o;
    }

    static ls_brlock_range make_range(uint64_t fh, uint64_t start, uint64_t len, uint32_t type,
                                      uint32_t flavour) {
        return {.fh = fh, .start = start, .len = len, .type = type, .flavour = flavour};
    }

    // A share-mode owner; the handle bytes stay the caller's.
    static ls_share_owner make_share_owner(const char* host, const char* caller, const void* handle,
                                           uint64_t handle_len) {
        ls_share_owner o;
        memset(&o, 0, sizeof o);
        kiv_parse_netaddr_port(host, "0", &o.addr);
        o.caller = caller;
        o.handle_len = handle_len;
        o.handle_data = handle;
        return o;
    }

    static ls_share_lock make_share(uint64_t fh, uint32_t mode, uint32_t access) {
        return {.fh = fh, .mode = mode, .access = access};
    }

    // Releases what ls_brlock_test handed out and resets both variables.
    static void free_opaque_items(ls_opaque_item*& items, uint32_t& count) {
        if (items) {
            for (uint32_t i = 0; i < count; ++i) __kiv_free(items[i].data);
            __kiv_free(items);
        }
        items = nullptr;
        count = 0;
    }

    // Frees the received items when a failed check leaves the test early.
    struct OpaqueInGuard {
        ls_opaque_item*& items;
        uint32_t& count;
        ~OpaqueInGuard() { free_opaque_items(items, count); }
    };

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(KivProcessTestBase::SetUp());
        if (g_args.fs_id == 0) kiv_fatal("Filesystem ID (-i) must be specified.");
        fs_id = g_args.fs_id;

        ls_client_cfg cfg;
        memset(&cfg, 0, sizeof cfg);
        cfg.cluster = g_args.cluster;
        cfg.direct_host_id = 0;
        cfg.local_id = 12345;
        ASSERT_EQ(0, ls_client_create(&cfg, &process, &client));
        ASSERT_TRUE(tarn_ls_wait_resolved(client, fs_id)) << "the lock client never learned the lock server";
    }

    void TearDown() override {
        // The client's calls run on the process's loop: it goes first.
        if (client) ls_client_destroy(client);
        client = nullptr;
        stop_process();
    }

    ls_client* client = nullptr;
    uint64_t fs_id = 0;
};
