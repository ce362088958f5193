#pragma once
// `hostsim run --soak`: the plug-in polling six simulated lines of four meters each and a
// misbehaving fifth while faults are injected all the time (damaged checksums, silent spells,
// replies in single bytes, noise, late replies, a port refusing writes, ports closed and opened
// again, settings reloaded, data sources announced again) and the host serves it in each of its
// styles in turn. The run checks itself from what the host saw: every reply sent intact and in
// time ends in exactly one packet carrying its values and naming its meter, every silent spell
// ends in a fresh identification, every good meter is read at least 90% as often as its line
// allowed, a misbehaving meter is tried at most three times a trigger, the host never hangs, and
// the process's memory, handles and threads stay flat after warm-up.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "hostsim/host_style.h"

namespace zol::hostsim {

struct SoakArguments {
    std::uint32_t seconds = 600;
    std::uint32_t seed = 1;
    std::optional<std::string> json_file;  // every packet, as `run --json` writes them
    // How the host's entry points treat the calling thread; nothing: each style in turn.
    std::optional<HostStyle> host_style;
};

// The least-squares slope of `values` over `times` (per unit of time), 0 with fewer than two
// distinct times.
double Slope(const std::vector<double>& times, const std::vector<double>& values);

// The handles this process holds (from the system's handle list where the process's own count
// is not kept, as under Wine); 0 when neither can be read.
double ProcessHandleCount();

// Runs the soak; 0 when every check held, 1 when one failed or the run could not start.
int RunSoak(const std::string& dll, ParamsMode mode, const SoakArguments& arguments);

}  // namespace zol::hostsim
