// Server-side includes: a page whose "<!--#echo ...-->" and
// "<!--#include ...-->" directives are replaced by their output while it is
// read. An include is produced by the response file its own handler picks
// (a plain file, a CGI program, another parsed page) and streamed in place.
#pragma once
#include "core/ref_cnt.h"
#include "server/req_info.h"
#include "server/response_files.h"
#include "server/response_headers.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scripting {

// The value of one attribute of a directive ("var", "virtual", "file"):
// quoted or up to the next blank, trimmed; empty when absent.
std::string ssi_get_attribute(std::string_view attributes, std::string_view name);

// Percent-decoding of an include target: empty for a "%" without two hex
// digits, and for any unescaped character below 33, above 126 or one of
// ! * " ' ( ) ; : @ & = $ , ? % # [ ] (and "+" unless plus_as_blank).
std::string ssi_url_decode(std::string_view text, bool plus_as_blank);

// Percent-decoding of an include's query ("+" as blank): the separators of
// a query ("=", "&", ";") stand as they are; empty for a "%" without two hex
// digits or a character below 33 or above 126.
std::string ssi_query_decode(std::string_view text);

// An include target split at its last "?": the decoded file name (empty when
// it holds a character below 32 or one of < > " | ? * :) and the query
// ("+" as blank).
void ssi_split_include_target(std::string_view value, std::wstring& file, std::string& query);

// "&", "<", ">", '"' and "'" as character references.
std::string html_escape(std::string_view text);

class parsed_file : public nul_file {
  public:
    parsed_file(cl::sh_ptr<req_info> info, std::wstring path);
    ~parsed_file() override;

    int64_t size() override { return -1; }
    int64_t read(void* buffer, int64_t count) override;
    void start(cl::ref_cnt_base* companion) override;

    // Longest directive looked for; a start tag without an end tag within
    // this many bytes is delivered as text.
    static constexpr std::size_t max_directive = 64 * 1024;
    // Deepest nesting of included pages.
    static constexpr std::size_t max_depth = 16;

  private:
    bool produce();
    void fill();
    void process(const std::string& directive, const std::string& whole);
    void include(const std::string& attributes);

    cl::sh_ptr<req_info> info_;
    std::wstring path_;
    std::vector<std::wstring> chain_; // the pages being expanded, this one last
    std::string start_tag_;
    std::string end_tag_;
    std::string look_;    // read from the file, not yet delivered
    std::string pending_; // ready for the caller
    std::size_t pending_pos_ = 0;
    bool eof_ = false;
    std::unique_ptr<cl::simple_file> include_;
    cl::sh_ptr<response_headers> headers_;
};

} // namespace scripting
