#include "localcluster/breaks.h"

namespace {

struct break_name {
    uint64_t bit;
    const char* name;
};

constexpr break_name kBreaks[] = {
    {LC_BREAK_CREATE_FORGETS_VERIFIER, "create-forgets-verifier"},
    {LC_BREAK_RENAME_REPLACES, "rename-replaces"},
    {LC_BREAK_REMOVE_TWICE, "remove-twice"},
    {LC_BREAK_COUNTER_DRIFT, "counter-drift"},
    {LC_BREAK_RELINK_INCREMENTS, "relink-increments"},
    {LC_BREAK_READDIR_ONE_PER_BATCH, "readdir-one-per-batch"},
    {LC_BREAK_CI_ASCII_FOLD, "ci-ascii-fold"},
    {LC_BREAK_DROP_ACKED_CREATE, "drop-acked-create"},
    {LC_BREAK_NO_SPACE_ACCOUNTING, "no-space-accounting"},
    {LC_BREAK_LS_POSIX_NO_MERGE, "ls-posix-no-merge"},
    {LC_BREAK_LS_WIN_EXCL_IGNORES_OWN, "ls-win-excl-ignores-own"},
    {LC_BREAK_LS_FREE_ALL_KEEPS_SHARE, "ls-free-all-keeps-share"},
    {LC_BREAK_LS_SHARE_RETAKE_STACKS, "ls-share-retake-stacks"},
    {LC_BREAK_LS_SEARCH_HAS_MORE_OFF_BY_ONE, "ls-search-has-more-off-by-one"},
    {LC_BREAK_LS_ZERO_LEN_CONFLICTS_AT_START, "ls-zero-len-conflicts-at-start"},
    {LC_BREAK_FALLOCATE_PARTIAL, "fallocate-partial"},
    {LC_BREAK_OVERWRITE_CHARGED, "overwrite-charged"},
    {LC_BREAK_DS_XATTR_MDS_STATUS, "ds-xattr-mds-status"},
    {LC_BREAK_WRITE_BEYOND_FREE, "write-beyond-free"},
    {LC_BREAK_HOLE_STALE_BYTES, "hole-stale-bytes"},
    {LC_BREAK_LOSE_COMMITTED, "lose-committed"},
    {LC_BREAK_REPL_LOST_WHILE_DISABLED, "repl-lost-while-disabled"},
    {LC_BREAK_RESTART_KEEPS_VERIFIER, "restart-keeps-verifier"},
    {LC_BREAK_XATTR_SET_DROPPED, "xattr-set-dropped"},
    {LC_BREAK_MKDIR_FORGETS_VERIFIER, "mkdir-forgets-verifier"},
    {LC_BREAK_AVAIL_REPORTS_FREE, "avail-reports-free"},
    {LC_BREAK_MIN_VDISK_REPORTS_SHARE_FREE, "min-vdisk-reports-share-free"},
    {LC_BREAK_CREATE_IGNORES_MODE, "create-ignores-mode"},
    {LC_BREAK_RENAME_ANCESTOR_ONE_LEVEL, "rename-ancestor-one-level"},
    {LC_BREAK_RMDIR_COUNTS_FILES_ONLY, "rmdir-counts-files-only"},
    {LC_BREAK_FREED_HANDLE_REUSED, "freed-handle-reused"},
    {LC_BREAK_LS_POSIX_EOF_SHORT, "ls-posix-eof-short"},
    {LC_BREAK_LS_CANCEL_OLDEST, "ls-cancel-oldest"},
    {LC_BREAK_LS_SEARCH_MORE_WHEN_FULL, "ls-search-more-when-full"},
    {LC_BREAK_LINK_REPEAT_EXISTS, "link-repeat-exists"},
    {LC_BREAK_REPL_DISABLE_OUTLIVES_CONNECTION, "repl-disable-outlives-connection"},
};

}  // namespace

uint64_t lc_break_parse(std::string_view name) {
    for (const break_name& b : kBreaks)
        if (name == b.name) return b.bit;
    return 0;
}

std::vector<std::string> lc_break_names(uint64_t set) {
    std::vector<std::string> out;
    for (const break_name& b : kBreaks)
        if (set & b.bit) out.emplace_back(b.name);
    return out;
}

std::string lc_break_all_names() {
    std::string out;
    for (const break_name& b : kBreaks) {
        if (!out.empty()) out += ", ";
        out += b.name;
    }
    return out;
}

std::string lc_breaks_json(uint64_t set) {
    // Rule names are plain lower-case words and dashes: no escaping needed.
    std::string out = "[";
    for (const std::string& n : lc_break_names(set)) {
        if (out.size() > 1) out += ",";
        out += "\"" + n + "\"";
    }
    return out + "]";
}
