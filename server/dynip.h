// Redirects to computers whose address changes: a URL that begins with the
// configured prefix followed by a registered name is sent on, with status
// 302, to that name's current address. The configuration commands register
// and replace the names; the request processor asks before it maps a URL.
#pragma once
#include "core/timer.h"

#include <cstdint>
#include <string>
#include <string_view>

// The prefix ("prefix" of section "dynip", beginning with "/"); empty turns
// the redirects off.
void set_dynip_prefix(std::string prefix);
// Adds or replaces a name: its address text (host, one blank, port), its
// flag byte (set: the address host is told of the client before the answer)
// and a second flag kept with it; the entry is stamped with the time now.
void set_dynamic_entry(const std::string& name, const std::string& address, uint8_t flag,
                       uint8_t flag2 = 0);
// Erases every entry created more than 600000 seconds before now (seconds
// since 1970); an entry exactly that old stays. The count erased.
std::size_t expire_dynamic_entries(int64_t now);
// Sets an entry's creation time (seconds since 1970); false when absent.
bool set_dynamic_entry_time(const std::string& name, int64_t created);
bool has_dynamic_entry(const std::string& name);
// Runs the expiry every 10000 ms on the timer until stopped.
void start_dynamic_expiry(cl::base_timer& timer);
void stop_dynamic_expiry();
void remove_dynamic_entry(const std::string& name);

// True when the raw URL (path and query as received) names an entry; then
// status is 302, location the entry's address URL followed by the rest of
// the URL after the name (its "/" and path, and its query), and the
// entry's address text and flag byte are returned.
bool lookup_dynamic_redirect(std::string_view raw_url, std::string& location, int& status,
                             std::string& address, uint8_t& flag);
// "http://host:port" of an address text "host port"; a host without "." is
// an IPv6 address and goes in brackets.
std::string make_address_url(std::string_view address);
