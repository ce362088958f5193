#pragma once
// How the host's entry points treat the thread that calls them. Hosts differ here, and a plug-in
// has to live with each of them:
//   plain              the entry point does its work on the calling thread and returns;
//   main-thread-write  a port write from any thread but the main one (the thread that loaded the
//                      plug-in and runs the message loop) is handed to the main thread, and the
//                      caller waits until it is done; a caller that holds what the main thread
//                      is waiting for then deadlocks with it;
//   pumping            the entry points (port write and packet push) run the message loop of the
//                      calling thread for a while, so the plug-in's timers tick, and the host's
//                      own messages are handled, inside the call that is still under way.
// The host's side of a deadlock is bounded: a write the main thread has not taken up within the
// hang limit is answered as not written, and the hang is reported.

// clang-format off
#include <windows.h>
// clang-format on

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zol::hostsim {

class HostWindow;

enum class HostStyle : std::uint8_t { kPlain, kMainThreadWrite, kPumping };

// "plain", "main-thread-write", "pumping"; nothing for any other text.
std::optional<HostStyle> HostStyleNamed(std::string_view name) noexcept;
const char* HostStyleName(HostStyle style) noexcept;

// How long a write handed to the main thread waits for it before the host counts a hang.
inline constexpr std::uint32_t kDefaultHangLimitMs = 10000;
// How long a pumping entry point runs the main thread's message loop.
inline constexpr std::uint32_t kPumpSliceMs = 10;
// Entry points pumping inside each other deeper than this do not pump again.
inline constexpr std::uint32_t kMaxPumpDepth = 8;

// Sets the style of the entry points. `main_window` is the host window of the main thread (the
// thread that created it); it must outlive the style, so the host goes back to kPlain (any
// window) before the window goes. Writes already handed over are still done by the main thread.
void SetHostStyle(HostStyle style, HostWindow* main_window,
                  std::uint32_t hang_limit_ms = kDefaultHangLimitMs);
HostStyle CurrentHostStyle() noexcept;

// What the styles did since the process started; the difference of two readings is what they
// did in between.
struct HostStyleCounts {
    std::uint64_t writes_handed = 0;  // port writes handed to the main thread
    std::uint64_t hangs = 0;          // of them, answered as not written after the hang limit
    std::uint64_t pumps = 0;          // entry-point calls that ran the message loop
    std::uint64_t dispatched = 0;     // the plug-in's messages dispatched inside those calls
    std::uint64_t timer_ticks = 0;    // of them, timer messages
    // Timer messages dispatched inside an entry point that was itself called from a dispatched
    // message: a tick of the plug-in nested inside one of its ticks.
    std::uint64_t nested_ticks = 0;
    std::uint64_t host_messages = 0;  // the host window's own messages handled inside them
    std::uint32_t deepest = 0;        // the deepest nesting of pumping entry points
};
HostStyleCounts HostStyleTotals();
HostStyleCounts operator-(const HostStyleCounts& later, const HostStyleCounts& earlier);
// Adds what another span did (the deepest nesting is the deeper one).
HostStyleCounts& operator+=(HostStyleCounts& total, const HostStyleCounts& more);
// The counts that tell what `style` did: "writes handed to the main thread 12, hangs 0" for
// main-thread-write; the pumps, how deep they went and what they dispatched for pumping; "" for
// plain.
std::string HostStyleText(HostStyle style, const HostStyleCounts& counts);

// A write handed to the main thread that the main thread did not take up in time.
struct HostHang {
    std::int32_t source_id = 0;
    std::uint32_t waited_ms = 0;
    // The plug-in calls the main thread was inside when the write was given up ("" for none),
    // innermost last: "EVENT > SET-STATE".
    std::string main_thread_calls;
};
// Called on the thread whose write was given up; an empty function removes it.
void SetHangObserver(std::function<void(const HostHang&)> observer);

// Runs `job` on the main thread inside the next entry point that pumps there (for data source
// `source_id`, when given), as a host handles a user's command while it waits inside the
// plug-in's call. Pumping style only.
void RunInsideNextPump(std::function<void()> job,
                       std::optional<std::int32_t> source_id = std::nullopt);

// Marks the main thread as inside a plug-in call for as long as it lives (for hang reports).
// Nothing on other threads.
class MainThreadCall {
   public:
    explicit MainThreadCall(std::string_view what);
    ~MainThreadCall();
    MainThreadCall(const MainThreadCall&) = delete;
    MainThreadCall& operator=(const MainThreadCall&) = delete;

   private:
    bool marked_ = false;
};

// For the entry points and the host window (host_lib.cpp).
// Does `write` as the style says: on this thread, or handed to the main thread. The write's
// result, or -12 (not written) when the main thread did not take it up in time.
std::int32_t StyledPortWrite(std::int32_t source_id, const std::function<std::int32_t()>& write);
// Runs the message loop inside an entry point called for `source_id` when the style pumps.
void PumpInsideEntryPoint(std::int32_t source_id);
// Dispatches one message, counted as the thread being inside a dispatched message meanwhile.
void DispatchCounted(const MSG& message);
// How deep this thread is inside dispatched messages.
std::uint32_t DispatchDepth() noexcept;
// The host window's message that runs the writes handed to the main thread, and its handler.
inline constexpr UINT kMsgHandedWrites = WM_APP + 0x51;
// The host window's message that runs one job posted to it (HostWindow::Post).
inline constexpr UINT kMsgHostJobs = WM_APP + 0x52;
void RunHandedWrites();

}  // namespace zol::hostsim
