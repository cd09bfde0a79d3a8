// The registry connection of a discovery context and the tasks that run one
// registry operation each over it.
//
// The connection keeps trying to reach the cluster's metadata service in the
// background (every 5000 ms). A task waits for the connection (at most its
// wait time), then runs its job on the event loop; the job sends one request
// and the request's reply handler finishes the task, which wakes the
// coroutine waiting in mds_conn_co_task_run.
//
// Connection state (connected, closing, wait list) is touched only in loop
// context; the reference count is atomic.
#pragma once

#include <stdint.h>

struct kiv_process;
struct kiv_mds_client;
struct mds_conn;
struct mds_conn_task;

// 0 or the negative result of the bootstrap lookup (kiv_init_client_env).
// `rpc_flag` marks the RPC connection as a mode-1 registry peer.
int mds_conn_create(const char* cluster, bool rpc_flag, kiv_process* process, mds_conn** out);
// Ends the connection for its creator: tasks still waiting for it finish
// with -ECANCELED, requests in flight complete promptly, and the memory goes
// with the last task. Any thread.
void mds_conn_close(mds_conn* conn);
bool mds_conn_is_closing(const mds_conn* conn);

// A task for `job(arg)`, which may wait `wait_ms` for the connection before
// it starts. The connection must not be closing.
mds_conn_task* mds_conn_task_create(mds_conn* conn, int32_t wait_ms, void (*job)(void* arg), void* arg);
// From a runtime coroutine: runs the task to its end, frees it and returns
// its result.
int mds_conn_co_task_run(mds_conn_task* task);
// From loop context: stores the result and wakes the waiting coroutine.
void mds_conn_task_finish(mds_conn_task* task, int result);
// The connection's metadata-service client, or NULL once it is closing.
kiv_mds_client* mds_conn_get_client(mds_conn_task* task);
