// Serial device servers as kmptool read's line: the bytes of a TCP connection, raw or through the
// Telnet COM-port codec, which keeps Telnet's commands out of the meter's replies.
#include <memory>

#include "common/device_server.h"
#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

// How long a device server gets to accept the connection and to confirm the line settings.
constexpr std::uint32_t kConnectTimeoutMs = 5000;

class DeviceServerLine : public Transport {
   public:
    // Without `telnet` the bytes go raw.
    DeviceServerLine(std::unique_ptr<TcpConnection> connection,
                     std::unique_ptr<tools::Rfc2217Client> telnet, std::string where)
        : connection_(std::move(connection)),
          telnet_(std::move(telnet)),
          where_(std::move(where)) {}

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (!telnet_) return Sent(connection_->Send(bytes));
        std::vector<std::uint8_t> encoded;
        telnet_->EncodeData(bytes, encoded);
        return Sent(connection_->Send(encoded));
    }

    std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) override {
        std::vector<std::uint8_t> received, data, answers;
        if (!failure_.empty()) return data;
        if (!connection_->Receive(timeout_ms, received)) {
            failure_ = where_ + " closed the connection";
            return data;
        }
        if (!telnet_) return received;
        telnet_->Decode(received, data, answers);
        if (!answers.empty()) Sent(connection_->Send(answers));
        return data;
    }

    std::uint64_t NowMs() override { return connection_->NowMs(); }

    std::string FailureText() const override { return failure_; }

   private:
    bool Sent(bool ok) {
        if (!ok && failure_.empty()) failure_ = "cannot write to " + where_;
        return ok;
    }

    std::unique_ptr<TcpConnection> connection_;
    std::unique_ptr<tools::Rfc2217Client> telnet_;
    std::string where_;
    std::string failure_;
};

}  // namespace

std::unique_ptr<Transport> OpenDeviceServer(const tools::DeviceServerAddress& address,
                                            const SerialSettings& settings, std::string& error) {
    auto connection = ConnectTcp(address.host, address.port, kConnectTimeoutMs, error);
    if (!connection) return nullptr;
    const std::string where = tools::DeviceServerName(address);
    if (!address.rfc2217)
        return std::make_unique<DeviceServerLine>(std::move(connection), nullptr, where);
    tools::LineFormat line;
    line.baud = settings.baud;
    auto telnet = std::make_unique<tools::Rfc2217Client>(line, "kmptool");
    const tools::ByteConnection session{
        [&](std::span<const std::uint8_t> bytes) { return connection->Send(bytes); },
        [&](std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) {
            return connection->Receive(timeout_ms, out);
        }};
    if (!tools::OpenComPortSession(*telnet, session, kConnectTimeoutMs, where, error)) {
        return nullptr;
    }
    return std::make_unique<DeviceServerLine>(std::move(connection), std::move(telnet), where);
}

}  // namespace zol::kmptool
