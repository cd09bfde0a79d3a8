// Object handles: the decoded form the client works with (tarn_handle) and
// the opaque byte form callers hold (layout in tarn_wire_blocks.h).
#pragma once

#include <stdint.h>

#include "client/tarn_client.h"
#include "client/tarn_wire_blocks.h"

// The MDS's file handle exactly as MDS messages carry it. On the supported
// (little-endian) hosts its memory image is its wire image, so it is copied
// to and from messages with memcpy.
struct tarn_mds_handle {
    uint64_t file_id;
    uint8_t type;  // MDS file type 0..7
    uint8_t flags; // TARN_MDS_HANDLE_XATTRS_ON_DS
    uint8_t rest[TARN_MDS_HANDLE_LENGTH - TARN_MDS_HANDLE_MIN_LEN];
    uint8_t len; // bytes of the handle in use, at most TARN_MDS_HANDLE_MAX_LEN
};
static_assert(sizeof(tarn_mds_handle) == TARN_MDS_HANDLE_BYTES);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "tarn_mds_handle is its own wire image");

struct tarn_handle {
    uint16_t vdisk_id; // TARN_VDISK_ID_NONE for objects on the MDS only
    tarn_mds_handle mds_handle;
    uint8_t opaque_len; // mds_handle.len + 2
};

// Builds a handle from an MDS handle and the 112-byte MDS attributes block
// that came with it: regular files take the virtual disk from the
// attributes, everything else gets TARN_VDISK_ID_NONE. An MDS handle longer
// than TARN_MDS_HANDLE_MAX_LEN is an invariant violation.
void tarn_handle_init(tarn_handle* handle, const tarn_mds_handle* mds_handle, const uint8_t* mds_attributes);

// Decodes an opaque of `len` bytes. Valid lengths are TARN_OPAQUE_MIN_LEN
// (12: vdisk id, file id, type, flags) to TARN_OPAQUE_MAX_LEN (30); any
// other length, or null data, gives -EINVAL. The handle is zeroed before
// anything else, so on failure it is all zero and on success every byte
// beyond the opaque's is zero.
int tarn_handle_from_opaque(const void* data, uint64_t len, tarn_handle* handle);

// As tarn_handle_from_opaque, but length 0 (no handle) gives the all-zero
// handle and 0; `data` is then not read.
int tarn_handle_from_optional_opaque(const void* data, uint64_t len, tarn_handle* handle);

// Writes the opaque form into `buf` and sets buf->size to opaque_len. A
// capacity below opaque_len gives -EINVAL with `buf` untouched. An
// opaque_len above TARN_OPAQUE_MAX_LEN is an invariant violation.
int tarn_handle_to_opaque(const tarn_handle* handle, tarn_opaque_buf* buf);

// File id and file type of an opaque; 0 or the decoder's -EINVAL, leaving
// both outputs untouched on failure. A type above 7 is an invariant
// violation.
int tarn_decode_file_info(const void* data, uint64_t len, uint64_t* file_id, tarn_file_type* type);
