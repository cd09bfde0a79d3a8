// The metadata of one Tarn file system: its namespace (inodes, names,
// links, create verifiers, symlink targets, per-directory cookies), the MDS
// replica of the data servers' attributes, MDS xattrs, and the file
// counters. Pure in-memory state and rules; the request handlers decode a
// request, call one function here, and encode the reply from its output.
//
// Two parts, as crash and restart need them:
//  - lc_ns_disk is durable: it outlives MDS instances. Every function that
//    answers 0 has put its effect in it before returning.
//  - lc_ns is what an MDS instance holds while it is up: the disk plus the
//    volatile name index (case-folded on case-insensitive file systems),
//    which lc_ns_open rebuilds from the disk.
//
// One mutex per file system serialises every call; it is held for the
// in-memory work and the in-process DS-disk calls (create object, set
// nlinks, delete object, set attributes), never across socket I/O.
//
// Statuses are the MDS status numbers of client/tarn_wire.h. Handles come
// in as the 32 bytes of the request and go out as 32 bytes; attribute,
// post-op and wcc blocks go out in their wire layout.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "client/tarn_wire.h"
#include "localcluster/ds/ds_disk.h"

struct lc_ns_disk;
struct lc_ns;

// ---------------------------------------------------------------- cluster side
// What the engine asks of the rest of the cluster. Every callback may be
// called with the file system's mutex held, so none may call back into the
// engine.
struct lc_ns_cluster_ops {
    void* ctx = nullptr;
    // The DsDisk that holds vdisk `vdisk` of this file system (the vdisk
    // table decides). Required for regular files.
    lc_ds_disk* (*ds_disk)(void* ctx, uint16_t vdisk) = nullptr;
    // Whether the vdisk is mounted now; NULL = every vdisk is.
    bool (*vdisk_mounted)(void* ctx, uint16_t vdisk) = nullptr;
    // Whether replication is disabled on the DS instance that serves the
    // vdisk (test code 1); NULL = never.
    bool (*replication_disabled)(void* ctx, uint16_t vdisk) = nullptr;
    // Health bits (0x1 degraded, 0x2 replication backlog, 0x8 recovering)
    // computed from cluster state; NULL = healthy.
    uint32_t (*health)(void* ctx) = nullptr;
};

// ---------------------------------------------------------------- the disk
struct lc_ns_disk_config {
    uint64_t fs_id = 0;
    bool ci = false;                  // case-insensitive (fs flag 0x4)
    bool xattrs_on_ds = true;         // regular files keep their xattrs on the DS
    uint64_t capacity = 16ull << 30;  // bytes
    uint64_t total_files = 1 << 20;   // objects other than the root
    uint64_t files_reserve = 0;       // free files no create may take (kept for the server)
    uint16_t vdisks = 6;              // V
    uint64_t start_time_ns = 0;       // the root's times; 0 = now
    lc_pool* pool = nullptr;          // the file system's space pool (free space)
    uint64_t breaks = 0;              // LC_BREAK_* rules to break (localcluster/breaks.h); 0 = none
};

// NULL on a bad configuration (no fs_id, no vdisks).
lc_ns_disk* lc_ns_disk_create(const lc_ns_disk_config& config);
void lc_ns_disk_destroy(lc_ns_disk* d);

// ---------------------------------------------------------------- the instance
// Builds the name index from the disk. One instance per disk at a time:
// NULL while another is open.
lc_ns* lc_ns_open(lc_ns_disk* d, const lc_ns_cluster_ops& ops);
// Drops the volatile part; the disk keeps everything. No call may be
// running on the instance.
void lc_ns_close(lc_ns* ns);

// ---------------------------------------------------------------- handles
constexpr uint8_t LC_NS_TYPE_FILE = 1;
constexpr uint8_t LC_NS_TYPE_DIR = 2;
constexpr uint8_t LC_NS_TYPE_SYMLINK = 5;
constexpr uint64_t LC_NS_ROOT_ID = 1;
constexpr uint8_t LC_NS_HANDLE_LEN = 20;

struct lc_ns_handle {
    uint8_t b[TARN_MDS_HANDLE_BYTES];
};

// The handle of an object: a pure function of these values.
void lc_ns_make_handle(uint64_t fs_id, uint64_t file_id, uint8_t type, uint8_t flags, lc_ns_handle* out);

// The handle of the root of the file system.
void lc_ns_root_handle(lc_ns* ns, lc_ns_handle* out);

// ---------------------------------------------------------------- outputs
struct lc_ns_post_op {
    bool present = false;  // false: the directory is gone (or never was one)
    uint8_t b[TARN_POST_OP_BYTES] = {};
};

struct lc_ns_wcc {
    bool present = false;
    uint8_t b[TARN_WCC_BYTES] = {};
};

struct lc_ns_obj {
    lc_ns_handle handle{};
    uint8_t attrs[TARN_MDS_ATTR_BYTES] = {};
};

struct lc_ns_cred {
    uint32_t uid = 0, gid = 0;
};

// ---------------------------------------------------------------- requests
// `dir` / `h` point at the 32 handle bytes of the request; names are the
// request's NUL-terminated texts without their NUL.

// Path rules: all-zero `dir` resolves from the root ("/" forms), "." is the
// directory itself, components "." and ".." are invalid, symlinks are not
// followed. `dir_post` is the request directory's (root's for a zero
// handle) whenever it exists.
uint32_t lc_ns_lookup(lc_ns* ns, const uint8_t* dir, std::string_view name, lc_ns_obj* out, lc_ns_post_op* dir_post);

struct lc_ns_readdir_out {
    lc_ns_post_op dir_post;
    bool more = false;  // entries remain after this batch
    uint32_t count = 0;
    // The reply from TARN_MDS_READDIR_REP_ENTRIES on: `count` entries, then
    // their names; name offsets count from the start of the reply.
    std::vector<uint8_t> body;
};
// Live entries with cookie > `cookie`, in cookie order, as many as fit in
// `max_reply` bytes of reply. 14 when not even the next entry fits.
uint32_t lc_ns_readdir(lc_ns* ns, const uint8_t* dir, uint64_t cookie, uint64_t max_reply, lc_ns_readdir_out* out);

// Not a symlink -> 5. `post` is the object's whenever it exists.
uint32_t lc_ns_readlink(lc_ns* ns, const uint8_t* h, std::string* target, lc_ns_post_op* post);

uint32_t lc_ns_get_attrs(lc_ns* ns, const uint8_t* h, uint8_t attrs[TARN_MDS_ATTR_BYTES]);

// `update` is the 120-byte update block, `guard` the 16 guard bytes (all
// zero = none). Regular files go through the DS set-attributes path.
uint32_t lc_ns_set_attrs(lc_ns* ns, const uint8_t* h, const uint8_t* update, const uint8_t* guard, lc_ns_wcc* wcc);

struct lc_ns_create_out {
    lc_ns_obj obj;
    lc_ns_wcc dir_wcc;
    bool created = false;
};
// mode: 1 unchecked (not implemented), 2 guarded, 3 exclusive.
uint32_t lc_ns_create_file(lc_ns* ns, const lc_ns_cred& cred, uint32_t mode, const uint8_t* update, uint64_t verifier,
                           const uint8_t* dir, std::string_view name, lc_ns_create_out* out);

struct lc_ns_mkobj_out {
    lc_ns_obj obj;
    lc_ns_wcc dir_wcc;
};
uint32_t lc_ns_mkdir(lc_ns* ns, const lc_ns_cred& cred, const uint8_t* dir, const uint8_t* update, uint64_t verifier,
                     std::string_view name, lc_ns_mkobj_out* out);
uint32_t lc_ns_symlink(lc_ns* ns, const lc_ns_cred& cred, const uint8_t* dir, const uint8_t* update,
                       std::string_view name, std::string_view target, lc_ns_mkobj_out* out);

struct lc_ns_link_out {
    uint8_t attrs[TARN_MDS_ATTR_BYTES] = {};  // the object after the link
    lc_ns_wcc dir_wcc;
};
uint32_t lc_ns_link(lc_ns* ns, const uint8_t* obj, const uint8_t* dir, std::string_view name, lc_ns_link_out* out);

uint32_t lc_ns_remove(lc_ns* ns, const uint8_t* dir, std::string_view name, lc_ns_wcc* dir_wcc);

uint32_t lc_ns_rename(lc_ns* ns, const uint8_t* src_dir, std::string_view src_name, const uint8_t* dst_dir,
                      std::string_view dst_name, lc_ns_wcc* src_wcc, lc_ns_wcc* dst_wcc);

// The 104-byte fs-info block.
uint32_t lc_ns_get_fs_info(lc_ns* ns, uint8_t info[TARN_MDS_FS_INFO_BYTES]);

// ---------------------------------------------------------------- xattrs
// Names sorted, each with its NUL; 14 when 32 + their length > max_reply.
uint32_t lc_ns_list_xattrs(lc_ns* ns, const uint8_t* h, uint64_t max_reply, std::string* names);
// 0 with the value; 14 with *needed = value length when 32 + it > max_reply;
// 8 with *needed = 0 when absent.
uint32_t lc_ns_get_xattr(lc_ns* ns, const uint8_t* h, uint64_t max_reply, std::string_view name, std::string* value,
                         uint32_t* needed);
// mode 0 create or replace, 1 create only, 2 replace only.
uint32_t lc_ns_set_xattr(lc_ns* ns, const uint8_t* h, uint32_t mode, std::string_view name, std::string_view value);
uint32_t lc_ns_remove_xattr(lc_ns* ns, const uint8_t* h, std::string_view name);

// ---------------------------------------------------------------- DS -> MDS
// A DS snapshot of a regular file becomes the replica when its
// attr_version is newer than the replica's; file ids that are gone (or are
// not regular files) are ignored. True when applied. Takes the mutex: call
// it with no DS-disk lock held.
bool lc_ns_ds_push(lc_ns* ns, const lc_ds_attrs* snapshot);

// ---------------------------------------------------------------- inspection
struct lc_ns_stats {
    uint64_t live_objects;  // the root not counted
    uint64_t files, dirs, symlinks;
    uint64_t names;  // directory entries
    uint64_t next_file_id;
    uint64_t free_files;
};
void lc_ns_get_stats(lc_ns* ns, lc_ns_stats* out);
void lc_ns_disk_get_stats(lc_ns_disk* d, lc_ns_stats* out);

// Checks the disk's invariants (nlinks = names, directory nlinks = 2 +
// subdirectories, counters, parent links) and that the instance's index
// matches the disk. Empty when all hold, else the first violation.
std::string lc_ns_check(lc_ns* ns);
