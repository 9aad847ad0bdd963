#include "core/dll_registry.h"

#include <cstring>
#include <mutex>
#include <span>
#include <vector>
#include <zlib.h>

namespace cl {

namespace {

template <class F> farproc as_proc(F* f) {
    return reinterpret_cast<farproc>(f);
}

// zlib's deflate side, which the server binds for response compression.
const export_entry zlib_exports[] = {
    {"deflate", as_proc(&deflate)},
    {"deflateEnd", as_proc(&deflateEnd)},
    {"deflateInit2_", as_proc(&deflateInit2_)},
};

bool same_file_name(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = wchar_t(x + 32);
        if (y >= L'A' && y <= L'Z') y = wchar_t(y + 32);
        if (x != y) return false;
    }
    return true;
}

} // namespace

struct dll_registry::module {
    const wchar_t* name;
    std::span<const export_entry> exports;
};

namespace {

// The DLLs that exist here. Every other name loads as missing.
const dll_registry::module modules[] = {
    {L"zlibwapi.dll", zlib_exports},
};

// "Loading": a DLL file name, compared without regard to case as the system
// would; a path counts by its file name, since the functions are linked in.
// The DLLs that layers above add; never destroyed, as entries may be
// released during exit.
std::vector<dll_registry::module>& added_modules() {
    static auto* v = new std::vector<dll_registry::module>;
    return *v;
}

const dll_registry::module* load_module(const std::wstring& dll_name) {
    std::wstring_view file = dll_name;
    if (const auto slash = file.rfind(L'/'); slash != file.npos) file.remove_prefix(slash + 1);
    for (const auto& m : modules)
        if (same_file_name(file, m.name)) return &m;
    for (const auto& m : added_modules())
        if (same_file_name(file, m.name)) return &m;
    return nullptr;
}

farproc find_export(const dll_registry::module& m, const std::string& function_name) {
    for (const auto& e : m.exports)
        if (function_name == e.name) return e.address;
    return nullptr;
}

} // namespace

dll_registry::~dll_registry() {
    // The DLLs still registered are freed here; for linked-in tables that is
    // only forgetting them.
    std::lock_guard lk(lock_);
    dlls_.clear();
}

void dll_registry::add_module(const wchar_t* dll_name, const export_entry* exports, size_t count) {
    auto& r = instance();
    std::lock_guard lk(r.lock_);
    for (const auto& m : added_modules())
        if (same_file_name(m.name, dll_name)) return;
    added_modules().push_back(module{dll_name, std::span<const export_entry>(exports, count)});
}

dll_registry& dll_registry::instance() {
    static dll_registry registry;
    return registry;
}

farproc dll_registry::get_proc(const std::wstring& dll_name, const std::string& function_name,
                               bool release_on_failure) {
    std::lock_guard lk(lock_);
    auto it = dlls_.find(dll_name);
    if (it != dlls_.end()) {
        ++it->second.uses;
    } else {
        // A DLL that cannot be loaded stays registered without a module, so
        // later lookups of it fail at once.
        it = dlls_.emplace(dll_name, entry{load_module(dll_name), 1}).first;
    }
    if (!it->second.handle) return nullptr;
    const farproc address = find_export(*it->second.handle, function_name);
    if (!address && release_on_failure) release(dll_name);
    return address;
}

void dll_registry::release(const std::wstring& dll_name) {
    std::lock_guard lk(lock_);
    auto it = dlls_.find(dll_name);
    if (it == dlls_.end()) return;
    if (--it->second.uses == 0) dlls_.erase(it);
}

uint32_t dll_registry::use_count(const std::wstring& dll_name) const {
    std::lock_guard lk(lock_);
    auto it = dlls_.find(dll_name);
    return it == dlls_.end() ? 0 : it->second.uses;
}

bool dll_registry::is_loaded(const std::wstring& dll_name) const {
    std::lock_guard lk(lock_);
    auto it = dlls_.find(dll_name);
    return it != dlls_.end() && it->second.handle != nullptr;
}

dyn_proc::dyn_proc() {
    // Makes sure the registry exists before this entry, so it is destroyed
    // after it.
    dll_registry::instance();
}

dyn_proc::dyn_proc(const wchar_t* dll_name, const char* function_name) {
    bind(dll_name ? dll_name : L"", function_name ? function_name : "");
}

bool dyn_proc::bind(const std::wstring& dll_name, const std::string& function_name) {
    unbind();
    dll_name_ = dll_name;
    function_name_ = function_name;
    address_ = dll_registry::instance().get_proc(dll_name_, function_name_, true);
    return address_ != nullptr;
}

void dyn_proc::unbind() {
    if (!address_) return;
    dll_registry::instance().release(dll_name_);
    address_ = nullptr;
}

void dyn_proc::clear() {
    unbind();
    dll_name_.clear();
    function_name_.clear();
}

} // namespace cl
