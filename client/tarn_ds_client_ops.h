// DS operations: one function per data-server request.
//
// Each function builds its request on a call the caller has initialised
// (ds_call_init with the DS client, the DS retry time-out and the target:
// the handle's virtual disk for file requests, a fixed host for requests to
// one server) and hands it to the event loop; it returns at once. The caller
// then runs ds_call_wait_for_result, reads the outcome and runs
// ds_call_fini. A function must be the call's only operation. Buffers and
// out-parameters must stay valid, and untouched, until the wait returns.
// A request that cannot be built leaves the call CALL_FAILED (ENOMEM, or
// E2BIG for an over-long attribute name) without sending anything.
//
// File requests take, after the call, the virtual disk's location token,
// the file id and the 80-byte wire credentials block. Blocks are wire
// blocks (tarn_wire_blocks.h): post-operation 72 bytes, wcc 120, DS
// attributes 88, DS update 96. Optional out-parameters may be null; an
// optional post-operation or wcc block has its present flags cleared before
// sending, so a failure without data leaves it marked absent.
#pragma once

#include <stdint.h>

#include "client/tarn_cancel.h"
#include "client/tarn_ds_client.h"

void ds_noop_async(ds_call* call);
// `items`: `count` 8-byte items, sent as given.
void ds_mount_vdisk_async(ds_call* call, const void* items, uint32_t count);
void ds_unmount_vdisk_async(ds_call* call, const void* items, uint32_t count);
void ds_remove_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials);

// Reads up to `count` bytes at `offset` straight into `buf`. `out_count`
// and `out_eof` required.
void ds_read_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                   uint64_t offset, void* buf, uint32_t count, uint32_t* out_count, uint8_t* out_eof,
                   uint8_t* out_post_op);
// Writes `len` bytes of `buf` at `offset`, sent straight from `buf`.
// `out_count` required.
void ds_write_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                    uint64_t offset, const void* buf, uint32_t len, uint8_t stable, uint32_t* out_count,
                    uint64_t* out_verifier, uint8_t* out_wcc);
void ds_commit_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                     uint64_t* out_verifier, uint8_t* out_wcc);
// `block24` (24 bytes) and `block96` (96 bytes) are sent as given.
void ds_create_file_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                          uint64_t value, const uint8_t* block24, const uint8_t* block96, uint8_t* out_attrs);
void ds_get_attrs_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        uint8_t* out_attrs);
// `guard`: 16 bytes, or null for none.
void ds_set_attrs_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const uint8_t* update, const uint8_t* guard, uint8_t* out_wcc);

// Called on the event loop for each name while the caller waits; false
// stops the walk. It must not block and must not call the client library.
typedef bool (*ds_xattr_name_cb)(const char* name, void* cb_arg);
void ds_list_xattrs(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                    ds_xattr_name_cb callback, void* cb_arg);
// The value lands in `buf`; `out_size` gets its length, or the size needed
// when the server answers that the buffer is too small (status 15, which
// maps to ERANGE).
void ds_get_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const char* name, void* buf, uint32_t buf_size, uint64_t* out_size);
// `mode`: 0 create or replace, 1 create only, 2 replace only. A name longer
// than 255 bytes fails the call with E2BIG before anything is built.
void ds_set_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const char* name, const void* value, uint32_t value_len, uint32_t mode);
void ds_remove_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                           const char* name);
// Operation TARN_DS_MODIFY_ALLOCATE (1) with flags 0 preallocates the range.
void ds_modify_range_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                           uint32_t operation, uint64_t offset, uint64_t length, uint32_t flags);

// `block16`: 16 bytes or null. `out_usage` (80 bytes) and `out_flag` required.
void ds_vdisk_usage_ctl_async(ds_call* call, uint64_t value, const uint8_t* block16, uint8_t* out_usage,
                              uint8_t* out_flag);
// Records of 96 bytes land in `buf`; `*cookie` is sent and replaced by the
// reply's next cookie. `out_count` required.
void ds_replicate_async(ds_call* call, uint64_t value, uint32_t value32, void* buf, uint64_t buf_size,
                        uint32_t* out_count, uint64_t* cookie, uint32_t* out_value);
// Sends `len` bytes of `data` straight from the caller's buffer.
void ds_repl_recovery_async(ds_call* call, uint64_t value1, uint32_t value2, uint64_t value3, const void* data,
                            uint32_t len, bool flag);
// Test-hook command `code` (1 disables replication on the DS, 2 crashes it).
void ds_test_async(ds_call* call, uint32_t code);

// Sends a no-op to each of the first `vdisk_count` virtual disks at once
// and merges the outcomes: 0 when all succeeded, else the negated error
// number of the merged error. Plain threads only.
int ds_fence(ds_client* client, uint32_t vdisk_count, uint32_t retry_timeout_ms,
             const tarn_cancel_token* cancel_token);
