// A file system for the namespace engine tests: the engine on its durable
// disk, one space pool, and a DsDisk per host holding the vdisks (vdisk v on
// host v mod hosts), wired through the engine's cluster callbacks.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "localcluster/mds/ns_engine.h"

struct NsAttrs {
    uint16_t type, vdisk;
    uint64_t inode;
    uint32_t mode, nlinks, uid, gid;
    uint64_t size, space_used, atime, mtime, ctime;
};

inline NsAttrs ns_parse_attrs(const uint8_t* p) {
    return {tarn_wire_get_u16(p, TARN_MDS_ATTR_TYPE),       tarn_wire_get_u16(p, TARN_MDS_ATTR_VDISK_ID),
            tarn_wire_get_u64(p, TARN_MDS_ATTR_INODE_NUM),  tarn_wire_get_u32(p, TARN_MDS_ATTR_MODE),
            tarn_wire_get_u32(p, TARN_MDS_ATTR_NLINKS),     tarn_wire_get_u32(p, TARN_MDS_ATTR_UID),
            tarn_wire_get_u32(p, TARN_MDS_ATTR_GID),        tarn_wire_get_u64(p, TARN_MDS_ATTR_SIZE),
            tarn_wire_get_u64(p, TARN_MDS_ATTR_SPACE_USED), tarn_wire_get_time(p, TARN_MDS_ATTR_ATIME),
            tarn_wire_get_time(p, TARN_MDS_ATTR_MTIME),     tarn_wire_get_time(p, TARN_MDS_ATTR_CTIME)};
}

// An MDS update block: mode only when `mode` >= 0.
struct NsUpdate {
    uint8_t b[TARN_MDS_UPDATE_BYTES] = {};
    explicit NsUpdate(int mode = -1) {
        if (mode >= 0) set(TARN_MDS_SET_MODE, TARN_MDS_ATTR_MODE, uint32_t(mode));
    }
    NsUpdate& set(uint32_t bit, size_t attr_off, uint64_t v, bool wide = false) {
        tarn_wire_put_u32(b, TARN_MDS_UPDATE_MASK, tarn_wire_get_u32(b, TARN_MDS_UPDATE_MASK) | bit);
        if (wide)
            tarn_wire_put_u64(b + TARN_MDS_UPDATE_ATTR, attr_off, v);
        else
            tarn_wire_put_u32(b + TARN_MDS_UPDATE_ATTR, attr_off, uint32_t(v));
        return *this;
    }
};

class NsTestFs {
   public:
    static constexpr uint64_t kFsId = 0x1001;
    static constexpr int kHosts = 3;
    static constexpr uint16_t kVdisks = 6;

    explicit NsTestFs(bool ci, uint64_t files = 1 << 20, bool xattrs_on_ds = true, uint64_t breaks = 0) {
        // Reserves and vdisk capacities as the cluster sets them.
        const uint64_t blocks = (64ull << 20) / LC_POOL_BLOCK;
        lc_pool_init_share(&pool, blocks, kVdisks, lc_pool_default_reserve(blocks));
        for (int h = 0; h < kHosts; h++) ds.push_back(lc_ds_disk_create(&pool, kVdisks, xattrs_on_ds));
        for (auto& m : mounted) m = true;
        lc_ns_disk_config c;
        c.fs_id = kFsId;
        c.ci = ci;
        c.xattrs_on_ds = xattrs_on_ds;
        c.capacity = 64ull << 20;
        c.total_files = files;
        c.files_reserve = files / 20;
        c.vdisks = kVdisks;
        c.pool = &pool;
        c.breaks = breaks;
        disk = lc_ns_disk_create(c);
        open();
    }
    ~NsTestFs() {
        lc_ns_close(ns);
        lc_ns_disk_destroy(disk);
        for (auto* d : ds) lc_ds_disk_destroy(d);
    }

    void open() {
        lc_ns_cluster_ops ops;
        ops.ctx = this;
        ops.ds_disk = [](void* c, uint16_t v) { return static_cast<NsTestFs*>(c)->ds[v % kHosts]; };
        ops.vdisk_mounted = [](void* c, uint16_t v) { return static_cast<NsTestFs*>(c)->mounted[v].load(); };
        ops.replication_disabled = [](void* c, uint16_t) { return static_cast<NsTestFs*>(c)->repl_off.load(); };
        ops.health = [](void* c) { return static_cast<NsTestFs*>(c)->health.load(); };
        ns = lc_ns_open(disk, ops);
    }
    // An MDS crash and restart: the instance goes, the disk stays.
    void restart() {
        lc_ns_close(ns);
        open();
    }

    lc_ns_handle root() {
        lc_ns_handle h;
        lc_ns_root_handle(ns, &h);
        return h;
    }

    uint32_t create(const lc_ns_handle& dir, std::string_view name, lc_ns_handle* out = nullptr, uint64_t verifier = 0,
                    uint32_t mode = 2, const NsUpdate& u = NsUpdate(0644), lc_ns_create_out* full = nullptr) {
        lc_ns_create_out o;
        if (verifier == 0 && mode != 3) verifier = next_verifier++;
        uint32_t st = lc_ns_create_file(ns, cred, mode, u.b, verifier, dir.b, name, &o);
        if (out && st == 0) *out = o.obj.handle;
        if (full) *full = o;
        return st;
    }
    uint32_t mkdir(const lc_ns_handle& dir, std::string_view name, lc_ns_handle* out = nullptr, uint64_t verifier = 0,
                   const NsUpdate& u = NsUpdate()) {
        lc_ns_mkobj_out o;
        uint32_t st = lc_ns_mkdir(ns, cred, dir.b, u.b, verifier ? verifier : next_verifier++, name, &o);
        if (out && st == 0) *out = o.obj.handle;
        return st;
    }
    uint32_t symlink(const lc_ns_handle& dir, std::string_view name, std::string_view target,
                     lc_ns_mkobj_out* out = nullptr, const NsUpdate& u = NsUpdate()) {
        lc_ns_mkobj_out o;
        return lc_ns_symlink(ns, cred, dir.b, u.b, name, target, out ? out : &o);
    }
    uint32_t link(const lc_ns_handle& obj, const lc_ns_handle& dir, std::string_view name, uint32_t* nlinks = nullptr) {
        lc_ns_link_out o;
        uint32_t st = lc_ns_link(ns, obj.b, dir.b, name, &o);
        if (nlinks) *nlinks = st == 0 ? ns_parse_attrs(o.attrs).nlinks : 0;
        return st;
    }
    uint32_t remove(const lc_ns_handle& dir, std::string_view name) {
        lc_ns_wcc w;
        return lc_ns_remove(ns, dir.b, name, &w);
    }
    uint32_t rename(const lc_ns_handle& sd, std::string_view sn, const lc_ns_handle& td, std::string_view tn) {
        lc_ns_wcc a, b;
        return lc_ns_rename(ns, sd.b, sn, td.b, tn, &a, &b);
    }
    uint32_t lookup(const lc_ns_handle& dir, std::string_view name, lc_ns_handle* out = nullptr,
                    NsAttrs* attrs = nullptr) {
        lc_ns_obj o;
        lc_ns_post_op p;
        uint32_t st = lc_ns_lookup(ns, dir.b, name, &o, &p);
        if (st == 0 && out) *out = o.handle;
        if (st == 0 && attrs) *attrs = ns_parse_attrs(o.attrs);
        return st;
    }
    uint32_t attrs(const lc_ns_handle& h, NsAttrs* out) {
        uint8_t b[TARN_MDS_ATTR_BYTES];
        uint32_t st = lc_ns_get_attrs(ns, h.b, b);
        if (st == 0) *out = ns_parse_attrs(b);
        return st;
    }
    NsAttrs attrs(const lc_ns_handle& h) {
        NsAttrs a{};
        EXPECT_EQ(0u, attrs(h, &a));
        return a;
    }
    uint64_t fs_info(size_t off) {
        uint8_t info[TARN_MDS_FS_INFO_BYTES];
        EXPECT_EQ(0u, lc_ns_get_fs_info(ns, info));
        return off == TARN_MDS_FS_INFO_FLAGS ? tarn_wire_get_u32(info, off) : tarn_wire_get_u64(info, off);
    }
    uint64_t free_files() { return fs_info(TARN_MDS_FS_INFO_FREE_FILES); }

    struct Dirent {
        std::string name;
        uint64_t cookie;
        lc_ns_handle handle;
        NsAttrs attrs;
    };
    // One batch from `cookie`; *more gets the flag.
    uint32_t readdir(const lc_ns_handle& dir, uint64_t cookie, uint64_t max, std::vector<Dirent>* out,
                     bool* more = nullptr) {
        lc_ns_readdir_out r;
        uint32_t st = lc_ns_readdir(ns, dir.b, cookie, max, &r);
        if (more) *more = r.more;
        if (st != 0) return st;
        EXPECT_LE(TARN_MDS_READDIR_REP_ENTRIES + r.body.size(), max);
        for (uint32_t i = 0; i < r.count; i++) {
            const uint8_t* e = r.body.data() + i * TARN_MDS_DIRENT_BYTES;
            Dirent d;
            uint32_t off = tarn_wire_get_u32(e, TARN_MDS_DIRENT_NAME_OFFSET) - TARN_MDS_READDIR_REP_ENTRIES;
            d.name = reinterpret_cast<const char*>(r.body.data() + off);
            d.cookie = tarn_wire_get_u64(e, TARN_MDS_DIRENT_COOKIE);
            memcpy(d.handle.b, e + TARN_MDS_DIRENT_HANDLE, TARN_MDS_HANDLE_BYTES);
            d.attrs = ns_parse_attrs(e + TARN_MDS_DIRENT_ATTRS);
            out->push_back(d);
        }
        return st;
    }
    // The whole directory, in batches of at most `max` bytes.
    std::vector<Dirent> list(const lc_ns_handle& dir, uint64_t max = TARN_MDS_MAX_MSG) {
        std::vector<Dirent> all;
        bool more = true;
        uint64_t cookie = 0;
        while (more) {
            size_t before = all.size();
            EXPECT_EQ(0u, readdir(dir, cookie, max, &all, &more));
            if (all.size() == before) break;
            cookie = all.back().cookie;
        }
        return all;
    }
    // The DS object of a regular file.
    lc_ds_result ds_attrs(const lc_ns_handle& h, lc_ds_attrs* out) {
        NsAttrs a = attrs(h);
        return lc_ds_disk_get_attrs(ds[a.vdisk % kHosts], a.inode, a.vdisk, out);
    }

    lc_pool pool;
    std::vector<lc_ds_disk*> ds;
    lc_ns_disk* disk = nullptr;
    lc_ns* ns = nullptr;
    lc_ns_cred cred{1000, 100};
    std::atomic<bool> mounted[kVdisks];
    std::atomic<bool> repl_off{false};
    std::atomic<uint32_t> health{0};
    std::atomic<uint64_t> next_verifier{1000};
};

inline bool operator==(const lc_ns_handle& a, const lc_ns_handle& b) { return memcmp(a.b, b.b, sizeof a.b) == 0; }
