// The model of the tree-durability test: random operation sequences keep
// its indexes consistent with the tree, names are never handed out twice,
// and the edge cases the test's operations depend on.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "utils/file_tree_tracker.h"

namespace {

TARNObjectHandle handle_of(uint64_t n) { return TARNObjectHandle(&n, sizeof n); }

// Every invariant of the model, walked from the root: each node reachable
// once and owned by `objects`, children pointing back at their parent
// under their own name, `dirs` = the directories, `leaves` = the nodes
// without children, and paths made of the names on the way.
std::string check(const FileTreeTracker& t) {
    std::set<const FileTreeObject*> reached;
    std::function<std::string(const FileTreeObject*, const std::string&)> walk =
        [&](const FileTreeObject* n, const std::string& path) -> std::string {
        if (!reached.insert(n).second) return "node reached twice: " + path;
        if (!t.objects.count(const_cast<FileTreeObject*>(n))) return "node not owned: " + path;
        if (n->path() != path) return "path " + n->path() + " != " + path;
        if (n->is_dir() != (t.dirs.count(const_cast<FileTreeObject*>(n)) == 1)) return "dirs wrong at " + path;
        if (n->children.empty() != (t.leaves.count(const_cast<FileTreeObject*>(n)) == 1)) return "leaves wrong at " + path;
        for (const auto& [name, child] : n->children) {
            if (child->parent != n || child->name != name) return "child link wrong at " + path + "/" + name;
            std::string e = walk(child, (n->is_root() ? "" : path) + "/" + name);
            if (!e.empty()) return e;
        }
        return "";
    };
    std::string e = walk(t.root, "/");
    if (!e.empty()) return e;
    if (reached.size() != t.objects.size()) return "objects owns unreachable nodes";
    if (t.dirs.size() > t.objects.size() || t.leaves.size() > t.objects.size()) return "index holds stale nodes";
    return "";
}

TEST(FileTreeTrackerTest, RandomOperationsKeepTheModelConsistent) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        FileTreeTracker t(handle_of(0));
        std::set<std::string> names;
        uint64_t next_inode = 1;
        auto fresh_name = [&](FileTreeObject* parent) {
            std::string n = t.generate_name(parent);
            EXPECT_TRUE(names.insert(n).second) << "name handed out twice: " << n;
            return n;
        };
        for (int step = 0; step < 400; step++) {
            const int op = int(rng() % 7);
            FileTreeObject* dir = t.pick_dir();
            ASSERT_NE(nullptr, dir);  // the root is always a directory
            if (op == 0) {
                t.track_create_file(dir, fresh_name(dir), handle_of(next_inode), next_inode);
                next_inode++;
            } else if (op == 1 || op == 4) {
                FileTreeObject* d = t.track_make_dir(dir, fresh_name(dir), handle_of(next_inode), next_inode);
                next_inode++;
                if (op == 4) {
                    t.track_create_file(d, fresh_name(d), handle_of(next_inode), next_inode);
                    next_inode++;
                }
            } else if (op == 2) {
                FileTreeObject* leaf = t.pick_leaf();
                if (leaf && !leaf->is_root()) t.track_remove(leaf);
            } else if (op == 3) {
                FileTreeObject* node = t.pick_object_after_first();
                if (node && !node->is_root() && node != dir && !FileTreeTracker::is_ancestor(node, dir)) {
                    const uint64_t inode = node->inode;
                    t.track_rename(node, dir, fresh_name(dir));
                    EXPECT_EQ(dir, node->parent);
                    EXPECT_EQ(inode, node->inode);
                }
            } else if (op == 5) {
                FileTreeObject* target = t.pick_leaf();
                if (target && !target->is_root() && !target->is_dir()) {
                    FileTreeObject* link = t.track_create_link(dir, fresh_name(dir), target);
                    EXPECT_EQ(target->inode, link->inode);
                    EXPECT_EQ(target->type, link->type);
                    EXPECT_EQ(target->handle, link->handle);
                }
            } else {
                t.track_create_symlink(dir, fresh_name(dir), handle_of(next_inode), next_inode);
                next_inode++;
            }
            const std::string e = check(t);
            ASSERT_EQ("", e) << "after step " << step << " (operation " << op << ")";
        }
        // Removing leaves first empties any tree down to its root.
        while (t.pick_leaf() != t.root) t.track_remove(*t.leaves.begin() == t.root ? t.pick_leaf() : *t.leaves.begin());
        EXPECT_EQ(1u, t.objects.size());
        EXPECT_EQ(std::set<FileTreeObject*>{t.root}, std::set<FileTreeObject*>(t.leaves.begin(), t.leaves.end()));
        EXPECT_EQ("", check(t));
    }
}

TEST(FileTreeTrackerTest, EdgeCasesTheOperationsRelyOn) {
    FileTreeTracker t(handle_of(0));
    // A fresh tree: the root is the only leaf, directory and object.
    EXPECT_EQ(t.root, t.pick_leaf());
    EXPECT_EQ(t.root, t.pick_dir());
    EXPECT_EQ(nullptr, t.pick_object_after_first());
    EXPECT_EQ("/", t.root->path());
    EXPECT_EQ(0u, t.root->inode);

    // Names count up whatever the parent, skipping names the parent has.
    for (int i = 1; i <= 5; i++) EXPECT_EQ(std::to_string(i), t.generate_name(t.root));
    FileTreeObject* d = t.track_make_dir(t.root, "6", handle_of(6), 6);
    t.next_name = 6;
    EXPECT_EQ("7", t.generate_name(t.root));
    EXPECT_EQ("8", t.generate_name(d));
    EXPECT_EQ(0u, t.leaves.count(t.root));

    // A hard link to a symbolic link is a symbolic link with its inode.
    FileTreeObject* s = t.track_create_symlink(d, "9", handle_of(9), 9);
    FileTreeObject* l = t.track_create_link(t.root, "10", s);
    EXPECT_EQ(uint32_t(TARN_FILE_TYPE_SYMLINK), l->type);
    EXPECT_EQ(9u, l->inode);
    EXPECT_EQ("/6/9", s->path());

    // A rename into its own parent only renames; a directory emptied by a
    // move becomes a leaf, its new parent stops being one.
    t.track_rename(s, d, "11");
    EXPECT_EQ("/6/11", s->path());
    EXPECT_EQ(d, s->parent);
    FileTreeObject* e = t.track_make_dir(t.root, "12", handle_of(12), 12);
    EXPECT_EQ(1u, t.leaves.count(e));
    t.track_rename(s, e, "13");
    EXPECT_EQ(1u, t.leaves.count(d));
    EXPECT_EQ(0u, t.leaves.count(e));
    EXPECT_EQ("/12/13", s->path());

    // Ancestry, for refusing to move a directory below itself.
    EXPECT_TRUE(FileTreeTracker::is_ancestor(t.root, s));
    EXPECT_TRUE(FileTreeTracker::is_ancestor(e, s));
    EXPECT_FALSE(FileTreeTracker::is_ancestor(s, e));
    EXPECT_FALSE(FileTreeTracker::is_ancestor(d, s));
    EXPECT_FALSE(FileTreeTracker::is_ancestor(s, s));
    EXPECT_EQ("", check(t));
}

}  // namespace
