// Fuzz target for the language-file reader and the lookup of the dictionary it fills. The first
// byte picks the language pair and the options in force before the file; the rest is the file.
// Every entry read is entered into a dictionary and looked up again in a few forms (as written,
// upper-cased, with control characters, with an accelerator mark). Only crashes, sanitizer
// reports and broken invariants fail.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "translation/language_file.h"
#include "translation/text_format.h"
#include "translation/translator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    using namespace zol::translation;
    static const char* const kTargets[] = {"DE", "RU", "PL", "", "EN", "JA", "de", "X"};
    const char* target = kTargets[data[0] & 0x07];
    LanguageFileOptions before;
    if ((data[0] & 0x08) != 0) before.save_mode = SaveMode::kAll;
    if ((data[0] & 0x10) != 0) before.code_page = 1251;
    // A copy of its own, so the sanitizer sees any read past the end.
    const std::vector<std::uint8_t> file(data + 1, data + size);

    const LanguageFileContent content = ReadLanguageFile(file, "EN", target, before);
    // Modes carry over from the files before; the encoding belongs to each file.
    if (content.options.save_mode == SaveMode::kNone && before.save_mode != SaveMode::kNone) {
        __builtin_trap();
    }
    TWtranslLanguagesList dictionary;
    for (const auto& entry : content.entries) {
        if (entry.source.empty() || entry.translation.empty()) __builtin_trap();
        dictionary.Add(entry.source, entry.translation);
    }
    if (dictionary.Count() > content.entries.size()) __builtin_trap();
    for (const auto& entry : content.entries) {
        if (!dictionary.Translate(entry.source) && !entry.source.empty() &&
            entry.source.find_first_not_of(" \t\r\n") != std::string::npos &&
            static_cast<unsigned char>(entry.source.front()) > 0x20 &&
            static_cast<unsigned char>(entry.source.back()) > 0x20) {
            // A source that survives trimming is always found as written.
            __builtin_trap();
        }
        std::string upper = entry.source;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        (void)dictionary.Translate(upper);
        (void)dictionary.Translate("&" + entry.source + "\r\n\x01");
        (void)FormatText(entry.translation, {std::int64_t{-1}, std::string("x"), std::int64_t{7}});
    }
    return 0;
}
