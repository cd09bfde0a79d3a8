// Public records <-> MDS and DS wire blocks.
#include "client/tarn_client_conv.h"

#include <string.h>

#include "kiv/base.h"

namespace {

// The runtime's report names this source rather than a build path.
[[noreturn]] void conv_bug(int line, const char* func) { kiv_bug("tarn_client_conv", line, func); }

void credentials_to_wire(const tarn_credentials* c, uint8_t* wire) {
    memset(wire, 0, TARN_WIRE_CREDS_BYTES);
    tarn_wire_put_u32(wire, TARN_WIRE_CREDS_UID, c->uid);
    tarn_wire_put_u32(wire, TARN_WIRE_CREDS_GID, c->gid);
    uint16_t n = c->ngroups;
    if (n > TARN_WIRE_CREDS_MAX_GROUPS) n = uint16_t(TARN_WIRE_CREDS_MAX_GROUPS);
    tarn_wire_put_u16(wire, TARN_WIRE_CREDS_NGROUPS, n);
    for (uint16_t i = 0; i < n; i++) tarn_wire_put_u32(wire, TARN_WIRE_CREDS_GROUPS + 4 * size_t(i), c->groups[i]);
}

void post_op_from_wire(const uint8_t* b, tarn_post_op_data* out) {
    out->present = tarn_wire_get_u8(b, TARN_POST_OP_PRESENT) & TARN_WIRE_PRESENT;
    if (!out->present) return;
    out->value1 = tarn_wire_get_u64(b, TARN_POST_OP_VALUE1);
    out->value2 = tarn_wire_get_u64(b, TARN_POST_OP_VALUE2);
    out->value3 = tarn_wire_get_u64(b, TARN_POST_OP_VALUE3);
    out->time1 = tarn_wire_get_time(b, TARN_POST_OP_TIME1);
    out->time2 = tarn_wire_get_time(b, TARN_POST_OP_TIME2);
}

void wcc_from_wire(const uint8_t* b, tarn_wcc_data* out) {
    out->pre_present = tarn_wire_get_u8(b, TARN_WCC_PRE_PRESENT) & TARN_WIRE_PRESENT;
    if (out->pre_present) {
        out->pre_value = tarn_wire_get_u64(b, TARN_WCC_PRE_VALUE);
        out->pre_time1 = tarn_wire_get_time(b, TARN_WCC_PRE_TIME1);
        out->pre_time2 = tarn_wire_get_time(b, TARN_WCC_PRE_TIME2);
    }
    post_op_from_wire(b + TARN_WCC_POST, &out->post);
}

// One row of the update table: public bit, MDS bit, DS bit.
struct update_bit {
    uint32_t tarn;
    uint32_t mds;
    uint32_t ds;
};

constexpr update_bit kUpdateBits[] = {
    {TARN_SET_MODE, TARN_MDS_SET_MODE, TARN_DS_SET_MODE},
    {TARN_SET_UID, TARN_MDS_SET_UID, TARN_DS_SET_UID},
    {TARN_SET_GID, TARN_MDS_SET_GID, TARN_DS_SET_GID},
    {TARN_SET_SIZE, TARN_MDS_SET_SIZE, TARN_DS_SET_SIZE},
    {TARN_SET_ATIME, TARN_MDS_SET_ATIME, TARN_DS_SET_ATIME},
    {TARN_SET_ATIME_NOW, TARN_MDS_SET_ATIME_NOW, TARN_DS_SET_ATIME_NOW},
    {TARN_SET_MTIME, TARN_MDS_SET_MTIME, TARN_DS_SET_MTIME},
    {TARN_SET_MTIME_NOW, TARN_MDS_SET_MTIME_NOW, TARN_DS_SET_MTIME_NOW},
};

// Where the values of an update go inside the embedded attributes block.
struct attr_offsets {
    size_t mode, uid, gid, size, atime, mtime;
};

void update_to_wire(const tarn_attr_update* u, uint8_t* block, size_t block_bytes, size_t attr_base,
                    const attr_offsets& off, bool ds) {
    memset(block, 0, block_bytes);
    uint8_t* a = block + attr_base;
    uint32_t mask = 0;
    for (const update_bit& bit : kUpdateBits) {
        if (!(u->mask & bit.tarn)) continue;
        mask |= ds ? bit.ds : bit.mds;
        switch (bit.tarn) {
            case TARN_SET_MODE: tarn_wire_put_u32(a, off.mode, u->attr.mode); break;
            case TARN_SET_UID: tarn_wire_put_u32(a, off.uid, u->attr.uid); break;
            case TARN_SET_GID: tarn_wire_put_u32(a, off.gid, u->attr.gid); break;
            case TARN_SET_SIZE: tarn_wire_put_u64(a, off.size, u->attr.size); break;
            case TARN_SET_ATIME: tarn_wire_put_time(a, off.atime, u->attr.atime); break;
            case TARN_SET_MTIME: tarn_wire_put_time(a, off.mtime, u->attr.mtime); break;
            default: break; // the *_NOW bits carry no value
        }
    }
    static_assert(TARN_MDS_UPDATE_MASK == 0 && TARN_DS_UPDATE_MASK == 0);
    tarn_wire_put_u32(block, TARN_MDS_UPDATE_MASK, mask);
}

uint32_t check_setxattr_mode(uint32_t mode, int line, const char* func) {
    if (mode > TARN_SET_XATTR_REPLACE) conv_bug(line, func);
    return mode;
}

}  // namespace

tarn_file_type mds2tarn_file_type(uint32_t value) {
    KIV_BUG_ON(value > TARN_MDS_MAX_FILE_TYPE);
    return value;
}

void tarn2mds_credentials(const tarn_credentials* credentials, uint8_t* wire) {
    credentials_to_wire(credentials, wire);
}

void tarn2ds_credentials(const tarn_credentials* credentials, uint8_t* wire) {
    credentials_to_wire(credentials, wire);
}

void mds2tarn_attributes(const uint8_t* b, tarn_attr* attr) {
    attr->type = uint16_t(mds2tarn_file_type(tarn_wire_get_u16(b, TARN_MDS_ATTR_TYPE)));
    attr->inode_num = tarn_wire_get_u64(b, TARN_MDS_ATTR_INODE_NUM);
    attr->mode = tarn_wire_get_u32(b, TARN_MDS_ATTR_MODE);
    attr->nlinks = tarn_wire_get_u32(b, TARN_MDS_ATTR_NLINKS);
    attr->uid = tarn_wire_get_u32(b, TARN_MDS_ATTR_UID);
    attr->gid = tarn_wire_get_u32(b, TARN_MDS_ATTR_GID);
    attr->size = tarn_wire_get_u64(b, TARN_MDS_ATTR_SIZE);
    attr->space_used = tarn_wire_get_u64(b, TARN_MDS_ATTR_SPACE_USED);
    attr->atime = tarn_wire_get_time(b, TARN_MDS_ATTR_ATIME);
    attr->mtime = tarn_wire_get_time(b, TARN_MDS_ATTR_MTIME);
    attr->ctime = tarn_wire_get_time(b, TARN_MDS_ATTR_CTIME);
    attr->spare1 = tarn_wire_get_u64(b, TARN_MDS_ATTR_SPARE1);
    attr->spare2 = tarn_wire_get_u64(b, TARN_MDS_ATTR_SPARE2);
}

void ds2tarn_attributes(const uint8_t* b, tarn_attr* attr) {
    attr->type = TARN_FILE_TYPE_REGULAR;
    attr->inode_num = tarn_wire_get_u64(b, TARN_DS_ATTR_INODE_NUM);
    attr->mode = tarn_wire_get_u32(b, TARN_DS_ATTR_MODE);
    attr->nlinks = tarn_wire_get_u32(b, TARN_DS_ATTR_NLINKS);
    attr->uid = tarn_wire_get_u32(b, TARN_DS_ATTR_UID);
    attr->gid = tarn_wire_get_u32(b, TARN_DS_ATTR_GID);
    attr->size = tarn_wire_get_u64(b, TARN_DS_ATTR_SIZE);
    attr->space_used = tarn_wire_get_u64(b, TARN_DS_ATTR_SPACE_USED);
    attr->atime = tarn_wire_get_time(b, TARN_DS_ATTR_ATIME);
    attr->mtime = tarn_wire_get_time(b, TARN_DS_ATTR_MTIME);
    attr->ctime = tarn_wire_get_time(b, TARN_DS_ATTR_CTIME);
    attr->spare1 = 0;
    attr->spare2 = 0;
}

void tarn2mds_attr_update(const tarn_attr_update* update, uint8_t* mds_block) {
    static constexpr attr_offsets off = {TARN_MDS_ATTR_MODE, TARN_MDS_ATTR_UID,   TARN_MDS_ATTR_GID,
                                         TARN_MDS_ATTR_SIZE, TARN_MDS_ATTR_ATIME, TARN_MDS_ATTR_MTIME};
    update_to_wire(update, mds_block, TARN_MDS_UPDATE_BYTES, TARN_MDS_UPDATE_ATTR, off, false);
}

void tarn2ds_attr_update(const tarn_attr_update* update, uint8_t* ds_block) {
    static constexpr attr_offsets off = {TARN_DS_ATTR_MODE, TARN_DS_ATTR_UID,   TARN_DS_ATTR_GID,
                                         TARN_DS_ATTR_SIZE, TARN_DS_ATTR_ATIME, TARN_DS_ATTR_MTIME};
    update_to_wire(update, ds_block, TARN_DS_UPDATE_BYTES, TARN_DS_UPDATE_ATTR, off, true);
}

void mds2tarn_post_op_wcc_data(const uint8_t* block, tarn_post_op_data* out) { post_op_from_wire(block, out); }
void ds2tarn_post_op_wcc_data(const uint8_t* block, tarn_post_op_data* out) { post_op_from_wire(block, out); }
void mds2tarn_wcc_data(const uint8_t* block, tarn_wcc_data* out) { wcc_from_wire(block, out); }
void ds2tarn_wcc_data(const uint8_t* block, tarn_wcc_data* out) { wcc_from_wire(block, out); }

uint32_t tarn2mds_create_mode(uint32_t mode) {
    if (mode < TARN_CREATE_UNCHECKED || mode > TARN_CREATE_EXCLUSIVE) conv_bug(__LINE__, __func__);
    return mode;
}

uint32_t tarn2mds_setxattr_mode(uint32_t mode) { return check_setxattr_mode(mode, __LINE__, __func__); }
uint32_t tarn2ds_setxattr_mode(uint32_t mode) { return check_setxattr_mode(mode, __LINE__, __func__); }
