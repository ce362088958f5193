// kmptool read: identifies a meter and reads registers from it, over a serial port, a serial
// device server or from the built-in simulated meters, the way the plug-in polls: type request,
// serial-number request, then register requests of at most eight registers each.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/exit_codes.h"
#include "common/json_text.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "kmptool/transport.h"
#include "metersim/meter_simulator.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmptool {
namespace {

// How long a meter gets to answer one request, and how often a request is sent before the
// meter counts as silent. A register reply at 1200 baud takes well under a second.
constexpr std::uint32_t kDefaultTimeoutMs = 2000;
constexpr std::uint32_t kDefaultAttempts = 3;

// The built-in meters on a virtual clock: reading never waits in real time.
class SimulatedLine : public Transport {
   public:
    explicit SimulatedLine(metersim::MeterSimulator sim) : sim_(std::move(sim)) {}

    bool Write(std::span<const std::uint8_t> bytes) override {
        sim_.Receive(bytes, now_ms_);
        return true;
    }

    std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) override {
        const auto due = sim_.NextDue();
        if (due && *due <= now_ms_ + timeout_ms) {
            now_ms_ = std::max(now_ms_, *due);
            return sim_.TakeDelivery(now_ms_).value_or(std::vector<std::uint8_t>{});
        }
        now_ms_ += timeout_ms;
        return {};
    }

    std::uint64_t NowMs() override { return now_ms_; }

   private:
    metersim::MeterSimulator sim_;
    std::uint64_t now_ms_ = 0;
};

struct ReadOptions {
    std::uint8_t address = 0;
    std::uint32_t timeout_ms = kDefaultTimeoutMs;
    std::uint32_t attempts = kDefaultAttempts;
};

// How an exchange with the meter ended.
enum class Outcome { kAnswered, kSilent, kLineFailed, kInterrupted };
struct Exchanged {
    Outcome outcome = Outcome::kSilent;
    std::vector<std::uint8_t> body;  // kAnswered: the verified reply body
};

// Sends one request and waits for the verified reply from the same meter with the same CID.
Exchanged Exchange(Transport& line, const ReadOptions& options,
                   const std::vector<std::uint8_t>& request) {
    const std::uint8_t cid = request[1];
    const auto frame = kmp::KmpStuff(request);
    common::TFIFOStream fifo(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep,
                             true);
    const kmp::FrameAcceptor answers = [&](std::span<const std::uint8_t> body) {
        return body[0] == options.address && body[1] == cid;
    };
    const kmp::ScanLogger log = [](int, std::string_view text) {
        std::fprintf(stderr, "kmptool read: %.*s\n", static_cast<int>(text.size()), text.data());
    };
    Exchanged result;
    for (std::uint32_t attempt = 0; attempt < options.attempts; ++attempt) {
        fifo.Clear();
        if (!line.Write(frame)) {
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            const std::string failure = line.FailureText();
            std::fprintf(stderr, "kmptool read: writing the request failed%s%s\n",
                         failure.empty() ? "" : ": ", failure.c_str());
            return {Outcome::kLineFailed, {}};
        }
        const std::uint64_t deadline = line.NowMs() + options.timeout_ms;
        for (std::uint64_t now = line.NowMs(); now < deadline; now = line.NowMs()) {
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            const auto bytes = line.Read(static_cast<std::uint32_t>(deadline - now));
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            if (const std::string failure = line.FailureText(); !failure.empty()) {
                std::fprintf(stderr, "kmptool read: %s\n", failure.c_str());
                return {Outcome::kLineFailed, {}};
            }
            if (bytes.empty()) continue;
            fifo.Write(bytes);
            const int n = kmp::FindFrame(fifo, answers, log, result.body);
            if (n > 0) {
                result.outcome = Outcome::kAnswered;
                return result;
            }
        }
    }
    if (Interrupted()) return {Outcome::kInterrupted, {}};
    return {Outcome::kSilent, {}};
}

struct Identity {
    std::uint16_t type = 0;
    std::uint16_t revision = 0;
    std::uint32_t serial = 0;
};

void PrintRegisters(const std::vector<std::uint16_t>& ids,
                    const std::vector<kmp::RegisterBlock>& blocks,
                    std::span<const kmp::TKmpRegisterInfo> catalogue) {
    std::printf("%-6s %-20s %-20s %-10s %s\n", "ID", "CODE", "VALUE", "UNIT", "NAME");
    for (std::uint16_t id : ids) {
        const auto* row = kmp::FindRegister(catalogue, id);
        const std::string code = row && !row->Code.empty() ? std::string(row->Code) : "-";
        const std::string name = row ? std::string(row->Name) : "-";
        const auto block = std::find_if(blocks.begin(), blocks.end(),
                                        [&](const kmp::RegisterBlock& b) { return b.id == id; });
        std::string value = "(no value)";
        std::string unit = "-";
        if (block != blocks.end()) {
            kmp::RegisterValue v = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
            if (row && row->Decoder &&
                !row->Decoder(*row, kmp::RawMantissa(block->value), block->value, v)) {
                value = FormatValue(v) + " (invalid)";
            } else {
                value = FormatValue(v);
            }
            if (const auto text = kmp::KmpUnitText(block->unit)) unit = std::string(*text);
        }
        std::printf("%04X   %-20s %-20s %-10s %s\n", id, code.c_str(), value.c_str(), unit.c_str(),
                    name.c_str());
    }
}

// One register's value for JSON: numbers as numbers (null when not finite), dates and clock
// times as text, as `hostsim run --json` writes item values.
std::string ValueJson(const kmp::RegisterValue& value) {
    if (const auto* d = std::get_if<double>(&value); d != nullptr && !std::isfinite(*d)) {
        return "null";
    }
    if (std::holds_alternative<kmp::KmpDate>(value) ||
        std::holds_alternative<kmp::KmpTime>(value)) {
        return tools::JsonString(FormatValue(value));
    }
    return FormatValue(value);
}

// The meter's identity and every register asked for as one object:
// {"address": A, "type": "TTTT", "revision": "RRRR", "serial": N,
//  "values": {CODE: {"id": "XXXX", "value": V, "unit": U}, ...}}; a register the meter did not
// return has a null value, one its decoder refused also "invalid": true.
void PrintJson(std::uint8_t address, const Identity& identity,
               const std::vector<std::uint16_t>& ids, const std::vector<kmp::RegisterBlock>& blocks,
               std::span<const kmp::TKmpRegisterInfo> catalogue) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"address\": %u, \"type\": \"%04X\", \"revision\": \"%04X\", \"serial\": %lu, "
                  "\"values\": {",
                  address, identity.type, identity.revision,
                  static_cast<unsigned long>(identity.serial));
    std::string out = head;
    const char* separator = "";
    for (std::uint16_t id : ids) {
        const auto* row = kmp::FindRegister(catalogue, id);
        char fallback[16];
        std::snprintf(fallback, sizeof fallback, "REG_%04X", id);
        const std::string code = row && !row->Code.empty() ? std::string(row->Code) : fallback;
        char id_text[8];
        std::snprintf(id_text, sizeof id_text, "%04X", id);
        std::string value = "null", unit = "null";
        bool invalid = false;
        const auto block = std::find_if(blocks.begin(), blocks.end(),
                                        [&](const kmp::RegisterBlock& b) { return b.id == id; });
        if (block != blocks.end()) {
            kmp::RegisterValue v = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
            invalid = row && row->Decoder &&
                      !row->Decoder(*row, kmp::RawMantissa(block->value), block->value, v);
            value = ValueJson(v);
            if (const auto text = kmp::KmpUnitText(block->unit)) unit = tools::JsonString(*text);
        }
        out += separator + tools::JsonString(code) + ": {\"id\": \"" + id_text +
               "\", \"value\": " + value + ", \"unit\": " + unit +
               (invalid ? ", \"invalid\": true}" : "}");
        separator = ", ";
    }
    std::printf("%s}}\n", out.c_str());
}

const char* kUsage =
    "read (--port DEVICE|tcp:HOST:PORT|rfc2217:HOST:PORT [--baud N] | --sim [--sim-fault F,...]) "
    "--addr A --regs R,R,... "
    "[--catalogue heat|electricity] [--timeout MS] [--attempts N] [--json]";

int RunRead(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    bool missing = false;
    const bool sim = TakeFlag(args, "--sim");
    const bool json = TakeFlag(args, "--json");
    const auto port = TakeOption(args, "--port", missing);
    const auto baud_text = TakeOption(args, "--baud", missing);
    const auto fault_text = TakeOption(args, "--sim-fault", missing);
    const auto addr_text = TakeOption(args, "--addr", missing);
    const auto regs_text = TakeOption(args, "--regs", missing);
    const auto catalogue_text = TakeOption(args, "--catalogue", missing);
    const auto timeout_text = TakeOption(args, "--timeout", missing);
    const auto attempts_text = TakeOption(args, "--attempts", missing);
    if (missing || !args.empty() || sim == port.has_value() || !addr_text || !regs_text) {
        return UsageError("read", std::string("usage: ") + kUsage);
    }

    ReadOptions options;
    const auto address = ParseNumber(*addr_text, 0xFF);
    if (!address) return UsageError("read", "--addr must be a number from 0 to 255");
    options.address = static_cast<std::uint8_t>(*address);
    if (timeout_text) {
        const auto t = ParseNumber(*timeout_text, 600000);
        if (!t || *t == 0) return UsageError("read", "--timeout must be 1 to 600000 ms");
        options.timeout_ms = *t;
    }
    if (attempts_text) {
        const auto a = ParseNumber(*attempts_text, 100);
        if (!a || *a == 0) return UsageError("read", "--attempts must be 1 to 100");
        options.attempts = *a;
    }
    const auto which = ParseCatalogue(catalogue_text.value_or("heat"));
    if (!which) return UsageError("read", "--catalogue must be heat or electricity");
    const auto catalogue = kmp::Catalogue(*which);
    std::vector<std::uint16_t> ids;
    for (const auto& item : SplitList(*regs_text)) {
        const auto id = ParseRegister(item, catalogue);
        if (!id) return UsageError("read", "unknown register '" + item + "'");
        ids.push_back(*id);
    }
    if (ids.empty()) return UsageError("read", "--regs names no register");

    std::unique_ptr<Transport> line;
    if (sim) {
        metersim::MeterSimulator simulator;
        for (auto& meter : metersim::DemoMeters()) {
            if (fault_text && meter.address == options.address &&
                !metersim::ApplyFaultList(*fault_text, meter.faults)) {
                return UsageError("read", "unknown --sim-fault '" + *fault_text +
                                              "' (corrupt, silent, noise, delay=MS, split=N)");
            }
            simulator.AddMeter(std::move(meter));
        }
        line = std::make_unique<SimulatedLine>(std::move(simulator));
    } else {
        if (fault_text) return UsageError("read", "--sim-fault needs --sim");
        SerialSettings settings;
        if (baud_text) {
            const auto baud = ParseNumber(*baud_text);
            if (!baud || *baud == 0) return UsageError("read", "--baud must be a number");
            settings.baud = *baud;
        }
        std::string error;
        if (tools::NamesDeviceServer(*port)) {
            const auto server = tools::ParseDeviceServerAddress(*port, error);
            if (!server) return UsageError("read", error);
            if (!server->rfc2217 && baud_text) {
                return UsageError("read",
                                  "--baud sets nothing over tcp: (raw bytes); rfc2217: sets the "
                                  "line on the device server");
            }
            line = OpenDeviceServer(*server, settings, error);
        } else {
            line = OpenSerialPort(*port, settings, error);
        }
        if (!line) {
            std::fprintf(stderr, "kmptool read: %s\n", error.c_str());
            return tools::kExitFailed;
        }
    }

    // The exit code of an exchange that brought no reply (tools/common/exit_codes.h). A line
    // that is gone has said so already; the meter was not asked again.
    const auto unanswered = [&](Outcome outcome, const char* what) {
        if (outcome == Outcome::kInterrupted) {
            std::fprintf(stderr, "kmptool read: interrupted\n");
            return tools::kExitInterrupted;
        }
        if (outcome == Outcome::kLineFailed) return tools::kExitFailed;
        std::fprintf(stderr,
                     "kmptool read: no valid reply from meter %u to the %s request "
                     "(%u attempts, %u ms each)\n",
                     options.address, what, options.attempts, options.timeout_ms);
        return tools::kExitMeterSilent;
    };
    CatchInterrupt();

    Identity identity;
    const auto type =
        Exchange(*line, options, kmp::BuildIdentificationRequest(options.address, kmp::CidGetType));
    if (type.outcome != Outcome::kAnswered) return unanswered(type.outcome, "type");
    if (type.body.size() < 8) {
        std::fprintf(stderr, "kmptool read: type reply too short\n");
        return tools::kExitMeterSilent;
    }
    identity.type = common::ReadBe16(std::span(type.body).subspan<2, 2>());
    identity.revision = common::ReadBe16(std::span(type.body).subspan<4, 2>());
    const auto serial = Exchange(
        *line, options, kmp::BuildIdentificationRequest(options.address, kmp::CidGetSerialNo));
    if (serial.outcome != Outcome::kAnswered) return unanswered(serial.outcome, "serial-number");
    if (serial.body.size() < 8) {
        std::fprintf(stderr, "kmptool read: serial-number reply too short\n");
        return tools::kExitMeterSilent;
    }
    identity.serial = common::ReadBe32(std::span(serial.body).subspan<2, 4>());

    std::vector<std::vector<std::uint8_t>> replies;  // the blocks point into these
    std::vector<kmp::RegisterBlock> blocks;
    for (std::size_t first = 0; first < ids.size(); first += kmp::kMaxRequestRegisters) {
        const std::size_t count = std::min(kmp::kMaxRequestRegisters, ids.size() - first);
        auto reply = Exchange(
            *line, options,
            kmp::BuildRegisterRequest(options.address, std::span(ids).subspan(first, count)));
        if (reply.outcome != Outcome::kAnswered) return unanswered(reply.outcome, "register");
        replies.push_back(std::move(reply.body));
    }
    for (const auto& reply : replies) {
        std::span<const std::uint8_t> data = std::span(reply).subspan(2, reply.size() - 4);
        while (const auto block = kmp::ReadRegisterBlock(data)) blocks.push_back(*block);
    }

    if (json) {
        PrintJson(options.address, identity, ids, blocks, catalogue);
        return tools::kExitDone;
    }
    std::printf("METER %u TYPE %04X REVISION %04X SERIAL %lu\n", options.address, identity.type,
                identity.revision, static_cast<unsigned long>(identity.serial));
    PrintRegisters(ids, blocks, catalogue);
    return tools::kExitDone;
}

const CommandRegistrar reg{{"read", kUsage, &RunRead}};

}  // namespace
}  // namespace zol::kmptool
