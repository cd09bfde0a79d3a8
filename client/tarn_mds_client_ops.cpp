// The MDS client operations: request descriptions, reply decoding, and the
// one-call runner every operation goes through.
#include "client/tarn_mds_client_ops.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>

#include "client/tarn_wire.h"
#include "kiv/base.h"
#include "kiv/rpc.h"

namespace {

const char* const k_tag = "tarn_mds_client_ops";

// ---------------------------------------------------------------- requests
// Appends fields in wire order after the header and tracks the length.
class RequestBuilder {
   public:
    RequestBuilder(mds_request* req, uint32_t type, const char* rpc_name) : req_(req) {
        *req = mds_request{};
        req->type = type;
        req->rpc_name = rpc_name;
    }

    RequestBuilder& bytes(const void* data, uint64_t len) { return add(data, len, 0); }
    RequestBuilder& handle(const tarn_mds_handle* h) {
        KIV_BUG_ON(h == nullptr);
        return bytes(h, TARN_MDS_HANDLE_BYTES);
    }
    RequestBuilder& block(const uint8_t* b, size_t len) {
        KIV_BUG_ON(b == nullptr);
        return bytes(b, len);
    }
    // A NUL-terminated text carried with its zero.
    RequestBuilder& text(const char* s) { return bytes(s, strlen(s) + 1); }
    RequestBuilder& u16(uint16_t v) { return add(nullptr, 2, v); }
    RequestBuilder& u32(uint32_t v) { return add(nullptr, 4, v); }
    RequestBuilder& u64(uint64_t v) { return add(nullptr, 8, v); }
    RequestBuilder& zeros(uint32_t len) { return add(nullptr, len, 0); }

    uint64_t length() const { return length_; }

    // 0, or `too_long` when the request exceeds the largest message.
    int finish(int too_long) {
        if (length_ > TARN_MDS_MAX_MSG) return too_long;
        req_->length = uint32_t(length_);
        return 0;
    }

   private:
    RequestBuilder& add(const void* data, uint64_t len, uint64_t value) {
        KIV_BUG_ON(req_->nfields >= MDS_REQ_MAX_FIELDS);
        // A field beyond the largest message fails finish(); keep the
        // length saturated rather than storing a truncated size.
        length_ += std::min<uint64_t>(len, uint64_t(TARN_MDS_MAX_MSG) + 1);
        req_->fields[req_->nfields++] = mds_req_field{data, uint32_t(std::min<uint64_t>(len, TARN_MDS_MAX_MSG)), value};
        return *this;
    }

    mds_request* req_;
    uint64_t length_ = TARN_MDS_REQ_HDR_BYTES;
};

int check_entry_name(const char* name) {
    if (name == nullptr) return -EINVAL;
    return strlen(name) > TARN_MDS_NAME_MAX ? -EINVAL : 0;
}

int check_xattr_name(const char* name) {
    if (name == nullptr) return -EINVAL;
    return strlen(name) > TARN_MDS_NAME_MAX ? -E2BIG : 0;
}

// The largest reply a request with a `buf_size`-byte buffer accepts.
uint32_t value_reply_limit(size_t buf_size) {
    const size_t hdr = TARN_MDS_GET_XATTR_REP_VALUE;
    return buf_size >= TARN_MDS_MAX_MSG - hdr ? TARN_MDS_MAX_MSG : uint32_t(buf_size + hdr);
}

// ---------------------------------------------------------------- replies
enum Slot : uint8_t { SLOT_NONE, SLOT_HANDLE, SLOT_ATTRS, SLOT_POST_OP, SLOT_WCC, SLOT_WCC2, SLOT_INFO };

struct BlockCopy {
    uint16_t offset;
    Slot slot;
};

// What the handlers of one request type read. Blocks are copied into the
// slots the operation asked for; the special parts are decoded in code.
struct ReplyLayout {
    uint32_t type;
    bool has_ok;
    bool has_error;
    uint32_t ok_min;
    uint32_t error_min;      // error blocks are read only from this length on
    bool error_min_required; // a shorter error reply fails the call
    BlockCopy ok[3];
    BlockCopy error[2];
};

constexpr BlockCopy k_handle_attrs_wcc[3] = {
    {TARN_MDS_MKOBJ_REP_HANDLE, SLOT_HANDLE}, {TARN_MDS_MKOBJ_REP_ATTRS, SLOT_ATTRS}, {TARN_MDS_MKOBJ_REP_DIR_WCC, SLOT_WCC}};

const ReplyLayout k_layouts[] = {
    {TARN_MDS_NOOP, false, false, 0, 0, false, {}, {}},
    {TARN_MDS_LOOKUP, true, true, TARN_MDS_LOOKUP_REP_MIN, TARN_MDS_ERR_POST_OP_MIN, false,
     {{TARN_MDS_LOOKUP_REP_HANDLE, SLOT_HANDLE},
      {TARN_MDS_LOOKUP_REP_ATTRS, SLOT_ATTRS},
      {TARN_MDS_LOOKUP_REP_DIR_POST_OP, SLOT_POST_OP}},
     {{TARN_MDS_ERR_POST_OP, SLOT_POST_OP}}},
    {TARN_MDS_READDIR, true, true, TARN_MDS_READDIR_REP_MIN, TARN_MDS_ERR_POST_OP_MIN, false,
     {{TARN_MDS_READDIR_REP_DIR_POST_OP, SLOT_POST_OP}}, {{TARN_MDS_ERR_POST_OP, SLOT_POST_OP}}},
    {TARN_MDS_READLINK, true, true, TARN_MDS_READLINK_REP_MIN, TARN_MDS_ERR_POST_OP_MIN, false,
     {{TARN_MDS_READLINK_REP_POST_OP, SLOT_POST_OP}}, {{TARN_MDS_ERR_POST_OP, SLOT_POST_OP}}},
    {TARN_MDS_GET_ATTRS, true, false, TARN_MDS_GET_ATTRS_REP_MIN, 0, false,
     {{TARN_MDS_GET_ATTRS_REP_ATTRS, SLOT_ATTRS}}, {}},
    {TARN_MDS_SET_ATTRS, true, true, TARN_MDS_SET_ATTRS_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {{TARN_MDS_SET_ATTRS_REP_WCC, SLOT_WCC}}, {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_CREATE_FILE, true, true, TARN_MDS_CREATE_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {{TARN_MDS_CREATE_REP_HANDLE, SLOT_HANDLE},
      {TARN_MDS_CREATE_REP_ATTRS, SLOT_ATTRS},
      {TARN_MDS_CREATE_REP_DIR_WCC, SLOT_WCC}},
     {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_MKDIR, true, true, TARN_MDS_MKOBJ_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {k_handle_attrs_wcc[0], k_handle_attrs_wcc[1], k_handle_attrs_wcc[2]}, {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_LINK, true, true, TARN_MDS_LINK_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {{TARN_MDS_LINK_REP_ATTRS, SLOT_ATTRS}, {TARN_MDS_LINK_REP_DIR_WCC, SLOT_WCC}}, {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_SYMLINK, true, true, TARN_MDS_MKOBJ_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {k_handle_attrs_wcc[0], k_handle_attrs_wcc[1], k_handle_attrs_wcc[2]}, {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_RENAME, true, true, TARN_MDS_RENAME_REP_MIN, TARN_MDS_ERR_RENAME_MIN, false,
     {{TARN_MDS_RENAME_REP_SRC_WCC, SLOT_WCC}, {TARN_MDS_RENAME_REP_DST_WCC, SLOT_WCC2}},
     {{TARN_MDS_RENAME_REP_SRC_WCC, SLOT_WCC}, {TARN_MDS_RENAME_REP_DST_WCC, SLOT_WCC2}}},
    {TARN_MDS_REMOVE, true, true, TARN_MDS_REMOVE_REP_MIN, TARN_MDS_ERR_WCC_MIN, false,
     {{TARN_MDS_REMOVE_REP_DIR_WCC, SLOT_WCC}}, {{TARN_MDS_ERR_WCC, SLOT_WCC}}},
    {TARN_MDS_GET_FS_INFO, true, false, TARN_MDS_GET_FS_INFO_REP_MIN, 0, false,
     {{TARN_MDS_GET_FS_INFO_REP_INFO, SLOT_INFO}}, {}},
    {TARN_MDS_GET_VDISK_MAP, true, false, TARN_MDS_VDISK_MAP_REP_MIN, 0, false, {}, {}},
    {TARN_MDS_REPORT_VDISK, false, false, 0, 0, false, {}, {}},
    {TARN_MDS_LIST_XATTRS, true, false, TARN_MDS_LIST_XATTRS_REP_MIN, 0, false, {}, {}},
    {TARN_MDS_GET_XATTR, true, true, TARN_MDS_GET_XATTR_REP_MIN, TARN_MDS_GET_XATTR_ERR_MIN, true, {}, {}},
    {TARN_MDS_SET_XATTR, false, false, 0, 0, false, {}, {}},
    {TARN_MDS_REMOVE_XATTR, false, false, 0, 0, false, {}, {}},
    {TARN_MDS_TEST, false, false, 0, 0, false, {}, {}},
};

const ReplyLayout* find_layout(uint32_t type) {
    for (const ReplyLayout& l : k_layouts)
        if (l.type == type) return &l;
    return nullptr;
}

uint8_t* slot_block(const mds_reply_outs* outs, Slot slot, size_t* size) {
    switch (slot) {
    case SLOT_HANDLE:
        *size = TARN_MDS_HANDLE_BYTES;
        return reinterpret_cast<uint8_t*>(outs->handle);
    case SLOT_ATTRS:
        *size = TARN_MDS_ATTR_BYTES;
        return outs->attrs;
    case SLOT_POST_OP:
        *size = TARN_POST_OP_BYTES;
        return outs->post_op;
    case SLOT_WCC:
        *size = TARN_WCC_BYTES;
        return outs->wcc;
    case SLOT_WCC2:
        *size = TARN_WCC_BYTES;
        return outs->wcc2;
    case SLOT_INFO:
        *size = TARN_MDS_FS_INFO_BYTES;
        return outs->info;
    case SLOT_NONE:
        break;
    }
    *size = 0;
    return nullptr;
}

// The layouts' minimums cover every block they name.
template <size_t N>
void copy_blocks(const BlockCopy (&copies)[N], const uint8_t* reply, const mds_reply_outs* outs) {
    for (const BlockCopy& c : copies) {
        size_t size = 0;
        uint8_t* out = slot_block(outs, c.slot, &size);
        if (out != nullptr) memcpy(out, reply + c.offset, size);
    }
}

bool fail_protocol(rpc_error* error) {
    *error = mds_call_error(KIV_E_PROTO, RPC_ERR_RUNTIME, RPC_ORIGIN_LOCAL);
    return false;
}

bool too_short(size_t len, size_t min, rpc_error* error) {
    kiv_log(1, "Response is too short: %u < %zu", unsigned(len), min);
    return fail_protocol(error);
}

// A handle or attributes block from the MDS carries values that later
// conversions take as invariants: a length the opaque form can hold and a
// file type 0..7. A server that breaks them fails the call, never the
// process.
bool handle_ok(const uint8_t* handle) {
    const uint8_t len = tarn_wire_get_u8(handle, TARN_MDS_HANDLE_LENGTH);
    if (len < TARN_MDS_HANDLE_MIN_LEN || len > TARN_MDS_HANDLE_MAX_LEN) {
        kiv_log(1, "Response has a file handle of %u bytes", unsigned(len));
        return false;
    }
    const uint8_t type = tarn_wire_get_u8(handle, TARN_MDS_HANDLE_TYPE);
    if (type > TARN_MDS_MAX_FILE_TYPE) {
        kiv_log(1, "Response has a file handle of type %u", unsigned(type));
        return false;
    }
    return true;
}

bool attrs_ok(const uint8_t* attrs) {
    const uint16_t type = tarn_wire_get_u16(attrs, TARN_MDS_ATTR_TYPE);
    if (type > TARN_MDS_MAX_FILE_TYPE) {
        kiv_log(1, "Response has attributes of file type %u", unsigned(type));
        return false;
    }
    return true;
}

template <size_t N>
bool blocks_ok(const BlockCopy (&copies)[N], const uint8_t* reply) {
    for (const BlockCopy& c : copies) {
        if (c.slot == SLOT_HANDLE && !handle_ok(reply + c.offset)) return false;
        if (c.slot == SLOT_ATTRS && !attrs_ok(reply + c.offset)) return false;
    }
    return true;
}

// The NUL-terminated text at `off`, or null when no zero follows it inside
// the reply.
const char* text_at(const uint8_t* reply, size_t len, uint64_t off) {
    if (off >= len) return nullptr;
    return memchr(reply + off, 0, len - off) != nullptr ? reinterpret_cast<const char*>(reply + off) : nullptr;
}

// Entry count and every name offset must stay inside the reply, so the walk
// after the call never reads past it.
bool check_readdir(const uint8_t* reply, size_t len, rpc_error* error) {
    const uint32_t count = tarn_wire_get_u32(reply, TARN_MDS_READDIR_REP_COUNT);
    const uint64_t need = TARN_MDS_READDIR_REP_ENTRIES + uint64_t(count) * TARN_MDS_DIRENT_BYTES;
    if (need > len) return too_short(len, size_t(need), error);
    for (uint32_t i = 0; i < count; i++) {
        const size_t entry = TARN_MDS_READDIR_REP_ENTRIES + size_t(i) * TARN_MDS_DIRENT_BYTES;
        const uint32_t name_off = tarn_wire_get_u32(reply, entry + TARN_MDS_DIRENT_NAME_OFFSET);
        if (text_at(reply, len, name_off) == nullptr) {
            kiv_log(1, "Response has entry %u with its name at %u outside the %zu bytes received", i, name_off, len);
            return fail_protocol(error);
        }
        if (!handle_ok(reply + entry + TARN_MDS_DIRENT_HANDLE) || !attrs_ok(reply + entry + TARN_MDS_DIRENT_ATTRS))
            return fail_protocol(error);
    }
    return true;
}

bool decode_readdir(const uint8_t* reply, size_t len, mds_reply_outs* outs, rpc_error* error) {
    auto* copy = static_cast<uint8_t*>(__kiv_malloc(k_tag, KIV_POS, 0, len));
    if (copy == nullptr) {
        *error = mds_call_error(ENOMEM, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL);
        return false;
    }
    memcpy(copy, reply, len);
    __kiv_free(outs->reply_copy);
    outs->reply_copy = copy;
    outs->reply_len = uint32_t(len);
    return true;
}

bool decode_readlink(const uint8_t* reply, size_t len, mds_reply_outs* outs, rpc_error* error) {
    const char* target = text_at(reply, len, TARN_MDS_READLINK_REP_TARGET);
    const size_t need = strlen(target) + 1;
    if (need > outs->buf_size) {
        kiv_log(1, "Buffer is too small: %zu < %zu", outs->buf_size, need);
        *error = mds_call_error(EOVERFLOW, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL);
        return false;
    }
    memcpy(outs->buf, target, need);
    return true;
}

bool decode_vdisk_map(const uint8_t* reply, size_t len, mds_reply_outs* outs, rpc_error* error) {
    const uint32_t count = tarn_wire_get_u32(reply, TARN_MDS_VDISK_MAP_REP_COUNT);
    const uint64_t bytes = uint64_t(count) * TARN_MDS_VDISK_ENTRY_BYTES;
    if (TARN_MDS_VDISK_MAP_REP_ENTRIES + bytes > len)
        return too_short(len, size_t(TARN_MDS_VDISK_MAP_REP_ENTRIES + bytes), error);
    auto* map = static_cast<mds_vdisk_map*>(__kiv_zmalloc(k_tag, KIV_POS, 0, sizeof(mds_vdisk_map) + bytes));
    if (map == nullptr) {
        *error = mds_call_error(ENOMEM, RPC_ERR_POSIX, RPC_ORIGIN_LOCAL);
        return false;
    }
    map->count = count;
    memcpy(map->entries, reply + TARN_MDS_VDISK_MAP_REP_ENTRIES, bytes);
    mds_client_free_vdisk_map(outs->map);
    outs->map = map;
    return true;
}

// Names run from the reply's fields to its end, each with its zero; a last
// name without one is not a name.
void walk_xattr_names(const uint8_t* reply, size_t len, const mds_reply_outs* outs) {
    size_t pos = TARN_MDS_LIST_XATTRS_REP_NAMES;
    while (outs->names_cb != nullptr && pos < len) {
        const auto* zero = static_cast<const uint8_t*>(memchr(reply + pos, 0, len - pos));
        if (zero == nullptr) break;
        if (!outs->names_cb(reinterpret_cast<const char*>(reply + pos), outs->names_arg)) break;
        pos = size_t(zero - reply) + 1;
    }
}

bool decode_xattr_value(const uint8_t* reply, size_t len, const mds_reply_outs* outs, rpc_error* error) {
    const size_t value_len = len - TARN_MDS_GET_XATTR_REP_VALUE;
    // The request told the server the largest reply the buffer takes.
    if (value_len > outs->buf_size) {
        kiv_log(1, "Response carries more than requested: %zu > %zu", value_len, outs->buf_size);
        return fail_protocol(error);
    }
    if (value_len > 0) memcpy(outs->buf, reply + TARN_MDS_GET_XATTR_REP_VALUE, value_len);
    if (outs->value_size != nullptr) *outs->value_size = value_len;
    return true;
}

// ---------------------------------------------------------------- running
struct HandlerCtx {
    mds_reply_outs* outs;
    uint32_t type;
};
static_assert(sizeof(HandlerCtx) <= MDS_CALL_HANDLER_CTX_BYTES);

bool handle_reply(mds_call* call, const kiv_msg* reply, rpc_error* error, bool ok) {
    HandlerCtx ctx;
    mds_call_get_resp_handler_ctx(call, &ctx, sizeof ctx);
    // The engine has checked that the header is there; trust neither the
    // declared length beyond what arrived nor the reverse.
    const size_t len = std::min<size_t>(tarn_wire_get_u32(reply->buf, TARN_MSG_LENGTH), reply->kept_len);
    return mds_reply_decode(ctx.type, ok, reply->buf, len, ctx.outs, error);
}

bool ok_handler(mds_call* call, const kiv_msg* reply, rpc_error* error) {
    return handle_reply(call, reply, error, true);
}

bool error_handler(mds_call* call, const kiv_msg* reply, rpc_error* error) {
    return handle_reply(call, reply, error, false);
}

// Runs one call of `req`. On failure *failure (when given) is the call's
// error; else it is left as is.
int run_call(mds_client* client, const mds_call_opts* opts, const mds_request* req, mds_reply_outs* outs,
             rpc_error* failure = nullptr) {
    mds_reply_outs_mark_absent(outs);

    mds_call call;
    mds_call_init(&call, client, opts);
    mds_call_set_rpc_name(&call, req->rpc_name);
    kiv_msg* msg = mds_req_create_msg(&call, req);
    if (msg == nullptr) {
        mds_call_fini(&call);
        return -ENOMEM;
    }
    if (mds_reply_has_handler(req->type, true)) call.ok_handler = ok_handler;
    if (mds_reply_has_handler(req->type, false)) call.error_handler = error_handler;
    const HandlerCtx ctx{outs, req->type};
    mds_call_set_resp_handler_ctx(&call, &ctx, sizeof ctx);

    mds_call_send(msg);
    mds_call_wait_for_result(&call);
    const int rc = mds_call_result(&call);
    if (rc < 0 && failure != nullptr) *failure = call.base.error;
    mds_call_fini(&call);
    return rc;
}

// Builds with `build` and runs; the common shape of most operations.
template <typename Build>
int build_and_run(mds_client* client, const mds_call_opts* opts, mds_reply_outs* outs, Build build) {
    mds_request req;
    const int rc = build(&req);
    if (rc < 0) return rc;
    return run_call(client, opts, &req, outs);
}

}  // namespace

// ---------------------------------------------------------------- request descriptions
int mds_req_lookup(mds_request* req, const tarn_mds_handle* dir, const char* name) {
    if (name == nullptr) return -EINVAL;
    return RequestBuilder(req, TARN_MDS_LOOKUP, "mds_client_lookup").handle(dir).text(name).finish(-EINVAL);
}

int mds_req_readdir(mds_request* req, const tarn_mds_handle* dir, uint64_t cookie) {
    return RequestBuilder(req, TARN_MDS_READDIR, "mds_client_readdir")
        .handle(dir)
        .u64(cookie)
        .u64(TARN_MDS_MAX_MSG)
        .finish(-EINVAL);
}

int mds_req_readlink(mds_request* req, const tarn_mds_handle* handle) {
    return RequestBuilder(req, TARN_MDS_READLINK, "mds_client_readlink").handle(handle).finish(-EINVAL);
}

int mds_req_get_attrs(mds_request* req, const tarn_mds_handle* handle) {
    return RequestBuilder(req, TARN_MDS_GET_ATTRS, "mds_client_get_attrs").handle(handle).finish(-EINVAL);
}

int mds_req_set_attrs(mds_request* req, const tarn_mds_handle* handle, const uint8_t* update, const uint8_t* guard) {
    RequestBuilder b(req, TARN_MDS_SET_ATTRS, "mds_client_set_attrs");
    b.handle(handle).block(update, TARN_MDS_UPDATE_BYTES);
    if (guard != nullptr)
        b.bytes(guard, TARN_MDS_GUARD_BYTES);
    else
        b.zeros(TARN_MDS_GUARD_BYTES);
    return b.finish(-EINVAL);
}

int mds_req_create_file(mds_request* req, const tarn_mds_handle* dir, const char* name, uint32_t mode,
                        const uint8_t* update, uint64_t verifier) {
    if (int rc = check_entry_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_CREATE_FILE, "mds_client_create_file")
        .u32(mode)
        .u32(0)
        .block(update, TARN_MDS_UPDATE_BYTES)
        .u64(verifier)
        .handle(dir)
        .text(name)
        .finish(-EINVAL);
}

int mds_req_mkdir(mds_request* req, const tarn_mds_handle* dir, const char* name, const uint8_t* update,
                  uint64_t verifier) {
    if (int rc = check_entry_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_MKDIR, "mds_client_mkdir")
        .handle(dir)
        .block(update, TARN_MDS_UPDATE_BYTES)
        .u64(verifier)
        .text(name)
        .finish(-EINVAL);
}

int mds_req_symlink(mds_request* req, const tarn_mds_handle* dir, const char* name, const char* target,
                    const uint8_t* update) {
    if (int rc = check_entry_name(name); rc < 0) return rc;
    if (target == nullptr) return -EINVAL;
    return RequestBuilder(req, TARN_MDS_SYMLINK, "mds_client_symlink")
        .handle(dir)
        .block(update, TARN_MDS_UPDATE_BYTES)
        .text(name)
        .text(target)
        .finish(-EINVAL);
}

int mds_req_link(mds_request* req, const tarn_mds_handle* handle, const tarn_mds_handle* dir, const char* name) {
    if (int rc = check_entry_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_LINK, "mds_client_link").handle(handle).handle(dir).text(name).finish(-EINVAL);
}

int mds_req_rename(mds_request* req, const tarn_mds_handle* src_dir, const char* src_name,
                   const tarn_mds_handle* dst_dir, const char* dst_name) {
    if (int rc = check_entry_name(src_name); rc < 0) return rc;
    if (int rc = check_entry_name(dst_name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_RENAME, "mds_client_rename")
        .handle(src_dir)
        .handle(dst_dir)
        .text(src_name)
        .text(dst_name)
        .finish(-EINVAL);
}

int mds_req_remove(mds_request* req, const tarn_mds_handle* dir, const char* name) {
    if (int rc = check_entry_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_REMOVE, "mds_client_remove").handle(dir).text(name).finish(-EINVAL);
}

int mds_req_get_fs_info(mds_request* req) {
    return RequestBuilder(req, TARN_MDS_GET_FS_INFO, "mds_client_get_fs_info").finish(-EINVAL);
}

int mds_req_get_vdisk_map(mds_request* req) {
    return RequestBuilder(req, TARN_MDS_GET_VDISK_MAP, "mds_client_get_vdisk_map").finish(-EINVAL);
}

int mds_req_report_vdisk(mds_request* req, const mds_vdisk_report* records, uint32_t count) {
    if (records == nullptr && count > 0) return -EINVAL;
    RequestBuilder b(req, TARN_MDS_REPORT_VDISK, "mds_client_report_vdisk");
    b.u32(count).u32(0);
    if (count > 0) b.bytes(records, uint64_t(count) * TARN_MDS_REPORT_RECORD_BYTES);
    return b.finish(-E2BIG);
}

int mds_req_list_xattrs(mds_request* req, const tarn_mds_handle* handle) {
    return RequestBuilder(req, TARN_MDS_LIST_XATTRS, "mds_client_list_xattrs")
        .handle(handle)
        .u64(TARN_MDS_MAX_MSG)
        .finish(-EINVAL);
}

int mds_req_get_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name, size_t buf_size) {
    if (int rc = check_xattr_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_GET_XATTR, "mds_client_get_xattr")
        .handle(handle)
        .u32(value_reply_limit(buf_size))
        .text(name)
        .finish(-EINVAL);
}

int mds_req_set_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name, const void* value,
                      uint64_t value_len, uint32_t mode) {
    if (int rc = check_xattr_name(name); rc < 0) return rc;
    if (value == nullptr && value_len > 0) return -EINVAL;
    if (value_len > UINT32_MAX) return -E2BIG;
    // The value follows the name's zero; a short name keeps the offset in
    // its 16 bits.
    const uint64_t value_off = TARN_MDS_SET_XATTR_NAME + strlen(name) + 1;
    RequestBuilder b(req, TARN_MDS_SET_XATTR, "mds_client_set_xattr");
    b.handle(handle).u16(uint16_t(mode)).u16(uint16_t(value_off)).u32(uint32_t(value_len)).text(name);
    KIV_BUG_ON(b.length() != value_off);
    if (value_len > 0) b.bytes(value, value_len);
    return b.finish(-E2BIG);
}

int mds_req_remove_xattr(mds_request* req, const tarn_mds_handle* handle, const char* name) {
    if (int rc = check_xattr_name(name); rc < 0) return rc;
    return RequestBuilder(req, TARN_MDS_REMOVE_XATTR, "mds_client_remove_xattr")
        .handle(handle)
        .text(name)
        .finish(-EINVAL);
}

int mds_req_test(mds_request* req, uint32_t code) {
    // The checksum keeps a stray frame from triggering a test hook.
    uint8_t signed_part[8] = {};
    tarn_wire_put_u32(signed_part, 0, code);
    return RequestBuilder(req, TARN_MDS_TEST, "mds_client_test")
        .u32(code)
        .u32(0)
        .u32(kiv_crc32(signed_part, sizeof signed_part))
        .zeros(4)
        .finish(-EINVAL);
}

void mds_req_write_fields(const mds_request* req, uint8_t* buf) {
    size_t pos = TARN_MDS_REQ_HDR_BYTES;
    for (int i = 0; i < req->nfields; i++) {
        const mds_req_field& f = req->fields[i];
        if (f.data != nullptr) {
            memcpy(buf + pos, f.data, f.len);
        } else {
            memset(buf + pos, 0, f.len);
            for (uint32_t b = 0; b < std::min<uint32_t>(f.len, 8); b++) buf[pos + b] = uint8_t(f.value >> (8 * b));
        }
        pos += f.len;
    }
    KIV_BUG_ON(pos != req->length);
}

kiv_msg* mds_req_create_msg(mds_call* call, const mds_request* req) {
    kiv_msg* msg = mds_call_create_req(call, req->length, req->type);
    if (msg != nullptr) mds_req_write_fields(req, msg->buf);
    return msg;
}

// ---------------------------------------------------------------- reply decoding
void mds_reply_outs_mark_absent(const mds_reply_outs* outs) {
    auto clear = [](uint8_t* block, size_t off) {
        if (block != nullptr) tarn_wire_put_u32(block, off, 0);
    };
    clear(outs->post_op, TARN_POST_OP_PRESENT);
    for (uint8_t* wcc : {outs->wcc, outs->wcc2}) {
        clear(wcc, TARN_WCC_PRE_PRESENT);
        clear(wcc, TARN_WCC_POST + TARN_POST_OP_PRESENT);
    }
}

bool mds_reply_has_handler(uint32_t type, bool ok) {
    const ReplyLayout* layout = find_layout(type);
    KIV_BUG_ON(layout == nullptr);
    return ok ? layout->has_ok : layout->has_error;
}

bool mds_reply_decode(uint32_t type, bool ok, const uint8_t* reply, size_t len, mds_reply_outs* outs,
                      rpc_error* error) {
    const ReplyLayout* layout = find_layout(type);
    KIV_BUG_ON(layout == nullptr);

    if (!ok) {
        if (!layout->has_error) return true;
        if (len < layout->error_min) return layout->error_min_required ? too_short(len, layout->error_min, error) : true;
        copy_blocks(layout->error, reply, outs);
        if (type == TARN_MDS_GET_XATTR && outs->value_size != nullptr)
            *outs->value_size = tarn_wire_get_u32(reply, TARN_MDS_GET_XATTR_ERR_NEEDED);
        return true;
    }

    if (!layout->has_ok) return true;
    if (len < layout->ok_min) return too_short(len, layout->ok_min, error);
    // Counts, offsets and terminators are checked before anything is copied,
    // so a malformed reply leaves the outputs as they were.
    if (type == TARN_MDS_READDIR && !check_readdir(reply, len, error)) return false;
    if (type == TARN_MDS_READLINK && text_at(reply, len, TARN_MDS_READLINK_REP_TARGET) == nullptr) {
        kiv_log(1, "Response has no terminated link target in its %zu bytes", len);
        return fail_protocol(error);
    }
    if (!blocks_ok(layout->ok, reply)) return fail_protocol(error);
    copy_blocks(layout->ok, reply, outs);

    switch (type) {
    case TARN_MDS_CREATE_FILE:
        if (outs->created != nullptr) *outs->created = tarn_wire_get_u32(reply, TARN_MDS_CREATE_REP_FLAGS) & 1;
        return true;
    case TARN_MDS_READDIR:
        return decode_readdir(reply, len, outs, error);
    case TARN_MDS_READLINK:
        return decode_readlink(reply, len, outs, error);
    case TARN_MDS_GET_VDISK_MAP:
        return decode_vdisk_map(reply, len, outs, error);
    case TARN_MDS_LIST_XATTRS:
        walk_xattr_names(reply, len, outs);
        return true;
    case TARN_MDS_GET_XATTR:
        return decode_xattr_value(reply, len, outs, error);
    default:
        return true;
    }
}

void mds_readdir_walk(const uint8_t* reply, mds_readdir_cb callback, void* cb_arg, uint8_t* out_eof) {
    const uint32_t count = tarn_wire_get_u32(reply, TARN_MDS_READDIR_REP_COUNT);
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* entry = reply + TARN_MDS_READDIR_REP_ENTRIES + size_t(i) * TARN_MDS_DIRENT_BYTES;
        tarn_mds_handle handle;
        memcpy(&handle, entry + TARN_MDS_DIRENT_HANDLE, sizeof handle);
        const char* name = reinterpret_cast<const char*>(reply + tarn_wire_get_u32(entry, TARN_MDS_DIRENT_NAME_OFFSET));
        if (!callback(name, &handle, entry + TARN_MDS_DIRENT_ATTRS, tarn_wire_get_u64(entry, TARN_MDS_DIRENT_COOKIE),
                      cb_arg))
            break;
    }
    *out_eof = (tarn_wire_get_u32(reply, TARN_MDS_READDIR_REP_FLAGS) & 1) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------- operations
int mds_client_lookup(mds_client* client, const tarn_mds_handle* dir, const char* name, tarn_mds_handle* out_handle,
                      uint8_t* out_attrs, uint8_t* out_dir_post_op, const mds_call_opts* opts) {
    KIV_BUG_ON(out_handle == nullptr);
    mds_reply_outs outs{};
    outs.handle = out_handle;
    outs.attrs = out_attrs;
    outs.post_op = out_dir_post_op;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_lookup(r, dir, name); });
}

int mds_client_readdir(mds_client* client, const tarn_mds_handle* dir, uint64_t cookie, mds_readdir_cb callback,
                       void* cb_arg, uint8_t* out_eof, uint8_t* out_dir_post_op, const mds_call_opts* opts) {
    KIV_BUG_ON(callback == nullptr || out_eof == nullptr);
    mds_reply_outs outs{};
    outs.post_op = out_dir_post_op;
    const int rc = build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_readdir(r, dir, cookie); });
    if (rc == 0) mds_readdir_walk(outs.reply_copy, callback, cb_arg, out_eof);
    __kiv_free(outs.reply_copy);
    return rc;
}

int mds_client_readlink(mds_client* client, const tarn_mds_handle* handle, char* buf, size_t buf_size,
                        uint8_t* out_post_op, const mds_call_opts* opts) {
    KIV_BUG_ON(buf == nullptr && buf_size > 0);
    mds_reply_outs outs{};
    outs.post_op = out_post_op;
    outs.buf = buf;
    outs.buf_size = buf_size;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_readlink(r, handle); });
}

int mds_client_get_attrs(mds_client* client, const tarn_mds_handle* handle, uint8_t* out_attrs,
                         const mds_call_opts* opts) {
    KIV_BUG_ON(out_attrs == nullptr);
    mds_reply_outs outs{};
    outs.attrs = out_attrs;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_get_attrs(r, handle); });
}

int mds_client_set_attrs(mds_client* client, const tarn_mds_handle* handle, const uint8_t* update,
                         const uint8_t* guard, uint8_t* out_wcc, const mds_call_opts* opts) {
    mds_reply_outs outs{};
    outs.wcc = out_wcc;
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_set_attrs(r, handle, update, guard); });
}

int mds_client_create_file(mds_client* client, const tarn_mds_handle* dir, const char* name, uint32_t mode,
                           const uint8_t* update, uint64_t verifier, tarn_mds_handle* out_handle, uint8_t* out_attrs,
                           uint8_t* out_created, uint8_t* out_dir_wcc, const mds_call_opts* opts) {
    KIV_BUG_ON(out_handle == nullptr);
    mds_reply_outs outs{};
    outs.handle = out_handle;
    outs.attrs = out_attrs;
    outs.created = out_created;
    outs.wcc = out_dir_wcc;
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_create_file(r, dir, name, mode, update, verifier); });
}

int mds_client_mkdir(mds_client* client, const tarn_mds_handle* dir, const char* name, const uint8_t* update,
                     uint64_t verifier, tarn_mds_handle* out_handle, uint8_t* out_attrs, uint8_t* out_dir_wcc,
                     const mds_call_opts* opts) {
    KIV_BUG_ON(out_handle == nullptr);
    mds_reply_outs outs{};
    outs.handle = out_handle;
    outs.attrs = out_attrs;
    outs.wcc = out_dir_wcc;
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_mkdir(r, dir, name, update, verifier); });
}

int mds_client_symlink(mds_client* client, const tarn_mds_handle* dir, const char* name, const char* target,
                       const uint8_t* update, tarn_mds_handle* out_handle, uint8_t* out_attrs, uint8_t* out_dir_wcc,
                       const mds_call_opts* opts) {
    KIV_BUG_ON(out_handle == nullptr);
    mds_reply_outs outs{};
    outs.handle = out_handle;
    outs.attrs = out_attrs;
    outs.wcc = out_dir_wcc;
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_symlink(r, dir, name, target, update); });
}

int mds_client_link(mds_client* client, const tarn_mds_handle* handle, const tarn_mds_handle* dir, const char* name,
                    uint8_t* out_attrs, uint8_t* out_dir_wcc, const mds_call_opts* opts) {
    mds_reply_outs outs{};
    outs.attrs = out_attrs;
    outs.wcc = out_dir_wcc;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_link(r, handle, dir, name); });
}

int mds_client_rename(mds_client* client, const tarn_mds_handle* src_dir, const char* src_name,
                      const tarn_mds_handle* dst_dir, const char* dst_name, uint8_t* out_src_wcc, uint8_t* out_dst_wcc,
                      const mds_call_opts* opts) {
    mds_reply_outs outs{};
    outs.wcc = out_src_wcc;
    outs.wcc2 = out_dst_wcc;
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_rename(r, src_dir, src_name, dst_dir, dst_name); });
}

int mds_client_remove(mds_client* client, const tarn_mds_handle* dir, const char* name, uint8_t* out_dir_wcc,
                      const mds_call_opts* opts) {
    mds_reply_outs outs{};
    outs.wcc = out_dir_wcc;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_remove(r, dir, name); });
}

int mds_client_get_fs_info(mds_client* client, uint8_t* out_info, const mds_call_opts* opts) {
    KIV_BUG_ON(out_info == nullptr);
    mds_reply_outs outs{};
    outs.info = out_info;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_get_fs_info(r); });
}

int mds_client_get_vdisk_map(mds_client* client, mds_vdisk_map** out_map, const mds_call_opts* opts) {
    KIV_BUG_ON(out_map == nullptr);
    mds_reply_outs outs{};
    const int rc = build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_get_vdisk_map(r); });
    if (rc < 0) {
        mds_client_free_vdisk_map(outs.map);
        return rc;
    }
    *out_map = outs.map;
    return 0;
}

void mds_client_free_vdisk_map(mds_vdisk_map* map) { __kiv_free(map); }

int mds_client_report_vdisk(mds_client* client, const mds_vdisk_report* records, uint32_t count,
                            const mds_call_opts* opts) {
    mds_reply_outs outs{};
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_report_vdisk(r, records, count); });
}

int mds_client_list_xattrs(mds_client* client, const tarn_mds_handle* handle, mds_xattr_name_cb callback,
                           void* cb_arg, const mds_call_opts* opts) {
    KIV_BUG_ON(callback == nullptr);
    mds_reply_outs outs{};
    outs.names_cb = callback;
    outs.names_arg = cb_arg;
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_list_xattrs(r, handle); });
}

int mds_client_get_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name, void* buf,
                         size_t buf_size, uint64_t* out_size, const mds_call_opts* opts) {
    KIV_BUG_ON(buf == nullptr && buf_size > 0);
    mds_request req;
    int rc = mds_req_get_xattr(&req, handle, name, buf_size);
    if (rc < 0) return rc;
    mds_reply_outs outs{};
    outs.buf = buf;
    outs.buf_size = buf_size;
    outs.value_size = out_size;
    rpc_error failure{};
    rc = run_call(client, opts, &req, &outs, &failure);
    return mds_get_xattr_result(rc, failure, buf_size);
}

int mds_get_xattr_result(int rc, rpc_error failure, size_t buf_size) {
    // "Value too big" for a buffer the server could have filled had it been
    // larger is the caller's buffer being too small.
    if (rc < 0 && failure.kind == RPC_ERR_SERVER && failure.code == TARN_MDS_TOO_BIG &&
        value_reply_limit(buf_size) < TARN_MDS_MAX_MSG) {
        kiv_log(4, "Buffer is too small");
        return -ERANGE;
    }
    return rc;
}

int mds_client_set_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name, const void* value,
                         uint64_t value_len, uint32_t mode, const mds_call_opts* opts) {
    mds_reply_outs outs{};
    return build_and_run(client, opts, &outs,
                         [&](mds_request* r) { return mds_req_set_xattr(r, handle, name, value, value_len, mode); });
}

int mds_client_remove_xattr(mds_client* client, const tarn_mds_handle* handle, const char* name,
                            const mds_call_opts* opts) {
    mds_reply_outs outs{};
    return build_and_run(client, opts, &outs, [&](mds_request* r) { return mds_req_remove_xattr(r, handle, name); });
}

int mds_client_test(mds_client* client, uint32_t code, bool expect_disconnect, const mds_call_opts* opts) {
    mds_request req;
    int rc = mds_req_test(&req, code);
    if (rc < 0) return rc;
    mds_reply_outs outs{};
    rpc_error failure{};
    rc = run_call(client, opts, &req, &outs, &failure);
    return mds_test_result(rc, failure, expect_disconnect);
}

int mds_test_result(int rc, rpc_error failure, bool expect_disconnect) {
    // A command that takes the server down may lose its own reply.
    if (rc < 0 && expect_disconnect && failure.kind == RPC_ERR_RUNTIME &&
        (failure.code == KIV_E_CONNLOST || failure.code == KIV_E_TIMEDOUT))
        return 0;
    return rc;
}
