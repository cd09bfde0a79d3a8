// Registry message codec: the request layout, and replies from a peer that
// cannot be trusted. Messages are allocated with exactly the bytes they
// hold, so the sanitizer build catches any read past them.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "discovery/kvstore_msg.h"
#include "kiv/mds.h"
#include "kiv/rpc.h"

namespace {

struct Item {
    std::string key;
    std::string value;
    uint64_t version = 0;
    uint32_t flags = 0;
};

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) { memcpy(&b[off], &v, 4); }
void put64(std::vector<uint8_t>& b, size_t off, uint64_t v) { memcpy(&b[off], &v, 8); }
uint32_t get32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
uint64_t get64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// Bytes of a well-formed reply; tests then break what they need.
std::vector<uint8_t> reply_bytes(const std::vector<Item>& items, uint64_t generation = 7, uint32_t flags = 0) {
    std::vector<uint8_t> b(KVSTORE_HDR_SIZE, 0);
    put32(b, 4, KVSTORE_REPLY_TYPE);
    put32(b, KVSTORE_OFF_FLAGS, flags);
    put64(b, KVSTORE_OFF_GENERATION, generation);
    for (const Item& it : items) {
        size_t off = b.size();
        b.resize(off + KVSTORE_ITEM_HDR_SIZE + it.key.size() + it.value.size(), 0);
        put64(b, off + KVSTORE_ITEM_OFF_VERSION, it.version);
        put32(b, off + KVSTORE_ITEM_OFF_FLAGS, it.flags);
        put32(b, off + KVSTORE_ITEM_OFF_SIZE, static_cast<uint32_t>(KVSTORE_ITEM_HDR_SIZE + it.key.size() + it.value.size()));
        put32(b, off + KVSTORE_ITEM_OFF_KEY_LEN, static_cast<uint32_t>(it.key.size()));
        put32(b, off + KVSTORE_ITEM_OFF_KEY_SIZE, static_cast<uint32_t>(it.key.size()));
        put32(b, off + KVSTORE_ITEM_OFF_VALUE_LEN, static_cast<uint32_t>(it.value.size()));
        memcpy(&b[off + KVSTORE_ITEM_HDR_SIZE], it.key.data(), it.key.size());
        memcpy(&b[off + KVSTORE_ITEM_HDR_SIZE + it.key.size()], it.value.data(), it.value.size());
    }
    put32(b, KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(b.size() - KVSTORE_HDR_SIZE));
    put32(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

size_t item_off(const std::vector<uint8_t>& b, int index) {
    size_t off = KVSTORE_HDR_SIZE;
    for (int i = 0; i < index; ++i) off += get32(&b[off + KVSTORE_ITEM_OFF_SIZE]);
    return off;
}

class KvstoreMsgTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (kiv_msg* m : msgs_) kiv_free_msg(m);
    }

    // A message holding exactly `b` (the length word is left as the test set it).
    kiv_msg* make_msg(const std::vector<uint8_t>& b) {
        kiv_msg* m = kiv_rpc_alloc_output_msg(static_cast<uint32_t>(b.size()));
        EXPECT_NE(nullptr, m);
        if (m && !b.empty()) memcpy(m->buf, b.data(), b.size());
        msgs_.push_back(m);
        return m;
    }

    std::vector<std::string> keys_of(const kiv_msg* m) {
        std::vector<std::string> keys;
        for (const kvstore_item* it = kvstore_msg_get_first_item(m); it; it = kvstore_msg_get_next_item(m, it)) {
            keys.emplace_back(reinterpret_cast<const char*>(kvstore_msg_get_key(it)), kvstore_item_key_len(it));
            if (keys.size() > 100000) break;  // a loop would otherwise hang the test
        }
        return keys;
    }

    std::vector<kiv_msg*> msgs_;
    uint64_t checksum_ = 0;  // keeps the byte reads of the corruption test alive
};

TEST_F(KvstoreMsgTest, RequestLayout) {
    const char key[] = "/discov/services/tarn/mds/a";
    const char value[] = "{\"x\":1}";
    const uint32_t klen = sizeof(key) - 1, vlen = sizeof(value) - 1;
    kiv_msg* m = kvstore_msg_alloc(nullptr, KV_OP_PUT, 0x1122334455667788ull, 40, KV_FLAG_CMP_VERSION, key, klen,
                                   value, vlen);
    ASSERT_NE(nullptr, m);
    msgs_.push_back(m);
    ASSERT_EQ(0xA0 + klen + vlen, m->kept_len);
    const uint8_t* b = m->buf;
    EXPECT_EQ(m->kept_len, get32(b));
    EXPECT_EQ(uint32_t{KVSTORE_MSG_TYPE}, get32(b + 4));
    for (uint32_t i = 0x18; i < 0x30; ++i) EXPECT_EQ(0, b[i]) << i;
    EXPECT_EQ(uint32_t{KV_OP_PUT}, get32(b + 0x30));
    EXPECT_EQ(uint32_t{KV_FLAG_CMP_VERSION}, get32(b + 0x34));
    EXPECT_EQ(0u, get64(b + 0x38));
    for (uint32_t i = 0x40; i < 0x60; ++i) EXPECT_EQ(0, b[i]) << i;
    EXPECT_EQ(0x100000u, get32(b + 0x60));
    EXPECT_EQ(56 + klen + vlen, get32(b + 0x64));
    const uint8_t* it = b + 0x68;
    EXPECT_EQ(0x1122334455667788ull, get64(it));
    EXPECT_EQ(40u, get64(it + 8));
    EXPECT_EQ(0u, get32(it + 0x20));
    EXPECT_EQ(56 + klen + vlen, get32(it + 0x24));
    EXPECT_EQ(klen, get32(it + 0x28));
    EXPECT_EQ(klen, get32(it + 0x2C));
    EXPECT_EQ(vlen, get32(it + 0x30));
    EXPECT_EQ(0, memcmp(it + 0x38, key, klen));
    EXPECT_EQ(0, memcmp(it + 0x38 + klen, value, vlen));

    // The request parses as a message of one item, as the registry reads it.
    EXPECT_EQ(0, kvstore_msg_check(m));
    EXPECT_EQ(1u, kvstore_msg_get_item_count(m));
    EXPECT_EQ(uint32_t{KV_OP_PUT}, kvstore_msg_op(m));

    kvstore_msg_set_generation(m, 99);
    EXPECT_EQ(99u, get64(b + 0x38));
    EXPECT_EQ(99u, kvstore_msg_generation(m));
}

TEST_F(KvstoreMsgTest, RequestWithoutValue) {
    const char key[] = "/discov/services/k";
    kiv_msg* m = kvstore_msg_alloc(nullptr, KV_OP_GET, 0, 0, 0, key, sizeof(key) - 1, nullptr, 0);
    ASSERT_NE(nullptr, m);
    msgs_.push_back(m);
    EXPECT_EQ(0xA0 + sizeof(key) - 1, m->kept_len);
    const kvstore_item* it = kvstore_msg_get_first_item(m);
    ASSERT_NE(nullptr, it);
    EXPECT_EQ(0u, kvstore_item_value_len(it));
    EXPECT_EQ(sizeof(key) - 1, kvstore_item_key_len(it));
}

TEST_F(KvstoreMsgTest, WellFormedReply) {
    std::vector<Item> items = {{"k1", "v1", 3, 0x4}, {"key2", "", 4, 0x1}, {"", "value3", 5, 0}};
    kiv_msg* m = make_msg(reply_bytes(items, 42, KV_FLAG_MORE));
    EXPECT_EQ(0, kvstore_msg_check(m));
    EXPECT_EQ(3u, kvstore_msg_get_item_count(m));
    EXPECT_EQ(42u, kvstore_msg_generation(m));
    EXPECT_EQ(uint32_t{KV_FLAG_MORE}, kvstore_msg_flags(m));
    const kvstore_item* it = kvstore_msg_get_first_item(m);
    for (const Item& want : items) {
        ASSERT_NE(nullptr, it);
        EXPECT_EQ(want.key, std::string(reinterpret_cast<const char*>(kvstore_msg_get_key(it)), kvstore_item_key_len(it)));
        EXPECT_EQ(want.value,
                  std::string(reinterpret_cast<const char*>(kvstore_msg_get_value(it)), kvstore_item_value_len(it)));
        EXPECT_EQ(want.version, kvstore_item_version(it));
        EXPECT_EQ(want.flags, kvstore_item_flags(it));
        it = kvstore_msg_get_next_item(m, it);
    }
    EXPECT_EQ(nullptr, it);
}

TEST_F(KvstoreMsgTest, EmptyReply) {
    kiv_msg* m = make_msg(reply_bytes({}));
    EXPECT_EQ(0, kvstore_msg_check(m));
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m));
    EXPECT_EQ(0u, kvstore_msg_get_item_count(m));
}

TEST_F(KvstoreMsgTest, ReplyShorterThanHeader) {
    for (size_t len : {size_t{24}, size_t{0x1C}, size_t{0x40}, size_t{KVSTORE_HDR_SIZE - 1}}) {
        std::vector<uint8_t> b = reply_bytes({{"k", "v"}});
        b.resize(len);
        put32(b, 0, static_cast<uint32_t>(len));
        kiv_msg* m = make_msg(b);
        EXPECT_EQ(-EPROTO, kvstore_msg_check(m)) << len;
        EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m)) << len;
        EXPECT_EQ(0u, kvstore_msg_get_item_count(m)) << len;
        EXPECT_EQ(0u, kvstore_msg_payload_len(m)) << len;
        if (len < 0x40) {
            EXPECT_EQ(0u, kvstore_msg_generation(m)) << len;
        }
    }
}

TEST_F(KvstoreMsgTest, PayloadLengthBeyondMessage) {
    std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}, {"k2", "v2"}});
    const uint32_t real = get32(&b[KVSTORE_OFF_PAYLOAD_LEN]);
    for (uint32_t declared : {real + 1, real + 56, 0xFFFFFFFFu}) {
        put32(b, KVSTORE_OFF_PAYLOAD_LEN, declared);
        kiv_msg* m = make_msg(b);
        EXPECT_EQ(-EPROTO, kvstore_msg_check(m)) << declared;
        // Iteration stays within the received bytes.
        EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), keys_of(m)) << declared;
    }
}

TEST_F(KvstoreMsgTest, LengthWordBelowBufferBoundsReads) {
    // A frame whose own length word is shorter than what the buffer holds is
    // read only up to that word.
    std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}, {"k2", "v2"}});
    put32(b, 0, static_cast<uint32_t>(item_off(b, 1)));
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
    EXPECT_EQ((std::vector<std::string>{"k1"}), keys_of(m));
}

TEST_F(KvstoreMsgTest, ItemSizeZeroOrBelowHeader) {
    for (uint32_t size : {0u, 1u, 40u, 55u}) {
        std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}, {"k2", "v2"}, {"k3", "v3"}});
        put32(b, item_off(b, 1) + KVSTORE_ITEM_OFF_SIZE, size);
        kiv_msg* m = make_msg(b);
        EXPECT_EQ(-EPROTO, kvstore_msg_check(m)) << size;
        EXPECT_EQ((std::vector<std::string>{"k1"}), keys_of(m)) << size;

        std::vector<uint8_t> first = reply_bytes({{"k1", "v1"}});
        put32(first, item_off(first, 0) + KVSTORE_ITEM_OFF_SIZE, size);
        kiv_msg* m1 = make_msg(first);
        EXPECT_EQ(-EPROTO, kvstore_msg_check(m1)) << size;
        EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m1)) << size;
    }
}

TEST_F(KvstoreMsgTest, ItemSizeBelowKeyAndValue) {
    std::vector<uint8_t> b = reply_bytes({{"key-one", "value-one"}, {"k2", "v2"}});
    const size_t off = item_off(b, 0);
    // Declares 56 + key + value - 1 and moves the second item up to match,
    // so only the undersized item itself is wrong.
    const uint32_t honest = get32(&b[off + KVSTORE_ITEM_OFF_SIZE]);
    put32(b, off + KVSTORE_ITEM_OFF_SIZE, honest - 1);
    b.erase(b.begin() + static_cast<long>(off + honest - 1));
    put32(b, KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(b.size() - KVSTORE_HDR_SIZE));
    put32(b, 0, static_cast<uint32_t>(b.size()));
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m));
    EXPECT_EQ(0u, kvstore_msg_get_item_count(m));
}

TEST_F(KvstoreMsgTest, ItemRunningPastPayload) {
    std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}, {"k2", "v2"}});
    put32(b, item_off(b, 1) + KVSTORE_ITEM_OFF_SIZE, get32(&b[item_off(b, 1) + KVSTORE_ITEM_OFF_SIZE]) + 1);
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
    EXPECT_EQ((std::vector<std::string>{"k1"}), keys_of(m));

    // A payload that ends inside the second item's header.
    std::vector<uint8_t> cut = reply_bytes({{"k1", "v1"}, {"k2", "v2"}});
    put32(cut, KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(item_off(cut, 1) - KVSTORE_HDR_SIZE + 55));
    kiv_msg* mc = make_msg(cut);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(mc));
    EXPECT_EQ((std::vector<std::string>{"k1"}), keys_of(mc));
}

TEST_F(KvstoreMsgTest, PayloadOf55BytesHasNoItems) {
    std::vector<uint8_t> b = reply_bytes({});
    b.resize(KVSTORE_HDR_SIZE + 55, 0);
    put32(b, KVSTORE_OFF_PAYLOAD_LEN, 55);
    put32(b, 0, static_cast<uint32_t>(b.size()));
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m));
    // Bytes that are not a whole item are not a well-formed reply.
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
}

TEST_F(KvstoreMsgTest, KeySizeLargerThanItem) {
    std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}});
    put32(b, item_off(b, 0) + KVSTORE_ITEM_OFF_KEY_SIZE, 1000);
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m));

    std::vector<uint8_t> huge = reply_bytes({{"k1", "v1"}});
    put32(huge, item_off(huge, 0) + KVSTORE_ITEM_OFF_KEY_SIZE, 0xFFFFFFFFu);
    put32(huge, item_off(huge, 0) + KVSTORE_ITEM_OFF_VALUE_LEN, 0xFFFFFFFFu);
    put32(huge, item_off(huge, 0) + KVSTORE_ITEM_OFF_SIZE, 0xFFFFFFFFu);
    kiv_msg* mh = make_msg(huge);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(mh));
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(mh));
}

TEST_F(KvstoreMsgTest, KeyLengthBeyondKeySize) {
    std::vector<uint8_t> b = reply_bytes({{"k1", "v1"}});
    put32(b, item_off(b, 0) + KVSTORE_ITEM_OFF_KEY_LEN, 3);
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(-EPROTO, kvstore_msg_check(m));
    EXPECT_EQ(nullptr, kvstore_msg_get_first_item(m));
}

TEST_F(KvstoreMsgTest, PaddedItemsAreAccepted) {
    // A key size above the key length (padding) and an item size above the
    // sum both stay within the item, so they are readable.
    std::vector<uint8_t> b = reply_bytes({{"k1pad", "v1"}, {"k2", "v2"}});
    const size_t off = item_off(b, 0);
    put32(b, off + KVSTORE_ITEM_OFF_KEY_LEN, 2);
    kiv_msg* m = make_msg(b);
    EXPECT_EQ(0, kvstore_msg_check(m));
    const kvstore_item* it = kvstore_msg_get_first_item(m);
    ASSERT_NE(nullptr, it);
    EXPECT_EQ(0, memcmp(kvstore_msg_get_value(it), "v1", 2));
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), keys_of(m));
}

// Random corruption of header and item fields: whatever the check says, the
// iteration ends, stays inside the message, and a message that passes the
// check is walked to exactly its payload end.
TEST_F(KvstoreMsgTest, CorruptedRepliesNeverLoopOrOverRead) {
    std::mt19937 rng(12345);
    const std::vector<uint8_t> good = reply_bytes({{"/discov/services/a", "{\"x\":1}"}, {"b", "vv"}, {"cc", "v"}});
    const uint32_t interesting[] = {0, 1, 55, 56, 57, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFC8};
    int accepted = 0, rejected = 0;
    for (int round = 0; round < 5000; ++round) {
        std::vector<uint8_t> b = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t word = KVSTORE_OFF_PAYLOAD_LEN + 4 * (rng() % ((b.size() - KVSTORE_OFF_PAYLOAD_LEN) / 4));
            const uint32_t v = (rng() % 2) ? interesting[rng() % 8] : static_cast<uint32_t>(rng() % 200);
            put32(b, word, v);
        }
        if (rng() % 4 == 0) b.resize(b.size() - rng() % 40);
        kiv_msg* m = make_msg(b);
        const int rc = kvstore_msg_check(m);
        uint64_t walked = 0;
        uint32_t n = 0;
        for (const kvstore_item* it = kvstore_msg_get_first_item(m); it; it = kvstore_msg_get_next_item(m, it)) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(it);
            ASSERT_GE(p, m->buf + KVSTORE_HDR_SIZE);
            const uint32_t size = get32(p + KVSTORE_ITEM_OFF_SIZE);
            ASSERT_LE(static_cast<uint64_t>(p - m->buf) + size, m->kept_len);
            ASSERT_LE(kvstore_msg_get_value(it) + kvstore_item_value_len(it), p + size);
            // Touch every byte of key and value.
            uint8_t sink = 0;
            for (uint32_t i = 0; i < kvstore_item_key_len(it); ++i) sink ^= kvstore_msg_get_key(it)[i];
            for (uint32_t i = 0; i < kvstore_item_value_len(it); ++i) sink ^= kvstore_msg_get_value(it)[i];
            checksum_ += sink;
            walked += size;
            ASSERT_LT(++n, 100u);
        }
        if (rc == 0) {
            EXPECT_EQ(walked, kvstore_msg_payload_len(m)) << "round " << round;
            ++accepted;
        } else {
            EXPECT_EQ(-EPROTO, rc);
            ++rejected;
        }
        kiv_free_msg(m);
        msgs_.pop_back();
    }
    // Both outcomes were exercised (edits of unused bytes keep a reply valid).
    EXPECT_GT(accepted, 100);
    EXPECT_GT(rejected, 1000);
}

TEST(KvstoreKeyTest, ValidKeys) {
    for (const char* k : {"a", "a/b", "tarn/mds", "mds-1001", "A.b_c-d@e", "0", "-", ".", "-lead", ".hidden",
                          "x/y/z/1/2/3", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-@."})
        EXPECT_TRUE(kvstore_key_is_valid_key(k)) << k;
}

TEST(KvstoreKeyTest, InvalidKeys) {
    EXPECT_FALSE(kvstore_key_is_valid_key(nullptr));
    for (const char* k : {"", "/", "/a", "a/", "a//b", "a b", " a", "a\tb", "a:b", "a{b", "a*", "a\\b", "\xc3\xa9",
                          "a\x80", "a/\xff"})
        EXPECT_FALSE(kvstore_key_is_valid_key(k)) << k;
}

TEST(KvstoreKeyTest, LastName) {
    const char* name = nullptr;
    size_t len = 0;
    kvstore_key_get_last_name("a/b/c", 5, &name, &len);
    EXPECT_EQ("c", std::string(name, len));
    kvstore_key_get_last_name("abc", 3, &name, &len);
    EXPECT_EQ("abc", std::string(name, len));
    kvstore_key_get_last_name("a/b/c", 3, &name, &len);  // only the given length counts
    EXPECT_EQ("b", std::string(name, len));
    kvstore_key_get_last_name("", 0, &name, &len);
    EXPECT_EQ(0u, len);
    kvstore_key_get_last_name("a/", 2, &name, &len);
    EXPECT_EQ(0u, len);
}

TEST(KvstoreKeyTest, ListingBoundsCoverEveryValidId) {
    const std::string ns = "/discov/services/tarn/mds/";
    const std::string begin = ns + kvstore_key_name_range_begin();
    const std::string end = ns + kvstore_key_name_range_end();
    EXPECT_EQ("{", std::string(kvstore_key_name_range_end()));
    const std::string allowed = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-@.";
    for (char c : allowed) {
        const std::string key = ns + c;
        EXPECT_LE(begin, key) << c;
        EXPECT_LT(key, end) << c;
        EXPECT_NE(begin, key);
    }
    // Deeper ids too ("a/b" under the namespace).
    EXPECT_LT(ns + "z/z", end);
}

}  // namespace
