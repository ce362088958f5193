#pragma once
// What the plug-in needs of the OS to reach its host: loaded modules and their exports (the
// host's entry points), window messages to the host's message window, a message-pumping wait,
// and the raw-data resources carried by the plug-in library itself.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zol::platform {

// Handle of an already loaded module with that file name; 0 when none.
std::uintptr_t FindLoadedModule(const std::string& name);
// Address of an exported function of a loaded module; nullptr when it has none of that name.
void* FindModuleExport(std::uintptr_t module, const char* name);

// Posts a message; false when posting failed.
bool PostWindowMessage(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                       std::intptr_t lparam);
// Sends a message, giving up after timeout_ms or at once when the window hangs.
bool SendWindowMessageTimeout(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                              std::intptr_t lparam, std::uint32_t timeout_ms);

// Waits about `milliseconds`, letting the calling thread's window messages be processed.
void WaitProcessingMessages(std::uint32_t milliseconds);

// A raw-data resource of the plug-in library, looked up by name; nothing when absent.
std::optional<std::string> LoadLibraryResource(std::string_view name);

// Test hooks of the native stand-in; the Windows build has real windows and resources.
struct PostedMessage {
    std::uintptr_t window;
    std::uint32_t message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
};

}  // namespace zol::platform
