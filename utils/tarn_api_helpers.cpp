#include "utils/tarn_api_helpers.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "utils/tarn_test_base.h"

// ---------------------------------------------------------------- buffers

TARNBuffer::TARNBuffer(size_t size) : bytes(size), desc{bytes.data(), 0, bytes.size()} {}

TARNBuffer::TARNBuffer(const TARNBuffer& other)
    : bytes(other.bytes), desc{bytes.data(), other.desc.size, bytes.size()} {}

TARNBuffer::TARNBuffer(TARNBuffer&& other) noexcept
    : bytes(std::move(other.bytes)), desc{bytes.data(), other.desc.size, bytes.size()} {
    other.bytes.clear();
    other.desc = tarn_opaque_buf{other.bytes.data(), 0, 0};
}

TARNBuffer& TARNBuffer::operator=(const TARNBuffer& other) {
    if (this != &other) {
        bytes = other.bytes;
        desc = tarn_opaque_buf{bytes.data(), other.desc.size, bytes.size()};
    }
    return *this;
}

TARNBuffer& TARNBuffer::operator=(TARNBuffer&& other) noexcept {
    if (this != &other) {
        bytes = std::move(other.bytes);
        desc = tarn_opaque_buf{bytes.data(), other.desc.size, bytes.size()};
        other.bytes.clear();
        other.desc = tarn_opaque_buf{other.bytes.data(), 0, 0};
    }
    return *this;
}

void TARNBuffer::Assign(const void* data, uint64_t len) {
    if (len > bytes.size()) bytes.resize(len);
    if (len) memcpy(bytes.data(), data, len);
    desc = tarn_opaque_buf{bytes.data(), len, bytes.size()};
}

const char* TARNBuffer::AsCString() {
    text_.assign(reinterpret_cast<const char*>(bytes.data()), Length());
    return text_.c_str();
}

bool operator==(const TARNBuffer& a, const TARNBuffer& b) {
    return a.Length() == b.Length() && (a.Length() == 0 || memcmp(a.Data(), b.Data(), a.Length()) == 0);
}

void PrintTo(const TARNBuffer& b, std::ostream* os) {
    static const char k_hex[] = "0123456789abcdef";
    *os << "[" << b.Size() << " bytes:";
    for (uint64_t i = 0; i < b.Length(); ++i) *os << (i ? "" : " ") << k_hex[b.Data()[i] >> 4] << k_hex[b.Data()[i] & 0xf];
    *os << "]";
}

// ---------------------------------------------------------------- results

namespace gtest_utils {

testing::AssertionResult merge(testing::AssertionResult a, testing::AssertionResult b) {
    if (!a && !b) return testing::AssertionFailure() << a.message() << "\n" << b.message();
    if (!a) return a;
    if (!b) return b;
    return testing::AssertionSuccess();
}

}  // namespace gtest_utils

// ---------------------------------------------------------------- time

namespace tarn_testing {

void sleep_resuming(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return;
    timespec req;
    req.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    req.tv_nsec = static_cast<long>(d.count() % 1000000000);
    timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

void TimeSource::pause(std::chrono::nanoseconds d) const {
    if (sleep)
        sleep(d);
    else
        sleep_resuming(d);
}

const DelayRetry& default_delay_retry() {
    static const DelayRetry policy;
    return policy;
}

bool current_test_failed_or_skipped() {
    return testing::Test::HasFatalFailure() || testing::Test::HasNonfatalFailure() || testing::Test::IsSkipped();
}

}  // namespace tarn_testing

// ---------------------------------------------------------------- restartable bodies

void run_restartable(const std::function<void()>& body, const std::function<bool()>& ended) {
    int attempt = 1;
    for (;;) {
        try {
            body();
        } catch (const tarn_testing::detail::RestartException&) {
            if (attempt == tarn_testing::k_max_body_runs) {
                FAIL() << "Too many restarts (" << tarn_testing::k_max_body_runs << ")";
            }
            ++attempt;
            continue;
        }
        if (attempt != 1) return;
        if (ended()) return;
        attempt = 2;
    }
}

// ---------------------------------------------------------------- bulk operations

namespace tarn_testing {

testing::AssertionResult remove_tree_contents(const TARNBuffer& dir, const TreeOps& ops, const DelayRetry& retry) {
    // The whole level is listed first: removing while listing would move the
    // cookies under the listing.
    std::vector<DirEntry> entries;
    uint64_t cookie = 0;
    bool eof = false;
    const DirEntrySink sink = [&](const char* name, const void* opaque, uint64_t opaque_len, const tarn_attr* attrs,
                                  uint64_t entry_cookie) {
        DirEntry e{name ? name : "", TARNBuffer(opaque_len), tarn_attr{}};
        e.handle.Assign(opaque, opaque_len);
        if (attrs) e.attrs = *attrs;
        entries.push_back(std::move(e));
        cookie = entry_cookie;
        return true;
    };
    while (!eof) {
        const uint64_t page_cookie = cookie;
        const size_t page_start = entries.size();
        tarn_err err = retry_on_delay(
            [&] {
                // An attempt that fails after handing out entries must not
                // leave them behind for the next one to hand out again.
                entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(page_start), entries.end());
                cookie = page_cookie;
                eof = false;
                return ops.read_dir(dir, page_cookie, sink, &eof);
            },
            retry);
        if (err != TARN_ERR_OK) return err2result(err, "read_dir");
    }

    for (const DirEntry& e : entries) {
        if (e.attrs.type == TARN_FILE_TYPE_DIRECTORY) {
            testing::AssertionResult r = remove_tree_contents(e.handle, ops, retry);
            if (!r) return r;
        }
        RetriedErr rr = retry_on_delay_ex([&] { return ops.remove(dir, e.name); }, retry);
        testing::AssertionResult r = is_tarn_remove_ok(rr);
        if (!r) return r;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult write_random_chunks(const WriteFn& write, uint64_t offset, uint64_t length, uint64_t chunk_size,
                                             bool stop_on_no_space, uint64_t* bytes_written, const DelayRetry& retry,
                                             WriteBudget* budget) {
    // Every write passes its count as 32 bits; a larger chunk would be cut
    // silently.
    if (chunk_size > UINT32_MAX)
        return testing::AssertionFailure() << "write_random_data: chunk size " << chunk_size << " does not fit in 32 bits";

    std::vector<char> chunk(chunk_size);
    TARNTestBase::fill_with_random_letters(chunk.begin(), chunk.end());

    uint64_t total = 0;
    uint64_t remaining = length;
    uint64_t position = offset;
    while (remaining != 0) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk_size, remaining));
        uint32_t written = 0;
        tarn_err err = retry_on_delay(
            [&] {
                written = 0;
                return write(position, chunk.data(), n, &written);
            },
            retry);
        if (err != TARN_ERR_OK) {
            if (err == TARN_ERR_NO_SPACE && stop_on_no_space) break;
            return testing::AssertionFailure() << "tarn_client_write() failed: " << tarn_get_err_msg(err);
        }
        if (written == 0) return testing::AssertionFailure() << "tarn_client_write() wrote 0 bytes";
        if (written > n)
            return testing::AssertionFailure() << "tarn_client_write() reported " << written << " bytes written at offset "
                                               << position << ", more than the " << n << " bytes it was given";
        total += written;
        if (length == UINT64_MAX && budget) {
            const uint64_t spent = budget->used.fetch_add(written) + written;
            if (spent > budget->limit)
                return testing::AssertionFailure()
                       << "tarn_client_write() calls of this test stored " << spent << " bytes, more than the "
                       << budget->limit << " bytes it accepts: the server does not refuse writes when it is full";
        }
        position += written;
        remaining -= written;
    }
    if (bytes_written) *bytes_written = total;
    return testing::AssertionSuccess();
}

namespace {

bool same_usage(const tarn_fs_info& a, const tarn_fs_info& b) {
    return a.free_space == b.free_space && a.avail_space == b.avail_space && a.free_files == b.free_files &&
           a.avail_files == b.avail_files;
}

}  // namespace

testing::AssertionResult wait_until_fs_info_stable(const FsInfoFn& get_info, tarn_fs_info* out,
                                                   std::chrono::duration<double> timeout, const DelayRetry& retry) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    const nanoseconds k_poll = std::chrono::seconds(1);
    const nanoseconds k_settle = std::chrono::seconds(10);

    tarn_fs_info prev{};
    tarn_err err = retry_on_delay([&] { return get_info(&prev); }, retry);
    if (err != TARN_ERR_OK) return err2result(err, "tarn_client_get_fs_info");

    const Clock::time_point start = retry.time.read();
    Clock::time_point last_change = start;
    for (;;) {
        std::cout << "Waiting until stable:"
                  << " free blocks: " << prev.free_space << " / " << prev.total_space
                  << ", free inodes: " << prev.free_files << " / " << prev.total_files << std::endl;
        retry.time.pause(k_poll);

        tarn_fs_info cur{};
        err = retry_on_delay([&] { return get_info(&cur); }, retry);
        if (err != TARN_ERR_OK) return err2result(err, "tarn_client_get_fs_info");

        const Clock::time_point now = retry.time.read();
        if (same_usage(cur, prev)) {
            if (now - last_change >= k_settle) {
                if (out) *out = cur;
                return testing::AssertionSuccess();
            }
        } else {
            prev = cur;
            last_change = now;
        }
        const double elapsed_ns = static_cast<double>(duration_cast<nanoseconds>(now - start).count());
        if (!(elapsed_ns < timeout.count() * 1e9))
            return testing::AssertionFailure() << "FS info did not stabilize within timeout";
    }
}

}  // namespace tarn_testing
