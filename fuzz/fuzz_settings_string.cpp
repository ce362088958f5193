// Stored setting strings and string-holder lines on arbitrary bytes. The first byte picks the
// variant. Checked: the encoder writes one line of printable ASCII that decodes back to any
// UTF-8 text, and the decoders never fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zolShared/Public/Common/zolRegSettings.h"
#include "zolShared/Public/Common/zolStringHolder.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// Strict UTF-8, written independently of the code under test.
bool ValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80         ? 1
                        : (b >> 5) == 6  ? 2
                        : (b >> 4) == 14 ? 3
                        : (b >> 3) == 30 ? 4
                                         : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0: {
            const std::string stored = zol::common::EncodeSettingString(text);
            for (char c : stored) {
                const auto b = static_cast<unsigned char>(c);
                Check(b >= 0x20 && b <= 0x7F);
            }
            Check(stored.empty() || (stored.front() != ' ' && stored.back() != ' '));
            if (ValidUtf8(text)) Check(zol::common::DecodeSettingString(stored) == text);
            break;
        }
        case 1:
            (void)zol::common::DecodeSettingString(text);
            break;
        default: {
            // Key and item split at the first zero byte; every stored version.
            const auto zero = text.find('\0');
            const std::string key =
                zero == std::string::npos ? std::string() : text.substr(0, zero);
            const std::string item = zero == std::string::npos ? text : text.substr(zero + 1);
            for (std::int32_t version = 0; version <= 2; ++version) {
                (void)zol::common::DecodeHolderLine(item, key, version);
            }
            if (ValidUtf8(item) && ValidUtf8(key)) {
                Check(zol::common::DecodeHolderLine(zol::common::EncodeHolderLine(item, key), key,
                                                    2) == item);
            }
            break;
        }
    }
    return 0;
}
