#include "hostsim/host_run.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/text_encoding.h"
#include "hostsim/report_record.h"
#include "kmp/PluginDM_TextResources.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "platform/system.h"
#include "translation/language_file.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolParamLst.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::hostsim {

namespace {

using common::Variant;

// How long a port read waits before the reader looks at whether the run is over.
constexpr std::uint32_t kReadSliceMs = 100;
// Module kinds 0 and 1: events and received data.
constexpr std::uint8_t kModuleKinds = 0x03;

std::string Utf8Of(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

Variant PathValue(const std::wstring& path) {
    return Variant::Utf16(std::u16string(path.begin(), path.end()));
}

// The module's configuration names: the lines of its description.
std::vector<std::string> ConfigurationNames(const std::string& description) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= description.size()) {
        std::size_t end = description.find("\r\n", start);
        if (end == std::string::npos) end = description.size();
        names.push_back(description.substr(start, end - start));
        start = end + 2;
    }
    return names;
}

std::string ItemPlainText(const std::vector<NamedValue>& items, std::string_view name) {
    for (const auto& [item, value] : items) {
        if (item == name) return PlainText(value);
    }
    return {};
}

// The meter a packet came from: its DEVICE_ID.
std::optional<std::uint8_t> MeterAddress(const std::vector<NamedValue>& items) {
    const std::string text = ItemPlainText(items, "DEVICE_ID");
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    const int number = std::stoi(text);
    if (number > 255) return std::nullopt;
    return static_cast<std::uint8_t>(number);
}

// A packet whose registers all came without a value (or that has none): the meter answered, but
// not with what was asked.
bool CarriesNoValue(const std::vector<NamedValue>& items) {
    for (const auto& reg : RegisterValues(items)) {
        if (!PlainText(reg.value).empty()) return false;
    }
    return true;
}

}  // namespace

LogMarkers PluginLogMarkers(const std::string& dll_path) {
    LogMarkers markers;
    const auto dot = dll_path.find_last_of(".\\/");
    const std::string own_file =
        (dot != std::string::npos && dll_path[dot] == '.' ? dll_path.substr(0, dot) : dll_path) +
        ".lng";
    if (!platform::FileExists(own_file)) return markers;
    std::vector<std::vector<std::uint8_t>> files;
    for (const auto& name : {platform::HostProgramFolder() + "plugins.lng", own_file}) {
        std::ifstream in(name, std::ios::binary);
        if (in)
            files.emplace_back(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
    }
    std::string language;
    for (const auto& bytes : files) {
        auto header = translation::ReadLanguageFile(bytes, {}, {});
        if (header.languages.empty()) continue;
        language = header.default_language;
        break;
    }
    if (language.empty() || language == "EN") return markers;
    // The module's message table in English is what the language files translate: a line carries
    // the timeout text before its "(", and the checksum text with its values.
    const kmp::TTextResources english;
    // Of several files the later one's entry counts, as in the plug-in's dictionary.
    std::string timeout, crc_error;
    for (const auto& bytes : files) {
        for (const auto& entry : translation::ReadLanguageFile(bytes, "EN", language).entries) {
            if (entry.source == english.RequestTimeout) timeout = entry.translation;
            if (entry.source == english.InvalidCrc) crc_error = entry.translation;
        }
    }
    // As the log reaches the tools: written by the plug-in in the system code page, turned into
    // UTF-8 where it enters the host (ParseLog).
    const auto open = timeout.find('(');
    if (open != std::string::npos && open > 0) {
        markers.timeout.push_back(tools::ThroughPluginCodePage(
            common::TrimControl(std::string_view(timeout).substr(0, open))));
    }
    const auto crc_open = crc_error.find('(');
    if (crc_open != std::string::npos && crc_open > 0) {
        markers.crc_error.push_back(
            tools::ThroughPluginCodePage(std::string_view(crc_error).substr(0, crc_open + 1)));
    }
    return markers;
}

void CountLogLine(const std::string& text, RunCounts& counts, const LogMarkers& markers) {
    const auto has_any = [&](const std::vector<std::string>& marks) {
        return std::any_of(marks.begin(), marks.end(), [&](const std::string& mark) {
            return text.find(mark) != std::string::npos;
        });
    };
    if (has_any(markers.timeout)) ++counts.timeouts;
    if (has_any(markers.crc_error)) ++counts.crc_errors;
}

HostRun::HostRun(const PluginLibrary& library, ParamsMode mode)
    : library_(library), instance_(library, mode) {
    char path[MAX_PATH + 1] = {};
    if (library.Handle() != nullptr && GetModuleFileNameA(library.Handle(), path, MAX_PATH) > 0) {
        markers_ = PluginLogMarkers(path);
    }
    window_.OnLogLine = [this](const HostWindow::LogLine& line) { HandleLogLine(line); };
}

HostRun::~HostRun() { Stop(); }

void HostRun::AddPort(std::string name, std::string full_name,
                      std::unique_ptr<PortTransport> port) {
    const auto id = static_cast<std::int32_t>(ports_.size() + 1);
    ports_.push_back({id, std::move(name), std::move(full_name), std::move(port), {}});
    port_writes_.push_back(0);
}

bool HostRun::StoreSettings(const std::string& options_text, std::string& error) {
    // The options dialog's way: the plug-in's settings object, stored into an INI file of this
    // run that LOAD then names.
    wchar_t temp[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, temp) == 0) {
        error = "no temporary folder";
        return false;
    }
    settings_folder_ =
        std::wstring(temp) + L"hostsim run " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(settings_folder_.c_str(), nullptr);
    settings_file_ = settings_folder_ + L"\\settings.ini";
    parser::TProxyCodeObject settings;
    settings.lblParams_Caption = options_text;
    common::TWreg store;
    store.INIFile = Utf8Of(settings_file_);
    store.Components = {"lblParams.Caption,Parser config"};
    store.Object = &settings;
    if (!store.Execute(common::TWregOperation::kStore)) {
        error = "cannot store the settings in " + store.INIFile;
        RemoveSettings();
        return false;
    }
    return true;
}

void HostRun::RemoveSettings() {
    if (settings_folder_.empty()) return;
    DeleteFileW(settings_file_.c_str());
    RemoveDirectoryW(settings_folder_.c_str());
    settings_folder_.clear();
}

bool HostRun::Start(const std::string& options_text, std::optional<std::size_t> config_index,
                    std::string& error) {
    {
        std::vector<std::string> names;
        for (const auto& port : ports_) names.push_back(port.name);
        std::lock_guard<std::mutex> guard(counts_lock_);
        ledger_ = MeterLedger(std::move(names), ActiveAddresses(options_text), true, markers_,
                              ReplyTimeouts(options_text));
    }
    {
        const auto intervals = PollIntervals(options_text);
        std::lock_guard<std::mutex> guard(line_lock_);
        lines_.clear();
        for (const auto& port : ports_) {
            lines_.emplace_back(PortLineTiming(port.full_name, line_baud), intervals);
        }
        line_start_ = std::chrono::steady_clock::now();
    }
    if (!StoreSettings(options_text, error)) return false;
    instance_.UseWindow(&window_);
    if (instance_.Create() != 0) {
        error = "CreatePluginInstance failed";
        Undo();
        return false;
    }
    std::vector<NamedValue> load = {{"INI-FILE", PathValue(settings_file_)}};
    if (config_index) {
        const auto info = instance_.GetModuleInfo();
        const auto names = ConfigurationNames(info ? info->description : std::string());
        if (*config_index >= names.size()) {
            error = "configuration " + std::to_string(*config_index) +
                    " does not exist (the module has " + std::to_string(names.size()) + ")";
            Undo();
            return false;
        }
        // The host keeps the chosen configuration by the key of its name.
        const std::uint32_t key = plugins::TModuleConfigList::KeyOf(names[*config_index]);
        load.emplace_back("CONFIG-ID", Variant::Int32(static_cast<std::int32_t>(key)));
    }
    load_params_ = load;
    const auto loaded = instance_.Load(load);
    if (loaded.result != 0) {
        error = "LOAD failed (" + std::to_string(loaded.result) + ")";
        Undo();
        return false;
    }
    loaded_ = true;

    // The ports are live from here: what the plug-in writes goes out, what comes in goes in.
    SetPortWriter([this](std::int32_t source_id, std::span<const std::uint8_t> bytes) {
        return WritePort(source_id, bytes);
    });
    SetSendObserver([this](const RecordedSend& send) {
        if (send.kind != plugins::kSendDataPacket) return;
        for (auto& row : SplitRows(send.packet)) Deliver(send.source_id, std::move(row));
    });
    style_start_ = HostStyleTotals();
    SetHangObserver([this](const HostHang& hang) { ReportHang(hang); });
    SetHostStyle(style_, &window_, hang_limit_ms);
    ports_open_ = true;
    for (auto& port : ports_) {
        ++readers_running_;
        port.reader = std::thread([this, &port] {
            ReadPort(port);
            --readers_running_;
        });
    }

    const auto state = instance_.SetState(SourcesText({}), kModuleKinds, true);
    if (state.result != 0) {
        error = "SET-STATE failed (" + std::to_string(state.result) + ")";
        Undo();
        return false;
    }
    instance_.Command("ITEMS");
    for (const auto& port : ports_) {
        instance_.Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")},
                                    {"PORTSTR", Variant::Ansi(port.name)}});
    }
    window_.Pump();
    return true;
}

std::uint64_t HostRun::RunFor(std::uint32_t duration_ms, const std::atomic<bool>& stop) {
    const ULONGLONG begin = GetTickCount64();
    const ULONGLONG end = begin + duration_ms;
    const ULONGLONG interval = std::max<std::uint32_t>(progress_interval_ms, 1);
    ULONGLONG next_progress = begin + interval;
    while (!stop) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end) break;
        if (now >= next_progress) {
            if (OnProgress) OnProgress(now - begin);
            while (next_progress <= now) next_progress += interval;
        }
        window_.Pump(static_cast<unsigned>(
            std::min<ULONGLONG>({end - now, next_progress - now, kReadSliceMs})));
        TakeRecordedSends();  // already handled as they came; the record would only grow
    }
    return std::min<ULONGLONG>(GetTickCount64(), end) - begin;
}

std::int32_t HostRun::PortEvent(const std::string& name, bool open) {
    if (!loaded_) return -1;
    return instance_
        .Command("EVENT", {{"EVENT-TYPE", Variant::Ansi(open ? "PORT-OPEN" : "PORT-CLOSE")},
                           {"PORTSTR", Variant::Ansi(name)}})
        .result;
}

std::int32_t HostRun::ReloadSettings() {
    if (!loaded_) return -1;
    return instance_.Command("LOAD-SETTINGS-NOW", {{"INI-FILE", PathValue(settings_file_)}}).result;
}

std::string HostRun::SourcesText(const std::vector<std::string>& port_names) const {
    std::string sources;
    for (const auto& port : ports_) {
        if (!port_names.empty() &&
            std::find(port_names.begin(), port_names.end(), port.name) == port_names.end()) {
            continue;
        }
        if (!sources.empty()) sources += "\r\n";
        sources += std::to_string(port.id) + ";" + port.name + ";" + port.full_name;
    }
    return sources;
}

std::int32_t HostRun::Announce(const std::vector<std::string>& port_names, bool enabled) {
    if (!loaded_) return -1;
    return instance_.SetState(SourcesText(port_names), kModuleKinds, enabled).result;
}

std::int32_t HostRun::Unload() {
    if (!loaded_) return -1;
    return instance_.Command("UNLOAD", {{"INI-FILE", PathValue(settings_file_)}}).result;
}

std::int32_t HostRun::LoadAgain() {
    if (!loaded_) return -1;
    if (const std::int32_t result = instance_.Load(load_params_).result; result != 0) {
        return result;
    }
    if (const std::int32_t result = Announce(); result != 0) return result;
    instance_.Command("ITEMS");
    std::int32_t result = 0;
    for (const auto& port : ports_) {
        if (const std::int32_t opened = PortEvent(port.name, true); opened != 0) result = opened;
    }
    return result;
}

void HostRun::SetStyle(HostStyle style) {
    style_ = style;
    if (loaded_) SetHostStyle(style_, &window_, hang_limit_ms);
}

HostStyleCounts HostRun::StyleCounts() const { return HostStyleTotals() - style_start_; }

void HostRun::ReportHang(const HostHang& hang) {
    ++hangs_;
    std::string port = "source " + std::to_string(hang.source_id);
    if (hang.source_id >= 1 && static_cast<std::size_t>(hang.source_id) <= ports_.size()) {
        port = "port " + ports_[static_cast<std::size_t>(hang.source_id - 1)].name;
    }
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.1f s", hang.waited_ms / 1000.0);
    const std::string text =
        "the host hangs: a write to " + port + " waited " + waited +
        " for the main thread, which was inside " +
        (hang.main_thread_calls.empty() ? std::string("no plug-in call") : hang.main_thread_calls) +
        "; the write was answered as not written";
    std::lock_guard<std::mutex> guard(counts_lock_);
    if (OnHostHang) {
        OnHostHang(text);
    } else {
        std::fprintf(stderr, "hostsim: %s\n", text.c_str());
    }
}

void HostRun::Stop() {
    if (loaded_) {
        for (const auto& port : ports_) {
            instance_.Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-CLOSE")},
                                        {"PORTSTR", Variant::Ansi(port.name)}});
        }
    }
    Undo();
}

void HostRun::Undo() {
    // Readers first, so no ProcessData runs into the unload; writes from here on fail as a
    // closed port's would. A reader may be waiting for this (the main) thread to write for it,
    // so the window is served until every reader has stopped.
    ports_open_ = false;
    while (readers_running_ > 0) window_.Pump(10);
    for (auto& port : ports_) {
        if (port.reader.joinable()) port.reader.join();
    }
    if (loaded_) {
        instance_.Command("UNLOAD", {{"INI-FILE", PathValue(settings_file_)}});
        loaded_ = false;
    }
    window_.Pump();
    if (instance_.Handle() != nullptr) {
        for (auto& line : ParseLog(instance_.Tag(), instance_.CollectLog())) HandleLogLine(line);
        instance_.Free();
    }
    SetHostStyle(HostStyle::kPlain, nullptr);
    SetHangObserver(nullptr);
    SetPortWriter(nullptr);
    SetSendObserver(nullptr);
    TakeRecordedSends();
    for (auto& port : ports_) port.transport.reset();
    RemoveSettings();
}

void HostRun::ReportPortFault(const std::string& text) {
    std::lock_guard<std::mutex> guard(counts_lock_);
    if (OnPortFault) {
        OnPortFault(text);
    } else {
        std::fprintf(stderr, "hostsim: %s\n", text.c_str());
    }
}

std::vector<std::uint32_t> HostRun::PortWrites() const {
    std::lock_guard<std::mutex> guard(counts_lock_);
    return port_writes_;
}

RunCounts HostRun::Counts() const {
    std::lock_guard<std::mutex> guard(counts_lock_);
    return counts_;
}

std::vector<MeterTally> HostRun::MeterTallies() const {
    std::lock_guard<std::mutex> guard(counts_lock_);
    return ledger_.Tallies();
}

std::size_t HostRun::MetersConfigured() const {
    std::lock_guard<std::mutex> guard(counts_lock_);
    return ledger_.Configured();
}

std::size_t HostRun::MetersHeard() const {
    std::lock_guard<std::mutex> guard(counts_lock_);
    return ledger_.Heard();
}

double HostRun::LineMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - line_start_)
        .count();
}

std::vector<LineUseFigures> HostRun::LineUses() const {
    std::lock_guard<std::mutex> guard(line_lock_);
    const double now = LineMs();
    std::vector<LineUseFigures> out;
    for (std::size_t i = 0; i < lines_.size() && i < ports_.size(); ++i) {
        out.push_back(lines_[i].Figures(now));
        out.back().port = ports_[i].name;
        out.back().source = ports_[i].id;
    }
    return out;
}

bool HostRun::WritePort(std::int32_t source_id, std::span<const std::uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> guard(line_lock_);
        if (source_id >= 1 && static_cast<std::size_t>(source_id) <= lines_.size()) {
            lines_[static_cast<std::size_t>(source_id - 1)].Written(LineMs(), bytes);
        }
    }
    {
        std::lock_guard<std::mutex> guard(counts_lock_);
        ++counts_.writes;
        if (source_id >= 1 && static_cast<std::size_t>(source_id) <= port_writes_.size()) {
            ++port_writes_[static_cast<std::size_t>(source_id - 1)];
            ledger_.Written(static_cast<std::size_t>(source_id - 1), bytes, GetTickCount64());
        }
    }
    if (!ports_open_ || source_id < 1 || static_cast<std::size_t>(source_id) > ports_.size()) {
        return false;
    }
    Port& port = ports_[static_cast<std::size_t>(source_id - 1)];
    if (port.transport->Write(bytes)) return true;
    ReportPortFault("port " + port.name + " refused a write");
    return false;
}

void HostRun::ReadPort(Port& port) {
    std::vector<std::uint8_t> chunk;
    while (ports_open_) {
        chunk.clear();
        if (!port.transport->Read(kReadSliceMs, chunk)) {
            const std::string why = port.transport->FailureText();
            port_failed_ = true;
            ReportPortFault("port " + port.name + " failed" + (why.empty() ? "" : ": ") + why +
                            "; it is closed");
            return;
        }
        if (chunk.empty()) continue;
        {
            // Before ProcessData: the plug-in may write its next request from inside it.
            std::lock_guard<std::mutex> guard(line_lock_);
            if (static_cast<std::size_t>(port.id) <= lines_.size()) {
                lines_[static_cast<std::size_t>(port.id - 1)].Received(LineMs(), chunk.size());
            }
        }
        auto received = instance_.ProcessReceived(port.id, port.name, chunk);
        for (auto& packet : received.packets) Deliver(port.id, std::move(packet));
        if (OnChunkHandled) OnChunkHandled(port.id);
    }
}

void HostRun::Deliver(std::int32_t source_id, std::vector<NamedValue> items) {
    if (items.empty()) return;
    PortPacket packet{NowText(), {}, source_id, std::move(items)};
    if (source_id >= 1 && static_cast<std::size_t>(source_id) <= ports_.size()) {
        packet.port = ports_[static_cast<std::size_t>(source_id - 1)].name;
    }
    std::lock_guard<std::mutex> guard(counts_lock_);
    ++counts_.packets;
    if (const auto address = MeterAddress(packet.items);
        address && source_id >= 1 && static_cast<std::size_t>(source_id) <= ports_.size()) {
        ledger_.Delivered(static_cast<std::size_t>(source_id - 1), *address,
                          ItemPlainText(packet.items, "SERIAL_NO"), packet.time,
                          CarriesNoValue(packet.items));
    }
    if (OnPacket) OnPacket(packet);
}

void HostRun::HandleLogLine(const HostWindow::LogLine& line) {
    {
        std::lock_guard<std::mutex> guard(counts_lock_);
        CountLogLine(line.text, counts_, markers_);
        ledger_.Logged(line.text, GetTickCount64());
    }
    if (OnLogLine) OnLogLine(line);
}

}  // namespace zol::hostsim
