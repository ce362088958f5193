#include "form_text.h"

#include <cctype>
#include <sstream>

namespace formgen {
namespace {

// Value tags of the streamed format.
enum ValueType : std::uint8_t {
    kInt8 = 2,
    kInt16 = 3,
    kInt32 = 4,
    kString = 6,
    kIdent = 7,
    kFalse = 8,
    kTrue = 9,
    kSet = 11,
    kLString = 12,
    kWString = 18,
};

class Writer {
   public:
    void Byte(std::uint8_t b) { out_.push_back(b); }
    void Le16(std::uint16_t v) {
        Byte(static_cast<std::uint8_t>(v));
        Byte(static_cast<std::uint8_t>(v >> 8));
    }
    void Le32(std::uint32_t v) {
        Le16(static_cast<std::uint16_t>(v));
        Le16(static_cast<std::uint16_t>(v >> 16));
    }
    // A length byte and up to 255 characters: class, component and property names, identifiers.
    void ShortString(const std::string& s, int line) {
        if (s.size() > 255) throw FormError("line " + std::to_string(line) + ": name too long");
        Byte(static_cast<std::uint8_t>(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
    }
    std::vector<std::uint8_t>& Bytes() { return out_; }

   private:
    std::vector<std::uint8_t> out_;
};

// UTF-8 to UTF-16 code units, for strings that are not plain ASCII.
std::u16string Utf16(const std::string& s, int line) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp;
        std::size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1Fu;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0Fu;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07u;
            n = 4;
        } else {
            throw FormError("line " + std::to_string(line) + ": text is not UTF-8");
        }
        if (i + n > s.size()) throw FormError("line " + std::to_string(line) + ": cut UTF-8");
        for (std::size_t k = 1; k < n; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

class FormCompiler {
   public:
    explicit FormCompiler(const std::string& text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
        }
    }

    std::vector<std::uint8_t> Compile() {
        out_.Byte('T');
        out_.Byte('P');
        out_.Byte('F');
        out_.Byte('0');
        std::string first = NextLine();
        if (first.empty()) throw FormError("empty form description");
        Object(first);
        if (!NextLine().empty()) Fail("text after the form's final end");
        return std::move(out_.Bytes());
    }

   private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw FormError("line " + std::to_string(line_no_) + ": " + what);
    }

    // The next line that is not blank, trimmed; empty at the end.
    std::string NextLine() {
        while (next_ < lines_.size()) {
            std::string s = Trim(lines_[next_++]);
            line_no_ = static_cast<int>(next_);
            if (!s.empty()) return s;
        }
        return {};
    }

    static std::string Trim(const std::string& s) {
        std::size_t a = 0;
        std::size_t b = s.size();
        while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
        while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
        return s.substr(a, b - a);
    }

    // `object Name: Class`, then its properties, its children and `end`.
    void Object(const std::string& header) {
        if (header.rfind("object ", 0) != 0) Fail("expected 'object Name: Class'");
        const std::string rest = header.substr(7);
        const auto colon = rest.find(':');
        if (colon == std::string::npos) Fail("expected 'object Name: Class'");
        out_.ShortString(Trim(rest.substr(colon + 1)), line_no_);
        out_.ShortString(Trim(rest.substr(0, colon)), line_no_);
        std::string line = NextLine();
        // Properties come first, then child objects; each list ends with an empty name.
        while (!line.empty() && line.rfind("object ", 0) != 0 && line != "end") {
            Property(line);
            line = NextLine();
        }
        out_.Byte(0);
        while (line.rfind("object ", 0) == 0) {
            Object(line);
            line = NextLine();
        }
        if (line != "end") Fail("expected 'end'");
        out_.Byte(0);
    }

    void Property(std::string line) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) Fail("expected 'Property = value'");
        out_.ShortString(Trim(line.substr(0, eq)), line_no_);
        std::string value = Trim(line.substr(eq + 1));
        // A string may continue on the next lines after a trailing "+".
        while (!value.empty() && value.back() == '+') {
            std::string more = NextLine();
            if (more.empty()) Fail("string continues past the end");
            value += " " + more;
        }
        Value(value);
    }

    void Value(const std::string& v) {
        if (v.empty()) Fail("missing value");
        const char c = v.front();
        if (c == '\'' || c == '#') {
            StringValue(v);
        } else if (c == '[') {
            SetValue(v);
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            IntegerValue(v);
        } else if (v == "True") {
            out_.Byte(kTrue);
        } else if (v == "False") {
            out_.Byte(kFalse);
        } else {
            for (char k : v) {
                if (!std::isalnum(static_cast<unsigned char>(k)) && k != '_') Fail("bad name");
            }
            out_.Byte(kIdent);
            out_.ShortString(v, line_no_);
        }
    }

    void IntegerValue(const std::string& v) {
        std::size_t used = 0;
        long long n = 0;
        try {
            n = std::stoll(v, &used, 10);
        } catch (const std::exception&) {
            Fail("bad number");
        }
        if (used != v.size() || n < INT32_MIN || n > INT32_MAX) Fail("bad number");
        // The narrowest tag that holds the number, as the form streamer writes it.
        if (n >= -128 && n <= 127) {
            out_.Byte(kInt8);
            out_.Byte(static_cast<std::uint8_t>(static_cast<std::int8_t>(n)));
        } else if (n >= -32768 && n <= 32767) {
            out_.Byte(kInt16);
            out_.Le16(static_cast<std::uint16_t>(static_cast<std::int16_t>(n)));
        } else {
            out_.Byte(kInt32);
            out_.Le32(static_cast<std::uint32_t>(static_cast<std::int32_t>(n)));
        }
    }

    void StringValue(const std::string& v) {
        std::string s;
        std::size_t i = 0;
        while (i < v.size()) {
            if (v[i] == '\'') {
                ++i;
                for (;;) {
                    if (i >= v.size()) Fail("unterminated string");
                    if (v[i] == '\'') {
                        if (i + 1 < v.size() && v[i + 1] == '\'') {
                            s.push_back('\'');
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    s.push_back(v[i++]);
                }
            } else if (v[i] == '#') {
                std::size_t j = i + 1;
                unsigned code = 0;
                while (j < v.size() && std::isdigit(static_cast<unsigned char>(v[j]))) {
                    code = code * 10 + static_cast<unsigned>(v[j++] - '0');
                    if (code > 0x10FFFF) Fail("bad character code");
                }
                if (j == i + 1) Fail("bad character code");
                AppendUtf8(s, code);
                i = j;
            } else if (v[i] == '+' || v[i] == ' ') {
                ++i;
            } else {
                Fail("unexpected text in a string value");
            }
        }
        bool ascii = true;
        for (char k : s) ascii &= static_cast<unsigned char>(k) < 0x80;
        if (!ascii) {
            const std::u16string wide = Utf16(s, line_no_);
            out_.Byte(kWString);
            out_.Le32(static_cast<std::uint32_t>(wide.size()));
            for (char16_t u : wide) out_.Le16(u);
        } else if (s.size() <= 255) {
            out_.Byte(kString);
            out_.ShortString(s, line_no_);
        } else {
            out_.Byte(kLString);
            out_.Le32(static_cast<std::uint32_t>(s.size()));
            out_.Bytes().insert(out_.Bytes().end(), s.begin(), s.end());
        }
    }

    static void AppendUtf8(std::string& s, unsigned cp) {
        if (cp < 0x80) {
            s.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    void SetValue(const std::string& v) {
        if (v.back() != ']') Fail("unterminated set");
        out_.Byte(kSet);
        std::string body = v.substr(1, v.size() - 2);
        std::istringstream in(body);
        std::string element;
        while (std::getline(in, element, ',')) {
            element = Trim(element);
            if (element.empty()) {
                if (!Trim(body).empty()) Fail("empty set element");
                continue;
            }
            out_.ShortString(element, line_no_);
        }
        out_.Byte(0);
    }

    std::vector<std::string> lines_;
    std::size_t next_ = 0;
    int line_no_ = 0;
    Writer out_;
};

}  // namespace

std::vector<std::uint8_t> CompileFormText(const std::string& text) {
    return FormCompiler(text).Compile();
}

}  // namespace formgen
