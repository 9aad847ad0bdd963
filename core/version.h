// The program's name and version, as shown to users and peers.
#pragma once

namespace cl {
inline constexpr const char* product_name = "teskqvel";
inline constexpr const wchar_t* product_name_w = L"teskqvel";
inline constexpr const char* product_version = "0.1";
} // namespace cl
