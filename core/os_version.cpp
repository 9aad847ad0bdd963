#include "core/os_version.h"

#include "core/cpu_info.h"
#include "core/format.h"
#include "core/hrtime.h"
#include "core/md5.h"
#include "core/text.h"
#include "platform/win32/time.h"

#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#define TQ_HAVE_RDTSC 1
#endif

namespace {

std::array<uint8_t, 16> md5_digest(std::string_view bytes) {
    uint8_t d[cl::md5::digest_size];
    cl::md5::calc(bytes.data(), bytes.size(), d);
    std::array<uint8_t, 16> out{};
    std::memcpy(out.data(), d, sizeof d);
    return out;
}

// ---- small readers of the system ----

std::string read_first_line(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return {};
    std::string s(buf, std::size_t(n));
    auto nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    return s;
}

std::string os_release_pretty_name() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        std::string text;
        char buf[4096];
        ssize_t n;
        // The file is a few hundred bytes; read no more than 64 KiB of it.
        while (text.size() < 65536 && (n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, std::size_t(n));
        ::close(fd);
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string_view line(text.data() + pos, end - pos);
            pos = end + 1;
            if (line.substr(0, 12) != "PRETTY_NAME=") continue;
            std::string_view v = line.substr(12);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            std::string out;
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                out += v[i];
            }
            return out;
        }
    }
    return {};
}

// A Windows language id (primary language, default sub-language) from the
// locale the environment names; English (United States) when it names none.
uint32_t lang_id_from_locale() {
    const char* loc = nullptr;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        loc = std::getenv(var);
        if (loc && *loc) break;
        loc = nullptr;
    }
    if (!loc) return 0x0409;
    std::string_view l(loc);
    l = l.substr(0, l.find_first_of("_.@"));
    static const struct {
        const char* code;
        uint32_t primary;
    } table[] = {{"cs", 0x05}, {"da", 0x06}, {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0a},
                 {"fi", 0x0b}, {"fr", 0x0c}, {"hu", 0x0e}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12},
                 {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"ru", 0x19},
                 {"sv", 0x1d}, {"tr", 0x1f}, {"zh", 0x04}};
    for (const auto& e : table)
        if (l == e.code) return 0x0400 | e.primary;
    return 0x0409;
}

// The kernel release's first two numbers as one build number: 6.1 gives 6001.
uint32_t build_from_release(std::string_view release) {
    uint32_t nums[2] = {0, 0};
    std::size_t i = 0;
    for (int k = 0; k < 2; ++k) {
        uint32_t v = 0;
        bool any = false;
        while (i < release.size() && release[i] >= '0' && release[i] <= '9' && v < 100000) {
            v = v * 10 + uint32_t(release[i] - '0');
            any = true;
            ++i;
        }
        if (!any) break;
        nums[k] = v;
        if (i < release.size() && release[i] == '.')
            ++i;
        else
            break;
    }
    return (nums[0] * 1000 + nums[1]) & 0xFFFF;
}

std::string host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string user_name() {
    struct passwd pw {};
    struct passwd* res = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_name)
        return res->pw_name;
    return {};
}

std::string machine_id() {
    return read_first_line("/etc/machine-id");
}

uint64_t next_random64() {
    thread_local std::mt19937_64 gen([] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed)
            seed = win32::get_system_time_as_filetime() ^ uint64_t(getpid());
        return seed;
    }());
    return gen();
}

std::string fresh_uuid() {
    std::string u = read_first_line("/proc/sys/kernel/random/uuid");
    if (!u.empty()) return u;
    uint8_t b[16] = {};
    if (getrandom(b, sizeof b, GRND_NONBLOCK) != sizeof b) {
        uint64_t r1 = next_random64(), r2 = next_random64();
        std::memcpy(b, &r1, 8);
        std::memcpy(b + 8, &r2, 8);
    }
    b[6] = uint8_t((b[6] & 0x0F) | 0x40);
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        cl::format_append(s, "%02x", b[i]);
    }
    return s;
}

// "name aa:bb:cc:dd:ee:ff" for every interface with a hardware address.
std::string adapter_list() {
    std::string out;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (auto* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
        if (ll->sll_halen != 6) continue;
        cl::format_append(out, "%? %? ", a->ifa_name ? a->ifa_name : "",
                          cl::mac_to_string(ll->sll_addr));
    }
    freeifaddrs(list);
    return out;
}

} // namespace

os_facts os_facts::read() {
    os_facts f;
    struct utsname u {};
    if (uname(&u) == 0) {
        f.valid = true;
        f.sysname = u.sysname;
        f.release = u.release;
        f.kernel_build = u.version;
        f.machine = u.machine;
    }
    f.pretty_name = os_release_pretty_name();
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) n = long(std::thread::hardware_concurrency());
    f.processors = n > 0 ? uint32_t(n) : 1;
    long ps = sysconf(_SC_PAGESIZE);
    f.page_size = ps > 0 ? uint32_t(ps) : 4096;
    f.lang_id = lang_id_from_locale();
    return f;
}

os_version::os_version() {
    detect(os_facts::read());
}

os_version::os_version(const os_facts& facts) {
    detect(facts);
}

const os_version& os_version::instance() {
    static const os_version v;
    return v;
}

void os_version::detect(const os_facts& f) {
    if (!f.valid) return; // the record stays cleared: too old to run
    valid = true;
    is_tablet = false;
    edition.clear();
    // The version every "this version or later" test of the program passes.
    major = 6;
    minor = 2;
    number = major * 100 + minor;
    build = build_from_release(f.release);
    faked = false;
    is_nt5 = number >= 500;
    is_xp = number >= 501;
    is_2003 = number >= 502;
    is_vista = number >= 600;
    is_win7 = number >= 601;
    is_win8 = number >= 602;
    short_name = os_short_name(number, is_x64());
    is_wow64 = false;

    name = cl::utf8_to_utf16(f.pretty_name.empty() ? f.sysname : f.pretty_name);
    if (name.empty()) name = short_name;
    build_lab = cl::utf8_to_utf16(f.kernel_build);
    service_pack = 0;
    service_pack_number = 0;

    // The kernel stands where the edition would.
    std::string ed = f.sysname;
    for (const std::string* part : {&f.release, &f.machine}) {
        if (part->empty()) continue;
        if (!ed.empty()) ed += ' ';
        ed += *part;
    }
    if (!ed.empty()) edition = L" (" + cl::utf8_to_utf16(ed) + L")";

    processors = f.processors;
    page_size = f.page_size;
    lang_id = f.lang_id;

    std::wstring sp_part; // no service packs here
    std::wstring proc_part =
        processors != 1 ? cl::format_wstr(L" (%u procs)", processors) : std::wstring();
    std::wstring bit_part = is_x64() ? L" (x64)" : L"";
    long_text = cl::format_wstr(L"%?%?%? v%,.2?.%?%?%?, LangId %04x", name, bit_part, sp_part,
                                number, build, edition, proc_part, lang_id);
    name_sp_text = cl::format_wstr(L"%?%?", name, sp_part);
    version_text = cl::format_wstr(L"%,.2?.%?%?%?%?", number, build, edition, proc_part, bit_part);
}

const wchar_t* os_short_name(uint32_t number, bool x64) {
    if (number >= 602) return x64 ? L"Windows 8 (x64)" : L"Windows 8";
    if (number == 601) return x64 ? L"Windows 7 (x64)" : L"Windows 7";
    if (number == 600) return x64 ? L"Windows Vista (x64)" : L"Windows Vista";
    if (x64) return L"Windows XP/Server 2003 (x64)";
    if (number >= 502) return L"Windows Server 2003";
    if (number == 501) return L"Windows XP";
    if (number == 500) return L"Windows 2000";
    return L"Windows NT";
}

const wchar_t* required_os_name() {
    return L"Windows XP";
}

uint32_t reg_get_dword_or(cl::reg_key& key, const std::wstring& name, uint32_t def) {
    uint32_t v = 0;
    return key.get_dword(name, v) ? v : def;
}

std::string registration_text() {
    return registration_text(os_version::instance());
}

std::string registration_text(const os_version& v) {
    std::string s = cl::format_str("%,.2?", v.number);
    if (v.build < 6003) cl::format_append(s, " %?", v.build);
    s += "; ";
    s += machine_id();
    s += "; ";
    s += host_name();
    return s;
}

uint32_t machine_hash(bool skip_registration) {
    std::string reg = skip_registration ? std::string() : registration_text();
    std::string text = cl::format_str(
        "%x %x %x %x %? %p", uint64_t(cl::current_unix_time(1)), cl::hrtime::global().read(),
        next_random64(), uint32_t(syscall(SYS_gettid)), reg, static_cast<const void*>(&reg));
    auto d = md5_digest(text);
    return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

void entropy_seed(uint8_t out[16]) {
    const os_version& v = os_version::instance();
    const cl::cpu_info& cpu = cl::cpu_info::instance();
    std::string t;
    cl::format_append(t, "%?; %,.2?.%? SP%? (%?); ", v.long_text, v.number, v.build, v.service_pack,
                      v.build_lab);
    cl::format_append(t, "%?; %?; %?; ", cpu.brand, cpu.signature, cpu.features_edx);
    cl::format_append(t, "%?; %?; ", machine_id(), host_name());
    int local = 0;
    cl::format_append(t, "%p %p ; ", static_cast<const void*>(&local),
                      static_cast<const void*>(t.data()));
    cl::format_append(t, "%?; %?; %?; ", win32::get_system_time_as_filetime(),
                      win32::get_tick_count(), win32::query_performance_counter());
#ifdef TQ_HAVE_RDTSC
    if (cpu.has_feature(4)) cl::format_append(t, "%?; ", uint64_t(__rdtsc()));
#endif
    cl::format_append(t, "%?; %?; %?; %?; ", uint32_t(syscall(SYS_gettid)), uint32_t(getpid()),
                      user_name(), host_name());
    cl::format_append(t, "%?; %?; %?; ", uint32_t(next_random64() & 0x7fffffff), next_random64(),
                      fresh_uuid());
    cl::format_append(t, "%?:%?; %?; ", uint32_t(getuid()), uint32_t(getgid()), adapter_list());
    auto d = md5_digest(t);
    std::memcpy(out, d.data(), 16);
}
