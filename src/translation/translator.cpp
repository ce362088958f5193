#include "translation/translator.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/system.h"
#include "translation/text_resources.h"
#include "translation/text_rules.h"
#include "zolShared/Public/Common/zolTimerEx.h"

namespace zol::translation {

namespace {

// A language file larger than this is not a language file; reading it would only waste memory.
constexpr std::uintmax_t kMaxLanguageFileBytes = 64u * 1024u * 1024u;

std::vector<std::string> SplitFileList(std::string_view list) {
    std::vector<std::string> files;
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t at = list.find('|', from);
        if (at == std::string_view::npos) at = list.size();
        std::string_view name = TrimText(list.substr(from, at - from));
        if (!name.empty()) files.emplace_back(name);
        from = at + 1;
    }
    return files;
}

// The whole file, or nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& file_name) {
    std::ifstream in(file_name, std::ios::binary);
    if (!in) return std::nullopt;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uintmax_t>(size) > kMaxLanguageFileBytes) return std::nullopt;
    in.seekg(0, std::ios::beg);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 &&
        !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        return std::nullopt;
    }
    return bytes;
}

bool StartsWith(std::string_view text, std::string_view prefix) noexcept {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Dictionary

void TWtranslLanguagesList::Clear() noexcept {
    exact_.clear();
    lower_.clear();
}

void TWtranslLanguagesList::Add(const std::string& source, const std::string& translation) {
    exact_[source] = translation;
    std::string lower = LowerCaseText(source);
    if (lower != source) lower_[lower] = translation;
}

const std::string* TWtranslLanguagesList::FindExact(const std::string& key) const {
    auto it = exact_.find(key);
    return it == exact_.end() ? nullptr : &it->second;
}

std::optional<std::string> TWtranslLanguagesList::Translate(std::string_view value) const {
    const std::string text(TrimText(value));
    if (text.empty() || exact_.empty()) return std::nullopt;
    const std::string* hit = FindExact(text);
    bool without_accelerator = false;
    const std::string escaped = EscapeControls(text);
    if (hit == nullptr && escaped != text) hit = FindExact(escaped);
    if (hit == nullptr) {
        const std::string stripped = StripAccelerator(escaped);
        if (stripped != escaped) {
            hit = FindExact(stripped);
            without_accelerator = hit != nullptr;
        }
    }
    if (hit == nullptr) {
        const std::string lower = LowerCaseText(escaped);
        auto it = lower_.find(lower);
        if (it != lower_.end()) {
            hit = &it->second;
        } else {
            // A source text written in lower case is only in the exact table.
            hit = FindExact(lower);
        }
    }
    if (hit == nullptr) return std::nullopt;
    std::string result = HasControlCharacters(value) ? UnescapeControls(*hit) : *hit;
    if (!without_accelerator) result = DropSingleAmpersands(result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Engine

TWtransl::TWtransl(common::Component* owner, std::string name)
    : Component(owner, std::move(name)),
      component_properties_{"CAPTION", "HINT", "TEXT", "TITLE", "CAPTIONS"} {
    PublishString(
        "LanguageFile", [this] { return LanguageFile(); },
        [this](std::string value) { SetLanguageFile(std::move(value)); });
}

TWtransl::~TWtransl() {
    // Taken out under the lock, so a tick in progress on the timer's thread finds no timer to free.
    std::unique_ptr<common::TzolTimerEx> timer;
    {
        std::lock_guard<platform::RecursiveMutex> guard(lock_);
        timer = std::move(release_timer_);
    }
    common::FreeTimer(timer);
}

std::string TWtransl::LanguageFile() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return language_file_;
}

void TWtransl::SetLanguageFile(std::string files) {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    language_file_ = std::move(files);
    ReleaseDictionary();
}

std::vector<std::string> TWtransl::ComponentProperties() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return component_properties_;
}

std::string TWtransl::ComponentPropertiesText() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    std::string text;
    for (const auto& name : component_properties_) text.append(name).append("\r\n");
    return text;
}

void TWtransl::AddComponentProperties(std::string_view names) {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    std::size_t from = 0;
    while (from <= names.size()) {
        std::size_t at = names.find_first_of(";|", from);
        if (at == std::string_view::npos) at = names.size();
        const std::string_view name = TrimText(names.substr(from, at - from));
        if (!name.empty() && !IsTranslatedProperty(name)) component_properties_.emplace_back(name);
        from = at + 1;
    }
}

bool TWtransl::IsTranslatedProperty(std::string_view name) const {
    return std::any_of(component_properties_.begin(), component_properties_.end(),
                       [name](const std::string& p) { return common::SameTextAscii(p, name); });
}

std::string TWtransl::SourceLanguage() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return source_language_;
}

void TWtransl::SetSourceLanguage(std::string language) {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    source_language_ = std::move(language);
}

std::string TWtransl::CurrentLanguage() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return current_language_;
}

LanguageFileOptions TWtransl::FileOptions() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return options_;
}

std::size_t TWtransl::LoadedCount() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return loaded_ ? loaded_count_ : 0;
}

bool TWtransl::DictionaryLoaded() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return loaded_;
}

std::vector<std::string> TWtransl::UntranslatedTexts() const {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    return untranslated_;
}

LanguageList TWtransl::ListLanguages() const {
    std::string files;
    {
        std::lock_guard<platform::RecursiveMutex> guard(lock_);
        files = language_file_;
    }
    for (const auto& file : SplitFileList(files)) {
        if (!platform::FileExists(file)) continue;
        auto bytes = ReadWholeFile(file);
        if (!bytes) continue;
        LanguageFileContent content = ReadLanguageFile(*bytes, {}, {});
        if (!content.languages.empty()) {
            return LanguageList{std::move(content.default_language), std::move(content.languages)};
        }
    }
    return {};
}

void TWtransl::LoadDictionary(const std::string& source, const std::string& target) {
    dictionary_.Clear();
    untranslated_.clear();
    options_ = LanguageFileOptions{};
    for (const auto& file : SplitFileList(language_file_)) {
        if (!platform::FileExists(file)) continue;
        auto bytes = ReadWholeFile(file);
        if (!bytes) break;  // a file that cannot be read ends the loading
        LanguageFileContent content = ReadLanguageFile(*bytes, source, target, options_);
        options_ = content.options;
        for (const auto& entry : content.entries) dictionary_.Add(entry.source, entry.translation);
    }
    loaded_ = true;
    loaded_source_ = source;
    loaded_target_ = target;
    loaded_count_ = dictionary_.Count();
}

void TWtransl::ReleaseDictionary() noexcept {
    dictionary_.Clear();
    loaded_ = false;
    loaded_source_.clear();
    loaded_target_.clear();
    loaded_count_ = 0;
    release_deadline_.Clear();
}

bool TWtransl::ReleaseIfIdle() {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    if (!loaded_ || !release_deadline_.Expired()) return false;
    ReleaseDictionary();
    return true;
}

void TWtransl::ArmReleaseTimer() noexcept {
    release_deadline_.StartWithTimeout(kReleaseAfterMs);
    try {
        if (!release_timer_) {
            auto timer = std::make_unique<common::TzolTimerEx>();
            timer->SetInterval(kReleaseAfterMs);
            timer->SetOnTimer([this](common::TzolTimerEx&) {
                std::lock_guard<platform::RecursiveMutex> guard(lock_);
                // Not idle yet: a later translation moved the deadline; tick again.
                if (!ReleaseIfIdle()) return;
                // An idle engine keeps no timer (and no window) bound to a thread; the next
                // translation makes a new one on its own thread. The timer copies its handler
                // before calling it, so freeing it here is safe; nothing is touched afterwards.
                common::FreeTimer(release_timer_);
            });
            release_timer_ = std::move(timer);
            return;
        }
        if (release_timer_->OwnerThread() == platform::CurrentThreadId()) {
            // Restart the interval from now.
            release_timer_->SetEnabled(false);
        }
        release_timer_->SetEnabled(true);
    } catch (...) {
        // Without a timer the dictionary is still released by the deadline check of the next
        // translation; only its memory is held longer.
    }
}

std::optional<std::string> TWtransl::Lookup(std::string_view value) {
    auto translation = dictionary_.Translate(value);
    if (!translation && options_.save_mode != SaveMode::kNone) {
        std::string text(TrimText(value));
        if (!text.empty() &&
            std::find(untranslated_.begin(), untranslated_.end(), text) == untranslated_.end()) {
            untranslated_.push_back(std::move(text));
        }
    }
    return translation;
}

bool TWtransl::TranslateComponent(std::string_view target, common::Component& component,
                                  std::string_view source) {
    std::string wanted_target(target);
    if (wanted_target.empty()) wanted_target = ListLanguages().default_language;
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    if (SplitFileList(language_file_).empty() || wanted_target.empty()) return false;
    const std::string wanted_source = source.empty() ? source_language_ : std::string(source);
    if (wanted_source.empty()) return false;
    if (loaded_ && release_deadline_.Expired()) ReleaseDictionary();
    if (!loaded_ || loaded_source_ != wanted_source || loaded_target_ != wanted_target) {
        LoadDictionary(wanted_source, wanted_target);
    }
    current_language_ = wanted_target;
    ArmReleaseTimer();
    if (loaded_count_ == 0 && options_.save_mode == SaveMode::kNone) return false;
    if (OnBeforeTranslate) OnBeforeTranslate(*this);
    if (component.Tag() != kTagNotTranslated) TranslateOne(component);
    TranslateChildren(component);
    if (OnAfterTranslate) OnAfterTranslate(*this);
    return true;
}

std::optional<std::string> TWtransl::TranslateString(std::string_view text) {
    std::lock_guard<platform::RecursiveMutex> guard(lock_);
    if (loaded_ && release_deadline_.Expired()) ReleaseDictionary();
    if (!loaded_) {
        if (current_language_.empty() || SplitFileList(language_file_).empty()) {
            return std::nullopt;
        }
        LoadDictionary(source_language_, current_language_);
    }
    ArmReleaseTimer();
    return Lookup(text);
}

void TWtransl::TranslateProperties(common::Component& component) {
    for (const auto& name : component.PublishedStringProperties()) {
        if (!IsTranslatedProperty(name)) continue;
        auto value = component.GetStringProperty(name);
        if (!value) continue;
        // Written only when it changes: texts such as the instance's messages are read by other
        // threads, and a translation into the language they already have finds them unchanged.
        auto translation = Lookup(*value);
        if (translation && *translation != *value) {
            component.SetStringProperty(name, std::move(*translation));
        }
    }
}

void TWtransl::TranslateOne(common::Component& component) {
    if (OnBeforeTranslateComponent) OnBeforeTranslateComponent(*this, component);
    TranslateProperties(component);
    if (auto* resources = dynamic_cast<TCustomTextResources*>(&component)) {
        resources->TranslateMessages([this](std::string_view text) { return Lookup(text); });
    }
    if (OnCustomTranslate) OnCustomTranslate(*this, component);
}

void TWtransl::TranslateChildren(common::Component& component) {
    for (std::size_t i = 0; i < component.ComponentCount(); ++i) {
        common::Component* child = component.ComponentAt(i);
        if (child == nullptr) break;
        if (child->Tag() == kTagSkipped || StartsWith(child->Name(), "__")) continue;
        if (child->Tag() == kTagTextResources) {
            if (OnCustomTranslate) OnCustomTranslate(*this, *child);
        } else if (child->Tag() != kTagNotTranslated) {
            TranslateOne(*child);
        }
        if (!StartsWith(child->Name(), "_")) TranslateChildren(*child);
    }
}

}  // namespace zol::translation
