#pragma once
// The client side of a serial device server that speaks Telnet with the COM-port option
// (RFC 2217, Telnet option 44): it asks the server to set the meter line's speed and format,
// escapes the line's data for Telnet and takes Telnet's commands out of what comes back. Bytes in,
// bytes out, no sockets: the transports move the bytes, so this part is tested and fuzzed alone.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zol::tools {

// Telnet's command bytes (RFC 854) and the options this client speaks.
namespace telnet {
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;
}  // namespace telnet

// The COM-port option's values for parity and stop bits, as they go over the wire.
enum class Parity : std::uint8_t { kNone = 1, kOdd = 2, kEven = 3, kMark = 4, kSpace = 5 };
enum class StopBits : std::uint8_t { kOne = 1, kTwo = 2, kOneAndHalf = 3 };

struct LineFormat {
    std::uint32_t baud = 1200;
    std::uint8_t data_bits = 8;
    Parity parity = Parity::kNone;
    StopBits stop_bits = StopBits::kTwo;
    bool operator==(const LineFormat&) const = default;
};

// "1200 8N2", the way line settings are written on meters and device servers.
std::string LineFormatText(const LineFormat& line);

class Rfc2217Client {
   public:
    enum class Stage {
        kNegotiating,  // the server has not yet confirmed every setting
        kLineSet,      // the server confirmed the speed and format asked for
        kRefused,      // the server does not do the COM-port option
        kOtherLine,    // the server confirmed settings other than those asked for
    };

    // `signature` is what the client calls itself when the server asks.
    explicit Rfc2217Client(LineFormat wanted, std::string signature = {});

    // The opening bytes: binary transmission and no go-ahead both ways, and the COM-port
    // option. The line settings follow when the server agrees to the option.
    void Start(std::vector<std::uint8_t>& to_server);

    // Appends the line data `data` as it goes to the server: every 0xFF doubled, and a carriage
    // return followed by a NUL while the server has not agreed to binary data from this side.
    void EncodeData(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& to_server) const;

    // Takes bytes as they came from the server, in pieces of any size: appends the line's data
    // to `data` and the answers the server's negotiation needs to `to_server`. A command split
    // across two pieces is completed by the second.
    void Decode(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data,
                std::vector<std::uint8_t>& to_server);

    Stage LineStage() const { return stage_; }
    const LineFormat& WantedLine() const { return wanted_; }
    // The settings the server reported; those it has not reported yet are 0.
    const LineFormat& ServerLine() const { return server_line_; }
    // The server's last line-state and modem-state notifications, when it sent any.
    std::optional<std::uint8_t> LineState() const { return line_state_; }
    std::optional<std::uint8_t> ModemState() const { return modem_state_; }
    const std::string& ServerSignature() const { return server_signature_; }

   private:
    // Each side of an option (RFC 1143): off, asked for and not yet answered, or on.
    enum class OptionState : std::uint8_t { kNo, kWantYes, kYes };
    enum class Phase : std::uint8_t { kData, kIac, kOption, kSub, kSubIac };

    void Command(std::uint8_t command);
    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& to_server);
    void Subnegotiation(std::vector<std::uint8_t>& to_server);
    void SendLineSettings(std::vector<std::uint8_t>& to_server) const;
    void SendSub(std::uint8_t command, std::span<const std::uint8_t> value,
                 std::vector<std::uint8_t>& to_server) const;

    LineFormat wanted_;
    std::string signature_;
    Stage stage_ = Stage::kNegotiating;
    LineFormat server_line_{0, 0, Parity{}, StopBits{}};  // zero: not reported yet
    std::uint8_t confirmed_ = 0;  // one bit per setting the server has reported
    std::optional<std::uint8_t> line_state_, modem_state_;
    std::string server_signature_;

    std::array<OptionState, 256> ours_{};    // options this side performs
    std::array<OptionState, 256> theirs_{};  // options the server performs
    Phase phase_ = Phase::kData;
    std::uint8_t verb_ = 0;          // WILL, WONT, DO or DONT awaiting its option byte
    std::vector<std::uint8_t> sub_;  // a subnegotiation's bytes, undoubled
    bool sub_overflow_ = false;
    bool after_cr_ = false;  // the last data byte was a CR in the server's text mode
};

}  // namespace zol::tools
