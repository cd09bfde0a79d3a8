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

// ---------------------------------------------------------------- client and file systems
struct discov;
struct kiv_process;
struct tarn_client;

// Makes the client: its MDS resolver first (watching the registry through
// `discovery`, which the caller keeps), then the client itself. The
// parameters are copied. 0, or the resolver's negative error number with
// nothing left behind. Connections are made on first use by
// tarn_client_open_fs. Not to be called from the runtime's event loop.
int tarn_client_create(const tarn_client_params* params, discov* discovery, kiv_process* process,
                       tarn_client** client_out);
// Every file system of the client must have been closed.
void tarn_client_destroy(tarn_client* client);

// Opens the file system `fs_name`: its MDS client, its virtual-disk locator
// (whose thread starts fetching the map at once) and its DS client. 0 with
// the file system in *fs_out, or a negative error number with nothing made
// and *fs_out untouched. Not finding the file system is not an error here:
// its operations answer TARN_ERR_DELAY until the MDS is known.
int tarn_client_open_fs(tarn_client* client, const char* fs_name, tarn_fs** fs_out);
void tarn_client_close_fs(tarn_fs* fs);

// The retry time-outs of the client behind `context`, in milliseconds:
// TARN_DEFAULT_RETRY_TIMEOUT_MS unless the parameters asked for their own.
uint32_t tarn_client_get_mds_retry_timeout(const tarn_context* context);
uint32_t tarn_client_get_ds_retry_timeout(const tarn_context* context);

// ---------------------------------------------------------------- file operations
// Every operation is synchronous, makes at most one request (to the MDS, or
// to the DS of the object's virtual disk) and returns a tarn_err. A null
// context, file system, name or required output, and an opaque that is not
// a handle of this library, give TARN_ERR_INVAL before anything is sent.
// TARN_ERR_DELAY means the servers could not be reached or asked to wait
// within the retry time-out: repeating the call is right.

// One entry of tarn_client_read_dir. `opaque` and `attrs` (null unless
// attributes were asked for) live only during the call. True goes on,
// false ends the batch.
typedef bool (*tarn_dir_entry_cb)(const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* attrs,
                                  uint64_t cookie, void* arg);
// One extended-attribute name. Runs on the runtime's event loop while the
// caller waits: it must not block or call this library. True goes on.
typedef bool (*tarn_xattr_name_cb)(const char* name, void* arg);

// `parent` may be empty (length 0) with the name "/" for the root.
tarn_err tarn_client_lookup(const tarn_context* context, const void* parent, uint64_t parent_len, const char* name,
                            tarn_opaque_buf* handle_out, tarn_attr* attrs, tarn_post_op_data* parent_post_op);

// A verifier of 0 is replaced by a random non-zero one, except in exclusive
// mode. A mode outside 1..3 is a contract violation that ends the process.
tarn_err tarn_client_create_file(const tarn_context* context, const void* parent, uint64_t parent_len,
                                 const char* name, tarn_create_mode mode, const tarn_attr_update* attrs_in,
                                 uint64_t verifier, tarn_opaque_buf* handle_out, bool* created, tarn_attr* attrs,
                                 tarn_wcc_data* parent_wcc);

// A verifier of 0 is replaced by a random non-zero one.
tarn_err tarn_client_create_dir(const tarn_context* context, const void* parent, uint64_t parent_len, const char* name,
                                const tarn_attr_update* attrs_in, uint64_t verifier, tarn_opaque_buf* handle_out,
                                tarn_attr* attrs, tarn_wcc_data* parent_wcc);

// Sent once, never repeated by the library: after TARN_ERR_DELAY the rename
// may or may not have been done.
tarn_err tarn_client_rename(const tarn_context* context, const void* src_dir, uint64_t src_dir_len,
                            const char* src_name, const void* dst_dir, uint64_t dst_dir_len, const char* dst_name,
                            tarn_wcc_data* src_wcc, tarn_wcc_data* dst_wcc);

// One batch of entries after `cookie` (0: from the start). *eof is set when
// the server has no entries after the batch, whether or not the callback
// stopped early; continue with the cookie of the last entry seen.
tarn_err tarn_client_read_dir(const tarn_context* context, const void* dir, uint64_t dir_len, uint64_t cookie,
                              bool with_attrs, tarn_dir_entry_cb callback, void* arg, bool* eof,
                              tarn_post_op_data* dir_post_op);

// Regular files are asked of their DS, other objects of the MDS.
tarn_err tarn_client_get_attr(const tarn_context* context, const void* object, uint64_t object_len, tarn_attr* attrs);
// `guard`: 0 for none, else the change time the object must still have.
tarn_err tarn_client_set_attr(const tarn_context* context, const void* object, uint64_t object_len,
                              const tarn_attr_update* update, uint64_t guard, tarn_wcc_data* wcc);

// Reserves [offset, offset + length) on the file's DS. An object without a
// virtual disk gives TARN_ERR_INVAL without any request.
tarn_err tarn_client_fallocate(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                               uint64_t length);

tarn_err tarn_client_read(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                          void* buffer, uint32_t count, uint32_t* bytes_read, bool* eof, tarn_post_op_data* post_op);

tarn_err tarn_client_write(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                           const void* data, uint32_t count, bool stable, uint32_t* bytes_written,
                           uint64_t* write_verifier, tarn_wcc_data* wcc);

// Commits the file's unstable writes.
tarn_err tarn_client_sync(const tarn_context* context, const void* file, uint64_t file_len, uint64_t* write_verifier,
                          tarn_wcc_data* wcc);

tarn_err tarn_client_create_symlink(const tarn_context* context, const void* parent, uint64_t parent_len,
                                    const char* name, const char* target, const tarn_attr_update* attrs_in,
                                    tarn_opaque_buf* handle_out, tarn_attr* attrs, tarn_wcc_data* parent_wcc);

// Links `file` into `dir` as `name`; `attrs` gets the object's attributes
// after the link.
tarn_err tarn_client_create_link(const tarn_context* context, const void* dir, uint64_t dir_len, const char* name,
                                 const void* file, uint64_t file_len, tarn_attr* attrs, tarn_wcc_data* dir_wcc);

// The target and its terminating zero; a buffer shorter than that gives
// TARN_ERR_TOO_BIG.
tarn_err tarn_client_read_symlink(const tarn_context* context, const void* link, uint64_t link_len, char* buffer,
                                  uint64_t buffer_size, tarn_post_op_data* post_op);

// Sent once, never repeated by the library (see tarn_client_rename).
tarn_err tarn_client_remove(const tarn_context* context, const void* dir, uint64_t dir_len, const char* name,
                            tarn_wcc_data* dir_wcc);

// `timeout_ms` null: the client's MDS retry time-out. `info` is written only
// on success.
tarn_err tarn_client_get_fs_info(const tarn_context* context, tarn_fs_info* info, const uint32_t* timeout_ms);

// Extended attributes are kept by the DS or the MDS, as the handle says.
tarn_err tarn_client_list_xattrs(const tarn_context* context, const void* object, uint64_t object_len,
                                 tarn_xattr_name_cb callback, void* arg);
// The value goes into value->data (at most value->capacity bytes) and its
// length into value->size. A longer value gives TARN_ERR_BUFFER_TOO_SMALL,
// with its length in *needed_size when that is given; so does a value of
// any length asked into a buffer of capacity 0 (an empty value fits).
tarn_err tarn_client_get_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                               const char* name, tarn_opaque_buf* value, uint64_t* needed_size);
// `mode` outside 0..2 is a contract violation that ends the process.
tarn_err tarn_client_set_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                               const char* name, const void* value, uint64_t value_len, tarn_set_xattr_mode mode);
tarn_err tarn_client_remove_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                                  const char* name);

// ---------------------------------------------------------------- fault injection
// For testing the file server only. Each makes one attempt (no retries) and
// sends no caller credentials.

// Tells the DS of virtual disk 0 to stop replicating.
tarn_err tarn_test_disable_replication_on_one_ds(tarn_fs* fs);
// Tells the DS of virtual disk 0 to crash; the connection dropping under the
// request counts as success.
tarn_err tarn_test_crash_one_ds(tarn_fs* fs);
// Tells the file system's MDS to crash.
tarn_err tarn_test_crash_mds(tarn_fs* fs);
// The distinct DS hosts of the virtual-disk map, in map order. More hosts
// than `capacity` (0 or less counts as 0) give TARN_ERR_BUFFER_TOO_SMALL
// with the first `capacity` stored and counted.
tarn_err tarn_test_get_ds_hosts(tarn_fs* fs, uint64_t* hosts, int32_t capacity, uint32_t* count);
// The host of the MDS that serves the file system.
tarn_err tarn_test_get_mds_host(tarn_fs* fs, uint64_t* host);
// One no-op request to the DS `host`; a host the map does not name gives
// TARN_ERR_NOT_FOUND without any DS request.
tarn_err tarn_test_probe_ds(tarn_fs* fs, uint64_t host);
// 0 healthy, 1 degraded, replicating or recovering.
tarn_err tarn_test_get_fs_health_status(tarn_fs* fs, uint32_t* status);
