// Small pieces that describe the machine: the processor identification the
// clock uses to judge the time-stamp counter, the system timer resolution,
// and text helpers for the system information report and service control.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace cl {

// The four registers one CPUID leaf returns.
struct cpuid_regs {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

// Where cpu_info reads its leaves from; tests hand in a table of their own.
using cpuid_source = std::function<cpuid_regs(uint32_t leaf)>;

// The processor's own CPUID on x86; all zeros elsewhere, which reads as a
// processor with no standard leaves, an unknown vendor and no brand text.
cpuid_regs cpuid_native(uint32_t leaf);

class cpu_info {
  public:
    // Vendor codes.
    static constexpr uint32_t vendor_amd = 0;
    static constexpr uint32_t vendor_intel = 1;
    static constexpr uint32_t vendor_other = 2;

    cpu_info() : cpu_info(cpuid_native) {}
    explicit cpu_info(const cpuid_source& source);

    // The process-wide description, read once.
    static const cpu_info& instance();

    // False when the maximum standard leaf is below 1, else that bit of leaf 1 EDX.
    bool has_feature(unsigned bit) const;
    bool is_intel() const { return vendor_code == vendor_intel; }
    // Whether the processor has a time-stamp counter (leaf 1 EDX bit 4).
    bool has_tsc() const { return has_feature(4); }
    // Whether the clock may rely on the time-stamp counter: present, an Intel
    // part, leaf 1 EDX bit 7 clear, and none of the models whose counter is
    // known to misbehave.
    bool tsc_eligible() const;

    // Leaf 1.
    uint32_t signature = 0; // EAX
    uint32_t misc = 0;      // EBX: brand index in the low byte
    uint32_t features_ecx = 0;
    uint32_t features_edx = 0;
    // Leaf 0.
    uint32_t max_leaf = 0;
    uint32_t vendor_words[3] = {}; // EBX, EDX, ECX
    std::string vendor;            // 12 characters when the processor names one
    // Leaf 0x80000000 and the brand words of 0x80000002..0x80000004.
    uint32_t max_ext_leaf = 0;
    uint32_t brand_words[12] = {};
    uint32_t vendor_code = vendor_other;
    std::string brand; // empty when the processor has no brand text
};

// The system timer resolution. Here it is the resolution of the monotonic
// clock as clock_getres reports it; the resolution cannot be changed, so
// nothing is ever changed and restore has nothing to undo.
class timer_resolution {
  public:
    timer_resolution() = default;
    ~timer_resolution() { restore(); }
    timer_resolution(const timer_resolution&) = delete;
    timer_resolution& operator=(const timer_resolution&) = delete;

    // Asks once; later calls return the stored answer.
    bool available();
    // The current resolution in 100-ns units (a resolution finer than 100 ns
    // reads as 1); 0 on failure.
    uint32_t query();
    void restore();

  private:
    bool bound_ = false;
    bool available_ = false;
    bool changed_ = false;
};

// "aa:bb:cc:dd:ee:ff" in lower-case hexadecimal.
std::string mac_to_string(const uint8_t mac[6]);

// A service's status line. There is no service manager to ask here, so this
// is always the text of a failed query.
std::wstring service_status_text(std::wstring_view service_name);

// application/x-www-form-urlencoded form of a byte string: letters, digits
// and "-._~" stay, a blank becomes "+", every other byte "%XX".
std::string url_form_encode(std::string_view text);

} // namespace cl
