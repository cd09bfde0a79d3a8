// The lock tables' interval index against brute force: random inserts and
// erases of ranges clustered so that they overlap, nest, touch and repeat
// starts, and after each a query of every kind, compared with a scan of
// what is in the tree, order included; the tree holds together throughout.
// And its depth, whatever order a peer picks the starts in.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "localcluster/ls/ls_index.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

using Keys = std::vector<uint64_t>;

Keys keys_of(const std::vector<lc_ls_ivnode*>& nodes) {
    Keys k;
    for (const lc_ls_ivnode* n : nodes) k.push_back(n->key);
    return k;
}

TEST(LsIndexTest, QueriesMatchAScanOfRandomTrees) {
    for (uint64_t seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
        // Small offsets most of the time, the top of the space now and then.
        auto offset = [&]() -> uint64_t { return pick(8) == 0 ? kMax - pick(40) : pick(200); };
        std::vector<std::unique_ptr<lc_ls_ivnode>> nodes;
        std::vector<lc_ls_ivnode*> in;  // in the tree, by (start, key)
        lc_ls_ivtree tree;
        const uint64_t tree_seed = rng();
        uint64_t next_key = 1;
        auto sorted = [&] {
            std::sort(in.begin(), in.end(), [](const lc_ls_ivnode* a, const lc_ls_ivnode* b) {
                return a->start < b->start || (a->start == b->start && a->key < b->key);
            });
        };
        for (int step = 0; step < 600; step++) {
            if (in.empty() || pick(3) != 0) {
                auto n = std::make_unique<lc_ls_ivnode>();
                n->start = offset();
                uint64_t room = kMax - n->start;
                n->last = n->start + std::min(room, pick(4) == 0 ? pick(400) : pick(6));
                n->key = pick(4) == 0 ? kMax - next_key++ : next_key++;  // keys not in insert order
                lc_ls_iv_insert(&tree, n.get(), tree_seed);
                in.push_back(n.get());
                nodes.push_back(std::move(n));
            } else {
                size_t i = pick(in.size());
                lc_ls_iv_erase(&tree, in[i]);
                in.erase(in.begin() + long(i));
            }
            sorted();
            ASSERT_EQ("", lc_ls_iv_check(&tree)) << "step " << step;
            ASSERT_EQ(in.size(), tree.size);

            uint64_t lo = offset(), hi = pick(5) == 0 ? lo - std::min(lo, pick(3)) : lo + std::min(kMax - lo, pick(60));
            std::vector<lc_ls_ivnode*> got, want;
            lc_ls_iv_meeting(tree.root, lo, hi, [&](lc_ls_ivnode* n) { got.push_back(n); });
            for (lc_ls_ivnode* n : in)
                if (n->start <= hi && n->last >= lo) want.push_back(n);
            ASSERT_EQ(keys_of(want), keys_of(got)) << "meeting " << lo << ".." << hi << ", step " << step;

            // A walk stopped by fn ends at the first node it was given.
            std::vector<lc_ls_ivnode*> first;
            bool whole = lc_ls_iv_meeting(tree.root, lo, hi, [&](lc_ls_ivnode* n) {
                first.push_back(n);
                return false;
            });
            ASSERT_EQ(std::min<size_t>(1, want.size()), first.size());
            if (!want.empty()) {
                EXPECT_EQ(want[0], first[0]);
            }
            EXPECT_EQ(want.empty(), whole);

            got.clear();
            want.clear();
            lc_ls_iv_starting(tree.root, lo, hi, [&](lc_ls_ivnode* n) { got.push_back(n); });
            for (lc_ls_ivnode* n : in)
                if (n->start >= lo && n->start <= hi) want.push_back(n);
            ASSERT_EQ(keys_of(want), keys_of(got)) << "starting " << lo << ".." << hi << ", step " << step;

            // Sorted disjoint spans: each meeting node once.
            std::vector<uint64_t> los, his;
            for (uint64_t at = pick(50); at < 260 && los.size() < 6; at += 2 + pick(60)) {
                los.push_back(at);
                his.push_back(at + pick(20));
                at = his.back();
            }
            if (pick(4) == 0) {
                los.push_back(kMax - pick(10));
                his.push_back(kMax);
            }
            got.clear();
            want.clear();
            lc_ls_iv_meeting_any(tree.root, los.data(), his.data(), los.size(),
                                 [&](lc_ls_ivnode* n) { got.push_back(n); });
            for (lc_ls_ivnode* n : in)
                for (size_t i = 0; i < los.size(); i++)
                    if (n->start <= his[i] && n->last >= los[i]) {
                        want.push_back(n);
                        break;
                    }
            ASSERT_EQ(keys_of(want), keys_of(got)) << "meeting any of " << los.size() << " spans, step " << step;
        }
    }
}

// Keys that grow with the starts, as ids do, still make a shallow tree,
// and a query among 100,000 ranges is handed only the few it meets.
TEST(LsIndexTest, AQueryAmongManyVisitsFewNodes) {
    const uint64_t n = 100000;
    std::vector<lc_ls_ivnode> nodes(n);
    lc_ls_ivtree tree;
    for (uint64_t i = 0; i < n; i++) {
        nodes[i].start = 10 * i;
        nodes[i].last = 10 * i + 4;
        nodes[i].key = i + 1;
        lc_ls_iv_insert(&tree, &nodes[i], 0x243F6A8885A308D3ull);
    }
    ASSERT_EQ("", lc_ls_iv_check(&tree));
    // A treap's expected depth is about 2.99 log2 n (about 50 here).
    EXPECT_LT(lc_ls_iv_depth(&tree), 120u);
    std::vector<uint64_t> found;
    lc_ls_iv_meeting(tree.root, 500003, 500012, [&](lc_ls_ivnode* x) { found.push_back(x->start); });
    EXPECT_EQ((std::vector<uint64_t>{500000, 500010}), found);
    for (uint64_t i = 0; i < n; i += 2) lc_ls_iv_erase(&tree, &nodes[i]);
    ASSERT_EQ("", lc_ls_iv_check(&tree));
    found.clear();
    lc_ls_iv_starting(tree.root, 0, 45, [&](lc_ls_ivnode* x) { found.push_back(x->start); });
    EXPECT_EQ((std::vector<uint64_t>{10, 30}), found);
}

// The priority the index once gave a key, by a fixed mix of it alone.
uint32_t fixed_prio(uint64_t key) {
    uint64_t z = key + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((z ^ (z >> 31)) >> 16);
}

// A peer sees the keys (lock ids, which grow by one) and picks the starts.
// Starts in the order of priorities it can compute, 2 * prio(key) + 4,
// made each tree a chain under the fixed mix; whatever it computes them
// with, the fixed mix or the index's own under a seed it guessed, the
// depth under the tree's seed stays that of a random tree, within
// 4 log2 n at every size up to 65,536.
TEST(LsIndexTest, StartsInTheOrderOfComputablePrioritiesMakeNoChain) {
    // The index's priority of a key under another seed, as it gives it.
    auto prio_under = [](uint64_t seed) {
        return [seed](uint64_t key) {
            lc_ls_ivtree scratch;
            lc_ls_ivnode n;
            n.key = key;
            lc_ls_iv_insert(&scratch, &n, seed);
            return n.prio;
        };
    };
    const struct {
        const char* what;
        std::function<uint32_t(uint64_t)> prio;
    } rows[] = {
        {"the fixed mix of the key", fixed_prio},
        {"the index's mix under seed 0", prio_under(0)},
        {"the index's mix under seed 1", prio_under(1)},
    };
    const uint64_t n = 65536;
    for (const auto& row : rows)
        for (uint64_t tree_seed : {0x13198A2E03707344ull, 0xA4093822299F31D0ull}) {
            SCOPED_TRACE(std::string(row.what) + ", tree seed " + std::to_string(tree_seed));
            std::vector<lc_ls_ivnode> nodes(n);
            lc_ls_ivtree tree;
            size_t log2 = 0;
            for (uint64_t key = 1; key <= n; key++) {
                lc_ls_ivnode& x = nodes[key - 1];
                x.start = 2 * uint64_t(row.prio(key)) + 4;
                x.last = x.start;
                x.key = key;
                lc_ls_iv_insert(&tree, &x, tree_seed);
                if ((key & (key - 1)) != 0 || key < 1024) continue;
                while ((uint64_t(1) << (log2 + 1)) <= key) log2++;
                ASSERT_LT(lc_ls_iv_depth(&tree), 4 * log2) << key << " nodes";
            }
            ASSERT_EQ("", lc_ls_iv_check(&tree));
        }
}

}  // namespace
