// The host identity file that the durability suites read to learn which
// host they run on.
//
// `run --host-id-file write` makes the file name the cluster's client host
// for as long as the cluster runs, and puts back what was there when the
// last such cluster on the machine ends: a machine later used against a
// real cluster must not keep believing it is the simulated client host.
// Every change of the file, of its directory and of the state below is
// made under the guard: an exclusive flock of the directory that holds the
// file's directory. Beside the file live, while any writer runs:
//   <path>.users  every running writer holds a shared flock of it, so a
//                 writer that died (even by SIGKILL) no longer counts, and
//                 no process id is ever trusted;
//   <path>.state  says that the file was taken over, what was there before
//                 and whether the directory was made for it;
//   <path>.orig   a hard link to the original file, when there was one.
// A state left by writers that all died is undone by the next start of a
// cluster in `write` or `check` mode.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#define LC_HOST_ID_PATH "/etc/kelvane/host_id"
// Moves the file elsewhere, for the cluster's own tests only: they run
// clusters that write it beside other engineers' and CI's clusters, which
// use the real path at the same time. The suites always read the real path.
#define LC_HOST_ID_PATH_ENV "KIV_LC_HOST_ID_PATH"

// LC_HOST_ID_PATH, or the override above when it is set and not empty.
std::string lc_host_id_path();

// `check` mode: appends to *warnings when the file is missing, unreadable or
// names a server host (server_ids[0] being the MDS host). Undoes a state
// left behind by writers that are all gone first, and says so.
void lc_host_id_check(const std::string& path, const std::vector<uint64_t>& server_ids,
                      std::vector<std::string>* warnings);

struct lc_host_id_claim;

// `write` mode: makes the file hold "<client_id as %016lx>\n" until the
// claim is destroyed. Refused (null, *err set) when the file names another
// host that no running cluster wrote, or when a running cluster holds it
// for another client id. *notes receives what was cleaned up on the way.
lc_host_id_claim* lc_host_id_claim_create(const std::string& path, uint64_t client_id, std::string* err,
                                          std::vector<std::string>* notes);
// Gives the claim up; the last claim on the machine puts back what was
// there before the first (or removes the file, and the directory if it was
// made for it). Null is ignored. Empty, or what could not be put back.
std::string lc_host_id_claim_destroy(lc_host_id_claim* claim);
