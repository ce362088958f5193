// The KMP module's message table and the instance's translation: creation order, the message
// table translated once, the host's language request.
#include "kmp/PluginDM_TextResources.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

#include "kmp/PluginDM.h"
#include "platform/fake_clock.h"
#include "translation/language_file.h"
#include "translation/text_format.h"
#include "translation/translator.h"

namespace zol::kmp {
namespace {

using common::TzolParamsList;
using common::Variant;

std::string Sample(const std::string& name) {
    return std::string(ZOL_TEST_DATA_DIR) + "/lng/" + name;
}

TEST(TextResources, SixMessagesInTheirFixedOrder) {
    TTextResources resources;
    const char* expected[] = {
        "Invalid CRC (%.4x,%.4x)",
        "Received message from %s with error code on request function %d [%s]",
        "Error on items formation (%s)",
        "Unable to parse expression \"%s\". Error at: %d",
        "Request timeout (ms)",
        "Unallowable address: %s",
    };
    ASSERT_EQ(resources.MessageCount(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(resources.Message(i), expected[i]) << "message " << i + 1;
    }
    EXPECT_EQ(resources.Tag(), 9997);
    EXPECT_FALSE(resources.Translated());
    EXPECT_EQ(translation::FormatText(resources.InvalidCrc, {0xBEEF, 0x12}),
              "Invalid CRC (BEEF,0012)");
}

TEST(TextResources, TranslatedOnceAndKeptInTheFirstLanguage) {
    platform::FakeClock clock{1'000'000, 0};
    platform::ScopedFakeClock installed{clock};
    translation::TWtransl engine;
    TTextResources resources;
    engine.SetLanguageFile(Sample("kmp_de_utf8.lng"));
    ASSERT_TRUE(engine.TranslateComponent("DE", resources));
    EXPECT_TRUE(resources.Translated());
    EXPECT_EQ(resources.InvalidCrc, "Ungültige Prüfsumme (%.4x,%.4x)");
    EXPECT_EQ(resources.RequestTimeout, "Zeitüberschreitung der Anfrage (ms)");
    EXPECT_EQ(resources.UnableToParseExpression, "Ausdruck \"%s\" nicht lesbar. Fehler bei: %d");
    // An empty translation is no translation.
    EXPECT_EQ(resources.UnallowableAddress, "Unallowable address: %s");
    EXPECT_EQ(resources.ItemsFormationError, "Error on items formation (%s)");

    // A second translation, into another language, changes nothing.
    engine.SetLanguageFile(Sample("kmp_ru_cp1251.lng"));
    EXPECT_TRUE(engine.TranslateComponent("RU", resources));
    EXPECT_EQ(resources.RequestTimeout, "Zeitüberschreitung der Anfrage (ms)");
    EXPECT_EQ(resources.ItemsFormationError, "Error on items formation (%s)");
}

// The "%" conversions of a text in order: a translation that drops, adds or reorders one prints
// the wrong value or none.
std::vector<std::string> Conversions(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at)) {
        const std::size_t end = text.find_first_of("sdxXu%", at + 1);
        out.push_back(text.substr(at, end == std::string::npos ? end : end - at + 1));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// The language file shipped beside the DLL covers every text the plug-in logs, in every language
// it names, and keeps each text's arguments.
TEST(TextResources, ShippedLanguageFileTranslatesEveryOwnText) {
    std::ifstream in(ZOL_SHIPPED_LANGUAGE_FILE, std::ios::binary);
    ASSERT_TRUE(in) << ZOL_SHIPPED_LANGUAGE_FILE;
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const auto header = translation::ReadLanguageFile(bytes, {}, {});
    EXPECT_EQ(header.default_language, "EN");
    ASSERT_GE(header.languages.size(), 2u);

    TaPlugin plugin(nullptr);
    TTextResources resources;
    std::vector<std::string> own = {plugin.MsgNoData, plugin.MsgWriteComplete,
                                    plugin.MsgWriteCompleteError};
    for (std::size_t i = 0; i < resources.MessageCount(); ++i) own.push_back(resources.Message(i));

    for (const auto& language : header.languages) {
        if (language.code == "EN") continue;
        SCOPED_TRACE(language.code);
        std::map<std::string, std::string> dictionary;
        for (auto& entry : translation::ReadLanguageFile(bytes, "EN", language.code).entries) {
            dictionary[entry.source] = entry.translation;
        }
        for (const auto& text : own) {
            SCOPED_TRACE(text);
            const auto found = dictionary.find(text);
            ASSERT_NE(found, dictionary.end());
            EXPECT_NE(found->second, text);
            EXPECT_EQ(Conversions(found->second), Conversions(text));
        }
    }
}

TaPlugin* g_plugin = nullptr;

std::unique_ptr<plugins::TzolPlugin> MakePlugin(plugins::TPluginCallRec* rec) {
    auto plugin = std::make_unique<TaPlugin>(rec);
    g_plugin = plugin.get();
    return plugin;
}

// The instance as the host creates it. The test program has no language file of its own, so
// translation starts switched off; tests switch it on by giving the translator files.
class InstanceTranslation : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, 0};
    platform::ScopedFakeClock installed_{clock_};

    void SetUp() override {
        plugins::LibraryShutdown();
        plugins::RegisterPluginClass(&MakePlugin);
        plugins::LibraryStartup();
        TzolParamsList params;
        plugins::TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Params = &params;
        ASSERT_EQ(plugins::CreatePluginInstanceCall(&rec), 0);
        handle_ = rec.Instance;
        plugin_ = g_plugin;
    }
    void TearDown() override { plugins::LibraryShutdown(); }

    std::int32_t Load(const char* language) {
        TzolParamsList list;
        list.Add("COMMAND", Variant::Ansi("LOAD"));
        list.Add("LANGUAGE", Variant::Ansi(language));
        plugins::TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Instance = handle_;
        rec.Params = &list;
        return plugins::ExecutePluginCommandCall(&rec);
    }
    // Switches translation on as an own language file would at creation.
    void UseLanguageFile(const std::string& file, const char* language) {
        plugin_->Translator->SetLanguageFile(file);
        plugin_->Language = language;
    }

    void* handle_ = nullptr;
    TaPlugin* plugin_ = nullptr;
};

TEST_F(InstanceTranslation, WithoutOwnLanguageFileNothingIsTranslated) {
    EXPECT_EQ(plugin_->Language, "EN");
    EXPECT_EQ(plugin_->LanguageFiles, "");
    EXPECT_EQ(plugin_->Translator->LanguageFile(), "");
    ASSERT_NE(plugin_->TextResources, nullptr);
    EXPECT_EQ(plugin_->TextResources->Owner(), plugin_);
    EXPECT_FALSE(plugin_->TextResources->Translated());
    EXPECT_EQ(plugin_->Translator->ComponentPropertiesText(),
              "CAPTION\r\nHINT\r\nTEXT\r\nTITLE\r\nCAPTIONS\r\nMsgNoData\r\nMsgWriteComplete\r\n"
              "MsgWriteCompleteError\r\nFilter\r\nColumns\r\n");
    EXPECT_EQ(Load("EN"), 0);
    EXPECT_EQ(plugin_->MsgNoData, "No data for processing");
}

TEST_F(InstanceTranslation, TranslatesItsTextsButNotTheMessageTableAgain) {
    UseLanguageFile(Sample("kmp_de_utf8.lng"), "DE");
    plugin_->AfterConstruction();
    EXPECT_EQ(plugin_->MsgNoData, "Keine Daten zur Verarbeitung");
    EXPECT_EQ(plugin_->MsgWriteCompleteError, "Daten wurden mit Fehlern verarbeitet");
    EXPECT_EQ(plugin_->MsgWriteComplete, "Data have been processed successfully");  // "en:>"
    // The message table is a Tag 9997 child: the instance's translation leaves it alone.
    EXPECT_EQ(plugin_->TextResources->RequestTimeout, "Request timeout (ms)");
}

TEST_F(InstanceTranslation, LanguageRequestTranslatesAgainOnlyForTheCurrentLanguage) {
    UseLanguageFile(Sample("kmp_de_utf8.lng"), "DE");
    int announced = 0;
    plugin_->OnLanguageChanged = [&](plugins::TzolPlugin&) { ++announced; };
    plugin_->AfterConstruction();
    plugin_->MsgNoData = "No data for processing";  // as if the texts were reset

    EXPECT_EQ(Load("RU"), 0);
    EXPECT_EQ(plugin_->Language, "DE");
    EXPECT_EQ(plugin_->MsgNoData, "No data for processing");
    EXPECT_EQ(announced, 0);

    EXPECT_EQ(Load("DE"), 0);
    EXPECT_EQ(plugin_->MsgNoData, "Keine Daten zur Verarbeitung");
    EXPECT_EQ(announced, 1);
}

TEST_F(InstanceTranslation, FailingLanguageHandlerIsLoggedUnderTransl) {
    UseLanguageFile(Sample("kmp_de_utf8.lng"), "DE");
    plugin_->OnLanguageChanged = [](plugins::TzolPlugin&) {
        throw std::runtime_error("no dialog");
    };
    plugin_->HostLog().Clear();
    EXPECT_EQ(Load("DE"), 0);
    EXPECT_NE(plugin_->HostLog().Text().find("{TRANSL} no dialog"), std::string::npos);
}

TEST_F(InstanceTranslation, ModuleParameterAddsTranslatedProperties) {
    TzolParamsList list;
    list.Add("COMMAND", Variant::Ansi("SET-MODULE-PARAMETER"));
    list.Add("PARAM", Variant::Ansi("TranslatorComponentProperties"));
    list.Add("VALUE", Variant::Ansi("Hint;Legend|columns"));
    plugins::TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.Instance = handle_;
    rec.Params = &list;
    ASSERT_EQ(plugins::ExecutePluginCommandCall(&rec), 0);
    // "Hint" and "columns" are there already (names compare without regard to case).
    EXPECT_EQ(plugin_->Translator->ComponentPropertiesText(),
              "CAPTION\r\nHINT\r\nTEXT\r\nTITLE\r\nCAPTIONS\r\nMsgNoData\r\nMsgWriteComplete\r\n"
              "MsgWriteCompleteError\r\nFilter\r\nColumns\r\nLegend\r\n");
}

}  // namespace
}  // namespace zol::kmp
