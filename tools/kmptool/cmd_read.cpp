// kmptool read: identifies a meter and reads registers from it, over a serial port, a serial
// device server or from the built-in simulated meters, the way the plug-in polls: type request,
// serial-number request, then register requests of at most eight registers each.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/exit_codes.h"
#include "common/json_write.h"
#include "common/text_encoding.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "kmptool/discover.h"
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

// Whether the verified reply `body` answers `request`: the same meter and CID and, for a register
// request, only registers it asked for (the meter leaves out those it does not have). Two
// register requests of one read ask for different registers, so the reply to one is never taken
// for the other's.
bool Answers(std::span<const std::uint8_t> body, std::span<const std::uint8_t> request) {
    if (body[0] != request[0] || body[1] != request[1]) return false;
    if (request[1] != kmp::CidGetRegister || request.size() < 5) return true;
    const std::span<const std::uint8_t> asked = request.subspan(3, request.size() - 5);
    std::span<const std::uint8_t> data = body.subspan(2, body.size() - 4);
    while (const auto block = kmp::ReadRegisterBlock(data)) {
        bool listed = false;
        for (std::size_t i = 0; i + 1 < asked.size() && !listed; i += 2) {
            listed = common::ReadBe16(asked.subspan(i).first<2>()) == block->id;
        }
        if (!listed) return false;
    }
    return true;
}

// The exchanges of one read with its meter. Every request stays known with the time it was last
// sent, so a reply that comes after its timeout, into a later exchange, is told apart from the
// answer awaited there: it is counted as late, and never taken for that answer.
class Exchanger {
   public:
    Exchanger(Transport& line, const ReadOptions& options) : line_(line), options_(options) {}

    // Sends `request` and waits for the verified reply that answers it. A damaged reply ends its
    // attempt as soon as its last byte is in: the request goes out again at once rather than at
    // the end of the timeout.
    Exchanged Exchange(const std::vector<std::uint8_t>& request);

    std::size_t LateReplies() const noexcept { return late_; }
    // The longest time a late reply took from the last send of its request.
    std::uint64_t SlowestLateMs() const noexcept { return slowest_late_ms_; }

   private:
    struct Sent {
        std::vector<std::uint8_t> request;
        std::uint64_t last_sent_ms = 0;
        std::uint32_t sends = 0;
        std::uint32_t replies = 0;  // replies heard that answer it, at most one a send
    };

    Transport& line_;
    const ReadOptions& options_;
    std::vector<Sent> earlier_;  // the requests of the exchanges before this one
    std::size_t late_ = 0;
    std::uint64_t slowest_late_ms_ = 0;
};

Exchanged Exchanger::Exchange(const std::vector<std::uint8_t>& request) {
    const auto frame = kmp::KmpStuff(request);
    common::TFIFOStream fifo(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep,
                             true);
    const kmp::FrameAcceptor answers = [&](std::span<const std::uint8_t> body) {
        if (Answers(body, request)) return true;
        // A reply to an earlier request with a send still unanswered came after that send's
        // timeout. One to a request whose every send has had its reply is no late one: a copy,
        // or a meter answering with the wrong command.
        for (auto sent = earlier_.rbegin(); sent != earlier_.rend(); ++sent) {
            if (!Answers(body, sent->request)) continue;
            const std::uint64_t took = line_.NowMs() - sent->last_sent_ms;
            if (sent->replies < sent->sends && took > options_.timeout_ms) {
                ++sent->replies;
                ++late_;
                slowest_late_ms_ = std::max(slowest_late_ms_, took);
            }
            break;
        }
        return false;
    };
    bool damaged = false;
    const kmp::ScanLogger log = [&damaged](int level, std::string_view text) {
        if (level == kmp::kInvalidCrcLogLevel) damaged = true;
        std::fprintf(stderr, "kmptool read: %.*s\n", static_cast<int>(text.size()), text.data());
    };
    earlier_.push_back({request, 0, 0, 0});
    Sent& sent = earlier_.back();
    Exchanged result;
    for (std::uint32_t attempt = 0; attempt < options_.attempts; ++attempt) {
        fifo.Clear();
        damaged = false;
        sent.last_sent_ms = line_.NowMs();
        ++sent.sends;
        if (!line_.Write(frame)) {
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            const std::string failure = line_.FailureText();
            tools::WriteLine(stderr, "kmptool read: writing the request failed" +
                                         (failure.empty() ? "" : ": " + failure));
            return {Outcome::kLineFailed, {}};
        }
        const std::uint64_t deadline = line_.NowMs() + options_.timeout_ms;
        for (std::uint64_t now = line_.NowMs(); now < deadline && !damaged; now = line_.NowMs()) {
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            const auto bytes = line_.Read(static_cast<std::uint32_t>(deadline - now));
            if (Interrupted()) return {Outcome::kInterrupted, {}};
            if (const std::string failure = line_.FailureText(); !failure.empty()) {
                tools::WriteLine(stderr, "kmptool read: " + failure);
                return {Outcome::kLineFailed, {}};
            }
            if (bytes.empty()) continue;
            fifo.Write(bytes);
            // Every whole frame in the queue is looked at: a late reply ahead of the answer is
            // passed over, and the answer behind it still found.
            const int n = kmp::FindFrame(fifo, answers, log, result.body);
            if (n > 0) {
                ++sent.replies;
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
tools::Json ValueJson(const kmp::RegisterValue& value) {
    if (const auto* u = std::get_if<std::uint32_t>(&value)) return *u;
    if (const auto* i = std::get_if<std::int32_t>(&value)) return *i;
    if (const auto* l = std::get_if<std::int64_t>(&value)) return *l;
    if (const auto* d = std::get_if<double>(&value)) return *d;
    return FormatValue(value);
}

// The meter's identity and every register asked for as one object:
// {"address": A, "type": "TTTT", "revision": "RRRR", "serial": N,
//  "values": {CODE: {"id": "XXXX", "value": V, "unit": U}, ...}}; a register the meter did not
// return has a null value, one its decoder refused also "invalid": true. A register without a
// code, or whose code an earlier register took, is REG_XXXX.
void PrintJson(std::uint8_t address, const Identity& identity,
               const std::vector<std::uint16_t>& ids, const std::vector<kmp::RegisterBlock>& blocks,
               std::span<const kmp::TKmpRegisterInfo> catalogue) {
    const auto hex4 = [](unsigned number) {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", number & 0xFFFFu);
        return std::string(text);
    };
    tools::Json values = tools::Json::object();
    for (std::uint16_t id : ids) {
        const auto* row = kmp::FindRegister(catalogue, id);
        // A register asked twice is one member; a second register under a code already taken
        // (heat's VALUE is both 0000 and 0050) is named by its id, so no value is lost.
        std::string code = row && !row->Code.empty() ? std::string(row->Code) : "REG_" + hex4(id);
        if (values.contains(code) && values[code]["id"] != hex4(id)) code = "REG_" + hex4(id);
        tools::Json entry = {{"id", hex4(id)}, {"value", nullptr}, {"unit", nullptr}};
        const auto block = std::find_if(blocks.begin(), blocks.end(),
                                        [&](const kmp::RegisterBlock& b) { return b.id == id; });
        if (block != blocks.end()) {
            kmp::RegisterValue v = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
            const bool invalid =
                row && row->Decoder &&
                !row->Decoder(*row, kmp::RawMantissa(block->value), block->value, v);
            entry["value"] = ValueJson(v);
            if (const auto text = kmp::KmpUnitText(block->unit)) entry["unit"] = std::string(*text);
            if (invalid) entry["invalid"] = true;
        }
        values[code] = std::move(entry);
    }
    const tools::Json meter = {{"address", address},
                               {"type", hex4(identity.type)},
                               {"revision", hex4(identity.revision)},
                               {"serial", identity.serial},
                               {"values", std::move(values)}};
    std::printf("%s\n", tools::JsonText(meter).c_str());
}

// The command line of `kmptool read`, as given; RunRead checks the values.
struct ReadArguments {
    bool sim = false;
    bool json = false;
    std::optional<std::string> port, baud, fault, addr, regs, catalogue, timeout, attempts;
};

int RunRead(const ReadArguments& arguments) {
    if (arguments.sim == arguments.port.has_value()) {
        return UsageError("read", "give either --port or --sim");
    }
    const auto& addr_text = arguments.addr;
    const auto& regs_text = arguments.regs;
    const auto& timeout_text = arguments.timeout;
    const auto& attempts_text = arguments.attempts;
    const auto& fault_text = arguments.fault;
    const auto& baud_text = arguments.baud;
    const auto& port = arguments.port;
    const bool sim = arguments.sim;
    const bool json = arguments.json;

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
    const auto which = ParseCatalogue(arguments.catalogue.value_or("heat"));
    if (!which) return UsageError("read", "--catalogue must be heat or electricity");
    const auto catalogue = kmp::Catalogue(*which);
    std::vector<std::uint16_t> ids;
    for (const auto& item : SplitList(*regs_text)) {
        const auto id = ParseRegister(item, catalogue);
        if (!id) return UsageError("read", UnknownRegisterText(item, *which));
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
            const auto baud = ParseLineSpeed(*baud_text);
            if (!baud) return UsageError("read", LineSpeedError(*baud_text));
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
            // The system's own text may be in any language (UTF-8, see LastErrorText).
            tools::WriteLine(stderr, "kmptool read: " + error);
            return tools::kExitFailed;
        }
    }

    // The exit code of an exchange that brought no reply (tools/common/exit_codes.h). A line
    // that is gone has said so already; the meter was not asked again.
    std::optional<Exchanger> exchanger;
    // Replies that came after their timeout: the read may still have ended well, but only
    // because requests went out again; a longer --timeout spares the line those.
    const auto report_late = [&] {
        if (!exchanger || exchanger->LateReplies() == 0) return;
        std::fprintf(stderr,
                     "kmptool read: late replies: %zu (%u answered after %llu ms: raise "
                     "--timeout)\n",
                     exchanger->LateReplies(), options.address,
                     static_cast<unsigned long long>(exchanger->SlowestLateMs()));
    };
    const auto unanswered = [&](Outcome outcome, const char* what) {
        report_late();
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

    exchanger.emplace(*line, options);
    Identity identity;
    const auto type =
        exchanger->Exchange(kmp::BuildIdentificationRequest(options.address, kmp::CidGetType));
    if (type.outcome != Outcome::kAnswered) return unanswered(type.outcome, "type");
    if (type.body.size() < 8) {
        std::fprintf(stderr, "kmptool read: type reply too short\n");
        return tools::kExitMeterSilent;
    }
    identity.type = common::ReadBe16(std::span(type.body).subspan<2, 2>());
    identity.revision = common::ReadBe16(std::span(type.body).subspan<4, 2>());
    const auto serial =
        exchanger->Exchange(kmp::BuildIdentificationRequest(options.address, kmp::CidGetSerialNo));
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
        auto reply = exchanger->Exchange(
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
    } else {
        std::printf("METER %u TYPE %04X REVISION %04X SERIAL %lu\n", options.address, identity.type,
                    identity.revision, static_cast<unsigned long>(identity.serial));
        PrintRegisters(ids, blocks, catalogue);
    }
    std::fflush(stdout);
    report_late();
    // Codes of the other catalogue name registers this meter does not have: its type says which
    // catalogue names its registers.
    const CatalogueChoice meter_catalogue = CatalogueOfType(identity.type);
    if (meter_catalogue.known && meter_catalogue.catalogue != *which) {
        std::fprintf(
            stderr,
            "kmptool read: meter %u is type %04X, %s meter: the %s catalogue names "
            "its registers; read it with --catalogue %s\n",
            options.address, identity.type,
            meter_catalogue.catalogue == kmp::KmpCatalogue::kHeat ? "a heat" : "an electricity",
            CatalogueName(meter_catalogue.catalogue), CatalogueName(meter_catalogue.catalogue));
    }
    if (blocks.empty()) {
        std::fprintf(stderr, "kmptool read: meter %u gave no value for any register asked\n",
                     options.address);
        return tools::kExitMeterSilent;
    }
    return tools::kExitDone;
}

CommandRunner DefineRead(CLI::App& command) {
    auto given = std::make_shared<ReadArguments>();
    command
        .add_option("--port", given->port,
                    "serial device (COM3, /dev/ttyUSB0), tcp:HOST:PORT (raw) or rfc2217:HOST:PORT")
        ->type_name("DEVICE");
    command.add_flag("--sim", given->sim, "read the built-in simulated meters instead");
    command.add_option("--baud", given->baud, "line speed on a serial port or rfc2217: (1200)")
        ->type_name("N");
    command
        .add_option("--sim-fault", given->fault,
                    "faults of the simulated meter: corrupt, silent, noise, delay=MS, split=N")
        ->type_name("F,...");
    command.add_option("--addr", given->addr, "meter address, 0 to 255 (0x3F or 63)")
        ->type_name("A")
        ->required();
    command
        .add_option("--regs", given->regs,
                    "registers: codes of the catalogue (E1,V1) or ids (0x3C, 60); "
                    "see kmptool registers")
        ->type_name("R,...")
        ->required();
    command.add_option("--catalogue", given->catalogue, kCatalogueHelp)
        ->type_name("heat|electricity");
    command
        .add_option("--timeout", given->timeout, "reply timeout per request, 1 to 600000 ms (2000)")
        ->type_name("MS");
    command.add_option("--attempts", given->attempts, "tries per request, 1 to 100 (3)")
        ->type_name("N");
    command.add_flag("--json", given->json, "print the meter and its values as one JSON object");
    command.footer(
        "Exit codes: 0 the meter answered; 1 the port did not open or failed; 2 usage error;\n"
        "            3 the meter never answered, or gave no value for any register asked;\n"
        "            130 interrupted (Ctrl-C)");
    return [given] { return RunRead(*given); };
}

const CommandRegistrar reg{
    {"read", "read registers from one meter (serial port, device server or simulator)",
     &DefineRead}};

}  // namespace
}  // namespace zol::kmptool
