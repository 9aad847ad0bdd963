// The maker's web service, asked for the computer's public address and sent
// crash reports. No such service runs for this build: the name lies in the
// ".invalid" domain, which never resolves, so nothing of the user's leaves
// the computer for a host nobody here controls.
#pragma once

namespace sys {

inline constexpr const wchar_t* maker_host = L"services.teskqvel.invalid";

} // namespace sys
