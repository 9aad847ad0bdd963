// Functions bound at run time by DLL and function name.
//
// The program looks optional system functions up by the name of the DLL that
// holds them and takes its fallback where one is missing. On this platform
// the "DLLs" are tables of functions linked into the program: a name that has
// a working equivalent here (zlib's deflate functions under "zlibwapi.dll")
// resolves to it; any other name resolves to nothing, exactly as a missing
// DLL or export would. The registry keeps the use counts of the DLLs so that
// loading once, counting users and freeing at the last release behave as
// before.
#pragma once
#include "platform/win32/sync.h"

#include <cstdint>
#include <map>
#include <string>

namespace cl {

// The address of a bound function; callers cast it to the function's type.
using farproc = void (*)();

// One exported function of a DLL that is linked in.
struct export_entry {
    const char* name;
    farproc address;
};

class dll_registry {
  public:
    dll_registry() = default;
    ~dll_registry();
    dll_registry(const dll_registry&) = delete;
    dll_registry& operator=(const dll_registry&) = delete;

    // The process-wide registry. It is made at the first use, which every
    // dyn_proc makes in its constructor, so it outlives all of them.
    static dll_registry& instance();

    // Loads the DLL once (a later call only counts one more user) and looks
    // the function up. Null when the DLL or the function is missing; with
    // release_on_failure a missing function gives the use back at once.
    // A name containing "/" is a path: only its file name picks the DLL.
    farproc get_proc(const std::wstring& dll_name, const std::string& function_name,
                     bool release_on_failure);

    // Gives one use back; the DLL is freed and forgotten at the last one.
    // A name that is not registered is ignored.
    void release(const std::wstring& dll_name);

    // The users of a registered DLL; 0 when it is not registered.
    uint32_t use_count(const std::wstring& dll_name) const;
    // Whether the DLL is registered and was found when it was loaded.
    bool is_loaded(const std::wstring& dll_name) const;

    // Makes a DLL of functions linked in by a layer above the class library
    // loadable by its file name. The table must live until the process ends.
    static void add_module(const wchar_t* dll_name, const export_entry* exports, size_t count);

    struct module;

  private:
    struct entry {
        const module* handle; // null: the DLL could not be loaded
        uint32_t uses;
    };

    mutable win32::critical_section lock_;
    std::map<std::wstring, entry> dlls_; // names compared exactly
};

// One function bound by DLL and function name. While bound it holds one use
// of its DLL in the registry. Not locked: bind it before sharing it.
class dyn_proc {
  public:
    // Empty names, no address.
    dyn_proc();
    // Stores both names and binds at once; a failed binding only leaves the
    // address null.
    dyn_proc(const wchar_t* dll_name, const char* function_name);
    ~dyn_proc() { clear(); }
    dyn_proc(const dyn_proc&) = delete;
    dyn_proc& operator=(const dyn_proc&) = delete;

    // Unbinds, stores the names and resolves them; true when found.
    bool bind(const std::wstring& dll_name, const std::string& function_name);
    // Gives the DLL use back and clears the address.
    void unbind();
    // Unbinds and forgets the names.
    void clear();

    farproc get_address() const { return address_; }
    farproc address() const { return address_; }
    bool has_address() const { return address_ != nullptr; }
    bool valid() const { return address_ != nullptr; }

    const std::wstring& dll_name() const { return dll_name_; }
    const std::string& function_name() const { return function_name_; }

  private:
    std::wstring dll_name_;
    std::string function_name_;
    farproc address_ = nullptr;
};

} // namespace cl
