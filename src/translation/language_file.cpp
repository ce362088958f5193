#include "translation/language_file.h"

#include <array>
#include <optional>

#include "platform/system.h"
#include "platform/utf.h"
#include "translation/text_rules.h"
#include "zolShared/Public/Common/hex_text.h"

namespace zol::translation {

namespace {

constexpr std::array<CharsetInfo, 15> kCharsets = {{
    {"windows-1250", 238, 1250},
    {"windows-1251", 204, 1251},
    {"windows-1252", 0, 1252},
    {"windows-1253", 161, 1253},
    {"windows-1254", 162, 1254},
    {"windows-1255", 177, 1255},
    {"windows-1256", 178, 1256},
    {"windows-1257", 186, 1257},
    {"windows-1258", 163, 1258},
    {"windows-874", 222, 874},
    {"shift-jis", 128, 932},
    {"hangeul", 129, 949},
    {"johab", 130, 1361},
    {"gb2312", 134, 936},
    {"chinesebig5", 136, 950},
}};

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) noexcept {
    return text.substr(0, prefix.size()) == prefix;
}

// The word after "key=" in a header line (lower case), or nothing when the line has no such key.
std::optional<std::string> HeaderValue(const std::string& lower_line, std::string_view key) {
    auto at = lower_line.find(key);
    if (at == std::string::npos) return std::nullopt;
    std::string_view rest = TrimText(std::string_view(lower_line).substr(at + key.size()));
    auto end = rest.find_first_of(" \t;,");
    return std::string(rest.substr(0, end));
}

std::optional<std::uint32_t> ParseLocale(std::string_view text) {
    unsigned base = 10;
    if (StartsWith(text, "0x")) {
        base = 16;
        text.remove_prefix(2);
    } else if (StartsWith(text, "$")) {
        base = 16;
        text.remove_prefix(1);
    }
    return common::ParseDigits32(text, base);
}

void ApplyHeaderLine(std::string_view line, LanguageFileOptions& options) {
    const std::string lower = AsciiLower(line);
    if (lower == "//filenew") options.file_mode = FileMode::kNew;
    if (lower == "//filerewrite") options.file_mode = FileMode::kRewrite;
    if (lower == "//fileappend") options.file_mode = FileMode::kAppend;
    if (lower == "//saveuntr") options.save_mode = SaveMode::kUntranslated;
    if (lower == "//saveuntrobj") options.save_mode = SaveMode::kUntranslatedObjects;
    if (lower == "//saveunused") options.save_mode = SaveMode::kUnused;
    if (lower == "//saveall") options.save_mode = SaveMode::kAll;
    if (auto value = HeaderValue(lower, "encoding=")) {
        if (*value == "utf-8") options.encoding = TextEncoding::kUtf8;
        if (*value == "utf-16" || *value == "unicode") options.encoding = TextEncoding::kUtf16;
    }
    if (auto value = HeaderValue(lower, "bidimode=")) {
        if (*value == "righttoleft") options.reading_order = ReadingOrder::kRightToLeft;
        if (*value == "righttoleftnoalign") {
            options.reading_order = ReadingOrder::kRightToLeftNoAlign;
        }
        if (*value == "righttoleftreadingonly") {
            options.reading_order = ReadingOrder::kRightToLeftReadingOnly;
        }
    }
    if (auto value = HeaderValue(lower, "locale=")) {
        if (auto locale = ParseLocale(*value)) options.locale = *locale;
    }
    if (auto value = HeaderValue(lower, "charset=")) {
        if (const CharsetInfo* info = FindCharset(*value)) {
            options.charset = info->charset;
            options.code_page = info->code_page;
        }
    }
}

// The file as lines of bytes: UTF-16 content is turned into UTF-8 first, a UTF-8 byte-order mark
// is dropped. Lines end at LF; a CR before it is dropped by the trimming.
std::string FileText(std::span<const std::uint8_t> bytes, TextEncoding& storage) {
    std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::optional<std::uint32_t> utf16;
    if (raw.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        utf16 = 1200;
        raw.remove_prefix(2);
    } else if (raw.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        utf16 = 1201;
        raw.remove_prefix(2);
    } else if (raw.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        storage = TextEncoding::kUtf8;
        return std::string(raw.substr(3));
    } else if (raw.size() >= 2 && raw.size() % 2 == 0) {
        // UTF-16 saved without a mark still starts with an ASCII character ('[', '/' or a
        // language code), whose other byte is zero.
        if (bytes[0] != 0 && bytes[1] == 0) utf16 = 1200;
        if (bytes[0] == 0 && bytes[1] != 0) utf16 = 1201;
    }
    if (!utf16) return std::string(raw);
    storage = TextEncoding::kUtf16;
    auto wide = platform::CodePageToUtf16(*utf16, raw);
    return wide ? platform::Utf16ToUtf8(*wide) : std::string();
}

// Turns a text of an 8-bit file into UTF-8 by the file's options.
std::string DecodeText(std::string_view text, TextEncoding storage,
                       const LanguageFileOptions& options) {
    if (storage != TextEncoding::kCodePage || options.encoding != TextEncoding::kCodePage) {
        // Already UTF-8, or declared Unicode in an 8-bit file, which can only be UTF-8. The round
        // trip replaces malformed sequences.
        return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
    }
    auto wide = platform::CodePageToUtf16(options.code_page, text);
    if (!wide) wide = platform::CodePageToUtf16(0, text);
    return wide ? platform::Utf16ToUtf8(*wide) : std::string();
}

struct RawEntry {
    std::string_view source;
    std::string_view translation;
};

}  // namespace

const CharsetInfo* FindCharset(std::string_view name) noexcept {
    std::string lower;
    try {
        lower = AsciiLower(name);
    } catch (...) {
        return nullptr;
    }
    for (const auto& row : kCharsets) {
        if (row.name == lower) return &row;
    }
    return nullptr;
}

LanguageFileContent ReadLanguageFile(std::span<const std::uint8_t> bytes, std::string_view source,
                                     std::string_view target,
                                     const LanguageFileOptions& options) noexcept {
    LanguageFileContent content;
    try {
        content.options = options;
        // The encoding belongs to each file; reading order, locale and modes carry over.
        content.options.encoding = TextEncoding::kCodePage;
        content.options.charset = LanguageFileOptions{}.charset;
        content.options.code_page = LanguageFileOptions{}.code_page;
        const std::string text = FileText(bytes, content.storage);

        const std::string source_mark = std::string(source) + ":>";
        const std::string target_mark = std::string(target) + ":>";
        const bool want_blocks = !source.empty() && !target.empty();
        std::vector<RawEntry> raw_entries;
        RawEntry block;
        bool in_languages = false;
        std::string raw_default;
        std::vector<std::pair<std::string_view, std::string_view>> raw_languages;

        auto end_block = [&] {
            if (!block.source.empty() && !block.translation.empty()) raw_entries.push_back(block);
            block = RawEntry{};
        };

        std::size_t line_number = 0;
        std::size_t from = 0;
        while (from <= text.size()) {
            std::size_t end = text.find('\n', from);
            if (end == std::string::npos) end = text.size();
            const std::string_view line = TrimText(std::string_view(text).substr(from, end - from));
            from = end + 1;
            if (line_number++ < kHeaderLineCount) ApplyHeaderLine(line, content.options);

            if (line.empty()) {
                end_block();
                continue;
            }
            if (StartsWith(line, "//")) continue;
            if (line.front() == '[' && line.back() == ']') {
                in_languages = AsciiLower(line) == "[languages]";
                continue;
            }
            if (in_languages) {
                auto equals = line.find('=');
                if (equals != std::string_view::npos) {
                    std::string_view key = TrimText(line.substr(0, equals));
                    std::string_view value = TrimText(line.substr(equals + 1));
                    if (AsciiLower(key) == "default") {
                        raw_default = std::string(value);
                    } else if (key.size() > 1 && key.front() == '$') {
                        raw_languages.emplace_back(key.substr(1), value);
                    }
                }
            }
            if (!want_blocks) continue;
            // Of several lines of one language in a block the last counts.
            if (StartsWith(line, source_mark)) block.source = line.substr(source_mark.size());
            if (StartsWith(line, target_mark)) {
                block.translation = line.substr(target_mark.size());
            }
        }
        end_block();

        content.default_language = DecodeText(raw_default, content.storage, content.options);
        for (const auto& [code, name] : raw_languages) {
            content.languages.push_back(
                {std::string(code), DecodeText(name, content.storage, content.options)});
        }
        content.entries.reserve(raw_entries.size());
        for (const auto& entry : raw_entries) {
            content.entries.push_back(
                {DecodeText(entry.source, content.storage, content.options),
                 DecodeText(entry.translation, content.storage, content.options)});
        }
    } catch (...) {
        // Out of memory on a huge file: what was read so far stands.
    }
    return content;
}

}  // namespace zol::translation
