// The flat table that calendar objects and vCards are read into: one entry per
// component and per property, keyed by the component path and numbered when a
// key repeats. Queries and the recurrence code work on this table only.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Key -> (parameter text, value text). Keys order byte-wise, so a component's
// properties ("," sorts before "/") come before its sub-components.
using ical_properties = std::map<std::string, std::pair<std::string, std::string>>;

// The text that selects the k-th instance of a key (k from 0): "" for the
// first, then "2", "3", ...
std::string instance_suffix(size_t k);

// Logical lines of a text: physical lines end in LF (a CR before it is
// dropped); a line that starts with a blank or a tab continues the one before
// it (the blank is removed, nothing else). Blank lines are dropped.
std::vector<std::string> split_lines(std::string_view text);

// The pieces of a parameter text between ";" outside double quotes, trimmed,
// empty ones dropped.
std::vector<std::string_view> split_params(std::string_view params);

// Components nest three deep in real objects; each property's key holds its
// whole component path, so deeper nesting or longer paths would make the
// table grow with the square of the text.
inline constexpr std::size_t ical_max_nesting = 16;
inline constexpr std::size_t ical_max_path = 1024; // bytes of a component path

// Clears `properties` and fills it from an iCalendar or vCard text. Text
// that does not follow the format just yields odd keys; only a component
// nested more than ical_max_nesting deep, or a path longer than
// ical_max_path, fails the parse, and leaves the table empty.
bool parse_ical(std::string_view text, ical_properties& properties);

// The same bounds without building the table: false when parse_ical would
// refuse the text.
bool ical_nesting_within_bounds(std::string_view text);

// Bytes a table takes in memory: its texts and a share for each entry.
std::size_t ical_table_bytes(const ical_properties& properties);

// The text of a table: BEGIN/END around each component, properties as
// NAME[;PARAMS]:VALUE, lines ending in LF and folded at 75 octets without
// splitting a UTF-8 sequence.
std::string write_ical(const ical_properties& properties);

// A line folded to at most 75 octets per physical line (each continuation
// starts with a blank), ending in LF.
void append_folded_line(std::string& out, std::string_view line);

// The value of the first parameter `name` (ASCII case ignored) of a
// parameter text, surrounding double quotes removed; empty when absent.
std::string ical_param_value(std::string_view params, std::string_view name);

// Every value of parameter `name` (ASCII case ignored; a parameter may repeat,
// as vCard 3 writers do with TYPE), quotes removed, comma lists kept whole.
std::vector<std::string> ical_param_values(std::string_view params, std::string_view name);

bool ascii_iequals(std::string_view a, std::string_view b);
