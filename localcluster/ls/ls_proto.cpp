#include "localcluster/ls/ls_proto.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "ls_client/ls_wire.h"

namespace {

// A request being read: every access is checked against the frame first.
struct Frame {
    const uint8_t* buf;
    size_t len;

    bool fits(uint64_t off, uint64_t width) const { return ls_wire_fits(len, off, width); }
    uint32_t u32(size_t off) const { return ls_wire_get_u32(buf, off); }
    uint64_t u64(size_t off) const { return ls_wire_get_u64(buf, off); }
    lc_ls_addr addr(size_t off) const {
        lc_ls_addr a;
        memcpy(a.data(), buf + off, a.size());
        return a;
    }

    // The name of N bytes (field `n_at`) at the offset in field `off_at`:
    // text ending in its only NUL. 0 or the handling error.
    int name(size_t n_at, size_t off_at, std::string* out) const {
        uint32_t n = u32(n_at), off = u32(off_at);
        if (n > LC_LS_MAX_NAME) return ENAMETOOLONG;
        if (n == 0 || !fits(off, n) || buf[off + n - 1] != 0) return EPROTO;
        // Owners are told apart by their names: one cut at an inner NUL
        // would stand for another caller, whose locks a free-all then drops.
        if (memchr(buf + off, 0, n - 1) != nullptr) return EPROTO;
        out->assign(reinterpret_cast<const char*>(buf + off), n - 1);
        return 0;
    }

    // n opaque items whose tags start at `tags`. 0 or the handling error.
    int items(size_t nr_at, size_t tags, std::vector<std::string>* out) const {
        uint32_t n = ls_wire_get_u8(buf, nr_at);
        if (!fits(tags, uint64_t(n) * LS_TAG_BYTES)) return EPROTO;
        uint64_t total = uint64_t(n) * LS_TAG_BYTES;
        for (uint32_t i = 0; i < n; i++) total += u32(tags + i * LS_TAG_BYTES + LS_TAG_LEN);
        if (total > LC_LS_MAX_OPAQUE) return E2BIG;
        for (uint32_t i = 0; i < n; i++) {
            uint32_t ilen = u32(tags + i * LS_TAG_BYTES + LS_TAG_LEN);
            uint32_t ioff = u32(tags + i * LS_TAG_BYTES + LS_TAG_OFF);
            if (!fits(ioff, ilen)) return EPROTO;
            out->emplace_back(reinterpret_cast<const char*>(buf + ioff), ilen);
        }
        return 0;
    }

    // The byte-range fields every byte-range request shares.
    int brlock(lc_ls_owner* o, lc_ls_range* r) const {
        int err = name(LS_BR_NAME_LEN, LS_BR_NAME_OFF, &o->caller);
        if (err) return err;
        o->addr = addr(LS_BR_ADDR);
        o->owner_id = u64(LS_BR_OWNER_ID);
        r->fs_id = u64(LS_BR_FS_ID);
        r->fh = u64(LS_BR_FH);
        r->start = u64(LS_BR_START);
        r->len = u64(LS_BR_LEN);
        r->type = u32(LS_BR_TYPE);
        r->flavour = u32(LS_BR_FLAVOUR);
        return 0;
    }
};

// The fixed part of each request; shorter frames are malformed.
size_t fixed_len(uint32_t type) {
    switch (type) {
        case LS_MSG_TEST:
        case LS_MSG_CANCEL:
        case LS_MSG_FREE:
        case LS_MSG_TAKE: return LS_BR_NAME_AT;
        case LS_MSG_BLOCKING_TAKE: return LS_BTAKE_TAGS;
        case LS_MSG_SHARE_TAKE:
        case LS_MSG_SHARE_FREE: return LS_SHARE_NAME_AT;
        case LS_MSG_FREE_ALL: return LS_FREE_ALL_NAME_AT;
        case LS_MSG_CTRL_SEARCH: return LS_SEARCH_COOKIE_AT;
        case LS_MSG_CTRL_REMOVE: return LS_REMOVE_BYTES;
        default: return 0;
    }
}

// The smallest reply of each type: the client reads test and search replies
// up to their fixed part even when they carry nothing.
size_t reply_min(uint32_t type) {
    if (type == LS_MSG_TEST) return LS_TEST_R_BYTES;
    if (type == LS_MSG_CTRL_SEARCH) return LS_SRCH_R_BYTES;
    return LS_REPLY_STATUS_BYTES;
}

struct Reply {
    std::vector<uint8_t> b;
    uint32_t herr = 0;
    uint32_t status = 0;

    uint8_t* p() { return b.data(); }
    void grow(size_t n) {
        if (b.size() < n) b.resize(n, 0);
    }
};

// ---------------------------------------------------------------- handlers

void test(lc_ls_engine* e, const Frame& f, Reply* r) {
    lc_ls_owner o;
    lc_ls_range range;
    if ((r->herr = f.brlock(&o, &range))) return;
    if (!lc_ls_range_valid(range)) {
        r->herr = EINVAL;
        return;
    }
    lc_ls_lock holder;
    r->status = lc_ls_test(e, o, range, &holder);
    if (r->status != LC_LS_DENIED) return;
    size_t n = holder.items.size();
    size_t at = LS_TEST_R_TAGS + n * LS_TAG_BYTES;
    size_t total = at;
    for (const std::string& i : holder.items) total += i.size();
    r->grow(total);
    uint8_t* p = r->p();
    ls_wire_put_u64(p, LS_TEST_R_OWNER_ID, holder.owner.owner_id);
    ls_wire_put_u64(p, LS_TEST_R_START, holder.range.start);
    ls_wire_put_u64(p, LS_TEST_R_LEN, holder.range.len);
    ls_wire_put_u32(p, LS_TEST_R_TYPE, holder.range.type);
    ls_wire_put_u8(p, LS_TEST_R_NR_ITEMS, uint8_t(n));  // at most 255: a take carries a u8 count
    for (size_t i = 0; i < n; i++) {
        const std::string& item = holder.items[i];
        ls_wire_put_u32(p, LS_TEST_R_TAGS + i * LS_TAG_BYTES + LS_TAG_LEN, uint32_t(item.size()));
        ls_wire_put_u32(p, LS_TEST_R_TAGS + i * LS_TAG_BYTES + LS_TAG_OFF, uint32_t(at));
        memcpy(p + at, item.data(), item.size());
        at += item.size();
    }
}

void take(lc_ls_engine* e, const Frame& f, uint32_t type, Reply* r) {
    bool blocking = type == LS_MSG_BLOCKING_TAKE;
    lc_ls_owner o;
    lc_ls_range range;
    std::vector<std::string> items;
    if ((r->herr = f.brlock(&o, &range))) return;
    o.caller_id = f.u32(blocking ? LS_BTAKE_CALLER_ID : LS_TAKE_CALLER_ID);
    if ((r->herr = f.items(blocking ? LS_BTAKE_NR_ITEMS : LS_TAKE_NR_ITEMS, blocking ? LS_BTAKE_TAGS : LS_TAKE_TAGS,
                           &items)))
        return;
    if (!lc_ls_range_valid(range)) {
        r->herr = EINVAL;
        return;
    }
    r->status = blocking ? lc_ls_blocking_take(e, o, range, items, f.addr(LS_BTAKE_WAITER))
                         : lc_ls_take(e, o, range, items);
}

void free_or_cancel(lc_ls_engine* e, const Frame& f, uint32_t type, Reply* r) {
    lc_ls_owner o;
    lc_ls_range range;
    if ((r->herr = f.brlock(&o, &range))) return;
    if (!lc_ls_range_valid(range)) {
        r->herr = EINVAL;
        return;
    }
    r->status = type == LS_MSG_FREE ? lc_ls_free(e, o, range) : lc_ls_cancel(e, o, range);
}

void share(lc_ls_engine* e, const Frame& f, uint32_t type, Reply* r) {
    lc_ls_share_owner o;
    if ((r->herr = f.name(LS_SHARE_NAME_LEN, LS_SHARE_NAME_OFF, &o.caller))) return;
    uint32_t h = f.u32(LS_SHARE_HANDLE_LEN), hoff = f.u32(LS_SHARE_HANDLE_OFF);
    if (h > LC_LS_MAX_HANDLE) {
        r->herr = E2BIG;
        return;
    }
    if (!f.fits(hoff, h)) {
        r->herr = EPROTO;
        return;
    }
    o.handle.assign(reinterpret_cast<const char*>(f.buf + hoff), h);
    o.addr = f.addr(LS_SHARE_ADDR);
    uint64_t fh = f.u64(LS_SHARE_FH);
    uint32_t mode = f.u32(LS_SHARE_MODE), access = f.u32(LS_SHARE_ACCESS);
    if (mode > 3 || access > 3) {
        r->herr = EINVAL;
        return;
    }
    r->status = type == LS_MSG_SHARE_TAKE ? lc_ls_share_take(e, o, fh, mode, access) : lc_ls_share_free(e, o, fh);
}

void free_all(lc_ls_engine* e, const Frame& f, Reply* r) {
    std::string caller;
    if ((r->herr = f.name(LS_FREE_ALL_NAME_LEN, LS_FREE_ALL_NAME_OFF, &caller))) return;
    lc_ls_free_all(e, caller);  // the caller_id it carries names nobody: owners are caller names
}

void search(lc_ls_engine* e, const Frame& f, Reply* r) {
    lc_ls_search_query q;
    q.flags = f.u32(LS_SEARCH_FLAGS);
    q.fh = f.u64(LS_SEARCH_FH);
    q.flavour = f.u32(LS_SEARCH_FLAVOUR);
    q.max = f.u32(LS_SEARCH_MAX_COUNT);
    uint32_t clen = f.u32(LS_SEARCH_COOKIE_LEN), coff = f.u32(LS_SEARCH_COOKIE_OFF);
    if (clen && !f.fits(coff, clen)) {
        r->herr = EPROTO;
        return;
    }
    // A page of none would answer "more follow" with the same cookie for
    // ever: a client that follows cookies would never end.
    if ((q.flavour != LC_LS_POSIX && q.flavour != LC_LS_WINDOWS) || q.max == 0) {
        r->herr = EINVAL;
        return;
    }
    if (clen) q.cookie = std::string_view(reinterpret_cast<const char*>(f.buf + coff), clen);
    // Each entry costs its fixed part and its name; the cookie always has room.
    q.cost = [](const lc_ls_lock& l) { return LS_SRCH_ENTRY_BYTES + l.owner.caller.size() + 1; };
    q.budget = LS_MAX_MSG - LS_SRCH_R_BYTES - LC_LS_COOKIE_BYTES;
    lc_ls_search_page page;
    r->status = lc_ls_search(e, q, &page);
    if (r->status != 0) return;

    size_t n = page.locks.size();
    size_t names = LS_SRCH_R_BYTES + n * LS_SRCH_ENTRY_BYTES;
    size_t total = names + page.cookie.size();
    for (const lc_ls_lock& l : page.locks) total += l.owner.caller.size() + 1;
    r->grow(total);
    uint8_t* p = r->p();
    ls_wire_put_u32(p, LS_SRCH_R_COUNT, uint32_t(n));
    ls_wire_put_u32(p, LS_SRCH_R_HAS_MORE, page.has_more ? 1 : 0);
    ls_wire_put_u32(p, LS_SRCH_R_ENTRIES_OFF, uint32_t(LS_SRCH_R_BYTES));
    size_t at = names;
    for (size_t i = 0; i < n; i++) {
        const lc_ls_lock& l = page.locks[i];
        size_t en = LS_SRCH_R_BYTES + i * LS_SRCH_ENTRY_BYTES;
        uint32_t nlen = uint32_t(l.owner.caller.size() + 1);
        ls_wire_put_u32(p, en + LS_SRCH_E_REF32, lc_ls_engine_boot_tag(e));
        ls_wire_put_u64(p, en + LS_SRCH_E_REF64, l.id);
        ls_wire_put_u32(p, en + LS_SRCH_E_NAME_LEN, nlen);
        ls_wire_put_u32(p, en + LS_SRCH_E_NAME_OFF, uint32_t(at));
        memcpy(p + en + LS_SRCH_E_ADDR, l.owner.addr.data(), l.owner.addr.size());
        ls_wire_put_u64(p, en + LS_SRCH_E_FS_ID, l.range.fs_id);
        ls_wire_put_u64(p, en + LS_SRCH_E_FH, l.range.fh);
        ls_wire_put_u64(p, en + LS_SRCH_E_OWNER_ID, l.owner.owner_id);
        ls_wire_put_u64(p, en + LS_SRCH_E_START, l.range.start);
        ls_wire_put_u64(p, en + LS_SRCH_E_LEN, l.range.len);
        ls_wire_put_u32(p, en + LS_SRCH_E_TYPE, l.range.type);
        ls_wire_put_u32(p, en + LS_SRCH_E_FLAVOUR, l.range.flavour);
        ls_wire_put_u32(p, en + LS_SRCH_E_CALLER_ID, l.owner.caller_id);
        ls_wire_put_u16(p, en + LS_SRCH_E_AUX_U16, uint16_t(l.items.size()));
        ls_wire_put_u64(p, en + LS_SRCH_E_AUX_U64_A, l.grant_us);
        ls_wire_put_u64(p, en + LS_SRCH_E_AUX_U64_B, l.id);
        memcpy(p + at, l.owner.caller.c_str(), nlen);
        at += nlen;
    }
    if (!page.cookie.empty()) {
        ls_wire_put_u32(p, LS_SRCH_R_COOKIE_LEN, uint32_t(page.cookie.size()));
        ls_wire_put_u32(p, LS_SRCH_R_COOKIE_OFF, uint32_t(at));
        memcpy(p + at, page.cookie.data(), page.cookie.size());
    }
}

void remove(lc_ls_engine* e, const Frame& f, Reply* r) {
    uint32_t flavour = f.u32(LS_REMOVE_FLAVOUR);
    if (flavour != LC_LS_POSIX && flavour != LC_LS_WINDOWS) {
        r->herr = EINVAL;
        return;
    }
    r->status = lc_ls_remove(e, f.u32(LS_REMOVE_REF32), f.u64(LS_REMOVE_REF64), flavour);
}

}  // namespace

std::vector<uint8_t> lc_ls_serve(lc_ls_engine* e, const uint8_t* req, size_t len) {
    Frame f{req, len};
    uint32_t type = len >= LS_HDR_TYPE + 4 ? f.u32(LS_HDR_TYPE) : 0;
    Reply r;
    r.grow(reply_min(type));
    size_t fixed = fixed_len(type);
    if (len < LS_HDR_BYTES || f.u64(LS_HDR_VERSION) != LS_WIRE_VERSION) {
        r.herr = EPROTO;
    } else if (!fixed) {
        r.herr = EOPNOTSUPP;
    } else if (len < fixed) {
        r.herr = EPROTO;
    } else {
        switch (type) {
            case LS_MSG_TEST: test(e, f, &r); break;
            case LS_MSG_TAKE:
            case LS_MSG_BLOCKING_TAKE: take(e, f, type, &r); break;
            case LS_MSG_FREE:
            case LS_MSG_CANCEL: free_or_cancel(e, f, type, &r); break;
            case LS_MSG_SHARE_TAKE:
            case LS_MSG_SHARE_FREE: share(e, f, type, &r); break;
            case LS_MSG_FREE_ALL: free_all(e, f, &r); break;
            case LS_MSG_CTRL_SEARCH: search(e, f, &r); break;
            case LS_MSG_CTRL_REMOVE: remove(e, f, &r); break;
        }
    }
    // At its limits the server refuses what would make it hold more; the
    // client reports that as the call's failure.
    if (r.status == LC_LS_FULL) r.herr = ENOLCK;
    // A refused request says only why.
    if (r.herr) {
        r.b.assign(reply_min(type), 0);
        r.status = 0;
    }
    uint8_t* p = r.p();
    ls_wire_put_u32(p, LS_HDR_LENGTH, uint32_t(r.b.size()));
    ls_wire_put_u32(p, LS_HDR_TYPE, type + 1);
    if (len >= LS_HDR_VERSION) memcpy(p + LS_HDR_XID, req + LS_HDR_XID, LS_HDR_VERSION - LS_HDR_XID);
    ls_wire_put_u32(p, LS_HDR_VERSION, uint32_t(LS_WIRE_VERSION));
    ls_wire_put_u32(p, LS_REPLY_HANDLING_ERR, r.herr);
    ls_wire_put_u32(p, LS_REPLY_STATUS, r.status);
    return r.b;
}
