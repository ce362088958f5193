// Register-response decoding on arbitrary bodies: the block walk, value decoding, the date and
// clock decoders and the unit table, plus the stuffing round trip. The first byte picks the
// catalogue. Checked: the walk consumes exactly whole blocks and decoded dates and times exist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <variant>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"

namespace {

using namespace zol;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto catalogue =
        kmp::Catalogue(data[0] & 1 ? kmp::KmpCatalogue::kElectricity : kmp::KmpCatalogue::kHeat);
    const std::vector<std::uint8_t> body(data + 1, data + size);

    std::vector<std::uint8_t> unstuffed;
    const auto frame = kmp::KmpStuff(body, kmp::KmpRespStart);
    Check(frame.size() <= 2 * body.size() + 2);
    kmp::KmpUnstuff(std::span(frame).subspan(1, frame.size() - 2), unstuffed);
    Check(unstuffed == body);

    std::span<const std::uint8_t> rest(body);
    if (rest.size() >= 4) rest = rest.subspan(2, rest.size() - 4);
    while (!rest.empty()) {
        const std::size_t before = rest.size();
        const auto block = kmp::ReadRegisterBlock(rest);
        if (!block) {
            Check(rest.size() == before);
            break;
        }
        Check(before - rest.size() == kmp::kRegisterBlockHeaderSize + block->value.size());
        kmp::RegisterValue value = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
        (void)kmp::KmpUnitText(block->unit);
        const auto* row = kmp::FindRegister(catalogue, block->id);
        if (row != nullptr && row->Decoder != nullptr &&
            row->Decoder(*row, kmp::RawMantissa(block->value), block->value, value)) {
            if (const auto* d = std::get_if<kmp::KmpDate>(&value)) {
                Check(d->year >= 2000 && d->year <= 2099 && d->month >= 1 && d->month <= 12 &&
                      d->day >= 1 && d->day <= 31);
            } else {
                const auto& t = std::get<kmp::KmpTime>(value);
                Check(t.hour <= 23 && t.minute <= 59 && t.second <= 59);
            }
        }
    }
    return 0;
}
