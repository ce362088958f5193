// Device-server port texts, and the opening of a COM-port session against scripted servers: the
// ways it ends (line set, refused, another line, hung up, silent) and the texts it ends with.
#include "common/device_server.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "kmp/test_hex.h"

namespace zol::tools {
namespace {

using kmp::test::Hex;
using kmp::test::ToHex;

TEST(DeviceServerAddress, PortTextsNameTheServerAndHowToTalkToIt) {
    const struct {
        const char* text;
        bool rfc2217;
        const char* name;
    } good[] = {
        {"tcp:10.0.0.7:4001", false, "10.0.0.7:4001"},
        {"TCP:[::1]:23", false, "[::1]:23"},
        {"rfc2217:127.0.0.1:2217", true, "127.0.0.1:2217"},
        {"RFC2217:moxa-north:4001", true, "moxa-north:4001"},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(NamesDeviceServer(c.text));
        std::string error;
        const auto address = ParseDeviceServerAddress(c.text, error);
        ASSERT_TRUE(address) << error;
        EXPECT_EQ(address->rfc2217, c.rfc2217);
        EXPECT_EQ(DeviceServerName(*address), c.name);
    }
    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"tcp:host", "'tcp:host' is not tcp:HOST:PORT"},
        {"tcp:host:0", "'tcp:host:0' is not tcp:HOST:PORT"},
        {"tcp:host:65536", "'tcp:host:65536' is not tcp:HOST:PORT"},
        {"tcp::5", "'tcp::5' is not tcp:HOST:PORT"},
        {"rfc2217:host:", "'rfc2217:host:' is not rfc2217:HOST:PORT"},
        {"rfc2217:", "'rfc2217:' is not rfc2217:HOST:PORT"},
        {"telnet:host:23", "'telnet:host:23' is not tcp:HOST:PORT or rfc2217:HOST:PORT"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(ParseDeviceServerAddress(c.text, error));
        EXPECT_EQ(error, c.error);
    }
    EXPECT_FALSE(NamesDeviceServer("COM3"));
    EXPECT_FALSE(NamesDeviceServer("/dev/ttyUSB0"));
}

// A server that answers each write of the client with its next scripted reply, and records
// what it was sent. An exhausted script is silence (`hang_up`: a closed connection).
struct ScriptedServer {
    std::deque<std::string> replies;
    bool hang_up = false;
    std::vector<std::uint8_t> sent;
    std::vector<std::uint8_t> pending;

    ByteConnection Connection() {
        return {[this](std::span<const std::uint8_t> bytes) {
                    sent.insert(sent.end(), bytes.begin(), bytes.end());
                    if (!replies.empty()) {
                        const auto reply = Hex(replies.front());
                        replies.pop_front();
                        pending.insert(pending.end(), reply.begin(), reply.end());
                    }
                    return true;
                },
                [this](std::uint32_t, std::vector<std::uint8_t>& out) {
                    if (pending.empty()) return !hang_up;
                    out.insert(out.end(), pending.begin(), pending.end());
                    pending.clear();
                    return true;
                }};
    }
};

TEST(DeviceServerSession, OpensOnlyWhenTheServerConfirmsTheLine) {
    const std::string acks_1200_8n2 =
        "FF FA 2C 65 00 00 04 B0 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 01 FF F0 "
        "FF FA 2C 68 02 FF F0";
    const struct {
        const char* name;
        std::vector<std::string> replies;  // one per write of the client
        bool hang_up;
        bool opened;
        const char* error;
    } cases[] = {
        {"a greeting after a banner, then the acks",
         {"73 65 72 FF FD 2C FF FB 00 FF FD 00", acks_1200_8n2},
         false,
         true,
         ""},
        {"the COM-port option refused",
         {"FF FE 2C"},
         false,
         false,
         "127.0.0.1:2217 does not set the line (it refused the RFC 2217 COM-port option)"},
        {"another line confirmed",
         {"FF FD 2C",
          "FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 01 FF F0 "
          "FF FA 2C 68 01 FF F0"},
         false,
         false,
         "127.0.0.1:2217 set its line to 9600 8N1, not 1200 8N2"},
        {"hung up while the line was being set",
         {"FF FD 2C"},
         true,
         false,
         "127.0.0.1:2217 closed the connection while the line was being set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server{{c.replies.begin(), c.replies.end()}, c.hang_up, {}, {}};
        Rfc2217Client client({}, "kmptool");
        std::string error;
        EXPECT_EQ(OpenComPortSession(client, server.Connection(), 5000, "127.0.0.1:2217", error),
                  c.opened);
        EXPECT_EQ(error, c.error);
        // The client's first bytes always open with its offers.
        EXPECT_EQ(ToHex(std::vector(server.sent.begin(), server.sent.begin() + 15)),
                  "FF FB 00 FF FB 03 FF FB 2C FF FD 00 FF FD 03");
    }
}

TEST(DeviceServerSession, ARawTcpServerThatNeverAnswersIsNamedAsSuch) {
    // No time to wait: the deadline has passed before the first read.
    ScriptedServer server;
    Rfc2217Client client({});
    std::string error;
    EXPECT_FALSE(OpenComPortSession(client, server.Connection(), 0, "127.0.0.1:4001", error));
    EXPECT_EQ(error,
              "no RFC 2217 answer from 127.0.0.1:4001 within 0 ms (a raw TCP port is reached with "
              "tcp:)");
}

}  // namespace
}  // namespace zol::tools
