#include "server/request_processor.h"

#include "server/http_server.h"
#include "server/http_tables.h"

#include "core/text.h"

std::wstring media_folder_name(const std::wstring& media_dir) {
    std::wstring d = media_dir;
    while (!d.empty() && d.back() == L'/')
        d.pop_back();
    const std::size_t slash = d.rfind(L'/');
    return slash == std::wstring::npos ? d : d.substr(slash + 1);
}

std::wstring decode_media_path(const std::wstring& path, const std::wstring& media_folder) {
    if (media_folder.empty()) return path;
    const std::wstring p = L"/" + media_folder;
    const std::wstring prefix = p + L".enc/";
    if (path.size() < prefix.size() ||
        !cl::iequals_w(std::wstring_view(path).substr(0, prefix.size()), prefix))
        return path;
    const std::wstring rest = path.substr(prefix.size());
    const std::size_t dot = rest.rfind(L'.');
    if (dot == std::wstring::npos) return path;
    if (rest.find_first_of(L"\\:/") < dot) return path;
    const std::wstring hex = rest.substr(0, dot);
    if (hex.size() % 2 != 0) return path;
    std::wstring decoded;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int v = cl::hex_pair_value(hex[i], hex[i + 1]);
        // A decoded separator would let the name climb out of the folder.
        if (v < 32 || v == '/' || v == '\\') return path;
        decoded += static_cast<wchar_t>(v);
    }
    return p + L"/" + decoded + L"." + rest.substr(dot + 1);
}

// Until the request classes are part of the server every request is answered
// 501, so the front end can be run and measured on its own.
void process_request(_http_server& server, std::shared_ptr<khttp::request> request) {
    server.count_request();
    khttp::response r;
    r.status = 501;
    r.reason = std::string(status_text(501));
    r.known_headers[khttp::header_content_length] = "0";
    khttp::send_response(server.queue(), request->request_id, 0, r);
}
