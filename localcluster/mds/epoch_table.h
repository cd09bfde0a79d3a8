// Epoch fencing of one server instance (MDS and DS alike): the newest epoch
// each client has shown, kept in volatile memory, so a restarted instance
// knows nobody and every client proves itself once with a re-sent request.
#pragma once

#include <stdint.h>

#include <unordered_map>

enum lc_epoch_verdict {
    LC_EPOCH_OK,       // execute
    LC_EPOCH_UNKNOWN,  // answer "epoch unknown" (status 1), do not execute
    LC_EPOCH_PAST,     // older than the client's known epoch: execute, and say so in the log
};

struct lc_epoch_table {
    std::unordered_map<uint64_t, uint32_t> known;  // client id -> newest epoch seen
};

// Strict: a request without the re-send flag from an unknown client, or
// with an epoch above the known one, is unknown; a re-sent request raises
// the known epoch and is never unknown. Lenient: clients and newer epochs
// are taken as they come. *known_out is the known epoch after the call.
lc_epoch_verdict lc_epoch_check(lc_epoch_table* t, uint64_t client, uint32_t epoch, bool resend, bool strict,
                                uint32_t* known_out);
