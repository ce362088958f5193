// A serial device server reached over TCP, the way technicians reach remote meters: the meter's
// line as raw bytes both ways, or inside Telnet with the COM-port option, which also sets the
// line's speed and format on the server.
#include <memory>
#include <mutex>

#include "common/device_server.h"
#include "common/win32_socket.h"
#include "hostsim/port_transport.h"

namespace zol::hostsim {

namespace {

class TcpPort : public PortTransport {
   public:
    // Without `telnet` the bytes go raw; with it, through its codec.
    TcpPort(SOCKET socket, std::unique_ptr<tools::Rfc2217Client> telnet)
        : socket_(socket), telnet_(std::move(telnet)) {}
    ~TcpPort() override { closesocket(socket_); }
    TcpPort(const TcpPort&) = delete;
    TcpPort& operator=(const TcpPort&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!telnet_) return tools::SendAll(socket_, bytes);
        encoded_.clear();
        telnet_->EncodeData(bytes, encoded_);
        return tools::SendAll(socket_, encoded_);
    }

    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        if (!telnet_) return tools::ReceiveWithin(socket_, timeout_ms, out);
        std::vector<std::uint8_t> received;
        if (!tools::ReceiveWithin(socket_, timeout_ms, received)) return false;
        // The codec is shared with writers, and its answers go out between their data.
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::uint8_t> answers;
        telnet_->Decode(received, out, answers);
        return answers.empty() || tools::SendAll(socket_, answers);
    }

   private:
    SOCKET socket_;
    std::unique_ptr<tools::Rfc2217Client> telnet_;
    std::mutex lock_;  // guards writes to the socket and the codec
    std::vector<std::uint8_t> encoded_;
};

}  // namespace

std::unique_ptr<PortTransport> OpenTcpPort(const std::string& host, std::uint16_t port,
                                           std::uint32_t connect_timeout_ms, std::string& error) {
    const SOCKET s = tools::ConnectTcp(host, port, connect_timeout_ms, error);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<TcpPort>(s, nullptr);
}

std::unique_ptr<PortTransport> OpenRfc2217Port(const std::string& host, std::uint16_t port,
                                               std::uint32_t baud, std::uint32_t connect_timeout_ms,
                                               std::string& error) {
    const SOCKET s = tools::ConnectTcp(host, port, connect_timeout_ms, error);
    if (s == INVALID_SOCKET) return nullptr;
    tools::LineFormat line;
    line.baud = baud;
    auto telnet = std::make_unique<tools::Rfc2217Client>(line, "hostsim");
    const tools::ByteConnection connection{
        [s](std::span<const std::uint8_t> bytes) { return tools::SendAll(s, bytes); },
        [s](std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) {
            return tools::ReceiveWithin(s, timeout_ms, out);
        }};
    const std::string where = host + ":" + std::to_string(port);
    if (!tools::OpenComPortSession(*telnet, connection, connect_timeout_ms, where, error)) {
        closesocket(s);
        return nullptr;
    }
    return std::make_unique<TcpPort>(s, std::move(telnet));
}

}  // namespace zol::hostsim
