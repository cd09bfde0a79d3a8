// Service records: JSON form, registry items to records, service maps,
// handles and the preconditions of the public calls.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

#include "discovery/data_kv_mapper.h"
#include "discovery/discov.h"
#include "discovery/discov_internal.h"
#include "discovery/json_conv.h"
#include "discovery/kvstore_msg.h"
#include "discovery/svc_map.h"
#include "kiv/base.h"
#include "kiv/rpc.h"

namespace {

struct LogLine {
    int level;
    std::string text;
};

void collect_log(int level, const char* line, void* arg) {
    static_cast<std::vector<LogLine>*>(arg)->push_back({level, line});
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

char* kdup(const char* s) { return __kiv_strdup("test", KIV_POS, KIV_MEM_NOFAIL, s); }

// A record owned by the test, built from literals.
struct Svc {
    discov_svc s;
    Svc(const char* name, uint64_t host_id, std::vector<const char*> tags, const char* addr, uint16_t port) {
        discov_svc_init(&s);
        s.name = kdup(name);
        s.host_id = host_id;
        s.tag_count = static_cast<uint32_t>(tags.size());
        if (!tags.empty()) {
            s.tags = static_cast<char**>(__kiv_zmalloc("test", KIV_POS, KIV_MEM_NOFAIL, tags.size() * sizeof(char*)));
            for (size_t i = 0; i < tags.size(); ++i) s.tags[i] = kdup(tags[i]);
        }
        s.addr = kdup(addr);
        s.port = port;
    }
    ~Svc() { discov_svc_fini(&s); }
};

std::string to_json(const discov_svc* svc) {
    char* text = dsc_convert_svc_to_json_str(svc);
    std::string out(text);
    __kiv_free(text);
    return out;
}

void expect_empty(const discov_svc& s) {
    EXPECT_EQ(nullptr, s.name);
    EXPECT_EQ(nullptr, s.tags);
    EXPECT_EQ(0u, s.tag_count);
    EXPECT_EQ(nullptr, s.addr);
    EXPECT_EQ(0u, s.port);
    EXPECT_EQ(0u, s.host_id);
}

class JsonConvTest : public ::testing::Test {
protected:
    void SetUp() override { kiv_log_set_hook(collect_log, &lines_); }
    void TearDown() override {
        kiv_log_set_hook(nullptr, nullptr);
        discov_svc_fini(&out_);
    }

    int parse(const std::string& text) {
        discov_svc_fini(&out_);
        lines_.clear();
        return dsc_convert_json_str_to_svc(text.data(), text.size(), &out_);
    }

    // A failed parse logs the reason, then the text, both at level 0.
    void expect_failure(const std::string& text, const std::string& reason) {
        SCOPED_TRACE(text);
        EXPECT_EQ(-EINVAL, parse(text));
        expect_empty(out_);
        ASSERT_EQ(2u, lines_.size());
        EXPECT_EQ(0, lines_[0].level);
        EXPECT_TRUE(ends_with(lines_[0].text, reason)) << lines_[0].text;
        EXPECT_EQ(0, lines_[1].level);
        EXPECT_TRUE(ends_with(lines_[1].text, "Cannot parse JSON \"" + text + "\"")) << lines_[1].text;
    }

    discov_svc out_ = {};
    std::vector<LogLine> lines_;
};

TEST_F(JsonConvTest, RecordToJson) {
    Svc svc("mds", 0xa1, {"fsid:1001", "fsname:tarn"}, "127.0.0.1", 5000);
    EXPECT_EQ("{\"name\":\"mds\",\"host_id\":\"00000000000000a1\",\"tags\":[\"fsid:1001\",\"fsname:tarn\"],"
              "\"addr\":\"127.0.0.1\",\"port\":5000}",
              to_json(&svc.s));
}

TEST_F(JsonConvTest, NoTagsRoundTrip) {
    Svc svc("ls", 0x1A, {}, "10.0.0.1", 7);
    const std::string json = to_json(&svc.s);
    EXPECT_NE(std::string::npos, json.find("\"tags\":[]"));
    EXPECT_NE(std::string::npos, json.find("\"host_id\":\"000000000000001a\""));
    ASSERT_EQ(0, parse(json));
    EXPECT_STREQ("ls", out_.name);
    EXPECT_EQ(0x1Au, out_.host_id);
    EXPECT_EQ(0u, out_.tag_count);
    EXPECT_STREQ("10.0.0.1", out_.addr);
    EXPECT_EQ(7u, out_.port);
    EXPECT_TRUE(lines_.empty());
}

TEST_F(JsonConvTest, RoundTripKeepsTagsInOrder) {
    Svc svc("mds", UINT64_MAX, {"a:1", "b:2", "c:/x/y"}, "::1", 65535);
    ASSERT_EQ(0, parse(to_json(&svc.s)));
    EXPECT_EQ(UINT64_MAX, out_.host_id);
    ASSERT_EQ(3u, out_.tag_count);
    EXPECT_STREQ("a:1", out_.tags[0]);
    EXPECT_STREQ("b:2", out_.tags[1]);
    EXPECT_STREQ("c:/x/y", out_.tags[2]);
    EXPECT_EQ(65535u, out_.port);
}

TEST_F(JsonConvTest, HostIdForms) {
    for (const char* hid : {"1a", "0x1a", "000000000000001a", "1A"}) {
        ASSERT_EQ(0, parse(std::string("{\"name\":\"n\",\"host_id\":\"") + hid +
                           "\",\"tags\":[],\"addr\":\"a\",\"port\":1}"))
            << hid;
        EXPECT_EQ(0x1Au, out_.host_id) << hid;
    }
}

// The whole port range is accepted; anything outside it is refused, never
// wrapped onto another port.
TEST_F(JsonConvTest, PortOutsideSixteenBitsIsRefused) {
    const std::string head = "{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":";
    for (uint32_t port : {0u, 1u, 65535u}) {
        ASSERT_EQ(0, parse(head + std::to_string(port) + "}")) << port;
        EXPECT_EQ(port, out_.port);
    }
    for (const char* bad : {"65536", "70000", "-1", "4294967297"}) {
        expect_failure(head + bad + "}", "port must be between 0 and 65535");
    }
}

TEST_F(JsonConvTest, ParsesOnlyTheGivenLength) {
    const std::string json = "{\"name\":\"n\",\"host_id\":\"2\",\"tags\":[\"t\"],\"addr\":\"a\",\"port\":3}";
    const std::string padded = json + "GARBAGE";
    discov_svc_fini(&out_);
    ASSERT_EQ(0, dsc_convert_json_str_to_svc(padded.data(), json.size(), &out_));
    EXPECT_EQ(3u, out_.port);
    // A text cut inside the object is incomplete.
    discov_svc_fini(&out_);
    EXPECT_EQ(-EINVAL, dsc_convert_json_str_to_svc(json.data(), json.size() - 1, &out_));
}

TEST_F(JsonConvTest, KeepsIdVersionAndFlag) {
    discov_svc_fini(&out_);
    out_.id = kdup("keep");
    out_.version = 9;
    out_.flag = true;
    const std::string json = "{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":1}";
    ASSERT_EQ(0, dsc_convert_json_str_to_svc(json.data(), json.size(), &out_));
    EXPECT_STREQ("keep", out_.id);
    EXPECT_EQ(9u, out_.version);
    EXPECT_TRUE(out_.flag);
    discov_svc_fini(&out_);
    out_.id = kdup("keep");
    out_.version = 9;
    EXPECT_EQ(-EINVAL, dsc_convert_json_str_to_svc("{}", 2, &out_));
    EXPECT_STREQ("keep", out_.id);
    EXPECT_EQ(9u, out_.version);
}

TEST_F(JsonConvTest, FailureMessages) {
    expect_failure("{\"name\":", "Cannot parse JSON \"{\"name\":\": unexpected end of data");
    expect_failure("", "Cannot parse JSON \"\": unexpected end of data");
    expect_failure("[1,2]", "JSON must be an object");
    expect_failure("42", "JSON must be an object");
    expect_failure("{\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":1}", "name must be a string");
    expect_failure("{\"name\":5,\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":1}", "name must be a string");
    expect_failure("{\"name\":\"n\",\"tags\":[],\"addr\":\"a\",\"port\":1}", "host_id must be a string");
    expect_failure("{\"name\":\"n\",\"host_id\":26,\"tags\":[],\"addr\":\"a\",\"port\":1}", "host_id must be a string");
    expect_failure("{\"name\":\"n\",\"host_id\":\"zz\",\"tags\":[],\"addr\":\"a\",\"port\":1}", "Invalid host_id");
    expect_failure("{\"name\":\"n\",\"host_id\":\"\",\"tags\":[],\"addr\":\"a\",\"port\":1}", "Invalid host_id");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"addr\":\"a\",\"port\":1}", "tags must be an array");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":\"t\",\"addr\":\"a\",\"port\":1}",
                   "tags must be an array");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[\"ok\",1],\"addr\":\"a\",\"port\":1}",
                   "Tags must be strings");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"port\":1}", "addr must be a string");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":null,\"port\":1}", "addr must be a string");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\"}", "port must be an integer");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":\"80\"}",
                   "port must be an integer");
    expect_failure("{\"name\":\"n\",\"host_id\":\"1\",\"tags\":[],\"addr\":\"a\",\"port\":80.5}",
                   "port must be an integer");
}

TEST_F(JsonConvTest, DeepNestingFailsWithoutCrashing) {
    std::string deep(100000, '[');
    EXPECT_EQ(-EINVAL, parse(deep));
    expect_empty(out_);
}

TEST(JsonConvDeathTest, OutputRecordMustBeEmpty) {
    discov_svc svc;
    discov_svc_init(&svc);
    svc.name = kdup("x");
    EXPECT_DEATH(dsc_convert_json_str_to_svc("{}", 2, &svc), "invariant violated");
    discov_svc_fini(&svc);
}

// ---------------------------------------------------------------- items

std::vector<uint8_t> one_item_reply(const std::string& key, const std::string& value, uint64_t version,
                                    uint32_t flags) {
    std::vector<uint8_t> b(KVSTORE_HDR_SIZE + KVSTORE_ITEM_HDR_SIZE + key.size() + value.size(), 0);
    auto put32 = [&](size_t off, uint32_t v) { memcpy(&b[off], &v, 4); };
    put32(0, static_cast<uint32_t>(b.size()));
    put32(KVSTORE_OFF_PAYLOAD_LEN, static_cast<uint32_t>(b.size() - KVSTORE_HDR_SIZE));
    const size_t it = KVSTORE_HDR_SIZE;
    memcpy(&b[it + KVSTORE_ITEM_OFF_VERSION], &version, 8);
    put32(it + KVSTORE_ITEM_OFF_FLAGS, flags);
    put32(it + KVSTORE_ITEM_OFF_SIZE, static_cast<uint32_t>(b.size() - KVSTORE_HDR_SIZE));
    put32(it + KVSTORE_ITEM_OFF_KEY_LEN, static_cast<uint32_t>(key.size()));
    put32(it + KVSTORE_ITEM_OFF_KEY_SIZE, static_cast<uint32_t>(key.size()));
    put32(it + KVSTORE_ITEM_OFF_VALUE_LEN, static_cast<uint32_t>(value.size()));
    memcpy(&b[it + KVSTORE_ITEM_HDR_SIZE], key.data(), key.size());
    memcpy(&b[it + KVSTORE_ITEM_HDR_SIZE + key.size()], value.data(), value.size());
    return b;
}

const char k_value[] = "{\"name\":\"mds\",\"host_id\":\"00000000000000a1\",\"tags\":[\"fsid:1001\"],"
                       "\"addr\":\"127.0.0.1\",\"port\":4000}";

class ItemToRecordTest : public ::testing::Test {
protected:
    void SetUp() override { kiv_log_set_hook(collect_log, &lines_); }
    void TearDown() override {
        kiv_log_set_hook(nullptr, nullptr);
        discov_svc_fini(&out_);
    }

    int convert(const std::string& key, const std::string& value, const char* ns, uint64_t version = 5,
                uint32_t flags = 0) {
        discov_svc_fini(&out_);
        std::vector<uint8_t> b = one_item_reply(key, value, version, flags);
        kiv_msg* m = kiv_rpc_alloc_output_msg(static_cast<uint32_t>(b.size()));
        memcpy(m->buf, b.data(), b.size());
        EXPECT_EQ(0, kvstore_msg_check(m));
        const kvstore_item* it = kvstore_msg_get_first_item(m);
        int rc = it ? dsc_convert_msg_item_to_svc(it, ns, &out_) : -1000;
        kiv_free_msg(m);
        return rc;
    }

    discov_svc out_ = {};
    std::vector<LogLine> lines_;
};

TEST_F(ItemToRecordTest, IdVersionAndFlagComeFromTheItem) {
    ASSERT_EQ(0, convert("/discov/services/tarn/mds/7", k_value, "tarn/mds", 77, KV_ITEM_FLAG));
    EXPECT_STREQ("7", out_.id);
    EXPECT_EQ(77u, out_.version);
    EXPECT_TRUE(out_.flag);
    EXPECT_STREQ("mds", out_.name);
    EXPECT_EQ(0xa1u, out_.host_id);
    EXPECT_EQ(4000u, out_.port);

    ASSERT_EQ(0, convert("/discov/services/tarn/mds/-lead", k_value, "tarn/mds", 1, KV_ITEM_TOMBSTONE));
    EXPECT_STREQ("-lead", out_.id);
    EXPECT_FALSE(out_.flag);
}

TEST_F(ItemToRecordTest, WithoutNamespaceTheIdIsTheRestOfTheKey) {
    ASSERT_EQ(0, convert("/discov/services/tarn/ls/ls-1", k_value, nullptr));
    EXPECT_STREQ("tarn/ls/ls-1", out_.id);
}

TEST_F(ItemToRecordTest, KeysOutsideTheNamespace) {
    EXPECT_EQ(-EPROTO, convert("/discov/services/tarn/mds/", k_value, "tarn/mds"));
    expect_empty(out_);
    EXPECT_EQ(nullptr, out_.id);
    EXPECT_EQ(-EPROTO, convert("/discov/services/tarn/ls/7", k_value, "tarn/mds"));
    expect_empty(out_);
    EXPECT_EQ(-EPROTO, convert("/discov/services/tarn/mdsx", k_value, "tarn/mds"));
    EXPECT_EQ(-EPROTO, convert("/discov/services/tarn/mds", k_value, "tarn/mds"));
    EXPECT_EQ(-EPROTO, convert(std::string("/discov/services/tarn/mds/a\0b", 30), k_value, "tarn/mds"));
    expect_empty(out_);
    EXPECT_EQ(nullptr, out_.id);
}

TEST_F(ItemToRecordTest, EmptyKeyOrValue) {
    EXPECT_EQ(-EPROTO, convert("", k_value, "tarn/mds"));
    EXPECT_EQ(-EPROTO, convert("/discov/services/tarn/mds/7", "", "tarn/mds"));
    expect_empty(out_);
    EXPECT_TRUE(lines_.empty());
}

TEST_F(ItemToRecordTest, BadValue) {
    EXPECT_EQ(-EINVAL, convert("/discov/services/tarn/mds/7", "{\"name\":1}", "tarn/mds"));
    expect_empty(out_);
    EXPECT_EQ(nullptr, out_.id);
    EXPECT_EQ(2u, lines_.size());
}

TEST(SvcKeyTest, Keys) {
    char* k = dsc_make_svc_key("tarn/mds", "7");
    EXPECT_STREQ("/discov/services/tarn/mds/7", k);
    __kiv_free(k);
    k = dsc_make_svc_key(nullptr, "7");
    EXPECT_STREQ("/discov/services/7", k);
    __kiv_free(k);
    k = dsc_make_svc_key("tarn/mds", "");
    EXPECT_STREQ("/discov/services/tarn/mds/", k);
    __kiv_free(k);
}

// ---------------------------------------------------------------- maps

TEST(SvcMapTest, ReserveClearAndReferences) {
    discov_svc_map* map = dsc_svc_map_create();
    EXPECT_EQ(0u, map->count);
    EXPECT_EQ(0u, map->generation);
    EXPECT_EQ(1u, map->refcount);
    EXPECT_EQ(nullptr, map->records);

    dsc_svc_map_reserve(map, 2);
    ASSERT_NE(nullptr, map->records);
    for (int i = 0; i < 2; ++i) expect_empty(map->records[i]);
    map->records[0].name = kdup("a");
    map->records[0].id = kdup("1");
    map->count = 1;
    dsc_svc_map_reserve(map, 5);
    EXPECT_STREQ("a", map->records[0].name);
    for (int i = 1; i < 5; ++i) expect_empty(map->records[i]);
    map->records[1].addr = kdup("b");
    map->count = 2;
    map->generation = 9;

    dsc_svc_map_ref(map);
    EXPECT_EQ(2u, map->refcount);
    discov_svc_map_put(map);
    EXPECT_EQ(1u, map->refcount);
    EXPECT_STREQ("a", map->records[0].name);

    dsc_svc_map_ref(map);
    dsc_svc_map_clear(map);
    EXPECT_EQ(0u, map->count);
    EXPECT_EQ(0u, map->generation);
    EXPECT_EQ(1u, map->refcount);
    EXPECT_EQ(nullptr, map->records);

    dsc_svc_map_reserve(map, 1);
    map->records[0].tags = static_cast<char**>(__kiv_zmalloc("test", KIV_POS, KIV_MEM_NOFAIL, 2 * sizeof(char*)));
    map->records[0].tags[0] = kdup("t");
    map->records[0].tag_count = 1;
    map->count = 1;
    // The last reference frees every record (the leak checker watches).
    discov_svc_map_put(map);
}

TEST(SvcMapDeathTest, ReserveBelowCount) {
    EXPECT_DEATH(
        {
            discov_svc_map* map = dsc_svc_map_create();
            dsc_svc_map_reserve(map, 2);
            map->count = 2;
            dsc_svc_map_reserve(map, 1);
        },
        "invariant violated");
}

TEST(SvcRecordTest, FiniLeavesAnInitialisedRecord) {
    discov_svc svc;
    discov_svc_init(&svc);
    discov_svc_fini(&svc);  // an empty record is fine
    svc.name = kdup("n");
    svc.id = kdup("i");
    svc.addr = kdup("a");
    svc.version = 3;
    svc.flag = true;
    discov_svc_fini(&svc);
    expect_empty(svc);
    EXPECT_EQ(nullptr, svc.id);
    EXPECT_EQ(0u, svc.version);
    EXPECT_FALSE(svc.flag);
    discov_svc_fini(&svc);
}

// ---------------------------------------------------------------- handles

TEST(DiscovHandleTest, ValidAddress) {
    EXPECT_TRUE(discov_is_valid_address("127.0.0.1"));
    EXPECT_TRUE(discov_is_valid_address("::1"));
    EXPECT_TRUE(discov_is_valid_address("fe80::1"));
    EXPECT_FALSE(discov_is_valid_address("127.0.0.1:80"));
    EXPECT_FALSE(discov_is_valid_address("[::1]:80"));
    EXPECT_FALSE(discov_is_valid_address("mds.local"));
    EXPECT_FALSE(discov_is_valid_address("1.2.3"));
    EXPECT_FALSE(discov_is_valid_address(""));
    EXPECT_FALSE(discov_is_valid_address(nullptr));
}

TEST(DiscovHandleTest, InstanceIds) {
    EXPECT_TRUE(discov_is_valid_instance_id("mds-1001"));
    EXPECT_TRUE(discov_is_valid_instance_id("-x"));
    EXPECT_FALSE(discov_is_valid_instance_id("a b"));
    EXPECT_FALSE(discov_is_valid_instance_id(nullptr));
}

TEST(DiscovHandleTest, NarrowingSharesTheContext) {
    discov* root = nullptr;
    ASSERT_EQ(0, discov_create("local", nullptr, 0, nullptr, &root));
    EXPECT_EQ(nullptr, discov_get_namespace(root));
    discov* mds = discov_narrow_namespace(root, "tarn/mds");
    EXPECT_STREQ("tarn/mds", discov_get_namespace(mds));
    discov* sub = discov_narrow_namespace(mds, "x");
    EXPECT_STREQ("tarn/mds/x", discov_get_namespace(sub));
    EXPECT_EQ(root->ctx, mds->ctx);
    EXPECT_EQ(root->ctx, sub->ctx);
    EXPECT_EQ(3u, root->ctx->handles);
    EXPECT_STREQ("local", root->ctx->cluster);

    // Any destruction order; the context goes with the last handle.
    discov_destroy(mds);
    EXPECT_EQ(2u, root->ctx->handles);
    discov_destroy(root);
    EXPECT_EQ(1u, sub->ctx->handles);
    EXPECT_STREQ("tarn/mds/x", discov_get_namespace(sub));
    discov_destroy(sub);
}

TEST(DiscovHandleTest, NamespaceIsCopied) {
    char ns[] = "tarn/ls";
    discov* d = nullptr;
    ASSERT_EQ(0, discov_create("c", ns, 1, nullptr, &d));
    ns[0] = 'X';
    EXPECT_STREQ("tarn/ls", discov_get_namespace(d));
    EXPECT_EQ(1u, d->ctx->mode);
    discov_destroy(d);
}

using DiscovPreconditionDeathTest = ::testing::Test;

TEST_F(DiscovPreconditionDeathTest, Create) {
    discov* d = nullptr;
    EXPECT_DEATH(discov_create(nullptr, nullptr, 0, nullptr, &d), "invariant violated");
    EXPECT_DEATH(discov_create("", nullptr, 0, nullptr, &d), "invariant violated");
    EXPECT_DEATH(discov_create("c", "a//b", 0, nullptr, &d), "invariant violated");
    EXPECT_DEATH(discov_create("c", "", 0, nullptr, &d), "invariant violated");
}

TEST_F(DiscovPreconditionDeathTest, Narrow) {
    discov* d = nullptr;
    ASSERT_EQ(0, discov_create("c", nullptr, 0, nullptr, &d));
    EXPECT_DEATH(discov_narrow_namespace(d, "/x"), "invariant violated");
    EXPECT_DEATH(discov_narrow_namespace(d, "x y"), "invariant violated");
    discov_destroy(d);
}

// Writes are refused at their precondition before any connection is made,
// so these need no cluster.
TEST_F(DiscovPreconditionDeathTest, WritesNeedAWritableHandleAndACompleteRecord) {
    discov* ro = nullptr;
    discov* rw = nullptr;
    ASSERT_EQ(0, discov_create("c", "tarn/mds", 0, nullptr, &ro));
    ASSERT_EQ(0, discov_create("c", "tarn/mds", 1, nullptr, &rw));
    Svc good("mds", 1, {}, "127.0.0.1", 1);
    good.s.id = kdup("m1");
    EXPECT_DEATH(discov_co_register_svc(ro, &good.s), "invariant violated");
    EXPECT_DEATH(discov_co_update_svc(ro, &good.s), "invariant violated");
    EXPECT_DEATH(discov_co_unregister_svc(ro, "m1", nullptr), "invariant violated");

    Svc no_name("", 1, {}, "127.0.0.1", 1);
    no_name.s.id = kdup("m1");
    EXPECT_DEATH(discov_co_register_svc(rw, &no_name.s), "invariant violated");
    Svc bad_id("mds", 1, {}, "127.0.0.1", 1);
    bad_id.s.id = kdup("a/");
    EXPECT_DEATH(discov_co_register_svc(rw, &bad_id.s), "invariant violated");
    EXPECT_DEATH(discov_co_update_svc(rw, &bad_id.s), "invariant violated");
    Svc no_addr("mds", 1, {}, "", 1);
    no_addr.s.id = kdup("m1");
    EXPECT_DEATH(discov_co_register_svc(rw, &no_addr.s), "invariant violated");
    EXPECT_DEATH(discov_co_unregister_svc(rw, "", nullptr), "invariant violated");
    discov_svc out;
    discov_svc_init(&out);
    EXPECT_DEATH(discov_co_get_svc(ro, "a b", &out), "invariant violated");
    discov_destroy(ro);
    discov_destroy(rw);
}

}  // namespace
