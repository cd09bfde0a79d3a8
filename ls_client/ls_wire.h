// The lock service's messages: types, the common header, the fixed offsets of
// every request and reply, and bounds-checked field access.
//
// One codec for both directions: the lock client builds requests and reads
// replies with these definitions, and the local cluster's lock server reads
// requests and builds replies with the same ones. Header only; depends on the
// C library. All integers little-endian, offsets from the first byte of the
// message.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------- little-endian access
static inline void ls_wire_put_u8(uint8_t* p, size_t off, uint8_t v) { p[off] = v; }
static inline void ls_wire_put_u16(uint8_t* p, size_t off, uint16_t v) {
    p[off] = (uint8_t)v;
    p[off + 1] = (uint8_t)(v >> 8);
}
static inline void ls_wire_put_u32(uint8_t* p, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++) p[off + i] = (uint8_t)(v >> (8 * i));
}
static inline void ls_wire_put_u64(uint8_t* p, size_t off, uint64_t v) {
    for (int i = 0; i < 8; i++) p[off + i] = (uint8_t)(v >> (8 * i));
}
static inline uint8_t ls_wire_get_u8(const uint8_t* p, size_t off) { return p[off]; }
static inline uint16_t ls_wire_get_u16(const uint8_t* p, size_t off) {
    return (uint16_t)(p[off] | (p[off + 1] << 8));
}
static inline uint32_t ls_wire_get_u32(const uint8_t* p, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[off + i];
    return v;
}
static inline uint64_t ls_wire_get_u64(const uint8_t* p, size_t off) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[off + i];
    return v;
}

// True when [off, off + width) lies inside a message of `len` bytes, without
// overflow for any peer-given `off` and `width`.
static inline bool ls_wire_fits(uint64_t len, uint64_t off, uint64_t width) {
    return off <= len && width <= len - off;
}

// ---------------------------------------------------------------- message types
// A reply's type is the request's + 1.
enum ls_msg_type : uint32_t {
    LS_MSG_TEST = 0x2004,
    LS_MSG_TAKE = 0x2006,
    LS_MSG_CANCEL = 0x2008,
    LS_MSG_FREE = 0x200A,
    LS_MSG_SHARE_TAKE = 0x200E,
    LS_MSG_SHARE_FREE = 0x2010,
    LS_MSG_FREE_ALL = 0x2012,
    LS_MSG_BLOCKING_TAKE = 0x2014,
    LS_MSG_CTRL_SEARCH = 0x2064,
    LS_MSG_CTRL_REMOVE = 0x2066,
};

// Largest message in either direction (the endpoint's limit).
constexpr uint32_t LS_MAX_MSG = 122880;

// ---------------------------------------------------------------- common header
constexpr size_t LS_HDR_LENGTH = 0x00;  // u32 whole message in bytes
constexpr size_t LS_HDR_TYPE = 0x04;    // u32 ls_msg_type (reply: + 1)
constexpr size_t LS_HDR_XID = 0x08;     // 16 bytes, written by the transport at send
constexpr size_t LS_HDR_VERSION = 0x18; // u64 in requests, u32 in replies
constexpr uint64_t LS_WIRE_VERSION = 2;
constexpr size_t LS_HDR_BYTES = 0x20;

// Reply header: the server's handling error (0 = handled, else a positive
// errno) and the status (ls_stats for lock requests).
constexpr size_t LS_REPLY_HANDLING_ERR = 0x1C; // u32
constexpr size_t LS_REPLY_STATUS = 0x20;       // u32
constexpr size_t LS_REPLY_MIN_BYTES = 0x20;    // shorter replies are refused by the client
constexpr size_t LS_REPLY_STATUS_BYTES = 0x28; // a status-only reply

// ---------------------------------------------------------------- byte-range requests
// Test, cancel and free: length LS_BR_NAME_AT + N (N = name length with its NUL).
// Take and blocking take extend the same prefix.
constexpr size_t LS_BR_NAME_LEN = 0x20;  // u32 N
constexpr size_t LS_BR_NAME_OFF = 0x24;  // u32 offset of the caller name
constexpr size_t LS_BR_ADDR = 0x28;      // 24-byte owner address
constexpr size_t LS_BR_FS_ID = 0x40;     // u64
constexpr size_t LS_BR_FH = 0x48;        // u64
constexpr size_t LS_BR_OWNER_ID = 0x50;  // u64
constexpr size_t LS_BR_START = 0x58;     // u64
constexpr size_t LS_BR_LEN = 0x60;       // u64
constexpr size_t LS_BR_TYPE = 0x68;      // u32 1 read, 2 write
constexpr size_t LS_BR_FLAVOUR = 0x6C;   // u32 1 POSIX, 2 Windows
constexpr size_t LS_BR_PAD = 0x70;       // u8 0 (test, cancel, free)
constexpr size_t LS_BR_NAME_AT = 0x78;   // the name, in test, cancel and free

// Take (0x2006): name at LS_TAKE_TAGS + 8n, item bytes after the name.
constexpr size_t LS_TAKE_CALLER_ID = 0x70; // u32
constexpr size_t LS_TAKE_NR_ITEMS = 0x74;  // u8 n
constexpr size_t LS_TAKE_TAGS = 0x78;      // n tags

// Blocking take (0x2014): name at LS_BTAKE_TAGS + 8n.
constexpr size_t LS_BTAKE_WAITER = 0x70;    // 24-byte waiter address
constexpr size_t LS_BTAKE_CALLER_ID = 0x88; // u32
constexpr size_t LS_BTAKE_NR_ITEMS = 0x8C;  // u8 n
constexpr size_t LS_BTAKE_TAGS = 0x90;

// One opaque-item tag, in requests and in the test reply.
constexpr size_t LS_TAG_LEN = 0x0; // u32 byte count
constexpr size_t LS_TAG_OFF = 0x4; // u32 offset of the bytes from the message start
constexpr size_t LS_TAG_BYTES = 8;
// The item count travels in one byte.
constexpr uint32_t LS_MAX_ITEMS = 255;

// ---------------------------------------------------------------- share-mode requests
// Share take (0x200E) and share free (0x2010): length LS_SHARE_NAME_AT + N + H.
constexpr size_t LS_SHARE_NAME_LEN = 0x20;   // u32 N
constexpr size_t LS_SHARE_NAME_OFF = 0x24;   // u32 offset of the caller name
constexpr size_t LS_SHARE_ADDR = 0x28;       // 24-byte owner address
constexpr size_t LS_SHARE_UNUSED = 0x40;     // 8 bytes, not written (no fs_id)
constexpr size_t LS_SHARE_FH = 0x48;         // u64
constexpr size_t LS_SHARE_HANDLE_LEN = 0x50; // u32 H
constexpr size_t LS_SHARE_HANDLE_OFF = 0x54; // u32 offset of the handle bytes
constexpr size_t LS_SHARE_MODE = 0x58;       // u32 access denied to others
constexpr size_t LS_SHARE_ACCESS = 0x5C;     // u32 access asked for
constexpr size_t LS_SHARE_PAD = 0x60;        // u8 0
constexpr size_t LS_SHARE_NAME_AT = 0x68;

// ---------------------------------------------------------------- free all (0x2012)
constexpr size_t LS_FREE_ALL_CALLER_ID = 0x20; // u32
constexpr size_t LS_FREE_ALL_NAME_LEN = 0x24;  // u32 N
constexpr size_t LS_FREE_ALL_NAME_OFF = 0x28;  // u32 offset of the caller name
constexpr size_t LS_FREE_ALL_NAME_AT = 0x30;

// ---------------------------------------------------------------- control search (0x2064)
constexpr size_t LS_SEARCH_FLAGS = 0x20;      // u32, LS_SEARCH_FILTER_FH or 0
constexpr size_t LS_SEARCH_FH = 0x28;         // u64
constexpr size_t LS_SEARCH_FLAVOUR = 0x30;    // u32
constexpr size_t LS_SEARCH_MAX_COUNT = 0x34;  // u32 largest number of locks to return
constexpr size_t LS_SEARCH_COOKIE_LEN = 0x38; // u32 0 without cookie
constexpr size_t LS_SEARCH_COOKIE_OFF = 0x3C; // u32 0 without cookie
constexpr size_t LS_SEARCH_COOKIE_AT = 0x40;
constexpr uint32_t LS_SEARCH_FILTER_FH = 1;

// Control search reply.
constexpr size_t LS_SRCH_R_COUNT = 0x24;      // u32 number of entries
constexpr size_t LS_SRCH_R_HAS_MORE = 0x28;   // u32
constexpr size_t LS_SRCH_R_ENTRIES_OFF = 0x30; // u32 offset of the first entry
constexpr size_t LS_SRCH_R_COOKIE_LEN = 0x34; // u32
constexpr size_t LS_SRCH_R_COOKIE_OFF = 0x38; // u32
constexpr size_t LS_SRCH_R_BYTES = 0x40;      // the fixed part; entries follow

// One search entry, at entries offset + LS_SRCH_ENTRY_BYTES * i.
constexpr size_t LS_SRCH_ENTRY_BYTES = 120;
constexpr size_t LS_SRCH_E_REF32 = 0x00;     // u32 lock_ref32
constexpr size_t LS_SRCH_E_REF64 = 0x08;     // u64 lock_ref64
constexpr size_t LS_SRCH_E_NAME_LEN = 0x10;  // u32 N (not read by the client)
constexpr size_t LS_SRCH_E_NAME_OFF = 0x14;  // u32 offset of the NUL-terminated caller name
constexpr size_t LS_SRCH_E_ADDR = 0x18;      // 24-byte owner address
constexpr size_t LS_SRCH_E_FS_ID = 0x30;     // u64 (not read by the client)
constexpr size_t LS_SRCH_E_FH = 0x38;        // u64
constexpr size_t LS_SRCH_E_OWNER_ID = 0x40;  // u64
constexpr size_t LS_SRCH_E_START = 0x48;     // u64
constexpr size_t LS_SRCH_E_LEN = 0x50;       // u64
constexpr size_t LS_SRCH_E_TYPE = 0x58;      // u32
constexpr size_t LS_SRCH_E_FLAVOUR = 0x5C;   // u32
constexpr size_t LS_SRCH_E_CALLER_ID = 0x60; // u32
constexpr size_t LS_SRCH_E_AUX_U16 = 0x64;   // u16
constexpr size_t LS_SRCH_E_AUX_U64_A = 0x68; // u64
constexpr size_t LS_SRCH_E_AUX_U64_B = 0x70; // u64

// ---------------------------------------------------------------- control remove (0x2066)
constexpr size_t LS_REMOVE_REF32 = 0x20;   // u32
constexpr size_t LS_REMOVE_REF64 = 0x28;   // u64
constexpr size_t LS_REMOVE_FLAVOUR = 0x30; // u32
constexpr size_t LS_REMOVE_BYTES = 0x38;

// ---------------------------------------------------------------- test reply
// Status 0 (could be granted) or 1 (conflict); the holder's fields only on a
// conflict.
constexpr size_t LS_TEST_R_OWNER_ID = 0x58; // u64
constexpr size_t LS_TEST_R_START = 0x60;    // u64
constexpr size_t LS_TEST_R_LEN = 0x68;      // u64
constexpr size_t LS_TEST_R_TYPE = 0x70;     // u32
constexpr size_t LS_TEST_R_NR_ITEMS = 0x78; // u8
constexpr size_t LS_TEST_R_TAGS = 0x7C;     // tags {u32 len, u32 offset}
constexpr size_t LS_TEST_R_BYTES = 0x80;    // the fixed part a server always sends
