// kmptool decode: what a response says: the meter type, the serial number or the register values
// with their units. It takes the body, or the whole frame as the tools print it.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "zolShared/Public/Common/CrcUtils.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmptool {
namespace {

struct DecodeArguments {
    std::vector<std::string> body;
    std::optional<std::string> catalogue;
};

int RunDecode(const DecodeArguments& arguments) {
    const auto& args = arguments.body;
    const auto which = ParseCatalogue(arguments.catalogue.value_or("heat"));
    if (!which) return UsageError("decode", "--catalogue must be heat or electricity");
    const auto parsed = ParseHex(args);
    if (!parsed) return UsageError("decode", "BODYHEX must be pairs of hex digits");
    std::vector<std::uint8_t> body = *parsed;
    // A whole frame as the tools print it (40 3F 01 ... 0D): its body lies stuffed between the
    // start and stop bytes. A body whose checksum holds is taken as it is, even when it happens
    // to begin and end with those bytes (address 64 is 40).
    if (body.size() >= kmp::kMinFrameSize && body.back() == kmp::KmpStop &&
        (body.front() == kmp::KmpRespStart || body.front() == kmp::KmpReqStart) &&
        !kmp::KmpBodyVerified(body)) {
        if (body.front() == kmp::KmpReqStart) {
            return UsageError("decode",
                              "this is a request frame (80 ... 0D), sent to the meter: decode "
                              "reads the meter's replies (40 ... 0D); kmptool scan shows frames");
        }
        std::vector<std::uint8_t> unstuffed;
        kmp::KmpUnstuff(std::span(body).subspan(1, body.size() - 2), unstuffed);
        body = std::move(unstuffed);
    }
    if (body.size() < kmp::kMinBodySize) {
        return UsageError("decode", "a body holds at least address, CID and checksum (4 bytes)");
    }

    int status = 0;
    const std::span<const std::uint8_t> view(body);
    const std::uint16_t received = common::ReadBe16(view.last<2>());
    const std::uint16_t computed = common::KmpCrc(view.first(body.size() - 2));
    if (received != computed) {
        std::fprintf(stderr, "kmptool decode: checksum mismatch (received %04X, computed %04X)\n",
                     received, computed);
        status = 1;
    }
    const std::uint8_t cid = body[1];
    std::span<const std::uint8_t> data = view.subspan(2, body.size() - 4);

    if (cid == kmp::CidGetType || cid == kmp::CidGetSerialNo) {
        if (data.size() < 4) {
            std::fprintf(stderr, "kmptool decode: identification response with %zu data bytes\n",
                         data.size());
            return 1;
        }
        if (cid == kmp::CidGetType) {
            std::printf("TYPE %04X %04X\n", common::ReadBe16(data.first<2>()),
                        common::ReadBe16(data.subspan<2, 2>()));
        } else {
            std::printf("SERIAL %lu\n",
                        static_cast<unsigned long>(common::ReadBe32(data.first<4>())));
        }
        return status;
    }
    if (cid != kmp::CidGetRegister) {
        std::fprintf(stderr, "kmptool decode: no decoding for CID %02X\n", cid);
        return 1;
    }

    const auto catalogue = kmp::Catalogue(*which);
    while (!data.empty()) {
        const auto block = kmp::ReadRegisterBlock(data);
        if (!block) {
            std::fprintf(stderr,
                         "kmptool decode: %zu bytes left that are no whole register block\n",
                         data.size());
            return 1;
        }
        kmp::RegisterValue value = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
        const auto* row = kmp::FindRegister(catalogue, block->id);
        if (row != nullptr && row->Decoder != nullptr) {
            // A raw number that is no valid date or time is shown as the number it is.
            row->Decoder(*row, kmp::RawMantissa(block->value), block->value, value);
        }
        const std::string code =
            row != nullptr && !row->Code.empty() ? std::string(row->Code) : std::string("-");
        const auto unit = kmp::KmpUnitText(block->unit);
        std::printf("%04X %s %s %s\n", block->id, code.c_str(), FormatValue(value).c_str(),
                    unit ? std::string(*unit).c_str() : "-");
    }
    return status;
}

CommandRunner DefineDecode(CLI::App& command) {
    auto given = std::make_shared<DecodeArguments>();
    command
        .add_option("BODYHEX", given->body,
                    "a response in hex: the body (address, CID, data and checksum, unstuffed) or "
                    "the whole frame (40 ... 0D)")
        ->type_name("");
    command.add_option("--catalogue", given->catalogue, kCatalogueHelp)
        ->type_name("heat|electricity");
    return [given] { return RunDecode(*given); };
}

const CommandRegistrar reg{
    {"decode", "what a response body says: type, serial number or register values", &DefineDecode}};

}  // namespace
}  // namespace zol::kmptool
