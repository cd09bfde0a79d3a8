#include "localcluster/mds/mds_handlers.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "kiv/base.h"
#include "localcluster/cluster_disk.h"
#include "localcluster/common/json.h"
#include "localcluster/mds/mds_server.h"
#include "localcluster/mds/ns_engine.h"

namespace {

lc_mds_env* env_of(lc_mds_call* c) { return static_cast<lc_mds_env*>(c->ctx); }

// The name that starts at `at`; the dispatcher has checked that its NUL is
// inside the frame.
std::string_view name_at(const lc_mds_call* c, size_t at) {
    const auto* p = reinterpret_cast<const char*>(c->buf + at);
    const void* nul = memchr(p, 0, c->len - at);
    return std::string_view(p, size_t(static_cast<const char*>(nul) - p));
}

// The name after the one that starts at `at`.
std::string_view next_name(const lc_mds_call* c, size_t at) { return name_at(c, at + name_at(c, at).size() + 1); }

lc_ns_cred cred_of(const lc_mds_call* c) {
    lc_ns_cred cr;
    cr.uid = tarn_wire_get_u32(c->buf, TARN_MDS_REQ_CREDS + TARN_WIRE_CREDS_UID);
    cr.gid = tarn_wire_get_u32(c->buf, TARN_MDS_REQ_CREDS + TARN_WIRE_CREDS_GID);
    return cr;
}

// The reply of `len` bytes, zeroed, its header written. NULL when memory
// runs out; the handler then answers with a bare status.
uint8_t* reply(lc_mds_call* c, size_t len) {
    c->reply = lc_mds_alloc_reply(c->req, uint32_t(len), TARN_MDS_OK);
    return c->reply ? c->reply->buf : nullptr;
}

// A handler that cannot build its reply answers a bare server fault: an
// OK status without the layout would be shorter than the client accepts.
constexpr uint32_t kNoMemory = TARN_MDS_SERVER_FAULT;

// An error reply with the post-op block at +32 when the engine filled it.
uint32_t fail_post(lc_mds_call* c, uint32_t st, const lc_ns_post_op& post) {
    if (!post.present) return st;
    uint8_t* r = reply(c, TARN_MDS_ERR_POST_OP_MIN);
    if (r) memcpy(r + TARN_MDS_ERR_POST_OP, post.b, TARN_POST_OP_BYTES);
    return st;
}

// An error reply with the wcc block at +32 when the engine filled it.
uint32_t fail_wcc(lc_mds_call* c, uint32_t st, const lc_ns_wcc& wcc) {
    if (!wcc.present) return st;
    uint8_t* r = reply(c, TARN_MDS_ERR_WCC_MIN);
    if (r) memcpy(r + TARN_MDS_ERR_WCC, wcc.b, TARN_WCC_BYTES);
    return st;
}

void put_obj(uint8_t* r, size_t handle_at, size_t attrs_at, const lc_ns_obj& o) {
    memcpy(r + handle_at, o.handle.b, TARN_MDS_HANDLE_BYTES);
    memcpy(r + attrs_at, o.attrs, TARN_MDS_ATTR_BYTES);
}

// The reply of mkdir and symlink, which share a layout.
uint32_t mkobj_reply(lc_mds_call* c, uint32_t st, const lc_ns_mkobj_out& out) {
    if (st != TARN_MDS_OK) return fail_wcc(c, st, out.dir_wcc);
    uint8_t* r = reply(c, TARN_MDS_MKOBJ_REP_MIN);
    if (!r) return kNoMemory;
    put_obj(r, TARN_MDS_MKOBJ_REP_HANDLE, TARN_MDS_MKOBJ_REP_ATTRS, out.obj);
    memcpy(r + TARN_MDS_MKOBJ_REP_DIR_WCC, out.dir_wcc.b, TARN_WCC_BYTES);
    return TARN_MDS_OK;
}

}  // namespace

uint32_t lc_mds_h_lookup(lc_mds_call* c) {
    lc_ns_obj obj;
    lc_ns_post_op post;
    uint32_t st = lc_ns_lookup(env_of(c)->ns, c->buf + TARN_MDS_LOOKUP_DIR, name_at(c, TARN_MDS_LOOKUP_NAME), &obj,
                               &post);
    if (st != TARN_MDS_OK) return fail_post(c, st, post);
    uint8_t* r = reply(c, TARN_MDS_LOOKUP_REP_MIN);
    if (!r) return kNoMemory;
    put_obj(r, TARN_MDS_LOOKUP_REP_HANDLE, TARN_MDS_LOOKUP_REP_ATTRS, obj);
    memcpy(r + TARN_MDS_LOOKUP_REP_DIR_POST_OP, post.b, TARN_POST_OP_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_readdir(lc_mds_call* c) {
    lc_ns_readdir_out out;
    uint32_t st = lc_ns_readdir(env_of(c)->ns, c->buf + TARN_MDS_READDIR_DIR,
                                tarn_wire_get_u64(c->buf, TARN_MDS_READDIR_COOKIE),
                                tarn_wire_get_u64(c->buf, TARN_MDS_READDIR_MAX_REPLY), &out);
    if (st != TARN_MDS_OK) return fail_post(c, st, out.dir_post);
    uint8_t* r = reply(c, TARN_MDS_READDIR_REP_ENTRIES + out.body.size());
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_READDIR_REP_DIR_POST_OP, out.dir_post.b, TARN_POST_OP_BYTES);
    tarn_wire_put_u32(r, TARN_MDS_READDIR_REP_FLAGS, out.more ? 1u : 0u);
    tarn_wire_put_u32(r, TARN_MDS_READDIR_REP_COUNT, out.count);
    if (!out.body.empty()) memcpy(r + TARN_MDS_READDIR_REP_ENTRIES, out.body.data(), out.body.size());
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_readlink(lc_mds_call* c) {
    std::string target;
    lc_ns_post_op post;
    uint32_t st = lc_ns_readlink(env_of(c)->ns, c->buf + TARN_MDS_READLINK_HANDLE, &target, &post);
    if (st != TARN_MDS_OK) return fail_post(c, st, post);
    uint8_t* r = reply(c, TARN_MDS_READLINK_REP_TARGET + target.size() + 1);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_READLINK_REP_POST_OP, post.b, TARN_POST_OP_BYTES);
    memcpy(r + TARN_MDS_READLINK_REP_TARGET, target.data(), target.size());
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_get_attrs(lc_mds_call* c) {
    uint8_t attrs[TARN_MDS_ATTR_BYTES];
    uint32_t st = lc_ns_get_attrs(env_of(c)->ns, c->buf + TARN_MDS_GET_ATTRS_HANDLE, attrs);
    if (st != TARN_MDS_OK) return st;
    uint8_t* r = reply(c, TARN_MDS_GET_ATTRS_REP_MIN);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_GET_ATTRS_REP_ATTRS, attrs, TARN_MDS_ATTR_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_set_attrs(lc_mds_call* c) {
    lc_ns_wcc wcc;
    uint32_t st = lc_ns_set_attrs(env_of(c)->ns, c->buf + TARN_MDS_SET_ATTRS_HANDLE, c->buf + TARN_MDS_SET_ATTRS_UPDATE,
                                  c->buf + TARN_MDS_SET_ATTRS_GUARD, &wcc);
    if (st != TARN_MDS_OK) return fail_wcc(c, st, wcc);
    uint8_t* r = reply(c, TARN_MDS_SET_ATTRS_REP_MIN);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_SET_ATTRS_REP_WCC, wcc.b, TARN_WCC_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_create_file(lc_mds_call* c) {
    lc_ns_create_out out;
    uint32_t st = lc_ns_create_file(env_of(c)->ns, cred_of(c), tarn_wire_get_u32(c->buf, TARN_MDS_CREATE_MODE),
                                    c->buf + TARN_MDS_CREATE_UPDATE,
                                    tarn_wire_get_u64(c->buf, TARN_MDS_CREATE_VERIFIER), c->buf + TARN_MDS_CREATE_DIR,
                                    name_at(c, TARN_MDS_CREATE_NAME), &out);
    if (st != TARN_MDS_OK) return fail_wcc(c, st, out.dir_wcc);
    uint8_t* r = reply(c, TARN_MDS_CREATE_REP_MIN);
    if (!r) return kNoMemory;
    put_obj(r, TARN_MDS_CREATE_REP_HANDLE, TARN_MDS_CREATE_REP_ATTRS, out.obj);
    memcpy(r + TARN_MDS_CREATE_REP_DIR_WCC, out.dir_wcc.b, TARN_WCC_BYTES);
    tarn_wire_put_u32(r, TARN_MDS_CREATE_REP_FLAGS, out.created ? 1u : 0u);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_mkdir(lc_mds_call* c) {
    lc_ns_mkobj_out out;
    uint32_t st = lc_ns_mkdir(env_of(c)->ns, cred_of(c), c->buf + TARN_MDS_MKDIR_DIR, c->buf + TARN_MDS_MKDIR_UPDATE,
                              tarn_wire_get_u64(c->buf, TARN_MDS_MKDIR_VERIFIER), name_at(c, TARN_MDS_MKDIR_NAME), &out);
    return mkobj_reply(c, st, out);
}

uint32_t lc_mds_h_symlink(lc_mds_call* c) {
    lc_ns_mkobj_out out;
    uint32_t st = lc_ns_symlink(env_of(c)->ns, cred_of(c), c->buf + TARN_MDS_SYMLINK_DIR,
                                c->buf + TARN_MDS_SYMLINK_UPDATE, name_at(c, TARN_MDS_SYMLINK_NAME),
                                next_name(c, TARN_MDS_SYMLINK_NAME), &out);
    return mkobj_reply(c, st, out);
}

uint32_t lc_mds_h_link(lc_mds_call* c) {
    lc_ns_link_out out;
    uint32_t st = lc_ns_link(env_of(c)->ns, c->buf + TARN_MDS_LINK_HANDLE, c->buf + TARN_MDS_LINK_DIR,
                             name_at(c, TARN_MDS_LINK_NAME), &out);
    if (st != TARN_MDS_OK) return fail_wcc(c, st, out.dir_wcc);
    uint8_t* r = reply(c, TARN_MDS_LINK_REP_MIN);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_LINK_REP_ATTRS, out.attrs, TARN_MDS_ATTR_BYTES);
    memcpy(r + TARN_MDS_LINK_REP_DIR_WCC, out.dir_wcc.b, TARN_WCC_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_rename(lc_mds_call* c) {
    lc_ns_wcc src, dst;
    uint32_t st = lc_ns_rename(env_of(c)->ns, c->buf + TARN_MDS_RENAME_SRC_DIR, name_at(c, TARN_MDS_RENAME_NAMES),
                               c->buf + TARN_MDS_RENAME_DST_DIR, next_name(c, TARN_MDS_RENAME_NAMES), &src, &dst);
    // An error reply carries both blocks whenever either directory exists;
    // the other one is then marked absent.
    if (st != TARN_MDS_OK && !src.present && !dst.present) return st;
    uint8_t* r = reply(c, TARN_MDS_RENAME_REP_MIN);
    if (!r) return st != TARN_MDS_OK ? st : kNoMemory;
    if (src.present) memcpy(r + TARN_MDS_RENAME_REP_SRC_WCC, src.b, TARN_WCC_BYTES);
    if (dst.present) memcpy(r + TARN_MDS_RENAME_REP_DST_WCC, dst.b, TARN_WCC_BYTES);
    return st;
}

uint32_t lc_mds_h_remove(lc_mds_call* c) {
    lc_ns_wcc wcc;
    uint32_t st = lc_ns_remove(env_of(c)->ns, c->buf + TARN_MDS_REMOVE_DIR, name_at(c, TARN_MDS_REMOVE_NAME), &wcc);
    if (st != TARN_MDS_OK) return fail_wcc(c, st, wcc);
    uint8_t* r = reply(c, TARN_MDS_REMOVE_REP_MIN);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_REMOVE_REP_DIR_WCC, wcc.b, TARN_WCC_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_get_fs_info(lc_mds_call* c) {
    uint8_t info[TARN_MDS_FS_INFO_BYTES];
    uint32_t st = lc_ns_get_fs_info(env_of(c)->ns, info);
    if (st != TARN_MDS_OK) return st;
    uint8_t* r = reply(c, TARN_MDS_GET_FS_INFO_REP_MIN);
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_GET_FS_INFO_REP_INFO, info, TARN_MDS_FS_INFO_BYTES);
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_get_vdisk_map(lc_mds_call* c) {
    lc_mds_env* e = env_of(c);
    if (!e->cdisk) return TARN_MDS_NOT_IMPL;
    std::vector<lc_cdisk_map_entry> map;
    lc_cdisk_vdisk_map(e->cdisk, e->fs, &map);
    uint8_t* r = reply(c, TARN_MDS_VDISK_MAP_REP_ENTRIES + map.size() * TARN_MDS_VDISK_ENTRY_BYTES);
    if (!r) return kNoMemory;
    tarn_wire_put_u32(r, TARN_MDS_VDISK_MAP_REP_COUNT, uint32_t(map.size()));
    uint8_t* p = r + TARN_MDS_VDISK_MAP_REP_ENTRIES;
    for (const lc_cdisk_map_entry& m : map) {
        tarn_wire_put_u64(p, TARN_MDS_VDISK_ENTRY_TOKEN, m.token);
        tarn_wire_put_u64(p, TARN_MDS_VDISK_ENTRY_HOST_ID, m.host_id);
        tarn_wire_put_u32(p, TARN_MDS_VDISK_ENTRY_IPV4, m.ipv4);
        tarn_wire_put_u16(p, TARN_MDS_VDISK_ENTRY_PORT, m.port);
        p += TARN_MDS_VDISK_ENTRY_BYTES;
    }
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_report_vdisk(lc_mds_call* c) {
    lc_mds_env* e = env_of(c);
    uint64_t n = tarn_wire_get_u32(c->buf, TARN_MDS_REPORT_COUNT);
    if (TARN_MDS_REPORT_RECORDS + n * TARN_MDS_REPORT_RECORD_BYTES > c->len) return TARN_MDS_INVAL;
    if (!e->cdisk) return TARN_MDS_NOT_IMPL;
    const uint8_t* rec = c->buf + TARN_MDS_REPORT_RECORDS;
    for (uint64_t i = 0; i < n; i++, rec += TARN_MDS_REPORT_RECORD_BYTES) {
        if (tarn_wire_get_u32(rec, TARN_MDS_REPORT_REC_KIND) != TARN_MDS_REPORT_KIND_UNMOUNTED) continue;
        lc_cdisk_report_unmounted(e->cdisk, e->fs, tarn_wire_get_u32(rec, TARN_MDS_REPORT_REC_VDISK),
                                  tarn_wire_get_u64(rec, TARN_MDS_REPORT_REC_HOST_ID));
    }
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_list_xattrs(lc_mds_call* c) {
    std::string names;
    uint32_t st = lc_ns_list_xattrs(env_of(c)->ns, c->buf + TARN_MDS_LIST_XATTRS_HANDLE,
                                    tarn_wire_get_u64(c->buf, TARN_MDS_LIST_XATTRS_MAX_REPLY), &names);
    if (st != TARN_MDS_OK) return st;
    uint8_t* r = reply(c, TARN_MDS_LIST_XATTRS_REP_NAMES + names.size());
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_LIST_XATTRS_REP_NAMES, names.data(), names.size());
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_get_xattr(lc_mds_call* c) {
    std::string value;
    uint32_t needed = 0;
    uint32_t st = lc_ns_get_xattr(env_of(c)->ns, c->buf + TARN_MDS_GET_XATTR_HANDLE,
                                  tarn_wire_get_u32(c->buf, TARN_MDS_GET_XATTR_MAX_REPLY),
                                  name_at(c, TARN_MDS_GET_XATTR_NAME), &value, &needed);
    if (st != TARN_MDS_OK) {
        // The client takes no get_xattr error reply under 40 bytes.
        uint8_t* r = reply(c, TARN_MDS_GET_XATTR_ERR_MIN);
        if (r) tarn_wire_put_u32(r, TARN_MDS_GET_XATTR_ERR_NEEDED, needed);
        return st;
    }
    uint8_t* r = reply(c, TARN_MDS_GET_XATTR_REP_VALUE + value.size());
    if (!r) return kNoMemory;
    memcpy(r + TARN_MDS_GET_XATTR_REP_VALUE, value.data(), value.size());
    return TARN_MDS_OK;
}

uint32_t lc_mds_h_set_xattr(lc_mds_call* c) {
    std::string_view name = name_at(c, TARN_MDS_SET_XATTR_NAME);
    uint64_t at = tarn_wire_get_u16(c->buf, TARN_MDS_SET_XATTR_VALUE_OFFSET);
    uint64_t vlen = tarn_wire_get_u32(c->buf, TARN_MDS_SET_XATTR_VALUE_LEN);
    // The value lies after the name's NUL and inside the frame.
    if (at < TARN_MDS_SET_XATTR_NAME + name.size() + 1 || at + vlen > c->len) return TARN_MDS_INVAL;
    std::string_view value(reinterpret_cast<const char*>(c->buf + at), size_t(vlen));
    return lc_ns_set_xattr(env_of(c)->ns, c->buf + TARN_MDS_SET_XATTR_HANDLE,
                           tarn_wire_get_u16(c->buf, TARN_MDS_SET_XATTR_MODE), name, value);
}

uint32_t lc_mds_h_remove_xattr(lc_mds_call* c) {
    return lc_ns_remove_xattr(env_of(c)->ns, c->buf + TARN_MDS_REMOVE_XATTR_HANDLE,
                              name_at(c, TARN_MDS_REMOVE_XATTR_NAME));
}

// The hook carries a checksum so that a stray frame cannot crash a server.
uint32_t lc_mds_h_test(lc_mds_call* c) {
    uint32_t crc = kiv_crc32(c->buf + TARN_MDS_TEST_CODE, TARN_MDS_TEST_CRC - TARN_MDS_TEST_CODE);
    if (crc != tarn_wire_get_u32(c->buf, TARN_MDS_TEST_CRC)) return TARN_MDS_INVAL;
    if (tarn_wire_get_u32(c->buf, TARN_MDS_TEST_CODE) != LC_MDS_TEST_CRASH) return TARN_MDS_NOT_IMPL;
    c->no_reply = true;
    lc_mds_crash_from_request(c->mds);
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- dump

namespace {

void json_str(std::string* out, std::string_view s) { *out += lc_json_str(s); }

struct Dumper {
    lc_ns* ns;
    size_t left;
    bool truncated = false;

    void node(std::string* out, std::string_view name, const uint8_t* handle, const uint8_t* attrs, int depth) {
        left--;
        uint16_t type = tarn_wire_get_u16(attrs, TARN_MDS_ATTR_TYPE);
        const char* tname = type == LC_NS_TYPE_DIR ? "dir" : type == LC_NS_TYPE_FILE ? "file" : "symlink";
        char buf[160];
        *out += "{\"name\":";
        json_str(out, name);
        snprintf(buf, sizeof buf, ",\"id\":%llu,\"type\":\"%s\",\"mode\":\"%04o\",\"nlinks\":%u,\"size\":%llu",
                 (unsigned long long)tarn_wire_get_u64(attrs, TARN_MDS_ATTR_INODE_NUM), tname,
                 tarn_wire_get_u32(attrs, TARN_MDS_ATTR_MODE), tarn_wire_get_u32(attrs, TARN_MDS_ATTR_NLINKS),
                 (unsigned long long)tarn_wire_get_u64(attrs, TARN_MDS_ATTR_SIZE));
        *out += buf;
        if (type == LC_NS_TYPE_FILE) {
            snprintf(buf, sizeof buf, ",\"vdisk\":%u,\"space_used\":%llu",
                     unsigned(tarn_wire_get_u16(attrs, TARN_MDS_ATTR_VDISK_ID)),
                     (unsigned long long)tarn_wire_get_u64(attrs, TARN_MDS_ATTR_SPACE_USED));
            *out += buf;
        } else if (type == LC_NS_TYPE_SYMLINK) {
            std::string target;
            lc_ns_post_op post;
            if (lc_ns_readlink(ns, handle, &target, &post) == TARN_MDS_OK) {
                *out += ",\"target\":";
                json_str(out, target);
            }
        } else if (type == LC_NS_TYPE_DIR) {
            *out += ",\"entries\":[";
            entries(out, handle, depth);
            *out += "]";
        }
        *out += "}";
    }

    void entries(std::string* out, const uint8_t* dir, int depth) {
        if (depth > 256) {
            truncated = true;
            return;
        }
        uint64_t cookie = 0;
        bool first = true;
        for (;;) {
            lc_ns_readdir_out rd;
            if (lc_ns_readdir(ns, dir, cookie, TARN_MDS_MAX_MSG, &rd) != TARN_MDS_OK) return;
            const uint8_t* body = rd.body.data();
            for (uint32_t i = 0; i < rd.count; i++) {
                const uint8_t* e = body + size_t(i) * TARN_MDS_DIRENT_BYTES;
                cookie = tarn_wire_get_u64(e, TARN_MDS_DIRENT_COOKIE);
                if (left == 0) {
                    truncated = true;
                    return;
                }
                size_t name_at = tarn_wire_get_u32(e, TARN_MDS_DIRENT_NAME_OFFSET) - TARN_MDS_READDIR_REP_ENTRIES;
                const char* name = reinterpret_cast<const char*>(body + name_at);
                if (!first) *out += ",";
                first = false;
                node(out, name, e + TARN_MDS_DIRENT_HANDLE, e + TARN_MDS_DIRENT_ATTRS, depth + 1);
            }
            if (!rd.more) return;
        }
    }
};

}  // namespace

std::string lc_mds_dump_json(lc_ns* ns, std::string_view path, size_t max_nodes, std::string* err) {
    if (!ns) {
        *err = "the MDS is down";
        return "";
    }
    std::string p = path.empty() ? std::string("/") : std::string(path);
    if (p[0] != '/') p = "/" + p;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    uint8_t zero[TARN_MDS_HANDLE_BYTES] = {};
    lc_ns_obj obj;
    lc_ns_post_op post;
    uint32_t st = lc_ns_lookup(ns, zero, p, &obj, &post);
    if (st != TARN_MDS_OK) {
        *err = std::string("cannot look up ") + p + ": " + tarn_mds_status_text(st);
        return "";
    }
    Dumper d{ns, max_nodes ? max_nodes : 1};
    std::string out = "{\"path\":";
    json_str(&out, p);
    out += ",\"root\":";
    d.node(&out, p == "/" ? std::string_view("/") : std::string_view(p).substr(p.rfind('/') + 1), obj.handle.b,
           obj.attrs, 0);
    out += d.truncated ? ",\"truncated\":true}" : ",\"truncated\":false}";
    return out;
}
