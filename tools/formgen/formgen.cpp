// formgen: build-time generator of the options dialog's resources. It runs on the build machine
// (natively, also in the cross build) and writes files that the plug-in's resource script embeds.
//
//   formgen form FORM_TEXT OUT            the form in the streamed binary format ("TPF0")
//   formgen package SCRIPT FORM_NAME PROPERTY_MAP OUT_TEXT OUT_GZ
//                                         the script package: its text, and that text as a gzip
//                                         stream with the stored file name "1"
//   formgen name FORM_NAME OUT            the form-name resource (the name, no line end)
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "form_text.h"
#include "script_xml.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// The package text: the parsed script on one line, the separators, the form's resource name and
// the property map, every line ending in CR LF, with one empty line after the map.
std::string PackageText(const std::string& script_xml, const std::string& form_name,
                        const std::string& property_map) {
    const std::string crlf = "\r\n";
    std::string text = script_xml + crlf;
    text += crlf + "<=======>" + crlf + crlf;
    text += form_name + crlf + crlf;
    text += "<=======>" + crlf + crlf;
    std::istringstream map(property_map);
    std::string line;
    while (std::getline(map, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        text += line + crlf;
    }
    text += crlf;
    return text;
}

// One gzip member with the FNAME field "1" and a zero time stamp, so the output depends on the
// input only.
std::vector<unsigned char> Gzip(const std::string& text) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    char name[] = "1";
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name);
    header.os = 0;  // FAT file system: the package is read on Windows
    header.time = 0;
    if (deflateSetHeader(&stream, &header) != Z_OK) {
        deflateEnd(&stream);
        throw std::runtime_error("deflateSetHeader failed");
    }
    std::vector<unsigned char> out(deflateBound(&stream, static_cast<uLong>(text.size())) + 64);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t written = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    out.resize(written);
    return out;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: formgen form FORM_TEXT OUT\n"
                 "       formgen package SCRIPT FORM_NAME PROPERTY_MAP OUT_TEXT OUT_GZ\n"
                 "       formgen name FORM_NAME OUT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 3 && args[0] == "form") {
            const auto bytes = formgen::CompileFormText(ReadFile(args[1]));
            WriteFile(args[2], bytes.data(), bytes.size());
        } else if (args.size() == 6 && args[0] == "package") {
            std::string xml;
            try {
                xml = formgen::ParseScriptToXml(ReadFile(args[1]));
            } catch (const formgen::ScriptError& e) {
                throw std::runtime_error(args[1] + ":" + e.what());
            }
            const std::string text = PackageText(xml, args[2], ReadFile(args[3]));
            WriteFile(args[4], text.data(), text.size());
            const auto gz = Gzip(text);
            WriteFile(args[5], gz.data(), gz.size());
        } else if (args.size() == 3 && args[0] == "name") {
            WriteFile(args[2], args[1].data(), args[1].size());
        } else {
            return Usage();
        }
    } catch (const formgen::FormError& e) {
        std::fprintf(stderr, "formgen: %s: %s\n", args[1].c_str(), e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "formgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
