#include "localcluster/ds/ds_disk.h"

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <unordered_map>

#include "client/tarn_wire.h"
#include "localcluster/breaks.h"
#include "localcluster/ds/pages.h"

namespace {

// A reader-writer lock in one word: objects are many, and a pthread rwlock
// would cost more than the rest of an empty object. Waiting writers hold
// new readers back, so a stream of reads cannot starve a write.
class ObjLock {
   public:
    void lock_shared() {
        for (;;) {
            uint32_t v = s_.load(std::memory_order_relaxed);
            if (!(v & (kWriter | kWriterWaiting))) {
                if (s_.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
                continue;
            }
            s_.wait(v, std::memory_order_relaxed);
        }
    }
    void unlock_shared() {
        uint32_t v = s_.fetch_sub(1, std::memory_order_release) - 1;
        if ((v & kReaders) == 0 && (v & kWriterWaiting)) s_.notify_all();
    }
    void lock() {
        for (;;) {
            uint32_t v = s_.load(std::memory_order_relaxed);
            if ((v & ~kWriterWaiting) == 0) {
                // Taking the lock clears the waiting mark; other waiting
                // writers set it again when they wake.
                if (s_.compare_exchange_weak(v, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
                continue;
            }
            if (!(v & kWriterWaiting)) {
                if (!s_.compare_exchange_weak(v, v | kWriterWaiting, std::memory_order_relaxed)) continue;
                v |= kWriterWaiting;
            }
            s_.wait(v, std::memory_order_relaxed);
        }
    }
    void unlock() {
        s_.fetch_and(~kWriter, std::memory_order_release);
        s_.notify_all();
    }

   private:
    static constexpr uint32_t kWriter = 0x80000000u;
    static constexpr uint32_t kWriterWaiting = 0x40000000u;
    static constexpr uint32_t kReaders = 0x3fffffffu;
    std::atomic<uint32_t> s_{0};
};

// What an object holds once it has data, allocated blocks or xattrs. The
// rarer parts hang off it only while they are in use.
struct ObjBody {
    lc_pages pages;
    lc_extents blocks;                     // allocated 4 KiB blocks
    std::unique_ptr<lc_extents> unstable;  // bytes written unstably since the last commit
    std::unique_ptr<lc_xattrs> xattrs;

    lc_extents* need_unstable() {
        if (!unstable) unstable = std::make_unique<lc_extents>();
        return unstable.get();
    }
    lc_xattrs* need_xattrs() {
        if (!xattrs) xattrs = std::make_unique<lc_xattrs>();
        return xattrs.get();
    }
};

struct Obj {
    ObjLock lock;
    bool deleted = false;  // set once, under the exclusive lock, by delete
    lc_ds_attrs a;
    std::unique_ptr<ObjBody> body;

    ObjBody* need_body() {
        if (!body) body = std::make_unique<ObjBody>();
        return body.get();
    }
};

using ObjRef = std::shared_ptr<Obj>;

struct VdiskCount {
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> objects{0};
};

uint64_t blocks_up_to(uint64_t end) { return end / LC_DS_PAGE + (end % LC_DS_PAGE ? 1 : 0); }

constexpr uint32_t kDsMaskKnown = TARN_DS_SET_MODE | TARN_DS_SET_UID | TARN_DS_SET_GID | TARN_DS_SET_SIZE |
                                  TARN_DS_SET_ATIME | TARN_DS_SET_ATIME_NOW | TARN_DS_SET_MTIME |
                                  TARN_DS_SET_MTIME_NOW;

}  // namespace

struct lc_ds_disk {
    lc_pool* pool = nullptr;
    uint32_t vdisk_count = 0;
    bool xattrs = false;
    std::unique_ptr<VdiskCount[]> per_vdisk;

    std::shared_mutex map_mu;
    std::unordered_map<uint64_t, ObjRef> objects;

    std::atomic<uint64_t> pages{0};
    std::atomic<uint64_t> last_time{0};

    // The hole-stale-bytes break: a copy of a page of the last object deleted.
    std::mutex stale_mu;
    std::unique_ptr<uint8_t[]> stale;

    std::mutex dirty_mu;
    std::set<uint64_t> dirty;

    std::shared_mutex hook_mu;
    lc_ds_push_fn hook = nullptr;
    void* hook_ctx = nullptr;

    std::atomic<uint64_t> breaks{0};  // LC_BREAK_* rules of the disk, localcluster/breaks.h
};

namespace {

// Wall-clock ns, strictly increasing per disk, so two changes of one object
// never share a ctime and a guard always tells them apart.
uint64_t now_ns(lc_ds_disk* d) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t t = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
    uint64_t last = d->last_time.load(std::memory_order_relaxed);
    for (;;) {
        uint64_t next = std::max(t, last + 1);
        if (d->last_time.compare_exchange_weak(last, next, std::memory_order_relaxed)) return next;
    }
}

bool broken(const lc_ds_disk* d, uint64_t rule) { return (d->pool->breaks & rule) != 0; }

// The memory of freed pages goes back to the system once enough has piled
// up; the allocator would otherwise keep the peak of a filled share.
void return_freed_pages(size_t pages) {
    static std::atomic<uint64_t> untrimmed{0};
    constexpr uint64_t kTrimPages = 16384;  // 64 MiB
    if (untrimmed.fetch_add(pages, std::memory_order_relaxed) + pages < kTrimPages) return;
    untrimmed.store(0, std::memory_order_relaxed);
    malloc_trim(0);
}

// Under the lock of an object being deleted: keeps its first page for the
// hole-stale-bytes break.
void keep_stale_page(lc_ds_disk* d, const lc_pages& p) {
    if (!broken(d, LC_BREAK_HOLE_STALE_BYTES) || p.pages.empty()) return;
    std::lock_guard g(d->stale_mu);
    if (!d->stale) d->stale = std::make_unique<uint8_t[]>(LC_DS_PAGE);
    memcpy(d->stale.get(), p.pages.begin()->second.get(), LC_DS_PAGE);
}

// The hole-stale-bytes break after a write of [offset, end): the bytes of
// the pages it created that it did not cover take the kept page's bytes.
void fill_stale(lc_ds_disk* d, lc_pages* p, const std::vector<uint64_t>& created, uint64_t offset, uint64_t end) {
    std::lock_guard g(d->stale_mu);
    if (!d->stale) return;
    for (uint64_t idx : created) {
        uint8_t* page = p->pages.at(idx).get();
        for (uint64_t i = 0, pos = idx * LC_DS_PAGE; i < LC_DS_PAGE; i++, pos++)
            if (pos < offset || pos >= end) page[i] = d->stale[i];
    }
}

ObjRef find(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk) {
    std::shared_lock g(d->map_mu);
    auto it = d->objects.find(file_id);
    if (it == d->objects.end()) return nullptr;
    if (vdisk != LC_DS_ANY_VDISK && it->second->a.vdisk != vdisk) return nullptr;
    return it->second;
}

void fill(lc_ds_attrs* out, const Obj& o) {
    if (out) *out = o.a;
}

void set_space(Obj* o) { o->a.space_used = (o->body ? o->body->blocks.count : 0) * LC_DS_PAGE; }

void push(lc_ds_disk* d, const lc_ds_attrs& snap) {
    bool taken = false;
    {
        std::shared_lock g(d->hook_mu);
        if (d->hook) taken = d->hook(d->hook_ctx, &snap);
    }
    if (!taken) lc_ds_disk_mark_dirty(d, snap.file_id);
}

// Checks an update before anything changes.
lc_ds_result check_update(const Obj& o, const lc_ds_update* u, uint64_t guard) {
    if (guard != 0 && guard != o.a.ctime) return LC_DS_CONFLICT;
    if ((u->mask & TARN_DS_SET_SIZE) && u->size > LC_DS_MAX_END) return LC_DS_TOO_LARGE;
    return LC_DS_OK;
}

// Cuts the object's data and blocks at `size` (smaller than the current size).
void shrink(lc_ds_disk* d, Obj* o, uint64_t size) {
    if (!o->body) return;
    ObjBody* b = o->body.get();
    uint64_t freed = lc_extents_remove(&b->blocks, blocks_up_to(size), UINT64_MAX);
    if (freed) {
        lc_pool_release(d->pool, o->a.vdisk, freed);
        d->per_vdisk[o->a.vdisk].blocks.fetch_sub(freed, std::memory_order_relaxed);
    }
    size_t pages = lc_pages_truncate(&b->pages, size);
    if (pages) d->pages.fetch_sub(pages, std::memory_order_relaxed);
    if (b->unstable) lc_extents_remove(b->unstable.get(), size, UINT64_MAX);
}

// Applies a checked update under the exclusive lock.
void apply_update(lc_ds_disk* d, Obj* o, const lc_ds_update* u, uint64_t now) {
    uint32_t m = u->mask;
    if (!(m & kDsMaskKnown)) return;
    lc_ds_attrs& a = o->a;
    if (m & TARN_DS_SET_MODE) a.mode = u->mode & 07777;
    if (m & TARN_DS_SET_UID) a.uid = u->uid;
    if (m & TARN_DS_SET_GID) a.gid = u->gid;
    if (m & TARN_DS_SET_SIZE) {
        if (u->size < a.size) shrink(d, o, u->size);
        a.size = u->size;
        set_space(o);
    }
    if (m & TARN_DS_SET_ATIME_NOW) a.atime = now;
    if (m & TARN_DS_SET_ATIME) a.atime = u->atime;
    if (m & TARN_DS_SET_MTIME_NOW) a.mtime = now;
    if (m & TARN_DS_SET_MTIME)
        a.mtime = u->mtime;
    else if ((m & TARN_DS_SET_SIZE) && !(m & TARN_DS_SET_MTIME_NOW))
        a.mtime = now;
    a.ctime = now;
    a.attr_version++;
}

lc_ds_result set_attrs_common(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, const lc_ds_update* u, uint64_t guard,
                              lc_ds_attrs* pre, lc_ds_attrs* post, bool pushed) {
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    lc_ds_attrs snap;
    bool changed;
    {
        std::unique_lock g(o->lock);
        if (o->deleted) return LC_DS_NOT_FOUND;
        fill(pre, *o);
        lc_ds_result r = check_update(*o, u, guard);
        if (r != LC_DS_OK) {
            fill(post, *o);
            return r;
        }
        changed = (u->mask & kDsMaskKnown) != 0;
        apply_update(d, o.get(), u, now_ns(d));
        snap = o->a;
        fill(post, *o);
    }
    if (pushed && changed) push(d, snap);
    return LC_DS_OK;
}

// Xattr calls: `fn` gets the object's set, created on first need for a
// change, or an empty one for a read of an object that never had any.
template <typename Fn>
lc_ds_result change_xattrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, Fn fn) {
    if (!d->xattrs) return LC_DS_INVALID;
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    std::unique_lock g(o->lock);
    if (o->deleted) return LC_DS_NOT_FOUND;
    return lc_ds_result_from_xattr(fn(o->need_body()->need_xattrs()));
}

template <typename Fn>
lc_ds_result read_xattrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, Fn fn) {
    if (!d->xattrs) return LC_DS_INVALID;
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    std::shared_lock g(o->lock);
    if (o->deleted) return LC_DS_NOT_FOUND;
    static const lc_xattrs none;
    return lc_ds_result_from_xattr(fn(o->body && o->body->xattrs ? o->body->xattrs.get() : &none));
}

// A change to a live object's data under its write lock. `pre` and `post`
// hold its attributes before `fn(obj, &changed)` runs; when that returns
// LC_DS_OK having set `changed`, `post` is filled again and the new
// attributes are pushed once the lock is gone.
template <typename Fn>
lc_ds_result change_object(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, lc_ds_attrs* pre, lc_ds_attrs* post,
                           Fn fn) {
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    lc_ds_attrs snap;
    {
        std::unique_lock g(o->lock);
        if (o->deleted) return LC_DS_NOT_FOUND;
        fill(pre, *o);
        fill(post, *o);
        bool changed = false;
        lc_ds_result r = fn(o.get(), &changed);
        if (r != LC_DS_OK || !changed) return r;
        snap = o->a;
        fill(post, *o);
    }
    push(d, snap);
    return LC_DS_OK;
}

// Under the object's write lock: takes from the pool the blocks of
// [offset, end) the object lacks and counts them to its vdisk. False when
// the pool cannot give its vdisk that many. `overwrite` = for a write (the overwrite-charged
// break pays for every block of the range).
bool take_blocks(lc_ds_disk* d, Obj* o, uint64_t offset, uint64_t end, bool overwrite) {
    ObjBody* b = o->need_body();
    uint64_t first_blk = offset / LC_DS_PAGE, end_blk = blocks_up_to(end);
    uint64_t need = lc_extents_missing(&b->blocks, first_blk, end_blk);
    if (!lc_pool_reserve(d->pool, o->a.vdisk,
                         overwrite && broken(d, LC_BREAK_OVERWRITE_CHARGED) ? end_blk - first_blk : need))
        return false;
    if (need) {
        lc_extents_add(&b->blocks, first_blk, end_blk);
        d->per_vdisk[o->a.vdisk].blocks.fetch_add(need, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- results and wire forms

uint32_t lc_ds_status(lc_ds_result r) {
    switch (r) {
        case LC_DS_OK: return TARN_DS_OK;
        case LC_DS_NOT_FOUND: return TARN_DS_NOT_FOUND;
        case LC_DS_EXISTS: return TARN_DS_EXISTS;
        case LC_DS_INVALID: return TARN_DS_INVAL;
        case LC_DS_CONFLICT: return TARN_DS_CONFLICT;
        case LC_DS_NO_SPACE: return TARN_DS_NO_SPACE;
        case LC_DS_TOO_LARGE: return TARN_DS_FILE_TOO_LARGE;
        case LC_DS_TOO_BIG: return TARN_DS_TOO_BIG;
        case LC_DS_BUFFER_SMALL: return TARN_DS_BUFFER_TOO_SMALL;
    }
    return TARN_DS_SERVER_FAULT;
}

lc_ds_result lc_ds_result_from_xattr(lc_xattr_result r) {
    switch (r) {
        case LC_XATTR_OK: return LC_DS_OK;
        case LC_XATTR_EXISTS: return LC_DS_EXISTS;
        case LC_XATTR_NOT_FOUND: return LC_DS_NOT_FOUND;
        case LC_XATTR_INVALID: return LC_DS_INVALID;
        case LC_XATTR_TOO_BIG: return LC_DS_TOO_BIG;
        case LC_XATTR_NO_SPACE: return LC_DS_NO_SPACE;
        case LC_XATTR_BUFFER_SMALL: return LC_DS_BUFFER_SMALL;
    }
    return LC_DS_INVALID;
}

void lc_ds_update_read(const uint8_t* block, lc_ds_update* u) {
    const uint8_t* a = block + TARN_DS_UPDATE_ATTR;
    u->mask = tarn_wire_get_u32(block, TARN_DS_UPDATE_MASK);
    u->mode = tarn_wire_get_u32(a, TARN_DS_ATTR_MODE);
    u->uid = tarn_wire_get_u32(a, TARN_DS_ATTR_UID);
    u->gid = tarn_wire_get_u32(a, TARN_DS_ATTR_GID);
    u->size = tarn_wire_get_u64(a, TARN_DS_ATTR_SIZE);
    u->atime = tarn_wire_get_time(a, TARN_DS_ATTR_ATIME);
    u->mtime = tarn_wire_get_time(a, TARN_DS_ATTR_MTIME);
}

void lc_ds_update_from_mds(const uint8_t* block, lc_ds_update* u) {
    const uint8_t* a = block + TARN_MDS_UPDATE_ATTR;
    uint32_t m = tarn_wire_get_u32(block, TARN_MDS_UPDATE_MASK);
    // The DS numbering leaves 0x2 unused: every bit after the mode moves up one.
    u->mask = (m & TARN_MDS_SET_MODE) | ((m & 0xfe) << 1);
    u->mode = tarn_wire_get_u32(a, TARN_MDS_ATTR_MODE);
    u->uid = tarn_wire_get_u32(a, TARN_MDS_ATTR_UID);
    u->gid = tarn_wire_get_u32(a, TARN_MDS_ATTR_GID);
    u->size = tarn_wire_get_u64(a, TARN_MDS_ATTR_SIZE);
    u->atime = tarn_wire_get_time(a, TARN_MDS_ATTR_ATIME);
    u->mtime = tarn_wire_get_time(a, TARN_MDS_ATTR_MTIME);
}

void lc_ds_attrs_put(uint8_t* p, const lc_ds_attrs* a) {
    memset(p, 0, TARN_DS_ATTR_BYTES);
    tarn_wire_put_u64(p, TARN_DS_ATTR_INODE_NUM, a->file_id);
    tarn_wire_put_u32(p, TARN_DS_ATTR_MODE, a->mode & 07777);
    tarn_wire_put_u32(p, TARN_DS_ATTR_NLINKS, a->nlinks);
    tarn_wire_put_u32(p, TARN_DS_ATTR_UID, a->uid);
    tarn_wire_put_u32(p, TARN_DS_ATTR_GID, a->gid);
    tarn_wire_put_u64(p, TARN_DS_ATTR_SIZE, a->size);
    tarn_wire_put_u64(p, TARN_DS_ATTR_SPACE_USED, a->space_used);
    tarn_wire_put_time(p, TARN_DS_ATTR_ATIME, a->atime);
    tarn_wire_put_time(p, TARN_DS_ATTR_MTIME, a->mtime);
    tarn_wire_put_time(p, TARN_DS_ATTR_CTIME, a->ctime);
}

void lc_ds_post_op_put(uint8_t* p, const lc_ds_attrs* a) {
    memset(p, 0, TARN_POST_OP_BYTES);
    tarn_wire_put_u8(p, TARN_POST_OP_PRESENT, TARN_WIRE_PRESENT);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE1, a->size);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE2, a->space_used);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE3, a->file_id);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE4, a->attr_version);
    tarn_wire_put_time(p, TARN_POST_OP_TIME1, a->mtime);
    tarn_wire_put_time(p, TARN_POST_OP_TIME2, a->ctime);
}

void lc_ds_wcc_put(uint8_t* p, const lc_ds_attrs* pre, const lc_ds_attrs* post) {
    memset(p, 0, TARN_WCC_POST);
    tarn_wire_put_u8(p, TARN_WCC_PRE_PRESENT, TARN_WIRE_PRESENT);
    tarn_wire_put_u64(p, TARN_WCC_PRE_VALUE, pre->size);
    tarn_wire_put_time(p, TARN_WCC_PRE_TIME1, pre->mtime);
    tarn_wire_put_time(p, TARN_WCC_PRE_TIME2, pre->ctime);
    lc_ds_post_op_put(p + TARN_WCC_POST, post);
}

// ---------------------------------------------------------------- the disk

lc_ds_disk* lc_ds_disk_create(lc_pool* pool, uint32_t vdisk_count, bool xattrs) {
    auto* d = new lc_ds_disk;
    d->pool = pool;
    d->vdisk_count = vdisk_count;
    d->xattrs = xattrs;
    d->per_vdisk = std::make_unique<VdiskCount[]>(vdisk_count ? vdisk_count : 1);
    return d;
}

void lc_ds_disk_destroy(lc_ds_disk* d) { delete d; }

void lc_ds_disk_set_push(lc_ds_disk* d, lc_ds_push_fn fn, void* ctx) {
    std::unique_lock g(d->hook_mu);
    d->hook = fn;
    d->hook_ctx = ctx;
}

lc_ds_result lc_ds_disk_read(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, uint32_t count,
                             uint8_t* buf, uint32_t* n, bool* eof, lc_ds_attrs* post) {
    *n = 0;
    *eof = true;
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    std::shared_lock g(o->lock);
    if (o->deleted) return LC_DS_NOT_FOUND;
    uint64_t size = o->a.size;
    uint32_t got = 0;
    if (offset < size) got = uint32_t(std::min<uint64_t>({count, size - offset, LC_DS_MAX_IO}));
    if (got) {
        if (o->body)
            lc_pages_read(&o->body->pages, offset, buf, got);
        else
            memset(buf, 0, got);
    }
    *n = got;
    *eof = offset + got >= size;
    fill(post, *o);
    return LC_DS_OK;
}

lc_ds_result lc_ds_disk_write(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, const uint8_t* data,
                              uint32_t len, bool stable, lc_ds_attrs* pre, lc_ds_attrs* post) {
    return change_object(d, file_id, vdisk, pre, post, [&](Obj* o, bool* changed) {
        if (len == 0) return LC_DS_OK;
        if (len > LC_DS_MAX_IO) return LC_DS_INVALID;
        if (offset > LC_DS_MAX_END - len) return LC_DS_TOO_LARGE;
        uint64_t end = offset + len;
        // The write-beyond-free break stores the data without its blocks.
        if (!take_blocks(d, o, offset, end, true) && !broken(d, LC_BREAK_WRITE_BEYOND_FREE)) return LC_DS_NO_SPACE;
        ObjBody* b = o->body.get();
        std::vector<uint64_t> fresh;
        if (broken(d, LC_BREAK_HOLE_STALE_BYTES))
            for (uint64_t idx = offset / LC_DS_PAGE; idx < blocks_up_to(end); idx++)
                if (!b->pages.pages.count(idx)) fresh.push_back(idx);
        size_t created = lc_pages_write(&b->pages, offset, data, len);
        if (created) d->pages.fetch_add(created, std::memory_order_relaxed);
        if (!fresh.empty()) fill_stale(d, &b->pages, fresh, offset, end);
        if (!stable)
            lc_extents_add(b->need_unstable(), offset, end);
        else if (b->unstable && lc_extents_remove(b->unstable.get(), offset, end) && b->unstable->runs.empty())
            b->unstable.reset();
        uint64_t now = now_ns(d);
        o->a.size = std::max(o->a.size, end);
        o->a.mtime = now;
        o->a.ctime = now;
        o->a.attr_version++;
        set_space(o);
        *changed = true;
        return LC_DS_OK;
    });
}

lc_ds_result lc_ds_disk_commit(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, lc_ds_attrs* pre, lc_ds_attrs* post) {
    // The attributes stay as they are, but a commit still pushes them.
    return change_object(d, file_id, vdisk, pre, post, [d](Obj* o, bool* changed) {
        if (o->body && !(d->breaks.load() & LC_BREAK_LOSE_COMMITTED)) o->body->unstable.reset();
        *changed = true;
        return LC_DS_OK;
    });
}

lc_ds_result lc_ds_disk_get_attrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, lc_ds_attrs* out) {
    ObjRef o = find(d, file_id, vdisk);
    if (!o) return LC_DS_NOT_FOUND;
    std::shared_lock g(o->lock);
    if (o->deleted) return LC_DS_NOT_FOUND;
    fill(out, *o);
    return LC_DS_OK;
}

lc_ds_result lc_ds_disk_set_attrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, const lc_ds_update* u,
                                  uint64_t guard, lc_ds_attrs* pre, lc_ds_attrs* post) {
    return set_attrs_common(d, file_id, vdisk, u, guard, pre, post, true);
}

lc_ds_result lc_ds_disk_allocate(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, uint64_t length,
                                 lc_ds_attrs* pre, lc_ds_attrs* post) {
    return change_object(d, file_id, vdisk, pre, post, [&](Obj* o, bool* changed) {
        if (length == 0) return LC_DS_INVALID;
        if (offset > LC_DS_MAX_END || length > LC_DS_MAX_END - offset) return LC_DS_TOO_LARGE;
        uint64_t end = offset + length;
        if (!take_blocks(d, o, offset, end, false)) {
            // The fallocate-partial break: what fits is taken and kept.
            if (broken(d, LC_BREAK_FALLOCATE_PARTIAL))
                while (!lc_pool_reserve(d->pool, o->a.vdisk, lc_pool_vdisk_free_blocks(d->pool, o->a.vdisk))) {
                }
            return LC_DS_NO_SPACE;
        }
        o->a.size = std::max(o->a.size, end);
        o->a.ctime = now_ns(d);
        o->a.attr_version++;
        set_space(o);
        *changed = true;
        return LC_DS_OK;
    });
}

lc_ds_result lc_ds_disk_xattr_get(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name, void* buf,
                                  size_t capacity, size_t* vlen) {
    *vlen = 0;
    return read_xattrs(d, file_id, vdisk,
                       [&](const lc_xattrs* x) { return lc_xattrs_get(x, name, buf, capacity, vlen); });
}

lc_ds_result lc_ds_disk_xattr_list(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, void* buf, size_t capacity,
                                   size_t* needed) {
    *needed = 0;
    return read_xattrs(d, file_id, vdisk,
                       [&](const lc_xattrs* x) { return lc_xattrs_list(x, buf, capacity, needed); });
}

lc_ds_result lc_ds_disk_xattr_set(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name,
                                  const void* value, size_t len, uint32_t mode) {
    if (d->breaks.load() & LC_BREAK_XATTR_SET_DROPPED)
        return read_xattrs(d, file_id, vdisk, [](const lc_xattrs*) { return LC_XATTR_OK; });
    return change_xattrs(d, file_id, vdisk,
                       [&](lc_xattrs* x) { return lc_xattrs_set(x, name, value, len, mode); });
}

lc_ds_result lc_ds_disk_xattr_remove(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name) {
    return change_xattrs(d, file_id, vdisk, [&](lc_xattrs* x) { return lc_xattrs_remove(x, name); });
}

lc_ds_result lc_ds_disk_usage(lc_ds_disk* d, uint32_t vdisk, lc_ds_usage* out) {
    if (vdisk >= d->vdisk_count) return LC_DS_INVALID;
    out->pool_total_bytes = lc_pool_total_blocks(d->pool) * LC_DS_PAGE;
    out->pool_free_bytes = lc_pool_free_blocks(d->pool) * LC_DS_PAGE;
    out->allocated_bytes = d->per_vdisk[vdisk].blocks.load(std::memory_order_relaxed) * LC_DS_PAGE;
    out->objects = d->per_vdisk[vdisk].objects.load(std::memory_order_relaxed);
    return LC_DS_OK;
}

// ---------------------------------------------------------------- metadata server calls

lc_ds_result lc_ds_disk_create_object(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, const lc_ds_update* u,
                                      uint32_t cred_uid, uint32_t cred_gid, lc_ds_attrs* out) {
    if (vdisk >= d->vdisk_count) return LC_DS_INVALID;
    lc_ds_update none;
    if (!u) u = &none;
    auto o = std::make_shared<Obj>();
    lc_ds_result r = check_update(*o, u, 0);
    if (r != LC_DS_OK) return r;
    uint64_t now = now_ns(d);
    lc_ds_attrs& a = o->a;
    a.file_id = file_id;
    a.vdisk = vdisk;
    a.mode = 0644;
    a.nlinks = 1;
    a.uid = cred_uid;
    a.gid = cred_gid;
    a.atime = a.mtime = a.ctime = now;
    apply_update(d, o.get(), u, now);
    a.attr_version = 1;
    std::unique_lock g(d->map_mu);
    if (!d->objects.emplace(file_id, o).second) return LC_DS_EXISTS;
    d->per_vdisk[vdisk].objects.fetch_add(1, std::memory_order_relaxed);
    fill(out, *o);
    return LC_DS_OK;
}

lc_ds_result lc_ds_disk_set_nlinks(lc_ds_disk* d, uint64_t file_id, uint32_t nlinks, lc_ds_attrs* out) {
    ObjRef o = find(d, file_id, LC_DS_ANY_VDISK);
    if (!o) return LC_DS_NOT_FOUND;
    std::unique_lock g(o->lock);
    if (o->deleted) return LC_DS_NOT_FOUND;
    o->a.nlinks = nlinks;
    o->a.ctime = now_ns(d);
    o->a.attr_version++;
    fill(out, *o);
    return LC_DS_OK;
}

lc_ds_result lc_ds_disk_mds_set_attrs(lc_ds_disk* d, uint64_t file_id, const lc_ds_update* u, uint64_t guard,
                                      lc_ds_attrs* pre, lc_ds_attrs* post) {
    return set_attrs_common(d, file_id, LC_DS_ANY_VDISK, u, guard, pre, post, false);
}

lc_ds_result lc_ds_disk_delete_object(lc_ds_disk* d, uint64_t file_id) {
    ObjRef o;
    size_t pages = 0;
    {
        std::unique_lock g(d->map_mu);
        auto it = d->objects.find(file_id);
        if (it == d->objects.end()) return LC_DS_NOT_FOUND;
        o = std::move(it->second);
        d->objects.erase(it);
    }
    {
        std::unique_lock g(o->lock);
        o->deleted = true;
        if (o->body) {
            ObjBody* b = o->body.get();
            if (b->blocks.count) {
                lc_pool_release(d->pool, o->a.vdisk, b->blocks.count);
                d->per_vdisk[o->a.vdisk].blocks.fetch_sub(b->blocks.count, std::memory_order_relaxed);
            }
            keep_stale_page(d, b->pages);
            pages = lc_pages_clear(&b->pages);
            if (pages) d->pages.fetch_sub(pages, std::memory_order_relaxed);
            o->body.reset();
        }
        d->per_vdisk[o->a.vdisk].objects.fetch_sub(1, std::memory_order_relaxed);
    }
    {
        std::lock_guard g(d->dirty_mu);
        d->dirty.erase(file_id);
    }
    if (pages) return_freed_pages(pages);
    return LC_DS_OK;
}

// ---------------------------------------------------------------- replication

lc_ds_result lc_ds_disk_snapshot(lc_ds_disk* d, uint64_t file_id, lc_ds_attrs* out) {
    return lc_ds_disk_get_attrs(d, file_id, LC_DS_ANY_VDISK, out);
}

void lc_ds_disk_mark_dirty(lc_ds_disk* d, uint64_t file_id) {
    std::lock_guard g(d->dirty_mu);
    d->dirty.insert(file_id);
}

size_t lc_ds_disk_dirty_count(lc_ds_disk* d) {
    std::lock_guard g(d->dirty_mu);
    return d->dirty.size();
}

std::vector<uint64_t> lc_ds_disk_dirty_ids(lc_ds_disk* d) {
    std::lock_guard g(d->dirty_mu);
    return std::vector<uint64_t>(d->dirty.begin(), d->dirty.end());
}

void lc_ds_disk_dirty_done(lc_ds_disk* d, uint64_t file_id, uint64_t pushed_version) {
    ObjRef o = find(d, file_id, LC_DS_ANY_VDISK);
    if (o) {
        // The object lock keeps a change from slipping in between the
        // version check and the erase.
        std::shared_lock g(o->lock);
        if (!o->deleted && o->a.attr_version > pushed_version) return;
        std::lock_guard dg(d->dirty_mu);
        d->dirty.erase(file_id);
        return;
    }
    std::lock_guard dg(d->dirty_mu);
    d->dirty.erase(file_id);
}

size_t lc_ds_disk_flush_dirty(lc_ds_disk* d, lc_ds_push_fn fn, void* ctx) {
    for (uint64_t id : lc_ds_disk_dirty_ids(d)) {
        lc_ds_attrs snap;
        if (lc_ds_disk_snapshot(d, id, &snap) != LC_DS_OK) {
            lc_ds_disk_dirty_done(d, id, UINT64_MAX);
            continue;
        }
        if (!fn(ctx, &snap)) break;
        lc_ds_disk_dirty_done(d, id, snap.attr_version);
    }
    return lc_ds_disk_dirty_count(d);
}

// ---------------------------------------------------------------- crash support and inspection

void lc_ds_disk_set_breaks(lc_ds_disk* d, uint64_t breaks) { d->breaks = breaks; }

void lc_ds_disk_lose_unstable(lc_ds_disk* d) {
    std::vector<ObjRef> all;
    {
        std::shared_lock g(d->map_mu);
        all.reserve(d->objects.size());
        for (auto& [id, o] : d->objects) all.push_back(o);
    }
    for (ObjRef& o : all) {
        std::unique_lock g(o->lock);
        if (o->deleted || !o->body || !o->body->unstable) continue;
        ObjBody* b = o->body.get();
        for (auto& [start, end] : b->unstable->runs) lc_pages_fill_existing(&b->pages, start, end - start, 0xDB);
        b->unstable.reset();
    }
}

size_t lc_ds_disk_object_count(lc_ds_disk* d) {
    std::shared_lock g(d->map_mu);
    return d->objects.size();
}

std::vector<uint64_t> lc_ds_disk_object_ids(lc_ds_disk* d) {
    std::vector<uint64_t> ids;
    {
        std::shared_lock g(d->map_mu);
        ids.reserve(d->objects.size());
        for (auto& [id, o] : d->objects) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

uint64_t lc_ds_disk_page_count(lc_ds_disk* d) { return d->pages.load(std::memory_order_relaxed); }

uint64_t lc_ds_disk_breaks(const lc_ds_disk* d) { return d->pool->breaks; }
