// The command vocabulary of the plug-in frame (everything but LOAD and UNLOAD, which live with
// the instance's lifecycle), the module parameters, and the derived folders.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "platform/system.h"
#include "translation/translator.h"
#include "zolShared/Private/Plugins/call_params.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/CrcUtils.h"

namespace zol::plugins {

using common::Variant;

namespace {

bool IsText(const Variant& value) { return value.Type() == platform::kVtBstr; }

std::vector<std::string_view> SplitText(std::string_view text, char separator) {
    std::vector<std::string_view> out;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = text.find(separator, from);
        out.push_back(text.substr(from, at == std::string_view::npos ? at : at - from));
        if (at == std::string_view::npos) return out;
        from = at + 1;
    }
}

// A decimal index of at most `max_digits` digits; nothing for anything else.
std::optional<std::int32_t> SmallIndex(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    std::int32_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Module configuration list

std::uint32_t TModuleConfigList::KeyOf(std::string_view name) {
    static const std::size_t jamcrc = common::FindCrcModel("jamcrc").value();
    return common::CrcCompute(
        jamcrc, std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
}

void TModuleConfigList::Add(std::string name) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::uint32_t key = KeyOf(name);
    entries_.push_back({std::move(name), key});
}

std::optional<std::pair<std::int32_t, std::string>> TModuleConfigList::FindByKey(
    std::uint32_t key) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].key == key) {
            return std::make_pair(static_cast<std::int32_t>(i), entries_[i].name);
        }
    }
    return std::nullopt;
}

std::string TModuleConfigList::Names(std::string_view separator) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::string out;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (i > 0) out.append(separator);
        out.append(entries_[i].name);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Derived folders

std::string CleanFileName(std::string_view name, char replacement) {
    std::string out;
    out.reserve(name.size() + 1);
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool forbidden =
            u < 32 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
        out.push_back(forbidden ? replacement : c);
    }
    std::string upper;
    for (char c : out)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0 || upper == "CON" ||
        upper == "AUX" || upper == "PRN" || upper == "NUL") {
        out.insert(out.begin(), '_');
    }
    return out;
}

std::string TzolPlugin::AppDataPath() const {
    auto fields = SplitText(ModuleRegistryPath, '\\');
    const std::string folder = fields.size() > 3 ? CleanFileName(fields[3], ' ') : std::string();
    std::string path = platform::CommonAppDataFolder();
    if (!folder.empty()) path += folder + "\\";
    return path;
}

std::string TzolPlugin::ModuleConfigIdText() const {
    const std::string& prefix = INISectionPrefix;
    const auto open = prefix.find('{');
    if (open == std::string::npos) return {};
    const auto close = prefix.find('}', open + 1);
    std::string inner =
        prefix.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    const auto colon = inner.find(':');
    if (colon != std::string::npos && colon + 1 < inner.size()) inner = inner.substr(colon + 1);
    return inner;
}

std::string TzolPlugin::ModuleDataPath() const {
    std::string folder;
    if (auto entry = ModuleConfigs.FindByKey(static_cast<std::uint32_t>(ConfigId))) {
        folder = CleanFileName(entry->second, '-');
    }
    if (folder.empty()) {
        std::string first_line = Description.substr(0, Description.find_first_of("\r\n"));
        folder = CleanFileName(first_line, '-');
    }
    if (folder.empty()) {
        std::string name = ModuleName.substr(0, ModuleName.find_last_of('.'));
        folder = platform::AnsiLowerCase(name);
    }
    return AppDataPath() + ModuleConfigIdText() + "\\" + folder + "\\";
}

// ---------------------------------------------------------------------------------------------
// Commands

std::int32_t TzolPlugin::RunCommand(const std::string& command, TPluginCallRec& rec) {
    CallParams params(rec);
    if (command == "LOAD") {
        LanguageRequest(params);
        return CommandLoad(rec);
    }
    if (command == "UNLOAD") return CommandUnload(rec);
    try {
        if (command == "EVENT") return CommandEvent(params, rec);
        if (command == "SET-ITEMS") {
            auto items = params.Find("ITEMS");
            if (!items || !IsText(*items)) return -1;
            ParserItems.SetFromText(items->AsUtf8(), true);
            if (OnItemsChanged) OnItemsChanged(*this);
            return 0;
        }
        if (command == "SET-STATE") return CommandSetState(params, rec);
        if (command == "ITEMS") {
            if (!params.Find("RESULT")) return -1;
            if (OnBeforeGetParserItems) OnBeforeGetParserItems(*this);
            ParserItemsText = ParserItems.Text();
            params.SetResult(Variant::Utf8(ParserItemsText));
            return 0;
        }
        if (command == "EVENTS-SUPPORT") {
            params.SetResult(Variant::Utf8(EventsSupported));
            return 0;
        }
        if (command == "GET-MODULE-PARAMETER") {
            auto name = params.GetPresent("PARAM");
            if (!name) return -2;
            params.SetResult(GetModuleParameter(name->AsAnsi()));
            return 0;
        }
        if (command == "SET-MODULE-PARAMETER") {
            auto name = params.GetPresent("PARAM");
            if (!name) return -2;
            Variant value = params.Find("VALUE").value_or(Variant::Null());
            params.SetResult(Variant::Bool(SetModuleParameter(name->AsAnsi(), value)));
            return 0;
        }
        if (command == "SAVE-SETTINGS-NOW" || command == "LOAD-SETTINGS-NOW") {
            CommandSettingsNow(params, command == "LOAD-SETTINGS-NOW");
            return -2;
        }
    } catch (...) {
        return -3;
    }
    std::int32_t result = -2;
    if (!OnCommand) return result;
    try {
        OnCommand(*this, command, result, rec);
    } catch (...) {
        LogCommandFailure(command, CurrentExceptionMessage());
        return -3;
    }
    return result;
}

void TzolPlugin::LanguageRequest(const CallParams& params) {
    auto language = params.GetPresent("LANGUAGE");
    if (!language) return;
    const std::string requested = language->AsUtf8();
    // Translation replaces texts in place, so the instance can only be translated again into
    // the language it already has; a request for another one leaves it unchanged.
    if (requested.empty() || Language.empty() || requested != Language) return;
    Translated = 0;
    TranslateSelf();
    if (!OnLanguageChanged) return;
    try {
        OnLanguageChanged(*this);
    } catch (...) {
        LogCommandFailure("TRANSL", CurrentExceptionMessage());
    }
}

std::int32_t TzolPlugin::CommandEvent(const CallParams& params, TPluginCallRec& rec) {
    auto type = params.GetPresent("EVENT-TYPE");
    if (!type) return -1;
    if (!OnEvent) return 0;
    const std::string name = type->AsAnsi();
    std::int32_t result = -1;
    try {
        OnEvent(*this, name, result, rec);
    } catch (...) {
        LogCommandFailure("EVENT", CurrentExceptionMessage());
        return -3;
    }
    return result;
}

std::int32_t TzolPlugin::CommandSetState(const CallParams& params, TPluginCallRec& rec) {
    std::int32_t result = -1;
    if (auto sources = params.GetPresent("DATA-SOURCES-IN-CFG")) {
        DataSources.clear();
        const std::string text = sources->AsAnsi();
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find_first_of("\r\n", start);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            if (line.empty()) continue;
            try {
                auto fields = SplitText(line, ';');
                std::int32_t id = 0;
                const std::string_view first = fields[0];
                auto [ptr, ec] = std::from_chars(first.data(), first.data() + first.size(), id);
                if (ec != std::errc() || ptr != first.data() + first.size()) continue;
                TConfigDataSource source;
                source.Line = line;
                source.Id = id;
                if (fields.size() > 1) source.Name = fields[1];
                if (fields.size() > 2) source.FullName = fields[2];
                DataSources.push_back(std::move(source));
            } catch (...) {
                LogCommandFailure("SETSTATE", CurrentExceptionMessage());
            }
        }
    }
    if (auto load_for = params.GetPresent("DATA-SOURCE-LOAD"))
        DataSourceLoadFor = load_for->AsUtf8();
    if (auto value = params.GetPresent("RESULT")) {
        const bool on = value->AsInt64() == 1;
        for (int bit = 0; bit < 8; ++bit) {
            if ((rec.StateMask & (1u << bit)) != 0) Enabled[static_cast<std::size_t>(bit)] = on;
        }
        if (OnChangeState) OnChangeState(*this, rec.StateMask);
        result = 0;
    }
    return result;
}

void TzolPlugin::CommandSettingsNow(const CallParams& params, bool load) {
    const std::string remembered = INIFile;
    struct Restore {
        TzolPlugin& self;
        const std::string& value;
        ~Restore() { self.INIFile = value; }
    } restore{*this, remembered};
    auto ini = params.GetPresent("INI-FILE");
    INIFile = ini ? ini->AsUtf8() : std::string();
    if (load) {
        if (OnLoadSettingsNow) OnLoadSettingsNow(*this);
        INIFile = remembered;
    }
    if (OnSaveSettingsNow) {
        auto no_save = params.GetPresent("NO-SAVE");
        if (!no_save || no_save->AsInt64(0) == 0) OnSaveSettingsNow(*this);
    }
}

// ---------------------------------------------------------------------------------------------
// Module parameters

namespace {

bool Same(std::string_view a, std::string_view b) { return common::SameTextAscii(a, b); }

}  // namespace

std::optional<std::string> TzolPlugin::CustomName(std::string_view key) {
    if (key.substr(0, 6) != "Custom") return std::nullopt;
    std::string_view name = key.substr(6);
    if (!name.empty() && (name[0] == ' ' || name[0] == ':' || name[0] == '_')) {
        name.remove_prefix(1);
    }
    if (name.empty()) return std::nullopt;
    return std::string(name);
}

Variant TzolPlugin::GetModuleParameter(const std::string& key) {
    // "CustomCommands" is a key of its own, not a value of the "Custom" store.
    if (Same(key, "CustomCommands")) {
        std::shared_lock<platform::SharedMutex> guard(TextsLock());
        return Variant::Utf8(CustomCommands.Text());
    }
    if (auto custom = CustomName(key)) {
        common::TzolParamsList& store = CustomStore.ReadLock();
        struct Unlock {
            common::TzolThreadParamsList& s;
            ~Unlock() { s.ReadUnlock(); }
        } unlock{CustomStore};
        if (Same(*custom, "COUNT")) return Variant::Int32(store.Count());
        if (auto index = SmallIndex(*custom, 2)) {
            const auto* item = store.Item(*index);
            return item != nullptr ? item->Value : Variant::Null();
        }
        const auto* item = store.FindItem(*custom);
        return item != nullptr ? item->Value : Variant::Null();
    }
    if (key.size() >= 14) {
        const std::string_view head = std::string_view(key).substr(0, 14);
        if (head == "ParserItemName" || head == "ParserItemDesc" || head == "ParserItemType") {
            // Characters 15 to 17 hold the index; whatever follows them is ignored.
            auto index = SmallIndex(std::string_view(key).substr(14, 3), 3);
            if (!index) return Variant();
            const TParserItem* item = ParserItems.At(*index);
            if (item == nullptr) return Variant();
            if (head == "ParserItemName") return Variant::Utf8(item->Name);
            if (head == "ParserItemDesc") return Variant::Utf8(item->Description);
            return Variant::Int32(item->ItemType);
        }
    }
    const auto handle = [](auto value) {
        return Variant::Int64(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(value)));
    };
    const auto number = [](std::uintptr_t value) {
        return Variant::Int64(static_cast<std::int64_t>(value));
    };
    if (Same(key, "LogTitle")) return Variant::Utf8(ReadText(LogTitle));
    if (Same(key, "Description")) return Variant::Utf8(ReadText(Description));
    if (Same(key, "EventsSupported")) return Variant::Utf8(EventsSupported);
    if (Same(key, "TranslatorComponentProperties")) {
        return Variant::Utf8(Translator != nullptr ? Translator->ComponentPropertiesText() : "");
    }
    if (Same(key, "ModuleType")) return Variant::Int32(ModuleType);
    if (Same(key, "ModuleEnabled")) {
        std::int32_t mask = 0;
        for (std::size_t bit = 0; bit < Enabled.size(); ++bit) {
            if (Enabled[bit]) mask |= 1 << bit;
        }
        return Variant::Int32(mask);
    }
    if (Same(key, "ModuleDllHandle")) return number(ModuleHandle);
    if (Same(key, "ModuleLoadCount")) return Variant::Int32(LoadCount.load());
    if (Same(key, "ModuleIndex")) return Variant::Int32(Tag);
    if (Same(key, "ModulePluginHandle")) return handle(SelfHandle);
    if (Same(key, "ModulePath")) return Variant::Utf8(ModulePath);
    if (Same(key, "ModuleDataPath")) return Variant::Utf8(ModuleDataPath());
    if (Same(key, "AppDataPath")) return Variant::Utf8(AppDataPath());
    if (Same(key, "ModuleName")) return Variant::Utf8(ModuleName);
    if (Same(key, "ModuleLoadForConfig")) return Variant::Int32(ConfigId);
    if (Same(key, "ModuleConfigId")) return Variant::Utf8(ModuleConfigIdText());
    if (Same(key, "ApplicationFullName")) return Variant::Utf8(ApplicationName);
    if (Same(key, "INIFile")) return Variant::Utf8(INIFile);
    if (Same(key, "ModuleRegistryRoot1")) return Variant::Int32(ModuleRegistryRoot1);
    if (Same(key, "ModuleRegistryRoot2")) return Variant::Int32(ModuleRegistryRoot2);
    if (Same(key, "ModuleRegistryPath")) return Variant::Utf8(ModuleRegistryPath);
    if (Same(key, "INISectionPrefix")) return Variant::Utf8(INISectionPrefix);
    if (Same(key, "DisplayFullVersion")) return Variant::Utf8(DisplayFullVersion);
    if (Same(key, "ParserItems")) return Variant::Utf8(ParserItems.Text());
    if (Same(key, "ParserItemsCount")) return Variant::Int32(ParserItems.Count());
    if (Same(key, "DataSourceLoadFor")) return Variant::Utf8(DataSourceLoadFor);
    if (Same(key, "TerminateNow")) return Variant::Bool(Unloaded.load() != 0);
    if (Same(key, "IsTemporaryLoad")) return Variant::Bool(IsTemporaryLoad != 0);
    if (Same(key, "ParentApp")) return number(HostModule);
    if (Same(key, "OWNER-FORM")) return number(OwnerForm);
    if (Same(key, "TESTTRANSL")) return Variant::Bool(TestTranslation());
    return Variant();
}

bool TzolPlugin::SetModuleParameter(const std::string& key, const Variant& value) {
    if (Same(key, "CustomCommands")) {
        std::unique_lock<platform::SharedMutex> guard(TextsLock());
        CustomCommands.AddFromText(value.AsUtf8());
        return true;
    }
    if (auto custom = CustomName(key)) {
        common::TzolParamsList& store = CustomStore.WriteLock();
        struct Unlock {
            common::TzolThreadParamsList& s;
            ~Unlock() { s.WriteUnlock(); }
        } unlock{CustomStore};
        if (Same(*custom, "COUNT")) {
            store.Clear();
        } else if (auto index = SmallIndex(*custom, 2)) {
            if (auto* item = store.Item(*index)) item->Value = value;
        } else {
            store.SetValue(*custom, value, true);
        }
        return true;
    }
    if (Same(key, "LogTitle")) {
        WriteText(LogTitle, value.AsUtf8());
    } else if (Same(key, "Description")) {
        WriteText(Description, value.AsUtf8());
    } else if (Same(key, "EventsSupported")) {
        EventsSupported = value.AsUtf8();
    } else if (Same(key, "TranslatorComponentProperties")) {
        if (Translator == nullptr) return false;
        Translator->AddComponentProperties(value.AsUtf8());
    } else if (Same(key, "ModuleType")) {
        auto bits = value.ToInt64();
        if (!bits) return false;
        ModuleType = static_cast<std::uint8_t>(*bits & 0xFF);
    } else if (Same(key, "ParserItems")) {
        ParserItems.SetFromText(value.AsUtf8(), true);
    } else if (Same(key, "OWNER-FORM")) {
        auto handle = value.ToInt64();
        if (!handle) return false;
        OwnerForm = static_cast<std::uintptr_t>(*handle);
    } else if (Same(key, "SUBSCRIBE-FOR-DATA")) {
        auto subscribe = value.ToInt64();
        if (!subscribe) return false;
        SubscribeForData = static_cast<std::int32_t>(*subscribe);
    } else {
        return false;
    }
    return true;
}

}  // namespace zol::plugins
