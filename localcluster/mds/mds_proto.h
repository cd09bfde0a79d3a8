// The MDS request table and the checks every request passes before its
// handler runs. Offsets, lengths, types and statuses come from the client's
// wire header (client/tarn_wire.h); only the per-type facts the header has
// no table for (which fields are names, how long an error reply is, which
// handler answers) live here.
#pragma once

#include <stdint.h>

#include "client/tarn_wire.h"
#include "kiv/rpc.h"

struct lc_mds;

// One request being handled. A handler reads the request and either leaves
// `reply` empty (the dispatcher then answers the returned status with the
// type's bare error reply, or a bare 32-byte reply for status 0) or builds
// the whole reply itself with lc_mds_alloc_reply; the dispatcher then
// writes the returned status into its header.
struct lc_mds_call {
    lc_mds* mds;
    void* ctx;  // the instance's lc_mds_env (mds_handlers.h)
    const kiv_msg* req;
    const uint8_t* buf;  // the whole frame
    uint32_t len;
    tarn_mds_req_hdr hdr;
    kiv_msg* reply = nullptr;
    bool no_reply = false;  // set by a handler whose request is never answered (a crash)
};

using lc_mds_handler = uint32_t (*)(lc_mds_call* call);

struct lc_mds_msg_def {
    uint32_t type;
    const char* name;
    uint32_t fixed_len;  // the least request length (names count one byte each)
    uint32_t names_at;   // offset of the first NUL-terminated name, 0 = none
    uint32_t names;      // consecutive names from there
    uint32_t err_len;    // bare error reply: 32, or 40 where the client never takes less
    lc_mds_handler handler;  // NULL = not implemented (status 16)
};

// The definition of a known request type, or NULL.
const lc_mds_msg_def* lc_mds_msg_find(uint32_t type);

// Checks 1 to 4 of every request, in this order: version 2 (else 5), known
// type (else 16), at least the type's fixed length (else 5), this file
// system (else 7). Returns 0 when all pass. *def is the type's definition
// when the type is known, else NULL.
uint32_t lc_mds_check_header(const uint8_t* buf, uint32_t len, uint64_t fs_id, const lc_mds_msg_def** def);

// Check 6: every name of the request ends with a NUL inside the frame.
bool lc_mds_names_ok(const lc_mds_msg_def* def, const uint8_t* buf, uint32_t len);

// A zeroed reply of `len` bytes to `req` with its header written (length,
// type + 1, transaction id, status). NULL on OOM.
kiv_msg* lc_mds_alloc_reply(const kiv_msg* req, uint32_t len, uint32_t status);

// The bare reply that carries only `status`: the type's error length
// (32 bytes for unknown types and for status 0).
kiv_msg* lc_mds_status_reply(const kiv_msg* req, const lc_mds_msg_def* def, uint32_t status);
