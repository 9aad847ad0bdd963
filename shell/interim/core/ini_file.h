// Stand-in for the class library's INI store (see ../README.md). `ini_file`
// reads the file on every call and rewrites it for every change; `cached_ini`
// keeps its changes in memory until flush. Files are UTF-8 with CR LF line
// ends; a file is replaced through a synced temporary file and rename.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cl {

class ini_file {
  public:
    ini_file() = default;
    virtual ~ini_file() = default;
    ini_file(const ini_file&) = delete;
    ini_file& operator=(const ini_file&) = delete;

    virtual bool get_value(const std::wstring& section, const std::wstring& key,
                           std::wstring& value);
    virtual bool set_path(const std::wstring& path, bool prefer_utf8);
    virtual bool write_value(const std::wstring& section, const std::wstring& key,
                             const std::wstring& value, bool flag = true);
    virtual bool flush() { return true; }

    int32_t get_int(const std::wstring& section, const std::wstring& key, int32_t def);
    bool get_bool(const std::wstring& section, const std::wstring& key, bool def);
    std::wstring get_string_or_wstring(const std::wstring& section, const std::wstring& key,
                                       const std::wstring& def);
    std::string get_narrow_string_or(const std::wstring& section, const std::wstring& key,
                                     const std::string& def);

    const std::wstring& path() const { return path_; }

  protected:
    // The file's lines without line ends; false when it cannot be read.
    bool read_lines(std::vector<std::wstring>& lines);
    bool find_in(const std::vector<std::wstring>& lines, const std::wstring& section,
                 const std::wstring& key, std::wstring& value);
    bool store(
        const std::vector<std::pair<std::pair<std::wstring, std::wstring>, std::wstring>>& changes);

    bool prefer_utf8_ = false;
    std::wstring path_;
};

class cached_ini : public ini_file {
  public:
    cached_ini() = default;
    ~cached_ini() override;

    bool get_value(const std::wstring& section, const std::wstring& key,
                   std::wstring& value) override;
    bool set_path(const std::wstring& path, bool prefer_utf8) override;
    bool write_value(const std::wstring& section, const std::wstring& key,
                     const std::wstring& value, bool flag = true) override {
        return set_value(section, key, value, flag);
    }
    bool set_value(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                   bool schedule);
    bool flush() override;

  private:
    std::recursive_mutex lock_;
    std::vector<std::wstring> lines_;
    std::vector<std::pair<std::pair<std::wstring, std::wstring>, std::wstring>> pending_;
};

} // namespace cl
