// A file's whole content replaced so that readers see the old content or the
// new one, never a part: written to a fresh file beside it, synced, renamed
// over it. On any failure the old file stays as it was.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace win32 {

bool replace_file_contents(const std::string& path, std::string_view data, mode_t mode = 0644);
// The same for the file `leaf` of the folder open as `dir_fd`: made, renamed
// and synced in that very folder, whatever its path names meanwhile.
bool replace_file_contents_at(int dir_fd, const std::string& leaf, std::string_view data,
                              mode_t mode = 0644);

} // namespace win32
