#include "localcluster/common/workers.h"

#include <pthread.h>
#include <stdio.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Task {
    void (*fn)(void*);
    void* arg;
};

}  // namespace

struct lc_workers {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Task> queue;
    size_t idle = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
};

namespace {

void run(lc_workers* w) {
    std::unique_lock<std::mutex> lk(w->mu);
    for (;;) {
        if (w->queue.empty()) {
            if (w->stopping) return;
            w->idle++;
            w->cv.wait(lk, [w] { return !w->queue.empty() || w->stopping; });
            w->idle--;
            continue;
        }
        Task t = w->queue.front();
        w->queue.pop_front();
        lk.unlock();
        t.fn(t.arg);
        lk.lock();
    }
}

}  // namespace

lc_workers* lc_workers_create(int threads, const char* name) {
    auto* w = new lc_workers;
    if (threads < 1) threads = 1;
    for (int i = 0; i < threads; i++) {
        try {
            w->threads.emplace_back(run, w);
        } catch (...) {
            break;
        }
        char tname[32];
        snprintf(tname, sizeof tname, "%.10s-%d", name ? name : "lc-work", i % 10000);
        tname[15] = '\0';
        pthread_setname_np(w->threads.back().native_handle(), tname);
    }
    if (w->threads.empty()) {
        delete w;
        return nullptr;
    }
    return w;
}

void lc_workers_destroy(lc_workers* w) {
    if (!w) return;
    {
        std::lock_guard<std::mutex> g(w->mu);
        w->stopping = true;
    }
    w->cv.notify_all();
    for (std::thread& t : w->threads) t.join();
    delete w;
}

void lc_workers_submit(lc_workers* w, void (*fn)(void*), void* arg) {
    bool wake;
    {
        std::lock_guard<std::mutex> g(w->mu);
        w->queue.push_back(Task{fn, arg});
        // A sleeper per queued task at most; busy threads find the task
        // themselves when they come back for more.
        wake = w->idle >= w->queue.size();
    }
    if (wake) w->cv.notify_one();
}

size_t lc_workers_threads(const lc_workers* w) { return w->threads.size(); }
