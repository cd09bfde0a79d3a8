// The public file operations: decode the caller's handles, convert to wire
// forms, run one MDS or DS call, convert back and map the outcome.
#include <errno.h>
#include <string.h>

#include "client/tarn_client.h"
#include "client/tarn_client_conv.h"
#include "client/tarn_client_utils.h"
#include "client/tarn_ds_client.h"
#include "client/tarn_ds_client_ops.h"
#include "client/tarn_handle.h"
#include "client/tarn_mds_client.h"
#include "client/tarn_mds_client_ops.h"
#include "client/tarn_vdisk_locator.h"
#include "client/tarn_wire.h"
#include "kiv/base.h"

namespace {

// The largest value a DS get_xattr reply can carry after its fixed part.
constexpr uint64_t k_ds_xattr_max_value = TARN_DS_MAX_MSG - 40;

bool context_ok(const tarn_context* context) { return context != nullptr && context->fs != nullptr; }

// An output handle buffer that can be written: a null data pointer is
// allowed only with capacity 0 (the encoder then answers "too small").
bool handle_buf_ok(const tarn_opaque_buf* buf) {
    return buf != nullptr && (buf->data != nullptr || buf->capacity == 0);
}

// What every MDS operation sends besides its own fields.
struct MdsEnv {
    uint8_t credentials[TARN_WIRE_CREDS_BYTES];
    mds_call_opts opts;

    MdsEnv(const tarn_context* context, uint32_t retry_timeout_ms) {
        tarn2mds_credentials(&context->credentials, credentials);
        opts = mds_call_opts{retry_timeout_ms, nullptr, credentials};
    }
    MdsEnv(const MdsEnv&) = delete;
    MdsEnv& operator=(const MdsEnv&) = delete;
};

uint32_t mds_timeout(const tarn_context* context) { return tarn_client_mds_retry_timeout(context->fs->client); }

// The MDS update block of an optional caller update (none sets nothing).
void mds_update(const tarn_attr_update* update, uint8_t* block) {
    if (update != nullptr) {
        tarn2mds_attr_update(update, block);
    } else {
        memset(block, 0, TARN_MDS_UPDATE_BYTES);
    }
}

// Encodes the handle of an object the MDS made or found, then its
// attributes when asked.
tarn_err emit_handle(const tarn_mds_handle* mds_handle, const uint8_t* mds_attrs, tarn_opaque_buf* out,
                     tarn_attr* attrs) {
    tarn_handle handle;
    tarn_handle_init(&handle, mds_handle, mds_attrs);
    if (tarn_handle_to_opaque(&handle, out) < 0) return TARN_ERR_INVAL;
    if (attrs != nullptr) mds2tarn_attributes(mds_attrs, attrs);
    return TARN_ERR_OK;
}

tarn_err mds_result(int rc) { return rc < 0 ? posix2tarn_error(-rc) : TARN_ERR_OK; }

// ---------------------------------------------------------------- DS path
// Waits for the location of the handle's virtual disk, runs the operation
// that `start` queues on a DS call and waits for it. The caller converts
// its outputs afterwards, whatever the outcome.
template <class Start>
tarn_err run_ds_call(const tarn_context* context, const tarn_handle& handle, Start&& start) {
    tarn_fs* fs = context->fs;
    uint8_t credentials[TARN_WIRE_CREDS_BYTES];
    tarn2ds_credentials(&context->credentials, credentials);

    tarn_vdisk_location location;
    int rc = tarn_vdisk_locator_wait_for_location(fs->locator, handle.vdisk_id,
                                                  tarn_client_mds_retry_timeout(fs->client), &location);
    if (rc < 0) return posix2tarn_error(-rc);

    ds_call call;
    ds_call_init(&call, fs->ds, tarn_client_ds_retry_timeout(fs->client), ds_target_by_vdisk(handle.vdisk_id));
    start(&call, location.location_token, handle.mds_handle.file_id, credentials);
    ds_call_wait_for_result(&call);
    const bool failed = ds_call_get_state(&call) == CALL_FAILED;
    const rpc_error error = call.base.error;
    ds_call_fini(&call);
    return failed ? ds_call2tarn_error(error) : TARN_ERR_OK;
}

bool on_ds(const tarn_handle& handle) { return handle.vdisk_id < TARN_VDISK_ID_NONE; }
bool xattrs_on_ds(const tarn_handle& handle) {
    return (handle.mds_handle.flags & TARN_MDS_HANDLE_XATTRS_ON_DS) != 0;
}

// ---------------------------------------------------------------- read_dir adapter
struct ReadDirCtx {
    tarn_dir_entry_cb callback;
    void* arg;
    bool with_attrs;
};

bool read_dir_entry(const char* name, const tarn_mds_handle* mds_handle, const uint8_t* mds_attrs, uint64_t cookie,
                    void* arg) {
    const auto* ctx = static_cast<const ReadDirCtx*>(arg);
    tarn_handle handle;
    tarn_handle_init(&handle, mds_handle, mds_attrs);
    uint8_t bytes[TARN_OPAQUE_BUF_BYTES];
    tarn_opaque_buf buf{bytes, 0, sizeof bytes};
    KIV_BUG_ON(tarn_handle_to_opaque(&handle, &buf) != 0);
    tarn_attr attrs;
    if (ctx->with_attrs) mds2tarn_attributes(mds_attrs, &attrs);
    return ctx->callback(name, bytes, buf.size, ctx->with_attrs ? &attrs : nullptr, cookie, ctx->arg);
}

}  // namespace

// ---------------------------------------------------------------- namespace
tarn_err tarn_client_lookup(const tarn_context* context, const void* parent, uint64_t parent_len, const char* name,
                            tarn_opaque_buf* handle_out, tarn_attr* attrs, tarn_post_op_data* parent_post_op) {
    if (!context_ok(context) || name == nullptr || !handle_buf_ok(handle_out)) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle dir;
    if (tarn_handle_from_optional_opaque(parent, parent_len, &dir) < 0) return TARN_ERR_INVAL;

    tarn_mds_handle found{};
    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    uint8_t post_op[TARN_POST_OP_BYTES] = {};
    int rc = mds_client_lookup(context->fs->mds, &dir.mds_handle, name, &found, mds_attrs,
                               parent_post_op ? post_op : nullptr, &env.opts);
    if (parent_post_op != nullptr) mds2tarn_post_op_wcc_data(post_op, parent_post_op);
    if (rc < 0) return mds_result(rc);
    return emit_handle(&found, mds_attrs, handle_out, attrs);
}

tarn_err tarn_client_create_file(const tarn_context* context, const void* parent, uint64_t parent_len,
                                 const char* name, tarn_create_mode mode, const tarn_attr_update* attrs_in,
                                 uint64_t verifier, tarn_opaque_buf* handle_out, bool* created, tarn_attr* attrs,
                                 tarn_wcc_data* parent_wcc) {
    if (!context_ok(context) || name == nullptr || !handle_buf_ok(handle_out)) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle dir;
    if (tarn_handle_from_opaque(parent, parent_len, &dir) < 0) return TARN_ERR_INVAL;

    // An exclusive create is judged by its verifier, so only the caller may
    // choose it; the other modes get a random one to make repeats safe.
    if (verifier == 0 && mode != TARN_CREATE_EXCLUSIVE) verifier = tarn_make_default_verifier();
    const uint32_t wire_mode = tarn2mds_create_mode(mode);
    uint8_t update[TARN_MDS_UPDATE_BYTES];
    mds_update(attrs_in, update);

    tarn_mds_handle made{};
    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    uint8_t wcc[TARN_WCC_BYTES] = {};
    uint8_t was_created = 0;
    int rc = mds_client_create_file(context->fs->mds, &dir.mds_handle, name, wire_mode, update, verifier, &made,
                                    mds_attrs, &was_created, parent_wcc ? wcc : nullptr, &env.opts);
    if (parent_wcc != nullptr) mds2tarn_wcc_data(wcc, parent_wcc);
    if (rc < 0) return mds_result(rc);
    if (created != nullptr) *created = was_created != 0;
    return emit_handle(&made, mds_attrs, handle_out, attrs);
}

tarn_err tarn_client_create_dir(const tarn_context* context, const void* parent, uint64_t parent_len, const char* name,
                                const tarn_attr_update* attrs_in, uint64_t verifier, tarn_opaque_buf* handle_out,
                                tarn_attr* attrs, tarn_wcc_data* parent_wcc) {
    if (!context_ok(context) || name == nullptr || !handle_buf_ok(handle_out)) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle dir;
    if (tarn_handle_from_opaque(parent, parent_len, &dir) < 0) return TARN_ERR_INVAL;

    if (verifier == 0) verifier = tarn_make_default_verifier();
    uint8_t update[TARN_MDS_UPDATE_BYTES];
    mds_update(attrs_in, update);

    tarn_mds_handle made{};
    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    uint8_t wcc[TARN_WCC_BYTES] = {};
    int rc = mds_client_mkdir(context->fs->mds, &dir.mds_handle, name, update, verifier, &made, mds_attrs,
                              parent_wcc ? wcc : nullptr, &env.opts);
    if (parent_wcc != nullptr) mds2tarn_wcc_data(wcc, parent_wcc);
    if (rc < 0) return mds_result(rc);
    return emit_handle(&made, mds_attrs, handle_out, attrs);
}

tarn_err tarn_client_rename(const tarn_context* context, const void* src_dir, uint64_t src_dir_len,
                            const char* src_name, const void* dst_dir, uint64_t dst_dir_len, const char* dst_name,
                            tarn_wcc_data* src_wcc, tarn_wcc_data* dst_wcc) {
    if (!context_ok(context) || src_name == nullptr || dst_name == nullptr) return TARN_ERR_INVAL;
    // Not idempotent: a repeat after a lost reply could answer "not found"
    // for a rename that was done, so the caller decides about repeating.
    MdsEnv env(context, TARN_RETRY_NEVER);
    tarn_handle src, dst;
    if (tarn_handle_from_opaque(src_dir, src_dir_len, &src) < 0) return TARN_ERR_INVAL;
    if (tarn_handle_from_opaque(dst_dir, dst_dir_len, &dst) < 0) return TARN_ERR_INVAL;

    uint8_t src_block[TARN_WCC_BYTES] = {};
    uint8_t dst_block[TARN_WCC_BYTES] = {};
    int rc = mds_client_rename(context->fs->mds, &src.mds_handle, src_name, &dst.mds_handle, dst_name,
                               src_wcc ? src_block : nullptr, dst_wcc ? dst_block : nullptr, &env.opts);
    if (src_wcc != nullptr) mds2tarn_wcc_data(src_block, src_wcc);
    if (dst_wcc != nullptr) mds2tarn_wcc_data(dst_block, dst_wcc);
    return mds_result(rc);
}

tarn_err tarn_client_read_dir(const tarn_context* context, const void* dir, uint64_t dir_len, uint64_t cookie,
                              bool with_attrs, tarn_dir_entry_cb callback, void* arg, bool* eof,
                              tarn_post_op_data* dir_post_op) {
    if (!context_ok(context) || callback == nullptr || eof == nullptr) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle handle;
    if (tarn_handle_from_opaque(dir, dir_len, &handle) < 0) return TARN_ERR_INVAL;

    ReadDirCtx ctx{callback, arg, with_attrs};
    uint8_t post_op[TARN_POST_OP_BYTES] = {};
    uint8_t at_end = 0;
    int rc = mds_client_readdir(context->fs->mds, &handle.mds_handle, cookie, read_dir_entry, &ctx, &at_end,
                                dir_post_op ? post_op : nullptr, &env.opts);
    if (dir_post_op != nullptr) mds2tarn_post_op_wcc_data(post_op, dir_post_op);
    if (rc < 0) return mds_result(rc);
    *eof = at_end != 0;
    return TARN_ERR_OK;
}

tarn_err tarn_client_create_symlink(const tarn_context* context, const void* parent, uint64_t parent_len,
                                    const char* name, const char* target, const tarn_attr_update* attrs_in,
                                    tarn_opaque_buf* handle_out, tarn_attr* attrs, tarn_wcc_data* parent_wcc) {
    if (!context_ok(context) || name == nullptr || target == nullptr || !handle_buf_ok(handle_out))
        return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle dir;
    if (tarn_handle_from_opaque(parent, parent_len, &dir) < 0) return TARN_ERR_INVAL;

    uint8_t update[TARN_MDS_UPDATE_BYTES];
    mds_update(attrs_in, update);
    tarn_mds_handle made{};
    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    uint8_t wcc[TARN_WCC_BYTES] = {};
    int rc = mds_client_symlink(context->fs->mds, &dir.mds_handle, name, target, update, &made, mds_attrs,
                                parent_wcc ? wcc : nullptr, &env.opts);
    if (parent_wcc != nullptr) mds2tarn_wcc_data(wcc, parent_wcc);
    if (rc < 0) return mds_result(rc);
    return emit_handle(&made, mds_attrs, handle_out, attrs);
}

tarn_err tarn_client_create_link(const tarn_context* context, const void* dir, uint64_t dir_len, const char* name,
                                 const void* file, uint64_t file_len, tarn_attr* attrs, tarn_wcc_data* dir_wcc) {
    if (!context_ok(context) || name == nullptr) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle dir_handle, object;
    if (tarn_handle_from_opaque(dir, dir_len, &dir_handle) < 0) return TARN_ERR_INVAL;
    if (tarn_handle_from_opaque(file, file_len, &object) < 0) return TARN_ERR_INVAL;

    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    uint8_t wcc[TARN_WCC_BYTES] = {};
    int rc = mds_client_link(context->fs->mds, &object.mds_handle, &dir_handle.mds_handle, name,
                             attrs ? mds_attrs : nullptr, dir_wcc ? wcc : nullptr, &env.opts);
    if (dir_wcc != nullptr) mds2tarn_wcc_data(wcc, dir_wcc);
    if (rc < 0) return mds_result(rc);
    if (attrs != nullptr) mds2tarn_attributes(mds_attrs, attrs);
    return TARN_ERR_OK;
}

tarn_err tarn_client_read_symlink(const tarn_context* context, const void* link, uint64_t link_len, char* buffer,
                                  uint64_t buffer_size, tarn_post_op_data* post_op) {
    if (!context_ok(context) || (buffer == nullptr && buffer_size > 0)) return TARN_ERR_INVAL;
    MdsEnv env(context, mds_timeout(context));
    tarn_handle handle;
    if (tarn_handle_from_opaque(link, link_len, &handle) < 0) return TARN_ERR_INVAL;

    uint8_t block[TARN_POST_OP_BYTES] = {};
    int rc = mds_client_readlink(context->fs->mds, &handle.mds_handle, buffer, buffer_size,
                                 post_op ? block : nullptr, &env.opts);
    if (post_op != nullptr) mds2tarn_post_op_wcc_data(block, post_op);
    return mds_result(rc);
}

tarn_err tarn_client_remove(const tarn_context* context, const void* dir, uint64_t dir_len, const char* name,
                            tarn_wcc_data* dir_wcc) {
    if (!context_ok(context) || name == nullptr) return TARN_ERR_INVAL;
    // Not idempotent, as rename.
    MdsEnv env(context, TARN_RETRY_NEVER);
    tarn_handle handle;
    if (tarn_handle_from_opaque(dir, dir_len, &handle) < 0) return TARN_ERR_INVAL;

    uint8_t wcc[TARN_WCC_BYTES] = {};
    int rc = mds_client_remove(context->fs->mds, &handle.mds_handle, name, dir_wcc ? wcc : nullptr, &env.opts);
    if (dir_wcc != nullptr) mds2tarn_wcc_data(wcc, dir_wcc);
    return mds_result(rc);
}

tarn_err tarn_client_get_fs_info(const tarn_context* context, tarn_fs_info* info, const uint32_t* timeout_ms) {
    if (!context_ok(context) || info == nullptr) return TARN_ERR_INVAL;
    MdsEnv env(context, timeout_ms != nullptr ? *timeout_ms : mds_timeout(context));
    uint8_t b[TARN_MDS_FS_INFO_BYTES] = {};
    int rc = mds_client_get_fs_info(context->fs->mds, b, &env.opts);
    if (rc < 0) return mds_result(rc);

    info->fs_id = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_FS_ID);
    info->total_space = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_TOTAL_SPACE);
    info->free_space = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_FREE_SPACE);
    info->avail_space = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_AVAIL_SPACE);
    info->total_files = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_TOTAL_FILES);
    info->free_files = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_FREE_FILES);
    info->avail_files = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_AVAIL_FILES);
    info->bsize = tarn_wire_get_u32(b, TARN_MDS_FS_INFO_BSIZE);
    info->frsize = tarn_wire_get_u32(b, TARN_MDS_FS_INFO_FRSIZE);
    info->maxread = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_MAXREAD);
    info->maxwrite = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_MAXWRITE);
    info->time_delta = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_TIME_DELTA);
    // Only the case bit and the two bits below it are the caller's business;
    // the rest of the word is the server's health report.
    info->flags = tarn_wire_get_u32(b, TARN_MDS_FS_INFO_FLAGS) & 0x7u;
    info->vdisk_count = tarn_wire_get_u16(b, TARN_MDS_FS_INFO_VDISK_COUNT);
    info->min_vdisk_free_space = tarn_wire_get_u64(b, TARN_MDS_FS_INFO_MIN_VDISK_FREE);
    return TARN_ERR_OK;
}

// ---------------------------------------------------------------- attributes
tarn_err tarn_client_get_attr(const tarn_context* context, const void* object, uint64_t object_len, tarn_attr* attrs) {
    if (!context_ok(context) || attrs == nullptr) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;

    if (on_ds(handle)) {
        uint8_t ds_attrs[TARN_DS_ATTR_BYTES] = {};
        tarn_err err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                        const uint8_t* creds) {
            ds_get_attrs_async(call, token, file_id, creds, ds_attrs);
        });
        if (err == TARN_ERR_OK) ds2tarn_attributes(ds_attrs, attrs);
        return err;
    }
    MdsEnv env(context, mds_timeout(context));
    uint8_t mds_attrs[TARN_MDS_ATTR_BYTES] = {};
    int rc = mds_client_get_attrs(context->fs->mds, &handle.mds_handle, mds_attrs, &env.opts);
    if (rc < 0) return mds_result(rc);
    mds2tarn_attributes(mds_attrs, attrs);
    return TARN_ERR_OK;
}

tarn_err tarn_client_set_attr(const tarn_context* context, const void* object, uint64_t object_len,
                              const tarn_attr_update* update, uint64_t guard, tarn_wcc_data* wcc) {
    if (!context_ok(context) || update == nullptr) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;

    // The guard travels as a 16-byte time: the value, then zeros.
    uint8_t guard_block[TARN_WIRE_TIME_BYTES];
    tarn_wire_put_time(guard_block, 0, guard);
    const uint8_t* guard_arg = guard != 0 ? guard_block : nullptr;
    uint8_t wcc_block[TARN_WCC_BYTES] = {};

    if (on_ds(handle)) {
        uint8_t ds_block[TARN_DS_UPDATE_BYTES];
        tarn2ds_attr_update(update, ds_block);
        tarn_err err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                        const uint8_t* creds) {
            ds_set_attrs_async(call, token, file_id, creds, ds_block, guard_arg, wcc ? wcc_block : nullptr);
        });
        if (wcc != nullptr) ds2tarn_wcc_data(wcc_block, wcc);
        return err;
    }
    MdsEnv env(context, mds_timeout(context));
    uint8_t mds_block[TARN_MDS_UPDATE_BYTES];
    tarn2mds_attr_update(update, mds_block);
    int rc = mds_client_set_attrs(context->fs->mds, &handle.mds_handle, mds_block, guard_arg,
                                  wcc ? wcc_block : nullptr, &env.opts);
    if (wcc != nullptr) mds2tarn_wcc_data(wcc_block, wcc);
    return mds_result(rc);
}

// ---------------------------------------------------------------- data
tarn_err tarn_client_fallocate(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                               uint64_t length) {
    if (!context_ok(context)) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(file, file_len, &handle) < 0) return TARN_ERR_INVAL;
    // Only regular files have data; nothing is asked of anyone for others.
    if (handle.vdisk_id == TARN_VDISK_ID_NONE) return TARN_ERR_INVAL;
    return run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id, const uint8_t* creds) {
        ds_modify_range_async(call, token, file_id, creds, TARN_DS_MODIFY_ALLOCATE, offset, length, 0);
    });
}

tarn_err tarn_client_read(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                          void* buffer, uint32_t count, uint32_t* bytes_read, bool* eof, tarn_post_op_data* post_op) {
    if (!context_ok(context) || (buffer == nullptr && count > 0) || bytes_read == nullptr || eof == nullptr)
        return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(file, file_len, &handle) < 0) return TARN_ERR_INVAL;

    uint32_t got = 0;
    uint8_t at_end = 0;
    uint8_t block[TARN_POST_OP_BYTES] = {};
    tarn_err err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                    const uint8_t* creds) {
        ds_read_async(call, token, file_id, creds, offset, buffer, count, &got, &at_end, post_op ? block : nullptr);
    });
    if (post_op != nullptr) ds2tarn_post_op_wcc_data(block, post_op);
    if (err != TARN_ERR_OK) return err;
    *bytes_read = got;
    *eof = at_end != 0;
    return TARN_ERR_OK;
}

tarn_err tarn_client_write(const tarn_context* context, const void* file, uint64_t file_len, uint64_t offset,
                           const void* data, uint32_t count, bool stable, uint32_t* bytes_written,
                           uint64_t* write_verifier, tarn_wcc_data* wcc) {
    if (!context_ok(context) || (data == nullptr && count > 0) || bytes_written == nullptr) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(file, file_len, &handle) < 0) return TARN_ERR_INVAL;

    uint32_t done = 0;
    uint64_t verifier = 0;
    uint8_t block[TARN_WCC_BYTES] = {};
    tarn_err err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                    const uint8_t* creds) {
        ds_write_async(call, token, file_id, creds, offset, data, count, uint8_t(stable ? 1 : 0), &done, &verifier,
                       wcc ? block : nullptr);
    });
    if (wcc != nullptr) ds2tarn_wcc_data(block, wcc);
    if (err != TARN_ERR_OK) return err;
    *bytes_written = done;
    if (write_verifier != nullptr) *write_verifier = verifier;
    return TARN_ERR_OK;
}

tarn_err tarn_client_sync(const tarn_context* context, const void* file, uint64_t file_len, uint64_t* write_verifier,
                          tarn_wcc_data* wcc) {
    if (!context_ok(context)) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(file, file_len, &handle) < 0) return TARN_ERR_INVAL;

    uint64_t verifier = 0;
    uint8_t block[TARN_WCC_BYTES] = {};
    tarn_err err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                    const uint8_t* creds) {
        ds_commit_async(call, token, file_id, creds, &verifier, wcc ? block : nullptr);
    });
    if (wcc != nullptr) ds2tarn_wcc_data(block, wcc);
    if (err != TARN_ERR_OK) return err;
    if (write_verifier != nullptr) *write_verifier = verifier;
    return TARN_ERR_OK;
}

// ---------------------------------------------------------------- extended attributes
tarn_err tarn_client_list_xattrs(const tarn_context* context, const void* object, uint64_t object_len,
                                 tarn_xattr_name_cb callback, void* arg) {
    if (!context_ok(context) || callback == nullptr) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;

    if (xattrs_on_ds(handle)) {
        return run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                const uint8_t* creds) {
            ds_list_xattrs(call, token, file_id, creds, callback, arg);
        });
    }
    MdsEnv env(context, mds_timeout(context));
    return mds_result(mds_client_list_xattrs(context->fs->mds, &handle.mds_handle, callback, arg, &env.opts));
}

tarn_err tarn_client_get_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                               const char* name, tarn_opaque_buf* value, uint64_t* needed_size) {
    if (!context_ok(context) || name == nullptr || value == nullptr ||
        (value->data == nullptr && value->capacity > 0))
        return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;

    uint64_t size = 0;
    tarn_err err;
    if (xattrs_on_ds(handle)) {
        // No DS reply carries more than this, so a larger buffer would only
        // overflow the request's 32-bit reply limit.
        const uint32_t capacity = uint32_t(value->capacity < k_ds_xattr_max_value ? value->capacity
                                                                                  : k_ds_xattr_max_value);
        err = run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                               const uint8_t* creds) {
            ds_get_xattr_async(call, token, file_id, creds, name, value->data, capacity, &size);
        });
    } else {
        MdsEnv env(context, mds_timeout(context));
        err = mds_result(mds_client_get_xattr(context->fs->mds, &handle.mds_handle, name, value->data,
                                              value->capacity, &size, &env.opts));
    }
    // A value is never reported longer than the buffer that should hold it,
    // whichever server answered and however small the buffer.
    if (err == TARN_ERR_OK && size > value->capacity) err = TARN_ERR_BUFFER_TOO_SMALL;
    if (err == TARN_ERR_OK) value->size = size;
    if ((err == TARN_ERR_OK || err == TARN_ERR_BUFFER_TOO_SMALL) && needed_size != nullptr) *needed_size = size;
    return err;
}

tarn_err tarn_client_set_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                               const char* name, const void* value, uint64_t value_len, tarn_set_xattr_mode mode) {
    if (!context_ok(context) || name == nullptr || (value == nullptr && value_len > 0)) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;
    // Both servers take a 32-bit length; a longer value is refused here
    // rather than cut.
    if (value_len > UINT32_MAX) return TARN_ERR_TOO_BIG;

    if (xattrs_on_ds(handle)) {
        const uint32_t wire_mode = tarn2ds_setxattr_mode(mode);
        return run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                const uint8_t* creds) {
            ds_set_xattr_async(call, token, file_id, creds, name, value, uint32_t(value_len), wire_mode);
        });
    }
    const uint32_t wire_mode = tarn2mds_setxattr_mode(mode);
    MdsEnv env(context, mds_timeout(context));
    return mds_result(
        mds_client_set_xattr(context->fs->mds, &handle.mds_handle, name, value, value_len, wire_mode, &env.opts));
}

tarn_err tarn_client_remove_xattr(const tarn_context* context, const void* object, uint64_t object_len,
                                  const char* name) {
    if (!context_ok(context) || name == nullptr) return TARN_ERR_INVAL;
    tarn_handle handle;
    if (tarn_handle_from_opaque(object, object_len, &handle) < 0) return TARN_ERR_INVAL;

    if (xattrs_on_ds(handle)) {
        return run_ds_call(context, handle, [&](ds_call* call, uint64_t token, uint64_t file_id,
                                                const uint8_t* creds) {
            ds_remove_xattr_async(call, token, file_id, creds, name);
        });
    }
    MdsEnv env(context, mds_timeout(context));
    return mds_result(mds_client_remove_xattr(context->fs->mds, &handle.mds_handle, name, &env.opts));
}
