// The local cluster's lock server request path: frame checks, the engine's
// lock tables and the reply built for each request. An input is a run of
// request frames (each cut at its own length word, the last one taking what
// is left), so a request can meet locks the ones before it left. Every reply
// is checked as the lock client will read it, and the tables after it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_ls_env.h"

namespace {

lc_ls_engine* g_engine = nullptr;
unsigned g_runs = 0;

void seeds(fuzzseed::Writer& w) {
    for (const auto& s : fuzzls::sessions()) {
        fuzzseed::Bytes run;
        for (const fuzzseed::Bytes& req : s) {
            w.add(req);
            run.insert(run.end(), req.begin(), req.end());
        }
        w.add(run);
    }
}

[[noreturn]] void broken(const char* what, uint32_t type, size_t len) {
    fprintf(stderr, "lock server reply to type 0x%x (%zu bytes): %s\n", type, len, what);
    abort();
}

bool fits(const fuzzseed::Bytes& r, uint64_t off, uint64_t width) { return ls_wire_fits(r.size(), off, width); }
uint32_t u32(const fuzzseed::Bytes& r, size_t off) { return ls_wire_get_u32(r.data(), off); }

// What every reply owes its reader, and what test and search replies owe
// beyond it: counts and offsets that lie inside the reply.
void check_reply(const uint8_t* req, size_t req_len, const fuzzseed::Bytes& r) {
    const uint32_t type = req_len >= LS_HDR_TYPE + 4 ? ls_wire_get_u32(req, LS_HDR_TYPE) : 0;
    auto fail = [&](const char* what) { broken(what, type, r.size()); };
    if (r.size() < LS_REPLY_STATUS_BYTES) fail("shorter than a status reply");
    if (r.size() > LS_MAX_MSG) fail("longer than the largest message");
    if (u32(r, LS_HDR_LENGTH) != r.size()) fail("length word differs from the reply's size");
    if (u32(r, LS_HDR_TYPE) != type + 1) fail("type is not the request's + 1");
    if (u32(r, LS_HDR_VERSION) != LS_WIRE_VERSION) fail("wrong version");
    if (req_len >= LS_HDR_VERSION && memcmp(r.data() + LS_HDR_XID, req + LS_HDR_XID, LS_HDR_VERSION - LS_HDR_XID) != 0)
        fail("xid not echoed");
    const uint32_t herr = u32(r, LS_REPLY_HANDLING_ERR), status = u32(r, LS_REPLY_STATUS);
    if (herr != 0 && herr != EPROTO && herr != EOPNOTSUPP && herr != ENAMETOOLONG && herr != E2BIG && herr != EINVAL &&
        herr != ENOLCK)
        fail("unknown handling error");
    if (herr != 0) {
        if (status != 0) fail("a refusal carries a status");
        return;
    }
    if (type == LS_MSG_TEST) {
        if (r.size() < LS_TEST_R_BYTES) fail("test reply shorter than its fixed part");
        if (status != LC_LS_GRANTED && status != LC_LS_DENIED) fail("test status neither granted nor denied");
        const uint32_t n = r[LS_TEST_R_NR_ITEMS];
        if (status == LC_LS_GRANTED && n != 0) fail("a grant carries items");
        if (!fits(r, LS_TEST_R_TAGS, uint64_t(n) * LS_TAG_BYTES)) fail("item tags beyond the reply");
        for (uint32_t i = 0; i < n; i++) {
            const size_t tag = LS_TEST_R_TAGS + size_t(i) * LS_TAG_BYTES;
            if (!fits(r, u32(r, tag + LS_TAG_OFF), u32(r, tag + LS_TAG_LEN))) fail("item beyond the reply");
        }
    } else if (type == LS_MSG_CTRL_SEARCH) {
        if (r.size() < LS_SRCH_R_BYTES) fail("search reply shorter than its fixed part");
        if (status != 0) return;
        const uint32_t count = u32(r, LS_SRCH_R_COUNT), entries = u32(r, LS_SRCH_R_ENTRIES_OFF);
        const uint32_t max = ls_wire_get_u32(req, LS_SEARCH_MAX_COUNT);
        if (count > max) fail("more entries than asked for");
        if (count != 0 && !fits(r, entries, uint64_t(count) * LS_SRCH_ENTRY_BYTES)) fail("entries beyond the reply");
        for (uint32_t i = 0; i < count; i++) {
            const uint32_t name = u32(r, entries + size_t(i) * LS_SRCH_ENTRY_BYTES + LS_SRCH_E_NAME_OFF);
            if (name >= r.size() || memchr(r.data() + name, 0, r.size() - name) == nullptr)
                fail("entry name beyond the reply");
        }
        const uint32_t has_more = u32(r, LS_SRCH_R_HAS_MORE), clen = u32(r, LS_SRCH_R_COOKIE_LEN);
        if (has_more > 1) fail("has_more is not a flag");
        if ((clen != 0) != (has_more != 0)) fail("a cookie exactly when more follow");
        if (clen != 0 && !fits(r, u32(r, LS_SRCH_R_COOKIE_OFF), clen)) fail("cookie beyond the reply");
    } else if (r.size() != LS_REPLY_STATUS_BYTES) {
        fail("a status reply carries more than its status");
    }
}

}  // namespace

KIV_FUZZ_SEEDS(seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_engine == nullptr || ++g_runs % 200 == 0) {
        // Made afresh now and then, so the tables do not grow without end.
        if (g_engine != nullptr) lc_ls_engine_destroy(g_engine);
        g_engine = lc_ls_engine_create(fuzzls::kBootTag, lc_ls_breaks{});
        // Limits small enough that inputs reach them.
        lc_ls_limits small;
        small.held_per_caller = small.held_per_file = 12;
        small.queued_per_caller = small.queued_per_file = 4;
        small.entries_total = 30;
        small.bytes_total = 16384;
        lc_ls_engine_set_limits(g_engine, small);
    }
    while (size > 0) {
        size_t n = size;
        if (size >= 4) {
            const uint32_t len = ls_wire_get_u32(data, LS_HDR_LENGTH);
            if (len >= 4 && len < size) n = len;
        }
        // The transport hands over whole frames of at most the largest message.
        if (n <= LS_MAX_MSG) {
            check_reply(data, n, lc_ls_serve(g_engine, data, n));
            // What the request left behind: no two held locks in conflict,
            // no queued request that could have been granted.
            std::string fault = lc_ls_engine_check(g_engine);
            if (!fault.empty()) {
                fprintf(stderr, "lock tables after a request of %zu bytes: %s\n", n, fault.c_str());
                abort();
            }
        }
        data += n;
        size -= n;
    }
    return 0;
}
