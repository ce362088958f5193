// Fuzz target for the options-text reader and its typed getters. The whole input is the text;
// a copy in its own allocation lets the sanitizer see any read past its end. Unreadable texts
// are normal results; only crashes, sanitizer reports and hangs fail.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "parser/options_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto copy = std::make_unique<char[]>(size);
    for (std::size_t i = 0; i < size; ++i) copy[i] = static_cast<char>(data[i]);
    const auto document = zol::parser::ReadOptionsText(std::string_view(copy.get(), size));

    const auto* query = document.root.FindDescendant("QUERY");
    if (query == nullptr) return 0;
    int position = 0;
    for (const auto& request : query->children) {
        ++position;
        (void)zol::parser::OptionsCaption(request, "Request", position);
        (void)zol::parser::OptionsBooleanValue(request, "Enabled", true);
        (void)zol::parser::OptionsIntegerValue(request, "Timeout", 1600);
        (void)zol::parser::OptionsTextValue(request, "Device", "");
        if (const auto* response = request.FindChild("Response")) {
            for (const auto& item : response->children) {
                (void)zol::parser::OptionsIntegerValue(item, "Custom", 0);
                (void)zol::parser::OptionsTextValue(item, "Name", "");
            }
        }
    }
    return 0;
}
