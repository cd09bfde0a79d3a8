// Services of the event loop for the rest of the runtime (transport,
// metadata-service client). Not part of the public interface.
#pragma once

#include <stdint.h>
#include <sys/epoll.h>

#include "kiv/loop.h"

// ---- file-descriptor watches (epoll, level-triggered)
// The callback runs on evloop, in loop context. After kiv_fd_watch_del()
// returns the callback is never called again, not even for events already
// harvested in the current batch; the record is freed by the loop later.
struct kiv_fd_watch;
typedef void (*kiv_fd_watch_fn)(kiv_fd_watch* w, uint32_t revents, void* arg);

// events/revents are EPOLLIN / EPOLLOUT / EPOLLRDHUP / EPOLLERR / EPOLLHUP
// bits.
// Loop context required. NULL with errno set on failure.
kiv_fd_watch* kiv_fd_watch_add(kiv_process* p, int fd, uint32_t events, kiv_fd_watch_fn fn, void* arg);
int kiv_fd_watch_mod(kiv_fd_watch* w, uint32_t events);
void kiv_fd_watch_del(kiv_fd_watch* w);  // does not close the fd

// ---- process tear-down hooks
// kiv_process_fini() calls every registered closer (newest first) before it
// frees the core, so the transport can close remaining sockets. A closer
// may unregister itself and others.
struct kiv_proc_closer {
    void (*fn)(kiv_proc_closer* c);
    kiv_proc_closer* prev;
    kiv_proc_closer* next;
};
void kiv_proc_closer_add(kiv_process* p, kiv_proc_closer* c);
void kiv_proc_closer_del(kiv_process* p, kiv_proc_closer* c);

// True once kiv_process_terminate() has been called: nothing queued runs
// any more and no completion may be delivered.
bool kiv_process_terminated(const kiv_process* p);

// The process of the current loop-context holder (TLS), or NULL.
kiv_process* kiv_current_process(void);

// RAII: holds the loop lock of `p` for its scope unless the thread already
// is in loop context. Every public call that touches loop-owned state and
// may be called from a plain thread uses it.
struct kiv_loop_guard {
    explicit kiv_loop_guard(kiv_process* p);
    ~kiv_loop_guard();
    kiv_loop_guard(const kiv_loop_guard&) = delete;
    kiv_loop_guard& operator=(const kiv_loop_guard&) = delete;
    bool moved;
};
