#include "localcluster/ls/ls_index.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The key's place in the stream of a 64-bit mixing generator seeded with
// `seed`: without the seed the priorities of keys, even of keys that only
// grow, follow no order a peer could shape the starts after.
uint32_t prio_of(uint64_t key, uint64_t seed) {
    uint64_t z = seed + key * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((z ^ (z >> 31)) >> 16);
}

bool before(const lc_ls_ivnode* a, uint64_t start, uint64_t key) {
    return a->start < start || (a->start == start && a->key < key);
}

void fix(lc_ls_ivnode* n) {
    uint64_t m = n->last;
    if (n->left) m = std::max(m, n->left->max_last);
    if (n->right) m = std::max(m, n->right->max_last);
    n->max_last = m;
}

// Splits t into the nodes ordered before (start, key) and the rest.
void split(lc_ls_ivnode* t, uint64_t start, uint64_t key, lc_ls_ivnode** lo, lc_ls_ivnode** hi) {
    if (!t) {
        *lo = *hi = nullptr;
        return;
    }
    if (before(t, start, key)) {
        split(t->right, start, key, &t->right, hi);
        *lo = t;
    } else {
        split(t->left, start, key, lo, &t->left);
        *hi = t;
    }
    fix(t);
}

lc_ls_ivnode* merge(lc_ls_ivnode* a, lc_ls_ivnode* b) {
    if (!a) return b;
    if (!b) return a;
    if (a->prio > b->prio) {
        a->right = merge(a->right, b);
        fix(a);
        return a;
    }
    b->left = merge(a, b->left);
    fix(b);
    return b;
}

// Down to where the node's priority puts it, then what was there split
// around it; each subtree's maximum fixed on the way back up. Recursive
// rather than with a path kept aside: no allocation per change.
void insert_at(lc_ls_ivnode** at, lc_ls_ivnode* node) {
    if (!*at || (*at)->prio < node->prio) {
        split(*at, node->start, node->key, &node->left, &node->right);
        fix(node);
        *at = node;
        return;
    }
    insert_at(before(node, (*at)->start, (*at)->key) ? &(*at)->left : &(*at)->right, node);
    fix(*at);
}

void erase_at(lc_ls_ivnode** at, lc_ls_ivnode* node) {
    if (*at == node) {
        *at = merge(node->left, node->right);
        return;
    }
    erase_at(before(node, (*at)->start, (*at)->key) ? &(*at)->left : &(*at)->right, node);
    fix(*at);
}

}  // namespace

void lc_ls_iv_insert(lc_ls_ivtree* tree, lc_ls_ivnode* node, uint64_t seed) {
    node->prio = prio_of(node->key, seed);
    node->left = node->right = nullptr;
    node->max_last = node->last;
    insert_at(&tree->root, node);
    tree->size++;
}

void lc_ls_iv_erase(lc_ls_ivtree* tree, lc_ls_ivnode* node) {
    erase_at(&tree->root, node);
    node->left = node->right = nullptr;
    tree->size--;
}

std::string lc_ls_iv_check(const lc_ls_ivtree* tree) {
    size_t n = 0;
    const lc_ls_ivnode* prev = nullptr;
    std::string fault;
    // In order, with each node's subtree maximum recomputed.
    auto walk = [&](auto& self, const lc_ls_ivnode* x) -> uint64_t {
        if (!x || !fault.empty()) return 0;
        uint64_t m = x->last;
        if (x->last < x->start) fault = "node ends before it starts";
        if (x->left) {
            if (x->left->prio > x->prio) fault = "heap order broken";
            m = std::max(m, self(self, x->left));
        }
        if (prev && !before(prev, x->start, x->key)) fault = "nodes out of order";
        prev = x;
        n++;
        if (x->right) {
            if (x->right->prio > x->prio) fault = "heap order broken";
            m = std::max(m, self(self, x->right));
        }
        if (fault.empty() && m != x->max_last) fault = "max_last differs from the subtree";
        return m;
    };
    walk(walk, tree->root);
    if (fault.empty() && n != tree->size) fault = "size " + std::to_string(tree->size) + ", nodes " + std::to_string(n);
    return fault;
}

size_t lc_ls_iv_depth(const lc_ls_ivtree* tree) {
    // Without recursion: a chain is as deep as the tree is large.
    size_t depth = 0;
    std::vector<std::pair<const lc_ls_ivnode*, size_t>> todo;
    if (tree->root) todo.push_back({tree->root, 1});
    while (!todo.empty()) {
        auto [x, d] = todo.back();
        todo.pop_back();
        depth = std::max(depth, d);
        if (x->left) todo.push_back({x->left, d + 1});
        if (x->right) todo.push_back({x->right, d + 1});
    }
    return depth;
}
