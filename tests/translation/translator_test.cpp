// The translation engine: lookup order, component walking, the language files it reads and the
// release of the dictionary 20 seconds after the last translation (on the fake clock).
#include "translation/translator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/message_window.h"

namespace zol::translation {
namespace {

namespace fs = std::filesystem;

// A folder of language files for one test, removed afterwards.
class LanguageFolder {
   public:
    LanguageFolder() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("zol_transl_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
        fs::create_directories(path_);
    }
    ~LanguageFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string file = (path_ / name).string();
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }
    std::string Copy(const std::string& sample) const {
        const std::string file = (path_ / sample).string();
        fs::copy_file(std::string(ZOL_TEST_DATA_DIR) + "/lng/" + sample, file);
        return file;
    }
    std::string Path(const std::string& name) const { return (path_ / name).string(); }

   private:
    fs::path path_;
};

// A component with the kinds of properties the engine meets.
class Panel : public common::Component {
   public:
    Panel(common::Component* owner, std::string name, std::string text = "Save")
        : Component(owner, std::move(name)), caption(std::move(text)) {
        PublishString("Caption", &this->caption);
        PublishString("Filter", &filter);
        PublishString("Description", &description);
    }
    std::string caption;
    std::string filter = "Filter text";
    std::string description = "Save";
};

TEST(TranslatorDictionary, LookupOrderAndAmpersandRules) {
    TWtranslLanguagesList dictionary;
    dictionary.Add("&Open", "Ö&ffnen");
    dictionary.Add("Save", "&Speichern && Schließen");
    dictionary.Add("First line%0D%0ASecond line", "Erste Zeile%0D%0AZweite Zeile");
    dictionary.Add("Request timeout (ms)", "Zeitüberschreitung (ms)");
    dictionary.Add("panel caption", "Feldbeschriftung");
    dictionary.Add("Ölfass", "Öltonne");
    struct Row {
        const char* value;
        const char* expected;  // null: no translation
    };
    const Row rows[] = {
        {"Request timeout (ms)", "Zeitüberschreitung (ms)"},
        {"  Request timeout (ms)\r\n", "Zeitüberschreitung (ms)"},
        {"REQUEST TIMEOUT (MS)", "Zeitüberschreitung (ms)"},
        {"&Open", "Öffnen"},                   // exact hit: single "&" of the translation dropped
        {"Open", nullptr},                     // the source's own mark is not stripped
        {"&Save", "&Speichern && Schließen"},  // hit without the mark: translation as written
        {"Save", "Speichern && Schließen"},
        {"SAVE", "Speichern && Schließen"},
        {"First line\r\nSecond line", "Erste Zeile\r\nZweite Zeile"},
        {"First line%0D%0ASecond line", "Erste Zeile%0D%0AZweite Zeile"},
        {"FIRST LINE\r\nSECOND LINE", "Erste Zeile\r\nZweite Zeile"},
        {"Panel Caption", "Feldbeschriftung"},  // a lower-case source is found too
        {"ÖLFASS", "Öltonne"},
        {"", nullptr},
        {" \t ", nullptr},
        {"Unknown", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        auto result = dictionary.Translate(row.value);
        if (row.expected == nullptr) {
            EXPECT_FALSE(result.has_value()) << *result;
        } else {
            EXPECT_EQ(result.value_or("<none>"), row.expected);
        }
    }
}

class TranslatorTest : public ::testing::Test {
   protected:
    platform::FakeClock clock_{5'000'000, 0};
    platform::ScopedFakeClock installed_{clock_};
    LanguageFolder folder_;

    void Advance(std::uint64_t ms) {
        clock_.Advance(ms);
        platform::DispatchPendingMessages();
    }
};

TEST_F(TranslatorTest, WalksChildrenByTagAndName) {
    TWtransl engine;
    engine.SetLanguageFile(folder_.Copy("kmp_de_utf8.lng"));
    Panel root(nullptr, "Root", "Request timeout (ms)");
    Panel* label = new Panel(&root, "Label");
    Panel* inner = new Panel(label, "Inner");
    Panel* group = new Panel(&root, "_Group");
    Panel* group_child = new Panel(group, "GroupChild");
    Panel* bot = new Panel(&root, "__pBot");
    Panel* bot_child = new Panel(bot, "BotChild");
    Panel* skipped = new Panel(&root, "Skipped");
    skipped->SetTag(kTagSkipped);
    Panel* skipped_child = new Panel(skipped, "SkippedChild");
    Panel* kept = new Panel(&root, "Kept");
    kept->SetTag(kTagNotTranslated);
    Panel* kept_child = new Panel(kept, "KeptChild");
    Panel* resources = new Panel(&root, "Resources");
    resources->SetTag(kTagTextResources);

    std::vector<std::string> events;
    engine.OnCustomTranslate = [&](TWtransl&, common::Component& c) { events.push_back(c.Name()); };
    ASSERT_TRUE(engine.TranslateComponent("DE", root));

    const std::string de = "Speichern && Schließen";
    EXPECT_EQ(root.caption, "Zeitüberschreitung der Anfrage (ms)");
    struct Row {
        Panel* panel;
        bool translated;
    };
    const Row rows[] = {{label, true},        {inner, true},          {group, true},
                        {group_child, false}, {bot, false},           {bot_child, false},
                        {skipped, false},     {skipped_child, false}, {kept, false},
                        {kept_child, true},   {resources, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.panel->Name());
        EXPECT_EQ(row.panel->caption, row.translated ? de : "Save");
        // Only listed properties are translated.
        EXPECT_EQ(row.panel->description, "Save");
        EXPECT_EQ(row.panel->filter, "Filter text");
    }
    const std::vector<std::string> expected_events = {"Root",   "Label",     "Inner",
                                                      "_Group", "KeptChild", "Resources"};
    EXPECT_EQ(events, expected_events);

    // Property names are compared without regard to case.
    engine.AddComponentProperties("FILTER|;");
    EXPECT_TRUE(engine.TranslateComponent("DE", *label));
    EXPECT_EQ(label->filter, "Filtertext");
    EXPECT_EQ(engine.ComponentPropertiesText(),
              "CAPTION\r\nHINT\r\nTEXT\r\nTITLE\r\nCAPTIONS\r\nFILTER\r\n");
}

TEST_F(TranslatorTest, RootTaggedNotTranslatedKeepsItsOwnTexts) {
    TWtransl engine;
    engine.SetLanguageFile(folder_.Copy("kmp_de_utf8.lng"));
    Panel root(nullptr, "Root");
    root.SetTag(kTagNotTranslated);
    Panel* child = new Panel(&root, "Child");
    EXPECT_TRUE(engine.TranslateComponent("DE", root));
    EXPECT_EQ(root.caption, "Save");
    EXPECT_EQ(child->caption, "Speichern && Schließen");
}

TEST_F(TranslatorTest, FilesAreReadInOrderAndLaterEntriesWin) {
    TWtransl engine;
    const std::string shared = folder_.Copy("plugins.lng");
    const std::string own = folder_.Copy("kmp_de_utf8.lng");
    engine.SetLanguageFile(folder_.Path("missing.lng") + "|" + shared + "|" + own);
    Panel timeout(nullptr, "Timeout", "Request timeout (ms)");
    Panel success(nullptr, "Success", "Data have been processed successfully");
    EXPECT_TRUE(engine.TranslateComponent("", timeout));  // the files' default language: DE
    EXPECT_EQ(engine.CurrentLanguage(), "DE");
    EXPECT_EQ(timeout.caption, "Zeitüberschreitung der Anfrage (ms)");
    // The own file writes this source with "en:>", which is no source line; the shared one counts.
    EXPECT_TRUE(engine.TranslateComponent("DE", success));
    EXPECT_EQ(success.caption, "Daten erfolgreich verarbeitet (gemeinsam)");
    EXPECT_EQ(engine.LoadedCount(), 11u);
    EXPECT_EQ(engine.TranslateString("No data for processing").value_or(""),
              "Keine Daten zur Verarbeitung");
}

TEST_F(TranslatorTest, NothingHappensWithoutFilesOrEntries) {
    Panel panel(nullptr, "Panel");
    TWtransl engine;
    engine.SetLanguageFile("");
    EXPECT_FALSE(engine.TranslateComponent("DE", panel));
    engine.SetLanguageFile(folder_.Path("missing.lng"));
    EXPECT_FALSE(engine.TranslateComponent("DE", panel));
    engine.SetLanguageFile(folder_.Copy("kmp_de_utf8.lng"));
    EXPECT_FALSE(engine.TranslateComponent("FR", panel));  // no French entries
    EXPECT_FALSE(engine.TranslateComponent("de", panel));  // codes are compared exactly
    EXPECT_EQ(panel.caption, "Save");
    EXPECT_TRUE(engine.UntranslatedTexts().empty());
}

TEST_F(TranslatorTest, SaveModeTranslatesWithoutEntriesAndCollectsMisses) {
    TWtransl engine;
    engine.SetLanguageFile(folder_.Write("save.lng", "//saveuntr\n\nEN:>Save\nFR:>Enregistrer\n"));
    Panel panel(nullptr, "Panel", "Save");
    new Panel(&panel, "Child", "Load");
    new Panel(&panel, "Other", "Load");
    EXPECT_TRUE(engine.TranslateComponent("DE", panel));
    EXPECT_EQ(engine.FileOptions().save_mode, SaveMode::kUntranslated);
    const std::vector<std::string> expected = {"Save", "Load"};
    EXPECT_EQ(engine.UntranslatedTexts(), expected);
}

TEST_F(TranslatorTest, ListLanguagesTakesTheFirstFileNamingLanguages) {
    TWtransl engine;
    engine.SetLanguageFile(
        folder_.Path("missing.lng") + "|" + folder_.Write("plain.lng", "EN:>a\nDE:>b\n") + "|" +
        folder_.Copy("kmp_ru_cp1251.lng") + "|" + folder_.Copy("kmp_de_utf8.lng"));
    const LanguageList list = engine.ListLanguages();
    EXPECT_EQ(list.default_language, "RU");
    const std::vector<LanguageName> expected = {{"EN", "English"}, {"RU", "Русский"}};
    EXPECT_EQ(list.languages, expected);
}

TEST_F(TranslatorTest, DictionaryIsReleasedTwentySecondsAfterTheLastTranslation) {
    TWtransl engine;
    const std::string file = folder_.Write("one.lng", "EN:>Save\nDE:>Sichern\n");
    engine.SetLanguageFile(file);
    Panel panel(nullptr, "Panel");
    ASSERT_TRUE(engine.TranslateComponent("DE", panel));
    Advance(15000);
    EXPECT_TRUE(engine.DictionaryLoaded());
    EXPECT_EQ(engine.TranslateString("Save").value_or(""), "Sichern");  // moves the deadline
    Advance(19999);
    EXPECT_TRUE(engine.DictionaryLoaded());
    Advance(1);
    EXPECT_FALSE(engine.DictionaryLoaded());
    EXPECT_EQ(engine.LoadedCount(), 0u);

    // The next translation reads the files again, and the release comes 20 s after it again.
    folder_.Write("one.lng", "EN:>Save\nDE:>Speichern\n");
    EXPECT_EQ(engine.TranslateString("Save").value_or(""), "Speichern");
    Advance(19999);
    EXPECT_TRUE(engine.DictionaryLoaded());
    Advance(1);
    EXPECT_FALSE(engine.DictionaryLoaded());
}

TEST_F(TranslatorTest, DeadlineHoldsEvenWhenTheTimerCannotTick) {
    // No messages are dispatched here: the deadline alone decides whether the files are read
    // again.
    TWtransl engine;
    const std::string file = folder_.Write("one.lng", "EN:>Save\nDE:>Sichern\n");
    engine.SetLanguageFile(file);
    Panel first(nullptr, "First");
    ASSERT_TRUE(engine.TranslateComponent("DE", first));
    folder_.Write("one.lng", "EN:>Save\nDE:>Speichern\n");
    clock_.Advance(19999);
    Panel second(nullptr, "Second");
    engine.TranslateComponent("DE", second);
    EXPECT_EQ(second.caption, "Sichern");  // same pair within 20 s: the loaded dictionary
    clock_.Advance(20000);
    Panel third(nullptr, "Third");
    engine.TranslateComponent("DE", third);
    EXPECT_EQ(third.caption, "Speichern");
}

}  // namespace
}  // namespace zol::translation
