// Basic services: hash maps, addresses, CRC, memory and reports.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "kiv/auth.h"
#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/map.h"

// ---------------------------------------------------------------- maps

class HashMapTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kiv_hash_map_init(&map_, 2, 16, KIV_HASH_MAP_COPY_VALUES), 0); }
    void TearDown() override { kiv_hash_map_fini(&map_); }

    int put(uint64_t key, uint64_t a) {
        uint64_t v[2] = {a, ~a};
        return kiv_hash_map_set(&map_, key, v);
    }
    // Checks both words, so a value copied short or from the wrong slot shows.
    bool holds(uint64_t key, uint64_t a) {
        auto* v = static_cast<uint64_t*>(kiv_hash_map_get(&map_, key));
        return v && v[0] == a && v[1] == ~a;
    }

    kiv_hash_map map_;
};

TEST_F(HashMapTest, set_reports_new_then_replaced) {
    EXPECT_EQ(put(7, 1), 1);
    EXPECT_EQ(put(7, 2), 0);
    EXPECT_TRUE(holds(7, 2));
    EXPECT_EQ(kiv_hash_map_get(&map_, 8), nullptr);
    EXPECT_EQ(kiv_hash_map_del(&map_, 7), 0);
    EXPECT_EQ(kiv_hash_map_del(&map_, 7), -ENOENT);
    EXPECT_EQ(kiv_hash_map_get(&map_, 7), nullptr);
    EXPECT_EQ(put(7, 3), 1);
    EXPECT_TRUE(holds(7, 3));
}

TEST_F(HashMapTest, value_is_copied) {
    uint64_t v[2] = {10, 20};
    ASSERT_EQ(kiv_hash_map_set(&map_, 1, v), 1);
    v[0] = v[1] = 0;
    auto* stored = static_cast<uint64_t*>(kiv_hash_map_get(&map_, 1));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored[0], 10u);
    EXPECT_EQ(stored[1], 20u);
}

TEST_F(HashMapTest, delete_while_iterating_visits_each_key_once) {
    const uint64_t n = 1000;
    for (uint64_t k = 0; k < n; k++) ASSERT_EQ(put(k * 0x10001, k), 1);
    std::set<uint64_t> seen;
    for (kiv_hash_map_entry* e = kiv_hash_map_next(&map_, nullptr); e; e = kiv_hash_map_next(&map_, e)) {
        uint64_t k = e->key / 0x10001;
        ASSERT_EQ(static_cast<uint64_t*>(e->value)[0], k);
        ASSERT_TRUE(seen.insert(e->key).second) << "visited twice: " << e->key;
        // Delete the returned entry for even keys, and an odd key ahead for
        // some, so deletions both at and past the cursor are crossed.
        if (k % 2 == 0) {
            ASSERT_EQ(kiv_hash_map_del(&map_, e->key), 0);
        }
        if (k % 10 == 0 && k + 1 < n) kiv_hash_map_del(&map_, (k + 1) * 0x10001);
    }
    for (uint64_t k = 0; k < n; k++) {
        bool deleted_ahead = k % 2 == 1 && (k - 1) % 10 == 0 && !seen.count(k * 0x10001);
        if (!deleted_ahead) {
            EXPECT_TRUE(seen.count(k * 0x10001)) << k;
        }
        EXPECT_EQ(holds(k * 0x10001, k), k % 2 == 1 && (k - 1) % 10 != 0) << k;
    }
    EXPECT_EQ(map_.used, 400u);
}

TEST_F(HashMapTest, grows_and_keeps_every_value) {
    const uint64_t n = 100000;
    for (uint64_t k = 1; k <= n; k++) ASSERT_EQ(put(k << 20, k), 1);
    for (uint64_t k = 1; k <= n; k++) ASSERT_TRUE(holds(k << 20, k)) << k;
    size_t count = 0;
    for (kiv_hash_map_entry* e = kiv_hash_map_next(&map_, nullptr); e; e = kiv_hash_map_next(&map_, e)) count++;
    EXPECT_EQ(count, n);
}

TEST_F(HashMapTest, churn_does_not_fill_the_table_with_tombstones) {
    // Insert and delete ever new keys: without tombstone purging every probe
    // would end up looping over a table with no empty slot.
    for (uint64_t k = 0; k < 200000; k++) {
        ASSERT_EQ(put(k, k), 1);
        if (k >= 5) {
            ASSERT_EQ(kiv_hash_map_del(&map_, k - 5), 0);
        }
    }
    EXPECT_EQ(map_.used, 5u);
    EXPECT_LE(map_.capacity, 64u);
    for (uint64_t k = 200000 - 5; k < 200000; k++) EXPECT_TRUE(holds(k, k));
}

TEST(HashMapInit, zero_filled_map_is_empty_and_copy_flag_is_required) {
    kiv_hash_map m;
    memset(&m, 0, sizeof(m));
    EXPECT_EQ(kiv_hash_map_get(&m, 1), nullptr);
    EXPECT_EQ(kiv_hash_map_del(&m, 1), -ENOENT);
    EXPECT_EQ(kiv_hash_map_next(&m, nullptr), nullptr);
    kiv_hash_map_fini(&m);
    EXPECT_EQ(kiv_hash_map_init(&m, 1, 4, 0), -EINVAL);
}

TEST(HashMapSimple, stores_pointers) {
    kiv_hash_map_simple m;
    ASSERT_EQ(kiv_hash_map_simple_init(&m, 4), 0);
    std::vector<int> objs(100);
    for (size_t i = 0; i < objs.size(); i++) {
        void* p = &objs[i];
        ASSERT_EQ(kiv_hash_map_simple_set(&m, i, &p), 1);
    }
    void* other = &objs[0];
    EXPECT_EQ(kiv_hash_map_simple_set(&m, 5, &other), 0);
    void** slot = kiv_hash_map_simple_get(&m, 5);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, &objs[0]);
    EXPECT_EQ(kiv_hash_map_simple_get(&m, 100), nullptr);

    size_t count = 0;
    for (kiv_hash_map_entry* e = kiv_hash_map_simple_next(&m, nullptr); e; e = kiv_hash_map_simple_next(&m, e)) {
        EXPECT_EQ(e->value, e->key == 5 ? &objs[0] : &objs[e->key]);
        ASSERT_EQ(kiv_hash_map_simple_del(&m, e->key), 0);
        count++;
    }
    EXPECT_EQ(count, objs.size());
    EXPECT_EQ(kiv_hash_map_simple_next(&m, nullptr), nullptr);
    kiv_hash_map_simple_fini(&m);

    // A zero-filled simple map works without init.
    memset(&m, 0, sizeof(m));
    void* p = &objs[3];
    EXPECT_EQ(kiv_hash_map_simple_set(&m, 42, &p), 1);
    ASSERT_NE(kiv_hash_map_simple_get(&m, 42), nullptr);
    EXPECT_EQ(*kiv_hash_map_simple_get(&m, 42), &objs[3]);
    kiv_hash_map_simple_fini(&m);
}

// ---------------------------------------------------------------- addresses

class NetaddrTest : public ::testing::Test {
  protected:
    std::string format(const kiv_netaddr& a) {
        char buf[64];
        int n = kiv_format_netaddr(buf, sizeof(buf), &a);
        EXPECT_EQ(n, int(strlen(buf)));
        return buf;
    }
    // Parses and checks that every byte the address does not use is zero.
    kiv_netaddr parse_ok(const char* host, const char* port = nullptr) {
        kiv_netaddr a;
        memset(&a, 0xAA, sizeof(a));
        EXPECT_EQ(kiv_parse_netaddr_port(host, port, &a), 0) << host;
        EXPECT_EQ(a.pad, 0);
        size_t used = a.kind == KIV_AF_INET ? 4 : 16;
        for (size_t i = used; i < sizeof(a.addr); i++) EXPECT_EQ(a.addr[i], 0) << host;
        return a;
    }
    void expect_bad(const char* host, const char* port = nullptr) {
        kiv_netaddr a;
        memset(&a, 0xAA, sizeof(a));
        EXPECT_EQ(kiv_parse_netaddr_port(host, port, &a), -EINVAL) << host << " / " << (port ? port : "NULL");
        static const kiv_netaddr zero{};
        EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0) << host;
    }
};

TEST_F(NetaddrTest, ipv4_with_port_in_text_or_argument) {
    kiv_netaddr a = parse_ok("1.2.3.4:80", "0");
    EXPECT_EQ(a.kind, KIV_AF_INET);
    EXPECT_EQ(a.port, 80);
    const uint8_t ip[4] = {1, 2, 3, 4};
    EXPECT_EQ(memcmp(a.addr, ip, 4), 0);
    EXPECT_EQ(format(a), "1.2.3.4:80");

    EXPECT_EQ(parse_ok("10.0.0.1", "6789").port, 6789);
    EXPECT_EQ(parse_ok("10.0.0.1", nullptr).port, 0);
    EXPECT_EQ(parse_ok("10.0.0.1", "").port, 0);
    EXPECT_EQ(parse_ok("10.0.0.1:0", "99").port, 0);
    kiv_netaddr b;
    EXPECT_EQ(kiv_parse_netaddr("255.255.255.255:65535", &b), 0);
    EXPECT_EQ(format(b), "255.255.255.255:65535");
}

TEST_F(NetaddrTest, ipv6_with_and_without_brackets) {
    kiv_netaddr a = parse_ok("[::1]:6800");
    EXPECT_EQ(a.kind, KIV_AF_INET6);
    EXPECT_EQ(a.port, 6800);
    EXPECT_EQ(a.addr[15], 1);
    EXPECT_EQ(format(a), "[::1]:6800");

    kiv_netaddr bare = parse_ok("fe80::1:2", "7");
    EXPECT_EQ(bare.kind, KIV_AF_INET6);
    EXPECT_EQ(bare.port, 7);
    EXPECT_EQ(format(bare), "[fe80::1:2]:7");
    EXPECT_EQ(parse_ok("[fe80::1:2]", "9").port, 9);

    const char* longest = "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535";
    kiv_netaddr m = parse_ok(longest);
    EXPECT_EQ(format(m), longest);
    EXPECT_EQ(strlen(longest), 47u);
}

TEST_F(NetaddrTest, rejects_bad_text_and_zero_fills) {
    expect_bad("1.2.3.4", "65536");
    expect_bad("1.2.3.4", "x");
    expect_bad("1.2.3.4", "-1");
    expect_bad("1.2.3.4", " 80");
    expect_bad("1.2.3.4:65536");
    expect_bad("1.2.3.4:");
    expect_bad("1.2.3.4:8x");
    expect_bad("1.2.3");
    expect_bad("localhost:80");
    expect_bad("[::1");
    expect_bad("[::1]x");
    expect_bad("[::1]:");
    expect_bad("[1.2.3.4]:80");
    expect_bad("::1::2");
    expect_bad("");
    expect_bad(nullptr);
}

TEST_F(NetaddrTest, format_returns_untruncated_length) {
    kiv_netaddr a = parse_ok("1.2.3.4:80");
    char buf[4];
    memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(kiv_format_netaddr_port(buf, sizeof(buf), &a), 10);
    EXPECT_STREQ(buf, "1.2");

    kiv_netaddr none{};
    char out[8] = "junk";
    EXPECT_EQ(kiv_format_netaddr(out, sizeof(out), &none), -EINVAL);
    EXPECT_STREQ(out, "");
}

TEST_F(NetaddrTest, compare_orders_kind_then_port_then_bytes) {
    kiv_netaddr a = parse_ok("9.9.9.9:1"), b = parse_ok("1.1.1.1:2"), c = parse_ok("[::1]:1");
    kiv_netaddr a2 = parse_ok("9.9.9.9", "1"), d = parse_ok("9.9.9.8:1");
    EXPECT_EQ(kiv_netaddr_cmp(&a, &a2), 0);
    EXPECT_LT(kiv_netaddr_cmp(&a, &b), 0);  // port before bytes
    EXPECT_GT(kiv_netaddr_cmp(&b, &a), 0);
    EXPECT_LT(kiv_netaddr_cmp(&b, &c), 0);  // kind first
    EXPECT_GT(kiv_netaddr_cmp(&a, &d), 0);
}

// ---------------------------------------------------------------- CRC, clocks, error texts

namespace {
uint32_t bitwise_crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}
}  // namespace

TEST(Crc32, check_values) {
    EXPECT_EQ(kiv_crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(kiv_crc32("", 0), 0u);
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(kiv_crc32(fox, strlen(fox)), 0x414FA339u);
}

TEST(Crc32, matches_bitwise_form_for_all_lengths_and_alignments) {
    std::vector<uint8_t> data(300);
    uint32_t x = 12345;
    for (auto& b : data) b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    for (size_t off = 0; off < 8; off++)
        for (size_t n = 0; n + off <= 80; n++)
            ASSERT_EQ(kiv_crc32(data.data() + off, n), bitwise_crc32(data.data() + off, n)) << off << "+" << n;
    EXPECT_EQ(kiv_crc32(data.data(), data.size()), bitwise_crc32(data.data(), data.size()));
}

TEST(Clocks, monotonic_and_real_time) {
    uint64_t a = get_abs_time_us();
    usleep(2000);
    uint64_t b = get_abs_time_us();
    EXPECT_GE(b - a, 2000u);
    EXPECT_GT(get_real_time_us(), 1600000000ull * 1000000ull);
    EXPECT_EQ(kiv_check_build_version("any"), 0);
}

TEST(ErrorText, masks_peer_bit) {
    EXPECT_STREQ(kiv_strerror(KIV_E_CONNLOST), "Connection lost");
    EXPECT_STREQ(kiv_strerror(KIV_E_PEER | KIV_E_ABANDONED), "Request abandoned");
    EXPECT_STREQ(kiv_strerror(KIV_E_PEER | KIV_E_VERSION), "Version mismatch");
    EXPECT_STREQ(kiv_strerror(1), "Unknown runtime error");
    EXPECT_STREQ(kiv_strerror(0), "Unknown runtime error");
}

// ---------------------------------------------------------------- memory and auth

TEST(Memory, injected_failure_without_nofail_returns_null) {
    kiv_mem_inject_failures(2);
    EXPECT_EQ(__kiv_malloc("t", KIV_POS, 0, 16), nullptr);
    EXPECT_EQ(__kiv_strdup("t", KIV_POS, 0, "abc"), nullptr);
    char* s = __kiv_asprintf("t", KIV_POS, 0, "%d-%s", 42, "x");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "42-x");
    __kiv_free(s);

    auto* z = static_cast<uint8_t*>(__kiv_zmalloc("t", KIV_POS, KIV_MEM_NOFAIL, 64));
    for (int i = 0; i < 64; i++) ASSERT_EQ(z[i], 0);
    z = static_cast<uint8_t*>(__kiv_realloc("t", KIV_POS, KIV_MEM_NOFAIL, z, 128));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z[63], 0);
    __kiv_free(z);
    char* d = __kiv_strndup("t", KIV_POS, 0, "abcdef", 3);
    EXPECT_STREQ(d, "abc");
    __kiv_free(d);
    __kiv_free(nullptr);
}

TEST(Auth, domain_keeps_a_copy_of_its_name) {
    kiv_auth_domain* d = kiv_auth_create_domain();
    ASSERT_NE(d, nullptr);
    std::string name = "cluster_name";
    EXPECT_EQ(kiv_auth_init_domain(d, name.c_str(), 1, 2), 0);
    name = "changed";
    EXPECT_STREQ(kiv_auth_domain_name(d), "cluster_name");
    EXPECT_EQ(kiv_auth_init_domain(d, "prod", 0, 0), 0);
    EXPECT_STREQ(kiv_auth_domain_name(d), "prod");
    kiv_auth_destroy_domain(d);
}

// ---------------------------------------------------------------- reports

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        kiv_log_set_hook(&LogTest::capture, this);
    }
    void TearDown() override {
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
    }
    static void capture(int level, const char* line, void* arg) {
        auto* self = static_cast<LogTest*>(arg);
        self->levels_.push_back(level);
        self->lines_.emplace_back(line);
    }

    int saved_level_ = 0;
    std::vector<int> levels_;
    std::vector<std::string> lines_;
};

// Event-loop threads read the level on every report while -v and tests
// change it from another thread: it must be an atomic that never takes a
// lock, still read and written like an int.
static_assert(std::is_same_v<decltype(__kiv_log_level), std::atomic<int>>);
static_assert(std::atomic<int>::is_always_lock_free);

TEST_F(LogTest, level_changes_while_a_loop_thread_logs) {
    kiv_log_set_hook(nullptr, nullptr);  // this test counts on its own
    struct Count {
        std::atomic<int> lines{0};
        static void hook(int, const char*, void* arg) { static_cast<Count*>(arg)->lines++; }
    } count;
    kiv_log_set_hook(&Count::hook, &count);
    kiv_process p{};
    ASSERT_EQ(kiv_process_init_(&p), 0);
    ASSERT_EQ(kiv_process_start(&p, "log-loop"), 0);
    __kiv_log_level = 3;
    std::atomic<bool> stop{false};
    std::thread raiser([&] {
        while (!stop) {
            __kiv_log_level = 6;
            __kiv_log_level = 3;
        }
    });
    for (int i = 0; i < 2000; i++)
        kiv_call_in_job(&p, [](void*) -> int { kiv_log(5, "maybe"); return 0; }, nullptr);
    stop = true;
    raiser.join();
    __kiv_log_level = 3;
    const int seen = count.lines.load();
    ASSERT_EQ(kiv_call_in_job(&p, [](void*) -> int { kiv_log(5, "hidden"); return 0; }, nullptr), 0);
    EXPECT_EQ(count.lines.load(), seen);
    __kiv_log_level++;
    __kiv_log_level++;
    ASSERT_EQ(kiv_call_in_job(&p, [](void*) -> int { kiv_log(5, "shown"); return 0; }, nullptr), 0);
    EXPECT_EQ(count.lines.load(), seen + 1);
    kiv_process_terminate(&p);
    kiv_process_wait(&p);
    kiv_process_fini(&p);
    kiv_log_set_hook(nullptr, nullptr);
}

TEST_F(LogTest, level_filters_and_hook_captures) {
    __kiv_log_level = 3;
    kiv_log(4, "hidden %d", 1);
    kiv_log(3, "shown %d", 2);
    kiv_trace(1, "my_func", "traced %s", "x");
    __kiv_log_level = 7;
    kiv_log(7, "verbose");
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(levels_, (std::vector<int>{3, 1, 7}));
    // "<s.us> <level> <thread>: <text>"
    EXPECT_TRUE(::testing::internal::RE::FullMatch(lines_[0], "[0-9]+\\.[0-9]{6} 3 [^ ]+: shown 2")) << lines_[0];
    EXPECT_TRUE(::testing::internal::RE::FullMatch(lines_[1], ".* 1 [^ ]+: my_func: traced x")) << lines_[1];
}

TEST_F(LogTest, long_line_is_cut_with_ellipsis) {
    std::string big(20000, 'q');
    kiv_log(0, "%s", big.c_str());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].size(), 8191u);  // 8 KiB with the newline
    EXPECT_EQ(lines_[0].substr(lines_[0].size() - 4), "q...");
}

TEST_F(LogTest, without_hook_lines_go_to_stderr_only) {
    kiv_log_set_hook(nullptr, nullptr);
    char path[] = "/tmp/kiv_log_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    fflush(stdout);
    int saved_err = dup(2), saved_out = dup(1);
    int out_pipe[2];
    ASSERT_EQ(pipe2(out_pipe, O_NONBLOCK), 0);
    dup2(fd, 2);
    dup2(out_pipe[1], 1);
    kiv_log(0, "to stderr %d", 5);
    kiv_log_terminate();
    dup2(saved_err, 2);
    dup2(saved_out, 1);
    close(saved_err);
    close(saved_out);
    char buf[256] = {0};
    ASSERT_GT(pread(fd, buf, sizeof(buf) - 1, 0), 0);
    EXPECT_NE(strstr(buf, " 0 "), nullptr) << buf;
    EXPECT_NE(strstr(buf, ": to stderr 5\n"), nullptr) << buf;
    char junk[16];
    EXPECT_EQ(read(out_pipe[0], junk, sizeof(junk)), -1);  // nothing on stdout
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(fd);
}

class ReportDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ReportDeathTest, nofail_allocation_failure_is_fatal) {
    EXPECT_EXIT(
        {
            kiv_mem_inject_failures(1);
            __kiv_malloc("conn_buf", "conn.cpp:12", KIV_MEM_NOFAIL, 4096);
        },
        ::testing::ExitedWithCode(1), "FATAL: allocation failed: conn_buf at conn.cpp:12 \\(4096 bytes\\)");
    EXPECT_EXIT(
        {
            kiv_mem_inject_failures(1);
            __kiv_zmalloc("z", "a.cpp:1", KIV_MEM_NOFAIL, 8);
        },
        ::testing::ExitedWithCode(1), "FATAL: allocation failed: z at a.cpp:1");
}

TEST_F(ReportDeathTest, fatal_prints_text_and_exits_1_without_atexit) {
    EXPECT_EXIT(
        {
            atexit([] { fprintf(stderr, "atexit handler ran\n"); });
            __kiv_log_level = -1;  // fatal text shows whatever the level
            kiv_fatal("Cluster name (-c) must be specified.");
        },
        ::testing::ExitedWithCode(1), "^FATAL: Cluster name \\(-c\\) must be specified\\.\n$");
    EXPECT_EXIT(kiv_err("bad state", "x.cpp", 9, "f"), ::testing::ExitedWithCode(1), "FATAL: .*x.cpp:9.*bad state");
}

namespace {
const int kBugLine = __LINE__ + 1;
void check_sum(int a, int b) { KIV_BUG_ON(a + b == 4); }
}  // namespace

TEST_F(ReportDeathTest, bug_names_file_and_line) {
    check_sum(1, 2);  // holds: no report
    EXPECT_DEATH(check_sum(2, 2), "BUG: .*test_basics.cpp:" + std::to_string(kBugLine) + ": check_sum: invariant violated");
    EXPECT_DEATH(kiv_bug("y.cpp", 3, "g"), "BUG: y.cpp:3: g: invariant violated");
}
