#pragma once
// The exit codes both field tools (hostsim and kmptool) end with, so a script or a technician
// reads every run the same way.

namespace zol::tools {

// Done, and every meter asked delivered (hostsim run: every configured active meter at least
// one packet; kmptool read: the meter answered).
inline constexpr int kExitDone = 0;
// Could not start (a port that does not open, a file that cannot be read), or a port failed
// during the run.
inline constexpr int kExitFailed = 1;
// The command line is not usable.
inline constexpr int kExitUsage = 2;
// The run ended, but at least one meter it was to read never delivered a packet.
inline constexpr int kExitMeterSilent = 3;
// Interrupted (Ctrl-C); what came in until then is still written. 128 + SIGINT, as shells report
// a program that a Ctrl-C ended.
inline constexpr int kExitInterrupted = 130;

}  // namespace zol::tools
