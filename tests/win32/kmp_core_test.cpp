// The protocol core on the shipped 32-bit target: checksums, framing, the receive queue and value
// decoding give the same results as on the native build, with real Win32 threads.
#include <gtest/gtest.h>

#include <string_view>
#include <thread>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_value.h"
#include "zolShared/Public/Common/CrcUtils.h"

namespace {

using namespace zol;

TEST(Win32KmpCore, CatalogueCheckValuesHold) {
    const std::string_view check = common::kCrcCheckInput;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(check.data()),
                                              check.size());
    for (std::size_t i = 0; i < common::kCrcModelCount; ++i) {
        if (common::IsSimpleChecksum(i)) continue;
        EXPECT_EQ(common::CrcCompute(i, bytes), common::CrcModels[i].Check)
            << common::CrcModels[i].Name;
    }
    EXPECT_EQ(common::CrcCompute(common::kCrc16Sum, bytes), 0x01DDu);
}

TEST(Win32KmpCore, FramesAndValuesMatchTheWorkedExamples) {
    const std::vector<std::uint16_t> e1{0x003C};
    const std::vector<std::uint8_t> expected{0x80, 0x3F, 0x10, 0x01, 0x00, 0x3C, 0xB2, 0x5F, 0x0D};
    EXPECT_EQ(kmp::KmpStuff(kmp::BuildRegisterRequest(0x3F, e1)), expected);
    const std::vector<std::uint8_t> value{0x00, 0x00, 0x04, 0xD2};
    EXPECT_EQ(kmp::DecodeRegisterValue(value, 0x02), kmp::RegisterValue(std::int64_t{123400}));
    EXPECT_EQ(kmp::DecodeRegisterValue(value, 0x80), kmp::RegisterValue(std::int32_t{-1234}));
}

TEST(Win32KmpCore, ScanFindsAFrameWrittenByAnotherThread) {
    common::TFIFOStream fifo(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep,
                             true);
    const std::vector<std::uint8_t> stream{0x06, 0x40, 0x4C, 0x01, 0x58, 0x1B, 0x7F, 0x0D};
    std::thread writer([&] {
        for (std::uint8_t b : stream) fifo.Write(std::span(&b, 1));
    });
    writer.join();
    std::vector<std::uint8_t> body;
    const int n = kmp::FindFrame(
        fifo, [](std::span<const std::uint8_t>) { return true; }, {}, body);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(body, (std::vector<std::uint8_t>{0x4C, 0x01, 0x58, 0x80}));
}

}  // namespace
