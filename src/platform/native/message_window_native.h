#pragma once
// Test hook of the native message windows: a system that runs out of timers. Only native tests
// use it.

#include <cstddef>
#include <limits>

namespace zol::platform::native {

// The number of timers the calling thread's windows may run at once; StartTimer refuses a new
// timer beyond it (restarting a running one still succeeds), as a system whose timers are used up
// does. Unlimited by default.
void SetThreadTimerQuota(std::size_t quota);
inline constexpr std::size_t kUnlimitedTimers = std::numeric_limits<std::size_t>::max();

}  // namespace zol::platform::native
