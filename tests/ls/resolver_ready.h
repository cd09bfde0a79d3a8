// A new lock client learns where a file system's lock server is from its
// resolver's first listing, and a lock call gives an unknown file system
// only a few retries 100 ms apart: on a loaded machine the listing can come
// later, and the call fails before it was ever sent. The lock programs
// wait for the listing before a client's first call.
#pragma once

#include <stdint.h>

#include "ls_client/ls_client_int.h"
#include "ls_client/ls_resolver.h"
#include "unittests/runtime/runtime_test_util.h"

// True once the client's resolver knows fs_id; false after the hang guard.
inline bool tarn_ls_wait_resolved(ls_client* c, uint64_t fs_id) {
    ls_server_entry e;
    return rttest::wait_until([&] { return ls_resolver_find_ls(c->resolver, fs_id, &e) == 0; });
}
