#pragma once
// Message-only windows: a target for messages that is bound to the thread that created it. Its
// procedure runs only on that thread, and only while the thread dispatches messages; other
// threads reach it by posting or sending messages. Window timers tick through the same queue.
// Windows uses real message-only windows; the native build has a per-thread message loop with
// the same rules, driven by the process tick source so tests can run timers on a fake clock.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace zol::platform {

// The OS timer tick (WM_TIMER); wparam carries the timer id.
inline constexpr std::uint32_t kTimerMessage = 0x0113;
// First message number free for a window's own use (WM_USER).
inline constexpr std::uint32_t kUserMessage = 0x0400;

// Handles one message on the owner thread; returns false to leave it to the default handling.
using WindowProcedure = std::function<bool(std::uint32_t message, std::uintptr_t wparam)>;

class MessageWindow {
   public:
    // Creates a window on the calling thread; nullptr when the OS refuses.
    static std::unique_ptr<MessageWindow> Allocate(WindowProcedure procedure);

    // Detaches the procedure and, on the owner thread, releases the window. From another thread
    // the OS window stays until its thread ends (Release it there first), but drops messages.
    virtual ~MessageWindow() = default;

    virtual std::uint32_t OwnerThread() const noexcept = 0;
    // Whether the OS window still exists (not yet released).
    virtual bool Exists() const noexcept = 0;

    // Starts or restarts timer `id` (owner thread); false when no timer could be set.
    virtual bool StartTimer(std::uint32_t id, std::uint32_t interval_ms) noexcept = 0;
    virtual void StopTimer(std::uint32_t id) noexcept = 0;

    // Queues a message and returns at once.
    virtual bool Post(std::uint32_t message, std::uintptr_t wparam) noexcept = 0;
    // On the owner thread handles the message at once; from another thread queues it and
    // returns without waiting.
    virtual bool SendNotify(std::uint32_t message, std::uintptr_t wparam) noexcept = 0;
    // Has the owner thread handle the message and waits for it at most `timeout_ms`; false on
    // timeout or failure (the message may still be handled later).
    virtual bool SendWithTimeout(std::uint32_t message, std::uintptr_t wparam,
                                 std::uint32_t timeout_ms) noexcept = 0;

    // Destroys the OS window (owner thread; may be called from inside the procedure). Later
    // messages are dropped.
    virtual void Release() noexcept = 0;
    // No further message reaches the procedure once this returns; a call in progress on another
    // thread is waited for.
    virtual void Detach() noexcept = 0;
    // As Detach, but waits at most `timeout_ms` for a call in progress; false when that call was
    // still running (it goes on, but no message after it reaches the procedure).
    virtual bool Detach(std::uint32_t timeout_ms) noexcept = 0;
};

// Handles every message due for the calling thread's windows (queued, sent and due timers)
// and returns how many were handled. Never waits.
std::size_t DispatchPendingMessages();

// Waits at most `timeout_ms` for a message to arrive for the calling thread, then handles what
// is due. Timers of the native stand-in do not wake the wait: it follows the tick source, which
// may be a fake clock.
std::size_t WaitAndDispatchMessages(std::uint32_t timeout_ms);

// For a library being freed while the process goes on: unregisters its window class, which
// would otherwise outlive the library with a procedure pointing into freed code. Does nothing
// while a window of the class still exists; a later Allocate registers the class again.
void ReleaseMessageWindowClass() noexcept;

}  // namespace zol::platform
