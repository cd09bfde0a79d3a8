// Helpers the runtime's tests share: polling for a condition, little-endian
// words in frames, a peer that pipelines while it reads, whether a port is
// taken, and a fixture that runs an event-loop process.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/io.h"
#include "kiv/loop.h"

namespace rttest {

// The limit of a wait for a state that must come. It only keeps a broken
// build from hanging: a sanitizer build on a busy machine can take seconds
// for what takes microseconds alone, and a shorter limit would read that
// delay as a fault.
inline constexpr std::chrono::milliseconds kHangGuard = std::chrono::seconds(60);

// Polls `pred` every millisecond; false if it still fails after `limit`.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = kHangGuard) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Whether `fd` became readable (data, end of stream or an error) within
// `ms`. The default is the hang guard: a short wait would read a slow
// sender as a peer that cut the connection.
inline bool wait_readable(int fd, int ms = int(kHangGuard.count())) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return rc == 1;
}

// Holds the loop lock of `p` from a thread of its own until release() (or
// destruction), so that whatever is posted to that loop stays queued.
class LoopHolder {
   public:
    explicit LoopHolder(kiv_process* p)
        : thread_([this, p] {
              kiv_move_to_coroutine(p);
              held_ = true;
              while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              kiv_move_from_coroutine();
          }) {
        EXPECT_TRUE(wait_until([this] { return held_.load(); }));
    }
    ~LoopHolder() { release(); }
    LoopHolder(const LoopHolder&) = delete;
    LoopHolder& operator=(const LoopHolder&) = delete;

    void release() {
        release_ = true;
        if (thread_.joinable()) thread_.join();
    }

   private:
    std::atomic<bool> held_{false}, release_{false};
    std::thread thread_;
};

// Whether 127.0.0.1:port is bound by some socket: a bind without
// SO_REUSEADDR, which no bound socket of any state lets through, fails.
inline bool port_taken(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool taken = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 && errno == EADDRINUSE;
    close(fd);
    return taken;
}

inline uint32_t le32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

// What a peer that pipelined its requests got back: the reply frames, whole
// and in the order they came, and how the stream ended.
struct PipelineEnd {
    std::vector<std::vector<uint8_t>> frames;
    // 0: the server's end of stream; else the errno of the read that
    // failed (ECONNRESET: a reset; ETIMEDOUT: the hang guard; EPROTO: a
    // length word below a header).
    int error = 0;
    size_t cut = 0;  // bytes of a frame the end cut short
};

// Writes `bytes` to connected socket `fd` while a thread of its own reads
// the replies (frames with their length in the first word) until the
// stream ends, so a peer may send far more than the socket buffers hold
// while the server writes back, and neither side waits for the other for
// ever. Writing stops at the end of the stream or when the server refuses
// more: what it does with bytes past its close is not asked here. A
// `slow_piece` makes a slow reader: at most that many bytes a read, and a
// millisecond's pause after each, so the server's replies wait on its side.
inline PipelineEnd pipeline(int fd, const std::vector<uint8_t>& bytes, size_t slow_piece = 0) {
    PipelineEnd end;
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        std::vector<uint8_t> have;
        uint8_t buf[64 * 1024];
        for (;;) {
            if (!wait_readable(fd)) {
                end.error = ETIMEDOUT;
                break;
            }
            ssize_t n = recv(fd, buf, slow_piece ? std::min(slow_piece, sizeof buf) : sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (slow_piece) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (n <= 0) {
                end.error = n == 0 ? 0 : errno;
                break;
            }
            have.insert(have.end(), buf, buf + n);
            size_t at = 0;
            while (have.size() - at >= 4 && have.size() - at >= le32(have.data() + at)) {
                uint32_t len = le32(have.data() + at);
                if (len < 24) {
                    end.error = EPROTO;
                    break;
                }
                end.frames.emplace_back(have.begin() + long(at), have.begin() + long(at + len));
                at += len;
            }
            have.erase(have.begin(), have.begin() + long(at));
            if (end.error) break;
        }
        end.cut = have.size();
        ended = true;
    });
    for (size_t at = 0; at < bytes.size() && !ended;) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            at += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
        pollfd p{fd, POLLOUT, 0};
        // The reader may end meanwhile: look again now and then.
        while (!ended && poll(&p, 1, 10) == 0) {
        }
    }
    reader.join();
    return end;
}

// A fixture whose tests run against a started process `p`, its event
// loop named as the derived fixture says.
class EvloopTest : public ::testing::Test {
protected:
    explicit EvloopTest(const char* evloop_name) : evloop_name_(evloop_name) {}

    void SetUp() override {
        ASSERT_EQ(0, kiv_process_init_(&p));
        ASSERT_EQ(0, kiv_process_start(&p, evloop_name_));
    }

    void TearDown() override {
        kiv_process_terminate(&p);
        kiv_process_wait(&p);
        kiv_process_fini(&p);
    }

    kiv_process p{};

private:
    const char* evloop_name_;
};

}  // namespace rttest
