// Native stand-in for the host link: there is no host process, so windows are plain numbers,
// messages are recorded for tests to inspect, and exports and resources come from tables that
// tests fill in.
#include "platform/native/host_link_native.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host_link.h"

namespace zol::platform {

namespace {

struct NativeHostState {
    std::mutex lock;
    std::vector<PostedMessage> messages;
    std::map<std::pair<std::uintptr_t, std::string>, void*> exports;
    std::map<std::string, std::uintptr_t> modules;
    std::map<std::string, std::string, std::less<>> resources;
};

NativeHostState& State() {
    static NativeHostState state;
    return state;
}

}  // namespace

std::uintptr_t FindLoadedModule(const std::string& name) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.modules.find(name);
    return it == s.modules.end() ? 0 : it->second;
}

void* FindModuleExport(std::uintptr_t module, const char* name) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.exports.find({module, name});
    return it == s.exports.end() ? nullptr : it->second;
}

bool PostWindowMessage(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                       std::intptr_t lparam) {
    if (window == 0) return false;
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.messages.push_back({window, message, wparam, lparam});
    return true;
}

bool SendWindowMessageTimeout(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                              std::intptr_t lparam, std::uint32_t) {
    return PostWindowMessage(window, message, wparam, lparam);
}

void WaitProcessingMessages(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::optional<std::string> LoadLibraryResource(std::string_view name) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.resources.find(name);
    if (it == s.resources.end()) return std::nullopt;
    return it->second;
}

namespace native {

std::vector<PostedMessage> TakePostedMessages() {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<PostedMessage> out;
    out.swap(s.messages);
    return out;
}

void RegisterModule(const std::string& name, std::uintptr_t handle) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.modules[name] = handle;
}

void RegisterExport(std::uintptr_t module, const std::string& name, void* address) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.exports[{module, name}] = address;
}

void SetLibraryResource(const std::string& name, std::optional<std::string> data) {
    auto& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (data) {
        s.resources[name] = *data;
    } else {
        s.resources.erase(name);
    }
}

}  // namespace native
}  // namespace zol::platform
