// Deliberate faults for negative controls: each switch (`--break RULE`)
// breaks one general rule of the simulated file server, so that a run of
// the suites against it shows they notice. A rule is broken for every
// caller alike: no switch looks at names, clients or what a request is for.
// The default (no bit set) is the correct server.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

enum lc_break : uint32_t {
    // A create of an existing regular file no longer recognises its own
    // verifier: the repeat of a create answers "exists".
    LC_BREAK_CREATE_FORGETS_VERIFIER = 1u << 0,
    // Rename onto an existing name replaces it instead of answering "exists".
    LC_BREAK_RENAME_REPLACES = 1u << 1,
    // A remove of a name the directory had and lost answers success.
    LC_BREAK_REMOVE_TWICE = 1u << 2,
    // Every create of a regular file costs one free file more than it takes.
    LC_BREAK_COUNTER_DRIFT = 1u << 3,
    // A repeated link of the same name to the same object counts again.
    LC_BREAK_RELINK_INCREMENTS = 1u << 4,
    // readdir hands out at most one entry per batch.
    LC_BREAK_READDIR_ONE_PER_BATCH = 1u << 5,
    // Case-insensitive names match by ASCII folding only.
    LC_BREAK_CI_ASCII_FOLD = 1u << 6,
    // An MDS restart loses the last acknowledged create of a regular file.
    LC_BREAK_DROP_ACKED_CREATE = 1u << 7,
    // Data never takes space from the pool (free space never moves).
    LC_BREAK_NO_SPACE_ACCOUNTING = 1u << 8,
    // An MDS restart forgets the verifiers of the directories it made: a
    // mkdir repeated after a crash answers "exists".
    LC_BREAK_MKDIR_FORGETS_VERIFIER = 1u << 25,
};

// The rule's bit from its name ("rename-replaces"); 0 when unknown.
uint32_t lc_break_parse(std::string_view name);
// The names of the bits set, in bit order.
std::vector<std::string> lc_break_names(uint32_t set);
// Every rule name, in bit order, comma-separated (for messages).
std::string lc_break_all_names();
// The names of the bits set as a JSON array of strings.
std::string lc_breaks_json(uint32_t set);
