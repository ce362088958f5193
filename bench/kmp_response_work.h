#pragma once
// The receive work of one poll, shared by the native frame bench and the Windows scale bench: a
// typical 8-register response, and its scan (find, unstuff, check) and decode by the core.

#include <cstdint>
#include <span>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "zolShared/Public/Common/byte_order.h"
#include "zolShared/Public/Common/fifo_stream.h"

namespace zol::bench {

// Eight 4-byte registers with units and exponents, as a heat meter at `address` answers a
// register poll.
inline std::vector<std::uint8_t> EightRegisterResponse(std::uint8_t address) {
    const struct {
        std::uint16_t id;
        std::uint8_t unit, sign_exponent;
        std::uint32_t mantissa;
    } registers[] = {
        {0x003C, 2, 0x00, 315904},  {0x0044, 40, 0x42, 2741533}, {0x03EB, 48, 0x00, 261207},
        {0x03EA, 47, 0x00, 143015}, {0x0056, 37, 0x42, 7012},    {0x0057, 37, 0x42, 4188},
        {0x004A, 41, 0x00, 845},    {0x0050, 21, 0x41, 276},
    };
    std::vector<std::uint8_t> body{address, kmp::CidGetRegister};
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

// A client's receive buffer and scan state for register responses from `address`.
class ScanAndDecode {
   public:
    explicit ScanAndDecode(std::uint8_t address)
        : heat_(kmp::Catalogue(kmp::KmpCatalogue::kHeat)),
          fifo_(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep, true),
          accept_([address](std::span<const std::uint8_t> b) {
              return b[0] == address && b[1] == kmp::CidGetRegister;
          }) {
        body_.reserve(256);
    }

    // Queues `frame`, takes the response out of the buffer and decodes its register blocks,
    // handing each value to `sink`; the number of blocks decoded.
    template <typename Sink>
    int Run(std::span<const std::uint8_t> frame, Sink&& sink) {
        fifo_.Write(frame);
        const int n = kmp::FindFrame(fifo_, accept_, log_, body_);
        if (n < 0) return 0;
        int decoded = 0;
        std::span<const std::uint8_t> data = std::span(body_).subspan(2, body_.size() - 4);
        while (const auto block = kmp::ReadRegisterBlock(data)) {
            kmp::RegisterValue value = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
            const auto* row = kmp::FindRegister(heat_, block->id);
            if (row != nullptr && row->Decoder != nullptr) {
                row->Decoder(*row, kmp::RawMantissa(block->value), block->value, value);
            }
            sink(value);
            ++decoded;
        }
        fifo_.Discard(static_cast<std::size_t>(n));
        return decoded;
    }

   private:
    decltype(kmp::Catalogue(kmp::KmpCatalogue::kHeat)) heat_;
    common::TFIFOStream fifo_;
    kmp::FrameAcceptor accept_;
    kmp::ScanLogger log_;
    std::vector<std::uint8_t> body_;
};

}  // namespace zol::bench
