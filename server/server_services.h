// Services that the request code calls in other parts of the program: the
// connection and transfer registry of the server object, and the media
// server's content features. Each is reached through a small interface that
// its owner installs at start-up; until then a stand-in answers.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class transfer_registry {
  public:
    virtual ~transfer_registry() = default;
    // The transfer of a connection: the served path and how far it is in
    // percent, -1 when it ended.
    virtual void report_transfer(uint64_t connection_id, const std::wstring& path, int percent) {
        (void)connection_id, (void)path, (void)percent;
    }
    // Body bytes that the kernel service accepted for the connection.
    virtual void add_bytes_sent(uint64_t connection_id, uint64_t bytes) {
        (void)connection_id, (void)bytes;
    }
    // The file and authenticated user of the connection's request.
    virtual void set_transfer_file(uint64_t connection_id, const std::wstring& path,
                                   const std::string& user) {
        (void)connection_id, (void)path, (void)user;
    }
};
transfer_registry& the_transfer_registry();
void set_transfer_registry(transfer_registry* registry);

class content_features_provider {
  public:
    virtual ~content_features_provider() = default;
    // The DLNA content features of a MIME type; "*" for a type without a
    // media profile.
    virtual std::wstring get_content_features(std::string_view content_type) = 0;
};
// Asks the installed provider; "*" while none is installed.
std::wstring get_content_features(std::string_view content_type);
void set_content_features_provider(content_features_provider* provider);

// The WebDAV lock table as the If header sees it.
class lock_token_table {
  public:
    virtual ~lock_token_table() = default;
    // True when the resource (a local path) is locked with exactly this token.
    virtual bool is_current_lock_token(const std::wstring& resource, const std::string& token) {
        (void)resource, (void)token;
        return false;
    }
};
lock_token_table& the_lock_tokens();
void set_lock_token_table(lock_token_table* table);
