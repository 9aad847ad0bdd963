// File and folder operations of the writing DAV methods on local paths.
// The folder of each path given is opened once, beneath the document root
// when the path lies in the tree, and the walk below goes from descriptor to
// descriptor: no full path is looked up again, so a link swapped in on the
// way cannot redirect a read, a write or a removal. None of them follows a
// symbolic link below the path it is given: a link is copied, moved or
// removed as a link. A copy is built under a hidden name
// beside its destination and put in place by rename(2) only once complete, so
// a failure leaves the destination as it was.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One entry that could not be handled, with the HTTP status that says why.
struct tree_failure {
    std::wstring path;
    int status = 500;
};

// Asked about every entry below the top of a tree before it is handled, with
// its path below the top ("sub/name"), whether it is a folder and whether it
// is a read-only file (its owner's write bit clear): 0 to go on, else the
// status for which the entry, with all below it, is left alone.
using member_check = std::function<int(const std::wstring& rel, bool folder, bool read_only)>;
// The check's answer for an entry that goes with its folder (an access
// file): removed after its siblings and only when they all went, so that
// what must stay keeps what protects it; copied and moved as any member.
constexpr int member_with_folder = 1;

// The HTTP status of a failed file-system call: 403 for missing rights,
// 409 for a missing parent or a clash with what is there, 507 for a full
// disk, 502 for a rename across file systems, 500 otherwise.
int status_of_errno(int error);

// A hidden name in the folder of path that does not exist yet; empty when
// none was found.
std::wstring sibling_temp_name(const std::wstring& path);

// Removes the path with everything below it. The entries that could not be
// removed are listed (the folders above them, which then cannot be empty, are
// not); true when everything went. Members the check refuses stay and are
// listed.
bool delete_tree(const std::wstring& path, std::vector<tree_failure>& failures,
                 const member_check* check = nullptr);

// Copies a file, a symbolic link or a folder (with its contents when
// recursive) to dest, which must not exist; file modes and extended
// attributes come along. 0 on success; otherwise the status of the first
// failure, and nothing is left at dest.
int copy_to_new(const std::wstring& source, const std::wstring& dest, bool recursive);

// Puts what is at source in the place of dest and removes source: dest must
// exist only when replace is true, and then the old dest is removed
// afterwards. The exchange is one rename(2) where the file system allows.
// 0 on success, else the status. Failures to remove the old dest are listed
// and leave the new one in place.
int move_into_place(const std::wstring& source, const std::wstring& dest, bool replace,
                    std::vector<tree_failure>& leftovers);

// What copy_or_move answers.
struct transfer_result {
    int status = 0;                     // 0, or the status of the failure
    std::vector<tree_failure> failures; // what was left behind after success
};

// COPY (move false) or MOVE of source to dest. dest's folder must exist;
// dest itself must not unless overwrite. A MOVE within one file system is one
// rename; across file systems the copy is completed first and the source is
// removed only afterwards. When the status is not 0 nothing has changed.
// Members of the source the check refuses are neither copied nor removed,
// and are listed; a MOVE with such members is a copy followed by the removal
// of what was copied. A COPY into the served tree makes no link that leads
// out of it from where the copy lands: such a member is left out and listed
// (403), such a top refuses the COPY (403).
transfer_result copy_or_move(const std::wstring& source, const std::wstring& dest, bool move,
                             bool overwrite, bool recursive, const member_check* check = nullptr);

// The members below path that the check refuses (nothing below a refused
// folder is asked about); true when there are none.
bool refused_members(const std::wstring& path, const member_check& check,
                     std::vector<tree_failure>& refused);

// Copies the extended attributes of one open file to another; false when one
// that could be read could not be written.
bool copy_xattrs(int from_fd, int to_fd);
