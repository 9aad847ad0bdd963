#include "server/script_file.h"

#include <atomic>

namespace {
std::atomic<script_file_factory*> current_factory{nullptr};
}

void set_script_file_factory(script_file_factory* factory) {
    current_factory.store(factory);
}

std::unique_ptr<cl::simple_file> make_script_file(const config_info& config,
                                                  const std::wstring& path) {
    automation::guid class_id{};
    const uint32_t kind = config.handler_for_file(path, class_id);
    if (kind >= handler_java_script && kind <= handler_php_script) {
        script_file_factory* factory = current_factory.load();
        if (!factory) return nullptr;
        return factory->make(config, path, kind, class_id);
    }
    return std::make_unique<cl::simple_file>();
}
