#include "server/env_block.h"

#include "core/text.h"

#include <algorithm>
#include <string_view>

void replace_key_value_a(std::string& block, std::string name, std::string value) {
    name.erase(
        std::remove_if(name.begin(), name.end(), [](char c) { return c == '=' || c == '\0'; }),
        name.end());
    value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
    std::size_t pos = 0;
    while (pos < block.size() && block[pos] != '\0') {
        std::size_t end = block.find('\0', pos);
        if (end == std::string::npos) {
            block.push_back('\0');
            end = block.size() - 1;
        }
        std::string_view item(block.data() + pos, end - pos);
        std::size_t eq = item.find('=');
        std::string_view item_name =
            item.substr(0, eq == std::string_view::npos ? item.size() : eq);
        if (!item_name.empty() && cl::iequals(item_name, name)) {
            block.erase(pos, end - pos + 1);
            break;
        }
        pos = end + 1;
    }
    // A block that lacks its ending empty item gets one, so the result is
    // always a well-formed block.
    if (pos >= block.size()) {
        block.push_back('\0');
        pos = block.size() - 1;
    }
    std::string item = name + "=" + value;
    item.push_back('\0');
    block.insert(pos, item);
}
