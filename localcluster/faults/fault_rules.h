// Fault rules: injected misbehaviour for the libraries' integration tests.
//
// A rule names a service (and optionally one file system), filters on what
// a request carries (type, op, client, host, vdisk) and says what to do
// instead of, or around, the normal answer. Every service instance asks the
// one rule table at dispatch, after framing and before any other check; the
// table is shared by all instances and guarded by its own mutex, held only
// while a request is matched (never across socket I/O).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "localcluster/topology.h"

enum lc_fault_kind : uint32_t {
    LC_FAULT_NONE,
    LC_FAULT_STATUS,      // answer `arg` without executing
    // The two drops lose no reply but their own: replies to earlier requests
    // of the connection leave before it closes, and the client reads every
    // one of them before the end of the stream, whatever it sent behind.
    LC_FAULT_DROP,        // not executed; close the connection once those replies are out, reading nothing more
    LC_FAULT_APPLY_DROP,  // execute, then close as a drop does instead of replying
    LC_FAULT_NOREPLY,     // swallow the request
    LC_FAULT_DELAY,       // execute after `arg` ms
    LC_FAULT_SHORT,       // execute, then send an `arg`-byte reply frame
    LC_FAULT_RTERR,       // runtime error frame with code `arg`, not executed
    LC_FAULT_REFUSE,      // close the listener for `arg` ms, not executed
    LC_FAULT_OVERDATA,    // DS reads: data length one more than asked
    LC_FAULT_APPLY_CRASH, // MDS: execute, then crash before the reply leaves
    // DS: not executed; the instance stops serving at once and its host
    // goes through a hard reboot, as `host reboot` does. What the host's
    // data servers held unstably is lost with --lose-unstable, and they
    // return with new verifiers: a commit that meets the rule is repeated
    // by its client after the return and finds that its write is gone.
    LC_FAULT_REBOOT,
};

struct lc_fault_action {
    lc_fault_kind kind = LC_FAULT_NONE;
    uint32_t arg = 0;
    uint64_t rule_id = 0;
};

// The instance asking.
struct lc_fault_site {
    lc_service service;
    int fs;            // index of the file system, -1 for the registry
    uint64_t host_id;  // 0 for the registry
};

// What a request carries. Fields a service's requests lack (or that a
// truncated frame does not reach) stay unset, and a rule filtering on them
// does not match.
struct lc_fault_key {
    uint32_t type = 0;
    bool has_op = false;
    uint32_t op = 0;
    bool has_client = false;
    uint64_t client = 0;
    bool has_vdisk = false;
    uint32_t vdisk = 0;
    bool epoch_resend = false;  // the request carries the epoch re-send flag
};

struct lc_fault_fs {
    std::string name;
    uint64_t id;
};

struct lc_faults;

// `services` = the services that exist, as a mask of (1 << lc_service);
// rules for other services are refused. `seed` drives prob=.
lc_faults* lc_faults_create(const std::vector<lc_fault_fs>& fs, const std::vector<uint64_t>& host_ids,
                            uint32_t services, uint64_t seed);
void lc_faults_destroy(lc_faults* f);

// One control command, the words after "fault": add RULE..., del ID, clear,
// list. Answers one line of JSON.
std::string lc_faults_command(lc_faults* f, const std::vector<std::string>& words);

// The first rule (lowest id) that applies to the request and fires. Counts
// the match; `after` and `prob` may let the request through, and then later
// rules are asked. Cheap when no rule exists (no lock taken).
bool lc_faults_match(lc_faults* f, const lc_fault_site& site, const lc_fault_key& key, lc_fault_action* out);

size_t lc_faults_count(lc_faults* f);
const char* lc_fault_kind_name(lc_fault_kind k);
