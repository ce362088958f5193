#pragma once
// Reading one language file: the "[Languages]" section, the header lines among the first 19
// lines, and the translation blocks for one pair of languages. A language file is outside input:
// reading never throws and never fails; whatever cannot be understood is skipped.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zol::translation {

// Only the first lines of a file may carry header lines.
inline constexpr std::size_t kHeaderLineCount = 19;

enum class TextEncoding : std::uint8_t { kCodePage, kUtf8, kUtf16 };
enum class ReadingOrder : std::uint8_t {
    kLeftToRight,
    kRightToLeft,
    kRightToLeftNoAlign,
    kRightToLeftReadingOnly
};
// How a file of untranslated texts would be written.
enum class FileMode : std::uint8_t { kNone, kNew, kRewrite, kAppend };
// Which texts would be collected for that file.
enum class SaveMode : std::uint8_t { kNone, kUntranslated, kUntranslatedObjects, kUnused, kAll };

// The options the header lines set.
struct LanguageFileOptions {
    TextEncoding encoding = TextEncoding::kCodePage;
    ReadingOrder reading_order = ReadingOrder::kLeftToRight;
    // Locale identifier named by "Locale="; 0 when none was named.
    std::uint32_t locale = 0;
    // Character set and code page named by "Charset="; code page 0 is the system code page.
    std::uint8_t charset = 1;
    std::uint32_t code_page = 0;
    FileMode file_mode = FileMode::kNone;
    SaveMode save_mode = SaveMode::kNone;

    bool operator==(const LanguageFileOptions&) const = default;
};

// One row of the character-set table ("Charset=" value, character set, code page).
struct CharsetInfo {
    std::string_view name;
    std::uint8_t charset;
    std::uint32_t code_page;
};
// The row for a name compared in lower case, or null.
const CharsetInfo* FindCharset(std::string_view name) noexcept;

struct LanguageName {
    std::string code;
    std::string name;
    bool operator==(const LanguageName&) const = default;
};

struct TranslationEntry {
    std::string source;
    std::string translation;
    bool operator==(const TranslationEntry&) const = default;
};

// What one file gave. Texts are UTF-8.
struct LanguageFileContent {
    LanguageFileOptions options;
    // How the file's bytes were stored: a UTF-16 or UTF-8 byte-order mark, or none.
    TextEncoding storage = TextEncoding::kCodePage;
    // "Default" of the "[Languages]" section, and its "$" keys in file order.
    std::string default_language;
    std::vector<LanguageName> languages;
    // Blocks whose source text and translation are both non-empty, in file order.
    std::vector<TranslationEntry> entries;
};

// Reads a language file's bytes. `source` and `target` are the language codes of the pair whose
// blocks are wanted ("EN", "DE"; compared exactly); with an empty `target` no blocks are read.
// `options` are the options in force before this file; the header lines change them.
LanguageFileContent ReadLanguageFile(std::span<const std::uint8_t> bytes, std::string_view source,
                                     std::string_view target,
                                     const LanguageFileOptions& options = {}) noexcept;

}  // namespace zol::translation
