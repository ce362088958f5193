#pragma once
// What a message window shares with the OS side that delivers its messages: the procedure and
// whether a call of it is in progress. Both message-window implementations use it, so detaching
// behaves the same on every OS: no message reaches the procedure once a detach has begun, and
// a detach from another thread waits (with or without a bound) for the call in progress.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/message_window.h"
#include "platform/system.h"

namespace zol::platform {

class WindowBinding {
   public:
    explicit WindowBinding(WindowProcedure procedure) : procedure_(std::move(procedure)) {}

    // Calls the procedure unless detached; false when it did not handle the message. Calls come
    // only from the owner thread, and may nest (a procedure that sends to its own window).
    bool Call(std::uint32_t message, std::uintptr_t wparam) {
        WindowProcedure call;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (detached_) return false;
            // A copy, so the procedure may detach or destroy its own window while it runs.
            call = procedure_;
            if (depth_++ == 0) caller_ = CurrentThreadId();
        }
        struct Leave {
            WindowBinding& binding;
            ~Leave() {
                std::lock_guard<std::mutex> lock(binding.mutex_);
                if (--binding.depth_ == 0) binding.idle_.notify_all();
            }
        } leave{*this};
        return call && call(message, wparam);
    }

    // Stops all later calls and waits for the call in progress on another thread: without a
    // timeout for as long as it takes, otherwise at most `timeout_ms`. True when no call is in
    // progress any more (or the caller is inside it). A second detach returns at once, so a
    // detach that gave up is not waited for again on destruction.
    bool Detach(std::optional<std::uint32_t> timeout_ms = std::nullopt) noexcept {
        WindowProcedure dropped;
        std::unique_lock<std::mutex> lock(mutex_);
        if (detached_) return true;
        detached_ = true;
        dropped = std::move(procedure_);
        if (depth_ == 0 || caller_ == CurrentThreadId()) return true;
        const auto idle = [this] { return depth_ == 0; };
        if (!timeout_ms) {
            idle_.wait(lock, idle);
            return true;
        }
        return idle_.wait_for(lock, std::chrono::milliseconds(*timeout_ms), idle);
    }

   private:
    std::mutex mutex_;
    std::condition_variable idle_;
    WindowProcedure procedure_;
    bool detached_ = false;
    int depth_ = 0;  // nested calls in progress on the owner thread
    // The thread of the calls in progress, by its OS id (0: none): on MinGW std::thread::id would
    // make the threads library keep a record for the host's thread (see runtime_threads.h).
    std::uint32_t caller_ = 0;
};

}  // namespace zol::platform
