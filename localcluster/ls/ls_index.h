// An interval index for the lock tables: an intrusive treap of closed byte
// ranges [start, last], ordered by (start, key), each node knowing the
// largest last byte below it. The entries that meet a range, or that start
// in one, are found in O(log n + k) for k found.
//
// The nodes belong to the caller, which embeds them in its own records
// (`obj` points back at the record) and may keep one record in several
// trees through several nodes. Keys must be unique within a tree.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <type_traits>

struct lc_ls_ivnode {
    uint64_t start = 0, last = 0;  // last >= start
    uint64_t key = 0;              // tie-break among equal starts, unique in the tree
    uint64_t max_last = 0;         // of this subtree
    uint32_t prio = 0;             // set by lc_ls_iv_insert from the key and the seed
    lc_ls_ivnode* left = nullptr;
    lc_ls_ivnode* right = nullptr;
    void* obj = nullptr;
};

struct lc_ls_ivtree {
    lc_ls_ivnode* root = nullptr;
    size_t size = 0;
};

// `node` must be in no tree; start, last and key set. Its priority is a
// mix of the key keyed by `seed`, which should be random and kept from the
// peers: they pick the starts and may see the keys, and priorities they
// could compute would let them order the starts to make the tree a chain.
void lc_ls_iv_insert(lc_ls_ivtree* tree, lc_ls_ivnode* node, uint64_t seed);
// `node` must be in `tree`.
void lc_ls_iv_erase(lc_ls_ivtree* tree, lc_ls_ivnode* node);
// Empty when the tree holds together (order, heap, max_last, size);
// otherwise the first fault found. Visits every node: for tests.
std::string lc_ls_iv_check(const lc_ls_ivtree* tree);
// The nodes on the longest path down from the root. Visits every node:
// for tests.
size_t lc_ls_iv_depth(const lc_ls_ivtree* tree);

namespace lc_ls_iv_detail {
// fn may return void or bool (false stops the walk).
template <class Fn>
bool call(Fn& fn, lc_ls_ivnode* n) {
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&, lc_ls_ivnode*>>) {
        fn(n);
        return true;
    } else {
        return bool(fn(n));
    }
}

template <class Fn>
bool meeting(lc_ls_ivnode* n, uint64_t lo, uint64_t hi, Fn& fn) {
    while (n) {
        if (n->max_last < lo) return true;
        if (!meeting(n->left, lo, hi, fn)) return false;
        if (n->start > hi) return true;
        if (n->last >= lo && !call(fn, n)) return false;
        n = n->right;
    }
    return true;
}

template <class Fn>
bool starting(lc_ls_ivnode* n, uint64_t lo, uint64_t hi, Fn& fn) {
    while (n) {
        if (n->start < lo) {
            n = n->right;
            continue;
        }
        if (!starting(n->left, lo, hi, fn)) return false;
        if (n->start > hi) return true;
        if (!call(fn, n)) return false;
        n = n->right;
    }
    return true;
}

// Whether one of the sorted, disjoint spans [los[i], his[i]] meets a byte
// range that starts at `from` or later and ends at `to` or earlier.
inline bool any_span(const uint64_t* los, const uint64_t* his, size_t n, uint64_t from, uint64_t to) {
    size_t a = 0, b = n;  // the first span whose hi >= from
    while (a < b) {
        size_t m = a + (b - a) / 2;
        if (his[m] < from) a = m + 1;
        else b = m;
    }
    return a < n && los[a] <= to;
}

template <class Fn>
bool meeting_any(lc_ls_ivnode* n, uint64_t from, const uint64_t* los, const uint64_t* his, size_t cnt, Fn& fn) {
    while (n) {
        // Every start below is `from` or later, every last at most max_last.
        if (!any_span(los, his, cnt, from, n->max_last)) return true;
        if (!meeting_any(n->left, from, los, his, cnt, fn)) return false;
        if (any_span(los, his, cnt, n->start, n->last) && !call(fn, n)) {
            // any_span(start, last) asks for a span with hi >= start and
            // lo <= last: exactly one that meets the node.
            return false;
        }
        from = n->start;
        n = n->right;
    }
    return true;
}
}  // namespace lc_ls_iv_detail

// Calls fn(node) for each node with start <= hi && last >= lo, in (start,
// key) order. False when fn stopped the walk. lo > hi is allowed: then the
// nodes that start at hi or before and reach lo or past.
template <class Fn>
bool lc_ls_iv_meeting(lc_ls_ivnode* root, uint64_t lo, uint64_t hi, Fn&& fn) {
    return lc_ls_iv_detail::meeting(root, lo, hi, fn);
}

// Calls fn(node) for each node whose start lies in [lo, hi], in order.
template <class Fn>
bool lc_ls_iv_starting(lc_ls_ivnode* root, uint64_t lo, uint64_t hi, Fn&& fn) {
    return lc_ls_iv_detail::starting(root, lo, hi, fn);
}

// Calls fn(node) once for each node that meets any of the `n` spans
// [los[i], his[i]], which are sorted and disjoint, in order. Each node is
// visited once however many spans it meets.
template <class Fn>
bool lc_ls_iv_meeting_any(lc_ls_ivnode* root, const uint64_t* los, const uint64_t* his, size_t n, Fn&& fn) {
    return lc_ls_iv_detail::meeting_any(root, 0, los, his, n, fn);
}
