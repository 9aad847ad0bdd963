// The file object every file of the program goes through: C-runtime style
// open flags on a POSIX descriptor, reads of lines with any of the three line
// ends, and virtual operations that the server's response files, the text
// files and the trace file override.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace cl {

// Open flags (C-runtime style).
enum : uint32_t {
    o_rdonly = 0x0,
    o_wronly = 0x1,
    o_rdwr = 0x2,
    o_random = 0x10,
    o_sequential = 0x20,
    o_temporary = 0x40, // delete on close; needs o_creat
    o_noinherit = 0x80,
    o_creat = 0x100,
    o_trunc = 0x200,
    o_excl = 0x400,
    o_short_lived = 0x1000,
    o_text = 0x4000,
    o_binary = 0x8000,
    o_write_through = 0x10000,
};

// Share flags.
enum : uint32_t {
    sh_denyrw = 0x10,
    sh_denywr = 0x20,
    sh_denyrd = 0x30,
    sh_denyno = 0x40,
    sh_delete = 0x100,
};

enum line_end_kind : uint8_t { le_none = 0, le_lf = 1, le_cr = 2, le_crlf = 3 };

using file_handle = int;
inline constexpr file_handle invalid_file_handle = -1;
inline constexpr uint32_t invalid_flags_error = 0xFFFFFFFFu;

class file_hnd {
  public:
    file_hnd() = default;
    file_hnd(const file_hnd&) = delete;
    file_hnd& operator=(const file_hnd&) = delete;
    virtual ~file_hnd();

    virtual int64_t size();
    // 0 when closed cleanly (or already closed), -1 when close failed.
    virtual int close();
    virtual bool read_line_w(std::wstring& line);
    virtual bool read_line(std::string& line);
    virtual bool open(const std::wstring& path, uint32_t flags, uint32_t share = sh_denywr);
    virtual int64_t seek(int64_t distance, int method);
    virtual int64_t tell();
    virtual int64_t seek_to_end();
    virtual int64_t read(void* buffer, int64_t count);
    virtual int64_t write(const void* buffer, int64_t count);
    virtual bool set_end();
    virtual bool flush();
    virtual bool write_w(std::wstring_view text);
    virtual bool write_text(std::string_view text);
    virtual bool write_wchar(wchar_t c);
    virtual bool write_byte(uint8_t b);
    virtual bool read_ansi_char(wchar_t& c);
    virtual bool read_byte(uint8_t& b);

    bool open_narrow(const std::string& path, uint32_t flags, uint32_t share = sh_denywr);
    // True when a read-only open with this sharing would not conflict with
    // the handles this process holds on the file (device, inode); no call
    // into the system.
    static bool read_share_allowed(uint64_t dev, uint64_t ino, uint32_t share);
    bool is_open() const { return fd_ != invalid_file_handle; }
    file_handle handle() const { return fd_; }
    // 0 after a successful open, the Windows error code after a failed one,
    // invalid_flags_error when the flags were refused.
    uint32_t last_error() const { return last_error_; }
    bool not_found() const { return last_error_ == 2; }
    bool sharing_violation() const { return last_error_ == 32; }
    line_end_kind line_end() const { return line_end_; }
    bool readable() const { return mode_ & 1; }
    bool writable() const { return mode_ & 2; }
    const std::string& path() const { return path_; }
    // The open file's device and inode (st_dev, st_ino), 0 when not open.
    uint64_t share_dev() const { return is_open() ? dev_ : 0; }
    uint64_t share_ino() const { return is_open() ? ino_ : 0; }

  protected:
    // For subclasses that take an already open descriptor (pipes).
    void adopt(file_handle fd, bool readable, bool writable);
    // For subclasses with line readers of their own.
    void set_line_end(line_end_kind kind) { line_end_ = kind; }

  private:
    bool push_back(uint8_t b);

    file_handle fd_ = invalid_file_handle;
    uint32_t last_error_ = 0;
    line_end_kind line_end_ = le_none;
    uint8_t mode_ = 0; // 1 read, 2 write, 4 a byte is pushed back
    uint8_t pushed_ = 0;
    uint32_t share_ = 0;
    bool delete_on_close_ = false;
    uint64_t dev_ = 0, ino_ = 0; // identity for the share table
    std::string path_;           // UTF-8, kept for delete-on-close and traces
};

// Raw operations on a descriptor. file_set_pointer returns the new position
// or -1; file_write writes all of the data (retrying short writes) and returns
// false on failure.
int64_t file_set_pointer(file_handle fd, int64_t distance, int method);
bool file_write(file_handle fd, const void* data, size_t count);

} // namespace cl
