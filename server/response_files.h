// The response files that hold a body the server makes itself: an empty body,
// a text held in memory, a writable text with a size limit, and the target of
// an upload.
#pragma once
#include "core/blocks.h"
#include "core/simple_file.h"

#include <string>

// An empty body: reads give nothing, writes are accepted and dropped, and it
// has no date, entity tag or range. Every request starts with one.
class nul_file : public cl::simple_file, public cl::request_sized {
  public:
    nul_file() = default;
    int64_t size() override { return 0; }
    int64_t read(void* buffer, int64_t count) override;
    int64_t write(const void* buffer, int64_t count) override;
    std::string modified_time_text() override { return std::string(); }
    std::string etag() override { return std::string(); }
    win32::filetime last_write_filetime() override { return 0; }
    bool set_ranges(const range_list& ranges) override;
};

// A body held in memory. Reading consumes it from the front, so its size is
// what is still to be read.
class string_file : public nul_file {
  public:
    explicit string_file(std::string text) : text_(std::move(text)) {}
    int64_t size() override { return static_cast<int64_t>(text_.size() - pos_); }
    int64_t read(void* buffer, int64_t count) override;

  protected:
    std::string text_;
    std::size_t pos_ = 0; // bytes already read
};

// Starts empty and takes writes up to its limit; what is over the limit is
// refused (the count written tells how much was taken).
class writeable_string_file : public string_file {
  public:
    explicit writeable_string_file(std::size_t limit) : string_file(std::string()), limit_(limit) {}
    int64_t write(const void* buffer, int64_t count) override;
    std::size_t limit() const { return limit_; }

  private:
    std::size_t limit_;
};

// The file that receives a PUT body: writes go to the open file.
class put_file : public cl::simple_file {
  public:
    int64_t write(const void* buffer, int64_t count) override;
};
