// Checksum throughput: the KMP checksum over a large block and over one short frame, beside a
// bit-at-a-time reference measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
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

void BM_Crc32_64KiB(benchmark::State& state) {
    const auto data = RandomBytes(64 * 1024);
    for (auto _ : state) benchmark::DoNotOptimize(zol::common::CrcCompute(34, data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc32_64KiB);

}  // namespace
