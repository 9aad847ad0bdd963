// Editing a process environment block held as one narrow string: items
// "name=value" each ended by a NUL, the whole ended by an empty item.
#pragma once
#include <string>

// Sets one variable: replaces the first item whose name equals the name
// (ignoring ASCII case) in its place, or inserts it before the ending empty
// item. "=" and NUL are removed from the name, NUL from the value.
void replace_key_value_a(std::string& block, std::string name, std::string value);
