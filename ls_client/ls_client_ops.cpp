// Every lock operation: its request builder and its reply handler. Requests
// that would not fit the wire (counts, lengths, the largest message) are
// refused before anything is sent; every reply field is read only when it
// lies inside the reply.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "ls_client/ls_client.h"
#include "ls_client/ls_client_int.h"
#include "ls_client/ls_wire.h"

namespace {

const char* const k_tag = "ls_client_ops";

// One synchronous request; released when it goes out of scope.
class Call {
   public:
    Call(ls_client* c, uint64_t fs_id) { ls_call_init(&ctx_, c, fs_id); }
    ~Call() { ls_call_fini(&ctx_); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // True when a reply arrived and the handler accepted it.
    bool run(kiv_msg* m, ls_resp_fn handler, void* result) {
        ctx_.handler = handler;
        ctx_.result = result;
        ls_call(m, &ctx_);
        ls_call_wait(&ctx_);
        return ctx_.state == LS_CALL_DONE;
    }

   private:
    ls_call_ctx ctx_;
};

// ---------------------------------------------------------------- request checks
bool message_fits(const char* func, uint64_t total) {
    if (total <= LS_MAX_MSG) return true;
    LS_LOG_FN(0, func, "Request of %lu bytes exceeds the largest message (%u bytes)", (unsigned long)total,
              unsigned(LS_MAX_MSG));
    return false;
}

bool invalid(const char* func, const char* what) {
    LS_LOG_FN(0, func, "Invalid argument: %s", what);
    return false;
}

int refuse(const char* func, const char* what) {
    invalid(func, what);
    return -1;
}

// N, the caller name's length with its NUL.
bool caller_len(const char* func, const char* caller, uint64_t* n) {
    if (caller == nullptr) return invalid(func, "no caller name");
    *n = strlen(caller) + 1;
    return true;
}

bool owner_ok(const char* func, ls_client* c, const ls_lock_owner* owner, const void* range) {
    if (c == nullptr) return invalid(func, "no client");
    if (owner == nullptr || range == nullptr) return invalid(func, "no owner or range");
    return true;
}

// The byte count of `n` opaque items. The count travels in one byte and each
// length in 32 bits: anything else would send what the header does not
// describe.
bool items_size(const char* func, int n, const ls_opaque_item* items, uint64_t* sum) {
    if (n < 0 || uint32_t(n) > LS_MAX_ITEMS) {
        LS_LOG_FN(0, func, "Invalid opaque item count: %d (0 to %u)", n, unsigned(LS_MAX_ITEMS));
        return false;
    }
    if (n > 0 && items == nullptr) return invalid(func, "no opaque items");
    *sum = 0;
    for (int i = 0; i < n; i++) {
        if (items[i].size > UINT32_MAX) {
            LS_LOG_FN(0, func, "Opaque item %d of %lu bytes is too large", i, (unsigned long)items[i].size);
            return false;
        }
        if (items[i].size != 0 && items[i].data == nullptr) return invalid(func, "opaque item without data");
        *sum += items[i].size;
    }
    return true;
}

// ---------------------------------------------------------------- request builders
void put_br_prefix(uint8_t* b, uint32_t name_len, uint32_t name_off, const ls_lock_owner* o, uint64_t fs_id,
                   const ls_brlock_range* r) {
    ls_wire_put_u32(b, LS_BR_NAME_LEN, name_len);
    ls_wire_put_u32(b, LS_BR_NAME_OFF, name_off);
    memcpy(b + LS_BR_ADDR, &o->addr, sizeof o->addr);
    ls_wire_put_u64(b, LS_BR_FS_ID, fs_id);
    ls_wire_put_u64(b, LS_BR_FH, r->fh);
    ls_wire_put_u64(b, LS_BR_OWNER_ID, o->owner_id);
    ls_wire_put_u64(b, LS_BR_START, r->start);
    ls_wire_put_u64(b, LS_BR_LEN, r->len);
    ls_wire_put_u32(b, LS_BR_TYPE, r->type);
    ls_wire_put_u32(b, LS_BR_FLAVOUR, r->flavour);
    memcpy(b + name_off, o->caller, name_len);
}

// Tags at `tags`, each item's bytes back to back from `data_off`.
void opaque_args_to_tags(uint8_t* b, size_t tags, uint64_t data_off, int n, const ls_opaque_item* items) {
    for (int i = 0; i < n; i++) {
        const size_t tag = tags + size_t(i) * LS_TAG_BYTES;
        ls_wire_put_u32(b, tag + LS_TAG_LEN, uint32_t(items[i].size));
        ls_wire_put_u32(b, tag + LS_TAG_OFF, uint32_t(data_off));
        if (items[i].size != 0) memcpy(b + data_off, items[i].data, items[i].size);
        data_off += items[i].size;
    }
}

// Test, cancel and free share one layout.
kiv_msg* build_br_plain(const char* func, uint32_t type, uint64_t fs_id, const ls_lock_owner* owner,
                        const ls_brlock_range* range) {
    uint64_t n = 0;
    if (!caller_len(func, owner->caller, &n)) return nullptr;
    const uint64_t total = LS_BR_NAME_AT + n;
    if (!message_fits(func, total)) return nullptr;
    kiv_msg* m = ls_call_create_rpc_msg(type, uint32_t(total));
    if (m == nullptr) return nullptr;
    put_br_prefix(m->buf, uint32_t(n), LS_BR_NAME_AT, owner, fs_id, range);
    ls_wire_put_u8(m->buf, LS_BR_PAD, 0);
    return m;
}

// Take and blocking take: `tags` is where the tags start, the rest follows.
kiv_msg* build_br_take(const char* func, uint32_t type, size_t tags, uint64_t fs_id, const ls_lock_owner* owner,
                       const ls_brlock_range* range, int nr_items, const ls_opaque_item* items) {
    uint64_t n = 0, data = 0;
    if (!caller_len(func, owner->caller, &n) || !items_size(func, nr_items, items, &data)) return nullptr;
    const uint64_t name_off = tags + uint64_t(nr_items) * LS_TAG_BYTES;
    const uint64_t total = name_off + n + data;
    if (!message_fits(func, total)) return nullptr;
    kiv_msg* m = ls_call_create_rpc_msg(type, uint32_t(total));
    if (m == nullptr) return nullptr;
    put_br_prefix(m->buf, uint32_t(n), uint32_t(name_off), owner, fs_id, range);
    opaque_args_to_tags(m->buf, tags, name_off + n, nr_items, items);
    return m;
}

kiv_msg* build_share(const char* func, uint32_t type, const ls_share_owner* owner, const ls_share_lock* lock) {
    uint64_t n = 0;
    if (!caller_len(func, owner->caller, &n)) return nullptr;
    if (owner->handle_len > UINT32_MAX) {
        LS_LOG_FN(0, func, "Share handle of %lu bytes is too large", (unsigned long)owner->handle_len);
        return nullptr;
    }
    if (owner->handle_len != 0 && owner->handle_data == nullptr) {
        invalid(func, "share handle without data");
        return nullptr;
    }
    const uint64_t total = LS_SHARE_NAME_AT + n + owner->handle_len;
    if (!message_fits(func, total)) return nullptr;
    kiv_msg* m = ls_call_create_rpc_msg(type, uint32_t(total));
    if (m == nullptr) return nullptr;
    uint8_t* b = m->buf;
    ls_wire_put_u32(b, LS_SHARE_NAME_LEN, uint32_t(n));
    ls_wire_put_u32(b, LS_SHARE_NAME_OFF, LS_SHARE_NAME_AT);
    memcpy(b + LS_SHARE_ADDR, &owner->addr, sizeof owner->addr);
    ls_wire_put_u64(b, LS_SHARE_FH, lock->fh);
    ls_wire_put_u32(b, LS_SHARE_HANDLE_LEN, uint32_t(owner->handle_len));
    ls_wire_put_u32(b, LS_SHARE_HANDLE_OFF, uint32_t(LS_SHARE_NAME_AT + n));
    ls_wire_put_u32(b, LS_SHARE_MODE, lock->mode);
    ls_wire_put_u32(b, LS_SHARE_ACCESS, lock->access);
    ls_wire_put_u8(b, LS_SHARE_PAD, 0);
    memcpy(b + LS_SHARE_NAME_AT, owner->caller, n);
    if (owner->handle_len != 0) memcpy(b + LS_SHARE_NAME_AT + n, owner->handle_data, owner->handle_len);
    return m;
}

// ---------------------------------------------------------------- reply handlers
bool reply_status(const ls_reply* r, uint32_t* status) {
    if (!ls_wire_fits(r->len, LS_REPLY_STATUS, 4)) {
        LS_LOG(0, "Reply of %u bytes carries no status", unsigned(r->len));
        return false;
    }
    *status = ls_wire_get_u32(r->p, LS_REPLY_STATUS);
    return true;
}

#define LS_STATUS_HANDLER(name, text)                                  \
    int name(ls_call_ctx* call, const ls_reply* r) {                   \
        uint32_t st = 0;                                               \
        if (!reply_status(r, &st)) return -EPROTO;                     \
        LS_LOG(3, text, int(st));                                      \
        *static_cast<ls_stats*>(call->result) = static_cast<ls_stats>(st); \
        return 0;                                                      \
    }

LS_STATUS_HANDLER(ls_lock_resp_handler, "Lock response: stat %d")
LS_STATUS_HANDLER(ls_blocking_lock_resp_handler, "Blocking lock response: stat %d")
LS_STATUS_HANDLER(ls_unlock_req_resp_handler, "Unlock response: stat %d")
LS_STATUS_HANDLER(ls_cancel_lock_resp_handler, "Cancel lock response: stat %d")
LS_STATUS_HANDLER(ls_share_resp_handler, "Share response: stat %d")
LS_STATUS_HANDLER(ls_ctrl_remove_brlock_resp_handler, "Control remove brlock response: stat %d")

#undef LS_STATUS_HANDLER

struct test_slot {
    lock_test_res* res;
    uint32_t* count;
    ls_opaque_item** items;
};

void free_items(ls_opaque_item* items, uint32_t n) {
    if (items == nullptr) return;
    for (uint32_t i = 0; i < n; i++) __kiv_free(items[i].data);
    __kiv_free(items);
}

int ls_test_lock_resp_handler(ls_call_ctx* call, const ls_reply* r) {
    auto* slot = static_cast<test_slot*>(call->result);
    uint32_t st = 0;
    if (!reply_status(r, &st)) return -EPROTO;
    LS_LOG(3, "Test response: stat %d", int(st));
    if (st == ls_granted) {
        slot->res->granted = true;
        return 0;
    }
    if (st != ls_denied) {
        LS_LOG(0, "Unexpected test lock response status: %d", int(st));
        return -EPROTO;
    }
    // The holder's fields and items exist only on a conflict.
    if (!ls_wire_fits(r->len, LS_TEST_R_OWNER_ID, LS_TEST_R_TYPE + 4 - LS_TEST_R_OWNER_ID)) {
        LS_LOG(0, "Test reply of %u bytes lacks the holder", unsigned(r->len));
        return -EPROTO;
    }
    const bool want_items = slot->count != nullptr && slot->items != nullptr;
    uint32_t n = 0;
    if (want_items) {
        if (!ls_wire_fits(r->len, LS_TEST_R_NR_ITEMS, 1)) {
            LS_LOG(0, "Test reply of %u bytes lacks the item count", unsigned(r->len));
            return -EPROTO;
        }
        n = ls_wire_get_u8(r->p, LS_TEST_R_NR_ITEMS);
        if (!ls_wire_fits(r->len, LS_TEST_R_TAGS, uint64_t(n) * LS_TAG_BYTES)) {
            LS_LOG(0, "Test reply of %u bytes is too short for %u item tags", unsigned(r->len), n);
            return -EPROTO;
        }
        for (uint32_t i = 0; i < n; i++) {
            const size_t tag = LS_TEST_R_TAGS + size_t(i) * LS_TAG_BYTES;
            const uint32_t len = ls_wire_get_u32(r->p, tag + LS_TAG_LEN);
            const uint32_t off = ls_wire_get_u32(r->p, tag + LS_TAG_OFF);
            if (!ls_wire_fits(r->len, off, len)) {
                LS_LOG(0, "Test reply item %u (%u bytes at %u) lies outside the reply of %u bytes", i, len, off,
                       unsigned(r->len));
                return -EPROTO;
            }
        }
    }
    ls_opaque_item* items = nullptr;
    if (n != 0) {
        items = static_cast<ls_opaque_item*>(__kiv_zmalloc(k_tag, KIV_POS, 0, n * sizeof(ls_opaque_item)));
        if (items == nullptr) return -ENOMEM;
        for (uint32_t i = 0; i < n; i++) {
            const size_t tag = LS_TEST_R_TAGS + size_t(i) * LS_TAG_BYTES;
            const uint32_t len = ls_wire_get_u32(r->p, tag + LS_TAG_LEN);
            const uint32_t off = ls_wire_get_u32(r->p, tag + LS_TAG_OFF);
            items[i].size = len;
            if (len == 0) continue;
            items[i].data = __kiv_malloc(k_tag, KIV_POS, 0, len);
            if (items[i].data == nullptr) {
                free_items(items, i);
                return -ENOMEM;
            }
            memcpy(items[i].data, r->p + off, len);
        }
    }
    lock_test_res* res = slot->res;
    res->granted = false;
    res->owner.caller_id = 0;
    res->owner.owner_id = ls_wire_get_u64(r->p, LS_TEST_R_OWNER_ID);
    res->range.start = ls_wire_get_u64(r->p, LS_TEST_R_START);
    res->range.len = ls_wire_get_u64(r->p, LS_TEST_R_LEN);
    res->range.type = ls_wire_get_u32(r->p, LS_TEST_R_TYPE);
    if (n != 0) {
        *slot->count = n;
        *slot->items = items;
    }
    return 0;
}

int ls_free_all_resp_handler(ls_call_ctx* call, const ls_reply*) {
    LS_LOG(3, "Free all response for fs_id %lx", (unsigned long)call->fs_id);
    return 0;
}

struct search_slot {
    ls_search_cb cb;
};

// True when every entry, its caller name and the cookie lie inside the reply.
bool search_reply_fits(const ls_reply* r, uint32_t count) {
    const uint32_t entries = ls_wire_get_u32(r->p, LS_SRCH_R_ENTRIES_OFF);
    if (count != 0 && !ls_wire_fits(r->len, entries, uint64_t(count) * LS_SRCH_ENTRY_BYTES)) {
        LS_LOG(0, "Search reply of %u bytes cannot hold %u entries at %u", unsigned(r->len), count, entries);
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t e = entries + uint64_t(i) * LS_SRCH_ENTRY_BYTES;
        const uint32_t name = ls_wire_get_u32(r->p, e + LS_SRCH_E_NAME_OFF);
        if (name >= r->len || memchr(r->p + name, '\0', r->len - name) == nullptr) {
            LS_LOG(0, "Search reply entry %u has no caller name inside the reply", i);
            return false;
        }
    }
    const uint32_t cookie_len = ls_wire_get_u32(r->p, LS_SRCH_R_COOKIE_LEN);
    const uint32_t cookie_off = ls_wire_get_u32(r->p, LS_SRCH_R_COOKIE_OFF);
    if (cookie_len != 0 && !ls_wire_fits(r->len, cookie_off, cookie_len)) {
        LS_LOG(0, "Search reply cookie (%u bytes at %u) lies outside the reply", cookie_len, cookie_off);
        return false;
    }
    return true;
}

void fill_lock_info(ls_ctrl_win_lock_info* info, const uint8_t* e) {
    info->lock_ref32 = ls_wire_get_u32(e, LS_SRCH_E_REF32);
    info->lock_ref64 = ls_wire_get_u64(e, LS_SRCH_E_REF64);
    memcpy(&info->owner_info.addr, e + LS_SRCH_E_ADDR, sizeof info->owner_info.addr);
    info->lock_info.fh = ls_wire_get_u64(e, LS_SRCH_E_FH);
    info->owner_info.owner_id = ls_wire_get_u64(e, LS_SRCH_E_OWNER_ID);
    info->lock_info.start = ls_wire_get_u64(e, LS_SRCH_E_START);
    info->lock_info.len = ls_wire_get_u64(e, LS_SRCH_E_LEN);
    info->lock_info.type = ls_wire_get_u32(e, LS_SRCH_E_TYPE);
    info->lock_info.flavour = ls_wire_get_u32(e, LS_SRCH_E_FLAVOUR);
    info->owner_info.caller_id = ls_wire_get_u32(e, LS_SRCH_E_CALLER_ID);
    info->aux_u32 = info->owner_info.caller_id;
    info->aux_u16 = ls_wire_get_u16(e, LS_SRCH_E_AUX_U16);
    info->aux_u64_a = ls_wire_get_u64(e, LS_SRCH_E_AUX_U64_A);
    info->aux_u64_b = ls_wire_get_u64(e, LS_SRCH_E_AUX_U64_B);
}

int ls_ctrl_search_win_brlocks_resp_handler(ls_call_ctx* call, const ls_reply* r) {
    ls_search_cb cb = static_cast<search_slot*>(call->result)->cb;
    uint32_t st = 0;
    if (!reply_status(r, &st)) return -EPROTO;
    const bool fixed = ls_wire_fits(r->len, LS_REPLY_STATUS, LS_SRCH_R_COOKIE_OFF + 4 - LS_REPLY_STATUS);
    const uint32_t count = fixed ? ls_wire_get_u32(r->p, LS_SRCH_R_COUNT) : 0;
    LS_LOG(3, "Control search Windows brlocks response: stat %d, count %u", int(st), count);
    if (st != 0) {
        LS_LOG(0, "Control search Windows brlocks failed with status: %d", int(st));
        cb(nullptr, -EIO);
        return 0;
    }
    if (!fixed) {
        LS_LOG(0, "Search reply of %u bytes is too short", unsigned(r->len));
        return -EPROTO;
    }
    if (!search_reply_fits(r, count)) return -EPROTO;
    ls_ctrl_search_result res{};
    res.returned_count = count;
    res.has_more = ls_wire_get_u32(r->p, LS_SRCH_R_HAS_MORE);
    if (count != 0) {
        res.locks = static_cast<ls_ctrl_win_lock_info*>(
            __kiv_zmalloc(k_tag, KIV_POS, 0, size_t(count) * sizeof(ls_ctrl_win_lock_info)));
        bool ok = res.locks != nullptr;
        const uint32_t entries = ls_wire_get_u32(r->p, LS_SRCH_R_ENTRIES_OFF);
        for (uint32_t i = 0; ok && i < count; i++) {
            const uint8_t* e = r->p + entries + size_t(i) * LS_SRCH_ENTRY_BYTES;
            fill_lock_info(&res.locks[i], e);
            const uint32_t name = ls_wire_get_u32(e, LS_SRCH_E_NAME_OFF);
            res.locks[i].owner_info.caller =
                __kiv_strdup(k_tag, KIV_POS, 0, reinterpret_cast<const char*>(r->p + name));
            ok = res.locks[i].owner_info.caller != nullptr;
        }
        if (!ok) {
            LS_LOG(0, "Failed to allocate memory for lock info array");
            ls_client_search_result_free(&res);
            cb(nullptr, -ENOMEM);
            return -ENOMEM;
        }
    }
    const uint32_t cookie_len = ls_wire_get_u32(r->p, LS_SRCH_R_COOKIE_LEN);
    if (cookie_len != 0) {
        res.cookie.data = __kiv_malloc(k_tag, KIV_POS, 0, cookie_len);
        if (res.cookie.data == nullptr) {
            LS_LOG(0, "Failed to allocate memory for cookie");
            ls_client_search_result_free(&res);
            cb(nullptr, -ENOMEM);
            return -ENOMEM;
        }
        memcpy(res.cookie.data, r->p + ls_wire_get_u32(r->p, LS_SRCH_R_COOKIE_OFF), cookie_len);
        res.cookie.size = cookie_len;
    }
    cb(&res, 0);
    return 0;
}

// Runs one status-only request and copies the status out on success.
int run_status_call(ls_client* c, uint64_t fs_id, kiv_msg* m, ls_resp_fn handler, ls_stats* stat) {
    ls_stats local = ls_granted;
    Call call(c, fs_id);
    if (!call.run(m, handler, &local)) return -1;
    if (stat != nullptr) *stat = local;
    return 0;
}

// The resolver's list once it names at least one lock server, waiting as
// long as a call waits for an unknown fs_id; empty when none turns up.
int get_ls_list_waiting(ls_client* c, ls_list* list) {
    for (uint32_t attempt = 0;; attempt++) {
        int rc = ls_resolver_get_ls_list(c->resolver, list);
        if (rc != 0 || !ls_list_empty(list)) return rc;
        if (attempt == LS_MAX_RETRIES) {
            LS_LOG_FN(1, "_free_all_locks", "Max retries (%d) reached waiting for lock servers, none known",
                      int(LS_MAX_RETRIES));
            return 0;
        }
        LS_LOG_FN(3, "_free_all_locks", "No lock server known yet, retry #%u in %dms", attempt + 1,
                  int(LS_RETRY_MS));
        usleep(LS_RETRY_MS * 1000);
    }
}

}  // namespace

int ls_brlock_test(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   lock_test_res* res, uint32_t* items_count, ls_opaque_item** items) {
    if (res == nullptr) {
        LS_LOG(0, "Can't process test lock request without lock_test_res");
        return -1;
    }
    if (!owner_ok(__func__, c, owner, range)) return -1;
    kiv_msg* m = build_br_plain(__func__, LS_MSG_TEST, fs_id, owner, range);
    if (m == nullptr) return -1;
    test_slot slot{res, items_count, items};
    Call call(c, fs_id);
    if (!call.run(m, ls_test_lock_resp_handler, &slot)) {
        LS_LOG(0, "Failed to send test request");
        return -1;
    }
    return 0;
}

int ls_brlock_take(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   int nr_items, const ls_opaque_item* items, ls_stats* stat) {
    if (!owner_ok(__func__, c, owner, range)) return -1;
    kiv_msg* m = build_br_take(__func__, LS_MSG_TAKE, LS_TAKE_TAGS, fs_id, owner, range, nr_items, items);
    if (m == nullptr) return -1;
    ls_wire_put_u32(m->buf, LS_TAKE_CALLER_ID, owner->caller_id);
    ls_wire_put_u8(m->buf, LS_TAKE_NR_ITEMS, uint8_t(nr_items));
    if (run_status_call(c, fs_id, m, ls_lock_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send lock request");
        return -1;
    }
    return 0;
}

int ls_blocking_brlock_take(ls_client* c, uint64_t fs_id, const kiv_netaddr* waiter, const ls_lock_owner* owner,
                            const ls_brlock_range* range, int nr_items, const ls_opaque_item* items,
                            ls_stats* stat) {
    if (!owner_ok(__func__, c, owner, range)) return -1;
    if (waiter == nullptr) return refuse(__func__, "no waiter address");
    kiv_msg* m = build_br_take(__func__, LS_MSG_BLOCKING_TAKE, LS_BTAKE_TAGS, fs_id, owner, range, nr_items, items);
    if (m == nullptr) return -1;
    memcpy(m->buf + LS_BTAKE_WAITER, waiter, sizeof *waiter);
    ls_wire_put_u32(m->buf, LS_BTAKE_CALLER_ID, owner->caller_id);
    ls_wire_put_u8(m->buf, LS_BTAKE_NR_ITEMS, uint8_t(nr_items));
    if (run_status_call(c, fs_id, m, ls_blocking_lock_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send blocking lock request");
        return -1;
    }
    return 0;
}

int ls_brlock_free(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner, const ls_brlock_range* range,
                   ls_stats* stat) {
    if (!owner_ok(__func__, c, owner, range)) return -1;
    kiv_msg* m = build_br_plain(__func__, LS_MSG_FREE, fs_id, owner, range);
    if (m == nullptr) return -1;
    if (run_status_call(c, fs_id, m, ls_unlock_req_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send unlock request");
        return -1;
    }
    return 0;
}

int ls_blocking_brlock_cancel(ls_client* c, uint64_t fs_id, const ls_lock_owner* owner,
                              const ls_brlock_range* range, ls_stats* stat) {
    if (!owner_ok(__func__, c, owner, range)) return -1;
    kiv_msg* m = build_br_plain(__func__, LS_MSG_CANCEL, fs_id, owner, range);
    if (m == nullptr) return -1;
    if (run_status_call(c, fs_id, m, ls_cancel_lock_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send cancel request");
        return -1;
    }
    return 0;
}

int ls_sharemode_lock_take(ls_client* c, uint64_t fs_id, const ls_share_owner* owner, const ls_share_lock* lock,
                           ls_stats* stat) {
    if (c == nullptr || owner == nullptr || lock == nullptr) return refuse(__func__, "no owner or lock");
    kiv_msg* m = build_share(__func__, LS_MSG_SHARE_TAKE, owner, lock);
    if (m == nullptr) return -1;
    if (run_status_call(c, fs_id, m, ls_share_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send share request");
        return -1;
    }
    return 0;
}

int ls_sharemode_lock_free(ls_client* c, uint64_t fs_id, const ls_share_owner* owner, const ls_share_lock* lock,
                           ls_stats* stat) {
    if (c == nullptr || owner == nullptr || lock == nullptr) return refuse(__func__, "no owner or lock");
    kiv_msg* m = build_share(__func__, LS_MSG_SHARE_FREE, owner, lock);
    if (m == nullptr) return -1;
    if (run_status_call(c, fs_id, m, ls_share_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send unshare request");
        return -1;
    }
    return 0;
}

int ls_free_all_locks(ls_client* c, const char* caller, uint32_t caller_id, ls_stats*) {
    if (c == nullptr) return refuse(__func__, "no client");
    uint64_t n = 0;
    if (!caller_len(__func__, caller, &n)) return -1;
    const uint64_t total = LS_FREE_ALL_NAME_AT + n;
    if (!message_fits(__func__, total)) return -1;
    ls_list list;
    if (get_ls_list_waiting(c, &list) != 0) {
        LS_LOG(0, "Failed to get ls list");
        return -1;
    }
    // Each server is asked on its own; one that fails is logged and the
    // others are still asked.
    for (ls_list_item* item = ls_list_first(&list); item != nullptr; item = ls_list_first(&list)) {
        const uint64_t fs_id = item->fs_id;
        kiv_msg* m = ls_call_create_rpc_msg(LS_MSG_FREE_ALL, uint32_t(total));
        if (m != nullptr) {
            ls_wire_put_u32(m->buf, LS_FREE_ALL_CALLER_ID, caller_id);
            ls_wire_put_u32(m->buf, LS_FREE_ALL_NAME_LEN, uint32_t(n));
            ls_wire_put_u32(m->buf, LS_FREE_ALL_NAME_OFF, LS_FREE_ALL_NAME_AT);
            memcpy(m->buf + LS_FREE_ALL_NAME_AT, caller, n);
            LS_LOG_FN(3, "_free_all_locks", "Free all locks for fs_id %lx", (unsigned long)fs_id);
            Call call(c, fs_id);
            if (!call.run(m, ls_free_all_resp_handler, nullptr))
                LS_LOG_FN(0, "_free_all_locks", "Failed to send free all request for fs_id %lx",
                          (unsigned long)fs_id);
        }
        ls_list_remove_item(&list, item);
    }
    ls_list_fini(&list);
    return 0;
}

int ls_ctrl_search_win_brlocks(ls_client* c, uint64_t fs_id, const ls_ctrl_search_filter* filter,
                               uint32_t max_count, const ls_ctrl_cookie* cookie, ls_search_cb cb) {
    if (c == nullptr || filter == nullptr || cb == nullptr)
        return refuse(__func__, "no filter or callback");
    const bool with_cookie = cookie != nullptr && cookie->size != 0;
    if (with_cookie && cookie->data == nullptr) return refuse(__func__, "cookie without data");
    const uint64_t total = LS_SEARCH_COOKIE_AT + (with_cookie ? cookie->size : 0);
    if (!message_fits(__func__, total)) return -1;
    kiv_msg* m = ls_call_create_rpc_msg(LS_MSG_CTRL_SEARCH, uint32_t(total));
    if (m == nullptr) return -1;
    uint8_t* b = m->buf;
    ls_wire_put_u32(b, LS_SEARCH_FLAGS, filter->flags);
    ls_wire_put_u64(b, LS_SEARCH_FH, filter->fh);
    ls_wire_put_u32(b, LS_SEARCH_FLAVOUR, LS_FLAVOUR_WINDOWS);
    ls_wire_put_u32(b, LS_SEARCH_MAX_COUNT, max_count);
    if (with_cookie) {
        ls_wire_put_u32(b, LS_SEARCH_COOKIE_LEN, uint32_t(cookie->size));
        ls_wire_put_u32(b, LS_SEARCH_COOKIE_OFF, LS_SEARCH_COOKIE_AT);
        memcpy(b + LS_SEARCH_COOKIE_AT, cookie->data, cookie->size);
    }
    search_slot slot{cb};
    Call call(c, fs_id);
    if (!call.run(m, ls_ctrl_search_win_brlocks_resp_handler, &slot)) {
        LS_LOG(0, "Failed to send control search Windows brlocks request");
        return -1;
    }
    return 0;
}

int ls_ctrl_remove_brlock(ls_client* c, uint64_t fs_id, uint32_t lock_ref32, uint64_t lock_ref64,
                          uint32_t flavour, ls_stats* stat) {
    if (c == nullptr) return refuse(__func__, "no client");
    kiv_msg* m = ls_call_create_rpc_msg(LS_MSG_CTRL_REMOVE, LS_REMOVE_BYTES);
    if (m == nullptr) return -1;
    ls_wire_put_u32(m->buf, LS_REMOVE_REF32, lock_ref32);
    ls_wire_put_u64(m->buf, LS_REMOVE_REF64, lock_ref64);
    ls_wire_put_u32(m->buf, LS_REMOVE_FLAVOUR, flavour);
    if (run_status_call(c, fs_id, m, ls_ctrl_remove_brlock_resp_handler, stat) != 0) {
        LS_LOG(0, "Failed to send control remove brlock request");
        return -1;
    }
    return 0;
}

void ls_client_search_result_free(ls_ctrl_search_result* r) {
    if (r == nullptr) return;
    if (r->locks != nullptr) {
        for (uint32_t i = 0; i < r->returned_count; i++) __kiv_free(const_cast<char*>(r->locks[i].owner_info.caller));
        __kiv_free(r->locks);
    }
    __kiv_free(r->cookie.data);
    memset(r, 0, sizeof *r);
}

int ls_null_req(void) { return 0; }
