// The program as a service of the service manager, and its installation.
#pragma once
#include <cstdint>
#include <string>

// Service mode after the server has started: the dispatcher, then the
// shut-down. The process exit code.
int run_service_mode();

bool install_service(const std::wstring& name, const std::wstring& display_name,
                     const std::wstring& description, const std::wstring& image_path,
                     uint32_t service_type, bool install);
// 0 when the service is gone, 1 when it is still there after the time-out.
int wait_service_deleted(const std::string& name);
