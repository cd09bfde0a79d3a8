// Supervisor mode: one child program under a running cluster, its standard
// output echoed byte for byte, its reboot requests picked out of that output.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct lc_logger;

struct lc_supervisor_config {
    std::vector<std::string> argv;  // PROG ARGS...
    uint32_t grace_ms = 10000;      // SIGKILL this long after forwarding a signal
    int out_fd = 1;                 // where the child's standard output goes
    lc_logger* log = nullptr;
    // A reboot line named this host; called on a thread of its own so that
    // the echo never waits for it.
    std::function<void(uint64_t host_id)> on_reboot;
};

// Blocks SIGINT, SIGTERM and SIGCHLD in the calling thread, and so in every
// thread created after it; the supervisor (and the serve loop) collect them
// with sigtimedwait. Ignores SIGPIPE.
void lc_block_signals();

// Starts the child (stdin and stderr inherited, stdout on a pipe, the
// environment as it is now), forwards SIGINT and SIGTERM to it, kills it
// `grace_ms` after the first forwarded signal, and returns once it has
// ended and its output is drained: its exit status, or 128 + the signal
// that killed it. -1 with *err when it cannot be started. A second signal
// kills the child at once and sets *aborted.
int lc_supervisor_run(const lc_supervisor_config& config, bool* aborted, std::string* err);

// "###[reboot hard=1 host_id=<16 hex>] Hard reboot host <16 hex>" with both
// ids equal (lowercase); a trailing '\r' is ignored.
bool lc_match_reboot_line(std::string_view line, uint64_t* host_id);

// Cuts a byte stream into lines, whatever the chunking; lines longer than
// any reboot line are passed on cut short, flagged, and never match.
class lc_line_splitter {
   public:
    explicit lc_line_splitter(std::function<void(std::string_view line, bool cut)> fn) : fn_(std::move(fn)) {}
    void feed(const char* data, size_t len);

   private:
    static constexpr size_t kKeep = 256;
    std::function<void(std::string_view, bool)> fn_;
    std::string line_;
    bool cut_ = false;
};
