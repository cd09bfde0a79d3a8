// Locks that an earlier run of kelvane-tarn-test-ls left behind. A run ended
// by SIGKILL inside a test never frees what it held, and its caller names
// were random, so no later run can free them: every test that meets such a
// lock fails with an answer that points nowhere. Checked once before the
// first test, so that the run stops with one line that names the lock.
#pragma once

#include <stdint.h>

#include <string>

// The byte-range file handles the suites lock on.
extern const uint64_t tarn_ls_suite_handles[];
extern const size_t tarn_ls_suite_handle_count;

// Empty when the lock server of `fs_id` holds no byte-range lock on the
// suites' handles and no Windows lock at all (the control suite counts every
// Windows lock of the file system); otherwise one line naming the first lock
// found and how to clear it. `fs_name` only goes into the line.
std::string tarn_ls_find_leftover_lock(const char* cluster, const char* fs_name, uint64_t fs_id);
