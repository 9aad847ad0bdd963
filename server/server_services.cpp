#include "server/server_services.h"

#include <atomic>

namespace {
transfer_registry idle_registry;
std::atomic<transfer_registry*> current_registry{nullptr};
std::atomic<content_features_provider*> current_features{nullptr};
} // namespace

transfer_registry& the_transfer_registry() {
    transfer_registry* r = current_registry.load();
    return r ? *r : idle_registry;
}

void set_transfer_registry(transfer_registry* registry) {
    current_registry.store(registry);
}

std::wstring get_content_features(std::string_view content_type) {
    content_features_provider* p = current_features.load();
    return p ? p->get_content_features(content_type) : std::wstring(L"*");
}

void set_content_features_provider(content_features_provider* provider) {
    current_features.store(provider);
}

namespace {
lock_token_table no_locks;
std::atomic<lock_token_table*> current_locks{nullptr};
} // namespace

lock_token_table& the_lock_tokens() {
    lock_token_table* t = current_locks.load();
    return t ? *t : no_locks;
}

void set_lock_token_table(lock_token_table* table) {
    current_locks.store(table);
}
