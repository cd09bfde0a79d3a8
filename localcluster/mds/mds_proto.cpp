#include "localcluster/mds/mds_proto.h"

#include <string.h>

#include "kiv/base.h"
#include "kiv/rpc_server.h"
#include "localcluster/mds/mds_handlers.h"

namespace {

uint32_t handle_noop(lc_mds_call*) { return TARN_MDS_OK; }

constexpr uint32_t kHdr = TARN_REPLY_HDR_BYTES;

// Indexed by (type - TARN_MDS_NOOP) / 2; types without a row are unknown.
constexpr uint32_t kFirst = TARN_MDS_NOOP;
constexpr uint32_t kLast = TARN_MDS_TEST;
constexpr size_t kSlots = (kLast - kFirst) / 2 + 1;

struct Table {
    lc_mds_msg_def slot[kSlots] = {};
    constexpr void add(const lc_mds_msg_def& d) { slot[(d.type - kFirst) / 2] = d; }
};

constexpr Table make_table() {
    Table t;
    t.add({TARN_MDS_NOOP, "noop", TARN_MDS_NOOP_REQ_BYTES, 0, 0, kHdr, handle_noop});
    t.add({TARN_MDS_LOOKUP, "lookup", TARN_MDS_LOOKUP_REQ_BYTES, TARN_MDS_LOOKUP_NAME, 1, kHdr, lc_mds_h_lookup});
    t.add({TARN_MDS_READDIR, "readdir", TARN_MDS_READDIR_REQ_BYTES, 0, 0, kHdr, lc_mds_h_readdir});
    t.add({TARN_MDS_READLINK, "readlink", TARN_MDS_READLINK_REQ_BYTES, 0, 0, kHdr, lc_mds_h_readlink});
    t.add({TARN_MDS_GET_ATTRS, "get_attrs", TARN_MDS_GET_ATTRS_REQ_BYTES, 0, 0, kHdr, lc_mds_h_get_attrs});
    t.add({TARN_MDS_SET_ATTRS, "set_attrs", TARN_MDS_SET_ATTRS_REQ_BYTES, 0, 0, kHdr, lc_mds_h_set_attrs});
    t.add({TARN_MDS_CREATE_FILE, "create_file", TARN_MDS_CREATE_REQ_BYTES, TARN_MDS_CREATE_NAME, 1, kHdr,
           lc_mds_h_create_file});
    t.add({TARN_MDS_MKDIR, "mkdir", TARN_MDS_MKDIR_REQ_BYTES, TARN_MDS_MKDIR_NAME, 1, kHdr, lc_mds_h_mkdir});
    t.add({TARN_MDS_LINK, "link", TARN_MDS_LINK_REQ_BYTES, TARN_MDS_LINK_NAME, 1, kHdr, lc_mds_h_link});
    t.add({TARN_MDS_SYMLINK, "symlink", TARN_MDS_SYMLINK_REQ_BYTES, TARN_MDS_SYMLINK_NAME, 2, kHdr, lc_mds_h_symlink});
    t.add({TARN_MDS_RENAME, "rename", TARN_MDS_RENAME_REQ_BYTES, TARN_MDS_RENAME_NAMES, 2, kHdr, lc_mds_h_rename});
    t.add({TARN_MDS_REMOVE, "remove", TARN_MDS_REMOVE_REQ_BYTES, TARN_MDS_REMOVE_NAME, 1, kHdr, lc_mds_h_remove});
    t.add({TARN_MDS_GET_FS_INFO, "get_fs_info", TARN_MDS_GET_FS_INFO_REQ_BYTES, 0, 0, kHdr, lc_mds_h_get_fs_info});
    t.add({TARN_MDS_GET_VDISK_MAP, "get_vdisk_map", TARN_MDS_GET_VDISK_MAP_REQ_BYTES, 0, 0, kHdr,
           lc_mds_h_get_vdisk_map});
    t.add({TARN_MDS_REPORT_VDISK, "report_vdisk", TARN_MDS_REPORT_REQ_BYTES, 0, 0, kHdr, lc_mds_h_report_vdisk});
    t.add({TARN_MDS_LIST_XATTRS, "list_xattrs", TARN_MDS_LIST_XATTRS_REQ_BYTES, 0, 0, kHdr, lc_mds_h_list_xattrs});
    t.add({TARN_MDS_GET_XATTR, "get_xattr", TARN_MDS_GET_XATTR_REQ_BYTES, TARN_MDS_GET_XATTR_NAME, 1,
           TARN_MDS_GET_XATTR_ERR_MIN, lc_mds_h_get_xattr});
    t.add({TARN_MDS_SET_XATTR, "set_xattr", TARN_MDS_SET_XATTR_REQ_BYTES, TARN_MDS_SET_XATTR_NAME, 1, kHdr,
           lc_mds_h_set_xattr});
    t.add({TARN_MDS_REMOVE_XATTR, "remove_xattr", TARN_MDS_REMOVE_XATTR_REQ_BYTES, TARN_MDS_REMOVE_XATTR_NAME, 1,
           kHdr, lc_mds_h_remove_xattr});
    t.add({TARN_MDS_TEST, "test", TARN_MDS_TEST_REQ_BYTES, 0, 0, kHdr, lc_mds_h_test});
    return t;
}

constexpr Table kTable = make_table();

}  // namespace

const lc_mds_msg_def* lc_mds_msg_find(uint32_t type) {
    if (type < kFirst || type > kLast || (type & 1)) return nullptr;
    const lc_mds_msg_def* d = &kTable.slot[(type - kFirst) / 2];
    return d->type == type ? d : nullptr;
}

uint32_t lc_mds_check_header(const uint8_t* buf, uint32_t len, uint64_t fs_id, const lc_mds_msg_def** def) {
    *def = nullptr;
    if (len < TARN_MDS_REQ_VERSION + 8 || tarn_wire_get_u64(buf, TARN_MDS_REQ_VERSION) != TARN_WIRE_VERSION)
        return TARN_MDS_INVAL;
    *def = lc_mds_msg_find(tarn_wire_get_u32(buf, TARN_MSG_TYPE));
    if (!*def) return TARN_MDS_NOT_IMPL;
    if (len < (*def)->fixed_len) return TARN_MDS_INVAL;
    if (tarn_wire_get_u64(buf, TARN_MDS_REQ_FS_ID) != fs_id) return TARN_MDS_NO_FS;
    return TARN_MDS_OK;
}

bool lc_mds_names_ok(const lc_mds_msg_def* def, const uint8_t* buf, uint32_t len) {
    uint32_t at = def->names_at;
    for (uint32_t i = 0; i < def->names; i++) {
        if (at >= len) return false;
        const void* nul = memchr(buf + at, 0, len - at);
        if (!nul) return false;
        at = uint32_t(static_cast<const uint8_t*>(nul) - buf) + 1;
    }
    return true;
}

kiv_msg* lc_mds_alloc_reply(const kiv_msg* req, uint32_t len, uint32_t status) {
    kiv_msg* r = kiv_rpc_alloc_reply(req, len);
    if (!r) return nullptr;
    tarn_reply_hdr_write(r->buf, len, tarn_wire_get_u32(req->buf, TARN_MSG_TYPE) + 1, status);
    return r;
}

kiv_msg* lc_mds_status_reply(const kiv_msg* req, const lc_mds_msg_def* def, uint32_t status) {
    uint32_t len = def && status != TARN_MDS_OK ? def->err_len : uint32_t(TARN_REPLY_HDR_BYTES);
    return lc_mds_alloc_reply(req, len, status);
}
