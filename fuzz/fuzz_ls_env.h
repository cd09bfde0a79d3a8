// Lock-service traffic for the fuzz targets' seeds: request frames as the
// lock client lays them out, each run through a fresh lock server so that
// the replies are the ones a real server gives (conflicts with items,
// search pages with entries and a cookie, refusals).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fuzz_seeds.h"
#include "localcluster/ls/ls_engine.h"
#include "localcluster/ls/ls_proto.h"
#include "test_ls_frames.h"

namespace fuzzls {

constexpr uint32_t kBootTag = 0x5EED;

// A request and the reply the server gave it.
struct Exchange {
    fuzzseed::Bytes request;
    fuzzseed::Bytes reply;
};

// Sessions of requests, each against its own server; every request of a
// session sees the state the earlier ones left.
inline std::vector<std::vector<fuzzseed::Bytes>> sessions() {
    auto br = [](uint32_t type, const char* caller, uint64_t start, uint64_t len, std::vector<std::string> items = {},
                 uint32_t flavour = LC_LS_WINDOWS) {
        return lsframes::br_frame(
            {.type = type, .caller = caller, .start = start, .len = len, .flavour = flavour, .items = std::move(items)});
    };
    std::vector<std::vector<fuzzseed::Bytes>> all;
    // A conflict whose holder carries items, then a grant once it is freed.
    all.push_back({br(LS_MSG_TAKE, "alice", 0, 100, {"one", "", std::string(40, 'x')}),
                   br(LS_MSG_TEST, "bob", 50, 10), br(LS_MSG_FREE, "alice", 0, 100), br(LS_MSG_TEST, "bob", 50, 10)});
    // A queued blocking take, cancelled; a POSIX take and its release.
    all.push_back({br(LS_MSG_TAKE, "alice", 0, 0), br(LS_MSG_BLOCKING_TAKE, "bob", 0, 0, {"w"}),
                   br(LS_MSG_CANCEL, "bob", 0, 0), br(LS_MSG_TAKE, "carol", 10, 0, {}, LC_LS_POSIX),
                   br(LS_MSG_FREE, "carol", 10, 0, {}, LC_LS_POSIX)});
    // Share modes that clash, then free-all of one caller.
    all.push_back({lsframes::share_frame(LS_MSG_SHARE_TAKE, "alice", "h1", 7, 2, 3),
                   lsframes::share_frame(LS_MSG_SHARE_TAKE, "bob", "h2", 7, 0, 2),
                   lsframes::share_frame(LS_MSG_SHARE_FREE, "alice", "h1", 7, 0, 0), lsframes::free_all_frame("bob", 4)});
    // Search pages: five locks two at a time, a filter, a removal, refusals.
    std::vector<fuzzseed::Bytes> search;
    for (int i = 0; i < 5; i++) search.push_back(br(LS_MSG_TAKE, i % 2 ? "dave" : "erin", uint64_t(i) * 10, 5));
    search.push_back(lsframes::search_frame(0, 0, 2));
    fuzzseed::Bytes cookie(LC_LS_COOKIE_BYTES, 0);
    fuzzseed::put32(cookie, 0, kBootTag);
    fuzzseed::put64(cookie, 8, 2);
    search.push_back(lsframes::search_frame(0, 0, 2, cookie));
    search.push_back(lsframes::search_frame(LS_SEARCH_FILTER_FH, 0x1234, 100));
    search.push_back(lsframes::remove_frame(kBootTag, 3));
    search.push_back(lsframes::remove_frame(kBootTag, 3));
    search.push_back(lsframes::search_frame(4, 0, 1));
    search.push_back(lsframes::header(0x2002, LS_HDR_BYTES));
    all.push_back(std::move(search));
    // At the limits: the longest caller name with items filling the opaque
    // maximum, then each a byte past its limit (refused), the largest share
    // handle, and a free-all of that caller. A maximal frame is about 10 KiB.
    const std::string longest(LC_LS_MAX_NAME - 1, 'n');
    const std::string filling(LC_LS_MAX_OPAQUE - LS_TAG_BYTES, 'i');
    all.push_back({br(LS_MSG_TAKE, longest.c_str(), 0, 10, {filling}),
                   br(LS_MSG_TAKE, "frank", 0, 10, {filling + "i"}),
                   br(LS_MSG_TAKE, (longest + "n").c_str(), 20, 10),
                   br(LS_MSG_BLOCKING_TAKE, "frank", 5, 1, {filling}),
                   lsframes::share_frame(LS_MSG_SHARE_TAKE, longest, std::string(LC_LS_MAX_HANDLE, 'h'), 9, 2, 3),
                   lsframes::share_frame(LS_MSG_SHARE_TAKE, "frank", std::string(LC_LS_MAX_HANDLE + 1, 'h'), 9, 0, 2),
                   lsframes::free_all_frame(longest)});
    return all;
}

// Every session run against a server of its own.
inline std::vector<Exchange> exchanges() {
    std::vector<Exchange> out;
    for (const auto& s : sessions()) {
        lc_ls_engine* e = lc_ls_engine_create(kBootTag, lc_ls_breaks{});
        for (const fuzzseed::Bytes& req : s) out.push_back({req, lc_ls_serve(e, req.data(), req.size())});
        lc_ls_engine_destroy(e);
    }
    return out;
}

}  // namespace fuzzls
