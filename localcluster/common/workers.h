// The cluster's shared pool of request worker threads. Services whose
// requests may take long enough to hold up an event loop (data copies,
// allocation of many blocks) read frames on their loop and run the
// requests here, so that one busy file or client never stalls the others.
//
// Tasks are plain {function, argument} pairs, run in FIFO order by
// whichever thread is free. The pool knows nothing of services: a service
// that goes away first waits for its own tasks to end.
#pragma once

#include <stddef.h>

struct lc_workers;

// Starts `threads` threads (at least one). NULL if none could start.
lc_workers* lc_workers_create(int threads, const char* name);
// Runs every task still queued, then joins the threads.
void lc_workers_destroy(lc_workers* w);

// Queues fn(arg). Safe from any thread, including a task.
void lc_workers_submit(lc_workers* w, void (*fn)(void*), void* arg);

size_t lc_workers_threads(const lc_workers* w);
