// The model of one worker's directory tree in the tree-durability test:
// what the server must hold after every change the server confirmed. Each
// worker owns one tracker and never touches another's tree, so the model is
// exact and can be checked object by object against lookups.
//
// The tracker only mirrors changes; it makes no client call. Nodes are
// owned by `objects`; `dirs` lists the directories (parent candidates) and
// `leaves` the nodes without children (removal and link-target candidates;
// the root while the tree is empty).
#pragma once

#include <stdint.h>

#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "client/tarn_client.h"
#include "utils/tarn_api_helpers.h"

struct FileTreeObject {
    TARNObjectHandle handle;
    FileTreeObject* parent = nullptr;  // null only for the root
    std::string name;                  // "/" for the root
    uint32_t type = TARN_FILE_TYPE_REGULAR;
    uint64_t inode = 0;  // as the server reported it on creation; 0 for the root
    std::unordered_map<std::string, FileTreeObject*> children;

    // "/" for the root, else the parent's path, "/" and the name (no double
    // slash below the root). Relative to the worker's directory.
    std::string path() const;
    bool is_root() const { return parent == nullptr; }
    bool is_dir() const { return type == TARN_FILE_TYPE_DIRECTORY; }
};

class FileTreeTracker {
public:
    explicit FileTreeTracker(const TARNObjectHandle& root_handle);
    FileTreeTracker(const FileTreeTracker&) = delete;
    FileTreeTracker& operator=(const FileTreeTracker&) = delete;

    // The next unused decimal name ("1", "2", ...), skipping names the
    // parent already has. Names are unique within one tracker.
    std::string generate_name(const FileTreeObject* parent);

    FileTreeObject* track_create_file(FileTreeObject* parent, const std::string& name, const TARNObjectHandle& handle,
                                      uint64_t inode);
    FileTreeObject* track_make_dir(FileTreeObject* parent, const std::string& name, const TARNObjectHandle& handle,
                                   uint64_t inode);
    FileTreeObject* track_create_symlink(FileTreeObject* parent, const std::string& name,
                                         const TARNObjectHandle& handle, uint64_t inode);
    // A hard link: the target's handle, type and inode under a new name.
    FileTreeObject* track_create_link(FileTreeObject* parent, const std::string& name, const FileTreeObject* target);
    // Moves `node` under `destination` as `new_name` (the same parent is
    // allowed and only renames).
    void track_rename(FileTreeObject* node, FileTreeObject* destination, const std::string& new_name);
    // Forgets `node` (a leaf) and frees it.
    void track_remove(FileTreeObject* node);

    // True when `ancestor` is `node`'s parent, grandparent, ... up to the root.
    static bool is_ancestor(const FileTreeObject* ancestor, const FileTreeObject* node);

    // A uniform pick from a container in its iteration order; index drawn in
    // [lo, size-1]; null when the range is empty.
    template <class Container>
    auto pick(const Container& c, size_t lo = 0) -> decltype(&*c.begin()) {
        if (c.size() <= lo) return nullptr;
        std::uniform_int_distribution<uint64_t> dist(lo, c.size() - 1);
        auto it = c.begin();
        std::advance(it, dist(rng));
        return &*it;
    }
    FileTreeObject* pick_dir() {
        auto p = pick(dirs);
        return p ? *p : nullptr;
    }
    FileTreeObject* pick_leaf() {
        auto p = pick(leaves);
        return p ? *p : nullptr;
    }
    // An object other than the first in iteration order (index in [1, n-1]).
    FileTreeObject* pick_object_after_first() {
        auto p = pick(objects, 1);
        return p ? p->first : nullptr;
    }

    std::unordered_map<FileTreeObject*, std::unique_ptr<FileTreeObject>> objects;
    std::unordered_set<FileTreeObject*> dirs;
    std::unordered_set<FileTreeObject*> leaves;
    FileTreeObject* root = nullptr;
    std::mt19937 rng;
    int next_name = 1;

private:
    FileTreeObject* add_node(FileTreeObject* parent, const std::string& name, const TARNObjectHandle& handle,
                             uint32_t type, uint64_t inode);
};
