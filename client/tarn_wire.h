// The framing of Tarn MDS and DS messages: header layouts, message types,
// status codes with their texts and error numbers, and the fixed offsets of
// each request and reply.
//
// One codec for both directions: the client builds requests and reads reply
// headers with these helpers, and the simulated servers read request headers
// and build replies with the same ones. Header only (the servers do not link
// the client library); depends on tarn_wire_blocks.h and the C library.
// All integers little-endian.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "client/tarn_wire_blocks.h"

// ---------------------------------------------------------------- frame
// The first 24 bytes belong to the transport; every Tarn message has them.
constexpr size_t TARN_MSG_LENGTH = 0; // u32 whole message in bytes
constexpr size_t TARN_MSG_TYPE = 4;   // u32; a request is even, its reply is type + 1
constexpr size_t TARN_MSG_XID = 8;    // 16 bytes, written by the transport at every send
constexpr size_t TARN_MSG_XID_BYTES = 16;

// Every request carries this version.
constexpr uint64_t TARN_WIRE_VERSION = 2;
// Request flags: bit 0 marks a request re-sent after "epoch unknown".
constexpr uint32_t TARN_REQ_FLAG_EPOCH_RESEND = 0x1;

// ---------------------------------------------------------------- MDS request header
constexpr size_t TARN_MDS_REQ_VERSION = 24;   // u64, TARN_WIRE_VERSION
constexpr size_t TARN_MDS_REQ_CLIENT_ID = 32; // u64
constexpr size_t TARN_MDS_REQ_EPOCH = 40;     // u32
constexpr size_t TARN_MDS_REQ_FLAGS = 44;     // u32, TARN_REQ_FLAG_*
constexpr size_t TARN_MDS_REQ_CREDS = 48;     // wire credentials block, or 80 zero bytes
constexpr size_t TARN_MDS_REQ_FS_ID = 128;    // u64, written by the client at every send
constexpr size_t TARN_MDS_REQ_HDR_BYTES = 136;
static_assert(TARN_MDS_REQ_CREDS + TARN_WIRE_CREDS_BYTES == TARN_MDS_REQ_FS_ID);

// ---------------------------------------------------------------- DS request header
// Every DS message's length is a multiple of TARN_DS_MSG_ALIGN; the bytes
// after the request's own fields are zero padding.
constexpr size_t TARN_DS_REQ_CLIENT_ID = 24; // u64
constexpr size_t TARN_DS_REQ_EPOCH = 32;     // u32
constexpr size_t TARN_DS_REQ_FLAGS = 36;     // u32, TARN_REQ_FLAG_*
constexpr size_t TARN_DS_REQ_VERSION = 40;   // u64, TARN_WIRE_VERSION
constexpr size_t TARN_DS_REQ_HDR_BYTES = 48; // requests without the file part put their fields here
// The file part of DS file requests.
constexpr size_t TARN_DS_REQ_LOCATION_TOKEN = 48; // u64, from the virtual-disk map
constexpr size_t TARN_DS_REQ_FILE_ID = 56;        // u64
constexpr size_t TARN_DS_REQ_CREDS = 64;          // wire credentials block
constexpr size_t TARN_DS_FILE_REQ_HDR_BYTES = 144;
static_assert(TARN_DS_REQ_CREDS + TARN_WIRE_CREDS_BYTES == TARN_DS_FILE_REQ_HDR_BYTES);
constexpr uint32_t TARN_DS_MSG_ALIGN = 512;

static inline uint64_t tarn_ds_round_len(uint64_t len) {
    return (len + TARN_DS_MSG_ALIGN - 1) / TARN_DS_MSG_ALIGN * TARN_DS_MSG_ALIGN;
}

// ---------------------------------------------------------------- reply header
// MDS and DS alike; every reply is at least TARN_REPLY_HDR_BYTES long.
constexpr size_t TARN_REPLY_STATUS = 24; // u32, 0 = success
constexpr size_t TARN_REPLY_RESERVED = 28;
constexpr size_t TARN_REPLY_HDR_BYTES = 32;

// ---------------------------------------------------------------- largest messages
constexpr uint32_t TARN_MDS_MAX_MSG = 263168;
constexpr uint32_t TARN_DS_MAX_MSG = 4194816; // 4 MiB of data and one 512-byte header

// ---------------------------------------------------------------- MDS message types
// Request types; the reply is the type + 1.
enum : uint32_t {
    TARN_MDS_NOOP = 4202,
    TARN_MDS_LOOKUP = 4204,
    TARN_MDS_READDIR = 4206,
    TARN_MDS_READLINK = 4208,
    TARN_MDS_GET_ATTRS = 4210,
    TARN_MDS_SET_ATTRS = 4212,
    TARN_MDS_CREATE_FILE = 4216,
    TARN_MDS_MKDIR = 4218,
    TARN_MDS_LINK = 4220,
    TARN_MDS_SYMLINK = 4222,
    TARN_MDS_RENAME = 4224,
    TARN_MDS_REMOVE = 4226,
    TARN_MDS_GET_FS_INFO = 4230,
    TARN_MDS_GET_VDISK_MAP = 4232,
    TARN_MDS_REPORT_VDISK = 4234,
    TARN_MDS_LIST_XATTRS = 4236,
    TARN_MDS_GET_XATTR = 4238,
    TARN_MDS_SET_XATTR = 4240,
    TARN_MDS_REMOVE_XATTR = 4242,
    TARN_MDS_TEST = 4244,
};

// ---------------------------------------------------------------- MDS request fields
// Offsets from the start of the request. "Name" fields are NUL-terminated
// and carried with their zero; a request's length is exactly the sum of its
// fields, so the fixed lengths below plus the name lengths (without zero).
constexpr size_t TARN_MDS_NOOP_REQ_BYTES = 136;

// The longest name of one directory entry and the longest extended
// attribute name, the zero not counted. Lookup paths may be longer.
constexpr size_t TARN_MDS_NAME_MAX = 255;

constexpr size_t TARN_MDS_LOOKUP_DIR = 136; // MDS handle
constexpr size_t TARN_MDS_LOOKUP_NAME = 168;
constexpr size_t TARN_MDS_LOOKUP_REQ_BYTES = 169; // + name length

constexpr size_t TARN_MDS_READDIR_DIR = 136;
constexpr size_t TARN_MDS_READDIR_COOKIE = 168;    // u64, 0 = from the start
constexpr size_t TARN_MDS_READDIR_MAX_REPLY = 176; // u64
constexpr size_t TARN_MDS_READDIR_REQ_BYTES = 184;

constexpr size_t TARN_MDS_READLINK_HANDLE = 136;
constexpr size_t TARN_MDS_READLINK_REQ_BYTES = 168;

constexpr size_t TARN_MDS_GET_ATTRS_HANDLE = 136;
constexpr size_t TARN_MDS_GET_ATTRS_REQ_BYTES = 168;

constexpr size_t TARN_MDS_SET_ATTRS_HANDLE = 136;
constexpr size_t TARN_MDS_SET_ATTRS_UPDATE = 168; // MDS update block
constexpr size_t TARN_MDS_SET_ATTRS_GUARD = 288;  // 16 bytes, zero when no guard
constexpr size_t TARN_MDS_GUARD_BYTES = 16;
constexpr size_t TARN_MDS_SET_ATTRS_REQ_BYTES = 304;

constexpr size_t TARN_MDS_CREATE_MODE = 136; // u32 create mode, then u32 0
constexpr size_t TARN_MDS_CREATE_UPDATE = 144;
constexpr size_t TARN_MDS_CREATE_VERIFIER = 264; // u64
constexpr size_t TARN_MDS_CREATE_DIR = 272;
constexpr size_t TARN_MDS_CREATE_NAME = 304;
constexpr size_t TARN_MDS_CREATE_REQ_BYTES = 305;

constexpr size_t TARN_MDS_MKDIR_DIR = 136;
constexpr size_t TARN_MDS_MKDIR_UPDATE = 168;
constexpr size_t TARN_MDS_MKDIR_VERIFIER = 288;
constexpr size_t TARN_MDS_MKDIR_NAME = 296;
constexpr size_t TARN_MDS_MKDIR_REQ_BYTES = 297;

constexpr size_t TARN_MDS_LINK_HANDLE = 136;
constexpr size_t TARN_MDS_LINK_DIR = 168;
constexpr size_t TARN_MDS_LINK_NAME = 200;
constexpr size_t TARN_MDS_LINK_REQ_BYTES = 201;

constexpr size_t TARN_MDS_SYMLINK_DIR = 136;
constexpr size_t TARN_MDS_SYMLINK_UPDATE = 168;
constexpr size_t TARN_MDS_SYMLINK_NAME = 288; // then the target text with its zero
constexpr size_t TARN_MDS_SYMLINK_REQ_BYTES = 290; // + name and target lengths

constexpr size_t TARN_MDS_RENAME_SRC_DIR = 136;
constexpr size_t TARN_MDS_RENAME_DST_DIR = 168;
constexpr size_t TARN_MDS_RENAME_NAMES = 200; // source name, then destination name
constexpr size_t TARN_MDS_RENAME_REQ_BYTES = 202;

constexpr size_t TARN_MDS_REMOVE_DIR = 136;
constexpr size_t TARN_MDS_REMOVE_NAME = 168;
constexpr size_t TARN_MDS_REMOVE_REQ_BYTES = 169;

constexpr size_t TARN_MDS_GET_FS_INFO_REQ_BYTES = 136;
constexpr size_t TARN_MDS_GET_VDISK_MAP_REQ_BYTES = 136;

constexpr size_t TARN_MDS_REPORT_COUNT = 136; // u32, then u32 0
constexpr size_t TARN_MDS_REPORT_RECORDS = 144;
constexpr size_t TARN_MDS_REPORT_RECORD_BYTES = 16; // u32 kind, u32 vdisk id, u64 host id
// Fields of one report record, and the kind a client sends for a disk that
// answered "not mounted".
constexpr size_t TARN_MDS_REPORT_REC_KIND = 0;     // u32
constexpr size_t TARN_MDS_REPORT_REC_VDISK = 4;    // u32
constexpr size_t TARN_MDS_REPORT_REC_HOST_ID = 8;  // u64
constexpr uint32_t TARN_MDS_REPORT_KIND_UNMOUNTED = 1;
constexpr size_t TARN_MDS_REPORT_REQ_BYTES = 144;   // + 16 per record

constexpr size_t TARN_MDS_LIST_XATTRS_HANDLE = 136;
constexpr size_t TARN_MDS_LIST_XATTRS_MAX_REPLY = 168; // u64
constexpr size_t TARN_MDS_LIST_XATTRS_REQ_BYTES = 176;

constexpr size_t TARN_MDS_GET_XATTR_HANDLE = 136;
constexpr size_t TARN_MDS_GET_XATTR_MAX_REPLY = 168; // u32
constexpr size_t TARN_MDS_GET_XATTR_NAME = 172;
constexpr size_t TARN_MDS_GET_XATTR_REQ_BYTES = 173;

constexpr size_t TARN_MDS_SET_XATTR_HANDLE = 136;
constexpr size_t TARN_MDS_SET_XATTR_MODE = 168;         // u16
constexpr size_t TARN_MDS_SET_XATTR_VALUE_OFFSET = 170; // u16, from the start of the request
constexpr size_t TARN_MDS_SET_XATTR_VALUE_LEN = 172;    // u32
constexpr size_t TARN_MDS_SET_XATTR_NAME = 176;         // then the value
constexpr size_t TARN_MDS_SET_XATTR_REQ_BYTES = 177;    // + name and value lengths

constexpr size_t TARN_MDS_REMOVE_XATTR_HANDLE = 136;
constexpr size_t TARN_MDS_REMOVE_XATTR_NAME = 168;
constexpr size_t TARN_MDS_REMOVE_XATTR_REQ_BYTES = 169;

constexpr size_t TARN_MDS_TEST_CODE = 136; // u32, then u32 0
constexpr size_t TARN_MDS_TEST_CRC = 144;  // u32 kiv_crc32 of the 8 bytes at TARN_MDS_TEST_CODE
constexpr size_t TARN_MDS_TEST_REQ_BYTES = 152;

// ---------------------------------------------------------------- MDS reply fields
// Offsets from the start of the reply; *_MIN is the least length a client
// accepts for a successful reply.
constexpr size_t TARN_MDS_LOOKUP_REP_HANDLE = 32;
constexpr size_t TARN_MDS_LOOKUP_REP_ATTRS = 64;
constexpr size_t TARN_MDS_LOOKUP_REP_DIR_POST_OP = 176;
constexpr size_t TARN_MDS_LOOKUP_REP_MIN = 248;

constexpr size_t TARN_MDS_READDIR_REP_DIR_POST_OP = 32;
constexpr size_t TARN_MDS_READDIR_REP_FLAGS = 104; // bit 0: more entries follow
constexpr size_t TARN_MDS_READDIR_REP_COUNT = 108;
constexpr size_t TARN_MDS_READDIR_REP_ENTRIES = 112;
constexpr size_t TARN_MDS_READDIR_REP_MIN = 112;
// One directory entry.
constexpr size_t TARN_MDS_DIRENT_HANDLE = 0;
constexpr size_t TARN_MDS_DIRENT_ATTRS = 32;
constexpr size_t TARN_MDS_DIRENT_COOKIE = 144;      // u64
constexpr size_t TARN_MDS_DIRENT_NAME_OFFSET = 152; // u32, from the start of the reply
constexpr size_t TARN_MDS_DIRENT_BYTES = 160;

constexpr size_t TARN_MDS_READLINK_REP_POST_OP = 32;
constexpr size_t TARN_MDS_READLINK_REP_TARGET = 104;
constexpr size_t TARN_MDS_READLINK_REP_MIN = 104;

constexpr size_t TARN_MDS_GET_ATTRS_REP_ATTRS = 32;
constexpr size_t TARN_MDS_GET_ATTRS_REP_MIN = 144;

constexpr size_t TARN_MDS_SET_ATTRS_REP_WCC = 32;
constexpr size_t TARN_MDS_SET_ATTRS_REP_MIN = 152;

constexpr size_t TARN_MDS_CREATE_REP_HANDLE = 32;
constexpr size_t TARN_MDS_CREATE_REP_ATTRS = 64;
constexpr size_t TARN_MDS_CREATE_REP_DIR_WCC = 176;
constexpr size_t TARN_MDS_CREATE_REP_FLAGS = 296; // u32, bit 0: created by this request
constexpr size_t TARN_MDS_CREATE_REP_MIN = 304;

// mkdir and symlink.
constexpr size_t TARN_MDS_MKOBJ_REP_HANDLE = 32;
constexpr size_t TARN_MDS_MKOBJ_REP_ATTRS = 64;
constexpr size_t TARN_MDS_MKOBJ_REP_DIR_WCC = 176;
constexpr size_t TARN_MDS_MKOBJ_REP_MIN = 296;

constexpr size_t TARN_MDS_LINK_REP_ATTRS = 32;
constexpr size_t TARN_MDS_LINK_REP_DIR_WCC = 144;
constexpr size_t TARN_MDS_LINK_REP_MIN = 264;

constexpr size_t TARN_MDS_RENAME_REP_SRC_WCC = 32;
constexpr size_t TARN_MDS_RENAME_REP_DST_WCC = 152;
constexpr size_t TARN_MDS_RENAME_REP_MIN = 272;

constexpr size_t TARN_MDS_REMOVE_REP_DIR_WCC = 32;
constexpr size_t TARN_MDS_REMOVE_REP_MIN = 152;

constexpr size_t TARN_MDS_GET_FS_INFO_REP_INFO = 32;
constexpr size_t TARN_MDS_GET_FS_INFO_REP_MIN = 136;

constexpr size_t TARN_MDS_VDISK_MAP_REP_COUNT = 32; // u32, then 4 bytes not read
constexpr size_t TARN_MDS_VDISK_MAP_REP_ENTRIES = 40;
constexpr size_t TARN_MDS_VDISK_MAP_REP_MIN = 40;
// One virtual-disk map entry.
constexpr size_t TARN_MDS_VDISK_ENTRY_TOKEN = 0;   // u64 location token
constexpr size_t TARN_MDS_VDISK_ENTRY_HOST_ID = 8; // u64
constexpr size_t TARN_MDS_VDISK_ENTRY_IPV4 = 16;   // u32, most significant byte = first dotted part
constexpr size_t TARN_MDS_VDISK_ENTRY_PORT = 20;   // u16
constexpr size_t TARN_MDS_VDISK_ENTRY_BYTES = 24;

constexpr size_t TARN_MDS_LIST_XATTRS_REP_NAMES = 32;
constexpr size_t TARN_MDS_LIST_XATTRS_REP_MIN = 32;

constexpr size_t TARN_MDS_GET_XATTR_REP_VALUE = 32;
constexpr size_t TARN_MDS_GET_XATTR_REP_MIN = 32;
constexpr size_t TARN_MDS_GET_XATTR_ERR_NEEDED = 32; // u32 size needed, in error replies
constexpr size_t TARN_MDS_GET_XATTR_ERR_MIN = 40;

// Error replies carry the directory blocks when they are this long.
constexpr size_t TARN_MDS_ERR_POST_OP = 32;
constexpr size_t TARN_MDS_ERR_POST_OP_MIN = 104;
constexpr size_t TARN_MDS_ERR_WCC = 32;
constexpr size_t TARN_MDS_ERR_WCC_MIN = 152;
constexpr size_t TARN_MDS_ERR_RENAME_MIN = 272;

// File-system information block (in get_fs_info replies).
constexpr size_t TARN_MDS_FS_INFO_BYTES = 104;
constexpr size_t TARN_MDS_FS_INFO_FS_ID = 0;
constexpr size_t TARN_MDS_FS_INFO_TOTAL_SPACE = 8;
constexpr size_t TARN_MDS_FS_INFO_FREE_SPACE = 16;
constexpr size_t TARN_MDS_FS_INFO_AVAIL_SPACE = 24;
constexpr size_t TARN_MDS_FS_INFO_TOTAL_FILES = 32;
constexpr size_t TARN_MDS_FS_INFO_FREE_FILES = 40;
constexpr size_t TARN_MDS_FS_INFO_AVAIL_FILES = 48;
constexpr size_t TARN_MDS_FS_INFO_BSIZE = 56;  // u32
constexpr size_t TARN_MDS_FS_INFO_FRSIZE = 60; // u32
constexpr size_t TARN_MDS_FS_INFO_MAXREAD = 64;
constexpr size_t TARN_MDS_FS_INFO_MAXWRITE = 72;
constexpr size_t TARN_MDS_FS_INFO_TIME_DELTA = 80;
constexpr size_t TARN_MDS_FS_INFO_FLAGS = 88;       // u32
constexpr size_t TARN_MDS_FS_INFO_VDISK_COUNT = 92; // u16
constexpr size_t TARN_MDS_FS_INFO_MIN_VDISK_FREE = 96;

// ---------------------------------------------------------------- DS message types
enum : uint32_t {
    TARN_DS_REMOVE = 4100,
    TARN_DS_NOOP = 4102,
    TARN_DS_MOUNT_VDISK = 4104,
    TARN_DS_UNMOUNT_VDISK = 4106,
    TARN_DS_READ = 4108,
    TARN_DS_WRITE = 4110,
    TARN_DS_COMMIT = 4112,
    TARN_DS_GET_ATTRS = 4114,
    TARN_DS_SET_ATTRS = 4116,
    TARN_DS_CREATE_FILE = 4118,
    TARN_DS_VDISK_USAGE_CTL = 4120,
    TARN_DS_REPLICATE = 4122,
    TARN_DS_REPL_RECOVERY = 4124,
    TARN_DS_TEST = 4126,
    TARN_DS_MODIFY_RANGE = 4128,
    TARN_DS_GET_XATTR = 4130,
    TARN_DS_LIST_XATTRS = 4132,
    TARN_DS_REMOVE_XATTR = 4134,
    TARN_DS_SET_XATTR = 4136,
};

// ---------------------------------------------------------------- DS request fields
// Offsets from the start of the request. File requests put their fields from
// TARN_DS_FILE_REQ_HDR_BYTES, plain ones from TARN_DS_REQ_HDR_BYTES. The
// *_REQ_BYTES lengths are before rounding up to TARN_DS_MSG_ALIGN; names are
// carried with their zero, so a named request adds the name's length.
constexpr size_t TARN_DS_REMOVE_REQ_BYTES = 144;
constexpr size_t TARN_DS_NOOP_REQ_BYTES = 48;

// mount and unmount.
constexpr size_t TARN_DS_MOUNT_COUNT = 48; // u32, then u32 0
constexpr size_t TARN_DS_MOUNT_ITEMS = 56; // TARN_DS_MOUNT_ITEM_BYTES each
constexpr size_t TARN_DS_MOUNT_ITEM_BYTES = 8;
constexpr size_t TARN_DS_MOUNT_REQ_BYTES = 56; // + 8 per item

constexpr size_t TARN_DS_READ_OFFSET = 144; // u64
constexpr size_t TARN_DS_READ_COUNT = 152;  // u32, then u32 0
constexpr size_t TARN_DS_READ_REQ_BYTES = 160;

constexpr size_t TARN_DS_WRITE_STABLE = 144; // u32 holding the one-byte flag, then u32 0
constexpr size_t TARN_DS_WRITE_OFFSET = 152; // u64
constexpr size_t TARN_DS_WRITE_LEN = 160;    // u32, then u32 0
constexpr size_t TARN_DS_WRITE_HDR_BYTES = 512; // the data follows, then padding

constexpr size_t TARN_DS_COMMIT_REQ_BYTES = 144;
constexpr size_t TARN_DS_GET_ATTRS_REQ_BYTES = 144;

constexpr size_t TARN_DS_SET_ATTRS_UPDATE = 144; // DS update block
constexpr size_t TARN_DS_SET_ATTRS_GUARD = 240;  // 16 bytes, zero when no guard
constexpr size_t TARN_DS_GUARD_BYTES = 16;
constexpr size_t TARN_DS_SET_ATTRS_REQ_BYTES = 256;

constexpr size_t TARN_DS_CREATE_VALUE = 144;   // u64
constexpr size_t TARN_DS_CREATE_BLOCK24 = 152; // 24 bytes
constexpr size_t TARN_DS_CREATE_BLOCK96 = 176; // 96 bytes
constexpr size_t TARN_DS_CREATE_REQ_BYTES = 272;

constexpr size_t TARN_DS_USAGE_VALUE = 48;     // u64
constexpr size_t TARN_DS_USAGE_BLOCK16 = 56;   // 16 bytes, zero when none
constexpr size_t TARN_DS_USAGE_HAS_BLOCK = 72; // u32 1 when the 16 bytes were given, then u32 0
constexpr size_t TARN_DS_USAGE_REQ_BYTES = 80;

constexpr size_t TARN_DS_REPLICATE_VALUE = 48;     // u64
constexpr size_t TARN_DS_REPLICATE_VALUE32 = 56;   // u32
constexpr size_t TARN_DS_REPLICATE_MAX_REPLY = 60; // u32
constexpr size_t TARN_DS_REPLICATE_COOKIE = 64;    // u64
constexpr size_t TARN_DS_REPLICATE_REQ_BYTES = 72;

constexpr size_t TARN_DS_RECOVERY_VALUE1 = 48; // u64
constexpr size_t TARN_DS_RECOVERY_VALUE2 = 56; // u32
constexpr size_t TARN_DS_RECOVERY_FLAG = 60;   // u32, 0 or 1
constexpr size_t TARN_DS_RECOVERY_VALUE3 = 64; // u64
constexpr size_t TARN_DS_RECOVERY_LEN = 72;    // u32, then u32 0
constexpr size_t TARN_DS_RECOVERY_HDR_BYTES = 512; // the data follows, then padding

constexpr size_t TARN_DS_TEST_CODE = 48; // u32, then u32 0
constexpr size_t TARN_DS_TEST_CRC = 56;  // u32 kiv_crc32 of the 8 bytes at TARN_DS_TEST_CODE
constexpr size_t TARN_DS_TEST_REQ_BYTES = 64;
// Test codes a DS acts on.
constexpr uint32_t TARN_DS_TEST_DISABLE_REPLICATION = 1;
constexpr uint32_t TARN_DS_TEST_CRASH = 2;

constexpr size_t TARN_DS_MODIFY_OP = 144;     // u32
constexpr size_t TARN_DS_MODIFY_FLAGS = 148;  // u32
constexpr size_t TARN_DS_MODIFY_OFFSET = 152; // u64
constexpr size_t TARN_DS_MODIFY_LENGTH = 160; // u64, then u64 0
constexpr size_t TARN_DS_MODIFY_REQ_BYTES = 176;
constexpr uint32_t TARN_DS_MODIFY_ALLOCATE = 1;

constexpr size_t TARN_DS_GET_XATTR_MAX_REPLY = 144; // u32
constexpr size_t TARN_DS_GET_XATTR_NAME = 148;
constexpr size_t TARN_DS_GET_XATTR_REQ_BYTES = 149;

constexpr size_t TARN_DS_LIST_XATTRS_MAX_REPLY = 144; // u32, then 4 reserved bytes
constexpr size_t TARN_DS_LIST_XATTRS_REQ_BYTES = 152;

constexpr size_t TARN_DS_REMOVE_XATTR_NAME = 144;
constexpr size_t TARN_DS_REMOVE_XATTR_REQ_BYTES = 145;

constexpr size_t TARN_DS_SET_XATTR_MODE = 144;      // u16, then 2 reserved bytes
constexpr size_t TARN_DS_SET_XATTR_NAME_LEN = 148;  // u32, zero included
constexpr size_t TARN_DS_SET_XATTR_VALUE_LEN = 152; // u32
constexpr size_t TARN_DS_SET_XATTR_NAME = 156;      // then the value right after the name's zero
constexpr size_t TARN_DS_SET_XATTR_HDR_BYTES = 157; // + name length; the value follows
// The longest attribute name a DS takes, its zero included.
constexpr size_t TARN_DS_XATTR_NAME_MAX = 256;

// ---------------------------------------------------------------- DS reply fields
// Offsets from the start of the reply; *_MIN is the least length a client
// accepts for a successful reply. DS replies are exact-length, not padded.
constexpr size_t TARN_DS_READ_REP_POST_OP = 32;
constexpr size_t TARN_DS_READ_REP_FLAGS = 104; // u16, bit 0: end of file reached
constexpr size_t TARN_DS_READ_REP_COUNT = 108; // u32 data length
constexpr size_t TARN_DS_READ_REP_DATA = 112;
constexpr size_t TARN_DS_READ_REP_MIN = 112;
constexpr uint16_t TARN_DS_READ_FLAG_EOF = 0x1;

constexpr size_t TARN_DS_WRITE_REP_COUNT = 32; // u32 bytes written, then 4 bytes not read
constexpr size_t TARN_DS_WRITE_REP_WCC = 40;
constexpr size_t TARN_DS_WRITE_REP_VERIFIER = 160; // u64
constexpr size_t TARN_DS_WRITE_REP_MIN = 168;

constexpr size_t TARN_DS_COMMIT_REP_WCC = 32;
constexpr size_t TARN_DS_COMMIT_REP_VERIFIER = 152; // u64
constexpr size_t TARN_DS_COMMIT_REP_MIN = 160;

constexpr size_t TARN_DS_GET_ATTRS_REP_ATTRS = 32;
constexpr size_t TARN_DS_GET_ATTRS_REP_MIN = 120;

constexpr size_t TARN_DS_SET_ATTRS_REP_WCC = 32;
constexpr size_t TARN_DS_SET_ATTRS_REP_MIN = 152;

constexpr size_t TARN_DS_CREATE_REP_ATTRS = 40; // after 8 bytes not read
constexpr size_t TARN_DS_CREATE_REP_MIN = 128;

constexpr size_t TARN_DS_USAGE_REP_BLOCK = 32; // TARN_DS_USAGE_BYTES
constexpr size_t TARN_DS_USAGE_BYTES = 80;
// Fields of the usage block; the rest of it is zero.
constexpr size_t TARN_DS_USAGE_POOL_TOTAL = 0;  // u64 bytes of the file system's pool
constexpr size_t TARN_DS_USAGE_POOL_FREE = 8;   // u64 free bytes of the pool
constexpr size_t TARN_DS_USAGE_ALLOCATED = 16;  // u64 bytes allocated by the disk's objects
constexpr size_t TARN_DS_USAGE_OBJECTS = 24;    // u64 objects on the disk
constexpr uint32_t TARN_DS_USAGE_FLAG_MOUNTED = 0x1;
constexpr size_t TARN_DS_USAGE_REP_FLAGS = 112; // u32, bit 0 goes to the caller
constexpr size_t TARN_DS_USAGE_REP_MIN = 120;

constexpr size_t TARN_DS_REPLICATE_REP_COOKIE = 32; // u64 next cookie
constexpr size_t TARN_DS_REPLICATE_REP_VALUE = 40;  // u32
constexpr size_t TARN_DS_REPLICATE_REP_COUNT = 44;  // u32 record count
constexpr size_t TARN_DS_REPLICATE_REP_RECORDS = 48;
constexpr size_t TARN_DS_REPLICATE_RECORD_BYTES = 96;
constexpr size_t TARN_DS_REPLICATE_REP_MIN = 48;

constexpr size_t TARN_DS_GET_XATTR_REP_LEN = 32; // u32 value length, then 4 bytes not read
constexpr size_t TARN_DS_GET_XATTR_REP_VALUE = 40;
constexpr size_t TARN_DS_GET_XATTR_REP_MIN = 40;
constexpr size_t TARN_DS_GET_XATTR_ERR_NEEDED = 32; // u32 value size, in error replies of 40 bytes or more
constexpr size_t TARN_DS_GET_XATTR_ERR_MIN = 40;

constexpr size_t TARN_DS_LIST_XATTRS_REP_NAMES = 32;
constexpr size_t TARN_DS_LIST_XATTRS_REP_MIN = 32;

// Error replies carry the object's blocks when they are this long.
constexpr size_t TARN_DS_ERR_POST_OP = 32;
constexpr size_t TARN_DS_ERR_POST_OP_MIN = 104;
constexpr size_t TARN_DS_ERR_WCC = 32;
constexpr size_t TARN_DS_ERR_WCC_MIN = 152;

// ---------------------------------------------------------------- status codes
// The servers' own numbers; they are not tarn_err values.
enum : uint32_t {
    TARN_MDS_OK = 0,
    TARN_MDS_EPOCH_UNKNOWN = 1,
    TARN_MDS_FROM_THE_PAST = 2,
    TARN_MDS_EXISTS = 3,
    TARN_MDS_IO = 4,
    TARN_MDS_INVAL = 5,
    TARN_MDS_PERM = 6,
    TARN_MDS_NO_FS = 7,
    TARN_MDS_NOT_FOUND = 8,
    TARN_MDS_NOT_DIR = 9,
    TARN_MDS_DELAY = 10,
    TARN_MDS_CONFLICT = 11,
    TARN_MDS_SERVER_FAULT = 12,
    TARN_MDS_NOT_EMPTY = 13,
    TARN_MDS_TOO_BIG = 14,
    TARN_MDS_NO_SPACE = 15,
    TARN_MDS_NOT_IMPL = 16,
    TARN_MDS_READ_ONLY = 17,
    TARN_MDS_STATUS_MAX = 17,
};

enum : uint32_t {
    TARN_DS_OK = 0,
    TARN_DS_EPOCH_UNKNOWN = 1,
    TARN_DS_FROM_THE_PAST = 2,
    TARN_DS_EXISTS = 3,
    TARN_DS_IO = 4,
    TARN_DS_INVAL = 5,
    TARN_DS_PERM = 6,
    TARN_DS_NOT_MOUNTED = 7,
    TARN_DS_NOT_FOUND = 8,
    TARN_DS_DELAY = 9,
    TARN_DS_CONFLICT = 10,
    TARN_DS_SERVER_FAULT = 11,
    TARN_DS_NO_SPACE = 12,
    TARN_DS_FILE_TOO_LARGE = 13,
    TARN_DS_TOO_BIG = 14,
    TARN_DS_BUFFER_TOO_SMALL = 15,
    TARN_DS_STATUS_MAX = 15,
};

// Error number of each status (Linux numbering). Entries 0 to 2 are 0:
// success, and the two fencing statuses, which the client never maps. The
// retryable statuses (MDS 1, 7, 10; DS 1, 7, 9) are reported as EAGAIN by
// the client whatever the table holds.
inline constexpr uint32_t tarn_mds_status_errno[TARN_MDS_STATUS_MAX + 1] = {
    0, 0, 0, EEXIST, EIO, EINVAL, EPERM, ENODEV, ENOENT, ENOTDIR,
    EAGAIN, EREMCHG, EREMOTE, ENOTEMPTY, EOVERFLOW, ENOSPC, ENOSYS, EROFS,
};

inline constexpr uint32_t tarn_ds_status_errno[TARN_DS_STATUS_MAX + 1] = {
    0, 0, 0, EEXIST, EIO, EINVAL, EPERM, ENODEV, ENOENT, EAGAIN, EREMCHG, EREMOTE, ENOSPC, EFBIG, E2BIG, ERANGE,
};

// The texts of the client's error lines; "Unknown error code" for 0 and
// values beyond the table.
static inline const char* tarn_mds_status_text(uint32_t status) {
    static const char* const texts[TARN_MDS_STATUS_MAX + 1] = {
        "Unknown error code",
        "The current client epoch is unknown to the server",
        "The request is from the past",
        "Already exists",
        "I/O error",
        "Invalid argument",
        "Operation not permitted",
        "File system not found",
        "Not found",
        "Not a directory",
        "Delay, try again later",
        "Conflicting change detected",
        "Server fault",
        "Directory not empty",
        "Value too big",
        "No space left",
        "Not implemented",
        "File system is read-only",
    };
    return status <= TARN_MDS_STATUS_MAX ? texts[status] : texts[0];
}

static inline const char* tarn_ds_status_text(uint32_t status) {
    static const char* const texts[TARN_DS_STATUS_MAX + 1] = {
        "Unknown error code",
        "The current client epoch is unknown to the server",
        "The request is from the past",
        "The file already exists",
        "I/O error",
        "Invalid argument",
        "Operation not permitted",
        "Vdisk is not mounted",
        "File not found",
        "Delay, try again later",
        "Conflicting change detected",
        "Server fault",
        "Not enough space",
        "File too large",
        "Value too big",
        "Buffer too small",
    };
    return status <= TARN_DS_STATUS_MAX ? texts[status] : texts[0];
}

// ---------------------------------------------------------------- header codecs
// The request header as numbers. `credentials` is the 80-byte wire block.
struct tarn_mds_req_hdr {
    uint32_t length;
    uint32_t type;
    uint64_t version;
    uint64_t client_id;
    uint32_t epoch;
    uint32_t flags;
    uint8_t credentials[TARN_WIRE_CREDS_BYTES];
    uint64_t fs_id;
};

// Writes every header field but the transaction id into `buf`, which holds
// at least TARN_MDS_REQ_HDR_BYTES bytes.
static inline void tarn_mds_req_hdr_write(uint8_t* buf, const tarn_mds_req_hdr* h) {
    tarn_wire_put_u32(buf, TARN_MSG_LENGTH, h->length);
    tarn_wire_put_u32(buf, TARN_MSG_TYPE, h->type);
    tarn_wire_put_u64(buf, TARN_MDS_REQ_VERSION, h->version);
    tarn_wire_put_u64(buf, TARN_MDS_REQ_CLIENT_ID, h->client_id);
    tarn_wire_put_u32(buf, TARN_MDS_REQ_EPOCH, h->epoch);
    tarn_wire_put_u32(buf, TARN_MDS_REQ_FLAGS, h->flags);
    memcpy(buf + TARN_MDS_REQ_CREDS, h->credentials, TARN_WIRE_CREDS_BYTES);
    tarn_wire_put_u64(buf, TARN_MDS_REQ_FS_ID, h->fs_id);
}

// 0, or -EINVAL when `len` cannot hold the header. The fields are not
// judged; that is the server's business.
static inline int tarn_mds_req_hdr_read(const uint8_t* buf, size_t len, tarn_mds_req_hdr* h) {
    if (len < TARN_MDS_REQ_HDR_BYTES) return -EINVAL;
    h->length = tarn_wire_get_u32(buf, TARN_MSG_LENGTH);
    h->type = tarn_wire_get_u32(buf, TARN_MSG_TYPE);
    h->version = tarn_wire_get_u64(buf, TARN_MDS_REQ_VERSION);
    h->client_id = tarn_wire_get_u64(buf, TARN_MDS_REQ_CLIENT_ID);
    h->epoch = tarn_wire_get_u32(buf, TARN_MDS_REQ_EPOCH);
    h->flags = tarn_wire_get_u32(buf, TARN_MDS_REQ_FLAGS);
    memcpy(h->credentials, buf + TARN_MDS_REQ_CREDS, TARN_WIRE_CREDS_BYTES);
    h->fs_id = tarn_wire_get_u64(buf, TARN_MDS_REQ_FS_ID);
    return 0;
}

// The DS header; the file part is meaningful only for file requests.
struct tarn_ds_req_hdr {
    uint32_t length;
    uint32_t type;
    uint64_t client_id;
    uint32_t epoch;
    uint32_t flags;
    uint64_t version;
    uint64_t location_token;
    uint64_t file_id;
    uint8_t credentials[TARN_WIRE_CREDS_BYTES];
};

// Writes the plain header (TARN_DS_REQ_HDR_BYTES), and the file part too
// when `file` is set (TARN_DS_FILE_REQ_HDR_BYTES).
static inline void tarn_ds_req_hdr_write(uint8_t* buf, const tarn_ds_req_hdr* h, bool file) {
    tarn_wire_put_u32(buf, TARN_MSG_LENGTH, h->length);
    tarn_wire_put_u32(buf, TARN_MSG_TYPE, h->type);
    tarn_wire_put_u64(buf, TARN_DS_REQ_CLIENT_ID, h->client_id);
    tarn_wire_put_u32(buf, TARN_DS_REQ_EPOCH, h->epoch);
    tarn_wire_put_u32(buf, TARN_DS_REQ_FLAGS, h->flags);
    tarn_wire_put_u64(buf, TARN_DS_REQ_VERSION, h->version);
    if (!file) return;
    tarn_wire_put_u64(buf, TARN_DS_REQ_LOCATION_TOKEN, h->location_token);
    tarn_wire_put_u64(buf, TARN_DS_REQ_FILE_ID, h->file_id);
    memcpy(buf + TARN_DS_REQ_CREDS, h->credentials, TARN_WIRE_CREDS_BYTES);
}

// Reads the plain header, and the file part when `file` is set (the file
// part is zeroed otherwise). -EINVAL when `len` is too short for it.
static inline int tarn_ds_req_hdr_read(const uint8_t* buf, size_t len, bool file, tarn_ds_req_hdr* h) {
    if (len < (file ? TARN_DS_FILE_REQ_HDR_BYTES : TARN_DS_REQ_HDR_BYTES)) return -EINVAL;
    h->length = tarn_wire_get_u32(buf, TARN_MSG_LENGTH);
    h->type = tarn_wire_get_u32(buf, TARN_MSG_TYPE);
    h->client_id = tarn_wire_get_u64(buf, TARN_DS_REQ_CLIENT_ID);
    h->epoch = tarn_wire_get_u32(buf, TARN_DS_REQ_EPOCH);
    h->flags = tarn_wire_get_u32(buf, TARN_DS_REQ_FLAGS);
    h->version = tarn_wire_get_u64(buf, TARN_DS_REQ_VERSION);
    h->location_token = 0;
    h->file_id = 0;
    memset(h->credentials, 0, TARN_WIRE_CREDS_BYTES);
    if (!file) return 0;
    h->location_token = tarn_wire_get_u64(buf, TARN_DS_REQ_LOCATION_TOKEN);
    h->file_id = tarn_wire_get_u64(buf, TARN_DS_REQ_FILE_ID);
    memcpy(h->credentials, buf + TARN_DS_REQ_CREDS, TARN_WIRE_CREDS_BYTES);
    return 0;
}

struct tarn_reply_hdr {
    uint32_t length;
    uint32_t type;
    uint32_t status;
};

// 0, or -EINVAL when fewer than TARN_REPLY_HDR_BYTES bytes are there or the
// header's length field says less.
static inline int tarn_reply_hdr_read(const uint8_t* buf, size_t len, tarn_reply_hdr* h) {
    if (len < TARN_REPLY_HDR_BYTES) return -EINVAL;
    h->length = tarn_wire_get_u32(buf, TARN_MSG_LENGTH);
    h->type = tarn_wire_get_u32(buf, TARN_MSG_TYPE);
    h->status = tarn_wire_get_u32(buf, TARN_REPLY_STATUS);
    return h->length < TARN_REPLY_HDR_BYTES ? -EINVAL : 0;
}

// Server side: the length, type and status of a reply whose transaction id
// is already in place; the reserved word is zeroed.
static inline void tarn_reply_hdr_write(uint8_t* buf, uint32_t length, uint32_t type, uint32_t status) {
    tarn_wire_put_u32(buf, TARN_MSG_LENGTH, length);
    tarn_wire_put_u32(buf, TARN_MSG_TYPE, type);
    tarn_wire_put_u32(buf, TARN_REPLY_STATUS, status);
    tarn_wire_put_u32(buf, TARN_REPLY_RESERVED, 0);
}
