// A script engine with a small host object that hands out the script
// objects the way the Webserver object does, over a temporary folder.
#pragma once
#include "core/text.h"
#include "core/trace.h"
#include "platform/automation/com_objects.h"
#include "platform/script_engine/engine.h"
#include "scripting/hashlist.h"
#include "scripting/objects/script_objects.h"
#include "server/response_headers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace objects_test {

using namespace automation;
namespace so = scripting::objects;

struct host_i : idispatch_i {};
inline constexpr guid iid_test_host{0x6A11E0C2, 0x1D2B, 0x4C3D, {1, 2, 3, 4, 5, 6, 7, 8}};

// Collects trace text.
class capture_sink : public cl::trace_base {
  public:
    void write(std::string_view text, bool) override {
        std::lock_guard lk(m_);
        text_.append(text);
    }
    void flush(bool) override {}
    std::string text() {
        std::lock_guard lk(m_);
        return text_;
    }

  private:
    std::mutex m_;
    std::string text_;
};

// What an image's send wrote into the "response".
struct captured_response : so::image_response {
    std::string type;
    std::vector<uint8_t> body;
    std::string content_type_from_ext(const std::string& ext) override {
        return ext == ".png"   ? "image/png"
               : ext == ".jpg" ? "image/jpeg"
                               : "application/octet-stream";
    }
    void set_content_type(const std::string& t) override { type = t; }
    bool write_response(const std::vector<uint8_t>& bytes) override {
        body.insert(body.end(), bytes.begin(), bytes.end());
        return true;
    }
};

struct shared_state {
    std::wstring data_dir;
    std::mutex m;
    std::vector<std::wstring> marks;
    cl::sh_ptr<response_headers> headers{new response_headers};
    std::shared_ptr<captured_response> response = std::make_shared<captured_response>();
    so::path_check allowed;
    cl::ini_file* ini = nullptr;
    std::string master_pwd = "master";
    variant shared; // a value one script hands to another
    void mark(const std::wstring& s) {
        std::lock_guard lk(m);
        marks.push_back(s);
    }
    std::vector<std::wstring> all_marks() {
        std::lock_guard lk(m);
        return marks;
    }
    bool has_mark(const std::wstring& s) {
        std::lock_guard lk(m);
        for (const auto& x : marks)
            if (x == s) return true;
        return false;
    }
};

class test_host final : public automation::idispatch<host_i> {
  public:
    explicit test_host(shared_state& s) : state(s) {
        static const bool registered = (program_type_library().add(&type()), true);
        (void)registered;
        load_type_info(program_type_library(), iid_test_host);
    }
    shared_state& state;
    static const automation::type_info& type();
};

// One engine with the host as "window"; its scripts' uncaught errors are kept.
struct script {
    script_engine::engine eng;
    automation::com_ptr<test_host> host;
    std::vector<script_engine::script_error> errors;
    explicit script(shared_state& s) : host(new test_host(s)) {
        eng.set_error_sink([this](const script_engine::script_error& e) { errors.push_back(e); });
        eng.add_named_item(L"window", host.get(), true);
        eng.enable_active_x_object();
    }
    hresult run(const std::wstring& code) { return eng.parse_script_text(code); }
    variant global(const std::wstring& name) {
        automation::com_ptr<idispatch_ex_i> d;
        EXPECT_EQ(eng.get_script_dispatch(d.put()), s_ok);
        variant r;
        EXPECT_EQ(dispatch_call(d.get(), name, dispatch_propertyget, {}, &r), s_ok);
        return r;
    }
    std::wstring text(const std::wstring& name) {
        variant t;
        EXPECT_EQ(change_type(t, global(name), vt_bstr), s_ok);
        return t.bstr();
    }
    std::string error_text() const {
        std::string s;
        for (const auto& e : errors)
            s += std::to_string(e.line) + ": " + cl::utf16_to_utf8(e.description) + "\n";
        return s;
    }
};

class objects_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "objXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        state_.data_dir = cl::utf8_to_utf16(dir_.string() + "/");
        cl::trace_out.add(&sink_);
    }
    void TearDown() override {
        cl::trace_out.remove(&sink_);
        so::disconnect_all_event_handlers();
        scripting::close_all_hashlists();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::wstring wpath(const std::string& name) const { return cl::utf8_to_utf16(path(name)); }
    static std::string read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    static void write(const std::string& p, const std::string& bytes) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    // A JavaScript string literal of a path.
    std::wstring js(const std::string& name) const { return L"'" + wpath(name) + L"'"; }

    std::filesystem::path dir_;
    shared_state state_;
    capture_sink sink_;
};

} // namespace objects_test
