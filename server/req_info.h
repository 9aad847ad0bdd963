// The CGI variables of one request and the other per-request values that
// CGI programs, server-side includes and scripts read.
#pragma once
#include "core/blocks.h"
#include "core/ref_cnt.h"
#include "platform/khttp/khttp.h"
#include "server/config_info.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

struct auth_info;
struct http_request_data;
class http_request;

// A static file never reads the request's variables, yet every request has
// them. So they cost nothing until read: the variables that most requests
// set live in fixed slots (no map node, no copy of the name), the
// server-wide creation values are read from their one copy, and the
// variables made of the request headers are made only when a reader asks
// for one of them. What a reader sees is exactly what setting every
// variable at once would have given.
class req_info : public cl::ref_cnt_shared, public request_variables, public cl::request_sized {
  public:
    using variable_map = std::map<std::string, std::string, std::less<>>;

    // The variables with a fixed slot, in the byte order of their names.
    // The request path sets them by slot, which spares it the name look-up.
    enum class slot : uint8_t {
        auth_type,
        content_length,
        content_type,
        cookie,
        document_root,
        gateway_interface,
        path_translated,
        query_string,
        redirect_status,
        remote_addr,
        remote_host,
        remote_port,
        remote_user,
        request_method,
        request_uri,
        script_filename,
        script_name,
        server_name,
        server_port,
        server_protocol,
        server_software,
        tskqvl_authname,
        tskqvl_authuserfile,
        tskqvl_file,
        tskqvl_path,
        tskqvl_private_dir,
        tskqvl_redirect_to,
        tskqvl_require,
        tskqvl_response_code,
        tskqvl_response_text,
    };

    // SERVER_SOFTWARE, SERVER_PROTOCOL, GATEWAY_INTERFACE, DOCUMENT_ROOT and
    // _TSKQVL_PRIVATE_DIR are set from the server-wide values.
    req_info();
    ~req_info() override;

    // Setting a variable replaces its value.
    void set(std::string_view name, std::string_view value);
    void set(std::string_view name, std::string&& value);
    void set(std::string_view name, const char* value) { set(name, std::string_view(value)); }
    // The same as setting the slot's name.
    void set(slot s, std::string_view value);
    void set(slot s, std::string&& value);
    void set(slot s, const char* value) { set(s, std::string_view(value)); }
    // The same as setting the slot to text, without a copy: the slot reads
    // text where it is, and keeps its keeper for that. The keeper must not
    // change text while it is kept (a request record the service no longer
    // fills, a configuration of the cache). Setting the slot again ends it.
    void borrow(slot s, const std::string& text, const std::shared_ptr<khttp::request>& keeper);
    void borrow(slot s, const std::string& text, const cl::sh_ptr<config_info>& keeper);
    // Empty when the variable is not set.
    std::string get(std::string_view name) const override;
    bool has(std::string_view name) const;
    // The value without a copy; valid until the variable is set again.
    std::string_view view(std::string_view name) const;
    // Every variable, by name.
    variable_map variables() const;
    // Replaces every variable by those of other (an include's own copy).
    void copy_variables(const req_info& other);

    // The variables of the request headers of data as they are now: made
    // when one of them is first read or set. The headers must not change
    // until then; whoever changes them calls settle_header_variables first.
    void defer_header_variables(std::shared_ptr<const http_request_data> data);
    void settle_header_variables() const;
    // From now on a second thread (a script page's worker) reads the
    // variables while the request's thread may still set some (the answer's
    // status): reads and writes take a lock. view() stays unguarded.
    void share_between_threads() { shared_.store(true, std::memory_order_release); }

    uint64_t connection_id = 0;
    http_request_data* data = nullptr; // not owned
    cl::sh_ptr<config_info> config;
    std::string user_name; // the authenticated user
    // The login verified for this request; a later access question of the
    // same request (a Destination, a tree member) reuses it.
    std::shared_ptr<const auth_info> login;
    // Kept for the script host.
    std::wstring host_text1;

    // The number of fixed slots (the names are in req_info.cpp).
    static constexpr std::size_t slot_count = 30;

  private:
    void store(std::string_view name, std::string&& value);
    template <class V> void store_slot(slot s, V&& value);
    // The slot's value, the creation value, or the other variable; null when unset.
    const std::string* find(std::string_view name) const;
    void make_header_variables() const;

    // Texts made on first use: most requests set a few slots, and making
    // and ending all of them would cost every request.
    class lazy_texts {
      public:
        lazy_texts() = default;
        ~lazy_texts() {
            for (uint32_t m = made_; m != 0; m &= m - 1)
                text(static_cast<std::size_t>(std::countr_zero(m))).~basic_string();
        }
        lazy_texts(const lazy_texts&) = delete;
        lazy_texts& operator=(const lazy_texts&) = delete;
        std::string& operator[](std::size_t i) {
            if ((made_ >> i & 1u) == 0) {
                new (room_[i]) std::string();
                made_ |= 1u << i;
            }
            return text(i);
        }
        void clear() {
            for (uint32_t m = made_; m != 0; m &= m - 1)
                text(static_cast<std::size_t>(std::countr_zero(m))).clear();
        }

      private:
        std::string& text(std::size_t i) {
            return *std::launder(reinterpret_cast<std::string*>(room_[i]));
        }
        alignas(std::string) unsigned char room_[slot_count][sizeof(std::string)];
        uint32_t made_ = 0;
    };
    // Slot values and which of them are set (a bit per slot).
    mutable lazy_texts slots_;
    mutable uint32_t slot_set_ = 0;
    // The set slots that read a text of a keeper instead (a bit per slot),
    // where each of them is, and the keepers.
    mutable uint32_t borrowed_ = 0;
    std::array<const std::string*, slot_count> lent_;
    std::shared_ptr<const khttp::request> lender_;
    cl::sh_ptr<config_info> config_lender_;
    void lend(slot s, const std::string& text);
    // Variables of any other name.
    mutable variable_map others_;
    // False once copy_variables replaced the creation values.
    bool creation_values_ = true;
    // The request whose header variables are still to be made.
    mutable std::shared_ptr<const http_request_data> pending_;
    mutable std::atomic<bool> has_pending_{false};
    mutable std::mutex settle_lock_;
    std::atomic<bool> shared_{false};
    mutable std::mutex vars_lock_; // taken only once shared_ is set
    std::unique_lock<std::mutex> guard() const;
    std::unique_lock<std::mutex> settle_guard() const;
};

// The server-wide values of the creation variables; server start sets them.
struct cgi_server_values {
    std::string server_software;
    std::string document_root; // the public directory
    std::string private_dir;
};
const cgi_server_values& cgi_values();
void set_cgi_values(const cgi_server_values& values);

// The name of the CGI variable of a request header: "HTTP_" and the name with
// ASCII letters upper-cased and "-" turned into "_".
std::string cgi_header_variable_name(std::string_view header_name);

// The variables that depend on the request headers (run time), the
// transferMode.dlna.org echo, the access-log copies and close_connection.
void set_request_variables(http_request& request);
// REMOTE_USER, AUTH_TYPE, _TSKQVL_AUTHNAME, _TSKQVL_REQUIRE, _TSKQVL_AUTHUSERFILE.
void set_cgi_auth_variables(const auth_info& auth, req_info& info);
