#include "server/script_file.h"

#include <atomic>
#include <typeinfo>

namespace {
std::atomic<script_file_factory*> current_factory{nullptr};
}

void set_script_file_factory(script_file_factory* factory) {
    current_factory.store(factory);
}

std::unique_ptr<cl::simple_file> make_script_file(const cl::sh_ptr<req_info>& info,
                                                  const std::wstring& path) {
    if (!info || !info->config) return nullptr;
    automation::guid class_id{};
    const uint32_t kind = info->config->handler_for_file(path, class_id);
    if (kind >= handler_java_script && kind <= handler_php_script) {
        script_file_factory* factory = current_factory.load();
        if (!factory) return nullptr;
        return factory->make(info, path, kind, class_id);
    }
    return std::make_unique<cl::simple_file>();
}

std::unique_ptr<cl::simple_file> make_script_file(const config_info& config,
                                                  const std::wstring& path) {
    cl::sh_ptr<req_info> info = cl::make_sh<req_info>();
    info->config.reset(const_cast<config_info*>(&config));
    return make_script_file(info, path);
}

compression_override script_response::compression_settings() const {
    std::lock_guard g(lock_);
    return settings_;
}

void script_response::set_compression(const compression_override& settings, bool chosen) {
    std::lock_guard g(lock_);
    settings_ = settings;
    if (chosen) chosen_ = true;
}

bool script_response::compression_choice(compression_override& out) const {
    std::lock_guard g(lock_);
    if (!chosen_) return false;
    out = settings_;
    return true;
}

bool is_script_response(const cl::simple_file& file) {
    // A plain file, the most common by far, never is one.
    return typeid(file) != typeid(cl::simple_file) &&
           dynamic_cast<const script_response*>(&file) != nullptr;
}

void take_script_compression(http_request& request) {
    if (typeid(request.file()) == typeid(cl::simple_file)) return;
    auto* script = dynamic_cast<const script_response*>(&request.file());
    compression_override chosen;
    if (script && script->compression_choice(chosen))
        request.compression = std::make_unique<compression_override>(chosen);
}
