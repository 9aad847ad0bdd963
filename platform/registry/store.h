// The in-memory tree of one registry root and its text form on disk.
//
// The file is UTF-8 text, one record a line, fields separated by a tab:
//   teskqvel registry 1                        first line
//   K <path>                                   a key; components joined by "\"
//   V <name> <type> <payload>                  a value of the key above it
// Payloads: "s:" wide text (string types whose size is whole characters),
// "d:" and "q:" decimal (4- and 8-byte DWORD and QWORD), "x:" hex bytes.
// In names, paths and text, "%", "\", control characters and DEL are written
// "%XX"; a character that is no Unicode scalar value is written "%uXXXXXXXX".
// So no content can break a line or a field, and every wide string survives
// the round trip unchanged.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace registry::detail {

struct value_entry {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct key_node {
    std::wstring name;
    std::vector<key_node> subkeys;   // in order of their folded names
    std::vector<value_entry> values; // in order of creation
};

// Case folding for key and value names (full Unicode upper case).
std::wstring fold(std::wstring_view s);
bool names_equal(std::wstring_view a, std::wstring_view b);

key_node* find_subkey(key_node& key, std::wstring_view name);
// Finds or inserts the subkey in its sorted place; created tells which.
key_node& add_subkey(key_node& key, std::wstring_view name, bool* created = nullptr);
// Removes the subkey; false when there is none.
bool remove_subkey(key_node& key, std::wstring_view name);

value_entry* find_value(key_node& key, std::wstring_view name);

std::string serialize(const key_node& root);

// Parses a whole file. Lines that break the format or a limit are skipped so
// that one damaged line costs only itself; false (tree left empty) when the
// first line is not the header. skipped counts the dropped lines.
bool parse(std::string_view text, key_node& root, std::size_t* skipped = nullptr);

// The text escaping used for names, paths and string payloads.
std::string escape(std::wstring_view s, bool escape_backslash);
bool unescape(std::string_view s, std::wstring& out);

} // namespace registry::detail
