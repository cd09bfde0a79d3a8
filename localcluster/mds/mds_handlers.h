// The request handlers of the Tarn MDS: each decodes its request with the
// wire header's offsets, makes one call into the namespace engine (or the
// cluster disk, for the vdisk map and reports) and encodes the reply in its
// exact layout. The request table (mds_proto.cpp) names them; they run in
// loop context of the instance's process, after the header, epoch and name
// checks, so every name they read ends inside the frame.
//
// OK replies have the type's full layout. Error replies carry the blocks the
// client reads from them whenever the engine could fill them (the directory,
// or the object, still exists), else they are the bare 32-byte header; a
// get_xattr error reply is always 40 bytes with the needed size at +32.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "localcluster/mds/mds_proto.h"

struct lc_ns;
struct lc_cdisk;

// What the handlers of one instance work on; lc_mds_call::ctx points here.
struct lc_mds_env {
    lc_ns* ns = nullptr;        // the open namespace; NULL while the instance is down
    lc_cdisk* cdisk = nullptr;  // the vdisk table; NULL = no data side (map and reports answer 16)
    int fs = 0;                 // the file system's index in the cluster disk
    uint64_t fs_id = 0;
};

uint32_t lc_mds_h_lookup(lc_mds_call* c);
uint32_t lc_mds_h_readdir(lc_mds_call* c);
uint32_t lc_mds_h_readlink(lc_mds_call* c);
uint32_t lc_mds_h_get_attrs(lc_mds_call* c);
uint32_t lc_mds_h_set_attrs(lc_mds_call* c);
uint32_t lc_mds_h_create_file(lc_mds_call* c);
uint32_t lc_mds_h_mkdir(lc_mds_call* c);
uint32_t lc_mds_h_link(lc_mds_call* c);
uint32_t lc_mds_h_symlink(lc_mds_call* c);
uint32_t lc_mds_h_rename(lc_mds_call* c);
uint32_t lc_mds_h_remove(lc_mds_call* c);
uint32_t lc_mds_h_get_fs_info(lc_mds_call* c);
uint32_t lc_mds_h_get_vdisk_map(lc_mds_call* c);
uint32_t lc_mds_h_report_vdisk(lc_mds_call* c);
uint32_t lc_mds_h_list_xattrs(lc_mds_call* c);
uint32_t lc_mds_h_get_xattr(lc_mds_call* c);
uint32_t lc_mds_h_set_xattr(lc_mds_call* c);
uint32_t lc_mds_h_remove_xattr(lc_mds_call* c);
// Checks the checksum (5 on a mismatch); code 2 crashes the instance and
// leaves the request unanswered; other codes answer 16.
uint32_t lc_mds_h_test(lc_mds_call* c);

// The subtree at `path` ("/" or empty = the root; symlinks are not
// followed) as JSON: one object per node with its name, file id, type,
// mode, nlinks, size, vdisk (files), target (symlinks) and entries
// (directories). At most `max_nodes` nodes are listed; a cut listing says
// "truncated":true. Empty with *err on failure.
std::string lc_mds_dump_json(lc_ns* ns, std::string_view path, size_t max_nodes, std::string* err);
