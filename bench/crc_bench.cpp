// Checksum throughput: the KMP checksum over a large block and over one short frame, beside a
// bit-at-a-time reference measured in the same run; and every catalogue model over 64 KiB beside
// a plain byte-table CRC of the same model (one lookup per byte, as the usual table libraries
// do), which each model should at least match.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zolShared/Public/Common/CrcUtils.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// CRC-16/XMODEM one bit at a time: the baseline a table-driven CRC is measured against.
std::uint16_t BitwiseXmodem(const std::vector<std::uint8_t>& data) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : data) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int k = 0; k < 8; ++k) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

void BM_Xmodem64KiB(benchmark::State& state) {
    const auto data = RandomBytes(64 * 1024);
    for (auto _ : state) benchmark::DoNotOptimize(zol::common::CrcCompute(27, data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Xmodem64KiB);

void BM_KmpCrc64KiB(benchmark::State& state) {
    const auto data = RandomBytes(64 * 1024);
    for (auto _ : state) benchmark::DoNotOptimize(zol::common::KmpCrc(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_KmpCrc64KiB);

void BM_BitwiseXmodem64KiB(benchmark::State& state) {
    const auto data = RandomBytes(64 * 1024);
    for (auto _ : state) benchmark::DoNotOptimize(BitwiseXmodem(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_BitwiseXmodem64KiB);

void BM_Xmodem10ByteFrame(benchmark::State& state) {
    auto data = RandomBytes(10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(zol::common::CrcCompute(27, data));
    }
}
BENCHMARK(BM_Xmodem10ByteFrame);

void BM_BitwiseXmodem10ByteFrame(benchmark::State& state) {
    auto data = RandomBytes(10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(BitwiseXmodem(data));
    }
}
BENCHMARK(BM_BitwiseXmodem10ByteFrame);

// A byte-at-a-time table CRC built from the model's parameters at run time: the baseline.
class ByteTableCrc {
   public:
    explicit ByteTableCrc(const zol::common::TCRCDesc& desc)
        : desc_(desc), bits_(desc.Width * 8u), mask_(bits_ == 32 ? ~0u : (1u << bits_) - 1u) {
        std::uint32_t poly = desc.Poly;
        if (desc.Reflected && desc.PolyNormal) {
            poly = 0;
            for (unsigned i = 0; i < bits_; ++i) poly |= ((desc.Poly >> i) & 1u) << (bits_ - 1 - i);
        }
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = desc.Reflected ? i : i << (bits_ - 8);
            for (int k = 0; k < 8; ++k) {
                if (desc.Reflected) {
                    c = (c & 1u) ? (c >> 1) ^ poly : c >> 1;
                } else {
                    c = (c >> (bits_ - 1)) & 1u ? (c << 1) ^ poly : c << 1;
                }
            }
            table_[i] = c & mask_;
        }
    }
    std::uint32_t operator()(const std::vector<std::uint8_t>& data) const {
        std::uint32_t r = (desc_.Init ^ desc_.XorOut) & mask_;
        if (desc_.Reflected) {
            for (std::uint8_t b : data) r = table_[(r ^ b) & 0xFFu] ^ (r >> 8);
        } else {
            const unsigned shift = bits_ - 8;
            for (std::uint8_t b : data) r = (table_[((r >> shift) ^ b) & 0xFFu] ^ (r << 8)) & mask_;
        }
        return r ^ desc_.XorOut;
    }

   private:
    const zol::common::TCRCDesc& desc_;
    unsigned bits_;
    std::uint32_t mask_;
    std::array<std::uint32_t, 256> table_{};
};

void BM_Model64KiB(benchmark::State& state) {
    const auto model = static_cast<std::size_t>(state.range(0));
    const auto data = RandomBytes(64 * 1024);
    state.SetLabel(std::string(zol::common::CrcModels[model].Name));
    for (auto _ : state) benchmark::DoNotOptimize(zol::common::CrcCompute(model, data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_ByteTable64KiB(benchmark::State& state) {
    const auto model = static_cast<std::size_t>(state.range(0));
    const auto data = RandomBytes(64 * 1024);
    const ByteTableCrc crc(zol::common::CrcModels[model]);
    state.SetLabel(std::string(zol::common::CrcModels[model].Name));
    if (!zol::common::CrcModels[model].SwapResult &&
        crc(data) != zol::common::CrcCompute(model, data)) {
        state.SkipWithError("the baseline disagrees with the catalogue");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(crc(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void EveryTableModel(benchmark::internal::Benchmark* benchmark) {
    for (std::size_t m = 0; m < zol::common::kCrcModelCount; ++m) {
        if (!zol::common::IsSimpleChecksum(m)) benchmark->Arg(static_cast<std::int64_t>(m));
    }
}
BENCHMARK(BM_Model64KiB)->Apply(EveryTableModel);
BENCHMARK(BM_ByteTable64KiB)->Apply(EveryTableModel);

}  // namespace
