#include "utils/fault_tolerance_support.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <ios>
#include <random>

namespace tarn_testing {

std::string format_host_id(uint64_t id) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)id);
    return buf;
}

std::string reboot_request_line(uint64_t id) {
    const std::string text = format_host_id(id);
    return "\n###[reboot hard=1 host_id=" + text + "] Hard reboot host " + text + "\n";
}

testing::AssertionResult read_host_id_file(const std::string& path, uint64_t* id) {
    std::ifstream in(path);
    if (!in.is_open()) return testing::AssertionFailure() << "Cannot open " << path << ": " << strerror(errno);
    uint64_t value = 0;
    in >> std::hex >> value;
    if (in.fail()) return testing::AssertionFailure() << "Failed to read hex value from " << path;
    *id = value;
    return testing::AssertionSuccess();
}

std::vector<uint64_t> reboot_candidates(const std::vector<uint64_t>& hosts, uint64_t local, uint64_t mds) {
    std::vector<uint64_t> left;
    for (uint64_t h : hosts)
        if (h != local && h != mds) left.push_back(h);
    return left;
}

size_t pick_reboot_candidate(size_t count, uint32_t seed, const std::string& test_name) {
    // FNV-1a: std::hash may differ between library builds, a run's choice
    // must not.
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : test_name) h = (h ^ c) * 1099511628211ull;
    std::seed_seq seq{seed, uint32_t(h), uint32_t(h >> 32)};
    std::mt19937_64 engine(seq);
    return std::uniform_int_distribution<size_t>(0, count - 1)(engine);
}

testing::AssertionResult poll_until(const PollStep& step, std::chrono::nanoseconds interval,
                                    std::chrono::nanoseconds limit, const std::string& timeout_text,
                                    const TimeSource& time) {
    const Clock::time_point start = time.read();
    for (;;) {
        std::optional<testing::AssertionResult> r = step();
        if (r) return *r;
        time.pause(interval);
        if (time.read() - start >= limit) return testing::AssertionFailure() << timeout_text;
    }
}

namespace {

std::optional<testing::AssertionResult> offline_step(tarn_err rc, const char* what) {
    if (rc == TARN_ERR_DELAY) return testing::AssertionSuccess();
    if (rc != TARN_ERR_OK) return err2result(rc, what);
    return std::nullopt;
}

}  // namespace

std::optional<testing::AssertionResult> ds_offline_step(tarn_err probe) {
    return offline_step(probe, "tarn_test_probe_ds");
}

std::optional<testing::AssertionResult> mds_offline_step(tarn_err rc) {
    return offline_step(rc, "tarn_test_get_fs_health_status");
}

std::optional<testing::AssertionResult> ds_online_step(tarn_err probe) {
    if (probe == TARN_ERR_OK) return testing::AssertionSuccess();
    if (probe == TARN_ERR_NOT_FOUND || probe == TARN_ERR_DELAY) return std::nullopt;
    return err2result(probe, "tarn_test_probe_ds");
}

std::optional<testing::AssertionResult> fs_health_step(tarn_err rc, uint32_t status) {
    if (rc == TARN_ERR_OK && status == 0) return testing::AssertionSuccess();
    if (rc == TARN_ERR_OK || rc == TARN_ERR_DELAY) return std::nullopt;
    return err2result(rc, "tarn_test_get_fs_health_status");
}

bool attrs_replicated_eq(const tarn_attr& a, const tarn_attr& b) {
    return uint16_t(a.type) == uint16_t(b.type) && a.inode_num == b.inode_num && a.mode == b.mode &&
           a.nlinks == b.nlinks && a.uid == b.uid && a.gid == b.gid && a.size == b.size &&
           a.space_used == b.space_used && a.mtime == b.mtime && a.ctime == b.ctime;
}

testing::AssertionResult verify_attrs_eq(const tarn_attr& expected, const tarn_attr& actual) {
    if (attrs_replicated_eq(expected, actual)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "attrs mismatch: expected=" << expected << ", actual=" << actual;
}

testing::AssertionResult wait_for_replication(const std::function<testing::AssertionResult(bool* done)>& predicate,
                                              std::chrono::seconds limit, const TimeSource& time) {
    testing::AssertionResult last = testing::AssertionSuccess();
    const Clock::time_point start = time.read();
    for (;;) {
        bool done = false;
        last = predicate(&done);
        if (done) return last;
        time.pause(std::chrono::milliseconds(100));
        if (time.read() - start >= limit) break;
    }
    return testing::AssertionFailure() << "Replication did not complete within " << limit.count()
                                       << " seconds: " << last.message();
}

}  // namespace tarn_testing

std::ostream& operator<<(std::ostream& os, const tarn_attr& a) {
    return os << "{ type=" << uint16_t(a.type) << ", inode_num=" << a.inode_num << ", mode=" << a.mode
              << ", nlinks=" << a.nlinks << ", uid=" << a.uid << ", gid=" << a.gid << ", size=" << a.size
              << ", space_used=" << a.space_used << ", mtime=" << a.mtime << ", ctime=" << a.ctime << " }";
}
