// Mail for scripts. The mail component is a class registered under its
// ProgID that sends through SMTP with libcurl; create_sendmail hands scripts
// an instance initialised with the program's SMTP settings.
#include "core/format.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/automation/class_registry.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"
#include "system/password_crypt.h"

#include <curl/curl.h>

#include <ctime>
#include <mutex>

namespace scripting::objects {

namespace {

struct isendmail_i : idispatch_i {};
constexpr guid iid_isendmail{
    0x3C8D2E47, 0x91B0, 0x4F6A, {0xB2, 0x5E, 0x7A, 0x10, 0xC9, 0x44, 0xD3, 0x81}};
constexpr guid clsid_sendmail{
    0x3C8D2E48, 0x91B0, 0x4F6A, {0xB2, 0x5E, 0x7A, 0x10, 0xC9, 0x44, 0xD3, 0x81}};

bool has_line_break(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

// A header text outside ASCII goes as an encoded word.
std::string header_text(const std::string& s) {
    bool ascii = true;
    for (unsigned char c : s)
        ascii = ascii && c >= 0x20 && c < 0x7F;
    if (ascii) return s;
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "=?UTF-8?B?";
    std::size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
        const uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8) | uint8_t(s[i + 2]);
        out += b64[v >> 18];
        out += b64[(v >> 12) & 63];
        out += b64[(v >> 6) & 63];
        out += b64[v & 63];
    }
    if (i < s.size()) {
        const uint32_t v = (uint8_t(s[i]) << 16) | (i + 1 < s.size() ? uint8_t(s[i + 1]) << 8 : 0);
        out += b64[v >> 18];
        out += b64[(v >> 12) & 63];
        out += i + 1 < s.size() ? b64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out + "?=";
}

// The addresses of a list separated by "," or ";", each without its display
// name ("Name <a@b>" gives "a@b").
std::vector<std::string> addresses(const std::string& list) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find_first_of(",;", start);
        if (end == std::string::npos) end = list.size();
        std::string a = list.substr(start, end - start);
        const std::size_t lt = a.find('<'), gt = a.rfind('>');
        if (lt != std::string::npos && gt != std::string::npos && gt > lt)
            a = a.substr(lt + 1, gt - lt - 1);
        cl::trim_left(a);
        cl::trim_right(a);
        if (!a.empty()) out.push_back(a);
        start = end + 1;
    }
    return out;
}

struct upload {
    const std::string* text;
    std::size_t pos = 0;
};
size_t read_payload(char* buf, size_t size, size_t n, void* user) {
    auto* u = static_cast<upload*>(user);
    const std::size_t room = size * n;
    const std::size_t left = u->text->size() - u->pos;
    const std::size_t take = left < room ? left : room;
    std::memcpy(buf, u->text->data() + u->pos, take);
    u->pos += take;
    return take;
}

class sendmail_component final : public automation::idispatch<isendmail_i> {
  public:
    sendmail_component() { load_type_info(program_type_library(), iid_isendmail); }

    void init(std::string server, int32_t port, std::string user, std::string password, bool ssl) {
        server_ = std::move(server);
        port_ = port;
        user_ = std::move(user);
        password_ = std::move(password);
        ssl_ = ssl;
        ready_ = true;
    }

    bool send(const std::string& from, const std::string& to, const std::string& subject,
              const std::string& body) {
        error_.clear();
        if (!ready_) return fail("not initialised");
        if (has_line_break(from) || has_line_break(to) || has_line_break(subject))
            return fail("line break in a header field");
        const std::vector<std::string> rcpt = addresses(to);
        const std::vector<std::string> sender = addresses(from);
        if (rcpt.empty() || sender.size() != 1) return fail("no sender or no recipient");

        char date[64];
        const std::time_t now = std::time(nullptr);
        struct tm tmv;
        ::gmtime_r(&now, &tmv);
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &tmv);
        std::string msg = cl::format_str("Date: %?\r\nFrom: %?\r\nTo: %?\r\nSubject: %?\r\n", date,
                                         from, to, header_text(subject));
        msg += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
               "Content-Transfer-Encoding: 8bit\r\n\r\n";
        for (std::size_t i = 0; i < body.size(); ++i) {
            if (body[i] == '\n' && (i == 0 || body[i - 1] != '\r')) msg += '\r';
            msg += body[i];
        }
        if (msg.size() < 2 || msg.compare(msg.size() - 2, 2, "\r\n") != 0) msg += "\r\n";

        CURL* c = curl_easy_init();
        if (!c) return fail("no SMTP client");
        const int port = port_ > 0 ? port_ : 25;
        const std::string url =
            cl::format_str("%?://%?:%?", port == 465 && ssl_ ? "smtps" : "smtp", server_, port);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        if (ssl_) curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        if (!user_.empty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
        }
        const std::string mail_from = "<" + sender.front() + ">";
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, mail_from.c_str());
        struct curl_slist* list = nullptr;
        for (const auto& a : rcpt)
            list = curl_slist_append(list, ("<" + a + ">").c_str());
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, list);
        upload u{&msg};
        curl_easy_setopt(c, CURLOPT_READFUNCTION, read_payload);
        curl_easy_setopt(c, CURLOPT_READDATA, &u);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 20L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
        const CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(list);
        curl_easy_cleanup(c);
        if (rc != CURLE_OK) return fail(curl_easy_strerror(rc));
        return true;
    }
    const std::string& last_error() const { return error_; }

  private:
    bool fail(const std::string& why) {
        error_ = why;
        cl::trace_out.write(cl::format_str("sendmail: %?\n", why));
        return false;
    }

    std::string server_, user_, password_, error_;
    int32_t port_ = -1;
    bool ssl_ = false;
    bool ready_ = false;
};

sendmail_component* mail_of(idispatch_i* d) {
    return self_as<sendmail_component, isendmail_i>(d);
}

std::string text_arg(const dispparams& p, std::size_t i, hresult& hr) {
    std::wstring s;
    if (succeeded(hr)) hr = to_text(p.arg(i), s);
    return cl::utf16_to_utf8(s);
}

hresult m_init(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    hresult hr = s_ok;
    const std::string server = text_arg(p, 0, hr), user = text_arg(p, 1, hr),
                      pwd = text_arg(p, 2, hr);
    bool ssl = false;
    if (succeeded(hr)) hr = to_bool(p.arg(3), ssl);
    if (failed(hr)) return hr;
    mail_of(d)->init(server, -1, user, pwd, ssl);
    return s_ok;
}
hresult m_init2(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    hresult hr = s_ok;
    const std::string server = text_arg(p, 0, hr);
    int32_t port = -1;
    if (succeeded(hr)) hr = to_i4(p.arg(1), port);
    const std::string user = text_arg(p, 2, hr), pwd = text_arg(p, 3, hr);
    bool ssl = false;
    if (succeeded(hr)) hr = to_bool(p.arg(4), ssl);
    if (failed(hr)) return hr;
    mail_of(d)->init(server, port, user, pwd, ssl);
    return s_ok;
}
hresult m_send(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    hresult hr = s_ok;
    const std::string from = text_arg(p, 0, hr), to = text_arg(p, 1, hr),
                      subject = text_arg(p, 2, hr), body = text_arg(p, 3, hr);
    if (failed(hr)) return hr;
    *r = variant::from_bool(mail_of(d)->send(from, to, subject, body));
    return s_ok;
}
hresult m_last_error(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(cl::utf8_to_utf16(mail_of(d)->last_error()));
    return s_ok;
}

const type_info isendmail_type{iid_isendmail,
                               L"isendmail",
                               {{0x1, L"init", member_method, 4, 4, m_init},
                                {0x2, L"init2", member_method, 5, 5, m_init2},
                                {0x3, L"send", member_method, 4, 4, m_send},
                                {0x4, L"last_error", member_get, 0, 0, m_last_error}}};

automation::com_factory<sendmail_component>& factory() {
    static auto* f = new automation::com_factory<sendmail_component>(iid_isendmail);
    return *f;
}

std::wstring password_hint(const std::wstring& pwd) {
    if (pwd.empty()) return L"<empty>";
    return cl::format_wstr(L"%? (hidden)", pwd.size());
}

} // namespace

void register_sendmail_class() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        register_type_once(isendmail_type);
        uint32_t cookie = 0;
        register_class_object(clsid_sendmail, sendmail_prog_id, &factory(), &cookie);
    });
}

hresult create_sendmail(cl::ini_file& ini, const std::string& master_pwd, dispatch_ptr* out) {
    if (!out) return e_pointer;
    out->reset();
    const std::wstring section = L"Param";
    const int32_t debugging = ini.get_int(section, L"smtp_debugging", 0);
    std::wstring stored = ini.get_string_or(section, L"smtp_password", L"");
    cl::trim_left_w(stored);
    cl::trim_right_w(stored);
    const bool plain = !stored.empty() && stored[0] == L'!';
    if (debugging > 1)
        // A password written by hand is still plain text: it never goes to the trace.
        cl::trace_out.write_w(L"sendmail pwd is: " +
                              (plain ? std::wstring(L"(plain text, not shown)") : stored) + L"\n");
    std::wstring password;
    if (!plain) {
        password = decrypt_hex_string(stored, master_pwd);
    } else {
        password = stored.substr(1);
        ini.write_value(section, L"smtp_password", encrypt_hex_string(password, master_pwd));
        if (!ini.flush())
            cl::trace_out.write("sendmail: cannot write the encrypted smtp password\n");
        cl::trace_out.write("smtp password encrypted\n");
    }
    const std::wstring server = ini.get_string_or(section, L"smtp_server", L"");
    const std::wstring user = ini.get_string_or(section, L"smtp_username", L"");
    const bool ssl = ini.get_int(section, L"smtp_use_ssl", 0) != 0;
    const int32_t port = ini.get_int(section, L"smtp_port", -1);
    if (debugging != 0)
        cl::trace_out.write_w(cl::format_wstr(L"sendmail: %? %? %? %? %?\n", server, port,
                                              ssl ? 1 : 0, user, password_hint(password)));

    guid clsid;
    hresult hr = clsid_from_prog_id(sendmail_prog_id, &clsid);
    if (failed(hr)) {
        cl::trace_out.write(
            cl::format_str("sendmail: unable to get class id %x\n", static_cast<uint32_t>(hr)));
        cl::trace_out.write(cl::format_str("sendmail: unable to create class instance %x\n",
                                           static_cast<uint32_t>(hr)));
        return hr;
    }
    // Created for IUnknown and asked for its dispatch interface: class
    // factories here answer only their own interface and IUnknown.
    void* p = nullptr;
    hr = co_create_instance(clsid, nullptr, 0x17, iid_iunknown, &p);
    automation::com_ptr<iunknown_i> unk;
    if (succeeded(hr)) {
        unk.attach(static_cast<iunknown_i*>(p));
        p = nullptr;
        hr = unk->query_interface(iid_idispatch, &p);
    }
    if (failed(hr)) {
        cl::trace_out.write(cl::format_str("sendmail: unable to create class instance %x\n",
                                           static_cast<uint32_t>(hr)));
        return hr;
    }
    dispatch_ptr obj;
    obj.attach(static_cast<idispatch_i*>(p));
    const std::wstring method = port == -1 ? L"init" : L"init2";
    dispid id = dispid_unknown;
    hr = obj->get_ids_of_names(iid_null, &method, 1, 0x800, &id);
    if (failed(hr)) {
        cl::trace_out.write(cl::format_str("sendmail: unable to get dispid for init %x\n",
                                           static_cast<uint32_t>(hr)));
        return hr;
    }
    std::vector<variant> args;
    args.push_back(variant::from_bstr(server));
    if (port != -1) args.push_back(variant::from_i4(port));
    args.push_back(variant::from_bstr(user));
    args.push_back(variant::from_bstr(password));
    args.push_back(variant::from_bool(ssl));
    dispparams params = dispparams::of(std::move(args));
    variant result;
    excepinfo ei;
    hr = obj->invoke(id, iid_null, 0x800, dispatch_method, params, &result, &ei, nullptr);
    if (failed(hr)) {
        cl::trace_out.write(
            cl::format_str("sendmail: unable to call init %x\n", static_cast<uint32_t>(hr)));
        return hr;
    }
    *out = std::move(obj);
    return s_ok;
}

} // namespace scripting::objects
