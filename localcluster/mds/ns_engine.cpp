#include "localcluster/mds/ns_engine.h"

#include <string.h>
#include <time.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "localcluster/breaks.h"
#include "localcluster/mds/ns_fold.h"

namespace {

constexpr uint32_t kNameMax = 255;
constexpr uint32_t kTargetMax = 4095;
constexpr uint32_t kModeMask = 07777;
constexpr uint32_t kDirMode = 0755;
constexpr uint32_t kSymlinkMode = 0777;
constexpr uint32_t kUpdateKnownBits = 0xFF;
// How many removed names a directory remembers under the remove-twice break.
constexpr size_t kRemovedRecord = 64;

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

struct ns_entry {
    std::string name;  // the spelling of the create or the last rename
    uint64_t file_id;
};

struct ns_dir {
    std::map<uint64_t, ns_entry> entries;  // by cookie (sequence number)
    uint64_t next_seq = 1;
    uint64_t parent = 0;  // the directory holding this one's name; the root's is itself
    uint32_t subdirs = 0;
    std::deque<std::string> removed;  // match keys of removed names, newest last (remove-twice only)
};

struct ns_inode {
    uint8_t type = 0;
    uint8_t hflags = 0;  // handle flags, fixed for the object's life
    uint16_t vdisk = TARN_VDISK_ID_NONE;
    uint32_t nlinks = 0;
    uint32_t mode = 0, uid = 0, gid = 0;
    uint64_t size = 0, space_used = 0;
    uint64_t atime = 0, mtime = 0, ctime = 0;
    uint64_t attr_version = 0;  // regular files: the DS version of the replica
    uint64_t change = 0;        // post-op change counter
    uint64_t verifier = 0;      // create / mkdir verifier
    std::unique_ptr<ns_dir> dir;
    std::unique_ptr<std::string> target;  // symlinks
    std::unique_ptr<lc_xattrs> xattrs;    // created on first use
};

// Durable values of a directory before an operation, for its wcc block.
struct ns_pre {
    uint64_t size, mtime, ctime;
};

ns_pre pre_of(const ns_inode& i) { return {i.size, i.mtime, i.ctime}; }

}  // namespace

struct lc_ns_disk {
    lc_ns_disk_config cfg;
    std::mutex mu;
    std::unordered_map<uint64_t, ns_inode> inodes;
    uint64_t next_id = 2;
    uint64_t live = 0;  // objects other than the root
    uint64_t files = 0, dirs = 0, symlinks = 0, names = 0;
    uint32_t rr = 0;  // next vdisk to try for a new file
    lc_ns* open = nullptr;
    uint64_t drift = 0;  // free files lost to the counter-drift break
    // The newest create of a regular file, for the drop-acked-create break.
    struct {
        uint64_t dir = 0, seq = 0, file_id = 0;
    } last_create;
    // Freed objects whose handles the freed-handle-reused break hands out
    // again, newest last: the file id and, for a regular file, its vdisk.
    struct freed_slot {
        uint64_t file_id;
        uint16_t vdisk;
    };
    std::vector<freed_slot> freed;
};

namespace {

bool broken(const lc_ns_disk* d, uint64_t rule) { return (d->cfg.breaks & rule) != 0; }

// The volatile name index: (directory, match key) -> entry.
struct ns_key {
    uint64_t dir;
    std::string key;
};

struct ns_key_view {
    uint64_t dir;
    std::string_view key;
};

struct ns_key_hash {
    using is_transparent = void;
    size_t operator()(const ns_key_view& k) const {
        return std::hash<std::string_view>()(k.key) ^ (k.dir * 0x9E3779B97F4A7C15ull);
    }
    size_t operator()(const ns_key& k) const { return (*this)(ns_key_view{k.dir, k.key}); }
};

struct ns_key_eq {
    using is_transparent = void;
    static ns_key_view v(const ns_key& k) { return {k.dir, k.key}; }
    static ns_key_view v(const ns_key_view& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        ns_key_view x = v(a), y = v(b);
        return x.dir == y.dir && x.key == y.key;
    }
};

struct ns_slot {
    uint64_t seq;
    uint64_t file_id;
};

using ns_index = std::unordered_map<ns_key, ns_slot, ns_key_hash, ns_key_eq>;

}  // namespace

struct lc_ns {
    lc_ns_disk* d;
    lc_ns_cluster_ops ops;
    ns_index index;
};

namespace {

using Lock = std::lock_guard<std::mutex>;

// ---------------------------------------------------------------- blocks

void put_attrs(const lc_ns_disk* d, uint64_t id, const ns_inode& i, uint8_t* p) {
    (void)d;
    memset(p, 0, TARN_MDS_ATTR_BYTES);
    tarn_wire_put_u16(p, TARN_MDS_ATTR_TYPE, i.type);
    tarn_wire_put_u16(p, TARN_MDS_ATTR_VDISK_ID, i.type == LC_NS_TYPE_FILE ? i.vdisk : TARN_VDISK_ID_NONE);
    tarn_wire_put_u64(p, TARN_MDS_ATTR_INODE_NUM, id);
    tarn_wire_put_u32(p, TARN_MDS_ATTR_MODE, i.mode & kModeMask);
    tarn_wire_put_u32(p, TARN_MDS_ATTR_NLINKS, i.nlinks);
    tarn_wire_put_u32(p, TARN_MDS_ATTR_UID, i.uid);
    tarn_wire_put_u32(p, TARN_MDS_ATTR_GID, i.gid);
    tarn_wire_put_u64(p, TARN_MDS_ATTR_SIZE, i.size);
    tarn_wire_put_u64(p, TARN_MDS_ATTR_SPACE_USED, i.space_used);
    tarn_wire_put_time(p, TARN_MDS_ATTR_ATIME, i.atime);
    tarn_wire_put_time(p, TARN_MDS_ATTR_MTIME, i.mtime);
    tarn_wire_put_time(p, TARN_MDS_ATTR_CTIME, i.ctime);
}

void put_post_op(uint64_t id, const ns_inode& i, uint8_t* p) {
    memset(p, 0, TARN_POST_OP_BYTES);
    tarn_wire_put_u8(p, TARN_POST_OP_PRESENT, TARN_WIRE_PRESENT);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE1, i.size);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE2, i.space_used);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE3, id);
    tarn_wire_put_u64(p, TARN_POST_OP_VALUE4, i.change);
    tarn_wire_put_time(p, TARN_POST_OP_TIME1, i.mtime);
    tarn_wire_put_time(p, TARN_POST_OP_TIME2, i.ctime);
}

void post_op_out(uint64_t id, const ns_inode& i, lc_ns_post_op* out) {
    if (!out) return;
    out->present = true;
    put_post_op(id, i, out->b);
}

void wcc_out(uint64_t id, const ns_pre& pre, const ns_inode& i, lc_ns_wcc* out) {
    if (!out) return;
    out->present = true;
    uint8_t* p = out->b;
    memset(p, 0, TARN_WCC_BYTES);
    tarn_wire_put_u8(p, TARN_WCC_PRE_PRESENT, TARN_WIRE_PRESENT);
    tarn_wire_put_u64(p, TARN_WCC_PRE_VALUE, pre.size);
    tarn_wire_put_time(p, TARN_WCC_PRE_TIME1, pre.mtime);
    tarn_wire_put_time(p, TARN_WCC_PRE_TIME2, pre.ctime);
    put_post_op(id, i, p + TARN_WCC_POST);
}

// The wcc of an unchanged directory (error replies).
void wcc_same(uint64_t id, const ns_inode& i, lc_ns_wcc* out) { wcc_out(id, pre_of(i), i, out); }

void obj_out(const lc_ns_disk* d, uint64_t id, const ns_inode& i, lc_ns_obj* out) {
    if (!out) return;
    lc_ns_make_handle(d->cfg.fs_id, id, i.type, i.hflags, &out->handle);
    put_attrs(d, id, i, out->attrs);
}

// ---------------------------------------------------------------- handles and names

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// 0 with the object, 5 for a malformed handle or a type that is not the
// object's, 8 for an unknown or freed file id.
uint32_t resolve(lc_ns_disk* d, const uint8_t* h, uint64_t* id, ns_inode** ino) {
    uint8_t len = tarn_wire_get_u8(h, TARN_MDS_HANDLE_LENGTH);
    if (len < TARN_MDS_HANDLE_MIN_LEN || len > TARN_MDS_HANDLE_MAX_LEN) return TARN_MDS_INVAL;
    if (tarn_wire_get_u64(h, 12) != d->cfg.fs_id) return TARN_MDS_INVAL;
    uint64_t fid = tarn_wire_get_u64(h, TARN_MDS_HANDLE_FILE_ID);
    auto it = d->inodes.find(fid);
    if (it == d->inodes.end()) return TARN_MDS_NOT_FOUND;
    if (tarn_wire_get_u8(h, TARN_MDS_HANDLE_TYPE) != it->second.type) return TARN_MDS_INVAL;
    *id = fid;
    *ino = &it->second;
    return TARN_MDS_OK;
}

ns_inode* inode_of(lc_ns_disk* d, uint64_t id) {
    auto it = d->inodes.find(id);
    return it == d->inodes.end() ? nullptr : &it->second;
}

bool name_ok(std::string_view n) {
    return !n.empty() && n.size() <= kNameMax && n != "." && n != ".." && n.find('/') == std::string_view::npos;
}

// The index key of a name: the name itself, or its fold on a
// case-insensitive file system (kept in *buf).
std::string_view match_key(const lc_ns_disk* d, std::string_view name, std::string* buf) {
    if (!d->cfg.ci) return name;
    if (broken(d, LC_BREAK_CI_ASCII_FOLD)) {
        buf->assign(name);
        for (char& c : *buf)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return *buf;
    }
    lc_ns_fold_name(name, buf);
    return *buf;
}

ns_slot* find_entry(lc_ns* ns, uint64_t dir, std::string_view name, std::string* buf) {
    auto it = ns->index.find(ns_key_view{dir, match_key(ns->d, name, buf)});
    return it == ns->index.end() ? nullptr : &it->second;
}

void add_entry(lc_ns* ns, uint64_t dir_id, ns_inode& dir, std::string_view name, uint64_t file_id) {
    uint64_t seq = dir.dir->next_seq++;
    dir.dir->entries.emplace(seq, ns_entry{std::string(name), file_id});
    std::string buf;
    ns->index.emplace(ns_key{dir_id, std::string(match_key(ns->d, name, &buf))}, ns_slot{seq, file_id});
    ns->d->names++;
}

// Drops the entry that `name` matches (it must exist).
void drop_entry(lc_ns* ns, uint64_t dir_id, ns_inode& dir, std::string_view name) {
    std::string buf;
    auto it = ns->index.find(ns_key_view{dir_id, match_key(ns->d, name, &buf)});
    dir.dir->entries.erase(it->second.seq);
    ns->index.erase(it);
    ns->d->names--;
}

void touch_dir(ns_inode& dir, uint64_t now) {
    dir.mtime = dir.ctime = now;
    dir.change++;
}

// ---------------------------------------------------------------- DS side

uint32_t ds_status(lc_ds_result r) {
    switch (r) {
        case LC_DS_OK: return TARN_MDS_OK;
        case LC_DS_NOT_FOUND: return TARN_MDS_NOT_FOUND;
        case LC_DS_EXISTS: return TARN_MDS_EXISTS;
        case LC_DS_INVALID: return TARN_MDS_INVAL;
        case LC_DS_CONFLICT: return TARN_MDS_CONFLICT;
        case LC_DS_NO_SPACE: return TARN_MDS_NO_SPACE;
        case LC_DS_TOO_LARGE:
        case LC_DS_TOO_BIG:
        case LC_DS_BUFFER_SMALL: return TARN_MDS_TOO_BIG;
    }
    return TARN_MDS_INVAL;
}

lc_ds_disk* ds_of(lc_ns* ns, uint16_t vdisk) { return ns->ops.ds_disk ? ns->ops.ds_disk(ns->ops.ctx, vdisk) : nullptr; }

bool repl_disabled(lc_ns* ns, uint16_t vdisk) {
    return ns->ops.replication_disabled && ns->ops.replication_disabled(ns->ops.ctx, vdisk);
}

void replica_from(ns_inode& i, const lc_ds_attrs& a) {
    i.mode = a.mode & kModeMask;
    i.uid = a.uid;
    i.gid = a.gid;
    i.size = a.size;
    i.space_used = a.space_used;
    i.atime = a.atime;
    i.mtime = a.mtime;
    i.ctime = a.ctime;
    i.attr_version = a.attr_version;
    i.change++;
}

// The DS object takes a file's new link count; the replica takes the
// attributes that come back, unless replication is off on that DS, which
// then owes the MDS a push.
uint32_t ds_set_nlinks(lc_ns* ns, uint64_t id, ns_inode& i, uint32_t nlinks) {
    lc_ds_disk* ds = ds_of(ns, i.vdisk);
    if (!ds) return TARN_MDS_SERVER_FAULT;
    lc_ds_attrs a;
    lc_ds_result r = lc_ds_disk_set_nlinks(ds, id, nlinks, &a);
    if (r != LC_DS_OK) return ds_status(r);
    i.nlinks = nlinks;
    if (repl_disabled(ns, i.vdisk)) {
        lc_ds_disk_mark_dirty(ds, id);
        i.change++;
    } else {
        replica_from(i, a);
    }
    return TARN_MDS_OK;
}

uint16_t pick_vdisk(lc_ns* ns) {
    lc_ns_disk* d = ns->d;
    uint16_t v_count = d->cfg.vdisks;
    for (uint16_t k = 0; k < v_count; k++) {
        uint16_t v = uint16_t((d->rr + k) % v_count);
        if (!ns->ops.vdisk_mounted || ns->ops.vdisk_mounted(ns->ops.ctx, v)) {
            d->rr = (v + 1u) % v_count;
            return v;
        }
    }
    uint16_t v = uint16_t(d->rr % v_count);
    d->rr = (v + 1u) % v_count;
    return v;
}

// Frees an object that has no name left.
void free_object(lc_ns* ns, uint64_t id) {
    lc_ns_disk* d = ns->d;
    auto it = d->inodes.find(id);
    ns_inode& i = it->second;
    if (i.type == LC_NS_TYPE_FILE) {
        if (lc_ds_disk* ds = ds_of(ns, i.vdisk)) lc_ds_disk_delete_object(ds, id);
        d->files--;
    } else if (i.type == LC_NS_TYPE_DIR) {
        d->dirs--;
    } else {
        d->symlinks--;
    }
    if (broken(d, LC_BREAK_FREED_HANDLE_REUSED))
        d->freed.push_back({id, i.type == LC_NS_TYPE_FILE ? i.vdisk : uint16_t(TARN_VDISK_ID_NONE)});
    d->live--;
    d->inodes.erase(it);
}

// The file id of a new object, and *vdisk for a new regular file: a fresh
// id, or under the freed-handle-reused break the newest freed one (with
// the vdisk it was on). Give it back with give_back_id when the create
// fails after all.
uint64_t take_id(lc_ns* ns, uint16_t* vdisk) {
    lc_ns_disk* d = ns->d;
    if (!d->freed.empty()) {
        lc_ns_disk::freed_slot f = d->freed.back();
        d->freed.pop_back();
        if (vdisk) *vdisk = f.vdisk != TARN_VDISK_ID_NONE && f.vdisk < d->cfg.vdisks ? f.vdisk : pick_vdisk(ns);
        return f.file_id;
    }
    if (vdisk) *vdisk = pick_vdisk(ns);
    return d->next_id++;
}

void give_back_id(lc_ns* ns, uint64_t id, uint16_t vdisk) {
    if (broken(ns->d, LC_BREAK_FREED_HANDLE_REUSED)) ns->d->freed.push_back({id, vdisk});
}

uint64_t free_files(const lc_ns_disk* d) {
    uint64_t used = d->live + d->drift;
    return used >= d->cfg.total_files ? 0 : d->cfg.total_files - used;
}

uint32_t unlink_name(lc_ns* ns, uint64_t dir_id, ns_inode& dir, std::string_view name, uint64_t child_id,
                     uint64_t now);

// Whether a directory holds entries that keep it from being removed:
// any entry, or under the rmdir-counts-files-only break any that is not
// itself a directory.
bool dir_busy(lc_ns_disk* d, const ns_inode& di) {
    if (!broken(d, LC_BREAK_RMDIR_COUNTS_FILES_ONLY)) return !di.dir->entries.empty();
    for (auto& [seq, e] : di.dir->entries)
        if (inode_of(d, e.file_id)->type != LC_NS_TYPE_DIR) return true;
    return false;
}

// Takes every name out of a directory, those of its subdirectories first,
// so that the directory can go without leaving objects unreachable. Only
// the rmdir-counts-files-only break lets a directory with entries go; a DS
// error on the way leaves what was already taken out gone.
uint32_t empty_tree(lc_ns* ns, uint64_t dir_id, ns_inode& dir, uint64_t now) {
    while (!dir.dir->entries.empty()) {
        const ns_entry e = dir.dir->entries.begin()->second;
        ns_inode* ci = inode_of(ns->d, e.file_id);
        if (ci->type == LC_NS_TYPE_DIR) {
            uint32_t st = empty_tree(ns, e.file_id, *ci, now);
            if (st != TARN_MDS_OK) return st;
        }
        uint32_t st = unlink_name(ns, dir_id, dir, e.name, e.file_id, now);
        if (st != TARN_MDS_OK) return st;
    }
    return TARN_MDS_OK;
}

// The free files a create may take: those above the reserve.
uint64_t avail_files(const lc_ns_disk* d) {
    uint64_t f = free_files(d);
    return f > d->cfg.files_reserve ? f - d->cfg.files_reserve : 0;
}

// Takes `name`, which names `child_id`, out of directory `dir_id`, with what
// that does to link counts, and frees the object with its last name. 13 for
// a non-empty directory, or the DS's answer; nothing changes then.
uint32_t unlink_name(lc_ns* ns, uint64_t dir_id, ns_inode& dir, std::string_view name, uint64_t child_id,
                     uint64_t now) {
    ns_inode* ci = inode_of(ns->d, child_id);
    if (ci->type == LC_NS_TYPE_DIR) {
        if (dir_busy(ns->d, *ci)) return TARN_MDS_NOT_EMPTY;
        uint32_t st = empty_tree(ns, child_id, *ci, now);
        if (st != TARN_MDS_OK) return st;
    }
    bool freed = false;
    if (ci->type == LC_NS_TYPE_DIR) {
        dir.dir->subdirs--;
        dir.nlinks--;
        freed = true;
    } else if (ci->nlinks <= 1) {
        freed = true;
    } else if (ci->type == LC_NS_TYPE_FILE) {
        uint32_t st = ds_set_nlinks(ns, child_id, *ci, ci->nlinks - 1);
        if (st != TARN_MDS_OK) return st;
    } else {
        ci->nlinks--;
        ci->ctime = now;
        ci->change++;
    }
    drop_entry(ns, dir_id, dir, name);
    if (freed) free_object(ns, child_id);
    return TARN_MDS_OK;
}

// The remove-twice break: a directory remembers the last names removed from it.
void remember_removed(ns_inode& dir, std::string_view key) {
    auto& r = dir.dir->removed;
    for (auto it = r.begin(); it != r.end(); ++it) {
        if (*it == key) {
            r.erase(it);
            break;
        }
    }
    r.emplace_back(key);
    if (r.size() > kRemovedRecord) r.pop_front();
}

bool was_removed(const ns_inode& dir, std::string_view key) {
    for (const std::string& k : dir.dir->removed)
        if (k == key) return true;
    return false;
}

// The drop-acked-create break: an instance comes up without the newest
// create of a regular file, answered though it was, while that file still
// has just the name it was created with. Runs before the index is built.
void drop_last_create(lc_ns* ns) {
    lc_ns_disk* d = ns->d;
    auto last = d->last_create;
    d->last_create = {};
    if (last.file_id == 0) return;
    ns_inode* dir = inode_of(d, last.dir);
    if (!dir || !dir->dir) return;
    auto e = dir->dir->entries.find(last.seq);
    if (e == dir->dir->entries.end() || e->second.file_id != last.file_id) return;
    ns_inode* f = inode_of(d, last.file_id);
    if (!f || f->nlinks != 1) return;
    dir->dir->entries.erase(e);
    d->names--;
    free_object(ns, last.file_id);
}

// Owner and times of a new directory or symlink from an MDS update block.
void init_from_update(ns_inode& i, const lc_ns_cred& cred, const uint8_t* u, uint64_t now) {
    uint32_t mask = tarn_wire_get_u32(u, TARN_MDS_UPDATE_MASK);
    const uint8_t* a = u + TARN_MDS_UPDATE_ATTR;
    i.uid = (mask & TARN_MDS_SET_UID) ? tarn_wire_get_u32(a, TARN_MDS_ATTR_UID) : cred.uid;
    i.gid = (mask & TARN_MDS_SET_GID) ? tarn_wire_get_u32(a, TARN_MDS_ATTR_GID) : cred.gid;
    i.atime = (mask & TARN_MDS_SET_ATIME) && !(mask & TARN_MDS_SET_ATIME_NOW)
                  ? tarn_wire_get_time(a, TARN_MDS_ATTR_ATIME)
                  : now;
    i.mtime = (mask & TARN_MDS_SET_MTIME) && !(mask & TARN_MDS_SET_MTIME_NOW)
                  ? tarn_wire_get_time(a, TARN_MDS_ATTR_MTIME)
                  : now;
    i.ctime = now;
}

// Common start of the calls that change one name of a directory: an
// `early` status of the request itself wins; then the directory resolved
// and checked, then the name. On an error *status is set, and the
// directory's wcc filled whenever it is a live directory.
bool prepare_name(lc_ns* ns, const uint8_t* dir, std::string_view name, uint32_t early, uint64_t* dir_id,
                  ns_inode** d_ino, lc_ns_wcc* wcc, uint32_t* status) {
    uint32_t st = resolve(ns->d, dir, dir_id, d_ino);
    bool is_dir = st == TARN_MDS_OK && (*d_ino)->type == LC_NS_TYPE_DIR;
    if (st == TARN_MDS_OK && !is_dir) st = TARN_MDS_NOT_DIR;
    if (early != TARN_MDS_OK)
        st = early;
    else if (st == TARN_MDS_OK && !name_ok(name))
        st = TARN_MDS_INVAL;
    if (st == TARN_MDS_OK) return true;
    if (is_dir) wcc_same(*dir_id, **d_ino, wcc);
    *status = st;
    return false;
}

lc_ns_obj* obj_ptr(lc_ns_create_out* o) { return o ? &o->obj : nullptr; }
lc_ns_wcc* wcc_ptr(lc_ns_create_out* o) { return o ? &o->dir_wcc : nullptr; }
lc_ns_obj* obj_ptr(lc_ns_mkobj_out* o) { return o ? &o->obj : nullptr; }
lc_ns_wcc* wcc_ptr(lc_ns_mkobj_out* o) { return o ? &o->dir_wcc : nullptr; }

// Whether a new object may take `name` in the directory. When not, *status
// is set and the directory's wcc filled: a name taken by the same object
// (`repeat` says so of the one there) answers TARN_MDS_OK with that
// object, another one TARN_MDS_EXISTS; no free file gives
// TARN_MDS_NO_SPACE.
template <typename Repeat>
bool name_available(lc_ns* ns, uint64_t dir_id, const ns_inode& di, std::string_view name, Repeat repeat,
                    lc_ns_obj* obj, lc_ns_wcc* wcc, uint32_t* status) {
    lc_ns_disk* d = ns->d;
    std::string buf;
    if (ns_slot* s = find_entry(ns, dir_id, name, &buf)) {
        ns_inode* ex = inode_of(d, s->file_id);
        wcc_same(dir_id, di, wcc);
        if (repeat(*ex)) {
            obj_out(d, s->file_id, *ex, obj);
            *status = TARN_MDS_OK;
        } else {
            *status = TARN_MDS_EXISTS;
        }
        return false;
    }
    if (avail_files(d) == 0) {
        wcc_same(dir_id, di, wcc);
        *status = TARN_MDS_NO_SPACE;
        return false;
    }
    return true;
}

// Where an xattr call keeps the object's attributes: 5 when they live on
// the DS.
uint32_t xattr_target(lc_ns* ns, const uint8_t* h, ns_inode** ino) {
    uint64_t id;
    uint32_t st = resolve(ns->d, h, &id, ino);
    if (st != TARN_MDS_OK) return st;
    if ((*ino)->hflags & TARN_MDS_HANDLE_XATTRS_ON_DS) return TARN_MDS_INVAL;
    return TARN_MDS_OK;
}

uint32_t xattr_status(lc_xattr_result r) {
    switch (r) {
        case LC_XATTR_OK: return TARN_MDS_OK;
        case LC_XATTR_EXISTS: return TARN_MDS_EXISTS;
        case LC_XATTR_NOT_FOUND: return TARN_MDS_NOT_FOUND;
        case LC_XATTR_INVALID: return TARN_MDS_INVAL;
        case LC_XATTR_TOO_BIG: return TARN_MDS_TOO_BIG;
        case LC_XATTR_NO_SPACE: return TARN_MDS_NO_SPACE;
        case LC_XATTR_BUFFER_SMALL: return TARN_MDS_TOO_BIG;
    }
    return TARN_MDS_INVAL;
}

}  // namespace

// ---------------------------------------------------------------- disk and instance

lc_ns_disk* lc_ns_disk_create(const lc_ns_disk_config& config) {
    if (config.fs_id == 0 || config.vdisks == 0) return nullptr;
    auto* d = new lc_ns_disk;
    d->cfg = config;
    uint64_t t = config.start_time_ns ? config.start_time_ns : now_ns();
    ns_inode& root = d->inodes[LC_NS_ROOT_ID];
    root.type = LC_NS_TYPE_DIR;
    root.mode = kDirMode;
    root.nlinks = 2;
    root.atime = root.mtime = root.ctime = t;
    root.dir = std::make_unique<ns_dir>();
    root.dir->parent = LC_NS_ROOT_ID;
    return d;
}

void lc_ns_disk_destroy(lc_ns_disk* d) { delete d; }

lc_ns* lc_ns_open(lc_ns_disk* d, const lc_ns_cluster_ops& ops) {
    Lock g(d->mu);
    if (d->open) return nullptr;
    auto* ns = new lc_ns;
    ns->d = d;
    ns->ops = ops;
    if (broken(d, LC_BREAK_DROP_ACKED_CREATE)) drop_last_create(ns);
    if (broken(d, LC_BREAK_MKDIR_FORGETS_VERIFIER))
        for (auto& [id, ino] : d->inodes)
            if (ino.dir) ino.verifier = 0;
    ns->index.reserve(d->names);
    std::string buf;
    for (auto& [id, ino] : d->inodes) {
        if (!ino.dir) continue;
        for (auto& [seq, e] : ino.dir->entries)
            ns->index.emplace(ns_key{id, std::string(match_key(d, e.name, &buf))}, ns_slot{seq, e.file_id});
    }
    d->open = ns;
    return ns;
}

void lc_ns_close(lc_ns* ns) {
    if (!ns) return;
    {
        Lock g(ns->d->mu);
        ns->d->open = nullptr;
    }
    delete ns;
}

void lc_ns_make_handle(uint64_t fs_id, uint64_t file_id, uint8_t type, uint8_t flags, lc_ns_handle* out) {
    memset(out->b, 0, sizeof out->b);
    tarn_wire_put_u64(out->b, TARN_MDS_HANDLE_FILE_ID, file_id);
    tarn_wire_put_u8(out->b, TARN_MDS_HANDLE_TYPE, type);
    tarn_wire_put_u8(out->b, TARN_MDS_HANDLE_FLAGS, flags);
    tarn_wire_put_u64(out->b, 12, fs_id);
    tarn_wire_put_u8(out->b, TARN_MDS_HANDLE_LENGTH, LC_NS_HANDLE_LEN);
}

void lc_ns_root_handle(lc_ns* ns, lc_ns_handle* out) {
    lc_ns_make_handle(ns->d->cfg.fs_id, LC_NS_ROOT_ID, LC_NS_TYPE_DIR, 0, out);
}

// ---------------------------------------------------------------- lookup

uint32_t lc_ns_lookup(lc_ns* ns, const uint8_t* dir, std::string_view name, lc_ns_obj* out, lc_ns_post_op* dir_post) {
    // Syntax first: no missing object may beat a malformed path.
    if (name.empty()) {
        Lock g(ns->d->mu);
        uint64_t id;
        ns_inode* ino;
        if (!all_zero(dir, TARN_MDS_HANDLE_BYTES) && resolve(ns->d, dir, &id, &ino) == TARN_MDS_OK &&
            ino->type == LC_NS_TYPE_DIR)
            post_op_out(id, *ino, dir_post);
        return TARN_MDS_INVAL;
    }
    bool from_root = all_zero(dir, TARN_MDS_HANDLE_BYTES);
    bool self = false;
    uint32_t syntax = TARN_MDS_OK;
    std::string_view rest = name;
    if (from_root) {
        if (name == "/" || name == "/.")
            self = true;
        else if (name[0] != '/')
            syntax = TARN_MDS_INVAL;
        else
            rest = name.substr(1);
    } else if (name == ".") {
        self = true;
    }
    if (!self && syntax == TARN_MDS_OK) {
        size_t pos = 0;
        while (true) {
            size_t slash = rest.find('/', pos);
            std::string_view c =
                rest.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
            if (c.empty() || c == "." || c == "..") {
                syntax = TARN_MDS_INVAL;
                break;
            }
            if (slash == std::string_view::npos) break;
            pos = slash + 1;
        }
    }

    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t cur_id = LC_NS_ROOT_ID;
    ns_inode* cur = nullptr;
    if (from_root) {
        cur = inode_of(d, LC_NS_ROOT_ID);
    } else {
        uint32_t st = resolve(d, dir, &cur_id, &cur);
        if (st != TARN_MDS_OK) return syntax != TARN_MDS_OK ? syntax : st;
    }
    if (cur->type == LC_NS_TYPE_DIR) post_op_out(cur_id, *cur, dir_post);
    if (syntax != TARN_MDS_OK) return syntax;
    if (!self) {
        std::string buf;
        size_t pos = 0;
        while (true) {
            size_t slash = rest.find('/', pos);
            std::string_view c =
                rest.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
            if (cur->type != LC_NS_TYPE_DIR) return TARN_MDS_NOT_DIR;
            ns_slot* s = find_entry(ns, cur_id, c, &buf);
            if (!s) return TARN_MDS_NOT_FOUND;
            cur_id = s->file_id;
            cur = inode_of(d, cur_id);
            if (slash == std::string_view::npos) break;
            pos = slash + 1;
        }
    }
    obj_out(d, cur_id, *cur, out);
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- readdir, readlink, attrs

uint32_t lc_ns_readdir(lc_ns* ns, const uint8_t* dir, uint64_t cookie, uint64_t max_reply, lc_ns_readdir_out* out) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    out->more = false;
    out->count = 0;
    out->body.clear();
    out->dir_post.present = false;
    uint64_t dir_id;
    ns_inode* di;
    uint32_t st = resolve(d, dir, &dir_id, &di);
    if (st != TARN_MDS_OK) return st;
    if (di->type != LC_NS_TYPE_DIR) return TARN_MDS_NOT_DIR;
    post_op_out(dir_id, *di, &out->dir_post);

    uint64_t limit = max_reply < TARN_MDS_MAX_MSG ? max_reply : TARN_MDS_MAX_MSG;
    auto& entries = di->dir->entries;
    auto first = entries.upper_bound(cookie);
    uint64_t total = TARN_MDS_READDIR_REP_ENTRIES;
    uint64_t names_len = 0;
    uint32_t n = 0;
    auto it = first;
    for (; it != entries.end(); ++it) {
        uint64_t need = total + TARN_MDS_DIRENT_BYTES + it->second.name.size() + 1;
        if (need > limit || (n == 1 && broken(d, LC_BREAK_READDIR_ONE_PER_BATCH))) break;
        total = need;
        names_len += it->second.name.size() + 1;
        n++;
    }
    out->more = it != entries.end();
    if (n == 0 && out->more) return TARN_MDS_TOO_BIG;
    out->count = n;
    out->body.assign(size_t(n) * TARN_MDS_DIRENT_BYTES + names_len, 0);
    uint8_t* ent = out->body.data();
    size_t name_off = size_t(n) * TARN_MDS_DIRENT_BYTES;  // within the body
    lc_ns_handle h;
    for (auto e = first; e != it; ++e) {
        const ns_inode& child = *inode_of(d, e->second.file_id);
        lc_ns_make_handle(d->cfg.fs_id, e->second.file_id, child.type, child.hflags, &h);
        memcpy(ent + TARN_MDS_DIRENT_HANDLE, h.b, TARN_MDS_HANDLE_BYTES);
        put_attrs(d, e->second.file_id, child, ent + TARN_MDS_DIRENT_ATTRS);
        tarn_wire_put_u64(ent, TARN_MDS_DIRENT_COOKIE, e->first);
        tarn_wire_put_u32(ent, TARN_MDS_DIRENT_NAME_OFFSET, uint32_t(TARN_MDS_READDIR_REP_ENTRIES + name_off));
        memcpy(out->body.data() + name_off, e->second.name.data(), e->second.name.size());
        name_off += e->second.name.size() + 1;
        ent += TARN_MDS_DIRENT_BYTES;
    }
    return TARN_MDS_OK;
}

uint32_t lc_ns_readlink(lc_ns* ns, const uint8_t* h, std::string* target, lc_ns_post_op* post) {
    Lock g(ns->d->mu);
    uint64_t id;
    ns_inode* ino;
    uint32_t st = resolve(ns->d, h, &id, &ino);
    if (st != TARN_MDS_OK) return st;
    post_op_out(id, *ino, post);
    if (ino->type != LC_NS_TYPE_SYMLINK) return TARN_MDS_INVAL;
    *target = *ino->target;
    return TARN_MDS_OK;
}

uint32_t lc_ns_get_attrs(lc_ns* ns, const uint8_t* h, uint8_t attrs[TARN_MDS_ATTR_BYTES]) {
    Lock g(ns->d->mu);
    uint64_t id;
    ns_inode* ino;
    uint32_t st = resolve(ns->d, h, &id, &ino);
    if (st != TARN_MDS_OK) return st;
    put_attrs(ns->d, id, *ino, attrs);
    return TARN_MDS_OK;
}

uint32_t lc_ns_set_attrs(lc_ns* ns, const uint8_t* h, const uint8_t* update, const uint8_t* guard, lc_ns_wcc* wcc) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t id;
    ns_inode* ino;
    uint32_t st = resolve(d, h, &id, &ino);
    if (st != TARN_MDS_OK) return st;
    bool guarded = !all_zero(guard, TARN_MDS_GUARD_BYTES);
    uint64_t guard_ctime = tarn_wire_get_u64(guard, 0);
    uint32_t mask = tarn_wire_get_u32(update, TARN_MDS_UPDATE_MASK);

    if (ino->type == LC_NS_TYPE_FILE) {
        lc_ds_disk* ds = ds_of(ns, ino->vdisk);
        if (!ds) return TARN_MDS_SERVER_FAULT;
        if (guarded && guard_ctime == 0) {  // a guard no ctime can equal
            wcc_same(id, *ino, wcc);
            return TARN_MDS_CONFLICT;
        }
        lc_ds_update u;
        lc_ds_update_from_mds(update, &u);
        lc_ds_attrs pre, post;
        lc_ds_result r = lc_ds_disk_mds_set_attrs(ds, id, &u, guard_ctime, &pre, &post);
        if (r == LC_DS_NOT_FOUND) {
            wcc_same(id, *ino, wcc);
            return TARN_MDS_NOT_FOUND;
        }
        if (r == LC_DS_OK) {
            if (repl_disabled(ns, ino->vdisk))
                lc_ds_disk_mark_dirty(ds, id);
            else
                replica_from(*ino, post);
        }
        if (wcc) {
            wcc->present = true;
            lc_ds_wcc_put(wcc->b, &pre, &post);
        }
        return ds_status(r);
    }

    ns_pre pre = pre_of(*ino);
    if (mask & TARN_MDS_SET_SIZE) {
        wcc_same(id, *ino, wcc);
        return TARN_MDS_INVAL;
    }
    if (guarded && guard_ctime != ino->ctime) {
        wcc_same(id, *ino, wcc);
        return TARN_MDS_CONFLICT;
    }
    const uint8_t* a = update + TARN_MDS_UPDATE_ATTR;
    uint64_t now = now_ns();
    if (mask & TARN_MDS_SET_MODE) ino->mode = tarn_wire_get_u32(a, TARN_MDS_ATTR_MODE) & kModeMask;
    if (mask & TARN_MDS_SET_UID) ino->uid = tarn_wire_get_u32(a, TARN_MDS_ATTR_UID);
    if (mask & TARN_MDS_SET_GID) ino->gid = tarn_wire_get_u32(a, TARN_MDS_ATTR_GID);
    if (mask & TARN_MDS_SET_ATIME_NOW)
        ino->atime = now;
    else if (mask & TARN_MDS_SET_ATIME)
        ino->atime = tarn_wire_get_time(a, TARN_MDS_ATTR_ATIME);
    if (mask & TARN_MDS_SET_MTIME_NOW)
        ino->mtime = now;
    else if (mask & TARN_MDS_SET_MTIME)
        ino->mtime = tarn_wire_get_time(a, TARN_MDS_ATTR_MTIME);
    if (mask & kUpdateKnownBits) {
        ino->ctime = now;
        ino->change++;
    }
    wcc_out(id, pre, *ino, wcc);
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- create, mkdir, symlink

uint32_t lc_ns_create_file(lc_ns* ns, const lc_ns_cred& cred, uint32_t mode, const uint8_t* update, uint64_t verifier,
                           const uint8_t* dir, std::string_view name, lc_ns_create_out* out) {
    if (out) out->created = false;
    uint32_t early = TARN_MDS_OK;
    if (mode == 1)
        early = TARN_MDS_NOT_IMPL;
    else if (mode < 1 || mode > 3 || (mode == 3 && verifier == 0))
        early = TARN_MDS_INVAL;
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t dir_id;
    ns_inode* di;
    uint32_t st;
    if (!prepare_name(ns, dir, name, early, &dir_id, &di, wcc_ptr(out), &st)) return st;
    // A repeat of the creating call is answered as the first one was.
    auto repeat = [&](const ns_inode& ex) {
        return ex.type == LC_NS_TYPE_FILE && verifier != 0 && ex.verifier == verifier &&
               !broken(d, LC_BREAK_CREATE_FORGETS_VERIFIER);
    };
    if (!name_available(ns, dir_id, *di, name, repeat, obj_ptr(out), wcc_ptr(out), &st)) {
        if (st == TARN_MDS_OK && out) out->created = true;
        return st;
    }
    uint16_t vdisk = 0;
    uint64_t id = take_id(ns, &vdisk);
    lc_ds_disk* ds = ds_of(ns, vdisk);
    if (!ds) {
        give_back_id(ns, id, vdisk);
        wcc_same(dir_id, *di, wcc_ptr(out));
        return TARN_MDS_SERVER_FAULT;
    }
    lc_ds_update u;
    lc_ds_update_from_mds(update, &u);
    if (broken(d, LC_BREAK_CREATE_IGNORES_MODE)) u.mask &= ~uint32_t(TARN_MDS_SET_MODE);
    lc_ds_attrs a;
    lc_ds_result r = lc_ds_disk_create_object(ds, id, vdisk, &u, cred.uid, cred.gid, &a);
    if (r != LC_DS_OK) {
        give_back_id(ns, id, vdisk);
        wcc_same(dir_id, *di, wcc_ptr(out));
        return ds_status(r);
    }
    ns_pre pre = pre_of(*di);
    ns_inode& f = d->inodes[id];  // references into the map survive rehashing
    f.type = LC_NS_TYPE_FILE;
    f.hflags = d->cfg.xattrs_on_ds ? TARN_MDS_HANDLE_XATTRS_ON_DS : 0;
    f.vdisk = vdisk;
    f.nlinks = 1;
    f.verifier = verifier;
    replica_from(f, a);
    add_entry(ns, dir_id, *di, name, id);
    touch_dir(*di, now_ns());
    d->live++;
    d->files++;
    if (broken(d, LC_BREAK_COUNTER_DRIFT)) d->drift++;
    if (broken(d, LC_BREAK_DROP_ACKED_CREATE)) d->last_create = {dir_id, di->dir->next_seq - 1, id};
    obj_out(d, id, f, obj_ptr(out));
    wcc_out(dir_id, pre, *di, wcc_ptr(out));
    if (out) out->created = true;
    return TARN_MDS_OK;
}

uint32_t lc_ns_mkdir(lc_ns* ns, const lc_ns_cred& cred, const uint8_t* dir, const uint8_t* update, uint64_t verifier,
                     std::string_view name, lc_ns_mkobj_out* out) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t dir_id;
    ns_inode* di;
    uint32_t st;
    if (!prepare_name(ns, dir, name, TARN_MDS_OK, &dir_id, &di, wcc_ptr(out), &st)) return st;
    auto repeat = [&](const ns_inode& ex) {
        return ex.type == LC_NS_TYPE_DIR && verifier != 0 && ex.verifier == verifier;
    };
    if (!name_available(ns, dir_id, *di, name, repeat, obj_ptr(out), wcc_ptr(out), &st)) return st;
    uint64_t now = now_ns();
    ns_pre pre = pre_of(*di);
    uint64_t id = take_id(ns, nullptr);
    ns_inode& n = d->inodes[id];
    uint32_t mask = tarn_wire_get_u32(update, TARN_MDS_UPDATE_MASK);
    n.type = LC_NS_TYPE_DIR;
    n.mode = (mask & TARN_MDS_SET_MODE)
                 ? tarn_wire_get_u32(update + TARN_MDS_UPDATE_ATTR, TARN_MDS_ATTR_MODE) & kModeMask
                 : kDirMode;
    init_from_update(n, cred, update, now);
    n.nlinks = 2;
    n.verifier = verifier;
    n.dir = std::make_unique<ns_dir>();
    n.dir->parent = dir_id;
    add_entry(ns, dir_id, *di, name, id);
    di->dir->subdirs++;
    di->nlinks++;
    touch_dir(*di, now);
    d->live++;
    d->dirs++;
    obj_out(d, id, n, obj_ptr(out));
    wcc_out(dir_id, pre, *di, wcc_ptr(out));
    return TARN_MDS_OK;
}

uint32_t lc_ns_symlink(lc_ns* ns, const lc_ns_cred& cred, const uint8_t* dir, const uint8_t* update,
                       std::string_view name, std::string_view target, lc_ns_mkobj_out* out) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t dir_id;
    ns_inode* di;
    uint32_t st;
    uint32_t early = d->cfg.ci ? uint32_t(TARN_MDS_NOT_IMPL) : uint32_t(TARN_MDS_OK);
    if (!prepare_name(ns, dir, name, early, &dir_id, &di, wcc_ptr(out), &st)) return st;
    if (target.empty() || target.size() > kTargetMax) {
        wcc_same(dir_id, *di, wcc_ptr(out));
        return TARN_MDS_INVAL;
    }
    auto repeat = [&](const ns_inode& ex) {
        return ex.type == LC_NS_TYPE_SYMLINK && *ex.target == target && !broken(d, LC_BREAK_LINK_REPEAT_EXISTS);
    };
    if (!name_available(ns, dir_id, *di, name, repeat, obj_ptr(out), wcc_ptr(out), &st)) return st;
    uint64_t now = now_ns();
    ns_pre pre = pre_of(*di);
    uint64_t id = take_id(ns, nullptr);
    ns_inode& n = d->inodes[id];
    n.type = LC_NS_TYPE_SYMLINK;
    n.mode = kSymlinkMode;
    init_from_update(n, cred, update, now);
    n.nlinks = 1;
    n.size = target.size();
    n.target = std::make_unique<std::string>(target);
    add_entry(ns, dir_id, *di, name, id);
    touch_dir(*di, now);
    d->live++;
    d->symlinks++;
    obj_out(d, id, n, obj_ptr(out));
    wcc_out(dir_id, pre, *di, wcc_ptr(out));
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- link, remove, rename

uint32_t lc_ns_link(lc_ns* ns, const uint8_t* obj, const uint8_t* dir, std::string_view name, lc_ns_link_out* out) {
    lc_ns_disk* d = ns->d;
    lc_ns_wcc* wcc = out ? &out->dir_wcc : nullptr;
    Lock g(d->mu);
    uint64_t obj_id = 0, dir_id = 0;
    ns_inode *oi = nullptr, *di = nullptr;
    uint32_t st_o = resolve(d, obj, &obj_id, &oi);
    uint32_t st = resolve(d, dir, &dir_id, &di);
    bool is_dir = st == TARN_MDS_OK && di->type == LC_NS_TYPE_DIR;
    if (d->cfg.ci)
        st = TARN_MDS_NOT_IMPL;
    else if (st_o != TARN_MDS_OK)
        st = st_o;
    else if (st == TARN_MDS_OK && !is_dir)
        st = TARN_MDS_NOT_DIR;
    else if (st == TARN_MDS_OK && oi->type == LC_NS_TYPE_DIR)
        st = TARN_MDS_PERM;
    else if (st == TARN_MDS_OK && !name_ok(name))
        st = TARN_MDS_INVAL;
    if (st != TARN_MDS_OK) {
        if (is_dir) wcc_same(dir_id, *di, wcc);
        return st;
    }
    std::string buf;
    if (ns_slot* s = find_entry(ns, dir_id, name, &buf)) {
        wcc_same(dir_id, *di, wcc);
        if (s->file_id != obj_id || broken(d, LC_BREAK_LINK_REPEAT_EXISTS)) return TARN_MDS_EXISTS;
        // A repeat: the name is already this object's, nothing to count.
        if (broken(d, LC_BREAK_RELINK_INCREMENTS)) {
            if (oi->type == LC_NS_TYPE_FILE) {
                st = ds_set_nlinks(ns, obj_id, *oi, oi->nlinks + 1);
                if (st != TARN_MDS_OK) return st;
            } else {
                oi->nlinks++;
                oi->change++;
            }
        }
        if (out) put_attrs(d, obj_id, *oi, out->attrs);
        return TARN_MDS_OK;
    }
    ns_pre pre = pre_of(*di);
    uint64_t now = now_ns();
    if (oi->type == LC_NS_TYPE_FILE) {
        st = ds_set_nlinks(ns, obj_id, *oi, oi->nlinks + 1);
        if (st != TARN_MDS_OK) {
            wcc_same(dir_id, *di, wcc);
            return st;
        }
    } else {
        oi->nlinks++;
        oi->ctime = now;
        oi->change++;
    }
    add_entry(ns, dir_id, *di, name, obj_id);
    touch_dir(*di, now);
    if (out) put_attrs(d, obj_id, *oi, out->attrs);
    wcc_out(dir_id, pre, *di, wcc);
    return TARN_MDS_OK;
}

uint32_t lc_ns_remove(lc_ns* ns, const uint8_t* dir, std::string_view name, lc_ns_wcc* dir_wcc) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t dir_id;
    ns_inode* di;
    uint32_t st;
    if (!prepare_name(ns, dir, name, TARN_MDS_OK, &dir_id, &di, dir_wcc, &st)) return st;
    std::string buf;
    std::string_view key = match_key(d, name, &buf);
    auto it = ns->index.find(ns_key_view{dir_id, key});
    if (it == ns->index.end()) {
        wcc_same(dir_id, *di, dir_wcc);
        if (broken(d, LC_BREAK_REMOVE_TWICE) && was_removed(*di, key)) return TARN_MDS_OK;
        return TARN_MDS_NOT_FOUND;
    }
    ns_pre pre = pre_of(*di);
    uint64_t now = now_ns();
    st = unlink_name(ns, dir_id, *di, name, it->second.file_id, now);
    if (st != TARN_MDS_OK) {
        wcc_same(dir_id, *di, dir_wcc);
        return st;
    }
    if (broken(d, LC_BREAK_REMOVE_TWICE)) remember_removed(*di, key);
    touch_dir(*di, now);
    wcc_out(dir_id, pre, *di, dir_wcc);
    return TARN_MDS_OK;
}

uint32_t lc_ns_rename(lc_ns* ns, const uint8_t* src_dir, std::string_view src_name, const uint8_t* dst_dir,
                      std::string_view dst_name, lc_ns_wcc* src_wcc, lc_ns_wcc* dst_wcc) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    uint64_t s_id = 0, t_id = 0;
    ns_inode *si = nullptr, *ti = nullptr;
    uint32_t st_s = resolve(d, src_dir, &s_id, &si);
    uint32_t st_t = resolve(d, dst_dir, &t_id, &ti);
    bool s_dir = st_s == TARN_MDS_OK && si->type == LC_NS_TYPE_DIR;
    bool t_dir = st_t == TARN_MDS_OK && ti->type == LC_NS_TYPE_DIR;
    auto fail = [&](uint32_t status) {
        if (s_dir) wcc_same(s_id, *si, src_wcc);
        if (t_dir) wcc_same(t_id, *ti, dst_wcc);
        return status;
    };
    if (st_s != TARN_MDS_OK) return fail(st_s);
    if (st_t != TARN_MDS_OK) return fail(st_t);
    if (!s_dir || !t_dir) return fail(TARN_MDS_NOT_DIR);
    if (!name_ok(src_name) || !name_ok(dst_name)) return fail(TARN_MDS_INVAL);

    std::string sbuf, tbuf;
    std::string_view skey = match_key(d, src_name, &sbuf);
    auto sit = ns->index.find(ns_key_view{s_id, skey});
    if (sit == ns->index.end()) return fail(TARN_MDS_NOT_FOUND);
    uint64_t obj_id = sit->second.file_id;
    uint64_t seq = sit->second.seq;
    ns_inode* oi = inode_of(d, obj_id);
    ns_pre s_pre = pre_of(*si), t_pre = pre_of(*ti);
    std::string_view tkey = match_key(d, dst_name, &tbuf);
    uint64_t now = now_ns();

    if (s_id == t_id && skey == tkey) {
        // The same entry: only the stored spelling may change.
        ns_entry& e = si->dir->entries.at(seq);
        if (e.name != dst_name) {
            e.name.assign(dst_name);
            touch_dir(*si, now);
            if (oi->type != LC_NS_TYPE_FILE) {
                oi->ctime = now;
                oi->change++;
            }
        }
        wcc_out(s_id, s_pre, *si, src_wcc);
        wcc_out(t_id, t_pre, *ti, dst_wcc);
        return TARN_MDS_OK;
    }
    auto tit = ns->index.find(ns_key_view{t_id, tkey});
    bool replace = tit != ns->index.end();
    if (replace && !broken(d, LC_BREAK_RENAME_REPLACES)) return fail(TARN_MDS_EXISTS);
    if (oi->type == LC_NS_TYPE_DIR) {
        // Not into itself or below itself: walk up from the target to the
        // root (the break stops at the target's parent).
        bool one_level = broken(d, LC_BREAK_RENAME_ANCESTOR_ONE_LEVEL);
        for (uint64_t up = t_id, level = 0;; up = inode_of(d, up)->dir->parent, level++) {
            if (up == obj_id) return fail(TARN_MDS_INVAL);
            if (up == LC_NS_ROOT_ID || (one_level && level == 1)) break;
        }
    }
    if (replace) {
        // The name in the way goes as a remove would take it.
        uint32_t st = unlink_name(ns, t_id, *ti, dst_name, tit->second.file_id, now);
        if (st != TARN_MDS_OK) return fail(st);
    }

    if (s_id == t_id) {
        // Same directory: the entry keeps its cookie.
        ns_slot slot = sit->second;
        ns->index.erase(sit);
        si->dir->entries.at(seq).name.assign(dst_name);
        ns->index.emplace(ns_key{t_id, std::string(tkey)}, slot);
        touch_dir(*si, now);
    } else {
        ns->index.erase(sit);
        si->dir->entries.erase(seq);
        d->names--;
        add_entry(ns, t_id, *ti, dst_name, obj_id);
        if (oi->type == LC_NS_TYPE_DIR) {
            oi->dir->parent = t_id;
            si->dir->subdirs--;
            si->nlinks--;
            ti->dir->subdirs++;
            ti->nlinks++;
        }
        touch_dir(*si, now);
        touch_dir(*ti, now);
    }
    // A regular file's ctime belongs to its DS object, which a rename does not touch.
    if (oi->type != LC_NS_TYPE_FILE) {
        oi->ctime = now;
        oi->change++;
    }
    wcc_out(s_id, s_pre, *si, src_wcc);
    wcc_out(t_id, t_pre, *ti, dst_wcc);
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- fs info

uint32_t lc_ns_get_fs_info(lc_ns* ns, uint8_t info[TARN_MDS_FS_INFO_BYTES]) {
    lc_ns_disk* d = ns->d;
    uint32_t health = ns->ops.health ? ns->ops.health(ns->ops.ctx) & 0xB : 0;
    Lock g(d->mu);
    uint64_t total_blocks = d->cfg.capacity / LC_POOL_BLOCK;
    uint64_t free_blocks = d->cfg.pool ? lc_pool_free_blocks(d->cfg.pool) : total_blocks;
    uint64_t avail_blocks = d->cfg.pool ? lc_pool_avail_blocks(d->cfg.pool) : total_blocks;
    uint64_t min_vdisk_free = d->cfg.pool ? lc_pool_min_vdisk_free_blocks(d->cfg.pool) : total_blocks;
    if (free_blocks > total_blocks) free_blocks = total_blocks;
    if (avail_blocks > free_blocks) avail_blocks = free_blocks;
    if (min_vdisk_free > avail_blocks) min_vdisk_free = avail_blocks;
    uint64_t ff = free_files(d);
    uint64_t af = avail_files(d);
    if (d->cfg.breaks & LC_BREAK_AVAIL_REPORTS_FREE) avail_blocks = free_blocks;
    if (d->cfg.breaks & LC_BREAK_MIN_VDISK_REPORTS_SHARE_FREE) min_vdisk_free = free_blocks;
    memset(info, 0, TARN_MDS_FS_INFO_BYTES);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_FS_ID, d->cfg.fs_id);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_TOTAL_SPACE, total_blocks);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_FREE_SPACE, free_blocks);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_AVAIL_SPACE, avail_blocks);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_TOTAL_FILES, d->cfg.total_files);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_FREE_FILES, ff);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_AVAIL_FILES, af);
    tarn_wire_put_u32(info, TARN_MDS_FS_INFO_BSIZE, LC_POOL_BLOCK);
    tarn_wire_put_u32(info, TARN_MDS_FS_INFO_FRSIZE, LC_POOL_BLOCK);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_MAXREAD, LC_DS_MAX_IO);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_MAXWRITE, LC_DS_MAX_IO);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_TIME_DELTA, 1);
    tarn_wire_put_u32(info, TARN_MDS_FS_INFO_FLAGS, (d->cfg.ci ? 0x4u : 0u) | health);
    tarn_wire_put_u16(info, TARN_MDS_FS_INFO_VDISK_COUNT, d->cfg.vdisks);
    tarn_wire_put_u64(info, TARN_MDS_FS_INFO_MIN_VDISK_FREE, min_vdisk_free);
    return TARN_MDS_OK;
}

// ---------------------------------------------------------------- xattrs

uint32_t lc_ns_list_xattrs(lc_ns* ns, const uint8_t* h, uint64_t max_reply, std::string* names) {
    Lock g(ns->d->mu);
    names->clear();
    ns_inode* ino;
    uint32_t st = xattr_target(ns, h, &ino);
    if (st != TARN_MDS_OK) return st;
    if (!ino->xattrs) return TARN_MDS_OK;
    size_t need = lc_xattrs_list_size(ino->xattrs.get());
    if (TARN_REPLY_HDR_BYTES + need > max_reply) return TARN_MDS_TOO_BIG;
    names->resize(need);
    size_t got = 0;
    lc_xattrs_list(ino->xattrs.get(), names->data(), need, &got);
    return TARN_MDS_OK;
}

uint32_t lc_ns_get_xattr(lc_ns* ns, const uint8_t* h, uint64_t max_reply, std::string_view name, std::string* value,
                         uint32_t* needed) {
    Lock g(ns->d->mu);
    value->clear();
    *needed = 0;
    ns_inode* ino;
    uint32_t st = xattr_target(ns, h, &ino);
    if (st != TARN_MDS_OK) return st;
    lc_xattr_result r = lc_xattr_check_name(name);
    if (r != LC_XATTR_OK) return xattr_status(r);
    if (!ino->xattrs) return TARN_MDS_NOT_FOUND;
    size_t vlen = 0;
    r = lc_xattrs_get(ino->xattrs.get(), name, nullptr, 0, &vlen);
    if (r != LC_XATTR_OK && r != LC_XATTR_BUFFER_SMALL) return xattr_status(r);
    if (TARN_REPLY_HDR_BYTES + vlen > max_reply) {
        *needed = uint32_t(vlen);
        return TARN_MDS_TOO_BIG;
    }
    value->resize(vlen);
    lc_xattrs_get(ino->xattrs.get(), name, value->data(), vlen, &vlen);
    return TARN_MDS_OK;
}

uint32_t lc_ns_set_xattr(lc_ns* ns, const uint8_t* h, uint32_t mode, std::string_view name, std::string_view value) {
    Lock g(ns->d->mu);
    ns_inode* ino;
    uint32_t st = xattr_target(ns, h, &ino);
    if (st != TARN_MDS_OK) return st;
    bool fresh = !ino->xattrs;
    if (fresh) ino->xattrs = std::make_unique<lc_xattrs>();
    lc_xattr_result r = lc_xattrs_set(ino->xattrs.get(), name, value.data(), value.size(), mode);
    if (r != LC_XATTR_OK && fresh) ino->xattrs.reset();
    return xattr_status(r);
}

uint32_t lc_ns_remove_xattr(lc_ns* ns, const uint8_t* h, std::string_view name) {
    Lock g(ns->d->mu);
    ns_inode* ino;
    uint32_t st = xattr_target(ns, h, &ino);
    if (st != TARN_MDS_OK) return st;
    lc_xattr_result r = lc_xattr_check_name(name);
    if (r != LC_XATTR_OK) return xattr_status(r);
    if (!ino->xattrs) return TARN_MDS_NOT_FOUND;
    r = lc_xattrs_remove(ino->xattrs.get(), name);
    if (r == LC_XATTR_OK && lc_xattrs_count(ino->xattrs.get()) == 0) ino->xattrs.reset();
    return xattr_status(r);
}

// ---------------------------------------------------------------- DS -> MDS

bool lc_ns_ds_push(lc_ns* ns, const lc_ds_attrs* snapshot) {
    Lock g(ns->d->mu);
    ns_inode* ino = inode_of(ns->d, snapshot->file_id);
    if (!ino || ino->type != LC_NS_TYPE_FILE) return false;
    if (snapshot->attr_version <= ino->attr_version) return false;
    replica_from(*ino, *snapshot);
    return true;
}

// ---------------------------------------------------------------- inspection

namespace {

void stats_locked(const lc_ns_disk* d, lc_ns_stats* out) {
    out->live_objects = d->live;
    out->files = d->files;
    out->dirs = d->dirs;
    out->symlinks = d->symlinks;
    out->names = d->names;
    out->next_file_id = d->next_id;
    out->free_files = free_files(d);
}

}  // namespace

void lc_ns_get_stats(lc_ns* ns, lc_ns_stats* out) { lc_ns_disk_get_stats(ns->d, out); }

void lc_ns_disk_get_stats(lc_ns_disk* d, lc_ns_stats* out) {
    Lock g(d->mu);
    stats_locked(d, out);
}

std::string lc_ns_check(lc_ns* ns) {
    lc_ns_disk* d = ns->d;
    Lock g(d->mu);
    std::unordered_map<uint64_t, uint32_t> names_of;
    uint64_t files = 0, dirs = 0, symlinks = 0, entries = 0;
    std::string buf;
    auto fail = [](const char* what, uint64_t id) {
        return std::string(what) + " (file id " + std::to_string(id) + ")";
    };
    for (auto& [id, ino] : d->inodes) {
        if (id >= d->next_id && id != LC_NS_ROOT_ID) return fail("file id at or past the counter", id);
        if (ino.type == LC_NS_TYPE_FILE) files++;
        if (ino.type == LC_NS_TYPE_SYMLINK) symlinks++;
        if (ino.type != LC_NS_TYPE_DIR) continue;
        if (id != LC_NS_ROOT_ID) dirs++;
        uint32_t subdirs = 0;
        for (auto& [seq, e] : ino.dir->entries) {
            if (seq >= ino.dir->next_seq) return fail("cookie at or past the directory's counter", id);
            entries++;
            names_of[e.file_id]++;
            const ns_inode* c = inode_of(d, e.file_id);
            if (!c) return fail("entry naming a freed object", e.file_id);
            if (c->type == LC_NS_TYPE_DIR) {
                subdirs++;
                if (c->dir->parent != id) return fail("directory with a wrong parent link", e.file_id);
            }
            auto it = ns->index.find(ns_key_view{id, match_key(d, e.name, &buf)});
            if (it == ns->index.end() || it->second.seq != seq || it->second.file_id != e.file_id)
                return fail("entry missing from the name index", id);
        }
        if (subdirs != ino.dir->subdirs) return fail("subdirectory count differs", id);
        if (ino.nlinks != 2 + subdirs) return fail("directory nlinks differs from 2 + subdirectories", id);
    }
    for (auto& [id, ino] : d->inodes) {
        if (id == LC_NS_ROOT_ID) continue;
        uint32_t n = names_of.count(id) ? names_of[id] : 0;
        if (ino.type == LC_NS_TYPE_DIR) {
            if (n != 1) return fail("directory without exactly one name", id);
        } else if (n != ino.nlinks) {
            return fail("nlinks differs from the number of names", id);
        }
        if (ino.type == LC_NS_TYPE_FILE) {
            lc_ds_disk* ds = ds_of(ns, ino.vdisk);
            lc_ds_attrs a;
            if (!ds || lc_ds_disk_get_attrs(ds, id, ino.vdisk, &a) != LC_DS_OK)
                return fail("regular file without its DS object", id);
            if (a.nlinks != ino.nlinks) return fail("DS nlinks differs from the MDS", id);
        }
    }
    if (files != d->files || dirs != d->dirs || symlinks != d->symlinks) return "object counts differ";
    if (d->live != d->inodes.size() - 1 || d->live != files + dirs + symlinks) return "live object count differs";
    if (entries != d->names || ns->index.size() != entries) return "name counts differ";
    return {};
}
