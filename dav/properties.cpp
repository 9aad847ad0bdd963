#include "dav/properties.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "dav/dav_namespaces.h"
#include "dav/file_attributes.h"
#include "dav/locks.h"
#include "dav/xml_document.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdio>

namespace {

bool starts_with_ignoring_case(std::wstring_view text, const std::wstring& prefix) {
    return !prefix.empty() && text.size() >= prefix.size() &&
           cl::iequals_w(text.substr(0, prefix.size()), prefix);
}

void element(std::string& out, std::string_view name, std::string_view value) {
    out += '<';
    out += name;
    out += '>';
    out += value;
    out += "</";
    out += name;
    out += ">\n";
}

std::string decimal(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    return buf;
}

} // namespace

std::string dav_href(const std::wstring& url_path) {
    return xml_escape(server_config::url_escape_path(cl::utf16_to_utf8(url_path)));
}

bool write_dav_properties(std::string& out, const dav_property_context& context,
                          const std::wstring& path, const std::string& href, bool top) {
    dav_entry entry;
    entry.path = cl::utf16_to_utf8(path);
    entry.info = cl::file_information_at(AT_FDCWD, entry.path.c_str(), true, entry.ok, entry.mode);
    return write_dav_properties(out, context, entry, path, href, top);
}

bool write_dav_properties(std::string& out, const dav_property_context& context,
                          const dav_entry& entry, std::wstring_view path, const std::string& href,
                          bool top) {
    bool is_directory = false;
    out += "<d:response>\n<d:href>";
    out += href;
    out += "</d:href>\n<d:propstat><d:prop>\n";

    if (entry.ok) {
        const cl::file_information& info = entry.info;
        const std::string& p = entry.path;
        const uint32_t mode = entry.mode;
        std::string_view name = p;
        while (!name.empty() && name.back() == '/')
            name.remove_suffix(1);
        if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos)
            name.remove_prefix(slash + 1);
        stored_attributes stored;
        const bool has_stored = entry.dir_fd >= 0 && entry.name
                                    ? read_stored_attributes_at(entry.dir_fd, entry.name, p, stored)
                                    : read_stored_attributes(p, stored);
        const uint32_t attributes =
            effective_attributes(mode, name, has_stored ? &stored : nullptr);

        const std::string modified = cl::http_date(info.last_write_time);
        if (!modified.empty()) {
            out += "<d:getlastmodified xmlns:b=\"urn:uuid:c2f41010-65b3-11d1-a29f-00aa00c14882/\" "
                   "b:dt=\"dateTime.rfc1123\">";
            out += modified;
            out += "</d:getlastmodified>\n";
            element(out, "d:getetag", xml_escape(cl::entity_tag(info)));
        }
        element(out, "d:getcontentlength", decimal(info.size));
        if (!(attributes & cl::file_attribute_directory)) {
            element(out, "d:getcontenttype", xml_escape(context.config->mime_type_of_file(path)));
        } else {
            is_directory = true;
            std::string type = "<d:resourcetype><d:collection/>";
            if (!context.user_folder.empty()) {
                if (!context.caldav_prefix.empty() &&
                    starts_with_ignoring_case(path, context.user_folder + context.caldav_prefix)) {
                    type += "<cal:calendar/>";
                    element(out, "d:getcontenttype",
                            xml_escape(context.config->mime_type_of_file(L"x.ics")));
                }
                if (!context.carddav_prefix.empty() &&
                    starts_with_ignoring_case(path, context.user_folder + context.carddav_prefix)) {
                    type += "<card:addressbook/>";
                    element(out, "d:getcontenttype",
                            xml_escape(context.config->mime_type_of_file(L"x.vcf")));
                }
            }
            type += "</d:resourcetype>\n";
            out += type;
            struct statvfs vfs {};
            if (::statvfs(p.c_str(), &vfs) == 0) {
                const uint64_t total = uint64_t(vfs.f_blocks) * vfs.f_frsize;
                const uint64_t available = uint64_t(vfs.f_bavail) * vfs.f_frsize;
                element(out, "d:quota-used-bytes", decimal(total - available));
                element(out, "d:quota-available-bytes", decimal(available));
            }
        }
        if (attributes & cl::file_attribute_readonly) out += "<d:isreadonly>TRUE</d:isreadonly>\n";
        if (attributes & cl::file_attribute_hidden) out += "<d:ishidden>TRUE</d:ishidden>\n";
        char word[16];
        std::snprintf(word, sizeof word, "%08x", attributes);
        element(out, "Z:Win32FileAttributes", word);
        element(out, "Z:Win32LastModifiedTime", modified);
        const win32::filetime created =
            has_stored && stored.creation_time ? stored.creation_time : info.creation_time;
        const std::string created_text = cl::http_date(created);
        if (!created_text.empty()) {
            element(out, "Z:Win32CreationTime", created_text);
            element(out, "d:creationdate", cl::iso_date(created));
        }
        const std::string accessed = cl::http_date(info.last_access_time);
        if (!accessed.empty()) element(out, "Z:Win32LastAccessTime", accessed);
        append_lock_properties(out, path);
    }

    if (top && context.document && context.document->loaded &&
        xml_select_count(*context.document, "/d:propfind/d:prop/d:current-user-principal") != 0) {
        std::wstring folder = context.user_folder;
        const std::wstring root = public_dir();
        if (starts_with_ignoring_case(folder, root)) folder.erase(0, root.size() - 1);
        out += "<d:current-user-principal><d:href>";
        out += dav_href(folder);
        out += "</d:href></d:current-user-principal>\n";
    }
    out += "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>\n";
    return is_directory;
}
