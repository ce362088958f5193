#pragma once
// The host side of the plug-in boundary, as the data-logging host plays it: load the library,
// build call records, pass parameter lists as list objects or as interfaces, create and free
// instances, send commands, hand over received bytes, collect the log. The entry points the host
// exports (Vantor_*) are defined here and record what they receive; how they treat the thread
// that calls them is the host's style (host_style.h).

// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Public/Common/variant.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace zol::hostsim {

using plugins::TPluginCallRec;

// The eight exports of a plug-in library.
struct PluginExports {
    std::int32_t(__stdcall* CreatePluginInstance)(TPluginCallRec*) = nullptr;
    std::int32_t(__stdcall* FreePluginInstance)(TPluginCallRec*) = nullptr;
    std::uint8_t(__stdcall* GetModuleInfo)(TPluginCallRec*, std::uint8_t*, std::int32_t*) = nullptr;
    std::int32_t(__stdcall* ExecutePluginCommand)(TPluginCallRec*) = nullptr;
    std::int32_t(__stdcall* ProcessData)(TPluginCallRec*) = nullptr;
    std::int32_t(__stdcall* GetLogEx)(TPluginCallRec*) = nullptr;
    void(__stdcall* GetOptionsDialog)(TPluginCallRec*) = nullptr;
    void(__stdcall* ShowOptionsDialog)(TPluginCallRec*) = nullptr;
};

class PluginLibrary {
   public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the library and resolves every export; false with `Error()` set when that fails.
    bool Load(const std::string& path);
    const PluginExports& Exports() const noexcept { return exports_; }
    HMODULE Handle() const noexcept { return module_; }
    const std::string& Error() const noexcept { return error_; }

   private:
    HMODULE module_ = nullptr;
    PluginExports exports_;
    std::string error_;
};

// How a call's parameter list is handed over.
enum class ParamsMode { kListObject, kInterface };

using NamedValue = std::pair<std::string, common::Variant>;

// The answer to a command: the export's result and the list as it was after the call.
struct CommandAnswer {
    std::int32_t result = 0;
    std::vector<NamedValue> items;
    std::optional<common::Variant> Find(std::string_view name) const;
};

// Module information as GetModuleInfo reports it.
struct ModuleInfo {
    std::uint32_t module_type = 0;
    std::uint32_t capabilities = 0;
    std::uint32_t interface_version = 0;
    float info_version = 0;
    std::uint8_t flag = 0;
    std::string description;
    std::string custom_commands;
};

// A call record the host owns, with its parameter list kept alive for the call.
class CallRecord {
   public:
    explicit CallRecord(ParamsMode mode);
    ~CallRecord();
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    TPluginCallRec& Rec() noexcept { return rec_; }
    common::TzolParamsList& List() noexcept { return *list_; }
    // Points Params at the list (object or interface, by mode).
    void AttachParams();
    // Gives the call an output list in OutData (kind 1 object or kind 9 interface, by mode), into
    // which the plug-in delivers the packets it decodes.
    common::TzolParamsList& AttachOutput();

   private:
    TPluginCallRec rec_{};
    ParamsMode mode_;
    common::TzolParamsList* list_;
    common::TzolParamsListWrap* wrap_ = nullptr;
    common::TzolParamsList* output_ = nullptr;
    common::TzolParamsListWrap* output_wrap_ = nullptr;
};

class HostInstance;

// The host's message-only window, on the thread that creates it. It receives the plug-in's
// notifications: 0x0711 (log lines waiting: collected at once with GetLogEx) and 0x0714 (reload
// settings). Messages are handled while the owner thread pumps (Pump, or any message loop).
class HostWindow {
   public:
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Handle() const noexcept { return window_; }
    // Instances whose notifications this window serves, by their tag.
    void Attach(HostInstance* instance);
    void Detach(HostInstance* instance);
    // Handles the messages waiting on this thread; with `wait_ms`, waits up to that long for
    // the first one.
    void Pump(unsigned wait_ms = 0);
    // Queues `job` for the window's thread, from any thread: it runs when that thread next
    // handles its messages, in turn with them (as a host's own work reaches its main thread).
    // False when the window is gone.
    bool Post(std::function<void()> job);

    struct LogLine {
        std::int32_t tag;
        int severity;
        std::string text;
    };
    std::vector<LogLine> TakeLogLines();
    std::vector<std::int32_t> TakeReloadRequests();
    std::uint32_t LogNotifications() const noexcept { return log_notifications_; }
    // Called for each collected line as it arrives (hostsim prints them); lines it is given are
    // not kept for TakeLogLines.
    std::function<void(const LogLine&)> OnLogLine;

   private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void Handle(UINT message, WPARAM wparam);
    void RunJobs();

    HWND window_ = nullptr;
    std::mutex jobs_lock_;
    std::vector<std::function<void()>> jobs_;
    std::vector<HostInstance*> instances_;
    std::vector<LogLine> log_lines_;
    std::vector<std::int32_t> reloads_;
    std::uint32_t log_notifications_ = 0;
};

// Splits collected log text into lines with their severity. The plug-in writes its log in the
// system code page; the lines' texts come out in UTF-8, as the tools write every text.
std::vector<HostWindow::LogLine> ParseLog(std::int32_t tag, const std::string& text);

class HostInstance {
   public:
    HostInstance(const PluginLibrary& library, ParamsMode mode, std::int32_t tag = 1);
    ~HostInstance();
    HostInstance(const HostInstance&) = delete;
    HostInstance& operator=(const HostInstance&) = delete;

    // CreatePluginInstance with an empty list (or none); returns the export's result.
    std::int32_t Create(bool with_params = true);
    std::int32_t Free();
    // Forgets the instance without freeing it, as a host that frees the library with the
    // instance still open (the library frees it as it goes).
    void Abandon() noexcept { handle_ = nullptr; }
    void* Handle() const noexcept { return handle_; }
    ParamsMode Mode() const noexcept { return mode_; }
    std::int32_t Tag() const noexcept { return tag_; }
    // Every command then carries this window as MSG-PROC-HANDLE.
    void UseWindow(HostWindow* window);

    // Runs one command with the given parameters and the record's StateMask. An empty "RESULT"
    // item is put in first unless `with_result` is false or the parameters carry a RESULT of
    // their own (SET-STATE reads it as input).
    CommandAnswer Command(const std::string& command, const std::vector<NamedValue>& params = {},
                          bool with_result = true, std::uint8_t state_mask = 0);
    // LOAD with this host's module handle, tag and the given extra parameters.
    CommandAnswer Load(const std::vector<NamedValue>& extra = {});

    std::optional<ModuleInfo> GetModuleInfo(std::int32_t buffer_size = 4096);
    // Collects the whole log (asking again with a larger buffer when needed), as the plug-in
    // wrote it: in the system code page.
    std::string CollectLog();
    // ProcessData with raw bytes from a port.
    std::int32_t ProcessBytes(std::int32_t source_id, std::int32_t client_id,
                              const std::vector<std::uint8_t>& bytes, std::uint8_t flags = 0);

    // ProcessData with a chunk received on a port, as the host hands it over: the port's id and
    // name, StateMask 0x02 (received data) and an output list for what the plug-in decodes.
    struct Received {
        std::int32_t result = 0;
        std::vector<std::vector<NamedValue>> packets;  // one per row of the output list
    };
    Received ProcessReceived(std::int32_t source_id, const std::string& source_name,
                             const std::vector<std::uint8_t>& bytes);
    // SET-STATE with the host's data-source list ("ID;NAME;FULL NAME" lines) and the module
    // kinds of `state_mask` switched on or off.
    CommandAnswer SetState(const std::string& data_sources, std::uint8_t state_mask, bool enabled);

   private:
    const PluginLibrary& library_;
    ParamsMode mode_;
    std::int32_t tag_;
    void* handle_ = nullptr;
    HostWindow* window_ = nullptr;
};

// One command of hostsim's `cmd` action.
struct ScriptedCommand {
    std::string command;
    std::vector<NamedValue> params;
    bool with_result = true;
    std::uint8_t state_mask = 0;
};
// Reads `COMMAND [NAME=VALUE ...] [--no-result] [--state-mask N]` groups separated by "--"; N is
// decimal or 0x-prefixed hexadecimal, 0 to 255. Nothing, with `error` set, for a bad script.
std::optional<std::vector<ScriptedCommand>> ParseCommandScript(const std::vector<std::string>& args,
                                                               std::string& error);

// What the host's entry points received.
struct RecordedSend {
    std::int32_t tag;
    std::int32_t source_id;
    std::int32_t client_id;
    std::int32_t kind;
    std::vector<std::uint8_t> bytes;  // kind 0x81: the bytes to write
    std::vector<NamedValue> packet;   // kind 9: the packet's items
};
std::vector<RecordedSend> TakeRecordedSends();
// Called for each call as it arrives (hostsim prints them); runs on the plug-in's thread.
void SetSendObserver(std::function<void(const RecordedSend&)> observer);
// The result Vantor_SendDataEx gives for port writes (0 by default; -12 simulates a failure).
void SetPortWriteResult(std::int32_t result);
// Where port writes go: called with the source id and the bytes on the plug-in's thread, outside
// the recorder's lock; false makes Vantor_SendDataEx answer -12 (the port was not written).
// Replaces the fixed result of SetPortWriteResult while set; an empty function removes it.
using PortWriter = std::function<bool(std::int32_t source_id, std::span<const std::uint8_t>)>;
void SetPortWriter(PortWriter writer);

// Splits a list's items into rows at the row markers; markers are left out, an unterminated last
// row is kept.
std::vector<std::vector<NamedValue>> SplitRows(const std::vector<NamedValue>& items);
// The same for a list that is not needed after: a list of one row becomes that row as it is.
std::vector<std::vector<NamedValue>> SplitRows(std::vector<NamedValue>&& items);

// Items of a list as name/value pairs; the names (system code page in the list) in UTF-8.
std::vector<NamedValue> ItemsOf(const common::TzolParamsList& list);
std::vector<NamedValue> ItemsOf(common::IzolParamsListA* list);
// A value as text for printing: numbers plainly, text in UTF-8, empty/null as "".
std::string ValueText(const common::Variant& value);

}  // namespace zol::hostsim
