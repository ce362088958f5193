// Reading language files: header lines, the languages section, blocks and the four storage forms
// (UTF-8, UTF-16 and two code pages), against hand-made files.
#include "translation/language_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zol::translation {

void PrintTo(const TranslationEntry& entry, std::ostream* out) {
    *out << "{\"" << entry.source << "\" -> \"" << entry.translation << "\"}";
}
void PrintTo(const LanguageName& language, std::ostream* out) {
    *out << language.code << "=" << language.name;
}

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> DataFile(const std::string& name) {
    std::ifstream in(std::string(ZOL_TEST_DATA_DIR) + "/lng/" + name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

LanguageFileContent Read(std::string_view text, std::string_view target = "DE") {
    return ReadLanguageFile(Bytes(text), "EN", target);
}

TEST(LanguageFile, HeaderLinesSetEveryOption) {
    struct Row {
        const char* line;
        LanguageFileOptions expected;
    };
    auto with = [](auto change) {
        LanguageFileOptions options;
        change(options);
        return options;
    };
    const Row rows[] = {
        {"//filenew", with([](auto& o) { o.file_mode = FileMode::kNew; })},
        {"//FileRewrite", with([](auto& o) { o.file_mode = FileMode::kRewrite; })},
        {"  //fileappend  ", with([](auto& o) { o.file_mode = FileMode::kAppend; })},
        {"//saveuntr", with([](auto& o) { o.save_mode = SaveMode::kUntranslated; })},
        {"//saveuntrobj", with([](auto& o) { o.save_mode = SaveMode::kUntranslatedObjects; })},
        {"//saveunused", with([](auto& o) { o.save_mode = SaveMode::kUnused; })},
        {"//SaveAll", with([](auto& o) { o.save_mode = SaveMode::kAll; })},
        {"//Encoding=UTF-8", with([](auto& o) { o.encoding = TextEncoding::kUtf8; })},
        {"// encoding= utf-16", with([](auto& o) { o.encoding = TextEncoding::kUtf16; })},
        {"Encoding=Unicode", with([](auto& o) { o.encoding = TextEncoding::kUtf16; })},
        {"//Encoding=latin", LanguageFileOptions{}},
        {"//BiDiMode=RightToLeft",
         with([](auto& o) { o.reading_order = ReadingOrder::kRightToLeft; })},
        {"//BiDiMode=RightToLeftNoAlign",
         with([](auto& o) { o.reading_order = ReadingOrder::kRightToLeftNoAlign; })},
        {"//BiDiMode=righttoleftreadingonly",
         with([](auto& o) { o.reading_order = ReadingOrder::kRightToLeftReadingOnly; })},
        {"//Locale=1049", with([](auto& o) { o.locale = 1049; })},
        {"//Locale=$0419", with([](auto& o) { o.locale = 0x0419; })},
        {"//Locale=russian", LanguageFileOptions{}},
        {"//Charset=Windows-1251", with([](auto& o) {
             o.charset = 204;
             o.code_page = 1251;
         })},
        {"//Charset=shift-jis", with([](auto& o) {
             o.charset = 128;
             o.code_page = 932;
         })},
        {"//Charset=chinesebig5", with([](auto& o) {
             o.charset = 136;
             o.code_page = 950;
         })},
        {"//Charset=koi8-r", LanguageFileOptions{}},
        {"//savenothing", LanguageFileOptions{}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(Read(std::string(row.line) + "\n").options, row.expected);
    }
}

TEST(LanguageFile, HeaderLinesCountOnlyAmongTheFirstNineteen) {
    std::string text;
    for (int i = 0; i < 18; ++i) text += "// filler\n";
    EXPECT_EQ(Read(text + "//saveall\n").options.save_mode, SaveMode::kAll);     // line 19
    EXPECT_EQ(Read(text + "\n//saveall\n").options.save_mode, SaveMode::kNone);  // line 20
}

TEST(LanguageFile, BlocksPairSourceAndTargetLines) {
    const auto content = Read(
        "EN:>One\nDE:>Eins\n\n"
        "EN:>Two\n// comments do not end a block\nFR:>Deux\nDE:>Zwei\n\n"
        "en:>Three\nDE:>Drei\n\n"              // language codes are compared exactly
        "EN:>Four\nDE:>\n\n"                   // no translation
        "EN:>Five\nDE:>Fuenf?\nDE:>Fuenf\n\n"  // the last line of a language counts
        "DE:>Sechs\nEN:>Six\r\n\r\n"           // order within a block does not matter; CR LF
        "   EN:>Seven   \n\tDE:>Sieben\t\n\n"  // lines are trimmed
        "EN:>Eight\nDE:>Acht");                // end of file ends the block
    const std::vector<TranslationEntry> expected = {
        {"One", "Eins"},  {"Two", "Zwei"},     {"Five", "Fuenf"},
        {"Six", "Sechs"}, {"Seven", "Sieben"}, {"Eight", "Acht"},
    };
    EXPECT_EQ(content.entries, expected);
}

TEST(LanguageFile, BlockWithoutSeparatingLineRunsOn) {
    // Without an empty line both pairs are one block: its last lines count.
    const auto content = Read("EN:>One\nDE:>Eins\nEN:>Two\nDE:>Zwei\n");
    const std::vector<TranslationEntry> expected = {{"Two", "Zwei"}};
    EXPECT_EQ(content.entries, expected);
}

TEST(LanguageFile, LanguagesSection) {
    const auto content = ReadLanguageFile(
        Bytes("[Info]\nDefault=XX\n$XX=No\n[Languages]\ndefault = DE\n$EN=English\n$DE = "
              "Deutsch\nbad line\n$=empty\n[Other]\n$FR=French\n"),
        {}, {});
    EXPECT_EQ(content.default_language, "DE");
    const std::vector<LanguageName> expected = {{"EN", "English"}, {"DE", "Deutsch"}};
    EXPECT_EQ(content.languages, expected);
    EXPECT_TRUE(content.entries.empty());
}

struct SampleFile {
    const char* file;
    const char* target;
    TextEncoding storage;
    const char* default_language;
    const char* language_name;  // of the target language
    std::vector<TranslationEntry> entries;
};

TEST(LanguageFile, SampleFilesInEveryEncoding) {
    const SampleFile samples[] = {
        {"kmp_de_utf8.lng",
         "DE",
         TextEncoding::kCodePage,
         "DE",
         "Deutsch",
         {{"Request timeout (ms)", "Zeitüberschreitung der Anfrage (ms)"},
          {"Invalid CRC (%.4x,%.4x)", "Ungültige Prüfsumme (%.4x,%.4x)"},
          {"No data for processing", "Keine Daten zur Verarbeitung"},
          {"Data have been processed with errors", "Daten wurden mit Fehlern verarbeitet"},
          {"&Open", "Ö&ffnen"},
          {"Save", "&Speichern && Schließen"},
          {"First line%0D%0ASecond line", "Erste Zeile%0D%0AZweite Zeile"},
          {"Unable to parse expression \"%s\". Error at: %d",
           "Ausdruck \"%s\" nicht lesbar. Fehler bei: %d"},
          {"Filter text", "Filtertext"},
          {"panel caption", "Feldbeschriftung"}}},
        {"kmp_ru_utf16.lng",
         "RU",
         TextEncoding::kUtf16,
         "RU",
         "Русский",
         {{"Request timeout (ms)", "Тайм-аут запроса (мс)"},
          {"No data for processing", "Нет данных для обработки"},
          {"Привет Мир", "Здравствуй, мир"}}},
        {"kmp_ru_cp1251.lng",
         "RU",
         TextEncoding::kCodePage,
         "RU",
         "Русский",
         {{"Request timeout (ms)", "Тайм-аут запроса (мс)"},
          {"Error on items formation (%s)", "Ошибка формирования элементов (%s)"},
          {"ПАРОЛЬ", "Пароль ёж"}}},
        {"kmp_pl_cp1250.lng",
         "PL",
         TextEncoding::kCodePage,
         "PL",
         "Polski",
         {{"Invalid CRC (%.4x,%.4x)", "Nieprawidłowa suma kontrolna (%.4x,%.4x)"},
          {"Request timeout (ms)", "Przekroczenie czasu żądania (ms)"},
          {"ŁÓDŹ", "Łódź"}}},
    };
    for (const auto& sample : samples) {
        SCOPED_TRACE(sample.file);
        const auto bytes = DataFile(sample.file);
        ASSERT_FALSE(bytes.empty());
        const auto content = ReadLanguageFile(bytes, "EN", sample.target);
        EXPECT_EQ(content.storage, sample.storage);
        EXPECT_EQ(content.default_language, sample.default_language);
        ASSERT_EQ(content.languages.size(), 2u);
        EXPECT_EQ(content.languages[1].name, sample.language_name);
        EXPECT_EQ(content.entries, sample.entries);
    }
}

TEST(LanguageFile, Utf16WithoutMarkAndBigEndian) {
    auto utf16 = [](std::u16string_view text, bool big_endian, bool mark) {
        std::vector<std::uint8_t> out;
        if (mark) {
            out.push_back(big_endian ? 0xFE : 0xFF);
            out.push_back(big_endian ? 0xFF : 0xFE);
        }
        for (char16_t c : text) {
            auto low = static_cast<std::uint8_t>(c & 0xFF);
            auto high = static_cast<std::uint8_t>(c >> 8);
            out.push_back(big_endian ? high : low);
            out.push_back(big_endian ? low : high);
        }
        return out;
    };
    const std::u16string text = u"EN:>Yes\r\nRU:>Да\r\n";
    const std::vector<TranslationEntry> expected = {{"Yes", "Да"}};
    for (bool big_endian : {false, true}) {
        for (bool mark : {false, true}) {
            SCOPED_TRACE(testing::Message() << "big endian " << big_endian << " mark " << mark);
            EXPECT_EQ(ReadLanguageFile(utf16(text, big_endian, mark), "EN", "RU").entries,
                      expected);
        }
    }
}

TEST(LanguageFile, CodePageFollowsTheCharsetLineEvenAfterTheFirstBlock) {
    // The same bytes read as 1251 and as the system code page (1252 here).
    const std::string block = "EN:>Yes\nRU:>\xc4\xe0\n";
    EXPECT_EQ(Read(block + "\n//Charset=windows-1251\n", "RU").entries[0].translation, "Да");
    EXPECT_EQ(Read(block, "RU").entries[0].translation, "Äà");
    // A code page this platform cannot convert falls back to the system code page.
    EXPECT_EQ(Read("//Charset=johab\n" + block, "RU").entries[0].translation, "Äà");
    // Malformed UTF-8 is replaced, never passed on.
    EXPECT_EQ(Read("//Encoding=utf-8\nEN:>Yes\nRU:>a\xff\n", "RU").entries[0].translation,
              "a\xef\xbf\xbd");
}

TEST(LanguageFile, DegenerateInputReadsAsNothing) {
    const std::string inputs[] = {
        "",     "\n\n\n", "\xff\xfe",          "\xfe\xff\x00", "\xef\xbb\xbf",
        "EN:>", ":>x",    std::string(3, '\0')};
    for (const auto& input : inputs) {
        const auto content = Read(input);
        EXPECT_TRUE(content.entries.empty());
        EXPECT_TRUE(content.languages.empty());
    }
}

}  // namespace
}  // namespace zol::translation
