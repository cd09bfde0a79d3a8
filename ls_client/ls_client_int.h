// Internals of the lock client shared by its sources (and its unit tests):
// the client object, the call that carries one request to the event loop and
// back, connections, the connection pool and the library's log macro.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/map.h"
#include "kiv/rpc.h"
#include "ls_client/ls_client.h"
#include "ls_client/ls_resolver.h"

// ---------------------------------------------------------------- logging
// Every line goes to the installed hook (hook levels 0 to 4) or, without one,
// to the runtime log with the level mapped 0->0, 1->1, 2->2, 3->4, 4->7.
ls_log_fn ls_log_hook(void);
void ls_log_runtime(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int ls_log_runtime_level(int level);

#define LS_POS __FILE_NAME__ ":" KIV_STR(__LINE__)

// `func` is the function name handed to the hook.
#define LS_LOG_FN(level, func, fmt, ...)                                          \
    do {                                                                          \
        ls_log_fn ls_hook_ = ls_log_hook();                                       \
        if (ls_hook_ != nullptr)                                                  \
            ls_hook_((level), LS_POS, (func), fmt, ##__VA_ARGS__);                \
        else                                                                      \
            ls_log_runtime((level), fmt, ##__VA_ARGS__);                          \
    } while (0)
#define LS_LOG(level, fmt, ...) LS_LOG_FN(level, __func__, fmt, ##__VA_ARGS__)

// ---------------------------------------------------------------- client
struct ls_client_conn_pool;

struct ls_client {
    ls_client_cfg cfg; // cfg.cluster points at `cluster`
    char* cluster;     // owned copy
    kiv_rpc_engine engine;
    kiv_process* process; // borrowed
    ls_resolver* resolver;
    ls_client_conn_pool* pool;
};

// Endpoint parameters of every lock-server connection; the second word is
// the largest message in either direction.
extern const kiv_rpc_params ls_endpoint_params;

// ---------------------------------------------------------------- connections
struct ls_client_conn {
    kiv_rpc_engine* engine;
    kiv_process* process;
    kiv_rpc_endpoint* ep;
    ls_server_entry server; // what the connection was made for
    uint32_t refs;          // atomic
};

// Always 0; the connection starts with one reference.
int ls_client_conn_create(kiv_process* p, kiv_rpc_engine* engine, const ls_server_entry* server,
                          ls_client_conn** out);
void ls_client_conn_ref(ls_client_conn* conn);
// The last reference closes the endpoint and frees the connection.
void ls_client_conn_unref(ls_client_conn* conn);

// ---------------------------------------------------------------- pool
// Least recently used connections by fs_id, at most LS_POOL_CAPACITY open.
constexpr uint32_t LS_POOL_CAPACITY = 4;

struct ls_pool_entry {
    ls_pool_entry* prev;
    ls_pool_entry* next;
    uint64_t fs_id;
    ls_client_conn* conn; // one reference
};

struct ls_client_conn_pool {
    pthread_mutex_t mutex;
    kiv_hash_map_simple map; // fs_id -> ls_pool_entry*
    ls_pool_entry lru;       // sentinel; lru.next is the oldest entry
    uint32_t capacity;
    uint32_t count;
};

int ls_client_conn_pool_create(ls_client* client, ls_client_conn_pool** out);
void ls_client_conn_pool_destroy(ls_client_conn_pool* pool);
// 0 and a connection with a reference for the caller, or a negative errno
// (-ENOENT while the resolver does not know fs_id).
int ls_client_conn_pool_get_conn(ls_client_conn_pool* pool, ls_client* client, uint64_t fs_id,
                                 ls_client_conn** out);
// For tests: the number of pooled connections, and the pooled connection
// of fs_id (null when none; valid while the pool keeps it).
uint32_t ls_client_conn_pool_count(ls_client_conn_pool* pool);
const ls_client_conn* ls_client_conn_pool_peek(ls_client_conn_pool* pool, uint64_t fs_id);

// ---------------------------------------------------------------- calls
enum : uint32_t { LS_CALL_IDLE = 0, LS_CALL_RUNNING = 1, LS_CALL_DONE = 2, LS_CALL_FAILED = 3 };

// Attempts of a request whose fs_id the resolver does not know yet: the
// first one and this many retries, LS_RETRY_MS apart.
constexpr uint32_t LS_MAX_RETRIES = 3;
constexpr uint32_t LS_RETRY_MS = 100;

struct ls_call_ctx;

// The reply as a handler sees it: `len` bytes at `p`, the common header
// already checked (length >= 32, handled).
struct ls_reply {
    const uint8_t* p;
    uint32_t len;
};

// 0 for success; anything else fails the call.
typedef int (*ls_resp_fn)(ls_call_ctx* call, const ls_reply* reply);

struct ls_call_retry {
    uint32_t count;
    kiv_timer timer;
    kiv_msg* msg;
};

struct ls_call_ctx {
    ls_client* client;
    uint32_t state; // LS_CALL_*, under `mutex`
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    ls_resp_fn handler;
    ls_client_conn* conn; // one reference, or null
    uint64_t fs_id;
    void* result; // the operation's result slot
    kiv_msg* msg; // the request in flight
    ls_call_retry* retry;
};

// A zeroed output message of `length` bytes with the common header written,
// or null.
kiv_msg* ls_call_create_rpc_msg(uint32_t type, uint32_t length);
void ls_call_init(ls_call_ctx* call, ls_client* client, uint64_t fs_id);
// Hands `msg` to the event loop; the call owns it from now on.
void ls_call(kiv_msg* msg, ls_call_ctx* call);
void ls_call_wait(ls_call_ctx* call);
void ls_call_fini(ls_call_ctx* call);
