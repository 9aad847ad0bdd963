// The one description of the operating system the program runs on, built
// once before the program's own work starts and read-only afterwards, and two
// values made from a description of the machine: the seed of the random
// generators and a 32-bit machine hash.
//
// The record keeps the shape the rest of the program reads: a version number
// (major x 100 + minor) with "at least this version" flags, and texts. This
// platform presents itself as version 6.02 with every modern-version flag set,
// so every "this version or later" test passes; the texts name the real
// system (the distribution's name, the kernel).
#pragma once
#include "core/reg_key.h"

#include <cstdint>
#include <string>

// What the detection reads from the system; tests hand in their own.
struct os_facts {
    bool valid = false;       // uname worked
    std::string sysname;      // "Linux"
    std::string release;      // kernel release, "6.1.0-18-amd64"
    std::string kernel_build; // uname's version text
    std::string machine;      // "x86_64"
    std::string pretty_name;  // PRETTY_NAME of /etc/os-release, may be empty
    uint32_t processors = 1;
    uint32_t page_size = 4096;
    uint32_t lang_id = 0x0409;

    static os_facts read();
};

class os_version {
  public:
    // Detects the running system.
    os_version();
    explicit os_version(const os_facts& facts);

    // The process-wide record.
    static const os_version& instance();

    // Whether the program itself is a 64-bit build.
    static constexpr bool is_x64() { return sizeof(void*) == 8; }

    uint32_t number = 0;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t service_pack = 0;
    uint32_t lang_id = 0;
    uint32_t processors = 0;
    uint32_t page_size = 0;
    uint32_t service_pack_number = 0;
    bool valid = false;
    bool is_nt5 = false;
    bool is_9x = false;
    bool is_98 = false;
    bool is_me = false;
    bool is_ce = false;
    bool is_wow64 = false;
    bool is_xp = false;
    bool is_2003 = false;
    bool is_vista = false;
    bool is_win7 = false;
    bool is_win8 = false;
    bool is_tablet = false;
    bool faked = false;
    std::wstring name;
    std::wstring edition;
    std::wstring long_text;
    std::wstring version_text;
    std::wstring name_sp_text;
    const wchar_t* short_name = L"";
    std::wstring build_lab;

  private:
    void detect(const os_facts& facts);
};

// The short name of a version number, for a 32-bit or a 64-bit program.
const wchar_t* os_short_name(uint32_t number, bool x64);
// The oldest version the program runs on.
const wchar_t* required_os_name();

// A DWORD value of an open key, or def when it is missing or not a DWORD.
uint32_t reg_get_dword_or(cl::reg_key& key, const std::wstring& name, uint32_t def);

// The MD5 digest of a text describing the machine and the moment.
void entropy_seed(uint8_t out[16]);
// A 32-bit value from the machine, the moment and (unless skipped) the
// registration text; it differs from call to call.
uint32_t machine_hash(bool skip_registration);
// The version number, the build where it is small, then the machine id and
// the host name, joined by "; ".
std::string registration_text();
// The same text for a given record.
std::string registration_text(const os_version& v);
