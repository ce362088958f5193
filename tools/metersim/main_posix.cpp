// metersim: serves the simulated meters on a pseudo-terminal, so a KMP master (kmptool read
// --port) can be tried end to end without hardware; or on a TCP port, as a serial device server
// would serve a remote meter line; or, without either, answers hex request lines on standard
// input with hex reply lines, for looking at single exchanges. With --baud the meters talk at
// line speed, and on a pseudo-terminal only to a master set to their speed and format.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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
#include <optional>
#include <string>
#include <vector>

#include "common/cli_support.h"
#include "metersim/meter_line.h"
#include "metersim/meter_simulator.h"
#include "zolShared/Public/Common/hex_text.h"

namespace {

using zol::metersim::MeterSimulator;

volatile std::sig_atomic_t g_stop = 0;
// The line hears its own master (a two-wire bus whose adapter does not mute its receiver): every
// request byte comes back before any reply.
bool g_echo = false;

void OnSignal(int) { g_stop = 1; }

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// The options, with the number of values each takes.
constexpr struct {
    const char* name;
    int values;
} kOptions[] = {{"--pty", 0},    {"--tcp", 1},  {"--bind", 1},    {"--line", 1},
                {"--meters", 1}, {"--mix", 1},  {"--fault", 1},   {"--seed", 1},
                {"--echo", 0},   {"--baud", 1}, {"--latency", 1}, {"--help", 0}};

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: metersim [--pty | --tcp PORT [--bind ADDR]]\n"
                 "                [--line ADDR[/F...],... | --meters N [--mix KIND:N,...]]\n"
                 "                [--fault ADDR:F,...]... [--seed N] [--echo]\n"
                 "                [--baud N [--latency MS]]\n"
                 "  meters: heat meter at address 63, electricity meter at address 64; they count\n"
                 "          with their power and flow, and their clocks start at local time now\n"
                 "  --seed  how the meters move (default 1): the same seed, the same answers\n"
                 "  --line  these meters instead (as hostsim's sim: ports): 64 the electricity\n"
                 "          meter, any other address a heat meter; each with its faults after /,\n"
                 "          and heat, electricity, type=HHHH (the type word), serial=N; items\n"
                 "          baud=N and latency=MS set every meter's speed and latency (as --baud\n"
                 "          and --latency), or one meter's after its /\n"
                 "  --meters N meters at random addresses with random serial numbers, drawn from\n"
                 "          the seed; --mix how many of each kind (heat:8,electricity:4; other:N\n"
                 "          for a type word no catalogue is known for; default all heat). The\n"
                 "          line is printed on stderr as --line would give it\n"
                 "  faults: corrupt, corrupt=N (every Nth reply), silent, noise, delay=MS, "
                 "split=N,\n"
                 "          garbled-registers (register replies damaged), serial0, no-registers\n"
                 "          (never answers a register request), answers=ADDR (answers ADDR's\n"
                 "          requests too, with its own address); in --line also pace=N (the meter\n"
                 "          counts and moves N times faster, its clock keeps time)\n"
                 "          also serial-for-registers (answers every register request with its\n"
                 "          serial-number reply) and late-duplicate-ident[=MS] (sends each\n"
                 "          identification reply again, MS (default 20) after the line's next\n"
                 "          request came in)\n"
                 "  --baud  the meters talk at this speed, 8N2, as on a wire: a request takes its\n"
                 "          bytes' time to arrive, a reply goes out a byte per character time;\n"
                 "          on --pty a master set to another speed or format hears only noise\n"
                 "          (default: answers at once, at any speed)\n"
                 "  --latency  MS from a request's last byte to the reply's first (default 50\n"
                 "          with --baud, else 0)\n"
                 "  --echo  the line echoes every request byte, as a two-wire bus may\n"
                 "  --pty   serve on a pseudo-terminal; its device path is printed first, then\n"
                 "          \"line: SPEED FORMAT\" (e.g. 1200 8N2) whenever its settings change\n"
                 "  --tcp   serve raw bytes on a TCP port (0: any free one), one connection at a\n"
                 "          time, on ADDR (default 127.0.0.1); \"listening on ADDR:PORT\" first\n"
                 "  else    read hex requests from standard input, print hex replies\n");
}

// A usage error: what was wrong, and where the options are listed.
int UsageError(const std::string& what) {
    std::fprintf(stderr, "metersim: %s\nmetersim --help lists the options\n", what.c_str());
    return 2;
}

int UnknownOption(const std::string& typed) {
    std::vector<std::string> known;
    for (const auto& option : kOptions) known.emplace_back(option.name);
    std::string what = "unknown option " + typed;
    if (const auto nearest = zol::tools::NearestName(typed, known)) {
        what += "; did you mean " + *nearest + "?";
    }
    return UsageError(what);
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

// The line settings the program on the device side of a pseudo-terminal has set, as "1200 8N2",
// and as the simulator compares them with its meters' (speed 0 when not a usual one); "" when
// they cannot be read. Linux answers a settings query on the master side with the device side's
// settings, so the speed and format a master or device server chose can be seen.
std::string LineText(int fd, zol::metersim::SimWire& settings) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return {};
    static constexpr struct {
        speed_t code;
        unsigned baud;
    } kSpeeds[] = {{B300, 300},     {B600, 600},      {B1200, 1200},   {B2400, 2400},
                   {B4800, 4800},   {B9600, 9600},    {B19200, 19200}, {B38400, 38400},
                   {B57600, 57600}, {B115200, 115200}};
    const speed_t code = ::cfgetospeed(&tio);
    settings = {};
    std::string text = "?";
    for (const auto& s : kSpeeds) {
        if (s.code == code) {
            text = std::to_string(s.baud);
            settings.baud = s.baud;
        }
    }
    const tcflag_t size = tio.c_cflag & CSIZE;
    settings.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    settings.parity = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
    settings.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    text += " " + std::to_string(settings.data_bits) + settings.parity +
            std::to_string(settings.stop_bits);
    return text;
}

// Answers the requests read from `fd` until a stop signal, or until the other end closes when
// `until_closed` (a pseudo-terminal's master side sees no end while the device is held open).
// With `report_line`, prints "line: SPEED FORMAT" on standard output whenever the line settings
// change, checked before each request is answered and at least every 200 ms, and the meters
// hear the master at those settings.
void ServeLine(MeterSimulator& sim, int fd, bool until_closed, bool report_line) {
    std::vector<std::uint8_t> buffer(512);
    std::string line;
    const auto check_line = [&] {
        if (!report_line) return;
        zol::metersim::SimWire settings;
        if (std::string now = LineText(fd, settings); now != line) {
            line = std::move(now);
            sim.SetMasterLine(line.empty() ? std::nullopt : std::optional(settings));
            std::printf("line: %s\n", line.c_str());
            std::fflush(stdout);
        }
    };
    while (!g_stop) {
        check_line();
        const std::uint64_t now = NowMs();
        while (auto delivery = sim.TakeDelivery(now)) {
            if (::write(fd, delivery->data(), delivery->size()) < 0 && errno != EAGAIN) {
                std::fprintf(stderr, "metersim: write failed: %s\n", std::strerror(errno));
            }
        }
        int timeout = 200;
        if (const auto due = sim.NextDue()) timeout = *due > now ? static_cast<int>(*due - now) : 0;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            check_line();  // the settings the request was sent with come first
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n > 0) {
                if (g_echo && ::write(fd, buffer.data(), static_cast<std::size_t>(n)) < 0) {
                    std::fprintf(stderr, "metersim: echo failed: %s\n", std::strerror(errno));
                }
                sim.Receive(std::span(buffer).first(static_cast<std::size_t>(n)), NowMs());
            } else if (until_closed && (n == 0 || errno != EINTR)) {
                return;
            }
        }
    }
}

int ServeTcp(MeterSimulator& sim, const std::string& bind_address, std::uint16_t port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const int reuse = 1;
    if (listener < 0 || ::inet_pton(AF_INET, bind_address.c_str(), &address.sin_addr) != 1 ||
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        std::fprintf(stderr, "metersim: cannot listen on %s:%u: %s\n", bind_address.c_str(),
                     unsigned{port}, std::strerror(errno));
        if (listener >= 0) ::close(listener);
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening on %s:%u\n", bind_address.c_str(), unsigned{ntohs(address.sin_port)});
    std::fflush(stdout);
    // One master at a time, as on a serial line; the next one is taken when it hangs up.
    while (!g_stop) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) continue;
        const int no_delay = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
        ServeLine(sim, connection, true, false);
        ::close(connection);
    }
    ::close(listener);
    return 0;
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

    ServeLine(sim, master, false, true);
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
    std::optional<std::uint16_t> tcp_port;
    std::string bind_address = "127.0.0.1";
    std::optional<std::string> line;
    std::uint32_t seed = 1;
    std::vector<std::string> faults;
    std::optional<std::uint32_t> meter_count;
    std::optional<std::string> mix_text;
    std::optional<std::uint32_t> baud;
    std::optional<std::uint32_t> latency_ms;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto known = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [&](const auto& option) { return arg == option.name; });
        if (known == std::end(kOptions)) {
            if (arg.size() > 1 && arg[0] == '-') return UnknownOption(arg.substr(0, arg.find('=')));
            return UsageError("unexpected argument '" + arg + "'");
        }
        if (known->values > 0 && i + 1 >= argc) return UsageError(arg + " needs a value");
        const std::string value = known->values > 0 ? argv[++i] : "";
        const auto bad_value = [&](const std::string& expected) {
            return UsageError("bad " + arg + " '" + value + "' (" + expected + ")");
        };
        if (arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--pty") {
            pty = true;
        } else if (arg == "--tcp") {
            const auto port = zol::metersim::ParseDecimal(value, 65535);
            if (!port) return bad_value("0 to 65535");
            tcp_port = static_cast<std::uint16_t>(*port);
        } else if (arg == "--bind") {
            bind_address = value;
        } else if (arg == "--line") {
            if (line) return UsageError("--line given twice");
            line = value;
        } else if (arg == "--seed") {
            char* end = nullptr;
            const unsigned long number = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || value[0] == '-' || number > 0xFFFFFFFFul) {
                return bad_value("0 to 4294967295");
            }
            seed = static_cast<std::uint32_t>(number);
        } else if (arg == "--meters") {
            if (meter_count) return UsageError("--meters given twice");
            meter_count = zol::metersim::ParseDecimal(value, 254);
            if (!meter_count || *meter_count == 0) return bad_value("1 to 254");
        } else if (arg == "--mix") {
            if (mix_text) return UsageError("--mix given twice");
            mix_text = value;
        } else if (arg == "--echo") {
            g_echo = true;
        } else if (arg == "--fault") {
            faults.push_back(value);
        } else if (arg == "--baud" || arg == "--latency") {
            const bool speed = arg == "--baud";
            const auto number =
                speed ? zol::metersim::ParseMeterSpeed(value) : zol::metersim::ParseLatency(value);
            if (!number) {
                return bad_value(speed ? zol::metersim::kMeterSpeedsText
                                       : zol::metersim::kLatencyText);
            }
            (speed ? baud : latency_ms) = *number;
        }
    }
    MeterSimulator sim;
    sim.SetTimeBase(zol::metersim::LocalTimeBase(NowMs(), seed));
    std::string error;
    if (line && (meter_count || mix_text)) return UsageError("--line or --meters, not both");
    std::optional<std::vector<zol::metersim::SimMeter>> meters;
    if (meter_count || mix_text) {
        zol::metersim::MeterMix mix;
        mix.heat = meter_count.value_or(0);
        if (mix_text) {
            const auto parsed = zol::metersim::ParseMeterMix(*mix_text, error);
            if (!parsed) {
                std::fprintf(stderr, "metersim: bad --mix '%s': %s\n", mix_text->c_str(),
                             error.c_str());
                return 2;
            }
            if (meter_count && parsed->Total() != *meter_count) {
                std::fprintf(stderr, "metersim: --mix names %u meters, --meters %u\n",
                             parsed->Total(), *meter_count);
                return 2;
            }
            mix = *parsed;
        }
        meters = zol::metersim::DrawMeterLine(mix, seed);
        std::fprintf(stderr, "meters: %s\n", zol::metersim::MeterLineText(*meters).c_str());
    } else if (line) {
        meters = zol::metersim::ParseMeterLine(*line, error);
    } else {
        meters = zol::metersim::DemoMeters();
    }
    if (!meters) {
        std::fprintf(stderr, "metersim: bad line '%s': %s\n", line->c_str(), error.c_str());
        return 2;
    }
    // --baud and --latency set every meter's, over what --line says.
    for (auto& meter : *meters) {
        if (baud) meter.wire.baud = *baud;
        if (latency_ms) {
            meter.wire.latency_ms = *latency_ms;
        } else if (baud && meter.wire.latency_ms == 0) {
            meter.wire.latency_ms = zol::metersim::kDefaultLatencyMs;
        }
        sim.AddMeter(meter);
    }
    // Faults are given to the meters on the line, whatever order the options came in.
    for (const auto& fault : faults) {
        const auto colon = fault.find(':');
        if (colon == std::string::npos) {
            return UsageError("bad --fault '" + fault + "' (ADDR:FAULT,...)");
        }
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
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    if (pty && tcp_port) return UsageError("--pty or --tcp, not both");
    // A master hanging up must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    if (tcp_port) return ServeTcp(sim, bind_address, *tcp_port);
    if (!pty) {
        // Standard input is answered on a clock of its own that starts at 0, and has no wire to
        // pace: a reply is one line, after the meter's latency.
        auto base = sim.TimeBase();
        base.origin_ms = 0;
        sim.SetTimeBase(base);
        for (const auto& meter : *meters) {
            if (auto* served = sim.FindMeter(meter.address)) served->wire.baud = 0;
        }
    }
    return pty ? ServePty(sim) : ServeStdio(sim);
}
