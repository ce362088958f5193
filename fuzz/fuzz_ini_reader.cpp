// The INI document on arbitrary file bytes. Checked: what is written back reads back with the
// same sections, keys and values, and a value written is read back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "zolShared/Public/Common/ini_file.h"

namespace {

using zol::common::IniDocument;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Sections with key lines, and their key lines, as the file would be written.
std::vector<std::string> Entries(const IniDocument& doc) {
    std::vector<std::string> out;
    for (const auto& section : doc.Sections()) {
        bool any = false;
        for (const auto& line : section.lines) any = any || line.is_entry;
        if (!any) continue;
        out.push_back("[" + section.name + "]");
        for (const auto& line : section.lines) {
            if (line.is_entry) out.push_back(line.key + "=" + std::string(line.Value()));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    IniDocument doc = IniDocument::Parse(bytes);
    const std::string written = doc.Serialize();
    const IniDocument again = IniDocument::Parse(written);
    Check(again.Serialize() == written);
    Check(Entries(again) == Entries(doc));

    // A load reads values from the text without a document, and must find what the document does.
    const zol::common::IniText text(bytes);
    for (const auto& section : doc.Sections()) {
        for (const auto& line : section.lines) {
            if (line.is_entry)
                Check(text.Read(section.name, line.key) == doc.Read(section.name, line.key));
        }
    }

    // A key and value made of plain characters, written into a section of the document.
    if (!doc.Sections().empty()) {
        const std::string section = doc.Sections().front().name;
        if (section.find_first_of("\r\n") == std::string::npos) {
            doc.Write(section, "Fuzz key", "a value");
            Check(doc.Read(section, "fuzz KEY") == std::optional<std::string>("a value"));
            Check(IniDocument::Parse(doc.Serialize()).Read(section, "Fuzz key") ==
                  std::optional<std::string>("a value"));
        }
    }
    return 0;
}
