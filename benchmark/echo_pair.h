// The loopback ceiling the project's paths are compared with: a plain
// request/reply echo over TCP on 127.0.0.1. Each caller thread holds one
// blocking connection and makes one round trip at a time; a multi-threaded
// epoll server answers every whole request with a fixed-size reply.
//
// Also the closed-loop driver both the echo and the measured paths run
// under, so that both sides of a ratio are timed the same way.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <vector>

namespace kvbench {

struct EchoShape {
    size_t request;
    size_t reply;
};

// The 4 KiB data-server read: a 512-byte request, a 4208-byte reply.
constexpr EchoShape k_echo_read{512, 4208};

class EchoServer {
public:
    // Exits the program with a message when a socket cannot be set up: a
    // benchmark without its reference has nothing to report.
    EchoServer(int threads, EchoShape shape);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    EchoShape shape() const { return shape_; }
    // A blocking client connection whose accepted end one of the server
    // threads now serves (round-robin).
    int connect_client();

    class Loop;

private:
    EchoShape shape_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    size_t next_ = 0;
    std::vector<std::unique_ptr<Loop>> loops_;
};

struct RunResult {
    uint64_t calls = 0;
    double seconds = 0;
    bool failed = false;
    // What the caller threads spent, summed over them (getrusage).
    uint64_t caller_cpu_ns = 0;
    uint64_t caller_vcsw = 0;
    uint64_t caller_nvcsw = 0;
    double rate() const { return seconds > 0 ? double(calls) / seconds : 0; }
};

// One caller's operation: true when the call succeeded.
using CallFn = std::function<bool()>;

// Makes one caller per thread (on the calling thread, before any timing),
// then runs them all for `seconds`: each calls its operation in a loop.
// Stops a caller at its first failure and reports it in `failed`. Caller
// threads are named "caller".
RunResult run_callers(int callers, double seconds, const std::function<CallFn(int index)>& make_caller);

// The echo under run_callers: `callers` connections, one round trip per call.
RunResult run_echo(EchoServer& server, int callers, double seconds);

}  // namespace kvbench
