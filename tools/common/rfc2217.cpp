#include "common/rfc2217.h"

namespace zol::tools {

namespace {

using namespace telnet;

// The COM-port option's commands as the client sends them; the server answers each with the
// same code plus 100.
constexpr std::uint8_t kSignature = 0;
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kNotifyLineState = 6;
constexpr std::uint8_t kNotifyModemState = 7;
constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values: no flow control, and DTR and RTS on, as a COM port is opened for a KMP
// line (optical heads draw their power from those two lines).
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kRtsOn = 11;

// Bits of `confirmed_`, one per setting the server must report back.
constexpr std::uint8_t kBaudConfirmed = 1;
constexpr std::uint8_t kDataSizeConfirmed = 2;
constexpr std::uint8_t kParityConfirmed = 4;
constexpr std::uint8_t kStopSizeConfirmed = 8;
constexpr std::uint8_t kAllConfirmed = 15;

// A subnegotiation longer than this is not one this client reads (the longest it reads is a
// server's signature text); it is skipped up to its end.
constexpr std::size_t kMaxSubnegotiation = 256;

constexpr std::uint8_t kCr = 0x0D;

// The options this side performs when asked, and those it lets the server perform: binary data
// (no text-mode line endings on a binary line) and no go-ahead both ways, and the COM-port
// option from this side. Everything else is refused.
bool WeOffer(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool WeAccept(std::uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

void PutCommand(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, verb, option});
}

}  // namespace

std::string LineFormatText(const LineFormat& line) {
    static constexpr char kParityLetters[] = "?NOEMS";
    const auto parity = static_cast<std::size_t>(line.parity);
    std::string text = std::to_string(line.baud) + " " + std::to_string(line.data_bits);
    text += parity < sizeof kParityLetters - 1 ? kParityLetters[parity] : '?';
    switch (line.stop_bits) {
        case StopBits::kOne:
            text += "1";
            break;
        case StopBits::kTwo:
            text += "2";
            break;
        case StopBits::kOneAndHalf:
            text += "1.5";
            break;
        default:
            text += "?";
            break;
    }
    return text;
}

Rfc2217Client::Rfc2217Client(LineFormat wanted, std::string signature)
    : wanted_(wanted), signature_(std::move(signature)) {}

void Rfc2217Client::Start(std::vector<std::uint8_t>& to_server) {
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
        if (ours_[option] == OptionState::kNo) {
            ours_[option] = OptionState::kWantYes;
            PutCommand(kWill, option, to_server);
        }
    }
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        if (theirs_[option] == OptionState::kNo) {
            theirs_[option] = OptionState::kWantYes;
            PutCommand(kDo, option, to_server);
        }
    }
}

void Rfc2217Client::EncodeData(std::span<const std::uint8_t> data,
                               std::vector<std::uint8_t>& to_server) const {
    const bool text_mode = ours_[kBinary] != OptionState::kYes;
    for (const std::uint8_t b : data) {
        to_server.push_back(b);
        if (b == kIac) to_server.push_back(kIac);
        // In Telnet's text mode a bare CR must be sent as CR NUL (RFC 854).
        if (b == kCr && text_mode) to_server.push_back(0);
    }
}

void Rfc2217Client::Decode(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
                           std::vector<std::uint8_t>& to_server) {
    for (const std::uint8_t b : bytes) {
        switch (phase_) {
            case Phase::kData:
                if (b == kIac) {
                    phase_ = Phase::kIac;
                } else if (after_cr_ && b == 0) {
                    after_cr_ = false;  // the NUL of a text-mode CR NUL is not line data
                } else {
                    after_cr_ = b == kCr && theirs_[kBinary] != OptionState::kYes;
                    data.push_back(b);
                }
                break;
            case Phase::kIac:
                if (b == kIac) {
                    after_cr_ = false;
                    data.push_back(kIac);
                    phase_ = Phase::kData;
                } else {
                    Command(b);
                }
                break;
            case Phase::kOption:
                Negotiate(verb_, b, to_server);
                phase_ = Phase::kData;
                break;
            case Phase::kSub:
                if (b == kIac) {
                    phase_ = Phase::kSubIac;
                } else if (sub_.size() < kMaxSubnegotiation) {
                    sub_.push_back(b);
                } else {
                    sub_overflow_ = true;
                }
                break;
            case Phase::kSubIac:
                if (b == kIac) {
                    if (sub_.size() < kMaxSubnegotiation) {
                        sub_.push_back(kIac);
                    } else {
                        sub_overflow_ = true;
                    }
                    phase_ = Phase::kSub;
                } else if (b == kSe) {
                    if (!sub_overflow_) Subnegotiation(to_server);
                    phase_ = Phase::kData;
                } else {
                    // IAC and anything but IAC or SE cannot stand inside a subnegotiation: the
                    // server ended it without SE. It is dropped and the command taken as such.
                    Command(b);
                }
                break;
        }
    }
}

// The byte after an IAC outside a subnegotiation (other than a second IAC).
void Rfc2217Client::Command(std::uint8_t command) {
    if (command == kWill || command == kWont || command == kDo || command == kDont) {
        verb_ = command;
        phase_ = Phase::kOption;
    } else if (command == kSb) {
        sub_.clear();
        sub_overflow_ = false;
        phase_ = Phase::kSub;
    } else {
        // NOP, data mark, break, go-ahead and the like carry nothing for a meter line; a stray
        // SE or an undefined code is dropped with them.
        phase_ = Phase::kData;
    }
}

// Answers one negotiation of the server so that no request loops: a request for what is already
// so, or the answer to this side's own request, gets no reply.
void Rfc2217Client::Negotiate(std::uint8_t verb, std::uint8_t option,
                              std::vector<std::uint8_t>& to_server) {
    switch (verb) {
        case kWill: {
            if (!WeAccept(option)) {
                PutCommand(kDont, option, to_server);
                return;
            }
            if (theirs_[option] == OptionState::kNo) PutCommand(kDo, option, to_server);
            theirs_[option] = OptionState::kYes;
            return;
        }
        case kWont: {
            if (theirs_[option] == OptionState::kYes) PutCommand(kDont, option, to_server);
            theirs_[option] = OptionState::kNo;
            return;
        }
        case kDo: {
            if (!WeOffer(option)) {
                PutCommand(kWont, option, to_server);
                return;
            }
            const OptionState before = ours_[option];
            if (before == OptionState::kYes) return;
            if (before == OptionState::kNo) PutCommand(kWill, option, to_server);
            ours_[option] = OptionState::kYes;
            if (option == kComPort) SendLineSettings(to_server);
            return;
        }
        case kDont: {
            if (ours_[option] == OptionState::kYes) PutCommand(kWont, option, to_server);
            ours_[option] = OptionState::kNo;
            if (option == kComPort && stage_ == Stage::kNegotiating) stage_ = Stage::kRefused;
            return;
        }
        default:
            return;
    }
}

void Rfc2217Client::SendSub(std::uint8_t command, std::span<const std::uint8_t> value,
                            std::vector<std::uint8_t>& to_server) const {
    to_server.insert(to_server.end(), {kIac, kSb, kComPort, command});
    for (const std::uint8_t b : value) {
        to_server.push_back(b);
        if (b == kIac) to_server.push_back(kIac);
    }
    to_server.insert(to_server.end(), {kIac, kSe});
}

void Rfc2217Client::SendLineSettings(std::vector<std::uint8_t>& to_server) const {
    // The baud rate goes in network byte order.
    const std::uint8_t baud[] = {static_cast<std::uint8_t>(wanted_.baud >> 24),
                                 static_cast<std::uint8_t>(wanted_.baud >> 16),
                                 static_cast<std::uint8_t>(wanted_.baud >> 8),
                                 static_cast<std::uint8_t>(wanted_.baud)};
    SendSub(kSetBaudRate, baud, to_server);
    const std::uint8_t data_size[] = {wanted_.data_bits};
    SendSub(kSetDataSize, data_size, to_server);
    const std::uint8_t parity[] = {static_cast<std::uint8_t>(wanted_.parity)};
    SendSub(kSetParity, parity, to_server);
    const std::uint8_t stop_size[] = {static_cast<std::uint8_t>(wanted_.stop_bits)};
    SendSub(kSetStopSize, stop_size, to_server);
    for (const std::uint8_t control : {kNoFlowControl, kDtrOn, kRtsOn}) {
        const std::uint8_t value[] = {control};
        SendSub(kSetControl, value, to_server);
    }
}

void Rfc2217Client::Subnegotiation(std::vector<std::uint8_t>& to_server) {
    // Only the COM-port option's reports are read; other options were refused, so a
    // subnegotiation of theirs is the server's mistake and dropped.
    if (sub_.size() < 2 || sub_[0] != kComPort) return;
    const std::uint8_t command = sub_[1];
    const std::span<const std::uint8_t> value = std::span(sub_).subspan(2);
    const bool one_byte = value.size() == 1;
    switch (command) {
        case kServerOffset + kSignature:
            if (value.empty()) {
                // An empty signature asks for this side's own.
                const auto* text = reinterpret_cast<const std::uint8_t*>(signature_.data());
                SendSub(kSignature, std::span(text, signature_.size()), to_server);
            } else {
                server_signature_.assign(value.begin(), value.end());
            }
            return;
        case kServerOffset + kSetBaudRate:
            if (value.size() != 4) return;
            server_line_.baud = static_cast<std::uint32_t>(value[0]) << 24 |
                                static_cast<std::uint32_t>(value[1]) << 16 |
                                static_cast<std::uint32_t>(value[2]) << 8 | value[3];
            confirmed_ |= kBaudConfirmed;
            break;
        case kServerOffset + kSetDataSize:
            if (!one_byte) return;
            server_line_.data_bits = value[0];
            confirmed_ |= kDataSizeConfirmed;
            break;
        case kServerOffset + kSetParity:
            if (!one_byte) return;
            server_line_.parity = static_cast<Parity>(value[0]);
            confirmed_ |= kParityConfirmed;
            break;
        case kServerOffset + kSetStopSize:
            if (!one_byte) return;
            server_line_.stop_bits = static_cast<StopBits>(value[0]);
            confirmed_ |= kStopSizeConfirmed;
            break;
        case kServerOffset + kNotifyLineState:
            if (one_byte) line_state_ = value[0];
            return;
        case kServerOffset + kNotifyModemState:
            if (one_byte) modem_state_ = value[0];
            return;
        default:
            // SET-CONTROL answers, flow-control suspend and resume, mask and purge answers: a
            // KMP master sends a few bytes per request and waits for the meter, so none of them
            // changes what it does.
            return;
    }
    if (confirmed_ == kAllConfirmed && stage_ != Stage::kRefused) {
        stage_ = server_line_ == wanted_ ? Stage::kLineSet : Stage::kOtherLine;
    }
}

}  // namespace zol::tools
