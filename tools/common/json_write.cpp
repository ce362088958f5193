#include "common/json_write.h"

#include <cmath>
#include <cstdio>

namespace zol::tools {

namespace {

void Write(const Json& value, JsonLayout layout, int depth, std::string& out) {
    switch (value.type()) {
        case Json::value_t::null:
        case Json::value_t::discarded:
            out += "null";
            return;
        case Json::value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            return;
        case Json::value_t::number_integer:
            out += std::to_string(value.get<std::int64_t>());
            return;
        case Json::value_t::number_unsigned:
            out += std::to_string(value.get<std::uint64_t>());
            return;
        case Json::value_t::number_float: {
            // The library writes the shortest text that reads back exactly ("0.1" but also
            // "315904.0"); the tools have always written fifteen significant digits.
            const double number = value.get<double>();
            if (!std::isfinite(number)) {
                out += "null";
                return;
            }
            char text[32];
            std::snprintf(text, sizeof text, "%.15g", number);
            out += text;
            return;
        }
        case Json::value_t::string:
            out += JsonStringText(value.get_ref<const std::string&>());
            return;
        case Json::value_t::binary:
            out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
            return;
        case Json::value_t::array: {
            const bool rows = layout == JsonLayout::kRowsOnLines && depth == 1 && !value.empty();
            out += '[';
            bool first = true;
            for (const auto& element : value) {
                if (rows) {
                    out += first ? "\n  " : ",\n  ";
                } else if (!first) {
                    out += ", ";
                }
                Write(element, layout, depth + 1, out);
                first = false;
            }
            out += rows ? "\n]" : "]";
            return;
        }
        case Json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.items()) {
                if (!first) out += ", ";
                out += JsonStringText(key);
                out += ": ";
                Write(member, layout, depth + 1, out);
                first = false;
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

std::string JsonText(const Json& value, JsonLayout layout) {
    std::string out;
    Write(value, layout, 0, out);
    return out;
}

std::string JsonStringText(std::string_view text) {
    const std::string escaped =
        Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
    // The library writes backspace and form feed as \b and \f; the tools' output has always
    // had \u0008 and \u000c there. Every backslash of the escaped text starts an escape, so
    // walking escape by escape finds exactly those two.
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 >= escaped.size()) {
            out += escaped[i];
            continue;
        }
        const char kind = escaped[++i];
        if (kind == 'b') {
            out += "\\u0008";
        } else if (kind == 'f') {
            out += "\\u000c";
        } else {
            out += '\\';
            out += kind;
        }
    }
    return out;
}

}  // namespace zol::tools
