#pragma once
// The KMP frame codec: frame constants, byte stuffing, the three request bodies the master sends,
// and the scan that finds, unstuffs and verifies response frames in a client's receive queue.
//
// On the wire a frame is: start byte, stuffed body, stop byte. The body is address, CID, command
// data and the CRC-16/XMODEM of those, high byte first. What a verified frame means is the
// caller's business; the scan only asks it whether to accept a frame.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Public/Common/fifo_stream.h"
#include "zolShared/Public/Common/function_ref.h"

namespace zol::kmp {

inline constexpr std::uint8_t KmpReqStart = 0x80;   // master to meter
inline constexpr std::uint8_t KmpRespStart = 0x40;  // meter to master
inline constexpr std::uint8_t KmpStop = 0x0D;
inline constexpr std::uint8_t KmpEscape = 0x1B;
inline constexpr std::uint8_t KmpAck = 0x06;

inline constexpr std::uint8_t CidGetType = 0x01;
inline constexpr std::uint8_t CidGetSerialNo = 0x02;
inline constexpr std::uint8_t CidGetRegister = 0x10;

// A register request carries at most this many register ids; later ones are not requested.
inline constexpr std::size_t kMaxRequestRegisters = 8;
// Address, CID and checksum: the shortest body that is a frame at all.
inline constexpr std::size_t kMinBodySize = 4;
// Start byte, the shortest body and the stop byte.
inline constexpr std::size_t kMinFrameSize = kMinBodySize + 2;
// The plug-in log level of a checksum error.
inline constexpr int kInvalidCrcLogLevel = 1;

// True for the body bytes that must be sent escaped.
constexpr bool NeedsEscape(std::uint8_t b) noexcept {
    return b == KmpReqStart || b == KmpRespStart || b == KmpStop || b == KmpAck || b == KmpEscape;
}

// The whole frame for `body`: `start`, the stuffed body, KmpStop. Every reserved body byte goes
// out as KmpEscape followed by its complement, so the frame is at most 2 × body + 2 bytes.
std::vector<std::uint8_t> KmpStuff(std::span<const std::uint8_t> body,
                                   std::uint8_t start = KmpReqStart);

// Appends the unstuffed form of the bytes between a start and a stop byte to `body`. An escape
// byte with nothing after it is dropped.
void KmpUnstuff(std::span<const std::uint8_t> stuffed, std::vector<std::uint8_t>& body);

// Appends the checksum of `body` (address, CID, data so far), high byte first.
void AppendKmpCrc(std::vector<std::uint8_t>& body);

// True when `body` is at least address, CID and checksum and its checksum matches.
bool KmpBodyVerified(std::span<const std::uint8_t> body) noexcept;

// Request bodies, checksum included; pass them through KmpStuff to send.
// Type or serial-number request: address, CID, checksum.
std::vector<std::uint8_t> BuildIdentificationRequest(std::uint8_t address, std::uint8_t cid);
// Register request: address, CidGetRegister, count, ids high byte first, checksum. Only the first
// kMaxRequestRegisters ids are requested.
std::vector<std::uint8_t> BuildRegisterRequest(std::uint8_t address,
                                               std::span<const std::uint16_t> register_ids);

// The message of a checksum error as the message table holds it before translation: the
// received checksum, then the computed one.
inline constexpr std::string_view kInvalidCrcFormat = "Invalid CRC (%.4x,%.4x)";

// The log line of a checksum error: `format` (the message, translated or not) filled with the
// received and computed checksums, then " [", the address in decimal, ",", the CID in two
// hexadecimal digits and "]". A translation that mangles its conversions cannot fault it.
std::string InvalidCrcMessage(std::uint16_t received, std::uint16_t computed, std::uint8_t address,
                              std::uint8_t cid, std::string_view format = kInvalidCrcFormat);

// Decides whether a verified body answers what the caller is waiting for.
using FrameAcceptor = std::function<bool(std::span<const std::uint8_t> body)>;
// Receives log lines from the scan (level, text).
using ScanLogger = std::function<void(int level, std::string_view text)>;
// What the scans take: any callable of those forms (a FrameAcceptor, a ScanLogger, a lambda),
// called during the scan only and never copied.
using FrameAcceptorRef = common::FunctionRef<bool(std::span<const std::uint8_t> body)>;
using ScanLoggerRef = common::FunctionRef<void(int level, std::string_view text)>;

// Outcome of one pass of the scan over a block of received bytes.
struct FrameScanResult {
    // Bytes at the front that the scan passed over: noise, frames with a bad checksum and
    // verified frames that were not accepted. Never part of an incomplete or accepted frame.
    std::size_t passed_over = 0;
    // Wire length (start to stop byte, inclusive) of the accepted frame, which begins right
    // after the passed-over bytes; 0 when no frame was accepted.
    std::size_t frame_size = 0;
};

// One pass over `bytes` as the front of a receive queue. A start byte is only considered when at
// least kMinFrameSize bytes lie from it to the end. Each verified frame is offered to `accept`;
// the first one accepted ends the pass with its unstuffed body in `body`. Checksum errors are
// logged through `log` (may be empty), written with `crc_format` (see InvalidCrcMessage). Never
// reads outside `bytes`.
FrameScanResult ScanFrames(std::span<const std::uint8_t> bytes, FrameAcceptorRef accept,
                           ScanLoggerRef log, std::vector<std::uint8_t>& body,
                           std::string_view crc_format = kInvalidCrcFormat);

// The scan over a receive queue, holding its lock throughout. Removes the bytes it passed over;
// when a frame was accepted, its body is in `body`, it now lies at the front of the queue and its
// wire length is returned: the caller removes exactly that many bytes once it has decoded the
// frame. Returns -1 when no frame was accepted. A frame whose stop byte has not arrived yet, and
// anything after the accepted frame, stays in the queue. Checksum errors are logged as
// ScanFrames logs them.
int FindFrame(common::TFIFOStream& fifo, FrameAcceptorRef accept, ScanLoggerRef log,
              std::vector<std::uint8_t>& body, std::string_view crc_format = kInvalidCrcFormat);

}  // namespace zol::kmp
