// The served tree's root, kept open: every file of the tree is opened from
// this descriptor, so that what a request was allowed to reach is what it
// reads. The server names the root; the class library's files consult it
// when they open a path inside it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace cl {

class tree_root {
  public:
    // Opens the folder (a path handle); fd() is -1 when it cannot be opened.
    tree_root(std::string text, uint64_t generation);
    ~tree_root();
    tree_root(const tree_root&) = delete;
    tree_root& operator=(const tree_root&) = delete;

    // The root as named, without a trailing "/" ("/" for the file-system root).
    const std::string& text() const { return text_; }
    // Its real path, links resolved; empty when it could not be opened.
    const std::string& real() const { return real_; }
    int fd() const { return fd_; }
    uint64_t generation() const { return generation_; }

    // True when `path` names the root or a name below it as text; `rest`
    // gets the part below ("" for the root itself).
    bool contains(std::string_view path, std::string_view& rest) const;
    // Opens a path of the tree (see win32::open_beneath); -1 with errno.
    int open(std::string_view rest, int flags, mode_t mode = 0666) const;
    // The folder holding a path of the tree, as a path handle, and its last name.
    int open_parent(std::string_view rest, int flags, std::string& leaf) const;

  private:
    std::string text_;
    std::string real_;
    int fd_ = -1;
    uint64_t generation_ = 0;
};

// Names the served tree's root (empty: none; nothing is confined).
void set_document_tree(const std::wstring& dir);
// The current root, null when none is named. The reference stays valid
// until this thread's next call; keep a copy to hold it longer. Costs one
// atomic load while the root is unchanged.
const std::shared_ptr<const tree_root>& document_tree();

// Opens a local path (open(2) flags, O_CLOEXEC added): beneath the served
// tree's root when the path lies in it, else by name. -1 with errno.
int open_tree_file(const std::string& path, int flags, mode_t mode = 0666);
// The folder holding a local path, for calls relative to it (openat,
// renameat, unlinkat), opened the same way with `flags` (O_DIRECTORY
// added); `leaf` gets the last name. -1 with errno.
int open_tree_parent(const std::string& path, int flags, std::string& leaf);
// Replaces a local path's whole content through a temporary file in its
// folder, the folder opened as open_tree_parent opens it (see
// win32::replace_file_contents). False when the old file stays.
bool replace_tree_file(const std::string& path, std::string_view data, mode_t mode = 0644);
// True when the open descriptor's file lies inside the served tree (or no
// tree is named).
bool descriptor_in_tree(int fd);

} // namespace cl
