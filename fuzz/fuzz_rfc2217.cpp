// The Telnet COM-port client on arbitrary server bytes. The first byte picks where the stream is
// cut into two reads (low seven bits) and whether the client has sent its opening first (high
// bit). Checked: cutting the stream changes nothing the client passes on, answers or concludes;
// no more line data comes out than went in; every answer is a whole Telnet command, never line
// data; and line data sent through the encoder comes back unchanged in text and binary mode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/rfc2217.h"

namespace {

using namespace zol::tools;

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> answers;
    Rfc2217Client::Stage stage;
    LineFormat server_line;
    bool operator==(const Outcome&) const = default;
};

Outcome Run(const std::vector<std::vector<std::uint8_t>>& reads, bool started) {
    Rfc2217Client client({}, "fuzz");
    Outcome out;
    if (started) {
        std::vector<std::uint8_t> opening;
        client.Start(opening);
    }
    for (const auto& read : reads) client.Decode(read, out.data, out.answers);
    out.stage = client.LineStage();
    out.server_line = client.ServerLine();
    return out;
}

// Every answer is IAC WILL/WONT/DO/DONT option, or IAC SB ... IAC SE with doubled IACs inside.
void CheckOnlyCommands(const std::vector<std::uint8_t>& answers) {
    std::size_t i = 0;
    while (i < answers.size()) {
        Check(answers[i] == telnet::kIac && i + 2 < answers.size());
        const std::uint8_t verb = answers[i + 1];
        if (verb == telnet::kSb) {
            i += 3;
            for (;;) {
                Check(i + 1 < answers.size());
                if (answers[i] == telnet::kIac) {
                    Check(answers[i + 1] == telnet::kIac || answers[i + 1] == telnet::kSe);
                    i += 2;
                    if (answers[i - 1] == telnet::kSe) break;
                } else {
                    ++i;
                }
            }
        } else {
            Check(verb >= telnet::kWill && verb <= telnet::kDont);
            i += 3;
        }
    }
}

// Line data through one client's encoder and another's decoder, both in binary mode or both in
// text mode, comes out as it went in.
void CheckRoundTrip(const std::vector<std::uint8_t>& line_data, bool binary) {
    Rfc2217Client sender({}), receiver({});
    std::vector<std::uint8_t> ignored, answers;
    if (binary) {
        const std::vector<std::uint8_t> do_binary = {telnet::kIac, telnet::kDo, telnet::kBinary};
        const std::vector<std::uint8_t> will_binary = {telnet::kIac, telnet::kWill,
                                                       telnet::kBinary};
        sender.Decode(do_binary, ignored, answers);
        receiver.Decode(will_binary, ignored, answers);
    }
    std::vector<std::uint8_t> wire, back;
    sender.EncodeData(line_data, wire);
    receiver.Decode(wire, back, answers);
    Check(back == line_data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    // Its own copy, so an over-read is seen by the sanitizer.
    const std::vector<std::uint8_t> stream(data + 1, data + size);
    const bool started = (selector & 0x80) != 0;

    const Outcome whole = Run({stream}, started);
    Check(whole.data.size() <= stream.size());
    CheckOnlyCommands(whole.answers);
    const std::size_t cut = stream.empty() ? 0 : (selector & 0x7F) % (stream.size() + 1);
    if (cut > 0 && cut < stream.size()) {
        const auto middle = stream.begin() + static_cast<std::ptrdiff_t>(cut);
        Check(Run({std::vector<std::uint8_t>(stream.begin(), middle),
                   std::vector<std::uint8_t>(middle, stream.end())},
                  started) == whole);
    }
    CheckRoundTrip(stream, true);
    CheckRoundTrip(stream, false);
    return 0;
}
