// The request cache's store file as the cache meets it at start: a hash
// list of stored answers, asked for every key it holds with the questions a
// conditional GET asks, and told of fresh answers; every field handed out
// for a 304 has a name.
#include "core/text.h"
#include "scripting/hashlist_store.h"
#include "server/http_request.h"
#include "server/proxy.h"
#include "server/request_cache.h"
#include "server/script_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/server_world.h"

#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 32 * 1024) return 0;
    const fuzz::server_world& world = fuzz::set_up_server();
    const std::string path = world.data + "req_cache_data.txt";
    const std::string_view text = fuzz::as_text(data, size);
    FUZZ_CHECK(fuzz::write_file(path, text));

    // The keys the file names, as the list will read them.
    std::set<std::string> keys;
    std::string copy(text);
    scripting::nosql_list::parse(
        copy.data(), copy.size(),
        [&](std::string_view key, std::string_view) {
            const std::size_t mark = key.find('\x01');
            keys.emplace(key.substr(0, mark));
        },
        nullptr);

    script_host& host = the_script_host();
    cl::sh_ptr<key_value_list> list = host.get_named_hashlist(cl::utf8_to_utf16(path), 60);
    if (!list) return 0;
    request_cache& cache = the_request_cache();
    cache.open(list);
    int asked = 0;
    for (const std::string& key : keys) {
        if (++asked > 64) break;
        for (const char* inm : {"", "*", "\"a\", W/\"b\""}) {
            header_pairs headers;
            if (cache.lookup(key, "Sun, 06 Nov 2044 08:49:37 GMT", inm, false, headers))
                for (const auto& [name, value] : headers)
                    FUZZ_CHECK(!name.empty());
        }
        proxy_cache_record record;
        record.key = key;
        record.host = key.substr(0, key.find('/'));
        cache.store(record, 304,
                    {{"Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT"}, {"ETag", "\"a\""}});
        cache.forget(key);
    }
    cache.close();
    list = nullptr;
    host.close_all_hashlists();
    return 0;
}
