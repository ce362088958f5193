#pragma once
// Reaching a serial device server from the Windows tools: Windows sockets started once for the
// process, a TCP connection made within a time limit, and whole writes and bounded reads on it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zol::tools {

// Winsock is started once for the process and left running until it ends.
inline bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Connects to `target` within `timeout_ms`; INVALID_SOCKET when that fails.
inline SOCKET ConnectWithin(const addrinfo& target, std::uint32_t timeout_ms) {
    SOCKET s = socket(target.ai_family, target.ai_socktype, target.ai_protocol);
    if (s == INVALID_SOCKET) return s;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    if (connect(s, target.ai_addr, static_cast<int>(target.ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval timeout{static_cast<long>(timeout_ms / 1000),
                    static_cast<long>((timeout_ms % 1000) * 1000)};
    int socket_error = 0;
    int length = sizeof socket_error;
    if (select(0, nullptr, &writable, &failed, &timeout) != 1 || !FD_ISSET(s, &writable) ||
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socket_error), &length) != 0 ||
        socket_error != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    non_blocking = 0;
    ioctlsocket(s, FIONBIO, &non_blocking);
    // Requests are a few bytes each and the meter waits for them: send them at once.
    BOOL no_delay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof no_delay);
    return s;
}

// Connects to HOST:PORT, trying each address the name resolves to; INVALID_SOCKET with `error`
// set when none answers within `timeout_ms`.
inline SOCKET ConnectTcp(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms,
                         std::string& error) {
    if (!StartWinsock()) {
        error = "cannot start Windows sockets";
        return INVALID_SOCKET;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // A bracketed IPv6 address is written so only to keep its colons apart from the port's.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        error = "cannot resolve " + host;
        return INVALID_SOCKET;
    }
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        s = ConnectWithin(*a, timeout_ms);
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) error = "cannot connect to " + host + ":" + std::to_string(port);
    return s;
}

// Writes every byte; false when the connection failed.
inline bool SendAll(SOCKET s, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const int n =
            send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Waits at most `timeout_ms` for bytes and appends what came (nothing on timeout); false when
// the server closed the connection or it failed.
inline bool ReceiveWithin(SOCKET s, std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{static_cast<long>(timeout_ms / 1000),
                    static_cast<long>((timeout_ms % 1000) * 1000)};
    const int ready = select(0, &readable, nullptr, nullptr, &timeout);
    if (ready < 0) return false;
    if (ready == 0) return true;
    char buffer[512];
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return false;  // 0: the server closed the connection
    out.insert(out.end(), buffer, buffer + n);
    return true;
}

}  // namespace zol::tools
