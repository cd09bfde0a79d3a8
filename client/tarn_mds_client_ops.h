// The operations of the MDS client: one synchronous function per request of
// the metadata server. Each runs one MDS call (tarn_mds_client.h) from the
// calling thread and returns 0 or a negative error number: -ENOMEM when the
// request cannot be allocated, -EINVAL or -E2BIG when an argument cannot be
// carried (see the limits below), else the negated mds_call2posix_error of
// the failed call.
//
// Handles are 32-byte MDS file handles; attribute (112 bytes), post-op
// (72), wcc (120), update (120) and fs-info (104) arguments point at blocks
// in their wire layout (tarn_wire_blocks.h). Optional outputs may be null.
// Before the call every post-op and wcc output given has its present flags
// cleared, so a failure that brings no data leaves them marked absent.
//
// The second half of this header is the message codec the operations run
// on: request descriptions and reply decoding, callable without a network.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "client/tarn_handle.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_wire.h"

// ---------------------------------------------------------------- limits
// Checked before anything is sent:
//  - a name of one directory entry (create, mkdir, symlink, link, rename,
//    remove) longer than TARN_MDS_NAME_MAX gives -EINVAL, as the server
//    would answer; lookup paths are bounded only by the message size;
//  - an extended attribute name longer than TARN_MDS_NAME_MAX gives -E2BIG;
//  - a request longer than TARN_MDS_MAX_MSG gives -EINVAL when names make
//    it so, -E2BIG when an xattr value or report records do;
//  - a null name, target or (non-empty) value gives -EINVAL.

// ---------------------------------------------------------------- types
// One directory entry of a readdir batch. `handle` and `attrs` (an MDS
// attributes block) live only during the call. False stops the walk.
typedef bool (*mds_readdir_cb)(const char* name, const tarn_mds_handle* handle, const uint8_t* attrs,
                               uint64_t cookie, void* cb_arg);
// One extended attribute name. False stops the listing.
typedef bool (*mds_xattr_name_cb)(const char* name, void* cb_arg);

// Entry i of the virtual-disk map describes virtual disk i (wire image).
struct mds_vdisk_map_entry {
    uint64_t location_token;
    uint64_t host_id;
    uint32_t ipv4; // most significant byte = first dotted part
    uint16_t port;
    uint8_t reserved[2];
};
static_assert(sizeof(mds_vdisk_map_entry) == TARN_MDS_VDISK_ENTRY_BYTES);

// The map as get_vdisk_map hands it out: count, four zero bytes, entries.
struct mds_vdisk_map {
    uint32_t count;
    uint32_t reserved;
    mds_vdisk_map_entry entries[];
};
static_assert(sizeof(mds_vdisk_map) == 8);

// A report record, sent as given.
struct mds_vdisk_report {
    uint32_t kind; // MDS_VDISK_REPORT_*
    uint32_t vdisk_id;
    uint64_t host_id;
};
static_assert(sizeof(mds_vdisk_report) == TARN_MDS_REPORT_RECORD_BYTES);
constexpr uint32_t MDS_VDISK_REPORT_UNMOUNTED = 1;

// ---------------------------------------------------------------- operations
// (mds_client_noop is in tarn_mds_client.h.)

// `name` is a path ("/" with the all-zero `dir` names the root).
int mds_client_lookup(mds_client* client, const tarn_mds_handle* dir, const char* name, tarn_mds_handle* out_handle,
                      uint8_t* out_attrs, uint8_t* out_dir_post_op, const mds_call_opts* opts);
// One batch of entries after `cookie` (0 = from the start). The callback
// runs on the calling thread once the whole batch has arrived; `out_eof`
// (required) is 1 when the server says no more entries follow.
int mds_client_readdir(mds_client* client, const tarn_mds_handle* dir, uint64_t cookie, mds_readdir_cb callback,
                       void* cb_arg, uint8_t* out_eof, uint8_t* out_dir_post_op, const mds_call_opts* opts);
// Copies the target and its zero into `buf`; -EOVERFLOW when they do not fit.
int mds_client_readlink(mds_client* client, const tarn_mds_handle* handle, char* buf, size_t buf_size,
                        uint8_t* out_post_op, const mds_call_opts* opts);
int mds_client_get_attrs(mds_client* client, const tarn_mds_handle* handle, uint8_t* out_attrs,
                         const mds_call_opts* opts);
// `guard`: 16 bytes, or null for none.
int mds_client_set_attrs(mds_client* client, const tarn_mds_handle* handle, const uint8_t* update,
                         const uint8_t* guard, uint8_t* out_wcc, const mds_call_opts* opts);
// `mode`: 1 unchecked, 2 guarded, 3 exclusive; the verifier is sent as given.
// `out_created` is 1 when this request created the file.
int mds_client_create_file(mds_client* client, const tarn_mds_handle* dir, const char* name, uint32_t mode,
                           const uint8_t* update, uint64_t verifier, tarn_mds_handle* out_handle, uint8_t* out_attrs,
                           uint8_t* out_created, uint8_t* out_dir_wcc, const mds_call_opts* opts);
int mds_client_mkdir(mds_client* client, const tarn_mds_handle* dir, const char* name, const uint8_t* update,
                     uint64_t verifier, tarn_mds_handle* out_handle, uint8_t* out_attrs, uint8_t* out_dir_wcc,
                     const mds_call_opts* opts);
int mds_client_symlink(mds_client* client, const tarn_mds_handle* dir, const char* name, const char* target,
                       const uint8_t* update, tarn_mds_handle* out_handle, uint8_t* out_attrs, uint8_t* out_dir_wcc,
                       const mds_call_opts* opts);
// Links the object `handle` into `dir` under `name`.
int mds_client_link(mds_client* client, const tarn_mds_handle* handle, const tarn_mds_handle* dir, const char* name,
                    uint8_t* out_attrs, uint8_t* out_dir_wcc, const mds_call_opts* opts);
int mds_client_rename(mds_client* client, const tarn_mds_handle* src_dir, const char* src_name,
                      const tarn_mds_handle* dst_dir, const char* dst_name, uint8_t* out_src_wcc, uint8_t* out_dst_wcc,
                      const mds_call_opts* opts);
int mds_client_remove(mds_client* client, const tarn_mds_handle* dir, const char* name, uint8_t* out_dir_wcc,
                      const mds_call_opts* opts);
// `out_info` (required): the 104-byte file-system information block.
int mds_client_get_fs_info(mds_client* client, uint8_t* out_info, const mds_call_opts* opts);
// On success *out_map is a new table, freed with mds_client_free_vdisk_map.
int mds_client_get_vdisk_map(mds_client* client, mds_vdisk_map** out_map, const mds_call_opts* opts);
void mds_client_free_vdisk_map(mds_vdisk_map* map);
int mds_client_report_vdisk(mds_client* client, const mds_vdisk_report* records, uint32_t count,
                            const mds_call_opts* opts);
// The callback runs inside the reply handling on the event loop, while the
// caller waits: it must not block or call the client library.
int mds_client_list_xattrs(mds_client* client, const tarn_mds_handle* handle, mds_xattr_name_cb callback,
                           void* cb_arg, const mds_call_opts* opts);
// Copies the value into `buf` and its length into *out_size. A value larger
// than `buf_size` gives -ERANGE with the needed size in *out_size (-EOVERFLOW
// when even the largest reply could not carry it). Any error reply that
// carries a size writes it to *out_size. `out_size` may be null.
int mds_client_get_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name, void* buf,
                         size_t buf_size, uint64_t* out_size, const mds_call_opts* opts);
// `mode`: 0 create or replace, 1 create only, 2 replace only.
int mds_client_set_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name, const void* value,
                         uint64_t value_len, uint32_t mode, const mds_call_opts* opts);
int mds_client_remove_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name,
                            const mds_call_opts* opts);
// A test-hook command (2 crashes the MDS). With `expect_disconnect`, losing
// the connection or the reply under the request counts as success.
int mds_client_test(mds_client* client, uint32_t code, bool expect_disconnect, const mds_call_opts* opts);

// ---------------------------------------------------------------- codec
// A request before it becomes a message: its type, its rpc name, its total
// length and the fields that follow the header, in wire order. Fields point
// at the caller's data, which must outlive the description.
struct mds_req_field {
    const void* data; // bytes to copy; null: `len` bytes holding `value`
    uint32_t len;
    uint64_t value;   // little-endian in the first min(len, 8) bytes, rest zero
};

constexpr int MDS_REQ_MAX_FIELDS = 8;

struct mds_request {
    uint32_t type;
    const char* rpc_name;
    uint32_t length;
    int nfields;
    mds_req_field fields[MDS_REQ_MAX_FIELDS];
};

// Each fills `req` and returns 0, or -EINVAL / -E2BIG for arguments the
// limits above refuse.
int mds_req_lookup(mds_request* req, const tarn_mds_handle* dir, const char* name);
int mds_req_readdir(mds_request* req, const tarn_mds_handle* dir, uint64_t cookie);
int mds_req_readlink(mds_request* req, const tarn_mds_handle* handle);
int mds_req_get_attrs(mds_request* req, const tarn_mds_handle* handle);
int mds_req_set_attrs(mds_request* req, const tarn_mds_handle* handle, const uint8_t* update, const uint8_t* guard);
int mds_req_create_file(mds_request* req, const tarn_mds_handle* dir, const char* name, uint32_t mode,
                        const uint8_t* update, uint64_t verifier);
int mds_req_mkdir(mds_request* req, const tarn_mds_handle* dir, const char* name, const uint8_t* update,
                  uint64_t verifier);
int mds_req_symlink(mds_request* req, const tarn_mds_handle* dir, const char* name, const char* target,
                    const uint8_t* update);
int mds_req_link(mds_request* req, const tarn_mds_handle* handle, const tarn_mds_handle* dir, const char* name);
int mds_req_rename(mds_request* req, const tarn_mds_handle* src_dir, const char* src_name,
                   const tarn_mds_handle* dst_dir, const char* dst_name);
int mds_req_remove(mds_request* req, const tarn_mds_handle* dir, const char* name);
int mds_req_get_fs_info(mds_request* req);
int mds_req_get_vdisk_map(mds_request* req);
int mds_req_report_vdisk(mds_request* req, const mds_vdisk_report* records, uint32_t count);
int mds_req_list_xattrs(mds_request* req, const tarn_mds_handle* handle);
int mds_req_get_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name, size_t buf_size);
int mds_req_set_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name, const void* value,
                      uint64_t value_len, uint32_t mode);
int mds_req_remove_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name);
int mds_req_test(mds_request* req, uint32_t code);

// Writes the fields into `buf` from TARN_MDS_REQ_HDR_BYTES on; `buf` holds
// req->length bytes. The header is the call's (mds_call_create_req).
void mds_req_write_fields(const mds_request* req, uint8_t* buf);
// The call's request message for `req`: header and fields. Null when memory
// runs out.
kiv_msg* mds_req_create_msg(mds_call* call, const mds_request* req);

// Where a reply's contents go. The operation sets the pointers it wants;
// null ones are skipped. The decoder sets the fields marked "out".
struct mds_reply_outs {
    tarn_mds_handle* handle;
    uint8_t* attrs;
    uint8_t* post_op; // lookup and readdir: the directory's; readlink: the link's
    uint8_t* wcc;     // the directory's; rename: the source directory's
    uint8_t* wcc2;    // rename: the destination directory's
    uint8_t* created; // create_file
    uint8_t* info;    // get_fs_info
    void* buf;        // readlink target, get_xattr value
    size_t buf_size;
    uint64_t* value_size; // get_xattr: value length, or the size an error reply names
    mds_xattr_name_cb names_cb;
    void* names_arg;
    uint8_t* reply_copy;  // out, readdir: the checked reply, freed with __kiv_free
    uint32_t reply_len;   // out, readdir
    mds_vdisk_map* map;   // out, get_vdisk_map
};

// Marks the post-op and wcc outputs given absent (clears their present
// flags), as every operation does before its call.
void mds_reply_outs_mark_absent(const mds_reply_outs* outs);
// Decodes a reply of `len` bytes (header included) to a request of `type`:
// an ok reply (`ok`) or an error reply. Returns what the operation's reply
// handler returns: true to let the call go on (done, or failed with the
// server's status), false after filling `error` (a short or malformed
// reply, runtime error 2; readlink's small buffer, EOVERFLOW).
bool mds_reply_decode(uint32_t type, bool ok, const uint8_t* reply, size_t len, mds_reply_outs* outs,
                      rpc_error* error);
// Whether the request type has an ok / error reply handler at all; a type
// without one takes any reply of its kind as it comes.
bool mds_reply_has_handler(uint32_t type, bool ok);
// Walks a readdir reply that mds_reply_decode accepted: one callback per
// entry until one returns false; *out_eof from the reply's flags.
void mds_readdir_walk(const uint8_t* reply, mds_readdir_cb callback, void* cb_arg, uint8_t* out_eof);

// The results of get_xattr and of the test hook from their call's result
// `rc` and, when it failed, its error.
int mds_get_xattr_result(int rc, rpc_error failure, size_t buf_size);
int mds_test_result(int rc, rpc_error failure, bool expect_disconnect);
