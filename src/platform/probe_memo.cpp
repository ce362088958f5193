#include "platform/probe_memo.h"

namespace zol::platform {

namespace {
thread_local ProbeMemo* active_memo = nullptr;
}  // namespace

ProbeMemo::ProbeMemo() noexcept : outer_(active_memo) { active_memo = this; }

void ProbeMemo::End() noexcept {
    if (!active_) return;
    active_ = false;
    // The newest memo hands back to the newest older one still running: one ended early while
    // a newer one ran stays ended. Memos are locals, so older ones outlive newer ones.
    if (active_memo != this) return;
    ProbeMemo* outer = outer_;
    while (outer != nullptr && !outer->active_) outer = outer->outer_;
    active_memo = outer;
}

ProbeMemo* ProbeMemo::Active() noexcept { return active_memo; }

}  // namespace zol::platform
