#pragma once
// The plug-in frame: the instance object `TzolPlugin` that stands behind every host
// configuration using the plug-in, its event slots, the module-wide instance list, and the
// bodies of the eight exports. The export shim in src/dll only forwards to the functions at the
// end of this header.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "platform/probe_memo.h"
#include "platform/recursive_mutex.h"
#include "platform/shared_mutex.h"
#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Private/Plugins/zolPluginCustomCmd.h"
#include "zolShared/Private/Plugins/zolPluginItems.h"
#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/zolParamLst.h"
#include "zolShared/Public/Common/zolRegSettings.h"
#include "zolShared/Public/Common/zolThreadLists.h"

namespace zol::translation {
class TWtransl;
}

namespace zol::plugins {

// One host data source (port) of the host's data-source list.
struct TConfigDataSource {
    std::string Line;
    std::int32_t Id = 0;
    std::string Name;
    std::string FullName;
};

// The events a host sends with the EVENT command (EVENT-TYPE), by the index the host numbers
// them with; index 11 has no name. A module lists the ones it handles in EventsSupported,
// separated by ";".
inline constexpr std::array<std::string_view, 13> kHostEventNames = {
    "LOG-MESSAGE",     "NEW-LOG-FILE",     "LOG-FILE-DELETE",
    "NEW-DATA-PACKET", "ERROR-WRITE-FILE", "PORT-OPEN",
    "PORT-CLOSE",      "CONFIG-CHANGE",    "USER-LOGOOF",
    "USER-LOGON",      "STOP-SERVICE",     "",
    "DUMMY",
};

// The host's entry points, looked up by name in the host module at the first LOAD.
using SendDataExFunction = std::int32_t(ZOL_STDCALL*)(std::int32_t tag, std::int32_t source_id,
                                                      std::int32_t client_id, std::int32_t zero,
                                                      std::int32_t kind, std::intptr_t data,
                                                      std::int32_t size);
struct HostEntryPoints {
    void* Vantor_SendNotify = nullptr;
    SendDataExFunction Vantor_SendDataEx = nullptr;
    void* Vantor_DataSourceData = nullptr;
    void* Vantor_DataSourceState = nullptr;
    void* Vantor_ManageDynForm = nullptr;
};

class TzolPlugin;
class CallParams;

// Configuration names of a module, each keyed by the CRC-32/JAMCRC of its 8-bit text; the
// host's CONFIG-ID is compared against the keys.
class TModuleConfigList {
   public:
    static std::uint32_t KeyOf(std::string_view name);
    void Add(std::string name);
    // Index and name of the entry with this key.
    std::optional<std::pair<std::int32_t, std::string>> FindByKey(std::uint32_t key) const;
    std::string Names(std::string_view separator) const;

   private:
    struct Entry {
        std::string name;
        std::uint32_t key;
    };
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};

// A file or folder name with the characters file names may not hold replaced, and "_" put in
// front of names the system reserves for devices (CON, AUX, PRN, NUL, COM..., LPT...).
std::string CleanFileName(std::string_view name, char replacement);

// Event slots; a concrete module fills the ones it handles, a missing one is skipped.
using PluginResultEvent = std::function<void(TzolPlugin&, TPluginCallRec&, std::int32_t& result)>;
using PluginTextEvent = std::function<void(TzolPlugin&, const std::string& text,
                                           std::int32_t& result, TPluginCallRec&)>;
using PluginNotifyEvent = std::function<void(TzolPlugin&)>;
using PluginGetOptionsEvent = std::function<void(TzolPlugin&, TPluginCallRec&,
                                                 std::string& extra_text, std::string& form_name)>;
using PluginChangeStateEvent = std::function<void(TzolPlugin&, std::uint8_t state_mask)>;

class TzolPlugin : public common::Component {
   public:
    // `creating_call` is the record of CreatePluginInstance (its list already converted); it may
    // be null for instances made outside the host's calls.
    explicit TzolPlugin(TPluginCallRec* creating_call);
    ~TzolPlugin() override;

    // --- Host-facing operations -------------------------------------------------------------

    // ExecutePluginCommand after the record was converted: TEMPORARY-LOAD, COMMAND, dispatch.
    std::int32_t ExecuteCommand(TPluginCallRec& rec);
    // ProcessData steps 4 to 9 (the record is converted inside). `record_checks`, the probe
    // memo of the record's checks, is ended once the record is converted.
    std::int32_t ProcessDataCall(TPluginCallRec& rec, platform::ProbeMemo* record_checks = nullptr);
    void GetOptionsDialogCall(TPluginCallRec& rec);
    void ShowOptionsDialogCall(TPluginCallRec& rec);
    // GetModuleInfo's buffer rules; see the export.
    bool FillModuleInfo(std::uint8_t* info, std::int32_t* needed);

    // --- Log ---------------------------------------------------------------------------------

    // Adds a line to the host log and tells the host; never throws.
    void Log(int severity, std::string_view text, bool marked = false) noexcept;
    // "{command} message" at severity 0, and the same with a stack trace to the debugger output.
    void LogCommandFailure(std::string_view command, std::string_view message) noexcept;
    common::TLogDataList& HostLog() noexcept { return host_log_; }

    // Texts that host calls on other threads read while a command may change them (the log
    // title, the description, the custom commands, the three outcome messages): read them with
    // ReadText and change them with WriteText (or under TextsLock).
    std::string ReadText(const std::string& field) const;
    void WriteText(std::string& field, std::string value);
    platform::SharedMutex& TextsLock() const noexcept { return texts_lock_; }
    // Posts a message to the host window (Tag, 0), falling back to a send with a time-out.
    void NotifyHost(std::uint32_t message) noexcept;

    // --- Host entry points -------------------------------------------------------------------

    // The entry points of the host that loaded the instance (all unset before LOAD and after
    // UNLOAD); a copy, since protocol threads read them while LOAD and UNLOAD change them.
    HostEntryPoints EntryPoints() const;
    // Vantor_SendDataEx; -1 when the host did not provide it.
    std::int32_t SendDataEx(std::int32_t source_id, std::int32_t client_id, std::int32_t kind,
                            std::intptr_t data, std::int32_t size) noexcept;

    // --- Fields (the system's own names) -----------------------------------------------------
    // Texts are UTF-8 inside the plug-in; they are converted where they leave it.

    platform::RecursiveMutex CommandLock;
    std::atomic<std::int32_t> CommandDepth{0};
    void* SelfHandle = nullptr;
    std::uintptr_t ModuleHandle = 0;
    std::atomic<std::int32_t> LoadCount{0};
    std::int32_t Tag = 0;
    std::string ParserItemsText;
    std::string Description;
    std::string LogTitle;
    std::uint8_t ModuleType = 0;
    std::uint8_t Capabilities = 0;
    std::uint8_t InfoFlag = 1;
    std::string ModulePath;
    std::string ModuleName;
    std::int32_t ConfigId = 0;
    std::string ApplicationName;
    std::string DisplayFullVersion;
    TzolPluginCustomCmdList CustomCommands;
    std::atomic<std::uint8_t> Unloaded{0};
    std::vector<TConfigDataSource> DataSources;
    std::string DataSourceLoadFor;
    std::string MsgNoData = "No data for processing";
    std::string MsgWriteComplete = "Data have been processed successfully";
    std::string MsgWriteCompleteError = "Data have been processed with errors";
    float InfoVersion = 4.0f;
    std::string INIFile;
    std::uint8_t ModuleRegistryRoot1 = 2;
    std::uint8_t ModuleRegistryRoot2 = 1;
    std::string ModuleRegistryPath;
    std::string INISectionPrefix;
    std::array<bool, 8> Enabled{};
    std::string EventsSupported;
    std::uint8_t IsTemporaryLoad = 0;
    std::atomic<bool> SettingsBusy{false};
    std::uintptr_t OwnerForm = 0;
    std::atomic<std::uintptr_t> HostWindow{0};
    std::uintptr_t HostModule = 0;
    std::int32_t SubscribeForData = 0;
    std::atomic<std::uint8_t> Busy{0};
    std::uint8_t Translated = 0;
    std::uint8_t OptionsOpen = 0;
    std::uint8_t OptionsFlags = 0;
    common::IzolParamsListA* OptionsList = nullptr;
    std::uint32_t LoaderThread = 0;
    std::string Language = "EN";
    // Language files the translator reads: the host's "plugins.lng", "|", the plug-in's own.
    std::string LanguageFiles;
    // The instance's translation engine; owned as a child component.
    translation::TWtransl* Translator = nullptr;

    // Event slots, in the order the frame fires them.
    PluginResultEvent OnShowOptionsDialog;
    PluginGetOptionsEvent OnGetOptionsDialog;
    PluginTextEvent OnCommand;
    PluginResultEvent OnLoad;
    PluginResultEvent OnUnload;
    PluginNotifyEvent OnSaveSettingsNow;
    PluginNotifyEvent OnLoadSettingsNow;
    PluginNotifyEvent OnBeforeGetParserItems;
    PluginNotifyEvent OnItemsChanged;
    PluginChangeStateEvent OnChangeState;
    PluginResultEvent OnProcessData;
    PluginTextEvent OnEvent;
    PluginNotifyEvent OnLanguageChanged;

    // The command dispatcher. Returns the command's result; throws for the dispatcher's own
    // failures (a nested command).
    std::int32_t DispatchCommand(const std::string& command, TPluginCallRec& rec);

    // Module parameters (GET-/SET-MODULE-PARAMETER); an unknown key reads empty and cannot be
    // written (false).
    common::Variant GetModuleParameter(const std::string& key);
    bool SetModuleParameter(const std::string& key, const common::Variant& value);

    // Derived folders: the host's data folder for this configuration, its id text, and the
    // module's own data folder inside it (each with a trailing backslash where a folder).
    std::string AppDataPath() const;
    std::string ModuleConfigIdText() const;
    std::string ModuleDataPath() const;

    // Process settings: loads or stores `object` through `property_map` in the instance's
    // settings place (its INI file, else the registry under its path and two roots). Load: true
    // when at least one stored value was found; store: true when at least one was stored.
    bool ProcessSettings(common::TWregOperation kind, const std::vector<std::string>& property_map,
                         common::Component& object);

    TParserItemList ParserItems;
    TModuleConfigList ModuleConfigs;
    common::TzolThreadParamsList CustomStore;

    // --- Translation ---------------------------------------------------------------------------

    // Translates a component from "EN" into the instance's language ("NONE" when it has none).
    // True when texts were looked up.
    bool TranslateComponent(common::Component& component);
    // Translates the instance itself; does nothing when it already has until asked again.
    void TranslateSelf();
    // The last step of creation, run once the module's own constructor has finished: the
    // first translation of the instance when language files are set.
    void AfterConstruction();

   protected:
    // Command bodies; each returns the command's result.
    virtual std::int32_t RunCommand(const std::string& command, TPluginCallRec& rec);
    std::int32_t CommandLoad(TPluginCallRec& rec);
    std::int32_t CommandUnload(TPluginCallRec& rec);
    std::int32_t CommandEvent(const CallParams& params, TPluginCallRec& rec);
    std::int32_t CommandSetState(const CallParams& params, TPluginCallRec& rec);
    void CommandSettingsNow(const CallParams& params, bool load);
    // The host's language request (LOAD, options dialog): a LANGUAGE equal to the current one
    // translates the instance again and announces it to the module; any other leaves it as is.
    void LanguageRequest(const CallParams& params);
    // True when the host program was started with the argument "/TESTTRANSL".
    static bool TestTranslation();

   private:
    // The name part of a "Custom" key, or nothing when the key is not one.
    static std::optional<std::string> CustomName(std::string_view key);
    void ReadTemporaryLoad(const TPluginCallRec& rec);
    // After the options dialog changed settings: every instance with the same registry path
    // reloads them, directly on its own loader thread, else by the host's reload message.
    void ReloadInstancesSharingSettings();
    // Looks the entry points up in HostModule; all are unset when it is 0.
    void ResolveEntryPoints();

    common::TLogDataList host_log_;
    mutable platform::SharedMutex texts_lock_;
    mutable std::mutex entry_points_lock_;
    HostEntryPoints entry_points_;
    std::atomic<bool> destroying_{false};
};

// The message of the exception being handled; call only inside a catch block.
std::string CurrentExceptionMessage();

// --- Module-wide state ----------------------------------------------------------------------

// Makes an instance of the module's class for CreatePluginInstance.
using PluginFactory = std::unique_ptr<TzolPlugin> (*)(TPluginCallRec* creating_call);

// Registers the concrete module class (done once at library start-up).
void RegisterPluginClass(PluginFactory factory);
// Creates the instance list and registers the shutdown routines; idempotent.
void LibraryStartup();
// Frees every remaining instance and the instance list.
void LibraryShutdown();
// Adds a routine that the release-everything call runs once.
void AddShutdownRoutine(std::function<void()> routine);

// The live instance with this handle, or null. Holding the result keeps it alive.
std::shared_ptr<TzolPlugin> FindInstance(const void* handle);
// Every live instance (a snapshot).
std::vector<std::shared_ptr<TzolPlugin>> AllInstances();

// --- Export bodies: each catches everything and returns the agreed code -----------------------

std::int32_t CreatePluginInstanceCall(TPluginCallRec* rec) noexcept;
std::int32_t FreePluginInstanceCall(TPluginCallRec* rec) noexcept;
std::uint8_t GetModuleInfoCall(TPluginCallRec* rec, std::uint8_t* info,
                               std::int32_t* needed) noexcept;
std::int32_t ExecutePluginCommandCall(TPluginCallRec* rec) noexcept;
std::int32_t ProcessDataCall(TPluginCallRec* rec) noexcept;
std::int32_t GetLogExCall(TPluginCallRec* rec) noexcept;
void GetOptionsDialogCall(TPluginCallRec* rec) noexcept;
void ShowOptionsDialogCall(TPluginCallRec* rec) noexcept;

}  // namespace zol::plugins
