#include "hostsim/port_transport.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/device_server.h"

namespace zol::hostsim {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Meters answering in this process on the real clock, with their delays and faults. Each
// delivery (a split reply is several) comes out of its own Read, as separate chunks would
// arrive from a line.
class SimulatedPort : public PortTransport {
   public:
    SimulatedPort(std::vector<metersim::SimMeter> meters, std::uint32_t baud) {
        for (auto& meter : meters) sim_.AddMeter(std::move(meter));
        // The port is set to `baud` 8N2: a meter paced at another speed is heard as noise.
        sim_.SetMasterLine(metersim::SimWire{.baud = baud});
        // The meters' clocks start at the machine's local time; their behaviour follows seed 1
        // and their addresses, the same on every run.
        sim_.SetTimeBase(metersim::LocalTimeBase(SteadyMs(), 1));
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            sim_.Receive(bytes, SteadyMs());
        }
        wake_.notify_all();
        return true;
    }

    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        std::unique_lock<std::mutex> guard(lock_);
        const std::uint64_t deadline = SteadyMs() + timeout_ms;
        for (;;) {
            const std::uint64_t now = SteadyMs();
            if (auto delivery = sim_.TakeDelivery(now)) {
                out.insert(out.end(), delivery->begin(), delivery->end());
                return true;
            }
            if (now >= deadline) return true;
            const std::uint64_t until = std::min(deadline, sim_.NextDue().value_or(deadline));
            wake_.wait_for(guard, std::chrono::milliseconds(until > now ? until - now : 0));
        }
    }

   private:
    std::mutex lock_;
    std::condition_variable wake_;
    metersim::MeterSimulator sim_;
};

}  // namespace

std::optional<PortAddress> ParsePortAddress(const std::string& text, std::string& error) {
    PortAddress address;
    const std::string_view view(text);
    if (StartsWithNoCase(view, "sim:")) {
        address.kind = PortKind::kSimulated;
        auto meters = metersim::ParseMeterLine(view.substr(4), error);
        if (!meters) return std::nullopt;
        address.meters = std::move(*meters);
        return address;
    }
    if (tools::NamesDeviceServer(view)) {
        auto server = tools::ParseDeviceServerAddress(view, error);
        if (!server) return std::nullopt;
        address.kind = server->rfc2217 ? PortKind::kRfc2217 : PortKind::kTcp;
        address.host = std::move(server->host);
        address.port = server->port;
        return address;
    }
    if (StartsWithNoCase(view, "COM") &&
        metersim::ParseDecimal(view.substr(3), 255).value_or(0) > 0) {
        address.kind = PortKind::kSerial;
        address.device = "COM" + text.substr(3);
        return address;
    }
    error = "'" + text + "' is not a port (COMn, tcp:HOST:PORT, rfc2217:HOST:PORT or sim:ADDR,...)";
    return std::nullopt;
}

std::unique_ptr<PortTransport> OpenPort(const PortAddress& address, const PortOptions& options,
                                        std::string& error) {
    switch (address.kind) {
        case PortKind::kSerial:
            return OpenSerialPort(address.device, options.baud, error);
        case PortKind::kTcp:
            return OpenTcpPort(address.host, address.port, options.connect_timeout_ms, error);
        case PortKind::kRfc2217:
            return OpenRfc2217Port(address.host, address.port, options.baud,
                                   options.connect_timeout_ms, error);
        case PortKind::kSimulated:
            return OpenSimulatedPort(address.meters, options.baud);
    }
    return nullptr;
}

std::unique_ptr<PortTransport> OpenSimulatedPort(std::vector<metersim::SimMeter> meters,
                                                 std::uint32_t baud) {
    return std::make_unique<SimulatedPort>(std::move(meters), baud);
}

}  // namespace zol::hostsim
