#pragma once
// The waits of kmptool's lines on POSIX systems that Ctrl-C ends. Checking Interrupted() before a
// wait is not enough: a SIGINT that lands after the check and before poll() starts sleeping would
// leave the wait to sit out its whole timeout. So once Ctrl-C is caught, SIGINT stays blocked
// except inside these waits, which let it in atomically as they start to sleep (ppoll()).

#include <poll.h>

namespace zol::kmptool {

// poll() on the one descriptor `watched` for at most `timeout_ms` (negative: no limit) that also
// ends once Ctrl-C has been caught (CatchInterrupt), before the call or during it. Returns as
// poll() does: 1 with `watched.revents` set, 0 on timeout, -1 with errno set; a Ctrl-C is -1 with
// errno EINTR.
int PollUnlessInterrupted(pollfd& watched, int timeout_ms);

}  // namespace zol::kmptool
