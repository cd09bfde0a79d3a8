// Opaque handle codec.
#include "client/tarn_handle.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "client/tarn_client_conv.h"
#include "kiv/base.h"

static_assert(offsetof(tarn_mds_handle, file_id) == TARN_MDS_HANDLE_FILE_ID);
static_assert(offsetof(tarn_mds_handle, type) == TARN_MDS_HANDLE_TYPE);
static_assert(offsetof(tarn_mds_handle, flags) == TARN_MDS_HANDLE_FLAGS);
static_assert(offsetof(tarn_mds_handle, len) == TARN_MDS_HANDLE_LENGTH);
// The opaque is the MDS handle shifted by the 2-byte vdisk id.
static_assert(TARN_OPAQUE_TYPE == TARN_MDS_HANDLE_TYPE + 2 && TARN_OPAQUE_FILE_ID == TARN_MDS_HANDLE_FILE_ID + 2);
// Every MDS-handle byte an opaque can carry lies before the length byte.
static_assert(TARN_OPAQUE_MAX_LEN - 2 <= TARN_MDS_HANDLE_LENGTH);

namespace {

uint8_t* mds_bytes(tarn_mds_handle* m) { return reinterpret_cast<uint8_t*>(m); }
const uint8_t* mds_bytes(const tarn_mds_handle* m) { return reinterpret_cast<const uint8_t*>(m); }

}  // namespace

void tarn_handle_init(tarn_handle* handle, const tarn_mds_handle* mds_handle, const uint8_t* mds_attributes) {
    KIV_BUG_ON(mds_handle->len > TARN_MDS_HANDLE_MAX_LEN);
    // Zeroing first also clears the padding, so a handle compares and copies
    // as plain bytes.
    memset(handle, 0, sizeof(*handle));
    uint16_t type = tarn_wire_get_u16(mds_attributes, TARN_MDS_ATTR_TYPE);
    handle->vdisk_id = type == TARN_FILE_TYPE_REGULAR ? tarn_wire_get_u16(mds_attributes, TARN_MDS_ATTR_VDISK_ID)
                                                      : TARN_VDISK_ID_NONE;
    handle->mds_handle = *mds_handle;
    handle->opaque_len = uint8_t(mds_handle->len + 2);
}

int tarn_handle_from_opaque(const void* data, uint64_t len, tarn_handle* handle) {
    memset(handle, 0, sizeof(*handle));
    // Shorter opaques cannot hold the file id, type and flags; longer ones
    // hold more than an MDS handle (28 bytes) can.
    if (data == nullptr || len < TARN_OPAQUE_MIN_LEN || len > TARN_OPAQUE_MAX_LEN) return -EINVAL;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    handle->vdisk_id = tarn_be_get_u16(p, TARN_OPAQUE_VDISK_ID);
    handle->mds_handle.file_id = tarn_be_get_u64(p, TARN_OPAQUE_FILE_ID);
    memcpy(mds_bytes(&handle->mds_handle) + TARN_MDS_HANDLE_TYPE, p + TARN_OPAQUE_TYPE, len - TARN_OPAQUE_TYPE);
    handle->mds_handle.len = uint8_t(len - 2);
    handle->opaque_len = uint8_t(len);
    return 0;
}

int tarn_handle_from_optional_opaque(const void* data, uint64_t len, tarn_handle* handle) {
    if (len == 0) {
        memset(handle, 0, sizeof(*handle));
        return 0;
    }
    return tarn_handle_from_opaque(data, len, handle);
}

int tarn_handle_to_opaque(const tarn_handle* handle, tarn_opaque_buf* buf) {
    KIV_BUG_ON(handle->opaque_len > TARN_OPAQUE_MAX_LEN);
    if (buf->capacity < handle->opaque_len) return -EINVAL;
    // Build the longest form, then hand out opaque_len bytes of it, so a short
    // handle never makes us write past what the caller asked for.
    uint8_t image[2 + TARN_MDS_HANDLE_BYTES];
    tarn_be_put_u16(image, TARN_OPAQUE_VDISK_ID, handle->vdisk_id);
    tarn_be_put_u64(image, TARN_OPAQUE_FILE_ID, handle->mds_handle.file_id);
    memcpy(image + TARN_OPAQUE_TYPE, mds_bytes(&handle->mds_handle) + TARN_MDS_HANDLE_TYPE,
           TARN_MDS_HANDLE_BYTES - TARN_MDS_HANDLE_TYPE);
    if (handle->opaque_len > 0) memcpy(buf->data, image, handle->opaque_len);
    buf->size = handle->opaque_len;
    return 0;
}

int tarn_decode_file_info(const void* data, uint64_t len, uint64_t* file_id, tarn_file_type* type) {
    tarn_handle h;
    int rc = tarn_handle_from_opaque(data, len, &h);
    if (rc != 0) return rc;
    // The opaque came from outside: a type no MDS hands out is a bad
    // argument, not a broken invariant.
    if (h.mds_handle.type > TARN_MDS_MAX_FILE_TYPE) return -EINVAL;
    tarn_file_type t = mds2tarn_file_type(h.mds_handle.type);
    *file_id = h.mds_handle.file_id;
    *type = t;
    return 0;
}
