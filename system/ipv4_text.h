// The lenient reading of a dotted IPv4 text that the media server uses for a
// player's address: it never fails; missing parts are 0, a fifth and later
// part is dropped, and every part is cut to its low eight bits.
#pragma once
#include "core/ip_addr.h"

#include <string_view>

cl::ipv4_addr ipv4_parse(std::wstring_view text);
