#pragma once
// Test hooks of the native host-link stand-in: inspect posted messages, provide module exports
// and library resources. Only native tests use these.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host_link.h"

namespace zol::platform::native {

std::vector<PostedMessage> TakePostedMessages();
void RegisterModule(const std::string& name, std::uintptr_t handle);
void RegisterExport(std::uintptr_t module, const std::string& name, void* address);
void SetLibraryResource(const std::string& name, std::optional<std::string> data);

}  // namespace zol::platform::native
