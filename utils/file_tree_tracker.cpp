#include "utils/file_tree_tracker.h"

#include <cassert>
#include <random>

std::string FileTreeObject::path() const {
    if (parent == nullptr) return "/";
    std::string p = parent->parent == nullptr ? std::string() : parent->path();
    p.push_back('/');
    p.append(name);
    return p;
}

FileTreeTracker::FileTreeTracker(const TARNObjectHandle& root_handle) {
    auto node = std::make_unique<FileTreeObject>();
    node->handle = root_handle;
    node->name.assign(1, '/');
    node->type = TARN_FILE_TYPE_DIRECTORY;
    root = node.get();
    objects.emplace(root, std::move(node));
    dirs.insert(root);
    leaves.insert(root);
    std::random_device rd("default");
    rng.seed(rd());
}

std::string FileTreeTracker::generate_name(const FileTreeObject* parent) {
    std::string name;
    do name = std::to_string(next_name++);
    while (parent->children.count(name) != 0);
    return name;
}

FileTreeObject* FileTreeTracker::add_node(FileTreeObject* parent, const std::string& name,
                                          const TARNObjectHandle& handle, uint32_t type, uint64_t inode) {
    assert(parent->children.count(name) == 0);
    auto node = std::make_unique<FileTreeObject>();
    node->handle = handle;
    node->parent = parent;
    node->name = name;
    node->type = type;
    node->inode = inode;
    FileTreeObject* raw = node.get();
    objects.emplace(raw, std::move(node));
    parent->children[name] = raw;
    leaves.insert(raw);
    leaves.erase(parent);
    if (type == TARN_FILE_TYPE_DIRECTORY) dirs.insert(raw);
    return raw;
}

FileTreeObject* FileTreeTracker::track_create_file(FileTreeObject* parent, const std::string& name,
                                                   const TARNObjectHandle& handle, uint64_t inode) {
    return add_node(parent, name, handle, TARN_FILE_TYPE_REGULAR, inode);
}

FileTreeObject* FileTreeTracker::track_make_dir(FileTreeObject* parent, const std::string& name,
                                                const TARNObjectHandle& handle, uint64_t inode) {
    return add_node(parent, name, handle, TARN_FILE_TYPE_DIRECTORY, inode);
}

FileTreeObject* FileTreeTracker::track_create_symlink(FileTreeObject* parent, const std::string& name,
                                                      const TARNObjectHandle& handle, uint64_t inode) {
    return add_node(parent, name, handle, TARN_FILE_TYPE_SYMLINK, inode);
}

FileTreeObject* FileTreeTracker::track_create_link(FileTreeObject* parent, const std::string& name,
                                                   const FileTreeObject* target) {
    return add_node(parent, name, target->handle, target->type, target->inode);
}

void FileTreeTracker::track_rename(FileTreeObject* node, FileTreeObject* destination, const std::string& new_name) {
    assert(!node->is_root() && node != destination && !is_ancestor(node, destination));
    FileTreeObject* old_parent = node->parent;
    old_parent->children.erase(node->name);
    destination->children[new_name] = node;
    node->parent = destination;
    node->name = new_name;
    if (old_parent->children.empty()) leaves.insert(old_parent);
    leaves.erase(destination);
}

void FileTreeTracker::track_remove(FileTreeObject* node) {
    assert(!node->is_root() && node->children.empty());
    FileTreeObject* parent = node->parent;
    parent->children.erase(node->name);
    dirs.erase(node);
    leaves.erase(node);
    objects.erase(node);
    if (parent->children.empty()) leaves.insert(parent);
}

bool FileTreeTracker::is_ancestor(const FileTreeObject* ancestor, const FileTreeObject* node) {
    for (const FileTreeObject* p = node->parent; p != nullptr; p = p->parent)
        if (p == ancestor) return true;
    return false;
}
