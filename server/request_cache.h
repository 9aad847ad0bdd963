// The proxy's request cache: per forwarded URL the request and answer
// headers of its last answer, and per page the resources that it loaded (by
// their Referer). A conditional GET of a resource whose stored answer is not
// newer than the client's copy is answered 304 without asking the upstream
// server; asking for a page again refreshes its resources' headers in the
// background. The store is the script host's hash list "req_cache_data.txt";
// while the script host keeps none, a bounded list in memory stands in.
#pragma once
#include "core/ref_cnt.h"
#include "server/proxy.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

class key_value_list;
struct proxy_cache_record;

class request_cache {
  public:
    request_cache();
    ~request_cache();
    // Attaches the store (null: the in-memory list).
    void open(cl::sh_ptr<key_value_list> list);
    void close();

    // True with the stored answer headers when the request for key (the Host
    // header followed by the URL) may be answered 304: a resource that is
    // neither a page nor text, an If-Modified-Since date that parses and a
    // stored Last-Modified that is not later, and with If-None-Match, a
    // stored entity tag among those listed; with may_use_local false, one
    // whose upstream is not on this machine. Asking for a page starts the
    // background refresh of its resources.
    bool lookup(const std::string& key, const std::string& if_modified_since,
                const std::string& if_none_match, bool may_use_local, header_pairs& headers);
    // Records the answer of a forwarded GET or HEAD: a 200 that may be shared
    // is stored (without credentials, cookies and hop-by-hop fields), a 304
    // freshens the stored answer, anything else drops it.
    void store(const proxy_cache_record& record, uint32_t status, const header_pairs& headers);
    // Drops what is stored for key (a request that may change it passed).
    void forget(const std::string& key);
    // Refreshes the headers of the resources of a page now (the background
    // job's work).
    void refresh_page(const std::string& page_key);

  private:
    cl::sh_ptr<key_value_list> list();
    // Takes a fresh answer head of a resource (true when it is stored): a 200
    // replaces the stored one, a 304 updates its fields; an answer that may
    // not be kept drops the entry.
    bool take_answer(key_value_list& l, const std::string& key, uint32_t status,
                     const header_pairs& headers);

    std::mutex lock_;
    cl::sh_ptr<key_value_list> list_;
    std::set<std::string> refreshing_; // pages whose refresh is running
};

request_cache& the_request_cache();

// The cache's file holds request data: only the server's account may read it.
// Makes the file (empty) with mode 0600, or sets that mode on the one there.
bool make_store_private(const std::string& path);

// A bounded key-value list in memory, the store of the cache while the script
// host keeps no hash lists.
cl::sh_ptr<key_value_list> make_memory_list(std::size_t max_entries);
