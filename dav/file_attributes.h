// The Windows attributes of a file that the file system has no place for
// (hidden, system, archive and the rest, and a creation time set by a client)
// live in one extended attribute of the file. The read-only bit is the
// owner's write permission and the directory bit the file type; neither is
// stored here. Whatever copies or replaces a file carries this attribute
// along.
#pragma once
#include "platform/win32/time.h"

#include <cstdint>
#include <string>
#include <string_view>

// The extended attribute's name.
inline constexpr const char* stored_attributes_name = "user.teskqvel.win32";

struct stored_attributes {
    uint32_t attributes = 0;           // the Windows attribute word
    win32::filetime creation_time = 0; // 0: none stored
};

// False when the file has no such attribute (or it cannot be read or
// parsed). Symbolic links are never followed.
bool read_stored_attributes(int fd, stored_attributes& out);
bool read_stored_attributes(const std::string& path, stored_attributes& out);
// The same for a name in an open folder, without walking the whole path
// again where the kernel offers that.
bool read_stored_attributes_at(int dir_fd, const char* name, const std::string& path,
                               stored_attributes& out);
// Replaces the attribute; false with errno set when the file system refuses.
bool write_stored_attributes(const std::string& path, const stored_attributes& in);
bool write_stored_attributes(int fd, const stored_attributes& in);
// Copies the attribute from one open file to another; true when there was
// nothing to copy or it was copied.
bool copy_stored_attributes(int from_fd, int to_fd);

// The attribute word of a file: directory and read-only from the file system,
// the other bits from the stored word when there is one, else archive for a
// regular file and hidden for a name that starts with ".". Never 0: a file
// without any bit is "normal" (0x80).
uint32_t effective_attributes(uint32_t mode, std::string_view name,
                              const stored_attributes* stored);

// The text form kept in the attribute ("%08x %?"); exposed for tests.
std::string stored_attributes_text(const stored_attributes& in);
bool parse_stored_attributes(std::string_view text, stored_attributes& out);
// An attribute word of one to eight hexadecimal digits, nothing else.
bool parse_hex_word(std::string_view text, uint32_t& value);

// True for a file whose read-only attribute is set (the owner may not
// write it): no client replaces, removes or moves it until the attribute is
// cleared. Links count as what they point to.
bool is_read_only_file(const std::string& path);
