// The DS request table, the checks every request passes, and the handlers
// that turn a request into calls on the instance's DsDisk and the vdisk
// table. Offsets, lengths, types and statuses come from the client's wire
// header (client/tarn_wire.h); only the per-type facts it has no table for
// (file request or not, which handler answers) live here.
//
// Check order of every request:
//  1. the length is a multiple of 512, else 5;
//  2. the version is 2, else 5;
//  3. the type is known, else 5;
//  4. the epoch (the server's, in lc_ds_server);
//  5. file requests: the token is a current token of a vdisk mounted on
//     this instance, else 7; the object exists on that vdisk, else 8;
//  6. names and lengths lie inside the frame, else 5 (padding is never
//     looked at).
// Checks 1 to 3 are lc_ds_check_header; 5, 6 and the handler are
// lc_ds_execute. Replies are exact-length and never padded.
#pragma once

#include <stdint.h>

#include <atomic>

#include "client/tarn_wire.h"
#include "kiv/rpc.h"
#include "localcluster/ds/ds_disk.h"

struct kiv_rpc_sconn;
struct lc_cdisk;
struct lc_ds_call;

// What the handlers see of their instance.
struct lc_ds_env {
    int fs = 0;  // index of the file system
    int host = 1;
    lc_cdisk* cdisk = nullptr;
    lc_ds_disk* disk = nullptr;
    std::atomic<uint64_t> verifier{0};  // of the instance's current start
    void* ctx = nullptr;
    // Test code 1, carried by connection `conn_id`.
    void (*disable_replication)(void* ctx, uint64_t conn_id) = nullptr;
    // Test code 2: the instance goes down; the request is never answered.
    void (*crash)(void* ctx) = nullptr;
    // Whether an "overdata" fault rule holds this read's reply. Optional.
    bool (*overdata)(void* ctx, const lc_ds_call* call) = nullptr;
};

// One request being handled. A handler either leaves `reply` empty (the
// caller then answers the returned status with a bare 32-byte reply) or
// builds the whole reply with lc_ds_alloc_reply; `no_reply` says that
// nothing at all is sent.
struct lc_ds_call {
    lc_ds_env* env;
    kiv_rpc_sconn* conn;
    uint64_t conn_id;
    const kiv_msg* req;
    const uint8_t* buf;  // the whole frame
    uint32_t len;
    tarn_ds_req_hdr hdr;
    uint32_t vdisk = 0;  // file requests: the vdisk the token names
    lc_ds_attrs obj;     // requests naming an object: its attributes at check 5
    kiv_msg* reply = nullptr;
    bool no_reply = false;
};

using lc_ds_handler = uint32_t (*)(lc_ds_call* call);

struct lc_ds_msg_def {
    uint32_t type;
    const char* name;
    bool file;    // carries the file part (token, file id, credentials)
    bool object;  // names an object that must exist (check 5)
    lc_ds_handler handler;
};

const lc_ds_msg_def* lc_ds_msg_find(uint32_t type);

// Checks 1 to 3. 0 when all pass (then *def is set), else the status.
uint32_t lc_ds_check_header(const uint8_t* buf, uint32_t len, const lc_ds_msg_def** def);

// Checks 5 and 6 and the handler; `call->hdr` is read here. Returns the
// status of the answer.
uint32_t lc_ds_execute(lc_ds_call* call, const lc_ds_msg_def* def);

// A zeroed reply of `len` bytes to `req` with its header written. NULL on OOM.
kiv_msg* lc_ds_alloc_reply(const kiv_msg* req, uint32_t len, uint32_t status);

// The vdisk a file request's token names, for fault rules; false for other
// requests and for frames too short to hold a token.
bool lc_ds_request_vdisk(const uint8_t* buf, uint32_t len, uint32_t* vdisk);
