// Reversible protection of passwords and other secrets kept in settings files
// and user hash lists: the text is enciphered with Blowfish under a key (the
// installation's master password) and stored as lower-case hexadecimal text.
#pragma once
#include <string>
#include <string_view>

// The hex text of a wide text, enciphered under the key; an empty key stands for
// the built-in default key. The same text and key always give the same hex text.
std::wstring encrypt_hex_string(std::wstring_view text, std::string key);

// The text back from a hex text made by encrypt_hex_string with the same key.
// Empty both for an empty stored text and for a rejected input (empty, odd or
// non-hex text, a length that is not whole blocks, a length word that claims
// more text than the block holds). A wrong key is not detected as such.
std::wstring decrypt_hex_string(std::wstring_view hex, std::string key);
