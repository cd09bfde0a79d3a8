// Conversions between the public records of tarn_client.h and the blocks
// that travel inside MDS and DS messages (layouts in tarn_wire_blocks.h),
// and the mapping of error numbers onto tarn_err.
//
// Pure computation: no allocation, no locking, no input or output. Block
// arguments point at the first byte of a block of the documented size.
// Invariant violations (a file type above 7, a create mode outside 1..3, a
// set-xattr mode outside 0..2) end the process through the runtime's bug
// report; they are contract violations, not reported errors.
#pragma once

#include <stdint.h>

#include "client/tarn_client.h"
#include "client/tarn_wire_blocks.h"

// Maps a non-negative error number (Linux numbering, 0 allowed) onto the
// public code: the fixed table for 0..110, TARN_ERR_SERVER_FAULT for every
// number the table does not name, above 110 or negative. Lives in
// tarn_client.cpp beside the message table.
tarn_err posix2tarn_error(int error_number);

// 0..7 map to themselves; a larger value is an invariant violation.
tarn_file_type mds2tarn_file_type(uint32_t value);

// Fill an 80-byte wire credentials block (the MDS and DS forms are the same).
// Only the first TARN_MAX_GROUPS groups are sent; a larger `ngroups` is cut
// to TARN_MAX_GROUPS, so the block is never overrun.
void tarn2mds_credentials(const tarn_credentials* credentials, uint8_t* wire);
void tarn2ds_credentials(const tarn_credentials* credentials, uint8_t* wire);

// Fill `attr` from a 112-byte MDS attributes block.
void mds2tarn_attributes(const uint8_t* mds_block, tarn_attr* attr);
// Fill `attr` from an 88-byte DS attributes block: type is always
// TARN_FILE_TYPE_REGULAR, spare1 and spare2 are 0.
void ds2tarn_attributes(const uint8_t* ds_block, tarn_attr* attr);

// Fill a 120-byte MDS update block or a 96-byte DS update block; the whole
// block is zeroed first, unknown mask bits are dropped.
void tarn2mds_attr_update(const tarn_attr_update* update, uint8_t* mds_block);
void tarn2ds_attr_update(const tarn_attr_update* update, uint8_t* ds_block);

// Fill `out` from a 72-byte post-operation block. When the block's present
// bit is clear, only `out->present` (0) is written.
void mds2tarn_post_op_wcc_data(const uint8_t* block, tarn_post_op_data* out);
void ds2tarn_post_op_wcc_data(const uint8_t* block, tarn_post_op_data* out);

// Fill `out` from a 120-byte wcc block; each half keeps the values it had
// when its present bit is clear.
void mds2tarn_wcc_data(const uint8_t* block, tarn_wcc_data* out);
void ds2tarn_wcc_data(const uint8_t* block, tarn_wcc_data* out);

// Return the mode unchanged; anything outside the valid range is an
// invariant violation.
uint32_t tarn2mds_create_mode(uint32_t mode);    // 1..3
uint32_t tarn2mds_setxattr_mode(uint32_t mode);  // 0..2
uint32_t tarn2ds_setxattr_mode(uint32_t mode);   // 0..2
