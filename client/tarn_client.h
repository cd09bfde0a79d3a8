// Public vocabulary of the Tarn client library: error codes, object handles,
// credentials, attributes and the records that the client operations take and
// fill.
//
// Every client operation takes a tarn_context first, passes object handles as
// opaque byte strings (data pointer, then 64-bit length) and writes new
// handles into caller buffers (tarn_opaque_buf, capacity 48). Optional
// outputs are pointers that may be null.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- errors
// Result of every public client operation.
typedef uint32_t tarn_err;

enum : uint32_t {
    TARN_ERR_OK = 0,
    TARN_ERR_EXIST = 1,
    TARN_ERR_IO = 2,
    TARN_ERR_INVAL = 3,
    TARN_ERR_PERM = 4,
    TARN_ERR_NO_FS = 5,
    TARN_ERR_NOT_FOUND = 6,
    TARN_ERR_NOT_DIR = 7,
    // The server or the library gave up for now; repeating the call is right.
    TARN_ERR_DELAY = 8,
    TARN_ERR_CONFLICT = 9,
    TARN_ERR_SERVER_FAULT = 10,
    TARN_ERR_NOT_EMPTY = 11,
    TARN_ERR_BUFFER_TOO_SMALL = 12,
    TARN_ERR_TOO_BIG = 13,
    TARN_ERR_NO_SPACE = 14,
    TARN_ERR_NOT_IMPL = 15,
    TARN_ERR_FILE_TOO_LARGE = 16,
    TARN_ERR_READ_ONLY = 17,
};

// The fixed message of `code`, "Unknown error code" for values above 17.
// Never null, never freed.
const char* tarn_get_err_msg(tarn_err code);

// ---------------------------------------------------------------- file types
// Numbered as the NFS version 3 file types 0..7.
typedef uint32_t tarn_file_type;

enum : uint32_t {
    TARN_FILE_TYPE_REGULAR = 1,
    TARN_FILE_TYPE_DIRECTORY = 2,
    TARN_FILE_TYPE_SYMLINK = 5,
};

// ---------------------------------------------------------------- handles
// An object handle as callers hold it. Operations take it as two arguments
// (data, length); the record is there for callers that keep the pair
// together. At most 30 bytes for handles made by this library; length 0
// means "no handle" where a handle is optional.
struct tarn_opaque {
    const void* data;
    uint64_t length;
};

// Output buffer for an opaque handle or an attribute value: the caller sets
// `data` and `capacity`, the library sets `size` and writes at most
// `capacity` bytes.
struct tarn_opaque_buf {
    void* data;
    uint64_t size;
    uint64_t capacity;
};

// ---------------------------------------------------------------- credentials
#define TARN_MAX_GROUPS 16

// The caller's identity, sent with every request. At most TARN_MAX_GROUPS
// supplementary groups travel: a larger `ngroups` is cut to the first 16.
struct tarn_credentials {
    uint32_t uid;
    uint32_t gid;
    uint16_t ngroups;
    uint32_t groups[TARN_MAX_GROUPS];
};

// ---------------------------------------------------------------- context
struct tarn_fs; // an open file system

// Built by the caller and passed by pointer to every operation; the library
// only reads it.
struct tarn_context {
    tarn_fs* fs;
    tarn_credentials credentials;
};

// ---------------------------------------------------------------- attributes
// Times are kept as the server gives them (the first 8 bytes of its 16-byte
// times). spare1 and spare2 are carried, not interpreted.
struct tarn_attr {
    uint16_t type; // a tarn_file_type
    uint64_t inode_num;
    uint32_t mode;
    uint32_t nlinks;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    uint64_t space_used;
    uint64_t atime;
    uint64_t mtime;
    uint64_t ctime;
    uint64_t spare1;
    uint64_t spare2;
};

// Mask bits of tarn_attr_update; other bits are ignored.
enum : uint32_t {
    TARN_SET_MODE = 0x1,
    TARN_SET_UID = 0x2,
    TARN_SET_GID = 0x4,
    TARN_SET_SIZE = 0x8,
    TARN_SET_ATIME = 0x10,
    TARN_SET_ATIME_NOW = 0x20, // server's current time, no value
    TARN_SET_MTIME = 0x40,
    TARN_SET_MTIME_NOW = 0x80, // server's current time, no value
};

// What a caller wants set. Only mode, uid, gid, size, atime and mtime of
// `attr` are read, each only when its bit is in `mask`.
struct tarn_attr_update {
    uint32_t mask;
    tarn_attr attr;
};

// Attributes after an operation. When `present` is 0 the values are left as
// they were before the call; their meaning is the server's.
struct tarn_post_op_data {
    uint8_t present;
    uint64_t value1;
    uint64_t value2;
    uint64_t value3;
    uint64_t time1;
    uint64_t time2;
};

// Attributes before and after an operation; `pre_present` 0 leaves the three
// pre-operation values untouched.
struct tarn_wcc_data {
    uint8_t pre_present;
    uint64_t pre_value;
    uint64_t pre_time1;
    uint64_t pre_time2;
    tarn_post_op_data post;
};

// ---------------------------------------------------------------- file system
// Bit of tarn_fs_info.flags marking a case-insensitive file system.
#define TARN_FS_FLAG_CASE_INSENSITIVE 0x4u

// Space counters are in blocks of `frsize` bytes, file counters in objects.
struct tarn_fs_info {
    uint64_t fs_id;
    uint64_t total_space;
    uint64_t free_space;
    uint64_t avail_space;
    uint64_t total_files;
    uint64_t free_files;
    uint64_t avail_files;
    uint32_t bsize;
    uint32_t frsize;
    uint64_t maxread;
    uint64_t maxwrite;
    uint64_t time_delta;
    uint32_t flags;
    uint16_t vdisk_count;
    uint64_t min_vdisk_free_space;
};

// ---------------------------------------------------------------- modes
// Create modes of tarn_client_create_file; the MDS uses the same numbers.
typedef uint32_t tarn_create_mode;

enum : uint32_t {
    TARN_CREATE_UNCHECKED = 1,
    TARN_CREATE_GUARDED = 2,
    TARN_CREATE_EXCLUSIVE = 3,
};

// Modes of tarn_client_set_xattr; the MDS and the DS use the same numbers.
typedef uint32_t tarn_set_xattr_mode;

enum : uint32_t {
    TARN_SET_XATTR_ANY = 0,     // create or replace
    TARN_SET_XATTR_CREATE = 1,  // create only; an existing one gives TARN_ERR_EXIST
    TARN_SET_XATTR_REPLACE = 2, // replace only; a missing one gives TARN_ERR_NOT_FOUND
};

// ---------------------------------------------------------------- client
// Retry time-out of MDS and DS calls when the caller sets none.
#define TARN_DEFAULT_RETRY_TIMEOUT_MS 15000u

// Copied into the client at creation.
struct tarn_client_params {
    uint64_t client_id;     // identifies this client to the servers; random
    uint32_t epoch;         // the client epoch sent to the servers
    uint32_t required_flag; // must be non-zero
    uint8_t use_custom_timeouts;
    uint32_t mds_retry_timeout_ms; // read only with use_custom_timeouts
    uint32_t ds_retry_timeout_ms;  // read only with use_custom_timeouts
};
