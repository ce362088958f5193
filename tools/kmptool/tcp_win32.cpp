// TCP connections to serial device servers through Windows sockets.
#include "common/win32_socket.h"
#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

class Win32TcpConnection : public TcpConnection {
   public:
    explicit Win32TcpConnection(SOCKET socket) : socket_(socket) {}
    ~Win32TcpConnection() override { closesocket(socket_); }
    Win32TcpConnection(const Win32TcpConnection&) = delete;
    Win32TcpConnection& operator=(const Win32TcpConnection&) = delete;

    bool Send(std::span<const std::uint8_t> bytes) override {
        return tools::SendAll(socket_, bytes);
    }
    bool Receive(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        return tools::ReceiveWithin(socket_, timeout_ms, out);
    }
    std::uint64_t NowMs() override { return GetTickCount64(); }

   private:
    SOCKET socket_;
};

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          std::uint32_t timeout_ms, std::string& error) {
    const SOCKET s = tools::ConnectTcp(host, port, timeout_ms, error);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<Win32TcpConnection>(s);
}

}  // namespace zol::kmptool
