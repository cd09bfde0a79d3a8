// The lock server's requests and replies: every request layout read through
// the offsets it carries, each offset and length checked against the frame,
// and the answer written in the reply layout the lock client reads. No
// network: a whole request frame in, a whole reply frame out.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "localcluster/ls/ls_engine.h"

// Limits of what a request may carry.
constexpr uint32_t LC_LS_MAX_NAME = 2048;     // caller name with its NUL
constexpr uint64_t LC_LS_MAX_OPAQUE = 8192;   // 8 per item + the items' bytes
constexpr uint32_t LC_LS_MAX_HANDLE = 8192;   // share-mode handle bytes

// Runs one request frame (`len` bytes, as received) against the engine and
// returns the reply frame: type + 1, the request's xid, version 2, the
// handling error (0, or EPROTO, EOPNOTSUPP, ENAMETOOLONG, E2BIG, EINVAL, or
// ENOLCK for a request past the engine's limits) and
// the status. Every frame gets a reply, however malformed; a search for pages
// of no entry is refused (EINVAL).
std::vector<uint8_t> lc_ls_serve(lc_ls_engine* e, const uint8_t* req, size_t len);
