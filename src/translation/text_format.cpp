#include "translation/text_format.h"

#include <vector>

namespace zol::translation {

namespace {

std::string Digits(std::uint64_t value, unsigned base) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value % base]);
        value /= base;
    } while (value != 0);
    return out;
}

// Reads a decimal number of at most six digits; false when there is none.
bool ReadNumber(std::string_view text, std::size_t& at, std::size_t& value) {
    std::size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6) {
        value = value * 10 + static_cast<std::size_t>(text[at] - '0');
        ++at;
    }
    return at > start;
}

std::string Convert(const FormatArg& arg, char type, bool has_precision, std::size_t precision) {
    std::string body;
    if (const auto* number = std::get_if<std::int64_t>(&arg)) {
        bool negative = false;
        std::uint64_t magnitude = static_cast<std::uint64_t>(*number);
        if (type == 'x') {
            // Hexadecimal shows the 32-bit pattern of negative values, like the host's formatter.
            if (*number < 0 && *number >= INT32_MIN) magnitude &= 0xFFFFFFFFu;
            body = Digits(magnitude, 16);
        } else if (type == 'u') {
            body = Digits(magnitude, 10);
        } else {
            negative = *number < 0;
            if (negative) magnitude = 0 - magnitude;
            body = Digits(magnitude, 10);
        }
        if (type != 's' && has_precision && body.size() < precision) {
            body.insert(0, precision - body.size(), '0');
        }
        if (negative) body.insert(body.begin(), '-');
    } else {
        body = std::get<std::string>(arg);
        if (type == 's' && has_precision) {
            // The precision counts characters of the UTF-8 text, not bytes.
            std::size_t characters = 0;
            for (std::size_t at = 0; at < body.size(); ++at) {
                if ((static_cast<unsigned char>(body[at]) & 0xC0) == 0x80) continue;
                if (characters++ == precision) {
                    body.resize(at);
                    break;
                }
            }
        }
    }
    return body;
}

}  // namespace

std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args) {
    const std::vector<FormatArg> list(args);
    std::string out;
    out.reserve(format.size() + 16);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            out.push_back(format[i++]);
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out.push_back('%');
            i += 2;
            continue;
        }
        const std::size_t start = i;
        std::size_t at = i + 1;
        std::size_t index = next;
        std::size_t number = 0;
        std::size_t before_number = at;
        if (ReadNumber(format, at, number)) {
            if (at < format.size() && format[at] == ':') {
                index = number;
                ++at;
            } else {
                at = before_number;
            }
        }
        bool left = false;
        if (at < format.size() && format[at] == '-') {
            left = true;
            ++at;
        }
        std::size_t width = 0;
        ReadNumber(format, at, width);
        bool has_precision = false;
        std::size_t precision = 0;
        if (at < format.size() && format[at] == '.') {
            ++at;
            has_precision = ReadNumber(format, at, precision);
        }
        char type = at < format.size() ? format[at] : '\0';
        if (type >= 'A' && type <= 'Z') type = static_cast<char>(type - 'A' + 'a');
        if ((type != 'd' && type != 'u' && type != 'x' && type != 's') || index >= list.size()) {
            // Not a conversion this formatter knows, or no argument for it: copied as written.
            const std::size_t end = at < format.size() ? at + 1 : at;
            out.append(format.substr(start, end - start));
            i = end;
            continue;
        }
        std::string body = Convert(list[index], type, has_precision, precision);
        if (body.size() < width) {
            if (left) {
                body.append(width - body.size(), ' ');
            } else {
                body.insert(0, width - body.size(), ' ');
            }
        }
        out.append(body);
        next = index + 1;
        i = at + 1;
    }
    return out;
}

}  // namespace zol::translation
