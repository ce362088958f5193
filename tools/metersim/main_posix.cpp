// metersim: serves the simulated meters on a pseudo-terminal, so a KMP master (kmptool read
// --port) can be tried end to end without hardware; or, without --pty, answers hex request
// lines on standard input with hex reply lines, for looking at single exchanges.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "metersim/meter_simulator.h"
#include "zolShared/Public/Common/hex_text.h"

namespace {

using zol::metersim::MeterSimulator;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

int Usage() {
    std::fprintf(stderr,
                 "usage: metersim [--pty] [--fault ADDR:F,...]...\n"
                 "  meters: heat meter at address 63, electricity meter at address 64\n"
                 "  faults: corrupt, silent, noise, delay=MS, split=N\n"
                 "  --pty   serve on a pseudo-terminal; its device path is printed first\n"
                 "  else    read hex requests from standard input, print hex replies\n");
    return 2;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out;
}

int ServePty(MeterSimulator& sim) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "metersim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    // Raw from the start: no echo or line editing before the master opens the other end.
    termios tio{};
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    const char* path = ::ptsname(master);
    if (path == nullptr) {
        std::fprintf(stderr, "metersim: no device path for the pseudo-terminal\n");
        return 1;
    }
    // Holding the device open keeps the pseudo-terminal alive between masters.
    const int keep_open = ::open(path, O_RDWR | O_NOCTTY);
    std::printf("%s\n", path);
    std::fflush(stdout);

    std::vector<std::uint8_t> buffer(512);
    while (!g_stop) {
        const std::uint64_t now = NowMs();
        while (auto delivery = sim.TakeDelivery(now)) {
            if (::write(master, delivery->data(), delivery->size()) < 0 && errno != EAGAIN) {
                std::fprintf(stderr, "metersim: write failed: %s\n", std::strerror(errno));
            }
        }
        int timeout = 200;
        if (const auto due = sim.NextDue()) timeout = *due > now ? static_cast<int>(*due - now) : 0;
        pollfd p{master, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0) sim.Receive(std::span(buffer).first(static_cast<std::size_t>(n)), NowMs());
        }
    }
    if (keep_open >= 0) ::close(keep_open);
    ::close(master);
    return 0;
}

int ServeStdio(MeterSimulator& sim) {
    std::string line;
    std::uint64_t now = 0;
    while (std::getline(std::cin, line)) {
        const std::vector<std::uint8_t> bytes = zol::common::HexTextToBytes(line);
        sim.Receive(bytes, now);
        // Replies are printed in delivery order; a late reply is simply waited for.
        while (const auto due = sim.NextDue()) {
            now = std::max(now, *due);
            std::printf("%s\n", Hex(*sim.TakeDelivery(now)).c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool pty = false;
    MeterSimulator sim;
    for (auto& meter : zol::metersim::DemoMeters()) sim.AddMeter(std::move(meter));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pty") {
            pty = true;
        } else if (arg == "--fault" && i + 1 < argc) {
            const std::string fault = argv[++i];
            const auto colon = fault.find(':');
            if (colon == std::string::npos) return Usage();
            char* end = nullptr;
            const unsigned long address = std::strtoul(fault.c_str(), &end, 0);
            auto* meter = end == fault.c_str() + colon && address <= 0xFF
                              ? sim.FindMeter(static_cast<std::uint8_t>(address))
                              : nullptr;
            if (meter == nullptr || !zol::metersim::ApplyFaultList(
                                        std::string_view(fault).substr(colon + 1), meter->faults)) {
                std::fprintf(stderr, "metersim: bad fault '%s'\n", fault.c_str());
                return 2;
            }
        } else {
            return Usage();
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return pty ? ServePty(sim) : ServeStdio(sim);
}
