// The multi-language string table: string files beside the executable
// ("qvelsml.txt" and any "qvelsml_*.txt"), each with language sections that
// define texts by id, a language chosen with its fallbacks, and look-ups
// with entity decoding and "%" placeholders.
//
// Readers never see a table being built: every change (a file loaded, the
// language switched, a placeholder set) builds a new table beside the one in
// use and swaps it in whole.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct ml_string {
    std::wstring text;
    uint16_t langid = 0;
};

struct ml_language {
    std::wstring name = L"unknown language";
    std::vector<uint16_t> langids; // own first, then the fallbacks in order
    uint16_t charset = 0;
};

class language_file_list {
  public:
    std::vector<ml_language> languages;

    ml_language* current();
    void reset_current() { current_ = -1; }
    // Makes the language current, appending it when new; a known one has
    // its fallbacks cut back, as every section restates them.
    void set_language(uint16_t langid);
    // Collects the languages of one file; false when it cannot be opened.
    bool scan_file(const std::wstring& path);
    // The language for the requested id on a system whose interface
    // language is system_langid; 0 when the list holds none. It becomes current.
    uint16_t select(uint16_t requested, uint16_t system_langid);

  private:
    int current_ = -1;
};

// The languages of the main file and of every further file matching the
// pattern; false only when the main file cannot be opened.
bool enumerate_language_files(const std::wstring& main_path, const std::wstring& pattern,
                              language_file_list& list);

class ML {
  public:
    static constexpr uint32_t max_directive_name = 16;
    static constexpr uint32_t max_directive_arguments = 2;
    static constexpr uint32_t max_argument_length = 32;
    static constexpr uint32_t max_id_length = 128;
    static constexpr uint32_t max_text_length = 16384;

    ML();

    // Reads one file: in scan mode only its languages go into `langs`; in
    // load mode its definitions are taken by the priority list. False only
    // when the file cannot be opened.
    bool load(const std::wstring& path, const std::vector<uint16_t>& priority,
              language_file_list& langs, bool scan,
              const std::vector<std::string>* ignored = nullptr);
    // The whole table again from the main file and the further ones; on
    // failure the table in use stays as it was.
    bool load_files(const std::wstring& main_path, const std::wstring& pattern,
                    const std::vector<uint16_t>& priority, const std::wstring& product,
                    const std::vector<std::string>& ignored);
    bool load_file(const std::wstring& path, const std::vector<uint16_t>& priority,
                   const std::vector<std::string>* ignored = nullptr);

    // The text of an id, ids with or without the marker bytes E6 B1 D7.
    std::wstring get(std::string_view id) const;
    std::wstring get(std::wstring_view id) const;
    std::wstring lookup(std::wstring_view id, bool decode) const;
    bool has(std::wstring_view id) const;
    void set_placeholder(const std::wstring& name, const std::wstring& value);

    uint16_t chosen_language() const;
    uint16_t charset() const;
    size_t size() const;
    // The stored language of an id; 0 when it is not there.
    uint16_t language_of(std::wstring_view id) const;

  private:
    struct data {
        std::map<std::wstring, ml_string> strings;
        std::map<std::wstring, std::wstring> placeholders;
        uint16_t chosen = 0;
        uint16_t charset = 1;
    };
    std::shared_ptr<const data> snapshot() const;
    void install(std::shared_ptr<const data> d);
    static bool load_into(data& d, const std::wstring& path, const std::vector<uint16_t>& priority,
                          language_file_list& langs, bool scan,
                          const std::vector<std::string>* ignored);
    static bool load_file_into(data& d, const std::wstring& path,
                               const std::vector<uint16_t>& priority,
                               const std::vector<std::string>* ignored);
    static void set_file_placeholders(data& d);
    static std::wstring lookup_in(const data& d, std::wstring_view id, bool decode);

    mutable std::mutex lock_;
    std::shared_ptr<const data> data_;
};

// The program's one string table.
ML& ml_table();

std::wstring ml_decode_entities(std::wstring text);

// Windows language ids to the codes the crash report names languages by.
namespace language_codes {
std::wstring code(uint16_t langid);
std::wstring system_language();
} // namespace language_codes
