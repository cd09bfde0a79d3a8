#include "localcluster/ds/ds_proto.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "kiv/base.h"
#include "kiv/rpc_server.h"
#include "localcluster/breaks.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/ds/ds_disk.h"

namespace {

constexpr uint32_t kNoReply = ~0u;  // handler result: send nothing

// The requests that list names or values fit far below this; a larger
// "largest reply" only means "anything".
constexpr uint32_t kXattrListCap = 1u << 20;

lc_ds_disk* disk(lc_ds_call* c) { return c->env->disk; }
uint64_t fid(lc_ds_call* c) { return c->hdr.file_id; }

// A reply whose fields start with the object's wcc block (write, commit
// and set_attrs errors), or 32 bytes when the object is gone.
uint32_t wcc_error(lc_ds_call* c, uint32_t status, const lc_ds_attrs& pre, const lc_ds_attrs& post, bool exists) {
    if (!exists) return status;
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_ERR_WCC_MIN, status);
    if (c->reply) lc_ds_wcc_put(c->reply->buf + TARN_DS_ERR_WCC, &pre, &post);
    return status;
}

// A NUL-terminated name at `at`, inside the frame.
bool name_at(lc_ds_call* c, size_t at, std::string_view* out) {
    if (at >= c->len) return false;
    const void* nul = memchr(c->buf + at, 0, c->len - at);
    if (!nul) return false;
    *out = std::string_view(reinterpret_cast<const char*>(c->buf + at),
                            size_t(static_cast<const uint8_t*>(nul) - (c->buf + at)));
    return true;
}

// A vdisk id of this file system placed on this instance's host.
bool own_vdisk(lc_ds_call* c, uint64_t id) {
    return id < lc_cdisk_vdisk_count(c->env->cdisk) && lc_cdisk_vdisk_host(c->env->cdisk, uint32_t(id)) == c->env->host;
}

// ---------------------------------------------------------------- plain requests

uint32_t handle_noop(lc_ds_call*) { return TARN_DS_OK; }

// Checks every id before anything changes.
uint32_t mount_like(lc_ds_call* c, bool mount) {
    uint32_t count = tarn_wire_get_u32(c->buf, TARN_DS_MOUNT_COUNT);
    if (TARN_DS_MOUNT_ITEMS + uint64_t(count) * TARN_DS_MOUNT_ITEM_BYTES > c->len) return TARN_DS_INVAL;
    for (uint32_t i = 0; i < count; i++)
        if (!own_vdisk(c, tarn_wire_get_u64(c->buf, TARN_DS_MOUNT_ITEMS + size_t(i) * TARN_DS_MOUNT_ITEM_BYTES)))
            return TARN_DS_INVAL;
    for (uint32_t i = 0; i < count; i++) {
        auto v = uint32_t(tarn_wire_get_u64(c->buf, TARN_DS_MOUNT_ITEMS + size_t(i) * TARN_DS_MOUNT_ITEM_BYTES));
        if (mount)
            lc_cdisk_mount(c->env->cdisk, c->env->fs, v, nullptr);
        else
            lc_cdisk_unmount(c->env->cdisk, c->env->fs, v);
    }
    return TARN_DS_OK;
}

uint32_t handle_mount(lc_ds_call* c) { return mount_like(c, true); }
uint32_t handle_unmount(lc_ds_call* c) { return mount_like(c, false); }

uint32_t handle_usage(lc_ds_call* c) {
    uint64_t v = tarn_wire_get_u64(c->buf, TARN_DS_USAGE_VALUE);
    if (!own_vdisk(c, v)) return TARN_DS_INVAL;
    lc_ds_usage u{};
    if (lc_ds_disk_usage(disk(c), uint32_t(v), &u) != LC_DS_OK) return TARN_DS_INVAL;
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_USAGE_REP_MIN, TARN_DS_OK);
    if (!c->reply) return TARN_DS_OK;
    uint8_t* b = c->reply->buf + TARN_DS_USAGE_REP_BLOCK;
    tarn_wire_put_u64(b, TARN_DS_USAGE_POOL_TOTAL, u.pool_total_bytes);
    tarn_wire_put_u64(b, TARN_DS_USAGE_POOL_FREE, u.pool_free_bytes);
    tarn_wire_put_u64(b, TARN_DS_USAGE_ALLOCATED, u.allocated_bytes);
    tarn_wire_put_u64(b, TARN_DS_USAGE_OBJECTS, u.objects);
    bool mounted = lc_cdisk_vdisk(c->env->cdisk, c->env->fs, uint32_t(v)).mounted;
    tarn_wire_put_u32(c->reply->buf, TARN_DS_USAGE_REP_FLAGS, mounted ? TARN_DS_USAGE_FLAG_MOUNTED : 0);
    return TARN_DS_OK;
}

// Data servers do not replicate to each other: there is never a record.
uint32_t handle_replicate(lc_ds_call* c) {
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_REPLICATE_REP_MIN, TARN_DS_OK);
    if (c->reply) tarn_wire_put_u64(c->reply->buf, TARN_DS_REPLICATE_REP_COOKIE,
                                    tarn_wire_get_u64(c->buf, TARN_DS_REPLICATE_COOKIE));
    return TARN_DS_OK;
}

uint32_t handle_repl_recovery(lc_ds_call* c) {
    uint32_t n = tarn_wire_get_u32(c->buf, TARN_DS_RECOVERY_LEN);
    return TARN_DS_RECOVERY_HDR_BYTES + uint64_t(n) > c->len ? uint32_t(TARN_DS_INVAL) : uint32_t(TARN_DS_OK);
}

// The checksum keeps a stray frame from crashing a server.
uint32_t handle_test(lc_ds_call* c) {
    uint32_t crc = kiv_crc32(c->buf + TARN_DS_TEST_CODE, TARN_DS_TEST_CRC - TARN_DS_TEST_CODE);
    if (crc != tarn_wire_get_u32(c->buf, TARN_DS_TEST_CRC)) return TARN_DS_INVAL;
    switch (tarn_wire_get_u32(c->buf, TARN_DS_TEST_CODE)) {
        case TARN_DS_TEST_DISABLE_REPLICATION:
            if (c->env->disable_replication) c->env->disable_replication(c->env->ctx, c->conn_id);
            return TARN_DS_OK;
        case TARN_DS_TEST_CRASH:
            if (!c->env->crash) return TARN_DS_INVAL;
            c->env->crash(c->env->ctx);
            return kNoReply;
    }
    return TARN_DS_INVAL;
}

// ---------------------------------------------------------------- file requests

// Objects come and go through the MDS only.
uint32_t handle_not_permitted(lc_ds_call*) { return TARN_DS_PERM; }

uint32_t handle_read(lc_ds_call* c) {
    uint64_t offset = tarn_wire_get_u64(c->buf, TARN_DS_READ_OFFSET);
    uint32_t count = tarn_wire_get_u32(c->buf, TARN_DS_READ_COUNT);
    bool over = c->env->overdata && c->env->overdata(c->env->ctx, c);
    // Sized from the attributes of check 5; a read racing a write may return
    // less than the new size allows, never more than the reply holds.
    const lc_ds_attrs& a = c->obj;
    uint32_t cap = offset < a.size ? uint32_t(std::min<uint64_t>({count, a.size - offset, LC_DS_MAX_IO})) : 0;
    kiv_msg* r = lc_ds_alloc_reply(c->req, uint32_t(TARN_DS_READ_REP_DATA + cap), TARN_DS_OK);
    if (!r) return TARN_DS_SERVER_FAULT;
    uint32_t n = 0;
    bool eof = true;
    lc_ds_attrs post;
    if (lc_ds_disk_read(disk(c), fid(c), c->vdisk, offset, cap, r->buf + TARN_DS_READ_REP_DATA, &n, &eof, &post) !=
        LC_DS_OK) {
        kiv_free_msg(r);
        return TARN_DS_NOT_FOUND;
    }
    // A read of `cap` bytes reached the end only if the size did not grow.
    eof = offset + n >= post.size;
    uint32_t field = n;
    if (over || n < cap) {
        uint64_t want = n;
        if (over) {
            field = count + 1;
            want = std::min<uint64_t>(uint64_t(count) + 1, TARN_DS_MAX_MSG - TARN_DS_READ_REP_DATA);
        }
        kiv_msg* exact = lc_ds_alloc_reply(c->req, uint32_t(TARN_DS_READ_REP_DATA + want), TARN_DS_OK);
        if (!exact) {
            kiv_free_msg(r);
            return TARN_DS_SERVER_FAULT;
        }
        memcpy(exact->buf + TARN_DS_READ_REP_DATA, r->buf + TARN_DS_READ_REP_DATA, std::min<uint64_t>(n, want));
        kiv_free_msg(r);
        r = exact;
    }
    lc_ds_post_op_put(r->buf + TARN_DS_READ_REP_POST_OP, &post);
    tarn_wire_put_u16(r->buf, TARN_DS_READ_REP_FLAGS, eof ? TARN_DS_READ_FLAG_EOF : 0);
    tarn_wire_put_u32(r->buf, TARN_DS_READ_REP_COUNT, field);
    c->reply = r;
    return TARN_DS_OK;
}

uint32_t handle_write(lc_ds_call* c) {
    uint32_t n = tarn_wire_get_u32(c->buf, TARN_DS_WRITE_LEN);
    uint64_t end = TARN_DS_WRITE_HDR_BYTES + uint64_t(n);
    lc_ds_attrs pre, post;
    if (end > c->len || c->len >= end + TARN_DS_MSG_ALIGN) return wcc_error(c, TARN_DS_INVAL, c->obj, c->obj, true);
    bool stable = tarn_wire_get_u32(c->buf, TARN_DS_WRITE_STABLE) != 0;
    uint64_t offset = tarn_wire_get_u64(c->buf, TARN_DS_WRITE_OFFSET);
    lc_ds_result r = lc_ds_disk_write(disk(c), fid(c), c->vdisk, offset, c->buf + TARN_DS_WRITE_HDR_BYTES, n, stable,
                                      &pre, &post);
    if (r == LC_DS_NOT_FOUND) return TARN_DS_NOT_FOUND;
    if (r != LC_DS_OK) return wcc_error(c, lc_ds_status(r), pre, post, true);
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_WRITE_REP_MIN, TARN_DS_OK);
    if (!c->reply) return TARN_DS_OK;
    tarn_wire_put_u32(c->reply->buf, TARN_DS_WRITE_REP_COUNT, n);
    lc_ds_wcc_put(c->reply->buf + TARN_DS_WRITE_REP_WCC, &pre, &post);
    tarn_wire_put_u64(c->reply->buf, TARN_DS_WRITE_REP_VERIFIER, c->env->verifier.load(std::memory_order_relaxed));
    return TARN_DS_OK;
}

uint32_t handle_commit(lc_ds_call* c) {
    lc_ds_attrs pre, post;
    lc_ds_result r = lc_ds_disk_commit(disk(c), fid(c), c->vdisk, &pre, &post);
    if (r != LC_DS_OK) return lc_ds_status(r);
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_COMMIT_REP_MIN, TARN_DS_OK);
    if (!c->reply) return TARN_DS_OK;
    lc_ds_wcc_put(c->reply->buf + TARN_DS_COMMIT_REP_WCC, &pre, &post);
    tarn_wire_put_u64(c->reply->buf, TARN_DS_COMMIT_REP_VERIFIER, c->env->verifier.load(std::memory_order_relaxed));
    return TARN_DS_OK;
}

uint32_t handle_get_attrs(lc_ds_call* c) {
    lc_ds_attrs a;
    lc_ds_result r = lc_ds_disk_get_attrs(disk(c), fid(c), c->vdisk, &a);
    if (r != LC_DS_OK) return lc_ds_status(r);
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_GET_ATTRS_REP_MIN, TARN_DS_OK);
    if (c->reply) lc_ds_attrs_put(c->reply->buf + TARN_DS_GET_ATTRS_REP_ATTRS, &a);
    return TARN_DS_OK;
}

uint32_t handle_set_attrs(lc_ds_call* c) {
    lc_ds_update u;
    lc_ds_update_read(c->buf + TARN_DS_SET_ATTRS_UPDATE, &u);
    uint64_t guard = tarn_wire_get_u64(c->buf, TARN_DS_SET_ATTRS_GUARD);
    lc_ds_attrs pre, post;
    lc_ds_result r = lc_ds_disk_set_attrs(disk(c), fid(c), c->vdisk, &u, guard, &pre, &post);
    if (r == LC_DS_NOT_FOUND) return TARN_DS_NOT_FOUND;
    if (r != LC_DS_OK) return wcc_error(c, lc_ds_status(r), pre, post, true);
    c->reply = lc_ds_alloc_reply(c->req, TARN_DS_SET_ATTRS_REP_MIN, TARN_DS_OK);
    if (c->reply) lc_ds_wcc_put(c->reply->buf + TARN_DS_SET_ATTRS_REP_WCC, &pre, &post);
    return TARN_DS_OK;
}

uint32_t handle_modify_range(lc_ds_call* c) {
    if (tarn_wire_get_u32(c->buf, TARN_DS_MODIFY_OP) != TARN_DS_MODIFY_ALLOCATE) return TARN_DS_INVAL;
    uint64_t offset = tarn_wire_get_u64(c->buf, TARN_DS_MODIFY_OFFSET);
    uint64_t length = tarn_wire_get_u64(c->buf, TARN_DS_MODIFY_LENGTH);
    return lc_ds_status(lc_ds_disk_allocate(disk(c), fid(c), c->vdisk, offset, length, nullptr, nullptr));
}

uint32_t handle_get_xattr(lc_ds_call* c) {
    std::string_view name;
    if (!name_at(c, TARN_DS_GET_XATTR_NAME, &name)) return TARN_DS_INVAL;
    uint32_t largest = tarn_wire_get_u32(c->buf, TARN_DS_GET_XATTR_MAX_REPLY);
    size_t cap = largest > TARN_DS_GET_XATTR_REP_VALUE ? largest - TARN_DS_GET_XATTR_REP_VALUE : 0;
    cap = std::min<size_t>(cap, LC_XATTR_VALUE_MAX);
    std::unique_ptr<uint8_t[]> value(new uint8_t[cap ? cap : 1]);
    size_t vlen = 0;
    lc_ds_result r = lc_ds_disk_xattr_get(disk(c), fid(c), c->vdisk, name, value.get(), cap, &vlen);
    if (r == LC_DS_OK && TARN_DS_GET_XATTR_REP_VALUE + vlen > largest) r = LC_DS_BUFFER_SMALL;
    if (r == LC_DS_BUFFER_SMALL) {
        // The client learns the size it needs.
        uint32_t st = lc_ds_disk_breaks(disk(c)) & LC_BREAK_DS_XATTR_MDS_STATUS ? uint32_t(TARN_MDS_TOO_BIG)
                                                                                 : uint32_t(TARN_DS_BUFFER_TOO_SMALL);
        c->reply = lc_ds_alloc_reply(c->req, TARN_DS_GET_XATTR_ERR_MIN, st);
        if (c->reply) tarn_wire_put_u32(c->reply->buf, TARN_DS_GET_XATTR_ERR_NEEDED, uint32_t(vlen));
        return st;
    }
    if (r != LC_DS_OK) return lc_ds_status(r);
    c->reply = lc_ds_alloc_reply(c->req, uint32_t(TARN_DS_GET_XATTR_REP_VALUE + vlen), TARN_DS_OK);
    if (!c->reply) return TARN_DS_OK;
    tarn_wire_put_u32(c->reply->buf, TARN_DS_GET_XATTR_REP_LEN, uint32_t(vlen));
    if (vlen) memcpy(c->reply->buf + TARN_DS_GET_XATTR_REP_VALUE, value.get(), vlen);
    return TARN_DS_OK;
}

uint32_t handle_list_xattrs(lc_ds_call* c) {
    uint32_t largest = tarn_wire_get_u32(c->buf, TARN_DS_LIST_XATTRS_MAX_REPLY);
    size_t cap = largest > TARN_DS_LIST_XATTRS_REP_NAMES ? largest - TARN_DS_LIST_XATTRS_REP_NAMES : 0;
    cap = std::min<size_t>(cap, kXattrListCap);
    std::unique_ptr<uint8_t[]> names(new uint8_t[cap ? cap : 1]);
    size_t needed = 0;
    lc_ds_result r = lc_ds_disk_xattr_list(disk(c), fid(c), c->vdisk, names.get(), cap, &needed);
    if (r != LC_DS_OK) return lc_ds_status(r);
    c->reply = lc_ds_alloc_reply(c->req, uint32_t(TARN_DS_LIST_XATTRS_REP_NAMES + needed), TARN_DS_OK);
    if (c->reply && needed) memcpy(c->reply->buf + TARN_DS_LIST_XATTRS_REP_NAMES, names.get(), needed);
    return TARN_DS_OK;
}

uint32_t handle_remove_xattr(lc_ds_call* c) {
    std::string_view name;
    if (!name_at(c, TARN_DS_REMOVE_XATTR_NAME, &name)) return TARN_DS_INVAL;
    return lc_ds_status(lc_ds_disk_xattr_remove(disk(c), fid(c), c->vdisk, name));
}

uint32_t handle_set_xattr(lc_ds_call* c) {
    uint32_t mode = tarn_wire_get_u16(c->buf, TARN_DS_SET_XATTR_MODE);
    uint32_t nlen = tarn_wire_get_u32(c->buf, TARN_DS_SET_XATTR_NAME_LEN);
    uint32_t vlen = tarn_wire_get_u32(c->buf, TARN_DS_SET_XATTR_VALUE_LEN);
    // The name's only zero is its last byte, and the value ends inside the frame.
    if (nlen == 0 || TARN_DS_SET_XATTR_NAME + uint64_t(nlen) + vlen > c->len) return TARN_DS_INVAL;
    const uint8_t* name = c->buf + TARN_DS_SET_XATTR_NAME;
    if (memchr(name, 0, nlen) != name + nlen - 1) return TARN_DS_INVAL;
    std::string_view n(reinterpret_cast<const char*>(name), nlen - 1);
    return lc_ds_status(lc_ds_disk_xattr_set(disk(c), fid(c), c->vdisk, n, name + nlen, vlen, mode));
}

// ---------------------------------------------------------------- the table

constexpr uint32_t kFirst = TARN_DS_REMOVE;
constexpr uint32_t kLast = TARN_DS_SET_XATTR;
constexpr size_t kSlots = (kLast - kFirst) / 2 + 1;

struct Table {
    lc_ds_msg_def slot[kSlots] = {};
    constexpr void add(const lc_ds_msg_def& d) { slot[(d.type - kFirst) / 2] = d; }
};

constexpr Table make_table() {
    Table t;
    t.add({TARN_DS_REMOVE, "remove", true, false, handle_not_permitted});
    t.add({TARN_DS_NOOP, "noop", false, false, handle_noop});
    t.add({TARN_DS_MOUNT_VDISK, "mount", false, false, handle_mount});
    t.add({TARN_DS_UNMOUNT_VDISK, "unmount", false, false, handle_unmount});
    t.add({TARN_DS_READ, "read", true, true, handle_read});
    t.add({TARN_DS_WRITE, "write", true, true, handle_write});
    t.add({TARN_DS_COMMIT, "commit", true, true, handle_commit});
    t.add({TARN_DS_GET_ATTRS, "get_attrs", true, true, handle_get_attrs});
    t.add({TARN_DS_SET_ATTRS, "set_attrs", true, true, handle_set_attrs});
    t.add({TARN_DS_CREATE_FILE, "create_file", true, false, handle_not_permitted});
    t.add({TARN_DS_VDISK_USAGE_CTL, "vdisk_usage_ctl", false, false, handle_usage});
    t.add({TARN_DS_REPLICATE, "replicate", false, false, handle_replicate});
    t.add({TARN_DS_REPL_RECOVERY, "repl_recovery", false, false, handle_repl_recovery});
    t.add({TARN_DS_TEST, "test", false, false, handle_test});
    t.add({TARN_DS_MODIFY_RANGE, "modify_range", true, true, handle_modify_range});
    t.add({TARN_DS_GET_XATTR, "get_xattr", true, true, handle_get_xattr});
    t.add({TARN_DS_LIST_XATTRS, "list_xattrs", true, true, handle_list_xattrs});
    t.add({TARN_DS_REMOVE_XATTR, "remove_xattr", true, true, handle_remove_xattr});
    t.add({TARN_DS_SET_XATTR, "set_xattr", true, true, handle_set_xattr});
    return t;
}

constexpr Table kTable = make_table();

}  // namespace

const lc_ds_msg_def* lc_ds_msg_find(uint32_t type) {
    if (type < kFirst || type > kLast || (type & 1)) return nullptr;
    const lc_ds_msg_def* d = &kTable.slot[(type - kFirst) / 2];
    return d->type == type ? d : nullptr;
}

uint32_t lc_ds_check_header(const uint8_t* buf, uint32_t len, const lc_ds_msg_def** def) {
    *def = nullptr;
    if (len == 0 || len % TARN_DS_MSG_ALIGN != 0) return TARN_DS_INVAL;
    if (tarn_wire_get_u64(buf, TARN_DS_REQ_VERSION) != TARN_WIRE_VERSION) return TARN_DS_INVAL;
    *def = lc_ds_msg_find(tarn_wire_get_u32(buf, TARN_MSG_TYPE));
    return *def ? uint32_t(TARN_DS_OK) : uint32_t(TARN_DS_INVAL);
}

uint32_t lc_ds_execute(lc_ds_call* call, const lc_ds_msg_def* def) {
    tarn_ds_req_hdr_read(call->buf, call->len, def->file, &call->hdr);
    if (def->file) {
        if (!lc_cdisk_token_check(call->env->cdisk, call->env->fs, call->env->host, call->hdr.location_token,
                                  &call->vdisk))
            return TARN_DS_NOT_MOUNTED;
        if (def->object && lc_ds_disk_get_attrs(call->env->disk, call->hdr.file_id, call->vdisk, &call->obj) != LC_DS_OK)
            return TARN_DS_NOT_FOUND;
    }
    uint32_t st = def->handler(call);
    if (st == kNoReply) {
        call->no_reply = true;
        if (call->reply) kiv_free_msg(call->reply);
        call->reply = nullptr;
        return TARN_DS_OK;
    }
    return st;
}

kiv_msg* lc_ds_alloc_reply(const kiv_msg* req, uint32_t len, uint32_t status) {
    kiv_msg* r = kiv_rpc_alloc_reply(req, len);
    if (!r) return nullptr;
    tarn_reply_hdr_write(r->buf, len, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE) + 1, status);
    return r;
}

bool lc_ds_request_vdisk(const uint8_t* buf, uint32_t len, uint32_t* vdisk) {
    if (len < TARN_DS_REQ_LOCATION_TOKEN + 8) return false;
    const lc_ds_msg_def* d = lc_ds_msg_find(tarn_wire_get_u32(buf, TARN_MSG_TYPE));
    if (!d || !d->file) return false;
    *vdisk = uint32_t(tarn_wire_get_u64(buf, TARN_DS_REQ_LOCATION_TOKEN) >> 32) & 0xFFFF;
    return true;
}
