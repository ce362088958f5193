#include "zolShared/Private/Plugins/zolPluginModule.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <shared_mutex>
#include <stdexcept>

#include "platform/crash_report.h"
#include "platform/host_link.h"
#include "platform/system.h"
#include "translation/translator.h"
#include "zolShared/Private/Plugins/call_params.h"
#include "zolShared/Private/Plugins/call_record.h"

namespace zol::plugins {

using common::Variant;

namespace {

std::uintptr_t HandleFromVariant(const Variant& value) {
    return static_cast<std::uintptr_t>(value.AsInt64());
}

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string& path) {
    auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The failure of the dispatcher itself (as opposed to a failing command).
class DispatcherFailure : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

}  // namespace

std::string CurrentExceptionMessage() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

// ---------------------------------------------------------------------------------------------
// Instance

TzolPlugin::TzolPlugin(TPluginCallRec* creating_call) : Component(nullptr, "zolPlugin") {
    const std::string module_file = platform::ThisModuleFileName();
    ModulePath = FolderOf(module_file);
    ModuleName = FileNameOf(module_file);
    DisplayFullVersion = platform::FileVersionText(module_file);

    std::string own_language_file = ModulePath + ModuleName;
    auto dot = own_language_file.find_last_of('.');
    if (dot != std::string::npos && dot > own_language_file.find_last_of("\\/") + 1) {
        own_language_file.resize(dot);
    }
    own_language_file += ".lng";
    LanguageFiles = platform::HostProgramFolder() + "plugins.lng|" + own_language_file;
    // Translation is on only with the plug-in's own language file; the language then becomes
    // the default the files name.
    Translator = new translation::TWtransl(this, "Translator");
    Translator->SetLanguageFile(LanguageFiles);
    Translator->SetSourceLanguage("EN");
    Language = "EN";
    if (platform::FileExists(own_language_file)) {
        Language = Translator->ListLanguages().default_language;
    } else {
        LanguageFiles.clear();
        Translator->SetLanguageFile(LanguageFiles);
    }
    Translator->AddComponentProperties("MsgNoData;MsgWriteComplete;MsgWriteCompleteError");

    // Translation may change these while ProcessData reads them on another thread.
    for (auto [name, field] : {std::pair<const char*, std::string*>{"MsgNoData", &MsgNoData},
                               {"MsgWriteComplete", &MsgWriteComplete},
                               {"MsgWriteCompleteError", &MsgWriteCompleteError}}) {
        PublishString(
            name, [this, field = field] { return ReadText(*field); },
            [this, field = field](std::string value) { WriteText(*field, std::move(value)); });
    }

    IsTemporaryLoad = 0;
    if (creating_call == nullptr || creating_call->Params == nullptr) {
        IsTemporaryLoad = 1;
    } else {
        ReadTemporaryLoad(*creating_call);
    }
}

TzolPlugin::~TzolPlugin() { destroying_ = true; }

bool TzolPlugin::TranslateComponent(common::Component& component) {
    if (Translator == nullptr) return false;
    return Translator->TranslateComponent(Language.empty() ? "NONE" : Language, component, "EN");
}

void TzolPlugin::TranslateSelf() {
    if (Translated != 0) return;
    Translated = 1;
    try {
        TranslateComponent(*this);
    } catch (...) {
        LogCommandFailure("TRANSL", CurrentExceptionMessage());
    }
}

void TzolPlugin::AfterConstruction() {
    if (Translator != nullptr && !Translator->LanguageFile().empty()) TranslateSelf();
}

void TzolPlugin::ReadTemporaryLoad(const TPluginCallRec& rec) {
    if (auto value = CallParams(rec).GetPresent("TEMPORARY-LOAD")) {
        IsTemporaryLoad = static_cast<std::uint8_t>(value->AsInt64());
    }
}

void TzolPlugin::Log(int severity, std::string_view text, bool marked) noexcept {
    if (destroying_) return;
    try {
        std::string line = common::TLogDataList::FormatLine(
            severity, platform::Utf16ToAnsi(common::Utf8ToUtf16(ReadText(LogTitle))),
            platform::Utf16ToAnsi(common::Utf8ToUtf16(text)), marked);
        host_log_.AddLine(std::move(line));
        NotifyHost(kMsgLogPending);
    } catch (...) {
        // Logging never raises.
    }
}

std::string TzolPlugin::ReadText(const std::string& field) const {
    std::shared_lock<platform::SharedMutex> guard(texts_lock_);
    return field;
}

void TzolPlugin::WriteText(std::string& field, std::string value) {
    std::unique_lock<platform::SharedMutex> guard(texts_lock_);
    field = std::move(value);
}

void TzolPlugin::LogCommandFailure(std::string_view command, std::string_view message) noexcept {
    try {
        std::string text = "{" + std::string(command) + "} " + std::string(message);
        Log(0, text);
        platform::DebugOutput(text + ": " + platform::CurrentStackTrace());
    } catch (...) {
    }
}

void TzolPlugin::NotifyHost(std::uint32_t message) noexcept {
    const std::uintptr_t window = HostWindow.load();
    if (window == 0) return;
    const auto tag = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Tag));
    if (!platform::PostWindowMessage(window, message, tag, 0)) {
        platform::SendWindowMessageTimeout(window, message, tag, 0, 1000);
    }
}

std::int32_t TzolPlugin::SendDataEx(std::int32_t source_id, std::int32_t client_id,
                                    std::int32_t kind, std::intptr_t data,
                                    std::int32_t size) noexcept {
    const SendDataExFunction send = EntryPoints().Vantor_SendDataEx;
    if (send == nullptr) return -1;
    try {
        return send(Tag, source_id, client_id, 0, kind, data, size);
    } catch (...) {
        return -1;
    }
}

bool TzolPlugin::ProcessSettings(common::TWregOperation kind,
                                 const std::vector<std::string>& property_map,
                                 common::Component& object) {
    auto root = [](std::uint8_t value) {
        return value < static_cast<std::uint8_t>(common::TRegistryRoot::rrNone)
                   ? static_cast<common::TRegistryRoot>(value)
                   : common::TRegistryRoot::rrNone;
    };
    common::TWreg store;
    store.RegistryRoot = root(ModuleRegistryRoot1);
    store.SecondRegistryRoot = root(ModuleRegistryRoot2);
    store.RegistryPath = ModuleRegistryPath;
    store.INIFileSectionPrefix = INISectionPrefix;
    store.INIFile = INIFile;
    store.Components = property_map;
    store.Object = &object;
    store.SetLog([this](int severity, std::string_view text) { Log(severity, text); });
    SettingsBusy = true;
    struct Idle {
        std::atomic<bool>& busy;
        ~Idle() { busy = false; }
    } idle{SettingsBusy};
    return store.Execute(kind);
}

HostEntryPoints TzolPlugin::EntryPoints() const {
    std::lock_guard<std::mutex> guard(entry_points_lock_);
    return entry_points_;
}

void TzolPlugin::ResolveEntryPoints() {
    HostEntryPoints found;
    if (HostModule != 0) {
        found.Vantor_SendNotify = platform::FindModuleExport(HostModule, "Vantor_SendNotify");
        found.Vantor_SendDataEx = reinterpret_cast<SendDataExFunction>(
            platform::FindModuleExport(HostModule, "Vantor_SendDataEx"));
        found.Vantor_DataSourceData =
            platform::FindModuleExport(HostModule, "Vantor_DataSourceData");
        found.Vantor_DataSourceState =
            platform::FindModuleExport(HostModule, "Vantor_DataSourceState");
        found.Vantor_ManageDynForm = platform::FindModuleExport(HostModule, "Vantor_ManageDynForm");
    }
    std::lock_guard<std::mutex> guard(entry_points_lock_);
    entry_points_ = found;
}

std::int32_t TzolPlugin::ExecuteCommand(TPluginCallRec& rec) {
    ReadTemporaryLoad(rec);
    CallParams params(rec);
    auto command = params.GetPresent("COMMAND");
    const std::string text = command ? command->AsAnsi() : std::string();
    if (text.empty()) {
        Log(0, "{CMD?} The call names no COMMAND");
        return -1;
    }
    try {
        return DispatchCommand(text, rec);
    } catch (const DispatcherFailure&) {
        platform::ReportCurrentException("ExecutePluginCommand");
        return -3;
    }
}

std::int32_t TzolPlugin::DispatchCommand(const std::string& command, TPluginCallRec& rec) {
    std::lock_guard<platform::RecursiveMutex> guard(CommandLock);
    struct DepthGuard {
        std::atomic<std::int32_t>& depth;
        std::int32_t value;
        explicit DepthGuard(std::atomic<std::int32_t>& d) : depth(d), value(++d) {}
        ~DepthGuard() { --depth; }
    } depth(CommandDepth);
    if (depth.value != 1) throw DispatcherFailure("Nested plugin commands are not allowed");

    CallParams params(rec);
    if (auto window = params.GetPresent("MSG-PROC-HANDLE")) {
        HostWindow = HandleFromVariant(*window);
    }
    if (auto owner = params.GetPresent("OWNER-FORM")) OwnerForm = HandleFromVariant(*owner);
    return RunCommand(command, rec);
}

bool TzolPlugin::TestTranslation() { return platform::HostHasArgument("/TESTTRANSL"); }

std::int32_t TzolPlugin::CommandLoad(TPluginCallRec& rec) {
    if (LoadCount.fetch_add(1) + 1 > 1) return 0;
    try {
        CallParams params(rec);
        LoaderThread = platform::CurrentThreadId();
        OptionsOpen = 0;
        Tag = rec.Tag;
        auto text_of = [&](std::string_view name) {
            auto value = params.GetPresent(name);
            return value ? value->AsUtf8() : std::string();
        };
        ModuleRegistryPath = text_of("REGISTRY-PATH");
        INISectionPrefix = text_of("INI-SECTION-PREFIX");
        if (auto handle = params.GetPresent("HANDLE")) HostModule = HandleFromVariant(*handle);
        ApplicationName = text_of("APPLICATION-NAME");
        if (HostModule == 0 && !ApplicationName.empty()) {
            HostModule = platform::FindLoadedModule(
                platform::Utf16ToAnsi(common::Utf8ToUtf16(ApplicationName)));
        }
        ConfigId = 0;
        if ((Capabilities & 0x04) != 0) {
            if (auto config = params.GetPresent("CONFIG-ID")) {
                ConfigId = static_cast<std::int32_t>(config->AsInt64());
            }
        }
        INIFile = text_of("INI-FILE");
        // Also without a host module: nothing of a host that loaded the instance before stays.
        ResolveEntryPoints();
        Unloaded = 0;
        if (host_log_.Count() > 0) NotifyHost(kMsgLogPending);
        std::int32_t result = 0;
        if (OnLoad) OnLoad(*this, rec, result);
        return 0;
    } catch (...) {
        LogCommandFailure("LOAD", CurrentExceptionMessage());
        return -3;
    }
}

std::int32_t TzolPlugin::CommandUnload(TPluginCallRec& rec) {
    const std::int32_t count = LoadCount.fetch_sub(1) - 1;
    if (count < 0) {
        LoadCount = 0;
        return 0;
    }
    if (count > 0) return 0;
    try {
        Unloaded = 1;
        Enabled.fill(false);
        CallParams params(rec);
        auto ini = params.GetPresent("INI-FILE");
        const std::string ini_file = ini ? ini->AsUtf8() : std::string();
        if (ini_file != INIFile) {
            INIFile = ini_file;
            try {
                if (OnSaveSettingsNow) OnSaveSettingsNow(*this);
            } catch (...) {
            }
        }
        try {
            std::int32_t result = 0;
            if (OnUnload) OnUnload(*this, rec, result);
        } catch (...) {
        }
        OptionsOpen = 0;
        HostModule = 0;
        HostWindow = 0;
        ResolveEntryPoints();  // the host module is gone: so are its entry points
        return 0;
    } catch (...) {
        return -3;
    }
}

std::int32_t TzolPlugin::ProcessDataCall(TPluginCallRec& rec, platform::ProbeMemo* record_checks) {
    CallRecordScope scope(rec);
    // The handler may call the host, which may release memory: what was probed is probed again.
    if (record_checks != nullptr) record_checks->End();
    void* remembered = rec.InData.Value.Ptr;
    // The message texts are read only when a message is due: most calls log nothing.
    std::int32_t result = 0;
    if (rec.StateMask != 0) {
        if ((rec.StateMask & 0x01) == 0 && rec.InData.Kind == kDataListInterface &&
            rec.InData.Value.Ptr != nullptr) {
            auto* list = *static_cast<common::IzolParamsListA**>(rec.InData.Value.Ptr);
            if (list != nullptr && list->GetCount() == 0) rec.InData.Value.Ptr = nullptr;
        }
        bool done = false;
        if ((rec.Flags & kFlagExpectsInput) != 0 && rec.InData.Value.Ptr == nullptr) {
            const std::string no_data = ReadText(MsgNoData);
            if (!no_data.empty()) Log(1, no_data);
            done = true;
        }
        if (!done && OnProcessData) {
            try {
                OnProcessData(*this, rec, result);
                if (result > 0 && rec.InData.Value.Ptr == nullptr) result = 0;
                if ((rec.Flags & (kFlagExpectsInput | kFlagReportOutcome)) != 0) {
                    if (result < 0) {
                        const std::string complete_error = ReadText(MsgWriteCompleteError);
                        if (!complete_error.empty()) Log(1, complete_error);
                    } else if (const std::string complete = ReadText(MsgWriteComplete);
                               !complete.empty()) {
                        Log(2, complete);
                    }
                }
            } catch (...) {
                result = -3;
                std::string text = CurrentExceptionMessage();
                const std::string complete_error = ReadText(MsgWriteCompleteError);
                if (!complete_error.empty()) text += ": " + complete_error;
                Log(1, text);
            }
        } else if (!done && (rec.Flags & kFlagCopyInToOut) != 0) {
            // The caller's own slot: a converted list slot points into this call's adapter.
            TPluginData copy = scope.CallerInData();
            if (rec.InData.Value.Ptr == nullptr) copy.Value.Ptr = nullptr;  // an empty list
            rec.OutData = copy;
        }
    }
    if (rec.InData.Value.Ptr == remembered) rec.InData.Value.Ptr = nullptr;
    return result;
}

bool TzolPlugin::FillModuleInfo(std::uint8_t* info, std::int32_t* needed) {
    std::string description;
    std::string commands;
    {
        std::shared_lock<platform::SharedMutex> guard(texts_lock_);
        description = Description;
        commands = CustomCommands.Text();
    }
    constexpr std::size_t kHeader = sizeof(TModuleInfo);
    const auto total = static_cast<std::int32_t>(kHeader + description.size() + commands.size());
    *needed = total;
    if (info == nullptr) return false;
    if (!platform::IsReadableMemory(info, 4)) {
        Log(0, "{MODULEINFO} The module-information buffer cannot be read");
        return false;
    }
    std::int32_t size = 0;
    std::memcpy(&size, info, 4);
    if (size < static_cast<std::int32_t>(kHeader)) return false;
    // The caller's size word promises room for the header, or for everything when large enough.
    const std::size_t written = size >= total ? static_cast<std::size_t>(total) : kHeader;
    if (!platform::IsWritableMemory(info, written)) {
        Log(0, "{MODULEINFO} The module-information buffer of " + std::to_string(size) +
                   " bytes cannot be written");
        return false;
    }
    // Built whole and copied, as the caller's buffer has no alignment to rely on.
    TModuleInfo header{};
    header.Size = size;
    header.TypeWord = static_cast<std::uint32_t>(ModuleType) |
                      (static_cast<std::uint32_t>(Capabilities & 7) << 16);
    header.InterfaceVersion = 4;
    header.InfoVersion = InfoVersion;
    header.Flag = InfoFlag;
    header.DescriptionLength = static_cast<std::int32_t>(description.size());
    header.CommandsLength = static_cast<std::int32_t>(commands.size());
    if (size >= total) {
        // The texts follow the header; the header points at them inside the caller's buffer.
        auto* text = reinterpret_cast<char*>(info + kHeader);
        std::memcpy(text, description.data(), description.size());
        std::memcpy(text + description.size(), commands.data(), commands.size());
        header.Description = text;
        header.Commands = text + description.size();
    }
    std::memcpy(info, &header, kHeader);
    return size >= total;
}

void TzolPlugin::GetOptionsDialogCall(TPluginCallRec& rec) {
    rec.OutData.Kind = kDataResultValue;
    rec.OutData.Size = 0;
    rec.OutData.Value.Number = 1;

    std::string form_name;
    if (rec.InData.Value.Ptr != nullptr && rec.InData.Size > 0) {
        const auto* text = static_cast<const char*>(rec.InData.Value.Ptr);
        const auto limit = static_cast<std::size_t>(rec.InData.Size);
        // The name ends at its terminator or after Size bytes, whichever comes first; memory
        // that cannot be read before either makes the buffer unusable.
        auto length = platform::ReadableTextLength(text, 1, limit);
        if (!length && platform::IsReadableMemory(text, limit)) length = limit;
        if (!length) {
            Log(0, "{GETOPTIONS} The options buffer of " + std::to_string(limit) +
                       " bytes cannot be read");
            return;
        }
        form_name.assign(text, *length);
    }

    std::string extra_text;
    if (OnGetOptionsDialog && form_name.empty()) {
        OnGetOptionsDialog(*this, rec, extra_text, form_name);
        if (extra_text.empty() && form_name.empty()) {
            rec.OutData.Value.Number = 2;
            return;
        }
    }
    std::string form;
    std::string code;
    if (!form_name.empty()) {
        const std::string upper = UpperAscii(form_name);
        form = platform::LoadLibraryResource(upper).value_or("");
        code = platform::LoadLibraryResource(upper + "_CODE").value_or("");
    } else {
        code = platform::LoadLibraryResource("FORM_DATA").value_or("");
        std::string name = platform::LoadLibraryResource("FORM_NAME").value_or("");
        name.resize(strnlen(name.c_str(), name.size()));
        while (!name.empty() && static_cast<unsigned char>(name.back()) <= 32) name.pop_back();
        if (!name.empty()) form = platform::LoadLibraryResource(UpperAscii(name)).value_or("");
    }

    const std::size_t total = 24 + form.size() + extra_text.size() + code.size();
    if (total == 24) {
        rec.OutData.Value.Number = 2;
        return;
    }
    const bool writable =
        rec.InData.Value.Ptr != nullptr && platform::IsWritableMemory(rec.InData.Value.Ptr, total);
    if (rec.InData.Size < 0 || static_cast<std::size_t>(rec.InData.Size) < total || !writable) {
        // A buffer that cannot take the description is answered like one too small.
        if (rec.InData.Value.Ptr != nullptr && rec.InData.Size >= 0 &&
            static_cast<std::size_t>(rec.InData.Size) >= total) {
            Log(0, "{GETOPTIONS} The options buffer of " + std::to_string(rec.InData.Size) +
                       " bytes cannot be written");
        }
        rec.OutData.Value.Number = 3;
        rec.OutData.Size = static_cast<std::int32_t>(total);
        return;
    }
    auto* out = static_cast<std::uint8_t*>(rec.InData.Value.Ptr);
    const std::int32_t header[6] = {
        24,
        static_cast<std::int32_t>(form.size()),
        static_cast<std::int32_t>(24 + form.size()),
        static_cast<std::int32_t>(extra_text.size()),
        static_cast<std::int32_t>(24 + form.size() + extra_text.size()),
        static_cast<std::int32_t>(code.size()),
    };
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + 24, form.data(), form.size());
    std::memcpy(out + 24 + form.size(), extra_text.data(), extra_text.size());
    std::memcpy(out + 24 + form.size() + extra_text.size(), code.data(), code.size());
    rec.OutData.Kind = kDataOptionsForm;
    rec.OutData.Size = 0;
    rec.OutData.Value.Number = static_cast<std::uint32_t>(total);
}

void TzolPlugin::ShowOptionsDialogCall(TPluginCallRec& rec) {
    rec.OutData.Kind = kDataResultValue;
    rec.OutData.Size = 4;
    if (!OnShowOptionsDialog) {
        rec.OutData.Value.Number = 3;
        return;
    }
    rec.OutData.Value.Number = 4;
    std::int32_t result = 0;
    {
        CallRecordScope scope(rec);
        {
            // The handler runs under the command lock, as a command does: commands on other host
            // threads change the same fields and the settings it stores. It does not count as a
            // command, so the host's calls back from this thread while its dialog is open (the
            // script's events) are not refused as nested; the lock is re-entered by them.
            std::lock_guard<platform::RecursiveMutex> guard(CommandLock);
            if (rec.Params != nullptr) {
                CallParams params(rec);
                if (auto ini = params.GetPresent("INI-FILE")) INIFile = ini->AsUtf8();
                LanguageRequest(params);
                if (auto owner = params.GetPresent("OWNER-FORM")) {
                    OwnerForm = HandleFromVariant(*owner);
                }
            }
            OptionsOpen = 1;
            OptionsFlags = rec.Flags;
            try {
                OnShowOptionsDialog(*this, rec, result);
            } catch (...) {
                Log(0, CurrentExceptionMessage() + " {SHOWOPTIONS}");
            }
        }
    }
    rec.OutData.Value.Number = static_cast<std::uint32_t>(result);
    if (result != 0) ReloadInstancesSharingSettings();
    std::lock_guard<platform::RecursiveMutex> guard(CommandLock);
    OptionsOpen = 0;
    OptionsList = nullptr;
    OptionsFlags = 0;
}

void TzolPlugin::ReloadInstancesSharingSettings() {
    std::string path;
    {
        std::lock_guard<platform::RecursiveMutex> guard(CommandLock);
        path = ModuleRegistryPath;
    }
    const std::uint32_t this_thread = platform::CurrentThreadId();
    for (const auto& other : AllInstances()) {
        // An instance's registry path and loader thread are set by LOAD under its command lock;
        // one lock at a time, so that two dialogs on different threads cannot deadlock.
        std::unique_lock<platform::RecursiveMutex> guard(other->CommandLock);
        if (other->ModuleRegistryPath != path || !other->OnLoadSettingsNow) continue;
        if (other->LoaderThread == this_thread) {
            try {
                other->OnLoadSettingsNow(*other);
            } catch (...) {
                other->Log(0, CurrentExceptionMessage());
            }
        } else {
            guard.unlock();
            other->NotifyHost(kMsgReloadSettings);
        }
    }
}

}  // namespace zol::plugins
