#pragma once
// The crash-report facility: where failures caught at a top level (a host call, a timer tick, a
// worker thread) end up when they are not an ordinary, expected error. It writes the failure and
// a stack trace of the current thread to the debugger output and keeps a count; it never throws.

#include <cstdint>
#include <string>
#include <string_view>

namespace zol::platform {

// Writes one line of text to the debugger output (OutputDebugString on Windows, stderr natively).
void DebugOutput(std::string_view text) noexcept;

// A readable stack trace of the calling thread, one frame per line (module+offset or symbol).
std::string CurrentStackTrace();

// Reports a failure: "<context>: <message>" and the current stack trace to the debugger output.
void ReportFailure(std::string_view context, std::string_view message) noexcept;

// Reports the exception being handled; call only from inside a catch block.
void ReportCurrentException(std::string_view context) noexcept;

// Number of failures reported since start-up (for tests and diagnostics).
std::uint32_t ReportedFailureCount() noexcept;

// Stops the facility: later reports only go to the debugger output without a stack trace.
void ShutdownCrashReporting() noexcept;

}  // namespace zol::platform
