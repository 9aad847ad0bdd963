// The DLNA profiles of the MIME types the media server offers, and the
// fourth protocolInfo field (also the contentFeatures.dlna.org header).
#pragma once
#include <map>
#include <string>
#include <string_view>

namespace media {

// MIME type -> "DLNA.ORG_PN=..." in byte order of the MIME type.
const std::map<std::string, std::wstring>& dlna_profiles();
// Fills the table (again: the same 17 rows). Called before anything reads it.
void fill_dlna_profiles();
// The profile text with the fixed flags, or "*" for a type without a profile.
std::wstring append_dlna_flags(std::string_view mime_type);

} // namespace media
