// The host identity file that the durability suites read to learn which
// host they run on.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "localcluster/options.h"

#define LC_HOST_ID_PATH "/etc/kelvane/host_id"

// Applies a --host-id-file mode to the file at `path`:
// - write: writes "<client id as %016lx>\n" (creating the directory); a
//   file naming another id is replaced only if `marker` exists, which says
//   that this program wrote it before; the marker is created afterwards.
// - check: appends to *warnings when the file is missing, unreadable or
//   names a server host.
// - off: nothing.
// Empty on success, else the reason (write only).
std::string lc_host_id_file_apply(lc_host_id_mode mode, const std::string& path, const std::string& marker,
                                  uint64_t client_id, const std::vector<uint64_t>& server_ids,
                                  std::vector<std::string>* warnings);
