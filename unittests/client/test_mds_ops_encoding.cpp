// The MDS client's messages without a network: every request shape against
// bytes written out by hand from the message tables, and the reply decoders
// against replies laid out by hand (offsets are typed as numbers here, not
// taken from the wire header, so a wrong constant there shows up).
#include <errno.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/tarn_mds_client.h"
#include "client/tarn_mds_client_ops.h"
#include "kiv/base.h"
#include "kiv/rpc.h"
#include "log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const char* text) {
    Bytes out;
    unsigned v = 0;
    int digits = 0;
    for (const char* p = text; *p; p++) {
        const char c = *p;
        if (c == ' ' || c == '\n') continue;
        v = v * 16 + unsigned(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        if (++digits == 2) {
            out.push_back(uint8_t(v));
            v = 0;
            digits = 0;
        }
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes text0(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(seed + i);
    return b;
}

// An MDS attributes block of running bytes whose file type (its first two
// bytes) is a valid one.
Bytes attrs_pattern(uint8_t seed) {
    Bytes b = pattern(112, seed);
    b[0] = 2;
    b[1] = 0;
    return b;
}

// A directory handle: file id 0x1122334455667788, type 2, length 20.
tarn_mds_handle dir_handle() {
    tarn_mds_handle h{};
    h.file_id = 0x1122334455667788ull;
    h.type = 2;
    h.len = 20;
    return h;
}
const Bytes kDirBytes = hex(
    "88 77 66 55 44 33 22 11 02 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 14");

// A regular file's handle with its xattrs flag: file id 0x42, type 1.
tarn_mds_handle file_handle() {
    tarn_mds_handle h{};
    h.file_id = 0x42;
    h.type = 1;
    h.flags = 1;
    h.rest[0] = 0xab;
    h.len = 20;
    return h;
}
const Bytes kFileBytes = hex(
    "42 00 00 00 00 00 00 00 01 01 ab 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 14");

const Bytes kUpdate = pattern(120, 0x30);

// ---------------------------------------------------------------- log capture
using clienttest::LogCapture;

class MdsOpsEncodingTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_level_ = __kiv_log_level;
        __kiv_log_level = 7;
        kiv_log_set_hook(LogCapture::hook, &log_);
    }
    void TearDown() override {
        kiv_log_set_hook(nullptr, nullptr);
        __kiv_log_level = saved_level_;
    }

    // The request's fields after the 136-byte header.
    static Bytes fields_of(const mds_request& req) {
        Bytes frame(req.length, 0xEE);
        mds_req_write_fields(&req, frame.data());
        return Bytes(frame.begin() + 136, frame.end());
    }

    static void expect_request(const mds_request& req, uint32_t type, const char* rpc_name, const Bytes& fields) {
        EXPECT_EQ(req.type, type);
        EXPECT_STREQ(req.rpc_name, rpc_name);
        EXPECT_EQ(req.length, 136 + fields.size());
        EXPECT_EQ(fields_of(req), fields);
    }

    // A reply of `len` bytes to a request of `type`, zero but for the
    // header.
    static Bytes reply(uint32_t type, size_t len, uint32_t status) {
        Bytes r(len, 0);
        put32(r, 0, uint32_t(len));
        put32(r, 4, type + 1);
        put32(r, 24, status);
        return r;
    }
    static void put32(Bytes& b, size_t off, uint32_t v) {
        for (int i = 0; i < 4; i++) b[off + i] = uint8_t(v >> (8 * i));
    }
    static void put64(Bytes& b, size_t off, uint64_t v) {
        for (int i = 0; i < 8; i++) b[off + i] = uint8_t(v >> (8 * i));
    }
    static void place(Bytes& b, size_t off, const Bytes& what) {
        if (!what.empty()) memcpy(b.data() + off, what.data(), what.size());
    }
    static Bytes slice(const Bytes& b, size_t off, size_t n) { return Bytes(b.begin() + off, b.begin() + off + n); }

    bool decode(uint32_t type, bool ok, const Bytes& r, mds_reply_outs* outs) {
        error_ = rpc_error{};
        return mds_reply_decode(type, ok, r.data(), r.size(), outs, &error_);
    }
    void expect_protocol_error() {
        EXPECT_EQ(error_.code, 2u);
        EXPECT_EQ(error_.kind, RPC_ERR_RUNTIME);
        EXPECT_EQ(error_.origin, RPC_ORIGIN_LOCAL);
        EXPECT_EQ(mds_call2posix_error(error_), uint32_t(EIO));
    }

    LogCapture log_;
    int saved_level_ = 3;
    rpc_error error_{};
};

// ---------------------------------------------------------------- requests
TEST_F(MdsOpsEncodingTest, LookupCarriesHandleAndNameWithItsZero) {
    const tarn_mds_handle dir = dir_handle();
    mds_request req;
    ASSERT_EQ(mds_req_lookup(&req, &dir, "ab"), 0);
    expect_request(req, 4204, "mds_client_lookup", cat({kDirBytes, hex("61 62 00")}));
    EXPECT_EQ(req.length, 171u);
}

TEST_F(MdsOpsEncodingTest, WholeFrameHasTheHeaderThenTheFields) {
    mds_client client{};
    client.client_id = 0x0102030405060708ull;
    client.epoch = 0x11;
    const Bytes creds = pattern(80, 0x90);
    mds_call_opts opts{0, nullptr, creds.data()};
    mds_call call;
    mds_call_init(&call, &client, &opts);
    const tarn_mds_handle dir{};
    mds_request req;
    ASSERT_EQ(mds_req_lookup(&req, &dir, "/"), 0);
    kiv_msg* msg = mds_req_create_msg(&call, &req);
    ASSERT_NE(msg, nullptr);
    const Bytes frame(msg->buf, msg->buf + msg->kept_len);
    kiv_free_msg(msg);
    mds_call_fini(&call);

    ASSERT_EQ(frame.size(), 170u);
    EXPECT_EQ(slice(frame, 0, 8), hex("aa 00 00 00 6c 10 00 00"));
    EXPECT_EQ(slice(frame, 24, 24), hex("02 00 00 00 00 00 00 00 08 07 06 05 04 03 02 01 11 00 00 00 00 00 00 00"));
    EXPECT_EQ(slice(frame, 48, 80), creds);
    EXPECT_EQ(slice(frame, 128, 8), Bytes(8, 0));  // written at every send
    EXPECT_EQ(slice(frame, 136, 34), cat({Bytes(32, 0), hex("2f 00")}));
}

TEST_F(MdsOpsEncodingTest, ReaddirAsksForTheLargestReply) {
    const tarn_mds_handle dir = dir_handle();
    mds_request req;
    ASSERT_EQ(mds_req_readdir(&req, &dir, 0x0102030405060708ull), 0);
    expect_request(req, 4206, "mds_client_readdir",
                   cat({kDirBytes, hex("08 07 06 05 04 03 02 01 00 04 04 00 00 00 00 00")}));
}

TEST_F(MdsOpsEncodingTest, HandleOnlyRequests) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_readlink(&req, &h), 0);
    expect_request(req, 4208, "mds_client_readlink", kFileBytes);
    ASSERT_EQ(mds_req_get_attrs(&req, &h), 0);
    expect_request(req, 4210, "mds_client_get_attrs", kFileBytes);
    ASSERT_EQ(mds_req_list_xattrs(&req, &h), 0);
    expect_request(req, 4236, "mds_client_list_xattrs", cat({kFileBytes, hex("00 04 04 00 00 00 00 00")}));
}

TEST_F(MdsOpsEncodingTest, HeaderOnlyRequests) {
    mds_request req;
    ASSERT_EQ(mds_req_get_fs_info(&req), 0);
    expect_request(req, 4230, "mds_client_get_fs_info", {});
    ASSERT_EQ(mds_req_get_vdisk_map(&req), 0);
    expect_request(req, 4232, "mds_client_get_vdisk_map", {});
}

TEST_F(MdsOpsEncodingTest, SetAttrsSendsZeroGuardWhenNoneIsGiven) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_set_attrs(&req, &h, kUpdate.data(), nullptr), 0);
    expect_request(req, 4212, "mds_client_set_attrs", cat({kFileBytes, kUpdate, Bytes(16, 0)}));
    EXPECT_EQ(req.length, 304u);

    const Bytes guard = hex("15 cd 5b 07 00 00 00 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(mds_req_set_attrs(&req, &h, kUpdate.data(), guard.data()), 0);
    expect_request(req, 4212, "mds_client_set_attrs", cat({kFileBytes, kUpdate, guard}));
}

TEST_F(MdsOpsEncodingTest, CreateFilePutsModeAndVerifierBeforeTheDirectory) {
    const tarn_mds_handle dir = dir_handle();
    mds_request req;
    ASSERT_EQ(mds_req_create_file(&req, &dir, "f", 2, kUpdate.data(), 0x0a0b0c0d0e0f1011ull), 0);
    expect_request(req, 4216, "mds_client_create_file",
                   cat({hex("02 00 00 00 00 00 00 00"), kUpdate, hex("11 10 0f 0e 0d 0c 0b 0a"), kDirBytes,
                        hex("66 00")}));
    EXPECT_EQ(req.length, 306u);
}

TEST_F(MdsOpsEncodingTest, MkdirAndSymlink) {
    const tarn_mds_handle dir = dir_handle();
    mds_request req;
    ASSERT_EQ(mds_req_mkdir(&req, &dir, "dd", kUpdate.data(), 7), 0);
    expect_request(req, 4218, "mds_client_mkdir",
                   cat({kDirBytes, kUpdate, hex("07 00 00 00 00 00 00 00"), hex("64 64 00")}));
    EXPECT_EQ(req.length, 299u);

    ASSERT_EQ(mds_req_symlink(&req, &dir, "l", "tgt", kUpdate.data()), 0);
    expect_request(req, 4222, "mds_client_symlink", cat({kDirBytes, kUpdate, hex("6c 00 74 67 74 00")}));
    EXPECT_EQ(req.length, 294u);
}

TEST_F(MdsOpsEncodingTest, LinkRenameRemove) {
    const tarn_mds_handle dir = dir_handle();
    const tarn_mds_handle file = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_link(&req, &file, &dir, "n"), 0);
    expect_request(req, 4220, "mds_client_link", cat({kFileBytes, kDirBytes, hex("6e 00")}));
    EXPECT_EQ(req.length, 202u);

    ASSERT_EQ(mds_req_rename(&req, &dir, "a", &file, "bc"), 0);
    expect_request(req, 4224, "mds_client_rename", cat({kDirBytes, kFileBytes, hex("61 00 62 63 00")}));
    EXPECT_EQ(req.length, 205u);

    ASSERT_EQ(mds_req_remove(&req, &dir, "xyz"), 0);
    expect_request(req, 4226, "mds_client_remove", cat({kDirBytes, hex("78 79 7a 00")}));
    EXPECT_EQ(req.length, 172u);
}

TEST_F(MdsOpsEncodingTest, ReportVdiskCopiesTheRecords) {
    mds_request req;
    ASSERT_EQ(mds_req_report_vdisk(&req, nullptr, 0), 0);
    expect_request(req, 4234, "mds_client_report_vdisk", hex("00 00 00 00 00 00 00 00"));
    EXPECT_EQ(req.length, 144u);

    const mds_vdisk_report records[2] = {{1, 5, 0xa1}, {1, 6, 0x1122334455667788ull}};
    ASSERT_EQ(mds_req_report_vdisk(&req, records, 2), 0);
    expect_request(req, 4234, "mds_client_report_vdisk",
                   hex("02 00 00 00 00 00 00 00"
                       "01 00 00 00 05 00 00 00 a1 00 00 00 00 00 00 00"
                       "01 00 00 00 06 00 00 00 88 77 66 55 44 33 22 11"));
}

TEST_F(MdsOpsEncodingTest, GetXattrAsksForBufferPlusHeaderUpToTheLargestReply) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_get_xattr(&req, &h, "user.x", 10), 0);
    expect_request(req, 4238, "mds_client_get_xattr", cat({kFileBytes, hex("2a 00 00 00"), text0("user.x")}));
    EXPECT_EQ(req.length, 179u);

    ASSERT_EQ(mds_req_get_xattr(&req, &h, "u", 263135), 0);
    EXPECT_EQ(slice(fields_of(req), 32, 4), hex("ff 03 04 00"));
    ASSERT_EQ(mds_req_get_xattr(&req, &h, "u", 263136), 0);
    EXPECT_EQ(slice(fields_of(req), 32, 4), hex("00 04 04 00"));
    ASSERT_EQ(mds_req_get_xattr(&req, &h, "u", SIZE_MAX), 0);
    EXPECT_EQ(slice(fields_of(req), 32, 4), hex("00 04 04 00"));
}

TEST_F(MdsOpsEncodingTest, SetXattrPlacesTheValueRightAfterTheName) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_set_xattr(&req, &h, "user.a", "xyz", 3, 1), 0);
    expect_request(req, 4240, "mds_client_set_xattr",
                   cat({kFileBytes, hex("01 00 b7 00 03 00 00 00"), text0("user.a"), hex("78 79 7a")}));
    EXPECT_EQ(req.length, 186u);

    ASSERT_EQ(mds_req_set_xattr(&req, &h, "a", nullptr, 0, 0), 0);
    expect_request(req, 4240, "mds_client_set_xattr", cat({kFileBytes, hex("00 00 b2 00 00 00 00 00 61 00")}));
}

TEST_F(MdsOpsEncodingTest, RemoveXattrAndTest) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    ASSERT_EQ(mds_req_remove_xattr(&req, &h, "user.q"), 0);
    expect_request(req, 4242, "mds_client_remove_xattr", cat({kFileBytes, text0("user.q")}));

    // CRC-32 of 02 00 00 00 00 00 00 00 is 0x2707d814.
    ASSERT_EQ(mds_req_test(&req, 2), 0);
    expect_request(req, 4244, "mds_client_test", hex("02 00 00 00 00 00 00 00 14 d8 07 27 00 00 00 00"));
    EXPECT_EQ(req.length, 152u);
}

TEST_F(MdsOpsEncodingTest, NameLimitsAreCheckedBeforeSending) {
    const tarn_mds_handle dir = dir_handle();
    mds_request req;
    const std::string n255(255, 'n'), n256(256, 'n');
    EXPECT_EQ(mds_req_create_file(&req, &dir, n255.c_str(), 2, kUpdate.data(), 1), 0);
    EXPECT_EQ(req.length, 305u + 255);
    EXPECT_EQ(mds_req_create_file(&req, &dir, n256.c_str(), 2, kUpdate.data(), 1), -EINVAL);
    EXPECT_EQ(mds_req_mkdir(&req, &dir, n256.c_str(), kUpdate.data(), 1), -EINVAL);
    EXPECT_EQ(mds_req_symlink(&req, &dir, n256.c_str(), "t", kUpdate.data()), -EINVAL);
    EXPECT_EQ(mds_req_link(&req, &dir, &dir, n256.c_str()), -EINVAL);
    EXPECT_EQ(mds_req_rename(&req, &dir, "a", &dir, n256.c_str()), -EINVAL);
    EXPECT_EQ(mds_req_rename(&req, &dir, n256.c_str(), &dir, "a"), -EINVAL);
    EXPECT_EQ(mds_req_remove(&req, &dir, n256.c_str()), -EINVAL);
    EXPECT_EQ(mds_req_remove(&req, &dir, nullptr), -EINVAL);
    EXPECT_EQ(mds_req_symlink(&req, &dir, "l", nullptr, kUpdate.data()), -EINVAL);

    // A lookup path may hold many components, up to the largest message.
    EXPECT_EQ(mds_req_lookup(&req, &dir, std::string(1000, 'p').c_str()), 0);
    EXPECT_EQ(mds_req_lookup(&req, &dir, std::string(263168 - 169, 'p').c_str()), 0);
    EXPECT_EQ(req.length, 263168u);
    EXPECT_EQ(mds_req_lookup(&req, &dir, std::string(263168 - 168, 'p').c_str()), -EINVAL);
    EXPECT_EQ(mds_req_lookup(&req, &dir, nullptr), -EINVAL);

    EXPECT_EQ(mds_req_get_xattr(&req, &dir, n255.c_str(), 10), 0);
    EXPECT_EQ(mds_req_get_xattr(&req, &dir, n256.c_str(), 10), -E2BIG);
    EXPECT_EQ(mds_req_set_xattr(&req, &dir, n256.c_str(), "v", 1, 0), -E2BIG);
    EXPECT_EQ(mds_req_remove_xattr(&req, &dir, n256.c_str()), -E2BIG);
    EXPECT_EQ(mds_req_set_xattr(&req, &dir, "a", nullptr, 1, 0), -EINVAL);
}

TEST_F(MdsOpsEncodingTest, ValuesAndReportsMustFitTheLargestMessage) {
    const tarn_mds_handle h = file_handle();
    mds_request req;
    const Bytes value(263168 - 178 + 1, 'v');
    EXPECT_EQ(mds_req_set_xattr(&req, &h, "a", value.data(), value.size() - 1, 0), 0);
    EXPECT_EQ(req.length, 263168u);
    EXPECT_EQ(mds_req_set_xattr(&req, &h, "a", value.data(), value.size(), 0), -E2BIG);
    EXPECT_EQ(mds_req_set_xattr(&req, &h, "a", value.data(), uint64_t(1) << 32, 0), -E2BIG);

    const std::vector<mds_vdisk_report> records(16440);
    EXPECT_EQ(mds_req_report_vdisk(&req, records.data(), 16439), 0);
    EXPECT_EQ(req.length, 263168u);
    EXPECT_EQ(mds_req_report_vdisk(&req, records.data(), 16440), -E2BIG);
}

// ---------------------------------------------------------------- replies
TEST_F(MdsOpsEncodingTest, WhichTypesHaveHandlers) {
    for (uint32_t type : {4202u, 4234u, 4240u, 4242u, 4244u}) {
        EXPECT_FALSE(mds_reply_has_handler(type, true)) << type;
        EXPECT_FALSE(mds_reply_has_handler(type, false)) << type;
    }
    for (uint32_t type : {4210u, 4230u, 4232u, 4236u}) {
        EXPECT_TRUE(mds_reply_has_handler(type, true)) << type;
        EXPECT_FALSE(mds_reply_has_handler(type, false)) << type;
    }
    for (uint32_t type : {4204u, 4206u, 4208u, 4212u, 4216u, 4218u, 4220u, 4222u, 4224u, 4226u, 4238u}) {
        EXPECT_TRUE(mds_reply_has_handler(type, true)) << type;
        EXPECT_TRUE(mds_reply_has_handler(type, false)) << type;
    }
}

TEST_F(MdsOpsEncodingTest, MarkAbsentClearsOnlyThePresentWords) {
    Bytes post(72, 0xff), wcc(120, 0xff), wcc2(120, 0xff);
    mds_reply_outs outs{};
    outs.post_op = post.data();
    outs.wcc = wcc.data();
    outs.wcc2 = wcc2.data();
    mds_reply_outs_mark_absent(&outs);
    EXPECT_EQ(post, cat({Bytes(4, 0), Bytes(68, 0xff)}));
    const Bytes wcc_cleared = cat({Bytes(4, 0), Bytes(44, 0xff), Bytes(4, 0), Bytes(68, 0xff)});
    EXPECT_EQ(wcc, wcc_cleared);
    EXPECT_EQ(wcc2, wcc_cleared);
}

TEST_F(MdsOpsEncodingTest, LookupReplyFillsHandleAttributesAndDirectory) {
    Bytes r = reply(4204, 248, 0);
    place(r, 32, kFileBytes);
    place(r, 64, attrs_pattern(0x40));
    place(r, 176, pattern(72, 0xa0));
    tarn_mds_handle handle{};
    Bytes attrs(112), post(72);
    mds_reply_outs outs{};
    outs.handle = &handle;
    outs.attrs = attrs.data();
    outs.post_op = post.data();
    ASSERT_TRUE(decode(4204, true, r, &outs));
    EXPECT_EQ(handle.file_id, 0x42u);
    EXPECT_EQ(handle.flags, 1);
    EXPECT_EQ(handle.len, 20);
    EXPECT_EQ(attrs, attrs_pattern(0x40));
    EXPECT_EQ(post, pattern(72, 0xa0));

    // Optional outputs not asked for are skipped.
    mds_reply_outs only_handle{};
    only_handle.handle = &handle;
    EXPECT_TRUE(decode(4204, true, r, &only_handle));
}

TEST_F(MdsOpsEncodingTest, ShortOkReplyFailsWithoutTouchingOutputs) {
    Bytes r = reply(4204, 247, 0);
    place(r, 32, kFileBytes);
    tarn_mds_handle handle{};
    mds_reply_outs outs{};
    outs.handle = &handle;
    EXPECT_FALSE(decode(4204, true, r, &outs));
    expect_protocol_error();
    EXPECT_EQ(handle.file_id, 0u);
    EXPECT_TRUE(log_.has("Response is too short: 247 < 248", 1));
}

TEST_F(MdsOpsEncodingTest, MinimumLengthOfEachOkReply) {
    const std::pair<uint32_t, size_t> minimums[] = {{4206, 112}, {4208, 104}, {4210, 144}, {4212, 152},
                                                    {4216, 304}, {4218, 296}, {4220, 264}, {4222, 296},
                                                    {4224, 272}, {4226, 152}, {4230, 136}, {4232, 40}};
    for (const auto& [type, min] : minimums) {
        Bytes r = reply(type, min - 1, 0);
        mds_reply_outs outs{};
        EXPECT_FALSE(decode(type, true, r, &outs)) << type;
        expect_protocol_error();
        EXPECT_TRUE(log_.has("Response is too short: " + std::to_string(min - 1) + " < " + std::to_string(min), 1))
            << type;
    }
}

TEST_F(MdsOpsEncodingTest, ErrorReplyCarriesDirectoryDataOnlyWhenLongEnough) {
    Bytes post(72, 0xee);
    mds_reply_outs outs{};
    outs.post_op = post.data();
    Bytes r = reply(4204, 104, 8);
    place(r, 32, pattern(72, 1));
    EXPECT_TRUE(decode(4204, false, r, &outs));
    EXPECT_EQ(post, pattern(72, 1));

    Bytes bare = reply(4204, 32, 8);
    post.assign(72, 0xee);
    EXPECT_TRUE(decode(4204, false, bare, &outs));
    EXPECT_EQ(post, Bytes(72, 0xee));

    // wcc-carrying error replies: 152 bytes.
    for (uint32_t type : {4212u, 4216u, 4218u, 4220u, 4222u, 4226u}) {
        Bytes wcc(120, 0xee);
        mds_reply_outs w{};
        w.wcc = wcc.data();
        Bytes e = reply(type, 151, 3);
        place(e, 32, pattern(119, 9));
        EXPECT_TRUE(decode(type, false, e, &w)) << type;
        EXPECT_EQ(wcc, Bytes(120, 0xee)) << type;
        e = reply(type, 152, 3);
        place(e, 32, pattern(120, 9));
        EXPECT_TRUE(decode(type, false, e, &w)) << type;
        EXPECT_EQ(wcc, pattern(120, 9)) << type;
    }
}

TEST_F(MdsOpsEncodingTest, RenameRepliesCarryBothDirectories) {
    Bytes src(120), dst(120);
    mds_reply_outs outs{};
    outs.wcc = src.data();
    outs.wcc2 = dst.data();
    Bytes r = reply(4224, 272, 0);
    place(r, 32, pattern(120, 0x10));
    place(r, 152, pattern(120, 0x90));
    ASSERT_TRUE(decode(4224, true, r, &outs));
    EXPECT_EQ(src, pattern(120, 0x10));
    EXPECT_EQ(dst, pattern(120, 0x90));

    Bytes e = reply(4224, 272, 3);
    place(e, 32, pattern(120, 0x20));
    place(e, 152, pattern(120, 0xa0));
    ASSERT_TRUE(decode(4224, false, e, &outs));
    EXPECT_EQ(src, pattern(120, 0x20));
    EXPECT_EQ(dst, pattern(120, 0xa0));

    src.assign(120, 0xee);
    Bytes shorter = reply(4224, 271, 3);
    ASSERT_TRUE(decode(4224, false, shorter, &outs));
    EXPECT_EQ(src, Bytes(120, 0xee));
}

TEST_F(MdsOpsEncodingTest, CreateReplyReportsWhetherThisRequestCreatedTheFile) {
    Bytes r = reply(4216, 304, 0);
    place(r, 32, kFileBytes);
    place(r, 64, attrs_pattern(0x50));
    place(r, 176, pattern(120, 0x70));
    tarn_mds_handle handle{};
    Bytes attrs(112), wcc(120);
    uint8_t created = 0xee;
    mds_reply_outs outs{};
    outs.handle = &handle;
    outs.attrs = attrs.data();
    outs.wcc = wcc.data();
    outs.created = &created;
    put32(r, 296, 1);
    ASSERT_TRUE(decode(4216, true, r, &outs));
    EXPECT_EQ(created, 1);
    EXPECT_EQ(handle.file_id, 0x42u);
    EXPECT_EQ(attrs, attrs_pattern(0x50));
    EXPECT_EQ(wcc, pattern(120, 0x70));

    put32(r, 296, 0);  // the file existed (an unchecked create may say so)
    ASSERT_TRUE(decode(4216, true, r, &outs));
    EXPECT_EQ(created, 0);
    put32(r, 296, 0xfffffffe);
    ASSERT_TRUE(decode(4216, true, r, &outs));
    EXPECT_EQ(created, 0);
}

TEST_F(MdsOpsEncodingTest, MkdirSymlinkLinkGetAttrsFsInfoOffsets) {
    for (uint32_t type : {4218u, 4222u}) {
        Bytes r = reply(type, 296, 0);
        place(r, 32, kDirBytes);
        place(r, 64, attrs_pattern(0x11));
        place(r, 176, pattern(120, 0x22));
        tarn_mds_handle handle{};
        Bytes attrs(112), wcc(120);
        mds_reply_outs outs{};
        outs.handle = &handle;
        outs.attrs = attrs.data();
        outs.wcc = wcc.data();
        ASSERT_TRUE(decode(type, true, r, &outs));
        EXPECT_EQ(handle.file_id, 0x1122334455667788ull);
        EXPECT_EQ(attrs, attrs_pattern(0x11));
        EXPECT_EQ(wcc, pattern(120, 0x22));
    }

    Bytes link = reply(4220, 264, 0);
    place(link, 32, attrs_pattern(0x33));
    place(link, 144, pattern(120, 0x44));
    Bytes attrs(112), wcc(120);
    mds_reply_outs l{};
    l.attrs = attrs.data();
    l.wcc = wcc.data();
    ASSERT_TRUE(decode(4220, true, link, &l));
    EXPECT_EQ(attrs, attrs_pattern(0x33));
    EXPECT_EQ(wcc, pattern(120, 0x44));

    Bytes ga = reply(4210, 144, 0);
    place(ga, 32, attrs_pattern(0x55));
    mds_reply_outs g{};
    g.attrs = attrs.data();
    ASSERT_TRUE(decode(4210, true, ga, &g));
    EXPECT_EQ(attrs, attrs_pattern(0x55));

    Bytes fi = reply(4230, 136, 0);
    place(fi, 32, pattern(104, 0x66));
    Bytes info(104);
    mds_reply_outs f{};
    f.info = info.data();
    ASSERT_TRUE(decode(4230, true, fi, &f));
    EXPECT_EQ(info, pattern(104, 0x66));
}

// A server's handle length and file types end up as invariants of the
// conversions after the call, so a reply that breaks them fails the call as
// a protocol error and leaves every output as it was.
TEST_F(MdsOpsEncodingTest, HostileHandlesAndFileTypesFailTheCall) {
    struct Shape {
        uint32_t type;
        size_t len, handle, attrs;  // 0: the reply has no such block
    };
    const Shape shapes[] = {
        {TARN_MDS_LOOKUP, TARN_MDS_LOOKUP_REP_MIN, TARN_MDS_LOOKUP_REP_HANDLE, TARN_MDS_LOOKUP_REP_ATTRS},
        {TARN_MDS_CREATE_FILE, TARN_MDS_CREATE_REP_MIN, TARN_MDS_CREATE_REP_HANDLE, TARN_MDS_CREATE_REP_ATTRS},
        {TARN_MDS_MKDIR, TARN_MDS_MKOBJ_REP_MIN, TARN_MDS_MKOBJ_REP_HANDLE, TARN_MDS_MKOBJ_REP_ATTRS},
        {TARN_MDS_SYMLINK, TARN_MDS_MKOBJ_REP_MIN, TARN_MDS_MKOBJ_REP_HANDLE, TARN_MDS_MKOBJ_REP_ATTRS},
        {TARN_MDS_GET_ATTRS, TARN_MDS_GET_ATTRS_REP_MIN, 0, TARN_MDS_GET_ATTRS_REP_ATTRS},
        {TARN_MDS_LINK, TARN_MDS_LINK_REP_MIN, 0, TARN_MDS_LINK_REP_ATTRS},
    };
    // Byte changes relative to a valid handle (file, length 20) and valid
    // attributes (type 1); `good` says whether the reply must still decode.
    struct Change {
        bool on_handle;
        size_t off;
        uint8_t value;
        bool good;
    };
    const Change changes[] = {
        {true, TARN_MDS_HANDLE_LENGTH, 10, true},  {true, TARN_MDS_HANDLE_LENGTH, 28, true},
        {true, TARN_MDS_HANDLE_LENGTH, 9, false},  {true, TARN_MDS_HANDLE_LENGTH, 0, false},
        {true, TARN_MDS_HANDLE_LENGTH, 29, false}, {true, TARN_MDS_HANDLE_LENGTH, 255, false},
        {true, TARN_MDS_HANDLE_TYPE, 7, true},     {true, TARN_MDS_HANDLE_TYPE, 8, false},
        {false, TARN_MDS_ATTR_TYPE, 7, true},      {false, TARN_MDS_ATTR_TYPE, 8, false},
        {false, TARN_MDS_ATTR_TYPE + 1, 1, false},  // type 0x100
    };
    for (const Shape& sh : shapes) {
        for (const Change& ch : changes) {
            if (ch.on_handle && sh.handle == 0) continue;
            SCOPED_TRACE(testing::Message() << "type " << sh.type << " offset " << ch.off << " value "
                                            << unsigned(ch.value));
            Bytes r = reply(sh.type, sh.len, 0);
            if (sh.handle != 0) place(r, sh.handle, kFileBytes);
            put32(r, sh.attrs, 1);
            r[(ch.on_handle ? sh.handle : sh.attrs) + ch.off] = ch.value;
            tarn_mds_handle handle{};
            Bytes attrs(112, 0xee);
            mds_reply_outs outs{};
            outs.handle = &handle;
            outs.attrs = attrs.data();
            EXPECT_EQ(ch.good, decode(sh.type, true, r, &outs));
            if (ch.good) continue;
            expect_protocol_error();
            EXPECT_EQ(handle.len, 0);
            EXPECT_EQ(attrs, Bytes(112, 0xee));
        }
    }
}

// ---------------------------------------------------------------- readdir
struct Seen {
    std::string name;
    uint64_t file_id;
    Bytes attrs;
    uint64_t cookie;
};

struct Walk {
    std::vector<Seen> seen;
    size_t stop_after = SIZE_MAX;
    static bool cb(const char* name, const tarn_mds_handle* h, const uint8_t* attrs, uint64_t cookie, void* arg) {
        auto* w = static_cast<Walk*>(arg);
        w->seen.push_back(Seen{name, h->file_id, Bytes(attrs, attrs + 112), cookie});
        return w->seen.size() < w->stop_after;
    }
};

class MdsReaddirDecodeTest : public MdsOpsEncodingTest {
   protected:
    // Two entries, "one" (file 0x42, cookie 5) and "two" (directory,
    // cookie 9), names after the entries: 112 + 2 * 160 + 4 + 4 bytes.
    Bytes two_entries(uint32_t flags) {
        Bytes r = reply(4206, 440, 0);
        place(r, 32, pattern(72, 0x77));
        put32(r, 104, flags);
        put32(r, 108, 2);
        place(r, 112, kFileBytes);
        place(r, 144, attrs_pattern(0x01));
        put64(r, 256, 5);
        put32(r, 264, 432);
        place(r, 272, kDirBytes);
        place(r, 304, attrs_pattern(0x81));
        put64(r, 416, 9);
        put32(r, 424, 436);
        place(r, 432, text0("one"));
        place(r, 436, text0("two"));
        return r;
    }

    // Decodes like the operation's ok handler and walks like the operation.
    bool decode_and_walk(const Bytes& r, Walk* walk, uint8_t* eof, Bytes* post = nullptr) {
        mds_reply_outs outs{};
        if (post != nullptr) outs.post_op = post->data();
        const bool ok = decode(4206, true, r, &outs);
        if (ok) {
            EXPECT_NE(outs.reply_copy, nullptr);
            EXPECT_EQ(outs.reply_len, r.size());
            mds_readdir_walk(outs.reply_copy, Walk::cb, walk, eof);
        } else {
            EXPECT_EQ(outs.reply_copy, nullptr);
        }
        __kiv_free(outs.reply_copy);
        return ok;
    }
};

TEST_F(MdsReaddirDecodeTest, EntriesComeInOrderWithNamesHandlesAttributesAndCookies) {
    Walk walk;
    uint8_t eof = 0xee;
    Bytes post(72);
    ASSERT_TRUE(decode_and_walk(two_entries(0), &walk, &eof, &post));
    ASSERT_EQ(walk.seen.size(), 2u);
    EXPECT_EQ(walk.seen[0].name, "one");
    EXPECT_EQ(walk.seen[0].file_id, 0x42u);
    EXPECT_EQ(walk.seen[0].attrs, attrs_pattern(0x01));
    EXPECT_EQ(walk.seen[0].cookie, 5u);
    EXPECT_EQ(walk.seen[1].name, "two");
    EXPECT_EQ(walk.seen[1].file_id, 0x1122334455667788ull);
    EXPECT_EQ(walk.seen[1].attrs, attrs_pattern(0x81));
    EXPECT_EQ(walk.seen[1].cookie, 9u);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(post, pattern(72, 0x77));
}

TEST_F(MdsReaddirDecodeTest, MoreFlagAndEarlyStop) {
    Walk walk;
    uint8_t eof = 0xee;
    ASSERT_TRUE(decode_and_walk(two_entries(1), &walk, &eof));
    EXPECT_EQ(walk.seen.size(), 2u);
    EXPECT_EQ(eof, 0);

    Walk first_only;
    first_only.stop_after = 1;
    ASSERT_TRUE(decode_and_walk(two_entries(0), &first_only, &eof));
    EXPECT_EQ(first_only.seen.size(), 1u);
    EXPECT_EQ(eof, 1);
}

TEST_F(MdsReaddirDecodeTest, EmptyBatch) {
    Bytes r = reply(4206, 112, 0);
    Walk walk;
    uint8_t eof = 0xee;
    ASSERT_TRUE(decode_and_walk(r, &walk, &eof));
    EXPECT_TRUE(walk.seen.empty());
    EXPECT_EQ(eof, 1);
    put32(r, 104, 1);
    ASSERT_TRUE(decode_and_walk(r, &walk, &eof));
    EXPECT_EQ(eof, 0);
}

TEST_F(MdsReaddirDecodeTest, HostileCountsAndOffsetsAreRejected) {
    Walk walk;
    uint8_t eof = 0;
    Bytes post(72, 0xee);

    Bytes r = two_entries(0);
    put32(r, 108, 3);  // a third entry would end at 592
    EXPECT_FALSE(decode_and_walk(r, &walk, &eof, &post));
    expect_protocol_error();
    EXPECT_TRUE(log_.has("Response is too short: 440 < 592", 1));
    EXPECT_EQ(post, Bytes(72, 0xee));

    r = two_entries(0);
    put32(r, 108, 0xffffffff);
    EXPECT_FALSE(decode_and_walk(r, &walk, &eof));
    expect_protocol_error();

    r = two_entries(0);
    put32(r, 424, 440);  // the second name starts past the end
    EXPECT_FALSE(decode_and_walk(r, &walk, &eof));
    expect_protocol_error();

    // Entries carry handles and attributes under the same rules as single
    // replies.
    for (size_t off : {size_t(272 + TARN_MDS_HANDLE_LENGTH), size_t(272 + TARN_MDS_HANDLE_TYPE), size_t(304)}) {
        r = two_entries(0);
        r[off] = off == 272 + TARN_MDS_HANDLE_LENGTH ? 29 : 8;
        EXPECT_FALSE(decode_and_walk(r, &walk, &eof)) << off;
        expect_protocol_error();
    }

    r = two_entries(0);
    r[439] = 'x';  // the second name has no terminating zero
    EXPECT_FALSE(decode_and_walk(r, &walk, &eof));
    expect_protocol_error();
    EXPECT_TRUE(walk.seen.empty());
}

// ---------------------------------------------------------------- readlink
TEST_F(MdsOpsEncodingTest, ReadlinkNeedsRoomForTheTargetAndItsZero) {
    Bytes r = reply(4208, 110, 0);
    place(r, 32, pattern(72, 0x3c));
    place(r, 104, text0("hello"));
    char buf[8];
    memset(buf, '#', sizeof buf);
    Bytes post(72);
    mds_reply_outs outs{};
    outs.post_op = post.data();
    outs.buf = buf;
    outs.buf_size = 5;
    EXPECT_FALSE(decode(4208, true, r, &outs));
    EXPECT_EQ(error_.code, uint32_t(EOVERFLOW));
    EXPECT_EQ(error_.kind, RPC_ERR_POSIX);
    EXPECT_EQ(error_.origin, RPC_ORIGIN_LOCAL);
    EXPECT_TRUE(log_.has("Buffer is too small: 5 < 6", 1));
    EXPECT_EQ(buf[0], '#');

    outs.buf_size = 6;
    ASSERT_TRUE(decode(4208, true, r, &outs));
    EXPECT_EQ(memcmp(buf, "hello\0##", 8), 0);
    EXPECT_EQ(post, pattern(72, 0x3c));

    Bytes unterminated = reply(4208, 109, 0);
    place(unterminated, 104, hex("68 65 6c 6c 6f"));
    memset(buf, '#', sizeof buf);
    EXPECT_FALSE(decode(4208, true, unterminated, &outs));
    expect_protocol_error();
    EXPECT_EQ(buf[0], '#');

    Bytes empty_area = reply(4208, 104, 0);
    EXPECT_FALSE(decode(4208, true, empty_area, &outs));
    expect_protocol_error();
}

// ---------------------------------------------------------------- vdisk map
TEST_F(MdsOpsEncodingTest, VdiskMapIsCopiedIntoACountedTable) {
    Bytes r = reply(4232, 88, 0);
    put32(r, 32, 2);
    put32(r, 36, 0xdeadbeef);  // not read
    place(r, 40, hex("01 00 00 00 00 00 00 10 a1 00 00 00 00 00 00 00 01 00 00 7f 39 30 ff ff"));
    place(r, 64, hex("02 00 00 00 00 00 00 20 a2 00 00 00 00 00 00 00 02 00 00 7f 3a 30 00 00"));
    mds_reply_outs outs{};
    ASSERT_TRUE(decode(4232, true, r, &outs));
    ASSERT_NE(outs.map, nullptr);
    EXPECT_EQ(outs.map->count, 2u);
    EXPECT_EQ(outs.map->reserved, 0u);
    EXPECT_EQ(outs.map->entries[0].location_token, 0x1000000000000001ull);
    EXPECT_EQ(outs.map->entries[0].host_id, 0xa1u);
    EXPECT_EQ(outs.map->entries[0].ipv4, 0x7f000001u);
    EXPECT_EQ(outs.map->entries[0].port, 12345);
    EXPECT_EQ(outs.map->entries[1].location_token, 0x2000000000000002ull);
    EXPECT_EQ(outs.map->entries[1].host_id, 0xa2u);
    EXPECT_EQ(outs.map->entries[1].ipv4, 0x7f000002u);
    EXPECT_EQ(outs.map->entries[1].port, 12346);
    // The host of entry 1 as the test calls read it: at offset 8 of the entry.
    const auto* raw = reinterpret_cast<const uint8_t*>(outs.map);
    EXPECT_EQ(raw[8 + 24 + 8], 0xa2);
    mds_client_free_vdisk_map(outs.map);
}

TEST_F(MdsOpsEncodingTest, VdiskMapCountBeyondTheReplyIsRejected) {
    Bytes r = reply(4232, 88, 0);
    put32(r, 32, 3);
    mds_reply_outs outs{};
    EXPECT_FALSE(decode(4232, true, r, &outs));
    expect_protocol_error();
    EXPECT_TRUE(log_.has("Response is too short: 88 < 112", 1));
    EXPECT_EQ(outs.map, nullptr);

    put32(r, 32, 0xffffffff);
    EXPECT_FALSE(decode(4232, true, r, &outs));
    EXPECT_EQ(outs.map, nullptr);

    Bytes empty = reply(4232, 40, 0);
    ASSERT_TRUE(decode(4232, true, empty, &outs));
    ASSERT_NE(outs.map, nullptr);
    EXPECT_EQ(outs.map->count, 0u);
    mds_client_free_vdisk_map(outs.map);
}

// ---------------------------------------------------------------- xattrs
struct Names {
    std::vector<std::string> seen;
    size_t stop_after = SIZE_MAX;
    static bool cb(const char* name, void* arg) {
        auto* n = static_cast<Names*>(arg);
        n->seen.push_back(name);
        return n->seen.size() < n->stop_after;
    }
};

TEST_F(MdsOpsEncodingTest, XattrNamesEachEndWithAZero) {
    auto list = [&](const Bytes& area, size_t stop_after = SIZE_MAX) {
        Bytes r = reply(4236, 32 + area.size(), 0);
        place(r, 32, area);
        Names names;
        names.stop_after = stop_after;
        mds_reply_outs outs{};
        outs.names_cb = Names::cb;
        outs.names_arg = &names;
        EXPECT_TRUE(decode(4236, true, r, &outs));
        return names.seen;
    };
    EXPECT_EQ(list(hex("61 00 62 00")), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(list(hex("61 00 62")), (std::vector<std::string>{"a"}));
    EXPECT_EQ(list(hex("61 00 62 00"), 1), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(list({}).empty());
    EXPECT_EQ(list(text0("user.long_name")), (std::vector<std::string>{"user.long_name"}));
}

TEST_F(MdsOpsEncodingTest, XattrValueFillsTheBufferAndItsSize) {
    Bytes r = reply(4238, 35, 0);
    place(r, 32, hex("78 79 7a"));
    Bytes buf(10, 0xee);
    uint64_t size = 77;
    mds_reply_outs outs{};
    outs.buf = buf.data();
    outs.buf_size = 3;
    outs.value_size = &size;
    ASSERT_TRUE(decode(4238, true, r, &outs));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buf, cat({hex("78 79 7a"), Bytes(7, 0xee)}));

    Bytes empty = reply(4238, 32, 0);
    outs.buf = nullptr;
    outs.buf_size = 0;
    ASSERT_TRUE(decode(4238, true, empty, &outs));
    EXPECT_EQ(size, 0u);

    // More than the request allowed: refused, nothing written.
    buf.assign(10, 0xee);
    outs.buf = buf.data();
    outs.buf_size = 2;
    size = 77;
    EXPECT_FALSE(decode(4238, true, r, &outs));
    expect_protocol_error();
    EXPECT_EQ(buf, Bytes(10, 0xee));
    EXPECT_EQ(size, 77u);
}

TEST_F(MdsOpsEncodingTest, XattrErrorReplyNamesTheNeededSize) {
    uint64_t size = 77;
    mds_reply_outs outs{};
    outs.value_size = &size;
    Bytes too_big = reply(4238, 40, 14);
    put32(too_big, 32, 128);
    EXPECT_TRUE(decode(4238, false, too_big, &outs));
    EXPECT_EQ(size, 128u);

    Bytes absent = reply(4238, 40, 8);
    EXPECT_TRUE(decode(4238, false, absent, &outs));
    EXPECT_EQ(size, 0u);

    size = 77;
    Bytes bare = reply(4238, 32, 8);
    EXPECT_FALSE(decode(4238, false, bare, &outs));
    expect_protocol_error();
    EXPECT_TRUE(log_.has("Response is too short: 32 < 40", 1));
    EXPECT_EQ(size, 77u);
}

TEST_F(MdsOpsEncodingTest, XattrValueTooBigBecomesBufferTooSmallWhileABiggerBufferCouldHelp) {
    const rpc_error too_big{14, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE};
    EXPECT_EQ(mds_get_xattr_result(-EOVERFLOW, too_big, 10), -ERANGE);
    EXPECT_TRUE(log_.has("Buffer is too small", 4));
    EXPECT_EQ(mds_get_xattr_result(-EOVERFLOW, too_big, 263135), -ERANGE);
    EXPECT_EQ(mds_get_xattr_result(-EOVERFLOW, too_big, 263136), -EOVERFLOW);
    const rpc_error not_found{8, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE};
    EXPECT_EQ(mds_get_xattr_result(-ENOENT, not_found, 10), -ENOENT);
    EXPECT_EQ(mds_get_xattr_result(0, rpc_error{}, 10), 0);
}

TEST_F(MdsOpsEncodingTest, TestHookToleratesALostConnectionOnlyWhenAsked) {
    const rpc_error lost{10, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE};
    const rpc_error timed_out{13, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE};
    EXPECT_EQ(mds_test_result(-EAGAIN, lost, true), 0);
    EXPECT_EQ(mds_test_result(-EAGAIN, timed_out, true), 0);
    EXPECT_EQ(mds_test_result(-EAGAIN, lost, false), -EAGAIN);
    EXPECT_EQ(mds_test_result(-EAGAIN, rpc_error{12, RPC_ERR_RUNTIME, RPC_ORIGIN_REMOTE}, true), -EAGAIN);
    EXPECT_EQ(mds_test_result(-EAGAIN, rpc_error{10, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL}, true), -EAGAIN);
    EXPECT_EQ(mds_test_result(-ENOSYS, rpc_error{16, RPC_ERR_SERVER, RPC_ORIGIN_REMOTE}, true), -ENOSYS);
}

}  // namespace
