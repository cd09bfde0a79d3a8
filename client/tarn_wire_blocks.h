// Byte layouts of the fixed-size blocks that Tarn MDS and DS messages carry,
// and of the opaque object handle that callers hold.
//
// The client converts public records to and from these blocks; servers (the
// simulated ones included) build and read the same blocks with the same
// constants and helpers, so both sides agree byte for byte. All wire integers
// are little-endian; only the opaque handle stores its numbers big-endian.
// Header only, no dependency beyond the C library.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------- byte order
// Unaligned accessors: blocks sit at arbitrary offsets inside messages.

static inline void tarn_wire_put_u8(uint8_t* p, size_t off, uint8_t v) { p[off] = v; }

static inline void tarn_wire_put_u16(uint8_t* p, size_t off, uint16_t v) {
    p[off] = uint8_t(v);
    p[off + 1] = uint8_t(v >> 8);
}

static inline void tarn_wire_put_u32(uint8_t* p, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++) p[off + i] = uint8_t(v >> (8 * i));
}

static inline void tarn_wire_put_u64(uint8_t* p, size_t off, uint64_t v) {
    for (int i = 0; i < 8; i++) p[off + i] = uint8_t(v >> (8 * i));
}

static inline uint8_t tarn_wire_get_u8(const uint8_t* p, size_t off) { return p[off]; }

static inline uint16_t tarn_wire_get_u16(const uint8_t* p, size_t off) {
    return uint16_t(p[off] | (p[off + 1] << 8));
}

static inline uint32_t tarn_wire_get_u32(const uint8_t* p, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[off + i];
    return v;
}

static inline uint64_t tarn_wire_get_u64(const uint8_t* p, size_t off) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[off + i];
    return v;
}

// Big-endian forms, used only by the opaque handle.
static inline void tarn_be_put_u16(uint8_t* p, size_t off, uint16_t v) {
    p[off] = uint8_t(v >> 8);
    p[off + 1] = uint8_t(v);
}

static inline void tarn_be_put_u64(uint8_t* p, size_t off, uint64_t v) {
    for (int i = 0; i < 8; i++) p[off + i] = uint8_t(v >> (56 - 8 * i));
}

static inline uint16_t tarn_be_get_u16(const uint8_t* p, size_t off) {
    return uint16_t((p[off] << 8) | p[off + 1]);
}

static inline uint64_t tarn_be_get_u64(const uint8_t* p, size_t off) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[off + i];
    return v;
}

// A wire time is 16 bytes; the client keeps and sends only the first 8 (a
// little-endian u64), the other 8 are zero when the client writes one.
constexpr size_t TARN_WIRE_TIME_BYTES = 16;

static inline void tarn_wire_put_time(uint8_t* p, size_t off, uint64_t t) {
    tarn_wire_put_u64(p, off, t);
    memset(p + off + 8, 0, 8);
}

static inline uint64_t tarn_wire_get_time(const uint8_t* p, size_t off) { return tarn_wire_get_u64(p, off); }

// ---------------------------------------------------------------- credentials
// 80 bytes, identical in MDS and DS requests.
constexpr size_t TARN_WIRE_CREDS_BYTES = 80;
constexpr size_t TARN_WIRE_CREDS_UID = 0;      // u32
constexpr size_t TARN_WIRE_CREDS_GID = 4;      // u32
constexpr size_t TARN_WIRE_CREDS_RESERVED = 8; // 6 zero bytes
constexpr size_t TARN_WIRE_CREDS_NGROUPS = 14; // u16
constexpr size_t TARN_WIRE_CREDS_GROUPS = 16;  // TARN_WIRE_CREDS_MAX_GROUPS x u32
constexpr size_t TARN_WIRE_CREDS_MAX_GROUPS = 16;
static_assert(TARN_WIRE_CREDS_GROUPS + 4 * TARN_WIRE_CREDS_MAX_GROUPS == TARN_WIRE_CREDS_BYTES);

// ---------------------------------------------------------------- MDS attributes
// 112 bytes, inside MDS replies and (partly filled) inside MDS update blocks.
constexpr size_t TARN_MDS_ATTR_BYTES = 112;
constexpr size_t TARN_MDS_ATTR_TYPE = 0;        // u16, file type 0..7
constexpr size_t TARN_MDS_ATTR_VDISK_ID = 2;    // u16, meaningful for regular files
constexpr size_t TARN_MDS_ATTR_RESERVED = 4;    // 4 bytes, not read
constexpr size_t TARN_MDS_ATTR_INODE_NUM = 8;   // u64
constexpr size_t TARN_MDS_ATTR_MODE = 16;       // u32
constexpr size_t TARN_MDS_ATTR_NLINKS = 20;     // u32
constexpr size_t TARN_MDS_ATTR_UID = 24;        // u32
constexpr size_t TARN_MDS_ATTR_GID = 28;        // u32
constexpr size_t TARN_MDS_ATTR_SIZE = 32;       // u64 (file size)
constexpr size_t TARN_MDS_ATTR_SPACE_USED = 40; // u64
constexpr size_t TARN_MDS_ATTR_ATIME = 48;      // wire time
constexpr size_t TARN_MDS_ATTR_MTIME = 64;      // wire time
constexpr size_t TARN_MDS_ATTR_CTIME = 80;      // wire time
constexpr size_t TARN_MDS_ATTR_SPARE1 = 96;     // u64
constexpr size_t TARN_MDS_ATTR_SPARE2 = 104;    // u64
static_assert(TARN_MDS_ATTR_SPARE2 + 8 == TARN_MDS_ATTR_BYTES);

// ---------------------------------------------------------------- DS attributes
// 88 bytes, inside DS replies and (partly filled) inside DS update blocks.
constexpr size_t TARN_DS_ATTR_BYTES = 88;
constexpr size_t TARN_DS_ATTR_INODE_NUM = 0;   // u64
constexpr size_t TARN_DS_ATTR_MODE = 8;        // u32
constexpr size_t TARN_DS_ATTR_NLINKS = 12;     // u32
constexpr size_t TARN_DS_ATTR_UID = 16;        // u32
constexpr size_t TARN_DS_ATTR_GID = 20;        // u32
constexpr size_t TARN_DS_ATTR_SIZE = 24;       // u64 (file size)
constexpr size_t TARN_DS_ATTR_SPACE_USED = 32; // u64
constexpr size_t TARN_DS_ATTR_ATIME = 40;      // wire time
constexpr size_t TARN_DS_ATTR_MTIME = 56;      // wire time
constexpr size_t TARN_DS_ATTR_CTIME = 72;      // wire time
static_assert(TARN_DS_ATTR_CTIME + TARN_WIRE_TIME_BYTES == TARN_DS_ATTR_BYTES);

// ---------------------------------------------------------------- update blocks
// MDS update: u32 mask, 4 zero bytes, an MDS attributes block of which only
// mode, uid, gid, size, atime and mtime are filled.
constexpr size_t TARN_MDS_UPDATE_BYTES = 120;
constexpr size_t TARN_MDS_UPDATE_MASK = 0;
constexpr size_t TARN_MDS_UPDATE_ATTR = 8;
static_assert(TARN_MDS_UPDATE_ATTR + TARN_MDS_ATTR_BYTES == TARN_MDS_UPDATE_BYTES);

// DS update: u32 mask, 4 zero bytes, a DS attributes block filled likewise.
constexpr size_t TARN_DS_UPDATE_BYTES = 96;
constexpr size_t TARN_DS_UPDATE_MASK = 0;
constexpr size_t TARN_DS_UPDATE_ATTR = 8;
static_assert(TARN_DS_UPDATE_ATTR + TARN_DS_ATTR_BYTES == TARN_DS_UPDATE_BYTES);

// Mask bits of the MDS update block (the same values as the public TARN_SET_*).
enum : uint32_t {
    TARN_MDS_SET_MODE = 0x1,
    TARN_MDS_SET_UID = 0x2,
    TARN_MDS_SET_GID = 0x4,
    TARN_MDS_SET_SIZE = 0x8,
    TARN_MDS_SET_ATIME = 0x10,
    TARN_MDS_SET_ATIME_NOW = 0x20,
    TARN_MDS_SET_MTIME = 0x40,
    TARN_MDS_SET_MTIME_NOW = 0x80,
};

// Mask bits of the DS update block: the DS leaves 0x2 unused, so everything
// after the mode sits one place higher than on the MDS.
enum : uint32_t {
    TARN_DS_SET_MODE = 0x1,
    TARN_DS_SET_UID = 0x4,
    TARN_DS_SET_GID = 0x8,
    TARN_DS_SET_SIZE = 0x10,
    TARN_DS_SET_ATIME = 0x20,
    TARN_DS_SET_ATIME_NOW = 0x40,
    TARN_DS_SET_MTIME = 0x80,
    TARN_DS_SET_MTIME_NOW = 0x100,
};

// ---------------------------------------------------------------- post-op and wcc
// Bit 0 of a present byte says the data after it is valid.
constexpr uint8_t TARN_WIRE_PRESENT = 0x1;

// Post-operation block, 72 bytes, MDS and DS alike.
constexpr size_t TARN_POST_OP_BYTES = 72;
constexpr size_t TARN_POST_OP_PRESENT = 0; // u8
constexpr size_t TARN_POST_OP_VALUE1 = 8;  // u64
constexpr size_t TARN_POST_OP_VALUE2 = 16; // u64
constexpr size_t TARN_POST_OP_VALUE3 = 24; // u64
constexpr size_t TARN_POST_OP_VALUE4 = 32; // u64, carried by servers, not read
constexpr size_t TARN_POST_OP_TIME1 = 40;  // wire time
constexpr size_t TARN_POST_OP_TIME2 = 56;  // wire time
static_assert(TARN_POST_OP_TIME2 + TARN_WIRE_TIME_BYTES == TARN_POST_OP_BYTES);

// Weak-cache-consistency block, 120 bytes, MDS and DS alike.
constexpr size_t TARN_WCC_BYTES = 120;
constexpr size_t TARN_WCC_PRE_PRESENT = 0; // u8
constexpr size_t TARN_WCC_PRE_VALUE = 8;   // u64
constexpr size_t TARN_WCC_PRE_TIME1 = 16;  // wire time
constexpr size_t TARN_WCC_PRE_TIME2 = 32;  // wire time
constexpr size_t TARN_WCC_POST = 48;       // post-operation block
static_assert(TARN_WCC_POST + TARN_POST_OP_BYTES == TARN_WCC_BYTES);

// ---------------------------------------------------------------- MDS file handle
// 32 bytes, as MDS messages carry it. The file id is little-endian on the
// wire like every other MDS number.
constexpr size_t TARN_MDS_HANDLE_BYTES = 32;
constexpr size_t TARN_MDS_HANDLE_FILE_ID = 0; // u64
constexpr size_t TARN_MDS_HANDLE_TYPE = 8;    // u8, file type 0..7
constexpr size_t TARN_MDS_HANDLE_FLAGS = 9;   // u8, TARN_MDS_HANDLE_XATTRS_ON_DS
constexpr size_t TARN_MDS_HANDLE_LENGTH = 31; // u8, bytes of the handle in use
constexpr size_t TARN_MDS_HANDLE_MAX_LEN = 28;
// A handle always holds the file id, the type and the flags.
constexpr size_t TARN_MDS_HANDLE_MIN_LEN = 10;
constexpr uint8_t TARN_MDS_HANDLE_XATTRS_ON_DS = 0x1;
// File types are numbered 0..7; the MDS's 8- and 16-bit type fields use the
// same numbers.
constexpr uint32_t TARN_MDS_MAX_FILE_TYPE = 7;

// ---------------------------------------------------------------- opaque handle
// What callers store: the virtual disk, then the first MDS-length bytes of the
// MDS handle, with vdisk id and file id big-endian. Its length is the MDS
// handle length + 2.
constexpr size_t TARN_OPAQUE_VDISK_ID = 0; // u16 big-endian
constexpr size_t TARN_OPAQUE_FILE_ID = 2;  // u64 big-endian
constexpr size_t TARN_OPAQUE_TYPE = 10;    // u8
constexpr size_t TARN_OPAQUE_FLAGS = 11;   // u8
constexpr size_t TARN_OPAQUE_REST = 12;    // remaining MDS handle bytes, unchanged
constexpr size_t TARN_OPAQUE_MIN_LEN = TARN_MDS_HANDLE_MIN_LEN + 2; // 12
constexpr size_t TARN_OPAQUE_MAX_LEN = TARN_MDS_HANDLE_MAX_LEN + 2; // 30
// The capacity callers give for an output handle.
constexpr size_t TARN_OPAQUE_BUF_BYTES = 48;

// Virtual-disk id of objects that live on the MDS only.
constexpr uint16_t TARN_VDISK_ID_NONE = 0xFFFF;
