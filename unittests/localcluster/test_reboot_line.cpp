// The reboot request line as the durability suites print it, read back by
// the supervisor however the pipe cuts it, and the near misses it must not
// take for one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "localcluster/supervisor.h"
#include "utils/fault_tolerance_support.h"

namespace {

// The ids the supervisor found in `text` fed in pieces of random sizes.
std::vector<uint64_t> reboots_in(const std::string& text, std::mt19937& rng) {
    std::vector<uint64_t> ids;
    lc_line_splitter lines([&](std::string_view line, bool cut) {
        uint64_t id = 0;
        if (!cut && lc_match_reboot_line(line, &id)) ids.push_back(id);
    });
    for (size_t off = 0; off < text.size();) {
        size_t n = std::min<size_t>(1 + rng() % 40, text.size() - off);
        lines.feed(text.data() + off, n);
        off += n;
    }
    return ids;
}

TEST(RebootLineTest, EveryRequestLineIsReadBackWhateverTheChunking) {
    std::mt19937 rng(7);
    std::mt19937_64 ids(11);
    for (int i = 0; i < 500; i++) {
        const uint64_t id = i == 0 ? 0 : i == 1 ? ~0ull : i == 2 ? 0x1a2b : ids();
        // Output around the line: a partial line before it, test output after.
        const std::string text = "[ RUN      ] X.Y" + tarn_testing::reboot_request_line(id) +
                                 "Waiting for data server " + tarn_testing::format_host_id(id) + " to go offline...\n";
        EXPECT_EQ(std::vector<uint64_t>{id}, reboots_in(text, rng)) << text;
    }
}

TEST(RebootLineTest, NearMissesAreNotRebootLines) {
    const std::string good = "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2";
    uint64_t id = 0;
    ASSERT_TRUE(lc_match_reboot_line(good, &id));
    EXPECT_EQ(0xa2u, id);
    ASSERT_TRUE(lc_match_reboot_line(good + "\r", &id));  // a CRLF line end
    const char* misses[] = {
        "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a3",  // ids differ
        "###[reboot hard=1 host_id=00000000000000A2] Hard reboot host 00000000000000A2",  // upper case
        "###[reboot hard=1 host_id=0000000000000a2] Hard reboot host 0000000000000a2",    // 15 digits
        "###[reboot hard=0 host_id=00000000000000a2] Hard reboot host 00000000000000a2",
        "##[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2",
        " ###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2",
        "###[reboot hard=1 host_id=00000000000000a2] Hard reboot host 00000000000000a2 ",
        "###[reboot hard=1 host_id=00000000000000g2] Hard reboot host 00000000000000g2",
        "",
    };
    for (const char* line : misses) EXPECT_FALSE(lc_match_reboot_line(line, &id)) << line;
    // A line too long to be one is passed on cut and never matches, even
    // when it ends like one.
    std::mt19937 rng(3);
    EXPECT_TRUE(reboots_in(std::string(300, 'x') + good + "\n", rng).empty());
    EXPECT_EQ(std::vector<uint64_t>{0xa2}, reboots_in(std::string(300, 'x') + "\n" + good + "\n", rng));
}

}  // namespace
