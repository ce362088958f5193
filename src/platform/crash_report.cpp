#include "platform/crash_report.h"

#include <atomic>
#include <exception>
#include <string>

namespace zol::platform {

namespace {
std::atomic<std::uint32_t> g_reported{0};
std::atomic<bool> g_active{true};
}  // namespace

void ReportFailure(std::string_view context, std::string_view message) noexcept {
    g_reported.fetch_add(1, std::memory_order_relaxed);
    try {
        std::string line;
        line.reserve(context.size() + message.size() + 16);
        line.append("Exception in ").append(context).append(": ").append(message);
        DebugOutput(line);
        if (g_active.load(std::memory_order_acquire)) {
            DebugOutput(CurrentStackTrace());
        }
    } catch (...) {
        DebugOutput("Exception report failed");
    }
}

void ReportCurrentException(std::string_view context) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        ReportFailure(context, e.what());
    } catch (...) {
        ReportFailure(context, "unknown exception");
    }
}

std::uint32_t ReportedFailureCount() noexcept { return g_reported.load(std::memory_order_relaxed); }

void ShutdownCrashReporting() noexcept { g_active.store(false, std::memory_order_release); }

}  // namespace zol::platform
