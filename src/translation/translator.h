#pragma once
// The translation engine: reads the language files for a pair of languages into a dictionary and
// replaces the texts of a component and its children. One engine per plug-in instance. The
// dictionary is released 20 seconds after the last translation and read again when next needed.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/recursive_mutex.h"
#include "translation/language_file.h"
#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/zolTimeout.h"

namespace zol::common {
class TzolTimerEx;
}

namespace zol::translation {

// Components with these tags are treated specially while children are walked.
inline constexpr std::int32_t kTagTextResources = 9997;  // only the custom-translate event
inline constexpr std::int32_t kTagNotTranslated = 9998;  // its own texts stay, children walked
inline constexpr std::int32_t kTagSkipped = 9999;        // skipped with all its children

inline constexpr std::uint32_t kReleaseAfterMs = 20000;

// The dictionary: an exact table and a lower-case table, both from source text to translation.
class TWtranslLanguagesList {
   public:
    void Clear() noexcept;
    // Enters a translation under its source text (a later entry replaces an earlier one).
    void Add(const std::string& source, const std::string& translation);
    std::size_t Count() const noexcept { return exact_.size(); }

    // The value a property holding `value` gets, or nothing when the dictionary has no
    // translation for it. Lookup order: the trimmed text; the text with control characters as
    // "%XX"; that text without its "&" accelerator mark; its lower-case form. In the result "%XX"
    // is turned back into control characters when `value` held any, and unless the hit came
    // without the accelerator mark single "&" are dropped ("&&" kept).
    std::optional<std::string> Translate(std::string_view value) const;

   private:
    const std::string* FindExact(const std::string& key) const;
    std::unordered_map<std::string, std::string> exact_;
    std::unordered_map<std::string, std::string> lower_;
};

// The languages the language files offer.
struct LanguageList {
    std::string default_language;
    std::vector<LanguageName> languages;
};

class TWtransl : public common::Component {
   public:
    using ComponentEvent = std::function<void(TWtransl&, common::Component&)>;
    using NotifyEvent = std::function<void(TWtransl&)>;

    explicit TWtransl(common::Component* owner = nullptr, std::string name = "Wtransl");
    ~TWtransl() override;

    // Language files joined by "|" (published as "LanguageFile"). Changing it forgets the
    // loaded dictionary.
    std::string LanguageFile() const;
    void SetLanguageFile(std::string files);

    // Names of the properties that are translated, compared without regard to case.
    std::vector<std::string> ComponentProperties() const;
    // The names one per line, each followed by CR LF.
    std::string ComponentPropertiesText() const;
    // Adds each name of a list separated by ";" or "|" (names already present are not repeated).
    void AddComponentProperties(std::string_view names);

    // The language the texts are written in ("EN").
    std::string SourceLanguage() const;
    void SetSourceLanguage(std::string language);
    // The language of the last translation.
    std::string CurrentLanguage() const;

    // Translates `component` and its children into `target` (empty: the files' default
    // language) from `source` (empty: the source language). Reads the dictionary when the pair
    // differs from the one loaded. True when texts were looked up.
    bool TranslateComponent(std::string_view target, common::Component& component,
                            std::string_view source = {});
    // One text looked up in the dictionary of the current pair (read again when released).
    std::optional<std::string> TranslateString(std::string_view text);
    // The default language of the first listed file that names at least one language, and
    // that file's languages.
    LanguageList ListLanguages() const;

    // The options the header lines of the last dictionary read set.
    LanguageFileOptions FileOptions() const;
    // Number of entries of the loaded dictionary (0 when released).
    std::size_t LoadedCount() const;
    bool DictionaryLoaded() const;
    // With a save mode set by the files: texts looked up without a translation, in the order
    // first met (each once). Nothing is written to disk.
    std::vector<std::string> UntranslatedTexts() const;

    // Frees the dictionary when 20 seconds have passed since the last translation; the release
    // timer calls it. True when released.
    bool ReleaseIfIdle();

    // Events; this system leaves them unassigned.
    ComponentEvent OnCustomTranslate;
    NotifyEvent OnBeforeTranslate;
    NotifyEvent OnAfterTranslate;
    ComponentEvent OnBeforeTranslateComponent;

   private:
    void LoadDictionary(const std::string& source, const std::string& target);
    void ReleaseDictionary() noexcept;
    void TranslateOne(common::Component& component);
    void TranslateChildren(common::Component& component);
    void TranslateProperties(common::Component& component);
    std::optional<std::string> Lookup(std::string_view value);
    bool IsTranslatedProperty(std::string_view name) const;
    void ArmReleaseTimer() noexcept;

    mutable platform::RecursiveMutex lock_;
    std::string language_file_ = "app.lng";
    std::vector<std::string> component_properties_;
    std::string source_language_ = "EN";
    std::string current_language_;
    TWtranslLanguagesList dictionary_;
    bool loaded_ = false;
    std::string loaded_source_;
    std::string loaded_target_;
    std::size_t loaded_count_ = 0;
    LanguageFileOptions options_;
    std::vector<std::string> untranslated_;
    common::TzolTimeout release_deadline_;
    std::unique_ptr<common::TzolTimerEx> release_timer_;
};

}  // namespace zol::translation
