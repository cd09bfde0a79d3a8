// DS operations: request encoders and reply handlers, byte for byte.
#include "client/tarn_ds_client_ops.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "client/tarn_wire.h"
#include "kiv/base.h"

namespace {

// ---------------------------------------------------------------- helpers
void fail_unsent(ds_call* call, uint32_t error_number) {
    ds_call_fail_unsent(call, rpc_error_make(error_number, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL));
}

kiv_msg* plain_req(ds_call* call, const char* rpc_name, uint32_t type, uint32_t size) {
    ds_call_set_rpc_name(call, rpc_name);
    kiv_msg* msg = ds_call_create_req(size, call);
    if (msg == nullptr) {
        fail_unsent(call, ENOMEM);
        return nullptr;
    }
    ds_call_init_req_hdr(msg, type);
    return msg;
}

kiv_msg* file_req(ds_call* call, const char* rpc_name, uint32_t type, uint32_t size, uint64_t location_token,
                  uint64_t file_id, const uint8_t* credentials) {
    kiv_msg* msg = plain_req(call, rpc_name, type, size);
    if (msg != nullptr) ds_call_init_file_req_hdr(msg, location_token, file_id, credentials);
    return msg;
}

// A bulk request: `header_len` kept bytes, then `len` bytes of `data` read
// from the caller's buffer at send time, then padding.
kiv_msg* bulk_req(ds_call* call, const char* rpc_name, uint32_t type, uint32_t header_len, const void* data,
                  uint32_t len) {
    ds_call_set_rpc_name(call, rpc_name);
    call->bulk_data = const_cast<void*>(data);
    call->bulk_len = len;
    kiv_msg* msg = ds_call_create_bulk_req(uint64_t(header_len) + len, header_len, call);
    if (msg == nullptr) {
        fail_unsent(call, ENOMEM);
        return nullptr;
    }
    ds_call_init_req_hdr(msg, type);
    return msg;
}

// The caller's buffer receives the data part of the reply.
void expect_bulk_reply(ds_call* call, void* buf, uint64_t buf_size, uint32_t fixed_len) {
    call->bulk_data = buf;
    call->bulk_len = buf_size;
    call->reply_header_len = fixed_len;
}

void put_name(kiv_msg* msg, size_t offset, const char* name, size_t name_len) {
    memcpy(msg->buf + offset, name, name_len);
    msg->buf[offset + name_len] = 0;
}

void clear_post_op(uint8_t* block) {
    if (block != nullptr) tarn_wire_put_u32(block, TARN_POST_OP_PRESENT, 0);
}

void clear_wcc(uint8_t* block) {
    if (block == nullptr) return;
    tarn_wire_put_u32(block, TARN_WCC_PRE_PRESENT, 0);
    tarn_wire_put_u32(block, TARN_WCC_POST + TARN_POST_OP_PRESENT, 0);
}

template <typename T>
void set_ctx(ds_call* call, const T& ctx) {
    static_assert(sizeof(T) <= DS_CALL_HANDLER_CTX_BYTES);
    ds_call_set_resp_handler_ctx(call, &ctx, sizeof ctx);
}

template <typename T>
T get_ctx(const ds_call* call) {
    static_assert(sizeof(T) <= DS_CALL_HANDLER_CTX_BYTES);
    T ctx;
    ds_call_get_resp_handler_ctx(call, &ctx, sizeof ctx);
    return ctx;
}

// The reply's length as received: a reply that went to the caller's buffer
// is never longer than the fixed part plus that buffer.
uint32_t reply_len(const kiv_msg* reply) { return reply->total_len; }

bool fail_reply(rpc_error* error) {
    *error = rpc_error_make(KIV_E_PROTO, RPC_ERR_RUNTIME, RPC_ORIGIN_LOCAL);
    return false;
}

bool too_short(const kiv_msg* reply, rpc_error* error) {
    kiv_log(1, "Response is too short: %u", reply_len(reply));
    return fail_reply(error);
}

bool too_much(const char* what, uint64_t got, uint64_t limit, rpc_error* error) {
    kiv_log(1, "%s more data than expected: %lu > %lu", what, static_cast<unsigned long>(got),
            static_cast<unsigned long>(limit));
    return fail_reply(error);
}

// A reply whose data part was too long for the reply-allocation hook's
// message (or that the runtime allocated itself) holds the data in its own
// buffer; move it to the caller's. Otherwise it is already there.
void land_bulk_data(ds_call* call, const kiv_msg* reply, uint64_t n) {
    const uint64_t fixed = call->reply_header_len;
    if (n > 0 && reply->kept_len >= fixed + n) memcpy(call->bulk_data, reply->buf + fixed, n);
}

void copy_block(uint8_t* out, const kiv_msg* reply, size_t offset, size_t len) {
    if (out != nullptr) memcpy(out, reply->buf + offset, len);
}

// ---------------------------------------------------------------- read
struct read_ctx {
    uint32_t* out_count;
    uint8_t* out_eof;
    uint8_t* out_post_op;
};

bool read_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_READ_REP_MIN) return too_short(reply, error);
    const uint32_t n = tarn_wire_get_u32(reply->buf, TARN_DS_READ_REP_COUNT);
    if (n > call->bulk_len) return too_much("Received", n, call->bulk_len, error);
    if (TARN_DS_READ_REP_DATA + uint64_t(n) > reply_len(reply)) return too_short(reply, error);
    land_bulk_data(call, reply, n);
    const auto ctx = get_ctx<read_ctx>(call);
    *ctx.out_count = n;
    *ctx.out_eof = (tarn_wire_get_u16(reply->buf, TARN_DS_READ_REP_FLAGS) & TARN_DS_READ_FLAG_EOF) != 0;
    copy_block(ctx.out_post_op, reply, TARN_DS_READ_REP_POST_OP, TARN_POST_OP_BYTES);
    return true;
}

bool read_err(ds_call* call, const kiv_msg* reply, rpc_error*) {
    const auto ctx = get_ctx<read_ctx>(call);
    if (reply_len(reply) >= TARN_DS_ERR_POST_OP_MIN && reply->kept_len >= TARN_DS_ERR_POST_OP_MIN)
        copy_block(ctx.out_post_op, reply, TARN_DS_ERR_POST_OP, TARN_POST_OP_BYTES);
    return true;
}

// ---------------------------------------------------------------- write
struct write_ctx {
    uint32_t* out_count;
    uint64_t* out_verifier;
    uint8_t* out_wcc;
};

bool write_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_WRITE_REP_MIN) return too_short(reply, error);
    const uint32_t written = tarn_wire_get_u32(reply->buf, TARN_DS_WRITE_REP_COUNT);
    if (written > call->bulk_len) return too_much("Written", written, call->bulk_len, error);
    const auto ctx = get_ctx<write_ctx>(call);
    *ctx.out_count = written;
    if (ctx.out_verifier != nullptr) *ctx.out_verifier = tarn_wire_get_u64(reply->buf, TARN_DS_WRITE_REP_VERIFIER);
    copy_block(ctx.out_wcc, reply, TARN_DS_WRITE_REP_WCC, TARN_WCC_BYTES);
    return true;
}

// Error handlers of requests whose error replies may carry the wcc block.
bool wcc_err(uint8_t* out_wcc, const kiv_msg* reply) {
    if (reply_len(reply) >= TARN_DS_ERR_WCC_MIN) copy_block(out_wcc, reply, TARN_DS_ERR_WCC, TARN_WCC_BYTES);
    return true;
}

bool write_err(ds_call* call, const kiv_msg* reply, rpc_error*) {
    return wcc_err(get_ctx<write_ctx>(call).out_wcc, reply);
}

// ---------------------------------------------------------------- commit
struct commit_ctx {
    uint64_t* out_verifier;
    uint8_t* out_wcc;
};

bool commit_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_COMMIT_REP_MIN) return too_short(reply, error);
    const auto ctx = get_ctx<commit_ctx>(call);
    copy_block(ctx.out_wcc, reply, TARN_DS_COMMIT_REP_WCC, TARN_WCC_BYTES);
    if (ctx.out_verifier != nullptr) *ctx.out_verifier = tarn_wire_get_u64(reply->buf, TARN_DS_COMMIT_REP_VERIFIER);
    return true;
}

bool commit_err(ds_call* call, const kiv_msg* reply, rpc_error*) {
    return wcc_err(get_ctx<commit_ctx>(call).out_wcc, reply);
}

// ---------------------------------------------------------------- attributes
bool get_attrs_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_GET_ATTRS_REP_MIN) return too_short(reply, error);
    copy_block(get_ctx<uint8_t*>(call), reply, TARN_DS_GET_ATTRS_REP_ATTRS, TARN_DS_ATTR_BYTES);
    return true;
}

bool set_attrs_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_SET_ATTRS_REP_MIN) return too_short(reply, error);
    copy_block(get_ctx<uint8_t*>(call), reply, TARN_DS_SET_ATTRS_REP_WCC, TARN_WCC_BYTES);
    return true;
}

bool set_attrs_err(ds_call* call, const kiv_msg* reply, rpc_error*) { return wcc_err(get_ctx<uint8_t*>(call), reply); }

bool create_file_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_CREATE_REP_MIN) return too_short(reply, error);
    copy_block(get_ctx<uint8_t*>(call), reply, TARN_DS_CREATE_REP_ATTRS, TARN_DS_ATTR_BYTES);
    return true;
}

// ---------------------------------------------------------------- usage
struct usage_ctx {
    uint8_t* out_usage;
    uint8_t* out_flag;
};

bool usage_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_USAGE_REP_MIN) return too_short(reply, error);
    const auto ctx = get_ctx<usage_ctx>(call);
    copy_block(ctx.out_usage, reply, TARN_DS_USAGE_REP_BLOCK, TARN_DS_USAGE_BYTES);
    *ctx.out_flag = tarn_wire_get_u32(reply->buf, TARN_DS_USAGE_REP_FLAGS) & 0x1;
    return true;
}

// ---------------------------------------------------------------- replicate
struct replicate_ctx {
    uint32_t* out_count;
    uint64_t* cookie;
    uint32_t* out_value;
};

bool replicate_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_REPLICATE_REP_MIN) return too_short(reply, error);
    const uint32_t count = tarn_wire_get_u32(reply->buf, TARN_DS_REPLICATE_REP_COUNT);
    const uint64_t bytes = uint64_t(count) * TARN_DS_REPLICATE_RECORD_BYTES;
    if (bytes > call->bulk_len) return too_much("Received", bytes, call->bulk_len, error);
    if (TARN_DS_REPLICATE_REP_RECORDS + bytes > reply_len(reply)) return too_short(reply, error);
    land_bulk_data(call, reply, bytes);
    const auto ctx = get_ctx<replicate_ctx>(call);
    *ctx.out_count = count;
    *ctx.cookie = tarn_wire_get_u64(reply->buf, TARN_DS_REPLICATE_REP_COOKIE);
    if (ctx.out_value != nullptr) *ctx.out_value = tarn_wire_get_u32(reply->buf, TARN_DS_REPLICATE_REP_VALUE);
    return true;
}

// ---------------------------------------------------------------- extended attributes
bool get_xattr_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    if (reply_len(reply) < TARN_DS_GET_XATTR_REP_MIN) return too_short(reply, error);
    const uint32_t n = tarn_wire_get_u32(reply->buf, TARN_DS_GET_XATTR_REP_LEN);
    if (n > call->bulk_len) return too_much("Received", n, call->bulk_len, error);
    if (TARN_DS_GET_XATTR_REP_VALUE + uint64_t(n) > reply_len(reply)) return too_short(reply, error);
    land_bulk_data(call, reply, n);
    *get_ctx<uint64_t*>(call) = n;
    return true;
}

bool get_xattr_err(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    const uint32_t len = reply_len(reply);
    if (len == TARN_REPLY_HDR_BYTES) return true;
    if (len < TARN_DS_GET_XATTR_ERR_MIN) return too_short(reply, error);
    *get_ctx<uint64_t*>(call) = tarn_wire_get_u32(reply->buf, TARN_DS_GET_XATTR_ERR_NEEDED);
    return true;
}

struct list_ctx {
    ds_xattr_name_cb callback;
    void* cb_arg;
};

bool list_xattrs_ok(ds_call* call, const kiv_msg* reply, rpc_error* error) {
    const uint32_t len = reply_len(reply);
    if (len < TARN_DS_LIST_XATTRS_REP_MIN) return too_short(reply, error);
    const auto ctx = get_ctx<list_ctx>(call);
    const char* p = reinterpret_cast<const char*>(reply->buf) + TARN_DS_LIST_XATTRS_REP_NAMES;
    const char* end = reinterpret_cast<const char*>(reply->buf) + std::min(len, reply->kept_len);
    while (p < end) {
        const char* zero = static_cast<const char*>(memchr(p, 0, size_t(end - p)));
        if (zero == nullptr) break; // a trailing name without its zero is ignored
        if (!ctx.callback(p, ctx.cb_arg)) break;
        p = zero + 1;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- plain requests
void ds_noop_async(ds_call* call) {
    kiv_msg* msg = plain_req(call, "ds_noop_async", TARN_DS_NOOP, TARN_DS_NOOP_REQ_BYTES);
    if (msg != nullptr) ds_call_send(msg);
}

namespace {

void mount_like(ds_call* call, const char* rpc_name, uint32_t type, const void* items, uint32_t count) {
    const uint64_t size = TARN_DS_MOUNT_REQ_BYTES + uint64_t(count) * TARN_DS_MOUNT_ITEM_BYTES;
    KIV_BUG_ON(size > TARN_DS_MAX_MSG);
    kiv_msg* msg = plain_req(call, rpc_name, type, uint32_t(size));
    if (msg == nullptr) return;
    tarn_wire_put_u32(msg->buf, TARN_DS_MOUNT_COUNT, count);
    tarn_wire_put_u32(msg->buf, TARN_DS_MOUNT_COUNT + 4, 0);
    if (count > 0) memcpy(msg->buf + TARN_DS_MOUNT_ITEMS, items, size_t(count) * TARN_DS_MOUNT_ITEM_BYTES);
    ds_call_send(msg);
}

}  // namespace

void ds_mount_vdisk_async(ds_call* call, const void* items, uint32_t count) {
    mount_like(call, "ds_mount_vdisk_async", TARN_DS_MOUNT_VDISK, items, count);
}

void ds_unmount_vdisk_async(ds_call* call, const void* items, uint32_t count) {
    mount_like(call, "ds_unmount_vdisk_async", TARN_DS_UNMOUNT_VDISK, items, count);
}

void ds_vdisk_usage_ctl_async(ds_call* call, uint64_t value, const uint8_t* block16, uint8_t* out_usage,
                              uint8_t* out_flag) {
    kiv_msg* msg = plain_req(call, "ds_vdisk_usage_ctl_async", TARN_DS_VDISK_USAGE_CTL, TARN_DS_USAGE_REQ_BYTES);
    if (msg == nullptr) return;
    tarn_wire_put_u64(msg->buf, TARN_DS_USAGE_VALUE, value);
    if (block16 != nullptr) memcpy(msg->buf + TARN_DS_USAGE_BLOCK16, block16, 16);
    tarn_wire_put_u32(msg->buf, TARN_DS_USAGE_HAS_BLOCK, block16 != nullptr ? 1 : 0);
    tarn_wire_put_u32(msg->buf, TARN_DS_USAGE_HAS_BLOCK + 4, 0);
    set_ctx(call, usage_ctx{out_usage, out_flag});
    call->ok_handler = usage_ok;
    ds_call_send(msg);
}

void ds_replicate_async(ds_call* call, uint64_t value, uint32_t value32, void* buf, uint64_t buf_size,
                        uint32_t* out_count, uint64_t* cookie, uint32_t* out_value) {
    kiv_msg* msg = plain_req(call, "ds_replicate_async", TARN_DS_REPLICATE, TARN_DS_REPLICATE_REQ_BYTES);
    if (msg == nullptr) return;
    tarn_wire_put_u64(msg->buf, TARN_DS_REPLICATE_VALUE, value);
    tarn_wire_put_u32(msg->buf, TARN_DS_REPLICATE_VALUE32, value32);
    const uint64_t largest = std::min<uint64_t>(buf_size + TARN_DS_REPLICATE_REP_RECORDS, TARN_DS_MAX_MSG);
    tarn_wire_put_u32(msg->buf, TARN_DS_REPLICATE_MAX_REPLY, uint32_t(largest));
    tarn_wire_put_u64(msg->buf, TARN_DS_REPLICATE_COOKIE, *cookie);
    expect_bulk_reply(call, buf, buf_size, TARN_DS_REPLICATE_REP_RECORDS);
    set_ctx(call, replicate_ctx{out_count, cookie, out_value});
    call->ok_handler = replicate_ok;
    ds_call_send(msg);
}

void ds_repl_recovery_async(ds_call* call, uint64_t value1, uint32_t value2, uint64_t value3, const void* data,
                            uint32_t len, bool flag) {
    kiv_msg* msg = bulk_req(call, "ds_repl_recovery_async", TARN_DS_REPL_RECOVERY, TARN_DS_RECOVERY_HDR_BYTES, data,
                            len);
    if (msg == nullptr) return;
    tarn_wire_put_u64(msg->buf, TARN_DS_RECOVERY_VALUE1, value1);
    tarn_wire_put_u32(msg->buf, TARN_DS_RECOVERY_VALUE2, value2);
    tarn_wire_put_u32(msg->buf, TARN_DS_RECOVERY_FLAG, flag ? 1 : 0);
    tarn_wire_put_u64(msg->buf, TARN_DS_RECOVERY_VALUE3, value3);
    tarn_wire_put_u32(msg->buf, TARN_DS_RECOVERY_LEN, len);
    tarn_wire_put_u32(msg->buf, TARN_DS_RECOVERY_LEN + 4, 0);
    ds_call_send(msg);
}

void ds_test_async(ds_call* call, uint32_t code) {
    kiv_msg* msg = plain_req(call, "ds_test_async", TARN_DS_TEST, TARN_DS_TEST_REQ_BYTES);
    if (msg == nullptr) return;
    tarn_wire_put_u32(msg->buf, TARN_DS_TEST_CODE, code);
    tarn_wire_put_u32(msg->buf, TARN_DS_TEST_CODE + 4, 0);
    tarn_wire_put_u32(msg->buf, TARN_DS_TEST_CRC, kiv_crc32(msg->buf + TARN_DS_TEST_CODE, 8));
    ds_call_send(msg);
}

// ---------------------------------------------------------------- file requests
void ds_remove_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials) {
    kiv_msg* msg = file_req(call, "ds_remove_async", TARN_DS_REMOVE, TARN_DS_REMOVE_REQ_BYTES, location_token,
                            file_id, credentials);
    if (msg != nullptr) ds_call_send(msg);
}

void ds_read_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                   uint64_t offset, void* buf, uint32_t count, uint32_t* out_count, uint8_t* out_eof,
                   uint8_t* out_post_op) {
    KIV_BUG_ON(out_count == nullptr || out_eof == nullptr);
    clear_post_op(out_post_op);
    kiv_msg* msg = file_req(call, "ds_read_async", TARN_DS_READ, TARN_DS_READ_REQ_BYTES, location_token, file_id,
                            credentials);
    if (msg == nullptr) return;
    tarn_wire_put_u64(msg->buf, TARN_DS_READ_OFFSET, offset);
    tarn_wire_put_u32(msg->buf, TARN_DS_READ_COUNT, count);
    tarn_wire_put_u32(msg->buf, TARN_DS_READ_COUNT + 4, 0);
    expect_bulk_reply(call, buf, count, TARN_DS_READ_REP_DATA);
    set_ctx(call, read_ctx{out_count, out_eof, out_post_op});
    call->ok_handler = read_ok;
    call->error_handler = read_err;
    ds_call_send(msg);
}

void ds_write_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                    uint64_t offset, const void* buf, uint32_t len, uint8_t stable, uint32_t* out_count,
                    uint64_t* out_verifier, uint8_t* out_wcc) {
    KIV_BUG_ON(out_count == nullptr);
    clear_wcc(out_wcc);
    kiv_msg* msg = bulk_req(call, "ds_write_async", TARN_DS_WRITE, TARN_DS_WRITE_HDR_BYTES, buf, len);
    if (msg == nullptr) return;
    ds_call_init_file_req_hdr(msg, location_token, file_id, credentials);
    tarn_wire_put_u32(msg->buf, TARN_DS_WRITE_STABLE, stable);
    tarn_wire_put_u32(msg->buf, TARN_DS_WRITE_STABLE + 4, 0);
    tarn_wire_put_u64(msg->buf, TARN_DS_WRITE_OFFSET, offset);
    tarn_wire_put_u32(msg->buf, TARN_DS_WRITE_LEN, len);
    tarn_wire_put_u32(msg->buf, TARN_DS_WRITE_LEN + 4, 0);
    set_ctx(call, write_ctx{out_count, out_verifier, out_wcc});
    call->ok_handler = write_ok;
    call->error_handler = write_err;
    ds_call_send(msg);
}

void ds_commit_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                     uint64_t* out_verifier, uint8_t* out_wcc) {
    clear_wcc(out_wcc);
    kiv_msg* msg = file_req(call, "ds_commit_async", TARN_DS_COMMIT, TARN_DS_COMMIT_REQ_BYTES, location_token,
                            file_id, credentials);
    if (msg == nullptr) return;
    set_ctx(call, commit_ctx{out_verifier, out_wcc});
    call->ok_handler = commit_ok;
    call->error_handler = commit_err;
    ds_call_send(msg);
}

void ds_create_file_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                          uint64_t value, const uint8_t* block24, const uint8_t* block96, uint8_t* out_attrs) {
    kiv_msg* msg = file_req(call, "ds_create_file_async", TARN_DS_CREATE_FILE, TARN_DS_CREATE_REQ_BYTES,
                            location_token, file_id, credentials);
    if (msg == nullptr) return;
    tarn_wire_put_u64(msg->buf, TARN_DS_CREATE_VALUE, value);
    memcpy(msg->buf + TARN_DS_CREATE_BLOCK24, block24, 24);
    memcpy(msg->buf + TARN_DS_CREATE_BLOCK96, block96, 96);
    set_ctx(call, out_attrs);
    call->ok_handler = create_file_ok;
    ds_call_send(msg);
}

void ds_get_attrs_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        uint8_t* out_attrs) {
    KIV_BUG_ON(out_attrs == nullptr);
    kiv_msg* msg = file_req(call, "ds_get_attrs_async", TARN_DS_GET_ATTRS, TARN_DS_GET_ATTRS_REQ_BYTES,
                            location_token, file_id, credentials);
    if (msg == nullptr) return;
    set_ctx(call, out_attrs);
    call->ok_handler = get_attrs_ok;
    ds_call_send(msg);
}

void ds_set_attrs_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const uint8_t* update, const uint8_t* guard, uint8_t* out_wcc) {
    clear_wcc(out_wcc);
    kiv_msg* msg = file_req(call, "ds_set_attrs_async", TARN_DS_SET_ATTRS, TARN_DS_SET_ATTRS_REQ_BYTES,
                            location_token, file_id, credentials);
    if (msg == nullptr) return;
    memcpy(msg->buf + TARN_DS_SET_ATTRS_UPDATE, update, TARN_DS_UPDATE_BYTES);
    if (guard != nullptr) memcpy(msg->buf + TARN_DS_SET_ATTRS_GUARD, guard, TARN_DS_GUARD_BYTES);
    set_ctx(call, out_wcc);
    call->ok_handler = set_attrs_ok;
    call->error_handler = set_attrs_err;
    ds_call_send(msg);
}

void ds_list_xattrs(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                    ds_xattr_name_cb callback, void* cb_arg) {
    KIV_BUG_ON(callback == nullptr);
    kiv_msg* msg = file_req(call, "ds_list_xattrs", TARN_DS_LIST_XATTRS, TARN_DS_LIST_XATTRS_REQ_BYTES,
                            location_token, file_id, credentials);
    if (msg == nullptr) return;
    tarn_wire_put_u32(msg->buf, TARN_DS_LIST_XATTRS_MAX_REPLY, TARN_DS_MAX_MSG);
    set_ctx(call, list_ctx{callback, cb_arg});
    call->ok_handler = list_xattrs_ok;
    ds_call_send(msg);
}

void ds_get_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const char* name, void* buf, uint32_t buf_size, uint64_t* out_size) {
    KIV_BUG_ON(name == nullptr || out_size == nullptr);
    const size_t name_len = strlen(name);
    kiv_msg* msg = file_req(call, "ds_get_xattr_async", TARN_DS_GET_XATTR,
                            uint32_t(TARN_DS_GET_XATTR_REQ_BYTES + name_len), location_token, file_id, credentials);
    if (msg == nullptr) return;
    const uint64_t largest = std::min<uint64_t>(uint64_t(buf_size) + TARN_DS_GET_XATTR_REP_VALUE, TARN_DS_MAX_MSG);
    tarn_wire_put_u32(msg->buf, TARN_DS_GET_XATTR_MAX_REPLY, uint32_t(largest));
    put_name(msg, TARN_DS_GET_XATTR_NAME, name, name_len);
    expect_bulk_reply(call, buf, buf_size, TARN_DS_GET_XATTR_REP_VALUE);
    set_ctx(call, out_size);
    call->ok_handler = get_xattr_ok;
    call->error_handler = get_xattr_err;
    ds_call_send(msg);
}

void ds_set_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                        const char* name, const void* value, uint32_t value_len, uint32_t mode) {
    KIV_BUG_ON(name == nullptr);
    const size_t name_len = strlen(name);
    if (name_len + 1 > TARN_DS_XATTR_NAME_MAX) {
        ds_call_set_rpc_name(call, "ds_set_xattr_async");
        fail_unsent(call, E2BIG);
        return;
    }
    const uint32_t header = uint32_t(TARN_DS_SET_XATTR_HDR_BYTES + name_len);
    kiv_msg* msg = bulk_req(call, "ds_set_xattr_async", TARN_DS_SET_XATTR, header, value, value_len);
    if (msg == nullptr) return;
    ds_call_init_file_req_hdr(msg, location_token, file_id, credentials);
    tarn_wire_put_u16(msg->buf, TARN_DS_SET_XATTR_MODE, uint16_t(mode));
    tarn_wire_put_u32(msg->buf, TARN_DS_SET_XATTR_NAME_LEN, uint32_t(name_len + 1));
    tarn_wire_put_u32(msg->buf, TARN_DS_SET_XATTR_VALUE_LEN, value_len);
    put_name(msg, TARN_DS_SET_XATTR_NAME, name, name_len);
    ds_call_send(msg);
}

void ds_remove_xattr_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                           const char* name) {
    KIV_BUG_ON(name == nullptr);
    const size_t name_len = strlen(name);
    kiv_msg* msg = file_req(call, "ds_remove_xattr_async", TARN_DS_REMOVE_XATTR,
                            uint32_t(TARN_DS_REMOVE_XATTR_REQ_BYTES + name_len), location_token, file_id,
                            credentials);
    if (msg == nullptr) return;
    put_name(msg, TARN_DS_REMOVE_XATTR_NAME, name, name_len);
    ds_call_send(msg);
}

void ds_modify_range_async(ds_call* call, uint64_t location_token, uint64_t file_id, const uint8_t* credentials,
                           uint32_t operation, uint64_t offset, uint64_t length, uint32_t flags) {
    kiv_msg* msg = file_req(call, "ds_modify_range_async", TARN_DS_MODIFY_RANGE, TARN_DS_MODIFY_REQ_BYTES,
                            location_token, file_id, credentials);
    if (msg == nullptr) return;
    tarn_wire_put_u32(msg->buf, TARN_DS_MODIFY_OP, operation);
    tarn_wire_put_u32(msg->buf, TARN_DS_MODIFY_FLAGS, flags);
    tarn_wire_put_u64(msg->buf, TARN_DS_MODIFY_OFFSET, offset);
    tarn_wire_put_u64(msg->buf, TARN_DS_MODIFY_LENGTH, length);
    tarn_wire_put_u64(msg->buf, TARN_DS_MODIFY_LENGTH + 8, 0);
    ds_call_send(msg);
}

// ---------------------------------------------------------------- fencing
int ds_fence(ds_client* client, uint32_t vdisk_count, uint32_t retry_timeout_ms,
             const tarn_cancel_token* cancel_token) {
    kiv_trace(7, __func__, "Fencing off %u vdisks", vdisk_count);
    if (vdisk_count == 0) return 0;
    KIV_BUG_ON(kiv_in_loop_context() || vdisk_count > 0x10000);
    // The calls hold their own locks, so they must not move once made.
    std::unique_ptr<ds_call[]> calls(new ds_call[vdisk_count]);
    for (uint32_t i = 0; i < vdisk_count; i++) {
        ds_call_init(&calls[i], client, retry_timeout_ms, ds_target_by_vdisk(uint16_t(i)));
        ds_call_make_cancellable(&calls[i], cancel_token);
        ds_noop_async(&calls[i]);
    }
    rpc_error aggregate{};
    for (uint32_t i = 0; i < vdisk_count; i++) {
        ds_call_wait_for_result(&calls[i]);
        ds_call_merge_result(&calls[i], &aggregate);
        ds_call_fini(&calls[i]);
    }
    return -int(ds_call2posix_error(aggregate));
}
