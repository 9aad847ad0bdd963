// Files of a tree opened from a descriptor of the tree's root, so that the
// file a caller decides on is the file it reads: a link swapped in between a
// check and an open cannot lead outside the tree, because there is no second
// look-up by name. Links inside the tree are followed as long as what they
// reach stays beneath the root.
#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>

namespace win32 {

// Opens `rel`, a path below the folder that `root_fd` stands for (leading
// "/" ignored, "" for the folder itself), with open(2) flags and mode;
// O_CLOEXEC is always added. `root_real` is the real path of that folder.
// The kernel resolves the name beneath the folder in one call (openat2 with
// RESOLVE_BENEATH); where it cannot judge (an absolute link, an older
// kernel) the name is opened as a path handle, the handle's real path is
// checked and the same file is opened again through the handle. -1 with
// errno set on failure: EXDEV when the name leads outside the tree.
int open_beneath(int root_fd, const std::string& root_real, std::string_view rel, int flags,
                 mode_t mode = 0666);

// Opens the folder that holds `rel` beneath the root with `flags`
// (O_DIRECTORY added; O_PATH for a handle only), for calls relative to it
// (openat, renameat, unlinkat); `leaf` gets the last name. -1 with errno
// when the folder is outside the tree or missing, or the name has no last
// part that can be created (".", "..", empty).
int open_parent_beneath(int root_fd, const std::string& root_real, std::string_view rel, int flags,
                        std::string& leaf);

// The real path of an open descriptor ("" when unknown).
std::string descriptor_path(int fd);

// True when `real` is `root_real` or lies below it.
bool path_within(std::string_view real, std::string_view root_real);

} // namespace win32
