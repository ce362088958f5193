#include "hostsim/host_lib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/text_encoding.h"
#include "hostsim/host_style.h"
#include "platform/system.h"
#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/hex_text.h"

namespace zol::hostsim {

using common::Variant;

namespace {

std::mutex g_sends_lock;
std::vector<RecordedSend> g_sends;
std::int32_t g_port_write_result = 0;
std::function<void(const RecordedSend&)> g_send_observer;
// Shared so that a write in flight keeps its writer alive while another one is set.
std::shared_ptr<PortWriter> g_port_writer;

template <typename T>
bool Resolve(HMODULE module, const char* name, T& target, std::string& error) {
    target = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (target == nullptr) error = std::string("export not found: ") + name;
    return target != nullptr;
}

}  // namespace

// --- Library ---------------------------------------------------------------------------------

PluginLibrary::~PluginLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
}

bool PluginLibrary::Load(const std::string& path) {
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    bool ok = true;
    ok &= Resolve(module_, "CreatePluginInstance", exports_.CreatePluginInstance, error_);
    ok &= Resolve(module_, "FreePluginInstance", exports_.FreePluginInstance, error_);
    ok &= Resolve(module_, "GetModuleInfo", exports_.GetModuleInfo, error_);
    ok &= Resolve(module_, "ExecutePluginCommand", exports_.ExecutePluginCommand, error_);
    ok &= Resolve(module_, "ProcessData", exports_.ProcessData, error_);
    ok &= Resolve(module_, "GetLogEx", exports_.GetLogEx, error_);
    ok &= Resolve(module_, "GetOptionsDialog", exports_.GetOptionsDialog, error_);
    ok &= Resolve(module_, "ShowOptionsDialog", exports_.ShowOptionsDialog, error_);
    return ok;
}

// --- Values and lists ------------------------------------------------------------------------

std::optional<Variant> CommandAnswer::Find(std::string_view name) const {
    const std::string key = platform::AnsiLowerCase(name);
    for (const auto& [item_name, value] : items) {
        if (platform::AnsiLowerCase(item_name) == key) return value;
    }
    return std::nullopt;
}

std::vector<NamedValue> ItemsOf(const common::TzolParamsList& list) {
    std::vector<NamedValue> out;
    // Sized once: a packet's items grown one by one left a trail of freed blocks per packet.
    out.reserve(static_cast<std::size_t>(std::max<std::int32_t>(list.Count(), 0)));
    for (std::int32_t i = 0; i < list.Count(); ++i) {
        out.emplace_back(tools::PluginTextToUtf8(list.Item(i)->Name), list.Item(i)->Value);
    }
    return out;
}

std::vector<NamedValue> ItemsOf(common::IzolParamsListA* list) {
    std::vector<NamedValue> out;
    if (list == nullptr) return out;
    const std::int32_t count = list->GetCount();
    out.reserve(static_cast<std::size_t>(std::max<std::int32_t>(count, 0)));
    for (std::int32_t i = 0; i < count; ++i) {
        common::IzolParamsListItemA* item = nullptr;
        if (list->GetItem(i, &item) != 0 || item == nullptr) continue;
        platform::OleVariant raw{};
        item->GetValue(&raw);
        const char* name = item->GetName();
        out.emplace_back(tools::PluginTextToUtf8(name != nullptr ? name : ""), Variant::Take(raw));
        item->Release();
    }
    return out;
}

namespace {
bool IsRowMark(const NamedValue& item) { return item.first == common::kNewRowName; }
}  // namespace

std::vector<std::vector<NamedValue>> SplitRows(const std::vector<NamedValue>& items) {
    std::vector<std::vector<NamedValue>> rows;
    std::vector<NamedValue> row;
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (IsRowMark(*it)) {
            rows.push_back(std::move(row));
            row.clear();
            continue;
        }
        if (row.empty()) {
            // Each row sized once, up to the next row mark.
            const auto next = std::find_if(it, items.end(), IsRowMark);
            row.reserve(static_cast<std::size_t>(next - it));
        }
        row.push_back(*it);
    }
    if (!row.empty()) rows.push_back(std::move(row));
    return rows;
}

std::vector<std::vector<NamedValue>> SplitRows(std::vector<NamedValue>&& items) {
    // Most answers carry one packet: its items are the row, with no second list made for it.
    if (items.empty()) return {};
    const auto mark = std::find_if(items.begin(), items.end(), IsRowMark);
    if (mark != items.end() && mark + 1 != items.end()) {
        return SplitRows(static_cast<const std::vector<NamedValue>&>(items));
    }
    std::vector<std::vector<NamedValue>> rows;
    if (mark != items.end()) items.pop_back();
    rows.push_back(std::move(items));
    return rows;
}

std::string ValueText(const Variant& value) {
    if (value.IsEmptyOrNull()) return {};
    return value.AsUtf8();
}

// --- Call records ----------------------------------------------------------------------------

CallRecord::CallRecord(ParamsMode mode) : mode_(mode), list_(new common::TzolParamsList()) {
    rec_.RecSize = plugins::kCallRecSize;
}

CallRecord::~CallRecord() {
    if (wrap_ != nullptr) {
        wrap_->DestroyCached();  // frees the owned list too
    } else {
        delete list_;
    }
    if (output_wrap_ != nullptr) {
        output_wrap_->DestroyCached();
    } else {
        delete output_;
    }
}

common::TzolParamsList& CallRecord::AttachOutput() {
    if (output_ == nullptr) output_ = new common::TzolParamsList();
    if (mode_ == ParamsMode::kListObject) {
        rec_.OutData.Kind = plugins::kDataListObject;
        rec_.OutData.Value.Ptr = output_;
    } else {
        if (output_wrap_ == nullptr) output_wrap_ = new common::TzolParamsListWrap(output_, false);
        rec_.OutData.Kind = plugins::kDataListInterface;
        rec_.OutData.Value.Ptr = output_wrap_->AsInterfaceA();
    }
    return *output_;
}

void CallRecord::AttachParams() {
    if (mode_ == ParamsMode::kListObject) {
        rec_.Params = list_;
        return;
    }
    if (wrap_ == nullptr) wrap_ = new common::TzolParamsListWrap(list_, false);
    rec_.Params = wrap_->AsInterfaceA();
}

// --- Instance --------------------------------------------------------------------------------

HostInstance::HostInstance(const PluginLibrary& library, ParamsMode mode, std::int32_t tag)
    : library_(library), mode_(mode), tag_(tag) {}

HostInstance::~HostInstance() {
    Free();
    if (window_ != nullptr) window_->Detach(this);
}

void HostInstance::UseWindow(HostWindow* window) {
    if (window_ != nullptr) window_->Detach(this);
    window_ = window;
    if (window_ != nullptr) window_->Attach(this);
}

// --- Host window -------------------------------------------------------------------------------

namespace {
constexpr const char* kHostWindowClass = "zolHostSimulatorWindow";
}  // namespace

HostWindow::HostWindow() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &HostWindow::WindowProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = kHostWindowClass;
    RegisterClassA(&window_class);  // fails harmlessly when already registered
    window_ = CreateWindowExA(0, kHostWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    if (window_ != nullptr) {
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

HostWindow::~HostWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
}

void HostWindow::Attach(HostInstance* instance) { instances_.push_back(instance); }

void HostWindow::Detach(HostInstance* instance) { std::erase(instances_, instance); }

bool HostWindow::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(jobs_lock_);
        jobs_.push_back(std::move(job));
    }
    // One message a job, so the jobs keep their place among the thread's other messages.
    return window_ != nullptr && PostMessageA(window_, kMsgHostJobs, 0, 0) != 0;
}

void HostWindow::RunJobs() {
    std::function<void()> job;
    {
        std::lock_guard<std::mutex> guard(jobs_lock_);
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.erase(jobs_.begin());
    }
    try {
        job();
    } catch (...) {
        // A job that fails is the host's own affair; the message loop goes on.
    }
}

void HostWindow::Pump(unsigned wait_ms) {
    if (wait_ms > 0) MsgWaitForMultipleObjects(0, nullptr, FALSE, wait_ms, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchCounted(msg);
}

LRESULT CALLBACK HostWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    // Nothing may throw through the system's dispatch (which may run inside the plug-in's call,
    // under a pumping host): what fails here is dropped.
    if (message == kMsgHostJobs && self != nullptr) {
        self->RunJobs();
        return 0;
    }
    if (message == kMsgHandedWrites) {
        try {
            RunHandedWrites();  // port writes other threads handed to this (the main) thread
        } catch (...) {
        }
        return 0;
    }
    if (self != nullptr &&
        (message == plugins::kMsgLogPending || message == plugins::kMsgReloadSettings)) {
        try {
            self->Handle(message, wparam);
        } catch (...) {
        }
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

void HostWindow::Handle(UINT message, WPARAM wparam) {
    const auto tag = static_cast<std::int32_t>(wparam);
    if (message == plugins::kMsgReloadSettings) {
        reloads_.push_back(tag);
        return;
    }
    ++log_notifications_;
    for (HostInstance* instance : instances_) {
        if (instance->Tag() != tag || instance->Handle() == nullptr) continue;
        for (auto& line : ParseLog(tag, instance->CollectLog())) {
            // A hook takes the lines as they come; without one they wait for TakeLogLines. Kept
            // beside the hook they would pile up for as long as a run lasts.
            if (OnLogLine) {
                OnLogLine(line);
            } else {
                log_lines_.push_back(std::move(line));
            }
        }
    }
}

std::vector<HostWindow::LogLine> HostWindow::TakeLogLines() {
    std::vector<LogLine> out;
    out.swap(log_lines_);
    return out;
}

std::vector<std::int32_t> HostWindow::TakeReloadRequests() {
    std::vector<std::int32_t> out;
    out.swap(reloads_);
    return out;
}

std::vector<HostWindow::LogLine> ParseLog(std::int32_t tag, const std::string& text) {
    std::vector<HostWindow::LogLine> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line.empty()) continue;
        const int severity = (static_cast<unsigned char>(line[0]) & 0x7F) - 1;
        lines.push_back({tag, severity, tools::PluginTextToUtf8(line.substr(1))});
    }
    return lines;
}

std::int32_t HostInstance::Create(bool with_params) {
    const MainThreadCall mark("CreatePluginInstance");
    CallRecord call(mode_);
    call.Rec().Tag = tag_;
    if (with_params) call.AttachParams();
    std::int32_t result = library_.Exports().CreatePluginInstance(&call.Rec());
    if (result == 0) handle_ = call.Rec().Instance;
    return result;
}

std::int32_t HostInstance::Free() {
    if (handle_ == nullptr) return -1;
    const MainThreadCall mark("FreePluginInstance");
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    std::int32_t result = library_.Exports().FreePluginInstance(&call.Rec());
    handle_ = nullptr;
    return result;
}

CommandAnswer HostInstance::Command(const std::string& command,
                                    const std::vector<NamedValue>& params, bool with_result,
                                    std::uint8_t state_mask) {
    const MainThreadCall mark(command);
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    call.Rec().Tag = tag_;
    call.Rec().StateMask = state_mask;
    const bool result_given = std::any_of(params.begin(), params.end(), [](const auto& param) {
        return common::SameTextAscii(param.first, "RESULT");
    });
    if (with_result && !result_given) call.List().Add("RESULT", Variant());
    call.List().Add("COMMAND", Variant::Ansi(command));
    for (const auto& [name, value] : params) call.List().Add(name, value);
    call.AttachParams();
    CommandAnswer answer;
    answer.result = library_.Exports().ExecutePluginCommand(&call.Rec());
    answer.items = ItemsOf(call.List());
    return answer;
}

CommandAnswer HostInstance::Load(const std::vector<NamedValue>& extra) {
    std::vector<NamedValue> params = {
        {"HANDLE", Variant::Handle(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)))},
    };
    // The plug-in keeps the window it is told at any command; LOAD is where the host says it.
    if (window_ != nullptr && window_->Handle() != nullptr) {
        params.emplace_back("MSG-PROC-HANDLE",
                            Variant::Handle(reinterpret_cast<std::uintptr_t>(window_->Handle())));
    }
    params.insert(params.end(), extra.begin(), extra.end());
    return Command("LOAD", params);
}

std::optional<ModuleInfo> HostInstance::GetModuleInfo(std::int32_t buffer_size) {
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(buffer_size < 4 ? 4 : buffer_size));
    std::memcpy(buffer.data(), &buffer_size, 4);
    std::int32_t needed = 0;
    if (library_.Exports().GetModuleInfo(&call.Rec(), buffer.data(), &needed) == 0) {
        return std::nullopt;
    }
    if (buffer.size() < sizeof(plugins::TModuleInfo)) return std::nullopt;
    plugins::TModuleInfo header{};
    std::memcpy(&header, buffer.data(), sizeof header);
    ModuleInfo info;
    info.module_type = header.TypeWord & 0xFFFF;
    info.capabilities = header.TypeWord >> 16;
    info.interface_version = header.InterfaceVersion;
    info.info_version = header.InfoVersion;
    info.flag = header.Flag;
    if (header.Description != nullptr && header.DescriptionLength > 0) {
        info.description.assign(header.Description,
                                static_cast<std::size_t>(header.DescriptionLength));
    }
    if (header.Commands != nullptr && header.CommandsLength > 0) {
        info.custom_commands.assign(header.Commands,
                                    static_cast<std::size_t>(header.CommandsLength));
    }
    return info;
}

std::string HostInstance::CollectLog() {
    const MainThreadCall mark("GetLogEx");
    std::vector<char> buffer(256);
    for (int attempt = 0; attempt < 8; ++attempt) {
        CallRecord call(mode_);
        call.Rec().Instance = handle_;
        call.Rec().InData.Size = static_cast<std::int32_t>(buffer.size());
        call.Rec().InData.Value.Ptr = buffer.data();
        std::int32_t copied = library_.Exports().GetLogEx(&call.Rec());
        if (copied > 0) return std::string(buffer.data(), static_cast<std::size_t>(copied));
        const std::uint32_t length = call.Rec().OutData.Value.Number;
        if (length == 0) return {};
        buffer.resize(length);
    }
    return {};
}

namespace {

// Runs ProcessData over `call` with `bytes` in its input slot. Received bytes travel in COM task
// memory: the plug-in may grow the buffer to hand back the raw text of what it decoded (see
// docs/plugin-frame.md).
std::int32_t CallProcessData(const PluginLibrary& library, CallRecord& call,
                             const std::vector<std::uint8_t>& bytes) {
    void* buffer = CoTaskMemAlloc(bytes.empty() ? 1 : bytes.size());
    if (buffer == nullptr) return -1;
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    call.Rec().InData.Kind = plugins::kDataRawBytes;
    call.Rec().InData.Size = static_cast<std::int32_t>(bytes.size());
    call.Rec().InData.Value.Ptr = buffer;
    call.AttachParams();
    const std::int32_t result = library.Exports().ProcessData(&call.Rec());
    // A pointer left in the record is a buffer the plug-in made or moved: ours to free. A null
    // pointer means our own buffer is still the one to free.
    void* left = call.Rec().InData.Value.Ptr;
    CoTaskMemFree(left != nullptr ? left : buffer);
    return result;
}

}  // namespace

std::int32_t HostInstance::ProcessBytes(std::int32_t source_id, std::int32_t client_id,
                                        const std::vector<std::uint8_t>& bytes,
                                        std::uint8_t flags) {
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    call.Rec().Tag = tag_;
    call.Rec().SourceId = source_id;
    call.Rec().ClientId = client_id;
    call.Rec().Flags = flags;
    call.Rec().StateMask = 0x03;
    return CallProcessData(library_, call, bytes);
}

HostInstance::Received HostInstance::ProcessReceived(std::int32_t source_id,
                                                     const std::string& source_name,
                                                     const std::vector<std::uint8_t>& bytes) {
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    call.Rec().Tag = tag_;
    call.Rec().SourceId = source_id;
    // Bit 0x02: bytes received from the port; bit 0x01: no emptiness check of the input.
    call.Rec().StateMask = 0x03;
    // At most 50 characters, zero-padded (the record was zeroed).
    std::memcpy(call.Rec().SourceName, source_name.data(),
                std::min(source_name.size(), sizeof call.Rec().SourceName));
    common::TzolParamsList& output = call.AttachOutput();
    Received received;
    received.result = CallProcessData(library_, call, bytes);
    received.packets = SplitRows(ItemsOf(output));
    return received;
}

CommandAnswer HostInstance::SetState(const std::string& data_sources, std::uint8_t state_mask,
                                     bool enabled) {
    const MainThreadCall mark("SET-STATE");
    CallRecord call(mode_);
    call.Rec().Instance = handle_;
    call.Rec().Tag = tag_;
    call.Rec().StateMask = state_mask;
    call.List().Add("RESULT", Variant::Int32(enabled ? 1 : 0));
    call.List().Add("COMMAND", Variant::Ansi("SET-STATE"));
    call.List().Add("DATA-SOURCES-IN-CFG", Variant::Ansi(data_sources));
    call.AttachParams();
    CommandAnswer answer;
    answer.result = library_.Exports().ExecutePluginCommand(&call.Rec());
    answer.items = ItemsOf(call.List());
    return answer;
}

// --- Entry points the host exports -------------------------------------------------------------

std::vector<RecordedSend> TakeRecordedSends() {
    std::lock_guard<std::mutex> guard(g_sends_lock);
    std::vector<RecordedSend> out;
    out.swap(g_sends);
    return out;
}

void SetSendObserver(std::function<void(const RecordedSend&)> observer) {
    std::lock_guard<std::mutex> guard(g_sends_lock);
    g_send_observer = std::move(observer);
}

void SetPortWriteResult(std::int32_t result) {
    std::lock_guard<std::mutex> guard(g_sends_lock);
    g_port_write_result = result;
}

std::optional<std::vector<ScriptedCommand>> ParseCommandScript(const std::vector<std::string>& args,
                                                               std::string& error) {
    std::vector<ScriptedCommand> script;
    std::size_t i = 0;
    while (i < args.size()) {
        ScriptedCommand entry;
        entry.command = args[i++];
        for (; i < args.size() && args[i] != "--"; ++i) {
            const std::string& arg = args[i];
            if (arg == "--no-result") {
                entry.with_result = false;
            } else if (arg == "--state-mask") {
                const std::string_view text =
                    ++i < args.size() ? std::string_view(args[i]) : std::string_view();
                const bool hex = text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x';
                auto mask = common::ParseDigits32(hex ? text.substr(2) : text, hex ? 16 : 10);
                if (!mask || *mask > 0xFF) {
                    error = "--state-mask needs a number from 0 to 255";
                    return std::nullopt;
                }
                entry.state_mask = static_cast<std::uint8_t>(*mask);
            } else {
                const auto eq = arg.find('=');
                entry.params.emplace_back(
                    arg.substr(0, eq),
                    eq == std::string::npos ? Variant::Null() : Variant::Ansi(arg.substr(eq + 1)));
            }
        }
        if (i < args.size()) ++i;  // the "--" between commands
        script.push_back(std::move(entry));
    }
    return script;
}

void SetPortWriter(PortWriter writer) {
    std::lock_guard<std::mutex> guard(g_sends_lock);
    g_port_writer = writer ? std::make_shared<PortWriter>(std::move(writer)) : nullptr;
}

}  // namespace zol::hostsim

using zol::hostsim::RecordedSend;

extern "C" {

__declspec(dllexport) std::int32_t
    __stdcall Vantor_SendDataEx(std::int32_t tag, std::int32_t source_id, std::int32_t client_id,
                                std::int32_t zero, std::int32_t kind, std::intptr_t data,
                                std::int32_t size) {
    (void)zero;
    // Nothing the host does here may throw into the plug-in: a failure is an answer.
    try {
        RecordedSend send{tag, source_id, client_id, kind, {}, {}};
        if (kind == zol::plugins::kSendRawBytes && data != 0 && size > 0) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
            send.bytes.assign(bytes, bytes + size);
        } else if (kind == zol::plugins::kSendDataPacket && data != 0) {
            const auto* rec = reinterpret_cast<const zol::plugins::TPluginCallRec*>(data);
            if (rec->OutData.Kind == zol::plugins::kDataListInterface &&
                rec->OutData.Value.Ptr != nullptr) {
                send.packet = zol::hostsim::ItemsOf(
                    *static_cast<zol::common::IzolParamsListA**>(rec->OutData.Value.Ptr));
            }
        }
        std::shared_ptr<zol::hostsim::PortWriter> writer;
        std::int32_t result = 0;
        {
            std::lock_guard<std::mutex> guard(zol::hostsim::g_sends_lock);
            if (zol::hostsim::g_send_observer) zol::hostsim::g_send_observer(send);
            if (kind == zol::plugins::kSendRawBytes) {
                writer = zol::hostsim::g_port_writer;
                result = zol::hostsim::g_port_write_result;
            }
            zol::hostsim::g_sends.push_back(send);
        }
        // The port is written outside the lock: a slow port must not hold up the other ports.
        // The host's style decides on which thread.
        if (writer != nullptr) {
            result = zol::hostsim::StyledPortWrite(
                source_id, [&] { return (*writer)(source_id, send.bytes) ? 0 : -12; });
        }
        zol::hostsim::PumpInsideEntryPoint(source_id);
        return result;
    } catch (...) {
        return kind == zol::plugins::kSendRawBytes ? -12 : -1;
    }
}

// The other entry points are looked up by the plug-in but never called; they accept anything.
__declspec(dllexport) std::int32_t __stdcall Vantor_SendNotify() { return 0; }
__declspec(dllexport) std::int32_t __stdcall Vantor_DataSourceData() { return 0; }
__declspec(dllexport) std::int32_t __stdcall Vantor_DataSourceState() { return 0; }
__declspec(dllexport) std::int32_t __stdcall Vantor_ManageDynForm() { return 0; }

}  // extern "C"
