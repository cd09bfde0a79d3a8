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

enum lc_break : uint64_t {
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
    // Lock server: a POSIX take adds its segment beside the owner's segments
    // instead of merging into them (no cut, no join: a re-take stacks).
    LC_BREAK_LS_POSIX_NO_MERGE = 1u << 9,
    // Lock server: a Windows exclusive take ignores its owner's own locks.
    LC_BREAK_LS_WIN_EXCL_IGNORES_OWN = 1u << 10,
    // Lock server: free-all keeps the caller's share-mode locks.
    LC_BREAK_LS_FREE_ALL_KEEPS_SHARE = 1u << 11,
    // Lock server: a share-mode re-take by its holder adds a second entry.
    LC_BREAK_LS_SHARE_RETAKE_STACKS = 1u << 12,
    // Lock server: a search says "more" only when two or more locks follow.
    LC_BREAK_LS_SEARCH_HAS_MORE_OFF_BY_ONE = 1u << 13,
    // Lock server: a zero-length Windows lock conflicts at a range's start.
    LC_BREAK_LS_ZERO_LEN_CONFLICTS_AT_START = 1u << 14,
    // A preallocation that does not fit takes the free blocks it can reach
    // before refusing, and never gives them back.
    LC_BREAK_FALLOCATE_PARTIAL = 1u << 16,
    // A write pays for every block it touches, allocated ones included.
    LC_BREAK_OVERWRITE_CHARGED = 1u << 17,
    // A data server's "buffer too small" xattr answer carries the metadata
    // server's status number for it.
    LC_BREAK_DS_XATTR_MDS_STATUS = 1u << 18,
    // A write the pool cannot cover is stored anyway.
    LC_BREAK_WRITE_BEYOND_FREE = 1u << 19,
    // New data pages are not cleared: the bytes a write does not cover hold
    // what a page freed earlier held.
    LC_BREAK_HOLE_STALE_BYTES = 1u << 20,
    // A commit leaves the data it committed marked unstable, so a data
    // server going down loses it as if it had never been committed.
    LC_BREAK_LOSE_COMMITTED = 1u << 21,
    // While replication is disabled, changes are neither pushed nor kept
    // dirty: the metadata server never learns of them.
    LC_BREAK_REPL_LOST_WHILE_DISABLED = 1u << 22,
    // A data server coming back keeps the write verifier it had.
    LC_BREAK_RESTART_KEEPS_VERIFIER = 1u << 23,
    // A data server answers xattr sets with success and stores nothing.
    LC_BREAK_XATTR_SET_DROPPED = 1u << 24,
    // An MDS restart forgets the verifiers of the directories it made: a
    // mkdir repeated after a crash answers "exists".
    LC_BREAK_MKDIR_FORGETS_VERIFIER = 1u << 25,
    // The file-system info reports the free space where it should report
    // the space available to users (the reserve not taken off).
    LC_BREAK_AVAIL_REPORTS_FREE = 1ull << 26,
    // The file-system info reports the share's free space as the free space
    // of its fullest vdisk.
    LC_BREAK_MIN_VDISK_REPORTS_SHARE_FREE = 1ull << 27,
    // A create of a regular file ignores the mode it asks for: the file
    // gets the server's default mode, 0644.
    LC_BREAK_CREATE_IGNORES_MODE = 1ull << 28,
    // A rename of a directory checks only the destination and its parent
    // for the directory itself, so it can move below its own grandchild.
    LC_BREAK_RENAME_ANCESTOR_ONE_LEVEL = 1ull << 29,
    // A directory counts as empty while it holds no entries but directories;
    // removing it takes those along, with everything below them.
    LC_BREAK_RMDIR_COUNTS_FILES_ONLY = 1ull << 30,
    // A freed object's file id (and a file's vdisk), hence its handle, goes
    // to the next object created.
    LC_BREAK_FREED_HANDLE_REUSED = 1ull << 31,
    // Lock server: a zero-length POSIX lock stops one byte short of the end
    // of the file (it never covers offset 2^64-1).
    LC_BREAK_LS_POSIX_EOF_SHORT = 1ull << 32,
    // Lock server: a cancel removes the owner's oldest queued request on the
    // file, whatever range it names.
    LC_BREAK_LS_CANCEL_OLDEST = 1ull << 33,
    // Lock server: a search says "more" whenever its page is full.
    LC_BREAK_LS_SEARCH_MORE_WHEN_FULL = 1ull << 34,
    // Link and symbolic-link requests are not recognised when repeated: a
    // repeat whose first try was done answers "exists", as from a server
    // that keeps no reply cache.
    LC_BREAK_LINK_REPEAT_EXISTS = 1ull << 36,
    // Replication disabled by test code 1 stays off when the connection
    // that disabled it closes: only a restart or `repl enable` turns it on.
    LC_BREAK_REPL_DISABLE_OUTLIVES_CONNECTION = 1ull << 37,
};

// The rule's bit from its name ("rename-replaces"); 0 when unknown.
uint64_t lc_break_parse(std::string_view name);
// The names of the bits set, in bit order.
std::vector<std::string> lc_break_names(uint64_t set);
// Every rule name, in bit order, comma-separated (for messages).
std::string lc_break_all_names();
// The names of the bits set as a JSON array of strings.
std::string lc_breaks_json(uint64_t set);
