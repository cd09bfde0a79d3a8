// The durable storage of one data server (one per (host, file system)):
// the objects of every vdisk placed on that host, each with sparse data in
// 4 KiB pages, its allocated blocks, the attributes the data server owns,
// its xattrs (when the file system keeps regular-file xattrs here) and its
// unstable ranges; and the dirty set of objects whose attributes the
// metadata server has not yet taken. A crash of the data server instance
// leaves all of it in place.
//
// Threads. Every call is safe from any thread. Lock order: object map ->
// object -> pool; the dirty set's mutex is a leaf. No lock of the disk is
// held while the push hook runs, so the hook may take the metadata
// server's mutex.
//
// Two kinds of callers:
//  - the data server's request handlers (read, write, commit, get/set
//    attributes, allocate, xattrs, usage): every change is pushed to the
//    metadata server through the push hook, and lands in the dirty set when
//    the hook cannot apply it;
//  - the metadata server's namespace engine, in-process and under its own
//    mutex (create, set nlinks, delete, the "mds" set_attrs): these never
//    call the hook; the caller keeps its replica from the attributes they
//    return. They work whatever the state of the data server instance.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <vector>

#include "client/tarn_wire_blocks.h"  // the TARN_DS_SET_* mask bits
#include "localcluster/common/xattrs.h"
#include "localcluster/ds/pool.h"

enum lc_ds_result {
    LC_DS_OK,
    LC_DS_NOT_FOUND,     // no such object (or not on the named vdisk)
    LC_DS_EXISTS,        // create of a file id in use; xattr set mode 1 on an existing name
    LC_DS_INVALID,       // bad argument (zero-length allocation, unknown vdisk, bad xattr mode or name...)
    LC_DS_CONFLICT,      // set_attrs guard differs from the ctime
    LC_DS_NO_SPACE,      // the vdisk cannot get the new blocks from the pool; xattr quota
    LC_DS_TOO_LARGE,     // the end would pass 2^63-1
    LC_DS_TOO_BIG,       // xattr name or value too long
    LC_DS_BUFFER_SMALL,  // xattr get or list does not fit the capacity
};

// The DS status number of a result (TARN_DS_* of client/tarn_wire.h).
uint32_t lc_ds_status(lc_ds_result r);
lc_ds_result lc_ds_result_from_xattr(lc_xattr_result r);

enum : uint64_t {
    LC_DS_PAGE = 4096,
    LC_DS_MAX_IO = 4194304,            // data per read or write
    LC_DS_MAX_END = 0x7fffffffffffffff, // largest file end
};
enum : uint32_t { LC_DS_ANY_VDISK = 0xffffffff };

// The attributes of one object as the data server owns them, plus the
// copy of nlinks it keeps for get_attrs. Times are ns since the epoch.
struct lc_ds_attrs {
    uint64_t file_id = 0;
    uint32_t vdisk = 0;
    uint32_t mode = 0;  // & 07777
    uint32_t nlinks = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    uint64_t space_used = 0;  // allocated blocks x 4096
    uint64_t atime = 0;
    uint64_t mtime = 0;
    uint64_t ctime = 0;
    uint64_t attr_version = 0;  // +1 at every change
};

// An attribute update with DS mask bits (TARN_DS_SET_*: 0x1 mode, 0x4 uid,
// 0x8 gid, 0x10 size, 0x20 atime, 0x40 atime = now, 0x80 mtime,
// 0x100 mtime = now). Other bits are ignored.
struct lc_ds_update {
    uint32_t mask = 0;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    uint64_t atime = 0;
    uint64_t mtime = 0;
};

// ---------------------------------------------------------------- wire forms
// The 96-byte DS update block of a set_attrs request.
void lc_ds_update_read(const uint8_t* block, lc_ds_update* u);
// The 120-byte MDS update block (MDS mask bits), as create_file and the
// MDS set_attrs of a regular file carry it.
void lc_ds_update_from_mds(const uint8_t* block, lc_ds_update* u);
// The 88-byte DS attributes block.
void lc_ds_attrs_put(uint8_t* p, const lc_ds_attrs* a);
// The 72-byte post-op block: size, space_used, file_id, attr_version, mtime, ctime.
void lc_ds_post_op_put(uint8_t* p, const lc_ds_attrs* a);
// The 120-byte wcc block: size, mtime, ctime of `pre`, then the post-op of `post`.
void lc_ds_wcc_put(uint8_t* p, const lc_ds_attrs* pre, const lc_ds_attrs* post);

// ---------------------------------------------------------------- the disk
struct lc_ds_disk;

// `pool` is the file system's pool (shared with the other disks of the fs,
// it must outlive the disk); vdisk ids of this fs are 0..vdisk_count-1.
// `xattrs` = regular-file xattrs live here.
lc_ds_disk* lc_ds_disk_create(lc_pool* pool, uint32_t vdisk_count, bool xattrs);
// Frees the disk's memory; the pool is not touched (it goes with the disk's
// file system).
void lc_ds_disk_destroy(lc_ds_disk* d);

// The push hook: called after each change made through a data server
// call, with no disk lock held, before that call returns. It answers true
// when the metadata server took the snapshot (or has no such file any
// more), false when it could not (metadata server down, replication
// disabled): the file id then joins the dirty set. NULL = no metadata
// server: every change is dirty. Once this returns the old hook is never
// called again; do not call it from the hook or under the metadata
// server's mutex.
typedef bool (*lc_ds_push_fn)(void* ctx, const lc_ds_attrs* snapshot);
void lc_ds_disk_set_push(lc_ds_disk* d, lc_ds_push_fn fn, void* ctx);

// Every call naming an object takes its file id and the vdisk it must be
// on (LC_DS_ANY_VDISK: any); a mismatch is NOT_FOUND. Where a call fills
// `pre`/`post` (each may be NULL) it does so whenever the object exists,
// also on failure (then post = pre, nothing changed).

// ---- data server requests

// n = 0 if offset >= size, else min(count, size - offset, 4 MiB) bytes
// into `buf` (which holds min(count, 4 MiB)); *eof = offset + n >= size. Holes and allocated, unwritten
// blocks read as zeros. No attribute changes; no push.
lc_ds_result lc_ds_disk_read(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, uint32_t count,
                             uint8_t* buf, uint32_t* n, bool* eof, lc_ds_attrs* post);

// len 0: nothing changes. len > 4 MiB: INVALID. offset + len > 2^63-1:
// TOO_LARGE. New blocks beyond what the pool gives the vdisk
// (lc_pool_vdisk_free_blocks): NO_SPACE, nothing
// written. Otherwise all of it is stored; size = max(size, end),
// mtime = ctime = now. An unstable write (stable = false) records its range
// for lc_ds_disk_lose_unstable until the next commit; a stable one clears
// the range.
lc_ds_result lc_ds_disk_write(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, const uint8_t* data,
                              uint32_t len, bool stable, lc_ds_attrs* pre, lc_ds_attrs* post);

// Makes the object's unstable ranges stable. No attribute changes.
lc_ds_result lc_ds_disk_commit(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, lc_ds_attrs* pre, lc_ds_attrs* post);

lc_ds_result lc_ds_disk_get_attrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, lc_ds_attrs* out);

// `guard` (the first 8 bytes of the wire guard, 0 = none) != ctime:
// CONFLICT. A size beyond 2^63-1: TOO_LARGE. Then: mode & 07777; a smaller
// size frees the pages and blocks at or past round_up(size, 4096) (allocated
// ones included) and zeroes the rest of the last page; a larger size makes
// a hole; a size bit sets mtime = now unless mtime is given; any recognised
// bit sets ctime = now. Explicit times are stored verbatim.
lc_ds_result lc_ds_disk_set_attrs(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, const lc_ds_update* u,
                                  uint64_t guard, lc_ds_attrs* pre, lc_ds_attrs* post);

// modify_range op 1 (allocate), checked in this order: length 0 INVALID;
// offset + length overflowing or past 2^63-1 TOO_LARGE; new blocks beyond
// what the pool gives the vdisk NO_SPACE (nothing allocated). Then the blocks are
// allocated, size = max(size, end), ctime = now.
lc_ds_result lc_ds_disk_allocate(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, uint64_t offset, uint64_t length,
                                 lc_ds_attrs* pre, lc_ds_attrs* post);

// Xattrs of regular files (INVALID when this file system keeps them on the
// metadata server). Results as lc_xattrs_*; no attribute changes, no push.
lc_ds_result lc_ds_disk_xattr_get(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name, void* buf,
                                  size_t capacity, size_t* vlen);
lc_ds_result lc_ds_disk_xattr_list(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, void* buf, size_t capacity,
                                   size_t* needed);
lc_ds_result lc_ds_disk_xattr_set(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name,
                                  const void* value, size_t len, uint32_t mode);
lc_ds_result lc_ds_disk_xattr_remove(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, std::string_view name);

struct lc_ds_usage {
    uint64_t pool_total_bytes;
    uint64_t pool_free_bytes;
    uint64_t allocated_bytes;  // by the objects on this vdisk
    uint64_t objects;          // on this vdisk
};
// INVALID for a vdisk id outside the file system.
lc_ds_result lc_ds_disk_usage(lc_ds_disk* d, uint32_t vdisk, lc_ds_usage* out);

// ---- metadata server calls (never pushed)

// A new object on `vdisk`: nlinks 1, size 0, mode 0644 unless the update
// gives one, uid/gid from the update or else from the credentials, all
// times = now; then the update's size and time bits as set_attrs applies
// them. EXISTS if the id is in use (nothing changes), INVALID for a vdisk
// outside the file system, TOO_LARGE for a size past 2^63-1. *out gets the
// attributes for the replica.
lc_ds_result lc_ds_disk_create_object(lc_ds_disk* d, uint64_t file_id, uint32_t vdisk, const lc_ds_update* u,
                                      uint32_t cred_uid, uint32_t cred_gid, lc_ds_attrs* out);
// Stores the metadata server's link count; ctime = now.
lc_ds_result lc_ds_disk_set_nlinks(lc_ds_disk* d, uint64_t file_id, uint32_t nlinks, lc_ds_attrs* out);
// set_attrs of a regular file on behalf of the metadata server: the same
// rules as lc_ds_disk_set_attrs, without the push.
lc_ds_result lc_ds_disk_mds_set_attrs(lc_ds_disk* d, uint64_t file_id, const lc_ds_update* u, uint64_t guard,
                                      lc_ds_attrs* pre, lc_ds_attrs* post);
// Removes the object: its pages are freed and its blocks go back to the
// pool before this returns; its xattrs and dirty mark go with it.
lc_ds_result lc_ds_disk_delete_object(lc_ds_disk* d, uint64_t file_id);

// ---- replication (dirty set)

// The current attributes of an object, on whatever vdisk.
lc_ds_result lc_ds_disk_snapshot(lc_ds_disk* d, uint64_t file_id, lc_ds_attrs* out);
void lc_ds_disk_mark_dirty(lc_ds_disk* d, uint64_t file_id);
size_t lc_ds_disk_dirty_count(lc_ds_disk* d);
// The dirty file ids, ascending; the set is not changed.
std::vector<uint64_t> lc_ds_disk_dirty_ids(lc_ds_disk* d);
// After a snapshot of version `pushed_version` was taken by the metadata
// server: the id leaves the dirty set, unless the object changed since
// (it stays for the next pass). An object gone leaves it too.
void lc_ds_disk_dirty_done(lc_ds_disk* d, uint64_t file_id, uint64_t pushed_version);
// One pass of catch-up: pushes the current snapshot of every dirty object
// through `fn`, clearing those taken; stops at the first refusal. Returns
// the number still dirty. Call with no lock held.
size_t lc_ds_disk_flush_dirty(lc_ds_disk* d, lc_ds_push_fn fn, void* ctx);

// ---- crash support and inspection

// Overwrites every byte written unstably since its object's last commit
// with 0xDB (size, times and attr_version kept) and forgets the ranges.
void lc_ds_disk_lose_unstable(lc_ds_disk* d);
// The rules of localcluster/breaks.h this disk breaks: lose-committed
// (commits leave their ranges unstable, so that lc_ds_disk_lose_unstable
// takes them too) and xattr-set-dropped (sets answer success and store
// nothing).
void lc_ds_disk_set_breaks(lc_ds_disk* d, uint64_t breaks);

size_t lc_ds_disk_object_count(lc_ds_disk* d);
std::vector<uint64_t> lc_ds_disk_object_ids(lc_ds_disk* d);  // ascending
// Data pages held by all objects of the disk (4 KiB each).
uint64_t lc_ds_disk_page_count(lc_ds_disk* d);
// The LC_BREAK_* rules (localcluster/breaks.h) its file system's pool says
// to break.
uint64_t lc_ds_disk_breaks(const lc_ds_disk* d);
