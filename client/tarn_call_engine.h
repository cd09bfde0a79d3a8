// The RPC call engine shared by the MDS call and the DS call.
//
// A call sends one request to a server of its kind, re-sending it after
// retryable failures with exponential back-off until its retry deadline,
// handling the cluster's epoch fencing and cancellation, and maps a failed
// call's error to an error number. Everything here except the pure mapping
// and formatting functions runs on the event loop of the call's process.
//
// The two kinds differ in a few places (choosing the server, the request
// copy, reports made after a failure, waiting, cancellation); each supplies
// them as a tarn_call_ops table and describes its messages and statuses in a
// tarn_server_kind. The kind's call structure embeds a tarn_call as its
// first member, and every request message's `priv` points at that tarn_call.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "client/tarn_conn.h"
#include "client/tarn_conn_pool.h"
#include "kiv/loop.h"
#include "kiv/rpc.h"

// ---------------------------------------------------------------- errors
enum : uint32_t {
    RPC_ERR_NONE = 0,
    RPC_ERR_RUNTIME = 1, // code: a runtime RPC error code (KIV_E_*)
    RPC_ERR_POSIX = 2,   // code: a positive error number, Linux numbering
    RPC_ERR_SERVER = 3,  // code: the status word of a server reply
};

enum : uint32_t { RPC_ORIGIN_LOCAL = 0, RPC_ORIGIN_REMOTE = 1 };

struct rpc_error {
    uint32_t code;
    uint32_t kind;   // RPC_ERR_*
    uint32_t origin; // RPC_ORIGIN_*
};

static inline rpc_error rpc_error_make(uint32_t code, uint32_t kind, uint32_t origin) {
    return rpc_error{code, kind, origin};
}

typedef uint32_t call_state;
enum : uint32_t { CALL_IDLE = 0, CALL_IN_FLIGHT = 1, CALL_DONE = 2, CALL_FAILED = 3 };

// retry_timeout_ms values with a meaning of their own.
constexpr uint32_t TARN_RETRY_NEVER = 0;
constexpr uint32_t TARN_RETRY_FOREVER = 0xFFFFFFFFu;

// ---------------------------------------------------------------- server kinds
struct tarn_server_kind {
    const char* name;          // "MDS" or "DS", as error lines name the server
    size_t epoch_offset;       // u32 epoch in the request header
    size_t flags_offset;       // u32 flags in the request header
    const uint32_t* status_errno; // error number per status, TARN_*_STATUS_MAX + 1 entries
    uint32_t status_max;
    const char* (*status_text)(uint32_t status);
    uint32_t retryable_status[3];
    // Error code 1 or 8 is logged at level 4: of any kind (true), or only as
    // a server status (false).
    bool quiet_codes_any_kind;
    size_t log_line_bytes;     // buffer of a logged error line
    const char* zombie_message;
};

extern const tarn_server_kind tarn_mds_server_kind;
extern const tarn_server_kind tarn_ds_server_kind;

// True when the engine re-sends after `error`.
bool tarn_call_is_retryable(const tarn_server_kind* kind, rpc_error error);
// 0 or a positive error number: retryable errors give EAGAIN, server
// statuses go through the kind's table, other runtime codes give EIO. A
// status beyond the table or without an entry is an invariant violation.
uint32_t tarn_call2posix_error(const tarn_server_kind* kind, rpc_error error);
// Writes the error line of a failed attempt into `buf` ("Error from RPC ...");
// a line that does not fit ends in "..." when `size` is at least 4. Returns
// snprintf's untruncated length.
int tarn_call_format_error_line(const tarn_server_kind* kind, const char* rpc_name, const tarn_host_addr* target,
                                rpc_error error, char* buf, size_t size);
// 4 for the quiet codes, else 1.
int tarn_call_error_log_level(const tarn_server_kind* kind, rpc_error error);

// ---------------------------------------------------------------- timing
// The engine's intervals. The defaults are 1000 ms back-off base, 60000 ms
// cap, 1000 ms retry tick and 1000 ms wait for a resolver change; tests
// shorten them process-wide.
struct tarn_call_timing {
    uint32_t backoff_base_ms;
    uint32_t backoff_cap_ms;
    uint32_t retry_tick_ms;
    uint32_t resolver_wait_ms;
};

tarn_call_timing tarn_call_default_timing(void);
tarn_call_timing tarn_call_get_timing(void);
// Null restores the defaults. Meant for tests; takes effect for the next
// interval computed.
void tarn_call_set_timing(const tarn_call_timing* timing);

// The wait before the next attempt: 0 for an epoch re-send (`now`), the base
// for the first retry, else twice max(previous, base), at most the cap.
uint32_t tarn_call_next_delay(uint32_t retries, uint32_t prev_delay_ms, bool now, const tarn_call_timing* timing);

// ---------------------------------------------------------------- calls
struct tarn_retry_state {
    kiv_msg* msg;          // the request to send next
    uint32_t retries;      // retries scheduled so far
    uint32_t delay_ms;     // the last back-off
    timespec next_attempt; // monotonic
    kiv_timer timer;
    timespec deadline;     // monotonic: first retry + retry_timeout_ms
};

struct tarn_call;

// prepare_attempt results besides a negative error number.
enum : int { TARN_ATTEMPT_GO = 0, TARN_ATTEMPT_PARKED = 1 };

struct tarn_call_ops {
    // Resolves call->target when its ipv4 is 0 and readies `msg` for this
    // attempt: TARN_ATTEMPT_GO, TARN_ATTEMPT_PARKED (the kind holds `msg`
    // and starts or fails the attempt later), or a negative error number.
    int (*prepare_attempt)(tarn_call* call, kiv_msg* msg);
    // Runs the operation's ok (`ok`) or error handler on `reply`: -1 when
    // there is none, 1 when it returned true, 0 when it returned false
    // (having filled `error`).
    int (*run_handler)(tarn_call* call, bool ok, kiv_msg* reply, rpc_error* error);
    // After fencing, with the failed attempt's target still set. Optional.
    void (*on_failed_attempt)(tarn_call* call, rpc_error error);
    bool (*is_cancelled)(tarn_call* call);
    // A copy of the failed request for the next attempt, tied to the call;
    // null when memory runs out.
    kiv_msg* (*copy_request)(tarn_call* call, kiv_msg* msg);
    // Publishes the final state; the call may be gone once this returns.
    void (*set_final_status)(tarn_call* call, call_state state);
    // Around the transport's custody of a request. Optional.
    void (*on_sent)(tarn_call* call, kiv_msg* msg);
    void (*on_completed)(tarn_call* call, kiv_msg* msg);
};

// The part of a call the engine works with. The kind's init fills the
// plumbing (kind, ops, endpoint, reply_timeout_ms, process, pool, epoch).
struct tarn_call {
    call_state state;
    rpc_error error; // meaningful when state is CALL_FAILED
    const char* rpc_name;
    tarn_host_addr target; // the server of the current attempt
    tarn_conn* conn;       // the connection of the current attempt
    uint32_t retry_timeout_ms;
    tarn_retry_state* retry; // made at the first retry
    uint8_t retry_now;       // the next attempt goes out at once

    const tarn_server_kind* kind;
    const tarn_call_ops* ops;
    const tarn_endpoint_spec* endpoint;
    uint32_t reply_timeout_ms;
    kiv_process* process;
    tarn_conn_pool* pool;
    uint32_t epoch;
    int (*epoch_cb)(void* ctx, uint32_t* epoch);
    void* epoch_ctx;

    // The first attempt, posted to the loop by tarn_call_send.
    kiv_job send_job;
    kiv_msg* send_msg;
};

// ---------------------------------------------------------------- lanes
// A lane is a runtime process of its own (its own event loop and loop lock)
// with connections of its own. Calls made from plain threads are spread
// over a client's lanes so that no one event loop does the I/O and the
// wake-ups of every caller; each call lives on one lane from its first
// attempt to its end, so the loop lock of that lane orders everything the
// engine does for it, as the one loop lock did before.
struct tarn_call_lane {
    kiv_process* process;
    tarn_conn_pool* pool;
};

// The lane of `count` (at least 1) the calling thread uses: threads are
// dealt round the lanes in the order they first ask, and a thread keeps its
// lane, so one thread's calls go out in the order it makes them.
uint32_t tarn_call_lane_of_thread(uint32_t count);

// Fills the plumbing of a zeroed call; the kind's init calls it.
void tarn_call_init_plumbing(tarn_call* call, const tarn_server_kind* kind, const tarn_call_ops* ops,
                             const tarn_endpoint_spec* endpoint, uint32_t reply_timeout_ms, kiv_process* process,
                             tarn_conn_pool* pool, uint32_t epoch, int (*epoch_cb)(void* ctx, uint32_t* epoch),
                             void* epoch_ctx);
// Names the call in error lines; a call is named once.
void tarn_call_set_rpc_name(tarn_call* call, const char* rpc_name);
// Sends the first attempt of `msg` on the loop of the call's process, the
// caller having set the call in flight: inline in loop context, else as a
// job the caller does not wait for. A loop that is gone, or terminates
// before the job runs, fails the call with ESHUTDOWN.
void tarn_call_send(tarn_call* call, kiv_msg* msg);
// Sends one attempt of `msg` (event loop).
void tarn_call_start_attempt(tarn_call* call, kiv_msg* msg);
// Handles the failure `error` of the attempt that sent `msg`: logs it,
// fences, and either schedules the next attempt or fails the call (event
// loop). Takes `msg`.
void tarn_call_handle_error(tarn_call* call, kiv_msg* msg, rpc_error error);
// Frees the retry state and `msg`, then publishes `state`.
void tarn_call_finish(tarn_call* call, kiv_msg* msg, call_state state);
void tarn_call_fail(tarn_call* call, kiv_msg* msg, rpc_error error);
// The error line of a failed call (see tarn_call_format_error_line).
int tarn_call_format_failure(const tarn_call* call, char* buf, size_t size);
// Gives the attempt's connection back to its pool, if it holds one.
void tarn_call_release_conn(tarn_call* call);
// A copy of `msg` whose kept bytes are its whole length, tied to the same
// call; null when memory runs out.
kiv_msg* tarn_call_copy_plain_request(kiv_msg* msg);
