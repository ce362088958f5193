// The receive-side frame scan on arbitrary bytes. The first byte picks where the stream is split
// into two deliveries (0: not split) and whether every other verified frame is refused. Checked:
// an accepted frame lies at the queue front from its start to its stop byte and verifies, the
// bytes behind it are untouched, and splitting the stream changes nothing that is found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"

namespace {

using namespace zol;

void Check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::uint8_t> Held(common::TFIFOStream& fifo) {
    const auto data = fifo.LockData();
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    fifo.Unlock();
    return copy;
}

// Feeds `pieces` one after another, scanning after each, and returns what was found.
std::vector<std::string> Run(const std::vector<std::vector<std::uint8_t>>& pieces, bool refuse_odd,
                             std::vector<std::uint8_t>& rest) {
    std::size_t total = 0;
    for (const auto& p : pieces) total += p.size();
    common::TFIFOStream fifo(total + 1, 64, true);
    std::vector<std::string> events;
    std::size_t offered = 0;
    const kmp::FrameAcceptor accept = [&](std::span<const std::uint8_t> body) {
        Check(kmp::KmpBodyVerified(body));
        events.push_back("offer " + std::string(body.begin(), body.end()));
        return !refuse_odd || (offered++ % 2) == 0;
    };
    const kmp::ScanLogger log = [&](int level, std::string_view text) {
        Check(level == kmp::kInvalidCrcLogLevel);
        events.emplace_back(text);
    };
    std::vector<std::uint8_t> body;
    for (const auto& piece : pieces) {
        fifo.Write(piece);
        for (;;) {
            const auto before = Held(fifo);
            const int n = kmp::FindFrame(fifo, accept, log, body);
            const auto after = Held(fifo);
            // The scan only ever removes from the front.
            Check(after.size() <= before.size());
            Check(std::equal(after.begin(), after.end(),
                             before.end() - static_cast<std::ptrdiff_t>(after.size())));
            if (n < 0) break;
            const auto size = static_cast<std::size_t>(n);
            Check(size >= kmp::kMinFrameSize && size <= after.size());
            Check(after[0] == kmp::KmpRespStart && after[size - 1] == kmp::KmpStop);
            std::vector<std::uint8_t> unstuffed;
            kmp::KmpUnstuff(std::span(after).subspan(1, size - 2), unstuffed);
            Check(unstuffed == body);
            events.push_back("frame " + std::string(body.begin(), body.end()));
            fifo.Discard(size);
        }
    }
    rest = Held(fifo);
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    // Its own copy, so an over-read is seen by the sanitizer.
    std::vector<std::uint8_t> stream(data + 1, data + size);
    const bool refuse_odd = (selector & 0x80) != 0;
    const std::size_t split = stream.empty() ? 0 : (selector & 0x7F) % (stream.size() + 1);

    std::vector<std::uint8_t> whole_rest;
    const auto whole = Run({stream}, refuse_odd, whole_rest);
    if (split > 0 && split < stream.size()) {
        std::vector<std::uint8_t> split_rest;
        const auto parts =
            Run({std::vector<std::uint8_t>(stream.begin(),
                                           stream.begin() + static_cast<std::ptrdiff_t>(split)),
                 std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(split),
                                           stream.end())},
                refuse_odd, split_rest);
        Check(parts == whole);
        Check(split_rest == whole_rest);
    }
    return 0;
}
