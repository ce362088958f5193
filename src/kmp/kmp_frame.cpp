#include "kmp/kmp_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "translation/text_format.h"
#include "zolShared/Public/Common/CrcUtils.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmp {

std::vector<std::uint8_t> KmpStuff(std::span<const std::uint8_t> body, std::uint8_t start) {
    std::vector<std::uint8_t> frame;
    frame.reserve(body.size() * 2 + 2);
    frame.push_back(start);
    for (std::uint8_t b : body) {
        if (NeedsEscape(b)) {
            frame.push_back(KmpEscape);
            frame.push_back(static_cast<std::uint8_t>(~b));
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(KmpStop);
    return frame;
}

void KmpUnstuff(std::span<const std::uint8_t> stuffed, std::vector<std::uint8_t>& body) {
    // Unstuffing never lengthens: room for all of it at once rather than growth byte by byte.
    if (body.capacity() - body.size() < stuffed.size()) {
        body.reserve(std::max(body.size() + stuffed.size(), 2 * body.capacity()));
    }
    for (std::size_t i = 0; i < stuffed.size(); ++i) {
        if (stuffed[i] != KmpEscape) {
            body.push_back(stuffed[i]);
        } else if (i + 1 < stuffed.size()) {
            body.push_back(static_cast<std::uint8_t>(~stuffed[++i]));
        }
        // A trailing escape byte has nothing to escape and is dropped.
    }
}

void AppendKmpCrc(std::vector<std::uint8_t>& body) {
    common::WriteBe16(body, common::KmpCrc(body));
}

bool KmpBodyVerified(std::span<const std::uint8_t> body) noexcept {
    if (body.size() < kMinBodySize) return false;
    const auto payload = body.first(body.size() - 2);
    return common::KmpCrc(payload) == common::ReadBe16(body.last<2>());
}

std::vector<std::uint8_t> BuildIdentificationRequest(std::uint8_t address, std::uint8_t cid) {
    std::vector<std::uint8_t> body;
    body.reserve(4);
    body.insert(body.end(), {address, cid});
    AppendKmpCrc(body);
    return body;
}

std::vector<std::uint8_t> BuildRegisterRequest(std::uint8_t address,
                                               std::span<const std::uint16_t> register_ids) {
    if (register_ids.size() > kMaxRequestRegisters) {
        register_ids = register_ids.first(kMaxRequestRegisters);
    }
    std::vector<std::uint8_t> body;
    // Address, CID, count, two bytes an id and the checksum: one allocation.
    body.reserve(3 + 2 * register_ids.size() + 2);
    body.insert(body.end(),
                {address, CidGetRegister, static_cast<std::uint8_t>(register_ids.size())});
    for (std::uint16_t id : register_ids) common::WriteBe16(body, id);
    AppendKmpCrc(body);
    return body;
}

std::string InvalidCrcMessage(std::uint16_t received, std::uint16_t computed, std::uint8_t address,
                              std::uint8_t cid, std::string_view format) {
    // The message comes from a language file: only the formatter that survives a translator's
    // mistakes may read it. The frame's address and CID follow in a fixed form.
    std::string text =
        translation::FormatText(format, {std::int64_t{received}, std::int64_t{computed}});
    char where[16];
    std::snprintf(where, sizeof where, " [%u,%.2X]", unsigned{address}, unsigned{cid});
    return text + where;
}

FrameScanResult ScanFrames(std::span<const std::uint8_t> bytes, FrameAcceptorRef accept,
                           ScanLoggerRef log, std::vector<std::uint8_t>& body,
                           std::string_view crc_format) {
    body.clear();
    const std::size_t n = bytes.size();
    const std::uint8_t* data = bytes.data();
    std::size_t p = 0;
    while (p + kMinFrameSize <= n) {
        // Anything but a response start byte (noise, stray acknowledges) is passed over.
        const void* start = std::memchr(data + p, KmpRespStart, n - kMinFrameSize + 1 - p);
        if (start == nullptr) {
            p = n - kMinFrameSize + 1;
            break;
        }
        p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(start) - data);
        const void* stop_ptr = std::memchr(data + p + 1, KmpStop, n - p - 1);
        if (stop_ptr == nullptr) {
            // The stop byte has not arrived yet; no later start can be complete either.
            return {p, 0};
        }
        const auto stop =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(stop_ptr) - data);
        // A start byte is always escaped inside a body, so only the last one before the stop
        // byte can begin a frame; the ones before it are noise. Checking each of them would
        // log a checksum error per byte of a run of start bytes, and cost time quadratic in it.
        for (std::size_t last = stop - 1; last > p; --last) {
            if (data[last] == KmpRespStart) {
                p = last;
                break;
            }
        }

        body.clear();
        KmpUnstuff(bytes.subspan(p + 1, stop - p - 1), body);
        if (body.size() < kMinBodySize) {
            // Too short to hold address, CID and checksum: noise. Only its start byte is dropped,
            // since a real frame may begin inside it.
            ++p;
            continue;
        }
        const std::span<const std::uint8_t> view(body);
        const std::uint16_t received = common::ReadBe16(view.last<2>());
        const std::uint16_t computed = common::KmpCrc(view.first(body.size() - 2));
        if (received != computed) {
            if (log) {
                log(kInvalidCrcLogLevel,
                    InvalidCrcMessage(received, computed, body[0], body[1], crc_format));
            }
            ++p;
            continue;
        }
        if (accept && accept(view)) return {p, stop - p + 1};
        p = stop + 1;
    }
    body.clear();
    return {p, 0};
}

int FindFrame(common::TFIFOStream& fifo, FrameAcceptorRef accept, ScanLoggerRef log,
              std::vector<std::uint8_t>& body, std::string_view crc_format) {
    struct Unlocker {
        common::TFIFOStream& fifo;
        ~Unlocker() { fifo.Unlock(); }
    };
    const std::span<const std::uint8_t> held = fifo.LockData();
    Unlocker unlocker{fifo};
    if (held.size() < kMinFrameSize) {
        body.clear();
        return -1;
    }
    const FrameScanResult result = ScanFrames(held, accept, log, body, crc_format);
    if (result.passed_over > 0) fifo.Discard(result.passed_over);
    return result.frame_size > 0 ? static_cast<int>(result.frame_size) : -1;
}

}  // namespace zol::kmp
