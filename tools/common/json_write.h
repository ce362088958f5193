#pragma once
// JSON text as the field tools write it for other programs (kmptool's JSON, hostsim's JSON
// lines): documents are built with nlohmann/json (ordered, so members keep the order they were
// added in) and written in the tools' fixed form, which scripts and checks read: ", " between
// items, ": " after a key, doubles as "%.15g" (null when not finite), integers in decimal.
// Strings that are not valid UTF-8 get U+FFFD for each bad byte instead of failing the whole
// document.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace zol::tools {

using Json = nlohmann::ordered_json;

enum class JsonLayout {
    kOneLine,
    // Each element of an array that is a member of the outermost object on a line of its own,
    // indented by two spaces (kmptool requests' list of requests).
    kRowsOnLines,
};

// Never throws for any document built from the library's own types.
std::string JsonText(const Json& value, JsonLayout layout = JsonLayout::kOneLine);

// One string as a JSON literal, quotes included.
std::string JsonStringText(std::string_view text);

}  // namespace zol::tools
