// A hash-list file (the scripts' key-value lists, the request cache's
// store) as the list reads it: parsed in place, written, and read again.
// What was read is what a write keeps: the second reading holds the same
// entries, and its file parses without a damaged line.
#include "core/text.h"
#include "scripting/hashlist_store.h"
#include "tests/fuzz/fuzz_support.h"

#include <map>
#include <memory>

namespace {

std::map<std::string, std::string> entries(scripting::nosql_list& l) {
    std::map<std::string, std::string> out;
    for (auto it = l.begin(); it != l.end(); ++it)
        out.emplace(std::string(it->first.view()), std::string(it->second.view()));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string in = fuzz::scratch_folder() + "list.txt";
    const std::string out = fuzz::scratch_folder() + "list2.txt";
    FUZZ_CHECK(fuzz::write_file(in, fuzz::as_text(data, size)));
    scripting::nosql_list first;
    if (!first.read_file(cl::utf8_to_utf16(in))) return 0;
    const auto read = entries(first);
    FUZZ_CHECK(read.size() == first.size());
    first.set_dirty(true);
    FUZZ_CHECK(first.write_file(cl::utf8_to_utf16(out)));
    scripting::nosql_list second;
    FUZZ_CHECK(second.read_file(cl::utf8_to_utf16(out)));
    FUZZ_CHECK(entries(second) == read);

    std::string bytes;
    {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(out.c_str(), "rb"), &std::fclose);
        FUZZ_CHECK(f != nullptr);
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;)
            bytes.append(buf, n);
    }
    // A list of UTF-8 texts begins with a byte-order mark, which read_file
    // takes off before it parses.
    const std::size_t bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::vector<std::size_t> damaged;
    scripting::nosql_list::parse(
        bytes.data() + bom, bytes.size() - bom, [](std::string_view, std::string_view) {},
        &damaged);
    FUZZ_CHECK(damaged.empty());
    // A change after the reading survives a compaction.
    second.set("fuzz key", "fuzz value");
    second.compact(cl::utf8_to_utf16(out));
    std::string_view v;
    FUZZ_CHECK(second.get("fuzz key", v) && v == "fuzz value");
    return 0;
}
