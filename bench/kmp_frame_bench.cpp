// The receive path of one poll: a typical 8-register response is queued, found, unstuffed and
// verified by the scan, and its register blocks are decoded.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "zolShared/Public/Common/byte_order.h"

namespace {

using namespace zol;

// Eight 4-byte registers with units and exponents, as a heat meter answers a register poll.
std::vector<std::uint8_t> EightRegisterResponse() {
    const struct {
        std::uint16_t id;
        std::uint8_t unit, sign_exponent;
        std::uint32_t mantissa;
    } registers[] = {
        {60, 2, 0x00, 315904},    {68, 40, 0x42, 2741533}, {1003, 48, 0x00, 261207},
        {1002, 47, 0x00, 143015}, {86, 37, 0x42, 7012},    {87, 37, 0x42, 4188},
        {74, 41, 0x00, 845},      {80, 21, 0x41, 276},
    };
    std::vector<std::uint8_t> body{0x3F, kmp::CidGetRegister};
    for (const auto& r : registers) {
        common::WriteBe16(body, r.id);
        body.push_back(r.unit);
        body.push_back(4);
        body.push_back(r.sign_exponent);
        common::WriteBe32(body, r.mantissa);
    }
    kmp::AppendKmpCrc(body);
    return kmp::KmpStuff(body, kmp::KmpRespStart);
}

void BM_ScanAndDecodeEightRegisterResponse(benchmark::State& state) {
    const auto frame = EightRegisterResponse();
    const auto heat = kmp::Catalogue(kmp::KmpCatalogue::kHeat);
    common::TFIFOStream fifo(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep,
                             true);
    std::vector<std::uint8_t> body;
    body.reserve(256);
    const kmp::FrameAcceptor accept = [](std::span<const std::uint8_t> b) {
        return b[0] == 0x3F && b[1] == kmp::CidGetRegister;
    };
    const kmp::ScanLogger log;
    std::int64_t decoded = 0;
    for (auto _ : state) {
        fifo.Write(frame);
        const int n = kmp::FindFrame(fifo, accept, log, body);
        std::span<const std::uint8_t> data = std::span(body).subspan(2, body.size() - 4);
        while (const auto block = kmp::ReadRegisterBlock(data)) {
            kmp::RegisterValue value = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
            const auto* row = kmp::FindRegister(heat, block->id);
            if (row != nullptr && row->Decoder != nullptr) {
                row->Decoder(*row, kmp::RawMantissa(block->value), block->value, value);
            }
            benchmark::DoNotOptimize(value);
            ++decoded;
        }
        fifo.Discard(static_cast<std::size_t>(n));
    }
    if (decoded != 8 * state.iterations()) state.SkipWithError("response not decoded");
}
BENCHMARK(BM_ScanAndDecodeEightRegisterResponse);

void BM_StuffRegisterRequest(benchmark::State& state) {
    const std::vector<std::uint16_t> ids{60, 68, 1003, 1002, 86, 87, 74, 80};
    for (auto _ : state) {
        auto frame = kmp::KmpStuff(kmp::BuildRegisterRequest(0x3F, ids));
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_StuffRegisterRequest);

}  // namespace
