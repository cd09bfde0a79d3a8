// Client vocabulary: error codes and messages, opaque handles, and the wire
// blocks of credentials, attributes, updates, post-op and wcc data.
//
// Expected bytes are written out by hand from the documented layouts, never
// computed with the code under test.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <vector>

#include "client/tarn_client.h"
#include "client/tarn_client_conv.h"
#include "client/tarn_handle.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Patch {
    size_t off;
    Bytes bytes;
};

// A block of `n` zero bytes with the given bytes laid over it.
Bytes block_of(size_t n, std::initializer_list<Patch> patches) {
    Bytes b(n, 0);
    for (const Patch& p : patches) {
        EXPECT_LE(p.off + p.bytes.size(), n);
        memcpy(b.data() + p.off, p.bytes.data(), p.bytes.size());
    }
    return b;
}

// Heap memory of exactly `n` bytes, so that the sanitizer build catches any
// access past the end.
struct ExactBuf {
    explicit ExactBuf(size_t n, uint8_t fill = 0) : size(n), p(static_cast<uint8_t*>(malloc(n ? n : 1))) {
        memset(p, fill, n ? n : 1);
    }
    ~ExactBuf() { free(p); }
    ExactBuf(const ExactBuf&) = delete;
    ExactBuf& operator=(const ExactBuf&) = delete;
    Bytes bytes() const { return Bytes(p, p + size); }
    size_t size;
    uint8_t* p;
};

}  // namespace

// ---------------------------------------------------------------- errors

class ErrorCodeTest : public ::testing::Test {};

TEST_F(ErrorCodeTest, every_message_is_fixed) {
    const char* expected[] = {
        "No error",
        "The file already exists",
        "I/O error",
        "Invalid argument",
        "Operation not permitted",
        "File system not found",
        "File not found",
        "Not a directory",
        "Delay, try again later",
        "Conflicting change detected",
        "Server fault",
        "Directory not empty",
        "Buffer too small",
        "Value too large",
        "Not enough space",
        "Not implemented",
        "File too large",
        "File system is read-only",
    };
    for (uint32_t code = 0; code < 18; code++) EXPECT_STREQ(tarn_get_err_msg(code), expected[code]) << code;
    EXPECT_STREQ(tarn_get_err_msg(TARN_ERR_DELAY), "Delay, try again later");
    EXPECT_STREQ(tarn_get_err_msg(18), "Unknown error code");
    EXPECT_STREQ(tarn_get_err_msg(1000), "Unknown error code");
    EXPECT_STREQ(tarn_get_err_msg(UINT32_MAX), "Unknown error code");
}

TEST_F(ErrorCodeTest, codes_have_their_numbers) {
    EXPECT_EQ(TARN_ERR_OK, 0u);
    EXPECT_EQ(TARN_ERR_EXIST, 1u);
    EXPECT_EQ(TARN_ERR_IO, 2u);
    EXPECT_EQ(TARN_ERR_INVAL, 3u);
    EXPECT_EQ(TARN_ERR_PERM, 4u);
    EXPECT_EQ(TARN_ERR_NO_FS, 5u);
    EXPECT_EQ(TARN_ERR_NOT_FOUND, 6u);
    EXPECT_EQ(TARN_ERR_NOT_DIR, 7u);
    EXPECT_EQ(TARN_ERR_DELAY, 8u);
    EXPECT_EQ(TARN_ERR_CONFLICT, 9u);
    EXPECT_EQ(TARN_ERR_SERVER_FAULT, 10u);
    EXPECT_EQ(TARN_ERR_NOT_EMPTY, 11u);
    EXPECT_EQ(TARN_ERR_BUFFER_TOO_SMALL, 12u);
    EXPECT_EQ(TARN_ERR_TOO_BIG, 13u);
    EXPECT_EQ(TARN_ERR_NO_SPACE, 14u);
    EXPECT_EQ(TARN_ERR_NOT_IMPL, 15u);
    EXPECT_EQ(TARN_ERR_FILE_TOO_LARGE, 16u);
    EXPECT_EQ(TARN_ERR_READ_ONLY, 17u);
}

TEST_F(ErrorCodeTest, whole_error_number_table) {
    // Every number the table names; all others are server faults.
    const std::map<int, tarn_err> named = {
        {0, 0},  {1, 4},   {2, 6},  {5, 2},  {7, 13},  {11, 8},  {17, 1},  {19, 5},  {20, 7}, {22, 3},
        {27, 16}, {28, 14}, {30, 17}, {34, 12}, {38, 15}, {39, 11}, {75, 13}, {78, 9}, {110, 8},
    };
    for (int e = 0; e <= 110; e++) {
        auto it = named.find(e);
        tarn_err want = it == named.end() ? 10u : it->second;
        EXPECT_EQ(posix2tarn_error(e), want) << "error number " << e;
    }
    EXPECT_EQ(posix2tarn_error(13), 10u); // EACCES is not a permission error here
    EXPECT_EQ(posix2tarn_error(111), 10u);
    EXPECT_EQ(posix2tarn_error(4096), 10u);
    EXPECT_EQ(posix2tarn_error(INT_MAX), 10u);
    EXPECT_EQ(posix2tarn_error(-1), 10u);
    EXPECT_EQ(posix2tarn_error(INT_MIN), 10u);
}

// ---------------------------------------------------------------- handles

class OpaqueHandleTest : public ::testing::Test {
  protected:
    // An MDS handle of `len` bytes: file id 0x0102030405060708, the type,
    // flags 0x01 and further bytes 0xA0, 0xA1, ...; bytes past `len` are 0xEE
    // (a server may leave anything there).
    static tarn_mds_handle make_mds_handle(uint8_t type, uint8_t len) {
        tarn_mds_handle m;
        memset(&m, 0xEE, sizeof(m));
        m.file_id = 0x0102030405060708ull;
        m.type = type;
        m.flags = 0x01;
        for (size_t i = 0; i + 10 < len; i++) m.rest[i] = uint8_t(0xA0 + i);
        m.len = len;
        return m;
    }

    // MDS attributes block with the given type and virtual disk, all else 0.
    static Bytes mds_attrs(uint16_t type, uint16_t vdisk) {
        return block_of(112, {{0, {uint8_t(type), uint8_t(type >> 8), uint8_t(vdisk), uint8_t(vdisk >> 8)}}});
    }

    static Bytes encode(const tarn_handle& h, size_t capacity = 48) {
        ExactBuf out(capacity, 0x5A);
        tarn_opaque_buf buf = {out.p, 0, capacity};
        EXPECT_EQ(tarn_handle_to_opaque(&h, &buf), 0);
        return Bytes(out.p, out.p + buf.size);
    }

    // An opaque of `len` bytes whose byte i is (i * 7 + 3), type byte 1.
    static Bytes pattern_opaque(size_t len) {
        Bytes b(len);
        for (size_t i = 0; i < len; i++) b[i] = uint8_t(i * 7 + 3);
        if (len > 10) b[10] = 1;
        return b;
    }

    static bool all_zero(const tarn_handle& h) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&h);
        for (size_t i = 0; i < sizeof(h); i++)
            if (p[i] != 0) return false;
        return true;
    }
};

TEST_F(OpaqueHandleTest, regular_file_on_vdisk_5) {
    tarn_mds_handle m = make_mds_handle(1, 16);
    Bytes attrs = mds_attrs(1, 5);
    tarn_handle h;
    tarn_handle_init(&h, &m, attrs.data());
    EXPECT_EQ(h.vdisk_id, 5);
    EXPECT_EQ(h.opaque_len, 18);
    const Bytes expected = {0x00, 0x05,                                     // vdisk, big-endian
                            0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, // file id, big-endian
                            0x01,                                           // type
                            0x01,                                           // flags
                            0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_EQ(encode(h), expected);
}

TEST_F(OpaqueHandleTest, directory_has_no_vdisk) {
    tarn_mds_handle m = make_mds_handle(2, 12);
    m.flags = 0x00;
    // The vdisk field of a directory's attributes is not looked at.
    Bytes attrs = mds_attrs(2, 7);
    tarn_handle h;
    tarn_handle_init(&h, &m, attrs.data());
    EXPECT_EQ(h.vdisk_id, 0xFFFF);
    const Bytes expected = {0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x02, 0x00, 0xA0, 0xA1};
    EXPECT_EQ(encode(h), expected);
}

TEST_F(OpaqueHandleTest, symlink_has_no_vdisk) {
    tarn_mds_handle m = make_mds_handle(5, 10);
    Bytes attrs = mds_attrs(5, 3);
    tarn_handle h;
    tarn_handle_init(&h, &m, attrs.data());
    EXPECT_EQ(h.vdisk_id, 0xFFFF);
    EXPECT_EQ(encode(h), (Bytes{0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x05, 0x01}));
}

TEST_F(OpaqueHandleTest, capacity_equal_to_length_fits_one_less_does_not) {
    tarn_mds_handle m = make_mds_handle(1, 20);
    Bytes attrs = mds_attrs(1, 0x1234);
    tarn_handle h;
    tarn_handle_init(&h, &m, attrs.data());
    ASSERT_EQ(h.opaque_len, 22);

    ExactBuf exact(22);
    tarn_opaque_buf buf = {exact.p, 0, 22};
    EXPECT_EQ(tarn_handle_to_opaque(&h, &buf), 0);
    EXPECT_EQ(buf.size, 22u);
    EXPECT_EQ(exact.p[0], 0x12);
    EXPECT_EQ(exact.p[1], 0x34);
    EXPECT_EQ(exact.p[21], 0xA9);

    ExactBuf short_buf(21, 0x77);
    tarn_opaque_buf small = {short_buf.p, 99, 21};
    EXPECT_EQ(tarn_handle_to_opaque(&h, &small), -EINVAL);
    EXPECT_EQ(small.size, 99u);
    EXPECT_EQ(short_buf.bytes(), Bytes(21, 0x77));
}

TEST_F(OpaqueHandleTest, decode_every_length_from_0_to_48) {
    for (size_t len = 0; len <= 48; len++) {
        SCOPED_TRACE(len);
        Bytes src = pattern_opaque(len);
        ExactBuf in(len);
        if (len) memcpy(in.p, src.data(), len);
        tarn_handle h;
        memset(&h, 0xCC, sizeof(h));
        int rc = tarn_handle_from_opaque(in.p, len, &h);
        if (len < 12 || len > 30) {
            EXPECT_EQ(rc, -EINVAL);
            EXPECT_TRUE(all_zero(h));
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(h.opaque_len, len);
        EXPECT_EQ(h.mds_handle.len, len - 2);
        EXPECT_EQ(h.vdisk_id, 0x030A);
        EXPECT_EQ(h.mds_handle.file_id, 0x11181F262D343B42ull);
        EXPECT_EQ(h.mds_handle.type, 1);
        EXPECT_EQ(h.mds_handle.flags, 0x50);
        // MDS handle bytes beyond those the opaque carried are zero.
        for (size_t i = len - 12; i < sizeof(h.mds_handle.rest); i++) EXPECT_EQ(h.mds_handle.rest[i], 0) << i;
        // Encoding gives back exactly the same bytes, into an exact buffer.
        EXPECT_EQ(encode(h, len), src);
    }
}

TEST_F(OpaqueHandleTest, optional_form_accepts_empty) {
    tarn_handle h;
    memset(&h, 0xCC, sizeof(h));
    EXPECT_EQ(tarn_handle_from_optional_opaque(nullptr, 0, &h), 0);
    EXPECT_TRUE(all_zero(h));

    // The data pointer is not read for length 0.
    memset(&h, 0xCC, sizeof(h));
    EXPECT_EQ(tarn_handle_from_optional_opaque(reinterpret_cast<const void*>(uintptr_t(1)), 0, &h), 0);
    EXPECT_TRUE(all_zero(h));

    for (size_t len = 1; len <= 48; len++) {
        SCOPED_TRACE(len);
        Bytes src = pattern_opaque(len);
        ExactBuf in(len);
        memcpy(in.p, src.data(), len);
        memset(&h, 0xCC, sizeof(h));
        int rc = tarn_handle_from_optional_opaque(in.p, len, &h);
        if (len < 12 || len > 30) {
            EXPECT_EQ(rc, -EINVAL);
            EXPECT_TRUE(all_zero(h));
        } else {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(encode(h, len), src);
        }
    }
}

TEST_F(OpaqueHandleTest, non_optional_form_rejects_empty_and_null) {
    tarn_handle h;
    EXPECT_EQ(tarn_handle_from_opaque(nullptr, 0, &h), -EINVAL);
    EXPECT_EQ(tarn_handle_from_opaque(nullptr, 18, &h), -EINVAL);
    EXPECT_EQ(tarn_handle_from_optional_opaque(nullptr, 18, &h), -EINVAL);
    EXPECT_TRUE(all_zero(h));
}

TEST_F(OpaqueHandleTest, empty_handle_encodes_to_nothing) {
    tarn_handle h;
    ASSERT_EQ(tarn_handle_from_optional_opaque(nullptr, 0, &h), 0);
    ExactBuf out(1, 0x33);
    tarn_opaque_buf buf = {out.p, 5, 0};
    EXPECT_EQ(tarn_handle_to_opaque(&h, &buf), 0);
    EXPECT_EQ(buf.size, 0u);
    EXPECT_EQ(out.p[0], 0x33);
}

TEST_F(OpaqueHandleTest, handle_made_by_init_round_trips) {
    for (uint8_t len = 10; len <= 28; len++) {
        SCOPED_TRACE(int(len));
        tarn_mds_handle m = make_mds_handle(1, len);
        Bytes attrs = mds_attrs(1, 0xBEEF);
        tarn_handle h;
        tarn_handle_init(&h, &m, attrs.data());
        Bytes opaque = encode(h);
        ASSERT_EQ(opaque.size(), size_t(len) + 2);
        tarn_handle back;
        ASSERT_EQ(tarn_handle_from_opaque(opaque.data(), opaque.size(), &back), 0);
        EXPECT_EQ(back.vdisk_id, 0xBEEF);
        EXPECT_EQ(back.mds_handle.file_id, m.file_id);
        EXPECT_EQ(back.mds_handle.len, len);
        EXPECT_EQ(memcmp(&back.mds_handle, &m, len), 0);
        EXPECT_EQ(encode(back), opaque);
    }
}

TEST_F(OpaqueHandleTest, xattrs_on_ds_flag_is_byte_9_of_the_mds_handle) {
    const Bytes opaque = {0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 42, 0x01, 0x01};
    tarn_handle h;
    ASSERT_EQ(tarn_handle_from_opaque(opaque.data(), opaque.size(), &h), 0);
    EXPECT_EQ(h.mds_handle.flags & TARN_MDS_HANDLE_XATTRS_ON_DS, 0x01);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&h.mds_handle)[9], 0x01);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&h.mds_handle)[0], 42); // file id little-endian in memory
}

TEST_F(OpaqueHandleTest, decode_file_info) {
    const Bytes opaque = {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x02, 0x00};
    uint64_t file_id = 0;
    tarn_file_type type = 0;
    ASSERT_EQ(tarn_decode_file_info(opaque.data(), opaque.size(), &file_id, &type), 0);
    EXPECT_EQ(file_id, 0x10203u);
    EXPECT_EQ(type, TARN_FILE_TYPE_DIRECTORY);

    file_id = 77;
    type = 99;
    EXPECT_EQ(tarn_decode_file_info(opaque.data(), 11, &file_id, &type), -EINVAL);
    EXPECT_EQ(tarn_decode_file_info(opaque.data(), 0, &file_id, &type), -EINVAL);
    EXPECT_EQ(file_id, 77u);
    EXPECT_EQ(type, 99u);

    // The opaque comes from the caller: a type no MDS hands out is a bad
    // argument, not the end of the process.
    for (uint8_t bad : {uint8_t(8), uint8_t(0xff)}) {
        Bytes odd = opaque;
        odd[10] = bad;
        EXPECT_EQ(tarn_decode_file_info(odd.data(), odd.size(), &file_id, &type), -EINVAL);
        EXPECT_EQ(file_id, 77u);
        EXPECT_EQ(type, 99u);
    }
}

using OpaqueHandleDeathTest = OpaqueHandleTest;

TEST_F(OpaqueHandleDeathTest, mds_handle_longer_than_28_bytes) {
    tarn_mds_handle m = make_mds_handle(1, 28);
    Bytes attrs = mds_attrs(1, 1);
    tarn_handle h;
    tarn_handle_init(&h, &m, attrs.data()); // 28 is still fine
    m.len = 29;
    EXPECT_DEATH(tarn_handle_init(&h, &m, attrs.data()), "BUG: .*tarn_handle\\.cpp:[0-9]+: tarn_handle_init");
}

TEST_F(OpaqueHandleDeathTest, encoding_an_overlong_handle) {
    tarn_handle h;
    memset(&h, 0, sizeof(h));
    h.opaque_len = 31;
    EXPECT_DEATH(encode(h), "BUG: .*tarn_handle_to_opaque");
}

// ---------------------------------------------------------------- conversions

class WireConversionTest : public ::testing::Test {
  protected:
    // The update values: every field set, so a conversion that copies a field
    // whose bit is clear shows.
    static tarn_attr_update full_update(uint32_t mask) {
        tarn_attr_update u;
        memset(&u, 0, sizeof(u));
        u.mask = mask;
        u.attr.type = 2;
        u.attr.inode_num = 0xDEADDEADDEADDEADull;
        u.attr.mode = 0644;
        u.attr.nlinks = 9;
        u.attr.uid = 0x11223344;
        u.attr.gid = 0x55667788;
        u.attr.size = 0x0102030405060708ull;
        u.attr.space_used = 0xEEEEEEEEEEEEEEEEull;
        u.attr.atime = 0xA1A2A3A4A5A6A7A8ull;
        u.attr.mtime = 0xB1B2B3B4B5B6B7B8ull;
        u.attr.ctime = 0xC1C2C3C4C5C6C7C8ull;
        u.attr.spare1 = 0xD1;
        u.attr.spare2 = 0xD2;
        return u;
    }

    static Bytes mds_update(uint32_t mask) {
        ExactBuf out(120, 0xEE);
        tarn_attr_update u = full_update(mask);
        tarn2mds_attr_update(&u, out.p);
        return out.bytes();
    }

    static Bytes ds_update(uint32_t mask) {
        ExactBuf out(96, 0xEE);
        tarn_attr_update u = full_update(mask);
        tarn2ds_attr_update(&u, out.p);
        return out.bytes();
    }

    static Bytes creds_block(const tarn_credentials& c, bool ds) {
        // The credentials themselves sit in exactly their own size, too.
        auto heap = std::unique_ptr<tarn_credentials, decltype(&free)>(
            static_cast<tarn_credentials*>(malloc(sizeof(tarn_credentials))), &free);
        *heap = c;
        ExactBuf out(80, 0xEE);
        if (ds)
            tarn2ds_credentials(heap.get(), out.p);
        else
            tarn2mds_credentials(heap.get(), out.p);
        return out.bytes();
    }

    // A post-op block with values 0x..11, 0x..22, 0x..33, an unread word and
    // two times whose second halves must be ignored.
    static Bytes post_op_block(uint8_t present) {
        return block_of(72, {{0, {present}},
                             {8, {0x11, 0, 0, 0, 0, 0, 0, 0x10}},
                             {16, {0x22, 0, 0, 0, 0, 0, 0, 0x20}},
                             {24, {0x33, 0, 0, 0, 0, 0, 0, 0x30}},
                             {32, {0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}},
                             {40, {0x55, 0, 0, 0, 0, 0, 0, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                             {56, {0x66, 0, 0, 0, 0, 0, 0, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}});
    }

    static tarn_post_op_data sentinel_post_op() {
        tarn_post_op_data d;
        memset(&d, 0, sizeof(d));
        d.present = 7;
        d.value1 = d.value2 = d.value3 = d.time1 = d.time2 = 0x9999;
        return d;
    }

    static void expect_post_op_values(const tarn_post_op_data& d) {
        EXPECT_EQ(d.present, 1);
        EXPECT_EQ(d.value1, 0x1000000000000011ull);
        EXPECT_EQ(d.value2, 0x2000000000000022ull);
        EXPECT_EQ(d.value3, 0x3000000000000033ull);
        EXPECT_EQ(d.time1, 0x5000000000000055ull);
        EXPECT_EQ(d.time2, 0x6000000000000066ull);
    }

    static void expect_post_op_untouched(const tarn_post_op_data& d) {
        EXPECT_EQ(d.present, 0);
        EXPECT_EQ(d.value1, 0x9999u);
        EXPECT_EQ(d.value2, 0x9999u);
        EXPECT_EQ(d.value3, 0x9999u);
        EXPECT_EQ(d.time1, 0x9999u);
        EXPECT_EQ(d.time2, 0x9999u);
    }

    static Bytes wcc_block(uint8_t pre_present, uint8_t post_present) {
        Bytes b = block_of(120, {{0, {pre_present}},
                                 {8, {0x01, 0x02, 0, 0, 0, 0, 0, 0x80}},
                                 {16, {0x03, 0x04, 0, 0, 0, 0, 0, 0x90, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                                 {32, {0x05, 0x06, 0, 0, 0, 0, 0, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}});
        Bytes post = post_op_block(post_present);
        memcpy(b.data() + 48, post.data(), post.size());
        return b;
    }

    static tarn_wcc_data sentinel_wcc() {
        tarn_wcc_data w;
        memset(&w, 0, sizeof(w));
        w.pre_present = 7;
        w.pre_value = w.pre_time1 = w.pre_time2 = 0x8888;
        w.post = sentinel_post_op();
        return w;
    }
};

TEST_F(WireConversionTest, credentials_without_groups) {
    tarn_credentials c;
    memset(&c, 0xAB, sizeof(c));
    c.uid = 0x01020304;
    c.gid = 0x0A0B0C0D;
    c.ngroups = 0;
    const Bytes expected = block_of(80, {{0, {0x04, 0x03, 0x02, 0x01}}, {4, {0x0D, 0x0C, 0x0B, 0x0A}}});
    EXPECT_EQ(creds_block(c, false), expected);
    EXPECT_EQ(creds_block(c, true), expected);
}

TEST_F(WireConversionTest, credentials_with_three_groups) {
    tarn_credentials c;
    memset(&c, 0xAB, sizeof(c));
    c.uid = 1000;
    c.gid = 100;
    c.ngroups = 3;
    c.groups[0] = 100;
    c.groups[1] = 0x12345678;
    c.groups[2] = 7;
    const Bytes expected = block_of(80, {{0, {0xE8, 0x03, 0, 0}},
                                         {4, {0x64, 0, 0, 0}},
                                         {14, {0x03, 0x00}},
                                         {16, {0x64, 0, 0, 0}},
                                         {20, {0x78, 0x56, 0x34, 0x12}},
                                         {24, {0x07, 0, 0, 0}}});
    EXPECT_EQ(creds_block(c, false), expected);
    EXPECT_EQ(creds_block(c, true), expected);
}

TEST_F(WireConversionTest, more_than_16_groups_are_cut_to_16) {
    tarn_credentials c;
    memset(&c, 0, sizeof(c));
    c.uid = 1;
    c.gid = 2;
    c.ngroups = 40;
    for (uint32_t i = 0; i < 16; i++) c.groups[i] = 0x100 + i;
    Bytes expected = block_of(80, {{0, {1, 0, 0, 0}}, {4, {2, 0, 0, 0}}, {14, {16, 0}}});
    for (size_t i = 0; i < 16; i++) expected[16 + 4 * i] = uint8_t(i), expected[17 + 4 * i] = 0x01;
    EXPECT_EQ(creds_block(c, false), expected);
    EXPECT_EQ(creds_block(c, true), expected);
}

TEST_F(WireConversionTest, mds_attributes) {
    const Bytes b = block_of(
        112, {{0, {0x02, 0x00}},
              {2, {0x09, 0x00}},
              {4, {0xFF, 0xFF, 0xFF, 0xFF}},
              {8, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
              {16, {0xED, 0x41, 0, 0}},
              {20, {0x03, 0, 0, 0}},
              {24, {0xE8, 0x03, 0, 0}},
              {28, {0xD0, 0x07, 0, 0}},
              {32, {0x05, 0, 0, 0, 0x01, 0, 0, 0}},
              {40, {0x00, 0x20, 0, 0, 0, 0, 0, 0}},
              {48, {0x01, 0, 0, 0, 0, 0, 0, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
              {64, {0x02, 0, 0, 0, 0, 0, 0, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
              {80, {0x03, 0, 0, 0, 0, 0, 0, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
              {96, {0x0A, 0x0B, 0, 0, 0, 0, 0, 0}},
              {104, {0x0C, 0x0D, 0, 0, 0, 0, 0, 0}}});
    ExactBuf in(112);
    memcpy(in.p, b.data(), 112);
    tarn_attr a;
    memset(&a, 0x5A, sizeof(a));
    mds2tarn_attributes(in.p, &a);
    EXPECT_EQ(a.type, TARN_FILE_TYPE_DIRECTORY);
    EXPECT_EQ(a.inode_num, 0x1122334455667788ull);
    EXPECT_EQ(a.mode, 040755u);
    EXPECT_EQ(a.nlinks, 3u);
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 2000u);
    EXPECT_EQ(a.size, 0x100000005ull);
    EXPECT_EQ(a.space_used, 8192u);
    EXPECT_EQ(a.atime, 0x1000000000000001ull);
    EXPECT_EQ(a.mtime, 0x2000000000000002ull);
    EXPECT_EQ(a.ctime, 0x3000000000000003ull);
    EXPECT_EQ(a.spare1, 0x0B0Au);
    EXPECT_EQ(a.spare2, 0x0D0Cu);
}

TEST_F(WireConversionTest, ds_attributes) {
    const Bytes b = block_of(
        88, {{0, {0x21, 0x43, 0x65, 0x87, 0, 0, 0, 0}},
             {8, {0xA4, 0x81, 0, 0}},
             {12, {0x02, 0, 0, 0}},
             {16, {0x0A, 0, 0, 0}},
             {20, {0x0B, 0, 0, 0}},
             {24, {0x00, 0x00, 0x10, 0, 0, 0, 0, 0}},
             {32, {0x00, 0x10, 0x10, 0, 0, 0, 0, 0}},
             {40, {0x0A, 0, 0, 0, 0, 0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
             {56, {0x0B, 0, 0, 0, 0, 0, 0, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
             {72, {0x0C, 0, 0, 0, 0, 0, 0, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}});
    ExactBuf in(88);
    memcpy(in.p, b.data(), 88);
    tarn_attr a;
    memset(&a, 0x5A, sizeof(a));
    ds2tarn_attributes(in.p, &a);
    EXPECT_EQ(a.type, TARN_FILE_TYPE_REGULAR);
    EXPECT_EQ(a.inode_num, 0x87654321ull);
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.nlinks, 2u);
    EXPECT_EQ(a.uid, 10u);
    EXPECT_EQ(a.gid, 11u);
    EXPECT_EQ(a.size, 0x100000u);
    EXPECT_EQ(a.space_used, 0x101000u);
    EXPECT_EQ(a.atime, 0x400000000000000Aull);
    EXPECT_EQ(a.mtime, 0x500000000000000Bull);
    EXPECT_EQ(a.ctime, 0x600000000000000Cull);
    EXPECT_EQ(a.spare1, 0u);
    EXPECT_EQ(a.spare2, 0u);
}

TEST_F(WireConversionTest, update_with_each_single_bit) {
    struct Row {
        uint32_t bit;
        Bytes mds_mask, ds_mask;
        size_t mds_off, ds_off;
        Bytes value; // empty for the *_NOW bits
    };
    const Bytes mode = {0xA4, 0x01, 0x00, 0x00};
    const Bytes uid = {0x44, 0x33, 0x22, 0x11};
    const Bytes gid = {0x88, 0x77, 0x66, 0x55};
    const Bytes size = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    // Times: the value, then 8 zero bytes.
    const Bytes atime = {0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes mtime = {0xB8, 0xB7, 0xB6, 0xB5, 0xB4, 0xB3, 0xB2, 0xB1, 0, 0, 0, 0, 0, 0, 0, 0};
    const Row rows[] = {
        {0x01, {0x01, 0, 0, 0}, {0x01, 0, 0, 0}, 24, 16, mode},
        {0x02, {0x02, 0, 0, 0}, {0x04, 0, 0, 0}, 32, 24, uid},
        {0x04, {0x04, 0, 0, 0}, {0x08, 0, 0, 0}, 36, 28, gid},
        {0x08, {0x08, 0, 0, 0}, {0x10, 0, 0, 0}, 40, 32, size},
        {0x10, {0x10, 0, 0, 0}, {0x20, 0, 0, 0}, 56, 48, atime},
        {0x20, {0x20, 0, 0, 0}, {0x40, 0, 0, 0}, 0, 0, {}},
        {0x40, {0x40, 0, 0, 0}, {0x80, 0, 0, 0}, 72, 64, mtime},
        {0x80, {0x80, 0, 0, 0}, {0x00, 0x01, 0, 0}, 0, 0, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bit);
        Bytes want_mds = block_of(120, {{0, r.mds_mask}});
        Bytes want_ds = block_of(96, {{0, r.ds_mask}});
        if (!r.value.empty()) {
            memcpy(want_mds.data() + r.mds_off, r.value.data(), r.value.size());
            memcpy(want_ds.data() + r.ds_off, r.value.data(), r.value.size());
        }
        EXPECT_EQ(mds_update(r.bit), want_mds);
        EXPECT_EQ(ds_update(r.bit), want_ds);
    }
    EXPECT_EQ(TARN_SET_MODE | TARN_SET_UID | TARN_SET_GID | TARN_SET_SIZE | TARN_SET_ATIME | TARN_SET_ATIME_NOW |
                  TARN_SET_MTIME | TARN_SET_MTIME_NOW,
              0xFFu);
}

TEST_F(WireConversionTest, update_with_all_bits) {
    const Bytes want_mds = block_of(120, {{0, {0xFF, 0, 0, 0}},
                                          {24, {0xA4, 0x01, 0, 0}},
                                          {32, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
                                          {40, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
                                          {56, {0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1}},
                                          {72, {0xB8, 0xB7, 0xB6, 0xB5, 0xB4, 0xB3, 0xB2, 0xB1}}});
    const Bytes want_ds = block_of(96, {{0, {0xFD, 0x01, 0, 0}},
                                        {16, {0xA4, 0x01, 0, 0}},
                                        {24, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
                                        {32, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
                                        {48, {0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1}},
                                        {64, {0xB8, 0xB7, 0xB6, 0xB5, 0xB4, 0xB3, 0xB2, 0xB1}}});
    EXPECT_EQ(mds_update(0xFF), want_mds);
    EXPECT_EQ(ds_update(0xFF), want_ds);
    // Unknown bits are dropped.
    EXPECT_EQ(mds_update(0xFFFFFFFF), want_mds);
    EXPECT_EQ(ds_update(0xFFFFFFFF), want_ds);
}

TEST_F(WireConversionTest, update_without_known_bits_is_all_zero) {
    EXPECT_EQ(mds_update(0), Bytes(120, 0));
    EXPECT_EQ(ds_update(0), Bytes(96, 0));
    EXPECT_EQ(mds_update(0xFFFFFF00), Bytes(120, 0));
    EXPECT_EQ(ds_update(0xFFFFFF00), Bytes(96, 0));
}

TEST_F(WireConversionTest, post_op_present) {
    for (bool ds : {false, true}) {
        // Only bit 0 of the present byte counts.
        for (uint8_t present : {uint8_t(0x01), uint8_t(0x03)}) {
            Bytes b = post_op_block(present);
            ExactBuf in(72);
            memcpy(in.p, b.data(), 72);
            tarn_post_op_data d = sentinel_post_op();
            if (ds)
                ds2tarn_post_op_wcc_data(in.p, &d);
            else
                mds2tarn_post_op_wcc_data(in.p, &d);
            expect_post_op_values(d);
        }
    }
}

TEST_F(WireConversionTest, post_op_absent_leaves_values) {
    for (bool ds : {false, true}) {
        for (uint8_t present : {uint8_t(0x00), uint8_t(0xFE)}) {
            Bytes b = post_op_block(present);
            tarn_post_op_data d = sentinel_post_op();
            if (ds)
                ds2tarn_post_op_wcc_data(b.data(), &d);
            else
                mds2tarn_post_op_wcc_data(b.data(), &d);
            expect_post_op_untouched(d);
        }
    }
}

TEST_F(WireConversionTest, wcc_present_and_absent) {
    for (bool ds : {false, true}) {
        SCOPED_TRACE(ds);
        auto convert = [ds](const Bytes& b) {
            ExactBuf in(120);
            memcpy(in.p, b.data(), 120);
            tarn_wcc_data w = sentinel_wcc();
            if (ds)
                ds2tarn_wcc_data(in.p, &w);
            else
                mds2tarn_wcc_data(in.p, &w);
            return w;
        };

        tarn_wcc_data both = convert(wcc_block(1, 1));
        EXPECT_EQ(both.pre_present, 1);
        EXPECT_EQ(both.pre_value, 0x8000000000000201ull);
        EXPECT_EQ(both.pre_time1, 0x9000000000000403ull);
        EXPECT_EQ(both.pre_time2, 0xA000000000000605ull);
        expect_post_op_values(both.post);

        tarn_wcc_data post_only = convert(wcc_block(0, 1));
        EXPECT_EQ(post_only.pre_present, 0);
        EXPECT_EQ(post_only.pre_value, 0x8888u);
        EXPECT_EQ(post_only.pre_time1, 0x8888u);
        EXPECT_EQ(post_only.pre_time2, 0x8888u);
        expect_post_op_values(post_only.post);

        tarn_wcc_data pre_only = convert(wcc_block(1, 0));
        EXPECT_EQ(pre_only.pre_present, 1);
        EXPECT_EQ(pre_only.pre_value, 0x8000000000000201ull);
        expect_post_op_untouched(pre_only.post);

        tarn_wcc_data none = convert(wcc_block(0, 0));
        EXPECT_EQ(none.pre_present, 0);
        EXPECT_EQ(none.pre_value, 0x8888u);
        expect_post_op_untouched(none.post);
    }
}

TEST_F(WireConversionTest, modes_and_types_pass_unchanged) {
    for (uint32_t m = 1; m <= 3; m++) EXPECT_EQ(tarn2mds_create_mode(m), m);
    for (uint32_t m = 0; m <= 2; m++) {
        EXPECT_EQ(tarn2mds_setxattr_mode(m), m);
        EXPECT_EQ(tarn2ds_setxattr_mode(m), m);
    }
    for (uint32_t t = 0; t <= 7; t++) EXPECT_EQ(mds2tarn_file_type(t), t);
}

using WireConversionDeathTest = WireConversionTest;

TEST_F(WireConversionDeathTest, file_type_above_7) {
    EXPECT_DEATH(mds2tarn_file_type(8), "BUG: .*tarn_client_conv\\.cpp:[0-9]+: mds2tarn_file_type");
    Bytes b = block_of(112, {{0, {0x08, 0x00}}});
    tarn_attr a;
    EXPECT_DEATH(mds2tarn_attributes(b.data(), &a), "BUG: .*mds2tarn_file_type");
}

TEST_F(WireConversionDeathTest, create_mode_outside_1_to_3) {
    EXPECT_DEATH(tarn2mds_create_mode(0), "BUG: tarn_client_conv:[0-9]+: tarn2mds_create_mode");
    EXPECT_DEATH(tarn2mds_create_mode(4), "BUG: tarn_client_conv:[0-9]+: tarn2mds_create_mode");
}

TEST_F(WireConversionDeathTest, set_xattr_mode_above_2) {
    EXPECT_DEATH(tarn2mds_setxattr_mode(3), "BUG: tarn_client_conv:[0-9]+: tarn2mds_setxattr_mode");
    EXPECT_DEATH(tarn2ds_setxattr_mode(3), "BUG: tarn_client_conv:[0-9]+: tarn2ds_setxattr_mode");
}
